// Tests of the sense texts, the scan job's questions about outcomes and CommandOutcome.
#include <gtest/gtest.h>

#include <bitset>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "CmdTestDevice.h"

using namespace ZuzuvovOvav;
using namespace quirel::testing;

namespace {

// The sense texts, written out again by hand (not copied from the code):
// sense key | ASC | ASCQ | text. A field is "any", "any other" (any value no
// other line of the same key, and for ASCQ the same ASC, names), or a list of
// values, ranges "a to b" and "a or more".
const char* const kSenseList = R"list(
0x0 | any | any | "No sense data"
0x2 | any | any | "Not ready"
0x3 | any | 0x01 | "Paper jam detected"
0x3 | any | 0x02 | "Automatic document feeder cover is open"
0x3 | any | 0x03 | "No paper on hopper"
0x3 | any | 0x07 | "Double feed error"
0x3 | any | 0x80 | "Paper feed issue"
0x3 | any | any other | "Medium error"
0x4 | any | 0x00 | "Internal malfunction (EEPROM error)"
0x4 | any | 0x01, 0x02, 0x03 | "Hardware error"
0x4 | any | 0x04 | "Fuse ADF motor blown"
0x4 | any | 0x05 | "Running system error"
0x4 | any | 0x06 | "Optical error"
0x4 | any | 0x07 or more | "Hardware error"
0x5 | 0x00 | any | "Operation error (paper edge detected before scanning)"
0x5 | 0x20 | any | "Invalid command"
0x5 | 0x24 | any | "Invalid CDB field"
0x5 | 0x26 | any | "Invalid parameter"
0x5 | 0x2C | 0x00 | "Command sequence error"
0x5 | 0x2C | 0x02 | "Wrong window combination"
0x5 | 0x2C | any other | "Sequence/window error"
0x5 | any other | any | "Invalid request"
0x6 | 0x00 | any | "Unit Attention (reset)"
0x6 | 0x80 | any | "Unit Attention (shift to energy-saving mode)"
0x6 | any other | any | "unit attention"
0xB | 0x43 | any | "Message error"
0xB | 0x45 | any | "Select/Reset failure"
0xB | 0x47 | any | "SCSI parity error"
0xB | 0x48 | any | "Initiator detected error message received"
0xB | 0x4E | any | "Overlapped commands attempted"
0xB | 0x80 | 0x01 | "Image transfer error"
0xB | 0x80 | 0x03 | "Overflow of code data at JPEG scanning"
0xB | 0x80 | any other | "Transfer/overflow error"
0xB | any other | any | "Interrupted command"
0x1, 0x7 to 0xA, 0xC to 0xF | any | any | "Unknown sense code"
)list";

using ByteSet = std::bitset<256>;

// "any", "any other", or values, "a to b" and "a or more" separated by commas.
ByteSet ParseSet(const std::string& field) {
  ByteSet set;
  if (field.rfind("any", 0) == 0) return set.set();
  std::istringstream in(field);
  for (std::string item; std::getline(in, item, ',');) {
    unsigned from = 0, to = 0;
    char word[8] = {};
    const int n = std::sscanf(item.c_str(), " %x %7s %x", &from, word, &to);
    if (n == 2 && std::string(word) == "or") to = 255;
    else if (n == 1) to = from;
    else if (n != 3) ADD_FAILURE() << "cannot read " << item;
    for (unsigned v = from; v <= to; ++v) set.set(v);
  }
  return set;
}

struct SenseLine {
  ByteSet keys, ascs, ascqs;
  int rank;  // a line naming its ASC, then its ASCQ, goes before an "any other" line
  std::string text;
};

std::vector<SenseLine> SenseList() {
  std::vector<SenseLine> lines;
  std::istringstream in(kSenseList);
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    std::vector<std::string> f;
    std::istringstream cols(line);
    for (std::string col; std::getline(cols, col, '|');) {
      const size_t b = col.find_first_not_of(" \""), e = col.find_last_not_of(" \"");
      f.push_back(col.substr(b, e - b + 1));
    }
    lines.push_back({ParseSet(f[0]), ParseSet(f[1]), ParseSet(f[2]),
                     (f[1].rfind("any", 0) != 0) * 2 + (f[2].rfind("any", 0) != 0), f[3]});
  }
  return lines;
}

}  // namespace

// Every sense key, ASC and ASCQ against the list: one line applies to each,
// and its text is the one the command gives.
TEST(Sense, EveryCodeGivesTheTextOfTheList) {
  const std::vector<SenseLine> list = SenseList();
  ASSERT_EQ(list.size(), 35u);
  Device closed;
  Cmd_TestUnitReady cmd(closed);
  int wrong = 0;
  for (unsigned key = 0; key < 16; ++key) {
    for (unsigned asc = 0; asc < 256; ++asc) {
      for (unsigned ascq = 0; ascq < 256; ++ascq) {
        const SenseLine* match = nullptr;
        int ties = 0;
        for (const SenseLine& l : list) {
          if (!l.keys[key] || !l.ascs[asc] || !l.ascqs[ascq] || (match && l.rank < match->rank)) continue;
          ties = match && l.rank == match->rank ? ties + 1 : 0;
          match = &l;
        }
        ASSERT_TRUE(match && ties == 0) << "the list is incomplete or ambiguous at " << std::hex << key << ":" << asc
                                        << ":" << ascq;
        cmd.mResult.mSenseKey = uint8_t(key);
        cmd.mResult.mAsc = uint8_t(asc);
        cmd.mResult.mAscq = uint8_t(ascq);
        if (match->text != cmd.GetSenseStr() && ++wrong <= 5)
          ADD_FAILURE() << std::hex << key << ":" << asc << ":" << ascq << " gives \"" << cmd.GetSenseStr()
                        << "\", the list says \"" << match->text << "\"";
      }
    }
  }
  EXPECT_EQ(wrong, 0) << "codes with the wrong text";
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

namespace {

// Which of the scan job's questions hold for one outcome.
constexpr unsigned kDataNotReady = 1 << 0;
constexpr unsigned kUnitNotReady = 1 << 1;
constexpr unsigned kEndOfSide = 1 << 2;
constexpr unsigned kNoSense = 1 << 3;
constexpr unsigned kEndOfMedium = 1 << 4;
constexpr unsigned kPaperError = 1 << 5;
constexpr unsigned kHopperEmpty = 1 << 6;
constexpr unsigned kFeederError = 1 << 7;

unsigned Answers(const Result& r) {
  return (IsDataNotReady(r) ? kDataNotReady : 0) | (IsUnitNotReady(r) ? kUnitNotReady : 0) |
         (IsEndOfSide(r) ? kEndOfSide : 0) | (IsNoSenseCondition(r) ? kNoSense : 0) |
         (IsEndOfMedium(r) ? kEndOfMedium : 0) | (IsPaperError(r) ? kPaperError : 0) |
         (IsHopperEmpty(r) ? kHopperEmpty : 0) | (IsFeederError(r) ? kFeederError : 0);
}

}  // namespace

TEST(Sense, QuestionsOfTheScanJob) {
  struct Row {
    uint8_t status, key, asc, ascq;
    bool ili, eom;
    unsigned answers;
    const char* what;
  };
  const Row rows[] = {
      {0, 0, 0, 0, false, false, 0, "good"},
      {4, 0, 0, 0, false, false, kDataNotReady, "busy"},
      {1, 3, 0x80, 0x13, false, false, kDataNotReady | kFeederError, "data not ready yet"},
      {1, 3, 0x81, 0x13, false, false, 0, "0x13 of another ASC"},
      {1, 2, 0x04, 0x01, false, false, kUnitNotReady, "lamp warming up"},
      {1, 0, 0, 0, true, false, kEndOfSide | kNoSense, "end of side"},
      {1, 0, 0, 0, false, true, kNoSense | kEndOfMedium, "end of medium"},
      {1, 3, 0, 0, false, true, 0, "end of medium flag with a medium error"},
      {0, 0, 0, 0, true, true, 0, "flags without check condition"},
      {1, 3, 0x00, 0x01, false, false, kPaperError, "jam, whatever the ASC"},
      {1, 3, 0x80, 0x02, false, false, kPaperError | kFeederError, "cover open"},
      {1, 3, 0x80, 0x07, false, false, kPaperError | kFeederError, "double feed"},
      {1, 3, 0x80, 0x80, false, false, kPaperError | kFeederError, "feed issue"},
      {1, 3, 0x80, 0x03, false, false, kHopperEmpty | kFeederError, "no paper"},
      {1, 3, 0x80, 0x32, false, false, kHopperEmpty | kFeederError, "no paper, other code"},
      {1, 3, 0x81, 0x03, false, false, 0, "no paper code of another ASC"},
      {1, 3, 0x80, 0x04, false, false, kFeederError, "other feeder error"},
      {1, 4, 0x80, 0x01, false, false, 0, "hardware error"},
      {4, 3, 0x80, 0x01, false, false, kDataNotReady, "busy is not a paper error"},
  };
  for (const Row& row : rows) {
    Result r;
    r.mStatus = row.status;
    r.mSenseKey = row.key;
    r.mAsc = row.asc;
    r.mAscq = row.ascq;
    r.mIli = row.ili;
    r.mEom = row.eom;
    EXPECT_EQ(Answers(r), row.answers) << row.what;
  }
}

TEST(Sense, SentCommandsAreClassifiedInTheOrderCallersTest) {
  struct Row {
    void (*script)(ScriptedInterface&);
    CommandOutcome::KindE kind;
    const char* text;
    bool namesCause;
  };
  const Row rows[] = {
      {[](ScriptedInterface& u) { u.ScriptNoDataCommand(); }, CommandOutcome::kGood, "", false},
      {[](ScriptedInterface& u) { u.ExpectWrite(quirel::usb::kIOReturnNotResponding); }, CommandOutcome::kTransportFailed,
       "Command Cmd_TestUnitReady: error (0xe00002ed: 0x38, 0x0, 0x2ed) sending command to scanner.", true},
      {[](ScriptedInterface& u) { u.ScriptNoDataCommand(0x08); }, CommandOutcome::kScannerFailed, "", false},
      {[](ScriptedInterface& u) {
         u.ScriptNoDataCommand(0x02);
         u.ScriptDataInCommand(SenseData(0x03, 0, 0x80, 0x01));
       },
       CommandOutcome::kScannerFailed, "Paper jam detected (Cmd_TestUnitReady 03:80:01)", true},
      {[](ScriptedInterface& u) {
         u.ScriptNoDataCommand(0x02);
         u.ScriptDataInCommand(SenseData(0x40, 0, 0, 0));
       },
       CommandOutcome::kScannerFailed, "No sense data (Cmd_TestUnitReady 00:00:00)", false},
      // The sense itself fails: the transport failure wins over the status.
      {[](ScriptedInterface& u) {
         u.ScriptNoDataCommand(0x02);
         u.ExpectWrite(quirel::usb::kIOReturnNotResponding);
       },
       CommandOutcome::kTransportFailed,
       "Command Cmd_TestUnitReady: error (0xe00002ed: 0x38, 0x0, 0x2ed) getting sense data from scanner.", true},
  };
  for (const Row& row : rows) {
    CmdTestDevice t(kFi7160);
    row.script(*t.usb);
    Cmd_TestUnitReady cmd(t.device);
    const CommandOutcome sent = SendCommand(cmd);
    SCOPED_TRACE(row.text);
    EXPECT_EQ(sent.Kind(), row.kind);
    EXPECT_STREQ(sent.Text(), row.text);
    EXPECT_EQ(sent.NamesCause(), row.namesCause);
    EXPECT_EQ(sent.Good(), row.kind == CommandOutcome::kGood);
    EXPECT_EQ(&sent.GetResult(), &cmd.mResult);
  }
}
