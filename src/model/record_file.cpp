#include "model/record_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>

#include "util/log.h"

namespace vexon {

namespace {
std::mutex gUnreadableLock;
std::set<std::string> gUnreadable;

void MarkUnreadable(const std::string& path) {
  std::lock_guard<std::mutex> g(gUnreadableLock);
  gUnreadable.insert(path);
}

// Moves a file that could not be read out of the way of a save.
bool MoveAsideIfUnreadable(const std::string& path) {
  std::lock_guard<std::mutex> g(gUnreadableLock);
  if (!gUnreadable.count(path)) return true;
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
  std::string aside = path + ".unreadable-" + stamp;
  for (int n = 1; ::access(aside.c_str(), F_OK) == 0; ++n) aside = path + ".unreadable-" + stamp + "-" + std::to_string(n);
  if (::rename(path.c_str(), aside.c_str()) != 0 && errno != ENOENT) {
    log::error("{} could not be read and cannot be moved aside ({}): it is not overwritten", path,
               std::strerror(errno));
    return false;
  }
  log::warn("{} could not be read; it is kept as {}", path, aside);
  gUnreadable.erase(path);
  return true;
}

std::string DirOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}
}  // namespace

bool IsMarkedUnreadable(const std::string& path) {
  std::lock_guard<std::mutex> g(gUnreadableLock);
  return gUnreadable.count(path) != 0;
}

bool AtomicWriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  if (!MoveAsideIfUnreadable(path)) return false;
  std::string tmp = path + ".tmpXXXXXX";
  const int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) {
    log::error("cannot create a temporary file for {}: {}", path, std::strerror(errno));
    return false;
  }
  size_t done = 0;
  int err = 0;  // the first failure's errno, whichever step it was
  while (done < bytes.size()) {
    const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      err = w < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<size_t>(w);
  }
  if (!err && ::fchmod(fd, 0644) != 0) err = errno;
  if (!err && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && !err) err = errno;
  if (!err && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err) {
    log::error("saving {} failed ({}); the previous file is kept", path, std::strerror(err));
    ::unlink(tmp.c_str());
    return false;
  }
  // Make the rename itself durable.
  const int dfd = ::open(DirOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

void RemoveInterruptedSaves(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    const std::string dir = DirOf(path);
    // "<name>.tmp" and the six characters mkostemp chose.
    const std::string prefix = std::filesystem::path(path).filename().string() + ".tmp";
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
      const bool made = std::all_of(name.end() - 6, name.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
      std::error_code fec;
      if (!made || !it->is_regular_file(fec)) continue;
      const uint64_t size = it->file_size(fec);
      if (std::filesystem::remove(it->path(), fec))
        log::warn("removed {} ({} bytes), left by a save that was interrupted", it->path().string(), size);
      else
        log::error("cannot remove {}, left by a save that was interrupted: {}", it->path().string(), fec.message());
    }
  }
}

bool ReadRecordFile(const std::string& path, size_t recordSize, const std::function<void(const uint8_t*)>& onRecord) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) {
      log::error("{} exists but cannot be opened: {}", path, std::strerror(errno));
      MarkUnreadable(path);
    }
    return false;
  }
  std::vector<uint8_t> rec(recordSize);
  size_t have = 0;
  bool ok = true;
  for (;;) {
    const ssize_t r = ::read(fd, rec.data() + have, recordSize - have);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      log::error("reading {} failed: {}", path, std::strerror(errno));
      MarkUnreadable(path);
      ok = false;
      break;
    }
    if (r == 0) break;
    have += static_cast<size_t>(r);
    if (have == recordSize) {
      onRecord(rec.data());
      have = 0;
    }
  }
  ::close(fd);
  if (ok && have != 0)
    log::warn("{}: {} trailing bytes do not fill a record of {} bytes and were ignored", path, have, recordSize);
  return ok;
}

}  // namespace vexon
