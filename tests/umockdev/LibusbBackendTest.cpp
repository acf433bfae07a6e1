// The libusb backend against devices described to umockdev: enumeration and
// location ids from sysfs, and bulk transfers answered by a fake device that
// serves the usbdevfs URB ioctls. Runs under umockdev-wrapper.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>

#include "FujiCmds.h"
#include "RunTool.h"
#include "TempDir.h"
#include "UmockdevUsb.h"
#include "UsbLayer.h"

using namespace quirel::usb;
using quirel::testing::Descriptors;
using quirel::testing::DescribeDevice;
using quirel::testing::FakeUsbDevice;
using quirel::testing::kBulkIn81;
using quirel::testing::kBulkOut02;
using quirel::testing::kInterruptIn83;
using quirel::testing::kPci;

namespace {

constexpr uint32_t kScannerLocation = 0x03140000;
const char* const kSkipReason = "needs the umockdev preload library: run this test through umockdev-wrapper";

bool UnderUmockdev() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload && std::strstr(preload, "umockdev-preload");
}

// Bus 3: its root hub, a hub on port 1, the fi-7160 on that hub's port 4
// (location 0x03140000; an interrupt endpoint before its bulk pipes) and a
// mouse on port 2 of the root (0x03200000).
void AddBus3(UMockdevTestbed* testbed) {
  const std::string root = std::string(kPci);
  std::string all;
  all += DescribeDevice(root, "usb3", 3, 1, "1d6b", "0002", "480", Descriptors("6B1D", "0200", 9, {kInterruptIn83}));
  all += DescribeDevice(root + "/usb3", "3-1", 3, 2, "05e3", "0610", "480", Descriptors("E305", "1006", 9, {kInterruptIn83}));
  all += DescribeDevice(root + "/usb3/3-1", "3-1.4", 3, 7, "04c5", "132e", "480",
                        Descriptors("C504", "2E13", 0, {kInterruptIn83, kBulkIn81, kBulkOut02}));
  all += DescribeDevice(root + "/usb3", "3-2", 3, 3, "046d", "c52b", "12", Descriptors("6D04", "2BC5", 0, {kInterruptIn83}));
  GError* error = nullptr;
  ASSERT_TRUE(umockdev_testbed_add_from_string(testbed, all.c_str(), &error)) << error->message;
}

class LibusbBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UnderUmockdev()) GTEST_SKIP() << kSkipReason;
    mTestbed = umockdev_testbed_new();
    ASSERT_NO_FATAL_FAILURE(AddBus3(mTestbed));
    mScanner = std::make_unique<FakeUsbDevice>(mTestbed, "/dev/bus/usb/003/007");
    std::string busError;
    mBus = MakeLibusbBus(&busError);
    ASSERT_TRUE(mBus) << busError;
  }
  void TearDown() override {
    // Everything that may still talk to the fake device goes before it.
    SetBusForTesting(nullptr);
    mInterface.reset();
    mDevice.reset();
    mBus.reset();
    mScanner.reset();
    if (mTestbed) g_object_unref(mTestbed);
  }

  // The scanner opened and configured the way the device layer does it, its
  // first interface open.
  void OpenScanner() {
    mDevice = mBus->FindByLocation(kScannerLocation);
    ASSERT_TRUE(mDevice);
    ASSERT_EQ(kIOReturnSuccess, mDevice->Open());
    ASSERT_EQ(kIOReturnSuccess, mDevice->Reset());
    uint8_t config = 0;
    ASSERT_EQ(kIOReturnSuccess, mDevice->GetConfigurationValue(0, &config));
    ASSERT_EQ(kIOReturnSuccess, mDevice->SetConfiguration(config));
    ASSERT_EQ(kIOReturnSuccess, mDevice->GetFirstInterface(&mInterface));
    ASSERT_TRUE(mInterface);
    ASSERT_EQ(kIOReturnSuccess, mInterface->Open());
  }

  UMockdevTestbed* mTestbed = nullptr;
  std::unique_ptr<FakeUsbDevice> mScanner;
  std::unique_ptr<UsbBus> mBus;
  std::unique_ptr<UsbDevice> mDevice;
  std::unique_ptr<UsbInterface> mInterface;
};

TEST_F(LibusbBackendTest, EnumeratesDevicesWithVendorProductAndLocation) {
  auto devices = mBus->Enumerate();
  auto find = [&](uint32_t vendor) -> const UsbDeviceDesc* {
    for (const auto& d : devices)
      if (d.vendorId == vendor) return &d;
    return nullptr;
  };
  ASSERT_EQ(4u, devices.size());
  const UsbDeviceDesc* scanner = find(0x04c5);
  ASSERT_TRUE(scanner);
  EXPECT_EQ(0x132eu, scanner->productId);
  EXPECT_EQ(kScannerLocation, scanner->locationId);
  const UsbDeviceDesc* mouse = find(0x046d);
  ASSERT_TRUE(mouse);  // other vendors are listed with their own ids
  EXPECT_EQ(0xc52bu, mouse->productId);
  EXPECT_EQ(0x03200000u, mouse->locationId);
  ASSERT_TRUE(find(0x1d6b));
  EXPECT_EQ(0x03000000u, find(0x1d6b)->locationId);

  auto device = mBus->FindByLocation(kScannerLocation);
  ASSERT_TRUE(device);
  EXPECT_EQ(0x04c5u, device->VendorId());
  EXPECT_EQ(0x132eu, device->ProductId());
  uint32_t location = 0;
  EXPECT_EQ(kIOReturnSuccess, device->GetLocationId(&location));
  EXPECT_EQ(kScannerLocation, location);
  int speed = -1;
  EXPECT_EQ(kIOReturnSuccess, device->GetDeviceSpeed(&speed));
  EXPECT_EQ(kUsbSpeedHigh, speed);
  auto slow = mBus->FindByLocation(0x03200000);
  ASSERT_TRUE(slow);
  EXPECT_EQ(kIOReturnSuccess, slow->GetDeviceSpeed(&speed));
  EXPECT_EQ(kUsbSpeedFull, speed);
  EXPECT_FALSE(mBus->FindByLocation(0x03150000));
  EXPECT_FALSE(mBus->FindByLocation(0));
}

TEST_F(LibusbBackendTest, CommandBlockGoesOutAndReplyComesBack) {
  OpenScanner();
  // Only the first interface is claimed (again after the reset).
  EXPECT_FALSE(mScanner->Claims().empty());
  for (unsigned claimed : mScanner->Claims()) EXPECT_EQ(0u, claimed);

  std::vector<uint8_t> block(31, 0);
  block[0] = 0x43;
  block[19] = 0x12;  // INQUIRY
  block[23] = 0x60;
  ASSERT_EQ(kIOReturnSuccess, mInterface->WritePipe(kPipeOut, block.data(), 31, 29000, 30000));
  auto writes = mScanner->Writes();
  ASSERT_EQ(1u, writes.size());
  EXPECT_EQ(0x02, writes[0].endpoint);  // the first bulk OUT endpoint
  EXPECT_EQ(block, writes[0].bytes);

  std::vector<uint8_t> inquiry(96, 0x20);
  std::memcpy(inquiry.data() + 8, "FUJITSU fi-7160", 15);
  mScanner->QueueReply(inquiry);
  mScanner->QueueReply({0x53, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  std::vector<uint8_t> buf(0x60 + 16, 0xEE);
  uint32_t size = 0x60 + 16;  // more than the scanner sends: a short read
  ASSERT_EQ(kIOReturnSuccess, mInterface->ReadPipe(kPipeIn, buf.data(), &size, 29000, 30000));
  ASSERT_EQ(96u, size);
  EXPECT_TRUE(std::equal(inquiry.begin(), inquiry.end(), buf.begin()));
  uint8_t status[13];
  size = 13;
  ASSERT_EQ(kIOReturnSuccess, mInterface->ReadPipe(kPipeIn, status, &size, 29000, 30000));
  EXPECT_EQ(13u, size);
  EXPECT_EQ(0x53, status[0]);
  // The interrupt endpoint before the bulk ones is not a pipe.
  EXPECT_EQ((std::vector<uint8_t>{0x81, 0x81}), mScanner->ReadEndpoints());

  EXPECT_EQ(kIOReturnSuccess, mInterface->ClearPipeStallBothEnds(kPipeIn));
  EXPECT_EQ(kIOReturnSuccess, mInterface->ClearPipeStallBothEnds(kPipeOut));
  EXPECT_EQ((std::vector<unsigned>{0x81, 0x02}), mScanner->ClearedHalts());
  EXPECT_EQ(kIOReturnSuccess, mInterface->Close());
  EXPECT_EQ(kIOReturnSuccess, mDevice->Close());
}

// A read-check model keeps reading after a short read, each follow-up
// request cut to whole 512-byte blocks: 100000 bytes answered with 65536 and
// 34304 leave a request of 0, which ends the data phase without a transfer,
// so the status block that follows is read as the status.
TEST_F(LibusbBackendTest, ReadCheckRequestCutToNothingLeavesThePipeAlone) {
  SetBusForTesting(mBus.get());
  ZuzuvovOvav::Device device;
  ASSERT_TRUE(device.FindScanner(kScannerLocation)) << device.GetErrMsg();
  ASSERT_TRUE(device.ImplementsReadCheck());
  mScanner->QueueReply(std::vector<uint8_t>(65536, 0x11));
  mScanner->QueueReply(std::vector<uint8_t>(34304, 0x22));
  mScanner->QueueReply({0x53, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  const size_t readsBefore = mScanner->ReadEndpoints().size();
  ZuzuvovOvav::Cmd_ReadImage read(device, ZuzuvovOvav::kWindowFront, 100000);
  ASSERT_EQ(0, read.SendToScanner()) << read.mErrMsg;
  EXPECT_EQ(0, read.mResult.mStatus);
  EXPECT_EQ(99840u, read.mResult.mXferCount);
  EXPECT_EQ(0x22, read.GetRcvBytes()[99839]);
  EXPECT_EQ(3u, mScanner->ReadEndpoints().size() - readsBefore) << "two data reads and the status";
}

TEST_F(LibusbBackendTest, SilentDeviceTimesOutWithTheLargerTimeOut) {
  OpenScanner();
  uint8_t buf[64];
  uint32_t size = sizeof buf;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(kIOUSBTransactionTimeout, mInterface->ReadPipe(kPipeIn, buf, &size, 100, 300));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(0u, size);
  // libusb cannot give up early; a wait far beyond the time-out means the
  // argument did not reach it.
  EXPECT_GE(elapsed, std::chrono::milliseconds(290));
  EXPECT_LT(elapsed, std::chrono::seconds(10));

  // Data that stops arriving: the caller learns how much came.
  mScanner->QueuePartialReply({1, 2, 3, 4, 5});
  size = sizeof buf;
  EXPECT_EQ(kIOUSBTransactionTimeout, mInterface->ReadPipe(kPipeIn, buf, &size, 50, 100));
  EXPECT_EQ(5u, size);
  EXPECT_EQ(5, buf[4]);
}

TEST_F(LibusbBackendTest, FailuresArriveAsHostCodes) {
  // Another program holds the interface: exclusive access, and a later
  // attempt succeeds once it is free (the device layer retries).
  auto device = mBus->FindByLocation(kScannerLocation);
  ASSERT_TRUE(device);
  mScanner->SetClaimBusy(true);
  EXPECT_EQ(kIOReturnExclusiveAccess, device->Open());
  EXPECT_EQ(kIOReturnExclusiveAccess, device->Open());
  mScanner->SetClaimBusy(false);
  EXPECT_EQ(kIOReturnSuccess, device->Open());
  device.reset();

  OpenScanner();
  mScanner->QueueStall();
  uint8_t buf[16];
  uint32_t size = sizeof buf;
  EXPECT_EQ(kIOUSBPipeStalled, mInterface->ReadPipe(kPipeIn, buf, &size, 1000, 1000));
  EXPECT_EQ(0u, size);

  // Pipes other than 1 and 2, or used against their direction, are refused.
  size = sizeof buf;
  EXPECT_EQ(kIOReturnBadArgument, mInterface->ReadPipe(3, buf, &size, 1000, 1000));
  EXPECT_EQ(kIOReturnBadArgument, mInterface->WritePipe(kPipeIn, buf, sizeof buf, 1000, 1000));
  EXPECT_EQ(kIOReturnBadArgument, mInterface->ClearPipeStallBothEnds(0));

  // A closed device leaves its interface unusable, not dangling.
  EXPECT_EQ(kIOReturnSuccess, mDevice->Close());
  EXPECT_EQ(kIOReturnNotOpen, mInterface->WritePipe(kPipeOut, buf, sizeof buf, 1000, 1000));
  EXPECT_EQ(kIOReturnNotOpen, mDevice->Reset());
  EXPECT_TRUE(mScanner->Writes().empty());
}

TEST_F(LibusbBackendTest, HotPlugReportsArrivalAndDepartureOfTheVendorsDevices) {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<HotPlugEvent, UsbDeviceDesc>> events;
  ASSERT_TRUE(mBus->WatchHotPlug(0x04c5, [&](HotPlugEvent event, const UsbDeviceDesc& desc) {
    std::lock_guard<std::mutex> lock(mutex);
    events.emplace_back(event, desc);
    changed.notify_all();
  }));
  auto waitFor = [&](size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    // A bound on a wait for an event, not a measurement.
    return changed.wait_for(lock, std::chrono::seconds(20), [&] { return events.size() >= count; });
  };

  // Another vendor's device comes and goes unreported; then a fi-7260
  // arrives on port 3 of the root hub, and leaves.
  const std::string root = std::string(kPci) + "/usb3";
  std::string mouse = DescribeDevice(root, "3-5", 3, 9, "046d", "c077", "12", Descriptors("6D04", "77C0", 0, {kInterruptIn83}));
  std::string scanner = DescribeDevice(root, "3-3", 3, 8, "04c5", "132f", "5000",
                                       Descriptors("C504", "2F13", 0, {kBulkIn81, kBulkOut02}));
  ASSERT_TRUE(umockdev_testbed_add_from_string(mTestbed, mouse.c_str(), nullptr));
  umockdev_testbed_uevent(mTestbed, (std::string("/sys") + root + "/3-5").c_str(), "add");
  ASSERT_TRUE(umockdev_testbed_add_from_string(mTestbed, scanner.c_str(), nullptr));
  const std::string scannerPath = std::string("/sys") + root + "/3-3";
  umockdev_testbed_uevent(mTestbed, scannerPath.c_str(), "add");
  ASSERT_TRUE(waitFor(1));
  auto arrived = mBus->FindByLocation(0x03300000);
  ASSERT_TRUE(arrived);
  int speed = -1;
  EXPECT_EQ(kIOReturnSuccess, arrived->GetDeviceSpeed(&speed));
  EXPECT_EQ(kUsbSpeedSuper, speed);
  umockdev_testbed_uevent(mTestbed, scannerPath.c_str(), "remove");
  ASSERT_TRUE(waitFor(2));

  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(2u, events.size());
  EXPECT_EQ(HotPlugEvent::kArrived, events[0].first);
  EXPECT_EQ(0x132fu, events[0].second.productId);
  EXPECT_EQ(0x03300000u, events[0].second.locationId);
  EXPECT_EQ(HotPlugEvent::kLeft, events[1].first);
  EXPECT_EQ(0x03300000u, events[1].second.locationId);
}

// The command-line tool, run as a child process: the umockdev environment
// (preload library and testbed folder) passes to it with the environment.
class QuirelToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UnderUmockdev()) GTEST_SKIP() << kSkipReason;
    mTestbed = umockdev_testbed_new();
    ASSERT_NO_FATAL_FAILURE(AddBus3(mTestbed));
  }
  void TearDown() override {
    if (mTestbed) g_object_unref(mTestbed);
  }

  // Runs the tool on the real (mocked) bus; its standard output, and its
  // standard error too when `withErrors`.
  std::string Run(const std::string& args, int* status, bool withErrors = false, const std::string& prefix = "") {
    std::string out;
    std::string command = prefix + "env -u QUIREL_VIRTUAL_SCANNER '" + quirel::testing::ToolPath() + "' " + args +
                          (withErrors ? " 2>&1" : " 2>/dev/null");
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
      ADD_FAILURE() << "cannot run " << command;
      return out;
    }
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    int rc = pclose(pipe);
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
  }

  UMockdevTestbed* mTestbed = nullptr;
};

TEST_F(QuirelToolTest, EnumerateListsTheScannerWithItsLocation) {
  int status = -1;
  std::string out = Run("--enumerate", &status);
  EXPECT_EQ(0, status);
  EXPECT_NE(std::string::npos, out.find("\nfi-7160 4c5 132e 3140000\n")) << out;
  EXPECT_EQ(std::string::npos, out.find("46d")) << "only supported scanners are listed:\n" << out;
}

TEST_F(QuirelToolTest, CapabilitiesOfTheScannerAndOfAnotherDevice) {
  int status = -1;
  std::string out = Run("--capabilities 3140000", &status);
  EXPECT_EQ(0, status);
  EXPECT_NE(std::string::npos, out.find("model: fi-7160\n")) << out;
  EXPECT_NE(std::string::npos, out.find("supported: y\n")) << out;
  EXPECT_NE(std::string::npos, out.find("adf width: 8.85\n")) << out;
  EXPECT_NE(std::string::npos, out.find("adf length: 106.3\n")) << out;

  out = Run("--capabilities 3200000", &status, true);
  EXPECT_NE(0, status);
  EXPECT_EQ(std::string::npos, out.find("supported: y")) << out;
  EXPECT_NE(std::string::npos, out.find("not a scanner")) << out;
}

// A scanner that is listed but cannot be opened: the scan says once, on
// standard error, which scanner and why, with what to do, before the job
// sends anything; a permission problem is told at once, a scanner held by
// another program after the device layer's usual wait for it.
TEST_F(QuirelToolTest, AScannerThatCannotBeOpenedIsNamedWithTheCause) {
  struct Case {
    const char* name;
    bool busy;  // else: a device node this user cannot open
    std::vector<std::string> texts;
    double minSeconds;  // a scanner in use is waited for, as the device layer waits for it
    double maxSeconds;
  };
  const Case cases[] = {
      {"permission",
       false,
       {"quirel: the scanner fi-7160 at USB location 3140000 cannot be opened: permission denied.\n",
        "sudo cp udev/60-quirel.rules /etc/udev/rules.d/\n",
        "sudo udevadm control --reload && sudo udevadm trigger\n"},
       0,
       3},
      {"busy",
       true,
       {"quirel: the scanner fi-7160 at USB location 3140000 cannot be opened: another program is using it."},
       4,
       20},
  };
  const std::string root = umockdev_testbed_get_root_dir(mTestbed);
  const std::string node = root + "/dev/bus/usb/003/007";
  const quirel::testing::TempDir tmp("umockdev");
  ASSERT_FALSE(tmp.Path().empty());
  const std::string folder = tmp.Path();
  ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<FakeUsbDevice> scanner;
    std::string prefix;
    if (c.busy) {
      scanner = std::make_unique<FakeUsbDevice>(mTestbed, "/dev/bus/usb/003/007");
      scanner->SetClaimBusy(true);
    } else {
      // Permissions do not hold back the superuser: run the tool as nobody,
      // who must still read the simulated sysfs and reach its udev socket.
      if (geteuid() == 0) {
        ASSERT_EQ(std::system(("chmod -R a+rwX '" + root + "'").c_str()), 0);
        prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
      }
      ASSERT_EQ(chmod(node.c_str(), 0), 0);
    }
    const std::string output = folder + "/scan-" + c.name + ".pdf";
    int status = -1;
    const auto start = std::chrono::steady_clock::now();
    std::string out = Run("--pdf " + output, &status, true, prefix);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(2, status) << out;
    for (const auto& text : c.texts) EXPECT_NE(std::string::npos, out.find(text)) << out;
    // Once, and without the job's own attempts.
    EXPECT_EQ(out.find("cannot be opened"), out.rfind("cannot be opened")) << out;
    EXPECT_EQ(std::string::npos, out.find("opening device")) << out;
    EXPECT_EQ(std::string::npos, out.find("Supported scanner")) << out;
    EXPECT_GE(seconds, c.minSeconds);
    EXPECT_LT(seconds, c.maxSeconds);
    EXPECT_NE(0, access(output.c_str(), F_OK));
    if (scanner) {
      EXPECT_TRUE(scanner->Writes().empty()) << "a command was sent";
    }
  }
}

TEST(LocationId, BusInTopByteAndOnePortPerNibble) {
  const uint8_t ports[] = {1, 4, 2, 3, 5, 6, 7};
  EXPECT_EQ(0x03000000u, MakeLocationId(3, ports, 0));
  EXPECT_EQ(0x03140000u, MakeLocationId(3, ports, 2));
  EXPECT_EQ(0xFA142356u, MakeLocationId(0xFA, ports, 7));  // six tiers fit
  const uint8_t distinct[] = {2, 1};
  EXPECT_NE(MakeLocationId(1, ports, 2), MakeLocationId(1, distinct, 2));
}

}  // namespace
