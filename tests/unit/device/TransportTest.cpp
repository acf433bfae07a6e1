#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <sstream>

#include "CmdTestDevice.h"

using namespace ZuzuvovOvav;
using namespace quirel::testing;
namespace usb = quirel::usb;

TEST(Transport, CommandsArePacedFromThePreviousStatusPhase) {
  CmdTestDevice t(kS500);  // 125 us between commands
  t.usb->ScriptNoDataCommand();
  t.usb->ScriptNoDataCommand();
  Cmd_ObjectPosition first(t.device, Cmd_ObjectPosition::kLoad);
  ASSERT_EQ(first.SendToScanner(), 0);
  t.clock.Advance(50);
  Cmd_TestUnitReady second(t.device);
  ASSERT_EQ(second.SendToScanner(), 0);

  const auto writes = t.usb->Ops(UsbOp::kWrite);
  const auto reads = t.usb->Ops(UsbOp::kRead);
  ASSERT_EQ(writes[0].data.size(), 31u);
  EXPECT_EQ(writes[0].data, (Bytes{0x43, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x31, 1, 0, 0, 0, 0,
                                   0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(reads[0].requested, 13u);
  EXPECT_GE(writes[1].atMicros - reads[0].atMicros, 125u);
  // No pacing before the first command; the second waits the 75 us missing.
  EXPECT_EQ(t.clock.sleeps, (std::vector<uint64_t>{125, 75, 125}));
  EXPECT_EQ(t.device.GetLastCmdTime(), (long long)reads[1].atMicros);
}

TEST(Transport, ShortReadsEndOrContinueByReadCheck) {
  {
    CmdTestDevice t(kFi4340C);
    t.usb->ScriptDataInCommand(Pattern(65536, 1));
    Cmd_ReadImage cmd(t.device, kWindowFront, 100000);
    ASSERT_EQ(cmd.SendToScanner(), 0) << cmd.mErrMsg;
    EXPECT_TRUE(t.usb->ScriptDone());
    EXPECT_EQ(cmd.mResult.mXferCount, 65536u);
  }
  CmdTestDevice t(kFi7160);
  const Bytes part1 = Pattern(65536, 1), part2 = Pattern(34304, 9);
  t.usb->ExpectWrite();
  t.usb->QueueRead(part1);
  t.usb->QueueRead(part2);
  t.usb->QueueRead({});  // the request rounded down to 0: an empty read ends the phase
  t.usb->QueueStatus(0);
  Cmd_ReadImage cmd(t.device, kWindowFront, 100000);
  ASSERT_EQ(cmd.SendToScanner(), 0) << cmd.mErrMsg;
  const auto reads = t.usb->Ops(UsbOp::kRead);
  ASSERT_EQ(reads.size(), 4u);
  EXPECT_EQ(reads[1].requested, 34304u);
  EXPECT_EQ(reads[2].requested, 0u);
  EXPECT_EQ(cmd.mResult.mXferCount, 99840u);
  uint8_t* data = cmd.AdoptRcvBytes();
  EXPECT_EQ(Bytes(data, data + 65536), part1);
  EXPECT_EQ(Bytes(data + 65536, data + 99840), part2);
  std::free(data);
}

TEST(Transport, EarlyTimeoutsAreRetriedForTwentyNineSeconds) {
  {
    CmdTestDevice t(kFi7160);
    const Bytes head = Pattern(512, 5), rest = Pattern(1536, 77);
    t.usb->ExpectWrite();
    t.usb->QueueRead({}, usb::kIOUSBTransactionTimeout, 3'000'000);
    t.usb->QueueRead(head, usb::kIOUSBTransactionTimeout, 1'000'000);  // bytes before a time-out are kept
    t.usb->QueueRead(rest);
    t.usb->QueueStatus(0);
    Cmd_ReadImage cmd(t.device, kWindowFront, 2048);
    ASSERT_EQ(cmd.SendToScanner(), 0) << cmd.mErrMsg;
    ASSERT_EQ(t.usb->log.size(), 7u);
    EXPECT_EQ(t.usb->log[2].kind, UsbOp::kClearStall);
    EXPECT_EQ(t.usb->log[2].pipe, usb::kPipeIn);
    EXPECT_GE(t.usb->log[3].atMicros - t.usb->log[2].atMicros, 100'000u);
    EXPECT_EQ(t.usb->log[3].requested, 2048u);
    EXPECT_EQ(t.usb->log[5].requested, 1536u);
    uint8_t* got = cmd.GetRcvBytes();
    EXPECT_EQ(Bytes(got, got + 512), head);
    EXPECT_EQ(Bytes(got + 512, got + 2048), rest);
  }
  // The limit counts from the first attempt: just under it is retried, at it fails.
  for (uint64_t first : {28'999'999ull, 29'000'000ull}) {
    CmdTestDevice t(kFi7160);
    t.usb->ExpectWrite();
    t.usb->QueueRead({}, usb::kIOUSBTransactionTimeout, first);
    if (first < 29'000'000) t.usb->QueueRead({}, usb::kIOUSBTransactionTimeout, 0);
    Cmd_ReadImage cmd(t.device, kWindowBack, 4096);
    EXPECT_EQ(cmd.SendToScanner(), int(usb::kIOUSBTransactionTimeout));
    EXPECT_TRUE(t.usb->ScriptDone());
    EXPECT_STREQ(cmd.mErrMsg, "Command Cmd_ReadImage: error (0xe0004051: 0x38, 0x1, 0x51) reading data from scanner.");
  }
}

TEST(Transport, StatusOutcomes) {
  {
    CmdTestDevice t(kFi7160);
    t.usb->ExpectWrite();
    t.usb->QueueRead(Bytes(12, 0));
    Cmd_TestUnitReady cmd(t.device);
    EXPECT_EQ(cmd.SendToScanner(), int(usb::kIOUSBIncorrectStatusLength));
    EXPECT_STREQ(cmd.mErrMsg, "Incorrect number of status bytes read: 12");
    EXPECT_EQ(t.device.GetLastCmdTime(), (long long)t.clock.NowMicros());
  }
  {
    CmdTestDevice t(kFi4340C);
    t.usb->ScriptDataInCommand(Bytes(24, 0x11), 0x08);
    Cmd_ReadPixelSize cmd(t.device);
    ASSERT_EQ(cmd.SendToScanner(), 0);
    EXPECT_TRUE(t.usb->ScriptDone()) << "no sense after busy";
    EXPECT_EQ(cmd.mResult.mStatus, 4);
    EXPECT_EQ(cmd.mPixelWidth, 0u) << "a busy reply is not parsed";
    EXPECT_EQ(cmd.mResult.mXferCount, 24u);
  }
  CmdTestDevice t(kFi4340C);
  t.usb->ScriptDataInCommand(Pattern(1000, 2), 0x02);
  t.usb->ScriptDataInCommand(SenseData(0x60, 3000, 0x80, 0x13));
  Cmd_ReadImage cmd(t.device, kWindowFront, 4096);
  ASSERT_EQ(cmd.SendToScanner(), 0) << cmd.mErrMsg;
  EXPECT_TRUE(t.usb->ScriptDone());
  EXPECT_EQ(t.CdbWritten(1), Cdb({0x03, 0, 0, 0, 18}));
  EXPECT_GE(t.usb->Ops(UsbOp::kWrite)[1].atMicros - t.usb->Ops(UsbOp::kRead)[1].atMicros, 125u) << "sense is paced";
  const Result& r = cmd.mResult;
  EXPECT_EQ(r.mStatus, 1) << "the command's own status, not the sense command's";
  EXPECT_TRUE(r.mValid && r.mFilemark && r.mEom && r.mIli);
  EXPECT_EQ(r.mErrorCode, 0x70);
  EXPECT_EQ(r.mInfo, 3000);
  EXPECT_EQ(r.mXferCount, 1000u);
  EXPECT_STREQ(cmd.mSenseMsg, "No sense data (Cmd_ReadImage 00:80:13)");
}

TEST(Transport, FailedSense) {
  {
    CmdTestDevice t(kFi7160);
    t.usb->ScriptNoDataCommand(0x02);
    t.usb->ExpectWrite(usb::kIOReturnNotResponding);
    Cmd_TestUnitReady cmd(t.device);
    EXPECT_EQ(cmd.SendToScanner(), int(usb::kIOReturnNotResponding));
    EXPECT_STREQ(cmd.mErrMsg,
                 "Command Cmd_TestUnitReady: error (0xe00002ed: 0x38, 0x0, 0x2ed) getting sense data from scanner.");
    EXPECT_EQ(cmd.mResult.mStatus, 1);
  }
  // A sense command that itself ends in check condition asks no further sense.
  CmdTestDevice t(kFi7160);
  t.usb->ScriptNoDataCommand(0x02);
  t.usb->ScriptDataInCommand(SenseData(0x03, 0, 0x80, 0x01), 0x02);
  Cmd_TestUnitReady cmd(t.device);
  EXPECT_EQ(cmd.SendToScanner(), 0);
  EXPECT_TRUE(t.usb->ScriptDone());
  EXPECT_EQ(cmd.mResult.mStatus, 1);
}

namespace {
constexpr usb::IOReturn kFailure = usb::kIOReturnNotResponding;

template <class Cmd>
std::string FailureText(void (*script)(ScriptedInterface&)) {
  CmdTestDevice t(kFi7160);
  script(*t.usb);
  Cmd cmd(t.device);
  EXPECT_EQ(cmd.SendToScanner(), int(kFailure));
  EXPECT_TRUE(t.usb->Ops(UsbOp::kClearStall).empty()) << "only a time-out is retried";
  return cmd.mErrMsg;
}
}  // namespace

TEST(Transport, EachPhaseNamesItselfInTheErrorText) {
  const std::string err = ": error (0xe00002ed: 0x38, 0x0, 0x2ed) ";
  EXPECT_EQ(FailureText<Cmd_TestUnitReady>([](ScriptedInterface& u) { u.ExpectWrite(kFailure); }),
            "Command Cmd_TestUnitReady" + err + "sending command to scanner.");
  EXPECT_EQ(FailureText<Cmd_ModeSelect_ResetAll>([](ScriptedInterface& u) {
              u.ExpectWrite();
              u.ExpectWrite(kFailure);
            }),
            "Command Cmd_ModeSelect_ResetAll" + err + "sending data to scanner.");
  EXPECT_EQ(FailureText<Cmd_InquiryStd>([](ScriptedInterface& u) {
              u.ExpectWrite();
              u.QueueRead({}, kFailure);
            }),
            "Command Cmd_InquiryStd" + err + "reading data from scanner.");
  EXPECT_EQ(FailureText<Cmd_Reserve>([](ScriptedInterface& u) {
              u.ExpectWrite();
              u.QueueRead({}, kFailure);
            }),
            "Command Cmd_Reserve" + err + "reading status from scanner.");
  Device closed;
  Cmd_TestUnitReady cmd(closed);
  EXPECT_EQ(cmd.SendToScanner(), int(usb::kIOReturnNotOpen)) << "a closed device fails instead of crashing";
}

TEST(Transport, TraceLinesWhenVerbose) {
  CmdTestDevice t(kFi7160);
  t.usb->ScriptNoDataCommand();
  t.usb->ExpectWrite();
  t.usb->QueueRead({}, usb::kIOUSBTransactionTimeout);
  std::ostringstream captured;
  std::streambuf* old = std::clog.rdbuf(captured.rdbuf());
  gVerbose = true;
  Cmd_TestUnitReady ok(t.device);
  ok.SendToScanner();
  Cmd_Release failing(t.device);
  failing.SendToScanner();
  gVerbose = false;
  std::clog.rdbuf(old);
  EXPECT_EQ(std::clog.flags() & std::ios::basefield, std::ios::dec) << "the error line leaves the log in decimal";
  // The fake clock starts on a whole second, so stamps count from 00000.000.
  EXPECT_EQ(captured.str(),
            "inter/intra-cmd delays: 5/5\n"
            "00000.000 -- Cmd_TestUnitReady -> \n"
            "00000.005 -- Cmd_TestUnitReady <- 0 (0x00 0x00 0x00 0x00) \n"
            "inter/intra-cmd delays: 5/5\n"
            "00000.005 -- Cmd_Release -> \n"
            "sleeping to ensure inter-command timing: 0\n"
            "00000.015 -- Cmd_Release <- error (e0004051, 38, 1, 51) reading status from scanner\n");
}
