// What the operator sees: the serial port, the system status, the data state
// and the request being carried out. Called from any thread; the window
// implementation hands each update to its own thread, the headless one logs
// what changes.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace vexon {

class TOperatorDisplay {
 public:
  virtual ~TOperatorDisplay() = default;
  virtual void ShowPort(int32_t portNumber) = 0;
  virtual void ShowStatus(bool configured) = 0;
  virtual void ShowDataState(bool configured, bool cardsPresent) = 0;
  virtual void ShowCommand(const std::string& text) = 0;
};

// Texts the window shows for a status and a data state.
inline const char* StatusText(bool configured) { return configured ? "работа" : "конфигурация"; }
inline const char* DataStateText(bool configured, bool cardsPresent) {
  if (!configured) return "конфигурация";
  return cardsPresent ? "Ok" : "пропуска";
}

// Logs each indicator when its value changes; remembers the last values.
class THeadlessDisplay final : public TOperatorDisplay {
 public:
  void ShowPort(int32_t portNumber) override;
  void ShowStatus(bool configured) override;
  void ShowDataState(bool configured, bool cardsPresent) override;
  void ShowCommand(const std::string& text) override;

  int32_t Port() const;
  std::string Status() const;
  std::string DataState() const;
  std::string Command() const;

 private:
  mutable std::mutex lock_;
  int32_t port_ = 0;
  std::string status_, data_, command_;
};

}  // namespace vexon
