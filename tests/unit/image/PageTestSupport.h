// Helpers for the gray, colour, turbo and scan image tests: test pages,
// a plain reference of the four turns, a JPEG encoder and a chunked feeder.
#pragma once

#include "TestJpeg.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include <jpeglib.h>

#include "PagePreview.h"
#include "JpegScanSource.h"
#include "ScanImage.h"
#include "ScanImageImpl.h"

namespace quirel_test {

using namespace ZuzuvovOvav;

// Scanner geometry of a page W x H (already turned, as the ImageInfo holds
// it): the scanner sends `lines` lines of `samples` pixels.
struct ScanGeometry {
  int lines;
  int samples;
};

inline ScanGeometry GeometryFor(int rotation, int W, int H) {
  return rotation == 1 || rotation == 2 ? ScanGeometry{W, H} : ScanGeometry{H, W};
}

// Parameters of a front side with the given turn.
inline ScanParams PageParams(ImageTypeE type, int W, int H, int rotation, int black = 0, int white = 255) {
  ScanParams p(type);
  p.mBufWidthRaw = uint32_t(W);
  p.mBufHeightRaw = uint32_t(H);
  p.mRotation = uint32_t(rotation) << 2;
  p.mBitsOut = 8;
  p.mBlackPoint = black;
  p.mWhitePoint = white;
  p.mBottomTrim = 0;
  return p;
}

// Page row and column of scanner line i, pixel j, written independently of
// the buffers' own bookkeeping.
inline void PlaceOf(int rotation, int W, int H, int i, int j, int* row, int* col) {
  switch (rotation) {
    case 0: *row = i, *col = j; break;
    case 1: *row = H - 1 - j, *col = i; break;
    case 2: *row = j, *col = W - 1 - i; break;
    default: *row = H - 1 - i, *col = W - 1 - j; break;
  }
}

// Random bytes: any sample value, nothing smooth.
inline std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(rng());
  return v;
}

// A smooth test picture (gradients and a soft disc) that JPEG at high
// quality keeps within a few levels. Component c of pixel (x, y).
inline uint8_t SmoothSample(int x, int y, int c) {
  const int dx = x - 20, dy = y - 25;
  const int disc = dx * dx + dy * dy < 150 ? 60 : 0;
  return uint8_t(std::min(255, 30 + x * 2 + y + c * 40 + disc) & 0xFF);
}

// Scanner data of `lines` lines of `samples` pixels of `comps` bytes each,
// from the smooth picture (in scanner coordinates).
inline std::vector<uint8_t> SmoothScan(int lines, int samples, int comps) {
  std::vector<uint8_t> v(size_t(lines) * samples * comps);
  for (int i = 0; i < lines; ++i)
    for (int j = 0; j < samples; ++j)
      for (int c = 0; c < comps; ++c) v[(size_t(i) * samples + j) * comps + c] = SmoothSample(j, i, c);
  return v;
}

// Encodes lines x samples pixels (1 or 3 components, no chroma subsampling)
// as a baseline JPEG. invert: store 255 - v, as a scanner's stream that the
// decoder inverts back. extraMarkerBytes: an APP5 segment of that size.
inline std::vector<uint8_t> EncodeJpeg(const std::vector<uint8_t>& pixels, int lines, int samples, int comps,
                                       bool invert, int quality = 100, int extraMarkerBytes = 0) {
  quirel::testing::JpegOptions options;
  options.invert = invert;
  options.quality = quality;
  options.extraMarkerBytes = extraMarkerBytes;
  return quirel::testing::EncodeJpeg(pixels, lines, samples, comps, options);
}

// Feeds data in chunks of `chunk` bytes (0: all at once).
inline void Feed(ScanImage& image, const std::vector<uint8_t>& data, size_t chunk) {
  if (chunk == 0) chunk = data.size();
  for (size_t at = 0; at < data.size(); at += chunk)
    image.AppendBytes(data.data() + at, int(std::min(chunk, data.size() - at)));
}

// Largest absolute difference and the mean difference of two byte runs.
struct Diff {
  int max = 0;
  double mean = 0;
};

inline Diff Compare(const uint8_t* a, const uint8_t* b, size_t n) {
  Diff d;
  double sum = 0;
  for (size_t i = 0; i < n; ++i) {
    const int e = std::abs(int(a[i]) - int(b[i]));
    d.max = std::max(d.max, e);
    sum += e;
  }
  d.mean = n ? sum / double(n) : 0;
  return d;
}

}  // namespace quirel_test
