#include "ToolScan.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

#include "HostClock.h"
#include "HostFolders.h"
#include "ToolQueries.h"
#include "ToolStatus.h"

#ifdef QUIREL_HAVE_SCAN
#include "PagePreview.h"
#include "ScanJob.h"
#endif

namespace quirel::tool {

#ifndef QUIREL_HAVE_SCAN

int RunScan(ToolOptions&, FILE*, FILE* err) {
  std::fprintf(err, "quirel: this build cannot scan; only --enumerate and --capabilities are available\n");
  return kExitUsage;
}

#else

using namespace ZuzuvovOvav;

namespace {

// How long the tool waits for a reader to open the preview FIFO before it
// goes on without previews (a shell user who asked for them by mistake
// must not wait for ever).
constexpr int kFifoOpenSeconds = 10;

void OnInterrupt(int) { gStopNow.store(true); }

bool WriteAll(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    len -= size_t(n);
  }
  return true;
}

// The FIFO through which the desktop application receives a preview of
// every finished side.
class PreviewFifo {
 public:
  ~PreviewFifo() { Close(); }

  // Creates the FIFO, announces it on `out` and waits a while for a reader.
  // Returns false (after saying why on `out`) when previews cannot be sent;
  // the scan goes on without them.
  bool Open(FILE* out) {
    std::string folder;
    if (int err = host::TemporaryItemsFolder(&folder)) {
      std::fprintf(out, "preview: no temporary folder (%s); going on without previews\n", std::strerror(err));
      return false;
    }
    for (int attempt = 0; attempt < 100 && mPath.empty(); ++attempt) {
      char name[64];
      std::snprintf(name, sizeof name, "/quirel-preview-%d-%d", int(getpid()), attempt);
      std::string path = folder + name;
      if (mkfifo(path.c_str(), 0600) == 0) mPath = path;
      else if (errno != EEXIST) break;
    }
    if (mPath.empty()) {
      std::fprintf(out, "preview: cannot create the preview fifo (%s); going on without previews\n", std::strerror(errno));
      return false;
    }
    std::fprintf(out, "preview fifo: %s\n", mPath.c_str());
    std::fflush(out);
    // A non-blocking open for writing fails with ENXIO until a reader has
    // the FIFO open; poll for one instead of blocking for ever.
    for (int tries = 0; tries < kFifoOpenSeconds * 20 && !gStopNow.load(); ++tries) {
      mFd = open(mPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (mFd >= 0 || errno != ENXIO) break;
      host::SleepMicros(50000);
    }
    if (mFd < 0) {
      std::fprintf(out, "preview: nobody opened the preview fifo; going on without previews\n");
      std::fflush(out);
      Remove();
      return false;
    }
    // Writes block from here on: the reader takes the records at its pace.
    fcntl(mFd, F_SETFL, fcntl(mFd, F_GETFL) & ~O_NONBLOCK);
    return true;
  }

  // One record: header line, pixel rows, one further byte. A reader that
  // went away ends the previews, never the scan.
  void Write(const PagePreview& preview, bool color) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mFd < 0 || preview.mType == 0 || !preview.mBitMap || preview.mWidth <= 0 || preview.mHeight <= 0) return;
    char header[33];
    int n = std::snprintf(header, sizeof header, "%d %d %d %d\n", int(preview.mWidth), int(preview.mHeight),
                          color ? 4 : 1, int(preview.mRowBytes));
    const char tail = 0;
    if (n <= 0 || n > 32 || !WriteAll(mFd, header, size_t(n)) ||
        !WriteAll(mFd, preview.mBitMap, size_t(preview.mHeight) * size_t(preview.mRowBytes)) ||
        !WriteAll(mFd, &tail, 1)) {
      close(mFd);
      mFd = -1;
    }
  }

  void Close() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mFd >= 0) {
      // A header of zeros ends the reader's stream even if it keeps the
      // FIFO open.
      WriteAll(mFd, "0 0 0 0\n", 8);
      close(mFd);
      mFd = -1;
    }
    Remove();
  }

 private:
  void Remove() {
    if (!mPath.empty()) unlink(mPath.c_str());
    mPath.clear();
  }

  std::mutex mMutex;
  std::string mPath;
  int mFd = -1;
};

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

std::string Summary(const ScanResults& r) {
  std::string s = std::to_string(r.mTotalPages) + (r.mTotalPages == 1 ? " page scanned" : " pages scanned");
  if (r.mFilePaths.size() == 1)
    s += " into " + r.mFilePaths[0];
  else if (r.mFilePaths.size() > 1)
    s += " into " + std::to_string(r.mFilePaths.size()) + " files";
  if (r.mDoubleFeeds > 0) s += "; " + std::to_string(r.mDoubleFeeds) + " double feed(s) noted";
  return s + ".";
}

}  // namespace

int RunScan(ToolOptions& options, FILE* out, FILE* err) {
  ScanParams& params = options.params;
  gStopNow.store(false);
  // Without a usable bus no scanner can ever be found: say why at once
  // instead of searching for 9 seconds and blaming the scanner.
  if (!BusUsable(err)) return kExitUsbUnavailable;

  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  PreviewFifo fifo;
  bool previews = options.preview && fifo.Open(out);
  if (!previews) params.mPreviewWidth = params.mPreviewHeight = 0;

  const bool color = params.mImageType == kImageTypeColor;
  std::mutex outMutex;
  std::atomic<int> sides{0};
  params.mPageScannedFunc = [&](const PagePreview* preview) {
    int n = ++sides;
    {
      std::lock_guard<std::mutex> lock(outMutex);
      // Scanned, not yet written: the page write may still fail.
      std::fprintf(out, "side %d scanned\n", n);
      std::fflush(out);
    }
    if (preview) {
      if (previews) fifo.Write(*preview, color);
      std::free(preview->mBitMap);
    }
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
  }
  std::cout.flush();
  fifo.Close();
  const bool interrupted = gStopNow.load();

  if (!completed) {
    std::fprintf(out, "Stopped before the scan began; no page scanned.\n");
    return kExitStoppedEarly;
  }
  for (size_t i = 0; i < results.mFilePaths.size(); ++i)
    std::fprintf(out, "file: %s (%d %s)\n", results.mFilePaths[i].c_str(), results.mPageCounts[i],
                 results.mPageCounts[i] == 1 ? "page" : "pages");
  std::fprintf(out, "%s\n", Summary(results).c_str());
  std::fflush(out);
  if (!results.mErrorMsg.empty()) {
    std::fprintf(err, "%s\n", results.mErrorMsg.c_str());
    // The engine's transport texts carry the host's code; say in words what
    // the usual one means.
    if (results.mErrorMsg.find("error (0xe00002c0") != std::string::npos ||
        results.mErrorMsg.find("error (0xe00002ed") != std::string::npos)
      std::fprintf(err, "The scanner stopped answering: was it unplugged or switched off? %s\n",
                   results.mTotalPages > 0 ? "The pages scanned before are in the file." : "No page was written.");
    std::fflush(err);
  }
  return ExitStatusFor(results, interrupted);
}

#endif  // QUIREL_HAVE_SCAN

}  // namespace quirel::tool
