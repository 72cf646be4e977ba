// The metrics page (GET /metrics) in the Prometheus text format: the line,
// the request and answer queues, the journals, the RPC calls and
// connections and the event streams.
#pragma once

#include <cstdint>
#include <string>

#include "automation/server_object.h"
#include "events/event_hub.h"

namespace vexon {

// `hub` null: no stream families.
std::string MetricsText(TServices& services, const TEventHub* hub, int connectionsOpen, uint64_t refused);

}  // namespace vexon
