// The registration event list: events read from the controllers' journals,
// oldest first, kept on disk so that no event confirmed to a controller is
// lost.
//
// Order. Each entry is keyed by a 24-character text, year (4 digits),
// month, day, hour, minute, second (2 digits each) and a 10-digit arrival
// number, compared as text. The list holds only events that decoding can
// produce (IsProducibleEvent), whose fields all fill their digits exactly,
// so that text order is the order of (Year, Month, Day, Seconds, arrival
// number); TRegEvList keeps compact 24-byte records in that order in sorted
// blocks and forms the text key (RegEventKey) only when asked. The arrival
// counter is signed 32-bit, 0 for a new list, raised before each
// insertion, back to 0 after 2147483647, kept by ClearEvents.
//
// Files, in the folder of "buffer.bin" (the data directory):
//
//   "buffer.bin"      N records of 21 bytes (reg_decode.h),
//                     in list order, no header. Read at start-up, written at
//                     shut-down, always as a whole: temporary file, fsync,
//                     rename (AtomicWriteFile).
//   "buffer.log"      append-only log of every change since "buffer.bin"
//                     was written: pages of events added (written and
//                     fdatasync'ed before AddEventsDurable returns), events
//                     taken and clears (written at once, not synced: after a
//                     crash they may be delivered again, after an orderly
//                     stop never). Each entry carries a CRC-32; a torn or
//                     damaged tail is dropped, never decoded. Its header names
//                     the "buffer.bin" (size and CRC-32) it applies to, so a
//                     log left over from an interrupted fold is recognised.
//                     Format in reg_log.h. After a failed write or sync
//                     nothing more is appended to it: the next event added
//                     first folds the list in memory into a new pair
//                     (SaveBufferFile's work), and fails if that fails.
//   "buffer.log.new"  a fold in progress: the empty log for the "buffer.bin"
//                     being written. Fold = write it, write "buffer.bin",
//                     rename it over "buffer.log"; a crash at any point
//                     leaves a pair that load recognises.
//   "buffer.log.damaged"  a "buffer.log" whose header could not be read,
//                     kept aside for inspection ("-2", "-3"... when taken).
//                     A log that cannot be read whole (a read error, or
//                     damage before its last entry) is never set aside,
//                     cut or folded: that run stores nothing (LogUnreadable)
//                     and the next start tries it again.
//
// Load ("buffer.bin", then the log) rebuilds the list exactly as it stood
// when the last entry was written and folds the log into "buffer.bin". A
// "buffer.bin" that exists but cannot be read is never overwritten: the list
// then lives in an independent log (the whole list as added events, then
// its changes), which later loads replay on their own and merge with
// "buffer.bin" once it can be read again (events may then come twice, none
// is lost). A log that does not match "buffer.bin" gives only its added
// events (again: duplicates possible, no loss). Records of "buffer.bin" that
// decoding could not have produced are skipped with a log line.
//
// Registration capacity: computed by LoadBufferFile as (free bytes of the
// data directory - 2097152 + 21 * events loaded) / 21, from statvfs unless
// a free-space source is injected.
//
// TRegJournal is the process-wide object: the list (created and freed as the
// server's start-up and shut-down) behind the registration-list lock, which
// every operation takes. No operation waits for the controllers; the fsync
// of AddEventsDurable is the only disk wait under the lock. Nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "journals/reg_decode.h"

namespace vexon {

// The 24-character key of `ev` with its arrival number; Hour, Minute
// and Second are taken from Seconds, as AddEvent fills them.
std::string RegEventKey(const TEvItem& ev, int32_t arrival);

// The registration event list itself: ordered, owning, not locked (the
// journal's lock guards it).
class TRegEvList {
 public:
  static constexpr size_t kSizeLimit = 4177920;

  // Fills Hour, Minute and Second from Seconds, gives the next arrival
  // number, drops the oldest entry when the list holds kSizeLimit or more,
  // and inserts. False, and nothing changes, when `ev` is not an event that
  // decoding can produce.
  bool AddEvent(const TEvItem& ev);
  // Removes the first (oldest) entry into `out`; false when empty.
  bool TakeFirst(TEvItem& out);
  // Removes every entry; the arrival counter is kept.
  void Clear();
  size_t Count() const { return count_; }
  bool Empty() const { return count_ == 0; }

  int32_t ArrivalCounter() const { return arrival_; }
  void SetArrivalCounter(int32_t v) { arrival_ = v; }
  // Gives the entries arrival numbers 1..Count in list order and sets the
  // counter to Count: the state a fresh load of the list's own records
  // would give, order unchanged.
  void Renumber();

  // Key of the first entry ("" when empty).
  std::string FirstKey() const;
  // f(const TEvItem&, int32_t arrival) for every entry in list order.
  template <class F>
  void ForEach(F&& f) const {
    for (const TBlock& b : blocks_)
      for (size_t i = b.Head; i < b.Recs.size(); ++i) f(Unpack(b.Recs[i]), b.Recs[i].Arrival);
  }

 private:
  // 24 bytes; When = Year << 48 | Month << 40 | Day << 32 | Seconds.
  struct TRecord {
    uint64_t When = 0;
    int32_t Arrival = 0;
    uint16_t MakeAdr = 0;
    uint16_t CardID = 0;
    uint8_t AdrAdd = 0;
    uint8_t EventType = 0;
    uint8_t Event = 0;
    uint8_t Alarm = 0;
    uint8_t FacilityCode = 0;
  };
  // A sorted run of at most kBlockSize records; entries before Head have
  // been taken already.
  struct TBlock {
    std::vector<TRecord> Recs;
    size_t Head = 0;
  };
  static constexpr size_t kBlockSize = 512;

  static bool Less(const TRecord& a, const TRecord& b) {
    return a.When < b.When || (a.When == b.When && a.Arrival < b.Arrival);
  }
  static TRecord Pack(const TEvItem& ev, int32_t arrival);
  static TEvItem Unpack(const TRecord& r);
  void Insert(const TRecord& r);

  std::deque<TBlock> blocks_;
  size_t count_ = 0;
  int32_t arrival_ = 0;
};

// Free bytes of the file system holding `dir` for an unprivileged writer, or
// -1 when it cannot be asked.
using TFreeSpaceSource = std::function<int64_t(const std::string& dir)>;
int64_t StatvfsFreeSpace(const std::string& dir);

// The calls that read "buffer.bin" and the logs and put the log's entries
// on disk, replaceable by tests that watch their order or make them fail (a
// full disk, a failing device). Set them only while no journal is in use.
struct TRegLogCalls {
  std::function<long(int fd, const void* data, size_t size)> Write;
  std::function<int(int fd)> Sync;
  std::function<long(int fd, void* buf, size_t size)> Read;
};
// The calls in use: ::write, ::fdatasync and ::read unless a test set others.
TRegLogCalls& RegLogCalls();

class TRegJournal {
 public:
  static constexpr int64_t kReserveBytes = 2097152;

  TRegJournal();
  ~TRegJournal();
  TRegJournal(const TRegJournal&) = delete;
  TRegJournal& operator=(const TRegJournal&) = delete;

  // Path of "buffer.bin"; the log files are named from it. Empty (the
  // default): nothing is persisted, Load and Save return false and every
  // add succeeds in memory.
  void SetBufferFilePath(std::string path);
  std::string BufferFilePath() const;
  std::string LogFilePath() const;
  void SetFreeSpaceSource(TFreeSpaceSource source);

  // Start-up: a new empty list (arrival counter 0); closes a log left open.
  void Create();
  // Shut-down: frees the list and closes the log; saves nothing.
  void Free();
  bool Exists() const;

  // Start-up, after Create: loads "buffer.bin" and the log, folds the log
  // into "buffer.bin", opens a fresh log and computes the capacity (also
  // when there is no file). Events already in the list are kept and written
  // with the loaded ones. True when "buffer.bin" existed and was read whole.
  // False, doing nothing, when the list does not exist.
  bool LoadBufferFile();
  // Shut-down, after the communication thread has stopped: writes the list
  // to "buffer.bin" (atomically) and starts an empty log. False when the
  // list does not exist, nothing is persisted, "buffer.bin" could not be
  // read at load (it is left as it is; the log holds everything), or the
  // write failed (the previous files still hold the list).
  bool SaveBufferFile();

  // The journal-read step, for each page before the command that confirms
  // it: adds the events in order and returns only when they are on stable
  // storage. False, adding nothing, when the list does not exist or the log
  // cannot be written (the page must then not be confirmed).
  bool AddEventsDurable(const TEvList& events);
  // Told of each event AddEventsDurable added, once it is on stable storage,
  // in order, under the registration-list lock (it must not call back into
  // the journal or wait). The event streams follow the list this way. Set
  // before the journal is used.
  void SetDurableObserver(std::function<void(const TEvItem&)> observer) { durableObserver_ = std::move(observer); }
  // AddEvents: the same without waiting for the disk.
  bool AddEvents(const TEvList& events);
  // sysvexon_GetRegEvent: 67 when the list is missing or empty, else 0 and
  // the oldest event (removed; the removal is logged first). 36, leaving
  // the event first in the list, when the removal cannot be logged (a full
  // disk): an event handed out without its take would come again after a
  // restart.
  int32_t TakeOldestEvent(TEvItem& out);
  // sysvexon_GetRegEventArray: takes up to `max` oldest events into `out`
  // (appended, oldest first) with one log entry. 0 when `max` events were
  // taken (more may be waiting); 67 when the list was missing or ran out
  // first; 36, taking nothing, when the entry cannot be logged.
  int32_t TakeOldestEvents(size_t max, std::vector<TEvItem>& out);
  // sysvexon_ClearRegJournal: empties the list (logged first); counter
  // kept. False, clearing nothing, when the clear cannot be logged.
  bool ClearEvents();

  size_t Count() const;
  // The registration capacity of the last LoadBufferFile (the size limit
  // until then, or when the free space could not be read).
  int64_t Capacity() const;
  // The journal-read step's test before each page: the list exists, holds
  // fewer events than the capacity, and a page's worst case (256 events)
  // fits under the size limit, so that no event read is dropped for room.
  bool HasRoomForPage() const;
  // True after a load found "buffer.bin" unreadable (kept untouched).
  bool BufferFileUnreadable() const;
  // True after a load found "buffer.log" (or "buffer.log.new") unreadable
  // or damaged before its last entry. It is kept untouched for the run:
  // nothing is added, taken, cleared or saved, and no journal is read.
  bool LogUnreadable() const;

  // Tests and benchmarks: the list under the lock (not called without one).
  template <class F>
  void With(F&& f) {
    std::lock_guard<std::mutex> g(lock_);
    if (list_) f(*list_);
  }

 private:
  bool Persisted() const { return !bufferPath_.empty(); }
  std::string LogPathLocked() const;
  bool AddEventsLocked(const TEvList& events, bool sync, TEvList* added);
  bool LogTakesLocked(uint32_t n);
  // False when the log was found unreadable; otherwise first rewrites a log
  // that a failed write or sync left unusable (appends then fail if that
  // failed too).
  bool LogUsableLocked();
  bool AppendLocked(const std::vector<uint8_t>& bytes, bool sync);
  void CloseLogLocked();
  bool OpenLogLocked(uint64_t truncateTo);
  bool FoldLocked();
  bool StartIndependentLogLocked();
  int64_t ComputeCapacityLocked() const;

  mutable std::mutex lock_;
  std::unique_ptr<TRegEvList> list_;
  std::function<void(const TEvItem&)> durableObserver_;
  std::string bufferPath_;
  TFreeSpaceSource freeSpace_;
  int64_t capacity_ = static_cast<int64_t>(TRegEvList::kSizeLimit);
  int logFd_ = -1;
  uint64_t logSize_ = 0;
  bool logBroken_ = false;
  bool bufferUnreadable_ = false;
  bool logUnreadable_ = false;
};

}  // namespace vexon
