// BufferedFile: buffered writes at counted positions that keep the first error.
#include "BufferedFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <unistd.h>

namespace ZuzuvovOvav {

BufferedFile::~BufferedFile() { Detach(); }

void BufferedFile::Attach(int fd, int64_t position) {
  mFd = fd;
  mError = 0;
  mBufStart = position;
  mBuf.clear();
  // Without memory for the buffer every write goes straight to the file:
  // slower, but the same bytes.
  try {
    mBuf.reserve(kBufferSize);
  } catch (const std::bad_alloc&) {
  }
}

void BufferedFile::WriteOut(const uint8_t* data, size_t len, int64_t at) {
  while (len > 0 && mError == 0) {
    const ssize_t n = ::pwrite(mFd, data, len, at);
    if (n < 0) {
      if (errno == EINTR) continue;
      mError = errno;
      return;
    }
    if (n == 0) {
      mError = EIO;
      return;
    }
    data += n;
    len -= size_t(n);
    at += n;
  }
}

void BufferedFile::Write(const void* data, size_t len) {
  if (mFd < 0 || mError != 0) {
    // Keep the position moving so that offsets stay what they would be.
    mBufStart += int64_t(mBuf.size() + len);
    mBuf.clear();
    return;
  }
  const uint8_t* p = static_cast<const uint8_t*>(data);
  // Within the capacity reserved at Attach the buffer never reallocates.
  if (mBuf.size() + len > mBuf.capacity()) {
    Flush();
    if (len >= mBuf.capacity()) {
      WriteOut(p, len, mBufStart);
      mBufStart += int64_t(len);
      return;
    }
  }
  mBuf.insert(mBuf.end(), p, p + len);
}

bool BufferedFile::Flush() {
  if (mFd >= 0 && !mBuf.empty()) WriteOut(mBuf.data(), mBuf.size(), mBufStart);
  mBufStart += int64_t(mBuf.size());
  mBuf.clear();
  return mError == 0;
}

int BufferedFile::Sync() {
  if (!Flush()) return mError;
  int rc;
  do {
    rc = ::fdatasync(mFd);
  } while (rc != 0 && errno == EINTR);
  // A descriptor that cannot be synced (a pipe, some special files) has
  // nothing to make permanent.
  if (rc != 0 && errno != EINVAL && errno != EROFS) mError = errno;
  return mError;
}

void BufferedFile::SeekTo(int64_t offset) {
  if (offset > mBufStart && !mBuf.empty()) {
    const size_t keep = size_t(std::min<int64_t>(offset - mBufStart, int64_t(mBuf.size())));
    if (mFd >= 0) WriteOut(mBuf.data(), keep, mBufStart);
  }
  mBuf.clear();
  mBufStart = offset;
}

int BufferedFile::Truncate(int64_t length) {
  if (mFd < 0) return EBADF;
  int rc;
  do {
    rc = ::ftruncate(mFd, length);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : errno;
}

int BufferedFile::ByteAt(int64_t offset) const {
  if (mFd < 0 || offset < 0) return -1;
  uint8_t b;
  ssize_t n;
  do {
    n = ::pread(mFd, &b, 1, offset);
  } while (n < 0 && errno == EINTR);
  return n == 1 ? b : -1;
}

void BufferedFile::Detach() {
  mFd = -1;
  mBuf.clear();
  mBufStart = 0;
}

}  // namespace ZuzuvovOvav
