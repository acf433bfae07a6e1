// ImageInfo: a page's geometry from the job's parameters, its tone table, line counts and bitmap.
#include "ImageInfo.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>

namespace ZuzuvovOvav {

ImageInfo::ImageInfo(const ScanParams& params, SideSelectE side)
    : mXRes(params.mXRes),
      mYRes(params.mYRes),
      mWidth(params.mBufWidthRaw),
      mHeight(params.mBufHeightRaw),
      mImageType(params.mImageType),
      mRotation(SideRotation(params.mRotation, side == kSideFront)),
      mParams(params) {
  if (mImageType == kImageTypeGray || mImageType == kImageTypeColor) InitHisto();
  // The buffers see the oversampled resolution; the page keeps the job's.
  if (mParams.mOverSample) {
    mParams.mXRes = uint16_t(mParams.mXRes * 2);
    mParams.mYRes = uint16_t(mParams.mYRes * 2);
  }
}

void ImageInfo::InitHisto() {
  // Bits out beyond 1..8 would make the level count meaningless (or the
  // shift undefined); treat them as the nearest valid depth.
  int bits = mParams.mBitsOut;
  if (bits < 1) bits = 1;
  if (bits > 8) bits = 8;
  const int levels = 1 << bits;
  const int k = 255 / levels;

  int black = mParams.mBlackPoint;
  if (black < k) black = k;
  int white = mParams.mWhitePoint;
  if (white > 255 - k) white = 255 - k;
  mParams.mBlackPoint = black;
  mParams.mWhitePoint = white;

  const bool gray = mImageType != kImageTypeColor;
  const uint8_t lowRun = gray ? 0 : 255;
  const uint8_t highRun = gray ? 255 : 0;
  const int lo = (255 - white) & 0xFF;
  const int hi = (255 - black) & 0xFF;

  if (white <= black + 1) {
    // No room for intermediate levels: a hard step at lo.
    for (int i = 0; i < 256; ++i) mToneTable[i] = i <= lo ? lowRun : highRun;
  } else {
    const float s2 = 255.0f / float(levels - 1);
    const float s1 = float(levels - 2) / float(white - black - 1);
    for (int i = 0; i <= lo; ++i) mToneTable[i] = lowRun;
    for (int i = lo + 1; i < hi; ++i) {
      float v = roundf(roundf(float(i + white - 256) * s1 + 0.5f) * s2);
      if (v < 0.0f) v = 0.0f;
      if (v > 255.0f) v = 255.0f;
      mToneTable[i] = gray ? uint8_t(int(v)) : uint8_t(int(255.0f - v));
    }
    for (int i = hi; i < 256; ++i) mToneTable[i] = highRun;
  }

  if (gVerbose) {
    std::clog << "bits out " << mParams.mBitsOut << ": ";
    for (int i = 0; i < 255; ++i) std::clog << int(mToneTable[i]) << " ";
    std::clog << "\n";
  }
}

// Read-modify-write operations are full barriers on every target and are
// understood by the thread sanitizer, unlike stand-alone fences.
void ImageInfo::SetCurScanLen(int lines) { mCurScanLen.exchange(lines, std::memory_order_seq_cst); }

int ImageInfo::GetCurScanLen() const { return mCurScanLen.fetch_add(0, std::memory_order_seq_cst); }

uint32_t ImageInfo::ValidLineCount() const {
  // Never more rows than were allocated, whatever length was reported.
  if ((mRotation == 0 || mRotation == 3) && mLineCount >= 0) return std::min(uint32_t(mLineCount), mHeight);
  return mHeight;
}

uint8_t* ImageInfo::AllocPageBitmap(size_t bytes) {
  uint8_t* block = nullptr;
  // calloc never throws, and zero-filled pages keep the parts the paper
  // never reached white instead of leaking old heap contents into files.
  if (bytes <= kMaxPageBytes) block = static_cast<uint8_t*>(std::calloc(bytes ? bytes : 1, 1));
  if (!block) {
    mAllocFailed = true;
    mAllocFailedBytes = bytes;
  }
  return block;
}

}  // namespace ZuzuvovOvav
