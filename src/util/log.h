// The operational log on stderr (spdlog).
#pragma once

#include <spdlog/spdlog.h>

namespace vexon::log {
using spdlog::debug;
using spdlog::error;
using spdlog::info;
using spdlog::warn;
}  // namespace vexon::log
