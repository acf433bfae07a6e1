// The suspending in-memory JPEG source: libjpeg reads a side's stream from
// it while the scanner's chunks are still arriving.
#pragma once

extern "C" {
struct jpeg_decompress_struct;
struct jpeg_source_mgr;

// The suspending in-memory JPEG source. jpeg_scan_src installs it on a
// decompression object (once; a second call resets it) and returns it. The
// source never asks for more data by itself: the library suspends when the
// buffered bytes run out, and the caller appends more with
// jpeg_scan_src_append, which moves the unread bytes to the front of its
// 1 MiB buffer, drops bytes still owed to a skip request, copies what fits
// of the new bytes, sets *len to the bytes taken from the caller and
// returns the buffer (null if it cannot be allocated). term_source frees
// the buffer and the record and clears the object's source pointer.
struct jpeg_source_mgr* jpeg_scan_src(struct jpeg_decompress_struct* cinfo);
unsigned char* jpeg_scan_src_append(struct jpeg_decompress_struct* cinfo, const unsigned char* data, int* len);
}

namespace ZuzuvovOvav {

constexpr int kJpegSourceCapacity = 1 << 20;

}  // namespace ZuzuvovOvav
