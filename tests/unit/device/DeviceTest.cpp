// Tests of Device: finding and opening scanners, its texts and the model's capabilities.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "CmdTestDevice.h"

using namespace ZuzuvovOvav;
using quirel::testing::FakeClock;
using quirel::testing::ForwardingInterface;
using quirel::testing::CmdTestDevice;
using quirel::testing::ScriptedBus;
using quirel::testing::ScriptedDevice;
using quirel::testing::ScriptedInterface;
using quirel::testing::UsbOp;
namespace usb = quirel::usb;

namespace {

using quirel::testing::kFi7160;
constexpr uint32_t kS1500 = 0x11A2;
constexpr uint32_t kOtherVendor = 0x046D;

// A scanner whose open goes through. The bus keeps the device and the
// Device's interface forwards to `iface`, so both can be inspected after the
// Device closed and destroyed what it held.
ScriptedDevice* AddScanner(ScriptedBus& bus, ScriptedInterface* iface, uint32_t product, uint32_t location) {
  ScriptedDevice* dev = bus.AddKept(kFujitsuVendorId, product, location);
  if (iface) dev->nextInterface = std::make_unique<ForwardingInterface>(iface);
  return dev;
}

std::string ErrorText(usb::IOReturn code, const char* step) {
  return "Error (" + std::to_string(int(code)) + ") " + step;
}

}  // namespace

TEST(DeviceFind, WithoutSupportedScannersNothingOpens) {
  FakeClock clock;
  ScriptedBus bus;
  bus.Add(kOtherVendor, kFi7160, 0x14100000);  // another maker, a matching product id
  ScriptedDevice* foreign = bus.AddKept(kOtherVendor, kFi7160, 0x14200000);
  ScriptedDevice* unknown = bus.AddKept(kFujitsuVendorId, 0x0001, 0x14300000);
  Device device;
  EXPECT_TRUE(Device::EnumerateScanners().empty());
  EXPECT_FALSE(device.FindScanner(0));
  EXPECT_STREQ(device.GetErrMsg(), "No recognized scanners found.");
  EXPECT_STREQ(device.GetInfoMsg(), "No matching scanner found; details sent to stderr.");

  // Asked by location, a non-scanner (or nothing) is false without a text.
  for (uint32_t location : {0x14200000u, 0x14300000u, 0x19900000u}) {
    EXPECT_FALSE(device.FindScanner(location));
    EXPECT_STREQ(device.GetErrMsg(), "");
  }
  EXPECT_EQ(device.GetSettings(), nullptr);
  EXPECT_EQ(foreign->openAttempts, 0);
  EXPECT_EQ(unknown->openAttempts, 0);
}

TEST(DeviceFind, OpensTheFirstListedScanner) {
  FakeClock clock;
  ScriptedBus bus;
  ScriptedInterface firstIface(&clock), secondIface(&clock);
  bus.Add(kOtherVendor, 0x0001, 0x14100000);
  ScriptedDevice* first = AddScanner(bus, &firstIface, kFi7160, 0x14200000);
  ScriptedDevice* second = AddScanner(bus, &secondIface, kS1500, 0x14300000);

  std::vector<ScannerDescT> listed = Device::EnumerateScanners();
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].mVendorId, kFujitsuVendorId);
  EXPECT_EQ(listed[0].mLocationId, 0x14200000u);
  EXPECT_STREQ(listed[1].mModelName, "ScanSnap S1500/M");

  Device device;
  ASSERT_TRUE(device.FindScanner(0)) << device.GetErrMsg();
  EXPECT_STREQ(device.GetErrMsg(), "");
  EXPECT_STREQ(device.GetInfoMsg(), "Supported scanner fi-7160 (vendor 0x000004c5, product 0x0000132e) at 0x14200000.");
  EXPECT_EQ(device.GetSettings(), Device::GetProductById(kFi7160));
  EXPECT_EQ(device.GetLocationId(), 0x14200000u);
  ASSERT_NE(device.GetInterface(), nullptr);
  EXPECT_EQ(static_cast<ForwardingInterface*>(device.GetInterface())->Inner(), &firstIface);
  EXPECT_TRUE(first->opened);
  EXPECT_EQ(second->openAttempts, 0);

  // Closing clears the stalls of both pipes while the interface is open,
  // then closes interface and device, once whoever closes.
  device.Close();
  device.Close();
  auto clears = firstIface.Ops(UsbOp::kClearStall);
  ASSERT_EQ(clears.size(), 2u);
  EXPECT_EQ(clears[0].pipe, usb::kPipeIn);
  EXPECT_EQ(clears[1].pipe, usb::kPipeOut);
  EXPECT_EQ(firstIface.closeCount, 1);
  EXPECT_EQ(first->closeCount, 1);
  EXPECT_EQ(device.GetInterface(), nullptr);
}

TEST(DeviceOpen, ExclusiveAccessIsRetriedForSixAttempts) {
  for (int busy : {5, 6}) {
    SCOPED_TRACE(busy);
    FakeClock clock;
    ScriptedBus bus;
    ScriptedInterface iface(&clock);
    ScriptedDevice* dev = AddScanner(bus, &iface, kFi7160, 0x14100000);
    dev->exclusiveAccessAnswers = busy;
    Device device;
    EXPECT_EQ(device.FindScanner(0x14100000), busy == 5);
    EXPECT_EQ(dev->openAttempts, 6);
    EXPECT_EQ(clock.sleeps, std::vector<uint64_t>(5, 1000000));
    if (busy == 6) {
      EXPECT_EQ(device.GetErrMsg(), ErrorText(usb::kIOReturnExclusiveAccess, "opening device"));
      EXPECT_EQ(device.GetSettings(), nullptr);
      EXPECT_EQ(dev->closeCount, 0) << "a device that never opened was closed";
    }
  }

  FakeClock clock;
  ScriptedBus bus;
  ScriptedDevice* dev = AddScanner(bus, nullptr, kFi7160, 0x14100000);
  dev->openResult = usb::kIOReturnNotPrivileged;
  Device device;
  EXPECT_FALSE(device.FindScanner(0x14100000));
  EXPECT_EQ(device.GetErrMsg(), ErrorText(usb::kIOReturnNotPrivileged, "opening device"));
  EXPECT_EQ(dev->openAttempts, 1) << "only exclusive access is retried";
}

TEST(DeviceOpen, FailureAfterTheOpenNamesTheStepAndClosesWhatWasOpened) {
  const usb::IOReturn rc = usb::kIOReturnNotResponding;
  struct Case {
    const char* text;
    void (*breakIt)(ScriptedDevice*, ScriptedInterface*, usb::IOReturn);
  } cases[] = {
      {"resetting device", [](ScriptedDevice* d, ScriptedInterface*, usb::IOReturn r) { d->resetResult = r; }},
      {"getting device configuration descriptor",
       [](ScriptedDevice* d, ScriptedInterface*, usb::IOReturn r) { d->configResult = r; }},
      {"setting device configuration",
       [](ScriptedDevice* d, ScriptedInterface*, usb::IOReturn r) { d->setConfigResult = r; }},
      {"getting device interface",
       [](ScriptedDevice* d, ScriptedInterface*, usb::IOReturn r) { d->interfaceResult = r; }},
      {"opening usb interface", [](ScriptedDevice*, ScriptedInterface* i, usb::IOReturn r) { i->openResult = r; }},
      {nullptr, [](ScriptedDevice* d, ScriptedInterface*, usb::IOReturn) { d->nextInterface.reset(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "no interface");
    FakeClock clock;
    ScriptedBus bus;
    ScriptedInterface iface(&clock);
    ScriptedDevice* dev = AddScanner(bus, &iface, kFi7160, 0x14100000);
    c.breakIt(dev, &iface, rc);
    Device device;
    EXPECT_FALSE(device.FindScanner(0x14100000));
    EXPECT_EQ(device.GetErrMsg(), c.text ? ErrorText(rc, c.text) : std::string("No device interface found."));
    EXPECT_EQ(device.GetSettings(), nullptr);
    EXPECT_EQ(device.GetInterface(), nullptr);
    EXPECT_FALSE(dev->opened) << "the device was left open";
    EXPECT_EQ(iface.closeCount, 0) << "an interface that did not open was closed";
  }
}

TEST(DeviceTexts, ErrorTextsStayWithinTheirBuffer) {
  Device device;
  std::string longText(400, 'x');
  device.SetErrMsg(longText.c_str());
  EXPECT_EQ(std::string(device.GetErrMsg()), std::string(255, 'x'));
  device.SetErrMsg(-536870212, longText.c_str());
  EXPECT_EQ(std::string(device.GetErrMsg()).substr(0, 22), "Error (-536870212) xxx");
  EXPECT_EQ(std::string(device.GetErrMsg()).size(), 255u);
}

TEST(DeviceCapabilities, SuperSpeedRaisesJpegLevelAndLowersSubsampling) {
  struct Case {
    uint32_t product;
    int speed;
    int level, subsample, turboLevel, turboSubsample;
  } cases[] = {
      {kFi7160, usb::kUsbSpeedHigh, 6, 130, 7, 131},
      {kFi7160, usb::kUsbSpeedSuper, 7, 129, 7, 130},  // 7 is the highest level
      {kS1500, usb::kUsbSpeedSuper, 7, 129, 7, 130},   // 129 is the finest subsampling
  };
  for (const Case& c : cases) {
    CmdTestDevice d(c.product, c.speed);
    SCOPED_TRACE(d.device.GetSettings()->mModelName + std::string(c.speed == usb::kUsbSpeedSuper ? " super" : ""));
    EXPECT_EQ(d.device.IsSuperSpeed(), c.speed == usb::kUsbSpeedSuper);
    EXPECT_EQ(d.device.JpegLevel(), c.level);
    EXPECT_EQ(d.device.JpegSubsample(), c.subsample);
    EXPECT_EQ(d.device.JpegTurboLevel(), c.turboLevel);
    EXPECT_EQ(d.device.JpegTurboSubsample(), c.turboSubsample);
  }
  CmdTestDevice fi4120c(0x1041);
  EXPECT_EQ(fi4120c.device.ReadDataSingleSideDelayMicroSecs(), 1100);
  EXPECT_EQ(fi4120c.device.ReadDataNeitherSideDelayMicroSecs(), 10000);
  EXPECT_TRUE(fi4120c.device.LengthDetectUsesSizeRead());
}

TEST(DeviceCapabilities, LongestLengthFollowsTypeAndResolution) {
  CmdTestDevice fi7160(kFi7160);
  for (ImageTypeE type : {kImageTypeLineArt, kImageTypeGray, kImageTypeColor}) {
    EXPECT_EQ(fi7160.device.GetMaxLenForRes(type, 300), 258000u);  // 215 in
    EXPECT_EQ(fi7160.device.GetMaxLenForRes(type, 301), 192000u);
    EXPECT_EQ(fi7160.device.GetMaxLenForRes(type, 400), 192000u);  // 160 in
    EXPECT_EQ(fi7160.device.GetMaxLenForRes(type, 600), 127560u);  // 106.3 in
  }
  // Long scans for line art only, without a second range.
  CmdTestDevice fi4340c(0x10CF);
  EXPECT_EQ(fi4340c.device.GetMaxLenForRes(kImageTypeLineArt, 400), 72816u);
  EXPECT_EQ(fi4340c.device.GetMaxLenForRes(kImageTypeLineArt, 600), 16800u);
  EXPECT_EQ(fi4340c.device.GetMaxLenForRes(kImageTypeGray, 200), 16800u);
  // No long scans: the feeder length at every resolution, 0 included.
  CmdTestDevice s500(0x10FE);
  for (uint32_t res : {0u, 300u, 1200u}) EXPECT_EQ(s500.device.GetMaxLenForRes(kImageTypeLineArt, res), 40800u);
}
