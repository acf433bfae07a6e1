// Watches the USB bus for devices of the scanner vendor (0x04C5, any product)
// and tells one target whenever such a device arrives or leaves.
//
// The USB layer delivers hot-plug notifications on a thread of its own; the
// monitor passes each one to the thread that created it (the GUI thread)
// through the event loop, and calls the action there, synchronously. Devices
// already attached are reported while the monitor is being created, before
// create() returns, so the target must be ready for reports at that point.
// The monitor only reports; it never opens a device.
//
// Thread-bound to the creating thread, which must run an event loop for
// later reports to arrive.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "FujiDevice.h"
#include "UsbLayer.h"

class Quirel_UsbMonitor : public QObject {
  Q_OBJECT
 public:
  // arrived (true) or left (false), the device's location id, and its
  // product id (0 on departure).
  using Action = std::function<void(bool arrived, uint32_t location, uint16_t product)>;

  // The maker of the scanners the device layer supports.
  static constexpr uint16_t sVendorId = uint16_t(ZuzuvovOvav::kFujitsuVendorId);

  // Starts watching the current USB bus; null when the set-up fails (the
  // failure is logged). Scanners already attached are reported through
  // `action` before this returns.
  static std::unique_ptr<Quirel_UsbMonitor> create(Action action);
  ~Quirel_UsbMonitor() override;

  // Calls the action with these three arguments.
  void performCallbackAdd(bool arrived, uint32_t location, uint16_t product);

  // An IOKit-style return code as "0x%02x 0x%03x 0x%04x" (system,
  // subsystem, code).
  static const char* DecodeErr(uint32_t code);

 private:
  struct Relay;
  explicit Quirel_UsbMonitor(Action action);

  void DeviceAdded(const quirel::usb::UsbDeviceDesc& desc);
  void DeviceNotice(uint32_t location);
  void OnHotPlug(quirel::usb::HotPlugEvent event, const quirel::usb::UsbDeviceDesc& desc);

  Action mAction;
  std::shared_ptr<Relay> mRelay;
  // One record per reported device: its location id and product id.
  std::map<uint32_t, uint16_t> mDevices;
};
