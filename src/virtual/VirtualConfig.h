// The description of virtual scanners: parsing of the QUIREL_VIRTUAL_SCANNER
// text into one configuration per scanner.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FujiDevice.h"
#include "VirtualPages.h"

namespace quirel::virt {

// Faults a scanner injects; sheet numbers count the sheets fed since the
// device was opened, from 1; 0 means the fault is off.
struct FaultSet {
  int jamSheet = 0;
  int doubleFeedSheet = 0;
  int coverOpenSheet = 0;  // the load of this sheet finds the cover open
  int unplugSheet = 0;
  int busyAnswers = 0;     // per side: not-ready answers before its data
  bool shortReads = false;
  bool bogusTimeout = false;
  int lampWarmup = 0;      // not-ready answers to the lamp check
};

struct ScannerConfig {
  const ZuzuvovOvav::ProductSettings* model = nullptr;
  // Page files fed as sides, checked but not decoded; empty means
  // generated sheets.
  std::vector<std::shared_ptr<const PageFile>> pages;
  int dpi = 300;
  int sheets = 3;
  uint32_t location = 0;
  int speed = 2;  // quirel::usb::kUsbSpeedHigh
  FaultSet faults;
  // With automatic length, a JPEG side's header declares the window's
  // length and its stream ends after the paper's rows, without an
  // end-of-image marker, as some scanners send it.
  bool jpegWindowLength = false;
};

// Parses a whole description ('|' between scanners, ';' between keys).
// Returns false with one error text naming the bad key, value or file.
bool ParseDescription(const std::string& text, std::vector<ScannerConfig>* out, std::string* error);

// The model row of a name (case-insensitive) or of a product id; null when
// the table has neither.
const ZuzuvovOvav::ProductSettings* FindModel(const std::string& nameOrId);

}  // namespace quirel::virt
