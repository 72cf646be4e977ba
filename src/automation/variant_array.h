// A two-dimensional variant array as an operation reads it: element
// [row, column] with the array's own lower bounds. An array sent in the
// plain nested form has no bounds of its own: its first element sits at the
// bounds the operation reads from (`low1`, `low2`).
//
// Construction checks the shape (an array of two dimensions; an empty plain
// array counts as one without rows) and throws TAutomationError otherwise.
#pragma once

#include <cstdint>
#include <string>

#include "automation/call.h"
#include "core/card_blocks.h"

namespace vexon {

class TVariantMatrix {
 public:
  TVariantMatrix(const TVariant& v, const char* what, int32_t low1, int32_t low2);

  int32_t Low1() const { return low1_; }
  // The constructor makes sure both last indexes fit an int32_t.
  int32_t High1() const { return static_cast<int32_t>(int64_t{low1_} + rows_ - 1); }
  int32_t Low2() const { return low2_; }
  int32_t High2() const { return static_cast<int32_t>(int64_t{low2_} + columns_ - 1); }
  // Throws TAutomationError unless rows r1..r2 and columns c1..c2 are all
  // inside the array (nothing to check when r2 < r1).
  void RequireCovers(int32_t r1, int32_t r2, int32_t c1, int32_t c2) const;
  // The element as a signed 32-bit integer, the only form in which any
  // operation reads an array element; throws TAutomationError when it is
  // outside the array, not an integer, or outside the signed 32-bit range
  // (never wrapped: 2^32 + 7 is not 7).
  int32_t At(int32_t row, int32_t column) const;
  // The same, as a reader for the card-list builders (no throw).
  TCellReader Reader() const;

 private:
  const TVariant& v_;
  std::string what_;
  int32_t low1_ = 0, low2_ = 0, rows_ = 0, columns_ = 0;
};

}  // namespace vexon
