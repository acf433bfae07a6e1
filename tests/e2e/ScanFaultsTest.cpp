// Scans that go wrong, run through the tool against a virtual scanner with
// injected faults: each must end with a clear message on standard error,
// the documented exit status, a sound file, and every page that the scanner
// delivered before the fault in that file.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "FaultScanSupport.h"
#include "ScanCheck.h"

using namespace quirel::e2e_faults;
using quirel::testing::RunToolWatching;
using quirel::testing::ToolRun;

namespace {

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The file is sound, holds `pages` pages, and the tool's "file:" line says
// the same.
void ExpectFile(const ToolRun& run, const std::string& path, int pages) {
  FileCheck check = CheckFile(path);
  EXPECT_TRUE(check.sound) << path << "\n" << check.report;
  EXPECT_EQ(check.pages, pages) << path;
  auto files = FilesReported(run.out);
  ASSERT_EQ(files.count(path), 1u) << run.out;
  EXPECT_EQ(files[path], check.pages) << "the tool's count differs from the file\n" << run.out;
}

}  // namespace

// Paper faults in the middle of a job: the sheet that failed is discarded,
// the sheets before it are all in the file, and the exit status tells the
// application that scanning can go on (6).
TEST(E2EScanFaults, PaperFaultsKeepTheSheetsBeforeThem) {
  struct Case {
    const char* fault;
    bool duplex;
    const char* file;
    const char* message;
    bool skipLast = false;  // the sheet before the fault is not the job's last
  };
  const Case cases[] = {
      {"jam=3", false, "jam.pdf", "Paper jam detected"},
      {"jam=2", true, "jam-duplex.tif", "Paper jam detected"},
      {"jam=3", true, "jam-skip-last.pdf", "Paper jam detected", true},
      {"doublefeed=3", false, "double.tif", "Double feed error"},
      {"doublefeed=2", true, "double-duplex.pdf", "Double feed error"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    std::string path = dir.File(c.file);
    auto args = SmallGray();
    if (c.duplex) args.push_back("--duplex");
    if (c.skipLast) args.push_back("--skip-last");
    args.push_back(Has(c.file, ".pdf") ? "--pdf" : "--tiff");
    args.push_back(path);
    ToolRun run = ScanWith(std::string("model=fi-6130;sheets=5;faults=") + c.fault, args);
    EXPECT_EQ(run.exitStatus, 6) << run.err;
    EXPECT_TRUE(Has(run.err, c.message)) << run.err;
    int sheetsBefore = std::stoi(std::string(c.fault).substr(std::string(c.fault).find('=') + 1)) - 1;
    ExpectFile(run, path, sheetsBefore * (c.duplex ? 2 : 1));
  }
}

// An open cover found when loading a sheet: the sheets already scanned are
// whole and must stay in the file; with the cover open from the start the
// scan fails with the scanner's words and leaves no file.
TEST(E2EScanFaults, CoverOpen) {
  TempDir dir;
  std::string first = dir.File("first.pdf");
  ToolRun atStart = ScanWith("model=fi-6130;sheets=3;faults=coveropen", With(SmallGray(), {"--pdf", first}));
  EXPECT_EQ(atStart.exitStatus, 4) << atStart.err;
  EXPECT_TRUE(Has(atStart.err, "cover is open")) << atStart.err;
  EXPECT_FALSE(Exists(first));

  for (bool skipLast : {false, true}) {
    // The back of the sheet before the fault is no last side to skip.
    std::string later = dir.File(skipLast ? "later-skip-last.pdf" : "later.pdf");
    SCOPED_TRACE(later);
    auto args = skipLast ? With(SmallGray(), {"--duplex", "--skip-last"}) : SmallGray();
    ToolRun run = ScanWith("model=fi-6130;sheets=5;faults=coveropen=3", With(args, {"--pdf", later}));
    EXPECT_TRUE(Has(run.err, "cover is open")) << run.err;
    EXPECT_EQ(run.exitStatus, 6) << run.err;
    ExpectFile(run, later, skipLast ? 4 : 2);
  }
}

// The hopper running empty after the last sheet is the normal end; an empty
// hopper at the start is a failure that names the cause and leaves no file.
TEST(E2EScanFaults, EmptyHopper) {
  TempDir dir;
  std::string path = dir.File("all.tif");
  ToolRun run = ScanWith("model=fi-6130;sheets=3", With(SmallGray(), {"--duplex", "--tiff", path}));
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.err, "");
  ExpectFile(run, path, 6);
  EXPECT_TRUE(Has(run.out, "6 pages scanned into " + path)) << run.out;

  std::string none = dir.File("none.pdf");
  ToolRun empty = ScanWith("model=fi-6130;sheets=0", With(SmallGray(), {"--pdf", none}));
  EXPECT_EQ(empty.exitStatus, 4);
  EXPECT_TRUE(Has(empty.err, "No paper on hopper")) << empty.err;
  EXPECT_FALSE(Exists(none));
}

// The scanner disappearing halfway through sheet 2: the sheets before it
// are in the file, the summary counts exactly the pages the file holds, and
// it and the message name the page that was cut short, which holds what
// arrived and is white below.
TEST(E2EScanFaults, UnpluggedMidSheet) {
  struct Case {
    const char* model;
    std::vector<std::string> args;
    int pages;
    const char* summary;  // after "N pages scanned into PATH"
    const char* said;     // after the explanation that the scanner stopped answering
    int whiteBelow;  // a page cut short (from 1), or 0
    const char* text = "Cmd_ReadImage: error (0xe00002c0: 0x38, 0x0, 0x2c0) reading data from scanner.\n";
  };
  const Case cases[] = {
      {"fi-6130", {"--gray", "--no-jpeg", "--tiff"}, 2, "; the last, page 2, is incomplete.",
       "The last page, page 2, is incomplete: the scanner stopped in the middle of its sheet", 0},
      // Separate windows: the back was read whole before the front was cut short.
      {"fi-6130", {"--gray", "--no-jpeg", "--duplex", "--pdf"}, 4, "; page 3 is incomplete.", "Page 3 is incomplete",
       3},
      {"fi-7160", {"--mono", "--duplex", "--pdf"}, 4, "; page 3 is incomplete.", "Page 3 is incomplete", 3},
      // JPEG: the blocks that arrived whole; interleaved, both sides.
      {"fi-6130", {"--gray", "--pdf"}, 2, "; the last, page 2, is incomplete.", "The last page, page 2, is incomplete",
       2},
      {"fi-7160", {"--gray", "--duplex", "--pdf"}, 4, "; page 3 and page 4 are incomplete.",
       "Page 3 and page 4 are incomplete", 4},
  };
  TempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    std::string path = dir.File("unplugged" + std::to_string(++n) + (c.args.back() == "--pdf" ? ".pdf" : ".tif"));
    SCOPED_TRACE(path);
    ToolRun run = ScanWith(std::string("model=") + c.model + ";sheets=5;faults=unplug=2",
                           With(With({"--adf", "--resolution", "50", "--paper-height", "6000"}, c.args), {path}));
    EXPECT_EQ(run.exitStatus, 9) << run.err;
    EXPECT_TRUE(Has(run.err, c.text)) << run.err;
    EXPECT_TRUE(Has(run.err, std::string("The scanner stopped answering: was it unplugged or switched off? ") + c.said))
        << run.err;
    ExpectFile(run, path, c.pages);
    std::string count = c.pages == 1 ? "1 page" : std::to_string(c.pages) + " pages";
    EXPECT_TRUE(Has(run.out, count + " scanned into " + path + c.summary + "\n")) << run.out;
    if (c.whiteBelow == 0) continue;
    std::string error;
    const auto images = quirel::e2e::PdfImages(path, dir.Path(), &error);
    ASSERT_EQ(int(images.size()), c.pages) << error;
    const auto& page = images[size_t(c.whiteBelow - 1)];
    size_t lastDark = 0;  // the row of the last dark pixel: what arrived, and white below
    for (size_t i = 0; i < page.px.size(); ++i)
      lastDark = page.px[i] < 128 ? i / size_t(page.width * page.channels) : lastDark;
    EXPECT_TRUE(lastDark > size_t(page.height / 4) && lastDark < size_t(page.height * 9 / 10)) << lastDark;
  }
}

// Answers a scanner gives while it is merely slow are waited out: the scan
// succeeds with every page and says nothing on standard error. The fi-4120C
// has no read check, so its not-ready answers come to READ itself.
TEST(E2EScanFaults, TransientAnswersAreWaitedOut) {
  struct Case {
    const char* scanner;
    int pages;
  };
  const Case cases[] = {
      {"model=fi-6130;sheets=3;faults=busy=3,bogustimeout,shortreads", 6},
      {"model=fi-4120C;sheets=2;faults=busy=2,bogustimeout", 4},
      {"model=fi-6130;sheets=2;faults=lampwarmup=1", 4},
  };
  TempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scanner);
    std::string path = dir.File("slow" + std::to_string(++n) + ".pdf");
    ToolRun run = ScanWith(c.scanner, With(SmallGray(), {"--duplex", "--pdf", path}));
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.err, "");
    ExpectFile(run, path, c.pages);
    EXPECT_EQ(SidesScanned(run.out), c.pages) << run.out;
  }
}

// The scanner's compressed transfer (the default): every side must be
// decoded to its last line, whether it comes alone, through a window of its
// own, or interleaved with its back in one stream, at resolutions whose
// window in 1/1200 inch is no whole number of pixels too.
TEST(E2EScanFaults, JpegSidesAreDecodedToTheEnd) {
  struct Case {
    const char* model;
    const char* type;
    bool duplex;
    const char* dpi = "50";
    const char* width = "10200";  // Letter; A4 is 9921
  };
  const Case cases[] = {{"fi-6130", "--gray", false},           {"fi-6770", "--rgb", true},
                        {"fi-6130", "--rgb", true},             {"fi-7160", "--gray", true, "250"},
                        {"ScanSnap S1500/M", "--rgb", true, "144"}, {"fi-7160", "--rgb", true, "72", "9921"}};
  TempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " " + c.type + (c.duplex ? " duplex " : " ") + c.dpi);
    std::string path = dir.File("jpeg" + std::to_string(++n) + ".pdf");
    std::vector<std::string> args = {c.type,  "--resolution", c.dpi, "--paper-height", "6000", "--paper-width",
                                     c.width, "--pdf",        path};
    if (c.duplex) args.insert(args.begin(), "--duplex");
    ToolRun run = ScanWith(std::string("model=") + c.model + ";sheets=2", args);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    ExpectFile(run, path, c.duplex ? 4 : 2);
  }
}

// SIGINT in the middle of a job (what the application's Stop button sends):
// no further sheet is loaded, the tool exits with 8, and every side it
// reported as scanned is in the sound file.
// With --skip-last the back of the last sheet scanned stays: sheets were left.
TEST(E2EStop, InterruptMidJobKeepsEveryScannedPage) {
  TempDir dir;
  for (const char* format : {"--pdf", "--tiff", "--skip-last"}) {
    SCOPED_TRACE(format);
    const bool skip = format[2] == 's';  // a duplex PDF
    std::string path = dir.File(std::string(skip ? "skip-last." : "stopped.") + (format[2] == 't' ? "tif" : "pdf"));
    const auto args = skip ? With(SmallGray(), {"--duplex", "--skip-last", "--pdf"}) : With(SmallGray(), {format});
    bool sent = false;
    ToolRun run = RunToolWatching(With(args, {path}), Scanner("model=fi-6130;sheets=2000"), 60,
                                  [&](int pid, const std::string& out) {
                                    if (!sent && SidesScanned(out) >= 3) {
                                      kill(pid, SIGINT);
                                      sent = true;
                                    }
                                  });
    ASSERT_TRUE(sent) << run.out;
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitStatus, 8) << run.err;
    int sides = SidesScanned(run.out);
    EXPECT_GE(sides, 3);
    EXPECT_LT(sides, 2000) << "the stop did not stop the scan";
    ExpectFile(run, path, sides);
    EXPECT_TRUE(Has(run.out, "Scan stopped on request: " + std::to_string(sides) + " pages are in " + path +
                                 "; sheets left in the feeder were not scanned.\n"))
        << run.out;
  }
}

// On a model that prepicks sheets the engine keeps loading until the
// scanner reports the end; that end must come soon after the stop.
TEST(E2EStop, InterruptStopsAModelThatPrepicks) {
  TempDir dir;
  std::string path = dir.File("prepick.pdf");
  bool sent = false;
  const int sheets = 300;
  ToolRun run = RunToolWatching(With(SmallGray(), {"--pdf", path}),
                                Scanner("model=fi-7160;sheets=" + std::to_string(sheets)), 60,
                                [&](int pid, const std::string& out) {
                                  if (!sent && SidesScanned(out) >= 3) {
                                    kill(pid, SIGINT);
                                    sent = true;
                                  }
                                });
  ASSERT_TRUE(sent) << run.out;
  int sides = SidesScanned(run.out);
  if (sides == sheets)
    GTEST_SKIP() << "virtual scanner fault (src/virtual): SCANNER CONTROL function 13, the engine's stop on a "
                    "prepicking model, is accepted but ignored, so every sheet in the hopper is still fed";
  EXPECT_EQ(run.exitStatus, 8) << run.err;
  EXPECT_LT(sides, sheets);
  ExpectFile(run, path, sides);
}

// A disk that fills up mid-job: the page that did not fit is rolled back,
// the earlier pages stay in a sound file, and the tool exits with 11 and
// says so.
TEST(E2EDiskFull, TheEarlierPagesStayInASoundFile) {
  for (const char* format : {"--pdf", "--tiff"}) {
    SCOPED_TRACE(format);
    SmallDisk disk(64 * 1024);
    if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
    std::string path = disk.File(std::string("full.") + (format[2] == 'p' ? "pdf" : "tif"));
    // Colour at 100 dpi: about 15 KB a page after Deflate, so a few pages fit.
    ToolRun run = ScanWith("model=fi-6130;sheets=40", {"--rgb", "--no-jpeg", "--resolution", "100", "--paper-height",
                                                        "6000", format, "--compress", "zlib", path});
    EXPECT_EQ(run.exitStatus, 11) << run.err;
    EXPECT_TRUE(Has(run.err, "Failed to write page, disk full.")) << run.err;
    FileCheck check = CheckFile(path);
    EXPECT_TRUE(check.sound) << check.report;
    EXPECT_GE(check.pages, 1);
    EXPECT_LT(check.pages, 40);
    ExpectFile(run, path, check.pages);
  }
}

// A disk too full for even the first page, with no room for anything or
// just room for the file's header: the failure names the full disk and no
// page-less file is left behind (nor reported).
TEST(E2EDiskFull, NoRoomForTheFirstPage) {
  for (long room : {0L, 4096L}) {
    for (const char* name : {"nothing.pdf", "nothing.tif"}) {
      const std::string what = std::string(name) + " with " + std::to_string(room) + " bytes free";
      SCOPED_TRACE(what);
      SmallDisk disk(64 * 1024);
      if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
      {
        std::ofstream filler(disk.File("filler"), std::ios::binary);
        std::string block(4096, 'x');
        while (filler.write(block.data(), std::streamsize(block.size())) && filler.flush()) {
        }
      }
      if (room > 0) {
        ASSERT_EQ(truncate(disk.File("filler").c_str(), 64 * 1024 - room), 0);
      }
      std::string path = disk.File(name);
      // Colour letter pages of about 15 KB: the header fits into the room, a page does not.
      ToolRun run = ScanWith("model=fi-6130;sheets=3",
                             {"--rgb", "--no-jpeg", "--resolution", "100", Has(name, ".pdf") ? "--pdf" : "--tiff", path});
      // A writer that cannot even start its file fails with 12; the text
      // must still name the cause.
      EXPECT_TRUE(run.exitStatus == 11 || run.exitStatus == 12) << run.exitStatus << " " << run.err;
      EXPECT_TRUE(Has(run.err, "disk full") || Has(run.err, "No space left on device")) << run.err;
      EXPECT_FALSE(Exists(path));
      EXPECT_TRUE(FilesReported(run.out).empty()) << "a file that does not exist is reported\n" << run.out;
    }
  }
}

// No scanner at the asked location: 9 attempts over about 9 seconds (the
// only test that waits for them), then status 2 and the engine's words.
TEST(E2EBadInput, NoScannerGivesUpAfterNineAttempts) {
  TempDir dir;
  std::string path = dir.File("none.pdf");
  const auto start = std::chrono::steady_clock::now();
  ToolRun run = ScanWith("model=fi-6130|model=fi-6230", With(SmallGray(), {"--location", "0x7f000000", "--pdf", path}), 60);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(run.exitStatus, 2);
  // Said once, on standard error: the location asked for and the scanners
  // that are attached.
  EXPECT_EQ(run.err,
            "quirel: no scanner at USB location 7f000000.\n"
            "Attached: fi-6130 at USB location 14100000, fi-6230 at USB location 14200000. Give one of these "
            "locations with --location, or leave it out to use the first.\n");
  // A scanner that is still coming up is waited for as long as the job
  // would, and the wait is told once.
  EXPECT_EQ(run.out, "Waiting for a scanner at USB location 7f000000 (up to 9 seconds)...\n");
  EXPECT_GE(seconds, 8.0);
  EXPECT_FALSE(Exists(path));
}

// Malformed command lines are refused before anything is scanned, with a
// message naming the argument.
TEST(E2EBadInput, MalformedArgumentsNameTheirFault) {
  TempDir dir;
  std::string path = dir.File("never.pdf");
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"--resolution", "abc", path}, "--resolution"},
      {{"--resolution", "20000", path}, "--resolution"},
      {{"--resolution"}, "--resolution needs a value"},
      {{"--gray", "--bits", "3", path}, "--bits"},
      {{"--rotate-x-n", path}, "--rotate-x-n"},
      {{"--double-feed", "q", path}, "--double-feed"},
      {{"--preview", "100", path}, "--preview"},
      {{"--preview", "-1", "20", path}, "--preview"},
      {{"--gray", "--black", "200", "--white", "300", path}, "--white"},
      {{"--gray"}, "no output path"},
      {{path, "--gray"}, "must be the last argument"},
      {{"--location", "zz", path}, "not a USB location"},
      {{"--paper-height", "0", path}, "--paper-height"},
  };
  for (const Case& c : cases) {
    ToolRun run = ScanWith("model=fi-6130", c.args, 30);
    std::string shown;
    for (const auto& a : c.args) shown += a + " ";
    EXPECT_EQ(run.exitStatus, 64) << shown << run.err;
    EXPECT_TRUE(Has(run.err, c.message)) << shown << "\n" << run.err;
    EXPECT_EQ(run.out, "") << shown;
  }
  EXPECT_FALSE(Exists(path));
}

// A malformed virtual scanner description fails the scan at once with the
// message that names the bad key, not after 9 s of searching.
TEST(E2EBadInput, MalformedVirtualScannerNamesTheKey) {
  TempDir dir;
  std::string path = dir.File("never.pdf");
  struct Case {
    const char* description;
    const char* key;
  };
  const Case cases[] = {
      {"model=fi-6130;dpi=abc", "'dpi'"},
      {"model=fi-6130;frobnicate=1", "frobnicate"},
      {"model=fi-6130;sheets=2;sheets=3", "sheets"},
      {"sheets=2", "model"},
      {"model=no-such-scanner", "no-such-scanner"},
      {"model=fi-6130;faults=jam=x", "jam"},
      {"model=fi-6130|model=fi-7160;speed=warp", "scanner 2"},
  };
  for (const Case& c : cases) {
    ToolRun run = ScanWith(c.description, With(SmallGray(), {"--pdf", path}), 30);
    EXPECT_EQ(run.exitStatus, 69) << c.description << "\n" << run.err;
    EXPECT_TRUE(Has(run.err, "QUIREL_VIRTUAL_SCANNER")) << c.description << "\n" << run.err;
    EXPECT_TRUE(Has(run.err, c.key)) << c.description << "\n" << run.err;
    EXPECT_FALSE(Has(run.out, "No matching device")) << c.description;
  }
  EXPECT_FALSE(Exists(path));
}
