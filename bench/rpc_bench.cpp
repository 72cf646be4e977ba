// sysvexon_GetCommandState over TCP on loopback, against a raw TCP echo
// server measured with the same client in the same run:
//  1. one client: round-trip latency (median, 99th percentile) of the same
//     request line sent to the echo server and to the RPC server, and their
//     ratio (target <= 1.5);
//  2. 8 clients at once: calls per second, echo and RPC;
//  both for a server without a token and for one that requires a token
//  (the connection's first line), so the cost of the checks can be read.
//  The three take turns in rounds; a rate is the median of its rounds.
//
//   rpc_bench [CALLS] [SECONDS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "automation/server_object.h"
#include "core/monitor.h"
#include "core/server_core.h"
#include "ctl/rpc_client.h"
#include "rpc/dispatcher.h"
#include "rpc/transports.h"
#include "util/log.h"

using namespace vexon;
using Clock = std::chrono::steady_clock;

namespace {

// A raw TCP echo server on loopback: every byte read is written back at
// once, one thread per connection (as the RPC server does).
class TEchoServer {
 public:
  TEchoServer() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_, 64) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      std::perror("echo server");
      std::exit(1);
    }
    port_ = ntohs(a.sin_port);
    accepter_ = std::thread([this] {
      for (;;) {
        const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> g(lock_);
        fds_.push_back(fd);
        workers_.emplace_back([fd] {
          char buf[65536];
          for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) return;
            for (ssize_t done = 0; done < n;) {
              const ssize_t w = ::write(fd, buf + done, static_cast<size_t>(n - done));
              if (w <= 0) return;
              done += w;
            }
          }
        });
      }
    });
  }
  ~TEchoServer() {
    ::shutdown(listen_, SHUT_RDWR);
    ::close(listen_);
    accepter_.join();
    std::lock_guard<std::mutex> g(lock_);
    for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    for (auto& t : workers_) t.join();
    for (int fd : fds_) ::close(fd);
  }
  std::string Endpoint() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int listen_ = -1;
  int port_ = 0;
  std::thread accepter_;
  std::mutex lock_;
  std::vector<int> fds_;
  std::vector<std::thread> workers_;
};

const std::string kRequest =
    R"({"jsonrpc":"2.0","id":1,"method":"sysvexon_GetCommandState","params":{"EventID":1}})";

// A connected client; `token` (when not empty) is presented first.
void Open(TRpcClient& c, const std::string& ep, const std::string& token) {
  c.Connect(ep);
  if (!token.empty()) c.SendLine(R"({"auth":")" + token + R"("})");
}

struct TLatency {
  double Median = 0, P99 = 0;
};

TLatency Summary(std::vector<double>& us) {
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

// `calls` round trips (the request line out, one line back) on an open
// client, each appended to `us`.
void Latency(TRpcClient& c, int calls, std::vector<double>& us) {
  for (int i = 0; i < calls; ++i) {
    const auto t0 = Clock::now();
    c.SendLine(kRequest);
    c.ReadLine();
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
}

void WarmUp(TRpcClient& c, bool checkAnswer) {
  for (int i = 0; i < 1000; ++i) {
    c.SendLine(kRequest);
    const std::string line = c.ReadLine();
    if (checkAnswer && line.find("\"result\"") == std::string::npos) {
      std::fprintf(stderr, "unexpected answer: %s\n", line.c_str());
      std::exit(1);
    }
  }
}

double ThreadCpuUs() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// The dispatcher alone on the request line, no socket: the share of a
// round trip spent parsing, carrying out and answering. In CPU time of
// the thread, so that other processes on the machine do not count.
double DispatchOnly(TServices& services, int calls) {
  TRpcDispatcher dispatcher(services);
  size_t bytes = 0;
  for (int i = 0; i < 1000; ++i) bytes += dispatcher.Handle(kRequest)->size();
  const double t0 = ThreadCpuUs();
  for (int i = 0; i < calls; ++i) bytes += dispatcher.Handle(kRequest)->size();
  const double us = (ThreadCpuUs() - t0) / calls;
  if (bytes == 0) std::exit(1);
  return us;
}

double Throughput(const std::string& ep, const std::string& token, int clients, double seconds) {
  std::atomic<int64_t> done{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c)
    threads.emplace_back([&] {
      TRpcClient cl;
      Open(cl, ep, token);
      while (!stop) {
        cl.SendLine(kRequest);
        cl.ReadLine();
        ++done;
      }
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const int64_t start = done;
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const int64_t count = done - start;
  const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  stop = true;
  for (auto& t : threads) t.join();
  return static_cast<double>(count) / secs;
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 20000;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
  spdlog::set_level(spdlog::level::warn);
  const auto dir = std::filesystem::temp_directory_path() / ("vexon-rpc-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  THeadlessDisplay display;
  TServerConfig cfg;
  cfg.DataDir = dir.string();
  TServerCore core(SystemClock(), display, cfg);
  core.LoadAndCreate();
  TMonJournal journal;
  journal.Create();
  TMonitor monitor(core, journal);
  TCalendarBuffer calendar;
  TServices services{core, monitor, journal, calendar};

  const std::string token = "bench-token-0123456789abcdef0123456789abcdef";
  TRpcServer open(services);
  TRpcOptions withToken;
  withToken.Token = token;
  TRpcServer guarded(services, withToken);
  std::string error;
  if (!open.ListenTcp("127.0.0.1:0", error) || !guarded.ListenTcp("127.0.0.1:0", error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const std::string openEp = open.Endpoints().front().substr(4);
  const std::string guardedEp = guarded.Endpoints().front().substr(4);
  TEchoServer echo;

  constexpr int kClients = 8;
  constexpr int kRounds = 6;
  // The three servers take turns in short rounds, so that a change of the
  // machine's load hits every figure alike; rates are the median of the
  // rounds, latencies are pooled.
  struct TTarget {
    std::string Ep, Token;
    bool Rpc;
    TRpcClient Client;
    std::vector<double> Us;
    std::vector<double> Rates;
  };
  TTarget targets[3] = {{echo.Endpoint(), "", false, {}, {}, {}},
                        {openEp, "", true, {}, {}, {}},
                        {guardedEp, token, true, {}, {}, {}}};
  for (auto& t : targets) {
    Open(t.Client, t.Ep, t.Token);
    WarmUp(t.Client, t.Rpc);
    t.Us.reserve(static_cast<size_t>(calls));
  }
  for (int round = 0; round < kRounds; ++round) {
    for (auto& t : targets) Latency(t.Client, calls / kRounds, t.Us);
    for (auto& t : targets) t.Rates.push_back(Throughput(t.Ep, t.Token, kClients, seconds / kRounds));
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  const TLatency echoLat = Summary(targets[0].Us), openLat = Summary(targets[1].Us),
                 guardedLat = Summary(targets[2].Us);
  const double echoRate = median(targets[0].Rates), openRate = median(targets[1].Rates),
               guardedRate = median(targets[2].Rates);
  for (auto& t : targets) t.Client.Close();
  const double dispatchUs = DispatchOnly(services, calls);

  std::printf("request line: %zu bytes; %d calls per latency figure, %d clients for %.1f s per rate, in %d rounds\n",
              kRequest.size() + 1, calls, kClients, seconds, kRounds);
  std::printf("%-22s %12s %12s %14s %14s\n", "", "median us", "p99 us", "ratio to echo", "calls/s (8)");
  std::printf("%-22s %12.1f %12.1f %14s %14.0f\n", "raw TCP echo", echoLat.Median, echoLat.P99, "1.00", echoRate);
  std::printf("%-22s %12.1f %12.1f %14.2f %14.0f\n", "RPC, no token", openLat.Median, openLat.P99,
              openLat.Median / echoLat.Median, openRate);
  std::printf("%-22s %12.1f %12.1f %14.2f %14.0f\n", "RPC, token", guardedLat.Median, guardedLat.P99,
              guardedLat.Median / echoLat.Median, guardedRate);
  std::printf("dispatcher alone (no socket): %.2f us of CPU per call\n", dispatchUs);
  std::printf("round-trip ratio (no token) %.2f (target <= 1.50): %s\n", openLat.Median / echoLat.Median,
              openLat.Median / echoLat.Median <= 1.5 ? "met" : "NOT MET");
  open.Stop();
  guarded.Stop();
  core.SaveAndFree();
  std::filesystem::remove_all(dir);
  return 0;
}
