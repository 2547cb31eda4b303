#ifndef INVOICE_ENCODING_WORD_SCAN_H_
#define INVOICE_ENCODING_WORD_SCAN_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Helpers for skipping and copying runs of ASCII eight bytes at a time.
namespace invoice::word_scan {

inline constexpr std::size_t kWord = sizeof(std::uint64_t);
inline constexpr std::uint64_t kHighBits = 0x8080808080808080u;

// Reads 8 bytes at `p` whatever its alignment.
inline std::uint64_t load_word(const unsigned char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// Offset within a loaded word of the first byte whose high bit is set in
// `high_bits` (the word masked with kHighBits, which must not be zero).
inline std::size_t first_high_byte(std::uint64_t high_bits) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::size_t>(std::countr_zero(high_bits)) / 8;
  } else {
    return static_cast<std::size_t>(std::countl_zero(high_bits)) / 8;
  }
}

// Copies the word at `in` to `out` and returns how many of its bytes, from
// the first, are ASCII: kWord when all are, else the offset of the first
// byte above 0x7F. Both `in` and `out` must hold a whole word; the bytes
// stored past the count returned are the caller's to overwrite.
inline std::size_t copy_ascii_word(const unsigned char* in, unsigned char* out) {
  const std::uint64_t word = load_word(in);
  std::memcpy(out, &word, kWord);
  const std::uint64_t high_bits = word & kHighBits;
  return high_bits == 0 ? kWord : first_high_byte(high_bits);
}

}  // namespace invoice::word_scan

#endif  // INVOICE_ENCODING_WORD_SCAN_H_
