#ifndef INVOICE_PLATFORM_REPLACEMENT_NAME_H_
#define INVOICE_PLATFORM_REPLACEMENT_NAME_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace invoice {

// The name of a replacement file while it is being written, in the folder of
// the invoice it replaces: the prefix, kReplacementRandomLength characters of
// [0-9a-z], the suffix. Hidden, so that it is never listed as an invoice, and
// in a form that a later run recognises when a killed run left one behind.
inline constexpr std::string_view kReplacementPrefix = ".invoice-converter.";
inline constexpr std::string_view kReplacementSuffix = ".tmp";
inline constexpr std::size_t kReplacementRandomLength = 12;

// The replacement name that `random` bytes give, one character each.
std::string format_replacement_name(
    const std::array<unsigned char, kReplacementRandomLength>& random);

// The replacement name drawn when the system's random generator fails: a
// mix of `clock` (any reading that changes between attempts) and
// `process_id`, so that attempts still differ; creating the file exclusively
// catches the rest.
std::string fallback_replacement_name(std::uint64_t clock, std::uint64_t process_id);

// How many fresh names a replacement file is tried under before its folder
// is reported as refusing it; only a folder full of other users' files of
// that form takes more than one.
inline constexpr int kReplacementNameAttempts = 100;

// Gives names drawn by `draw` to `create`, which tries to make a file under
// each and returns true only when that name was already taken, until it
// returns false (made, or failed for another reason) or the attempts run
// out. Returns false when every name drawn was taken.
template <typename Draw, typename Create>
bool create_under_fresh_name(Draw&& draw, Create&& create) {
  for (int attempt = 0; attempt < kReplacementNameAttempts; ++attempt) {
    if (!create(draw())) return true;
  }
  return false;
}

// True when `name` (a name within a folder, no "/") has exactly the form that
// `format_replacement_name` gives.
bool is_replacement_name(std::string_view name);

}  // namespace invoice

#endif  // INVOICE_PLATFORM_REPLACEMENT_NAME_H_
