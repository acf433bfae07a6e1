// Exit statuses of the command-line tool: the scan statuses of ScanStatus.h,
// a scan's results turned into one by ProgramStatus (ScanResults.h). What
// each means, as the README and quirel(1) state it, is kStatusMeanings.
#pragma once

#include "ScanStatus.h"

namespace quirel::tool {

using ZuzuvovOvav::kScanEndedWithProblems;
using ZuzuvovOvav::kScanErrorMessage;
using ZuzuvovOvav::kScanNoScanner;
using ZuzuvovOvav::kScanNotStarted;
using ZuzuvovOvav::kScanOK;
using ZuzuvovOvav::kScanStoppedEarly;
using ZuzuvovOvav::kScanUsage;
using ZuzuvovOvav::kScanUsbUnavailable;

}  // namespace quirel::tool
