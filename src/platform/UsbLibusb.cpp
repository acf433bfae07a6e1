// Placeholder until the libusb backend lands.
#include "UsbLayer.h"

namespace quirel::usb {

std::unique_ptr<UsbBus> MakeLibusbBus(std::string* error) {
  if (error) *error = "libusb backend not built";
  return nullptr;
}

uint32_t MakeLocationId(uint8_t busNumber, const uint8_t* ports, int portCount) {
  uint32_t id = uint32_t(busNumber) << 24;
  for (int i = 0; i < portCount && i < 6; ++i) id |= uint32_t(ports[i] & 0xF) << (20 - 4 * i);
  return id;
}

}  // namespace quirel::usb
