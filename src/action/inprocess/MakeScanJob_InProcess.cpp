// The workflow action's MakeScanJob: its controllers scan with the engine in process.
#include "ScanJob_InProcess.h"

namespace quirel::frontend {

std::unique_ptr<ScanJob_Base> MakeScanJob(ScanJobController* controller) {
  return std::make_unique<quirel::action::ScanJob_InProcess>(controller);
}

}  // namespace quirel::frontend
