// Device: the opened USB scanner, the model table and the model's capabilities.
//
// The capabilities are the questions the engine asks of the opened model.
//
// A Device belongs to the scan thread of its job. EnumerateScanners() and
// GetProductById() may also run on other threads once the model map was
// built by a first call.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FujiScanEnums.h"
#include "FujiScanParams.h"
#include "UsbLayer.h"

namespace ZuzuvovOvav {

// One turbo resolution entry: mode letter ('g' or 'c', 0 ends the list) and
// resolution in dpi; lists are ordered from the highest resolution down.
struct SpeedEntry {
  uint16_t mMode;
  uint16_t mResolution;
};

// One row of the model table; lengths in inches.
struct ProductSettings {
  bool mSupported;
  const char* mModelName;
  uint32_t mProductId;  // 0 ends the table
  uint32_t mMaxReadSize;
  bool mTurboAlways;
  bool mFeedsFaceDown;
  bool mNeedsCounterReset;
  bool mSupportsJpeg;
  bool mJpegInterleave;
  int32_t mJpegLevel;
  int32_t mJpegSubsample;
  float mDefaultThresholdWeight;
  const SpeedEntry* mSpeeds;
  int32_t mJpegTurboLevel;
  int32_t mJpegTurboSubsample;
  bool mHasFlatbed;
  bool mFlatbedLeft;
  bool mImplementsReadCheck;
  bool mUsePixReadSize;
  bool mNeedsDeskew;
  bool mRequiresLut;
  bool mNeedToSpecifyPrepick;
  bool mNeedToSpecifyBuffering;
  int32_t mLengthDetection;  // 0 none, 1 detection, 2 detection through a size read
  double mAutoLenTrim;
  uint8_t mBestDtcSupported;
  int32_t mBestColorOrder;
  int32_t mColorInterleave;
  float mReadDataSingleSideDelayMs;
  float mReadDataNeitherSideDelayMs;
  uint32_t mUsbDelay;  // microseconds between commands
  bool mCanContinueAfterDouble;
  double mAdfWidth;
  double mAdfLength;
  uint32_t mLongScanModes;  // bit 0 line art, bit 1 gray, bit 2 colour
  int32_t mLongResCutoff1;
  double mLongLength1;
  int32_t mLongResCutoff2;
  double mLongLength2;
  double mFlatbedWidth;
  double mFlatbedHeight;
};

// One supported scanner found on the bus.
struct ScannerDescT {
  uint32_t mVendorId;
  uint32_t mProductId;
  uint32_t mLocationId;
  const char* mModelName;
};

constexpr uint32_t kFujitsuVendorId = 0x04C5;

// How long a scan looks for a scanner that is not (yet) on the bus: nine
// looks, 0.25 s longer apart each time, about 9 s in all.
constexpr int kFindScannerAttempts = 9;
constexpr uint64_t FindScannerRetryMicros(int attempt) { return 250000ull * unsigned(attempt); }
// How long a scanner held by another program is given to let go: six tries
// a second apart.
constexpr int kOpenBusyAttempts = 6;
constexpr uint64_t kOpenBusyRetryMicros = 1000000;

class Device {
 public:
  Device();
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // The model table: 41 rows and a terminating row whose product id is 0.
  static const ProductSettings sProductSettings[];
  static const ProductSettings* GetProductById(uint32_t productId);
  static std::vector<ScannerDescT> EnumerateScanners();
  static ScannerDescT GetScannerDescFromProduct(const ProductSettings* product, uint32_t location);

  bool FindScanner(uint32_t location);
  void LookForScanner();
  void OpenScanner(uint32_t location);
  void Close();

  const char* GetInfoMsg() const { return mInfoMsg; }
  const char* GetErrMsg() const { return mErrMsg; }
  void SetErrMsg(const char* text);
  void SetErrMsg(int code, const char* text);

  void SetLastCmdTime(long long micros) { mLastCmdTime = micros; }
  long long GetLastCmdTime() const { return mLastCmdTime; }
  bool CheckDimensions() const { return true; }

  // The claimed interface, for the command transport; null when closed.
  quirel::usb::UsbInterface* GetInterface() const { return mUsbInterface.get(); }
  uint32_t GetLocationId() const { return mLocationId; }

  // Capabilities of the opened model (mProduct must be set).
  uint32_t GetMaxReadSize() const;
  bool FeedsFaceDown() const;
  bool NeedsCounterReset() const;
  bool ImplementsReadCheck() const;
  bool UsePixReadSize() const;
  bool NeedsDeskew() const;
  bool RequiresLut() const;
  bool NeedToSpecifyPrepick() const;
  bool NeedToSpecifyBuffering() const;
  bool SupportsJpeg() const;
  bool JpegInterleave() const;
  bool CanContinueAfterDouble() const;
  bool ImplementsLengthDetection() const;
  bool LengthDetectUsesSizeRead() const;
  uint8_t BestDtcSupported() const;
  int32_t BestColorOrder() const;
  int32_t ColorInterleave() const;
  uint32_t UsbDelay() const;
  int ReadDataSingleSideDelayMicroSecs() const;
  int ReadDataNeitherSideDelayMicroSecs() const;
  double AdfWidth() const;
  double FlatbedWidth() const;
  double FlatbedHeight() const;
  double GetAutoLenTrim() const;
  const ProductSettings* GetSettings() const { return mProduct; }
  // Tests only: answer the capability questions from `row` (a variant of a
  // model row that the caller keeps alive) on the opened connection.
  void SetSettingsForTesting(const ProductSettings* row) { mProduct = row; }
  bool IsSuperSpeed() const;
  int32_t JpegLevel() const;
  int32_t JpegSubsample() const;
  int32_t JpegTurboLevel() const;
  int32_t JpegTurboSubsample() const;
  // Longest window length in 1/1200 inch for a type and resolution.
  uint32_t GetMaxLenForRes(ImageTypeE type, uint32_t resolution) const;
  // The same of a model row, in inches (FeederLengthFor on the row).
  static double MaxLengthInches(const ProductSettings& row, ImageTypeE type, uint32_t resolution);
  static FeederLengths FeederLengthsOf(const ProductSettings& row);
  // What a model can do, one "name: value" line each ("adf width: 8.5"), as
  // the tool's --capabilities prints it and the front ends read it.
  static std::string CapabilityLines(const ProductSettings& row);

 private:
  int UsbSpeed() const;

  std::unique_ptr<quirel::usb::UsbDevice> mUsbDevice;
  std::unique_ptr<quirel::usb::UsbInterface> mUsbInterface;
  uint32_t mLocationId = 0;
  bool mDeviceOpened = false;
  char mInfoMsg[1024];
  char mErrMsg[256];
  const ProductSettings* mProduct = nullptr;
  uint32_t mVendorId = kFujitsuVendorId;
  long long mLastCmdTime = 0;
};

}  // namespace ZuzuvovOvav
