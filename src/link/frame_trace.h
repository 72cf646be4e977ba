// Optional trace of every frame on the line: one text line per frame with a
// millisecond timestamp, the direction (TX/RX) and the bytes in hex, so a
// line problem at a site can be diagnosed from the file. The same line can
// be handed to an observer (the line event stream), with or without a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

namespace vexon {

class TFrameTrace {
 public:
  // `line` as the file has it (no newline); `unixMicros` its time. Called
  // on the thread that drives the line, outside the file's lock; it must
  // not wait.
  using TObserver = std::function<void(const std::string& line, int64_t unixMicros)>;

  ~TFrameTrace();
  bool Open(const std::string& path);
  void Close();
  bool Enabled() const { return file_ != nullptr; }
  // Set before the line is used.
  void SetObserver(TObserver observer) { observer_ = std::move(observer); }
  void Record(const char* direction, const uint8_t* bytes, size_t n);

 private:
  std::mutex lock_;
  std::FILE* file_ = nullptr;
  TObserver observer_;
};

}  // namespace vexon
