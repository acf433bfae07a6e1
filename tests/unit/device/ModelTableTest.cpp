#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "FujiDevice.h"

using namespace ZuzuvovOvav;

namespace {

// A row written back in the columns of the model list (true booleans as
// letters T R J I F L C P D U K B X), so a transcription slip shows as a
// one-line difference.
std::string Describe(uint32_t productId) {
  const ProductSettings* r = Device::GetProductById(productId);
  if (!r) return "(none)";
  std::string flags;
  const bool set[] = {r->mTurboAlways,         r->mNeedsCounterReset, r->mSupportsJpeg,     r->mJpegInterleave,
                      r->mHasFlatbed,          r->mFlatbedLeft,       r->mImplementsReadCheck, r->mUsePixReadSize,
                      r->mNeedsDeskew,         r->mRequiresLut,       r->mNeedToSpecifyPrepick, r->mNeedToSpecifyBuffering,
                      r->mCanContinueAfterDouble};
  for (int i = 0; i < 13; ++i)
    if (set[i]) flags += "TRJIFLCPDUKBX"[i];
  std::string speeds;
  for (const SpeedEntry* e = r->mSpeeds; e && e->mMode; ++e) speeds += char(e->mMode) + std::to_string(e->mResolution);
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "%s %#x %u %s %d/%d %d/%d %g %s %d %g %d/%d %g %u %g x %g %u: %d/%g, %d/%g %g x %g", r->mModelName,
                r->mProductId, r->mMaxReadSize, flags.c_str(), r->mJpegLevel, r->mJpegSubsample, r->mJpegTurboLevel,
                r->mJpegTurboSubsample, r->mDefaultThresholdWeight, speeds.c_str(), r->mLengthDetection,
                r->mAutoLenTrim, r->mBestColorOrder, r->mColorInterleave, r->mReadDataNeitherSideDelayMs, r->mUsbDelay,
                r->mAdfWidth, r->mAdfLength, r->mLongScanModes, r->mLongResCutoff1, r->mLongLength1,
                r->mLongResCutoff2, r->mLongLength2, r->mFlatbedWidth, r->mFlatbedHeight);
  return buf;
}

}  // namespace

TEST(ModelTable, FortyOneDistinctRowsWithTheCommonColumns) {
  std::set<uint32_t> ids;
  std::set<std::string> names;
  int count = 0;
  const ProductSettings* row = Device::sProductSettings;
  for (; row->mProductId != 0; ++row, ++count) {
    SCOPED_TRACE(row->mModelName);
    ids.insert(row->mProductId);
    names.insert(row->mModelName);
    EXPECT_TRUE(row->mSupported && row->mFeedsFaceDown);
    EXPECT_EQ(row->mBestDtcSupported, 2);
    EXPECT_FLOAT_EQ(row->mReadDataSingleSideDelayMs, 1.1f);
    // A flatbed size without the flatbed flag, or the reverse, is a slip.
    EXPECT_EQ(row->mHasFlatbed, row->mFlatbedWidth > 0 && row->mFlatbedHeight > 0);
    uint16_t previous = 601;
    for (const SpeedEntry* e = row->mSpeeds; e->mMode; ++e) {
      EXPECT_LT(e->mResolution, previous) << "turbo lists run from the highest resolution down";
      previous = e->mResolution;
    }
    EXPECT_EQ(Device::GetProductById(row->mProductId), row);
  }
  EXPECT_EQ(count, 41);
  EXPECT_EQ(ids.size(), 41u);
  EXPECT_EQ(names.size(), 41u);
  EXPECT_EQ(row->mModelName, nullptr);
  EXPECT_EQ(Device::GetProductById(0), nullptr);
  EXPECT_EQ(Device::GetProductById(0x9999), nullptr);
}

TEST(ModelTable, RowsOfFeederFlatbedAndWideModelsInEveryColumn) {
  EXPECT_EQ(Describe(0x132E),
            "fi-7160 0x132e 524288 JICUKB 6/130 7/131 0.64 c600c400c300 1 0.118 0/1 5 5 8.85 x 106.3 "
            "7: 400/160, 300/215 0 x 0");
  EXPECT_EQ(Describe(0x10CF),
            "fi-4340C 0x10cf 524288 FLP 7/129 7/129 0.75 g600g400g300g200 1 0.079 0/0 10 125 8.64 x 14 "
            "1: 400/60.68, 0/0 8.5 x 14");
  EXPECT_EQ(Describe(0x1174),
            "fi-6770 0x1174 524288 JFLCPKBX 6/129 7/130 0 g600g400g300g200 1 0.157 0/1 10 5 12.16 x 18.25 "
            "7: 400/36.48, 200/126.25 12 x 18");
  EXPECT_EQ(Describe(0x11A2),
            "ScanSnap S1500/M 0x11a2 524288 TJICPU 7/129 7/131 0.69 g600g300 1 0.118 5/1 5 125 8.5 x 34 "
            "0: 0/0, 0/0 0 x 0");
  EXPECT_EQ(Describe(0x1042),
            "fi-4220C 0x1042 32768 JIFLPDU 5/129 5/129 0.68 g600g300g200 2 0.157 5/1 10 2020 8.5 x 14 "
            "7: 400/28, 0/0 8.5 x 11.6929");
  EXPECT_EQ(Describe(0x10E0),
            "fi-5120C 0x10e0 524288 JIPDU 7/129 7/129 0.76 g600g400g300g200c150 2 0.118 5/1 10 125 8.85 x 14 "
            "7: 400/28, 0/0 0 x 0");
  EXPECT_EQ(Describe(0x132D),
            "fi-7280 0x132d 524288 JIFCUKBX 5/130 6/131 0.64 c600c400c300 1 0.118 0/1 5 5 8.85 x 106.3 "
            "7: 400/160, 300/215 8.68 x 11.6929");
  EXPECT_EQ(Describe(0x119D),
            "fi-6800 0x119d 524288 RJCPKB 5/130 6/131 0 g600g400g300 1 0.079 0/1 5 5 12.16 x 20.64 "
            "7: 400/36.48, 200/126.25 0 x 0");
}
