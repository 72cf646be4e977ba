// Fan-out of the monitoring stream: TCP subscribers (vexon.subscribe) and
// SSE subscribers (GET /events) while a producer inside the server process
// appends monitoring events to the journal at a fixed rate, and the
// communication thread polls a simulated network at 9600 baud with
// monitoring on.
//
// Three phases, one run:
//   A. the line alone (no producer, no subscriber);
//   B. the producer, no subscriber;
//   C. the producer and every subscriber.
// Reports for each phase the communication thread's mean cycle time and the
// server's CPU; for C whether every subscriber got every event once, in
// order, without a gap, and the latency from the journal append to the
// subscriber's read (median, 99th percentile). Also the memory of a full
// window of kept events.
//
// Three processes: the server (core, communication thread, RPC, producer),
// the simulator (its own process, so its CPU is not the server's) and the
// subscribers (two reading threads over all their sockets). Both children
// are forked before the server starts any thread; the append times are
// shared through shared memory, indexed by a number each producer event
// carries in its card fields.
//
//   stream_fanout_bench [TCP_SUBSCRIBERS] [SSE_SUBSCRIBERS] [EVENTS_PER_SECOND] [SECONDS]
//                       [--appends-on-line-thread]
//
// By default the producer appends a batch once a millisecond on its own
// thread. With --appends-on-line-thread it hands its batches to the
// communication thread, which appends them after each monitoring poll, as
// the poll appends what it read: the appends and the fan-out they start
// then count in the thread's cycle.
// SECONDS is phase C; A and B last a third of it each, at least 10 s.
#include <malloc.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_socket.h"
#include "core/device_thread.h"
#include "core/executor.h"
#include "core/monitor.h"
#include "core/server_core.h"
#include "events/event_hub.h"
#include "rpc/stream_feed.h"
#include "rpc/transports.h"
#include "sim/simulator.h"
#include "util/date_time.h"
#include "util/log.h"

using namespace vexon;
using namespace vexon::bench;

namespace {

// Producer events carry this controller address, and their number in
// FacilityCode * 65536 + CardID.
constexpr uint16_t kProducerMakeAdr = 65000;

// What the three processes share.
struct TShared {
  std::atomic<int> TcpPort{0}, HttpPort{0};
  std::atomic<int64_t> FirstIndex{0};  // the first producer event of phase C
  std::atomic<int64_t> LastIndex{-1};  // the last one, once the producer is done
  char SlavePath[256] = {};
};

// One subscriber's reading state.
struct TReader {
  int Fd = -1;
  bool Sse = false;
  std::string Buf;
  uint64_t NextSeq = 0;     // 0 until the first event
  int64_t NextIndex = -1;   // the producer event expected next
  uint64_t Others = 0;      // events not from the producer (the line's own)
  bool Failed = false;
  bool Done = false;
  std::vector<double> Lat;  // microseconds, every 10th producer event
};

// The number after `key`, looked for from `from` on (moved past it); -1
// when absent.
int64_t FieldAfter(std::string_view msg, std::string_view key, size_t& from) {
  const size_t at = msg.find(key, from);
  if (at == std::string_view::npos) return -1;
  from = at + key.size();
  int64_t n = 0;
  bool any = false;
  for (; from < msg.size() && msg[from] >= '0' && msg[from] <= '9'; ++from, any = true) n = n * 10 + (msg[from] - '0');
  return any ? n : -1;
}

// One whole message (a TCP line, an SSE block): checks its numbers. The
// fields are looked for in the order the server writes them (the event's
// keys sorted), so a message is scanned once.
void Take(TReader& r, std::string_view msg, int64_t now, const TShared& sh, const int64_t* appended) {
  // A gap notice: "...{"subscription":S,"gap":{...}}}" or "event: gap".
  if (r.Sse ? msg.substr(0, 10) == "event: gap" : msg.substr(0, 120).find("\"gap\"") != std::string_view::npos) {
    std::fprintf(stderr, "subscriber got a gap: %.*s\n", static_cast<int>(msg.size()), msg.data());
    r.Failed = true;
    return;
  }
  size_t at = 0;
  const int64_t seq = FieldAfter(msg, r.Sse ? "id: monitoring:" : "\"seq\":", at);
  if (seq < 0) return;  // the subscribe answer, the SSE hello
  if (r.NextSeq != 0 && static_cast<uint64_t>(seq) != r.NextSeq) {
    std::fprintf(stderr, "subscriber expected event %llu, got %lld\n", static_cast<unsigned long long>(r.NextSeq),
                 static_cast<long long>(seq));
    r.Failed = true;
    return;
  }
  r.NextSeq = static_cast<uint64_t>(seq) + 1;
  const int64_t card = FieldAfter(msg, "\"CardID\":", at);
  const int64_t facility = FieldAfter(msg, "\"FacilityCode\":", at);
  if (FieldAfter(msg, "\"MakeAdr\":", at) != kProducerMakeAdr) {
    ++r.Others;
    return;
  }
  const int64_t index = facility * 65536 + card;
  if (r.NextIndex < 0) r.NextIndex = sh.FirstIndex.load();
  if (card < 0 || facility < 0 || index != r.NextIndex) {
    std::fprintf(stderr, "subscriber expected producer event %lld, got %lld\n", static_cast<long long>(r.NextIndex),
                 static_cast<long long>(index));
    r.Failed = true;
    return;
  }
  if (index % 10 == 0) r.Lat.push_back(static_cast<double>(now - appended[index]) / 1000.0);
  ++r.NextIndex;
}

// Reads the subscribers in `rs` until each has had the last producer event
// or failed, or nothing came for 20 s.
void ReadAll(std::vector<TReader*> rs, const TShared& sh, const int64_t* appended) {
  std::vector<char> chunk(1 << 16);
  int64_t lastData = NowNs();
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<TReader*> live;
    const int64_t last = sh.LastIndex.load();
    for (TReader* r : rs) {
      if (!r->Failed && last >= 0 && r->NextIndex > last) r->Done = true;
      if (r->Failed || r->Done) continue;
      fds.push_back({r->Fd, POLLIN, 0});
      live.push_back(r);
    }
    if (live.empty()) return;
    if (::poll(fds.data(), fds.size(), 200) < 0) return;
    if (NowNs() - lastData > 20'000'000'000) {
      for (TReader* r : live) r->Failed = true;
      std::fprintf(stderr, "subscribers: nothing for 20 s\n");
      return;
    }
    for (size_t i = 0; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      TReader& r = *live[i];
      const ssize_t n = ::recv(r.Fd, chunk.data(), chunk.size(), 0);
      const int64_t now = NowNs();
      if (n <= 0) {
        std::fprintf(stderr, "subscriber connection closed\n");
        r.Failed = true;
        continue;
      }
      lastData = now;
      r.Buf.append(chunk.data(), static_cast<size_t>(n));
      const char* sep = r.Sse ? "\n\n" : "\n";
      const size_t sepLen = std::strlen(sep);
      size_t from = 0;
      for (size_t end; !r.Failed && (end = r.Buf.find(sep, from)) != std::string::npos; from = end + sepLen)
        Take(r, std::string_view(r.Buf).substr(from, end - from), now, sh, appended);
      r.Buf.erase(0, from);
    }
  }
}

int RunSubscribers(int tcpSubs, int sseSubs, int startFd, TShared& sh, const int64_t* appended) {
  char c;
  if (::read(startFd, &c, 1) != 1) return 1;
  std::vector<TReader> readers(static_cast<size_t>(tcpSubs + sseSubs));
  for (size_t i = 0; i < readers.size(); ++i) {
    TReader& r = readers[i];
    r.Sse = static_cast<int>(i) >= tcpSubs;
    r.Fd = ConnectLoopback(static_cast<uint16_t>(r.Sse ? sh.HttpPort.load() : sh.TcpPort.load()));
    SendAll(r.Fd, r.Sse ? "GET /events?streams=monitoring HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                        : R"({"jsonrpc":"2.0","id":1,"method":"vexon.subscribe","params":{"streams":["monitoring"]}})"
                          "\n");
  }
  // Two reading threads, one per core of the machine this was made for.
  std::vector<TReader*> halves[2];
  for (size_t i = 0; i < readers.size(); ++i) halves[i % 2].push_back(&readers[i]);
  std::thread other([&] { ReadAll(halves[1], sh, appended); });
  ReadAll(halves[0], sh, appended);
  other.join();
  std::vector<double> all;
  int complete = 0;
  uint64_t others = 0;
  for (auto& r : readers) {
    complete += r.Done && !r.Failed;
    others += r.Others;
    all.insert(all.end(), r.Lat.begin(), r.Lat.end());
  }
  std::printf("C: subscribers with every producer event once, in order, no gap: %d of %zu "
              "(%llu other events between them, the line's own)\n",
              complete, readers.size(), static_cast<unsigned long long>(others));
  std::printf("C: latency journal append -> subscriber read: median %.0f us, p99 %.0f us, max %.0f us "
              "(%zu samples)\n",
              Percentile(all, 0.5), Percentile(all, 0.99), Percentile(all, 1.0), all.size());
  std::fflush(stdout);
  return complete == static_cast<int>(readers.size()) ? 0 : 3;
}

int RunSimulator(int quitFd, TShared& sh) {
  sim::TSimOptions opt;
  opt.Pacing = true;
  opt.RealTime = true;  // as vexon-sim runs by default
  sim::TSimulator simulator(sim::TSimNetwork::Default(), opt);
  if (!simulator.Start()) return 1;
  std::snprintf(sh.SlavePath, sizeof sh.SlavePath, "%s", simulator.SlavePath().c_str());
  char c;
  while (::read(quitFd, &c, 1) < 0 && errno == EINTR) {
  }
  simulator.Stop();
  return 0;
}

// Heap bytes of a full window of kept monitoring events.
size_t KeptWindowBytes(size_t keep) {
  const std::string text =
      R"({"AdrAdd":1,"CardID":1001,"Day":8,"Description":"Запрос на проход","EventAdd":0,"EventCode":1,)"
      R"("FacilityCode":12,"Hour":5,"MakeAdr":564,"Minute":51,"Month":12,"Second":45,"Time":"2026-12-08T05:51:45.123",)"
      R"("Year":2026})";
  const size_t before = mallinfo2().uordblks;
  TEventHub hub(keep, 1, 1);
  for (size_t i = 0; i < keep; ++i) hub.Publish(TStream::Monitoring, text);
  return mallinfo2().uordblks - before;
}

// The journal appends of the producer, timed: on the producer's own thread
// (Append), or handed to the communication thread (Hand), which appends them
// after each monitoring poll as the poll appends what it read. Each event is
// stamped in `appended` just before its append.
class TAppender final : public TCyclePoll {
 public:
  TAppender(TMonitor& m, TMonJournal& j, int64_t* appended) : monitor_(m), journal_(j), appended_(appended) {}
  bool Poll() override {
    const bool used = monitor_.Poll();
    TMJList batch;
    int64_t first = 0;
    {
      std::lock_guard<std::mutex> g(lock_);
      batch.swap(pending_);
      first = pendingFirst_;
    }
    if (!batch.empty()) Append(batch, first);
    return used;
  }
  bool Active() const override { return monitor_.Active(); }
  void Append(const TMJList& batch, int64_t first) {
    const int64_t now = NowNs();
    for (size_t i = 0; i < batch.size(); ++i) appended_[first + static_cast<int64_t>(i)] = now;
    journal_.Publish(batch);
    appendNs_ += NowNs() - now;
    done_ = first + static_cast<int64_t>(batch.size());
  }
  // Waits until every event before `index` is in the journal.
  void WaitAppended(int64_t index) const {
    while (done_.load() < index) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void Hand(const TMJList& batch, int64_t first) {
    std::lock_guard<std::mutex> g(lock_);
    if (pending_.empty()) pendingFirst_ = first;
    pending_.insert(pending_.end(), batch.begin(), batch.end());
  }
  // Time spent in the journal's appends (and the fan-out they do) so far.
  int64_t AppendNs() const { return appendNs_.load(); }

 private:
  TMonitor& monitor_;
  TMonJournal& journal_;
  int64_t* appended_;
  std::mutex lock_;
  TMJList pending_;
  int64_t pendingFirst_ = 0;
  std::atomic<int64_t> appendNs_{0};
  std::atomic<int64_t> done_{0};
};

double CpuSeconds() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

struct TPhase {
  double Seconds = 0, Cpu = 0, AppendMs = 0;
  uint64_t Cycles = 0, Events = 0;
  double CycleMs() const { return Cycles ? Seconds * 1000.0 / static_cast<double>(Cycles) : 0; }
};

// Makes `rate` events a second for `seconds` in batches once a millisecond
// and appends each batch (or hands it to the communication thread), and
// takes whatever the journal holds (standing in for the site's client).
void Produce(TAppender& appender, bool onLine, TMonJournal& journal, int rate, double seconds, int64_t& index,
             int64_t limit) {
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  const int64_t ticks = static_cast<int64_t>(seconds * 1000);
  const double perTick = rate / 1000.0;
  double owed = 0;
  for (int64_t tick = 0; tick < ticks && index < limit; ++tick) {
    next.tv_nsec += 1000000;
    if (next.tv_nsec >= 1000000000) {
      next.tv_nsec -= 1000000000;
      ++next.tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    owed += perTick;
    TMJList batch;
    for (; owed >= 1 && index + static_cast<int64_t>(batch.size()) < limit; owed -= 1) {
      const int64_t n = index + static_cast<int64_t>(batch.size());
      TMJItem e;
      e.Time = LocalNow();
      e.MakeAdr = kProducerMakeAdr;
      e.EventCode = 1;
      e.CardID = static_cast<uint16_t>(n % 65536);
      e.FacilityCode = static_cast<uint8_t>(n / 65536);
      batch.push_back(e);
    }
    if (onLine)
      appender.Hand(batch, index);
    else
      appender.Append(batch, index);
    index += static_cast<int64_t>(batch.size());
    TMonItem m;
    while (journal.GetMonEvent(m) == 0) {
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int tcpSubs = argc > 1 ? std::atoi(argv[1]) : 64;
  const int sseSubs = argc > 2 ? std::atoi(argv[2]) : 16;
  const int rate = argc > 3 ? std::atoi(argv[3]) : 5000;
  const double seconds = argc > 4 ? std::atof(argv[4]) : 60;
  const bool onLine = argc > 5 && std::string(argv[5]) == "--appends-on-line-thread";
  const double baseSeconds = std::max(10.0, seconds / 3);
  // Room for both producing phases; FacilityCode holds 8 bits of the number.
  const int64_t limit = std::min<int64_t>(static_cast<int64_t>(rate * (seconds + baseSeconds)) + 1, 256LL * 65536);
  spdlog::set_level(spdlog::level::warn);

  auto* appended = static_cast<int64_t*>(
      ::mmap(nullptr, static_cast<size_t>(limit) * sizeof(int64_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  auto* sh = new (::mmap(nullptr, sizeof(TShared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0)) TShared;
  int toSubs[2], toSim[2];
  if (::pipe(toSubs) != 0 || ::pipe(toSim) != 0) return 1;
  std::fflush(stdout);
  const pid_t subs = ::fork();
  if (subs == 0) std::_Exit(RunSubscribers(tcpSubs, sseSubs, toSubs[0], *sh, appended));
  const pid_t simPid = ::fork();
  if (simPid == 0) std::_Exit(RunSimulator(toSim[0], *sh));
  while (sh->SlavePath[0] == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));

  std::printf("kept window: %zu events of the monitoring stream take %.1f MB\n", TEventHub::kDefaultKeep,
              static_cast<double>(KeptWindowBytes(TEventHub::kDefaultKeep)) / 1e6);
  const auto dir = std::filesystem::temp_directory_path() / ("vexon-fanout-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  int rc = 1;
  {
    THeadlessDisplay display;
    TServerConfig cfg;
    cfg.DataDir = dir.string();
    TServerCore core(SystemClock(), display, cfg);
    core.Ports.Set(1, sh->SlavePath);
    core.LoadAndCreate();
    TExecutor executor(core);
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
    int32_t id = 0;
    uint8_t all[3] = {255, 255, 0};
    if (const int32_t open = core.Port.OpenPort(1); open != 0) {
      std::fprintf(stderr, "cannot open %s: %d\n", sh->SlavePath, open);
      return 1;
    }
    core.Requests.PutBufRequest(0, 3, all, id);
    while (core.Requests.RequestCount()) executor.ExecuteRequests(0);
    if (core.Answers.GetCommandState(id) != 0) {
      std::fprintf(stderr, "autoconfiguration failed\n");
      return 1;
    }
    TAppender appender(monitor, journal, appended);
    TDeviceThread line(core, executor, &appender);
    line.StartDeviceThread();
    line.ResumeDeviceThread();
    monitor.StartMonitoring();
    while (monitor.FirstPass()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!server.ListenTcp("127.0.0.1:0", error) || !server.ListenHttp("127.0.0.1:0", error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    for (const auto& ep : server.Endpoints())
      (ep.rfind("http", 0) == 0 ? sh->HttpPort : sh->TcpPort) = std::atoi(ep.substr(ep.rfind(':') + 1).c_str());

    int64_t index = 0;
    const auto phase = [&](double secs, bool produce) {
      TPhase p;
      const uint64_t c0 = line.Cycles();
      const double cpu0 = CpuSeconds();
      const int64_t t0 = NowNs(), i0 = index, a0 = appender.AppendNs();
      if (produce)
        Produce(appender, onLine, journal, rate, secs, index, limit);
      else
        std::this_thread::sleep_for(std::chrono::duration<double>(secs));
      p.Seconds = static_cast<double>(NowNs() - t0) / 1e9;
      p.AppendMs = static_cast<double>(appender.AppendNs() - a0) / 1e6;
      p.Cpu = CpuSeconds() - cpu0;
      p.Cycles = line.Cycles() - c0;
      p.Events = static_cast<uint64_t>(index - i0);
      return p;
    };
    const TPhase a = phase(baseSeconds, false);
    const TPhase b = phase(baseSeconds, true);
    appender.WaitAppended(index);
    sh->FirstIndex = index;
    if (::write(toSubs[1], "s", 1) != 1) return 1;
    while (hub.Counters()[0].Subscribers < static_cast<uint64_t>(tcpSubs + sseSubs))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const TPhase c = phase(seconds, true);
    appender.WaitAppended(index);
    sh->LastIndex = index - 1;
    int status = 0;
    ::waitpid(subs, &status, 0);

    const auto show = [](const char* name, const TPhase& p) {
      std::printf("%s %6.1f s, %7llu events, communication thread %6llu cycles, %.2f ms each; server CPU %.0f %% "
                  "of one core",
                  name, p.Seconds, static_cast<unsigned long long>(p.Events), static_cast<unsigned long long>(p.Cycles),
                  p.CycleMs(), p.Cpu / p.Seconds * 100);
      if (p.Events)
        std::printf(", %.1f ms per 1,000 events; appends took %.2f us per event", 
                    p.Cpu * 1000.0 / (static_cast<double>(p.Events) / 1000.0),
                    p.AppendMs * 1000.0 / static_cast<double>(p.Events));
      std::printf("\n");
    };
    std::printf("rate %d events/s, appended %s; %d TCP and %d SSE subscribers in C\n", rate,
                onLine ? "by the communication thread after each poll" : "by the producer once a millisecond", tcpSubs,
                sseSubs);
    show("A (line alone):          ", a);
    show("B (producer):            ", b);
    show("C (producer+subscribers):", c);
    std::printf("cycle time C against B: %+.1f %%; against A: %+.1f %%\n", (c.CycleMs() / b.CycleMs() - 1) * 100,
                (c.CycleMs() / a.CycleMs() - 1) * 100);
    line.StopDeviceThread();
    server.Stop(std::chrono::milliseconds(0));
    rc = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
  }
  if (::write(toSim[1], "q", 1) != 1) rc = 1;
  ::waitpid(simPid, nullptr, 0);
  std::filesystem::remove_all(dir);
  return rc;
}
