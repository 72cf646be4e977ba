// libFuzzer: monitoring records. Any sequence of 4-byte records decodes
// without crashing, against a controller network the input also chooses.
//
// Input: byte 0, the network: bit 0 a second controller (system address 3),
// bit 1 the server lock set, bit 2 the link to the network down, bit 3
// a valid time record put first (so that the records are dated); byte 1,
// the first controller's system address; then the records.
//
// Checked after every input: every event carries an event code of the
// documented table with its AdrAdd and EventAdd in their ranges, a time no
// earlier than the poll's first time record could give, and a factory
// address of the network (0 for the zone events 21 and 22); the journal
// gains exactly the events that were not suppressed; a registration-journal
// read is queued only with an event 15 whose EventAdd is 1.
#include <set>

#include "fuzz_util.h"
#include "journals/mon_decode.h"
#include "journals/mon_journal.h"
#include "util/date_time.h"
#include "util/log.h"

using namespace vexon;

namespace {

struct TRange {
  int AdrLo, AdrHi, AddLo, AddHi;
};

// AdrAdd and EventAdd of each event code.
bool RangeOf(uint8_t code, TRange& r) {
  switch (code) {
    case 1: r = {1, 2, 0, 3}; return true;
    case 2: case 3: case 4: case 5: r = {1, 2, 0, 7}; return true;
    case 6: r = {0, 7, 0, 1}; return true;
    case 7: r = {1, 4, 0, 1}; return true;
    case 8: r = {0, 7, 0, 4}; return true;
    case 9: case 10: case 11: case 12: r = {1, 4, 1, 4}; return true;
    case 13: r = {1, 4, 0, 1}; return true;
    case 14: case 15: case 16: case 17: case 18: r = {0, 0, 0, 1}; return true;
    case 19: case 20: r = {0, 0, 0, 0}; return true;
    case 21: case 22: r = {0, 0, 0, 255}; return true;
    case 100: r = {1, 2, 0, 0}; return true;
    default: return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = [] {
    spdlog::set_level(spdlog::level::off);
    return true;
  }();
  (void)quiet;
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  const uint8_t firstSys = data[1] == 3 ? 4 : data[1];
  data += 2;
  size -= 2;

  const double now = EncodeDateTime({2004, 3, 20, 12, 0, 0, 0});
  TManualClock clock(0, now);
  TAnswers answers;
  TRequests requests(answers);
  TServerLock lock(clock);
  TDeviceModel model;
  TCardSegments segments;
  TCardZoneList zones;
  TSuppression suppression(clock);
  TLinkHealth health;
  TMonJournal journal;
  answers.CreateAnswerQueue();
  requests.CreateRequestQueue(false);
  std::vector<TDescriptor> d = {{firstSys, 1, 0, 0x80, 0x0B, 0, 0, 0}};
  if (flags & 1) d.push_back({3, 2, 0, 0, 0x0B, 0x1A, 0, 0});
  FUZZ_CHECK(model.BuildControllerList(&d));
  model.BuildAddressList();
  if (flags & 4) health.LinkDown = true;
  if (flags & 2) lock.SetServerLock();
  TCardList l;
  l.AddIt({0, 7, 0, 65535, 1, 1});
  segments.CopyListToActive(l);
  suppression.Create();
  journal.Create();

  std::set<uint16_t> makers;
  for (const auto& r : model.Controllers.Snapshot()) makers.insert(r.MakeAdr);

  std::vector<TRawRecord> raw;
  if (flags & 8) raw.push_back({0xFF, 0x00, 0x00, 0x01});  // the 1st, 00:00:00
  for (size_t i = 0; i + 4 <= size; i += 4) raw.push_back({data[i], data[i + 1], data[i + 2], data[i + 3]});

  TMJList events;
  TDecodeContext ctx{model, segments, zones, suppression, lock, requests, health};
  DecodeRecords(ctx, raw, clock.Now(), events);
  SuppressDuplicates(events);

  // The earliest date a time record can give: the 1st of the previous month.
  const double earliest = EncodeDateTime({2004, 2, 1, 0, 0, 0, 0});
  size_t published = 0;
  bool journalFlagSet = false;
  for (const TMJItem& e : events) {
    TRange r;
    FUZZ_CHECK(RangeOf(e.EventCode, r));
    FUZZ_CHECK(e.AdrAdd >= r.AdrLo && e.AdrAdd <= r.AdrHi);
    FUZZ_CHECK(e.EventAdd >= r.AddLo && e.EventAdd <= r.AddHi);
    FUZZ_CHECK(e.Time >= earliest && e.Time <= now + 1);
    if (e.EventCode == 21 || e.EventCode == 22)
      FUZZ_CHECK(e.MakeAdr == 0);
    else
      FUZZ_CHECK(makers.count(e.MakeAdr) == 1);
    if (e.EventCode == 15 && e.EventAdd == 1) journalFlagSet = true;
    if (!e.Suppressed) ++published;
  }
  journal.Publish(events);
  FUZZ_CHECK(journal.Count() == published);
  if (!journalFlagSet) FUZZ_CHECK(requests.RequestCount() == 0);
  // Every published event comes out again, oldest first, as it went in.
  size_t taken = 0;
  TMonItem item;
  while (journal.GetMonEvent(item) == 0) ++taken;
  FUZZ_CHECK(taken == published);
  return 0;
}
