// The small rules the RPC transports apply to what a client sends before
// any call is read: which HTTP target is the event stream, whether a line
// is an HTTP request line, the host part of a Host value, the token checks
// and the TCP keep-alive of a connection.
#pragma once

#include <string>
#include <string_view>

namespace vexon {

// "/events" or "/events?...".
bool EventsTarget(std::string_view target);
// "POST /rpc HTTP/1.1": what a browser sends first, never a JSON text.
bool IsHttpRequestLine(const std::string& line);
std::string Lower(std::string_view s);
// The host part of a `Host` value: "[::1]:80" -> "::1", "a.b:80" -> "a.b".
std::string HostName(std::string_view host);
// Compares in a time that depends only on the expected token's length, so
// the answer time tells nothing about how much of a guess was right.
bool SameToken(std::string_view given, std::string_view expected);
// The line transports' first line: {"auth":"<token>"}.
bool AuthLineMatches(const std::string& line, const std::string& token);
// Dead peers (a machine switched off, a cable pulled) are found in about
// two minutes instead of the system's two hours.
void SetKeepAlive(int fd);

}  // namespace vexon
