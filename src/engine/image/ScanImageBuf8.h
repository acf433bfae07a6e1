// Buf_Input8: the page store of an 8-bit gray side.
//
// Samples arrive as raw scanner bytes in any chunking (AppendPels) or as
// blocks of 64 decoded JPEG lines (Append64Lines). Each sample is mapped
// through the side's tone table and written once, at its final place in
// the page turned as the side's rotation asks. The page is one byte per
// pixel, mHeight rows of mWidth bytes, 0 for white.
//
// Thread-bound: one worker thread feeds and finishes the buffer; only the
// ImageInfo's published scan length is read elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace ZuzuvovOvav {

class ImageInfo;

class Buf_Input8 {
 public:
  explicit Buf_Input8(ImageInfo* info);
  ~Buf_Input8();
  Buf_Input8(const Buf_Input8&) = delete;
  Buf_Input8& operator=(const Buf_Input8&) = delete;

  // Takes samples up to the end of the current scanner line at most and
  // returns how many it took: 0 for no data, an unknown rotation or a
  // full page (surplus data is never written outside the page).
  int AppendPels(const unsigned char* data, int len);

  // Exactly 64 whole scanner lines of lineLen bytes, line k at k * lineLen.
  // A block that does not fit the page's geometry is placed line by line,
  // which stops at the page's end.
  void Append64Lines(const unsigned char* data, int lineLen);

  // Whole scanner lines placed so far; 0 for the turned pages.
  int GetCurScanLen() const;

  // The paper length in scanner lines; see the .cpp for the trim and the
  // 180-degree page.
  void SetScanLen(int len);

  // Halves an oversampled page, then sends the gray preview.
  void PostProcess();

  std::pair<const uint8_t*, size_t> ReadPels() const;
  void ReleasePels(int count);

 private:
  int AppendPelsNone(const unsigned char* data, int len);
  int AppendPels90Left(const unsigned char* data, int len);
  int AppendPels90Right(const unsigned char* data, int len);
  int AppendPels180(const unsigned char* data, int len);
  void Append64LinesNone(const unsigned char* data, int lineLen);
  void Append64Lines90Left(const unsigned char* data, int lineLen);
  void Append64Lines90Right(const unsigned char* data, int lineLen);
  void Append64Lines180(const unsigned char* data, int lineLen);
  void HalveOversampled();

  // Samples in one scanner line and scanner lines in the page.
  int LineLength() const;
  int LineCapacity() const;

  uint8_t* mPels = nullptr;
  // The write position is kept as (scanner line, sample in that line);
  // the table in the .cpp maps it to a page byte for each rotation.
  int mLine = 0;
  int mSample = 0;
  size_t mReadPos = 0;
  ImageInfo* mImageInfo;
};

}  // namespace ZuzuvovOvav
