// The serial port: "COM"+n on a tty device, 9600 baud 8E1, raw, no flow
// control, DTR and RTS lowered, opened exclusively (flock, which also stops
// a second root process, and TIOCEXCL, which keeps out programs that do not
// lock). A device whose driver does not keep even parity fails the open;
// only a pseudo-terminal, which has no parity, is accepted without it.
//
// A send returns once the frame has left the line (the output queue is
// empty), so a read's time-out counts from the end of the request.
//
// A read waits up to the total time-out for the first byte, then ends when
// the line has been idle for the interval time-out or the total time-out has
// run out, or earlier when the caller says the bytes read so far are
// complete. Close and Interrupt may come from other threads while a read is
// waiting: they wake it through an eventfd and the read ends at once as
// Interrupted, so no caller ever waits for a time-out to close the port.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "link/protocol.h"
#include "link/timings.h"

namespace vexon {

// Where "COM"+n lives on this machine: the settings file section "Ports" or
// --port COMn=PATH; otherwise /dev/ttyS<n-1>.
class TPortMap {
 public:
  void Set(int portNumber, const std::string& path);
  std::string PathOf(int portNumber) const;
  // Parses "COM3=/dev/ttyUSB0"; false when malformed.
  bool SetFromText(const std::string& assignment);

 private:
  mutable std::mutex lock_;
  std::map<int, std::string> paths_;
};

enum class TReadResult { Ok, Failed, Interrupted };

// LastError values of the port.
enum UartError : int32_t {
  ueOk = 0,
  ueOpen = -1,
  ueClose = -2,
  ueQueues = -3,
  ueGetState = -4,
  ueSetState = -5,
  ueTimeouts = -6,
  ueWrite = 1,
  ueRead = 2,
  // Values the link stores.
  ueChecksum = 3,
  ueAnswerCode = 4,
  ueLength = 5,
  ueTerminalSilent = 8,
  uePrimaryRxError = 9,
  ueNoAnswer = 10,
};

class TUart {
 public:
  TUart(int portNumber, const TPortMap& ports, uint32_t totalTimeoutMs, uint32_t intervalMs);
  ~TUart();
  TUart(const TUart&) = delete;
  TUart& operator=(const TUart&) = delete;

  void SetPortNumber(int portNumber);
  std::string PortName() const;
  // Opens the line; ueOk or the failure (also left in LastError).
  int32_t Open();
  bool Close();
  bool IsClosed() const { return closed_.load(); }
  bool SetReadTimeout(uint32_t ms);
  uint32_t ReadTimeout() const { return totalMs_.load(); }
  bool Send(const uint8_t* data, size_t length);
  // Bytes of the last Send that were handed to the line (0: nothing left,
  // so a far end cannot have acted on it).
  size_t LastSentBytes() const { return lastSent_.load(); }
  // Says whether the bytes read so far end the read at once.
  using TReadComplete = bool (*)(const uint8_t* bytes, size_t count);
  // Reads up to 4096 bytes into `buf`; count 0 with Ok means the time-out
  // ran out with nothing received. With `complete`, the read also ends as
  // soon as the bytes read so far satisfy it (checked after every chunk
  // taken from the line), without waiting for the idle interval.
  TReadResult Receive(uint8_t* buf, size_t& count, TReadComplete complete = nullptr);
  void Purge(bool tx, bool rx);
  // Makes every read fail at once and every send fail without writing a
  // byte, until ClearInterrupt (thread stop).
  void Interrupt();
  bool Interrupted() const { return abort_.load(); }
  void ClearInterrupt();

  std::atomic<int32_t> LastError{0};

  // Whether an open descriptor is a pseudo-terminal (replaceable in tests,
  // to play a device that drops parity).
  static bool (*IsPseudoTerminal)(int fd);
  static bool IsPseudoTerminalDevice(int fd);
  // Bytes written but not yet sent (TIOCOUTQ; a pseudo-terminal has no
  // output queue and says 0). Replaceable in tests, to play a slow line.
  static int (*OutputQueued)(int fd);
  static int OutputQueuedOfDevice(int fd);
  // The modem-control request made after opening (TIOCMBIC with DTR and
  // RTS). Replaceable in tests: a pseudo-terminal has no modem lines.
  static int (*ModemControl)(int fd, unsigned long request, int* lines);
  static int ModemControlOfDevice(int fd, unsigned long request, int* lines);
  // Called when an open has finished, before its result is handed back
  // (null by default). Tests use it to write LastError there, as the
  // communication thread may at that very moment.
  static void (*OpenFinished)(TUart& uart);

 private:
  void CloseLocked();
  void DrainWake();
  // Waits until the output queue is empty; false on close, interrupt or
  // time-out.
  bool DrainOutput(int64_t deadlineMs);

  const TPortMap& ports_;
  mutable std::mutex nameLock_;
  std::string portName_;
  int portNumber_;
  std::atomic<uint32_t> totalMs_;
  uint32_t intervalMs_;
  std::mutex io_;
  int fd_ = -1;
  int wake_ = -1;
  std::atomic<bool> closed_{true};
  std::atomic<bool> abort_{false};
  std::atomic<bool> closing_{false};
  std::atomic<size_t> lastSent_{0};
};

// The process-level port operations with their result codes. The port
// object is created on the first OpenPort and lives until shut-down.
class TSerialPort {
 public:
  TSerialPort(const TPortMap& ports, const TLinkTimings& timings);

  int32_t OpenPort(int32_t portNumber);
  int32_t ClosePort();
  int32_t GetPortNumber(int32_t& portNumber) const;
  // Read total time-out = n x 60 ms, at least 600 ms; remembered for later
  // opens and applied to an open port at once.
  void SetReadTimeoutForCount(int n);
  // Remembered read total time-out (used by every open).
  uint32_t ReadTotalTimeout() const { return totalMs_.load(); }
  void SetReadTotalTimeout(uint32_t ms);
  void PurgeAll();
  void PurgeRx();
  // The port object, or null before the first OpenPort.
  TUart* Uart() const { return uartPtr_.load(); }
  const TLinkTimings& Timings() const { return timings_; }

 private:
  const TPortMap& ports_;
  TLinkTimings timings_;
  std::atomic<uint32_t> totalMs_;
  mutable std::mutex lock_;
  std::unique_ptr<TUart> uart_;
  std::atomic<TUart*> uartPtr_{nullptr};
};

}  // namespace vexon
