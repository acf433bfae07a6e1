// The USB layer objects that reach virtual scanners: the device, its interface and the bus.
#include "VirtualDevice.h"

#include "VirtualWire.h"

namespace quirel::virt {

VirtualDevice::~VirtualDevice() {
  if (mOpen) mCore->CloseDevice();
}

usb::IOReturn VirtualDevice::Open() {
  usb::IOReturn rc = mCore->OpenDevice();
  if (rc == usb::kIOReturnSuccess) mOpen = true;
  return rc;
}

usb::IOReturn VirtualDevice::Close() {
  if (!mOpen) return mCore->CheckPresent();
  mOpen = false;
  return mCore->CloseDevice();
}

usb::IOReturn VirtualDevice::GetLocationId(uint32_t* location) {
  *location = mCore->Config().location;
  return mCore->CheckPresent();
}

usb::IOReturn VirtualDevice::GetConfigurationValue(uint8_t index, uint8_t* value) {
  if (index != 0) return usb::kIOReturnBadArgument;
  *value = 1;
  return mCore->CheckPresent();
}

usb::IOReturn VirtualDevice::SetConfiguration(uint8_t value) {
  if (value != 1) return usb::kIOReturnBadArgument;
  return mCore->CheckPresent();
}

usb::IOReturn VirtualDevice::GetFirstInterface(std::unique_ptr<usb::UsbInterface>* iface) {
  usb::IOReturn rc = mCore->CheckPresent();
  if (rc != usb::kIOReturnSuccess) return rc;
  *iface = std::make_unique<VirtualInterface>(mCore);
  return rc;
}

usb::IOReturn VirtualDevice::GetDeviceSpeed(int* speed) {
  *speed = mCore->Config().speed;
  return mCore->CheckPresent();
}

VirtualBus::VirtualBus(std::vector<ScannerConfig> configs) {
  std::weak_ptr<Watchers> watchers = mWatchers;
  for (ScannerConfig& config : configs) {
    auto core = std::make_shared<ScannerCore>(std::move(config));
    core->SetUnplugCallback([watchers](const usb::UsbDeviceDesc& desc) {
      std::shared_ptr<Watchers> w = watchers.lock();
      if (!w) return;
      std::vector<usb::HotPlugCallback> callbacks;
      {
        std::lock_guard<std::mutex> lock(w->mutex);
        callbacks = w->callbacks;
      }
      for (auto& cb : callbacks) cb(usb::HotPlugEvent::kLeft, desc);
    });
    mScanners.push_back(std::move(core));
  }
}

VirtualBus::~VirtualBus() = default;

std::vector<usb::UsbDeviceDesc> VirtualBus::Enumerate() {
  std::vector<usb::UsbDeviceDesc> out;
  for (auto& s : mScanners)
    if (s->Present()) out.push_back(s->Desc());
  return out;
}

std::unique_ptr<usb::UsbDevice> VirtualBus::FindByLocation(uint32_t location) {
  for (auto& s : mScanners)
    if (s->Present() && s->Config().location == location) return std::make_unique<VirtualDevice>(s);
  return nullptr;
}

bool VirtualBus::WatchHotPlug(uint32_t vendorId, usb::HotPlugCallback callback) {
  if (vendorId != wire::kFujitsuVendorId) return true;  // no virtual device of another vendor ever comes or goes
  std::lock_guard<std::mutex> lock(mWatchers->mutex);
  mWatchers->callbacks.push_back(std::move(callback));
  return true;
}

void VirtualBus::Detach() {
  for (auto& s : mScanners) s->Detach();
}

}  // namespace quirel::virt
