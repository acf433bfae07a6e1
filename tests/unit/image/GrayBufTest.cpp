// Gray sides: raw and JPEG data in any chunking, each turn, against a plain
// reference; tone table, paper length, surplus data and oversampling.
#include <gtest/gtest.h>

#include <cstring>

#include "PageTestSupport.h"

namespace {

using namespace quirel_test;

// The page a gray side must become: sample s of scanner line i, pixel j at
// its turned place, as tone[s].
std::vector<uint8_t> ReferenceGray(const std::vector<uint8_t>& scan, int rotation, int W, int H,
                                   const uint8_t* tone) {
  std::vector<uint8_t> page(size_t(W) * H, 0);
  const ScanGeometry g = GeometryFor(rotation, W, H);
  for (int i = 0; i < g.lines; ++i)
    for (int j = 0; j < g.samples; ++j) {
      int r, c;
      PlaceOf(rotation, W, H, i, j, &r, &c);
      page[size_t(r) * W + c] = tone[scan[size_t(i) * g.samples + j]];
    }
  return page;
}

// A tone table that is not the identity, so that a missed lookup shows.
constexpr int kBlack = 20, kWhite = 230;

TEST(GrayBuf, RawPagesOfEveryTurnAndChunking) {
  const int W = 37, H = 70;
  for (int rot = 0; rot < 4; ++rot) {
    const ScanGeometry g = GeometryFor(rot, W, H);
    const auto scan = RandomBytes(size_t(g.lines) * g.samples, 7 + rot);
    for (size_t chunk : {size_t(1), size_t(5), size_t(36), size_t(1001), size_t(0)}) {
      SCOPED_TRACE(testing::Message() << "rotation " << rot << " chunk " << chunk);
      ScanImage image(PageParams(kImageTypeGray, W, H, rot, kBlack, kWhite), kSideFront, kColorOrderRGB,
                      kColorPixelInterleaved);
      ASSERT_NE(dynamic_cast<ScanImage_Impl8*>(image.Impl()), nullptr);
      Feed(image, scan, chunk);
      EXPECT_EQ(image.GetCurScanLen(), rot == 0 || rot == 3 ? H : 0);
      image.SetScanLen(g.lines);
      image.PostProcess();
      ASSERT_FALSE(image.Failed()) << image.GetErrorText();
      ASSERT_EQ(image.mRowBytes, uint32_t(W));
      const auto want = ReferenceGray(scan, rot, W, H, image.mToneTable);
      ASSERT_EQ(0, std::memcmp(image.mBitMap, want.data(), want.size()));
    }
  }
}

TEST(GrayBuf, JpegPagesOfEveryTurnAndChunking) {
  // 100 scanner lines for the turned pages: one block of 64 lines and 36
  // that reach the page only when the paper length is set.
  const int W = 100, H = 37;
  for (int rot = 0; rot < 4; ++rot) {
    const int pw = rot == 1 || rot == 2 ? W : H, ph = rot == 1 || rot == 2 ? H : W;
    const ScanGeometry g = GeometryFor(rot, pw, ph);
    const auto scan = SmoothScan(g.lines, g.samples, 1);
    const auto jpeg = EncodeJpeg(scan, g.lines, g.samples, 1, /*invert=*/true);
    for (size_t chunk : {size_t(1), size_t(7), size_t(333), size_t(0)}) {
      SCOPED_TRACE(testing::Message() << "rotation " << rot << " chunk " << chunk);
      ScanParams p = PageParams(kImageTypeGray, pw, ph, rot, kBlack, kWhite);
      p.mWillUseJpeg = true;
      ScanImage image(p, kSideFront, kColorOrderRGB, kColorPixelInterleaved);
      Feed(image, jpeg, chunk);
      image.SetScanLen(g.lines);
      image.PostProcess();
      ASSERT_FALSE(image.Failed()) << image.GetErrorText();
      const auto want = ReferenceGray(scan, rot, pw, ph, image.mToneTable);
      const Diff d = Compare(image.mBitMap, want.data(), want.size());
      EXPECT_LE(d.max, 6);
      EXPECT_LT(d.mean, 1.0);
    }
  }
}

TEST(GrayBuf, LinesLeftInTheRingArriveWithThePaperLength) {
  const int W = 40, H = 10;  // turned left: 40 scanner lines of 10 samples
  const auto scan = SmoothScan(W, H, 1);
  const auto jpeg = EncodeJpeg(scan, W, H, 1, true);
  ScanParams p = PageParams(kImageTypeGray, W, H, 1);
  p.mWillUseJpeg = true;
  ScanImage image(p, kSideFront, kColorOrderRGB, kColorPixelInterleaved);
  Feed(image, jpeg, 0);
  // Fewer lines than the ring holds: nothing on the page yet.
  for (uint32_t i = 0; i < uint32_t(W * H); ++i) ASSERT_EQ(image.mBitMap[i], 0) << i;
  image.SetScanLen(W);
  const auto want = ReferenceGray(scan, 1, W, H, image.mToneTable);
  EXPECT_LE(Compare(image.mBitMap, want.data(), want.size()).max, 6);
}

TEST(GrayBuf, PaperLengthTrimAndSurplus) {
  const int W = 16, H = 20;
  for (int rot = 0; rot < 4; ++rot) {
    SCOPED_TRACE(rot);
    ScanParams p = PageParams(kImageTypeGray, W, H, rot);
    p.mBottomTrim = 3;
    ScanImage image(p, kSideFront, kColorOrderRGB, kColorPixelInterleaved);
    const ScanGeometry g = GeometryFor(rot, W, H);
    // Twice the page: the surplus must not be written anywhere (ASan).
    const auto scan = RandomBytes(size_t(2 * g.lines) * g.samples, 3);
    Feed(image, scan, 50);
    EXPECT_EQ(image.GetCurScanLen(), rot == 0 || rot == 3 ? H : 0);
    image.SetScanLen(-1);
    EXPECT_EQ(image.mLineCount, -1);
    image.SetScanLen(2);  // less than the trim: an empty page, not a negative count
    EXPECT_EQ(image.mLineCount, 0);
  }
  ScanImage image(PageParams(kImageTypeGray, W, H, 0), kSideFront, kColorOrderRGB, kColorPixelInterleaved);
  image.SetScanLen(500);  // never beyond the allocation
  EXPECT_EQ(image.mLineCount, H);
}

TEST(GrayBuf, ShortHalfTurnedPageStartsAtTheTop) {
  // A 180-degree page fills from the bottom; when the paper is shorter than
  // the window the kept lines must be where readers of mLineCount look.
  const int W = 8, H = 30, lines = 12, trim = 2;
  const auto scan = RandomBytes(size_t(lines) * W, 11);
  ScanParams p = PageParams(kImageTypeGray, W, H, 3);
  p.mBottomTrim = trim;
  ScanImage image(p, kSideFront, kColorOrderRGB, kColorPixelInterleaved);
  Feed(image, scan, 0);
  image.SetScanLen(lines);
  ASSERT_EQ(image.mLineCount, lines - trim);
  // Page row r holds scanner line (lines - trim - 1 - r), mirrored.
  for (int r = 0; r < lines - trim; ++r)
    for (int c = 0; c < W; ++c)
      ASSERT_EQ(image.mBitMap[r * W + c], image.mToneTable[scan[size_t(lines - trim - 1 - r) * W + (W - 1 - c)]])
          << r << "," << c;
  for (int i = (lines - trim) * W; i < W * H; ++i) ASSERT_EQ(image.mBitMap[i], 0);
}

TEST(GrayBuf, OversampledPageIsHalvedAndPreviewed) {
  const int W = 40, H = 40, lines = 31;
  std::vector<uint8_t> scan(size_t(lines) * W, 100);
  ScanParams p = PageParams(kImageTypeGray, W, H, 0);
  p.mOverSample = true;
  p.mPreviewWidth = 16;
  p.mPreviewHeight = 16;
  int previews = 0;
  PagePreview got{};
  p.mPageScannedFunc = [&](const PagePreview* pv) {
    ++previews;
    got = *pv;
    std::free(pv->mBitMap);
  };
  ScanImage image(p, kSideFront, kColorOrderRGB, kColorPixelInterleaved);
  Feed(image, scan, 0);
  image.SetScanLen(lines);
  image.PostProcess();
  ASSERT_FALSE(image.Failed());
  EXPECT_EQ(image.mWidth, uint32_t(W / 2));
  EXPECT_EQ(image.mHeight, uint32_t(lines / 2));  // the odd last line is dropped
  EXPECT_EQ(image.mLineCount, lines / 2);
  EXPECT_EQ(image.mRowBytes, uint32_t(W / 2));
  EXPECT_EQ(image.mXRes, 300);  // the page keeps the job's resolution
  // Away from the edges a flat page stays flat.
  for (uint32_t r = 2; r + 2 < image.mHeight; ++r)
    for (uint32_t c = 2; c + 2 < image.mWidth; ++c) ASSERT_NEAR(image.mBitMap[r * image.mWidth + c], 100, 1);
  EXPECT_EQ(previews, 1);
  EXPECT_EQ(got.mType, kPreviewGray);
}

}  // namespace
