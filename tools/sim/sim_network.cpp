#include "sim/sim_network.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "link/protocol.h"

namespace vexon::sim {

namespace {
constexpr size_t kCardEntry = 6;       // index (2), properties, schedule, commissioning (2)
constexpr size_t kShortCardEntry = 4;  // index (2), properties, one byte
constexpr size_t kAutEntry = 3;
constexpr size_t kSegmentData = 8;
constexpr uint8_t kTimeTypeMask = 0x03;
constexpr uint8_t kSpecialCard = 0x03;  // time type 3: temporary, general, guard and stop-list cards
constexpr uint8_t kEnabled = 0x80;

uint16_t U16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }
}  // namespace

uint8_t TCardDecision::ViolationKind() const {
  switch (Verdict) {
    case TCardVerdict::StopList:
      return kViolationStopList;
    case TCardVerdict::NotInList:
    case TCardVerdict::NotSystem:
      return kViolationNotSystem;
    default:
      return kViolationProhibited;
  }
}

const char* VerdictText(TCardVerdict v) {
  switch (v) {
    case TCardVerdict::Granted:
      return "granted";
    case TCardVerdict::NotInList:
      return "not in the controller's card list";
    case TCardVerdict::Disabled:
      return "blocked";
    case TCardVerdict::StopList:
      return "stop-list card";
    case TCardVerdict::Prohibited:
      return "sent without Enable";
    case TCardVerdict::NotSystem:
      return "no segment covers it";
  }
  return "?";
}

int TSimController::FirstDriver() const {
  for (int slot = 4; slot < 8; ++slot)
    if (Descriptor[static_cast<size_t>(slot)] != 0) return ((Descriptor[static_cast<size_t>(slot)] >> 1) & 3) + 1;
  return 0;
}

void TSimController::AcceptCardBlock(uint8_t command, const std::vector<uint8_t>& data) {
  (command == proto::cmdCardListBlock ? CardBlocks : CardRecordBlocks).push_back(data);
  size_t entry = 0;
  if (data.size() == kShortCardEntry)
    entry = kShortCardEntry;
  else if (!data.empty() && data.size() % kCardEntry == 0)
    entry = kCardEntry;
  if (entry == 0) {
    ++RejectedCardBlocks;
    return;
  }
  for (size_t at = 0; at < data.size(); at += entry)
    Cards[U16(data, at)] = std::vector<uint8_t>(data.begin() + static_cast<long>(at + 2),
                                                data.begin() + static_cast<long>(at + entry));
}

void TSimController::ClearCardList() {
  Cards.clear();
  CardBlocks.clear();
  CardRecordBlocks.clear();
}

void TSimController::AcceptAutBlock(uint8_t command, const std::vector<uint8_t>& data) {
  if (AutListComplete) ClearAutList();
  AutBlocks.push_back(data);
  AutBlockFrames.push_back({command, data});
  for (size_t at = 0; at + kAutEntry <= data.size(); at += kAutEntry) AutCards.push_back({data[at], data[at + 1], data[at + 2]});
  AutListComplete = command == proto::cmdAutCardBlock2;
}

void TSimController::ClearAutList() {
  AutBlocks.clear();
  AutBlockFrames.clear();
  AutCards.clear();
  AutListComplete = false;
}

TSimController* TSimNetwork::Find(uint8_t sysAdr) {
  for (auto& c : Controllers)
    if (c.SysAdr() == sysAdr) return &c;
  return nullptr;
}

const TSimController* TSimNetwork::Find(uint8_t sysAdr) const {
  for (const auto& c : Controllers)
    if (c.SysAdr() == sysAdr) return &c;
  return nullptr;
}

bool TSimNetwork::IndexOfCard(uint8_t facilityCode, uint16_t cardId, uint16_t& index) const {
  for (const auto& s : Segments) {
    if (s.size() < kSegmentData || s[1] != facilityCode) continue;
    const uint16_t first = U16(s, 2), last = U16(s, 4), firstIndex = U16(s, 6);
    if (cardId < first || cardId > last) continue;
    const uint32_t i = uint32_t{cardId} - first + firstIndex;
    if (i > 0xFFFF) return false;
    index = static_cast<uint16_t>(i);
    return true;
  }
  return false;
}

bool TSimNetwork::CardOfIndex(uint16_t index, uint8_t& facilityCode, uint16_t& cardId) const {
  for (const auto& s : Segments) {
    if (s.size() < kSegmentData) continue;
    const uint16_t first = U16(s, 2), last = U16(s, 4), firstIndex = U16(s, 6);
    if (last < first || index < firstIndex || index - firstIndex > last - first) continue;
    facilityCode = s[1];
    cardId = static_cast<uint16_t>(first + (index - firstIndex));
    return true;
  }
  return false;
}

TCardDecision TSimNetwork::DecideCard(const TSimController& c, uint16_t index) const {
  TCardDecision d;
  d.Index = index;
  const auto it = c.Cards.find(index);
  if (it == c.Cards.end() || it->second.empty()) {
    d.Verdict = TCardVerdict::NotInList;
    return d;
  }
  if (DisabledCards.count(index)) {
    d.Verdict = TCardVerdict::Disabled;
    return d;
  }
  const std::vector<uint8_t>& e = it->second;  // properties, then 1 or 3 bytes
  const uint8_t properties = e[0];
  if ((properties & kTimeTypeMask) == kSpecialCard) {
    const bool full = e.size() == kCardEntry - 2;
    if (full && (properties & kEnabled) && e[1] == 0 && e[2] == 0 && e[3] == 0) {
      d.Verdict = TCardVerdict::StopList;
      return d;
    }
    if (!(properties & kEnabled)) {
      d.Verdict = TCardVerdict::Prohibited;
      return d;
    }
  }
  d.Verdict = TCardVerdict::Granted;
  return d;
}

int TSimNetwork::CountAccepting(uint8_t a1, uint8_t a2) const {
  int n = 0;
  for (const auto& c : Controllers) {
    if (c.Hub() || !c.Ready()) continue;
    if (a1 != 0xFF) {
      n += c.SysAdr() == a1;
    } else if (a2 == 0xFF || c.Zone[0] == a2 || c.Zone[1] == a2) {
      ++n;
    }
  }
  return n;
}

TSimNetwork TSimNetwork::Default() {
  TSimNetwork n;
  TSimController primary;
  primary.Descriptor = {0x00, 0x34, 0x02, 0x80, 0x0B, 0x00, 0x00, 0x00};
  primary.Status = {0x00, 0x00, 0x1F, 0x00, 0x00, 0x00, 0x00};
  TSimController hub;
  hub.Descriptor = {0x01, 0x10, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00};
  hub.Status = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  TSimController second;
  second.Descriptor = {0x02, 0x35, 0x02, 0x00, 0x0B, 0x1A, 0x00, 0x00};
  second.Status = {0x00, 0x00, 0x3F, 0x00, 0x00, 0x00, 0x00};
  n.Controllers = {primary, hub, second};
  return n;
}

namespace {
bool ReadBytes(const nlohmann::json& j, uint8_t* out, size_t n, std::string& error, const char* what) {
  if (j.is_string()) {
    std::istringstream in(j.get<std::string>());
    std::string tok;
    size_t i = 0;
    while (in >> tok) {
      if (i >= n) break;
      try {
        size_t used = 0;
        const unsigned long v = std::stoul(tok, &used, 16);
        if (used != tok.size() || v > 255) throw std::invalid_argument(tok);
        out[i++] = static_cast<uint8_t>(v);
      } catch (const std::exception&) {
        error = std::string(what) + ": bad hex byte '" + tok + "'";
        return false;
      }
    }
    if (i != n) {
      error = std::string(what) + ": expected " + std::to_string(n) + " bytes";
      return false;
    }
    return true;
  }
  if (!j.is_array() || j.size() != n) {
    error = std::string(what) + ": expected " + std::to_string(n) + " bytes";
    return false;
  }
  for (size_t i = 0; i < n; ++i) {
    if (!j[i].is_number_integer() || j[i].get<int64_t>() < 0 || j[i].get<int64_t>() > 255) {
      error = std::string(what) + ": byte out of range";
      return false;
    }
    out[i] = static_cast<uint8_t>(j[i].get<int>());
  }
  return true;
}
}  // namespace

std::optional<TSimNetwork> TSimNetwork::FromJson(const std::string& text, std::string& error) {
  nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object() || !j.contains("controllers") || !j["controllers"].is_array()) {
    error = "expected an object with a \"controllers\" array";
    return std::nullopt;
  }
  TSimNetwork n;
  for (const auto& c : j["controllers"]) {
    if (!c.is_object() || !c.contains("descriptor")) {
      error = "each controller needs a \"descriptor\"";
      return std::nullopt;
    }
    TSimController sc;
    if (!ReadBytes(c["descriptor"], sc.Descriptor.data(), 8, error, "descriptor")) return std::nullopt;
    if (c.contains("status") && !ReadBytes(c["status"], sc.Status.data(), 7, error, "status")) return std::nullopt;
    if (c.contains("online") && c["online"].is_boolean()) sc.Online = c["online"].get<bool>();
    n.Controllers.push_back(sc);
  }
  return n;
}

std::optional<TSimNetwork> TSimNetwork::FromFile(const std::string& path, std::string& error) {
  std::ifstream f(path);
  if (!f) {
    error = "cannot read " + path;
    return std::nullopt;
  }
  std::stringstream ss;
  ss << f.rdbuf();
  return FromJson(ss.str(), error);
}

}  // namespace vexon::sim
