#include "core/executor.h"

#include <cstdio>

#include "model/system_file.h"
#include "util/log.h"
#include "util/result_codes.h"

namespace vexon {

namespace {
template <class T>
const T* As(const TEventQueueItem& r) {
  return dynamic_cast<const T*>(r.Buf.get());
}
bool IsMultiPass(const TEventQueueItem& r) {
  return ((r.Kind == rkSendCard || r.Kind == rkSendAutCardList) && r.BufKind == bkList) || r.Kind == rkReadRegJournal;
}
}  // namespace

void TExecutor::Finish(const TRequestPtr& r, const std::string& key, int32_t value, int32_t a, int32_t b, int32_t c) {
  FinishRequest(core_, r, key, value, a, b, c);
}

void TExecutor::FinishStandard(const TRequestPtr& r, const std::string& key, bool ok, const TTransactResult& t) {
  const int32_t v = core_.Link.GetLinkResult();
  if (ok)
    Finish(r, key, v, t.Quality, t.Expected, t.Ready);
  else
    Finish(r, key, v, 0, 0, 0);
}

bool TExecutor::BufKindFits(const TEventQueueItem& r) const {
  const uint8_t k = r.Kind;
  const uint8_t bk = r.BufKind;
  const bool buffer = bk == bkBuffer && As<TBufItem>(r);
  switch (k) {
    case 0: case 4: case 5: case 6: case 7: case 8: case 9: case 10: case 11: case 12:
    case 39: case 40:
    case 64: case 65: case 66: case 67: case 68: case 69: case 70: case 71: case 75: case 76:
      return buffer;
    case 35:
      return buffer || (bk == bkList && As<TSendCardListItem>(r));
    case 37:
      return buffer || (bk == bkList && As<TSendAutCardListItem>(r));
    case 16:
      return bk == bkObject && As<TBufItem>(r);
    case 17: case 18: case 19:
      return (bk == bkObject && As<TBufItem>(r)) || (bk == bkList && As<TLongBufItem>(r));
    case 32:
      // An object request carries the pending segments as numbered when it
      // was queued (or nothing: the live pending list).
      return (bk == bkObject && (!r.Buf || As<TCardList>(r))) || (bk == bkList && As<TCardList>(r));
    case 33: case 36:
      return bk == bkObject && As<TMakeAdrItem>(r);
    case 72:
      return bk == bkObject && As<TCardZoneItem>(r);
    case 73: case 74: case 144:
      return bk == bkObject && As<TCardCodeItem>(r);
    case 48:
      return bk == bkObject && As<TCardRegistrationItem>(r);
    default:
      return false;
  }
}

bool TExecutor::AutonomousShortcut(const TEventQueueItem& r) const {
  if (r.Kind < rkSendAutCardList || r.Kind > rkSendAutRkd) return false;
  int32_t position = -1;
  if (r.Kind == rkSendAutCardList) {
    // The carried autonomous list names its controller; a ready buffer
    // carries the system address in byte 0.
    if (const TBufItem* b = As<TBufItem>(r))
      position = b->Data[0];
    else if (const TSendAutCardListItem* l = As<TSendAutCardListItem>(r))
      position = l->ControllerIndex;
  } else if (const TBufItem* b = As<TBufItem>(r)) {
    position = b->Data[0];
  }
  if (position < 0 || position > 255) return false;
  TTKDItem rec;
  return core_.Model.Controllers.GetRecord(static_cast<uint8_t>(position), rec) && rec.Drv2Merged != 0;
}

int TExecutor::ExecuteRequests(int32_t caller) {
  const uint32_t start = core_.Clock.TickMs();
  int steps = 0;
  for (;;) {
    // Checked before every request and every step of a multi-pass one.
    if (StopAsked()) break;
    TRequestPtr r;
    std::string key;
    if (!core_.Requests.GetFirstRequest(r, key)) break;
    char text[48];
    std::snprintf(text, sizeof text, "(%d) %u->%zu", caller, static_cast<unsigned>(r->Kind),
                  core_.Requests.RequestCount());
    core_.Display.ShowCommand(text);
    ++steps;
    if (r->Cancelled) {
      core_.Requests.RemoveRequest(key);
    } else if (core_.Health.PrimaryConfigBroken && r->Kind != rkAutoconfig && !core_.ServerLock.IsServerLocked()) {
      Finish(r, key, rcPrimaryConfigBroken, 0, 0, 0);
    } else if (AutonomousShortcut(*r)) {
      Finish(r, key, rcOk, 1, 1, 1);
    } else if (!BufKindFits(*r)) {
      if (r->Kind == rkReadRegJournal) {
        core_.Requests.RemoveRequest(key);
      } else if (r->Kind == rkSetCardZone) {
        core_.Answers.DiscardAnswer(r->EventID);
        core_.Requests.RemoveRequest(key);
      } else {
        Finish(r, key, rcBadCommand, 0, 0, 0);
      }
    } else {
      Step(r, key);
    }
    if (TickElapsed(core_.Clock.TickMs(), start) >= kBudgetMs) break;
  }
  return steps;
}

void TExecutor::Step(const TRequestPtr& r, const std::string& key) {
  TCommands& cmd = core_.Commands;
  TLink& link = core_.Link;
  TTransactResult t;
  if (IsMultiPass(*r)) {
    multiPass_->Step(r, key);
    return;
  }
  switch (r->Kind) {
    case rkAutoconfig:
      StepAutoconfig(r, key);
      return;
    case rkSetReaderZone:
      StepReaderZone(r, key, *As<TBufItem>(*r));
      return;
    case rkSendCalendar: {
      const TBufItem& b = *As<TBufItem>(*r);
      const bool ok = cmd.SendRecord(proto::cmdCalendar, b.Data.data(), b.Length, t);
      FinishStandard(r, key, ok, t);
      return;
    }
    case rkSendTimeZone:
    case rkSendWeekDiagram:
    case rkSendShiftDiagram: {
      const uint8_t command = static_cast<uint8_t>(proto::cmdTimeZone + (r->Kind - rkSendTimeZone));
      bool ok;
      if (const TBufItem* b = As<TBufItem>(*r))
        ok = cmd.SendRecord(command, b->Data.data(), b->Length, t);
      else {
        const TLongBufItem& l = *As<TLongBufItem>(*r);
        ok = cmd.SendTable(command, l.Data.data(), static_cast<size_t>(l.Size), t);
      }
      FinishStandard(r, key, ok, t);
      return;
    }
    case rkSendSegments: {
      // The active list becomes the segments this request sent, with the
      // sent flags of this transfer, whatever a client has done to the
      // pending list meanwhile.
      TCardList list = r->BufKind == bkList || r->Buf ? *As<TCardList>(*r) : core_.Segments.PendingCopy();
      const bool ok = r->BufKind == bkList ? cmd.SendSegmentList(list, t) : cmd.SendPendingSegments(list, t);
      if (ok && !core_.Segments.CopyListToActive(list)) log::error("saving {} failed", core_.CardFilePath());
      FinishStandard(r, key, ok, t);
      core_.RefreshDataIndicator();
      return;
    }
    case rkClearSegments: {
      const bool ok = cmd.SendClearSegments(As<TMakeAdrItem>(*r)->MakeAdr, t);
      // The controllers may hold part of it or none: the local mapping goes.
      if (!core_.Segments.ClearActive()) log::error("saving {} failed", core_.CardFilePath());
      FinishStandard(r, key, ok, t);
      core_.RefreshDataIndicator();
      return;
    }
    case rkClearCardList:
      cmd.SendClearCards(As<TMakeAdrItem>(*r)->MakeAdr, t);
      Finish(r, key, link.GetLinkResult(), 0, 0, 0);
      return;
    case rkSetCardZone: {
      const TCardZoneItem& z = *As<TCardZoneItem>(*r);
      if (cmd.SendCardZone(z.FacilityCode, z.CardID, z.ZoneNumber))
        core_.CardZones.UpdateCardZone(z.FacilityCode, z.CardID, z.ZoneNumber);
      core_.Answers.DiscardAnswer(r->EventID);
      core_.Requests.RemoveRequest(key);
      return;
    }
    case rkDisableCard: {
      const TCardCodeItem& c = *As<TCardCodeItem>(*r);
      if (cmd.SendCardFlag(c.FacilityCode, c.CardID, 0, t)) core_.Suppression.StampDisabledCard(c.FacilityCode, c.CardID);
      Finish(r, key, link.GetLinkResult(), 0, 0, 0);
      return;
    }
    case rkEnableCard: {
      const TCardCodeItem& c = *As<TCardCodeItem>(*r);
      const bool ok = cmd.SendCardFlag(c.FacilityCode, c.CardID, 1, t);
      FinishStandard(r, key, ok, t);
      return;
    }
    case rkGetCardZone: {
      const TCardCodeItem& c = *As<TCardCodeItem>(*r);
      uint8_t zone = 0;
      cmd.QueryCardZone(c.FacilityCode, c.CardID, zone);
      Finish(r, key, link.GetLinkResult(), link.Status() == lsOk ? zone : 0, 0, 0);
      return;
    }
    default: {
      const TBufItem& b = *As<TBufItem>(*r);
      const bool ok = link.Transact(b.Data.data(), b.Length, t);
      FinishStandard(r, key, ok, t);
      return;
    }
  }
}

void TExecutor::StepAutoconfig(const TRequestPtr& r, const std::string& key) {
  const bool ok = core_.Commands.Autoconfigure();
  const int32_t autoconfigResult = core_.Link.GetLinkResult();
  const double now = core_.Clock.Now();
  const auto records = core_.Model.Controllers.Snapshot();
  for (size_t i = 0; i < records.size(); ++i) {
    // A stop ends the status reads: a read cut short by it says nothing
    // about the controller.
    if (StopAsked()) break;
    const uint8_t sys = records[i].SysAdr;
    std::array<uint8_t, 7> status{};
    if (core_.Commands.QueryStatus(sys, status)) {
      // Only the bytes and their time: the monitoring poll's refresh marks
      // the block valid and changed.
      core_.Model.Controllers.Update(sys, [&](TTKDItem& rec) {
        rec.Status = status;
        rec.StatusTime = now;
      });
    } else if (i == 0 && !StopAsked()) {
      core_.Model.Controllers.Update(sys, [](TTKDItem& rec) { rec.Status[1] |= 0x80; });
    }
  }
  // A failed autoconfiguration is answered with its own failure, whatever
  // the status reads that follow it gave.
  const int32_t result = ok ? core_.Link.GetLinkResult() : autoconfigResult;
  Finish(r, key, result, 0, 0, 0);
  if (ok)
    log::info("autoconfiguration found {} controllers (result {})", core_.Model.Controllers.Count(), result);
  else
    log::warn("autoconfiguration failed: {} {}", result, GetErrorStr(result));
  core_.RefreshIndicators();
}

void TExecutor::StepReaderZone(const TRequestPtr& r, const std::string& key, const TBufItem& b) {
  TTransactResult t;
  const bool ok = core_.Link.Transact(b.Data.data(), b.Length, t);
  FinishStandard(r, key, ok, t);
  if (!ok || !core_.Model.IsConfigured()) return;
  const uint8_t sys = b.Data[0], reader = b.Data[1], zone = b.Data[3];
  // Address1 0xFF with a reader number addresses the controllers of the zone
  // with that number, not every controller: nothing is recorded for it.
  const bool changed = sys != proto::kAll && core_.Model.Controllers.SetReaderZone(sys, reader, zone);
  if (changed && !SaveSystemFile(core_.Model.Controllers, core_.SystemFilePath()))
    log::error("saving {} failed", core_.SystemFilePath());
}

}  // namespace vexon
