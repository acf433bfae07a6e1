// Peak memory of whole scan jobs: a duplex colour 300 dpi job of 10, 50 and
// 100 sheets, each run in a fresh child process (this program started again
// with --child-job), so that every figure is the high-water mark of one job
// alone, as /usr/bin/time would report it for the command-line tool. Pages
// are written and freed as the scan goes, so the peak must not grow with the
// number of sheets.
//
// Counters:
//   maxrss_MB        the child's peak resident set (wait4's ru_maxrss)
//   after_job_MB     the child's resident set once the job has ended: the
//                    virtual scanner's renderings of the two sides (one per
//                    side and window, shared by every sheet), the libraries
//                    and what the allocator kept; maxrss_MB minus this is
//                    about what the engine itself held at its peak
//   images/min       the child job's rate, for reference (includes the
//                    scanner's first renderings)
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstring>

#include "EngineScanRig.h"
#include "ProcessMemory.h"

namespace {

using namespace quirel::bench;

constexpr const char* kChildFlag = "--child-job";

// The child: one job; prints its resident set after the job on standard
// output., its outcome on standard error when it failed.
int ChildJob(const std::string& caseName, int sheets) {
  const ScanCase* c = FindCase(caseName);
  if (!c) {
    std::fprintf(stderr, "unknown case %s\n", caseName.c_str());
    return 2;
  }
  std::string error;
  VirtualScannerOnBus scanner(sheets, &error);
  if (!scanner.ok()) {
    std::fprintf(stderr, "virtual scanner: %s\n", error.c_str());
    return 2;
  }
  scanner.Install();
  quirel::testing::TempDir folder("bench");
  if (folder.Path().empty()) {
    std::fprintf(stderr, "cannot create an output folder: %s\n", std::strerror(errno));
    return 2;
  }
  JobOutcome job = RunScanJob(*c, folder.Path(), 2 * sheets);
  job.RemoveFiles();
  if (!job.error.empty()) {
    std::fprintf(stderr, "%s\n", job.error.c_str());
    return 1;
  }
  std::printf("%ld\n", ResidentKb());
  return 0;
}

std::string SelfPath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  buf[n] = '\0';
  return buf;
}

void BM_JobPeakMemory(benchmark::State& state, const ScanCase* c) {
  const int sheets = int(state.range(0));
  state.SetLabel(BenchModel());
  const std::string self = SelfPath();
  if (self.empty()) {
    state.SkipWithError("cannot find this program's path");
    return;
  }
  double maxrssKb = 0, afterKb = 0, wall = 0;
  int64_t pages = 0;
  for (auto _ : state) {
    const std::string count = std::to_string(sheets);
    const uint64_t t0 = MonoNanos();
    int out[2];
    if (pipe(out) != 0) {
      state.SkipWithError("pipe failed");
      return;
    }
    pid_t pid = fork();
    if (pid == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      execl(self.c_str(), self.c_str(), kChildFlag, c->name, count.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    if (pid < 0) {
      close(out[0]);
      state.SkipWithError("fork failed");
      return;
    }
    std::string reply;
    char buf[256];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) != 0;) {
      if (n > 0) reply.append(buf, size_t(n));
      else if (errno != EINTR) break;
    }
    close(out[0]);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) {
      state.SkipWithError("wait4 failed");
      return;
    }
    const double seconds = double(MonoNanos() - t0) * 1e-9;
    state.SetIterationTime(seconds);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError(("the child job failed (status " + std::to_string(status) + ", see its error above)").c_str());
      return;
    }
    maxrssKb = std::max(maxrssKb, double(usage.ru_maxrss));
    afterKb = std::max(afterKb, std::atof(reply.c_str()));
    wall += seconds;
    pages += 2 * sheets;
  }
  state.counters["maxrss_MB"] = maxrssKb / 1024.0;
  state.counters["after_job_MB"] = afterKb / 1024.0;
  state.counters["images/min"] = wall > 0 ? double(pages) * 60.0 / wall : 0;
}

void RegisterAll() {
  for (const char* name : {"color_raw_pdf", "color_jpeg_pdf"}) {
    const ScanCase* c = FindCase(name);
    benchmark::RegisterBenchmark((std::string("BM_JobPeakMemory/") + name).c_str(), BM_JobPeakMemory, c)
        ->Arg(10)
        ->Arg(50)
        ->Arg(100)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], kChildFlag) == 0) return ChildJob(argv[2], std::atoi(argv[3]));
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
