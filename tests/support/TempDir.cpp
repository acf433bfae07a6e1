// The temporary folder of a test: made with mkdtemp, removed recursively.
#include "TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include <stdlib.h>

namespace quirel::testing {

TempDir::TempDir(const std::string& purpose) {
  const char* base = std::getenv("TMPDIR");
  const std::string templ = std::string(base && *base ? base : "/tmp") + "/quirel-" + purpose + "-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data())) mPath = buf.data();
}

TempDir::~TempDir() {
  if (mPath.empty() || std::getenv("QUIREL_TEST_KEEP")) return;
  std::error_code ec;
  std::filesystem::remove_all(mPath, ec);
}

}  // namespace quirel::testing
