// Registration journal files bigger than one read: "buffer.bin" and its log
// are read in chunks of at most 1 MiB, and a 21-byte record may straddle two
// chunks. Every record must come out whole and in file order.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "journals/crc32.h"
#include "journals/reg_journal.h"
#include "journals/reg_log.h"
#include "test_support.h"

using namespace vexon;

namespace {

TEvItem Event(int day, int seconds, uint16_t makeAdr) {
  TEvItem ev;
  ev.Year = 2004;
  ev.Month = 3;
  ev.Day = static_cast<uint8_t>(day);
  ev.Seconds = seconds;
  ev.MakeAdr = makeAdr;
  ev.EventType = 2;
  ev.AdrAdd = 1;
  return ev;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<TEvItem> Snapshot(TRegJournal& j) {
  std::vector<TEvItem> out;
  j.With([&](TRegEvList& l) { l.ForEach([&](const TEvItem& ev, int32_t) { out.push_back(ev); }); });
  return out;
}

// 60,000 records are 1,260,000 bytes: the record at byte 1 MiB (number
// 49,932) is split between the first and the second read.
constexpr int kRecords = 60000;

}  // namespace

TEST(RegJournalFiles, BufferBinAndLogBiggerThanOneReadLoadEveryRecordInOrder) {
  vexon::testing::TTempDir dir("regjf");
  const std::string bin = dir.File("buffer.bin");
  std::vector<TEvItem> want;

  std::vector<uint8_t> binBytes(static_cast<size_t>(kRecords) * kEvRecordSize);
  for (int i = 0; i < kRecords; ++i) {
    want.push_back(Event(5, i, static_cast<uint16_t>(i % 50000 + 1)));
    EncodeEvItem(want.back(), binBytes.data() + static_cast<size_t>(i) * kEvRecordSize);
  }
  binBytes.push_back(0x5A);  // a trailing byte that fills no record
  WriteBytes(bin, binBytes);

  // The log continues the same file: adds on the next day, 100 per entry,
  // together also more than one read.
  std::vector<uint8_t> log(kRegLogHeaderSize);
  TRegLogHeader h;
  h.Mode = TRegLogMode::Relative;
  h.BaseSize = binBytes.size();
  h.BaseCrc = Crc32(0, binBytes.data(), binBytes.size());
  EncodeRegLogHeader(h, log.data());
  for (int first = 0; first < kRecords; first += 100) {
    std::vector<TEvItem> entry;
    for (int i = first; i < first + 100; ++i) entry.push_back(Event(6, i, static_cast<uint16_t>(i % 50000 + 1)));
    AppendRegLogAdd(log, entry.data(), entry.size());
    want.insert(want.end(), entry.begin(), entry.end());
  }
  ASSERT_GT(log.size(), size_t{1} << 20);
  WriteBytes(dir.File("buffer.log"), log);

  TRegJournal j;
  j.SetBufferFilePath(bin);
  j.SetFreeSpaceSource([](const std::string&) { return int64_t{1} << 40; });
  j.Create();
  j.LoadBufferFile();
  const std::vector<TEvItem> got = Snapshot(j);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    ASSERT_EQ(got[i].Day, want[i].Day) << "event " << i;
    ASSERT_EQ(got[i].Seconds, want[i].Seconds) << "event " << i;
    ASSERT_EQ(got[i].MakeAdr, want[i].MakeAdr) << "event " << i;
  }
  j.Free();
}
