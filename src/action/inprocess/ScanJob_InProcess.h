// ScanJob_InProcess: the workflow action's scan job, which runs the scanning engine inside the action's own process.
//
// The attached scanner is answered from the engine's enumeration and model
// table; a scan maps the controller's settings onto a ScanParams record
// (setParams) and runs the engine's ScanJob on its scan thread. Its reports
// reach the controller on the main thread (the thread of the application
// object, or of the job's creator when there is none): each preview without
// waiting, and the end of the scan once, while the scan thread waits for it
// to be handled.
//
// Threads: findScanner, setParams, startScan and waitForScanEnd may run on a
// worker thread or on the main thread; stopScan on any thread. One run at a
// time: a run ends with waitForScanEnd, which returns only after
// scanFinished() has run, and frees the engine job; a later startScan frees
// a job whose thread has ended without being waited for.
#pragma once

#include <QObject>
#include <QString>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "FujiScanParams.h"
#include "PreviewBitmap.h"
#include "ScanJob_Base.h"
#include "ScanResultsWrapper.h"

namespace ZuzuvovOvav {
class ScanJob;
struct PagePreview;
}  // namespace ZuzuvovOvav

namespace quirel::action {

// The text a run reports when its engine job could not be created.
extern const char* const kEngineJobFailedText;
// The text a run reports when the engine ended without reporting results.
extern const char* const kNoResultsText;

class ScanJob_InProcess : public quirel::frontend::ScanJob_Base {
 public:
  explicit ScanJob_InProcess(quirel::frontend::ScanJobController* controller);
  // A run still going is asked to stop and waited for; its end is no longer
  // reported to the controller, which may be going away.
  ~ScanJob_InProcess() override;

  std::optional<quirel::frontend::ScannerInfo> findScanner() override;
  void startScan() override;
  void stopScan() override;
  void waitForScanEnd() override;

  // Fills scanParams() from the controller's settings.
  void setParams();
  // A length in the settings' unit in 1/1200 inch, rounded half away from
  // zero and held within 0 .. 2^31-1.
  int32_t getDim(double value) const;

  const ZuzuvovOvav::ScanParams& scanParams() const { return mScanParams; }
  // The engine job of the current or last run; null when there is none.
  const ZuzuvovOvav::ScanJob* scanJob() const { return mScanJob.get(); }

  // The engine's two callbacks and the end of a run on the main thread.
  void pageScanned(const ZuzuvovOvav::PagePreview* preview);
  void scanCompleteBg(const ZuzuvovOvav::ScanResults* results);
  void scanCompleteFg(const ScanResultsWrapper& wrapper);

 private:
  bool onMainThread() const;
  // A preview or an end of scan on its way to the main thread.
  struct Report {
    bool isPreview = false;
    quirel::frontend::PreviewBitmap page;  // a preview: its pixels are owned here until delivered
    ScanResultsWrapper results;            // an end of scan
    bool endsRun = true;                   // the end of the current run (not a refused start)
  };
  // Hands `wrapper` to scanCompleteFg on the main thread without waiting.
  void postCompletion(ScanResultsWrapper wrapper, bool endsRun = true);
  // Queues a report and a call on the main thread that delivers it.
  void postReport(Report report);
  // Main thread: hands the oldest queued report to the controller.
  void deliverNextReport();
  // Waits until every completion posted has been handled. On the main
  // thread the waiting thread handles them itself, previews first.
  void waitForPostedCompletions();

  ZuzuvovOvav::ScanParams mScanParams;
  // Why setParams could not place the settings' scan area on the turned
  // page; empty when it could.
  std::string mAreaOffThePage;
  std::ostringstream mErrStrm;
  std::unique_ptr<ZuzuvovOvav::ScanJob> mScanJob;
  // Lives on the main thread; the reports are queued calls on it, and its
  // end drops those still queued.
  std::unique_ptr<QObject> mMainContext;

  // Joins the engine's scan thread, so that a wait on the main thread can
  // keep handling the run's reports until the thread has ended.
  std::thread mWaiter;
  std::mutex mMutex;
  std::condition_variable mChanged;
  bool mRunning = false;       // a run was started and not yet waited for
  bool mThreadEnded = false;   // the engine's scan thread has ended
  bool mReported = false;      // this run's end reached scanFinished
  int mPostedCompletions = 0;  // completions posted and not yet handled
  int mEngineStatus = 0;       // the engine job's status, once its thread ended
  bool mJoinDirectly = false;  // no waiter thread: waitForScanEnd joins itself
  bool mColourPreviews = false;  // set before the engine job exists
  bool mSilenced = false;      // set while the job is being destroyed
  std::deque<Report> mReports;  // queued for the main thread, oldest first
};

}  // namespace quirel::action
