// Small pieces shared by the benchmarks that talk to the server over
// loopback sockets: a monotonic clock in nanoseconds, a TCP connection, a
// whole write, and percentiles of a sample.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace vexon::bench {

inline int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A TCP connection to 127.0.0.1:port; exits the benchmark on failure.
inline int ConnectLoopback(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  return fd;
}

// Writes all of s; exits the benchmark on failure.
inline void SendAll(int fd, const std::string& s) {
  for (size_t done = 0; done < s.size();) {
    const ssize_t w = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
    if (w <= 0) {
      std::perror("send");
      std::exit(1);
    }
    done += static_cast<size_t>(w);
  }
}

// The q-quantile (0..1) of v, which it reorders; 0 for an empty sample.
inline double Percentile(std::vector<double>& v, double q) {
  if (v.empty()) return 0;
  const size_t k = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

}  // namespace vexon::bench
