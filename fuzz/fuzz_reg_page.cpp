// libFuzzer: registration-journal pages. Any page of 4-byte records, read
// from any controller in any decoding state, decodes without crashing.
//
// Input: bytes 0-1 the controller's factory address, bytes 2-8 the decoding
// state carried over from the previous page (minute, hour, day, month,
// year 0..255 from 1997, factory address low byte), byte 9 whether the
// active card segments exist; the rest are the records (at most 32 are
// read).
//
// Checked after every input: at most 8 events per record; every event is
// one the registration list accepts (IsProducibleEvent) and carries the
// reading controller's factory address or is the undecodable event; each
// event survives its 21-byte record unchanged.
#include <cstring>

#include "fuzz_util.h"
#include "journals/reg_decode.h"
#include "model/card_segments.h"
#include "util/log.h"

using namespace vexon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TCardSegments* segments = [] {
    spdlog::set_level(spdlog::level::off);
    auto* s = new TCardSegments;
    TCardList l;
    l.AddIt({0, 7, 0, 999, 1, 1});
    l.AddIt({1, 12, 100, 65535, 1000, 1});
    s->CopyListToActive(l);
    return s;
  }();
  if (size < 10) return 0;
  const uint16_t makeAdr = static_cast<uint16_t>(data[0] | data[1] << 8);
  TJournalDecodeState state;
  state.Minute = data[2];
  state.Hour = data[3];
  state.Day = data[4];
  state.Month = data[5];
  state.Year = static_cast<uint16_t>(1997 + data[6]);
  state.MakeAdr = static_cast<uint16_t>(data[7] | makeAdr << 8);
  const bool withSegments = data[9] & 1;
  const uint8_t* page = data + 10;
  const size_t n = (size - 10) / kJournalRecordSize;

  const TEvList events = ParseJournalPage(state, makeAdr, page, n, withSegments ? segments : nullptr);
  FUZZ_CHECK(events.size() <= std::min(n, kMaxJournalRecords) * kMaxEventsPerRecord);
  const TEvItem undecodable = UndecodableEvent();
  for (const TEvItem& ev : events) {
    FUZZ_CHECK(IsProducibleEvent(ev));
    if (!(ev == undecodable)) FUZZ_CHECK(ev.MakeAdr == makeAdr);
    uint8_t rec[kEvRecordSize];
    EncodeEvItem(ev, rec);
    FUZZ_CHECK(DecodeEvItem(rec) == ev);
  }
  return 0;
}
