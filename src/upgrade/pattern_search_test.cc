#include "upgrade/pattern_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace invoice {
namespace {

using namespace std::string_literals;

constexpr std::string_view kBuyerPattern = "</BuyerParty>[ \\r\\n]*<Invoices>";
constexpr std::string_view kPartiesPattern = "</Invoices>[ \\r\\n]*</Parties>";

struct Case {
  std::string pattern;
  std::string text;
  std::int64_t start;
  std::int64_t position;
  std::int64_t length;
};

// Bytes outside printable ASCII as \xNN, for failure messages.
std::string printable(std::string_view bytes) {
  static const char* kDigits = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7f) {
      out += c;
    } else {
      out += std::string("\\x") + kDigits[b / 16] + kDigits[b % 16];
    }
  }
  return out;
}

void PrintTo(const Case& c, std::ostream* os) {
  *os << "pattern \"" << printable(c.pattern) << "\" text \"" << printable(c.text.substr(0, 200))
      << "\" start " << c.start;
}

PatternMatch reference_search(std::string_view pattern, std::string_view text, std::int64_t start);

// Checks each case, and that the plain matcher below agrees (on texts small
// enough for its one saved point per byte), so that the random comparisons rest
// on a checked matcher.
void expect_cases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c));
    const PatternMatch expected{c.position, c.length};
    EXPECT_EQ(pattern_search(c.pattern, c.text, c.start), expected);
    if (c.text.size() <= 4096) {
      EXPECT_EQ(reference_search(c.pattern, c.text, c.start), expected);
    }
  }
}

// -----------------------------------------------------------------------------
// A deliberately plain second matcher. It follows the matching procedure word
// for word: one back-off point per byte (per take) that a repetition takes,
// each point holding a copy of the group state, the whole pattern tried at
// every start position. It reads the pattern in a different way too: first into
// tokens, then checking which tokens may stand next to which.

struct RefAtom {
  enum class Kind { kSet, kBackReference, kLineStart, kLineEnd, kWordBoundary };
  Kind kind = Kind::kSet;
  std::array<bool, 256> set{};
  int group = 0;
  bool fold = true;
};

struct RefToken {
  enum class Kind { kAtom, kOpen, kClose, kBar, kMark, kSwitch };
  Kind kind = Kind::kAtom;
  RefAtom atom;
  char mark = 0;
  int group = 0;
};

struct RefElement {
  enum class Kind { kAtoms, kOpen, kClose };
  Kind kind = Kind::kAtoms;
  // Tried in order; the first that matches is taken.
  std::vector<RefAtom> alternatives;
  char mark = 0;
  int group = 0;
};

struct RefPattern {
  std::vector<RefElement> elements;
  bool shortest = false;
};

unsigned char ref_partner(unsigned char b) {
  if (b >= 'A' && b <= 'Z') return static_cast<unsigned char>(b + 32);
  if (b >= 'a' && b <= 'z') return static_cast<unsigned char>(b - 32);
  static const std::vector<std::pair<int, int>> kPairs = {{0x80, 0x87}, {0x81, 0x9A}, {0x82, 0x90},
                                                          {0x84, 0x8E}, {0x86, 0x8F}, {0x94, 0x99},
                                                          {0xA4, 0xA5}};
  for (const auto& [x, y] : kPairs) {
    if (b == x) return static_cast<unsigned char>(y);
    if (b == y) return static_cast<unsigned char>(x);
  }
  return b;
}

bool ref_word(unsigned char b) { return std::isalnum(b) != 0 || b == '_'; }

// Reads the byte of a one-byte escape at pattern[i] (just after the backslash).
std::optional<unsigned char> ref_byte_escape(std::string_view pattern, std::size_t& i) {
  if (i >= pattern.size()) return std::nullopt;
  const char c = pattern[i];
  const std::string_view letters = "efqrtnv";
  const std::string_view values = "\x1b\x0c\"\r\t\n\x0b";
  if (letters.find(c) != std::string_view::npos) {
    ++i;
    return static_cast<unsigned char>(values[letters.find(c)]);
  }
  if (c == 'x') {
    if (i + 2 >= pattern.size()) return std::nullopt;
    const std::string digits(pattern.substr(i + 1, 2));
    if (!std::isxdigit(static_cast<unsigned char>(digits[0])) ||
        !std::isxdigit(static_cast<unsigned char>(digits[1]))) {
      return std::nullopt;
    }
    i += 3;
    return static_cast<unsigned char>(std::stoi(digits, nullptr, 16));
  }
  if (std::string_view("?+*.^$[]\\()-|").find(c) != std::string_view::npos) {
    ++i;
    return static_cast<unsigned char>(c);
  }
  return std::nullopt;
}

std::optional<RefPattern> ref_parse(std::string_view pattern) {
  std::vector<RefToken> tokens;
  bool fold = true;
  bool shortest = false;
  bool consumes = false;
  int groups = 0;
  int highest_reference = 0;
  std::vector<int> open;
  auto byte_atom = [&](std::vector<unsigned char> members) {
    RefToken token;
    for (unsigned char b : members) {
      token.atom.set[b] = true;
      if (fold) token.atom.set[ref_partner(b)] = true;
    }
    consumes = true;
    return token;
  };
  std::size_t i = 0;
  while (i < pattern.size()) {
    const char c = pattern[i++];
    RefToken token;
    if (c == '(') {
      if (++groups > 99) return std::nullopt;
      open.push_back(groups);
      token.kind = RefToken::Kind::kOpen;
      token.group = groups;
    } else if (c == ')') {
      if (open.empty()) return std::nullopt;
      token.kind = RefToken::Kind::kClose;
      token.group = open.back();
      open.pop_back();
    } else if (c == '|') {
      token.kind = RefToken::Kind::kBar;
    } else if (c == '*' || c == '+' || c == '?') {
      token.kind = RefToken::Kind::kMark;
      token.mark = c;
    } else if (c == '.') {
      std::vector<unsigned char> all;
      for (int b = 1; b < 256; ++b) {
        if (b != '\r') all.push_back(static_cast<unsigned char>(b));
      }
      token = byte_atom(all);
    } else if (c == '^') {
      token.atom.kind = RefAtom::Kind::kLineStart;
    } else if (c == '$') {
      token.atom.kind = RefAtom::Kind::kLineEnd;
    } else if (c == '[') {
      bool complement = false;
      if (i < pattern.size() && pattern[i] == '^') {
        complement = true;
        ++i;
      }
      // Members first (remembering which were an unescaped "-"), ranges
      // afterwards.
      std::vector<std::pair<unsigned char, bool>> items;
      for (;;) {
        if (i >= pattern.size()) return std::nullopt;
        if (pattern[i] == ']') {
          ++i;
          break;
        }
        if (pattern[i] == '\\') {
          ++i;
          const auto b = ref_byte_escape(pattern, i);
          if (!b) return std::nullopt;
          items.emplace_back(*b, false);
        } else {
          items.emplace_back(static_cast<unsigned char>(pattern[i]), pattern[i] == '-');
          ++i;
        }
      }
      std::vector<unsigned char> members;
      for (std::size_t k = 0; k < items.size();) {
        if (k + 2 < items.size() && items[k + 1].second) {
          for (int b = items[k].first; b <= items[k + 2].first; ++b) {
            members.push_back(static_cast<unsigned char>(b));
          }
          k += 3;
        } else {
          members.push_back(items[k].first);
          k += 1;
        }
      }
      token = byte_atom(members);
      if (complement) {
        for (bool& member : token.atom.set) member = !member;
      }
      token.atom.set[0] = false;
    } else if (c == '\\') {
      if (i >= pattern.size()) return std::nullopt;
      const char e = pattern[i];
      if (e == 'c' || e == 's') {
        ++i;
        if (e == 'c') fold = false;
        if (e == 's') shortest = true;
        token.kind = RefToken::Kind::kSwitch;
      } else if (e == 'b') {
        ++i;
        token.atom.kind = RefAtom::Kind::kWordBoundary;
      } else if (std::isdigit(static_cast<unsigned char>(e))) {
        if (i + 1 >= pattern.size() || !std::isdigit(static_cast<unsigned char>(pattern[i + 1]))) {
          return std::nullopt;
        }
        token.atom.kind = RefAtom::Kind::kBackReference;
        token.atom.group = (e - '0') * 10 + (pattern[i + 1] - '0');
        token.atom.fold = fold;
        if (token.atom.group == 0) return std::nullopt;
        highest_reference = std::max(highest_reference, token.atom.group);
        i += 2;
      } else {
        const auto b = ref_byte_escape(pattern, i);
        if (!b) return std::nullopt;
        token = byte_atom({*b});
      }
    } else {
      token = byte_atom({static_cast<unsigned char>(c)});
    }
    tokens.push_back(token);
  }
  if (!open.empty() || highest_reference > groups || !consumes) return std::nullopt;

  // A mark must follow an atom; a bar must stand between two atoms.
  auto is_atom = [&](std::size_t k) {
    return k < tokens.size() && tokens[k].kind == RefToken::Kind::kAtom;
  };
  RefPattern result;
  result.shortest = shortest;
  for (std::size_t k = 0; k < tokens.size(); ++k) {
    const RefToken& token = tokens[k];
    switch (token.kind) {
      case RefToken::Kind::kOpen:
      case RefToken::Kind::kClose: {
        RefElement element;
        element.kind = token.kind == RefToken::Kind::kOpen ? RefElement::Kind::kOpen
                                                           : RefElement::Kind::kClose;
        element.group = token.group;
        result.elements.push_back(element);
        break;
      }
      case RefToken::Kind::kMark:
        if (k == 0 || !is_atom(k - 1)) return std::nullopt;
        result.elements.back().mark = token.mark;
        break;
      case RefToken::Kind::kBar:
        if (k == 0 || !is_atom(k - 1) || !is_atom(k + 1)) return std::nullopt;
        result.elements.back().alternatives.push_back(tokens[k + 1].atom);
        ++k;
        break;
      case RefToken::Kind::kSwitch:
        break;
      case RefToken::Kind::kAtom: {
        RefElement element;
        element.alternatives.push_back(token.atom);
        result.elements.push_back(element);
        break;
      }
    }
  }
  return result;
}

using RefGroups = std::vector<std::optional<std::pair<std::size_t, std::size_t>>>;

struct RefPoint {
  std::size_t element;
  std::size_t text;
  RefGroups groups;
  std::vector<std::size_t> opens;
};

// Bytes taken by one atom at p, or nullopt.
std::optional<std::size_t> ref_atom(const RefAtom& atom, std::string_view text, std::size_t p,
                                    std::size_t search_start, const RefGroups& groups) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  switch (atom.kind) {
    case RefAtom::Kind::kSet:
      if (p < text.size() && atom.set[at(p)]) return 1;
      return std::nullopt;
    case RefAtom::Kind::kBackReference: {
      const auto& group = groups[static_cast<std::size_t>(atom.group)];
      if (!group) return std::nullopt;
      const std::size_t length = group->second - group->first;
      if (p + length > text.size()) return std::nullopt;
      for (std::size_t k = 0; k < length; ++k) {
        const unsigned char want = at(group->first + k);
        const unsigned char got = at(p + k);
        if (got != want && !(atom.fold && got == ref_partner(want))) return std::nullopt;
      }
      return length;
    }
    case RefAtom::Kind::kLineStart:
      if (p == search_start || (p > 0 && text[p - 1] == '\n')) return 0;
      return std::nullopt;
    case RefAtom::Kind::kLineEnd:
      if (p == text.size() || text.substr(p, 2) == "\r\n") return 0;
      return std::nullopt;
    case RefAtom::Kind::kWordBoundary: {
      const bool before = p != search_start && ref_word(at(p - 1));
      const bool after = p < text.size() && ref_word(at(p));
      if (before != after) return 0;
      return std::nullopt;
    }
  }
  return std::nullopt;
}

PatternMatch reference_search(std::string_view pattern, std::string_view text, std::int64_t start) {
  if (pattern.empty() || text.empty()) return {};
  const std::int64_t first = std::max<std::int64_t>(start, 1);
  if (first > static_cast<std::int64_t>(text.size())) return {};
  const std::optional<RefPattern> parsed = ref_parse(pattern);
  if (!parsed) return {};
  const std::vector<RefElement>& elements = parsed->elements;
  const auto search_start = static_cast<std::size_t>(first - 1);
  for (std::size_t s = search_start; s < text.size(); ++s) {
    std::vector<RefPoint> points;
    RefPoint now{0, s, RefGroups(100), std::vector<std::size_t>(100)};
    std::size_t current = 0;  // the current result, 0 while there is none
    for (;;) {
      bool failed = false;
      if (now.element == elements.size()) {
        const std::size_t length = now.text - s;
        if (length > 0) {
          if (current == 0) {
            current = length;
          } else if (parsed->shortest ? length < current : length > current) {
            current = length;
          } else {
            break;
          }
        }
        failed = true;
      } else {
        const RefElement& element = elements[now.element];
        if (element.kind == RefElement::Kind::kOpen) {
          now.opens[static_cast<std::size_t>(element.group)] = now.text;
        } else if (element.kind == RefElement::Kind::kClose) {
          now.groups[static_cast<std::size_t>(element.group)] =
              std::make_pair(now.opens[static_cast<std::size_t>(element.group)], now.text);
        } else {
          auto once = [&]() -> std::optional<std::size_t> {
            for (const RefAtom& atom : element.alternatives) {
              if (auto taken = ref_atom(atom, text, now.text, search_start, now.groups)) {
                return taken;
              }
            }
            return std::nullopt;
          };
          std::optional<std::size_t> taken = once();
          if (element.mark == 0) {
            if (taken) {
              now.text += *taken;
            } else {
              failed = true;
            }
          } else {
            if (element.mark == '+') {
              if (taken) {
                now.text += *taken;
                taken = *taken > 0 ? once() : std::nullopt;
              } else {
                failed = true;
              }
            }
            // Take one at a time, saving a point before each take, until
            // nothing more is taken.
            while (!failed && taken && *taken > 0) {
              points.push_back(RefPoint{now.element + 1, now.text, now.groups, now.opens});
              now.text += *taken;
              if (element.mark == '?') break;
              taken = once();
            }
          }
        }
        if (!failed) ++now.element;
      }
      if (failed) {
        if (points.empty()) break;
        now = std::move(points.back());
        points.pop_back();
      }
    }
    if (current > 0) {
      return PatternMatch{static_cast<std::int64_t>(s) + 1, static_cast<std::int64_t>(current)};
    }
  }
  return {};
}

// -----------------------------------------------------------------------------

TEST(PatternSearchTest, StructuralPatterns) {
  const std::string buyer(kBuyerPattern);
  const std::string parties(kPartiesPattern);
  const std::string hundred(100, 'x');
  expect_cases({
      {buyer, "</BuyerParty><Invoices>", 1, 1, 23},
      {buyer, "</BuyerParty>\r\n  <Invoices>", 1, 1, 27},
      {buyer, "</BuyerParty>\t<Invoices>", 1, 0, 0},
      {buyer, "</BuyerParty> x <Invoices>", 1, 0, 0},
      {buyer, "</BUYERPARTY><INVOICES>", 1, 1, 23},
      {buyer, "</buyerparty>\r\n<invoices>", 1, 1, 25},
      {buyer, hundred + "</BuyerParty><Invoices>", 1, 101, 23},
      {buyer, "</BuyerParty> <Invoices></BuyerParty><Invoices>", 1, 1, 24},
      {buyer, "</BuyerParty>\t<Invoices></BuyerParty><Invoices>", 1, 25, 23},
      {buyer, "</BuyerParty>   ", 1, 0, 0},
      {buyer, "</BuyerParty>\r\n  <Invoices", 1, 0, 0},
      {buyer, "", 1, 0, 0},
      {"", "</BuyerParty><Invoices>", 1, 0, 0},
      {buyer, "x</BuyerParty><Invoices>", 0, 2, 23},
      {buyer, "x</BuyerParty><Invoices>", -7, 2, 23},
      {buyer, "x</BuyerParty><Invoices>", 2, 2, 23},
      {buyer, "x</BuyerParty><Invoices>", 3, 0, 0},
      {buyer, "x</BuyerParty><Invoices>", 25, 0, 0},
      {parties, "</Invoices>\r\n</Parties>\r\n", 1, 1, 23},
      {parties, "<a></Invoices>  \n\n\r</PARTIES>", 1, 4, 26},
      {parties, "</Invoices>\r\n<Parties>", 1, 0, 0},
  });
}

TEST(PatternSearchTest, MatchTakingNoBytesIsNeverReported) {
  expect_cases({
      {"[ab]*", "xyz", 1, 0, 0},
      {"[ab]*", "xabbx", 1, 2, 3},
      {"a?", "bba", 1, 3, 1},
      {"x*", "", 1, 0, 0},
      {"^a*", "b", 1, 0, 0},
  });
}

TEST(PatternSearchTest, StartPositions) {
  expect_cases({
      {"a", "abca", 1, 1, 1},
      {"a", "abca", 2, 4, 1},
      {"a", "abca", 4, 4, 1},
      {"a", "abca", 5, 0, 0},
      {"a", "abca", INT64_MAX, 0, 0},
      {"a", "abca", INT64_MIN, 1, 1},
      {"c", "abc", 3, 3, 1},
  });
}

TEST(PatternSearchTest, LiteralsFoldCaseUnlessSwitchedOff) {
  expect_cases({
      {"abc", "xxABCxx", 1, 3, 3},
      {"aBc", "xxAbCxx", 1, 3, 3},
      {"\\cabc", "ABC abc", 1, 5, 3},
      {"\\cABC", "abc", 1, 0, 0},
      {"a\\cb", "AB Ab", 1, 4, 2},  // the switch applies from where it stands
      {"\x80\xa5", "\x87\xa4", 1, 1, 2},
      {"\\c\x80", "\x87", 1, 0, 0},
      {"1-2]", "1-2]", 1, 1, 4},  // "-" and "]" are ordinary outside a class
      {"a\0b"s, "xa\0b"s, 1, 2, 3},
      {"\xe1", "\xc1", 1, 0, 0},  // only the listed pairs fold
  });
}

TEST(PatternSearchTest, Classes) {
  expect_cases({
      {"[abc]+", "xxCAbx", 1, 3, 3},
      {"[a-c]+", "zBcad", 1, 2, 3},
      {"[^a-c]+", "abXYc", 1, 3, 2},
      {"[^a]", "Aa", 1, 0, 0},
      {"\\c[^a]", "aA", 1, 2, 1},
      {"\\c[A-C]+", "abcABCD", 1, 4, 3},
      {"[a-]+", "x-a-b", 1, 2, 3},
      {"[-a]+", "x-a-b", 1, 2, 3},
      {"[^-]+", "--ab-", 1, 3, 2},
      {"[a-c-e]+", "d-eb", 1, 2, 3},
      {"x[z-a]?y", "xy xzy", 1, 1, 2},
      {"[z-a]", "az", 1, 0, 0},
      {"[\\]]", "a]", 1, 2, 1},
      {"[\\\\\\-]+", "a\\-b", 1, 2, 2},
      {"[]", "a]", 1, 0, 0},
      {"[]]", "a]]", 1, 0, 0},  // the empty class "[]", then "]"
      {"[^]+", "ab\0cd"s, 1, 1, 2},
      {"[\\x00-\\x02]+", "\0\x01\x02"s, 1, 2, 2},
      {"[^a]", "\0"s, 1, 0, 0},
      {"[\\t\\e\\f\\v\\q]+", "\t\x1b\x0c\x0b\"", 1, 1, 5},
      {"[a^]+", "x^a", 1, 2, 2},
      {"[.*+?(|)$]+", "a.*+?(|)$", 1, 2, 8},
      {"[ \\r\\n]+", "a \r\n\tb", 1, 2, 3},
      {"[\\x41-\\x43]+", "abcd", 1, 1, 3},
  });
}

TEST(PatternSearchTest, AnyByteAndAnchors) {
  expect_cases({
      {"a.c", "a\rc a\0c abc"s, 1, 9, 3},
      {".+", "\r\nab", 1, 2, 3},
      {"^b", "ab\nb", 1, 4, 1},
      {"^b", "ab\rb", 1, 0, 0},
      {"^a", "xa", 2, 2, 1},  // the start of the search counts as a line start
      {"^a", "xa", 1, 0, 0},
      {"a$", "a\r\nb", 1, 1, 1},
      {"a$", "a\nb", 1, 0, 0},
      {"a$", "a\rb", 1, 0, 0},
      {"a$", "ba", 1, 2, 1},
      {"^ab$", "ab\r\nxab\nab", 1, 1, 2},
      {"b^c", "ab\nc", 1, 0, 0},
  });
}

TEST(PatternSearchTest, Repetitions) {
  expect_cases({
      {"ab*c", "acabbbc", 1, 1, 2},
      {"ab+c", "acabbbc", 1, 3, 5},
      {"ab?c", "abbc ac", 1, 6, 2},
      {"a*ab", "aaab", 1, 1, 4},
      {"a+", "baaa", 1, 2, 3},
      {"a*a*a*b", "aaaaac", 1, 0, 0},
      {"a?b?c?", "xbc", 1, 2, 2},
      {"[ab]*b", "abab", 1, 1, 4},
      {"x[ab]+b", "xab xabbb", 1, 1, 3},
  });
}

TEST(PatternSearchTest, Choices) {
  expect_cases({
      {"a|bc", "xbcac", 1, 2, 2},
      {"a|b+", "xabbac", 1, 2, 4},  // the mark repeats the whole choice
      {"a|b|c+", "xcabd", 1, 2, 3},
      {"x|\\x41y", "Ay", 1, 1, 2},
      {"^|ab", "cab", 1, 2, 2},
      // The first alternative that matches is taken and never reconsidered.
      {"^|ab", "ab", 1, 0, 0},
      {"(a)\\01|xb", "aab", 1, 1, 3},
      {"(a)\\01|xb", "axb", 1, 1, 3},
      {"a$|b", "a", 1, 1, 1},
      {"a$|b", "abc", 1, 1, 2},
  });
}

TEST(PatternSearchTest, GroupsAndBackReferences) {
  std::string ninety_nine_groups;
  for (int k = 0; k < 99; ++k) ninety_nine_groups += "(";
  ninety_nine_groups += "a";
  for (int k = 0; k < 99; ++k) ninety_nine_groups += ")";
  expect_cases({
      {"(ab)\\01", "xabAB", 1, 2, 4},
      {"\\c(ab)\\01", "abAB abab", 1, 6, 4},
      {"(a)(b)\\02\\01", "abba", 1, 1, 4},
      {"((a)b)\\02\\01", "abaab", 1, 1, 5},
      {"(a*)b\\01", "aabaa", 1, 1, 5},
      {"(a*)b\\01", "aaba", 1, 2, 3},
      {"\\01(a)", "aa", 1, 0, 0},  // not yet matched: never matches
      {"(a\\01)", "aa", 1, 0, 0},
      {"()a", "a", 1, 1, 1},
      {"(ab)\\01*", "abababa", 1, 1, 6},
      {"(ab)\\01+", "ab ababab", 1, 4, 6},
      {"(ab)\\01?", "ababab", 1, 1, 4},
      {"(b?)\\01+a", "a", 1, 1, 1},
      {"(ab)\\01*a", "abababx", 1, 1, 5},  // gives back "ab" at a time
      {"(ab)\\01*b", "ababab", 1, 0, 0},
      {"(a)\\01", "aA\x80", 1, 1, 2},
      {ninety_nine_groups + "\\99", "aa", 1, 1, 2},
  });
}

TEST(PatternSearchTest, Escapes) {
  expect_cases({
      {"\\e\\f\\q\\r\\t\\n\\v", "x\x1b\x0c\"\r\t\n\x0b", 1, 2, 7},
      {"\\x41", "xa", 1, 2, 1},
      {"\\x4a\\x4A", "jJ", 1, 1, 2},
      {"\\xff", "\xfe\xff", 1, 2, 1},
      {"\\?\\+\\*\\.\\^\\$\\[\\]\\\\\\(\\)\\-\\|", "?+*.^$[]\\()-|", 1, 1, 13},
  });
}

TEST(PatternSearchTest, WordBoundaries) {
  expect_cases({
      {"\\bab", "cab ab", 1, 5, 2},
      {"ab\\b", "abc ab", 1, 5, 2},
      // The start of the search counts as a non-word side.
      {"\\bb", "ab", 2, 2, 1},
      {"a\\b", "a", 1, 1, 1},  // so does the end of the text
      {"\\b_x", "a_x _x", 1, 5, 2},
      {"\\b9", "a9 9", 1, 4, 1},
      {"\\b\\x80", "\x80", 1, 0, 0},  // code page letters are not word bytes
  });
}

TEST(PatternSearchTest, LaterCandidates) {
  expect_cases({
      // Greedy: the first candidate is the longest here, and the next one ends
      // the search.
      {"a*", "aaa", 1, 1, 3},
      // After "\s" shorter later candidates win; an empty one is a failure, not
      // a candidate.
      {"\\sa*", "aaa", 1, 1, 1},
      {"\\sa+", "aaa", 1, 1, 1},
      {"a+\\s", "aaa", 1, 1, 1},
      {"\\s(ab)\\01*", "ababab", 1, 1, 2},
      {"\\sa*b*", "aabb", 1, 1, 1},
      // Candidates 2, then 3 (longer: it replaces), then 2 (not longer: the
      // search ends).
      {"b?(a?a?)\\01*", "xaaaxx\n", 1, 2, 3},
      // Candidates 2, then 1: the search ends, although a longer one (3) would
      // come later.
      {"x?[ab]?([ab]*b*)a?\\01", "bab", 1, 1, 2},
      // After "\s": candidates 3, then 2 (shorter: it replaces), then 3 (the
      // search ends, before the shortest one, 1).
      {"\\s[ab]?b+", "bbb\nxb", 1, 1, 2},
  });
}

TEST(PatternSearchTest, InvalidPatternsGiveNoMatch) {
  std::string hundred_groups;
  for (int k = 0; k < 100; ++k) hundred_groups += "(";
  hundred_groups += "a";
  for (int k = 0; k < 100; ++k) hundred_groups += ")";
  const std::vector<std::string> invalid = {
      "*a",    "+a",     "?a",    "a**",     "a*?",  "a|",      "|a",          "a||b",   "a*|b",
      "(a",    "a)",     ")a(",   "(a)*",    "(a)+", "(a)?",    "(*a)",        "a|(b)",  "(a)|b",
      "a|\\c", "a|\\sb", "\\c*a", "a\\c*",   "[abc", "[a\\bc]", "[\\c]",       "[\\01]", "[\\d]",
      "[a-",   "\\",     "a\\",   "\\a",     "\\d",  "\\w",     "\\ ",         "\\x4",   "\\xZZ",
      "\\x",   "\\00",   "\\01",  "(a)\\02", "\\1a", "a\\1",    "^$",          "\\b",    "()",
      "\\c",   "\\s",    "^*",    "a|*",     "[a",   "a(|b)",   hundred_groups};
  for (const std::string& pattern : invalid) {
    SCOPED_TRACE(pattern);
    // A text in which the pattern's bytes, read literally, do occur.
    EXPECT_EQ(pattern_search(pattern, pattern + "aaa" + pattern, 1), PatternMatch{});
    EXPECT_EQ(reference_search(pattern, pattern + "aaa" + pattern, 1), PatternMatch{});
  }
}

// The case-fold partner of every byte, listed independently of the matcher.
unsigned char partner_of(int b) {
  static const std::string kUpper = "ABCDEFGHIJKLMNOPQRSTUVWXYZ\x80\x9a\x90\x8e\x8f\x99\xa5";
  static const std::string kLower = "abcdefghijklmnopqrstuvwxyz\x87\x81\x82\x84\x86\x94\xa4";
  const auto c = static_cast<char>(b);
  if (kUpper.find(c) != std::string::npos)
    return static_cast<unsigned char>(kLower[kUpper.find(c)]);
  if (kLower.find(c) != std::string::npos)
    return static_cast<unsigned char>(kUpper[kLower.find(c)]);
  return static_cast<unsigned char>(b);
}

std::string hex_escape(int b) {
  static const char* kDigits = "0123456789abcdef";
  return std::string("\\x") + kDigits[b / 16] + kDigits[b % 16];
}

TEST(PatternSearchTest, EveryByteAgainstEveryByte) {
  const PatternMatch one{1, 1};
  const PatternMatch none{};
  for (int p = 0; p < 256; ++p) {
    const std::string literal = hex_escape(p);
    for (int t = 0; t < 256; ++t) {
      const std::string text(1, static_cast<char>(t));
      const bool partners = t == p || t == partner_of(p);
      ASSERT_EQ(pattern_search(literal, text, 1), partners ? one : none) << p << " " << t;
      ASSERT_EQ(pattern_search("\\c" + literal, text, 1), t == p ? one : none) << p << " " << t;
      ASSERT_EQ(pattern_search("[" + literal + "]", text, 1), partners && t != 0 ? one : none)
          << p << " " << t;
      ASSERT_EQ(pattern_search("\\c[" + literal + "]", text, 1), t == p && t != 0 ? one : none)
          << p << " " << t;
      ASSERT_EQ(pattern_search("[^" + literal + "]", text, 1), !partners && t != 0 ? one : none)
          << p << " " << t;
    }
    // Every byte as a literal pattern byte (operators aside) matches itself.
    if (std::string_view("?+*.^$[\\()|").find(static_cast<char>(p)) == std::string_view::npos) {
      const std::string pattern(1, static_cast<char>(p));
      const std::string other = p == '#' ? "%" : "#";
      EXPECT_EQ(pattern_search(pattern, other + pattern, 1), (PatternMatch{2, 1})) << p;
    }
    const std::string text(1, static_cast<char>(p));
    const bool any_byte = p != 0 && p != '\r';
    EXPECT_EQ(pattern_search(".", text, 1), any_byte ? one : none) << p;
  }
}

TEST(PatternSearchTest, LongRunsAreGivenBackByCounting) {
  const std::string blanks(300000, ' ');
  const std::string buyer(kBuyerPattern);
  expect_cases({
      {buyer, "</BuyerParty>" + blanks, 1, 0, 0},
      {buyer, "</BuyerParty>" + blanks + "<Invoices>", 1, 1, 300023},
      {buyer, "</BuyerParty>" + blanks + "x<Invoices></BuyerParty><Invoices>", 1, 300025, 23},
      {"[ ]*x", blanks, 1, 0, 0},
      {"[ ]*x", blanks + "x", 1, 1, 300001},
      {" *  x", blanks + "x", 1, 1, 300001},
      {"\\s *", blanks, 1, 1, 1},
  });
}

TEST(PatternSearchTest, RepeatedBackReferencesGiveBackWholeTakes) {
  const std::string blanks(2000, ' ');
  expect_cases({
      {"( *)\\01x", blanks + "x", 1, 1, 2001},
      {"( *)\\01x", blanks + " x", 1, 2, 2001},
      {"( *)\\01*x", blanks + "x", 1, 1, 2001},
      {"( *)x\\01+", blanks + "x" + blanks, 1, 1, 4001},
      {"(  )\\01*x", "   x", 1, 2, 3},
  });
}

// Start positions are found block-wise from the pattern's literal prefix: a
// match must be found at every place in texts of every length, the last
// possible place included.
TEST(PatternSearchTest, FindsLiteralPrefixesAtEveryPlace) {
  struct Needle {
    std::string pattern;
    std::string bytes;  // what the pattern matches
  };
  const std::vector<Needle> needles = {
      {"q", "Q"},
      {"ab", "aB"},
      {"\\cXyZ", "XyZ"},
      {"a[bc]d", "ACD"},
      {"</BuyerParty>", "</buyerparty>"},
      {"</BuyerParty>[ ]*<Invoices>", "</BuyerParty>  <Invoices>"},
      {"(w)[^w]+\\01", "wyyW"},
  };
  // Filler with near misses: the first or last byte of a needle alone.
  const std::string filler = "-<a>-b--x-d>--Z--q-Bz-";
  for (const Needle& needle : needles) {
    for (std::size_t size = needle.bytes.size(); size < 70; ++size) {
      std::string base;
      while (base.size() < size) base += filler;
      base.resize(size);
      if (needle.pattern == "q") std::replace(base.begin(), base.end(), 'q', '-');
      ASSERT_EQ(pattern_search(needle.pattern, base, 1), PatternMatch{}) << needle.pattern;
      for (std::size_t at = 0; at + needle.bytes.size() <= size; ++at) {
        std::string text = base;
        text.replace(at, needle.bytes.size(), needle.bytes);
        const PatternMatch expected{static_cast<std::int64_t>(at) + 1,
                                    static_cast<std::int64_t>(needle.bytes.size())};
        ASSERT_EQ(pattern_search(needle.pattern, text, 1), expected)
            << needle.pattern << " in \"" << printable(text) << "\"";
      }
    }
  }
}

TEST(PatternSearchTest, AgreesWithThePlainMatcherOnLongTexts) {
  // Long enough for the block-wise scan of start positions, with the tags cut
  // and joined in many ways so that partial prefixes occur at every offset of a
  // block.
  std::mt19937 random(7);
  const std::vector<std::string> pieces = {"</BuyerParty>",
                                           "</buyerparty>",
                                           "</Buyer",
                                           "Party>",
                                           "<Invoices>",
                                           " ",
                                           "\r\n",
                                           "\t",
                                           "<",
                                           "x",
                                           "</Parties>"};
  const std::vector<std::string> patterns = {std::string(kBuyerPattern),
                                             std::string(kPartiesPattern),
                                             "\\c</BuyerParty>",
                                             "</b[u]yer",
                                             "<(I)nv\\01?",
                                             "x+<",
                                             "[<>]r"};
  for (int round = 0; round < 400; ++round) {
    std::string text;
    const std::size_t count = random() % 40;
    for (std::size_t k = 0; k < count; ++k) text += pieces[random() % pieces.size()];
    for (const std::string& pattern : patterns) {
      const auto start = static_cast<std::int64_t>(random() % 20);
      ASSERT_EQ(pattern_search(pattern, text, start), reference_search(pattern, text, start))
          << printable(pattern) << " on \"" << printable(text) << "\" from " << start;
    }
  }
}

// Random small patterns and texts from a few bytes that exercise every
// construct: the matcher must give exactly what the plain matcher gives.
TEST(PatternSearchTest, AgreesWithThePlainMatcherOnRandomPatterns) {
  std::mt19937 random(20240607);
  const auto pick = [&](const std::vector<std::string>& from) {
    return from[random() % from.size()];
  };
  const std::vector<std::string> atoms = {
      "a",    "a",    "b",    "A",     "[ab]",      "[ab]", " ",   ".",    "^",
      "$",    "\\b",  "[^a]", "[a-c]", "[ \\r\\n]", "\\n",  "\\r", "\x80", "\\x87",
      "\\01", "\\02", "[-b]", "_",     "\\.",       "[]",   "[^]"};
  const std::vector<std::string> marks = {"", "", "", "*", "*", "+", "?"};
  const std::vector<std::string> stray = {"(", ")", "|", "*", "\\c", "\\s", "\\", "[", "]"};
  const std::vector<std::string> text_bytes = {
      "a", "a", "b", "b", "A", " ", "\r", "\n", "\r\n", "\x80", "\x87", "_", std::string(1, '\0')};
  int matched = 0;
  int invalid = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string pattern;
    int open = 0;
    int groups = 0;
    const std::size_t items = 1 + random() % 5;
    for (std::size_t k = 0; k < items; ++k) {
      const auto roll = random() % 24;
      if (roll < 2) {
        pattern += "(";
        ++open;
        ++groups;
      } else if (roll < 4 && open > 0) {
        pattern += ")";
        --open;
      } else if (roll == 4) {
        pattern += random() % 2 ? "\\c" : "\\s";
      } else if (roll == 5) {
        pattern += pick(stray);  // most likely invalid
      } else if (roll < 8 && groups > 0) {
        // Appended piecewise: "literal" + string trips a false -Wrestrict in
        // GCC 12 at -O3.
        pattern += "\\0";
        pattern += std::to_string(1 + random() % static_cast<unsigned>(groups));
        if (random() % 4 == 0) (pattern += '|') += pick(atoms);
        pattern += pick(marks);
      } else {
        pattern += pick(atoms);
        if (random() % 4 == 0) (pattern += '|') += pick(atoms);
        pattern += pick(marks);
      }
    }
    while (open-- > 0) pattern += ")";
    std::string text;
    const std::size_t runs = random() % 10;
    for (std::size_t k = 0; k < runs; ++k) {
      const std::string byte = pick(text_bytes);
      for (std::size_t r = 1 + random() % 4; r > 0; --r) text += byte;
    }
    const auto start = static_cast<std::int64_t>(random() % (text.size() + 3)) - 1;
    const PatternMatch expected = reference_search(pattern, text, start);
    ASSERT_EQ(pattern_search(pattern, text, start), expected)
        << "pattern \"" << printable(pattern) << "\" text \"" << printable(text) << "\" start "
        << start;
    if (expected.length > 0) ++matched;
    if (!ref_parse(pattern)) ++invalid;
  }
  // The generator must produce a fair share of each outcome, or the comparison
  // says little.
  EXPECT_GT(matched, 4000);
  EXPECT_GT(invalid, 1500);
  EXPECT_GT(20000 - matched - invalid, 4000);
}

}  // namespace
}  // namespace invoice
