// A raw connection with deadlines on every wait, for end-to-end tests that
// speak bytes: peers that misbehave on purpose, HTTP written by hand.
#pragma once

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "test_support.h"

namespace vexon::testing {

// A raw connection with deadlines on every wait, for peers that misbehave
// on purpose (the line client of the fixture blocks for ever).
class TRaw {
  using Clock = std::chrono::steady_clock;

 public:
  TRaw() = default;
  TRaw(const TRaw&) = delete;
  ~TRaw() { Close(); }

  // "HOST:PORT" or a socket path.
  bool Connect(const std::string& where) {
    Close();
    if (where.find('/') != std::string::npos) {
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::strncpy(addr.sun_path, where.c_str(), sizeof addr.sun_path - 1);
      fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      return fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    const auto colon = where.rfind(':');
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(where.substr(0, colon).c_str(), where.substr(colon + 1).c_str(), &hints, &res) != 0) return false;
    fd_ = ::socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok = fd_ >= 0 && ::connect(fd_, res->ai_addr, res->ai_addrlen) == 0;
    freeaddrinfo(res);
    return ok;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    buf_.clear();
  }

  // Everything, or false when the peer closed or reset, or the deadline passed.
  bool SendAll(const std::string& bytes, int timeoutMs = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t w = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (w > 0) {
        done += static_cast<size_t>(w);
        continue;
      }
      if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
      if (!WaitFor(POLLOUT, deadline)) return false;
    }
    return true;
  }
  // As much as the kernel takes now, without waiting.
  size_t SendNow(const std::string& bytes) {
    const ssize_t w = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return w > 0 ? static_cast<size_t>(w) : 0;
  }

  // The next line, or "" when the deadline passed or the peer closed.
  std::string ReadLine(int timeoutMs = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (std::string l; vexon::testing::TakeLine(buf_, l)) return l;
      if (!Fill(deadline)) return "";
    }
  }
  // Reads until the server closes the connection: true, with everything
  // read in `out`; false when the deadline passed first.
  bool ReadUntilClosed(std::string& out, int timeoutMs = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Fill(deadline)) {
    }
    out = std::move(buf_);
    buf_.clear();
    return closed_;
  }
  bool closed() const { return closed_; }

 private:
  bool WaitFor(short events, Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd_, events, 0};
    return ::poll(&p, 1, static_cast<int>(left)) > 0;
  }
  // One read; false at the deadline or at the end of the stream.
  bool Fill(Clock::time_point deadline) {
    if (closed_ || !WaitFor(POLLIN, deadline)) return false;
    char chunk[65536];
    const ssize_t r = ::recv(fd_, chunk, sizeof chunk, 0);
    if (r <= 0) {
      closed_ = true;  // an orderly close or a reset: either way, gone
      return false;
    }
    buf_.append(chunk, static_cast<size_t>(r));
    return true;
  }

  int fd_ = -1;
  bool closed_ = false;
  std::string buf_;
};

}  // namespace vexon::testing
