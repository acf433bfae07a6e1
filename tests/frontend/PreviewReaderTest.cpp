// The preview records read from the tool's FIFO: header forms, the end of
// the stream, refused sizes and cut records, and the reader thread on a
// real FIFO whose writer never comes, keeps it open, or goes away.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <thread>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "FrontendTestSupport.h"
#include "PreviewFifoTask.h"

using namespace quirel::frontend;
using namespace quirel::frontend::test;

namespace {

using Result = PreviewRecordReader::Result;

struct Read {
  std::vector<std::string> pages;  // "WxH/depth/rowBytes:first bytes"
  Result end = Result::kPage;
};

// Reads `bytes` as a stream delivered at most 7 bytes a read.
Read ReadAll(const std::string& bytes) {
  size_t at = 0;
  PreviewRecordReader reader([&](void* buf, size_t n) -> ssize_t {
    const size_t k = std::min({n, bytes.size() - at, size_t(7)});
    std::memcpy(buf, bytes.data() + at, k);
    at += k;
    return ssize_t(k);
  });
  Read out;
  for (;;) {
    PreviewBitmap page;
    std::string why;
    out.end = reader.next(&page, &why);
    if (out.end != Result::kPage) return out;
    const std::string head(reinterpret_cast<char*>(page.data), std::min(2, page.height * page.rowBytes));
    out.pages.push_back(std::to_string(page.width) + "x" + std::to_string(page.height) + "/" + std::to_string(page.depth) +
                        "/" + std::to_string(page.rowBytes) + ":" + head);
    std::free(page.data);
  }
}

std::string Record(const std::string& header, size_t pixels, char fill = 'p') { return header + std::string(pixels, fill) + "t"; }

}  // namespace

TEST(PreviewRecords, HeadersPagesAndTheEndOfTheStream) {
  const struct {
    const char* name;
    std::string bytes;
    std::vector<std::string> pages;
    Result end;
  } cases[] = {
      {"gray page, line feed", Record("850 1100 1 850\n", 850 * 1100), {"850x1100/1/850:pp"}, Result::kEnd},
      {"gray page, carriage return", Record("850 1100 1 850\r", 850 * 1100), {"850x1100/1/850:pp"}, Result::kEnd},
      {"other separators, two pages", Record("4x3,1;4\n", 12) + Record("  2   2  4 , 16\n", 32, 'c'),
       {"4x3/1/4:pp", "2x2/4/16:cc"}, Result::kEnd},
      {"zeros end the stream", Record("1 1 1 1\n", 1) + "0 0 0 0\n" + Record("1 1 1 1\n", 1), {"1x1/1/1:p"}, Result::kEnd},
      {"fewer than four numbers", "3 3 1\n" + std::string(20, 'p'), {}, Result::kEnd},
      {"header cut at 32 bytes", "2 1 1 2" + std::string(25, ' ') + "AB\n", {"2x1/1/2:AB"}, Result::kEnd},
      {"no byte after the last page", "1 1 1 1\nq", {"1x1/1/1:q"}, Result::kEnd},
      {"empty stream", "", {}, Result::kEnd},
      {"width beyond any preview", Record("100000 1 1 100000\n", 10), {}, Result::kBad},
      {"rows too short for the pixels", Record("10 10 4 39\n", 390), {}, Result::kBad},
      {"block beyond 256 MiB", "30000 30000 1 30000\n", {}, Result::kBad},
      {"numbers beyond 32 bits", "99999999999 1 1 99999999999\n", {}, Result::kBad},
      {"block cut short", Record("1 1 1 1\n", 1) + "4 4 1 4\n" + std::string(10, 'p'), {"1x1/1/1:p"}, Result::kBad},
      {"a digit after the pixels", "1 1 1 1\np7" + Record("2 1 1 2\n", 2), {"1x1/1/1:p", "2x1/1/2:pp"}, Result::kEnd},
  };
  for (const auto& c : cases) {
    const Read got = ReadAll(c.bytes);
    EXPECT_EQ(got.pages, c.pages) << c.name;
    EXPECT_EQ(int(got.end), int(c.end)) << c.name;
  }
}

namespace {

struct FifoRun {
  quirel::e2e::TempDir dir;
  std::string path = dir.File("fifo");
  std::mutex mutex;
  std::vector<std::string> pages;
  std::unique_ptr<PreviewFifoTask> task;

  FifoRun() { EXPECT_EQ(mkfifo(path.c_str(), 0600), 0); }
  void Start(const std::string& at = "") {
    task = std::make_unique<PreviewFifoTask>(at.empty() ? path : at, [this](PreviewBitmap p) {
      std::lock_guard<std::mutex> lock(mutex);
      pages.push_back(std::to_string(p.width) + "x" + std::to_string(p.height));
      std::free(p.data);
    });
  }
  // True when the reader thread ends within the time.
  bool Ends(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!task->readerEnded() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return task->readerEnded();
  }
};

}  // namespace

TEST(PreviewFifoTask, EndsWhateverTheWriterDoes) {
  {
    // The tool exits without ever opening the FIFO.
    FifoRun run;
    run.Start();
    EXPECT_FALSE(run.Ends(std::chrono::seconds(1))) << "ended before the writer could come";
    run.task->writerGone();
    EXPECT_TRUE(run.Ends());
    EXPECT_TRUE(run.pages.empty());
  }
  {
    // Two pages, then the end of file.
    FifoRun run;
    run.Start();
    const int fd = open(run.path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const std::string bytes = Record("3 2 1 3\n", 6) + Record("1 1 4 4\n", 4);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    close(fd);
    EXPECT_TRUE(run.Ends());
    EXPECT_EQ(run.pages, (std::vector<std::string>{"3x2", "1x1"}));
    EXPECT_EQ(run.task->pagesDelivered(), 2);
  }
  {
    // A header of zeros while the writer keeps the FIFO open.
    FifoRun run;
    run.Start();
    const int fd = open(run.path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "0 0 0 0\n", 8), 8);
    EXPECT_TRUE(run.Ends());
    close(fd);
  }
  {
    // A writer that stops in the middle of a page and never goes: the owner
    // ends the reader where it waits.
    FifoRun run;
    run.Start();
    const int fd = open(run.path.c_str(), O_WRONLY);
    ASSERT_EQ(write(fd, "8 8 1 8\nabc", 11), 11);
    EXPECT_FALSE(run.Ends(std::chrono::seconds(1)));
    run.task.reset();
    close(fd);
    EXPECT_TRUE(run.pages.empty());
  }
  {
    LogCapture log;
    FifoRun run;
    run.Start(run.dir.File("missing"));
    EXPECT_TRUE(run.Ends(std::chrono::seconds(1)));
    std::ofstream(run.dir.File("plain")) << "1 1 1 1\nxt";
    run.Start(run.dir.File("plain"));
    EXPECT_TRUE(run.Ends(std::chrono::seconds(1)));
    EXPECT_EQ(log.lines.size(), 2u);
  }
}
