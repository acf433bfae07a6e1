// End-to-end speed of the scan engine: whole duplex jobs at 300 dpi run in
// this process (ScanJob with the tool's parameters) against a virtual
// scanner that delivers as fast as it can, into PDF or TIFF files.
//
// One iteration is one job of `sheets` sheets (the benchmark's argument,
// QUIREL_BENCH_SHEETS or 20); run with --benchmark_repetitions=N to repeat.
// Counters:
//   sheets/min, images/min  end-to-end rates over the job's wall time
//   scanner_share           part of the job's wall time spent inside the
//                           virtual scanner's pipe transfers; near 1 would
//                           mean the simulation, not the engine, sets the pace
//   scanner_MB/s            bytes the scanner delivered per second spent in it
// The first job of each case runs untimed, so that the scanner's renderings
// of the sides are made before the measurement.
#include <benchmark/benchmark.h>

#include <map>
#include <set>

#include "EngineScanRig.h"

namespace {

using namespace quirel::bench;

// One virtual scanner per sheet count, kept for the whole run so that its
// renderings are made once.
VirtualScannerOnBus* ScannerFor(int sheets, std::string* error) {
  static std::map<int, std::unique_ptr<VirtualScannerOnBus>> scanners;
  static std::map<int, std::string> errors;
  static int installed = -1;
  auto& s = scanners[sheets];
  if (!s) s = std::make_unique<VirtualScannerOnBus>(sheets, &errors[sheets]);
  if (!s->ok()) {
    *error = errors[sheets];
    return nullptr;
  }
  if (installed != sheets) {
    s->Install();
    installed = sheets;
  }
  return s.get();
}

void BM_Scan(benchmark::State& state, const ScanCase* c) {
  const int sheets = int(state.range(0));
  state.SetLabel(BenchModel());
  std::string error;
  if (!ScannerFor(sheets, &error)) {
    state.SkipWithError(("virtual scanner: " + error).c_str());
    return;
  }
  quirel::testing::TempDir folder("bench");
  if (folder.Path().empty()) {
    state.SkipWithError("cannot create an output folder");
    return;
  }
  static std::set<std::pair<std::string, int>> warmed;
  if (warmed.insert({c->name, sheets}).second) {
    JobOutcome warm = RunScanJob(*c, folder.Path(), 2 * sheets);
    warm.RemoveFiles();
    if (!warm.error.empty()) {
      state.SkipWithError(warm.error.c_str());
      return;
    }
  }

  int64_t pages = 0, jobs = 0;
  double wall = 0, inScanner = 0, bytesIn = 0;
  for (auto _ : state) {
    TheScannerTime().Reset();
    const uint64_t t0 = MonoNanos();
    JobOutcome job = RunScanJob(*c, folder.Path(), 2 * sheets);
    const double seconds = double(MonoNanos() - t0) * 1e-9;
    state.SetIterationTime(seconds);
    job.RemoveFiles();
    if (!job.error.empty()) {
      state.SkipWithError(job.error.c_str());
      return;
    }
    pages += job.pages;
    ++jobs;
    wall += seconds;
    inScanner += double(TheScannerTime().nanos.load()) * 1e-9;
    bytesIn += double(TheScannerTime().bytesIn.load());
  }
  // Per minute of the jobs' wall time (a rate counter would print per second).
  state.counters["sheets/min"] = wall > 0 ? double(jobs) * sheets * 60.0 / wall : 0;
  state.counters["images/min"] = wall > 0 ? double(pages) * 60.0 / wall : 0;
  state.counters["scanner_share"] = wall > 0 ? inScanner / wall : 0;
  state.counters["scanner_MB/s"] = inScanner > 0 ? bytesIn / inScanner / 1e6 : 0;
}

int RegisterAll() {
  const char* env = std::getenv("QUIREL_BENCH_SHEETS");
  const int sheets = (env && std::atoi(env) > 0) ? std::atoi(env) : 20;
  for (const ScanCase& c : ScanCases()) {
    benchmark::RegisterBenchmark((std::string("BM_Scan/") + c.name).c_str(), BM_Scan, &c)
        ->Arg(sheets)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  return 0;
}

const int kRegistered = RegisterAll();

}  // namespace

BENCHMARK_MAIN();
