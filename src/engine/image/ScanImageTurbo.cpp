// Turbo line art: the calculated threshold and the scaled gray and 1-bit pages.
#include "ScanImageTurbo.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>

#include "ImageInfo.h"
#include "PageMemory.h"
#include "PagePreview.h"
#include "Scaler.h"

namespace ZuzuvovOvav {

Buf_CalcStaticThreshold8::Buf_CalcStaticThreshold8(ImageInfo* info)
    : mImageInfo(info), mWidth(int(info->mWidth)) {
  // Allocation failures are reported through the ImageInfo like a page's;
  // without the tables the statistic counts nothing.
  mColumns = reinterpret_cast<uint16_t*>(info->AllocPageBitmap(size_t(256) * mWidth * sizeof(uint16_t)));
  AdvisePageMemory(mColumns, size_t(256) * mWidth * sizeof(uint16_t));
  mRow = info->AllocPageBitmap(size_t(mWidth));
}

Buf_CalcStaticThreshold8::~Buf_CalcStaticThreshold8() {
  std::free(mColumns);
  std::free(mRow);
}

void Buf_CalcStaticThreshold8::CountMixedRun(const unsigned char* data, int len, int firstColumn) {
  for (int k = 0; k < len; ++k) {
    const uint8_t v = data[k];
    ++mHisto[v];
    ++mColumns[size_t(v) * mWidth + firstColumn + k];
  }
}

void Buf_CalcStaticThreshold8::AppendPels(const unsigned char* data, int len) {
  if (!data || len <= 0 || !mColumns || !mRow || mWidth <= 0) return;
  while (len > 0) {
    const int n = std::min(len, mWidth - mRowPos);
    int dark = 0;
    for (int k = 0; k < n; ++k) dark += data[k] >> 7;
    mDark += dark;
    mLight += n - dark;
    if (mRowPos + n < mWidth) {
      // The row goes on in the next call: keep its samples until it is
      // known whether it is mixed.
      std::memcpy(mRow + mRowPos, data, size_t(n));
      mRowPos += n;
    } else {
      if (mLight == 0) {
        ++mAllDarkRows;
      } else if (mDark == 0) {
        ++mAllLightRows;
      } else {
        CountMixedRun(mRow, mRowPos, 0);
        CountMixedRun(data, n, mRowPos);
      }
      mRowPos = mLight = mDark = 0;
    }
    data += n;
    len -= n;
  }
}

void Buf_CalcStaticThreshold8::Flush() {
  std::memcpy(mTrimmed, mHisto, sizeof mTrimmed);
  if (!mColumns || mWidth <= 0) return;
  const size_t W = size_t(mWidth);
  uint32_t* low = static_cast<uint32_t*>(std::calloc(2 * W, sizeof(uint32_t)));
  // Without the column sums the threshold would differ: the side fails instead.
  if (!low) throw std::bad_alloc();
  uint32_t* high = low + W;
  for (size_t v = 0; v < 256; ++v) {
    const uint16_t* row = mColumns + v * W;
    uint32_t* sum = v < 128 ? low : high;
    for (size_t c = 0; c < W; ++c) sum[c] += row[c];
  }
  // Columns that are only light (margins) or only dark (borders, bars)
  // within the mixed rows drop out.
  for (size_t v = 0; v < 256; ++v) {
    const uint16_t* row = mColumns + v * W;
    int64_t drop = 0;
    for (size_t c = 0; c < W; ++c)
      if (low[c] == 0 || high[c] == 0) drop += row[c];
    mTrimmed[v] -= int32_t(drop);
  }
  std::free(low);
}

int Buf_CalcStaticThreshold8::Calc(float weight) const {
  int t = 128;
  for (int iterations = 1;; ++iterations) {
    double lightSum = 0, lightCount = 0, darkSum = 0, darkCount = 0;
    for (int v = 0; v < t; ++v) lightSum += double(v) * mTrimmed[v], lightCount += mTrimmed[v];
    for (int v = t; v < 256; ++v) darkSum += double(v) * mTrimmed[v], darkCount += mTrimmed[v];
    const double meanLight = lightCount != 0 ? lightSum / lightCount : 0.0;
    const double meanDark = darkCount != 0 ? darkSum / darkCount : 0.0;
    const double value = (meanLight * weight + meanDark) / double(weight + 1.0f);
    const int next = int(roundf(float(value)));
    if (iterations == 10) return t & 0xFF;
    if (next == t || next < 32 || next > 223) return t & 0xFF;
    t = next;
  }
}

namespace {

// A factor that is not a positive number would make an empty page.
double UsableScale(double f) { return std::isfinite(f) && f > 0 ? f : 1.0; }

}  // namespace

Buf_Turbo8::Buf_Turbo8(ImageInfo* info) : mImageInfo(info) {
  const uint32_t L = info->ValidLineCount();
  const double xScale = UsableScale(info->mParams.mTurboXScale);
  const double yScale = UsableScale(info->mParams.mTurboYScale);
  const uint32_t h = uint32_t(double(L) * yScale);
  const uint32_t w = uint32_t(double(info->mWidth) * xScale);
  mPels = info->AllocPageBitmap(size_t(w) * h);
  AdvisePageMemory(mPels, size_t(w) * h);
  if (mPels && info->mBitMap && w && h && L && info->mWidth) {
    quirel::scaler::ImageBuffer src{info->mBitMap, L, info->mWidth, info->mRowBytes};
    quirel::scaler::ImageBuffer dst{mPels, h, w, w};
    quirel::scaler::ScalePlanar8(src, dst,
                                 quirel::scaler::kScaleLeaveAlphaUnchanged | quirel::scaler::kScaleBackgroundFill);
  }
  info->mBitMap = mPels;
  info->mImageType = kImageTypeGray;
  info->mXRes = uint16_t(double(info->mXRes) * xScale);
  info->mYRes = uint16_t(double(info->mYRes) * yScale);
  info->mHeight = h;
  info->mWidth = w;
  info->mRowBytes = w;
  if (info->mLineCount >= 0) info->mLineCount = int32_t(h);
}

Buf_Turbo8::~Buf_Turbo8() {
  if (mImageInfo->mBitMap == mPels) mImageInfo->mBitMap = nullptr;
  std::free(mPels);
}

Buf_Turbo1::Buf_Turbo1(ImageInfo* info) : mImageInfo(info) {
  const int t = info->mBwThreshold;
  const size_t W = info->mWidth;
  const size_t H = info->mHeight;
  const size_t R = (W + 7) / 8;
  const uint8_t* gray = info->mBitMap;
  mPels = info->AllocPageBitmap(R * H);
  AdvisePageMemory(mPels, R * H);
  if (mPels && gray) {
    for (size_t r = 0; r < H; ++r) {
      const uint8_t* src = gray + r * W;
      uint8_t* dst = mPels + r * R;
      size_t c = 0;
      for (; c + 8 <= W; c += 8, src += 8) {
        unsigned byte = 0;
        for (int b = 0; b < 8; ++b) byte = (byte << 1) | (src[b] > t ? 1u : 0u);
        *dst++ = uint8_t(byte);
      }
      if (c < W) {
        // The last byte of a row takes the remaining pixels from bit 7 down.
        unsigned byte = 0;
        for (int b = 0; c + b < W; ++b) byte |= (src[b] > t ? 0x80u : 0u) >> b;
        *dst = uint8_t(byte);
      }
    }
  }
  info->mBitMap = mPels;
  info->mImageType = kImageTypeLineArt;
  info->mRowBytes = uint32_t(R);
  if (info->mLineCount >= 0) info->mLineCount = int32_t(H);
  if (gVerbose && mPels) {
    uint64_t set = 0;
    for (size_t i = 0; i < R * H; ++i) set += sBitCounts[mPels[i]];
    std::clog << "coverage: " << double(set) / double(W * H) << "\n";
  }
}

Buf_Turbo1::~Buf_Turbo1() {
  if (mImageInfo->mBitMap == mPels) mImageInfo->mBitMap = nullptr;
  std::free(mPels);
}

void Buf_Turbo1::PostProcess() {
  if (mPels) CallPagePreviewFor1Bit(mPels, mImageInfo);
}

}  // namespace ZuzuvovOvav
