#include "journals/reg_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "journals/crc32.h"
#include "journals/reg_log.h"
#include "model/record_file.h"
#include "util/log.h"
#include "util/result_codes.h"

namespace vexon {

// ---------------------------------------------------------------------------
// Keys and the in-memory list

std::string RegEventKey(const TEvItem& ev, int32_t arrival) {
  const int s = ev.Seconds;
  char key[64];
  std::snprintf(key, sizeof key, "%04d%02d%02d%02d%02d%02d%010d", static_cast<int>(ev.Year), static_cast<int>(ev.Month),
                static_cast<int>(ev.Day), s / 3600, s % 3600 / 60, s % 60, arrival);
  return key;
}

TRegEvList::TRecord TRegEvList::Pack(const TEvItem& ev, int32_t arrival) {
  TRecord r;
  r.When = static_cast<uint64_t>(ev.Year) << 48 | static_cast<uint64_t>(ev.Month) << 40 |
           static_cast<uint64_t>(ev.Day) << 32 | static_cast<uint32_t>(ev.Seconds);
  r.Arrival = arrival;
  r.MakeAdr = ev.MakeAdr;
  r.CardID = ev.CardID;
  r.AdrAdd = static_cast<uint8_t>(ev.AdrAdd);  // at most 255 (IsProducibleEvent)
  r.EventType = ev.EventType;
  r.Event = ev.Event;
  r.Alarm = ev.Alarm;
  r.FacilityCode = ev.FacilityCode;
  return r;
}

TEvItem TRegEvList::Unpack(const TRecord& r) {
  TEvItem ev;
  ev.Year = static_cast<uint16_t>(r.When >> 48);
  ev.Month = static_cast<uint8_t>(r.When >> 40);
  ev.Day = static_cast<uint8_t>(r.When >> 32);
  ev.Seconds = static_cast<int32_t>(static_cast<uint32_t>(r.When));
  ev.Hour = static_cast<uint8_t>(ev.Seconds / 3600);
  ev.Minute = static_cast<uint8_t>(ev.Seconds % 3600 / 60);
  ev.Second = static_cast<uint8_t>(ev.Seconds % 60);
  ev.MakeAdr = r.MakeAdr;
  ev.AdrAdd = r.AdrAdd;
  ev.EventType = r.EventType;
  ev.Event = r.Event;
  ev.Alarm = r.Alarm;
  ev.CardID = r.CardID;
  ev.FacilityCode = r.FacilityCode;
  return ev;
}

bool TRegEvList::AddEvent(const TEvItem& ev) {
  if (!IsProducibleEvent(ev)) return false;
  if (arrival_ == INT32_MAX) arrival_ = 0;
  ++arrival_;
  if (count_ >= kSizeLimit) {
    TEvItem dropped;
    TakeFirst(dropped);
  }
  Insert(Pack(ev, arrival_));
  return true;
}

void TRegEvList::Insert(const TRecord& r) {
  ++count_;
  if (blocks_.empty() || !Less(r, blocks_.back().Recs.back())) {
    // Events mostly arrive in time order: append.
    if (blocks_.empty() || blocks_.back().Recs.size() >= kBlockSize) {
      blocks_.emplace_back();
      blocks_.back().Recs.reserve(kBlockSize);
    }
    blocks_.back().Recs.push_back(r);
    return;
  }
  // The first block whose last record comes after r; one exists, the last.
  const auto it = std::upper_bound(blocks_.begin(), blocks_.end(), r,
                                   [](const TRecord& v, const TBlock& b) { return Less(v, b.Recs.back()); });
  TBlock& b = *it;
  if (b.Head > 0) {
    b.Recs.erase(b.Recs.begin(), b.Recs.begin() + static_cast<ptrdiff_t>(b.Head));
    b.Head = 0;
  }
  const auto pos = std::upper_bound(b.Recs.begin(), b.Recs.end(), r, Less);
  if (b.Recs.size() < kBlockSize) {
    b.Recs.insert(pos, r);
    return;
  }
  // Full: split. The left part keeps everything before the insertion point
  // (at least half), so nearly ordered arrivals leave nearly full blocks.
  const size_t at = static_cast<size_t>(pos - b.Recs.begin());
  const size_t split = std::max(at, kBlockSize / 2);
  TBlock right;
  right.Recs.reserve(kBlockSize);
  right.Recs.assign(b.Recs.begin() + static_cast<ptrdiff_t>(split), b.Recs.end());
  b.Recs.erase(b.Recs.begin() + static_cast<ptrdiff_t>(split), b.Recs.end());
  if (at < split)
    b.Recs.insert(b.Recs.begin() + static_cast<ptrdiff_t>(at), r);
  else
    right.Recs.insert(right.Recs.begin(), r);
  blocks_.insert(it + 1, std::move(right));
}

bool TRegEvList::TakeFirst(TEvItem& out) {
  if (count_ == 0) return false;
  TBlock& f = blocks_.front();
  out = Unpack(f.Recs[f.Head++]);
  if (f.Head == f.Recs.size()) blocks_.pop_front();
  --count_;
  return true;
}

void TRegEvList::Clear() {
  blocks_.clear();
  blocks_.shrink_to_fit();
  count_ = 0;
}

void TRegEvList::Renumber() {
  int32_t n = 0;
  for (TBlock& b : blocks_)
    for (size_t i = b.Head; i < b.Recs.size(); ++i) b.Recs[i].Arrival = ++n;
  arrival_ = n;
}

std::string TRegEvList::FirstKey() const {
  if (count_ == 0) return {};
  const TBlock& f = blocks_.front();
  return RegEventKey(Unpack(f.Recs[f.Head]), f.Recs[f.Head].Arrival);
}

// ---------------------------------------------------------------------------
// Files

namespace {

std::string DirOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void SyncDirOf(const std::string& path) {
  const int dfd = ::open(DirOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

enum class TReadStatus { Missing, Ok, Error };

// Reads a file in chunks, handing each to `onBytes`. Missing only when the
// file does not exist; any other failure (permissions, a directory, an I/O
// error) is Error, after the chunks read so far.
template <class F>
TReadStatus ReadChunks(const std::string& path, F&& onBytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return TReadStatus::Missing;
    log::error("cannot open {}: {}", path, std::strerror(errno));
    return TReadStatus::Error;
  }
  // Chunks of up to 1 MiB, but no bigger than the file (plus one byte, so
  // that end of file is seen without a second, larger buffer); the buffer is
  // left uninitialised since every byte handed on was just read into it.
  size_t chunk = size_t{1} << 20;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0)
    chunk = std::clamp<size_t>(static_cast<size_t>(st.st_size) + 1, 4096, chunk);
  const std::unique_ptr<uint8_t[]> buf(new uint8_t[chunk]);
  TReadStatus status = TReadStatus::Ok;
  for (;;) {
    const long r = RegLogCalls().Read(fd, buf.get(), chunk);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      log::error("reading {} failed: {}", path, std::strerror(errno));
      status = TReadStatus::Error;
      break;
    }
    if (r == 0) break;
    onBytes(buf.get(), static_cast<size_t>(r));
  }
  ::close(fd);
  return status;
}

struct TBaseRead {
  TReadStatus Status = TReadStatus::Missing;
  uint64_t Size = 0;
  uint32_t Crc = 0;
  size_t Records = 0;
  size_t Skipped = 0;
};

// "buffer.bin": every whole record that decoding could have produced goes to
// `onEvent` in file order; the others are skipped with a log line. Size and
// CRC-32 cover the file's bytes as read.
template <class F>
TBaseRead ReadBufferFile(const std::string& path, F&& onEvent) {
  TBaseRead res;
  uint8_t rec[kEvRecordSize];
  size_t have = 0;
  auto record = [&](const uint8_t* p) {
    const TEvItem ev = DecodeEvItem(p);
    if (IsProducibleEvent(ev)) {
      onEvent(ev);
    } else {
      if (res.Skipped < 10) {
        char hex[kEvRecordSize * 2 + 1];
        for (size_t i = 0; i < kEvRecordSize; ++i) std::snprintf(hex + 2 * i, 3, "%02x", p[i]);
        log::warn("{}: record {} is no event that decoding can produce and was skipped: {}", path, res.Records, hex);
      }
      ++res.Skipped;
    }
    ++res.Records;
  };
  res.Status = ReadChunks(path, [&](const uint8_t* data, size_t n) {
    res.Crc = Crc32(res.Crc, data, n);
    res.Size += n;
    while (n > 0) {
      if (have == 0 && n >= kEvRecordSize) {
        record(data);
        data += kEvRecordSize;
        n -= kEvRecordSize;
        continue;
      }
      const size_t take = std::min(n, kEvRecordSize - have);
      std::memcpy(rec + have, data, take);
      have += take;
      data += take;
      n -= take;
      if (have == kEvRecordSize) {
        record(rec);
        have = 0;
      }
    }
  });
  if (res.Skipped > 0) log::warn("{}: {} of {} records skipped", path, res.Skipped, res.Records);
  if (res.Status == TReadStatus::Ok && have != 0)
    log::warn("{}: {} trailing bytes do not fill a record of {} bytes and were ignored", path, have, kEvRecordSize);
  return res;
}

struct TLogRead {
  bool Exists = false;
  bool HeaderOk = false;
  TRegLogHeader Header;
  std::vector<TRegLogEntry> Entries;
  uint64_t GoodLength = 0;  // header and whole entries
  uint64_t FileLength = 0;
  // The file starts with the log's magic (its header may still be bad).
  bool MagicOk = false;
  // Not read whole: a read error, or damage inside (not a torn tail).
  bool ReadError = false;
  bool DamagedInside = false;
};

TLogRead ReadLogFile(const std::string& path) {
  TLogRead res;
  std::vector<uint8_t> bytes;
  const TReadStatus st = ReadChunks(path, [&](const uint8_t* d, size_t n) { bytes.insert(bytes.end(), d, d + n); });
  if (st == TReadStatus::Missing) return res;
  res.Exists = true;
  res.ReadError = st == TReadStatus::Error;
  res.FileLength = bytes.size();
  res.MagicOk = HasRegLogMagic(bytes.data(), bytes.size());
  res.HeaderOk = DecodeRegLogHeader(bytes.data(), bytes.size(), res.Header);
  if (!res.HeaderOk) return res;
  res.GoodLength = kRegLogHeaderSize + ParseRegLogEntries(bytes.data() + kRegLogHeaderSize,
                                                         bytes.size() - kRegLogHeaderSize, res.Entries);
  res.DamagedInside = !IsTornTail(bytes.data() + res.GoodLength, bytes.size() - res.GoodLength);
  return res;
}

// `base`, or `base-2`, `base-3`...: the first name not taken, so that a file
// set aside never replaces one set aside before.
std::string UniqueAsideName(const std::string& base) {
  std::string name = base;
  for (int n = 2; ::access(name.c_str(), F_OK) == 0; ++n) name = base + "-" + std::to_string(n);
  return name;
}

// Applies log entries to the list; `addsOnly` when the log's base is not the
// list's (its takes and clears would then remove the wrong events).
void Replay(TRegEvList& list, const std::vector<TRegLogEntry>& entries, bool addsOnly) {
  for (const TRegLogEntry& e : entries) {
    switch (e.Kind) {
      case TRegLogKind::Add:
        for (const TEvItem& ev : e.Events) list.AddEvent(ev);
        break;
      case TRegLogKind::Take:
        if (!addsOnly) {
          TEvItem taken;
          uint32_t left = e.Count;
          while (left > 0 && list.TakeFirst(taken)) --left;
        }
        break;
      case TRegLogKind::Clear:
        if (!addsOnly) list.Clear();
        break;
    }
  }
}

std::vector<uint8_t> HeaderBytes(TRegLogMode mode, uint64_t size, uint32_t crc) {
  std::vector<uint8_t> h(kRegLogHeaderSize);
  EncodeRegLogHeader({mode, size, crc}, h.data());
  return h;
}

}  // namespace

TRegLogCalls& RegLogCalls() {
  static TRegLogCalls calls{[](int fd, const void* data, size_t size) -> long { return ::write(fd, data, size); },
                            [](int fd) { return ::fdatasync(fd); },
                            [](int fd, void* buf, size_t size) -> long { return ::read(fd, buf, size); }};
  return calls;
}

int64_t StatvfsFreeSpace(const std::string& dir) {
  struct statvfs st {};
  if (::statvfs(dir.c_str(), &st) != 0) return -1;
  const unsigned long long bytes = static_cast<unsigned long long>(st.f_bavail) * st.f_frsize;
  return bytes > static_cast<unsigned long long>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(bytes);
}

// ---------------------------------------------------------------------------
// The journal

TRegJournal::TRegJournal() = default;

TRegJournal::~TRegJournal() { CloseLogLocked(); }

void TRegJournal::SetBufferFilePath(std::string path) {
  std::lock_guard<std::mutex> g(lock_);
  bufferPath_ = std::move(path);
}

std::string TRegJournal::BufferFilePath() const {
  std::lock_guard<std::mutex> g(lock_);
  return bufferPath_;
}

std::string TRegJournal::LogFilePath() const {
  std::lock_guard<std::mutex> g(lock_);
  return LogPathLocked();
}

std::string TRegJournal::LogPathLocked() const {
  // "buffer.bin" -> "buffer.log"; a name without extension gets ".log".
  const auto slash = bufferPath_.find_last_of('/');
  const auto dot = bufferPath_.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
    return bufferPath_.substr(0, dot) + ".log";
  return bufferPath_ + ".log";
}

void TRegJournal::SetFreeSpaceSource(TFreeSpaceSource source) {
  std::lock_guard<std::mutex> g(lock_);
  freeSpace_ = std::move(source);
}

void TRegJournal::Create() {
  std::lock_guard<std::mutex> g(lock_);
  CloseLogLocked();
  list_ = std::make_unique<TRegEvList>();
  capacity_ = static_cast<int64_t>(TRegEvList::kSizeLimit);
  logBroken_ = false;
  bufferUnreadable_ = false;
  logUnreadable_ = false;
}

void TRegJournal::Free() {
  std::lock_guard<std::mutex> g(lock_);
  CloseLogLocked();
  list_.reset();
}

bool TRegJournal::Exists() const {
  std::lock_guard<std::mutex> g(lock_);
  return list_ != nullptr;
}

void TRegJournal::CloseLogLocked() {
  if (logFd_ >= 0) ::close(logFd_);
  logFd_ = -1;
  logSize_ = 0;
}

bool TRegJournal::OpenLogLocked(uint64_t truncateTo) {
  CloseLogLocked();
  const std::string path = LogPathLocked();
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    log::error("cannot open {} for appending: {}; journal reads will fail until it can be written", path,
               std::strerror(errno));
    if (fd >= 0) ::close(fd);
    logBroken_ = true;
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > truncateTo) {
    // A torn tail goes before anything is appended behind it.
    log::warn("{}: {} bytes of a torn or damaged tail dropped", path, static_cast<uint64_t>(st.st_size) - truncateTo);
    if (::ftruncate(fd, static_cast<off_t>(truncateTo)) != 0 || ::fdatasync(fd) != 0) {
      log::error("cannot cut the tail of {}: {}", path, std::strerror(errno));
      ::close(fd);
      logBroken_ = true;
      return false;
    }
  }
  logFd_ = fd;
  logSize_ = truncateTo;
  logBroken_ = false;
  return true;
}

bool TRegJournal::AppendLocked(const std::vector<uint8_t>& bytes, bool sync) {
  if (logFd_ < 0 || logBroken_) return false;
  size_t done = 0;
  bool ok = true;
  while (done < bytes.size()) {
    const long w = RegLogCalls().Write(logFd_, bytes.data() + done, bytes.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(w);
  }
  bool synced = true;
  if (ok && sync && RegLogCalls().Sync(logFd_) != 0) ok = synced = false;
  if (ok) {
    logSize_ += bytes.size();
    return true;
  }
  const int err = errno;
  // Cut the partial entry so that later entries stay readable. After a
  // failed fsync nothing unsynced can be trusted: no further appends.
  const bool cut = ::ftruncate(logFd_, static_cast<off_t>(logSize_)) == 0;
  logBroken_ = !cut || !synced;
  log::error("writing {} failed: {}{}", LogPathLocked(), std::strerror(err),
             logBroken_ ? "; nothing more is appended to it: the next events are stored by writing the journal anew" : "");
  return false;
}

bool TRegJournal::StartIndependentLogLocked() {
  CloseLogLocked();
  list_->Renumber();  // replaying the log from empty gives these numbers
  std::vector<uint8_t> bytes = HeaderBytes(TRegLogMode::Independent, 0, 0);
  std::vector<TEvItem> chunk;
  chunk.reserve(kMaxRegLogAddCount);
  auto flush = [&] {
    if (chunk.empty()) return;
    AppendRegLogAdd(bytes, chunk.data(), chunk.size());
    chunk.clear();
  };
  list_->ForEach([&](const TEvItem& ev, int32_t) {
    chunk.push_back(ev);
    if (chunk.size() == chunk.capacity()) flush();
  });
  flush();
  if (!AtomicWriteFile(LogPathLocked(), bytes)) {
    logBroken_ = true;
    return false;
  }
  return OpenLogLocked(bytes.size());
}

bool TRegJournal::FoldLocked() {
  // Until "buffer.bin" is replaced the open log still describes the list
  // (renumbering keeps its order), so a failed write goes back to it.
  const bool hadLog = logFd_ >= 0 && !logBroken_;
  const uint64_t hadSize = logSize_;
  auto keepOld = [&] {
    if (!hadLog || !OpenLogLocked(hadSize)) logBroken_ = true;
    return false;
  };
  CloseLogLocked();
  list_->Renumber();  // a fresh load of the new file gives these numbers
  std::vector<uint8_t> snapshot(list_->Count() * kEvRecordSize);
  size_t i = 0;
  list_->ForEach([&](const TEvItem& ev, int32_t) { EncodeEvItem(ev, snapshot.data() + kEvRecordSize * i++); });
  const std::string logPath = LogPathLocked();
  const std::string newPath = logPath + ".new";
  const auto head =
      HeaderBytes(TRegLogMode::Relative, snapshot.size(), Crc32(0, snapshot.data(), snapshot.size()));
  // Each step leaves files that load recognises: the old pair, or the new
  // "buffer.bin" with its log still named ".new".
  if (!AtomicWriteFile(newPath, head)) return keepOld();
  if (!AtomicWriteFile(bufferPath_, snapshot)) {
    ::unlink(newPath.c_str());
    return keepOld();
  }
  if (::rename(newPath.c_str(), logPath.c_str()) != 0) {
    log::error("cannot rename {} to {}: {}", newPath, logPath, std::strerror(errno));
    logBroken_ = true;
    return false;
  }
  SyncDirOf(logPath);
  return OpenLogLocked(kRegLogHeaderSize);
}

int64_t TRegJournal::ComputeCapacityLocked() const {
  const std::string dir = DirOf(bufferPath_);
  const int64_t free = freeSpace_ ? freeSpace_(dir) : StatvfsFreeSpace(dir);
  if (free < 0) {
    log::warn("free space of {} unknown; the registration capacity is the size limit", dir);
    return static_cast<int64_t>(TRegEvList::kSizeLimit);
  }
  return (free - kReserveBytes + static_cast<int64_t>(kEvRecordSize) * static_cast<int64_t>(list_->Count())) /
         static_cast<int64_t>(kEvRecordSize);
}

bool TRegJournal::LoadBufferFile() {
  std::lock_guard<std::mutex> g(lock_);
  if (!list_) return false;
  CloseLogLocked();
  logBroken_ = false;
  bufferUnreadable_ = false;
  if (!Persisted()) {
    capacity_ = static_cast<int64_t>(TRegEvList::kSizeLimit);
    return false;
  }
  const std::string logPath = LogPathLocked();
  const std::string newPath = logPath + ".new";
  TLogRead cur = ReadLogFile(logPath);
  const TLogRead next = ReadLogFile(newPath);
  // A header that begins as this log's but does not hold is damage to a
  // file that may carry events: kept as it is, like a damaged entry.
  const bool damagedHeader = cur.Exists && !cur.HeaderOk && cur.MagicOk;
  logUnreadable_ = cur.ReadError || cur.DamagedInside || next.ReadError || damagedHeader;
  if (logUnreadable_) {
    // Its events since the last fold may be behind the error: nothing of it
    // is cut, renamed or folded, and no page is read that could not be
    // stored, until a start reads it whole.
    log::error("{} cannot be read whole ({}): it is left as it is, and no controller journal is read in this run; "
               "the controllers keep their events until a start can read it",
               cur.ReadError || cur.DamagedInside || damagedHeader ? logPath : newPath,
               cur.ReadError || next.ReadError ? "a read error"
               : damagedHeader               ? "its header is damaged"
                                             : "damaged before its last entry");
  } else if (cur.Exists && !cur.HeaderOk) {
    // Not this log's file at all: out of the way, under a name of its own.
    const std::string aside = UniqueAsideName(logPath + ".damaged");
    if (::rename(logPath.c_str(), aside.c_str()) == 0) {
      log::error("{} is not a registration log; moved to {} and not used", logPath, aside);
      cur = TLogRead{};
    } else {
      logUnreadable_ = true;
      log::error("{} is not a registration log and cannot be moved aside ({}): it is left as it is, and no "
                 "controller journal is read in this run", logPath, std::strerror(errno));
    }
  }

  // The log replays onto the list as the files describe it: events already
  // in memory (none at start-up) join afterwards and are written with it.
  std::vector<TEvItem> earlier;
  list_->ForEach([&](const TEvItem& ev, int32_t) { earlier.push_back(ev); });
  list_ = std::make_unique<TRegEvList>();
  TRegEvList& list = *list_;
  TBaseRead base;
  // How the state on disk is brought up to date afterwards.
  enum class TAfter { Fold, StartOnBase, ReuseLog } after = TAfter::Fold;
  bool promoteNext = false;  // "buffer.log.new" becomes the log
  if (cur.HeaderOk && cur.Header.Mode == TRegLogMode::Independent) {
    // The log holds the whole list; "buffer.bin" joins only when it reads.
    Replay(list, cur.Entries, false);
    std::vector<TEvItem> fromBase;
    base = ReadBufferFile(bufferPath_, [&](const TEvItem& ev) { fromBase.push_back(ev); });
    if (base.Status == TReadStatus::Ok && !fromBase.empty()) {
      log::warn("{} can be read again: its {} events join the {} of {} (some may be delivered twice)", bufferPath_,
                fromBase.size(), list.Count(), logPath);
      for (const TEvItem& ev : fromBase) list.AddEvent(ev);
    }
    after = base.Status == TReadStatus::Error ? TAfter::ReuseLog : TAfter::Fold;
  } else {
    base = ReadBufferFile(bufferPath_, [&](const TEvItem& ev) { list.AddEvent(ev); });
    auto belongs = [&](const TLogRead& l) {
      return l.HeaderOk && l.Header.Mode == TRegLogMode::Relative && base.Status != TReadStatus::Error &&
             l.Header.BaseSize == base.Size && l.Header.BaseCrc == base.Crc;
    };
    if (belongs(cur)) {
      Replay(list, cur.Entries, false);
      after = cur.Entries.empty() ? TAfter::ReuseLog : TAfter::Fold;
    } else if (belongs(next)) {
      // A fold wrote "buffer.bin" but not its last rename: the new log (empty
      // by construction) is the one.
      Replay(list, next.Entries, false);
      after = next.Entries.empty() ? TAfter::StartOnBase : TAfter::Fold;
      promoteNext = next.Entries.empty();
    } else if (cur.HeaderOk) {
      log::warn("{} does not belong to {}: only its added events are kept (some may be delivered again)", logPath,
                bufferPath_);
      Replay(list, cur.Entries, true);
      after = TAfter::Fold;
    } else {
      after = TAfter::StartOnBase;  // first run, or an older server's file
    }
  }
  if (!earlier.empty()) {
    for (const TEvItem& ev : earlier) list.AddEvent(ev);
    after = TAfter::Fold;  // or, "buffer.bin" unreadable, a new independent log
    promoteNext = false;
  }
  if (logUnreadable_) {
    // The list is what could be read; nothing on disk changes in this run.
    capacity_ = ComputeCapacityLocked();
    return base.Status == TReadStatus::Ok;
  }
  // A ".new" not taken up is left from a fold that never wrote "buffer.bin".
  if (next.Exists && !promoteNext) ::unlink(newPath.c_str());

  if (base.Status == TReadStatus::Error) {
    bufferUnreadable_ = true;
    log::error("{} exists but cannot be read: it is left as it is, and the registration events are kept in {}",
               bufferPath_, logPath);
    if (after == TAfter::ReuseLog)
      OpenLogLocked(cur.GoodLength);
    else
      StartIndependentLogLocked();
  } else if (after == TAfter::ReuseLog) {
    OpenLogLocked(cur.GoodLength);
  } else if (after == TAfter::StartOnBase) {
    // The list is exactly a fresh load of "buffer.bin": an empty log on it.
    const bool ok = promoteNext ? ::rename(newPath.c_str(), logPath.c_str()) == 0
                                : AtomicWriteFile(logPath, HeaderBytes(TRegLogMode::Relative, base.Size, base.Crc));
    if (ok) {
      SyncDirOf(logPath);
      OpenLogLocked(kRegLogHeaderSize);
    } else {
      log::error("cannot start {}", logPath);
      logBroken_ = true;
    }
  } else {
    FoldLocked();
  }
  capacity_ = ComputeCapacityLocked();
  return base.Status == TReadStatus::Ok;
}

bool TRegJournal::SaveBufferFile() {
  std::lock_guard<std::mutex> g(lock_);
  if (!list_ || !Persisted()) return false;
  if (logUnreadable_) {
    log::error("{} could not be read whole at start-up and is not replaced; {} is not written either",
               LogPathLocked(), bufferPath_);
    return false;
  }
  if (bufferUnreadable_) {
    log::error("{} could not be read at start-up and is not overwritten; the {} events stay in {}", bufferPath_,
               list_->Count(), LogPathLocked());
    if (logFd_ >= 0) ::fdatasync(logFd_);
    return false;
  }
  return FoldLocked();
}

bool TRegJournal::AddEventsLocked(const TEvList& events, bool sync, TEvList* added) {
  if (!list_) return false;
  TEvList valid;
  valid.reserve(events.size());
  for (const TEvItem& ev : events)
    if (IsProducibleEvent(ev)) valid.push_back(ev);
  if (valid.size() != events.size())
    log::warn("{} events that decoding cannot produce were not added", events.size() - valid.size());
  if (valid.empty()) return true;
  if (Persisted() && logUnreadable_) return false;
  if (Persisted() && logBroken_ && !bufferUnreadable_ && FoldLocked())
    log::info("{} written anew after a failed write: events are accepted again", LogPathLocked());
  if (Persisted()) {
    std::vector<uint8_t> bytes;
    AppendRegLogAdd(bytes, valid.data(), valid.size());
    if (!AppendLocked(bytes, sync)) return false;
  }
  for (const TEvItem& ev : valid)
    if (list_->AddEvent(ev) && added) added->push_back(ev);
  return true;
}

bool TRegJournal::AddEventsDurable(const TEvList& events) {
  std::lock_guard<std::mutex> g(lock_);
  if (!durableObserver_) return AddEventsLocked(events, true, nullptr);
  TEvList added;
  if (!AddEventsLocked(events, true, &added)) return false;
  for (const TEvItem& ev : added) durableObserver_(ev);
  return true;
}

bool TRegJournal::AddEvents(const TEvList& events) {
  std::lock_guard<std::mutex> g(lock_);
  return AddEventsLocked(events, false, nullptr);
}

bool TRegJournal::LogUsableLocked() {
  if (logUnreadable_) return false;
  // After a failed write or sync the log is not appended to: the list in
  // memory is written anew ("buffer.bin" and an empty log) first.
  if (logBroken_ && !bufferUnreadable_ && FoldLocked())
    log::info("{} written anew after a failed write: changes are accepted again", LogPathLocked());
  return true;
}

bool TRegJournal::LogTakesLocked(uint32_t n) {
  // Not synced: after a crash the event may be delivered again. Written
  // before the events leave the list: a take that cannot be logged is not
  // handed out, or a restart would deliver it again.
  if (!Persisted() || n == 0) return true;
  if (!LogUsableLocked()) return false;
  std::vector<uint8_t> bytes;
  AppendRegLogTake(bytes, n);
  return AppendLocked(bytes, false);
}

int32_t TRegJournal::TakeOldestEvent(TEvItem& out) {
  std::lock_guard<std::mutex> g(lock_);
  if (!list_ || list_->Empty()) return rcNoRegEvents;
  if (!LogTakesLocked(1)) return rcInternal;
  list_->TakeFirst(out);
  return rcOk;
}

int32_t TRegJournal::TakeOldestEvents(size_t max, std::vector<TEvItem>& out) {
  std::lock_guard<std::mutex> g(lock_);
  if (!list_) return rcNoRegEvents;
  const size_t n = std::min(max, list_->Count());
  if (!LogTakesLocked(static_cast<uint32_t>(n))) return rcInternal;
  TEvItem ev;
  for (size_t i = 0; i < n && list_->TakeFirst(ev); ++i) out.push_back(ev);
  return n == max ? rcOk : rcNoRegEvents;
}

bool TRegJournal::ClearEvents() {
  std::lock_guard<std::mutex> g(lock_);
  if (!list_) return true;
  if (Persisted()) {
    if (!LogUsableLocked()) return false;
    std::vector<uint8_t> bytes;
    AppendRegLogClear(bytes);
    if (!AppendLocked(bytes, false)) return false;
  }
  list_->Clear();
  return true;
}

size_t TRegJournal::Count() const {
  std::lock_guard<std::mutex> g(lock_);
  return list_ ? list_->Count() : 0;
}

int64_t TRegJournal::Capacity() const {
  std::lock_guard<std::mutex> g(lock_);
  return capacity_;
}

bool TRegJournal::HasRoomForPage() const {
  std::lock_guard<std::mutex> g(lock_);
  if (!list_) return false;
  const int64_t count = static_cast<int64_t>(list_->Count());
  return count < capacity_ && list_->Count() + kMaxEventsPerPage <= TRegEvList::kSizeLimit;
}

bool TRegJournal::BufferFileUnreadable() const {
  std::lock_guard<std::mutex> g(lock_);
  return bufferUnreadable_;
}

bool TRegJournal::LogUnreadable() const {
  std::lock_guard<std::mutex> g(lock_);
  return logUnreadable_;
}

}  // namespace vexon
