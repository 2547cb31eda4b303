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

// What upgrade_document did to a document.
enum class UpgradeOutcome {
  kUnchanged,  // nothing to rewrite: the text is untouched
  kUpgraded,   // at least one rewrite changed the text
  // The end tag of Parties could be moved only in part, or Invoices lies
  // inside Parties in a way the moves do not recognise: the text is left
  // untouched, since half a move would break the XML and a document labelled
  // 3.2.1 with a 3.0 structure would be wrong too.
  kUnrecognisedStructure,
};

// Rewrites `document` in place. First the structural rewrites, which move
// the end tag of Parties in front of Invoices, each at its first match:
// "</BuyerParty>", any run of spaces, CRs and LFs and "<Invoices>" (letters
// in either case) becomes "</BuyerParty>", CR LF, "</Parties>", CR LF,
// "<Invoices>"; "</Invoices>", such a run and "</Parties>" becomes
// "</Invoices>". Both are made when both match, the first in front of the
// second; neither when neither matches and no Invoices start tag (any
// prefix, any case) lies inside the first Parties element; anything else is
// kUnrecognisedStructure. Then every occurrence of every search text, pair
// after pair, and last the Telefax element is renamed TeleFax as a whole:
// every start tag ("<Telefax" followed by a blank, ">" or "/") and end tag
// ("</Telefax" followed by a blank or ">"). Pure: no I/O.
//
// With the table of build_replacement_table, whose texts hold none of the
// tags moved, this gives the same text as the literal pairs first and the
// structural rewrites after them.
//
// Each pair gives exactly the text of replacing its leftmost occurrence and
// searching again from the start until none is left (so occurrences that
// share bytes, as in "<LanguageName>CAT<LanguageName>CAT<", are all
// replaced), in time linear in the text. Large texts are rewritten without a
// second full copy when `document` has capacity for the growth.
UpgradeOutcome upgrade_document(std::string& document, const ReplacementTable& table);

}  // namespace invoice

#endif  // INVOICE_UPGRADE_UPGRADE_DOCUMENT_H_
