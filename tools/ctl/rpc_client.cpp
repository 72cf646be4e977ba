#include "ctl/rpc_client.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vexon {

TRpcClient::~TRpcClient() { Close(); }

void TRpcClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  buffer_.clear();
  start_ = 0;
  notifications_.clear();
}

void TRpcClient::Connect(const std::string& where) {
  Close();
  if (where.find('/') != std::string::npos) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (where.size() >= sizeof addr.sun_path) throw std::runtime_error("socket path too long: " + where);
    std::strcpy(addr.sun_path, where.c_str());
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      const std::string why = std::strerror(errno);
      Close();
      throw std::runtime_error("cannot connect to " + where + ": " + why);
    }
    return;
  }
  const auto colon = where.rfind(':');
  if (colon == std::string::npos) throw std::runtime_error("expected HOST:PORT or a socket path, got " + where);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(where.substr(0, colon).c_str(), where.substr(colon + 1).c_str(), &hints, &res) != 0 || !res)
    throw std::runtime_error("cannot resolve " + where);
  for (addrinfo* a = res; a; a = a->ai_next) {
    fd_ = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd_ >= 0 && ::connect(fd_, a->ai_addr, a->ai_addrlen) == 0) break;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  freeaddrinfo(res);
  if (fd_ < 0) throw std::runtime_error("cannot connect to " + where + ": " + std::strerror(errno));
  const int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void TRpcClient::SendLine(const std::string& line) { Send(line + "\n"); }

void TRpcClient::Send(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t w = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) throw std::runtime_error("connection lost while sending");
    done += static_cast<size_t>(w);
  }
}

std::string TRpcClient::ReadLine() { return *ReadLineWithin(-1); }

std::optional<std::string> TRpcClient::ReadLineWithin(int timeoutMs) {
  for (;;) {
    // Lines are taken from `start_` on; the buffer is compacted only when a
    // read is due, so a burst of notifications costs no quadratic copying.
    const auto nl = buffer_.find('\n', start_);
    if (nl != std::string::npos) {
      std::string line = buffer_.substr(start_, nl - start_);
      start_ = nl + 1;
      return line;
    }
    buffer_.erase(0, start_);
    start_ = 0;
    if (timeoutMs >= 0) {
      pollfd p{fd_, POLLIN, 0};
      const int n = ::poll(&p, 1, timeoutMs);
      if (n < 0 && errno == EINTR) return std::nullopt;
      if (n == 0) return std::nullopt;
    }
    char chunk[65536];
    const ssize_t r = ::recv(fd_, chunk, sizeof chunk, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) throw std::runtime_error("connection closed by the server");
    buffer_.append(chunk, static_cast<size_t>(r));
  }
}

namespace {
bool IsNotification(const nlohmann::json& j) { return j.is_object() && j.contains("method") && !j.contains("id"); }
}  // namespace

std::optional<nlohmann::json> TRpcClient::NextNotification(int timeoutMs) {
  if (!notifications_.empty()) {
    nlohmann::json n = std::move(notifications_.front());
    notifications_.pop_front();
    return n;
  }
  for (;;) {
    const auto line = ReadLineWithin(timeoutMs);
    if (!line) return std::nullopt;
    nlohmann::json j = nlohmann::json::parse(*line);
    if (IsNotification(j)) return j;
  }
}

std::string TRpcClient::ReadToEnd() {
  std::string all = buffer_.substr(start_);
  buffer_.clear();
  start_ = 0;
  char chunk[65536];
  for (;;) {
    const ssize_t r = ::recv(fd_, chunk, sizeof chunk, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return all;
    all.append(chunk, static_cast<size_t>(r));
  }
}

nlohmann::json TRpcClient::Request(const std::string& method, const nlohmann::json& params) {
  const int64_t id = nextId_++;
  SendLine(nlohmann::json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}.dump());
  for (;;) {
    nlohmann::json j = nlohmann::json::parse(ReadLine());
    if (!IsNotification(j)) return j;
    notifications_.push_back(std::move(j));
  }
}

nlohmann::json TRpcClient::Call(const std::string& method, const nlohmann::json& params) {
  nlohmann::json a = Request(method, params);
  if (a.contains("error")) throw std::runtime_error(a["error"].value("message", "error"));
  return a["result"];
}

}  // namespace vexon
