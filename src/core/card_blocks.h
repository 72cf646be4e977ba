// Card-list preparation: a client's card array, one row per card, becomes
// the fixed-size blocks that the card-list transfers send one per step.
//
// The array is read through a TCellReader (rows from 1, columns from 1), so
// this layer knows nothing of how the client encoded it. Every cell is a
// signed 32-bit value; sums of cells are worked out in 64 bits, so no row
// can overflow them. A cell is read only when its row needs it. A cell that
// cannot be read (outside the array, not a 32-bit integer) stops the
// building: the result carries the reader's message and no list; the
// caller fails the call.
//
// Block splits: N rows in blocks of B (20 system entries, 40 autonomous
// entries). A system list always ends with a block of fewer than 20 entries
// (empty when N is a multiple of 20, or N <= 0), so it is never empty. An
// autonomous list gets a last short block only when N mod 40 is not 0;
// N = 0 gives no block, a negative N one empty block.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "model/card_segments.h"
#include "queue/params.h"

namespace vexon {

// Reads cell (row, column) as a signed 32-bit integer; false with `error`
// set when it cannot.
using TCellReader = std::function<bool(int32_t row, int32_t column, int32_t& value, std::string& error)>;

struct TCardBuildResult {
  int32_t Code = 0;     // 0, or 91..96 for the checked builder
  std::string Error;    // not empty: a cell could not be read, or a range failure
  bool Ok() const { return Code == 0 && Error.empty(); }
};

// Rows 1..count: column 1 + 256 x column 2 (each mod 65536) is the system
// index (65536 or more fails the building), columns 3 to 6 the other bytes.
TCardBuildResult BuildCardBlocks(const TCellReader& cell, int32_t count, TCardBufList& out);

// Rows 1..count: columns 1 to 3, one byte each.
TCardBuildResult BuildAutCardBlocks(const TCellReader& cell, int32_t count, TAutCardBufList& out);

// Rows 1..count, each checked against the active card segments in order:
// system card (91), time-criterion type (92), week schedule number (93),
// shift schedule number (94), commissioning card (95), commissioning PIN
// code (96). Columns 6 to 8 are read only for a commissioning row (bit 5 of
// column 4). On a code, and only then, the card context is set to the
// failing row's card, and `out` is left empty.
TCardBuildResult BuildCheckedCardBlocks(const TCellReader& cell, int32_t count, const TCardSegments& segments,
                                        TCardBufList& out);

// The BCD bytes of a PIN code 0..9999: tens/units, then thousands/hundreds.
void PackPinCode(uint16_t pin, uint8_t& low, uint8_t& high);

}  // namespace vexon
