#ifndef INVOICE_UPGRADE_PAIR_SCAN_H_
#define INVOICE_UPGRADE_PAIR_SCAN_H_

// Finding where a short needle may start by two of its bytes, many places at
// a time: the literal search of the upgrade and the start filter of the
// pattern search both narrow their candidates this way.

#include <array>
#include <bit>
#include <cstddef>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace invoice::pair_scan {

// One place of the needle and the one or two bytes that may stand there (the
// same byte twice when only one may).
struct Probe {
  std::size_t offset;
  unsigned char byte0;
  unsigned char byte1;
};

namespace detail {

// find_first below; kTwoBytes false when each probe holds one byte (twice).
template <bool kTwoBytes, typename Confirm>
std::size_t find_first(std::string_view text, std::size_t from, std::size_t last_start,
                       const Probe& a, const Probe& b, Confirm confirm) {
  const auto* data = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t at = from;
#if defined(__SSE2__)
  const __m128i a0 = _mm_set1_epi8(static_cast<char>(a.byte0));
  const __m128i a1 = _mm_set1_epi8(static_cast<char>(a.byte1));
  const __m128i b0 = _mm_set1_epi8(static_cast<char>(b.byte0));
  const __m128i b1 = _mm_set1_epi8(static_cast<char>(b.byte1));
  // The candidates among the 16 starts from `place` on, one lane per start.
  const auto candidates = [&](std::size_t place) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + place + a.offset));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + place + b.offset));
    if constexpr (kTwoBytes) {
      return _mm_and_si128(_mm_or_si128(_mm_cmpeq_epi8(x, a0), _mm_cmpeq_epi8(x, a1)),
                           _mm_or_si128(_mm_cmpeq_epi8(y, b0), _mm_cmpeq_epi8(y, b1)));
    } else {
      return _mm_and_si128(_mm_cmpeq_epi8(x, a0), _mm_cmpeq_epi8(y, b0));
    }
  };
  const auto mask_of = [](__m128i block) {
    return static_cast<unsigned>(_mm_movemask_epi8(block));
  };
  // `mask` has bit k set when the start place + k is a candidate.
  const auto confirm_block = [&](std::size_t place, unsigned mask) {
    for (; mask != 0; mask &= mask - 1) {
      const std::size_t candidate = place + static_cast<std::size_t>(std::countr_zero(mask));
      if (confirm(candidate)) return candidate;
    }
    return std::string_view::npos;
  };
  // A block of 16 starts from `at` reads up to data[at + 15 + offset], which
  // exists while at + 15 <= last_start. Four blocks are tested with one
  // branch while they fit, since most blocks hold no candidate.
  for (; at + 63 <= last_start; at += 64) {
    const __m128i c0 = candidates(at);
    const __m128i c1 = candidates(at + 16);
    const __m128i c2 = candidates(at + 32);
    const __m128i c3 = candidates(at + 48);
    if (mask_of(_mm_or_si128(_mm_or_si128(c0, c1), _mm_or_si128(c2, c3))) == 0) continue;
    const std::array<unsigned, 4> masks = {mask_of(c0), mask_of(c1), mask_of(c2), mask_of(c3)};
    for (std::size_t block = 0; block < masks.size(); ++block) {
      const std::size_t found = confirm_block(at + 16 * block, masks[block]);
      if (found != std::string_view::npos) return found;
    }
  }
  for (; at + 15 <= last_start; at += 16) {
    const std::size_t found = confirm_block(at, mask_of(candidates(at)));
    if (found != std::string_view::npos) return found;
  }
#endif
  for (; at <= last_start; ++at) {
    const unsigned char x = data[at + a.offset];
    const unsigned char y = data[at + b.offset];
    if ((x == a.byte0 || x == a.byte1) && (y == b.byte0 || y == b.byte1) && confirm(at)) {
      return at;
    }
  }
  return std::string_view::npos;
}

}  // namespace detail

// Returns the first start s in [from, last_start] at which text[s + a.offset]
// is a byte of `a`, text[s + b.offset] a byte of `b`, and confirm(s) holds; or
// std::string_view::npos. `confirm` is asked only at such places, in
// increasing order. Requires last_start + a.offset and last_start + b.offset
// to be below text.size(). Pure.
template <typename Confirm>
std::size_t find_first(std::string_view text, std::size_t from, std::size_t last_start,
                       const Probe& a, const Probe& b, Confirm confirm) {
  // One comparison per probe instead of two where one byte will do.
  if (a.byte0 == a.byte1 && b.byte0 == b.byte1) {
    return detail::find_first<false>(text, from, last_start, a, b, confirm);
  }
  return detail::find_first<true>(text, from, last_start, a, b, confirm);
}

}  // namespace invoice::pair_scan

#endif  // INVOICE_UPGRADE_PAIR_SCAN_H_
