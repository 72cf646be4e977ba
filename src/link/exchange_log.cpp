#include "link/exchange_log.h"

#include <fstream>

namespace vexon {

bool TExchangeLog::Exists() const {
  std::lock_guard<std::mutex> g(lock_);
  return exists_;
}

void TExchangeLog::Start(const std::string& firstLine) {
  std::lock_guard<std::mutex> g(lock_);
  if (exists_) return;
  exists_ = true;
  first_ = firstLine;
}

void TExchangeLog::Add(const std::string& line) {
  std::lock_guard<std::mutex> g(lock_);
  recent_.push_back(line);
  if (recent_.size() > kMaxRecentLines) {
    recent_.pop_front();
    ++dropped_;
  }
}

size_t TExchangeLog::Dropped() const {
  std::lock_guard<std::mutex> g(lock_);
  return dropped_;
}

std::deque<std::string> TExchangeLog::Lines() const {
  std::lock_guard<std::mutex> g(lock_);
  std::deque<std::string> out = recent_;
  if (exists_) out.push_front(first_);
  return out;
}

bool TExchangeLog::WriteAndDiscard(const std::string& path, const std::string& closingLine) {
  std::lock_guard<std::mutex> g(lock_);
  if (!exists_) return false;
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << first_ << "\r\n";
  if (dropped_ > 0) f << "... пропущено строк: " << dropped_ << "\r\n";
  for (const auto& l : recent_) f << l << "\r\n";
  f << closingLine << "\r\n";
  f.close();
  const bool ok = !f.fail();
  exists_ = false;
  first_.clear();
  recent_.clear();
  dropped_ = 0;
  return ok;
}

}  // namespace vexon
