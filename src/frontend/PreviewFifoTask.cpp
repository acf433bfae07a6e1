// PreviewFifoTask: the thread that reads page previews from the tool's FIFO and hands them to the main thread.
#include "PreviewFifoTask.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FrontendLog.h"

namespace quirel::frontend {

PreviewHeader ParsePreviewHeader(const char* bytes, size_t size) {
  uint32_t numbers[4] = {0, 0, 0, 0};
  size_t i = 0;
  for (uint32_t& number : numbers) {
    while (i < size && (bytes[i] < '0' || bytes[i] > '9')) ++i;
    uint64_t v = 0;
    for (; i < size && bytes[i] >= '0' && bytes[i] <= '9'; ++i) {
      v = v * 10 + uint64_t(bytes[i] - '0');
      if (v > 0xFFFFFFFFu) v = 0x100000000u;
    }
    number = v > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(v);
  }
  return {numbers[0], numbers[1], numbers[2], numbers[3]};
}

std::string CheckPreviewHeader(const PreviewHeader& h) {
  if (h.width > kPreviewMaxSide || h.height > kPreviewMaxSide)
    return "the preview size " + std::to_string(h.width) + " x " + std::to_string(h.height) + " is beyond " +
           std::to_string(kPreviewMaxSide) + " pixels";
  const uint64_t pixelBytes = h.depth == 1 ? 1 : 4;
  if (uint64_t(h.rowBytes) < uint64_t(h.width) * pixelBytes)
    return "a row of " + std::to_string(h.rowBytes) + " bytes cannot hold " + std::to_string(h.width) + " pixels of depth " +
           std::to_string(h.depth);
  const uint64_t block = uint64_t(h.height) * uint64_t(h.rowBytes);
  if (block > kPreviewMaxBytes || block > uint64_t(INT32_MAX))
    return "a preview of " + std::to_string(block) + " bytes is larger than " + std::to_string(kPreviewMaxBytes) + " bytes";
  return {};
}

PreviewRecordReader::Result PreviewRecordReader::next(PreviewBitmap* page, std::string* why) {
  char header[kPreviewHeaderMax];
  size_t stored = 0;
  while (stored < kPreviewHeaderMax) {
    char c;
    if (mRead(&c, 1) != 1) break;
    header[stored++] = c;
    if (c == '\n' || c == '\r') break;
  }
  if (stored == 0) return Result::kEnd;

  const PreviewHeader h = ParsePreviewHeader(header, stored);
  if (h.width == 0 || h.height == 0 || h.depth == 0 || h.rowBytes == 0) return Result::kEnd;
  if (std::string problem = CheckPreviewHeader(h); !problem.empty()) {
    *why = problem;
    return Result::kBad;
  }

  const size_t size = size_t(h.height) * size_t(h.rowBytes);
  auto* data = static_cast<uint8_t*>(std::malloc(size));
  if (!data) {
    *why = "no memory for a preview of " + std::to_string(size) + " bytes";
    return Result::kBad;
  }
  size_t got = 0;
  while (got < size) {
    const ssize_t n = mRead(data + got, size - got);
    if (n <= 0) {
      std::free(data);
      *why = "the preview stream ended inside a page (" + std::to_string(got) + " of " + std::to_string(size) + " bytes)";
      return Result::kBad;
    }
    got += size_t(n);
  }
  // The byte after the pixels carries nothing; its absence is no loss.
  char tail;
  mRead(&tail, 1);

  page->data = data;
  page->width = int32_t(h.width);
  page->height = int32_t(h.height);
  page->depth = int32_t(h.depth);
  page->rowBytes = int32_t(h.rowBytes);
  return Result::kPage;
}

PreviewFifoTask::PreviewFifoTask(const std::string& path, Deliver deliver) : mDeliver(std::move(deliver)) {
  // Opening the reading end without O_NONBLOCK would wait for the writer;
  // this open returns at once and lets the tool open its end.
  mFifo = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (mFifo < 0) {
    Log("preview: cannot open the preview fifo %s: %s; no previews for this scan", path.c_str(), std::strerror(errno));
    return;
  }
  struct stat st;
  if (fstat(mFifo, &st) != 0 || !S_ISFIFO(st.st_mode)) {
    Log("preview: %s is not a fifo; no previews for this scan", path.c_str());
    close(mFifo);
    mFifo = -1;
    return;
  }
  if (pipe2(mWake, O_CLOEXEC | O_NONBLOCK) != 0) {
    Log("preview: cannot make a pipe: %s; no previews for this scan", std::strerror(errno));
    close(mFifo);
    mFifo = -1;
    return;
  }
  mEnded.store(false);
  mThread = std::thread(&PreviewFifoTask::entry, this);
}

PreviewFifoTask::~PreviewFifoTask() {
  mStop.store(true);
  signal();
  join();
  for (int fd : {mFifo, mWake[0], mWake[1]})
    if (fd >= 0) close(fd);
}

void PreviewFifoTask::signal() {
  if (mWake[1] >= 0) {
    const char c = 1;
    [[maybe_unused]] ssize_t n = write(mWake[1], &c, 1);
  }
}

void PreviewFifoTask::writerGone() {
  mWriterGone.store(true);
  signal();
}

void PreviewFifoTask::join() {
  if (mThread.joinable()) mThread.join();
}

ssize_t PreviewFifoTask::readSome(void* buf, size_t n) {
  for (;;) {
    if (mStop.load()) return -1;
    pollfd fds[2] = {{mFifo, POLLIN, 0}, {mWake[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      Log("preview: waiting for the preview fifo failed: %s", std::strerror(errno));
      return -1;
    }
    if (mStop.load()) return -1;
    // Data, or the end once a writer has come and gone. Before any writer
    // has opened the FIFO, Linux reports neither.
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t got = read(mFifo, buf, n);
      if (got >= 0) return got;
      if (errno == EAGAIN || errno == EINTR) continue;
      Log("preview: reading the preview fifo failed: %s", std::strerror(errno));
      return -1;
    }
    // Nothing in the FIFO and the tool gone: no writer will come.
    if (mWriterGone.load()) return 0;
  }
}

void PreviewFifoTask::entry() {
  struct Ended {
    std::atomic<bool>& flag;
    ~Ended() { flag.store(true); }
  } ended{mEnded};
  // A failure in here (no memory for a page, a receiver that throws) ends
  // the previews of this scan, never the application.
  try {
    readRecords();
  } catch (const std::exception& e) {
    Log("preview: %s; no more previews for this scan", e.what());
  } catch (...) {
    Log("preview: reading the previews failed; no more previews for this scan");
  }
}

void PreviewFifoTask::readRecords() {
  PreviewRecordReader reader([this](void* buf, size_t n) { return readSome(buf, n); });
  for (;;) {
    PreviewBitmap page;
    std::string why;
    const auto result = reader.next(&page, &why);
    if (result == PreviewRecordReader::Result::kEnd) return;
    if (result == PreviewRecordReader::Result::kBad) {
      if (!mStop.load()) Log("preview: %s; no more previews for this scan", why.c_str());
      return;
    }
    ++mPages;
    mDeliver(page);
  }
}

}  // namespace quirel::frontend
