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

#include "PagePreview.h"
#include "ScanDocumentTask.h"
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

// The tool's exit status for the job's results (documented in the README).
int ExitStatusFor(const ScanResults& r, bool interrupted) {
  switch (r.mStatus) {
    case kScanOK:
      if (r.mDoubleFeeds > 0) return kScanPageDiscarded;  // pages may need a rescan
      return interrupted ? kExitStoppedEarly : kExitOK;
    case kScanErrorMessage:
      // Pages in the file and a problem to report; without pages it is a
      // plain failure.
      return r.mTotalPages > 0 ? kExitProblems : kScanErrorMessage;
    default:
      return r.mStatus;
  }
}

std::string Pages(int n) { return std::to_string(n) + (n == 1 ? " page" : " pages"); }

// "out.pdf" or "3 files"
std::string Files(const ScanResults& r) {
  return r.mFilePaths.size() == 1 ? r.mFilePaths[0] : std::to_string(r.mFilePaths.size()) + " files";
}

// "page 5", or "page 5 (page 1 of out11.pdf)" when the pages went into
// several files.
std::string PageName(const ScanResults& r, int page) {
  std::string s = "page " + std::to_string(page);
  int first = 1;
  for (size_t i = 0; r.mFilePaths.size() > 1 && i < r.mFilePaths.size() && i < r.mPageCounts.size(); ++i) {
    if (page < first + r.mPageCounts[i])
      return s + " (page " + std::to_string(page - first + 1) + " of " + r.mFilePaths[i] + ")";
    first += r.mPageCounts[i];
  }
  return s;
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
  if (!r.mFilePaths.empty()) s += " into " + Files(r);
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

}  // namespace

int RunScan(ToolOptions& options, FILE* out, FILE* err) {
  ScanParams& params = options.params;
  gStopNow.store(false);
  TakeStopSignals();
  // Without a usable bus no scanner can ever be found: say why at once
  // instead of searching for 9 seconds and blaming the scanner.
  if (!BusUsable(err)) return kExitUsbUnavailable;
  // The output is checked before the scanner is touched: a file that
  // cannot be made must not cost a sheet.
  if (int status = CheckOutput(params, err)) return status;
  // The engine's worker threads, started before the scanner is touched: a
  // machine that cannot give them is told so with status 1.
  std::string engineError;
  if (!StartEngineQueues(&engineError)) {
    std::fprintf(err, "quirel: %s\n", engineError.c_str());
    return kExitFailure;
  }
  // The scanner, found and opened once, and the job against its model's
  // limits, before the job sends anything.
  uint32_t productId = 0;
  if (int status = FindScanner(params.mLocation, options.verbose, &StopRequested, &productId, err)) {
    if (status == kExitStoppedEarly) std::fprintf(out, "Stopped before the scan began; no page scanned.\n");
    return status;
  }
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
    return kExitFailure;
  } catch (const std::bad_alloc&) {
    std::fprintf(err, "quirel: out of memory\n");
    return kExitFailure;
  }
  std::cout.flush();
  fifo.Close();
  const bool interrupted = gStopNow.load();

  if (!completed) {
    // Only a job that saw the stop request ends without results ...
    if (interrupted) {
      std::fprintf(out, "Stopped before the scan began; no page scanned.\n");
      return kExitStoppedEarly;
    }
    // ... or one whose scan thread never ran: the engine said why.
    std::string text = errText.str();
    while (!text.empty() && text.back() == '\n') text.pop_back();
    std::fprintf(err, "quirel: %s\n", text.empty() ? "the scan could not start" : text.c_str());
    return kExitFailure;
  }
  for (size_t i = 0; i < results.mFilePaths.size(); ++i)
    std::fprintf(out, "file: %s (%d %s)\n", results.mFilePaths[i].c_str(), results.mPageCounts[i],
                 results.mPageCounts[i] == 1 ? "page" : "pages");
  if (interrupted && results.mStatus == kScanOK) {
    const std::string kept = results.mFilePaths.empty() ? "no file was written"
                             : (results.mTotalPages == 1 ? "1 page is" : Pages(results.mTotalPages) + " are") +
                                   std::string(" in ") + Files(results);
    std::fprintf(out, "Scan stopped on request: %s; sheets left in the feeder were not scanned.\n", kept.c_str());
  }
  std::fprintf(out, "%s\n", Summary(results).c_str());
  std::fflush(out);
  if (!results.mErrorMsg.empty()) {
    std::fprintf(err, "%s\n", results.mErrorMsg.c_str());
    if (std::string what = Explanation(results); !what.empty()) std::fprintf(err, "%s\n", what.c_str());
    std::fflush(err);
  }
  return ExitStatusFor(results, interrupted);
}

}  // namespace quirel::tool
