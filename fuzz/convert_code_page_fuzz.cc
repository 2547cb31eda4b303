// Properties of `convert_code_page`. The first input byte decides whether and
// where the ibm850 declaration is planted into the rest, so that documents
// with zero, one and several declarations are all reached. A document whose
// opening declaration names another encoding is never converted.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "encoding/convert_code_page.h"
#include "encoding/transcode.h"
#include "encoding/xml_declaration.h"

namespace {

constexpr std::string_view kMarker = "encoding=\"ibm850\"";
constexpr std::string_view kReplacement = "encoding=\"UTF-8\"";

void check(bool condition) {
  if (!condition) std::abort();
}

std::size_t count_markers(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t at = text.find(kMarker); at != std::string_view::npos;
       at = text.find(kMarker, at + 1)) {
    ++count;
  }
  return count;
}

// Cuts at every CR LF, transcodes each line and joins them with CR LF.
std::string convert_line_by_line(std::string_view text) {
  std::string joined;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find("\r\n", start);
    joined += invoice::transcode(text.substr(start, end - start), "utf");
    if (end == std::string_view::npos) break;
    joined += "\r\n";
    start = end + 2;
  }
  return joined;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string document(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) document.insert(data[0] / 2 % (document.size() + 1), kMarker);

  const std::string original = document;
  const std::size_t markers = count_markers(original);
  const auto declared = invoice::read_declared_encoding(original);
  const bool declared_otherwise = declared && !invoice::is_same_encoding_name(*declared, "ibm850");
  const bool converted = invoice::convert_code_page(document);
  check(converted == (markers > 0 && !declared_otherwise));
  if (!converted) {
    check(document == original);
    return 0;
  }
  std::string expected = original;
  expected.replace(original.find(kMarker), kMarker.size(), kReplacement);
  check(document == convert_line_by_line(expected));
  // Only the first declaration goes; the later ones are ASCII and stay.
  check(count_markers(document) == markers - 1);
  if (markers == 1) {
    const std::string once = document;
    check(!invoice::convert_code_page(document));
    check(document == once);
  }
  return 0;
}
