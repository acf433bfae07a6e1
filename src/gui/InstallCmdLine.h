// Installing the application's copy of the command-line tool `quirel` as
// /usr/local/bin/quirel for use in a shell, with administrator rights.
//
// The rights come from an authorization layer: pkexec (polkit) in the
// application, a scripted layer in tests. Statuses follow the host's
// authorization codes, so the caller can tell a cancelled password dialog
// (which needs no alert) from a failure.
//
// Thread-bound: runs on the GUI thread and waits for the commands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Authorization statuses.
constexpr int32_t errAuthorizationSuccess = 0;
constexpr int32_t errAuthorizationDenied = -60005;
constexpr int32_t errAuthorizationCanceled = -60006;
constexpr int32_t errAuthorizationToolExecuteFailure = -60031;
// The tool is missing from the application bundle (file not found).
constexpr int32_t fnfErr = -43;

// Runs a command with administrator rights.
class AdminAuthorization {
 public:
  virtual ~AdminAuthorization() = default;
  // Asks for the administrator right, showing `prompt`, and when it is
  // granted runs `command` (a program's absolute path and its arguments,
  // no shell) with `input` as its standard input, and waits for it. Returns
  // the authorization status: errAuthorizationSuccess with *exitStatus the
  // command's exit status, or the status of the refusal
  // (errAuthorizationCanceled when the user cancelled).
  virtual int32_t RunWithPrivileges(const std::string& prompt, const std::vector<std::string>& command,
                                    const std::string& input, int32_t* exitStatus) = 0;
};

// The layer over pkexec: pkexec runs the command itself, so the
// administrator authorises that one program with those arguments. pkexec's
// statuses 126 (dialog dismissed) and 127 (not authorized, or no
// authentication agent) become errAuthorizationCanceled and
// errAuthorizationDenied.
class PkexecAuthorization : public AdminAuthorization {
 public:
  int32_t RunWithPrivileges(const std::string& prompt, const std::vector<std::string>& command,
                            const std::string& input, int32_t* exitStatus) override;
};

struct InstallPaths {
  // The bundle's copy of the tool; empty when the bundle has none.
  std::string bundleTool;
  // The folder that holds bin/quirel.
  std::string localDir = "/usr/local";

  std::string binDir() const { return localDir + "/bin"; }
  std::string installedTool() const { return binDir() + "/quirel"; }
};

// The one command run as the administrator: GNU install reads the tool's
// bytes from its standard input and makes the file anew (the old one is
// unlinked first, so a quirel running from it goes on), root-owned and
// readable by root only until every byte is in, then 0755; it makes a
// missing bin folder (0755) and changes the mode of no existing folder.
std::vector<std::string> InstallCommand(const InstallPaths& paths);

constexpr const char* kPromptUpdate = "The quirel command-line tool needs to be updated.";
constexpr const char* kPromptInstall = "The quirel command-line tool needs to be installed.";

// Reads the bundle's tool once: those bytes are checked (an executable: an
// ELF file or a script) and compared with the installed copy, and exactly
// they are handed to the installation, however the bundle's file changes
// meanwhile. 0 when the installed tool is already byte for byte the
// bundle's copy (no rights asked) or has been installed and reads back as
// those bytes; fnfErr when the bundle has no tool; an errno value when one
// of the two files cannot be examined or read, ENOEXEC when the bundle's is
// no executable, EIO when the installed file does not read back as the
// bytes; the authorization status when the rights were not granted;
// otherwise the exit status of the installation command.
int32_t InstallCmdLine(AdminAuthorization& auth, const InstallPaths& paths);
