// The scan arguments of the command-line tool and their mapping onto the
// engine's ScanParams. The desktop application passes its settings as these
// arguments; the workflow action maps the same settings onto ScanParams
// itself (ScanJob_InProcess::setParams), and a test compares the two
// records field by field.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "FujiScanParams.h"

namespace quirel::tool {

struct ToolOptions {
  enum class Mode { kNone, kHelp, kVersion, kEnumerate, kCapabilities, kScan };
  Mode mode = Mode::kNone;
  bool verbose = false;
  std::string capabilitiesLocation;  // --capabilities
  bool preview = false;              // --preview W H
  // Options that the desktop application sends in combinations where they
  // change nothing: each named once on standard error after the scan, behind any failure's own text.
  std::vector<std::string> notes;
  ZuzuvovOvav::ScanParams params;    // the scan, when mode is kScan
};

// Parses the arguments (without the program name). Returns false with a
// message in *error for anything malformed; nothing is guessed.
bool ParseToolArgs(const std::vector<std::string>& args, ToolOptions* options, std::string* error);

// Rotation code (front code << 2 | back code) of a "--rotate-F-B" argument:
// each letter n (none), l (left), r (right) or f (turn over). -1 when malformed.
int RotationFromArgument(const std::string& arg);

}  // namespace quirel::tool
