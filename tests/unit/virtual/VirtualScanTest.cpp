// Sheets scanned from the virtual scanner through the engine's command
// classes, in the order of the scan job's set-up and page loop; the data
// received must decode back to the page fed.
#include "VirtualTestRig.h"

namespace quirel::vtest {
namespace {

constexpr int kW = 320, kH = 256;

uint8_t Luma(Rgb c) { return uint8_t((77u * c.r + 150u * c.g + 29u * c.b + 128u) >> 8); }

// Black and white only: an "F" near the top-left corner and a checkerboard.
Rgb LineArtPage(int x, int y) {
  bool f = (x >= 16 && x < 40 && y >= 16 && y < 112) || (x >= 16 && x < 112 && y >= 16 && y < 40) ||
           (x >= 16 && x < 80 && y >= 56 && y < 72);
  bool checker = y >= 128 && ((x / 8 + y / 8) % 2 == 0);
  return (f || checker) ? Rgb{0, 0, 0} : Rgb{255, 255, 255};
}

// Colour patches with distinct R, G and B, a gray ramp and a marker.
Rgb FrontPage(int x, int y) {
  if (x >= 16 && x < 48 && y >= 16 && y < 112) return {0, 0, 0};
  if (y >= 128 && y < 176) {
    static const Rgb kPatch[5] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {200, 120, 40}, {40, 90, 220}};
    return kPatch[x / 64];
  }
  if (y >= 192) {
    uint8_t v = uint8_t(x * 255 / (kW - 1));
    return {v, v, v};
  }
  return {255, 255, 255};
}

// Visibly different from the front: vertical bands of colour.
Rgb BackPage(int x, int y) {
  if (y < 64) return {uint8_t(255 - x * 255 / (kW - 1)), 30, 30};
  return x < 160 ? Rgb{20, 160, 60} : Rgb{240, 240, 200};
}

TEST(VirtualScan, SimplexLineArtSheetDecodesToThePageFed) {
  PageDir dir;
  std::string page = dir.Ppm("la.ppm", kW, kH, LineArtPage);
  VirtualRig rig("model=ScanSnap S1500/M;pages=" + page);
  ASSERT_TRUE(rig.bus) << rig.error;
  ASSERT_TRUE(rig.Open());
  ScanParams p = Window(kImageTypeLineArt, kW, kH);
  SetUpScan(rig.Dev(), &p, nullptr);
  Cmd_ReadPixelSize size(rig.Dev());
  EXPECT_GOOD(size);
  EXPECT_EQ(size.mPixelWidth, uint32_t(kW));
  EXPECT_EQ(size.mPixelLength, uint32_t(kH));
  ASSERT_EQ(LoadAndScan(rig.Dev(), false), "");

  SideRead side = ReadSides(rig.Dev(), {kWindowFront}, 1000)[kWindowFront];
  ASSERT_TRUE(side.ended) << side.failure;
  const int rowBytes = kW / 8;
  ASSERT_EQ(side.data.size(), size_t(rowBytes * kH));
  int wrong = 0;
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      bool black = side.data[size_t(y) * rowBytes + x / 8] & (0x80 >> (x % 8));
      wrong += black != (LineArtPage(x, y).r == 0);
    }
  EXPECT_EQ(wrong, 0);

  // One page fed: the next load finds the hopper empty.
  EXPECT_EQ(LoadAndScan(rig.Dev(), false), "No paper on hopper (Cmd_ObjectPosition 03:80:03)");
}

// The three colour layouts the page buffers accept, as models send them.
TEST(VirtualScan, DuplexColourSheetWithSeparateWindowsInEveryLayout) {
  PageDir dir;
  std::string front = dir.Ppm("f.ppm", kW, kH, FrontPage);
  std::string back = dir.Ppm("b.ppm", kW, kH, BackPage);
  for (const char* model : {"fi-6130", "fi-5120C", "fi-4340C"}) {
    SCOPED_TRACE(model);
    VirtualRig rig(std::string("model=") + model + ";pages=" + front + "," + back);
    ASSERT_TRUE(rig.bus) << rig.error;
    ASSERT_TRUE(rig.Open());
    ScanParams p = Window(kImageTypeColor, kW, kH);
    SetUpScan(rig.Dev(), &p, &p);
    ASSERT_EQ(LoadAndScan(rig.Dev(), true), "");
    auto sides = ReadSides(rig.Dev(), {kWindowFront, kWindowBack}, 60000);
    const bool pixel = rig.Dev().ColorInterleave() == 1;
    const bool bgr = rig.Dev().BestColorOrder() == 5;
    for (int w : {kWindowFront, kWindowBack}) {
      const SideRead& side = sides[w];
      ASSERT_TRUE(side.ended) << side.failure;
      ASSERT_EQ(side.data.size(), size_t(kW * kH * 3));
      const PixelFn page = w == kWindowFront ? PixelFn(FrontPage) : PixelFn(BackPage);
      int wrong = 0;
      for (int y = 0; y < kH; ++y) {
        const uint8_t* line = &side.data[size_t(y) * kW * 3];
        for (int x = 0; x < kW; ++x) {
          // Raw colour is sent with high values for dark.
          uint8_t r, g, b;
          if (pixel) {
            r = 255 - line[3 * x + (bgr ? 2 : 0)];
            g = 255 - line[3 * x + 1];
            b = 255 - line[3 * x + (bgr ? 0 : 2)];
          } else {
            r = 255 - line[x];
            g = 255 - line[kW + x];
            b = 255 - line[2 * kW + x];
          }
          Rgb want = page(x, y);
          wrong += r != want.r || g != want.g || b != want.b;
        }
      }
      EXPECT_EQ(wrong, 0) << "window " << w;
    }
    // Separate windows are read alternately, so both take the same READs.
    EXPECT_EQ(sides[kWindowFront].reads, sides[kWindowBack].reads);
  }
}

// Every resolution the tool takes (every 7th, and those once a pixel short), gray and colour JPEG, simplex
// and duplex, Letter, A4, and below a top offset with automatic length or the longest paper, on every model:
// the scanner takes the engine's window and pixel counts, an interleaved side whole blocks wide.
TEST(VirtualScan, EveryResolutionGivesAWindowTheScannerTakes) {
  std::vector<uint16_t> dpis = {72, 144, 250, 350, 500, 620, 1200};
  for (uint16_t dpi = 50; dpi <= 1200; dpi += 7) dpis.push_back(dpi);
  struct Area {
    uint32_t width, height, top;  // height 0: automatic length; 1: the longest paper
  } const areas[] = {{10200, 13200, 0}, {9921, 14031, 0}, {10200, 0, 1200}, {10200, 0, 24}, {10200, 1, 1200}};
  for (const ProductSettings* model = Device::sProductSettings; model->mProductId != 0; ++model) {
    VirtualRig rig(std::string("model=") + model->mModelName + ";sheets=1");
    ASSERT_TRUE(rig.Open()) << model->mModelName;
    for (uint16_t dpi : dpis)
      for (ImageTypeE type : {kImageTypeGray, kImageTypeColor})
        for (bool duplex : {false, true})
          for (const Area& area : areas) {
            SCOPED_TRACE(::testing::Message() << model->mModelName << " " << dpi << " dpi type " << int(type)
                                              << " duplex " << duplex << " area " << area.height << " " << area.top);
            ScanParams p(type);
            p.mXRes = p.mYRes = dpi;
            p.mDuplex = duplex;
            p.mScanWidth = p.mPaperWidth = area.width;
            p.mUpperLeftY = area.top;
            p.mDetectLength = area.height == 0;
            p.mPaperHeight = area.height == 1 ? rig.Dev().GetMaxLenForRes(type, dpi) : area.height;
            p.mScanHeight = p.mPaperHeight - area.top;
            p.Adjust(rig.Dev());
            Cmd_WdwRec window(p);
            Cmd_SetWindow set(rig.Dev(), &window, duplex ? &window : nullptr);
            EXPECT_GOOD(set);
            Cmd_ReadPixelSize size(rig.Dev());
            EXPECT_GOOD(size);
            EXPECT_EQ(size.mPixelWidth, p.mXPixelCount);
            EXPECT_EQ(size.mPixelLength, p.mYPixelCount);
            EXPECT_TRUE(!p.mJpegInterleave || p.mXPixelCount % 16 == 0) << p.mXPixelCount;
            if (::testing::Test::HasFailure()) return;
          }
  }
}

// Splits an interleaved duplex stream as the engine does (segments between
// restart markers alternate front and back) into two stock JPEGs of half the
// stream's width.
void SplitInterleaved(const std::vector<uint8_t>& s, std::vector<uint8_t>* front, std::vector<uint8_t>* back) {
  size_t pos = 2, frame = 0, headerEnd = 0;
  while (pos + 4 <= s.size()) {
    uint8_t m = s[pos + 1];
    size_t len = (size_t(s[pos + 2]) << 8) | s[pos + 3];
    if (m == 0xC0) frame = pos;
    if (m == 0xDA) {
      headerEnd = pos + 2 + len;
      break;
    }
    pos += 2 + len;
  }
  ASSERT_GT(headerEnd, 0u);
  std::vector<uint8_t> header(s.begin(), s.begin() + headerEnd);
  uint32_t width = (uint32_t(header[frame + 7]) << 8) | header[frame + 8];
  header[frame + 7] = uint8_t((width / 2) >> 8);
  header[frame + 8] = uint8_t(width / 2);
  *front = *back = header;
  std::vector<uint8_t>* out[2] = {front, back};
  int restarts[2] = {0, 0};
  int turn = 0;
  for (size_t i = headerEnd; i < s.size(); ++i) {
    if (s[i] == 0xFF && i + 1 < s.size() && ((s[i + 1] >= 0xD0 && s[i + 1] <= 0xD7) || s[i + 1] == 0xD9)) {
      bool last = s[i + 1] == 0xD9;
      out[turn]->push_back(0xFF);
      out[turn]->push_back(uint8_t(0xD0 + restarts[turn]++ % 8));
      ++i;
      if (last) break;
      turn ^= 1;
      continue;
    }
    out[turn]->push_back(s[i]);
  }
  // Each side's last restart marker becomes its end of image.
  for (auto* o : out) o->back() = 0xD9;
}

TEST(VirtualScan, InterleavedDuplexJpegSheetSplitsIntoBothSides) {
  PageDir dir;
  std::string front = dir.Ppm("f.ppm", kW, kH, FrontPage);
  std::string back = dir.Ppm("b.ppm", kW, kH, BackPage);
  VirtualRig rig("model=fi-7160;pages=" + front + "," + back);
  ASSERT_TRUE(rig.bus) << rig.error;
  ASSERT_TRUE(rig.Open());
  ScanParams p = JpegWindow(kImageTypeColor, kW, kH, rig.Dev().JpegLevel(), rig.Dev().JpegSubsample());
  SetUpScan(rig.Dev(), &p, &p);
  ASSERT_EQ(LoadAndScan(rig.Dev(), true), "");
  // Both sides arrive through the front window.
  SideRead side = ReadSides(rig.Dev(), {kWindowFront}, 65536)[kWindowFront];
  ASSERT_TRUE(side.ended) << side.failure;

  std::vector<uint8_t> f, b;
  SplitInterleaved(side.data, &f, &b);
  Image fi = DecodeJpeg(f), bi = DecodeJpeg(b);
  ASSERT_EQ(fi.width, kW);
  ASSERT_EQ(fi.height, kH);
  ASSERT_EQ(bi.width, kW);
  ASSERT_EQ(bi.height, kH);
  Diff df = Compare(fi, FrontPage), db = Compare(bi, BackPage);
  EXPECT_LT(df.mean, 4.0);
  EXPECT_LT(df.worstBlock, 20.0);
  EXPECT_LT(db.mean, 4.0);
  EXPECT_LT(db.worstBlock, 20.0);
}

// With automatic length a JPEG side's header gives the paper's length and
// the stream ends with the end-of-image marker; with jpeglength=window the
// header keeps the window's length and the stream stops after the restart
// marker of the first row of blocks below the paper.
TEST(VirtualScan, JpegLengthOfAnAutomaticLengthSide) {
  const uint32_t lines = 3600;  // 12 inches at 300 dpi: longer than the 11 inch sheet
  for (const char* length : {"paper", "window"}) {
    SCOPED_TRACE(length);
    VirtualRig rig(std::string("model=fi-6130;sheets=1;jpeglength=") + length);
    ASSERT_TRUE(rig.bus) << rig.error;
    ASSERT_TRUE(rig.Open());
    ScanParams p = JpegWindow(kImageTypeGray, 800, lines, rig.Dev().JpegLevel(), 129);
    SetUpOptions options;
    options.autoLength = true;
    SetUpScan(rig.Dev(), &p, nullptr, options);
    ASSERT_EQ(LoadAndScan(rig.Dev(), false), "");
    SideRead side = ReadSides(rig.Dev(), {kWindowFront}, 65536)[kWindowFront];
    ASSERT_TRUE(side.ended) << side.failure;
    const std::vector<uint8_t>& d = side.data;
    size_t sof = 0;
    while (sof + 8 < d.size() && !(d[sof] == 0xFF && d[sof + 1] == 0xC0)) ++sof;
    ASSERT_LT(sof + 8, d.size());
    const uint32_t height = uint32_t(d[sof + 5]) << 8 | d[sof + 6];
    const bool window = std::string(length) == "window";
    const bool eoi = d[d.size() - 2] == 0xFF && d[d.size() - 1] == 0xD9;
    EXPECT_EQ(eoi, !window);
    EXPECT_EQ(height == lines, window) << height;
    EXPECT_GE(height, 3300u);
    if (window) {
      EXPECT_EQ(d[d.size() - 2], 0xFF);
      EXPECT_EQ(d[d.size() - 1] & 0xF8, 0xD0) << "ends after a restart marker";
    }
  }
}

// Without the interleave flag each window carries a JPEG of its own (with
// ordinary values); raw gray carries high values for dark.
TEST(VirtualScan, JpegPerWindowAndRawGray) {
  PageDir dir;
  std::string front = dir.Ppm("f.ppm", kW, kH, FrontPage);
  std::string back = dir.Ppm("b.ppm", kW, kH, BackPage);
  VirtualRig rig("model=fi-5650C;pages=" + front + "," + back);
  ASSERT_TRUE(rig.bus) << rig.error;
  ASSERT_TRUE(rig.Open());
  ScanParams p = JpegWindow(kImageTypeColor, kW, kH, 7, 129);
  SetUpScan(rig.Dev(), &p, &p);
  ASSERT_EQ(LoadAndScan(rig.Dev(), true), "");
  auto sides = ReadSides(rig.Dev(), {kWindowFront, kWindowBack}, 65536);
  Image fi = DecodeJpeg(sides[kWindowFront].data), bi = DecodeJpeg(sides[kWindowBack].data);
  ASSERT_EQ(fi.width, kW);
  ASSERT_EQ(bi.height, kH);
  EXPECT_LT(Compare(fi, FrontPage).worstBlock, 20.0);
  EXPECT_LT(Compare(bi, BackPage).worstBlock, 20.0);

  VirtualRig raw("model=fi-5650C;pages=" + front);
  ASSERT_TRUE(raw.Open());
  ScanParams r = Window(kImageTypeGray, kW, kH);
  SetUpScan(raw.Dev(), &r, nullptr);
  ASSERT_EQ(LoadAndScan(raw.Dev(), false), "");
  SideRead side = ReadSides(raw.Dev(), {kWindowFront}, 65536)[kWindowFront];
  ASSERT_EQ(side.data.size(), size_t(kW * kH));
  int wrong = 0;
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) wrong += side.data[size_t(y) * kW + x] != 255 - Luma(FrontPage(x, y));
  EXPECT_EQ(wrong, 0);
}

TEST(VirtualScan, AutomaticLengthEndsTheSideAtTheEndOfThePaper) {
  PageDir dir;
  std::string page = dir.Ppm("short.ppm", kW, 200, FrontPage);
  for (bool autoLength : {true, false}) {
    SCOPED_TRACE(autoLength);
    VirtualRig rig("model=fi-7160;pages=" + page);
    ASSERT_TRUE(rig.Open());
    ScanParams p = Window(kImageTypeGray, kW, 400);
    SetUpScan(rig.Dev(), &p, nullptr, {.autoLength = autoLength});
    ASSERT_EQ(LoadAndScan(rig.Dev(), false), "");
    SideRead side = ReadSides(rig.Dev(), {kWindowFront}, 65536)[kWindowFront];
    ASSERT_TRUE(side.ended);
    // With detection the side ends after the paper plus the model's trim
    // (0.118 in on this model), which the host cuts off again.
    const int trim = int(0.118 * p.mYRes + 0.5);
    const int lines = autoLength ? 200 + trim : 400;
    ASSERT_EQ(side.data.size(), size_t(kW * lines));
    Cmd_ReadPixelSize size(rig.Dev());
    EXPECT_GOOD(size);
    EXPECT_EQ(size.mPaperLength, uint32_t(lines));
    // Past the paper the scanner sees its white backing.
    EXPECT_EQ(side.data[size_t(kW) * (lines - 1) + 5], 0);
  }
}

// Generated sheets: the marker is not symmetric, the back differs from the
// front, and each sheet carries its number.
TEST(VirtualScan, GeneratedSheetsShowMarkerSideAndSheetNumber) {
  VirtualRig rig("model=fi-6140;sheets=2");
  ASSERT_TRUE(rig.Open());
  const uint32_t w = 848, h = 1100;  // US Letter at 100 dpi
  ScanParams p = Window(kImageTypeLineArt, w, h, 100);
  SetUpScan(rig.Dev(), &p, &p);
  std::vector<std::vector<uint8_t>> sides;
  for (int sheet = 0; sheet < 2; ++sheet) {
    ASSERT_EQ(LoadAndScan(rig.Dev(), true), "");
    auto read = ReadSides(rig.Dev(), {kWindowFront, kWindowBack}, 200000);
    sides.push_back(read[kWindowFront].data);
    sides.push_back(read[kWindowBack].data);
  }
  EXPECT_EQ(LoadAndScan(rig.Dev(), true), "No paper on hopper (Cmd_ObjectPosition 03:80:03)");
  auto black = [&](const std::vector<uint8_t>& d, int x, int y) { return (d[size_t(y) * (w / 8) + x / 8] >> (7 - x % 8)) & 1; };
  // The stem of the F at 0.6 in from the left; nothing where a mirrored or
  // turned page would put it.
  EXPECT_TRUE(black(sides[0], 65, 150));
  EXPECT_FALSE(black(sides[0], w - 66, 150));
  EXPECT_FALSE(black(sides[0], w - 66, h - 151));
  EXPECT_NE(sides[0], sides[1]);
  EXPECT_NE(sides[0], sides[2]);
  EXPECT_NE(sides[1], sides[3]);
}

// Two scanners on one bus, each at its own location, open at the same time.
TEST(VirtualScan, SeveralScannersAtOnce) {
  VirtualRig rig("model=fi-7160|model=0x11a2;sheets=1");
  ASSERT_TRUE(rig.bus) << rig.error;
  std::vector<ScannerDescT> found = Device::EnumerateScanners();
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].mLocationId, 0x14100000u);
  EXPECT_STREQ(found[0].mModelName, "fi-7160");
  EXPECT_EQ(found[1].mLocationId, 0x14200000u);
  EXPECT_STREQ(found[1].mModelName, "ScanSnap S1500/M");
  Device a, b, other;
  ASSERT_TRUE(other.FindScanner(0x14100000));
  ASSERT_TRUE(b.FindScanner(0x14200000));
  // A scanner in use by another Device is held exclusively.
  EXPECT_FALSE(a.FindScanner(0x14100000));
  EXPECT_NE(std::string(a.GetErrMsg()).find("opening device"), std::string::npos) << a.GetErrMsg();
  other.Close();
  ASSERT_TRUE(a.FindScanner(0x14100000));
  Cmd_InquiryStd ia(a), ib(b);
  EXPECT_GOOD(ia);
  EXPECT_GOOD(ib);
  EXPECT_STREQ(ia.mProductText, "fi-7160");
  EXPECT_STREQ(ib.mProductText, "ScanSnap S1500/M");
  EXPECT_STREQ(ia.mVendor, "FUJITSU");
}

}  // namespace
}  // namespace quirel::vtest
