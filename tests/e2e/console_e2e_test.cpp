// The web console's HTTP side against the real server: its page and files
// with their security and cache headers, the session a token login gives
// (cookie attributes, anti-forgery header on changes, a pause for a wrong
// token, logout, a session kept across a restart), and what a browser on
// another site can do with the cookie: nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <regex>

#include "e2e_fixture.h"
#include "raw_connection.h"

using namespace vexon;
using namespace vexon::testing;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

struct THttpAnswer {
  std::string Status;                          // "HTTP/1.1 200 OK"
  std::multimap<std::string, std::string> Headers;  // names in lower case
  std::string Body;

  std::string Header(const std::string& name) const {
    const auto it = Headers.find(name);
    return it == Headers.end() ? std::string() : it->second;
  }
};

THttpAnswer Parse(const std::string& raw) {
  THttpAnswer a;
  const auto headEnd = raw.find("\r\n\r\n");
  const std::string head = raw.substr(0, headEnd);
  a.Body = headEnd == std::string::npos ? std::string() : raw.substr(headEnd + 4);
  size_t pos = head.find("\r\n");
  a.Status = head.substr(0, pos);
  while (pos != std::string::npos && pos < head.size()) {
    const size_t next = head.find("\r\n", pos + 2);
    const std::string line = head.substr(pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2);
    const auto colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      a.Headers.emplace(name, line.substr(line.find_first_not_of(' ', colon + 1)));
    }
    pos = next;
  }
  return a;
}

class ConsoleE2e : public E2eTest {
 protected:
  // Restarts the fixture's server with a token and a session lifetime.
  void RestartWithToken() {
    std::ofstream(dir_ + "/none.ini") << "[Rpc]\nToken=console-token-1\n[Console]\nSessionHours=2\n";
    RestartServer();
  }

  std::string Host() const { return http_; }

  // One request on a fresh connection ("Connection: close"), the whole answer.
  THttpAnswer Http(const std::string& method, const std::string& target, const std::string& extra = "",
                   const std::string& body = "") {
    TRaw c;
    EXPECT_TRUE(c.Connect(http_));
    std::string req = method + " " + target + " HTTP/1.1\r\nHost: " + Host() + "\r\n" + extra;
    if (method == "POST") req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    req += "Connection: close\r\n\r\n" + body;
    EXPECT_TRUE(c.SendAll(req));
    std::string out;
    EXPECT_TRUE(c.ReadUntilClosed(out)) << method << " " << target << ": the server did not close";
    return Parse(out);
  }

  THttpAnswer Rpc(const std::string& method, const std::string& extra) {
    const std::string body = json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", method}, {"params", json::object()}}.dump();
    return Http("POST", "/rpc", "Content-Type: application/json\r\n" + extra, body);
  }

  // The EventID the last queued request got, by the token: each SetTimer
  // queues one request, so a difference counts the requests carried out.
  int64_t LastEventId() {
    const auto a = Rpc("sysvexon_SetTimer", "Authorization: Bearer console-token-1\r\n");
    EXPECT_EQ(a.Status, "HTTP/1.1 200 OK") << a.Body;
    return json::parse(a.Body)["result"]["EventID"];
  }

  struct TLogin {
    std::string Cookie;  // "vexon_session=..."
    std::string AntiForgery;
    std::string SetCookie;
  };
  TLogin Login() {
    const auto a = Http("POST", "/console/login", "Content-Type: application/json\r\n", R"({"token":"console-token-1"})");
    EXPECT_EQ(a.Status, "HTTP/1.1 200 OK") << a.Body;
    TLogin l;
    l.SetCookie = a.Header("set-cookie");
    l.Cookie = l.SetCookie.substr(0, l.SetCookie.find(';'));
    l.AntiForgery = json::parse(a.Body).value("antiForgery", "");
    return l;
  }
};

TEST_F(ConsoleE2e, ThePageAndItsFilesComeWithSecurityAndCacheHeaders) {
  const auto page = Http("GET", "/");
  EXPECT_EQ(page.Status, "HTTP/1.1 200 OK");
  EXPECT_EQ(page.Header("content-type"), "text/html; charset=utf-8");
  EXPECT_NE(page.Body.find("Последовательный порт"), std::string::npos);
  EXPECT_EQ(page.Header("cache-control"), "no-cache");
  for (const auto& target : {"/", "/console/console.js", "/console/chart.min.js", "/console/session", "/console/nope"}) {
    const auto a = Http("GET", target);
    EXPECT_EQ(a.Header("content-security-policy"), "default-src 'self'") << target;
    EXPECT_EQ(a.Header("x-content-type-options"), "nosniff") << target;
    EXPECT_EQ(a.Header("referrer-policy"), "no-referrer") << target;
  }
  const auto chart = Http("GET", "/console/chart.min.js");
  EXPECT_EQ(chart.Header("content-type"), "text/javascript; charset=utf-8");
  EXPECT_EQ(chart.Header("cache-control"), "public, max-age=86400");
  EXPECT_NE(chart.Body.find("Chart.js v3"), std::string::npos) << "Debian's Chart.js, byte for byte";
  // Revalidation: the ETag answers 304 without a body.
  const auto again = Http("GET", "/console/console.js", "If-None-Match: " + page.Header("etag") + "\r\n");
  EXPECT_EQ(again.Status, "HTTP/1.1 200 OK") << "another file's tag is not this file's";
  const auto js = Http("GET", "/console/console.js");
  const auto same = Http("GET", "/console/console.js", "If-None-Match: " + js.Header("etag") + "\r\n");
  EXPECT_EQ(same.Status, "HTTP/1.1 304 Not Modified");
  EXPECT_EQ(same.Body, "");
  EXPECT_EQ(Http("GET", "/console/nope").Status, "HTTP/1.1 404 Not Found");
  EXPECT_EQ(Http("POST", "/", "Content-Type: application/json\r\n").Status, "HTTP/1.1 405 Method Not Allowed");
  // Without a token the console needs no session, and its own origin may call.
  EXPECT_EQ(json::parse(Http("GET", "/console/session").Body),
            json({{"tokenRequired", false}, {"signedIn", true}, {"antiForgery", ""}}));
  EXPECT_EQ(Rpc("sysvexon_GetServerState", "Origin: http://" + Host() + "\r\n").Status, "HTTP/1.1 200 OK");
  // The Host rule holds for the page too (DNS rebinding).
  TRaw c;
  ASSERT_TRUE(c.Connect(http_));
  ASSERT_TRUE(c.SendAll("GET / HTTP/1.1\r\nHost: evil.example\r\nConnection: close\r\n\r\n"));
  std::string out;
  ASSERT_TRUE(c.ReadUntilClosed(out));
  EXPECT_EQ(Parse(out).Status, "HTTP/1.1 403 Forbidden");
}

TEST_F(ConsoleE2e, ATokenLoginGivesAStrictCookieAWrongOneIsRefusedAfterAPause) {
  RestartWithToken();
  EXPECT_EQ(json::parse(Http("GET", "/console/session").Body)["signedIn"], false);
  EXPECT_EQ(Http("GET", "/").Status, "HTTP/1.1 200 OK") << "the page (and its login form) needs no session";

  const auto t0 = Clock::now();
  const auto wrong = Http("POST", "/console/login", "Content-Type: application/json\r\n", R"({"token":"console-token-2"})");
  EXPECT_EQ(wrong.Status, "HTTP/1.1 401 Unauthorized");
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(450)) << "a wrong token is answered after the pause";
  EXPECT_EQ(wrong.Header("set-cookie"), "");
  EXPECT_EQ(Http("POST", "/console/login", "Content-Type: text/plain\r\n", R"({"token":"console-token-1"})").Status,
            "HTTP/1.1 415 Unsupported Media Type");

  const auto login = Login();
  EXPECT_TRUE(std::regex_match(login.SetCookie,
                               std::regex("vexon_session=[0-9a-f]{64}; HttpOnly; SameSite=Strict; Path=/; Max-Age=7200")))
      << login.SetCookie;
  EXPECT_TRUE(std::regex_match(login.AntiForgery, std::regex("[0-9a-f]{64}")));
  EXPECT_EQ(json::parse(Http("GET", "/console/session", "Cookie: a=b; " + login.Cookie + "\r\n").Body),
            json({{"tokenRequired", true}, {"signedIn", true}, {"antiForgery", login.AntiForgery}}));
  EXPECT_EQ(Http("GET", "/metrics", "Cookie: " + login.Cookie + "\r\n").Status, "HTTP/1.1 200 OK");
  EXPECT_EQ(Http("GET", "/metrics", "Cookie: vexon_session=" + std::string(64, 'a') + "\r\n").Status,
            "HTTP/1.1 401 Unauthorized");

  // The event stream with the cookie.
  TRaw sse;
  ASSERT_TRUE(sse.Connect(http_));
  ASSERT_TRUE(sse.SendAll("GET /events?streams=state HTTP/1.1\r\nHost: " + Host() + "\r\nCookie: " + login.Cookie +
                          "\r\n\r\n"));
  EXPECT_EQ(sse.ReadLine(), "HTTP/1.1 200 OK\r");
  bool subscribed = false;
  for (int i = 0; i < 20 && !subscribed; ++i) {
    const std::string l = sse.ReadLine();
    if (l.empty() && sse.closed()) break;
    subscribed = l == "event: subscribed";
  }
  EXPECT_TRUE(subscribed) << "the stream began";
  // Signing out ends the stream the session opened.
  EXPECT_EQ(Http("POST", "/console/logout",
                 "Cookie: " + login.Cookie + "\r\nOrigin: http://" + Host() + "\r\nX-Vexon-Anti-Forgery: " +
                     login.AntiForgery + "\r\n")
                .Status,
            "HTTP/1.1 200 OK");
  std::string rest;
  EXPECT_TRUE(sse.ReadUntilClosed(rest, 10000)) << "the stream outlived its session";
  sse.Close();
}

TEST_F(ConsoleE2e, ChangesNeedTheAntiForgeryHeaderACrossSiteFormPostChangesNothing) {
  RestartWithToken();
  const auto login = Login();
  const std::string cookie = "Cookie: " + login.Cookie + "\r\n";
  const std::string own = "Origin: http://" + Host() + "\r\n";
  const int64_t before = LastEventId();

  // A form on another site posting to /rpc with the cookie (were a browser
  // to send it): foreign origin, form media type, no anti-forgery header.
  const std::string timer = R"({"jsonrpc":"2.0","id":1,"method":"sysvexon_SetTimer","params":{}})";
  for (const std::string type : {"application/x-www-form-urlencoded", "text/plain", "application/json"}) {
    EXPECT_EQ(Http("POST", "/rpc", "Content-Type: " + type + "\r\nOrigin: http://evil.example\r\n" + cookie, timer).Status,
              "HTTP/1.1 403 Forbidden") << type;
    EXPECT_EQ(Http("POST", "/rpc", "Content-Type: " + type + "\r\n" + cookie, timer).Status, "HTTP/1.1 403 Forbidden")
        << type << ": the cookie alone is no permission to change";
  }
  EXPECT_EQ(Rpc("sysvexon_SetTimer", cookie + own + "X-Vexon-Anti-Forgery: " + std::string(64, '0') + "\r\n").Status,
            "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(LastEventId(), before + 1) << "none of the refused posts was carried out";

  // The console itself: cookie, its own origin and the header.
  const auto ok = Rpc("sysvexon_SetTimer", cookie + own + "X-Vexon-Anti-Forgery: " + login.AntiForgery + "\r\n");
  EXPECT_EQ(ok.Status, "HTTP/1.1 200 OK");
  EXPECT_EQ(json::parse(ok.Body)["result"]["EventID"], before + 2);

  // "Выйти": the same rule, then the session is gone.
  EXPECT_EQ(Http("POST", "/console/logout", cookie + own).Status, "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(Http("GET", "/metrics", cookie).Status, "HTTP/1.1 200 OK") << "a refused logout ends nothing";
  const auto out = Http("POST", "/console/logout", cookie + own + "X-Vexon-Anti-Forgery: " + login.AntiForgery + "\r\n");
  EXPECT_EQ(out.Status, "HTTP/1.1 200 OK");
  EXPECT_EQ(out.Header("set-cookie"), "vexon_session=; HttpOnly; SameSite=Strict; Path=/; Max-Age=0");
  EXPECT_EQ(Http("GET", "/metrics", cookie).Status, "HTTP/1.1 401 Unauthorized");
  EXPECT_EQ(LastEventId(), before + 3);
}

TEST_F(ConsoleE2e, ASessionOutlivesARestartOfTheServer) {
  RestartWithToken();
  const auto login = Login();
  client_.Close();
  ASSERT_EQ(server_.Stop(), 0);
  StartServer();
  EXPECT_EQ(Http("GET", "/metrics", "Cookie: " + login.Cookie + "\r\n").Status, "HTTP/1.1 200 OK");
  struct stat st {};
  ASSERT_EQ(::stat((dir_ + "/console-sessions").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the sessions file is private";
}

}  // namespace

// The console reads the status blocks without taking the changed flags the
// site's own client watches: after the console's reads, the client's
// GetControllerUSCS still finds each block changed. The status needs the
// session when a token is set.
TEST_F(ConsoleE2e, StatusBlocksAreReadWithoutClearingTheChangedFlags) {
  OpenAndAutoconfigure();
  Call("sysvexon_StartMonitoring");
  WaitFirstMonitoringPass();
  const int64_t count = Call("sysvexon_GetControllerCount")["Cnt"];
  for (int round = 0; round < 2; ++round) {
    const auto a = Http("GET", "/console/status");
    ASSERT_EQ(a.Status, "HTTP/1.1 200 OK") << a.Body;
    EXPECT_EQ(a.Header("cache-control"), "no-store");
    const auto list = json::parse(a.Body)["controllers"];
    EXPECT_GT(json::parse(a.Body)["run"].get<uint64_t>(), 0u) << "the run the page compares across a restart";
    ASSERT_EQ(static_cast<int64_t>(list.size()), count);
    EXPECT_EQ(list[0]["ControllerNum"], 1);
    EXPECT_EQ(list[0]["USCSValid"], 1);
  }
  for (int64_t n = 1; n <= count; ++n) {
    const auto first = Call("sysvexon_GetControllerUSCS", {{"ControllerNum", n}});
    const auto block = json::parse(Http("GET", "/console/status").Body)["controllers"][n - 1];
    for (const char* b : {"b1", "b2", "b3", "b4", "b5", "b6", "b7"}) EXPECT_EQ(block[b], first[b]) << n << " " << b;
    // The wait for the first pass read the last controller's block itself.
    if (n < count) {
      EXPECT_EQ(first["USCSChanged"], 1) << "controller " << n << ": the console's reads took the change";
    }
  }
  // The run tells the page that request numbers have started again.
  const uint64_t run = json::parse(Http("GET", "/console/status").Body)["run"];
  RestartWithToken();
  EXPECT_EQ(Http("GET", "/console/status").Status, "HTTP/1.1 401 Unauthorized");
  const auto login = Login();
  const auto after = Http("GET", "/console/status", "Cookie: " + login.Cookie + "\r\n");
  EXPECT_EQ(after.Status, "HTTP/1.1 200 OK");
  EXPECT_NE(json::parse(after.Body)["run"].get<uint64_t>(), run) << "a restart is a new run";
}
