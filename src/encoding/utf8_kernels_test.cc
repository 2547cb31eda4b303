#include "encoding/utf8_kernels.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "encoding/code_page_858.h"

namespace invoice::utf8_kernels {
namespace {

// Byte by byte, straight from the table (which the transcoder's tests hold
// against the system's code page 858).
std::string reference_utf8(const std::string& text) {
  std::string out;
  for (char c : text) {
    const auto& sequence = code_page_858::kUtf8[static_cast<unsigned char>(c)];
    out.append(reinterpret_cast<const char*>(sequence.bytes.data()), sequence.length);
  }
  return out;
}

std::vector<Kernel> available_kernels() {
  std::vector<Kernel> kernels;
  for (Kernel kernel : {Kernel::kPortable, Kernel::kAvx512}) {
    if (is_available(kernel)) kernels.push_back(kernel);
  }
  return kernels;
}

class Utf8KernelTest : public testing::TestWithParam<Kernel> {};

TEST_P(Utf8KernelTest, EveryByteAtEveryPositionOfTheBlocks) {
  // The kernels work in words, blocks of 16 and chunks of 64 bytes with a
  // byte-wise tail; a byte is tried at every offset of such a text, in ASCII
  // and in a text full of three-byte characters.
  for (int b = 0; b < 256; ++b) {
    for (std::size_t length : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 64u, 65u, 80u, 150u}) {
      for (char fill : {'x', '\xC4'}) {
        for (std::size_t at = 0; at < length; at += (length > 20 ? 7 : 1)) {
          std::string text(length, fill);
          text[at] = static_cast<char>(b);
          ASSERT_EQ(to_utf8(text, GetParam()), reference_utf8(text))
              << "byte " << b << " at " << at << " of " << length;
        }
      }
    }
  }
}

TEST_P(Utf8KernelTest, RandomTextsOfEveryShortLength) {
  std::mt19937 random(858);
  for (std::size_t length = 0; length < 400; ++length) {
    for (int high_share : {0, 5, 50, 100}) {
      std::string text(length, '\0');
      for (char& c : text) {
        const bool high = static_cast<int>(random() % 100) < high_share;
        c = static_cast<char>(high ? 0x80 + random() % 128 : random() % 128);
      }
      ASSERT_EQ(to_utf8(text, GetParam()), reference_utf8(text))
          << "length " << length << ", share " << high_share;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Available, Utf8KernelTest, testing::ValuesIn(available_kernels()),
                         [](const testing::TestParamInfo<Kernel>& kernel) {
                           return kernel.param == Kernel::kAvx512 ? "Avx512" : "Portable";
                         });

TEST(Utf8KernelsTest, TheBestKernelIsAvailable) {
  EXPECT_TRUE(is_available(Kernel::kPortable));
  EXPECT_TRUE(is_available(best_available()));
}

TEST(Utf8KernelsTest, OnlyASetNonZeroVariableForcesThePortableKernel) {
  const std::vector<std::pair<const char*, Kernel>> cases = {
      {nullptr, best_available()}, {"", best_available()},     {"0", best_available()},
      {"1", Kernel::kPortable},    {"yes", Kernel::kPortable}, {"00", Kernel::kPortable}};
  for (const auto& [setting, kernel] : cases) {
    EXPECT_EQ(kernel_for_setting(setting), kernel) << (setting ? setting : "unset");
  }
  // The transcoder's kernel follows this process's environment.
  EXPECT_EQ(chosen_kernel(), kernel_for_setting(std::getenv(kPortableKernelVariable)));
}

}  // namespace
}  // namespace invoice::utf8_kernels
