// Several writers appending to one file at the same time, and appends that
// meet a file held or replaced by another program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <tiffio.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "ImageWriterPdf.h"
#include "ImageWriterTiff.h"
#include "OutputCheck.h"
#include "OutputTarget.h"
#include "WriterTestSupport.h"

// The scan engine's stop request, which this test binary does not link.
namespace ZuzuvovOvav {
std::atomic<bool> gStopNow{false};
}

using namespace ZuzuvovOvav;
using namespace writertest;

namespace {

std::unique_ptr<ImageWriterImpl> Writer(bool pdf) {
  if (pdf) return std::make_unique<ImageWriterPdfImpl>();
  return std::make_unique<ImageWriterTiffImpl>();
}

// Page sizes (width x rows) in file order, read by tools we did not write.
std::vector<std::pair<int, int>> PageSizes(const std::string& path, bool pdf) {
  std::vector<std::pair<int, int>> sizes;
  if (pdf) {
    std::istringstream lines(Shell("pdfimages -list '" + path + "' | tail -n +3").out);
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream f(line);
      int page, num, w, h;
      std::string type;
      if (f >> page >> num >> type >> w >> h) sizes.push_back({w, h});
    }
  } else {
    const std::string out = Shell("tiffinfo '" + path + "'").out;
    for (size_t at = out.find("Image Width: "); at != std::string::npos; at = out.find("Image Width: ", at + 1)) {
      const size_t len = out.find("Image Length: ", at);
      sizes.push_back({std::atoi(out.c_str() + at + 13), std::atoi(out.c_str() + len + 14)});
    }
  }
  return sizes;
}

void ExpectValid(const std::string& path, bool pdf) {
  const RunResult r = Shell(pdf ? "qpdf --check '" + path + "'" : "tiffinfo -D '" + path + "'");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find(pdf ? "WARNING" : "rror"), std::string::npos) << r.out;
}

// The rows of every TIFF page, as libtiff reads them back.
std::vector<std::vector<uint8_t>> TiffRows(const std::string& path) {
  std::vector<std::vector<uint8_t>> pages;
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (!t) return pages;
  do {
    uint32_t rows = 0;
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &rows);
    std::vector<uint8_t> line(size_t(TIFFScanlineSize(t))), all;
    for (uint32_t r = 0; r < rows && TIFFReadScanline(t, line.data(), r, 0) >= 0; ++r)
      all.insert(all.end(), line.begin(), line.end());
    pages.push_back(std::move(all));
  } while (TIFFReadDirectory(t));
  TIFFClose(t);
  return pages;
}

std::string MakeStart(const std::string& path, bool pdf) {
  TestPage first = MakePage(pdf ? kImageTypeGray : kImageTypeLineArt, 30, 10, 99);
  auto w = Writer(pdf);
  EXPECT_TRUE(w->OpenFile(path.c_str(), *first) && w->WritePage(*first));
  w->CloseFile();
  return ReadFile(path);
}

}  // namespace

TEST(ConcurrentAppend, EveryWritersPagesGoInWholeAndInOrder) {
  constexpr int kWriters = 4, kPages = 4;
  for (bool pdf : {true, false}) {
    SCOPED_TRACE(pdf ? "PDF, threads" : "TIFF, processes");
    ScratchDir dir;
    const std::string path = dir / (pdf ? "shared.pdf" : "shared.tif");
    MakeStart(path, pdf);
    // Writer k's page i is (301 + k) wide and (201 + i) rows high, large
    // enough for writes to overlap. Uncompressed TIFF for the processes: it
    // needs no compression threads.
    std::vector<std::vector<TestPage>> pages(kWriters);
    for (int k = 0; k < kWriters; ++k)
      for (int i = 0; i < kPages; ++i)
        pages[k].push_back(MakePage(kImageTypeGray, uint32_t(301 + k), uint32_t(201 + i), k * 10 + i, 0,
                                    100, /*append=*/true, /*compress=*/pdf ? 1 : 0));
    const auto start = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    const auto append = [&](int k) {
      std::this_thread::sleep_until(start);
      auto w = Writer(pdf);
      bool ok = w->OpenFile(path.c_str(), *pages[k][0]);
      for (int i = 0; ok && i < kPages; ++i) {
        ok = w->WritePage(*pages[k][i]);
        std::this_thread::sleep_for(std::chrono::milliseconds(k));
      }
      w->CloseFile();
      return ok ? std::string("ok") : w->mResults.mErrorMsg;
    };
    std::vector<std::string> outcomes(kWriters);
    if (pdf) {
      std::vector<std::thread> threads;
      for (int k = 0; k < kWriters; ++k) threads.emplace_back([&, k] { outcomes[k] = append(k); });
      for (std::thread& t : threads) t.join();
    } else {
      std::vector<std::thread> waiters;
      for (int k = 0; k < kWriters; ++k)
        waiters.emplace_back([&, k] {
          const ChildResult r = RunInChild([&] { return append(k); }, 60);
          outcomes[k] = r.timedOut ? "timed out" : r.out;
        });
      for (std::thread& t : waiters) t.join();
    }
    for (int k = 0; k < kWriters; ++k) EXPECT_EQ(outcomes[k], "ok") << "writer " << k;
    ExpectValid(path, pdf);
    const auto sizes = PageSizes(path, pdf);
    ASSERT_EQ(sizes.size(), size_t(1 + kWriters * kPages));
    EXPECT_EQ(sizes[0], std::make_pair(30, 10));
    std::vector<int> next(kWriters, 0);
    const auto rows = pdf ? std::vector<std::vector<uint8_t>>() : TiffRows(path);
    for (size_t p = 1; p < sizes.size(); ++p) {
      const int k = sizes[p].first - 301;
      ASSERT_TRUE(k >= 0 && k < kWriters) << "page " << p;
      const int i = next[k]++;
      EXPECT_EQ(sizes[p].second, 201 + i) << "page " << p << " of writer " << k << " out of order";
      // Writes that overlapped would mix the pages' bytes.
      if (!pdf && i < kPages) {
        EXPECT_TRUE(rows.at(p) == PackedRows(pages[k][i])) << "page " << p;
      }
    }
  }
}

TEST(ConcurrentAppend, FileHeldOrReplacedElsewhereFailsTheAppendAndStaysValid) {
  enum class What { kHeldAtOpening, kHeldAtAPage, kStoppedWhileWaiting, kReplaced };
  const std::vector<std::pair<std::string, What>> cases = {
      {"held at opening", What::kHeldAtOpening},
      {"held at a page", What::kHeldAtAPage},
      {"stop while waiting", What::kStoppedWhileWaiting},
      {"replaced", What::kReplaced},
  };
  struct Wait {
    int saved = OutputTarget::sLockWaitMs;
    ~Wait() { OutputTarget::sLockWaitMs = saved; }
  } restore;
  for (bool pdf : {true, false}) {
    for (const auto& [name, what] : cases) {
      SCOPED_TRACE(std::string(pdf ? "PDF " : "TIFF ") + name);
      ScratchDir dir;
      const std::string path = dir / (pdf ? "held.pdf" : "held.tif");
      const std::string start = MakeStart(path, pdf);
      TestPage page = MakePage(pdf ? kImageTypeGray : kImageTypeLineArt, 31, 11, 5, 0, 100, true);
      OutputTarget::sLockWaitMs = what == What::kStoppedWhileWaiting ? 20000 : 300;
      const int other = open(path.c_str(), O_RDONLY);
      ASSERT_GE(other, 0);
      auto w = Writer(pdf);
      if (what == What::kHeldAtOpening) {
        ASSERT_EQ(flock(other, LOCK_EX), 0);
        EXPECT_FALSE(w->OpenFile(path.c_str(), *page));
        // The check before the scan reads the file under the same lock.
        ScanParams params;
        std::tie(params.mBaseFilePath, params.mAppend, params.mFileType) =
            std::make_tuple(path, true, pdf ? kFileTypePDF : kFileTypeTIFF);
        EXPECT_NE(CheckOutputTarget(params).mText.find("is in use by another program"), std::string::npos);
      } else {
        ASSERT_TRUE(w->OpenFile(path.c_str(), *page) && w->WritePage(*page)) << w->mResults.mErrorMsg;
        if (what == What::kReplaced) {
          WriteFile(dir / "new", "someone else's");
          ASSERT_EQ(rename((dir / "new").c_str(), path.c_str()), 0);
        } else {
          ASSERT_EQ(flock(other, LOCK_EX), 0);
        }
        std::thread stopper;
        if (what == What::kStoppedWhileWaiting)
          stopper = std::thread([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            gStopNow = true;
          });
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(w->WritePage(*page));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
        if (stopper.joinable()) stopper.join();
        gStopNow = false;
      }
      EXPECT_EQ(w->mResults.mStatus, kScanFileError);
      EXPECT_EQ(w->mResults.mErrorMsg, "Target file '" + path + "' " +
                                           (what == What::kReplaced ? "was replaced or removed by another program."
                                                                    : "is in use by another program."));
      flock(other, LOCK_UN);
      close(other);
      w->CloseFile();
      if (what == What::kReplaced) {
        EXPECT_EQ(ReadFile(path), "someone else's");
      } else if (what == What::kHeldAtOpening) {
        EXPECT_TRUE(ReadFile(path) == start);
      } else {
        // The page added before the lock was lost stays, in a valid file.
        ExpectValid(path, pdf);
        EXPECT_EQ(PageSizes(path, pdf).size(), 2u);
      }
    }
  }
}
