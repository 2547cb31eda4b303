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
//
// Where the language leaves a corner open:
// - "|" joins the single elements directly on either side of it: a literal,
//   an escaped byte, a class, ".", "^", "$", "\b" or a back reference.
//   "a|b|c" chains. The first alternative that matches is taken; no back-off
//   point is kept between alternatives. A repetition mark after the last
//   alternative repeats the whole choice ("a|b*" repeats "a|b"). A "|"
//   without an element directly on one side (at either end of the pattern,
//   after a repetition mark, next to a parenthesis or a switch) makes the
//   pattern invalid.
// - A repetition mark with nothing before it to repeat (at the start, after
//   "(", "|", a switch or another repetition mark) makes the pattern
//   invalid, like one right after ")".
// - A repetition ends as soon as its element would take no bytes ("^*" takes
//   nothing and always succeeds, "^+" requires "^"). A back reference gives
//   back its text as a whole: one back-off point per repetition of it, not
//   per byte.
// - A back reference to a group whose ")" has not been passed at that place
//   in the pattern (a later group, or the group the reference stands in)
//   never matches. A reference to a group number the pattern does not have,
//   or "\00", makes the pattern invalid. The referred text is compared with
//   case folding unless "\c" came earlier.
// - "\c" is positional: it makes the elements after it case-sensitive. "\s"
//   anywhere turns on the preference for shorter candidates for the whole
//   pattern.
// - "^" and "\b" treat the given start position (not every position tried)
//   as the start of the search. Beyond the end of the text counts as a
//   non-word side for "\b".
// - In a class the first "]" closes it: "[]" never matches and "[^]" matches
//   every byte but 0. "-" is an ordinary member when nothing can be joined by
//   it: first, right after the leading "^", right after a range, or just
//   before "]". A range whose first byte is above its second holds nothing.
//   "^" anywhere but first is an ordinary member. The complement is taken
//   after the case-fold partners were added, so "[^a]" excludes "A" too. Only
//   the escapes that stand for one byte are members; any other escape makes
//   the pattern invalid.
// - "\x" needs exactly two hexadecimal digits, in either case.
// - "]" and "-" outside a class are ordinary literals; so is a NUL byte in
//   the pattern.
// - The elements that take text are literals, escaped bytes, classes and
//   "."; a pattern without any is invalid. (A pattern of assertions, groups
//   and back references only could match nothing but the empty text, which
//   is never reported anyway.)
PatternMatch pattern_search(std::string_view pattern, std::string_view text, std::int64_t start);

}  // namespace invoice

#endif  // INVOICE_UPGRADE_PATTERN_SEARCH_H_
