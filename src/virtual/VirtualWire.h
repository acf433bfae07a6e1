// Block lengths, big-endian helpers and the refusal trace shared by the virtual scanner's sources.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "FujiDevice.h"

namespace quirel::virt::wire {

// The virtual scanner answers as the maker's devices the device layer looks for.
using ZuzuvovOvav::kFujitsuVendorId;

constexpr uint32_t kStatusLen = 13;
constexpr uint32_t kSenseLen = 18;

inline uint32_t Be16(const uint8_t* p) { return (uint32_t(p[0]) << 8) | p[1]; }
inline uint32_t Be24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }
inline void PutBe16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

// Why the scanner refused a command, for whoever debugs a host against it
// (QUIREL_VIRTUAL_TRACE set and not "0").
inline void TraceRefusal(uint8_t opcode, const char* why) {
  static const bool trace = [] {
    const char* v = std::getenv("QUIREL_VIRTUAL_TRACE");
    return v && *v && std::strcmp(v, "0") != 0;
  }();
  if (trace) std::fprintf(stderr, "virtual scanner: command 0x%02x refused: %s\n", opcode, why);
}

}  // namespace quirel::virt::wire
