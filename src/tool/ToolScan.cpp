// A scan run by the tool: the engine's scan job, its progress lines, stop signals and exit status.
#include "ToolScan.h"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <new>
#include <sstream>
#include <string>

#include "ProcessSetup.h"
#include "ToolChecks.h"
#include "ToolPreview.h"
#include "ToolQueries.h"
#include "ToolStatus.h"

#include "HostFolders.h"
#include "OutputTarget.h"
#include "PagePreview.h"
#include "ScanJob.h"

namespace quirel::tool {

using namespace ZuzuvovOvav;

namespace {

void OnInterrupt(int) { gStopNow.store(true); }

bool StopRequested() { return gStopNow.load(); }

// The stop signals (Ctrl-C, the application's Stop, SIGTERM, a terminal
// that hangs up, ...) become the engine's stop request. Taken before
// anything else of the scan happens, and unblocked, so that a stop that
// comes early, even one pending from before the tool started, stops the
// job instead of ending the process.
void TakeStopSignals() { quirel::host::HandleStopSignals(OnInterrupt, false); }

// Where the writers' notice of a long wait for a file goes.
FILE* sNoticeOut = stdout;
void TellLockWait(const std::string& path) {
  std::fprintf(sNoticeOut, "Waiting for another program to finish writing '%s'...\n", path.c_str());
  std::fflush(sNoticeOut);
}

// A check's status, said as a stop when a stop ended it.
int StoppedEarly(int status, FILE* out) {
  if (status == kScanStoppedEarly) std::fprintf(out, "Stopped before the scan began; no page scanned.\n");
  return status;
}

std::string Pages(int n) { return std::to_string(n) + (n == 1 ? " page" : " pages"); }

// "out.pdf" or "3 files"
std::string Files(const ScanResults& r) {
  return r.mFilePaths.size() == 1 ? r.mFilePaths[0] : std::to_string(r.mFilePaths.size()) + " files";
}

// Pages file i held before the job added its pages.
int PagesBefore(const ScanResults& r, size_t i) { return i < r.mPagesBefore.size() ? r.mPagesBefore[i] : 0; }

// Page `page` of the job (from 1) as the file holding it numbers it: "page
// 5" in one file (after the pages it held before), or "page 5 (page 1 of
// out11.pdf)" when the pages went into several files.
std::string PageName(const ScanResults& r, int page) {
  int first = 1;
  for (size_t i = 0; i < r.mFilePaths.size() && i < r.mPageCounts.size(); ++i) {
    if (page < first + r.mPageCounts[i]) {
      const int inFile = PagesBefore(r, i) + page - first + 1;
      if (r.mFilePaths.size() == 1) return "page " + std::to_string(inFile);
      return "page " + std::to_string(page) + " (page " + std::to_string(inFile) + " of " + r.mFilePaths[i] + ")";
    }
    first += r.mPageCounts[i];
  }
  return "page " + std::to_string(page);
}

// "added to old.pdf, which now holds 6 pages" for the one file of a job
// that appended to it; empty for any other job.
std::string AddedTo(const ScanResults& r) {
  if (r.mFilePaths.size() != 1 || PagesBefore(r, 0) == 0) return "";
  return "added to " + r.mFilePaths[0] + ", which now holds " + Pages(PagesBefore(r, 0) + r.mPageCounts[0]);
}

// Where the job's pages went: "into out.pdf", "into 3 files", or "and added
// to old.pdf, which now holds 6 pages".
std::string Into(const ScanResults& r) {
  const std::string added = AddedTo(r);
  return added.empty() ? "into " + Files(r) : "and " + added;
}

// The pages written from sides the scan cut short, with their verb: "page 3
// is", "page 3 and page 4 are", or `last` introducing the last page written
// ("the last, page 4, is").
std::string CutShort(const ScanResults& r, const std::string& last) {
  const auto& cut = r.mCutShortPages;
  if (cut.size() == 1 && cut[0].mPage == r.mTotalPages) return last + ", " + PageName(r, cut[0].mPage) + ", is";
  std::string s;
  for (size_t i = 0; i < cut.size(); ++i)
    s += (i == 0 ? "" : i + 1 == cut.size() ? " and " : ", ") + PageName(r, cut[i].mPage);
  return s + (cut.size() == 1 ? " is" : " are");
}

std::string Summary(const ScanResults& r) {
  std::string s = Pages(r.mTotalPages) + " scanned";
  if (!r.mFilePaths.empty()) s += " " + Into(r);
  if (!r.mCutShortPages.empty()) s += "; " + CutShort(r, "the last") + " incomplete";
  if (r.mDoubleFeeds > 0) s += "; " + std::to_string(r.mDoubleFeeds) + " double feed(s) noted";
  return s + ".";
}

// What the engine's text does not say: which pages the end cut short, and
// in words what a scanner that stopped answering means.
std::string Explanation(const ScanResults& r) {
  std::string what;
  if (!r.mCutShortPages.empty()) {
    what = CutShort(r, "The last page") +
           " incomplete: the scanner stopped in the middle of its sheet and the rest of the page is white. "
           "Scan that sheet again; the pages before it are complete.";
    what[0] = char(std::toupper(static_cast<unsigned char>(what[0])));
  } else if (r.mEnd == kScanEndScannerGone) {
    what = r.mTotalPages > 0 ? "The pages scanned before are in the file." : "No page was written.";
  }
  if (r.mEnd == kScanEndScannerGone) what = "The scanner stopped answering: was it unplugged or switched off? " + what;
  return what;
}

bool Has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// What the scanner's text of a paper fault leaves unsaid: which sheet was
// not scanned, what to do about it, and where the pages before it are. The
// fault is told by the code that ends the scanner's text ("Paper jam
// detected (Cmd_ReadImage 03:80:01)"); a sheet the scanner did not start
// scanning by its SCAN command. Empty for any other end.
std::string SheetAdvice(const ScanResults& r, const ScanParams& params) {
  const std::string& text = r.mErrorMsg;
  const char* fix = Has(text, " 03:80:01)")   ? "clear the jam"
                    : Has(text, " 03:80:02)") ? "close the feeder cover"
                    : Has(text, " 03:80:07)") ? "check for sheets stuck together"
                    : Has(text, "(Cmd_Scan ") || Has(text, "The scanner did not start scanning the sheet")
                        ? "check the sheet and the feeder"
                    : r.mStatus == kScanPageDiscarded || r.mFailedSheet > 0 ? "check the feeder for stuck sheets"
                                                                              : nullptr;
  if (!fix) return "";
  const std::string sheet = r.mFailedSheet > 0 ? "sheet " + std::to_string(r.mFailedSheet) : "the sheet that failed";
  const bool oneFile = r.mFilePaths.size() == 1;
  const bool fileThere = (r.mTotalPages > 0 && oneFile) || (params.mAppend && r.mFilePaths.size() <= 1);
  std::string s = sheet + " was not scanned: " + fix + ", put " +
                  (params.mUseFlatbed ? "it back on the glass and scan it" : sheet + " and the sheets after it back into the feeder and scan them") +
                  (fileThere ? " with --append" : " again") + "; ";
  const bool one = r.mTotalPages == 1;
  if (r.mTotalPages == 0)
    s += params.mAppend ? "no page was added, the file is as it was." : "no page was written.";
  else if (oneFile)
    s += "the " + (one ? std::string("page") : Pages(r.mTotalPages)) + " scanned before it " +
         (params.mAppend ? (one ? "was added to " : "were added to ") : (one ? "is in " : "are in ")) +
         r.mFilePaths[0] + ".";
  else
    s += "the " + Pages(r.mTotalPages) + " scanned before it are in the files listed above.";
  s[0] = char(std::toupper(static_cast<unsigned char>(s[0])));
  return s;
}

}  // namespace

int RunScan(ToolOptions& options, FILE* out, FILE* err) {
  ScanParams& params = options.params;
  gStopNow.store(false);
  TakeStopSignals();
  // Without a usable bus no scanner can ever be found: say why at once
  // instead of searching for 9 seconds and blaming the scanner.
  if (!BusUsable(err)) return kScanUsbUnavailable;
  // What runs of this user that were killed left behind goes first.
  quirel::host::RemoveDeadRunLeftovers();
  sNoticeOut = out;
  OutputTarget::sLockWaitNotice = TellLockWait;
  // The output is checked before the scanner is touched: a file that
  // cannot be made must not cost a sheet.
  if (int status = StoppedEarly(CheckOutput(params, err), out)) return status;
  // The engine's worker threads, started before the scanner is touched: a
  // machine that cannot give them is told so with status 1.
  std::string engineError;
  if (!StartEngineQueues(&engineError)) {
    std::fprintf(err, "quirel: %s\n", engineError.c_str());
    return kScanNotStarted;
  }
  // The scanner, found and opened once, and the job against its model's
  // limits, before the job sends anything.
  uint32_t productId = 0;
  if (int status = StoppedEarly(FindScanner(params.mLocation, options.verbose, &StopRequested, &productId, out, err), out))
    return status;
  if (int status = CheckLimits(params, productId, err)) return status;

  PreviewFifo fifo(out, err);
  bool previews = options.preview && fifo.Open(&StopRequested);
  if (!previews) params.mPreviewWidth = params.mPreviewHeight = 0;

  const int depth = params.mImageType == kImageTypeColor ? 4 : 1;
  std::mutex outMutex;
  std::atomic<int> sides{0};
  // Runs on the engine's workers: it must not wait for the preview reader.
  params.mPageScannedFunc = [&](const PagePreview* preview) {
    int n = ++sides;
    {
      std::lock_guard<std::mutex> lock(outMutex);
      // Scanned, not yet written: the page write may still fail.
      std::fprintf(out, "side %d scanned\n", n);
      std::fflush(out);
    }
    if (!preview) return;
    if (previews && preview->mType != 0)
      fifo.Post(static_cast<uint8_t*>(preview->mBitMap), int(preview->mWidth), int(preview->mHeight), depth,
                int(preview->mRowBytes));
    else
      std::free(preview->mBitMap);
  };

  ScanResults results;
  bool completed = false;
  params.mScanCompleteFunc = [&](const ScanResults* r) {
    results = *r;
    completed = true;
  };

  // The engine writes its final error text to this stream; the tool prints
  // the same text from the results, after the summary, on standard error.
  std::ostringstream errText;
  try {
    ScanJob job(&params, false, &std::cout, &errText);
    job.WaitForScan();
  } catch (const char* msg) {
    std::fprintf(err, "quirel: %s\n", msg);
    return kScanNotStarted;
  } catch (const std::bad_alloc&) {
    std::fprintf(err, "quirel: out of memory\n");
    return kScanNotStarted;
  }
  std::cout.flush();
  fifo.Close();
  const bool interrupted = gStopNow.load();

  if (!completed) {
    // Only a job that saw the stop request ends without results ...
    if (interrupted) {
      std::fprintf(out, "Stopped before the scan began; no page scanned.\n");
      return kScanStoppedEarly;
    }
    // ... or one whose scan thread never ran: the engine said why.
    std::string text = errText.str();
    while (!text.empty() && text.back() == '\n') text.pop_back();
    std::fprintf(err, "quirel: %s\n", text.empty() ? "the scan could not start" : text.c_str());
    return kScanNotStarted;
  }
  // The pages each file holds now, and how many of them the job added to
  // a file that held pages before.
  for (size_t i = 0; i < results.mFilePaths.size(); ++i) {
    const int before = PagesBefore(results, i), added = results.mPageCounts[i];
    const std::string addedText = before > 0 ? ", " + std::to_string(added) + " added" : "";
    std::fprintf(out, "file: %s (%s%s)\n", results.mFilePaths[i].c_str(), Pages(before + added).c_str(), addedText.c_str());
  }
  if (results.mStatus == kScanOK && results.mEnd == kScanEndStopped) {
    const bool one = results.mTotalPages == 1;
    const std::string added = AddedTo(results);
    std::string kept = "no file was written";
    if (!added.empty())
      kept = Pages(results.mTotalPages) + (one ? " was " : " were ") + added;
    else if (!results.mFilePaths.empty())
      kept = Pages(results.mTotalPages) + (one ? " is in " : " are in ") + Files(results);
    std::fprintf(out, "Scan stopped on request: %s; sheets left in the feeder were not scanned.\n", kept.c_str());
  } else if (interrupted && results.mStatus == kScanOK && results.mEnd == kScanEndCompleted) {
    std::fprintf(out, "Stop requested, but every sheet fed was scanned: nothing was left out.\n");
  }
  std::fprintf(out, "%s\n", Summary(results).c_str());
  std::fflush(out);
  if (!results.mErrorMsg.empty()) {
    std::fprintf(err, "%s\n", results.mErrorMsg.c_str());
    if (std::string what = Explanation(results); !what.empty()) std::fprintf(err, "%s\n", what.c_str());
    if (std::string what = SheetAdvice(results, params); !what.empty()) std::fprintf(err, "%s\n", what.c_str());
    std::fflush(err);
  }
  return ProgramStatus(results);
}

}  // namespace quirel::tool
