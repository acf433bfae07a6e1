// The virtual scanner at the wire: command blocks built by hand, the data
// and status phases as the bulk pipes carry them.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "VirtualScanner.h"

namespace quirel::vtest {
namespace {

struct Wire {
  explicit Wire(const std::string& description) {
    std::string error;
    bus = virt::MakeVirtualBus(description, &error);
    EXPECT_TRUE(bus) << error;
    dev = bus->FindByLocation(0x14100000);
    EXPECT_EQ(dev->Open(), 0u);
    EXPECT_EQ(dev->GetFirstInterface(&iface), 0u);
  }
  // Sends a command block with the CDB given, then its data-out bytes.
  void Command(std::vector<uint8_t> cdb, const std::vector<uint8_t>& out = {}) {
    uint8_t block[31] = {0x43};
    std::copy(cdb.begin(), cdb.end(), block + 19);
    ASSERT_EQ(iface->WritePipe(usb::kPipeOut, block, 31, 29000, 30000), 0u);
    if (!out.empty()) {
      ASSERT_EQ(iface->WritePipe(usb::kPipeOut, out.data(), uint32_t(out.size()), 29000, 30000), 0u);
    }
  }
  std::vector<uint8_t> DataIn(uint32_t asked) {
    std::vector<uint8_t> buf(asked);
    uint32_t n = asked;
    EXPECT_EQ(iface->ReadPipe(usb::kPipeIn, buf.data(), &n, 29000, 30000), 0u);
    buf.resize(n);
    return buf;
  }
  // The status byte of a 13-byte status block.
  int Status() {
    std::vector<uint8_t> s = DataIn(13);
    EXPECT_EQ(s.size(), 13u);
    return s.size() == 13 ? s[9] : -1;
  }
  std::vector<uint8_t> Sense() {
    Command({0x03, 0, 0, 0, 18});
    std::vector<uint8_t> s = DataIn(18);
    EXPECT_EQ(Status(), 0);
    return s;
  }

  std::unique_ptr<usb::UsbBus> bus;
  std::unique_ptr<usb::UsbDevice> dev;
  std::unique_ptr<usb::UsbInterface> iface;
};

TEST(VirtualWire, StatusAndSenseForGoodUnknownAndMalformedCommands) {
  Wire w("model=fi-7160");
  w.Command({0x00});  // TEST UNIT READY: no data phase
  EXPECT_EQ(w.Status(), 0x00);

  w.Command({0x77});
  EXPECT_EQ(w.Status(), 0x02);
  std::vector<uint8_t> s = w.Sense();
  EXPECT_EQ(s[0], 0xF0);
  EXPECT_EQ(s[2], 0x05);
  EXPECT_EQ(s[12], 0x20);
  EXPECT_EQ(w.Sense()[2], 0x00);  // reading the sense clears it

  w.Command({0x12, 0x01, 0x99, 0, 100});  // a vital product page it lacks
  EXPECT_EQ(w.DataIn(100).size(), 0u);    // an empty data phase
  EXPECT_EQ(w.Status(), 0x02);
  s = w.Sense();
  EXPECT_EQ(s[2], 0x05);
  EXPECT_EQ(s[12], 0x24);

  // Out of step with the protocol: bytes that are no command block stall
  // the pipe, and a read with nothing to send times out.
  uint8_t junk[10] = {};
  EXPECT_EQ(w.iface->WritePipe(usb::kPipeOut, junk, 10, 29000, 30000), usb::kIOUSBPipeStalled);
  uint32_t n = 13;
  EXPECT_EQ(w.iface->ReadPipe(usb::kPipeIn, junk, &n, 29000, 30000), usb::kIOUSBTransactionTimeout);
  EXPECT_EQ(n, 0u);
}

std::vector<uint8_t> GrayWindow(uint32_t width1200, uint32_t length1200) {
  std::vector<uint8_t> d(72, 0);
  d[7] = 64;
  uint8_t* w = &d[8];
  w[2] = 300 >> 8, w[3] = 300 & 0xFF, w[4] = 300 >> 8, w[5] = 300 & 0xFF;
  for (int i = 0; i < 4; ++i) {
    w[14 + i] = uint8_t(width1200 >> (24 - 8 * i));
    w[18 + i] = uint8_t(length1200 >> (24 - 8 * i));
  }
  w[25] = 2;  // gray
  w[26] = 8;
  w[53] = 0xC0;
  return d;
}

// A side of 100 lines of 100 bytes: READs give whole lines; the READ that
// runs past the end is short, answers a follow-up read with a zero-length
// packet, and ends in a check condition with end of medium, incorrect
// length and the residue.
TEST(VirtualWire, ReadsGiveWholeLinesAndTheEndOfSideCarriesTheResidue) {
  Wire w("model=fi-6130");
  w.Command({0x24, 0, 0, 0, 0, 0, 0, 0, 72}, GrayWindow(400, 400));
  EXPECT_EQ(w.Status(), 0);
  w.Command({0x31, 1});
  EXPECT_EQ(w.Status(), 0);
  w.Command({0x1B, 0, 0, 0, 1}, {0x00});
  EXPECT_EQ(w.Status(), 0);

  w.Command({0x28, 0, 0, 0, 0, 0, 0, 0x0F, 0xA0});  // 4000 bytes
  EXPECT_EQ(w.DataIn(4000).size(), 4000u);
  EXPECT_EQ(w.Status(), 0);
  w.Command({0x28, 0, 0, 0, 0, 0, 0, 0x0F, 0x0A});  // 3850 bytes: 38 whole lines
  EXPECT_EQ(w.DataIn(3850).size(), 3800u);
  EXPECT_EQ(w.Status(), 0);
  w.Command({0x28, 0, 0, 0, 0, 0, 0, 0x09, 0x2E});  // 2350 bytes, but only 22 lines remain
  EXPECT_EQ(w.DataIn(2350).size(), 2200u);
  EXPECT_EQ(w.DataIn(0).size(), 0u);  // a read-check host asks for the rest
  EXPECT_EQ(w.Status(), 0x02);
  std::vector<uint8_t> s = w.Sense();
  EXPECT_EQ(s[2], 0x60);
  EXPECT_EQ((s[3] << 24) | (s[4] << 16) | (s[5] << 8) | s[6], 150);

  w.Command({0x28, 0, 0, 0, 0, 0, 0, 0x01, 0x00});  // nothing is left
  EXPECT_EQ(w.DataIn(256).size(), 0u);
  EXPECT_EQ(w.Status(), 0x02);
  s = w.Sense();
  EXPECT_EQ(s[2], 0x60);
  EXPECT_EQ(s[6], 0x00);
  EXPECT_EQ(s[5], 0x01);
}

}  // namespace
}  // namespace quirel::vtest
