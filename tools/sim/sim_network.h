// The simulated controller network: each controller's descriptor, status
// block, reader zones and whether it answers at all. Loaded from a small
// JSON file:
//   {"controllers": [{"descriptor": "00 34 02 80 0B 00 00 00",
//                     "status": [0,0,0,0,0,0,0]}, ...]}
// ("descriptor" may also be an array of 8 integers; "status" is optional.)
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexon::sim {

struct TSimController {
  std::array<uint8_t, 8> Descriptor{};
  std::array<uint8_t, 7> Status{};
  std::array<uint8_t, 2> Zone{};
  bool Online = true;  // answers through the network

  uint8_t SysAdr() const { return Descriptor[0]; }
  bool Hub() const { return (Descriptor[3] & 0x40) != 0; }
  bool Ready() const { return Online && (Status[1] & 0x80) == 0; }
};

struct TSimNetwork {
  std::vector<TSimController> Controllers;

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
