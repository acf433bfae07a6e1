// Tests of the command set: command blocks, mode pages, SCAN and the reply parsers.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "CmdTestDevice.h"

using namespace ZuzuvovOvav;
using namespace quirel::testing;

namespace {

// The bytes a command puts on the wire after its late fill-in.
Bytes CdbOf(Command& cmd) {
  cmd.PrepareToSendSelf();
  return Bytes(cmd.mCdb, cmd.mCdb + 12);
}
Bytes DataOf(Command& cmd) {
  cmd.PrepareToSendSelf();
  const uint8_t* p = cmd.GetSendBytes();
  return Bytes(p, p + cmd.GetSendBytesLen());
}

}  // namespace

TEST(CommandSet, CommandBlocks) {
  Device d;
  using Make = std::function<std::unique_ptr<Command>()>;
  const std::pair<Make, Bytes> cases[] = {
      {[&] { return std::make_unique<Cmd_RequestSense>(d); }, Cdb({0x03, 0, 0, 0, 18})},
      {[&] { return std::make_unique<Cmd_InquiryStd>(d); }, Cdb({0x12, 0, 0, 0, 96})},
      {[&] { return std::make_unique<Cmd_InquiryEvpd>(d); }, Cdb({0x12, 1, 0xF0, 0, 100})},
      {[&] { return std::make_unique<Cmd_ModeSelect_ResetAll>(d); }, Cdb({0x15, 0x10, 0, 0, 12})},
      {[&] { return std::make_unique<Cmd_ReceiveDiagnosticResults__FirmwareVersion>(d); }, Cdb({0x1C, 0, 0, 0, 16})},
      {[&] { return std::make_unique<Cmd_ReadImage>(d, kWindowBack, 0x012345); },
       Cdb({0x28, 0, 0, 0, 0, 0x80, 0x01, 0x23, 0x45})},
      {[&] { return std::make_unique<Cmd_ReadImage>(d, kWindowFront, 0); }, Cdb({0x28, 0, 0, 0, 0, 0, 0x08, 0, 0})},
      {[&] { return std::make_unique<Cmd_ReadPixelSize>(d); }, Cdb({0x28, 0, 0x80, 0, 0, 0, 0, 0, 24})},
      {[&] { return std::make_unique<Cmd_GetHardwareStatus>(d); }, Cdb({0xC2, 0, 0, 0, 0, 0, 0, 0, 11})},
      {[&] { return std::make_unique<Cmd_ReadImageCheck>(d, kWindowBack, 65536); },
       Cdb({0xF1, 0x10, 0x80, 0, 0, 0, 0x01, 0x00, 0x00})},
  };
  for (const auto& [make, cdb] : cases) {
    auto cmd = make();
    EXPECT_EQ(CdbOf(*cmd), cdb) << cmd->GetCommandName();
  }
  EXPECT_STREQ(Cmd_ModeSelect_DoubleFeedOptions(d, true, true, true).GetCommandName(),
               "Cmd_ModeSelect_DoubleFeedOption");
  EXPECT_STREQ(Cmd_ReceiveDiagnosticResults<12>(d).GetCommandName(), "Cmd_ReceiveDiagnosticResults");
}

TEST(CommandSet, ModeSelectPages) {
  Device d;
  auto page = [](Command&& cmd) {
    Bytes b = DataOf(cmd);
    return Bytes(b.begin() + 4, b.begin() + 8);
  };
  EXPECT_EQ(DataOf(*std::make_unique<Cmd_ModeSelect_ResetAll>(d)), (Bytes{0, 0, 0, 0, 0x29, 6, 1, 0, 0, 0, 0, 0}));
  EXPECT_EQ(page(Cmd_ModeSelect_BufferedScan(d, kBufferedScanOn)), (Bytes{0x3A, 6, 0xC0, 0}));
  EXPECT_EQ(page(Cmd_ModeSelect_AutoLength(d, true)), (Bytes{0x3C, 6, 0, 0x80}));
  EXPECT_EQ(page(Cmd_ModeSelect_ResetCounter(d)), (Bytes{0x2F, 6, 0, 0}));
  EXPECT_EQ(page(Cmd_ModeSelect_AutoColor(d, false)), (Bytes{0x2F, 6, 0xA0, 0}));
  struct Df {
    bool thickness, length, keep;
    uint8_t byte6;
  };
  for (const Df& c : {Df{true, true, true, 0xD9}, Df{false, true, false, 0x89}, Df{true, false, true, 0xD0},
                      Df{false, false, true, 0x00}}) {
    EXPECT_EQ(page(Cmd_ModeSelect_DoubleFeedOptions(d, c.thickness, c.length, c.keep))[2], c.byte6)
        << c.thickness << c.length << c.keep;
  }
}

TEST(CommandSet, ScanSelectsWindowsOnTheWire) {
  CmdTestDevice t(kFi7160);
  ScanParams duplex, simplex;
  duplex.mDuplex = true;
  t.usb->ScriptDataOutCommand();
  t.usb->ScriptDataOutCommand();
  Cmd_Scan both(t.device, duplex);
  ASSERT_EQ(both.SendToScanner(), 0);
  Cmd_Scan front(t.device, simplex);
  ASSERT_EQ(front.SendToScanner(), 0);
  const auto writes = t.usb->Ops(UsbOp::kWrite);
  EXPECT_EQ(writes[0].data[19 + 4], 2);
  EXPECT_EQ(writes[1].data, (Bytes{0x00, 0x80}));
  EXPECT_EQ(writes[2].data[19 + 4], 1);
  EXPECT_EQ(writes[3].data, (Bytes{0x00}));
  Cmd_Scan back(t.device, kSideBack);
  EXPECT_EQ(DataOf(back), (Bytes{0x80}));
}

TEST(CommandSet, ReplyParsers) {
  CmdTestDevice t(kFi7160);
  Bytes inquiry(96, ' ');
  const std::string text = "FUJITSU fi 7160          1.23";
  std::copy(text.begin(), text.end(), inquiry.begin() + 8);
  t.usb->ScriptDataInCommand(inquiry);
  t.usb->ScriptDataInCommand(Bytes(96, ' '));
  Cmd_InquiryStd inq(t.device), blank(t.device);
  ASSERT_EQ(inq.SendToScanner(), 0);
  ASSERT_EQ(blank.SendToScanner(), 0);
  EXPECT_STREQ(inq.mVendor, "FUJITSU");
  EXPECT_STREQ(inq.mProductText, "fi 7160") << "inner blanks stay";
  EXPECT_STREQ(inq.mRevision, "1.2");
  EXPECT_STREQ(blank.mProductText, "");

  Bytes size(24, 0);
  size[2] = 0x09, size[3] = 0xF6, size[4] = 0x80, size[7] = 0x01, size[14] = 0x33, size[15] = 0x90;
  t.usb->ScriptDataInCommand(size);
  Cmd_ReadPixelSize pix(t.device);
  ASSERT_EQ(pix.SendToScanner(), 0);
  EXPECT_EQ(pix.mPixelWidth, 2550u);
  EXPECT_EQ(pix.mPixelLength, 0x80000001u);
  EXPECT_EQ(pix.mPaperLength, 13200u);

  Bytes hw(11, 0);
  hw[3] = 0x40, hw[5] = 0x9C, hw[6] = 0x01;
  t.usb->ScriptDataInCommand(hw);
  Cmd_GetHardwareStatus status(t.device);
  ASSERT_EQ(status.SendToScanner(), 0);
  EXPECT_TRUE(status.mDoubleFeed);
  EXPECT_EQ(status.mNibble5, 0xC);
  EXPECT_TRUE(status.Flag(5, 7));
  EXPECT_FALSE(status.Flag(5, 3)) << "the low half of byte 5 is the 4-bit value";
  EXPECT_FALSE(status.Flag(3, 6)) << "not a decoded bit";

  t.usb->ScriptDataInCommand({'1', '.', '0', '2', 0xFF, 0xFF, 0xFF, 0xFF, 'A', 'B', 'C', 'D', 0xFF, 0xFF, 0xFF, 0});
  Cmd_ReceiveDiagnosticResults__FirmwareVersion version(t.device);
  ASSERT_EQ(version.SendToScanner(), 0);
  EXPECT_STREQ(version.mVersion[0], "1.02");
  EXPECT_STREQ(version.mVersion[1], "");
  EXPECT_EQ(std::string(version.mVersion[3]), "\xFF\xFF\xFF") << "only four 0xFF bytes mean no text";

  t.usb->ScriptDataInCommand({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  Cmd_ReceiveDiagnosticResults__Counts c(t.device);
  ASSERT_EQ(c.SendToScanner(), 0);
  const int32_t expected[5] = {10 + 4 * 500 + 5 * 128000, 60 + 7 * 500 + 8 * 128000, 2 * 500 + 3 * 128000,
                               9 * 500 + 10 * 128000, 11 * 500 + 12 * 128000};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(c.mCount[i], expected[i]) << "count " << i + 1;
}

TEST(CommandSet, SenseFlagsComeFromBitsFiveSixAndSeven) {
  CmdTestDevice t(kFi7160);
  for (uint8_t byte2 : {0x20, 0x80, 0x4B}) {
    t.usb->ScriptDataInCommand(SenseData(byte2, 0xFFFFFFFE, 0, 0));
    Cmd_RequestSense sense(t.device);
    ASSERT_EQ(sense.SendToScanner(), 0);
    const Result& r = sense.mResult;
    EXPECT_EQ((std::vector<bool>{r.mFilemark, r.mEom, r.mIli}),
              (std::vector<bool>{byte2 == 0x80, byte2 == 0x4B, byte2 == 0x20}))
        << std::hex << int(byte2);
    EXPECT_EQ(r.mSenseKey, byte2 & 0x0F);
    EXPECT_EQ(r.mInfo, -2);
  }
}
