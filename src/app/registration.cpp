#include "app/registration.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "automation/operation_table.h"
#include "model/record_file.h"

namespace vexon {

namespace fs = std::filesystem;
using I = TInterfaceIdentity;

namespace {

const char* kSocketUnit = "srvvexon.socket";
const char* kServiceUnit = "srvvexon.service";

std::string ClassKey() { return std::string("CLSID\\") + I::ClassGuid; }

bool WriteText(const std::string& path, const std::string& text) {
  return AtomicWriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

// "127.0.0.1:47301" and "[::1]:47301" as systemd reads them; names are
// not resolved by systemd, so only numeric addresses are accepted.
bool UnitAddress(const std::string& hostPort, std::string& out, std::string& error) {
  const auto colon = hostPort.rfind(':');
  std::string host = colon == std::string::npos ? "" : hostPort.substr(0, colon);
  const std::string port = colon == std::string::npos ? "" : hostPort.substr(colon + 1);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  unsigned char buf[16];
  const bool v4 = inet_pton(AF_INET, host.c_str(), buf) == 1, v6 = inet_pton(AF_INET6, host.c_str(), buf) == 1;
  char* end = nullptr;
  const long p = std::strtol(port.c_str(), &end, 10);
  if ((!v4 && !v6) || port.empty() || *end != '\0' || p < 1 || p > 65535) {
    error = "the service needs a numeric address and a fixed port, got '" + hostPort + "'";
    return false;
  }
  out = v6 ? "[" + host + "]:" + port : host + ":" + port;
  return true;
}

// Read line by line, not with the ini reader: the list easily outgrows the
// reader's 200-byte lines, and a list cut short would leave folders behind.
std::vector<std::string> ReadCreatedDirs(const std::string& record) {
  std::ifstream in(record);
  std::string section, list;
  for (std::string l; std::getline(in, l);) {
    if (!l.empty() && l[0] == '[') section = l;
    else if (section == "[Registration]" && l.rfind("CreatedDirs=", 0) == 0) list = l.substr(12);
  }
  std::vector<std::string> dirs;
  std::stringstream items(list);
  for (std::string d; std::getline(items, d, ':');)
    if (!d.empty()) dirs.push_back(d);
  return dirs;
}

// Creates `dir` and its missing parents, adding each one it created to
// `created` (outermost first).
bool MakeDirs(const fs::path& dir, std::vector<std::string>& created, std::string& error) {
  std::vector<fs::path> missing;
  std::error_code ec;
  for (fs::path p = dir; !p.empty() && !fs::exists(p, ec); p = p.parent_path()) {
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (!fs::create_directory(*it, ec) && ec) {
      error = "cannot create " + it->string() + ": " + ec.message();
      return false;
    }
    created.push_back(it->string());
  }
  return true;
}

}  // namespace

std::string ConfigHome() {
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) return x;
  if (const char* h = std::getenv("HOME"); h && *h) return std::string(h) + "/.config";
  return "";
}

bool WritableFolder(const std::string& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  // A read-only mount fails here with EROFS, for root too.
  if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return false;
  struct statvfs fsInfo {};
  if (::statvfs(dir.c_str(), &fsInfo) == 0 && (fsInfo.f_flag & ST_RDONLY) != 0) return false;
  return ::geteuid() != 0 || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

std::string StateDataDir() {
  if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x == '/') return std::string(x) + "/srvvexon";
  if (const char* h = std::getenv("HOME"); h && *h) return std::string(h) + "/.local/state/srvvexon";
  return "";
}

std::string RecordPath(const std::string& configHome) { return configHome + "/srvvexon/registration.ini"; }
std::string UnitDir(const std::string& configHome) { return configHome + "/systemd/user"; }

std::string QuoteUnitWord(const std::string& word) {
  std::string out;
  bool plain = !word.empty();
  for (const char c : word) {
    if (c == '%') out += "%%";
    else if (c == '$') out += "$$";
    else if (c == '\\' || c == '"') out += std::string("\\") + c;
    else out += c;
    if (c == ' ' || c == '\t' || c == '"' || c == '\'' || c == '\\' || c == ';') plain = false;
  }
  return plain ? out : "\"" + out + "\"";
}

std::string SocketUnitText(const TRegistration& r) {
  std::ostringstream t;
  t << "# Written by srvvexon /regserver; removed by srvvexon /unregserver.\n"
       "# The server tells the sockets apart by kind and address: a Unix socket is\n"
       "# the line transport on a socket file, of the two TCP sockets the one on\n"
       "# the HTTP port serves HTTP (POST /rpc), the other one JSON text per line.\n"
       "[Unit]\n"
       "Description=srvvexon access-control server: RPC sockets\n\n"
       "[Socket]\n";
  if (!r.Tcp.empty()) t << "ListenStream=" << r.Tcp << "\n";
  if (!r.Http.empty()) t << "ListenStream=" << r.Http << "\n";
  if (!r.Unix.empty()) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", r.UnixSocketMode);
    t << "ListenStream=" << r.Unix << "\nSocketMode=" << mode << "\n";
  }
  t << "Service=" << kServiceUnit << "\n\n[Install]\nWantedBy=sockets.target\n";
  return t.str();
}

std::string ServiceUnitText(const TRegistration& r) {
  std::ostringstream t;
  t << "# Written by srvvexon /regserver; removed by srvvexon /unregserver.\n"
       "# Started by the first client on srvvexon.socket; ends by itself once the\n"
       "# last client has gone (IdleExitGrace in section Service of the settings).\n"
       "[Unit]\n"
       "Description=srvvexon access-control server\n"
       "Requires="
    << kSocketUnit << "\nAfter=" << kSocketUnit << "\n\n[Service]\nType=simple\nExecStart=" << QuoteUnitWord(r.ProgramPath)
    << " -Embedding";
  for (const auto& a : r.ServiceArgs) t << " " << QuoteUnitWord(a);
  t << "\n\n[Install]\nAlso=" << kSocketUnit << "\n";
  return t.str();
}

std::string RecordText(const TRegistration& r, const std::vector<std::string>& createdDirs) {
  std::ostringstream t;
  std::string dirs;
  for (const auto& d : createdDirs) dirs += (dirs.empty() ? "" : ":") + d;
  t << "; Written by srvvexon /regserver; removed by srvvexon /unregserver.\n"
    << "[TypeLib\\" << I::LibraryGuid << "]\nName=" << I::Library << "\nHelpString=" << I::LibraryHelp
    << "\nVersion=" << I::Version << "\nLocale=0x409\n\n"
    << "[Interface\\" << I::InterfaceGuid << "]\nName=" << I::Interface << "\nDescription=" << I::InterfaceHelp
    << "\nTypeLib=" << I::LibraryGuid << "\n\n"
    << "[" << ClassKey() << "]\nName=" << I::Class << "\nDescription=" << I::ClassHelp << "\nProgID=" << I::ProgId
    << "\nTypeLib=" << I::LibraryGuid << "\nLocalServer=" << r.ProgramPath << "\nSockets=1\nWeb=1\n\n"
    << "[" << I::ProgId << "]\nCLSID=" << I::ClassGuid << "\n\n"
    << "[Registration]\nUnits=" << UnitDir(r.ConfigHome) << "/" << kSocketUnit << ":" << UnitDir(r.ConfigHome) << "/"
    << kServiceUnit << "\nCreatedDirs=" << dirs << "\n";
  return t.str();
}

bool Register(const TRegistration& given, std::string& error) {
  if (given.ConfigHome.empty()) {
    error = "neither XDG_CONFIG_HOME nor HOME is set: no place for the registration";
    return false;
  }
  TRegistration r = given;
  if (!r.Tcp.empty() && !UnitAddress(r.Tcp, r.Tcp, error)) return false;
  if (!r.Http.empty() && !UnitAddress(r.Http, r.Http, error)) return false;
  if (r.Tcp.empty() && r.Http.empty() && r.Unix.empty()) {
    error = "no RPC endpoint to listen on: the service could never be started";
    return false;
  }
  if (!r.Unix.empty() && r.Unix.front() != '/') {
    error = "the service needs an absolute path for the Unix socket, got '" + r.Unix + "'";
    return false;
  }
  // A registration over an earlier one keeps the earlier list of folders to
  // remove in the end.
  std::vector<std::string> created = ReadCreatedDirs(RecordPath(r.ConfigHome));
  if (!MakeDirs(UnitDir(r.ConfigHome), created, error) || !MakeDirs(r.ConfigHome + "/srvvexon", created, error) ||
      (!r.DataDir.empty() && !MakeDirs(r.DataDir, created, error)))
    return false;
  // The record goes first: should a unit fail, unregistering finds it and
  // removes everything.
  const std::string record = RecordPath(r.ConfigHome);
  if (!WriteText(record, RecordText(r, created))) {
    error = "cannot write " + record;
    return false;
  }
  for (const auto& [name, text] : {std::pair{kSocketUnit, SocketUnitText(r)}, std::pair{kServiceUnit, ServiceUnitText(r)}}) {
    const std::string path = UnitDir(r.ConfigHome) + "/" + name;
    if (!WriteText(path, text)) {
      error = "cannot write " + path;
      return false;
    }
  }
  return true;
}

bool Unregister(const std::string& configHome, std::string& error) {
  if (configHome.empty()) {
    error = "neither XDG_CONFIG_HOME nor HOME is set: no registration to remove";
    return false;
  }
  std::error_code ec;
  const std::string record = RecordPath(configHome);
  std::vector<std::string> created;
  if (fs::exists(record, ec)) {
    created = ReadCreatedDirs(record);
    // The two values first, as a registry key would lose them.
    std::ifstream in(record);
    std::string text, section;
    const std::string classSection = std::string("[").append(ClassKey()).append("]");
    for (std::string l; std::getline(in, l);) {
      if (!l.empty() && l[0] == '[') section = l;
      if (section == classSection && (l.rfind("Sockets=", 0) == 0 || l.rfind("Web=", 0) == 0)) continue;
      text += l + "\n";
    }
    in.close();
    if (!WriteText(record, text)) {
      error = "cannot rewrite " + record;
      return false;
    }
  }
  const fs::path unitDir = UnitDir(configHome);
  std::vector<fs::path> remove = {unitDir / kSocketUnit, unitDir / kServiceUnit}, wants;
  // Links left by "systemctl --user enable" would point at nothing.
  if (fs::is_directory(unitDir, ec))
    for (const auto& e : fs::directory_iterator(unitDir, ec))
      if (e.is_directory() && e.path().extension() == ".wants")
        for (const char* unit : {kSocketUnit, kServiceUnit})
          if (fs::is_symlink(e.path() / unit, ec)) {
            remove.push_back(e.path() / unit);
            wants.push_back(e.path());
          }
  remove.push_back(record);
  for (const auto& p : remove) {
    if (!fs::remove(p, ec) && ec) {
      error = "cannot remove " + p.string() + ": " + ec.message();
      return false;
    }
  }
  // A ".wants" folder that held only our links, then the folders the
  // registration created, innermost first; each only when empty.
  for (const auto& w : wants)
    if (fs::is_empty(w, ec)) fs::remove(w, ec);
  for (auto it = created.rbegin(); it != created.rend(); ++it)
    if (fs::is_directory(*it, ec) && fs::is_empty(*it, ec)) fs::remove(*it, ec);
  return true;
}

bool RefreshRecord(const std::string& configHome, const std::string& programPath, std::string& error) {
  const std::string record = RecordPath(configHome);
  std::error_code ec;
  if (configHome.empty() || !fs::exists(record, ec)) return true;
  TRegistration r;
  r.ConfigHome = configHome;
  r.ProgramPath = programPath;
  if (!WriteText(record, RecordText(r, ReadCreatedDirs(record)))) {
    error = "cannot rewrite " + record;
    return false;
  }
  return true;
}

}  // namespace vexon
