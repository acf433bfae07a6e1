// A USB device and interface that pass every call on to another one, the base of test and bench wrappers.
#pragma once

#include <cstdint>
#include <memory>

#include "UsbLayer.h"

namespace quirel::testing {

// Passes every call on to an inner interface, owned or borrowed; a wrapper
// overrides the calls it watches or changes and calls the base for the rest.
class ForwardingInterface : public usb::UsbInterface {
 public:
  explicit ForwardingInterface(std::unique_ptr<usb::UsbInterface> inner);
  // Borrowed: the inner interface must outlive this one.
  explicit ForwardingInterface(usb::UsbInterface* inner);

  usb::IOReturn Open() override;
  usb::IOReturn Close() override;
  usb::IOReturn WritePipe(int pipeRef, const void* buf, uint32_t size, uint32_t noDataTimeoutMs,
                          uint32_t completionTimeoutMs) override;
  usb::IOReturn ReadPipe(int pipeRef, void* buf, uint32_t* size, uint32_t noDataTimeoutMs,
                         uint32_t completionTimeoutMs) override;
  usb::IOReturn ClearPipeStallBothEnds(int pipeRef) override;

  usb::UsbInterface* Inner() const { return mInner; }

 private:
  std::unique_ptr<usb::UsbInterface> mOwned;
  usb::UsbInterface* mInner;
};

// Passes every call on to an inner device, owned or borrowed. The interface
// it hands out is the inner device's, given to WrapInterface first.
class ForwardingDevice : public usb::UsbDevice {
 public:
  explicit ForwardingDevice(std::unique_ptr<usb::UsbDevice> inner);
  // Borrowed: the inner device must outlive this one.
  explicit ForwardingDevice(usb::UsbDevice* inner);

  uint32_t VendorId() const override;
  uint32_t ProductId() const override;
  usb::IOReturn Open() override;
  usb::IOReturn Close() override;
  usb::IOReturn Reset() override;
  usb::IOReturn GetLocationId(uint32_t* location) override;
  usb::IOReturn GetConfigurationValue(uint8_t index, uint8_t* value) override;
  usb::IOReturn SetConfiguration(uint8_t value) override;
  usb::IOReturn GetFirstInterface(std::unique_ptr<usb::UsbInterface>* iface) override;
  usb::IOReturn GetDeviceSpeed(int* speed) override;

  usb::UsbDevice* Inner() const { return mInner; }

 protected:
  // The interface handed out in place of the inner device's (never null);
  // the default hands out the inner one itself.
  virtual std::unique_ptr<usb::UsbInterface> WrapInterface(std::unique_ptr<usb::UsbInterface> inner);

 private:
  std::unique_ptr<usb::UsbDevice> mOwned;
  usb::UsbDevice* mInner;
};

}  // namespace quirel::testing
