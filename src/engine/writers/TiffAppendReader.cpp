// Reading the chain of an existing TIFF file for appending pages.
#include "TiffAppendReader.h"

#include <unistd.h>

#include <cerrno>
#include <unordered_set>

namespace ZuzuvovOvav {

namespace {

uint64_t Unpack(const uint8_t* b, int len, bool little) {
  uint64_t v = 0;
  for (int i = 0; i < len; ++i) v |= uint64_t(b[little ? i : len - 1 - i]) << (8 * i);
  return v;
}

}  // namespace

bool TiffAppendReader::Fail(const std::string& text) {
  mErrorMsg = text;
  return false;
}

bool TiffAppendReader::Read(int fd, int64_t fileLen, int64_t fromLink) {
  const ReadFn read = [fd](int64_t offset, void* buf, size_t len) {
    ssize_t n;
    do {
      n = ::pread(fd, buf, len, offset);
    } while (n < 0 && errno == EINTR);
    return n == ssize_t(len);
  };
  return Read(read, fileLen, fromLink);
}

bool TiffAppendReader::Read(const ReadFn& read, int64_t fileLen, int64_t fromLink) {
  mDirCount = 0;
  mLinkPos = -1;
  mErrorMsg.clear();
  if (fileLen < 8) return Fail("Target file is too short to be a TIFF file.");
  uint8_t head[16];
  if (!read(0, head, 8)) return Fail("Target file cannot be read.");
  if (head[0] != head[1] || (head[0] != 'I' && head[0] != 'M'))
    return Fail("Target file does not start with a TIFF header.");
  mLittleEndian = head[0] == 'I';
  const uint64_t version = Unpack(head + 2, 2, mLittleEndian);
  if (version != 42 && version != 43) return Fail("Target file does not start with a TIFF header.");
  mBigTiff = version == 43;
  int64_t headerSize = 8;
  if (mBigTiff) {
    if (fileLen < 16) return Fail("Target file is too short to be a TIFF file.");
    if (!read(8, head + 8, 8)) return Fail("Target file cannot be read.");
    if (Unpack(head + 4, 2, mLittleEndian) != 8 || Unpack(head + 6, 2, mLittleEndian) != 0)
      return Fail("Target file does not start with a TIFF header.");
    headerSize = 16;
  }
  mLinkSize = mBigTiff ? 8 : 4;
  const int countSize = mBigTiff ? 8 : 2;
  const int64_t entrySize = mBigTiff ? 20 : 12;

  int64_t link = fromLink >= 0 ? fromLink : headerSize - mLinkSize;
  std::unordered_set<uint64_t> visited;
  for (;;) {
    uint8_t b[8];
    if (link < 0 || link > fileLen - mLinkSize || !read(link, b, size_t(mLinkSize)))
      return Fail("Directory chain of target TIFF file is truncated.");
    const uint64_t next = Unpack(b, mLinkSize, mLittleEndian);
    if (next == 0) break;
    const auto which = [this] {
      return "Directory " + std::to_string(mDirCount) + " of target TIFF file";
    };
    if (!visited.insert(next).second)
      return Fail("Directory chain of target TIFF file loops back to an earlier directory.");
    if (++mDirCount > kMaxDirectories)
      return Fail("Target TIFF file has more than " + std::to_string(kMaxDirectories) + " directories.");
    // Compared without adding to the offset, which comes from the file.
    if (next < uint64_t(headerSize) || next > uint64_t(fileLen) ||
        uint64_t(fileLen) - next < uint64_t(countSize + mLinkSize))
      return Fail(which() + " lies outside the file.");
    const int64_t dir = int64_t(next);
    if (!read(dir, b, size_t(countSize))) return Fail(which() + " cannot be read.");
    const uint64_t count = Unpack(b, countSize, mLittleEndian);
    if (count == 0) return Fail(which() + " is empty.");
    if (count > uint64_t(fileLen - dir - countSize - mLinkSize) / uint64_t(entrySize))
      return Fail(which() + " is truncated.");
    link = dir + countSize + int64_t(count) * entrySize;
  }
  mLinkPos = link;
  return true;
}

}  // namespace ZuzuvovOvav
