// Properties of `convert_code_page`. The first input byte decides what is
// planted into the rest: an opening declaration naming ibm850 (in either
// quote and letter case, with blanks around the equals sign or not), a byte
// order mark in front of it, and an ibm850 marker somewhere else, so that
// documents declared and not declared, with and without other mentions of
// ibm850, are all reached.
//  - A document is changed only when its opening declaration names ibm850,
//    and only that declaration's value and (unless the text is UTF-8
//    already) the code page of the text change: a document without such a
//    declaration, or whose text is valid UTF-8, comes back unchanged but for
//    the declaration;
//  - the conversion equals the line by line one, the byte order mark kept;
//  - a converted document is never converted again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "encoding/convert_code_page.h"
#include "encoding/transcode.h"
#include "encoding/utf8_check.h"
#include "encoding/xml_declaration.h"

namespace {

constexpr std::string_view kMarker = "encoding=\"ibm850\"";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

void check(bool condition) {
  if (!condition) std::abort();
}

// Cuts at every CR LF, transcodes each line and joins them with CR LF.
std::string convert_line_by_line(std::string_view text) {
  std::string joined;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find("\r\n", start);
    joined += invoice::transcode(text.substr(start, end - start), invoice::Direction::kToUtf8);
    if (end == std::string_view::npos) break;
    joined += "\r\n";
    start = end + 2;
  }
  return joined;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned plan = data[0];
  std::string document(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (plan & 1) document.insert(plan / 2 % (document.size() + 1), kMarker);
  if (plan & 2) {
    const char quote = (plan & 4) ? '\'' : '"';
    document.insert(0, std::string("<?xml version=\"1.0\" encoding") + ((plan & 8) ? " = " : "=") +
                           quote + ((plan & 16) ? "IBM850" : "ibm850") + quote + "?>");
  }
  if (plan & 32) document.insert(0, kByteOrderMark);

  const std::string original = document;
  const auto declared = invoice::read_declared_encoding(original);
  const bool declared_850 = declared && invoice::is_same_encoding_name(*declared, "ibm850");
  const invoice::CodePageOutcome outcome = invoice::convert_code_page(document);
  if (!declared_850) {
    check(outcome == invoice::CodePageOutcome::kUnchanged);
    check(document == original);
    return 0;
  }
  // The declaration's value alone becomes UTF-8.
  std::string expected = original;
  expected.replace(static_cast<std::size_t>(declared->data() - original.data()), declared->size(),
                   "UTF-8");
  if (invoice::classify_high_bytes(original) == invoice::HighBytes::kUtf8) {
    check(outcome == invoice::CodePageOutcome::kDeclarationOnly);
    check(document == expected);
  } else {
    check(outcome == invoice::CodePageOutcome::kConverted);
    const std::size_t mark =
        std::string_view(expected).starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
    check(document == expected.substr(0, mark) + convert_line_by_line(expected.substr(mark)));
  }
  const std::string once = document;
  check(invoice::convert_code_page(document) == invoice::CodePageOutcome::kUnchanged);
  check(document == once);
  return 0;
}
