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

namespace naive {

inline char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Where the name lies when a tag named `name` (in either case) starts at
// `at`: "<" or "</" (`end`), any prefix of name bytes and ":", the name, then
// a blank, ">" or, for a start tag, "/"; npos when none starts there.
inline std::size_t tag_at(std::string_view text, std::size_t at, std::string_view name, bool end) {
  constexpr std::size_t kNone = std::string_view::npos;
  const auto is_name_byte = [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '_' ||
           b == '-' || b == '.' || b >= 0x80;
  };
  std::size_t i = at;
  if (text.substr(i, end ? 2 : 1) != (end ? "</" : "<")) return kNone;
  i += end ? 2 : 1;
  std::size_t j = i;
  while (j < text.size() && is_name_byte(text[j])) ++j;
  if (j < text.size() && text[j] == ':') i = j + 1;
  if (text.size() - i <= name.size()) return kNone;
  for (std::size_t k = 0; k < name.size(); ++k) {
    if (fold(text[i + k]) != fold(name[k])) return kNone;
  }
  const char after = text[i + name.size()];
  const bool ends = after == ' ' || after == '\t' || after == '\r' || after == '\n' ||
                    after == '>' || (!end && after == '/');
  return ends ? i : kNone;
}

inline std::size_t find_tag(std::string_view text, std::size_t from, std::string_view name,
                            bool end) {
  for (std::size_t at = from; at < text.size(); ++at) {
    if (tag_at(text, at, name, end) != std::string_view::npos) return at;
  }
  return std::string_view::npos;
}

}  // namespace naive

// The structural rewrites: both when both match in order, neither when
// neither matches and the first Parties element holds no Invoices start tag,
// else the document is left whole. Then for each pair in order: replace the
// leftmost occurrence and search again from the start until none is left.
// Then every "<Telefax" and "</Telefax" tag becomes TeleFax. Runs forever on
// a table whose replacements keep forming their own search text again.
inline UpgradeOutcome upgrade_naively(std::string& document, const ReplacementTable& table) {
  const PatternMatch closing = pattern_search(R"(</BuyerParty>[ \r\n]*<Invoices>)", document, 1);
  const PatternMatch surplus = pattern_search(R"(</Invoices>[ \r\n]*</Parties>)", document, 1);
  bool changed = false;
  if (closing.position == 0 && surplus.position == 0) {
    const std::size_t parties = naive::find_tag(document, 0, "Parties", false);
    const std::size_t tag_end = document.find('>', parties);
    const bool empty = tag_end != std::string::npos && document[tag_end - 1] == '/';
    if (parties != std::string::npos && !empty) {
      const std::size_t parties_end = naive::find_tag(document, parties, "Parties", true);
      const std::size_t invoices = naive::find_tag(document, parties, "Invoices", false);
      if (invoices < parties_end) return UpgradeOutcome::kUnrecognisedStructure;
    }
  } else if (closing.position == 0 || surplus.position == 0 ||
             surplus.position < closing.position) {
    return UpgradeOutcome::kUnrecognisedStructure;
  } else {
    const auto rewrite = [&](const PatternMatch& match, std::string_view replacement) {
      const auto at = static_cast<std::size_t>(match.position - 1);
      document = document.substr(0, at) + std::string(replacement) +
                 document.substr(at + static_cast<std::size_t>(match.length));
    };
    rewrite(surplus, "</Invoices>");
    rewrite(closing, "</BuyerParty>\r\n</Parties>\r\n<Invoices>");
    changed = true;
  }
  for (const ReplacementPair& pair : table) {
    for (std::size_t at = document.find(pair.search); at != std::string::npos;
         at = document.find(pair.search)) {
      document.replace(at, pair.search.size(), pair.replacement);
      changed = true;
    }
  }
  for (std::size_t at = 0; at < document.size(); ++at) {
    for (const bool end : {false, true}) {
      // Bare names only, byte for byte.
      const std::size_t name = at + (end ? 2 : 1);
      if (naive::tag_at(document, at, "Telefax", end) == name &&
          document.compare(name, 7, "Telefax") == 0) {
        document[name + 4] = 'F';
        changed = true;
      }
    }
  }
  return changed ? UpgradeOutcome::kUpgraded : UpgradeOutcome::kUnchanged;
}

// The upgrade as the program first did it: the literal pairs, then each
// structural rewrite wherever its own pattern matched. For the real table it
// must agree with upgrade_document on every document whose structure is
// recognised.
inline bool upgrade_in_original_order(std::string& document, const ReplacementTable& table) {
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
