// Properties of `transcode` in both directions on any byte string.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "encoding/transcode.h"
#include "encoding/utf8_kernels.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// The bytes below 0x80 of `text`, in order.
std::string ascii_bytes(std::string_view text) {
  std::string ascii;
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x80) ascii.push_back(c);
  }
  return ascii;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // Code page 858 to UTF-8: one to three bytes per byte, bytes below 0x80 kept
  // in place (every multi-byte form is made of bytes above 0x7F), every
  // kernel alike, and the way back gives the text again.
  const std::string utf8 = invoice::transcode(text, invoice::Direction::kToUtf8);
  check(utf8.size() >= size && utf8.size() <= 3 * size);
  check(ascii_bytes(utf8) == ascii_bytes(text));
  using invoice::utf8_kernels::Kernel;
  for (Kernel kernel : {Kernel::kPortable, Kernel::kAvx512}) {
    if (invoice::utf8_kernels::is_available(kernel)) {
      check(invoice::utf8_kernels::to_utf8(text, kernel) == utf8);
    }
  }
  check(invoice::transcode(utf8, invoice::Direction::kToCodePage) == text);

  // UTF-8 to code page 858 on anything: at most one byte per input byte, at
  // least one for a non-empty text, and pure ASCII unchanged.
  const std::string code_page = invoice::transcode(text, invoice::Direction::kToCodePage);
  check(code_page.size() <= size);
  check(size == 0 || !code_page.empty());
  if (ascii_bytes(text).size() == size) check(code_page == text);
  // A sequence always starts the text, so the first byte survives when ASCII.
  if (size > 0 && data[0] < 0x80) check(code_page[0] == text[0]);
  return 0;
}
