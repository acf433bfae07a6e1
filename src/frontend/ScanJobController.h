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

// The pages a scan wrote, read from its summary ("3 pages scanned into
// x.pdf.", "1 page scanned.", "no page scanned"; the last such line
// counts); -1 when the text has none.
int PagesScanned(const QString& msg);

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
  // Also keeps the pages the scan reports as written (lastScanPages()).
  virtual void scanFinished(int32_t status, bool crashed, const QString& msg, const QString& err);
  void logScanFinished(int32_t status, bool crashed, const QString& msg, const QString& err) const;

  int32_t lastScanResult() const { return mLastScanResult; }
  // The pages the last scan wrote, by its summary; -1 when it named none.
  int lastScanPages() const { return mLastScanPages; }

 protected:
  int32_t mLastScanResult = kScanResultNone;
  int mLastScanPages = -1;
};

}  // namespace quirel::frontend
