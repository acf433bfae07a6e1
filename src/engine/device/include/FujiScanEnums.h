// Enumerations, status codes and diagnostics shared by the whole engine.
#pragma once

#include <cstdint>
#include <cstdio>

#include "ScanStatus.h"

namespace ZuzuvovOvav {

// Image type of a scan (the window descriptor's image type byte).
enum ImageTypeE : int32_t {
  kImageTypeLineArt = 0,
  kImageTypeGray = 2,
  kImageTypeColor = 5,
};

// Which side of a sheet.
enum SideSelectE : int32_t {
  kSideFront = 1,
  kSideBack = 2,
};

// Colour sample order of the scanner's colour data.
enum ColorOrderE : int32_t {
  kColorOrderRGB = 0,
  kColorOrderBGR = 5,
};

// Colour layout of the scanner's colour data.
enum ColorPlanarE : int32_t {
  kColorLineInterleaved = 0,
  kColorPixelInterleaved = 1,
};

// Window ids of READ, READ IMAGE CHECK and the window descriptors.
enum WhichWindowE : uint8_t {
  kWindowFront = 0x00,
  kWindowBack = 0x80,
};

// Scan job status codes: ScanStatus.h.

// Longest engine failure text, terminator included.
constexpr int kMaxErrorText = 1024;

// The engine's trace switch: when set, the engine writes progress lines to
// the standard log stream (std::clog).
extern bool gVerbose;

// A violated internal expectation: prints "line %d of %s, assertion failed: %s"
// to standard error; execution continues. A file path (with an extension, as
// __FILE__ gives it) is printed as the file's name without folders and
// extension; a source name without an extension is printed as it is.
void AssertFailed(int line, const char* file, const char* expression);

#define QUIREL_ASSERT(expr)                                               \
  do {                                                                    \
    if (!(expr)) ::ZuzuvovOvav::AssertFailed(__LINE__, __FILE__, #expr); \
  } while (0)

// Rotation of one side from a job's rotation code (front code << 2 | back
// code); codes above 15 trigger the assertion line "rp <= 0xf".
uint32_t SideRotation(uint32_t rotationCode, bool front);

}  // namespace ZuzuvovOvav
