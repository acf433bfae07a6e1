// The USB layer: the host's USB services as the scanner engine uses them.
//
// The engine talks to a scanner through an abstract bus (enumerate, open by
// location, hot-plug) and an abstract device with one claimed interface and
// two bulk pipes. Two backends implement it: libusb-1.0 for real scanners and
// the virtual scanner (selected with QUIREL_VIRTUAL_SCANNER). Tests install
// their own bus with SetBusForTesting().
//
// Results are transport codes in the host's layout (system in bits 26-31,
// subsystem in bits 14-25, code in bits 0-13), so that every message the
// engine formats from them reads the same whatever backend produced them.
//
// Thread safety: a UsbDevice and its UsbInterface belong to one thread (the
// scan thread of a job). The bus's Enumerate() may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quirel::usb {

using IOReturn = uint32_t;

// Generic host codes (system 0x38, subsystem 0).
constexpr IOReturn kIOReturnSuccess = 0;
constexpr IOReturn kIOReturnError = 0xE00002BC;
constexpr IOReturn kIOReturnNoMemory = 0xE00002BD;
constexpr IOReturn kIOReturnNoResources = 0xE00002BE;
constexpr IOReturn kIOReturnBadArgument = 0xE00002C2;
constexpr IOReturn kIOReturnNoDevice = 0xE00002C0;
constexpr IOReturn kIOReturnNotPrivileged = 0xE00002C1;
constexpr IOReturn kIOReturnExclusiveAccess = 0xE00002C5;
constexpr IOReturn kIOReturnUnsupported = 0xE00002C7;
constexpr IOReturn kIOReturnNotOpen = 0xE00002CD;
constexpr IOReturn kIOReturnTimeout = 0xE00002D6;
constexpr IOReturn kIOReturnNotPermitted = 0xE00002E2;
constexpr IOReturn kIOReturnUnderrun = 0xE00002E7;
constexpr IOReturn kIOReturnOverrun = 0xE00002E8;
constexpr IOReturn kIOReturnAborted = 0xE00002EB;
constexpr IOReturn kIOReturnNotResponding = 0xE00002ED;
constexpr IOReturn kIOReturnNotFound = 0xE00002F0;
// USB family codes (system 0x38, subsystem 1).
constexpr IOReturn kIOUSBPipeStalled = 0xE000404F;
constexpr IOReturn kIOUSBTransactionTimeout = 0xE0004051;
constexpr IOReturn kIOUSBNoAsyncPortErr = 0xE0004055;
// Used by the command transport for a status block of the wrong length.
constexpr IOReturn kIOUSBIncorrectStatusLength = 0xE00040FF;

// Pipe references of the scanner's interface.
constexpr int kPipeIn = 1;
constexpr int kPipeOut = 2;

// Connection speeds as the host reports them.
enum UsbSpeed : int { kUsbSpeedLow = 0, kUsbSpeedFull = 1, kUsbSpeedHigh = 2, kUsbSpeedSuper = 3 };

// One USB device seen on the bus.
struct UsbDeviceDesc {
  uint32_t vendorId = 0;
  uint32_t productId = 0;
  uint32_t locationId = 0;
};

// The claimed interface of an opened device and its bulk pipes.
class UsbInterface {
 public:
  virtual ~UsbInterface() = default;
  virtual IOReturn Open() = 0;
  virtual IOReturn Close() = 0;
  // Bulk write of `size` bytes; no-data and completion time-outs in ms.
  virtual IOReturn WritePipe(int pipeRef, const void* buf, uint32_t size, uint32_t noDataTimeoutMs,
                             uint32_t completionTimeoutMs) = 0;
  // Bulk read of at most *size bytes; *size becomes the count received
  // (also on failure: what arrived before the failure). A read of 0 bytes
  // completes at once with 0 bytes and leaves the pipe alone.
  virtual IOReturn ReadPipe(int pipeRef, void* buf, uint32_t* size, uint32_t noDataTimeoutMs,
                            uint32_t completionTimeoutMs) = 0;
  virtual IOReturn ClearPipeStallBothEnds(int pipeRef) = 0;
};

// A device found at a location, before and after it was opened.
class UsbDevice {
 public:
  virtual ~UsbDevice() = default;
  virtual uint32_t VendorId() const = 0;
  virtual uint32_t ProductId() const = 0;
  // Open for exclusive use; kIOReturnExclusiveAccess when another program holds it.
  virtual IOReturn Open() = 0;
  virtual IOReturn Close() = 0;
  virtual IOReturn Reset() = 0;
  virtual IOReturn GetLocationId(uint32_t* location) = 0;
  // bConfigurationValue of configuration descriptor `index`.
  virtual IOReturn GetConfigurationValue(uint8_t index, uint8_t* value) = 0;
  virtual IOReturn SetConfiguration(uint8_t value) = 0;
  // The first interface of the active configuration, or null in *iface with
  // success when the device has none.
  virtual IOReturn GetFirstInterface(std::unique_ptr<UsbInterface>* iface) = 0;
  virtual IOReturn GetDeviceSpeed(int* speed) = 0;
};

enum class HotPlugEvent { kArrived, kLeft };
using HotPlugCallback = std::function<void(HotPlugEvent, const UsbDeviceDesc&)>;

class UsbBus {
 public:
  virtual ~UsbBus() = default;
  // Every USB device attached, in the host's order.
  virtual std::vector<UsbDeviceDesc> Enumerate() = 0;
  // The device at a location, not yet opened; null when nothing is there.
  virtual std::unique_ptr<UsbDevice> FindByLocation(uint32_t location) = 0;
  // Hot-plug notifications of devices of one vendor; false when the backend
  // cannot deliver them. The callback may run on a thread of the backend.
  virtual bool WatchHotPlug(uint32_t vendorId, HotPlugCallback callback) {
    (void)vendorId;
    (void)callback;
    return false;
  }
};

// A backend that builds a bus from the QUIREL_VIRTUAL_SCANNER description.
// On a malformed description it returns null and sets *error.
using VirtualBusFactory = std::function<std::unique_ptr<UsbBus>(const std::string& description, std::string* error)>;
void RegisterVirtualBusFactory(VirtualBusFactory factory);

// The bus the engine uses: a test bus when one is set; else the virtual bus
// when QUIREL_VIRTUAL_SCANNER is set and a factory is registered; else libusb.
// Returns null only when the virtual description is malformed (see
// CurrentBusError()) or libusb cannot start.
UsbBus* CurrentBus();
const std::string& CurrentBusError();
void SetBusForTesting(UsbBus* bus);

// The libusb-1.0 backend; null with *error when libusb cannot be initialised.
std::unique_ptr<UsbBus> MakeLibusbBus(std::string* error);

// Location id of a device: bus number in the top byte, then one port per
// nibble from the root, stable for a given socket (as the host forms them).
uint32_t MakeLocationId(uint8_t busNumber, const uint8_t* ports, int portCount);

}  // namespace quirel::usb
