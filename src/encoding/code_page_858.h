#ifndef INVOICE_ENCODING_CODE_PAGE_858_H_
#define INVOICE_ENCODING_CODE_PAGE_858_H_

#include <array>
#include <cstddef>
#include <cstdint>

namespace invoice::code_page_858 {

// Code page 858 is IBM code page 850 with byte 0xD5 standing for U+20AC EURO
// SIGN instead of U+0131 LATIN SMALL LETTER DOTLESS I. Bytes 0x00..0x7F are
// U+0000..U+007F (control bytes included, no graphic substitutes).
//
// `kUpperHalf[b - 0x80]` is the code point of byte b for b in 0x80..0xFF. The
// data is IBM's published code page 858 (the euro variant of code page 850),
// identical to glibc's CP858 converter and to Unicode's IBM850 mapping with the
// 0xD5 change; the tests compare every byte against the installed iconv.
inline constexpr std::array<char16_t, 128> kUpperHalf = {
    // 0x80
    u'\u00C7',
    u'\u00FC',
    u'\u00E9',
    u'\u00E2',
    u'\u00E4',
    u'\u00E0',
    u'\u00E5',
    u'\u00E7',
    u'\u00EA',
    u'\u00EB',
    u'\u00E8',
    u'\u00EF',
    u'\u00EE',
    u'\u00EC',
    u'\u00C4',
    u'\u00C5',
    // 0x90
    u'\u00C9',
    u'\u00E6',
    u'\u00C6',
    u'\u00F4',
    u'\u00F6',
    u'\u00F2',
    u'\u00FB',
    u'\u00F9',
    u'\u00FF',
    u'\u00D6',
    u'\u00DC',
    u'\u00F8',
    u'\u00A3',
    u'\u00D8',
    u'\u00D7',
    u'\u0192',
    // 0xA0
    u'\u00E1',
    u'\u00ED',
    u'\u00F3',
    u'\u00FA',
    u'\u00F1',
    u'\u00D1',
    u'\u00AA',
    u'\u00BA',
    u'\u00BF',
    u'\u00AE',
    u'\u00AC',
    u'\u00BD',
    u'\u00BC',
    u'\u00A1',
    u'\u00AB',
    u'\u00BB',
    // 0xB0
    u'\u2591',
    u'\u2592',
    u'\u2593',
    u'\u2502',
    u'\u2524',
    u'\u00C1',
    u'\u00C2',
    u'\u00C0',
    u'\u00A9',
    u'\u2563',
    u'\u2551',
    u'\u2557',
    u'\u255D',
    u'\u00A2',
    u'\u00A5',
    u'\u2510',
    // 0xC0
    u'\u2514',
    u'\u2534',
    u'\u252C',
    u'\u251C',
    u'\u2500',
    u'\u253C',
    u'\u00E3',
    u'\u00C3',
    u'\u255A',
    u'\u2554',
    u'\u2569',
    u'\u2566',
    u'\u2560',
    u'\u2550',
    u'\u256C',
    u'\u00A4',
    // 0xD0 (0xD5 is the euro sign)
    u'\u00F0',
    u'\u00D0',
    u'\u00CA',
    u'\u00CB',
    u'\u00C8',
    u'\u20AC',
    u'\u00CD',
    u'\u00CE',
    u'\u00CF',
    u'\u2518',
    u'\u250C',
    u'\u2588',
    u'\u2584',
    u'\u00A6',
    u'\u00CC',
    u'\u2580',
    // 0xE0
    u'\u00D3',
    u'\u00DF',
    u'\u00D4',
    u'\u00D2',
    u'\u00F5',
    u'\u00D5',
    u'\u00B5',
    u'\u00FE',
    u'\u00DE',
    u'\u00DA',
    u'\u00DB',
    u'\u00D9',
    u'\u00FD',
    u'\u00DD',
    u'\u00AF',
    u'\u00B4',
    // 0xF0
    u'\u00AD',
    u'\u00B1',
    u'\u2017',
    u'\u00BE',
    u'\u00B6',
    u'\u00A7',
    u'\u00F7',
    u'\u00B8',
    u'\u00B0',
    u'\u00A8',
    u'\u00B7',
    u'\u00B9',
    u'\u00B3',
    u'\u00B2',
    u'\u25A0',
    u'\u00A0',
};

// Code point of any byte.
constexpr char16_t to_code_point(std::uint8_t byte) {
  return byte < 0x80 ? static_cast<char16_t>(byte) : kUpperHalf[byte - 0x80u];
}

// The reverse direction is only an exact inverse when the upper half is
// one-to-one and stays clear of the ASCII range that bytes 0x00..0x7F own.
consteval bool is_upper_half_invertible() {
  for (std::size_t i = 0; i < kUpperHalf.size(); ++i) {
    if (kUpperHalf[i] < 0x80) return false;
    for (std::size_t j = i + 1; j < kUpperHalf.size(); ++j) {
      if (kUpperHalf[i] == kUpperHalf[j]) return false;
    }
  }
  return true;
}
static_assert(is_upper_half_invertible());

// UTF-8 form of one byte's code point: `bytes[0..length)`; the unused
// trailing bytes are zero so that a fixed-width copy is harmless.
struct Utf8Sequence {
  std::array<std::uint8_t, 4> bytes;
  std::uint8_t length;
};

constexpr Utf8Sequence encode_utf8(char16_t unit) {
  const auto u = static_cast<unsigned>(unit);
  if (u < 0x80) return {{static_cast<std::uint8_t>(u), 0, 0, 0}, 1};
  if (u < 0x800) {
    return {{static_cast<std::uint8_t>(0xC0u | (u >> 6)),
             static_cast<std::uint8_t>(0x80u | (u & 0x3Fu)), 0, 0},
            2};
  }
  return {{static_cast<std::uint8_t>(0xE0u | (u >> 12)),
           static_cast<std::uint8_t>(0x80u | ((u >> 6) & 0x3Fu)),
           static_cast<std::uint8_t>(0x80u | (u & 0x3Fu)), 0},
          3};
}

// `kUtf8[b]` is the UTF-8 form of byte b, derived from the table above.
inline constexpr std::array<Utf8Sequence, 256> kUtf8 = [] {
  std::array<Utf8Sequence, 256> table{};
  for (std::size_t b = 0; b < table.size(); ++b) {
    table[b] = encode_utf8(to_code_point(static_cast<std::uint8_t>(b)));
  }
  return table;
}();

// The byte that stands for a code unit where none does.
inline constexpr std::uint8_t kReplacement = '?';

// `kFromCodeUnit[u]` is the byte of code unit u: u itself below 0x80, the byte
// whose code point is u for the 128 code points of the upper half, and "?" for
// every other unit. Derived from `kUpperHalf`, so the two directions agree.
inline constexpr std::array<std::uint8_t, 0x10000> kFromCodeUnit = [] {
  std::array<std::uint8_t, 0x10000> table{};
  table.fill(kReplacement);
  for (std::size_t u = 0; u < 0x80; ++u) table[u] = static_cast<std::uint8_t>(u);
  for (std::size_t i = 0; i < kUpperHalf.size(); ++i) {
    table[kUpperHalf[i]] = static_cast<std::uint8_t>(0x80u + i);
  }
  return table;
}();

}  // namespace invoice::code_page_858

#endif  // INVOICE_ENCODING_CODE_PAGE_858_H_
