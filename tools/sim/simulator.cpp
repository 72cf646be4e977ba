#include "sim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "link/frames.h"
#include "link/protocol.h"
#include "util/date_time.h"

namespace vexon::sim {

using namespace vexon::proto;

namespace {
int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
void SleepUntilUs(int64_t t) {
  const int64_t d = t - NowUs();
  if (d > 0) std::this_thread::sleep_for(std::chrono::microseconds(d));
}
TFrame MakeAnswer(uint8_t code, const uint8_t* data, size_t m) {
  TFrame f(m + 4);
  BuildAnswerFrame(code, data, m, f.data());
  return f;
}
}  // namespace

TSimulator::TSimulator(TSimNetwork network, TSimOptions options) : options_(options), net_(std::move(network)) {}

TSimulator::~TSimulator() { Stop(); }

bool TSimulator::Start() {
  termios raw{};
  cfmakeraw(&raw);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  char name[256] = {};
  if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) return false;
  slavePath_ = name;
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  stopFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  running_ = true;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void TSimulator::Stop() {
  if (running_.exchange(false)) {
    const uint64_t one = 1;
    (void)!::write(stopFd_, &one, sizeof one);
  }
  if (thread_.joinable()) thread_.join();
  CloseMaster();
  if (slave_ >= 0) ::close(slave_);
  slave_ = -1;
  if (stopFd_ >= 0) ::close(stopFd_);
  stopFd_ = -1;
}

void TSimulator::CloseMaster() {
  std::lock_guard<std::mutex> g(lock_);
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

std::vector<TFrame> TSimulator::ReceivedFrames() const {
  std::lock_guard<std::mutex> g(lock_);
  return received_;
}

size_t TSimulator::FrameCount() const {
  std::lock_guard<std::mutex> g(lock_);
  return received_.size();
}

void TSimulator::ClearReceived() {
  std::lock_guard<std::mutex> g(lock_);
  received_.clear();
}

bool TSimulator::WaitForFrames(size_t n, int timeoutMs) const {
  std::unique_lock<std::mutex> g(lock_);
  return changed_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return received_.size() >= n; });
}

void TSimulator::InjectFault(TSimFault fault) {
  std::lock_guard<std::mutex> g(lock_);
  faults_.push_back(fault);
}

void TSimulator::SendRaw(const std::vector<uint8_t>& bytes) { WriteBurst(bytes, 0); }

size_t TSimulator::TrailersSent() const {
  std::lock_guard<std::mutex> g(lock_);
  return trailersSent_;
}

bool TSimulator::WaitForTrailers(size_t n, int timeoutMs) const {
  std::unique_lock<std::mutex> g(lock_);
  return changed_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return trailersSent_ >= n; });
}

TSimLineStats TSimulator::LineStats() const {
  std::lock_guard<std::mutex> g(lock_);
  return stats_;
}

void TSimulator::ResetLineStats() {
  std::lock_guard<std::mutex> g(lock_);
  stats_ = {};
  lastAnswerEndUs_ = 0;
}

bool TSimulator::WaitLineTaken(int timeoutMs) {
  // The slave side's input queue is shared by every descriptor of the
  // terminal, so the simulator's own slave descriptor shows what the server
  // has not read yet.
  const int64_t deadline = NowUs() + static_cast<int64_t>(timeoutMs) * 1000;
  while (NowUs() < deadline) {
    int unread = 0;
    if (slave_ < 0 || ioctl(slave_, FIONREAD, &unread) != 0) return false;
    if (unread == 0) return true;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

void TSimulator::WithNetwork(const std::function<void(TSimNetwork&)>& f) {
  std::lock_guard<std::mutex> g(lock_);
  f(net_);
}

TSimNetwork TSimulator::NetworkCopy() const {
  std::lock_guard<std::mutex> g(lock_);
  return net_;
}

void TSimulator::Run() {
  // Pacing sleeps to the byte: the default 50 us timer slack would make
  // every answer late by that much.
  (void)prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
  if (options_.RealTime) {
    sched_param sp{};
    sp.sched_priority = sched_get_priority_min(SCHED_FIFO);
    (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
  }
  TFrame buf;
  int64_t firstByteUs = 0;
  int64_t lastByteUs = 0;
  uint8_t chunk[4096];
  while (running_) {
    int master;
    {
      std::lock_guard<std::mutex> g(lock_);
      master = master_;
    }
    if (master < 0) break;
    pollfd p[2] = {{master, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    const int rc = ::poll(p, 2, 50);
    if (rc < 0 && errno != EINTR) break;
    if (p[1].revents & POLLIN) break;
    if (rc > 0 && (p[0].revents & POLLIN)) {
      const ssize_t r = ::read(master, chunk, sizeof chunk);
      if (r > 0) {
        if (buf.empty()) firstByteUs = NowUs();
        lastByteUs = NowUs();
        buf.insert(buf.end(), chunk, chunk + r);
      } else if (r < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
        break;
      }
    } else if (rc > 0 && (p[0].revents & POLLHUP)) {
      // No slave is open right now; wait for the server to open it.
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Split complete frames off the front of the buffer.
    while (buf.size() >= 2) {
      const size_t len = static_cast<size_t>(buf[1]) + kLengthOverhead;
      if (len < 6) {  // not a request: drop a byte and resynchronise
        buf.erase(buf.begin());
        continue;
      }
      if (buf.size() < len) break;
      TFrame frame(buf.begin(), buf.begin() + static_cast<long>(len));
      buf.erase(buf.begin(), buf.begin() + static_cast<long>(len));
      HandleFrame(frame, firstByteUs);
      firstByteUs = NowUs();
    }
    // An incomplete frame that stays idle is line noise.
    if (!buf.empty() && NowUs() - lastByteUs > 200000) buf.clear();
  }
}

void TSimulator::HandleFrame(const TFrame& frame, int64_t firstByteUs) {
  bool haveFault = false;
  TSimFault fault{TSimFault::NoAnswer};
  {
    std::lock_guard<std::mutex> g(lock_);
    received_.push_back(frame);
    if (!faults_.empty()) {
      fault = faults_.front();
      faults_.pop_front();
      haveFault = true;
    }
  }
  changed_.notify_all();

  // The request occupies the line for its whole length at 9600 baud.
  int64_t requestEndUs = NowUs();
  if (options_.Pacing)
    requestEndUs = std::max(requestEndUs, firstByteUs + static_cast<int64_t>(static_cast<double>(frame.size()) * kByteTimeMs * 1000));
  const int64_t readyUs = requestEndUs + static_cast<int64_t>(options_.TurnaroundMs * 1000);

  std::vector<TFrame> bursts;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (net_.LinkLost) return;
  }
  if (haveFault && fault.What == TSimFault::RepeatPage && (frame[4] == cmdMonitorPage || frame[4] == cmdMonitorPageClear)) {
    std::lock_guard<std::mutex> g(lock_);
    bursts = {MonitorPageLocked(false, true)};
    haveFault = false;
  } else if (FrameChecksum(frame.data(), frame.size()) != frame.back()) {
    const uint8_t none = 0;
    bursts.push_back(MakeAnswer(ansPrimaryRxError, &none, 0));
  } else {
    bursts = Answer(frame);
  }
  if (haveFault) {
    switch (fault.What) {
      case TSimFault::NoAnswer:
        return;
      case TSimFault::Hangup:
        CloseMaster();
        return;
      case TSimFault::BadChecksum:
        if (!bursts.empty()) bursts.front().back() ^= 0x5A;
        break;
      case TSimFault::BadLength:
        if (!bursts.empty()) bursts.front()[1]++;
        break;
      case TSimFault::Waits: {
        std::vector<TFrame> w;
        for (int i = 0; i < fault.Arg; ++i) w.push_back(MakeAnswer(ansWait, nullptr, 0));
        bursts.insert(bursts.begin(), w.begin(), w.end());
        break;
      }
      case TSimFault::TerminalSilent:
        bursts = {MakeAnswer(ansTerminalSilent, nullptr, 0)};
        break;
      case TSimFault::PrimaryRxError:
        bursts = {MakeAnswer(ansPrimaryRxError, nullptr, 0)};
        break;
      case TSimFault::Quality: {
        const uint8_t q = static_cast<uint8_t>(fault.Arg);
        bursts = {MakeAnswer(ansQuality, &q, 1)};
        break;
      }
      case TSimFault::QualityTwoBytes: {
        const uint8_t q[2] = {1, 1};
        bursts = {MakeAnswer(ansQuality, q, 2)};
        break;
      }
      case TSimFault::WrongCode:
        if (!bursts.empty()) {
          TFrame& f = bursts.front();
          f[2] = static_cast<uint8_t>(fault.Arg);
          f.back() = FrameChecksum(f.data(), f.size());
        }
        break;
      case TSimFault::TwoFrames:
        if (!bursts.empty()) {
          TFrame twice = bursts.front();
          twice.insert(twice.end(), bursts.front().begin(), bursts.front().end());
          bursts.front() = twice;
        }
        break;
      case TSimFault::RepeatPage:
      case TSimFault::None:
      case TSimFault::Split:
        break;
      case TSimFault::Garbage:
        bursts = {TFrame(static_cast<size_t>(fault.Arg > 0 ? fault.Arg : 3), 0xA5)};
        break;
    }
  }
  int64_t at = readyUs;
  for (size_t i = 0; i < bursts.size(); ++i) {
    const TFrame& b = bursts[i];
    if (i == 0) {
      // Counted before the answer goes out, so a reader that has the answer
      // also finds its exchange in the figures. The burst starts no earlier
      // than now.
      SleepUntilUs(at);
      std::lock_guard<std::mutex> g(lock_);
      ++stats_.Requests;
      stats_.BytesIn += frame.size();
      stats_.TurnaroundMs += static_cast<double>(NowUs() - requestEndUs) / 1000.0;
      if (lastAnswerEndUs_ != 0 && firstByteUs > lastAnswerEndUs_)
        stats_.ReplyGapMs += static_cast<double>(firstByteUs - lastAnswerEndUs_) / 1000.0;
    }
    if (i == 0 && haveFault && fault.What == TSimFault::Split) {
      const size_t first = std::min(b.size(), static_cast<size_t>(fault.Arg > 0 ? fault.Arg : 4));
      WriteBurst(TFrame(b.begin(), b.begin() + static_cast<long>(first)), at);
      if (!WaitLineTaken(2000)) return;
      WriteBurst(TFrame(b.begin() + static_cast<long>(first), b.end()), 0);
    } else {
      WriteBurst(b, at);
    }
    {
      std::lock_guard<std::mutex> g(lock_);
      lastAnswerEndUs_ = NowUs();
    }
    at = NowUs() + options_.BurstGapMs * 1000;
  }
  if (haveFault && fault.TrailerMs > 0 && !bursts.empty()) {
    // Only once the answer is off the line, so the reader has had every
    // chance to end its read at the frame before the trailer exists.
    if (!WaitLineTaken(2000)) return;
    WriteBurst(bursts.back(), NowUs() + static_cast<int64_t>(fault.TrailerMs) * 1000);
    {
      std::lock_guard<std::mutex> g(lock_);
      ++trailersSent_;
    }
    changed_.notify_all();
  }
}

int64_t TSimulator::WriteBurst(const TFrame& bytes, int64_t notBeforeUs) {
  SleepUntilUs(notBeforeUs);
  const int64_t start = NowUs();
  size_t done = 0;
  while (done < bytes.size()) {
    size_t n = bytes.size() - done;
    if (options_.Pacing) {
      // Hand over only the bytes whose 11 bits have been sent: byte k
      // (from 0) is complete (k + 1) byte times after the burst began.
      const double elapsedMs = static_cast<double>(NowUs() - start) / 1000.0;
      const size_t due = static_cast<size_t>(elapsedMs / kByteTimeMs);
      if (due <= done) {
        SleepUntilUs(start + static_cast<int64_t>(static_cast<double>(done + 1) * kByteTimeMs * 1000));
        continue;
      }
      n = std::min(n, due - done);
    }
    int master;
    {
      std::lock_guard<std::mutex> g(lock_);
      master = master_;
    }
    if (master < 0) return start;
    {
      // Counted before the write, so a reader that has the bytes also
      // finds them in the figures.
      std::lock_guard<std::mutex> g(lock_);
      stats_.BytesOut += n;
    }
    const ssize_t w = ::write(master, bytes.data() + done, n);
    if (w < static_cast<ssize_t>(n)) {
      std::lock_guard<std::mutex> g(lock_);
      stats_.BytesOut -= n - static_cast<size_t>(std::max<ssize_t>(w, 0));
    }
    if (w > 0) {
      done += static_cast<size_t>(w);
    } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } else {
      return start;
    }
  }
  return start;
}

std::vector<TFrame> TSimulator::Answer(const TFrame& frame) {
  const uint8_t a1 = frame[2];
  const uint8_t a2 = frame[3];
  const uint8_t cmd = frame[4];
  const uint8_t* data = frame.data() + kRequestHeader;
  const size_t n = frame.size() - 6;
  std::lock_guard<std::mutex> g(lock_);
  switch (cmd) {
    case cmdJournalPage:
    case cmdJournalPageClear:
      return RegPageLocked(a1, cmd == cmdJournalPageClear);
    case cmdStatus: {
      if (n < 1) return {MakeAnswer(ansPrimaryRxError, nullptr, 0)};
      TSimController* c = net_.Find(data[0]);
      if (!c || !c->Online) return {MakeAnswer(ansTerminalSilent, nullptr, 0)};
      return {MakeAnswer(cmdStatus, c->Status.data(), c->Status.size())};
    }
    case cmdAutoconfig: {
      if (!net_.AutoconfigBursts.empty()) return net_.AutoconfigBursts;
      // Descriptor blocks in one burst (up to 31 descriptors each), then
      // the closing frame after a pause.
      TFrame blocks;
      std::vector<uint8_t> all;
      for (const auto& c : net_.Controllers) all.insert(all.end(), c.Descriptor.begin(), c.Descriptor.end());
      for (size_t off = 0; off < all.size(); off += 248) {
        const size_t m = std::min<size_t>(248, all.size() - off);
        TFrame b = MakeAnswer(ansDescriptors, all.data() + off, m);
        blocks.insert(blocks.end(), b.begin(), b.end());
      }
      std::vector<TFrame> out;
      if (!blocks.empty()) out.push_back(blocks);
      out.push_back(MakeAnswer(ansAutoconfigEnd, nullptr, 0));
      return out;
    }
    default:
      break;
  }
  if (RouteOf(cmd) == 0) {
    if (cmd == cmdCardZoneQuery && n >= 2) {
      const uint16_t index = static_cast<uint16_t>(data[0] | (data[1] << 8));
      auto it = net_.CardZones.find(index);
      const uint8_t zone = it == net_.CardZones.end() ? 0 : it->second;
      return {MakeAnswer(cmdCardZoneQuery, &zone, 1)};
    }
    if (cmd == cmdMonitorPage || cmd == cmdMonitorPageClear) return {MonitorPageLocked(cmd == cmdMonitorPageClear, false)};
    return {MakeAnswer(ansPrimaryRxError, nullptr, 0)};
  }
  const std::vector<uint8_t> payload(data, data + n);
  // Network-wide effects.
  switch (cmd) {
    case cmdClock:
      if (n >= 7) {
        std::copy(data, data + 7, net_.Clock.begin());
        net_.ClockSet = true;
      }
      break;
    case cmdCalendar:
      net_.Calendar = payload;
      break;
    case cmdTimeZone:
    case cmdWeekDiagram:
    case cmdShiftDiagram:
      if (n >= 1) {
        auto& table = cmd == cmdTimeZone ? net_.TimeZones : cmd == cmdWeekDiagram ? net_.WeekDiagrams : net_.ShiftDiagrams;
        table[data[0]] = std::vector<uint8_t>(data + 1, data + n);
      }
      break;
    case cmdSegment:
      net_.Segments.push_back(payload);
      break;
    case cmdClearSegments:
      if (a1 == 0xFF) net_.Segments.clear();
      break;
    case cmdCardZone:
      if (n >= 3) net_.CardZones[static_cast<uint16_t>(data[0] | (data[1] << 8))] = data[2];
      return {};  // commands without an answer
    case cmdDisableCard:
      if (n >= 2) net_.DisabledCards.insert(static_cast<uint16_t>(data[0] | (data[1] << 8)));
      return {};
    case cmdEnableCard:
      if (n >= 2) net_.DisabledCards.erase(static_cast<uint16_t>(data[0] | (data[1] << 8)));
      break;
    default:
      break;
  }
  // Per-controller effects on every controller addressed that accepts it.
  for (auto& c : net_.Controllers) {
    if (c.Hub() || !c.Ready()) continue;
    const bool addressed = a1 != 0xFF ? c.SysAdr() == a1 : (a2 == 0xFF || c.Zone[0] == a2 || c.Zone[1] == a2);
    if (!addressed) continue;
    switch (cmd) {
      case cmdReaderZone:
        if (n >= 1 && a2 <= 1) c.Zone[a2] = data[0];
        break;
      case cmdClearToDefault:
        ++c.Resets;
        break;
      case cmdReaderParameters:
      case cmdImParameters:
      case cmdInpParameters:
      case cmdOutParameters:
      case cmdWOutParameters:
      case cmdAlarmGen:
      case cmdAutoAlarmOut:
        c.Params[{cmd, a2}] = payload;
        break;
      case cmdClearSegments:
        c.SegmentsCleared = true;
        break;
      case cmdCardListBlock:
      case cmdCardRecord:
        c.AcceptCardBlock(cmd, payload);
        break;
      case cmdClearCardList:
        c.ClearCardList();
        break;
      case cmdAutCardBlock:
      case cmdAutCardBlock2:
        c.AcceptAutBlock(cmd, payload);
        break;
      case cmdClearAutCardList:
        c.ClearAutList();
        break;
      case cmdAutRkd:
        if (n >= 1) c.AutRkd = data[0];
        break;
      case cmdSetRkd:
      case cmdSetRkdProperties:
        if (n >= 1 && a2 <= 1) {
          c.Rkd[a2] = data[0];
          if (cmd == cmdSetRkdProperties) c.RkdProperties[a2] = payload;
          const int shift = a2 == 0 ? 0 : 4;
          c.Status[0] = static_cast<uint8_t>((c.Status[0] & ~(0x07 << shift)) | ((data[0] & 0x07) << shift));
          PushStatus10Locked(c);
        }
        break;
      case cmdOpenIm:
        c.OpenIm.insert(a2);
        break;
      case cmdCloseIm:
        c.OpenIm.erase(a2);
        break;
      case cmdSetAlarm:
        c.Alarms.insert(a2);
        c.Status[1] |= 0x08;
        PushStatus10Locked(c);
        break;
      case cmdClearAlarm:
        c.Alarms.erase(a2);
        if (c.Alarms.empty()) c.Status[1] &= static_cast<uint8_t>(~0x08);
        PushStatus10Locked(c);
        break;
      case cmdSetOut:
      case cmdClearOut: {
        const int driver = a2 >> 4, item = a2 & 0x0F;
        if (cmd == cmdSetOut)
          c.Outputs.insert(a2);
        else
          c.Outputs.erase(a2);
        if (driver >= 1 && driver <= 4 && item >= 1 && item <= 4) {
          const uint8_t bit = static_cast<uint8_t>(0x10 << (item - 1));
          uint8_t& b = c.Status[2 + driver];
          b = cmd == cmdSetOut ? static_cast<uint8_t>(b | bit) : static_cast<uint8_t>(b & ~bit);
          PushDriverLocked(c, driver);
        }
        break;
      }
      case cmdPermitPass:
        ++c.Permits;
        break;
      case cmdProhibitPass:
        ++c.Prohibits;
        break;
      default:
        break;
    }
  }
  const uint8_t q = static_cast<uint8_t>(net_.CountAccepting(a1, a2));
  return {MakeAnswer(ansQuality, &q, 1)};
}

TFrame TSimulator::MonitorPageLocked(bool acknowledge, bool repeat) {
  std::vector<std::array<uint8_t, 4>> page;
  if (repeat) {
    page = lastPage_;
  } else {
    if (acknowledge) {
      for (size_t i = 0; i < net_.Unacked && !net_.MonitorRecords.empty(); ++i) net_.MonitorRecords.pop_front();
    }
    const size_t n = std::min<size_t>(32, net_.MonitorRecords.size());
    page.assign(net_.MonitorRecords.begin(), net_.MonitorRecords.begin() + static_cast<long>(n));
    net_.Unacked = n;
    lastPage_ = page;
  }
  // 0x71 marks the page that holds the last pending records (or none).
  const bool last = !net_.MonitorNeverEnds && (repeat || net_.Unacked >= net_.MonitorRecords.size());
  std::vector<uint8_t> data;
  for (const auto& r : page) data.insert(data.end(), r.begin(), r.end());
  return MakeAnswer(last ? cmdMonitorPageClear : cmdMonitorPage, data.data(), data.size());
}

void TSimulator::PushTimeLocked() {
  const double now = fixedTime_ != 0 ? fixedTime_ : LocalNow();
  const TDateFields f = DecodeDateTime(now);
  PushLocked({0xFF, static_cast<uint8_t>(f.Second & 0x3F), static_cast<uint8_t>((f.Minute << 2) | (f.Hour >> 3)),
              static_cast<uint8_t>(((f.Hour & 7) << 5) | f.Day)});
}

void TSimulator::PushLocked(std::array<uint8_t, 4> record) { net_.MonitorRecords.push_back(record); }

void TSimulator::PushStatus10Locked(const TSimController& c) {
  PushTimeLocked();
  PushLocked({c.SysAdr(), static_cast<uint8_t>(10 << 3), c.Status[0], c.Status[1]});
}

void TSimulator::PushDriverLocked(const TSimController& c, int driver) {
  PushTimeLocked();
  switch (driver) {
    case 1:
      PushLocked({c.SysAdr(), static_cast<uint8_t>(11 << 3), c.Status[2], c.Status[3]});
      break;
    case 2:
    case 3:
      PushLocked({c.SysAdr(), static_cast<uint8_t>(12 << 3), c.Status[4], c.Status[5]});
      break;
    default:
      PushLocked({c.SysAdr(), static_cast<uint8_t>(13 << 3), c.Status[6], 0});
      break;
  }
}

void TSimulator::SetTime(double localDateTime) {
  std::lock_guard<std::mutex> g(lock_);
  fixedTime_ = localDateTime;
}

void TSimulator::PresentCard(uint8_t sysAdr, int reader, uint16_t cardIndex, int detail) {
  std::lock_guard<std::mutex> g(lock_);
  PushTimeLocked();
  PushLocked({sysAdr, static_cast<uint8_t>((1 << 3) | ((detail & 3) << 1) | (reader & 1)),
              static_cast<uint8_t>(cardIndex & 0xFF), static_cast<uint8_t>(cardIndex >> 8)});
}

std::optional<TCardDecision> TSimulator::PresentCardChecked(uint8_t sysAdr, int reader, uint16_t cardIndex) {
  std::lock_guard<std::mutex> g(lock_);
  const TSimController* c = net_.Find(sysAdr);
  if (!c || c->Hub()) return std::nullopt;
  const TCardDecision d = net_.DecideCard(*c, cardIndex);
  PushCardDecisionLocked(sysAdr, reader, d);
  return d;
}

std::optional<TCardDecision> TSimulator::PresentCardChecked(uint8_t sysAdr, int reader, uint8_t facilityCode,
                                                            uint16_t cardId) {
  std::lock_guard<std::mutex> g(lock_);
  const TSimController* c = net_.Find(sysAdr);
  if (!c || c->Hub()) return std::nullopt;
  uint16_t index = 0;
  TCardDecision d;
  if (net_.IndexOfCard(facilityCode, cardId, index)) {
    d = net_.DecideCard(*c, index);
  } else {
    // Index 0 lies before the first segment, so the record names no card.
    d.Verdict = TCardVerdict::NotSystem;
    d.Index = 0;
  }
  PushCardDecisionLocked(sysAdr, reader, d);
  return d;
}

void TSimulator::PushCardDecisionLocked(uint8_t sysAdr, int reader, const TCardDecision& d) {
  PushTimeLocked();
  const uint8_t lo = static_cast<uint8_t>(d.Index & 0xFF), hi = static_cast<uint8_t>(d.Index >> 8);
  // The journal keeps a card event with the card (bit 7 of byte 1) and the
  // reader (bit 6): 1 a pass, 8 + the refusal reason a refusal.
  if (TSimController* c = net_.Find(sysAdr)) {
    const uint8_t event = d.Granted() ? 1 : static_cast<uint8_t>(8 + d.ViolationKind());
    AddRegLocked(*c, {static_cast<uint8_t>((1 << 5) | event), static_cast<uint8_t>(0x80 | (reader & 1 ? 0x40 : 0)),
                      lo, hi});
  }
  if (d.Granted()) {
    // A pass record (type 1) with detail 0: an ordinary pass.
    PushLocked({sysAdr, static_cast<uint8_t>((1 << 3) | (reader & 1)), lo, hi});
  } else {
    // An access-mode violation without alarm (types 4 and 5 by reader),
    // the violation kind in the low three bits.
    PushLocked({sysAdr, static_cast<uint8_t>(((4 + (reader & 1)) << 3) | d.ViolationKind()), lo, hi});
  }
}

void TSimulator::GuardCard(uint8_t sysAdr, int reader, uint16_t cardIndex) {
  std::lock_guard<std::mutex> g(lock_);
  PushTimeLocked();
  PushLocked({sysAdr, static_cast<uint8_t>((14 << 3) | (reader & 1)), static_cast<uint8_t>(cardIndex & 0xFF),
              static_cast<uint8_t>(cardIndex >> 8)});
}

void TSimulator::ModeViolation(uint8_t sysAdr, int reader, int kind, uint16_t cardIndex, bool alarm) {
  std::lock_guard<std::mutex> g(lock_);
  PushTimeLocked();
  const int type = (alarm ? 2 : 4) + (reader & 1);
  PushLocked({sysAdr, static_cast<uint8_t>((type << 3) | (kind & 7)), static_cast<uint8_t>(cardIndex & 0xFF),
              static_cast<uint8_t>(cardIndex >> 8)});
}

void TSimulator::AutonomousMode(uint8_t sysAdr, int reader, int mode) {
  std::lock_guard<std::mutex> g(lock_);
  TSimController* c = net_.Find(sysAdr);
  if (!c) return;
  const int shift = reader == 0 ? 0 : 4;
  c->Status[0] = static_cast<uint8_t>((c->Status[0] & ~(0x07 << shift)) | ((mode & 7) << shift));
  PushTimeLocked();
  PushLocked({sysAdr, static_cast<uint8_t>(((6 + (reader & 1)) << 3) | (mode & 7)), 0, 0});
  PushLocked({sysAdr, static_cast<uint8_t>(10 << 3), c->Status[0], c->Status[1]});
}

void TSimulator::BreakIn(uint8_t sysAdr, int item, bool heldOpen) {
  std::lock_guard<std::mutex> g(lock_);
  PushTimeLocked();
  PushLocked({sysAdr, static_cast<uint8_t>((8 << 3) | (item & 7)), heldOpen ? uint8_t{0xFF} : uint8_t{0},
              heldOpen ? uint8_t{0xFF} : uint8_t{0}});
}

void TSimulator::InputAlarm(uint8_t sysAdr, int item, uint8_t inputsMask) {
  std::lock_guard<std::mutex> g(lock_);
  PushTimeLocked();
  PushLocked({sysAdr, static_cast<uint8_t>((9 << 3) | (item & 7)), 0, static_cast<uint8_t>(inputsMask & 0x0F)});
}

void TSimulator::SetInput(uint8_t sysAdr, int driver, int input, bool active) {
  std::lock_guard<std::mutex> g(lock_);
  TSimController* c = net_.Find(sysAdr);
  if (!c || driver < 1 || driver > 4 || input < 1 || input > 4) return;
  uint8_t& b = c->Status[2 + driver];
  const uint8_t bit = static_cast<uint8_t>(1u << (input - 1));
  b = active ? static_cast<uint8_t>(b | bit) : static_cast<uint8_t>(b & ~bit);
  PushDriverLocked(*c, driver);
  // Input states (kind 4): the item changed (byte 2) and its state (byte 3).
  AddRegLocked(*c, {static_cast<uint8_t>((4 << 5) | (driver & 7)), 0, bit, static_cast<uint8_t>(active ? bit : 0)});
}

void TSimulator::SetMode(uint8_t sysAdr, int reader, int mode) {
  std::lock_guard<std::mutex> g(lock_);
  TSimController* c = net_.Find(sysAdr);
  if (!c) return;
  const int shift = reader == 0 ? 0 : 4;
  c->Status[0] = static_cast<uint8_t>((c->Status[0] & ~(0x07 << shift)) | ((mode & 7) << shift));
  PushStatus10Locked(*c);
}

void TSimulator::SetStatusFlag(uint8_t sysAdr, int bit, bool on) {
  std::lock_guard<std::mutex> g(lock_);
  TSimController* c = net_.Find(sysAdr);
  if (!c || bit < 0 || bit > 7) return;
  const uint8_t mask = static_cast<uint8_t>(1u << bit);
  c->Status[1] = on ? static_cast<uint8_t>(c->Status[1] | mask) : static_cast<uint8_t>(c->Status[1] & ~mask);
  PushStatus10Locked(*c);
}

void TSimulator::CardInZone(uint8_t zone, uint16_t cardIndex) {
  std::lock_guard<std::mutex> g(lock_);
  PushTimeLocked();
  PushLocked({zone, static_cast<uint8_t>(16 << 3), static_cast<uint8_t>(cardIndex & 0xFF),
              static_cast<uint8_t>(cardIndex >> 8)});
}

void TSimulator::CardReported(uint8_t zone, uint16_t cardIndex) {
  std::lock_guard<std::mutex> g(lock_);
  PushTimeLocked();
  PushLocked({zone, static_cast<uint8_t>(24 << 3), static_cast<uint8_t>(cardIndex & 0xFF),
              static_cast<uint8_t>(cardIndex >> 8)});
}

void TSimulator::AddRecords(const std::vector<std::array<uint8_t, 4>>& records) {
  std::lock_guard<std::mutex> g(lock_);
  for (const auto& r : records) PushLocked(r);
}

void TSimulator::SetLinkLost(bool lost) {
  std::lock_guard<std::mutex> g(lock_);
  net_.LinkLost = lost;
}

void TSimulator::SetConfigViolation(bool on) {
  std::lock_guard<std::mutex> g(lock_);
  if (TSimController* c = net_.Find(0))
    c->Status[1] = on ? static_cast<uint8_t>(c->Status[1] | 0x40) : static_cast<uint8_t>(c->Status[1] & ~0x40);
}

size_t TSimulator::PendingRecords() const {
  std::lock_guard<std::mutex> g(lock_);
  return net_.MonitorRecords.size();
}

}  // namespace vexon::sim

namespace vexon::sim {

void TSimulator::AddRegLocked(TSimController& c, TJournalRecord record) {
  const double now = fixedTime_ != 0 ? fixedTime_ : LocalNow();
  c.RegJournal.Add(DecodeDateTime(now), record);
  if ((c.Status[1] & 0x01) == 0) {
    c.Status[1] = static_cast<uint8_t>(c.Status[1] | 0x01);
    PushStatus10Locked(c);
  }
}

std::vector<TFrame> TSimulator::RegPageLocked(uint8_t sysAdr, bool confirm) {
  TSimController* c = net_.Find(sysAdr);
  // A controller that does not exist or is offline does not answer.
  if (!c || !c->Online || c->Hub()) return {};
  bool last = false;
  const std::vector<uint8_t> data = c->RegJournal.Page(confirm, last);
  if (c->RegJournal.Pending() == 0 && (c->Status[1] & 0x01) != 0) {
    c->Status[1] = static_cast<uint8_t>(c->Status[1] & ~0x01);
    PushStatus10Locked(*c);
  }
  return {MakeAnswer(last ? cmdJournalPageClear : cmdJournalPage, data.data(), data.size())};
}

void TSimulator::AddRegRecord(uint8_t sysAdr, TJournalRecord record) {
  std::lock_guard<std::mutex> g(lock_);
  if (TSimController* c = net_.Find(sysAdr)) AddRegLocked(*c, record);
}

size_t TSimulator::RegPending(uint8_t sysAdr) const {
  std::lock_guard<std::mutex> g(lock_);
  const TSimController* c = const_cast<TSimNetwork&>(net_).Find(sysAdr);
  return c ? c->RegJournal.Pending() : 0;
}

uint64_t TSimulator::RegConfirmed(uint8_t sysAdr) const {
  std::lock_guard<std::mutex> g(lock_);
  const TSimController* c = const_cast<TSimNetwork&>(net_).Find(sysAdr);
  return c ? c->RegJournal.Confirmed() : 0;
}

}  // namespace vexon::sim
