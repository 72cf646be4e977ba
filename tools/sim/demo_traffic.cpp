#include "sim/demo_traffic.h"

#include <chrono>
#include <cstdio>
#include <vector>

namespace vexon::sim {

TDemoTraffic::TDemoTraffic(TSimulator& sim, int periodMs) : sim_(sim), periodMs_(periodMs > 0 ? periodMs : 1000) {}

TDemoTraffic::~TDemoTraffic() { Stop(); }

void TDemoTraffic::Start() {
  {
    std::lock_guard<std::mutex> g(lock_);
    stop_ = false;
  }
  thread_ = std::thread([this] { Run(); });
}

void TDemoTraffic::Stop() {
  {
    std::lock_guard<std::mutex> g(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void TDemoTraffic::Run() {
  const auto half = std::chrono::milliseconds(periodMs_ / 2);
  std::unique_lock<std::mutex> g(lock_);
  for (;;) {
    if (wake_.wait_for(g, half, [this] { return stop_; })) return;
    g.unlock();
    CloseDoor();
    g.lock();
    if (wake_.wait_for(g, std::chrono::milliseconds(periodMs_) - half, [this] { return stop_; })) return;
    g.unlock();
    const std::string line = Step();
    if (!line.empty()) {
      std::printf("demo: %s\n", line.c_str());
      std::fflush(stdout);
    }
    g.lock();
  }
}

void TDemoTraffic::CloseDoor() {
  if (openSys_ < 0) return;
  sim_.SetInput(static_cast<uint8_t>(openSys_), openDriver_, 1, false);
  openSys_ = -1;
}

std::string TDemoTraffic::Step() {
  if (sim_.PendingRecords() > kMaxBacklog) return "";
  const TSimNetwork net = sim_.NetworkCopy();
  std::vector<const TSimController*> readers;
  for (const auto& c : net.Controllers)
    if (!c.Hub()) readers.push_back(&c);
  if (readers.empty()) return "";
  const uint64_t k = step_++;
  const TSimController& c = *readers[k % readers.size()];
  const int reader = static_cast<int>((k / readers.size()) % 2);

  std::optional<TCardDecision> d;
  char card[32];
  if (k % 5 == 4 || c.Cards.empty()) {
    const auto number = static_cast<uint16_t>(1000 + k % 9000);
    std::snprintf(card, sizeof card, "%u/%u", unsigned{kStrangerFacility}, unsigned{number});
    d = sim_.PresentCardChecked(c.SysAdr(), reader, kStrangerFacility, number);
  } else {
    size_t& cursor = cursor_[c.SysAdr()];
    auto it = c.Cards.begin();
    std::advance(it, static_cast<long>(cursor++ % c.Cards.size()));
    uint8_t fc = 0;
    uint16_t number = 0;
    if (net.CardOfIndex(it->first, fc, number)) {
      std::snprintf(card, sizeof card, "%u/%u", unsigned{fc}, unsigned{number});
      d = sim_.PresentCardChecked(c.SysAdr(), reader, fc, number);
    } else {
      std::snprintf(card, sizeof card, "index %u", unsigned{it->first});
      d = sim_.PresentCardChecked(c.SysAdr(), reader, it->first);
    }
  }
  if (!d) return "";
  std::string line = "controller " + std::to_string(c.SysAdr()) + " reader " + std::to_string(reader) + ": card " +
                     card + " " + (d->Granted() ? "granted" : std::string("refused (") + VerdictText(d->Verdict) + ")");
  const int driver = c.FirstDriver();
  if (d->Granted() && granted_++ % 2 == 0 && driver != 0) {
    CloseDoor();
    sim_.SetInput(c.SysAdr(), driver, 1, true);
    openSys_ = c.SysAdr();
    openDriver_ = driver;
    line += ", door opened";
  }
  return line;
}

}  // namespace vexon::sim
