// Test doubles of the USB layer: a fake clock whose sleeps advance time, and
// a bus, device and interface whose bulk exchanges follow a script. Every
// operation is logged with the fake time at which it happened, so tests can
// check pacing, request sizes and stall clearing without waiting.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ForwardingUsb.h"
#include "HostClock.h"
#include "UsbLayer.h"

namespace quirel::testing {

class FakeClock : public host::Clock {
 public:
  FakeClock() { host::SetClockForTesting(this); }
  ~FakeClock() override { host::SetClockForTesting(nullptr); }
  uint64_t NowNanos() override { return now; }
  void SleepMicros(uint64_t micros) override {
    now += micros * 1000;
    sleeps.push_back(micros);
  }
  void Advance(uint64_t micros) { now += micros * 1000; }
  uint64_t NowMicros() const { return now / 1000; }

  uint64_t now = 1'000'000'000'000ull;  // an arbitrary non-zero start
  std::vector<uint64_t> sleeps;
};

struct UsbOp {
  enum Kind { kWrite, kRead, kClearStall } kind;
  int pipe = 0;
  std::vector<uint8_t> data;  // bytes written, or bytes delivered by a read
  uint32_t requested = 0;     // bytes asked for by a read
  usb::IOReturn result = 0;
  uint64_t atMicros = 0;      // fake time when the operation started
};

// An interface whose writes and reads are answered from a script. A read
// with no scripted answer, or a write when the next step is a read, throws,
// so a test sees exactly where the exchange went off its expected course.
class ScriptedInterface : public usb::UsbInterface {
 public:
  explicit ScriptedInterface(FakeClock* clock = nullptr) : mClock(clock) {}

  // Script steps, consumed in order.
  void ExpectWrite(usb::IOReturn rc = 0, uint64_t takesMicros = 0) {
    mSteps.push_back(Step{UsbOp::kWrite, {}, rc, takesMicros});
  }
  void QueueRead(std::vector<uint8_t> data, usb::IOReturn rc = 0, uint64_t takesMicros = 0) {
    mSteps.push_back(Step{UsbOp::kRead, std::move(data), rc, takesMicros});
  }
  // A 13-byte status block carrying the SCSI status byte in byte 9.
  static std::vector<uint8_t> StatusBlock(uint8_t scsiStatus) {
    std::vector<uint8_t> s(13, 0);
    s[0] = 0x53;
    s[9] = scsiStatus;
    return s;
  }
  void QueueStatus(uint8_t scsiStatus) { QueueRead(StatusBlock(scsiStatus)); }
  // A whole command without data phase answered with good status.
  void ScriptNoDataCommand(uint8_t scsiStatus = 0) {
    ExpectWrite();
    QueueStatus(scsiStatus);
  }
  // A whole command whose data-in phase delivers `reply`, then good status.
  void ScriptDataInCommand(std::vector<uint8_t> reply, uint8_t scsiStatus = 0) {
    ExpectWrite();
    QueueRead(std::move(reply));
    QueueStatus(scsiStatus);
  }
  // A whole command with a data-out phase, then good status.
  void ScriptDataOutCommand(uint8_t scsiStatus = 0) {
    ExpectWrite();
    ExpectWrite();
    QueueStatus(scsiStatus);
  }
  bool ScriptDone() const { return mSteps.empty(); }

  usb::IOReturn Open() override { return openResult; }
  usb::IOReturn Close() override {
    ++closeCount;
    return 0;
  }
  usb::IOReturn WritePipe(int pipeRef, const void* buf, uint32_t size, uint32_t, uint32_t) override {
    Step step = Next(UsbOp::kWrite);
    UsbOp op{UsbOp::kWrite, pipeRef, {}, 0, step.rc, Now()};
    const uint8_t* p = static_cast<const uint8_t*>(buf);
    op.data.assign(p, p + size);
    log.push_back(std::move(op));
    Advance(step.takesMicros);
    return step.rc;
  }
  usb::IOReturn ReadPipe(int pipeRef, void* buf, uint32_t* size, uint32_t, uint32_t) override {
    Step step = Next(UsbOp::kRead);
    UsbOp op{UsbOp::kRead, pipeRef, {}, *size, step.rc, Now()};
    uint32_t n = uint32_t(step.data.size());
    if (n > *size) n = *size;  // the host never delivers more than asked
    std::copy(step.data.begin(), step.data.begin() + n, static_cast<uint8_t*>(buf));
    op.data.assign(step.data.begin(), step.data.begin() + n);
    *size = n;
    log.push_back(std::move(op));
    Advance(step.takesMicros);
    return step.rc;
  }
  usb::IOReturn ClearPipeStallBothEnds(int pipeRef) override {
    log.push_back(UsbOp{UsbOp::kClearStall, pipeRef, {}, 0, 0, Now()});
    return 0;
  }

  // The ops of one kind, in order.
  std::vector<UsbOp> Ops(UsbOp::Kind kind) const {
    std::vector<UsbOp> out;
    for (const auto& op : log)
      if (op.kind == kind) out.push_back(op);
    return out;
  }

  std::vector<UsbOp> log;
  usb::IOReturn openResult = 0;
  int closeCount = 0;

 private:
  struct Step {
    UsbOp::Kind kind;
    std::vector<uint8_t> data;
    usb::IOReturn rc;
    uint64_t takesMicros;
  };
  Step Next(UsbOp::Kind kind) {
    if (mSteps.empty()) throw std::runtime_error("scripted USB: unexpected transfer after the end of the script");
    Step step = std::move(mSteps.front());
    mSteps.pop_front();
    if (step.kind != kind)
      throw std::runtime_error(kind == UsbOp::kWrite ? "scripted USB: write where the script expects a read"
                                                     : "scripted USB: read where the script expects a write");
    return step;
  }
  uint64_t Now() const { return mClock ? mClock->NowMicros() : 0; }
  void Advance(uint64_t micros) {
    if (mClock) mClock->Advance(micros);
  }

  FakeClock* mClock;
  std::deque<Step> mSteps;
};

// A device whose set-up steps answer from fields the test sets.
class ScriptedDevice : public usb::UsbDevice {
 public:
  ScriptedDevice(uint32_t vendor, uint32_t product, uint32_t location)
      : vendorId(vendor), productId(product), locationId(location) {}

  uint32_t VendorId() const override { return vendorId; }
  uint32_t ProductId() const override { return productId; }
  usb::IOReturn Open() override {
    ++openAttempts;
    if (exclusiveAccessAnswers > 0) {
      --exclusiveAccessAnswers;
      return usb::kIOReturnExclusiveAccess;
    }
    if (openResult == 0) opened = true;
    return openResult;
  }
  usb::IOReturn Close() override {
    opened = false;
    ++closeCount;
    return 0;
  }
  usb::IOReturn Reset() override { return resetResult; }
  usb::IOReturn GetLocationId(uint32_t* location) override {
    *location = locationId;
    return 0;
  }
  usb::IOReturn GetConfigurationValue(uint8_t, uint8_t* value) override {
    *value = 1;
    return configResult;
  }
  usb::IOReturn SetConfiguration(uint8_t) override { return setConfigResult; }
  usb::IOReturn GetFirstInterface(std::unique_ptr<usb::UsbInterface>* iface) override {
    if (interfaceResult != 0) return interfaceResult;
    *iface = std::move(nextInterface);
    return 0;
  }
  usb::IOReturn GetDeviceSpeed(int* s) override {
    *s = speed;
    return 0;
  }

  uint32_t vendorId, productId, locationId;
  int speed = usb::kUsbSpeedHigh;
  int exclusiveAccessAnswers = 0;
  int openAttempts = 0;
  int closeCount = 0;
  bool opened = false;
  usb::IOReturn openResult = 0, resetResult = 0, configResult = 0, setConfigResult = 0, interfaceResult = 0;
  // Handed out by GetFirstInterface; the test keeps a raw pointer to script it.
  std::unique_ptr<usb::UsbInterface> nextInterface;
};

// A bus listing devices the test adds. FindByLocation hands out the device
// object itself (once); the test keeps raw pointers to inspect them.
class ScriptedBus : public usb::UsbBus {
 public:
  ScriptedBus() { usb::SetBusForTesting(this); }
  ~ScriptedBus() override { usb::SetBusForTesting(nullptr); }

  ScriptedDevice* Add(uint32_t vendor, uint32_t product, uint32_t location) {
    auto dev = std::make_unique<ScriptedDevice>(vendor, product, location);
    ScriptedDevice* raw = dev.get();
    mDevices.push_back(std::move(dev));
    mDescs.push_back(usb::UsbDeviceDesc{vendor, product, location});
    return raw;
  }
  // Like Add, but FindByLocation hands out a ForwardingDevice and the bus
  // keeps the device, so the raw pointer stays valid for the life of the bus
  // (a Device destroys its device and interface when it closes).
  ScriptedDevice* AddKept(uint32_t vendor, uint32_t product, uint32_t location) {
    ScriptedDevice* raw = Add(vendor, product, location);
    mKept.push_back(raw);
    return raw;
  }
  std::vector<usb::UsbDeviceDesc> Enumerate() override { return mDescs; }
  std::unique_ptr<usb::UsbDevice> FindByLocation(uint32_t location) override {
    for (auto& dev : mDevices) {
      if (!dev || dev->locationId != location) continue;
      if (std::find(mKept.begin(), mKept.end(), dev.get()) == mKept.end()) return std::move(dev);
      // Handed out once, like the others.
      if (std::find(mHanded.begin(), mHanded.end(), dev.get()) != mHanded.end()) continue;
      mHanded.push_back(dev.get());
      return std::make_unique<ForwardingDevice>(dev.get());
    }
    return nullptr;
  }

 private:
  std::vector<std::unique_ptr<ScriptedDevice>> mDevices;
  std::vector<usb::UsbDeviceDesc> mDescs;
  std::vector<ScriptedDevice*> mKept;
  std::vector<ScriptedDevice*> mHanded;
};

}  // namespace quirel::testing
