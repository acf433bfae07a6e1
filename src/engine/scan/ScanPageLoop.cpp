// The page loop (ScanPageLoop.h): its steps, in the order they run.
#include "ScanPageLoop.h"

#include <algorithm>
#include <iostream>
#include <new>

#include "HiResTimer.h"
#include "HostClock.h"
#include "ScanDocumentTask.h"
#include "ScanJob.h"

namespace ZuzuvovOvav {

namespace {

constexpr int kJpegMaxRead = 65536;
constexpr int kControl9Tries = 25;
constexpr uint64_t kControl9PauseMicros = 200000;
constexpr uint64_t kReadCheckPauseMicros = 1000;
// Length detection by size reads asks after every eighth READ.
constexpr int kSizeReadEvery = 8;
// After a stop request, how long a sheet may go without data before the loop
// gives up on it: a scanner that answers "not ready" for ever must not keep
// a stopped job alive, while one that is merely slow between two chunks
// still gets its sheet finished.
constexpr double kStopWaitSeconds = 3.0;

double Now() { return HiResTimer::GetSeconds(); }

}  // namespace

void ScanJob::ScanPagesTilDone(Device& device, const ScanParams& p) {
  PageLoop loop(*this, device, p);
  try {
    loop.Run();
  } catch (const std::bad_alloc&) {
    loop.FinishAfterOutOfMemory();
  }
}

PageLoop::PageLoop(ScanJob& job, Device& device, const ScanParams& params)
    : mJob(job),
      mDevice(device),
      mParams(params),
      mReadChecks(device.ImplementsReadCheck()),
      mFlatbed(params.mUseFlatbed),
      mDuplex(params.mDuplex),
      mJpeg(params.mWillUseJpeg),
      mInterleaved(params.mJpegInterleave),
      mOneStream(!params.mDuplex || params.mJpegInterleave),
      mMaxRead(device.GetMaxReadSize()),
      mLoad(device, Cmd_ObjectPosition::kLoad),
      mScan(device, params),
      mLastData(Now()) {
  mFront.mWindow = kWindowFront;
  // Interleaved data brings both sides through the front window.
  mBack.mWindow = mInterleaved ? kWindowFront : kWindowBack;
}

PageLoop::~PageLoop() = default;

void PageLoop::Run() {
  if (!StartScan()) return;
  mDoc = std::make_unique<DocumentTask>(mParams, ColorOrderE(mDevice.BestColorOrder()),
                                        ColorPlanarE(mDevice.ColorInterleave()));
  if (gVerbose)
    std::clog << "dochecks: " << mReadChecks << ", flatbed: " << mFlatbed << ", duplex: " << mDuplex
              << ", jpeg: " << mJpeg << ", interleave: " << mInterleaved << std::endl;

  while (mMoreSheets) {
    OpenSheet();
    const SheetEndE end = ReadSheet();
    // A failed READ ends the whole loop at once: no end-of-page sequence.
    // The sides it left unfinished were cut short.
    // A sheet whose data was lost is not written as a page with a white rest.
    if (end == SheetEndE::kReadFailed || end == SheetEndE::kDataLost) {
      mMoreSheets = false;
      if (end == SheetEndE::kDataLost) {
        DiscardSheet();
      } else {
        mFront.mCut = Unfinished(mFront);
        mBack.mCut = Unfinished(mBack);
        CloseSheet();
      }
      break;
    }
    if (end == SheetEndE::kAbandoned) {
      AbandonSheet();
      break;
    }
    // The flatbed holds one sheet.
    if (mFlatbed) {
      mMoreSheets = false;
      mFeedEnded = true;
    } else {
      EndOfPage();
    }
    // The scanner is told before the last sheet closes: its answer tells
    // whether that sheet was the last in the feeder.
    if (mInterrupted && !mMoreSheets && CleanUpAfterStop()) mFeedEnded = true;
    CloseSheet();
  }
  if (mInterrupted && !mReadFailed && !mCleanedUp) CleanUpAfterStop();
  Finish();
}

// Loads the first sheet (feeder only) and starts the scan. In both failures
// nothing was written and the results stay as constructed.
bool PageLoop::StartScan() {
  if (!mFlatbed) {
    if (CommandOutcome loaded = SendCommand(mLoad); !loaded.Good()) {
      mJob.CommandFailed(loaded, "Failed to load page: ");
      if (IsPaperFault(loaded, mLoad.mResult)) mJob.mFailedSheet = 1;
      return false;
    }
  }
  return ScanSheet();
}

// A load answered with a feeder error other than the empty hopper (the
// cover open, a jam at the pick-up).
bool PageLoop::IsPaperFault(const CommandOutcome& loaded, const Result& r) {
  return loaded.ScannerFailed() && IsFeederError(r) && !IsHopperEmpty(r);
}

// SCAN for the sheet just loaded (the next after mSheet). A failure is the
// job's, with the scanner's text, or with one of its own when the scanner
// gave none (busy).
bool PageLoop::ScanSheet() {
  const CommandOutcome scanned = SendCommand(mScan);
  if (scanned.Good()) return true;
  mJob.mFailedSheet = mSheet + 1;
  if (*scanned.Text())
    mJob.CommandFailed(scanned);
  else
    mJob.SetErr("The scanner did not start scanning the sheet.");
  return false;
}

void PageLoop::OpenSheet() {
  ++mSheet;
  mDoc->OpenPage();
  const uint32_t sideBytes = mJpeg ? 0x7FFFFFFF : mParams.mBytesPerPage;
  const bool separateBack = mDuplex && !mInterleaved;
  mFront.mRemaining = sideBytes;
  mFront.mEnded = false;
  mFront.mCheck = true;
  mBack.mRemaining = separateBack ? sideBytes : 0;
  mBack.mEnded = !separateBack;
  mBack.mCheck = separateBack;
  mFront.mGot = mBack.mGot = 0;
  mFront.mCut = mBack.mCut = false;
  mSide = kSideFront;
  mPaperLength = -1;
  mReadCount = 0;
  mPaperErrorOnSheet = false;
  // mLastData cannot tell progress: a "not ready" answer sets it too.
  mLastProgress = Now();
}

// The read loop of one sheet, one READ (or none, while the data is not
// ready) per pass.
PageLoop::SheetEndE PageLoop::ReadSheet() {
  while (!BothEnded()) {
    ReadPass pass;
    const int readLen = ReadLength();
    if (readLen > 0 && DataReady(readLen) && !Read(readLen, &pass))
      return pass.mNoMemory ? SheetEndE::kDataLost : SheetEndE::kReadFailed;
    CheckEnds(pass);
    if (pass.mSent && !BothEnded()) JudgeReadStatus(pass);
    EndBackAfterError(pass);
    NextSide(pass);
    if (StopGivesUpSheet()) return SheetEndE::kAbandoned;
    WaitForData();
  }
  return SheetEndE::kRead;
}

// The next READ's length: what the side still expects, within the model's
// largest read; raw colour reads cut to whole pixels of both sample orders
// (a multiple of 6), other raw reads to an even count; JPEG reads at most
// 64 KiB.
int PageLoop::ReadLength() const {
  const uint32_t remaining = Side(mSide).mRemaining;
  int readLen = int(std::min(remaining, mMaxRead));
  if (!mJpeg) {
    if (mMaxRead < remaining) {
      if (mParams.mImageType == kImageTypeColor)
        readLen -= readLen % 6;
      else
        readLen &= ~1;
    }
  } else if (readLen > kJpegMaxRead) {
    readLen = kJpegMaxRead;
  }
  return readLen;
}

// READ IMAGE CHECK, when the model has it and the side asks for it: false
// when the data is not ready yet (the side keeps its check flag).
bool PageLoop::DataReady(int readLen) {
  if (!mReadChecks || !CheckFlag(mSide)) return true;
  Cmd_ReadImageCheck check(mDevice, Side(mSide).mWindow, readLen);
  check.SendToScanner();  // only the scanner's answer counts
  if (IsDataNotReady(check.mResult)) {
    mLastData = Now();
    return false;
  }
  quirel::host::SleepMicros(kReadCheckPauseMicros);
  return true;
}

// One READ with what follows from it: the end of the side, length detection
// by size reads and the hand-over of the data. False when the loop must end
// at once (a transport failure of the READ or a failed size read).
bool PageLoop::Read(int readLen, ReadPass* pass) {
  SideState& side = Side(mSide);
  Cmd_ReadImage read(mDevice, side.mWindow, readLen);
  const double start = Now();
  const CommandOutcome sent = SendCommand(read);
  mLastData = Now();
  mReadSeconds += mLastData - start;
  pass->mSent = true;
  CheckFlag(mSide) = false;
  pass->mResult = read.mResult;
  pass->mSenseMsg = read.mSenseMsg;
  if (sent.Good()) {
    const uint32_t got = read.mResult.mXferCount;
    side.mRemaining = got >= side.mRemaining ? 0 : side.mRemaining - got;
  }
  ++mReadCount;
  if (sent.TransportFailed()) {
    mJob.CommandFailed(sent);
    mReadFailed = true;
    pass->mNoMemory = sent.Code() == int(quirel::usb::kIOReturnNoMemory);
    return false;
  }
  if (IsEndOfSide(read.mResult)) {
    // The scanner tells the real size of what it sent.
    pass->mEndOfSide = true;
    Cmd_ReadPixelSize size(mDevice);
    if (!ReadPixelSize(&size)) return false;
    side.mRemaining = 0;
    side.mEnded = true;
    pass->mScanLenToSet = (mParams.mDetectLength && BothEnded()) ? int(size.mPaperLength) : -1;
  } else if (mParams.mDetectLength && mPaperLength < 0 && mDevice.LengthDetectUsesSizeRead() &&
             mReadCount % kSizeReadEvery == 0) {
    Cmd_ReadPixelSize size(mDevice);
    if (!ReadPixelSize(&size)) return false;
    if (size.mPaperLength < mParams.mBufHeightRaw) {
      mPaperLength = int(size.mPaperLength);
      if (gVerbose) std::clog << "checked paper len: " << mPaperLength << std::endl;
    }
  }
  // The chunk of the end-of-side READ is handed over although its status is 1.
  if (sent.Good() || pass->mEndOfSide) HandOver(&read);
  return true;
}

// A failed READ pixel size ends the loop like a failed READ.
bool PageLoop::ReadPixelSize(Cmd_ReadPixelSize* size) {
  if (mJob.Succeeded(SendCommand(*size))) return true;
  mReadFailed = true;
  return false;
}

void PageLoop::HandOver(Cmd_ReadImage* read) {
  const uint32_t got = read->mResult.mXferCount;
  mBytesRead += got;
  Side(mInterleaved ? kSideFront : mSide).mGot += got;
  if (got > 0) mLastProgress = mLastData;
  const bool eoi = mDoc->AppendBytes(mInterleaved ? kSideFront : mSide, read->AdoptRcvBytes(), int(got));
  if (gVerbose && eoi) std::clog << "end of image seen" << std::endl;
}

// The paper length reached, both sides ended, or both byte counts used up.
void PageLoop::CheckEnds(const ReadPass& pass) {
  int scanLen = pass.mScanLenToSet;
  SideState& side = Side(mSide);
  if (mPaperLength >= 0 && mPaperLength <= mDoc->GetCurScanLen()) {
    side.mEnded = true;
    side.mRemaining = 0;
    scanLen = mPaperLength;
    if (gVerbose) std::clog << "end of page detected by read of paper len" << std::endl;
  }
  if (BothEnded()) mDoc->SetScanLen(scanLen);
  if (mFront.mRemaining == 0 && mBack.mRemaining == 0 && !BothEnded()) {
    mDoc->SetScanLen(-1);
    mFront.mEnded = mBack.mEnded = true;
  }
}

// What the READ's status means for the sheet (not after the sheet ended).
void PageLoop::JudgeReadStatus(const ReadPass& pass) {
  const Result& r = pass.mResult;
  if (IsDataNotReady(r)) {
    CheckFlag(mSide) = true;
  } else if (r.mStatus == kScsiGood) {
    // data arrived; nothing to decide
  } else if (IsNoSenseCondition(r)) {
    if (IsEndOfMedium(r) && !pass.mEndOfSide) {
      mFront.mEnded = true;
      mFront.mRemaining = 0;
      mMoreSheets = false;
      mFeedEnded = !mInterrupted;
    }
  } else if (!pass.mEndOfSide) {
    mFront.mCut = mFront.mCut || Unfinished(mFront);
    mFront.mEnded = true;
    mFront.mRemaining = 0;
    mMoreSheets = false;
    if (IsPaperError(r)) {
      mJob.mJobStatus = kScanPageDiscarded;
      mJob.mFailedSheet = mSheet;
      mPaperErrorOnSheet = true;
    }
    if (r.mSenseKey != kSenseNone) mJob.SetErr(pass.mSenseMsg);
  }
}

// After a read error ended the front, the back of a sheet with separate
// windows still reads until its own end; a back that answers with an error
// of its own (no data, not "not ready", no end of side) ends too, so that a
// scanner that keeps failing cannot keep the loop spinning.
void PageLoop::EndBackAfterError(const ReadPass& pass) {
  const Result& r = pass.mResult;
  if (pass.mSent && mSide == kSideBack && !mMoreSheets && mDuplex && !mInterleaved && mFront.mEnded &&
      !mBack.mEnded && r.mStatus != kScsiGood && !IsDataNotReady(r) && !pass.mEndOfSide) {
    mBack.mCut = Unfinished(mBack);
    mBack.mEnded = true;
    mBack.mRemaining = 0;
  }
}

// Separate windows alternate one READ each, front first; one stream reads
// the front until it is used up. A side can also end without a READ in this
// pass (the paper length was reached while its data was not ready): then
// the other side is read next, or the loop would ask the ended side for
// nothing for ever.
void PageLoop::NextSide(const ReadPass& pass) {
  if (!pass.mSent && Side(mSide).mRemaining != 0) return;
  if (mSide == kSideBack || mOneStream)
    mSide = mFront.mRemaining != 0 ? kSideFront : kSideBack;
  else
    mSide = mBack.mRemaining != 0 ? kSideBack : kSideFront;
}

// A stop request while a side waits for data that does not come: the sheet
// is given up once it has had no data for kStopWaitSeconds since the
// request (or since its last data, when that came later).
bool PageLoop::StopGivesUpSheet() {
  if (BothEnded() || !mJob.StopRequested()) return false;
  const double now = Now();
  if (mStopSeenAt < 0) mStopSeenAt = now;
  return now - std::max(mLastProgress, mStopSeenAt) >= kStopWaitSeconds;
}

// Gives the scanner time while neither side, or the side read next, has
// data ready.
void PageLoop::WaitForData() {
  if (BothEnded()) return;
  const long long elapsed = (long long)((Now() - mLastData) * 1e6);
  if (elapsed < 0) AssertFailed(__LINE__, __FILE__, "elapsed >= 0");
  const bool backReadable = mDuplex && !mInterleaved && mReadChecks && !mBack.mCheck;
  const long long neither = mDevice.ReadDataNeitherSideDelayMicroSecs();
  const long long single = mDevice.ReadDataSingleSideDelayMicroSecs();
  if (mFront.mCheck && !backReadable && elapsed < neither)
    quirel::host::SleepMicros(uint64_t(neither - elapsed));
  else if (CheckFlag(mSide) && elapsed < single)
    quirel::host::SleepMicros(uint64_t(single - elapsed));
}

// A sheet given up after a stop request is incomplete: it is discarded and
// no further sheet is loaded. The job ends as any stopped job does (status
// 0 with the interrupt noted), the earlier pages written.
void PageLoop::AbandonSheet() {
  if (gVerbose) std::clog << "interrupt detected while waiting for data, sheet given up" << std::endl;
  if (mJob.mOutStrm)
    *mJob.mOutStrm << "Stop requested while the scanner was not ready; the sheet it held was not scanned."
                   << std::endl;
  if (!mInterrupted && mDevice.NeedToSpecifyPrepick()) SendControl(Cmd_ScannerControl::kControl13);
  mInterrupted = true;
  mMoreSheets = false;
  DiscardSheet();
}

void PageLoop::DiscardSheet() {
  mDoc->CloseSide(kSideFront, kCloseLastPage | kCloseDiscard);
  if (mDuplex) mDoc->CloseSide(kSideBack, kCloseLastPage | kCloseDiscard);
}

// The end-of-page sequence of the feeder.
void PageLoop::EndOfPage() {
  if (mDevice.CanContinueAfterDouble()) ReleaseSheet();
  CheckStop();
  if (mMoreSheets) LoadNextSheet();
}

// SCANNER CONTROL 9 until the scanner is done with the sheet, then its
// double-feed flag when double feeds are allowed.
void PageLoop::ReleaseSheet() {
  bool released = false;
  for (int i = 0; i < kControl9Tries; ++i) {
    Cmd_ScannerControl control(mDevice, Cmd_ScannerControl::kControl9);
    const CommandOutcome sent = SendCommand(control);
    if (sent.Good()) {
      released = true;
      break;
    }
    if (sent.ScannerFailed() && IsUnitNotReady(control.mResult)) {
      quirel::host::SleepMicros(kControl9PauseMicros);
      continue;
    }
    mJob.NoteCause(sent);
    break;
  }
  if (released && mParams.mAllowDoubles) {
    Cmd_GetHardwareStatus status(mDevice);
    status.SendToScanner();
    mDoubleFeeds += status.mDoubleFeed ? 1 : 0;
  }
}

// A stop request: with prepick the scanner is told and loading goes on until
// the hopper is empty (the request is not consulted again); without, no
// further sheet is loaded.
void PageLoop::CheckStop() {
  if (!mJob.StopRequested() || mInterrupted) return;
  if (gVerbose) std::clog << "interrupt detected, no longer loading & scanning" << std::endl;
  mInterrupted = true;
  if (mDevice.NeedToSpecifyPrepick())
    SendControl(Cmd_ScannerControl::kControl13);
  else
    mMoreSheets = false;
}

void PageLoop::LoadNextSheet() {
  if (gVerbose) std::clog << "loading next page" << std::endl;
  const CommandOutcome loaded = SendCommand(mLoad);
  // A sheet the scanner did not start scanning ends the feed: no page is
  // made for it, and the sheet before it is the last.
  if (loaded.Good()) {
    mMoreSheets = ScanSheet();
    return;
  }
  mMoreSheets = false;
  if (loaded.ScannerFailed() && IsHopperEmpty(mLoad.mResult)) {
    // After a stop on a model that prepicks, the scanner answers so once
    // it has delivered the sheet already picked, whatever is left.
    mFeedEnded = !mInterrupted;
    return;
  }
  mJob.NoteCause(loaded);
  if (loaded.ScannerFailed() && IsFeederError(mLoad.mResult)) mJob.mJobStatus = kScanPageDiscarded;
  if (IsPaperFault(loaded, mLoad.mResult)) mJob.mFailedSheet = mSheet + 1;
}

// Only a sheet whose own reading hit the paper error is discarded. A paper
// error when loading the next sheet (cover open, jam at the pick-up) still
// ends the job with status 6, but the sheet read before it was scanned
// whole and is written.
//
// A side that a failure ended before its data did is written as far as it
// came and counted as cut short, or is no page when nothing came. With
// interleaved data the front's state stands for both sides.
//
// Only the last sheet of a feed that ran to its end closes as the end of the
// feed (the writer may then drop its back as the job's last side): a sheet
// after which a failure or a stop ended the job is followed by sheets that
// were not scanned.
void PageLoop::CloseSheet() {
  const int options = (mMoreSheets ? 0 : kCloseLastPage) | (!mMoreSheets && mFeedEnded ? kCloseFeedEnd : 0) |
                      (mPaperErrorOnSheet ? kCloseDiscard : 0);
  auto cut = [](const SideState& side) { return !side.mCut ? 0 : side.mGot > 0 ? kCloseCutShort : kCloseDiscard; };
  mDoc->CloseSide(kSideFront, options | cut(mFront));
  if (mDuplex) mDoc->CloseSide(kSideBack, options | cut(mInterleaved ? mFront : mBack));
  // After a failed write the stop request makes the end-of-page sequence of
  // the sheet already loaded end the scan.
  if (mDoc->WriteFailed()) gStopNow.store(true);
}

// True when the load sent to clear the feeder found the hopper empty: no
// sheet was left unscanned.
bool PageLoop::CleanUpAfterStop() {
  mCleanedUp = true;
  SendControl(Cmd_ScannerControl::kControl4);
  if (mDevice.NeedToSpecifyPrepick()) return false;
  Cmd_ObjectPosition reload(mDevice, Cmd_ObjectPosition::kLoad);
  const bool empty = reload.SendToScanner() == 0 && IsHopperEmpty(reload.mResult);
  Cmd_ObjectPosition unload(mDevice, Cmd_ObjectPosition::kUnload);
  unload.SendToScanner();
  return empty;
}

void PageLoop::SendControl(Cmd_ScannerControl::ControlFuncE function) {
  Cmd_ScannerControl control(mDevice, function);
  control.SendToScanner();  // the result is not needed
}

// The pages that exist, in the job's results, also after a failed READ (the
// flush closes the current page as the last one).
void PageLoop::Finish() {
  mFinished = true;
  mJob.mResults = mDoc->Flush();
  mJob.mResults.mDoubleFeeds = mDoubleFeeds;
  // A stop after the feed ran to its end left no sheet unscanned.
  if (mInterrupted && !mFeedEnded) mJob.mStopped = true;
  if (mDoc->WriteFailed()) ReportWriteFailure();
  if (gVerbose)
    std::clog << mBytesRead << " image bytes read in " << mReadSeconds << " seconds, "
              << (mReadSeconds > 0 ? double(mBytesRead) / mReadSeconds / 1e6 : 0.0) << " mb per second avg"
              << std::endl;
}

// Like a failed READ: the sheet being read is not written, the pages before
// it are, and the job says why.
void PageLoop::FinishAfterOutOfMemory() {
  mReadFailed = true;
  mJob.AppendErr("Out of memory while scanning; the sheet being read was not written.");
  if (!mDoc || mFinished) return;
  DiscardSheet();
  Finish();
}

void PageLoop::ReportWriteFailure() {
  gStopNow.store(true);
  std::string text = mDoc->SideError();
  if (!text.empty()) {
    // A side that could not be assembled: the job ends with its reason.
    // When a READ failed first, the side is only the half-read sheet of
    // that failure: the READ stays the cause and the job keeps its status.
    if (!mReadFailed) mJob.mJobStatus = kScanWriteFailed;
  } else {
    const auto writerStatus = mJob.mResults.mStatus;
    const bool tooLarge = writerStatus == kScanSizeLimit;
    const bool diskFull = writerStatus == kScanDiskFull;
    // An output file that cannot be made or appended to keeps its own status.
    const bool fileError = writerStatus == kScanFileError;
    mJob.mJobStatus = tooLarge || diskFull || fileError ? int(writerStatus) : kScanWriteFailed;
    text = tooLarge   ? "Failed to write page, file too large."
           : diskFull ? "Failed to write page, disk full."
                      : "Failed to write page.";
    // Without a failed READ the write failure replaces any earlier text.
    if (!mReadFailed) {
      mJob.SetErr(text);
      return;
    }
  }
  // After any text already there (the READ that failed first is the first cause).
  mJob.AppendErr(text);
}

}  // namespace ZuzuvovOvav
