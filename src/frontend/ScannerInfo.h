// What the attached scanner can do, as the command-line tool reports it
// ("quirel --enumerate", then "quirel --capabilities <location>").
#pragma once

#include <QString>
#include <cstdint>
#include <optional>

namespace quirel::frontend {

struct ScannerInfo {
  QString modelName;
  bool supported = false;
  uint32_t vendor = 0;
  uint32_t product = 0;
  uint32_t location = 0;
  double adfWidth = 0;  // inches
  double adfLength = 0;
  double adfLongLength1 = 0;
  double adfLongLength2 = 0;
  double fbWidth = 0;
  double fbHeight = 0;
  int32_t adfLongResCutoff1 = 0;  // dots per inch; 0: no such long scan
  int32_t adfLongResCutoff2 = 0;
  uint8_t adfLongScanModes = 0;  // 1 line art, 2 gray, 4 colour
  bool hasFlatbed = false;
  bool hasAutoLen = false;
  bool fbLeft = false;
  bool supportsJpeg = false;
  bool feedsFaceUp = false;
  bool multipleScanners = false;
};

// The first scanner of an "--enumerate" output (a heading line, then one
// line per scanner: model, vendor, product and location, hexadecimal, each
// line ended by "\n"), with *locationText set to the location field exactly
// as printed. None when no scanner line is there.
std::optional<ScannerInfo> ParseEnumerateOutput(const QString& text, QString* locationText);

// Applies the lines of a "--capabilities" output to `info`; lines of other
// forms are ignored.
void ApplyCapabilities(const QString& text, ScannerInfo* info);

// Number reading as the capability lines need it: leading blanks skipped,
// the longest numeric prefix taken, 0 when there is none; never depends on
// the locale. Integers beyond 32 bits are held at the nearest limit.
double LeadingDouble(const QString& text);
int32_t LeadingInt(const QString& text);
// A hexadecimal number with an optional "0x", up to the first character that
// is no hexadecimal digit; held at 0xFFFFFFFF when it overflows.
uint32_t LeadingHex(const QString& text);

}  // namespace quirel::frontend
