#include "upgrade/pattern_start_filter.h"

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace invoice::pattern {
namespace {

static_assert(kNoMatch == std::string_view::npos, "the scan reports no candidate as kNoMatch");

// Fills `probe` with the members of `set` when it has one or two.
bool small_set(const ByteSet& set, pair_scan::Probe& probe) {
  std::size_t members = 0;
  for (std::size_t b = 0; b < set.size(); ++b) {
    if (!set[b]) continue;
    if (members == 2) return false;
    if (members == 0) {
      probe.byte0 = static_cast<Byte>(b);
    } else {
      probe.byte1 = static_cast<Byte>(b);
    }
    ++members;
  }
  if (members == 0) return false;
  if (members == 1) probe.byte1 = probe.byte0;
  return true;
}

}  // namespace

StartFilter::StartFilter(const Program& program, std::string_view text) : text_(text) {
  for (const Op& op : program.ops) {
    if (op.kind == OpKind::kGroupOpen || op.kind == OpKind::kGroupClose) continue;
    if (is_assertion(op.kind) && op.repeat == Repeat::kOnce) continue;
    if (op.kind != OpKind::kByteSet || !is_mandatory(op.repeat)) break;
    prefix_.push_back(&program.sets[op.arg]);
    if (op.repeat != Repeat::kOnce) break;
  }
  if (prefix_.empty() && collect_first_bytes(program)) prefix_.push_back(&first_bytes_);
  // The first and the last place of the prefix whose classes hold one or two
  // bytes serve as probes for a block-wise scan: far apart, they rarely agree
  // by chance.
  for (std::size_t offset = 0; offset < prefix_.size(); ++offset) {
    pair_scan::Probe probe{offset, 0, 0};
    if (!small_set(*prefix_[offset], probe)) continue;
    if (probe_count_ == 0) first_ = probe;
    last_ = probe;
    probe_count_ = probe_count_ == 0 ? 1 : 2;
  }
}

std::size_t StartFilter::next(std::size_t from) const {
  if (prefix_.size() > text_.size()) return kNoMatch;
  const std::size_t last_start = text_.size() - prefix_.size();
  if (probe_count_ > 0) {
    return pair_scan::find_first(text_, from, last_start, first_, last_,
                                 [this](std::size_t s) { return prefix_at(s); });
  }
  for (std::size_t s = from; s <= last_start; ++s) {
    if (prefix_at(s)) return s;
  }
  return kNoMatch;
}

// Without a prefix, a match still begins with a byte that one of the optional
// single-byte elements up to the first mandatory one takes. False when that
// could be any byte.
bool StartFilter::collect_first_bytes(const Program& program) {
  for (const Op& op : program.ops) {
    if (takes_nothing(op.kind)) continue;
    if (op.kind != OpKind::kByteSet) return false;
    const ByteSet& set = program.sets[op.arg];
    for (std::size_t b = 0; b < set.size(); ++b) first_bytes_[b] = first_bytes_[b] || set[b];
    if (is_mandatory(op.repeat)) break;
  }
  return std::find(first_bytes_.begin(), first_bytes_.end(), false) != first_bytes_.end();
}

bool StartFilter::prefix_at(std::size_t s) const {
  for (std::size_t offset = 0; offset < prefix_.size(); ++offset) {
    if (!(*prefix_[offset])[static_cast<Byte>(text_[s + offset])]) return false;
  }
  return true;
}

}  // namespace invoice::pattern
