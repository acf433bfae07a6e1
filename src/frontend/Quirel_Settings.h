// One set of scan settings of the front end: filled from the scan window's
// controls (or the workflow action's parameters), stored as a settings
// dictionary in the preference file, asked for derived answers, and turned
// into the argument list of the command-line tool quirel.
//
// Fields carry an "m" prefix; the derived answers have the plain names
// (autoLength(), duplex(), threshold(), ...) and fold in the scan source,
// duplex and line-art conditions. Lengths are in the user's unit:
// millimetres when mUsingMetric is set (always from the current locale),
// else inches.
//
// Thread-bound: main thread only; no locks.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <cstdint>
#include <optional>

#include "HelperApp.h"

namespace quirel::frontend {

class ScanJobController;

// The current locale's measurement system (LC_MEASUREMENT) is metric.
bool LocaleUsesMetric();

// Orientation codes 0 to 7 and the names the settings dictionary stores.
extern const char* const kOrientationNames[8];

class Quirel_Settings {
 public:
  // The defaults; paper and scan size from the locale (210 by 297 mm, or
  // 8.5 by 11 inches).
  Quirel_Settings();

  // Storage.
  std::optional<QVariantMap> readDictionary() const;  // the stored settings dictionary
  void writeDictionary(const QVariantMap& dict) const;
  void writeToDictionary(QVariantMap* dict) const;
  // Sets every setting from `dict` (mFilePath, mAppending, mPreviewSize*
  // and mScanController are left alone). A boolean is YES for the text
  // "YES" or a true boolean and NO for anything else; other values of the
  // wrong type read as the defaults of their fields. One log line names the
  // keys of values of the wrong type.
  void readFromDictionary(const QVariantMap& dict);
  QString description() const;

  // Output file.
  const QString& filePath() const { return mFilePath; }
  void setFilePath(const QString& path, bool appending);
  void setAppending(bool appending) { mAppending = appending; }
  bool appending() const { return mAppending; }
  // ".pdf" becomes ".tif" for TIFF output, ".tif" becomes ".pdf" for PDF,
  // in any letter case; every other path (".tiff" too) stays.
  void normalizeExtension();
  // The name of the file a scan of `fileType` (1, 2 or 3) into `path`
  // writes: the path as it is when it ends in the format's extension in
  // any letter case (".pdf"; ".tif" or ".tiff"), else with ".pdf" or ".tif"
  // added. The tool and the engine name their files by the same rule.
  static QString CompleteOutputPath(const QString& path, int32_t fileType);
  // This record's file path so completed.
  QString outputPath() const { return CompleteOutputPath(mFilePath, mFileType); }
  void setPreviewSize(double width, double height);

  // Derived answers.
  bool dimsFlipped() const;
  bool autoLength() const;
  bool duplex() const;
  bool flipBacks() const;
  bool skipFirst() const;
  bool skipLast() const;
  bool defaultThreshold() const;
  bool dynamicThreshold() const;
  // Line art at a threshold and despeckling the user sets; without it the
  // threshold is the scanner's default, its dynamic one, or one by density.
  bool fixedThreshold() const;
  // Line art scanned as gray and thresholded here (the tool's --turbo 0):
  // fast, at a threshold calculated for each page, so only where the
  // settings ask for no threshold and no despeckling of the scanner's.
  bool turboLineArt() const;
  int32_t threshold() const;   // -1 unless a fixed threshold applies
  int32_t despeckle() const;   // likewise
  int32_t blackPoint() const;  // -1 for line art
  int32_t whitePoint() const;
  double scanLeft() const;  // -1 when the whole paper is scanned
  double scanTop() const;
  double scanWidth() const;
  double scanHeight() const;

  // The tool's command line.
  QStringList getArgs() const;
  void addDimension(double length, const QString& tag, QStringList* args) const;
  static void addCutoff(int32_t value, const QString& tag, QStringList* args);
  QString getArgsString() const;
  // The command line a user can run in a shell: "quirel" and the arguments
  // of getArgs() without the preview FIFO (which only the application reads),
  // each quoted for the shell where it needs it.
  QString getCommandString() const;
  // The same command in lines of at most about `width` characters, joined
  // by " \" and a line end, as a shell reads it; a line breaks only
  // between two arguments, never inside one nor between an option and its
  // values.
  QString getCommandLines(int width) const;

  // Open-with memory per output type ("pdf" or "tif"), kept in the stored
  // settings dictionary under "Open With App (<type>)".
  void updateOpenWithApp(const HelperApp* app, const QString& type) const;
  std::optional<HelperApp> getOpenWithAppForType(const QString& type) const;

  // Fields, in the order of the record.
  int32_t mScanTypeTag = 1;  // 1 line art, 4/8 gray bits, 12/24 colour bits
  int32_t mResolution = 300;
  int32_t mThreshold = 128;  // 0: none given
  int32_t mDespeckle = 0;
  int32_t mBlackPoint = 16;
  int32_t mWhitePoint = 231;
  bool mUsingMetric = true;
  bool mUseTifZLib = false;
  bool mFlatbed = false;
  bool mAutoLength = false;
  bool mDuplex = false;
  bool mFlipBacks = false;
  bool mSkipFirst = false;
  bool mSkipLast = false;
  bool mScanFullPage = true;
  bool mDoubleThickness = true;
  bool mDoubleLength = true;
  bool mDefaultThreshold = true;
  bool mDynamicThreshold = false;
  bool mDensityThreshold = false;
  bool mOpenAfterScan = true;
  bool mWas1200 = false;
  bool mPreview = true;
  double mPaperWidth = 210;
  double mPaperLength = 297;
  double mScanLeft = 0;
  double mScanTop = 0;
  double mScanWidth = 210;
  double mScanHeight = 297;
  double mDensityFactor = 1.1;
  int32_t mOrientation = 0;
  int32_t mFileType = 2;  // 1 TIFF, 2 PDF, 3 TIFF with Deflate
  int32_t mFileAction = 3;
  bool mAppending = false;
  double mPreviewWidth = 0;
  double mPreviewHeight = 0;
  ScanJobController* mScanController = nullptr;  // not owned; set by the action

 private:
  QString mFilePath;
};

}  // namespace quirel::frontend
