// ScanResults: the outcome of a scan job, as the writers record it per
// output file and the scan job completes it: its status, pages, files, why
// it ended and which pages the end cut short. The record a front end reads
// from the engine's completion callback.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "HostFolders.h"

namespace ZuzuvovOvav {

// A reference to an output file that survives renames.
using FSRef = quirel::host::FileRef;

// Status values the writers set in ScanResults::mStatus.
constexpr int32_t kStatusOk = 0;
constexpr int32_t kStatusFileError = 5;      // output cannot be opened, created or appended to
constexpr int32_t kStatusFileTooLarge = 10;  // the page would pass the format's size limit
constexpr int32_t kStatusDiskFull = 11;      // not enough free space for the page
constexpr int32_t kStatusWriteError = 12;    // any other page write failure

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
  int32_t mStatus = kStatusOk;
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

}  // namespace ZuzuvovOvav
