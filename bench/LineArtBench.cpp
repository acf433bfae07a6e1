// Line-art sides through ScanImage: scanner bytes in, page bitmap out.
//
// Pages: A4 at 300 dpi (2480 x 3508) and 600 dpi (4960 x 7016), packed 1-bit
// scanner lines that look like a text page (white paper, rows of glyph-like
// strokes, about 8 % black). Chunks of 64 KiB, as READ returns them. Cases:
// plain and despeckle chains, unturned and turned by 90 degrees left.
// Throughput is MB/s of scanner data.
//
//   bench/bench_LineArtBench --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "ScanImage.h"

namespace {

using namespace ZuzuvovOvav;

constexpr int kChunk = 64 * 1024;

// Scanner lines of `pels` pels, `lines` of them, packed 8 pels a byte.
std::vector<uint8_t> TextLikeLines(int pels, int lines) {
  const int rb = (pels + 7) / 8;
  std::vector<uint8_t> data(size_t(rb) * size_t(lines), 0);
  std::mt19937 rng(7);
  const int lineHeight = pels / 60;  // text rows a sixtieth of the line apart
  for (int y = 0; y < lines; ++y) {
    const int inRow = y % (lineHeight > 0 ? lineHeight : 1);
    if (y < lines / 12 || y > lines - lines / 12 || inRow > lineHeight * 2 / 3) continue;
    uint8_t* row = data.data() + size_t(y) * size_t(rb);
    for (int x = rb / 12; x < rb - rb / 12; ++x) {
      uint32_t r = rng();
      // Vertical strokes: some bytes carry one or two black runs.
      if (r % 4 == 0) row[x] = uint8_t(0xC0 >> (r >> 8) % 6);
      if (r % 16 == 1) row[x] = 0xFF;
    }
  }
  return data;
}

void BM_LineArt(benchmark::State& state) {
  const int dpi = int(state.range(0));
  const bool despeckle = state.range(1) != 0;
  const uint32_t rotation = uint32_t(state.range(2));
  const int width = dpi == 600 ? 4960 : 2480;
  const int height = dpi == 600 ? 7016 : 3508;
  const bool turned = rotation == 1 || rotation == 2;

  ScanParams p;
  p.mImageType = kImageTypeLineArt;
  p.mXRes = p.mYRes = uint16_t(dpi);
  p.mDespeckleFactor = despeckle ? 1 : 0;
  p.mRotation = rotation << 2;
  // A turned side is stored with width and height swapped; the scanner still
  // sends lines across the paper.
  p.mBufWidthRaw = uint32_t(turned ? height : width);
  p.mBufHeightRaw = uint32_t(turned ? width : height);
  const std::vector<uint8_t> data = TextLikeLines(width, height);

  for (auto _ : state) {
    ScanImage side(p, kSideFront, kColorOrderRGB, kColorPixelInterleaved);
    for (size_t pos = 0; pos < data.size(); pos += kChunk) {
      const int n = int(std::min<size_t>(kChunk, data.size() - pos));
      side.AppendBytes(data.data() + pos, n);
    }
    side.SetScanLen(height);
    benchmark::DoNotOptimize(side.mBitMap);
    if (side.Failed()) state.SkipWithError(side.GetErrorText());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
  state.SetLabel(std::string(despeckle ? "despeckle" : "plain") + (turned ? " turned" : ""));
}

BENCHMARK(BM_LineArt)
    ->ArgNames({"dpi", "despeckle", "rotation"})
    ->ArgsProduct({{300, 600}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
