// ScanJobController: the end-of-scan bookkeeping every controller of a scan job shares.
#include "ScanJobController.h"

#include <QRegularExpression>

#include "AppBundle.h"
#include "FrontendLog.h"
#include "ScanStatus.h"

namespace quirel::frontend {

using namespace ZuzuvovOvav;

QString ScanJobController::bundle() const { return MainBundlePath(); }

int PagesScanned(const QString& msg) {
  // "Stopped before the scan began; no page scanned." counts as none.
  static const QRegularExpression summary(QStringLiteral("^(\\d+) pages? scanned\\b|\\bno page scanned\\b"),
                                          QRegularExpression::MultilineOption);
  int pages = -1;
  for (QRegularExpressionMatchIterator it = summary.globalMatch(msg); it.hasNext();) pages = it.next().captured(1).toInt();
  return pages;
}

void ScanJobController::scanFinished(int32_t status, bool crashed, const QString& msg, const QString& err) {
  mLastScanPages = crashed ? -1 : PagesScanned(msg);
  if (!crashed && status == kScanOK)
    mLastScanResult = kScanResultSuccess;
  else if (!crashed && (status == kScanPageDiscarded || status == kScanStoppedEarly || status == kScanEndedWithProblems ||
                      status == kScanSizeLimit || status == kScanDiskFull))
    mLastScanResult = kScanResultProblems;
  else
    mLastScanResult = kScanResultFailed;
  logScanFinished(status, crashed, msg, err);
}

void ScanJobController::logScanFinished(int32_t status, bool crashed, const QString& msg, const QString& err) const {
  if (crashed)
    Log("scan job finished, status: crashed\n - err: %s\n - msgs: \n%s", err.toUtf8().constData(),
        msg.toUtf8().constData());
  else
    Log("scan job finished, status: %d\n - err: %s\n - msgs: \n%s", int(status), err.toUtf8().constData(),
        msg.toUtf8().constData());
}

}  // namespace quirel::frontend
