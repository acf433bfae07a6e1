// The forwarding USB device and interface: every call passed on unchanged.
#include "ForwardingUsb.h"

#include <utility>

namespace quirel::testing {

ForwardingInterface::ForwardingInterface(std::unique_ptr<usb::UsbInterface> inner)
    : mOwned(std::move(inner)), mInner(mOwned.get()) {}
ForwardingInterface::ForwardingInterface(usb::UsbInterface* inner) : mInner(inner) {}

usb::IOReturn ForwardingInterface::Open() { return mInner->Open(); }
usb::IOReturn ForwardingInterface::Close() { return mInner->Close(); }
usb::IOReturn ForwardingInterface::WritePipe(int pipeRef, const void* buf, uint32_t size, uint32_t noDataTimeoutMs,
                                             uint32_t completionTimeoutMs) {
  return mInner->WritePipe(pipeRef, buf, size, noDataTimeoutMs, completionTimeoutMs);
}
usb::IOReturn ForwardingInterface::ReadPipe(int pipeRef, void* buf, uint32_t* size, uint32_t noDataTimeoutMs,
                                            uint32_t completionTimeoutMs) {
  return mInner->ReadPipe(pipeRef, buf, size, noDataTimeoutMs, completionTimeoutMs);
}
usb::IOReturn ForwardingInterface::ClearPipeStallBothEnds(int pipeRef) { return mInner->ClearPipeStallBothEnds(pipeRef); }

ForwardingDevice::ForwardingDevice(std::unique_ptr<usb::UsbDevice> inner)
    : mOwned(std::move(inner)), mInner(mOwned.get()) {}
ForwardingDevice::ForwardingDevice(usb::UsbDevice* inner) : mInner(inner) {}

uint32_t ForwardingDevice::VendorId() const { return mInner->VendorId(); }
uint32_t ForwardingDevice::ProductId() const { return mInner->ProductId(); }
usb::IOReturn ForwardingDevice::Open() { return mInner->Open(); }
usb::IOReturn ForwardingDevice::Close() { return mInner->Close(); }
usb::IOReturn ForwardingDevice::Reset() { return mInner->Reset(); }
usb::IOReturn ForwardingDevice::GetLocationId(uint32_t* location) { return mInner->GetLocationId(location); }
usb::IOReturn ForwardingDevice::GetConfigurationValue(uint8_t index, uint8_t* value) {
  return mInner->GetConfigurationValue(index, value);
}
usb::IOReturn ForwardingDevice::SetConfiguration(uint8_t value) { return mInner->SetConfiguration(value); }
usb::IOReturn ForwardingDevice::GetDeviceSpeed(int* speed) { return mInner->GetDeviceSpeed(speed); }

usb::IOReturn ForwardingDevice::GetFirstInterface(std::unique_ptr<usb::UsbInterface>* iface) {
  std::unique_ptr<usb::UsbInterface> inner;
  const usb::IOReturn rc = mInner->GetFirstInterface(&inner);
  if (inner) *iface = WrapInterface(std::move(inner));
  else iface->reset();
  return rc;
}

std::unique_ptr<usb::UsbInterface> ForwardingDevice::WrapInterface(std::unique_ptr<usb::UsbInterface> inner) {
  return inner;
}

}  // namespace quirel::testing
