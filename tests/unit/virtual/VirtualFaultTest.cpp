// Paper conditions and injected faults, seen through the engine's commands.
#include "VirtualTestRig.h"

namespace quirel::vtest {
namespace {

constexpr uint32_t kW = 400, kH = 300;

// Scans the first sheet of a generated stack in gray and reads its front.
SideRead ScanFront(VirtualRig& rig, std::string* scanText = nullptr, SetUpOptions options = {}) {
  ScanParams p = Window(kImageTypeGray, kW, kH);
  SetUpScan(rig.Dev(), &p, nullptr, options);
  std::string text = LoadAndScan(rig.Dev(), false);
  if (scanText) *scanText = text;
  if (!text.empty()) return SideRead();
  return ReadSides(rig.Dev(), {kWindowFront}, 20000)[kWindowFront];
}

TEST(VirtualFaults, HopperEmptiesAfterTheLastSheet) {
  VirtualRig empty("model=fi-7160;sheets=0");
  ASSERT_TRUE(empty.Open());
  std::string text;
  ScanFront(empty, &text);
  EXPECT_EQ(text, "No paper on hopper (Cmd_ObjectPosition 03:80:03)");

  VirtualRig two("model=fi-7160;sheets=2");
  ASSERT_TRUE(two.Open());
  EXPECT_TRUE(ScanFront(two).ended);
  EXPECT_EQ(LoadAndScan(two.Dev(), false), "");
  EXPECT_EQ(LoadAndScan(two.Dev(), false), "No paper on hopper (Cmd_ObjectPosition 03:80:03)");
  // Opening the scanner again stands for a stack put back into the hopper.
  ASSERT_TRUE(two.Open());
  EXPECT_TRUE(ScanFront(two).ended);
}

TEST(VirtualFaults, PaperErrorsStopTheSheetPartway) {
  struct Case {
    const char* faults;
    bool detect;
    const char* text;
  } cases[] = {
      {"jam=2", false, "Paper jam detected (Cmd_ReadImage 03:80:01)"},
      {"doublefeed=2", true, "Double feed error (Cmd_ReadImage 03:80:07)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults);
    VirtualRig rig(std::string("model=fi-6130;faults=") + c.faults);
    ASSERT_TRUE(rig.Open());
    EXPECT_TRUE(ScanFront(rig, nullptr, {.doubleFeedDetect = c.detect}).ended);  // sheet 1 is clean
    ASSERT_EQ(LoadAndScan(rig.Dev(), false), "");
    SideRead side = ReadSides(rig.Dev(), {kWindowFront}, 20000)[kWindowFront];
    EXPECT_FALSE(side.ended);
    EXPECT_EQ(side.failure, c.text);
    EXPECT_GT(side.data.size(), 0u);
    EXPECT_LT(side.data.size(), size_t(kW * kH));
  }
}

TEST(VirtualFaults, DoubleFeedIsOnlyNotedWhenScanningGoesOnOrDetectionIsOff) {
  for (bool detect : {true, false}) {
    SCOPED_TRACE(detect);
    VirtualRig rig("model=fi-7180;faults=doublefeed=1");
    ASSERT_TRUE(rig.Open());
    SideRead side = ScanFront(rig, nullptr, {.doubleFeedDetect = detect, .keepScanning = true});
    EXPECT_TRUE(side.ended) << side.failure;
    EXPECT_EQ(side.data.size(), size_t(kW * kH));
    Cmd_ScannerControl control(rig.Dev(), Cmd_ScannerControl::kControl9);
    EXPECT_GOOD(control);
    Cmd_GetHardwareStatus status(rig.Dev());
    EXPECT_GOOD(status);
    EXPECT_EQ(status.mDoubleFeed, detect);
  }
}

TEST(VirtualFaults, CoverOpenFailsTheLoad) {
  VirtualRig rig("model=fi-6130;faults=coveropen");
  ASSERT_TRUE(rig.Open());
  std::string text;
  ScanFront(rig, &text);
  EXPECT_EQ(text, "Automatic document feeder cover is open (Cmd_ObjectPosition 03:80:02)");
}

TEST(VirtualFaults, UnplugMidSheetLeavesNoDevice) {
  VirtualRig rig("model=fi-6130;faults=unplug=1");
  ASSERT_TRUE(rig.Open());
  std::vector<usb::HotPlugEvent> events;
  ASSERT_TRUE(rig.bus->WatchHotPlug(kFujitsuVendorId, [&](usb::HotPlugEvent e, const usb::UsbDeviceDesc&) { events.push_back(e); }));
  SideRead side = ScanFront(rig);
  EXPECT_EQ(side.transport, int(usb::kIOReturnNoDevice));
  EXPECT_GT(side.data.size(), 0u);
  Cmd_TestUnitReady tur(rig.Dev());
  EXPECT_EQ(tur.SendToScanner(), int(usb::kIOReturnNoDevice));
  EXPECT_TRUE(rig.bus->Enumerate().empty());
  EXPECT_EQ(events, std::vector<usb::HotPlugEvent>{usb::HotPlugEvent::kLeft});
  Device again;
  EXPECT_FALSE(again.FindScanner(0x14100000));
}

TEST(VirtualFaults, BusyAnswersBeforeData) {
  // With read checks the check answers "not ready" (check condition, then busy).
  VirtualRig checked("model=fi-6130;faults=busy=3");
  ASSERT_TRUE(checked.Open());
  ScanParams p = Window(kImageTypeGray, kW, kH);
  SetUpScan(checked.Dev(), &p, nullptr);
  ASSERT_EQ(LoadAndScan(checked.Dev(), false), "");
  std::vector<int> answers;
  for (int i = 0; i < 4; ++i) {
    Cmd_ReadImageCheck check(checked.Dev(), kWindowFront, 20000);
    EXPECT_EQ(check.SendToScanner(), 0);
    answers.push_back(check.mResult.mStatus * 0x100 + check.mResult.mAscq);
  }
  EXPECT_EQ(answers, (std::vector<int>{0x113, 0x400, 0x113, 0}));

  // Without read checks the READs themselves answer not ready.
  VirtualRig plain("model=fi-5120C;faults=busy=3");
  ASSERT_TRUE(plain.Open());
  SideRead side = ScanFront(plain);
  EXPECT_TRUE(side.ended);
  EXPECT_EQ(side.notReady, 3);
  EXPECT_EQ(side.data.size(), size_t(kW * kH));
}

TEST(VirtualFaults, ShortReadsAndBogusTimeoutsLoseNoData) {
  VirtualRig clean("model=fi-5120C");
  ASSERT_TRUE(clean.Open());
  SideRead reference = ScanFront(clean);
  ASSERT_TRUE(reference.ended);
  for (const char* model : {"fi-5120C", "fi-6130"}) {  // without and with read check
    SCOPED_TRACE(model);
    VirtualRig rig(std::string("model=") + model + ";faults=shortreads,bogustimeout");
    ASSERT_TRUE(rig.Open());
    SideRead side = ScanFront(rig);
    EXPECT_TRUE(side.ended) << side.failure;
    EXPECT_EQ(side.data, reference.data);
    // Without read check every short transfer ends its READ, so more READs
    // are needed; with read check the transport asks for the rest itself.
    if (std::string(model) == "fi-5120C") {
      EXPECT_GT(side.reads, reference.reads);
    } else {
      EXPECT_EQ(side.reads, reference.reads);
    }
    // The bogus time-out was answered at once and retried after a pause.
    EXPECT_NE(std::find(rig.clock.sleeps.begin(), rig.clock.sleeps.end(), 100000u), rig.clock.sleeps.end());
  }
}

TEST(VirtualFaults, LampWarmsUpThenGetsReady) {
  VirtualRig rig("model=fi-7160;faults=lampwarmup=2");
  ASSERT_TRUE(rig.Open());
  for (int i = 0; i < 3; ++i) {
    Cmd_ScannerControl lamp(rig.Dev(), Cmd_ScannerControl::kLampReadyCheck);
    EXPECT_EQ(lamp.SendToScanner(), 0);
    if (i < 2) {
      EXPECT_EQ(lamp.mResult.mStatus, 1);
      EXPECT_EQ(std::string(lamp.mSenseMsg).rfind("Lamp still warming up (Cmd_ScannerControl 02:", 0), 0u) << lamp.mSenseMsg;
    } else {
      EXPECT_EQ(lamp.mResult.mStatus, 0);
    }
  }
}

// Commands the scanner refuses: limits of the model and misuse.
TEST(VirtualFaults, RefusedCommands) {
  VirtualRig rig("model=fi-4120C");  // 32K reads, no read check
  ASSERT_TRUE(rig.Open());
  ScanParams p = Window(kImageTypeGray, kW, kH);
  SetUpScan(rig.Dev(), &p, nullptr);
  ASSERT_EQ(LoadAndScan(rig.Dev(), false), "");
  Cmd_ReadImage big(rig.Dev(), kWindowFront, 32769);
  EXPECT_EQ(big.SendToScanner(), 0);
  EXPECT_STREQ(big.mSenseMsg, "Invalid CDB field (Cmd_ReadImage 05:24:00)");
  Cmd_ReadImageCheck check(rig.Dev(), kWindowFront, 1000);  // no read check on this model
  EXPECT_EQ(check.SendToScanner(), 0);
  EXPECT_STREQ(check.mSenseMsg, "Invalid CDB field (Cmd_ReadImageCheck 05:24:00)");

  // A window wider than the feeder, and JPEG for line art.
  ScanParams wide = Window(kImageTypeGray, 300 * 9, 100);
  ScanParams jpegLineArt = JpegWindow(kImageTypeLineArt, 320, 100, 5, 129);
  for (const ScanParams* w : {&wide, &jpegLineArt}) {
    Cmd_WdwRec rec(*w);
    Cmd_SetWindow set(rig.Dev(), &rec, nullptr);
    EXPECT_EQ(set.SendToScanner(), 0);
    EXPECT_STREQ(set.mSenseMsg, "Invalid parameter (Cmd_SetWindow 05:26:00)");
  }
}

TEST(VirtualFaults, FlatbedScansOneSideOnModelsWithAFlatbed) {
  VirtualRig rig("model=fi-6230;sheets=0");
  ASSERT_TRUE(rig.Open());
  ScanParams p = Window(kImageTypeGray, kW, kH);
  SetUpScan(rig.Dev(), &p, &p);
  Cmd_ScannerControl flatbed(rig.Dev(), Cmd_ScannerControl::kSelectFlatbed);
  EXPECT_GOOD(flatbed);
  Cmd_Scan duplex(rig.Dev(), kSideFront | kSideBack);
  EXPECT_EQ(duplex.SendToScanner(), 0);
  EXPECT_STREQ(duplex.mSenseMsg, "Wrong window combination (Cmd_Scan 05:2c:02)");
  // The glass holds a page even with an empty hopper, and it can be scanned again.
  for (int pass = 0; pass < 2; ++pass) {
    Cmd_Scan scan(rig.Dev(), kSideFront);
    EXPECT_GOOD(scan);
    SideRead side = ReadSides(rig.Dev(), {kWindowFront}, 20000)[kWindowFront];
    EXPECT_TRUE(side.ended);
    EXPECT_EQ(side.data.size(), size_t(kW * kH));
  }
}

}  // namespace
}  // namespace quirel::vtest
