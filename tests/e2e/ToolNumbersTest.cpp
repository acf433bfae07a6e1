// Numbers on the tool's command line: only the forms --help shows are
// taken, and the values the desktop application's settings may hold for the
// line-art cutoffs and the black and white points scan as its own in-process
// scan means them.
#include <gtest/gtest.h>

#include "FaultScanSupport.h"
#include "ScanCheck.h"

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

// Blanks, signs, other bases, exponents and words are refused with status
// 64 and the option's name, before anything is scanned; so are options that
// would change nothing, and areas too small for the scanner's window.
TEST(E2EBadInput, NumbersTakeOnlyTheFormsHelpShows) {
  using namespace quirel::e2e_faults;
  TempDir dir;
  const std::string path = dir.File("never.pdf");
  struct Case {
    std::vector<std::string> args;
    const char* option;
  };
  const Case cases[] = {
      {{"--resolution", " +300"}, "--resolution"},
      {{"--resolution", "+300"}, "--resolution"},
      {{"--resolution", " 300"}, "--resolution"},
      {{"--resolution", "300 "}, "--resolution"},
      {{"--resolution", "0x12c"}, "--resolution"},
      {{"--resolution", "3e2"}, "--resolution"},
      {{"--resolution", "300.0"}, "--resolution"},
      {{"--resolution", ""}, "--resolution"},
      {{"--paper-width", "\t10200"}, "--paper-width"},
      {{"--left", "-0"}, "--left"},
      {{"--preview", "+100", "100"}, "--preview"},
      {{"--pages-per-file", " 2"}, "--pages-per-file"},
      {{"--mono", "--threshold", "-5"}, "--threshold"},
      {{"--mono", "--despeckle", "+10"}, "--despeckle"},
      {{"--gray", "--black", "+200"}, "--black"},
      {{"--gray", "--white", "256"}, "--white"},
      {{"--mono", "--density", " 1.1"}, "--density"},
      {{"--mono", "--density", "+1.1"}, "--density"},
      {{"--mono", "--density", "1e0"}, "--density"},
      {{"--mono", "--density", ".5"}, "--density"},
      {{"--mono", "--density", "1."}, "--density"},
      {{"--mono", "--density", "inf"}, "--density"},
      {{"--mono", "--density", "nan"}, "--density"},
      {{"--mono", "--turbo", "0x1p0"}, "--turbo"},
      {{"--mono", "--turbo", "0.5"}, "--turbo is below 1"},
      {{"--mono", "--turbo", "0", "--no-jpeg"}, "--no-jpeg has no effect with --turbo"},
      {{"--flatbed", "--duplex"}, "--duplex cannot be used with --flatbed"},
      {{"--flatbed", "--auto-length"}, "--auto-length cannot be used with --flatbed"},
      {{"--flatbed", "--skip-first"}, "--skip-first cannot be used with --flatbed"},
      {{"--flatbed", "--skip-last"}, "--skip-last cannot be used with --flatbed"},
      {{"--pdf", "--tiff"}, "--pdf and --tiff cannot be used together"},
      {{"--auto-length", "--height", "3000"}, "--height cannot be used with --auto-length"},
      {{"--gray", "--resolution", "100", "--width", "11"}, "11 wide (in 1/1200 inch), less than one pixel at 100 dpi: make it at least 12"},
      {{"--gray", "--resolution", "100", "--paper-height", "11"}, "11 long (in 1/1200 inch), less than one pixel at 100 dpi"},
      {{"--mono", "--turbo", "0", "--resolution", "1200", "--width", "3"}, "scanned as gray at 300 dpi): make it at least 4 wide"},
      {{"--mono", "--turbo", "2", "--resolution", "600", "--height", "3"}, "less than one pixel at 300 dpi"},
      // Turned, the area is measured on the page, and must lie on it.
      {{"--rotate-f-f", "--paper-width", "9000", "--left", "100", "--width", "8903"}, "--left 100 --width 8903) runs past the right edge"},
      {{"--rotate-l-r", "--paper-height", "9000", "--top", "3000", "--height", "6003"}, "--top 3000 --height 6003) runs past the bottom edge"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back(path);
    std::string shown;
    for (const auto& a : args) shown += "[" + a + "] ";
    quirel::testing::ToolRun run = ScanWith("model=fi-6130", args, 30);
    EXPECT_EQ(run.exitStatus, 64) << shown << run.err;
    EXPECT_TRUE(Has(run.err, c.option)) << shown << "\n" << run.err;
    EXPECT_EQ(run.out, "") << shown;
  }
  EXPECT_FALSE(Exists(path));
}

// What the application's settings may hold and pass on: a threshold above
// 255 counts by its low byte, a despeckle value above 100 lets the
// resolution choose the strength, a white point below the black point makes
// a hard step. Each scans like the value it stands for, and unlike another.
TEST(E2EScanModes, CutoffsScanAsTheSettingsMeanThem) {
  using namespace quirel::e2e;
  TempDir dir;
  PageOptions options;
  options.kind = PageKind::kGray;
  options.dots = true;
  const std::vector<Image> pages = {MakePage(1, 1, options)};
  struct Case {
    const char* mode;
    std::vector<std::string> given, same, other;
  };
  const Case cases[] = {
      // 300 = 256 + 44.
      {"--mono", {"--threshold", "300"}, {"--threshold", "44"}, {"--threshold", "200"}},
      // At 100 dpi the resolution's strength is a threshold of 21, as
      // despeckle 7 gives (7 x 0.75 + 16).
      {"--mono", {"--despeckle", "300"}, {"--despeckle", "7"}, {"--despeckle", "60"}},
      // No room between the points: a hard step at 255 - white.
      {"--gray", {"--black", "200", "--white", "100"}, {"--black", "150", "--white", "100"},
       {"--black", "100", "--white", "200"}},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const auto& a : c.given) shown += a + " ";
    SCOPED_TRACE(shown);
    auto scan = [&](const std::vector<std::string>& values) {
      std::vector<std::string> args = Join({"--adf", c.mode, "--no-jpeg"}, values);
      return ScanFile(dir, {"fi-6770", pages}, Join(args, PageArea(pages[0], 100)));
    };
    ScanOutput given = scan(c.given);
    ASSERT_EQ(given.problem, "") << given.run.err;
    ScanOutput same = scan(c.same);
    ASSERT_EQ(same.problem, "") << same.run.err;
    ScanOutput other = scan(c.other);
    ASSERT_EQ(other.problem, "") << other.run.err;
    EXPECT_EQ(ComparePages(given.images, same.images), "");
    EXPECT_NE(ComparePages(given.images, other.images), "") << "the value made no difference";
  }
}
