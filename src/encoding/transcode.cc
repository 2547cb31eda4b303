#include "encoding/transcode.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "encoding/code_page_858.h"

namespace invoice {
namespace {

using code_page_858::kFromCodeUnit;
using code_page_858::kReplacement;
using code_page_858::kUtf8;

constexpr std::uint64_t kHighBits = 0x8080808080808080u;

// Reads 8 bytes at `p` whatever its alignment.
inline std::uint64_t load_word(const unsigned char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// Number of bytes that the UTF-8 form of `text` takes.
std::size_t utf8_length(const unsigned char* in, std::size_t size) {
  std::size_t length = size;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    if ((load_word(in + i) & kHighBits) == 0) continue;
    for (std::size_t k = i; k < i + 8; ++k) length += kUtf8[in[k]].length - 1u;
  }
  for (; i < size; ++i) length += kUtf8[in[i]].length - 1u;
  return length;
}

// Code page 858 to UTF-8. Every byte maps on its own, so the result is sized
// exactly up front and filled in one pass: runs of ASCII are copied a word at a
// time, other bytes take their precomputed UTF-8 sequence.
std::string to_utf8(std::string_view text) {
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  const std::size_t length = utf8_length(in, size);

  // Three bytes of slack let every sequence be stored with one fixed-width
  // copy; they are cut off again at the end without reallocating.
  constexpr std::size_t kSlack = 3;
  std::string result;
  result.resize(length + kSlack);
  auto* out = reinterpret_cast<unsigned char*>(result.data());

  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    const std::uint64_t word = load_word(in + i);
    if ((word & kHighBits) == 0) {
      std::memcpy(out, &word, sizeof word);
      out += 8;
      continue;
    }
    for (std::size_t k = i; k < i + 8; ++k) {
      const auto& sequence = kUtf8[in[k]];
      std::memcpy(out, sequence.bytes.data(), 4);
      out += sequence.length;
    }
  }
  for (; i < size; ++i) {
    const auto& sequence = kUtf8[in[i]];
    std::memcpy(out, sequence.bytes.data(), 4);
    out += sequence.length;
  }
  result.resize(length);
  return result;
}

// UTF-8 to code page 858. Each sequence becomes exactly one byte, so the
// result is never longer than the input. The lead byte alone decides the
// length of a sequence; the bytes after it are used as continuation bytes
// without being checked, which also lets overlong forms through.
std::string to_code_page(std::string_view text) {
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::string result;
  result.resize(size);
  auto* out = reinterpret_cast<unsigned char*>(result.data());

  std::size_t i = 0;
  while (i < size) {
    if (i + 8 <= size) {
      const std::uint64_t word = load_word(in + i);
      if ((word & kHighBits) == 0) {
        std::memcpy(out, &word, sizeof word);
        out += 8;
        i += 8;
        continue;
      }
    }
    const unsigned lead = in[i];
    std::size_t length;
    if (lead < 0x80) {
      *out++ = static_cast<unsigned char>(lead);
      ++i;
      continue;
    } else if (lead < 0xC0 || lead >= 0xFE) {
      // Not a lead byte: it alone stands for one unconvertible character.
      *out++ = kReplacement;
      ++i;
      continue;
    } else if (lead < 0xE0) {
      length = 2;
    } else if (lead < 0xF0) {
      length = 3;
    } else if (lead < 0xF8) {
      length = 4;
    } else if (lead < 0xFC) {
      length = 5;
    } else {
      length = 6;
    }
    if (length > size - i) {
      // A sequence cut short by the end: what is left is one "?".
      *out++ = kReplacement;
      break;
    }
    // Code units are 16 bits wide: the arithmetic wraps modulo 65536, which
    // also gives a defined unit when an unchecked continuation byte is below
    // 0x80.
    std::uint16_t unit;
    if (length == 2) {
      unit = static_cast<std::uint16_t>(((lead - 0xC0u) << 6) + in[i + 1] - 0x80u);
    } else if (length == 3) {
      unit = static_cast<std::uint16_t>(((lead - 0xE0u) << 12) + ((in[i + 1] - 0x80u) << 6) +
                                        in[i + 2] - 0x80u);
    } else {
      // Characters beyond U+FFFF have no code unit, let alone a byte.
      unit = kReplacement;
    }
    *out++ = kFromCodeUnit[unit];
    i += length;
  }
  result.resize(static_cast<std::size_t>(out - reinterpret_cast<unsigned char*>(result.data())));
  return result;
}

}  // namespace

std::string transcode(std::string_view text, std::string_view mode) {
  if (mode == "850") return to_code_page(text);
  return to_utf8(text);
}

}  // namespace invoice
