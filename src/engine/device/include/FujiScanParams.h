// ScanParams: every parameter of one scan job, from what the caller asked
// for to what the engine derives for the opened scanner, and the two
// callbacks through which the engine reports back.
//
// Positions and sizes are in 1/1200 inch unless a field says pixels;
// resolutions are in dots per inch. A plain copyable value.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>

#include "FujiScanEnums.h"

namespace ZuzuvovOvav {

class Device;
struct PagePreview;
struct ProductSettings;
struct ScanResults;

// Four-character output type codes.
constexpr uint32_t kFileTypeTIFF = 0x54494646;  // 'TIFF'
constexpr uint32_t kFileTypePDF = 0x50444620;   // 'PDF '

// The values a job's settings may take where a user gives them (the tool's
// options, the workflow action's parameters file), whatever the model.
constexpr int32_t kMinResolution = 50;
constexpr int32_t kMaxResolution = 1200;
// Longest length in 1/1200 inch: far beyond any model's limit, but small
// enough that no geometry computed from it overflows.
constexpr int32_t kMaxLength1200 = 1200 * 1000;
constexpr int32_t kMaxPointValue = 255;  // black and white points
constexpr double kMinDensityFactor = 0.1;
constexpr double kMaxDensityFactor = 10;

// The first limit of a model that a job goes beyond (see
// ScanParams::FirstExceededLimit). Across and along are the feed's
// directions; lengths are in 1/1200 inch.
struct ExceededLimit {
  enum Kind {
    kNone,         // the job fits the model
    kNoFlatbed,    // the flatbed, on a model without one
    kPaperAcross,  // the paper is wider than the feeder or flatbed
    kAreaAcross,   // the scan area reaches beyond the feeder's or flatbed's width
    kPaperAlong,   // the paper is longer than the feeder takes at the resolution, or than the flatbed
    kAreaAlong,    // the scan area reaches beyond that length
  };
  Kind kind = kNone;
  uint32_t value = 0;   // the paper's size, or where the scan area ends
  uint32_t limit = 0;   // the feeder's or flatbed's width or length
  bool turned = false;  // a quarter turn: the page's height runs across the feed
};

// A model's feeder lengths in inches, as its row of the model table (or the
// tool's capability lines) gives them. Plain values, so that the front end
// asks the same rule without the engine.
struct FeederLengths {
  double mAdfLength = 0;        // at any resolution, and for types without long scans
  uint32_t mLongScanModes = 0;  // types with long scans: bit 0 line art, bit 1 gray, bit 2 colour
  int32_t mLongResCutoff1 = 0;  // up to this resolution mLongLength1 applies
  double mLongLength1 = 0;
  int32_t mLongResCutoff2 = 0;  // up to this (lower) resolution mLongLength2 applies; 0: none
  double mLongLength2 = 0;
};

// The longest paper the feeder takes at one resolution, and the resolution
// above which that limit holds (0: at every resolution of the type).
struct FeederLengthLimit {
  double mInches = 0;
  int32_t mAboveDpi = 0;
};

// The image type's bit in mLongScanModes; none for other types.
constexpr uint32_t LongScanModeBit(ImageTypeE type) {
  return type == kImageTypeLineArt ? 1u : type == kImageTypeGray ? 2u : type == kImageTypeColor ? 4u : 0u;
}

// The one rule for the longest feeder page: the normal length unless the
// type has long scans; then the second long length up to its (lower)
// cut-off, the first up to its cut-off, the normal length above it.
inline FeederLengthLimit FeederLengthFor(const FeederLengths& f, ImageTypeE type, uint32_t resolution) {
  if (!(f.mLongScanModes & LongScanModeBit(type))) return {f.mAdfLength, 0};
  if (f.mLongResCutoff2 > 0 && resolution <= uint32_t(f.mLongResCutoff2)) return {f.mLongLength2, 0};
  if (f.mLongResCutoff1 < 0 || resolution > uint32_t(f.mLongResCutoff1))
    return {f.mAdfLength, f.mLongResCutoff1 < 0 ? 0 : f.mLongResCutoff1};
  return {f.mLongLength1, f.mLongResCutoff2 > 0 ? f.mLongResCutoff2 : 0};
}

// The longest feeder page of the type at any resolution.
inline double LongestFeederLength(const FeederLengths& f, ImageTypeE type) {
  return FeederLengthFor(f, type, 1).mInches;
}

// A scan area given on the page as it comes out, from its top left corner
// (lengths in 1/1200 inch), measured on the sheet instead, from the corner
// that passes the scanner first, for the front's turn (the rotation code's
// upper two bits: 1 left, 2 right, 3 over). Turned right or over, the page's
// left edge was the sheet's trailing (or right) edge; turned left or over,
// the page's top was the sheet's right (or trailing) edge: there the area is
// measured from the other side, and it must lie on the page, within the
// 2/1200 inch that the window's rounding to 1/1200 inch may add. With
// automatic length the page's top is the end of the sheet, found only as it
// is scanned: a turned area then starts at the sheet's top.
struct AreaOnSheet {
  enum Fit { kOnPage, kPastRight, kPastBottom };
  Fit fit = kOnPage;   // where the area runs off a turned page (left and top then unchanged)
  int64_t left = 0;
  int64_t top = 0;
  bool topDropped = false;  // a top given with automatic length and a half turn was left out
};
inline AreaOnSheet PageAreaOnSheet(int frontTurn, int64_t paperWidth, int64_t paperHeight, bool detectLength,
                                   int64_t left, int64_t top, int64_t width, int64_t height) {
  constexpr int64_t kSlack = 2;
  AreaOnSheet a{AreaOnSheet::kOnPage, left, top, false};
  if (frontTurn == 2 || frontTurn == 3) {
    if (left + width > paperWidth + kSlack) return {AreaOnSheet::kPastRight, left, top, false};
    a.left = std::max<int64_t>(0, paperWidth - left - width);
  }
  if (frontTurn == 1 || frontTurn == 3) {
    if (detectLength) {
      a.topDropped = top > 0;
      a.top = 0;
    } else {
      if (top + height > paperHeight + kSlack) return {AreaOnSheet::kPastBottom, left, top, false};
      a.top = std::max<int64_t>(0, paperHeight - top - height);
    }
  }
  return a;
}

// Every field of the record but the two callbacks, as X(type, name, value
// at construction). The record declares its fields from this list, so that
// code which must visit every field (the comparison of the front ends'
// mappings) cannot miss one added later.
#define QUIREL_SCAN_PARAMS_FIELDS(X)           \
  X(uint16_t, mXRes, 300)                      \
  X(uint16_t, mYRes, 300)                      \
  X(uint16_t, mOutXRes, 0)                     \
  X(uint16_t, mOutYRes, 0)                     \
  X(uint32_t, mUpperLeftX, 0)                  \
  X(uint32_t, mUpperLeftY, 0)                  \
  X(uint32_t, mScanWidth, 10200)               \
  X(uint32_t, mScanHeight, 13200)              \
  X(uint32_t, mPaperWidth, 10200)              \
  X(uint32_t, mPaperHeight, 13200)             \
  X(uint32_t, mXPixelCount, 0)                 \
  X(uint32_t, mYPixelCount, 0)                 \
  X(uint8_t, mBrightness, 0)                   \
  X(uint8_t, mThreshold, 0)                    \
  X(uint8_t, mContrast, 0)                     \
  X(uint32_t, mBytesPerPage, 0)                \
  X(uint32_t, mBottomTrim, 0)                  \
  X(ImageTypeE, mImageType, kImageTypeLineArt) \
  X(int32_t, mBitsPerComponent, 1)             \
  X(int32_t, mHalftoneProcess, 0)              \
  X(int32_t, mHalftonePattern, 0)              \
  X(int32_t, mReverseImage, 0)                 \
  X(int32_t, mCompressionType, 0)              \
  X(uint8_t, mOutlineEmphasis, 0)              \
  X(uint8_t, mDtcVariation, 'n')               \
  X(int32_t, mBlackPoint, 255)                 \
  X(int32_t, mWhitePoint, 0)                   \
  X(int32_t, mBitsSub, 1)                      \
  X(int32_t, mBitsOut, 1)                      \
  X(int32_t, mDespeckleFactor, -1)             \
  X(int32_t, mImagesPerFile, 0)                \
  X(bool, mUseFlatbed, false)                  \
  X(bool, mAppend, false)                      \
  X(bool, mSkipFirstPage, false)               \
  X(bool, mSkipLastPage, false)                \
  X(bool, mAllowJpeg, true)                    \
  X(bool, mCanUseJpeg, false)                  \
  X(bool, mCleanup, true)                      \
  X(bool, mDuplex, false)                      \
  X(bool, mLandscape, false)                   \
  X(bool, mOverSample, false)                  \
  X(bool, mDetectLength, false)                \
  X(bool, mDoubleByThickness, true)            \
  X(bool, mDoubleByLength, false)              \
  X(bool, mAllowDoubles, false)                \
  X(uint32_t, mRotation, 0)                    \
  X(int32_t, mCompressOption, 0)               \
  X(std::string, mProgramDescription, {})      \
  X(std::string, mBaseFilePath, {})            \
  X(uint32_t, mFileType, kFileTypeTIFF)        \
  X(bool, mAddFileTypeExtension, true)         \
  X(uint32_t, mLocation, 0)                    \
  X(uint32_t, mInWidth1200, 0)                 \
  X(uint32_t, mInHeight1200, 0)                \
  X(uint32_t, mBufWidthRaw, 0)                 \
  X(uint32_t, mBufHeightRaw, 0)                \
  X(uint32_t, mOutImageWidthPixel, 0)          \
  X(double, mOutImageWidthPoint, 0)            \
  X(bool, mWillUseJpeg, false)                 \
  X(bool, mJpegInterleave, false)              \
  X(int32_t, mJpegLevel, 0)                    \
  X(int32_t, mJpegSubsample, 129)              \
  X(bool, mTurbo, false)                       \
  X(double, mTurboXScale, 0.0)                 \
  X(double, mTurboYScale, 0.0)                 \
  X(double, mThresholdWeight, 0.0)             \
  X(double, mDensityFactor, 1.0)               \
  X(int16_t, mPreviewWidth, 0)                 \
  X(int16_t, mPreviewHeight, 0)

class ScanParams {
 public:
  ScanParams();
  explicit ScanParams(ImageTypeE type);

  void SetImageType(ImageTypeE type);
  void SetBitsOut(int bits);
  // Sets mBaseFilePath to a new name in this user's temporary items folder
  // and returns 0. When that folder cannot be made (or is not this user's
  // own), returns the host's error code (an errno value): the caller must
  // then not write an output and must report the error. The path is then set
  // below /dev/null, where creating a file always fails, so that a caller
  // that ignores the code cannot write anywhere either.
  int GenerateTempFilePath();
  // The job as asked for (before Adjust rounds its window for the transfer)
  // against the model's feeder or flatbed, at the resolution asked for, as
  // the scan window checks its settings: the flatbed on a model without
  // one, then the paper and the scan area across the feed, then along it
  // (not with automatic length, which takes the longest page the model
  // takes). Each limit allows the scan window's tolerance of 1/2400 inch.
  ExceededLimit FirstExceededLimit(const ProductSettings& product) const;
  // Completes the record for the opened scanner; runs once per job.
  void Adjust(const Device& device);
  // After the scanner reported its real pixel size.
  void Adjust(unsigned width, unsigned height);

#define QUIREL_SCAN_PARAMS_DECLARE(type, name, value) type name = value;
  QUIREL_SCAN_PARAMS_FIELDS(QUIREL_SCAN_PARAMS_DECLARE)
#undef QUIREL_SCAN_PARAMS_DECLARE
  // Called once per written side with its preview, on a document worker
  // thread; the preview's bitmap belongs to the receiver.
  std::function<void(const PagePreview*)> mPageScannedFunc;
  // Called once with the job's results, on the scan thread.
  std::function<void(const ScanResults*)> mScanCompleteFunc;
};

}  // namespace ZuzuvovOvav
