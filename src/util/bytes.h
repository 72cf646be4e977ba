// Little-endian field helpers for the packed records that cross the serial
// line and the files. Every multi-byte field is written and read byte by byte.
#pragma once

#include <cstdint>
#include <cstring>

namespace vexon {

inline void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t GetU32(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
inline void PutI32(uint8_t* p, int32_t v) { PutU32(p, static_cast<uint32_t>(v)); }
inline int32_t GetI32(const uint8_t* p) { return static_cast<int32_t>(GetU32(p)); }

inline void PutU64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint64_t GetU64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
// IEEE-754 double, little-endian.
inline void PutF64(uint8_t* p, double d) {
  uint64_t v;
  std::memcpy(&v, &d, sizeof v);
  PutU64(p, v);
}
inline double GetF64(const uint8_t* p) {
  const uint64_t v = GetU64(p);
  double d;
  std::memcpy(&d, &v, sizeof d);
  return d;
}

inline uint8_t LowByte(uint32_t v) { return static_cast<uint8_t>(v & 0xFF); }
inline uint8_t HighByte(uint32_t v) { return static_cast<uint8_t>((v >> 8) & 0xFF); }

}  // namespace vexon
