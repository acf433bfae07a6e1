// The scan job that runs the command-line tool from the application
// bundle: the scanner query against the real tool and virtual scanners,
// whole scans with their previews read from the FIFO, a stop, crashes, a
// stand-in tool that announces its FIFO in pieces, and the controller's
// end-of-scan bookkeeping.
#include <gtest/gtest.h>

#include <csignal>

#include "FrontendTestSupport.h"
#include "ScanJob_NSTask.h"

using namespace quirel::frontend;
using namespace quirel::frontend::test;
using quirel::e2e::TempDir;

namespace {

// Sheets of small test pages for a virtual scanner: "pages=..." at 100 dpi.
std::string PagesScanner(const TempDir& dir, const std::string& model, int sides) {
  std::string list;
  for (int i = 0; i < sides; ++i) {
    const std::string path = dir.File("side" + std::to_string(i) + ".pgm");
    quirel::e2e::WritePnm(path, quirel::e2e::MakePage(i / 2 + 1, i % 2 + 1));
    list += (i ? "," : "") + path;
  }
  return "model=" + model + ";dpi=100;pages=" + list;
}

// Settings for 160 x 224 pixel pages at 100 dpi, into `path`.
void SmallPages(Quirel_Settings& s, const std::string& path) {
  s.mUsingMetric = false;
  s.mResolution = 100;
  s.mPaperWidth = s.mScanWidth = 1.6;
  s.mPaperLength = s.mScanHeight = 2.24;
  s.setFilePath(QString::fromStdString(path), false);
}

}  // namespace

TEST(ScanJobQuery, FindsTheScannersTheToolReports) {
  TempDir dir;
  const QString real = MakeBundle(dir, "Real");
  const struct {
    const char* name;
    QString bundle;
    std::string scanners;
    std::function<void(const std::optional<ScannerInfo>&)> check;
  } cases[] = {
      {"no virtual scanner", real, "", [](auto& info) { EXPECT_FALSE(info); }},
      {"one", real, "model=fi-7160",
       [](auto& info) {
         ASSERT_TRUE(info);
         EXPECT_EQ(info->modelName, "fi-7160");
         EXPECT_EQ(info->vendor, 0x4c5u);
         EXPECT_EQ(info->product, 0x132eu);
         EXPECT_EQ(info->location, 0x14100000u);
         EXPECT_TRUE(info->supported && info->hasAutoLen && info->supportsJpeg);
         EXPECT_FALSE(info->hasFlatbed || info->feedsFaceUp || info->multipleScanners);
         EXPECT_EQ(info->adfWidth, 8.85);
         EXPECT_EQ(info->adfLength, 106.3);
         EXPECT_EQ(info->adfLongResCutoff1, 400);
         EXPECT_EQ(info->adfLongLength1, 160);
         EXPECT_EQ(info->adfLongResCutoff2, 300);
         EXPECT_EQ(info->adfLongLength2, 215);
         EXPECT_EQ(info->adfLongScanModes, 7);
       }},
      {"the tool of the bundle named by QUIREL_BUNDLE", "", "model=fi-6130",
       [](auto& info) { EXPECT_TRUE(info && info->modelName == "fi-6130" && info->supported); }},
      {"two: the first, with the flag", real, "model=fi-6230;location=0x14300000|model=fi-7160",
       [](auto& info) {
         ASSERT_TRUE(info);
         EXPECT_EQ(info->modelName, "fi-6230");
         EXPECT_EQ(info->location, 0x14300000u);
         EXPECT_TRUE(info->multipleScanners && info->hasFlatbed && info->supported);
         EXPECT_GT(info->fbWidth, 8);
         EXPECT_GT(info->fbHeight, 11);
       }},
      {"a tool that fails with lines of error text", MakeBundle(dir, "Failing", "printf 'a\\nb\\nc\\nd\\n' >&2; exit 69\n"),
       "", [](auto& info) { EXPECT_FALSE(info); }},
      {"capabilities of a location printed with 0x", MakeBundle(dir, "Caps", R"(
case "$1" in
--enumerate) printf 'model vendor product location\nfi-X 0x4c5 1150 0x00abc extra\n' ;;
--capabilities) [ "$2" = 0x00abc ] || exit 3
  printf 'supported: y\nadf long scan modes: 263\nflatbed direction: left\nflatbed direction: top\n'
  printf 'adf width:  8.5in\nflatbed: yes\nfeeds face down: n\n' ;;
esac
)"),
       "", [](auto& info) {
         ASSERT_TRUE(info);
         EXPECT_EQ(info->location, 0xabcu);
         EXPECT_EQ(info->product, 0x1150u);
         EXPECT_TRUE(info->supported && info->feedsFaceUp);
         EXPECT_FALSE(info->fbLeft || info->hasFlatbed);
         EXPECT_EQ(info->adfLongScanModes, 7);
         EXPECT_EQ(info->adfWidth, 8.5);
       }},
      {"an empty field between two blanks, a capability that is not exactly its form",
       MakeBundle(dir, "Blanks", "[ \"$1\" = --enumerate ] && printf 'h\\nfi-Y 4c5  1150 abc\\n' || printf 'supported: yes\\n'\n"), "",
       [](auto& info) { EXPECT_TRUE(info && info->product == 0 && info->location == 0x1150u && !info->supported); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnv scanners("QUIREL_VIRTUAL_SCANNER", c.scanners);
    ScopedEnv bundle("QUIREL_BUNDLE", real.toStdString());
    RecordingController controller(c.bundle);
    ScanJob_NSTask job(&controller);
    c.check(job.findScanner());
  }
}

TEST(ScanJobScan, ScansWithPreviewsStopsAndReportsCrashes) {
  TempDir dir;
  RecordingController controller(MakeBundle(dir, "Real"));
  auto job = MakeScanJob(&controller);
  auto* tool = dynamic_cast<ScanJob_NSTask*>(job.get());
  ASSERT_TRUE(tool);
  Quirel_Settings& s = controller.settings();

  // A duplex scan of two sheets: four previews of the asked size, all
  // before the end of the scan.
  {
    ScopedEnv scanner("QUIREL_VIRTUAL_SCANNER", PagesScanner(dir, "fi-7160", 4));
    SmallPages(s, dir.File("duplex.pdf"));
    s.mDuplex = true;
    s.setPreviewSize(40, 56);
    // Waited for without the event loop: the previews still come first.
    job->startScan();
    job->waitForScanEnd();
    ASSERT_EQ(controller.finishedCount, 1);
    EXPECT_EQ(controller.status, 0) << controller.err.toStdString();
    EXPECT_FALSE(controller.crashed);
    EXPECT_EQ(controller.lastScanResult(), kScanResultSuccess);
    EXPECT_TRUE(controller.msg.endsWith("4 pages scanned into " + s.filePath() + ".")) << controller.msg.toStdString();
    EXPECT_EQ(controller.previewsAtFinish, 4);
    for (const auto& page : controller.pages) {
      EXPECT_EQ(page.depth, 1);
      EXPECT_LE(page.width, 40);
      EXPECT_LE(page.height, 56);
      EXPECT_TRUE(page.width == 40 || page.height == 56) << page.width << "x" << page.height;
      EXPECT_GE(page.rowBytes, page.width);
    }
    EXPECT_EQ(quirel::e2e::PdfPageCount(s.filePath().toStdString()), 4);
    EXPECT_FALSE(tool->isScanning());
  }

  // Stopped at once, before the tool has taken its stop signals: status 8
  // and no page. Stopped after the first preview: status 8 and a valid
  // file of the sheets scanned before the stop.
  for (const bool atOnce : {true, false}) {
    SCOPED_TRACE(atOnce ? "at once" : "after the first preview");
    ScopedEnv scanner("QUIREL_VIRTUAL_SCANNER", "model=fi-7160;sheets=3000");
    controller.pages.clear();
    SmallPages(s, dir.File("stopped.pdf"));
    s.mDuplex = false;
    const int finished = controller.finishedCount;
    job->startScan();
    if (!atOnce) {
      ASSERT_TRUE(WaitFor([&] { return !controller.pages.empty(); }));
    }
    job->stopScan();
    ASSERT_TRUE(WaitFor([&] { return controller.finishedCount == finished + 1; }));
    EXPECT_EQ(controller.status, 8) << controller.err.toStdString();
    EXPECT_FALSE(controller.crashed);
    EXPECT_EQ(controller.lastScanResult(), kScanResultProblems);
    if (atOnce) {
      EXPECT_EQ(controller.msg.toStdString(), "Stopped before the scan began; no page scanned.");
      continue;
    }
    std::string report;
    EXPECT_TRUE(quirel::e2e::QpdfCheck(s.filePath().toStdString(), &report)) << report;
    const int pages = quirel::e2e::PdfPageCount(s.filePath().toStdString());
    EXPECT_GE(pages, 1);
    EXPECT_LT(pages, 3000);
  }

  // Killed by a signal mid-scan: a crash, whatever the status.
  {
    ScopedEnv scanner("QUIREL_VIRTUAL_SCANNER", "model=fi-7160;sheets=3000");
    controller.pages.clear();
    SmallPages(s, dir.File("killed.pdf"));
    LogCapture log;
    job->startScan();
    ASSERT_TRUE(WaitFor([&] { return !controller.pages.empty(); }));
    ASSERT_EQ(kill(pid_t(tool->scanProcessId()), SIGKILL), 0);
    ASSERT_TRUE(WaitFor([&] { return controller.finishedCount == 4; }));
    EXPECT_TRUE(controller.crashed);
    EXPECT_EQ(controller.lastScanResult(), kScanResultFailed);
    ASSERT_FALSE(log.lines.empty());
    EXPECT_EQ(log.lines.front().rfind("scan job starting: --adf --mono --resolution 100 ", 0), 0u) << log.lines.front();
    EXPECT_EQ(log.lines.back().rfind("scan job finished, status: crashed\n - err: ", 0), 0u) << log.lines.back();
  }
}

TEST(ScanJobScan, StandInToolsAnnounceInPiecesCrashOrAreMissing) {
  TempDir dir;
  ScopedEnv fifoDir("FIFO_DIR", dir.Path());
  const struct {
    const char* name;
    std::string script;  // empty: no tool in the bundle
    int status;
    bool crashed;
    std::vector<std::string> pages;
    const char* msg;
    const char* err;
  } cases[] = {
      {"fifo announced in pieces, a second announcement, output after stdout closed", R"(
mkfifo "$FIFO_DIR/f"
printf 'side 1 scanned\npreview fi'; sleep 0.3; printf 'fo: %s/' "$FIFO_DIR"; sleep 0.3
printf 'f\npreview fifo: %s/none\n' "$FIFO_DIR"
exec 3>"$FIFO_DIR/f"
printf '2 2 1 2\nabcdt3 1 4 12\n123456789abct' >&3
exec 3>&-
rm "$FIFO_DIR/f"
echo '2 pages scanned.'
exec 1>&-
sleep 0.3; echo 'a page was discarded' >&2; exit 6
)",
       6, false, {"2x2/1", "3x1/4"}, "2 pages scanned.", "a page was discarded"},
      {"ended by a signal", "echo half >&2; kill -SEGV $$\n", -1, true, {}, "", "half"},
      {"no tool in the bundle", "", 127, false, {}, "", "cannot be run"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir bundleDir;
    QString bundle = MakeBundle(bundleDir, "StandIn", c.script.empty() ? "exit 0\n" : c.script);
    if (c.script.empty()) std::remove((bundle.toStdString() + "/Contents/MacOS/quirel").c_str());
    RecordingController controller(bundle);
    controller.settings().setPreviewSize(10, 10);
    LogCapture log;
    {
      ScanJob_NSTask job(&controller);
      job.startScan();
      ASSERT_TRUE(WaitFor([&] { return controller.finishedCount == 1; }, std::chrono::seconds(30)));
    }
    if (c.status >= 0) {
      EXPECT_EQ(controller.status, c.status);
    }
    EXPECT_EQ(controller.crashed, c.crashed);
    std::vector<std::string> pages;
    for (const auto& p : controller.pages) pages.push_back(std::to_string(p.width) + "x" + std::to_string(p.height) + "/" + std::to_string(p.depth));
    EXPECT_EQ(pages, c.pages);
    EXPECT_EQ(controller.previewsAtFinish, int(c.pages.size()));
    EXPECT_TRUE(controller.msg.endsWith(QString::fromLatin1(c.msg))) << controller.msg.toStdString();
    EXPECT_TRUE(controller.err.contains(QString::fromLatin1(c.err))) << controller.err.toStdString();
    for (const std::string& line : log.lines) EXPECT_EQ(line.find("preview:"), std::string::npos) << line;
  }
}

TEST(ScanJobScan, ControllerSortsEveryEndIntoItsResult) {
  const struct {
    int status;
    bool crashed;
    int32_t result;
  } cases[] = {{0, false, kScanResultSuccess}, {8, false, kScanResultProblems}, {11, false, kScanResultProblems},
               {4, false, kScanResultFailed}, {8, true, kScanResultFailed},
               {6, false, kScanResultProblems}, {9, false, kScanResultProblems}, {10, false, kScanResultProblems}};
  for (const auto& c : cases) {
    RecordingController controller("");
    LogCapture log;
    controller.scanFinished(c.status, c.crashed, "summary", "problem");
    EXPECT_EQ(controller.lastScanResult(), c.result) << c.status << (c.crashed ? " crashed" : "");
    ASSERT_EQ(log.lines.size(), 1u);
    const std::string head = c.crashed ? "crashed" : std::to_string(c.status);
    EXPECT_EQ(log.lines[0], "scan job finished, status: " + head + "\n - err: problem\n - msgs: \nsummary");
  }
}
