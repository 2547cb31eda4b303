#ifndef INVOICE_UPGRADE_PATTERN_START_FILTER_H_
#define INVOICE_UPGRADE_PATTERN_START_FILTER_H_

#include <cstddef>
#include <string_view>
#include <vector>

#include "upgrade/pair_scan.h"
#include "upgrade/pattern_program.h"

namespace invoice::pattern {

// Finds the start positions at which the bytes the pattern must begin with
// are present. Every match starts with the prefix of single-byte elements
// that the pattern opens with (group marks and assertions in between take
// nothing), so other positions need not be tried. A pattern that opens with
// optional elements gets a prefix of one byte: the set of bytes a match can
// begin with. Holds pointers into `program` and into itself: it must not
// outlive the program and cannot be copied.
class StartFilter {
 public:
  StartFilter(const Program& program, std::string_view text);

  StartFilter(const StartFilter&) = delete;
  StartFilter& operator=(const StartFilter&) = delete;

  // False when a match can begin with any byte: then every position is a
  // start, and `next` must not be asked.
  bool active() const { return !prefix_.empty(); }

  // The first position at or after `from` where the prefix is present, or
  // kNoMatch.
  std::size_t next(std::size_t from) const;

 private:
  bool collect_first_bytes(const Program& program);
  bool prefix_at(std::size_t s) const;

  std::string_view text_;
  ByteSet first_bytes_{};
  std::vector<const ByteSet*> prefix_;
  // Up to two places of the prefix whose classes hold one or two bytes.
  pair_scan::Probe first_{0, 0, 0};
  pair_scan::Probe last_{0, 0, 0};
  int probe_count_ = 0;
};

}  // namespace invoice::pattern

#endif  // INVOICE_UPGRADE_PATTERN_START_FILTER_H_
