// Runs pattern_search on arbitrary pattern and text bytes and checks what must
// hold for any input. Input layout: one byte for the pattern length (modulo
// 64), one for the start position (as a signed byte), then the pattern, then
// the text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "upgrade/pattern_search.h"

namespace {

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "pattern_search property broken: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t pattern_size = std::min<std::size_t>(data[0] % 64, size - 2);
  const auto start = static_cast<std::int64_t>(static_cast<std::int8_t>(data[1]));
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
  // The pattern gets a buffer of its own, exactly as long, so that the address
  // sanitizer sees a read beyond its end; the text already ends where the input
  // does.
  const auto pattern_copy = std::make_unique<char[]>(pattern_size);
  std::copy_n(bytes.data(), pattern_size, pattern_copy.get());
  const std::string_view pattern(pattern_copy.get(), pattern_size);
  const std::string_view text = bytes.substr(pattern_size);
  const auto text_size = static_cast<std::int64_t>(text.size());

  const invoice::PatternMatch match = invoice::pattern_search(pattern, text, start);
  const bool none = match == invoice::PatternMatch{};
  check(none || match.length >= 1, "a match takes at least one byte");
  check(none || (match.position >= 1 && match.position - 1 + match.length <= text_size),
        "the match lies inside the text");
  check(none || match.position >= start, "the match begins at or after the start");
  check((!pattern.empty() && !text.empty()) || none, "an empty pattern or text matches nothing");
  check(start <= text_size || none, "a start beyond the text matches nothing");
  if (start <= 1) {
    check(invoice::pattern_search(pattern, text, 0) == invoice::pattern_search(pattern, text, 1),
          "a start below 1 counts as 1");
  }
  // Only "^" and "\b" depend on where the search started. Without them, a
  // search starting at the match finds the same match, since it tries that
  // position first.
  if (!none && pattern.find('^') == std::string_view::npos &&
      pattern.find("\\b") == std::string_view::npos) {
    check(invoice::pattern_search(pattern, text, match.position) == match,
          "a search from the match finds it again");
  }
  return 0;
}
