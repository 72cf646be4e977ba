#include "app/settings.h"

#include <INIReader.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "model/record_file.h"

namespace vexon {

std::string DefaultSettingsPath() {
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) return std::string(x) + "/srvvexon.ini";
  if (const char* h = std::getenv("HOME"); h && *h) return std::string(h) + "/.config/srvvexon.ini";
  return "srvvexon.ini";
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    const auto b = item.find_first_not_of(" \t");
    if (b == std::string::npos) continue;
    out.push_back(item.substr(b, item.find_last_not_of(" \t") - b + 1));
  }
  return out;
}

bool LoadSettings(const std::string& path, TSettings& s) {
  // A missing file is an empty one: every key takes its default.
  if (::access(path.c_str(), F_OK) != 0) {
    s = TSettings{};
    return false;
  }
  INIReader ini(path);
  std::error_code ec;
  if (ini.ParseError() < 0 || !std::filesystem::is_regular_file(path, ec)) {  // exists but cannot be read
    s.MinimizeOnRun = false;
    s.ForwardAntiPass = false;
    return false;
  }
  s.MinimizeOnRun = ini.GetInteger("SETTINS", "MinimizeOnRun", 1) != 0;
  s.ForwardAntiPass = ini.GetInteger("SETTINS", "ForwardAntiPass", 0) != 0;
  for (int n = 1; n <= 256; ++n) {
    const std::string p = ini.Get("Ports", "COM" + std::to_string(n), "");
    if (!p.empty()) s.Ports[n] = p;
  }
  s.Tcp = ini.Get("Automation", "Tcp", "");
  s.Unix = ini.Get("Automation", "Unix", "");
  s.Http = ini.Get("Automation", "Http", "");
  s.Tcp = ini.Get("Rpc", "Tcp", s.Tcp);
  s.Unix = ini.Get("Rpc", "Unix", s.Unix);
  s.Http = ini.Get("Rpc", "Http", s.Http);
  const long maxConnections = ini.GetInteger("Rpc", "MaxConnections", 256);
  s.RpcMaxConnections = maxConnections >= 1 && maxConnections <= 65536 ? static_cast<int>(maxConnections) : 256;
  s.RpcAllowedOrigins = SplitList(ini.Get("Rpc", "AllowedOrigins", ""));
  s.RpcAllowedHosts = SplitList(ini.Get("Rpc", "AllowedHosts", ""));
  // Octal like chmod; a value that is not a plain mode keeps the safe one.
  const std::string mode = ini.Get("Rpc", "UnixSocketMode", "0600");
  char* end = nullptr;
  const unsigned long m = std::strtoul(mode.c_str(), &end, 8);
  s.RpcUnixSocketMode = !mode.empty() && *end == '\0' && m <= 0777 ? static_cast<unsigned>(m) : 0600;
  s.RpcUnixSocketGroup = ini.Get("Rpc", "UnixSocketGroup", "");
  s.RpcToken = ini.Get("Rpc", "Token", "");
  s.EarlyFrameEnd = ini.GetBoolean("LINE", "EarlyFrameEnd", false);
  // A value that is not a plain number of seconds keeps the default.
  double seconds = 0;
  s.IdleExitGraceSeconds = ParseSeconds(ini.Get("Service", "IdleExitGrace", ""), seconds) ? seconds : 30;
  s.StopGraceSeconds = ParseSeconds(ini.Get("Service", "StopGrace", ""), seconds) ? seconds : 5;
  return true;
}

bool ParseSeconds(const std::string& text, double& seconds) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) return false;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !(v >= 0 && v <= 86400)) return false;
  seconds = v;
  return true;
}

bool WriteIniKeys(const std::string& path, const std::string& section,
                  const std::vector<std::pair<std::string, std::string>>& keys) {
  std::vector<std::string> lines;
  {
    std::ifstream in(path);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
  }
  const std::string header = "[" + section + "]";
  const auto isKey = [&](const std::string& l) {
    for (const auto& [k, v] : keys)
      if (l.rfind(k + "=", 0) == 0) return true;
    return false;
  };
  std::vector<std::string> out;
  bool inSection = false, written = false;
  auto flush = [&] {
    if (inSection && !written) {
      for (const auto& [k, v] : keys) out.push_back(k + "=" + v);
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
    if (inSection && isKey(l)) continue;
    out.push_back(l);
  }
  flush();
  if (!written) {
    out.push_back(header);
    for (const auto& [k, v] : keys) out.push_back(k + "=" + v);
  }
  std::ostringstream text;
  for (const auto& l : out) text << l << "\n";
  const std::string t = text.str();
  return AtomicWriteFile(path, std::vector<uint8_t>(t.begin(), t.end()));
}

bool SaveSettings(const std::string& path, const TSettings& s) {
  return WriteIniKeys(path, "SETTINS",
                      {{"MinimizeOnRun", s.MinimizeOnRun ? "1" : "0"}, {"ForwardAntiPass", s.ForwardAntiPass ? "1" : "0"}});
}

}  // namespace vexon
