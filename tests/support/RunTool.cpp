// Runs the tool as a child process with a time limit, collecting its standard output and error.
#include "RunTool.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace quirel::testing {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string ToolPath() {
#ifdef QUIREL_TOOL_PATH
  return QUIREL_TOOL_PATH;
#else
  // Built into a test program without the build's tool path: the tool
  // found on the PATH.
  return "quirel";
#endif
}

ToolRun RunTool(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                int timeoutSeconds) {
  return RunToolWatching(args, env, timeoutSeconds, nullptr);
}

ToolRun RunToolWatching(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                        int timeoutSeconds, const OutputWatcher& watcher) {
  ToolRun run;
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return run;
  std::string path = ToolPath();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    for (const auto& [k, v] : env) {
      if (v.empty())
        unsetenv(k.c_str());
      else
        setenv(k.c_str(), v.c_str(), 1);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  bool killed = false;
  while (open > 0) {
    int n = poll(fds, 2, 200);
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? run.out : run.err).append(buf, size_t(got));
        if (i == 0 && watcher && !killed) watcher(int(pid), run.out);
      }
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (!killed && now.tv_sec - start.tv_sec > timeoutSeconds) {
      kill(pid, SIGKILL);
      killed = true;
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    run.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    run.signal = WTERMSIG(status);
  }
  return run;
}

}  // namespace quirel::testing
