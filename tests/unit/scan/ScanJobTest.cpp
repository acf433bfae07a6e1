// Tests of whole scan jobs against the virtual scanner, under a fake clock.
//
// Search, check, set-up, the ways a page loop ends, and the job's status and
// texts.
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <regex>
#include <cmath>
#include <sstream>
#include <thread>

#include "FujiCmds.h"
#include "ScanTestSupport.h"

namespace scantest {
namespace {

using quirel::testing::FakeClock;

constexpr uint8_t kTur = 0x00, kSense = 0x03, kRelease = 0x17, kScan = 0x1B, kObjPos = 0x31, kControl = 0xF1;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A gray job at 100 dpi over a 2 x 2 inch window, written as TIFF.
ScanParams JobParams(const std::string& base) {
  ScanParams p(kImageTypeGray);
  p.mXRes = p.mYRes = 100;
  p.mScanWidth = p.mScanHeight = 2400;
  p.mFileType = kFileTypeTIFF;
  p.mBaseFilePath = base;
  p.mAllowJpeg = false;
  return p;
}

struct Outcome {
  int wait = -1;
  bool completed = false;
  ScanResults r;
  std::string out, err;
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
};

Outcome RunJob(ScanParams p) {
  Outcome o;
  p.mScanCompleteFunc = [&o](const ScanResults* r) {
    o.r = *r;
    o.completed = true;
  };
  std::ostringstream out, err;
  {
    ScanJob job(&p, false, &out, &err);
    o.wait = job.WaitForScan();
  }
  o.out = out.str();
  o.err = err.str();
  return o;
}

// A fake clock whose sleeps also go into the bus's log, in their place
// among the commands.
struct LoggingClock : FakeClock {
  explicit LoggingClock(const std::unique_ptr<SpyBus>* spyBus) : bus(spyBus) {}
  void SleepMicros(uint64_t micros) override {
    if (*bus) (*bus)->log.sleeps.emplace_back((*bus)->log.cdbs.size(), micros);
    FakeClock::SleepMicros(micros);
  }
  const std::unique_ptr<SpyBus>* bus;
};

class ScanJobTest : public EngineTest {
 protected:
  // One job on a fresh virtual scanner; `tweak` adjusts the parameters.
  Outcome Scan(const std::string& description, std::function<void(ScanParams&)> tweak = nullptr,
               std::function<void(SpyLog&)> hook = nullptr) {
    // The old clock and bus uninstall themselves when destroyed: first.
    bus.reset();
    clock.reset();
    gStopNow.store(false);
    clock = std::make_unique<LoggingClock>(&bus);
    bus = std::make_unique<SpyBus>(description);
    if (hook) hook(bus->log);
    ScanParams p = JobParams(dir.File("scan" + std::to_string(++jobs)));
    if (tweak) tweak(p);
    Outcome o = RunJob(p);
    // The pages the results claim are the pages on disk.
    int total = 0;
    for (size_t i = 0; i < o.r.mFilePaths.size(); ++i) {
      EXPECT_EQ(int(ReadTiff(o.r.mFilePaths[i]).size()), o.r.mPageCounts[i]);
      total += o.r.mPageCounts[i];
    }
    EXPECT_EQ(total, o.r.mTotalPages);
    return o;
  }
  const SpyLog& Log() const { return bus->log; }

  TempDir dir;
  int jobs = 0;
  std::unique_ptr<FakeClock> clock;
  std::unique_ptr<SpyBus> bus;
};

// A clock that asks the job to stop the first time the engine sleeps.
struct StopOnSleepClock : FakeClock {
  void SleepMicros(uint64_t micros) override {
    gStopNow.store(true);
    FakeClock::SleepMicros(micros);
  }
};

TEST_F(ScanJobTest, NoScannerGivesUpAfterNineAttempts) {
  Outcome o = Scan("");
  EXPECT_EQ(bus->enumerations, 9);
  EXPECT_EQ(clock->sleeps, (std::vector<uint64_t>{250000, 500000, 750000, 1000000, 1250000, 1500000, 1750000, 2000000}));
  std::vector<std::string> lines = o.Lines();
  ASSERT_EQ(lines.size(), 9u) << o.out;
  EXPECT_EQ(lines[0].rfind("No matching device found: ", 0), 0u) << lines[0];
  EXPECT_TRUE(Has(lines[7], ": will try again")) << lines[7];
  EXPECT_TRUE(Has(lines[8], ": giving up")) << lines[8];
  EXPECT_EQ(o.wait, kScanNoScanner);
  EXPECT_EQ(o.r.mStatus, kScanNoScanner);
  EXPECT_EQ(o.r.mErrorMsg, "No matching device found.");
  EXPECT_EQ(o.err, "No matching device found.\n");
  EXPECT_TRUE(o.r.mFilePaths.empty());

  // A stop request during the search: one more attempt, then no callback.
  StopOnSleepClock stopClock;
  SpyBus none("");
  Outcome stopped = RunJob(JobParams(dir.File("stopped")));
  EXPECT_EQ(none.enumerations, 2);
  EXPECT_FALSE(stopped.completed);
  EXPECT_EQ(stopped.wait, 0);
  EXPECT_EQ(stopped.Lines().size(), 1u);
}

TEST_F(ScanJobTest, OneJobAtATimeAndWaitingFromTheCallback) {
  FakeClock fake;
  SpyBus scanner("model=fi-6130;sheets=3");
  ScanParams first = JobParams(dir.File("first"));
  int inside = -1;
  first.mScanCompleteFunc = [&](const ScanResults*) { inside = ScanJob::sActiveScanJob.load()->WaitForScan(); };
  auto job = std::make_unique<ScanJob>(&first, false, nullptr, nullptr);
  ASSERT_EQ(job->WaitForScan(), 0);
  EXPECT_EQ(inside, 0) << "waiting on the scan thread returns the status without joining";

  // The first job is done but still exists: a second is refused, the first
  // stays as it was.
  ScanParams second = JobParams(dir.File("second"));
  const char* thrown = nullptr;
  ::testing::internal::CaptureStderr();
  try {
    ScanJob other(&second, false, nullptr, nullptr);
  } catch (const char* msg) {
    thrown = msg;
  }
  std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_STREQ(thrown, "only 1 ZuzuvovOvav::ScanJob object at a time can exist");
  EXPECT_EQ(said.rfind("line ", 0), 0u) << said;
  EXPECT_TRUE(Has(said, " throwing: \"only 1 ZuzuvovOvav::ScanJob object at a time can exist\"")) << said;
  EXPECT_FALSE(ScanJob::StartScan(&second));
  EXPECT_EQ(ScanJob::sActiveScanJob.load(), job.get());
  EXPECT_EQ(job->WaitForScan(), 0);
  job.reset();

  // A self-deleting job reports through its callback and then goes away.
  std::atomic<int> pages{-1};
  second.mScanCompleteFunc = [&](const ScanResults* r) { pages.store(r->mTotalPages); };
  ASSERT_TRUE(ScanJob::StartScan(&second));
  while (ScanJob::sActiveScanJob.load() != nullptr) std::this_thread::yield();
  EXPECT_EQ(pages.load(), 3);

  // Jobs created on several threads at once: exactly one of them is made.
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> made{0}, waiting{8};
    std::vector<std::unique_ptr<ScanJob>> racers(8);
    std::vector<std::thread> threads;
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 8; ++i)
      threads.emplace_back([&, i] {
        for (--waiting; waiting.load() > 0;) std::this_thread::yield();
        try {
          racers[size_t(i)] = std::make_unique<ScanJob>(&first, false, nullptr, nullptr);
          ++made;
        } catch (const char*) {
        }
      });
    for (std::thread& t : threads) t.join();
    ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(made.load(), 1) << "round " << round;
    racers.clear();
    ASSERT_EQ(ScanJob::sActiveScanJob.load(), nullptr);
  }
}

TEST_F(ScanJobTest, CheckConditionOnTestUnitReadyKeepsTheUnitReserved) {
  Outcome o = Scan("model=fi-6130;sheets=1", nullptr, [](SpyLog& log) {
    log.hook = [](const uint8_t* cdb, std::deque<std::vector<uint8_t>>* reads) {
      std::vector<uint8_t> status(13, 0);
      status[0] = 0x53;
      if (cdb[0] == kTur) {
        status[9] = 0x02;  // check condition
        reads->push_back(status);
        return true;
      }
      if (cdb[0] != kSense) return false;
      std::vector<uint8_t> sense(18, 0);
      sense[0] = 0xF0, sense[2] = 2, sense[7] = 10, sense[12] = 0x04, sense[13] = 0x01;
      reads->push_back(sense);
      reads->push_back(status);
      return true;
    };
  });
  EXPECT_EQ(o.wait, kScanCheckFailed);
  EXPECT_EQ(o.r.mStatus, kScanCheckFailed);
  EXPECT_TRUE(Has(o.r.mErrorMsg, "(Cmd_TestUnitReady 02:04:01)")) << o.r.mErrorMsg;
  EXPECT_EQ(o.err, o.r.mErrorMsg + "\n");
  EXPECT_EQ(Log().Find(kRelease, -1, size_t(Log().Find(kTur))), -1) << "the unit stays reserved";
  EXPECT_EQ(Log().Count(kControl), 0);
}

TEST_F(ScanJobTest, LampWarmingUpIsWaitedForUpToTwentySeconds) {
  auto lampSleeps = [&] { return std::count(clock->sleeps.begin(), clock->sleeps.end(), 1000000u); };
  Outcome warm = Scan("model=fi-6130;sheets=1;faults=lampwarmup=3");
  EXPECT_EQ(warm.wait, 0) << warm.r.mErrorMsg;
  EXPECT_EQ(Log().Count(kControl, 5), 4);
  EXPECT_EQ(lampSleeps(), 3);
  EXPECT_EQ(warm.r.mTotalPages, 1);
  const std::string waiting = "Waiting for the scanner's lamp to warm up (up to 20 s)...\n";
  EXPECT_EQ(warm.out.find(waiting), warm.out.rfind(waiting)) << "said once: " << warm.out;
  EXPECT_FALSE(Has(Scan("model=fi-6130;sheets=1;faults=lampwarmup=1").out, waiting)) << "one second is no wait";

  Outcome cold = Scan("model=fi-6130;sheets=1;faults=lampwarmup=30");
  EXPECT_EQ(cold.wait, kScanErrorMessage);
  EXPECT_EQ(Log().Count(kControl, 5), 21);
  EXPECT_EQ(lampSleeps(), 20);
  EXPECT_TRUE(Has(cold.r.mErrorMsg, "Lamp still warming up")) << cold.r.mErrorMsg;
  EXPECT_EQ(Log().Count(kScan), 0);
}

TEST_F(ScanJobTest, PageCountLinesAndTheEmptyHopper) {
  std::vector<std::string> one = Scan("model=fi-6130;sheets=1").Lines();
  ASSERT_EQ(one.size(), 2u);
  EXPECT_EQ(one[1], "1 page scanned");

  Outcome three = Scan("model=fi-6130;sheets=3");
  ASSERT_EQ(three.Lines().size(), 2u);
  EXPECT_EQ(three.Lines()[1], "3 pages scanned");
  EXPECT_EQ(three.wait, 0);
  EXPECT_EQ(three.r.mErrorMsg, "");
  EXPECT_EQ(three.err, "");

  // With the last back side skipped, two duplex sheets give three pages
  // only if the sheet the hopper ran out after was closed as the last.
  Outcome duplex = Scan("model=fi-6130;sheets=2", [](ScanParams& p) { p.mDuplex = p.mSkipLastPage = true; });
  EXPECT_EQ(duplex.wait, 0) << duplex.r.mErrorMsg;
  EXPECT_EQ(duplex.r.mTotalPages, 3);
  EXPECT_EQ(Log().Count(kObjPos, 1), 3);

  Outcome empty = Scan("model=fi-6130;sheets=0");
  EXPECT_EQ(empty.wait, kScanErrorMessage);
  EXPECT_EQ(empty.r.mErrorMsg.rfind("Failed to load page: No paper on hopper", 0), 0u) << empty.r.mErrorMsg;
  EXPECT_EQ(empty.Lines().size(), 1u) << "no count line for no page";
  EXPECT_TRUE(empty.r.mFilePaths.empty());
}

TEST_F(ScanJobTest, AutomaticLengthEndsEachSideAtTheEndOfTheSheet) {
  // One model learns the paper length when each side ends, the other from
  // a size read after every eighth READ (enough READs at 300 dpi); the
  // 11 inch sheets end well before the longest window.
  for (int dpi : {100, 300}) {
    const char* model = dpi == 100 ? "fi-6130" : "ScanSnap S500";
    SCOPED_TRACE(model);
    Outcome o = Scan(std::string("model=") + model + ";sheets=1", [dpi](ScanParams& p) {
      p.mXRes = p.mYRes = uint16_t(dpi);
      p.mScanWidth = 10200;
      p.mDuplex = p.mDetectLength = true;
      p.mPaperHeight = 0;
    });
    EXPECT_EQ(o.wait, 0) << o.r.mErrorMsg;
    ASSERT_EQ(o.r.mFilePaths.size(), 1u);
    std::vector<TiffPage> pages = ReadTiff(o.r.mFilePaths[0]);
    ASSERT_EQ(pages.size(), 2u);
    for (const TiffPage& page : pages) {  // 11 inches less the model's trim
      EXPECT_GE(page.height, 10.5 * dpi);
      EXPECT_LE(page.height, 11u * dpi);
    }
  }
}

TEST_F(ScanJobTest, PaperErrorsDiscardTheSheetWithStatusSix) {
  struct Case {
    const char* faults;
    const char* text;
    int pages, loads;  // the last load is of the sheet that failed
    int status = kScanPageDiscarded;
  };
  for (const Case& c : {Case{"jam=2", "Paper jam detected", 1, 2}, Case{"doublefeed=1", "Double feed error", 0, 1},
                        // A load that finds the cover open keeps the sheet read
                        // whole before it: only a sheet whose own reading failed
                        // is discarded.
                        Case{"coveropen=2", "Automatic document feeder cover is open", 1, 2},
                        Case{"coveropen=1", "Failed to load page: Automatic document feeder cover is open", 0, 1,
                             kScanErrorMessage}}) {
    SCOPED_TRACE(c.faults);
    Outcome o = Scan(std::string("model=fi-6130;sheets=3;faults=") + c.faults);
    EXPECT_EQ(o.wait, c.status);
    EXPECT_EQ(o.r.mStatus, c.status);
    EXPECT_TRUE(Has(o.r.mErrorMsg, c.text)) << o.r.mErrorMsg;
    EXPECT_EQ(o.r.mFailedSheet, c.loads) << "the sheet the fault struck";
    EXPECT_EQ(o.r.mTotalPages, c.pages);
    EXPECT_EQ(Log().Count(kObjPos, 1), c.loads);
  }
  // A scanner asked to scan through double feeds counts them instead.
  Outcome doubles = Scan("model=fi-6670;sheets=3;faults=doublefeed=2", [](ScanParams& p) { p.mAllowDoubles = true; });
  EXPECT_EQ(doubles.wait, 0) << doubles.r.mErrorMsg;
  EXPECT_EQ(doubles.r.mTotalPages, 3);
  EXPECT_EQ(doubles.r.mDoubleFeeds, 1);
  EXPECT_EQ(Log().Count(kControl, 9), 3);
}

TEST_F(ScanJobTest, UnplugMidSheetReportsThePagesThatExist) {
  Outcome o = Scan("model=fi-6130;sheets=3;faults=unplug=2");
  ASSERT_TRUE(o.completed);
  EXPECT_EQ(o.wait, kScanErrorMessage);
  EXPECT_EQ(ProgramStatus(o.r), kScanEndedWithProblems);  // what the tool and the workflow host report
  EXPECT_TRUE(Has(o.r.mErrorMsg, "Command Cmd_ReadImage: error")) << o.r.mErrorMsg;
  ASSERT_EQ(o.r.mFilePaths.size(), 1u);
  EXPECT_GE(o.r.mTotalPages, 1);  // matched against the file by Scan()
  EXPECT_EQ(Log().Count(kObjPos, 1), 2) << "no sheet is loaded after the READ failed";
}

// Asks the job to stop when the scanner is told to load sheet `sheet` (or
// gets the `sheet`-th command `op` with `byte1`).
std::function<void(SpyLog&)> StopAtLoad(int sheet, uint8_t op = kObjPos, uint8_t byte1 = 1) {
  return [=](SpyLog& log) {
    log.hook = [=, loads = 0](const uint8_t* cdb, std::deque<std::vector<uint8_t>>*) mutable {
      if (cdb[0] == op && cdb[1] == byte1 && ++loads == sheet) gStopNow.store(true);
      return false;
    };
  };
}

TEST_F(ScanJobTest, StopEndsTheFeedWithOrWithoutPrepick) {
  // Without prepick no further sheet is loaded; the scanner is told to
  // stop, and the paper is loaded and unloaded before RELEASE UNIT.
  Outcome plain = Scan("model=fi-6130;sheets=5", nullptr, StopAtLoad(2));
  EXPECT_EQ(plain.wait, 0) << plain.r.mErrorMsg;
  EXPECT_EQ(plain.r.mTotalPages, 2);
  EXPECT_EQ(Log().Count(kControl, 13), 0);
  const int c4 = Log().Find(kControl, 4);
  ASSERT_GE(c4, 0);
  ASSERT_EQ(Log().cdbs.size(), size_t(c4) + 4);
  EXPECT_EQ(Log().Find(kObjPos, 1, size_t(c4)), c4 + 1);
  EXPECT_EQ(Log().Find(kObjPos, 0, size_t(c4)), c4 + 2);
  EXPECT_EQ(Log().Find(kRelease, -1, size_t(c4)), c4 + 3);

  // With prepick the sheet already picked behind the current one is still
  // scanned, then the scanner reports an empty hopper (sheet 4 stays in
  // it); SCANNER CONTROL 13 once, 4 at the end, no unload.
  Outcome prepick = Scan("model=fi-7160;sheets=4", nullptr, StopAtLoad(2));
  EXPECT_EQ(prepick.wait, 0) << prepick.r.mErrorMsg;
  EXPECT_EQ(prepick.r.mTotalPages, 3);
  EXPECT_EQ(Log().Count(kControl, 13), 1);
  EXPECT_EQ(Log().Count(kControl, 4), 1);
  EXPECT_LT(Log().Find(kControl, 13), Log().Find(kControl, 4));
  EXPECT_EQ(Log().Count(kObjPos, 0), 0);
}

// A scanner that has no data for any sheet from `sheet` on: its read check
// answers "busy" every time. A stop is requested with the `stopAt`-th such
// answer (its fake time in *stopMicros). After `limit` answers the data
// comes after all, so that a job that never gives up ends anyway.
std::function<void(SpyLog&)> BusyFromSheet(int sheet, int stopAt, int limit, FakeClock** clock,
                                           uint64_t* stopMicros) {
  return [=](SpyLog& log) {
    log.hook = [=, loads = 0, busy = 0](const uint8_t* cdb, std::deque<std::vector<uint8_t>>* reads) mutable {
      if (cdb[0] == kObjPos && cdb[1] == 1) ++loads;
      if (loads < sheet || cdb[0] != kControl || cdb[1] != 0x10 || busy >= limit) return false;
      if (++busy == stopAt) {
        *stopMicros = (*clock)->NowMicros();
        gStopNow.store(true);
      }
      std::vector<uint8_t> status(13, 0);
      status[0] = 0x53;
      status[9] = 0x08;  // busy
      reads->push_back(status);
      return true;
    };
  };
}

TEST_F(ScanJobTest, StopWhileTheScannerHasNoDataGivesUpTheSheetWithinSeconds) {
  struct Case {
    const char* scanner;
    bool duplex;
    bool prepick;
  };
  const Case cases[] = {
      {"model=fi-6130;sheets=5", false, false},
      {"model=fi-6130;sheets=5", true, false},
      {"model=fi-7160;sheets=5", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.scanner) + (c.duplex ? " duplex" : ""));
    FakeClock* fake = nullptr;
    uint64_t stopMicros = 0;
    Outcome o = Scan(
        c.scanner, [&](ScanParams& p) { p.mDuplex = c.duplex; },
        [&](SpyLog& log) {
          fake = clock.get();
          BusyFromSheet(3, 50, 100000, &fake, &stopMicros)(log);
        });
    // The two sheets before the one without data are written; that one is
    // not, and the job ends as a stopped job does, without an error.
    EXPECT_EQ(o.wait, 0) << o.r.mErrorMsg;
    EXPECT_EQ(o.r.mErrorMsg, "");
    EXPECT_EQ(o.r.mTotalPages, c.duplex ? 4 : 2);
    EXPECT_TRUE(Has(o.out, "Stop requested while the scanner was not ready; the sheet it held was not scanned."))
        << o.out;
    // The loop gave up a few seconds after the request, then told the
    // scanner to stop.
    const int c4 = Log().Find(kControl, 4);
    ASSERT_GE(c4, 0);
    ASSERT_GT(stopMicros, 0u);
    const uint64_t stopped = clock->NowMicros() - stopMicros;
    EXPECT_GE(stopped, 3'000'000u);
    EXPECT_LT(stopped, 4'000'000u);
    EXPECT_EQ(Log().Count(kControl, 13), c.prepick ? 1 : 0);
    EXPECT_EQ(Log().Count(kObjPos, 0), c.prepick ? 0 : 1);
  }
}

// Automatic length with JPEG: a scanner whose JPEG header declares the
// window's length and whose stream ends after the paper's rows gives the
// pages of one that declares the paper's length, on both ways of learning
// the length (end of side, size reads).
TEST_F(ScanJobTest, AutomaticLengthWithJpegDeclaringTheWindowsLength) {
  struct Case {
    const char* model;
    ImageTypeE type;
    uint16_t dpi;
  };
  for (const Case& c : {Case{"fi-6130", kImageTypeGray, 100}, Case{"fi-6130", kImageTypeColor, 100},
                        Case{"ScanSnap S500", kImageTypeGray, 300}}) {
    SCOPED_TRACE(testing::Message() << c.model << " type " << int(c.type));
    auto scan = [&](const char* length) {
      Outcome o = Scan(std::string("model=") + c.model + ";sheets=2;jpeglength=" + length, [&](ScanParams& p) {
        p.mImageType = c.type;
        p.mXRes = p.mYRes = c.dpi;
        p.mScanWidth = 10200;
        p.mDetectLength = true;
        p.mPaperHeight = 0;
        p.mAllowJpeg = true;
      });
      EXPECT_EQ(o.wait, 0) << o.r.mErrorMsg;
      return o.r.mFilePaths.empty() ? std::vector<TiffPage>{} : ReadTiff(o.r.mFilePaths[0]);
    };
    const std::vector<TiffPage> paper = scan("paper"), window = scan("window");
    ASSERT_EQ(paper.size(), 2u);
    ASSERT_EQ(window.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
      EXPECT_LE(paper[i].height, 11u * c.dpi) << "the paper's length, not the window's";
      EXPECT_GE(paper[i].height, 10.5 * c.dpi);
      ASSERT_EQ(window[i].width, paper[i].width);
      ASSERT_EQ(window[i].height, paper[i].height);
      // The rows of blocks above the paper's last one are coded alike.
      const uint32_t rows = paper[i].height > 16 ? paper[i].height - 16 : 0;
      size_t differ = 0;
      for (uint32_t y = 0; y < rows; ++y)
        for (uint32_t x = 0; x < paper[i].width; ++x) differ += paper[i].At(x, y) != window[i].At(x, y);
      EXPECT_EQ(differ, 0u) << "page " << i;
    }
  }
}

// Both sides of an interleaved duplex JPEG stream reach their own pages: the
// same sheets scanned raw and as JPEG look alike side for side.
TEST_F(ScanJobTest, InterleavedDuplexJpegMatchesTheRawScan) {
  auto scan = [&](bool jpeg) {
    Outcome o = Scan("model=fi-7160;sheets=2", [jpeg](ScanParams& p) {
      p.mScanWidth = 10200;  // the whole sheet: fronts and backs differ below the top
      p.mScanHeight = 13200;
      p.mDuplex = true;
      p.mAllowJpeg = jpeg;
      p.mBitsOut = 8;
    });
    EXPECT_EQ(o.wait, 0) << o.r.mErrorMsg;
    return o.r.mFilePaths.empty() ? std::vector<TiffPage>{} : ReadTiff(o.r.mFilePaths[0]);
  };
  std::vector<TiffPage> raw = scan(false), jpeg = scan(true);
  ASSERT_EQ(raw.size(), 4u);
  ASSERT_EQ(jpeg.size(), 4u);
  // A JPEG window is rounded up to whole blocks: compare the common area.
  auto distance = [](const TiffPage& a, const TiffPage& b) {
    const uint32_t w = std::min(a.width, b.width), h = std::min(a.height, b.height);
    double sum = 0;
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x) sum += std::abs(int(a.At(x, y)) - int(b.At(x, y)));
    return w && h ? sum / double(w * h) : 1e9;
  };
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_LT(distance(raw[i], jpeg[i]), 6.0) << "page " << i;
    EXPECT_LT(2 * distance(raw[i], jpeg[i]), distance(raw[i], jpeg[i ^ 1])) << "page " << i;
  }
}

// The commands of a job in short words, in the order sent, with the bytes
// that matter: "R<window>:<length>" a READ, "CHK<window>:<length>" a READ
// IMAGE CHECK, "SIZE" a READ pixel size, "CTL<function>" a SCANNER CONTROL,
// "MS<page>:<byte 6><byte 7>" a MODE SELECT (hex), "LUT:<table>" a SEND of
// the tone table, "Z<us>" a sleep of a millisecond or more (shorter ones
// are the USB delay).
std::string Trace(const SpyLog& log) {
  std::string out;
  size_t sleep = 0;
  auto hex = [](unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "%02X", v);
    return std::string(b);
  };
  for (size_t i = 0; i <= log.cdbs.size(); ++i) {
    for (; sleep < log.sleeps.size() && log.sleeps[sleep].first == i; ++sleep)
      if (log.sleeps[sleep].second >= 1000) out += "Z" + std::to_string(log.sleeps[sleep].second) + " ";
    if (i == log.cdbs.size()) break;
    const std::vector<uint8_t>& c = log.cdbs[i];
    const std::vector<uint8_t>& d = log.data[i];
    const unsigned len = unsigned(c[6]) << 16 | unsigned(c[7]) << 8 | c[8];
    std::string t;
    switch (c[0]) {
      case 0x00: t = "TUR"; break;
      case 0x03: t = "SENSE"; break;
      case 0x12: t = "INQ"; break;
      case 0x16: t = "RES"; break;
      case kRelease: t = "REL"; break;
      case kScan: t = "SCAN"; break;
      case 0x24: t = "WIN"; break;
      case 0xC2: t = "HW"; break;
      case kObjPos: t = c[1] == 1 ? "LOAD" : "UNLOAD"; break;
      case kControl:
        t = c[1] == 0x10 ? "CHK" + std::to_string(c[2]) + ":" + std::to_string(len) : "CTL" + std::to_string(c[1]);
        break;
      case 0x15: t = "MS" + (d.size() >= 8 ? hex(d[4]) + ":" + hex(d[6]) + hex(d[7]) : "?"); break;
      case 0x28: t = c[2] == 0x80 ? "SIZE" : "R" + std::to_string(c[5]) + ":" + std::to_string(len); break;
      case 0x2A: {
        const uint8_t* table = d.size() >= 266 ? d.data() + 10 : nullptr;
        t = !table                                                     ? "LUT:?"
            : std::equal(table, table + 256, Cmd_SendLut::sLutSharp)  ? "LUT:sharp"
            : std::equal(table, table + 256, Cmd_SendLut::sLutNormal) ? "LUT:normal"
                                                                       : "LUT:other";
        break;
      }
      default: t = "OP" + hex(c[0]); break;
    }
    out += t + " ";
  }
  return out;
}

// Answers the `nth` and later commands that `match` (up to `times` of
// them) with check condition and the given sense key (with its flag bits),
// ASC and ASCQ on the REQUEST SENSE that follows; a READ gets `dataLen`
// bytes first. Busy (SCSI status 8) instead when `busy` is set.
struct CheckAnswer {
  std::function<bool(const uint8_t*)> match;
  uint8_t key = 0, asc = 0, ascq = 0;
  int nth = 1, times = 1 << 30;
  uint32_t dataLen = 0;
  bool busy = false;
  bool transportFails = false;
};

std::function<void(SpyLog&)> Answer(CheckAnswer a) {
  return [a](SpyLog& log) {
    log.hook = [a, seen = 0, answered = 0, sensePending = false](const uint8_t* cdb,
                                                                 std::deque<std::vector<uint8_t>>* reads) mutable {
      std::vector<uint8_t> status(13, 0);
      status[0] = 0x53;
      if (cdb[0] == kSense && sensePending) {
        sensePending = false;
        std::vector<uint8_t> sense(18, 0);
        sense[0] = 0xF0, sense[2] = a.key, sense[7] = 10, sense[12] = a.asc, sense[13] = a.ascq;
        reads->push_back(sense);
        reads->push_back(status);
        return true;
      }
      if (!a.match(cdb) || ++seen < a.nth || answered >= a.times) return false;
      ++answered;
      if (a.transportFails) return true;  // no reads: the exchange fails
      if (a.dataLen) reads->push_back(std::vector<uint8_t>(a.dataLen, 0x11));
      status[9] = a.busy ? 0x08 : 0x02;
      sensePending = !a.busy;
      reads->push_back(status);
      return true;
    };
  };
}

std::function<bool(const uint8_t*)> Op(uint8_t op, int byte1 = -1, int byte2 = -1) {
  return [=](const uint8_t* c) { return c[0] == op && (byte1 < 0 || c[1] == byte1) && (byte2 < 0 || c[2] == byte2); };
}

// A scanner whose second READ pixel size reports `lines` as the paper's
// length and whose data is then not ready for a while (busy), in real time,
// so that the page's workers catch up with the READs before the next one.
std::function<void(SpyLog&)> PaperLengthThenBusy(uint32_t lines) {
  return [lines](SpyLog& log) {
    log.hook = [lines, sizes = 0, busy = 0](const uint8_t* cdb, std::deque<std::vector<uint8_t>>* reads) mutable {
      std::vector<uint8_t> status(13, 0), size(24, 0);
      status[0] = 0x53;
      if (cdb[0] == 0x28 && cdb[2] == 0x80 && ++sizes == 2) {
        for (int i = 0; i < 4; ++i) size[12 + i] = uint8_t(lines >> (24 - 8 * i));
        reads->push_back(size);
      } else if (sizes >= 2 && busy < 1000 &&
                 ((cdb[0] == 0x28 && cdb[2] == 0 && busy == 0) || (cdb[0] == kControl && cdb[1] == 0x10))) {
        if (busy++ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (cdb[0] == 0x28) reads->emplace_back();  // a READ gets no data
        status[9] = 0x08;
      } else {
        return false;
      }
      reads->push_back(status);
      return true;
    };
  };
}

// The results in short: "<status> <pages> pages, cut <page><F|B>..., end <end>[, sheet <failed>]: <text>".
std::string Brief(const ScanResults& r) {
  std::string s = std::to_string(r.mStatus) + " " + std::to_string(r.mTotalPages) + " pages, cut";
  for (const CutShortPage& c : r.mCutShortPages) s += " " + std::to_string(c.mPage) + (c.mSide == kSideFront ? "F" : "B");
  s += ", end " + std::to_string(int(r.mEnd));
  return s + (r.mFailedSheet ? ", sheet " + std::to_string(r.mFailedSheet) : "") + ": " + r.mErrorMsg;
}

// The set-up commands and the page loop's protocol rules, one job each,
// checked on the command trace: `want` must be found in the trace of the
// commands that `keep` matches (all when empty), `absent` must not; and
// `results` in the results in short (Brief).
TEST_F(ScanJobTest, CommandTraceFollowsTheProtocol) {
  using Tweak = std::function<void(ScanParams&)>;
  const Tweak colour = [](ScanParams& p) { p.mImageType = kImageTypeColor; };
  const Tweak skipLast = [](ScanParams& p) { p.mDuplex = p.mSkipLastPage = true; };
  const auto answer = [](std::function<bool(const uint8_t*)> match, uint8_t key, int times = 1 << 30) {
    CheckAnswer a;
    a.match = std::move(match);
    a.key = key;
    a.times = times;
    return a;
  };
  CheckAnswer turFails = answer(Op(kTur), 0, 1);
  turFails.transportFails = true;
  CheckAnswer frontBusyOnce = answer(Op(kControl, 0x10, 0), 0, 1);
  frontBusyOnce.busy = true;
  CheckAnswer endOfMedium = answer(Op(0x28, 0, 0), 0x40, 1);  // sense key 0, EOM flag
  endOfMedium.dataLen = 40000;
  CheckAnswer secondScanFails = answer(Op(kScan), 4, 1), secondReadFails = answer(Op(0x28, 0, 0), 0, 1),
              secondSizeFails = answer(Op(0x28, -1, 0x80), 4, 1);
  secondScanFails.nth = secondReadFails.nth = secondSizeFails.nth = 2;
  secondReadFails.transportFails = true;
  CheckAnswer secondScanBusy = secondScanFails, secondReadRefused = secondReadFails;
  secondScanBusy.busy = true;
  secondReadRefused.transportFails = false;
  secondReadRefused.key = 4;
  secondReadRefused.dataLen = 100;
  const Tweak sizeReads = [](ScanParams& p) {
    p.mXRes = p.mYRes = 300;
    p.mScanWidth = 10200;
    p.mDetectLength = true;
    p.mPaperHeight = 0;
  };
  struct Case {
    const char* name;
    const char* scanner;
    Tweak tweak;
    std::function<void(SpyLog&)> hook;
    const char* keep;
    const char* want;
    const char* absent;
    int wait;
    const char* results = "";
  };
  const Case cases[] = {
      {"counter reset, prepick, buffering, pixel size", "model=fi-6800;sheets=1", nullptr, nullptr, "",
       "^RES MS29:0100 INQ INQ TUR CTL0 CTL5 MS2F:0000 MS33:0000 MS3A:C000 MS3C:0000 MS38:9000 WIN SIZE LOAD SCAN ",
       "LUT", 0},
      {"automatic colour off and the normal tone table", "model=fi-7160;sheets=1", nullptr, nullptr, "",
       "TUR CTL0 CTL5 MS33:0000 MS3A:C000 MS3C:0000 MS2F:A000 LUT:normal MS38:9000 WIN LOAD SCAN ", "SIZE", 0},
      {"flatbed", "model=fi-6230;sheets=1", [](ScanParams& p) { p.mUseFlatbed = true; }, nullptr, "",
       "TUR CTL1 CTL5 MS3C:0000 LUT:normal MS38:9000 WIN SIZE SCAN ", "LOAD", 0},
      {"turbo sends the sharp tone table", "model=fi-6800;sheets=1",
       [](ScanParams& p) {
         p.mImageType = kImageTypeLineArt;
         p.mXRes = p.mYRes = 300;
         p.mTurbo = true;
       },
       nullptr, "", "MS3C:0000 LUT:sharp MS38:9000 WIN", "LUT:normal", 0},
      {"double feeds allowed on a scanner that goes on", "model=fi-6670;sheets=1",
       [](ScanParams& p) { p.mAllowDoubles = true; }, nullptr, "", "MS38:D000 WIN .*R0:\\d+ CTL9 HW LOAD", "", 0},
      {"double feeds refused on a scanner that goes on", "model=fi-6670;sheets=1", nullptr, nullptr, "",
       "MS38:9000 WIN .*R0:\\d+ CTL9 LOAD", "HW", 0},
      {"double feeds allowed on a scanner that stops", "model=fi-6130;sheets=1",
       [](ScanParams& p) { p.mAllowDoubles = true; }, nullptr, "", "MS38:0000 WIN", "CTL9|HW", 0},
      {"double feeds by length", "model=fi-6130;sheets=1", [](ScanParams& p) { p.mDoubleByLength = true; }, nullptr,
       "", "MS38:9900 WIN", "", 0},
      {"check command failing in the transport releases the unit", "model=fi-6130;sheets=1", nullptr,
       Answer(turFails), "", "INQ TUR REL $", "", kScanCheckFailed},
      {"colour reads cut to a multiple of 6", "model=fi-4120C;sheets=1", colour, nullptr, "^R\\d",
       "^R0:32766 R0:32766 R0:32766 R0:22800 $", "", 0},
      {"gray reads of the whole maximum", "model=fi-4120C;sheets=1", nullptr, nullptr, "^R\\d", "^R0:32768 R0:\\d+ $",
       "", 0},
      {"JPEG reads of at most 64 KiB", "model=fi-6130;sheets=1",
       [](ScanParams& p) {
         p.mImageType = kImageTypeColor;
         p.mXRes = p.mYRes = 300;
         p.mAllowJpeg = true;
       },
       nullptr, "^R\\d", "^R0:65536 $", "", 0},
      {"separate windows read in turn", "model=fi-4120C;sheets=1",
       [](ScanParams& p) {
         p.mImageType = kImageTypeColor;
         p.mDuplex = true;
       },
       nullptr, "^R\\d",
       "^R0:32766 R128:32766 R0:32766 R128:32766 R0:32766 R128:32766 R0:22800 R128:22800 $", "", 0},
      {"read check before a sheet's first READ", "model=fi-6130;sheets=2", nullptr, nullptr, "",
       "LOAD SCAN CHK0:40000 Z1000 R0:40000 LOAD SCAN CHK0:40000 Z1000 R0:40000 LOAD", "", 0},
      {"no read check where the model has none", "model=fi-4120C;sheets=1", nullptr, nullptr, "", "R0:", "CHK", 0},
      {"not ready: the delay for neither side, then for one side", "model=fi-7160;sheets=1",
       [](ScanParams& p) { p.mDuplex = true; }, Answer(frontBusyOnce), "",
       "SCAN CHK0:40000 Z5000 CHK0:40000 Z1000 R0:40000 Z1100 CHK128:40000 Z1000 R128:40000 LOAD", "", 0},
      {"size read after every eighth READ", "model=ScanSnap S500;sheets=1", sizeReads, nullptr, "^(R\\d|SIZE)",
       "^SIZE (R0:524288 ){8}SIZE (R0:524288 ){9}SIZE $", "", 0},
      {"the paper's length reached ends the side", "model=ScanSnap S500;sheets=1", sizeReads,
       PaperLengthThenBusy(8 * 205), "^(R\\d|SIZE)", "^SIZE (R0:524288 ){8}SIZE (R0:524288 )?$", "", 0,
       "^0 1 pages, cut, end 1: $"},
      {"a failed size read ends the scan, the side cut short", "model=ScanSnap S500;sheets=1", sizeReads,
       Answer(secondSizeFails), "^(R\\d|SIZE|LOAD|REL)", "^SIZE LOAD (R0:524288 ){8}SIZE REL $", "",
       kScanErrorMessage, "^4 1 pages, cut 1F, end 0: .*Cmd_ReadPixelSize"},
      {"a later SCAN that fails ends the feed with its own text", "model=fi-6130;sheets=3", nullptr,
       Answer(secondScanFails), "", "R0:40000 LOAD SCAN SENSE REL $", "", kScanErrorMessage,
       "^4 1 pages, cut, end 0, sheet 2: .*\\(Cmd_Scan 04:00:00\\)$"},
      {"a later SCAN answered busy ends the feed too", "model=fi-6130;sheets=3", nullptr, Answer(secondScanBusy), "",
       "R0:40000 LOAD SCAN REL $", "", kScanErrorMessage, "^4 1 pages, cut, end 0, sheet 2: The scanner did not start"},
      {"a READ refused mid-side ends the scan, the side cut short", "model=fi-4120C;sheets=2", nullptr,
       Answer(secondReadRefused), "^R\\d", "^R0:32768 R0:7400 $", "", kScanErrorMessage,
       "^4 1 pages, cut 1F, end 0: .*\\(Cmd_ReadImage 04:00:00\\)$"},
      {"a READ failing in the transport: a side that got nothing is no page", "model=fi-6130;sheets=3", nullptr,
       Answer(secondReadFails), "^(R\\d|LOAD|REL)", "^LOAD R0:40000 LOAD R0:40000 REL $", "", kScanErrorMessage,
       "^4 1 pages, cut, end 0: Command Cmd_ReadImage: error"},
      {"a READ without memory for its data: the sheet is no page", "model=fi-4120C;sheets=1", nullptr,
       [&](SpyLog& log) {
         Answer(secondReadFails)(log);
         log.transportError = usb::kIOReturnNoMemory;
       },
       "^R\\d", "^R0:32768 R0:7400 $", "", kScanErrorMessage, "^4 0 pages, cut, end 0: .*Cmd_ReadImage"},
      {"a write failure after a failed READ follows the READ's text", "model=fi-4120C;sheets=1",
       [this](ScanParams& p) { p.mBaseFilePath = dir.File("missing/scan"); }, Answer(secondReadFails), "^R\\d",
       "^R0:32768 R0:7400 $", "", kScanFileError, "^5 0 pages, cut, end 0: .*Cmd_ReadImage.* Failed to write page\\.$"},
      {"SCANNER CONTROL 9 not ready 25 times", "model=fi-6670;sheets=2",
       [](ScanParams& p) { p.mAllowDoubles = true; }, Answer(answer(Op(kControl, 9), 2)), "^(CTL9|Z2|HW|LOAD)",
       "^LOAD (CTL9 Z200000 ){25}LOAD (CTL9 Z200000 ){25}LOAD $", "HW", 0},
      {"end of medium ends the feed without a text", "model=fi-6130;sheets=3", skipLast, Answer(endOfMedium), "",
       "LOAD SCAN CHK0:40000 Z1000 R0:40000 SENSE .*R128:40000 REL $", "", 0, "^0 1 pages, cut, end 1: $"},
      // How a stop ends the job: sheets left (the last back kept although
      // the last side is to be skipped), or none.
      {"a stop while the lamp warms up", "model=fi-6130;sheets=1;faults=lampwarmup=30", nullptr,
       StopAtLoad(2, kControl, 5), "", "CTL0 CTL5 SENSE Z1000000 CTL5 SENSE $", "", 0, "^0 0 pages, cut, end 2: $"},
      {"a stop with sheets left", "model=fi-6130;sheets=3", skipLast, StopAtLoad(2), "^(LOAD|UNLOAD|CTL4)",
       "^LOAD LOAD CTL4 LOAD UNLOAD $", "", 0, "^0 4 pages, cut, end 2: $"},
      {"a stop while the last sheet is read", "model=fi-6130;sheets=2", skipLast, StopAtLoad(2),
       "^(LOAD|UNLOAD|CTL4)", "^LOAD LOAD CTL4 LOAD UNLOAD $", "", 0, "^0 3 pages, cut, end 1: $"},
      {"a stop with the load that finds the hopper empty", "model=fi-6130;sheets=2", nullptr, StopAtLoad(3),
       "^(LOAD|UNLOAD|CTL4)", "^LOAD LOAD LOAD $", "", 0, "^0 2 pages, cut, end 1: $"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o = Scan(c.scanner, c.tweak, c.hook);
    EXPECT_EQ(o.wait, c.wait) << o.r.mErrorMsg;
    if (c.wait == 0) {
      EXPECT_EQ(o.r.mErrorMsg, "");
    }
    std::string kept;
    std::istringstream words(Trace(Log()));
    const std::regex keep(*c.keep ? c.keep : ".");
    for (std::string w; words >> w;)
      if (std::regex_search(w, keep)) kept += w + " ";
    EXPECT_TRUE(std::regex_search(kept, std::regex(c.want))) << kept;
    if (*c.absent) {
      EXPECT_FALSE(std::regex_search(kept, std::regex(c.absent))) << kept;
    }
    EXPECT_TRUE(std::regex_search(Brief(o.r), std::regex(c.results))) << Brief(o.r);
  }
}

// The exit statuses each program's documentation lists, with their entries
// in lower case: the README's table and the manual pages' EXIT STATUS.
std::map<int, std::string> DocumentedStatuses(const std::string& file) {
  const std::string root = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().parent_path();
  std::ifstream in(root + "/" + file);
  std::map<int, std::string> entries;
  const bool man = file.rfind(".1") == file.size() - 2;
  bool inside = false;
  int status = -1;
  static const std::regex row(R"(^\| (\d+) \| (.*) \|$)"), number(R"(^\.B (\d+)$)"), macro(R"(^\.[A-Z]+ ?)");
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (!man) {
      if (line.rfind("### ", 0) == 0) inside = line == "### Exit status";
      if (inside && std::regex_match(line, m, row)) entries[std::stoi(m[1])] = m[2];
    } else if (line.rfind(".SH ", 0) == 0) {
      inside = line == ".SH EXIT STATUS";
    } else if (inside && std::regex_match(line, m, number)) {
      status = std::stoi(m[1]);
    } else if (inside && status >= 0 && line != ".TP") {
      entries[status] += std::regex_replace(line, macro, "") + " ";
    }
  }
  for (auto& [s, text] : entries)
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return entries;
}

// The documentation lists every status of the code's table for its program,
// no other, each entry with the table's meaning.
TEST(StatusMeaningsTest, DocumentationListsTheCodesTable) {
  const struct {
    const char* file;
    uint8_t program;
  } docs[] = {{"README.md", kForTool}, {"docs/quirel.1", kForTool}, {"docs/quirel-workflow.1", kForWorkflow}};
  for (const auto& doc : docs) {
    SCOPED_TRACE(doc.file);
    std::map<int, std::string> documented = DocumentedStatuses(doc.file);
    ASSERT_FALSE(documented.empty());
    for (const StatusMeaning& row : kStatusMeanings) {
      if (!(row.mPrograms & doc.program)) continue;
      ASSERT_TRUE(documented.count(row.mStatus)) << "status " << row.mStatus << " is not documented";
      std::string meaning = row.mMeaning;
      for (char& c : meaning) c = char(std::tolower(static_cast<unsigned char>(c)));
      EXPECT_TRUE(Has(documented[row.mStatus], meaning)) << row.mStatus << ": " << documented[row.mStatus];
    }
    for (const auto& [status, text] : documented)
      EXPECT_TRUE(std::any_of(std::begin(kStatusMeanings), std::end(kStatusMeanings),
                              [&](const StatusMeaning& r) { return r.mStatus == status && (r.mPrograms & doc.program); }))
          << "status " << status << " is documented but never reported";
  }
}

}  // namespace
}  // namespace scantest
