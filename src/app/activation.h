// Listening sockets handed over by the service manager (socket
// activation): which RPC transport each one serves.
#pragma once

#include <string>
#include <vector>

namespace vexon {

struct TPassedSocket {
  int Fd = -1;
  std::string Kind;  // "tcp" (JSON text per line), "http" or "unix"
};

// What is known of one passed descriptor.
struct TPassedFacts {
  int Fd = -1;
  std::string Name;  // FileDescriptorName=, or the unit's name
  bool IsUnix = false, IsInet = false;
  int Port = 0;      // bound port of an inet socket
};

// Names "tcp", "http" and "unix" (any case) decide. Otherwise a Unix
// socket is the Unix transport, and an inet socket on `httpPort` is HTTP;
// other inet sockets are, in order, the TCP line transport and then HTTP.
// A descriptor that fits nothing (not a listening stream socket, a second
// one of a kind already taken) goes to `unused` with the reason.
std::vector<TPassedSocket> ClassifyPassed(const std::vector<TPassedFacts>& facts, int httpPort,
                                          std::vector<std::string>& unused);

// The sockets passed to this process (none when it was not started by
// socket activation). Descriptors that fit nothing are closed and logged.
std::vector<TPassedSocket> TakePassedSockets(const std::string& httpEndpoint);

}  // namespace vexon
