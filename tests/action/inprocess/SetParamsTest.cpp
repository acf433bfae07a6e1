// The action's ScanParams for a set of settings against those the tool builds from the same settings' command line, field by field; and the scan window's check of the settings against the tool's check of that command line.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <type_traits>

#include "FrontendTestSupport.h"
#include "FujiDevice.h"
#include "GetArgsSettingsTable.h"
#include "ImageWriter.h"
#include "Quirel_ScanController_Base.h"
#include "ScanJob_InProcess.h"
#include "ToolArgs.h"
#include "UsbLayer.h"
#include "VirtualScanner.h"

using namespace quirel::frontend;
using namespace quirel::frontend::test;
using quirel::action::ScanJob_InProcess;
using ZuzuvovOvav::ScanParams;

namespace {

template <typename T>
std::string Text(const T& v) {
  std::ostringstream out;
  if constexpr (std::is_arithmetic_v<T> || std::is_enum_v<T>)
    out << +v;
  else
    out << '"' << v << '"';
  return out.str();
}

// Why a field may differ between the action's record and the tool's; empty
// when the two must agree.
std::string AllowedDifference(const std::string& field) {
  if (field == "mProgramDescription") return "the producer written into the files names the program that wrote them";
  return "";
}

// The command line carries the density factor with four decimals.
template <typename T>
bool Same(const T& a, const T& b) {
  if constexpr (std::is_floating_point_v<T>)
    return std::fabs(a - b) <= 1.0001e-4;
  else
    return a == b;
}

// Each field that differs and is not an allowed difference, as one line.
std::string Differences(const ScanParams& action, const ScanParams& tool) {
  std::string out;
#define QUIREL_COMPARE_FIELD(type, f, value)                                   \
  if (!Same(action.f, tool.f) && AllowedDifference(#f).empty())                 \
    out += std::string(#f) + ": action " + Text(action.f) + ", tool " + Text(tool.f) + "\n";
  QUIREL_SCAN_PARAMS_FIELDS(QUIREL_COMPARE_FIELD)
#undef QUIREL_COMPARE_FIELD
  return out;
}

// The record the tool scans with for these settings.
ScanParams ToolParams(const Quirel_Settings& s) {
  std::vector<std::string> args;
  for (const QString& a : s.getArgs()) args.push_back(a.toStdString());
  quirel::tool::ToolOptions options;
  std::string error;
  EXPECT_TRUE(quirel::tool::ParseToolArgs(args, &options, &error)) << error << "\n" << s.getArgsString().toStdString();
  return options.params;
}

struct Case {
  GetArgsRow row;
  // What the action's record must hold besides agreeing with the tool's.
  std::function<void(const ScanParams&)> check = [](const ScanParams&) {};
  const char* path = "/nowhere/scan";
};

TEST(SetParams, AgreesWithTheToolFieldByField) {
  using S = Quirel_Settings;
  std::vector<Case> cases;
  for (const GetArgsRow& row : GetArgsRows()) cases.push_back({row});
  const std::vector<Case> more = {
      {{"metric letter width", "", 0, [](S& s) { s.mPaperWidth = 215.9, s.mScanTypeTag = 8; }, 0, true},
       [](const ScanParams& p) { EXPECT_EQ(p.mPaperWidth, 10200u);
         EXPECT_EQ(p.mScanWidth, 10200u); }},
      {{"orientation 5 without flipped backs", "", 0, [](S& s) { s.mOrientation = 5; }, 0},
       [](const ScanParams& p) { EXPECT_EQ(p.mRotation, 9u); }},
      {{"orientation 8 is no orientation", "", 0, [](S& s) { s.mOrientation = 8; }, 0},
       [](const ScanParams& p) { EXPECT_EQ(p.mRotation, 0u); }},
      {{"orientation 6 with flipped backs", "", 0, [](S& s) { s.mOrientation = 6, s.mDuplex = s.mFlipBacks = true; }, 0},
       [](const ScanParams& p) { EXPECT_EQ(p.mRotation, 12u); }},
      {{"part of the page, fed wide", "", 0,
        [](S& s) {
          s.mScanFullPage = false, s.mOrientation = 4, s.mScanLeft = 0.25, s.mScanTop = 0.5;
          s.mScanWidth = 1.0, s.mScanHeight = 1.5;
        },
        0},
       [](const ScanParams& p) {
         EXPECT_EQ(p.mUpperLeftX, 600u);
         EXPECT_EQ(p.mUpperLeftY, 300u);
         EXPECT_EQ(p.mScanWidth, 1800u);
         EXPECT_EQ(p.mScanHeight, 1200u);
       }},
      {{"part of the page, metric, gray", "", 0,
        [](S& s) { s.mScanFullPage = false, s.mScanTypeTag = 4, s.mScanLeft = 5, s.mScanTop = 10, s.mScanWidth = 30, s.mScanHeight = 40; },
        0, true}},
      {{"appending, automatic length on the flatbed", "", 0,
        [](S& s) { s.mFlatbed = true, s.mAutoLength = true, s.mAppending = true, s.mDuplex = true; }, 0},
       [](const ScanParams& p) { EXPECT_TRUE(p.mAppend);
         EXPECT_FALSE(p.mDetectLength);
         EXPECT_FALSE(p.mDuplex); }},
      {{"a .tiff name", "", 0, [](S& s) { s.mFileType = 1, s.mScanTypeTag = 8; }, 0},
       [](const ScanParams& p) { EXPECT_EQ(ZuzuvovOvav::ImageWriter::WithExtension(p, p.mBaseFilePath), "/nowhere/scan.tiff"); },
       "/nowhere/scan.tiff"},
      {{"gray with no black or white point", "", 0, [](S& s) { s.mScanTypeTag = 8, s.mBlackPoint = s.mWhitePoint = 0; }, 0}},
      {{"line art with density thresholding", "", 0, [](S& s) { s.mDensityThreshold = true, s.mDensityFactor = 2.5; }, 0},
       [](const ScanParams& p) { EXPECT_DOUBLE_EQ(p.mDensityFactor, 2.5); }},
      {{"fixed threshold 256 is the scanner's default", "", 0,
        [](S& s) { s.mDefaultThreshold = false, s.mThreshold = 256; }, 0},
       [](const ScanParams& p) { EXPECT_EQ(p.mThreshold, 0); }},
      // A threshold and despeckling of the user's are the scanner's: no turbo.
      {{"fixed threshold with despeckling", "", 0,
        [](S& s) { s.mDefaultThreshold = false, s.mThreshold = 140, s.mDespeckle = 3; }, 0},
       [](const ScanParams& p) { EXPECT_EQ(p.mDespeckleFactor, 3);
         EXPECT_FALSE(p.mTurbo); }},
      {{"dynamic threshold", "", 0, [](S& s) { s.mDefaultThreshold = false, s.mDynamicThreshold = true; }, 0},
       [](const ScanParams& p) { EXPECT_FALSE(p.mTurbo); }},
      {{"line art TIFF", "", 0, [](S& s) { s.mFileType = 3; }, 0},
       [](const ScanParams& p) { EXPECT_TRUE(p.mTurbo);
         EXPECT_EQ(p.mCompressOption, 0); }},
      // A turned page's area is measured on the sheet from its other side.
      {{"part of the page, turned over", "", 0,
        [](S& s) {
          s.mScanFullPage = false, s.mOrientation = 2, s.mScanLeft = 0.25, s.mScanTop = 0.5;
          s.mScanWidth = 1.0, s.mScanHeight = 1.5;
        },
        0},
       [](const ScanParams& p) { EXPECT_EQ(p.mUpperLeftX, 420u);
         EXPECT_EQ(p.mUpperLeftY, 288u); }},
      {{"part of the page, turned right", "", 0,
        [](S& s) {
          s.mScanFullPage = false, s.mOrientation = 1, s.mScanLeft = 0.25, s.mScanTop = 0.5;
          s.mScanWidth = 1.0, s.mScanHeight = 1.5;
        },
        0}},
  };
  cases.insert(cases.end(), more.begin(), more.end());

  RecordingController controller("");
  ScanJob_InProcess job(&controller);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.row.name);
    ScopedMeasurement unit(c.row.metric);
    Quirel_Settings& s = controller.settings();
    ApplyGetArgsRow(c.row, s);
    const bool appending = s.appending();
    s.setFilePath(QString::fromUtf8(c.path), appending);
    job.setParams();
    const ScanParams& action = job.scanParams();
    EXPECT_EQ(Differences(action, ToolParams(s)), "") << s.getArgsString().toStdString();
    c.check(action);
    EXPECT_EQ(action.mProgramDescription.rfind("Quirel ", 0), 0u);
  }
}

// Every standard paper on every model, feeder and flatbed, in every image type at every resolution of
// the scan window, and long paper: the window's own check and the tool's check of its command line agree.
// The two A4+ rows lie on the edges of the window's tolerance (1/2400 inch beyond the scanner, and the scan area
// beyond the paper) and of the command line's rounding to 1/1200 inch.
TEST(SetParams, TheToolTakesWhatTheWindowTakes) {
  struct : Quirel_ScanController_Base {
    void doErrorPanel(const QString&) override {}
  } window;
  struct Paper { const char* name; bool metric; double width, length, top = 0, height = 0; };
  const Paper papers[] = {{"A4", true, 210, 297}, {"A5", true, 148, 210}, {"B5", true, 176, 250},
                          {"Letter", false, 8.5, 11}, {"Legal", false, 8.5, 14}, {"A4+", true, 210, 297.0099},
                          {"A4+ area", true, 210, 297.0099, 0.010584, 297.009486},
                          // Long paper: the model's long scans by image type and resolution decide.
                          {"20 in", false, 8.5, 20}, {"35 in", false, 8.5, 35}, {"61 in", false, 8.5, 61},
                          {"130 in", false, 8.5, 130}, {"200 in", false, 8.5, 200}};
  for (const auto* model = ZuzuvovOvav::Device::sProductSettings; model->mProductId != 0; ++model) {
    std::string error;
    auto bus = quirel::virt::MakeVirtualBus("model=" + std::to_string(model->mProductId), &error);
    quirel::usb::SetBusForTesting(bus.get());
    window.getScannerInfo();
    quirel::usb::SetBusForTesting(nullptr);
    ASSERT_TRUE(window.scannerInfo() && window.scannerInfo()->product == model->mProductId) << model->mModelName << error;
    for (const Paper& paper : papers)
      for (int flatbed = 0; flatbed <= int(model->mHasFlatbed); ++flatbed)
        for (const int type : {1, 4, 8, 12, 24})
          for (const int dpi : {100, 150, 200, 240, 300, 400, 600, 1200}) {
            ScopedMeasurement unit(paper.metric);
            Quirel_Settings& s = window.settings() = Quirel_Settings();
            s.mFlatbed = flatbed, s.mScanTypeTag = type, s.mResolution = dpi, s.mScanFullPage = paper.height == 0;
            s.mPaperWidth = s.mScanWidth = paper.width, s.mPaperLength = paper.length;
            s.mScanTop = paper.top, s.mScanHeight = paper.height;
            s.setFilePath("/nowhere/scan", false);
            if (dpi == 1200 && type != 1) continue;  // line art only
            EXPECT_EQ(window.checkSettings(), ToolParams(s).FirstExceededLimit(*model).kind == ZuzuvovOvav::ExceededLimit::kNone)
                << model->mModelName << ", " << paper.name << ": " << s.getArgsString().toStdString();
          }
  }
}

}  // namespace
