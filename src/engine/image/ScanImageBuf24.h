// Colour page buffers.
//
// A colour side is assembled by one of three page stores sharing
// Buf_Input24Base:
//   Buf_Input24PixelRGB  pixel-interleaved samples, red, green, blue;
//   Buf_Input24PixelBGR  pixel-interleaved samples, blue, green, red;
//   Buf_Input24LineRGB   line-interleaved: each scanner line is a run of red
//                        samples, then green, then blue.
// Each maps every sample through the side's tone table (raw samples are dark
// high, the table yields ordinary RGB) and writes it once, at its final place
// in the page turned as the side's rotation asks. While scanning the page has
// 4-byte pixels (0, R, G, B) in rows whose stride avoids powers of two; after
// PostProcess it is packed to rows of 3 x mWidth bytes, R, G, B.
//
// Thread-bound: one worker thread feeds and finishes the buffer; only the
// ImageInfo's published scan length is read elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace ZuzuvovOvav {

class ImageInfo;

class Buf_Input24Base {
 public:
  explicit Buf_Input24Base(ImageInfo* info);
  virtual ~Buf_Input24Base();
  Buf_Input24Base(const Buf_Input24Base&) = delete;
  Buf_Input24Base& operator=(const Buf_Input24Base&) = delete;

  // Takes bytes up to the end of the current scanner line (line RGB: of the
  // current colour plane) at most and returns how many it took: 0 for no
  // data, an unknown rotation or a full page. The pixel variants take whole
  // pixels only.
  int AppendPels(const unsigned char* data, int len);

  // Exactly 16 whole scanner lines of lineLen bytes, line k at k * lineLen.
  // A block that does not fit the page's geometry is placed line by line,
  // which stops at the page's end.
  void Append16Lines(const unsigned char* data, int lineLen);

  // Whole scanner lines placed so far; 0 for the turned pages.
  int GetCurScanLen() const;

  // The paper length in scanner lines; see the .cpp for the trim and the
  // 180-degree page.
  void SetScanLen(int len);

  // Halves an oversampled page, sends the colour preview, then packs the
  // page to 3 bytes a pixel.
  void PostProcess();

  std::pair<const uint8_t*, size_t> ReadPels() const;
  void ReleasePels(int count);

  // Pixels in one scanner line and scanner lines in the page.
  int LinePixels() const;
  int LineCapacity() const;

 protected:
  // Places bytes of the current scanner line at CurrentPixel, for every
  // rotation; AppendPels has checked the arguments and that the page has
  // room.
  virtual int AppendAny(const unsigned char* data, int len) = 0;
  // The block turns of Append16Lines for the two 90-degree rotations.
  virtual void Append16Lines90Left(const unsigned char* data, int lineLen) = 0;
  virtual void Append16Lines90Right(const unsigned char* data, int lineLen) = 0;

  // Where the current write position is: the pixel of scanner line mLine,
  // pixel mSample, and the distance in pixels to the next pixel of the line.
  uint32_t* CurrentPixel(ptrdiff_t* step) const;
  uint32_t StridePixels() const;
  // The page pixel in row 0 of the column that scanner line mLine fills,
  // turned left and turned right.
  uint32_t* BlockColumnLeft() const;
  uint32_t* BlockColumnRight() const;

  uint8_t* mPels = nullptr;
  // The write position, kept as (scanner line, pixel in that line, colour
  // plane for line-interleaved data).
  int mLine = 0;
  int mSample = 0;
  int mPlane = 0;
  size_t mReadPos = 0;
  size_t mSize = 0;
  ImageInfo* mImageInfo;

 private:
  void HalveOversampled();
  void PackTo3Bytes();
  void FillWhite(size_t fromByte, size_t toByte);
};

// Pixel-interleaved layouts; kRed and kBlue give the byte of red and blue
// within a scanner pixel.
template <int kRed, int kBlue>
class Buf_Input24Pixel : public Buf_Input24Base {
 public:
  explicit Buf_Input24Pixel(ImageInfo* info) : Buf_Input24Base(info) {}

 protected:
  int AppendAny(const unsigned char* data, int len) override;
  void Append16Lines90Left(const unsigned char* data, int lineLen) override;
  void Append16Lines90Right(const unsigned char* data, int lineLen) override;
};

class Buf_Input24PixelRGB final : public Buf_Input24Pixel<0, 2> {
 public:
  explicit Buf_Input24PixelRGB(ImageInfo* info) : Buf_Input24Pixel(info) {}
};

class Buf_Input24PixelBGR final : public Buf_Input24Pixel<2, 0> {
 public:
  explicit Buf_Input24PixelBGR(ImageInfo* info) : Buf_Input24Pixel(info) {}
};

class Buf_Input24LineRGB final : public Buf_Input24Base {
 public:
  explicit Buf_Input24LineRGB(ImageInfo* info) : Buf_Input24Base(info) {}

 protected:
  int AppendAny(const unsigned char* data, int len) override;
  void Append16Lines90Left(const unsigned char* data, int lineLen) override;
  void Append16Lines90Right(const unsigned char* data, int lineLen) override;
};

}  // namespace ZuzuvovOvav
