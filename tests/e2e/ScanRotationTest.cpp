// The tool's rotation arguments, as the desktop application sends them for
// each orientation with and without flipped backs: the front and the back
// of a duplex sheet each come out turned as their letter says, in every
// data path that turns pages differently (packed line art, raw gray, JPEG
// split from one interleaved stream, JPEG through two windows), with
// automatic length each page is as long as its sheet, and a scan area lands
// where it lies on the page as it comes out.
#include <gtest/gtest.h>

#include "ScanCheck.h"

using namespace quirel::e2e;

namespace {

constexpr int kDpi = 100;

// The eight arguments of the four orientations, backs not flipped and
// flipped.
const char* const kRotations[] = {"n-n", "n-f", "r-l", "r-r", "f-f", "f-n", "l-r", "l-l"};

struct Mode {
  const char* name;
  const char* model;
  PageKind kind;
  std::vector<std::string> args;
  int tolerance;
  int interior;
  bool area = false;  // scan kArea of each page
};

// A scan area in pixels of the page as it comes out, turned a quarter or not.
struct Area {
  int left, top, width, height;
};
constexpr Area kArea = {20, 30, 48, 64};

Image Crop(const Image& image, int left, int top, int width, int height) {
  Image out(width, height, image.channels);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < image.channels; ++c) out.At(x, y, c) = image.At(left + x, top + y, c);
  return out;
}

const Mode kModes[] = {
    {"LineArt", "fi-6770", PageKind::kBilevel, {"--mono"}, 0, 0},
    {"RawGray", "fi-7160", PageKind::kGray, {"--gray", "--no-jpeg"}, 0, 0},
    {"InterleavedJpegColour", "fi-7160", PageKind::kColor, {"--rgb"}, 8, 3},
    {"SeparateJpegGray", "fi-6770", PageKind::kGray, {"--gray"}, 6, 2},
    // The window runs to the feeder's longest length.
    {"AutoLengthLineArt", "fi-6770", PageKind::kBilevel, {"--mono", "--auto-length"}, 0, 0},
    {"AutoLengthRawGray", "fi-7160", PageKind::kGray, {"--gray", "--no-jpeg", "--auto-length"}, 0, 0},
    {"AutoLengthJpegColour", "fi-7160", PageKind::kColor, {"--rgb", "--auto-length"}, 8, 3},
    // Both sides share one window on the sheet: a back turned otherwise than
    // its front gets the area from its bottom right corner.
    {"AreaRawGray", "fi-7160", PageKind::kGray, {"--gray", "--no-jpeg"}, 0, 0, true},
};

class E2EScanRotation : public ::testing::TestWithParam<Mode> {};

}  // namespace

TEST_P(E2EScanRotation, FrontAndBackTurnAsAsked) {
  const Mode& mode = GetParam();
  TempDir dir;
  PageOptions options;
  options.kind = mode.kind;
  const Image front = MakePage(1, 1, options), back = MakePage(1, 2, options);
  for (const char* rotation : kRotations) {
    const char f = rotation[0], b = rotation[2];
    const bool turned = f == 'l' || f == 'r';
    auto args = Join(mode.args, {"--duplex", std::string("--rotate-") + rotation});
    args = Join(args, PageArea(front, kDpi, turned));
    const int unit = 1200 / kDpi;
    if (mode.area)
      args = Join(args, {"--left", std::to_string(kArea.left * unit), "--top", std::to_string(kArea.top * unit), "--width",
                         std::to_string(kArea.width * unit), "--height", std::to_string(kArea.height * unit)});
    auto scan = ScanFile(dir, {mode.model, {front, back}}, args);
    if (turned && mode.args.back() == "--auto-length") {  // the length runs across the feed
      EXPECT_EQ(scan.run.exitStatus, 64) << rotation << ": " << scan.run.err;
      continue;
    }
    ASSERT_EQ(scan.problem, "") << rotation;
    std::vector<Image> got = scan.images;
    if (mode.kind == PageKind::kGray)
      for (Image& g : got) g = ToGray(g);
    std::vector<Image> expected = {Turn(front, f), Turn(back, b)};
    if (mode.area) {
      const Area a = kArea;
      expected[0] = Crop(expected[0], a.left, a.top, a.width, a.height);
      // Measured from the other side where the back's turn differs: a half
      // turn apart, or one quarter turn against the other.
      const std::string turns = "nrfl";
      const bool apart = turns.find(f) != turns.find(b);
      const Image& page = expected[1];
      expected[1] = apart ? Crop(page, page.width - a.left - a.width, page.height - a.top - a.height, a.width, a.height)
                          : Crop(page, a.left, a.top, a.width, a.height);
    }
    if (mode.kind == PageKind::kBilevel)
      for (Image& e : expected) e = Threshold(e);
    EXPECT_EQ(ComparePages(got, expected, mode.tolerance, mode.interior), "") << "--rotate-" << rotation;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, E2EScanRotation, ::testing::ValuesIn(kModes),
                         [](const ::testing::TestParamInfo<Mode>& p) { return std::string(p.param.name); });

TEST(E2EScanRotationArgs, SidesTurnedByDifferentQuarterTurnsAreRefused) {
  // The back shares the front's page geometry: a back turned a quarter
  // turn against an unturned front (or the other way round) cannot be
  // assembled, so such a duplex scan is refused before it starts.
  TempDir dir;
  const Image page = MakePage(1, 1);
  for (const char* rotation : {"n-l", "r-n", "f-r", "l-f"}) {
    auto scan = ScanFile(dir, {"fi-6770", {page, page}},
                         Join({"--mono", "--duplex", std::string("--rotate-") + rotation}, PageArea(page, kDpi)));
    EXPECT_EQ(scan.run.exitStatus, 64) << rotation << ": " << scan.run.out;
    EXPECT_NE(scan.run.err.find("quarter turn"), std::string::npos) << scan.run.err;
  }
  // Without a back the back's letter does not matter.
  auto simplex = ScanFile(dir, {"fi-6770", {page}}, Join({"--mono", "--rotate-n-l"}, PageArea(page, kDpi)));
  ASSERT_EQ(simplex.problem, "");
  EXPECT_EQ(ComparePages(simplex.images, {Threshold(page)}), "");
}
