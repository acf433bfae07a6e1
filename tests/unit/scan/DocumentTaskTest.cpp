// Tests of the document task on its own: chunks in, TIFF pages out.
//
// The pages go through the real page, side and writer chain on the document
// queue's workers.
#include <chrono>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

#include "AllocFailure.h"
#include "PagePreview.h"
#include "ScanDocumentTask.h"
#include "TestJpeg.h"
#include "ScanImage.h"
#include "ScanTestSupport.h"
#include "VirtualRender.h"

namespace scantest {
namespace {

using Bytes = std::vector<uint8_t>;
using quirel::testing::FailAllocation;

// Gray pages of W x H at 100 dpi with an identity-like tone table.
ScanParams DocParams(const std::string& path, int W, int H, bool duplex, bool jpeg = false, bool interleave = false) {
  ScanParams p(kImageTypeGray);
  p.mXRes = p.mYRes = p.mOutXRes = p.mOutYRes = 100;
  p.mBufWidthRaw = p.mXPixelCount = uint32_t(W);
  p.mBufHeightRaw = p.mYPixelCount = uint32_t(H);
  p.mBytesPerPage = uint32_t(W * H);
  p.mBitsOut = 8;
  p.mBlackPoint = 0;
  p.mWhitePoint = 255;
  p.mBottomTrim = 0;
  p.mDuplex = duplex;
  p.mWillUseJpeg = jpeg;
  p.mJpegInterleave = interleave;
  p.mFileType = kFileTypeTIFF;
  p.mBaseFilePath = path;
  p.mProgramDescription = "Quirel scan test";
  return p;
}

// The tone table a side of these parameters applies to raw samples.
std::vector<uint8_t> ToneOf(const ScanParams& p) {
  ScanImage image(p, kSideFront, kColorOrderRGB, kColorPixelInterleaved);
  return std::vector<uint8_t>(image.mToneTable, image.mToneTable + 256);
}

unsigned char* Copy(const uint8_t* data, size_t n) {
  auto* p = static_cast<unsigned char*>(std::malloc(n ? n : 1));
  std::memcpy(p, data, n);
  return p;
}

// Hands `data` to a side in chunks of `chunk` bytes (the first one
// `first` bytes when given); returns the end-of-image answers.
std::vector<bool> Feed(DocumentTask& doc, int side, const Bytes& data, size_t chunk, size_t first = 0) {
  std::vector<bool> eoi;
  size_t at = 0;
  while (at < data.size()) {
    size_t n = std::min(data.size() - at, at == 0 && first ? first : chunk);
    eoi.push_back(doc.AppendBytes(side, Copy(data.data() + at, n), int(n)));
    at += n;
  }
  return eoi;
}

// A baseline gray JPEG with a restart marker after every row of blocks.
Bytes EncodeGray(const Bytes& pixels, int W, int H) {
  quirel::testing::JpegOptions options;
  options.quality = 90;
  options.restartInRows = 1;
  return quirel::testing::EncodeJpeg(pixels, H, W, 1, options);
}

Bytes Picture(int W, int H, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes v(size_t(W) * H);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) v[size_t(y) * W + x] = uint8_t((x * 5 + y * 3 + seed * 40) % 256 ^ (rng() & 0x0F));
  return v;
}

// End of the header through the start-of-scan segment.
size_t HeaderEnd(const Bytes& jpeg) {
  for (size_t i = 0; i + 3 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) return i + 2 + ((jpeg[i + 2] << 8) | jpeg[i + 3]);
  return 0;
}

class DocTaskTest : public EngineTest {};

TEST_F(DocTaskTest, InterleavedStreamSplitsIntoBothSidesWithRenumberedMarkers) {
  // 12 rows of blocks: each side gets 12 restart markers, so the ninth is
  // numbered 0xD0 again.
  const int W = 32, H = 96;
  const Bytes front = EncodeGray(Picture(W, H, 1), W, H);
  const Bytes back = EncodeGray(Picture(W, H, 2), W, H);
  quirel::virt::SideData fs, bs;
  fs.body = std::make_shared<Bytes>(front);
  bs.body = std::make_shared<Bytes>(back);
  fs.pixelWidth = bs.pixelWidth = W;
  fs.lines = bs.lines = H;
  const std::shared_ptr<const Bytes> stream = quirel::virt::InterleaveJpeg(fs, bs).body;
  ASSERT_TRUE(stream);
  const size_t header = HeaderEnd(*stream);
  ASSERT_GT(header, 0u);

  TempDir dir;
  // What each side must look like: the two streams fed apart.
  {
    DocumentTask doc(DocParams(dir.File("ref"), W, H, true, true), kColorOrderRGB, kColorPixelInterleaved);
    doc.OpenPage();
    Feed(doc, kSideFront, front, 4096);
    Feed(doc, kSideBack, back, 4096);
    doc.CloseSide(kSideFront, 0);
    doc.CloseSide(kSideBack, 0);
    EXPECT_EQ(doc.Flush().mTotalPages, 2);
  }
  const std::vector<TiffPage> ref = ReadTiff(dir.File("ref.tif"));
  ASSERT_EQ(ref.size(), 2u);
  ASSERT_FALSE(ref[0] == ref[1]);

  // Single bytes split every marker across two chunks; the other sizes put
  // the chunk borders elsewhere. Two sheets: each page takes its own header.
  for (size_t chunk : {size_t(1), size_t(2), size_t(3), size_t(7), size_t(100), size_t(1) << 20}) {
    SCOPED_TRACE(chunk);
    const std::string name = "split" + std::to_string(chunk);
    DocumentTask doc(DocParams(dir.File(name), W, H, true, true, true), kColorOrderRGB, kColorPixelInterleaved);
    for (int sheet = 0; sheet < 2; ++sheet) {
      doc.OpenPage();
      std::vector<bool> eoi = Feed(doc, kSideFront, *stream, chunk, header + 1);
      ASSERT_FALSE(eoi.empty());
      EXPECT_TRUE(eoi.back()) << "the back's end of image ends the stream";
      EXPECT_EQ(std::count(eoi.begin(), eoi.end(), true), 1);
      doc.CloseSide(kSideFront, 0);
      doc.CloseSide(kSideBack, sheet == 1 ? kCloseLastPage : 0);
    }
    ScanResults r = doc.Flush();
    EXPECT_FALSE(doc.WriteFailed()) << doc.SideError();
    EXPECT_EQ(r.mTotalPages, 4);
    std::vector<TiffPage> pages = ReadTiff(dir.File(name + ".tif"));
    ASSERT_EQ(pages.size(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_TRUE(pages[i] == ref[i % 2]) << "page " << i;
  }
}

TEST_F(DocTaskTest, InterleavedPageWithoutWholeHeaderFailsVisibly) {
  const int W = 32, H = 16;
  TempDir dir;
  DocumentTask doc(DocParams(dir.File("nohead"), W, H, true, true, true), kColorOrderRGB, kColorPixelInterleaved);
  doc.OpenPage();
  const Bytes start = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00, 0x01, 0x02, 0x03};
  EXPECT_FALSE(doc.AppendBytes(kSideFront, Copy(start.data(), start.size()), int(start.size())));
  EXPECT_TRUE(doc.WriteFailed());
  EXPECT_NE(doc.SideError().find("pages 1 and 2"), std::string::npos) << doc.SideError();
  EXPECT_NE(doc.SideError().find("header"), std::string::npos) << doc.SideError();
  doc.CloseSide(kSideFront, 0);
  doc.CloseSide(kSideBack, kCloseLastPage);
  EXPECT_EQ(doc.Flush().mTotalPages, 0);
}

TEST_F(DocTaskTest, JpegIsCutBeforeItsEndOfImageAndRawDataPassesUnchanged) {
  const int W = 32, H = 32;
  TempDir dir;
  Bytes jpeg = EncodeGray(Picture(W, H, 3), W, H);
  jpeg.insert(jpeg.end(), {0x12, 0xFF, 0xD8, 0x00, 0x34});  // not image data
  {
    DocumentTask doc(DocParams(dir.File("jpeg"), W, H, false, true), kColorOrderRGB, kColorPixelInterleaved);
    // End of image inside one chunk; split after its 0xFF; in 2-byte chunks.
    for (size_t chunk : {jpeg.size(), jpeg.size() - 6, size_t(2)}) {
      doc.OpenPage();
      std::vector<bool> eoi = Feed(doc, kSideFront, jpeg, chunk);
      EXPECT_EQ(std::find(eoi.begin(), eoi.end(), true) - eoi.begin(), long((jpeg.size() - 6) / chunk)) << chunk;
      doc.CloseSide(kSideFront, chunk == 2 ? kCloseLastPage : 0);
    }
    EXPECT_EQ(doc.Flush().mTotalPages, 3);
    EXPECT_FALSE(doc.WriteFailed()) << doc.SideError();
  }
  std::vector<TiffPage> pages = ReadTiff(dir.File("jpeg.tif"));
  ASSERT_EQ(pages.size(), 3u);
  EXPECT_TRUE(pages[0] == pages[1] && pages[0] == pages[2]);

  // Raw samples full of 0xFF 0xD9 pairs are image data like any other.
  Bytes raw(size_t(W) * H);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = i % 2 ? 0xD9 : (i % 6 == 0 ? 0x40 : 0xFF);
  const ScanParams rp = DocParams(dir.File("raw"), W, H, false);
  {
    DocumentTask doc(rp, kColorOrderRGB, kColorPixelInterleaved);
    doc.OpenPage();
    std::vector<bool> eoi = Feed(doc, kSideFront, raw, 5);
    EXPECT_EQ(std::count(eoi.begin(), eoi.end(), true), 0);
    doc.CloseSide(kSideFront, kCloseLastPage);
    EXPECT_EQ(doc.Flush().mTotalPages, 1);
  }
  pages = ReadTiff(dir.File("raw.tif"));
  ASSERT_EQ(pages.size(), 1u);
  ASSERT_EQ(pages[0].rows.size(), raw.size());
  const std::vector<uint8_t> tone = ToneOf(rp);
  for (size_t i = 0; i < raw.size(); ++i) ASSERT_EQ(pages[0].rows[i], tone[raw[i]]) << i;
}

TEST_F(DocTaskTest, PagesAreWrittenInScanOrderFrontBeforeBackUnderLoad) {
  const int W = 16, H = 16, kSheets = 60;
  TempDir dir;
  ScanParams p = DocParams(dir.File("order"), W, H, true);
  // Previews arrive on the workers just before each side is written; make
  // some of them slow so that the workers finish in a shuffled order.
  std::mt19937 rng(7);
  std::vector<int> delays(2 * kSheets);
  for (int& d : delays) d = int(rng() % 400);
  std::atomic<int> previews{0};
  p.mPageScannedFunc = [&](const PagePreview* preview) {
    int n = previews.fetch_add(1);
    if (preview) std::free(preview->mBitMap);
    if (n < int(delays.size())) std::this_thread::sleep_for(std::chrono::microseconds(delays[size_t(n)]));
  };
  const std::vector<uint8_t> tone = ToneOf(p);
  // Side k carries the sample 2 * k + 10 everywhere; the tone table keeps
  // those apart.
  auto sample = [](int k) { return uint8_t(2 * k + 10); };
  {
    DocumentTask doc(p, kColorOrderRGB, kColorPixelInterleaved);
    for (int s = 0; s < kSheets; ++s) {
      doc.OpenPage();
      const Bytes front(size_t(W) * H, sample(2 * s)), back(size_t(W) * H, sample(2 * s + 1));
      // Interleave the two sides' chunks as a scanner with separate windows
      // would send them.
      for (size_t at = 0; at < front.size(); at += 48) {
        size_t n = std::min<size_t>(48, front.size() - at);
        doc.AppendBytes(kSideFront, Copy(front.data() + at, n), int(n));
        doc.AppendBytes(kSideBack, Copy(back.data() + at, n), int(n));
      }
      const int options = s + 1 == kSheets ? kCloseLastPage : 0;
      doc.CloseSide(kSideFront, options);
      doc.CloseSide(kSideBack, options);
    }
    EXPECT_EQ(doc.Flush().mTotalPages, 2 * kSheets);
  }
  EXPECT_EQ(previews.load(), 2 * kSheets);
  std::vector<TiffPage> pages = ReadTiff(dir.File("order.tif"));
  ASSERT_EQ(pages.size(), size_t(2 * kSheets));
  for (int k = 0; k < 2 * kSheets; ++k) {
    ASSERT_EQ(pages[size_t(k)].At(0, 0), tone[sample(k)]) << "page " << k;
    ASSERT_EQ(pages[size_t(k)].At(W - 1, H - 1), tone[sample(k)]) << "page " << k;
  }
}

TEST_F(DocTaskTest, AfterAFailedWriteNothingMoreIsQueuedAndChunksAreFreed) {
  const int W = 16, H = 16;
  TempDir dir;
  // The folder of the output file does not exist: the first page fails.
  DocumentTask doc(DocParams(dir.File("missing/out"), W, H, false), kColorOrderRGB, kColorPixelInterleaved);
  const Bytes side(size_t(W) * H, 0x80);
  doc.OpenPage();
  Feed(doc, kSideFront, side, 100);
  doc.CloseSide(kSideFront, 0);
  doc.OpenPage();
  Feed(doc, kSideFront, side, 100);
  // Closing page 2 waits until page 1 is completely written (or failed).
  doc.CloseSide(kSideFront, 0);
  EXPECT_TRUE(doc.WriteFailed());
  EXPECT_TRUE(doc.SideError().empty());

  // No new page; chunks are freed at once (the sanitizer build sees leaks).
  doc.OpenPage();
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(doc.AppendBytes(kSideFront, Copy(side.data(), side.size()), int(side.size())));
  EXPECT_EQ(doc.GetCurScanLen(), 0);
  doc.SetScanLen(H);
  doc.CloseSide(kSideFront, kCloseLastPage);
  ScanResults r = doc.Flush();
  EXPECT_EQ(r.mTotalPages, 0);
  EXPECT_EQ(r.mStatus, kScanFileError);
}

TEST_F(DocTaskTest, SideThatCannotBeAssembledIsNeverWritten) {
  const int W = 32, H = 32;
  TempDir dir;
  const Bytes good = EncodeGray(Picture(W, H, 4), W, H);
  Bytes broken = good;  // a stray marker in the entropy-coded data
  broken[broken.size() / 2] = 0xFF;
  broken[broken.size() / 2 + 1] = 0xD3;

  // Sides in scan order; the failed one is named by its page as written.
  struct Case { bool duplex, skip; std::vector<const Bytes*> sides; const char* text; int pages; } const cases[] = {
      {false, false, {&good, &broken, &good}, "The front side of page 2 could not be assembled: ", 1},
      {true, false, {&good, &good, &broken, &good}, "The front side of page 3 could not be assembled: ", 2},
      {true, false, {&good, &good, &good, &broken}, "The back side of page 4 could not be assembled: ", 3},
      {true, true, {&good, &good, &good, &good, &broken, &good}, "The front side of page 4 could not be assembled", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string path = dir.File("broken" + std::to_string(&c - cases));
    ScanParams p = DocParams(path, W, H, c.duplex, true);
    p.mSkipFirstPage = c.skip;
    DocumentTask doc(p, kColorOrderRGB, kColorPixelInterleaved);
    for (size_t i = 0; i < c.sides.size(); ++i) {
      const int side = c.duplex && i % 2 ? kSideBack : kSideFront;
      if (side == kSideFront) doc.OpenPage();
      Feed(doc, side, *c.sides[i], 64);
      doc.CloseSide(side, 0);
    }
    ScanResults r = doc.Flush();
    EXPECT_TRUE(doc.WriteFailed());
    const std::string text = doc.SideError();
    EXPECT_EQ(text.rfind(c.text, 0), 0u) << text;
    EXPECT_NE(text.find("Corrupt JPEG data"), std::string::npos) << text;
    EXPECT_EQ(r.mTotalPages, c.pages);
    EXPECT_EQ(int(ReadTiff(path + ".tif").size()), c.pages);
  }

  // Memory that runs out at any one allocation of the scan thread's work on
  // page 2 (its tasks, images, commands): page 2 is not written whole (its
  // front may be, when only the back failed), page 1 is, the reason names
  // memory, and every task ends.
  if (!FailAllocation::Available()) return;
  const Bytes raw(size_t(W) * H, 0x80);
  for (long n = 1;; ++n) {
    SCOPED_TRACE(n);
    DocumentTask mem(DocParams(dir.File("memory" + std::to_string(n)), W, H, true), kColorOrderRGB,
                     kColorPixelInterleaved);
    std::vector<unsigned char*> chunks;  // made before: they stand for the READ buffers
    for (int i = 0; i < 8; ++i) chunks.push_back(Copy(raw.data(), raw.size() / 2));
    bool hit;
    for (int page = 1; page <= 2; ++page) {
      FailAllocation fail(0, page == 2 ? n : 0);
      mem.OpenPage();
      for (size_t i = 0; i < 4; ++i)
        mem.AppendBytes(i % 2 ? kSideBack : kSideFront, chunks[size_t(page - 1) * 4 + i], int(raw.size() / 2));
      mem.CloseSide(kSideFront, page == 2 ? kCloseLastPage : 0);
      mem.CloseSide(kSideBack, page == 2 ? kCloseLastPage : 0);
      hit = fail.Hit();
    }
    const int pages = mem.Flush().mTotalPages;
    EXPECT_EQ(pages, mem.WriteFailed() ? std::clamp(pages, 2, 3) : 4);
    EXPECT_EQ(mem.WriteFailed(), mem.SideError().find("memory") != std::string::npos) << mem.SideError();
    if (!hit) break;
  }
}

}  // namespace
}  // namespace scantest
