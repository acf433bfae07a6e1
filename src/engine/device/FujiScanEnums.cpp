// The engine's assertion report and the side rotation of a rotation code.
#include "FujiScanEnums.h"

#include <string>

namespace ZuzuvovOvav {

bool gVerbose = false;

void AssertFailed(int line, const char* file, const char* expression) {
  // A compiler's file path names the build machine's folders: only the
  // file's name, without its extension, says where the check is.
  std::string name = file ? file : "";
  const size_t slash = name.rfind('/');
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
    name.erase(dot);
    if (slash != std::string::npos) name.erase(0, slash + 1);
  }
  std::fprintf(stderr, "line %d of %s, assertion failed: %s\n", line, name.c_str(), expression);
}

uint32_t SideRotation(uint32_t rotationCode, bool front) {
  uint32_t rp = rotationCode;
  // This check is reported at the place the engine has always named for it,
  // so that its line reads the same whichever build prints it.
  if (!(rp <= 0xf)) AssertFailed(25, "sources-cmd/FujiScanEnums", "rp <= 0xf");
  return front ? (rp >> 2) : (rp & 3);
}

}  // namespace ZuzuvovOvav
