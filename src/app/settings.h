// The settings file "srvvexon.ini": section "SETTINS" (MinimizeOnRun,
// ForwardAntiPass; booleans as "1"/"0", any non-zero integer reads true),
// section "Ports" (COMn=device path) and section "Automation" (Tcp, Unix,
// Http endpoints).
#pragma once

#include <map>
#include <string>

namespace vexon {

struct TSettings {
  bool MinimizeOnRun = true;
  bool ForwardAntiPass = false;
  std::map<int, std::string> Ports;
  std::string Tcp, Unix, Http;  // empty: not set in the file
};

// $XDG_CONFIG_HOME/srvvexon.ini, else ~/.config/srvvexon.ini.
std::string DefaultSettingsPath();
// A missing file gives the defaults; a file that exists but cannot be read
// gives both booleans false; otherwise missing keys take their defaults.
// Returns whether the file was read.
bool LoadSettings(const std::string& path, TSettings& s);
// Writes both keys of "SETTINS", keeping every other line of the file.
bool SaveSettings(const std::string& path, const TSettings& s);

}  // namespace vexon
