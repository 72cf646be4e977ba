// libFuzzer: the answer-frame reader. The fuzzer's bytes arrive on a
// pseudo-terminal that stands in for the serial line and are read by
// ReceiveAnswer (one answer, with or without the early frame end) or
// ReceiveAnswers (several frames in one read, split by their length bytes).
//
// Input: byte 0 chooses the reader and the form of the rest. Bit 0: several
// frames; bit 1: the rest is a list of (code, n, n data bytes) from which
// the harness builds frames with right lengths and checksums, so that the
// fuzzer gets past the checks (bit 3 then spoils the last frame's
// checksum); otherwise the rest goes on the line as it is; bit 2: early
// frame end.
//
// Checked after every input: the reader's verdict agrees with an
// independent reading of the same bytes (lengths, XOR checksum, the codes
// that end an exchange), what it returns is exactly the frames' data, and
// its status is 0 exactly when it succeeded.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "fuzz_util.h"
#include "link/link.h"
#include "util/log.h"

using namespace vexon;

namespace {

constexpr size_t kMaxLine = 4000;  // below the terminal's input queue

struct TLine {
  TLine() {
    spdlog::set_level(spdlog::level::off);
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    FUZZ_CHECK(master >= 0);
    FUZZ_CHECK(::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const char* name = ::ptsname(master);
    FUZZ_CHECK(name != nullptr);
    // A descriptor of our own on the line, opened before the port takes it
    // exclusively: it tells when every byte written has reached the port.
    watch = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    FUZZ_CHECK(watch >= 0);
    ports.Set(1, name);
    TLinkTimings t;
    t.IntervalMs = 0;  // the bytes are all there before the read starts
    t.DefaultTotalMs = 2;
    timings[0] = t;
    t.EarlyFrameEnd = true;
    timings[1] = t;
    for (int i = 0; i < 2; ++i) {
      port[i] = std::make_unique<TSerialPort>(ports, timings[i]);
    }
    // One port open at a time: the line is opened exclusively.
    active = -1;
  }
  TSerialPort& Use(int i) {
    if (active != i) {
      if (active >= 0) port[active]->ClosePort();
      FUZZ_CHECK(port[i]->OpenPort(1) == 0);
      port[i]->SetReadTotalTimeout(2);
      active = i;
    }
    return *port[i];
  }
  // Writes the bytes and waits until the port can read all of them.
  void Put(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t w = ::write(master, bytes.data() + done, bytes.size() - done);
      // A write that waits for room on the line can be cut short by
      // libFuzzer's timer signal: that is no failure, the rest goes again.
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) std::fprintf(stderr, "write to the line gave %zd: %s\n", w, std::strerror(errno));
      FUZZ_CHECK(w > 0);
      done += static_cast<size_t>(w);
    }
    // The kernel hands written bytes to the reading side from a work queue:
    // block in poll until the first of them arrive (woken as soon as they
    // do), then yield to the worker for the rest.
    for (int spin = 0;; ++spin) {
      int queued = 0;
      FUZZ_CHECK(::ioctl(watch, FIONREAD, &queued) == 0);
      if (static_cast<size_t>(queued) >= bytes.size()) break;
      FUZZ_CHECK(spin < 1000000);
      if (queued == 0) {
        pollfd p{watch, POLLIN, 0};
        ::poll(&p, 1, 10);
      } else {
        ::sched_yield();
      }
    }
  }
  void Drain() { ::tcflush(watch, TCIFLUSH); }

  int master = -1;
  int watch = -1;
  TPortMap ports;
  TLinkTimings timings[2];
  std::unique_ptr<TSerialPort> port[2];
  int active = -1;
  TDeviceModel model;
};

uint8_t Xor(const uint8_t* b, size_t n) {
  uint8_t x = 0;
  for (size_t i = 0; i < n; ++i) x ^= b[i];
  return x;
}

// The reference reading of one frame at the start of `b`: its length, or 0
// when the bytes do not start with a whole frame of right checksum.
size_t WholeFrameAt(const uint8_t* b, size_t n) {
  if (n < 4) return 0;
  const size_t len = static_cast<size_t>(b[1]) + 3;
  if (len < 4 || len > n) return 0;
  if (Xor(b, len - 1) != b[len - 1]) return 0;
  return len;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TLine line;
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  const bool several = mode & 1;
  const bool built = mode & 2;
  const bool early = mode & 4;
  std::vector<uint8_t> bytes;
  if (built) {
    size_t i = 1;
    while (i + 2 <= size) {
      const uint8_t code = data[i];
      const size_t n = std::min<size_t>(data[i + 1] % 255, size - i - 2);
      uint8_t frame[300];
      const size_t len = BuildAnswerFrame(code, data + i + 2, n, frame);
      if (bytes.size() + len > kMaxLine) break;
      bytes.insert(bytes.end(), frame, frame + len);
      i += 2 + n;
    }
    if ((mode & 8) && !bytes.empty()) bytes.back() ^= 0x5A;
  } else {
    bytes.assign(data + 1, data + std::min(size, kMaxLine + 1));
  }

  // The check a read with the early frame end uses, against the reference.
  const bool whole = IsWholeAnswerFrame(bytes.data(), bytes.size());
  FUZZ_CHECK(whole == (WholeFrameAt(bytes.data(), bytes.size()) == bytes.size() && !bytes.empty()));
  if (bytes.empty()) return 0;

  TSerialPort& port = line.Use(early ? 1 : 0);
  TLink link(port, line.model, SystemClock());
  line.Put(bytes);

  if (several) {
    // Kept across inputs (emptied, its capacity kept): a frame's item is
    // 4 KiB, and growing a fresh vector to a thousand of them per input
    // costs more than the reading under test.
    static std::vector<TAskItem> items;
    items.clear();
    const bool ok = link.ReceiveAnswers(items);
    FUZZ_CHECK(ok == (link.Status() == lsOk));
    // Reference: split by length bytes; stop at the first bad frame or a
    // code that ends the exchange.
    size_t pos = 0, frames = 0;
    bool refOk = bytes.size() >= 4;
    while (refOk && pos < bytes.size()) {
      const size_t len = WholeFrameAt(bytes.data() + pos, bytes.size() - pos);
      if (len == 0 || bytes[pos + 2] == 0xF0 || bytes[pos + 2] == 0xF3) {
        refOk = false;
        break;
      }
      FUZZ_CHECK(frames < items.size());
      const TAskItem& it = items[frames];
      FUZZ_CHECK(it.Code == bytes[pos + 2]);
      FUZZ_CHECK(it.Len == static_cast<int32_t>(len - 4));
      FUZZ_CHECK(std::memcmp(it.Data.data(), bytes.data() + pos + 3, len - 4) == 0);
      ++frames;
      pos += len;
    }
    FUZZ_CHECK(ok == refOk);
    FUZZ_CHECK(items.size() == frames);
  } else {
    uint8_t code = 0;
    static std::vector<uint8_t> out(proto::kIoBuffer);
    size_t length = 0;
    const bool ok = link.ReceiveAnswer(code, out.data(), length);
    FUZZ_CHECK(ok == (link.Status() == lsOk));
    // One read takes every byte. Whole wait answers (0xF5) with more bytes
    // behind them are dropped, as if each had been read on its own; then the
    // answer is good only when the rest is exactly one frame whose code
    // neither ends nor postpones the exchange.
    size_t at = 0;
    for (;;) {
      const size_t w = WholeFrameAt(bytes.data() + at, bytes.size() - at);
      if (w == 0 || at + w >= bytes.size() || bytes[at + 2] != 0xF5) break;
      at += w;
    }
    const size_t len = WholeFrameAt(bytes.data() + at, bytes.size() - at);
    const bool refOk =
        len != 0 && at + len == bytes.size() && bytes[at + 2] != 0xF0 && bytes[at + 2] != 0xF3 && bytes[at + 2] != 0xF5;
    FUZZ_CHECK(ok == refOk);
    if (ok) {
      FUZZ_CHECK(code == bytes[at + 2]);
      FUZZ_CHECK(length == len - 4);
      FUZZ_CHECK(std::memcmp(out.data(), bytes.data() + at + 3, length) == 0);
    }
  }
  line.Drain();
  return 0;
}
