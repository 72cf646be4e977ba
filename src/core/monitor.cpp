#include "core/monitor.h"

#include <cstring>

#include "link/protocol.h"
#include "util/log.h"

namespace vexon {

using namespace proto;

TMonitor::TMonitor(TServerCore& core, TMonJournal& journal)
    : core_(core),
      journal_(journal),
      ctx_{core.Model, core.Segments, core.CardZones, core.Suppression, core.ServerLock, core.Requests, core.Health} {}

void TMonitor::StartMonitoring() {
  firstPass_ = true;
  monitoringOn_ = true;
  core_.Wakeup.Notify();
}

void TMonitor::StopMonitoring() { monitoringOn_ = false; }

bool TMonitor::Poll() {
  if (!monitoringOn_) return false;
  TUart* u = core_.Port.Uart();
  const bool portOpen = u && !u->IsClosed();
  MonitoringPoll();
  if (!portOpen) return false;
  // A closed port or a vanished device fails at once; the thread then waits
  // before the next try instead of spinning.
  switch (core_.Link.Status()) {
    case lsNoPort:
    case lsPortClosed:
    case lsSendFailed:
    case lsReadFailed:
      return false;
    default:
      return true;
  }
}

bool TMonitor::QueryPrimaryStatus(std::array<uint8_t, 7>& status) {
  TUart* u = core_.Port.Uart();
  if (u) u->SetReadTimeout(core_.Port.Timings().StatusQueryMs);
  bool ok = core_.Commands.QueryStatus(0, status);
  if (!ok) ok = core_.Commands.QueryStatus(0, status);
  if (u) u->SetReadTimeout(core_.Port.ReadTotalTimeout());
  return ok;
}

void TMonitor::MonitoringPoll() {
  if (!monitoringOn_) return;
  TUart* u = core_.Port.Uart();
  if (!u || u->IsClosed()) {
    core_.Health.LinkDown = true;
    return;
  }
  raw_.clear();
  events_.clear();
  const bool wasDown = core_.Health.LinkDown;
  TTKDList& tkd = core_.Model.Controllers;

  std::array<uint8_t, 7> primary{};
  if (!QueryPrimaryStatus(primary)) {
    CountFailure();
    if (wasDown || failCount_ < 2) return;
    AddLinkEvent(true);
    PublishEvents();
    if (tkd.Count() > 0) {
      uint8_t b2 = 0;
      tkd.GetStatusByte(0, 2, b2);
      tkd.SetStatusByte(0, 2, static_cast<uint8_t>(b2 | 0x80));
    }
    core_.Health.LinkDown = true;
    failCount_ = 0;
    return;
  }
  failCount_ = 0;
  if (primary[1] & 0x40) {
    if (!core_.Health.PrimaryConfigBroken && tkd.Count() > 0) {
      tkd.Update(0, [](TTKDItem& r) {
        r.USCSValid = 1;
        r.USCSChanged = 1;
        r.Status[1] |= 0x40;
      });
      ReportConfigurationViolation();
    }
    core_.Health.PrimaryConfigBroken = true;
    return;
  }
  if (core_.Health.PrimaryConfigBroken && tkd.Count() > 0) tkd.Update(0, [](TTKDItem& r) { r.USCSValid = 0; });
  core_.Health.PrimaryConfigBroken = false;

  if (!core_.Model.IsConfigured()) return;

  if (firstPass_) {
    for (const auto& rec : tkd.Snapshot()) {
      std::array<uint8_t, 7> st{};
      if (!core_.Commands.QueryStatus(rec.SysAdr, st)) continue;
      tkd.Update(rec.SysAdr, [&](TTKDItem& r) { r.Status = st; });
      if (st[1] & 0x01) QueueJournalRead(ctx_, rec.MakeAdr);
    }
  }

  const bool ok = FetchPages();
  if (!ok) {
    CountFailure();
    if (!wasDown) tkd.Update(0, [](TTKDItem& r) { r.USCSValid = 0; });
  } else {
    failCount_ = 0;
    core_.Health.LinkDown = false;
    if (wasDown) {
      AddLinkEvent(false);
      tkd.Update(0, [](TTKDItem& r) { r.USCSValid = 0; });
    }
  }
  DecodeRecords(ctx_, raw_, core_.Clock.Now(), events_);
  SuppressDuplicates(events_);
  StatusRefresh();
  refreshAll_ = false;
  if (!firstPass_) PublishEvents();
  firstPass_ = false;
}

bool TMonitor::FetchPages() {
  useNextCommand_ = false;
  lastPageCount_ = 0;
  for (int pages = 0; pages < kMaxPagesPerPoll; ++pages) {
    TPage page;
    bool read = core_.Commands.ReadMonitorPage(useNextCommand_ ? cmdMonitorPageClear : cmdMonitorPage, page);
    if (!read) {
      useNextCommand_ = false;
      read = core_.Commands.ReadMonitorPage(cmdMonitorPage, page);
      if (!read) return false;
    }
    useNextCommand_ = true;
    int32_t n = page.Records;
    if (n == lastPageCount_ && n >= 1 && n <= 32 &&
        std::memcmp(page.Data.data(), lastPage_.data(), static_cast<size_t>(n) * kRecordLen) == 0) {
      n = 0;
    } else if (n > 0) {
      lastPage_ = page.Data;
      lastPageCount_ = n;
    }
    for (int32_t i = 0; i < n; ++i) {
      const uint8_t* p = page.Data.data() + i * kRecordLen;
      raw_.push_back({p[0], p[1], p[2], p[3]});
    }
    if (raw_.size() > kMaxRecordsPerPoll) {
      TPage ignored;
      core_.Commands.ReadMonitorPage(cmdMonitorPageClear, ignored);
      return true;
    }
    if (page.SecondCode && n == 0) return true;
  }
  return true;
}

void TMonitor::AddLinkEvent(bool lost) {
  const int32_t make = core_.Model.Addresses.FindMakeAdr(0);
  if (make < 0) return;
  core_.Model.Controllers.Update(0, [&](TTKDItem& r) {
    r.Status[1] = lost ? static_cast<uint8_t>(r.Status[1] | 0x80) : static_cast<uint8_t>(r.Status[1] & ~0x80);
  });
  TMJItem ev;
  ev.Time = core_.Clock.Now();
  ev.MakeAdr = static_cast<uint16_t>(make);
  ev.EventCode = 14;
  ev.EventAdd = lost ? 1 : 0;
  events_.push_back(ev);
  if (lost)
    log::warn("link with the primary controller lost");
  else
    log::info("link with the primary controller restored");
}

void TMonitor::ReportConfigurationViolation() {
  events_.clear();
  const int32_t make = core_.Model.Addresses.FindMakeAdr(0);
  if (make < 0) return;
  const double now = core_.Clock.Now();
  TMJItem ev;
  ev.Time = now;
  ev.MakeAdr = static_cast<uint16_t>(make);
  ev.EventCode = 18;
  ev.EventAdd = 1;
  events_.push_back(ev);
  for (const auto& rec : core_.Model.Controllers.Snapshot()) {
    if (rec.SysAdr == 0) continue;
    const int32_t m = core_.Model.Addresses.FindMakeAdr(rec.SysAdr);
    if (m < 0) continue;
    TMJItem lost;
    lost.Time = now;
    lost.MakeAdr = static_cast<uint16_t>(m);
    lost.EventCode = 14;
    lost.EventAdd = 1;
    events_.push_back(lost);
  }
  PublishEvents();
}

void TMonitor::PublishEvents() { journal_.Publish(events_); }

void TMonitor::StatusRefresh() {
  TTKDList& tkd = core_.Model.Controllers;
  for (size_t i = 0;; ++i) {
    TTKDItem rec;
    if (!tkd.GetRecordAt(i, rec)) break;
    if (!(rec.USCSValid == 0 || core_.Health.LinkDown || refreshAll_)) continue;
    std::array<uint8_t, 7> st{};
    if (!core_.Commands.QueryStatus(rec.SysAdr, st)) {
      tkd.Update(rec.SysAdr, [&](TTKDItem& r) {
        r.USCSValid = 0;
        if (i == 0) {
          r.Status[1] |= 0x80;
          r.USCSChanged = 1;
        }
      });
      continue;
    }
    tkd.Update(rec.SysAdr, [&](TTKDItem& r) {
      r.USCSValid = 1;
      if (st[1] & 0x40)
        r.Status[1] |= 0x40;
      else
        r.Status = st;
      r.USCSChanged = 1;
    });
  }
}

}  // namespace vexon
