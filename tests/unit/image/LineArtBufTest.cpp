// Tests of the line-art page buffers: plain, despeckled, turned and cut pages.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "ImageInfo.h"
#include "PagePreview.h"
#include "ScanImageBuf1.h"

namespace ZuzuvovOvav {
namespace {

using Lines = std::vector<std::vector<uint8_t>>;  // scanner lines of pels 0/1

// A line-art side: page width x height as stored, rotation 0..3 of the front.
ScanParams LineArtParams(uint32_t width, uint32_t height, uint32_t rotation, int despeckle = 0) {
  ScanParams p;
  p.mImageType = kImageTypeLineArt;
  p.mBufWidthRaw = width;
  p.mBufHeightRaw = height;
  p.mRotation = rotation << 2;
  p.mDespeckleFactor = despeckle;
  return p;
}

Lines RandomLines(int count, int length, unsigned seed) {
  std::mt19937 rng(seed);
  Lines lines(size_t(count), std::vector<uint8_t>(size_t(length), 0));
  for (auto& l : lines)
    for (auto& p : l) p = uint8_t(rng() % 3 == 0);
  return lines;
}

std::vector<uint8_t> Pack(const Lines& lines) {
  std::vector<uint8_t> bytes;
  for (const auto& l : lines)
    for (size_t i = 0; i < l.size(); i += 8) {
      uint8_t b = 0;
      for (size_t j = 0; j < 8; ++j) b = uint8_t(b << 1 | (i + j < l.size() ? l[i + j] : 0));
      bytes.push_back(b);
    }
  return bytes;
}

// The page that a rotation makes of the scanner lines, built pixel by pixel:
// left turn puts line j in column j with its first pel at the bottom, right
// turn puts it in column W-1-j with its first pel at the top.
std::vector<uint8_t> ReferencePage(const Lines& lines, uint32_t width, uint32_t height, uint32_t rotation) {
  const uint32_t rb = (width + 7) / 8;
  std::vector<uint8_t> page(size_t(rb) * height, 0);
  auto set = [&](uint32_t r, uint32_t c) { page[size_t(r) * rb + c / 8] |= uint8_t(0x80 >> (c % 8)); };
  for (uint32_t j = 0; j < lines.size(); ++j)
    for (uint32_t p = 0; p < lines[j].size(); ++p) {
      if (!lines[j][p]) continue;
      switch (rotation) {
        case 0: set(j, p); break;
        case 3: set(height - 1 - j, width - 1 - p); break;
        case 1: set(height - 1 - p, j); break;
        case 2: set(p, width - 1 - j); break;
      }
    }
  return page;
}

// Drives expander and packer as the plain line-art chain does, in chunks of
// the given sizes (cycled).
template <class Packer>
void FeedBytes(Buf_Expand1& ex, Packer& pk, const std::vector<uint8_t>& bytes, const std::vector<int>& chunks) {
  size_t pos = 0, ci = 0;
  while (pos < bytes.size()) {
    int n = int(std::min<size_t>(size_t(chunks[ci++ % chunks.size()]), bytes.size() - pos));
    const uint8_t* p = bytes.data() + pos;
    int stalls = 0;
    while (n > 0) {
      int took = ex.AppendBytes(p, n);
      int moved = 0;
      for (PelRun r = ex.ReadPels(); r.count > 0; r = ex.ReadPels()) {
        int t = pk.AppendPels(r.pels, r.count);
        if (!t) break;
        ex.ReleasePels(t);
        moved += t;
      }
      ASSERT_LT(stalls += (took == 0 && moved == 0), 3) << "chain made no progress";
      p += took;
      n -= took;
      pos += size_t(took);
    }
  }
}

// Offers pels straight to a packer in runs of odd sizes, keeping what it
// leaves for the next run, so that byte groups are split across calls.
template <class Packer>
void FeedPels(Packer& pk, const Lines& lines, const std::vector<int>& runs) {
  std::vector<uint8_t> all;
  for (const auto& l : lines) all.insert(all.end(), l.begin(), l.end());
  std::vector<uint8_t> pending;
  size_t pos = 0, ri = 0;
  while (pos < all.size() || !pending.empty()) {
    size_t n = std::min<size_t>(size_t(runs[ri++ % runs.size()]), all.size() - pos);
    pending.insert(pending.end(), all.begin() + long(pos), all.begin() + long(pos + n));
    pos += n;
    while (!pending.empty()) {
      int t = pk.AppendPels(pending.data(), int(pending.size()));
      if (!t) break;
      pending.erase(pending.begin(), pending.begin() + t);
    }
    if (pos == all.size() && !pending.empty()) {
      ASSERT_NE(pk.AppendPels(pending.data(), int(pending.size())), 0) << "packer left pels at the end";
    }
  }
}

// The finished page once the paper length is set: a 180-degree page shorter
// than its allocation starts at the top, white below.
std::vector<uint8_t> FinishedPage(const Lines& lines, uint32_t width, uint32_t height, uint32_t rotation) {
  if (rotation != 3 || lines.size() >= height) return ReferencePage(lines, width, height, rotation);
  std::vector<uint8_t> page = ReferencePage(lines, width, uint32_t(lines.size()), rotation);
  page.resize(size_t((width + 7) / 8) * height, 0);
  return page;
}

std::vector<uint8_t> Bitmap(const ImageInfo& info) {
  return std::vector<uint8_t>(info.mBitMap, info.mBitMap + size_t(info.mRowBytes) * info.mHeight);
}

struct Geometry {
  uint32_t width, height, rotation;
  int lineCount;  // scanner lines sent
};

// Page geometries in stored orientation; turned sides get lines of height
// pels, and a line count that is not a multiple of 8 for one of them.
const Geometry kGeometries[] = {
    {64, 13, 0, 13}, {64, 13, 3, 13}, {24, 40, 1, 24}, {24, 40, 2, 24},
    {32, 40, 1, 19}, {32, 40, 2, 19}, {64, 13, 0, 9},  {64, 13, 3, 9},
};

TEST(LineArtPlain, EveryRotationMatchesReferenceInAnyChunking) {
  const std::vector<std::vector<int>> chunkings = {{1}, {3, 7}, {5, 1, 11}, {1 << 20}};
  for (const Geometry& g : kGeometries) {
    const int lineLen = int(g.rotation == 1 || g.rotation == 2 ? g.height : g.width);
    Lines lines = RandomLines(g.lineCount, lineLen, 7 + g.rotation);
    std::vector<uint8_t> bytes = Pack(lines);
    std::vector<uint8_t> want = FinishedPage(lines, g.width, g.height, g.rotation);
    for (const auto& chunks : chunkings) {
      ImageInfo info(LineArtParams(g.width, g.height, g.rotation), kSideFront);
      Buf_Expand1 ex(info.mWidth);
      Buf_Input1Plain pk(&info);
      FeedBytes(ex, pk, bytes, chunks);
      pk.SetScanLen(g.lineCount);
      EXPECT_EQ(Bitmap(info), want) << "rotation " << g.rotation << " lines " << g.lineCount << " chunk "
                                    << chunks[0];
    }
  }
}

TEST(LineArtPlain, PelRunsThatSplitByteGroupsGiveTheSamePage) {
  for (const Geometry& g : kGeometries) {
    const int lineLen = int(g.rotation == 1 || g.rotation == 2 ? g.height : g.width);
    Lines lines = RandomLines(g.lineCount, lineLen, 99 + g.rotation);
    ImageInfo info(LineArtParams(g.width, g.height, g.rotation), kSideFront);
    Buf_Input1Plain pk(&info);
    FeedPels(pk, lines, {3, 13, 5, 29});
    pk.SetScanLen(g.lineCount);
    EXPECT_EQ(Bitmap(info), FinishedPage(lines, g.width, g.height, g.rotation)) << "rotation " << g.rotation;
  }
}

TEST(LineArtPlain, ProgressCountsWholeLinesFromTheFillingEnd) {
  for (uint32_t rot : {0u, 3u, 1u}) {
    const uint32_t w = 16, h = 10;
    ImageInfo info(LineArtParams(w, h, rot), kSideFront);
    Buf_Input1Plain pk(&info);
    EXPECT_EQ(pk.GetCurScanLen(), 0);
    Lines one = RandomLines(1, rot == 1 ? int(h) : int(w), 3);
    FeedPels(pk, one, {8});
    FeedPels(pk, one, {8});
    EXPECT_EQ(pk.GetCurScanLen(), rot == 1 ? 0 : 2) << rot;
    // Half a line does not count.
    std::vector<uint8_t> half(8, 1);
    pk.AppendPels(half.data(), 8);
    EXPECT_EQ(pk.GetCurScanLen(), rot == 1 ? 0 : 2) << rot;
  }
}

TEST(LineArtPlain, ScanLengthTrimRoundingAndLimits) {
  struct Case {
    uint32_t rotation;
    int length, trim, want;
  } cases[] = {
      {1, 21, 4, 24},   // trim first, then up to a multiple of 8
      {2, 16, 0, 16},
      {2, 17, 0, 24},
      {1, 4, 4, 8},     // no lines left still rounds to one byte column
      {0, 21, 4, 17},
      {3, 30, 0, 30},
      {0, 3, 10, 0},    // trim longer than the paper: empty page, not "unknown"
      {0, 500, 0, 40},  // never more rows than allocated
      {1, 500, 0, 32},  // never more columns than the page has
  };
  for (const Case& c : cases) {
    ScanParams p = LineArtParams(32, 40, c.rotation);
    p.mBottomTrim = uint32_t(c.trim);
    ImageInfo info(p, kSideFront);
    Buf_Input1Plain pk(&info);
    pk.SetScanLen(-1);
    EXPECT_EQ(info.mLineCount, -1);
    pk.SetScanLen(c.length);
    EXPECT_EQ(info.mLineCount, c.want) << "rotation " << c.rotation << " length " << c.length;
  }
}

TEST(LineArtPlain, SurplusDataIsDroppedInsideThePage) {
  for (const Geometry& g : kGeometries) {
    const int lineLen = int(g.rotation == 1 || g.rotation == 2 ? g.height : g.width);
    const int capacity = int(g.rotation == 1 || g.rotation == 2 ? g.width : g.height);
    Lines lines = RandomLines(capacity + 9, lineLen, 5);
    Lines fitting(lines.begin(), lines.begin() + capacity);
    ImageInfo info(LineArtParams(g.width, g.height, g.rotation), kSideFront);
    Buf_Expand1 ex(info.mWidth);
    Buf_Input1Plain pk(&info);
    testing::internal::CaptureStderr();
    FeedBytes(ex, pk, Pack(lines), {7});
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Bitmap(info), ReferencePage(fitting, g.width, g.height, g.rotation)) << g.rotation;
    EXPECT_NE(err.find("assertion failed"), std::string::npos) << "surplus not reported, rotation " << g.rotation;
  }
}

TEST(LineArtPlain, FailedBitmapAllocationSwallowsDataAndSendsEmptyPreview) {
  ScanParams p = LineArtParams(0xFFFFFFF8u, 0xFFFFFFFFu, 0);
  p.mPreviewWidth = 100;
  p.mPreviewHeight = 100;
  std::vector<int> types;
  p.mPageScannedFunc = [&](const PagePreview* pv) {
    types.push_back(pv->mType);
    EXPECT_EQ(pv->mBitMap, nullptr);
  };
  ImageInfo info(p, kSideFront);
  Buf_Expand1 ex(info.mWidth);
  Buf_Input1Plain pk(&info);
  EXPECT_TRUE(info.AllocFailed());
  EXPECT_EQ(info.mBitMap, nullptr);
  FeedBytes(ex, pk, Pack(RandomLines(4, 4096, 1)), {100});
  pk.SetScanLen(4);
  pk.PostProcess();
  EXPECT_EQ(types, std::vector<int>{kPreviewNone});
}

// ---- despeckle

// Weighted 3x3 count computed directly from a page of pels (outside = white).
std::vector<int> ReferenceConvolve(const Lines& page) {
  const int h = int(page.size()), w = int(page[0].size());
  static const int kWeight[3][3] = {{8, 11, 8}, {11, 16, 11}, {8, 11, 8}};
  std::vector<int> out(size_t(w * h), 0);
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c)
      for (int dr = -1; dr <= 1; ++dr)
        for (int dc = -1; dc <= 1; ++dc) {
          int rr = r + dr, cc = c + dc;
          if (rr >= 0 && rr < h && cc >= 0 && cc < w && page[size_t(rr)][size_t(cc)])
            out[size_t(r * w + c)] += kWeight[dr + 1][dc + 1];
        }
  return out;
}

// Runs the first `count` pels of a page through a convolver in runs of the
// given sizes, hands every readable output pel to `sink` (which returns how
// many it took), and finishes at the end.
template <class Sink>
void Convolve(const Lines& page, size_t count, const std::vector<int>& runs, Sink sink) {
  Buf_Convolve1 cv(uint32_t(page[0].size()), uint32_t(page.size()));
  auto drain = [&] {
    for (PelRun r = cv.ReadPels(); r.count > 0; r = cv.ReadPels()) {
      int t = sink(r.pels, r.count);
      if (!t) break;
      cv.ReleasePels(t);
    }
  };
  std::vector<uint8_t> all;
  for (const auto& l : page) all.insert(all.end(), l.begin(), l.end());
  for (size_t pos = 0, ri = 0; pos < count;) {
    int n = int(std::min<size_t>(size_t(runs[ri++ % runs.size()]), count - pos));
    while (n > 0) {
      int t = cv.AppendPels(all.data() + pos, n);
      ASSERT_GT(t, 0);
      pos += size_t(t);
      n -= t;
      drain();
    }
  }
  for (int calls = 0; !cv.Finish(); ++calls) {
    ASSERT_LT(calls, 2);
    drain();
  }
  drain();
}

std::vector<int> Convolved(const Lines& page, const std::vector<int>& runs, size_t count = SIZE_MAX) {
  std::vector<int> out;
  Convolve(page, std::min(count, page.size() * page[0].size()), runs, [&](const uint8_t* p, int n) {
    out.insert(out.end(), p, p + n);
    return n;
  });
  return out;
}

TEST(Despeckle, ConvolverWeightsAndAnyRunsMatchDirectComputation) {
  Lines dot = {{0, 0, 0}, {0, 1, 0}, {0, 0, 0}};
  Lines gap = {{0, 0, 0}, {1, 0, 1}, {0, 0, 0}};
  EXPECT_EQ(Convolved(dot, {9}), (std::vector<int>{8, 11, 8, 11, 16, 11, 8, 11, 8}));
  EXPECT_EQ(Convolved(gap, {1}), (std::vector<int>{11, 16, 11, 16, 22, 16, 11, 16, 11}));
  EXPECT_EQ(Convolved(Lines(3, {1, 1, 1}), {2})[4], 92);

  Lines page = RandomLines(23, 37, 11);
  for (const auto& runs : std::vector<std::vector<int>>{{1}, {5, 2}, {37}, {2000}, {36, 38}})
    EXPECT_EQ(Convolved(page, runs), ReferenceConvolve(page)) << "run " << runs[0];
  // A single row reaches the output through Finish alone.
  Lines row = RandomLines(1, 16, 2);
  EXPECT_EQ(Convolved(row, {16}), ReferenceConvolve(row));
  // Input that stops inside the last row: the missing pels count as white.
  Lines cut = RandomLines(4, 10, 21);
  std::vector<int> got = Convolved(cut, {7}, 36);
  std::fill(cut[3].begin() + 6, cut[3].end(), 0);
  EXPECT_EQ(got, ReferenceConvolve(cut));
}

TEST(Despeckle, ThresholdFromFactorAndResolution) {
  const std::pair<int, int> byFactor[] = {{0, 0}, {1, 16}, {50, 53}, {100, 91}};
  for (auto [f, want] : byFactor) EXPECT_EQ(Buf_Input1Threshold::ThresholdFor(f, 300), want) << f;
  const std::pair<int, int> byRes[] = {{1200, 85}, {600, 85}, {599, 61}, {400, 61}, {300, 45},
                                       {200, 40},  {150, 27}, {149, 21}};
  for (auto [res, want] : byRes) {
    EXPECT_EQ(Buf_Input1Threshold::ThresholdFor(101, res), want) << res;
    EXPECT_EQ(Buf_Input1Threshold::ThresholdFor(-1, res), want) << res;
  }
  // The store reads the side's copy, whose resolution oversampling doubles.
  ScanParams p = LineArtParams(16, 16, 0, 101);
  p.mXRes = 300;
  ImageInfo plain(p, kSideFront);
  EXPECT_EQ(Buf_Input1Threshold(&plain).Threshold(), 45);
  p.mOverSample = true;
  ImageInfo over(p, kSideFront);
  EXPECT_EQ(Buf_Input1Threshold(&over).Threshold(), 85);
}

// Convolver into the threshold store, against the direct convolution
// thresholded and placed by the reference; the hand-made pages pin down
// what despeckling does to dots, gaps and blocks.
TEST(Despeckle, ThresholdStoreMatchesReference) {
  auto despeckle = [](const Lines& page, uint32_t rot, int factor) {
    const uint32_t w = uint32_t(page[0].size()), h = uint32_t(page.size());
    ImageInfo info(LineArtParams(w, h, rot, factor), kSideFront);
    Buf_Input1Threshold pk(&info);
    Convolve(page, page.size() * w, {5, 3}, [&](const uint8_t* p, int n) { return pk.AppendPels(p, n); });
    std::vector<int> conv = ReferenceConvolve(page);
    Lines want(h, std::vector<uint8_t>(w));
    for (uint32_t i = 0; i < w * h; ++i) want[i / w][i % w] = conv[i] > pk.Threshold();
    EXPECT_EQ(Bitmap(info), ReferencePage(want, w, h, rot)) << "rotation " << rot << " factor " << factor;
    return Bitmap(info);
  };
  for (uint32_t rot : {0u, 3u})
    for (int factor : {1, 100, 101}) despeckle(RandomLines(17, 48, 31 + unsigned(factor)), rot, factor);

  auto pad = [](Lines page) {
    for (auto& row : page) row.resize(8, 0);
    return page;
  };
  // Factor 1 (threshold 16): a lone dot (16) vanishes; the white pel between
  // two dots (22) turns black while the dots themselves (16) vanish.
  EXPECT_EQ(despeckle(pad({{0, 0, 0}, {0, 1, 0}, {0, 0, 0}}), 0, 1), (std::vector<uint8_t>{0, 0, 0}));
  EXPECT_EQ(despeckle(pad({{0, 0, 0}, {1, 0, 1}, {0, 0, 0}}), 0, 1)[1], 0x40);
  // Factor 100 (threshold 91): only a pel whose whole neighbourhood is black.
  EXPECT_EQ(despeckle(pad({{1, 1, 1}, {1, 1, 1}, {1, 1, 1}}), 0, 100), (std::vector<uint8_t>{0, 0x40, 0}));
}

}  // namespace
}  // namespace ZuzuvovOvav
