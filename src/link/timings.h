// Time-outs of the link, in milliseconds. Parameters of the link object with
// these defaults, so tests can shorten them.
#pragma once

#include <cstdint>

namespace vexon {

struct TLinkTimings {
  uint32_t DefaultTotalMs = 1500;      // read total time-out before any configuration
  uint32_t IntervalMs = 30;            // a read ends once the line is idle this long
  uint32_t AutoconfigMs = 3600000;     // total time-out while autoconfiguration waits
  uint32_t StatusQueryMs = 70;         // status queries of the poll and of 0x48/0x49
  uint32_t PerControllerMs = 60;       // read total time-out per controller...
  uint32_t MinTotalMs = 600;           // ...but at least this
  // Wait answers (0xF5) are followed for at most this many read total
  // time-outs in all; then the exchange ends as "no answer".
  uint32_t WaitAnswerLimitTimeouts = 10;
  // A read that expects one answer frame ends as soon as the bytes read form
  // one whole frame (its length byte met and its checksum right) instead of
  // after IntervalMs of silence. Off by default: a site turns it on with
  // "EarlyFrameEnd" in section "LINE" or --early-frame-end.
  bool EarlyFrameEnd = false;
};

}  // namespace vexon
