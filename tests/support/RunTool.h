// Runs the quirel tool as a child process and collects its output, for the
// end-to-end tests.
#pragma once

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

// The path of the tool under test.
std::string ToolPath();

}  // namespace quirel::testing
