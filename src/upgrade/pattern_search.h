#ifndef INVOICE_UPGRADE_PATTERN_SEARCH_H_
#define INVOICE_UPGRADE_PATTERN_SEARCH_H_

#include <cstdint>
#include <string_view>

namespace invoice {

// Where a pattern matched: 1-based byte position of the first matched byte in
// the whole text, and the number of bytes matched (at least 1). {0, 0} means
// that nothing matched.
struct PatternMatch {
  std::int64_t position = 0;
  std::int64_t length = 0;
  friend bool operator==(const PatternMatch&, const PatternMatch&) = default;
};

// Finds the leftmost match of `pattern` in `text` at or after the 1-based
// `start` (a start below 1 counts as 1). Never throws and never reads outside
// `text`; an empty or invalid pattern, an empty text or a start beyond the
// text give {0, 0}. Pure: no I/O, no state between calls.
//
// The pattern language, over bytes:
//   x        a literal byte; letters match in either case (A-Z/a-z and the
//            seven letter pairs of code page 850) unless "\c" came earlier
//   [...]    a class: members, escapes, ranges "a-z", a leading "^" for the
//            complement, "-" first or last as a member; never matches NUL
//   .        any byte but CR and NUL
//   ^ $      nothing, at the start of the search or after LF / before CR LF
//            or at the end of the text
//   \b       nothing, between a word byte (A-Z a-z 0-9 _) and another byte
//   * + ?    after an element: any number, one or more, at most one; greedy
//   x|y      the first of the single elements x and y that matches
//   ( )      a group (at most 99, never repeated); \01 to \99 match the text
//            a group matched again
//   \e \f \q \r \t \n \v \xNN and a backslash before an operator byte:
//            that byte
//   \c \s    switches: case-sensitive from here on; prefer shorter matches
// Each start position is tried in turn. The first non-empty match found there
// by greedy matching with back-off is kept; later ones found by backing off
// further replace it only while they are longer (shorter after "\s").
PatternMatch pattern_search(std::string_view pattern, std::string_view text, std::int64_t start);

}  // namespace invoice

#endif  // INVOICE_UPGRADE_PATTERN_SEARCH_H_
