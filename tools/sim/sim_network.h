// The simulated controller network: each controller's descriptor, status
// block, reader zones and whether it answers at all. Loaded from a small
// JSON file:
//   {"controllers": [{"descriptor": "00 34 02 80 0B 00 00 00",
//                     "status": [0,0,0,0,0,0,0]}, ...]}
// ("descriptor" may also be an array of 8 integers; "status" is optional.)
//
// The network also plays the controllers' part in admission: each controller
// keeps the card list and the autonomous list it was sent, and DecideCard
// says whether a card presented at one of its readers passes.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/sim_reg_journal.h"

namespace vexon::sim {

// Why a controller lets a card through or not. The refusals map onto the
// violation kinds of an access-mode violation record (its EventAdd).
enum class TCardVerdict : uint8_t {
  Granted,
  NotInList,   // the controller's card list has no entry for the index
  Disabled,    // blocked for the whole network by 0x49 (0x4A unblocks)
  StopList,    // a stop-list entry
  Prohibited,  // a temporary, general or guard card sent without Enable
  NotSystem,   // presented by facility code and number that no segment covers
};

// Violation kinds that the refusals report.
constexpr uint8_t kViolationProhibited = 0;
constexpr uint8_t kViolationStopList = 1;
constexpr uint8_t kViolationNotSystem = 2;

struct TCardDecision {
  TCardVerdict Verdict = TCardVerdict::NotInList;
  uint16_t Index = 0;  // system index the record carries; 0 when the card has none
  bool Granted() const { return Verdict == TCardVerdict::Granted; }
  // EventAdd of the refusal record (meaningless when granted).
  uint8_t ViolationKind() const;
};

const char* VerdictText(TCardVerdict v);

// A block as it arrived: its command and its data bytes.
struct TSimBlock {
  uint8_t Command = 0;
  std::vector<uint8_t> Bytes;
  bool operator==(const TSimBlock&) const = default;
};

struct TSimController {
  std::array<uint8_t, 8> Descriptor{};
  std::array<uint8_t, 7> Status{};
  std::array<uint8_t, 2> Zone{};
  // The registration journal (0x30, 0x31).
  TSimRegJournal RegJournal;
  bool Online = true;  // answers through the network

  // State that the accepted commands leave in the controller.
  std::map<std::pair<uint8_t, uint8_t>, std::vector<uint8_t>> Params;  // (command, Address2) of 0x07..0x0D
  std::array<uint8_t, 2> Rkd{};                                        // access mode per reader (0x40, 0x41)
  std::map<uint8_t, std::vector<uint8_t>> RkdProperties;               // 0x41 data per reader
  std::set<uint8_t> OpenIm;                                            // driver/item bytes opened (0x42)
  std::set<uint8_t> Outputs;                                           // driver/item bytes set (0x46)
  std::set<uint8_t> Alarms;                                            // AdditionAdr with alarm on (0x44)
  // The card list. Blocks of 0x22 and 0x23 carry system card entries of 6
  // bytes (index low, index high, properties, schedule, two commissioning
  // bytes); a single card sent alone may instead be a 4-byte entry (index
  // low, index high, properties, one byte: general and guard cards). Cards
  // holds, by system index, the bytes after the index of the last entry
  // sent for it (properties first); 0x24 empties it.
  std::map<uint16_t, std::vector<uint8_t>> Cards;
  std::vector<std::vector<uint8_t>> CardBlocks;                        // 0x22 data, in order
  std::vector<std::vector<uint8_t>> CardRecordBlocks;                  // 0x23 data, in order
  int RejectedCardBlocks = 0;  // 0x22/0x23 data that is no whole number of entries
  // The autonomous list: the blocks of the current (or last) transfer in
  // order, 0x25 for every block but the last, 0x26 for the last; entries of
  // 3 bytes. A block arriving after a last block starts a new list; 0x27
  // empties it.
  std::vector<std::vector<uint8_t>> AutBlocks;                         // 0x25, 0x26 data
  std::vector<TSimBlock> AutBlockFrames;                               // the same with their commands
  std::vector<std::array<uint8_t, 3>> AutCards;                        // the entries, in order
  bool AutListComplete = false;                                        // the last block (0x26) arrived
  int AutRkd = -1;                                                     // 0x28
  int Resets = 0;                                                      // 0x06
  int Permits = 0;                                                     // 0x4B
  int Prohibits = 0;                                                   // 0x4C
  bool SegmentsCleared = false;                                        // 0x21 addressed to it

  uint8_t SysAdr() const { return Descriptor[0]; }
  bool Hub() const { return (Descriptor[3] & 0x40) != 0; }
  bool Ready() const { return Online && (Status[1] & 0x80) == 0; }
  // Driver address (1..4) of the first driver slot in use, 0 without one.
  int FirstDriver() const;

  // Effects of the card-list commands on this controller. Block data that
  // is no whole number of entries is kept as sent and counted, not read.
  void AcceptCardBlock(uint8_t command, const std::vector<uint8_t>& data);
  void ClearCardList();
  void AcceptAutBlock(uint8_t command, const std::vector<uint8_t>& data);
  void ClearAutList();
};

struct TSimNetwork {
  std::vector<TSimController> Controllers;

  // Network-wide tables (sent to all controllers).
  std::array<uint8_t, 7> Clock{};
  bool ClockSet = false;
  std::vector<uint8_t> Calendar;
  std::map<uint8_t, std::vector<uint8_t>> TimeZones, WeekDiagrams, ShiftDiagrams;
  std::vector<std::vector<uint8_t>> Segments;  // 0x20 data in order
  std::map<uint16_t, uint8_t> CardZones;       // 0x48, answered by 0x90
  std::set<uint16_t> DisabledCards;            // 0x49 adds, 0x4A removes
  // The primary controller's monitoring records not yet acknowledged, and
  // how many of them the last page handed out.
  std::deque<std::array<uint8_t, 4>> MonitorRecords;
  size_t Unacked = 0;
  // Faulty paging: every page answered with 0x70, the end flag never set.
  bool MonitorNeverEnds = false;
  // The primary controller stops answering altogether.
  bool LinkLost = false;
  // When not empty, the answer bursts to autoconfiguration, verbatim (for
  // malformed answers); otherwise they are built from the descriptors.
  std::vector<std::vector<uint8_t>> AutoconfigBursts;

  TSimController* Find(uint8_t sysAdr);
  const TSimController* Find(uint8_t sysAdr) const;
  // Controllers addressed by Address1/Address2 that would accept a command.
  int CountAccepting(uint8_t address1, uint8_t address2) const;

  // A three-controller network: primary (SysAdr 0) with one driver, a hub
  // and a controller with two drivers.
  // The segments as the controllers use them: the 8 data bytes of each 0x20
  // (position, facility code, first card, last card, first index; 16-bit
  // fields low byte first), the first one received winning an overlap.
  bool IndexOfCard(uint8_t facilityCode, uint16_t cardId, uint16_t& index) const;
  bool CardOfIndex(uint16_t index, uint8_t& facilityCode, uint16_t& cardId) const;

  // Whether controller c lets the card of that system index through. In
  // this order: not in its card list, blocked network-wide, a stop-list
  // entry, a special card sent without Enable; otherwise granted. Schedules,
  // access modes and commissioning are kept but not judged.
  TCardDecision DecideCard(const TSimController& c, uint16_t index) const;

  static TSimNetwork Default();
  static std::optional<TSimNetwork> FromJson(const std::string& text, std::string& error);
  static std::optional<TSimNetwork> FromFile(const std::string& path, std::string& error);
};

}  // namespace vexon::sim
