#include "core/card_blocks.h"

#include <algorithm>

#include "util/result_codes.h"

namespace vexon {

namespace {

// Number of full blocks and whether a last short block follows, for N >= 0
// rows in blocks of B.
struct TSplit {
  int32_t Full;
  int32_t Rest;
};
TSplit Split(int32_t n, int32_t b) { return {n / b, n % b}; }

class TRowReader {
 public:
  TRowReader(const TCellReader& cell, TCardBuildResult& result) : cell_(cell), result_(result) {}
  // Widened at once: sums of cells are worked out in 64 bits.
  bool Get(int32_t row, int32_t column, int64_t& v) {
    int32_t cell = 0;
    if (!cell_(row, column, cell, result_.Error)) return false;
    v = cell;
    return true;
  }

 private:
  const TCellReader& cell_;
  TCardBuildResult& result_;
};

// Appends the system entry of `row` to `block` (BuildCardBlocks).
bool AppendRawEntry(TRowReader& rd, int32_t row, TCardBufItem& block, TCardBuildResult& result) {
  int64_t c[7] = {};
  for (int col = 1; col <= 6; ++col)
    if (!rd.Get(row, col, c[col])) return false;
  const int64_t s = (c[1] % 65536) + 256 * (c[2] % 65536);
  if (s < 0 || s > 0xFFFF) {
    result.Error = "row " + std::to_string(row) + ": system index " + std::to_string(s) + " is outside 0..65535";
    return false;
  }
  uint8_t* e = block.Data.data() + block.Length;
  e[0] = static_cast<uint8_t>(s & 0xFF);
  e[1] = static_cast<uint8_t>(s >> 8);
  for (int col = 3; col <= 6; ++col) e[col - 1] = static_cast<uint8_t>(c[col] & 0xFF);
  block.Length = static_cast<uint8_t>(block.Length + TCardBufItem::kEntrySize);
  return true;
}

// The card's system index, or false when it is not a system card (a card
// number outside 16 bits, or an index that would pass 65535, is not one).
bool SystemIndex(const TCardSegments& segments, int64_t facility, int64_t card, uint16_t& index) {
  if (card < 0 || card > 0xFFFF) return false;
  return segments.GetSystemIndexFromCard(static_cast<uint8_t>(facility & 0xFF), static_cast<uint32_t>(card), index) ==
         TLookup::Found;
}

// Checks one row and appends its entry; 0 or the row's code.
int32_t AppendCheckedEntry(TRowReader& rd, int32_t row, const TCardSegments& segments, TCardBufItem& block) {
  int64_t c[9] = {};
  if (!rd.Get(row, 1, c[1]) || !rd.Get(row, 2, c[2]) || !rd.Get(row, 3, c[3])) return -1;
  const int64_t facility = c[1] & 0xFF;
  const int64_t card = c[2] + 256 * c[3];
  // The text of the code names this row's card; a row that passes leaves
  // the card of an earlier failure in place.
  const auto fail = [&](int32_t code) {
    SetCardErrorContext(static_cast<int32_t>(facility), static_cast<int32_t>(card & 0xFFFF));
    return code;
  };
  uint16_t index = 0;
  if (!SystemIndex(segments, facility, card, index)) return fail(rcListNotSystemCard);
  if (!rd.Get(row, 4, c[4]) || !rd.Get(row, 5, c[5])) return -1;
  const int64_t type = c[4] & 3;
  // A negative schedule number would reach the controller as 255.
  if (type == 3) return fail(rcListBadTimeType);
  if (type == 1 && (c[5] < 0 || c[5] > 127)) return fail(rcListBadWeekDiagram);
  if (type == 2 && (c[5] < 0 || c[5] > 31)) return fail(rcListBadShiftDiagram);
  uint8_t b4 = 0, b5 = 0;
  if ((c[4] & 32) != 0) {
    if (!rd.Get(row, 6, c[6]) || !rd.Get(row, 7, c[7]) || !rd.Get(row, 8, c[8])) return -1;
    const int64_t second = c[7] + 256 * c[8];
    if ((c[4] & 16) != 0) {
      uint16_t commissioning = 0;
      if (!SystemIndex(segments, c[6], second, commissioning)) return fail(rcListBadCommissionCard);
      b4 = static_cast<uint8_t>(commissioning & 0xFF);
      b5 = static_cast<uint8_t>(commissioning >> 8);
    } else {
      // Checked on the whole value: 65536 or more is never PIN 0000.
      if (second < 0 || second > 9999) return fail(rcListBadPinCode);
      PackPinCode(static_cast<uint16_t>(second), b4, b5);
    }
  }
  uint8_t* e = block.Data.data() + block.Length;
  e[0] = static_cast<uint8_t>(index & 0xFF);
  e[1] = static_cast<uint8_t>(index >> 8);
  e[2] = static_cast<uint8_t>(c[4] & 0xFF);
  e[3] = static_cast<uint8_t>(c[5] & 0xFF);
  e[4] = b4;
  e[5] = b5;
  block.Length = static_cast<uint8_t>(block.Length + TCardBufItem::kEntrySize);
  return 0;
}

// Builds a system list with `append(row, block)` for rows 1..count.
template <class Append>
TCardBuildResult BuildSystemList(int32_t count, TCardBufList& out, TCardBuildResult& result, Append append) {
  out.clear();
  const int32_t b = static_cast<int32_t>(TCardBufItem::kEntries);
  // A negative count builds what 0 builds: the one empty closing block.
  const TSplit split = Split(std::max(count, 0), b);
  out.reserve(static_cast<size_t>(split.Full) + 1);
  int32_t row = 1;
  for (int32_t k = 0; k <= split.Full; ++k) {
    out.emplace_back();
    const int32_t rows = k < split.Full ? b : (split.Rest > 0 ? split.Rest : 0);
    for (int32_t i = 0; i < rows; ++i, ++row) {
      if (!append(row, out.back())) {
        out.clear();
        return result;
      }
    }
  }
  return result;
}

}  // namespace

void PackPinCode(uint16_t pin, uint8_t& low, uint8_t& high) {
  const unsigned d0 = pin % 10, d1 = pin / 10 % 10, d2 = pin / 100 % 10, d3 = pin / 1000 % 10;
  low = static_cast<uint8_t>(d0 + 16 * d1);
  high = static_cast<uint8_t>(d2 + 16 * d3);
}

TCardBuildResult BuildCardBlocks(const TCellReader& cell, int32_t count, TCardBufList& out) {
  TCardBuildResult result;
  TRowReader rd(cell, result);
  return BuildSystemList(count, out, result,
                         [&](int32_t row, TCardBufItem& block) { return AppendRawEntry(rd, row, block, result); });
}

TCardBuildResult BuildCheckedCardBlocks(const TCellReader& cell, int32_t count, const TCardSegments& segments,
                                        TCardBufList& out) {
  TCardBuildResult result;
  TRowReader rd(cell, result);
  return BuildSystemList(count, out, result, [&](int32_t row, TCardBufItem& block) {
    const int32_t code = AppendCheckedEntry(rd, row, segments, block);
    if (code > 0) result.Code = code;
    return code == 0;
  });
}

TCardBuildResult BuildAutCardBlocks(const TCellReader& cell, int32_t count, TAutCardBufList& out) {
  TCardBuildResult result;
  out.clear();
  const int32_t b = static_cast<int32_t>(TAutCardBufItem::kEntries);
  // No rows: no block; a negative count: one empty block.
  const TSplit split = Split(std::max(count, 0), b);
  const int32_t blocks = count < 0 ? 1 : split.Full + (split.Rest != 0 ? 1 : 0);
  out.reserve(static_cast<size_t>(blocks));
  int32_t row = 1;
  for (int32_t k = 0; k < blocks; ++k) {
    out.emplace_back();
    TAutCardBufItem& block = out.back();
    const int32_t rows = k < split.Full ? b : (split.Rest > 0 ? split.Rest : 0);
    for (int32_t i = 0; i < rows; ++i, ++row) {
      for (int32_t col = 1; col <= 3; ++col) {
        int32_t v = 0;
        if (!cell(row, col, v, result.Error)) {
          out.clear();
          return result;
        }
        block.Data[block.Length++] = static_cast<uint8_t>(v & 0xFF);
      }
    }
  }
  return result;
}

}  // namespace vexon
