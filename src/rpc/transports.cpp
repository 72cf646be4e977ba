#include <utility>  // before any Asio header (Boost 1.74 with GCC 12)

#include "rpc/transports.h"

#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cstring>
#include <set>
#include <thread>

#include "rpc/dispatcher.h"
#include "util/log.h"

namespace vexon {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using unix_sock = asio::local::stream_protocol;

struct TRpcServer::TImpl {
  TImpl(TServices& s, std::atomic<int>& a) : services(s), active(a) {}

  TServices& services;
  std::atomic<int>& active;
  asio::io_context io;
  std::mutex lock;
  std::condition_variable drained;
  bool stopping = false;
  std::vector<std::string> endpoints;
  std::vector<int> listenFds;
  std::vector<std::thread> acceptThreads;
  std::set<int> connFds;
  std::vector<std::string> unixPaths;

  // Registers a connection; false when the limit is reached or stopping.
  bool Enter(int fd) {
    std::lock_guard<std::mutex> g(lock);
    if (stopping || active.load() >= kMaxConnections) return false;
    ++active;
    connFds.insert(fd);
    return true;
  }
  void Leave(int fd) {
    std::lock_guard<std::mutex> g(lock);
    connFds.erase(fd);
    --active;
    drained.notify_all();
  }

  template <class Socket>
  static bool WriteAll(Socket& s, const std::string& text) {
    boost::system::error_code ec;
    asio::write(s, asio::buffer(text), ec);
    return !ec;
  }

  // One JSON text per line, answered in order.
  template <class Socket>
  void ServeLines(Socket sock) {
    TRpcDispatcher dispatcher(services);
    std::string pending;
    bool discarding = false;
    std::vector<char> chunk(64 * 1024);
    boost::system::error_code ec;
    for (;;) {
      const size_t n = sock.read_some(asio::buffer(chunk), ec);
      if (ec) break;
      size_t start = 0;
      while (start < n) {
        const char* nl = static_cast<const char*>(std::memchr(chunk.data() + start, '\n', n - start));
        const size_t end = nl ? static_cast<size_t>(nl - chunk.data()) : n;
        if (!discarding) pending.append(chunk.data() + start, end - start);
        if (!discarding && pending.size() > kMaxMessage) {
          if (!WriteAll(sock, TRpcDispatcher::ErrorText(-32600, "message longer than 1 MiB") + "\n")) return;
          pending.clear();
          discarding = true;
        }
        if (!nl) break;
        start = end + 1;
        if (discarding) {
          discarding = false;
          continue;
        }
        if (!pending.empty() && pending.back() == '\r') pending.pop_back();
        if (pending.find_first_not_of(" \t") != std::string::npos) {
          if (auto reply = dispatcher.Handle(pending))
            if (!WriteAll(sock, *reply + "\n")) return;
        }
        pending.clear();
      }
    }
  }

  void ServeHttp(tcp::socket sock) {
    TRpcDispatcher dispatcher(services);
    boost::beast::flat_buffer buffer;
    boost::system::error_code ec;
    for (;;) {
      http::request_parser<http::string_body> parser;
      parser.body_limit(kMaxMessage);
      http::read(sock, buffer, parser, ec);
      if (ec == http::error::body_limit) {
        http::response<http::string_body> res{http::status::payload_too_large, 11};
        res.set(http::field::content_type, "application/json");
        res.body() = TRpcDispatcher::ErrorText(-32600, "body longer than 1 MiB");
        res.keep_alive(false);
        res.prepare_payload();
        http::write(sock, res, ec);
        return;
      }
      if (ec) return;
      const auto& req = parser.get();
      http::response<http::string_body> res{http::status::ok, req.version()};
      res.set(http::field::server, "srvvexon");
      res.keep_alive(req.keep_alive());
      if (req.target() != "/rpc") {
        res.result(http::status::not_found);
        res.body() = "POST JSON-RPC requests to /rpc\n";
      } else if (req.method() != http::verb::post) {
        res.result(http::status::method_not_allowed);
        res.set(http::field::allow, "POST");
      } else if (auto reply = dispatcher.Handle(req.body())) {
        res.set(http::field::content_type, "application/json");
        res.body() = *reply;
      } else {
        res.result(http::status::no_content);
      }
      res.prepare_payload();
      http::write(sock, res, ec);
      if (ec || !res.keep_alive()) return;
    }
  }

  template <class Protocol, class Serve>
  void AcceptLoop(std::shared_ptr<typename Protocol::acceptor> acceptor, Serve serve) {
    for (;;) {
      typename Protocol::socket sock(io);
      boost::system::error_code ec;
      acceptor->accept(sock, ec);
      if (ec) {
        std::lock_guard<std::mutex> g(lock);
        if (stopping) return;
        if (ec == asio::error::operation_aborted || ec == asio::error::bad_descriptor) return;
        continue;
      }
      const int fd = sock.native_handle();
      if (!Enter(fd)) {
        WriteAll(sock, TRpcDispatcher::ErrorText(-32000, "too many connections") + "\n");
        continue;
      }
      std::thread([this, fd, s = std::move(sock), serve]() mutable {
        serve(std::move(s));
        Leave(fd);
      }).detach();
    }
  }

  void AddListener(int fd, std::string endpoint, std::function<void()> loop) {
    std::lock_guard<std::mutex> g(lock);
    listenFds.push_back(fd);
    endpoints.push_back(std::move(endpoint));
    acceptThreads.emplace_back(std::move(loop));
  }
};

namespace {
bool SplitHostPort(const std::string& hp, std::string& host, uint16_t& port) {
  const auto colon = hp.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  host = hp.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  try {
    const int p = std::stoi(hp.substr(colon + 1));
    if (p < 0 || p > 65535) return false;
    port = static_cast<uint16_t>(p);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}
}  // namespace

TRpcServer::TRpcServer(TServices& services) : impl_(std::make_unique<TImpl>(services, active_)) {}

TRpcServer::~TRpcServer() { Stop(); }

namespace {
// Opens a TCP listener on HOST:PORT; the name reports the bound port.
std::shared_ptr<tcp::acceptor> OpenTcp(asio::io_context& io, const std::string& hostPort, const char* kind,
                                       const char* suffix, std::string& name, std::string& error) {
  std::string host;
  uint16_t port = 0;
  if (!SplitHostPort(hostPort, host, port)) {
    error = "expected HOST:PORT, got '" + hostPort + "'";
    return nullptr;
  }
  try {
    auto acceptor = std::make_shared<tcp::acceptor>(io, tcp::endpoint(asio::ip::make_address(host), port));
    const auto ep = acceptor->local_endpoint();
    name = std::string(kind) + " " + ep.address().to_string() + ":" + std::to_string(ep.port()) + suffix;
    return acceptor;
  } catch (const std::exception& e) {
    error = "cannot listen on " + hostPort + ": " + e.what();
    return nullptr;
  }
}
}  // namespace

bool TRpcServer::ListenTcp(const std::string& hostPort, std::string& error) {
  std::string name;
  auto acceptor = OpenTcp(impl_->io, hostPort, "tcp", "", name, error);
  if (!acceptor) return false;
  TImpl* impl = impl_.get();
  impl_->AddListener(acceptor->native_handle(), name, [impl, acceptor] {
    impl->AcceptLoop<tcp>(acceptor, [impl](tcp::socket s) {
      s.set_option(tcp::no_delay(true));
      impl->ServeLines(std::move(s));
    });
  });
  return true;
}

bool TRpcServer::ListenUnix(const std::string& path, std::string& error) {
  try {
    ::unlink(path.c_str());
    auto acceptor = std::make_shared<unix_sock::acceptor>(impl_->io, unix_sock::endpoint(path));
    TImpl* impl = impl_.get();
    {
      std::lock_guard<std::mutex> g(impl_->lock);
      impl_->unixPaths.push_back(path);
    }
    impl_->AddListener(acceptor->native_handle(), "unix " + path, [impl, acceptor] {
      impl->AcceptLoop<unix_sock>(acceptor, [impl](unix_sock::socket s) { impl->ServeLines(std::move(s)); });
    });
  } catch (const std::exception& e) {
    error = "cannot listen on " + path + ": " + e.what();
    return false;
  }
  return true;
}

bool TRpcServer::ListenHttp(const std::string& hostPort, std::string& error) {
  std::string name;
  auto acceptor = OpenTcp(impl_->io, hostPort, "http", "/rpc", name, error);
  if (!acceptor) return false;
  TImpl* impl = impl_.get();
  impl_->AddListener(acceptor->native_handle(), name, [impl, acceptor] {
    impl->AcceptLoop<tcp>(acceptor, [impl](tcp::socket s) { impl->ServeHttp(std::move(s)); });
  });
  return true;
}

std::vector<std::string> TRpcServer::Endpoints() const {
  std::lock_guard<std::mutex> g(impl_->lock);
  return impl_->endpoints;
}

void TRpcServer::Stop() {
  if (!impl_) return;
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> g(impl_->lock);
    if (impl_->stopping && impl_->acceptThreads.empty()) return;
    impl_->stopping = true;
    // Wakes the blocked accepts and reads.
    for (int fd : impl_->listenFds) ::shutdown(fd, SHUT_RDWR);
    for (int fd : impl_->connFds) ::shutdown(fd, SHUT_RDWR);
    threads.swap(impl_->acceptThreads);
  }
  for (auto& t : threads) t.join();
  std::unique_lock<std::mutex> g(impl_->lock);
  impl_->drained.wait(g, [&] { return active_.load() == 0; });
  for (const auto& p : impl_->unixPaths) ::unlink(p.c_str());
  impl_->unixPaths.clear();
}

}  // namespace vexon
