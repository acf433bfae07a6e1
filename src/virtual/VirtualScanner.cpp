// Virtual buses made from descriptions (or a watched file), and their registration with the USB layer.
#include "VirtualScanner.h"

#include "VirtualConfig.h"
#include "VirtualDevice.h"
#include "VirtualHotPlug.h"

namespace quirel::virt {

std::unique_ptr<usb::UsbBus> MakeVirtualBus(const std::string& description, std::string* error) {
  // "@FILE": scanners listed in a file that is watched while programs run.
  if (!description.empty() && description[0] == '@') return MakeWatchedVirtualBus(description.substr(1), error);
  std::vector<ScannerConfig> configs;
  if (!ParseDescription(description, &configs, error)) return nullptr;
  return std::make_unique<VirtualBus>(std::move(configs));
}

void RegisterVirtualScanner() { usb::RegisterVirtualBusFactory(&MakeVirtualBus); }

}  // namespace quirel::virt
