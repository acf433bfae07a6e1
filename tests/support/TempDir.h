// A temporary folder for one test or benchmark, removed with everything in it.
#pragma once

#include <string>

namespace quirel::testing {

// A new folder "quirel-PURPOSE-XXXXXX" under $TMPDIR (or /tmp); Path() is
// empty when it cannot be made. The folder and its content are removed at
// the end, unless QUIREL_TEST_KEEP is set (for looking at a failure).
class TempDir {
 public:
  explicit TempDir(const std::string& purpose = "test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return mPath; }
  std::string File(const std::string& name) const { return mPath + "/" + name; }

 private:
  std::string mPath;
};

}  // namespace quirel::testing
