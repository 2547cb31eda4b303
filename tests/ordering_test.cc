// The order in which the program makes its replacements durable, read from
// the system calls of a real run recorded by strace: every replacement's
// bytes reach the disk before its rename, and every rename reaches the disk
// before the run prints its summary.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "sample_invoices.h"
#include "scratch.h"

extern char** environ;

namespace invoice {
namespace {

// Runs `argv` with exactly `environment`, standard output and error to
// /dev/null; its exit status, or -1.
int run_quietly(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool is_replacement(const std::string& path) {
  return path.find("/.invoice-converter.") != std::string::npos;
}

// What the recorded calls say, in the order they were made (the index of
// the line in the record).
struct Record {
  std::map<std::string, std::size_t> last_write;  // replacement path
  // Flushes: of one file or folder (its path), or of a whole file system
  // (an empty path: syncfs, sync).
  std::vector<std::pair<std::size_t, std::string>> flushes;
  struct Rename {
    std::size_t at;
    std::string from;
    std::string folder;
    std::string to;  // the new name's path
  };
  std::vector<Rename> renames;
  std::size_t summary = 0;  // the first write of the summary
};

// Reads a record of `strace -f -y -s 100`: descriptors come with their
// paths, "5</tmp/x/DOCUMENT>".
Record read_record(const std::string& path) {
  // A copy's bytes come by write, by copy_file_range (the third argument
  // is the copy) or by a clone (ioctl FICLONE on the copy).
  static const std::regex kWrite(
      R"re(\b(?:(?:write|pwrite64|writev|ioctl)\(|copy_file_range\(\d+<[^>]*>, [^,]*, )\d+<([^>]*)>)re");
  static const std::regex kFileFlush(R"re(\b(?:fsync|fdatasync)\(\d+<([^>]*)>.*= 0$)re");
  static const std::regex kSystemFlush(R"re(\b(?:syncfs\(\d+<[^>]*>|sync\(\)).*= 0$)re");
  static const std::regex kRename(
      R"re(\brenameat2?\(\d+<([^>]*)>, "([^"]*)", \d+<([^>]*)>, "([^"]*)".*= 0$)re");
  static const std::regex kSummary(R"re(\bwrite\(1<[^>]*>, ".*Convertits correctament)re");
  Record record;
  std::ifstream in(path);
  std::string line;
  std::smatch match;
  for (std::size_t at = 1; std::getline(in, line); ++at) {
    if (std::regex_search(line, match, kWrite) &&
        (is_replacement(match[1]) || match[1].str().ends_with("/MANIFEST.tsv"))) {
      record.last_write[match[1]] = at;
    } else if (std::regex_search(line, match, kFileFlush)) {
      record.flushes.emplace_back(at, match[1]);
    } else if (std::regex_search(line, kSystemFlush)) {
      record.flushes.emplace_back(at, "");
    } else if (std::regex_search(line, match, kRename)) {
      record.renames.push_back({at, std::string(match[1]) + "/" + std::string(match[2]), match[3],
                                std::string(match[3]) + "/" + std::string(match[4])});
    } else if (record.summary == 0 && std::regex_search(line, kSummary)) {
      record.summary = at;
    }
  }
  return record;
}

// True when a flush of `path` (or of its whole file system) lies strictly
// between the lines `after` and `before`.
bool flushed_between(const Record& record, const std::string& path, std::size_t after,
                     std::size_t before) {
  for (const auto& [at, flushed] : record.flushes) {
    if (at > after && at < before && (flushed.empty() || flushed == path)) return true;
  }
  return false;
}

// Whether the file that `rename` renamed was written and then flushed
// before the rename.
::testing::AssertionResult flushed_before_rename(const Record& record,
                                                 const Record::Rename& rename) {
  const auto written = record.last_write.find(rename.from);
  if (written == record.last_write.end()) {
    return ::testing::AssertionFailure() << "renamed without a recorded write";
  }
  if (!flushed_between(record, rename.from, written->second, rename.at)) {
    return ::testing::AssertionFailure() << "not flushed between its last write and its rename";
  }
  return ::testing::AssertionSuccess();
}

// True when strace may trace a program here.
bool can_trace() {
  return run_quietly({"strace", "-o", "/dev/null", "true"}, {"PATH=/usr/bin:/bin"}) == 0;
}

// A tree of `count` invoices that need both steps, in four folders below
// `root`'s DOCUMENT.
void write_tree(const testing::ScratchFolder& root, int count) {
  for (int i = 0; i < count; ++i) {
    root.write("DOCUMENT/" + std::to_string(i % 4) + "/" + std::to_string(i) + ".xml",
               testing::old_invoice());
  }
}

// The calls of a run of the program over `root` with `arguments`, which must
// succeed. LeakSanitizer cannot work in a traced process and would fail the
// run of a sanitized build; leaks are looked for in every other test.
Record trace_run(const testing::ScratchFolder& root, const testing::ScratchFolder& temp,
                 const std::vector<std::string>& arguments) {
  const std::string log = temp.path() + "/calls";
  std::vector<std::string> command = {"strace", "-f", "-y", "-s",
                                      "100",    "-o", log,  INVOICE_PROGRAM};
  command.insert(command.end(), arguments.begin(), arguments.end());
  EXPECT_EQ(
      run_quietly(command,
                  {"MORROOT=" + root.path(), "TEMP=" + temp.path(), "ASAN_OPTIONS=detect_leaks=0",
                   std::string("INVOICE_STYLESHEET_HOST=") + testing::kStylesheetHost}),
      0);
  Record record = read_record(log);
  ::unlink(log.c_str());
  return record;
}

TEST(OrderingTest, EveryReplacementIsFlushedBeforeItsRenameAndEveryRenameBeforeTheSummary) {
  if (!can_trace()) GTEST_SKIP() << "strace is missing or this system does not let it trace";
  testing::ScratchFolder root;
  testing::ScratchFolder temp;
  // Several groups' worth of replacements, in a few folders.
  constexpr int kInvoices = 300;
  write_tree(root, kInvoices);
  const Record record = trace_run(root, temp, {});
  ASSERT_NE(record.summary, 0u) << "no summary in the record";
  // Each invoice is replaced twice: upgraded, then converted to UTF-8.
  ASSERT_EQ(record.renames.size(), 2u * kInvoices);
  for (const Record::Rename& rename : record.renames) {
    SCOPED_TRACE(rename.from);
    EXPECT_TRUE(flushed_before_rename(record, rename));
    EXPECT_TRUE(flushed_between(record, rename.folder, rename.at, record.summary))
        << "its folder not flushed between the rename and the summary";
  }
}

TEST(OrderingTest, EveryKeptOriginalAndItsRecordAreFlushedBeforeItsInvoiceIsRenamed) {
  if (!can_trace()) GTEST_SKIP() << "strace is missing or this system does not let it trace";
  testing::ScratchFolder root;
  testing::ScratchFolder temp;
  testing::ScratchFolder backup_parent;
  const std::string backup = backup_parent.path() + "/originals";
  constexpr int kInvoices = 100;
  write_tree(root, kInvoices);
  const Record record = trace_run(root, temp, {"--backup", backup});
  const std::string manifest = backup + "/MANIFEST.tsv";
  const auto manifest_written = record.last_write.find(manifest);
  ASSERT_NE(manifest_written, record.last_write.end()) << "the manifest was never written";
  std::map<std::string, const Record::Rename*> kept;  // by the invoice's path below DOCUMENT
  for (const Record::Rename& rename : record.renames) {
    if (rename.to.starts_with(backup + "/")) kept[rename.to.substr(backup.size() + 1)] = &rename;
  }
  ASSERT_EQ(kept.size(), static_cast<std::size_t>(kInvoices));
  for (const Record::Rename& rename : record.renames) {
    if (!rename.to.starts_with(root.path() + "/DOCUMENT/")) continue;
    const std::string relative = rename.to.substr(root.path().size() + 10);
    SCOPED_TRACE(relative);
    const auto copy = kept.find(relative);
    ASSERT_NE(copy, kept.end()) << "replaced without a kept original";
    const Record::Rename& named = *copy->second;
    EXPECT_TRUE(flushed_before_rename(record, named)) << "the kept copy";
    EXPECT_TRUE(flushed_between(record, named.folder, named.at, rename.at))
        << "the copy's folder not flushed before the invoice's rename";
    EXPECT_TRUE(flushed_between(record, manifest, named.at, rename.at))
        << "the manifest not flushed before the invoice's rename";
  }
}

}  // namespace
}  // namespace invoice
