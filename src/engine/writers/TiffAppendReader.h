// TiffAppendReader: checks an existing TIFF before directories are added to
// it. It walks the directory chain once, with bounds: every directory must
// lie inside the file with its whole entry table and link, none may be
// visited twice, and there may be at most kMaxDirectories of them. A chain
// that loops would keep a writer linking its directory for ever; one that
// ends in a damaged directory would have the new pages written where no
// reader reaches them. Either is refused with a text that says why.
//
// On success it tells where the chain ends: the position of the final link
// (the one holding 0), which the next directory written is linked from.
// Classic TIFF and BigTIFF, either byte order. Thread-bound; it reads only
// through the function it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace ZuzuvovOvav {

class TiffAppendReader {
 public:
  // More directories than any scan makes; keeps a hostile chain's walk short.
  static constexpr int64_t kMaxDirectories = 1 << 20;

  // Reads `len` bytes at `offset`; false when they cannot all be read.
  using ReadFn = std::function<bool(int64_t offset, void* buf, size_t len)>;

  // Walks the chain of a file of `fileLen` bytes (1 or more) from the
  // header, or, with `fromLink` 0 or more, from the link at that position
  // (a chain end found earlier). Returns false with the reason in mErrorMsg.
  bool Read(const ReadFn& read, int64_t fileLen, int64_t fromLink = -1);
  // The same over an open file descriptor.
  bool Read(int fd, int64_t fileLen, int64_t fromLink = -1);

  bool mLittleEndian = true;
  bool mBigTiff = false;
  int64_t mDirCount = 0;   // directories walked
  int64_t mLinkPos = -1;   // position of the final link
  int mLinkSize = 4;       // 4, or 8 in a BigTIFF
  std::string mErrorMsg;

 private:
  bool Fail(const std::string& text);
};

}  // namespace ZuzuvovOvav
