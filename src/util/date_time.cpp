#include "util/date_time.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace vexon {

namespace {
constexpr int64_t kMsPerDay = 86400000;
// 1899-12-30 relative to the Unix epoch 1970-01-01.
constexpr int64_t kEpochOffsetDays = 25569;

// Howard Hinnant's civil-from-days algorithm, relative to 1970-01-01.
int64_t DaysFromCivil1970(int y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays1970(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}
}  // namespace

bool IsValidDate(int year, int month, int day) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  int max = kDays[month - 1];
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && leap) max = 29;
  return day <= max;
}

int64_t DaysFromCivil(int year, int month, int day) {
  return DaysFromCivil1970(year, month, day) + kEpochOffsetDays;
}

double EncodeDateTime(const TDateFields& f) {
  const int64_t days = DaysFromCivil(f.Year, f.Month, f.Day);
  const int64_t ms = ((static_cast<int64_t>(f.Hour) * 60 + f.Minute) * 60 + f.Second) * 1000 + f.Millisecond;
  const double frac = static_cast<double>(ms) / kMsPerDay;
  // Before 1899-12-30 the value is negative but the fraction still counts
  // forward from midnight.
  return days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac;
}

TDateFields DecodeDateTime(double dt) {
  TDateFields f;
  double whole = std::trunc(dt);
  double frac = std::fabs(dt - whole);
  int64_t days = static_cast<int64_t>(whole);
  int64_t ms = std::llround(frac * kMsPerDay);
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    days += dt >= 0 ? 1 : -1;
  }
  CivilFromDays1970(days - kEpochOffsetDays, f.Year, f.Month, f.Day);
  f.Millisecond = static_cast<int>(ms % 1000);
  const int64_t secs = ms / 1000;
  f.Second = static_cast<int>(secs % 60);
  f.Minute = static_cast<int>((secs / 60) % 60);
  f.Hour = static_cast<int>(secs / 3600);
  // 1899-12-30 was a Saturday (7).
  int64_t dow = (days % 7 + 7) % 7;  // 0 = Saturday
  f.DayOfWeek = dow == 0 ? 7 : static_cast<int>(dow);
  return f;
}

double LocalNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  time_t t = ts.tv_sec;
  localtime_r(&t, &tm);
  TDateFields f;
  f.Year = tm.tm_year + 1900;
  f.Month = tm.tm_mon + 1;
  f.Day = tm.tm_mday;
  f.Hour = tm.tm_hour;
  f.Minute = tm.tm_min;
  f.Second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
  f.Millisecond = static_cast<int>(ts.tv_nsec / 1000000);
  return EncodeDateTime(f);
}

std::string FormatDateTime(double dt) {
  const TDateFields f = DecodeDateTime(dt);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d:%02d", f.Day, f.Month, f.Year, f.Hour, f.Minute, f.Second);
  return buf;
}

std::string FormatTime(double dt) {
  const TDateFields f = DecodeDateTime(dt);
  char buf[20];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", f.Hour, f.Minute, f.Second);
  return buf;
}

}  // namespace vexon
