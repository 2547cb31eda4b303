// A small backtracking regular-expression search over byte strings.
//
// The pattern is read once into a flat program: one operation per element, classes compiled into
// 256-flag membership tables. The matcher walks the program from left to right for each start
// position, with an explicit stack of back-off points and no recursion. Because groups cannot be
// repeated, the program counter only moves forward along one attempt; every operation runs at most
// once per attempt, so the back-off stack holds at most one point per repetition of the pattern,
// whatever the length of the text (a repeated choice between a back reference and other elements
// can take steps of different lengths; it keeps one point per change of step length).
//
// Greedy repetition with per-byte back-off is kept exactly, but in counted form: a repetition of
// a single element keeps one back-off point for its whole run (where the run started, how long
// each take is, how many takes can still be given back) instead of one point per byte taken.
// Giving back a take is a decrement. The order in which the alternatives are tried, and therefore
// every candidate and the result, is the same as with one saved point per byte.
//
// Choices where the language leaves a corner open:
// - "|" joins the single elements directly on either side of it: a literal, an escaped byte, a
//   class, ".", "^", "$", "\b" or a back reference. "a|b|c" chains. The first alternative that
//   matches is taken; no back-off point is kept between alternatives. A repetition mark after the
//   last alternative repeats the whole choice ("a|b*" repeats "a|b"). A "|" without an element
//   directly on one side (at either end of the pattern, after a repetition mark, next to a
//   parenthesis or a switch) makes the pattern invalid.
// - A repetition mark with nothing before it to repeat (at the start, after "(", "|", a switch or
//   another repetition mark) makes the pattern invalid, like one right after ")".
// - A repetition ends as soon as its element would take no bytes ("^*" takes nothing and always
//   succeeds, "^+" requires "^"). A back reference gives back its text as a whole: one back-off
//   point per repetition of it, not per byte.
// - A back reference to a group whose ")" has not been passed at that place in the pattern (a
//   later group, or the group the reference stands in) never matches. A reference to a group
//   number the pattern does not have, or "\00", makes the pattern invalid. The referred text is
//   compared with case folding unless "\c" came earlier.
// - "\c" is positional: it makes the elements after it case-sensitive. "\s" anywhere turns on the
//   preference for shorter candidates for the whole pattern.
// - "^" and "\b" treat the given start position (not every position tried) as the start of the
//   search. Beyond the end of the text counts as a non-word side for "\b".
// - In a class the first "]" closes it: "[]" never matches and "[^]" matches every byte but 0.
//   "-" is an ordinary member when nothing can be joined by it: first, right after the leading
//   "^", right after a range, or just before "]". A range whose first byte is above its second
//   holds nothing. "^" anywhere but first is an ordinary member. The complement is taken after
//   the case-fold partners were added, so "[^a]" excludes "A" too. Only the escapes that stand
//   for one byte are members; any other escape makes the pattern invalid.
// - "\x" needs exactly two hexadecimal digits, in either case.
// - "]" and "-" outside a class are ordinary literals; so is a NUL byte in the pattern.
// - The elements that take text are literals, escaped bytes, classes and "."; a pattern without
//   any is invalid. (A pattern of assertions, groups and back references only could match
//   nothing but the empty text, which is never reported anyway.)

#include "upgrade/pattern_search.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace invoice {
namespace {

using Byte = unsigned char;
using ByteSet = std::array<bool, 256>;

constexpr std::size_t kMaxGroups = 99;
constexpr std::size_t kNoMatch = std::numeric_limits<std::size_t>::max();

// The byte that counts as the same letter in the other case: A-Z with a-z, and the seven letter
// pairs of code page 850 (C/c cedilla, u/U and a/A and o/O umlaut, e/E acute, a/A ring, n/N
// tilde). Every other byte is its own partner.
constexpr std::array<Byte, 256> make_fold_partners() {
  std::array<Byte, 256> partner{};
  for (std::size_t b = 0; b < partner.size(); ++b) partner[b] = static_cast<Byte>(b);
  for (std::size_t b = 'A'; b <= 'Z'; ++b) {
    partner[b] = static_cast<Byte>(b + ('a' - 'A'));
    partner[b + ('a' - 'A')] = static_cast<Byte>(b);
  }
  constexpr std::array<std::array<Byte, 2>, 7> kCodePage850Pairs{{{0x80, 0x87},
                                                                  {0x81, 0x9A},
                                                                  {0x82, 0x90},
                                                                  {0x84, 0x8E},
                                                                  {0x86, 0x8F},
                                                                  {0x94, 0x99},
                                                                  {0xA4, 0xA5}}};
  for (const auto& pair : kCodePage850Pairs) {
    partner[pair[0]] = pair[1];
    partner[pair[1]] = pair[0];
  }
  return partner;
}
constexpr std::array<Byte, 256> kFoldPartner = make_fold_partners();

constexpr bool is_word_byte(Byte b) {
  return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '_';
}

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

enum class OpKind : std::uint8_t {
  kByteSet,        // one byte that is a member of sets[arg]
  kBackReference,  // the text that group arg matched
  kLineStart,      // nothing, at the start of the search or just after LF
  kLineEnd,        // nothing, just before CR LF or at the end of the text
  kWordBoundary,   // nothing, between a word byte and a non-word byte
  kChoice,         // what the first of choices[arg, arg + count) that matches takes
  kGroupOpen,      // records where group arg starts
  kGroupClose,     // records where group arg ends
};

enum class Repeat : std::uint8_t { kOnce, kAnyNumber, kOneOrMore, kAtMostOne };

struct Op {
  OpKind kind = OpKind::kByteSet;
  Repeat repeat = Repeat::kOnce;
  bool fold = false;  // kBackReference: compare with case folding
  std::uint32_t arg = 0;
  std::uint32_t count = 0;
};

constexpr bool is_assertion(OpKind kind) {
  return kind == OpKind::kLineStart || kind == OpKind::kLineEnd || kind == OpKind::kWordBoundary;
}

struct Program {
  std::vector<Op> ops;
  std::vector<Op> choices;  // the alternatives of every kChoice, in pattern order
  std::vector<ByteSet> sets;
  std::size_t group_count = 0;
  bool prefer_shorter = false;
};

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

  // One element without its repetition mark, or nullopt when the pattern is invalid here.
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
      // A group that is not closed yet at this place has matched nothing on any attempt that
      // reaches here, so the reference can never match: it behaves as an empty class.
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
    constexpr std::string_view kLetters = "efqrtnv";
    constexpr std::string_view kBytes = "\x1b\x0c\"\r\t\n\x0b";  // in the order of kLetters
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
    // Alternatives that each take one byte of a class behave as the union of the classes.
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

// Finds the start positions at which the bytes the pattern must begin with are present. Every
// match starts with the prefix of single-byte elements that the pattern opens with (group marks
// and assertions in between take nothing), so other positions need not be tried. A pattern that
// opens with optional elements gets a prefix of one byte: the set of bytes a match can begin with.
class StartFilter {
 public:
  StartFilter(const Program& program, std::string_view text) : text_(text) {
    for (const Op& op : program.ops) {
      if (op.kind == OpKind::kGroupOpen || op.kind == OpKind::kGroupClose) continue;
      if (is_assertion(op.kind) && op.repeat == Repeat::kOnce) continue;
      if (op.kind != OpKind::kByteSet) break;
      if (op.repeat != Repeat::kOnce && op.repeat != Repeat::kOneOrMore) break;
      prefix_.push_back(&program.sets[op.arg]);
      if (op.repeat != Repeat::kOnce) break;
    }
    if (prefix_.empty() && collect_first_bytes(program)) prefix_.push_back(&first_bytes_);
    // Two positions of the prefix whose classes hold one or two bytes serve as anchors for a
    // block-wise scan: the first and the last such position, far apart so that they rarely
    // agree by chance.
    for (std::size_t offset = 0; offset < prefix_.size(); ++offset) {
      Anchor anchor{offset, {0, 0}};
      if (!small_set(*prefix_[offset], anchor)) continue;
      if (anchor_count_ == 0) first_ = anchor;
      last_ = anchor;
      anchor_count_ = anchor_count_ == 0 ? 1 : 2;
    }
  }

  StartFilter(const StartFilter&) = delete;
  StartFilter& operator=(const StartFilter&) = delete;

  bool active() const { return !prefix_.empty(); }

  // The first position at or after `from` where the prefix is present, or kNoMatch.
  std::size_t next(std::size_t from) const {
    const std::size_t n = text_.size();
    if (prefix_.size() > n) return kNoMatch;
    const std::size_t last_start = n - prefix_.size();
    std::size_t s = from;
#if defined(__SSE2__)
    if (anchor_count_ > 0) {
      const auto* data = reinterpret_cast<const Byte*>(text_.data());
      const __m128i first0 = _mm_set1_epi8(static_cast<char>(first_.bytes[0]));
      const __m128i first1 = _mm_set1_epi8(static_cast<char>(first_.bytes[1]));
      const __m128i last0 = _mm_set1_epi8(static_cast<char>(last_.bytes[0]));
      const __m128i last1 = _mm_set1_epi8(static_cast<char>(last_.bytes[1]));
      while (s <= last_start && n - s >= last_.offset + 16) {
        const __m128i x =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + s + first_.offset));
        const __m128i y =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + s + last_.offset));
        const __m128i hit =
            _mm_and_si128(_mm_or_si128(_mm_cmpeq_epi8(x, first0), _mm_cmpeq_epi8(x, first1)),
                          _mm_or_si128(_mm_cmpeq_epi8(y, last0), _mm_cmpeq_epi8(y, last1)));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
        while (mask != 0) {
          const std::size_t candidate = s + static_cast<std::size_t>(std::countr_zero(mask));
          if (candidate > last_start) return kNoMatch;
          if (prefix_at(candidate)) return candidate;
          mask &= mask - 1;
        }
        s += 16;
      }
    }
#endif
    for (; s <= last_start; ++s) {
      if (prefix_at(s)) return s;
    }
    return kNoMatch;
  }

 private:
  struct Anchor {
    std::size_t offset;
    std::array<Byte, 2> bytes;  // the members, the only one given twice
  };

  // Without a prefix, a match still begins with a byte that one of the optional single-byte
  // elements up to the first mandatory one takes. False when that could be any byte.
  bool collect_first_bytes(const Program& program) {
    for (const Op& op : program.ops) {
      if (op.kind == OpKind::kGroupOpen || op.kind == OpKind::kGroupClose ||
          is_assertion(op.kind)) {
        continue;
      }
      if (op.kind != OpKind::kByteSet) return false;
      const ByteSet& set = program.sets[op.arg];
      for (std::size_t b = 0; b < set.size(); ++b) first_bytes_[b] = first_bytes_[b] || set[b];
      if (op.repeat == Repeat::kOnce || op.repeat == Repeat::kOneOrMore) break;
    }
    return std::find(first_bytes_.begin(), first_bytes_.end(), false) != first_bytes_.end();
  }

  static bool small_set(const ByteSet& set, Anchor& anchor) {
    std::size_t members = 0;
    for (std::size_t b = 0; b < set.size(); ++b) {
      if (!set[b]) continue;
      if (members == 2) return false;
      anchor.bytes[members++] = static_cast<Byte>(b);
    }
    if (members == 0) return false;
    if (members == 1) anchor.bytes[1] = anchor.bytes[0];
    return true;
  }

  bool prefix_at(std::size_t s) const {
    for (std::size_t offset = 0; offset < prefix_.size(); ++offset) {
      if (!(*prefix_[offset])[static_cast<Byte>(text_[s + offset])]) return false;
    }
    return true;
  }

  std::string_view text_;
  ByteSet first_bytes_{};
  std::vector<const ByteSet*> prefix_;
  Anchor first_{0, {0, 0}};
  Anchor last_{0, {0, 0}};
  int anchor_count_ = 0;
};

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
    // The guard of a resume place: a class that the byte at the resumed text place must belong
    // to, or the attempt fails at once (the first element there that takes anything takes one
    // byte of this class; group marks and assertions before it take nothing).
    for (std::size_t pc = program.ops.size(); pc-- > 0;) {
      const Op& op = program.ops[pc];
      if (op.kind == OpKind::kGroupOpen || op.kind == OpKind::kGroupClose ||
          is_assertion(op.kind)) {
        guards_[pc] = guards_[pc + 1];
      } else if (op.kind == OpKind::kByteSet &&
                 (op.repeat == Repeat::kOnce || op.repeat == Repeat::kOneOrMore)) {
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
      // When the pattern opens with a repetition of a class and nothing matched from s, nothing
      // matches from inside the same run either: such a start reaches the same end of the run
      // and then tries a subset of the places that failed from s (none of which depended on s).
      s = std::max(s + 1, leading_run_end_);
    }
    return PatternMatch{};
  }

 private:
  // A back-off point in counted form: `count` takes of `step` bytes each, starting at `base`, can
  // still be given back; matching then resumes at `resume` in the program.
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
        // An empty candidate counts as a failure. The first candidate is kept; a later one
        // replaces it only when it is longer (shorter after "\s"), and the first later one that
        // does not ends the search at this start.
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

  // Matches the element `op` at program place pc with its repetition mark; advances p.
  bool take(const Op& op, std::size_t pc, std::size_t& p) {
    const bool mandatory = op.repeat == Repeat::kOnce || op.repeat == Repeat::kOneOrMore;
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
    if (taken == kNoMatch) return !mandatory;
    if (op.repeat == Repeat::kOnce) {
      p += taken;
      return true;
    }
    if (op.repeat == Repeat::kOneOrMore) {
      p += taken;
      if (taken == 0) return true;
      taken = match_once(op, p);
    }
    // Greedy: take while the element takes something, keeping each take for giving back.
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

  // Restores the most recent back-off point: gives back the last take of the newest run.
  bool back_off(std::size_t& pc, std::size_t& p) {
    while (!back_offs_.empty()) {
      BackOff& top = back_offs_.back();
      // Places where the byte cannot start what follows would fail at once; skip them.
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
  // Group texts as [start, end). Only read for groups closed earlier in the program, which every
  // attempt that reaches the reader has passed, so they never need restoring on back-off.
  std::vector<std::size_t> group_start_;
  std::vector<std::size_t> group_end_;
  std::vector<std::size_t> group_open_;
  std::vector<const ByteSet*> guards_;  // by resume place
  bool leading_run_ = false;
  std::size_t leading_run_end_ = 0;
  std::vector<BackOff> back_offs_;
};

}  // namespace

PatternMatch pattern_search(std::string_view pattern, std::string_view text, std::int64_t start) {
  if (pattern.empty() || text.empty()) return PatternMatch{};
  const std::int64_t first = std::max<std::int64_t>(start, 1);
  if (static_cast<std::uint64_t>(first) > text.size()) return PatternMatch{};
  try {
    const std::optional<Program> program = Compiler(pattern).compile();
    if (!program) return PatternMatch{};
    return Matcher(*program, text, static_cast<std::size_t>(first - 1)).search();
  } catch (const std::bad_alloc&) {
    // Memory use is bounded by the pattern's size, not the text's; running out of it is treated
    // like a pattern that cannot be read.
    return PatternMatch{};
  }
}

}  // namespace invoice
