// ImageInfo: one side (front or back) of one scanned sheet - its geometry,
// its page bitmap, its tone table and threshold, a private copy of the job's
// parameters and the count of lines scanned so far.
//
// It is the base of ScanImage. Every page buffer of the pipeline works on the
// ImageInfo it is given: it allocates the page bitmap, sets mBitMap and
// mRowBytes, and later mLineCount.
//
// Allocation failures: page bitmaps are large, so the buffers allocate them
// with AllocPageBitmap(), which never throws. When it fails, mAllocFailed is
// set (with the size asked for in mAllocFailedBytes), mBitMap stays null and
// the buffer swallows the side's data without storing it. The owner of the
// side (ScanImage) must check AllocFailed() after construction and before
// writing the page, and treat such a side as failed.
//
// Threads: the side is fed by one worker thread at a time. mCurScanLen is the
// only field read by other threads (progress); it is published with a full
// memory barrier after the store and read after one. Everything else belongs
// to the feeding thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "FujiScanEnums.h"
#include "FujiScanParams.h"

namespace ZuzuvovOvav {

class ImageInfo {
 public:
  ImageInfo(const ScanParams& params, SideSelectE side);
  ImageInfo(const ImageInfo&) = delete;
  ImageInfo& operator=(const ImageInfo&) = delete;

  // Builds mToneTable for gray (type 2) and colour (type 5) pages from the
  // copy's bits out, black point and white point, and writes the clamped
  // black and white points back into mParams.
  void InitHisto();

  void SetCurScanLen(int lines);
  int GetCurScanLen() const;

  // Lines of the page that hold data: mLineCount once known for an unturned
  // or 180-degree side, else the allocated mHeight; never above mHeight.
  uint32_t ValidLineCount() const;

  // A zero-filled block for a page bitmap, or null when it cannot be had;
  // a failure sets mAllocFailed and mAllocFailedBytes. Blocks above
  // kMaxPageBytes are refused without asking the allocator. Free with free().
  uint8_t* AllocPageBitmap(size_t bytes);
  bool AllocFailed() const { return mAllocFailed; }

  // Largest page bitmap the pipeline will try to allocate (64 GiB).
  static constexpr size_t kMaxPageBytes = size_t(1) << 36;

  uint16_t mXRes = 0;
  uint16_t mYRes = 0;
  uint32_t mWidth = 0;
  uint32_t mHeight = 0;
  uint32_t mRowBytes = 0;
  int32_t mLineCount = -1;
  int32_t mImageType = 0;
  uint8_t* mBitMap = nullptr;
  uint32_t mRotation = 0;  // 0 none, 1 90 degrees left, 2 90 degrees right, 3 180
  uint8_t mToneTable[256] = {};
  uint8_t mBwThreshold = 128;
  ScanParams mParams;

 private:
  mutable std::atomic<int32_t> mCurScanLen{0};

 public:
  // Set by any page buffer whose bitmap allocation failed; see above.
  bool mAllocFailed = false;
  size_t mAllocFailedBytes = 0;
};

}  // namespace ZuzuvovOvav
