// Autoconfigurations that get their descriptors but then fail: the controller
// list cannot be built (29) or the configuration file cannot be saved (30),
// and what each leaves in the controller, address and device lists and in
// "new_sys.bin".
#include <gtest/gtest.h>

#include <filesystem>

#include "core_fixture.h"
#include "link/frames.h"

using namespace vexon;
using namespace vexon::testing;

namespace {

constexpr int32_t kModemMakeAdr = 0x20 + 4096;  // SysAdr 2 of the mixed network

class AutoconfigFailureTest : public CoreTest {
 protected:
  // The simulator answers the next autoconfiguration with these
  // descriptors in one block, then the closing frame.
  void NextDescriptors(const std::vector<TDescriptor>& descriptors) {
    std::vector<uint8_t> all;
    for (const auto& d : descriptors) all.insert(all.end(), d.begin(), d.end());
    uint8_t block[300];
    const size_t bl = BuildAnswerFrame(0x03, all.data(), all.size(), block);
    uint8_t close[8];
    const size_t cl = BuildAnswerFrame(0x0F, nullptr, 0, close);
    sim_.WithNetwork([&](sim::TSimNetwork& n) {
      n.AutoconfigBursts = {std::vector<uint8_t>(block, block + bl), std::vector<uint8_t>(close, close + cl)};
    });
  }
};

}  // namespace

TEST_F(AutoconfigFailureTest, ListThatCannotBeBuiltAnswers29AndKeepsTheConfigurationAcrossARestart) {
  OpenPort();
  Autoconfigure();
  const auto fileBefore = FileBytes(core_->SystemFilePath());
  ASSERT_EQ(fileBefore.size(), 180u);
  const auto recordsBefore = core_->Model.Controllers.Snapshot();
  ASSERT_EQ(recordsBefore.size(), 3u);
  // The second descriptor has a second-level address and a factory address
  // of 16 or more in d2: together they do not fit in 16 bits.
  NextDescriptors({{0x00, 0x34, 0x02, 0x80, 0x0B, 0x00, 0x00, 0x00}, {0x03, 0x01, 0x10, 0x05, 0x1A, 0x00, 0x00, 0x00}});
  const int32_t id = PutBuf({255, 255, 0});
  Drain();
  EXPECT_EQ(Answer(id).Value, 29) << "Не могу создать список устройств системы.";
  // The working configuration stays: controller and address lists as they
  // were, the file untouched; only the device list was emptied at the start.
  const auto recordsAfter = core_->Model.Controllers.Snapshot();
  ASSERT_EQ(recordsAfter.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(recordsAfter[i].SysAdr, recordsBefore[i].SysAdr);
    EXPECT_EQ(recordsAfter[i].MakeAdr, recordsBefore[i].MakeAdr);
  }
  EXPECT_TRUE(core_->Model.IsConfigured());
  EXPECT_EQ(core_->Model.Addresses.FindSysAdr(kModemMakeAdr), 2);
  EXPECT_EQ(core_->Model.DeviceInfo.Count(), 0u);
  EXPECT_EQ(FileBytes(core_->SystemFilePath()), fileBefore);
  // The status query of the primary, the autoconfiguration, then the status
  // reads of the controllers still configured.
  EXPECT_EQ(sim_.FrameCount(), 5u);
  EXPECT_EQ(display_.Status(), "работа");
  // A restart saves and loads the same configuration, not an empty one.
  core_->SaveAndFree();
  EXPECT_EQ(FileBytes(core_->SystemFilePath()).size(), 180u);
  core_->LoadAndCreate();
  EXPECT_EQ(core_->Model.Controllers.Count(), 3u);
  EXPECT_EQ(core_->Model.Addresses.FindSysAdr(kModemMakeAdr), 2);
}

TEST_F(AutoconfigFailureTest, FileThatCannotBeSavedAnswers30AndKeepsTheNewList) {
  OpenPort();
  Autoconfigure();
  const auto fileBefore = FileBytes(core_->SystemFilePath());
  // A directory in the way of the rename: the save fails even for root.
  const std::string blocked = core_->SystemFilePath();
  std::filesystem::remove(blocked);
  std::filesystem::create_directory(blocked);
  std::filesystem::create_directory(blocked + "/keep");
  // Two controllers where there were three: the primary and a new one.
  NextDescriptors({{0x00, 0x34, 0x02, 0x80, 0x0B, 0x00, 0x00, 0x00}, {0x05, 0x44, 0x00, 0x80, 0x0B, 0x00, 0x00, 0x00}});
  const int32_t id = PutBuf({255, 255, 0});
  Drain();
  EXPECT_EQ(Answer(id).Value, 30) << "Ошибка работы со списком устройств системы.";
  TDeviceModel& m = core_->Model;
  ASSERT_EQ(m.Controllers.Count(), 2u) << "the new controller list stays";
  TTKDItem r;
  EXPECT_TRUE(m.Controllers.GetRecord(5, r));
  EXPECT_FALSE(m.Controllers.GetRecord(2, r));
  // The address list follows the new controller list, so no command meant
  // for one controller reaches another by a stale address.
  EXPECT_EQ(m.Addresses.FindSysAdr(0x44), 5);
  EXPECT_EQ(m.Addresses.FindSysAdr(kModemMakeAdr), -1);
  EXPECT_EQ(core_->Port.ReadTotalTimeout(), 1600u) << "the read time-out follows the new count (2 x 800 ms)";
  EXPECT_TRUE(std::filesystem::is_directory(blocked + "/keep")) << "nothing was written over the obstacle";
  // The status reads still ran for the new controllers, and the answer is
  // the save failure, not their success.
  EXPECT_DOUBLE_EQ(m.Controllers.Snapshot()[0].StatusTime, clock_.Now());
  // Once the file can be written again, the next save holds the new list.
  std::filesystem::remove_all(blocked);
  core_->SaveAndFree();
  EXPECT_EQ(FileBytes(blocked).size(), 120u);
  EXPECT_NE(FileBytes(blocked), fileBefore);
  core_->LoadAndCreate();
  EXPECT_EQ(core_->Model.Controllers.Count(), 2u);
}
