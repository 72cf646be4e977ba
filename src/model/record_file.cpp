#include "model/record_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/log.h"

namespace vexon {

namespace {
std::string DirOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}
}  // namespace

bool AtomicWriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::string tmp = path + ".tmpXXXXXX";
  const int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) {
    log::error("cannot create a temporary file for {}: {}", path, std::strerror(errno));
    return false;
  }
  size_t done = 0;
  bool ok = true;
  while (done < bytes.size()) {
    const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(w);
  }
  if (ok && ::fchmod(fd, 0644) != 0) ok = false;
  if (ok && ::fsync(fd) != 0) ok = false;
  const int err = errno;
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    log::error("saving {} failed ({}); the previous file is kept", path, std::strerror(err ? err : errno));
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

bool ReadRecordFile(const std::string& path, size_t recordSize, const std::function<void(const uint8_t*)>& onRecord) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<uint8_t> rec(recordSize);
  size_t have = 0;
  bool ok = true;
  for (;;) {
    const ssize_t r = ::read(fd, rec.data() + have, recordSize - have);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      log::error("reading {} failed: {}", path, std::strerror(errno));
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
