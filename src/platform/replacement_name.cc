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

std::string fallback_replacement_name(std::uint64_t clock, std::uint64_t process_id) {
  // A linear congruential generator: poor randomness, but a different name
  // for every clock reading, which is all a retry needs.
  constexpr std::uint64_t kMultiplier = 6364136223846793005u;
  constexpr std::uint64_t kIncrement = 1442695040888963407u;
  std::array<unsigned char, kReplacementRandomLength> random;
  std::uint64_t mix = clock * kMultiplier + process_id;
  for (auto& byte : random) {
    mix = mix * kMultiplier + kIncrement;
    byte = static_cast<unsigned char>(mix >> 56);
  }
  return format_replacement_name(random);
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
