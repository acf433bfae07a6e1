// ScanJob_Base: what every kind of scan job shares (its controller, the start-of-scan log line).
#include "ScanJob_Base.h"

#include "FrontendLog.h"

namespace quirel::frontend {

void ScanJob_Base::logScanStart(const QString& text) const {
  Log("scan job starting: %s", text.toUtf8().constData());
}

}  // namespace quirel::frontend
