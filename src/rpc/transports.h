// The RPC endpoints: JSON-RPC over TCP and over a Unix socket (one JSON text
// per line, answered in order) and over HTTP (POST /rpc). Every connection
// is one automation object served by a thread of its own: its calls run one
// at a time, different connections at the same time.
//
// Limits that keep a bad client from hurting others:
// - a line or body over 1 MiB is answered with -32600 (a line connection
//   resumes at the next newline; an HTTP connection gets 413, then the
//   server stops sending and reads the rest of the body for a bounded time
//   and size before closing, so the client sees the answer);
// - at most MaxConnections connections at once; the next is refused with a
//   JSON-RPC error line (line transports) or 503 (HTTP) and closed;
// - a message begun and not finished for PartialMessageMs, an HTTP
//   keep-alive connection idle for HttpIdleMs, and a write that makes no
//   progress for WriteTimeoutMs close the connection; a line connection
//   idle between whole messages stays open; TCP keep-alive finds dead peers;
// - HTTP answers only its own address (or AllowedHosts) in `Host`, only
//   `Content-Type: application/json`, and only requests without `Origin` or
//   with one of AllowedOrigins (403 or 415 otherwise, nothing carried out);
// - a line connection whose first line is an HTTP request line is closed
//   without carrying anything out (a browser's cross-protocol POST);
// - the Unix socket is created with UnixSocketMode (and UnixSocketGroup);
//   a live socket at the path is an error, a stale one is replaced.
// - with a Token, a client that does not present it is closed after a
//   fixed delay (line transports) or answered 401 (HTTP); listening beyond
//   loopback without a token is refused; a web console's session cookie
//   stands for the token on HTTP (rpc/console_http.h), and an Origin equal
//   to http://<Host> is the server's own page.
// A failed allocation answers -32603; a thread that cannot be created
// closes that one connection. Stop() stops accepting, ends idle connections
// at once, gives calls in progress a bounded grace to finish and answer,
// then closes what is left; no new call starts once it has begun.
// Listening sockets handed over by the service manager are adopted rather
// than bound, and are never shut down (the manager keeps listening on
// them for the next start).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "automation/server_object.h"
#include "events/event_hub.h"

namespace vexon {

struct TRpcOptions {
  int MaxConnections = 256;
  int PartialMessageMs = 30000;
  int HttpIdleMs = 60000;
  int WriteTimeoutMs = 30000;
  int SseKeepAliveMs = 15000;  // GET /events: a comment line after this long without an event
  std::vector<std::string> AllowedOrigins;  // exact origins, e.g. "http://panel.local:8080"
  std::vector<std::string> AllowedHosts;    // extra names accepted in `Host`
  // When set, every client proves it knows this first: the first line of a
  // line connection is {"auth":"<token>"}, an HTTP request carries
  // `Authorization: Bearer <token>`. A wrong token closes the connection
  // after AuthFailureDelayMs. Without a token only loopback may be listened on.
  std::string Token;
  int AuthFailureDelayMs = 500;
  // The web console's sessions (with a Token): their lifetime, and the file
  // that keeps them across a restart (empty: memory only).
  int ConsoleSessionHours = 12;
  std::string ConsoleSessionFile;
  unsigned UnixSocketMode = 0600;
  std::string UnixSocketGroup;  // empty: the server's own group
};

class TRpcServer {
 public:
  static constexpr size_t kMaxMessage = 1024 * 1024;

  explicit TRpcServer(TServices& services, TRpcOptions options = {});
  ~TRpcServer();

  // "HOST:PORT" (port 0 picks a free one; HOST may be a name). False with
  // `error` set on failure.
  bool ListenTcp(const std::string& hostPort, std::string& error);
  bool ListenUnix(const std::string& path, std::string& error);
  bool ListenHttp(const std::string& hostPort, std::string& error);
  // Serves an already listening socket: `kind` "tcp" (JSON text per line),
  // "http" or "unix". False with `error` when the descriptor does not fit.
  bool Adopt(int fd, const std::string& kind, std::string& error);
  // The bound endpoints, e.g. "tcp 127.0.0.1:47301".
  std::vector<std::string> Endpoints() const;
  int Connections() const { return active_.load(); }
  // Called with the number of open connections after each change (under the
  // server's lock: it must not call back into this object). Set before
  // listening.
  void SetConnectionObserver(std::function<void(int)> observer);
  // The event streams that vexon.subscribe and GET /events follow (none:
  // both are refused). Set before listening; it outlives the server.
  void SetEventHub(TEventHub* hub);
  // Stops accepting; connections waiting for a request end at once, a call
  // in progress may finish and answer for up to `grace`, then every
  // connection is closed. Returns once every connection thread is done.
  void Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(5000));
  // Ends the grace of a Stop() in progress (from another thread).
  void EndGrace();

  struct TImpl;

 private:
  // Start an accepting thread for an open acceptor (tcp::acceptor or
  // local::stream_protocol::acceptor behind the pointer).
  void ServeTcp(std::shared_ptr<void> acceptor, const std::string& name);
  void ServeHttp(std::shared_ptr<void> acceptor, const std::string& name);
  void ServeUnix(std::shared_ptr<void> acceptor, const std::string& name);
  // True (with `error`) for a TCP acceptor beyond loopback without a token.
  bool TokenMissing(const void* tcpAcceptor, const std::string& hostPort, std::string& error) const;

  std::unique_ptr<TImpl> impl_;
  std::atomic<int> active_{0};
};

}  // namespace vexon
