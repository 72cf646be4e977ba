// The exchange log: one line per failed block transfer, written as
// "SrvVexon.Log" at shut-down. Bounded: the first line and the most recent
// lines are kept, and the number of lines dropped between them is counted.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

namespace vexon {

class TExchangeLog {
 public:
  static constexpr size_t kMaxRecentLines = 10000;

  bool Exists() const;
  // Creates the log with its first line (once per process).
  void Start(const std::string& firstLine);
  void Add(const std::string& line);
  size_t Dropped() const;
  // The lines as they would be written, without the closing line.
  std::deque<std::string> Lines() const;
  // Adds the closing line, writes the whole log to `path` (replacing any
  // older file) and discards it. False when nothing exists or writing failed.
  bool WriteAndDiscard(const std::string& path, const std::string& closingLine);

 private:
  mutable std::mutex lock_;
  bool exists_ = false;
  std::string first_;
  std::deque<std::string> recent_;
  size_t dropped_ = 0;
};

}  // namespace vexon
