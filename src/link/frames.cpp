#include "link/frames.h"

#include <cstring>
#include <stdexcept>

namespace vexon {

using namespace proto;

uint8_t RouteOf(uint8_t command) {
  switch (command) {
    case cmdMonitorPage:
    case cmdMonitorPageClear:
    case cmdStatus:
    case cmdPrimary81:
    case cmdCardZoneQuery:
      return 0;
    default:
      return 1;
  }
}

uint8_t FrameChecksum(const uint8_t* frame, size_t length) {
  uint8_t x = 0;
  for (size_t i = 0; i + 1 < length; ++i) x ^= frame[i];
  return x;
}

bool IsWholeAnswerFrame(const uint8_t* bytes, size_t count) {
  return count >= kMinAnswerFrame && static_cast<size_t>(bytes[1]) + kLengthOverhead == count &&
         FrameChecksum(bytes, count) == bytes[count - 1];
}

size_t BuildFrame(uint8_t route, uint8_t address1, uint8_t address2, uint8_t command, const uint8_t* data, size_t n,
                  uint8_t* out) {
  if (n > kMaxRequestData) throw std::out_of_range("frame data longer than 252 bytes");
  out[0] = route;
  out[1] = static_cast<uint8_t>(n + 3);
  out[2] = address1;
  out[3] = address2;
  out[4] = command;
  if (n) std::memcpy(out + kRequestHeader, data, n);
  const size_t len = n + 6;
  out[len - 1] = FrameChecksum(out, len);
  return len;
}

size_t BuildEmptyFrame(uint8_t route, uint8_t address1, uint8_t address2, uint8_t command, uint8_t* out) {
  return BuildFrame(route, address1, address2, command, nullptr, 0, out);
}

size_t BuildAnswerFrame(uint8_t code, const uint8_t* data, size_t m, uint8_t* out) {
  out[0] = 0;
  out[1] = static_cast<uint8_t>(m + 1);
  out[2] = code;
  if (m) std::memcpy(out + 3, data, m);
  const size_t len = m + 4;
  out[len - 1] = FrameChecksum(out, len);
  return len;
}

uint8_t ToBcd(int value) {
  if (value < 0 || value > 159) throw std::out_of_range("BCD value out of range: " + std::to_string(value));
  return static_cast<uint8_t>((value / 10) * 16 + value % 10);
}

}  // namespace vexon
