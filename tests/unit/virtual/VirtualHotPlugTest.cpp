// QUIREL_VIRTUAL_SCANNER=@FILE: scanners that arrive and depart as the file
// changes, reported to hot-plug watchers, and seen the same way by the tool
// run as a child.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "RunTool.h"
#include "TempDir.h"
#include "VirtualScanner.h"

namespace quirel::vtest {
namespace {

struct Event {
  bool arrived;
  uint32_t product;
  uint32_t location;
  bool operator==(const Event& o) const {
    return arrived == o.arrived && product == o.product && location == o.location;
  }
};

std::ostream& operator<<(std::ostream& os, const Event& e) {
  return os << (e.arrived ? "arrived " : "left ") << std::hex << e.product << " at " << e.location;
}

class HotPlugFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(mFolder.Path().empty());
    mDir = mFolder.Path();
    mFile = mDir + "/scanners";
  }
  void TearDown() override {
    mBus.reset();
  }

  void Open() {
    std::string error;
    mBus = virt::MakeVirtualBus("@" + mFile, &error);
    ASSERT_NE(mBus, nullptr) << error;
    mBus->WatchHotPlug(0x04C5, [this](usb::HotPlugEvent ev, const usb::UsbDeviceDesc& d) {
      std::lock_guard<std::mutex> lock(mMutex);
      mEvents.push_back({ev == usb::HotPlugEvent::kArrived, d.productId, d.locationId});
      mChanged.notify_all();
    });
  }

  // Writes the file as an editor saving it in place would, or (renamed)
  // as one that writes a new file and moves it over the old.
  void Write(const std::string& text, bool renamed = false) {
    const std::string target = renamed ? mFile + ".new" : mFile;
    {
      std::ofstream out(target, std::ios::trunc);
      out << text;
    }
    if (renamed) {
      ASSERT_EQ(std::rename(target.c_str(), mFile.c_str()), 0);
    }
  }

  // Waits until `count` events arrived (or a while has passed).
  std::vector<Event> Events(size_t count, int waitMs = 5000) {
    std::unique_lock<std::mutex> lock(mMutex);
    mChanged.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return mEvents.size() >= count; });
    return mEvents;
  }

  std::vector<std::string> Listed() {
    std::vector<std::string> out;
    for (const auto& d : mBus->Enumerate()) {
      char line[64];
      std::snprintf(line, sizeof line, "%x %x", unsigned(d.productId), unsigned(d.locationId));
      out.push_back(line);
    }
    return out;
  }

  // What the tool run as a child lists.
  std::vector<std::string> ToolListed() {
    testing::ToolRun run = testing::RunTool({"--enumerate"}, {{"QUIREL_VIRTUAL_SCANNER", "@" + mFile}});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    std::vector<std::string> lines = testing::SplitLines(run.out);
    if (!lines.empty()) lines.erase(lines.begin());  // the heading
    return lines;
  }

  quirel::testing::TempDir mFolder{"hotplug"};
  std::string mDir, mFile;
  std::unique_ptr<usb::UsbBus> mBus;
  std::mutex mMutex;
  std::condition_variable mChanged;
  std::vector<Event> mEvents;
};

TEST_F(HotPlugFile, ScannersComeAndGoWithTheFile) {
  Open();  // no file yet: no scanner
  EXPECT_TRUE(Listed().empty());
  EXPECT_TRUE(ToolListed().empty());

  struct Step {
    const char* text;
    bool renamed;
    std::vector<Event> events;  // the events this step adds
    std::vector<std::string> listed;
    std::vector<std::string> tool;
    uint32_t held = 0;  // a device opened here before the step, gone after it
  } steps[] = {
      {"model=fi-7160\n", false, {{true, 0x132e, 0x14100000}}, {"132e 14100000"}, {"fi-7160 4c5 132e 14100000"}},
      // A comment, a blank line and a second scanner: only it arrives.
      {"model=fi-7160\n\n# the flatbed one\nmodel=fi-6230;location=0x14200000\n",
       true,
       {{true, 0x1150, 0x14200000}},
       {"132e 14100000", "1150 14200000"},
       {"fi-7160 4c5 132e 14100000", "fi-6230 4c5 1150 14200000"}},
      // Written again unchanged: nothing happens.
      {"model=fi-7160\n\n# the flatbed one\nmodel=fi-6230;location=0x14200000\n",
       false,
       {},
       {"132e 14100000", "1150 14200000"},
       {"fi-7160 4c5 132e 14100000", "fi-6230 4c5 1150 14200000"}},
      // The first goes; the second, its line unchanged, stays.
      {"model=fi-6230;location=0x14200000\n", false, {{false, 0x132e, 0x14100000}}, {"1150 14200000"},
       {"fi-6230 4c5 1150 14200000"}, 0x14100000},
      // Two on one line, as in the variable itself.
      {"model=fi-6230;location=0x14200000 | model=fi-5110C;location=0x14300000\n",
       false,
       {{true, 0x1097, 0x14300000}},
       {"1150 14200000", "1097 14300000"},
       {"fi-6230 4c5 1150 14200000", "fi-5110C 4c5 1097 14300000"}},
  };
  size_t seen = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.text);
    std::unique_ptr<usb::UsbDevice> held = step.held ? mBus->FindByLocation(step.held) : nullptr;
    if (step.held) {
      ASSERT_TRUE(held && held->Open() == usb::kIOReturnSuccess);
    }
    Write(step.text, step.renamed);
    const size_t want = seen + step.events.size();
    std::vector<Event> events = Events(want);
    if (step.events.empty()) {
      usleep(300000);
      events = Events(want);
    }
    ASSERT_EQ(events.size(), want);
    EXPECT_EQ(std::vector<Event>(events.begin() + long(seen), events.end()), step.events);
    seen = want;
    EXPECT_EQ(Listed(), step.listed);
    EXPECT_EQ(ToolListed(), step.tool);
    // As on a real bus, a scan in progress fails.
    if (held) {
      EXPECT_EQ(held->Reset(), usb::kIOReturnNoDevice);
    }
  }

  // The file removed: every scanner departs.
  std::remove(mFile.c_str());
  const std::vector<Event> events = Events(seen + 2);
  ASSERT_EQ(events.size(), seen + 2);
  EXPECT_FALSE(events[seen].arrived);
  EXPECT_FALSE(events[seen + 1].arrived);
  EXPECT_TRUE(Listed().empty());
  EXPECT_TRUE(ToolListed().empty());
}

TEST_F(HotPlugFile, MalformedContentLosesNothing) {
  Write("model=fi-7160\n");
  Open();
  ASSERT_EQ(Listed().size(), 1u);
  // A typo while editing: the scanners stay as they were.
  Write("model=fi-7160;dpi=abc\n");
  EXPECT_TRUE(Events(1, 300).empty());
  EXPECT_EQ(Listed().size(), 1u);
  // Fixed: the scanner with the new description replaces the old.
  Write("model=fi-7160;dpi=200\n");
  const std::vector<Event> events = Events(2);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_FALSE(events[0].arrived);
  EXPECT_TRUE(events[1].arrived);
  // A FIFO moved into its place is not read (nor waited on).
  ASSERT_EQ(mkfifo((mFile + ".fifo").c_str(), 0600), 0);
  ASSERT_EQ(std::rename((mFile + ".fifo").c_str(), mFile.c_str()), 0);
  EXPECT_EQ(Events(3, 300).size(), 2u);
  EXPECT_EQ(Listed().size(), 1u);
}

TEST_F(HotPlugFile, BadFileAtStartIsNamed) {
  struct Case {
    std::string description;
    std::string mentions;
  };
  Write("model=fi-9999\n");
  const std::string fifo = mDir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const Case cases[] = {
      {"@" + mFile, mFile + ": bad value 'fi-9999' for key 'model'"},
      {"@" + mDir, "cannot read " + mDir + ": it is not a regular file"},
      {"@" + fifo, "cannot read " + fifo + ": it is not a regular file"},  // not a wait for a writer
      {"@", "'@' must be followed by the path"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(virt::MakeVirtualBus(c.description, &error), nullptr) << c.description;
    EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
    EXPECT_EQ(error.rfind("QUIREL_VIRTUAL_SCANNER: ", 0), 0u) << error;
  }
}

}  // namespace
}  // namespace quirel::vtest
