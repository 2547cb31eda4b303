#include "upgrade/signature.h"

#include <cstring>

#include "upgrade/pair_scan.h"

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
  // candidate, so all walks together cover the text at most once.
  std::size_t before = at - 1;
  while (before > 0 && is_name_byte(static_cast<unsigned char>(text[before - 1]))) --before;
  return before > 0 && text[before - 1] == '<';
}

// A probe for the byte of `needle` at `offset`.
pair_scan::Probe probe(std::string_view needle, std::size_t offset) {
  const auto byte = static_cast<unsigned char>(needle[offset]);
  return {offset, byte, byte};
}

bool holds_signature_tag(std::string_view text) {
  // Room for the name and the byte that ends it.
  const std::size_t length = kSignatureName.size() + 1;
  if (text.size() < length) return false;
  // The capital S and the u are rarer in markup than the other letters.
  const std::size_t found = pair_scan::find_first(
      text, 0, text.size() - length, probe(kSignatureName, 0), probe(kSignatureName, 6),
      [&](std::size_t at) {
        return std::memcmp(text.data() + at, kSignatureName.data(), kSignatureName.size()) == 0 &&
               ends_tag_name(text[at + kSignatureName.size()]) && opens_start_tag(text, at);
      });
  return found != std::string_view::npos;
}

bool holds_signature_namespace(std::string_view text) {
  const std::size_t length = kSignatureNamespace.size();
  if (text.size() < length) return false;
  // The "9" of the date and the closing "#".
  const std::size_t found = pair_scan::find_first(
      text, 0, text.size() - length, probe(kSignatureNamespace, 24),
      probe(kSignatureNamespace, length - 1), [&](std::size_t at) {
        return std::memcmp(text.data() + at, kSignatureNamespace.data(), length) == 0;
      });
  return found != std::string_view::npos;
}

}  // namespace

bool holds_signature(std::string_view document) {
  // Most unsigned invoices have no such tag, while many declare the
  // namespace all the same: look for the tag first.
  return holds_signature_tag(document) && holds_signature_namespace(document);
}

}  // namespace invoice
