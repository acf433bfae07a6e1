// Parsing of the tool's scan arguments and their mapping onto the engine's scan parameters.
#include "ToolArgs.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "ToolQueries.h"

using namespace ZuzuvovOvav;

namespace quirel::tool {

namespace {

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// Reads a whole number in [lo, hi] written as --help shows it: decimal
// digits only, no sign, no blanks, no other base.
bool ParseInt(const std::string& text, long lo, long hi, long* value) {
  if (!AllDigits(text)) return false;
  errno = 0;
  long v = std::strtol(text.c_str(), nullptr, 10);
  if (errno != 0 || v < lo || v > hi) return false;
  *value = v;
  return true;
}

// Reads a number in [lo, hi] written as digits with at most one decimal
// point between digits ("2", "1.1000"); no sign, exponent, blanks or words.
bool ParseDouble(const std::string& text, double lo, double hi, double* value) {
  size_t point = text.find('.');
  if (point == std::string::npos) {
    if (!AllDigits(text)) return false;
  } else if (!AllDigits(text.substr(0, point)) || !AllDigits(text.substr(point + 1))) {
    return false;
  }
  errno = 0;
  double v = std::strtod(text.c_str(), nullptr);
  if (errno != 0 || !std::isfinite(v) || v < lo || v > hi) return false;
  *value = v;
  return true;
}

int RotationLetter(char c) {
  switch (c) {
    case 'n': return 0;
    case 'l': return 1;
    case 'r': return 2;
    case 'f': return 3;
    default: return -1;
  }
}

// The line-art threshold and despeckle values the desktop application's
// settings may hold (any 32-bit value; it passes those that are not 0).
constexpr long kMaxSetting = 2147483647L;

}  // namespace

int RotationFromArgument(const std::string& arg) {
  const std::string prefix = "--rotate-";
  if (arg.size() != prefix.size() + 3 || arg.compare(0, prefix.size(), prefix) != 0 || arg[prefix.size() + 1] != '-')
    return -1;
  int front = RotationLetter(arg[prefix.size()]);
  int back = RotationLetter(arg[prefix.size() + 2]);
  if (front < 0 || back < 0) return -1;
  return (front << 2) | back;
}

bool ParseToolArgs(const std::vector<std::string>& args, ToolOptions* options, std::string* error) {
  using Mode = ToolOptions::Mode;
  ImageTypeE type = kImageTypeLineArt;
  long bits = -1;
  long resolution = 300;
  bool turbo = false;
  double turboScale = 0;
  long paperWidth = 10200, paperHeight = 13200;
  bool paperWidthGiven = false, paperHeightGiven = false;
  bool autoLength = false;
  long left = 0, top = 0, width = -1, height = -1;
  bool duplex = false, skipFirst = false, skipLast = false, flatbed = false;
  int rotation = 0;
  bool byThickness = true, byLength = false;
  bool dtc = false;
  long threshold = -1, despeckle = -1, black = -1, white = -1;
  double density = 1.0;
  bool tiff = true, deflate = false, append = false, allowJpeg = true;
  long previewW = 0, previewH = 0;
  uint32_t location = 0;
  long perFile = 0;
  std::string path;
  bool scanOption = false;

  auto fail = [&](const std::string& text) {
    *error = text;
    return false;
  };

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    // The value after an option, or a failure naming the option.
    auto value = [&](std::string* v) {
      if (i + 1 >= args.size()) return false;
      *v = args[++i];
      return true;
    };
    std::string v;
    auto needInt = [&](long lo, long hi, long* out) {
      if (!value(&v)) return fail(a + " needs a value");
      if (!ParseInt(v, lo, hi, out))
        return fail("the value \"" + v + "\" of " + a + " is not a whole number from " + std::to_string(lo) + " to " +
                    std::to_string(hi));
      return true;
    };

    if (a == "--help" || a == "-h") {
      options->mode = Mode::kHelp;
      return true;
    } else if (a == "--version") {
      options->mode = Mode::kVersion;
      return true;
    } else if (a == "--verbose") {
      options->verbose = true;
      continue;
    } else if (a == "--enumerate") {
      options->mode = Mode::kEnumerate;
      continue;
    } else if (a == "--capabilities") {
      if (!value(&v)) return fail("--capabilities needs the scanner's USB location");
      options->mode = Mode::kCapabilities;
      options->capabilitiesLocation = v;
      continue;
    }

    scanOption = true;
    if (a == "--flatbed") {
      flatbed = true;
    } else if (a == "--adf") {
      flatbed = false;
    } else if (a == "--mono") {
      type = kImageTypeLineArt;
    } else if (a == "--gray") {
      type = kImageTypeGray;
    } else if (a == "--rgb") {
      type = kImageTypeColor;
    } else if (a == "--bits") {
      if (!needInt(1, 8, &bits)) return false;
    } else if (a == "--resolution") {
      if (!needInt(kMinResolution, kMaxResolution, &resolution)) return false;
    } else if (a == "--turbo") {
      if (!value(&v)) return fail("--turbo needs a value");
      if (!ParseDouble(v, 0, 16, &turboScale))
        return fail("the value \"" + v + "\" of --turbo is not a scale factor from 0 to 16 (0 lets the scanner's speeds decide)");
      turbo = true;
    } else if (a == "--paper-width") {
      if (!needInt(1, kMaxLength1200, &paperWidth)) return false;
      paperWidthGiven = true;
    } else if (a == "--paper-height") {
      if (!needInt(1, kMaxLength1200, &paperHeight)) return false;
      paperHeightGiven = true;
    } else if (a == "--auto-length") {
      autoLength = true;
    } else if (a == "--duplex") {
      duplex = true;
    } else if (a == "--skip-first") {
      skipFirst = true;
    } else if (a == "--skip-last") {
      skipLast = true;
    } else if (a.rfind("--rotate-", 0) == 0) {
      rotation = RotationFromArgument(a);
      if (rotation < 0) return fail("unknown rotation \"" + a + "\" (expected --rotate-F-B with F and B each n, l, r or f)");
    } else if (a == "--left") {
      if (!needInt(0, kMaxLength1200, &left)) return false;
    } else if (a == "--width") {
      if (!needInt(1, kMaxLength1200, &width)) return false;
    } else if (a == "--top") {
      if (!needInt(0, kMaxLength1200, &top)) return false;
    } else if (a == "--height") {
      if (!needInt(1, kMaxLength1200, &height)) return false;
    } else if (a == "--double-feed") {
      if (!value(&v)) return fail("--double-feed needs a value");
      if (v == "n") byThickness = byLength = false;
      else if (v == "t") byThickness = true, byLength = false;
      else if (v == "l") byThickness = false, byLength = true;
      else if (v == "tl" || v == "lt") byThickness = byLength = true;
      else return fail("the value \"" + v + "\" of --double-feed is not one of n, t, l, tl");
    } else if (a == "--dtc") {
      if (!value(&v)) return fail("--dtc needs a value");
      if (v == "d") dtc = true;
      else if (v == "n") dtc = false;
      else return fail("the value \"" + v + "\" of --dtc is not d or n");
    } else if (a == "--threshold") {
      if (!needInt(0, kMaxSetting, &threshold)) return false;
    } else if (a == "--despeckle") {
      if (!needInt(0, kMaxSetting, &despeckle)) return false;
    } else if (a == "--black") {
      if (!needInt(0, kMaxPointValue, &black)) return false;
    } else if (a == "--white") {
      if (!needInt(0, kMaxPointValue, &white)) return false;
    } else if (a == "--density") {
      if (!value(&v)) return fail("--density needs a value");
      if (!ParseDouble(v, kMinDensityFactor, kMaxDensityFactor, &density)) return fail("the value \"" + v + "\" of --density is not a factor from 0.1 to 10");
    } else if (a == "--tiff") {
      tiff = true;
    } else if (a == "--pdf") {
      tiff = false;
    } else if (a == "--compress") {
      if (!value(&v)) return fail("--compress needs a value");
      if (v == "zlib") deflate = true;
      else if (v == "none") deflate = false;
      else return fail("the value \"" + v + "\" of --compress is not zlib or none");
    } else if (a == "--preview") {
      if (!needInt(0, 4096, &previewW) || !needInt(0, 4096, &previewH)) return false;
      options->preview = true;
    } else if (a == "--append") {
      append = true;
    } else if (a == "--location") {
      if (!value(&v)) return fail("--location needs a value");
      if (!ParseLocation(v, &location)) return fail("\"" + v + "\" is not a USB location (expected a hexadecimal number as --enumerate prints it)");
    } else if (a == "--pages-per-file") {
      if (!needInt(0, 1000000, &perFile)) return false;
    } else if (a == "--no-jpeg") {
      allowJpeg = false;
    } else if (a.size() > 1 && a[0] == '-') {
      return fail("unknown argument \"" + a + "\" (see quirel --help)");
    } else {
      if (i + 1 != args.size()) return fail("the output path must be the last argument; \"" + a + "\" is followed by more");
      path = a;
    }
  }

  if (options->mode != Mode::kNone) {
    if (scanOption) return fail("scan arguments cannot be combined with --enumerate or --capabilities");
    return true;
  }
  if (!scanOption) return fail("nothing to do (see quirel --help)");
  if (path.empty()) return fail("no output path: give the output file as the last argument");

  if (bits < 0) bits = (type == kImageTypeLineArt) ? 1 : 8;
  if (type == kImageTypeLineArt && bits != 1) return fail("--bits must be 1 for --mono");
  if (type != kImageTypeLineArt && bits != 4 && bits != 8) return fail("--bits must be 4 or 8 for --gray and --rgb");
  // Both sides of a sheet share one page geometry, set by the front's turn:
  // a back turned a quarter more or less than its front would not fit it.
  auto quarterTurn = [](int code) { return code == 1 || code == 2; };
  if (duplex && !flatbed && quarterTurn(rotation >> 2) != quarterTurn(rotation & 3))
    return fail("with --duplex, --rotate-F-B must turn both sides by a quarter turn (l or r) or neither");
  // Length detection serves pages whose length runs along the feed; a
  // quarter-turned page's length is its width, which must be given.
  if (autoLength && !flatbed && quarterTurn(rotation >> 2))
    return fail("--auto-length cannot be used with a quarter turn (l or r): give the sheet's length as --paper-width");

  // Lengths describe the page as it comes out: a page turned a quarter is
  // as wide as the sheet is long. The default letter sheet turns with it.
  if (quarterTurn(rotation >> 2)) {
    if (!paperWidthGiven) paperWidth = 13200;
    if (!paperHeightGiven) paperHeight = 10200;
  }

  ScanParams p(type);
  p.SetBitsOut(int(bits));
  if (black >= 0) p.mBlackPoint = int32_t(black);
  if (white >= 0) p.mWhitePoint = int32_t(white);
  p.mXRes = p.mYRes = uint16_t(resolution);
  if (type == kImageTypeLineArt && turbo) {
    p.mTurbo = true;
    p.mTurboXScale = p.mTurboYScale = turboScale;
  }
  p.mFileType = tiff ? kFileTypeTIFF : kFileTypePDF;
  p.mCompressOption = (tiff && deflate) ? 1 : 0;
  p.mDuplex = duplex && !flatbed;
  p.mSkipFirstPage = p.mDuplex && skipFirst;
  p.mSkipLastPage = p.mDuplex && skipLast;
  p.mUseFlatbed = flatbed;
  p.mDetectLength = autoLength && !flatbed;
  p.mPaperWidth = uint32_t(paperWidth);
  p.mPaperHeight = p.mDetectLength ? 0 : uint32_t(paperHeight);
  if (left >= paperWidth) return fail("--left lies beyond the paper width");
  p.mUpperLeftX = uint32_t(left);
  p.mUpperLeftY = uint32_t(top);
  p.mScanWidth = uint32_t(width > 0 ? width : paperWidth - left);
  if (height > 0) {
    p.mScanHeight = uint32_t(height);
  } else if (!p.mDetectLength) {
    if (top >= paperHeight) return fail("--top lies beyond the paper height");
    p.mScanHeight = uint32_t(paperHeight - top);
  }
  // As the application's own scan takes its settings: the threshold's low
  // byte (so 256 is 0, the scanner's default); a despeckle value of 1 to
  // 100 sets the strength, a larger one lets the resolution choose it; a
  // white point at or below the black point makes a hard step.
  if (threshold >= 0) p.mThreshold = uint8_t(threshold & 0xFF);
  if (despeckle >= 0) p.mDespeckleFactor = int32_t(despeckle);
  p.mDtcVariation = dtc ? 'd' : 'n';
  p.mDensityFactor = density;
  p.mRotation = uint32_t(rotation);
  p.mDoubleByThickness = !flatbed && byThickness;
  p.mDoubleByLength = !flatbed && byLength;
  p.mAppend = append;
  p.mAllowJpeg = allowJpeg;
  p.mPreviewWidth = int16_t(previewW);
  p.mPreviewHeight = int16_t(previewH);
  p.mLocation = location;
  p.mImagesPerFile = int32_t(perFile);
  p.mProgramDescription = "quirel";
  p.mBaseFilePath = path;

  options->mode = Mode::kScan;
  options->params = p;
  return true;
}

}  // namespace quirel::tool
