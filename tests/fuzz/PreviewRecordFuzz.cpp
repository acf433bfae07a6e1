// Fuzz target: the preview FIFO's records (header line, pixel block, end
// byte) as the application's reader takes them from the tool. Every record
// read must have the size its header gives; refused headers allocate nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "PreviewFifoTask.h"

using quirel::frontend::PreviewBitmap;
using quirel::frontend::PreviewRecordReader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t at = 0;
  // Reads of varying length, as a pipe delivers them.
  PreviewRecordReader reader([&](void* buf, size_t n) -> ssize_t {
    size_t k = n < size - at ? n : size - at;
    if (k > 1 && at < size) k = 1 + data[at] % k;
    std::memcpy(buf, data + at, k);
    at += k;
    return ssize_t(k);
  });
  for (int pages = 0; pages < 64; ++pages) {
    PreviewBitmap page;
    std::string why;
    if (reader.next(&page, &why) != PreviewRecordReader::Result::kPage) break;
    if (page.width <= 0 || page.height <= 0 || page.rowBytes < page.width || !page.data) std::abort();
    // Touch the whole block: it must be as large as the header says.
    volatile uint8_t sum = 0;
    for (size_t i = 0; i < size_t(page.height) * size_t(page.rowBytes); ++i) sum = uint8_t(sum + page.data[i]);
    std::free(page.data);
  }
  return 0;
}
