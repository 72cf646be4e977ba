// GET /events: the event streams as server-sent events.
//
//   GET /events?streams=monitoring,state[&from=monitoring:N,state:M][&run=R]
//
// Each event is "id: <stream>:<seq>", "event: <stream>", "data: <the event
// as JSON>"; a gap is "event: gap" with data {"stream": ..., "missed": K}
// (no id). The first message, "event: subscribed", carries {"run": R,
// "next": {...}}. `from` names the first number wanted per stream, as
// vexon.subscribe's `from` does; a Last-Event-ID header ("monitoring:57",
// or several such, comma-separated) resumes after the events it names and
// wins over `from` for those streams. A comment line goes out after every
// KeepAliveMs without an event, so that proxies keep the connection open.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "events/event_hub.h"

namespace vexon {

// Reads the query of the target and the Last-Event-ID header. False with
// `why` (the client gets 400) when they are wrong.
bool ReadEventsRequest(std::string_view target, std::string_view lastEventId, TSubscribeRequest& out, std::string& why);

struct TEventStreamIo {
  std::function<bool(const std::string&)> Write;  // false: the connection is gone
  std::function<bool()> Ended;                    // the server stops, or the peer hung up
  int KeepAliveMs = 15000;
};

// Writes the response head and then the stream until a write fails or
// Ended() says so (checked at least once a second).
void ServeEventStream(TEventHub& hub, const TSubscribeRequest& request, const TEventStreamIo& io);

}  // namespace vexon
