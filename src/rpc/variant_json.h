// Variants on the wire. A variant array is a nested JSON array whose first
// element sits at the lower bounds the operation reads from, or
// {"lbound":[l1,l2],"data":[[...],...]} with explicit lower bounds; arrays go
// back to the client in the second form.
#pragma once

#include <nlohmann/json.hpp>

#include "automation/call.h"

namespace vexon {

// Conversion recurses once per dimension, so the dimensions are bounded
// (the message nesting limit bounds them on the wire already; this keeps
// the converter safe for any caller).
inline constexpr int kMaxVariantDimensions = 64;

// Throws std::invalid_argument for a value that is not a variant (an
// object other than the lbound form, ragged arrays, a bad lbound, more than
// kMaxVariantDimensions dimensions, a number beyond the signed 64-bit range).
TVariant VariantFromJson(const nlohmann::json& j);
nlohmann::json VariantToJson(const TVariant& v);

}  // namespace vexon
