// The statuses of a scan: the scan job's own (ScanResults::mStatus), the two
// a program adds for how a job ended (8 and 9, see ProgramStatus in
// ScanResults.h), and the programs' own. Header only: the front ends read
// them without linking the engine. kStatusMeanings says what each means as
// the manual pages and the README state it.
#pragma once

#include <cstdint>

namespace ZuzuvovOvav {

enum ScanStatusE : int {
  kScanOK = 0,
  kScanNotStarted = 1,        // program: the engine could not run the job at all
  kScanNoScanner = 2,         // no matching scanner found
  kScanCheckFailed = 3,       // the scanner's check failed
  kScanErrorMessage = 4,      // the job produced an error text
  kScanFileError = 5,         // an output file cannot be made, opened or appended to
  kScanPageDiscarded = 6,     // a page was discarded after a paper error
  kScanStoppedEarly = 8,      // program: stopped on request, sheets left unscanned
  kScanEndedWithProblems = 9, // program: pages written, but the job reported a problem
  kScanSizeLimit = 10,        // a page would pass the file format's size limit
  kScanDiskFull = 11,         // not enough free space for the page
  kScanWriteFailed = 12,      // any other page write failure
  kScanUsage = 64,            // program: a malformed command line
  kScanUsbUnavailable = 69,   // the tool: the USB bus cannot be used
};

// The programs that report a status.
enum StatusProgramE : uint8_t {
  kForTool = 1,      // quirel
  kForWorkflow = 2,  // quirel-workflow
};

// One status as the documentation states it: each program's entry for the
// status holds `mMeaning`, its opening words.
struct StatusMeaning {
  int mStatus;
  uint8_t mPrograms;  // StatusProgramE bits
  const char* mMeaning;
};

// Every status the tool and the workflow host report, in order. The
// workflow host's 1 and 2 have meanings of their own besides the scan's.
inline constexpr StatusMeaning kStatusMeanings[] = {
    {kScanOK, kForTool | kForWorkflow, "success"},
    {kScanNotStarted, kForTool, "the scan engine could not start"},
    {kScanNotStarted, kForWorkflow, "the action failed"},
    {kScanNoScanner, kForTool | kForWorkflow, "no scanner to scan with"},
    {kScanNoScanner, kForWorkflow, "the action or its parameters cannot be loaded or saved"},
    {kScanCheckFailed, kForTool | kForWorkflow, "the scanner's check failed"},
    {kScanErrorMessage, kForTool | kForWorkflow, "the scan failed with a message and wrote no page"},
    {kScanFileError, kForTool | kForWorkflow, "an output file cannot be made or appended to"},
    {kScanPageDiscarded, kForTool | kForWorkflow, "a sheet was not scanned after a paper error"},
    {kScanStoppedEarly, kForTool | kForWorkflow, "stopped on request"},
    {kScanEndedWithProblems, kForTool | kForWorkflow, "pages were written, but the scan ended with a problem"},
    {kScanSizeLimit, kForTool | kForWorkflow, "a page would take the file past the format's size limit"},
    {kScanDiskFull, kForTool | kForWorkflow, "the disk is full"},
    {kScanWriteFailed, kForTool | kForWorkflow, "any other page write failure"},
    {kScanUsage, kForTool | kForWorkflow, "malformed command line"},
    {kScanUsbUnavailable, kForTool, "the USB bus cannot be used"},
};

}  // namespace ZuzuvovOvav
