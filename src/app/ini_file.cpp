#include "app/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace vexon {

namespace {

const size_t kMaxIniBytes = 4 << 20;

bool Space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// Where in `s`, from `from`, one of `chars` stands before an inline comment
// (";" after white space), or where that comment starts, or the end.
size_t FindBeforeComment(const std::string& s, size_t from, const char* chars) {
  bool afterSpace = false;
  for (size_t i = from; i < s.size(); ++i) {
    if (chars && std::strchr(chars, s[i])) return i;
    if (afterSpace && s[i] == ';') return i;
    afterSpace = Space(s[i]);
  }
  return s.size();
}

struct TLine {
  std::string Body;  // without its line end
  std::string End;   // "\n", "\r\n" or "" for a last line without one
  enum { Other, Header, Key, Continuation } Kind = Other;
  std::string Section;  // the section the line is in (its own for a header)
  std::string Name;     // the key, for a key line and its continuation lines
  bool Drop = false;
};

// The file's lines, each classified the way the reader takes it.
std::vector<TLine> Classify(const std::string& text) {
  std::vector<TLine> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t nl = text.find('\n', at);
    TLine l;
    l.Body = text.substr(at, (nl == std::string::npos ? text.size() : nl) - at);
    at = nl == std::string::npos ? text.size() : nl + 1;
    const bool cr = !l.Body.empty() && l.Body.back() == '\r';
    if (cr) l.Body.pop_back();
    l.End = nl == std::string::npos ? (cr ? "\r" : "") : (cr ? "\r\n" : "\n");
    lines.push_back(std::move(l));
  }
  std::string section, previousKey;
  for (size_t n = 0; n < lines.size(); ++n) {
    TLine& l = lines[n];
    size_t start = n == 0 && l.Body.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;  // a byte order mark
    const bool indented = start < l.Body.size() && Space(l.Body[start]);
    while (start < l.Body.size() && Space(l.Body[start])) ++start;
    l.Section = section;
    if (start == l.Body.size() || l.Body[start] == ';' || l.Body[start] == '#') continue;
    if (indented && !previousKey.empty()) {
      l.Kind = TLine::Continuation;
      l.Name = previousKey;
    } else if (l.Body[start] == '[') {
      const size_t close = FindBeforeComment(l.Body, start + 1, "]");
      if (close == l.Body.size() || l.Body[close] != ']') continue;  // the reader rejects it and stays
      section = l.Body.substr(start + 1, close - start - 1);
      previousKey.clear();
      l.Kind = TLine::Header;
      l.Section = section;
    } else {
      const size_t delimiter = FindBeforeComment(l.Body, start, "=:");
      if (delimiter == l.Body.size() || (l.Body[delimiter] != '=' && l.Body[delimiter] != ':')) continue;
      size_t end = delimiter;
      while (end > start && Space(l.Body[end - 1])) --end;
      l.Kind = TLine::Key;
      l.Name = previousKey = l.Body.substr(start, end - start);
    }
  }
  return lines;
}

// A key line with its value replaced: what stands before the value and the
// inline comment after it are kept.
std::string ReplaceValue(const std::string& body, const std::string& value) {
  const size_t delimiter = FindBeforeComment(body, 0, "=:");
  const size_t comment = FindBeforeComment(body, delimiter + 1, nullptr);
  size_t begin = delimiter + 1, end = comment;
  while (begin < end && Space(body[begin])) ++begin;
  while (end > begin && Space(body[end - 1])) --end;
  if (begin == end) begin = end = delimiter + 1;  // no value: it goes right after the "="
  return body.substr(0, begin) + value + body.substr(end);
}

}  // namespace

TIniRead ReadIniFile(const std::string& path, std::string& text, std::string& error) {
  text.clear();
  const auto fail = [&](int err) {
    error = "cannot read the settings file " + path + ": " + std::strerror(err);
    text.clear();
    return TIniRead::Unreadable;
  };
  // Not blocking: a FIFO in the file's place must not hang the start.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  // ENOTDIR: a folder on the way is a file, so the settings file cannot exist.
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? TIniRead::Missing : fail(errno);
  char chunk[8192];
  for (;;) {
    const ssize_t r = ::read(fd, chunk, sizeof chunk);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      const int err = errno;  // a directory in the file's place gives EISDIR here
      ::close(fd);
      return fail(err);
    }
    if (r == 0) break;
    text.append(chunk, static_cast<size_t>(r));
    if (text.size() > kMaxIniBytes) {  // not a settings file (a device, a log named by mistake)
      ::close(fd);
      return fail(EFBIG);
    }
  }
  ::close(fd);
  return TIniRead::Read;
}

std::string SetIniKeys(const std::string& text, const std::string& section, const TIniKeys& keys) {
  std::vector<TLine> lines = Classify(text);
  const std::string end = !lines.empty() && lines.front().End == "\r\n" ? "\r\n" : "\n";
  // New keys go into the section's first appearance, after its last key.
  std::optional<size_t> header, lastKey;
  bool inFirst = false;
  for (size_t n = 0; n < lines.size(); ++n) {
    const TLine& l = lines[n];
    if (l.Kind == TLine::Header) {
      inFirst = !header && SameName(l.Section, section);
      if (inFirst) header = n;
    } else if (inFirst && (l.Kind == TLine::Key || l.Kind == TLine::Continuation)) {
      lastKey = n;
    }
  }
  std::vector<std::string> missing;
  for (const auto& [name, value] : keys) {
    bool replaced = false;
    for (TLine& l : lines) {
      if (l.Kind == TLine::Header || !SameName(l.Section, section) || !SameName(l.Name, name)) continue;
      if (l.Kind == TLine::Key && !replaced) {
        l.Body = ReplaceValue(l.Body, value);
        replaced = true;
      } else {
        l.Drop = true;  // a later copy, or a continuation that would add to the value written
      }
    }
    if (!replaced) missing.push_back(name + "=" + value);
  }
  const auto newLine = [&](std::string body) {
    TLine l;
    l.Body = std::move(body);
    l.End = end;
    return l;
  };
  std::vector<TLine> added;
  for (const auto& m : missing) added.push_back(newLine(m));
  size_t insertAt = lines.size();
  if (!header) added.insert(added.begin(), newLine("[" + section + "]"));
  else insertAt = (lastKey ? *lastKey : *header) + 1;
  // The line before the new ones gets the line end it may lack.
  for (size_t n = insertAt; !added.empty() && n > 0; --n) {
    if (lines[n - 1].Drop) continue;
    if (lines[n - 1].End.empty()) lines[n - 1].End = end;
    break;
  }
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), added.begin(), added.end());
  std::string out;
  out.reserve(text.size() + 64);
  for (const TLine& l : lines)
    if (!l.Drop) out += l.Body + l.End;
  return out;
}

bool ReplaceIniFile(const std::string& path, const std::string& text, std::string& error) {
  std::string target = path;
  struct stat st {};
  bool exists = ::lstat(path.c_str(), &st) == 0;
  if (exists && S_ISLNK(st.st_mode)) {
    // The link stays; the file it points to is replaced.
    char real[PATH_MAX];
    if (!::realpath(path.c_str(), real)) {
      error = "cannot follow the link " + path + ": " + std::strerror(errno);
      return false;
    }
    target = real;
    exists = ::stat(target.c_str(), &st) == 0;
  }
  if (!exists && errno != ENOENT) {
    error = "cannot examine " + target + ": " + std::strerror(errno);
    return false;
  }
  if (exists && !S_ISREG(st.st_mode)) {
    error = target + " is not a regular file";
    return false;
  }
  std::string tmp = target + ".tmpXXXXXX";
  const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);  // 0600 and ours until told otherwise
  if (fd < 0) {
    error = "cannot create a temporary file beside " + target + ": " + std::strerror(errno);
    return false;
  }
  int err = 0;
  const char* step = "";
  struct stat mine {};
  if (exists) {
    // The new file is the old one's before it holds anything: a file kept
    // private (a token in it) is never readable by others, not even briefly.
    if (::fstat(fd, &mine) != 0) err = errno, step = "examine";
    else if ((mine.st_uid != st.st_uid || mine.st_gid != st.st_gid) && ::fchown(fd, st.st_uid, st.st_gid) != 0)
      err = errno, step = "give the owner of the file to";
    else if (::fchmod(fd, st.st_mode & 07777) != 0)
      err = errno, step = "give the mode of the file to";
  }
  for (size_t done = 0; !err && done < text.size();) {
    const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) err = w < 0 ? errno : ENOSPC, step = "write";
    else done += static_cast<size_t>(w);
  }
  if (!err && ::fsync(fd) != 0) err = errno, step = "flush";
  if (::close(fd) != 0 && !err) err = errno, step = "close";
  if (!err && ::rename(tmp.c_str(), target.c_str()) != 0) err = errno, step = "rename";
  if (err) {
    error = std::string("cannot ") + step + " the temporary file " + tmp + ": " + std::strerror(err) + "; " + target +
            " is kept as it was";
    ::unlink(tmp.c_str());
    return false;
  }
  // The rename itself survives a power cut.
  const auto slash = target.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  if (const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

}  // namespace vexon
