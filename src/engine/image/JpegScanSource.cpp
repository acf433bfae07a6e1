// The suspending in-memory JPEG source that the side decoder feeds chunk by
// chunk (see JpegScanSource.h).
#include "JpegScanSource.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

namespace {

struct ScanSource {
  jpeg_source_mgr pub;  // first, so that the library's pointer is ours
  JOCTET* buffer;
  int capacity;
  int pendingSkip;
};

ScanSource* SourceOf(j_decompress_ptr cinfo) { return reinterpret_cast<ScanSource*>(cinfo->src); }

bool EnsureBuffer(ScanSource* src) {
  if (src->buffer) return true;
  src->buffer = static_cast<JOCTET*>(std::malloc(ZuzuvovOvav::kJpegSourceCapacity));
  if (!src->buffer) return false;
  src->capacity = ZuzuvovOvav::kJpegSourceCapacity;
  src->pub.next_input_byte = src->buffer;
  src->pub.bytes_in_buffer = 0;
  src->pendingSkip = 0;
  return true;
}

extern "C" void ScanInitSource(j_decompress_ptr cinfo) { EnsureBuffer(SourceOf(cinfo)); }

// Suspends the library: the data comes with the next chunk.
extern "C" boolean ScanFillInputBuffer(j_decompress_ptr) { return FALSE; }

extern "C" void ScanSkipInputData(j_decompress_ptr cinfo, long count) {
  if (count <= 0) return;
  ScanSource* src = SourceOf(cinfo);
  const size_t now = std::min(size_t(count), src->pub.bytes_in_buffer);
  src->pub.next_input_byte += now;
  src->pub.bytes_in_buffer -= now;
  // What is not here yet is dropped from the bytes that arrive next.
  const long rest = count - long(now);
  src->pendingSkip = rest > INT32_MAX - src->pendingSkip ? INT32_MAX : src->pendingSkip + int(rest);
}

extern "C" void ScanTermSource(j_decompress_ptr cinfo) {
  ScanSource* src = SourceOf(cinfo);
  if (!src) return;
  std::free(src->buffer);
  std::free(src);
  cinfo->src = nullptr;
}

}  // namespace

extern "C" jpeg_source_mgr* jpeg_scan_src(j_decompress_ptr cinfo) {
  // Another kind of source (one of the library's own) is replaced, not
  // taken for ours.
  ScanSource* src = cinfo->src && cinfo->src->init_source == ScanInitSource ? SourceOf(cinfo) : nullptr;
  if (!src) {
    src = static_cast<ScanSource*>(std::calloc(1, sizeof(ScanSource)));
    if (!src) return nullptr;
    cinfo->src = &src->pub;
  } else {
    std::free(src->buffer);
  }
  src->pub.init_source = ScanInitSource;
  src->pub.fill_input_buffer = ScanFillInputBuffer;
  src->pub.skip_input_data = ScanSkipInputData;
  src->pub.resync_to_restart = jpeg_resync_to_restart;
  src->pub.term_source = ScanTermSource;
  src->buffer = nullptr;
  src->capacity = 0;
  src->pendingSkip = 0;
  src->pub.next_input_byte = nullptr;
  src->pub.bytes_in_buffer = 0;
  return &src->pub;
}

extern "C" unsigned char* jpeg_scan_src_append(j_decompress_ptr cinfo, const unsigned char* data, int* len) {
  ScanSource* src = SourceOf(cinfo);
  const int given = *len;
  *len = 0;
  if (!src || !EnsureBuffer(src)) return nullptr;
  // The library resumes from the unread bytes; keep them at the front.
  const size_t unread = src->pub.bytes_in_buffer;
  if (unread && src->pub.next_input_byte != src->buffer) std::memmove(src->buffer, src->pub.next_input_byte, unread);
  src->pub.next_input_byte = src->buffer;
  if (!data || given <= 0) return src->buffer;
  const int skipped = std::min(src->pendingSkip, given);
  src->pendingSkip -= skipped;
  const int copied = int(std::min(size_t(given - skipped), size_t(src->capacity) - unread));
  std::memcpy(src->buffer + unread, data + skipped, size_t(copied));
  src->pub.bytes_in_buffer = unread + size_t(copied);
  *len = skipped + copied;
  return src->buffer;
}
