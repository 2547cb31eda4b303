// Hostile and unusual input for the built program: environment values and
// names that a shell would take apart, names that are not text, paths longer
// than the system's limit, trees deeper than a recursive walk could go,
// symbolic-link loops and links out of the tree, an empty invoice. No shell
// is involved anywhere, so each of them may do no more than name a path.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "expected_output.h"
#include "sample_invoices.h"
#include "scratch.h"

namespace invoice {
namespace {

namespace fs = std::filesystem;
using testing::ProgramOptions;
using testing::ProgramRun;
using testing::ScratchFolder;

const std::string kOld = testing::old_invoice();
const std::string kNew = testing::converted(testing::old_invoice());

// Characters that a command interpreter would act on.
const std::string kShellBait[] = {
    "two  blanks and 'single' \"double\" quotes", "semi;colon & amper | pipe > greater < less",
    "$(touch PWNED) `touch PWNED` ${HOME} $HOME", "star * question ? [brackets] {braces} ~tilde",
    "new\nline and tab\t and \\backslash",        "-dash first",
};

ProgramOptions options_for(const std::string& root, const std::string& temp,
                           const std::string& working_folder) {
  ProgramOptions options;
  options.environment = {{"MORROOT", root}, {"TEMP", temp}, {"PATH", "/usr/bin:/bin"}};
  options.working_folder = working_folder;
  return options;
}

TEST(HostileTest, EnvironmentValuesOnlyNameFolders) {
  ScratchFolder place;
  ScratchFolder working;
  for (const std::string& bait : kShellBait) {
    SCOPED_TRACE(bait);
    const std::string root = place.path() + "/root " + bait;
    const std::string temp = place.path() + "/temp " + bait;
    fs::create_directories(temp);
    const std::string path = place.write("root " + bait + "/DOCUMENT/a.xml", kOld);
    // What a glob of the root's name would also match.
    const std::string decoy = place.write("root decoy/DOCUMENT/b.xml", kOld);
    const ProgramRun result = testing::run_program(options_for(root, temp, working.path()));
    EXPECT_EQ(result.exit_status, 0) << result.errors;
    EXPECT_EQ(result.output, testing::summary_lines(1, 1));
    EXPECT_EQ(testing::read_file(path), kNew);
    EXPECT_EQ(testing::read_file(decoy), kOld);
    EXPECT_TRUE(testing::list_tree(temp).empty());
    fs::remove_all(root);
    fs::remove_all(temp);
  }
  // Nothing was run: no file appeared where the program ran or anywhere
  // near the trees.
  EXPECT_TRUE(testing::list_tree(working.path()).empty());
  EXPECT_EQ(
      testing::list_tree(place.path()),
      (std::vector<std::string>{"root decoy", "root decoy/DOCUMENT", "root decoy/DOCUMENT/b.xml"}));
}

TEST(HostileTest, UnusualNamesAreConvertedOrReportedNeverMisread) {
  ScratchFolder root;
  ScratchFolder temp;
  const std::vector<std::string> converted_names = {
      "DOCUMENT/blank name.xml",
      "DOCUMENT/ leading and trailing blank .xml",
      "DOCUMENT/factura \xC3\xB1 \xE2\x82\xAC \xE4\xB8\xAD.xml",  // UTF-8
      "DOCUMENT/invalid \xFF\xFE\xC3(.xml",                       // not UTF-8
      "DOCUMENT/line\nfeed.xml",                                  // a lone LF reads back whole
      "DOCUMENT/esc \x1B[2J and \x07 bell.xml",
      "DOCUMENT/star * question ? [x].xml",
      "DOCUMENT/$(touch PWNED);|&.xml",
      "DOCUMENT/-rf.xml",
      "DOCUMENT/back\\slash.XmL",
      "DOCUMENT/\xFF folder \xC3\xA0/inner.xml",
      "DOCUMENT/line\nfeed folder/inner.xml",
  };
  for (const std::string& name : converted_names) root.write(name, kOld);
  // A CR or a 0x1A byte would cut the name when read back from the file
  // list: reported with the byte shown, never listed.
  const std::string cr = root.write("DOCUMENT/carriage\rreturn.xml", kOld);
  const std::string eof = root.write(
      "DOCUMENT/end\x1A"
      "of file/inner.xml",
      kOld);
  const std::string cut = root.write("DOCUMENT/carriage", kOld);  // what a cut CR name would name
  const std::string cut_eof = root.write("DOCUMENT/end.xml", kOld);

  ScratchFolder working;
  const ProgramRun result =
      testing::run_program(options_for(root.path(), temp.path(), working.path()));
  EXPECT_EQ(result.exit_status, 1);
  const int count = static_cast<int>(converted_names.size()) + 1;  // end.xml
  EXPECT_EQ(result.output, testing::summary_lines(count, count));
  for (const std::string& name : converted_names) {
    EXPECT_EQ(testing::read_file(root.path() + "/" + name), kNew) << name;
  }
  EXPECT_EQ(testing::read_file(cr), kOld);
  EXPECT_EQ(testing::read_file(eof), kOld);
  EXPECT_EQ(testing::read_file(cut), kOld);
  EXPECT_EQ(testing::read_file(cut_eof), kNew);
  // Standard error names them with the bytes escaped, so that no name can
  // move a terminal's cursor or split a log line.
  const std::string unlistable(describe_kind(Status::Kind::kUnlistable));
  EXPECT_EQ(
      result.errors,
      testing::failure_line(root.path() + "/DOCUMENT/carriage\\x0Dreturn.xml", unlistable) +
          testing::failure_line(root.path() + "/DOCUMENT/end\\x1Aof file/inner.xml", unlistable));
  EXPECT_TRUE(testing::list_tree(working.path()).empty());
  EXPECT_TRUE(testing::list_tree(temp.path()).empty());
}

TEST(HostileTest, PathLongerThanTheSystemLimit) {
  ScratchFolder root;
  ScratchFolder temp;
  fs::create_directories(root.path() + "/DOCUMENT");
  // 30 folders of 200 bytes: a path of over 6,000 bytes, which no single
  // system call takes whole.
  const std::vector<std::string> folders(30, std::string(199, 'f') + "\xC3\xA9");
  const std::string path =
      testing::write_deep(root.path() + "/DOCUMENT", folders, "deep.xml", kOld);
  ASSERT_GT(path.size(), 6000u);
  const std::string current =
      testing::write_deep(root.path() + "/DOCUMENT", folders, "current.xml", kNew);
  const ProgramRun result = testing::run_program(options_for(root.path(), temp.path(), "/"));
  EXPECT_EQ(result.exit_status, 0) << result.errors.substr(0, 500);
  EXPECT_EQ(result.output, testing::summary_lines(1, 1));
  EXPECT_EQ(testing::read_deep(path), kNew);
  EXPECT_EQ(testing::read_deep(current), kNew);
}

TEST(HostileTest, TreeThousandsOfFoldersDeepOnASmallStack) {
  const auto depth = static_cast<std::size_t>(std::getenv("INVOICE_DEEP_LEVELS") != nullptr
                                                  ? std::atoll(std::getenv("INVOICE_DEEP_LEVELS"))
                                                  : 2000);
  ScratchFolder root;
  ScratchFolder temp;
  fs::create_directories(root.path() + "/DOCUMENT");
  std::vector<std::string> folders(depth, "d");
  const std::string deepest =
      testing::write_deep(root.path() + "/DOCUMENT", folders, "bottom.xml", kOld);
  folders.resize(depth / 2);
  const std::string middle =
      testing::write_deep(root.path() + "/DOCUMENT", folders, "middle.xml", kOld);
  ProgramOptions options = options_for(root.path(), temp.path(), "/");
  // A walk that recursed once per folder would need far more than this.
  options.stack_limit = 256 * 1024;
  const ProgramRun result = testing::run_program(options);
  EXPECT_EQ(result.exit_status, 0) << result.errors.substr(0, 500);
  EXPECT_EQ(result.output, testing::summary_lines(2, 2));
  EXPECT_EQ(testing::read_deep(deepest), kNew);
  EXPECT_EQ(testing::read_deep(middle), kNew);
}

TEST(HostileTest, SymbolicLinkLoopsAndDanglingLinks) {
  ScratchFolder root;
  ScratchFolder temp;
  const std::string real = root.write("DOCUMENT/sub/real.xml", kOld);
  const std::string document = root.path() + "/DOCUMENT";
  fs::create_symlink("self.xml", document + "/self.xml");
  fs::create_symlink("ping.xml", document + "/pong.xml");
  fs::create_symlink("pong.xml", document + "/ping.xml");
  fs::create_symlink("nowhere.xml", document + "/dangling.xml");
  fs::create_directory_symlink("..", document + "/sub/up");
  fs::create_directory_symlink(".", document + "/sub/here");
  fs::create_directory_symlink(document, document + "/sub/top.xml");
  const ProgramRun result = testing::run_program(options_for(root.path(), temp.path(), "/"));
  // Links that lead nowhere name no invoice; folder links are not entered,
  // so each invoice is converted once.
  EXPECT_EQ(result.exit_status, 0) << result.errors;
  EXPECT_EQ(result.errors, "");
  EXPECT_EQ(result.output, testing::summary_lines(1, 1));
  EXPECT_EQ(testing::read_file(real), kNew);
  EXPECT_EQ(fs::read_symlink(document + "/self.xml"), "self.xml");
  EXPECT_FALSE(fs::exists(document + "/nowhere.xml"));
}

TEST(HostileTest, LinksToInvoicesOutsideTheTree) {
  ScratchFolder root;
  ScratchFolder temp;
  const std::string outside = root.write("OUTSIDE/far/away.xml", kOld);
  const std::string other = root.write("OUTSIDE/other.xml", kOld);
  const std::string document = root.path() + "/DOCUMENT";
  fs::create_directories(document + "/in");
  fs::create_symlink("../../OUTSIDE/far/away.xml", document + "/in/relative.xml");
  fs::create_symlink(document + "/in/relative.xml", document + "/chain.xml");  // a link to a link
  fs::create_symlink(other, document + "/absolute.xml");
  const ProgramRun result = testing::run_program(options_for(root.path(), temp.path(), "/"));
  EXPECT_EQ(result.exit_status, 0) << result.errors;
  // away.xml is listed twice (two links) and converted once: the second
  // time it needs nothing.
  EXPECT_EQ(result.output, testing::summary_lines(2, 2));
  EXPECT_EQ(testing::read_file(outside), kNew);
  EXPECT_EQ(testing::read_file(other), kNew);
  EXPECT_TRUE(fs::is_symlink(document + "/in/relative.xml"));
  EXPECT_TRUE(fs::is_symlink(document + "/chain.xml"));
  EXPECT_EQ(fs::read_symlink(document + "/chain.xml"), document + "/in/relative.xml");
  EXPECT_EQ(testing::list_tree(root.path() + "/OUTSIDE"),
            (std::vector<std::string>{"far", "far/away.xml", "other.xml"}));
}

TEST(HostileTest, EmptyInvoiceIsNotWritten) {
  ScratchFolder root;
  ScratchFolder temp;
  const std::string empty = root.write("DOCUMENT/empty.xml", "");
  testing::set_times(empty, 1'600'000'000, 700'000'000);
  const ino_t inode = testing::stat_of(empty).st_ino;
  const ProgramRun result = testing::run_program(options_for(root.path(), temp.path(), "/"));
  EXPECT_EQ(result.exit_status, 0) << result.errors;
  EXPECT_EQ(result.output, testing::summary_lines(0, 0));
  EXPECT_EQ(testing::stat_of(empty).st_size, 0);
  EXPECT_EQ(testing::stat_of(empty).st_ino, inode);
  EXPECT_EQ(testing::stat_of(empty).st_mtim.tv_sec, 1'600'000'000);
}

}  // namespace
}  // namespace invoice
