#ifndef INVOICE_ENCODING_TRANSCODE_H_
#define INVOICE_ENCODING_TRANSCODE_H_

#include <string>
#include <string_view>

namespace invoice {

// Converts `text` between code page 858 (code page 850 with the euro sign at
// 0xD5) and UTF-8. The mode "850" (exactly those three bytes) converts UTF-8
// to code page 858; any other mode converts code page 858 to UTF-8. Never
// fails: what has no counterpart becomes "?". Pure: no I/O.
std::string transcode(std::string_view text, std::string_view mode);

}  // namespace invoice

#endif  // INVOICE_ENCODING_TRANSCODE_H_
