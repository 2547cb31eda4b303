#ifndef INVOICE_ENCODING_CONVERT_CODE_PAGE_H_
#define INVOICE_ENCODING_CONVERT_CODE_PAGE_H_

#include <string>

namespace invoice {

// What convert_code_page did to a document.
enum class CodePageOutcome {
  kUnchanged,        // not declared ibm850: the text is left exactly as it was
  kConverted,        // code page 858 text, converted to UTF-8
  kDeclarationOnly,  // declared ibm850 but already UTF-8: only the declaration changed
};

// A document is in code page 850 when, and only when, the XML declaration
// that opens it (after an optional UTF-8 byte order mark) names ibm850 as
// XML reads it: any letter case, either quote, blanks around the equals
// sign. Then that declaration's encoding value becomes UTF-8, in the same
// quotes, and the rest of the text is converted from code page 858 to UTF-8,
// except when its bytes above 0x7F already all form UTF-8 (and there is at
// least one): such a text was re-saved as UTF-8 and converting it again
// would garble every accented letter, so only the declaration changes. A
// byte order mark is never converted. Nothing else in the text is rewritten,
// whatever it says about encodings. Pure: no I/O.
CodePageOutcome convert_code_page(std::string& document);

}  // namespace invoice

#endif  // INVOICE_ENCODING_CONVERT_CODE_PAGE_H_
