#ifndef INVOICE_ENCODING_TRANSCODE_H_
#define INVOICE_ENCODING_TRANSCODE_H_

#include <string>
#include <string_view>

namespace invoice {

// Which way `transcode` converts.
enum class Direction {
  kToUtf8,      // code page 858 to UTF-8
  kToCodePage,  // UTF-8 to code page 858
};

// Converts `text` between code page 858 (code page 850 with the euro sign at
// 0xD5) and UTF-8. Never fails. The result depends on the arguments alone:
// the kernel that utf8_kernels::chosen_kernel() picks once per process gives
// the same bytes as any other; no other state, no I/O.
//
// kToUtf8: every byte becomes one to three bytes, bytes below 0x80 unchanged.
//
// kToCodePage: one byte per sequence, with "?" for what has no byte. The
// lead byte alone sets the sequence length (1 for 0x00..0x7F, 2 for
// 0xC0..0xDF, 3 for 0xE0..0xEF, 4 to 6 for 0xF0..0xFD); the following bytes
// are taken as continuation bytes without any check and the value is reduced
// modulo 65536, so overlong forms are accepted. A sequence of 4 to 6 bytes
// becomes one "?"; a byte that cannot lead (0x80..0xBF, 0xFE, 0xFF) becomes
// "?" on its own; a sequence cut short by the end of the text turns all that
// is left into a single "?".
std::string transcode(std::string_view text, Direction direction);

}  // namespace invoice

#endif  // INVOICE_ENCODING_TRANSCODE_H_
