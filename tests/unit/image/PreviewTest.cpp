// Tests of page previews: sizes, depths and sampling.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "AllocFailure.h"
#include "ImageInfo.h"
#include "PagePreview.h"
#include "Scaler.h"

namespace ZuzuvovOvav {
namespace {

using quirel::scaler::ImageBuffer;

// Machine facts are globals; each test sets the machine it needs.
class MachineGuard {
 public:
  MachineGuard(int vector, int cpus) : mVector(sHasVectorUnit), mCpus(sNumCpus) {
    sHasVectorUnit = vector;
    sNumCpus = cpus;
  }
  ~MachineGuard() {
    sHasVectorUnit = mVector;
    sNumCpus = mCpus;
  }

 private:
  int mVector, mCpus;
};

// What a receiver keeps of a preview: the record's values and the pixels,
// which it owns and frees.
struct Received {
  int type = -1;
  int width = 0, height = 0, rowBytes = 0;
  uint8_t* pixels = nullptr;
  int calls = 0;
  ~Received() { std::free(pixels); }
};

ScanParams PreviewParams(ImageTypeE type, uint32_t w, uint32_t h, int pw, int ph, Received* into) {
  ScanParams p;
  p.mImageType = type;
  p.mBitsOut = 8;
  p.mBlackPoint = 0;
  p.mWhitePoint = 255;
  p.mBufWidthRaw = w;
  p.mBufHeightRaw = h;
  p.mPreviewWidth = int16_t(pw);
  p.mPreviewHeight = int16_t(ph);
  if (into)
    p.mPageScannedFunc = [into](const PagePreview* pv) {
      ++into->calls;
      into->type = pv->mType;
      into->width = pv->mWidth;
      into->height = pv->mHeight;
      into->rowBytes = pv->mRowBytes;
      std::free(into->pixels);
      into->pixels = static_cast<uint8_t*>(pv->mBitMap);
    };
  return p;
}

// A 1-bit page whose rows with index % period == 0 are black.
std::vector<uint8_t> StripedPage(uint32_t w, uint32_t h, uint32_t period) {
  const uint32_t rb = (w + 7) / 8;
  std::vector<uint8_t> page(size_t(rb) * h, 0);
  for (uint32_t r = 0; r < h; r += period) std::memset(page.data() + size_t(r) * rb, 0xFF, rb);
  return page;
}

TEST(Preview, LineArtA4SizeStrideAndRowStep) {
  MachineGuard machine(1, 4);
  Received got;
  ImageInfo info(PreviewParams(kImageTypeLineArt, 2480, 3508, 200, 200, &got), kSideFront);
  info.mRowBytes = 310;
  // Every 4th row black: a sampling step of 4 sees only black rows.
  std::vector<uint8_t> page = StripedPage(2480, 3508, 4);
  info.mBitMap = page.data();
  CallPagePreviewFor1Bit(page.data(), &info);
  ASSERT_EQ(got.calls, 1);
  EXPECT_EQ(got.type, kPreviewGray);
  EXPECT_EQ(got.width, 141);
  EXPECT_EQ(got.height, 200);
  EXPECT_EQ(got.rowBytes, 144);
  ASSERT_NE(got.pixels, nullptr);
  for (int r = 0; r < got.height; ++r)
    for (int c = 0; c < got.width; ++c) ASSERT_GE(got.pixels[r * 144 + c], 250) << r << "," << c;

  // One processor with a vector unit: k = 2, step 9, so mostly white rows
  // are sampled and the preview comes out mostly light.
  MachineGuard one(1, 1);
  CallPagePreviewFor1Bit(page.data(), &info);
  long sum = 0;
  for (int r = 0; r < got.height; ++r)
    for (int c = 0; c < got.width; ++c) sum += got.pixels[r * 144 + c];
  EXPECT_LT(sum / (got.height * got.width), 128);
  info.mBitMap = nullptr;
}

TEST(Preview, GrayAndColourRowBytesAvoidPowersOfTwo) {
  MachineGuard machine(1, 4);
  struct Case {
    ImageTypeE type;
    uint32_t width;
    int rowBytes;
  } cases[] = {
      {kImageTypeGray, 141, 144}, {kImageTypeGray, 112, 112}, {kImageTypeGray, 128, 144},
      {kImageTypeGray, 16, 48},   {kImageTypeColor, 64, 272}, {kImageTypeColor, 12, 48},
  };
  for (const Case& c : cases) {
    Received got;
    ImageInfo info(PreviewParams(c.type, c.width, 40, int(c.width), 400, &got), kSideFront);
    const int bpp = c.type == kImageTypeColor ? 4 : 1;
    info.mRowBytes = c.width * uint32_t(bpp);
    std::vector<uint8_t> page(size_t(info.mRowBytes) * 40, 90);
    info.mBitMap = page.data();
    if (c.type == kImageTypeColor)
      CallPagePreviewFor32Bit(&info);
    else
      CallPagePreviewFor8Bit(&info);
    EXPECT_EQ(got.type, c.type == kImageTypeColor ? kPreviewARGB : kPreviewGray);
    EXPECT_EQ(got.width, int(c.width));
    EXPECT_EQ(got.height, 40);
    EXPECT_EQ(got.rowBytes, c.rowBytes) << "width " << c.width;
    // Same size and a flat page: the interior stays flat.
    EXPECT_EQ(got.pixels[20 * c.rowBytes + 2 * bpp + 1], 90);
    info.mBitMap = nullptr;
  }
  EXPECT_EQ(RowStrideAvoidingPowerOf2(1), 48u);
  EXPECT_EQ(RowStrideAvoidingPowerOf2(2048), 2064u);
  EXPECT_EQ(RowStrideAvoidingPowerOf2(10200), 10208u);
  EXPECT_EQ(RoundUpTo16(0), 16);
  EXPECT_EQ(RoundUpTo16(17), 32);
}

TEST(Preview, NoPreviewWantedOrNoReceiver) {
  for (auto [pw, ph] : {std::pair{0, 100}, {100, 0}, {-5, -5}}) {
    Received got;
    ImageInfo info(PreviewParams(kImageTypeGray, 100, 100, pw, ph, &got), kSideFront);
    std::vector<uint8_t> page(100 * 100, 0);
    info.mBitMap = page.data();
    info.mRowBytes = 100;
    CallPagePreviewFor8Bit(&info);
    CallPagePreviewFor1Bit(page.data(), &info);
    EXPECT_EQ(got.calls, 2);
    EXPECT_EQ(got.type, kPreviewNone);
    EXPECT_EQ(got.pixels, nullptr);
    EXPECT_EQ(got.width + got.height + got.rowBytes, 0);
    info.mBitMap = nullptr;
  }
  ImageInfo silent(PreviewParams(kImageTypeColor, 10, 10, 10, 10, nullptr), kSideFront);
  CallPagePreviewFor32Bit(&silent);  // no receiver: nothing happens, nothing leaks

  // Without memory for its pixels no preview goes out: the side fails
  // (ScanImage) instead of going without one.
  if (!quirel::testing::FailAllocation::Available()) return;
  Received got;
  ImageInfo info(PreviewParams(kImageTypeGray, 100, 100, 50, 50, &got), kSideFront);
  std::vector<uint8_t> page(100 * 100, 0);
  info.mBitMap = page.data();
  info.mRowBytes = 100;
  for (long n : {1, 2}) {
    quirel::testing::FailAllocation fail(0, n);
    EXPECT_THROW(CallPagePreviewFor1Bit(page.data(), &info), std::bad_alloc);
  }
  quirel::testing::FailAllocation fail(0, 1);
  EXPECT_THROW(CallPagePreviewFor8Bit(&info), std::bad_alloc);
  EXPECT_EQ(got.calls, 0);
}

TEST(Preview, TurnedSideTakesFullHeightWhateverTheLineCount) {
  MachineGuard machine(1, 4);
  for (uint32_t rot : {0u, 1u, 2u, 3u}) {
    Received got;
    ScanParams p = PreviewParams(kImageTypeGray, 100, 200, 100, 200, &got);
    p.mRotation = rot << 2;
    ImageInfo info(p, kSideFront);
    std::vector<uint8_t> page(100 * 200, 0);
    info.mBitMap = page.data();
    info.mRowBytes = 100;
    info.mLineCount = 50;
    CallPagePreviewFor8Bit(&info);
    EXPECT_EQ(got.height, (rot == 1 || rot == 2) ? 200 : 50) << rot;
    info.mBitMap = nullptr;
  }
}

// The receiver keeps the pixels after the call and frees them itself; under
// AddressSanitizer any engine-side free or reuse of the block shows up.
TEST(Preview, ReceiverOwnsPixelsAfterTheCall) {
  std::vector<uint8_t*> kept;
  ScanParams p = PreviewParams(kImageTypeLineArt, 64, 64, 32, 32, nullptr);
  p.mPageScannedFunc = [&](const PagePreview* pv) { kept.push_back(static_cast<uint8_t*>(pv->mBitMap)); };
  ImageInfo info(p, kSideFront);
  info.mRowBytes = 8;
  std::vector<uint8_t> page(8 * 64, 0);
  for (int r = 0; r < 64; ++r) std::memset(&page[size_t(r) * 8], 0xFF, 4);  // left half black
  for (int i = 0; i < 3; ++i) CallPagePreviewFor1Bit(page.data(), &info);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_NE(kept[0], kept[1]);
  for (uint8_t* px : kept) {
    EXPECT_GE(px[10 * 32 + 2], 250);  // left: black
    EXPECT_LE(px[10 * 32 + 29], 5);   // right: white
    std::free(px);
  }
}

TEST(PixelMaps, ExpandBwToGrayBitOrderPaddingAndEmptyCases) {
  const uint8_t src[] = {0x80, 0x01, 0xA5, 0x00};
  uint8_t* out = ExpandBwToGray(src, 0, 2, 2, 20);
  const uint8_t row0[20] = {255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 0, 0, 0, 0};
  const uint8_t row1[20] = {255, 0, 255, 0, 0, 255, 0, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(out, row0, 20), 0);
  EXPECT_EQ(std::memcmp(out + 20, row1, 20), 0);
  std::free(out);

  out = ExpandBwToGray(src, 0, 2, 0, 8);  // no source bytes: cleared rows
  for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i], 0);
  std::free(out);
  std::free(ExpandBwToGray(src, 0, 0, 2, 16));
  // An output row too short for the source never overflows.
  out = ExpandBwToGray(src, 0, 1, 4, 12);
  EXPECT_EQ(out[0], 255);
  std::free(out);
}

// ---- the scaler

std::vector<uint8_t> Flat(size_t bytes, uint8_t v) { return std::vector<uint8_t>(bytes, v); }

TEST(Scaler, ConstantImageStaysConstantWithExtendedEdges) {
  for (auto [sw, sh, dw, dh] : {std::tuple{40, 30, 13, 7}, {10, 10, 37, 23}, {64, 64, 32, 32}}) {
    std::vector<uint8_t> src = Flat(size_t(sw + 5) * size_t(sh), 77);
    std::vector<uint8_t> dst = Flat(size_t(dw + 3) * size_t(dh), 1);
    ASSERT_EQ(quirel::scaler::ScalePlanar8({src.data(), size_t(sh), size_t(sw), size_t(sw + 5)},
                                           {dst.data(), size_t(dh), size_t(dw), size_t(dw + 3)},
                                           quirel::scaler::kScaleEdgeExtend),
              0);
    for (int r = 0; r < dh; ++r) {
      for (int c = 0; c < dw; ++c) ASSERT_EQ(dst[size_t(r * (dw + 3) + c)], 77) << r << "," << c;
      ASSERT_EQ(dst[size_t(r * (dw + 3) + dw)], 1) << "row padding written";
    }
    std::vector<uint8_t> src4(size_t(sw) * size_t(sh) * 4);
    for (size_t i = 0; i < src4.size(); i += 4) std::memcpy(&src4[i], "\x00\x10\x80\xF0", 4);
    std::vector<uint8_t> dst4(size_t(dw) * size_t(dh) * 4);
    ASSERT_EQ(quirel::scaler::ScaleARGB8888({src4.data(), size_t(sh), size_t(sw), size_t(sw) * 4},
                                            {dst4.data(), size_t(dh), size_t(dw), size_t(dw) * 4},
                                            quirel::scaler::kScaleEdgeExtend),
              0);
    for (size_t i = 0; i < dst4.size(); i += 4) ASSERT_EQ(std::memcmp(&dst4[i], "\x00\x10\x80\xF0", 4), 0) << i;
  }
}

TEST(Scaler, HalvingAveragesAndBackgroundFillDarkensOnlyTheBorder) {
  // Columns alternating 0 and 200: halved, the inside is their mean.
  const int w = 32, h = 16;
  std::vector<uint8_t> src(size_t(w * h));
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c) src[size_t(r * w + c)] = c % 2 ? 200 : 0;
  std::vector<uint8_t> dst(size_t(w / 2 * h / 2));
  quirel::scaler::ScalePlanar8({src.data(), size_t(h), size_t(w), size_t(w)},
                               {dst.data(), size_t(h / 2), size_t(w / 2), size_t(w / 2)},
                               quirel::scaler::kScaleEdgeExtend);
  for (int r = 0; r < h / 2; ++r)
    for (int c = 2; c < w / 2 - 2; ++c) EXPECT_NEAR(dst[size_t(r * w / 2 + c)], 100, 1) << r << "," << c;

  // A flat page halved with background fill: inside unchanged, the outer
  // pixels pulled towards 0.
  std::vector<uint8_t> flat = Flat(size_t(w * h), 200);
  quirel::scaler::ScalePlanar8({flat.data(), size_t(h), size_t(w), size_t(w)},
                               {dst.data(), size_t(h / 2), size_t(w / 2), size_t(w / 2)},
                               quirel::scaler::kScaleLeaveAlphaUnchanged | quirel::scaler::kScaleBackgroundFill);
  EXPECT_EQ(dst[size_t(4 * w / 2 + 8)], 200);
  EXPECT_LT(dst[0], 200);
}

TEST(Scaler, BadGeometryIsRefusedWithoutWriting) {
  std::vector<uint8_t> src = Flat(64, 9), dst = Flat(64, 1);
  EXPECT_NE(quirel::scaler::ScalePlanar8({src.data(), 8, 8, 4}, {dst.data(), 4, 4, 4}, 0), 0);  // row too short
  EXPECT_NE(quirel::scaler::ScalePlanar8({src.data(), 0, 8, 8}, {dst.data(), 4, 4, 4}, 0), 0);
  EXPECT_NE(quirel::scaler::ScaleARGB8888({nullptr, 2, 2, 8}, {dst.data(), 2, 2, 8}, 0), 0);
  EXPECT_EQ(dst, Flat(64, 1));
}

}  // namespace
}  // namespace ZuzuvovOvav
