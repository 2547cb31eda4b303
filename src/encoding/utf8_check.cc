#include "encoding/utf8_check.h"

#include <cstddef>
#include <cstdint>

#include "encoding/word_scan.h"

namespace invoice {

namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the well-formed sequence that starts at in[i] (whose lead
// byte is above 0x7F), or 0 when none does.
std::size_t sequence_length(const unsigned char* in, std::size_t i, std::size_t size) {
  const unsigned lead = in[i];
  std::size_t length;
  // The range the second byte must lie in; it narrows for the leads whose
  // shortest forms would otherwise be overlong, surrogates or past U+10FFFF.
  unsigned low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (size - i < length) return 0;
  if (in[i + 1] < low || in[i + 1] > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (!is_continuation(in[i + k])) return 0;
  }
  return length;
}

}  // namespace

HighBytes classify_high_bytes(std::string_view text) {
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  bool any_high = false;
  std::size_t i = 0;
  while (i < size) {
    // Runs of ASCII, which is most of an invoice, a word at a time.
    if (size - i >= word_scan::kWord) {
      const std::uint64_t high_bits = word_scan::load_word(in + i) & word_scan::kHighBits;
      if (high_bits == 0) {
        i += word_scan::kWord;
        continue;
      }
      i += word_scan::first_high_byte(high_bits);
    } else if (in[i] < 0x80) {
      ++i;
      continue;
    }
    const std::size_t length = sequence_length(in, i, size);
    if (length == 0) return HighBytes::kOther;
    any_high = true;
    i += length;
  }
  return any_high ? HighBytes::kUtf8 : HighBytes::kNone;
}

}  // namespace invoice
