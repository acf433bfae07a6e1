// The incremental JPEG decoder of one side (see JpegSideDecoder.h).
#include "JpegSideDecoder.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// jpeglib.h needs FILE and size_t declared first.
#include <jerror.h>
#include <jpeglib.h>

#include "JpegScanSource.h"

namespace ZuzuvovOvav {

namespace {

// Error manager that returns to the guarded call instead of ending the
// process. The jump only crosses libjpeg's C frames: every setjmp sits in a
// small function below that holds no C++ objects.
struct ErrorMgr {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

extern "C" void ScanErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorMgr*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  std::longjmp(err->jump, 1);
}

// Warnings about corrupt entropy data mean the page would come out
// garbled: they end the side like errors. Other warnings go the usual way.
extern "C" void ScanEmitMessage(j_common_ptr cinfo, int level) {
  if (level < 0) {
    switch (cinfo->err->msg_code) {
      case JWRN_HIT_MARKER:
      case JWRN_HUFF_BAD_CODE:
      case JWRN_MUST_RESYNC:
      case JWRN_BOGUS_PROGRESSION:
      case JWRN_NOT_SEQUENTIAL:
        ScanErrorExit(cinfo);
        return;
      default:
        break;
    }
  }
  // The library's own handling: count warnings, print the first.
  if (level < 0) {
    if (cinfo->err->num_warnings == 0 || cinfo->err->trace_level >= 3) (*cinfo->err->output_message)(cinfo);
    cinfo->err->num_warnings++;
  } else if (cinfo->err->trace_level >= level) {
    (*cinfo->err->output_message)(cinfo);
  }
}

int GuardedReadHeader(j_decompress_ptr d, ErrorMgr* err) {
  if (setjmp(err->jump)) return -1;
  return jpeg_read_header(d, TRUE);
}

int GuardedStart(j_decompress_ptr d, ErrorMgr* err) {
  if (setjmp(err->jump)) return -1;
  return jpeg_start_decompress(d) ? 1 : 0;
}

int GuardedReadLines(j_decompress_ptr d, ErrorMgr* err, JSAMPARRAY rows, int count) {
  if (setjmp(err->jump)) return -1;
  return int(jpeg_read_scanlines(d, rows, JDIMENSION(count)));
}

bool GuardedCreate(j_decompress_ptr d, ErrorMgr* err) {
  if (setjmp(err->jump)) return false;
  jpeg_create_decompress(d);
  return true;
}

void GuardedAbort(j_decompress_ptr d, ErrorMgr* err) {
  if (setjmp(err->jump)) return;
  jpeg_abort_decompress(d);
}

void InvertLines(unsigned char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) p[i] = uint8_t(~p[i]);
}

}  // namespace

struct JpegSideDecoder::State {
  jpeg_decompress_struct decomp{};
  ErrorMgr err{};
  enum Phase { kHeader, kStart, kLines, kDone } phase = kHeader;
  bool created = false;
  unsigned char* ring = nullptr;
  JSAMPROW* rows = nullptr;
};

JpegSideDecoder::JpegSideDecoder(int ringLines, int lineSize, Output output, bool halveWidth)
    : mState(new State), mRingLines(ringLines), mLineSize(lineSize), mOutput(output), mHalveWidth(halveWidth) {
  State& s = *mState;
  s.decomp.err = jpeg_std_error(&s.err.pub);
  s.err.pub.error_exit = ScanErrorExit;
  s.err.pub.emit_message = ScanEmitMessage;
  if (!GuardedCreate(&s.decomp, &s.err)) {
    mFailure.Set("JPEG decoder cannot be set up: %s", s.err.message);
    return;
  }
  s.created = true;
  if (!jpeg_scan_src(&s.decomp)) {
    mFailure.Set("JPEG source cannot be allocated");
    return;
  }
  const size_t ringBytes = size_t(std::max(lineSize, 0)) * size_t(ringLines);
  s.ring = static_cast<unsigned char*>(std::malloc(ringBytes ? ringBytes : 1));
  s.rows = static_cast<JSAMPROW*>(std::malloc(sizeof(JSAMPROW) * size_t(ringLines)));
  if (!s.ring || !s.rows) {
    mFailure.Set("not enough memory for %d decoded JPEG lines of %d bytes", ringLines, lineSize);
    return;
  }
  for (int i = 0; i < ringLines; ++i) s.rows[i] = s.ring + size_t(i) * size_t(std::max(lineSize, 0));
}

JpegSideDecoder::~JpegSideDecoder() {
  State& s = *mState;
  if (s.created) {
    if (s.phase == State::kLines || s.phase == State::kDone || mFailure.Failed())
      GuardedAbort(&s.decomp, &s.err);
    if (s.decomp.src) (*s.decomp.src->term_source)(&s.decomp);
    jpeg_destroy_decompress(&s.decomp);
  }
  std::free(s.ring);
  std::free(s.rows);
}

bool JpegSideDecoder::ReadHeader() {
  State& s = *mState;
  const int r = GuardedReadHeader(&s.decomp, &s.err);
  if (r < 0) return mFailure.Set("JPEG decoding failed: %s", s.err.message);
  if (r == JPEG_SUSPENDED) return true;
  const J_COLOR_SPACE in = s.decomp.jpeg_color_space;
  switch (mOutput) {
    case Output::kInvertedGray:
      // Inverted gray is defined for gray and YCbCr streams only.
      if (in != JCS_GRAYSCALE && in != JCS_YCbCr) return mFailure.Set("JPEG decoding failed: Unsupported color conversion request");
      s.decomp.out_color_space = JCS_GRAYSCALE;
      mInvert = true;
      break;
    case Output::kInvertedRGB:
      if (in != JCS_GRAYSCALE && in != JCS_YCbCr && in != JCS_RGB)
        return mFailure.Set("JPEG decoding failed: Unsupported color conversion request");
      s.decomp.out_color_space = JCS_RGB;
      // Gray and RGB streams are taken as they are; only YCbCr is inverted.
      mInvert = in == JCS_YCbCr;
      break;
    case Output::kGray:
      s.decomp.out_color_space = JCS_GRAYSCALE;
      mInvert = false;
      break;
  }
  if (mHalveWidth) {
    // Each side of an interleaved stream holds half of every MCU row; a
    // width that does not split into whole MCUs would leave part of the
    // side's lines undecoded.
    const unsigned mcuWidth = 8u * unsigned(s.decomp.max_h_samp_factor > 0 ? s.decomp.max_h_samp_factor : 1);
    if (s.decomp.image_width % (2 * mcuWidth) != 0)
      return mFailure.Set("JPEG interleaved image width %u does not split into two sides of whole blocks",
                  unsigned(s.decomp.image_width));
    s.decomp.image_width >>= 1;
    s.decomp.comp_info[0].width_in_blocks >>= 1;
    s.decomp.comp_info[0].downsampled_width >>= 1;
    s.decomp.output_width >>= 1;
  }
  s.phase = State::kStart;
  return true;
}

bool JpegSideDecoder::Start() {
  State& s = *mState;
  const int r = GuardedStart(&s.decomp, &s.err);
  if (r < 0) return mFailure.Set("JPEG decoding failed: %s", s.err.message);
  if (r == 0) return true;  // suspended
  s.phase = State::kLines;
  const long long decodedLine = (long long)s.decomp.output_width * s.decomp.output_components;
  if (decodedLine != mLineSize)
    return mFailure.Set("JPEG image lines are %u pixels of %d bytes, the page expects %d bytes a line",
                unsigned(s.decomp.output_width), s.decomp.output_components, mLineSize);
  if (s.decomp.output_scanline >= s.decomp.output_height) s.phase = State::kDone;
  return true;
}

bool JpegSideDecoder::DecodeLines(JpegLineSink& sink, bool* progress) {
  State& s = *mState;
  while (s.decomp.output_scanline < s.decomp.output_height) {
    const int slot = int(mLinesDecoded % uint32_t(mRingLines));
    const int n = GuardedReadLines(&s.decomp, &s.err, s.rows + slot, mRingLines - slot);
    if (n < 0) return mFailure.Set("JPEG decoding failed after %u lines: %s", mLinesDecoded, s.err.message);
    if (n == 0) break;  // needs more data
    *progress = true;
    if (mInvert) InvertLines(s.rows[slot], size_t(n) * size_t(mLineSize));
    mLinesDecoded += uint32_t(n);
    if (mLinesDecoded % uint32_t(mRingLines) == 0) sink.TakeBlock(s.ring, mLineSize);
  }
  if (s.decomp.output_scanline >= s.decomp.output_height) s.phase = State::kDone;
  return true;
}

bool JpegSideDecoder::Append(const unsigned char* data, int len, JpegLineSink& sink) {
  State& s = *mState;
  if (mFailure.Failed()) return false;
  for (;;) {
    if (s.phase == State::kDone) return true;  // bytes after the last line are ignored
    int taken = std::max(len, 0);
    if (!jpeg_scan_src_append(&s.decomp, data, &taken)) return mFailure.Set("JPEG source buffer cannot be allocated");
    data += taken;
    len -= taken;
    bool progress = taken > 0;
    if (s.phase == State::kHeader) {
      if (!ReadHeader()) return false;
      if (s.phase == State::kStart) progress = true;
    }
    if (s.phase == State::kStart) {
      if (!Start()) return false;
      if (s.phase != State::kStart) progress = true;
    }
    if (s.phase == State::kLines && !DecodeLines(sink, &progress)) return false;
    if (len <= 0 || s.phase == State::kDone) return true;
    // The buffer is full and the decoder cannot go on with what it holds.
    if (!progress) return mFailure.Set("JPEG data needs more than the decoder's %d-byte buffer", kJpegSourceCapacity);
  }
}

int JpegSideDecoder::Flush(JpegLineSink& sink) {
  if (mFailure.Failed()) return 0;
  const int rest = int(mLinesDecoded % uint32_t(mRingLines));
  for (int k = 0; k < rest; ++k) sink.TakeLine(mState->rows[k], mLineSize);
  return rest;
}

bool JpegSideDecoder::CheckComplete(int knownLines) {
  if (mFailure.Failed()) return false;
  const State& s = *mState;
  if (s.phase == State::kDone) return true;
  if (s.phase == State::kHeader || s.phase == State::kStart)
    return mFailure.Set("JPEG data ended before the image began");
  if (knownLines >= 0 && mLinesDecoded >= uint32_t(knownLines)) return true;
  if (knownLines >= 0)
    return mFailure.Set("JPEG data ended after %u of the paper's %d lines", mLinesDecoded, knownLines);
  return mFailure.Set("JPEG data ended after %u of %u lines", unsigned(s.decomp.output_scanline),
              unsigned(s.decomp.output_height));
}

}  // namespace ZuzuvovOvav
