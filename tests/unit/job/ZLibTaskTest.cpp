// Tests of the parallel Deflate: slicing, checksums and whole pages.
#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ZLibTask.h"

namespace {

// A page bitmap: rows of `packed` bytes of content, each followed by
// stride - packed padding bytes set to a marker that must never reach the
// stream.
struct Page {
  int rows, stride, packed;
  std::vector<uint8_t> bits;
  std::vector<uint8_t> Packed() const {
    std::vector<uint8_t> out;
    for (int r = 0; r < rows; r++)
      out.insert(out.end(), bits.begin() + int64_t(r) * stride,
                 bits.begin() + int64_t(r) * stride + packed);
    return out;
  }
};

// Text-like rows (white with runs of dark strokes) plus noise, so that the
// compressor neither sees all zeros nor incompressible data; `noisy` makes
// whole rows random to push the output towards its worst case.
Page MakePage(int rows, int stride, int packed, bool noisy = false, unsigned seed = 1) {
  Page p{rows, stride, packed, std::vector<uint8_t>(size_t(int64_t(rows) * stride), 0xEE)};
  std::mt19937 rng(seed);
  for (int r = 0; r < rows; r++) {
    uint8_t* row = p.bits.data() + int64_t(r) * stride;
    for (int x = 0; x < packed; x++) {
      if (noisy) {
        row[x] = uint8_t(rng());
      } else {
        bool stroke = (r / 3 + x / 7) % 5 == 0 && (r % 40) < 28;
        row[x] = uint8_t((stroke ? 200 : 8) + rng() % 16);
      }
    }
  }
  return p;
}

// The page deflated as the writers do it, with the pieces collected into one
// buffer: header, each slice's output in order, combined checksum.
struct Deflated {
  std::vector<uint8_t> stream;
  int slices = 0;
  bool sliceFailed = false;
};

Deflated DeflateWhole(const Page& p) {
  Deflated d;
  d.slices = ZLibSliceCount(p.rows, p.stride);
  ZuzuvovOvav::MallocBuffer buffer;
  d.sliceFailed = !DeflatePage(
      p.bits.data(), p.stride, p.rows, p.packed,
      [&d](const uint8_t* data, size_t len) {
        d.stream.insert(d.stream.end(), data, data + len);
        return true;
      },
      &buffer);
  return d;
}

// Inflates with zlib itself, which checks the header and the Adler-32, and
// insists that the stream ends exactly at the end of the data: a second
// header in the middle or bytes after the trailer fail.
std::string Inflate(const std::vector<uint8_t>& stream, std::vector<uint8_t>* out) {
  z_stream s{};
  if (inflateInit(&s) != Z_OK) return "inflateInit";
  s.next_in = const_cast<Bytef*>(stream.data());
  s.avail_in = uInt(stream.size());
  int ret;
  uint8_t buf[65536];
  do {
    s.next_out = buf;
    s.avail_out = sizeof buf;
    ret = inflate(&s, Z_NO_FLUSH);
    out->insert(out->end(), buf, buf + (sizeof buf - s.avail_out));
  } while (ret == Z_OK);
  std::string err = ret == Z_STREAM_END ? "" : "inflate " + std::to_string(ret) + (s.msg ? s.msg : "");
  if (err.empty() && s.avail_in != 0) err = std::to_string(s.avail_in) + " bytes after the stream";
  inflateEnd(&s);
  return err;
}

void ExpectRoundTrip(Page& p, int expectSlices) {
  Deflated d = DeflateWhole(p);
  ASSERT_FALSE(d.sliceFailed);
  EXPECT_EQ(d.slices, expectSlices);
  std::vector<uint8_t> packed = p.Packed();
  std::vector<uint8_t> back;
  ASSERT_EQ(Inflate(d.stream, &back), "");
  ASSERT_EQ(back.size(), packed.size());
  EXPECT_TRUE(back == packed) << "inflated bytes differ from the packed rows";
  uLong oneRun = adler32(1, packed.data(), uInt(packed.size()));
  const uint8_t* t = d.stream.data() + d.stream.size() - 4;
  EXPECT_EQ((uLong(t[0]) << 24) | (uLong(t[1]) << 16) | (uLong(t[2]) << 8) | t[3], oneRun);
}

}  // namespace

TEST(ZLibSlicing, SlicesAreWholeRowsOfAboutOneMebibyteWithRoomForTheWorstCase) {
  EXPECT_EQ(ZLibSliceSize(2048), 1 << 20);
  EXPECT_EQ(ZLibSliceSize(2481), 423 * 2481);  // rounded up to whole rows
  EXPECT_EQ(ZLibSliceSize(3 << 20), 3 << 20);  // a row wider than 1 MiB
  EXPECT_EQ(ZLibSlotSize(1 << 20), 1049664);
  // zlib's own worst case at level 5, plus the empty stored block that a
  // sync flush may add.
  z_stream s{};
  ASSERT_EQ(deflateInit(&s, 5), Z_OK);
  for (int slice : {1 << 20, 423 * 2481, 3 << 20}) {
    int slot = ZLibSlotSize(slice);
    EXPECT_EQ(slot % 64, 0);
    EXPECT_GE(uLong(slot), deflateBound(&s, uLong(slice)) + 5) << slice;
  }
  deflateEnd(&s);
}

TEST(ZLibChecksum, CombinesLikeZlibForAnySplit) {
  std::mt19937 rng(7);
  std::vector<uint8_t> data(300000);
  for (auto& b : data) b = uint8_t(rng());
  for (size_t cut : {size_t(0), size_t(1), size_t(65521), size_t(131042), size_t(150000),
                     data.size() - 1, data.size()}) {
    uLong a1 = adler32(1, data.data(), uInt(cut));
    uLong a2 = adler32(1, data.data() + cut, uInt(data.size() - cut));
    unsigned len2 = unsigned(data.size() - cut);
    EXPECT_EQ(ZLibTask::adler32_comb(unsigned(a1), unsigned(a2), len2),
              adler32_combine(a1, a2, z_off_t(len2)))
        << "cut at " << cut;
    EXPECT_EQ(ZLibTask::adler32_comb(unsigned(a1), unsigned(a2), len2),
              adler32(1, data.data(), uInt(data.size())));
  }
  // Lengths beyond 32 bits still reduce correctly.
  EXPECT_EQ(ZLibTask::adler32_comb(0x12345678u, 0x0ABC0DEFu, 5000000000ul),
            adler32_combine(0x12345678u, 0x0ABC0DEFu, z_off_t(5000000000ll)));
}

TEST(ZLibParallelDeflate, InflatesBackAtAndAroundSliceBoundaries) {
  {
    SCOPED_TRACE("no rows: still one empty final block");
    Page p = MakePage(0, 2481, 2480);
    ExpectRoundTrip(p, 1);
  }
  {
    SCOPED_TRACE("one row, with a padding byte");
    Page p = MakePage(1, 2481, 2480);
    ExpectRoundTrip(p, 1);
  }
  {
    SCOPED_TRACE("exactly one slice");
    Page p = MakePage(1024, 1024, 1024);
    ExpectRoundTrip(p, 1);
  }
  {
    SCOPED_TRACE("one slice and one row");
    Page p = MakePage(1025, 1024, 1024);
    ExpectRoundTrip(p, 2);
  }
  {
    SCOPED_TRACE("many slices, stride not dividing 1 MiB, padded rows");
    Page p = MakePage(3508, 2481, 2480);  // 8.7 MB: 8 full slices and a short one
    ExpectRoundTrip(p, 9);
  }
  {
    SCOPED_TRACE("colour rows padded to 16 bytes");
    Page p = MakePage(700, 7456, 7440);
    ExpectRoundTrip(p, 5);
  }
  {
    SCOPED_TRACE("rows wider than a slice");
    Page p = MakePage(3, (3 << 19) + 16, 3 << 19);
    ExpectRoundTrip(p, 3);
  }
  {
    SCOPED_TRACE("incompressible rows still fit their slots");
    Page p = MakePage(2100, 1024, 1024, /*noisy=*/true);
    ExpectRoundTrip(p, 3);
  }
}

TEST(ZLibParallelDeflate, SeveralPagesAtOnceFromDocumentWorkers) {
  // Side tasks of several pages compress at the same time; their slices
  // interleave on the compression queue and must not mix.
  TaskQ doc(kDocumentQueueWorkers);
  struct PageTask : Task {
    PageTask(TaskQ* q, unsigned seed) : Task(q), page(MakePage(900, 2481, 2480, false, seed)) {}
    void operator()() override { out = DeflateWhole(page); }
    Page page;
    Deflated out;
  };
  std::vector<std::unique_ptr<PageTask>> pages;
  for (unsigned i = 0; i < 5; i++) {
    pages.push_back(std::make_unique<PageTask>(&doc, i + 10));
    pages.back()->Activate();
  }
  for (auto& pt : pages) {
    pt->Join();
    std::vector<uint8_t> back;
    ASSERT_FALSE(pt->out.sliceFailed);
    ASSERT_EQ(Inflate(pt->out.stream, &back), "");
    EXPECT_TRUE(back == pt->page.Packed());
  }
}

TEST(ZLibParallelDeflate, NoSliceRunsOnAfterTheSinkThrows) {
  // Many more slices than workers: when the sink throws at the first slice,
  // most of them have not started yet.
  const int slices = 4 * ZLibTaskQ()->WorkerCount();
  Page p{slices * 1024, 1024, 1024, std::vector<uint8_t>(size_t(slices) << 20)};
  ZuzuvovOvav::MallocBuffer buffer;
  int pieces = 0;
  EXPECT_THROW(DeflatePage(
                   p.bits.data(), p.stride, p.rows, p.packed,
                   [&pieces](const uint8_t*, size_t) {
                     if (++pieces == 2) throw std::runtime_error("disk gone");
                     return true;
                   },
                   &buffer),
               std::runtime_error);
  ASSERT_TRUE(buffer);
  const size_t bytes = size_t(slices) * size_t(ZLibSlotSize(1 << 20)) + 128;
  memset(buffer.get(), 0xA5, bytes);

  // One task per worker that returns only once all of them run: when they
  // are joined, every task queued before them has finished.
  TaskQ* queue = ZLibTaskQ();
  struct Hold : Task {
    Hold(TaskQ* q, std::atomic<int>* arrived, int workers) : Task(q), mArrived(arrived), mWorkers(workers) {}
    void operator()() override {
      ++*mArrived;
      while (mArrived->load() < mWorkers) std::this_thread::yield();
    }
    std::atomic<int>* mArrived;
    int mWorkers;
  };
  std::atomic<int> arrived{0};
  std::vector<std::unique_ptr<Hold>> holds;
  for (int i = 0; i < queue->WorkerCount(); i++) {
    holds.push_back(std::make_unique<Hold>(queue, &arrived, queue->WorkerCount()));
    holds.back()->Activate();
  }
  for (auto& h : holds) h->Join();
  size_t changed = 0;
  for (size_t i = 0; i < bytes; i++) changed += buffer.get()[i] != 0xA5;
  EXPECT_EQ(changed, 0u) << "slices wrote into the output after DeflatePage had left";
}

TEST(ZLibTaskEdges, ASliceWithoutRoomFailsInsteadOfDroppingData) {
  Page p = MakePage(64, 1024, 1024, /*noisy=*/true);
  std::vector<uint8_t> out(1000);
  for (bool last : {false, true}) {
    ZLibTask t(p.bits.data(), int(p.bits.size()), last, out.data(), int(out.size()));
    t.Activate();
    t.Join();
    EXPECT_EQ(t.mDstLen, -1) << "last=" << last;
  }
}

TEST(ZLibTaskEdges, RowsAreSkippedAsAskedAndAShortLastRowStaysInsideTheSource) {
  // An exactly sized heap buffer: the sanitizer build catches a read past it.
  const std::string text = "the quick brown fox jumps over the lazy dog";
  std::unique_ptr<uint8_t[]> src(new uint8_t[text.size()]);
  memcpy(src.get(), text.data(), text.size());
  std::vector<uint8_t> slot(256);
  // Rows of 10 with 3 skipped: 43 bytes are 10+3, 10+3, 10+3, then 4.
  ZLibTask t(src.get(), int(text.size()), true, slot.data(), int(slot.size()), 10, 3);
  t.Activate();
  t.Join();
  ASSERT_GT(t.mDstLen, 0);
  EXPECT_EQ(t.mDst, slot.data() + 2);
  std::vector<uint8_t> stream = {0x78, 0x5E};
  stream.insert(stream.end(), t.mDst, t.mDst + t.mDstLen + 4);  // the task's own trailer
  std::vector<uint8_t> back;
  ASSERT_EQ(Inflate(stream, &back), "");
  EXPECT_EQ(std::string(back.begin(), back.end()), "the quick wn fox jumover the l dog");
  EXPECT_EQ(t.mTotalIn, 34);
}
