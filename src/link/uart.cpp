#include "link/uart.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "util/result_codes.h"

namespace vexon {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void MakeLineSettings(termios& t) {
  cfmakeraw(&t);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARODD | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8 | PARENB | CLOCAL | CREAD;
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | IGNPAR | PARMRK);
  t.c_iflag |= INPCK;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
}

// Pseudo-terminals ignore parity and character size: for them a read-back
// that differs only there is accepted. A real device must keep all of it.
bool SettingsHold(const termios& want, const termios& got, bool pseudoTerminal) {
  const tcflag_t ignore = pseudoTerminal ? (PARENB | PARODD | CSIZE) : 0;
  return (want.c_cflag & ~ignore) == (got.c_cflag & ~ignore) && want.c_iflag == got.c_iflag &&
         want.c_oflag == got.c_oflag && want.c_lflag == got.c_lflag && got.c_cc[VMIN] == want.c_cc[VMIN] &&
         got.c_cc[VTIME] == want.c_cc[VTIME];
}

}  // namespace

void TPortMap::Set(int portNumber, const std::string& path) {
  std::lock_guard<std::mutex> g(lock_);
  paths_[portNumber] = path;
}

std::string TPortMap::PathOf(int portNumber) const {
  std::lock_guard<std::mutex> g(lock_);
  auto it = paths_.find(portNumber);
  if (it != paths_.end()) return it->second;
  return "/dev/ttyS" + std::to_string(portNumber - 1);
}

bool TPortMap::SetFromText(const std::string& a) {
  const auto eq = a.find('=');
  if (eq == std::string::npos || eq < 4 || eq + 1 >= a.size()) return false;
  std::string name = a.substr(0, eq);
  if (name.size() < 4 || strncasecmp(name.c_str(), "COM", 3) != 0) return false;
  const std::string digits = name.substr(3);
  if (digits.empty() || digits.size() > 6 || !std::all_of(digits.begin(), digits.end(), ::isdigit)) return false;
  const int n = std::stoi(digits);
  if (n < 1) return false;
  Set(n, a.substr(eq + 1));
  return true;
}

// Pseudo-terminal slaves are character devices of majors 136 to 143.
bool TUart::IsPseudoTerminalDevice(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned m = major(st.st_rdev);
  return m >= 136 && m <= 143;
}

bool (*TUart::IsPseudoTerminal)(int fd) = &TUart::IsPseudoTerminalDevice;

int TUart::OutputQueuedOfDevice(int fd) {
  int queued = 0;
  return ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : 0;
}

int (*TUart::OutputQueued)(int fd) = &TUart::OutputQueuedOfDevice;

int TUart::ModemControlOfDevice(int fd, unsigned long request, int* lines) { return ioctl(fd, request, lines); }

int (*TUart::ModemControl)(int fd, unsigned long request, int* lines) = &TUart::ModemControlOfDevice;

void (*TUart::OpenFinished)(TUart& uart) = nullptr;

TUart::TUart(int portNumber, const TPortMap& ports, uint32_t totalTimeoutMs, uint32_t intervalMs)
    : ports_(ports), portNumber_(portNumber), totalMs_(totalTimeoutMs), intervalMs_(intervalMs) {
  portName_ = "COM" + std::to_string(portNumber);
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

TUart::~TUart() {
  Close();
  if (wake_ >= 0) ::close(wake_);
}

void TUart::SetPortNumber(int portNumber) {
  std::lock_guard<std::mutex> g(nameLock_);
  portNumber_ = portNumber;
  portName_ = "COM" + std::to_string(portNumber);
}

std::string TUart::PortName() const {
  std::lock_guard<std::mutex> g(nameLock_);
  return portName_;
}

int32_t TUart::Open() {
  if (!closed_) Close();
  std::lock_guard<std::mutex> g(io_);
  int number;
  {
    std::lock_guard<std::mutex> n(nameLock_);
    number = portNumber_;
  }
  const auto fail = [this](int32_t error) {
    CloseLocked();
    LastError = error;
    return error;
  };
  const std::string path = ports_.PathOf(number);
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(ueOpen);
  fd_ = fd;
  // Exclusive use of the line: a second server gets "open failed".
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(ueOpen);
  // Programs that do not lock (terminal programs, modem probers) are kept
  // out too; root is not, which flock covers.
  (void)ioctl(fd_, TIOCEXCL);
  closed_ = false;
  termios cur{};
  if (tcgetattr(fd_, &cur) != 0) return fail(ueGetState);
  termios want = cur;
  MakeLineSettings(want);
  const bool pty = IsPseudoTerminal(fd_);
  const int rc = tcsetattr(fd_, TCSANOW, &want);
  termios got{};
  // A pseudo-terminal refuses a second 8E1 setting with EINVAL.
  if (tcgetattr(fd_, &got) != 0 || (rc != 0 && !(pty && errno == EINVAL)) || !SettingsHold(want, got, pty))
    return fail(ueSetState);
  // The modem lines stay low: only the data lines are used, and a
  // converter powered from DTR or RTS needs its own supply.
  int lines = TIOCM_DTR | TIOCM_RTS;
  (void)ModemControl(fd_, TIOCMBIC, &lines);
  tcflush(fd_, TCIOFLUSH);
  DrainWake();
  LastError = ueOk;
  return ueOk;
}

void TUart::CloseLocked() {
  if (fd_ >= 0) {
    (void)ioctl(fd_, TIOCNXCL);
    flock(fd_, LOCK_UN);
    ::close(fd_);
  }
  fd_ = -1;
  closed_ = true;
}

void TUart::DrainWake() {
  uint64_t v;
  while (::read(wake_, &v, sizeof v) > 0) {
  }
}

bool TUart::Close() {
  if (closed_) return false;
  // Wake a read that is waiting so the close never waits for a time-out.
  closing_ = true;
  const uint64_t one = 1;
  (void)!::write(wake_, &one, sizeof one);
  std::lock_guard<std::mutex> g(io_);
  closing_ = false;
  if (closed_) {
    DrainWake();
    return false;
  }
  const int fd = fd_;
  (void)ioctl(fd, TIOCNXCL);
  flock(fd, LOCK_UN);
  if (::close(fd) != 0 && errno != EINTR) {
    fd_ = -1;
    closed_ = true;
    DrainWake();
    LastError = ueClose;
    return false;
  }
  fd_ = -1;
  closed_ = true;
  DrainWake();
  LastError = ueOk;
  return true;
}

bool TUart::SetReadTimeout(uint32_t ms) {
  totalMs_ = ms;
  LastError = ueOk;
  return true;
}

bool TUart::Send(const uint8_t* data, size_t length) {
  LastError = ueWrite;
  lastSent_ = 0;
  if (length > proto::kMaxSend) return false;
  // A stopping thread puts nothing more on the line.
  if (abort_) return false;
  std::lock_guard<std::mutex> g(io_);
  if (fd_ < 0 || abort_) return false;
  size_t done = 0;
  const int64_t deadline = NowMs() + 2000 + static_cast<int64_t>(length * 2);
  while (done < length) {
    const ssize_t w = ::write(fd_, data + done, length - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
      lastSent_ = done;
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
    const int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 100))) < 0 && errno != EINTR) return false;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
  }
  if (!DrainOutput(deadline)) return false;
  LastError = ueOk;
  return true;
}

bool TUart::DrainOutput(int64_t deadlineMs) {
  // Polled rather than tcdrain, so a close or an interrupt ends the wait.
  for (;;) {
    const int queued = OutputQueued(fd_);
    if (queued <= 0) return true;
    if (abort_ || closing_) return false;
    const int64_t left = deadlineMs - NowMs();
    if (left <= 0) return false;
    // One byte takes about 1.15 ms at 9600 baud.
    const int waitMs = static_cast<int>(std::clamp<int64_t>(queued * 115 / 100, 1, std::min<int64_t>(left, 50)));
    pollfd p{wake_, POLLIN, 0};
    if (::poll(&p, 1, waitMs) > 0) return false;
  }
}

TReadResult TUart::Receive(uint8_t* buf, size_t& count, TReadComplete complete) {
  count = 0;
  if (abort_ || closing_) return TReadResult::Interrupted;
  std::lock_guard<std::mutex> g(io_);
  if (fd_ < 0) {
    LastError = ueRead;
    return TReadResult::Failed;
  }
  const int64_t start = NowMs();
  const int64_t deadline = start + totalMs_.load();
  bool gotAny = false, lastLook = false;
  for (;;) {
    if (abort_ || closing_) return TReadResult::Interrupted;
    const int64_t now = NowMs();
    int64_t wait = deadline - now;
    if (gotAny) wait = std::min<int64_t>(wait, intervalMs_);
    // Out of time: bytes that reached the line before now still count, as a
    // serial driver hands over what arrived within its time-out. A thread
    // held off the processor past the deadline would otherwise lose an
    // answer that came in time. One look without waiting, then the end.
    const bool last = wait <= 0;
    if (last) {
      if (lastLook) break;
      lastLook = true;
      wait = 0;
    }
    pollfd p[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
    const int rc = ::poll(p, 2, static_cast<int>(wait));
    if (rc < 0) {
      if (errno == EINTR) continue;
      LastError = ueRead;
      return TReadResult::Failed;
    }
    if (p[1].revents & POLLIN) return TReadResult::Interrupted;
    if (rc == 0) {
      if (gotAny || last) break;  // idle for the interval after data, or out of time
      continue;                   // loop re-checks the deadline
    }
    if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t r = ::read(fd_, buf + count, proto::kIoBuffer - count);
      if (r > 0) {
        count += static_cast<size_t>(r);
        gotAny = true;
        if (count >= proto::kIoBuffer) break;
        if (complete && complete(buf, count)) break;
        continue;
      }
      if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      // 0 is a hang-up of the far end; EIO a vanished device.
      LastError = ueRead;
      return TReadResult::Failed;
    }
    if (p[0].revents & POLLNVAL) {
      LastError = ueRead;
      return TReadResult::Failed;
    }
  }
  LastError = ueOk;
  return TReadResult::Ok;
}

void TUart::Purge(bool tx, bool rx) {
  std::lock_guard<std::mutex> g(io_);
  if (fd_ < 0) return;
  if (tx && rx)
    tcflush(fd_, TCIOFLUSH);
  else if (rx)
    tcflush(fd_, TCIFLUSH);
  else if (tx)
    tcflush(fd_, TCOFLUSH);
}

void TUart::Interrupt() {
  abort_ = true;
  const uint64_t one = 1;
  (void)!::write(wake_, &one, sizeof one);
}

void TUart::ClearInterrupt() {
  abort_ = false;
  DrainWake();
}

TSerialPort::TSerialPort(const TPortMap& ports, const TLinkTimings& timings)
    : ports_(ports), timings_(timings), totalMs_(timings.DefaultTotalMs) {}

int32_t TSerialPort::OpenPort(int32_t portNumber) {
  std::lock_guard<std::mutex> g(lock_);
  int32_t error;
  if (!uart_) {
    uart_ = std::make_unique<TUart>(portNumber, ports_, totalMs_.load(), timings_.IntervalMs);
    uartPtr_ = uart_.get();
    error = uart_->Open();
  } else if (uart_->IsClosed()) {
    uart_->SetPortNumber(portNumber);
    uart_->LastError = ueOk;
    uart_->SetReadTimeout(totalMs_.load());
    error = uart_->Open();
  } else {
    return rcPortAlreadyOpen;
  }
  if (TUart::OpenFinished) TUart::OpenFinished(*uart_);
  // The open's own result: LastError is also written by the communication
  // thread.
  switch (error) {
    case ueOk:
      return rcOk;
    case ueQueues:
      return rcPortQueues;
    case ueGetState:
      return rcPortGetState;
    case ueSetState:
      return rcPortSetState;
    case ueTimeouts:
      return rcPortTimeouts;
    default:
      return rcPortOpenFailed;
  }
}

int32_t TSerialPort::ClosePort() {
  std::lock_guard<std::mutex> g(lock_);
  if (!uart_) return rcPortNotOpened;
  if (uart_->IsClosed()) return rcPortAlreadyClosed;
  return uart_->Close() ? rcOk : rcPortCloseFailed;
}

int32_t TSerialPort::GetPortNumber(int32_t& portNumber) const {
  std::lock_guard<std::mutex> g(lock_);
  portNumber = 0;
  if (!uart_) return rcPortNotOpened;
  if (uart_->IsClosed()) return rcPortClosed;
  std::string rest = uart_->PortName().substr(3);
  const auto b = rest.find_first_not_of(' ');
  const auto e = rest.find_last_not_of(' ');
  rest = b == std::string::npos ? "" : rest.substr(b, e - b + 1);
  if (rest.empty() || rest.size() > 9 || !std::all_of(rest.begin(), rest.end(), ::isdigit)) return rcOk;
  portNumber = std::stoi(rest);
  return rcOk;
}

void TSerialPort::SetReadTimeoutForCount(int n) {
  SetReadTotalTimeout(std::max<uint32_t>(static_cast<uint32_t>(std::max(n, 0)) * timings_.PerControllerMs,
                                         timings_.MinTotalMs));
}

void TSerialPort::SetReadTotalTimeout(uint32_t ms) {
  totalMs_ = ms;
  if (TUart* u = Uart()) u->SetReadTimeout(ms);
}

void TSerialPort::PurgeAll() {
  if (TUart* u = Uart()) u->Purge(true, true);
}

void TSerialPort::PurgeRx() {
  if (TUart* u = Uart()) u->Purge(false, true);
}

}  // namespace vexon
