// The event streams on the line transport, in process: events appended to
// the monitoring journal straight from the test, in volume, reach a reading
// subscriber whole and in order between the answers to its own calls; a
// subscriber that never reads ends with a gap that accounts for every event
// it missed; the taker and the reader lose nothing.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "ctl/rpc_client.h"
#include "events/event_hub.h"
#include "rpc/line_streams.h"
#include "rpc/stream_feed.h"
#include "rpc/transports.h"
#include "rpc_server_fixture.h"

using namespace vexon;
using json = nlohmann::json;

namespace {

class StreamTransportTest : public vexon::testing::TRpcServerFixture {
 protected:
  StreamTransportTest() {
    FeedStreams(hub_, core_, journal_);
    server_.SetEventHub(&hub_);
    std::string error;
    EXPECT_TRUE(server_.ListenUnix(dir_ + "/rpc.sock", error)) << error;
  }
  ~StreamTransportTest() override { server_.Stop(std::chrono::milliseconds(0)); }

  TRpcClient Connect() {
    TRpcClient c;
    c.Connect(dir_ + "/rpc.sock");
    return c;
  }
  // Appends `n` monitoring events (a pass at controller 564, the card
  // number counting up) as the monitoring poll does.
  void Append(int n) {
    TMJList events;
    for (int i = 0; i < n; ++i) {
      TMJItem e;
      e.Time = clock_.Now();
      e.MakeAdr = 564;
      e.EventCode = 1;
      e.CardID = static_cast<uint16_t>(appended_++ % 60000);
      events.push_back(e);
    }
    journal_.Publish(events);
  }

  TEventHub hub_{10000, 10000, 42};
  // The idle subscriber's writes wait for it as long as the test runs.
  static TRpcOptions Options() {
    TRpcOptions o;
    o.WriteTimeoutMs = 600000;
    return o;
  }
  TRpcServer server_{services_, Options()};
  int appended_ = 0;
};

}  // namespace

TEST_F(StreamTransportTest, ANonReaderEndsWithAGapWhileTheReaderAndTheTakerMissNothing) {
  constexpr int kTotal = 50000, kBatch = 1000;
  TRpcClient idle = Connect(), reader = Connect();
  const json s = idle.Call("vexon.subscribe", {{"streams", {"monitoring"}}});
  EXPECT_EQ(s["run"], 42);
  EXPECT_EQ(s["next"], json({{"monitoring", 1}}));
  reader.Call("vexon.subscribe", {{"streams", {"monitoring"}}});
  uint64_t readerLast = 0;
  int taken = 0;
  for (int sent = 0; sent < kTotal; sent += kBatch) {
    Append(kBatch);
    // Answers between the notifications: a long one would show a split.
    if (sent % (5 * kBatch) == 0) {
      ASSERT_EQ(reader.Call("rpc.discover")["methods"].size(), InterfaceDescription()["methods"].size());
    }
    while (readerLast < static_cast<uint64_t>(sent + kBatch)) {
      const auto n = reader.NextNotification(10000);
      ASSERT_TRUE(n) << "the reader stalled at " << readerLast;
      const json& p = (*n)["params"];
      ASSERT_FALSE(p.contains("gap")) << p.dump();
      ASSERT_EQ(p["seq"], readerLast + 1);
      EXPECT_EQ(p["event"]["CardID"], readerLast % 60000);
      readerLast = p["seq"];
    }
    TMonItem m;
    while (journal_.GetMonEvent(m) == 0) EXPECT_EQ(m.CardID, taken++ % 60000);
  }
  EXPECT_EQ(taken, kTotal) << "the taker took every event";
  // The idle one reads now: what the socket held, a gap, then the newest.
  uint64_t last = 0, missed = 0, gaps = 0;
  while (last < kTotal) {
    const auto n = idle.NextNotification(10000);
    ASSERT_TRUE(n) << "stopped at " << last;
    const json& p = (*n)["params"];
    if (p.contains("gap")) {
      EXPECT_EQ(p["gap"]["stream"], "monitoring");
      last += p["gap"]["missed"].get<uint64_t>();
      missed += p["gap"]["missed"].get<uint64_t>();
      ++gaps;
    } else {
      ASSERT_EQ(p["seq"], last + 1) << "in order after " << gaps << " gaps";
      last = p["seq"];
    }
  }
  EXPECT_EQ(last, static_cast<uint64_t>(kTotal));
  EXPECT_GE(gaps, 1u);
  EXPECT_GT(missed, 0u);
  const auto counters = hub_.Counters()[static_cast<size_t>(TStream::Monitoring)];
  EXPECT_EQ(counters.Subscribers, 2u);
  EXPECT_EQ(counters.Gaps, gaps);
  EXPECT_EQ(counters.Missed, missed);
  EXPECT_EQ(counters.Sent, 2 * static_cast<uint64_t>(kTotal) - missed);
}

TEST_F(StreamTransportTest, SubscribeAnswersFirstUnsubscribeEndsAndBadParamsAreRefused) {
  Append(3);
  TRpcClient c = Connect();
  // The answer comes before the first notification of the backlog, even
  // when it is a batch that takes a while to answer.
  c.SendLine(R"([{"jsonrpc":"2.0","id":7,"method":"vexon.subscribe","params":{"streams":["monitoring","state"],"from":{"monitoring":2}}},)"
             R"({"jsonrpc":"2.0","id":8,"method":"rpc.discover"},{"jsonrpc":"2.0","id":9,"method":"rpc.discover"}])");
  const json batch = json::parse(c.ReadLine());
  ASSERT_TRUE(batch.is_array()) << batch.dump().substr(0, 200);
  const json& answer = batch[0];
  ASSERT_EQ(answer["id"], 7) << answer;
  EXPECT_EQ(answer["result"]["next"], json({{"monitoring", 4}, {"state", 1}}));
  const uint64_t id = answer["result"]["subscription"];
  for (const int seq : {2, 3}) {
    const auto n = c.NextNotification(10000);
    ASSERT_TRUE(n);
    EXPECT_EQ((*n)["params"]["seq"], seq);
    EXPECT_EQ((*n)["params"]["subscription"], id);
  }
  EXPECT_EQ(c.Call("vexon.unsubscribe", {{"subscription", id}})["subscription"], id);
  Append(1);
  EXPECT_EQ(hub_.Counters()[0].Subscribers, 0u);
  // Nothing of it comes after the answer: the next line is this call's answer.
  EXPECT_EQ(c.Call("sysvexon_GetMonEvent")["Value"], 0);
  EXPECT_FALSE(c.NextNotification(0));
  const auto code = [&](const json& params) { return c.Request("vexon.subscribe", params)["error"]["code"]; };
  EXPECT_EQ(code({{"streams", json::array()}}), -32602);
  EXPECT_EQ(code({{"streams", {"monitoring"}}, {"from", {{"state", 1}}}}), -32602);
  EXPECT_EQ(code({{"streams", {"monitoring"}}, {"from", {{"monitoring", -1}}}}), -32602);
  EXPECT_EQ(code({{"streams", {"monitoring"}}, {"extra", 1}}), -32602);
  EXPECT_EQ(c.Request("vexon.unsubscribe", {{"subscription", "x"}})["error"]["code"], -32602);
  for (size_t i = 0; i < TLineStreams::kMaxPerConnection; ++i) c.Call("vexon.subscribe", {{"streams", {"state"}}});
  EXPECT_EQ(code({{"streams", {"state"}}}), -32000) << "a bounded number per connection";
}

namespace {

// GET /events under a token, with a short keep-alive.
class EventsOverHttpTest : public vexon::testing::TRpcServerFixture {
 protected:
  EventsOverHttpTest() {
    server_.SetEventHub(&hub_);
    std::string error;
    EXPECT_TRUE(server_.ListenHttp("127.0.0.1:0", error)) << error;
    const std::string ep = server_.Endpoints().at(0);
    port_ = static_cast<uint16_t>(std::stoi(ep.substr(ep.rfind(':') + 1)));
  }
  ~EventsOverHttpTest() override { server_.Stop(std::chrono::milliseconds(0)); }
  static TRpcOptions Options() {
    TRpcOptions o;
    o.Token = "tok";
    o.AuthFailureDelayMs = 0;
    o.SseKeepAliveMs = 50;
    return o;
  }
  // Sends `head` and reads until `until` appears or the server closes.
  std::string Get(const std::string& head, const std::string& until, const std::function<void()>& then = {}) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port_);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const std::string req = "GET " + head + "\r\n\r\n";
    EXPECT_EQ(::send(fd, req.data(), req.size(), MSG_NOSIGNAL), static_cast<ssize_t>(req.size()));
    std::string got;
    bool thenDone = !then;
    for (;;) {
      if (!thenDone && got.find("event: subscribed") != std::string::npos) {
        then();
        thenDone = true;
      }
      if (got.find(until) != std::string::npos) break;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) break;
      char buf[4096];
      const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
      if (r <= 0) break;
      got.append(buf, static_cast<size_t>(r));
    }
    ::close(fd);
    return got;
  }

  TEventHub hub_{100, 100, 5};
  TRpcServer server_{services_, Options()};
  uint16_t port_ = 0;
};

}  // namespace

TEST_F(EventsOverHttpTest, TheTokenAndOriginRulesHoldAndAnIdleStreamGetsKeepAliveComments) {
  const std::string target = "/events?streams=state HTTP/1.1\r\nHost: 127.0.0.1";
  EXPECT_EQ(Get(target, "\r\n\r\n").substr(0, 12), "HTTP/1.1 401");
  EXPECT_EQ(Get(target + "\r\nAuthorization: Bearer tok\r\nOrigin: http://elsewhere.example", "\r\n\r\n").substr(0, 12),
            "HTTP/1.1 403");
  EXPECT_EQ(Get("/events?streams=state&from=monitoring:1 HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer tok",
                "\r\n\r\n")
                .substr(0, 12),
            "HTTP/1.1 400")
      << "from names a stream not asked for";
  const std::string stream = Get(target + "\r\nAuthorization: Bearer tok", ": keep-alive", [&] {
    hub_.Publish(TStream::State, R"({"Kind":"x"})");
  });
  EXPECT_EQ(stream.substr(0, 15), "HTTP/1.1 200 OK") << stream;
  EXPECT_NE(stream.find("data: {\"next\":{\"state\":1},\"run\":5}"), std::string::npos) << stream;
  EXPECT_NE(stream.find("id: state:1\nevent: state\ndata: {\"Kind\":\"x\"}\n\n"), std::string::npos) << stream;
  EXPECT_NE(stream.find(": keep-alive\n\n"), std::string::npos) << stream;
}

// One journal batch reaches the monitoring stream whole and in order; a
// link event of the batch follows on the state stream; a suppressed event
// is not published, and the next batch carries only its own events.
TEST_F(StreamTransportTest, AJournalBatchReachesTheStreamsWholeAndLinkEventsFollowOnState) {
  TSubscribeRequest r;
  r.Streams[static_cast<size_t>(TStream::Monitoring)] = true;
  r.Streams[static_cast<size_t>(TStream::State)] = true;
  auto sub = hub_.Subscribe(r).Subscription;
  TMJList batch(4);
  for (size_t i = 0; i < batch.size(); ++i) {
    batch[i].Time = clock_.Now();
    batch[i].MakeAdr = 564;
    batch[i].EventCode = i == 2 ? 14 : 1;  // 14: the link lost
    batch[i].EventAdd = i == 2 ? 1 : 0;
    batch[i].CardID = static_cast<uint16_t>(100 + i);
  }
  batch[3].Suppressed = true;
  journal_.Publish(batch);
  Append(1);
  std::vector<std::string> seen;
  while (auto d = sub->Pop(std::chrono::milliseconds(0))) {
    const json ev = json::parse(d->Event->Text);
    seen.push_back(std::string(StreamName(d->Stream)) + std::to_string(d->Event->Seq) + ":" +
                   (d->Stream == TStream::State ? ev.value("Kind", "") + (ev.value("Lost", false) ? " lost" : "")
                                                : std::to_string(ev["CardID"].get<int>())));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"monitoring1:100", "monitoring2:101", "monitoring3:102",
                                            "state1:link lost", "monitoring4:0"}));
}
