// The registration journal's append-only log, "buffer.log" beside
// "buffer.bin" (format only; TRegJournal in reg_journal.h owns the files).
//
// Layout, every multi-byte field little-endian:
//
//   Header, 26 bytes:
//     0  8  magic "VXREGLOG"
//     8  1  version, 1
//     9  1  mode: 0 relative (the log applies on top of the "buffer.bin"
//           whose size and CRC-32 follow), 1 independent (the log alone
//           holds the list; "buffer.bin" could not be read when it began)
//    10  8  base size: byte length of that "buffer.bin" (0 when missing)
//    18  4  base CRC-32 of that file's bytes (0 when missing)
//    22  4  CRC-32 of header bytes 0..21
//
//   Entries, one after another, each:
//     0  1  kind: 1 add, 2 take, 3 clear
//     1  4  count: add, the number of 21-byte event records that follow;
//           take, the number of events taken from the front; clear, 0
//     5  -  add only: count event records of 21 bytes (reg_decode.h)
//     .  4  CRC-32 of the entry's bytes from its kind to the end of its
//           records
//
// Reading stops at the first entry that is incomplete, has an unknown kind
// or count, or fails its CRC: that entry and everything after it are never
// decoded. When that is the last entry (IsTornTail) it is the torn tail of
// a crash and is dropped; otherwise the log is damaged inside and is kept
// as it is (TRegJournal).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "journals/reg_decode.h"

namespace vexon {

constexpr size_t kRegLogHeaderSize = 26;
// The most events one add entry carries (a page holds at most 256; an
// independent log is written in entries of 4096). A torn write cuts an
// entry after its count, so a larger count is damage, not a torn tail.
constexpr uint32_t kMaxRegLogAddCount = 4096;
constexpr size_t kRegLogEntryOverhead = 9;  // kind, count, CRC

enum class TRegLogMode : uint8_t { Relative = 0, Independent = 1 };
enum class TRegLogKind : uint8_t { Add = 1, Take = 2, Clear = 3 };

struct TRegLogHeader {
  TRegLogMode Mode = TRegLogMode::Relative;
  uint64_t BaseSize = 0;
  uint32_t BaseCrc = 0;
};

struct TRegLogEntry {
  TRegLogKind Kind = TRegLogKind::Clear;
  uint32_t Count = 0;
  std::vector<TEvItem> Events;  // add only
};

void EncodeRegLogHeader(const TRegLogHeader& h, uint8_t* out26);
// False when the bytes are not a header of this format and version.
bool DecodeRegLogHeader(const uint8_t* in, size_t size, TRegLogHeader& h);

// Append one entry's bytes to `out` (adds: as many entries as it takes).
void AppendRegLogAdd(std::vector<uint8_t>& out, const TEvItem* events, size_t n);
void AppendRegLogTake(std::vector<uint8_t>& out, uint32_t count);
void AppendRegLogClear(std::vector<uint8_t>& out);

// Whether the first bytes of a file are this log's magic, whatever the rest
// of its header holds.
bool HasRegLogMagic(const uint8_t* in, size_t size);

// Parses the entries in `data` (the bytes after the header). Returns the
// length of the good prefix; `out` gets its entries.
size_t ParseRegLogEntries(const uint8_t* data, size_t size, std::vector<TRegLogEntry>& out);
// Whether the `size` bytes behind the last whole entry are a torn tail that
// a crash can leave: nothing but zeros (space allocated but not written), or
// one entry cut short or failing its CRC, possibly followed by zeros. Anything
// more (whole-looking data behind a bad entry) is damage inside the log.
bool IsTornTail(const uint8_t* data, size_t size);

}  // namespace vexon
