// Scans with the engine in this process against virtual scanners: runs waited for from a worker thread, from the main thread and through the event loop; stops, a refused engine job, the scanner found, and how an ended scan is reported.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <atomic>
#include <filesystem>
#include <future>
#include <thread>

#include "FrontendTestSupport.h"
#include "FujiDevice.h"
#include "ScanJob.h"
#include "ScanJob_InProcess.h"
#include "UsbLayer.h"
#include "VirtualScanner.h"

using namespace quirel::frontend;
using namespace quirel::frontend::test;
using quirel::action::ScanJob_InProcess;
using quirel::action::ScanResultsWrapper;

namespace {

// The engine's scanners for one test: virtual ones from a description, or
// none at all for an empty description.
class ScopedBus {
 public:
  explicit ScopedBus(const std::string& description) {
    if (description.empty()) {
      mBus = std::make_unique<EmptyBus>();
    } else {
      std::string error;
      mBus = quirel::virt::MakeVirtualBus(description, &error);
      EXPECT_TRUE(mBus) << error;
    }
    quirel::usb::SetBusForTesting(mBus.get());
  }
  ~ScopedBus() { quirel::usb::SetBusForTesting(nullptr); }

 private:
  struct EmptyBus : quirel::usb::UsbBus {
    std::vector<quirel::usb::UsbDeviceDesc> Enumerate() override { return {}; }
    std::unique_ptr<quirel::usb::UsbDevice> FindByLocation(uint32_t) override { return nullptr; }
  };
  std::unique_ptr<quirel::usb::UsbBus> mBus;
};

// How the caller waits for the end of a run.
enum class Waiter {
  kWorker,     // startScan and waitForScanEnd on a worker thread, as the action runs
  kMainThread, // both on the main thread, no event loop meanwhile
  kEventLoop,  // the event loop runs until scanFinished, then waitForScanEnd
};

// Runs one scan; true when it ended within the time limit. Whatever the
// waiter, scanFinished must have run when waitForScanEnd returns.
bool RunScan(ScanJob_InProcess& job, RecordingController& controller, Waiter waiter) {
  const int before = controller.finishedCount;
  switch (waiter) {
    case Waiter::kWorker: {
      std::atomic<bool> done{false};
      int finishedAtReturn = -1;
      std::thread worker([&] {
        job.startScan();
        job.waitForScanEnd();
        finishedAtReturn = controller.finishedCount;
        done = true;
      });
      const bool ended = WaitFor([&] { return done.load(); });
      if (!ended) return false;
      worker.join();
      EXPECT_EQ(finishedAtReturn, before + 1) << "the wait returned before the end was reported";
      break;
    }
    case Waiter::kMainThread:
      job.startScan();
      job.waitForScanEnd();
      EXPECT_EQ(controller.finishedCount, before + 1) << "the wait returned before the end was reported";
      break;
    case Waiter::kEventLoop:
      job.startScan();
      if (!WaitFor([&] { return controller.finishedCount > before; })) return false;
      job.waitForScanEnd();
      break;
  }
  // The engine job is gone, a second wait returns at once, and the end was
  // reported once, after every preview.
  EXPECT_EQ(job.scanJob(), nullptr);
  job.waitForScanEnd();
  QCoreApplication::processEvents();
  EXPECT_EQ(controller.finishedCount, before + 1);
  EXPECT_EQ(controller.previewsAtFinish, int(controller.pages.size())) << "a preview came after the end";
  return true;
}

void SmallScan(Quirel_Settings& s, int typeTag, const std::string& path) {
  s = Quirel_Settings();
  s.mUsingMetric = false;
  s.mScanTypeTag = typeTag;
  s.mResolution = 100;
  s.mPaperWidth = 2, s.mPaperLength = 3;
  s.mScanWidth = 2, s.mScanHeight = 3;
  s.setFilePath(QString::fromStdString(path), false);
}

TEST(InProcessRun, ScansReportTheirEndAndPreviews) {
  struct Row {
    const char* name;
    const char* scanner;
    int typeTag;
    bool previews;  // else every page's preview is empty
    Waiter waiter;
    int status;
    const char* msg;     // null: not checked
    const char* err;     // text the error must contain; "" none at all
    int previewDepth;  // of every preview, empty ones too
    int previewCount;
    double paperLength = 3;  // inches
    void (*adjust)(Quirel_Settings&) = nullptr;  // settings changed besides
  };
  const Row rows[] = {
      {"line art, one sheet, from a worker", "model=fi-7160;sheets=1", 1, true, Waiter::kWorker, 0, "1 page scanned.", "", 1, 1},
      {"gray, two sheets, on the main thread", "model=fi-7160;sheets=2", 8, true, Waiter::kMainThread, 0, "2 pages scanned.", "", 1, 2},
      {"colour through the event loop", "model=fi-6770;sheets=1", 24, true, Waiter::kEventLoop, 0, "1 page scanned.", "", 4, 1},
      {"colour 4 bits on the main thread", "model=fi-6770;sheets=2", 12, true, Waiter::kMainThread, 0, "2 pages scanned.", "", 4, 2},
      {"gray 4 bits without previews", "model=fi-7160;sheets=3", 4, false, Waiter::kWorker, 0, "3 pages scanned.", "", 1, 3},
      {"a double feed, from a worker", "model=fi-7160;sheets=3;faults=doublefeed=2", 24, false, Waiter::kWorker, 6, nullptr,
       "Double feed", 4, 1},
      {"a double feed on the main thread", "model=fi-7160;sheets=3;faults=doublefeed=2", 1, true, Waiter::kMainThread, 6,
       nullptr, "Double feed", 1, 1},
      // The model's limits are checked before paper moves (the fi-4340C scans long paper in line art only).
      {"gray beyond the model's feeder", "model=fi-4340C;sheets=1", 8, false, Waiter::kWorker, 4, nullptr,
       "The setting PaperHeight is 20 inches; the fi-4340C's document feeder takes paper at most 14 inches long in "
       "gray at 100 dpi. Set PaperHeight to 14 or less.", 1, 0, 20},
      // A run without its view: an area given for a page turned over must lie on the page.
      {"an area off the turned page", "model=fi-7160;sheets=1", 8, false, Waiter::kWorker, 4, nullptr,
       "The scan area (ScanLeft plus ScanWidth) runs past the right edge of the turned page; on a turned page the area "
       "must lie on the page. Make ScanLeft plus ScanWidth 2 inches or less.", 1, 0, 3,
       [](Quirel_Settings& s) { s.mScanFullPage = false, s.mOrientation = 2, s.mScanLeft = 1.5, s.mScanWidth = 1, s.mScanHeight = 1; }},
  };
  quirel::e2e::TempDir dir;
  RecordingController controller("");
  ScanJob_InProcess job(&controller);
  job.waitForScanEnd();  // nothing started: returns at once
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScopedBus bus(row.scanner);
    const std::string path = dir.File("run" + std::to_string(++n) + ".pdf");
    SmallScan(controller.settings(), row.typeTag, path);
    controller.settings().mPaperLength = controller.settings().mScanHeight = row.paperLength;
    if (row.adjust) row.adjust(controller.settings());
    if (row.previews) controller.settings().setPreviewSize(40, 60);
    controller.pages.clear();
    ASSERT_TRUE(RunScan(job, controller, row.waiter)) << "the run did not end";
    EXPECT_EQ(controller.status, row.status) << controller.err.toStdString();
    EXPECT_FALSE(controller.crashed);
    if (row.msg) {
      EXPECT_EQ(controller.msg.toStdString(), row.msg);
    }
    if (*row.err) {
      EXPECT_NE(controller.err.toStdString().find(row.err), std::string::npos) << controller.err.toStdString();
    } else {
      EXPECT_EQ(controller.err.toStdString(), "");
    }
    EXPECT_EQ(int(controller.pages.size()), row.previewCount);
    for (const auto& page : controller.pages) {
      EXPECT_EQ(page.depth, row.previewDepth);
      if (row.previews) {
        EXPECT_TRUE(page.width > 0 && page.width <= 40 && page.height > 0 && page.height <= 60);
      } else {
        EXPECT_TRUE(page.width == 0 && page.height == 0 && page.bytes.empty());
      }
    }
    if (row.status == 0) {
      EXPECT_TRUE(std::filesystem::exists(path));
    }
  }
}

TEST(InProcessRun, AStoppedRunIsReportedAndTheNextScansNormally) {
  struct Row {
    const char* name;
    Waiter waiter;
    bool stopAfterFirstPreview;  // else at once, before the scanner is found
  };
  const Row rows[] = {
      {"stopped at once, from a worker", Waiter::kWorker, false},
      {"stopped at once, on the main thread", Waiter::kMainThread, false},
      {"stopped after the first page", Waiter::kEventLoop, true},
  };
  quirel::e2e::TempDir dir;
  RecordingController controller("");
  ScanJob_InProcess job(&controller);
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    {
      ScopedBus bus("model=fi-7160;sheets=6");
      SmallScan(controller.settings(), 8, dir.File("stopped" + std::to_string(++n) + ".pdf"));
      controller.settings().setPreviewSize(20, 30);
      controller.pages.clear();
      const int before = controller.finishedCount;
      job.startScan();
      if (row.stopAfterFirstPreview) {
        ASSERT_TRUE(WaitFor([&] { return !controller.pages.empty(); }));
      }
      job.stopScan();
      if (row.waiter == Waiter::kWorker) {
        std::atomic<bool> done{false};
        std::thread worker([&] {
          job.waitForScanEnd();
          done = true;
        });
        ASSERT_TRUE(WaitFor([&] { return done.load(); }));
        worker.join();
      } else if (row.waiter == Waiter::kMainThread) {
        job.waitForScanEnd();
      } else {
        ASSERT_TRUE(WaitFor([&] { return controller.finishedCount > before; }));
        job.waitForScanEnd();
      }
      EXPECT_EQ(controller.finishedCount, before + 1) << "a stopped run must still end through scanFinished";
      // Sheets were left unscanned: the tool's status for a stop, never 0.
      EXPECT_EQ(controller.status, 8) << controller.err.toStdString();
      EXPECT_LT(controller.pages.size(), 6u);
    }
    ScopedBus bus("model=fi-7160;sheets=2");
    SmallScan(controller.settings(), 8, dir.File("after" + std::to_string(n) + ".pdf"));
    controller.pages.clear();
    ASSERT_TRUE(RunScan(job, controller, row.waiter));
    EXPECT_EQ(controller.status, 0) << controller.err.toStdString();
    EXPECT_EQ(controller.msg.toStdString(), "2 pages scanned.");
  }
}

TEST(InProcessRun, AJobDestroyedMidScanStopsItQuietly) {
  quirel::e2e::TempDir dir;
  ScopedBus bus("model=fi-7160;sheets=6");
  RecordingController controller("");
  {
    ScanJob_InProcess job(&controller);
    SmallScan(controller.settings(), 24, dir.File("dropped.pdf"));
    controller.settings().setPreviewSize(20, 30);
    job.startScan();
    ASSERT_TRUE(WaitFor([&] { return !controller.pages.empty(); }));
  }
  QCoreApplication::processEvents();
  EXPECT_EQ(controller.finishedCount, 0) << "the controller may be going away";
  EXPECT_EQ(ZuzuvovOvav::ScanJob::sActiveScanJob.load(), nullptr);
  EXPECT_LT(controller.pages.size(), 6u);
}

TEST(InProcessRun, AnEngineJobThatCannotBeMadeEndsAsAFailure) {
  quirel::e2e::TempDir dir;
  ScopedBus bus("model=fi-7160;sheets=3");
  // Another engine job holds the engine until it is let go.
  std::promise<void> letGo;
  std::shared_future<void> released = letGo.get_future().share();
  ZuzuvovOvav::ScanParams other(ZuzuvovOvav::kImageTypeGray);
  other.mBaseFilePath = dir.File("other.pdf");
  other.mFileType = ZuzuvovOvav::kFileTypePDF;
  other.mXRes = other.mYRes = 100;
  other.mScanCompleteFunc = [released](const ZuzuvovOvav::ScanResults*) { released.wait(); };
  auto holder = std::make_unique<ZuzuvovOvav::ScanJob>(&other, false, nullptr, nullptr);

  RecordingController controller("");
  ScanJob_InProcess job(&controller);
  for (Waiter waiter : {Waiter::kWorker, Waiter::kMainThread}) {
    SmallScan(controller.settings(), 8, dir.File("refused.pdf"));
    ASSERT_TRUE(RunScan(job, controller, waiter));
    EXPECT_EQ(controller.status, 4);
    EXPECT_EQ(controller.err.toStdString().rfind(quirel::action::kEngineJobFailedText, 0), 0u) << controller.err.toStdString();
    EXPECT_NE(controller.err.toStdString().find("only 1"), std::string::npos) << controller.err.toStdString();
  }

  letGo.set_value();
  holder->WaitForScan();
  holder.reset();
  SmallScan(controller.settings(), 8, dir.File("after.pdf"));
  ASSERT_TRUE(RunScan(job, controller, Waiter::kWorker));
  EXPECT_EQ(controller.status, 0) << controller.err.toStdString();
}

TEST(FindScanner, DescribesTheFirstScannerFromTheModelTable) {
  struct Row {
    std::string scanner;
    const char* model;  // null: no scanner found
    uint32_t location;
    bool multiple;
  };
  std::vector<Row> rows = {
      {"", nullptr, 0, false},
      {"model=fi-7160", "fi-7160", 0x14100000, false},
      {"model=fi-6230;location=0x14300000", "fi-6230", 0x14300000, false},
      {"model=fi-6770;location=0x14200000|model=fi-7160;location=0x14400000", "fi-6770", 0x14200000, true},
  };
  // Every model: its record is what its capability lines say, long scans included.
  for (const auto* m = ZuzuvovOvav::Device::sProductSettings; m->mProductId != 0; ++m)
    rows.push_back({"model=" + std::to_string(m->mProductId), m->mModelName, 0x14100000, false});
  RecordingController controller("");
  ScanJob_InProcess job(&controller);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.scanner);
    ScopedBus bus(row.scanner);
    const std::optional<ScannerInfo> info = job.findScanner();
    if (!row.model) {
      EXPECT_FALSE(info.has_value());
      continue;
    }
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->modelName.toStdString(), row.model);
    EXPECT_TRUE(info->supported);
    EXPECT_EQ(info->vendor, ZuzuvovOvav::kFujitsuVendorId);
    EXPECT_EQ(info->location, row.location);
    EXPECT_EQ(info->multipleScanners, row.multiple);
    const ZuzuvovOvav::ProductSettings* p = ZuzuvovOvav::Device::GetProductById(info->product);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p->mModelName), row.model);
    const ScannerInfo& i = *info;
    EXPECT_TRUE(i.adfWidth == p->mAdfWidth && i.adfLength == p->mAdfLength && i.adfLongScanModes == p->mLongScanModes &&
                i.adfLongResCutoff1 == p->mLongResCutoff1 && i.adfLongLength1 == p->mLongLength1 &&
                i.adfLongResCutoff2 == p->mLongResCutoff2 && i.adfLongLength2 == p->mLongLength2 &&
                i.hasFlatbed == p->mHasFlatbed && i.fbLeft == (p->mHasFlatbed && p->mFlatbedLeft) &&
                i.fbWidth == (p->mHasFlatbed ? p->mFlatbedWidth : 0) && i.fbHeight == (p->mHasFlatbed ? p->mFlatbedHeight : 0) &&
                i.hasAutoLen == (p->mLengthDetection != 0) && i.supportsJpeg == p->mSupportsJpeg &&
                i.feedsFaceUp == !p->mFeedsFaceDown)
        << "the record differs from the model's row, which its capability lines carry";
  }
}

TEST(ScanCompleteFg, StatusAndTextOfAnEndedScan) {
  struct Row {
    int32_t status, pages, doubleFeeds;
    const char* errorMsg;
    int32_t code;
    const char* msg;
  };
  const Row rows[] = {
      {0, 1, 0, "", 0, "1 page scanned."},
      {0, 0, 0, "", 0, "0 pages scanned."},
      {0, 3, 1, "", 6, "3 pages scanned."},
      {8, 2, 1, "", 8, "2 pages scanned."},
      {6, 1, 0, "Double feed error", 6, "1 page scanned."},
      {12, 2, 2, "Disk full.", 12, "2 pages scanned."},
  };
  RecordingController controller("");
  ScanJob_InProcess job(&controller);
  // The controller is told through the job's own factory, as the plug-in's
  // controller gets its job.
  ASSERT_NE(dynamic_cast<ScanJob_InProcess*>(MakeScanJob(&controller).get()), nullptr);
  for (const Row& row : rows) {
    ZuzuvovOvav::ScanResults results;
    results.mStatus = row.status;
    results.mTotalPages = row.pages;
    results.mDoubleFeeds = row.doubleFeeds;
    results.mErrorMsg = row.errorMsg;
    job.scanCompleteFg(ScanResultsWrapper::createWithScanResults(&results));
    EXPECT_EQ(controller.status, row.code);
    EXPECT_FALSE(controller.crashed);
    EXPECT_EQ(controller.msg.toStdString(), row.msg);
    EXPECT_EQ(controller.err.toStdString(), row.errorMsg);
  }
  EXPECT_EQ(ScanResultsWrapper().scanResults()->mStatus, -1);
}

}  // namespace
