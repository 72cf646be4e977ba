// The simulated controller network: each controller's descriptor, status
// block, reader zones and whether it answers at all. Loaded from a small
// JSON file:
//   {"controllers": [{"descriptor": "00 34 02 80 0B 00 00 00",
//                     "status": [0,0,0,0,0,0,0]}, ...]}
// ("descriptor" may also be an array of 8 integers; "status" is optional.)
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vexon::sim {

struct TSimController {
  std::array<uint8_t, 8> Descriptor{};
  std::array<uint8_t, 7> Status{};
  std::array<uint8_t, 2> Zone{};
  bool Online = true;  // answers through the network

  // State that the accepted commands leave in the controller.
  std::map<std::pair<uint8_t, uint8_t>, std::vector<uint8_t>> Params;  // (command, Address2) of 0x07..0x0D
  std::array<uint8_t, 2> Rkd{};                                        // access mode per reader (0x40, 0x41)
  std::map<uint8_t, std::vector<uint8_t>> RkdProperties;               // 0x41 data per reader
  std::set<uint8_t> OpenIm;                                            // driver/item bytes opened (0x42)
  std::set<uint8_t> Outputs;                                           // driver/item bytes set (0x46)
  std::set<uint8_t> Alarms;                                            // AdditionAdr with alarm on (0x44)
  std::map<uint16_t, std::vector<uint8_t>> Cards;                      // 0x23 by system index
  std::vector<std::vector<uint8_t>> CardBlocks;                        // 0x22
  std::vector<std::vector<uint8_t>> AutBlocks;                         // 0x25, 0x26
  int AutRkd = -1;                                                     // 0x28
  int Resets = 0;                                                      // 0x06
  int Permits = 0;                                                     // 0x4B
  int Prohibits = 0;                                                   // 0x4C
  bool SegmentsCleared = false;                                        // 0x21 addressed to it

  uint8_t SysAdr() const { return Descriptor[0]; }
  bool Hub() const { return (Descriptor[3] & 0x40) != 0; }
  bool Ready() const { return Online && (Status[1] & 0x80) == 0; }
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
  // Controllers addressed by Address1/Address2 that would accept a command.
  int CountAccepting(uint8_t address1, uint8_t address2) const;

  // A three-controller network: primary (SysAdr 0) with one driver, a hub
  // and a controller with two drivers.
  static TSimNetwork Default();
  static std::optional<TSimNetwork> FromJson(const std::string& text, std::string& error);
  static std::optional<TSimNetwork> FromFile(const std::string& path, std::string& error);
};

}  // namespace vexon::sim
