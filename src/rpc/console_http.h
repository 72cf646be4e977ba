// The web console's side of the HTTP transport: its page and assets at
// "/" and "/console/...", and the session that lets a browser use
// POST /rpc, GET /events and GET /metrics without holding the token.
//
//   GET  /                   the page; GET /console/<file> its assets
//   GET  /console/session    {"tokenRequired":b,"signedIn":b,"antiForgery":"..."}
//   POST /console/login      {"token":"..."} (application/json): sets the
//                            session cookie; a wrong token is answered 401
//                            after the transport's pause
//   POST /console/logout     ends the session (cookie and anti-forgery header)
//   GET  /console/status     {"run":R,"controllers":[{"ControllerNum","MakeAdr",
//                            "USCSValid","b1".."b7"}...]}: the run (as the
//                            event streams name it) and the status blocks
//                            as the server holds them, read without clearing
//                            the changed flags that sysvexon_GetControllerUSCS
//                            clears, so the console takes nothing from the
//                            site's own client (session, when a token is set)
//
// The cookie is "vexon_session" (HttpOnly, SameSite=Strict, Path=/,
// Max-Age = the session lifetime). A change (any POST) made with the cookie
// also carries the header "X-Vexon-Anti-Forgery" with the session's value;
// a page of another origin cannot read that value, and its requests carry
// a foreign Origin, which the transport refuses. (SameSite keeps the cookie
// from other sites, but a page on the same host at another port counts as
// the same site: the header and the Origin check are what protect.) A
// stream of GET /events opened with the session ends when the session
// does. Every answer here carries Content-Security-Policy
// default-src 'self', X-Content-Type-Options nosniff and Referrer-Policy
// no-referrer. Host and Origin are checked by the transport before any of
// this; without a token the console needs no session.
#pragma once

#include <boost/beast/http.hpp>
#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "rpc/console_sessions.h"

namespace vexon {

class TConsoleHttp {
 public:
  using TRequest = boost::beast::http::request<boost::beast::http::string_body>;
  using TResponse = boost::beast::http::response<boost::beast::http::string_body>;
  static constexpr const char* kCookie = "vexon_session";
  static constexpr const char* kAntiForgeryHeader = "X-Vexon-Anti-Forgery";

  // `token` empty: no sessions are needed. `sessionFile` empty: sessions
  // are not kept across a restart.
  TConsoleHttp(std::string token, std::chrono::seconds sessionLifetime, std::string sessionFile);

  // Whether the target is the console's own ("/", "/console/...").
  static bool Owns(std::string_view target);
  // Answers one of the console's own requests. `pause` runs before a wrong
  // token is answered.
  void Answer(const TRequest& req, TResponse& res, const std::function<void()>& pause);

  enum class TAccess { Refused, Allowed, AntiForgeryMissing };
  // For requests beyond the console's own (with a token set): whether the
  // session cookie lets this one through; a POST also needs the session's
  // anti-forgery header.
  TAccess BySession(const TRequest& req) const;

  static void SecurityHeaders(TResponse& res);

  // What GET /console/status answers; set before the transport listens.
  void SetStatusSource(std::function<nlohmann::json()> source) { statusSource_ = std::move(source); }

 private:
  void Login(const TRequest& req, TResponse& res, const std::function<void()>& pause);
  std::optional<TConsoleSession> SessionOf(const TRequest& req) const;

  const std::string token_;
  TConsoleSessions sessions_;
  std::function<nlohmann::json()> statusSource_;
};

}  // namespace vexon
