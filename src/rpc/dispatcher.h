// JSON-RPC 2.0 over the operation table: parses a request or a batch,
// converts the parameters by the interface's types (by name or by
// position), runs the operation on the connection's automation object and
// builds the answer. Errors: -32700 parse, -32600 invalid request, -32601
// unknown method, -32602 invalid params, -32000 a failed call, -32603 an
// answer too long to send.
//
// Bounds: nesting (kMaxDepth), batch size (kMaxBatch) and answer size
// (kMaxAnswer). Nothing in here recurses deeper than kMaxDepth levels.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "automation/server_object.h"

namespace vexon {

// What the dispatcher needs to know of a JSON text before parsing it: how
// deep its containers nest and, for a top-level array, how many entries it
// has. Strings are skipped; a malformed text yields some shape and is then
// refused by the parser.
struct TJsonShape {
  int Depth = 0;
  size_t TopLevelEntries = 0;
};
TJsonShape ScanJson(std::string_view text);

// The stream methods of one connection (vexon.subscribe and
// vexon.unsubscribe): each returns the result object, or throws
// TStreamCallError.
class TStreamCalls {
 public:
  virtual ~TStreamCalls() = default;
  virtual nlohmann::json Subscribe(const nlohmann::json& params) = 0;
  virtual nlohmann::json Unsubscribe(const nlohmann::json& params) = 0;
};
struct TStreamCallError {
  int Code;  // -32602 bad params, -32000 refused
  std::string Message;
};

class TRpcDispatcher {
 public:
  // A text nested deeper than this is refused before it is parsed.
  static constexpr int kMaxDepth = 64;
  // Requests in one batch.
  static constexpr size_t kMaxBatch = 1000;
  // Bytes of one answer (a batch stops carrying out requests past it).
  static constexpr size_t kMaxAnswer = 4 * 1024 * 1024;

  explicit TRpcDispatcher(TServices& services) : object_(services) {}

  // Where vexon.subscribe and vexon.unsubscribe go; without it (HTTP POST)
  // they are refused.
  void SetStreamCalls(TStreamCalls* calls) { streams_ = calls; }

  // The answer to one message, or nothing (notifications only).
  std::optional<std::string> Handle(const std::string& text);
  // A JSON-RPC error answer with a null id.
  static std::string ErrorText(int code, const std::string& message);

 private:
  // The answer text to one request (not a batch), or nothing.
  std::optional<std::string> HandleOne(const nlohmann::json& request);

  TSysVexonComServer object_;
  TStreamCalls* streams_ = nullptr;
};

// Calls counted for the metrics page, process-wide: by method (operation
// names and rpc.discover only, so the set stays bounded; anything else is
// "other") and by error code.
struct TRpcCallCount {
  std::string Method;
  int Code;  // 0: answered with a result
  uint64_t Count;
};
std::vector<TRpcCallCount> RpcCallCounts();

// The interface description (OpenRPC) built from the operation table and
// the stream methods.
const nlohmann::json& InterfaceDescription();

}  // namespace vexon
