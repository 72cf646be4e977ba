#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "model/card_key.h"
#include "model/card_segments.h"
#include "model/card_zones.h"
#include "model/disable_list.h"
#include "model/record_file.h"
#include "model/system_file.h"
#include "util/result_codes.h"
#include "test_support.h"

using namespace vexon;
using vexon::testing::TTempDir;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Makes every pending segment visible in the active list, as a transfer does.
void SendAll(TCardSegments& s) {
  TCardList sent = s.PendingCopy();
  for (size_t i = 0; i < sent.Count(); ++i) sent.At(i).Sent = 1;
  s.CopyListToActive(sent);
}

}  // namespace

TEST(CardKey, PaddedDigits) {
  EXPECT_EQ(GetCardStr(7, 1234), "00701234");
  EXPECT_EQ(GetCardStr(255, 65535), "25565535");
  EXPECT_EQ(GetCardStr(0, 0), "00000000");
}

TEST(CardSegments, WorkedNumberingOfThreeSegments) {
  TCardSegments s;
  s.CreatePending();
  s.CreateActive();
  ASSERT_EQ(s.AddPendingSegment(1, 100, 199), 0);
  ASSERT_EQ(s.AddPendingSegment(1, 500, 549), 0);
  ASSERT_EQ(s.AddPendingSegment(2, 1, 10), 0);
  ASSERT_EQ(s.NumberPendingSegments(), 0);
  const TCardList p = s.PendingCopy();
  EXPECT_EQ(p.At(0).FirstIndex, 1);
  EXPECT_EQ(p.At(1).FirstIndex, 101);
  EXPECT_EQ(p.At(2).FirstIndex, 151);
  EXPECT_EQ(p.At(2).SegmentNumber, 2);
  SendAll(s);
  uint16_t idx = 0;
  ASSERT_EQ(s.GetSystemIndexFromCard(1, 520, idx), TLookup::Found);
  EXPECT_EQ(idx, 121);
  uint8_t fc = 0;
  uint16_t card = 0;
  ASSERT_TRUE(s.GetCardFromSystemIndex(155, fc, card));
  EXPECT_EQ(fc, 2);
  EXPECT_EQ(card, 5);
  const TCardList a = s.ActiveCopy();
  EXPECT_EQ(a.KeyAt(0), "1");
  EXPECT_EQ(a.KeyAt(1), "101");
  EXPECT_EQ(a.KeyAt(2), "151");
}

TEST(CardSegments, TwelveSegmentsNumberInTextOrder) {
  TCardSegments s;
  s.CreatePending();
  for (int i = 0; i < 12; ++i) ASSERT_EQ(s.AddPendingSegment(i, 0, 9), 0);  // S_i: facility i, 10 cards
  ASSERT_EQ(s.NumberPendingSegments(), 0);
  const TCardList p = s.PendingCopy();
  const int order[] = {0, 1, 10, 11, 2, 3, 4, 5, 6, 7, 8, 9};
  for (int pos = 0; pos < 12; ++pos) {
    EXPECT_EQ(p.At(pos).FacilityCode, order[pos]) << pos;
    EXPECT_EQ(p.At(pos).SegmentNumber, pos);
    EXPECT_EQ(p.At(pos).FirstIndex, 1 + 10 * pos);
  }
}

TEST(CardSegments, PendingChecksAndLimits) {
  TCardSegments s;
  EXPECT_EQ(s.AddPendingSegment(1, 200, 100), rcBadSegment) << "38 before the missing list";
  EXPECT_EQ(s.AddPendingSegment(1, 1, 2), rcInternal);
  EXPECT_EQ(s.NumberPendingSegments(), rcInternal);
  s.CreatePending();
  EXPECT_EQ(s.NumberPendingSegments(), rcSegmentListEmpty);
  for (int i = 0; i < 32; ++i) ASSERT_EQ(s.AddPendingSegment(1, i * 10, i * 10 + 9), 0) << i;
  EXPECT_EQ(s.AddPendingSegment(1, 1000, 1001), rcSegmentListTooLong);
  s.ClearPendingSegments();
  EXPECT_EQ(s.PendingCount(), 0u);
  EXPECT_EQ(s.AddPendingSegment(1, 5, 70000), kSegmentFieldRange);
  EXPECT_EQ(s.AddPendingSegment(256, 5, 6), kSegmentFieldRange);
  EXPECT_EQ(s.AddPendingSegment(1, -1, 6), kSegmentFieldRange);
  EXPECT_EQ(s.PendingCount(), 0u);
}

TEST(CardSegments, NumberingPastTheIndexLineIsRefused) {
  TCardSegments s;
  s.CreatePending();
  ASSERT_EQ(s.AddPendingSegment(1, 0, 65534), 0);  // indexes 1..65535: fits
  ASSERT_EQ(s.NumberPendingSegments(), 0);
  ASSERT_EQ(s.AddPendingSegment(2, 0, 0), 0);  // one more card would be 65536
  EXPECT_EQ(s.NumberPendingSegments(), rcBadSegment);
  EXPECT_EQ(s.PendingCopy().At(1).FirstIndex, 1) << "a refused numbering changes nothing";
}

TEST(CardSegments, SingleCardOverlapAndUnsentSegments) {
  TCardList l;
  l.AddIt({0, 3, 50, 50, 1, 1});    // one card, index 1
  l.AddIt({1, 3, 40, 60, 2, 1});    // overlaps card 50
  l.AddIt({2, 4, 0, 9, 23, 0});     // not sent
  uint16_t idx = 0;
  ASSERT_EQ(l.GetSystemIndexFromCard(3, 50, idx), TLookup::Found);
  EXPECT_EQ(idx, 1) << "the earlier segment wins";
  ASSERT_EQ(l.GetSystemIndexFromCard(3, 51, idx), TLookup::Found);
  EXPECT_EQ(idx, 13);
  EXPECT_EQ(l.FindSegmentFromSystemIndex(1), 0);
  EXPECT_EQ(l.GetSystemIndexFromCard(4, 5, idx), TLookup::NotFound);
  uint8_t fc;
  uint16_t card;
  EXPECT_FALSE(l.GetCardFromSystemIndex(25, fc, card));
  EXPECT_EQ(l.FindSegmentFromSystemIndex(25), 2) << "found but invisible";
  EXPECT_EQ(l.GetSystemIndexFromCard(9, 1, idx), TLookup::NotFound);
}

TEST(CardSegments, LookupPastIndexLimitIsOutOfRange) {
  TCardList l;
  l.AddIt({0, 1, 0, 100, 65500, 1});  // a stored segment whose end passes 65535
  uint16_t idx = 0;
  EXPECT_EQ(l.GetSystemIndexFromCard(1, 35, idx), TLookup::Found);
  EXPECT_EQ(idx, 65535);
  EXPECT_EQ(l.GetSystemIndexFromCard(1, 36, idx), TLookup::OutOfRange);
}

TEST(CardSegments, ActiveListPersistsAndClears) {
  TTempDir dir("vexon-model");
  TCardSegments s;
  s.SetCardFilePath(dir.File("cards.bin"));
  s.CreatePending();
  s.CreateActive();
  s.AddPendingSegment(1, 100, 199);
  s.AddPendingSegment(2, 1, 10);
  s.NumberPendingSegments();
  SendAll(s);
  const auto bytes = ReadAll(dir.File("cards.bin"));
  ASSERT_EQ(bytes.size(), 18u);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0, 1, 100, 0, 199, 0, 1, 0, 1, 1, 2, 1, 0, 10, 0, 101, 0, 1}));

  TCardSegments restarted;
  restarted.SetCardFilePath(dir.File("cards.bin"));
  restarted.CreateActive();
  ASSERT_TRUE(restarted.LoadCardFile());
  uint16_t idx = 0;
  ASSERT_EQ(restarted.GetSystemIndexFromCard(2, 10, idx), TLookup::Found);
  EXPECT_EQ(idx, 110);

  ASSERT_TRUE(restarted.ClearActive());
  EXPECT_EQ(ReadAll(dir.File("cards.bin")).size(), 0u);
  EXPECT_EQ(restarted.GetSystemIndexFromCard(2, 10, idx), TLookup::NotFound);
}

TEST(CardZones, UpdateAndCheckRules) {
  TManualClock clock;
  TServerLock lock(clock);
  TCardZoneList z;
  EXPECT_TRUE(z.UpdateCardZone(1, 2, 5));
  EXPECT_FALSE(z.UpdateCardZone(1, 2, 5));
  EXPECT_TRUE(z.UpdateCardZone(1, 2, 6));
  EXPECT_FALSE(CheckCardZone(&z, lock, 1, 2, 200));
  EXPECT_FALSE(CheckCardZone(&z, lock, 1, 2, 128));
  uint8_t zone = 0;
  ASSERT_TRUE(z.GetZone(1, 2, zone));
  EXPECT_EQ(zone, 6);
  EXPECT_TRUE(CheckCardZone(&z, lock, 1, 2, 127));
  lock.SetServerLock();
  EXPECT_FALSE(CheckCardZone(&z, lock, 1, 3, 1));
  EXPECT_EQ(z.FindCard(1, 3), -1);
  lock.ClearServerLock();
  EXPECT_FALSE(CheckCardZone(nullptr, lock, 1, 3, 1));
}

TEST(Suppression, ReportsWithinTenSecondsAreDropped) {
  TManualClock clock(5000);
  TSuppression s(clock);
  EXPECT_FALSE(s.IsReportWanted(1, 2)) << "no list: false";
  s.StampDisabledCard(1, 2);  // no list: nothing
  s.Create();
  EXPECT_TRUE(s.IsReportWanted(1, 2)) << "first report creates the entry";
  EXPECT_TRUE(s.HasEntry(1, 2));

  s.StampDisabledCard(3, 4);
  clock.Advance(3000);
  EXPECT_FALSE(s.IsReportWanted(3, 4));
  EXPECT_FALSE(s.HasEntry(3, 4)) << "the dropped report forgets the card";
  clock.Advance(1000);
  EXPECT_TRUE(s.IsReportWanted(3, 4));

  s.StampDisabledCard(5, 6);
  clock.Advance(10000);
  EXPECT_FALSE(s.IsReportWanted(5, 6)) << "exactly 10000 ms is within the window";

  s.StampDisabledCard(7, 8);
  clock.Advance(12000);
  EXPECT_TRUE(s.IsReportWanted(7, 8));
  clock.Advance(9000);
  EXPECT_FALSE(s.IsReportWanted(7, 8)) << "the stamp moved to the last report";
}

TEST(Suppression, AcrossTheTickWrap) {
  TManualClock clock(0xFFFFFFFFu - 2000);
  TSuppression s(clock);
  s.Create();
  s.StampDisabledCard(1, 1);
  clock.Advance(5000);  // wrapped
  EXPECT_FALSE(s.IsReportWanted(1, 1));
  s.StampDisabledCard(1, 1);
  clock.Advance(10001);
  EXPECT_TRUE(s.IsReportWanted(1, 1));
}

namespace {
void ThreeControllers(TDeviceModel& m) {
  std::vector<TDescriptor> d = {
      {0, 0x34, 2, 0x80, 0x0B, 0, 0, 0}, {1, 0x10, 0, 0x40, 0, 0, 0, 0}, {2, 0x20, 0, 0x08, 0x1A, 0x1A, 0, 0}};
  m.BuildControllerList(&d);
  m.Controllers.SetReaderZone(2, 1, 9);
  m.Controllers.SetStatusByte(2, 3, 0xA5);
  m.Controllers.Update(2, [](TTKDItem& r) {
    r.StatusTime = 46000.5;
    r.JournalPending = 1;
  });
}
}  // namespace

TEST(SystemFile, RoundTripByteForByte) {
  TTempDir dir("vexon-model");
  TDeviceModel m;
  ThreeControllers(m);
  ASSERT_TRUE(SaveSystemFile(m.Controllers, dir.File("new_sys.bin")));
  const auto bytes = ReadAll(dir.File("new_sys.bin"));
  ASSERT_EQ(bytes.size(), 180u);
  TDeviceModel loaded;
  ASSERT_TRUE(LoadConfiguration(loaded, dir.File("new_sys.bin")));
  ASSERT_EQ(loaded.Controllers.Count(), 3u);
  EXPECT_EQ(loaded.Addresses.FindSysAdr(0x20 + 2 * 4096), 2);
  TTKDItem r;
  ASSERT_TRUE(loaded.Controllers.GetRecord(2, r));
  EXPECT_EQ(r.Zone2, 9);
  EXPECT_EQ(r.Status[2], 0xA5);
  EXPECT_EQ(r.Drv2Merged, 1);
  EXPECT_EQ(r.JournalPending, 1);
  EXPECT_DOUBLE_EQ(r.StatusTime, 46000.5);
  ASSERT_TRUE(SaveSystemFile(loaded.Controllers, dir.File("again.bin")));
  EXPECT_EQ(ReadAll(dir.File("again.bin")), bytes);
}

TEST(SystemFile, DuplicatesEmptyMissingAndPartialFiles) {
  TTempDir dir("vexon-model");
  TDeviceModel m;
  ThreeControllers(m);
  SaveSystemFile(m.Controllers, dir.File("a.bin"));
  auto bytes = ReadAll(dir.File("a.bin"));
  // The first record twice, the second copy with another factory address.
  std::vector<uint8_t> dup(bytes.begin(), bytes.begin() + 60);
  dup.insert(dup.end(), bytes.begin(), bytes.begin() + 60);
  dup[61] = 0x99;
  WriteAll(dir.File("dup.bin"), dup);
  TDeviceModel l;
  ASSERT_TRUE(LoadConfiguration(l, dir.File("dup.bin")));
  EXPECT_EQ(l.Controllers.Count(), 1u);
  EXPECT_EQ(l.Addresses.FindSysAdr(564), 0) << "the first record wins";

  WriteAll(dir.File("empty.bin"), {});
  ASSERT_TRUE(LoadConfiguration(l, dir.File("empty.bin")));
  EXPECT_FALSE(l.IsConfigured());

  EXPECT_FALSE(LoadConfiguration(l, dir.File("missing.bin")));
  EXPECT_FALSE(l.IsConfigured());

  std::vector<uint8_t> partial(bytes.begin(), bytes.begin() + 150);  // 2.5 records
  WriteAll(dir.File("partial.bin"), partial);
  EXPECT_TRUE(LoadConfiguration(l, dir.File("partial.bin")));
  EXPECT_EQ(l.Controllers.Count(), 2u) << "whole records load, the rest is ignored";
}

TEST(SystemFile, SaveThatFailsHalfWayKeepsTheOldFile) {
  TTempDir dir("vexon-model");
  const std::string path = dir.File("new_sys.bin");
  TDeviceModel small;
  std::vector<TDescriptor> d = {{0, 1, 0, 0x80, 0, 0, 0, 0}};
  small.BuildControllerList(&d);
  ASSERT_TRUE(SaveSystemFile(small.Controllers, path));
  const auto before = ReadAll(path);
  ASSERT_EQ(before.size(), 60u);

  // Limit the size of any file this process writes to 100 bytes: the
  // 180-byte save fails part-way through its write.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit lim = old;
  lim.rlim_cur = 100;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
  TDeviceModel three;
  ThreeControllers(three);
  const bool saved = SaveSystemFile(three.Controllers, path);
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_FALSE(saved);
  EXPECT_EQ(ReadAll(path), before);
  size_t files = 0;
  for (auto& e : fs::directory_iterator(fs::path(path).parent_path())) files += e.is_regular_file();
  EXPECT_EQ(files, 1u) << "no temporary file is left behind";
}

TEST(SystemFile, UnwritableDirectoryReportsFalse) {
  EXPECT_FALSE(AtomicWriteFile("/proc/vexon-no-such-dir/new_sys.bin", {1, 2, 3}));
}

TEST(CardSegments, InvalidRecordsOfTheCardFileAreSkipped) {
  TTempDir dir("vexon-model");
  // Reversed range; a range running past index 65535; a good segment.
  const std::vector<uint8_t> bytes = {0, 1, 200, 0, 100, 0, 1, 0, 1,    //
                                      1, 2, 0, 0, 255, 0, 0x01, 0xFF, 1,  //
                                      2, 3, 10, 0, 19, 0, 5, 0, 1};
  ASSERT_TRUE(AtomicWriteFile(dir.File("cards.bin"), bytes));
  TCardSegments s;
  s.SetCardFilePath(dir.File("cards.bin"));
  s.CreateActive();
  ASSERT_TRUE(s.LoadCardFile());
  EXPECT_EQ(s.ActiveCount(), 1u);
  uint8_t f = 0;
  uint16_t card = 0;
  EXPECT_FALSE(s.GetCardFromSystemIndex(300, f, card)) << "no segment claims the indexes above the good one";
  ASSERT_TRUE(s.GetCardFromSystemIndex(5, f, card));
  EXPECT_EQ(f, 3);
  EXPECT_EQ(card, 10);
}

TEST(RecordFiles, UnreadableFileIsMovedAsideNeverOverwritten) {
  TTempDir dir("vexon-model");
  const std::string path = dir.File("new_sys.bin");
  // A file that exists but cannot be opened (a link to itself) and one whose
  // read fails (a directory).
  ASSERT_EQ(::symlink(path.c_str(), path.c_str()), 0);
  TDeviceModel m;
  EXPECT_FALSE(LoadConfiguration(m, path));
  EXPECT_TRUE(IsMarkedUnreadable(path));
  ASSERT_TRUE(SaveSystemFile(m.Controllers, path));
  EXPECT_FALSE(IsMarkedUnreadable(path));
  int aside = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
    if (e.path().filename().string().rfind("new_sys.bin.unreadable-", 0) == 0) {
      ++aside;
      EXPECT_TRUE(std::filesystem::is_symlink(e.symlink_status())) << "the unreadable file itself was kept";
    }
  EXPECT_EQ(aside, 1);
  // The next start reads the file written in its place.
  EXPECT_TRUE(LoadConfiguration(m, path));

  const std::string cards = dir.File("cards.bin");
  ASSERT_TRUE(std::filesystem::create_directory(cards));
  ASSERT_TRUE(std::filesystem::exists(cards));
  TCardSegments s;
  s.SetCardFilePath(cards);
  s.CreateActive();
  EXPECT_FALSE(s.LoadCardFile());
  EXPECT_TRUE(IsMarkedUnreadable(cards));
  ASSERT_TRUE(s.ClearActive());
  EXPECT_TRUE(std::filesystem::is_regular_file(cards));
  bool kept = false;
  for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
    kept = kept || (e.path().filename().string().rfind("cards.bin.unreadable-", 0) == 0 && e.is_directory());
  EXPECT_TRUE(kept);
  // A missing file is no failure: nothing to move aside.
  std::filesystem::remove(cards);
  EXPECT_FALSE(s.LoadCardFile());
  EXPECT_FALSE(IsMarkedUnreadable(cards));
}
