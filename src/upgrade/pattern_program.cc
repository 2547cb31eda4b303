#include "upgrade/pattern_program.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace invoice::pattern {
namespace {

constexpr bool is_repetition_mark(Byte b) { return b == '*' || b == '+' || b == '?'; }

constexpr bool is_escapable_operator(Byte b) {
  return std::string_view("?+*.^$[]\\()-|").find(static_cast<char>(b)) != std::string_view::npos;
}

constexpr int hex_value(Byte b) {
  if (b >= '0' && b <= '9') return b - '0';
  if (b >= 'a' && b <= 'f') return b - 'a' + 10;
  if (b >= 'A' && b <= 'F') return b - 'A' + 10;
  return -1;
}

// Reads a pattern into a Program, or reports it invalid.
class Compiler {
 public:
  explicit Compiler(std::string_view pattern) : pattern_(pattern) {}

  std::optional<Program> compile() {
    // Enough for the patterns in use; longer ones grow the tables as they go.
    program_.ops.reserve(std::min<std::size_t>(pattern_.size(), 64));
    program_.sets.reserve(std::min<std::size_t>(pattern_.size(), 64));
    while (!at_end()) {
      const Byte c = peek();
      if (c == '(') {
        if (program_.group_count == kMaxGroups) return std::nullopt;
        const auto group = static_cast<std::uint32_t>(++program_.group_count);
        open_groups_.push_back(group);
        program_.ops.push_back(Op{OpKind::kGroupOpen, Repeat::kOnce, false, group, 0});
        ++i_;
        continue;
      }
      if (c == ')') {
        if (open_groups_.empty()) return std::nullopt;
        const std::uint32_t group = open_groups_.back();
        open_groups_.pop_back();
        closed_[group] = true;
        program_.ops.push_back(Op{OpKind::kGroupClose, Repeat::kOnce, false, group, 0});
        ++i_;
        // A group cannot be repeated.
        if (!at_end() && is_repetition_mark(peek())) return std::nullopt;
        continue;
      }
      if (c == '\\' && i_ + 1 < pattern_.size()) {
        const auto next = static_cast<Byte>(pattern_[i_ + 1]);
        if (next == 'c' || next == 's') {
          if (next == 'c') fold_ = false;
          if (next == 's') program_.prefer_shorter = true;
          i_ += 2;
          continue;
        }
      }
      std::optional<Op> element = parse_single_element();
      if (!element) return std::nullopt;
      if (!at_end() && peek() == '|') {
        std::vector<Op> alternatives{*element};
        while (!at_end() && peek() == '|') {
          ++i_;
          std::optional<Op> alternative = parse_single_element();
          if (!alternative) return std::nullopt;
          alternatives.push_back(*alternative);
        }
        element = make_choice(alternatives);
      }
      if (!at_end() && is_repetition_mark(peek())) {
        const Byte mark = peek();
        element->repeat = mark == '*'   ? Repeat::kAnyNumber
                          : mark == '+' ? Repeat::kOneOrMore
                                        : Repeat::kAtMostOne;
        ++i_;
      }
      program_.ops.push_back(*element);
    }
    if (!open_groups_.empty() || highest_reference_ > program_.group_count || !consumes_) {
      return std::nullopt;
    }
    return std::move(program_);
  }

 private:
  bool at_end() const { return i_ >= pattern_.size(); }
  Byte peek() const { return static_cast<Byte>(pattern_[i_]); }

  std::uint32_t add_set(const ByteSet& set) {
    program_.sets.push_back(set);
    return static_cast<std::uint32_t>(program_.sets.size() - 1);
  }

  Op make_set_op(const ByteSet& set) {
    return Op{OpKind::kByteSet, Repeat::kOnce, false, add_set(set), 0};
  }

  void add_member(ByteSet& set, Byte b) const {
    set[b] = true;
    if (fold_) set[kFoldPartner[b]] = true;
  }

  // One element without its repetition mark, or nullopt when the pattern is
  // invalid here.
  std::optional<Op> parse_single_element() {
    if (at_end()) return std::nullopt;
    const Byte c = peek();
    ++i_;
    switch (c) {
      case '.': {
        consumes_ = true;
        ByteSet set;
        set.fill(true);
        set[0] = false;
        set['\r'] = false;
        return make_set_op(set);
      }
      case '^':
        return Op{OpKind::kLineStart};
      case '$':
        return Op{OpKind::kLineEnd};
      case '[': {
        consumes_ = true;
        ByteSet set{};
        if (!parse_class(set)) return std::nullopt;
        return make_set_op(set);
      }
      case '\\':
        return parse_escape();
      case '(':
      case ')':
      case '|':
      case '*':
      case '+':
      case '?':
        return std::nullopt;
      default: {
        consumes_ = true;
        ByteSet set{};
        add_member(set, c);
        return make_set_op(set);
      }
    }
  }

  // After a backslash outside a class.
  std::optional<Op> parse_escape() {
    if (at_end()) return std::nullopt;
    const Byte c = peek();
    if (c >= '0' && c <= '9') {
      if (i_ + 1 >= pattern_.size()) return std::nullopt;
      const auto second = static_cast<Byte>(pattern_[i_ + 1]);
      if (second < '0' || second > '9') return std::nullopt;
      const auto group = static_cast<std::uint32_t>((c - '0') * 10 + (second - '0'));
      if (group == 0) return std::nullopt;
      i_ += 2;
      highest_reference_ = std::max<std::size_t>(highest_reference_, group);
      // A group that is not closed yet at this place has matched nothing on any
      // attempt that reaches here, so the reference can never match: it behaves
      // as an empty class.
      if (!closed_[group]) return make_set_op(ByteSet{});
      return Op{OpKind::kBackReference, Repeat::kOnce, fold_, group, 0};
    }
    if (c == 'b') {
      ++i_;
      return Op{OpKind::kWordBoundary};
    }
    const std::optional<Byte> b = parse_byte_escape();
    if (!b) return std::nullopt;
    consumes_ = true;
    ByteSet set{};
    add_member(set, *b);
    return make_set_op(set);
  }

  // The escapes that stand for one byte, after the backslash.
  std::optional<Byte> parse_byte_escape() {
    // The byte each letter stands for, in the same order.
    constexpr std::string_view kLetters = "efqrtnv";
    constexpr std::string_view kBytes = "\x1b\x0c\"\r\t\n\x0b";
    if (at_end()) return std::nullopt;
    const Byte c = peek();
    if (c == 'x') {
      if (pattern_.size() - i_ < 3) return std::nullopt;
      const int high = hex_value(static_cast<Byte>(pattern_[i_ + 1]));
      const int low = hex_value(static_cast<Byte>(pattern_[i_ + 2]));
      if (high < 0 || low < 0) return std::nullopt;
      i_ += 3;
      return static_cast<Byte>(high * 16 + low);
    }
    const std::size_t letter = kLetters.find(static_cast<char>(c));
    if (letter == std::string_view::npos && !is_escapable_operator(c)) return std::nullopt;
    ++i_;
    return letter == std::string_view::npos ? c : static_cast<Byte>(kBytes[letter]);
  }

  std::optional<Byte> parse_class_member() {
    if (at_end()) return std::nullopt;
    const Byte c = peek();
    ++i_;
    if (c == '\\') return parse_byte_escape();
    return c;
  }

  // After "[": fills `set` up to and including the closing "]".
  bool parse_class(ByteSet& set) {
    bool complement = false;
    if (!at_end() && peek() == '^') {
      complement = true;
      ++i_;
    }
    for (;;) {
      if (at_end()) return false;
      if (peek() == ']') {
        ++i_;
        break;
      }
      const std::optional<Byte> first = parse_class_member();
      if (!first) return false;
      Byte last = *first;
      if (pattern_.size() - i_ >= 2 && pattern_[i_] == '-' && pattern_[i_ + 1] != ']') {
        ++i_;
        const std::optional<Byte> second = parse_class_member();
        if (!second) return false;
        last = *second;
      }
      for (unsigned b = *first; b <= last; ++b) add_member(set, static_cast<Byte>(b));
    }
    if (complement) {
      for (bool& member : set) member = !member;
    }
    set[0] = false;
    return true;
  }

  Op make_choice(const std::vector<Op>& alternatives) {
    // Alternatives that each take one byte of a class behave as the union of
    // the classes.
    const bool all_sets = std::all_of(alternatives.begin(), alternatives.end(),
                                      [](const Op& op) { return op.kind == OpKind::kByteSet; });
    if (all_sets) {
      ByteSet set{};
      for (const Op& op : alternatives) {
        const ByteSet& members = program_.sets[op.arg];
        for (std::size_t b = 0; b < set.size(); ++b) set[b] = set[b] || members[b];
      }
      return make_set_op(set);
    }
    const auto first = static_cast<std::uint32_t>(program_.choices.size());
    program_.choices.insert(program_.choices.end(), alternatives.begin(), alternatives.end());
    return Op{OpKind::kChoice, Repeat::kOnce, false, first,
              static_cast<std::uint32_t>(alternatives.size())};
  }

  std::string_view pattern_;
  std::size_t i_ = 0;
  bool fold_ = true;
  bool consumes_ = false;  // the pattern holds an element that takes a byte
  std::size_t highest_reference_ = 0;
  std::vector<std::uint32_t> open_groups_;
  std::array<bool, kMaxGroups + 1> closed_{};
  Program program_;
};

}  // namespace

std::optional<Program> compile_pattern(std::string_view pattern) {
  return Compiler(pattern).compile();
}

}  // namespace invoice::pattern
