// Colour sides: the three scanner layouts and both colour orders, raw and
// JPEG, each turn and chunkings that split lines and pixels, against a plain
// reference; unsupported layouts, paper length and oversampling.
#include <gtest/gtest.h>

#include <cstring>

#include "PageTestSupport.h"

namespace {

using namespace quirel_test;

struct Layout {
  const char* name;
  ColorOrderE order;
  ColorPlanarE planar;
};

const Layout kLayouts[] = {
    {"pixel RGB", kColorOrderRGB, kColorPixelInterleaved},
    {"pixel BGR", kColorOrderBGR, kColorPixelInterleaved},
    {"line RGB", kColorOrderRGB, kColorLineInterleaved},
};

// Red, green and blue of pixel j of a scanner line of P pixels.
void SamplesOf(const Layout& l, const uint8_t* line, int P, int j, uint8_t rgb[3]) {
  if (l.planar == kColorLineInterleaved) {
    rgb[0] = line[j], rgb[1] = line[P + j], rgb[2] = line[2 * P + j];
  } else if (l.order == kColorOrderBGR) {
    rgb[0] = line[3 * j + 2], rgb[1] = line[3 * j + 1], rgb[2] = line[3 * j];
  } else {
    rgb[0] = line[3 * j], rgb[1] = line[3 * j + 1], rgb[2] = line[3 * j + 2];
  }
}

// The packed page (3 bytes a pixel, R, G, B) a colour side must become.
std::vector<uint8_t> ReferenceColor(const std::vector<uint8_t>& scan, const Layout& l, int rotation, int W, int H,
                                    const uint8_t* tone) {
  std::vector<uint8_t> page(size_t(W) * H * 3, 0);
  const ScanGeometry g = GeometryFor(rotation, W, H);
  for (int i = 0; i < g.lines; ++i)
    for (int j = 0; j < g.samples; ++j) {
      int r, c;
      PlaceOf(rotation, W, H, i, j, &r, &c);
      uint8_t rgb[3];
      SamplesOf(l, scan.data() + size_t(i) * g.samples * 3, g.samples, j, rgb);
      for (int k = 0; k < 3; ++k) page[(size_t(r) * W + c) * 3 + k] = tone[rgb[k]];
    }
  return page;
}

constexpr int kBlack = 25, kWhite = 220;

TEST(ColorBuf, RawLayoutsTurnsAndChunkings) {
  // 40 lines: two blocks of 16 whole lines and a tail line by line.
  const int W = 23, H = 40;
  for (const Layout& l : kLayouts) {
    for (int rot = 0; rot < 4; ++rot) {
      const int pw = rot == 1 || rot == 2 ? H : W, ph = rot == 1 || rot == 2 ? W : H;
      const ScanGeometry g = GeometryFor(rot, pw, ph);
      const size_t B = size_t(g.samples) * 3;
      const auto scan = RandomBytes(g.lines * B, 100 + rot);
      for (size_t chunk : {size_t(1), size_t(2), size_t(5), size_t(B - 1), 16 * B + 7, size_t(0)}) {
        SCOPED_TRACE(testing::Message() << l.name << " rotation " << rot << " chunk " << chunk);
        ScanImage image(PageParams(kImageTypeColor, pw, ph, rot, kBlack, kWhite), kSideFront, l.order, l.planar);
        ASSERT_NE(dynamic_cast<ScanImage_Impl24*>(image.Impl()), nullptr);
        Feed(image, scan, chunk);
        EXPECT_EQ(image.GetCurScanLen(), rot == 0 || rot == 3 ? ph : 0);
        image.SetScanLen(g.lines);
        image.PostProcess();
        ASSERT_FALSE(image.Failed()) << image.GetErrorText();
        ASSERT_EQ(image.mRowBytes, uint32_t(3 * pw));
        const auto want = ReferenceColor(scan, l, rot, pw, ph, image.mToneTable);
        ASSERT_EQ(0, std::memcmp(image.mBitMap, want.data(), want.size()));
      }
    }
  }
}

TEST(ColorBuf, ToneTableTurnsDarkHighSamplesIntoRgb) {
  // One pixel per layout: samples 10, 20, 30 in scanner order.
  for (const Layout& l : kLayouts) {
    SCOPED_TRACE(l.name);
    ScanImage image(PageParams(kImageTypeColor, 1, 1, 0), kSideFront, l.order, l.planar);
    const uint8_t px[3] = {10, 20, 30};
    image.AppendBytes(px, 3);
    image.SetScanLen(1);
    image.PostProcess();
    const uint8_t* t = image.mToneTable;
    EXPECT_EQ(t[10], 245);  // colour tables invert: raw dark-high becomes RGB
    if (l.order == kColorOrderBGR) {
      EXPECT_EQ(image.mBitMap[0], t[30]);
      EXPECT_EQ(image.mBitMap[2], t[10]);
    } else {
      EXPECT_EQ(image.mBitMap[0], t[10]);
      EXPECT_EQ(image.mBitMap[2], t[30]);
    }
    EXPECT_EQ(image.mBitMap[1], t[20]);
  }
}

TEST(ColorBuf, JpegTurnsAndChunkingsIgnoreTheRawLayout) {
  const int W = 30, H = 40;  // 40 scanner lines: 2 blocks of 16 and 8 at the end
  for (int rot = 0; rot < 4; ++rot) {
    const int pw = rot == 1 || rot == 2 ? H : W, ph = rot == 1 || rot == 2 ? W : H;
    const ScanGeometry g = GeometryFor(rot, pw, ph);
    const auto scan = SmoothScan(g.lines, g.samples, 3);
    const auto jpeg = EncodeJpeg(scan, g.lines, g.samples, 3, /*invert=*/true);
    for (size_t chunk : {size_t(1), size_t(13), size_t(0)}) {
      SCOPED_TRACE(testing::Message() << "rotation " << rot << " chunk " << chunk);
      ScanParams p = PageParams(kImageTypeColor, pw, ph, rot, kBlack, kWhite);
      p.mWillUseJpeg = true;
      // A JPEG side always decodes to pixel RGB, whatever the raw layout is.
      ScanImage image(p, kSideFront, kColorOrderBGR, kColorLineInterleaved);
      Feed(image, jpeg, chunk);
      image.SetScanLen(g.lines);
      image.PostProcess();
      ASSERT_FALSE(image.Failed()) << image.GetErrorText();
      const auto want = ReferenceColor(scan, kLayouts[0], rot, pw, ph, image.mToneTable);
      const Diff d = Compare(image.mBitMap, want.data(), want.size());
      EXPECT_LE(d.max, 8);
      EXPECT_LT(d.mean, 1.5);
    }
  }
}

TEST(ColorBuf, UnsupportedLayoutFailsTheSide) {
  ScanImage image(PageParams(kImageTypeColor, 8, 8, 0), kSideFront, kColorOrderBGR, kColorLineInterleaved);
  ASSERT_TRUE(image.Failed());
  EXPECT_NE(std::strstr(image.GetErrorText(), "not supported"), nullptr) << image.GetErrorText();
  const auto data = RandomBytes(8 * 8 * 3, 1);
  image.AppendBytes(data.data(), int(data.size()));  // ignored, no crash
  image.SetScanLen(8);
  image.PostProcess();
}

TEST(ColorBuf, ShortPagesComeOutWhite) {
  // A turned side whose paper ended early: the columns never reached are
  // white, and a half-turned page starts with its kept lines at the top.
  const int W = 20, H = 6;
  const auto scan = RandomBytes(size_t(5) * H * 3, 9);
  {
    ScanImage image(PageParams(kImageTypeColor, W, H, 1), kSideFront, kColorOrderRGB, kColorPixelInterleaved);
    Feed(image, scan, 0);
    image.SetScanLen(5);
    image.PostProcess();
    for (int r = 0; r < H; ++r)
      for (int c = 5; c < W; ++c)
        for (int k = 0; k < 3; ++k) ASSERT_EQ(image.mBitMap[(r * W + c) * 3 + k], 255) << r << "," << c;
  }
  {
    ScanImage image(PageParams(kImageTypeColor, H, W, 3), kSideFront, kColorOrderRGB, kColorPixelInterleaved);
    Feed(image, scan, 0);
    image.SetScanLen(5);
    image.PostProcess();
    ASSERT_EQ(image.mLineCount, 5);
    const auto want = ReferenceColor(scan, kLayouts[0], 3, H, 5, image.mToneTable);
    ASSERT_EQ(0, std::memcmp(image.mBitMap, want.data(), want.size()));
    for (size_t i = want.size(); i < size_t(W) * H * 3; ++i) ASSERT_EQ(image.mBitMap[i], 255);
  }
}

TEST(ColorBuf, OversampledPageIsHalvedBeforeThePreview) {
  const int W = 21, H = 30;
  std::vector<uint8_t> scan;
  for (int i = 0; i < W * H; ++i) scan.insert(scan.end(), {40, 80, 120});
  ScanParams p = PageParams(kImageTypeColor, W, H, 0);
  p.mOverSample = true;
  p.mPreviewWidth = 64;
  p.mPreviewHeight = 200;
  PagePreview got{};
  p.mPageScannedFunc = [&](const PagePreview* pv) {
    got = *pv;
    std::free(pv->mBitMap);
  };
  ScanImage image(p, kSideFront, kColorOrderRGB, kColorPixelInterleaved);
  Feed(image, scan, 0);
  image.SetScanLen(H);
  image.PostProcess();
  ASSERT_FALSE(image.Failed());
  EXPECT_EQ(image.mWidth, 10u);
  EXPECT_EQ(image.mHeight, 15u);
  EXPECT_EQ(image.mRowBytes, 30u);
  for (uint32_t r = 2; r + 2 < image.mHeight; ++r)
    for (uint32_t c = 2; c + 2 < image.mWidth; ++c) {
      const uint8_t* px = image.mBitMap + (r * image.mWidth + c) * 3;
      ASSERT_NEAR(px[0], 215, 1);
      ASSERT_NEAR(px[1], 175, 1);
      ASSERT_NEAR(px[2], 135, 1);
    }
  // The preview is made from the halved page of 4-byte pixels.
  EXPECT_EQ(got.mType, kPreviewARGB);
  EXPECT_EQ(got.mWidth, 64);
  EXPECT_EQ(got.mHeight, 96);
}

}  // namespace
