// The RPC server when the system says no: an allocation that fails while a
// request is read or carried out, a connection thread that cannot be
// created, and the keep-alive settings that let accepted TCP connections
// find a dead peer.
//
// This binary replaces the global operator new and pthread_create so that
// a test can make them fail on demand; that is why these tests live apart
// from rpc_test.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include <nlohmann/json.hpp>

#include "rpc/dispatcher.h"
#include "rpc/transports.h"
#include "rpc_server_fixture.h"

namespace {

// The next allocation of at least `failAllocationsFrom` bytes fails (once:
// a failed allocation, not a machine that stays out of memory; the JSON
// library's destructor itself allocates while it unwinds a large array).
std::atomic<size_t> failAllocationsFrom{0};
std::atomic<int> allocationFailuresLeft{0};
// Threads started while `tagNewThreads` is set (a server's accepting
// threads) are marked; allocations on marked threads count this down, and
// the one that brings it from 1 to 0 fails. Only those threads: every
// allocation the JSON library makes to destroy a value would otherwise be
// a candidate, and a failure there ends any program that uses it.
std::atomic<bool> tagNewThreads{false};
thread_local bool taggedThread = false;
std::atomic<int> taggedCountdown{0};
// The next this many thread creations fail with EAGAIN.
std::atomic<int> failThreadCreations{0};

bool TakeOne(std::atomic<int>& left) {
  for (int n = left.load(); n > 0;)
    if (left.compare_exchange_weak(n, n - 1)) return true;
  return false;
}

bool CountDownToFailure() {
  for (int n = taggedCountdown.load(std::memory_order_relaxed); n > 0;)
    if (taggedCountdown.compare_exchange_weak(n, n - 1)) return n == 1;
  return false;
}

void* Allocate(size_t n) {
  const size_t limit = failAllocationsFrom.load(std::memory_order_relaxed);
  if (limit != 0 && n >= limit && TakeOne(allocationFailuresLeft)) throw std::bad_alloc();
  if (taggedThread && CountDownToFailure()) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}

// Arms one allocation failure for the life of the object.
struct TFailAllocations {
  explicit TFailAllocations(size_t from) {
    allocationFailuresLeft = 1;
    failAllocationsFrom = from;
  }
  ~TFailAllocations() {
    failAllocationsFrom = 0;
    allocationFailuresLeft = 0;
  }
  static bool Happened() { return allocationFailuresLeft.load() == 0; }
};

}  // namespace

void* operator new(size_t n) { return Allocate(n); }
void* operator new[](size_t n) { return Allocate(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  try {
    return Allocate(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
  try {
    return Allocate(n);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {
struct TStart {
  void* (*Start)(void*);
  void* Arg;
};
void* StartTagged(void* p) {
  const TStart s = *static_cast<TStart*>(p);
  std::free(p);
  taggedThread = true;
  return s.Start(s.Arg);
}
}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
  using TCreate = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto real = reinterpret_cast<TCreate>(::dlsym(RTLD_NEXT, "pthread_create"));
  if (real == nullptr) std::abort();
  if (TakeOne(failThreadCreations)) return EAGAIN;
  if (!tagNewThreads.load()) return real(thread, attr, start, arg);
  auto* s = static_cast<TStart*>(std::malloc(sizeof(TStart)));
  if (s == nullptr) return EAGAIN;
  *s = {start, arg};
  const int rc = real(thread, attr, StartTagged, s);
  if (rc != 0) std::free(s);
  return rc;
}

using namespace vexon;
using nlohmann::json;

namespace {

int ConnectTcp(const std::string& endpoint) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(std::stoi(endpoint.substr(endpoint.rfind(':') + 1))));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  timeval tv{30, 0};  // a test that goes wrong fails instead of hanging
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

bool SendAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Everything up to the first newline, or what came before the peer closed.
std::string ReadLineFrom(int fd) {
  std::string line;
  char c;
  while (::recv(fd, &c, 1, 0) == 1 && c != '\n') line += c;
  return line;
}

int LocalPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  return ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 && a.sin_family == AF_INET ? ntohs(a.sin_port)
                                                                                                : -1;
}

int PeerPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  return ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 && a.sin_family == AF_INET ? ntohs(a.sin_port)
                                                                                                : -1;
}

// The server's end of the client connection `client`: the descriptor in
// this process whose peer is the client's local port. -1 if not (yet) there.
int ServerEndOf(int client) {
  const int clientPort = LocalPort(client), serverPort = PeerPort(client);
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    if (fd != client && LocalPort(fd) == serverPort && PeerPort(fd) == clientPort) return fd;
  }
  return -1;
}

int IntOption(int fd, int level, int name) {
  int v = -1;
  socklen_t len = sizeof v;
  return ::getsockopt(fd, level, name, &v, &len) == 0 ? v : -1;
}

class RpcFailureTest : public vexon::testing::TRpcServerFixture {
 protected:
  size_t Queued() { return core_.Requests.RequestCount(); }
};

const std::string kStateRequest = R"({"jsonrpc":"2.0","id":5,"method":"sysvexon_GetServerState"})";

// A plain array of `n` zeros as JSON text.
std::string Zeros(size_t n) {
  std::string out = "[";
  for (size_t i = 0; i < n; ++i) out += i == 0 ? "0" : ",0";
  return out + "]";
}

}  // namespace

// The harness itself: without working interposition the tests below would
// prove nothing.
TEST(FailureInjection, AllocationsAndThreadCreationFailOnDemand) {
  {
    TFailAllocations armed(1 << 20);
    EXPECT_NO_THROW(std::string(1000, 'x'));
    EXPECT_FALSE(TFailAllocations::Happened());
    EXPECT_THROW(std::string(2 << 20, 'x'), std::bad_alloc);
    EXPECT_TRUE(TFailAllocations::Happened());
    EXPECT_NO_THROW(std::string(2 << 20, 'x')) << "one failure, then allocations succeed again";
  }
  EXPECT_NO_THROW(std::string(2 << 20, 'x'));
  failThreadCreations = 1;
  EXPECT_THROW(std::thread([] {}).join(), std::system_error);
  EXPECT_EQ(failThreadCreations.load(), 0);
  EXPECT_NO_THROW(std::thread([] {}).join());
}

// Reading a request whose parse needs a large block (an array of 100,000
// numbers): the allocation fails, the client gets -32603, and the same
// connection and the server go on.
TEST_F(RpcFailureTest, AnAllocationThatFailsWhileReadingARequestAnswersInternalError) {
  TRpcServer server(services_);
  std::string error;
  ASSERT_TRUE(server.ListenTcp("127.0.0.1:0", error)) << error;
  const std::string endpoint = server.Endpoints().front().substr(4);
  const int fd = ConnectTcp(endpoint);
  ASSERT_GE(fd, 0);
  const std::string big = R"({"jsonrpc":"2.0","id":9,"method":"sysvexon_GetCommandState","params":{"EventID":)" +
                          Zeros(100000) + "}}";
  ASSERT_LT(big.size(), size_t{256 * 1024}) << "the text itself stays below the failing size";
  std::string answer;
  {
    TFailAllocations armed(1 << 20);
    ASSERT_TRUE(SendAll(fd, big + "\n"));
    answer = ReadLineFrom(fd);
    EXPECT_TRUE(TFailAllocations::Happened());
  }
  const json a = json::parse(answer, nullptr, false);
  ASSERT_TRUE(a.is_object()) << answer;
  EXPECT_EQ(a["error"]["code"], -32603) << answer;
  EXPECT_NE(a["error"]["message"].get<std::string>().find("out of memory"), std::string::npos) << answer;

  ASSERT_TRUE(SendAll(fd, kStateRequest + "\n"));
  const json next = json::parse(ReadLineFrom(fd), nullptr, false);
  EXPECT_EQ(next.value("id", 0), 5);
  EXPECT_TRUE(next.contains("result")) << next.dump();
  const int other = ConnectTcp(endpoint);
  ASSERT_GE(other, 0);
  ASSERT_TRUE(SendAll(other, kStateRequest + "\n"));
  EXPECT_TRUE(json::parse(ReadLineFrom(other), nullptr, false).contains("result"));
  EXPECT_EQ(server.Connections(), 2);
  ::close(fd);
  ::close(other);
  server.Stop();
}

// Carrying out a call whose argument conversion needs a large block (a
// variant array of 10,000 elements, a few hundred KB as JSON): -32603 for
// that call, nothing queued, and the other entries of the batch are
// answered as usual.
TEST_F(RpcFailureTest, AnAllocationThatFailsWhileCarryingOutACallAnswersInternalErrorForThatCall) {
  TRpcDispatcher dispatcher(services_);
  const std::string cards = R"({"jsonrpc":"2.0","id":1,"method":"sysvexon_SendDeviceCardList","params":)"
                            R"({"AMakeAdr":1,"ACards":)" +
                            Zeros(10000) + "}}";
  std::optional<std::string> out;
  {
    TFailAllocations armed(1 << 20);
    out = dispatcher.Handle("[" + cards + "," + kStateRequest + "]");
    EXPECT_TRUE(TFailAllocations::Happened());
  }
  ASSERT_TRUE(out);
  const json batch = json::parse(*out, nullptr, false);
  ASSERT_TRUE(batch.is_array()) << *out;
  ASSERT_EQ(batch.size(), 2u) << *out;
  EXPECT_EQ(batch[0]["id"], 1);
  EXPECT_EQ(batch[0]["error"]["code"], -32603) << *out;
  EXPECT_NE(batch[0]["error"]["message"].get<std::string>().find("out of memory"), std::string::npos) << *out;
  EXPECT_EQ(batch[1]["id"], 5);
  EXPECT_TRUE(batch[1].contains("result")) << *out;
  EXPECT_EQ(Queued(), 0u) << "a call that failed for memory carried nothing out";
}

// A connection whose thread cannot be created is closed and counted out;
// with a limit of one connection, the next client is served.
TEST_F(RpcFailureTest, AConnectionWhoseThreadCannotBeCreatedIsClosedAndCountedOut) {
  TRpcOptions options;
  options.MaxConnections = 1;
  TRpcServer server(services_, options);
  std::string error;
  ASSERT_TRUE(server.ListenTcp("127.0.0.1:0", error)) << error;
  const std::string endpoint = server.Endpoints().front().substr(4);

  failThreadCreations = 1;
  const int first = ConnectTcp(endpoint);
  ASSERT_GE(first, 0);
  char c;
  EXPECT_EQ(::recv(first, &c, 1, 0), 0) << "the connection without a thread is closed";
  EXPECT_EQ(failThreadCreations.load(), 0) << "the connection's thread was the one refused";
  ::close(first);

  const int second = ConnectTcp(endpoint);
  ASSERT_GE(second, 0);
  ASSERT_TRUE(SendAll(second, kStateRequest + "\n"));
  const json a = json::parse(ReadLineFrom(second), nullptr, false);
  EXPECT_TRUE(a.contains("result")) << "served, not refused at the limit: " << a.dump();
  EXPECT_EQ(server.Connections(), 1);
  ::close(second);
  server.Stop();
}

// A listener whose accepting thread cannot be started is an error the
// caller reports (the server refuses to start with it), not an ended
// process; nothing is left listed, and a later try listens and serves.
TEST_F(RpcFailureTest, AListenerWhoseThreadCannotBeStartedIsAnError) {
  TRpcServer server(services_);
  const std::string path = dir_ + "/rpc.sock";
  for (const std::string kind : {"tcp", "http", "unix"}) {
    std::string error;
    failThreadCreations = 1;
    const bool listening = kind == "tcp"    ? server.ListenTcp("127.0.0.1:0", error)
                           : kind == "http" ? server.ListenHttp("127.0.0.1:0", error)
                                            : server.ListenUnix(path, error);
    EXPECT_FALSE(listening) << kind;
    EXPECT_NE(error.find("cannot listen on"), std::string::npos) << kind << ": " << error;
    EXPECT_EQ(failThreadCreations.exchange(0), 0) << kind << ": the accepting thread was the one refused";
  }
  EXPECT_TRUE(server.Endpoints().empty());
  std::string error;
  ASSERT_TRUE(server.ListenTcp("127.0.0.1:0", error)) << error;
  ASSERT_TRUE(server.ListenUnix(path, error)) << "the file the failed try left is replaced: " << error;
  const int client = ConnectTcp(server.Endpoints().front().substr(4));
  ASSERT_GE(client, 0);
  ASSERT_TRUE(SendAll(client, kStateRequest + "\n"));
  EXPECT_NE(ReadLineFrom(client).find(R"("result")"), std::string::npos);
  ::close(client);
  server.Stop();
}

// The first, second, ... allocation the accepting thread makes for a new
// client fails, one per client: wherever it falls (registering the socket,
// taking a slot, the connection's record, its thread), it costs that
// connection alone, closed unserved. The server gives every slot back,
// serves the next client, and its stop does not wait for a lost slot.
// (Failures on the connection's own thread are the tests above.)
TEST_F(RpcFailureTest, AnAllocationThatFailsWhileTakingAConnectionCostsThatConnectionAlone) {
  TRpcOptions options;
  options.MaxConnections = 2;
  TRpcServer server(services_, options);
  std::string error;
  tagNewThreads = true;
  const bool listening = server.ListenTcp("127.0.0.1:0", error);
  tagNewThreads = false;
  ASSERT_TRUE(listening) << error;
  const std::string endpoint = server.Endpoints().front().substr(4);
  const auto allClosed = [&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (server.Connections() != 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return server.Connections() == 0;
  };
  // Rounds: the first allocation with no connection yet (registering the
  // socket), then the first, second, ... with the socket's record reused
  // from the earlier connections (taking a slot comes first).
  int failures = 0;
  for (int round = 0; round <= 40; ++round) {
    const int n = round == 0 ? 1 : round;
    taggedCountdown = n;
    const int client = ConnectTcp(endpoint);
    ASSERT_GE(client, 0);
    SendAll(client, kStateRequest + "\n");  // may find the connection already closed
    const std::string answer = ReadLineFrom(client);
    const bool failed = taggedCountdown.exchange(0) == 0;
    ::close(client);
    if (!failed) {
      EXPECT_NE(answer.find(R"("result")"), std::string::npos) << answer;
      break;  // taking this connection made fewer than n allocations
    }
    ++failures;
    EXPECT_EQ(answer, "") << "round " << round << ": the connection is closed unserved";
    ASSERT_TRUE(allClosed()) << "round " << round << ": a slot was never given back";
    const int next = ConnectTcp(endpoint);
    ASSERT_GE(next, 0);
    ASSERT_TRUE(SendAll(next, kStateRequest + "\n"));
    const json a = json::parse(ReadLineFrom(next), nullptr, false);
    EXPECT_TRUE(a.contains("result")) << "after round " << round << ": " << a.dump();
    ::close(next);
    ASSERT_TRUE(allClosed());
  }
  EXPECT_GE(failures, 4) << "registering, the slot, the connection's record and its thread each allocate";
  auto stopped = std::async(std::launch::async, [&] { server.Stop(std::chrono::seconds(5)); });
  const bool prompt = stopped.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  EXPECT_TRUE(prompt) << "the stop waits for a slot that was never given back";
  if (!prompt) server.EndGrace();
}

// Accepted TCP connections, line and HTTP, probe an idle peer after 60 s,
// every 10 s, 6 times: a peer that went away is found in two minutes.
TEST_F(RpcFailureTest, AcceptedTcpConnectionsUseKeepAliveOnBothTransports) {
  TRpcServer server(services_);
  std::string error;
  ASSERT_TRUE(server.ListenTcp("127.0.0.1:0", error)) << error;
  ASSERT_TRUE(server.ListenHttp("127.0.0.1:0", error)) << error;
  ASSERT_EQ(server.Endpoints().size(), 2u);
  for (const std::string& endpoint : server.Endpoints()) {
    const bool http = endpoint.rfind("http ", 0) == 0;
    std::string address = endpoint.substr(endpoint.find(' ') + 1);
    address = address.substr(0, address.find('/'));
    const int client = ConnectTcp(address);
    ASSERT_GE(client, 0) << endpoint;
    // Any answer shows the connection's thread has set its options.
    const std::string request =
        http ? "GET /nothing HTTP/1.1\r\nHost: " + address + "\r\n\r\n" : kStateRequest + "\n";
    ASSERT_TRUE(SendAll(client, request));
    EXPECT_FALSE(ReadLineFrom(client).empty()) << endpoint;
    const int end = ServerEndOf(client);
    ASSERT_GE(end, 0) << endpoint << ": the server's end of the connection not found";
    EXPECT_EQ(IntOption(end, SOL_SOCKET, SO_KEEPALIVE), 1) << endpoint;
    EXPECT_EQ(IntOption(end, IPPROTO_TCP, TCP_KEEPIDLE), 60) << endpoint;
    EXPECT_EQ(IntOption(end, IPPROTO_TCP, TCP_KEEPINTVL), 10) << endpoint;
    EXPECT_EQ(IntOption(end, IPPROTO_TCP, TCP_KEEPCNT), 6) << endpoint;
    ::close(client);
  }
  server.Stop();
}
