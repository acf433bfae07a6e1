// The user's temporary and preferences folders, and file references.
#include "HostFolders.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quirel::host {

namespace {

// Creates `path` with mode 0700 if it is missing and checks that it is a
// directory owned by this user, so that no other user can plant files there.
int EnsurePrivateFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  if (st.st_uid != getuid()) return EACCES;
  return 0;
}

}  // namespace

int TemporaryItemsFolder(std::string* path) {
  std::string folder;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    folder = std::string(runtime) + "/quirel";
  } else {
    const char* tmp = std::getenv("TMPDIR");
    folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/quirel-" + std::to_string(getuid());
  }
  if (int err = EnsurePrivateFolder(folder)) return err;
  *path = folder;
  return 0;
}

int PreferencesFolder(std::string* path) {
  std::string folder;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config) {
    folder = config;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
      const passwd* pw = getpwuid(getuid());
      if (!pw) return ENOENT;
      home = pw->pw_dir;
    }
    folder = std::string(home) + "/.config";
  }
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  *path = folder;
  return 0;
}

int MakeFileRef(const std::string& path, FileRef* ref) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *ref = FileRef{};
    return errno;
  }
  ref->device = st.st_dev;
  ref->inode = st.st_ino;
  ref->valid = true;
  return 0;
}

}  // namespace quirel::host
