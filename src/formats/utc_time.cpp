#include "formats/utc_time.h"

#include <cstdio>

namespace zavex {
namespace {

constexpr UtcSeconds kSecondsPerDay = 86400;
constexpr char kLayout[] = "0000-00-00T00:00:00Z";  // '0' where a digit goes

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the date (proleptic Gregorian calendar).
UtcSeconds DaysFromEpoch(int year, int month, int day) {
  const int shiftedYear = month <= 2 ? year - 1 : year;
  const int era = shiftedYear / 400;
  const int yearOfEra = shiftedYear - era * 400;
  const int dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return static_cast<UtcSeconds>(era) * 146097 + dayOfEra - 719468;
}

// The inverse of DaysFromEpoch.
void DateFromDays(UtcSeconds days, int& year, int& month, int& day) {
  days += 719468;
  const UtcSeconds era = days / 146097;
  const int dayOfEra = static_cast<int>(days - era * 146097);
  const int yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int shiftedMonth = (5 * dayOfYear + 2) / 153;
  day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
  month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
  year = static_cast<int>(era * 400) + yearOfEra + (month <= 2 ? 1 : 0);
}

bool MatchesLayout(const std::string& text) {
  if (text.size() != sizeof(kLayout) - 1) return false;
  for (std::size_t index = 0; index < text.size(); ++index) {
    const bool digit = text[index] >= '0' && text[index] <= '9';
    if (kLayout[index] == '0' ? !digit : text[index] != kLayout[index]) return false;
  }
  return true;
}

int Number(const std::string& text, std::size_t start, std::size_t length) {
  int value = 0;
  for (std::size_t index = start; index < start + length; ++index) {
    value = value * 10 + (text[index] - '0');
  }
  return value;
}

}  // namespace

bool ParseUtcTimestamp(const std::string& text, UtcSeconds& seconds) {
  if (!MatchesLayout(text)) return false;
  const int year = Number(text, 0, 4), month = Number(text, 5, 2), day = Number(text, 8, 2);
  const int hour = Number(text, 11, 2), minute = Number(text, 14, 2), second = Number(text, 17, 2);
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) ||
      hour > 23 || minute > 59 || second > 59) {
    return false;
  }
  seconds = DaysFromEpoch(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
  return true;
}

std::string FormatUtcTimestamp(UtcSeconds seconds) {
  int year = 0, month = 0, day = 0;
  DateFromDays(seconds / kSecondsPerDay, year, month, day);
  const int secondOfDay = static_cast<int>(seconds % kSecondsPerDay);
  char text[sizeof(kLayout) + 16] = {};
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02dZ", year, month, day,
                secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60);
  return text;
}

}  // namespace zavex
