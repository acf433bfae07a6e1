// The process's USB bus: the host's libusb bus or a registered virtual one, replaceable in tests.
#include "UsbLayer.h"

#include <cstdlib>
#include <mutex>

namespace quirel::usb {

namespace {

std::mutex gBusMutex;
UsbBus* gTestBus = nullptr;
std::unique_ptr<UsbBus> gBus;
bool gBusMade = false;
std::string gBusError;

VirtualBusFactory& Factory() {
  static VirtualBusFactory factory;
  return factory;
}

}  // namespace

void RegisterVirtualBusFactory(VirtualBusFactory factory) {
  std::lock_guard<std::mutex> lock(gBusMutex);
  Factory() = std::move(factory);
}

UsbBus* CurrentBus() {
  std::lock_guard<std::mutex> lock(gBusMutex);
  if (gTestBus) return gTestBus;
  if (!gBusMade) {
    gBusMade = true;
    const char* description = std::getenv("QUIREL_VIRTUAL_SCANNER");
    if (description && *description) {
      if (Factory()) {
        gBus = Factory()(description, &gBusError);
      } else {
        gBusError = "QUIREL_VIRTUAL_SCANNER is set but this program has no virtual scanner";
      }
    } else {
      gBus = MakeLibusbBus(&gBusError);
    }
  }
  return gBus.get();
}

const std::string& CurrentBusError() {
  std::lock_guard<std::mutex> lock(gBusMutex);
  return gBusError;
}

void SetBusForTesting(UsbBus* bus) {
  std::lock_guard<std::mutex> lock(gBusMutex);
  gTestBus = bus;
}

}  // namespace quirel::usb
