// ScanJob: one complete scan on a thread of its own.
//
// It finds the scanner,
// checks and reserves it, completes the caller's ScanParams for the model,
// sends the set-up commands and the scan window, runs the page loop, and at
// the end completes the job's ScanResults and hands them to the caller's
// mScanCompleteFunc, on the scan thread.
//
// Only one job may exist in a process at a time. A caller that waits for the
// job creates it with deleteWhenDone false, calls WaitForScan (or only the
// destructor, which joins) and deletes it; a job created with deleteWhenDone
// true deletes itself when its thread ends.
//
// Stopping: gStopNow, set by the front end's stop and by the page loop after
// a failed page write, is polled by the scan thread at defined points; a
// sheet whose data does not come is given up a few seconds after the
// request. The engine never clears it; a front end clears it before it
// starts a job.
//
// A job whose worker queues or scan thread cannot be started, or that runs
// out of memory, ends with status 4 and a text saying so.
#pragma once

#include <pthread.h>

#include <atomic>
#include <exception>
#include <ostream>
#include <string>

#include "FujiDevice.h"
#include "FujiScanParams.h"
#include "ScanResults.h"

namespace ZuzuvovOvav {

// The process-wide stop request (sequentially consistent accesses serve as
// the full memory barriers around it).
extern std::atomic<bool> gStopNow;

class CommandOutcome;

// Starts the document and compression queues when they are not running yet.
// False, with a text for the user in *error, when their threads cannot be
// started or their memory allocated. A scan job calls it (and a front end may, to learn early that it cannot scan) before it touches
// the scanner, so that the page and compression tasks never find a queue
// missing.
bool StartEngineQueues(std::string* error);

class ScanJob {
 public:
  // Creates a self-deleting job that reports only through the callbacks in
  // `params`; false when a job exists already.
  static bool StartScan(ScanParams* params);

  // Throws "only 1 ZuzuvovOvav::ScanJob object at a time can exist" when a
  // job exists already. Starts the scan thread and returns at once.
  ScanJob(ScanParams* params, bool deleteWhenDone, std::ostream* outStrm, std::ostream* errStrm);
  ~ScanJob();
  ScanJob(const ScanJob&) = delete;
  ScanJob& operator=(const ScanJob&) = delete;

  // Joins the scan thread (unless called on it) and returns the job status.
  int WaitForScan();

  static void* ScanProcEntry(void* job);

  // The job that exists now, or null. Atomic because a self-deleting job
  // clears it on its own scan thread while a caller may ask StartScan.
  static std::atomic<ScanJob*> sActiveScanJob;

 private:
  void Scan();
  bool CheckScanner(Device& device);
  void ScanPages(Device& device, ScanParams& p);
  void ScanPagesTilDone(Device& device, const ScanParams& p);
  friend class PageLoop;

  // Failures inside the scan layer have one form: the job's text in
  // mErrBuf (a std::string naming the cause, empty while there is none,
  // never longer than kMaxErrorText - 1 characters) beside mJobStatus with
  // the scan job status codes (FujiScanEnums.h). A command's failure arrives as a
  // CommandOutcome (FujiCmds.h), a side's as the document's side error, an
  // exception in FailAfterException; Scan() turns the text into the
  // results' mErrorMsg once, at the end.
  // Replaces the job's text.
  void SetErr(const std::string& text);
  // Adds a text after the job's text, a blank between (or sets it).
  void AppendErr(const std::string& text);
  // Sets the job's text to `prefix` and the failure's text, and notes a
  // scanner that no longer answers.
  void CommandFailed(const CommandOutcome& outcome, const std::string& prefix = "");
  // True for a good outcome; otherwise CommandFailed.
  bool Succeeded(const CommandOutcome& outcome);
  // CommandFailed when the failure names a cause.
  void NoteCause(const CommandOutcome& outcome);
  bool StopRequested() const { return gStopNow.load(); }
  void JoinOnce();
  // Ends the job after an exception left Scan: the status and a text, and
  // the completion callback when it has not been called yet.
  void FailAfterException(std::exception_ptr error);

  ScanParams* mParams;
  pthread_t mThread{};
  bool mThreadJoined = false;
  int mJobStatus = 0;
  std::string mErrBuf;
  ScanResults mResults;
  bool mCompleted = false;  // the completion callback was called (scan thread only)
  // Why the job ended, for ScanResults::mEnd: the scanner stopped answering
  // a command; the job stopped on request while sheets may be left.
  bool mScannerGone = false;
  bool mStopped = false;
  // For ScanResults::mFailedSheet.
  int mFailedSheet = 0;
  bool mDeleteWhenDone;
  std::ostream* mOutStrm;
  std::ostream* mErrStrm;
};

}  // namespace ZuzuvovOvav
