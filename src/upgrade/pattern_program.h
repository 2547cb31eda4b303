#ifndef INVOICE_UPGRADE_PATTERN_PROGRAM_H_
#define INVOICE_UPGRADE_PATTERN_PROGRAM_H_

// The flat program that `pattern_search` runs: a pattern read once into one
// operation per element, with its classes compiled into 256-flag membership
// tables. Groups cannot be repeated, so the program has no jumps; the matcher
// walks it from left to right.

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

namespace invoice::pattern {

using Byte = unsigned char;
using ByteSet = std::array<bool, 256>;

inline constexpr std::size_t kMaxGroups = 99;

// A text position or a length that stands for none.
inline constexpr std::size_t kNoMatch = std::numeric_limits<std::size_t>::max();

// The byte that counts as the same letter in the other case: A-Z with a-z,
// and the seven letter pairs of code page 850 (C/c cedilla, u/U and a/A and
// o/O umlaut, e/E acute, a/A ring, n/N tilde). Every other byte is its own
// partner.
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
inline constexpr std::array<Byte, 256> kFoldPartner = make_fold_partners();

enum class OpKind : std::uint8_t {
  kByteSet,        // one byte that is a member of sets[arg]
  kBackReference,  // the text that group arg matched
  kLineStart,      // nothing, at the start of the search or just after LF
  kLineEnd,        // nothing, just before CR LF or at the end of the text
  kWordBoundary,   // nothing, between a word byte and a non-word byte
  kChoice,         // what the first match among choices[arg, arg + count) takes
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

// Group marks and assertions: operations that take no bytes and never repeat
// into a back-off point.
constexpr bool takes_nothing(OpKind kind) {
  return kind == OpKind::kGroupOpen || kind == OpKind::kGroupClose || is_assertion(kind);
}

// Whether an operation must take something where it stands (it is not
// optional).
constexpr bool is_mandatory(Repeat repeat) {
  return repeat == Repeat::kOnce || repeat == Repeat::kOneOrMore;
}

struct Program {
  std::vector<Op> ops;      // never empty in a compiled program
  std::vector<Op> choices;  // every kChoice's alternatives, in pattern order
  std::vector<ByteSet> sets;
  std::size_t group_count = 0;
  bool prefer_shorter = false;
};

// Reads `pattern` into a program, or nullopt when it is invalid in the
// language that pattern_search.h describes. May throw std::bad_alloc.
std::optional<Program> compile_pattern(std::string_view pattern);

}  // namespace invoice::pattern

#endif  // INVOICE_UPGRADE_PATTERN_PROGRAM_H_
