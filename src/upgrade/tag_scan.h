#ifndef INVOICE_UPGRADE_TAG_SCAN_H_
#define INVOICE_UPGRADE_TAG_SCAN_H_

#include <cstddef>
#include <cstring>
#include <string_view>

#include "upgrade/pair_scan.h"

namespace invoice {

enum class TagKind {
  kStart,  // "<", the name, then a blank, ">" or "/"
  kEnd,    // "</", the name, then a blank or ">"
};

enum class NameCase {
  kExact,    // the name byte for byte
  kAnyCase,  // ASCII letters in either case
};

// Defined here so that the constant arguments of each caller fold into its
// scan.
namespace tag_scan_detail {

// Bytes of an XML name, with every byte of a multi-byte character counted
// in; the prefix of a tag is made of these.
constexpr bool is_name_byte(unsigned char byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= '0' && byte <= '9') || byte == '_' || byte == '-' || byte == '.' || byte >= 0x80;
}

constexpr bool is_blank(char byte) {
  return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n';
}

// What may follow the name: blank space, the end of the tag, or (in a start
// tag) the slash of an empty element.
constexpr bool ends_tag_name(char byte, TagKind kind) {
  return is_blank(byte) || byte == '>' || (kind == TagKind::kStart && byte == '/');
}

constexpr char fold(char byte) {
  return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte;
}

// True when the bytes before the name at `at` open a tag of `kind`: "<" or
// "</", perhaps followed by a prefix and ":".
inline bool opens_tag(std::string_view text, std::size_t at, TagKind kind) {
  std::size_t before = at;
  if (before > 0 && text[before - 1] == ':') {
    // The walk stops at the latest at the colon in front of an earlier
    // candidate, so all walks together cover the text at most once.
    --before;
    while (before > 0 && is_name_byte(static_cast<unsigned char>(text[before - 1]))) --before;
  }
  if (kind == TagKind::kEnd) {
    if (before == 0 || text[before - 1] != '/') return false;
    --before;
  }
  return before > 0 && text[before - 1] == '<';
}

// A probe for the byte of `name` at `offset`, with its other case if asked.
inline pair_scan::Probe probe(std::string_view name, std::size_t offset, NameCase name_case) {
  const char byte = name[offset];
  char other = byte;
  if (name_case == NameCase::kAnyCase) {
    other = fold(byte) != byte             ? fold(byte)
            : (byte >= 'a' && byte <= 'z') ? static_cast<char>(byte - 'a' + 'A')
                                           : byte;
  }
  return {offset, static_cast<unsigned char>(byte), static_cast<unsigned char>(other)};
}

inline bool same_name(const char* at, std::string_view name, NameCase name_case) {
  if (name_case == NameCase::kExact) return std::memcmp(at, name.data(), name.size()) == 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (fold(at[i]) != fold(name[i])) return false;
  }
  return true;
}

}  // namespace tag_scan_detail

// The position of the name of the first tag of `kind` named `name` in
// `text` whose name lies at or after `from`, or npos. The name may carry any
// prefix ("<ds:Signature", "</fe:Parties"). Works on the bytes without
// parsing, so tags inside comments and character data count too. Linear in
// the size of the text. `name` must not be empty. Pure.
inline std::size_t find_tag(std::string_view text, std::size_t from, std::string_view name,
                            TagKind kind, NameCase name_case) {
  using namespace tag_scan_detail;
  // Room for the name and the byte that ends it.
  const std::size_t length = name.size() + 1;
  if (text.size() < length || from > text.size() - length) return std::string_view::npos;
  // The first letter and one near the end, which in tag names is rarer than
  // the endings.
  const std::size_t second = name.size() >= 3 ? name.size() - 3 : name.size() - 1;
  return pair_scan::find_first(text, from, text.size() - length, probe(name, 0, name_case),
                               probe(name, second, name_case), [&](std::size_t at) {
                                 return same_name(text.data() + at, name, name_case) &&
                                        ends_tag_name(text[at + name.size()], kind) &&
                                        opens_tag(text, at, kind);
                               });
}

}  // namespace invoice

#endif  // INVOICE_UPGRADE_TAG_SCAN_H_
