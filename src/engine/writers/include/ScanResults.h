// ScanResults: the outcome of a scan job, as the writers record it per
// output file and the scan job completes it: its status, pages, files, why
// it ended and which pages the end cut short. The record a front end reads
// from the engine's completion callback.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "HostFolders.h"
#include "ScanStatus.h"

namespace ZuzuvovOvav {

// A reference to an output file that survives renames.
using FSRef = quirel::host::FileRef;

// The text of status 10 for a page past this process's file size limit.
constexpr char kFileSizeLimitText[] = "Page would exceed the file size limit of this process (ulimit -f).";

// Why a scan job ended, beside its status (ScanResults::mEnd).
enum ScanEndE : int32_t {
  kScanEndFailed = 0,       // by a failure that the status and the text name
  kScanEndCompleted = 1,    // every sheet fed was scanned: the hopper ran empty, the scanner
                            // reported the end of the paper, or the flatbed's sheet was scanned
  kScanEndStopped = 2,      // on request; sheets left in the feeder were not scanned
  kScanEndScannerGone = 3,  // the scanner stopped answering: unplugged or switched off
};

// A page written although the scan ended in the middle of its side: it holds
// what had arrived, the rest is white.
struct CutShortPage {
  int32_t mPage = 0;  // its number over all output files, from 1
  int32_t mSide = 0;  // the side of its sheet (kSideFront, kSideBack)
};

// The outcome of a scan job. The four vectors always have one entry per
// output file opened, in opening order.
struct ScanResults {
  int32_t mStatus = kScanOK;  // ScanStatusE: the job's status
  int32_t mTotalPages = 0;
  int32_t mDoubleFeeds = 0;  // filled by the scan job, never by the writers
  std::string mErrorMsg;
  std::vector<int32_t> mPageCounts;
  std::vector<std::string> mFilePaths;
  std::vector<FSRef> mFileRefs;  // zeroed by the writers, filled by the scan job
  // Pages a file held before the job appended to it (0 for a new file):
  // the file then holds these and its entry in mPageCounts.
  std::vector<int32_t> mPagesBefore;
  // Filled by the scan job, never by the writers.
  ScanEndE mEnd = kScanEndFailed;
  std::vector<CutShortPage> mCutShortPages;  // in page order
  // The sheet (counted from 1 over the job) at which a paper error (jam,
  // double feed, cover open) or a sheet the scanner would not scan ended the
  // job; 0 when none did.
  int32_t mFailedSheet = 0;

  void AddFile(const std::string& path, int32_t pagesBefore = 0);
  // Counts one page in the file opened last.
  void CountPage();
  // Takes one page off the file opened last again.
  void UncountPage();
  // Forgets the file opened last when it holds no page: a new output file
  // that received no page is deleted, and the results must not list it.
  void DropEmptyLastFile();
};

// The status a program (the tool, the workflow host) reports for a job's
// results: the job's status, except for how a job with status 0 or 4 ended.
// The first rule that fits decides; a status no rule names is reported as
// it is. -1 in a rule fits anything.
struct OutcomeRule {
  int32_t mJobStatus;
  int32_t mEnd;         // ScanEndE
  int8_t mPagesWritten; // 1: the job wrote pages, 0: it wrote none
  int8_t mDoubleFeeds;  // 1: double feeds were noted, 0: none were
  int32_t mReported;
};
inline constexpr OutcomeRule kOutcomeRules[] = {
    // Double feeds noted: the pages are good, the sheets that failed may
    // need scanning again.
    {kScanOK, -1, -1, 1, kScanPageDiscarded},
    // Stopped before every sheet fed was scanned. A stop that came when
    // every sheet was scanned left nothing out: it is a success.
    {kScanOK, kScanEndStopped, -1, 0, kScanStoppedEarly},
    // Pages in the file and a problem to report (the scanner unplugged
    // mid-sheet, a set-up text after pages); without pages a failure.
    {kScanErrorMessage, -1, 1, -1, kScanEndedWithProblems},
};

inline int32_t ProgramStatus(const ScanResults& r) {
  const auto fits = [](int32_t want, bool have) { return want < 0 || (want != 0) == have; };
  for (const OutcomeRule& rule : kOutcomeRules)
    if (rule.mJobStatus == r.mStatus && (rule.mEnd < 0 || rule.mEnd == r.mEnd) &&
        fits(rule.mPagesWritten, r.mTotalPages > 0) && fits(rule.mDoubleFeeds, r.mDoubleFeeds > 0))
      return rule.mReported;
  return r.mStatus;
}

}  // namespace ZuzuvovOvav
