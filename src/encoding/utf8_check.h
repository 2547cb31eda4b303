#ifndef INVOICE_ENCODING_UTF8_CHECK_H_
#define INVOICE_ENCODING_UTF8_CHECK_H_

#include <string_view>

namespace invoice {

// What the bytes above 0x7F of a text are.
enum class HighBytes {
  kNone,   // there are none: the text is ASCII
  kUtf8,   // there are some, and all of them form well-formed UTF-8 sequences
  kOther,  // at least one does not
};

// Sorts `text` by its bytes above 0x7F. Well-formed UTF-8 is as RFC 3629
// defines it: no overlong form, no surrogate, nothing above U+10FFFF, no
// sequence cut short. Stops at the first byte that breaks it. Pure: no I/O.
HighBytes classify_high_bytes(std::string_view text);

}  // namespace invoice

#endif  // INVOICE_ENCODING_UTF8_CHECK_H_
