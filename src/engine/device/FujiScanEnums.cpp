#include "FujiScanEnums.h"

namespace ZuzuvovOvav {

bool gVerbose = false;

void AssertFailed(int line, const char* file, const char* expression) {
  std::fprintf(stderr, "line %d of %s, assertion failed: %s\n", line, file, expression);
}

uint32_t SideRotation(uint32_t rotationCode, bool front) {
  uint32_t rp = rotationCode;
  QUIREL_ASSERT(rp <= 0xf);
  return front ? (rp >> 2) : (rp & 3);
}

}  // namespace ZuzuvovOvav
