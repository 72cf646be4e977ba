// Registration of the server with the user's service manager: systemd user
// units that listen on the RPC endpoints and start the server for the first
// client ("srvvexon.socket", "srvvexon.service" in
// $XDG_CONFIG_HOME/systemd/user), and a registration record
// ($XDG_CONFIG_HOME/srvvexon/registration.ini) with the identities of the
// automation interface, the program path and the values "Sockets" and "Web"
// under the class's key. Unregistering removes the two values first, then
// everything the registration wrote, including the folders it created.
#pragma once

#include <string>
#include <vector>

namespace vexon {

struct TRegistration {
  std::string ConfigHome;               // $XDG_CONFIG_HOME, else ~/.config
  std::string ProgramPath;              // absolute
  std::vector<std::string> ServiceArgs; // options after "-Embedding" on ExecStart=
  // Endpoints the socket unit listens on; empty: none. Addresses must be
  // numeric (systemd does not resolve names).
  std::string Tcp, Http, Unix;
  unsigned UnixSocketMode = 0600;
  // The service's data folder (absolute; it is on ExecStart= through
  // ServiceArgs): created with its missing parents when it does not exist,
  // and the folders created are removed at unregistration while empty.
  // Empty: nothing to create.
  std::string DataDir;
};

// Whether a service of this user can keep its data in `dir`: a directory
// it may write, on a file system mounted read-write. Root passes every
// permission check, so for root the folder's mode must grant writing to
// someone: a folder nobody may write is not meant for data.
bool WritableFolder(const std::string& dir);
// $XDG_STATE_HOME/srvvexon (when absolute), else $HOME/.local/state/srvvexon;
// empty when neither is set.
std::string StateDataDir();

// $XDG_CONFIG_HOME, else $HOME/.config; empty when neither is set.
std::string ConfigHome();

std::string SocketUnitText(const TRegistration& r);
std::string ServiceUnitText(const TRegistration& r);
std::string RecordText(const TRegistration& r, const std::vector<std::string>& createdDirs);
// One ExecStart= word, quoted the way systemd reads it.
std::string QuoteUnitWord(const std::string& word);

// Writes the units and the record. False with `error` (nothing is left half
// written that unregistering would not remove).
bool Register(const TRegistration& r, std::string& error);
// Removes what Register wrote; nothing registered is not an error.
bool Unregister(const std::string& configHome, std::string& error);
// Rewrites the record with this program's path, only when a record exists.
bool RefreshRecord(const std::string& configHome, const std::string& programPath, std::string& error);

std::string RecordPath(const std::string& configHome);
std::string UnitDir(const std::string& configHome);

}  // namespace vexon
