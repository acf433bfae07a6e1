// The QUIREL_VIRTUAL_SCANNER description: what it accepts, and errors that
// name the bad key or file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "FujiDevice.h"
#include "VirtualConfig.h"
#include "VirtualScanner.h"
#include "VirtualTestRig.h"

namespace quirel::vtest {
namespace {

std::string ErrorOf(const std::string& description) {
  std::string error;
  EXPECT_EQ(virt::MakeVirtualBus(description, &error), nullptr) << description;
  return error;
}

TEST(VirtualConfig, MalformedValuesNameTheKey) {
  struct Case {
    const char* description;
    const char* mentions;
  } cases[] = {
      {"model=fi-9999", "'model'"},
      {"model=fi-7160;dpi=abc", "bad value 'abc' for key 'dpi'"},
      {"model=fi-7160;dpi=10", "key 'dpi'"},
      {"model=fi-7160;sheets=-1", "key 'sheets'"},
      {"model=fi-7160;location=0", "key 'location'"},
      {"model=fi-7160;location=0x1ffffffff", "key 'location'"},
      {"model=fi-7160;speed=warp", "bad value 'warp' for key 'speed'"},
      {"model=fi-7160;faults=jam=x", "bad value 'jam=x' for key 'faults'"},
      {"model=fi-7160;faults=busy", "bad value 'busy' for key 'faults'"},
      {"model=fi-7160;faults=explode", "bad value 'explode' for key 'faults'"},
      {"model=fi-7160;jpeglength=short", "bad value 'short' for key 'jpeglength'"},
      {"model=fi-7160;colour=red", "unknown key 'colour'"},
      {"model=fi-7160;dpi=300;dpi=600", "key 'dpi' is given twice"},
      {"model=fi-7160;shortreads", "'shortreads' is not of the form key=value"},
      {"dpi=300", "'model' is missing"},
      {"model=fi-7160|model=nope", "scanner 2: bad value 'nope' for key 'model'"},
      {"model=fi-7160;location=0x14100000|model=fi-6130;location=0x14100000", "scanner 2: bad value '0x14100000' for key 'location'"},
      {"model=fi-7160|", "scanner 2: the description is empty"},
  };
  for (const Case& c : cases) {
    std::string error = ErrorOf(c.description);
    EXPECT_EQ(error.rfind("QUIREL_VIRTUAL_SCANNER: ", 0), 0u) << error;
    EXPECT_NE(error.find(c.mentions), std::string::npos) << c.description << " gave: " << error;
  }
}

TEST(VirtualConfig, UnreadablePageFilesAreNamed) {
  std::string missing = ErrorOf("model=fi-7160;pages=/nonexistent/page-1.png");
  EXPECT_NE(missing.find("'/nonexistent/page-1.png'"), std::string::npos) << missing;
  EXPECT_NE(missing.find("No such file"), std::string::npos) << missing;

  PageDir dir;
  std::string good = dir.Ppm("ok.ppm", 8, 8, [](int, int) { return Rgb{1, 2, 3}; });
  std::string text = dir.Path() + "/notes.png";
  FILE* f = std::fopen(text.c_str(), "w");
  std::fputs("not an image\n", f);
  std::fclose(f);
  std::string bad = ErrorOf("model=fi-7160;pages=" + good + "," + text);
  EXPECT_NE(bad.find("'" + text + "' is not a readable PNG or PNM image"), std::string::npos) << bad;
}

TEST(VirtualConfig, ModelsLocationsAndFaults) {
  std::vector<virt::ScannerConfig> configs;
  std::string error;
  ASSERT_TRUE(virt::ParseDescription(
      " model = FI-7160 ; speed=super; faults=jam=2, coveropen, shortreads,lampwarmup=3 | model=0x11a2;location=0x14100000;"
      "sheets=0 | model=0X132e",
      &configs, &error))
      << error;
  ASSERT_EQ(configs.size(), 3u);
  EXPECT_STREQ(configs[0].model->mModelName, "fi-7160");
  EXPECT_STREQ(configs[1].model->mModelName, "ScanSnap S1500/M");
  EXPECT_EQ(configs[2].model->mProductId, 0x132Eu);
  // Scanners without a location take distinct ones around those given.
  EXPECT_EQ(configs[0].location, 0x14200000u);
  EXPECT_EQ(configs[1].location, 0x14100000u);
  EXPECT_EQ(configs[2].location, 0x14300000u);
  EXPECT_EQ(configs[0].speed, usb::kUsbSpeedSuper);
  EXPECT_EQ(configs[0].faults.jamSheet, 2);
  EXPECT_EQ(configs[0].faults.coverOpenSheet, 1);
  EXPECT_EQ(configs[0].faults.lampWarmup, 3);
  EXPECT_EQ(configs[2].sheets, 3);
}

// The environment variable reaches the engine through the registered factory.
TEST(VirtualConfig, RegisteredFactoryServesTheEnvironmentDescription) {
  setenv("QUIREL_VIRTUAL_SCANNER", "model=fi-6670;speed=super", 1);
  virt::RegisterVirtualScanner();
  usb::UsbBus* bus = usb::CurrentBus();
  ASSERT_NE(bus, nullptr) << usb::CurrentBusError();
  std::vector<ScannerDescT> found = Device::EnumerateScanners();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_STREQ(found[0].mModelName, "fi-6670");
  Device dev;
  ASSERT_TRUE(dev.FindScanner(0));
  EXPECT_TRUE(dev.IsSuperSpeed());
  unsetenv("QUIREL_VIRTUAL_SCANNER");
}

}  // namespace
}  // namespace quirel::vtest
