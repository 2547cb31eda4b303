#include "encoding/utf8_kernels.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "encoding/code_page_858.h"
#include "encoding/word_scan.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define INVOICE_ENCODING_HAVE_AVX512 1
#else
#define INVOICE_ENCODING_HAVE_AVX512 0
#endif

namespace invoice::utf8_kernels {
namespace {

using code_page_858::kUtf8;
using word_scan::copy_ascii_word;
using word_scan::kHighBits;
using word_scan::kWord;
using word_scan::load_word;

// Bytes that the UTF-8 form of a code page byte adds to its one byte.
constexpr std::array<std::uint8_t, 256> kExtraLength = [] {
  std::array<std::uint8_t, 256> table{};
  for (std::size_t b = 0; b < table.size(); ++b) {
    table[b] = static_cast<std::uint8_t>(kUtf8[b].length - 1u);
  }
  return table;
}();

// ---------------------------------------------------------------------------
// Portable kernel.

std::size_t utf8_length_portable(const unsigned char* in, std::size_t size) {
  std::size_t length = size;
  std::size_t i = 0;
  for (; i + 2 * kWord <= size; i += 2 * kWord) {
    if (((load_word(in + i) | load_word(in + i + kWord)) & kHighBits) == 0) continue;
    for (std::size_t k = i; k < i + 2 * kWord; ++k) length += kExtraLength[in[k]];
  }
  for (; i < size; ++i) length += kExtraLength[in[i]];
  return length;
}

inline unsigned char* put_sequence(unsigned char* out, unsigned char byte) {
  const auto& sequence = kUtf8[byte];
  std::memcpy(out, sequence.bytes.data(), sequence.bytes.size());
  return out + sequence.length;
}

// Copies ASCII a word at a time, up to the next byte above 0x7F, which takes
// its precomputed sequence.
unsigned char* write_utf8_portable(const unsigned char* in, std::size_t size, unsigned char* out) {
  std::size_t i = 0;
  while (size - i >= kWord) {
    const std::size_t ascii = copy_ascii_word(in + i, out);
    out += ascii;
    i += ascii;
    if (ascii < kWord) out = put_sequence(out, in[i++]);
  }
  for (; i < size; ++i) out = put_sequence(out, in[i]);
  return out;
}

// ---------------------------------------------------------------------------
// AVX-512 kernel. A chunk of 64 input bytes is looked up whole: byte t of the
// UTF-8 form of every input byte comes from a 128-entry table held in two
// registers. Then each quarter of 16 input bytes is spread over 48 byte slots,
// three per input byte, and the slots that hold no byte are squeezed out with
// one compress. Chunks of pure ASCII are copied as they are.

#if INVOICE_ENCODING_HAVE_AVX512

#define INVOICE_AVX512_TARGET \
  __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi2,popcnt")))

// Byte `plane` of the UTF-8 form of bytes 0x80..0xFF, zero where the form is
// shorter.
constexpr std::array<std::uint8_t, 128> make_plane(std::size_t plane) {
  std::array<std::uint8_t, 128> table{};
  for (std::size_t i = 0; i < table.size(); ++i) {
    const auto& sequence = kUtf8[0x80 + i];
    table[i] = plane < sequence.length ? sequence.bytes[plane] : std::uint8_t{0};
  }
  return table;
}
alignas(64) constexpr std::array<std::uint8_t, 128> kPlane0 = make_plane(0);
alignas(64) constexpr std::array<std::uint8_t, 128> kPlane1 = make_plane(1);
alignas(64) constexpr std::array<std::uint8_t, 128> kPlane2 = make_plane(2);

// Where slot j = 3k + t of the first quarter finds its byte: byte k of the
// first plane (t = 0) or, with 64 added to pick the other source, of the
// second plane (t = 1); slots with t = 2 take byte k of the third plane.
// Slots 48..63 are unused. Adding 16 moves the pattern to the next quarter.
alignas(64) constexpr std::array<std::uint8_t, 64> kSpread = [] {
  std::array<std::uint8_t, 64> table{};
  for (std::size_t j = 0; j < 48; ++j) {
    table[j] = static_cast<std::uint8_t>(j / 3 + (j % 3 == 1 ? 64 : 0));
  }
  return table;
}();

// Slots that hold byte t of their input byte's form.
constexpr std::uint64_t slot_mask(std::size_t t) {
  std::uint64_t mask = 0;
  for (std::size_t j = t; j < 48; j += 3) mask |= std::uint64_t{1} << j;
  return mask;
}

struct Plane {
  __m512i low;   // entries for 0x80..0xBF
  __m512i high;  // entries for 0xC0..0xFF
};

INVOICE_AVX512_TARGET inline Plane load_plane(const std::array<std::uint8_t, 128>& table) {
  return {_mm512_load_si512(table.data()), _mm512_load_si512(table.data() + 64)};
}

// Looks up every byte of `bytes` in `plane` by its low seven bits.
INVOICE_AVX512_TARGET inline __m512i look_up(const Plane& plane, __m512i bytes) {
  return _mm512_permutex2var_epi8(plane.low, bytes, plane.high);
}

INVOICE_AVX512_TARGET std::size_t utf8_length_avx512(const unsigned char* in, std::size_t size) {
  const Plane third = load_plane(kPlane2);
  std::size_t length = size;
  std::size_t i = 0;
  for (; i + 64 <= size; i += 64) {
    const __m512i chunk = _mm512_loadu_si512(in + i);
    const __mmask64 high = _mm512_movepi8_mask(chunk);
    const __m512i third_bytes = look_up(third, chunk);
    const __mmask64 three = _mm512_mask_test_epi8_mask(high, third_bytes, third_bytes);
    length += static_cast<std::size_t>(_mm_popcnt_u64(high) + _mm_popcnt_u64(three));
  }
  for (; i < size; ++i) length += kExtraLength[in[i]];
  return length;
}

// Converts the 64 bytes of `chunk`, whose bytes above 0x7F are marked in
// `high`, and stores them at `out` with up to 64 bytes of garbage after them;
// returns the end of what was converted.
INVOICE_AVX512_TARGET inline unsigned char* write_chunk(const Plane& first_plane,
                                                        const Plane& second_plane,
                                                        const Plane& third_plane, __m512i spread,
                                                        __m512i chunk, __mmask64 high,
                                                        unsigned char* out) {
  constexpr __mmask64 kFirstSlots = slot_mask(0);
  constexpr std::uint64_t kSecondSlots = slot_mask(1);
  constexpr std::uint64_t kThirdSlots = slot_mask(2);
  // An ASCII byte is its own first byte.
  const __m512i first = _mm512_mask_mov_epi8(chunk, high, look_up(first_plane, chunk));
  const __m512i second = look_up(second_plane, chunk);
  const __m512i third = look_up(third_plane, chunk);
  const __mmask64 three = _mm512_mask_test_epi8_mask(high, third, third);
  const __m512i next_quarter = _mm512_set1_epi8(16);
  for (unsigned quarter = 0; quarter < 4; ++quarter) {
    __m512i bytes = _mm512_permutex2var_epi8(first, spread, second);
    bytes = _mm512_mask_permutexvar_epi8(bytes, kThirdSlots, spread, third);
    // A byte's second slot is used when it is above 0x7F, its third when its
    // form has three bytes.
    const __mmask64 used = kFirstSlots |
                           _pdep_u64((high >> (16 * quarter)) & 0xFFFF, kSecondSlots) |
                           _pdep_u64((three >> (16 * quarter)) & 0xFFFF, kThirdSlots);
    _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(used, bytes));
    out += _mm_popcnt_u64(used);
    spread = _mm512_add_epi8(spread, next_quarter);
  }
  return out;
}

INVOICE_AVX512_TARGET unsigned char* write_utf8_avx512(const unsigned char* in, std::size_t size,
                                                       unsigned char* out) {
  const Plane first = load_plane(kPlane0);
  const Plane second = load_plane(kPlane1);
  const Plane third = load_plane(kPlane2);
  const __m512i spread = _mm512_load_si512(kSpread.data());
  std::size_t i = 0;
  for (; i + 64 <= size; i += 64) {
    const __m512i chunk = _mm512_loadu_si512(in + i);
    const __mmask64 high = _mm512_movepi8_mask(chunk);
    if (high == 0) {
      _mm512_storeu_si512(out, chunk);
      out += 64;
    } else {
      out = write_chunk(first, second, third, spread, chunk, high, out);
    }
  }
  for (; i < size; ++i) out = put_sequence(out, in[i]);
  return out;
}

#undef INVOICE_AVX512_TARGET

#endif  // INVOICE_ENCODING_HAVE_AVX512

}  // namespace

bool is_available(Kernel kernel) {
  switch (kernel) {
    case Kernel::kPortable:
      return true;
    case Kernel::kAvx512:
#if INVOICE_ENCODING_HAVE_AVX512
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
             __builtin_cpu_supports("popcnt");
#else
      return false;
#endif
  }
  return false;
}

Kernel best_available() {
  return is_available(Kernel::kAvx512) ? Kernel::kAvx512 : Kernel::kPortable;
}

Kernel kernel_for_setting(const char* portable_setting) {
  const std::string_view setting = portable_setting == nullptr ? "" : portable_setting;
  return setting.empty() || setting == "0" ? best_available() : Kernel::kPortable;
}

Kernel chosen_kernel() {
  // Decided once, so that a run converts every line with the same kernel and
  // neither the processor nor the environment is asked again per call.
  static const Kernel kernel = kernel_for_setting(std::getenv(kPortableKernelVariable));
  return kernel;
}

namespace {

struct Functions {
  std::size_t (*measure)(const unsigned char*, std::size_t);
  unsigned char* (*write)(const unsigned char*, std::size_t, unsigned char*);
};

Functions functions_of(Kernel kernel) {
#if INVOICE_ENCODING_HAVE_AVX512
  if (kernel == Kernel::kAvx512) return {utf8_length_avx512, write_utf8_avx512};
#else
  static_cast<void>(kernel);
#endif
  return {utf8_length_portable, write_utf8_portable};
}

const unsigned char* bytes_of(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

std::size_t utf8_length(std::string_view text, Kernel kernel) {
  return functions_of(kernel).measure(bytes_of(text), text.size());
}

char* write_utf8(std::string_view text, Kernel kernel, char* out) {
  unsigned char* end = functions_of(kernel).write(bytes_of(text), text.size(),
                                                  reinterpret_cast<unsigned char*>(out));
  return reinterpret_cast<char*>(end);
}

std::string to_utf8(std::string_view text, Kernel kernel) {
  // Every byte converts on its own, so the exact length is known before
  // anything is written: the result is allocated once and each of its bytes
  // written once, never zero-filled first.
  const std::size_t length = utf8_length(text, kernel);
  std::string result;
  result.resize_and_overwrite(length + kWriteSlack, [&](char* out, std::size_t) {
    write_utf8(text, kernel, out);
    return length;
  });
  return result;
}

}  // namespace invoice::utf8_kernels
