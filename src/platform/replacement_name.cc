#include "platform/replacement_name.h"

namespace invoice {

namespace {

constexpr std::string_view kRandomCharacters = "0123456789abcdefghijklmnopqrstuvwxyz";

}  // namespace

std::string format_replacement_name(
    const std::array<unsigned char, kReplacementRandomLength>& random) {
  std::string name(kReplacementPrefix);
  for (unsigned char byte : random) name += kRandomCharacters[byte % kRandomCharacters.size()];
  name += kReplacementSuffix;
  return name;
}

bool is_replacement_name(std::string_view name) {
  if (name.size() !=
          kReplacementPrefix.size() + kReplacementRandomLength + kReplacementSuffix.size() ||
      !name.starts_with(kReplacementPrefix) || !name.ends_with(kReplacementSuffix)) {
    return false;
  }
  const std::string_view random = name.substr(kReplacementPrefix.size(), kReplacementRandomLength);
  return random.find_first_not_of(kRandomCharacters) == std::string_view::npos;
}

}  // namespace invoice
