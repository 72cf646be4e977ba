// Decoding of the primary controller's 4-byte monitoring records into
// events: time records date what follows, event records map controller
// addresses and card indexes, status records (types 10 to 13) are compared
// with the stored status blocks and yield one event per change.
#pragma once

#include <cstdint>
#include <vector>

#include "journals/mon_types.h"
#include "link/commands.h"
#include "model/card_segments.h"
#include "model/card_zones.h"
#include "model/devices.h"
#include "model/disable_list.h"
#include "queue/request_queue.h"
#include "util/server_lock.h"

namespace vexon {

// What decoding reads and changes.
struct TDecodeContext {
  TDeviceModel& Model;
  TCardSegments& Segments;
  TCardZoneList& Zones;
  TSuppression& Suppression;
  TServerLock& ServerLock;
  TRequests& Requests;
  TLinkHealth& Health;
};

// The date-time of a time record read at `now`: the current year and month,
// or the previous month when its day is after today's. False when the
// fields do not make a valid date and time.
bool DateOfTimeRecord(const TRawRecord& r, double now, double& out);

// Queues a registration-journal read of one controller (kind 48, no answer).
void QueueJournalRead(TDecodeContext& ctx, int32_t makeAdr);

// Yields at most one event from `r` (changing its bytes as it goes); `more`
// tells whether another call would yield the next one.
bool DecodeEvent(TDecodeContext& ctx, TRawRecord& r, double time, TMJItem& ev, bool& more);

// Decodes a poll's raw records in order into `events`; `now` dates them.
void DecodeRecords(TDecodeContext& ctx, std::vector<TRawRecord>& raw, double now, TMJList& events);

// Marks redundant events: an operator alarm beside a real alarm, a system
// mode change beside the same autonomous one, an input activation beside
// its input alarm.
void SuppressDuplicates(TMJList& events);

}  // namespace vexon
