// Reads the page previews that the command-line tool writes into its
// preview FIFO while it scans, on a reader thread of its own, and hands each
// page on without waiting.
//
// Record format, once per page: a header line of at most 32 bytes ended by
// "\n" or "\r" holding four unsigned decimal numbers (width, height, depth,
// row bytes) separated by any characters that are not digits; then height x
// row bytes bytes of pixels; then one further byte. A header with a 0 in it,
// or an empty header at end of file, ends the stream.
//
// The header is outside input: a record whose sizes do not describe a sane
// preview ends the reader (it is never allocated), and so does a pixel block
// cut short by the end of the file.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <thread>

#include "PreviewBitmap.h"

namespace quirel::frontend {

struct PreviewHeader {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t depth = 0;
  uint32_t rowBytes = 0;
};

constexpr size_t kPreviewHeaderMax = 32;
// Largest pixel block accepted from the FIFO.
constexpr uint64_t kPreviewMaxBytes = uint64_t(256) << 20;
// Largest width or height accepted (the tool's previews are far smaller).
constexpr uint32_t kPreviewMaxSide = 32767;

// The four numbers of a header's bytes; a number not found is 0, a number
// too large for 32 bits is held at 0xFFFFFFFF.
PreviewHeader ParsePreviewHeader(const char* bytes, size_t size);

// Empty when the header describes a preview that can be taken (its block
// then fits a signed 32-bit size and kPreviewMaxBytes), else the reason.
std::string CheckPreviewHeader(const PreviewHeader& header);

// Reads records from a byte source. `read` reads up to n bytes and returns
// how many it read, 0 at end of file, or -1 when reading has to end
// (an error, or the reader was told to stop).
class PreviewRecordReader {
 public:
  using ReadFn = std::function<ssize_t(void* buf, size_t n)>;
  explicit PreviewRecordReader(ReadFn read) : mRead(std::move(read)) {}

  enum class Result {
    kPage,  // *page holds the next page; the caller owns page->data
    kEnd,   // the stream ended as the format says
    kBad,   // the stream ended early or held a record that is refused; see *why
  };
  Result next(PreviewBitmap* page, std::string* why);

 private:
  ReadFn mRead;
};

class PreviewFifoTask {
 public:
  // Called on the reader thread with each page; it must not block and takes
  // ownership of page.data.
  using Deliver = std::function<void(PreviewBitmap page)>;

  // Opens `path` for reading without blocking (a FIFO whose writer has not
  // opened it yet is waited for on the reader thread) and starts the thread.
  // A path that cannot be opened, or that is no FIFO, is logged and gives no
  // pages.
  PreviewFifoTask(const std::string& path, Deliver deliver);
  // Stops the reader where it is and waits for its thread.
  ~PreviewFifoTask();
  PreviewFifoTask(const PreviewFifoTask&) = delete;
  PreviewFifoTask& operator=(const PreviewFifoTask&) = delete;

  // The writer has gone for good (the tool has exited): the reader takes
  // what is left in the FIFO and then ends, and ends at once when no writer
  // ever opened the FIFO.
  void writerGone();
  // Waits for the reader thread to end.
  void join();
  int pagesDelivered() const { return mPages.load(); }
  // The reader thread has ended (or never started).
  bool readerEnded() const { return mEnded.load(); }

 private:
  void entry();
  void readRecords();
  ssize_t readSome(void* buf, size_t n);
  void signal();

  Deliver mDeliver;
  int mFifo = -1;
  int mWake[2] = {-1, -1};  // a pipe that wakes the reader's wait
  std::atomic<bool> mWriterGone{false};
  std::atomic<bool> mStop{false};
  std::atomic<int> mPages{0};
  std::atomic<bool> mEnded{true};
  std::thread mThread;
};

}  // namespace quirel::frontend
