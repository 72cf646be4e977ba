#include "automation/variant_array.h"

#include <climits>

namespace vexon {

TVariantMatrix::TVariantMatrix(const TVariant& v, const char* what, int32_t low1, int32_t low2)
    : v_(v), what_(what), low1_(low1), low2_(low2) {
  if (!v.IsArray()) throw TAutomationError(what_ + ": not an array");
  if (v.Items.empty()) {
    // [] (or an explicit empty array): no rows at all.
    if (v.LBound.size() == 2) low1_ = v.LBound[0], low2_ = v.LBound[1];
    // The last index of an empty dimension is its lower bound less one.
    if (low1_ == INT32_MIN || low2_ == INT32_MIN) throw TAutomationError(what_ + ": bounds out of range");
    return;
  }
  if (v.LBound.size() != 2 || !v.Items.front().IsArray())
    throw TAutomationError(what_ + ": an array of two dimensions is needed, got " + std::to_string(v.LBound.size()));
  if (!v.PlainBounds) low1_ = v.LBound[0], low2_ = v.LBound[1];
  if (v.Items.size() > static_cast<size_t>(INT32_MAX)) throw TAutomationError(what_ + ": too many rows");
  rows_ = static_cast<int32_t>(v.Items.size());
  columns_ = static_cast<int32_t>(v.Items.front().Items.size());
  const int64_t high1 = static_cast<int64_t>(low1_) + rows_ - 1, high2 = static_cast<int64_t>(low2_) + columns_ - 1;
  if (high1 > INT32_MAX || high2 > INT32_MAX || high2 < INT32_MIN) throw TAutomationError(what_ + ": bounds out of range");
}

void TVariantMatrix::RequireCovers(int32_t r1, int32_t r2, int32_t c1, int32_t c2) const {
  if (r2 < r1) return;
  if (r1 < low1_ || r2 > High1() || c1 < low2_ || c2 > High2())
    throw TAutomationError(what_ + ": [" + std::to_string(r1) + ".." + std::to_string(r2) + ", " + std::to_string(c1) +
                           ".." + std::to_string(c2) + "] is outside the array [" + std::to_string(low1_) + ".." +
                           std::to_string(High1()) + ", " + std::to_string(low2_) + ".." + std::to_string(High2()) +
                           "]");
}

int32_t TVariantMatrix::At(int32_t row, int32_t column) const {
  const int64_t i = static_cast<int64_t>(row) - low1_, j = static_cast<int64_t>(column) - low2_;
  const std::string where = what_ + "[" + std::to_string(row) + ", " + std::to_string(column) + "]";
  if (i < 0 || i >= rows_ || j < 0 || j >= columns_) throw TAutomationError(where + " is outside the array");
  const int64_t v = v_.Items[static_cast<size_t>(i)].Items[static_cast<size_t>(j)].ToInt(where.c_str());
  if (v < INT32_MIN || v > INT32_MAX)
    throw TAutomationError(where + ": " + std::to_string(v) + " is outside the signed 32-bit range");
  return static_cast<int32_t>(v);
}

TCellReader TVariantMatrix::Reader() const {
  return [this](int32_t row, int32_t column, int32_t& value, std::string& error) {
    try {
      value = At(row, column);
      return true;
    } catch (const TAutomationError& e) {
      error = e.what();
      return false;
    }
  };
}

}  // namespace vexon
