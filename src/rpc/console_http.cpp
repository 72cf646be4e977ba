#include "rpc/console_http.h"

#include <nlohmann/json.hpp>

#include "rpc/console_files.h"
#include "util/log.h"

namespace vexon {

namespace http = boost::beast::http;

namespace {

std::string_view View(boost::beast::string_view s) { return {s.data(), s.size()}; }

std::string_view Path(std::string_view target) { return target.substr(0, target.find('?')); }

bool SameText(std::string_view given, std::string_view expected) {
  unsigned diff = given.size() != expected.size();
  for (size_t i = 0; i < expected.size(); ++i)
    diff |= static_cast<unsigned char>(expected[i]) ^ static_cast<unsigned char>(i < given.size() ? given[i] : 0);
  return diff == 0;
}

// The value of one cookie in a Cookie header ("a=1; vexon_session=...").
std::string_view CookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    const auto semi = header.find(';');
    std::string_view item = header.substr(0, semi);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    if (item.size() > name.size() && item.substr(0, name.size()) == name && item[name.size()] == '=')
      return item.substr(name.size() + 1);
    if (semi == std::string_view::npos) break;
    header.remove_prefix(semi + 1);
  }
  return {};
}

void Json(TConsoleHttp::TResponse& res, http::status status, const nlohmann::json& body) {
  res.result(status);
  res.set(http::field::content_type, "application/json");
  res.set(http::field::cache_control, "no-store");
  res.body() = body.dump();
}

std::string Cookie(const std::string& value, int64_t maxAge) {
  return std::string(TConsoleHttp::kCookie) + "=" + value + "; HttpOnly; SameSite=Strict; Path=/; Max-Age=" +
         std::to_string(maxAge);
}

}  // namespace

TConsoleHttp::TConsoleHttp(std::string token, std::chrono::seconds sessionLifetime, std::string sessionFile)
    : token_(std::move(token)), sessions_(sessionLifetime, token_.empty() ? std::string() : std::move(sessionFile), token_) {}

bool TConsoleHttp::Owns(std::string_view target) {
  const auto path = Path(target);
  return path == "/" || path.substr(0, 9) == "/console/";
}

void TConsoleHttp::SecurityHeaders(TResponse& res) {
  res.set("Content-Security-Policy", "default-src 'self'");
  res.set("X-Content-Type-Options", "nosniff");
  res.set("Referrer-Policy", "no-referrer");
}

std::optional<TConsoleSession> TConsoleHttp::SessionOf(const TRequest& req) const {
  return sessions_.Find(CookieValue(View(req[http::field::cookie]), kCookie));
}

TConsoleHttp::TAccess TConsoleHttp::BySession(const TRequest& req) const {
  const auto session = SessionOf(req);
  if (!session) return TAccess::Refused;
  if (req.method() == http::verb::get) return TAccess::Allowed;
  return SameText(View(req[kAntiForgeryHeader]), session->AntiForgery) ? TAccess::Allowed
                                                                         : TAccess::AntiForgeryMissing;
}

void TConsoleHttp::Answer(const TRequest& req, TResponse& res, const std::function<void()>& pause) {
  SecurityHeaders(res);
  const auto path = Path(View(req.target()));
  const bool get = req.method() == http::verb::get;
  if (path == "/console/login" || path == "/console/logout") {
    if (req.method() != http::verb::post) {
      res.set(http::field::allow, "POST");
      return Json(res, http::status::method_not_allowed, {{"error", "POST"}});
    }
    if (path == "/console/login") return Login(req, res, pause);
    const auto session = SessionOf(req);
    if (!token_.empty() && (!session || BySession(req) != TAccess::Allowed))
      return Json(res, http::status::forbidden, {{"error", "no session, or the anti-forgery header is missing"}});
    if (session) sessions_.End(session->Id);
    res.set(http::field::set_cookie, Cookie("", 0));
    return Json(res, http::status::ok, {{"signedIn", false}});
  }
  if (!get) {
    res.set(http::field::allow, "GET");
    return Json(res, http::status::method_not_allowed, {{"error", "GET"}});
  }
  if (path == "/console/status") {
    if (!token_.empty() && BySession(req) != TAccess::Allowed)
      return Json(res, http::status::unauthorized, {{"error", "no session"}});
    return Json(res, http::status::ok,
                statusSource_ ? statusSource_() : nlohmann::json{{"run", 0}, {"controllers", nlohmann::json::array()}});
  }
  if (path == "/console/session") {
    const auto session = token_.empty() ? std::nullopt : SessionOf(req);
    return Json(res, http::status::ok,
                {{"tokenRequired", !token_.empty()},
                 {"signedIn", token_.empty() || session.has_value()},
                 {"antiForgery", session ? session->AntiForgery : std::string()}});
  }
  for (const auto& f : ConsoleFiles()) {
    if (f.Path != path) continue;
    res.set(http::field::cache_control, std::string(f.CacheControl));
    res.set(http::field::etag, std::string(f.ETag));
    res.set(http::field::content_type, std::string(f.Type));
    if (View(req[http::field::if_none_match]) == f.ETag) {
      res.result(http::status::not_modified);
      return;
    }
    res.body().assign(f.Body.data(), f.Body.size());
    return;
  }
  res.result(http::status::not_found);
  res.set(http::field::content_type, "text/plain; charset=utf-8");
  res.body() = "not found\n";
}

void TConsoleHttp::Login(const TRequest& req, TResponse& res, const std::function<void()>& pause) {
  std::string type(View(req[http::field::content_type]));
  type = type.substr(0, type.find(';'));
  if (type != "application/json")
    return Json(res, http::status::unsupported_media_type, {{"error", "Content-Type must be application/json"}});
  if (token_.empty()) return Json(res, http::status::ok, {{"signedIn", true}, {"antiForgery", ""}});
  // A token is one short line: anything longer is wrong without parsing.
  const auto body = req.body().size() <= 4096 ? nlohmann::json::parse(req.body(), nullptr, false) : nlohmann::json();
  const bool right = body.is_object() && body.contains("token") && body["token"].is_string() &&
                     SameText(body["token"].get<std::string>(), token_);
  if (!right) {
    pause();
    res.keep_alive(false);
    return Json(res, http::status::unauthorized, {{"error", "wrong token"}});
  }
  const auto session = sessions_.Create();
  if (!session) return Json(res, http::status::service_unavailable, {{"error", "no random bytes for a session"}});
  log::info("console: a session began");
  res.set(http::field::set_cookie, Cookie(session->Id, sessions_.Lifetime().count()));
  Json(res, http::status::ok, {{"signedIn", true}, {"antiForgery", session->AntiForgery}});
}

}  // namespace vexon
