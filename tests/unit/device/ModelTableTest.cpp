// Tests of the model table against the list of supported models.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>

#include "FujiDevice.h"

using namespace ZuzuvovOvav;

namespace {

// The model list, written out again by hand (not copied from the table in
// the code), so that a slip in either shows as a difference. Columns: model | product id | READ size | flags (letters for the
// true booleans) | JPEG level/subsample | turbo JPEG level/subsample |
// threshold weight | turbo speeds | length detection | trim | colour
// order/interleave | neither-side read delay | USB delay | feeder width x
// length | long-scan modes: cutoff/length[, cutoff/length] | flatbed width x
// height ("-" without a flatbed).
const char* const kModelList = R"list(
ScanSnap S500 | 0x10FE | 512K | JICPU | 7/129 | 7/129 | 0.70 | sSpeeds500 | 2 | 0 | 5/1 | 10 | 125 | 8.64 x 34 | 0 | -
ScanSnap S500M | 0x1135 | 512K | JICPU | 7/129 | 7/129 | 0.70 | sSpeeds500 | 2 | 0 | 5/1 | 10 | 125 | 8.64 x 34 | 0 | -
ScanSnap S510 | 0x1155 | 512K | JICPU | 7/129 | 7/129 | 0.70 | sSpeeds500 | 2 | 0 | 5/1 | 10 | 125 | 8.64 x 34 | 0 | -
ScanSnap S510M | 0x116F | 512K | JICPU | 7/129 | 7/129 | 0.70 | sSpeeds500 | 2 | 0 | 5/1 | 10 | 125 | 8.64 x 34 | 0 | -
fi-5110EOX | 0x1096 | 512K | TJICPU | 7/129 | 7/129 | 0.82 | sSpeeds5110eox | 2 | 0 | 5/1 | 10 | 125 | 8.5 x 34 | 0 | -
fi-5110EOXM | 0x10F2 | 512K | TJICPU | 7/129 | 7/129 | 0.82 | sSpeeds5110eox | 2 | 0 | 5/1 | 10 | 125 | 8.5 x 34 | 0 | -
ScanSnap S1500/M | 0x11A2 | 512K | TJICPU | 7/129 | 7/131 | 0.69 | sSpeedsS1500 | 1 | 0.118 | 5/1 | 5 | 125 | 8.5 x 34 | 0 | -
fi-5110C | 0x1097 | 512K | TJICPU | 7/129 | 7/129 | 0.76 | sSpeeds5110c | 2 | 0 | 5/1 | 10 | 125 | 8.5 x 34 | 0 | -
fi-6110 | 0x11FC | 512K | TJICPU | 7/129 | 7/131 | 0 | sSpeeds6110c | 1 | 0.118 | 0/1 | 10 | 125 | 8.7 x 34 | 7: 200/125 | -
fi-4120C | 0x1041 | 32K | JIPDU | 5/129 | 5/129 | 0.68 | sSpeeds4x20c | 2 | 0.157 | 5/1 | 10 | 2020 | 8.5 x 14 | 7: 400/28 | -
fi-4220C | 0x1042 | 32K | JIFLPDU | 5/129 | 5/129 | 0.68 | sSpeeds4x20c | 2 | 0.157 | 5/1 | 10 | 2020 | 8.5 x 14 | 7: 400/28 | 8.5 x 11.6929
fi-4120C2 | 0x10AE | 512K | JICPDU | 7/129 | 7/129 | 0.73 | sSpeeds4x20c2 | 2 | 0.118 | 5/1 | 10 | 125 | 8.85 x 14 | 7: 400/34 | -
fi-4220C2 | 0x10AF | 512K | JIFLCPU | 7/129 | 7/129 | 0.73 | sSpeeds4x20c2 | 2 | 0.118 | 5/1 | 10 | 125 | 8.85 x 14 | 7: 400/34 | 8.68 x 11.6929
fi-5120C | 0x10E0 | 512K | JIPDU | 7/129 | 7/129 | 0.76 | sSpeeds5x20c | 2 | 0.118 | 5/1 | 10 | 125 | 8.85 x 14 | 7: 400/28 | -
fi-5220C | 0x10E1 | 512K | JIFLPDU | 7/129 | 7/129 | 0.76 | sSpeeds5x20c | 2 | 0.118 | 5/1 | 10 | 125 | 8.85 x 14 | 7: 400/28 | 8.68 x 11.6929
fi-6130 | 0x114F | 512K | JICPU | 7/129 | 7/131 | 0 | sSpeeds6x3_40 | 1 | 0.118 | 0/1 | 5 | 125 | 8.85 x 34 | 7: 200/125 | -
fi-6130z | 0x11F3 | 512K | JICPU | 7/129 | 7/131 | 0 | sSpeeds6x3_40z | 1 | 0.118 | 0/1 | 5 | 125 | 8.85 x 34 | 7: 200/125 | -
fi-7160 | 0x132E | 512K | JICUKB | 6/130 | 7/131 | 0.64 | sSpeeds7x6_80 | 1 | 0.118 | 0/1 | 5 | 5 | 8.85 x 106.3 | 7: 400/160, 300/215 | -
fi-6230 | 0x1150 | 512K | JIFCPU | 7/129 | 7/131 | 0 | sSpeeds6x3_40 | 1 | 0.118 | 0/1 | 5 | 125 | 8.85 x 34 | 7: 200/125 | 8.68 x 11.6929
fi-6230z | 0x11F4 | 512K | JIFCPU | 7/129 | 7/131 | 0 | sSpeeds6x3_40z | 1 | 0.118 | 0/1 | 5 | 125 | 8.85 x 34 | 7: 200/125 | 8.68 x 11.6929
fi-7260 | 0x132F | 512K | JIFCUKB | 6/130 | 7/131 | 0.64 | sSpeeds7x6_80 | 1 | 0.118 | 0/1 | 5 | 5 | 8.85 x 106.3 | 7: 400/160, 300/215 | 8.68 x 11.6929
fi-6140 | 0x114D | 512K | JICPUKB | 7/129 | 7/131 | 0.65 | sSpeeds6x3_40 | 1 | 0.118 | 0/1 | 5 | 125 | 8.85 x 34 | 7: 200/125 | -
fi-6140z | 0x11F1 | 512K | JICPUKB | 7/129 | 7/131 | 0.65 | sSpeeds6x3_40z | 1 | 0.118 | 0/1 | 5 | 125 | 8.85 x 34 | 7: 200/125 | -
fi-7180 | 0x132C | 512K | JICUKBX | 5/130 | 6/131 | 0.64 | sSpeeds7x6_80 | 1 | 0.118 | 0/1 | 5 | 5 | 8.85 x 106.3 | 7: 400/160, 300/215 | -
fi-6240 | 0x114E | 512K | JIFCPUKB | 7/129 | 7/131 | 0.65 | sSpeeds6x3_40 | 1 | 0.118 | 0/1 | 5 | 125 | 8.85 x 34 | 7: 200/125 | 8.68 x 11.6929
fi-6240z | 0x11F2 | 512K | JIFCPUKB | 7/129 | 7/131 | 0.65 | sSpeeds6x3_40z | 1 | 0.118 | 0/1 | 5 | 125 | 8.85 x 34 | 7: 200/125 | 8.68 x 11.6929
fi-7280 | 0x132D | 512K | JIFCUKBX | 5/130 | 6/131 | 0.64 | sSpeeds7x6_80 | 1 | 0.118 | 0/1 | 5 | 5 | 8.85 x 106.3 | 7: 400/160, 300/215 | 8.68 x 11.6929
fi-4530C | 0x1078 | 512K | JICPUK | 7/129 | 7/129 | 0.64 | sSpeeds4530c | 2 | 0.197 | 5/1 | 10 | 125 | 12.16 x 17 | 7: 400/34 | -
fi-5530C | 0x10E2 | 512K | ICPUK | 7/129 | 7/129 | 0 | sSpeeds4530c | 2 | 0.089 | 5/1 | 10 | 125 | 12.16 x 34 | 0 | -
fi-5530C2 | 0x114A | 512K | JICPUK | 7/129 | 7/129 | 0 | sSpeeds4530c | 2 | 0.089 | 5/1 | 5 | 125 | 12.16 x 34 | 0 | -
fi-4340C | 0x10CF | 512K | FLP | 7/129 | 7/129 | 0.75 | sSpeeds4340c | 1 | 0.079 | 0/0 | 10 | 125 | 8.64 x 14 | 1: 400/60.68 | 8.5 x 14
fi-5650C | 0x10AD | 512K | JCPKB | 7/129 | 7/130 | 0.69 | sSpeeds5x50c | 1 | 0.236 | 0/1 | 10 | 125 | 12.16 x 34 | 0 | -
fi-5750C | 0x1095 | 512K | JFLCPKB | 7/129 | 7/130 | 0.69 | sSpeeds5x50c | 1 | 0.236 | 0/1 | 10 | 125 | 12.16 x 34 | 0 | 12 x 18
fi-6670 | 0x1176 | 512K | JCPKBX | 6/129 | 7/130 | 0 | sSpeeds6x70c | 1 | 0.157 | 0/1 | 10 | 5 | 12.16 x 18.25 | 7: 400/36.48, 200/126.25 | -
fi-6670A | 0x1177 | 512K | CPKBX | 6/129 | 7/130 | 0 | sSpeeds6x70c | 1 | 0.157 | 0/1 | 10 | 5 | 12.16 x 18.25 | 7: 400/36.48, 200/126.25 | -
fi-6770 | 0x1174 | 512K | JFLCPKBX | 6/129 | 7/130 | 0 | sSpeeds6x70c | 1 | 0.157 | 0/1 | 10 | 5 | 12.16 x 18.25 | 7: 400/36.48, 200/126.25 | 12 x 18
fi-6770A | 0x1175 | 512K | FLCPKBX | 6/129 | 7/130 | 0 | sSpeeds6x70c | 1 | 0.157 | 0/1 | 10 | 5 | 12.16 x 18.25 | 7: 400/36.48, 200/126.25 | 12 x 18
fi-6750S | 0x1178 | 512K | JFLCPKBX | 6/129 | 7/130 | 0 | sSpeeds6x70c | 1 | 0.157 | 0/1 | 10 | 5 | 12.16 x 18.25 | 7: 400/36.48, 200/126.25 | 12 x 18
fi-5900C | 0x10E7 | 512K | JCPKBX | 5/130 | 6/130 | 0 | sSpeeds59x0 | 1 | 0.118 | 0/1 | 10 | 5 | 12.5 x 20.64 | 7: 400/36.48, 200/126.25 | -
fi-5950 | 0x1213 | 512K | JCPKBX | 5/130 | 6/130 | 0 | sSpeeds59x0 | 1 | 0.118 | 0/1 | 10 | 5 | 12.5 x 20.64 | 7: 400/36.48, 200/126.25 | -
fi-6800 | 0x119D | 512K | RJCPKB | 5/130 | 6/131 | 0 | sSpeeds6800 | 1 | 0.079 | 0/1 | 5 | 5 | 12.16 x 20.64 | 7: 400/36.48, 200/126.25 | -
)list";

// The turbo speed lists: mode letter and resolution, highest first.
const char* const kSpeedLists = R"list(
sSpeeds500 | g 600, g 400, g 300, g 200, g 150
sSpeeds5110eox | g 600, g 400, g 300, g 200, g 150
sSpeedsS1500 | g 600, g 300
sSpeeds5110c | g 600, g 400, g 300, g 200, g 150
sSpeeds6110c | g 600, g 400, g 300
sSpeeds4x20c | g 600, g 300, g 200
sSpeeds4x20c2 | g 600, g 300, g 200
sSpeeds5x20c | g 600, g 400, g 300, g 200, c 150
sSpeeds6x3_40 | c 600, c 400, c 300, g 200
sSpeeds6x3_40z | c 600, c 400, c 300, c 200
sSpeeds7x6_80 | c 600, c 400, c 300
sSpeeds4530c | g 600, g 300, g 200
sSpeeds4340c | g 600, g 400, g 300, g 200
sSpeeds5x50c | g 600, g 400, g 300
sSpeeds6x70c | g 600, g 400, g 300, g 200
sSpeeds59x0 | g 600, g 400, g 300
sSpeeds6800 | g 600, g 400, g 300
)list";

// A row of the code's table written in the columns of the list, so that a
// slip shows as a one-line difference (single-precision columns to the
// digits a float holds).
std::string Describe(const ProductSettings& r) {
  std::string flags, speeds, longScan = std::to_string(r.mLongScanModes), flatbed = "-";
  const bool set[] = {r.mTurboAlways,         r.mNeedsCounterReset,     r.mSupportsJpeg,      r.mJpegInterleave,
                      r.mHasFlatbed,          r.mFlatbedLeft,           r.mImplementsReadCheck, r.mUsePixReadSize,
                      r.mNeedsDeskew,         r.mRequiresLut,           r.mNeedToSpecifyPrepick,
                      r.mNeedToSpecifyBuffering, r.mCanContinueAfterDouble};
  for (int i = 0; i < 13; ++i)
    if (set[i]) flags += "TRJIFLCPDUKBX"[i];
  for (const SpeedEntry* e = r.mSpeeds; e && e->mMode; ++e)
    speeds += (speeds.empty() ? "" : ", ") + std::string(1, char(e->mMode)) + " " + std::to_string(e->mResolution);
  char buf[512];
  if (r.mLongResCutoff1 || r.mLongLength1) {
    std::snprintf(buf, sizeof buf, ": %d/%.10g", r.mLongResCutoff1, r.mLongLength1);
    longScan += buf;
  }
  if (r.mLongResCutoff2 || r.mLongLength2) {
    std::snprintf(buf, sizeof buf, ", %d/%.10g", r.mLongResCutoff2, r.mLongLength2);
    longScan += buf;
  }
  if (r.mFlatbedWidth || r.mFlatbedHeight) {
    std::snprintf(buf, sizeof buf, "%.10g x %.10g", r.mFlatbedWidth, r.mFlatbedHeight);
    flatbed = buf;
  }
  std::snprintf(buf, sizeof buf,
                "%s | 0x%04X | %uK | %s | %d/%d | %d/%d | %g | %s | %d | %.10g | %d/%d | %g | %u | %.10g x %.10g | %s | %s",
                r.mModelName, r.mProductId, r.mMaxReadSize / 1024, flags.c_str(), r.mJpegLevel, r.mJpegSubsample,
                r.mJpegTurboLevel, r.mJpegTurboSubsample, r.mDefaultThresholdWeight, speeds.c_str(),
                r.mLengthDetection, r.mAutoLenTrim, r.mBestColorOrder, r.mColorInterleave,
                r.mReadDataNeitherSideDelayMs, r.mUsbDelay, r.mAdfWidth, r.mAdfLength, longScan.c_str(),
                flatbed.c_str());
  return buf;
}

}  // namespace

TEST(ModelTable, EveryRowAndColumnMatchesTheModelList) {
  std::map<std::string, std::string> speedLists;
  std::istringstream lists(kSpeedLists);
  for (std::string line; std::getline(lists, line);)
    if (!line.empty()) speedLists[line.substr(0, line.find(" | "))] = line.substr(line.find(" | ") + 3);

  const ProductSettings* row = Device::sProductSettings;
  std::istringstream models(kModelList);
  int count = 0;
  for (std::string line; std::getline(models, line);) {
    if (line.empty()) continue;
    ++count;
    // The speed list by its entries; weights without trailing zeros.
    const size_t name = line.find("sSpeeds"), nameEnd = line.find(' ', name);
    line.replace(name, nameEnd - name, speedLists.at(line.substr(name, nameEnd - name)));
    for (size_t at = 0; (at = line.find("0 |", at)) != std::string::npos;) {
      if (line[line.find_last_not_of("0123456789", at)] == '.')
        line.erase(at--, 1);
      else
        ++at;
    }
    ASSERT_NE(row->mProductId, 0u) << "the table ends before " << line;
    const ProductSettings& r = *row++;
    EXPECT_EQ(Describe(r), line);
    // The columns that are the same in every row.
    EXPECT_TRUE(r.mSupported && r.mFeedsFaceDown) << r.mModelName;
    EXPECT_EQ(r.mBestDtcSupported, 2) << r.mModelName;
    EXPECT_EQ(r.mReadDataSingleSideDelayMs, 1.1f) << r.mModelName;
    EXPECT_EQ(Device::GetProductById(r.mProductId), &r) << r.mModelName;
  }
  EXPECT_EQ(count, 41);
  EXPECT_EQ(row->mProductId, 0u) << "rows beyond the model list";
  EXPECT_EQ(row->mModelName, nullptr);
  EXPECT_EQ(Device::GetProductById(0), nullptr);
  EXPECT_EQ(Device::GetProductById(0x9999), nullptr);
}
