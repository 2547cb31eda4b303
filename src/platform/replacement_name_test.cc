#include "platform/replacement_name.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace invoice {
namespace {

TEST(ReplacementNameTest, EveryByteInEveryPlaceGivesARecognisedName) {
  std::array<unsigned char, kReplacementRandomLength> random{};
  for (std::size_t place = 0; place < random.size(); ++place) {
    for (int byte = 0; byte < 256; ++byte) {
      random[place] = static_cast<unsigned char>(byte);
      const std::string name = format_replacement_name(random);
      ASSERT_TRUE(is_replacement_name(name)) << name;
      ASSERT_EQ(name.size(), 35u);
      ASSERT_EQ(name.front(), '.');  // hidden, so never listed
    }
  }
}

TEST(ReplacementNameTest, FallbackNamesAreRecognisedAndDifferPerClockReading) {
  const std::string first = fallback_replacement_name(1000, 42);
  for (const std::string& name : {first, fallback_replacement_name(1001, 42)}) {
    EXPECT_TRUE(is_replacement_name(name)) << name;
  }
  EXPECT_NE(first, fallback_replacement_name(1001, 42));
  EXPECT_NE(first, fallback_replacement_name(1000, 43));
}

TEST(ReplacementNameTest, FreshNamesAreTriedUntilOneIsNotTakenOrTheAttemptsRunOut) {
  for (const int taken : {0, 1, kReplacementNameAttempts - 1, kReplacementNameAttempts}) {
    int drawn = 0;
    int tried = 0;
    const bool made_or_failed = create_under_fresh_name(
        [&] { return std::to_string(++drawn); },
        [&](const std::string& name) { return name == std::to_string(++tried) && tried <= taken; });
    EXPECT_EQ(made_or_failed, taken < kReplacementNameAttempts) << taken;
    EXPECT_EQ(tried, std::min(taken + 1, kReplacementNameAttempts)) << taken;
  }
}

TEST(ReplacementNameTest, NearMissesAreNotRecognised) {
  for (const char* name : {
           ".invoice-converter.0123456789az.tmp",  // the real form, for contrast
       }) {
    EXPECT_TRUE(is_replacement_name(name)) << name;
  }
  for (const char* name : {
           "", ".invoice-converter..tmp",
           ".invoice-converter.0123456789a.tmp",    // 11 characters
           ".invoice-converter.0123456789abc.tmp",  // 13
           ".invoice-converter.0123456789aZ.tmp",   // upper case
           ".invoice-converter.0123456789a-.tmp", ".invoice-converter.0123456789a .tmp",
           ".invoice-converter.0123456789ab.TMP", ".invoice-converter.0123456789ab.tmp~",
           ".invoice-converter.0123456789ab.xml",
           "invoice-converter.0123456789ab.tmp",  // not hidden
           "..invoice-converter.0123456789ab.tmp", ".Invoice-converter.0123456789ab.tmp",
           ".invoice-converter-0123456789ab.tmp",
           "x/.invoice-converter.0123456789ab.tmp",  // a path, not a name
       }) {
    EXPECT_FALSE(is_replacement_name(name)) << name;
  }
  EXPECT_FALSE(is_replacement_name(std::string(".invoice-converter.0123456789a\0.tmp", 35)));
}

}  // namespace
}  // namespace invoice
