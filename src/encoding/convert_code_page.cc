#include "encoding/convert_code_page.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "encoding/utf8_check.h"
#include "encoding/utf8_kernels.h"
#include "encoding/xml_declaration.h"

namespace invoice {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf8Name = "UTF-8";

// The UTF-8 form of `document`, a code page 858 text whose encoding value of
// `value_size` bytes at `value_at` becomes kUtf8Name, built in one buffer
// written once: for a large invoice neither a second copy of the whole text
// nor a zero fill before the writing.
std::string converted_with_utf8_name(std::string_view document, std::size_t value_at,
                                     std::size_t value_size) {
  // The mark is UTF-8 already and stays as it is. The rest converts byte by
  // byte, and code page 858 maps CR and LF to themselves, so converting it
  // around the value gives the same bytes as converting it whole: every line
  // break stays where it was.
  const std::size_t mark = document.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
  const std::string_view before = document.substr(mark, value_at - mark);
  const std::string_view after = document.substr(value_at + value_size);
  const auto kernel = utf8_kernels::chosen_kernel();
  const std::size_t size = mark + utf8_kernels::utf8_length(before, kernel) + kUtf8Name.size() +
                           utf8_kernels::utf8_length(after, kernel);
  std::string converted;
  // Each piece may leave garbage after its end, which the next piece
  // overwrites and the final cut drops.
  converted.resize_and_overwrite(size + utf8_kernels::kWriteSlack, [&](char* out, std::size_t) {
    out = std::copy_n(document.data(), mark, out);
    out = utf8_kernels::write_utf8(before, kernel, out);
    out = std::copy(kUtf8Name.begin(), kUtf8Name.end(), out);
    utf8_kernels::write_utf8(after, kernel, out);
    return size;
  });
  return converted;
}

}  // namespace

CodePageOutcome convert_code_page(std::string& document) {
  const auto declared = read_declared_encoding(document);
  if (!declared || !is_same_encoding_name(*declared, "ibm850")) return CodePageOutcome::kUnchanged;
  // Decided before anything changes: the declaration is ASCII either way.
  const bool already_utf8 = classify_high_bytes(document) == HighBytes::kUtf8;

  // The value only; its quotes and whatever surrounds it stay.
  const auto value_at = static_cast<std::size_t>(declared->data() - document.data());
  if (already_utf8) {
    document.replace(value_at, declared->size(), kUtf8Name);
    return CodePageOutcome::kDeclarationOnly;
  }
  document = converted_with_utf8_name(document, value_at, declared->size());
  return CodePageOutcome::kConverted;
}

}  // namespace invoice
