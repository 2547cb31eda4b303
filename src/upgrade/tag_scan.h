#ifndef INVOICE_UPGRADE_TAG_SCAN_H_
#define INVOICE_UPGRADE_TAG_SCAN_H_

#include <cstddef>
#include <string_view>

namespace invoice {

enum class TagKind {
  kStart,  // "<", the name, then a blank, ">" or "/"
  kEnd,    // "</", the name, then a blank or ">"
};

enum class NameCase {
  kExact,    // the name byte for byte
  kAnyCase,  // ASCII letters in either case
};

// The position of the name of the first tag of `kind` named `name` in
// `text` whose name lies at or after `from`, or npos. The name may carry any
// prefix ("<ds:Signature", "</fe:Parties"). Works on the bytes without
// parsing, so tags inside comments and character data count too. Linear in
// the size of the text. `name` must not be empty. Pure.
std::size_t find_tag(std::string_view text, std::size_t from, std::string_view name, TagKind kind,
                     NameCase name_case);

}  // namespace invoice

#endif  // INVOICE_UPGRADE_TAG_SCAN_H_
