// Tests of the page geometry, tone tables and line counts.
#include "ImageInfo.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace ZuzuvovOvav {
namespace {

ScanParams ToneParams(ImageTypeE type, int bitsOut, int black, int white) {
  ScanParams p;
  p.mImageType = type;
  p.mBitsOut = bitsOut;
  p.mBlackPoint = black;
  p.mWhitePoint = white;
  p.mBufWidthRaw = 8;
  p.mBufHeightRaw = 8;
  return p;
}

TEST(ToneTable, EightBitsFullRangeIsIdentityAndColourIsItsMirror) {
  ImageInfo gray(ToneParams(kImageTypeGray, 8, 0, 255), kSideFront);
  ImageInfo color(ToneParams(kImageTypeColor, 8, 0, 255), kSideFront);
  EXPECT_EQ(gray.mToneTable[0], 0);
  EXPECT_EQ(gray.mToneTable[255], 255);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(gray.mToneTable[i], i) << "entry " << i;
    EXPECT_EQ(color.mToneTable[i], 255 - gray.mToneTable[i]) << "entry " << i;
  }
  EXPECT_EQ(gray.mParams.mBlackPoint, 0);
  EXPECT_EQ(gray.mParams.mWhitePoint, 255);
}

TEST(ToneTable, FourBitsClampsPointsAndUsesFourteenMiddleLevels) {
  ImageInfo gray(ToneParams(kImageTypeGray, 4, 0, 255), kSideBack);
  ImageInfo color(ToneParams(kImageTypeColor, 4, 0, 255), kSideBack);
  EXPECT_EQ(gray.mParams.mBlackPoint, 15);
  EXPECT_EQ(gray.mParams.mWhitePoint, 240);
  for (int i = 0; i <= 15; ++i) EXPECT_EQ(gray.mToneTable[i], 0) << i;
  for (int i = 240; i < 256; ++i) EXPECT_EQ(gray.mToneTable[i], 255) << i;
  // Between the runs: levels 1..14 scaled by 17, rising one level at a
  // time, every level present.
  int prev = 0;
  for (int i = 16; i < 240; ++i) {
    int v = gray.mToneTable[i];
    ASSERT_TRUE(v % 17 == 0 && v >= 17 && v <= 238 && (v == prev || v == prev + 17)) << i << ": " << v;
    prev = v;
  }
  EXPECT_EQ(gray.mToneTable[16], 17);
  EXPECT_EQ(gray.mToneTable[239], 238);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(color.mToneTable[i], 255 - gray.mToneTable[i]) << i;
}

TEST(ToneTable, NoRoomBetweenPointsGivesHardStepInsideTable) {
  struct Case {
    int black, white, lo;
  } cases[] = {
      {100, 101, 154},  // white == black + 1
      {100, 100, 155},  // equal points
      {200, 50, 205},   // points crossed
      {0, -10, 9},      // a white point below 0 wraps, but stays in the table
  };
  for (const Case& c : cases) {
    ImageInfo gray(ToneParams(kImageTypeGray, 8, c.black, c.white), kSideFront);
    ImageInfo color(ToneParams(kImageTypeColor, 8, c.black, c.white), kSideFront);
    for (int i = 0; i < 256; ++i) {
      int want = i <= c.lo ? 0 : 255;
      ASSERT_EQ(gray.mToneTable[i], want) << "black " << c.black << " white " << c.white << " entry " << i;
      ASSERT_EQ(color.mToneTable[i], 255 - want) << "black " << c.black << " white " << c.white << " entry " << i;
    }
  }
}

TEST(ImageInfoConstruction, RotationPerSideOversampleAndLineArt) {
  ScanParams p;
  p.mImageType = kImageTypeLineArt;
  p.mRotation = 9;  // front 2, back 1
  p.mXRes = 300;
  p.mYRes = 200;
  p.mOverSample = true;
  p.mBufWidthRaw = 2480;
  p.mBufHeightRaw = 3508;
  ImageInfo front(p, kSideFront);
  ImageInfo back(p, kSideBack);
  EXPECT_EQ(front.mRotation, 2u);
  EXPECT_EQ(back.mRotation, 1u);
  // Only the private copy sees the doubled resolution.
  EXPECT_EQ(front.mXRes, 300);
  EXPECT_EQ(front.mYRes, 200);
  EXPECT_EQ(front.mParams.mXRes, 600);
  EXPECT_EQ(front.mParams.mYRes, 400);
  EXPECT_EQ(front.mWidth, 2480u);
  EXPECT_EQ(front.mHeight, 3508u);
  EXPECT_EQ(front.mLineCount, -1);
  EXPECT_EQ(front.mBwThreshold, 128);
  EXPECT_EQ(front.GetCurScanLen(), 0);
  EXPECT_FALSE(front.AllocFailed());

  p.mRotation = 0x1B;
  testing::internal::CaptureStderr();
  ImageInfo odd(p, kSideBack);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("assertion failed: rp <= 0xf"), std::string::npos) << err;
  EXPECT_EQ(odd.mRotation, 3u);
}

TEST(ImageInfoConstruction, ValidLineCountFollowsRotationAndNeverExceedsHeight) {
  ScanParams p;
  p.mBufWidthRaw = 100;
  p.mBufHeightRaw = 50;
  for (uint32_t rot : {0u, 1u, 2u, 3u}) {
    p.mRotation = rot << 2;
    ImageInfo info(p, kSideFront);
    EXPECT_EQ(info.ValidLineCount(), 50u);
    info.mLineCount = 20;
    EXPECT_EQ(info.ValidLineCount(), (rot == 0 || rot == 3) ? 20u : 50u) << rot;
    info.mLineCount = 80;
    EXPECT_EQ(info.ValidLineCount(), 50u) << rot;
  }
}

TEST(ImageInfoAlloc, RefusedBitmapIsReportedNotThrown) {
  ScanParams p;
  ImageInfo info(p, kSideFront);
  EXPECT_EQ(info.AllocPageBitmap(ImageInfo::kMaxPageBytes + 1), nullptr);
  EXPECT_TRUE(info.AllocFailed());
  EXPECT_EQ(info.mAllocFailedBytes, ImageInfo::kMaxPageBytes + 1);

  ImageInfo ok(p, kSideFront);
  uint8_t* block = ok.AllocPageBitmap(4096);
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(block[i], 0);
  std::free(block);
  EXPECT_FALSE(ok.AllocFailed());
}

}  // namespace
}  // namespace ZuzuvovOvav
