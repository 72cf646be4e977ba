#include "util/operator_display.h"

#include "util/log.h"

namespace vexon {

void THeadlessDisplay::ShowPort(int32_t portNumber) {
  std::lock_guard<std::mutex> g(lock_);
  if (portNumber != port_) log::info("port: {}", portNumber ? "COM" + std::to_string(portNumber) : "closed");
  port_ = portNumber;
}

void THeadlessDisplay::ShowStatus(bool configured) {
  std::lock_guard<std::mutex> g(lock_);
  const std::string s = StatusText(configured);
  if (s != status_) log::info("system status: {}", s);
  status_ = s;
}

void THeadlessDisplay::ShowDataState(bool configured, bool cardsPresent) {
  std::lock_guard<std::mutex> g(lock_);
  const std::string s = DataStateText(configured, cardsPresent);
  if (s != data_) log::info("data state: {}", s);
  data_ = s;
}

void THeadlessDisplay::ShowCommand(const std::string& text) {
  std::lock_guard<std::mutex> g(lock_);
  if (text != command_) log::debug("command: {}", text);
  command_ = text;
}

int32_t THeadlessDisplay::Port() const {
  std::lock_guard<std::mutex> g(lock_);
  return port_;
}
std::string THeadlessDisplay::Status() const {
  std::lock_guard<std::mutex> g(lock_);
  return status_;
}
std::string THeadlessDisplay::DataState() const {
  std::lock_guard<std::mutex> g(lock_);
  return data_;
}
std::string THeadlessDisplay::Command() const {
  std::lock_guard<std::mutex> g(lock_);
  return command_;
}

}  // namespace vexon
