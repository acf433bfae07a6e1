// Fuzz target for the TIFF append reader: any bytes given as an existing
// TIFF must end in a verdict (accept or a refusal text), never in a crash, a
// hang or a read outside the input; an accepted chain must end where a
// final link (holding 0) lies inside the input.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "TiffAppendReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using ZuzuvovOvav::TiffAppendReader;
  const TiffAppendReader::ReadFn read = [data, size](int64_t offset, void* buf, size_t len) {
    if (offset < 0 || uint64_t(offset) > size || len > size - uint64_t(offset)) return false;
    std::memcpy(buf, data + offset, len);
    return true;
  };
  TiffAppendReader reader;
  if (reader.Read(read, int64_t(size))) {
    const int64_t at = reader.mLinkPos;
    if (at < 0 || uint64_t(at) + uint64_t(reader.mLinkSize) > size) __builtin_trap();
    for (int i = 0; i < reader.mLinkSize; ++i)
      if (data[at + i] != 0) __builtin_trap();
    if (reader.mDirCount > TiffAppendReader::kMaxDirectories) __builtin_trap();
    // Walking on from the end found must find the same end at once.
    TiffAppendReader again;
    if (!again.Read(read, int64_t(size), at) || again.mLinkPos != at || again.mDirCount != 0)
      __builtin_trap();
  } else if (reader.mErrorMsg.empty()) {
    __builtin_trap();
  }
  return 0;
}
