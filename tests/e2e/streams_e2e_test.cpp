// The event streams against the real server and vexon-sim: a subscriber
// sees what a taker takes without taking it, resumes without gap or repeat,
// keeps its subscription across the server lock, a queue-clearing
// autoconfiguration and a port close; GET /events read with a plain HTTP
// client and resumed with Last-Event-ID; vexonctl watch follows without
// taking.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <deque>
#include <map>

#include "e2e_fixture.h"

using namespace vexon;
using namespace vexon::testing;
using json = nlohmann::json;

namespace {

class StreamsE2e : public E2eTest {
 protected:
  // A second connection that subscribes.
  json Subscribe(TRpcClient& c, json params) {
    c.Connect(tcp_);
    return c.Call("vexon.subscribe", params);
  }
  // The next notification of `stream`, or null. Those of other streams
  // read meanwhile are kept for later (one subscriber at a time).
  json Next(TRpcClient& c, const std::string& stream, int timeoutMs = 10000) {
    auto& kept = stash_[stream];
    if (!kept.empty()) {
      json p = kept.front();
      kept.pop_front();
      return p;
    }
    const auto t0 = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(timeoutMs)) {
      const auto n = c.NextNotification(100);
      if (!n) continue;
      EXPECT_EQ((*n)["method"], "vexon.event");
      const json& p = (*n)["params"];
      if (p.contains("gap")) {
        ADD_FAILURE() << "unexpected gap " << p.dump();
        continue;
      }
      if (p["stream"] == stream) return p;
      stash_[p["stream"].get<std::string>()].push_back(p);
    }
    return nullptr;
  }
  std::map<std::string, std::deque<json>> stash_;
  // Takes monitoring events until `n` (skipping the registration flag, 15).
  std::vector<json> Take(size_t n) {
    std::vector<json> out;
    const auto t0 = std::chrono::steady_clock::now();
    while (out.size() < n && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10)) {
      auto e = Call("sysvexon_GetMonEvent");
      if (e["Value"] != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      if (e["EventCode"] != 15) out.push_back(e);
    }
    return out;
  }
  // The next monitoring event of a subscriber that is not the flag (15).
  json NextMon(TRpcClient& c) {
    for (;;) {
      json p = Next(c, "monitoring");
      if (p.is_null() || p["event"]["EventCode"] != 15) return p;
    }
  }
  static void ExpectSame(const json& taken, const json& streamed) {
    for (const char* f : {"Year", "Month", "Day", "Hour", "Minute", "Second", "MakeAdr", "AdrAdd", "EventCode",
                          "EventAdd", "CardID", "FacilityCode"})
      EXPECT_EQ(taken[f], streamed[f]) << f << " of " << streamed.dump();
  }
  void StartMonitoring() {
    OpenAndAutoconfigure();
    Call("sysvexon_StartMonitoring");
    WaitFirstMonitoringPass();
  }

  // A plain HTTP exchange: the request, then what comes within `ms` (or
  // until the server closes).
  std::string Http(const std::string& request, int ms, const std::string& until = "") {
    const auto colon = http_.rfind(':');
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(std::stoi(http_.substr(colon + 1))));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    std::string got;
    const auto t0 = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(ms)) {
      if (!until.empty() && got.find(until) != std::string::npos) break;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buf[4096];
      const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
      if (r <= 0) break;
      got.append(buf, static_cast<size_t>(r));
    }
    ::close(fd);
    return got;
  }
  std::string Get(const std::string& target, const std::string& extra, int ms, const std::string& until = "") {
    return Http("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n", ms, until);
  }
};

// The data lines of the monitoring events of an SSE text, with their ids.
std::vector<std::pair<std::string, json>> SseEvents(const std::string& text, const std::string& stream) {
  std::vector<std::pair<std::string, json>> out;
  size_t at = 0;
  while ((at = text.find("id: " + stream + ":", at)) != std::string::npos) {
    const auto idEnd = text.find('\n', at);
    const auto data = text.find("data: ", idEnd);
    const auto dataEnd = text.find('\n', data);
    if (data == std::string::npos || dataEnd == std::string::npos) break;
    out.emplace_back(text.substr(at + 4, idEnd - at - 4), json::parse(text.substr(data + 6, dataEnd - data - 6)));
    at = dataEnd;
  }
  return out;
}

}  // namespace

TEST_F(StreamsE2e, ATakerAndASubscriberBothSeeEveryEventOfAScriptedSequence) {
  StartMonitoring();
  TRpcClient sub;
  const json s = Subscribe(sub, {{"streams", {"monitoring", "state"}}});
  ASSERT_TRUE(s["subscription"].is_number());
  ASSERT_TRUE(s["run"].is_number());
  const int64_t first = s["next"]["monitoring"];
  auto r = Call("sysvexon_SetAlarm", {{"MakeAdr", 564}, {"AdditionAdr", 0}});
  WaitAnswer(r["EventID"]);
  r = Call("sysvexon_ClearAlarm", {{"MakeAdr", 564}, {"AdditionAdr", 0}});
  WaitAnswer(r["EventID"]);
  sim_.WriteLine("pass 2 1 7");
  sim_.WriteLine("breakin 0 1");
  // The taker takes exactly what it took before the streams existed.
  const std::vector<json> taken = Take(4);
  ASSERT_EQ(taken.size(), 4u);
  std::vector<json> streamed;
  int64_t last = first - 1;
  while (streamed.size() < 4) {
    const json p = Next(sub, "monitoring");
    ASSERT_FALSE(p.is_null()) << "the subscriber got " << streamed.size() << " events";
    EXPECT_EQ(p["seq"], last + 1) << "numbered without holes";
    last = p["seq"];
    if (p["event"]["EventCode"] != 15) streamed.push_back(p["event"]);
  }
  for (size_t i = 0; i < 4; ++i) ExpectSame(taken[i], streamed[i]);
  EXPECT_EQ(streamed[0]["Description"], "ТРЕВОГА (по команде оператора)");
  EXPECT_EQ(streamed[3]["Description"], "ТРЕВОГА - ВЗЛОМ!");
  EXPECT_EQ(streamed[2]["Time"].get<std::string>().size(), 23u) << streamed[2];
  // rpc.discover describes the methods and the notification beside the
  // operations.
  const json doc = Call("rpc.discover");
  ASSERT_EQ(doc["x-streams"]["methods"].size(), 2u);
  EXPECT_EQ(doc["x-streams"]["methods"][0]["name"], "vexon.subscribe");
  EXPECT_EQ(doc["x-streams"]["methods"][1]["name"], "vexon.unsubscribe");
  EXPECT_EQ(doc["x-streams"]["notifications"][0]["name"], "vexon.event");
  // The state stream told the commands the line carried out.
  bool sawCommand = false;
  for (json p; !sawCommand && !(p = Next(sub, "state", 3000)).is_null();)
    sawCommand = p["event"]["Kind"] == "command";
  EXPECT_TRUE(sawCommand);
}

TEST_F(StreamsE2e, ResumingWithFromAfterADisconnectGivesNoGapAndNoRepeat) {
  StartMonitoring();
  TRpcClient sub;
  Subscribe(sub, {{"streams", {"monitoring"}}});
  sim_.WriteLine("pass 2 1 7");
  const json a = NextMon(sub);
  ASSERT_FALSE(a.is_null());
  sub.Close();
  stash_.clear();
  // While it is away: two more events.
  sim_.WriteLine("breakin 0 1");
  sim_.WriteLine("pass 2 1 8");
  ASSERT_EQ(Take(3).size(), 3u) << "the taker still gets all three";
  const int64_t from = a["seq"].get<int64_t>() + 1;
  const json again = Subscribe(sub, {{"streams", {"monitoring"}}, {"from", {{"monitoring", from}}}});
  // Every event from `from` on, numbered without holes: the registration
  // flags (15) the passes raise among them.
  std::vector<int64_t> seqs;
  std::vector<int> codes;
  for (json p; codes.size() < 2 && !(p = Next(sub, "monitoring")).is_null();) {
    seqs.push_back(p["seq"]);
    if (p["event"]["EventCode"] != 15) codes.push_back(p["event"]["EventCode"]);
  }
  ASSERT_EQ(codes.size(), 2u);
  EXPECT_EQ(seqs.front(), from) << "no gap, no repeat";
  for (size_t i = 1; i < seqs.size(); ++i) EXPECT_EQ(seqs[i], seqs[i - 1] + 1);
  EXPECT_EQ(codes[0], 6) << "the break-in, not the pass it saw already";
  EXPECT_EQ(codes[1], 1);
  EXPECT_GT(again["next"]["monitoring"].get<int64_t>(), seqs.front()) << "next is past what was kept";
  // A wrong subscription is refused with the reason; over POST /rpc there
  // is nowhere to send notifications.
  EXPECT_THROW(sub.Call("vexon.subscribe", {{"streams", {"everything"}}}), std::runtime_error);
  EXPECT_THROW(sub.Call("vexon.unsubscribe", {{"subscription", 987654}}), std::runtime_error);
  const std::string body = R"({"jsonrpc":"2.0","id":1,"method":"vexon.subscribe","params":{"streams":["state"]}})";
  const std::string answer = Http("POST /rpc HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                                  "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body,
                                  5000);
  EXPECT_NE(answer.find("\"code\":-32000"), std::string::npos) << answer;
  EXPECT_NE(answer.find("GET /events"), std::string::npos) << answer;
}

TEST_F(StreamsE2e, ASubscriptionLastsThroughTheServerLockAQueueClearingAutoconfigAndAPortClose) {
  StartMonitoring();
  TRpcClient sub;
  Subscribe(sub, {{"streams", {"monitoring", "state"}}});
  Call("sysvexon_LockServer");
  sim_.WriteLine("breakin 0 1");
  json p = NextMon(sub);
  ASSERT_FALSE(p.is_null()) << "delivered while the server is locked";
  EXPECT_EQ(p["event"]["EventCode"], 6);
  Call("sysvexon_UnLockServer");
  // Autoconfiguration clears the request queue (pending answers become 88).
  auto r = Call("sysvexon_Autoconfig");
  ASSERT_EQ(WaitAnswer(r["EventID"])["Value"], 0);
  bool closed = false;
  Call("sysvexon_CloseSerialPort");
  for (json st; !closed && !(st = Next(sub, "state")).is_null();)
    closed = st["event"]["Kind"] == "port" && st["event"]["Open"] == false;
  EXPECT_TRUE(closed) << "the port close came on the state stream";
  ASSERT_EQ(Call("sysvexon_OpenSerialPort", {{"PortNumber", 1}})["Value"], 0);
  Call("sysvexon_StartMonitoring");
  WaitFirstMonitoringPass();
  sim_.WriteLine("pass 2 1 7");
  p = NextMon(sub);
  ASSERT_FALSE(p.is_null()) << "the same subscription still delivers";
  EXPECT_EQ(p["event"]["EventCode"], 1);
}

TEST_F(StreamsE2e, ServerSentEventsReadWithPlainHttpAndResumedWithLastEventId) {
  StartMonitoring();
  // The Host rule of POST /rpc holds here too.
  EXPECT_EQ(Http("GET /events?streams=monitoring HTTP/1.1\r\nHost: evil.example\r\n\r\n", 5000, "\r\n\r\n")
                .substr(0, 12),
            "HTTP/1.1 403");
  EXPECT_EQ(Get("/events?streams=nothing", "", 5000, "\r\n\r\n").substr(0, 12), "HTTP/1.1 400");
  sim_.WriteLine("pass 2 1 7");
  sim_.WriteLine("breakin 0 1");
  ASSERT_EQ(Take(2).size(), 2u);
  // From the first event of the run: both, with ids and descriptions.
  const std::string text = Get("/events?streams=monitoring&from=monitoring:1", "", 10000, "ВЗЛОМ");
  ASSERT_EQ(text.substr(0, 15), "HTTP/1.1 200 OK") << text;
  EXPECT_NE(text.find("Content-Type: text/event-stream"), std::string::npos);
  EXPECT_NE(text.find("event: subscribed"), std::string::npos);
  auto events = SseEvents(text, "monitoring");
  std::erase_if(events, [](const auto& e) { return e.second["EventCode"] == 15; });
  ASSERT_EQ(events.size(), 2u) << text;
  EXPECT_EQ(events[0].second["Description"], "Запрос на проход");
  EXPECT_EQ(events[1].second["EventCode"], 6);
  // Resumed after the first: only the second comes.
  const std::string resumed =
      Get("/events?streams=monitoring&from=monitoring:1", "Last-Event-ID: " + events[0].first + "\r\n", 10000, "ВЗЛОМ");
  auto again = SseEvents(resumed, "monitoring");
  ASSERT_FALSE(again.empty()) << resumed;
  EXPECT_NE(again.front().first, events[0].first) << "no repeat";
  std::erase_if(again, [](const auto& e) { return e.second["EventCode"] == 15; });
  ASSERT_EQ(again.size(), 1u) << resumed;
  EXPECT_EQ(again[0].first, events[1].first);
  // The metrics count what went out.
  const std::string metrics = Get("/metrics", "Connection: close\r\n", 5000);
  EXPECT_NE(metrics.find("vexon_stream_events_sent_total{stream=\"monitoring\"}"), std::string::npos);
  EXPECT_NE(metrics.find("vexon_stream_subscribers{stream=\"state\"} 0"), std::string::npos) << metrics;
}

TEST_F(StreamsE2e, VexonctlWatchFollowsWithoutTaking) {
  OpenAndAutoconfigure();
  TProcess watch;
  ASSERT_TRUE(watch.Start({VEXON_CTL_PATH, "--unix", dir_ + "/rpc.sock", "watch", "--start"}));
  WaitFirstMonitoringPass();
  sim_.WriteLine("breakin 0 1");
  std::string line;
  for (int i = 0; i < 50 && line.find("ВЗЛОМ") == std::string::npos; ++i) line = watch.ReadLine(5000);
  EXPECT_NE(line.find("controller 564"), std::string::npos) << line;
  EXPECT_EQ(watch.Stop(SIGINT), 0);
  // The taker still finds it in the journal.
  const auto taken = Take(1);
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0]["EventCode"], 6);
}

TEST_F(StreamsE2e, TheLineStreamIsOffUntilFollowedThenCarriesEveryFrame) {
  // Frames went over the line before anybody followed: none was numbered.
  OpenAndAutoconfigure();
  TRpcClient sub;
  const json s = Subscribe(sub, {{"streams", {"line"}}});
  EXPECT_EQ(s["next"]["line"], 1);
  const auto r = Call("sysvexon_OpenIm", {{"MakeAdr", 564}, {"DriverAdr", 2}, {"ImNumber", 1}});
  ASSERT_EQ(WaitAnswer(r["EventID"])["Value"], 0);
  bool tx = false, rx = false;
  int64_t last = 0;
  for (json p; !(tx && rx) && !(p = Next(sub, "line")).is_null();) {
    EXPECT_EQ(p["seq"], last + 1);
    last = p["seq"];
    const std::string text = p["event"]["Text"];
    tx = tx || text.find(" TX ") != std::string::npos;
    rx = rx || text.find(" RX ") != std::string::npos;
    EXPECT_EQ(p["event"]["Time"].get<std::string>().size(), 23u);
  }
  EXPECT_TRUE(tx && rx) << "frames sent and received, as the trace file has them";
}
