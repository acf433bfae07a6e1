// Per-user folders and file references of the host.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace quirel::host {

// The per-user folder for temporary items: $XDG_RUNTIME_DIR/quirel, else
// $TMPDIR/quirel-<uid> (or /tmp/quirel-<uid>), created with mode 0700.
// Only a real folder (not a link) owned by this user, with no group or
// other permission bits, is used. Under a shared $TMPDIR another user may
// have taken the name first; then a folder of our own beside it,
// quirel-<uid>-XXXXXX, is used instead (one made earlier by this user, or
// a new one; the same one for the rest of the process). Returns 0 and sets
// *path, or an errno value.
int TemporaryItemsFolder(std::string* path);
// The folder TemporaryItemsFolder makes and uses when it can.
std::string TemporaryItemsFolderName();

// Removes from the temporary items folder what runs of this user that have
// ended left there: preview FIFOs "quirel-preview-PID-N" whose process is
// gone (or now runs another program), and Group 4 buffers "quirel-" + 20
// characters + ".tif", which a run holds open but never under their name.
// A live run's files stay. Returns how many were removed.
int RemoveDeadRunLeftovers();

// The per-user preferences folder: $XDG_CONFIG_HOME, else ~/.config.
int PreferencesFolder(std::string* path);

// A reference to an existing file that survives renames: device and inode.
struct FileRef {
  dev_t device = 0;
  ino_t inode = 0;
  bool valid = false;
};

// Returns 0 and fills *ref from stat(2), or the errno value.
int MakeFileRef(const std::string& path, FileRef* ref);

}  // namespace quirel::host
