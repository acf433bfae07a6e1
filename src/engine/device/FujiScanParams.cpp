// ScanParams: the defaults of a scan job's parameter record and its completion for the opened scanner (Adjust).
#include "FujiScanParams.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <iostream>
#include <random>
#include <sys/stat.h>

#include "FujiDevice.h"
#include "HostFolders.h"

namespace ZuzuvovOvav {

namespace {

// Tone points of a reduced tone scale, and of the full 8-bit scale.
constexpr int32_t kReducedBlack = 16;
constexpr int32_t kReducedWhite = 231;

// The window is measured in 1/1200 inch.
constexpr uint64_t kUnits = 1200;

// A resolution of 0 would divide by zero in the geometry below; the caller
// never means it, so it is treated as 1 dpi there.
inline uint64_t Res(uint16_t res) { return res ? res : 1; }

inline bool IsGrayOrColor(ImageTypeE type) { return type == kImageTypeGray || type == kImageTypeColor; }

// A rotation code whose front turns a quarter (left or right) makes the
// page landscape: its width runs along the feed.
inline bool FrontTurnsQuarter(uint32_t rotation) {
  const uint32_t front = rotation & ~3u;
  return front == 4 || front == 8;
}

// The scan window lets a length pass that is up to 1/2400 inch beyond a
// limit, and a scan area up to 1/2400 inch beyond its paper; its command
// line rounds each length to 1/1200 inch, by up to 1/2400 inch. So a paper
// size it passed arrives here up to 1/1200 inch beyond the limit, and the
// end of a scan area (an origin and a size, on a paper that passed) up to
// 2/1200 inch.
constexpr double kPaperSlack = 1;
constexpr double kAreaSlack = 2;

// Turbo resolution for a requested one divided by a scale, truncated, and
// never below 1 dpi (a huge scale must not leave a zero resolution).
uint16_t Divided(uint16_t requested, double scale) {
  double v = double(requested) / scale;
  if (!(v >= 1.0)) return 1;
  if (v > 65535.0) return 65535;
  return uint16_t(v);
}

// The most lines a JPEG image may have in the decoder the engine uses (and
// in the scanner's JPEG header).
constexpr uint64_t kJpegMaxLines = 65500;

// The window size in 1/1200 inch for `px` pixels (or lines) at `res` dpi.
// The scanner turns it back into pixels truncating (size * res / 1200), so
// it is rounded up: the smallest size that gives exactly `px` again. (A
// truncated size would give one pixel less at most resolutions, and a width
// rounded to whole JPEG blocks would lose its last block's column.) For
// res up to 1200 dpi it never exceeds a size whose truncation gave px.
inline uint64_t Units1200(uint64_t px, uint64_t res) { return (px * kUnits + res - 1) / res; }

// Rounds px to a multiple of `step`, upwards unless the rounded-up width,
// from the window's offset `offset1200` across the feed, no longer fits the
// device; then downwards.
uint64_t RoundWidth(uint64_t px, uint64_t step, uint64_t res, uint64_t offset1200, double deviceWidth1200) {
  uint64_t up = (px + step - 1) / step * step;
  if (double(offset1200 + Units1200(up, res)) > deviceWidth1200) return px / step * step;
  return up;
}

// Letters and digits for the unique part of a generated file name.
constexpr char kNameChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// A "folder" that is not one on any system: nothing can be created below it.
constexpr char kNoFolder[] = "/dev/null";

}  // namespace

ScanParams::ScanParams() = default;

ScanParams::ScanParams(ImageTypeE type) {
  mImageType = type;
  if (type == kImageTypeLineArt) {
    mBitsPerComponent = 1;
  } else if (IsGrayOrColor(type)) {
    mBitsPerComponent = 8;
    mBitsOut = mBitsSub = 6;
    mBlackPoint = kReducedBlack;
    mWhitePoint = kReducedWhite;
  }
}

void ScanParams::SetImageType(ImageTypeE type) {
  mImageType = type;
  if (type == kImageTypeLineArt) {
    mBitsPerComponent = 1;
    if (mBitsOut != 1) {
      mBitsOut = mBitsSub = 1;
      mBlackPoint = kReducedBlack;
      mWhitePoint = kReducedWhite;
    }
  } else if (IsGrayOrColor(type)) {
    mBitsPerComponent = 8;
    if (mBitsOut < 2 || mBitsOut > 8) {
      mBitsOut = mBitsSub = 6;
      mBlackPoint = kReducedBlack;
      mWhitePoint = kReducedWhite;
    }
  }
}

void ScanParams::SetBitsOut(int bits) {
  mBitsOut = mBitsSub = bits;
  if (bits < 8) {
    mBlackPoint = kReducedBlack;
    mWhitePoint = kReducedWhite;
  } else {
    mBlackPoint = 0;
    mWhitePoint = 255;
  }
}

int ScanParams::GenerateTempFilePath() {
  std::string folder;
  const int status = quirel::host::TemporaryItemsFolder(&folder);

  thread_local std::mt19937_64 rng{std::random_device{}()};
  std::uniform_int_distribution<size_t> pick(0, sizeof kNameChars - 2);
  auto newName = [&] {
    std::string name = "scan-";
    for (int i = 0; i < 20; ++i) name += kNameChars[pick(rng)];
    return name;
  };

  if (status != 0) {
    // Without this user's own temporary folder there is no safe place for
    // the output. The error is the result, and the path is put where no file
    // can ever be created (below the null device): a caller that goes on
    // regardless fails to open its output, instead of writing into the
    // working folder, the root or a folder someone else controls.
    mBaseFilePath = std::string(kNoFolder) + "/" + newName();
    return status;
  }

  // The name is only chosen here, not created: the writer adds the file
  // type's extension and creates the file itself, so reserving the bare name
  // would leave an empty stray file behind. As with the C library's mktemp,
  // a name is taken when nothing of that name exists yet.
  std::string path;
  for (int attempt = 0; attempt < 100; ++attempt) {
    path = folder + "/" + newName();
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 && errno == ENOENT) break;
  }
  mBaseFilePath = path;
  return 0;
}

ExceededLimit ScanParams::FirstExceededLimit(const ProductSettings& product) const {
  ExceededLimit found;
  if (mUseFlatbed && !product.mHasFlatbed) {
    found.kind = ExceededLimit::kNoFlatbed;
    return found;
  }
  const bool turned = mRotation != 0 ? FrontTurnsQuarter(mRotation) : mLandscape;
  const double width = mUseFlatbed ? product.mFlatbedWidth : product.mAdfWidth;
  const double length =
      mUseFlatbed ? product.mFlatbedHeight : Device::MaxLengthInches(product, mImageType, mXRes);
  const uint64_t paperAcross = turned ? mPaperHeight : mPaperWidth;
  const uint64_t paperAlong = turned ? mPaperWidth : mPaperHeight;
  const uint64_t areaAcross = turned ? uint64_t(mUpperLeftY) + mScanHeight : uint64_t(mUpperLeftX) + mScanWidth;
  const uint64_t areaAlong = turned ? uint64_t(mUpperLeftX) + mScanWidth : uint64_t(mUpperLeftY) + mScanHeight;
  auto beyond = [&](ExceededLimit::Kind kind, uint64_t value, double inches, double slack) {
    if (double(value) <= inches * double(kUnits) + slack) return false;
    found = {kind, uint32_t(std::min<uint64_t>(value, UINT32_MAX)), uint32_t(std::lround(inches * double(kUnits))),
             turned};
    return true;
  };
  if (beyond(ExceededLimit::kPaperAcross, paperAcross, width, kPaperSlack) ||
      beyond(ExceededLimit::kAreaAcross, areaAcross, width, kAreaSlack))
    return found;
  // With automatic length the page is as long as the model takes (Adjust).
  if (!turned && mDetectLength && mPaperHeight == 0) return found;
  if (!beyond(ExceededLimit::kPaperAlong, paperAlong, length, kPaperSlack))
    beyond(ExceededLimit::kAreaAlong, areaAlong, length, kAreaSlack);
  return found;
}

void ScanParams::Adjust(const Device& device) {
  static const ProductSettings kNoProduct{};
  const ProductSettings& product = device.GetSettings() ? *device.GetSettings() : kNoProduct;

  // The output keeps the requested resolution whatever the scanner uses.
  mOutXRes = mXRes;
  mOutYRes = mYRes;

  // Turbo line art: scan gray at a lower resolution, threshold later.
  if ((mTurbo || product.mTurboAlways) && mImageType == kImageTypeLineArt) {
    const uint16_t x = mXRes;
    const uint16_t y = mYRes;
    uint16_t newX = x;
    uint16_t newY = y;
    bool chosen = false;
    if (product.mSpeeds) {
      for (const SpeedEntry* e = product.mSpeeds; e->mMode != 0; ++e) {
        const uint16_t r = e->mResolution;
        if (r < x && r < y) {
          // Below 300 dpi the gray scan is too coarse to threshold unless
          // the requested resolution is at most half as fine again.
          if (r >= 300 || (x <= 1.5 * r && y <= 1.5 * r)) {
            newX = mTurboXScale != 0 ? Divided(x, mTurboXScale) : r;
            newY = mTurboYScale != 0 ? Divided(y, mTurboYScale) : r;
            chosen = true;
          }
          break;
        }
      }
    }
    if (!chosen && (!product.mSpeeds || mTurboXScale != 0 || mTurboYScale != 0)) {
      newX = Divided(x, mTurboXScale != 0 ? mTurboXScale : 1.5);
      newY = Divided(y, mTurboYScale != 0 ? mTurboYScale : 1.5);
    }
    mXRes = newX;
    mYRes = newY;
    mTurboXScale = double(x) / double(newX);
    mTurboYScale = double(y) / double(newY);
    mAllowJpeg = true;
    mImageType = kImageTypeGray;
    mTurbo = true;
    mBitsPerComponent = 8;
    mBitsOut = 8;
    mBlackPoint = 0;
    mWhitePoint = 255;
  } else {
    mTurbo = false;
  }

  // JPEG transfer.
  mCanUseJpeg = mAllowJpeg ? product.mSupportsJpeg : false;
  mWillUseJpeg = mCanUseJpeg && IsGrayOrColor(mImageType);
  mJpegInterleave = mDuplex && mWillUseJpeg && product.mJpegInterleave;

  // JPEG level and subsampling for the model and the connection.
  if (mJpegLevel == 0) mJpegLevel = mTurbo ? device.JpegTurboLevel() : device.JpegLevel();
  if (mJpegSubsample == 0) {
    if (mImageType == kImageTypeGray)
      mJpegSubsample = 129;
    else
      mJpegSubsample = mTurbo ? device.JpegTurboSubsample() : device.JpegSubsample();
  }

  // Threshold weight: the caller's, the model's, or both combined.
  {
    const double w = mThresholdWeight;
    const double p = product.mDefaultThresholdWeight;
    double weight;
    if (w == 0 && p == 0)
      weight = 0.75;
    else if (w == 0)
      weight = p;
    else if (p == 0)
      weight = w * 0.75;
    else
      weight = w * p;
    mThresholdWeight = weight * mDensityFactor;
  }

  // Rotation: a quarter turn of the front side makes the page landscape.
  if (mRotation != 0) {
    SideRotation(mRotation, true);  // only for the assertion line on a bad code
    mLandscape = FrontTurnsQuarter(mRotation);
  } else if (mLandscape) {
    mRotation = 9;  // front turned right, back turned left
  }

  // Automatic length: the longest page the model takes at this resolution.
  if (!mLandscape && mDetectLength && mPaperHeight == 0) {
    const uint32_t longest = device.GetMaxLenForRes(mImageType, mXRes > mYRes ? mXRes : mYRes);
    if (longest != mPaperHeight) {
      const uint32_t newScanHeight = longest > mUpperLeftY ? longest - mUpperLeftY : 0;
      if (gVerbose)
        std::clog << "paper height adjusted from " << mPaperHeight << " to " << longest << " (scan height from "
                  << mScanHeight << " to " << newScanHeight << ")" << std::endl;
      mPaperHeight = longest;
      mScanHeight = newScanHeight;
    }
    mBottomTrim = uint32_t(product.mAutoLenTrim * mYRes + 0.5);
  }

  // A window longer than a JPEG image can be (automatic length at high
  // resolutions asks for more) is transferred raw: cutting it would lose
  // the end of a long page.
  if (mWillUseJpeg) {
    const uint64_t along = mLandscape ? mScanWidth : mScanHeight;
    if ((along * Res(mYRes) / kUnits + 15) / 16 * 16 > kJpegMaxLines) mWillUseJpeg = mJpegInterleave = false;
  }

  const bool subsampledJpeg = mWillUseJpeg && mJpegSubsample != 0;
  const bool plainJpeg = mWillUseJpeg && mJpegSubsample == 0;
  const uint64_t xres = Res(mXRes);
  const uint64_t yres = Res(mYRes);

  // Width across the feed, rounded to what the data format needs.
  {
    const uint64_t w = mLandscape ? mScanHeight : mScanWidth;
    const uint64_t left = mLandscape ? mUpperLeftY : mUpperLeftX;
    uint64_t px = w * xres / kUnits;
    const double deviceWidth = (mUseFlatbed ? product.mFlatbedWidth : product.mAdfWidth) * double(kUnits);
    bool rounded = false;
    if (px % 16 != 0 && subsampledJpeg) {
      px = RoundWidth(px, 16, xres, left, deviceWidth);
      rounded = true;
    } else if (px % 8 != 0 && (mImageType == kImageTypeLineArt || plainJpeg)) {
      px = RoundWidth(px, 8, xres, left, deviceWidth);
      rounded = true;
    }
    mInWidth1200 = uint32_t(Units1200(px, xres));
    if (rounded) {
      uint32_t& paper = mLandscape ? mPaperHeight : mPaperWidth;
      if (paper < mInWidth1200) paper = mInWidth1200;
    }
  }

  // Length along the feed; line art is not rounded in length. The
  // window starts at its top offset, so it is that much shorter than the
  // longest length the model takes (automatic length asks for the rest of
  // the longest page below the offset).
  {
    const uint64_t h = mLandscape ? mScanWidth : mScanHeight;
    const uint64_t top = mLandscape ? mUpperLeftX : mUpperLeftY;
    uint64_t py = h * yres / kUnits;
    if (py % 16 != 0 && subsampledJpeg)
      py = (py + 15) / 16 * 16;
    else if (py % 8 != 0 && plainJpeg)
      py = (py + 7) / 8 * 8;
    const uint64_t step = subsampledJpeg ? 16 : plainJpeg ? 8 : 1;
    uint64_t length = Units1200(py, yres);
    if (top + length > device.GetMaxLenForRes(mImageType, mXRes)) length = Units1200(py > step ? py - step : 0, yres);
    mInHeight1200 = uint32_t(length);
  }

  // The JPEG blocks of the last rows are cut off with the page end too.
  if (!mLandscape && mDetectLength && mWillUseJpeg) mBottomTrim += mJpegSubsample != 0 ? 8 : 4;

  // Output width.
  {
    const uint64_t across = mLandscape ? mScanWidth : mInWidth1200;
    mOutImageWidthPixel = uint32_t(across * xres / kUnits);
    mOutImageWidthPoint = mOutImageWidthPixel * 72.0 / double(xres);
  }

  // Pixels the scanner delivers; oversampling doubles gray and colour.
  {
    const uint64_t f = (mOverSample && mImageType != kImageTypeLineArt) ? 2 : 1;
    mXPixelCount = uint32_t(uint64_t(mInWidth1200) * f * xres / kUnits);
    mYPixelCount = uint32_t(f * uint64_t(mInHeight1200) * yres / kUnits);
    mBufWidthRaw = mLandscape ? mYPixelCount : mXPixelCount;
    mBufHeightRaw = mLandscape ? mXPixelCount : mYPixelCount;
  }
}

void ScanParams::Adjust(unsigned width, unsigned height) {
  mXPixelCount = width;
  mYPixelCount = height;
  mBufWidthRaw = mLandscape ? height : width;
  mBufHeightRaw = mLandscape ? width : height;
}

}  // namespace ZuzuvovOvav
