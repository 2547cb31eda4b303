#include "driver/time_stamp.h"

#include <cstdint>
#include <cstdio>

namespace invoice {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar, and
// back; exact for any year, so 1601 works as well as 2023. The arithmetic is
// Howard Hinnant's public-domain civil-calendar algorithm.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

CivilDate civil_from_days(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned mp = (5 * day_of_year + 2) / 153;
  const unsigned day = day_of_year - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2), month, day};
}

unsigned days_in_month(std::int64_t year, unsigned month) {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

std::string format_time_stamp(FileTime time) {
  // Floor division, so that a time before 1970 still drops its fraction
  // downwards like any other.
  std::int64_t days = time.seconds / kSecondsPerDay;
  std::int64_t second_of_day = time.seconds % kSecondsPerDay;
  if (second_of_day < 0) {
    second_of_day += kSecondsPerDay;
    --days;
  }
  const CivilDate date = civil_from_days(days);
  if (date.year < 1601 || date.year > 9999) return std::string(kZeroTimeStamp);
  char text[32];
  std::snprintf(
      text, sizeof text, "%04lld%02u%02u%02lld%02lld%02lld", static_cast<long long>(date.year),
      date.month, date.day, static_cast<long long>(second_of_day / 3600),
      static_cast<long long>(second_of_day / 60 % 60), static_cast<long long>(second_of_day % 60));
  return text;
}

std::optional<FileTime> parse_time_stamp(std::string_view text) {
  if (text.size() != 14 || text == kZeroTimeStamp) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  auto field = [&](std::size_t at, std::size_t length) {
    unsigned value = 0;
    for (std::size_t i = at; i < at + length; ++i) value = value * 10 + unsigned(text[i] - '0');
    return value;
  };
  const std::int64_t year = field(0, 4);
  const unsigned month = field(4, 2), day = field(6, 2);
  const unsigned hour = field(8, 2), minute = field(10, 2), second = field(12, 2);
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return std::nullopt;
  }
  return FileTime{
      days_from_civil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second, 0};
}

std::string read_time_stamp(Platform& platform, const std::string& path) {
  auto time = platform.read_file_time(path);
  return time.is_ok() ? format_time_stamp(time.value) : std::string(kZeroTimeStamp);
}

Status restore_time_stamp(InvoiceFile& file, std::string_view text) {
  auto time = parse_time_stamp(text);
  if (!time) return Status::ok();
  return file.set_times(*time);
}

}  // namespace invoice
