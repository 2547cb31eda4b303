// The program's report as a person sees it: run inside tmux, a real
// terminal emulator 80 columns wide, and read back from its screen.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "expected_output.h"
#include "scratch.h"

namespace invoice {
namespace {

using testing::ScratchFolder;

bool have_tmux() { return std::system("tmux -V > /dev/null 2>&1") == 0; }

// Runs the program with MORROOT empty in `folder` (so the listed paths are
// "DOCUMENT/..." and their lengths are known) and returns the screen rows,
// trailing blanks dropped by tmux.
std::vector<std::string> run_in_terminal(const ScratchFolder& folder) {
  ScratchFolder temp;
  return testing::run_in_tmux("cd '" + folder.path() + "' && env -i LANG=C.UTF-8 MORROOT= TEMP='" +
                                  temp.path() + "' '" + INVOICE_PROGRAM + "'",
                              20);
}

const std::string kUpgradeLine = testing::summary_line(0, kUpgradeSummaryTail);
const std::string kCodePageLine = testing::summary_line(0, kCodePageSummaryTail);
const std::string kLocating(kLocatingMessage);
const std::string kConverting(kConvertingMessage);

TEST(TerminalTest, NoFilesShowsOneEmptyRowBeforeTheSummary) {
  if (!have_tmux()) GTEST_SKIP() << "tmux is not installed";
  ScratchFolder folder;
  std::filesystem::create_directories(folder.path() + "/DOCUMENT");
  EXPECT_EQ(run_in_terminal(folder),
            (std::vector<std::string>{kLocating, kConverting, "", kUpgradeLine, kCodePageLine}));
}

TEST(TerminalTest, ShorterPathLeavesTheTailOfTheLongerOneVisible) {
  if (!have_tmux()) GTEST_SKIP() << "tmux is not installed";
  ScratchFolder folder;
  const std::string long_path = "DOCUMENT/a" + std::string(26, 'x') + ".xml";  // 40 columns
  ASSERT_EQ(long_path.size(), 40u);
  folder.write(long_path, "");
  folder.write("DOCUMENT/b.xml", "");  // 14 columns, then 14 blanks
  EXPECT_EQ(
      run_in_terminal(folder),
      (std::vector<std::string>{kLocating, kConverting,
                                "DOCUMENT/b.xml" + std::string(14, ' ') + long_path.substr(28),
                                kUpgradeLine, kCodePageLine}));
}

TEST(TerminalTest, BlanksPastTheRightEdgeMoveTheNextPathDown) {
  if (!have_tmux()) GTEST_SKIP() << "tmux is not installed";
  ScratchFolder folder;
  // Ends in column 75: 9 blanks run to column 84, into the next row.
  const std::string wide_path = "DOCUMENT/a" + std::string(61, 'x') + ".xml";
  ASSERT_EQ(wide_path.size(), 75u);
  folder.write(wide_path, "");
  folder.write("DOCUMENT/b.xml", "");
  EXPECT_EQ(run_in_terminal(folder),
            (std::vector<std::string>{kLocating, kConverting, wide_path, "DOCUMENT/b.xml",
                                      kUpgradeLine, kCodePageLine}));
}

}  // namespace
}  // namespace invoice
