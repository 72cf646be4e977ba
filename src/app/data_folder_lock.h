// One server per data folder: an exclusive lock (flock) on "srvvexon.lock"
// in the folder, taken before anything there is read or written and held
// for the life of the process. The file holds the owner's process id, so
// that a second server can name it. The kernel drops the lock when the
// process ends however it ends, so it never outlives its server; the
// descriptor is close-on-exec, so no child program inherits it.
#pragma once

#include <string>

namespace vexon {

class TDataFolderLock {
 public:
  TDataFolderLock() = default;
  ~TDataFolderLock();
  TDataFolderLock(const TDataFolderLock&) = delete;
  TDataFolderLock& operator=(const TDataFolderLock&) = delete;

  // Takes the lock on `dir`. False with `error` when another process holds
  // it (the error names the folder and that process) or the lock file cannot
  // be opened; nothing else in the folder is touched either way.
  bool Acquire(const std::string& dir, std::string& error);
  bool Held() const { return fd_ >= 0; }
  static std::string LockFilePath(const std::string& dir);

 private:
  int fd_ = -1;
};

}  // namespace vexon
