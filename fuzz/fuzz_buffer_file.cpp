// libFuzzer: loading the registration event list, "buffer.bin" with its
// log "buffer.log" (or a fold's "buffer.log.new"). Any pair of files loads
// without crashing.
//
// Input: byte 0 flags: bit 0 the log is built by the harness from entries
// with right CRCs (otherwise the log is the raw bytes); bit 1 no log file;
// bit 2 an independent log; bit 3 the log's base size and CRC spoilt; bit 4
// the log is "buffer.log.new". Bytes 1-2: the length of "buffer.bin"'s
// part. Built logs read the rest as entries: kind (1 add, 2 take, 3 clear),
// count (add: up to 7 records of 21 bytes follow; take: up to 255).
//
// Checked after every input: no more events than records in the files;
// every event is one decoding can produce, in the list's order (date, then
// arrival); after a save, a load gives exactly the same list, and taking
// every event gives them in that order.
#include <cstring>

#include "fuzz_util.h"
#include "journals/crc32.h"
#include "journals/reg_journal.h"
#include "journals/reg_log.h"
#include "util/log.h"
#include "util/result_codes.h"

using namespace vexon;

namespace {

std::vector<TEvItem> Snapshot(TRegJournal& j) {
  std::vector<TEvItem> out;
  j.With([&](TRegEvList& l) { l.ForEach([&](const TEvItem& ev, int32_t) { out.push_back(ev); }); });
  return out;
}

uint64_t OrderOf(const TEvItem& ev) {
  return static_cast<uint64_t>(ev.Year) << 48 | static_cast<uint64_t>(ev.Month) << 40 |
         static_cast<uint64_t>(ev.Day) << 32 | static_cast<uint32_t>(ev.Seconds);
}

void Load(TRegJournal& j, const std::filesystem::path& bin) {
  j.SetBufferFilePath(bin.string());
  j.SetFreeSpaceSource([](const std::string&) { return int64_t{1} << 30; });
  j.Create();
  j.LoadBufferFile();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path dir = [] {
    spdlog::set_level(spdlog::level::off);
    return fuzz::ScratchDir("buffer");
  }();
  if (size < 3) return 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) std::filesystem::remove(e.path());
  const uint8_t flags = data[0];
  const size_t binLen = std::min<size_t>(static_cast<size_t>(data[1] | data[2] << 8), size - 3);
  const uint8_t* bin = data + 3;
  const uint8_t* rest = bin + binLen;
  const size_t restLen = size - 3 - binLen;
  const std::filesystem::path binPath = dir / "buffer.bin";
  const std::filesystem::path logPath = dir / ((flags & 16) ? "buffer.log.new" : "buffer.log");
  fuzz::WriteFileBytes(binPath, bin, binLen);

  size_t logRecords = 0;
  if (!(flags & 2)) {
    if (flags & 1) {
      std::vector<uint8_t> log(kRegLogHeaderSize);
      TRegLogHeader h;
      h.Mode = (flags & 4) ? TRegLogMode::Independent : TRegLogMode::Relative;
      h.BaseSize = binLen;
      h.BaseCrc = Crc32(0, bin, binLen);
      if (flags & 8) h.BaseCrc ^= 1;
      EncodeRegLogHeader(h, log.data());
      size_t i = 0;
      while (i + 2 <= restLen) {
        const uint8_t kind = static_cast<uint8_t>(rest[i] % 3 + 1);
        const uint8_t count = rest[i + 1];
        i += 2;
        if (kind == 1) {
          std::vector<TEvItem> events;
          for (size_t k = 0; k < count % 8 && i + kEvRecordSize <= restLen; ++k, i += kEvRecordSize)
            events.push_back(DecodeEvItem(rest + i));
          AppendRegLogAdd(log, events.data(), events.size());
          logRecords += events.size();
        } else if (kind == 2) {
          AppendRegLogTake(log, count);
        } else {
          AppendRegLogClear(log);
        }
      }
      fuzz::WriteFileBytes(logPath, log.data(), log.size());
    } else {
      fuzz::WriteFileBytes(logPath, rest, restLen);
      logRecords = restLen / kEvRecordSize;
    }
  }

  TRegJournal first;
  Load(first, binPath);
  const std::vector<TEvItem> loaded = Snapshot(first);
  FUZZ_CHECK(loaded.size() == first.Count());
  FUZZ_CHECK(loaded.size() <= binLen / kEvRecordSize + logRecords);
  for (size_t i = 0; i < loaded.size(); ++i) {
    FUZZ_CHECK(IsProducibleEvent(loaded[i]));
    if (i) FUZZ_CHECK(OrderOf(loaded[i - 1]) <= OrderOf(loaded[i]));
  }
  if (first.LogUnreadable()) {
    // A log that cannot be read whole is kept as it is: nothing is saved,
    // nothing is taken, and the next load finds the same list.
    FUZZ_CHECK(!first.SaveBufferFile());
    first.Free();
    TRegJournal again;
    Load(again, binPath);
    FUZZ_CHECK(again.LogUnreadable());
    FUZZ_CHECK(Snapshot(again) == loaded);
    std::vector<TEvItem> none;
    const int32_t code = again.TakeOldestEvents(loaded.size() + 1, none);
    FUZZ_CHECK(none.empty());
    FUZZ_CHECK(code == (loaded.empty() ? rcNoRegEvents : rcInternal));
    again.Free();
    return 0;
  }
  FUZZ_CHECK(first.SaveBufferFile());
  first.Free();

  TRegJournal second;
  Load(second, binPath);
  FUZZ_CHECK(Snapshot(second) == loaded);
  std::vector<TEvItem> taken;
  second.TakeOldestEvents(loaded.size() + 1, taken);
  FUZZ_CHECK(taken == loaded);
  second.Free();
  return 0;
}
