// ScanJob: the job's thread, the scanner search and check, the set-up commands and the results.
#include "ScanJob.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
#include <string>

#include "FujiCmds.h"
#include "HostClock.h"
#include "ScanDocumentTask.h"
#include "UsbLayer.h"

namespace ZuzuvovOvav {

std::atomic<bool> gStopNow{false};
std::atomic<ScanJob*> ScanJob::sActiveScanJob{nullptr};

namespace {

constexpr int kLampRetries = 20;

thread_local bool tThreadStartFailed = false;
// The job whose scan thread this is, if any. Asked instead of comparing
// with mThread, which the creating thread may still be storing while the
// scan thread already runs.
thread_local const ScanJob* tScanThreadJob = nullptr;

}  // namespace

bool ScanJob::StartScan(ScanParams* params) {
  if (sActiveScanJob) return false;
  // A started self-deleting job may be gone as soon as its constructor has
  // returned, so whether its thread started is passed back beside it.
  tThreadStartFailed = false;
  ScanJob* job = nullptr;
  try {
    job = new ScanJob(params, true, nullptr, nullptr);
  } catch (const char*) {
    return false;  // another job came first
  }
  if (tThreadStartFailed) {
    // Nobody else will ever delete a job whose thread never ran.
    delete job;
    return false;
  }
  return true;
}

ScanJob::ScanJob(ScanParams* params, bool deleteWhenDone, std::ostream* outStrm, std::ostream* errStrm)
    : mParams(params), mDeleteWhenDone(deleteWhenDone), mOutStrm(outStrm), mErrStrm(errStrm) {
  mResults.mStatus = -1;
  // One compare-and-set: of two threads creating a job at once, exactly one
  // becomes the active job.
  ScanJob* none = nullptr;
  if (!sActiveScanJob.compare_exchange_strong(none, this)) {
    const char* msg = "only 1 ZuzuvovOvav::ScanJob object at a time can exist";
    std::fprintf(stderr, "line %d of %s, throwing: \"%s\"\n", __LINE__, __FILE__, msg);
    throw msg;
  }
  int rc = pthread_create(&mThread, nullptr, &ScanJob::ScanProcEntry, this);
  if (rc != 0) {
    tThreadStartFailed = true;
    // Without a scan thread nothing completes the job: say so instead of
    // reporting success, and never join a thread that does not exist.
    mThreadJoined = true;
    mJobStatus = kScanErrorMessage;
    SetErr(std::string("Cannot start the scan thread (") + std::strerror(rc) + ").");
    std::ostream* strm = mErrStrm ? mErrStrm : mOutStrm;
    if (strm) *strm << mErrBuf << std::endl;
  }
}

ScanJob::~ScanJob() {
  if (tScanThreadJob == this) {
    if (!mThreadJoined) pthread_detach(pthread_self());
    mThreadJoined = true;
  } else {
    JoinOnce();
  }
  ScanJob* self = this;
  sActiveScanJob.compare_exchange_strong(self, nullptr);
}

void ScanJob::JoinOnce() {
  if (mThreadJoined) return;
  mThreadJoined = true;
  pthread_join(mThread, nullptr);
}

int ScanJob::WaitForScan() {
  if (tScanThreadJob != this) JoinOnce();
  return mJobStatus;
}

void* ScanJob::ScanProcEntry(void* arg) {
  ScanJob* job = static_cast<ScanJob*>(arg);
  tScanThreadJob = job;
  try {
    job->Scan();
  } catch (...) {
    // Out of memory, or a thread primitive that failed: the job ends with
    // a text and its caller still hears of it, instead of the process
    // ending on an exception nobody catches.
    job->FailAfterException(std::current_exception());
  }
  if (job->mDeleteWhenDone) delete job;
  tScanThreadJob = nullptr;
  return nullptr;
}

void ScanJob::FailAfterException(std::exception_ptr error) {
  if (mJobStatus == 0) mJobStatus = kScanErrorMessage;
  // The text too may find no memory: nothing of this may leave the thread.
  try {
    std::string text;
    try {
      std::rethrow_exception(error);
    } catch (const std::bad_alloc&) {
      text = "The scan engine ran out of memory.";
    } catch (const std::exception& e) {
      text = std::string("The scan engine failed: ") + e.what() + ".";
    } catch (const char* what) {
      text = std::string("The scan engine failed: ") + what + ".";
    } catch (...) {
      text = "The scan engine failed.";
    }
    std::ostream* strm = mErrStrm ? mErrStrm : mOutStrm;
    if (strm) *strm << text << std::endl;
    if (mCompleted) return;
    mCompleted = true;
    if (!mResults.mErrorMsg.empty()) mResults.mErrorMsg += " ";
    mResults.mErrorMsg += text;
    mResults.mStatus = mJobStatus;
    mResults.mFailedSheet = mFailedSheet;
    mResults.mEnd = mScannerGone ? kScanEndScannerGone : kScanEndFailed;
    if (mParams->mScanCompleteFunc) mParams->mScanCompleteFunc(&mResults);
  } catch (...) {
    // Nothing more can be reported; the status stays for WaitForScan.
  }
}

void ScanJob::SetErr(const std::string& text) { mErrBuf = text.substr(0, kMaxErrorText - 1); }

void ScanJob::AppendErr(const std::string& text) { SetErr(mErrBuf.empty() ? text : mErrBuf + " " + text); }

void ScanJob::CommandFailed(const CommandOutcome& outcome, const std::string& prefix) {
  SetErr(prefix + outcome.Text());
  const auto code = quirel::usb::IOReturn(outcome.Code());
  if (outcome.TransportFailed() && (code == quirel::usb::kIOReturnNoDevice || code == quirel::usb::kIOReturnNotResponding))
    mScannerGone = true;
}

bool ScanJob::Succeeded(const CommandOutcome& outcome) {
  if (outcome.Good()) return true;
  CommandFailed(outcome);
  return false;
}

void ScanJob::NoteCause(const CommandOutcome& outcome) {
  if (outcome.NamesCause()) CommandFailed(outcome);
}

void ScanJob::Scan() {
  Device device;

  // The worker queues that assemble and write the pages are started before
  // the scanner is touched: a job that could not write what it scans must
  // not feed paper.
  std::string engineError;
  const bool engineReady = StartEngineQueues(&engineError);
  if (!engineReady) {
    SetErr(engineError);
    mJobStatus = kScanErrorMessage;
  }

  bool found = false;
  for (int attempt = 1; engineReady && attempt <= kFindScannerAttempts; ++attempt) {
    found = device.FindScanner(mParams->mLocation);
    if (StopRequested() || found) break;
    if (mOutStrm) {
      *mOutStrm << "No matching device found: " << device.GetErrMsg() << ": "
                << (attempt < kFindScannerAttempts ? "will try again" : "giving up") << std::endl;
    }
    if (attempt < kFindScannerAttempts) quirel::host::SleepMicros(FindScannerRetryMicros(attempt));
  }
  if (engineReady && !found && !StopRequested()) {
    SetErr("No matching device found.");
    mJobStatus = kScanNoScanner;
  }
  if (engineReady && StopRequested()) return;

  if (mJobStatus == 0) {
    if (mOutStrm) *mOutStrm << device.GetInfoMsg() << std::endl;
    if (!CheckScanner(device)) {
      mJobStatus = kScanCheckFailed;
    } else {
      if (mParams->mDtcVariation == 'd') mParams->mDtcVariation = device.BestDtcSupported();
      mParams->Adjust(device);
      ScanPages(device, *mParams);
      if (mOutStrm) {
        if (mResults.mTotalPages == 1)
          *mOutStrm << "1 page scanned" << std::endl;
        else if (mResults.mTotalPages >= 2)
          *mOutStrm << mResults.mTotalPages << " pages scanned" << std::endl;
      }
      if (!mErrBuf.empty() && mJobStatus == 0) mJobStatus = kScanErrorMessage;
    }
  }

  if (!mResults.mErrorMsg.empty() && mJobStatus == 0) mJobStatus = kScanErrorMessage;
  if (!mResults.mErrorMsg.empty()) mResults.mErrorMsg += " ";
  mResults.mErrorMsg += mErrBuf;
  if (!mResults.mErrorMsg.empty()) {
    std::ostream* strm = mErrStrm ? mErrStrm : mOutStrm;
    if (strm) *strm << mResults.mErrorMsg << std::endl;
  }

  mResults.mFileRefs.resize(mResults.mFilePaths.size());
  for (size_t i = 0; i < mResults.mFilePaths.size(); ++i) {
    int r = quirel::host::MakeFileRef(mResults.mFilePaths[i], &mResults.mFileRefs[i]);
    if (r != 0) {
      mJobStatus = kScanFileError;
      char text[kMaxErrorText];
      std::snprintf(text, sizeof text, "%sError (%d) getting FSRef to output file path '%s'.",
                    mResults.mErrorMsg.empty() ? "" : " ", r, mResults.mFilePaths[i].c_str());
      mResults.mErrorMsg += text;
    }
  }

  mResults.mStatus = mJobStatus;
  mResults.mFailedSheet = mFailedSheet;
  mResults.mEnd = mScannerGone       ? kScanEndScannerGone
                  : mJobStatus != 0 ? kScanEndFailed
                  : mStopped        ? kScanEndStopped
                                    : kScanEndCompleted;
  mCompleted = true;
  if (mParams->mScanCompleteFunc) mParams->mScanCompleteFunc(&mResults);
}

bool ScanJob::CheckScanner(Device& device) {
  Cmd_Reserve reserve(device);
  Cmd_ModeSelect_ResetAll resetAll(device);
  Cmd_InquiryStd inquiry(device);
  Cmd_InquiryEvpd evpd(device);
  Cmd_TestUnitReady tur(device);
  Cmd_RequestSense sense(device);
  Cmd_Release release(device);

  // Of the first four only the transport is examined: a scanner that
  // refuses them may still pass the readiness test.
  Command* checks[] = {&reserve, &resetAll, &inquiry, &evpd, &tur};
  for (Command* cmd : checks) {
    if (CommandOutcome sent = SendCommand(*cmd); sent.TransportFailed()) {
      CommandFailed(sent);
      release.SendToScanner();
      return false;
    }
  }
  if (tur.mResult.mStatus != kScsiGood) {
    if (CommandOutcome sent = SendCommand(sense); sent.TransportFailed()) {
      CommandFailed(sent);
      release.SendToScanner();
      return false;
    }
    SetErr(tur.mSenseMsg);
    return false;
  }
  return true;
}

void ScanJob::ScanPages(Device& device, ScanParams& p) {
  // Sends one set-up command; false (with the text in mErrBuf) when it failed.
  auto send = [&](Command& cmd) { return Succeeded(SendCommand(cmd)); };

  Cmd_ScannerControl source(device, p.mUseFlatbed ? Cmd_ScannerControl::kSelectFlatbed
                                                  : Cmd_ScannerControl::kSelectFeeder);
  if (!send(source)) return;

  {
    // While the lamp warms up the scanner answers "not ready"; a stop
    // request ends the wait (no paper has moved).
    Cmd_ScannerControl lamp(device, Cmd_ScannerControl::kLampReadyCheck);
    CommandOutcome sent = SendCommand(lamp);
    for (int retry = 0; retry < kLampRetries && sent.ScannerFailed() && IsUnitNotReady(lamp.mResult); ++retry) {
      if (StopRequested()) break;
      if (retry == 1 && mOutStrm)
        *mOutStrm << "Waiting for the scanner's lamp to warm up (up to " << kLampRetries << " s)..." << std::endl;
      quirel::host::SleepMicros(1000000);
      if (StopRequested()) break;
      sent = SendCommand(lamp);
    }
    if (StopRequested()) {
      mStopped = true;
      return;
    }
    if (!Succeeded(sent)) return;
  }

  if (device.NeedsCounterReset()) {
    Cmd_ModeSelect_ResetCounter cmd(device);
    if (!send(cmd)) return;
  }
  if (device.NeedToSpecifyPrepick()) {
    Cmd_ModeSelect_Prepick cmd(device, kPrepickDefault);
    if (!send(cmd)) return;
  }
  if (device.NeedToSpecifyBuffering()) {
    Cmd_ModeSelect_BufferedScan cmd(device, kBufferedScanOn);
    if (!send(cmd)) return;
  }
  if (device.ImplementsLengthDetection()) {
    Cmd_ModeSelect_AutoLength cmd(device, p.mDetectLength);
    if (!send(cmd)) return;
  }
  if (!device.UsePixReadSize()) {
    Cmd_ModeSelect_AutoColor cmd(device, false);
    if (!send(cmd)) return;
  }
  if (device.RequiresLut() || p.mTurbo) {
    Cmd_SendLut cmd(device, p.mTurbo ? Cmd_SendLut::kLutSharp : Cmd_SendLut::kLutNormal);
    if (!send(cmd)) return;
  }
  {
    bool canContinue = device.CanContinueAfterDouble();
    Cmd_ModeSelect_DoubleFeedOptions cmd(device, p.mDoubleByThickness && (canContinue || !p.mAllowDoubles),
                                         p.mDoubleByLength, canContinue && p.mAllowDoubles);
    if (!send(cmd)) return;
  }
  {
    Cmd_WdwRec window(p);
    Cmd_SetWindow cmd(device, &window, p.mDuplex ? &window : nullptr);
    if (!send(cmd)) return;
  }
  if (device.UsePixReadSize()) {
    Cmd_ReadPixelSize cmd(device);
    if (!send(cmd)) return;
    p.Adjust(cmd.mPixelWidth, cmd.mPixelLength);
  }
  switch (p.mImageType) {
    case kImageTypeColor:
      p.mBytesPerPage = p.mXPixelCount * p.mYPixelCount * 3;
      break;
    case kImageTypeGray:
      p.mBytesPerPage = p.mXPixelCount * p.mYPixelCount;
      break;
    case kImageTypeLineArt:
      p.mBytesPerPage = (p.mXPixelCount + 7) / 8 * p.mYPixelCount;
      break;
    default:
      p.mBytesPerPage = 0xFFFFFFFF;
  }
  if (StopRequested()) {
    mStopped = true;
    return;
  }
  ScanPagesTilDone(device, p);
  Cmd_Release release(device);
  release.SendToScanner();
}

}  // namespace ZuzuvovOvav
