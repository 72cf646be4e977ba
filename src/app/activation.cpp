#include "app/activation.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cstdlib>

#include "util/log.h"

namespace vexon {

std::vector<TPassedSocket> ClassifyPassed(const std::vector<TPassedFacts>& facts, int httpPort,
                                          std::vector<std::string>& unused) {
  std::vector<TPassedSocket> out;
  auto taken = [&](const std::string& kind) {
    for (const auto& s : out)
      if (s.Kind == kind) return true;
    return false;
  };
  auto lower = [](std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  // Named descriptors first, so that an unnamed one cannot take their place.
  std::vector<const TPassedFacts*> unnamed;
  for (const auto& f : facts) {
    const std::string name = lower(f.Name);
    if (name != "tcp" && name != "http" && name != "unix") {
      unnamed.push_back(&f);
      continue;
    }
    const bool fits = name == "unix" ? f.IsUnix : f.IsInet;
    if (!fits) {
      unused.push_back("descriptor " + std::to_string(f.Fd) + " named '" + f.Name + "' is not a listening " +
                       (name == "unix" ? "Unix" : "TCP") + " stream socket");
    } else if (taken(name)) {
      unused.push_back("descriptor " + std::to_string(f.Fd) + ": a second '" + name + "' socket");
    } else {
      out.push_back({f.Fd, name});
    }
  }
  // By kind: a Unix socket; an inet socket on the HTTP port; the others in order.
  for (const auto* f : unnamed) {
    std::string kind;
    if (f->IsUnix) kind = "unix";
    else if (f->IsInet && httpPort > 0 && f->Port == httpPort) kind = "http";
    else if (f->IsInet) kind = taken("tcp") ? "http" : "tcp";
    if (kind.empty()) {
      unused.push_back("descriptor " + std::to_string(f->Fd) + " is not a listening stream socket");
    } else if (taken(kind)) {
      unused.push_back("descriptor " + std::to_string(f->Fd) + ": a second '" + kind + "' socket");
    } else {
      out.push_back({f->Fd, kind});
    }
  }
  return out;
}

std::vector<TPassedSocket> TakePassedSockets(const std::string& httpEndpoint) {
  char** names = nullptr;
  const int n = sd_listen_fds_with_names(1, &names);
  if (n < 0) log::warn("socket activation: {}", std::strerror(-n));
  std::vector<TPassedFacts> facts;
  for (int i = 0; i < std::max(n, 0); ++i) {
    TPassedFacts f;
    f.Fd = SD_LISTEN_FDS_START + i;
    f.Name = names && names[i] ? names[i] : "";
    f.IsUnix = sd_is_socket_unix(f.Fd, SOCK_STREAM, 1, nullptr, 0) > 0;
    f.IsInet = sd_is_socket_inet(f.Fd, 0, SOCK_STREAM, 1, 0) > 0;
    if (f.IsInet) {
      sockaddr_storage a{};
      socklen_t len = sizeof a;
      if (::getsockname(f.Fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        f.Port = ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    }
    facts.push_back(f);
  }
  if (names) {
    for (int i = 0; i < n; ++i) std::free(names[i]);
    std::free(names);
  }
  int httpPort = 0;
  if (const auto colon = httpEndpoint.rfind(':'); colon != std::string::npos)
    httpPort = std::atoi(httpEndpoint.c_str() + colon + 1);
  std::vector<std::string> unused;
  auto out = ClassifyPassed(facts, httpPort, unused);
  for (const auto& why : unused) log::warn("socket activation: ignoring {}", why);
  for (const auto& f : facts) {
    bool used = false;
    for (const auto& s : out) used = used || s.Fd == f.Fd;
    if (!used) ::close(f.Fd);
  }
  return out;
}

}  // namespace vexon
