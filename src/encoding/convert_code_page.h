#ifndef INVOICE_ENCODING_CONVERT_CODE_PAGE_H_
#define INVOICE_ENCODING_CONVERT_CODE_PAGE_H_

#include <string>

namespace invoice {

// When `document` holds the declaration encoding="ibm850", rewrites its first
// occurrence to encoding="UTF-8", converts the whole text from code page 858
// to UTF-8 and returns true. Otherwise, and always when the XML declaration
// that opens the document names an encoding other than ibm850 (in any letter
// case), leaves the text untouched and returns false. Pure: no I/O.
bool convert_code_page(std::string& document);

}  // namespace invoice

#endif  // INVOICE_ENCODING_CONVERT_CODE_PAGE_H_
