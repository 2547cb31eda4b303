#include "upgrade/upgrade_document.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "upgrade/pattern_search.h"

#ifndef INVOICE_STYLESHEET_HOST
#error "INVOICE_STYLESHEET_HOST must name the host of the web stylesheet (a string literal)"
#endif

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

// The vendor's web stylesheet; the host is the one build constant.
constexpr std::string_view kStylesheetUrl = "http://" INVOICE_STYLESHEET_HOST "/XSL/FACTURA.XSL";

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

// Replaces every occurrence of `search` in `document` by `replacement` with
// exactly the result of the simple rule "replace the leftmost occurrence,
// then search again from the start of the rewritten text, until none is
// left", but in one pass. `output` is scratch space whose capacity is reused
// across calls. Returns whether anything was replaced.
//
// Why one pass gives the same text as the restart rule. Let C be the text the
// restart rule holds at some moment. Here C is always `output + input[i..]`,
// and `frontier` <= output.size() is a position before which C holds no
// occurrence. The next occurrence the restart rule picks is the leftmost one
// in C, and it starts at or after `frontier`:
//  - One that starts inside `output` (at q < output.size()) reads at most
//    m - 1 bytes of input[i..], m being the search length; the window
//    `output[frontier..] + input[i, i + m - 1)` therefore holds every such
//    occurrence, including one that straddles the boundary between the
//    emitted bytes and the rest of the input.
//  - If the window holds none, the leftmost occurrence lies wholly in
//    input[i..] and the fast searcher finds it there.
// Replacing the occurrence at q gives C' = C[0, q) + replacement + C[q + m..).
// We keep that shape: an occurrence that ends inside `output` is replaced
// there; one that reaches into the input cuts `output` back to q, appends the
// replacement and skips its bytes that were still in the input. C' holds no occurrence starting
// before q - m + 1: such an occurrence would end at or before q, so it would lie in C[0, q), which
// is unchanged, and would have been an occurrence of C left of q, contradicting the choice of q.
// Hence the new frontier is q - m + 1, and by induction every step replaces the same occurrence as
// the restart rule.
//
// Cost: the window is at most m - 1 + k + m - 1 bytes (k the replacement
// length) and is searched once per replacement; input[i..] is scanned once by
// the fast searcher. A replacement found in the window consumes at least one
// input byte unless the occurrence lies wholly in `output`, which the table
// rules out (see the test of replacements that complete an occurrence), so
// the number of replacements is bounded by the input length and the whole
// pass is linear in it.
bool replace_all_restarting(std::string& document, std::string_view search,
                            std::string_view replacement, std::string& output) {
  const std::size_t m = search.size();
  if (m == 0 || document.size() < m) return false;

  const std::boyer_moore_horspool_searcher searcher(search.begin(), search.end());
  const std::string_view input(document);
  const auto find_in_input = [&](std::size_t from) -> std::size_t {
    const auto found =
        std::search(input.begin() + static_cast<std::ptrdiff_t>(from), input.end(), searcher);
    return found == input.end() ? std::string_view::npos
                                : static_cast<std::size_t>(found - input.begin());
  };

  std::size_t next = find_in_input(0);
  if (next == std::string_view::npos) return false;

  output.clear();
  output.reserve(document.size() + (replacement.size() > m ? document.size() / 8 : 0));
  std::string window;
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
      if (next == std::string_view::npos || next < i) next = find_in_input(i);
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
  document.swap(output);
  return true;
}

// Replaces the leftmost match of `pattern` by `replacement`; returns whether
// there was one.
bool replace_first_match(std::string& document, std::string_view pattern,
                         std::string_view replacement) {
  const PatternMatch match = pattern_search(pattern, document, 1);
  if (match.position < 1 || match.length < 1) return false;
  document.replace(static_cast<std::size_t>(match.position - 1),
                   static_cast<std::size_t>(match.length), replacement);
  return true;
}

}  // namespace

ReplacementTable build_replacement_table() {
  std::string stylesheet_instruction(kStylesheetUpper);
  stylesheet_instruction.replace(kStylesheetUpper.find(kStylesheetLocalHref) + 1,
                                 kStylesheetLocalHref.size() - 2, kStylesheetUrl);

  ReplacementTable table;
  table.search.reserve(kLiteralPairs.size());
  table.replacement.reserve(kLiteralPairs.size());
  for (const LiteralPair& pair : kLiteralPairs) {
    table.search.emplace_back(pair.search);
    table.replacement.emplace_back(pair.to_web_stylesheet ? std::string_view(stylesheet_instruction)
                                                          : pair.replacement);
  }
  return table;
}

bool upgrade_document(std::string& document, const ReplacementTable& table) {
  bool changed = false;
  std::string scratch;
  const std::size_t pairs = std::min(table.search.size(), table.replacement.size());
  for (std::size_t index = 0; index < pairs; ++index) {
    if (replace_all_restarting(document, table.search[index], table.replacement[index], scratch)) {
      changed = true;
    }
  }
  if (replace_first_match(document, kBuyerPartyThenInvoices, kPartiesClosedBeforeInvoices)) {
    changed = true;
  }
  if (replace_first_match(document, kInvoicesThenPartiesEnd, kInvoicesEnd)) changed = true;
  return changed;
}

}  // namespace invoice
