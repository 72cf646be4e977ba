// Card-list preparation: block splits, entry bytes, the checks of the
// checked list in their order and the card each failure names.
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <vector>

#include "core/card_blocks.h"
#include "util/result_codes.h"

using namespace vexon;

namespace {

using TRows = std::vector<std::vector<int64_t>>;

// Rows from 1, columns from 1; a missing cell is a read failure.
TCellReader Reader(const TRows& rows) {
  return [&rows](int32_t r, int32_t c, int32_t& v, std::string& error) {
    if (r < 1 || static_cast<size_t>(r) > rows.size() || c < 1 || static_cast<size_t>(c) > rows[r - 1].size()) {
      error = "cell " + std::to_string(r) + "," + std::to_string(c) + " missing";
      return false;
    }
    v = static_cast<int32_t>(rows[r - 1][c - 1]);
    return true;
  };
}

TRows RawRows(int n) {
  TRows rows;
  for (int i = 1; i <= n; ++i) rows.push_back({i & 0xFF, i >> 8, 0x01, 5, 0, 0});
  return rows;
}

std::vector<int> Lengths(const TCardBufList& l) {
  std::vector<int> out;
  for (const auto& b : l) out.push_back(b.Length);
  return out;
}
std::vector<int> Lengths(const TAutCardBufList& l) {
  std::vector<int> out;
  for (const auto& b : l) out.push_back(b.Length);
  return out;
}

// Facility 1, cards 100..199 are system indexes 1..100; facility 2, cards
// 1..10 are 101..110.
void FillSegments(TCardSegments& s) {
  s.CreateActive();
  TCardList l;
  l.AddIt({0, 1, 100, 199, 1, 1});
  l.AddIt({1, 2, 1, 10, 101, 1});
  s.CopyListToActive(l);
}

// A checked row: facility, card (low, high), properties, schedule,
// commissioning facility, commissioning card or PIN (low, high).
std::vector<int64_t> Row(int64_t f, int64_t card, int64_t props = 0, int64_t sched = 0, int64_t cf = 0,
                         int64_t second = 0) {
  return {f, card & 0xFF, card >> 8, props, sched, cf, second & 0xFF, second >> 8};
}

}  // namespace

TEST(CardBlocks, SystemListsAlwaysEndWithAShortBlock) {
  const std::map<int, std::vector<int>> cases = {
      {45, {120, 120, 30}}, {40, {120, 120, 0}}, {0, {0}},     {-3, {0}},       {1, {6}},
      {20, {120, 0}},       {-20, {0}},         {-40, {0}}, {INT32_MIN, {0}}};
  for (const auto& [n, lengths] : cases) {
    const TRows rows = RawRows(std::max(n, 0));
    TCardBufList l;
    ASSERT_TRUE(BuildCardBlocks(Reader(rows), n, l).Ok()) << n;
    EXPECT_EQ(Lengths(l), lengths) << n << " rows";
    for (const auto& b : l) EXPECT_EQ(b.BlockType, 1);
  }
}

TEST(CardBlocks, AutonomousListsSplitByForty) {
  const std::map<int, std::vector<int>> cases = {{80, {120, 120}}, {81, {120, 120, 3}}, {0, {}},       {-1, {0}},
                                                 {1, {3}},         {-40, {0}},          {-80, {0}}, {INT32_MIN, {0}}};
  for (const auto& [n, lengths] : cases) {
    TRows rows;
    for (int i = 0; i < std::max(n, 0); ++i) rows.push_back({i, i + 1, i + 2});
    TAutCardBufList l;
    ASSERT_TRUE(BuildAutCardBlocks(Reader(rows), n, l).Ok()) << n;
    EXPECT_EQ(Lengths(l), lengths) << n << " rows";
  }
  TRows rows = {{0x101, 2, 0x1FF}};
  TAutCardBufList l;
  ASSERT_TRUE(BuildAutCardBlocks(Reader(rows), 1, l).Ok());
  ASSERT_EQ(Lengths(l), std::vector<int>{3});
  EXPECT_EQ(std::vector<uint8_t>(l[0].Data.begin(), l[0].Data.begin() + 3), (std::vector<uint8_t>{0x01, 0x02, 0xFF}));
}

TEST(CardBlocks, RawEntryBytesAndIndexRange) {
  // Index 0x1234 from columns 0x34 and 0x12; columns 3 to 6 as low bytes.
  TRows rows = {{0x34, 0x12, 0x121, 7, 0x99, 0x100}};
  TCardBufList l;
  ASSERT_TRUE(BuildCardBlocks(Reader(rows), 1, l).Ok());
  EXPECT_EQ(std::vector<uint8_t>(l[0].Data.begin(), l[0].Data.begin() + 6),
            (std::vector<uint8_t>{0x34, 0x12, 0x21, 7, 0x99, 0x00}));
  // 255 + 256 x 255 is the largest index; 256 in the high column passes it.
  rows = {{255, 255, 0, 0, 0, 0}};
  EXPECT_TRUE(BuildCardBlocks(Reader(rows), 1, l).Ok());
  rows = {{0, 256, 0, 0, 0, 0}};
  const TCardBuildResult r = BuildCardBlocks(Reader(rows), 1, l);
  EXPECT_FALSE(r.Error.empty());
  EXPECT_TRUE(l.empty()) << "the partial list is discarded";
  // A missing column fails the building, not a short entry.
  rows = {{1, 0, 0, 0, 0}};
  EXPECT_FALSE(BuildCardBlocks(Reader(rows), 1, l).Error.empty());
  EXPECT_TRUE(l.empty());
}

TEST(CheckedCardBlocks, EntryBytesAndPinCodes) {
  TCardSegments seg;
  FillSegments(seg);
  TRows rows = {Row(1, 100, 0x01, 127), Row(2, 5, 0x02, 31), Row(1, 150, 0x20, 0, 0, 9999),
                Row(1, 151, 0x20, 0, 0, 1234), Row(1, 152, 0x30, 0, 2, 10)};
  TCardBufList l;
  const TCardBuildResult r = BuildCheckedCardBlocks(Reader(rows), 5, seg, l);
  ASSERT_TRUE(r.Ok()) << r.Code << " " << r.Error;
  ASSERT_EQ(Lengths(l), (std::vector<int>{30}));
  const std::vector<uint8_t> bytes(l[0].Data.begin(), l[0].Data.begin() + 30);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{
                       1, 0, 0x01, 127, 0, 0,           // card (1,100) is index 1
                       105, 0, 0x02, 31, 0, 0,          // card (2,5) is index 105
                       51, 0, 0x20, 0, 0x99, 0x99,      // PIN 9999
                       52, 0, 0x20, 0, 0x34, 0x12,      // PIN 1234: tens/units, thousands/hundreds
                       53, 0, 0x30, 0, 110, 0,          // commissioned by card (2,10), index 110
                   }));
}

TEST(CheckedCardBlocks, ChecksInOrderAndTheFailingCardIsNamed) {
  TCardSegments seg;
  FillSegments(seg);
  struct Case {
    std::vector<int64_t> row;
    int32_t code;
  };
  const std::vector<Case> cases = {
      {Row(1, 200), rcListNotSystemCard},
      {Row(3, 100), rcListNotSystemCard},
      {Row(1, 100, 0x33, 0, 9, 99999), rcListBadTimeType},  // type 3 before the commissioning data
      {Row(1, 100, 0x01, 128), rcListBadWeekDiagram},
      {Row(1, 100, 0x02, 32), rcListBadShiftDiagram},
      {Row(1, 100, 0x00, 200), 0},  // no schedule type, no check
      {Row(1, 100, 0x30, 0, 1, 99), rcListBadCommissionCard},
      {Row(1, 100, 0x20, 0, 0, 10000), rcListBadPinCode},
      {Row(1, 100, 0x20, 0, 0, 65536), rcListBadPinCode},  // never cut to PIN 0000
      {Row(1, 100, 0x10, 0, 9, 99999), 0},                 // bit 4 alone: no commissioning
  };
  for (const auto& c : cases) {
    TRows rows = {c.row};
    TCardBufList l;
    const TCardBuildResult r = BuildCheckedCardBlocks(Reader(rows), 1, seg, l);
    EXPECT_TRUE(r.Error.empty());
    EXPECT_EQ(r.Code, c.code) << "row " << ::testing::PrintToString(c.row);
    EXPECT_EQ(l.empty(), c.code != 0);
  }
  // Row 7 of ten is not a system card: 91 naming that card, no list.
  TRows rows;
  for (int i = 0; i < 10; ++i) rows.push_back(Row(1, 100 + i));
  rows[6] = Row(7, 1234);
  TCardBufList l;
  const TCardBuildResult r = BuildCheckedCardBlocks(Reader(rows), 10, seg, l);
  EXPECT_EQ(r.Code, rcListNotSystemCard);
  EXPECT_TRUE(l.empty());
  EXPECT_EQ(GetErrorStr(r.Code), "Обнаружена несистемная карта 7 / 1234. Передача невозможна");
  // A bad commissioning card names the card of the row, not the other one.
  rows = {Row(2, 3, 0x30, 0, 1, 5)};
  EXPECT_EQ(BuildCheckedCardBlocks(Reader(rows), 1, seg, l).Code, rcListBadCommissionCard);
  EXPECT_EQ(GetErrorStr(rcListBadCommissionCard), "Комиссионирующая карта для карты 2 / 3 - несистемная. Передача невозможна");
}

TEST(CheckedCardBlocks, UnreadableCellFailsTheBuilding) {
  TCardSegments seg;
  FillSegments(seg);
  TRows rows = {Row(1, 100), {1, 101, 0}};  // second row: five columns missing
  rows[1].resize(3);
  TCardBufList l;
  const TCardBuildResult r = BuildCheckedCardBlocks(Reader(rows), 2, seg, l);
  EXPECT_FALSE(r.Error.empty());
  EXPECT_TRUE(l.empty());
}
