#include "rpc/stream_feed.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>
#include <nlohmann/json.hpp>

#include "automation/descriptions.h"
#include "util/date_time.h"

namespace vexon {

namespace {

std::string Iso(int year, int month, int day, int hour, int minute, int second, int ms) {
  char text[96];  // room for any int in each field
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", year, month, day, hour, minute, second, ms);
  return text;
}

std::string IsoOfMicros(int64_t micros) {
  const time_t secs = static_cast<time_t>(micros / 1000000);
  std::tm tm{};
  localtime_r(&secs, &tm);
  return Iso(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
             static_cast<int>(micros % 1000000 / 1000));
}

std::string IsoNow() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return IsoOfMicros(static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec);
}

void PublishState(TEventHub& hub, nlohmann::json j) {
  j["Time"] = IsoNow();
  hub.Publish(TStream::State, j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

std::string MonitoringText(const TMJItem& ev, const TMonItem& m) {
  const TDateFields f = DecodeDateTime(ev.Time);
  const nlohmann::json j = {{"Year", m.Year},
                            {"Month", m.Month},
                            {"Day", m.Day},
                            {"Hour", m.Hour},
                            {"Minute", m.Minute},
                            {"Second", m.Second},
                            {"MakeAdr", m.MakeAdr},
                            {"AdrAdd", m.AdrAdd},
                            {"EventCode", m.EventCode},
                            {"EventAdd", m.EventAdd},
                            {"CardID", m.CardID},
                            {"FacilityCode", m.FacilityCode},
                            {"Description", GetMonEventDescription(m.EventCode, m.EventAdd)},
                            {"Time", Iso(f.Year, f.Month, f.Day, f.Hour, f.Minute, f.Second, f.Millisecond)}};
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string RegistrationText(const TEvItem& ev) {
  const nlohmann::json j = {{"Year", ev.Year},
                            {"Month", ev.Month},
                            {"Day", ev.Day},
                            {"Hour", ev.Hour},
                            {"Minute", ev.Minute},
                            {"Second", ev.Second},
                            {"MakeAdr", ev.MakeAdr},
                            {"AdrAdd", ev.AdrAdd},
                            {"EventType", ev.EventType},
                            {"Event", ev.Event},
                            {"Alarm", ev.Alarm != 0 ? 1 : 0},
                            {"FacilityCode", ev.FacilityCode},
                            {"CardID", ev.CardID},
                            {"Description", GetRegEventDescription(ev.EventType, ev.Event)},
                            {"Time", Iso(ev.Year, ev.Month, ev.Day, ev.Hour, ev.Minute, ev.Second, 0)}};
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Monitoring code 14: a controller's link lost (EventAdd 1) or back (0).
constexpr uint8_t kLinkEvent = 14;

}  // namespace

void TStreamDisplay::ShowPort(int32_t portNumber) {
  inner_.ShowPort(portNumber);
  PublishState(hub_, {{"Kind", "port"}, {"PortNumber", portNumber}, {"Open", portNumber != 0}});
}

void TStreamDisplay::ShowStatus(bool configured) {
  inner_.ShowStatus(configured);
  PublishState(hub_, {{"Kind", "status"}, {"Configured", configured}, {"Text", StatusText(configured)}});
}

void TStreamDisplay::ShowDataState(bool configured, bool cardsPresent) {
  inner_.ShowDataState(configured, cardsPresent);
  PublishState(hub_, {{"Kind", "data"},
                      {"Configured", configured},
                      {"CardsPresent", cardsPresent},
                      {"Text", DataStateText(configured, cardsPresent)}});
}

void TStreamDisplay::ShowCommand(const std::string& text) {
  inner_.ShowCommand(text);
  PublishState(hub_, {{"Kind", "command"}, {"Text", text}});
}

void FeedStreams(TEventHub& hub, TServerCore& core, TMonJournal& monJournal) {
  // A batch of the journal goes to the hub in one piece: a subscriber is
  // woken once per batch. Observer and batch end run under the journal's
  // lock, one Publish at a time, so the pending lists need no lock of their own.
  struct TPending {
    std::vector<std::string> Monitoring;
    std::vector<nlohmann::json> Links;
  };
  auto pending = std::make_shared<TPending>();
  monJournal.SetObserver(
      [pending](const TMJItem& ev, const TMonItem& entry) {
        pending->Monitoring.push_back(MonitoringText(ev, entry));
        if (entry.EventCode == kLinkEvent)
          pending->Links.push_back({{"Kind", "link"}, {"MakeAdr", entry.MakeAdr}, {"Lost", entry.EventAdd != 0}});
      },
      [pending, &hub] {
        std::vector<std::string> texts;
        texts.swap(pending->Monitoring);
        std::vector<nlohmann::json> links;
        links.swap(pending->Links);
        hub.PublishAll(TStream::Monitoring, std::move(texts));
        for (auto& j : links) PublishState(hub, std::move(j));
      });
  core.RegJournal.SetDurableObserver([&hub](const TEvItem& ev) { hub.Publish(TStream::Registration, RegistrationText(ev)); });
  core.OnJournalRead = [&hub](uint16_t makeAdr, bool started, int32_t result) {
    nlohmann::json j = {{"Kind", "journalRead"}, {"MakeAdr", makeAdr}, {"Started", started}};
    if (!started) j["Result"] = result;
    PublishState(hub, std::move(j));
  };
  core.Link.Trace().SetObserver([&hub](const std::string& line, int64_t micros) {
    if (!hub.Wanted(TStream::Line)) return;
    const nlohmann::json j = {{"Text", line}, {"Time", IsoOfMicros(micros)}};
    hub.Publish(TStream::Line, j.dump());
  });
}

}  // namespace vexon
