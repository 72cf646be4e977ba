// JSON-RPC 2.0 over the operation table: parses a request or a batch,
// converts the parameters by the interface's types (by name or by
// position), runs the operation on the connection's automation object and
// builds the answer. Errors: -32700 parse, -32600 invalid request, -32601
// unknown method, -32602 invalid params, -32000 a failed call.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "automation/server_object.h"

namespace vexon {

class TRpcDispatcher {
 public:
  explicit TRpcDispatcher(TServices& services) : object_(services) {}

  // The answer to one message, or nothing (notifications only).
  std::optional<std::string> Handle(const std::string& text);
  // A JSON-RPC error answer with a null id.
  static std::string ErrorText(int code, const std::string& message);

 private:
  std::optional<nlohmann::json> HandleOne(const nlohmann::json& request);

  TSysVexonComServer object_;
};

// The interface description (OpenRPC) built from the operation table.
const nlohmann::json& InterfaceDescription();

}  // namespace vexon
