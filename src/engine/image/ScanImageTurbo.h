// Turbo line art: a line-art side scanned as 8-bit gray at a lower
// resolution and turned into line art here.
//
// While the data arrives, Buf_Input8 assembles the gray page and
// Buf_CalcStaticThreshold8 gathers a histogram of the page's mixed rows and
// columns. After the last line one threshold for the whole page is
// calculated from it (Calc), Buf_Turbo8 scales the gray page up to the
// requested resolution and Buf_Turbo1 thresholds and packs it to 1 bit a
// pixel (set bit = black), after which the side is an ordinary line-art page.
//
// Samples are gray with high values dark: below 128 is light, 128 or more
// dark. All stages run on the one thread that feeds and finishes the side.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ZuzuvovOvav {

class ImageInfo;

class Buf_CalcStaticThreshold8 {
 public:
  explicit Buf_CalcStaticThreshold8(ImageInfo* info);
  ~Buf_CalcStaticThreshold8();
  Buf_CalcStaticThreshold8(const Buf_CalcStaticThreshold8&) = delete;
  Buf_CalcStaticThreshold8& operator=(const Buf_CalcStaticThreshold8&) = delete;

  // Takes all the samples into the statistic. The stream is cut into rows
  // of mWidth samples, whatever the rotation; every sample of a row with
  // both light and dark samples is counted, however the row was split over
  // calls.
  void AppendPels(const unsigned char* data, int len);

  // Builds the trimmed histogram: the mixed rows' samples that lie in
  // columns holding both light and dark samples. Once, after the last
  // samples. Throws std::bad_alloc when its column sums find no memory.
  void Flush();

  // The threshold for the weight (iterative intermeans selection; a larger
  // weight pulls it towards the light mean): 32..223, or 128 when the
  // trimmed histogram gives nothing better.
  int Calc(float weight) const;

  const int32_t* Histogram() const { return mHisto; }
  const int32_t* TrimmedHistogram() const { return mTrimmed; }
  int AllLightRows() const { return mAllLightRows; }
  int AllDarkRows() const { return mAllDarkRows; }

 private:
  void CountMixedRun(const unsigned char* data, int len, int firstColumn);

  int32_t mHisto[256] = {};
  int32_t mTrimmed[256] = {};
  int32_t mAllLightRows = 0;
  int32_t mAllDarkRows = 0;
  ImageInfo* mImageInfo;
  int mWidth;
  // Samples by value and column: entry (v, c) at v * mWidth + c.
  uint16_t* mColumns = nullptr;
  // The samples of the current row seen in earlier calls.
  uint8_t* mRow = nullptr;
  int mRowPos = 0;
  int mLight = 0;
  int mDark = 0;
};

// Scales the gray page of the ImageInfo by the job's turbo factors and
// installs the scaled page in it (mImageType 2). Owns the scaled page.
class Buf_Turbo8 {
 public:
  explicit Buf_Turbo8(ImageInfo* info);
  ~Buf_Turbo8();
  Buf_Turbo8(const Buf_Turbo8&) = delete;
  Buf_Turbo8& operator=(const Buf_Turbo8&) = delete;

 private:
  uint8_t* mPels = nullptr;
  ImageInfo* mImageInfo;
};

// Thresholds the gray page of the ImageInfo with mBwThreshold (a sample
// above it is black) and installs the packed 1-bit page (mImageType 0).
// Owns the packed page.
class Buf_Turbo1 {
 public:
  explicit Buf_Turbo1(ImageInfo* info);
  ~Buf_Turbo1();
  Buf_Turbo1(const Buf_Turbo1&) = delete;
  Buf_Turbo1& operator=(const Buf_Turbo1&) = delete;

  // Sends the line-art preview of the packed page.
  void PostProcess();

 private:
  uint8_t* mPels = nullptr;
  ImageInfo* mImageInfo;
};

}  // namespace ZuzuvovOvav
