// The model table: one row per supported scanner model.
//
// Each row keeps the columns in one fixed order (model, product id, READ
// size, flags, JPEG settings, ...) so that rows read alike at a glance; the
// true booleans of a row are given as letters (see Flags below).
#include "FujiDevice.h"

namespace ZuzuvovOvav {

namespace {

// Turbo resolutions of each model family, highest first, ended by a zero
// entry. The mode letter is informational: only the resolution is used.
constexpr uint16_t g = 'g';
constexpr uint16_t c = 'c';
constexpr SpeedEntry sSpeeds500[] = {{g, 600}, {g, 400}, {g, 300}, {g, 200}, {g, 150}, {0, 0}};
constexpr SpeedEntry sSpeeds5110eox[] = {{g, 600}, {g, 400}, {g, 300}, {g, 200}, {g, 150}, {0, 0}};
constexpr SpeedEntry sSpeedsS1500[] = {{g, 600}, {g, 300}, {0, 0}};
constexpr SpeedEntry sSpeeds5110c[] = {{g, 600}, {g, 400}, {g, 300}, {g, 200}, {g, 150}, {0, 0}};
constexpr SpeedEntry sSpeeds6110c[] = {{g, 600}, {g, 400}, {g, 300}, {0, 0}};
constexpr SpeedEntry sSpeeds4x20c[] = {{g, 600}, {g, 300}, {g, 200}, {0, 0}};
constexpr SpeedEntry sSpeeds4x20c2[] = {{g, 600}, {g, 300}, {g, 200}, {0, 0}};
constexpr SpeedEntry sSpeeds5x20c[] = {{g, 600}, {g, 400}, {g, 300}, {g, 200}, {c, 150}, {0, 0}};
constexpr SpeedEntry sSpeeds6x3_40[] = {{c, 600}, {c, 400}, {c, 300}, {g, 200}, {0, 0}};
constexpr SpeedEntry sSpeeds6x3_40z[] = {{c, 600}, {c, 400}, {c, 300}, {c, 200}, {0, 0}};
constexpr SpeedEntry sSpeeds7x6_80[] = {{c, 600}, {c, 400}, {c, 300}, {0, 0}};
constexpr SpeedEntry sSpeeds4530c[] = {{g, 600}, {g, 300}, {g, 200}, {0, 0}};
constexpr SpeedEntry sSpeeds4340c[] = {{g, 600}, {g, 400}, {g, 300}, {g, 200}, {0, 0}};
constexpr SpeedEntry sSpeeds5x50c[] = {{g, 600}, {g, 400}, {g, 300}, {0, 0}};
constexpr SpeedEntry sSpeeds6x70c[] = {{g, 600}, {g, 400}, {g, 300}, {g, 200}, {0, 0}};
constexpr SpeedEntry sSpeeds59x0[] = {{g, 600}, {g, 400}, {g, 300}, {0, 0}};
constexpr SpeedEntry sSpeeds6800[] = {{g, 600}, {g, 400}, {g, 300}, {0, 0}};

constexpr uint32_t k512K = 524288;
constexpr uint32_t k32K = 32768;

// Whether a flag letter is in a row's flag string. An unknown letter makes
// the table fail to compile instead of silently dropping a capability:
//   T turbo always          R counter reset        J JPEG
//   I duplex JPEG interleaved                      F flatbed
//   L flatbed left edge     C read check           P pixel-size read
//   D deskew                U tone table required  K prepick mode page
//   B buffering mode page   X continue after a double feed
constexpr bool Has(const char* flags, char letter) {
  bool found = false;
  for (const char* p = flags; *p; ++p) {
    const char known[] = "TRJIFLCPDUKBX";
    bool ok = false;
    for (const char* k = known; *k; ++k) ok = ok || *k == *p;
    if (!ok) throw "unknown model flag letter";
    found = found || *p == letter;
  }
  return found;
}

// One row from its varying columns; the columns equal in every model
// (supported, face-down feed, best dynamic threshold 2, single-side read
// delay 1.1 ms) are filled in here. Long-scan lengths and cutoffs are 0 when
// the model has none; flatbed sizes are 0 without a flatbed.
constexpr ProductSettings Row(const char* name, uint32_t productId, uint32_t maxRead, const char* flags,
                              int32_t jpegLevel, int32_t jpegSubsample, int32_t turboLevel, int32_t turboSubsample,
                              float weight, const SpeedEntry* speeds, int32_t lengthDetection, double trim,
                              int32_t colorOrder, int32_t colorInterleave, float neitherSideDelayMs,
                              uint32_t usbDelay, double adfWidth, double adfLength, uint32_t longModes,
                              int32_t cutoff1, double length1, int32_t cutoff2, double length2, double flatbedWidth,
                              double flatbedHeight) {
  return ProductSettings{
      true,                  // mSupported
      name,                  // mModelName
      productId,             // mProductId
      maxRead,               // mMaxReadSize
      Has(flags, 'T'),       // mTurboAlways
      true,                  // mFeedsFaceDown
      Has(flags, 'R'),       // mNeedsCounterReset
      Has(flags, 'J'),       // mSupportsJpeg
      Has(flags, 'I'),       // mJpegInterleave
      jpegLevel,             // mJpegLevel
      jpegSubsample,         // mJpegSubsample
      weight,                // mDefaultThresholdWeight
      speeds,                // mSpeeds
      turboLevel,            // mJpegTurboLevel
      turboSubsample,        // mJpegTurboSubsample
      Has(flags, 'F'),       // mHasFlatbed
      Has(flags, 'L'),       // mFlatbedLeft
      Has(flags, 'C'),       // mImplementsReadCheck
      Has(flags, 'P'),       // mUsePixReadSize
      Has(flags, 'D'),       // mNeedsDeskew
      Has(flags, 'U'),       // mRequiresLut
      Has(flags, 'K'),       // mNeedToSpecifyPrepick
      Has(flags, 'B'),       // mNeedToSpecifyBuffering
      lengthDetection,       // mLengthDetection
      trim,                  // mAutoLenTrim
      2,                     // mBestDtcSupported
      colorOrder,            // mBestColorOrder
      colorInterleave,       // mColorInterleave
      1.1f,                  // mReadDataSingleSideDelayMs
      neitherSideDelayMs,    // mReadDataNeitherSideDelayMs
      usbDelay,              // mUsbDelay
      Has(flags, 'X'),       // mCanContinueAfterDouble
      adfWidth,              // mAdfWidth
      adfLength,             // mAdfLength
      longModes,             // mLongScanModes
      cutoff1,               // mLongResCutoff1
      length1,               // mLongLength1
      cutoff2,               // mLongResCutoff2
      length2,               // mLongLength2
      flatbedWidth,          // mFlatbedWidth
      flatbedHeight,         // mFlatbedHeight
  };
}

}  // namespace

// Columns: model, product id, read size, flags, JPEG level/subsample, turbo
// JPEG level/subsample, threshold weight, speeds, length detection, trim,
// colour order/interleave, neither-side read delay, USB delay, ADF width and
// length, long-scan modes, cutoff 1/length 1, cutoff 2/length 2, flatbed
// width and height.
constinit const ProductSettings Device::sProductSettings[] = {
    Row("ScanSnap S500", 0x10FE, k512K, "JICPU", 7, 129, 7, 129, 0.70, sSpeeds500, 2, 0, 5, 1, 10, 125, 8.64, 34, 0, 0, 0, 0, 0, 0, 0),
    Row("ScanSnap S500M", 0x1135, k512K, "JICPU", 7, 129, 7, 129, 0.70, sSpeeds500, 2, 0, 5, 1, 10, 125, 8.64, 34, 0, 0, 0, 0, 0, 0, 0),
    Row("ScanSnap S510", 0x1155, k512K, "JICPU", 7, 129, 7, 129, 0.70, sSpeeds500, 2, 0, 5, 1, 10, 125, 8.64, 34, 0, 0, 0, 0, 0, 0, 0),
    Row("ScanSnap S510M", 0x116F, k512K, "JICPU", 7, 129, 7, 129, 0.70, sSpeeds500, 2, 0, 5, 1, 10, 125, 8.64, 34, 0, 0, 0, 0, 0, 0, 0),
    Row("fi-5110EOX", 0x1096, k512K, "TJICPU", 7, 129, 7, 129, 0.82, sSpeeds5110eox, 2, 0, 5, 1, 10, 125, 8.5, 34, 0, 0, 0, 0, 0, 0, 0),
    Row("fi-5110EOXM", 0x10F2, k512K, "TJICPU", 7, 129, 7, 129, 0.82, sSpeeds5110eox, 2, 0, 5, 1, 10, 125, 8.5, 34, 0, 0, 0, 0, 0, 0, 0),
    Row("ScanSnap S1500/M", 0x11A2, k512K, "TJICPU", 7, 129, 7, 131, 0.69, sSpeedsS1500, 1, 0.118, 5, 1, 5, 125, 8.5, 34, 0, 0, 0, 0, 0, 0, 0),
    Row("fi-5110C", 0x1097, k512K, "TJICPU", 7, 129, 7, 129, 0.76, sSpeeds5110c, 2, 0, 5, 1, 10, 125, 8.5, 34, 0, 0, 0, 0, 0, 0, 0),
    Row("fi-6110", 0x11FC, k512K, "TJICPU", 7, 129, 7, 131, 0, sSpeeds6110c, 1, 0.118, 0, 1, 10, 125, 8.7, 34, 7, 200, 125, 0, 0, 0, 0),
    Row("fi-4120C", 0x1041, k32K, "JIPDU", 5, 129, 5, 129, 0.68, sSpeeds4x20c, 2, 0.157, 5, 1, 10, 2020, 8.5, 14, 7, 400, 28, 0, 0, 0, 0),
    Row("fi-4220C", 0x1042, k32K, "JIFLPDU", 5, 129, 5, 129, 0.68, sSpeeds4x20c, 2, 0.157, 5, 1, 10, 2020, 8.5, 14, 7, 400, 28, 0, 0, 8.5, 11.6929),
    Row("fi-4120C2", 0x10AE, k512K, "JICPDU", 7, 129, 7, 129, 0.73, sSpeeds4x20c2, 2, 0.118, 5, 1, 10, 125, 8.85, 14, 7, 400, 34, 0, 0, 0, 0),
    Row("fi-4220C2", 0x10AF, k512K, "JIFLCPU", 7, 129, 7, 129, 0.73, sSpeeds4x20c2, 2, 0.118, 5, 1, 10, 125, 8.85, 14, 7, 400, 34, 0, 0, 8.68, 11.6929),
    Row("fi-5120C", 0x10E0, k512K, "JIPDU", 7, 129, 7, 129, 0.76, sSpeeds5x20c, 2, 0.118, 5, 1, 10, 125, 8.85, 14, 7, 400, 28, 0, 0, 0, 0),
    Row("fi-5220C", 0x10E1, k512K, "JIFLPDU", 7, 129, 7, 129, 0.76, sSpeeds5x20c, 2, 0.118, 5, 1, 10, 125, 8.85, 14, 7, 400, 28, 0, 0, 8.68, 11.6929),
    Row("fi-6130", 0x114F, k512K, "JICPU", 7, 129, 7, 131, 0, sSpeeds6x3_40, 1, 0.118, 0, 1, 5, 125, 8.85, 34, 7, 200, 125, 0, 0, 0, 0),
    Row("fi-6130z", 0x11F3, k512K, "JICPU", 7, 129, 7, 131, 0, sSpeeds6x3_40z, 1, 0.118, 0, 1, 5, 125, 8.85, 34, 7, 200, 125, 0, 0, 0, 0),
    Row("fi-7160", 0x132E, k512K, "JICUKB", 6, 130, 7, 131, 0.64, sSpeeds7x6_80, 1, 0.118, 0, 1, 5, 5, 8.85, 106.3, 7, 400, 160, 300, 215, 0, 0),
    Row("fi-6230", 0x1150, k512K, "JIFCPU", 7, 129, 7, 131, 0, sSpeeds6x3_40, 1, 0.118, 0, 1, 5, 125, 8.85, 34, 7, 200, 125, 0, 0, 8.68, 11.6929),
    Row("fi-6230z", 0x11F4, k512K, "JIFCPU", 7, 129, 7, 131, 0, sSpeeds6x3_40z, 1, 0.118, 0, 1, 5, 125, 8.85, 34, 7, 200, 125, 0, 0, 8.68, 11.6929),
    Row("fi-7260", 0x132F, k512K, "JIFCUKB", 6, 130, 7, 131, 0.64, sSpeeds7x6_80, 1, 0.118, 0, 1, 5, 5, 8.85, 106.3, 7, 400, 160, 300, 215, 8.68, 11.6929),
    Row("fi-6140", 0x114D, k512K, "JICPUKB", 7, 129, 7, 131, 0.65, sSpeeds6x3_40, 1, 0.118, 0, 1, 5, 125, 8.85, 34, 7, 200, 125, 0, 0, 0, 0),
    Row("fi-6140z", 0x11F1, k512K, "JICPUKB", 7, 129, 7, 131, 0.65, sSpeeds6x3_40z, 1, 0.118, 0, 1, 5, 125, 8.85, 34, 7, 200, 125, 0, 0, 0, 0),
    Row("fi-7180", 0x132C, k512K, "JICUKBX", 5, 130, 6, 131, 0.64, sSpeeds7x6_80, 1, 0.118, 0, 1, 5, 5, 8.85, 106.3, 7, 400, 160, 300, 215, 0, 0),
    Row("fi-6240", 0x114E, k512K, "JIFCPUKB", 7, 129, 7, 131, 0.65, sSpeeds6x3_40, 1, 0.118, 0, 1, 5, 125, 8.85, 34, 7, 200, 125, 0, 0, 8.68, 11.6929),
    Row("fi-6240z", 0x11F2, k512K, "JIFCPUKB", 7, 129, 7, 131, 0.65, sSpeeds6x3_40z, 1, 0.118, 0, 1, 5, 125, 8.85, 34, 7, 200, 125, 0, 0, 8.68, 11.6929),
    Row("fi-7280", 0x132D, k512K, "JIFCUKBX", 5, 130, 6, 131, 0.64, sSpeeds7x6_80, 1, 0.118, 0, 1, 5, 5, 8.85, 106.3, 7, 400, 160, 300, 215, 8.68, 11.6929),
    Row("fi-4530C", 0x1078, k512K, "JICPUK", 7, 129, 7, 129, 0.64, sSpeeds4530c, 2, 0.197, 5, 1, 10, 125, 12.16, 17, 7, 400, 34, 0, 0, 0, 0),
    Row("fi-5530C", 0x10E2, k512K, "ICPUK", 7, 129, 7, 129, 0, sSpeeds4530c, 2, 0.089, 5, 1, 10, 125, 12.16, 34, 0, 0, 0, 0, 0, 0, 0),
    Row("fi-5530C2", 0x114A, k512K, "JICPUK", 7, 129, 7, 129, 0, sSpeeds4530c, 2, 0.089, 5, 1, 5, 125, 12.16, 34, 0, 0, 0, 0, 0, 0, 0),
    Row("fi-4340C", 0x10CF, k512K, "FLP", 7, 129, 7, 129, 0.75, sSpeeds4340c, 1, 0.079, 0, 0, 10, 125, 8.64, 14, 1, 400, 60.68, 0, 0, 8.5, 14),
    Row("fi-5650C", 0x10AD, k512K, "JCPKB", 7, 129, 7, 130, 0.69, sSpeeds5x50c, 1, 0.236, 0, 1, 10, 125, 12.16, 34, 0, 0, 0, 0, 0, 0, 0),
    Row("fi-5750C", 0x1095, k512K, "JFLCPKB", 7, 129, 7, 130, 0.69, sSpeeds5x50c, 1, 0.236, 0, 1, 10, 125, 12.16, 34, 0, 0, 0, 0, 0, 12, 18),
    Row("fi-6670", 0x1176, k512K, "JCPKBX", 6, 129, 7, 130, 0, sSpeeds6x70c, 1, 0.157, 0, 1, 10, 5, 12.16, 18.25, 7, 400, 36.48, 200, 126.25, 0, 0),
    Row("fi-6670A", 0x1177, k512K, "CPKBX", 6, 129, 7, 130, 0, sSpeeds6x70c, 1, 0.157, 0, 1, 10, 5, 12.16, 18.25, 7, 400, 36.48, 200, 126.25, 0, 0),
    Row("fi-6770", 0x1174, k512K, "JFLCPKBX", 6, 129, 7, 130, 0, sSpeeds6x70c, 1, 0.157, 0, 1, 10, 5, 12.16, 18.25, 7, 400, 36.48, 200, 126.25, 12, 18),
    Row("fi-6770A", 0x1175, k512K, "FLCPKBX", 6, 129, 7, 130, 0, sSpeeds6x70c, 1, 0.157, 0, 1, 10, 5, 12.16, 18.25, 7, 400, 36.48, 200, 126.25, 12, 18),
    Row("fi-6750S", 0x1178, k512K, "JFLCPKBX", 6, 129, 7, 130, 0, sSpeeds6x70c, 1, 0.157, 0, 1, 10, 5, 12.16, 18.25, 7, 400, 36.48, 200, 126.25, 12, 18),
    Row("fi-5900C", 0x10E7, k512K, "JCPKBX", 5, 130, 6, 130, 0, sSpeeds59x0, 1, 0.118, 0, 1, 10, 5, 12.5, 20.64, 7, 400, 36.48, 200, 126.25, 0, 0),
    Row("fi-5950", 0x1213, k512K, "JCPKBX", 5, 130, 6, 130, 0, sSpeeds59x0, 1, 0.118, 0, 1, 10, 5, 12.5, 20.64, 7, 400, 36.48, 200, 126.25, 0, 0),
    Row("fi-6800", 0x119D, k512K, "RJCPKB", 5, 130, 6, 131, 0, sSpeeds6800, 1, 0.079, 0, 1, 5, 5, 12.16, 20.64, 7, 400, 36.48, 200, 126.25, 0, 0),
    ProductSettings{},  // product id 0 ends the table
};

}  // namespace ZuzuvovOvav
