#include "upgrade/upgrade_document.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "upgrade/pair_scan.h"
#include "upgrade/pattern_search.h"
#include "upgrade/tag_scan.h"

namespace invoice {
namespace {

// The Facturae namespace URIs as published by the standard, each between
// double quotes so that only attribute values written with double quotes are
// rewritten.
constexpr std::string_view kNamespace30 = R"("http://www.facturae.es/Facturae/2007/v3.0/Facturae")";
constexpr std::string_view kNamespace321 =
    R"("http://www.facturae.es/Facturae/2014/v3.2.1/Facturae")";
static_assert(kNamespace30.size() == 52 && kNamespace321.size() == 54);

// The three local forms of the stylesheet reference that 3.0 documents carry.
// The web form is derived from the forward-slash form below.
constexpr std::string_view kStylesheetBackslash =
    R"(<?xml-stylesheet type="text/xsl" href="\MORVEL\XSL\FACTURA.XSL"?>)";
constexpr std::string_view kStylesheetUpper =
    R"(<?xml-stylesheet type="text/xsl" href="/MORVEL/XSL/FACTURA.XSL"?>)";
constexpr std::string_view kStylesheetLower =
    R"(<?xml-stylesheet type="text/xsl" href="/morvel/XSL/FACTURA.XSL"?>)";
constexpr std::string_view kStylesheetLocalHref = R"("/MORVEL/XSL/FACTURA.XSL")";
static_assert(kStylesheetUpper.find(kStylesheetLocalHref) != std::string_view::npos);

// The vendor's web stylesheet, on the host that the run is given.
constexpr std::string_view kStylesheetScheme = "http://";
constexpr std::string_view kStylesheetPath = "/XSL/FACTURA.XSL";

struct LiteralPair {
  std::string_view search;
  std::string_view replacement;
  bool to_web_stylesheet = false;  // replacement is the web stylesheet instruction
};

// The literal rewrites from Facturae 3.0 to 3.2.1, in application order:
// namespace, schema version, the case of the fax element, three-letter
// language codes to the two-letter ones (Occitan is filed as Catalan) and the
// stylesheet reference.
constexpr std::array<LiteralPair, 11> kLiteralPairs = {{
    {kNamespace30, kNamespace321},
    {"<SchemaVersion>3.0</SchemaVersion>", "<SchemaVersion>3.2.1</SchemaVersion>"},
    {"<Telefax>", "<TeleFax>"},
    {"</Telefax>", "</TeleFax>"},
    {"<LanguageName>CAT<", "<LanguageName>ca<"},
    {"<LanguageName>GLG<", "<LanguageName>gl<"},
    {"<LanguageName>OCI<", "<LanguageName>ca<"},
    {"<LanguageName>SPA<", "<LanguageName>es<"},
    {kStylesheetBackslash, {}, true},
    {kStylesheetUpper, {}, true},
    {kStylesheetLower, {}, true},
}};

// Moves the end tag of Parties from behind Invoices to in front of it. The
// patterns are case-insensitive and allow any run of spaces, CRs and LFs
// between the tags; the replacements always carry the tags in this case.
constexpr std::string_view kBuyerPartyThenInvoices = R"(</BuyerParty>[ \r\n]*<Invoices>)";
constexpr std::string_view kPartiesClosedBeforeInvoices =
    "</BuyerParty>\r\n</Parties>\r\n<Invoices>";
constexpr std::string_view kInvoicesThenPartiesEnd = R"(</Invoices>[ \r\n]*</Parties>)";
constexpr std::string_view kInvoicesEnd = "</Invoices>";

// Finds one search text in many texts. Candidates are the places where two
// of its bytes (the second and the last but one, which are rarer in markup
// than the angle brackets around them) both match, found many places at a
// time (pair_scan.h); only those are compared in full.
class Searcher {
 public:
  explicit Searcher(std::string_view needle)
      : needle_(needle),
        first_(probe(needle.size() >= 4 ? 1 : 0)),
        second_(probe(needle.size() >= 4 ? needle.size() - 2 : needle.size() - 1)) {}

  // Position of the first occurrence in `haystack` at or after `from`, or
  // npos. Requires a non-empty needle.
  std::size_t find(std::string_view haystack, std::size_t from) const {
    const std::size_t m = needle_.size();
    if (from > haystack.size() || haystack.size() - from < m) return std::string_view::npos;
    if (m < 2) return haystack.find(needle_, from);
    return pair_scan::find_first(
        haystack, from, haystack.size() - m, first_, second_,
        [&](std::size_t at) { return std::memcmp(haystack.data() + at, needle_.data(), m) == 0; });
  }

 private:
  pair_scan::Probe probe(std::size_t offset) const {
    const auto byte = static_cast<unsigned char>(needle_[offset]);
    return {offset, byte, byte};
  }

  std::string_view needle_;
  pair_scan::Probe first_;
  pair_scan::Probe second_;
};

// Writes to `output` the text that replacing every occurrence of `search` in
// `input` by `replacement` gives under the restart rule ("replace the leftmost
// occurrence, then search again from the start of the rewritten text, until
// none is left"), but in one pass. Returns false, leaving `output` unspecified,
// when `input` holds no occurrence. `window` is scratch space.
//
// The text C that the restart rule holds is always `output + input[i..]`, with
// no occurrence starting before `frontier`. The next occurrence is therefore
// either in the window `output[frontier..] + input[i, i + m - 1)` (it starts in
// what was emitted, perhaps reaching into the input) or, when the window holds
// none, the first one in `input[i..]`. After replacing an occurrence at q no
// occurrence starts before q - m + 1, which is the new frontier.
// docs/literal_rewrites.md gives the full argument and why the pass is linear
// for the real table.
bool replace_all_restarting(std::string_view input, std::string_view search,
                            std::string_view replacement, std::string& output,
                            std::string& window) {
  const std::size_t m = search.size();
  if (m == 0 || input.size() < m) return false;
  const Searcher searcher(search);
  std::size_t next = searcher.find(input, 0);  // first occurrence in input[i..]
  if (next == std::string_view::npos) return false;

  output.clear();
  std::size_t i = 0;         // next input byte not yet copied to `output`
  std::size_t frontier = 0;  // no occurrence of C starts before this
  while (true) {
    std::size_t q = std::string_view::npos;  // position in C of the next occurrence
    if (frontier < output.size()) {
      window.assign(output, frontier);
      window.append(input.substr(i, std::min(m - 1, input.size() - i)));
      const std::size_t found = window.find(search);
      if (found != std::string::npos && frontier + found < output.size()) q = frontier + found;
    }
    if (q != std::string_view::npos) {
      if (q + m <= output.size()) {
        output.replace(q, m, replacement);
      } else {
        i += q + m - output.size();
        output.resize(q);
        output.append(replacement);
      }
    } else {
      if (next == std::string_view::npos || next < i) next = searcher.find(input, i);
      if (next == std::string_view::npos) break;
      output.append(input.substr(i, next - i));
      q = output.size();
      output.append(replacement);
      i = next + m;
      next = std::string_view::npos;
    }
    frontier = q >= m - 1 ? q - (m - 1) : 0;
  }
  output.append(input.substr(i));
  return true;
}

// Pieces of about this size are taken through all the pairs while they are
// still in the processor's cache, instead of taking the whole text through
// one pair after the other.
constexpr std::size_t kPieceSize = std::size_t{64} << 10;

// Applies every pair of `table` in order, each with the restart rule.
//
// The text is cut into pieces, each ending just after a byte that occurs in
// no search text, and every piece goes through all the pairs on its own.
// Such a byte is never part of an occurrence, before or after any pair, so
// this gives the same text as taking the whole text through each pair in
// turn (docs/literal_rewrites.md).
bool apply_literal_pairs(std::string& document, const ReplacementTable& table) {
  std::array<bool, 256> in_search_text{};
  for (const ReplacementPair& pair : table) {
    for (const char c : pair.search) in_search_text[static_cast<unsigned char>(c)] = true;
  }
  const auto piece_end = [&](std::size_t start) {
    if (document.size() - start <= kPieceSize) return document.size();
    for (std::size_t at = start + kPieceSize; at < document.size(); ++at) {
      if (!in_search_text[static_cast<unsigned char>(document[at])]) return at + 1;
    }
    return document.size();
  };

  // The result is written back over the text, behind the piece being read:
  // document[0, written) is final. What does not fit before the end of the
  // last piece read (the text grew) waits in `pending`, in order.
  std::array<std::string, 2> buffers;
  std::string window;
  std::string pending;
  std::size_t pending_front = 0;
  std::size_t written = 0;
  bool changed = false;
  for (std::size_t start = 0, end = 0; start < document.size(); start = end) {
    end = piece_end(start);
    std::string_view piece(document.data() + start, end - start);
    std::size_t free_buffer = 0;
    bool piece_changed = false;
    for (const ReplacementPair& pair : table) {
      std::string& target = buffers[free_buffer];
      if (replace_all_restarting(piece, pair.search, pair.replacement, target, window)) {
        piece = target;
        free_buffer ^= 1;
        piece_changed = true;
      }
    }
    changed = changed || piece_changed;
    if (!changed) {
      written = end;  // nothing has moved yet
      continue;
    }
    // Here written <= start; document[written, end) is free.
    if (pending_front == pending.size() && piece.size() <= end - written) {
      std::memmove(document.data() + written, piece.data(), piece.size());
      written += piece.size();
      continue;
    }
    pending.append(piece);
    const std::size_t count = std::min(pending.size() - pending_front, end - written);
    std::memcpy(document.data() + written, pending.data() + pending_front, count);
    written += count;
    pending_front += count;
    if (pending_front >= pending.size() / 2) {
      pending.erase(0, pending_front);
      pending_front = 0;
    }
  }
  if (!changed) return false;
  const std::size_t size = written + (pending.size() - pending_front);
  if (document.capacity() < size) document.reserve(size + size / 64 + 256);
  document.resize(written);
  document.append(pending, pending_front);
  return true;
}

// The first match of `pattern` in `document`, as a 0-based place and a
// length; a length of 0 when there is none.
struct Match {
  std::size_t at = 0;
  std::size_t length = 0;
};

Match find_first_match(std::string_view document, std::string_view pattern) {
  const PatternMatch match = pattern_search(pattern, document, 1);
  if (match.position < 1 || match.length < 1) return {};
  return {static_cast<std::size_t>(match.position - 1), static_cast<std::size_t>(match.length)};
}

// True when an Invoices start tag lies inside the first Parties element
// (up to the end of the text when it is never closed; nothing when it is an
// empty element). Names are compared in either case, as the structural
// patterns compare them.
bool nests_invoices_in_parties(std::string_view document) {
  const std::size_t parties = find_tag(document, 0, "Parties", TagKind::kStart, NameCase::kAnyCase);
  if (parties == std::string_view::npos) return false;
  // An empty element holds nothing.
  const std::size_t tag_end = document.find('>', parties);
  if (tag_end != std::string_view::npos && document[tag_end - 1] == '/') return false;
  const std::size_t parties_end =
      find_tag(document, parties, "Parties", TagKind::kEnd, NameCase::kAnyCase);
  return find_tag(document.substr(0, parties_end), parties, "Invoices", TagKind::kStart,
                  NameCase::kAnyCase) != std::string_view::npos;
}

// Moves the end tag of Parties in front of Invoices, both halves of the move
// or neither; kUnrecognisedStructure, with the text untouched, when only
// half of it could be made.
UpgradeOutcome move_parties_end(std::string& document) {
  const Match closing = find_first_match(document, kBuyerPartyThenInvoices);
  const Match surplus = find_first_match(document, kInvoicesThenPartiesEnd);
  if (closing.length == 0 && surplus.length == 0) {
    return nests_invoices_in_parties(document) ? UpgradeOutcome::kUnrecognisedStructure
                                               : UpgradeOutcome::kUnchanged;
  }
  // The two matches never share a byte, and neither replacement forms or
  // removes a match of the other pattern.
  if (closing.length == 0 || surplus.length == 0 || surplus.at < closing.at) {
    return UpgradeOutcome::kUnrecognisedStructure;
  }
  // The later one first, so that the place of the earlier one holds.
  document.replace(surplus.at, surplus.length, kInvoicesEnd);
  document.replace(closing.at, closing.length, kPartiesClosedBeforeInvoices);
  return UpgradeOutcome::kUpgraded;
}

// Renames in place every start tag "<Telefax" followed by a blank, ">" or
// "/" and every end tag "</Telefax" followed by a blank or ">" to TeleFax,
// so that tags with attributes or blanks keep matching their end tags. One
// pass for both kinds of tag.
bool rename_telefax(std::string& document) {
  constexpr std::string_view kOldName = "Telefax";
  constexpr std::size_t kLetter = 4;  // the one that changes case: 'f'
  const auto is_blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  // The name is preceded by "<" and followed by the byte that ends it.
  if (document.size() < kOldName.size() + 2) return false;
  const std::string_view text = document;
  bool changed = false;
  for (std::size_t from = 1;;) {
    const std::size_t at = pair_scan::find_first(
        text, from, text.size() - kOldName.size() - 1, {0, 'T', 'T'}, {kLetter, 'f', 'f'},
        [&](std::size_t place) {
          if (std::memcmp(text.data() + place, kOldName.data(), kOldName.size()) != 0) return false;
          const char after = text[place + kOldName.size()];
          if (text[place - 1] == '<') return is_blank(after) || after == '>' || after == '/';
          return text[place - 1] == '/' && place >= 2 && text[place - 2] == '<' &&
                 (is_blank(after) || after == '>');
        });
    if (at == std::string_view::npos) break;
    document[at + kLetter] = 'F';
    changed = true;
    from = at + 1;
  }
  return changed;
}

}  // namespace

ReplacementTable build_replacement_table(std::string_view stylesheet_host) {
  std::string stylesheet_instruction(kStylesheetUpper);
  stylesheet_instruction.replace(
      kStylesheetUpper.find(kStylesheetLocalHref) + 1, kStylesheetLocalHref.size() - 2,
      std::string(kStylesheetScheme) + std::string(stylesheet_host) + std::string(kStylesheetPath));

  ReplacementTable table;
  table.reserve(kLiteralPairs.size());
  for (const LiteralPair& pair : kLiteralPairs) {
    // Without a host there is no reference to put in place of a local one.
    if (pair.to_web_stylesheet && stylesheet_host.empty()) continue;
    table.push_back(
        {std::string(pair.search),
         std::string(pair.to_web_stylesheet ? stylesheet_instruction : pair.replacement)});
  }
  return table;
}

bool holds_local_stylesheet(std::string_view document) {
  return std::any_of(kLiteralPairs.begin(), kLiteralPairs.end(), [&](const LiteralPair& pair) {
    return pair.to_web_stylesheet && document.find(pair.search) != std::string_view::npos;
  });
}

UpgradeOutcome upgrade_document(std::string& document, const ReplacementTable& table) {
  // The structure first: a document that cannot be moved whole is left
  // exactly as it is, which needs no copy of it when nothing has changed yet.
  const UpgradeOutcome moved = move_parties_end(document);
  if (moved == UpgradeOutcome::kUnrecognisedStructure) return moved;
  bool changed = moved == UpgradeOutcome::kUpgraded;
  if (apply_literal_pairs(document, table)) changed = true;
  if (rename_telefax(document)) changed = true;
  return changed ? UpgradeOutcome::kUpgraded : UpgradeOutcome::kUnchanged;
}

}  // namespace invoice
