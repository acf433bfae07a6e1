// Installing the command-line tool into /usr/local/bin with administrator rights (pkexec).
#include "InstallCmdLine.h"

#include <QProcess>
#include <QStringList>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FrontendLog.h"

namespace {

// Reads a whole file; 0 or the errno of the failure.
int ReadAll(const std::string& path, std::string* out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  out->clear();
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return err;
    }
    if (n == 0) break;
    out->append(buf, size_t(n));
  }
  ::close(fd);
  return 0;
}

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

}  // namespace

std::string PkexecAuthorization::Script(const std::vector<std::vector<std::string>>& commands) {
  std::string script;
  for (const auto& command : commands) {
    if (!script.empty()) script += "; ";
    for (size_t i = 0; i < command.size(); ++i) {
      if (i) script += ' ';
      script += ShellQuote(command[i]);
    }
  }
  return script;
}

int32_t PkexecAuthorization::RunWithPrivileges(const std::string& prompt,
                                               const std::vector<std::vector<std::string>>& commands,
                                               int32_t* lastStatus) {
  // pkexec shows the polkit agent's own dialog for running a program as the
  // administrator; the reason is written to the log.
  quirel::frontend::Log("%s", prompt.c_str());
  QProcess pkexec;
  pkexec.setProcessChannelMode(QProcess::ForwardedChannels);
  pkexec.start("pkexec", {"/bin/sh", "-c", QString::fromStdString(Script(commands))});
  if (!pkexec.waitForStarted(-1)) return errAuthorizationToolExecuteFailure;
  pkexec.waitForFinished(-1);
  if (pkexec.exitStatus() != QProcess::NormalExit) return errAuthorizationToolExecuteFailure;
  switch (pkexec.exitCode()) {
    case 126:
      return errAuthorizationCanceled;
    case 127:
      return errAuthorizationDenied;
    default:
      *lastStatus = pkexec.exitCode();
      return errAuthorizationSuccess;
  }
}

int32_t InstallCmdLine(AdminAuthorization& auth, const InstallPaths& paths) {
  struct stat bundleStat {};
  if (paths.bundleTool.empty() || ::stat(paths.bundleTool.c_str(), &bundleStat) != 0) return fnfErr;

  const std::string target = paths.installedTool();
  struct stat targetStat {};
  const bool installed = ::stat(target.c_str(), &targetStat) == 0;
  if (installed && targetStat.st_size == bundleStat.st_size) {
    std::string mine, theirs;
    if (int err = ReadAll(paths.bundleTool, &mine)) return err;
    if (int err = ReadAll(target, &theirs)) return err;
    if (mine == theirs) return 0;
  }

  const std::vector<std::vector<std::string>> commands{
      {"/bin/mkdir", "-p", paths.binDir()},
      {"/bin/cp", "-f", paths.bundleTool, target},
      {"/bin/chmod", "a+rx", paths.localDir},
      {"/bin/chmod", "a+rx", paths.binDir()},
      {"/bin/chmod", "a+rx", target},
  };
  int32_t last = 0;
  const int32_t status = auth.RunWithPrivileges(installed ? kPromptUpdate : kPromptInstall, commands, &last);
  if (status != errAuthorizationSuccess) return status;
  return last;
}
