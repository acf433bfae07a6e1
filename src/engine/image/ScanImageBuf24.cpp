#include "ScanImageBuf24.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "ImageInfo.h"
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

int Buf_Input24Base::LinePixels() const {
  const uint32_t rot = mImageInfo->mRotation;
  return int(rot == 1 || rot == 2 ? mImageInfo->mHeight : mImageInfo->mWidth);
}

int Buf_Input24Base::LineCapacity() const {
  const uint32_t rot = mImageInfo->mRotation;
  return int(rot == 1 || rot == 2 ? mImageInfo->mWidth : mImageInfo->mHeight);
}

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
  switch (mImageInfo->mRotation) {
    case 0: return AppendPelsNone(data, len);
    case 1: return AppendPels90Left(data, len);
    case 2: return AppendPels90Right(data, len);
    case 3: return AppendPels180(data, len);
    default: return 0;
  }
}

void Buf_Input24Base::AppendLineByLine(const unsigned char* data, int lineLen, int lines) {
  for (int k = 0; k < lines; ++k) {
    const unsigned char* line = data + size_t(k) * lineLen;
    int done = 0, took;
    while (done < lineLen && (took = AppendPels(line + done, lineLen - done)) > 0) done += took;
  }
}

void Buf_Input24Base::Append16Lines(const unsigned char* data, int lineLen) {
  if (!data || !mPels || mImageInfo->mRotation > 3) return;
  // The block turns need whole lines of the page's length that start at a
  // line boundary and fit the page; anything else goes line by line.
  if (mSample != 0 || mPlane != 0 || lineLen != 3 * LinePixels() || mLine + 16 > LineCapacity()) {
    AppendLineByLine(data, lineLen, 16);
    return;
  }
  switch (mImageInfo->mRotation) {
    case 0: Append16LinesNone(data, lineLen); break;
    case 1: Append16Lines90Left(data, lineLen); break;
    case 2: Append16Lines90Right(data, lineLen); break;
    case 3: Append16Lines180(data, lineLen); break;
  }
}

void Buf_Input24Base::Append16LinesNone(const unsigned char* data, int lineLen) {
  AppendLineByLine(data, lineLen, 16);
}

void Buf_Input24Base::Append16Lines180(const unsigned char* data, int lineLen) {
  AppendLineByLine(data, lineLen, 16);
}

template <int kRed, int kBlue>
int Buf_Input24Pixel<kRed, kBlue>::AppendAny(const unsigned char* data, int len) {
  QUIREL_ASSERT(len % 3 == 0);
  const int lineLen = LinePixels();
  const int p = std::min(len / 3, lineLen - mSample);
  if (p <= 0) return 0;
  ptrdiff_t step;
  uint32_t* dst = CurrentPixel(&step);
  const uint8_t* tone = mImageInfo->mToneTable;
  if (step == 1) {
    for (int k = 0; k < p; ++k, data += 3) dst[k] = Pixel(tone[data[kRed]], tone[data[1]], tone[data[kBlue]]);
  } else {
    for (int k = 0; k < p; ++k, data += 3, dst += step)
      *dst = Pixel(tone[data[kRed]], tone[data[1]], tone[data[kBlue]]);
  }
  if ((mSample += p) == lineLen) mSample = 0, ++mLine;
  return 3 * p;
}

// The block turns write one page row at a time: pixel j of the 16 lines
// lands in 64 neighbouring bytes instead of 16 scattered rows.
template <int kRed, int kBlue>
void Buf_Input24Pixel<kRed, kBlue>::Append16Lines90Left(const unsigned char* data, int lineLen) {
  const ptrdiff_t S = StridePixels();
  const int H = int(mImageInfo->mHeight);
  const uint8_t* tone = mImageInfo->mToneTable;
  uint32_t* col = reinterpret_cast<uint32_t*>(mPels) + mLine;
  for (int j = 0; j < H; ++j) {
    uint32_t* dst = col + ptrdiff_t(H - 1 - j) * S;
    if (j + 1 < H) __builtin_prefetch(dst - S, 1);
    const unsigned char* src = data + 3 * size_t(j);
    for (int k = 0; k < 16; ++k, src += lineLen) dst[k] = Pixel(tone[src[kRed]], tone[src[1]], tone[src[kBlue]]);
  }
  mLine += 16;
}

template <int kRed, int kBlue>
void Buf_Input24Pixel<kRed, kBlue>::Append16Lines90Right(const unsigned char* data, int lineLen) {
  const ptrdiff_t S = StridePixels();
  const int H = int(mImageInfo->mHeight);
  const uint8_t* tone = mImageInfo->mToneTable;
  uint32_t* col = reinterpret_cast<uint32_t*>(mPels) + (ptrdiff_t(mImageInfo->mWidth) - 1 - mLine);
  for (int j = 0; j < H; ++j) {
    uint32_t* dst = col + ptrdiff_t(j) * S;
    if (j + 1 < H) __builtin_prefetch(dst + S - 15, 1);
    const unsigned char* src = data + 3 * size_t(j);
    for (int k = 0; k < 16; ++k, src += lineLen) dst[-k] = Pixel(tone[src[kRed]], tone[src[1]], tone[src[kBlue]]);
  }
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

void Buf_Input24LineRGB::Append16Lines90Left(const unsigned char* data, int lineLen) {
  const ptrdiff_t S = StridePixels();
  const int H = int(mImageInfo->mHeight);
  QUIREL_ASSERT(lineLen == H * 3);
  const uint8_t* tone = mImageInfo->mToneTable;
  uint32_t* col = reinterpret_cast<uint32_t*>(mPels) + mLine;
  for (int j = 0; j < H; ++j) {
    uint32_t* dst = col + ptrdiff_t(H - 1 - j) * S;
    if (j + 1 < H) __builtin_prefetch(dst - S, 1);
    const unsigned char* src = data + j;
    for (int k = 0; k < 16; ++k, src += lineLen) dst[k] = Pixel(tone[src[0]], tone[src[H]], tone[src[2 * H]]);
  }
  mLine += 16;
}

void Buf_Input24LineRGB::Append16Lines90Right(const unsigned char* data, int lineLen) {
  const ptrdiff_t S = StridePixels();
  const int H = int(mImageInfo->mHeight);
  QUIREL_ASSERT(lineLen == H * 3);
  const uint8_t* tone = mImageInfo->mToneTable;
  uint32_t* col = reinterpret_cast<uint32_t*>(mPels) + (ptrdiff_t(mImageInfo->mWidth) - 1 - mLine);
  for (int j = 0; j < H; ++j) {
    uint32_t* dst = col + ptrdiff_t(j) * S;
    if (j + 1 < H) __builtin_prefetch(dst + S - 15, 1);
    const unsigned char* src = data + j;
    for (int k = 0; k < 16; ++k, src += lineLen) dst[-k] = Pixel(tone[src[0]], tone[src[H]], tone[src[2 * H]]);
  }
  mLine += 16;
}

int Buf_Input24Base::GetCurScanLen() const {
  const uint32_t rot = mImageInfo->mRotation;
  return rot == 0 || rot == 3 ? mLine : 0;
}

void Buf_Input24Base::SetScanLen(int len) {
  if (len < 0) return;
  // A bottom trim longer than the paper leaves an empty page, and a length
  // beyond the allocation is cut to it, so that readers of mLineCount never
  // reach outside the bitmap.
  const int count = std::clamp(len - int(mImageInfo->mParams.mBottomTrim), 0, LineCapacity());
  const int previous = mImageInfo->mLineCount;
  mImageInfo->mLineCount = count;
  // A 180-degree page fills from the bottom, but readers take the valid
  // lines from the top: move the kept lines up once and whiten the rest.
  if (mImageInfo->mRotation == 3 && previous < 0 && mPels) {
    const size_t S = mImageInfo->mRowBytes;
    const size_t H = mImageInfo->mHeight;
    if (size_t(count) < H) {
      std::memmove(mPels, mPels + (H - count) * S, size_t(count) * S);
      FillWhite(size_t(count) * S, H * S);
    }
  }
}

void Buf_Input24Base::HalveOversampled() {
  ImageInfo* info = mImageInfo;
  const uint32_t L = info->ValidLineCount();
  const uint32_t h = L / 2;
  const uint32_t w = info->mWidth / 2;
  if (h == 0 || w == 0 || !mPels) return;
  const uint32_t stride = RowStrideAvoidingPowerOf2(w * 4);
  uint8_t* half = info->AllocPageBitmap(size_t(stride) * h);
  if (!half) return;
  AdvisePageMemory(half, size_t(stride) * h);
  quirel::scaler::ImageBuffer src{mPels, L, info->mWidth, info->mRowBytes};
  quirel::scaler::ImageBuffer dst{half, h, w, stride};
  quirel::scaler::ScaleARGB8888(src, dst,
                                quirel::scaler::kScaleLeaveAlphaUnchanged | quirel::scaler::kScaleBackgroundFill);
  std::free(mPels);
  mPels = half;
  mSize = size_t(stride) * h;
  info->mBitMap = half;
  info->mHeight = h;
  info->mWidth = w;
  info->mRowBytes = stride;
  if (info->mLineCount >= 0) info->mLineCount = int32_t(h);
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
