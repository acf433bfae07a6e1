// The tool's scanner queries as the desktop application runs them: the
// scanner list, the capability lines, and bad input.
#include <gtest/gtest.h>

#include <algorithm>

#include "RunTool.h"

using quirel::testing::RunTool;

namespace {

const std::map<std::string, std::string> kNoVirtual = {{"QUIREL_VIRTUAL_SCANNER", ""}};


}  // namespace

TEST(ToolQuery, EnumerateWithoutScannersPrintsTheHeadingOnly) {
  auto run = RunTool({"--enumerate"}, kNoVirtual);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  auto lines = quirel::testing::SplitLines(run.out);
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

TEST(ToolQuery, VirtualScannersAreListedInOrderWithTheirModelRows) {
  auto one = RunTool({"--enumerate"}, {{"QUIREL_VIRTUAL_SCANNER", "model=fi-7160"}});
  ASSERT_EQ(one.exitStatus, 0) << one.err;
  auto lines = quirel::testing::SplitLines(one.out);
  ASSERT_EQ(lines.size(), 2u) << one.out;
  EXPECT_EQ(lines[1], "fi-7160 4c5 132e 14100000");

  auto caps = RunTool({"--capabilities", "14100000"}, {{"QUIREL_VIRTUAL_SCANNER", "model=fi-7160"}});
  ASSERT_EQ(caps.exitStatus, 0) << caps.err;
  for (const char* line : {"supported: y", "adf width: 8.85", "adf length: 106.3", "adf long scan modes: 7",
                           "adf long scan resolution cutoff 1: 400", "adf long scan length 1: 160",
                           "adf long scan resolution cutoff 2: 300", "adf long scan length 2: 215", "flatbed: n",
                           "length detect: y", "supports jpeg: y", "feeds face down: y"})
    EXPECT_NE(caps.out.find(std::string(line) + "\n"), std::string::npos) << line;

  auto pair = RunTool({"--enumerate"}, {{"QUIREL_VIRTUAL_SCANNER", "model=fi-6770|model=ScanSnap S1500/M"}});
  ASSERT_EQ(pair.exitStatus, 0) << pair.err;
  lines = quirel::testing::SplitLines(pair.out);
  ASSERT_EQ(lines.size(), 3u) << pair.out;
  EXPECT_EQ(lines[1], "fi-6770 4c5 1174 14100000");
  EXPECT_EQ(lines[2], "ScanSnapS1500/M 4c5 11a2 14200000");

  auto flatbed = RunTool({"--capabilities", "0x14100000"}, {{"QUIREL_VIRTUAL_SCANNER", "model=fi-6770|model=ScanSnap S1500/M"}});
  EXPECT_NE(flatbed.out.find("flatbed: y\nflatbed direction: left\nflatbed width: 12\nflatbed height: 18\n"),
            std::string::npos)
      << flatbed.out;
}

TEST(ToolQuery, MalformedVirtualScannerDescriptionsNameTheirFault) {
  auto badKey = RunTool({"--enumerate"}, {{"QUIREL_VIRTUAL_SCANNER", "model=fi-7160;colour=blue"}});
  EXPECT_NE(badKey.exitStatus, 0);
  EXPECT_NE(badKey.err.find("'colour'"), std::string::npos) << badKey.err;
  EXPECT_EQ(std::count(badKey.err.begin(), badKey.err.end(), '\n'), 1) << "one clear line: " << badKey.err;

  auto badValue = RunTool({"--enumerate"}, {{"QUIREL_VIRTUAL_SCANNER", "model=fi-7160;dpi=abc"}});
  EXPECT_NE(badValue.exitStatus, 0);
  EXPECT_NE(badValue.err.find("'dpi'"), std::string::npos) << badValue.err;

  auto missing = RunTool({"--enumerate"}, {{"QUIREL_VIRTUAL_SCANNER", "model=fi-7160;pages=/nonexistent/page-1.png"}});
  EXPECT_NE(missing.exitStatus, 0);
  EXPECT_NE(missing.err.find("/nonexistent/page-1.png"), std::string::npos) << missing.err;
}
