// The preview FIFO as the desktop application reads it: the tool announces
// the path on standard output before it opens the FIFO, then writes one
// record per finished side (a header line of at most 32 bytes with width,
// height, depth and row bytes; height x row bytes pixel bytes; one further
// byte), and removes the FIFO at the end. The reader here follows that
// format byte for byte, as the application's reader does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "FaultScanSupport.h"

using namespace quirel::e2e_faults;
using quirel::testing::RunToolWatching;
using quirel::testing::ToolRun;

namespace {

struct PreviewRecord {
  unsigned width = 0, height = 0, depth = 0, rowBytes = 0;
  bool headerEnded = false;  // the header ended with "\n" or "\r" within 32 bytes
  std::vector<uint8_t> pixels;
};

struct FifoStream {
  bool opened = false;
  std::vector<PreviewRecord> records;
  std::string end;  // how the stream ended: "zero header", "end of file", or a fault
};

// Reads the FIFO on a thread of its own. The FIFO is opened without
// waiting for the writer, so that the tool finds a reader at once and a
// tool that never opens its end cannot hang the test.
class FifoReader {
 public:
  // `keep` records are read, then the reader goes away (-1: all). With a
  // `pause`, the reader holds the FIFO open that long before it reads.
  void Start(const std::string& path, int keep = -1, std::chrono::milliseconds pause = {}) {
    mFd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    mStream.opened = mFd >= 0;
    if (mFd < 0) {
      mStream.end = std::string("cannot open the fifo: ") + std::strerror(errno);
      return;
    }
    mThread = std::thread([this, keep, pause] {
      auto until = std::chrono::steady_clock::now() + pause;
      while (std::chrono::steady_clock::now() < until && !mToolGone)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      Read(keep);
    });
  }

  // Call once the tool has exited.
  FifoStream Finish() {
    mToolGone = true;
    if (mThread.joinable()) mThread.join();
    if (mFd >= 0) close(mFd);
    mFd = -1;
    return mStream;
  }

  ~FifoReader() { Finish(); }

 private:
  // Up to n bytes: > 0 read, 0 end of file, -1 nothing more will come (the
  // tool has exited without opening its end, or a read failed).
  ssize_t Some(void* buf, size_t n) {
    for (;;) {
      pollfd p{mFd, POLLIN, 0};
      int r = poll(&p, 1, 100);
      if (r < 0 && errno != EINTR) return -1;
      if (r > 0) {
        ssize_t got = read(mFd, buf, n);
        if (got >= 0) return got;
        if (errno != EAGAIN && errno != EINTR) return -1;
        continue;
      }
      // Before a writer has ever opened the FIFO poll reports nothing;
      // once the tool has gone nobody will.
      if (r == 0 && mToolGone) return -1;
    }
  }

  bool Exactly(uint8_t* buf, size_t n) {
    while (n > 0) {
      ssize_t got = Some(buf, n);
      if (got <= 0) return false;
      buf += got;
      n -= size_t(got);
    }
    return true;
  }

  void Read(int keep) {
    for (;;) {
      if (keep >= 0 && int(mStream.records.size()) >= keep) {
        mStream.end = "reader left";
        close(mFd);
        mFd = -1;
        return;
      }
      // Header: one byte at a time, up to and including "\n" or "\r", at
      // most 32 bytes.
      char header[32];
      size_t len = 0;
      bool ended = false;
      while (len < sizeof header) {
        char c;
        ssize_t got = Some(&c, 1);
        if (got < 0) {
          mStream.end = "no writer";
          return;
        }
        if (got == 0) break;
        header[len++] = c;
        if (c == '\n' || c == '\r') {
          ended = true;
          break;
        }
      }
      if (len == 0) {
        mStream.end = "end of file";
        return;
      }
      // Four numbers, each after any run of characters that are not digits;
      // a missing one is 0.
      unsigned v[4] = {0, 0, 0, 0};
      size_t at = 0;
      for (unsigned& n : v) {
        while (at < len && (header[at] < '0' || header[at] > '9')) ++at;
        while (at < len && header[at] >= '0' && header[at] <= '9') n = n * 10 + unsigned(header[at++] - '0');
      }
      if (!v[0] || !v[1] || !v[2] || !v[3]) {
        mStream.end = "zero header";
        return;
      }
      PreviewRecord rec;
      rec.width = v[0], rec.height = v[1], rec.depth = v[2], rec.rowBytes = v[3];
      rec.headerEnded = ended;
      if (size_t(rec.height) * rec.rowBytes > (size_t(64) << 20)) {
        mStream.end = "absurd header " + std::string(header, len);
        return;
      }
      rec.pixels.resize(size_t(rec.height) * rec.rowBytes);
      if (!Exactly(rec.pixels.data(), rec.pixels.size())) {
        mStream.end = "pixel block cut short";
        return;
      }
      uint8_t tail;
      Some(&tail, 1);  // the further byte; its value and even its absence do not matter
      mStream.records.push_back(std::move(rec));
    }
  }

  int mFd = -1;
  std::thread mThread;
  std::atomic<bool> mToolGone{false};
  FifoStream mStream;
};

// The FIFO path from the announcement line, once the whole line is there.
bool Announced(const std::string& out, std::string* path) {
  size_t at = out.find("preview fifo: ");
  if (at == std::string::npos) return false;
  size_t end = out.find('\n', at);
  if (end == std::string::npos) return false;
  at += std::strlen("preview fifo: ");
  *path = out.substr(at, end - at);
  return true;
}

// Runs a scan with previews, reading the FIFO as soon as it is announced
// (or after `pause`).
ToolRun ScanWithPreviews(const std::string& scanner, const std::vector<std::string>& args, FifoStream* stream,
                         std::string* fifoPath, int keep = -1, std::chrono::milliseconds pause = {}) {
  FifoReader reader;
  bool started = false;
  ToolRun run = RunToolWatching(args, Scanner(scanner), 60, [&](int, const std::string& out) {
    if (!started && Announced(out, fifoPath)) {
      started = true;
      reader.Start(*fifoPath, keep, pause);
    }
  });
  *stream = reader.Finish();
  return run;
}

// Share of the pixels that look like white paper, and whether any pixel
// shows ink: previews of the generated sheets are mostly white with text.
void PaperAndInk(const PreviewRecord& r, double* white, bool* ink) {
  long paper = 0, all = 0;
  *ink = false;
  for (unsigned y = 0; y < r.height; ++y) {
    const uint8_t* row = r.pixels.data() + size_t(y) * r.rowBytes;
    for (unsigned x = 0; x < r.width; ++x, ++all) {
      if (r.depth == 1) {
        // 0 is white, 255 black.
        paper += row[x] < 64;
        *ink |= row[x] > 160;
      } else {
        const uint8_t* p = row + size_t(x) * 4;  // ignored byte, red, green, blue
        paper += p[1] > 192 && p[2] > 192 && p[3] > 192;
        *ink |= p[1] < 96 || p[2] < 96 || p[3] < 96;
      }
    }
  }
  *white = all ? double(paper) / double(all) : 0;
}

}  // namespace

TEST(E2EPreviewFifo, OneRecordPerSideWithinTheBox) {
  struct Case {
    const char* type;
    bool duplex;
    unsigned depth;
  };
  const Case cases[] = {{"--gray", true, 1}, {"--mono", false, 1}, {"--rgb", true, 4}};
  const unsigned boxW = 120, boxH = 160;
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    std::string path = dir.File(std::string("preview") + c.type + ".pdf");
    std::vector<std::string> args = {"--adf",         c.type, "--no-jpeg", "--resolution", "50", "--paper-height",
                                     "6000",          "--preview", std::to_string(boxW), std::to_string(boxH),
                                     "--pdf"};
    if (c.duplex) args.push_back("--duplex");
    args.push_back(path);
    FifoStream stream;
    std::string fifo;
    ToolRun run = ScanWithPreviews("model=fi-6130;sheets=3", args, &stream, &fifo);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    ASSERT_FALSE(fifo.empty()) << "no \"preview fifo: \" line\n" << run.out;
    EXPECT_EQ(fifo[0], '/') << fifo;
    ASSERT_TRUE(stream.opened) << stream.end;
    const size_t sides = c.duplex ? 6 : 3;
    EXPECT_EQ(size_t(SidesScanned(run.out)), sides) << run.out;
    EXPECT_EQ(stream.records.size(), sides) << "stream ended by: " << stream.end;
    EXPECT_TRUE(stream.end == "zero header" || stream.end == "end of file") << stream.end;
    for (size_t i = 0; i < stream.records.size(); ++i) {
      const PreviewRecord& r = stream.records[i];
      SCOPED_TRACE("record " + std::to_string(i));
      EXPECT_TRUE(r.headerEnded) << "header longer than 32 bytes";
      EXPECT_EQ(r.depth, c.depth);
      EXPECT_GE(r.width, 1u);
      EXPECT_LE(r.width, boxW);
      EXPECT_GE(r.height, 1u);
      EXPECT_LE(r.height, boxH);
      EXPECT_GE(r.rowBytes, r.width * (r.depth == 1 ? 1 : 4));
      double white;
      bool ink;
      PaperAndInk(r, &white, &ink);
      EXPECT_GT(white, 0.5) << "the paper does not show as white";
      EXPECT_TRUE(ink) << "the preview is blank";
    }
    EXPECT_FALSE(Exists(fifo)) << "the fifo was left behind";
    FileCheck check = CheckFile(path);
    EXPECT_TRUE(check.sound) << check.report;
    EXPECT_EQ(check.pages, int(sides));
  }
}

// The application's reader may go away in the middle of a scan (its window
// closed); the tool must not die of the broken pipe nor stop scanning.
TEST(E2EPreviewFifo, AReaderThatLeavesDoesNotStopTheScan) {
  TempDir dir;
  std::string path = dir.File("left.tif");
  FifoStream stream;
  std::string fifo;
  ToolRun run = ScanWithPreviews(
      "model=fi-6130;sheets=20",
      {"--adf", "--rgb", "--no-jpeg", "--resolution", "50", "--paper-height", "6000", "--preview", "400", "400",
       "--duplex", "--tiff", path},
      &stream, &fifo, 1);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(stream.records.size(), 1u) << stream.end;
  EXPECT_EQ(SidesScanned(run.out), 40);
  FileCheck check = CheckFile(path);
  EXPECT_TRUE(check.sound) << check.report;
  EXPECT_EQ(check.pages, 40);
  EXPECT_FALSE(Exists(fifo));
}

// With nobody opening the FIFO the tool gives up waiting after a bounded
// time (about 10 s), says so, and scans anyway.
TEST(E2EPreviewFifo, NobodyReadingDoesNotHang) {
  TempDir dir;
  std::string path = dir.File("unread.pdf");
  std::string fifo;
  auto start = std::chrono::steady_clock::now();
  ToolRun run = RunToolWatching({"--adf", "--gray", "--no-jpeg", "--resolution", "50", "--paper-height", "6000",
                                 "--preview", "100", "100", "--pdf", path},
                                Scanner("model=fi-6130;sheets=2"), 40,
                                [&](int, const std::string& out) { Announced(out, &fifo); });
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(run.signal, 0) << "the tool hung and was killed";
  EXPECT_LT(seconds, 30);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  ASSERT_FALSE(fifo.empty()) << run.out;
  EXPECT_NE(run.out.find("going on without previews"), std::string::npos) << run.out;
  EXPECT_FALSE(Exists(fifo)) << "the fifo was left behind";
  FileCheck check = CheckFile(path);
  EXPECT_TRUE(check.sound) << check.report;
  EXPECT_EQ(check.pages, 2);
}

// A reader that opens the FIFO and then does not read must not hold up the
// scan once the pipe is full: after a few seconds without a record taken the
// previews are dropped, said once on standard error, and every page reaches
// the file. A reader that only pauses for less than that gets every record.
TEST(E2EPreviewFifo, AReaderThatDoesNotReadDoesNotHoldUpTheScan) {
  struct Case {
    const char* name;
    int pauseMs;          // before the reader reads
    bool previewsDropped;
  };
  const Case cases[] = {
      {"never-reads", 60000, true},
      {"pauses", 2000, false},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir.File(std::string(c.name) + ".tif");
    FifoStream stream;
    std::string fifo;
    auto start = std::chrono::steady_clock::now();
    // Colour previews of about 400 x 240 pixels: several times the pipe's
    // buffer per record.
    ToolRun run = ScanWithPreviews(
        "model=fi-6130;sheets=20",
        {"--adf", "--rgb", "--no-jpeg", "--resolution", "50", "--paper-height", "6000", "--preview", "400", "400",
         "--duplex", "--tiff", path},
        &stream, &fifo, -1, std::chrono::milliseconds(c.pauseMs));
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(run.signal, 0) << "the tool hung and was killed";
    EXPECT_LT(seconds, 30);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    const std::string notice = "preview: the reader has taken no preview for 5 seconds; going on without previews\n";
    if (c.previewsDropped) {
      EXPECT_EQ(run.err, notice) << "said once, and nothing else";
      EXPECT_LT(stream.records.size(), 40u);
    } else {
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(stream.records.size(), 40u) << stream.end;
    }
    EXPECT_EQ(SidesScanned(run.out), 40);
    FileCheck check = CheckFile(path);
    EXPECT_TRUE(check.sound) << check.report;
    EXPECT_EQ(check.pages, 40);
    EXPECT_FALSE(Exists(fifo));
  }
}
