#include "app/data_folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace vexon {

std::string TDataFolderLock::LockFilePath(const std::string& dir) {
  std::string d = dir.empty() ? "." : dir;
  if (d.back() != '/') d += '/';
  return d + "srvvexon.lock";
}

TDataFolderLock::~TDataFolderLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool TDataFolderLock::Acquire(const std::string& dir, std::string& error) {
  if (fd_ >= 0) {
    error = "the data folder lock is held already";
    return false;
  }
  const std::string path = LockFilePath(dir);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    error = "cannot lock the data folder " + dir + ": " + path + ": " + std::strerror(errno);
    return false;
  }
  int rc;
  while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (rc != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK) {
      // The holder wrote its process id once it had the lock; a holder that
      // has only just taken it may not have written it yet.
      char buf[32] = {};
      const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
      std::string pid = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
      while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
      const bool digits = !pid.empty() && pid.find_first_not_of("0123456789") == std::string::npos;
      error = "the data folder " + dir + " is in use by " +
              (digits ? "process " + pid : std::string("another process")) + " (it holds " + path +
              "): one server per data folder";
    } else {
      error = "cannot lock the data folder " + dir + ": " + path + ": " + std::strerror(err);
    }
    ::close(fd);
    return false;
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    // The lock holds all the same; only the name of its holder is missing.
  }
  fd_ = fd;
  return true;
}

}  // namespace vexon
