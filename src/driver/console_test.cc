#include "driver/console.h"

#include <gtest/gtest.h>

#include "driver/messages.h"
#include "fake_platform.h"

namespace invoice {
namespace {

TEST(ConsoleTest, BlanksRunToTheNextPrintZone) {
  const struct {
    std::size_t columns, width, blanks;
  } cases[] = {
      {0, 80, 14},  {1, 80, 13},  {13, 80, 1},  {14, 80, 14}, {20, 80, 8},
      {28, 80, 14}, {40, 80, 2},  {70, 80, 14}, {79, 80, 5},  {80, 80, 14},  // full row wraps
      {85, 80, 9},  {200, 80, 2}, {20, 0, 8},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(count_zone_blanks(c.columns, c.width), c.blanks) << c.columns << "/" << c.width;
  }
}

TEST(ConsoleTest, PrintableFormKeepsUtf8AndMasksWhatCouldSteerTheTerminal) {
  const struct {
    std::string path;
    std::string shown;
    std::size_t columns;
  } cases[] = {
      {"/a/b.xml", "/a/b.xml", 8},
      {"/fa\xC3\xA7"
       "ana.xml",
       "/fa\xC3\xA7"
       "ana.xml",
       11},                                           // ç is one column
      {"/\xE4\xB8\xAD.xml", "/\xE4\xB8\xAD.xml", 7},  // a wide character takes two
      {"/\x1B[2J.xml", "/?[2J.xml", 9},               // no escape sequences
      {"/a\rb\nc\x7F", "/a?b?c?", 7},
      {"/\xC2\x9B"
       "x",
       "/?x", 3},                       // C1 control
      {"/\xFF\xC3.xml", "/??.xml", 7},  // not UTF-8
      {"/\xC0\xAF", "/??", 3},          // overlong
  };
  for (const auto& c : cases) {
    std::size_t columns = 0;
    EXPECT_EQ(make_printable(c.path, columns), c.shown) << c.path;
    EXPECT_EQ(columns, c.columns) << c.path;
  }
}

TEST(ConsoleTest, ProgressOverwritesTheRowOnATerminalOnly) {
  testing::FakePlatform platform;
  platform.terminal = true;
  Console console(platform);
  console.show_progress(std::string(40, 'a'));
  console.show_progress(std::string(10, 'b'));
  EXPECT_EQ(platform.output,
            "\r" + std::string(40, 'a') + "  " + "\r" + std::string(10, 'b') + "    ");

  testing::FakePlatform log_platform;
  Console log_console(log_platform);
  log_console.show_line(kLocatingMessage);
  log_console.show_progress("/x.xml");
  log_console.end_line();
  EXPECT_EQ(log_platform.output, std::string(kLocatingMessage) + "\n\n");
}

TEST(ConsoleTest, FailureEndsTheProgressRowAndEscapesControlBytes) {
  testing::FakePlatform platform;
  platform.terminal = true;
  Console console(platform);
  console.show_progress("/a.xml");
  console.show_failure("/a\r\x1B.xml", "reason");
  console.show_notice("/b.xml", "reason");
  EXPECT_EQ(platform.output, "\r/a.xml        \n");
  EXPECT_EQ(platform.errors, std::string(kFailureHead) + "/a\\x0D\\x1B.xml: reason\n" +
                                 std::string(kNoticeHead) + "/b.xml: reason\n");
}

TEST(ConsoleTest, ErrorLinesShowWhatCouldSteerTheTerminalAsBytes) {
  constexpr auto kWindows = Platform::Conventions::kWindows;
  const struct {
    std::string path, shown;
    Platform::Conventions conventions = Platform::Conventions::kPosix;
  } cases[] = {
      {"/fa\xC3\xA7"
       "ana \xE4\xB8\xAD.xml",
       "/fa\xC3\xA7"
       "ana \xE4\xB8\xAD.xml"},
      {"/\x9B"
       "2J.xml",
       "/\\x9B2J.xml"},  // one-byte CSI
      {"/\xC2\x9B"
       "2J.xml",
       "/\\xC2\\x9B2J.xml"},                         // the same in UTF-8
      {"/\xC2\x85\x7F\t", "/\\xC2\\x85\\x7F\\x09"},  // C1, DEL, C0
      {"/\xFF\xC3.xml", "/\\xFF\\xC3.xml"},          // not UTF-8
      {"/\xC0\xAF", "/\\xC0\\xAF"},                  // overlong
      {"/back\\slash", "/back\\slash"},              // the Windows separator
      {"C:\\x\\y.xml", "C:\\x5Cx\\y.xml"},           // but never a false escape
      // Windows names hold no backslash: the path is shown as it exists.
      {"C:\\xml\\xativa.xml", "C:\\xml\\xativa.xml", kWindows},
      {"C:\\a\x1B.xml", "C:\\a\\x1B.xml", kWindows},
  };
  for (const auto& c : cases) {
    testing::FakePlatform platform;
    platform.user_conventions = c.conventions;
    Console(platform).show_failure(c.path, "r");
    EXPECT_EQ(platform.errors, std::string(kFailureHead) + c.shown + ": r\n") << c.path;
  }
}

TEST(ConsoleTest, FirstFailedWriteToTheOutputIsKeptAndReported) {
  testing::FakePlatform platform;
  Console console(platform);
  console.show_line("a");
  EXPECT_TRUE(console.output_status().is_ok());
  platform.output_failure = Status::error(Status::Kind::kNoSpace);
  console.show_line("b");
  platform.output_failure = Status::error(Status::Kind::kOther, "Broken pipe");
  console.end_line();
  console.show_output_failure();
  EXPECT_EQ(platform.output, "a\n");
  EXPECT_EQ(platform.errors, std::string(kFailureHead) + std::string(kCannotWriteOutput) +
                                 std::string(describe_kind(Status::Kind::kNoSpace)) + "\n");
}

TEST(ConsoleTest, ChangeLineCoversTheProgressRowOrFollowsIt) {
  testing::FakePlatform platform;
  platform.terminal = true;
  platform.width = 50;
  Console console(platform);
  console.show_progress(std::string(40, 'a'));
  console.show_progress("/b.xml");
  console.show_change("Head ", "/b.xml", "x");
  console.show_progress(std::string(60, 'c'));  // wraps: its first row is out of reach
  console.show_change("Head ", "/c\x1B", "y");
  EXPECT_EQ(platform.output, "\r" + std::string(40, 'a') + "  " + "\r/b.xml" + std::string(8, ' ') +
                                 "\rHead /b.xml: x" + std::string(42 - 14, ' ') + "\n\r" +
                                 std::string(60, 'c') + std::string(4, ' ') +
                                 "\nHead /c\\x1B: y\n");

  testing::FakePlatform log_platform;
  Console log_console(log_platform);
  log_console.show_progress("/d.xml");
  log_console.show_change("Head ", "/d\r.xml", "z");
  EXPECT_EQ(log_platform.output, "Head /d\\x0D.xml: z\n");
}

TEST(ConsoleTest, SummaryHasOneBlankBeforeTheCount) {
  const std::string head(kSummaryHead);
  EXPECT_EQ(head.back(), ' ');
  EXPECT_EQ(format_summary(0, " fitxers"), head + "0 fitxers");
  EXPECT_EQ(format_summary(1000, " fitxers"), head + "1000 fitxers");
  EXPECT_EQ(format_summary(2, " fitxers", "Head "), "Head 2 fitxers");
}

}  // namespace
}  // namespace invoice
