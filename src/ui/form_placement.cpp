#include "ui/form_placement.h"

#include <INIReader.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <sstream>
#include <vector>

#include "model/record_file.h"

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
  std::vector<std::string> lines;
  {
    std::ifstream in(path);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
  }
  const std::string keys[2] = {"Left=" + std::to_string(pos.x()), "Top=" + std::to_string(pos.y())};
  const std::string header = std::string("[") + kSection + "]";
  std::vector<std::string> out;
  bool inSection = false, written = false;
  auto flush = [&] {
    if (inSection && !written) {
      out.push_back(keys[0]);
      out.push_back(keys[1]);
      written = true;
    }
  };
  for (const auto& l : lines) {
    if (!l.empty() && l[0] == '[') {
      flush();
      inSection = l.rfind(header, 0) == 0;
      out.push_back(l);
      continue;
    }
    if (inSection && (l.rfind("Left=", 0) == 0 || l.rfind("Top=", 0) == 0)) continue;
    out.push_back(l);
  }
  flush();
  if (!written) {
    out.push_back(header);
    out.push_back(keys[0]);
    out.push_back(keys[1]);
  }
  std::ostringstream text;
  for (const auto& l : out) text << l << "\n";
  const std::string t = text.str();
  return AtomicWriteFile(path, std::vector<uint8_t>(t.begin(), t.end()));
}

}  // namespace vexon
