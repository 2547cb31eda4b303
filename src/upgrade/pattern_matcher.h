#ifndef INVOICE_UPGRADE_PATTERN_MATCHER_H_
#define INVOICE_UPGRADE_PATTERN_MATCHER_H_

#include <cstddef>
#include <string_view>

#include "upgrade/pattern_program.h"
#include "upgrade/pattern_search.h"

namespace invoice::pattern {

// Runs a compiled program over `text` from the 0-based `start` (below
// text.size()) and returns the match that pattern_search describes.
//
// Each start position is tried in turn (only those the start filter lets
// through). The program is walked from left to right with an explicit stack
// of back-off points and no recursion. Because groups cannot be repeated, the
// program counter only moves forward along one attempt: every operation runs
// at most once per attempt, so the stack holds at most one point per
// repetition in the program, whatever the length of the text (a repeated
// choice between a back reference and other elements can take steps of
// different lengths; it keeps one point per change of step length).
//
// Greedy repetition with per-byte back-off is kept exactly, but in counted
// form: a repetition of a single element keeps one back-off point for its
// whole run (where the run started, how long each take is, how many takes
// can still be given back) instead of one point per byte taken. Giving back a
// take is a decrement. The order in which the alternatives are tried, and
// therefore every candidate and the result, is the same as with one saved
// point per byte. May throw std::bad_alloc.
PatternMatch run_program(const Program& program, std::string_view text, std::size_t start);

}  // namespace invoice::pattern

#endif  // INVOICE_UPGRADE_PATTERN_MATCHER_H_
