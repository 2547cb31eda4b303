#include "encoding/convert_code_page.h"

#include <string>
#include <string_view>

#include "encoding/transcode.h"
#include "encoding/xml_declaration.h"

namespace invoice {
namespace {

constexpr std::string_view kMarker = "encoding=\"ibm850\"";
constexpr std::string_view kReplacement = "encoding=\"UTF-8\"";

}  // namespace

bool convert_code_page(std::string& document) {
  // A document whose declaration names another encoding is in that
  // encoding, whatever a comment or a later text may say: converting it
  // would garble it again on every run.
  if (const auto declared = read_declared_encoding(document);
      declared && !is_same_encoding_name(*declared, "ibm850")) {
    return false;
  }
  const std::size_t at = document.find(kMarker);
  if (at == std::string::npos) return false;

  // Only the first declaration is rewritten; a later one stays as it is.
  document.replace(at, kMarker.size(), kReplacement);

  // Converting line by line at every CR LF and joining the lines with CR LF
  // again gives the same bytes as converting the whole text: code page 858
  // converts byte by byte and maps CR and LF to themselves, so every line
  // break, lone CR or LF and empty line stays where it was. One pass over the
  // whole text therefore does it without building a list of lines.
  document = transcode(document, "utf");
  return true;
}

}  // namespace invoice
