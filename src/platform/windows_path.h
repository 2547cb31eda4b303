#ifndef INVOICE_PLATFORM_WINDOWS_PATH_H_
#define INVOICE_PLATFORM_WINDOWS_PATH_H_

#include <string>
#include <string_view>

namespace invoice {

// The form in which the Windows platform hands every path to the system: an
// absolute path in the \\?\ namespace with "\" separators, so that no length
// limit applies and names such as "aux.xml" or "con" stay file names instead
// of devices. Pure text work on UTF-8, kept free of Windows headers so that
// it is tested on every platform.
//
// `path` may use "/" or "\" and may be relative ("a\b"), rooted ("\a"),
// drive-qualified ("C:\a"), drive-relative ("C:a"), a UNC share
// ("\\server\share\a") or already in the \\?\ namespace (returned unchanged,
// as the system would take it). `current_folder` is the absolute current
// folder that relative forms start from; a drive-relative path on another
// drive starts from that drive's root. "." components are dropped and ".."
// removes the component before it, never the root.
std::string make_extended_path(std::string_view path, std::string_view current_folder);

// `folder` and `name` joined with one "\" between them; a folder that ends
// with "\" or "/" keeps its separator.
std::string join_windows_path(std::string_view folder, std::string_view name);

// A root as typed in a batch file or on the command line, before the system
// makes it absolute: without trailing blanks, and without one pair of
// surrounding double quotes or, of `"C:\A B\"` (which the C runtime passes
// on as `C:\A B"`), the trailing quote alone. No Windows name holds a quote.
std::string strip_typed_quotes(std::string_view root);

// `name` (UTF-16 code units) as UTF-8, with each unpaired surrogate, which
// UTF-8 cannot carry, written as "\u" and four upper-case hex digits: a
// name that no other name is shown as.
std::string escape_unpaired_surrogates(std::u16string_view name);

}  // namespace invoice

#endif  // INVOICE_PLATFORM_WINDOWS_PATH_H_
