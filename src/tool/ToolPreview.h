// The preview FIFO of a scan: the desktop application reads a small preview
// of every finished side from it while the tool scans.
//
// The engine's workers hand the previews over (Post) and a thread of the
// FIFO's own writes them, so that a reader that is slow or stuck never holds
// up the scan: when the reader has not taken a record within
// kPreviewStallSeconds the previews are dropped from then on (said once on
// the error stream) and the scan goes on. A reader that closes its end ends
// the previews quietly.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace quirel::tool {

// How long the tool waits for a reader to open the FIFO before it goes on
// without previews (a shell user who asked for them by mistake must not
// wait for ever).
constexpr int kPreviewOpenSeconds = 10;
// How long one record may wait for the reader to take it.
constexpr int kPreviewStallSeconds = 5;
// Previews waiting to be written, at most: beyond it Post waits until the
// writer has taken one (or has given up), so memory stays bounded.
constexpr size_t kPreviewQueueBytes = size_t(32) << 20;

class PreviewFifo {
 public:
  // Progress and notices go to `out`, the stall notice to `err`.
  PreviewFifo(FILE* out, FILE* err) : mOut(out), mErr(err) {}
  ~PreviewFifo();
  PreviewFifo(const PreviewFifo&) = delete;
  PreviewFifo& operator=(const PreviewFifo&) = delete;

  // Creates the FIFO, announces it on `out` ("preview fifo: PATH") and waits
  // a while for a reader (less when `stopRequested` turns true). Returns
  // false, after saying why on `out`, when previews cannot be sent; the scan
  // goes on without them.
  bool Open(bool (*stopRequested)());

  // One record: a header line "width height depth rowbytes", the pixel rows
  // and one further byte. Takes ownership of `bits` (from malloc), which
  // holds height x rowBytes bytes. Callable from any thread; never waits for
  // the reader, only (bounded) for room in the queue. Throws std::bad_alloc
  // (with `bits` freed) when the queue has no memory for the record.
  void Post(uint8_t* bits, int width, int height, int depth, int rowBytes);

  // Writes what is queued (each record within the stall limit), ends the
  // stream with a header of zeros, closes and removes the FIFO.
  void Close();

 private:
  struct Record {
    char header[33] = {};  // no allocation: a record is copied under the lock
    size_t headerLength = 0;
    uint8_t* bits = nullptr;
    size_t length = 0;
  };

  void WriterLoop();
  // Writes the bytes before `deadline` (monotonic seconds). False when the
  // reader went away (*stalled false) or took too long (*stalled true).
  bool WriteBefore(const void* data, size_t length, double deadline, bool* stalled);
  bool WriteRecord(const Record& record, bool* stalled);
  // Ends the previews: closes the FIFO and drops what is queued.
  void GiveUp(bool stalled);
  void Remove();

  FILE* mOut;
  FILE* mErr;
  std::string mPath;
  int mFd = -1;  // written by the writer thread only once it runs
  std::thread mWriter;

  std::mutex mMutex;  // guards what follows
  std::condition_variable mWork;  // a record was queued, or closing
  std::condition_variable mRoom;  // a record was written, or giving up
  std::deque<Record> mQueue;
  size_t mQueuedBytes = 0;  // of records queued or being written
  bool mRunning = false;   // the writer thread was started
  bool mClosing = false;
  bool mDropping = false;  // previews are no longer written
};

}  // namespace quirel::tool
