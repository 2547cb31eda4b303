#include "driver/time_stamp.h"

#include <gtest/gtest.h>

#include "fake_platform.h"

namespace invoice {
namespace {

TEST(TimeStampTest, FormatsUtcAndDropsTheFraction) {
  const struct {
    FileTime time;
    const char* text;
  } cases[] = {
      {{1688548087, 999'999'999}, "20230705090807"},  // 2023-07-05 09:08:07.999
      {{0, 0}, "19700101000000"},
      {{951782400, 0}, "20000229000000"},  // a leap day
      {{-1, 500}, "19691231235959"},
      {{-11644473600, 0}, "16010101000000"},  // the platform's zero time
      {{253402300799, 0}, "99991231235959"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_time_stamp(c.time), c.text) << c.time.seconds;
    if (std::string_view(c.text) != kZeroTimeStamp) {
      EXPECT_EQ(parse_time_stamp(c.text), (FileTime{c.time.seconds, 0})) << c.text;
    }
  }
}

TEST(TimeStampTest, TimesOutsideFourDigitYearsGiveTheZeroStamp) {
  EXPECT_EQ(format_time_stamp({-11644473601, 0}), kZeroTimeStamp);
  EXPECT_EQ(format_time_stamp({253402300800, 0}), kZeroTimeStamp);
}

TEST(TimeStampTest, RejectsTextsThatAreNoTime) {
  for (const char* text :
       {"", "2023070509080", "202307050908077", "2023-07-05 0908", "20231305090807",
        "20230230090807", "20230705240000", "20230705096000", "20230705090860", "16010101000000"}) {
    EXPECT_FALSE(parse_time_stamp(text).has_value()) << text;
  }
}

TEST(TimeStampTest, ReadAndRestoreGoThroughThePlatform) {
  testing::FakePlatform platform;
  auto& file = platform.add_file("/d/a.xml", "x");
  file.modified = {1688548087, 999'000'000};
  const std::string stamp = read_time_stamp(platform, "/d/a.xml");
  EXPECT_EQ(stamp, "20230705090807");
  file.modified = {1700000000, 1};
  auto opened = platform.open_invoice_file("/d/a.xml");
  ASSERT_TRUE(opened.is_ok());
  EXPECT_TRUE(restore_time_stamp(*opened.value, stamp).is_ok());
  EXPECT_EQ(file.modified, (FileTime{1688548087, 0}));
  EXPECT_EQ(file.accessed, (FileTime{1688548087, 0}));
}

TEST(TimeStampTest, UnreadableTimeGivesZeroStampWhichLeavesTimesAlone) {
  testing::FakePlatform platform;
  EXPECT_EQ(read_time_stamp(platform, "/missing.xml"), kZeroTimeStamp);
  platform.add_file("/d/a.xml", "x");
  auto opened = platform.open_invoice_file("/d/a.xml");
  ASSERT_TRUE(opened.is_ok());
  EXPECT_TRUE(restore_time_stamp(*opened.value, kZeroTimeStamp).is_ok());
  EXPECT_TRUE(platform.logged("restamp").empty());
}

}  // namespace
}  // namespace invoice
