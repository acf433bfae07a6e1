// BufferedFile: a buffered output file with explicit positions, for writers
// that must know exactly which bytes reached the disk. Every write error is
// kept (the first errno), later writes are dropped until the error is
// cleared, and seeking back to a position discards what was buffered after
// it, so that a rolled-back page never reaches the file. It writes through a
// descriptor that its owner opened and closes; without memory for its
// buffer it writes every call through. It never throws. Thread-bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ZuzuvovOvav {

class BufferedFile {
 public:
  BufferedFile() = default;
  ~BufferedFile();
  BufferedFile(const BufferedFile&) = delete;
  BufferedFile& operator=(const BufferedFile&) = delete;

  // Writes through `fd` from now on, starting at `position`.
  void Attach(int fd, int64_t position);
  bool IsOpen() const { return mFd >= 0; }
  int Fd() const { return mFd; }

  // Position of the next byte written.
  int64_t Position() const { return mBufStart + int64_t(mBuf.size()); }
  void Write(const void* data, size_t len);
  // Writes out the buffer; false when any write since the last ClearError
  // failed.
  bool Flush();
  // errno of the first failed write since the last ClearError, or 0.
  int Error() const { return mError; }
  void ClearError() { mError = 0; }
  // Moves the write position to `offset`: buffered bytes before it are
  // written, those after it are dropped.
  void SeekTo(int64_t offset);
  // Writes out the buffer and makes what was written permanent (the data
  // and the file's length, fdatasync). Returns 0 or errno, which is also
  // kept as the file's error.
  int Sync();
  // Cuts the file to `length`, retrying when interrupted. Returns 0 or errno.
  int Truncate(int64_t length);
  // Reads one byte at `offset`; -1 when there is none.
  int ByteAt(int64_t offset) const;
  // Forgets the descriptor without writing the buffer.
  void Detach();

 private:
  void WriteOut(const uint8_t* data, size_t len, int64_t at);

  static constexpr size_t kBufferSize = 256 * 1024;
  int mFd = -1;
  int mError = 0;
  int64_t mBufStart = 0;
  std::vector<uint8_t> mBuf;
};

}  // namespace ZuzuvovOvav
