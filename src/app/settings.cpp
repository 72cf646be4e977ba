#include "app/settings.h"

#include <INIReader.h>

#include <cstdlib>
#include <sstream>
#include <vector>

#include "util/log.h"

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

bool LoadSettings(const std::string& path, TSettings& s, std::string* error) {
  std::string text, why;
  switch (ReadIniFile(path, text, why)) {
    case TIniRead::Missing:  // an empty file: every key takes its default
      s = TSettings{};
      return false;
    case TIniRead::Unreadable:
      s.MinimizeOnRun = false;
      s.ForwardAntiPass = false;
      if (error) *error = why;
      else log::error("{}", why);
      return false;
    case TIniRead::Read:
      break;
  }
  INIReader ini(text.data(), text.size());
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
  // Out of range or not a number: the line's own value.
  const long statusQuery = ini.GetInteger("LINE", "StatusQueryMs", 0);
  s.StatusQueryMs = statusQuery >= kMinStatusQueryMs && statusQuery <= kMaxStatusQueryMs ? static_cast<uint32_t>(statusQuery) : 0;
  // A value that is not a plain number of seconds keeps the default.
  double seconds = 0;
  s.IdleExitGraceSeconds = ParseSeconds(ini.Get("Service", "IdleExitGrace", ""), seconds) ? seconds : 30;
  s.StopGraceSeconds = ParseSeconds(ini.Get("Service", "StopGrace", ""), seconds) ? seconds : 5;
  // Out of range: the default (each kept event costs a few hundred bytes).
  const long keep = ini.GetInteger("Events", "Keep", 10000);
  s.EventsKeep = keep >= 0 && keep <= 1000000 ? static_cast<size_t>(keep) : 10000;
  const long queue = ini.GetInteger("Events", "SubscriberQueue", 10000);
  s.EventsSubscriberQueue = queue >= 1 && queue <= 1000000 ? static_cast<size_t>(queue) : 10000;
  const long hours = ini.GetInteger("Console", "SessionHours", 12);
  s.ConsoleSessionHours = hours >= 1 && hours <= 8760 ? static_cast<int>(hours) : 12;
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

bool WriteIniKeys(const std::string& path, const std::string& section, const TIniKeys& keys) {
  std::string text, error;
  // A file that cannot be read is never replaced by what little is known.
  if (ReadIniFile(path, text, error) == TIniRead::Unreadable) {
    log::error("{}; the {} keys are not saved", error, section);
    return false;
  }
  if (!ReplaceIniFile(path, SetIniKeys(text, section, keys), error)) {
    log::error("saving the {} keys: {}", section, error);
    return false;
  }
  return true;
}

bool SaveSettings(const std::string& path, const TSettings& s) {
  return WriteIniKeys(path, "SETTINS",
                      {{"MinimizeOnRun", s.MinimizeOnRun ? "1" : "0"}, {"ForwardAntiPass", s.ForwardAntiPass ? "1" : "0"}});
}

}  // namespace vexon
