// Line-art page buffers: expanding, despeckling and packing 1-bit sides.
#include "ScanImageBuf1.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "PagePreview.h"

namespace ZuzuvovOvav {

// ---------------------------------------------------------------- Buf_Expand1

Buf_Expand1::Buf_Expand1(uint32_t width)
    : mCapacity(int(std::clamp<uint32_t>(width, 8, kMaxCapacity))),
      mStart(new uint8_t[size_t(mCapacity)]),
      mWritePos(mStart),
      mReadPos(mStart),
      mEndPos(mStart + mCapacity) {
  for (int b = 0; b < 256; ++b)
    for (int i = 0; i < 8; ++i) mTable[b][i] = uint8_t((b >> (7 - i)) & 1);
}

Buf_Expand1::~Buf_Expand1() { delete[] mStart; }

int Buf_Expand1::AppendBytes(const unsigned char* bytes, int count) {
  QUIREL_ASSERT(mReadPos <= mWritePos);
  if (mReadPos == mWritePos) {
    mReadPos = mWritePos = mStart;
  } else if (mEndPos - mWritePos < 8 && mReadPos > mStart) {
    // A consumer that leaves a few pels behind must not block the buffer.
    const ptrdiff_t left = mWritePos - mReadPos;
    std::memmove(mStart, mReadPos, size_t(left));
    mReadPos = mStart;
    mWritePos = mStart + left;
  }
  if (!bytes || count <= 0) return 0;
  int taken = 0;
  const int fit = int((mEndPos - mWritePos) / 8);
  const int n = std::min(count, fit);
  for (; taken < n; ++taken) {
    std::memcpy(mWritePos, mTable[bytes[taken]], 8);
    mWritePos += 8;
  }
  QUIREL_ASSERT(mWritePos <= mEndPos);
  return taken;
}

PelRun Buf_Expand1::ReadPels() const {
  const ptrdiff_t n = mWritePos - mReadPos;
  return {mReadPos, n > 0 ? int(n) : 0};
}

void Buf_Expand1::ReleasePels(int count) {
  if (count > 0) mReadPos += std::min<ptrdiff_t>(count, mWritePos - mReadPos);
}

// -------------------------------------------------------------- Buf_Convolve1

Buf_Convolve1::Buf_Convolve1(uint32_t width, uint32_t height)
    : mWidth(int(width)),
      mHeight(height),
      mStride(int(width) + 2),
      mRing(new uint8_t[size_t(3) * (size_t(width) + 2)]()),
      mWriteCol(0),
      mReadCol(int(width)) {}

Buf_Convolve1::~Buf_Convolve1() { delete[] mRing; }

int Buf_Convolve1::AppendPels(const unsigned char* pels, int count) {
  if (!pels || count <= 0) return 0;
  // Input after the end, or for a page without width, goes nowhere; taking
  // it keeps the feeding loop moving.
  if (mFinished || mWidth <= 0) return count;
  if (mWriteCol == mWidth) {
    QUIREL_ASSERT(mReadCol == mWidth);
    std::memcpy(Row(0), Row(1), size_t(mStride));
    std::memcpy(Row(1), Row(2), size_t(mStride));
    std::memset(Row(2), 0, size_t(mStride));
    mWriteCol = 0;
    mReadCol = 0;
  }
  const int k = std::min({count, mWidth - mWriteCol, 1024});
  // Column c of the page is byte c + 1 of a ring row, so the three bytes
  // around it start at byte c.
  uint8_t* above = Row(0) + mWriteCol;
  uint8_t* here = Row(1) + mWriteCol;
  uint8_t* below = Row(2) + mWriteCol;
  for (int i = 0; i < k; ++i) {
    if (!pels[i]) continue;
    above[i] += kCorner;
    above[i + 1] += kEdge;
    above[i + 2] += kCorner;
    here[i] += kEdge;
    here[i + 1] += kCentre;
    here[i + 2] += kEdge;
    below[i] += kCorner;
    below[i + 1] += kEdge;
    below[i + 2] += kCorner;
  }
  mWriteCol += k;
  mStarted = true;
  QUIREL_ASSERT(mWriteCol <= mWidth);
  return k;
}

PelRun Buf_Convolve1::ReadPels() const {
  const int a = mWriteCol == mWidth ? mWidth : mWriteCol - 1;
  const int n = a - mReadCol;
  return {Row(0) + 1 + mReadCol, n > 0 ? n : 0};
}

void Buf_Convolve1::ReleasePels(int count) {
  if (count > 0) mReadCol = std::min(mReadCol + count, mWidth);
}

bool Buf_Convolve1::Finish() {
  if (mFinished) return true;
  if (!mStarted) {
    // No input at all: there is no row to hand out.
    mFinished = true;
    return true;
  }
  // An incomplete last row: its missing pels count as white, which makes the
  // row above it final; that row must be handed out before the ring moves.
  if (mWriteCol < mWidth) mWriteCol = mWidth;
  if (mReadCol < mWidth) return false;
  std::memcpy(Row(0), Row(1), size_t(mStride));
  std::memcpy(Row(1), Row(2), size_t(mStride));
  std::memset(Row(2), 0, size_t(mStride));
  mReadCol = 0;
  mWriteCol = mWidth;
  mFinished = true;
  return true;
}

// ------------------------------------------------------------- Buf_Input1Base

Buf_Input1Base::Buf_Input1Base(ImageInfo* info, int threshold) : mThreshold(threshold), mImageInfo(info) {
  const uint32_t rotation = info->mRotation;
  if (rotation == 1 || rotation == 2) info->mWidth = (info->mWidth + 7) & ~uint32_t(7);
  info->mRowBytes = (info->mWidth + 7) / 8;
  const size_t rb = info->mRowBytes;
  const size_t height = info->mHeight;
  // A size that overflows is as impossible to allocate as a huge one.
  const bool fits = height == 0 || rb <= ImageInfo::kMaxPageBytes / height;
  mSize = fits ? rb * height : 0;
  mPels = fits ? info->AllocPageBitmap(mSize) : nullptr;
  if (!fits) {
    info->mAllocFailed = true;
    info->mAllocFailedBytes = SIZE_MAX;
  }
  info->mBitMap = mPels;
  switch (rotation) {
    case 1:
      mWritePos = ptrdiff_t(height ? (height - 1) * rb : 0);
      break;
    case 2:
      mWritePos = ptrdiff_t(rb) - 1;
      break;
    case 3:
      mWritePos = ptrdiff_t(mSize) - 1;
      break;
    default:
      mWritePos = 0;
      break;
  }
}

Buf_Input1Base::~Buf_Input1Base() { std::free(mPels); }

int Buf_Input1Base::DropSurplus(int count, const char* what) {
  if (!mSurplusReported) {
    mSurplusReported = true;
    AssertFailed(__LINE__, __FILE__, what);
  }
  return count;
}

int Buf_Input1Base::AppendPels(const unsigned char* pels, int count) {
  if (!pels || count <= 0) return 0;
  // The side is already failed; dropping the data lets the chain drain.
  if (!mPels) return count;
  switch (mImageInfo->mRotation) {
    case 0:
      return AppendRot0(pels, count);
    case 1:
      return AppendRotLeft(pels, count);
    case 2:
      return AppendRotRight(pels, count);
    case 3:
      return AppendRot3(pels, count);
    default:
      return DropSurplus(count, "mRotation <= 3");
  }
}

int Buf_Input1Base::AppendRot0(const unsigned char* pels, int count) {
  if (size_t(mWritePos) >= mSize) return DropSurplus(count, "mWritePos < mPels + mImageInfo->mHeight * mImageInfo->mRowBytes");
  const ptrdiff_t rb = mImageInfo->mRowBytes;
  const int groups = std::min<ptrdiff_t>(count / 8, rb - mWritePos % rb);
  const int thr = mThreshold;
  uint8_t* out = mPels + mWritePos;
  for (int g = 0; g < groups; ++g) {
    const unsigned char* p = pels + g * 8;
    unsigned b = 0;
    for (int j = 0; j < 8; ++j) b = (b << 1) | unsigned(p[j] > thr);
    out[g] = uint8_t(b);
  }
  mWritePos += groups;
  return groups * 8;
}

int Buf_Input1Base::AppendRot3(const unsigned char* pels, int count) {
  if (mWritePos < 0) return DropSurplus(count, "mWritePos >= mPels");
  const ptrdiff_t rb = mImageInfo->mRowBytes;
  const int groups = std::min<ptrdiff_t>(count / 8, mWritePos % rb + 1);
  const int thr = mThreshold;
  uint8_t* out = mPels + mWritePos;
  for (int g = 0; g < groups; ++g) {
    const unsigned char* p = pels + g * 8;
    unsigned b = 0;
    // Mirrored: the first pel of the group is the rightmost pixel.
    for (int j = 7; j >= 0; --j) b = (b << 1) | unsigned(p[j] > thr);
    out[-g] = uint8_t(b);
  }
  mWritePos -= groups;
  return groups * 8;
}

// A turned side's scanner line is complete: the next one goes one bit
// further along the byte column, or starts the next column.
void Buf_Input1Base::NextBitOfColumn() {
  if (++mBitNum == 8) {
    mBitNum = 0;
    ++mColumnsDone;
  }
}

int Buf_Input1Base::AppendRotLeft(const unsigned char* pels, int count) {
  const ptrdiff_t rb = mImageInfo->mRowBytes;
  const ptrdiff_t height = mImageInfo->mHeight;
  if (mColumnsDone >= rb || height == 0)
    return DropSurplus(count, "mWritePos >= mPels && mWritePos <= mPels + mImageInfo->mHeight * mImageInfo->mRowBytes");
  QUIREL_ASSERT(mBitNum >= 0 && mBitNum < 8);
  const ptrdiff_t row = mWritePos / rb;
  const int n = int(std::min<ptrdiff_t>(count, row + 1));
  const int thr = mThreshold;
  uint8_t* p = mPels + mWritePos;
  const bool fresh = mBitNum == 0;
  for (int i = 0; i < n; ++i, p -= rb) {
    const unsigned old = fresh ? 0u : *p;
    *p = uint8_t((old << 1) | unsigned(pels[i] > thr));
  }
  if (n == row + 1) {
    NextBitOfColumn();
    mWritePos = (height - 1) * rb + mColumnsDone;
  } else {
    mWritePos -= n * rb;
  }
  QUIREL_ASSERT(mWritePos >= 0 && mWritePos <= ptrdiff_t(mSize));
  return n;
}

int Buf_Input1Base::AppendRotRight(const unsigned char* pels, int count) {
  const ptrdiff_t rb = mImageInfo->mRowBytes;
  const ptrdiff_t height = mImageInfo->mHeight;
  if (mColumnsDone >= rb || height == 0)
    return DropSurplus(count, "mWritePos >= mPels - 1 && mWritePos <= mPels + mImageInfo->mHeight * mImageInfo->mRowBytes");
  QUIREL_ASSERT(mBitNum >= 0 && mBitNum < 8);
  const ptrdiff_t row = mWritePos / rb;
  const int n = int(std::min<ptrdiff_t>(count, height - row));
  const int thr = mThreshold;
  uint8_t* p = mPels + mWritePos;
  const bool fresh = mBitNum == 0;
  for (int i = 0; i < n; ++i, p += rb) {
    const unsigned old = fresh ? 0u : *p;
    *p = uint8_t((old >> 1) | (unsigned(pels[i] > thr) << 7));
  }
  if (n == height - row) {
    NextBitOfColumn();
    // Row 0 of the current byte column; one before the bitmap after the last.
    mWritePos = rb - 1 - mColumnsDone;
  } else {
    mWritePos += n * rb;
  }
  QUIREL_ASSERT(mWritePos >= -1 && mWritePos <= ptrdiff_t(mSize));
  return n;
}

// A turned side whose line count is not a multiple of 8 leaves its last
// lines in the partial byte column next to the bit that packing reached;
// shifting them to the column's start puts them right after the previous
// lines instead of behind a gap of white columns.
void Buf_Input1Base::AlignLastColumn() {
  if (mColumnAligned) return;
  const uint32_t rotation = mImageInfo->mRotation;
  if ((rotation != 1 && rotation != 2) || !mPels || mBitNum == 0) return;
  mColumnAligned = true;
  const ptrdiff_t rb = mImageInfo->mRowBytes;
  const ptrdiff_t height = mImageInfo->mHeight;
  if (mColumnsDone >= rb) return;
  const int shift = 8 - mBitNum;
  const ptrdiff_t col = rotation == 1 ? mColumnsDone : rb - 1 - mColumnsDone;
  uint8_t* p = mPels + col;
  for (ptrdiff_t r = 0; r < height; ++r, p += rb)
    *p = rotation == 1 ? uint8_t(*p << shift) : uint8_t(*p >> shift);
  // Later lines, if any, start a fresh byte column.
  mBitNum = 0;
  ++mColumnsDone;
  mWritePos = rotation == 1 ? (height - 1) * rb + mColumnsDone : rb - 1 - mColumnsDone;
}

int Buf_Input1Base::GetCurScanLen() const {
  const ptrdiff_t rb = mImageInfo->mRowBytes;
  if (rb == 0) return 0;
  switch (mImageInfo->mRotation) {
    case 0:
      return int(mWritePos / rb);
    case 3:
      return int((ptrdiff_t(mSize) - 1 - mWritePos) / rb);
    default:
      return 0;
  }
}

void Buf_Input1Base::SetScanLen(int lines) {
  if (lines < 0) return;
  const uint32_t rotation = mImageInfo->mRotation;
  // A bottom trim longer than the paper leaves an empty page, not an
  // unknown length.
  int64_t a = int64_t(lines) - int64_t(mImageInfo->mParams.mBottomTrim);
  if (a < 0) a = 0;
  if (rotation == 1 || rotation == 2) {
    a = a - ((a - 1) % 8) + 7;
    a = std::min<int64_t>(a, mImageInfo->mWidth);
    AlignLastColumn();
  } else {
    // Never more rows than the page has.
    a = std::min<int64_t>(a, mImageInfo->mHeight);
  }
  const int32_t previous = mImageInfo->mLineCount;
  mImageInfo->mLineCount = int32_t(a);
  // A 180-degree page fills from the bottom, but readers take the valid rows
  // from the top: move the kept rows up once and whiten the rest.
  if (rotation == 3 && previous < 0 && mPels && uint64_t(a) < mImageInfo->mHeight) {
    const size_t rb = mImageInfo->mRowBytes;
    const size_t keep = size_t(a) * rb;
    std::memmove(mPels, mPels + (mSize - keep), keep);
    std::memset(mPels + keep, 0, mSize - keep);
  }
}

PelRun Buf_Input1Base::ReadPels() const {
  if (!mPels) return {nullptr, 0};
  const size_t n = mSize - std::min(mReadPos, mSize);
  return {mPels + std::min(mReadPos, mSize), int(std::min<size_t>(n, INT32_MAX))};
}

void Buf_Input1Base::ReleasePels(int count) {
  if (count > 0) mReadPos = std::min(mReadPos + size_t(count), mSize);
}

void Buf_Input1Base::PostProcess() {
  AlignLastColumn();
  CallPagePreviewFor1Bit(mPels, mImageInfo);
}

// ----------------------------------------------------------- the two stores

Buf_Input1Plain::Buf_Input1Plain(ImageInfo* info) : Buf_Input1Base(info, 0) {}

void Buf_Input1Plain::SetScanLen(int lines) {
  Buf_Input1Base::SetScanLen(lines);
  if (lines < 0 || !gVerbose || !mPels) return;
  const size_t size = size_t(mImageInfo->mRowBytes) * mImageInfo->mHeight;
  uint64_t bits = 0;
  for (size_t i = 0; i < size; ++i) bits += sBitCounts[mPels[i]];
  std::clog << "coverage: " << double(bits) / (double(mImageInfo->mWidth) * double(mImageInfo->mHeight)) << "\n";
}

Buf_Input1Threshold::Buf_Input1Threshold(ImageInfo* info)
    : Buf_Input1Base(info, ThresholdFor(info->mParams.mDespeckleFactor, info->mParams.mXRes)) {}

int Buf_Input1Threshold::ThresholdFor(int f, int xRes) {
  if (f == 0) return 0;
  if (f >= 1 && f <= 100) return int(f * 0.75 + 16.0);
  if (xRes >= 600) return 85;
  if (xRes >= 400) return 61;
  if (xRes >= 300) return 45;
  if (xRes >= 200) return 40;
  if (xRes >= 150) return 27;
  return 21;
}

}  // namespace ZuzuvovOvav
