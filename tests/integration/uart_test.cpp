// The serial line as a real device would show it: exclusive use against
// programs that do not lock, parity that a device driver drops, and a send
// that returns only once the frame has left the line.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "sim_fixture.h"
#include "util/result_codes.h"

using namespace vexon;
using namespace vexon::testing;

using UartTest = SimLinkTest;

namespace {
bool NotAPseudoTerminal(int) { return false; }
}  // namespace

TEST_F(UartTest, HeldLineIsMarkedExclusiveUntilClosed) {
  ASSERT_EQ(port_->OpenPort(1), 0);
  // Root may still open an exclusive line (flock stops a second server);
  // anyone else is refused. Either way the line carries the mark.
  const int other = ::open(sim_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (other < 0) {
    EXPECT_EQ(errno, EBUSY);
    EXPECT_NE(geteuid(), 0u);
  } else {
    int excl = 0;
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 1);
    ASSERT_EQ(port_->ClosePort(), 0);
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0) << "released on close";
    ::close(other);
  }
}

TEST_F(UartTest, HeldLineIsLockedAgainstAnotherLockingProgramUntilClosed) {
  // Opened before the server takes the line, so that the test reaches the
  // device whoever runs it (the exclusive mark refuses later opens but by
  // root).
  const int other = ::open(sim_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(other, 0) << std::strerror(errno);
  ASSERT_EQ(port_->OpenPort(1), 0);
  const int rc = flock(other, LOCK_EX | LOCK_NB);
  const int err = errno;
  EXPECT_NE(rc, 0) << "a second server's lock fails while the line is held";
  EXPECT_EQ(err, EWOULDBLOCK);
  ASSERT_EQ(port_->ClosePort(), 0);
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0) << "released on close";
  ::close(other);
}

TEST_F(UartTest, DeviceThatDropsParityFailsTheOpenWith7) {
  // A pseudo-terminal keeps no parity; taken for a real device it must be
  // refused, not run without parity.
  TUart::IsPseudoTerminal = &NotAPseudoTerminal;
  const int32_t r = port_->OpenPort(1);
  TUart::IsPseudoTerminal = &TUart::IsPseudoTerminalDevice;
  EXPECT_EQ(r, rcPortSetState);
  EXPECT_EQ(port_->OpenPort(1), 0) << "recognised as a pseudo-terminal it opens";
}

namespace {
// A line that still holds 7 bytes until `gSent` is set.
std::atomic<bool> gSent{false};
int SlowLine(int) { return gSent ? 0 : 7; }
}  // namespace

TEST_F(UartTest, SendReturnsOnlyOnceTheFrameHasLeftTheLine) {
  ASSERT_EQ(port_->OpenPort(1), 0);
  // A pseudo-terminal has no output queue; play a line that needs a while
  // to shift the frame out.
  gSent = false;
  TUart::OutputQueued = &SlowLine;
  std::thread line([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    gSent = true;
  });
  const uint8_t frame[7] = {0, 4, 0, 0, 0x72, 1, 2};
  const bool ok = port_->Uart()->Send(frame, sizeof frame);
  const bool sentFirst = gSent;
  line.join();
  EXPECT_TRUE(ok);
  EXPECT_TRUE(sentFirst) << "the send returned while the frame was still queued";
  // A close while the frame is queued ends the wait at once, as a failure.
  gSent = false;
  std::thread closer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    port_->ClosePort();
  });
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(port_->Uart()->Send(frame, sizeof frame));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500)) << "not the 2 s send limit";
  closer.join();
  TUart::OutputQueued = &TUart::OutputQueuedOfDevice;
}

TEST_F(UartTest, BytesOnTheLineAtTheDeadlineAreTakenByALateReader) {
  ASSERT_EQ(port_->OpenPort(1), 0);
  // A read time-out of 0 stands for a reader held off the processor until
  // its deadline had passed: what reached the line by then is still its
  // answer, taken in one look without waiting.
  const std::vector<uint8_t> answer = {0x00, 0x02, 0x80, 0x02, 0x80};
  sim_.SendRaw(answer);
  TUart* uart = port_->Uart();
  uart->SetReadTimeout(0);
  uint8_t buf[proto::kIoBuffer];
  size_t n = 0;
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<uint8_t> got;
  while (got.size() < answer.size() && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(5)) {
    ASSERT_EQ(uart->Receive(buf, n), TReadResult::Ok);
    got.insert(got.end(), buf, buf + n);
    if (n == 0) std::this_thread::yield();
  }
  EXPECT_EQ(got, answer);
  // With nothing on the line the late reader ends at once, empty-handed.
  ASSERT_EQ(uart->Receive(buf, n), TReadResult::Ok);
  EXPECT_EQ(n, 0u);
}

namespace {
struct TModemCall {
  unsigned long Request;
  int Lines;
  bool RawAlready;  // the line settings were in force when it came
};
std::vector<TModemCall> gModemCalls;
int RecordModemControl(int fd, unsigned long request, int* lines) {
  termios t{};
  const bool raw = tcgetattr(fd, &t) == 0 && cfgetospeed(&t) == B9600 && (t.c_lflag & ICANON) == 0;
  gModemCalls.push_back({request, *lines, raw});
  return 0;
}
}  // namespace

TEST_F(UartTest, OpenLowersDtrAndRtsOnceAfterTheLineSettings) {
  // A pseudo-terminal has no modem lines: the request itself is recorded.
  gModemCalls.clear();
  TUart::ModemControl = &RecordModemControl;
  const int32_t first = port_->OpenPort(1);
  const std::vector<TModemCall> afterFirst = gModemCalls;
  port_->ClosePort();
  const int32_t second = port_->OpenPort(1);
  TUart::ModemControl = &TUart::ModemControlOfDevice;
  ASSERT_EQ(first, 0);
  ASSERT_EQ(second, 0);
  ASSERT_EQ(afterFirst.size(), 1u) << "one modem-control request per open";
  EXPECT_EQ(afterFirst[0].Request, static_cast<unsigned long>(TIOCMBIC)) << "the lines are cleared, not set";
  EXPECT_EQ(afterFirst[0].Lines, TIOCM_DTR | TIOCM_RTS);
  EXPECT_TRUE(afterFirst[0].RawAlready) << "lowered once the line is set up";
  EXPECT_EQ(gModemCalls.size(), 2u) << "again at the next open";
}
