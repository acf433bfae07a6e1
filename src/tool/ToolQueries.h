// The scanner queries of the command-line tool: the list of attached
// scanners and the capabilities of one of them, in the line formats the
// desktop application reads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace quirel::tool {

// Parses a USB location as printed by --enumerate: hexadecimal, with or
// without "0x". Returns false for anything else (empty, junk, overflow).
bool ParseLocation(const std::string& text, uint32_t* location);

// True when the USB bus (real or virtual) can be used; otherwise prints why
// on `err` (a malformed QUIREL_VIRTUAL_SCANNER names its bad key).
bool BusUsable(FILE* err);

// "--enumerate": a heading line, then one line per supported scanner.
// Returns the exit status.
int ListScanners(FILE* out, FILE* err);

// "--capabilities LOCATION": one capability per line. Returns the exit status.
int PrintCapabilities(const std::string& locationText, FILE* out, FILE* err);

}  // namespace quirel::tool
