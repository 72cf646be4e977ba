// The stream methods as clients see them: their description in
// rpc.discover, the reading of their params, and the texts of what a
// subscriber receives.
//
// vexon.subscribe {"streams": ["monitoring", ...], "from": {"monitoring": N},
//   "run": R} -> {"subscription": S, "run": R, "next": {"monitoring": N, ...}}
//   `from` (optional) names the first number wanted per stream; `run`
//   (optional) the run those numbers belong to.
// vexon.unsubscribe {"subscription": S} -> {"subscription": S}
// vexon.event (notification) {"subscription": S, "stream": ..., "seq": N,
//   "event": {...}}, or {"subscription": S, "gap": {"stream": ...,
//   "missed": K}} for K events the subscriber will not get.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "events/event_hub.h"

namespace vexon {

// The stream methods in the OpenRPC form ("x-streams"."methods" of
// rpc.discover, beside the operations' "methods").
nlohmann::json StreamMethodsDescription();
// The notifications the server sends ("x-streams"."notifications").
nlohmann::json StreamNotificationsDescription();

// Reads vexon.subscribe's params. False with `why` when they are wrong.
bool ReadSubscribeParams(const nlohmann::json& params, TSubscribeRequest& out, std::string& why);
// The "next" object of an answer: a member per stream followed.
nlohmann::json NextObject(const TSubscribeRequest& request, const TSubscribeResult& result);

// One vexon.event notification line (without the newline), appended to
// `out`.
void AppendNotification(std::string& out, uint64_t subscription, const TDelivery& d);

}  // namespace vexon
