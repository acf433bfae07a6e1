#include "VirtualScanner.h"

#include "VirtualConfig.h"
#include "VirtualDevice.h"

namespace quirel::virt {

std::unique_ptr<usb::UsbBus> MakeVirtualBus(const std::string& description, std::string* error) {
  std::vector<ScannerConfig> configs;
  if (!ParseDescription(description, &configs, error)) return nullptr;
  return std::make_unique<VirtualBus>(std::move(configs));
}

void RegisterVirtualScanner() { usb::RegisterVirtualBusFactory(&MakeVirtualBus); }

}  // namespace quirel::virt
