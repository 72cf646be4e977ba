#include "ui/form_placement.h"

#include <INIReader.h>
#include <unistd.h>

#include <climits>

#include "app/settings.h"

namespace vexon {

namespace {
const char* const kSection = "Main Form";
}

std::optional<QPoint> LoadFormPosition(const std::string& path) {
  if (::access(path.c_str(), R_OK) != 0) return std::nullopt;
  INIReader ini(path);
  if (ini.ParseError() < 0) return std::nullopt;
  const long left = ini.GetInteger(kSection, "Left", LONG_MIN);
  const long top = ini.GetInteger(kSection, "Top", LONG_MIN);
  // Positions far outside any desktop are taken as damage, not as a place.
  auto sane = [](long v) { return v > -100000 && v < 100000; };
  if (!sane(left) || !sane(top)) return std::nullopt;
  return QPoint(static_cast<int>(left), static_cast<int>(top));
}

bool SaveFormPosition(const std::string& path, QPoint pos) {
  return WriteIniKeys(path, kSection, {{"Left", std::to_string(pos.x())}, {"Top", std::to_string(pos.y())}});
}

}  // namespace vexon
