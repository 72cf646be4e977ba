// The settings file "srvvexon.ini": section "SETTINS" (MinimizeOnRun,
// ForwardAntiPass; booleans as "1"/"0", any non-zero integer reads true),
// section "Ports" (COMn=device path), section "Automation" (Tcp, Unix,
// Http endpoints) and section "Rpc" (the same endpoints, which win over
// "Automation", and the limits and allow-lists of the RPC transports) and
// section "LINE" (EarlyFrameEnd: 1/true/yes/on turns it on) and section
// "Service" (IdleExitGrace, StopGrace: seconds, fractions allowed).
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vexon {

struct TSettings {
  bool MinimizeOnRun = true;
  bool ForwardAntiPass = false;
  std::map<int, std::string> Ports;
  std::string Tcp, Unix, Http;  // empty: not set in the file
  // Section "Rpc".
  int RpcMaxConnections = 256;
  std::vector<std::string> RpcAllowedOrigins;  // comma-separated in the file
  std::vector<std::string> RpcAllowedHosts;
  unsigned RpcUnixSocketMode = 0600;  // octal in the file, e.g. 0660
  std::string RpcUnixSocketGroup;
  std::string RpcToken;  // empty: no token required
  // Section "LINE": a read that expects one answer frame ends as soon as the
  // frame is whole instead of after 30 ms of silence (off unless set).
  bool EarlyFrameEnd = false;
  // Section "Service": how long a server started for a client stays after
  // its last client, and how long calls in progress may take at shut-down.
  double IdleExitGraceSeconds = 30;
  double StopGraceSeconds = 5;
};

// "2.5" -> 2.5; false for anything but a plain number in 0..86400.
bool ParseSeconds(const std::string& text, double& seconds);

// "a, b,,c" -> {"a","b","c"}.
std::vector<std::string> SplitList(const std::string& text);

// $XDG_CONFIG_HOME/srvvexon.ini, else ~/.config/srvvexon.ini.
std::string DefaultSettingsPath();
// A missing file gives the defaults; a file that exists but cannot be read
// gives both booleans false; otherwise missing keys take their defaults.
// Returns whether the file was read.
bool LoadSettings(const std::string& path, TSettings& s);
// Writes both keys of "SETTINS", keeping every other line of the file.
bool SaveSettings(const std::string& path, const TSettings& s);
// Sets `keys` in `section` of the ini file, keeping every other line (a
// missing file or section is created); written atomically.
bool WriteIniKeys(const std::string& path, const std::string& section,
                  const std::vector<std::pair<std::string, std::string>>& keys);

}  // namespace vexon
