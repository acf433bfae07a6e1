// Bundle folders of workflow actions: "<name>.action/Contents/Info.plist"
// with the bundle's identifier and "Contents/MacOS/<executable>", the
// plug-in library; finding an action by its identifier.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <optional>

namespace quirel::amhost {

struct AMBundle {
  QString path;        // the bundle folder, absolute and clean
  QString identifier;  // CFBundleIdentifier
  QVariantMap info;    // the whole Info.plist

  // The bundle at `path`: none when the folder has no readable
  // Contents/Info.plist holding a dictionary (*why then says why).
  static std::optional<AMBundle> open(const QString& path, QString* why = nullptr);
  // Contents/MacOS/<CFBundleExecutable>; empty when the key is missing.
  QString executablePath() const;
};

// The folders searched for action bundles, in order: each folder of
// $QUIREL_ACTION_PATH (separated by ':'), then Contents/Library/Automator of
// the application bundle beside the running program (build tree) and of the
// installed one (<prefix>/<libdir>/quirel/Quirel.app, relative to the
// program's <prefix>/bin).
QStringList ActionSearchFolders();

// The first bundle named "*.action" in `folders` whose identifier is
// `identifier`; none when there is none (*searched then lists where it was
// looked for).
std::optional<AMBundle> FindActionBundle(const QString& identifier, const QStringList& folders,
                                         QString* searched = nullptr);

}  // namespace quirel::amhost
