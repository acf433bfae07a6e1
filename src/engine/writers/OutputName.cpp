// The output name rule: a format's extensions, and the path completed and numbered.
#include "OutputName.h"

#include "FujiScanParams.h"

namespace ZuzuvovOvav {

namespace {

bool EndsWithNoCase(const std::string& s, const char* suffix) {
  const std::string tail(suffix);
  if (s.size() < tail.size()) return false;
  for (size_t i = 0; i < tail.size(); ++i) {
    char c = s[s.size() - tail.size() + i];
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (c != tail[i]) return false;
  }
  return true;
}

// An extension counts only after a name: "/x/.pdf" is a hidden file
// without one.
bool EndsWithExtension(const std::string& path, const char* ext) {
  if (!EndsWithNoCase(path, ext)) return false;
  const size_t stem = path.size() - std::string(ext).size();
  return stem > 0 && path[stem - 1] != '/';
}

}  // namespace

const char* FileTypeExtension(uint32_t fileType) {
  return fileType == kFileTypePDF ? ".pdf" : fileType == kFileTypeTIFF ? ".tif" : nullptr;
}

uint32_t FileTypeOfPath(const std::string& path) {
  if (EndsWithExtension(path, ".pdf")) return kFileTypePDF;
  if (EndsWithExtension(path, ".tif") || EndsWithExtension(path, ".tiff")) return kFileTypeTIFF;
  return 0;
}

std::string CompleteOutputPath(const std::string& path, uint32_t fileType) {
  const char* ext = FileTypeExtension(fileType);
  if (!ext || FileTypeOfPath(path) == fileType) return path;
  return path + ext;
}

size_t NumberPosition(const std::string& path) {
  for (size_t i = path.size(); i-- > 0;) {
    if (path[i] == '/') break;
    if (path[i] == '.') return i;
  }
  return path.size();
}

std::string NumberedOutputPath(const std::string& path, int n) {
  const size_t at = NumberPosition(path);
  return path.substr(0, at) + std::to_string(n) + path.substr(at);
}

}  // namespace ZuzuvovOvav
