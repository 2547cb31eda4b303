#include "upgrade/pair_scan.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <string>
#include <string_view>

namespace invoice::pair_scan {
namespace {

// Random texts over four bytes, long enough for blocks of 64 and of 16 starts
// and a byte-wise rest, with probes of one byte (every other round) and of
// two: the first confirmed start is the one a plain loop finds.
TEST(PairScanTest, FindsTheFirstConfirmedCandidateLikeAPlainLoop) {
  std::mt19937 random(16);
  const auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  const auto probe = [&](std::size_t offset, bool one_byte) {
    const auto byte0 = static_cast<unsigned char>("abcd"[pick(4)]);
    return Probe{offset, byte0, one_byte ? byte0 : static_cast<unsigned char>("abcd"[pick(4)])};
  };
  // Only every third start is confirmed, so the scan must go on past some.
  const auto confirm = [](std::size_t s) { return s % 3 == 0; };
  const auto in = [](unsigned char x, const Probe& p) { return x == p.byte0 || x == p.byte1; };
  for (int round = 0; round < 4000; ++round) {
    const Probe a = probe(pick(4), round % 2 == 0);
    const Probe b = probe(a.offset + pick(4), round % 2 == 0);
    std::string text(b.offset + 1 + pick(200), ' ');
    for (char& c : text) c = "abcd"[pick(4)];
    const std::size_t last_start = text.size() - 1 - b.offset - pick(text.size() - b.offset);
    const std::size_t from = pick(last_start + 2);
    std::size_t expected = std::string_view::npos;
    for (std::size_t s = from; s <= last_start && expected == std::string_view::npos; ++s) {
      const auto x = static_cast<unsigned char>(text[s + a.offset]);
      const auto y = static_cast<unsigned char>(text[s + b.offset]);
      if (in(x, a) && in(y, b) && confirm(s)) expected = s;
    }
    ASSERT_EQ(find_first(text, from, last_start, a, b, confirm), expected)
        << text << " from " << from << " to " << last_start;
  }
}

}  // namespace
}  // namespace invoice::pair_scan
