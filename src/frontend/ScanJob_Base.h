// The scan job a controller owns: it tells which scanner is attached and
// what it can do, runs a scan with the controller's settings and stops it.
// A job reports to its controller (ScanJobController) on the main thread:
// receivePreview() once per page and scanFinished() once at the end.
//
// Subclasses implement the four operations; the desktop application's job
// runs the command-line tool (ScanJob_NSTask), the workflow action's runs
// the engine in its own process. MakeScanJob picks the one a program links.
#pragma once

#include <QString>
#include <memory>
#include <optional>

#include "ScanJobController.h"
#include "ScannerInfo.h"

namespace quirel::frontend {

class ScanJob_Base {
 public:
  explicit ScanJob_Base(ScanJobController* controller) : mController(controller) {}
  virtual ~ScanJob_Base() = default;
  ScanJob_Base(const ScanJob_Base&) = delete;
  ScanJob_Base& operator=(const ScanJob_Base&) = delete;

  // The attached scanner, or none. Main thread.
  virtual std::optional<ScannerInfo> findScanner() = 0;
  // Starts a scan with the controller's settings and returns at once.
  virtual void startScan() = 0;
  // Asks the running scan to stop and returns at once.
  virtual void stopScan() = 0;
  // Blocks until the running scan has ended and been reported.
  virtual void waitForScanEnd() = 0;

  ScanJobController* controller() const { return mController; }

 protected:
  // Logs "scan job starting: <text>"; subclasses call it when a scan begins.
  void logScanStart(const QString& text) const;

 private:
  ScanJobController* mController;  // owns the job
};

// A new job for `controller` of the kind this program uses.
std::unique_ptr<ScanJob_Base> MakeScanJob(ScanJobController* controller);

}  // namespace quirel::frontend
