// Quirel_Settings: the scan settings, their defaults, their dictionary form and the tool's command line.
#include "Quirel_Settings.h"

#include <QFile>
#include <QFileInfo>
#include <cmath>
#include <cstdint>
#include <langinfo.h>
#include <limits>

#include "FrontendLog.h"
#include "FujiScanParams.h"
#include "OutputName.h"
#include "PrefsStore.h"

namespace quirel::frontend {

const char* const kOrientationNames[8] = {"Long0", "Long90", "Long180", "Long270",
                                          "Wide0", "Wide90", "Wide180", "Wide270"};

namespace {

constexpr double mmtoin = 1 / 25.4;
constexpr double intomm = 25.4;

// Feeder rotation arguments by orientation modulo 4: backs as the fronts,
// and backs flipped.
const char* const kRotationArgs[4][2] = {
    {"--rotate-n-n", "--rotate-n-f"},
    {"--rotate-r-l", "--rotate-r-r"},
    {"--rotate-f-f", "--rotate-f-n"},
    {"--rotate-l-r", "--rotate-l-l"},
};

QString Yes(bool b) { return b ? QStringLiteral("YES") : QStringLiteral("NO"); }

bool IsNumber(const QVariant& v) {
  switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
      return true;
    default:
      return false;
  }
}

// Reads the settings dictionary with the rules for missing keys, and keeps
// the keys whose values are of the wrong type for one log line.
class DictReader {
 public:
  explicit DictReader(const QVariantMap& dict) : mDict(dict) {}

  bool has(const char* key) const { return mDict.contains(QLatin1String(key)); }

  // YES for the string "YES" and for a true boolean; missing, any other
  // text, a false boolean and a value of another type (noted) are NO.
  bool boolean(const char* key) {
    auto it = mDict.find(QLatin1String(key));
    if (it == mDict.end()) return false;
    if (it->typeId() == QMetaType::Bool) return it->toBool();
    if (it->typeId() != QMetaType::QString) return wrong(key, false);
    return it->toString() == QLatin1String("YES");
  }

  // A number's integer value (toward zero); missing is 0.
  int32_t integer(const char* key, int32_t fallback) {
    auto it = mDict.find(QLatin1String(key));
    if (it == mDict.end()) return 0;
    if (!IsNumber(*it)) return wrong(key, fallback);
    const double d = it->toDouble();
    if (it->typeId() != QMetaType::Double && it->typeId() != QMetaType::Float) {
      const qlonglong n = it->toLongLong();
      if (n < std::numeric_limits<int32_t>::min() || n > std::numeric_limits<int32_t>::max()) return wrong(key, fallback);
      return int32_t(n);
    }
    if (!std::isfinite(d) || d <= double(std::numeric_limits<int32_t>::min()) - 1 ||
        d >= double(std::numeric_limits<int32_t>::max()) + 1)
      return wrong(key, fallback);
    return int32_t(std::trunc(d));
  }

  // A floating-point value; missing is 0. `fallback` is taken unconverted
  // for a value of the wrong type, so the caller scales only read values.
  std::optional<double> real(const char* key, double fallback, double* out) {
    auto it = mDict.find(QLatin1String(key));
    if (it == mDict.end()) {
      *out = 0;
      return std::nullopt;
    }
    const double d = it->toDouble();
    if (!IsNumber(*it) || !std::isfinite(d)) {
      *out = wrong(key, fallback);
      return std::nullopt;
    }
    *out = d;
    return d;
  }

  // The text of a string value; none when missing or of another type (the
  // latter is noted as wrong).
  std::optional<QString> text(const char* key) {
    auto it = mDict.find(QLatin1String(key));
    if (it == mDict.end()) return std::nullopt;
    if (it->typeId() != QMetaType::QString) {
      wrong(key, 0);
      return std::nullopt;
    }
    return it->toString();
  }

  void logWrongKeys() const {
    if (mWrong.isEmpty()) return;
    Log("settings: values of the wrong type are not used: %s", mWrong.join(QStringLiteral(", ")).toUtf8().constData());
  }

 private:
  template <typename T>
  T wrong(const char* key, T fallback) {
    mWrong << QString::fromLatin1(key);
    return fallback;
  }

  const QVariantMap& mDict;
  QStringList mWrong;
};

QString OpenWithKey(const QString& type) { return QStringLiteral("Open With App (%1)").arg(type); }

}  // namespace

bool LocaleUsesMetric() {
  // The first byte is 1 for the metric system, 2 for US customary units.
  const char* m = nl_langinfo(_NL_MEASUREMENT_MEASUREMENT);
  return !m || m[0] != 2;
}

Quirel_Settings::Quirel_Settings() {
  mUsingMetric = LocaleUsesMetric();
  mPaperWidth = mUsingMetric ? 210 : 8.5;
  mPaperLength = mUsingMetric ? 297 : 11;
  mScanWidth = mPaperWidth;
  mScanHeight = mPaperLength;
}

std::optional<QVariantMap> Quirel_Settings::readDictionary() const { return CopyScanSettingFromPrefs(); }

void Quirel_Settings::writeDictionary(const QVariantMap& dict) const { WriteScanSettingsToPrefs(dict); }

void Quirel_Settings::writeToDictionary(QVariantMap* dict) const {
  QVariantMap& d = *dict;
  d[QStringLiteral("PrefsVersion")] = 2;
  d[QStringLiteral("UsingMetric")] = Yes(mUsingMetric);
  d[QStringLiteral("ScanType")] = mScanTypeTag;
  d[QStringLiteral("UseTifZLib")] = Yes(mUseTifZLib);
  d[QStringLiteral("Resolution")] = mResolution;
  d[QStringLiteral("AutoLength")] = Yes(mAutoLength);
  d[QStringLiteral("PaperWidth")] = mPaperWidth;
  d[QStringLiteral("PaperHeight")] = mPaperLength;
  d[QStringLiteral("Flatbed")] = Yes(mFlatbed);
  d[QStringLiteral("Duplex")] = Yes(mDuplex);
  d[QStringLiteral("FlipBacks")] = Yes(mFlipBacks);
  d[QStringLiteral("SkipFirst")] = Yes(mSkipFirst);
  d[QStringLiteral("SkipLast")] = Yes(mSkipLast);
  d[QStringLiteral("Orientation")] =
      QString::fromLatin1(kOrientationNames[mOrientation >= 0 && mOrientation < 8 ? mOrientation : 0]);
  d[QStringLiteral("FullPage")] = Yes(mScanFullPage);
  d[QStringLiteral("ScanLeft")] = mScanLeft;
  d[QStringLiteral("ScanWidth")] = mScanWidth;
  d[QStringLiteral("ScanTop")] = mScanTop;
  d[QStringLiteral("ScanHeight")] = mScanHeight;
  d[QStringLiteral("DoubleFeedByThickness")] = Yes(mFlatbed || mDoubleThickness);
  d[QStringLiteral("DoubleFeedByLength")] = Yes(mFlatbed || mDoubleLength);
  d[QStringLiteral("DefaultThreshold")] = Yes(mDefaultThreshold);
  d[QStringLiteral("DynamicThreshold")] = Yes(mDynamicThreshold);
  d[QStringLiteral("Threshold")] = mThreshold;
  d[QStringLiteral("Despeckle")] = mDespeckle;
  d[QStringLiteral("BlackPoint")] = mBlackPoint;
  d[QStringLiteral("WhitePoint")] = mWhitePoint;
  d[QStringLiteral("FormatType")] = mFileType;
  d[QStringLiteral("FileAction")] = mFileAction;
  d[QStringLiteral("Action Shows Preview")] = Yes(mPreview);
  d[QStringLiteral("OpenAfterScan")] = Yes(mOpenAfterScan);
  d[QStringLiteral("Was1200")] = Yes(mWas1200);
  d[QStringLiteral("DensityThreshold")] = Yes(mDensityThreshold);
  d[QStringLiteral("DensityFactor")] = mDensityFactor;
}

void Quirel_Settings::readFromDictionary(const QVariantMap& dict) {
  const Quirel_Settings defaults;
  DictReader r(dict);

  mUsingMetric = LocaleUsesMetric();
  const bool storedMetric = r.boolean("UsingMetric");
  double k = 1;
  if (storedMetric && !mUsingMetric) k = mmtoin;
  else if (!storedMetric && mUsingMetric) k = intomm;
  // Wrong-typed lengths take the defaults, which are in the locale's unit
  // already; read ones are converted.
  auto length = [&](const char* key, double fallback) {
    double v = 0;
    if (r.real(key, fallback, &v)) return v * k;
    return v;
  };

  mScanTypeTag = r.integer("ScanType", defaults.mScanTypeTag);
  mUseTifZLib = r.boolean("UseTifZLib");
  mResolution = r.integer("Resolution", defaults.mResolution);
  mAutoLength = r.boolean("AutoLength");
  mPaperWidth = length("PaperWidth", defaults.mPaperWidth);
  mPaperLength = length("PaperHeight", defaults.mPaperLength);
  mFlatbed = r.boolean("Flatbed");
  mDuplex = r.boolean("Duplex");
  mFlipBacks = r.boolean("FlipBacks");
  mSkipFirst = r.boolean("SkipFirst");
  mSkipLast = r.boolean("SkipLast");

  mOrientation = 0;
  if (!r.has("Orientation")) {
    if (r.boolean("Landscape")) mOrientation = 7;
  } else if (auto name = r.text("Orientation")) {
    for (int i = 1; i < 8; ++i)
      if (*name == QLatin1String(kOrientationNames[i])) mOrientation = i;
  }

  mScanFullPage = r.boolean("FullPage");
  mScanLeft = length("ScanLeft", defaults.mScanLeft);
  mScanWidth = length("ScanWidth", defaults.mScanWidth);
  mScanTop = length("ScanTop", defaults.mScanTop);
  mScanHeight = length("ScanHeight", defaults.mScanHeight);
  mDoubleThickness = r.boolean("DoubleFeedByThickness");
  mDoubleLength = r.boolean("DoubleFeedByLength");

  mDynamicThreshold = r.boolean("DynamicThreshold");
  int32_t version = 0;
  if (r.has("PrefsVersion")) version = r.integer("PrefsVersion", 0);
  if (version < 1) {
    mDefaultThreshold = mDynamicThreshold;
    mDynamicThreshold = false;
  } else {
    mDefaultThreshold = r.boolean("DefaultThreshold");
  }
  mThreshold = r.integer("Threshold", defaults.mThreshold);
  mDespeckle = r.integer("Despeckle", defaults.mDespeckle);
  mBlackPoint = r.integer("BlackPoint", defaults.mBlackPoint);
  mWhitePoint = r.integer("WhitePoint", defaults.mWhitePoint);
  mFileType = r.integer("FormatType", defaults.mFileType);
  mFileAction = r.integer("FileAction", defaults.mFileAction);
  if (mFileAction == 0) mFileAction = 3;
  mPreview = r.has("Action Shows Preview") ? r.boolean("Action Shows Preview") : true;
  mOpenAfterScan = r.boolean("OpenAfterScan");
  mWas1200 = r.boolean("Was1200");
  mDensityThreshold = r.boolean("DensityThreshold");
  if (r.has("DensityFactor")) {
    double v = defaults.mDensityFactor;
    r.real("DensityFactor", defaults.mDensityFactor, &v);
    mDensityFactor = v;
  } else {
    mDensityFactor = 1.1;
  }
  r.logWrongKeys();
}

QString Quirel_Settings::description() const {
  return QString::asprintf("settings (%lx)", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(this)));
}

void Quirel_Settings::setFilePath(const QString& path, bool appending) {
  mFilePath = path;
  mAppending = appending;
}

void Quirel_Settings::normalizeExtension() {
  const int slash = int(mFilePath.lastIndexOf(QLatin1Char('/')));
  const int dot = int(mFilePath.lastIndexOf(QLatin1Char('.')));
  if (dot <= slash + 1) return;  // no extension (a leading dot names a hidden file)
  // Letter case as the output name rule reads it: "Report.PDF" is a PDF.
  const QString extension = mFilePath.mid(dot + 1).toLower();
  const QString base = mFilePath.left(dot);
  if (extension == QLatin1String("pdf") && mFileType != 2)
    mFilePath = base + QLatin1String(".tif");
  else if (extension == QLatin1String("tif") && mFileType == 2)
    mFilePath = base + QLatin1String(".pdf");
}

QString Quirel_Settings::CompleteOutputPath(const QString& path, int32_t fileType) {
  if (path.isEmpty()) return path;
  const uint32_t type = fileType == 2 ? ZuzuvovOvav::kFileTypePDF : ZuzuvovOvav::kFileTypeTIFF;
  return QFile::decodeName(
      QByteArray::fromStdString(ZuzuvovOvav::CompleteOutputPath(QFile::encodeName(path).toStdString(), type)));
}

void Quirel_Settings::setPreviewSize(double width, double height) {
  mPreviewWidth = width;
  mPreviewHeight = height;
}

bool Quirel_Settings::dimsFlipped() const {
  if (mFlatbed) return mOrientation == 1 || mOrientation == 3;
  return mOrientation == 1 || mOrientation == 3 || mOrientation == 4 || mOrientation == 6;
}

bool Quirel_Settings::autoLength() const {
  return mAutoLength && !mFlatbed && (mOrientation == 0 || mOrientation == 2);
}

bool Quirel_Settings::duplex() const { return mDuplex && !mFlatbed; }
bool Quirel_Settings::flipBacks() const { return mFlipBacks && duplex(); }
bool Quirel_Settings::skipFirst() const { return mSkipFirst && duplex(); }
bool Quirel_Settings::skipLast() const { return mSkipLast && duplex(); }

bool Quirel_Settings::defaultThreshold() const {
  return mScanTypeTag == 1 && mDefaultThreshold && !mDensityThreshold;
}

bool Quirel_Settings::dynamicThreshold() const {
  return mScanTypeTag == 1 && mDynamicThreshold && !mDensityThreshold;
}

bool Quirel_Settings::fixedThreshold() const {
  return mScanTypeTag == 1 && !mDefaultThreshold && !mDynamicThreshold && !mDensityThreshold;
}

bool Quirel_Settings::turboLineArt() const { return mScanTypeTag == 1 && !fixedThreshold() && !dynamicThreshold(); }

int32_t Quirel_Settings::threshold() const { return fixedThreshold() ? mThreshold : -1; }

int32_t Quirel_Settings::despeckle() const { return fixedThreshold() ? mDespeckle : -1; }

int32_t Quirel_Settings::blackPoint() const { return mScanTypeTag == 1 ? -1 : mBlackPoint; }
int32_t Quirel_Settings::whitePoint() const { return mScanTypeTag == 1 ? -1 : mWhitePoint; }
double Quirel_Settings::scanLeft() const { return mScanFullPage ? -1 : mScanLeft; }
double Quirel_Settings::scanTop() const { return mScanFullPage ? -1 : mScanTop; }
double Quirel_Settings::scanWidth() const { return mScanFullPage ? -1 : mScanWidth; }
double Quirel_Settings::scanHeight() const { return mScanFullPage ? -1 : mScanHeight; }

void Quirel_Settings::addDimension(double length, const QString& tag, QStringList* args) const {
  const double v = (mUsingMetric ? length / 25.4 : length) * 1200;
  // Rounded half away from zero; a value beyond 32 bits is held at the
  // largest one (the tool names it as too long) rather than wrapping.
  if (!(v >= 0.5)) return;
  const int32_t n = v >= double(INT32_MAX) ? INT32_MAX : int32_t(std::round(v));
  *args << QStringLiteral("--") + tag << QString::number(n);
}

void Quirel_Settings::addCutoff(int32_t value, const QString& tag, QStringList* args) {
  if (value != 0) *args << QStringLiteral("--") + tag << QString::number(value);
}

QStringList Quirel_Settings::getArgs() const {
  const bool f = dimsFlipped();
  const bool a = autoLength();
  const bool lineArt = mScanTypeTag == 1;
  QStringList args;

  args << (mFlatbed ? QStringLiteral("--flatbed") : QStringLiteral("--adf"));
  switch (mScanTypeTag) {
    case 1: args << QStringLiteral("--mono"); break;
    case 4: args << QStringLiteral("--gray") << QStringLiteral("--bits") << QStringLiteral("4"); break;
    case 8: args << QStringLiteral("--gray") << QStringLiteral("--bits") << QStringLiteral("8"); break;
    case 12: args << QStringLiteral("--rgb") << QStringLiteral("--bits") << QStringLiteral("4"); break;
    case 24: args << QStringLiteral("--rgb") << QStringLiteral("--bits") << QStringLiteral("8"); break;
    default: break;
  }
  args << QStringLiteral("--resolution") << QString::number(mResolution);
  if (turboLineArt()) args << QStringLiteral("--turbo") << QStringLiteral("0");

  addDimension(f ? mPaperLength : mPaperWidth, QStringLiteral("paper-width"), &args);
  if (a && !f)
    args << QStringLiteral("--auto-length");
  else
    addDimension(f ? mPaperWidth : mPaperLength, QStringLiteral("paper-height"), &args);

  if (mDuplex && !mFlatbed) {
    args << QStringLiteral("--duplex");
    if (mSkipFirst) args << QStringLiteral("--skip-first");
    if (mSkipLast) args << QStringLiteral("--skip-last");
  }

  if (mOrientation >= 0 && mOrientation < 8)
    args << QString::fromLatin1(kRotationArgs[mOrientation % 4][mFlipBacks ? 1 : 0]);

  const QString width = QStringLiteral("width"), height = QStringLiteral("height");
  const QString left = QStringLiteral("left"), top = QStringLiteral("top");
  if (mScanFullPage) {
    args << QStringLiteral("--left") << QStringLiteral("0");
    addDimension(mPaperWidth, f ? height : width, &args);
    args << QStringLiteral("--top") << QStringLiteral("0");
    if (!(a && !f)) addDimension(mPaperLength, f ? width : height, &args);
  } else {
    addDimension(mScanLeft, f ? top : left, &args);
    addDimension(mScanWidth, f ? height : width, &args);
    addDimension(mScanTop, f ? left : top, &args);
    if (!(a && !f)) addDimension(mScanHeight, f ? width : height, &args);
  }

  args << QStringLiteral("--double-feed");
  if (mFlatbed)
    args << QStringLiteral("n");
  else if (mDoubleThickness && mDoubleLength)
    args << QStringLiteral("tl");
  else if (mDoubleThickness)
    args << QStringLiteral("t");
  else if (mDoubleLength)
    args << QStringLiteral("l");
  else
    args << QStringLiteral("n");

  if (lineArt) {
    if (dynamicThreshold()) {
      args << QStringLiteral("--dtc") << QStringLiteral("d");
    } else if (fixedThreshold()) {
      addCutoff(mThreshold, QStringLiteral("threshold"), &args);
      addCutoff(mDespeckle, QStringLiteral("despeckle"), &args);
    }
  } else {
    addCutoff(mBlackPoint, QStringLiteral("black"), &args);
    addCutoff(mWhitePoint, QStringLiteral("white"), &args);
  }

  // The factor is written with a '.' whatever the locale.
  if (lineArt && mDensityThreshold)
    args << QStringLiteral("--density") << QString::number(mDensityFactor + 0.00005, 'f', 4);

  switch (mFileType) {
    case 3:
      args << QStringLiteral("--tiff");
      if (!lineArt) args << QStringLiteral("--compress") << QStringLiteral("zlib");
      break;
    case 2: args << QStringLiteral("--pdf"); break;
    case 1: args << QStringLiteral("--tiff"); break;
    default: break;
  }

  if (mPreview && mPreviewWidth > 0 && mPreviewHeight > 0) {
    auto truncated = [](double v) {
      return v >= double(INT32_MAX) ? QString::number(INT32_MAX) : QString::number(int32_t(v));
    };
    args << QStringLiteral("--preview") << truncated(mPreviewWidth) << truncated(mPreviewHeight);
  }
  if (mAppending) args << QStringLiteral("--append");
  if (!mFilePath.isEmpty()) args << mFilePath;
  return args;
}

QString Quirel_Settings::getArgsString() const { return getArgs().join(QLatin1Char(' ')); }

namespace {

// `arg` as a POSIX shell reads it back: unchanged when it holds only
// characters no shell treats specially, else in single quotes.
QString ShellQuoted(const QString& arg) {
  static const QString plain = QStringLiteral("@%+=:,./-_");
  bool safe = !arg.isEmpty();
  for (QChar c : arg)
    if (!(c.isLetterOrNumber() && c.unicode() < 128) && !plain.contains(c)) safe = false;
  if (safe) return arg;
  QString quoted = arg;
  quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
  return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

// The arguments of a command a user runs, grouped so that an option stays
// with its values: "--paper-width 10200", "--preview" left out.
QStringList CommandWords(QStringList args) {
  QStringList words{QStringLiteral("quirel")};
  for (qsizetype i = 0; i < args.size(); ++i) {
    if (args[i] == QLatin1String("--preview") && i + 2 < args.size()) {
      i += 2;
      continue;
    }
    QString word = ShellQuoted(args[i]);
    // An option's values follow it: anything that does not start with "--"
    // (the output path is last and always a word of its own).
    while (args[i].startsWith(QLatin1String("--")) && i + 2 < args.size() && !args[i + 1].startsWith(QLatin1String("--")))
      word += QLatin1Char(' ') + ShellQuoted(args[++i]);
    words << word;
  }
  return words;
}

}  // namespace

QString Quirel_Settings::getCommandString() const { return CommandWords(getArgs()).join(QLatin1Char(' ')); }

QString Quirel_Settings::getCommandLines(int width) const {
  QString text, line;
  for (const QString& word : CommandWords(getArgs())) {
    if (!line.isEmpty() && line.size() + 1 + word.size() > width) {
      text += line + QLatin1String(" \\\n");
      line = QStringLiteral("  ");
    }
    line += (line.isEmpty() || line == QLatin1String("  ") ? QString() : QStringLiteral(" ")) + word;
  }
  return text + line;
}

void Quirel_Settings::updateOpenWithApp(const HelperApp* app, const QString& type) const {
  QVariantMap dict = readDictionary().value_or(QVariantMap());
  const QString key = OpenWithKey(type);
  if (app) {
    // A missing value ends the entry: the later ones are left out.
    QVariantMap entry;
    const std::pair<const char*, const QString*> values[] = {
        {"bundle", &app->bundleId}, {"path", &app->appPath}, {"name", &app->appName}};
    for (const auto& [name, value] : values) {
      if (value->isNull()) break;
      entry.insert(QLatin1String(name), *value);
    }
    dict.insert(key, entry);
  } else {
    dict.remove(key);
  }
  writeDictionary(dict);
}

std::optional<HelperApp> Quirel_Settings::getOpenWithAppForType(const QString& type) const {
  const auto dict = readDictionary();
  if (!dict) return std::nullopt;
  auto it = dict->find(OpenWithKey(type));
  if (it == dict->end()) return std::nullopt;
  if (it->typeId() != QMetaType::QVariantMap) {
    Log("settings: \"%s\" is not a dictionary; no application is remembered", OpenWithKey(type).toUtf8().constData());
    return std::nullopt;
  }
  const QVariantMap entry = it->toMap();
  auto text = [&](const char* key) {
    const QVariant v = entry.value(QLatin1String(key));
    return v.typeId() == QMetaType::QString ? v.toString() : QString();
  };
  return HelperApp(text("bundle"), text("path"), text("name"));
}

}  // namespace quirel::frontend
