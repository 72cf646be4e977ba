// The Russian texts of registration and monitoring events.
#pragma once

#include <cstdint>
#include <string>

namespace vexon {

std::string GetRegEventDescription(uint8_t eventType, uint8_t event);
std::string GetMonEventDescription(uint8_t eventCode, uint8_t eventAdd);

}  // namespace vexon
