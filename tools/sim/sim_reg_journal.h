// A controller's registration journal as the simulator keeps it: event
// records (kinds 1 to 5) with their date and time, served in pages of up to
// 32 four-byte records. Every page starts with a date record, and a new
// date record comes wherever the minute changes, because an event record
// carries only its second. A page stays in the journal until the next 0x31
// confirms it; 0x30 serves the journal again from its start.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "util/date_time.h"

namespace vexon::sim {

using TJournalRecord = std::array<uint8_t, 4>;

// The date record (kind 0) of a date and minute; years 1997..2096.
TJournalRecord JournalDateRecord(const TDateFields& when);

class TSimRegJournal {
 public:
  static constexpr size_t kPageRecords = 32;

  // Appends an event record; bits 0-5 of byte 1 take the second of `when`.
  void Add(const TDateFields& when, TJournalRecord record);
  // The next page: `confirm` (0x31) first deletes the page served last.
  // `last` is true when the page holds the last events (or none).
  std::vector<uint8_t> Page(bool confirm, bool& last);
  size_t Pending() const { return events_.size(); }
  // Events deleted because a 0x31 confirmed their page.
  uint64_t Confirmed() const { return confirmed_; }
  // Events in the page served last, not yet confirmed.
  size_t Served() const { return served_; }

 private:
  struct TEntry {
    TDateFields When;
    TJournalRecord Record;
  };
  std::deque<TEntry> events_;
  size_t served_ = 0;
  uint64_t confirmed_ = 0;
};

}  // namespace vexon::sim
