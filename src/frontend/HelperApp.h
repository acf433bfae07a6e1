// One application that can open an output file: an entry of the open-with
// list and the application the settings remember per file type. On this
// system an application is a desktop entry: its desktop entry id stands for
// the bundle identifier and its file for the application's path.
#pragma once

#include <QString>
#include <optional>
#include <vector>

namespace quirel::frontend {

class HelperApp {
 public:
  HelperApp() = default;
  // A record rebuilt from remembered values; no version, no display name.
  HelperApp(const QString& bundleId, const QString& path, const QString& name);

  // The application of a desktop entry file, or none when the file is not a
  // valid desktop entry of an application.
  static std::optional<HelperApp> fromDesktopFile(const QString& path);
  // The application of an installed desktop entry id ("org.example.Viewer.desktop").
  static std::optional<HelperApp> fromDesktopId(const QString& id);
  // Every installed application that says it opens `contentType`
  // ("application/pdf", "image/tiff"), unsorted and unfiltered.
  static std::vector<HelperApp> allForType(const QString& contentType);

  // Opens `file` with this application (the desktop entry at appPath).
  // False with the cause in *error when it cannot be started.
  bool openFile(const QString& file, QString* error) const;

  // Orders by name without regard to case; equal names by their versions in
  // plain string order (so "10.0" comes before "9.0"). A missing version
  // orders as an empty one. Negative, 0 or positive.
  int compare(const HelperApp& other) const;

  QString appPath;      // the desktop entry's file
  QString appName;      // the entry's name
  QString bundleId;     // the desktop entry id
  QString bundleVers;   // the entry's "X-AppVersion"; empty where it gives none
  QString displayName;  // the title shown in the open-with list
};

}  // namespace quirel::frontend
