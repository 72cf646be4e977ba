#include "core/journal_read.h"

#include "link/protocol.h"
#include "util/log.h"
#include "util/result_codes.h"

namespace vexon {

void TJournalReadStep::SetPending(uint8_t sysAdr, uint8_t value) {
  core_.Model.Controllers.Update(sysAdr, [value](TTKDItem& rec) { rec.JournalPending = value; });
}

bool TJournalReadStep::Step(const TRequestPtr& r, const std::string& key) {
  auto* item = dynamic_cast<TCardRegistrationItem*>(r->Buf.get());
  if (!item) {
    core_.Requests.RemoveRequest(key);
    return true;
  }
  // The first step of a read (nothing tried yet) and every end are told to
  // whoever follows the server's state.
  if (item->Continue == 0 && item->Failures == 0 && core_.OnJournalRead) core_.OnJournalRead(static_cast<uint16_t>(item->MakeAdr), true, 0);
  const auto end = [&](int32_t code, int32_t i1, int32_t i2, int32_t i3) {
    if (core_.OnJournalRead) core_.OnJournalRead(static_cast<uint16_t>(item->MakeAdr), false, code);
    FinishRequest(core_, r, key, code, i1, i2, i3);
  };
  if (core_.RegJournal.LogUnreadable()) {
    // Nothing read could be stored: the controllers keep their events.
    end(rcInternal, 0, 0, 0);
    return true;
  }
  if (!core_.RegJournal.HasRoomForPage()) {
    end(rcOk, 0, 0, 0);
    return true;
  }
  TTKDItem rec;
  if (item->ControllerIndex < 0 || item->ControllerIndex > 254 ||
      !core_.Model.Controllers.GetRecord(static_cast<uint8_t>(item->ControllerIndex), rec)) {
    end(rcBadController, 0, 0, 0);
    return true;
  }
  const uint8_t sys = static_cast<uint8_t>(item->ControllerIndex);
  const bool first = item->Continue == 0 && rec.JournalPending == 0;
  TPage page;
  const bool ok =
      core_.Commands.ReadJournalPage(first ? proto::cmdJournalPage : proto::cmdJournalPageClear, item->MakeAdr, page);
  if (!ok) {
    ++item->Failures;
    // The flag says what the controller was sent. A 0x31 that never left
    // (a stop just before it) leaves the stored page unconfirmed and the
    // flag set, so the next read confirms it instead of reading it twice;
    // one that may have left could have deleted the page behind it, so the
    // next read starts with a first page.
    if (first || core_.Link.LastFrameLeft()) SetPending(sys, 0);
    if (item->Failures >= 2) {
      end(core_.Link.GetLinkResult(), 0, 0, 0);
      return true;
    }
    item->Continue = 0;
    return false;
  }
  SetPending(sys, 1);
  ++item->Failures;
  const TEvList events = ParseJournalPage(decode_[item->MakeAdr], item->MakeAdr, page.Data.data(),
                                          static_cast<size_t>(page.Records), &core_.Segments);
  if (!core_.RegJournal.AddEventsDurable(events)) {
    // Not on disk: the page must not be confirmed. The next read of this
    // controller asks for it again with 0x30.
    SetPending(sys, 0);
    log::error("registration events of controller {} could not be stored; the page stays unconfirmed", item->MakeAdr);
    end(rcInternal, 0, 0, 0);
    return true;
  }
  if (page.SecondCode && page.Records == 0) {
    SetPending(sys, 0);
    item->Continue = 1;
    end(rcOk, 0, 0, 0);
    return true;
  }
  item->Continue = 1;
  item->Failures = 0;
  return false;
}

}  // namespace vexon
