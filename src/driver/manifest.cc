#include "driver/manifest.h"

#include <cstdint>

#include "driver/console.h"

namespace invoice {

namespace {

constexpr char kFieldSeparator = '\t';
constexpr std::size_t kFieldCount = 6;

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t end = text.find(separator);
    parts.push_back(text.substr(0, end));
    if (end == std::string_view::npos) return parts;
    text.remove_prefix(end + 1);
  }
}

bool is_hex_digest(std::string_view text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civil_from_days(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto of_era = static_cast<std::uint64_t>(days - era * 146097);
  const std::uint64_t year_of_era =
      (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
  const std::uint64_t day_of_year =
      of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::uint64_t shifted_month = (5 * day_of_year + 2) / 153;
  day = static_cast<unsigned>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  month = static_cast<unsigned>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
  year = static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0);
}

void append_two_digits(std::string& out, unsigned value) {
  out += static_cast<char>('0' + value / 10 % 10);
  out += static_cast<char>('0' + value % 10);
}

}  // namespace

std::string format_manifest_line(const ManifestEntry& entry) {
  std::string line = escape_control_bytes(entry.path, true);
  line += kFieldSeparator;
  line += escape_control_bytes(entry.kept, true);
  line += kFieldSeparator;
  line += entry.original;
  line += kFieldSeparator;
  for (std::size_t i = 0; i < entry.texts.size(); ++i) {
    if (i != 0) line += ',';
    line += entry.texts[i];
  }
  line += kFieldSeparator;
  line += escape_control_bytes(entry.options, true);
  line += kFieldSeparator;
  line += entry.time;
  line += '\n';
  return line;
}

std::vector<ManifestEntry> parse_manifest(std::string_view text) {
  std::vector<ManifestEntry> entries;
  for (;;) {
    const std::size_t end = text.find('\n');
    // A last line without its line end was torn by a kill.
    if (end == std::string_view::npos) return entries;
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    const std::vector<std::string_view> fields = split(line, kFieldSeparator);
    if (fields.size() != kFieldCount || !is_hex_digest(fields[2])) continue;
    ManifestEntry entry;
    entry.path = unescape_control_bytes(fields[0]);
    entry.kept = unescape_control_bytes(fields[1]);
    entry.original = std::string(fields[2]);
    bool whole = !entry.path.empty() && !entry.kept.empty();
    for (const std::string_view text_digest : split(fields[3], ',')) {
      whole = whole && is_hex_digest(text_digest);
      entry.texts.emplace_back(text_digest);
    }
    if (!whole) continue;
    entry.options = unescape_control_bytes(fields[4]);
    entry.time = std::string(fields[5]);
    entries.push_back(std::move(entry));
  }
}

std::string to_hex(const Sha256& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(digest.size() * 2);
  for (const std::uint8_t byte : digest) {
    out += kHex[byte >> 4];
    out += kHex[byte & 15];
  }
  return out;
}

std::string format_utc_time(FileTime time) {
  constexpr std::int64_t kSecondsPerDay = 86400;
  std::int64_t days = time.seconds / kSecondsPerDay;
  std::int64_t second_of_day = time.seconds % kSecondsPerDay;
  if (second_of_day < 0) {
    second_of_day += kSecondsPerDay;
    --days;
  }
  std::int64_t year = 0;
  unsigned month = 0;
  unsigned day = 0;
  civil_from_days(days, year, month, day);
  std::string out = std::to_string(year);
  out += '-';
  append_two_digits(out, month);
  out += '-';
  append_two_digits(out, day);
  out += 'T';
  append_two_digits(out, static_cast<unsigned>(second_of_day / 3600));
  out += ':';
  append_two_digits(out, static_cast<unsigned>(second_of_day / 60 % 60));
  out += ':';
  append_two_digits(out, static_cast<unsigned>(second_of_day % 60));
  out += 'Z';
  return out;
}

}  // namespace invoice
