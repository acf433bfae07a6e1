// The tool's checks before paper moves: output path, scanner, and the job against the model's limits.
#include "ToolChecks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "FujiDevice.h"
#include "HostClock.h"
#include "OutputCheck.h"
#include "ToolStatus.h"
#include "UsbLayer.h"

using ZuzuvovOvav::Device;
using ZuzuvovOvav::ExceededLimit;
using ZuzuvovOvav::kFileTypePDF;
using ZuzuvovOvav::kFujitsuVendorId;
using ZuzuvovOvav::ProductSettings;
using ZuzuvovOvav::ScanParams;

namespace quirel::tool {

namespace {

// As often and as long as the scan job looks for a scanner and the device
// layer waits for a scanner in use.
using ZuzuvovOvav::FindScannerRetryMicros;
using ZuzuvovOvav::kFindScannerAttempts;
using ZuzuvovOvav::kOpenBusyAttempts;
using ZuzuvovOvav::kOpenBusyRetryMicros;
// Waits at least this long are told on the progress stream.
constexpr uint64_t kTellWaitMicros = 1000000;

const char* kUdevHelp =
    "Install the udev rule that lets the logged-in user open the scanner, then unplug and reconnect it:\n"
    "  sudo cp udev/60-quirel.rules /etc/udev/rules.d/\n"
    "  sudo udevadm control --reload && sudo udevadm trigger\n"
    "(udev/ is in Quirel's source folder; cmake --install puts a copy in lib/udev/rules.d under its prefix,\n"
    "where udev reads it for the prefix /usr.)\n";

std::string Inches(uint32_t units) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f in", units / 1200.0);
  return text;
}

// "fi-7160 at USB location 14100000"
std::string Naming(const char* model, uint32_t location) {
  char text[128];
  std::snprintf(text, sizeof text, "%s at USB location %x", model, unsigned(location));
  return text;
}

std::string AttachedList(const std::vector<ZuzuvovOvav::ScannerDescT>& scanners) {
  std::string list;
  for (const auto& s : scanners) list += (list.empty() ? "" : ", ") + Naming(s.mModelName, s.mLocationId);
  return list;
}

}  // namespace

int CheckOutput(const ScanParams& params, FILE* err) {
  ZuzuvovOvav::OutputCheck check = ZuzuvovOvav::CheckOutputTarget(params);
  if (check.mStopped) return kScanStoppedEarly;
  // Previews go through a FIFO in this user's temporary folder.
  if (check.mStatus == 0 && params.mPreviewWidth > 0 && params.mPreviewHeight > 0)
    check = ZuzuvovOvav::CheckTemporaryFolder("the previews are sent through it");
  if (check.mStatus == 0) return 0;
  const bool pdf = params.mFileType == kFileTypePDF;
  std::string remedy;
  if (check.mRemedy == ZuzuvovOvav::OutputCheck::Remedy::kNewFile)
    remedy = " Leave out --append to make a new file.";
  else if (check.mRemedy == ZuzuvovOvav::OutputCheck::Remedy::kOtherFormat)
    // Its name has the extension of the scan's format (the name rule adds
    // it), so only a new name lets the other format append to it.
    remedy = std::string(" Its name ends in ") + (pdf ? ".pdf" : ".tif") + ": rename it to end in " +
             (pdf ? ".tif" : ".pdf") + " and append with " + (pdf ? "--tiff" : "--pdf") + ", or choose a " +
             (pdf ? "PDF" : "TIFF") + " file.";
  std::fprintf(err, "quirel: %s%s\n", check.mText.c_str(), remedy.c_str());
  return check.mStatus;
}

int FindScanner(uint32_t location, bool verbose, const std::function<bool()>& stopped, uint32_t* productId,
                FILE* out, FILE* err) {
  std::vector<ZuzuvovOvav::ScannerDescT> scanners;
  const ZuzuvovOvav::ScannerDescT* chosen = nullptr;
  uint64_t waited = 0;
  bool told = false;
  // A wait that passes a second is told once, so that nobody takes it for
  // a hang.
  auto wait = [&](uint64_t micros, const std::string& what) {
    quirel::host::SleepMicros(micros);
    waited += micros;
    if (told || waited < kTellWaitMicros) return;
    told = true;
    std::fprintf(out, "%s\n", what.c_str());
    std::fflush(out);
  };
  char where[64] = "a supported scanner to be connected or switched on";
  if (location != 0) std::snprintf(where, sizeof where, "a scanner at USB location %x", unsigned(location));
  for (int attempt = 1; attempt <= kFindScannerAttempts; ++attempt) {
    scanners = Device::EnumerateScanners();
    for (const auto& s : scanners)
      if (location == 0 || s.mLocationId == location) {
        chosen = &s;
        break;
      }
    if (chosen || stopped()) break;
    if (attempt < kFindScannerAttempts)
      wait(FindScannerRetryMicros(attempt), std::string("Waiting for ") + where + " (up to 9 seconds)...");
  }
  if (stopped()) return kScanStoppedEarly;
  if (!chosen) {
    if (location == 0) {
      std::fprintf(err, "quirel: no supported scanner is attached. Check that it is switched on and connected by USB; quirel --enumerate lists the scanners found.\n");
      return kScanNoScanner;
    }
    // Something else at that location is named as what it is.
    if (usb::UsbBus* bus = usb::CurrentBus()) {
      for (const auto& d : bus->Enumerate())
        if (d.locationId == location) {
          std::fprintf(err, "quirel: the USB device at location %x (vendor 0x%04x, product 0x%04x) is not a scanner this program supports.\n",
                       unsigned(location), unsigned(d.vendorId), unsigned(d.productId));
          location = 0;
          break;
        }
    }
    if (location != 0) std::fprintf(err, "quirel: no scanner at USB location %x.\n", unsigned(location));
    if (scanners.empty())
      std::fprintf(err, "No supported scanner is attached.\n");
    else
      std::fprintf(err, "Attached: %s. Give one of these locations with --location, or leave it out to use the first.\n",
                   AttachedList(scanners).c_str());
    return kScanNoScanner;
  }

  // One open and close, as the device layer opens it (the first interface
  // claimed), without a reset or any command.
  const std::string name = Naming(chosen->mModelName, chosen->mLocationId);
  *productId = chosen->mProductId;
  usb::UsbBus* bus = usb::CurrentBus();
  std::unique_ptr<usb::UsbDevice> device = bus ? bus->FindByLocation(chosen->mLocationId) : nullptr;
  if (!device) return 0;  // gone again: the job looks for it as it always does
  using namespace quirel::usb;
  IOReturn rc = kIOReturnSuccess;
  waited = 0;
  told = false;
  for (int attempt = 1; attempt <= kOpenBusyAttempts; ++attempt) {
    rc = device->Open();
    if (rc != kIOReturnExclusiveAccess || stopped()) break;
    if (attempt < kOpenBusyAttempts)
      wait(kOpenBusyRetryMicros, "The scanner " + name + " is in use by another program; waiting for it (up to " +
                                 std::to_string(kOpenBusyAttempts - 1) + " seconds)...");
  }
  if (rc == kIOReturnSuccess) {
    device->Close();
    return 0;
  }
  if (stopped()) return kScanStoppedEarly;
  char code[40] = "";
  if (verbose) std::snprintf(code, sizeof code, " [error 0x%08x]", unsigned(rc));
  if (rc == kIOReturnNotPrivileged || rc == kIOReturnNotPermitted) {
    std::fprintf(err, "quirel: the scanner %s cannot be opened: permission denied%s.\n%s", name.c_str(), code, kUdevHelp);
    return kScanNoScanner;
  }
  if (rc == kIOReturnExclusiveAccess) {
    std::fprintf(err, "quirel: the scanner %s cannot be opened: another program is using it%s. Close that program (or wait until it is done) and try again.\n",
                 name.c_str(), code);
    return kScanNoScanner;
  }
  // Anything else (unplugged meanwhile, a bus error) is left to the job,
  // which looks for the scanner again and reports what it finds.
  return 0;
}

int CheckLimits(const ScanParams& params, uint32_t productId, FILE* err) {
  const ProductSettings* product = Device::GetProductById(productId);
  if (!product) return 0;
  const char* model = product->mModelName;
  // The job as the user asked for it; the engine may round its window
  // beyond these lengths for the transfer, and the scanner takes that.
  const ExceededLimit limit = params.FirstExceededLimit(*product);
  if (limit.kind == ExceededLimit::kNone) return 0;
  if (limit.kind == ExceededLimit::kNoFlatbed) {
    std::fprintf(err, "quirel: the %s has no flatbed. Scan from the document feeder: leave out --flatbed.\n", model);
    return kScanErrorMessage;
  }

  const bool flatbed = params.mUseFlatbed;
  const char* where = flatbed ? "flatbed" : "feeder";
  // Lengths as the user gave them describe the page as it comes out: with a
  // quarter turn its width runs along the feed.
  const char* acrossOption = limit.turned ? "--paper-height" : "--paper-width";
  const char* alongOption = limit.turned ? "--paper-width" : "--paper-height";
  const unsigned value = limit.value, most = limit.limit;
  char resolution[48] = "";
  if (!flatbed) std::snprintf(resolution, sizeof resolution, " at %u dpi", unsigned(params.mXRes));

  switch (limit.kind) {
    case ExceededLimit::kPaperAcross:
      std::fprintf(err, "quirel: the paper is %u wide (%s) across the feed, wider than the %s's %s takes: at most %u (%s). Give %s %u or less.\n",
                   value, Inches(value).c_str(), model, where, most, Inches(most).c_str(), acrossOption, most);
      break;
    case ExceededLimit::kAreaAcross:
      std::fprintf(err, "quirel: the scan area reaches %u (%s) across the feed, beyond the %s's %s width of %u (%s). Make the scan area narrower or move it in.\n",
                   value, Inches(value).c_str(), model, where, most, Inches(most).c_str());
      break;
    case ExceededLimit::kPaperAlong:
      std::fprintf(err, "quirel: the paper is %u long (%s) along the feed, longer than the %s's %s takes%s: at most %u (%s). Give %s %u or less%s.\n",
                   value, Inches(value).c_str(), model, where, resolution, most, Inches(most).c_str(), alongOption, most,
                   flatbed ? "" : ", or see whether a lower --resolution takes longer paper (quirel --capabilities)");
      break;
    default:  // kAreaAlong
      std::fprintf(err, "quirel: the scan area reaches %u (%s) along the feed, beyond the %s's %s length%s of %u (%s). Make the scan area shorter or move it up.\n",
                   value, Inches(value).c_str(), model, where, resolution, most, Inches(most).c_str());
      break;
  }
  return kScanErrorMessage;
}

}  // namespace quirel::tool
