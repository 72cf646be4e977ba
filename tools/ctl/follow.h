// vexonctl's stream followers: subscribes to event streams (vexon.subscribe)
// and prints each event as it comes, with its description. Nothing is taken
// from the server's journals. With asJson every event is one JSON
// object a line: the event's fields plus "stream" and "seq"; a gap prints
// {"stream":..., "gap": K}. Text lines per stream:
//   monitoring   date-time  controller  item  card  description
//   registration date-time  controller  reader/driver  card  description
//   state        time  what changed
#pragma once

#include <string>
#include <vector>

#include "ctl/rpc_client.h"

namespace vexon::ctl {

// Subscribes the connection to `streams`; false (with the reason printed)
// when the server refuses.
bool SubscribeStreams(TRpcClient& client, const std::vector<std::string>& streams);
// Prints a vexon.event notification (ignores anything else).
void PrintNotification(const nlohmann::json& notification, bool asJson);

// One event as a text line (no newline): what the follower prints.
std::string EventLine(const std::string& stream, const nlohmann::json& event);

}  // namespace vexon::ctl
