// Page image files as the virtual scanner feeds them: PNG of any bit depth
// and colour type, and binary PGM/PPM (P5/P6) with 8-bit samples (maxval 1
// to 255; below 255 the samples are scaled to 0..255).
//
// A file is checked when the scanner is set up (its header, its length
// against the header, and for PNG every chunk's checksum through IEND) and
// decoded only while one of its sides is rendered, so that a long stack of
// page files costs no memory before its sheets are fed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quirel::virt {

// A checked page file and its size in pixels.
struct PageFile {
  std::string path;
  int width = 0;
  int height = 0;
};

// A decoded page file.
struct PageImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // width * height * 3, ordinary values (0 black)
};

// Checks a page file without decoding its samples; false with *error naming
// the file and the cause (unreadable, another format or depth, a malformed
// or oversized header, truncated or damaged data).
bool ProbePageFile(const std::string& path, PageFile* out, std::string* error);

// Decodes a checked page file; false with *error naming the file and the
// cause when its compressed data is damaged or the file changed since it
// was checked.
bool DecodePageFile(const PageFile& file, PageImage* out, std::string* error);

}  // namespace quirel::virt
