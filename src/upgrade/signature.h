#ifndef INVOICE_UPGRADE_SIGNATURE_H_
#define INVOICE_UPGRADE_SIGNATURE_H_

#include <string_view>

namespace invoice {

// The namespace of XML digital signatures.
inline constexpr std::string_view kSignatureNamespace = "http://www.w3.org/2000/09/xmldsig#";

// True when `document` holds an XML digital signature: a start tag named
// Signature, bare or with any prefix ("<Signature", "<ds:Signature"),
// followed by a blank, ">" or "/", and the signature namespace anywhere in
// the text. Works on the bytes without parsing, so it errs towards "signed":
// such a tag inside a comment counts too, while the namespace alone, or a
// tag such as "<SignatureValue" or "<SignatureX", does not. Linear in the
// size of the text. Pure: no I/O.
bool holds_signature(std::string_view document);

}  // namespace invoice

#endif  // INVOICE_UPGRADE_SIGNATURE_H_
