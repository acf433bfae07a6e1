// Exit statuses of the command-line tool. Scan statuses follow what the
// desktop application reads (0 success, 8 success with pages left unscanned,
// 6 page discarded, 10 not every page in the file, 9 and 11 problems,
// anything else a failure); the others are the tool's own.
#pragma once

namespace quirel::tool {

constexpr int kExitOK = 0;
constexpr int kExitFailure = 1;           // the engine could not run at all
constexpr int kExitStoppedEarly = 8;      // stopped on request: sheets left unscanned
constexpr int kExitProblems = 9;          // pages written, but the job reported a problem
constexpr int kExitNoScanner = 2;         // no (supported) scanner where asked
constexpr int kExitUsage = 64;            // malformed command line
constexpr int kExitUsbUnavailable = 69;   // the USB bus cannot be used

}  // namespace quirel::tool
