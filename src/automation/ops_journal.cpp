// Registration-journal operations: reading a controller's journal (queued),
// taking events oldest first, one or up to 1024 at a time, and clearing.
#include "automation/server_object.h"
#include "automation/variant_array.h"
#include "util/result_codes.h"

namespace vexon {

namespace {

constexpr size_t kMaxEventsPerCall = 1024;
constexpr int32_t kEventColumns = 13;

// A take or clear that cannot be written to "buffer.log" (a full disk) fails
// the call and changes nothing: handed out anyway, the events would come
// again after a restart.
constexpr const char* kNotWritten = " cannot be written to buffer.log; the registration list is unchanged";

void ClearRegJournal(TSysVexonComServer& srv, TCall&) {
  if (!srv.S().Core.RegJournal.ClearEvents()) throw TAutomationError(std::string("the clear") + kNotWritten);
}

void GetRegJournal(TSysVexonComServer& srv, TCall& c) {
  if (!srv.ConfiguredWithAddresses()) return c.SetValue(rcNotConfigured);
  const uint16_t make = TSysVexonComServer::Check16("MakeAdr", c.I4("MakeAdr"));
  const int32_t sys = srv.FindSysAdr(make);
  if (sys < 0) return c.SetValue(rcBadController);
  srv.QueueObject(c, rkReadRegJournal, bkObject, std::make_unique<TCardRegistrationItem>(make, sys));
}

void GetRegEvent(TSysVexonComServer& srv, TCall& c) {
  TEvItem ev;
  const int32_t code = srv.S().Core.RegJournal.TakeOldestEvent(ev);
  if (code == rcInternal) throw TAutomationError(std::string("the take") + kNotWritten);
  if (code != rcOk) return c.SetValue(code);
  // The list holds only events decoding can produce, whose AdrAdd fits.
  if (ev.AdrAdd > 255) throw TAutomationError("AdrAdd " + std::to_string(ev.AdrAdd) + " does not fit in one byte");
  c.Set("Year", ev.Year);
  c.Set("Month", ev.Month);
  c.Set("Day", ev.Day);
  c.Set("Hour", ev.Hour);
  c.Set("Minute", ev.Minute);
  c.Set("Second", ev.Second);
  c.Set("MakeAdr", ev.MakeAdr);
  c.Set("AdrAdd", ev.AdrAdd);
  c.Set("EventType", ev.EventType);
  c.Set("Event", ev.Event);
  c.Set("Alarm", ev.Alarm != 0 ? 1 : 0);
  c.Set("FacilityCode", ev.FacilityCode);
  c.Set("CardID", ev.CardID);
  c.SetValue(rcOk);
}

TVariant IntVariant(int64_t v) {
  TVariant e;
  e.What = TVariant::Kind::Int;
  e.Int = v;
  return e;
}

// A fresh array of 1024 rows and 13 columns, from 1, for a client that
// passes none.
TVariant NewEventArray() {
  TVariant a;
  a.What = TVariant::Kind::Array;
  a.LBound = {1, 1};
  TVariant row;
  row.What = TVariant::Kind::Array;
  row.LBound = {1};
  row.Items.assign(kEventColumns, IntVariant(0));
  a.Items.assign(kMaxEventsPerCall, row);
  return a;
}

// The array is checked before any event is taken, and only as many events
// are taken as it has rows for: no event is lost to a small or malformed
// array.
void GetRegEventArray(TSysVexonComServer& srv, TCall& c) {
  TVariant array = c.Variant("EventArray");
  if (array.What == TVariant::Kind::Null) array = NewEventArray();
  const TVariantMatrix m(array, "EventArray", 1, 1);
  if (m.Low1() > 1 || m.High1() < 1) throw TAutomationError("EventArray: row 1 is outside the array");
  m.RequireCovers(1, 1, 1, kEventColumns);
  const size_t room = std::min(kMaxEventsPerCall, static_cast<size_t>(m.High1()));
  std::vector<TEvItem> events;
  const int32_t code = srv.S().Core.RegJournal.TakeOldestEvents(room, events);
  if (code == rcInternal) throw TAutomationError(std::string("the take") + kNotWritten);
  const int32_t row0 = 1 - m.Low1(), col0 = 1 - m.Low2();
  for (size_t i = 0; i < events.size(); ++i) {
    const TEvItem& ev = events[i];
    const int64_t values[kEventColumns] = {ev.Year,   ev.Month,     ev.Day,   ev.Hour,
                                           ev.Minute, ev.Second,    ev.MakeAdr, ev.AdrAdd,
                                           ev.EventType, ev.Event, ev.Alarm != 0 ? 1 : 0, ev.FacilityCode,
                                           ev.CardID};
    TVariant& row = array.Items[static_cast<size_t>(row0) + i];
    for (int32_t col = 0; col < kEventColumns; ++col) row.Items[static_cast<size_t>(col0 + col)] = IntVariant(values[col]);
  }
  if (!array.PlainBounds) array.LBound = {m.Low1(), m.Low2()};
  else array.LBound = {1, 1};
  array.PlainBounds = false;
  c.Set("EventArray", std::move(array));
  c.Set("Count", static_cast<int64_t>(events.size()));
  c.SetValue(code == rcOk ? rcOk : rcNoRegEvents);
}

}  // namespace

void AddJournalOperations(TOperationMap& ops) {
  ops["sysvexon_ClearRegJournal"] = ClearRegJournal;
  ops["sysvexon_GetRegJournal"] = GetRegJournal;
  ops["sysvexon_GetRegEvent"] = GetRegEvent;
  ops["sysvexon_GetRegEventArray"] = GetRegEventArray;
}

}  // namespace vexon
