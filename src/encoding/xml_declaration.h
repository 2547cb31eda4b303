#ifndef INVOICE_ENCODING_XML_DECLARATION_H_
#define INVOICE_ENCODING_XML_DECLARATION_H_

#include <optional>
#include <string_view>

namespace invoice {

// The value of the encoding pseudo-attribute of the XML declaration that
// opens `document` (the "<?xml" at its very first byte, or right after a
// UTF-8 byte order mark), read as XML allows it: blanks (space, tab, CR, LF)
// around the equals sign, single or double quotes. Nothing when the document
// does not open with a declaration, when the declaration names no encoding,
// or when it is cut or malformed before the encoding. The result points into
// `document`. Pure: no I/O.
std::optional<std::string_view> read_declared_encoding(std::string_view document);

// True when two encoding names are the same name, letters compared without
// regard to case, as XML encoding names are.
bool is_same_encoding_name(std::string_view a, std::string_view b);

}  // namespace invoice

#endif  // INVOICE_ENCODING_XML_DECLARATION_H_
