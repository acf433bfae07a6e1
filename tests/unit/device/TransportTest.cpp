// Tests of the command transport: pacing, data phases, time-outs, status, sense, texts, trace.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <sstream>

#include "AllocFailure.h"
#include "CmdTestDevice.h"

using namespace ZuzuvovOvav;
using namespace quirel::testing;
namespace usb = quirel::usb;

// Every pause of a command is the model's USB delay: before the command
// block (counted from the previous status phase), before the data out, before
// each data-in read and before the status. With a delay of 0 nothing sleeps.
TEST(Transport, CommandsArePacedByTheUsbDelay) {
  for (uint32_t delay : {125u, 0u}) {
    SCOPED_TRACE(delay);
    CmdTestDevice t(kS500);  // 125 us between commands, read check
    ProductSettings row = *t.device.GetSettings();
    row.mUsbDelay = delay;
    t.device.SetSettingsForTesting(&row);
    t.usb->ScriptDataOutCommand();
    t.usb->ExpectWrite();
    t.usb->QueueRead(Pattern(512, 1));
    t.usb->QueueRead(Pattern(512, 2));  // a short read continues on a read-check model
    t.usb->QueueStatus(0);
    Cmd_ModeSelect_ResetAll first(t.device);
    ASSERT_EQ(first.SendToScanner(), 0);
    t.clock.Advance(delay ? 50 : 0);  // back to back: no time has passed since the status
    Cmd_ReadImage second(t.device, kWindowFront, 1024);
    ASSERT_EQ(second.SendToScanner(), 0);

    const auto writes = t.usb->Ops(UsbOp::kWrite);
    const auto reads = t.usb->Ops(UsbOp::kRead);
    EXPECT_EQ(writes[0].data, (Bytes{0x43, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x15, 0x10, 0, 0, 12,
                                     0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(reads[0].requested, 13u);
    EXPECT_GE(writes[2].atMicros - reads[0].atMicros, delay);
    // No pacing before the first command; the second waits the 75 us missing.
    const std::vector<uint64_t> paced{125, 125, 75, 125, 125, 125};
    EXPECT_EQ(t.clock.sleeps, delay ? paced : std::vector<uint64_t>{});
    EXPECT_EQ(t.device.GetLastCmdTime(), (long long)reads.back().atMicros);
  }
}

// Without read check a short READ ends the data phase. A READ asks for at
// most the 24 bits of its length field.
TEST(Transport, ShortReadEndsTheDataPhaseWithoutReadCheck) {
  CmdTestDevice t(kFi4340C);
  t.usb->ScriptDataInCommand(Pattern(65536, 1));
  Cmd_ReadImage cmd(t.device, kWindowFront, 0x1000000);
  ASSERT_EQ(cmd.SendToScanner(), 0) << cmd.mErrMsg;
  EXPECT_TRUE(t.usb->ScriptDone());
  EXPECT_EQ(t.CdbWritten(0), Cdb({0x28, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(t.usb->Ops(UsbOp::kRead)[0].requested, 0xFFFFFFu);
  EXPECT_EQ(cmd.mResult.mXferCount, 65536u);
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
  EXPECT_TRUE(r.mValid && !r.mFilemark && r.mEom && r.mIli);
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
  // A READ without memory for its data fails before the scanner is asked.
  if (!FailAllocation::Available()) return;
  CmdTestDevice t(kFi7160);
  FailAllocation fail(1 << 20, 1);
  Cmd_ReadImage read(t.device, kWindowFront, 0xFFFFFF);
  EXPECT_EQ(read.SendToScanner(), int(usb::kIOReturnNoMemory));
  EXPECT_EQ(std::string(read.mErrMsg),
            "Command Cmd_ReadImage: error (0xe00002bd: 0x38, 0x0, 0x2bd) not enough memory for data from scanner.");
  EXPECT_TRUE(t.usb->log.empty());
}

// The trace of a command without data, one with data out, a READ whose
// first read times out early and whose short reads continue (read check)
// until the request, rounded down to whole 512-byte blocks, is 0, and a
// failing status read.
TEST(Transport, TraceLinesWhenVerbose) {
  CmdTestDevice t(kFi7160);
  t.usb->ScriptNoDataCommand();
  t.usb->ScriptDataOutCommand();
  const Bytes part1 = Pattern(65536, 1), part2 = Pattern(34304, 9);
  t.usb->ExpectWrite();
  t.usb->QueueRead({}, usb::kIOUSBTransactionTimeout, 3'000'000);
  t.usb->QueueRead(part1);
  t.usb->QueueRead(part2);
  t.usb->QueueRead({});
  t.usb->QueueStatus(0);
  t.usb->ExpectWrite();
  t.usb->QueueRead({}, usb::kIOUSBTransactionTimeout);
  std::ostringstream captured;
  std::streambuf* old = std::clog.rdbuf(captured.rdbuf());
  gVerbose = true;
  Cmd_TestUnitReady ok(t.device);
  ok.SendToScanner();
  Cmd_ModeSelect_ResetAll out(t.device);
  out.SendToScanner();
  Cmd_ReadImage read(t.device, kWindowFront, 100000);
  read.SendToScanner();
  Cmd_Release failing(t.device);
  failing.SendToScanner();
  gVerbose = false;
  std::clog.rdbuf(old);
  EXPECT_EQ(std::clog.flags() & std::ios::basefield, std::ios::dec) << "the error line leaves the log in decimal";
  EXPECT_TRUE(t.usb->ScriptDone());
  EXPECT_EQ(read.mResult.mXferCount, 99840u);
  uint8_t* data = read.AdoptRcvBytes();
  EXPECT_EQ(Bytes(data, data + 65536), part1);
  EXPECT_EQ(Bytes(data + 65536, data + 99840), part2);
  std::free(data);
  // The fake clock starts on a whole second, so stamps count from 00000.000.
  EXPECT_EQ(captured.str(),
            "inter/intra-cmd delays: 5/5\n"
            "00000.000 -- Cmd_TestUnitReady -> \n"
            "00000.005 -- Cmd_TestUnitReady <- 0 (0x00 0x00 0x00 0x00) \n"
            "inter/intra-cmd delays: 5/5\n"
            "00000.005 -- Cmd_ModeSelect_ResetAll -> \n"
            "sleeping to ensure inter-command timing: 0\n"
            "00000.015 -- Cmd_ModeSelect_ResetAll    sending bytes: 12\n"
            "00000.015 -- Cmd_ModeSelect_ResetAll    bytes sent\n"
            "00000.020 -- Cmd_ModeSelect_ResetAll <- 0 (0x00 0x00 0x00 0x00) \n"
            "inter/intra-cmd delays: 5/5\n"
            "00000.020 -- Cmd_ReadImage -> wdw: 0, len: 100000\n"
            "sleeping to ensure inter-command timing: 0\n"
            "00000.030 -- Cmd_ReadImage    requesting bytes: 100000\n"
            "03000.030 -- bogus timeout (3000)"
            "03100.030 -- Cmd_ReadImage    received bytes: 65536\n"
            "03100.035 -- Cmd_ReadImage    requesting bytes: 34304\n"
            "03100.035 -- Cmd_ReadImage    received bytes: 34304\n"
            "03100.040 -- Cmd_ReadImage    requesting bytes: 0\n"
            "03100.040 -- Cmd_ReadImage    0-length packet received\n"
            "03100.050 -- Cmd_ReadImage    received bytes total: 99840\n"
            "03100.055 -- Cmd_ReadImage <- 0 (0x00 0x00 0x00 0x00) \n"
            "inter/intra-cmd delays: 5/5\n"
            "03100.055 -- Cmd_Release -> \n"
            "sleeping to ensure inter-command timing: 0\n"
            "03100.065 -- Cmd_Release <- error (e0004051, 38, 1, 51) reading status from scanner\n");
}
