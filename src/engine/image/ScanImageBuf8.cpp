// The gray page buffer.
#include "ScanImageBuf8.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "ImageInfo.h"
#include "PageBufferCommon.h"
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

int Buf_Input8::LineLength() const { return ScannerLineLength(*mImageInfo); }

int Buf_Input8::LineCapacity() const { return ScannerLineCapacity(*mImageInfo); }

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
    AppendLinesOneByOne(*this, data, lineLen, 64);
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

namespace {

struct ToneGray {
  const uint8_t* tone;
  uint8_t operator()(const unsigned char* src) const { return tone[*src]; }
};

}  // namespace

void Buf_Input8::Append64Lines90Left(const unsigned char* data, int lineLen) {
  TurnBlockLeft<64>(mPels + mLine, ptrdiff_t(mImageInfo->mWidth), int(mImageInfo->mHeight), data, 1, lineLen,
                    ToneGray{mImageInfo->mToneTable});
  mLine += 64;
}

void Buf_Input8::Append64Lines90Right(const unsigned char* data, int lineLen) {
  TurnBlockRight<64>(mPels + (int(mImageInfo->mWidth) - 1 - mLine), ptrdiff_t(mImageInfo->mWidth),
                     int(mImageInfo->mHeight), data, 1, lineLen, ToneGray{mImageInfo->mToneTable});
  mLine += 64;
}

int Buf_Input8::GetCurScanLen() const { return ScanLenSoFar(*mImageInfo, mLine); }

// Stored 0 is white: what the 180-degree move leaves below is cleared to 0.
void Buf_Input8::SetScanLen(int len) {
  SetPageScanLen(mImageInfo, mPels, mImageInfo->mWidth, len,
                 [this](size_t from, size_t to) { std::memset(mPels + from, 0, to - from); });
}

void Buf_Input8::HalveOversampled() {
  HalvePageBitmap(mImageInfo, mPels, [](uint32_t w) { return w; }, quirel::scaler::ScalePlanar8);
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
