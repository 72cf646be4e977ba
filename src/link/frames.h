// Request and answer frames.
//
// Request: Route, Length (= data + 3), Address1, Address2, Command, data,
// Check (XOR of every byte before it). Answer: one unexamined byte, Length
// (= frame length - 3), AnswerCode, data, Check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <array>

#include "link/protocol.h"

namespace vexon {

// Route 0 for the commands the primary controller carries out itself
// (0x70, 0x71, 0x72, 0x81, 0x90), 1 for every other.
uint8_t RouteOf(uint8_t command);

// Fills `out` (at least n + 6 bytes) and returns the frame length.
// n above 252 is a programming error (std::out_of_range).
size_t BuildFrame(uint8_t route, uint8_t address1, uint8_t address2, uint8_t command, const uint8_t* data, size_t n,
                  uint8_t* out);
size_t BuildEmptyFrame(uint8_t route, uint8_t address1, uint8_t address2, uint8_t command, uint8_t* out);

// XOR of bytes 0 .. length-2.
uint8_t FrameChecksum(const uint8_t* frame, size_t length);

// Whether `count` received bytes are exactly one whole answer frame: at least
// the shortest frame, the length byte equal to count - 3 and the checksum
// right. Bytes beyond one frame, or a frame still arriving, are not.
bool IsWholeAnswerFrame(const uint8_t* bytes, size_t count);

// A parsed answer frame.
struct TAskItem {
  uint8_t Code = 0;
  int32_t Len = 0;
  std::array<uint8_t, proto::kIoBuffer> Data{};
};

// Builds an answer frame (used by the simulator and tests); returns length.
size_t BuildAnswerFrame(uint8_t code, const uint8_t* data, size_t m, uint8_t* out);

// BCD byte: tens in the high nibble. Values above 159 are a programming
// error (std::out_of_range).
uint8_t ToBcd(int value);
inline uint8_t SetBits(uint8_t b, uint8_t mask) { return static_cast<uint8_t>(b | mask); }
inline uint8_t ClearBits(uint8_t b, uint8_t mask) { return static_cast<uint8_t>(b & ~mask); }

}  // namespace vexon
