// Colour page buffers: pixel- and line-interleaved RGB sides.
#include "ScanImageBuf24.h"

#include <algorithm>
#include <bit>
#include <cstdlib>

#include "ImageInfo.h"
#include "PageBufferCommon.h"
#include "PageMemory.h"
#include "PagePreview.h"
#include "Scaler.h"

namespace ZuzuvovOvav {

// Placement of scanner line i, pixel j (H rows, W columns):
//   rotation 0  row i          column j
//   rotation 1  row H - 1 - j  column i          (90 degrees left)
//   rotation 2  row j          column W - 1 - i  (90 degrees right)
//   rotation 3  row H - 1 - i  column W - 1 - j  (180 degrees)
// A turned page's ImageInfo already holds the turned size, so its scanner
// lines carry H pixels and it has room for W of them.

namespace {

static_assert(std::endian::native == std::endian::little, "pixels are composed as little-endian words");

// A page pixel in memory order 0, R, G, B.
inline uint32_t Pixel(uint8_t r, uint8_t g, uint8_t b) {
  return (uint32_t(r) << 8) | (uint32_t(g) << 16) | (uint32_t(b) << 24);
}

// One page pixel from scanner bytes: red at src[red], green at src[green],
// blue at src[blue], each through the tone table.
struct ToneRGB {
  const uint8_t* tone;
  ptrdiff_t red, green, blue;
  uint32_t operator()(const unsigned char* src) const {
    return Pixel(tone[src[red]], tone[src[green]], tone[src[blue]]);
  }
};

}  // namespace

Buf_Input24Base::Buf_Input24Base(ImageInfo* info) : mImageInfo(info) {
  info->mLineCount = -1;
  info->mRowBytes = RowStrideAvoidingPowerOf2(info->mWidth * 4);
  mSize = size_t(info->mRowBytes) * info->mHeight;
  mPels = info->AllocPageBitmap(mSize);
  AdvisePageMemory(mPels, mSize);
  info->mBitMap = mPels;
  if (!mPels) mSize = 0;
  // Whatever the paper never reaches (a short sheet on a turned side) must
  // come out white, not black.
  FillWhite(0, mSize);
}

Buf_Input24Base::~Buf_Input24Base() { std::free(mPels); }

void Buf_Input24Base::FillWhite(size_t fromByte, size_t toByte) {
  if (!mPels || fromByte >= toByte) return;
  const uint8_t w = mImageInfo->mToneTable[0];
  const uint32_t white = Pixel(w, w, w);
  // Byte ranges here always start and end on pixel boundaries.
  auto* p = reinterpret_cast<uint32_t*>(mPels + fromByte);
  std::fill(p, p + (toByte - fromByte) / 4, white);
}

uint32_t Buf_Input24Base::StridePixels() const { return mImageInfo->mRowBytes / 4; }

int Buf_Input24Base::LinePixels() const { return ScannerLineLength(*mImageInfo); }

int Buf_Input24Base::LineCapacity() const { return ScannerLineCapacity(*mImageInfo); }

uint32_t* Buf_Input24Base::CurrentPixel(ptrdiff_t* step) const {
  const ptrdiff_t S = StridePixels();
  const ptrdiff_t W = mImageInfo->mWidth;
  const ptrdiff_t H = mImageInfo->mHeight;
  auto* base = reinterpret_cast<uint32_t*>(mPels);
  const ptrdiff_t i = mLine, j = mSample;
  switch (mImageInfo->mRotation) {
    case 0: *step = 1; return base + i * S + j;
    case 1: *step = -S; return base + (H - 1 - j) * S + i;
    case 2: *step = S; return base + j * S + (W - 1 - i);
    default: *step = -1; return base + (H - 1 - i) * S + (W - 1 - j);
  }
}

int Buf_Input24Base::AppendPels(const unsigned char* data, int len) {
  if (!data || len <= 0 || !mPels || mLine >= LineCapacity() || LinePixels() == 0) return 0;
  if (mImageInfo->mRotation > 3) return 0;
  return AppendAny(data, len);
}

void Buf_Input24Base::Append16Lines(const unsigned char* data, int lineLen) {
  if (!data || !mPels || mImageInfo->mRotation > 3) return;
  // The block turns need whole lines of the page's length that start at a
  // line boundary and fit the page; anything else goes line by line.
  // Unturned and 180-degree lines are rows already: they go line by line.
  if (mSample != 0 || mPlane != 0 || lineLen != 3 * LinePixels() || mLine + 16 > LineCapacity() ||
      mImageInfo->mRotation == 0 || mImageInfo->mRotation == 3) {
    AppendLinesOneByOne(*this, data, lineLen, 16);
    return;
  }
  if (mImageInfo->mRotation == 1)
    Append16Lines90Left(data, lineLen);
  else
    Append16Lines90Right(data, lineLen);
}

uint32_t* Buf_Input24Base::BlockColumnLeft() const { return reinterpret_cast<uint32_t*>(mPels) + mLine; }

uint32_t* Buf_Input24Base::BlockColumnRight() const {
  return reinterpret_cast<uint32_t*>(mPels) + (ptrdiff_t(mImageInfo->mWidth) - 1 - mLine);
}

template <int kRed, int kBlue>
int Buf_Input24Pixel<kRed, kBlue>::AppendAny(const unsigned char* data, int len) {
  QUIREL_ASSERT(len % 3 == 0);
  const int lineLen = LinePixels();
  const int p = std::min(len / 3, lineLen - mSample);
  if (p <= 0) return 0;
  ptrdiff_t step;
  uint32_t* dst = CurrentPixel(&step);
  const ToneRGB map{mImageInfo->mToneTable, kRed, 1, kBlue};
  if (step == 1) {
    for (int k = 0; k < p; ++k, data += 3) dst[k] = map(data);
  } else {
    for (int k = 0; k < p; ++k, data += 3, dst += step) *dst = map(data);
  }
  if ((mSample += p) == lineLen) mSample = 0, ++mLine;
  return 3 * p;
}

template <int kRed, int kBlue>
void Buf_Input24Pixel<kRed, kBlue>::Append16Lines90Left(const unsigned char* data, int lineLen) {
  TurnBlockLeft<16>(BlockColumnLeft(), StridePixels(), int(mImageInfo->mHeight), data, 3, lineLen,
                    ToneRGB{mImageInfo->mToneTable, kRed, 1, kBlue});
  mLine += 16;
}

template <int kRed, int kBlue>
void Buf_Input24Pixel<kRed, kBlue>::Append16Lines90Right(const unsigned char* data, int lineLen) {
  TurnBlockRight<16>(BlockColumnRight(), StridePixels(), int(mImageInfo->mHeight), data, 3, lineLen,
                     ToneRGB{mImageInfo->mToneTable, kRed, 1, kBlue});
  mLine += 16;
}

template class Buf_Input24Pixel<0, 2>;
template class Buf_Input24Pixel<2, 0>;

int Buf_Input24LineRGB::AppendAny(const unsigned char* data, int len) {
  const int lineLen = LinePixels();
  const int n = std::min(len, lineLen - mSample);
  if (n <= 0) return 0;
  ptrdiff_t step;
  uint8_t* dst = reinterpret_cast<uint8_t*>(CurrentPixel(&step)) + 1 + mPlane;
  const ptrdiff_t byteStep = 4 * step;
  const uint8_t* tone = mImageInfo->mToneTable;
  for (int k = 0; k < n; ++k, dst += byteStep) *dst = tone[data[k]];
  if ((mSample += n) == lineLen) {
    mSample = 0;
    if (++mPlane == 3) mPlane = 0, ++mLine;
  }
  return n;
}

// Line-interleaved: the red, green and blue samples of pixel j stand H bytes
// apart in the scanner line.
void Buf_Input24LineRGB::Append16Lines90Left(const unsigned char* data, int lineLen) {
  const int H = int(mImageInfo->mHeight);
  QUIREL_ASSERT(lineLen == H * 3);
  TurnBlockLeft<16>(BlockColumnLeft(), StridePixels(), H, data, 1, lineLen, ToneRGB{mImageInfo->mToneTable, 0, H, 2 * H});
  mLine += 16;
}

void Buf_Input24LineRGB::Append16Lines90Right(const unsigned char* data, int lineLen) {
  const int H = int(mImageInfo->mHeight);
  QUIREL_ASSERT(lineLen == H * 3);
  TurnBlockRight<16>(BlockColumnRight(), StridePixels(), H, data, 1, lineLen,
                     ToneRGB{mImageInfo->mToneTable, 0, H, 2 * H});
  mLine += 16;
}

int Buf_Input24Base::GetCurScanLen() const { return ScanLenSoFar(*mImageInfo, mLine); }

void Buf_Input24Base::SetScanLen(int len) {
  SetPageScanLen(mImageInfo, mPels, mImageInfo->mRowBytes, len,
                 [this](size_t from, size_t to) { FillWhite(from, to); });
}

void Buf_Input24Base::HalveOversampled() {
  if (HalvePageBitmap(mImageInfo, mPels, [](uint32_t w) { return RowStrideAvoidingPowerOf2(w * 4); },
                      quirel::scaler::ScaleARGB8888))
    mSize = size_t(mImageInfo->mRowBytes) * mImageInfo->mHeight;
}

void Buf_Input24Base::PackTo3Bytes() {
  const size_t W = mImageInfo->mWidth;
  const size_t H = mImageInfo->mHeight;
  const size_t S = mImageInfo->mRowBytes;
  // In place from the start: every byte is read before a later write can
  // reach it, since a packed row never starts after its unpacked source.
  for (size_t r = 0; r < H; ++r) {
    const uint8_t* src = mPels + r * S;
    uint8_t* dst = mPels + r * 3 * W;
    for (size_t j = 0; j < W; ++j, src += 4, dst += 3) {
      const uint8_t red = src[1], green = src[2], blue = src[3];
      dst[0] = red;
      dst[1] = green;
      dst[2] = blue;
    }
  }
  mImageInfo->mRowBytes = uint32_t(3 * W);
}

void Buf_Input24Base::PostProcess() {
  if (!mPels) return;
  if (mImageInfo->mParams.mOverSample) HalveOversampled();
  CallPagePreviewFor32Bit(mImageInfo);
  PackTo3Bytes();
}

std::pair<const uint8_t*, size_t> Buf_Input24Base::ReadPels() const {
  return {mPels, size_t(mImageInfo->mHeight) * mImageInfo->mRowBytes};
}

void Buf_Input24Base::ReleasePels(int count) { mReadPos += size_t(count); }

}  // namespace ZuzuvovOvav
