// What both format writers need from a page besides its row count (which
// is ImageInfo::ValidLineCount, as for the page buffers and previews): a
// check that its bitmap can be read as described, and (ZLibTask.h)
// DeflatePage for its gray or colour rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ImageInfo.h"
#include "MallocBuffer.h"
#include "ZLibTask.h"

namespace ZuzuvovOvav {

// Bytes of one packed row as written: width bits for line art, width bytes
// for gray, three times that for colour.
int64_t PackedRowBytes(const ImageInfo& image);

// Null when the page's bitmap holds what its fields describe; else the
// reason it cannot be written.
const char* PageDataProblem(const ImageInfo& image);

}  // namespace ZuzuvovOvav
