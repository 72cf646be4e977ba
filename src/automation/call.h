// One call of an automation operation: its arguments by position in
// interface order, typed accessors by name, and the outputs ([in,out]
// arguments and Value) that the operation writes.
//
// TAutomationError is the failure that the automation layer reports as a
// failed call (an RPC error) instead of a result code: a 16-bit quantity out
// of range, a conversion or bounds failure.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "automation/operation_table.h"

namespace vexon {

class TAutomationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A variant value: empty (Null), an integer, a float, a string, or an array
// with its lower bounds (a variant array of one or two dimensions).
struct TVariant {
  enum class Kind { Null, Bool, Int, Float, String, Array, Object };
  Kind What = Kind::Null;
  int64_t Int = 0;
  double Float = 0;
  bool Bool = false;
  std::string Text;
  std::vector<TVariant> Items;  // array elements (rows of a 2-D array are arrays)
  std::vector<int32_t> LBound;  // lower bound per dimension (arrays only)
  // Sent as plain nested arrays, without bounds: the operation's own
  // starting indexes apply.
  bool PlainBounds = false;

  bool IsArray() const { return What == Kind::Array; }
  // Element conversion: integers as they are, decimal strings parsed,
  // true = -1, false = 0; Null, objects and other strings fail.
  int64_t ToInt(const char* what) const;
};

// What an argument holds.
using TArgValue = std::variant<int64_t, double, std::string, TVariant>;

class TCall {
 public:
  TCall(const TOpDesc& op, std::vector<TArgValue> args) : op_(&op), args_(std::move(args)) {}

  const TOpDesc& Op() const { return *op_; }
  int32_t I4(const char* name) const;
  uint8_t UI1(const char* name) const;
  const std::string& Str(const char* name) const;
  double Date(const char* name) const;
  const TVariant& Variant(const char* name) const;

  // Writes an [in,out] argument (by name) or Value.
  void Set(const char* name, int64_t v);
  void Set(const char* name, const std::string& v);
  void Set(const char* name, TVariant v);
  void SetValue(int32_t code) { Set("Value", code); }
  void SetValue(const std::string& text) { Set("Value", text); }

  // Final values of the [in,out] arguments and Value, in interface order.
  const std::vector<TArgValue>& Args() const { return args_; }

 private:
  size_t Index(const char* name) const;
  const TOpDesc* op_;
  std::vector<TArgValue> args_;
};

}  // namespace vexon
