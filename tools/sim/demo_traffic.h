// Demonstration traffic for vexon-sim: people walking up to the doors of the
// simulated network, so that a monitoring client shows live events without
// anyone typing.
//
// Each step presents one card at one reader, the controllers and readers
// taken in turn (hubs have no readers). The card is mostly one of that
// controller's own card list, named by facility code and number through the
// segments the network holds (the road a real card takes), and every fifth
// step a card no segment covers. The controller judges it as for the stdin
// command `card`. Every second granted card opens the door: input 1 of the
// controller's first driver (the door contact) becomes active, and is reset
// half a period later.
//
// No card is presented while the primary controller holds more than
// kMaxBacklog unread monitoring records, so a network that nobody polls does
// not pile up records.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "sim/simulator.h"

namespace vexon::sim {

class TDemoTraffic {
 public:
  static constexpr size_t kMaxBacklog = 64;
  // A card that no demonstration segment covers.
  static constexpr uint8_t kStrangerFacility = 250;

  TDemoTraffic(TSimulator& sim, int periodMs);
  ~TDemoTraffic();
  TDemoTraffic(const TDemoTraffic&) = delete;
  TDemoTraffic& operator=(const TDemoTraffic&) = delete;

  // Runs the steps on a thread of their own: every period a step, half a
  // period after it the door closes.
  void Start();
  void Stop();

  // Step and CloseDoor are for one thread: the demonstration thread, or a
  // caller that never started it.
  // One presentation; returns what happened as one line ("" when the step
  // was skipped: no controller with readers, or a backlog).
  std::string Step();
  // Resets the door contact opened by the last step, if any.
  void CloseDoor();

 private:
  void Run();

  TSimulator& sim_;
  int periodMs_;
  uint64_t step_ = 0;
  uint64_t granted_ = 0;
  std::map<uint8_t, size_t> cursor_;  // next card of each controller's list
  int openSys_ = -1, openDriver_ = 0;
  std::mutex lock_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace vexon::sim
