// Date-time values: a double counting days since 1899-12-30 (local time),
// the fraction being the time of day. Used in files, journals and the clock
// commands. Conversions are exact to the millisecond.
#pragma once

#include <cstdint>
#include <string>

namespace vexon {

struct TDateFields {
  int Year = 1899;
  int Month = 12;   // 1..12
  int Day = 30;     // 1..31
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;
  int DayOfWeek = 0;  // 1 = Sunday .. 7 = Saturday (filled by DecodeDateTime)
};

bool IsValidDate(int year, int month, int day);
// Days since 1899-12-30 of a calendar date (no validation).
int64_t DaysFromCivil(int year, int month, int day);
double EncodeDateTime(const TDateFields& f);
// Splits a date-time into fields; the value is rounded to the nearest
// millisecond first.
TDateFields DecodeDateTime(double dt);
// Current local date-time of the system.
double LocalNow();

// "dd.mm.yyyy hh:mm:ss"
std::string FormatDateTime(double dt);
// "hh:mm:ss"
std::string FormatTime(double dt);

}  // namespace vexon
