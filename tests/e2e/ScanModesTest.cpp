// The tool scanning from virtual scanners in every image mode: line art
// (plain, despeckled, turbo, dynamic threshold), gray in 4 and 8 bits and
// colour, raw and JPEG transfers, simplex and duplex through separate
// windows or one interleaved JPEG stream, from the feeder and the flatbed.
// Every page read back from the file is compared with the page fed.
#include <gtest/gtest.h>

#include "ScanCheck.h"

using namespace quirel::e2e;

namespace {

constexpr int kDpi = 100;

std::vector<Image> Sheets(int sheets, bool duplex, const PageOptions& options = {}) {
  std::vector<Image> pages;
  for (int s = 1; s <= sheets; ++s) {
    pages.push_back(MakePage(s, 1, options));
    if (duplex) pages.push_back(MakePage(s, 2, options));
  }
  return pages;
}

std::vector<Image> Map(const std::vector<Image>& pages, Image (*f)(const Image&)) {
  std::vector<Image> out;
  for (const Image& p : pages) out.push_back(f(p));
  return out;
}

std::vector<std::string> Args(std::vector<std::string> args, const Image& page) {
  return Join(std::move(args), PageArea(page, kDpi));
}

}  // namespace

TEST(E2EScanModes, LineArtFromTheFeederSimplexAndDuplex) {
  TempDir dir;
  const auto pages = Sheets(2, true);
  const auto expected = Map(pages, Threshold);
  // Duplex line art: two windows read in turn.
  auto duplex = ScanFile(dir, {"fi-6770", pages}, Args({"--adf", "--mono", "--duplex"}, pages[0]));
  ASSERT_EQ(duplex.problem, "");
  EXPECT_NE(duplex.run.out.find("4 pages scanned"), std::string::npos) << duplex.run.out;
  EXPECT_EQ(ComparePages(duplex.images, expected), "");
  // Simplex: every page file is a sheet of its own.
  auto simplex = ScanFile(dir, {"fi-6770", pages}, Args({"--adf", "--mono"}, pages[0]));
  ASSERT_EQ(simplex.problem, "");
  EXPECT_EQ(ComparePages(simplex.images, expected), "");
  // A model that sends duplex JPEG interleaved reads line art through two
  // windows too.
  auto other = ScanFile(dir, {"fi-7160", pages}, Args({"--mono", "--duplex"}, pages[0]));
  ASSERT_EQ(other.problem, "");
  EXPECT_EQ(ComparePages(other.images, expected), "");
}

TEST(E2EScanModes, DespeckleRemovesSpecksAndKeepsShapes) {
  TempDir dir;
  PageOptions specks;
  specks.dots = true;
  const std::vector<Image> pages = {MakePage(1, 1, specks)};
  auto plain = ScanFile(dir, {"fi-6770", pages}, Args({"--mono"}, pages[0]));
  ASSERT_EQ(plain.problem, "");
  EXPECT_EQ(ComparePages(plain.images, {Threshold(pages[0])}), "") << "specks are kept without despeckle";

  auto clean = ScanFile(dir, {"fi-6770", pages}, Args({"--mono", "--despeckle", "10"}, pages[0]));
  ASSERT_EQ(clean.problem, "");
  ASSERT_EQ(clean.images.size(), 1u);
  // Shapes keep their inside; only their outlines may move by a pixel.
  EXPECT_EQ(ComparePages(clean.images, {Threshold(MakePage(1, 1))}, 0, 2), "");
  for (auto [x, y] : {std::pair{70, 24}, {90, 44}, {120, 30}, {140, 56}})
    EXPECT_EQ(clean.images[0].At(x, y), 255) << "speck at " << x << "," << y << " survived";
}

TEST(E2EScanModes, TurboLineArtMatchesThePageAwayFromEdges) {
  TempDir dir;
  const auto pages = Sheets(1, true);
  for (const char* model : {"fi-6770", "fi-7160"}) {
    auto turbo = ScanFile(dir, {model, pages}, Args({"--mono", "--turbo", "0", "--duplex"}, pages[0]));
    ASSERT_EQ(turbo.problem, "") << model;
    // The gray scan is coarser and scaled up: edges may move a pixel.
    EXPECT_EQ(ComparePages(turbo.images, Map(pages, Threshold), 0, 1), "") << model;
  }
}

TEST(E2EScanModes, DynamicThresholdKeepsLightLinesInADarkField) {
  TempDir dir;
  PageOptions lines;
  lines.lightLines = true;
  const std::vector<Image> pages = {MakePage(1, 1, lines)};
  // A fixed threshold turns the light-gray lines black with their field.
  auto fixed = ScanFile(dir, {"fi-6770", pages}, Args({"--mono"}, pages[0]));
  ASSERT_EQ(fixed.problem, "");
  EXPECT_EQ(ComparePages(fixed.images, {Threshold(pages[0])}), "");

  // The scanner's dynamic threshold measures them against their
  // neighbourhood and keeps them white.
  auto dynamic = ScanFile(dir, {"fi-6770", pages}, Args({"--mono", "--dtc", "d"}, pages[0]));
  ASSERT_EQ(dynamic.problem, "");
  Image expected = Threshold(pages[0]);
  expected.Fill(56, 172, 60, 196, 255);
  expected.Fill(100, 172, 104, 196, 255);
  EXPECT_EQ(ComparePages(dynamic.images, {expected}, 0, 1), "");
}

TEST(E2EScanModes, RawGrayIsExactAndRendersAsFed) {
  TempDir dir;
  PageOptions gray;
  gray.kind = PageKind::kGray;
  const auto pages = Sheets(2, true, gray);
  for (const char* model : {"fi-6770", "fi-7160"}) {
    auto scan = ScanFile(dir, {model, pages}, Args({"--gray", "--bits", "8", "--no-jpeg", "--duplex"}, pages[0]));
    ASSERT_EQ(scan.problem, "") << model;
    EXPECT_EQ(ComparePages(Map(scan.images, ToGray), pages), "") << model;
    if (std::string(model) != "fi-6770") continue;
    // A viewer shows the page as fed (page size, orientation, tone).
    std::string out;
    ASSERT_EQ(Shell("pdftoppm -r 100 -gray -f 3 -l 3 " + Quote(scan.path) + " " + Quote(dir.File("render")), &out), 0)
        << out;
    Image shown;
    std::string error;
    ASSERT_TRUE(ReadPnm(dir.File("render-3.pgm"), &shown, &error)) << error;
    EXPECT_EQ(ComparePages({shown}, {pages[2]}, 2, 1), "");
  }
}

TEST(E2EScanModes, FourBitGrayHoldsSixteenLevelsOfTheTone) {
  TempDir dir;
  PageOptions gray;
  gray.kind = PageKind::kGray;
  const auto pages = Sheets(1, true, gray);
  auto scan = ScanFile(dir, {"fi-6770", pages}, Args({"--gray", "--bits", "4", "--no-jpeg", "--duplex"}, pages[0]));
  ASSERT_EQ(scan.problem, "");
  const auto got = Map(scan.images, ToGray);
  EXPECT_EQ(ComparePages(got, Map(pages, Gray4), 9), "");
  for (const Image& page : got)
    for (uint8_t v : page.px) ASSERT_EQ(v % 17, 0) << "value " << int(v) << " is not a 4-bit level";
}

TEST(E2EScanModes, RawColourIsExactThroughSeparateWindows) {
  TempDir dir;
  PageOptions color;
  color.kind = PageKind::kColor;
  const auto pages = Sheets(2, true, color);
  for (const char* model : {"fi-6770", "fi-7160", "ScanSnap S1500/M"}) {
    auto scan = ScanFile(dir, {model, pages}, Args({"--rgb", "--no-jpeg", "--duplex"}, pages[0]));
    ASSERT_EQ(scan.problem, "") << model;
    EXPECT_EQ(ComparePages(scan.images, pages), "") << model;
  }
}

TEST(E2EScanModes, JpegTransfersStayCloseToThePage) {
  TempDir dir;
  PageOptions color;
  color.kind = PageKind::kColor;
  PageOptions gray;
  gray.kind = PageKind::kGray;
  const auto colorPages = Sheets(2, true, color);
  const auto grayPages = Sheets(2, true, gray);
  // fi-6770: duplex JPEG through two windows; fi-7160: one stream with
  // both sides interleaved, split by the engine.
  for (const char* model : {"fi-6770", "fi-7160"}) {
    for (bool duplex : {false, true}) {
      std::vector<std::string> extra;
      if (duplex) extra.push_back("--duplex");
      const auto colorIn = duplex ? colorPages : std::vector<Image>{colorPages[0], colorPages[2]};
      auto c = ScanFile(dir, {model, colorIn}, Args(Join({"--rgb"}, extra), colorIn[0]));
      ASSERT_EQ(c.problem, "") << model;
      EXPECT_EQ(ComparePages(c.images, colorIn, 8, 3), "") << model << (duplex ? " duplex" : " simplex");

      const auto grayIn = duplex ? grayPages : std::vector<Image>{grayPages[0], grayPages[2]};
      auto g = ScanFile(dir, {model, grayIn}, Args(Join({"--gray"}, extra), grayIn[0]));
      ASSERT_EQ(g.problem, "") << model;
      EXPECT_EQ(ComparePages(Map(g.images, ToGray), grayIn, 6, 2), "") << model << (duplex ? " duplex" : " simplex");
    }
  }
}

TEST(E2EScanModes, FlatbedScansTheGlassOnce) {
  TempDir dir;
  PageOptions gray;
  gray.kind = PageKind::kGray;
  const auto pages = Sheets(3, false, gray);
  for (const char* model : {"fi-6230", "fi-6770"}) {
    // The glass holds one sheet: one page, the first image.
    auto g = ScanFile(dir, {model, pages}, Args({"--flatbed", "--gray", "--no-jpeg"}, pages[0]));
    ASSERT_EQ(g.problem, "") << model;
    EXPECT_EQ(ComparePages(Map(g.images, ToGray), {pages[0]}), "") << model;
    EXPECT_NE(g.run.out.find("1 page scanned"), std::string::npos) << g.run.out;

    auto m = ScanFile(dir, {model, pages}, Args({"--flatbed", "--mono"}, pages[0]), true);
    ASSERT_EQ(m.problem, "") << model;
    EXPECT_EQ(ComparePages(m.images, {Threshold(pages[0])}), "") << model;
  }
}
