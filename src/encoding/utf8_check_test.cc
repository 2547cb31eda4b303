#include "encoding/utf8_check.h"

#include <gtest/gtest.h>

#include <string>

namespace invoice {
namespace {

TEST(Utf8CheckTest, SortsTextsByTheirHighBytes) {
  const std::string ascii_run(20, 'a');
  const struct {
    std::string text;
    HighBytes expected;
  } cases[] = {
      {"", HighBytes::kNone},
      {ascii_run + std::string("\0\x7F", 2), HighBytes::kNone},
      {"Jos\xC3\xA9", HighBytes::kUtf8},
      {ascii_run + "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF" + ascii_run,
       HighBytes::kUtf8},
      {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", HighBytes::kUtf8},  // U+10000, U+10FFFF
      {"\xEF\xBB\xBF", HighBytes::kUtf8},                      // byte order mark
      {"Jos\x82", HighBytes::kOther},                          // code page 850 e acute
      {ascii_run + "\xC3\xA9\x82" + ascii_run, HighBytes::kOther},
      {"\xC0\x80", HighBytes::kOther},          // overlong
      {"\xC1\xBF", HighBytes::kOther},          // overlong
      {"\xE0\x9F\xBF", HighBytes::kOther},      // overlong
      {"\xF0\x8F\xBF\xBF", HighBytes::kOther},  // overlong
      {"\xED\xA0\x80", HighBytes::kOther},      // surrogate
      {"\xF4\x90\x80\x80", HighBytes::kOther},  // past U+10FFFF
      {"\xF5\x80\x80\x80", HighBytes::kOther},
      {"\xFE", HighBytes::kOther},
      {"\xC3", HighBytes::kOther},  // cut short by the end
      {ascii_run + "\xE2\x82", HighBytes::kOther},
      {"\xE2\x82" + ascii_run, HighBytes::kOther},
      {"\xE2\x28\xA1", HighBytes::kOther},  // second byte no continuation
      {"\xE2\x82\x41", HighBytes::kOther},  // third byte no continuation
  };
  for (const auto& c : cases) {
    EXPECT_EQ(classify_high_bytes(c.text), c.expected) << testing::PrintToString(c.text);
  }
}

}  // namespace
}  // namespace invoice
