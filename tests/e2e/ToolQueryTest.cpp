// The tool's scanner queries as the desktop application runs them: the
// scanner list, the capability lines, and bad input.
#include <gtest/gtest.h>

#include "RunTool.h"

using quirel::testing::RunTool;

namespace {

const std::map<std::string, std::string> kNoVirtual = {{"QUIREL_VIRTUAL_SCANNER", ""}};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

TEST(ToolQuery, EnumerateWithoutScannersPrintsTheHeadingOnly) {
  auto run = RunTool({"--enumerate"}, kNoVirtual);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  auto lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 1u) << run.out;
  EXPECT_EQ(lines[0], "model vendor product location");
}

TEST(ToolQuery, MalformedLocationsAreRefusedWithAClearMessage) {
  for (const char* bad : {"", "0x", "xyz", "123456789", "12 34", "-1", "0x1g"}) {
    auto run = RunTool({"--capabilities", bad}, kNoVirtual);
    EXPECT_EQ(run.exitStatus, 64) << bad;
    EXPECT_NE(run.err.find("is not a USB location"), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty());
  }
  auto missing = RunTool({"--capabilities"}, kNoVirtual);
  EXPECT_EQ(missing.exitStatus, 64);
  EXPECT_NE(missing.err.find("needs the scanner's USB location"), std::string::npos);
}

TEST(ToolQuery, AnEmptyLocationIsReportedAsSuch) {
  auto run = RunTool({"--capabilities", "0x7f000000"}, kNoVirtual);
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_NE(run.err.find("no USB device at location 7f000000"), std::string::npos) << run.err;
}

TEST(ToolQuery, UnknownArgumentsAndHelp) {
  auto bad = RunTool({"--frobnicate"});
  EXPECT_EQ(bad.exitStatus, 64);
  EXPECT_NE(bad.err.find("unknown argument \"--frobnicate\""), std::string::npos);
  auto help = RunTool({"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_NE(help.out.find("--enumerate"), std::string::npos);
  auto none = RunTool({});
  EXPECT_NE(none.exitStatus, 0);
}
