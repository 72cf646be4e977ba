#include "rpc/http_rules.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cctype>
#include <nlohmann/json.hpp>

#include "rpc/dispatcher.h"

namespace vexon {

// "/events" or "/events?...".
bool EventsTarget(std::string_view target) {
  return target.substr(0, target.find('?')) == "/events";
}

// "POST /rpc HTTP/1.1": what a browser sends first, never a JSON text.
bool IsHttpRequestLine(const std::string& line) {
  const auto sp1 = line.find(' ');
  if (sp1 == std::string::npos || sp1 == 0) return false;
  for (size_t i = 0; i < sp1; ++i)
    if (line[i] < 'A' || line[i] > 'Z') return false;
  const auto sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string::npos) return false;
  return line.compare(sp2 + 1, 5, "HTTP/") == 0;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The host part of a `Host` value: "[::1]:80" -> "::1", "a.b:80" -> "a.b".
std::string HostName(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    const auto close = host.find(']');
    return Lower(host.substr(1, close == std::string_view::npos ? host.size() - 1 : close - 1));
  }
  const auto colon = host.find(':');
  if (colon != std::string_view::npos && host.find(':', colon + 1) == std::string_view::npos)
    host = host.substr(0, colon);
  return Lower(host);
}

// Compares in a time that depends only on the expected token's length, so
// the answer time tells nothing about how much of a guess was right.
bool SameToken(std::string_view given, std::string_view expected) {
  unsigned diff = given.size() != expected.size();
  for (size_t i = 0; i < expected.size(); ++i)
    diff |= static_cast<unsigned char>(expected[i]) ^ static_cast<unsigned char>(i < given.size() ? given[i] : 0);
  return diff == 0;
}

// The line transports' first line: {"auth":"<token>"}.
bool AuthLineMatches(const std::string& line, const std::string& token) {
  if (line.size() > 4096 || ScanJson(line).Depth > 1) return false;
  const auto j = nlohmann::json::parse(line, nullptr, false);
  if (!j.is_object() || j.size() != 1 || !j.contains("auth") || !j["auth"].is_string()) return false;
  return SameToken(j["auth"].get<std::string>(), token);
}

void SetKeepAlive(int fd) {
  const int on = 1, idle = 60, interval = 10, count = 6;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

}  // namespace vexon
