// The desktop application's scan job: the command-line tool in its bundle.
// Kept in a file of its own so that a program that defines its own
// MakeScanJob (the workflow action) does not link this one.
#include "ScanJob_NSTask.h"

namespace quirel::frontend {

std::unique_ptr<ScanJob_Base> MakeScanJob(ScanJobController* controller) {
  return std::make_unique<ScanJob_NSTask>(controller);
}

}  // namespace quirel::frontend
