// Registration-journal reads against the simulator: pages in order, the
// commands that confirm them, retries, the ends of a read, durability
// before confirmation, and the JournalPending flag across restarts.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <iterator>

#include "core_fixture.h"
#include "journals/reg_journal.h"
#include "model/system_file.h"
#include "util/result_codes.h"

using namespace vexon;
using namespace vexon::testing;
using sim::TSimFault;

namespace {

constexpr int32_t kModem = 0x20 + 4096;  // SysAdr 2

class JournalReadTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    OpenPort();
    Autoconfigure();
    sim_.SetTime(EncodeDateTime({2026, 3, 14, 9, 26, 5, 0}));
  }
  int32_t PutRead(int32_t makeAdr) {
    return PutObj(rkReadRegJournal,
                  std::make_unique<TCardRegistrationItem>(static_cast<uint16_t>(makeAdr),
                                                          core_->Model.Addresses.FindSysAdr(makeAdr)));
  }
  // n pass events at the modem controller, card indexes 1..n.
  void AddPasses(int n) {
    for (int i = 1; i <= n; ++i)
      sim_.AddRegRecord(2, {(1 << 5) | 1, 0x80, static_cast<uint8_t>(i & 0xFF), static_cast<uint8_t>(i >> 8)});
  }
  std::vector<uint8_t> Commands() const {
    std::vector<uint8_t> out;
    for (const auto& f : sim_.ReceivedFrames()) out.push_back(f[4]);
    return out;
  }
  uint8_t Pending(uint8_t sys) {
    TTKDItem r;
    core_->Model.Controllers.GetRecord(sys, r);
    return r.JournalPending;
  }
  // One step of the request at the head of the queue; true when it ended.
  bool OneStep() {
    TRequestPtr r;
    std::string key;
    if (!core_->Requests.GetFirstRequest(r, key)) return true;
    return executor_->Steps().Step(r, key);
  }
  // A new core on the same data directory, after an orderly stop or not.
  void Restart(bool orderly) {
    executor_.reset();
    if (orderly) core_->SaveAndFree();
    core_.reset();
    core_ = std::make_unique<TServerCore>(clock_, display_, Config());
    core_->Ports.Set(1, sim_.SlavePath());
    core_->LoadAndCreate();
    executor_ = std::make_unique<TExecutor>(*core_);
    OpenPort();
  }
  std::vector<TEvItem> TakeAll() {
    std::vector<TEvItem> out;
    core_->RegJournal.TakeOldestEvents(100000, out);
    return out;
  }
};

}  // namespace

TEST_F(JournalReadTest, PagesAreReadInOrderAndEachConfirmedByTheNext) {
  AddPasses(40);  // 31 events fit in the first page behind its date record
  const int32_t id = PutRead(kModem);
  Drain();
  EXPECT_EQ(Answer(id).Value, 0);
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x30, 0x31, 0x31}));
  for (const auto& f : sim_.ReceivedFrames()) EXPECT_EQ(f[2], 2) << "addressed to the controller";
  EXPECT_EQ(sim_.RegConfirmed(2), 40u);
  EXPECT_EQ(sim_.RegPending(2), 0u);
  EXPECT_EQ(Pending(2), 0) << "cleared at the end of the read";
  const std::vector<TEvItem> events = TakeAll();
  ASSERT_EQ(events.size(), 40u);
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(events[i].CardID, i + 1) << "in journal order";
    EXPECT_EQ(events[i].EventType, 1);
    EXPECT_EQ(events[i].Event, 1);
    EXPECT_EQ(events[i].MakeAdr, kModem);
    EXPECT_EQ(events[i].AdrAdd, 1);
  }
  EXPECT_EQ(events[0].Year, 2026);
  EXPECT_EQ(events[0].Month, 3);
  EXPECT_EQ(events[0].Day, 14);
  EXPECT_EQ(events[0].Hour, 9);
  EXPECT_EQ(events[0].Minute, 26);
  EXPECT_EQ(events[0].Second, 5);
}

TEST_F(JournalReadTest, CardEventsAreResolvedThroughTheActiveSegments) {
  ActiveSegments();  // facility 1, cards 100..199 = indexes 1..100
  AddPasses(1);
  sim_.AddRegRecord(2, {(2 << 5) | 3, 0x40, 0x34, 0x12});  // kind 2, index 0x1234: not a system card
  PutRead(kModem);
  Drain();
  const std::vector<TEvItem> events = TakeAll();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].FacilityCode, 1);
  EXPECT_EQ(events[0].CardID, 100);
  EXPECT_EQ(events[1].EventType, 2);
  EXPECT_EQ(events[1].AdrAdd, 2);
  EXPECT_EQ(events[1].CardID, 0x1234) << "left as the index";
  EXPECT_EQ(events[1].FacilityCode, 0);
}

TEST_F(JournalReadTest, OneFailureRestartsWithAFirstPageTwoEndTheRead) {
  AddPasses(40);
  sim_.InjectFault({TSimFault::NoAnswer, 0});
  const int32_t id = PutRead(kModem);
  Drain();
  EXPECT_EQ(Answer(id).Value, 0);
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x30, 0x30, 0x31, 0x31}));
  EXPECT_EQ(TakeAll().size(), 40u);

  AddPasses(40);
  sim_.ClearReceived();
  // The first page arrives, then the next two reads fail in a row.
  sim_.InjectFault({TSimFault::Waits, 0});
  sim_.InjectFault({TSimFault::NoAnswer, 0});
  sim_.InjectFault({TSimFault::BadChecksum, 0});
  const int32_t id2 = PutRead(kModem);
  Drain();
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x30, 0x31, 0x30}));
  EXPECT_EQ(Answer(id2).Value, 19) << "a wrong checksum";
  EXPECT_EQ(Pending(2), 0);
  // The 0x31 whose answer was lost confirmed the first page: its events
  // were stored before it went out.
  EXPECT_EQ(sim_.RegConfirmed(2), 71u);
  EXPECT_EQ(TakeAll().size(), 31u) << "the first page was stored";
}

TEST_F(JournalReadTest, FullListEndsTheReadWithoutTraffic) {
  // Room for 10 events only: 2097152 + 210 bytes free.
  core_->RegJournal.SetFreeSpaceSource([](const std::string&) { return int64_t{2097152 + 210}; });
  core_->RegJournal.LoadBufferFile();
  ASSERT_EQ(core_->RegJournal.Capacity(), 10);
  AddPasses(9);
  const int32_t id = PutRead(kModem);
  Drain();
  EXPECT_EQ(Answer(id).Value, 0);
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x30, 0x31}));
  ASSERT_EQ(core_->RegJournal.Count(), 9u);
  // One more event makes the list full: the next read stops at once.
  AddPasses(1);
  sim_.ClearReceived();
  const int32_t id2 = PutRead(kModem);
  Drain();
  EXPECT_EQ(Answer(id2).Value, 0);
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x30})) << "the list is full after this page";
  EXPECT_EQ(core_->RegJournal.Count(), 10u);
  EXPECT_EQ(Pending(2), 1) << "the next read confirms the stored page first";
  sim_.ClearReceived();
  AddPasses(3);
  const int32_t id3 = PutRead(kModem);
  Drain();
  EXPECT_EQ(Answer(id3).Value, 0);
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{})) << "no page read into a full list";
  EXPECT_EQ(sim_.RegPending(2), 4u);
  // Room again: the read confirms the stored page and goes on.
  TEvItem ev;
  ASSERT_EQ(core_->RegJournal.TakeOldestEvent(ev), 0);
  ASSERT_EQ(core_->RegJournal.TakeOldestEvent(ev), 0);
  ASSERT_EQ(core_->RegJournal.TakeOldestEvent(ev), 0);
  ASSERT_EQ(core_->RegJournal.TakeOldestEvent(ev), 0);
  PutRead(kModem);
  Drain();
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x31, 0x31}));
  EXPECT_EQ(core_->RegJournal.Count(), 9u) << "6 left and the 3 new, none twice";
}

TEST_F(JournalReadTest, UnknownControllerIsAnswered32AndNothingIsRead) {
  AddPasses(3);
  const int32_t all = PutObj(rkReadRegJournal, std::make_unique<TCardRegistrationItem>(0, 255));
  const int32_t unknown = PutObj(rkReadRegJournal, std::make_unique<TCardRegistrationItem>(0x7777, -1));
  Drain();
  EXPECT_EQ(Answer(all).Value, rcBadController);
  EXPECT_EQ(Answer(unknown).Value, rcBadController);
  EXPECT_EQ(sim_.FrameCount(), 0u);
}

TEST_F(JournalReadTest, PageEventsAreOnDiskBeforeTheConfirmingCommand) {
  AddPasses(40);
  // One step: the first page is read and stored; its confirmation (the next
  // 0x31) has not been sent.
  PutRead(kModem);
  ASSERT_FALSE(OneStep());
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x30}));
  EXPECT_EQ(Pending(2), 1);
  // What a crash now leaves on disk, loaded by another journal.
  TTempDir copy("vexon-crash");
  for (const char* f : {"buffer.bin", "buffer.log"}) {
    std::error_code ec;
    std::filesystem::copy_file(dir_.File(f), copy.File(f), ec);
  }
  TRegJournal after;
  after.SetBufferFilePath(copy.File("buffer.bin"));
  after.Create();
  after.LoadBufferFile();
  EXPECT_EQ(after.Count(), 31u);
  after.Free();
}

TEST_F(JournalReadTest, PendingFlagIsTrustedOnlyAfterAnOrderlyStop) {
  AddPasses(40);
  PutRead(kModem);
  ASSERT_FALSE(OneStep());
  ASSERT_EQ(Pending(2), 1);
  // Orderly stop and start: the next read confirms the page read before.
  Restart(true);
  EXPECT_EQ(Pending(2), 1);
  EXPECT_EQ(core_->RegJournal.Count(), 31u);
  sim_.ClearReceived();
  PutRead(kModem);
  ASSERT_FALSE(OneStep());
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x31}));
  EXPECT_EQ(sim_.RegConfirmed(2), 31u);
  // A run that ends without its shut-down (the flag reached "new_sys.bin"
  // all the same): the next read starts with a first page.
  ASSERT_TRUE(SaveSystemFile(core_->Model.Controllers, core_->SystemFilePath()));
  Restart(false);
  EXPECT_TRUE(core_->PreviousRunUnclean());
  EXPECT_EQ(Pending(2), 0);
  sim_.ClearReceived();
  PutRead(kModem);
  Drain();
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x30, 0x31}));
  EXPECT_EQ(sim_.RegConfirmed(2), 40u);
  EXPECT_EQ(core_->RegJournal.Count(), 31u + 9u + 9u) << "the unconfirmed page came twice; nothing lost";
}

TEST_F(JournalReadTest, AConfirmationThatNeverLeftKeepsThePageUnconfirmedAcrossAnOrderlyStop) {
  AddPasses(40);
  PutRead(kModem);
  ASSERT_FALSE(OneStep());
  ASSERT_EQ(Pending(2), 1);
  // A stop arrives just before the 0x31 that would confirm the stored page:
  // nothing of it reaches the line.
  sim_.ClearReceived();
  core_->Port.Uart()->Interrupt();
  OneStep();
  EXPECT_EQ(sim_.ReceivedFrames().size(), 0u);
  EXPECT_EQ(Pending(2), 1) << "the page is stored and was never confirmed";
  Restart(true);
  ASSERT_EQ(Pending(2), 1);
  sim_.ClearReceived();
  PutRead(kModem);
  Drain();
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x31, 0x31}));
  EXPECT_EQ(sim_.RegConfirmed(2), 40u);
  EXPECT_EQ(core_->RegJournal.Count(), 40u) << "every event once";
}

namespace {
// Puts the journal's own write and sync calls back when a test ends.
struct TRegLogCallsGuard {
  TRegLogCalls saved = RegLogCalls();
  ~TRegLogCallsGuard() { RegLogCalls() = saved; }
};
}  // namespace

TEST_F(JournalReadTest, EachPageIsOnDiskBeforeTheCommandThatConfirmsItLeaves) {
  TRegLogCallsGuard guard;
  // Each write and sync of the log, with the number of 0x31 the simulator
  // had received at that moment.
  std::vector<std::pair<char, size_t>> calls;
  auto confirmations = [&] {
    size_t n = 0;
    for (const auto& f : sim_.ReceivedFrames()) n += f[4] == 0x31;
    return n;
  };
  RegLogCalls().Write = [&, write = guard.saved.Write](int fd, const void* d, size_t n) {
    calls.push_back({'w', confirmations()});
    return write(fd, d, n);
  };
  RegLogCalls().Sync = [&, sync = guard.saved.Sync](int fd) {
    calls.push_back({'s', confirmations()});
    return sync(fd);
  };
  AddPasses(100);  // pages of 31, 31, 31 and 7 events
  const int32_t id = PutRead(kModem);
  Drain();
  EXPECT_EQ(Answer(id).Value, 0);
  EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x30, 0x31, 0x31, 0x31, 0x31}));
  const std::vector<std::pair<char, size_t>> expected = {{'w', 0}, {'s', 0}, {'w', 1}, {'s', 1},
                                                         {'w', 2}, {'s', 2}, {'w', 3}, {'s', 3}};
  EXPECT_EQ(calls, expected) << "page k written and synced before the 0x31 that confirms it";
  EXPECT_EQ(core_->RegJournal.Count(), 100u);
}

TEST_F(JournalReadTest, APageThatCannotBeWrittenOrSyncedIsNeitherConfirmedNorLost) {
  TRegLogCallsGuard guard;
  for (const char failing : {'w', 's'}) {
    SCOPED_TRACE(failing == 'w' ? "a failed write" : "a failed sync");
    const size_t before = core_->RegJournal.Count();
    AddPasses(40);
    sim_.ClearReceived();
    bool failed = false;
    RegLogCalls() = guard.saved;
    if (failing == 'w')
      RegLogCalls().Write = [&](int, const void*, size_t) -> long {
        failed = true;
        errno = ENOSPC;
        return -1;
      };
    else
      RegLogCalls().Sync = [&](int) {
        failed = true;
        errno = EIO;
        return -1;
      };
    const int32_t id = PutRead(kModem);
    Drain();
    EXPECT_TRUE(failed);
    EXPECT_EQ(Answer(id).Value, 36);
    EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x30})) << "nothing confirmed";
    EXPECT_EQ(Pending(2), 0);
    EXPECT_EQ(core_->RegJournal.Count(), before);

    // The disk works again: the next read starts with a first page and
    // every event comes once.
    RegLogCalls() = guard.saved;
    sim_.ClearReceived();
    const int32_t again = PutRead(kModem);
    Drain();
    EXPECT_EQ(Answer(again).Value, 0);
    EXPECT_EQ(Commands(), (std::vector<uint8_t>{0x30, 0x31, 0x31}));
    EXPECT_EQ(core_->RegJournal.Count(), before + 40);
  }
  // On disk as in memory: a restart after a crash finds all 80.
  Restart(false);
  EXPECT_EQ(core_->RegJournal.Count(), 80u);
}

TEST_F(JournalReadTest, NoJournalIsReadWhileTheLogCannotBeReadWhole) {
  AddPasses(40);
  PutRead(kModem);
  Drain();
  ASSERT_EQ(core_->RegJournal.Count(), 40u);
  // A crash, and the log found damaged before its last entry.
  const std::string log = core_->RegJournal.LogFilePath();
  std::string good;
  {
    std::ifstream in(log, std::ios::binary);
    good.assign(std::istreambuf_iterator<char>(in), {});
  }
  std::string bad = good;
  bad[26 + 5 + 3] ^= 0x40;  // the first entry's first record
  std::ofstream(log, std::ios::binary | std::ios::trunc) << bad;
  Restart(false);
  ASSERT_TRUE(core_->RegJournal.LogUnreadable());
  AddPasses(5);
  sim_.ClearReceived();
  const int32_t id = PutRead(kModem);
  Drain();
  EXPECT_EQ(Answer(id).Value, 36);
  EXPECT_TRUE(sim_.ReceivedFrames().empty()) << "nothing asked of the controller";
  EXPECT_EQ(sim_.RegPending(2), 5u) << "the controller keeps its events";
  // The log reads whole again: everything is there and the read goes on.
  std::ofstream(log, std::ios::binary | std::ios::trunc) << good;
  Restart(false);
  ASSERT_FALSE(core_->RegJournal.LogUnreadable());
  PutRead(kModem);
  Drain();
  EXPECT_EQ(sim_.RegPending(2), 0u);
  EXPECT_EQ(core_->RegJournal.Count(), 45u);
}
