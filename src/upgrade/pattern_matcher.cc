#include "upgrade/pattern_matcher.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "upgrade/pattern_start_filter.h"

namespace invoice::pattern {
namespace {

constexpr bool is_word_byte(Byte b) {
  return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '_';
}

class Matcher {
 public:
  Matcher(const Program& program, std::string_view text, std::size_t search_start)
      : program_(program),
        text_(text),
        data_(reinterpret_cast<const Byte*>(text.data())),
        n_(text.size()),
        search_start_(search_start),
        group_start_(program.group_count + 1, 0),
        group_end_(program.group_count + 1, 0),
        group_open_(program.group_count + 1, 0),
        guards_(program.ops.size() + 1, nullptr) {
    // The guard of a resume place: a class that the byte at the resumed text
    // place must belong to, or the attempt fails at once (the first element
    // there that takes anything takes one byte of this class; group marks and
    // assertions before it take nothing).
    for (std::size_t pc = program.ops.size(); pc-- > 0;) {
      const Op& op = program.ops[pc];
      if (takes_nothing(op.kind)) {
        guards_[pc] = guards_[pc + 1];
      } else if (op.kind == OpKind::kByteSet && is_mandatory(op.repeat)) {
        guards_[pc] = &program.sets[op.arg];
      }
    }
    const Op& first = program.ops.front();
    leading_run_ = first.kind == OpKind::kByteSet &&
                   (first.repeat == Repeat::kAnyNumber || first.repeat == Repeat::kOneOrMore);
    back_offs_.reserve(program.ops.size());
  }

  PatternMatch search() {
    const StartFilter filter(program_, text_);
    std::size_t s = search_start_;
    while (s < n_) {
      if (filter.active()) {
        s = filter.next(s);
        if (s == kNoMatch) break;
      }
      leading_run_end_ = s;
      const std::size_t length = match_at(s);
      if (length > 0) {
        return PatternMatch{static_cast<std::int64_t>(s) + 1, static_cast<std::int64_t>(length)};
      }
      // When the pattern opens with a repetition of a class and nothing matched
      // from s, nothing matches from inside the same run either: such a start
      // reaches the same end of the run and then tries a subset of the places
      // that failed from s (none of which depended on s).
      s = std::max(s + 1, leading_run_end_);
    }
    return PatternMatch{};
  }

 private:
  // A back-off point in counted form: `count` takes of `step` bytes each,
  // starting at `base`, can still be given back; matching then resumes at
  // `resume` in the program.
  struct BackOff {
    std::size_t resume;
    std::size_t base;
    std::size_t step;
    std::size_t count;
  };

  // The length of the match from s, or 0 when there is none.
  std::size_t match_at(std::size_t s) {
    back_offs_.clear();
    const std::vector<Op>& ops = program_.ops;
    std::size_t pc = 0;
    std::size_t p = s;
    std::size_t best = 0;
    for (;;) {
      if (pc == ops.size()) {
        const std::size_t length = p - s;
        // An empty candidate counts as a failure. The first candidate is kept;
        // a later one replaces it only when it is longer (shorter after "\s"),
        // and the first later one that does not ends the search at this start.
        if (length > 0) {
          if (best == 0 || (program_.prefer_shorter ? length < best : length > best)) {
            best = length;
          } else {
            return best;
          }
        }
        if (!back_off(pc, p)) return best;
        continue;
      }
      const Op& op = ops[pc];
      if (op.kind == OpKind::kGroupOpen) {
        group_open_[op.arg] = p;
      } else if (op.kind == OpKind::kGroupClose) {
        group_start_[op.arg] = group_open_[op.arg];
        group_end_[op.arg] = p;
      } else if (!take(op, pc, p)) {
        if (!back_off(pc, p)) return best;
        continue;
      }
      ++pc;
    }
  }

  // Matches the element `op` at program place pc with its repetition mark;
  // advances p.
  bool take(const Op& op, std::size_t pc, std::size_t& p) {
    if (op.kind == OpKind::kByteSet && op.repeat != Repeat::kOnce) {
      const ByteSet& set = program_.sets[op.arg];
      std::size_t end = p;
      if (op.repeat == Repeat::kAtMostOne) {
        if (end < n_ && set[data_[end]]) ++end;
      } else {
        while (end < n_ && set[data_[end]]) ++end;
      }
      if (pc == 0 && leading_run_) leading_run_end_ = end;
      if (op.repeat == Repeat::kOneOrMore) {
        if (end == p) return false;
        ++p;  // the first byte cannot be given back
      }
      if (end > p) back_offs_.push_back(BackOff{pc + 1, p, 1, end - p});
      p = end;
      return true;
    }
    std::size_t taken = match_once(op, p);
    if (taken == kNoMatch) return !is_mandatory(op.repeat);
    if (op.repeat == Repeat::kOnce) {
      p += taken;
      return true;
    }
    if (op.repeat == Repeat::kOneOrMore) {
      p += taken;
      if (taken == 0) return true;
      taken = match_once(op, p);
    }
    // Greedy: take while the element takes something, keeping each take for
    // giving back.
    while (taken != kNoMatch && taken > 0) {
      save_take(pc + 1, p, taken);
      p += taken;
      if (op.repeat == Repeat::kAtMostOne) break;
      taken = match_once(op, p);
    }
    return true;
  }

  void save_take(std::size_t resume, std::size_t p, std::size_t step) {
    if (!back_offs_.empty()) {
      BackOff& top = back_offs_.back();
      if (top.resume == resume && top.step == step && top.base + top.count * step == p) {
        ++top.count;
        return;
      }
    }
    back_offs_.push_back(BackOff{resume, p, step, 1});
  }

  // Restores the most recent back-off point: gives back the last take of the
  // newest run.
  bool back_off(std::size_t& pc, std::size_t& p) {
    while (!back_offs_.empty()) {
      BackOff& top = back_offs_.back();
      // Places where the byte cannot start what follows would fail at once;
      // skip them.
      if (const ByteSet* guard = guards_[top.resume]) {
        while (top.count > 0 && !(*guard)[data_[top.base + (top.count - 1) * top.step]]) {
          --top.count;
        }
        if (top.count == 0) {
          back_offs_.pop_back();
          continue;
        }
      }
      --top.count;
      p = top.base + top.count * top.step;
      pc = top.resume;
      if (top.count == 0) back_offs_.pop_back();
      return true;
    }
    return false;
  }

  // How many bytes one occurrence of the element takes at p, or kNoMatch.
  std::size_t match_once(const Op& op, std::size_t p) const {
    switch (op.kind) {
      case OpKind::kByteSet:
        return p < n_ && program_.sets[op.arg][data_[p]] ? 1 : kNoMatch;
      case OpKind::kBackReference: {
        const std::size_t from = group_start_[op.arg];
        const std::size_t length = group_end_[op.arg] - from;
        if (n_ - p < length) return kNoMatch;
        for (std::size_t k = 0; k < length; ++k) {
          const Byte wanted = data_[from + k];
          const Byte got = data_[p + k];
          if (got != wanted && !(op.fold && got == kFoldPartner[wanted])) return kNoMatch;
        }
        return length;
      }
      case OpKind::kLineStart:
        return p == search_start_ || (p > 0 && data_[p - 1] == '\n') ? 0 : kNoMatch;
      case OpKind::kLineEnd:
        return p == n_ || (n_ - p >= 2 && data_[p] == '\r' && data_[p + 1] == '\n') ? 0 : kNoMatch;
      case OpKind::kWordBoundary: {
        const bool word_before = p > search_start_ && is_word_byte(data_[p - 1]);
        const bool word_after = p < n_ && is_word_byte(data_[p]);
        return word_before != word_after ? 0 : kNoMatch;
      }
      case OpKind::kChoice:
        for (std::uint32_t k = 0; k < op.count; ++k) {
          const std::size_t taken = match_once(program_.choices[op.arg + k], p);
          if (taken != kNoMatch) return taken;
        }
        return kNoMatch;
      case OpKind::kGroupOpen:
      case OpKind::kGroupClose:
        break;
    }
    return kNoMatch;
  }

  const Program& program_;
  std::string_view text_;
  const Byte* data_;
  std::size_t n_;
  std::size_t search_start_;  // 0-based
  // Group texts as [start, end). Only read for groups closed earlier in the
  // program, which every attempt that reaches the reader has passed, so they
  // never need restoring on back-off.
  std::vector<std::size_t> group_start_;
  std::vector<std::size_t> group_end_;
  std::vector<std::size_t> group_open_;
  std::vector<const ByteSet*> guards_;  // by resume place
  bool leading_run_ = false;
  std::size_t leading_run_end_ = 0;
  std::vector<BackOff> back_offs_;
};

}  // namespace

PatternMatch run_program(const Program& program, std::string_view text, std::size_t start) {
  return Matcher(program, text, start).search();
}

}  // namespace invoice::pattern
