// libFuzzer: any sequence of monitoring records decodes without crashing,
// and every event it yields carries a defined event code.
#include "journals/mon_decode.h"
#include "journals/mon_journal.h"
#include "util/date_time.h"

using namespace vexon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TManualClock clock(0, EncodeDateTime({2004, 3, 20, 12, 0, 0, 0}));
  static TAnswers answers;
  static TRequests requests(answers);
  static TServerLock lock(clock);
  static TDeviceModel model;
  static TCardSegments segments;
  static TCardZoneList zones;
  static TSuppression suppression(clock);
  static TLinkHealth health;
  static TMonJournal journal;
  static bool ready = [] {
    answers.CreateAnswerQueue();
    requests.CreateRequestQueue(false);
    std::vector<TDescriptor> d = {{0, 1, 0, 0x80, 0x0B, 0, 0, 0}, {3, 2, 0, 0, 0x0B, 0x1A, 0, 0}};
    model.BuildControllerList(&d);
    model.BuildAddressList();
    TCardList l;
    l.AddIt({0, 7, 0, 65535, 1, 1});
    segments.CopyListToActive(l);
    suppression.Create();
    journal.Create();
    return true;
  }();
  (void)ready;
  std::vector<TRawRecord> raw;
  for (size_t i = 0; i + 4 <= size; i += 4) raw.push_back({data[i], data[i + 1], data[i + 2], data[i + 3]});
  TMJList events;
  TDecodeContext ctx{model, segments, zones, suppression, lock, requests, health};
  DecodeRecords(ctx, raw, clock.Now(), events);
  SuppressDuplicates(events);
  journal.Publish(events);
  if (journal.Count() > 10000) journal.Clear();
  if (requests.RequestCount() > 1000) requests.ClearRequests();
  return 0;
}
