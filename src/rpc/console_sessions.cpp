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

#include <boost/uuid/detail/sha1.hpp>

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

// The SHA-1 of salt and token, in hexadecimal: tells whether the sessions of
// a file were given under this token without keeping the token there.
std::string TokenDigest(const std::string& salt, const std::string& token) {
  boost::uuids::detail::sha1 sha;
  sha.process_bytes(salt.data(), salt.size());
  sha.process_bytes(token.data(), token.size());
  boost::uuids::detail::sha1::digest_type digest;
  sha.get_digest(digest);
  char text[41];
  for (int i = 0; i < 5; ++i) std::snprintf(text + 8 * i, 9, "%08x", digest[i]);
  return text;
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

TConsoleSessions::TConsoleSessions(std::chrono::seconds lifetime, std::string file, std::string token, TNow now)
    : lifetime_(lifetime), file_(std::move(file)), token_(std::move(token)), now_(now) {
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

// "token <salt> <digest>", then one session a line: "<id> <anti-forgery>
// <expires>". A line that does not read is skipped: at worst a console signs
// in again. A file without the token line, or of another token, keeps no
// session.
void TConsoleSessions::Load() {
  salt_ = RandomHex();
  if (file_.empty()) return;
  std::ifstream in(file_);
  if (!in) return;
  std::string line;
  std::getline(in, line);
  std::istringstream head(line);
  std::string word, salt, digest;
  if (!(head >> word >> salt >> digest) || word != "token" || !IsHex64(salt) || digest != TokenDigest(salt, token_)) {
    log::info("the console sessions in {} were not given under this token: they are ended", file_);
    std::lock_guard<std::mutex> g(lock_);
    Save();
    return;
  }
  salt_ = salt;
  const int64_t now = Now(), latest = now + lifetime_.count();
  while (std::getline(in, line) && sessions_.size() < kMaxSessions) {
    std::istringstream fields(line);
    TConsoleSession s;
    if (fields >> s.Id >> s.AntiForgery >> s.Expires && IsHex64(s.Id) && IsHex64(s.AntiForgery) && s.Expires > now) {
      // A shorter lifetime set since applies to kept sessions too.
      s.Expires = std::min(s.Expires, latest);
      sessions_.push_back(std::move(s));
    }
  }
}

void TConsoleSessions::Save() const {
  if (file_.empty()) return;
  std::string text = "token " + salt_ + " " + TokenDigest(salt_, token_) + "\n";
  for (const auto& s : sessions_) text += s.Id + " " + s.AntiForgery + " " + std::to_string(s.Expires) + "\n";
  // A file of our own, whatever was left at its name: never through a
  // link, never with a wider mode than 0600.
  const std::string tmp = file_ + ".tmp";
  ::unlink(tmp.c_str());
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && ::fchmod(fd, 0600) == 0;
  for (size_t done = 0; ok && done < text.size();) {
    const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
    if (w < 0 && errno == EINTR) continue;
    ok = w > 0;
    if (ok) done += static_cast<size_t>(w);
  }
  if (fd >= 0) ok = ::fsync(fd) == 0 && ok;
  if (fd >= 0) ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(tmp.c_str(), file_.c_str()) != 0) {
    // The file keeps the sessions it had: one ended here would come back
    // at the next start.
    log::error("cannot save the console sessions to {}: {}; a session ended since may come back after a restart",
               file_, std::strerror(errno));
    ::unlink(tmp.c_str());
  }
}

}  // namespace vexon
