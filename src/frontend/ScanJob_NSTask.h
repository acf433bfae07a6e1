// The desktop application's scan job: every scanner query and every scan
// runs in the command-line tool quirel of the application bundle
// (<bundle>/Contents/MacOS/quirel), a child process whose standard output
// and standard error come back through pipes. When the tool announces its
// preview FIFO ("preview fifo: <path>\n"), a PreviewFifoTask reads the
// pages and they reach the controller's receivePreview() on the main thread.
// The end of the scan reaches scanFinished() with the exit status, whether
// the tool ended through a signal, and both texts.
//
// Thread-bound: main thread (the thread that made it), with a running event
// loop for the scan's reports.
#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringDecoder>
#include <QStringList>
#include <memory>

#include "PreviewFifoTask.h"
#include "ScanJob_Base.h"

namespace quirel::frontend {

class ScanJob_NSTask : public QObject, public ScanJob_Base {
  Q_OBJECT

 public:
  explicit ScanJob_NSTask(ScanJobController* controller);
  // A scan still running is asked to stop (SIGTERM) and given a while to
  // finish its file.
  ~ScanJob_NSTask() override;

  std::optional<ScannerInfo> findScanner() override;
  void startScan() override;
  void stopScan() override;
  void waitForScanEnd() override;

  // One short run of the tool, waited for while the event loop goes on.
  struct ExecResult {
    bool exited = false;  // the tool ran and exited (not through a signal)
    int status = -1;      // its exit status
    // Standard output when the status is 0, else standard error (or why the
    // tool could not be run).
    QString text;
  };
  ExecResult execCmd(const QStringList& args);

  const QString& cmdPath() const { return mCmdPath; }
  bool isScanning() const { return mScanTask != nullptr; }
  // The running tool's process id, 0 when idle.
  qint64 scanProcessId() const;

 private:
  void processStdOut();
  void processStdErr();
  void processPipeClose();
  void lookForPreviewFifo();

  QString mCmdPath;
  std::unique_ptr<QProcess> mScanTask;
  QString mCurStdOutStr;
  QString mCurStdErrStr;
  // Decoders keep a character split across two reads whole.
  QStringDecoder mStdOutDecoder{QStringDecoder::Utf8};
  QStringDecoder mStdErrDecoder{QStringDecoder::Utf8};
  bool mPreviewOpened = false;
  std::unique_ptr<PreviewFifoTask> mPreviewTask;
};

}  // namespace quirel::frontend
