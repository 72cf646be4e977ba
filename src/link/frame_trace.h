// Optional trace of every frame on the line: one text line per frame with a
// millisecond timestamp, the direction (TX/RX) and the bytes in hex, so a
// line problem at a site can be diagnosed from the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace vexon {

class TFrameTrace {
 public:
  ~TFrameTrace();
  bool Open(const std::string& path);
  void Close();
  bool Enabled() const { return file_ != nullptr; }
  void Record(const char* direction, const uint8_t* bytes, size_t n);

 private:
  std::mutex lock_;
  std::FILE* file_ = nullptr;
};

}  // namespace vexon
