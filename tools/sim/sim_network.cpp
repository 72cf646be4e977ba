#include "sim/sim_network.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace vexon::sim {

TSimController* TSimNetwork::Find(uint8_t sysAdr) {
  for (auto& c : Controllers)
    if (c.SysAdr() == sysAdr) return &c;
  return nullptr;
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
