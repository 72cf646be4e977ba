// Fan-out of the monitoring stream: TCP subscribers (vexon.subscribe) and
// SSE subscribers (GET /events) while a producer inside the server process
// appends monitoring events to the journal at a fixed rate. Reports whether
// every subscriber got every event, the latency from the journal append to
// the subscriber's read (median, 99th percentile), and the server's CPU per
// 1,000 events. The subscribers run in a child process (forked before the
// server starts any thread), so the CPU figure is the server's alone; the
// append times are shared with the child through shared memory. Also the
// memory of a full window of kept events.
//
//   stream_fanout_bench [TCP_SUBSCRIBERS] [SSE_SUBSCRIBERS] [EVENTS_PER_SECOND] [SECONDS]
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "automation/server_object.h"
#include "core/monitor.h"
#include "core/server_core.h"
#include "events/event_hub.h"
#include "rpc/stream_feed.h"
#include "rpc/transports.h"
#include "util/date_time.h"
#include "util/log.h"

using namespace vexon;

namespace {

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int Connect(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  return fd;
}

void SendAll(int fd, const std::string& s) {
  if (::send(fd, s.data(), s.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(s.size())) std::exit(1);
}

// One subscriber: reads until it has `total` events; the number of each is
// found after `marker` ("\"seq\":" or "id: monitoring:"). Returns sampled
// latencies (every 10th event) in microseconds; `ok` when every number came
// once, in order.
std::vector<double> Follow(int fd, const char* marker, uint64_t total, const int64_t* appended, bool& ok) {
  std::vector<double> lat;
  std::string buf;
  uint64_t expect = 1;
  char chunk[65536];
  const size_t mlen = std::strlen(marker);
  size_t scan = 0;
  while (expect <= total) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20000) <= 0) break;
    const ssize_t r = ::recv(fd, chunk, sizeof chunk, 0);
    if (r <= 0) break;
    const int64_t now = NowNs();
    buf.append(chunk, static_cast<size_t>(r));
    for (size_t at; (at = buf.find(marker, scan)) != std::string::npos;) {
      // The number must be whole: followed by something other than a digit.
      const size_t end = buf.find_first_not_of("0123456789", at + mlen);
      if (end == std::string::npos) break;
      const uint64_t seq = std::strtoull(buf.c_str() + at + mlen, nullptr, 10);
      if (seq != expect) {
        std::fprintf(stderr, "subscriber expected %llu, got %llu%s\n", static_cast<unsigned long long>(expect),
                     static_cast<unsigned long long>(seq), buf.find("event: gap") != std::string::npos ? " after a gap" : "");
        ok = false;
        return lat;
      }
      if (seq % 10 == 0) lat.push_back(static_cast<double>(now - appended[seq]) / 1000.0);
      ++expect;
      scan = at + mlen;
    }
    if (scan > 1 << 20) {
      buf.erase(0, scan);
      scan = 0;
    }
  }
  ok = expect == total + 1;
  return lat;
}

double Percentile(std::vector<double>& v, double q) {
  if (v.empty()) return 0;
  const size_t k = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

// Heap bytes of a full window of kept monitoring events.
size_t KeptWindowBytes(size_t keep) {
  const std::string text =
      R"({"Year":2026,"Month":12,"Day":8,"Hour":5,"Minute":51,"Second":45,"MakeAdr":564,"AdrAdd":1,"EventCode":1,)"
      R"("EventAdd":0,"CardID":1001,"FacilityCode":12,"Description":"Запрос на проход","Time":"2026-12-08T05:51:45.123"})";
  const size_t before = mallinfo2().uordblks;
  {
    TEventHub hub(keep, 1, 1);
    for (size_t i = 0; i < keep; ++i) hub.Publish(TStream::Monitoring, text);
    const size_t after = mallinfo2().uordblks;
    return after - before;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int tcpSubs = argc > 1 ? std::atoi(argv[1]) : 64;
  const int sseSubs = argc > 2 ? std::atoi(argv[2]) : 16;
  const int rate = argc > 3 ? std::atoi(argv[3]) : 5000;
  const double seconds = argc > 4 ? std::atof(argv[4]) : 60;
  const uint64_t total = static_cast<uint64_t>(rate * seconds);
  spdlog::set_level(spdlog::level::warn);

  auto* appended = static_cast<int64_t*>(::mmap(nullptr, (total + 2) * sizeof(int64_t), PROT_READ | PROT_WRITE,
                                                MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  auto* ports = static_cast<std::atomic<int>*>(
      ::mmap(nullptr, 2 * sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  new (&ports[0]) std::atomic<int>(0);
  new (&ports[1]) std::atomic<int>(0);
  int toChild[2];
  if (::pipe(toChild) != 0) return 1;

  const pid_t child = ::fork();
  if (child == 0) {
    // The subscribers.
    char c;
    if (::read(toChild[0], &c, 1) != 1) std::_Exit(1);
    std::vector<int> fds;
    for (int i = 0; i < tcpSubs; ++i) {
      const int fd = Connect(static_cast<uint16_t>(ports[0].load()));
      SendAll(fd, R"({"jsonrpc":"2.0","id":1,"method":"vexon.subscribe","params":{"streams":["monitoring"]}})" "\n");
      fds.push_back(fd);
    }
    for (int i = 0; i < sseSubs; ++i) {
      const int fd = Connect(static_cast<uint16_t>(ports[1].load()));
      SendAll(fd, "GET /events?streams=monitoring HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
      fds.push_back(fd);
    }
    std::vector<std::vector<double>> lat(fds.size());
    std::vector<char> ok(fds.size(), 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < fds.size(); ++i)
      threads.emplace_back([&, i] {
        bool good = false;
        lat[i] = Follow(fds[i], static_cast<int>(i) < tcpSubs ? "\"seq\":" : "id: monitoring:", total, appended, good);
        ok[i] = good;
      });
    for (auto& t : threads) t.join();
    std::vector<double> all;
    int complete = 0;
    for (size_t i = 0; i < fds.size(); ++i) {
      complete += ok[i];
      all.insert(all.end(), lat[i].begin(), lat[i].end());
    }
    std::printf("subscribers with every event, in order: %d of %zu\n", complete, fds.size());
    std::printf("latency append -> subscriber read: median %.0f us, p99 %.0f us, max %.0f us (%zu samples)\n",
                Percentile(all, 0.5), Percentile(all, 0.99), Percentile(all, 1.0), all.size());
    std::fflush(stdout);
    std::_Exit(complete == static_cast<int>(fds.size()) ? 0 : 3);
  }

  // The server.
  std::printf("kept window: %zu events of the monitoring stream take %.1f MB\n", TEventHub::kDefaultKeep,
              static_cast<double>(KeptWindowBytes(TEventHub::kDefaultKeep)) / 1e6);
  const auto dir = std::filesystem::temp_directory_path() / ("vexon-fanout-bench-" + std::to_string(::getpid()));
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
  TEventHub hub;
  FeedStreams(hub, core, journal);
  TRpcServer server(services);
  server.SetEventHub(&hub);
  std::string error;
  if (!server.ListenTcp("127.0.0.1:0", error) || !server.ListenHttp("127.0.0.1:0", error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  for (const auto& ep : server.Endpoints()) {
    const int port = std::atoi(ep.substr(ep.rfind(':') + 1).c_str());
    ports[ep.rfind("http", 0) == 0 ? 1 : 0] = port;
  }
  if (::write(toChild[1], "p", 1) != 1) return 1;
  // Every subscription in place before the first event.
  while (hub.Counters()[0].Subscribers < static_cast<uint64_t>(tcpSubs + sseSubs))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));

  rusage r0{};
  getrusage(RUSAGE_SELF, &r0);
  const int64_t start = NowNs();
  const int64_t period = 1000000;  // appends once a millisecond
  const double perTick = rate / 1000.0;
  double owed = 0;
  uint64_t seq = 0;
  for (int64_t tick = 0; seq < total; ++tick) {
    const int64_t due = start + tick * period;
    while (NowNs() < due) std::this_thread::sleep_for(std::chrono::microseconds(100));
    owed += perTick;
    TMJList batch;
    while (owed >= 1 && seq + batch.size() < total) {
      TMJItem e;
      e.Time = LocalNow();
      e.MakeAdr = 564;
      e.EventCode = 1;
      e.CardID = static_cast<uint16_t>((seq + batch.size()) % 60000);
      batch.push_back(e);
      owed -= 1;
    }
    for (size_t i = 0; i < batch.size(); ++i) appended[seq + 1 + i] = NowNs();
    journal.Publish(batch);
    seq += batch.size();
    // The producer stands in for the monitoring poll: the journal is also taken.
    TMonItem m;
    while (journal.GetMonEvent(m) == 0) {
    }
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  rusage r1{};
  getrusage(RUSAGE_SELF, &r1);
  const auto cpu = [](const rusage& r) {
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
  };
  const double secs = static_cast<double>(NowNs() - start) / 1e9;
  std::printf("%llu events in %.1f s to %d TCP and %d SSE subscribers; server CPU %.1f ms per 1,000 events "
              "(%.0f %% of one core)\n",
              static_cast<unsigned long long>(total), secs, tcpSubs, sseSubs,
              (cpu(r1) - cpu(r0)) * 1000.0 / (static_cast<double>(total) / 1000.0), (cpu(r1) - cpu(r0)) / secs * 100);
  server.Stop(std::chrono::milliseconds(0));
  std::filesystem::remove_all(dir);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
