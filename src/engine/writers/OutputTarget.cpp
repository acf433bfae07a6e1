// OutputTarget: the output file, made beside its path or opened for appending, and its lock.
#include "OutputTarget.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

namespace ZuzuvovOvav {

// The scan engine's stop request. The writers are also linked without the
// scan engine (their tests, small tools); there the flag does not exist and
// a wait for a lock ends by time only.
extern std::atomic<bool> gStopNow __attribute__((weak));

int OutputTarget::sLockWaitMs = 30000;
void (*OutputTarget::sLockWaitNotice)(const std::string& path) = nullptr;

namespace {

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

constexpr char kNameChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr size_t kTempRandom = 8;
constexpr char kAccessAcl[] = "system.posix_acl_access";

// The longest name the folder takes (255 where it cannot tell).
size_t NameMax(const std::string& folder) {
  const long max = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  return max > 0 ? size_t(max) : 255;
}

// The hidden temporary names of a target named `base` in `folder` are this
// prefix and kTempRandom letters or digits: the name is cut so that the
// whole fits any name that fits.
std::string TempPrefix(const std::string& folder, const std::string& base) {
  const size_t max = NameMax(folder);
  const size_t keep = std::min<size_t>(200, max > kTempRandom + 3 ? max - kTempRandom - 2 : 1);
  return "." + base.substr(0, keep) + ".";
}

// Removes the temporaries named prefix + kTempRandom characters in
// `folder` that are this user's and locked by no one: the runs that made
// them have ended (a live run holds its temporary locked). Each is removed
// under its lock, and only when the name still leads to it.
void RemoveDeadTemporaries(const std::string& folder, const std::string& prefix) {
  DIR* d = ::opendir(folder.c_str());
  if (!d) return;
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() != prefix.size() + kTempRandom || name.compare(0, prefix.size(), prefix) != 0 ||
        name.find_first_not_of(kNameChars, prefix.size()) != std::string::npos)
      continue;
    const int fd = ::openat(dirfd(d), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st, now;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstatat(dirfd(d), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        now.st_dev == st.st_dev && now.st_ino == st.st_ino)
      ::unlinkat(dirfd(d), name.c_str(), 0);
    ::close(fd);
  }
  ::closedir(d);
}

void SyncFolder(const std::string& folder) {
  const int fd = OpenRetrying(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  // The rename has happened; a folder that cannot be synced (some file
  // systems refuse) leaves it as durable as the file system makes it.
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

bool OutputTarget::StopRequested() { return &gStopNow != nullptr && gStopNow.load(); }

int OutputTarget::NameFits(const std::string& path, size_t* nameMax) {
  const std::string folder = FolderOf(path);
  const std::string base = BaseName(path);
  const std::string temp = folder + "/" + TempPrefix(folder, base) + std::string(kTempRandom, 'X');
  const size_t max = NameMax(folder);
  if (nameMax) *nameMax = max;
  if (base.size() > max || path.size() >= PATH_MAX || temp.size() >= PATH_MAX) return ENAMETOOLONG;
  return 0;
}

int OutputTarget::CreateLocked(const std::string& folder, const std::string& temp, bool* locked) {
  // The mode a new file gets under the umask. Made without a name, locked,
  // then named: no other run ever sees it unlocked.
  int fd = OpenRetrying(folder.c_str(), O_RDWR | O_TMPFILE, 0666);
  if (fd >= 0) {
    *locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0) return fd;
    const int err = errno;
    ::close(fd);
    // Without /proc the name cannot be given this way; the other errors
    // are the folder's.
    if (err != ENOENT && err != EPERM && err != EACCES) {
      errno = err;
      return -1;
    }
  }
  fd = OpenRetrying(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
  if (fd >= 0) *locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  return fd;
}

OutputTarget::~OutputTarget() { Close(); }

std::string OutputTarget::FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int OutputTarget::CreateNew(const std::string& path) {
  Close();
  // What is at the path now decides whether it may be replaced: a folder
  // or a device never, a file only when we could have written it anyway.
  // A link is replaced itself, never written through.
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (S_ISREG(st.st_mode)) {
      if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return errno;
    } else if (!S_ISLNK(st.st_mode)) {
      return EINVAL;
    }
  } else if (errno != ENOENT) {
    return errno;
  }
  if (const int err = NameFits(path)) return err;
  // A hidden name beside the target, short enough for the folder's limit.
  thread_local std::mt19937_64 rng{std::random_device{}()};
  std::uniform_int_distribution<size_t> pick(0, sizeof kNameChars - 2);
  const std::string folder = FolderOf(path);
  const std::string prefix = TempPrefix(folder, BaseName(path));
  RemoveDeadTemporaries(folder, prefix);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = folder + "/" + prefix;
    for (size_t i = 0; i < kTempRandom; ++i) temp += kNameChars[pick(rng)];
    bool locked = false;
    const int fd = CreateLocked(folder, temp, &locked);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return errno;
    }
    mFd = fd;
    mTempLocked = locked;
    mPath = path;
    mTempPath = temp;
    mRealPath.clear();
    return 0;
  }
  return EEXIST;
}

int OutputTarget::OpenExisting(const std::string& path) {
  Close();
  const int fd = OpenRetrying(path.c_str(), O_RDWR);
  if (fd < 0) return errno;
  struct stat st;
  const int statErr = ::fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
  if (statErr != 0) {
    ::close(fd);
    return statErr;
  }
  // A link the user named is followed once: the pages go to the file it
  // leads to now, and that file is what must stay at its place.
  char* real = ::realpath(path.c_str(), nullptr);
  mRealPath = real ? real : path;
  std::free(real);
  mFd = fd;
  mPath = path;
  mTempPath.clear();
  mDev = st.st_dev;
  mIno = st.st_ino;
  return 0;
}

int OutputTarget::Commit() {
  if (mFd < 0) return EBADF;
  if (mTempPath.empty()) return 0;
  struct stat st;
  if (::lstat(mPath.c_str(), &st) == 0 && S_ISREG(st.st_mode)) TakeOverAttributes(st);
  if (::fsync(mFd) != 0) return errno;
  if (::rename(mTempPath.c_str(), mPath.c_str()) != 0) return errno;
  SyncFolder(FolderOf(mPath));
  mTempPath.clear();
  mRealPath = mPath;
  // Under its own name the file is locked only for each change.
  if (mTempLocked && !mLocked) ::flock(mFd, LOCK_UN);
  mTempLocked = false;
  if (::fstat(mFd, &st) == 0) {
    mDev = st.st_dev;
    mIno = st.st_ino;
  }
  return 0;
}

void OutputTarget::TakeOverAttributes(const struct stat& old) {
  struct stat own;
  if (::fstat(mFd, &own) != 0) return;
  // The group, when this user may give the file that group; otherwise the
  // group's bits would grant the user's own group what was the other's.
  const bool sameGroup = own.st_gid == old.st_gid || ::fchown(mFd, uid_t(-1), old.st_gid) == 0;
  mode_t mode = old.st_mode & 0777;  // set-id and sticky bits are not handed on
  if (!sameGroup) mode &= ~mode_t(070);
  ::fchmod(mFd, mode);
  if (!sameGroup) return;
  // The access ACL (which names its group entries against that group).
  char acl[4096];
  const ssize_t n = ::lgetxattr(mPath.c_str(), kAccessAcl, acl, sizeof acl);
  if (n > 0) ::fsetxattr(mFd, kAccessAcl, acl, size_t(n), 0);
}

int OutputTarget::Lock() {
  if (mFd < 0) return EBADF;
  if (mLocked) return 0;
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::milliseconds(sLockWaitMs);
  auto pause = std::chrono::milliseconds(5);
  bool told = false;
  for (;;) {
    if (::flock(mFd, LOCK_EX | LOCK_NB) == 0) {
      mLocked = true;
      return 0;
    }
    const int err = errno;
    if (err == EINTR) continue;
    // File systems that cannot lock keep working as before, unlocked.
    if (err == ENOLCK || err == EOPNOTSUPP || err == EINVAL) return 0;
    if (err != EWOULDBLOCK) return err;
    const auto now = std::chrono::steady_clock::now();
    if (StopRequested() || now >= deadline) return EWOULDBLOCK;
    if (!told && sLockWaitNotice && now - start >= std::chrono::seconds(1)) {
      told = true;
      sLockWaitNotice(mPath);
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(100));
  }
}

void OutputTarget::Unlock() {
  if (!mLocked) return;
  // A temporary file keeps its own lock until it is moved into place.
  if (!mTempLocked) ::flock(mFd, LOCK_UN);
  mLocked = false;
}

int OutputTarget::CheckStillAtPath() const {
  if (mFd < 0) return EBADF;
  if (!mTempPath.empty()) return 0;
  struct stat st;
  if (::stat(mRealPath.c_str(), &st) != 0) return errno == ENOENT ? ESTALE : errno;
  return st.st_dev == mDev && st.st_ino == mIno ? 0 : ESTALE;
}

int64_t OutputTarget::Size() const {
  struct stat st;
  return mFd >= 0 && ::fstat(mFd, &st) == 0 ? int64_t(st.st_size) : -1;
}

int OutputTarget::Close() {
  if (mFd < 0) return 0;
  // The name goes first, while the file is still locked.
  if (!mTempPath.empty()) ::unlink(mTempPath.c_str());
  mTempLocked = false;
  Unlock();
  const int rc = ::close(mFd);
  mFd = -1;
  mTempPath.clear();
  mRealPath.clear();
  return rc == 0 ? 0 : errno;
}

std::string OutputTarget::LockFailureText(int err) const {
  if (err == EWOULDBLOCK) return "Target file '" + mPath + "' is in use by another program.";
  return "Could not lock target file '" + mPath + "' (" + std::strerror(err) + ").";
}

std::string OutputTarget::ReplacedText() const {
  return "Target file '" + mPath + "' was replaced or removed by another program.";
}

}  // namespace ZuzuvovOvav
