// Advice to the kernel for the large blocks of the page pipeline.
//
// A page is written once, front to back, right after it is allocated. With
// 4 KiB pages every first touch is a page fault, and on virtual machines a
// fault costs several microseconds: for a 600-dpi colour page that is most
// of the time the side takes. Asking for transparent huge pages makes the
// first touch about forty times cheaper.
#pragma once

#include <cstddef>

namespace ZuzuvovOvav {

// Marks the 2 MiB-aligned interior of a freshly allocated block of `bytes`
// bytes for transparent huge pages. Blocks under 4 MiB, null blocks and
// systems that refuse are left as they are; the block's contents are not
// touched.
void AdvisePageMemory(void* block, size_t bytes);

}  // namespace ZuzuvovOvav
