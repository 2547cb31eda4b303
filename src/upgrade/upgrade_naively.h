#ifndef INVOICE_UPGRADE_UPGRADE_NAIVELY_H_
#define INVOICE_UPGRADE_UPGRADE_NAIVELY_H_

// The upgrade written the slow, obvious way, for the tests and the fuzz
// target to hold `upgrade_document` to. Not part of the program.

#include <cstddef>
#include <string>
#include <string_view>

#include "upgrade/pattern_search.h"
#include "upgrade/upgrade_document.h"

namespace invoice {

// For each pair in order: replace the leftmost occurrence and search again
// from the start until none is left. Then the two structural rewrites, each
// on its first match. Returns whether anything changed. Runs forever on a
// table whose replacements keep forming their own search text again.
inline bool upgrade_naively(std::string& document, const ReplacementTable& table) {
  bool changed = false;
  for (const ReplacementPair& pair : table) {
    for (std::size_t at = document.find(pair.search); at != std::string::npos;
         at = document.find(pair.search)) {
      document.replace(at, pair.search.size(), pair.replacement);
      changed = true;
    }
  }
  const auto rewrite_first = [&](std::string_view pattern, std::string_view replacement) {
    const PatternMatch match = pattern_search(pattern, document, 1);
    if (match.position == 0) return;
    const auto at = static_cast<std::size_t>(match.position - 1);
    document = document.substr(0, at) + std::string(replacement) +
               document.substr(at + static_cast<std::size_t>(match.length));
    changed = true;
  };
  rewrite_first(R"(</BuyerParty>[ \r\n]*<Invoices>)", "</BuyerParty>\r\n</Parties>\r\n<Invoices>");
  rewrite_first(R"(</Invoices>[ \r\n]*</Parties>)", "</Invoices>");
  return changed;
}

}  // namespace invoice

#endif  // INVOICE_UPGRADE_UPGRADE_NAIVELY_H_
