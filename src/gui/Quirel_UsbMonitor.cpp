// Quirel_UsbMonitor: reports scanners of the supported vendor arriving and leaving on USB.
#include "Quirel_UsbMonitor.h"

#include <QMetaObject>
#include <QPointer>
#include <cstdio>
#include <mutex>

#include "FrontendLog.h"

using quirel::usb::HotPlugEvent;
using quirel::usb::UsbDeviceDesc;

// The USB layer keeps a watch's callback for the life of the bus, longer than
// a monitor may live; the callback reaches the monitor through this relay,
// which the monitor empties when it goes.
struct Quirel_UsbMonitor::Relay {
  std::mutex mutex;
  Quirel_UsbMonitor* monitor = nullptr;
};

const char* Quirel_UsbMonitor::DecodeErr(uint32_t code) {
  static char buf[32];
  std::snprintf(buf, sizeof buf, "0x%02x 0x%03x 0x%04x", unsigned((code >> 26) & 0x3F), unsigned((code >> 14) & 0xFFF),
                unsigned(code & 0x3FFF));
  return buf;
}

Quirel_UsbMonitor::Quirel_UsbMonitor(Action action) : mAction(std::move(action)), mRelay(std::make_shared<Relay>()) {}

std::unique_ptr<Quirel_UsbMonitor> Quirel_UsbMonitor::create(Action action) {
  std::unique_ptr<Quirel_UsbMonitor> monitor(new Quirel_UsbMonitor(std::move(action)));

  quirel::usb::UsbBus* bus = quirel::usb::CurrentBus();
  if (!bus) {
    quirel::frontend::Log("err (%s) getting mach master port", DecodeErr(quirel::usb::kIOReturnNotFound));
    quirel::frontend::Log("usb bus unavailable: %s", quirel::usb::CurrentBusError().c_str());
    return nullptr;
  }

  monitor->mRelay->monitor = monitor.get();
  std::weak_ptr<Relay> weakRelay = monitor->mRelay;
  // Notifications arrive on the backend's thread; each is handed to the
  // monitor's thread and handled there in arrival order.
  auto callback = [weakRelay](HotPlugEvent event, const UsbDeviceDesc& desc) {
    std::shared_ptr<Relay> relay = weakRelay.lock();
    if (!relay) return;
    std::lock_guard<std::mutex> lock(relay->mutex);
    Quirel_UsbMonitor* target = relay->monitor;
    if (!target) return;
    QMetaObject::invokeMethod(
        target, [target, event, desc] { target->OnHotPlug(event, desc); }, Qt::QueuedConnection);
  };
  if (!bus->WatchHotPlug(sVendorId, callback)) {
    quirel::frontend::Log("err (%s) adding match notification request", DecodeErr(quirel::usb::kIOReturnUnsupported));
    return nullptr;
  }
  quirel::frontend::Log("usb monitor init'd");

  // The watch is armed before the bus is listed, so a scanner plugged in
  // meanwhile is not missed; one that appears in both is reported once.
  for (const UsbDeviceDesc& desc : bus->Enumerate()) monitor->DeviceAdded(desc);
  return monitor;
}

Quirel_UsbMonitor::~Quirel_UsbMonitor() {
  quirel::frontend::Log("usb monitor dealloc'd");
  std::lock_guard<std::mutex> lock(mRelay->mutex);
  mRelay->monitor = nullptr;
}

void Quirel_UsbMonitor::performCallbackAdd(bool arrived, uint32_t location, uint16_t product) {
  if (mAction) mAction(arrived, location, product);
}

void Quirel_UsbMonitor::OnHotPlug(HotPlugEvent event, const UsbDeviceDesc& desc) {
  if (event == HotPlugEvent::kArrived)
    DeviceAdded(desc);
  else
    DeviceNotice(desc.locationId);
}

void Quirel_UsbMonitor::DeviceAdded(const UsbDeviceDesc& desc) {
  // Devices of other vendors, and devices whose ids read 0, are never
  // reported (and so never get a departure either).
  if (desc.vendorId != sVendorId) return;
  if (desc.locationId == 0 || desc.productId == 0) return;
  if (mDevices.count(desc.locationId)) return;
  const uint16_t product = uint16_t(desc.productId);
  mDevices[desc.locationId] = product;
  quirel::frontend::Log("matched device 0x%hx at 0x%x", product, unsigned(desc.locationId));
  performCallbackAdd(true, desc.locationId, product);
}

void Quirel_UsbMonitor::DeviceNotice(uint32_t location) {
  auto it = mDevices.find(location);
  if (it == mDevices.end()) return;
  mDevices.erase(it);
  quirel::frontend::Log("device detached 0x%x", unsigned(location));
  performCallbackAdd(false, location, 0);
}
