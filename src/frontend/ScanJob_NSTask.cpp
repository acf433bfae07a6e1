// ScanJob_NSTask: the desktop application's scan job, which runs the command-line tool in the bundle.
#include "ScanJob_NSTask.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QMetaObject>
#include <QTimer>
#include <csignal>
#include <pthread.h>
#include <thread>

#include "AppBundle.h"
#include "FrontendLog.h"
#include "Quirel_Settings.h"

namespace quirel::frontend {

namespace {

// A scanner query that takes longer than this is taken as failed: the tool
// is stuck (a scanner that does not answer), and the window must go on.
constexpr int kQueryTimeoutMs = 60000;
// How long a scan still running when its job goes away may take to finish
// its file after SIGTERM.
constexpr int kTerminateGraceMs = 10000;
// The status reported when the tool cannot be started at all (the shell's
// "command cannot be run").
constexpr int kCannotRunStatus = 127;

const QLatin1String kFifoAnnouncement("preview fifo: ");

// Blocks SIGINT and SIGTERM in the calling thread while it lives. A child
// forked meanwhile starts with them blocked and keeps them blocked through
// exec, so a stop sent at once stays pending until the tool has installed
// its handlers (it unblocks them then) instead of killing it. Only the scan
// is started so; the short tool runs and other programs keep the mask of
// the thread that starts them.
class StopSignalsBlocked {
 public:
  StopSignalsBlocked() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, &mOld);
  }
  ~StopSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &mOld, nullptr); }
  StopSignalsBlocked(const StopSignalsBlocked&) = delete;
  StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

 private:
  sigset_t mOld;
};

}  // namespace

ScanJob_NSTask::ScanJob_NSTask(ScanJobController* controller)
    : ScanJob_Base(controller), mCmdPath(AuxiliaryExecutablePath(controller->bundle(), QStringLiteral("quirel"))) {}

ScanJob_NSTask::~ScanJob_NSTask() {
  if (mScanTask) {
    disconnect(mScanTask.get(), nullptr, this, nullptr);
    if (mScanTask->state() != QProcess::NotRunning) {
      ::kill(pid_t(mScanTask->processId()), SIGTERM);
      if (!mScanTask->waitForFinished(kTerminateGraceMs))
        Log("scan job: quirel did not stop within %d s of SIGTERM; it is killed", kTerminateGraceMs / 1000);
    }
    mScanTask.reset();
  }
  // The reader thread posts to this object: it ends before the object does.
  mPreviewTask.reset();
}

qint64 ScanJob_NSTask::scanProcessId() const { return mScanTask ? mScanTask->processId() : 0; }

ScanJob_NSTask::ExecResult ScanJob_NSTask::execCmd(const QStringList& args) {
  ExecResult result;
  QProcess process;
  process.setProgram(mCmdPath);
  process.setArguments(args);
  process.setStandardInputFile(QProcess::nullDevice());

  // The run is waited for in a nested event loop, so the window, the pipes
  // of a running scan and further USB reports are served meanwhile.
  QEventLoop loop;
  bool timedOut = false;
  QTimer timer;
  timer.setSingleShot(true);
  QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
  QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
    timedOut = true;
    process.kill();
  });
  process.start();
  if (process.waitForStarted(-1)) {
    timer.start(kQueryTimeoutMs);
    if (process.state() != QProcess::NotRunning) loop.exec();
    timer.stop();
  }

  const QString args0 = args.join(QLatin1Char(' '));
  if (process.error() == QProcess::FailedToStart) {
    result.text = QStringLiteral("%1 cannot be run: %2").arg(mCmdPath, process.errorString());
    return result;
  }
  result.exited = process.exitStatus() == QProcess::NormalExit && !timedOut;
  result.status = process.exitCode();
  result.text = QString::fromUtf8(result.exited && result.status == 0 ? process.readAllStandardOutput()
                                                                        : process.readAllStandardError());
  if (timedOut) result.text = QStringLiteral("quirel %1 did not finish within %2 s").arg(args0).arg(kQueryTimeoutMs / 1000);
  return result;
}

std::optional<ScannerInfo> ScanJob_NSTask::findScanner() {
  const ExecResult list = execCmd({QStringLiteral("--enumerate")});
  // A failed run's error text is no list of scanners, however many lines
  // it has.
  if (!list.exited || list.status != 0) {
    Log("scanner search: quirel --enumerate failed (%s %d): %s", list.exited ? "status" : "ended by signal",
        list.status, list.text.trimmed().toUtf8().constData());
    return std::nullopt;
  }
  QString location;
  std::optional<ScannerInfo> info = ParseEnumerateOutput(list.text, &location);
  if (!info) return std::nullopt;

  const ExecResult caps = execCmd({QStringLiteral("--capabilities"), location});
  if (!caps.exited || caps.status != 0) {
    // The scanner is there but says nothing of itself: it is shown as not
    // supported, with its limits at zero.
    Log("scanner search: quirel --capabilities %s failed (%s %d): %s", location.toUtf8().constData(),
        caps.exited ? "status" : "ended by signal", caps.status, caps.text.trimmed().toUtf8().constData());
    return info;
  }
  ApplyCapabilities(caps.text, &*info);
  return info;
}

void ScanJob_NSTask::startScan() {
  if (mScanTask) {
    Log("scan job: a scan is already running; no second one is started");
    return;
  }
  const Quirel_Settings& settings = controller()->settings();
  logScanStart(settings.getArgsString());

  mPreviewTask.reset();
  mCurStdOutStr.clear();
  mCurStdErrStr.clear();
  mStdOutDecoder.resetState();
  mStdErrDecoder.resetState();
  mPreviewOpened = false;

  mScanTask = std::make_unique<QProcess>();
  mScanTask->setProgram(mCmdPath);
  mScanTask->setArguments(settings.getArgs());
  mScanTask->setStandardInputFile(QProcess::nullDevice());
  connect(mScanTask.get(), &QProcess::readyReadStandardOutput, this, &ScanJob_NSTask::processStdOut);
  connect(mScanTask.get(), &QProcess::readyReadStandardError, this, &ScanJob_NSTask::processStdErr);
  connect(mScanTask.get(), &QProcess::finished, this, &ScanJob_NSTask::processPipeClose);
  connect(mScanTask.get(), &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) processPipeClose();
  });
  StopSignalsBlocked stopsHeld;
  mScanTask->start();
}

void ScanJob_NSTask::stopScan() {
  if (mScanTask && mScanTask->processId() > 0) ::kill(pid_t(mScanTask->processId()), SIGINT);
}

void ScanJob_NSTask::waitForScanEnd() {
  if (!mScanTask) return;
  mScanTask->waitForFinished(-1);
  while (mScanTask) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    if (mScanTask) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

void ScanJob_NSTask::processStdOut() {
  if (!mScanTask) return;
  mCurStdOutStr += mStdOutDecoder.decode(mScanTask->readAllStandardOutput());
  lookForPreviewFifo();
}

void ScanJob_NSTask::processStdErr() {
  if (!mScanTask) return;
  mCurStdErrStr += mStdErrDecoder.decode(mScanTask->readAllStandardError());
}

void ScanJob_NSTask::lookForPreviewFifo() {
  if (mPreviewOpened) return;
  const qsizetype start = mCurStdOutStr.indexOf(kFifoAnnouncement);
  if (start < 0) return;
  const qsizetype pathStart = start + kFifoAnnouncement.size();
  const qsizetype end = mCurStdOutStr.indexOf(QLatin1Char('\n'), pathStart);
  if (end < 0) return;  // the line is not complete yet
  const QString path = mCurStdOutStr.mid(pathStart, end - pathStart);
  mPreviewOpened = true;
  ScanJobController* target = controller();
  mPreviewTask = std::make_unique<PreviewFifoTask>(QFile::encodeName(path).toStdString(), [this, target](PreviewBitmap page) {
    // Runs on the reader thread: hand the page to the main thread without
    // waiting. If the job is gone before the call runs, the owner frees it.
    auto owner = std::make_shared<PreviewBitmapOwner>(page);
    QMetaObject::invokeMethod(this, [target, owner] { target->receivePreview(owner->release()); }, Qt::QueuedConnection);
  });
}

void ScanJob_NSTask::processPipeClose() {
  if (!mScanTask) return;
  QProcess* task = mScanTask.get();
  mCurStdOutStr += mStdOutDecoder.decode(task->readAllStandardOutput());
  mCurStdErrStr += mStdErrDecoder.decode(task->readAllStandardError());

  int status;
  bool crashed;
  if (task->error() == QProcess::FailedToStart) {
    status = kCannotRunStatus;
    crashed = false;
    mCurStdErrStr += QStringLiteral("\nquirel cannot be run (%1): %2").arg(mCmdPath, task->errorString());
  } else {
    crashed = task->exitStatus() != QProcess::NormalExit;
    status = task->exitCode();
  }

  // The tool is gone: the reader takes what is left in the FIFO and ends;
  // its pages reach the controller before the end of the scan does.
  if (mPreviewTask) {
    mPreviewTask->writerGone();
    mPreviewTask->join();
  }
  QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);

  disconnect(task, nullptr, this, nullptr);
  mScanTask.release()->deleteLater();  // this runs inside one of its signals
  const QString msg = mCurStdOutStr.trimmed();
  const QString err = mCurStdErrStr.trimmed();
  mCurStdOutStr.clear();
  mCurStdErrStr.clear();
  controller()->scanFinished(status, crashed, msg, err);
}

}  // namespace quirel::frontend
