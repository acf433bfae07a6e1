#include <gtest/gtest.h>

#include "CmdTestDevice.h"

using namespace ZuzuvovOvav;
using namespace quirel::testing;

TEST(Sense, TextsFollowKeyThenCodes) {
  struct Case {
    uint8_t key, asc, ascq;
    const char* text;
  };
  // Cases at the borders of each key's decisions: key 3 looks at ASCQ only,
  // key 4 indexes by ASCQ, keys 5, 6 and B by ASC first.
  const Case cases[] = {
      {0x0, 0x80, 0x13, "No sense data"},
      {0x3, 0x12, 0x80, "Paper feed issue"},
      {0x3, 0x80, 0x00, "Medium error"},
      {0x3, 0x80, 0x81, "Medium error"},
      {0x4, 0x99, 0x00, "Internal malfunction (EEPROM error)"},
      {0x4, 0x00, 0x07, "Hardware error"},
      {0x4, 0x00, 0xFF, "Hardware error"},
      {0x5, 0x2C, 0x02, "Wrong window combination"},
      {0x5, 0x2C, 0x01, "Sequence/window error"},
      {0x5, 0x3A, 0x00, "Invalid request"},
      {0x6, 0x29, 0x00, "unit attention"},
      {0xB, 0x80, 0x03, "Overflow of code data at JPEG scanning"},
      {0xB, 0x80, 0x02, "Transfer/overflow error"},
      {0xB, 0x44, 0x01, "Interrupted command"},
      {0x1, 0x00, 0x00, "Unknown sense code"},
      {0xF, 0x00, 0x00, "Unknown sense code"},
  };
  Device closed;
  Cmd_TestUnitReady cmd(closed);
  for (const Case& c : cases) {
    cmd.mResult.mSenseKey = c.key;
    cmd.mResult.mAsc = c.asc;
    cmd.mResult.mAscq = c.ascq;
    EXPECT_STREQ(cmd.GetSenseStr(), c.text) << std::hex << int(c.key) << ":" << int(c.asc) << ":" << int(c.ascq);
  }
}

TEST(Sense, MessagesNameTheFailedCommand) {
  {
    CmdTestDevice t(kFi7160);
    t.usb->ScriptNoDataCommand(0x02);
    t.usb->ScriptDataInCommand(SenseData(0x2, 0, 0x04, 0x01));
    Cmd_ScannerControl lamp(t.device, Cmd_ScannerControl::kLampReadyCheck);
    ASSERT_EQ(lamp.SendToScanner(), 0);
    EXPECT_STREQ(lamp.mSenseMsg, "Lamp still warming up (Cmd_ScannerControl 02:04:01)");
  }
  {
    CmdTestDevice t(kFi7160);
    t.usb->ScriptNoDataCommand(0x02);
    t.usb->ScriptDataInCommand(SenseData(0x2, 0, 0x04, 0x01));
    Cmd_ScannerControl feeder(t.device, Cmd_ScannerControl::kSelectFeeder);
    ASSERT_EQ(feeder.SendToScanner(), 0);
    EXPECT_STREQ(feeder.mSenseMsg, "Not ready (Cmd_ScannerControl 02:04:01)") << "only the lamp check warms up";
  }
  CmdTestDevice t(kFi7160);
  t.usb->ExpectWrite();
  t.usb->ExpectWrite();
  t.usb->QueueStatus(0x02);
  t.usb->ScriptDataInCommand(SenseData(0x5, 0, 0x24, 0x00));
  Cmd_WdwRec front;
  Cmd_SetWindow cmd(t.device, &front, nullptr);
  ASSERT_EQ(cmd.SendToScanner(), 0);
  EXPECT_STREQ(cmd.mSenseMsg, "Invalid CDB field (Cmd_SetWindow 05:24:00)");
}
