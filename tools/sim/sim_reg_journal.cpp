#include "sim/sim_reg_journal.h"

namespace vexon::sim {

namespace {
bool SameMinute(const TDateFields& a, const TDateFields& b) {
  return a.Year == b.Year && a.Month == b.Month && a.Day == b.Day && a.Hour == b.Hour && a.Minute == b.Minute;
}
}  // namespace

TJournalRecord JournalDateRecord(const TDateFields& when) {
  const int y = when.Year >= 2000 ? when.Year - 2000 : when.Year - 1900;
  const int minute = when.Minute, hour = when.Hour, day = when.Day, month = when.Month;
  return {static_cast<uint8_t>((minute >> 3) & 7), static_cast<uint8_t>(((minute & 7) << 5) | (hour & 0x1F)),
          static_cast<uint8_t>(((day & 0x1F) << 3) | ((month >> 1) & 7)),
          static_cast<uint8_t>(((month & 1) << 7) | (y & 0x7F))};
}

void TSimRegJournal::Add(const TDateFields& when, TJournalRecord record) {
  record[1] = static_cast<uint8_t>((record[1] & 0xC0) | (when.Second & 0x3F));
  events_.push_back({when, record});
}

std::vector<uint8_t> TSimRegJournal::Page(bool confirm, bool& last) {
  if (confirm) {
    const size_t n = std::min(served_, events_.size());
    events_.erase(events_.begin(), events_.begin() + static_cast<long>(n));
    confirmed_ += n;
  }
  std::vector<uint8_t> data;
  size_t records = 0, served = 0;
  const TDateFields* dated = nullptr;
  for (const TEntry& e : events_) {
    const bool needDate = dated == nullptr || !SameMinute(*dated, e.When);
    if (records + (needDate ? 2 : 1) > kPageRecords) break;
    if (needDate) {
      const TJournalRecord d = JournalDateRecord(e.When);
      data.insert(data.end(), d.begin(), d.end());
      ++records;
      dated = &e.When;
    }
    data.insert(data.end(), e.Record.begin(), e.Record.end());
    ++records;
    ++served;
  }
  served_ = served;
  last = served >= events_.size();
  return data;
}

}  // namespace vexon::sim
