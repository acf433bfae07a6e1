#include "ScanImageBuf8.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "ImageInfo.h"
#include "PageMemory.h"
#include "PagePreview.h"
#include "Scaler.h"

namespace ZuzuvovOvav {

// Placement of scanner line i, sample j (H rows, W columns):
//   rotation 0  row i          column j
//   rotation 1  row H - 1 - j  column i          (90 degrees left)
//   rotation 2  row j          column W - 1 - i  (90 degrees right)
//   rotation 3  row H - 1 - i  column W - 1 - j  (180 degrees)
// A turned page's ImageInfo already holds the turned size, so its scanner
// lines carry H samples and it has room for W of them.

namespace {

inline void MapForward(uint8_t* dst, const unsigned char* src, int n, const uint8_t* tone) {
  for (int k = 0; k < n; ++k) dst[k] = tone[src[k]];
}

inline void MapBackward(uint8_t* dst, const unsigned char* src, int n, const uint8_t* tone) {
  for (int k = 0; k < n; ++k) dst[-k] = tone[src[k]];
}

inline void MapStrided(uint8_t* dst, ptrdiff_t step, const unsigned char* src, int n, const uint8_t* tone) {
  for (int k = 0; k < n; ++k, dst += step) *dst = tone[src[k]];
}

}  // namespace

Buf_Input8::Buf_Input8(ImageInfo* info) : mImageInfo(info) {
  info->mLineCount = -1;
  info->mRowBytes = info->mWidth;
  // Zero-filled: stored 0 is white, so whatever the paper never reached
  // stays white.
  mPels = info->AllocPageBitmap(size_t(info->mWidth) * info->mHeight);
  AdvisePageMemory(mPels, size_t(info->mWidth) * info->mHeight);
  info->mBitMap = mPels;
}

Buf_Input8::~Buf_Input8() { std::free(mPels); }

int Buf_Input8::LineLength() const {
  const uint32_t rot = mImageInfo->mRotation;
  return int(rot == 1 || rot == 2 ? mImageInfo->mHeight : mImageInfo->mWidth);
}

int Buf_Input8::LineCapacity() const {
  const uint32_t rot = mImageInfo->mRotation;
  return int(rot == 1 || rot == 2 ? mImageInfo->mWidth : mImageInfo->mHeight);
}

int Buf_Input8::AppendPels(const unsigned char* data, int len) {
  if (!data || len <= 0 || !mPels) return 0;
  switch (mImageInfo->mRotation) {
    case 0: return AppendPelsNone(data, len);
    case 1: return AppendPels90Left(data, len);
    case 2: return AppendPels90Right(data, len);
    case 3: return AppendPels180(data, len);
    default: return 0;
  }
}

int Buf_Input8::AppendPelsNone(const unsigned char* data, int len) {
  const int W = int(mImageInfo->mWidth);
  if (mLine >= int(mImageInfo->mHeight) || W == 0) return 0;
  const int n = std::min(len, W - mSample);
  MapForward(mPels + size_t(mLine) * W + mSample, data, n, mImageInfo->mToneTable);
  if ((mSample += n) == W) mSample = 0, ++mLine;
  return n;
}

int Buf_Input8::AppendPels180(const unsigned char* data, int len) {
  const int W = int(mImageInfo->mWidth);
  const int H = int(mImageInfo->mHeight);
  if (mLine >= H || W == 0) return 0;
  const int n = std::min(len, W - mSample);
  MapBackward(mPels + size_t(H - 1 - mLine) * W + (W - 1 - mSample), data, n, mImageInfo->mToneTable);
  if ((mSample += n) == W) mSample = 0, ++mLine;
  return n;
}

int Buf_Input8::AppendPels90Left(const unsigned char* data, int len) {
  const int W = int(mImageInfo->mWidth);
  const int H = int(mImageInfo->mHeight);
  if (mLine >= W || H == 0) return 0;
  const int n = std::min(len, H - mSample);
  MapStrided(mPels + size_t(H - 1 - mSample) * W + mLine, -ptrdiff_t(W), data, n, mImageInfo->mToneTable);
  if ((mSample += n) == H) mSample = 0, ++mLine;
  return n;
}

int Buf_Input8::AppendPels90Right(const unsigned char* data, int len) {
  const int W = int(mImageInfo->mWidth);
  const int H = int(mImageInfo->mHeight);
  if (mLine >= W || H == 0) return 0;
  const int n = std::min(len, H - mSample);
  MapStrided(mPels + size_t(mSample) * W + (W - 1 - mLine), ptrdiff_t(W), data, n, mImageInfo->mToneTable);
  if ((mSample += n) == H) mSample = 0, ++mLine;
  return n;
}

void Buf_Input8::Append64Lines(const unsigned char* data, int lineLen) {
  if (!data || !mPels || mImageInfo->mRotation > 3) return;
  // The block transposes below need whole lines of the page's length that
  // start at a line boundary and fit the page; anything else is placed
  // line by line, which cannot write outside the page.
  if (mSample != 0 || lineLen != LineLength() || mLine + 64 > LineCapacity()) {
    for (int k = 0; k < 64; ++k) {
      const unsigned char* line = data + size_t(k) * lineLen;
      int done = 0, took;
      while (done < lineLen && (took = AppendPels(line + done, lineLen - done)) > 0) done += took;
    }
    return;
  }
  switch (mImageInfo->mRotation) {
    case 0: Append64LinesNone(data, lineLen); break;
    case 1: Append64Lines90Left(data, lineLen); break;
    case 2: Append64Lines90Right(data, lineLen); break;
    case 3: Append64Lines180(data, lineLen); break;
  }
}

void Buf_Input8::Append64LinesNone(const unsigned char* data, int lineLen) {
  const int W = int(mImageInfo->mWidth);
  for (int k = 0; k < 64; ++k, ++mLine)
    MapForward(mPels + size_t(mLine) * W, data + size_t(k) * lineLen, W, mImageInfo->mToneTable);
}

void Buf_Input8::Append64Lines180(const unsigned char* data, int lineLen) {
  const int W = int(mImageInfo->mWidth);
  const int H = int(mImageInfo->mHeight);
  for (int k = 0; k < 64; ++k, ++mLine)
    MapBackward(mPels + size_t(H - 1 - mLine) * W + (W - 1), data + size_t(k) * lineLen, W,
                mImageInfo->mToneTable);
}

// The turns write one page row at a time: sample j of the 64 lines lands in
// 64 neighbouring bytes, instead of 64 scattered bytes per line.
void Buf_Input8::Append64Lines90Left(const unsigned char* data, int lineLen) {
  const int W = int(mImageInfo->mWidth);
  const int H = int(mImageInfo->mHeight);
  const uint8_t* tone = mImageInfo->mToneTable;
  for (int j = 0; j < H; ++j) {
    uint8_t* dst = mPels + size_t(H - 1 - j) * W + mLine;
    if (j + 1 < H) __builtin_prefetch(dst - W, 1);
    const unsigned char* src = data + j;
    for (int k = 0; k < 64; ++k) dst[k] = tone[src[size_t(k) * lineLen]];
  }
  mLine += 64;
}

void Buf_Input8::Append64Lines90Right(const unsigned char* data, int lineLen) {
  const int W = int(mImageInfo->mWidth);
  const int H = int(mImageInfo->mHeight);
  const uint8_t* tone = mImageInfo->mToneTable;
  for (int j = 0; j < H; ++j) {
    uint8_t* dst = mPels + size_t(j) * W + (W - 1 - mLine);
    if (j + 1 < H) __builtin_prefetch(dst + W - 63, 1);
    const unsigned char* src = data + j;
    for (int k = 0; k < 64; ++k) dst[-k] = tone[src[size_t(k) * lineLen]];
  }
  mLine += 64;
}

int Buf_Input8::GetCurScanLen() const {
  const uint32_t rot = mImageInfo->mRotation;
  return rot == 0 || rot == 3 ? mLine : 0;
}

void Buf_Input8::SetScanLen(int len) {
  if (len < 0) return;
  // A bottom trim longer than the paper leaves an empty page, and a length
  // beyond the allocation is cut to it, so that readers of mLineCount never
  // reach outside the bitmap.
  const int count = std::clamp(len - int(mImageInfo->mParams.mBottomTrim), 0, LineCapacity());
  const int previous = mImageInfo->mLineCount;
  mImageInfo->mLineCount = count;
  // A 180-degree page fills from the bottom, but readers take the valid
  // lines from the top: move the kept lines up once, so the page starts
  // with the scan's last kept line, and whiten what is left below.
  if (mImageInfo->mRotation == 3 && previous < 0 && mPels) {
    const size_t W = mImageInfo->mWidth;
    const size_t H = mImageInfo->mHeight;
    if (size_t(count) < H) {
      std::memmove(mPels, mPels + (H - count) * W, size_t(count) * W);
      std::memset(mPels + size_t(count) * W, 0, (H - count) * W);
    }
  }
}

void Buf_Input8::HalveOversampled() {
  ImageInfo* info = mImageInfo;
  const uint32_t L = info->ValidLineCount();
  const uint32_t h = L / 2;
  const uint32_t w = info->mWidth / 2;
  if (h == 0 || w == 0 || !mPels) return;
  uint8_t* half = info->AllocPageBitmap(size_t(w) * h);
  if (!half) return;
  AdvisePageMemory(half, size_t(w) * h);
  quirel::scaler::ImageBuffer src{mPels, L, info->mWidth, info->mRowBytes};
  quirel::scaler::ImageBuffer dst{half, h, w, w};
  quirel::scaler::ScalePlanar8(src, dst,
                               quirel::scaler::kScaleLeaveAlphaUnchanged | quirel::scaler::kScaleBackgroundFill);
  std::free(mPels);
  mPels = half;
  info->mBitMap = half;
  info->mHeight = h;
  info->mWidth = w;
  info->mRowBytes = w;
  if (info->mLineCount >= 0) info->mLineCount = int32_t(h);
}

void Buf_Input8::PostProcess() {
  if (mImageInfo->mParams.mOverSample) HalveOversampled();
  if (mPels) CallPagePreviewFor8Bit(mImageInfo);
}

std::pair<const uint8_t*, size_t> Buf_Input8::ReadPels() const {
  return {mPels, size_t(mImageInfo->mHeight) * mImageInfo->mRowBytes};
}

void Buf_Input8::ReleasePels(int count) { mReadPos += size_t(count); }

}  // namespace ZuzuvovOvav
