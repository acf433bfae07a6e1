// The scan window during a scan, offscreen, with the real tool and the
// virtual scanner:
//
//   BM_SideToPreview      time from the tool's "side N scanned" line to the
//                         side's preview being drawn in the grid (median,
//                         95th percentile and worst side of a duplex colour
//                         scan)
//   BM_MemoryOver100Sheets  the application's resident memory while a
//                         100-sheet duplex colour scan runs: at the start,
//                         after the first pages, at the end, and its growth
//                         per page over the scan (flat: it must not grow with
//                         the pages)
//
// The tool's lines are timed where the tool writes them: the bundle's
// "quirel" is this program again, which runs the real tool, passes its
// output through unchanged and notes the moment each "side N scanned" line
// leaves the tool. Times are CLOCK_MONOTONIC in both processes.
#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QMainWindow>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "../ProcessMemory.h"
#include "Quirel_ScanController_App_Pro.h"
#include "ScanPreviewControl.h"
#include "UsbLayer.h"
#include "VirtualScanner.h"

extern char** environ;

namespace {

using quirel::bench::ResidentKb;

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// ---- The relay that stands in for the bundle's tool ----

pid_t gChild = 0;
void Forward(int sig) {
  if (gChild > 0) kill(gChild, sig);
}

int Relay(int argc, char** argv) {
  const char* real = std::getenv("QUIREL_BENCH_REAL_TOOL");
  const char* linesPath = std::getenv("QUIREL_BENCH_LINES");
  if (!real) {
    std::fprintf(stderr, "quirel relay: QUIREL_BENCH_REAL_TOOL is not set\n");
    return 70;
  }
  int out[2];
  if (pipe(out) != 0) return 71;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<char*> args{const_cast<char*>(real)};
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  if (posix_spawn(&gChild, real, &actions, nullptr, args.data(), environ) != 0) return 71;
  close(out[1]);
  signal(SIGINT, Forward);
  signal(SIGTERM, Forward);
  signal(SIGPIPE, SIG_IGN);
  FILE* lines = linesPath ? std::fopen(linesPath, "a") : nullptr;
  std::string pending;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(out[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const int64_t now = NowNs();
    pending.append(buf, size_t(n));
    for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
      int side = 0;
      if (lines && std::sscanf(pending.c_str(), "side %d scanned", &side) == 1)
        std::fprintf(lines, "%d %lld\n", side, (long long)now);
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(1, buf + done, size_t(n - done));
      if (w <= 0) break;
      done += w;
    }
  }
  if (lines) std::fclose(lines);
  int status = 0;
  while (waitpid(gChild, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) {
    signal(WTERMSIG(status), SIG_DFL);
    raise(WTERMSIG(status));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// ---- The window under measurement ----

// Notes when each page is first drawn (the paint that follows its arrival).
class DrawTimes : public QObject {
 public:
  explicit DrawTimes(ScanPreviewControl* grid) : mGrid(grid) { grid->installEventFilter(this); }
  std::vector<int64_t> drawn;  // by page
  std::vector<long> residentKb;  // by page, when it arrived in the grid

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == mGrid && event->type() == QEvent::Paint) {
      const int64_t now = NowNs();
      while (int(drawn.size()) < mGrid->pageCount()) {
        drawn.push_back(now);
        residentKb.push_back(ResidentKb());
      }
    }
    return false;
  }

 private:
  ScanPreviewControl* mGrid;
};

struct ScanRun {
  std::map<int, int64_t> scanned;  // side -> line time
  std::vector<int64_t> drawn;
  std::vector<long> residentKb;
  long startKb = 0;
  long endKb = 0;
  int packed = 0;
};

ScanRun RunScan(int sheets, int resolution) {
  QTemporaryDir dir;
  const QString bundle = dir.filePath("Quirel.app");
  QDir().mkpath(bundle + "/Contents/MacOS");
  QFile::link(QCoreApplication::applicationFilePath(), bundle + "/Contents/MacOS/quirel");
  const QString lines = dir.filePath("lines");
  const QString description = QString("model=fi-7160;sheets=%1").arg(sheets);
  qputenv("QUIREL_BUNDLE", bundle.toUtf8());
  qputenv("QUIREL_BENCH_REAL_TOOL", QByteArray(QUIREL_TOOL_PATH));
  qputenv("QUIREL_BENCH_LINES", lines.toUtf8());
  qputenv("QUIREL_VIRTUAL_SCANNER", description.toUtf8());
  qputenv("XDG_CONFIG_HOME", dir.filePath("config").toUtf8());
  std::string error;
  std::unique_ptr<quirel::usb::UsbBus> bus = quirel::virt::MakeVirtualBus(description.toStdString(), &error);
  quirel::usb::SetBusForTesting(bus.get());

  ScanRun run;
  {
    Quirel_ScanController_App_Pro app;
    app.awakeFromNib();
    app.window()->resize(1080, 700);
    (void)QTest::qWaitForWindowExposed(app.window());
    auto* grid = app.window()->findChild<ScanPreviewControl*>("imageVw");
    DrawTimes times(grid);
    auto& s = app.settings();
    s.mScanTypeTag = 24;
    s.mResolution = resolution;
    s.mDuplex = true;
    app.applySettings();
    s.setFilePath(dir.filePath("bench.pdf"), false);
    QCoreApplication::processEvents();
    run.startKb = ResidentKb();
    app.startScan();
    if (!QTest::qWaitFor([&] { return !app.scanning(); }, 600000)) std::fprintf(stderr, "the scan did not end\n");
    QTest::qWait(50);
    run.endKb = ResidentKb();
    run.drawn = times.drawn;
    run.residentKb = times.residentKb;
    run.packed = grid->cell().packedPageCount();
    if (QDialog* done = app.doneSheet()) done->hide();
  }
  quirel::usb::SetBusForTesting(nullptr);
  QFile f(lines);
  if (f.open(QIODevice::ReadOnly))
    while (!f.atEnd()) {
      int side = 0;
      long long t = 0;
      if (std::sscanf(f.readLine().constData(), "%d %lld", &side, &t) == 2) run.scanned[side] = t;
    }
  return run;
}

void BM_SideToPreview(benchmark::State& state) {
  std::vector<double> latencyMs;
  int sides = 0;
  for (auto _ : state) {
    const ScanRun run = RunScan(int(state.range(0)), 150);
    sides = int(run.drawn.size());
    for (size_t i = 0; i < run.drawn.size(); ++i) {
      auto it = run.scanned.find(int(i) + 1);
      if (it != run.scanned.end()) latencyMs.push_back(double(run.drawn[i] - it->second) / 1e6);
    }
  }
  if (latencyMs.empty()) {
    state.SkipWithError("no side was both scanned and drawn");
    return;
  }
  std::sort(latencyMs.begin(), latencyMs.end());
  state.counters["sides"] = sides;
  state.counters["median_ms"] = latencyMs[latencyMs.size() / 2];
  state.counters["p95_ms"] = latencyMs[std::min(latencyMs.size() - 1, latencyMs.size() * 95 / 100)];
  state.counters["max_ms"] = latencyMs.back();
}
BENCHMARK(BM_SideToPreview)->Arg(20)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MemoryOver100Sheets(benchmark::State& state) {
  ScanRun run;
  for (auto _ : state) run = RunScan(100, 150);
  const size_t n = run.residentKb.size();
  if (n < 40) {
    state.SkipWithError("too few pages arrived");
    return;
  }
  // Growth per page over the scan after the first screens (least squares
  // over pages 20 to the last).
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  int m = 0;
  for (size_t i = 20; i < n; ++i, ++m) {
    sx += double(i);
    sy += double(run.residentKb[i]);
    sxx += double(i) * double(i);
    sxy += double(i) * double(run.residentKb[i]);
  }
  const double slope = (m * sxy - sx * sy) / (m * sxx - sx * sx);
  state.counters["pages"] = double(n);
  state.counters["start_MB"] = run.startKb / 1024.0;
  state.counters["page20_MB"] = run.residentKb[20] / 1024.0;
  state.counters["end_MB"] = run.endKb / 1024.0;
  state.counters["peak_MB"] = *std::max_element(run.residentKb.begin(), run.residentKb.end()) / 1024.0;
  state.counters["KB_per_page"] = slope;
  state.counters["packed_pages"] = run.packed;
}
BENCHMARK(BM_MemoryOver100Sheets)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  const char* slash = std::strrchr(argv[0], '/');
  if (std::strcmp(slash ? slash + 1 : argv[0], "quirel") == 0) return Relay(argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
