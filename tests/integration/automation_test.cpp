// The automation operations in process, against the simulator: the order of
// each operation's checks and the exact command that reaches the line.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "automation/descriptions.h"
#include "automation/server_object.h"
#include "automation_fixture.h"
#include "link/frames.h"
#include "link/uart.h"
#include "util/date_time.h"
#include "util/result_codes.h"

using namespace vexon;
using namespace vexon::testing;


TEST_F(AutomationTest, EverySendingOperationNeedsAConfiguration) {
  const char* ops[] = {"SetReaderZone", "ClearToDefault", "SetReaderParameters", "SetImParameters",
                       "SetInpParameters", "SetOutParameters", "SetWOutParameters", "SetAlarmGenParameters",
                       "SetAutoAlarmOut", "SetRKD", "SetSystemRKDwithProperties", "SetAutoRKDwithProperties",
                       "SetAlarm", "ClearAlarm", "OpenIm", "CloseIm", "SetOut", "ClearOut", "PermitPass",
                       "ProhibitPass", "SendAutRkd"};
  for (const char* op : ops) {
    const TCall c = Invoke(op, {{"EventID", int64_t{77}}, {"MakeAdr", int64_t{70000}}, {"DriverAdr", int64_t{9}}});
    EXPECT_EQ(Value(c), 31) << op;
    EXPECT_EQ(Out(c, "EventID"), 77) << op << ": EventID untouched";
  }
  EXPECT_EQ(core_->Requests.RequestCount(), 0u);
  // The clock needs no configuration.
  EXPECT_EQ(Value(Invoke("SetTimer")), 0);
}

TEST_F(AutomationTest, ControllerAddressingOrder) {
  Configure();
  EXPECT_THROW(Invoke("ClearToDefault", {{"MakeAdr", int64_t{70000}}}), TAutomationError);
  EXPECT_THROW(Invoke("ClearToDefault", {{"MakeAdr", int64_t{-2}}}), TAutomationError);
  EXPECT_EQ(Value(Invoke("ClearToDefault", {{"MakeAdr", int64_t{999}}})), 32);
  EXPECT_EQ(core_->Requests.RequestCount(), 0u);
  const TCall ok = Invoke("ClearToDefault", {{"EventID", int64_t{5}}, {"MakeAdr", kModem}});
  EXPECT_EQ(Value(ok), 0);
  EXPECT_GT(Out(ok, "EventID"), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{2, 0xFF, 6}));
}

TEST_F(AutomationTest, ControllerDescriptorIsFoundBySystemAddressNotAnswerOrder) {
  // The controllers answer in the order 2, 0, 1; the controller list is in
  // address order, so controller 1 is SysAdr 0 and its descriptor is the
  // second of the answer.
  const auto net = MixedNetwork();
  std::vector<uint8_t> descriptors;
  for (const int sys : {2, 0, 1})
    descriptors.insert(descriptors.end(), net.Controllers[sys].Descriptor.begin(), net.Controllers[sys].Descriptor.end());
  uint8_t block[64], close[8];
  const size_t bl = BuildAnswerFrame(0x03, descriptors.data(), descriptors.size(), block);
  const size_t cl = BuildAnswerFrame(0x0F, nullptr, 0, close);
  sim_.WithNetwork([&](sim::TSimNetwork& n) {
    n.AutoconfigBursts = {std::vector<uint8_t>(block, block + bl), std::vector<uint8_t>(close, close + cl)};
  });
  Configure();
  const std::vector<std::vector<int64_t>> expected = {
      {0x00, 0x34, 0x02, 0x80, 0x0B, 0x00, 0x00, 0x00},
      {0x01, 0x10, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00},
      {0x02, 0x20, 0x00, 0x05, 0x1A, 0x00, 0x00, 0x00},  // the merged driver byte reads 0
  };
  for (int n = 1; n <= 3; ++n) {
    const TCall c = Invoke("GetControllerDesc", {{"ControllerNum", int64_t{n}}});
    ASSERT_EQ(Value(c), 0) << n;
    std::vector<int64_t> got;
    for (int b = 1; b <= 8; ++b) got.push_back(Out(c, "b" + std::to_string(b)));
    EXPECT_EQ(got, expected[static_cast<size_t>(n - 1)]) << "controller " << n;
  }
}

TEST_F(AutomationTest, ReaderZone) {
  Configure();
  EXPECT_EQ(Value(Invoke("SetReaderZone", {{"MakeAdr", kPrimary}, {"ReaderNumber", int64_t{2}},
                                           {"ZoneNumber", int64_t{200}}})),
            41)
      << "the reader is checked before the zone";
  EXPECT_EQ(Value(Invoke("SetReaderZone", {{"MakeAdr", kPrimary}, {"ReaderNumber", int64_t{1}},
                                           {"ZoneNumber", int64_t{128}}})),
            42);
  ASSERT_EQ(Value(Invoke("SetReaderZone", {{"MakeAdr", int64_t{0}}, {"ReaderNumber", int64_t{1}},
                                           {"ZoneNumber", int64_t{9}}})),
            0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{0xFF, 1, 4, 9})) << "MakeAdr 0 addresses 255";
}

TEST_F(AutomationTest, ReaderParametersPacking) {
  Configure();
  EXPECT_EQ(Value(Invoke("SetReaderParameters", {{"MakeAdr", kPrimary}, {"ReaderNumber", int64_t{0}},
                                                 {"ReaderType", int64_t{3}}})),
            43);
  ASSERT_EQ(Value(Invoke("SetReaderParameters",
                         {{"MakeAdr", kPrimary}, {"ReaderNumber", int64_t{1}}, {"ReaderType", int64_t{2}},
                          {"EnterOnCardPresent", int64_t{5}}, {"PinCode", int64_t{1}}, {"ImMask", int64_t{0xF3}},
                          {"Time", int64_t{20}}})),
            0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{0, 1, 7, 0x80 | 0x40 | 0x10 | 0x03, 20}));
  ASSERT_EQ(Value(Invoke("SetReaderParameters", {{"MakeAdr", kPrimary}, {"ReaderType", int64_t{0}},
                                                 {"ImMask", int64_t{0x0F}}})),
            0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{0, 0, 7, 0x00, 0})) << "no mask for reader type 0";
}

TEST_F(AutomationTest, LockMechanismParameters) {
  Configure();
  std::map<std::string, TArgValue> a = {{"MakeAdr", kPrimary}, {"DriverAdr", int64_t{2}}, {"ImNumber", int64_t{3}}};
  EXPECT_EQ(Value(Invoke("SetImParameters", a)), 44);
  a["DriverAdr"] = int64_t{5};
  EXPECT_EQ(Value(Invoke("SetImParameters", a)), 33) << "the driver before the mechanism";
  a["DriverAdr"] = int64_t{2};
  a["ImNumber"] = int64_t{9};  // low bits 1: passes, the channel keeps 9
  a["OpenTime"] = int64_t{32};
  EXPECT_EQ(Value(Invoke("SetImParameters", a)), 45);
  a["OpenTime"] = int64_t{31};
  a["TriggerTime"] = int64_t{128};
  EXPECT_EQ(Value(Invoke("SetImParameters", a)), 46);
  a["TriggerTime"] = int64_t{100};
  a["InpForAutoClose"] = int64_t{16};
  EXPECT_EQ(Value(Invoke("SetImParameters", a)), 47);
  a["InpForAutoClose"] = int64_t{4};
  a["ClosePower"] = int64_t{1};
  a["CloseAfterOpen"] = int64_t{2};  // flags count only when exactly 1
  a["NormalOpen"] = int64_t{1};
  a["Trigger"] = int64_t{1};
  a["MaxOpenTime"] = int64_t{200};
  a["OutActiveForOpen"] = int64_t{3};
  a["InpNoAnalyzeForOpen"] = int64_t{5};
  a["NoAnalyzeTime"] = int64_t{66};
  a["InpForAutoOpen"] = int64_t{7};
  a["PDUWeek"] = int64_t{1};
  a["AutoOpenWeek"] = int64_t{1};
  a["PDUTimeZoneNum"] = int64_t{12};
  a["AutoTimeZoneNum"] = int64_t{13};
  ASSERT_EQ(Value(Invoke("SetImParameters", a)), 0);
  EXPECT_EQ(SentCommand(),
            (std::vector<uint8_t>{0, 2 * 16 + 9, 8, 0x80 | 0x20 | 31, 0x80 | 100, 200, 0x35, 66, 0x74, 0xC0, 12, 13}));
}

TEST_F(AutomationTest, InputOutputAndServiceOutputParameters) {
  Configure();
  std::map<std::string, TArgValue> in = {{"MakeAdr", kPrimary}, {"DriverAdr", int64_t{1}}, {"InpNumber", int64_t{5}}};
  EXPECT_EQ(Value(Invoke("SetInpParameters", in)), 48);
  in["InpNumber"] = int64_t{4};
  in["NoAnalyzeTime"] = int64_t{128};
  EXPECT_EQ(Value(Invoke("SetInpParameters", in)), 49);
  in["NoAnalyzeTime"] = int64_t{10};
  in["AnalyzeType"] = int64_t{4};
  EXPECT_EQ(Value(Invoke("SetInpParameters", in)), 50);
  in["AnalyzeType"] = int64_t{2};
  in["NormalOpen"] = int64_t{1};
  in["OutActiveForInp"] = int64_t{1};
  in["InpNoAnalyzeForInp"] = int64_t{2};
  in["Week"] = int64_t{1};
  in["AnalyzeTimeZone"] = int64_t{9};
  ASSERT_EQ(Value(Invoke("SetInpParameters", in)), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{0, 0x14, 9, 0x8A, 0x12, 0x82, 9}));

  std::map<std::string, TArgValue> out = {{"MakeAdr", kPrimary}, {"DriverAdr", int64_t{1}}, {"OutNumber", int64_t{0}}};
  EXPECT_EQ(Value(Invoke("SetOutParameters", out)), 51);
  out["OutNumber"] = int64_t{2};
  out["ActivateTime"] = int64_t{128};
  EXPECT_EQ(Value(Invoke("SetOutParameters", out)), 52);
  out["ActivateTime"] = int64_t{5};
  out["ActivateType"] = int64_t{4};
  EXPECT_EQ(Value(Invoke("SetOutParameters", out)), 53);
  out["ActivateType"] = int64_t{3};
  out["NormalClose"] = int64_t{1};
  ASSERT_EQ(Value(Invoke("SetOutParameters", out)), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{0, 0x12, 10, 0x85, 0x03, 0}));

  std::map<std::string, TArgValue> w = {{"MakeAdr", kPrimary}, {"DriverAdr", int64_t{1}}, {"WOutNumber", int64_t{5}}};
  EXPECT_EQ(Value(Invoke("SetWOutParameters", w)), 54);
  w["WOutNumber"] = int64_t{4};
  w["Info"] = int64_t{0x30};
  EXPECT_EQ(Value(Invoke("SetWOutParameters", w)), 55);
  w["Info"] = int64_t{0x21};
  w["Settings"] = int64_t{7};
  w["Reaction8"] = int64_t{8};
  ASSERT_EQ(Value(Invoke("SetWOutParameters", w)), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{0, 0x14, 11, 0x21, 7, 0, 0, 0, 0, 0, 0, 0, 8}));

  std::map<std::string, TArgValue> g = {{"MakeAdr", kPrimary}, {"DriverAdr", int64_t{1}}, {"OutNumber", int64_t{5}}};
  EXPECT_EQ(Value(Invoke("SetAlarmGenParameters", g)), 51);
  EXPECT_EQ(Value(Invoke("SetAutoAlarmOut", g)), 51);
  g["OutNumber"] = int64_t{0};
  g["OnInp2"] = int64_t{2};
  ASSERT_EQ(Value(Invoke("SetAlarmGenParameters", g)), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{0, 0x10, 12, 0, 0, 0, 2}));
  ASSERT_EQ(Value(Invoke("SetAutoAlarmOut", g)), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{0, 0x10, 13}));
}

TEST_F(AutomationTest, AccessModeAddressing) {
  Configure();
  EXPECT_EQ(Value(Invoke("SetRKD", {{"MakeAdr", int64_t{-1}}, {"AdditionAdr", int64_t{200}}})), 42);
  EXPECT_EQ(Value(Invoke("SetRKD", {{"MakeAdr", kPrimary}, {"AdditionAdr", int64_t{2}}})), 41);
  EXPECT_EQ(Value(Invoke("SetRKD", {{"MakeAdr", kPrimary}, {"AdditionAdr", int64_t{0}}, {"RKDCode", int64_t{5}}})),
            56);
  ASSERT_EQ(Value(Invoke("SetRKD", {{"MakeAdr", kPrimary}, {"AdditionAdr", int64_t{255}}, {"RKDCode", int64_t{2}}})),
            0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{0, 255, 64, 2}));
  ASSERT_EQ(Value(Invoke("SetRKD", {{"MakeAdr", int64_t{-5}}, {"AdditionAdr", int64_t{7}}, {"RKDCode", int64_t{4}}})),
            0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{255, 255, 64, 4})) << "the whole system";
  ASSERT_EQ(Value(Invoke("SetRKD", {{"MakeAdr", int64_t{-1}}, {"AdditionAdr", int64_t{127}}, {"RKDCode", int64_t{1}}})),
            0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{255, 127, 64, 1})) << "a zone";
  EXPECT_EQ(Value(Invoke("SetSystemRKDwithProperties", {{"MakeAdr", kPrimary}, {"RKDCode", int64_t{1}}})), 56);
  ASSERT_EQ(Value(Invoke("SetSystemRKDwithProperties", {{"MakeAdr", kPrimary}, {"RKDCode", int64_t{3}},
                                                        {"Property1", int64_t{7}}, {"Property2", int64_t{8}}})),
            0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{0, 0, 65, 3, 7, 8}));
  ASSERT_EQ(Value(Invoke("SetAutoRKDwithProperties", {{"MakeAdr", kPrimary}, {"AdditionAdr", int64_t{1}},
                                                      {"Property1", int64_t{4}}, {"Property2", int64_t{5}}})),
            0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{0, 1, 65, 1, 4, 5}));
  ASSERT_EQ(Value(Invoke("SetAlarm", {{"MakeAdr", kModem}, {"AdditionAdr", int64_t{1}}})), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{2, 1, 68}));
  ASSERT_EQ(Value(Invoke("ClearAlarm", {{"MakeAdr", int64_t{0}}})), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{255, 255, 69}));
  EXPECT_THROW(Invoke("SetAlarm", {{"MakeAdr", int64_t{70000}}}), TAutomationError);
}

TEST_F(AutomationTest, DirectCommands) {
  Configure();
  EXPECT_EQ(Value(Invoke("OpenIm", {{"MakeAdr", kPrimary}, {"DriverAdr", int64_t{2}}, {"ImNumber", int64_t{3}}})), 44);
  EXPECT_EQ(Value(Invoke("OpenIm", {{"MakeAdr", kPrimary}, {"DriverAdr", int64_t{2}}, {"ImNumber", int64_t{9}}})), 44)
      << "no mask for the direct commands";
  ASSERT_EQ(Value(Invoke("OpenIm", {{"MakeAdr", kPrimary}, {"DriverAdr", int64_t{2}}, {"ImNumber", int64_t{1}}})), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{0, 0x21, 66}));
  ASSERT_EQ(Value(Invoke("CloseIm", {{"MakeAdr", kPrimary}, {"DriverAdr", int64_t{2}}, {"ImNumber", int64_t{2}}})), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{0, 0x22, 67}));
  ASSERT_EQ(Value(Invoke("SetOut", {{"MakeAdr", kPrimary}, {"DriverAdr", int64_t{1}}, {"OutNumber", int64_t{4}},
                                    {"ActivateType", int64_t{7}}})),
            0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{0, 0x14, 70, 7})) << "the activation type passes unchanged";
  for (int64_t bad : {0, -1, 5})
    EXPECT_EQ(Value(Invoke("ClearOut", {{"MakeAdr", kPrimary}, {"DriverAdr", int64_t{1}}, {"OutNumber", bad}})), 51);
  ASSERT_EQ(Value(Invoke("ClearOut", {{"MakeAdr", kPrimary}, {"DriverAdr", int64_t{1}}, {"OutNumber", int64_t{4}}})),
            0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{0, 0x14, 71}));
  EXPECT_EQ(Value(Invoke("PermitPass", {{"MakeAdr", kPrimary}, {"ReaderNumber", int64_t{2}}})), 41);
  ASSERT_EQ(Value(Invoke("ProhibitPass", {{"MakeAdr", kModem}, {"ReaderNumber", int64_t{1}}})), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{2, 1, 76}));
}

TEST_F(AutomationTest, AutonomousAccessMode) {
  Configure();
  EXPECT_EQ(Value(Invoke("SendAutRkd", {{"MakeAdr", kPrimary}, {"Param1", int64_t{3}}})), 56);
  EXPECT_EQ(Value(Invoke("SendAutRkd", {{"MakeAdr", kPrimary}, {"Param1", int64_t{-1}}})), 56);
  EXPECT_EQ(Value(Invoke("SendAutRkd", {{"MakeAdr", int64_t{12345}}, {"Param1", int64_t{3}}})), 32)
      << "the lookup comes before the parameter";
  ASSERT_EQ(Value(Invoke("SendAutRkd", {{"MakeAdr", int64_t{-3}}, {"Param1", int64_t{2}}})), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{255, 255, 40, 2, 0, 0}));
}

TEST_F(AutomationTest, ClockBytes) {
  Configure();
  ASSERT_EQ(Value(Invoke("SetTimerBS", {{"DT", EncodeDateTime({1999, 12, 31, 23, 59, 58, 0})}})), 0);
  EXPECT_EQ(SentCommand(), (std::vector<uint8_t>{255, 255, 5, 0x58, 0x59, 0x23, 0x06, 0x31, 0x12, 0x99}));
  EXPECT_THROW(Invoke("SetTimerBS", {{"DT", EncodeDateTime({2100, 1, 1, 0, 0, 0, 0})}}), TAutomationError);
  EXPECT_THROW(Invoke("SetTimerBS", {{"DT", EncodeDateTime({1899, 12, 31, 0, 0, 0, 0})}}), TAutomationError);
}

TEST_F(AutomationTest, MonitoringOperations) {
  TCall e = Invoke("GetMonEvent", {{"Year", int64_t{7}}, {"CardID", int64_t{9}}});
  EXPECT_EQ(Value(e), 35);
  EXPECT_EQ(Out(e, "Year"), 7);
  EXPECT_EQ(Out(e, "CardID"), 9);
  Invoke("StartMonitoring");
  EXPECT_TRUE(monitor_->MonitoringOn());
  EXPECT_TRUE(monitor_->FirstPass());
  journal_.Publish({{EncodeDateTime({2004, 3, 20, 9, 5, 7, 0}), 564, 1, 2, 3, 1234, 7, false}});
  e = Invoke("GetMonEvent");
  EXPECT_EQ(Value(e), 0);
  EXPECT_EQ(Out(e, "Year"), 2004);
  EXPECT_EQ(Out(e, "Second"), 7);
  EXPECT_EQ(Out(e, "MakeAdr"), 564);
  EXPECT_EQ(Out(e, "EventAdd"), 3);
  EXPECT_EQ(Out(e, "CardID"), 1234);
  EXPECT_EQ(Out(e, "FacilityCode"), 7);
  journal_.Publish({{EncodeDateTime({2004, 3, 20, 9, 5, 7, 0}), 564, 1, 2, 3, 1234, 7, false}});
  Invoke("ClearMonJournal");
  EXPECT_EQ(Value(Invoke("GetMonEvent")), 35);
  Invoke("StopMonitoring");
  EXPECT_FALSE(monitor_->MonitoringOn());
}

TEST(Descriptions, RegistrationEvents) {
  EXPECT_EQ(GetRegEventDescription(1, 0), "Попытка доступа");
  EXPECT_EQ(GetRegEventDescription(1, 15), "Отказ в доступе,по команде охраника");
  EXPECT_EQ(GetRegEventDescription(1, 5), "Неизвестное событие типа 1");
  EXPECT_EQ(GetRegEventDescription(1, 16), "Неизвестное событие типа 1");
  EXPECT_EQ(GetRegEventDescription(2, 4), "Смена РКД: Закрыто");
  EXPECT_EQ(GetRegEventDescription(2, 5), "Неизвестное событие типа 2");
  EXPECT_EQ(GetRegEventDescription(3, 0), "Неизвестное событие типа 3");
  EXPECT_EQ(GetRegEventDescription(3, 4), "Сброс выхода");
  EXPECT_EQ(GetRegEventDescription(5, 0), "Неизвестное событие типа 5");
  EXPECT_EQ(GetRegEventDescription(5, 12), "Восстановление связи с драйвером");
  EXPECT_EQ(GetRegEventDescription(255, 7), "Неизвестное событие");
  EXPECT_EQ(GetRegEventDescription(4, 1), "Событие неизвестного типа");
  EXPECT_EQ(GetRegEventDescription(0, 1), "Событие неизвестного типа");
  EXPECT_EQ(GetRegEventDescription(254, 1), "Событие неизвестного типа");
}

TEST(Descriptions, MonitoringEvents) {
  EXPECT_EQ(GetMonEventDescription(2, 3), "ТРЕВОГА по нарушению РКД - КОМИССИОНИРОВАНИЕ");
  EXPECT_EQ(GetMonEventDescription(2, 9), "ТРЕВОГА по нарушению РКД");
  EXPECT_EQ(GetMonEventDescription(3, 7), "Нарушение РКД - ПО КОМАНДЕ ОХРАНЫ");
  EXPECT_EQ(GetMonEventDescription(1, 0), "Запрос на проход");
  EXPECT_EQ(GetMonEventDescription(1, 1), "Запрос на проход - ВРЕМЯ");
  EXPECT_EQ(GetMonEventDescription(1, 3), "запрос на смену РКД");
  EXPECT_EQ(GetMonEventDescription(1, 4), "Запрос на проход");
  EXPECT_EQ(GetMonEventDescription(4, 1), "Автономная смена РКД - АВТОНОМНЫЙ КОНТРОЛЬ");
  EXPECT_EQ(GetMonEventDescription(5, 4), "Системная смена РКД - ЗАКРЫТО");
  EXPECT_EQ(GetMonEventDescription(5, 5), "Системная смена РКД");
  EXPECT_EQ(GetMonEventDescription(6, 0), "ТРЕВОГА - ВЗЛОМ!");
  EXPECT_EQ(GetMonEventDescription(6, 1), "ТРЕВОГА - ОТКРЫТО СЛИШКОМ ДОЛГО");
  EXPECT_EQ(GetMonEventDescription(6, 2), "ТРЕВОГА");
  EXPECT_EQ(GetMonEventDescription(7, 2), "Неизвестное событие");
  EXPECT_EQ(GetMonEventDescription(7, 0), "Заблокировано");
  EXPECT_EQ(GetMonEventDescription(8, 9), "ТРЕВОГА ПО АКТИВИЗАЦИИ ВХОДА");
  EXPECT_EQ(GetMonEventDescription(12, 0), "Сброс выхода");
  EXPECT_EQ(GetMonEventDescription(13, 0), "Нарушение связи");
  EXPECT_EQ(GetMonEventDescription(14, 0), "Восстановление связи");
  EXPECT_EQ(GetMonEventDescription(14, 1), "Нарушение связи");
  EXPECT_EQ(GetMonEventDescription(15, 1), "Очистка журнала регистрации");
  EXPECT_EQ(GetMonEventDescription(16, 1), "АВАРИЯ СЕТЕВОГО ПИТАНИЯ");
  EXPECT_EQ(GetMonEventDescription(17, 0), "ВОССТАНОВЛЕНИЕ АККУМУЛЯТОРН. ПИТАНИЯ");
  EXPECT_EQ(GetMonEventDescription(18, 2), "Неизвестное событие");
  EXPECT_EQ(GetMonEventDescription(19, 5), "Сброс тревоги (по команде оператора)");
  EXPECT_EQ(GetMonEventDescription(20, 0), "ТРЕВОГА (по команде оператора)");
  EXPECT_EQ(GetMonEventDescription(100, 55), "Предъявлена карта охранника");
  EXPECT_EQ(GetMonEventDescription(0, 0), "Неизвестное событие");
  EXPECT_EQ(GetMonEventDescription(21, 1), "Неизвестное событие");
  EXPECT_EQ(GetMonEventDescription(255, 1), "Неизвестное событие");
}

TEST_F(AutomationTest, IdentifierWithAnythingButDigitsIsNotANumber) {
  for (const std::string& id : {std::string("65569\0abc", 9), std::string("65569\0", 6), std::string("65569 "),
                               std::string("+65569x")}) {
    const TCall c = Invoke("CheckDispatch", {{"AIdentifier", id}});
    EXPECT_EQ(Value(c), 1) << ::testing::PrintToString(id);
    EXPECT_EQ(std::get<std::string>(c.Args()[5]), "Идентификатор - не число");
  }
  const TCall ok = Invoke("CheckDispatch", {{"AIdentifier", std::string("65569")}});
  EXPECT_EQ(Value(ok), 0);
  EXPECT_EQ(std::get<std::string>(ok.Args()[4]), "Доступ запрещен - не оплачен счет в баре");
}

namespace {
// What the communication thread may write into LastError while an open runs:
// a failed read, or the "no error" it leaves when it finds the port closed.
void ThreadWritesReadFailure(TUart& u) { u.LastError = ueRead; }
void ThreadWritesNoError(TUart& u) { u.LastError = ueOk; }
}  // namespace

TEST_F(AutomationTest, OpenAnswersFromItsOwnOpenNotFromLastError) {
  TUart::OpenFinished = &ThreadWritesReadFailure;
  const TCall opened = Invoke("sysvexon_OpenSerialPort", {{"PortNumber", int64_t{1}}});
  TUart::OpenFinished = nullptr;
  EXPECT_EQ(Value(opened), rcOk) << "a successful open is never answered 4";
  ASSERT_EQ(Value(Invoke("sysvexon_CloseSerialPort")), rcOk);

  core_->Ports.Set(2, dir_.File("no-such-device"));
  TUart::OpenFinished = &ThreadWritesNoError;
  const TCall failed = Invoke("sysvexon_OpenSerialPort", {{"PortNumber", int64_t{2}}});
  TUart::OpenFinished = nullptr;
  EXPECT_EQ(Value(failed), rcPortOpenFailed) << "a failed open is never answered 0";
  int64_t number = -1;
  const TCall n = Invoke("sysvexon_GetOpenSerialPortNumber");
  number = Out(n, "PortNumber");
  EXPECT_NE(Value(n), rcOk) << "no port is open after the failure";
  EXPECT_EQ(number, 0);
}

TEST_F(AutomationTest, StatusChangeStoredBetweenReadAndClearIsNotLost) {
  Configure();
  // The monitoring poll stores numbered status blocks while a client reads
  // them as fast as it can. Whenever the poll finds its previous block
  // marked unchanged, the client must have been handed that very block as
  // changed; otherwise a read and a clear in two lock holds let the block
  // stored in between be cleared unreported.
  constexpr uint32_t kMax = 1u << 24;
  std::vector<uint8_t> reported(kMax, 0);
  std::vector<uint32_t> clearedUnseen;  // blocks the poll found cleared
  std::atomic<size_t> clearedCount{0};
  std::atomic<bool> done{false}, pollEnded{false};
  std::thread poll([&] {
    for (uint32_t k = 1; k < kMax && !done; ++k) {
      core_->Model.Controllers.Update(2, [&](TTKDItem& r) {
        const uint32_t previous = r.Status[4] | (r.Status[5] << 8) | (r.Status[6] << 16);
        if (previous != 0 && r.USCSChanged == 0) {
          clearedUnseen.push_back(previous);
          ++clearedCount;
        }
        r.Status[4] = static_cast<uint8_t>(k);
        r.Status[5] = static_cast<uint8_t>(k >> 8);
        r.Status[6] = static_cast<uint8_t>(k >> 16);
        r.USCSValid = 1;
        r.USCSChanged = 1;
      });
      // A short sleep per store, as the real poll waits for the line: the
      // reader gets to take most blocks, and the poll's wake-up lands at
      // any point of a read, also when both share one core on a busy
      // machine.
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    pollEnded = true;
  });
  const auto t0 = std::chrono::steady_clock::now();
  int reads = 0;
  const auto take = [&](int64_t changed, int64_t b5, int64_t b6, int64_t b7) {
    if (changed == 1) reported[static_cast<size_t>(b5 | (b6 << 8) | (b7 << 16))] = 1;
  };
  // About 4 s, and on a loaded machine on until the reads and the poll have
  // met 200 times (or the poll has used up its numbers), so that the check below is not
  // decided by how much processor time the two threads got.
  while (clearedCount < 20000 && (MsSince(t0) < 4000 || clearedCount < 200) && !pollEnded) {
    // Mostly the model's read the operation is made of, for the rate; every
    // sixteenth read through the operation itself.
    if (++reads % 16 == 0) {
      const TCall c = Invoke("sysvexon_GetControllerUSCS", {{"ControllerNum", int64_t{3}}});
      ASSERT_EQ(Value(c), rcOk);
      take(Out(c, "USCSChanged"), Out(c, "b5"), Out(c, "b6"), Out(c, "b7"));
    } else {
      TControllerUSCS u;
      ASSERT_EQ(core_->Model.GetControllerUSCS(3, u), rcOk);
      take(u.USCSChanged, u.Status[4], u.Status[5], u.Status[6]);
    }
  }
  done = true;
  poll.join();
  size_t lost = 0, cleared = 0;
  for (const uint32_t v : clearedUnseen) {
    ++cleared;
    if (!reported[v]) ++lost;
  }
  EXPECT_GT(cleared, 100u) << "the reads and the poll barely met (" << reads << " reads)";
  EXPECT_EQ(lost, 0u) << "blocks cleared without ever being reported, of " << cleared;
}
