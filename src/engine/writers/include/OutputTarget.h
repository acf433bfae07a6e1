// OutputTarget: the file a document writer writes into, and the rules that
// keep other files and other writers' pages safe.
//
// A new output is built under a hidden temporary name in the target's
// folder (created exclusively, so a link planted there is never followed)
// and is renamed over the target only once it holds a page: a scan that
// writes no page leaves whatever was at the path (a file, a link) as it was.
// The new file is synced before the rename and the folder after it. A file
// it replaces hands on its permission bits, group and access ACL. While the
// file has its temporary name it is held locked (flock), so that a later
// run that finds an unlocked temporary of the same target knows that its
// run has ended and removes it. An existing file opened for appending is
// resolved once (a link the user named is followed then) and held open.
//
// Writers that share a file take an exclusive advisory lock (flock) on it
// for every change they make, waiting a bounded time for it; under the lock
// they re-read the file's end, since another program may have appended to it
// in between.
//
// Thread-bound: one writer, one target.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace ZuzuvovOvav {

class OutputTarget {
 public:
  // How long Lock waits for another program's lock before giving up.
  static int sLockWaitMs;
  // Called once by a Lock that has waited a second for another program,
  // with the user's path, so that a front end can say what it waits for.
  // Set before any writer runs; called on the writer's thread.
  static void (*sLockWaitNotice)(const std::string& path);

  // Whether the scan engine's stop request is set (false where the engine
  // is not linked).
  static bool StopRequested();

  OutputTarget() = default;
  ~OutputTarget();
  OutputTarget(const OutputTarget&) = delete;
  OutputTarget& operator=(const OutputTarget&) = delete;

  // The folder a new file at `path` is made in ("." for a bare name).
  static std::string FolderOf(const std::string& path);

  // 0 when a new file can be named `path`: its name and the temporary name
  // beside it fit the folder's limit on names, and their paths the limit on
  // paths; else ENAMETOOLONG. *nameMax (when given) is the folder's limit.
  static int NameFits(const std::string& path, size_t* nameMax = nullptr);

  // A new output for `path`: creates the temporary file beside it, after
  // removing the temporaries of the same target that ended runs of this
  // user left. Returns 0 or the errno value; a directory or a special file
  // at the path is refused (EISDIR, EINVAL), and so is a file that we could
  // not have written over (EACCES) and a name too long (ENAMETOOLONG).
  int CreateNew(const std::string& path);
  // An existing file for appending, opened for reading and writing. Returns
  // 0 or the errno value.
  int OpenExisting(const std::string& path);

  bool IsOpen() const { return mFd >= 0; }
  int Fd() const { return mFd; }
  // The user's path.
  const std::string& Path() const { return mPath; }
  // The open file is the one at the user's path (appending, or a new file
  // already moved into place); other programs may reach it.
  bool Shared() const { return mFd >= 0 && mTempPath.empty(); }

  // Moves the new file into place over whatever is at the path. The file is
  // synced first, so that nothing is ever swapped for one whose bytes are
  // not on the disk yet, and the folder after, so that the new name lasts.
  // A regular file replaced hands on its mode, group and ACL. Returns 0 or
  // the errno value.
  int Commit();

  // Exclusive lock for one change. Returns 0, or EWOULDBLOCK when another
  // program kept it for the whole wait (or a stop was requested meanwhile),
  // or another errno. On file systems without locks it returns 0 unlocked.
  int Lock();
  void Unlock();

  // 0 when the path still leads to the open file, else ESTALE (or the
  // errno of looking at the path).
  int CheckStillAtPath() const;
  // Current size of the open file, -1 when it cannot be had.
  int64_t Size() const;

  // Closes the file; a new file never moved into place is removed. Returns
  // 0 or the errno of closing.
  int Close();

  // The text of a failed Lock for the user's path.
  std::string LockFailureText(int err) const;
  // The text of a failed CheckStillAtPath.
  std::string ReplacedText() const;

 private:
  // Gives the new file the permission bits, group and access ACL of the
  // file `old` it replaces, as far as this user may.
  void TakeOverAttributes(const struct stat& old);
  // Creates the temporary file `temp` locked; -1 with errno on failure.
  static int CreateLocked(const std::string& folder, const std::string& temp, bool* locked);

  int mFd = -1;
  bool mLocked = false;
  bool mTempLocked = false;  // the temporary file's own lock is held
  std::string mPath;      // as the user gave it
  std::string mTempPath;  // the new file's name until it is moved into place
  std::string mRealPath;  // where the file was found when opened
  dev_t mDev = 0;
  ino_t mIno = 0;
};

}  // namespace ZuzuvovOvav
