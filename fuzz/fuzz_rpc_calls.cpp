// libFuzzer, structure-aware: the fuzzer's bytes choose JSON-RPC calls
// rather than text, so that every operation of the operation table is
// reached with arguments of every type: integers at the edges of 8, 32 and
// 64 bits, floats, decimal and odd strings, ISO dates, booleans, nulls,
// plain and bounded two-dimensional arrays, objects, deep nesting in the
// parameters and in the id, by-name and by-position parameters, unknown
// names, notifications and batches up to past the batch limit.
//
// Checked after every input: each answer is well-formed JSON-RPC, a single
// call with an id is answered with that id, a batch gets one answer per call
// with an id (or one error when it is over the limit or nested too deep),
// and the server keeps its state and still answers (rpc_world.h).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <limits>
#include <optional>

#include "automation/operation_table.h"
#include "rpc_world.h"

using namespace vexon;
using nlohmann::json;

namespace {

json Deep(FuzzedDataProvider& p, int depth) {
  json v = p.ConsumeIntegral<int8_t>();
  const bool objects = p.ConsumeBool();
  for (int i = 0; i < depth; ++i) v = objects ? json{{"a", std::move(v)}} : json::array({std::move(v)});
  return v;
}

json Integer(FuzzedDataProvider& p) {
  static const int64_t kEdges[] = {0,          1,          -1,         7,           255,        256,
                                   -256,       65535,      65536,      0x7FFFFFFF,  -0x7FFFFFFF - 1,
                                   0x80000000, 0xFFFFFFFF, 1LL << 53,  std::numeric_limits<int64_t>::max(),
                                   std::numeric_limits<int64_t>::min(), 65567, 65569, 65629};
  switch (p.ConsumeIntegralInRange(0, 3)) {
    case 0: return p.PickValueInArray(kEdges);
    case 1: return p.ConsumeIntegralInRange<int64_t>(-300, 300);
    case 2: return std::numeric_limits<uint64_t>::max() - p.ConsumeIntegral<uint8_t>();
    default: return p.ConsumeIntegral<int64_t>();
  }
}

std::string Ascii(std::string s) {
  // Keep the text valid UTF-8 so that it reaches the dispatcher as a string.
  for (char& c : s)
    if (static_cast<unsigned char>(c) >= 0x80) c = '?';
  return s;
}

json Text(FuzzedDataProvider& p) {
  static const char* kTexts[] = {"",           "0",          "-1",          "255",  "4294967296", "1e3", " 12",
                                 "2004-03-20", "2004-03-20T12:00:00",        "2004-02-30T25:61:61",
                                 "-004-03-20", "2004-03-20T12:00:00.999+03:00", "9999-12-31T23:59:59Z",
                                 "0000-01-01", "COM1",       "\xD0\x9F\xD1\x80", "true", "null"};
  if (p.ConsumeBool()) return p.PickValueInArray(kTexts);
  return Ascii(p.ConsumeRandomLengthString(40));
}

json Matrix(FuzzedDataProvider& p) {
  const int rows = p.ConsumeIntegralInRange(0, 45);
  const int cols = p.ConsumeIntegralInRange(0, 8);
  const bool ragged = p.ConsumeIntegralInRange(0, 15) == 0;
  json data = json::array();
  for (int r = 0; r < rows; ++r) {
    json row = json::array();
    const int n = ragged ? p.ConsumeIntegralInRange(0, 8) : cols;
    for (int c = 0; c < n; ++c) {
      switch (p.ConsumeIntegralInRange(0, 7)) {
        case 0: row.push_back(Integer(p)); break;
        case 1: row.push_back(Text(p)); break;
        case 2: row.push_back(p.ConsumeBool()); break;
        case 3: row.push_back(nullptr); break;
        case 4: row.push_back(p.ConsumeFloatingPoint<double>()); break;
        default: row.push_back(p.ConsumeIntegralInRange(0, 300)); break;
      }
    }
    data.push_back(std::move(row));
  }
  if (!p.ConsumeBool()) return data;
  return {{"lbound", {p.ConsumeIntegralInRange(-3, 3), p.ConsumeIntegralInRange(-3, 3)}}, {"data", std::move(data)}};
}

json Value(FuzzedDataProvider& p, TArgType expected) {
  // Mostly the expected type, often another one.
  int kind = p.ConsumeIntegralInRange(0, 11);
  if (kind < 5) {
    switch (expected) {
      case TArgType::I4: case TArgType::UI1: kind = 5; break;
      case TArgType::BSTR: kind = 6; break;
      case TArgType::DATE: kind = p.ConsumeBool() ? 6 : 7; break;
      case TArgType::VARIANT: kind = 10; break;
    }
  }
  switch (kind) {
    case 5: return Integer(p);
    case 6: return Text(p);
    case 7: {
      static const double kFloats[] = {0.0, -0.0, 0.5, 38066.5, -1e300, 1e300, 9.3e18, -9.3e18, 2958465.99999};
      return p.ConsumeBool() ? json(p.PickValueInArray(kFloats)) : json(p.ConsumeFloatingPoint<double>());
    }
    case 8: return p.ConsumeBool();
    case 9: return nullptr;
    case 10: return Matrix(p);
    default:
      return p.ConsumeBool() ? Deep(p, p.ConsumeIntegralInRange(1, 80)) : json::object({{"x", Integer(p)}});
  }
}

// One call; `hasId` says whether it expects an answer.
json Call(FuzzedDataProvider& p, bool& hasId, json& idOut) {
  const auto& table = OperationTable();
  json req = json::object();
  if (p.ConsumeIntegralInRange(0, 31) != 0) req["jsonrpc"] = "2.0";
  const size_t pick = p.ConsumeIntegralInRange<size_t>(0, table.size() + 1);
  const TOpDesc* op = pick < table.size() ? &table[pick] : nullptr;
  req["method"] = op ? json(op->Name) : pick == table.size() ? json("rpc.discover") : Text(p);
  if (op) {
    const int form = p.ConsumeIntegralInRange(0, 7);
    if (form <= 3) {
      json params = json::object();
      for (const TArgDesc& a : op->Args) {
        if (a.Dir == TArgDir::RetVal || p.ConsumeIntegralInRange(0, 9) == 0) continue;
        params[a.Name] = Value(p, a.Type);
      }
      if (p.ConsumeIntegralInRange(0, 9) == 0) params[Ascii(p.ConsumeRandomLengthString(8))] = Integer(p);
      req["params"] = std::move(params);
    } else if (form <= 5) {
      json params = json::array();
      for (const TArgDesc& a : op->Args) {
        if (a.Dir == TArgDir::RetVal) continue;
        params.push_back(Value(p, a.Type));
      }
      if (p.ConsumeIntegralInRange(0, 9) == 0) params.push_back(Integer(p));
      if (!params.empty() && p.ConsumeIntegralInRange(0, 9) == 0) params.erase(params.size() - 1);
      req["params"] = std::move(params);
    } else if (form == 6) {
      req["params"] = Value(p, TArgType::I4);
    }
  }
  hasId = p.ConsumeIntegralInRange(0, 7) != 0;
  if (hasId) {
    switch (p.ConsumeIntegralInRange(0, 5)) {
      case 0: idOut = Text(p); break;
      case 1: idOut = nullptr; break;
      case 2: idOut = Value(p, TArgType::VARIANT); break;
      default: idOut = p.ConsumeIntegral<int32_t>(); break;
    }
    req["id"] = idOut;
  }
  return req;
}

// How deep containers nest in `v` (a scalar is 0).
int DepthOf(const json& v) {
  int d = 0;
  if (v.is_array())
    for (const auto& e : v) d = std::max(d, DepthOf(e));
  else if (v.is_object())
    for (const auto& e : v.items()) d = std::max(d, DepthOf(e.value()));
  else
    return 0;
  return d + 1;
}

bool RefusedForDepth(const std::optional<std::string>& answer) {
  if (!answer) return false;
  const json a = json::parse(*answer);
  return a.is_object() && a.contains("error") && a["error"]["code"] == -32600;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::TRpcWorld world;
  FuzzedDataProvider p(data, size);
  TRpcDispatcher d(world.services);
  const int shape = p.ConsumeIntegralInRange(0, 9);
  if (shape <= 5) {
    bool hasId = false;
    json id;
    const json req = Call(p, hasId, id);
    const auto answer = d.Handle(req.dump());
    if (answer) fuzz::TRpcWorld::CheckAnswer(*answer);
    // Nested past the limit: refused whole, whatever it holds.
    if (DepthOf(req) > TRpcDispatcher::kMaxDepth) {
      FUZZ_CHECK(RefusedForDepth(answer));
    } else if (hasId && (id.is_string() || id.is_number_integer()) && req.contains("jsonrpc")) {
      // A request with a usable id is answered, with that id.
      FUZZ_CHECK(answer.has_value());
      const json a = json::parse(*answer);
      FUZZ_CHECK(a.is_object() && a["id"] == id);
    }
  } else if (shape <= 8) {
    // A batch; past the limit (one call repeated, 1001 to 1100 times) it is
    // refused whole.
    const bool over = shape == 8;
    const size_t n = over ? TRpcDispatcher::kMaxBatch + p.ConsumeIntegralInRange<size_t>(1, 100)
                          : p.ConsumeIntegralInRange<size_t>(1, 40);
    json batch = json::array();
    size_t withId = 0;
    bool usableIds = true;
    for (size_t i = 0; i < n; ++i) {
      bool hasId = false;
      json id;
      if (over && i > 0) {
        batch.push_back(batch[0]);
        hasId = batch[0].contains("id");
      } else {
        batch.push_back(Call(p, hasId, id));
        if (hasId && !(id.is_string() || id.is_number_integer())) usableIds = false;
      }
      if (hasId) ++withId;
    }
    const auto answer = d.Handle(batch.dump());
    if (answer) fuzz::TRpcWorld::CheckAnswer(*answer);
    if (DepthOf(batch) > TRpcDispatcher::kMaxDepth) {
      FUZZ_CHECK(RefusedForDepth(answer));
    } else if (over) {
      FUZZ_CHECK(answer.has_value());
      const json a = json::parse(*answer);
      if (!(a.is_object() && a["error"]["code"] == -32600))
        std::fprintf(stderr, "answer: %.300s\nbatch: %.300s\n", answer->c_str(), batch.dump().c_str());
      FUZZ_CHECK(a.is_object() && a["error"]["code"] == -32600);
    } else if (usableIds && withId > 0) {
      // A call without "jsonrpc" or with a malformed id may be answered
      // although it looked like a notification: at least one answer per id.
      FUZZ_CHECK(answer.has_value());
      const json a = json::parse(*answer);
      FUZZ_CHECK(a.is_array() && a.size() >= withId && a.size() <= n);
    }
  } else {
    // Nesting at and past the limit, in the parameters or in the id.
    const int depth = p.ConsumeIntegralInRange(50, 400);
    json req = {{"jsonrpc", "2.0"}, {"method", "sysvexon_GetErrorDescription"}};
    const bool inId = p.ConsumeBool();
    req[inId ? "id" : "params"] = Deep(p, depth);
    if (!inId) req["id"] = 5;
    const std::string text = req.dump();
    const auto answer = d.Handle(text);
    FUZZ_CHECK(answer.has_value());
    fuzz::TRpcWorld::CheckAnswer(*answer);
    if (ScanJson(text).Depth > TRpcDispatcher::kMaxDepth) {
      const json a = json::parse(*answer);
      FUZZ_CHECK(a["error"]["code"] == -32600);
    }
  }
  world.CheckAfter(d);
  return 0;
}
