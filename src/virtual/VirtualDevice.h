// The USB layer objects that reach virtual scanners: the device, its first interface and the bus.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "UsbLayer.h"
#include "VirtualConfig.h"
#include "VirtualScannerCore.h"

namespace quirel::virt {

class VirtualInterface : public usb::UsbInterface {
 public:
  explicit VirtualInterface(std::shared_ptr<ScannerCore> core) : mCore(std::move(core)) {}
  usb::IOReturn Open() override { return mCore->CheckPresent(); }
  usb::IOReturn Close() override { return usb::kIOReturnSuccess; }
  usb::IOReturn WritePipe(int pipeRef, const void* buf, uint32_t size, uint32_t, uint32_t) override {
    return mCore->Write(pipeRef, buf, size);
  }
  usb::IOReturn ReadPipe(int pipeRef, void* buf, uint32_t* size, uint32_t, uint32_t) override {
    return mCore->Read(pipeRef, buf, size);
  }
  usb::IOReturn ClearPipeStallBothEnds(int) override { return mCore->CheckPresent(); }

 private:
  std::shared_ptr<ScannerCore> mCore;
};

class VirtualDevice : public usb::UsbDevice {
 public:
  explicit VirtualDevice(std::shared_ptr<ScannerCore> core) : mCore(std::move(core)) {}
  ~VirtualDevice() override;
  uint32_t VendorId() const override { return mCore->Desc().vendorId; }
  uint32_t ProductId() const override { return mCore->Desc().productId; }
  usb::IOReturn Open() override;
  usb::IOReturn Close() override;
  usb::IOReturn Reset() override { return mCore->ResetDevice(); }
  usb::IOReturn GetLocationId(uint32_t* location) override;
  usb::IOReturn GetConfigurationValue(uint8_t index, uint8_t* value) override;
  usb::IOReturn SetConfiguration(uint8_t value) override;
  usb::IOReturn GetFirstInterface(std::unique_ptr<usb::UsbInterface>* iface) override;
  usb::IOReturn GetDeviceSpeed(int* speed) override;

 private:
  std::shared_ptr<ScannerCore> mCore;
  bool mOpen = false;
};

class VirtualBus : public usb::UsbBus {
 public:
  explicit VirtualBus(std::vector<ScannerConfig> configs);
  ~VirtualBus() override;
  std::vector<usb::UsbDeviceDesc> Enumerate() override;
  std::unique_ptr<usb::UsbDevice> FindByLocation(uint32_t location) override;
  bool WatchHotPlug(uint32_t vendorId, usb::HotPlugCallback callback) override;
  // Takes every scanner of the bus off it (ScannerCore::Detach).
  void Detach();

 private:
  std::vector<std::shared_ptr<ScannerCore>> mScanners;
  // Shared with the scanners' unplug callbacks, which may outlive the bus.
  struct Watchers {
    std::mutex mutex;
    std::vector<usb::HotPlugCallback> callbacks;
  };
  std::shared_ptr<Watchers> mWatchers = std::make_shared<Watchers>();
};

}  // namespace quirel::virt
