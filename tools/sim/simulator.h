// vexon-sim: plays the primary controller of a simulated network on the
// master side of a pseudo-terminal. The server opens the slave side as its
// serial line.
//
// It parses request frames (with their checksum), answers each command sent
// through the network with the quality frame (the number of ready, non-hub
// controllers addressed), answers the status query 0x72 and autoconfiguration
// 0x00, and keeps its own state in step with the commands it accepts. Faults
// can be injected for the next frames, one per frame, in order. With pacing
// on it produces the timing of a 9600-baud line, which a pseudo-terminal
// does not: a request counts as received only once its last byte would have
// left the line, and each answer byte is handed over only when its 11 bits
// would have been sent, so a reader sees a frame no earlier than on a real
// line, whether it ends its reads at the whole frame or after silence.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_network.h"

namespace vexon::sim {

struct TSimFault {
  enum Kind {
    NoAnswer,      // the frame is swallowed
    BadChecksum,   // the answer's checksum is wrong
    BadLength,     // the answer's length byte is one too many
    Waits,         // Arg wait answers (0xF5), each on its own, then the answer
    TerminalSilent,  // answer 0xF0
    PrimaryRxError,  // answer 0xF3
    Quality,       // the quality answer reports Arg controllers
    TwoFrames,     // the answer twice in one burst
    Garbage,       // Arg garbage bytes (default 3) instead of the answer
    Hangup,        // the line disappears (the master side is closed)
    QualityTwoBytes,  // a quality answer with two data bytes
    WrongCode,     // the answer with code Arg instead of its own
    RepeatPage,    // a monitoring page repeats the previous page
    None,          // the answer as it is (to carry a trailer)
    // The first answer frame in two bursts: Arg bytes (default 4), then the
    // rest as soon as the reader has taken them off the line.
    Split,
  };
  Kind What;
  int Arg = 0;
  // Above 0: the last answer frame (as the fault left it) once more, this
  // many ms (well inside the 30 ms idle cut) after the reader has taken the
  // answer off the line. A read that waits for the idle cut takes both
  // frames; a read that ends at the whole frame leaves the second one on
  // the line.
  int TrailerMs = 0;
};

struct TSimOptions {
  bool Pacing = false;          // 9600 baud, 11 bits per byte
  double TurnaroundMs = 1.0;    // between the end of a request and the answer
  // Between answer bursts: well above the 30 ms idle cut, so a reader that
  // is late to take a burst off a loaded machine still sees the silence.
  int BurstGapMs = 150;
  // The line thread asks for real-time scheduling (SCHED_FIFO, lowest
  // priority) where the process may have it, so that its answers keep the
  // timing of controller hardware on a machine busy with other work. It
  // sleeps between bytes and frames, so it never holds a processor. Without
  // the permission it runs as an ordinary thread.
  bool RealTime = true;
};

using TFrame = std::vector<uint8_t>;

// What the line carried since the last reset, for measuring the server
// against the line's own floor.
struct TSimLineStats {
  size_t Requests = 0;   // request frames answered
  size_t BytesIn = 0;    // request bytes received
  size_t BytesOut = 0;   // answer bytes sent
  // Sum over the answered requests of the time from the end of the request
  // on the line to the start of the first answer byte, as it happened
  // (at least TurnaroundMs each, more when the simulator ran late).
  double TurnaroundMs = 0;
  // Sum of the silences from the end of an answer to the first byte of the
  // next request: the server's own time between exchanges.
  double ReplyGapMs = 0;
};

class TSimulator {
 public:
  explicit TSimulator(TSimNetwork network = TSimNetwork::Default(), TSimOptions options = {});
  ~TSimulator();
  TSimulator(const TSimulator&) = delete;
  TSimulator& operator=(const TSimulator&) = delete;

  // Opens the pseudo-terminal pair and starts answering. False on failure.
  bool Start();
  void Stop();
  // Path of the slave side, for the server's --port COMn=PATH.
  const std::string& SlavePath() const { return slavePath_; }

  // Frames received (with their checksum verified or not).
  std::vector<TFrame> ReceivedFrames() const;
  size_t FrameCount() const;
  void ClearReceived();
  // Waits until at least n frames have been received.
  bool WaitForFrames(size_t n, int timeoutMs) const;
  void InjectFault(TSimFault fault);
  // Writes raw bytes to the line, as if the primary controller sent them.
  void SendRaw(const std::vector<uint8_t>& bytes);
  // Trailer frames written so far, and a wait until n have been.
  size_t TrailersSent() const;
  bool WaitForTrailers(size_t n, int timeoutMs) const;
  TSimLineStats LineStats() const;
  void ResetLineStats();

  // Events: each appends a time record and the event's record(s) to the
  // primary controller's monitoring records, and changes the status blocks
  // the way the event does. sysAdr names the reporting controller.
  void SetTime(double localDateTime);  // 0: the system's local time
  // A pass record as given (type 1, request detail 0..3), whatever the
  // controller's card list says.
  void PresentCard(uint8_t sysAdr, int reader, uint16_t cardIndex, int detail = 0);
  // A card presented at a reader (0 or 1) and judged by the controller
  // from its card list (TSimNetwork::DecideCard): a granted card gives a
  // pass record (type 1, detail 0), a refused one an access-mode violation
  // record of that reader (type 4 or 5, no alarm) whose detail is the
  // reason (0 prohibited, 1 stop list, 2 not a system card). By system
  // index, or by facility code and card number through the segments the
  // network was sent (not covered: refused as not a system card, the record
  // carries index 0). Nothing is recorded, and nullopt returned, for a
  // controller that does not exist or is a hub (it has no readers).
  std::optional<TCardDecision> PresentCardChecked(uint8_t sysAdr, int reader, uint16_t cardIndex);
  std::optional<TCardDecision> PresentCardChecked(uint8_t sysAdr, int reader, uint8_t facilityCode, uint16_t cardId);
  void GuardCard(uint8_t sysAdr, int reader, uint16_t cardIndex);
  void ModeViolation(uint8_t sysAdr, int reader, int kind, uint16_t cardIndex, bool alarm);
  void AutonomousMode(uint8_t sysAdr, int reader, int mode);
  void BreakIn(uint8_t sysAdr, int item, bool heldOpen);
  void InputAlarm(uint8_t sysAdr, int item, uint8_t inputsMask);
  void SetInput(uint8_t sysAdr, int driver, int input, bool active);
  void SetMode(uint8_t sysAdr, int reader, int mode);
  void SetStatusFlag(uint8_t sysAdr, int bit, bool on);  // b2 bits 0..3, 6, 7
  void CardInZone(uint8_t zone, uint16_t cardIndex);
  void CardReported(uint8_t zone, uint16_t cardIndex);
  void AddRecords(const std::vector<std::array<uint8_t, 4>>& records);
  // The whole link goes silent (or comes back).
  void SetLinkLost(bool lost);
  // The primary controller reports a configuration violation (b2 bit 6).
  void SetConfigViolation(bool on);
  size_t PendingRecords() const;

  // Registration journals. A record (kinds 1 to 5) is dated now (or at
  // SetTime) and sets the controller's registration-journal flag (b2 bit 0,
  // reported by a status record) until a confirmed read empties the
  // journal. Card decisions and input changes add their records too.
  void AddRegRecord(uint8_t sysAdr, TJournalRecord record);
  size_t RegPending(uint8_t sysAdr) const;
  uint64_t RegConfirmed(uint8_t sysAdr) const;

  // Access to the network state under the simulator's lock.
  void WithNetwork(const std::function<void(TSimNetwork&)>& f);
  TSimNetwork NetworkCopy() const;

 private:
  void Run();
  void HandleFrame(const TFrame& frame, int64_t firstByteUs);
  // Answer bursts for a well-formed request.
  std::vector<TFrame> Answer(const TFrame& frame);
  // Returns when the burst started (its first byte's time on the line).
  int64_t WriteBurst(const TFrame& bytes, int64_t notBeforeUs);
  // Waits (at most timeoutMs) until the reader on the slave side has taken
  // every byte written so far.
  bool WaitLineTaken(int timeoutMs);
  void CloseMaster();
  // With the lock held.
  void PushTimeLocked();
  void PushLocked(std::array<uint8_t, 4> record);
  void PushStatus10Locked(const TSimController& c);
  void PushDriverLocked(const TSimController& c, int driver);
  void PushCardDecisionLocked(uint8_t sysAdr, int reader, const TCardDecision& d);
  TFrame MonitorPageLocked(bool acknowledge, bool repeat);
  void AddRegLocked(TSimController& c, TJournalRecord record);
  std::vector<TFrame> RegPageLocked(uint8_t sysAdr, bool confirm);
  std::vector<std::array<uint8_t, 4>> lastPage_;
  double fixedTime_ = 0;

  TSimOptions options_;
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  TSimNetwork net_;
  std::vector<TFrame> received_;
  size_t trailersSent_ = 0;
  TSimLineStats stats_;
  int64_t lastAnswerEndUs_ = 0;
  std::deque<TSimFault> faults_;
  int master_ = -1;
  int slave_ = -1;
  int stopFd_ = -1;
  std::string slavePath_;
  std::thread thread_;
  std::atomic<bool> running_{false};
};

}  // namespace vexon::sim
