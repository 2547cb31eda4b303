#include "encoding/word_scan.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

namespace invoice::word_scan {
namespace {

TEST(CopyAsciiWordTest, CountsTheAsciiBytesBeforeTheFirstHighOne) {
  // No high byte, or the first one at each place, with others after it.
  for (std::size_t high = 0; high <= kWord; ++high) {
    std::string in(kWord, 'a');
    for (std::size_t k = high; k < kWord; k += 3) in[k] = static_cast<char>(0x80 + k);
    std::string out(kWord, '-');
    EXPECT_EQ(copy_ascii_word(reinterpret_cast<const unsigned char*>(in.data()),
                              reinterpret_cast<unsigned char*>(out.data())),
              high)
        << "first high byte at " << high;
    EXPECT_EQ(out, in);
  }
}

}  // namespace
}  // namespace invoice::word_scan
