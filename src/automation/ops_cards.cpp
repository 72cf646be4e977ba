// Card and schedule operations: card segments, card zones and blocking,
// single cards, whole card lists of a controller, the calendar buffer and
// the time schedules. Each checks its arguments in order (the first failing
// check decides Value) and queues one request, or prepares server data.
#include <array>
#include <optional>

#include "automation/server_object.h"
#include "automation/variant_array.h"
#include "core/card_blocks.h"
#include "util/result_codes.h"

namespace vexon {

namespace {

constexpr uint8_t kNoAddress = 255;

// Active segment list present and not empty (68).
bool HaveSegments(TSysVexonComServer& srv, TCall& c) {
  const TCardSegments& seg = srv.S().Core.Segments;
  if (!seg.ActiveExists() || seg.ActiveCount() == 0) {
    c.SetValue(rcNoCardSegments);
    return false;
  }
  return true;
}

// The system index of a card of the active list (57 when it is not a system
// card, 38 when its index would pass 65535); the card number must be 16-bit.
std::optional<uint16_t> SystemCard(TSysVexonComServer& srv, TCall& c, uint8_t facility, const char* cardArg) {
  const uint16_t card = TSysVexonComServer::Check16(cardArg, c.I4(cardArg));
  uint16_t index = 0;
  switch (srv.S().Core.Segments.GetSystemIndexFromCard(facility, card, index)) {
    case TLookup::Found:
      return index;
    case TLookup::OutOfRange:
      c.SetValue(rcBadSegment);
      return std::nullopt;
    case TLookup::NotFound:
      break;
  }
  c.SetValue(rcBadCard);
  return std::nullopt;
}

// ---- card segments ----

void ClearCardSegments(TSysVexonComServer& srv, TCall&) { srv.S().Core.Segments.ClearPendingSegments(); }

void SetCardSegment(TSysVexonComServer& srv, TCall& c) {
  const int32_t first = c.I4("FirstCard"), last = c.I4("LastCard");
  const int32_t code = srv.S().Core.Segments.AddPendingSegment(c.UI1("FacilityCode"), first, last);
  if (code == kSegmentFieldRange)
    throw TAutomationError("FirstCard " + std::to_string(first) + " or LastCard " + std::to_string(last) +
                           " is outside 0..65535");
  c.SetValue(code);
}

void SendCardSegments(TSysVexonComServer& srv, TCall& c) {
  // The request carries the segments as numbered now: later edits of the
  // pending list cannot change what this transfer sends.
  auto numbered = std::make_unique<TCardList>();
  const int32_t code = srv.S().Core.Segments.NumberPendingSegments(*numbered);
  if (code != rcOk) return c.SetValue(code);
  srv.QueueObject(c, rkSendSegments, bkObject, std::move(numbered));
}

void SendClearCardSegments(TSysVexonComServer& srv, TCall& c) {
  if (!srv.ConfiguredWithAddresses()) return c.SetValue(rcNotConfigured);
  const uint16_t make = TSysVexonComServer::Check16("MakeAdr", c.I4("MakeAdr"));
  if (make != 0 && srv.FindSysAdr(make) < 0) return c.SetValue(rcBadController);
  srv.QueueObject(c, rkClearSegments, bkObject, std::make_unique<TMakeAdrItem>(make));
}

// Column a + 256 x column b, each taken modulo 65536; above 65535 fails.
uint16_t Pair16(const TVariantMatrix& m, int32_t row, int32_t a, int32_t b, const char* what) {
  const int64_t v = m.At(row, a) % 65536 + 256 * (m.At(row, b) % 65536);
  if (v < 0 || v > 0xFFFF)
    throw TAutomationError(std::string("Segmrnts row ") + std::to_string(row) + ": " + what + " " + std::to_string(v) +
                           " is outside 0..65535");
  return static_cast<uint16_t>(v);
}

void SendCardSegmentsBS(TSysVexonComServer& srv, TCall& c) {
  if (!srv.ConfiguredWithAddresses()) return c.SetValue(rcNotConfigured);
  const int32_t count = c.I4("SegmentsCount");
  auto list = std::make_unique<TCardList>();
  if (count > 0) {
    const TVariantMatrix m(c.Variant("Segmrnts"), "Segmrnts", 1, 1);
    m.RequireCovers(1, count, 1, 9);
    for (int32_t i = 1; i <= count; ++i) {
      TCardItem s;
      s.SegmentNumber = static_cast<uint8_t>(m.At(i, 1) & 0xFF);
      s.FacilityCode = static_cast<uint8_t>(m.At(i, 2) & 0xFF);
      s.FirstCard = Pair16(m, i, 3, 4, "first card");
      s.LastCard = Pair16(m, i, 5, 6, "last card");
      s.FirstIndex = Pair16(m, i, 7, 8, "first index");
      s.Sent = m.At(i, 9) != 1 ? 1 : 0;
      // A reversed range, or one whose last index passes 65535, would
      // become an active segment that "cards.bin" cannot hold back: refused
      // as SetCardSegment refuses a reversed range, before anything is queued.
      if (s.LastCard < s.FirstCard || s.FirstIndex + uint32_t{s.LastCard} - s.FirstCard > 0xFFFF)
        return c.SetValue(rcBadSegment);
      list->AddIt(s);
    }
  }
  srv.QueueObject(c, rkSendSegments, bkList, std::move(list));
}

// ---- card zones and blocking ----

// 31, 68, 57 in that order; the facility code and the 16-bit card number.
std::optional<std::pair<uint8_t, uint16_t>> ZoneCard(TSysVexonComServer& srv, TCall& c) {
  if (!srv.ConfiguredWithAddresses()) {
    c.SetValue(rcNotConfigured);
    return std::nullopt;
  }
  if (!HaveSegments(srv, c)) return std::nullopt;
  const uint8_t facility = c.UI1("FacilityCode");
  if (!SystemCard(srv, c, facility, "CardID")) return std::nullopt;
  return std::make_pair(facility, static_cast<uint16_t>(c.I4("CardID")));
}

// Value and, on 0, EventID from a queueing that returned a code.
void QueueCode(TCall& c, int32_t code, int32_t id) {
  if (code == rcOk) c.Set(c.Op().Args.front().Name.c_str(), id);
  c.SetValue(code);
}

void SetCardZone(TSysVexonComServer& srv, TCall& c) {
  const auto card = ZoneCard(srv, c);
  if (!card) return;
  const uint8_t zone = c.UI1("ZoneNumber");
  if (zone > 127) return c.SetValue(rcBadZone);
  int32_t id = 0;
  const int32_t code = srv.S().Core.Requests.PutCardZoneRequest(id, card->first, card->second, zone);
  QueueCode(c, code, id);
}

void GetCardZone(TSysVexonComServer& srv, TCall& c) {
  const auto card = ZoneCard(srv, c);
  if (!card) return;
  int32_t id = 0;
  const int32_t code = srv.S().Core.Requests.PutGetCardZoneRequest(id, card->first, card->second);
  QueueCode(c, code, id);
}

void SetEnableCard(TSysVexonComServer& srv, TCall& c) {
  const auto card = ZoneCard(srv, c);
  if (!card) return;
  int32_t id = 0;
  const int32_t code = srv.S().Core.Requests.PutEnableCardRequest(id, c.UI1("Enable"), card->first, card->second);
  QueueCode(c, code, id);
}

// ---- single cards ----

// The card command buffer of a single card after the common checks (31, 32,
// 68, 57): bytes 0 to 4 filled, the rest 0.
std::optional<std::array<uint8_t, 9>> CardBuffer(TSysVexonComServer& srv, TCall& c) {
  const auto sys = srv.ConfiguredController(c, "MakeAdr");
  if (!sys) return std::nullopt;
  if (!HaveSegments(srv, c)) return std::nullopt;
  const auto index = SystemCard(srv, c, c.UI1("FacilityCode"), "CardID");
  if (!index) return std::nullopt;
  std::array<uint8_t, 9> b{};
  b[0] = *sys;
  b[1] = kNoAddress;
  b[2] = rkSendCard;
  b[3] = static_cast<uint8_t>(*index & 0xFF);
  b[4] = static_cast<uint8_t>(*index >> 8);
  return b;
}

uint8_t EnabledProperty(TCall& c) { return c.UI1("Enable") != 0 ? 131 : 3; }

void SendNormalCard(TSysVexonComServer& srv, TCall& c) {
  auto b = CardBuffer(srv, c);
  if (!b) return;
  const uint8_t props = c.UI1("Properties"), times = c.UI1("Times");
  const int type = props & 3;
  if (type == 3) return c.SetValue(rcBadTimeType);
  if (type == 1 && times > 127) return c.SetValue(rcBadWeekDiagram);
  if (type == 2 && times > 31) return c.SetValue(rcBadShiftDiagram);
  uint8_t c1 = 0, c2 = 0;
  if (props & 32) {
    const int32_t second = c.I4("CCardID");
    if (props & 16) {
      uint16_t index = 0;
      if (second < 0 || second > 0xFFFF ||
          srv.S().Core.Segments.GetSystemIndexFromCard(c.UI1("CFacilityCode"), static_cast<uint32_t>(second), index) !=
              TLookup::Found)
        return c.SetValue(rcBadCommissionCard);
      c1 = static_cast<uint8_t>(index & 0xFF);
      c2 = static_cast<uint8_t>(index >> 8);
    } else {
      if (second < 0 || second > 9999) return c.SetValue(rcBadPinCode);
      PackPinCode(static_cast<uint16_t>(second), c1, c2);
    }
  }
  (*b)[5] = props;
  (*b)[6] = times;
  (*b)[7] = c1;
  (*b)[8] = c2;
  srv.QueueBuffer(c, rkSendCard, b->data(), 9);
}

void SendOneTimeCard(TSysVexonComServer& srv, TCall& c) {
  auto b = CardBuffer(srv, c);
  if (!b) return;
  const uint8_t r1 = c.UI1("R1Num"), r2 = c.UI1("R2Num");
  if (r1 > 15 || r2 > 15) return c.SetValue(rcBadOneTimeLimit);
  (*b)[5] = static_cast<uint8_t>(EnabledProperty(c) + (c.UI1("APB") != 0 ? 64 : 0));
  (*b)[6] = c.UI1("TimeDiagram");
  (*b)[7] = 1;
  (*b)[8] = static_cast<uint8_t>(r1 + 16 * r2);
  srv.QueueBuffer(c, rkSendCard, b->data(), 9);
}

void SendStopListCard(TSysVexonComServer& srv, TCall& c) {
  auto b = CardBuffer(srv, c);
  if (!b) return;
  (*b)[5] = 131;
  srv.QueueBuffer(c, rkSendCard, b->data(), 9);
}

void SendGeneralCard(TSysVexonComServer& srv, TCall& c) {
  auto b = CardBuffer(srv, c);
  if (!b) return;
  (*b)[5] = EnabledProperty(c);
  srv.QueueBuffer(c, rkSendCard, b->data(), 7);
}

void SendGuardCard(TSysVexonComServer& srv, TCall& c) {
  auto b = CardBuffer(srv, c);
  if (!b) return;
  const int32_t shift = c.I4("ShiftDiagram");
  if (shift < 0) throw TAutomationError("ShiftDiagram " + std::to_string(shift) + " is negative");
  if (shift > 31) return c.SetValue(rcBadShiftDiagram);
  (*b)[5] = EnabledProperty(c);
  (*b)[6] = static_cast<uint8_t>(shift);
  srv.QueueBuffer(c, rkSendCard, b->data(), 7);
}

// ---- card lists of a controller ----

void SendClearCardList(TSysVexonComServer& srv, TCall& c) {
  if (!srv.ConfiguredController(c, "MakeAdr")) return;
  srv.QueueObject(c, rkClearCardList, bkObject, std::make_unique<TMakeAdrItem>(static_cast<uint16_t>(c.I4("MakeAdr"))));
}

// 31 then 68 (list missing or empty).
bool ListPreconditions(TSysVexonComServer& srv, TCall& c) {
  if (!srv.ConfiguredWithAddresses()) {
    c.SetValue(rcNotConfigured);
    return false;
  }
  return HaveSegments(srv, c);
}

// Rows 1..count of a client's card array must exist with `columns` columns.
TVariantMatrix CardArray(TCall& c, const char* name, int32_t count, int32_t columns) {
  TVariantMatrix m(c.Variant(name), name, 1, 1);
  m.RequireCovers(1, count, 1, columns);
  return m;
}

void Fail(const TCardBuildResult& r) {
  if (!r.Error.empty()) throw TAutomationError(r.Error);
}

void SendDeviceCardListBS(TSysVexonComServer& srv, TCall& c) {
  if (!ListPreconditions(srv, c)) return;
  const int32_t make = c.I4("MakeAdr"), count = c.I4("ClSize");
  TCardBufList blocks;
  if (count > 0) {
    const TVariantMatrix m = CardArray(c, "Cl", count, 6);
    Fail(BuildCardBlocks(m.Reader(), count, blocks));
  } else {
    Fail(BuildCardBlocks(nullptr, count, blocks));
  }
  srv.QueueObject(c, rkSendCard, bkList, std::make_unique<TSendCardListItem>(make, std::move(blocks)));
}

void SendAutDeviceCardListBS(TSysVexonComServer& srv, TCall& c) {
  if (!ListPreconditions(srv, c)) return;
  const uint16_t make = TSysVexonComServer::Check16("MakeAdr", c.I4("MakeAdr"));
  const int32_t count = c.I4("ClSize");
  TAutCardBufList blocks;
  if (count > 0) {
    const TVariantMatrix m = CardArray(c, "Cl", count, 3);
    Fail(BuildAutCardBlocks(m.Reader(), count, blocks));
  } else {
    Fail(BuildAutCardBlocks(nullptr, count, blocks));
  }
  srv.QueueObject(c, rkSendAutCardList, bkList,
                  std::make_unique<TSendAutCardListItem>(make, srv.FindSysAdr(make), std::move(blocks)));
}

void ClearAutCardListBS(TSysVexonComServer& srv, TCall& c) {
  const auto sys = srv.ConfiguredController(c, "MakeAdr");
  if (!sys) return;
  const uint8_t b[3] = {*sys, kNoAddress, rkClearAutCardList};
  srv.QueueBuffer(c, rkClearAutCardList, b, 3);
}

void SendDeviceCardList(TSysVexonComServer& srv, TCall& c) {
  const TVariant& cards = c.Variant("ACards");
  if (!cards.IsArray()) return c.SetValue(rcNoCardArray);
  if (!ListPreconditions(srv, c)) return;
  const int32_t make = c.I4("AMakeAdr");
  if (!srv.ConfiguredController(c, "AMakeAdr")) return;
  // Each row reads the columns it needs (columns 6 to 8 only for a
  // commissioning row): a list of five columns is a whole one.
  const TVariantMatrix m(cards, "ACards", 1, 1);
  const int32_t count = m.High1();
  TCardBufList blocks;
  const TCardBuildResult r = BuildCheckedCardBlocks(m.Reader(), count, srv.S().Core.Segments, blocks);
  Fail(r);
  if (r.Code != rcOk) return c.SetValue(r.Code);
  srv.QueueObject(c, rkSendCard, bkList, std::make_unique<TSendCardListItem>(make, std::move(blocks)));
}

// ---- calendar and schedules ----

void ClearCalendarBuf(TSysVexonComServer& srv, TCall&) { srv.S().Calendar.Clear(); }

void PrepareCalendarBuf(TSysVexonComServer& srv, TCall& c) {
  const uint8_t month = c.UI1("Month");
  if (month < 1 || month > 12) return c.SetValue(rcBadMonth);
  const uint8_t bytes[8] = {c.UI1("b1"), c.UI1("b2"), c.UI1("b3"), c.UI1("b4"),
                            c.UI1("b5"), c.UI1("b6"), c.UI1("b7"), c.UI1("b8")};
  srv.S().Calendar.SetMonth(month, bytes);
  c.SetValue(rcOk);
}

void SendCalendar(TSysVexonComServer& srv, TCall& c) {
  if (!srv.ConfiguredWithAddresses()) return c.SetValue(rcNotConfigured);
  const auto bytes = srv.S().Calendar.Copy();
  srv.QueueObject(c, rkSendCalendar, bkObject, std::make_unique<TBufItem>(static_cast<uint8_t>(bytes.size()), bytes.data()));
}

void SendTimeZone(TSysVexonComServer& srv, TCall& c) {
  if (!srv.ConfiguredWithAddresses()) return c.SetValue(rcNotConfigured);
  uint8_t b[25] = {c.UI1("ZoneNumber")};
  for (int n = 1; n <= 8; ++n) {
    const std::string k = std::to_string(n);
    const int64_t start = int64_t{c.I4(("H" + k + "Start").c_str())} * 60 + c.I4(("M" + k + "Start").c_str());
    const int64_t end = int64_t{c.I4(("H" + k + "End").c_str())} * 60 + c.I4(("M" + k + "End").c_str());
    const int64_t middle = (start / 256) * 16 + end / 256;
    if (start < 0 || start > 0xFFFF || end < 0 || end > 0xFFFF || middle > 255)
      throw TAutomationError("interval " + k + ": " + std::to_string(start) + " to " + std::to_string(end) +
                             " minutes does not fit in three bytes");
    b[1 + (n - 1) * 3] = static_cast<uint8_t>(start % 256);
    b[2 + (n - 1) * 3] = static_cast<uint8_t>(middle);
    b[3 + (n - 1) * 3] = static_cast<uint8_t>(end % 256);
  }
  srv.QueueObject(c, rkSendTimeZone, bkObject, std::make_unique<TBufItem>(25, b));
}

void SendWeekDiagram(TSysVexonComServer& srv, TCall& c) {
  if (!srv.ConfiguredWithAddresses()) return c.SetValue(rcNotConfigured);
  const uint8_t number = c.UI1("DiagramNumber");
  if (number > 127) return c.SetValue(rcBadWeekDiagram);
  uint8_t b[11] = {number};
  for (int z = 1; z <= 10; ++z) b[z] = c.UI1(("Zone" + std::to_string(z)).c_str());
  srv.QueueObject(c, rkSendWeekDiagram, bkObject, std::make_unique<TBufItem>(11, b));
}

void SendShiftDiagram(TSysVexonComServer& srv, TCall& c) {
  if (!srv.ConfiguredWithAddresses()) return c.SetValue(rcNotConfigured);
  const uint8_t number = c.UI1("DiagramNumber"), days = c.UI1("DayCount"), current = c.UI1("CurDay");
  if (number > 31) return c.SetValue(rcBadShiftDiagram);
  if (days < 1 || days > 30) return c.SetValue(rcBadShiftLength);
  if (current < 1 || current > days) return c.SetValue(rcBadShiftDay);
  static const char* const kDays[10] = {"Days1_3",   "Days4_6",   "Days7_9",   "Days10_12", "Days13_15",
                                        "Days16_18", "Days19_21", "Days22_24", "Days25_27", "Days28_30"};
  uint8_t b[33] = {number, days, current};
  for (int i = 0; i < 10; ++i) {
    const int32_t v = c.I4(kDays[i]);
    if (v < 0) throw TAutomationError(std::string(kDays[i]) + " " + std::to_string(v) + " is negative");
    for (int k = 0; k < 3; ++k) b[3 + i * 3 + k] = static_cast<uint8_t>((v >> (8 * k)) & 0xFF);
  }
  srv.QueueObject(c, rkSendShiftDiagram, bkObject, std::make_unique<TBufItem>(33, b));
}

// A whole table: rows first..last of `columns` columns, the low byte of
// each element, row after row.
void SendTable(TSysVexonComServer& srv, TCall& c, const char* name, uint8_t kind, int32_t rows, int32_t columns) {
  if (!srv.ConfiguredWithAddresses()) return c.SetValue(rcNotConfigured);
  const TVariantMatrix m(c.Variant(name), name, 0, 1);
  m.RequireCovers(0, rows - 1, 1, columns);
  std::vector<uint8_t> table(static_cast<size_t>(rows * columns));
  for (int32_t r = 0; r < rows; ++r)
    for (int32_t col = 1; col <= columns; ++col)
      table[static_cast<size_t>(r * columns + col - 1)] = static_cast<uint8_t>(m.At(r, col) & 0xFF);
  srv.QueueObject(c, kind, bkList, std::make_unique<TLongBufItem>(table.data(), static_cast<int32_t>(table.size())));
}

}  // namespace

void AddCardOperations(TOperationMap& ops) {
  ops["sysvexon_ClearCardSegments"] = ClearCardSegments;
  ops["sysvexon_SetCardSegment"] = SetCardSegment;
  ops["sysvexon_SendCardSegments"] = SendCardSegments;
  ops["sysvexon_SendClearCardSegments"] = SendClearCardSegments;
  ops["sysvexon_SendCardSegmentsBS"] = SendCardSegmentsBS;
  ops["sysvexon_SetCardZone"] = SetCardZone;
  ops["sysvexon_GetCardZone"] = GetCardZone;
  ops["sysvexon_SetEnableCard"] = SetEnableCard;
  ops["sysvexon_SendNormalCard"] = SendNormalCard;
  ops["sysvexon_SendOneTimeCard"] = SendOneTimeCard;
  ops["sysvexon_SendStopListCard"] = SendStopListCard;
  ops["sysvexon_SendGeneralCard"] = SendGeneralCard;
  ops["sysvexon_SendGuardCard"] = SendGuardCard;
  ops["sysvexon_SendClearCardList"] = SendClearCardList;
  ops["sysvexon_SendDeviceCardListBS"] = SendDeviceCardListBS;
  ops["sysvexon_SendAutDeviceCardListBS"] = SendAutDeviceCardListBS;
  ops["sysvexon_ClearAutCardListBS"] = ClearAutCardListBS;
  ops["sysvexon_SendDeviceCardList"] = SendDeviceCardList;
  ops["sysvexon_ClearCalendarBuf"] = ClearCalendarBuf;
  ops["sysvexon_PrepareCalendarBuf"] = PrepareCalendarBuf;
  ops["sysvexon_SendCalendar"] = SendCalendar;
  ops["sysvexon_SendTimeZone"] = SendTimeZone;
  ops["sysvexon_SendWeekDiagram"] = SendWeekDiagram;
  ops["sysvexon_SendShiftDiagram"] = SendShiftDiagram;
  ops["sysvexon_SendTimeZonesBS"] = [](TSysVexonComServer& s, TCall& c) { SendTable(s, c, "TimeZones", rkSendTimeZone, 256, 24); };
  ops["sysvexon_SendWeekListBS"] = [](TSysVexonComServer& s, TCall& c) { SendTable(s, c, "WeekList", rkSendWeekDiagram, 128, 10); };
  ops["sysvexon_SendShiftListBS"] = [](TSysVexonComServer& s, TCall& c) { SendTable(s, c, "ShiftList", rkSendShiftDiagram, 32, 32); };
}

}  // namespace vexon
