// The settings file "srvvexon.ini": section "SETTINS" (MinimizeOnRun,
// ForwardAntiPass; booleans as "1"/"0", any non-zero integer reads true),
// section "Ports" (COMn=device path), section "Automation" (Tcp, Unix,
// Http endpoints) and section "Rpc" (the same endpoints, which win over
// "Automation", and the limits and allow-lists of the RPC transports) and
// section "LINE" (EarlyFrameEnd: 1/true/yes/on turns it on; StatusQueryMs:
// the time a controller has to answer a status query) and section
// "Service" (IdleExitGrace, StopGrace: seconds, fractions allowed) and
// section "Console" (SessionHours: 1..8760, default 12).
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/ini_file.h"

namespace vexon {

// The range of StatusQueryMs in section "LINE" and of --status-query-ms.
constexpr long kMinStatusQueryMs = 10;
constexpr long kMaxStatusQueryMs = 10000;

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
  // The time a controller has to answer the status queries of the
  // monitoring poll and of commands 0x48/0x49, in milliseconds (10 to
  // 10000); 0: not set, the line's own 70 ms. A USB adapter that holds bytes
  // back, or a machine too busy to hand them over in time, needs more: a
  // status answer that misses it counts as a lost link.
  uint32_t StatusQueryMs = 0;
  // Section "Service": how long a server started for a client stays after
  // its last client, and how long calls in progress may take at shut-down.
  double IdleExitGraceSeconds = 30;
  double StopGraceSeconds = 5;
  // Section "Events": events kept per stream for subscribers that resume,
  // and the queue of each subscription (a full one becomes a gap).
  size_t EventsKeep = 10000;
  size_t EventsSubscriberQueue = 10000;
  // Section "Console": how long a web console's session lasts (hours).
  int ConsoleSessionHours = 12;
};

// "2.5" -> 2.5; false for anything but a plain number in 0..86400.
bool ParseSeconds(const std::string& text, double& seconds);

// "a, b,,c" -> {"a","b","c"}.
std::vector<std::string> SplitList(const std::string& text);

// $XDG_CONFIG_HOME/srvvexon.ini, else ~/.config/srvvexon.ini.
std::string DefaultSettingsPath();
// Returns whether the file was read; missing keys take their defaults.
// A missing file: false, every setting its default, `error` untouched.
// A file that exists but cannot be read (no permission, a directory in its
// place, a read error): false, both booleans false and the reason in
// `error` ("cannot read the settings file PATH: REASON"; logged when no
// `error` is given). A server must not start then: it would run without
// the token, ports and endpoints the file holds, so its caller stops the
// start with that message.
bool LoadSettings(const std::string& path, TSettings& s, std::string* error = nullptr);
// Writes both keys of "SETTINS" (see WriteIniKeys).
bool SaveSettings(const std::string& path, const TSettings& s);
// Sets `keys` in `section` of the file in place, keeping every other byte,
// and replaces it atomically with the mode and owner it had (ini_file.h; a
// missing file or section is created). False, with the file untouched,
// when it exists but cannot be read or cannot be replaced.
bool WriteIniKeys(const std::string& path, const std::string& section, const TIniKeys& keys);

}  // namespace vexon
