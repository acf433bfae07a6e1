// Per-user folders and file references of the host.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace quirel::host {

// The per-user folder for temporary items: $XDG_RUNTIME_DIR/quirel, else
// $TMPDIR/quirel-<uid> (or /tmp/quirel-<uid>), created with mode 0700.
// Returns 0 and sets *path, or an errno value.
int TemporaryItemsFolder(std::string* path);

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
