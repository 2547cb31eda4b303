#include "upgrade/pattern_search.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string_view>

#include "upgrade/pattern_matcher.h"
#include "upgrade/pattern_program.h"

namespace invoice {

PatternMatch pattern_search(std::string_view pattern, std::string_view text, std::int64_t start) {
  if (pattern.empty() || text.empty()) return PatternMatch{};
  const std::int64_t first = std::max<std::int64_t>(start, 1);
  if (static_cast<std::uint64_t>(first) > text.size()) return PatternMatch{};
  try {
    const std::optional<pattern::Program> program = pattern::compile_pattern(pattern);
    if (!program) return PatternMatch{};
    return pattern::run_program(*program, text, static_cast<std::size_t>(first - 1));
  } catch (const std::bad_alloc&) {
    // Running out of memory for the program or the back-off points is
    // treated like a pattern that cannot be read.
    return PatternMatch{};
  }
}

}  // namespace invoice
