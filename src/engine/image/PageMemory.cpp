// Page memory advice to the host (see PageMemory.h).
#include "PageMemory.h"

#include <sys/mman.h>

#include <cstdint>

namespace ZuzuvovOvav {

void AdvisePageMemory(void* block, size_t bytes) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kHuge = uintptr_t(2) << 20;
  if (!block || bytes < 2 * kHuge) return;
  const uintptr_t start = (reinterpret_cast<uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(kHuge - 1);
  // Advice only: a refusal changes nothing but the speed.
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
  (void)block;
  (void)bytes;
#endif
}

}  // namespace ZuzuvovOvav
