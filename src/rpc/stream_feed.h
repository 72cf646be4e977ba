// Feeds the event streams from the server: every monitoring-journal entry,
// every registration event once it is durable, the operator display's
// changes, a controller's link lost or back, journal reads begun and ended,
// and (while somebody follows the line stream) every frame. Each event is
// described once, as the JSON object subscribers receive:
//   monitoring:   the fields of sysvexon_GetMonEvent, "Description", "Time"
//   registration: the fields of sysvexon_GetRegEvent, "Description", "Time"
//   state:        {"Kind": "port"|"status"|"data"|"command"|"link"|
//                  "journalRead", ...the kind's fields, "Time"}
//   line:         {"Text": the trace file's line, "Time"}
// "Time" is ISO 8601 local time with milliseconds. Everything here runs on
// the publishing thread under the journal's lock where there is one, so it
// only formats and publishes; it never waits.
#pragma once

#include "core/server_core.h"
#include "events/event_hub.h"
#include "journals/mon_journal.h"
#include "util/operator_display.h"

namespace vexon {

// Passes every call on to the display it wraps and publishes the change on
// the state stream.
class TStreamDisplay final : public TOperatorDisplay {
 public:
  TStreamDisplay(TOperatorDisplay& inner, TEventHub& hub) : inner_(inner), hub_(hub) {}
  void ShowPort(int32_t portNumber) override;
  void ShowStatus(bool configured) override;
  void ShowDataState(bool configured, bool cardsPresent) override;
  void ShowCommand(const std::string& text) override;

 private:
  TOperatorDisplay& inner_;
  TEventHub& hub_;
};

// Sets the observers of the journals, the journal reads and the frame trace
// (before the communication thread starts).
void FeedStreams(TEventHub& hub, TServerCore& core, TMonJournal& monJournal);

}  // namespace vexon
