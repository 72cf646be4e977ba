// The RPC endpoints: JSON-RPC over TCP and over a Unix socket (one JSON text
// per line, answered in order) and over HTTP (POST /rpc). Every connection
// is one automation object served by a thread of its own: its calls run one
// at a time, different connections at the same time.
//
// Limits that keep a bad client from hurting others: a line or body over
// 1 MiB is answered with -32600 (a line connection resumes at the next
// newline); at most 64 connections at once, the next is refused with an
// error and closed. Stop() stops accepting, ends every connection and waits
// for calls in progress to finish.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "automation/server_object.h"

namespace vexon {

class TRpcServer {
 public:
  static constexpr size_t kMaxMessage = 1024 * 1024;
  static constexpr int kMaxConnections = 64;

  explicit TRpcServer(TServices& services);
  ~TRpcServer();

  // "HOST:PORT" (port 0 picks a free one). False with `error` set on failure.
  bool ListenTcp(const std::string& hostPort, std::string& error);
  bool ListenUnix(const std::string& path, std::string& error);
  bool ListenHttp(const std::string& hostPort, std::string& error);
  // The bound endpoints, e.g. "tcp 127.0.0.1:47301".
  std::vector<std::string> Endpoints() const;
  int Connections() const { return active_.load(); }
  void Stop();

  struct TImpl;

 private:
  std::unique_ptr<TImpl> impl_;
  std::atomic<int> active_{0};
};

}  // namespace vexon
