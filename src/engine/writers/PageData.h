// What both format writers need from a page: its row count, a check that
// its bitmap can be read as described, and its gray or colour rows deflated
// into one zlib stream on the compression queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "ImageInfo.h"
#include "MallocBuffer.h"

namespace ZuzuvovOvav {

// Rows of the stored page: the line count when known for an unturned side,
// else the allocated height; never more than the allocated height.
uint32_t PageRows(const ImageInfo& image);

// Bytes of one packed row as written: width bits for line art, width bytes
// for gray, three times that for colour.
int64_t PackedRowBytes(const ImageInfo& image);

// Null when the page's bitmap holds what its fields describe; else the
// reason it cannot be written.
const char* PageDataProblem(const ImageInfo& image);

// Receives the pieces of the stream in order; returns false to have the
// rest dropped (the slices are still joined).
using DeflateSink = std::function<bool(const uint8_t* data, size_t len)>;

// Deflates `rows` rows of `packedRow` bytes, `stride` bytes apart, in slices
// of about 1 MiB running at once on the compression queue, and hands the
// stream to `sink`: the zlib header, each slice's output, the Adler-32 of
// all rows. The pieces point into *buffer, which must outlive their use.
// Returns false when a slice could not be compressed or the sink refused a
// piece.
bool DeflatePage(const uint8_t* bits, int64_t stride, int64_t rows, int64_t packedRow,
                 const DeflateSink& sink, MallocBuffer* buffer);

}  // namespace ZuzuvovOvav
