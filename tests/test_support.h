// Small helpers shared by the test suites: a temporary directory removed at
// the end, and elapsed wall time.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>

namespace vexon::testing {

class TTempDir {
 public:
  explicit TTempDir(const char* prefix = "vexon") {
    std::string tmpl = (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    path_ = mkdtemp(tmpl.data());
  }
  ~TTempDir() { std::filesystem::remove_all(path_); }
  TTempDir(const TTempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const char* name) const { return (std::filesystem::path(path_) / name).string(); }

 private:
  std::string path_;
};

inline int64_t MsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace vexon::testing
