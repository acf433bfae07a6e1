// The implementations behind ScanImage, one per kind of side (see
// ScanImageImpl.h), and the steps they share.
#include "ScanImageImpl.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "PageBufferCommon.h"

namespace ZuzuvovOvav {

// ------------------------------------------------------ implementation base

ScanImage_ImplBase::~ScanImage_ImplBase() = default;

uint32_t ScanImage_ImplBase::GetLineSize() const { return mImageInfo->mRowBytes; }

uint32_t ScanImage_ImplBase::GetActualLineCount() const { return mImageInfo->ValidLineCount(); }

void ScanImage_ImplBase::AppendBytes(const unsigned char* data, int len) {
  if (mFailure.Failed()) return;
  AppendBytesSelf(data, len);
  UpdateCurScanLen();
}

int ScanImage_ImplBase::GetCurScanLen() const { return mImageInfo->GetCurScanLen(); }

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
  if (mJpeg->Failed()) mFailure.Set("%s", mJpeg->ErrorText());
}

bool ScanImage_JpegImplBase::AppendJpeg(const unsigned char* data, int len) {
  if (!mJpeg) return false;
  if (!mJpeg->Append(data, len, *this)) mFailure.Set("%s", mJpeg->ErrorText());
  return true;
}

void ScanImage_JpegImplBase::FlushJpeg(int lines) {
  mPaperLines = lines;
  if (mJpeg && !Failed()) TraceRemainingLines(this, lines, mJpeg->Flush(*this));
}

bool ScanImage_JpegImplBase::JpegComplete() {
  if (!mJpeg || mCutShort || mJpeg->CheckComplete(mPaperLines)) return true;
  mFailure.Set("%s", mJpeg->ErrorText());
  return false;
}

bool ScanImage_JpegImplBase::EndCutShort() {
  if (!mJpeg || Failed()) return true;
  mCutShort = true;
  if (mJpeg->LinesDecoded() == 0) return false;
  TraceRemainingLines(this, -1, mJpeg->Flush(*this));
  return true;
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
    mFailure.Set("colour data in order %d and layout %d is not supported", int(order), int(planar));
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

// The threshold is taken from the lines that arrived, as at the paper's end.
bool ScanImage_Impl1Turbo::EndCutShort() {
  const bool any = ScanImage_JpegImplBase::EndCutShort();
  mStat->Flush();
  return any;
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

}  // namespace ZuzuvovOvav
