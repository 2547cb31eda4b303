#include "encoding/utf8_check.h"

#include <gtest/gtest.h>

#include <string>

namespace invoice {
namespace {

TEST(Utf8CheckTest, SortsTextsByTheirHighBytes) {
  // Runs of ASCII around them take the word-at-a-time path too.
  const std::string run(20, 'a');
  const std::string ascii[] = {"", run + std::string("\0\x7F", 2)};
  const std::string utf8[] = {
      "Jos\xC3\xA9",
      "\xEF\xBB\xBF",  // byte order mark
      run + "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF" + run,
      "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",  // U+10000, U+10FFFF
  };
  const std::string other[] = {"Jos\x82",  // code page 850 e acute
                               run + "\xC3\xA9\x82" + run,
                               // Overlong forms, a surrogate, past U+10FFFF, bytes that never lead.
                               "\xC0\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF",
                               "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFE",
                               // Cut short, or a byte that does not continue the sequence.
                               "\xC3", run + "\xE2\x82", "\xE2\x82" + run, "\xE2\x28\xA1",
                               "\xE2\x82\x41"};
  for (const std::string& text : ascii) EXPECT_EQ(classify_high_bytes(text), HighBytes::kNone);
  for (const std::string& text : utf8) {
    EXPECT_EQ(classify_high_bytes(text), HighBytes::kUtf8) << testing::PrintToString(text);
  }
  for (const std::string& text : other) {
    EXPECT_EQ(classify_high_bytes(text), HighBytes::kOther) << testing::PrintToString(text);
  }
}

}  // namespace
}  // namespace invoice
