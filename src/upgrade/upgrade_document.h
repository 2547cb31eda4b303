#ifndef INVOICE_UPGRADE_UPGRADE_DOCUMENT_H_
#define INVOICE_UPGRADE_UPGRADE_DOCUMENT_H_

#include <string>
#include <vector>

namespace invoice {

// The eleven literal rewrites that turn Facturae 3.0 texts into 3.2.1 ones,
// applied in order: search[i] is replaced by replacement[i]. Built once per
// run and read only afterwards.
struct ReplacementTable {
  std::vector<std::string> search;
  std::vector<std::string> replacement;
};

// Returns the table, pairs in application order.
ReplacementTable build_replacement_table();

// Rewrites `document` in place: every occurrence of every search text, pair
// after pair, then the two structural rewrites that move the end tag of
// Parties in front of Invoices. Returns true when anything changed; a false
// result guarantees the text is untouched. Pure: no I/O.
bool upgrade_document(std::string& document, const ReplacementTable& table);

}  // namespace invoice

#endif  // INVOICE_UPGRADE_UPGRADE_DOCUMENT_H_
