// The tool's preview FIFO: making it, announcing it and writing each page's preview record.
#include "ToolPreview.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "HostClock.h"
#include "HostFolders.h"

namespace quirel::tool {

namespace {

double NowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

PreviewFifo::~PreviewFifo() { Close(); }

bool PreviewFifo::Open(bool (*stopRequested)()) {
  std::string folder;
  if (int err = host::TemporaryItemsFolder(&folder)) {
    std::fprintf(mOut, "preview: no temporary folder (%s); going on without previews\n", std::strerror(err));
    return false;
  }
  for (int attempt = 0; attempt < 100 && mPath.empty(); ++attempt) {
    char name[64];
    std::snprintf(name, sizeof name, "/quirel-preview-%d-%d", int(getpid()), attempt);
    std::string path = folder + name;
    if (mkfifo(path.c_str(), 0600) == 0)
      mPath = path;
    else if (errno != EEXIST)
      break;
  }
  if (mPath.empty()) {
    std::fprintf(mOut, "preview: cannot create the preview fifo (%s); going on without previews\n",
                 std::strerror(errno));
    return false;
  }
  std::fprintf(mOut, "preview fifo: %s\n", mPath.c_str());
  std::fflush(mOut);
  // A non-blocking open for writing fails with ENXIO until a reader has the
  // FIFO open; poll for one instead of blocking for ever.
  int fd = -1;
  for (int tries = 0; tries < kPreviewOpenSeconds * 20 && !stopRequested(); ++tries) {
    fd = open(mPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 || errno != ENXIO) break;
    host::SleepMicros(50000);
  }
  if (fd < 0) {
    std::fprintf(mOut, "preview: nobody opened the preview fifo; going on without previews\n");
    std::fflush(mOut);
    Remove();
    return false;
  }
  // The descriptor stays non-blocking: the writer waits for the reader with
  // a limit of its own.
  mFd = fd;
  try {
    mWriter = std::thread([this] { WriterLoop(); });
    std::lock_guard<std::mutex> lock(mMutex);
    mRunning = true;
  } catch (const std::system_error& e) {
    std::fprintf(mOut, "preview: cannot start the preview writer (%s); going on without previews\n", e.what());
    std::fflush(mOut);
    close(mFd);
    mFd = -1;
    Remove();
    return false;
  }
  return true;
}

void PreviewFifo::Post(uint8_t* bits, int width, int height, int depth, int rowBytes) {
  if (!bits || width <= 0 || height <= 0 || rowBytes <= 0) {
    std::free(bits);
    return;
  }
  Record record;
  int n = std::snprintf(record.header, sizeof record.header, "%d %d %d %d\n", width, height, depth, rowBytes);
  // The reader takes at most 32 header bytes.
  if (n <= 0 || n > 32) {
    std::free(bits);
    return;
  }
  record.headerLength = size_t(n);
  record.bits = bits;
  record.length = size_t(height) * size_t(rowBytes);

  std::unique_lock<std::mutex> lock(mMutex);
  // Wait for room only while the writer can make some: it takes a record
  // within the stall limit or gives up, so this wait is bounded too.
  mRoom.wait(lock, [&] {
    return mDropping || mClosing || !mRunning || mQueuedBytes == 0 ||
           mQueuedBytes + record.length <= kPreviewQueueBytes;
  });
  if (mDropping || mClosing || !mRunning) {
    lock.unlock();
    std::free(bits);
    return;
  }
  try {
    mQueue.push_back(record);
  } catch (...) {
    // No memory for the queue: the side fails (the engine reports it), and
    // its preview is not lost silently.
    lock.unlock();
    std::free(bits);
    throw;
  }
  mQueuedBytes += record.length;
  mWork.notify_one();
}

bool PreviewFifo::WriteBefore(const void* data, size_t length, double deadline, bool* stalled) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n = write(mFd, p, length);
    if (n > 0) {
      p += n;
      length -= size_t(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;  // the reader went away (EPIPE) or worse
    // The pipe is full: wait for the reader to take some, up to the deadline.
    double left = deadline - NowSeconds();
    if (left <= 0) {
      *stalled = true;
      return false;
    }
    pollfd pfd{mFd, POLLOUT, 0};
    int ms = int(std::min(left * 1000.0, 200.0)) + 1;
    if (poll(&pfd, 1, ms) < 0 && errno != EINTR) return false;
    if (pfd.revents & (POLLERR | POLLHUP)) return false;
  }
  return true;
}

bool PreviewFifo::WriteRecord(const Record& record, bool* stalled) {
  const double deadline = NowSeconds() + kPreviewStallSeconds;
  const char tail = 0;
  return WriteBefore(record.header, record.headerLength, deadline, stalled) &&
         WriteBefore(record.bits, record.length, deadline, stalled) && WriteBefore(&tail, 1, deadline, stalled);
}

void PreviewFifo::GiveUp(bool stalled) {
  std::deque<Record> dropped;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mDropping = true;
    dropped.swap(mQueue);
    mQueuedBytes = 0;
    mRoom.notify_all();
  }
  for (Record& r : dropped) std::free(r.bits);
  // The reader sees the end of the stream (a record cut short at worst)
  // instead of waiting for the rest of it.
  close(mFd);
  mFd = -1;
  if (stalled) {
    std::fprintf(mErr, "preview: the reader has taken no preview for %d seconds; going on without previews\n",
                 kPreviewStallSeconds);
    std::fflush(mErr);
  }
}

void PreviewFifo::WriterLoop() {
  for (;;) {
    Record record;
    {
      std::unique_lock<std::mutex> lock(mMutex);
      mWork.wait(lock, [&] { return !mQueue.empty() || mClosing; });
      if (mQueue.empty()) break;  // closing and everything written
      record = mQueue.front();
      mQueue.pop_front();
    }
    bool stalled = false;
    bool written = WriteRecord(record, &stalled);
    std::free(record.bits);
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mQueuedBytes -= std::min(mQueuedBytes, record.length);
      mRoom.notify_all();
    }
    if (!written) {
      GiveUp(stalled);
      return;
    }
  }
  // A header of zeros ends the reader's stream even if it keeps the FIFO
  // open.
  bool stalled = false;
  WriteBefore("0 0 0 0\n", 8, NowSeconds() + kPreviewStallSeconds, &stalled);
  close(mFd);
  mFd = -1;
}

void PreviewFifo::Close() {
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mClosing = true;
    mWork.notify_all();
    mRoom.notify_all();
  }
  if (mWriter.joinable()) mWriter.join();
  Remove();
}

void PreviewFifo::Remove() {
  if (!mPath.empty()) unlink(mPath.c_str());
  mPath.clear();
}

}  // namespace quirel::tool
