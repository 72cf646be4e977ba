// The web console's sessions: a browser that showed the token once gets a
// session (a random identifier for its cookie, and a random anti-forgery
// value that the page sends with every change), valid for a fixed lifetime.
//
// Sessions are kept in a file (mode 0600, replaced atomically at each login
// and logout) when one is named, so that a console stays signed in across a
// restart of the server. The file's first line is "token SALT DIGEST", the
// SHA-1 of the salt and the token the sessions were given under: after the
// token has changed (a leaked one replaced), every kept session ends. On
// loading, a session never outlives the present lifetime from now, expired
// ones are dropped before the limit counts; expired sessions are dropped
// whenever the list changes; at most kMaxSessions live at once (the oldest
// goes first).
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexon {

struct TConsoleSession {
  std::string Id;           // the cookie's value
  std::string AntiForgery;  // the header every change carries
  int64_t Expires = 0;      // seconds since the epoch
};

class TConsoleSessions {
 public:
  static constexpr size_t kMaxSessions = 256;
  using TNow = int64_t (*)();

  // `file` empty: sessions live in memory only. `token`: the token the
  // sessions are given under. `now` (seconds since the epoch) for tests.
  TConsoleSessions(std::chrono::seconds lifetime, std::string file, std::string token = {}, TNow now = nullptr);

  std::chrono::seconds Lifetime() const { return lifetime_; }
  // A new session. Empty when no random bytes could be had.
  std::optional<TConsoleSession> Create();
  // The live session of that identifier (compared in constant time).
  std::optional<TConsoleSession> Find(std::string_view id) const;
  // Ends the session; false when there was none.
  bool End(std::string_view id);
  size_t Count() const;

 private:
  int64_t Now() const;
  void Load();
  void Save() const;  // under lock_
  void DropExpired(); // under lock_

  const std::chrono::seconds lifetime_;
  const std::string file_;
  const std::string token_;
  std::string salt_;  // of the file's token line
  const TNow now_;
  mutable std::mutex lock_;
  std::vector<TConsoleSession> sessions_;
};

// 32 random bytes as 64 hexadecimal digits; empty on failure.
std::string RandomHex();

}  // namespace vexon
