// What a scan job needs of the controller that owns it: the settings to
// scan with, the bundle that holds the command-line tool, and the two
// reports a job makes, both on the main thread: each page preview, and the
// end of the scan. The scan window's controller and the workflow action's
// controller implement it; this base keeps the end-of-scan bookkeeping that
// every controller shares.
#pragma once

#include <QString>
#include <cstdint>

#include "PreviewBitmap.h"

namespace quirel::frontend {

class Quirel_Settings;

// Result class of the last scan.
enum ScanResultClass : int32_t {
  kScanResultNone = 0,      // no scan has ended yet
  kScanResultSuccess = 1,
  kScanResultProblems = 2,  // finished with page or file problems
  kScanResultFailed = 3,    // failed or crashed
};

class ScanJobController {
 public:
  virtual ~ScanJobController() = default;

  virtual Quirel_Settings& settings() = 0;
  // The bundle folder that holds the tool; the running application's own.
  virtual QString bundle() const;

  // One page preview; the receiver owns page.data and frees it.
  virtual void receivePreview(PreviewBitmap page) = 0;

  // The end of a scan: the tool's exit status, whether it ended through a
  // signal, and its standard output and standard error, trimmed. Sets
  // lastScanResult() and logs; overrides call this version first.
  virtual void scanFinished(int32_t status, bool crashed, const QString& msg, const QString& err);
  void logScanFinished(int32_t status, bool crashed, const QString& msg, const QString& err) const;

  int32_t lastScanResult() const { return mLastScanResult; }

 protected:
  int32_t mLastScanResult = kScanResultNone;
};

}  // namespace quirel::frontend
