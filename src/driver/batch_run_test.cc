#include "driver/batch_run.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string_view>

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
const std::string kHalfStructure =
    "<?xml version=\"1.0\" encoding=\"ibm850\"?>\r\n<SchemaVersion>3.0</SchemaVersion><Parties>"
    "</BuyerParty>\r\n<Invoices>\x82</Invoices>\t</Parties>";
const std::string kUtf8Declared850 =
    "<?xml version=\"1.0\" encoding=\"ibm850\"?>\r\n<Name>Jos\xC3\xA9</Name>\r\n";
const std::string kLocalStylesheet =
    "<?xml-stylesheet type=\"text/xsl\" href=\"/MORVEL/XSL/FACTURA.XSL\"?>\r\n";
const std::string kSignature =
    "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"></ds:Signature>\r\n";

// What the run did to `path`, in order: the first word of each log entry
// that names it.
std::vector<std::string> operations_on(const FakePlatform& platform, const std::string& path) {
  std::vector<std::string> out;
  for (const std::string& entry : platform.log) {
    const std::size_t blank = entry.find(' ');
    if (entry.substr(blank + 1) == path) out.push_back(entry.substr(0, blank));
  }
  return out;
}

// A fake with the tree's root at /M and the temporary folder that takes the
// file list: where a whole run starts.
FakePlatform make_run_place() {
  FakePlatform platform;
  platform.environment["MORROOT"] = "/M/";
  platform.add_folder("/tmp");
  return platform;
}

// The run's counts: files upgraded, converted and failed.
void expect_counts(const InvoiceCycle& run, std::int64_t upgraded, std::int64_t converted,
                   std::int64_t failed) {
  EXPECT_EQ(run.upgrade_count(), upgraded);
  EXPECT_EQ(run.code_page_count(), converted);
  EXPECT_EQ(run.failure_count(), failed);
}

// The file at `path` holds `content` and, when `written` is given, has that
// last-write time.
void expect_file(const FakePlatform& platform, const std::string& path, std::string_view content,
                 std::optional<FileTime> written = std::nullopt) {
  auto it = platform.files.find(path);
  ASSERT_NE(it, platform.files.end()) << path;
  EXPECT_EQ(it->second.content, content) << path;
  if (written) {
    EXPECT_EQ(it->second.modified, *written) << path;
  }
}

class BatchRunTest : public ::testing::Test {
 protected:
  FakePlatform platform;
  Console console{platform};
  InvoiceCycle run{platform, console};

  // One file's cycle and the durable end of its group.
  void process(const std::string& path) {
    run.process_invoice_file(path);
    run.finish_group();
  }
};

// A file only read keeps all its times, change time included, in a run and
// a dry run; a replaced one carries the original's to the nanosecond; no
// time is set after the rename, so an edit made right then keeps its own;
// a failed rename is one line.
TEST(BatchRunTimesTest, TimesAreKeptExactlyAndNothingIsSetAfterTheRename) {
  const FileTime written{1688548087, 999'999'999}, read{1'700'000'000, 1};
  const FileTime edited{1'800'000'000, 42};
  const auto edit_after_rename = [&](FakePlatform& platform) {
    platform.on_log = [&platform, edited](const std::string& entry) {
      if (entry != "flushdir /D") return;
      FakePlatform::File& file = platform.files["/D/a.xml"];
      file.content += "<!-- edited -->";
      file.modified = file.accessed = edited;
      ++file.changes;
    };
  };
  const struct {
    const char* name;
    std::string content;
    bool dry_run;
    std::function<void(FakePlatform&)> prepare;
    bool replaced;
    FileTime modified, accessed;
    int changes;
    std::string errors;
  } cases[] = {
      {"unchanged", kCurrent, false, {}, false, written, read, 0, ""},
      {"unchanged, dry run", kCurrent, true, {}, false, written, read, 0, ""},
      {"needs both steps, dry run", kBoth, true, {}, false, written, read, 0, ""},
      {"replaced twice", kBoth, false, {}, true, written, read, 2, ""},
      {"edited right after the rename", kUpgradable, false, edit_after_rename, true, edited, edited,
       2, ""},
      {"second rename fails", kBoth, false,
       [](FakePlatform& platform) { platform.failing_renames["/D/a.xml"] = 1; }, true, written,
       read, 1, failure_line("/D/a.xml", kCannotSaveConversion, Kind::kChanged)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform;
    FakePlatform::File& file = platform.add_file("/D/a.xml", c.content);
    file.modified = written;
    file.accessed = read;
    if (c.prepare) c.prepare(platform);
    Console console(platform);
    RunOptions options;
    options.dry_run = c.dry_run;
    InvoiceCycle run(platform, console, options);
    run.process_invoice_file("/D/a.xml");
    run.finish_group();
    EXPECT_EQ(file.content != c.content, c.replaced);
    EXPECT_EQ(file.modified, c.modified);
    EXPECT_EQ(file.accessed, c.accessed);
    EXPECT_EQ(file.changes, c.changes);
    EXPECT_EQ(platform.errors, c.errors);
    EXPECT_TRUE(platform.logged("restamp").empty());
  }
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
    process(path);
  }
  expect_counts(run, 0, 0, 6);
  expect_file(platform, "/D/locked.xml", kUpgradable);
  expect_file(platform, "/D/readonly.xml", kUpgradable, before.modified);
  expect_file(platform, "/D/full.xml", kCodePage850);
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

// Each conversion is written and counted once, a document that needs both
// steps twice before it is closed; a failed first write stops the cycle, a
// failed second one keeps the first write, its count and the original's time.
TEST(BatchRunCycleTest, EachStepIsWrittenAndCountedOnceOrItsFailureReported) {
  const FileTime written{1688548087, 5};
  const std::string upgraded =
      "<?xml version=\"1.0\" encoding=\"ibm850\"?>\r\n<SchemaVersion>3.2.1</SchemaVersion>"
      "<Name>\x82</Name>\r\n";
  const std::string both =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<SchemaVersion>3.2.1</SchemaVersion>"
      "<Name>\xC3\xA9</Name>\r\n";
  const struct {
    const char* name;
    std::string original;
    std::optional<int> failing_replacement;
    std::string operations;  // on the file, in order
    std::int64_t upgraded, converted, failed;
    std::string content, errors;
  } cases[] = {
      {"upgrade only", kUpgradable, std::nullopt, "open load stage flush replace close", 1, 0, 0,
       kCurrent, ""},
      {"code page only", kCodePage850, std::nullopt, "open load stage flush replace close", 0, 1, 0,
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Name>Caf\xC3\xA9 \xE2\x82\xAC</Name>\r\n",
       ""},
      {"both written", kBoth, std::nullopt, "open load stage stage flush replace replace close", 1,
       1, 0, both, ""},
      {"first write fails", kBoth, 0, "open load stage close", 0, 0, 1, kBoth,
       failure_line("/D/a.xml", kCannotSave, Kind::kNoSpace)},
      {"second write fails", kBoth, 1, "open load stage stage flush replace close", 1, 0, 1,
       upgraded, failure_line("/D/a.xml", kCannotSaveConversion, Kind::kNoSpace)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform;
    platform.add_file("/D/a.xml", c.original).modified = written;
    if (c.failing_replacement) platform.failing_replacements["/D/a.xml"] = *c.failing_replacement;
    Console console(platform);
    InvoiceCycle run(platform, console);
    run.process_invoice_file("/D/a.xml");
    run.finish_group();
    std::string operations;
    for (const std::string& operation : operations_on(platform, "/D/a.xml")) {
      operations += (operations.empty() ? "" : " ") + operation;
    }
    EXPECT_EQ(operations, c.operations);
    expect_counts(run, c.upgraded, c.converted, c.failed);
    expect_file(platform, "/D/a.xml", c.content, written);
    EXPECT_EQ(platform.errors, c.errors);
    EXPECT_TRUE(platform.logged("restamp").empty());
  }
}

TEST(RunBatchTest, NoInvoicesPrintsTheMessagesAnEmptyRowAndZeroCounts) {
  FakePlatform platform = make_run_place();
  platform.add_folder("/M/DOCUMENT");
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
  const std::string taken = "/T/8897470.TMP";  // the first draw at 12:34:56.789
  platform.add_file(taken, "someone else's");

  EXPECT_EQ(run_batch(platform), 0);
  expect_file(platform, taken, "someone else's");
  EXPECT_EQ(platform.logged("create").size(), 2u);
  EXPECT_EQ(platform.logged("open"),
            (std::vector<std::string>{"open /M/DOCUMENT/a.xml", "open /M/DOCUMENT/sub/b.XML",
                                      "open /M/DOCUMENT/sub/c.xml"}));
  expect_file(platform, "/M/DOCUMENT/sub/d.txt", kBoth);
  EXPECT_EQ(platform.files.size(), 5u);  // the list was removed, nothing added
  EXPECT_EQ(platform.output, testing::summary_lines(2, 1));
}

TEST(RunBatchTest, FilesThatChangeBetweenTheListingAndTheirTurn) {
  FakePlatform platform = make_run_place();
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
  expect_file(
      platform, "/M/DOCUMENT/c-replaced.xml",
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Name>Caf\xC3\xA9 \xE2\x82\xAC</Name>\r\n");
  expect_file(platform, "/M/DOCUMENT/d-locked.xml", kUpgradable);
  EXPECT_NE(platform.files["/M/DOCUMENT/e-fine.xml"].content, kUpgradable);
  EXPECT_EQ(platform.output, testing::summary_lines(1, 1));
}

// A tree with signed invoices that need each step, one that needs none, and
// an unsigned one that only mentions the signature namespace.
FakePlatform make_signed_tree() {
  FakePlatform platform = make_run_place();
  platform.add_file("/M/DOCUMENT/a-up.xml", kUpgradable + kSignature);
  platform.add_file("/M/DOCUMENT/b-both.xml", kBoth + kSignature).modified = {1688548087, 5};
  platform.add_file("/M/DOCUMENT/c-current.xml", kCurrent + kSignature);
  platform.add_file("/M/DOCUMENT/d-cp.xml",
                    kCodePage850 + "<!-- http://www.w3.org/2000/09/xmldsig# -->");
  return platform;
}

TEST(RunBatchTest, SignedInvoicesThatWouldChangeAreKeptWithANotice) {
  FakePlatform platform = make_signed_tree();
  platform.files["/M/DOCUMENT/a-up.xml"].writable = false;  // nothing to write, so no failure
  platform.terminal = true;
  EXPECT_EQ(run_batch(platform), 0);
  EXPECT_EQ(platform.errors, testing::notice_line("/M/DOCUMENT/a-up.xml", kSignedKeptNotice) +
                                 testing::notice_line("/M/DOCUMENT/b-both.xml", kSignedKeptNotice));
  EXPECT_EQ(platform.files["/M/DOCUMENT/a-up.xml"].content, kUpgradable + kSignature);
  EXPECT_EQ(platform.files["/M/DOCUMENT/b-both.xml"].content, kBoth + kSignature);
  EXPECT_EQ(platform.files["/M/DOCUMENT/c-current.xml"].content, kCurrent + kSignature);
  // Kept files keep their times like any file that needs no change.
  EXPECT_EQ(platform.files["/M/DOCUMENT/b-both.xml"].modified, (FileTime{1688548087, 5}));
  EXPECT_EQ(platform.files["/M/DOCUMENT/b-both.xml"].changes, 0);
  EXPECT_EQ(platform.logged("replace"), (std::vector<std::string>{"replace /M/DOCUMENT/d-cp.xml"}));
  // Each notice stands on a row of its own, after the progress row it ended.
  EXPECT_NE(platform.output.find("/M/DOCUMENT/a-up.xml        \n\r/M/DOCUMENT/b-both.xml"),
            std::string::npos);
  EXPECT_NE(platform.output.find(testing::summary_line(0, kUpgradeSummaryTail)), std::string::npos);
  EXPECT_NE(platform.output.find(testing::summary_line(1, kCodePageSummaryTail)),
            std::string::npos);
}

TEST(RunBatchTest, ConvertSignedConvertsThemWithANoticeEach) {
  FakePlatform platform = make_signed_tree();
  RunOptions options;
  options.convert_signed = true;
  EXPECT_EQ(run_batch(platform, options), 0);
  EXPECT_EQ(platform.errors,
            testing::notice_line("/M/DOCUMENT/a-up.xml", kSignedConvertedNotice) +
                testing::notice_line("/M/DOCUMENT/b-both.xml", kSignedConvertedNotice));
  EXPECT_EQ(platform.logged("replace").size(), 4u);  // b-both twice
  EXPECT_EQ(platform.files["/M/DOCUMENT/c-current.xml"].content, kCurrent + kSignature);
  EXPECT_EQ(platform.output, testing::summary_lines(2, 2));
}

TEST(RunBatchTest, StopOutputFailureTempAndDocumentFolderFaults) {
  const struct {
    const char* name;
    std::function<void(FakePlatform&)> arrange;
    int status;
    std::string errors;
    std::size_t converted;
    std::string stylesheet_host = "";
  } cases[] = {
      {"asked to stop during the first file",
       [](FakePlatform& platform) {
         platform.on_log = [&platform](const std::string& entry) {
           if (entry == "load /M/DOCUMENT/a.xml") platform.stop_status = 143;
         };
       },
       143, "", 1},
      {"standard output fails",
       [](FakePlatform& platform) {
         platform.output_failure = Status::error(Status::Kind::kNoSpace);
       },
       1,
       std::string(kFailureHead) + std::string(kCannotWriteOutput) +
           std::string(describe_kind(Status::Kind::kNoSpace)) + "\n",
       2},
      {"temporary folder shared without the sticky bit",
       [](FakePlatform& platform) { platform.shared_folders.insert("/tmp"); }, 0,
       testing::notice_line("/tmp", kSharedTempNotice), 2},
      {"root and document folder that others may swap",
       [](FakePlatform& platform) {
         platform.shared_folders = {"", "/M"};
       },
       0,
       testing::notice_line("/M/", kSwappableNotice) +
           testing::notice_line("/M/DOCUMENT", kSwappableNotice),
       2},
      {"no temporary folder: the list cannot be created",
       [](FakePlatform& platform) { platform.folders.erase("/tmp"); }, 1,
       failure_line("/tmp/8897470.TMP", kCannotCreateList, Kind::kNotFound), 0},
      {"no document folder",
       [](FakePlatform& platform) {
         platform.files.clear();
         platform.folders.erase("/M/DOCUMENT");
       },
       1, failure_line("/M/DOCUMENT", describe_kind(Kind::kNotFound)), 0},
      {"document folder a plain file",
       [](FakePlatform& platform) {
         platform.files.clear();
         platform.folders.erase("/M/DOCUMENT");
         platform.add_file("/M/DOCUMENT", "a plain file");
       },
       1, failure_line("/M/DOCUMENT", describe_kind(Kind::kNotAFolder)), 0},
      {"document folder another user's link to somebody else's folder",
       [](FakePlatform& platform) { platform.foreign_links.insert("/M/DOCUMENT"); }, 1,
       testing::failure_line("/M/DOCUMENT", describe_kind(Status::Kind::kForeignLink)), 0},
      {"document folder that cannot be read",
       [](FakePlatform& platform) { platform.unreadable_folders.insert("/M/DOCUMENT"); }, 1,
       testing::failure_line("/M/DOCUMENT", kCannotReadFolder, Status::Kind::kAccessDenied), 0},
      // Only the documents that need the host are left, whatever step they
      // need; the first line says how to give it.
      {"no stylesheet host",
       [](FakePlatform& platform) {
         platform.files["/M/DOCUMENT/a.xml"].content = kLocalStylesheet + kUpgradable;
         platform.add_file("/M/DOCUMENT/c.xml", kCodePage850 + kLocalStylesheet);
       },
       1,
       testing::failure_line("/M/DOCUMENT/a.xml",
                             std::string(kNeedsStylesheetHost) + std::string(kHowToGiveHost)) +
           testing::failure_line("/M/DOCUMENT/c.xml", kNeedsStylesheetHost),
       1},
      {"stylesheet host given",
       [](FakePlatform& platform) {
         platform.files["/M/DOCUMENT/a.xml"].content = kLocalStylesheet + kUpgradable;
       },
       0, "", 2, "xsl.despatx.example:8080"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform = make_run_place();
    platform.add_file("/M/DOCUMENT/a.xml", kUpgradable);
    platform.add_file("/M/DOCUMENT/b.xml", kUpgradable);
    c.arrange(platform);
    const std::map<std::string, FakePlatform::File> before = platform.files;
    RunOptions options;
    options.stylesheet_host = c.stylesheet_host;
    EXPECT_EQ(run_batch(platform, options), c.status);
    EXPECT_EQ(platform.errors, c.errors);
    std::size_t converted = 0;
    for (const auto& [path, file] : before)
      converted += platform.files[path].content != file.content;
    EXPECT_EQ(converted, c.converted);
    if (platform.output_failure.is_ok()) {  // the summary, unless it cannot be written
      EXPECT_TRUE(
          platform.output.ends_with(testing::summary_lines(static_cast<long long>(converted), 0)))
          << platform.output;
    }
    EXPECT_EQ(platform.files.size(), before.size());  // the file list is gone
    if (!c.stylesheet_host.empty()) {
      EXPECT_NE(platform.files["/M/DOCUMENT/a.xml"].content.find(c.stylesheet_host),
                std::string::npos);
    }
  }
}

// Replacements are made durable in groups bounded by the platform's number
// of files and by the bytes staged.
TEST_F(BatchRunTest, GroupsRespectTheBoundsOnFilesAndBytes) {
  platform.group_files = 6;
  for (int i = 0; i < 12; ++i) platform.add_file("/D/" + std::to_string(i) + ".xml", kUpgradable);
  platform.add_file("/D/both.xml", kBoth);
  for (int i = 0; i < 12; ++i) run.process_invoice_file("/D/" + std::to_string(i) + ".xml");
  run.process_invoice_file("/D/both.xml");
  // Nothing counted before its rename.
  EXPECT_EQ(run.upgrade_count(), 10);
  run.finish_group();
  EXPECT_EQ(platform.flushed_group_sizes, (std::vector<std::size_t>{5, 5, 4}));
  EXPECT_EQ(run.upgrade_count(), 13);
  EXPECT_EQ(run.code_page_count(), 1);

  // Two invoices that reach the byte bound together form a group.
  FakePlatform big;
  Console big_console(big);
  InvoiceCycle big_run(big, big_console);
  const std::string large = kUpgradable + std::string(InvoiceCycle::kGroupByteLimit / 2, ' ');
  for (const char* path : {"/D/a.xml", "/D/b.xml"}) big.add_file(path, large);
  big.add_file("/D/c.xml", kUpgradable);
  for (const char* path : {"/D/a.xml", "/D/b.xml", "/D/c.xml"}) big_run.process_invoice_file(path);
  big_run.finish_group();
  EXPECT_EQ(big.flushed_group_sizes, (std::vector<std::size_t>{2, 1}));
  EXPECT_EQ(big_run.upgrade_count(), 3);

  // A kept original's copy holds descriptors too: two more for each.
  FakePlatform kept;
  kept.group_files = 12;
  Console kept_console(kept);
  OriginalKeeper keeper(kept, "/B", "/D", "");
  std::vector<UnremovedFile> unremoved;
  ASSERT_TRUE(keeper.prepare(unremoved).is_ok());
  InvoiceCycle kept_run(kept, kept_console, {}, &keeper);
  for (int i = 0; i < 6; ++i) kept.add_file("/D/" + std::to_string(i) + ".xml", kUpgradable);
  for (int i = 0; i < 6; ++i) kept_run.process_invoice_file("/D/" + std::to_string(i) + ".xml");
  kept_run.finish_group();
  EXPECT_EQ(kept.flushed_group_sizes, (std::vector<std::size_t>{3, 3}));
  EXPECT_EQ(kept_run.kept_count(), 6);
}

// All staged files are flushed before any rename, all renames come before
// the folder flush, and counts only after it.
TEST_F(BatchRunTest, GroupFlushesThenRenamesThenFlushesFoldersThenCounts) {
  for (const char* path : {"/D/a.xml", "/D/b.xml", "/E/c.xml"}) platform.add_file(path, kBoth);
  for (const char* path : {"/D/a.xml", "/D/b.xml", "/E/c.xml"}) run.process_invoice_file(path);
  run.finish_group();
  std::vector<std::string> steps;
  for (const std::string& entry : platform.log) {
    const std::string operation = entry.substr(0, entry.find(' '));
    if (operation != "open" && operation != "load" &&
        (steps.empty() || steps.back() != operation)) {
      steps.push_back(operation);
    }
  }
  EXPECT_EQ(steps, (std::vector<std::string>{"stage", "flush", "replace", "flushdir", "close"}));
  EXPECT_EQ(platform.logged("flushdir"), (std::vector<std::string>{"flushdir /D", "flushdir /E"}));
  EXPECT_EQ(platform.logged("replace").size(), 6u);
  EXPECT_EQ(run.code_page_count(), 3);
}

TEST_F(BatchRunTest, FailedRenameInTheMiddleOfAGroupLeavesThatFileOnly) {
  for (const char* path : {"/D/a.xml", "/D/b.xml", "/D/c.xml"}) platform.add_file(path, kBoth);
  platform.failing_renames["/D/b.xml"] = 0;
  platform.failing_renames["/D/c.xml"] = 1;
  for (const char* path : {"/D/a.xml", "/D/b.xml", "/D/c.xml"}) run.process_invoice_file(path);
  run.finish_group();
  EXPECT_EQ(platform.files["/D/b.xml"].content, kBoth);
  // The second rename failed: the upgraded text stays, still in code page 850.
  EXPECT_EQ(platform.files["/D/c.xml"].content,
            "<?xml version=\"1.0\" encoding=\"ibm850\"?>\r\n<SchemaVersion>3.2.1</SchemaVersion>"
            "<Name>\x82</Name>\r\n");
  EXPECT_EQ(
      operations_on(platform, "/D/b.xml"),
      (std::vector<std::string>{"open", "load", "stage", "stage", "flush", "replace", "close"}));
  EXPECT_EQ(run.upgrade_count(), 2);
  EXPECT_EQ(run.code_page_count(), 1);
  EXPECT_EQ(platform.errors, failure_line("/D/b.xml", kCannotSave, Kind::kChanged) +
                                 failure_line("/D/c.xml", kCannotSaveConversion, Kind::kChanged));
}

TEST_F(BatchRunTest, FailedGroupFlushRenamesNothingAndReportsEveryFile) {
  for (const char* path : {"/D/a.xml", "/D/b.xml"}) platform.add_file(path, kBoth);
  platform.add_file("/D/c.xml", kCurrent);
  platform.flush_failure = Status::error(Status::Kind::kNoSpace);
  for (const char* path : {"/D/a.xml", "/D/b.xml", "/D/c.xml"}) run.process_invoice_file(path);
  run.finish_group();
  EXPECT_TRUE(platform.logged("replace").empty());
  for (const char* path : {"/D/a.xml", "/D/b.xml"}) {
    EXPECT_EQ(platform.files[path].content, kBoth);
    EXPECT_EQ(platform.files[path].modified, (FileTime{1'600'000'000, 123'456'789}));
  }
  EXPECT_EQ(run.upgrade_count() + run.code_page_count(), 0);
  EXPECT_EQ(run.failure_count(), 2);
  EXPECT_EQ(platform.errors, failure_line("/D/a.xml", kCannotSave, Kind::kNoSpace) +
                                 failure_line("/D/b.xml", kCannotSave, Kind::kNoSpace));
}

TEST_F(BatchRunTest, FailedFolderFlushReportsTheInvoicesOfThatFolderOnly) {
  for (const char* path : {"/D/a.xml", "/E/b.xml"}) platform.add_file(path, kBoth);
  platform.failing_folder_flushes = {"/D"};
  for (const char* path : {"/D/a.xml", "/E/b.xml"}) run.process_invoice_file(path);
  run.finish_group();
  EXPECT_EQ(platform.logged("replace").size(), 4u);  // both steps of both invoices
  EXPECT_EQ(run.upgrade_count() + run.code_page_count(), 2);
  EXPECT_EQ(platform.errors, failure_line("/D/a.xml", kNotDurable, Kind::kOther));
}

TEST_F(BatchRunTest, StagedFilesThatCannotBeRemovedAreNamed) {
  platform.add_file("/D/a.xml", kBoth);
  platform.failing_renames["/D/a.xml"] = 0;
  run.process_invoice_file("/D/a.xml");
  platform.marked_folders = {"/D"};  // after staging, before the clean-up
  run.finish_group();
  const std::string unremoved = failure_line("/D/.staged", kCannotRemoveCopy, Kind::kFolderMarked);
  EXPECT_EQ(platform.errors,
            failure_line("/D/a.xml", kCannotSave, Kind::kChanged) + unremoved + unremoved);
}

TEST(RunBatchTest, DryRunReportsWhatTheRunThenDoesAndWritesNothing) {
  for (const bool convert_signed : {false, true}) {
    SCOPED_TRACE(convert_signed ? "--convert-signed" : "signed invoices kept");
    FakePlatform platform = make_run_place();
    platform.add_file("/M/DOCUMENT/a.xml", kUpgradable);
    platform.add_file("/M/DOCUMENT/b.xml", kCodePage850);
    platform.add_file("/M/DOCUMENT/2011/c.XML", kBoth);
    platform.add_file("/M/DOCUMENT/2011/d.xml", kCurrent).writable = false;
    platform.add_file("/M/DOCUMENT/2011/e.xml", kBoth).writable = false;
    platform.add_file("/M/DOCUMENT/2011/f.xml", kUpgradable).locked = true;
    platform.add_file("/M/DOCUMENT/2011/signed.xml", kBoth + kSignature);
    platform.add_file("/M/DOCUMENT/g.txt", kUpgradable);
    platform.add_file("/M/DOCUMENT/half.xml", kHalfStructure);
    platform.add_file("/M/DOCUMENT/utf.xml", kUtf8Declared850);
    platform.add_file("/M/DOCUMENT/.invoice-converter.0123456789ab.tmp", "killed run's");
    platform.add_folder("/X/folder");
    platform.add_link("/M/DOCUMENT/linked", "/X/folder");
    platform.add_link("/M/DOCUMENT/2011/link.xml", "/X/h.xml");
    platform.add_file("/X/h.xml", kUpgradable);
    const std::map<std::string, FakePlatform::File> before = platform.files;

    RunOptions options;
    options.dry_run = true;
    options.convert_signed = convert_signed;
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
    EXPECT_NE(platform.errors.find("/M/DOCUMENT/2011/signed.xml"), std::string::npos);
    for (const std::string& line :
         {failure_line("/M/DOCUMENT/half.xml", kUnrecognisedStructureReason),
          testing::notice_line("/M/DOCUMENT/utf.xml", kAlreadyUtf8Notice)}) {
      EXPECT_NE(platform.errors.find(line), std::string::npos) << platform.errors;
    }
    const std::string dry_output = platform.output, dry_errors = platform.errors;

    platform.output.clear();
    platform.errors.clear();
    options.dry_run = false;
    options.verbose = true;
    EXPECT_EQ(run_batch(platform, options), 1);
    EXPECT_EQ(testing::as_run_report(dry_output), platform.output);
    EXPECT_EQ(testing::as_run_report(dry_errors), platform.errors);
    EXPECT_EQ(platform.files.count("/M/DOCUMENT/.invoice-converter.0123456789ab.tmp"), 0u);
    EXPECT_EQ(platform.files["/M/DOCUMENT/half.xml"].content, kHalfStructure);
    std::string corrected = kUtf8Declared850;
    corrected.replace(corrected.find("ibm850"), 6, "UTF-8");
    EXPECT_EQ(platform.files["/M/DOCUMENT/utf.xml"].content, corrected);
  }
}

}  // namespace
}  // namespace invoice
