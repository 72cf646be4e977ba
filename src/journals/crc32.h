// CRC-32 (IEEE 802.3, reflected polynomial 0xEDB88320), the checksum of the
// registration journal's log entries. Same values as zlib's crc32():
// Crc32(0, "123456789", 9) == 0xCBF43926. Written here rather than taken
// from zlib so that the journals library needs no new link dependency.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexon {

// Continues `crc` (0 to start) over `n` bytes; chunks may be fed in turn.
uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t n);

}  // namespace vexon
