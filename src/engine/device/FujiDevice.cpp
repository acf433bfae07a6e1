// Device: finding, opening and closing the scanner, and the opened model's capabilities.
#include "FujiDevice.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "HostClock.h"

namespace ZuzuvovOvav {

namespace {

using quirel::usb::IOReturn;
using quirel::usb::kIOReturnExclusiveAccess;
using quirel::usb::kIOReturnSuccess;


// The all-zero row that ends the model table; the accessors read it while no
// model is set, so that a question asked of a closed device cannot crash.
const ProductSettings& TerminatingRow() {
  const ProductSettings* row = Device::sProductSettings;
  while (row->mProductId != 0) ++row;
  return *row;
}

}  // namespace

Device::Device() {
  mInfoMsg[0] = '\0';
  mErrMsg[0] = '\0';
}

Device::~Device() { Close(); }

const ProductSettings* Device::GetProductById(uint32_t productId) {
  // Built on the first call (C++ guarantees one thread builds it while the
  // others wait) and only read afterwards.
  static const std::unordered_map<uint32_t, const ProductSettings*> byId = [] {
    std::unordered_map<uint32_t, const ProductSettings*> map;
    for (const ProductSettings* row = sProductSettings; row->mProductId != 0; ++row)
      map.emplace(row->mProductId, row);  // the first row of an id wins
    return map;
  }();
  auto it = byId.find(productId);
  return it == byId.end() ? nullptr : it->second;
}

std::vector<ScannerDescT> Device::EnumerateScanners() {
  std::vector<ScannerDescT> found;
  quirel::usb::UsbBus* bus = quirel::usb::CurrentBus();
  if (!bus) return found;
  for (const quirel::usb::UsbDeviceDesc& desc : bus->Enumerate()) {
    if (desc.vendorId != kFujitsuVendorId) continue;
    const ProductSettings* row = GetProductById(desc.productId);
    if (row && row->mSupported) found.push_back(GetScannerDescFromProduct(row, desc.locationId));
  }
  return found;
}

ScannerDescT Device::GetScannerDescFromProduct(const ProductSettings* product, uint32_t location) {
  return ScannerDescT{kFujitsuVendorId, product->mProductId, location, product->mModelName};
}

bool Device::FindScanner(uint32_t location) {
  if (location != 0)
    OpenScanner(location);
  else
    LookForScanner();
  if (mErrMsg[0] != '\0') mProduct = nullptr;
  if (mProduct) return true;
  Close();
  return false;
}

void Device::LookForScanner() {
  mInfoMsg[0] = '\0';
  mErrMsg[0] = '\0';
  std::snprintf(mInfoMsg, sizeof mInfoMsg, "%s", "No matching scanner found; details sent to stderr.");
  std::vector<ScannerDescT> scanners = EnumerateScanners();
  if (scanners.empty()) {
    SetErrMsg("No recognized scanners found.");
    return;
  }
  OpenScanner(scanners.front().mLocationId);
}

void Device::OpenScanner(uint32_t location) {
  // A second open on the same Device first lets go of the scanner it held,
  // and a text left from an earlier attempt must not fail this one.
  Close();
  mProduct = nullptr;
  mErrMsg[0] = '\0';

  quirel::usb::UsbBus* bus = quirel::usb::CurrentBus();
  if (!bus) return;
  std::unique_ptr<quirel::usb::UsbDevice> device = bus->FindByLocation(location);
  if (!device) return;
  // Only the vendor's own devices are served: another maker's device whose
  // product id happens to match a row must not be driven as a scanner.
  if (device->VendorId() != kFujitsuVendorId) return;
  mProduct = GetProductById(device->ProductId());
  if (!mProduct) return;

  std::snprintf(mInfoMsg, sizeof mInfoMsg, "%s scanner %s (vendor 0x%08x, product 0x%08x) at 0x%08x.", "Supported",
                mProduct->mModelName, unsigned(kFujitsuVendorId), unsigned(mProduct->mProductId), unsigned(location));

  mUsbDevice = std::move(device);

  IOReturn rc = kIOReturnSuccess;
  for (int attempt = 1; attempt <= kOpenBusyAttempts; ++attempt) {
    rc = mUsbDevice->Open();
    if (rc != kIOReturnExclusiveAccess) break;
    if (attempt < kOpenBusyAttempts) quirel::host::SleepMicros(kOpenBusyRetryMicros);
  }
  if (rc != kIOReturnSuccess) {
    mUsbDevice.reset();  // never opened, so there is nothing to close
    SetErrMsg(int(rc), "opening device");
    return;
  }

  if ((rc = mUsbDevice->Reset()) != kIOReturnSuccess) {
    SetErrMsg(int(rc), "resetting device");
    return;
  }
  if ((rc = mUsbDevice->GetLocationId(&mLocationId)) != kIOReturnSuccess) {
    SetErrMsg(int(rc), "getting device location");
    return;
  }
  uint8_t configValue = 0;
  if ((rc = mUsbDevice->GetConfigurationValue(0, &configValue)) != kIOReturnSuccess) {
    SetErrMsg(int(rc), "getting device configuration descriptor");
    return;
  }
  if ((rc = mUsbDevice->SetConfiguration(configValue)) != kIOReturnSuccess) {
    SetErrMsg(int(rc), "setting device configuration");
    return;
  }

  std::unique_ptr<quirel::usb::UsbInterface> iface;
  if ((rc = mUsbDevice->GetFirstInterface(&iface)) != kIOReturnSuccess) {
    SetErrMsg(int(rc), "getting device interface");
    return;
  }
  if (!iface) {
    SetErrMsg("No device interface found.");
    return;
  }
  mDeviceOpened = true;

  mUsbInterface = std::move(iface);
  if ((rc = mUsbInterface->Open()) != kIOReturnSuccess) {
    mUsbInterface.reset();
    SetErrMsg(int(rc), "opening usb interface");
    return;
  }
}

void Device::Close() {
  if (mUsbInterface) {
    mUsbInterface->ClearPipeStallBothEnds(quirel::usb::kPipeIn);
    mUsbInterface->ClearPipeStallBothEnds(quirel::usb::kPipeOut);
    mUsbInterface->Close();
    mUsbInterface.reset();
  }
  if (mUsbDevice) {
    mUsbDevice->Close();
    mUsbDevice.reset();
  }
  mDeviceOpened = false;
}

void Device::SetErrMsg(const char* text) {
  std::strncpy(mErrMsg, text ? text : "", sizeof mErrMsg - 1);
  mErrMsg[sizeof mErrMsg - 1] = '\0';
}

void Device::SetErrMsg(int code, const char* text) {
  std::snprintf(mErrMsg, sizeof mErrMsg, "Error (%d) %s", code, text ? text : "");
}

// ---- capabilities of the opened model ----

namespace {
inline const ProductSettings& RowOf(const ProductSettings* product) {
  return product ? *product : TerminatingRow();
}
}  // namespace

uint32_t Device::GetMaxReadSize() const { return RowOf(mProduct).mMaxReadSize; }
bool Device::FeedsFaceDown() const { return RowOf(mProduct).mFeedsFaceDown; }
bool Device::NeedsCounterReset() const { return RowOf(mProduct).mNeedsCounterReset; }
bool Device::ImplementsReadCheck() const { return RowOf(mProduct).mImplementsReadCheck; }
bool Device::UsePixReadSize() const { return RowOf(mProduct).mUsePixReadSize; }
bool Device::NeedsDeskew() const { return RowOf(mProduct).mNeedsDeskew; }
bool Device::RequiresLut() const { return RowOf(mProduct).mRequiresLut; }
bool Device::NeedToSpecifyPrepick() const { return RowOf(mProduct).mNeedToSpecifyPrepick; }
bool Device::NeedToSpecifyBuffering() const { return RowOf(mProduct).mNeedToSpecifyBuffering; }
bool Device::SupportsJpeg() const { return RowOf(mProduct).mSupportsJpeg; }
bool Device::JpegInterleave() const { return RowOf(mProduct).mJpegInterleave; }
bool Device::CanContinueAfterDouble() const { return RowOf(mProduct).mCanContinueAfterDouble; }
bool Device::ImplementsLengthDetection() const { return RowOf(mProduct).mLengthDetection != 0; }
bool Device::LengthDetectUsesSizeRead() const { return RowOf(mProduct).mLengthDetection == 2; }
uint8_t Device::BestDtcSupported() const { return RowOf(mProduct).mBestDtcSupported; }
int32_t Device::BestColorOrder() const { return RowOf(mProduct).mBestColorOrder; }
int32_t Device::ColorInterleave() const { return RowOf(mProduct).mColorInterleave; }
uint32_t Device::UsbDelay() const { return RowOf(mProduct).mUsbDelay; }

int Device::ReadDataSingleSideDelayMicroSecs() const {
  return int(RowOf(mProduct).mReadDataSingleSideDelayMs * 1000.0f);
}

int Device::ReadDataNeitherSideDelayMicroSecs() const {
  return int(RowOf(mProduct).mReadDataNeitherSideDelayMs * 1000.0f);
}

double Device::AdfWidth() const { return RowOf(mProduct).mAdfWidth; }
double Device::FlatbedWidth() const { return RowOf(mProduct).mFlatbedWidth; }
double Device::FlatbedHeight() const { return RowOf(mProduct).mFlatbedHeight; }
double Device::GetAutoLenTrim() const { return RowOf(mProduct).mAutoLenTrim; }

int Device::UsbSpeed() const {
  // Asked each time: the speed belongs to the connection, not to the model.
  int speed = quirel::usb::kUsbSpeedLow;
  if (!mUsbDevice || mUsbDevice->GetDeviceSpeed(&speed) != kIOReturnSuccess) return quirel::usb::kUsbSpeedLow;
  return speed;
}

bool Device::IsSuperSpeed() const { return UsbSpeed() > quirel::usb::kUsbSpeedHigh; }

namespace {
// A SuperSpeed link has the bandwidth for a finer JPEG: one level higher
// (up to 7) and one step less chroma subsampling.
int32_t LevelForSpeed(int32_t level, int speed) {
  return (speed >= quirel::usb::kUsbSpeedSuper && level < 7) ? level + 1 : level;
}
int32_t SubsampleForSpeed(int32_t subsample, int speed) {
  if (speed >= quirel::usb::kUsbSpeedSuper) {
    if (subsample == 131) return 130;
    if (subsample == 130) return 129;
  }
  return subsample;
}
}  // namespace

int32_t Device::JpegLevel() const { return LevelForSpeed(RowOf(mProduct).mJpegLevel, UsbSpeed()); }
int32_t Device::JpegSubsample() const { return SubsampleForSpeed(RowOf(mProduct).mJpegSubsample, UsbSpeed()); }
int32_t Device::JpegTurboLevel() const { return LevelForSpeed(RowOf(mProduct).mJpegTurboLevel, UsbSpeed()); }
int32_t Device::JpegTurboSubsample() const {
  return SubsampleForSpeed(RowOf(mProduct).mJpegTurboSubsample, UsbSpeed());
}

uint32_t Device::GetMaxLenForRes(ImageTypeE type, uint32_t resolution) const {
  return uint32_t(MaxLengthInches(RowOf(mProduct), type, resolution) * 1200);
}

double Device::MaxLengthInches(const ProductSettings& row, ImageTypeE type, uint32_t resolution) {
  return FeederLengthFor(FeederLengthsOf(row), type, resolution).mInches;
}

FeederLengths Device::FeederLengthsOf(const ProductSettings& row) {
  return {row.mAdfLength, row.mLongScanModes, row.mLongResCutoff1, row.mLongLength1, row.mLongResCutoff2,
          row.mLongLength2};
}

std::string Device::CapabilityLines(const ProductSettings& p) {
  std::string out;
  auto text = [&out](const char* name, const std::string& value) { out += std::string(name) + ": " + value + "\n"; };
  // The shortest form that reads back as the same number, with a point
  // whatever the locale: the front ends read these lines in theirs.
  auto number = [](double v) {
    char buf[40];
    const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    return std::string(buf, end);
  };
  auto yesNo = [](bool b) { return std::string(b ? "y" : "n"); };
  text("model", p.mModelName);
  text("supported", yesNo(p.mSupported));
  text("adf width", number(p.mAdfWidth));
  text("adf length", number(p.mAdfLength));
  text("adf long scan modes", std::to_string(p.mLongScanModes & 0xFF));
  text("adf long scan resolution cutoff 1", std::to_string(p.mLongResCutoff1));
  text("adf long scan length 1", number(p.mLongLength1));
  text("adf long scan resolution cutoff 2", std::to_string(p.mLongResCutoff2));
  text("adf long scan length 2", number(p.mLongLength2));
  text("flatbed", yesNo(p.mHasFlatbed));
  if (p.mHasFlatbed) {
    text("flatbed direction", p.mFlatbedLeft ? "left" : "top");
    text("flatbed width", number(p.mFlatbedWidth));
    text("flatbed height", number(p.mFlatbedHeight));
  }
  text("length detect", yesNo(p.mLengthDetection != 0));
  text("supports jpeg", yesNo(p.mSupportsJpeg));
  text("feeds face down", yesNo(p.mFeedsFaceDown));
  return out;
}

}  // namespace ZuzuvovOvav
