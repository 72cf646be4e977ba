#include <gtest/gtest.h>

#include "model/controller_record.h"
#include "model/devices.h"
#include "util/result_codes.h"

using namespace vexon;

namespace {
std::vector<TDescriptor> Descs(std::initializer_list<TDescriptor> l) { return l; }
}  // namespace

TEST(Descriptor, PrimaryWithOneDriver) {
  TDescriptor d = {0x00, 0x34, 0x02, 0x80, 0x0B, 0x00, 0x00, 0x00};
  NormaliseDescriptor(d);
  TTKDItem r;
  ASSERT_TRUE(BuildRecord(d, r));
  EXPECT_EQ(r.SysAdr, 0);
  EXPECT_EQ(r.MakeAdr, 564);
  EXPECT_EQ(r.Primary, 1);
  EXPECT_EQ(r.Hub, 0);
  EXPECT_EQ(r.SecondLevelAdr, 0);
  EXPECT_EQ(r.Modem, 0);
  EXPECT_EQ(r.DrvCount, 1);
  const TDriverSlot& s = r.Drivers[0];
  EXPECT_EQ(s.DrvPresent, 1);
  EXPECT_EQ(s.DrvAdr, 2);
  EXPECT_EQ(s.DrvType, 1);
  EXPECT_EQ(s.DrvInp, 2);
  EXPECT_EQ(s.DrvOut, 2);
  EXPECT_EQ(s.DrvWOut, 4);
  EXPECT_EQ(s.DrvIm, 2);
  EXPECT_EQ(r.Drivers[1].DrvPresent, 0);
}

TEST(Descriptor, NormalisationOfSecondLevelAddress) {
  TDescriptor a = {1, 0x10, 0, 0x04, 0, 0, 0, 0};
  NormaliseDescriptor(a);
  EXPECT_EQ(a[3], 0x00);
  TTKDItem r;
  ASSERT_TRUE(BuildRecord(a, r));
  EXPECT_EQ(r.Modem, 0);
  EXPECT_EQ(r.MakeAdr, 0x10);

  TDescriptor b = {1, 0x10, 0, 0x05, 0, 0, 0, 0};
  NormaliseDescriptor(b);
  EXPECT_EQ(b[3], 0x05);
  ASSERT_TRUE(BuildRecord(b, r));
  EXPECT_EQ(r.SecondLevelAdr, 1);
  EXPECT_EQ(r.Modem, 1);
  EXPECT_EQ(r.MakeAdr, 0x10 + 4096);
}

TEST(Descriptor, DriverTypesAndAddresses) {
  EXPECT_EQ(DriverTypeOf(0x50), 2);
  EXPECT_EQ(DriverAdrOf(0x50), 1);
  EXPECT_EQ(DriverTypeOf(0x07), 2);
  EXPECT_EQ(DriverAdrOf(0x07), 4);
  EXPECT_EQ(DriverTypeOf(0x48), 9);
  const TDriverSlot s3 = MakeDriverSlot(0x18);  // type 3
  EXPECT_EQ(s3.DrvType, 3);
  EXPECT_EQ(s3.DrvIm, 0);
  EXPECT_EQ(s3.DrvWOut, 2);
}

TEST(Descriptor, SecondDriverMergedOnlyOnModemControllers) {
  TDescriptor m = {2, 0x20, 0, 0x08, 0x1A, 0x1A, 0, 0};  // second-level 2
  TTKDItem r;
  ASSERT_TRUE(BuildRecord(m, r));
  EXPECT_EQ(r.DrvCount, 1);
  EXPECT_EQ(r.Drv2Merged, 1);
  EXPECT_EQ(r.Drivers[1].DrvPresent, 0);
  EXPECT_EQ(m[5], 0);

  TDescriptor p = {2, 0x20, 0, 0x00, 0x1A, 0x1A, 0, 0};
  ASSERT_TRUE(BuildRecord(p, r));
  EXPECT_EQ(r.DrvCount, 2);
  EXPECT_EQ(r.Drv2Merged, 0);
}

TEST(Descriptor, FactoryAddressOverflowFails) {
  TDescriptor d = {3, 0xFF, 0x10, 0x08, 0, 0, 0, 0};  // d2 = 16 with second-level 2
  TTKDItem r;
  EXPECT_FALSE(BuildRecord(d, r));
  TDescriptor big = {3, 0xFF, 0xFF, 0x00, 0, 0, 0, 0};  // no second level: 65535 fits
  ASSERT_TRUE(BuildRecord(big, r));
  EXPECT_EQ(r.MakeAdr, 65535);
  // A list that cannot be built leaves the one in place untouched.
  TDeviceModel m;
  std::vector<TDescriptor> good = {{1, 1, 0, 0x80, 0, 0, 0, 0}, {2, 5, 0, 0, 0, 0, 0, 0}};
  ASSERT_TRUE(m.BuildControllerList(&good));
  std::vector<TDescriptor> v = {{4, 9, 0, 0, 0, 0, 0, 0}, d};
  EXPECT_FALSE(m.BuildControllerList(&v));
  EXPECT_FALSE(m.BuildControllerList(nullptr));
  ASSERT_EQ(m.Controllers.Count(), 2u);
  TTKDItem kept;
  EXPECT_TRUE(m.Controllers.GetRecord(1, kept));
  EXPECT_TRUE(m.Controllers.GetRecord(2, kept));
  EXPECT_FALSE(m.Controllers.GetRecord(4, kept)) << "nothing of the failed list";
}

TEST(ControllerRecord, SixtyBytesFieldByField) {
  TTKDItem r;
  r.SysAdr = 7;
  r.MakeAdr = 0x1234;
  r.Hub = 1;
  r.SecondLevelAdr = 3;
  r.Primary = 1;
  r.Modem = 1;
  r.DrvCount = 2;
  r.Drivers[3] = TDriverSlot{1, 4, 9, 4, 4, 4, 2};
  r.Zone1 = 5;
  r.Zone2 = 127;
  r.USCSValid = 1;
  r.USCSChanged = 1;
  r.Status = {1, 2, 3, 4, 5, 6, 7};
  r.StatusTime = 45000.25;
  r.Drv2Merged = 1;
  r.JournalPending = 1;
  uint8_t b[60];
  std::fill(b, b + 60, 0xEE);
  EncodeRecord(r, b);
  EXPECT_EQ(b[0], 7);
  EXPECT_EQ(b[1], 0x34);
  EXPECT_EQ(b[2], 0x12);
  EXPECT_EQ(b[3], 1);
  EXPECT_EQ(b[4], 3);
  EXPECT_EQ(b[29], 1);  // slot 4 present
  EXPECT_EQ(b[30], 4);
  EXPECT_EQ(b[35], 2);
  EXPECT_EQ(b[36], 5);
  EXPECT_EQ(b[37], 127);
  EXPECT_EQ(b[40], 1);
  EXPECT_EQ(b[46], 7);
  EXPECT_EQ(b[55], 1);
  EXPECT_EQ(b[56], 1);
  EXPECT_EQ(b[57], 0);
  EXPECT_EQ(b[58], 0);
  EXPECT_EQ(b[59], 0);
  const TTKDItem back = DecodeRecord(b);
  EXPECT_EQ(back.MakeAdr, 0x1234);
  EXPECT_DOUBLE_EQ(back.StatusTime, 45000.25);
  EXPECT_EQ(back.Drivers[3].DrvType, 9);
  EXPECT_EQ(back.Status, r.Status);
}

TEST(DeviceModel, BuildListsFirstOfDuplicateWins) {
  TDeviceModel m;
  auto d = Descs({{0, 0x34, 2, 0x80, 0x0B, 0, 0, 0}, {1, 0x10, 0, 0x40, 0, 0, 0, 0}, {1, 0x99, 0, 0, 0, 0, 0, 0}});
  ASSERT_TRUE(m.BuildControllerList(&d));
  m.BuildAddressList();
  EXPECT_EQ(m.Controllers.Count(), 2u);
  EXPECT_EQ(m.Addresses.FindSysAdr(0x10), 1);
  EXPECT_EQ(m.Addresses.FindSysAdr(0x99), -1);
  EXPECT_EQ(m.Addresses.FindSysAdr(0), 255);
  EXPECT_EQ(m.Addresses.FindMakeAdr(0), 564);
  EXPECT_EQ(m.Addresses.FindMakeAdr(9), -1);
  EXPECT_EQ(m.Controllers.CountControllers(), 1);
}

TEST(DeviceModel, EmptyListStillMapsZeroToAll) {
  TDeviceModel m;
  EXPECT_EQ(m.Addresses.FindSysAdr(0), 255);
  EXPECT_EQ(m.Addresses.FindSysAdr(5), -1);
  EXPECT_FALSE(m.IsConfigured());
}

TEST(DeviceModel, CountsReadinessAndZones) {
  TDeviceModel m;
  auto d = Descs({{0, 1, 0, 0x80, 0, 0, 0, 0}, {1, 2, 0, 0x40, 0, 0, 0, 0}, {2, 3, 0, 0, 0, 0, 0, 0}});
  ASSERT_TRUE(m.BuildControllerList(&d));
  TTKDList& t = m.Controllers;
  EXPECT_EQ(t.CountControllers(), 2);
  EXPECT_EQ(t.CountReady(), 0);
  ASSERT_TRUE(t.SetStatusByte(0, 2, 0x00));
  ASSERT_TRUE(t.SetStatusByte(2, 2, 0x80));  // no link
  EXPECT_TRUE(t.IsReady(0));
  EXPECT_FALSE(t.IsReady(2));
  EXPECT_EQ(t.CountReady(), 1);
  EXPECT_TRUE(t.SetReaderZone(0, 0, 5));
  EXPECT_TRUE(t.SetReaderZone(0, 1, 5));
  EXPECT_TRUE(t.SetReaderZone(2, 1, 5));
  EXPECT_TRUE(t.SetReaderZone(1, 0, 5));  // the hub is not counted
  EXPECT_EQ(t.CountInZone(5), 2);
  EXPECT_EQ(t.CountReadyInZone(5), 1);
  EXPECT_FALSE(t.SetReaderZone(0, 2, 5));
  EXPECT_FALSE(t.SetReaderZone(0, 0, 128));
  EXPECT_FALSE(t.SetReaderZone(9, 0, 1));
  EXPECT_FALSE(t.SetStatusByte(0, 8, 1));
}

TEST(DeviceModel, SystemAddressFindsItsOwnRecordAcrossAGap) {
  TDeviceModel m;
  auto d = Descs({{0, 1, 0, 0x80, 0, 0, 0, 0}, {5, 2, 0, 0, 0, 0, 0, 0}});
  ASSERT_TRUE(m.BuildControllerList(&d));
  TTKDItem r;
  EXPECT_FALSE(m.Controllers.GetRecord(1, r));
  ASSERT_TRUE(m.Controllers.GetRecord(5, r));
  EXPECT_EQ(r.MakeAdr, 2);
  ASSERT_TRUE(m.Controllers.GetRecordAt(1, r));
  EXPECT_EQ(r.SysAdr, 5);
}

TEST(DeviceModel, ReadingOperationsAndTheirCodes) {
  TDeviceModel m;
  TDriverInfo di;
  TControllerInfo ci;
  TDescriptor desc;
  TControllerUSCS u;
  int32_t cnt = -1;
  EXPECT_EQ(m.GetDriverInfo(1, 5, di), rcBadDriver);
  EXPECT_EQ(m.GetDriverInfo(1, 0, di), rcBadDriver);
  EXPECT_EQ(m.GetDriverInfo(1, 1, di), rcNotConfigured);
  EXPECT_EQ(m.GetControllerCount(cnt), rcNotConfigured);
  EXPECT_EQ(m.GetControllerInfo(1, ci), rcNotConfigured);

  auto d = Descs({{0, 0x34, 2, 0x80, 0x0B, 0, 0, 0}, {1, 0x20, 0, 0x08, 0x1A, 0x1A, 0, 0}});
  ASSERT_TRUE(m.BuildControllerList(&d));
  m.BuildAddressList();
  for (auto& x : d) m.DeviceInfo.Append(x);
  EXPECT_EQ(m.GetControllerCount(cnt), 0);
  EXPECT_EQ(cnt, 2);
  EXPECT_EQ(m.GetControllerInfo(0, ci), rcBadController);
  EXPECT_EQ(m.GetControllerInfo(3, ci), rcBadController);
  ASSERT_EQ(m.GetControllerInfo(2, ci), 0);
  EXPECT_EQ(ci.MakeAdr, 0x20 + 2 * 4096);
  EXPECT_EQ(ci.Modem, 1);
  EXPECT_EQ(ci.SecondLevelAdr, 2);
  EXPECT_EQ(m.GetDriverInfo(2, 2, di), rcDriverMissing);
  ASSERT_EQ(m.GetDriverInfo(1, 1, di), 0);
  EXPECT_EQ(di.DrvAdr, 2);
  ASSERT_EQ(m.GetControllerDesc(2, desc), 0);
  EXPECT_EQ(desc[0], 1) << "the descriptor at the second position";
  EXPECT_EQ(desc[4], 0x1A);
  EXPECT_EQ(desc[5], 0) << "the merged driver byte reads as 0";
  EXPECT_EQ(m.GetControllerDesc(3, desc), rcBadController);

  m.Controllers.SetStatusByte(1, 3, 0xF0);
  ASSERT_EQ(m.GetControllerUSCS(2, u), 0);
  EXPECT_EQ(u.USCSChanged, 1);
  EXPECT_EQ(u.USCSValid, 1);
  EXPECT_EQ(u.Status[2], 0xF0);
  ASSERT_EQ(m.GetControllerUSCS(2, u), 0);
  EXPECT_EQ(u.USCSChanged, 0) << "reading clears the changed flag";

  m.DeviceInfo.Clear();  // after a restart the descriptors are gone
  EXPECT_EQ(m.GetControllerDesc(1, desc), TDeviceModel::kNoDescriptor);
  EXPECT_EQ(m.GetControllerDesc(3, desc), rcBadController) << "the position is checked first";
}
