#include "driver/batch_run.h"

#include <gtest/gtest.h>

#include "driver/file_list.h"
#include "driver/time_stamp.h"
#include "expected_output.h"
#include "fake_platform.h"

namespace invoice {
namespace {

using testing::failure_line;
using testing::FakePlatform;
using Kind = Status::Kind;

const std::string kUpgradable =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<SchemaVersion>3.0</SchemaVersion>\r\n";
const std::string kCodePage850 =
    "<?xml version=\"1.0\" encoding=\"ibm850\"?>\r\n<Name>Caf\x82 \xD5</Name>\r\n";
const std::string kBoth =
    "<?xml version=\"1.0\" encoding=\"ibm850\"?>\r\n<SchemaVersion>3.0</SchemaVersion>"
    "<Name>\x82</Name>\r\n";
const std::string kCurrent =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<SchemaVersion>3.2.1</SchemaVersion>\r\n";

class BatchRunTest : public ::testing::Test {
 protected:
  FakePlatform platform;
  Console console{platform};
  BatchRun run{platform, console};

  std::vector<std::string> operations_on(const std::string& path) const {
    std::vector<std::string> out;
    for (const std::string& entry : platform.log) {
      const std::size_t blank = entry.find(' ');
      if (entry.substr(blank + 1) == path) out.push_back(entry.substr(0, blank));
    }
    return out;
  }
};

TEST_F(BatchRunTest, UnchangedFileIsNotWrittenButItsTimesAreRestored) {
  auto& file = platform.add_file("/D/a.xml", kCurrent);
  file.modified = {1688548087, 999'000'000};
  run.process_invoice_file("/D/a.xml");
  EXPECT_EQ(operations_on("/D/a.xml"),
            (std::vector<std::string>{"stamp", "open", "load", "close", "restamp"}));
  EXPECT_EQ(file.content, kCurrent);
  EXPECT_EQ(file.modified, (FileTime{1688548087, 0}));
  EXPECT_EQ(file.accessed, (FileTime{1688548087, 0}));
  EXPECT_EQ(run.upgrade_count(), 0);
  EXPECT_EQ(run.code_page_count(), 0);
}

TEST_F(BatchRunTest, EachConversionWritesAndCountsOnce) {
  platform.add_file("/D/up.xml", kUpgradable);
  platform.add_file("/D/cp.xml", kCodePage850);
  run.process_invoice_file("/D/up.xml");
  run.process_invoice_file("/D/cp.xml");
  EXPECT_EQ(platform.logged("replace").size(), 2u);
  EXPECT_EQ(run.upgrade_count(), 1);
  EXPECT_EQ(run.code_page_count(), 1);
  EXPECT_NE(platform.files["/D/up.xml"].content.find("<SchemaVersion>3.2.1</SchemaVersion>"),
            std::string::npos);
  EXPECT_EQ(
      platform.files["/D/cp.xml"].content,
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Name>Caf\xC3\xA9 \xE2\x82\xAC</Name>\r\n");
}

TEST_F(BatchRunTest, DocumentNeedingBothIsWrittenTwiceAndRestampedAfterClosing) {
  auto& file = platform.add_file("/D/both.xml", kBoth);
  file.modified = {1688548087, 5};
  run.process_invoice_file("/D/both.xml");
  EXPECT_EQ(operations_on("/D/both.xml"),
            (std::vector<std::string>{"stamp", "open", "load", "replace", "replace", "close",
                                      "restamp"}));
  EXPECT_EQ(run.upgrade_count(), 1);
  EXPECT_EQ(run.code_page_count(), 1);
  EXPECT_EQ(file.content,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<SchemaVersion>3.2.1</SchemaVersion>"
            "<Name>\xC3\xA9</Name>\r\n");
  EXPECT_EQ(file.modified, (FileTime{1688548087, 0}));
}

TEST_F(BatchRunTest, FailedFilesAreReportedLeftAloneAndNotCounted) {
  platform.add_file("/D/locked.xml", kUpgradable).locked = true;
  platform.add_file("/D/readonly.xml", kUpgradable).writable = false;
  platform.add_file("/D/full.xml", kCodePage850);
  platform.failing_replacements["/D/full.xml"] = 0;
  platform.add_folder("/D/folder.xml");
  const FakePlatform::File before = platform.files["/D/readonly.xml"];

  for (const char* path :
       {"/D/locked.xml", "/D/readonly.xml", "/D/full.xml", "/D/missing.xml", "/D/folder.xml", ""}) {
    run.process_invoice_file(path);
  }
  EXPECT_EQ(run.upgrade_count(), 0);
  EXPECT_EQ(run.code_page_count(), 0);
  EXPECT_EQ(run.failure_count(), 6);
  EXPECT_EQ(platform.files["/D/locked.xml"].content, kUpgradable);
  EXPECT_EQ(platform.files["/D/readonly.xml"].content, kUpgradable);
  EXPECT_EQ(platform.files["/D/readonly.xml"].modified, before.modified);
  EXPECT_EQ(platform.files["/D/full.xml"].content, kCodePage850);
  // Nothing is created, and no failed file gets new times.
  EXPECT_EQ(platform.files.count("/D/missing.xml"), 0u);
  EXPECT_EQ(platform.files.count(""), 0u);
  EXPECT_TRUE(platform.logged("restamp").empty());
  EXPECT_EQ(platform.errors, failure_line("/D/locked.xml", kCannotOpen, Kind::kLocked) +
                                 testing::read_only_line("/D/readonly.xml") +
                                 failure_line("/D/full.xml", kCannotSave, Kind::kNoSpace) +
                                 failure_line("/D/missing.xml", kCannotOpen, Kind::kNotFound) +
                                 failure_line("/D/folder.xml", kCannotOpen, Kind::kNotRegular) +
                                 failure_line("", kCannotOpen, Kind::kNotFound));
}

TEST_F(BatchRunTest, FailedFirstWriteStopsTheCycle) {
  auto& file = platform.add_file("/D/both.xml", kBoth);
  platform.failing_replacements["/D/both.xml"] = 0;
  run.process_invoice_file("/D/both.xml");
  EXPECT_EQ(run.upgrade_count(), 0);
  EXPECT_EQ(run.code_page_count(), 0);
  EXPECT_EQ(platform.logged("replace").size(), 1u);  // no second attempt after a failure
  EXPECT_EQ(file.content, kBoth);
  EXPECT_TRUE(platform.logged("restamp").empty());
}

TEST_F(BatchRunTest, FailedSecondWriteKeepsTheFirstItsCountAndTheTimes) {
  auto& file = platform.add_file("/D/both.xml", kBoth);
  file.modified = {1688548087, 5};
  platform.failing_replacements["/D/both.xml"] = 1;
  run.process_invoice_file("/D/both.xml");
  EXPECT_EQ(run.upgrade_count(), 1);
  EXPECT_EQ(run.code_page_count(), 0);
  EXPECT_EQ(run.failure_count(), 1);
  EXPECT_EQ(file.content,
            "<?xml version=\"1.0\" encoding=\"ibm850\"?>\r\n<SchemaVersion>3.2.1</SchemaVersion>"
            "<Name>\x82</Name>\r\n");
  // The upgraded file was written, so it gets its time back all the same.
  EXPECT_EQ(file.modified, (FileTime{1688548087, 0}));
}

TEST(RunBatchTest, NoInvoicesPrintsTheMessagesAnEmptyRowAndZeroCounts) {
  FakePlatform platform;
  platform.environment["MORROOT"] = "/M/";
  platform.add_folder("/M/DOCUMENT");
  platform.add_folder("/tmp");
  EXPECT_EQ(run_batch(platform), 0);
  EXPECT_EQ(platform.output, testing::summary_lines(0, 0));
  EXPECT_EQ(platform.errors, "");
  EXPECT_EQ(platform.files.size(), 0u);  // the file list is gone
}

TEST(RunBatchTest, ConvertsTheTreeThroughAnExclusiveFileList) {
  FakePlatform platform;
  platform.environment["MORROOT"] = "/M";
  platform.environment["TEMP"] = "/T";
  platform.add_folder("/T");
  platform.add_file("/M/DOCUMENT/a.xml", kUpgradable);
  platform.add_file("/M/DOCUMENT/sub/b.XML", kBoth);
  platform.add_file("/M/DOCUMENT/sub/c.xml", kCurrent);
  platform.add_file("/M/DOCUMENT/sub/d.txt", kBoth);
  // The first name the draw gives is taken: it must be kept and another drawn.
  FileListDraw draw(platform.clock_milliseconds);
  const std::string taken = make_file_list_name("/T", draw.next());
  platform.add_file(taken, "someone else's");

  EXPECT_EQ(run_batch(platform), 0);
  EXPECT_EQ(platform.files[taken].content, "someone else's");
  EXPECT_EQ(platform.logged("create").size(), 2u);
  EXPECT_EQ(platform.logged("open"),
            (std::vector<std::string>{"open /M/DOCUMENT/a.xml", "open /M/DOCUMENT/sub/b.XML",
                                      "open /M/DOCUMENT/sub/c.xml"}));
  EXPECT_EQ(platform.files["/M/DOCUMENT/sub/d.txt"].content, kBoth);
  EXPECT_EQ(platform.files.size(), 5u);  // the list was removed, nothing added
  EXPECT_EQ(platform.output, testing::summary_lines(2, 1));
}

TEST(RunBatchTest, FailuresMakeTheExitStatusOneAfterTheSummary) {
  FakePlatform platform;
  platform.environment["MORROOT"] = "/M/";
  platform.add_folder("/tmp");
  platform.add_file("/M/DOCUMENT/a.xml", kUpgradable);
  platform.add_file("/M/DOCUMENT/b.xml", kUpgradable).locked = true;
  EXPECT_EQ(run_batch(platform), 1);
  EXPECT_EQ(platform.errors, failure_line("/M/DOCUMENT/b.xml", kCannotOpen, Kind::kLocked));
  EXPECT_EQ(platform.output, testing::summary_lines(1, 0));
}

TEST(RunBatchTest, UnwritableTempOrMissingDocumentFolderIsReported) {
  {
    FakePlatform platform;  // no /tmp folder: the list cannot be created
    platform.environment["MORROOT"] = "/M/";
    platform.add_file("/M/DOCUMENT/a.xml", kUpgradable);
    EXPECT_EQ(run_batch(platform), 1);
    EXPECT_NE(platform.errors.find(kCannotCreateList), std::string::npos);
    EXPECT_EQ(platform.files["/M/DOCUMENT/a.xml"].content, kUpgradable);
    EXPECT_EQ(platform.output, testing::summary_lines(0, 0));
  }
  {
    FakePlatform platform;
    platform.environment["MORROOT"] = "/M/";
    platform.add_folder("/tmp");
    EXPECT_EQ(run_batch(platform), 1);
    EXPECT_EQ(platform.errors, failure_line("/M/DOCUMENT", describe_kind(Kind::kNotFound)));
    EXPECT_EQ(platform.files.size(), 0u);
  }
  {
    FakePlatform platform;
    platform.environment["MORROOT"] = "/M/";
    platform.add_folder("/tmp");
    platform.add_file("/M/DOCUMENT", "a plain file");
    EXPECT_EQ(run_batch(platform), 1);
    EXPECT_EQ(platform.errors, failure_line("/M/DOCUMENT", describe_kind(Kind::kNotAFolder)));
    EXPECT_EQ(platform.files.size(), 1u);
  }
}

TEST(RunBatchTest, FilesThatChangeBetweenTheListingAndTheirTurn) {
  FakePlatform platform;
  platform.environment["MORROOT"] = "/M/";
  platform.add_folder("/tmp");
  for (const char* name : {"a-removed", "b-folder", "c-replaced", "d-locked", "e-fine"}) {
    platform.add_file("/M/DOCUMENT/" + std::string(name) + ".xml", kUpgradable);
  }
  // Once the list is written and opened for reading, another program acts.
  platform.on_log = [&](const std::string& entry) {
    if (entry.rfind("read /tmp/", 0) != 0) return;
    platform.files.erase("/M/DOCUMENT/a-removed.xml");
    platform.files.erase("/M/DOCUMENT/b-folder.xml");
    platform.add_folder("/M/DOCUMENT/b-folder.xml");
    platform.files["/M/DOCUMENT/c-replaced.xml"].content = kCodePage850;
    platform.files["/M/DOCUMENT/d-locked.xml"].locked = true;
  };
  EXPECT_EQ(run_batch(platform), 1);
  EXPECT_EQ(platform.errors,
            failure_line("/M/DOCUMENT/a-removed.xml", kCannotOpen, Kind::kNotFound) +
                failure_line("/M/DOCUMENT/b-folder.xml", kCannotOpen, Kind::kNotRegular) +
                failure_line("/M/DOCUMENT/d-locked.xml", kCannotOpen, Kind::kLocked));
  // What stands at the path when its turn comes is what gets converted; nothing
  // is created where a file vanished.
  EXPECT_EQ(platform.files.count("/M/DOCUMENT/a-removed.xml"), 0u);
  EXPECT_EQ(
      platform.files["/M/DOCUMENT/c-replaced.xml"].content,
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Name>Caf\xC3\xA9 \xE2\x82\xAC</Name>\r\n");
  EXPECT_EQ(platform.files["/M/DOCUMENT/d-locked.xml"].content, kUpgradable);
  EXPECT_NE(platform.files["/M/DOCUMENT/e-fine.xml"].content, kUpgradable);
  EXPECT_EQ(platform.output, testing::summary_lines(1, 1));
}

TEST(RunBatchTest, DryRunReportsWhatTheRunThenDoesAndWritesNothing) {
  FakePlatform platform;
  platform.environment["MORROOT"] = "/M/";
  platform.add_folder("/tmp");
  platform.add_file("/M/DOCUMENT/a.xml", kUpgradable);
  platform.add_file("/M/DOCUMENT/b.xml", kCodePage850);
  platform.add_file("/M/DOCUMENT/2011/c.XML", kBoth);
  platform.add_file("/M/DOCUMENT/2011/d.xml", kCurrent).writable = false;
  platform.add_file("/M/DOCUMENT/2011/e.xml", kBoth).writable = false;
  platform.add_file("/M/DOCUMENT/2011/f.xml", kUpgradable).locked = true;
  platform.add_file("/M/DOCUMENT/g.txt", kUpgradable);
  platform.add_file("/M/DOCUMENT/.invoice-converter.0123456789ab.tmp", "killed run's");
  platform.add_folder_link("/M/DOCUMENT/linked");
  const std::map<std::string, FakePlatform::File> before = platform.files;

  RunOptions options;
  options.dry_run = true;
  EXPECT_EQ(run_batch(platform, options), 1);
  for (const auto& [path, file] : before) {
    EXPECT_EQ(platform.files[path].content, file.content) << path;
    EXPECT_EQ(platform.files[path].modified, file.modified) << path;
    EXPECT_EQ(platform.files[path].accessed, file.accessed) << path;
  }
  EXPECT_EQ(platform.files.size(), before.size());
  for (const char* writing : {"replace", "restamp", "clean"}) {
    EXPECT_EQ(platform.logged(writing), std::vector<std::string>()) << writing;
  }
  const std::string both_line = std::string(kDryRunConvertedHead) + "/M/DOCUMENT/2011/c.XML" +
                                std::string(kChangeSeparator) + std::string(kUpgradeStep) +
                                std::string(kStepJoin) + std::string(kCodePageStep) + "\n";
  EXPECT_NE(platform.output.find(both_line), std::string::npos) << platform.output;
  EXPECT_NE(platform.output.find(std::string(kDryRunSummaryHead) + "2" +
                                 std::string(kUpgradeSummaryTail)),
            std::string::npos);
  const std::string dry_output = platform.output, dry_errors = platform.errors;

  platform.output.clear();
  platform.errors.clear();
  options.dry_run = false;
  options.verbose = true;
  EXPECT_EQ(run_batch(platform, options), 1);
  EXPECT_EQ(testing::as_run_report(dry_output), platform.output);
  EXPECT_EQ(dry_errors, platform.errors);
  EXPECT_EQ(platform.files.count("/M/DOCUMENT/.invoice-converter.0123456789ab.tmp"), 0u);
}

}  // namespace
}  // namespace invoice
