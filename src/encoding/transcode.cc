#include "encoding/transcode.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "encoding/code_page_858.h"
#include "encoding/utf8_kernels.h"
#include "encoding/word_scan.h"

namespace invoice {
namespace {

using code_page_858::kFromCodeUnit;
using code_page_858::kReplacement;
using word_scan::copy_ascii_word;
using word_scan::kWord;

// UTF-8 to code page 858 at `start`, which has room for text.size() bytes:
// each sequence becomes exactly one byte, so the result is never longer than
// the input. Returns the number of bytes written. The lead byte alone decides the
// length of a sequence; the bytes after it are used as continuation bytes
// without being checked, which also lets overlong forms through.
std::size_t write_code_page(std::string_view text, unsigned char* const start) {
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  unsigned char* out = start;

  std::size_t i = 0;
  while (i < size) {
    if (size - i >= kWord) {
      // The output never runs ahead of the input, so a whole word fits.
      const std::size_t ascii = copy_ascii_word(in + i, out);
      out += ascii;
      i += ascii;
      if (ascii == kWord) continue;
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
  return static_cast<std::size_t>(out - start);
}

std::string to_code_page(std::string_view text) {
  std::string result;
  // Sized for the longest result and cut back to what was written; no byte
  // is filled before it is written.
  result.resize_and_overwrite(text.size(), [text](char* start, std::size_t) {
    return write_code_page(text, reinterpret_cast<unsigned char*>(start));
  });
  return result;
}

}  // namespace

std::string transcode(std::string_view text, Direction direction) {
  if (direction == Direction::kToCodePage) return to_code_page(text);
  return utf8_kernels::to_utf8(text, utf8_kernels::chosen_kernel());
}

}  // namespace invoice
