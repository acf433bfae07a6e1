// Helpers of the end-to-end scan tests: test pages with an asymmetric
// marker, the turns and tone mappings a scan should apply to them, the
// tool run against a virtual scanner fed with those pages, and the reading
// of the files it writes through tools we did not write (pdfimages,
// pdfinfo, qpdf, tiffinfo), so that the tool's own writers are not trusted
// to check themselves.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "RunTool.h"
#include "TempDir.h"

namespace quirel::e2e {

// An 8-bit image: one channel (gray, 0 black) or three (RGB).
struct Image {
  int width = 0;
  int height = 0;
  int channels = 1;
  std::vector<uint8_t> px;

  Image() = default;
  Image(int w, int h, int c, uint8_t fill = 255);
  uint8_t At(int x, int y, int c = 0) const { return px[(size_t(y) * size_t(width) + size_t(x)) * size_t(channels) + size_t(c)]; }
  uint8_t& At(int x, int y, int c = 0) { return px[(size_t(y) * size_t(width) + size_t(x)) * size_t(channels) + size_t(c)]; }
  // Fills [x0, x1) x [y0, y1) with one value per channel (a gray image
  // takes the first).
  void Fill(int x0, int y0, int x1, int y1, uint8_t r, uint8_t g, uint8_t b);
  void Fill(int x0, int y0, int x1, int y1, uint8_t v) { Fill(x0, y0, x1, y1, v, v, v); }
};

// What a test page holds besides the marker and the sheet number.
enum class PageKind {
  kBilevel,    // black and white only: line art is unambiguous everywhere
  kGray,       // gray ramp and patches (a gray image)
  kColor,      // colour ramps and patches (an RGB image)
};

struct PageOptions {
  PageKind kind = PageKind::kBilevel;
  int width = 160;  // pixels
  int height = 224;
  bool dots = false;       // isolated black pixels (specks)
  bool lightLines = false;  // thin light-gray lines inside a black field
};

// A test page of sheet `sheet` (from 1), side 1 (front) or 2 (back). The
// front carries an "F" in its top-left corner; the back an "F" with a bar
// under it and a square at the bottom right; the sheet number is drawn as
// that many squares along the bottom. No turn or mirror image of a page
// equals another page.
Image MakePage(int sheet, int side, const PageOptions& options = {});

// The image turned as the tool's rotation letter says: n none, l a quarter
// turn left (counter-clockwise), r a quarter turn right, f a half turn.
Image Turn(const Image& image, char letter);

// Line art as the scanner's default threshold gives it: below 128 black.
Image Threshold(const Image& image);
// Gray page as a 4-bit scan stores it with the tool's default black and
// white points (16 and 231), on a continuous scale: the file holds one of
// the 16 levels (multiples of 17) within half a level of it.
Image Gray4(const Image& image);
// Drops the colour of a gray image kept as RGB by a reader.
Image ToGray(const Image& image);

struct Comparison {
  long checked = 0;
  long bad = 0;
  int maxDiff = 0;
  double meanDiff = 0;
  std::string first;  // the first mismatch, for the failure message
  std::string Describe() const;
};

// Compares pixel by pixel. A pixel differs when some channel differs by
// more than `tolerance`. With `interior` > 0 only pixels whose square
// neighbourhood of that radius is uniform in `expected` are checked (edges
// are where scaling and JPEG blur).
Comparison Compare(const Image& got, const Image& expected, int tolerance = 0, int interior = 0);

// Compares a file's pages with the expected ones; "" when they all match
// (at most `allowedBad` differing pixels a page), else what differs.
std::string ComparePages(const std::vector<Image>& got, const std::vector<Image>& expected, int tolerance = 0,
                         int interior = 0, long allowedBad = 0);

// The e2e tests' temporary folders are the shared test folders.
using quirel::testing::TempDir;

bool WritePnm(const std::string& path, const Image& image);
// Reads binary PBM (black 0, white 255), PGM and PPM.
bool ReadPnm(const std::string& path, Image* image, std::string* error);

// Runs a shell command; returns its exit status and its standard output
// and standard error together in *output.
int Shell(const std::string& command, std::string* output);
std::string Quote(const std::string& text);
// A folder for LOCPATH holding the locale `name` ("en_US", "de_DE") as
// localedef (package locales) compiles it, made once per run; empty when
// it cannot be made. Tests so need no locale generated on the machine.
const std::string& CompiledLocales(const std::string& name);

// The images of a PDF in page order, extracted by pdfimages; an error
// text when it fails.
std::vector<Image> PdfImages(const std::string& pdf, const std::string& workDir, std::string* error);
// The page count pdfinfo reports, -1 on failure.
int PdfPageCount(const std::string& pdf);
// qpdf --check; true when qpdf finds nothing wrong; its output in *report.
bool QpdfCheck(const std::string& pdf, std::string* report);

struct TiffPage {
  std::string compression;  // as tiffinfo names it
  int bitsPerSample = 0;
  Image image;
};
// The pages of a TIFF, decoded by tiffinfo -d (min-is-white turned into
// ordinary gray, 1 and 4 bits widened to 8).
std::vector<TiffPage> TiffPages(const std::string& tiff, std::string* error);

// One scan of the tool against a virtual scanner of `model` fed with
// `pages` (written into `dir` as PGM or PPM at `dpi`).
struct ScanSetup {
  ScanSetup(std::string m, std::vector<Image> p, int d = 100, std::string extra = "")
      : model(std::move(m)), pages(std::move(p)), dpi(d), extraScanner(std::move(extra)) {}
  std::string model;
  std::vector<Image> pages;
  int dpi;
  std::string extraScanner;  // more "key=value" items for the scanner
};
quirel::testing::ToolRun Scan(const TempDir& dir, const ScanSetup& setup, const std::vector<std::string>& args);

// A scan into a new PDF or TIFF of `dir`, read back. `problem` is empty
// when the tool succeeded, the file passed its checks (qpdf --check and the
// page count of pdfinfo for a PDF) and its pages could be read.
struct ScanOutput {
  quirel::testing::ToolRun run;
  std::string path;
  std::vector<Image> images;  // the pages' images in order
  std::vector<TiffPage> tiff;  // TIFF only: the pages with their tags
  std::string problem;
};
ScanOutput ScanFile(const TempDir& dir, const ScanSetup& setup, std::vector<std::string> args, bool tiff = false);
// Reads an existing PDF or TIFF back as ScanFile does.
void ReadBack(const TempDir& dir, bool tiff, ScanOutput* out);

// The arguments that make the scan area exactly the page (lengths in
// 1/1200 inch at `dpi`); `turned` swaps width and height as a quarter turn
// asks (the tool takes the sizes of the turned page).
std::vector<std::string> PageArea(const Image& page, int dpi, bool turned = false);

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b);

// The whole content of a file ("" when it cannot be read).
std::string ReadFile(const std::string& path);

}  // namespace quirel::e2e
