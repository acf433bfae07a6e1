// ScanParams: every parameter of one scan job, from what the caller asked
// for to what the engine derives for the opened scanner, and the two
// callbacks through which the engine reports back.
//
// Positions and sizes are in 1/1200 inch unless a field says pixels;
// resolutions are in dots per inch. A plain copyable value.
#pragma once

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

  uint16_t mXRes = 300;
  uint16_t mYRes = 300;
  uint16_t mOutXRes = 0;
  uint16_t mOutYRes = 0;
  uint32_t mUpperLeftX = 0;
  uint32_t mUpperLeftY = 0;
  uint32_t mScanWidth = 10200;
  uint32_t mScanHeight = 13200;
  uint32_t mPaperWidth = 10200;
  uint32_t mPaperHeight = 13200;
  uint32_t mXPixelCount = 0;
  uint32_t mYPixelCount = 0;
  uint8_t mBrightness = 0;
  uint8_t mThreshold = 0;
  uint8_t mContrast = 0;
  uint32_t mBytesPerPage = 0;
  uint32_t mBottomTrim = 0;
  ImageTypeE mImageType = kImageTypeLineArt;
  int32_t mBitsPerComponent = 1;
  int32_t mHalftoneProcess = 0;
  int32_t mHalftonePattern = 0;
  int32_t mReverseImage = 0;
  int32_t mCompressionType = 0;
  uint8_t mOutlineEmphasis = 0;
  uint8_t mDtcVariation = 'n';
  int32_t mBlackPoint = 255;
  int32_t mWhitePoint = 0;
  int32_t mBitsSub = 1;
  int32_t mBitsOut = 1;
  int32_t mDespeckleFactor = -1;
  int32_t mImagesPerFile = 0;
  bool mUseFlatbed = false;
  bool mAppend = false;
  bool mSkipFirstPage = false;
  bool mSkipLastPage = false;
  bool mAllowJpeg = true;
  bool mCanUseJpeg = false;
  bool mCleanup = true;
  bool mDuplex = false;
  bool mLandscape = false;
  bool mOverSample = false;
  bool mDetectLength = false;
  bool mDoubleByThickness = true;
  bool mDoubleByLength = false;
  bool mAllowDoubles = false;
  uint32_t mRotation = 0;
  int32_t mCompressOption = 0;
  std::string mProgramDescription;
  std::string mBaseFilePath;
  uint32_t mFileType = kFileTypeTIFF;
  bool mAddFileTypeExtension = true;
  uint32_t mLocation = 0;
  uint32_t mInWidth1200 = 0;
  uint32_t mInHeight1200 = 0;
  uint32_t mBufWidthRaw = 0;
  uint32_t mBufHeightRaw = 0;
  uint32_t mOutImageWidthPixel = 0;
  double mOutImageWidthPoint = 0;
  bool mWillUseJpeg = false;
  bool mJpegInterleave = false;
  int32_t mJpegLevel = 0;
  int32_t mJpegSubsample = 129;
  bool mTurbo = false;
  double mTurboXScale = 0.0;
  double mTurboYScale = 0.0;
  double mThresholdWeight = 0.0;
  double mDensityFactor = 1.0;
  int16_t mPreviewWidth = 0;
  int16_t mPreviewHeight = 0;
  // Called once per written side with its preview, on a document worker
  // thread; the preview's bitmap belongs to the receiver.
  std::function<void(const PagePreview*)> mPageScannedFunc;
  // Called once with the job's results, on the scan thread.
  std::function<void(const ScanResults*)> mScanCompleteFunc;
};

}  // namespace ZuzuvovOvav
