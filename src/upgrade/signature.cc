#include "upgrade/signature.h"

#include <algorithm>
#include <functional>

namespace invoice {

namespace {

constexpr std::string_view kSignatureName = "Signature";

// Bytes of an XML name, with every byte of a multi-byte character counted
// in; the prefix of a tag is made of these.
constexpr bool is_name_byte(unsigned char byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= '0' && byte <= '9') || byte == '_' || byte == '-' || byte == '.' || byte >= 0x80;
}

// What may follow the name in a start tag: blank space, the end of the tag,
// or the slash of an empty element.
constexpr bool ends_tag_name(char byte) {
  return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n' || byte == '>' || byte == '/';
}

// True when the name at `at` is the name of a start tag: "<" right before
// it, or "<", a prefix and ":".
bool opens_start_tag(std::string_view text, std::size_t at) {
  if (at == 0) return false;
  if (text[at - 1] == '<') return true;
  if (text[at - 1] != ':') return false;
  // The walk stops at the latest at the colon in front of an earlier
  // occurrence, so all walks together cover the text at most once.
  std::size_t before = at - 1;
  while (before > 0 && is_name_byte(static_cast<unsigned char>(text[before - 1]))) --before;
  return before > 0 && text[before - 1] == '<';
}

bool holds_signature_tag(std::string_view text) {
  const std::boyer_moore_horspool_searcher searcher(kSignatureName.begin(), kSignatureName.end());
  for (auto from = text.begin();;) {
    const auto found = std::search(from, text.end(), searcher);
    if (found == text.end()) return false;
    const auto at = static_cast<std::size_t>(found - text.begin());
    const std::size_t after = at + kSignatureName.size();
    if (after < text.size() && ends_tag_name(text[after]) && opens_start_tag(text, at)) {
      return true;
    }
    from = found + 1;
  }
}

bool holds_signature_namespace(std::string_view text) {
  const std::boyer_moore_horspool_searcher searcher(kSignatureNamespace.begin(),
                                                    kSignatureNamespace.end());
  return std::search(text.begin(), text.end(), searcher) != text.end();
}

}  // namespace

bool holds_signature(std::string_view document) {
  // Most unsigned invoices have no such tag, while many declare the
  // namespace all the same: look for the tag first.
  return holds_signature_tag(document) && holds_signature_namespace(document);
}

}  // namespace invoice
