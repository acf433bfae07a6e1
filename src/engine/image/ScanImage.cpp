#include "ScanImage.h"

#include <algorithm>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>

// jpeglib.h needs FILE and size_t declared first.
#include <jerror.h>
#include <jpeglib.h>

#include "PageBufferCommon.h"

// ------------------------------------------------------------ the JPEG source

namespace {

struct ScanSource {
  jpeg_source_mgr pub;  // first, so that the library's pointer is ours
  JOCTET* buffer;
  int capacity;
  int pendingSkip;
};

ScanSource* SourceOf(j_decompress_ptr cinfo) { return reinterpret_cast<ScanSource*>(cinfo->src); }

bool EnsureBuffer(ScanSource* src) {
  if (src->buffer) return true;
  src->buffer = static_cast<JOCTET*>(std::malloc(ZuzuvovOvav::kJpegSourceCapacity));
  if (!src->buffer) return false;
  src->capacity = ZuzuvovOvav::kJpegSourceCapacity;
  src->pub.next_input_byte = src->buffer;
  src->pub.bytes_in_buffer = 0;
  src->pendingSkip = 0;
  return true;
}

extern "C" void ScanInitSource(j_decompress_ptr cinfo) { EnsureBuffer(SourceOf(cinfo)); }

// Suspends the library: the data comes with the next chunk.
extern "C" boolean ScanFillInputBuffer(j_decompress_ptr) { return FALSE; }

extern "C" void ScanSkipInputData(j_decompress_ptr cinfo, long count) {
  if (count <= 0) return;
  ScanSource* src = SourceOf(cinfo);
  const size_t now = std::min(size_t(count), src->pub.bytes_in_buffer);
  src->pub.next_input_byte += now;
  src->pub.bytes_in_buffer -= now;
  // What is not here yet is dropped from the bytes that arrive next.
  const long rest = count - long(now);
  src->pendingSkip = rest > INT32_MAX - src->pendingSkip ? INT32_MAX : src->pendingSkip + int(rest);
}

extern "C" void ScanTermSource(j_decompress_ptr cinfo) {
  ScanSource* src = SourceOf(cinfo);
  if (!src) return;
  std::free(src->buffer);
  std::free(src);
  cinfo->src = nullptr;
}

}  // namespace

extern "C" jpeg_source_mgr* jpeg_scan_src(j_decompress_ptr cinfo) {
  // Another kind of source (one of the library's own) is replaced, not
  // taken for ours.
  ScanSource* src = cinfo->src && cinfo->src->init_source == ScanInitSource ? SourceOf(cinfo) : nullptr;
  if (!src) {
    src = static_cast<ScanSource*>(std::calloc(1, sizeof(ScanSource)));
    if (!src) return nullptr;
    cinfo->src = &src->pub;
  } else {
    std::free(src->buffer);
  }
  src->pub.init_source = ScanInitSource;
  src->pub.fill_input_buffer = ScanFillInputBuffer;
  src->pub.skip_input_data = ScanSkipInputData;
  src->pub.resync_to_restart = jpeg_resync_to_restart;
  src->pub.term_source = ScanTermSource;
  src->buffer = nullptr;
  src->capacity = 0;
  src->pendingSkip = 0;
  src->pub.next_input_byte = nullptr;
  src->pub.bytes_in_buffer = 0;
  return &src->pub;
}

extern "C" unsigned char* jpeg_scan_src_append(j_decompress_ptr cinfo, const unsigned char* data, int* len) {
  ScanSource* src = SourceOf(cinfo);
  const int given = *len;
  *len = 0;
  if (!src || !EnsureBuffer(src)) return nullptr;
  // The library resumes from the unread bytes; keep them at the front.
  const size_t unread = src->pub.bytes_in_buffer;
  if (unread && src->pub.next_input_byte != src->buffer) std::memmove(src->buffer, src->pub.next_input_byte, unread);
  src->pub.next_input_byte = src->buffer;
  if (!data || given <= 0) return src->buffer;
  const int skipped = std::min(src->pendingSkip, given);
  src->pendingSkip -= skipped;
  const int copied = int(std::min(size_t(given - skipped), size_t(src->capacity) - unread));
  std::memcpy(src->buffer + unread, data + skipped, size_t(copied));
  src->pub.bytes_in_buffer = unread + size_t(copied);
  *len = skipped + copied;
  return src->buffer;
}

namespace ZuzuvovOvav {

// ------------------------------------------------------------- the decoder

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
  enum Phase { kHeader, kStart, kLines, kDone, kBroken } phase = kHeader;
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
    Fail("JPEG decoder cannot be set up: %s", s.err.message);
    return;
  }
  s.created = true;
  if (!jpeg_scan_src(&s.decomp)) {
    Fail("JPEG source cannot be allocated");
    return;
  }
  const size_t ringBytes = size_t(std::max(lineSize, 0)) * size_t(ringLines);
  s.ring = static_cast<unsigned char*>(std::malloc(ringBytes ? ringBytes : 1));
  s.rows = static_cast<JSAMPROW*>(std::malloc(sizeof(JSAMPROW) * size_t(ringLines)));
  if (!s.ring || !s.rows) {
    Fail("not enough memory for %d decoded JPEG lines of %d bytes", ringLines, lineSize);
    return;
  }
  for (int i = 0; i < ringLines; ++i) s.rows[i] = s.ring + size_t(i) * size_t(std::max(lineSize, 0));
}

JpegSideDecoder::~JpegSideDecoder() {
  State& s = *mState;
  if (s.created) {
    if (s.phase == State::kLines || s.phase == State::kDone || s.phase == State::kBroken)
      GuardedAbort(&s.decomp, &s.err);
    if (s.decomp.src) (*s.decomp.src->term_source)(&s.decomp);
    jpeg_destroy_decompress(&s.decomp);
  }
  std::free(s.ring);
  std::free(s.rows);
}

bool JpegSideDecoder::Fail(const char* format, ...) {
  if (!mFailed) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(mErrorText, sizeof mErrorText, format, args);
    va_end(args);
    mFailed = true;
  }
  mState->phase = State::kBroken;
  return false;
}

bool JpegSideDecoder::ReadHeader() {
  State& s = *mState;
  const int r = GuardedReadHeader(&s.decomp, &s.err);
  if (r < 0) return Fail("JPEG decoding failed: %s", s.err.message);
  if (r == JPEG_SUSPENDED) return true;
  const J_COLOR_SPACE in = s.decomp.jpeg_color_space;
  switch (mOutput) {
    case Output::kInvertedGray:
      // Inverted gray is defined for gray and YCbCr streams only.
      if (in != JCS_GRAYSCALE && in != JCS_YCbCr) return Fail("JPEG decoding failed: Unsupported color conversion request");
      s.decomp.out_color_space = JCS_GRAYSCALE;
      mInvert = true;
      break;
    case Output::kInvertedRGB:
      if (in != JCS_GRAYSCALE && in != JCS_YCbCr && in != JCS_RGB)
        return Fail("JPEG decoding failed: Unsupported color conversion request");
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
      return Fail("JPEG interleaved image width %u does not split into two sides of whole blocks",
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
  if (r < 0) return Fail("JPEG decoding failed: %s", s.err.message);
  if (r == 0) return true;  // suspended
  s.phase = State::kLines;
  const long long decodedLine = (long long)s.decomp.output_width * s.decomp.output_components;
  if (decodedLine != mLineSize)
    return Fail("JPEG image lines are %u pixels of %d bytes, the page expects %d bytes a line",
                unsigned(s.decomp.output_width), s.decomp.output_components, mLineSize);
  if (s.decomp.output_scanline >= s.decomp.output_height) s.phase = State::kDone;
  return true;
}

bool JpegSideDecoder::DecodeLines(JpegLineSink& sink, bool* progress) {
  State& s = *mState;
  while (s.decomp.output_scanline < s.decomp.output_height) {
    const int slot = int(mLinesDecoded % uint32_t(mRingLines));
    const int n = GuardedReadLines(&s.decomp, &s.err, s.rows + slot, mRingLines - slot);
    if (n < 0) return Fail("JPEG decoding failed after %u lines: %s", mLinesDecoded, s.err.message);
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
  if (mFailed) return false;
  for (;;) {
    if (s.phase == State::kDone) return true;  // bytes after the last line are ignored
    int taken = std::max(len, 0);
    if (!jpeg_scan_src_append(&s.decomp, data, &taken)) return Fail("JPEG source buffer cannot be allocated");
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
    if (!progress) return Fail("JPEG data needs more than the decoder's %d-byte buffer", kJpegSourceCapacity);
  }
}

int JpegSideDecoder::Flush(JpegLineSink& sink) {
  if (mFailed) return 0;
  const int rest = int(mLinesDecoded % uint32_t(mRingLines));
  for (int k = 0; k < rest; ++k) sink.TakeLine(mState->rows[k], mLineSize);
  return rest;
}

bool JpegSideDecoder::CheckComplete(int knownLines) {
  if (mFailed) return false;
  const State& s = *mState;
  if (s.phase == State::kDone) return true;
  if (s.phase == State::kHeader || s.phase == State::kStart)
    return Fail("JPEG data ended before the image began");
  if (knownLines >= 0 && mLinesDecoded >= uint32_t(knownLines)) return true;
  if (knownLines >= 0)
    return Fail("JPEG data ended after %u of the paper's %d lines", mLinesDecoded, knownLines);
  return Fail("JPEG data ended after %u of %u lines", unsigned(s.decomp.output_scanline),
              unsigned(s.decomp.output_height));
}

// ------------------------------------------------------ implementation base

ScanImage_ImplBase::~ScanImage_ImplBase() = default;

uint32_t ScanImage_ImplBase::GetLineSize() const { return mImageInfo->mRowBytes; }

uint32_t ScanImage_ImplBase::GetActualLineCount() const { return mImageInfo->ValidLineCount(); }

void ScanImage_ImplBase::AppendBytes(const unsigned char* data, int len) {
  if (mFailed) return;
  AppendBytesSelf(data, len);
  UpdateCurScanLen();
}

int ScanImage_ImplBase::GetCurScanLen() const { return mImageInfo->GetCurScanLen(); }

void ScanImage_ImplBase::Fail(const char* format, ...) {
  if (mFailed) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(mErrorText, sizeof mErrorText, format, args);
  va_end(args);
  mFailed = true;
}

namespace {

void TraceRemainingLines(const void* impl, int lines, int appended) {
  if (!gVerbose) return;
  std::clog << "img impl 0x" << std::hex << reinterpret_cast<uintptr_t>(impl) << std::dec << " paperlen set ("
            << lines << "), remaining lines appended to buf: " << appended << "\n";
}

template <class Buf>
void AppendWholeLine(Buf& buf, const unsigned char* line, int lineSize) {
  AppendLinesOneByOne(buf, line, lineSize, 1);
}

// Moves the final pels of one line-art stage into the next as far as that
// takes them, calling after() once for each run taken; true when any moved.
template <class From, class To, class After>
bool MoveRuns(From& from, To& to, After after) {
  bool moved = false;
  for (PelRun run = from.ReadPels(); run.count > 0; run = from.ReadPels()) {
    const int taken = to.AppendPels(run.pels, run.count);
    if (taken <= 0) break;
    from.ReleasePels(taken);
    moved = true;
    after();
  }
  return moved;
}

// Feeds a chunk of line art through the expander; drain() moves what the
// expander made to the later stages and says whether anything moved.
template <class Drain>
void FeedExpander(Buf_Expand1& expand, const unsigned char* data, int len, Drain drain) {
  while (len > 0) {
    const int took = expand.AppendBytes(data, len);
    // Neither stage can move: the rest of the chunk has nowhere to go.
    if (!drain() && took <= 0) break;
    data += took;
    len -= took;
  }
}

}  // namespace

// ------------------------------------------------------- JPEG sides' base

void ScanImage_JpegImplBase::StartJpeg(int ringLines, int lineSize, JpegSideDecoder::Output output) {
  if (!mImageInfo->mParams.mWillUseJpeg) return;
  mJpeg = std::make_unique<JpegSideDecoder>(ringLines, lineSize, output, mImageInfo->mParams.mJpegInterleave);
  if (mJpeg->Failed()) Fail("%s", mJpeg->ErrorText());
}

bool ScanImage_JpegImplBase::AppendJpeg(const unsigned char* data, int len) {
  if (!mJpeg) return false;
  if (!mJpeg->Append(data, len, *this)) Fail("%s", mJpeg->ErrorText());
  return true;
}

void ScanImage_JpegImplBase::FlushJpeg(int lines) {
  mPaperLines = lines;
  if (mJpeg && !Failed()) TraceRemainingLines(this, lines, mJpeg->Flush(*this));
}

bool ScanImage_JpegImplBase::JpegComplete() {
  if (!mJpeg || mJpeg->CheckComplete(mPaperLines)) return true;
  Fail("%s", mJpeg->ErrorText());
  return false;
}

// ------------------------------------------------------------ line art

ScanImage_Impl1Plain::ScanImage_Impl1Plain(ImageInfo* info)
    : ScanImage_ImplBase(info), mExpand(info->mWidth), mPack(info) {}

void ScanImage_Impl1Plain::AppendBytesSelf(const unsigned char* data, int len) {
  FeedExpander(mExpand, data, len, [this] { return MoveRuns(mExpand, mPack, [] {}); });
}

void ScanImage_Impl1Plain::UpdateCurScanLen() { mImageInfo->SetCurScanLen(mPack.GetCurScanLen()); }

void ScanImage_Impl1Plain::SetScanLen(int lines) { mPack.SetScanLen(lines); }

void ScanImage_Impl1Plain::PostProcess() { mPack.PostProcess(); }

// A side turned by 90 degrees stores the scanner's lines as columns: the
// despeckle neighbourhoods must follow the scanner's lines, which are then
// mHeight pels long.
ScanImage_Impl1Despeckle::ScanImage_Impl1Despeckle(ImageInfo* info)
    : ScanImage_ImplBase(info),
      mExpand(info->mWidth),
      mConvolve(ScannerLineLength(*info), ScannerLineCapacity(*info)),
      mPack(info) {}

bool ScanImage_Impl1Despeckle::DrainConvolver() { return MoveRuns(mConvolve, mPack, [] {}); }

void ScanImage_Impl1Despeckle::AppendBytesSelf(const unsigned char* data, int len) {
  FeedExpander(mExpand, data, len, [this] { return MoveRuns(mExpand, mConvolve, [this] { DrainConvolver(); }); });
}

void ScanImage_Impl1Despeckle::UpdateCurScanLen() { mImageInfo->SetCurScanLen(mPack.GetCurScanLen()); }

void ScanImage_Impl1Despeckle::SetScanLen(int lines) {
  // The last row becomes final only now: the row below the page is white.
  DrainConvolver();
  for (int guard = 0; guard < 4 && !mConvolve.Finish(); ++guard) DrainConvolver();
  DrainConvolver();
  mPack.SetScanLen(lines);
}

void ScanImage_Impl1Despeckle::PostProcess() { mPack.PostProcess(); }

// ------------------------------------------------------------------- gray

ScanImage_Impl8::ScanImage_Impl8(ImageInfo* info) : ScanImage_JpegImplBase(info), mBuf(info) {
  if (gVerbose)
    std::clog << "new image impl 0x" << std::hex << reinterpret_cast<uintptr_t>(this) << " buf: "
              << reinterpret_cast<uintptr_t>(&mBuf) << std::dec << "\n";
  StartJpeg(64, ScannerLineLength(*info), JpegSideDecoder::Output::kInvertedGray);
}

void ScanImage_Impl8::TakeBlock(const unsigned char* lines, int lineSize) { mBuf.Append64Lines(lines, lineSize); }

void ScanImage_Impl8::TakeLine(const unsigned char* line, int lineSize) { AppendWholeLine(mBuf, line, lineSize); }

void ScanImage_Impl8::AppendBytesSelf(const unsigned char* data, int len) {
  if (AppendJpeg(data, len)) return;
  int took;
  while (len > 0 && (took = mBuf.AppendPels(data, len)) > 0) data += took, len -= took;
}

void ScanImage_Impl8::UpdateCurScanLen() { mImageInfo->SetCurScanLen(mBuf.GetCurScanLen()); }

void ScanImage_Impl8::SetScanLen(int lines) {
  FlushJpeg(lines);
  mBuf.SetScanLen(lines);
}

void ScanImage_Impl8::PostProcess() {
  if (JpegComplete()) mBuf.PostProcess();
}

// ----------------------------------------------------------------- colour

ScanImage_Impl24::ScanImage_Impl24(ImageInfo* info, ColorOrderE order, ColorPlanarE planar)
    : ScanImage_JpegImplBase(info), mPlanar(planar) {
  if (order == kColorOrderRGB && planar == kColorPixelInterleaved)
    mBuf = std::make_unique<Buf_Input24PixelRGB>(info);
  else if (order == kColorOrderBGR && planar == kColorPixelInterleaved)
    mBuf = std::make_unique<Buf_Input24PixelBGR>(info);
  else if (order == kColorOrderRGB && planar == kColorLineInterleaved)
    mBuf = std::make_unique<Buf_Input24LineRGB>(info);
  if (!mBuf) {
    Fail("colour data in order %d and layout %d is not supported", int(order), int(planar));
    return;
  }
  StartJpeg(16, 3 * mBuf->LinePixels(), JpegSideDecoder::Output::kInvertedRGB);
}

void ScanImage_Impl24::TakeBlock(const unsigned char* lines, int lineSize) { mBuf->Append16Lines(lines, lineSize); }

void ScanImage_Impl24::TakeLine(const unsigned char* line, int lineSize) { AppendWholeLine(*mBuf, line, lineSize); }

void ScanImage_Impl24::AppendRaw(const unsigned char* data, int len) {
  const bool pixels = mPlanar == kColorPixelInterleaved;
  const int B = 3 * mBuf->LinePixels();
  if (B <= 0) return;
  // A chunk may end inside a pixel: complete the pixel from this chunk.
  if (mCarryLen > 0) {
    const int n = std::min(3 - mCarryLen, len);
    std::memcpy(mCarry + mCarryLen, data, size_t(n));
    mCarryLen += n;
    data += n;
    len -= n;
    if (mCarryLen < 3) return;
    mCarryLen = 0;
    if (mBuf->AppendPels(mCarry, 3) == 3) mLinePos = (mLinePos + 3) % B;
  }
  while (len > 0) {
    if (mLinePos == 0) {
      for (; len >= 16 * B; data += 16 * B, len -= 16 * B) mBuf->Append16Lines(data, B);
      if (len == 0) break;
    }
    const int offer = pixels ? len - len % 3 : len;
    const int took = offer > 0 ? mBuf->AppendPels(data, offer) : 0;
    if (took <= 0) break;
    mLinePos = (mLinePos + took) % B;
    data += took;
    len -= took;
  }
  if (pixels && len > 0 && len < 3) {
    std::memcpy(mCarry, data, size_t(len));
    mCarryLen = len;
  }
}

void ScanImage_Impl24::AppendBytesSelf(const unsigned char* data, int len) {
  if (!mBuf || !data || len <= 0) return;
  if (!AppendJpeg(data, len)) AppendRaw(data, len);
}

void ScanImage_Impl24::UpdateCurScanLen() {
  if (mBuf) mImageInfo->SetCurScanLen(mBuf->GetCurScanLen());
}

void ScanImage_Impl24::SetScanLen(int lines) {
  if (!mBuf) return;
  FlushJpeg(lines);
  mBuf->SetScanLen(lines);
}

void ScanImage_Impl24::PostProcess() {
  if (mBuf && JpegComplete()) mBuf->PostProcess();
}

// ------------------------------------------------------------------ turbo

ScanImage_Impl1Turbo::ScanImage_Impl1Turbo(ImageInfo* info)
    : ScanImage_JpegImplBase(info),
      mBuf(std::make_unique<Buf_Input8>(info)),
      mStat(std::make_unique<Buf_CalcStaticThreshold8>(info)) {
  info->mImageType = kImageTypeGray;
  // A colour stream is decoded to plain luminance, which the colour tone
  // table then inverts.
  StartJpeg(64, ScannerLineLength(*info),
            info->mParams.mImageType == kImageTypeColor ? JpegSideDecoder::Output::kGray
                                                        : JpegSideDecoder::Output::kInvertedGray);
}

ScanImage_Impl1Turbo::~ScanImage_Impl1Turbo() = default;

void ScanImage_Impl1Turbo::TakeBlock(const unsigned char* lines, int lineSize) {
  mBuf->Append64Lines(lines, lineSize);
  mStat->AppendPels(lines, 64 * lineSize);
}

void ScanImage_Impl1Turbo::TakeLine(const unsigned char* line, int lineSize) {
  AppendWholeLine(*mBuf, line, lineSize);
  mStat->AppendPels(line, lineSize);
}

void ScanImage_Impl1Turbo::AppendBytesSelf(const unsigned char* data, int len) {
  if (AppendJpeg(data, len)) return;
  int took;
  while (len > 0 && (took = mBuf->AppendPels(data, len)) > 0) {
    mStat->AppendPels(data, took);
    data += took;
    len -= took;
  }
}

void ScanImage_Impl1Turbo::UpdateCurScanLen() { mImageInfo->SetCurScanLen(mBuf->GetCurScanLen()); }

void ScanImage_Impl1Turbo::SetScanLen(int lines) {
  FlushJpeg(lines);
  mBuf->SetScanLen(lines);
  mStat->Flush();
}

void ScanImage_Impl1Turbo::PostProcess() {
  if (!JpegComplete()) return;
  const int t = mStat->Calc(float(mImageInfo->mParams.mThresholdWeight));
  mImageInfo->mBwThreshold = uint8_t(t);
  if (gVerbose) std::clog << "using calculated threshold: " << t << "\n";
  // The scaled gray page is needed only while the 1-bit page is made.
  auto scaled = std::make_unique<Buf_Turbo8>(mImageInfo);
  mTurbo1 = std::make_unique<Buf_Turbo1>(mImageInfo);
  scaled.reset();
  mTurbo1->PostProcess();
}

// -------------------------------------------------------------- ScanImage

ScanImage::ScanImage(ScanParams params, SideSelectE side, ColorOrderE order, ColorPlanarE planar)
    : ImageInfo(params, side) {
  // Pages beyond these sizes cannot be addressed by the buffers' line and
  // sample counters; treat them like a failed allocation.
  constexpr uint32_t kMaxSide = 1u << 24;
  if (mWidth > kMaxSide || mHeight > kMaxSide) {
    mAllocFailed = true;
    mAllocFailedBytes = SIZE_MAX;
    CheckFailure();
    return;
  }
  try {
    if (mImageType == kImageTypeLineArt && mParams.mDespeckleFactor <= 0)
      mImpl = new ScanImage_Impl1Plain(this);
    else if (mImageType == kImageTypeLineArt)
      mImpl = new ScanImage_Impl1Despeckle(this);
    else if (mParams.mTurbo)
      mImpl = new ScanImage_Impl1Turbo(this);
    else if (mImageType == kImageTypeColor)
      mImpl = mParams.mWillUseJpeg ? new ScanImage_Impl24(this, kColorOrderRGB, kColorPixelInterleaved)
                                   : new ScanImage_Impl24(this, order, planar);
    else if (mImageType == kImageTypeGray)
      mImpl = new ScanImage_Impl8(this);
  } catch (const std::bad_alloc&) {
    Fail("not enough memory for the side's page buffers");
    return;
  }
  if (gVerbose)
    std::clog << "new image 0x" << std::hex << reinterpret_cast<uintptr_t>(this) << " impl: "
              << reinterpret_cast<uintptr_t>(mImpl) << std::dec << "\n";
  if (!mImpl) {
    char text[64];
    std::snprintf(text, sizeof text, "image type %d has no page buffer", int(mImageType));
    Fail(text);
    return;
  }
  CheckFailure();
}

ScanImage::~ScanImage() { delete mImpl; }

void ScanImage::Fail(const char* text) {
  if (mFailed) return;
  std::snprintf(mErrorText, sizeof mErrorText, "%s", text);
  mFailed = true;
}

void ScanImage::CheckFailure() {
  if (mFailed) return;
  if (mAllocFailed) {
    char text[128];
    if (mAllocFailedBytes == SIZE_MAX)
      std::snprintf(text, sizeof text, "page of %u x %u pixels is too large", unsigned(mWidth), unsigned(mHeight));
    else
      std::snprintf(text, sizeof text, "not enough memory for the page (%zu bytes)", mAllocFailedBytes);
    Fail(text);
  } else if (mImpl && mImpl->Failed()) {
    Fail(mImpl->GetErrorText());
  }
}

void ScanImage::AppendBytes(const unsigned char* data, int len) {
  if (mFailed || !mImpl) return;
  try {
    mImpl->AppendBytes(data, len);
  } catch (const std::bad_alloc&) {
    Fail("not enough memory while decoding the side");
  }
  CheckFailure();
}

void ScanImage::SetScanLen(int lines) {
  if (mFailed || !mImpl) return;
  mImpl->SetScanLen(lines);
  CheckFailure();
}

int ScanImage::GetCurScanLen() const { return mImpl ? mImpl->GetCurScanLen() : ImageInfo::GetCurScanLen(); }

void ScanImage::PostProcess() {
  if (mFailed || !mImpl || mPostProcessed) return;
  mPostProcessed = true;
  try {
    mImpl->PostProcess();
  } catch (const std::bad_alloc&) {
    Fail("not enough memory to finish the page");
  }
  CheckFailure();
}

}  // namespace ZuzuvovOvav
