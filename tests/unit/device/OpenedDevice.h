// A Device opened on a scripted bus as a given model, for tests that need the
// capabilities of a real model row and a chosen connection speed.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "FujiDevice.h"
#include "ScriptedUsb.h"

namespace quirel::testing {

struct OpenedDevice {
  explicit OpenedDevice(uint32_t productId, int speed = usb::kUsbSpeedHigh) {
    ScriptedDevice* dev = bus.Add(ZuzuvovOvav::kFujitsuVendorId, productId, kLocation);
    dev->speed = speed;
    dev->nextInterface = std::make_unique<ScriptedInterface>(&clock);
    opened = device.FindScanner(kLocation);
    EXPECT_TRUE(opened) << "model 0x" << std::hex << productId << ": " << device.GetErrMsg();
  }

  static constexpr uint32_t kLocation = 0x14100000;
  FakeClock clock;
  ScriptedBus bus;
  ZuzuvovOvav::Device device;  // after the bus, so it closes first
  bool opened = false;
};

}  // namespace quirel::testing
