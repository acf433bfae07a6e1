// Parallel Deflate of a whole page on the compression queue against one
// zlib stream at the same level on one thread.
//
// Pages: A4 at 300 dpi (2480 x 3508), gray and colour, made to look like a
// scanned text page: paper with sensor noise, lines of glyph-like strokes,
// margins. Throughput is in bytes of packed page per second of wall time;
// the counters give the compressed sizes, the slice count and the workers.
//
//   bench/bench_DeflateBench --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "ZLibTask.h"

namespace {

constexpr int kWidth = 2480, kHeight = 3508;

struct Page {
  int rows, stride, packed;
  std::vector<uint8_t> bits;
};

// Samples are high for dark, as in the engine's pages. Rows are padded to a
// multiple of 16 bytes, as page buffers are, so the padding skip is measured.
Page MakeScannedPage(int samples) {
  Page p;
  p.rows = kHeight;
  p.packed = kWidth * samples;
  p.stride = (p.packed + 15) / 16 * 16;
  p.bits.assign(size_t(p.rows) * size_t(p.stride), 0);
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> noise(0, 5);
  const int margin = 300, lineHeight = 50, glyphHeight = 30;
  for (int y = 0; y < p.rows; y++) {
    uint8_t* row = p.bits.data() + size_t(y) * size_t(p.stride);
    int line = y / lineHeight, inLine = y % lineHeight;
    bool textRow = y > margin && y < p.rows - margin && inLine < glyphHeight;
    for (int x = 0; x < kWidth; x++) {
      int v = 6 + noise(rng);  // paper
      if (textRow && x > margin && x < kWidth - margin) {
        // Glyphs about 20 px wide with 6 px gaps, words of 3-9 glyphs; the
        // strokes are a hash of glyph and position so no two look alike.
        int glyph = x / 26, inGlyph = x % 26;
        unsigned h = unsigned(glyph * 2654435761u) ^ unsigned(line * 40503u);
        bool wordGap = (h >> 7) % 7 == 0;
        if (!wordGap && inGlyph < 20) {
          unsigned bit = ((h >> ((inGlyph / 4 + inLine / 6 * 5) % 29)) & 1u);
          if (bit) v = 170 + noise(rng) * 12;
        }
      }
      for (int s = 0; s < samples; s++) {
        int c = v + (s ? int(rng() % 5) - 2 : 0);
        row[x * samples + s] = uint8_t(c < 0 ? 0 : c > 255 ? 255 : c);
      }
    }
  }
  return p;
}

const Page& GrayPage() {
  static Page p = MakeScannedPage(1);
  return p;
}
const Page& ColourPage() {
  static Page p = MakeScannedPage(3);
  return p;
}
const Page& PageFor(int samples) { return samples == 1 ? GrayPage() : ColourPage(); }

// The writers' scheme: every slice queued, then joined in order; the pieces
// stay where the slices put them and only their total length is kept.
size_t ParallelDeflate(const Page& p, uint8_t* out, int slice, int slot) {
  const int64_t total = int64_t(p.rows) * p.stride;
  const int count = int((total + slice - 1) / slice);
  uint8_t* bits = const_cast<uint8_t*>(p.bits.data());
  std::vector<ZLibTask*> tasks;
  tasks.reserve(size_t(count));
  for (int i = 0; i < count; i++) {
    int len = i + 1 < count ? slice : int(total - int64_t(i) * slice);
    tasks.push_back(new ZLibTask(bits + int64_t(i) * slice, len, i + 1 == count,
                                 out + int64_t(i) * slot, slot, p.packed, p.stride - p.packed));
    tasks.back()->Activate();
  }
  size_t size = 2 + 4;
  unsigned adler = 1;
  for (ZLibTask* t : tasks) {
    t->Join();
    size += size_t(t->mDstLen);
    adler = ZLibTask::adler32_comb(adler, t->mAdler, unsigned(t->mTotalIn));
    delete t;
  }
  benchmark::DoNotOptimize(adler);
  return size;
}

// Runs the writers' scheme with slices of `slice` bytes and reports it.
void MeasureParallel(benchmark::State& state, const Page& p, int slice) {
  const int slot = ZLibSlotSize(slice);
  const int count = int((int64_t(p.rows) * p.stride + slice - 1) / slice);
  std::unique_ptr<uint8_t[]> out(new uint8_t[size_t(count) * size_t(slot)]);
  size_t size = 0;
  for (auto _ : state) size = ParallelDeflate(p, out.get(), slice, slot);
  state.SetBytesProcessed(int64_t(state.iterations()) * p.rows * p.packed);
  state.counters["compressed"] = double(size);
  state.counters["slices"] = count;
  state.counters["workers"] = ZLibTaskQ()->WorkerCount();
}

void BM_ParallelDeflate(benchmark::State& state) {
  const Page& p = PageFor(int(state.range(0)));
  // The writers' slicing: whole rows of about 1 MiB.
  MeasureParallel(state, p, ZLibSliceSize(p.stride));
}

// The same with slices of about range(1) KiB of whole rows: shows how the
// speed-up depends on the slice size on this machine.
void BM_ParallelDeflateSliceKiB(benchmark::State& state) {
  const Page& p = PageFor(int(state.range(0)));
  const int rowsPerSlice = int((state.range(1) * 1024 + p.stride - 1) / p.stride);
  MeasureParallel(state, p, rowsPerSlice * p.stride);
}

// One zlib stream at level 5 over the packed rows, fed row by row as the
// slices are, so the two differ only in the parallelism.
void BM_SingleDeflate(benchmark::State& state) {
  const Page& p = PageFor(int(state.range(0)));
  std::vector<uint8_t> out(compressBound(uLong(p.rows) * uLong(p.packed)));
  size_t size = 0;
  for (auto _ : state) {
    z_stream s{};
    deflateInit(&s, 5);
    s.next_out = out.data();
    s.avail_out = uInt(out.size());
    for (int y = 0; y < p.rows; y++) {
      s.next_in = const_cast<Bytef*>(p.bits.data() + size_t(y) * size_t(p.stride));
      s.avail_in = uInt(p.packed);
      deflate(&s, Z_NO_FLUSH);
    }
    deflate(&s, Z_FINISH);
    size = s.total_out;
    deflateEnd(&s);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * p.rows * p.packed);
  state.counters["compressed"] = double(size);
}

}  // namespace

BENCHMARK(BM_SingleDeflate)->ArgName("samples")->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ParallelDeflate)->ArgName("samples")->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK(BM_ParallelDeflateSliceKiB)
    ->ArgNames({"samples", "KiB"})
    ->ArgsProduct({{1, 3}, {128, 256, 512, 2048}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
