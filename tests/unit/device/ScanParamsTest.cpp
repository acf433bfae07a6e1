// Tests of ScanParams: tone, turbo, JPEG, threshold, geometry, rotation, length and paths.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "CmdTestDevice.h"
#include "FujiDevice.h"
#include "FujiScanParams.h"
#include "TempDir.h"

using namespace ZuzuvovOvav;
using quirel::testing::CmdTestDevice;
using quirel::testing::kFi7160;  // JPEG 6/130, turbo 7/131, 8.85 in feeder, long scans
using quirel::testing::kS500;    // weight 0.70
namespace usb = quirel::usb;

namespace {

constexpr uint32_t kFi7180 = 0x132C;    // JPEG 5/130, turbo 6/131
constexpr uint32_t kFi5110C = 0x1097;   // turbo always, 8.5 in, turbo list 600 ... 150
constexpr uint32_t kFi6130 = 0x114F;    // weight 0, turbo list 600, 400, 300, 200
constexpr uint32_t kFi4220C2 = 0x10AF;  // flatbed 8.68 in, feeder 8.85 in

ScanParams Params(ImageTypeE type, uint16_t res = 300) {
  ScanParams p(type);
  p.mXRes = p.mYRes = res;
  return p;
}

}  // namespace

TEST(ScanParamsTone, SettersKeepDepthAndTonePointsConsistent) {
  ScanParams gray(kImageTypeGray);
  EXPECT_EQ(gray.mBitsOut, 6);
  EXPECT_EQ(gray.mBlackPoint, 16);
  EXPECT_EQ(gray.mWhitePoint, 231);
  gray.SetBitsOut(4);
  gray.SetImageType(kImageTypeColor);
  EXPECT_EQ(gray.mBitsOut, 4) << "a gray depth of 2 to 8 bits is kept";
  gray.SetImageType(kImageTypeLineArt);
  EXPECT_EQ(gray.mBitsPerComponent, 1);
  EXPECT_EQ(gray.mBitsOut, 1);
  gray.SetImageType(kImageTypeGray);
  EXPECT_EQ(gray.mBitsOut, 6) << "1 bit is not a gray depth";
  gray.SetBitsOut(8);
  EXPECT_EQ(gray.mBlackPoint, 0);
  EXPECT_EQ(gray.mWhitePoint, 255);
}

TEST(ScanParamsTurbo, ScansGrayAtTheNextUsableLowerResolution) {
  CmdTestDevice fi5110c(kFi5110C);
  CmdTestDevice fi6130(kFi6130);
  Device noModel;  // no turbo list at all
  struct Case {
    const Device* device;
    uint16_t x, y;
    double xScale, yScale;  // as set by the caller
    uint16_t newX, newY;
  } cases[] = {
      {&fi5110c.device, 300, 300, 0, 0, 200, 200},  // 200 is at most 1.5 times finer
      {&fi5110c.device, 600, 600, 0, 0, 400, 400},
      {&fi5110c.device, 150, 150, 0, 0, 150, 150},  // nothing lower
      {&fi5110c.device, 600, 600, 2, 3, 300, 200},  // the caller's scales divide
      {&fi6130.device, 300, 400, 0, 0, 300, 400},   // 200 refused: 400 > 1.5 x 200
      {&fi6130.device, 300, 400, 2, 3, 150, 133},
      {&noModel, 300, 300, 0, 0, 200, 200},
      {&noModel, 300, 300, 1000, 0, 1, 200},  // never down to 0 dpi
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.x << "x" << c.y << " scales " << c.xScale << "," << c.yScale);
    ScanParams p = Params(kImageTypeLineArt);
    p.mXRes = c.x;
    p.mYRes = c.y;
    p.mTurbo = c.device != &fi5110c.device;  // that model always scans line art in turbo
    p.mTurboXScale = c.xScale;
    p.mTurboYScale = c.yScale;
    p.Adjust(*c.device);
    EXPECT_TRUE(p.mTurbo);
    EXPECT_EQ(p.mXRes, c.newX);
    EXPECT_EQ(p.mYRes, c.newY);
    EXPECT_EQ(p.mOutXRes, c.x);
    EXPECT_DOUBLE_EQ(p.mTurboXScale, double(c.x) / c.newX);
    EXPECT_DOUBLE_EQ(p.mTurboYScale, double(c.y) / c.newY);
    EXPECT_EQ(p.mImageType, kImageTypeGray);
    EXPECT_EQ(p.mBitsOut, 8);
    EXPECT_EQ(p.mBlackPoint, 0);
    EXPECT_EQ(p.mWhitePoint, 255);
  }

  // Turbo asked for gray, or line art not asked for turbo, stays as it is.
  ScanParams gray = Params(kImageTypeGray);
  gray.mTurbo = true;
  gray.Adjust(fi6130.device);
  EXPECT_FALSE(gray.mTurbo);
  ScanParams lineArt = Params(kImageTypeLineArt);
  lineArt.Adjust(fi6130.device);
  EXPECT_EQ(lineArt.mImageType, kImageTypeLineArt);
  EXPECT_FALSE(lineArt.mWillUseJpeg);
}

TEST(ScanParamsJpeg, ChosenLevelStaysAndDuplexInterleavesOnlyWithJpeg) {
  CmdTestDevice high(kFi7180, usb::kUsbSpeedHigh);
  ScanParams chosen = Params(kImageTypeColor);
  chosen.mJpegLevel = 3;
  chosen.Adjust(high.device);
  EXPECT_EQ(chosen.mJpegLevel, 3);

  ScanParams duplex = Params(kImageTypeGray);
  duplex.mDuplex = true;
  ScanParams noJpeg = duplex;
  noJpeg.mAllowJpeg = false;
  duplex.Adjust(high.device);
  noJpeg.Adjust(high.device);
  EXPECT_TRUE(duplex.mJpegInterleave);
  EXPECT_FALSE(noJpeg.mCanUseJpeg);
  EXPECT_FALSE(noJpeg.mJpegInterleave);
}

TEST(ScanParamsThreshold, CallerAndModelWeightsCombine) {
  CmdTestDevice s500(kS500), fi6130(kFi6130), fi7160(kFi7160);
  struct Case {
    const Device* device;
    double weight, density, expected;
  } cases[] = {{&s500.device, 0, 1.2, 0.84},
               {&fi6130.device, 0, 1.0, 0.75},
               {&fi6130.device, 0.8, 1.0, 0.6},
               {&fi7160.device, 0.5, 0.5, 0.16}};
  for (const Case& c : cases) {
    ScanParams p = Params(kImageTypeGray);
    p.mThresholdWeight = c.weight;
    p.mDensityFactor = c.density;
    p.Adjust(*c.device);
    EXPECT_NEAR(p.mThresholdWeight, c.expected, 1e-6) << c.device->GetSettings()->mModelName << " w " << c.weight;
  }
}

TEST(ScanParamsGeometry, WidthRoundsForTheDataFormatWithinTheDevice) {
  CmdTestDevice fi7160(kFi7160), fi5110c(kFi5110C), fi4220c2(kFi4220C2);
  struct Case {
    const char* what;
    const Device* device;
    ImageTypeE type;
    uint32_t width;  // 1/1200 in
    bool flatbed, allowJpeg;
    uint32_t pixels, lines;
    uint16_t res = 300;
    uint32_t left = 0;
  } cases[] = {
      {"gray JPEG 1001 px", &fi7160.device, kImageTypeGray, 4004, false, true, 1008, 1008},
      {"gray without JPEG", &fi7160.device, kImageTypeGray, 4004, false, false, 1001, 1001},
      {"line art: width only", &fi7160.device, kImageTypeLineArt, 4004, false, true, 1008, 1001},
      {"2560 px exceed 8.5 in", &fi5110c.device, kImageTypeGray, 10180, false, true, 2544, 1008},
      {"feeder 8.85 in", &fi4220c2.device, kImageTypeGray, 10380, false, true, 2608, 1008},
      {"flatbed 8.68 in", &fi4220c2.device, kImageTypeGray, 10380, true, true, 2592, 1008},
      // 2128 px are 10214.4/1200 in: 10214 would give the scanner 2127.
      {"gray JPEG at 250 dpi", &fi7160.device, kImageTypeGray, 10200, false, true, 2128, 848, 250},
      {"raw gray at 72 dpi", &fi7160.device, kImageTypeGray, 9921, false, false, 595, 240, 72},
      {"the left offset counts", &fi7160.device, kImageTypeGray, 10016, false, true, 2496, 1008, 300, 600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScanParams p = Params(c.type, c.res);
    p.mScanWidth = c.width;
    p.mUpperLeftX = c.left;
    p.mScanHeight = 4004;
    p.mPaperWidth = 10000;
    p.mUseFlatbed = c.flatbed;
    p.mAllowJpeg = c.allowJpeg;
    p.mOverSample = c.type == kImageTypeLineArt;  // never doubles line art
    p.Adjust(*c.device);
    EXPECT_EQ(p.mXPixelCount, c.pixels);
    EXPECT_EQ(p.mYPixelCount, c.lines);
    EXPECT_EQ(uint64_t(p.mInWidth1200 - 1) * c.res / 1200, c.pixels - 1) << "the smallest window of these pixels";
    EXPECT_EQ(p.mOutImageWidthPixel, c.pixels);
    // The paper grows to a rounded window wider than it.
    EXPECT_EQ(p.mPaperWidth, p.mInWidth1200 > 10000 && p.mInWidth1200 != c.width ? p.mInWidth1200 : 10000u);
  }
}

TEST(ScanParamsGeometry, OversampleDoublesGrayPixelCounts) {
  CmdTestDevice fi7160(kFi7160);
  ScanParams p = Params(kImageTypeGray);
  p.mOverSample = true;
  p.Adjust(fi7160.device);
  EXPECT_EQ(p.mInWidth1200, 10240u);
  EXPECT_EQ(p.mInHeight1200, 13248u);
  EXPECT_EQ(p.mXPixelCount, 5120u);
  EXPECT_EQ(p.mYPixelCount, 6624u);
  EXPECT_EQ(p.mBufHeightRaw, 6624u);
  EXPECT_EQ(p.mOutImageWidthPixel, 2560u) << "the output is at the scan resolution";
}

TEST(ScanParamsRotation, FrontQuarterTurnsMakeLandscape) {
  CmdTestDevice fi7160(kFi7160);
  struct Case {
    uint32_t rotation;
    bool preset;
    uint32_t rotationAfter;
    bool landscape;
  } cases[] = {{0, false, 0, false}, {0, true, 9, true},   {4, false, 4, true},   {8, false, 8, true},
               {6, false, 6, true},  {3, false, 3, false}, {12, true, 12, false}, {20, false, 20, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rotation);
    ScanParams p = Params(kImageTypeLineArt);
    p.mRotation = c.rotation;
    p.mLandscape = c.preset;
    testing::internal::CaptureStderr();
    p.Adjust(fi7160.device);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(p.mRotation, c.rotationAfter);
    EXPECT_EQ(p.mLandscape, c.landscape);
    EXPECT_EQ(err, c.rotation > 15 ? "line 25 of sources-cmd/FujiScanEnums, assertion failed: rp <= 0xf\n" : "");
  }
  // Other checks name their file without the folders of the build.
  testing::internal::CaptureStderr();
  const int line = __LINE__ + 1;
  QUIREL_ASSERT(1 + 1 == 3);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "line " + std::to_string(line) + " of ScanParamsTest, assertion failed: 1 + 1 == 3\n");
}

TEST(ScanParamsRotation, LandscapeSwapsWidthAndLengthAndSkipsAutoLength) {
  CmdTestDevice fi7160(kFi7160);
  ScanParams p = Params(kImageTypeLineArt);
  p.mRotation = 8;
  p.mScanWidth = 10200;  // along the feed once turned
  p.mScanHeight = 6000;  // across the feed once turned: 1500 pixels
  p.mPaperHeight = 0;
  p.mDetectLength = true;
  p.Adjust(fi7160.device);
  EXPECT_EQ(p.mBottomTrim, 0u);
  EXPECT_EQ(p.mInWidth1200, 6016u);
  EXPECT_EQ(p.mPaperHeight, 6016u) << "the paper across the feed grows to the rounded window";
  EXPECT_EQ(p.mInHeight1200, 10200u);
  EXPECT_EQ(p.mOutImageWidthPixel, 2550u);
  EXPECT_DOUBLE_EQ(p.mOutImageWidthPoint, 612.0);
  EXPECT_EQ(p.mBufWidthRaw, 2550u);
  EXPECT_EQ(p.mBufHeightRaw, 1504u);

  p.Adjust(1500u, 2600u);
  EXPECT_EQ(p.mXPixelCount, 1500u);
  EXPECT_EQ(p.mBufWidthRaw, 2600u);
  EXPECT_EQ(p.mBufHeightRaw, 1500u);
}

// Automatic length takes the longest length at the larger of the two
// resolutions (after turbo lowered them); the window is then cut by one JPEG
// block when it passes the longest length at the X resolution. The JPEG level
// and subsampling follow the connection speed.
TEST(ScanParamsLength, LongestLengthByResolutionOnBothSpeeds) {
  constexpr uint32_t kAuto = 0;  // automatic length
  struct Case {
    const char* what;
    uint32_t product;
    int speed;
    ImageTypeE type;
    uint16_t x, y;
    int32_t subsample;  // asked for; 0 takes the model's
    uint32_t top, height;
    // expected
    uint16_t scanX, scanY;
    int32_t level, jpegSubsample;
    uint32_t paper, scanHeight, trim, inHeight, lines;
  } cases[] = {
      {"colour 400x300", kFi7160, usb::kUsbSpeedHigh, kImageTypeColor, 400, 300, 129, 0, kAuto,
       400, 300, 6, 129, 192000, 192000, 35 + 8, 192000, 48000},
      {"colour 300x400", kFi7160, usb::kUsbSpeedHigh, kImageTypeColor, 300, 400, 129, 0, kAuto,
       300, 400, 6, 129, 192000, 192000, 47 + 8, 192000, 64000},
      {"colour 400x300 window", kFi7160, usb::kUsbSpeedHigh, kImageTypeColor, 400, 300, 129, 0, 200000,
       400, 300, 6, 129, 200000, 200000, 0, 199936, 49984},
      // Longer than a JPEG image can be: raw, not rounded to blocks.
      {"colour 300x400 window", kFi7160, usb::kUsbSpeedHigh, kImageTypeColor, 300, 400, 129, 0, 200000,
       300, 400, 6, 129, 200000, 200000, 0, 199998, 66666},
      // The window below its top offset ends within the longest length.
      {"window top 1 in", kFi7160, usb::kUsbSpeedHigh, kImageTypeColor, 300, 300, 129, 1200, kAuto,
       300, 300, 6, 129, 258000, 256800, 35 + 8, 256768, 64192},
      {"colour top 1/50 in", kFi7160, usb::kUsbSpeedHigh, kImageTypeColor, 300, 300, 129, 24, kAuto,
       300, 300, 6, 129, 258000, 257976, 35 + 8, 257920, 64480},
      {"gray top 1 in at 250 dpi", kFi7160, usb::kUsbSpeedHigh, kImageTypeGray, 250, 250, 129, 1200, kAuto,
       250, 250, 6, 129, 258000, 256800, 30 + 8, 256743, 53488},
      {"gray longest paper below 1 in", kFi7160, usb::kUsbSpeedHigh, kImageTypeGray, 300, 300, 129, 1200, 256800,
       300, 300, 6, 129, 256800, 256800, 0, 256768, 64192},
      {"window top beyond the longest", kFi7160, usb::kUsbSpeedHigh, kImageTypeColor, 300, 300, 129, 300000, kAuto,
       300, 300, 6, 129, 258000, 0, 35 + 8, 0, 0},
      {"line art: no JPEG rows", kFi7160, usb::kUsbSpeedHigh, kImageTypeLineArt, 600, 600, 129, 0, kAuto,
       600, 600, 6, 129, 127560, 127560, 71, 127560, 63780},
      {"SuperSpeed colour 200x400", kFi7180, usb::kUsbSpeedSuper, kImageTypeColor, 200, 400, 0, 0, kAuto,
       200, 400, 6, 129, 192000, 192000, 47 + 8, 192000, 64000},
      {"high-speed colour 200x400", kFi7180, usb::kUsbSpeedHigh, kImageTypeColor, 200, 400, 0, 0, kAuto,
       200, 400, 5, 130, 192000, 192000, 47 + 8, 192000, 64000},
      {"SuperSpeed turbo 600x400", kFi7180, usb::kUsbSpeedSuper, kImageTypeLineArt, 600, 400, 0, 0, kAuto,
       300, 300, 7, 129, 258000, 258000, 35 + 8, 257984, 64496},
      {"high-speed turbo 600x400", kFi7180, usb::kUsbSpeedHigh, kImageTypeLineArt, 600, 400, 0, 0, kAuto,
       300, 300, 6, 129, 258000, 258000, 35 + 8, 257984, 64496},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CmdTestDevice d(c.product, c.speed);
    ScanParams p(c.type);
    p.mXRes = c.x;
    p.mYRes = c.y;
    p.mTurbo = c.type == kImageTypeLineArt && c.x != c.y;
    p.mJpegSubsample = c.subsample;
    p.mUpperLeftY = c.top;
    p.mDetectLength = c.height == kAuto;
    p.mPaperHeight = p.mScanHeight = c.height;
    p.Adjust(d.device);
    EXPECT_EQ(p.mOutXRes, c.x);
    EXPECT_EQ(p.mOutYRes, c.y);
    EXPECT_EQ(p.mXRes, c.scanX);
    EXPECT_EQ(p.mYRes, c.scanY);
    EXPECT_EQ(p.mJpegLevel, c.level);
    EXPECT_EQ(p.mJpegSubsample, c.jpegSubsample);
    EXPECT_EQ(p.mPaperHeight, c.paper);
    EXPECT_EQ(p.mScanHeight, c.scanHeight);
    EXPECT_EQ(p.mBottomTrim, c.trim);
    EXPECT_EQ(p.mInHeight1200, c.inHeight);
    EXPECT_EQ(p.mYPixelCount, c.lines);
  }
}

TEST(ScanParamsLength, AutomaticLengthIsTraced) {
  CmdTestDevice fi7160(kFi7160);
  ScanParams color = Params(kImageTypeColor);
  color.mDetectLength = true;
  color.mPaperHeight = 0;
  color.mUpperLeftY = 1200;
  gVerbose = true;
  testing::internal::CaptureStderr();
  color.Adjust(fi7160.device);
  std::string trace = testing::internal::GetCapturedStderr();
  gVerbose = false;
  EXPECT_EQ(trace, "paper height adjusted from 0 to 258000 (scan height from 13200 to 256800)\n");
}

TEST(ScanParamsTempPath, NamesAFreshFileInThePrivateTemporaryFolderOrNowhere) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  std::string savedValue = saved ? saved : "";
  const quirel::testing::TempDir tmp("paramtest");
  ASSERT_FALSE(tmp.Path().empty());
  const std::string dir = tmp.Path();
  setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);

  ScanParams p;
  ASSERT_EQ(p.GenerateTempFilePath(), 0);
  const std::string prefix = dir + "/quirel/scan-";
  EXPECT_EQ(p.mBaseFilePath.rfind(prefix, 0), 0u) << p.mBaseFilePath;
  EXPECT_EQ(p.mBaseFilePath.size(), prefix.size() + 20);
  EXPECT_EQ(p.mBaseFilePath.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                                              prefix.size()),
            std::string::npos);
  struct stat st;
  EXPECT_NE(lstat(p.mBaseFilePath.c_str(), &st), 0) << "a stray file was left";
  const std::string first = p.mBaseFilePath;
  p.GenerateTempFilePath();
  EXPECT_NE(p.mBaseFilePath, first);

  // A temporary folder that is not a folder of this user's own: the error,
  // and a path at which nothing can be written, in that folder or anywhere.
  const std::string folder = dir + "/quirel", elsewhere = dir + "/elsewhere";
  ASSERT_EQ(rmdir(folder.c_str()), 0);
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0777), 0);
  struct Case {
    const char* what;
    int (*make)(const std::string& folder, const std::string& elsewhere);
    int error;
  } cases[] = {
      {"a file", [](const std::string& f, const std::string&) { return close(creat(f.c_str(), 0600)); }, ENOTDIR},
      {"a link to a folder", [](const std::string& f, const std::string& e) { return symlink(e.c_str(), f.c_str()); },
       ENOTDIR},
      {"another user's folder",
       [](const std::string& f, const std::string&) {
         return mkdir(f.c_str(), 0777) != 0 ? -1 : chown(f.c_str(), 65534, 65534);
       },
       EACCES},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.error == EACCES && getuid() != 0) continue;  // only root can give a folder away
    ASSERT_EQ(c.make(folder, elsewhere), 0);
    EXPECT_EQ(p.GenerateTempFilePath(), c.error);
    const int fd = open((p.mBaseFilePath + ".pdf").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    EXPECT_LT(fd, 0) << p.mBaseFilePath << ".pdf could be created";
    if (fd >= 0) unlink((p.mBaseFilePath + ".pdf").c_str()), close(fd);
    EXPECT_EQ(rmdir(elsewhere.c_str()), 0) << "something was written through the link";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0777), 0);
    if (unlink(folder.c_str()) != 0) rmdir(folder.c_str());
  }

  if (saved)
    setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
  else
    unsetenv("XDG_RUNTIME_DIR");
  rmdir(elsewhere.c_str());
}
