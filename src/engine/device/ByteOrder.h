// Big-endian integers of the scanner protocol.
//
// Buffers are never checked: the caller provides enough bytes.
#pragma once

#include <cstdint>

namespace ZuzuvovOvav {

inline void UShort2Bytes(uint8_t* out, uint16_t value) {
  out[0] = uint8_t(value >> 8);
  out[1] = uint8_t(value);
}

inline void ULong2Bytes(uint8_t* out, uint32_t value) {
  out[0] = uint8_t(value >> 24);
  out[1] = uint8_t(value >> 16);
  out[2] = uint8_t(value >> 8);
  out[3] = uint8_t(value);
}

// The low 24 bits in 3 bytes; the top byte of the value is dropped.
inline void ULong2Bytes3Only(uint8_t* out, uint32_t value) {
  out[0] = uint8_t(value >> 16);
  out[1] = uint8_t(value >> 8);
  out[2] = uint8_t(value);
}

inline void Bytes2Short(int16_t* result, const uint8_t* in) {
  *result = int16_t(uint16_t((unsigned(in[0]) << 8) | in[1]));
}

inline void Bytes2ULong(uint32_t* result, const uint8_t* in) {
  *result = (uint32_t(in[0]) << 24) | (uint32_t(in[1]) << 16) | (uint32_t(in[2]) << 8) | in[3];
}

inline void Bytes2Long(int32_t* result, const uint8_t* in) {
  uint32_t u;
  Bytes2ULong(&u, in);
  *result = int32_t(u);
}

// Three bytes, no sign extension: FF FF FF is 16777215.
inline void Bytes2Long3Only(int32_t* result, const uint8_t* in) {
  *result = int32_t((uint32_t(in[0]) << 16) | (uint32_t(in[1]) << 8) | in[2]);
}

}  // namespace ZuzuvovOvav
