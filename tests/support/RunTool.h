// Runs the quirel tool as a child process and collects its output, for the
// end-to-end tests.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace quirel::testing {

struct ToolRun {
  int exitStatus = -1;  // exit status, or -1 when it ended through a signal
  int signal = 0;       // the signal that ended it, or 0
  std::string out;
  std::string err;
};

// Runs the tool with `args`; `env` entries are set (an empty value unsets
// the variable) on top of this process's environment. A run that lasts
// longer than `timeoutSeconds` is killed (signal SIGKILL in the result).
ToolRun RunTool(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
                int timeoutSeconds = 120);

// Called while the tool runs with its process id and all of its standard
// output so far, each time more of it arrives: a test can interrupt the tool
// at a chosen point or open the FIFO the tool announces.
using OutputWatcher = std::function<void(int pid, const std::string& out)>;

// RunTool with a watcher of the standard output.
ToolRun RunToolWatching(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                        int timeoutSeconds, const OutputWatcher& watcher);

// The lines of a tool's output, without their line ends (a last line
// without one counts too).
std::vector<std::string> SplitLines(const std::string& text);

// The path of the tool under test.
std::string ToolPath();

}  // namespace quirel::testing
