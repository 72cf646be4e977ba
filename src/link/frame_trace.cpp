#include "link/frame_trace.h"

#include <sys/time.h>

#include <ctime>

namespace vexon {

TFrameTrace::~TFrameTrace() { Close(); }

bool TFrameTrace::Open(const std::string& path) {
  std::lock_guard<std::mutex> g(lock_);
  if (file_) std::fclose(file_);
  file_ = std::fopen(path.c_str(), "a");
  return file_ != nullptr;
}

void TFrameTrace::Close() {
  std::lock_guard<std::mutex> g(lock_);
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

void TFrameTrace::Record(const char* direction, const uint8_t* bytes, size_t n) {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (!file_ && !observer_) return;
  }
  timeval tv{};
  gettimeofday(&tv, nullptr);
  std::tm tm{};
  localtime_r(&tv.tv_sec, &tm);
  char stamp[40];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  std::string line(stamp);
  char part[32];
  std::snprintf(part, sizeof part, ".%03ld ", static_cast<long>(tv.tv_usec / 1000));
  line += part;
  line += direction;
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(part, sizeof part, " %02X", bytes[i]);
    line += part;
  }
  {
    std::lock_guard<std::mutex> g(lock_);
    if (file_) {
      std::fputs(line.c_str(), file_);
      std::fputc('\n', file_);
      std::fflush(file_);
    }
  }
  if (observer_) observer_(line, static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec);
}

}  // namespace vexon
