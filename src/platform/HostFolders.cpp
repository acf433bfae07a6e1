// The user's temporary and preferences folders, and file references.
#include "HostFolders.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace quirel::host {

namespace {

// 0 when `path` is a real folder (not a link) of this user's that no one
// else may use: no group or other permission bits.
int CheckPrivateFolder(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  if (st.st_uid != geteuid() || (st.st_mode & 077) != 0) return EACCES;
  return 0;
}

// Creates `path` with mode 0700 if it is missing and checks it, so that no
// other user can plant files there or read ours.
int EnsurePrivateFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  return CheckPrivateFolder(path);
}

std::mutex sFallbackMutex;
std::string sFallbackBase;  // the name that could not be used ...
std::string sFallback;      // ... and the folder used instead

// A private folder beside `base`, named base + "-XXXXXX": one this user
// made before, else a new one.
int FallbackFolder(const std::string& base, std::string* path) {
  std::lock_guard<std::mutex> lock(sFallbackMutex);
  if (sFallbackBase == base && CheckPrivateFolder(sFallback) == 0) {
    *path = sFallback;
    return 0;
  }
  const size_t slash = base.rfind('/');
  const std::string parent = slash == 0 ? "/" : base.substr(0, slash);
  const std::string prefix = base.substr(slash + 1) + "-";
  std::string found;
  if (DIR* d = opendir(parent.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0 &&
          CheckPrivateFolder(parent + "/" + name) == 0) {
        found = parent + "/" + name;
        break;
      }
    }
    closedir(d);
  }
  if (found.empty()) {
    std::string templ = base + "-XXXXXX";
    if (!mkdtemp(templ.data())) return errno;  // made with mode 0700
    found = templ;
  }
  sFallbackBase = base;
  sFallback = found;
  *path = found;
  return 0;
}

// "quirel-preview-PID-N": the preview FIFO of the tool's process PID.
bool PreviewFifoPid(const std::string& name, pid_t* pid) {
  static const std::string kPrefix = "quirel-preview-";
  if (name.compare(0, kPrefix.size(), kPrefix) != 0) return false;
  size_t i = kPrefix.size(), digits = 0;
  long value = 0;
  for (; i < name.size() && std::isdigit(static_cast<unsigned char>(name[i])) && digits < 9; ++i, ++digits)
    value = value * 10 + (name[i] - '0');
  if (digits == 0 || i >= name.size() || name[i] != '-' || i + 1 == name.size()) return false;
  for (++i; i < name.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
  *pid = pid_t(value);
  return true;
}

// "quirel-" + 20 letters or digits + ".tif": a Group 4 buffer.
bool Group4BufferName(const std::string& name) {
  if (name.size() != 31 || name.compare(0, 7, "quirel-") != 0 || name.compare(27, 4, ".tif") != 0) return false;
  for (size_t i = 7; i < 27; ++i)
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

// The name the kernel gives process `pid`'s program; empty when unknown.
std::string ProgramOf(const std::string& pid) {
  char buf[64] = {};
  const int fd = open(("/proc/" + pid + "/comm").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  const ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  std::string s(buf, n > 0 ? size_t(n) : 0);
  while (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

// Whether `pid` is still a run of this user's program.
bool RunsThisProgram(pid_t pid, const std::string& self) {
  if (pid == getpid()) return true;
  if (self.empty()) return !(kill(pid, 0) != 0 && errno == ESRCH);  // no /proc: by the process alone
  struct stat st;
  const std::string id = std::to_string(pid);
  if (stat(("/proc/" + id).c_str(), &st) != 0 || st.st_uid != geteuid()) return false;
  return ProgramOf(id) == self;
}

}  // namespace

std::string TemporaryItemsFolderName() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
    return std::string(runtime) + "/quirel";
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp && *tmp ? tmp : "/tmp") + "/quirel-" + std::to_string(getuid());
}

int TemporaryItemsFolder(std::string* path) {
  const std::string folder = TemporaryItemsFolderName();
  const int err = EnsurePrivateFolder(folder);
  if (err == 0) {
    *path = folder;
    return 0;
  }
  // The runtime folder is this user's alone: what is in it is no other
  // user's doing, and is refused as it is. Anyone may make the name in a
  // shared folder: a folder, a link or a file of someone else's is never
  // used.
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime) return err;
  return FallbackFolder(folder, path);
}

int RemoveDeadRunLeftovers() {
  std::string folder;
  if (TemporaryItemsFolder(&folder) != 0) return 0;
  DIR* d = opendir(folder.c_str());
  if (!d) return 0;
  const std::string self = ProgramOf("self");
  int removed = 0;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    struct stat st;
    if (fstatat(dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_uid != geteuid()) continue;
    pid_t pid = 0;
    const bool dead = S_ISFIFO(st.st_mode)  ? PreviewFifoPid(name, &pid) && !RunsThisProgram(pid, self)
                      : S_ISREG(st.st_mode) ? Group4BufferName(name)
                                            : false;
    if (dead && unlinkat(dirfd(d), name.c_str(), 0) == 0) ++removed;
  }
  closedir(d);
  return removed;
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
