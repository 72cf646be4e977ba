// Monitoring operations and the two description operations.
#include "automation/descriptions.h"
#include "automation/server_object.h"
#include "util/result_codes.h"

namespace vexon {

namespace {

void GetMonEvent(TSysVexonComServer& srv, TCall& c) {
  TMonItem m;
  const int32_t v = srv.S().MonJournal.GetMonEvent(m);
  if (v == rcOk) {
    c.Set("Year", m.Year);
    c.Set("Month", m.Month);
    c.Set("Day", m.Day);
    c.Set("Hour", m.Hour);
    c.Set("Minute", m.Minute);
    c.Set("Second", m.Second);
    c.Set("MakeAdr", m.MakeAdr);
    c.Set("AdrAdd", m.AdrAdd);
    c.Set("EventCode", m.EventCode);
    c.Set("EventAdd", m.EventAdd);
    c.Set("CardID", m.CardID);
    c.Set("FacilityCode", m.FacilityCode);
  }
  c.SetValue(v);
}

}  // namespace

void AddMonitoringOperations(TOperationMap& ops) {
  ops["sysvexon_StartMonitoring"] = [](TSysVexonComServer& s, TCall&) { s.S().Monitor.StartMonitoring(); };
  ops["sysvexon_StopMonitoring"] = [](TSysVexonComServer& s, TCall&) { s.S().Monitor.StopMonitoring(); };
  ops["sysvexon_GetMonEvent"] = GetMonEvent;
  ops["sysvexon_ClearMonJournal"] = [](TSysVexonComServer& s, TCall&) { s.S().MonJournal.Clear(); };
  ops["sysvexon_GetMonEventDescription"] = [](TSysVexonComServer&, TCall& c) {
    c.SetValue(GetMonEventDescription(c.UI1("EventCode"), c.UI1("EventAdd")));
  };
  ops["sysvexon_GetRegEventDescription"] = [](TSysVexonComServer&, TCall& c) {
    c.SetValue(GetRegEventDescription(c.UI1("EventType"), c.UI1("Event")));
  };
}

}  // namespace vexon
