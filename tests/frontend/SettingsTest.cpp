// The scan settings: the tool's argument list for the cases that decide
// each argument, the output path's extension, and the settings dictionary
// read back in either unit with its rules for old, missing and wrong values.
#include <gtest/gtest.h>

#include <functional>

#include "FrontendTestSupport.h"
#include "PrefsStore.h"

using namespace quirel::frontend;
using namespace quirel::frontend::test;

namespace {

struct ArgsCase {
  const char* name;
  bool metric;
  std::function<void(Quirel_Settings&)> set;
  const char* args;  // getArgsString()
  const char* command = nullptr;  // getCommandString() when it is not "quirel " and the arguments
};

const char* const kLetter = "--paper-width 10200 --paper-height 13200";

}  // namespace

TEST(SettingsArgs, EachSettingGivesItsArguments) {
  const std::string letterFull = std::string(kLetter) + " --rotate-n-n --left 0 --width 10200 --top 0 --height 13200";
  const ArgsCase cases[] = {
      {"defaults, metric, with a path", true, [](Quirel_Settings& s) { s.setFilePath("/tmp/a b.pdf", false); },
       "--adf --mono --resolution 300 --turbo 0 --paper-width 9921 --paper-height 14031 --rotate-n-n --left 0 "
       "--width 9921 --top 0 --height 14031 --double-feed tl --pdf /tmp/a b.pdf",
       "quirel --adf --mono --resolution 300 --turbo 0 --paper-width 9921 --paper-height 14031 --rotate-n-n --left 0 "
       "--width 9921 --top 0 --height 14031 --double-feed tl --pdf '/tmp/a b.pdf'"},
      {"automatic length not in force turned", false, [](Quirel_Settings& s) { s.mAutoLength = true, s.mOrientation = 1; },
       "--adf --mono --resolution 300 --turbo 0 --paper-width 13200 --paper-height 10200 --rotate-r-l --left 0 "
       "--height 10200 --top 0 --width 13200 --double-feed tl --pdf"},
      {"scan area, a left edge of 0 and 25.4 mm", true,
       [](Quirel_Settings& s) {
         s.mScanFullPage = false, s.mScanLeft = 0, s.mScanWidth = 25.4, s.mScanTop = 12.7, s.mScanHeight = 0.01;
       },
       "--adf --mono --resolution 300 --turbo 0 --paper-width 9921 --paper-height 14031 --rotate-n-n --width 1200 "
       "--top 600 --double-feed tl --pdf"},
      {"scan area turned", false,
       [](Quirel_Settings& s) {
         s.mScanFullPage = false, s.mOrientation = 3, s.mScanLeft = 1, s.mScanWidth = 2, s.mScanTop = 0.25, s.mScanHeight = 3;
       },
       "--adf --mono --resolution 300 --turbo 0 --paper-width 13200 --paper-height 10200 --rotate-l-r --top 1200 "
       "--height 2400 --left 300 --width 3600 --double-feed tl --pdf"},
      {"fixed threshold, despeckle, thickness only", false,
       [](Quirel_Settings& s) { s.mDefaultThreshold = false, s.mDespeckle = 300, s.mDoubleLength = false; },
       "--adf --mono --resolution 300 $full --double-feed t --threshold 128 --despeckle 300 --pdf"},
      {"dynamic threshold, length only", false,
       [](Quirel_Settings& s) { s.mDynamicThreshold = true, s.mDoubleThickness = false; },
       "--adf --mono --resolution 300 $full --double-feed l --dtc d --pdf"},
      {"density wins over dynamic", false,
       [](Quirel_Settings& s) {
         s.mDynamicThreshold = s.mDensityThreshold = true, s.mDensityFactor = 1.23456, s.mDoubleThickness = s.mDoubleLength = false;
       },
       "--adf --mono --resolution 300 --turbo 0 $full --double-feed n --density 1.2346 --pdf"},
      {"duplex with skips, preview, append", false,
       [](Quirel_Settings& s) {
         s.mDuplex = s.mSkipFirst = s.mSkipLast = true, s.mFlipBacks = true, s.mOrientation = 2;
         s.setPreviewSize(120.7, 80.2), s.setFilePath("/x/scan.pdf", true);
       },
       "--adf --mono --resolution 300 --turbo 0 --paper-width 10200 --paper-height 13200 --duplex --skip-first "
       "--skip-last --rotate-f-n --left 0 --width 10200 --top 0 --height 13200 --double-feed tl --pdf --preview 120 80 "
       "--append /x/scan.pdf",
       "quirel --adf --mono --resolution 300 --turbo 0 --paper-width 10200 --paper-height 13200 --duplex --skip-first "
       "--skip-last --rotate-f-n --left 0 --width 10200 --top 0 --height 13200 --double-feed tl --pdf --append "
       "/x/scan.pdf"},
      {"flatbed drops duplex and double feed, no preview", false,
       [](Quirel_Settings& s) { s.mFlatbed = s.mDuplex = true, s.mOrientation = 1, s.mPreview = false, s.setPreviewSize(9, 9); },
       "--flatbed --mono --resolution 300 --turbo 0 --paper-width 13200 --paper-height 10200 --rotate-r-l --left 0 "
       "--height 10200 --top 0 --width 13200 --double-feed n --pdf"},
      {"automatic length upside down, flipped backs without duplex, 216 mm rounded", true,
       [](Quirel_Settings& s) { s.mAutoLength = s.mFlipBacks = true, s.mOrientation = 2, s.mPaperWidth = 216; },
       "--adf --mono --resolution 300 --turbo 0 --paper-width 10205 --auto-length --rotate-f-n --left 0 --width 10205 "
       "--top 0 --double-feed tl --pdf"},
  };
  for (const ArgsCase& c : cases) {
    ScopedMeasurement unit(c.metric);
    Quirel_Settings s;
    c.set(s);
    std::string expected = c.args;
    if (auto at = expected.find("$full"); at != std::string::npos) expected.replace(at, 5, letterFull);
    EXPECT_EQ(s.getArgsString().toStdString(), expected) << c.name;
    EXPECT_EQ(s.getCommandString().toStdString(), c.command ? c.command : "quirel " + expected) << c.name;
  }
}

TEST(SettingsArgs, ExtensionFollowsTheFileType) {
  const struct {
    const char* path;
    int fileType;
    const char* result;
  } cases[] = {
      {"/s/a.pdf", 3, "/s/a.tif"}, {"/s/a.pdf", 1, "/s/a.tif"}, {"/s/a.tif", 2, "/s/a.pdf"},
      {"/s/a.tiff", 2, "/s/a.tiff"}, {"/s/a.pdf", 2, "/s/a.pdf"}, {"/s.pdf/a", 1, "/s.pdf/a"},
      {"/s/Report.PDF", 1, "/s/Report.tif"}, {"/s/a.TIF", 2, "/s/a.pdf"},
  };
  for (const auto& c : cases) {
    Quirel_Settings s;
    s.mFileType = c.fileType;
    s.setFilePath(c.path, false);
    s.normalizeExtension();
    EXPECT_EQ(s.filePath().toStdString(), c.result) << c.path << " as type " << c.fileType;
  }
  // The name a scan writes, as the tool names it.
  const struct {
    const char* path;
    int fileType;
    const char* written;
  } names[] = {
      {"/s/upper.PDF", 2, "/s/upper.PDF"}, {"/s/scan.v2", 2, "/s/scan.v2.pdf"}, {"/s/invoice.2024", 3, "/s/invoice.2024.tif"},
      {"/s/a.TIFF", 1, "/s/a.TIFF"},       {"/s/a.tif", 2, "/s/a.tif.pdf"},     {"/s/.pdf", 2, "/s/.pdf.pdf"},
  };
  for (const auto& c : names)
    EXPECT_EQ(Quirel_Settings::CompleteOutputPath(c.path, c.fileType).toStdString(), c.written) << c.path;
}

TEST(SettingsDictionary, RoundTripsInEitherUnitAndConvertsAcrossUnits) {
  // Through the preference file's bytes, also where numbers take a decimal comma.
  for (auto [metric, comma] : {std::pair{true, false}, {false, false}, {true, true}}) {
    ScopedMeasurement unit(metric, comma);
    Quirel_Settings a;
    a.mScanTypeTag = 24, a.mResolution = 600, a.mThreshold = 90, a.mDespeckle = 3, a.mBlackPoint = 20;
    a.mWhitePoint = 200, a.mUseTifZLib = a.mAutoLength = a.mDuplex = a.mFlipBacks = a.mSkipFirst = true;
    a.mSkipLast = a.mDynamicThreshold = a.mDensityThreshold = a.mWas1200 = true;
    a.mScanFullPage = a.mDoubleLength = a.mDefaultThreshold = a.mOpenAfterScan = a.mPreview = false;
    a.mPaperWidth = 8.27, a.mPaperLength = 11.69, a.mScanLeft = 0.1, a.mScanTop = 0.2, a.mScanWidth = 3.3;
    a.mScanHeight = 4.4, a.mDensityFactor = 2.5, a.mOrientation = 6, a.mFileType = 3, a.mFileAction = 2;
    QVariantMap written, read;
    a.writeToDictionary(&written);
    QString why;
    ASSERT_EQ(PrefsFromData(PrefsToData(written), &read, &why), PrefsRead::kRead) << why.toStdString();
    Quirel_Settings b;
    b.readFromDictionary(read);
    QVariantMap again;
    b.writeToDictionary(&again);
    EXPECT_EQ(again, written) << (metric ? "millimetres" : "inches") << (comma ? " with decimal commas" : "");
  }

  QVariantMap mm;
  {
    ScopedMeasurement unit(true);
    Quirel_Settings s;
    s.mScanLeft = 25.4;
    s.writeToDictionary(&mm);
  }
  ScopedMeasurement inches(false);
  Quirel_Settings s;
  s.readFromDictionary(mm);
  EXPECT_FALSE(s.mUsingMetric);
  EXPECT_DOUBLE_EQ(s.mPaperWidth, 210 / 25.4);
  EXPECT_DOUBLE_EQ(s.mPaperLength, 297 / 25.4);
  EXPECT_DOUBLE_EQ(s.mScanLeft, 1);
  QVariantMap in;
  s.writeToDictionary(&in);
  ScopedMeasurement back(true);
  Quirel_Settings t;
  t.readFromDictionary(in);
  EXPECT_NEAR(t.mPaperWidth, 210, 1e-9);
  EXPECT_NEAR(t.mScanLeft, 25.4, 1e-9);
}

TEST(SettingsDictionary, OlderMissingAndWrongValuesReadAsTheRulesSay) {
  ScopedMeasurement unit(true);
  const struct {
    const char* name;
    QVariantMap dict;
    std::function<bool(const Quirel_Settings&)> holds;
  } cases[] = {
      {"Landscape without Orientation", {{"Landscape", "YES"}}, [](auto& s) { return s.mOrientation == 7; }},
      {"Landscape beside Orientation", {{"Landscape", "YES"}, {"Orientation", "Long0"}}, [](auto& s) { return s.mOrientation == 0; }},
      {"Orientation by name", {{"Orientation", "Wide90"}}, [](auto& s) { return s.mOrientation == 5; }},
      {"unknown orientation", {{"Orientation", "Sideways"}}, [](auto& s) { return s.mOrientation == 0; }},
      {"dynamic threshold before versions",
       {{"DynamicThreshold", "YES"}, {"DefaultThreshold", "NO"}},
       [](auto& s) { return s.mDefaultThreshold && !s.mDynamicThreshold; }},
      {"dynamic threshold of version 1",
       {{"PrefsVersion", 1}, {"DynamicThreshold", "YES"}, {"DefaultThreshold", "NO"}},
       [](auto& s) { return !s.mDefaultThreshold && s.mDynamicThreshold; }},
      {"missing values", {},
       [](auto& s) {
         return s.mResolution == 0 && s.mPaperWidth == 0 && !s.mScanFullPage && s.mFileAction == 3 && s.mPreview &&
                s.mDensityFactor == 1.1;
       }},
      {"booleans are the text YES only",
       {{"Duplex", "yes"}, {"Action Shows Preview", "NO"}, {"FileAction", 2}, {"DensityFactor", 0.5}},
       [](auto& s) { return !s.mDuplex && !s.mPreview && s.mFileAction == 2 && s.mDensityFactor == 0.5; }},
      {"real booleans count by their value",
       {{"DoubleFeedByThickness", false}, {"FullPage", false}, {"Action Shows Preview", false}, {"Duplex", true}},
       [](auto& s) { return !s.mDoubleThickness && !s.mScanFullPage && !s.mPreview && s.mDuplex; }},
  };
  for (const auto& c : cases) {
    Quirel_Settings s;
    s.readFromDictionary(c.dict);
    EXPECT_TRUE(c.holds(s)) << c.name;
  }

  // On the flatbed both detections are stored on; the feeder reads them so.
  Quirel_Settings flatbed;
  flatbed.mFlatbed = true, flatbed.mDoubleThickness = flatbed.mDoubleLength = false;
  QVariantMap dict;
  flatbed.writeToDictionary(&dict);
  dict["Flatbed"] = "NO";
  Quirel_Settings feeder;
  feeder.readFromDictionary(dict);
  EXPECT_TRUE(feeder.mDoubleThickness && feeder.mDoubleLength);

  // Values of the wrong type take their defaults, booleans NO, named in one log line.
  dict["Resolution"] = "600";
  dict["FullPage"] = 1;
  dict["PaperWidth"] = "wide";
  dict["DensityFactor"] = QVariantList{};
  dict["Orientation"] = 3;
  LogCapture log;
  Quirel_Settings wrong;
  wrong.readFromDictionary(dict);
  EXPECT_EQ(wrong.mResolution, 300);
  EXPECT_FALSE(wrong.mScanFullPage);
  EXPECT_EQ(wrong.mPaperWidth, 210);
  EXPECT_EQ(wrong.mDensityFactor, 1.1);
  EXPECT_EQ(wrong.mOrientation, 0);
  ASSERT_EQ(log.lines.size(), 1u);
  for (const char* key : {"Resolution", "FullPage", "PaperWidth", "DensityFactor", "Orientation"})
    EXPECT_NE(log.lines[0].find(key), std::string::npos) << log.lines[0];
}
