#include "rpc/variant_json.h"

#include <climits>
#include <cmath>
#include <functional>
#include <stdexcept>

namespace vexon {

namespace {

TVariant Scalar(const nlohmann::json& j) {
  TVariant v;
  if (j.is_null()) {
    v.What = TVariant::Kind::Null;
  } else if (j.is_boolean()) {
    v.What = TVariant::Kind::Bool;
    v.Bool = j.get<bool>();
  } else if (j.is_number_integer()) {
    if (j.is_number_unsigned() && j.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))
      throw std::invalid_argument("number beyond the signed 64-bit range");
    v.What = TVariant::Kind::Int;
    v.Int = j.get<int64_t>();
  } else if (j.is_number_float()) {
    // Refused here, so that no later conversion ever sees a double that does
    // not fit a 64-bit integer.
    const double d = j.get<double>();
    if (!std::isfinite(d) || std::fabs(d) >= 9.2e18) throw std::invalid_argument("number beyond the signed 64-bit range");
    v.What = TVariant::Kind::Float;
    v.Float = d;
  } else if (j.is_string()) {
    v.What = TVariant::Kind::String;
    v.Text = j.get<std::string>();
  } else {
    v.What = TVariant::Kind::Object;
  }
  return v;
}

// Nested arrays of equal shape; depth = number of dimensions.
TVariant ArrayFrom(const nlohmann::json& data, int depth, const std::vector<int32_t>& lbound) {
  TVariant v;
  v.What = TVariant::Kind::Array;
  v.LBound = std::vector<int32_t>(lbound.begin() + (static_cast<long>(lbound.size()) - depth), lbound.end());
  size_t inner = 0;
  bool first = true;
  for (const auto& e : data) {
    if (depth > 1) {
      if (!e.is_array()) throw std::invalid_argument("variant array rows must be arrays");
      if (!first && e.size() != inner) throw std::invalid_argument("variant array rows differ in length");
      inner = e.size();
      first = false;
      v.Items.push_back(ArrayFrom(e, depth - 1, lbound));
    } else {
      v.Items.push_back(Scalar(e));
    }
  }
  return v;
}

int DepthOf(const nlohmann::json& data) {
  int d = 0;
  const nlohmann::json* p = &data;
  while (p->is_array()) {
    ++d;
    if (p->empty()) break;
    p = &(*p)[0];
  }
  return d;
}

}  // namespace

TVariant VariantFromJson(const nlohmann::json& j) {
  if (j.is_object()) {
    if (!j.contains("data") || !j["data"].is_array()) throw std::invalid_argument("variant object needs \"data\"");
    const nlohmann::json& data = j["data"];
    const int depth = DepthOf(data);
    if (depth > kMaxVariantDimensions) throw std::invalid_argument("variant array with too many dimensions");
    std::vector<int32_t> lb(static_cast<size_t>(depth), 0);
    if (j.contains("lbound")) {
      if (!j["lbound"].is_array() || j["lbound"].size() != static_cast<size_t>(depth))
        throw std::invalid_argument("\"lbound\" must give one bound per dimension");
      for (size_t i = 0; i < lb.size(); ++i) {
        const nlohmann::json& b = j["lbound"][i];
        // A bound is a 32-bit integer; anything else is refused, never wrapped.
        if (!b.is_number_integer() || (b.is_number_unsigned() && b.get<uint64_t>() > INT32_MAX) ||
            (!b.is_number_unsigned() && (b.get<int64_t>() < INT32_MIN || b.get<int64_t>() > INT32_MAX)))
          throw std::invalid_argument("\"lbound\" must be 32-bit integers");
        lb[i] = static_cast<int32_t>(b.get<int64_t>());
      }
    }
    return ArrayFrom(data, depth, lb);
  }
  if (j.is_array()) {
    const int depth = DepthOf(j);
    if (depth > kMaxVariantDimensions) throw std::invalid_argument("variant array with too many dimensions");
    TVariant v = ArrayFrom(j, depth, std::vector<int32_t>(static_cast<size_t>(depth), 0));
    v.PlainBounds = true;
    return v;
  }
  return Scalar(j);
}

nlohmann::json VariantToJson(const TVariant& v) {
  switch (v.What) {
    case TVariant::Kind::Null:
    case TVariant::Kind::Object:
      return nullptr;
    case TVariant::Kind::Bool:
      return v.Bool;
    case TVariant::Kind::Int:
      return v.Int;
    case TVariant::Kind::Float:
      return v.Float;
    case TVariant::Kind::String:
      return v.Text;
    case TVariant::Kind::Array: {
      std::function<nlohmann::json(const TVariant&, int)> data = [&](const TVariant& a, int level) {
        if (level > kMaxVariantDimensions) throw std::invalid_argument("variant array with too many dimensions");
        nlohmann::json out = nlohmann::json::array();
        for (const auto& e : a.Items) out.push_back(e.IsArray() ? data(e, level + 1) : VariantToJson(e));
        return out;
      };
      return {{"lbound", v.LBound}, {"data", data(v, 1)}};
    }
  }
  return nullptr;
}

}  // namespace vexon
