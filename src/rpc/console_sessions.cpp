#include "rpc/console_sessions.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "util/log.h"

namespace vexon {

namespace {

bool SameText(std::string_view a, std::string_view b) {
  unsigned diff = a.size() != b.size();
  for (size_t i = 0; i < b.size(); ++i)
    diff |= static_cast<unsigned char>(b[i]) ^ static_cast<unsigned char>(i < a.size() ? a[i] : 0);
  return diff == 0;
}

bool IsHex64(const std::string& s) {
  return s.size() == 64 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

std::string RandomHex() {
  unsigned char bytes[32];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t r = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return {};
    got += static_cast<size_t>(r);
  }
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

TConsoleSessions::TConsoleSessions(std::chrono::seconds lifetime, std::string file, TNow now)
    : lifetime_(lifetime), file_(std::move(file)), now_(now) {
  Load();
}

int64_t TConsoleSessions::Now() const { return now_ ? now_() : static_cast<int64_t>(std::time(nullptr)); }

std::optional<TConsoleSession> TConsoleSessions::Create() {
  TConsoleSession s{RandomHex(), RandomHex(), Now() + lifetime_.count()};
  if (s.Id.empty() || s.AntiForgery.empty()) return std::nullopt;
  std::lock_guard<std::mutex> g(lock_);
  DropExpired();
  if (sessions_.size() >= kMaxSessions) sessions_.erase(sessions_.begin());
  sessions_.push_back(s);
  Save();
  return s;
}

std::optional<TConsoleSession> TConsoleSessions::Find(std::string_view id) const {
  if (id.empty()) return std::nullopt;
  const int64_t now = Now();
  std::lock_guard<std::mutex> g(lock_);
  std::optional<TConsoleSession> found;
  // Every entry is compared, so the time taken says nothing about the id.
  for (const auto& s : sessions_)
    if (SameText(id, s.Id) && s.Expires > now) found = s;
  return found;
}

bool TConsoleSessions::End(std::string_view id) {
  std::lock_guard<std::mutex> g(lock_);
  const auto it = std::find_if(sessions_.begin(), sessions_.end(), [&](const auto& s) { return SameText(id, s.Id); });
  if (it == sessions_.end()) return false;
  sessions_.erase(it);
  DropExpired();
  Save();
  return true;
}

size_t TConsoleSessions::Count() const {
  std::lock_guard<std::mutex> g(lock_);
  return sessions_.size();
}

void TConsoleSessions::DropExpired() {
  const int64_t now = Now();
  std::erase_if(sessions_, [now](const auto& s) { return s.Expires <= now; });
}

// One session a line: "<id> <anti-forgery> <expires>". A line that does
// not read is skipped: at worst a console signs in again.
void TConsoleSessions::Load() {
  if (file_.empty()) return;
  std::ifstream in(file_);
  for (std::string line; std::getline(in, line) && sessions_.size() < kMaxSessions;) {
    std::istringstream fields(line);
    TConsoleSession s;
    if (fields >> s.Id >> s.AntiForgery >> s.Expires && IsHex64(s.Id) && IsHex64(s.AntiForgery))
      sessions_.push_back(std::move(s));
  }
  DropExpired();
}

void TConsoleSessions::Save() const {
  if (file_.empty()) return;
  std::string text;
  for (const auto& s : sessions_) text += s.Id + " " + s.AntiForgery + " " + std::to_string(s.Expires) + "\n";
  const std::string tmp = file_ + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = fd >= 0;
  for (size_t done = 0; ok && done < text.size();) {
    const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
    if (w < 0 && errno == EINTR) continue;
    ok = w > 0;
    if (ok) done += static_cast<size_t>(w);
  }
  if (fd >= 0) ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(tmp.c_str(), file_.c_str()) != 0) {
    log::warn("cannot save the console sessions to {}: {}", file_, std::strerror(errno));
    ::unlink(tmp.c_str());
  }
}

}  // namespace vexon
