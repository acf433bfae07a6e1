// What both format writers need from a page: its row count, a check that
// its bitmap can be read as described, and (ZLibTask.h) DeflatePage for its
// gray or colour rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ImageInfo.h"
#include "MallocBuffer.h"
#include "ZLibTask.h"

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

}  // namespace ZuzuvovOvav
