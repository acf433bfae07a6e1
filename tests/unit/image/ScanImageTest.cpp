// ScanImage: the choice of implementation, the suspending JPEG source and
// failed sides (corrupt or truncated JPEG, pages that cannot be allocated).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "PageTestSupport.h"

namespace {

using namespace quirel_test;

TEST(ScanImage, ImplementationFollowsTypeAndOptions) {
  auto implOf = [](ImageTypeE type, int despeckle, bool turbo) {
    ScanParams p = PageParams(type, 16, 16, 0);
    p.mDespeckleFactor = despeckle;
    p.mTurbo = turbo;
    p.mTurboXScale = p.mTurboYScale = 1.0;
    auto image = std::make_unique<ScanImage>(p, kSideFront, kColorOrderRGB, kColorPixelInterleaved);
    EXPECT_FALSE(image->Failed()) << image->GetErrorText();
    return image;
  };
  EXPECT_NE(dynamic_cast<ScanImage_Impl1Plain*>(implOf(kImageTypeLineArt, 0, false)->Impl()), nullptr);
  EXPECT_NE(dynamic_cast<ScanImage_Impl1Plain*>(implOf(kImageTypeLineArt, -1, true)->Impl()), nullptr);
  EXPECT_NE(dynamic_cast<ScanImage_Impl1Despeckle*>(implOf(kImageTypeLineArt, 1, false)->Impl()), nullptr);
  EXPECT_NE(dynamic_cast<ScanImage_Impl8*>(implOf(kImageTypeGray, 0, false)->Impl()), nullptr);
  EXPECT_NE(dynamic_cast<ScanImage_Impl24*>(implOf(kImageTypeColor, 0, false)->Impl()), nullptr);
  EXPECT_NE(dynamic_cast<ScanImage_Impl1Turbo*>(implOf(kImageTypeGray, 0, true)->Impl()), nullptr);
  EXPECT_NE(dynamic_cast<ScanImage_Impl1Turbo*>(implOf(kImageTypeColor, 0, true)->Impl()), nullptr);

  ScanParams odd = PageParams(kImageTypeGray, 16, 16, 0);
  odd.mImageType = ImageTypeE(3);
  ScanImage none(odd, kSideFront, kColorOrderRGB, kColorPixelInterleaved);
  EXPECT_EQ(none.Impl(), nullptr);
  EXPECT_TRUE(none.Failed());
  const uint8_t bytes[4] = {};
  none.AppendBytes(bytes, 4);  // must not be fed, and must not crash if it is
  none.SetScanLen(4);
  none.PostProcess();
  EXPECT_EQ(none.GetCurScanLen(), 0);
}

TEST(ScanImage, LineArtChainsReachThePage) {
  const int W = 16, H = 4;
  // Rows: all black, two white, one with a single black pixel.
  const uint8_t scan[] = {0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80};
  ScanImage plain(PageParams(kImageTypeLineArt, W, H, 0), kSideFront, kColorOrderRGB, kColorPixelInterleaved);
  for (uint8_t b : scan) plain.AppendBytes(&b, 1);
  EXPECT_EQ(plain.GetCurScanLen(), H);
  plain.SetScanLen(H);
  plain.PostProcess();
  EXPECT_EQ(0, std::memcmp(plain.mBitMap, scan, sizeof scan));

  ScanParams p = PageParams(kImageTypeLineArt, W, H, 0);
  p.mDespeckleFactor = 1;  // threshold 16: a lone black pixel disappears
  ScanImage despeckled(p, kSideFront, kColorOrderRGB, kColorPixelInterleaved);
  despeckled.AppendBytes(scan, sizeof scan);
  despeckled.SetScanLen(H);  // the last row arrives only now
  despeckled.PostProcess();
  EXPECT_EQ(despeckled.mBitMap[7], 0x00);
  EXPECT_EQ(despeckled.mBitMap[0], 0xFF);
  EXPECT_EQ(despeckled.mBitMap[2], 0xFF);  // white pels next to the black row turn black
  EXPECT_EQ(despeckled.mBitMap[4], 0x00);
}

TEST(ScanImage, SourceDropsSkippedBytesFromLaterData) {
  jpeg_decompress_struct d{};
  jpeg_error_mgr err{};
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_source_mgr* src = jpeg_scan_src(&d);
  ASSERT_NE(src, nullptr);
  const uint8_t first[4] = {1, 2, 3, 4};
  int len = 4;
  jpeg_scan_src_append(&d, first, &len);
  EXPECT_EQ(len, 4);
  ASSERT_EQ(src->bytes_in_buffer, 4u);
  src->next_input_byte += 1;  // the library read one byte
  src->bytes_in_buffer -= 1;
  (*src->skip_input_data)(&d, 10);  // 3 here, 7 still to come
  EXPECT_EQ(src->bytes_in_buffer, 0u);
  const auto more = RandomBytes(20, 4);
  len = 5;
  jpeg_scan_src_append(&d, more.data(), &len);
  EXPECT_EQ(len, 5);  // all dropped
  EXPECT_EQ(src->bytes_in_buffer, 0u);
  len = 15;
  jpeg_scan_src_append(&d, more.data() + 5, &len);
  EXPECT_EQ(len, 15);
  ASSERT_EQ(src->bytes_in_buffer, 13u);
  EXPECT_EQ(src->next_input_byte[0], more[7]);
  EXPECT_EQ((*src->fill_input_buffer)(&d), FALSE);  // suspends instead of reading
  (*src->term_source)(&d);
  EXPECT_EQ(d.src, nullptr);
  jpeg_destroy_decompress(&d);
}

TEST(ScanImage, JpegWithLongMarkersAndTrailingBytes) {
  // An APP segment longer than the chunks makes the library skip data that
  // has not arrived yet; bytes after the image are ignored.
  const int W = 24, H = 20;
  const auto scan = SmoothScan(H, W, 1);
  auto jpeg = EncodeJpeg(scan, H, W, 1, true, 100, 5000);
  jpeg.insert(jpeg.end(), 300, 0xAB);
  ScanParams p = PageParams(kImageTypeGray, W, H, 0);
  p.mWillUseJpeg = true;
  ScanImage image(p, kSideFront, kColorOrderRGB, kColorPixelInterleaved);
  Feed(image, jpeg, 97);
  image.SetScanLen(H);
  image.PostProcess();
  ASSERT_FALSE(image.Failed()) << image.GetErrorText();
  std::vector<uint8_t> want(scan);
  for (auto& v : want) v = image.mToneTable[v];
  EXPECT_LE(Compare(image.mBitMap, want.data(), want.size()).max, 6);
}

TEST(ScanImage, InterleavedStreamDecodesHalfItsWidth) {
  const int W = 16, H = 16;
  const auto scan = SmoothScan(H, 2 * W, 1);
  ScanParams p = PageParams(kImageTypeGray, W, H, 0);
  p.mWillUseJpeg = true;
  p.mJpegInterleave = true;
  ScanImage image(p, kSideFront, kColorOrderRGB, kColorPixelInterleaved);
  Feed(image, EncodeJpeg(scan, H, 2 * W, 1, true), 0);
  image.SetScanLen(H);
  ASSERT_FALSE(image.Failed()) << image.GetErrorText();
  // The first row of blocks is the left half of the stream's first rows.
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < W; ++j)
      ASSERT_NEAR(image.mBitMap[i * W + j], image.mToneTable[scan[size_t(i) * 2 * W + j]], 6) << i << "," << j;

  // A side width that does not split into whole blocks cannot be decoded
  // whole: the side fails instead of holding undecoded columns.
  const int odd = 12;
  ScanParams q = PageParams(kImageTypeGray, odd, H, 0);
  q.mWillUseJpeg = true;
  q.mJpegInterleave = true;
  ScanImage oddImage(q, kSideFront, kColorOrderRGB, kColorPixelInterleaved);
  Feed(oddImage, EncodeJpeg(SmoothScan(H, 2 * odd, 1), H, 2 * odd, 1, true), 0);
  oddImage.SetScanLen(H);
  oddImage.PostProcess();
  ASSERT_TRUE(oddImage.Failed());
  EXPECT_NE(std::string(oddImage.GetErrorText()).find("does not split into two sides"), std::string::npos)
      << oddImage.GetErrorText();
}

// Corrupt or truncated JPEG: the side fails with a text, the process and
// other sides go on.
TEST(ScanImage, BrokenJpegFailsOnlyThatSide) {
  const int W = 64, H = 64;
  const auto scan = RandomBytes(size_t(W) * H * 3, 21);  // busy data: long entropy segment
  const auto good = EncodeJpeg(scan, H, W, 3, true, 90);
  auto colourSide = [&](const std::vector<uint8_t>& stream, size_t chunk) {
    ScanParams p = PageParams(kImageTypeColor, W, H, 0);
    p.mWillUseJpeg = true;
    auto image = std::make_unique<ScanImage>(p, kSideFront, kColorOrderRGB, kColorPixelInterleaved);
    Feed(*image, stream, chunk);
    image->SetScanLen(H);
    image->PostProcess();
    return image;
  };

  struct Case {
    const char* name;
    std::vector<uint8_t> stream;
    const char* text;
  };
  std::vector<Case> cases;
  {
    auto s = good;  // a marker in the middle of the entropy data
    s[s.size() / 2] = 0xFF;
    s[s.size() / 2 + 1] = 0xD3;
    cases.push_back({"marker in entropy data", s, "Corrupt JPEG data"});
  }
  {
    auto s = good;  // the frame header claims 0 components
    for (size_t i = 0; i + 9 < s.size(); ++i)
      if (s[i] == 0xFF && s[i + 1] == 0xC0) {
        s[i + 9] = 0;
        break;
      }
    cases.push_back({"bad frame header", s, "JPEG decoding failed"});
  }
  cases.push_back({"not a JPEG", RandomBytes(500, 2), "Not a JPEG file"});
  cases.push_back({"truncated", std::vector<uint8_t>(good.begin(), good.begin() + good.size() / 2), "ended after"});
  cases.push_back({"header only", std::vector<uint8_t>(good.begin(), good.begin() + 100), "ended before"});

  for (const Case& c : cases) {
    for (size_t chunk : {size_t(1), size_t(4096)}) {
      SCOPED_TRACE(testing::Message() << c.name << " chunk " << chunk);
      auto image = colourSide(c.stream, chunk);
      EXPECT_TRUE(image->Failed());
      EXPECT_NE(std::string(image->GetErrorText()).find(c.text), std::string::npos) << image->GetErrorText();
    }
  }
  // The next side decodes as if nothing had happened.
  auto fine = colourSide(good, 777);
  EXPECT_FALSE(fine->Failed()) << fine->GetErrorText();
}

// A scanner measuring the paper may declare the window's length in the JPEG
// header and end the stream where the paper ended: the page is the paper's
// length as long as the stream gave that many lines, and fails otherwise.
TEST(ScanImage, JpegStreamEndingBeforeItsHeightIsCutToThePaper) {
  const int W = 32, H = 256;
  for (ImageTypeE type : {kImageTypeGray, kImageTypeColor}) {
    const int comps = type == kImageTypeColor ? 3 : 1;
    const auto scan = SmoothScan(H, W, comps);
    const auto full = EncodeJpeg(scan, H, W, comps, true);
    const std::vector<uint8_t> cut(full.begin(), full.begin() + full.size() * 3 / 5);
    auto side = [&](const std::vector<uint8_t>& stream, int paper) {
      ScanParams p = PageParams(type, W, H, 0);
      p.mWillUseJpeg = true;
      auto image = std::make_unique<ScanImage>(p, kSideFront, kColorOrderRGB, kColorPixelInterleaved);
      Feed(*image, stream, 1000);
      if (paper >= 0) image->SetScanLen(paper);
      image->PostProcess();
      return image;
    };
    // Without a paper length the stream must reach its declared height; the
    // text says how many lines it gave.
    auto unknown = side(cut, -1);
    ASSERT_TRUE(unknown->Failed());
    unsigned given = 0;
    ASSERT_EQ(std::sscanf(unknown->GetErrorText(), "JPEG data ended after %u of 256 lines", &given), 1)
        << unknown->GetErrorText();
    ASSERT_GT(given, 16u);
    ASSERT_LT(given, unsigned(H));
    const int lines = int(given);
    struct Case {
      const char* name;
      const std::vector<uint8_t>& stream;
      int paper;
      bool fails;
    };
    const Case cases[] = {
        {"paper as long as the stream", cut, lines, false},
        {"paper shorter than the stream", cut, lines / 2, false},
        {"paper one line longer than the stream", cut, lines + 1, true},
        {"paper of the whole window", cut, H, true},
        {"whole stream, shorter paper", full, H / 2, false},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.name << ", " << comps << " samples");
      auto image = side(c.stream, c.paper);
      ASSERT_EQ(image->Failed(), c.fails) << image->GetErrorText();
      if (c.fails) {
        EXPECT_EQ(image->GetErrorText(), "JPEG data ended after " + std::to_string(lines) + " of the paper's " +
                                             std::to_string(c.paper) + " lines");
        continue;
      }
      EXPECT_EQ(image->mLineCount, c.paper);
      const size_t n = size_t(c.paper) * W * comps;
      std::vector<uint8_t> want(scan.begin(), scan.begin() + long(n));
      for (auto& v : want) v = image->mToneTable[v];
      EXPECT_LE(Compare(image->mBitMap, want.data(), n).max, 8) << "every line of the paper decoded";
    }
  }
}

TEST(ScanImage, PageThatCannotBeAllocatedFailsTheSide) {
  for (ImageTypeE type : {kImageTypeGray, kImageTypeColor, kImageTypeLineArt}) {
    SCOPED_TRACE(type);
    // 2^20 x 2^20 pixels: beyond any page the allocator is asked for.
    ScanImage image(PageParams(type, 1 << 20, 1 << 20, 0), kSideFront, kColorOrderRGB, kColorPixelInterleaved);
    EXPECT_TRUE(image.Failed());
    EXPECT_NE(std::strstr(image.GetErrorText(), "page"), nullptr) << image.GetErrorText();
    const auto data = RandomBytes(4096, 1);
    image.AppendBytes(data.data(), int(data.size()));
    image.SetScanLen(10);
    image.PostProcess();
  }
  ScanImage huge(PageParams(kImageTypeGray, 1 << 30, 2, 0), kSideFront, kColorOrderRGB, kColorPixelInterleaved);
  EXPECT_TRUE(huge.Failed());
  EXPECT_NE(std::strstr(huge.GetErrorText(), "too large"), nullptr) << huge.GetErrorText();
}

}  // namespace
