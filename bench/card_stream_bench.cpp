// What a user feels: from a card presented at the simulated network (the
// demonstration network of vexon-sim, 9600-baud pacing, the simulator's own
// default turnaround, monitoring on) to its event read by a TCP subscriber
// of the monitoring stream, against the line time of one monitoring poll
// cycle measured in the same run.
//
// Each card is presented at a random moment (uniform over two cycles after
// the previous card's event arrived), so it falls anywhere in the poll
// cycle. Each latency is split where it goes:
//   wait   from the card to the first monitoring page read sent after it
//          (the poll in progress fetches it if its page read is still to
//          come, else the next poll);
//   fetch  from that page read to the journal append (the event's
//          publication): the pages read, the status refresh of the
//          controllers whose status changed, the decoding;
//   send   from the publication to the subscriber's read (fan-out, socket).
// Each event is told apart by its number on the stream; the frames are
// stamped by the line as it sends them (its trace), the publication is the
// end of the poll that appended the event.
//
//   card_stream_bench [CARDS] [--early-frame-end]
//
// --early-frame-end runs the line as a site with that setting does: a read
// that expects one answer ends at the whole frame instead of after the
// 30 ms idle interval.
#include <poll.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_socket.h"
#include "core/device_thread.h"
#include "core/monitor.h"
#include "link/protocol.h"
#include "events/event_hub.h"
#include "paced_core.h"
#include "rpc/stream_feed.h"
#include "rpc/transports.h"
#include "util/log.h"

using namespace vexon;
using namespace vexon::bench;

namespace {

// The monitoring poll, timed: the start and end of every poll.
class TTimedPoll final : public TCyclePoll {
 public:
  explicit TTimedPoll(TMonitor& m) : monitor_(m) {}
  bool Poll() override {
    const int64_t start = NowNs();
    const bool used = monitor_.Poll();
    const int64_t end = NowNs();
    std::lock_guard<std::mutex> g(lock_);
    polls_.push_back({start, end});
    return used;
  }
  bool Active() const override { return monitor_.Active(); }
  std::vector<std::pair<int64_t, int64_t>> Polls() const {
    std::lock_guard<std::mutex> g(lock_);
    return polls_;
  }

 private:
  TMonitor& monitor_;
  mutable std::mutex lock_;
  std::vector<std::pair<int64_t, int64_t>> polls_;
};

void Show(const char* name, std::vector<double> v) {
  std::printf("  %-7s median %6.1f ms, p99 %6.1f ms, max %6.1f ms\n", name, Percentile(v, 0.5), Percentile(v, 0.99),
              Percentile(v, 1.0));
}

}  // namespace

int main(int argc, char** argv) {
  const int cards = argc > 1 ? std::atoi(argv[1]) : 200;
  const bool earlyFrameEnd = argc > 2 && std::string(argv[2]) == "--early-frame-end";
  spdlog::set_level(spdlog::level::warn);
  TPacedCore paced("vexon-card-stream-bench", 1.0);
  paced.Config.Timings.EarlyFrameEnd = earlyFrameEnd;
  paced.Options.RealTime = true;  // as vexon-sim runs by default
  paced.Sim = std::make_unique<sim::TSimulator>(sim::TSimNetwork::Default(), paced.Options);
  if (!paced.Start()) {
    std::fprintf(stderr, "the simulated network did not start\n");
    return 1;
  }
  TServerCore& core = *paced.Core;
  TMonJournal journal;
  journal.Create();
  TMonitor monitor(core, journal);
  TTimedPoll timed(monitor);
  TCalendarBuffer calendar;
  TServices services{core, monitor, journal, calendar};
  TEventHub hub;
  FeedStreams(hub, core, journal);
  TRpcServer server(services);
  server.SetEventHub(&hub);
  std::string error;
  if (!server.ListenTcp("127.0.0.1:0", error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const std::string ep = server.Endpoints().front();
  const uint16_t port = static_cast<uint16_t>(std::atoi(ep.substr(ep.rfind(':') + 1).c_str()));

  // The frames sent, stamped by the line itself as it sends them (the trace's
  // wall-clock microseconds, turned into this program's monotonic clock).
  std::mutex lock;
  std::vector<std::pair<int64_t, int>> sent;  // time, command byte
  const int64_t wallToMono = [] {
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    return NowNs() - (static_cast<int64_t>(wall.tv_sec) * 1000000000 + wall.tv_nsec);
  }();
  core.Link.Trace().SetObserver([&](const std::string& line, int64_t unixMicros) {
    // "... TX 00 03 00 00 70 73": the fifth byte is the command.
    const size_t tx = line.find(" TX ");
    if (tx == std::string::npos || line.size() < tx + 4 + 15) return;
    std::lock_guard<std::mutex> g(lock);
    sent.push_back({unixMicros * 1000 + wallToMono, std::stoi(line.substr(tx + 4 + 12, 2), nullptr, 16)});
  });
  // What the journal published, by number: from a subscription inside the
  // process (its wake-up comes after the poll has published).
  struct TPublished {
    int64_t Seen = 0;
    int64_t MakeAdr = -1, EventCode = -1;
  };
  std::map<uint64_t, TPublished> published;
  auto inner = hub.Subscribe([] {
    TSubscribeRequest r;
    r.Streams[static_cast<size_t>(TStream::Monitoring)] = true;
    return r;
  }());
  const auto field = [](const std::string& text, const char* key) -> int64_t {
    const size_t at = text.find(key);
    return at == std::string::npos ? -1 : std::strtoll(text.c_str() + at + std::strlen(key), nullptr, 10);
  };
  std::thread stamper([&] {
    while (auto d = inner.Subscription->Pop(std::chrono::hours(1))) {
      const int64_t now = NowNs();
      if (!d->Event) continue;
      std::lock_guard<std::mutex> g(lock);
      published[d->Event->Seq] = {now, field(d->Event->Text, "\"MakeAdr\":"), field(d->Event->Text, "\"EventCode\":")};
    }
  });
  // The subscriber's read times, by number.
  std::map<uint64_t, int64_t> received;
  std::atomic<bool> subscribed{false}, stop{false};
  const int fd = ConnectLoopback(port);
  SendAll(fd, R"({"jsonrpc":"2.0","id":1,"method":"vexon.subscribe","params":{"streams":["monitoring"]}})" "\n");
  std::thread reader([&] {
    std::string buf;
    char chunk[8192];
    while (!stop) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      const int64_t now = NowNs();
      buf.append(chunk, static_cast<size_t>(n));
      for (size_t end; (end = buf.find('\n')) != std::string::npos; buf.erase(0, end + 1)) {
        const std::string msg = buf.substr(0, end);
        if (msg.find("\"result\"") != std::string::npos) subscribed = true;
        const int64_t seq = field(msg, "\"seq\":");
        if (seq <= 0) continue;
        std::lock_guard<std::mutex> g(lock);
        received[static_cast<uint64_t>(seq)] = now;
      }
    }
  });
  while (!subscribed) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  TDeviceThread line(core, *paced.Executor, &timed);
  line.StartDeviceThread();
  line.ResumeDeviceThread();
  monitor.StartMonitoring();
  while (monitor.FirstPass()) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  // The cycle without traffic, to pace the presentations.
  const uint64_t c0 = line.Cycles();
  const int64_t t0 = NowNs();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double idleCycleMs = static_cast<double>(NowNs() - t0) / 1e6 / static_cast<double>(line.Cycles() - c0);

  std::mt19937 random(20261208);
  std::uniform_real_distribution<double> pause(0, 2 * idleCycleMs);
  std::vector<double> total, wait, fetchMs, send, fetchFrames;
  int lost = 0, others = 0;
  uint64_t lastSeq = 0;
  int64_t cardMakeAdr = -1, cardCode = -1;  // what the first card's event says
  const uint64_t cycles0 = line.Cycles();
  const int64_t run0 = NowNs();
  for (int k = 0; k < cards; ++k) {
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(pause(random)));
    const int64_t presented = NowNs();
    paced.Sim->PresentCard(2, 0, static_cast<uint16_t>(k % 100 + 1));
    // Its event: the next one published, read by the subscriber within 5 s.
    uint64_t seq = 0;
    TPublished pub;
    int64_t got = 0;
    for (const int64_t until = presented + 5'000'000'000; NowNs() < until && got == 0;) {
      {
        std::lock_guard<std::mutex> g(lock);
        for (auto it = published.upper_bound(lastSeq); it != published.end(); ++it) {
          if (received.count(it->first) == 0) break;
          lastSeq = it->first;
          // Only a pass at the controller the card was shown at.
          if (cardMakeAdr < 0) {
            cardMakeAdr = it->second.MakeAdr;
            cardCode = it->second.EventCode;
          }
          if (it->second.MakeAdr != cardMakeAdr || it->second.EventCode != cardCode) {
            ++others;
            continue;
          }
          seq = it->first;
          pub = it->second;
          got = received[seq];
          break;
        }
      }
      if (got == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (got == 0) {
      ++lost;
      continue;
    }
    // Published at the end of the poll that was running when the inner
    // subscription woke (or at that wake-up, if the poll had not ended).
    int64_t pubAt = pub.Seen;
    for (const auto& [start, end] : timed.Polls())
      if (start <= pub.Seen) pubAt = std::min(end, pub.Seen);
    // The first page read sent after the card: the one that fetched it.
    int64_t fetch = 0;
    int frames = 0;  // sent from the fetching page read to the publication
    {
      std::lock_guard<std::mutex> g(lock);
      for (const auto& [t, cmd] : sent) {
        if (fetch == 0 && t >= presented && (cmd == proto::cmdMonitorPage || cmd == proto::cmdMonitorPageClear))
          fetch = t;
        if (fetch != 0 && t >= fetch && t <= pubAt) ++frames;
      }
    }
    total.push_back(static_cast<double>(got - presented) / 1e6);
    send.push_back(static_cast<double>(got - pubAt) / 1e6);
    if (fetch != 0 && fetch <= pubAt) {
      wait.push_back(static_cast<double>(fetch - presented) / 1e6);
      fetchMs.push_back(static_cast<double>(pubAt - fetch) / 1e6);
      fetchFrames.push_back(frames);
    }
  }
  const double runCycleMs = static_cast<double>(NowNs() - run0) / 1e6 / static_cast<double>(line.Cycles() - cycles0);
  std::vector<double> polls;
  for (const auto& [s, e] : timed.Polls()) polls.push_back(static_cast<double>(e - s) / 1e6);

  line.StopDeviceThread();
  stop = true;
  reader.join();
  inner.Subscription->Cancel();
  stamper.join();
  server.Stop(std::chrono::milliseconds(0));
  ::close(fd);

  std::printf("early frame end %s\n", earlyFrameEnd ? "on" : "off (the default)");
  std::printf("%zu cards, %d without an event within 5 s; %d other events; %zu events published, %zu read by the "
              "subscriber\n",
              total.size(), lost, others, published.size(), received.size());
  std::printf("monitoring poll cycle (line time, the floor): %.1f ms idle, %.1f ms on average over the run;\n"
              "  every poll on the line: median %.1f ms, p99 %.1f ms\n",
              idleCycleMs, runCycleMs, Percentile(polls, 0.5), Percentile(polls, 0.99));
  std::printf("card presented -> event read by a TCP subscriber:\n");
  Show("total", total);
  Show("wait", wait);
  Show("fetch", fetchMs);
  Show("send", send);
  std::printf("  frames sent in the fetch: median %.0f, max %.0f\n", Percentile(fetchFrames, 0.5),
              Percentile(fetchFrames, 1.0));
  return lost == 0 ? 0 : 1;
}
