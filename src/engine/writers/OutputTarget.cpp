// OutputTarget: the output file, made beside its path or opened for appending, and its lock.
#include "OutputTarget.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool StopRequested() { return &gStopNow != nullptr && gStopNow.load(); }

}  // namespace

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
  // A hidden name beside the target, short enough for any file name limit.
  static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 rng{std::random_device{}()};
  std::uniform_int_distribution<size_t> pick(0, sizeof kChars - 2);
  const std::string folder = FolderOf(path);
  const std::string base = BaseName(path).substr(0, 200);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = folder + "/." + base + ".";
    for (int i = 0; i < 8; ++i) temp += kChars[pick(rng)];
    // The mode a new file gets under the umask.
    const int fd = OpenRetrying(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return errno;
    }
    mFd = fd;
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
  if (::lstat(mPath.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::fsync(mFd) != 0) return errno;
  if (::rename(mTempPath.c_str(), mPath.c_str()) != 0) return errno;
  mTempPath.clear();
  mRealPath = mPath;
  if (::fstat(mFd, &st) == 0) {
    mDev = st.st_dev;
    mIno = st.st_ino;
  }
  return 0;
}

int OutputTarget::Lock() {
  if (mFd < 0) return EBADF;
  if (mLocked) return 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(sLockWaitMs);
  auto pause = std::chrono::milliseconds(5);
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
    if (StopRequested() || std::chrono::steady_clock::now() >= deadline) return EWOULDBLOCK;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(100));
  }
}

void OutputTarget::Unlock() {
  if (!mLocked) return;
  ::flock(mFd, LOCK_UN);
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
  Unlock();
  if (!mTempPath.empty()) ::unlink(mTempPath.c_str());
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
