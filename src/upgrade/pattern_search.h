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
// `start` (a start below 1 counts as 1). Matching is greedy with back-off and
// case-insensitive unless the pattern begins with "\c". Never throws and never
// reads outside `text`; an empty or invalid pattern, an empty text or a start
// beyond the text give {0, 0}. Pure: no I/O, no state between calls.
PatternMatch pattern_search(std::string_view pattern, std::string_view text, std::int64_t start);

}  // namespace invoice

#endif  // INVOICE_UPGRADE_PATTERN_SEARCH_H_
