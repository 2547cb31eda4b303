#ifndef INVOICE_UPGRADE_SIGNATURE_H_
#define INVOICE_UPGRADE_SIGNATURE_H_

#include <string_view>

namespace invoice {

// True when `document` holds a start tag named Signature, bare or with any
// prefix ("<Signature", "<ds:Signature"), followed by a blank, ">" or "/".
// Whatever namespace it is in, however that namespace is written (character
// references included): an element of that name for another purpose is far
// rarer than a signature whose namespace does not read as expected, and
// taking it for one only leaves the document alone. Works on the bytes
// without parsing, so it errs towards "signed": such a tag inside a comment
// counts too, while a tag such as "<SignatureValue" or "<SignatureX" does
// not. Linear in the size of the text. Pure: no I/O.
bool holds_signature(std::string_view document);

}  // namespace invoice

#endif  // INVOICE_UPGRADE_SIGNATURE_H_
