// Small helpers shared by the test suites: a temporary directory removed at
// the end, elapsed wall time, and waiting for a state.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

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

// Polls `state` until it holds, at most `timeoutMs` of wall time: for what
// another thread or process does on its own (the simulator applying a
// command that has no answer, a pseudo-terminal handing bytes over late on
// a busy machine). True once the state holds.
// Takes the first whole line (without its newline) out of `buf`; false when
// `buf` holds no newline yet.
inline bool TakeLine(std::string& buf, std::string& line) {
  const auto nl = buf.find('\n');
  if (nl == std::string::npos) return false;
  line = buf.substr(0, nl);
  buf.erase(0, nl + 1);
  return true;
}

inline bool WaitUntil(const std::function<bool()>& state, int timeoutMs = 10000) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (state()) return true;
    if (MsSince(start) > timeoutMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace vexon::testing
