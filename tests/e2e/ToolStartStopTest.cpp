// The tool from its first instant to its last: a stop request that comes
// before the tool is ready, or while the scanner has no data and never will,
// ends the job with status 8 and the pages scanned before it; a machine
// without the memory for the engine's threads gets a documented status and
// a message, never an abort.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "FaultScanSupport.h"

using namespace quirel::e2e_faults;
using quirel::testing::RunToolWatching;
using quirel::testing::ToolPath;
using quirel::testing::ToolRun;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Starts `program` with `argv` in a child whose standard output and error go
// to files of `dir`; `prepare` runs in the child just before exec. Waits at
// most `timeoutSeconds`, then kills it.
ToolRun RunChild(const TempDir& dir, const std::string& program, const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env, int timeoutSeconds, void (*prepare)(int),
                 int prepareArg) {
  static int runs = 0;
  const std::string outPath = dir.File("child-out-" + std::to_string(++runs));
  const std::string errPath = dir.File("child-err-" + std::to_string(runs));
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0) _exit(126);
    dup2(out, 1);
    dup2(err, 2);
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (prepare) prepare(prepareArg);
    execv(program.c_str(), args.data());
    _exit(127);
  }
  ToolRun run;
  int status = 0;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  run.out = ReadAll(outPath);
  run.err = ReadAll(errPath);
  return run;
}

// The signal arrives before the tool has run a single instruction of its
// own: blocked and pending when it starts.
void SignalPendingAtStart(int sig) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  raise(sig);
}

}  // namespace

// A scanner that answers "not ready" for ever (busy=K with K far beyond any
// wait): SIGINT must end the job within a few seconds, with status 8, no
// error, and the file as it was before the job (an appended-to file keeps
// its pages, a new one is not made). The fi-4120C has no read check, so its
// not-ready answers come to READ itself; the fi-7160 prepicks. A sheet whose
// data comes soon enough after the stop is scanned whole: on the glass that
// is all the job scans, so nothing was left out and the status is 0; so too
// when the stop comes as the feeder's last sheet is written.
TEST(E2EStop, StopWhileTheScannerNeverHasDataEndsWithinSeconds) {
  struct Case {
    const char* model;
    bool duplex;
    const char* file;
    int pagesBefore;  // pages already in the file; 0: no file before the job
    bool flatbed = false;
    int busy = 1000000;  // "not ready" answers before each side's data
    const char* stopAt = nullptr;  // the output at which to stop; else a second after the first line
  };
  const Case cases[] = {
      {"fi-6130", false, "busy.pdf", 0},
      {"fi-4120C", true, "busy-noreadcheck.tif", 0},
      {"fi-7160", false, "busy-append.pdf", 2},
      {"fi-6130", true, "busy-append.tif", 4},
      {"fi-6230", false, "busy-glass.pdf", 0, true, 400},
      {"fi-7160", false, "last-sheet.pdf", 0, false, 0, "side 3 scanned\n"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " " + c.file);
    const std::string path = dir.File(c.file);
    auto args = SmallGray();
    if (c.flatbed) args[0] = "--flatbed";
    if (c.duplex) args.push_back("--duplex");
    args.push_back(Has(c.file, ".pdf") ? "--pdf" : "--tiff");
    if (c.pagesBefore > 0) {
      ToolRun first = ScanWith(std::string("model=") + c.model + ";sheets=2", With(args, {path}));
      ASSERT_EQ(first.exitStatus, 0) << first.err;
      ASSERT_EQ(CheckFile(path).pages, c.pagesBefore);
      args.push_back("--append");
    }
    args.push_back(path);

    // SIGINT a second after the scanner has answered (its description is
    // the first line), when the page loop is waiting for data.
    std::thread stopper;
    std::chrono::steady_clock::time_point stoppedAt;
    const std::string faults = c.busy > 0 ? ";faults=busy=" + std::to_string(c.busy) : "";
    ToolRun run = RunToolWatching(args, Scanner(std::string("model=") + c.model + ";sheets=3" + faults),
                                  40, [&](int pid, const std::string& out) {
                                    if (!stopper.joinable() && !out.empty() && (!c.stopAt || Has(out, c.stopAt)))
                                      stopper = std::thread([pid, &stoppedAt, &c] {
                                        if (!c.stopAt) std::this_thread::sleep_for(std::chrono::seconds(1));
                                        stoppedAt = std::chrono::steady_clock::now();
                                        kill(pid, SIGINT);
                                      });
                                  });
    auto ended = std::chrono::steady_clock::now();
    ASSERT_TRUE(stopper.joinable()) << run.out << run.err;
    stopper.join();
    const double seconds = std::chrono::duration<double>(ended - stoppedAt).count();
    EXPECT_EQ(run.signal, 0) << "the stop did not end the job";
    EXPECT_LT(seconds, 10) << "the stop took too long";
    EXPECT_EQ(run.err, "");
    if (c.busy < 1000000) {
      EXPECT_EQ(run.exitStatus, 0) << run.out;
      EXPECT_TRUE(Has(run.out, "Stop requested, but every sheet fed was scanned: nothing was left out.\n")) << run.out;
      EXPECT_EQ(CheckFile(path).pages, c.flatbed ? 1 : 3);
      continue;
    }
    EXPECT_EQ(run.exitStatus, 8) << run.err;
    EXPECT_TRUE(Has(run.out, "Stop requested while the scanner was not ready; the sheet it held was not scanned."))
        << run.out;
    EXPECT_TRUE(Has(run.out, "0 pages scanned.")) << run.out;
    if (c.pagesBefore == 0) {
      EXPECT_FALSE(Exists(path));
    } else {
      FileCheck check = CheckFile(path);
      EXPECT_TRUE(check.sound) << check.report;
      EXPECT_EQ(check.pages, c.pagesBefore);
    }
  }
}

// A stop request that is there before the tool has set anything up (here:
// pending when it starts) stops the job before it begins: status 8 and the
// words for it, never the end of the process through the signal.
TEST(E2EStop, AStopBeforeTheToolIsReadyStopsTheJob) {
  TempDir dir;
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(sig));
    const std::string path = dir.File(std::string("early-") + std::to_string(sig) + ".pdf");
    std::vector<std::string> argv = With({ToolPath()}, With(SmallGray(), {"--pdf", path}));
    ToolRun run = RunChild(dir, ToolPath(), argv, Scanner("model=fi-6130;sheets=3"), 30, &SignalPendingAtStart, sig);
    EXPECT_EQ(run.signal, 0) << "the signal ended the process";
    EXPECT_EQ(run.exitStatus, 8) << run.out << run.err;
    EXPECT_TRUE(Has(run.out, "Stopped before the scan began; no page scanned.")) << run.out;
    EXPECT_FALSE(Exists(path));
  }
}

// Under a tight address-space limit (ulimit -v in the shell that starts the
// tool) the program loads, but the engine's worker threads cannot be
// started. Queries and --help need no such thread and work; a scan ends with
// status 1 and says why. Over a range of limits a scan either works or
// fails with a documented status and a message: never an abort, and never
// the words of a stop nobody asked for.
TEST(E2ELowMemory, TheToolNeverAbortsAndSaysWhy) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit under ulimit -v";
#endif
  TempDir dir;
  const auto scanner = Scanner("model=fi-6130;sheets=2");
  auto limited = [&](long kib, const std::vector<std::string>& args) {
    // Thread stacks take the stack limit's size: fixed here at the usual
    // 8 MiB, so that the limits below mean the same on every machine.
    std::vector<std::string> argv = {"sh", "-c", "ulimit -s 8192 && ulimit -v \"$0\" && exec \"$@\"",
                                     std::to_string(kib), ToolPath()};
    return RunChild(dir, "/bin/sh", With(argv, args), scanner, 60, nullptr, 0);
  };

  const long tight = 40000;  // KiB: enough to load, not for 5 + n threads of 8 MiB stacks
  ToolRun help = limited(tight, {"--help"});
  EXPECT_EQ(help.signal, 0);
  EXPECT_EQ(help.exitStatus, 0) << help.err;
  EXPECT_TRUE(Has(help.out, "usage: quirel")) << help.out;

  ToolRun list = limited(tight, {"--enumerate"});
  EXPECT_EQ(list.signal, 0);
  EXPECT_EQ(list.exitStatus, 0) << list.err;
  EXPECT_TRUE(Has(list.out, "fi-6130 4c5 114f")) << list.out;

  const std::string never = dir.File("never.pdf");
  ToolRun scan = limited(tight, With(SmallGray(), {"--pdf", never}));
  EXPECT_EQ(scan.signal, 0);
  EXPECT_EQ(scan.exitStatus, 1) << scan.out << scan.err;
  EXPECT_TRUE(Has(scan.err, "quirel: Cannot start the scan engine's worker threads")) << scan.err;
  EXPECT_FALSE(Exists(never));

  int worked = 0;
  for (long kib = 20000; kib <= 260000; kib += 4000) {  // steps below one 8 MiB stack
    SCOPED_TRACE("ulimit -v " + std::to_string(kib));
    const std::string path = dir.File("limit-" + std::to_string(kib) + ".pdf");
    ToolRun run = limited(kib, With(SmallGray(), {"--pdf", path}));
    EXPECT_EQ(run.signal, 0) << run.err;
    EXPECT_FALSE(Has(run.out, "Stopped before the scan began")) << run.out;
    if (run.exitStatus == 0) {
      ++worked;
      EXPECT_EQ(CheckFile(path).pages, 2);
      continue;
    }
    // The engine could not start, or ran out of memory on the way.
    EXPECT_TRUE(run.exitStatus == 1 || run.exitStatus == 4 || run.exitStatus == 9 || run.exitStatus == 12)
        << run.exitStatus << "\n" << run.err;
    EXPECT_FALSE(run.err.empty()) << "a failure without a message";
  }
  EXPECT_GT(worked, 0) << "no limit left room for a scan";
}
