// End-to-end runs of the built program that keep the originals (--backup)
// and put them back (--restore), on real folder trees.

#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <filesystem>

#include "driver/messages.h"
#include "expected_output.h"
#include "sample_invoices.h"
#include "scratch.h"

namespace invoice {
namespace {

using testing::ProgramOptions;
using testing::ProgramRun;
using testing::ScratchFolder;

constexpr long long kSeconds = 1688548087;
constexpr long kNanoseconds = 123'456'789;

struct Original {
  std::string relative;  // below DOCUMENT
  std::string content;
  mode_t mode;
};

bool same_time(const timespec& a, long long seconds, long nanoseconds) {
  return a.tv_sec == seconds && a.tv_nsec == nanoseconds;
}

// A run with --backup into a new folder below `parent`, then two runs with
// --restore after one invoice was edited: the first puts back every other
// original with its content, times and mode, the second changes nothing.
void back_up_and_restore(const std::string& parent) {
  ScratchFolder root, temp;
  const std::string backup = parent + "/originals-" + std::to_string(::getpid());
  std::filesystem::remove_all(backup);
  const std::vector<Original> originals = {
      {"2011/02/F2011-0002.xml", testing::old_invoice(true), 0640},
      {"2011/02/F2011-0003.xml", testing::old_invoice(false), 0600},
      {"odd\tname\n.xml", testing::old_invoice(true), 0644},
      {"edited.xml", testing::old_invoice(true), 0644},
  };
  const std::string unchanged =
      root.write("DOCUMENT/current.xml", testing::converted(testing::old_invoice(true)));
  for (const Original& original : originals) {
    const std::string path = root.write("DOCUMENT/" + original.relative, original.content);
    ::chmod(path.c_str(), original.mode);
    testing::set_times(path, kSeconds, kNanoseconds);
  }
  ProgramOptions options;
  options.environment = testing::run_environment(root.path(), temp.path());
  options.arguments = {"--backup", backup};
  const ProgramRun run = testing::run_program(options);
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  EXPECT_NE(run.output.find(std::string(kKeptSummaryHead) + backup + ": 4"), std::string::npos)
      << run.output;
  EXPECT_FALSE(std::filesystem::exists(backup + "/current.xml"));
  EXPECT_EQ(testing::stat_of(backup).st_mode & 07777, 0700u);
  for (const Original& original : originals) {
    const std::string kept = backup + "/" + original.relative;
    const struct stat info = testing::stat_of(kept);
    EXPECT_TRUE(same_time(info.st_mtim, kSeconds, kNanoseconds)) << kept;
    EXPECT_EQ(info.st_mode & 07777, original.mode) << kept;
    EXPECT_EQ(testing::read_file(kept), original.content) << kept;
  }

  const std::string edited = root.path() + "/DOCUMENT/edited.xml";
  root.write("DOCUMENT/edited.xml", testing::read_file(edited) + "<!-- edited -->");
  const std::string edited_text = testing::read_file(edited);
  options.arguments = {"--restore", backup};
  for (int round = 0; round < 2; ++round) {
    const ino_t unchanged_inode = testing::stat_of(unchanged).st_ino;
    const ProgramRun restore = testing::run_program(options);
    EXPECT_EQ(restore.exit_status, 1);
    EXPECT_EQ(restore.errors, testing::failure_line(edited, kChangedSinceConversion));
    EXPECT_EQ(testing::read_file(edited), edited_text);
    EXPECT_EQ(testing::stat_of(unchanged).st_ino, unchanged_inode);
    for (const Original& original : originals) {
      if (original.relative == "edited.xml") continue;
      const std::string path = root.path() + "/DOCUMENT/" + original.relative;
      const struct stat info = testing::stat_of(path);
      EXPECT_TRUE(same_time(info.st_mtim, kSeconds, kNanoseconds)) << path;
      EXPECT_EQ(info.st_mode & 07777, original.mode) << path;
      EXPECT_EQ(testing::read_file(path), original.content) << path;
    }
  }
  std::filesystem::remove_all(backup);
}

TEST(BackupTest, RestoreAfterABackupBesideTheTree) {
  ScratchFolder scratch;
  back_up_and_restore(scratch.path());
}

// On another file system, where nothing can be cloned.
TEST(BackupTest, RestoreAfterABackupOnATmpfs) {
  struct statfs info {};
  if (::statfs("/dev/shm", &info) != 0 || info.f_type != TMPFS_MAGIC ||
      ::access("/dev/shm", W_OK) != 0) {
    GTEST_SKIP() << "/dev/shm is no writable tmpfs here";
  }
  back_up_and_restore("/dev/shm");
}

}  // namespace
}  // namespace invoice
