// Parsing of the tool's scan arguments and their mapping onto the engine's scan parameters.
#include "ToolArgs.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "OutputName.h"
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

// The lowest resolution a scan at `resolution` may be made at. Line art may
// be scanned as gray at a lower resolution and thresholded here (--turbo, or
// a model that always does): by the scale given, or, when the scanner's
// speeds choose, at two thirds of it or 300 dpi, whichever is lower.
long LowestScanResolution(long resolution, bool lineArt, double turboScale) {
  if (!lineArt) return resolution;
  if (turboScale >= 1) return std::max(1L, long(double(resolution) / turboScale));
  return std::max(1L, std::min(long(double(resolution) / 1.5), std::min(resolution, 300L)));
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
  bool thresholdGiven = false, despeckleGiven = false;
  long threshold = -1, despeckle = -1, black = -1, white = -1;
  double density = 1.0;
  bool pdfGiven = false, tiffGiven = false, deflate = false, append = false, allowJpeg = true;
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
      // Below 1 the gray scan would be finer than the line art made from it.
      if (turboScale > 0 && turboScale < 1)
        return fail("the value \"" + v + "\" of --turbo is below 1: give a scale factor from 1 to 16, or 0 to let the scanner's speeds choose it");
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
      thresholdGiven = true;
    } else if (a == "--despeckle") {
      if (!needInt(0, kMaxSetting, &despeckle)) return false;
      despeckleGiven = true;
    } else if (a == "--black") {
      if (!needInt(0, kMaxPointValue, &black)) return false;
    } else if (a == "--white") {
      if (!needInt(0, kMaxPointValue, &white)) return false;
    } else if (a == "--density") {
      if (!value(&v)) return fail("--density needs a value");
      if (!ParseDouble(v, kMinDensityFactor, kMaxDensityFactor, &density)) return fail("the value \"" + v + "\" of --density is not a factor from 0.1 to 10");
    } else if (a == "--tiff") {
      tiffGiven = true;
    } else if (a == "--pdf") {
      pdfGiven = true;
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
  if (pdfGiven && tiffGiven)
    return fail("--pdf and --tiff cannot be used together: give one of them, or neither to take the format from the "
                "output file's extension (.pdf, .tif or .tiff)");

  // Options that would change nothing are refused, so that nobody believes
  // they did; those the desktop application sends itself are named in a note.
  if (flatbed) {
    const char* feederOnly = duplex ? "--duplex" : skipFirst ? "--skip-first" : skipLast ? "--skip-last" : nullptr;
    if (feederOnly)
      return fail(std::string(feederOnly) + " cannot be used with --flatbed: the flatbed scans one side of one sheet. Leave out " +
                  feederOnly + ", or scan from the feeder (--adf)");
    if (autoLength)
      return fail("--auto-length cannot be used with --flatbed: only the feeder detects the paper's length. Give it with "
                  "--paper-height, or scan from the feeder (--adf)");
  }
  if (autoLength && height > 0)
    return fail("--height cannot be used with --auto-length: the scan area then runs to the end of each sheet. Leave out "
                "--height, or --auto-length and give --paper-height");
  const bool lineArtTurbo = type == kImageTypeLineArt && turbo;
  if (lineArtTurbo) {
    if (!allowJpeg)
      return fail("--no-jpeg has no effect with --turbo: turbo line art is scanned as gray, which the scanner may send as "
                  "JPEG. Leave out --no-jpeg, or leave out --turbo to scan line art as line art");
    const bool given[] = {thresholdGiven, despeckleGiven, dtc};
    const char* const names[] = {"--threshold", "--despeckle", "--dtc d"};
    std::string unused;
    int count = 0;
    for (int i = 0; i < 3; ++i)
      if (given[i]) unused += (count++ == 0 ? "" : " and ") + std::string(names[i]);
    if (count > 0)
      options->notes.push_back(unused + (count == 1 ? " changes" : " change") +
                               " nothing with --turbo: turbo line art is thresholded here, by a threshold calculated "
                               "for each page (--density adjusts it); leave out --turbo to use " +
                               (count == 1 ? "it" : "them"));
  }

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
  if (lineArtTurbo) {
    p.mTurbo = true;
    p.mTurboXScale = p.mTurboYScale = turboScale;
  }
  // Without a format option the output path's extension chooses it.
  const uint32_t named = FileTypeOfPath(path);
  const bool tiff = tiffGiven || (!pdfGiven && named != kFileTypePDF);
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
  if (width <= 0) width = paperWidth - left;
  if (height <= 0 && !p.mDetectLength) {
    if (top >= paperHeight) return fail("--top lies beyond the paper height");
    height = paperHeight - top;
  }

  // The scanner refuses a window less than one pixel wide or long.
  const long lowest = LowestScanResolution(resolution, type == kImageTypeLineArt, lineArtTurbo ? turboScale : 0);
  const long fewest = (1200 + lowest - 1) / lowest;
  struct Extent {
    long length;
    const char* what;
    const char* give;
  };
  const Extent extents[] = {{width, "wide", "--width, or --paper-width beyond --left"},
                            {p.mDetectLength ? fewest : height, "long", "--height, or --paper-height beyond --top"}};
  for (const Extent& e : extents)
    if (e.length < fewest)
      return fail("the scan area is " + std::to_string(e.length) + " " + e.what + " (in 1/1200 inch), less than one pixel at " +
                  std::to_string(lowest) + " dpi" +
                  (lowest < resolution ? " (line art at " + std::to_string(resolution) + " dpi may be scanned as gray at " +
                                             std::to_string(lowest) + " dpi)"
                                       : std::string()) +
                  ": make it at least " + std::to_string(fewest) + " " + e.what + " (" + e.give + ")");

  // The options measure the area on the page as it comes out; the
  // scanner's window is measured on the sheet.
  const AreaOnSheet onSheet = PageAreaOnSheet(rotation >> 2, paperWidth, paperHeight, p.mDetectLength, left, top, width, height);
  if (onSheet.fit == AreaOnSheet::kPastRight)
    return fail("the scan area (--left " + std::to_string(left) + " --width " + std::to_string(width) +
                ") runs past the right edge of the page, " + std::to_string(paperWidth) +
                " wide (--paper-width): on a turned page the area must lie on the page");
  if (onSheet.fit == AreaOnSheet::kPastBottom)
    return fail("the scan area (--top " + std::to_string(top) + " --height " + std::to_string(height) +
                ") runs past the bottom edge of the page, " + std::to_string(paperHeight) +
                " long (--paper-height): on a turned page the area must lie on the page");
  if (onSheet.topDropped)
    options->notes.push_back("--top changes nothing with --auto-length and a half turn (--rotate-f-...): the "
                             "page's top is the end of the sheet, which is found only as it is scanned");
  p.mUpperLeftX = uint32_t(onSheet.left);
  p.mUpperLeftY = uint32_t(onSheet.top);
  p.mScanWidth = uint32_t(width);
  if (height > 0) p.mScanHeight = uint32_t(height);
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
