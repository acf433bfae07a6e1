// The tool's scanner queries: --enumerate and --capabilities.
#include "ToolQueries.h"

#include <cerrno>
#include <cstdlib>

#include "FujiDevice.h"
#include "ToolStatus.h"
#include "UsbLayer.h"

using ZuzuvovOvav::Device;
using ZuzuvovOvav::kFujitsuVendorId;
using ZuzuvovOvav::ProductSettings;

namespace quirel::tool {

namespace {

// The bus, or null after printing why it cannot be used.
usb::UsbBus* BusOrReport(FILE* err) {
  usb::UsbBus* bus = usb::CurrentBus();
  if (!bus) {
    const std::string& why = usb::CurrentBusError();
    // A malformed virtual scanner description names itself; only a real bus
    // failure needs the context.
    if (why.rfind("QUIREL_VIRTUAL_SCANNER", 0) == 0)
      std::fprintf(err, "quirel: %s\n", why.c_str());
    else
      std::fprintf(err, "quirel: cannot reach the USB bus: %s\n", why.c_str());
  }
  return bus;
}

// Model names are printed without blanks so that a line splits into fields
// at single blanks.
std::string NameWithoutBlanks(const char* name) {
  std::string out;
  for (const char* p = name; *p; ++p)
    if (*p != ' ') out += *p;
  return out;
}

}  // namespace

bool BusUsable(FILE* err) { return BusOrReport(err) != nullptr; }

bool ParseLocation(const std::string& text, uint32_t* location) {
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
  if (digits.empty() || digits.size() > 8) return false;
  for (char c : digits)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  *location = uint32_t(std::strtoul(digits.c_str(), nullptr, 16));
  return true;
}

int ListScanners(FILE* out, FILE* err) {
  if (!BusOrReport(err)) return kScanUsbUnavailable;
  std::fprintf(out, "model vendor product location\n");
  for (const auto& desc : Device::EnumerateScanners()) {
    std::fprintf(out, "%s %x %x %x\n", NameWithoutBlanks(desc.mModelName).c_str(), unsigned(desc.mVendorId),
                 unsigned(desc.mProductId), unsigned(desc.mLocationId));
  }
  std::fflush(out);
  return kScanOK;
}

int PrintCapabilities(const std::string& locationText, FILE* out, FILE* err) {
  uint32_t location = 0;
  if (!ParseLocation(locationText, &location)) {
    std::fprintf(err, "quirel: \"%s\" is not a USB location (expected a hexadecimal number as --enumerate prints it)\n",
                 locationText.c_str());
    return kScanUsage;
  }
  usb::UsbBus* bus = BusOrReport(err);
  if (!bus) return kScanUsbUnavailable;

  // Look at every device, not only the supported ones, so that the message
  // can tell an unsupported scanner from an empty location.
  const ProductSettings* product = nullptr;
  bool found = false;
  for (const auto& desc : bus->Enumerate()) {
    if (desc.locationId != location) continue;
    found = true;
    if (desc.vendorId != kFujitsuVendorId) {
      std::fprintf(err, "quirel: the USB device at location %x (vendor 0x%04x, product 0x%04x) is not a scanner this program supports\n",
                   unsigned(location), unsigned(desc.vendorId), unsigned(desc.productId));
      return kScanNoScanner;
    }
    product = Device::GetProductById(desc.productId);
    if (!product || !product->mSupported) {
      std::fprintf(err, "quirel: the scanner at location %x has product id 0x%04x, which is not a supported model\n",
                   unsigned(location), unsigned(desc.productId));
      return kScanNoScanner;
    }
    break;
  }
  if (!found) {
    std::fprintf(err, "quirel: no USB device at location %x\n", unsigned(location));
    return kScanNoScanner;
  }

  std::fputs(Device::CapabilityLines(*product).c_str(), out);
  std::fflush(out);
  return kScanOK;
}

}  // namespace quirel::tool
