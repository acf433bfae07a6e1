// Throughput of the image pipeline: scanner data of one A4 side through
// ScanImage (construct, feed in READ-sized chunks, paper length, post-process,
// delete), per implementation, at 300 and 600 dpi, unturned and turned by 90
// degrees. bytes_per_second counts the scanner's bytes (compressed bytes for
// JPEG sides); pixels/s counts the page's pixels.
#include <benchmark/benchmark.h>

#include "TestJpeg.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include <jpeglib.h>

#include "ScanImage.h"

namespace {

using namespace ZuzuvovOvav;

// A colour READ of the fi-series returns about this much.
constexpr size_t kChunk = 0x3DC20;

struct A4 {
  int width, height;
};

A4 A4At(int dpi) { return {int(8.27 * dpi + 0.5), int(11.69 * dpi + 0.5)}; }

// Something like a page: paper white, a few gray blocks, text-like noise.
uint8_t PageSample(int x, int y, int c, uint32_t noise) {
  int v = 12 + ((x / 97 + y / 131) % 5 == 0 ? 90 + c * 20 : 0);
  if ((y / 24) % 3 == 1 && (noise & 7) == 0) v = 230;
  return uint8_t(v);
}

std::vector<uint8_t> MakeScan(int lines, int samples, int comps) {
  std::vector<uint8_t> v(size_t(lines) * samples * comps);
  std::minstd_rand rng(1);
  size_t k = 0;
  for (int i = 0; i < lines; ++i)
    for (int j = 0; j < samples; ++j) {
      const uint32_t noise = rng();
      for (int c = 0; c < comps; ++c) v[k++] = PageSample(j, i, c, noise >> 8);
    }
  return v;
}

// The scanner's JPEG: quality 85, the library's default chroma subsampling.
std::vector<uint8_t> EncodeJpeg(const std::vector<uint8_t>& pixels, int lines, int samples, int comps) {
  quirel::testing::JpegOptions options;
  options.quality = 85;
  options.fullChroma = false;
  return quirel::testing::EncodeJpeg(pixels, lines, samples, comps, options);
}

enum Kind { kGray, kColor, kTurbo };

// Scanner data for a side, made once per shape.
const std::vector<uint8_t>& SideData(Kind kind, bool jpeg, int lines, int samples) {
  static std::map<std::tuple<int, bool, int, int>, std::vector<uint8_t>> cache;
  auto key = std::make_tuple(int(kind), jpeg, lines, samples);
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  const int comps = kind == kColor ? 3 : 1;
  auto raw = MakeScan(lines, samples, comps);
  return cache[key] = jpeg ? EncodeJpeg(raw, lines, samples, comps) : std::move(raw);
}

// Args: dpi, rotation (0 or 1), JPEG (0 or 1).
void RunSide(benchmark::State& state, Kind kind) {
  const int dpi = int(state.range(0));
  const int rotation = int(state.range(1));
  const bool jpeg = state.range(2) != 0;
  // Turbo scans at two thirds of the resolution and scales the page up.
  const A4 page = A4At(kind == kTurbo ? dpi * 2 / 3 : dpi);
  const bool turned = rotation == 1 || rotation == 2;
  const int W = turned ? page.height : page.width, H = turned ? page.width : page.height;
  const int lines = turned ? W : H, samples = turned ? H : W;

  ScanParams p(kind == kColor ? kImageTypeColor : kImageTypeGray);
  p.mBufWidthRaw = uint32_t(W);
  p.mBufHeightRaw = uint32_t(H);
  p.mXRes = p.mYRes = uint16_t(dpi);
  p.mRotation = uint32_t(rotation) << 2;
  p.mBitsOut = 8;
  p.mBlackPoint = 0;
  p.mWhitePoint = 255;
  p.mWillUseJpeg = jpeg;
  if (kind == kTurbo) {
    p.mTurbo = true;
    p.mTurboXScale = p.mTurboYScale = 1.5;
    p.mThresholdWeight = 0.75;
  }
  const std::vector<uint8_t>& data = SideData(kind, jpeg, lines, samples);

  for (auto _ : state) {
    ScanImage image(p, kSideFront, kColorOrderRGB, kColorPixelInterleaved);
    for (size_t at = 0; at < data.size(); at += kChunk)
      image.AppendBytes(data.data() + at, int(std::min(kChunk, data.size() - at)));
    image.SetScanLen(lines);
    image.PostProcess();
    if (image.Failed()) {
      state.SkipWithError(image.GetErrorText());
      break;
    }
    benchmark::DoNotOptimize(image.mBitMap);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
  state.counters["pixels/s"] =
      benchmark::Counter(double(state.iterations()) * W * H, benchmark::Counter::kIsRate);
}

void BM_Gray(benchmark::State& state) { RunSide(state, kGray); }
void BM_Color(benchmark::State& state) { RunSide(state, kColor); }
void BM_Turbo(benchmark::State& state) { RunSide(state, kTurbo); }

void Shapes(benchmark::internal::Benchmark* b) {
  b->ArgNames({"dpi", "rot", "jpeg"});
  for (int dpi : {300, 600})
    for (int rot : {0, 1})
      for (int jpeg : {0, 1}) b->Args({dpi, rot, jpeg});
  b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_Gray)->Apply(Shapes);
BENCHMARK(BM_Color)->Apply(Shapes);
BENCHMARK(BM_Turbo)->Apply(Shapes);

}  // namespace

BENCHMARK_MAIN();
