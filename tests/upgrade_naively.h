#ifndef INVOICE_TESTS_UPGRADE_NAIVELY_H_
#define INVOICE_TESTS_UPGRADE_NAIVELY_H_

// The upgrade written the slow, obvious way, for the tests and the fuzz
// target to hold `upgrade_document` to. Not part of the program.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "upgrade/pattern_search.h"
#include "upgrade/tag_scan.h"
#include "upgrade/upgrade_document.h"

namespace invoice {

namespace naive {

constexpr std::string_view kClosing = R"(</BuyerParty>[ \r\n]*<Invoices>)";
constexpr std::string_view kSurplus = R"(</Invoices>[ \r\n]*</Parties>)";

// For each pair in order: replace the leftmost occurrence and search again
// from the start until none is left. Runs forever on a table whose
// replacements keep forming their own search text again.
inline bool apply_pairs(std::string& document, const ReplacementTable& table) {
  bool changed = false;
  for (const ReplacementPair& pair : table) {
    for (std::size_t at = document.find(pair.search); at != std::string::npos;
         at = document.find(pair.search)) {
      document.replace(at, pair.search.size(), pair.replacement);
      changed = true;
    }
  }
  return changed;
}

inline void rewrite(std::string& document, const PatternMatch& match, std::string_view by) {
  const auto at = static_cast<std::size_t>(match.position - 1);
  document = document.substr(0, at) + std::string(by) +
             document.substr(at + static_cast<std::size_t>(match.length));
}

}  // namespace naive

// The structural rewrites: both when both match in order, neither when
// neither matches and the first Parties element (not an empty one) holds no
// Invoices start tag, else the document is left whole. Then the pairs, then
// every "<Telefax" and "</Telefax" tag becomes TeleFax.
inline UpgradeOutcome upgrade_naively(std::string& document, const ReplacementTable& table) {
  const PatternMatch closing = pattern_search(naive::kClosing, document, 1);
  const PatternMatch surplus = pattern_search(naive::kSurplus, document, 1);
  bool changed = false;
  if (closing.position == 0 && surplus.position == 0) {
    const std::size_t parties =
        find_tag(document, 0, "Parties", TagKind::kStart, NameCase::kAnyCase);
    const std::size_t tag_end = document.find('>', parties);
    if (parties != std::string::npos &&
        (tag_end == std::string::npos || document[tag_end - 1] != '/') &&
        find_tag(document, parties, "Invoices", TagKind::kStart, NameCase::kAnyCase) <
            find_tag(document, parties, "Parties", TagKind::kEnd, NameCase::kAnyCase)) {
      return UpgradeOutcome::kUnrecognisedStructure;
    }
  } else if (closing.position == 0 || surplus.position == 0 ||
             surplus.position < closing.position) {
    return UpgradeOutcome::kUnrecognisedStructure;
  } else {
    naive::rewrite(document, surplus, "</Invoices>");
    naive::rewrite(document, closing, "</BuyerParty>\r\n</Parties>\r\n<Invoices>");
    changed = true;
  }
  changed = naive::apply_pairs(document, table) || changed;
  for (std::size_t at = 0; at < document.size(); ++at) {
    for (const std::string_view tag : {"<Telefax", "</Telefax"}) {
      if (document.compare(at, tag.size(), tag) != 0 || at + tag.size() >= document.size())
        continue;
      const char after = document[at + tag.size()];
      if (std::string_view(tag.size() == 8 ? " \t\r\n>/" : " \t\r\n>").find(after) ==
          std::string_view::npos)
        continue;
      document[at + tag.size() - 3] = 'F';
      changed = true;
    }
  }
  return changed ? UpgradeOutcome::kUpgraded : UpgradeOutcome::kUnchanged;
}

// The upgrade as the program first did it: the pairs, then each structural
// rewrite wherever its own pattern matched. For the real table it must agree
// with upgrade_document on every document whose structure is recognised.
inline void upgrade_in_original_order(std::string& document, const ReplacementTable& table) {
  naive::apply_pairs(document, table);
  for (const auto& [pattern, by] :
       {std::pair{naive::kClosing, "</BuyerParty>\r\n</Parties>\r\n<Invoices>"},
        std::pair{naive::kSurplus, "</Invoices>"}}) {
    const PatternMatch match = pattern_search(pattern, document, 1);
    if (match.position != 0) naive::rewrite(document, match, by);
  }
}

}  // namespace invoice

#endif  // INVOICE_TESTS_UPGRADE_NAIVELY_H_
