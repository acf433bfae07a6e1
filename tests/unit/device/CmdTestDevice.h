// CmdTestDevice: a Device opened on a scripted bus as a given model and speed.
//
// The scripted interface is at hand: for tests of the commands on the wire
// and of everything that reads the capabilities of a real model row.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "FujiCmds.h"
#include "ScriptedUsb.h"

namespace quirel::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes Pattern(size_t n, uint8_t seed) {
  Bytes v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7);
  return v;
}

// A 12-byte CDB starting with the given bytes.
inline Bytes Cdb(std::initializer_list<uint8_t> head) {
  Bytes b(head);
  b.resize(12, 0);
  return b;
}

// Fixed-format sense data (valid, current error).
inline Bytes SenseData(uint8_t byte2, uint32_t info, uint8_t asc, uint8_t ascq) {
  Bytes s(18, 0);
  s[0] = 0xF0;
  s[2] = byte2;
  for (int i = 0; i < 4; ++i) s[3 + i] = uint8_t(info >> (24 - 8 * i));
  s[12] = asc;
  s[13] = ascq;
  return s;
}

// Models by what the transport cares about: read check and USB delay.
constexpr uint32_t kFi7160 = 0x132E;   // read check, 5 us delay
constexpr uint32_t kS500 = 0x10FE;     // read check, 125 us delay
constexpr uint32_t kFi4340C = 0x10CF;  // no read check, 125 us delay, no tone table

struct CmdTestDevice {
  explicit CmdTestDevice(uint32_t productId, int speed = usb::kUsbSpeedHigh) {
    ScriptedDevice* dev = bus.Add(ZuzuvovOvav::kFujitsuVendorId, productId, kLocation);
    dev->speed = speed;
    auto iface = std::make_unique<ScriptedInterface>(&clock);
    usb = iface.get();
    dev->nextInterface = std::move(iface);
    EXPECT_TRUE(device.FindScanner(kLocation)) << "model 0x" << std::hex << productId << ": " << device.GetErrMsg();
    usb->log.clear();
  }

  // The CDB of the n-th command block written.
  Bytes CdbWritten(size_t n) const {
    size_t seen = 0;
    for (const UsbOp& op : usb->log)
      if (op.kind == UsbOp::kWrite && op.data.size() == 31 && seen++ == n)
        return Bytes(op.data.begin() + 19, op.data.end());
    return {};
  }

  static constexpr uint32_t kLocation = 0x14100000;
  FakeClock clock;
  ScriptedBus bus;
  ZuzuvovOvav::Device device;  // after the bus and clock, so it closes first
  ScriptedInterface* usb = nullptr;
};

}  // namespace quirel::testing
