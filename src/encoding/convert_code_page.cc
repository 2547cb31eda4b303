#include "encoding/convert_code_page.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "encoding/transcode.h"
#include "encoding/utf8_check.h"
#include "encoding/xml_declaration.h"

namespace invoice {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf8Name = "UTF-8";

}  // namespace

CodePageOutcome convert_code_page(std::string& document) {
  const auto declared = read_declared_encoding(document);
  if (!declared || !is_same_encoding_name(*declared, "ibm850")) return CodePageOutcome::kUnchanged;
  // Decided before anything changes: the declaration is ASCII either way.
  const bool already_utf8 = classify_high_bytes(document) == HighBytes::kUtf8;

  // The value only; its quotes and whatever surrounds it stay.
  const auto value_at = static_cast<std::size_t>(declared->data() - document.data());
  document.replace(value_at, declared->size(), kUtf8Name);
  if (already_utf8) return CodePageOutcome::kDeclarationOnly;

  // Converting line by line at every CR LF and joining the lines with CR LF
  // again gives the same bytes as converting the whole text: code page 858
  // converts byte by byte and maps CR and LF to themselves, so every line
  // break, lone CR or LF and empty line stays where it was. One pass over the
  // whole text therefore does it without building a list of lines.
  if (!document.starts_with(kByteOrderMark)) {
    document = transcode(document, "utf");
    return CodePageOutcome::kConverted;
  }
  // The mark is UTF-8 already and, once the rest is, right again.
  std::string converted =
      transcode(std::string_view(document).substr(kByteOrderMark.size()), "utf");
  converted.insert(0, kByteOrderMark);
  document = std::move(converted);
  return CodePageOutcome::kConverted;
}

}  // namespace invoice
