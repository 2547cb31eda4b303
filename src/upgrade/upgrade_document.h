#ifndef INVOICE_UPGRADE_UPGRADE_DOCUMENT_H_
#define INVOICE_UPGRADE_UPGRADE_DOCUMENT_H_

#include <string>
#include <string_view>
#include <vector>

namespace invoice {

// One literal rewrite: every occurrence of `search` becomes `replacement`.
struct ReplacementPair {
  std::string search;
  std::string replacement;
};

// The eleven literal rewrites that turn Facturae 3.0 texts into 3.2.1 ones,
// in application order. Built once per run and read only afterwards. In the
// table that build_replacement_table returns no search text is empty, no
// replacement contains its own search text and every text is 7-bit ASCII, so
// it matches the same bytes in code page 850 and in UTF-8 documents.
using ReplacementTable = std::vector<ReplacementPair>;

// Returns the table, pairs in application order: the 3.0 namespace, the
// schema version, the Telefax tags, the language codes CAT, GLG, OCI and SPA,
// and the three local stylesheet references, which all become the stylesheet
// on the web host `stylesheet_host` (a host name, perhaps with ":" and a
// port, that the caller has checked). With an empty host the table leaves
// the local references as they are: no document ever gets a made-up host.
ReplacementTable build_replacement_table(std::string_view stylesheet_host);

// True when `document` holds one of the local stylesheet references, which
// only a table built with a host rewrites.
bool holds_local_stylesheet(std::string_view document);

// Rewrites `document` in place: every occurrence of every search text, pair
// after pair, then the two structural rewrites that move the end tag of
// Parties in front of Invoices. Returns true when anything changed; a false
// result guarantees the text is untouched. Pure: no I/O.
//
// Each pair gives exactly the text of replacing its leftmost occurrence and
// searching again from the start until none is left (so occurrences that
// share bytes, as in "<LanguageName>CAT<LanguageName>CAT<", are all
// replaced), in time linear in the text. The structural rewrites replace only
// the first match each: "</BuyerParty>", any run of spaces, CRs and LFs and
// "<Invoices>" (letters in either case) becomes "</BuyerParty>", CR LF,
// "</Parties>", CR LF, "<Invoices>"; then "</Invoices>", such a run and
// "</Parties>" becomes "</Invoices>". Large texts are rewritten without a
// second full copy when `document` has capacity for the growth.
bool upgrade_document(std::string& document, const ReplacementTable& table);

}  // namespace invoice

#endif  // INVOICE_UPGRADE_UPGRADE_DOCUMENT_H_
