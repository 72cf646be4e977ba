// Blocking socket I/O with time-outs for the RPC connections, shaped as a
// synchronous Asio/Beast stream so that Beast's HTTP reader and writer and
// Asio's line reads can use it.
#pragma once

#include <utility>  // before any Asio header (Boost 1.74 with GCC 12)

#include <poll.h>
#include <sys/socket.h>

#include <boost/asio.hpp>
#include <chrono>
#include <cstddef>

#include "rpc/transports.h"

namespace vexon {

// Blocking I/O on a connection's descriptor with time-outs, shaped as a
// synchronous Asio/Beast stream. A read waits `idleMs` while no part of a
// message has arrived (negative: for ever) and PartialMessageMs once one
// has; a write waits WriteTimeoutMs for the peer to make room. Stop() shuts
// the descriptor down, which ends any wait at once.
class TTimedStream {
 public:
  TTimedStream(int fd, const TRpcOptions& options, int idleMs) : fd_(fd), options_(options), idleMs_(idleMs) {}

  // Set by the caller between messages; any byte received sets it.
  bool MidMessage = false;

  template <class Buffers>
  size_t read_some(const Buffers& buffers, boost::system::error_code& ec) {
    ec = {};
    for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers); ++it) {
      const boost::asio::mutable_buffer b(*it);
      if (b.size() != 0) return ReadSome(b.data(), b.size(), ec);
    }
    return 0;
  }
  template <class Buffers>
  size_t read_some(const Buffers& buffers) {
    boost::system::error_code ec;
    const size_t n = read_some(buffers, ec);
    if (ec) throw boost::system::system_error(ec);
    return n;
  }
  template <class Buffers>
  size_t write_some(const Buffers& buffers, boost::system::error_code& ec) {
    ec = {};
    for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers); ++it) {
      const boost::asio::const_buffer b(*it);
      if (b.size() != 0) return WriteSome(b.data(), b.size(), ec);
    }
    return 0;
  }
  template <class Buffers>
  size_t write_some(const Buffers& buffers) {
    boost::system::error_code ec;
    const size_t n = write_some(buffers, ec);
    if (ec) throw boost::system::system_error(ec);
    return n;
  }

  size_t ReadSome(void* data, size_t size, boost::system::error_code& ec) {
    // Between messages with no idle limit (a line connection), one blocking
    // recv() is all a message costs: it returns with the first bytes, and the
    // shutdown() of Stop() wakes it. Once part of a message is in, or with an
    // idle limit, each wait is a poll() with its time-out.
    const int flags = MidMessage || idleMs_ >= 0 ? MSG_DONTWAIT : 0;
    for (;;) {
      const ssize_t r = ::recv(fd_, data, size, flags);
      if (r > 0) {
        MidMessage = true;
        return static_cast<size_t>(r);
      }
      if (r == 0) {
        ec = boost::asio::error::eof;
        return 0;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        ec.assign(errno, boost::system::system_category());
        return 0;
      }
      if (!Wait(POLLIN, MidMessage ? options_.PartialMessageMs : idleMs_, ec)) return 0;
    }
  }

  size_t WriteSome(const void* data, size_t size, boost::system::error_code& ec) {
    for (;;) {
      const ssize_t w = ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (w >= 0) return static_cast<size_t>(w);
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        ec.assign(errno, boost::system::system_category());
        return 0;
      }
      if (!Wait(POLLOUT, options_.WriteTimeoutMs, ec)) return 0;
    }
  }

  bool WriteAll(const std::string& text) {
    boost::system::error_code ec;
    boost::asio::write(*this, boost::asio::buffer(text), ec);
    return !ec;
  }

  // Stops sending, then reads and drops what the peer still sends, up to
  // `maxBytes` or `maxMs`, so that closing does not reset a connection whose
  // peer is still sending and the peer gets to read the answer.
  void CloseGracefully(size_t maxBytes, int maxMs) {
    ::shutdown(fd_, SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    std::vector<char> sink(64 * 1024);
    size_t drained = 0;
    while (drained < maxBytes) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) return;
      pollfd p{fd_, POLLIN, 0};
      const int n = ::poll(&p, 1, static_cast<int>(left));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      const ssize_t r = ::recv(fd_, sink.data(), sink.size(), MSG_DONTWAIT);
      if (r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (r <= 0) return;
      drained += static_cast<size_t>(r);
    }
  }

 private:
  bool Wait(short events, int timeoutMs, boost::system::error_code& ec) {
    pollfd p{fd_, events, 0};
    for (;;) {
      const int r = ::poll(&p, 1, timeoutMs);
      if (r > 0) return true;  // ready, or an error/hang-up the next call reports
      if (r == 0) {
        ec = boost::asio::error::timed_out;
        return false;
      }
      if (errno != EINTR) {
        ec.assign(errno, boost::system::system_category());
        return false;
      }
    }
  }

  int fd_;
  const TRpcOptions& options_;
  int idleMs_;
};

}  // namespace vexon
