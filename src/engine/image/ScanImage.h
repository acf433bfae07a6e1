// ScanImage: one side (front or back) of one scanned sheet, while the
// scanner's bytes for it arrive and afterwards as the finished page that the
// writers read.
//
// It is an ImageInfo (geometry, bitmap, tone table, copy of the job's
// parameters) plus one owned implementation, chosen from the image type and
// the job's options:
//   ScanImage_Impl1Plain      line art                (Buf_Expand1 -> Buf_Input1Plain)
//   ScanImage_Impl1Despeckle  line art with despeckle (-> Buf_Convolve1 -> Buf_Input1Threshold)
//   ScanImage_Impl8           gray                    (Buf_Input8)
//   ScanImage_Impl24          colour                  (a Buf_Input24Base variant)
//   ScanImage_Impl1Turbo      turbo line art          (Buf_Input8 + Buf_CalcStaticThreshold8,
//                                                      then Buf_Turbo8 and Buf_Turbo1)
// Gray, colour and turbo sides may arrive as one JPEG stream (mWillUseJpeg):
// it is decoded incrementally, as the chunks arrive, through a suspending
// in-memory source, and the decoded lines reach the page buffer in blocks of
// 64 (gray, turbo) or 16 (colour) lines.
//
// Calling order (one feeding thread): construct; AppendBytes any number of
// times, in any chunking; SetScanLen when the paper length is known (after
// the side's last bytes); PostProcess once; the writer reads the fields and
// mBitMap; delete. GetCurScanLen may be called from any thread at any time.
//
// Failed sides. A side can fail without taking the process down:
//   - its JPEG stream is corrupt (the decoder's error, or a corrupt-data
//     warning, ends decoding of this side only), or it ended before the
//     paper length (before the image's last line while that is not known;
//     checked by PostProcess);
//   - a page bitmap or another large block for it could not be allocated
//     (ImageInfo::AllocFailed(), checked after construction and after each
//     call);
//   - its image type, or its colour order and layout, has no page buffer.
// Once Failed() is true, further calls do nothing, no preview is sent, and
// GetErrorText() names the cause (for a decoder error it carries the
// library's message). The owner must not write a failed side: it ends the
// job with an error and keeps the pages already written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "ImageInfo.h"
#include "ScanImageBuf.h"

extern "C" {
struct jpeg_decompress_struct;
struct jpeg_source_mgr;

// The suspending in-memory JPEG source. jpeg_scan_src installs it on a
// decompression object (once; a second call resets it) and returns it. The
// source never asks for more data by itself: the library suspends when the
// buffered bytes run out, and the caller appends more with
// jpeg_scan_src_append, which moves the unread bytes to the front of its
// 1 MiB buffer, drops bytes still owed to a skip request, copies what fits
// of the new bytes, sets *len to the bytes taken from the caller and
// returns the buffer (null if it cannot be allocated). term_source frees
// the buffer and the record and clears the object's source pointer.
struct jpeg_source_mgr* jpeg_scan_src(struct jpeg_decompress_struct* cinfo);
unsigned char* jpeg_scan_src_append(struct jpeg_decompress_struct* cinfo, const unsigned char* data, int* len);
}

namespace ZuzuvovOvav {

constexpr int kJpegSourceCapacity = 1 << 20;

class ScanImage_ImplBase {
 public:
  explicit ScanImage_ImplBase(ImageInfo* info) : mImageInfo(info) {}
  virtual ~ScanImage_ImplBase();
  ScanImage_ImplBase(const ScanImage_ImplBase&) = delete;
  ScanImage_ImplBase& operator=(const ScanImage_ImplBase&) = delete;

  // Consumes one chunk of scanner bytes.
  virtual void AppendBytesSelf(const unsigned char* data, int len) = 0;
  // Publishes the lines completed so far into the ImageInfo.
  virtual void UpdateCurScanLen() = 0;
  // The final paper length in scanner lines.
  virtual void SetScanLen(int lines) = 0;
  virtual uint32_t GetLineSize() const;
  virtual uint32_t GetActualLineCount() const;
  // Finishes the page after the last byte.
  virtual void PostProcess() = 0;

  void AppendBytes(const unsigned char* data, int len);
  int GetCurScanLen() const;

  bool Failed() const { return mFailed; }
  const char* GetErrorText() const { return mErrorText; }

 protected:
  // Marks the side failed with a printf-style text; the first cause stays.
  void Fail(const char* format, ...) __attribute__((format(printf, 2, 3)));

  ImageInfo* mImageInfo;

 private:
  bool mFailed = false;
  char mErrorText[kMaxErrorText] = {};
};

// Receives decoded JPEG lines: whole ring blocks while decoding, single
// lines for the rest of the ring when the paper length is set.
class JpegLineSink {
 public:
  virtual void TakeBlock(const unsigned char* lines, int lineSize) = 0;
  virtual void TakeLine(const unsigned char* line, int lineSize) = 0;

 protected:
  ~JpegLineSink() = default;
};

// Incremental decoder of one side's JPEG stream on libjpeg with the
// suspending source. Decoder errors never leave this class: they end
// decoding and are kept as a text.
class JpegSideDecoder {
 public:
  enum class Output {
    kInvertedGray,  // 255 - luminance: samples dark high, like raw gray
    kInvertedRGB,   // 255 - each of R, G, B for YCbCr streams
    kGray,          // plain luminance
  };

  // ringLines: 64 or 16; lineSize: bytes of one decoded line the page
  // expects; halveWidth: the stream interleaves two sides side by side.
  JpegSideDecoder(int ringLines, int lineSize, Output output, bool halveWidth);
  ~JpegSideDecoder();
  JpegSideDecoder(const JpegSideDecoder&) = delete;
  JpegSideDecoder& operator=(const JpegSideDecoder&) = delete;

  // Feeds one chunk and hands every completed ring block to the sink.
  // Bytes after the image's last line are ignored. False once failed.
  bool Append(const unsigned char* data, int len, JpegLineSink& sink);
  // Hands the lines left in the ring to the sink one by one; returns their
  // number.
  int Flush(JpegLineSink& sink);
  // Whether the stream reached its end, or, with `knownLines` not negative,
  // gave at least that many lines: a scanner may declare a longer image
  // (the window's length) and end the stream where the paper ended.
  // Otherwise sets the error text to say how far the stream got.
  bool CheckComplete(int knownLines = -1);

  bool Failed() const { return mFailed; }
  const char* ErrorText() const { return mErrorText; }
  uint32_t LinesDecoded() const { return mLinesDecoded; }

 private:
  struct State;
  bool Fail(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool ReadHeader();
  bool Start();
  bool DecodeLines(JpegLineSink& sink, bool* progress);

  std::unique_ptr<State> mState;
  int mRingLines;
  int mLineSize;
  Output mOutput;
  bool mHalveWidth;
  bool mInvert = false;
  uint32_t mLinesDecoded = 0;
  bool mFailed = false;
  char mErrorText[kMaxErrorText] = {};
};

// Common part of the implementations whose sides may arrive as one JPEG
// stream (gray, colour, turbo): the side's decoder and the steps each of
// them takes with it. Decoded lines come back through the JpegLineSink.
class ScanImage_JpegImplBase : public ScanImage_ImplBase, protected JpegLineSink {
 protected:
  explicit ScanImage_JpegImplBase(ImageInfo* info) : ScanImage_ImplBase(info) {}

  // For a JPEG side (mWillUseJpeg), sets up the decoder; one that cannot
  // start fails the side.
  void StartJpeg(int ringLines, int lineSize, JpegSideDecoder::Output output);
  // For a JPEG side, feeds the chunk to the decoder, failing the side on a
  // decoder error, and returns true; false for a raw side.
  bool AppendJpeg(const unsigned char* data, int len);
  // For a JPEG side that has not failed, hands the decoded lines still in
  // the ring to the page once the paper length (`lines`) is known.
  void FlushJpeg(int lines);
  // False, with the side failed, when a JPEG side's stream ended before the
  // paper length, or before the image's last line when that is not known.
  // A stream that ended after the paper length gives the page cut to it.
  bool JpegComplete();

  std::unique_ptr<JpegSideDecoder> mJpeg;  // JPEG sides only
  int mPaperLines = -1;                    // paper length once known
};

class ScanImage_Impl1Plain final : public ScanImage_ImplBase {
 public:
  explicit ScanImage_Impl1Plain(ImageInfo* info);
  void AppendBytesSelf(const unsigned char* data, int len) override;
  void UpdateCurScanLen() override;
  void SetScanLen(int lines) override;
  void PostProcess() override;

 private:
  Buf_Expand1 mExpand;
  Buf_Input1Plain mPack;
};

class ScanImage_Impl1Despeckle final : public ScanImage_ImplBase {
 public:
  explicit ScanImage_Impl1Despeckle(ImageInfo* info);
  void AppendBytesSelf(const unsigned char* data, int len) override;
  void UpdateCurScanLen() override;
  void SetScanLen(int lines) override;
  void PostProcess() override;

 private:
  // Moves the convolver's final pels into the packer; false when the packer
  // took none of them.
  bool DrainConvolver();

  Buf_Expand1 mExpand;
  Buf_Convolve1 mConvolve;
  Buf_Input1Threshold mPack;
};

class ScanImage_Impl8 final : public ScanImage_JpegImplBase {
 public:
  explicit ScanImage_Impl8(ImageInfo* info);
  void AppendBytesSelf(const unsigned char* data, int len) override;
  void UpdateCurScanLen() override;
  void SetScanLen(int lines) override;
  void PostProcess() override;

 private:
  void TakeBlock(const unsigned char* lines, int lineSize) override;
  void TakeLine(const unsigned char* line, int lineSize) override;

  Buf_Input8 mBuf;
};

class ScanImage_Impl24 final : public ScanImage_JpegImplBase {
 public:
  ScanImage_Impl24(ImageInfo* info, ColorOrderE order, ColorPlanarE planar);
  void AppendBytesSelf(const unsigned char* data, int len) override;
  void UpdateCurScanLen() override;
  void SetScanLen(int lines) override;
  void PostProcess() override;

  const Buf_Input24Base* Buffer() const { return mBuf.get(); }

 private:
  void AppendRaw(const unsigned char* data, int len);
  void TakeBlock(const unsigned char* lines, int lineSize) override;
  void TakeLine(const unsigned char* line, int lineSize) override;

  std::unique_ptr<Buf_Input24Base> mBuf;
  ColorPlanarE mPlanar;
  // Raw data: bytes of the current scanner line received so far, and a
  // pixel split between two chunks (its first one or two bytes).
  int mLinePos = 0;
  uint8_t mCarry[3] = {};
  int mCarryLen = 0;
};

class ScanImage_Impl1Turbo final : public ScanImage_JpegImplBase {
 public:
  explicit ScanImage_Impl1Turbo(ImageInfo* info);
  ~ScanImage_Impl1Turbo() override;
  void AppendBytesSelf(const unsigned char* data, int len) override;
  void UpdateCurScanLen() override;
  void SetScanLen(int lines) override;
  void PostProcess() override;

  const Buf_CalcStaticThreshold8& Statistic() const { return *mStat; }

 private:
  void TakeBlock(const unsigned char* lines, int lineSize) override;
  void TakeLine(const unsigned char* line, int lineSize) override;

  std::unique_ptr<Buf_Input8> mBuf;
  std::unique_ptr<Buf_CalcStaticThreshold8> mStat;
  std::unique_ptr<Buf_Turbo1> mTurbo1;
};

class ScanImage : public ImageInfo {
 public:
  ScanImage(ScanParams params, SideSelectE side, ColorOrderE order, ColorPlanarE planar);
  ~ScanImage();
  ScanImage(const ScanImage&) = delete;
  ScanImage& operator=(const ScanImage&) = delete;

  void AppendBytes(const unsigned char* data, int len);
  void SetScanLen(int lines);
  int GetCurScanLen() const;
  void PostProcess();

  // See "Failed sides" above.
  bool Failed() const { return mFailed; }
  const char* GetErrorText() const { return mErrorText; }

  ScanImage_ImplBase* Impl() const { return mImpl; }

 private:
  // Takes over a failure of the implementation or of an allocation.
  void CheckFailure();
  void Fail(const char* text);

  ScanImage_ImplBase* mImpl = nullptr;
  bool mPostProcessed = false;
  bool mFailed = false;
  char mErrorText[kMaxErrorText] = {};
};

}  // namespace ZuzuvovOvav
