#include "rpc/dispatcher.h"
#include "rpc/stream_methods.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

#include "rpc/variant_json.h"
#include "util/date_time.h"
#include "util/log.h"

namespace vexon {

namespace {

using nlohmann::json;

struct TRpcError {
  int Code;
  std::string Message;
};

// Answers are written as text rather than built as JSON values and then
// serialised: a call's answer is small and this is most of its cost.

// `v` in JSON, appended to `out` (integers without a detour).
void AppendJson(std::string& out, const json& v) {
  char digits[24];
  std::to_chars_result r{};
  if (v.is_number_unsigned())
    r = std::to_chars(digits, digits + sizeof digits, v.get_ref<const json::number_unsigned_t&>());
  else if (v.is_number_integer())
    r = std::to_chars(digits, digits + sizeof digits, v.get_ref<const json::number_integer_t&>());
  else {
    out += v.dump();
    return;
  }
  out.append(digits, r.ptr);
}

// {"jsonrpc":"2.0","id":<id>,"<member>":<value>}
std::string Envelope(const json& id, std::string_view member, std::string_view value) {
  std::string out;
  out.reserve(32 + member.size() + value.size());
  out += R"({"jsonrpc":"2.0","id":)";
  AppendJson(out, id);
  out += ",\"";
  out += member;
  out += "\":";
  out += value;
  out += '}';
  return out;
}

std::string ErrorAnswer(const json& id, int code, const std::string& message) {
  std::string error = "{\"code\":" + std::to_string(code) + ",\"message\":";
  error += json(message).dump();
  error += '}';
  return Envelope(id, "error", error);
}


// Exactly `n` decimal digits at s[pos..]; no sign, no blanks.
bool Digits(const std::string& s, size_t pos, size_t n, int& out) {
  if (pos + n > s.size()) return false;
  out = 0;
  for (size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + (s[i] - '0');
  }
  return true;
}

// ISO 8601 local date-time "YYYY-MM-DD[THH:MM:SS[.fff]][Z|+HH:MM|-HH:MM]"
// (a blank may stand for the T); with an offset the moment is converted to
// local time. Every field is plain digits in its range, so a sign or an
// out-of-range field is refused rather than wrapped into another date.
bool ParseIsoDate(const std::string& s, double& out) {
  int y, mo, d, h = 0, mi = 0, whole = 0, ms = 0;
  if (!Digits(s, 0, 4, y) || s.size() < 10 || s[4] != '-' || !Digits(s, 5, 2, mo) || s[7] != '-' ||
      !Digits(s, 8, 2, d))
    return false;
  size_t pos = 10;
  if (pos < s.size() && (s[pos] == 'T' || s[pos] == ' ')) {
    if (!Digits(s, pos + 1, 2, h) || pos + 3 >= s.size() || s[pos + 3] != ':' || !Digits(s, pos + 4, 2, mi) ||
        pos + 6 >= s.size() || s[pos + 6] != ':' || !Digits(s, pos + 7, 2, whole))
      return false;
    pos += 9;
    if (pos < s.size() && s[pos] == '.') {
      // Up to milliseconds; further digits are rounded away.
      size_t k = pos + 1;
      double frac = 0, scale = 0.1;
      while (k < s.size() && s[k] >= '0' && s[k] <= '9') {
        frac += (s[k] - '0') * scale;
        scale /= 10;
        ++k;
      }
      if (k == pos + 1) return false;
      ms = static_cast<int>(std::llround(frac * 1000.0));
      pos = k;
    }
  }
  if (!IsValidDate(y, mo, d) || h > 23 || mi > 59 || whole > 59) return false;
  TDateFields f{y, mo, d, h, mi, whole, 0};
  if (pos == s.size()) {
    out = EncodeDateTime(f) + ms / 86400000.0;
    return true;
  }
  int offMin = 0;
  if (s[pos] == 'Z' && pos + 1 == s.size()) {
    offMin = 0;
  } else if ((s[pos] == '+' || s[pos] == '-') && s.size() - pos == 6 && s[pos + 3] == ':') {
    int oh = 0, om = 0;
    if (!Digits(s, pos + 1, 2, oh) || !Digits(s, pos + 4, 2, om) || oh > 23 || om > 59) return false;
    offMin = (oh * 60 + om) * (s[pos] == '-' ? -1 : 1);
  } else {
    return false;
  }
  // Seconds since the epoch of that moment, then the local calendar fields.
  const int64_t days = DaysFromCivil(y, mo, d) - 25569;
  const time_t t = static_cast<time_t>(days * 86400 + h * 3600 + mi * 60 + whole - offMin * 60);
  std::tm tm{};
  localtime_r(&t, &tm);
  TDateFields lf{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, 0};
  out = EncodeDateTime(lf) + ms / 86400000.0;
  return true;
}

TArgValue Convert(const TArgDesc& a, const json& v) {
  auto bad = [&](const std::string& why) { return TRpcError{-32602, a.Name + ": " + why}; };
  switch (a.Type) {
    case TArgType::I4:
    case TArgType::UI1: {
      int64_t n;
      if (v.is_number_integer()) {
        if (v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) throw bad("out of range");
        n = v.get<int64_t>();
      } else if (v.is_number_float() && std::isfinite(v.get<double>()) && v.get<double>() == std::trunc(v.get<double>()) &&
                 std::fabs(v.get<double>()) < 9.2e18) {
        n = static_cast<int64_t>(v.get<double>());
      } else {
        throw bad(std::string("expected an integer (") + TypeName(a.Type) + ")");
      }
      if (a.Type == TArgType::UI1 && (n < 0 || n > 255)) throw bad("outside 0..255 (UI1)");
      if (a.Type == TArgType::I4 && (n < INT32_MIN || n > INT32_MAX)) throw bad("outside the signed 32-bit range (I4)");
      return n;
    }
    case TArgType::BSTR:
      if (!v.is_string()) throw bad("expected a string (BSTR)");
      return v.get<std::string>();
    case TArgType::DATE: {
      double d = 0;
      if (v.is_number()) {
        d = v.get<double>();
      } else if (!v.is_string() || !ParseIsoDate(v.get<std::string>(), d)) {
        throw bad("expected days since 1899-12-30 or an ISO 8601 date-time (DATE)");
      }
      if (!std::isfinite(d) || d < -657434.0 || d >= 2958466.0) throw bad("date out of range");
      return std::round(d * 86400000.0) / 86400000.0;
    }
    case TArgType::VARIANT:
      try {
        return VariantFromJson(v);
      } catch (const std::invalid_argument& e) {
        throw bad(e.what());
      }
  }
  throw bad("unknown type");
}

TArgValue DefaultOf(const TArgDesc& a) {
  switch (a.Type) {
    case TArgType::BSTR:
      return std::string();
    case TArgType::DATE:
      return 0.0;
    case TArgType::VARIANT:
      return TVariant{};
    default:
      return int64_t{0};
  }
}

json ToJson(const TArgValue& v) {
  if (const auto* i = std::get_if<int64_t>(&v)) return *i;
  if (const auto* d = std::get_if<double>(&v)) return *d;
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  return VariantToJson(std::get<TVariant>(v));
}

// The "result" member: Value and every [in,out] argument, by name. The
// names come from the operation table and are plain identifiers.
std::string ResultText(const TOpDesc& op, const TCall& call) {
  std::string out = "{";
  for (size_t i = 0; i < op.Args.size(); ++i) {
    if (op.Args[i].Dir == TArgDir::In) continue;
    if (out.size() > 1) out += ',';
    out += '"';
    out += op.Args[i].Name;
    out += "\":";
    const TArgValue& v = call.Args()[i];
    if (const auto* n = std::get_if<int64_t>(&v))
      AppendJson(out, json(*n));
    else
      out += ToJson(v).dump();
  }
  out += '}';
  return out;
}

std::vector<TArgValue> Params(const TOpDesc& op, const json& params) {
  std::vector<TArgValue> args;
  args.reserve(op.Args.size());
  size_t nonRet = 0;
  for (const auto& a : op.Args) nonRet += a.Dir != TArgDir::RetVal;
  if (params.is_null() || params.is_object()) {
    const json empty = json::object();
    const json& p = params.is_null() ? empty : params;
    for (auto it = p.begin(); it != p.end(); ++it) {
      bool known = false;
      for (const auto& a : op.Args) known = known || (a.Dir != TArgDir::RetVal && a.Name == it.key());
      if (!known) throw TRpcError{-32602, "unknown argument " + it.key() + " of " + op.Name};
    }
    for (const auto& a : op.Args) {
      if (a.Dir == TArgDir::RetVal) {
        args.push_back(DefaultOf(a));
      } else if (const auto found = p.find(a.Name); found != p.end()) {
        args.push_back(Convert(a, *found));
      } else if (a.Dir == TArgDir::InOut) {
        args.push_back(DefaultOf(a));
      } else {
        throw TRpcError{-32602, "missing argument " + a.Name + " of " + op.Name};
      }
    }
    return args;
  }
  if (!params.is_array()) throw TRpcError{-32602, "params must be an object or an array"};
  if (params.size() > nonRet) throw TRpcError{-32602, op.Name + " takes " + std::to_string(nonRet) + " arguments"};
  size_t i = 0;
  for (const auto& a : op.Args) {
    if (a.Dir == TArgDir::RetVal) {
      args.push_back(DefaultOf(a));
    } else if (i < params.size()) {
      args.push_back(Convert(a, params[i++]));
    } else if (a.Dir == TArgDir::InOut) {
      args.push_back(DefaultOf(a));
    } else {
      throw TRpcError{-32602, "missing argument " + a.Name + " of " + op.Name};
    }
  }
  return args;
}

// The operation of exactly that name (the dispatcher does not take the
// short names without "sysvexon_"), by hash rather than by walking the table.
const TOpDesc* OperationNamed(std::string_view name) {
  static const std::unordered_map<std::string_view, const TOpDesc*> byName = [] {
    std::unordered_map<std::string_view, const TOpDesc*> m;
    for (const auto& op : OperationTable()) m.emplace(op.Name, &op);
    return m;
  }();
  const auto it = byName.find(name);
  return it == byName.end() ? nullptr : it->second;
}

// Calls counted by method and code without a lock: one row of counters per
// operation, one for rpc.discover and one for any other name; the codes the
// dispatcher answers with have a column each, any other code goes to a
// locked map.
constexpr int kCodes[] = {0, -32000, -32600, -32601, -32602, -32603, -32700};
constexpr size_t kCodeColumns = sizeof kCodes / sizeof kCodes[0];

struct TCallCounters {
  std::vector<std::string> Names;  // row -> method name
  std::unique_ptr<std::atomic<uint64_t>[]> Counts;
  std::mutex OddLock;
  std::map<std::pair<std::string, int>, uint64_t> Odd;

  TCallCounters() {
    for (const auto& op : OperationTable()) Names.push_back(op.Name);
    Names.push_back("rpc.discover");
    Names.push_back("other");
    Counts = std::make_unique<std::atomic<uint64_t>[]>(Names.size() * kCodeColumns);
  }
  size_t DiscoverRow() const { return Names.size() - 2; }
  size_t OtherRow() const { return Names.size() - 1; }
};

TCallCounters& CallCounters() {
  static TCallCounters counters;
  return counters;
}

// `op` is the operation carried out, null for rpc.discover (`discover`)
// or an unknown name.
void CountCall(const TOpDesc* op, bool discover, int code) {
  auto& c = CallCounters();
  const size_t row = op ? static_cast<size_t>(op - OperationTable().data())
                        : (discover ? c.DiscoverRow() : c.OtherRow());
  for (size_t col = 0; col < kCodeColumns; ++col)
    if (kCodes[col] == code) {
      c.Counts[row * kCodeColumns + col].fetch_add(1, std::memory_order_relaxed);
      return;
    }
  std::lock_guard<std::mutex> g(c.OddLock);
  ++c.Odd[{c.Names[row], code}];
}

}  // namespace

std::vector<TRpcCallCount> RpcCallCounts() {
  auto& c = CallCounters();
  std::map<std::pair<std::string, int>, uint64_t> all;
  {
    std::lock_guard<std::mutex> g(c.OddLock);
    all = c.Odd;
  }
  for (size_t row = 0; row < c.Names.size(); ++row)
    for (size_t col = 0; col < kCodeColumns; ++col)
      if (const uint64_t n = c.Counts[row * kCodeColumns + col].load(std::memory_order_relaxed))
        all[{c.Names[row], kCodes[col]}] += n;
  std::vector<TRpcCallCount> out;
  for (const auto& [key, n] : all) out.push_back({key.first, key.second, n});
  return out;
}

std::string TRpcDispatcher::ErrorText(int code, const std::string& message) {
  return ErrorAnswer(nullptr, code, message);
}

std::optional<std::string> TRpcDispatcher::HandleOne(const json& req) {
  // The envelope's members in one pass over the object.
  const json *version = nullptr, *idMember = nullptr, *methodMember = nullptr, *paramsMember = nullptr;
  if (req.is_object())
    for (auto it = req.begin(); it != req.end(); ++it) {
      const std::string& key = it.key();
      if (key == "jsonrpc")
        version = &it.value();
      else if (key == "id")
        idMember = &it.value();
      else if (key == "method")
        methodMember = &it.value();
      else if (key == "params")
        paramsMember = &it.value();
    }
  const bool versionOk = version && version->is_string() && version->get_ref<const std::string&>() == "2.0";
  if (!versionOk || !methodMember || !methodMember->is_string()) {
    const bool usable = idMember && (idMember->is_string() || idMember->is_number());
    return ErrorAnswer(usable ? *idMember : json(nullptr), -32600, "invalid request");
  }
  const bool notification = !idMember;
  static const json nullId;
  const json& id = notification ? nullId : *idMember;
  if (!id.is_null() && !id.is_string() && !id.is_number())
    return ErrorAnswer(nullptr, -32600, "invalid request: id must be a string, a number or null");
  const std::string& method = methodMember->get_ref<const std::string&>();
  const bool discover = method == "rpc.discover";
  const TOpDesc* op = discover ? nullptr : OperationNamed(method);
  auto answer = [&](std::string_view result) -> std::optional<std::string> {
    CountCall(op, discover, 0);
    if (notification) return std::nullopt;
    return Envelope(id, "result", result);
  };
  auto error = [&](int code, const std::string& msg) -> std::optional<std::string> {
    CountCall(op, discover, code);
    if (notification) return std::nullopt;
    return ErrorAnswer(id, code, msg);
  };
  if (discover) {
    static const std::string description = InterfaceDescription().dump();
    return answer(description);
  }
  if (!op && (method == "vexon.subscribe" || method == "vexon.unsubscribe")) {
    if (!streams_)
      return error(-32000, method + " needs a line connection (TCP or Unix socket); over HTTP use GET /events");
    if (paramsMember && !paramsMember->is_object())
      return error(-32602, "params must be an object");
    try {
      const json params = paramsMember ? *paramsMember : json::object();
      const json result = method == "vexon.subscribe" ? streams_->Subscribe(params) : streams_->Unsubscribe(params);
      return answer(result.dump());
    } catch (const TStreamCallError& e) {
      return error(e.Code, e.Message);
    } catch (const std::bad_alloc&) {
      return error(-32603, "internal error: out of memory");
    }
  }
  if (!op) return error(-32601, "unknown method " + method);
  // Structured params only: a scalar (or null) in "params" is not a
  // request JSON-RPC knows how to carry out.
  if (paramsMember && !paramsMember->is_object() && !paramsMember->is_array())
    return error(-32600, "invalid request: params must be an object or an array");
  static const json noParams = json::object();
  const json& params = paramsMember ? *paramsMember : noParams;
  try {
    TCall call(*op, Params(*op, params));
    object_.Invoke(call);
    return answer(ResultText(*op, call));
  } catch (const TRpcError& e) {
    return error(e.Code, e.Message);
  } catch (const TAutomationError& e) {
    log::warn("{} failed: {}", method, e.what());
    return error(-32000, e.what());
  } catch (const std::bad_alloc&) {
    // This call fails alone; the connection and the other calls go on.
    log::error("{}: out of memory while carrying out the call", method);
    return error(-32603, "internal error: out of memory");
  } catch (const std::exception& e) {
    log::warn("{} failed: {}", method, e.what());
    return error(-32000, std::string(method) + " failed: " + e.what());
  }
}

TJsonShape ScanJson(std::string_view text) {
  // The parser itself is iterative, but copies, dumps and destruction of a
  // nested value recurse once per level: the depth is measured on the raw
  // text before anything is built from it.
  TJsonShape shape;
  int depth = 0;
  bool inString = false, escaped = false, topArray = false, topHasValue = false;
  for (const char c : text) {
    if (inString) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inString = false;
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        if (depth == 1 && topArray) topHasValue = true;
        break;
      case '[':
      case '{':
        if (depth == 0 && c == '[') topArray = true;
        if (depth == 1 && topArray) topHasValue = true;
        if (++depth > shape.Depth) shape.Depth = depth;
        break;
      case ']':
      case '}':
        --depth;
        break;
      case ',':
        if (depth == 1 && topArray) ++shape.TopLevelEntries;
        break;
      case ' ':
      case '\t':
      case '\r':
      case '\n':
        break;
      default:
        if (depth == 1 && topArray) topHasValue = true;
    }
  }
  if (topArray && topHasValue) ++shape.TopLevelEntries;
  return shape;
}

std::optional<std::string> TRpcDispatcher::Handle(const std::string& text) {
  const TJsonShape shape = ScanJson(text);
  if (shape.Depth > kMaxDepth)
    return ErrorText(-32600, "invalid request: nested deeper than " + std::to_string(kMaxDepth) + " levels");
  if (shape.TopLevelEntries > kMaxBatch)
    return ErrorText(-32600, "invalid request: a batch holds at most " + std::to_string(kMaxBatch) + " requests");
  json req = json::parse(text, nullptr, false);
  if (req.is_discarded()) return ErrorText(-32700, "parse error");
  if (req.is_array()) {
    if (req.empty()) return ErrorText(-32600, "invalid request: empty batch");
    if (req.size() > kMaxBatch)
      return ErrorText(-32600, "invalid request: a batch holds at most " + std::to_string(kMaxBatch) + " requests");
    // The answer is built as text so its size is known as it grows: once it
    // passes the bound, the remaining requests are answered with an error
    // and not carried out.
    std::string out = "[";
    bool any = false;
    for (const auto& r : req) {
      std::optional<std::string> a;
      if (out.size() > kMaxAnswer) {
        if (!r.is_object() || !r.contains("id")) continue;  // a notification gets no answer either way
        const json& id = r["id"];
        a = ErrorAnswer(id.is_string() || id.is_number() ? id : json(nullptr), -32603,
                        "internal error: the answer to this batch is too long");
      } else {
        a = HandleOne(r);
      }
      if (!a) continue;
      if (any) out += ',';
      out += *a;
      any = true;
    }
    if (!any) return std::nullopt;
    out += ']';
    return out;
  }
  auto a = HandleOne(req);
  if (a && a->size() > kMaxAnswer) {
    const json id = req.is_object() && req.contains("id") ? req["id"] : json(nullptr);
    return ErrorAnswer(id, -32603, "internal error: the answer is too long");
  }
  return a;
}

const json& InterfaceDescription() {
  static const json doc = [] {
    using I = TInterfaceIdentity;
    json methods = json::array();
    for (const auto& op : OperationTable()) {
      json params = json::array();
      // The call returns one object: `Value` (where the operation has one)
      // and every [in,out] argument, each with its own schema.
      json properties = json::object(), required = json::array();
      for (const auto& a : op.Args) {
        json schema;
        switch (a.Type) {
          case TArgType::I4:
            schema = {{"type", "integer"}, {"minimum", INT32_MIN}, {"maximum", INT32_MAX}};
            break;
          case TArgType::UI1:
            schema = {{"type", "integer"}, {"minimum", 0}, {"maximum", 255}};
            break;
          case TArgType::BSTR:
            schema = {{"type", "string"}};
            break;
          case TArgType::DATE:
            schema = {{"oneOf", json::array({{{"type", "number"}}, {{"type", "string"}, {"format", "date-time"}}})}};
            break;
          case TArgType::VARIANT:
            schema = json::object();
            break;
        }
        if (a.Dir != TArgDir::In) {
          json out = schema;
          // Dates come back as days since 1899-12-30, variant arrays in the
          // explicit-bounds form.
          if (a.Type == TArgType::DATE) out = {{"type", "number"}};
          if (a.Type == TArgType::VARIANT)
            out = {{"description", "a scalar, or an array as {\"lbound\":[...],\"data\":[...]}"}};
          out["x-type"] = TypeName(a.Type);
          out["x-direction"] = DirName(a.Dir);
          properties[a.Name] = out;
          required.push_back(a.Name);
        }
        if (a.Dir == TArgDir::RetVal) continue;
        params.push_back({{"name", a.Name},
                          {"schema", schema},
                          {"required", a.Dir == TArgDir::In},
                          {"x-type", TypeName(a.Type)},
                          {"x-direction", DirName(a.Dir)}});
      }
      json m = {{"name", op.Name},
                {"summary", op.Summary},
                {"paramStructure", "either"},
                {"params", params},
                {"x-dispid", op.DispId},
                {"x-queued", op.Queued}};
      m["result"] = {{"name", "result"},
                     {"schema",
                      {{"type", "object"},
                       {"properties", properties},
                       {"required", required},
                       {"additionalProperties", false}}}};
      if (op.Inherited) m["x-inherited"] = true;
      if (!op.Inherited) m["x-number"] = op.Number;
      methods.push_back(m);
    }
    return json{{"openrpc", "1.2.6"},
                {"info",
                 {{"title", I::Library},
                  {"description", I::LibraryHelp},
                  {"version", I::Version},
                  {"x-guid", I::LibraryGuid},
                  {"x-class", {{"name", I::Class}, {"description", I::ClassHelp}, {"x-guid", I::ClassGuid}}},
                  {"x-progid", I::ProgId},
                  {"x-interface",
                   {{"name", I::Interface}, {"description", I::InterfaceHelp}, {"x-guid", I::InterfaceGuid}}}}},
                {"methods", methods},
                // The event streams sit beside the operations: clients that
                // build a method per operation from "methods" stay as they are.
                {"x-streams",
                 {{"methods", StreamMethodsDescription()}, {"notifications", StreamNotificationsDescription()}}}};
  }();
  return doc;
}

}  // namespace vexon
