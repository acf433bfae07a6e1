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

}  // namespace

int32_t PkexecAuthorization::RunWithPrivileges(const std::string& prompt, const std::vector<std::string>& command,
                                               const std::string& input, int32_t* exitStatus) {
  // pkexec shows the polkit agent's own dialog, which names the program
  // and its arguments; the reason is written to the log.
  quirel::frontend::Log("%s", prompt.c_str());
  QStringList args;
  for (const std::string& a : command) args << QString::fromStdString(a);
  QProcess pkexec;
  pkexec.setProcessChannelMode(QProcess::ForwardedOutputChannel);
  pkexec.start("pkexec", args);
  if (!pkexec.waitForStarted(-1)) return errAuthorizationToolExecuteFailure;
  pkexec.write(input.data(), qint64(input.size()));
  pkexec.closeWriteChannel();
  pkexec.waitForFinished(-1);
  if (pkexec.exitStatus() != QProcess::NormalExit) return errAuthorizationToolExecuteFailure;
  switch (pkexec.exitCode()) {
    case 126:
      return errAuthorizationCanceled;
    case 127:
      return errAuthorizationDenied;
    default:
      *exitStatus = pkexec.exitCode();
      return errAuthorizationSuccess;
  }
}

std::vector<std::string> InstallCommand(const InstallPaths& paths) {
  return {"/usr/bin/install", "-D", "-m", "0755", "-o", "root", "-g", "root", "-T", "/dev/stdin", paths.installedTool()};
}

int32_t InstallCmdLine(AdminAuthorization& auth, const InstallPaths& paths) {
  struct stat bundleStat {};
  if (paths.bundleTool.empty() || ::stat(paths.bundleTool.c_str(), &bundleStat) != 0) return fnfErr;
  std::string tool;
  if (int err = ReadAll(paths.bundleTool, &tool)) return err;
  if (tool.rfind("\x7f" "ELF", 0) != 0 && tool.rfind("#!", 0) != 0) return ENOEXEC;

  const std::string target = paths.installedTool();
  struct stat targetStat {};
  const bool installed = ::stat(target.c_str(), &targetStat) == 0;
  if (installed && size_t(targetStat.st_size) == tool.size()) {
    std::string theirs;
    if (int err = ReadAll(target, &theirs)) return err;
    if (theirs == tool) return 0;
  }

  int32_t last = 0;
  const int32_t status = auth.RunWithPrivileges(installed ? kPromptUpdate : kPromptInstall, InstallCommand(paths), tool, &last);
  if (status != errAuthorizationSuccess) return status;
  if (last != 0) return last;
  std::string written;
  if (ReadAll(target, &written) != 0 || written != tool) return EIO;
  return 0;
}
