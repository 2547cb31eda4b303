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

// True when `name` (a name within a folder, no "/") has exactly the form that
// `format_replacement_name` gives.
bool is_replacement_name(std::string_view name);

}  // namespace invoice

#endif  // INVOICE_PLATFORM_REPLACEMENT_NAME_H_
