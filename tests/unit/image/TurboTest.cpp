// Turbo line art: the calculated threshold, its statistic over mixed rows
// and columns, the packing to 1 bit and whole turbo sides through ScanImage.
#include <gtest/gtest.h>

#include <cstring>

#include "PageTestSupport.h"

namespace {

using namespace quirel_test;

ScanParams TurboParams(int W, int H, int rot, double scale) {
  ScanParams p = PageParams(kImageTypeGray, W, H, rot);
  p.mTurbo = true;
  p.mTurboXScale = scale;
  p.mTurboYScale = scale;
  p.mThresholdWeight = 1.0;
  return p;
}

// Rows of two samples alternating (50, 200) and (200, 50): every row and
// column is mixed, so the trimmed histogram has n samples of 50 and of 200.
std::vector<uint8_t> TwoLevelRows(int n) {
  std::vector<uint8_t> v;
  for (int i = 0; i < n; ++i) {
    if (i % 2) v.insert(v.end(), {200, 50});
    else v.insert(v.end(), {50, 200});
  }
  return v;
}

TEST(Turbo, CalculatedThresholdFollowsTheWeight) {
  ImageInfo info(PageParams(kImageTypeGray, 2, 1000, 0), kSideFront);
  Buf_CalcStaticThreshold8 stat(&info);
  const auto rows = TwoLevelRows(1000);
  stat.AppendPels(rows.data(), int(rows.size()));
  stat.Flush();
  EXPECT_EQ(stat.TrimmedHistogram()[50], 1000);
  EXPECT_EQ(stat.TrimmedHistogram()[200], 1000);
  EXPECT_EQ(stat.Calc(1.0f), 125);   // classic intermeans
  EXPECT_EQ(stat.Calc(0.75f), 136);
  EXPECT_EQ(stat.Calc(0.0f), 200);    // weight 0: the dark-class mean
  EXPECT_EQ(stat.Calc(100.0f), 51);   // a heavy weight: just above the light level
}

TEST(Turbo, BlankPageAndUnmixedColumnsGiveTheDefault) {
  ImageInfo info(PageParams(kImageTypeGray, 4, 10, 0), kSideFront);
  {
    Buf_CalcStaticThreshold8 stat(&info);
    std::vector<uint8_t> light(40, 20);
    stat.AppendPels(light.data(), int(light.size()));
    stat.Flush();
    EXPECT_EQ(stat.AllLightRows(), 10);
    EXPECT_EQ(stat.Calc(1.0f), 128);
  }
  {
    // Mixed rows whose light samples are all in column 0 and dark ones in
    // column 3: a margin and a bar, nothing left after trimming.
    Buf_CalcStaticThreshold8 stat(&info);
    std::vector<uint8_t> rows;
    for (int i = 0; i < 10; ++i) rows.insert(rows.end(), {10, 10, 10, 250});
    stat.AppendPels(rows.data(), int(rows.size()));
    stat.Flush();
    EXPECT_EQ(stat.Histogram()[250], 10);
    for (int v = 0; v < 256; ++v) ASSERT_EQ(stat.TrimmedHistogram()[v], 0) << v;
    EXPECT_EQ(stat.Calc(1.0f), 128);
  }
}

TEST(Turbo, StatisticDoesNotDependOnTheChunking) {
  ImageInfo info(PageParams(kImageTypeGray, 7, 50, 0), kSideFront);
  const auto data = RandomBytes(7 * 50, 5);
  Buf_CalcStaticThreshold8 whole(&info), bytes(&info);
  whole.AppendPels(data.data(), int(data.size()));
  for (size_t i = 0; i < data.size(); ++i) bytes.AppendPels(&data[i], 1);
  whole.Flush();
  bytes.Flush();
  EXPECT_EQ(0, std::memcmp(whole.TrimmedHistogram(), bytes.TrimmedHistogram(), 256 * sizeof(int32_t)));
  EXPECT_EQ(whole.Calc(0.75f), bytes.Calc(0.75f));
}

TEST(Turbo, PackingThresholdAndPartialLastByte) {
  const int W = 13, H = 2;
  ImageInfo info(PageParams(kImageTypeGray, W, H, 0), kSideFront);
  std::vector<uint8_t> gray(W * H, 0);
  for (int c = 0; c < W; ++c) gray[c] = uint8_t(c % 2 ? 200 : 10);  // row 0: alternate
  gray[W + 0] = 100;                                                // equal to the threshold: white
  gray[W + 1] = 101;                                                // above it: black
  gray[W + 12] = 255;                                               // last pixel, bit 3 of byte 1
  info.mBitMap = gray.data();
  info.mRowBytes = W;
  info.mLineCount = H;
  info.mBwThreshold = 100;
  Buf_Turbo1 packed(&info);
  EXPECT_EQ(info.mRowBytes, 2u);
  EXPECT_EQ(info.mImageType, kImageTypeLineArt);
  EXPECT_EQ(info.mBitMap[0], 0x55);
  EXPECT_EQ(info.mBitMap[1], 0x50);  // pixels 8..12 in bits 7..3, bits 2..0 clear
  EXPECT_EQ(info.mBitMap[2], 0x40);
  EXPECT_EQ(info.mBitMap[3], 0x08);
}

// A turbo page: white with a black rectangle, half-tone edges blurred.
std::vector<uint8_t> RectanglePage(int lines, int samples) {
  std::vector<uint8_t> v(size_t(lines) * samples, 15);
  for (int i = lines / 4; i < 3 * lines / 4; ++i)
    for (int j = samples / 4; j < 3 * samples / 4; ++j) v[size_t(i) * samples + j] = 235;
  return v;
}

bool BitAt(const ImageInfo& page, int row, int col) {
  return page.mBitMap[size_t(row) * page.mRowBytes + col / 8] & (0x80 >> (col % 8));
}

TEST(Turbo, SidesAreScaledAndThresholdedRawAndJpeg) {
  const int W = 40, H = 48;
  const auto scan = RectanglePage(H, W);
  for (bool jpeg : {false, true}) {
    SCOPED_TRACE(jpeg ? "jpeg" : "raw");
    ScanParams p = TurboParams(W, H, 0, 1.5);
    p.mXRes = p.mYRes = 200;
    p.mWillUseJpeg = jpeg;
    ScanImage image(p, kSideFront, kColorOrderRGB, kColorPixelInterleaved);
    ASSERT_NE(dynamic_cast<ScanImage_Impl1Turbo*>(image.Impl()), nullptr);
    EXPECT_EQ(image.mImageType, kImageTypeGray);
    Feed(image, jpeg ? EncodeJpeg(scan, H, W, 1, true, 95) : scan, 7);
    image.SetScanLen(H);
    image.PostProcess();
    ASSERT_FALSE(image.Failed()) << image.GetErrorText();
    EXPECT_EQ(image.mImageType, kImageTypeLineArt);
    EXPECT_EQ(image.mWidth, 60u);
    EXPECT_EQ(image.mHeight, 72u);
    EXPECT_EQ(image.mLineCount, 72);
    EXPECT_EQ(image.mRowBytes, 8u);
    EXPECT_EQ(image.mXRes, 300);
    // Threshold between the two levels; the rectangle black, the rest white.
    EXPECT_GT(image.mBwThreshold, 15);
    EXPECT_LT(image.mBwThreshold, 235);
    EXPECT_TRUE(BitAt(image, 36, 30));
    EXPECT_FALSE(BitAt(image, 5, 5));
    EXPECT_FALSE(BitAt(image, 66, 55));
    int black = 0;
    for (int r = 0; r < 72; ++r)
      for (int c = 0; c < 60; ++c) black += BitAt(image, r, c);
    EXPECT_NEAR(black, 30 * 36, 80);
  }
}

TEST(Turbo, BlankSideKeepsTheDefaultThreshold) {
  const int W = 16, H = 16;
  std::vector<uint8_t> scan(W * H, 5);
  ScanImage image(TurboParams(W, H, 0, 1.0), kSideFront, kColorOrderRGB, kColorPixelInterleaved);
  Feed(image, scan, 0);
  image.SetScanLen(H);
  image.PostProcess();
  EXPECT_EQ(image.mBwThreshold, 128);
  for (uint32_t i = 0; i < image.mRowBytes * image.mHeight; ++i) ASSERT_EQ(image.mBitMap[i], 0);
}

}  // namespace
