#include <utility>  // before any Asio header (Boost 1.74 with GCC 12)

#include "rpc/transports.h"

#include <grp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <system_error>
#include <thread>

#include "core/server_core.h"
#include "rpc/console_http.h"
#include "journals/mon_journal.h"
#include "rpc/dispatcher.h"
#include "rpc/http_rules.h"
#include "rpc/metrics_text.h"
#include "rpc/timed_stream.h"
#include "rpc/line_streams.h"
#include "rpc/sse.h"
#include "util/log.h"

namespace vexon {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using unix_sock = asio::local::stream_protocol;
using boost::system::error_code;

namespace {

std::string_view View(boost::beast::string_view s) { return {s.data(), s.size()}; }

}  // namespace

struct TRpcServer::TImpl {
  TImpl(TServices& s, TRpcOptions o, std::atomic<int>& a)
      : services(s), options(std::move(o)), active(a), wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    console.SetStatusSource([this] { return ControllerStatus(); });
  }
  // The run and the status blocks for the console, from a copy of the
  // controller list: nothing is marked read.
  nlohmann::json ControllerStatus() const {
    nlohmann::json list = nlohmann::json::array();
    const auto records = services.Core.Model.Controllers.Snapshot();
    for (size_t i = 0; i < records.size(); ++i) {
      nlohmann::json c = {{"ControllerNum", i + 1}, {"MakeAdr", records[i].MakeAdr}, {"USCSValid", records[i].USCSValid}};
      // "b1".."b7" (a key built by appending: GCC 12 warns falsely on "b" + std::string at -O2).
      std::string key = "b";
      for (size_t b = 0; b < records[i].Status.size(); ++b) {
        key.resize(1);
        key += std::to_string(b + 1);
        c[key] = records[i].Status[b];
      }
      list.push_back(std::move(c));
    }
    return {{"run", hub ? hub->Run() : 0}, {"controllers", std::move(list)}};
  }
  ~TImpl() {
    if (wakeFd >= 0) ::close(wakeFd);
  }

  // An HTTP client refused at the limit is read and answered on a thread
  // of its own; at most this many such threads at once, past that the
  // connection is simply closed.
  static constexpr int kMaxRefusing = 8;

  TServices& services;
  const TRpcOptions options;
  TEventHub* hub = nullptr;  // set before listening
  // The web console's page and sessions.
  TConsoleHttp console{options.Token, std::chrono::hours(options.ConsoleSessionHours), options.ConsoleSessionFile};
  std::atomic<int>& active;
  std::atomic<int> refusing{0};
  asio::io_context io;
  mutable std::mutex lock;
  std::condition_variable drained;
  bool stopping = false;
  bool graceEnded = false;
  // Set when stopping begins: no new call starts after it.
  std::atomic<bool> closing{false};
  // Readable once stopping begins: wakes the accepting threads without
  // touching the listening sockets, which may belong to the service manager.
  const int wakeFd;
  std::function<void(int)> observer;
  std::vector<std::string> endpoints;
  std::vector<int> listenFds;
  std::vector<std::thread> acceptThreads;
  std::set<int> connFds;
  std::vector<std::pair<std::string, ino_t>> unixPaths;

  // Registers a connection; false when the limit is reached or stopping.
  // A failed allocation throws before anything is registered.
  bool Enter(int fd) {
    std::lock_guard<std::mutex> g(lock);
    if (stopping || active.load() >= options.MaxConnections) return false;
    connFds.insert(fd);
    ++active;
    if (observer) observer(active.load());
    return true;
  }
  // A connection ends in two steps around the close of its socket: out of
  // the list Stop() shuts down while the descriptor is still ours (once it
  // is closed, its number may already belong to a new connection), then
  // counted out once the socket is gone (Stop() returns when the count
  // reaches zero, and the io_context the socket belongs to goes with it).
  void Forget(int fd) {
    std::lock_guard<std::mutex> g(lock);
    connFds.erase(fd);
  }
  void CountOut() {
    std::lock_guard<std::mutex> g(lock);
    --active;
    if (observer) observer(active.load());
    drained.notify_all();
  }

  // A registered connection's socket; destroying it ends the connection
  // in the order above, whichever thread does it (the connection's own at
  // its end, or the accepting one when the thread cannot be started).
  template <class Protocol>
  struct TConnection {
    // Takes `s` only once both allocations have succeeded: when either
    // fails, the caller still holds the socket and gives the slot back.
    TConnection(TImpl& owner, int descriptor, typename Protocol::socket& s)
        : impl(owner), fd(descriptor), socket(std::make_unique<typename Protocol::socket>(std::move(s))) {}
    ~TConnection() {
      impl.Forget(fd);
      socket.reset();
      impl.CountOut();
    }
    TImpl& impl;
    const int fd;
    std::unique_ptr<typename Protocol::socket> socket;
  };

  std::atomic<uint64_t> refused{0};

  std::string Metrics() const { return MetricsText(services, hub, active.load(), refused.load()); }
  // A wrong or missing token: the fixed wait makes guessing slow.
  void RejectToken(const char* who) const {
    log::warn("{} did not present the right token", who);
    std::this_thread::sleep_for(std::chrono::milliseconds(options.AuthFailureDelayMs));
  }

  void RefusalDone() {
    std::lock_guard<std::mutex> g(lock);
    --refusing;
    drained.notify_all();
  }

  std::optional<std::string> Dispatch(TRpcDispatcher& dispatcher, const std::string& text) {
    try {
      return dispatcher.Handle(text);
    } catch (const std::bad_alloc&) {
      log::error("out of memory while answering a request");
      return TRpcDispatcher::ErrorText(-32603, "internal error: out of memory");
    }
  }

  // One JSON text per line, answered in order. Notifications of the
  // connection's subscriptions go out between whole lines: every write takes
  // the connection's write lock.
  void ServeLines(int fd) {
    TTimedStream stream(fd, options, -1);
    std::mutex writeLock;
    const auto send = [&](const std::string& line) {
      std::lock_guard<std::mutex> g(writeLock);
      return stream.WriteAll(line);
    };
    TRpcDispatcher dispatcher(services);
    std::unique_ptr<TLineStreams> streams;
    if (hub) {
      streams = std::make_unique<TLineStreams>(*hub, send, [fd] { ::shutdown(fd, SHUT_RDWR); });
      dispatcher.SetStreamCalls(streams.get());
    }
    std::string pending;
    bool discarding = false, firstLine = true, authenticated = options.Token.empty();
    std::vector<char> chunk(64 * 1024);
    for (;;) {
      // A connection that owes its token is held to the partial-message
      // time-out: only a client that has shown the token may stay idle, so
      // silent connections cannot fill the connection limit.
      stream.MidMessage = discarding || !pending.empty() || !authenticated;
      error_code ec;
      const size_t n = stream.ReadSome(chunk.data(), chunk.size(), ec);
      if (ec) {
        if (ec == asio::error::timed_out)
          log::info(authenticated ? "closing a connection that left a message unfinished"
                                  : "closing a connection that sent no token");
        return;
      }
      size_t start = 0;
      while (start < n) {
        const char* nl = static_cast<const char*>(std::memchr(chunk.data() + start, '\n', n - start));
        const size_t end = nl ? static_cast<size_t>(nl - chunk.data()) : n;
        if (!discarding) pending.append(chunk.data() + start, end - start);
        if (!authenticated && pending.size() > 4096) {
          RejectToken("a line connection");
          return;
        }
        if (!discarding && pending.size() > kMaxMessage) {
          if (!send(TRpcDispatcher::ErrorText(-32600, "message longer than 1 MiB") + "\n")) return;
          pending.clear();
          discarding = true;
        }
        if (!nl) break;
        start = end + 1;
        const bool wasFirst = firstLine;
        firstLine = false;
        if (discarding) {
          discarding = false;
          continue;
        }
        if (!pending.empty() && pending.back() == '\r') pending.pop_back();
        if (wasFirst && IsHttpRequestLine(pending)) {
          log::warn("closing a line connection that spoke HTTP: {}", pending.substr(0, 80));
          return;
        }
        if (!authenticated) {
          if (!AuthLineMatches(pending, options.Token)) {
            RejectToken("a line connection");
            return;
          }
          authenticated = true;
          pending.clear();
          continue;
        }
        if (closing.load()) return;  // stopping: no new call
        if (pending.find_first_not_of(" \t") != std::string::npos) {
          if (auto reply = Dispatch(dispatcher, pending)) {
            reply->push_back('\n');
            if (!send(*reply)) return;
          }
          if (streams) streams->Release();
        }
        pending.clear();
      }
    }
  }

  // Why a request may not be carried out: 0 when it may.
  http::status Refusal(const http::request<http::string_body>& req, const std::string& localAddress, bool loopback,
                       std::string& why) const {
    const std::string host = HostName(View(req[http::field::host]));
    bool hostOk = !host.empty() && (host == Lower(localAddress) || (loopback && host == "localhost"));
    for (const auto& h : options.AllowedHosts) hostOk = hostOk || host == HostName(h);
    if (!hostOk) {
      why = "Host not allowed";
      return http::status::forbidden;
    }
    if (auto o = req.find(http::field::origin); o != req.end()) {
      std::string origin = Lower(View(o->value()));
      while (!origin.empty() && origin.back() == '/') origin.pop_back();
      // The server's own page (the console) is of the origin it was fetched from.
      bool ok = origin == "http://" + Lower(View(req[http::field::host]));
      for (const auto& a : options.AllowedOrigins) {
        std::string allowed = Lower(a);
        while (!allowed.empty() && allowed.back() == '/') allowed.pop_back();
        ok = ok || (!allowed.empty() && origin == allowed);
      }
      if (!ok) {
        why = "Origin not allowed";
        return http::status::forbidden;
      }
    }
    if (TConsoleHttp::Owns(View(req.target()))) return http::status::unknown;  // it checks its sessions itself
    if (!options.Token.empty()) {
      const std::string_view auth = View(req[http::field::authorization]);
      const bool bearer = auth.size() > 7 && Lower(auth.substr(0, 7)) == "bearer ";
      const auto access = bearer ? TConsoleHttp::TAccess::Refused : console.BySession(req);
      if (access == TConsoleHttp::TAccess::AntiForgeryMissing) {
        why = std::string("a change needs the session's ") + TConsoleHttp::kAntiForgeryHeader + " header";
        return http::status::forbidden;
      }
      if (access == TConsoleHttp::TAccess::Refused && (!bearer || !SameToken(auth.substr(7), options.Token))) {
        why = "a token is required (Authorization: Bearer <token>)";
        return http::status::unauthorized;
      }
    }
    if (EventsTarget(View(req.target()))) {
      if (req.method() != http::verb::get) {
        why = "GET /events?streams=...";
        return http::status::method_not_allowed;
      }
      if (!hub) {
        why = "the event streams are off";
        return http::status::not_found;
      }
      return http::status::unknown;
    }
    if (req.target() == "/metrics") {
      if (req.method() != http::verb::get) {
        why = "GET /metrics";
        return http::status::method_not_allowed;
      }
      return http::status::unknown;
    }
    if (req.target() != "/rpc") {
      why = "POST JSON-RPC requests to /rpc";
      return http::status::not_found;
    }
    if (req.method() != http::verb::post) {
      why = "POST JSON-RPC requests to /rpc";
      return http::status::method_not_allowed;
    }
    std::string type = Lower(View(req[http::field::content_type]));
    type = type.substr(0, type.find(';'));
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.pop_back();
    if (type != "application/json") {
      why = "Content-Type must be application/json";
      return http::status::unsupported_media_type;
    }
    return http::status::unknown;
  }

  void ServeHttp(tcp::socket& sock) {
    const int fd = sock.native_handle();
    TTimedStream stream(fd, options, options.HttpIdleMs);
    TRpcDispatcher dispatcher(services);
    error_code ec;
    const auto local = sock.local_endpoint(ec);
    const std::string localAddress = ec ? std::string() : local.address().to_string();
    const bool loopback = !ec && local.address().is_loopback();
    boost::beast::flat_buffer buffer;
    for (;;) {
      stream.MidMessage = buffer.size() > 0;
      http::request_parser<http::string_body> parser;
      parser.header_limit(16 * 1024);
      parser.body_limit(kMaxMessage);
      http::read(stream, buffer, parser, ec);
      if (ec == http::error::body_limit) {
        http::response<http::string_body> res{http::status::payload_too_large, 11};
        res.set(http::field::server, "srvvexon");
        res.set(http::field::content_type, "application/json");
        res.body() = TRpcDispatcher::ErrorText(-32600, "body longer than 1 MiB");
        res.keep_alive(false);
        res.prepare_payload();
        http::write(stream, res, ec);
        if (!ec) stream.CloseGracefully(4 * kMaxMessage, 5000);
        return;
      }
      if (ec) {
        if (ec == asio::error::timed_out) log::debug("closing an idle or stalled HTTP connection");
        return;
      }
      if (closing.load()) return;  // stopping: no new call
      const auto& req = parser.get();
      http::response<http::string_body> res{http::status::ok, req.version()};
      res.set(http::field::server, "srvvexon");
      res.keep_alive(req.keep_alive());
      std::string why;
      const auto refusal = Refusal(req, localAddress, loopback, why);
      if (refusal != http::status::unknown) {
        res.result(refusal);
        if (refusal == http::status::method_not_allowed)
          res.set(http::field::allow, req.target() == "/metrics" || EventsTarget(View(req.target())) ? "GET" : "POST");
        if (refusal == http::status::unauthorized) {
          res.set(http::field::www_authenticate, "Bearer");
          res.keep_alive(false);
          RejectToken("an HTTP client");
        }
        res.set(http::field::content_type, "application/json");
        res.body() = TRpcDispatcher::ErrorText(-32600, why);
      } else if (TConsoleHttp::Owns(View(req.target()))) {
        console.Answer(req, res, [this] { RejectToken("a console login"); });
      } else if (EventsTarget(View(req.target()))) {
        TSubscribeRequest events;
        if (ReadEventsRequest(View(req.target()), View(req["Last-Event-ID"]), events, why)) {
          // The connection is the stream's from here on, until either side ends it.
          // Each event goes out as it comes: no waiting for more to fill a segment.
          const int one = 1;
          ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          const auto write = [&stream](const std::string& text) { return stream.WriteAll(text); };
          // A stream opened by the console's session (no token given) ends
          // with the session: at sign-out or expiry, looked at once a second.
          const bool bySession = !options.Token.empty() && req[http::field::authorization].empty();
          auto sessionSeen = std::chrono::steady_clock::now();
          const auto ended = [this, fd, &req, bySession, &sessionSeen] {
            pollfd p{fd, POLLRDHUP, 0};
            if (closing.load() || (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0))
              return true;
            if (!bySession || std::chrono::steady_clock::now() - sessionSeen < std::chrono::seconds(1)) return false;
            sessionSeen = std::chrono::steady_clock::now();
            return console.BySession(req) != TConsoleHttp::TAccess::Allowed;
          };
          ServeEventStream(*hub, events, TEventStreamIo{write, ended, options.SseKeepAliveMs});
          return;
        }
        res.result(http::status::bad_request);
        res.set(http::field::content_type, "application/json");
        res.body() = TRpcDispatcher::ErrorText(-32602, why);
      } else if (req.target() == "/metrics") {
        res.set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
        res.body() = Metrics();
      } else if (auto reply = Dispatch(dispatcher, req.body())) {
        res.set(http::field::content_type, "application/json");
        res.body() = std::move(*reply);
      } else {
        res.result(http::status::no_content);
      }
      res.prepare_payload();
      http::write(stream, res, ec);
      if (ec || !res.keep_alive()) return;
    }
  }

  // The answer to a client over the limit on the line transports.
  void RefuseLine(int fd) {
    TTimedStream stream(fd, options, 0);
    stream.WriteAll(TRpcDispatcher::ErrorText(-32000, "too many connections") + "\n");
  }

  // 503 for an HTTP client over the limit: its request head is read first
  // (briefly) and the close is graceful, so the client sees the answer.
  void RefuseHttp(tcp::socket sock) {
    if (refusing.fetch_add(1) >= kMaxRefusing) {
      RefusalDone();
      return;
    }
    auto work = [this, s = std::move(sock)]() mutable {
      TRpcOptions brief = options;
      brief.PartialMessageMs = brief.WriteTimeoutMs = 1000;
      TTimedStream stream(s.native_handle(), brief, 1000);
      std::string head;
      std::vector<char> chunk(4096);
      while (head.size() < 16 * 1024 && head.find("\r\n\r\n") == std::string::npos) {
        error_code ec;
        const size_t n = stream.ReadSome(chunk.data(), chunk.size(), ec);
        if (ec) break;
        head.append(chunk.data(), n);
      }
      const std::string body = TRpcDispatcher::ErrorText(-32000, "too many connections");
      stream.WriteAll("HTTP/1.1 503 Service Unavailable\r\nServer: srvvexon\r\nContent-Type: application/json\r\n"
                      "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
      stream.CloseGracefully(kMaxMessage, 1000);
      // Closed before it is counted out, as a served connection is.
      error_code ignored;
      s.close(ignored);
      RefusalDone();
    };
    try {
      std::thread(std::move(work)).detach();
    } catch (const std::exception& e) {
      RefusalDone();
      log::warn("cannot start a thread to refuse a connection: {}", e.what());
    }
  }

  template <class Protocol, class Serve, class Refuse>
  void AcceptLoop(std::shared_ptr<typename Protocol::acceptor> acceptor, Serve serve, Refuse refuse) {
    error_code nb;
    acceptor->non_blocking(true, nb);
    for (;;) {
      pollfd p[2] = {{acceptor->native_handle(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
      if (::poll(p, 2, -1) < 0 && errno != EINTR) return;
      if (p[1].revents != 0) return;  // stopping
      if (p[0].revents == 0) continue;
      // Out of memory or threads costs this one connection and nothing
      // else: it is closed unserved, and any slot it took is given back.
      typename Protocol::socket sock(io);
      error_code ec;
      try {
        acceptor->accept(sock, ec);  // throws only if the socket cannot be registered
      } catch (const std::exception& e) {
        log::error("cannot take a new connection: {}", e.what());
        continue;
      }
      if (ec == asio::error::would_block || ec == asio::error::try_again || ec == asio::error::interrupted) continue;
      if (ec) {
        std::lock_guard<std::mutex> g(lock);
        if (stopping) return;
        if (ec == asio::error::operation_aborted || ec == asio::error::bad_descriptor) return;
        // Out of descriptors and the like: do not spin on the error.
        if (ec != asio::error::connection_aborted) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      const int fd = sock.native_handle();
      try {
        if (!Enter(fd)) {
          ++refused;
          refuse(std::move(sock));
          continue;
        }
      } catch (const std::exception& e) {
        log::error("cannot take a new connection: {}", e.what());
        continue;
      }
      std::unique_ptr<TConnection<Protocol>> conn;
      try {
        conn = std::make_unique<TConnection<Protocol>>(*this, fd, sock);
      } catch (const std::exception& e) {
        log::error("cannot take a new connection: {}", e.what());
        Forget(fd);
        error_code ignored;
        sock.close(ignored);
        CountOut();
        continue;
      }
      try {
        std::thread([conn = std::move(conn), serve]() mutable {
          try {
            serve(*conn->socket);
          } catch (const std::exception& e) {
            log::error("connection ended by an internal error: {}", e.what());
          } catch (...) {
            log::error("connection ended by an internal error");
          }
          conn.reset();
        }).detach();
      } catch (const std::exception& e) {
        // The connection went with the thread object that failed to start.
        log::error("cannot start a connection thread: {}", e.what());
      }
    }
  }

  // Throws when the accepting thread cannot be started; the listener is
  // then not recorded.
  void AddListener(int fd, std::string endpoint, std::function<void()> loop) {
    std::lock_guard<std::mutex> g(lock);
    acceptThreads.reserve(acceptThreads.size() + 1);
    listenFds.reserve(listenFds.size() + 1);
    endpoints.reserve(endpoints.size() + 1);
    acceptThreads.emplace_back(std::move(loop));
    listenFds.push_back(fd);
    endpoints.push_back(std::move(endpoint));
  }
};

namespace {
bool SplitHostPort(const std::string& hp, std::string& host, uint16_t& port) {
  const auto colon = hp.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  host = hp.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  try {
    size_t used = 0;
    const int p = std::stoi(hp.substr(colon + 1), &used);
    if (p < 0 || p > 65535 || used != hp.size() - colon - 1) return false;
    port = static_cast<uint16_t>(p);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

// Opens a TCP listener on HOST:PORT, HOST an address or a name to resolve;
// the name reports the bound address and port.
std::shared_ptr<tcp::acceptor> OpenTcp(asio::io_context& io, const std::string& hostPort, const char* kind,
                                       const char* suffix, std::string& name, std::string& error) {
  std::string host;
  uint16_t port = 0;
  if (!SplitHostPort(hostPort, host, port)) {
    error = "expected HOST:PORT, got '" + hostPort + "'";
    return nullptr;
  }
  try {
    error_code ec;
    asio::ip::address address = asio::ip::make_address(host, ec);
    if (ec) {
      tcp::resolver resolver(io);
      const auto results = resolver.resolve(host, std::to_string(port), tcp::resolver::passive, ec);
      if (ec || results.empty()) {
        error = "cannot resolve " + host + ": " + (ec ? ec.message() : std::string("no address"));
        return nullptr;
      }
      address = results.begin()->endpoint().address();
    }
    auto acceptor = std::make_shared<tcp::acceptor>(io, tcp::endpoint(address, port));
    const auto ep = acceptor->local_endpoint();
    name = std::string(kind) + " " + ep.address().to_string() + ":" + std::to_string(ep.port()) + suffix;
    return acceptor;
  } catch (const std::exception& e) {
    error = "cannot listen on " + hostPort + ": " + e.what();
    return nullptr;
  }
}
}  // namespace

TRpcServer::TRpcServer(TServices& services, TRpcOptions options)
    : impl_(std::make_unique<TImpl>(services, std::move(options), active_)) {}

TRpcServer::~TRpcServer() { Stop(); }

bool TRpcServer::TokenMissing(const void* acceptorPtr, const std::string& hostPort, std::string& error) const {
  const auto& acceptor = *static_cast<const tcp::acceptor*>(acceptorPtr);
  error_code ec;
  const auto ep = acceptor.local_endpoint(ec);
  if (impl_->options.Token.empty() && (ec || !ep.address().is_loopback())) {
    error = "refusing to listen on " + hostPort +
            " without a token: anyone who reaches it could open the doors; set [Rpc] Token or --rpc-token-file";
    return true;
  }
  return false;
}

bool TRpcServer::ListenTcp(const std::string& hostPort, std::string& error) {
  std::string name;
  auto acceptor = OpenTcp(impl_->io, hostPort, "tcp", "", name, error);
  if (!acceptor || TokenMissing(acceptor.get(), hostPort, error)) return false;
  try {
    ServeTcp(acceptor, name);
  } catch (const std::exception& e) {
    error = "cannot listen on " + hostPort + ": " + e.what();
    return false;
  }
  return true;
}

void TRpcServer::ServeTcp(std::shared_ptr<void> acceptorPtr, const std::string& name) {
  auto acceptor = std::static_pointer_cast<tcp::acceptor>(acceptorPtr);
  TImpl* impl = impl_.get();
  impl_->AddListener(acceptor->native_handle(), name, [impl, acceptor] {
    impl->AcceptLoop<tcp>(
        acceptor,
        [impl](tcp::socket& s) {
          error_code ec;
          s.set_option(tcp::no_delay(true), ec);
          SetKeepAlive(s.native_handle());
          impl->ServeLines(s.native_handle());
        },
        [impl](tcp::socket s) { impl->RefuseLine(s.native_handle()); });
  });
}

bool TRpcServer::ListenUnix(const std::string& path, std::string& error) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    // Another server's live socket must not be taken over; a socket file
    // nobody listens on is left over from a server that died, and goes.
    if (!S_ISSOCK(st.st_mode)) {
      error = "cannot listen on " + path + ": the path exists and is not a socket";
      return false;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
      error = "cannot listen on " + path + ": the path is too long";
      return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool live = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    const int why = errno;
    if (probe >= 0) ::close(probe);
    if (live || (why != ECONNREFUSED && why != ENOENT)) {
      error = "cannot listen on " + path + ": " +
              (live ? std::string("another server is listening there") : std::string(std::strerror(why)));
      return false;
    }
    ::unlink(path.c_str());
  }
  gid_t group = static_cast<gid_t>(-1);
  if (!impl_->options.UnixSocketGroup.empty()) {
    const struct group* g = ::getgrnam(impl_->options.UnixSocketGroup.c_str());
    if (!g) {
      error = "cannot listen on " + path + ": no group " + impl_->options.UnixSocketGroup;
      return false;
    }
    group = g->gr_gid;
  }
  try {
    auto acceptor = std::make_shared<unix_sock::acceptor>(impl_->io);
    acceptor->open();
    acceptor->bind(unix_sock::endpoint(path));
    // The mode is set before listen(): nobody can connect while the socket
    // still has the default permissions.
    if (::chmod(path.c_str(), impl_->options.UnixSocketMode) != 0 ||
        (group != static_cast<gid_t>(-1) && ::chown(path.c_str(), static_cast<uid_t>(-1), group) != 0)) {
      const std::string why = std::strerror(errno);
      ::unlink(path.c_str());
      error = "cannot set the permissions of " + path + ": " + why;
      return false;
    }
    acceptor->listen();
    ::lstat(path.c_str(), &st);
    {
      std::lock_guard<std::mutex> g(impl_->lock);
      impl_->unixPaths.emplace_back(path, st.st_ino);
    }
    ServeUnix(acceptor, "unix " + path);
  } catch (const std::exception& e) {
    error = "cannot listen on " + path + ": " + e.what();
    return false;
  }
  return true;
}

void TRpcServer::ServeUnix(std::shared_ptr<void> acceptorPtr, const std::string& name) {
  auto acceptor = std::static_pointer_cast<unix_sock::acceptor>(acceptorPtr);
  TImpl* impl = impl_.get();
  impl_->AddListener(acceptor->native_handle(), name, [impl, acceptor] {
    impl->AcceptLoop<unix_sock>(
        acceptor, [impl](unix_sock::socket& s) { impl->ServeLines(s.native_handle()); },
        [impl](unix_sock::socket s) { impl->RefuseLine(s.native_handle()); });
  });
}

bool TRpcServer::ListenHttp(const std::string& hostPort, std::string& error) {
  std::string name;
  auto acceptor = OpenTcp(impl_->io, hostPort, "http", "/rpc", name, error);
  if (!acceptor || TokenMissing(acceptor.get(), hostPort, error)) return false;
  try {
    ServeHttp(acceptor, name);
  } catch (const std::exception& e) {
    error = "cannot listen on " + hostPort + ": " + e.what();
    return false;
  }
  return true;
}

void TRpcServer::ServeHttp(std::shared_ptr<void> acceptorPtr, const std::string& name) {
  auto acceptor = std::static_pointer_cast<tcp::acceptor>(acceptorPtr);
  TImpl* impl = impl_.get();
  impl_->AddListener(acceptor->native_handle(), name, [impl, acceptor] {
    impl->AcceptLoop<tcp>(
        acceptor,
        [impl](tcp::socket& s) {
          SetKeepAlive(s.native_handle());
          impl->ServeHttp(s);
        },
        [impl](tcp::socket s) { impl->RefuseHttp(std::move(s)); });
  });
}

bool TRpcServer::Adopt(int fd, const std::string& kind, std::string& error) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  int type = 0, listening = 0;
  socklen_t optLen = sizeof type;
  const bool known = ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
                     ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &optLen) == 0 &&
                     (optLen = sizeof listening, ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &optLen) == 0);
  const std::string what = "passed descriptor " + std::to_string(fd) + " (" + kind + ")";
  if (!known || type != SOCK_STREAM || !listening) {
    error = what + " is not a listening stream socket";
    return false;
  }
  try {
    if (kind == "unix") {
      if (addr.ss_family != AF_UNIX) {
        error = what + " is not a Unix socket";
        return false;
      }
      auto acceptor = std::make_shared<unix_sock::acceptor>(impl_->io, unix_sock(), fd);
      ServeUnix(acceptor, "unix " + acceptor->local_endpoint().path());
      return true;
    }
    if (kind != "tcp" && kind != "http") {
      error = what + ": unknown transport";
      return false;
    }
    if (addr.ss_family != AF_INET && addr.ss_family != AF_INET6) {
      error = what + " is not a TCP socket";
      return false;
    }
    auto acceptor = std::make_shared<tcp::acceptor>(impl_->io, addr.ss_family == AF_INET6 ? tcp::v6() : tcp::v4(), fd);
    const auto ep = acceptor->local_endpoint();
    const std::string hostPort = ep.address().to_string() + ":" + std::to_string(ep.port());
    if (TokenMissing(acceptor.get(), hostPort, error)) {
      acceptor->release();  // the descriptor stays with its owner
      return false;
    }
    if (kind == "tcp")
      ServeTcp(acceptor, "tcp " + hostPort);
    else
      ServeHttp(acceptor, "http " + hostPort + "/rpc");
    return true;
  } catch (const std::exception& e) {
    error = what + ": " + e.what();
    return false;
  }
}

void TRpcServer::SetConnectionObserver(std::function<void(int)> observer) {
  std::lock_guard<std::mutex> g(impl_->lock);
  impl_->observer = std::move(observer);
}

void TRpcServer::SetEventHub(TEventHub* hub) { impl_->hub = hub; }

void TRpcServer::EndGrace() {
  std::lock_guard<std::mutex> g(impl_->lock);
  impl_->graceEnded = true;
  impl_->drained.notify_all();
}

std::vector<std::string> TRpcServer::Endpoints() const {
  std::lock_guard<std::mutex> g(impl_->lock);
  return impl_->endpoints;
}

void TRpcServer::Stop(std::chrono::milliseconds grace) {
  if (!impl_) return;
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> g(impl_->lock);
    if (impl_->stopping && impl_->acceptThreads.empty()) return;
    impl_->stopping = true;
    impl_->closing = true;
    // Wakes the accepting threads, and ends every read: a connection waiting
    // for its next request ends now, one in a call can still write its answer.
    const uint64_t one = 1;
    (void)!::write(impl_->wakeFd, &one, sizeof one);
    for (int fd : impl_->connFds) ::shutdown(fd, SHUT_RD);
    threads.swap(impl_->acceptThreads);
  }
  for (auto& t : threads) t.join();
  std::unique_lock<std::mutex> g(impl_->lock);
  const auto done = [&] { return active_.load() == 0 && impl_->refusing.load() == 0; };
  if (!impl_->drained.wait_for(g, grace, [&] { return done() || impl_->graceEnded; }) || !done()) {
    log::warn("closing {} RPC connection(s) whose call did not finish in time", active_.load());
    for (int fd : impl_->connFds) ::shutdown(fd, SHUT_RDWR);
  }
  // A closed connection's thread ends as soon as its call returns; what the
  // call uses must outlive it, so this wait has no bound.
  impl_->drained.wait(g, done);
  // Only our own socket file: a path another server has taken since stays.
  for (const auto& [path, inode] : impl_->unixPaths) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && st.st_ino == inode) ::unlink(path.c_str());
  }
  impl_->unixPaths.clear();
}

}  // namespace vexon
