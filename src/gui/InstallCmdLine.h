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

// Runs commands with administrator rights.
class AdminAuthorization {
 public:
  virtual ~AdminAuthorization() = default;
  // Asks for the administrator right, showing `prompt`, and when it is
  // granted runs the commands (program path and arguments) one after the
  // other, each finished before the next starts. Returns the authorization
  // status: errAuthorizationSuccess with *lastStatus the exit status of the
  // last command, or the status of the refusal (errAuthorizationCanceled
  // when the user cancelled).
  virtual int32_t RunWithPrivileges(const std::string& prompt, const std::vector<std::vector<std::string>>& commands,
                                    int32_t* lastStatus) = 0;
};

// The layer over pkexec: one pkexec run of /bin/sh with the commands joined
// by ';' (so the last command's status is the result). pkexec's statuses
// 126 (dialog dismissed) and 127 (not authorized, or no authentication
// agent) become errAuthorizationCanceled and errAuthorizationDenied.
class PkexecAuthorization : public AdminAuthorization {
 public:
  int32_t RunWithPrivileges(const std::string& prompt, const std::vector<std::vector<std::string>>& commands,
                            int32_t* lastStatus) override;
  // The shell script that runs the commands (arguments quoted for sh).
  static std::string Script(const std::vector<std::vector<std::string>>& commands);
};

struct InstallPaths {
  // The bundle's copy of the tool; empty when the bundle has none.
  std::string bundleTool;
  // The folder that holds bin/quirel.
  std::string localDir = "/usr/local";

  std::string binDir() const { return localDir + "/bin"; }
  std::string installedTool() const { return binDir() + "/quirel"; }
};

constexpr const char* kPromptUpdate = "The quirel command-line tool needs to be updated.";
constexpr const char* kPromptInstall = "The quirel command-line tool needs to be installed.";

// 0 when the installed tool is already byte for byte the bundle's copy (no
// rights asked) or has been installed; fnfErr when the bundle has no tool;
// an errno value when one of the two files cannot be examined or read; the
// authorization status when the rights were not granted; otherwise the exit
// status of the last installation command.
int32_t InstallCmdLine(AdminAuthorization& auth, const InstallPaths& paths);
