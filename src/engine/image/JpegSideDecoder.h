// JpegSideDecoder: decodes one side's JPEG stream as its chunks arrive and
// hands the decoded lines to a JpegLineSink.
#pragma once

#include <cstdint>
#include <memory>

#include "FirstFailure.h"

namespace ZuzuvovOvav {

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

  bool Failed() const { return mFailure.Failed(); }
  const char* ErrorText() const { return mFailure.Text(); }
  uint32_t LinesDecoded() const { return mLinesDecoded; }

 private:
  struct State;
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
  FirstFailure mFailure;
};

}  // namespace ZuzuvovOvav
