// The RPC surface under abuse, against the real server: deep nesting, big
// batches, peers that stall or never read, the connection limit, browsers
// (foreign Host, Origin and Content-Type, HTTP sent to the line port), an
// HTTP body over the limit, odd parameter values, and the Unix socket's
// permissions and ownership. Every test also checks that the server still
// serves other clients afterwards.
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <ctime>
#include <map>
#include <memory>
#include <sstream>

#include "e2e_fixture.h"
#include "raw_connection.h"

using namespace vexon;
using namespace vexon::testing;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

std::string Request(const std::string& method, const json& params, int id = 1) {
  return json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}.dump();
}

// The peak resident size of the server, from /proc: the process whose
// command line names this test's socket.
long PeakRssKiB(const std::string& marker) {
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    std::ifstream cmd(e.path() / "cmdline");
    std::string args((std::istreambuf_iterator<char>(cmd)), std::istreambuf_iterator<char>());
    if (args.rfind(VEXON_SERVER_PATH, 0) != 0 || args.find(marker) == std::string::npos) continue;
    std::ifstream status(e.path() / "status");
    for (std::string l; std::getline(status, l);)
      if (l.rfind("VmHWM:", 0) == 0) return std::stol(l.substr(6));
  }
  return -1;
}

class RpcHardening : public E2eTest {
 protected:
  std::string HttpHost() const { return http_.substr(0, http_.rfind(':')); }

  // A whole HTTP request with a body.
  static std::string Post(const std::string& host, const std::string& body, const std::string& type = "application/json",
                          const std::string& extra = "") {
    return "POST /rpc HTTP/1.1\r\nHost: " + host + "\r\nContent-Type: " + type + "\r\n" + extra +
           "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  }
  // Sends one request on a fresh connection and reads the whole answer.
  std::string Exchange(const std::string& where, const std::string& bytes) {
    TRaw c;
    EXPECT_TRUE(c.Connect(where)) << where;
    EXPECT_TRUE(c.SendAll(bytes));
    std::string out;
    EXPECT_TRUE(c.ReadUntilClosed(out)) << "the server did not close the connection";
    return out;
  }
  // The EventID the next queued request gets, minus one: each call queues
  // one request, so a difference counts the requests carried out between.
  int64_t LastEventId() { return Call("sysvexon_SetTimer")["EventID"]; }

  void WriteSettings(const std::string& text) {
    std::ofstream(dir_ + "/none.ini") << text;
  }

  // A server of its own (a second data directory, no HTTP), for start-up
  // checks; returns the lines it printed before it was ready or exited.
  std::vector<std::string> Launch(TProcess& p, std::vector<std::string> extra, const std::string& http = "off") {
    const std::string own = dir_ + "/own";
    std::filesystem::create_directories(own);
    std::vector<std::string> argv = {VEXON_SERVER_PATH, "--data-dir", own, "--config", own + "/none.ini", "--rpc-http",
                                     http};
    argv.insert(argv.end(), extra.begin(), extra.end());
    EXPECT_TRUE(p.Start(argv));
    std::vector<std::string> lines;
    for (std::string l; !(l = p.ReadLine(10000)).empty();) {
      lines.push_back(l);
      if (l.find("listening on") != std::string::npos && lines.size() == expectedEndpoints_) break;
    }
    return lines;
  }
  size_t expectedEndpoints_ = 1;

  void ExpectServing() {
    EXPECT_TRUE(Call("sysvexon_GetServerState")["Value"].is_number_integer()) << "the fixture's connection still works";
    // A connection the test has just closed may still hold its place for
    // a moment where the limit is small.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    std::string why;
    while (Clock::now() < deadline) {
      try {
        TRpcClient fresh;
        fresh.Connect(dir_ + "/rpc.sock");
        EXPECT_TRUE(fresh.Call("sysvexon_GetServerState")["Value"].is_number_integer());
        return;
      } catch (const std::runtime_error& e) {
        why = e.what();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "a new client is not served: " << why;
  }
};

TEST_F(RpcHardening, DeepNestingIsRefusedBeforeAnythingRecurses) {
  const std::string deep = std::string(300000, '[') + std::string(300000, ']');
  auto code = [&](const std::string& line) {
    client_.SendLine(line);
    const auto a = json::parse(client_.ReadLine());
    return a.contains("error") ? a["error"]["code"].get<int>() : 0;
  };
  auto nested = [](int levels) { return std::string(levels, '[') + std::string(levels, ']'); };
  // In params, in id, and as the whole message.
  EXPECT_EQ(code(R"({"jsonrpc":"2.0","id":1,"method":"sysvexon_GetServerState","params":)" + deep + "}"), -32600);
  EXPECT_EQ(code(R"({"jsonrpc":"2.0","id":)" + deep + R"(,"method":"sysvexon_GetServerState"})"), -32600);
  EXPECT_EQ(code(deep), -32600);
  // The boundary: 64 levels in all are read (and refused for what they
  // say), 65 are refused for their depth.
  EXPECT_EQ(code(R"({"jsonrpc":"2.0","id":1,"method":"sysvexon_GetServerState","params":)" + nested(63) + "}"),
            -32602);
  EXPECT_EQ(code(R"({"jsonrpc":"2.0","id":1,"method":"sysvexon_GetServerState","params":)" + nested(64) + "}"),
            -32600);
  // A variant argument nested within the limit is converted without harm
  // (and then judged by the operation).
  EXPECT_NE(code(Request("sysvexon_SendTimeZonesBS", {{"TimeZones", json::parse(nested(60))}})), -32600);

  // The same over HTTP.
  const std::string answer =
      Exchange(http_, Post(HttpHost(), R"({"jsonrpc":"2.0","id":1,"method":"sysvexon_GetServerState","params":)" + deep + "}"));
  EXPECT_NE(answer.find("200 OK"), std::string::npos) << answer.substr(0, 200);
  EXPECT_NE(answer.find("-32600"), std::string::npos) << answer.substr(0, 200);
  ExpectServing();
}

TEST_F(RpcHardening, BatchesAreBoundedInEntriesAndInAnswerSize) {
  auto batch = [](size_t n, const std::string& entry) {
    std::string b = "[";
    for (size_t i = 0; i < n; ++i) b += (i ? "," : "") + entry;
    return b + "]";
  };
  client_.SendLine(batch(1001, "{}"));
  const auto over = json::parse(client_.ReadLine());
  ASSERT_TRUE(over.is_object()) << "one answer for the whole batch";
  EXPECT_EQ(over["error"]["code"], -32600);
  client_.SendLine(batch(1000, "{}"));
  const auto full = json::parse(client_.ReadLine());
  ASSERT_TRUE(full.is_array());
  EXPECT_EQ(full.size(), 1000u) << "1,000 entries are carried out, each answered";

  // 1,000 copies of the interface description would be far over the
  // answer bound: the answer stops growing, the rest get an error.
  client_.SendLine(batch(1000, R"({"jsonrpc":"2.0","id":7,"method":"rpc.discover"})"));
  const std::string text = client_.ReadLine();
  EXPECT_LE(text.size(), 4u * 1024 * 1024 + 200 * 1024);
  const auto big = json::parse(text);
  ASSERT_EQ(big.size(), 1000u);
  EXPECT_TRUE(big[0].contains("result"));
  EXPECT_EQ(big[999]["error"]["code"], -32603);
  EXPECT_EQ(big[999]["id"], 7);
  ExpectServing();
}

TEST_F(RpcHardening, ManyClientsSendingMegabyteBatchesCannotExhaustTheServer) {
  // 64 clients each send four 1 MiB batches of tiny entries before reading
  // anything; each batch must cost a refusal, not a parse and an answer per
  // entry.
  std::string batch = "[";
  while (batch.size() < 1024 * 1024 - 4) batch += "1,";
  batch += "1]\n";
  std::vector<std::unique_ptr<TRaw>> clients;
  for (int i = 0; i < 64; ++i) {
    clients.push_back(std::make_unique<TRaw>());
    ASSERT_TRUE(clients.back()->Connect(tcp_));
  }
  for (int round = 0; round < 4; ++round)
    for (auto& c : clients) ASSERT_TRUE(c->SendAll(batch, 30000));
  for (auto& c : clients)
    for (int round = 0; round < 4; ++round) {
      const std::string line = c->ReadLine(20000);
      ASSERT_FALSE(line.empty()) << "no answer";
      EXPECT_EQ(json::parse(line)["error"]["code"], -32600);
    }
  const long peak = PeakRssKiB(dir_ + "/rpc.sock");
  ASSERT_GT(peak, 0);
  // A parse of one such batch alone takes ~100 MB; the server (with the
  // sanitizers' overhead) stays far below that times the clients.
  EXPECT_LT(peak, 1024L * 1024) << "peak resident KiB";
  ExpectServing();
}

TEST_F(RpcHardening, HalfSentMessagesAndIdleHttpConnectionsAreClosed) {
  RestartServer({"--rpc-partial-timeout-ms", "300", "--rpc-http-idle-ms", "300", "--rpc-max-connections", "66"});
  // An idle line client (between whole messages) is not a stalled one.
  TRpcClient idle;
  idle.Connect(tcp_);
  EXPECT_EQ(idle.Call("sysvexon_GetServerState")["Value"], 31);
  std::vector<std::unique_ptr<TRaw>> halves;
  for (int i = 0; i < 64; ++i) {
    halves.push_back(std::make_unique<TRaw>());
    ASSERT_TRUE(halves.back()->Connect(i % 2 ? tcp_ : dir_ + "/rpc.sock"));
    ASSERT_TRUE(halves.back()->SendAll(R"({"jsonrpc":"2.0","id":1,"meth)"));
  }
  for (auto& h : halves) {
    std::string out;
    ASSERT_TRUE(h->ReadUntilClosed(out, 15000)) << "a half-sent message keeps its connection";
    EXPECT_EQ(out, "");
  }
  EXPECT_EQ(idle.Call("sysvexon_GetServerState")["Value"], 31) << "the idle client outlived the stalled ones";

  // HTTP: a keep-alive connection idle after its answer, and a request
  // head that never ends.
  TRaw keep;
  ASSERT_TRUE(keep.Connect(http_));
  const std::string body = Request("sysvexon_GetServerState", json::object());
  ASSERT_TRUE(keep.SendAll("POST /rpc HTTP/1.1\r\nHost: " + HttpHost() + "\r\nContent-Type: application/json\r\n" +
                           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body));
  std::string out;
  EXPECT_TRUE(keep.ReadUntilClosed(out, 15000)) << "idle keep-alive connection left open";
  EXPECT_NE(out.find("200 OK"), std::string::npos) << out;
  TRaw head;
  ASSERT_TRUE(head.Connect(http_));
  ASSERT_TRUE(head.SendAll("POST /rpc HTTP/1.1\r\nHost: "));
  EXPECT_TRUE(head.ReadUntilClosed(out, 15000)) << "half a request head keeps its connection";
  ExpectServing();
}

TEST_F(RpcHardening, APeerThatNeverReadsIsDroppedAfterTheWriteTimeout) {
  RestartServer({"--rpc-write-timeout-ms", "300", "--rpc-max-connections", "2"});
  // The fixture's client and this one fill the server.
  TRaw hog;
  ASSERT_TRUE(hog.Connect(tcp_));
  std::string requests;
  for (int i = 0; i < 400; ++i) requests += R"({"jsonrpc":"2.0","id":1,"method":"rpc.discover"})" "\n";
  ASSERT_EQ(hog.SendNow(requests), requests.size());
  // Room comes back only once the server gives up writing to the hog.
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  bool served = false;
  while (!served && Clock::now() < deadline) {
    // A refused probe may see its request bounce off the closed socket.
    TRaw probe;
    ASSERT_TRUE(probe.Connect(dir_ + "/rpc.sock"));
    const bool sent = probe.SendAll(Request("sysvexon_GetServerState", json::object()) + "\n");
    const std::string line = sent ? probe.ReadLine() : std::string();
    served = !line.empty() && json::parse(line).contains("result");
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(served) << "a peer that never reads holds its connection for ever";
  ExpectServing();
}

TEST_F(RpcHardening, TheConnectionLimitIsASettingAndHttpGets503) {
  WriteSettings("[Rpc]\nMaxConnections=2\n");
  RestartServer();
  TRpcClient second;
  second.Connect(tcp_);
  EXPECT_EQ(second.Call("sysvexon_GetServerState")["Value"], 31);
  TRaw line;
  ASSERT_TRUE(line.Connect(dir_ + "/rpc.sock"));
  const std::string refusal = line.ReadLine();
  ASSERT_FALSE(refusal.empty());
  EXPECT_EQ(json::parse(refusal)["error"]["code"], -32000);
  std::string rest;
  EXPECT_TRUE(line.ReadUntilClosed(rest)) << "and closed";
  const std::string answer = Exchange(http_, Post(HttpHost(), Request("sysvexon_GetServerState", json::object())));
  EXPECT_EQ(answer.rfind("HTTP/1.1 503", 0), 0u) << answer;
  const auto body = json::parse(answer.substr(answer.find("\r\n\r\n") + 4));
  EXPECT_EQ(body["error"]["code"], -32000);
  second.Close();
  // Room again once one left (the server notices the close by itself).
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  std::string ok;
  while (Clock::now() < deadline) {
    ok = Exchange(http_, Post(HttpHost(), Request("sysvexon_GetServerState", json::object())));
    if (ok.find("200 OK") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(ok.find("200 OK"), std::string::npos) << ok;
}

TEST_F(RpcHardening, BrowsersCannotCarryOutCalls) {
  WriteSettings("[Rpc]\nAllowedOrigins=http://panel.example, https://other.example\nAllowedHosts=vexon.example\n");
  RestartServer();
  const std::string port = http_.substr(http_.rfind(':') + 1);
  const std::string timer = Request("sysvexon_SetTimer", json::object());
  const int64_t before = LastEventId();
  auto status = [](const std::string& answer) { return answer.substr(0, answer.find("\r\n")); };

  // A cross-site form post: text/plain from a foreign origin.
  EXPECT_EQ(status(Exchange(http_, Post(HttpHost(), timer, "text/plain", "Origin: http://evil.example\r\n"))),
            "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(status(Exchange(http_, Post(HttpHost(), timer, "text/plain"))), "HTTP/1.1 415 Unsupported Media Type");
  EXPECT_EQ(status(Exchange(http_, Post(HttpHost(), timer, "application/json", "Origin: http://evil.example\r\n"))),
            "HTTP/1.1 403 Forbidden");
  // DNS rebinding: the right address under a foreign name.
  EXPECT_EQ(status(Exchange(http_, Post("evil.example:" + port, timer))), "HTTP/1.1 403 Forbidden");
  const std::string refusedBody = Exchange(http_, Post("evil.example:" + port, timer));
  EXPECT_EQ(json::parse(refusedBody.substr(refusedBody.find("\r\n\r\n") + 4))["error"]["code"], -32600);
  // HTTP sent to the line port: its first line closes the connection
  // before the JSON line in its body is read.
  std::string raw = Exchange(tcp_, Post(HttpHost(), timer + "\n", "text/plain", "Origin: http://evil.example\r\n"));
  EXPECT_EQ(raw, "") << "nothing is answered";
  EXPECT_EQ(LastEventId(), before + 1) << "none of the refused requests was carried out";

  // What is allowed: the listening address, localhost on loopback, a
  // configured name, a configured origin, a media type with parameters.
  EXPECT_EQ(status(Exchange(http_, Post(HttpHost() + ":" + port, timer))), "HTTP/1.1 200 OK");
  EXPECT_EQ(status(Exchange(http_, Post("localhost:" + port, timer))), "HTTP/1.1 200 OK");
  EXPECT_EQ(status(Exchange(http_, Post("Vexon.Example", timer))), "HTTP/1.1 200 OK");
  EXPECT_EQ(status(Exchange(http_, Post(HttpHost(), timer, "application/json; charset=utf-8",
                                        "Origin: https://other.example\r\n"))),
            "HTTP/1.1 200 OK");
  EXPECT_EQ(LastEventId(), before + 6);
  ExpectServing();
}

TEST_F(RpcHardening, ABodyOverTheLimitIsAnsweredThenClosedGracefully) {
  const std::string body(1100 * 1024, ' ');
  for (int round = 0; round < 5; ++round) {
    TRaw big;
    ASSERT_TRUE(big.Connect(http_));
    ASSERT_TRUE(big.SendAll("POST /rpc HTTP/1.1\r\nHost: " + HttpHost() +
                            "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                            "\r\n\r\n"));
    // The declared length alone is over the limit: the answer comes at
    // once, and the server still takes the body the client goes on sending.
    const std::string first = big.ReadLine();
    EXPECT_EQ(first, "HTTP/1.1 413 Payload Too Large\r") << round;
    EXPECT_TRUE(big.SendAll(body)) << "connection reset while the client was still sending, round " << round;
    std::string rest;
    EXPECT_TRUE(big.ReadUntilClosed(rest));
    EXPECT_NE(rest.find("-32600"), std::string::npos) << rest;
  }
  ExpectServing();
}

TEST_F(RpcHardening, OddValuesAreInvalidParamsOrInvalidRequests) {
  auto code = [&](const std::string& line) {
    client_.SendLine(line);
    const auto a = json::parse(client_.ReadLine());
    return a.contains("error") ? a["error"]["code"].get<int>() : 0;
  };
  auto date = [&](const json& dt) { return code(Request("sysvexon_SetTimerBS", {{"DT", dt}})); };
  EXPECT_EQ(date("2004-03-02T10:20:30"), 0);
  EXPECT_EQ(date("2004-03-02T10:20:30.250+03:00"), 0);
  EXPECT_EQ(date("2004-03-02T-1:20:30"), -32602) << "negative hour";
  EXPECT_EQ(date("2004-03-02T10:-5:30"), -32602) << "negative minute";
  EXPECT_EQ(date("2004-03-02T10:20:-1"), -32602) << "negative second";
  EXPECT_EQ(date("2004-03-02T10:20:30+99:00"), -32602) << "offset out of range";
  EXPECT_EQ(date("2004-03-02T10:20:30+03:-1"), -32602);
  EXPECT_EQ(date("2004-13-02T10:20:30"), -32602);
  EXPECT_EQ(date("2004-03-02T24:00:00"), -32602);
  EXPECT_EQ(date("2004-3-2T10:20:30"), -32602) << "fields have fixed widths";
  for (const char* params : {"5", "\"x\"", "true", "null"})
    EXPECT_EQ(code(std::string(R"({"jsonrpc":"2.0","id":1,"method":"sysvexon_GetServerState","params":)") + params + "}"),
              -32600)
        << params;
  // Numbers beyond the 64-bit range in a variant, and as scalars.
  EXPECT_EQ(code(Request("sysvexon_SendTimeZonesBS", {{"TimeZones", json::parse("[[1e19, 1]]")}})), -32602);
  EXPECT_EQ(code(Request("sysvexon_SendTimeZonesBS", {{"TimeZones", json::parse("[[-1e300]]")}})), -32602);
  EXPECT_EQ(code(Request("sysvexon_SendTimeZonesBS", {{"TimeZones", json::parse("[[18446744073709551615]]")}})),
            -32602);
  EXPECT_EQ(code(Request("sysvexon_GetErrorDescription", {{"Code", 1e19}})), -32602);
  EXPECT_EQ(code(Request("sysvexon_SetTimerBS", {{"DT", 1e300}})), -32602);
  ExpectServing();
}

TEST_F(RpcHardening, ATcpEndpointMayBeGivenByName) {
  TProcess own;
  const auto lines = Launch(own, {"--rpc-tcp", "localhost:0", "--rpc-unix", "off"});
  ASSERT_FALSE(lines.empty()) << "the server did not start";
  const std::string ep = lines.back().substr(lines.back().find("tcp ") + 4);
  TRpcClient c;
  c.Connect(ep);
  EXPECT_EQ(c.Call("sysvexon_GetServerState")["Value"], 31);
  EXPECT_EQ(own.Stop(), 0);
}

TEST_F(RpcHardening, TheUnixSocketIsPrivateAndNeverTakenFromALiveServer) {
  struct stat st {};
  ASSERT_EQ(::stat((dir_ + "/rpc.sock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A second server on the same path refuses to start; the first keeps
  // its socket.
  TProcess second;
  const auto lines = Launch(second, {"--rpc-tcp", "off", "--rpc-unix", dir_ + "/rpc.sock"});
  EXPECT_TRUE(lines.empty()) << lines.front();
  EXPECT_EQ(second.Stop(), 1) << "exit status of the refused server";
  ExpectServing();

  // A socket file nobody listens on is replaced; a file that is not a
  // socket is left alone and refused.
  const std::string stale = dir_ + "/stale.sock";
  {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, stale.c_str(), sizeof addr.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
  }
  TProcess third;
  ASSERT_FALSE(Launch(third, {"--rpc-tcp", "off", "--rpc-unix", stale}).empty()) << "a stale socket blocked the start";
  TRpcClient c;
  c.Connect(stale);
  EXPECT_EQ(c.Call("sysvexon_GetServerState")["Value"], 31);
  c.Close();
  EXPECT_EQ(third.Stop(), 0);
  std::ofstream(dir_ + "/plain.sock") << "data";
  TProcess fourth;
  EXPECT_TRUE(Launch(fourth, {"--rpc-tcp", "off", "--rpc-unix", dir_ + "/plain.sock"}).empty());
  EXPECT_EQ(fourth.Stop(), 1);
  EXPECT_TRUE(std::filesystem::is_regular_file(dir_ + "/plain.sock"));
}

TEST_F(RpcHardening, ATokenIsRequiredFromEveryClientWhenSet) {
  std::ofstream(dir_ + "/token") << "s3cret-token\n";
  std::string tcp, http;
  {
    TProcess own;
    expectedEndpoints_ = 2;
    const auto lines = Launch(own,
                              {"--rpc-tcp", "127.0.0.1:0", "--rpc-unix", "off", "--rpc-token-file", dir_ + "/token",
                               "--rpc-partial-timeout-ms", "300"},
                              "127.0.0.1:0");
    ASSERT_EQ(lines.size(), 2u) << "the server did not start";
    for (const auto& l : lines) {
      if (l.find("on tcp ") != std::string::npos) tcp = l.substr(l.find("tcp ") + 4);
      if (l.find("on http ") != std::string::npos) http = l.substr(l.find("http ") + 5, l.rfind('/') - l.find("http ") - 5);
    }
    const std::string timer = Request("sysvexon_SetTimer", json::object()) + "\n";
    TRaw right;
    ASSERT_TRUE(right.Connect(tcp));
    ASSERT_TRUE(right.SendAll(R"({"auth":"s3cret-token"})" "\n" + timer));
    const int64_t before = json::parse(right.ReadLine())["result"]["EventID"];

    // A connection that never shows the token is closed after the
    // partial-message time-out; the authorised one, idle meanwhile, stays.
    TRaw silent;
    ASSERT_TRUE(silent.Connect(tcp));
    std::string none;
    EXPECT_TRUE(silent.ReadUntilClosed(none, 15000)) << "a connection without its token stays open";
    EXPECT_EQ(none, "");

    // Without the token, or with a wrong one, or with more than the token:
    // nothing is carried out and the connection closes.
    for (const std::string& first : {timer, std::string(R"({"auth":"s3cret-tokeX"})" "\n"),
                                    std::string(R"({"auth":"s3cret-token-and-more"})" "\n"),
                                    std::string(R"({"auth":"s3cret-token","x":1})" "\n")}) {
      TRaw c;
      ASSERT_TRUE(c.Connect(tcp));
      ASSERT_TRUE(c.SendAll(first + timer));
      std::string out;
      EXPECT_TRUE(c.ReadUntilClosed(out)) << first;
      EXPECT_EQ(out, "") << first;
    }
    auto post = [&](const std::string& auth) {
      TRaw c;
      EXPECT_TRUE(c.Connect(http));
      EXPECT_TRUE(c.SendAll(Post(http.substr(0, http.rfind(':')), timer, "application/json", auth)));
      std::string out;
      EXPECT_TRUE(c.ReadUntilClosed(out));
      return out.substr(0, out.find("\r\n"));
    };
    EXPECT_EQ(post(""), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(post("Authorization: Bearer s3cret-tokeX\r\n"), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(post("Authorization: Basic s3cret-token\r\n"), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(post("Authorization: Bearer s3cret-token\r\n"), "HTTP/1.1 200 OK");
    ASSERT_TRUE(right.SendAll(timer));
    EXPECT_EQ(json::parse(right.ReadLine())["result"]["EventID"], before + 2) << "only the authorised POST ran";
    right.Close();
    EXPECT_EQ(own.Stop(), 0);
  }
  // Beyond loopback a token is required to start at all.
  TProcess open;
  expectedEndpoints_ = 1;
  EXPECT_TRUE(Launch(open, {"--rpc-tcp", "0.0.0.0:0", "--rpc-unix", "off"}).empty());
  EXPECT_EQ(open.Stop(), 1);
  TProcess guarded;
  EXPECT_FALSE(Launch(guarded, {"--rpc-tcp", "0.0.0.0:0", "--rpc-unix", "off", "--rpc-token-file", dir_ + "/token"}).empty());
  EXPECT_EQ(guarded.Stop(), 0);
  ExpectServing();
}

// The subset of JSON Schema the interface description uses.
void ExpectMatches(const json& schema, const json& value, const std::string& where) {
  if (!schema.contains("type")) return;  // any value
  const std::string type = schema["type"];
  if (type == "integer") {
    ASSERT_TRUE(value.is_number_integer()) << where << ": " << value;
    if (schema.contains("minimum")) {
      EXPECT_GE(value.get<int64_t>(), schema["minimum"].get<int64_t>()) << where;
    }
    if (schema.contains("maximum")) {
      EXPECT_LE(value.get<int64_t>(), schema["maximum"].get<int64_t>()) << where;
    }
  } else if (type == "number") {
    EXPECT_TRUE(value.is_number()) << where << ": " << value;
  } else if (type == "string") {
    EXPECT_TRUE(value.is_string()) << where << ": " << value;
  } else if (type == "object") {
    ASSERT_TRUE(value.is_object()) << where << ": " << value;
    for (const auto& name : schema.value("required", json::array()))
      EXPECT_TRUE(value.contains(name.get<std::string>())) << where << " lacks " << name;
    for (auto it = value.begin(); it != value.end(); ++it) {
      const auto& props = schema.value("properties", json::object());
      if (!props.contains(it.key())) {
        EXPECT_NE(schema.value("additionalProperties", true), false) << where << " has no " << it.key();
        continue;
      }
      ExpectMatches(props[it.key()], it.value(), where + "." + it.key());
    }
  } else {
    ADD_FAILURE() << where << ": unexpected schema type " << type;
  }
}

TEST_F(RpcHardening, TheDescribedResultIsWhatEveryOperationReturns) {
  const json doc = Call("rpc.discover");
  int checked = 0;
  for (const auto& m : doc["methods"]) {
    if (m.value("x-inherited", false)) continue;
    const std::string name = m["name"];
    json params = json::object();
    for (const auto& p : m["params"]) {
      if (!p["required"].get<bool>()) continue;
      const std::string t = p["x-type"];
      params[p["name"].get<std::string>()] = t == "BSTR" ? json("") : t == "VARIANT" ? json::parse("[[0]]") : json(0);
    }
    const auto answer = client_.Request(name, params);
    if (!answer.contains("result")) continue;  // refused by the operation itself, or not in this build
    ExpectMatches(m["result"]["schema"], answer["result"], name);
    ++checked;
  }
  EXPECT_GE(checked, 60) << "operations whose answer was checked";
  ExpectServing();
}

// A Prometheus text-format reader: HELP and TYPE comments, samples as
// name{label="value",...} number; fails on anything else. Returns the
// samples keyed by name plus labels as written.
std::map<std::string, double> ParsePrometheus(const std::string& text) {
  std::map<std::string, double> samples;
  std::map<std::string, std::string> types;
  std::istringstream in(text);
  auto isNameChar = [](char c, bool first) {
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == ':' ||
           (!first && std::isdigit(static_cast<unsigned char>(c)));
  };
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    if (line.rfind("# ", 0) == 0) {
      std::istringstream c(line.substr(2));
      std::string kind, name, rest;
      c >> kind >> name;
      std::getline(c, rest);
      if (kind == "TYPE") {
        EXPECT_TRUE(rest == " counter" || rest == " gauge" || rest == " untyped") << line;
        EXPECT_EQ(types.count(name), 0u) << "TYPE given twice: " << line;
        types[name] = rest.substr(1);
      } else {
        EXPECT_EQ(kind, "HELP") << line;
      }
      continue;
    }
    size_t i = 0;
    while (i < line.size() && isNameChar(line[i], i == 0)) ++i;
    const std::string name = line.substr(0, i);
    EXPECT_FALSE(name.empty()) << line;
    EXPECT_EQ(types.count(name), 1u) << "sample before its TYPE: " << line;
    std::string key = name;
    if (i < line.size() && line[i] == '{') {
      const size_t open = i++;
      for (;;) {
        const size_t n0 = i;
        while (i < line.size() && isNameChar(line[i], i == n0)) ++i;
        EXPECT_GT(i, n0) << "label name expected: " << line;
        EXPECT_EQ(line.substr(i, 2), "=\"") << line;
        i += 2;
        while (i < line.size() && line[i] != '"') i += line[i] == '\\' ? 2 : 1;
        EXPECT_LT(i, line.size()) << "unterminated label value: " << line;
        ++i;
        if (i < line.size() && line[i] == ',') {
          ++i;
          continue;
        }
        break;
      }
      EXPECT_EQ(line[i], '}') << line;
      key += line.substr(open, ++i - open);
    }
    EXPECT_EQ(line[i], ' ') << line;
    char* end = nullptr;
    const double v = std::strtod(line.c_str() + i + 1, &end);
    EXPECT_EQ(*end, '\0') << "not a number: " << line;
    EXPECT_EQ(samples.count(key), 0u) << "sample given twice: " << line;
    samples[key] = v;
  }
  return samples;
}

TEST_F(RpcHardening, MetricsAreServedInThePrometheusTextFormat) {
  auto scrape = [&](const std::string& host) {
    TRaw c;
    EXPECT_TRUE(c.Connect(http_));
    EXPECT_TRUE(c.SendAll("GET /metrics HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n"));
    std::string out;
    EXPECT_TRUE(c.ReadUntilClosed(out));
    return out;
  };
  EXPECT_EQ(scrape("evil.example").rfind("HTTP/1.1 403", 0), 0u) << "the same Host rule as /rpc";

  for (int i = 0; i < 3; ++i) Call("sysvexon_GetServerState");
  client_.SendLine(Request("sysvexon_GetErrorDescription", json::object()));
  client_.ReadLine();
  OpenAndAutoconfigure();
  const std::string page = scrape(HttpHost());
  ASSERT_EQ(page.rfind("HTTP/1.1 200 OK", 0), 0u) << page.substr(0, 200);
  EXPECT_NE(page.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
  const auto m = ParsePrometheus(page.substr(page.find("\r\n\r\n") + 4));
  EXPECT_GE(m.at("vexon_rpc_calls_total{method=\"sysvexon_GetServerState\"}"), 3);
  EXPECT_GE(m.at("vexon_rpc_errors_total{method=\"sysvexon_GetErrorDescription\",code=\"-32602\"}"), 1);
  EXPECT_GE(m.at("vexon_frames_sent_total"), 0);
  EXPECT_EQ(m.at("vexon_port_open"), 1);
  EXPECT_EQ(m.at("vexon_link_status"), 0);
  EXPECT_GE(m.at("vexon_rpc_connections_open"), 2) << "the fixture's client and the scrape";
  EXPECT_EQ(m.at("vexon_rpc_connections_refused_total"), 0);
  EXPECT_GE(m.at("vexon_request_results_total{code=\"0\"}"), 1) << "the autoconfiguration's answer";
  for (const char* name : {"vexon_frames_failed_total", "vexon_request_queue_length", "vexon_answers_pending",
                           "vexon_monitoring_journal_size", "vexon_registration_journal_size"})
    EXPECT_EQ(m.count(name), 1u) << name;
  const double start = m.at("process_start_time_seconds");
  EXPECT_GT(start, 1.5e9);
  EXPECT_LE(start, static_cast<double>(std::time(nullptr)));
  ExpectServing();
}

}  // namespace
