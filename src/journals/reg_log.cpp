#include "journals/reg_log.h"

#include <algorithm>
#include <cstring>

#include "journals/crc32.h"
#include "util/bytes.h"

namespace vexon {

namespace {

constexpr char kMagic[8] = {'V', 'X', 'R', 'E', 'G', 'L', 'O', 'G'};
constexpr uint8_t kVersion = 1;

void AppendEntry(std::vector<uint8_t>& out, TRegLogKind kind, uint32_t count, const TEvItem* events, size_t n) {
  const size_t start = out.size();
  out.resize(start + 5 + n * kEvRecordSize + 4);
  uint8_t* p = out.data() + start;
  p[0] = static_cast<uint8_t>(kind);
  PutU32(p + 1, count);
  for (size_t i = 0; i < n; ++i) EncodeEvItem(events[i], p + 5 + i * kEvRecordSize);
  const size_t body = 5 + n * kEvRecordSize;
  PutU32(p + body, Crc32(0, p, body));
}

}  // namespace

void EncodeRegLogHeader(const TRegLogHeader& h, uint8_t* o) {
  std::memcpy(o, kMagic, sizeof kMagic);
  o[8] = kVersion;
  o[9] = static_cast<uint8_t>(h.Mode);
  PutU64(o + 10, h.BaseSize);
  PutU32(o + 18, h.BaseCrc);
  PutU32(o + 22, Crc32(0, o, 22));
}

bool HasRegLogMagic(const uint8_t* in, size_t size) {
  return size >= sizeof kMagic && std::memcmp(in, kMagic, sizeof kMagic) == 0;
}

bool DecodeRegLogHeader(const uint8_t* in, size_t size, TRegLogHeader& h) {
  if (size < kRegLogHeaderSize) return false;
  if (std::memcmp(in, kMagic, sizeof kMagic) != 0 || in[8] != kVersion) return false;
  if (GetU32(in + 22) != Crc32(0, in, 22)) return false;
  if (in[9] != static_cast<uint8_t>(TRegLogMode::Relative) && in[9] != static_cast<uint8_t>(TRegLogMode::Independent))
    return false;
  h.Mode = static_cast<TRegLogMode>(in[9]);
  h.BaseSize = GetU64(in + 10);
  h.BaseCrc = GetU32(in + 18);
  return true;
}

void AppendRegLogAdd(std::vector<uint8_t>& out, const TEvItem* events, size_t n) {
  // Entries of at most kMaxRegLogAddCount events, so that a count above it
  // always means damage.
  for (size_t done = 0; done < n;) {
    const size_t part = std::min<size_t>(n - done, kMaxRegLogAddCount);
    AppendEntry(out, TRegLogKind::Add, static_cast<uint32_t>(part), events + done, part);
    done += part;
  }
}

void AppendRegLogTake(std::vector<uint8_t>& out, uint32_t count) {
  AppendEntry(out, TRegLogKind::Take, count, nullptr, 0);
}

void AppendRegLogClear(std::vector<uint8_t>& out) { AppendEntry(out, TRegLogKind::Clear, 0, nullptr, 0); }

size_t ParseRegLogEntries(const uint8_t* data, size_t size, std::vector<TRegLogEntry>& out) {
  size_t pos = 0;
  while (size - pos >= kRegLogEntryOverhead) {
    const uint8_t* p = data + pos;
    const uint8_t kind = p[0];
    const uint32_t count = GetU32(p + 1);
    size_t records = 0;
    if (kind == static_cast<uint8_t>(TRegLogKind::Add)) {
      if (count == 0) break;
      records = count;
    } else if (kind == static_cast<uint8_t>(TRegLogKind::Take)) {
      if (count == 0) break;
    } else if (kind == static_cast<uint8_t>(TRegLogKind::Clear)) {
      if (count != 0) break;
    } else {
      break;
    }
    // Compare in a form that cannot overflow.
    if (records > (size - pos - kRegLogEntryOverhead) / kEvRecordSize) break;
    const size_t body = 5 + records * kEvRecordSize;
    if (GetU32(p + body) != Crc32(0, p, body)) break;
    TRegLogEntry e;
    e.Kind = static_cast<TRegLogKind>(kind);
    e.Count = count;
    e.Events.reserve(records);
    for (size_t i = 0; i < records; ++i) e.Events.push_back(DecodeEvItem(p + 5 + i * kEvRecordSize));
    out.push_back(std::move(e));
    pos += body + 4;
  }
  return pos;
}

bool IsTornTail(const uint8_t* data, size_t size) {
  auto zeros = [](const uint8_t* p, size_t n) { return std::all_of(p, p + n, [](uint8_t b) { return b == 0; }); };
  if (size < kRegLogEntryOverhead || zeros(data, size)) return true;
  const uint8_t kind = data[0];
  const uint64_t count = GetU32(data + 1);
  uint64_t length = 0;  // the entry's own length, by its kind and count
  if (kind == static_cast<uint8_t>(TRegLogKind::Add) && count > 0 && count <= kMaxRegLogAddCount)
    length = kRegLogEntryOverhead + count * kEvRecordSize;
  else if ((kind == static_cast<uint8_t>(TRegLogKind::Take) && count > 0) ||
           (kind == static_cast<uint8_t>(TRegLogKind::Clear) && count == 0))
    length = kRegLogEntryOverhead;
  else
    return false;  // not the start of an entry, and not empty space
  return length >= size || zeros(data + length, size - static_cast<size_t>(length));
}

}  // namespace vexon
