// Line-art (1 bit a pixel) page buffers.
//
// The scanner sends line art as packed bytes, 8 pixels a byte, first pixel
// in bit 7, set bit = black, each scanner line a whole number of bytes. The
// buffers turn that stream into the stored page bitmap, turned as the side's
// rotation asks:
//   Buf_Expand1          unpacks bytes into pels (one byte a pixel, 0 or 1);
//   Buf_Convolve1        replaces every pel by a weighted count of its 3x3
//                        neighbourhood (despeckle);
//   Buf_Input1Plain      packs 0/1 pels into the page bitmap;
//   Buf_Input1Threshold  packs pels that exceed a threshold into the bitmap.
// The plain chain is Expand1 -> Input1Plain, the despeckle chain Expand1 ->
// Convolve1 -> Input1Threshold.
//
// All buffers pass pels the same way: the producer offers pels to the
// consumer's AppendPels(pels, count), which returns how many it took; a
// buffer's own pels are read with ReadPels() and released with
// ReleasePels(n).
//
// Scanner lines must carry mWidth pels for unturned and 180-degree sides and
// mHeight pels for sides turned by 90 degrees. Data beyond the allocated page
// is dropped (reported once on standard error), never written outside it.
// A buffer whose bitmap allocation failed (ImageInfo::AllocFailed()) takes
// and drops all pels so that the feeding loops still finish.
//
// Each buffer belongs to the one thread feeding the side.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ImageInfo.h"

namespace ZuzuvovOvav {

// Readable pels of a buffer: pointer and count (0 when nothing is readable).
struct PelRun {
  uint8_t* pels;
  int count;
};

class Buf_Expand1 {
 public:
  // Capacity: the page width in pels, at most 4096 (and at least 8, so that
  // a byte always fits into an empty buffer).
  explicit Buf_Expand1(uint32_t width);
  ~Buf_Expand1();
  Buf_Expand1(const Buf_Expand1&) = delete;
  Buf_Expand1& operator=(const Buf_Expand1&) = delete;

  // Unpacks as many whole bytes as fit; returns the bytes taken.
  int AppendBytes(const unsigned char* bytes, int count);
  PelRun ReadPels() const;
  void ReleasePels(int count);

  static constexpr int kMaxCapacity = 4096;

 private:
  int mCapacity;
  uint8_t* mStart;
  uint8_t* mWritePos;
  uint8_t* mReadPos;
  uint8_t* mEndPos;
  uint8_t mTable[256][8];
};

class Buf_Convolve1 {
 public:
  // width: pels per input row (the neighbourhoods follow rows of this
  // length); height is kept for the record only.
  Buf_Convolve1(uint32_t width, uint32_t height);
  ~Buf_Convolve1();
  Buf_Convolve1(const Buf_Convolve1&) = delete;
  Buf_Convolve1& operator=(const Buf_Convolve1&) = delete;

  // Takes pels of the current input row (at most 1024 a call, never past
  // the row's end); returns the count taken.
  int AppendPels(const unsigned char* pels, int count);
  // Output pels of the row above the current input row that are final: a
  // column is final once the input pel to its right has arrived.
  PelRun ReadPels() const;
  void ReleasePels(int count);

  // Ends the input: makes the last row readable (the row below the page
  // counts as white). Call it after draining ReadPels(). If the last input
  // row was incomplete, its missing pels count as white and the row above it
  // becomes readable first: Finish() then returns false, and the caller
  // drains again and calls Finish() once more. Returns true once the last
  // row is readable; later calls change nothing.
  bool Finish();

  // Weights of the 3x3 neighbourhood.
  static constexpr uint8_t kCentre = 16;
  static constexpr uint8_t kEdge = 11;
  static constexpr uint8_t kCorner = 8;

 private:
  uint8_t* Row(int i) const { return mRing + size_t(i) * mStride; }

  int mWidth;
  uint32_t mHeight;  // kept for the record; the ring does not need it
  int mStride;       // mWidth + 2: one margin byte at each end
  uint8_t* mRing;    // rows 0 (above), 1 (current input), 2 (below)
  int mWriteCol;
  int mReadCol;
  bool mStarted = false;
  bool mFinished = false;
};

// Common packer of the two line-art page stores. A pel becomes a set bit
// when its value is greater than the threshold.
class Buf_Input1Base {
 public:
  ~Buf_Input1Base();
  Buf_Input1Base(const Buf_Input1Base&) = delete;
  Buf_Input1Base& operator=(const Buf_Input1Base&) = delete;

  int AppendPels(const unsigned char* pels, int count);
  // Whole scanner lines placed so far (0 for sides turned by 90 degrees).
  int GetCurScanLen() const;
  // The paper length in scanner lines is known: sets mLineCount (less the
  // bottom trim, at least 0, never beyond the page; for turned sides rounded
  // up to a multiple of 8 columns). A 180-degree page shorter than its
  // allocation has its rows moved to the top, where readers take them.
  void SetScanLen(int lines);
  PelRun ReadPels() const;
  void ReleasePels(int count);
  // Sends the page preview.
  void PostProcess();

  int Threshold() const { return mThreshold; }

 protected:
  Buf_Input1Base(ImageInfo* info, int threshold);

 private:
  int AppendRot0(const unsigned char* pels, int count);
  int AppendRot3(const unsigned char* pels, int count);
  int AppendRotLeft(const unsigned char* pels, int count);
  int AppendRotRight(const unsigned char* pels, int count);
  void NextBitOfColumn();
  int DropSurplus(int count, const char* what);
  void AlignLastColumn();

 protected:
  uint8_t mBitNum = 0;  // which line of the current byte column a turned side is on
  int mThreshold;
  uint8_t* mPels = nullptr;
  ptrdiff_t mWritePos = 0;  // byte offset from mPels; may stand one before it
  ImageInfo* mImageInfo;

 private:
  size_t mSize = 0;      // mRowBytes x mHeight
  size_t mReadPos = 0;   // ReadPels/ReleasePels
  int mColumnsDone = 0;  // turned sides: full byte columns packed
  bool mSurplusReported = false;
  bool mColumnAligned = false;
};

class Buf_Input1Plain : public Buf_Input1Base {
 public:
  explicit Buf_Input1Plain(ImageInfo* info);
  // As the base; with gVerbose set it also traces the page's coverage.
  void SetScanLen(int lines);
};

class Buf_Input1Threshold : public Buf_Input1Base {
 public:
  explicit Buf_Input1Threshold(ImageInfo* info);
  // Threshold for a despeckle factor: 1..100 scale linearly from 16 to 91;
  // above 100 or negative it follows the horizontal resolution; 0 gives 0.
  static int ThresholdFor(int despeckleFactor, int xRes);
};

}  // namespace ZuzuvovOvav
