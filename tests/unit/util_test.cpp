#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "util/bytes.h"
#include "util/clock.h"
#include "util/date_time.h"
#include "util/result_codes.h"
#include "util/server_lock.h"

using namespace vexon;

TEST(ResultCodes, KnownTextsAndUndefinedCodes) {
  EXPECT_EQ(GetErrorStr(0), "Успешная операция.");
  EXPECT_EQ(GetErrorStr(26), "Нет ответа от первичного контроллера системы.");
  EXPECT_EQ(GetErrorStr(68), "Не установлен(ы) сегмент(ы) системных карт.");
  EXPECT_EQ(GetErrorStr(88), "Выполнение прекращено ввиду автоконфигурации.");
  EXPECT_EQ(GetErrorStr(90), "Не определен массив карт - передача невозможна");
  for (int code : {69, 70, 87, 89, 97, 1000, -1, INT32_MIN})
    EXPECT_EQ(GetErrorStr(code), "Неизвестная ошибка.") << code;
}

TEST(ResultCodes, OnlyCardTextsLackTheFullStop) {
  for (int code = 0; code <= 96; ++code) {
    const std::string t = GetErrorStr(code);
    if (t == "Неизвестная ошибка.") continue;
    EXPECT_EQ(t.back() == '.', code < 90) << code << " " << t;
  }
}

TEST(ResultCodes, CardContextSubstitutedInOrder) {
  EXPECT_EQ(GetErrorStr(91), "Обнаружена несистемная карта 0 / 0. Передача невозможна");
  SetCardErrorContext(5, 1234);
  EXPECT_EQ(GetErrorStr(91), "Обнаружена несистемная карта 5 / 1234. Передача невозможна");
  EXPECT_EQ(GetErrorStr(96),
            "Неверный PIN-код комиссионирования для карты 5 / 1234 - несистемная. Передача невозможна");
  SetCardErrorContext(255, 65535);
  EXPECT_EQ(GetErrorStr(93), "Указан неверный номер недельного графика у карты 255 / 65535. Передача невозможна");
  SetCardErrorContext(0, 0);
}

TEST(ResultCodes, CardContextIsReadAsTheOnePairThatWasSet) {
  // One thread names cards 1 / 111 and 2 / 222 in turn; a text never mixes
  // the facility of one with the number of the other.
  std::atomic<bool> stop{false};
  SetCardErrorContext(1, 111);
  std::thread writer([&] {
    while (!stop.load()) {
      SetCardErrorContext(1, 111);
      SetCardErrorContext(2, 222);
    }
  });
  int mixed = 0;
  for (int i = 0; i < 20000 && mixed == 0; ++i) {
    const std::string t = GetErrorStr(91);
    if (t != "Обнаружена несистемная карта 1 / 111. Передача невозможна" &&
        t != "Обнаружена несистемная карта 2 / 222. Передача невозможна")
      ++mixed;
  }
  stop = true;
  writer.join();
  SetCardErrorContext(0, 0);
  EXPECT_EQ(mixed, 0);
}

TEST(Bytes, LittleEndianFields) {
  uint8_t b[8] = {};
  PutU16(b, 0x1234);
  EXPECT_EQ(b[0], 0x34);
  EXPECT_EQ(b[1], 0x12);
  EXPECT_EQ(GetU16(b), 0x1234);
  PutI32(b, -2);
  EXPECT_EQ(b[0], 0xFE);
  EXPECT_EQ(b[3], 0xFF);
  EXPECT_EQ(GetI32(b), -2);
  PutF64(b, 45000.5);
  EXPECT_EQ(b[7], 0x40);  // sign and exponent byte last
  EXPECT_DOUBLE_EQ(GetF64(b), 45000.5);
}

TEST(DateTime, EpochAndKnownDates) {
  EXPECT_EQ(DaysFromCivil(1899, 12, 30), 0);
  EXPECT_EQ(DaysFromCivil(1900, 1, 1), 2);
  EXPECT_EQ(DaysFromCivil(2000, 1, 1), 36526);
  TDateFields f = DecodeDateTime(36526.75);
  EXPECT_EQ(f.Year, 2000);
  EXPECT_EQ(f.Month, 1);
  EXPECT_EQ(f.Day, 1);
  EXPECT_EQ(f.Hour, 18);
  EXPECT_EQ(f.DayOfWeek, 7);  // a Saturday
  EXPECT_EQ(FormatDateTime(36526.75), "01.01.2000 18:00:00");
  EXPECT_EQ(FormatTime(36526.75), "18:00:00");
}

TEST(DateTime, RoundTripToTheMillisecond) {
  TDateFields f{2026, 12, 31, 23, 59, 59, 999};
  const TDateFields g = DecodeDateTime(EncodeDateTime(f));
  EXPECT_EQ(g.Year, 2026);
  EXPECT_EQ(g.Month, 12);
  EXPECT_EQ(g.Day, 31);
  EXPECT_EQ(g.Hour, 23);
  EXPECT_EQ(g.Minute, 59);
  EXPECT_EQ(g.Second, 59);
  EXPECT_EQ(g.Millisecond, 999);
  // 999.6 ms rounds up into the next day.
  const TDateFields h = DecodeDateTime(EncodeDateTime(f) + 0.6 / 86400000.0);
  EXPECT_EQ(h.Year, 2027);
  EXPECT_EQ(h.Hour, 0);
  EXPECT_EQ(h.Millisecond, 0);
  EXPECT_TRUE(IsValidDate(2024, 2, 29));
  EXPECT_FALSE(IsValidDate(2023, 2, 29));
  EXPECT_FALSE(IsValidDate(2100, 2, 29));
}

TEST(Clock, ElapsedAcrossTheWrap) {
  EXPECT_EQ(TickElapsed(5, 0xFFFFFFFBu), 10u);
  TManualClock c(0xFFFFFF00u);
  c.Advance(0x200);
  EXPECT_EQ(c.TickMs(), 0x100u);
}

TEST(ServerLock, ExpiresOnlyAfterMoreThanOneHour) {
  TManualClock clock(1000);
  TServerLock lock(clock);
  EXPECT_FALSE(lock.IsServerLocked());
  lock.SetServerLock();
  clock.Advance(3600000);
  lock.CheckServerLockTimeout();
  EXPECT_TRUE(lock.IsServerLocked()) << "exactly one hour does not end the lock";
  clock.Advance(1);
  lock.CheckServerLockTimeout();
  EXPECT_FALSE(lock.IsServerLocked());
}

TEST(ServerLock, RelockRestartsTheHour) {
  TManualClock clock(0);
  TServerLock lock(clock);
  lock.SetServerLock();
  clock.Advance(59 * 60000);
  lock.SetServerLock();
  clock.Advance(30 * 60000);
  lock.CheckServerLockTimeout();
  EXPECT_TRUE(lock.IsServerLocked());
  clock.Advance(30 * 60000 + 1);
  lock.CheckServerLockTimeout();
  EXPECT_FALSE(lock.IsServerLocked());
}

TEST(ServerLock, AcrossTheTickWrapAndUnlock) {
  TManualClock clock(0xFFFFFFFFu - 1000);
  TServerLock lock(clock);
  lock.ClearServerLock();
  EXPECT_FALSE(lock.IsServerLocked());
  lock.SetServerLock();
  clock.Advance(2000);  // tick wrapped
  lock.CheckServerLockTimeout();
  EXPECT_TRUE(lock.IsServerLocked());
  clock.Advance(3600000);
  lock.CheckServerLockTimeout();
  EXPECT_FALSE(lock.IsServerLocked());
  lock.SetServerLock();
  lock.ClearServerLock();
  EXPECT_FALSE(lock.IsServerLocked());
}
