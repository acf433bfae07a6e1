// The tool's argument lists as the settings build them, run through the
// scan job and the real tool against virtual scanners fed with test pages
// that carry an asymmetric marker: every file must hold what the settings
// describe (page count, page size in points, image kind, and each page
// turned as its orientation says, fronts and backs).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>

#include "FrontendTestSupport.h"
#include "GetArgsSettingsTable.h"
#include "ScanJob_NSTask.h"

using namespace quirel::frontend;
using namespace quirel::frontend::test;
using namespace quirel::e2e;

namespace {

constexpr int kDpi = kGetArgsDpi;

using Row = GetArgsRow;

// The turn of the image for an orientation, and the back's: seen from the
// other side, a quarter turn goes the other way; flipped backs are turned
// over once more.
const std::string kFrontTurns = "nrfl", kBackTurns = "nlfr", kFlippedBackTurns = "frnl";
char FrontTurn(int orientation) { return kFrontTurns.at(size_t(orientation % 4)); }
char BackTurn(int orientation, bool flipped) {
  return (flipped ? kFlippedBackTurns : kBackTurns).at(size_t(orientation % 4));
}

// The tone of a gray or colour scan with a black and a white point: what
// is lighter than the white point is white, darker than the black point
// black, and the tones between are spread over the whole range.
Image Stretch(const Image& page, int black, int white) {
  Image out = page;
  for (uint8_t& v : out.px) {
    const double dark = (255 - v) - (255 - white);
    v = uint8_t(std::clamp(255 - dark * 255.0 / (white - black), 0.0, 255.0) + 0.5);
  }
  return out;
}

// Pixel v of a gray scan with the black point above the white point: a hard
// step where the white point lies.
Image HardStep(const Image& gray, int white) {
  Image out = gray;
  for (uint8_t& v : out.px) v = v >= white ? 255 : 0;
  return out;
}

std::vector<std::string> Lines(const std::string& command) {
  std::string out;
  EXPECT_EQ(Shell(command, &out), 0) << out;
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// "W x H" of every page, in points, as pdfinfo reports it.
std::vector<std::string> PdfSizes(const std::string& pdf) {
  std::vector<std::string> sizes;
  for (const std::string& line : Lines("pdfinfo -f 1 -l 9999 " + Quote(pdf)))
    if (auto at = line.find(" size: "); line.rfind("Page", 0) == 0 && at != std::string::npos)
      sizes.push_back(line.substr(line.find_first_not_of(' ', at + 6), line.find(" pts") - line.find_first_not_of(' ', at + 6)));
  return sizes;
}

// "color bpc" of every image, as pdfimages lists it.
std::vector<std::string> PdfKinds(const std::string& pdf) {
  std::vector<std::string> kinds;
  const auto lines = Lines("pdfimages -list " + Quote(pdf));
  for (size_t i = 2; i < lines.size(); ++i) {
    std::istringstream f(lines[i]);
    std::string page, num, type, w, h, color, comp, bpc;
    f >> page >> num >> type >> w >> h >> color >> comp >> bpc;
    kinds.push_back(color + " " + bpc);
  }
  return kinds;
}

std::string Points(const Image& page) {
  std::ostringstream s;
  s << page.width * 72.0 / kDpi << " x " << page.height * 72.0 / kDpi;
  return s.str();
}

}  // namespace

TEST(GetArgsEndToEnd, TheFileHoldsWhatTheSettingsDescribe) {
  const auto& rows = GetArgsRows();

  TempDir dir;
  RecordingController controller(MakeBundle(dir, "Quirel"));
  ScanJob_NSTask job(&controller);
  int scan = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScopedMeasurement unit(row.metric);
    Quirel_Settings& s = controller.settings();
    ApplyGetArgsRow(row, s);
    const bool tiff = s.mFileType != 2;
    s.setFilePath(QString::fromStdString(dir.File("scan" + std::to_string(++scan) + (tiff ? ".tif" : ".pdf"))), false);

    // The sides fed: sheets lie in the feeder long side first, or wide side
    // first for orientations 4 to 7.
    const PageKind kind = s.mScanTypeTag == 1 ? PageKind::kBilevel : s.mScanTypeTag >= 12 ? PageKind::kColor : PageKind::kGray;
    PageOptions options;
    options.kind = kind;
    const bool wide = !s.mFlatbed && s.mOrientation >= 4;
    std::vector<Image> fed;
    for (int sheet = 1; sheet <= row.sheets; ++sheet)
      for (int side = 1; side <= (s.duplex() ? 2 : 1); ++side)
        fed.push_back(Turn(MakePage(sheet, side, options), wide ? 'r' : 'n'));
    std::string list;
    for (size_t i = 0; i < fed.size(); ++i) {
      const std::string path = dir.File("in" + std::to_string(scan) + "-" + std::to_string(i) + (kind == PageKind::kColor ? ".ppm" : ".pgm"));
      WritePnm(path, fed[i]);
      list += (i ? "," : "") + path;
    }
    ScopedEnv scanner("QUIREL_VIRTUAL_SCANNER", std::string("model=") + row.model + ";dpi=100;pages=" + list);

    // What the file must hold.
    std::vector<Image> expected;
    for (size_t i = 0; i < fed.size() && (!s.mFlatbed || i == 0); ++i) {
      const bool back = s.duplex() && i % 2 == 1;
      Image page = Turn(fed[i], back ? BackTurn(s.mOrientation, s.mFlipBacks) : FrontTurn(s.mOrientation));
      if (kind == PageKind::kBilevel) page = Threshold(page);
      if (s.mScanTypeTag == 4) page = Gray4(page);
      if (s.mBlackPoint > s.mWhitePoint && s.mScanTypeTag == 8)
        page = HardStep(page, s.mWhitePoint);
      else if (s.mScanTypeTag == 8 || s.mScanTypeTag >= 12)
        page = Stretch(page, s.mBlackPoint, s.mWhitePoint);
      expected.push_back(page);
    }
    if (s.skipFirst()) expected.erase(expected.begin());
    if (s.skipLast()) expected.pop_back();

    const int finished = controller.finishedCount;
    controller.pages.clear();
    job.startScan();
    ASSERT_TRUE(WaitFor([&] { return controller.finishedCount > finished; }));
    ASSERT_EQ(controller.status, 0) << s.getCommandString().toStdString() << "\n" << controller.err.toStdString();

    ScanOutput out;
    out.path = s.filePath().toStdString();
    ReadBack(dir, tiff, &out);
    ASSERT_EQ(out.problem, "") << s.getCommandString().toStdString();
    ASSERT_EQ(int(out.images.size()), row.pages);
    ASSERT_EQ(expected.size(), out.images.size());

    if (s.mScanTypeTag == 4 || s.mScanTypeTag == 8)
      for (Image& g : out.images) g = ToGray(g);
    const bool jpeg = s.mScanTypeTag == 8 || s.mScanTypeTag >= 12;
    const int tolerance = s.mScanTypeTag == 12 ? 17 : s.mScanTypeTag == 4 ? 9 : jpeg ? 8 : 0;
    const long allowedBad = s.mBlackPoint > s.mWhitePoint && s.mScanTypeTag == 8 ? 300 : 0;
    if (s.autoLength()) {
      // The length is the sheet's, found by the scanner: compare the page as
      // far as it goes.
      for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(out.images[i].height, expected[i].height, 4) << "page " << i + 1;
        out.images[i].height = std::min(out.images[i].height, expected[i].height);
        out.images[i].px.resize(size_t(out.images[i].height) * size_t(out.images[i].width));
        expected[i].height = out.images[i].height;
        expected[i].px.resize(out.images[i].px.size());
      }
    }
    EXPECT_EQ(ComparePages(out.images, expected, tolerance, jpeg || s.mDespeckle ? 3 : 1, allowedBad), "")
        << s.getCommandString().toStdString();

    const std::string gray = s.mScanTypeTag >= 12 ? "rgb" : "gray";
    const std::string bits = s.mScanTypeTag == 1 ? "1" : "8";
    for (size_t i = 0; i < out.images.size(); ++i) {
      if (tiff) {
        EXPECT_EQ(out.tiff[i].bitsPerSample, std::stoi(bits)) << "page " << i + 1;
        EXPECT_EQ(out.tiff[i].compression, s.mScanTypeTag == 1 ? "CCITT Group 4" : s.mFileType == 3 ? "Deflate" : "None");
        EXPECT_EQ(out.tiff[i].image.channels, gray == "rgb" ? 3 : 1);
      }
      if (s.mScanTypeTag == 4 || s.mScanTypeTag == 12) {
        for (uint8_t v : out.images[i].px) ASSERT_EQ(v % 17, 0) << "not a 4-bit level on page " << i + 1;
      }
    }
    if (!tiff) {
      EXPECT_EQ(PdfKinds(out.path), std::vector<std::string>(expected.size(), gray + " " + bits));
      if (!s.autoLength()) {
        std::vector<std::string> points;
        for (const Image& page : expected) points.push_back(Points(page));
        EXPECT_EQ(PdfSizes(out.path), points);
      }
    }
    if (row.preview) {
      EXPECT_EQ(controller.pages.size(), expected.size());
      for (const auto& p : controller.pages) EXPECT_TRUE(p.depth == 4 && p.width <= 30 && p.height <= 42);
    } else {
      EXPECT_TRUE(controller.pages.empty());
    }

    // Appending to the same file doubles its pages.
    if (scan == 1 || scan == 5) {
      s.setFilePath(s.filePath(), true);
      job.startScan();
      ASSERT_TRUE(WaitFor([&] { return controller.finishedCount > finished + 1; }));
      ASSERT_EQ(controller.status, 0) << controller.err.toStdString();
      ReadBack(dir, tiff, &out);
      EXPECT_EQ(out.problem, "");
      EXPECT_EQ(out.images.size(), 2 * expected.size()) << "after appending";
    }
  }
}
