#include "driver/batch_run.h"

#include <gtest/gtest.h>

#include <functional>

#include "driver/file_list.h"
#include "driver/time_stamp.h"
#include "fake_platform.h"

namespace invoice {
namespace {

using testing::FakePlatform;

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

  // One file's cycle and the durable end of its group.
  void process(const std::string& path) {
    run.process_invoice_file(path);
    run.finish_group();
  }

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
  process("/D/a.xml");
  EXPECT_EQ(operations_on("/D/a.xml"),
            (std::vector<std::string>{"stamp", "open", "load", "restamp", "close"}));
  EXPECT_EQ(file.content, kCurrent);
  EXPECT_EQ(file.modified, (FileTime{1688548087, 0}));
  EXPECT_EQ(file.accessed, (FileTime{1688548087, 0}));
  EXPECT_EQ(run.upgrade_count(), 0);
  EXPECT_EQ(run.code_page_count(), 0);
}

TEST_F(BatchRunTest, EachConversionWritesAndCountsOnce) {
  platform.add_file("/D/up.xml", kUpgradable);
  platform.add_file("/D/cp.xml", kCodePage850);
  process("/D/up.xml");
  process("/D/cp.xml");
  EXPECT_EQ(platform.logged("replace").size(), 2u);
  EXPECT_EQ(run.upgrade_count(), 1);
  EXPECT_EQ(run.code_page_count(), 1);
  EXPECT_NE(platform.files["/D/up.xml"].content.find("<SchemaVersion>3.2.1</SchemaVersion>"),
            std::string::npos);
  EXPECT_EQ(
      platform.files["/D/cp.xml"].content,
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Name>Caf\xC3\xA9 \xE2\x82\xAC</Name>\r\n");
}

TEST_F(BatchRunTest, DocumentNeedingBothIsWrittenTwiceAndRestampedBeforeClosing) {
  auto& file = platform.add_file("/D/both.xml", kBoth);
  file.modified = {1688548087, 5};
  process("/D/both.xml");
  EXPECT_EQ(operations_on("/D/both.xml"),
            (std::vector<std::string>{"stamp", "open", "load", "stage", "stage", "flush", "replace",
                                      "replace", "restamp", "close"}));
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
    process(path);
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
  EXPECT_EQ(platform.errors,
            "Error: /D/locked.xml: no s'ha pogut obrir: bloquejat per un altre programa\n"
            "Error: /D/readonly.xml: només de lectura i cal convertir-lo\n"
            "Error: /D/full.xml: no s'ha pogut desar, l'original queda intacte: no queda "
            "espai al disc\n"
            "Error: /D/missing.xml: no s'ha pogut obrir: no existeix\n"
            "Error: /D/folder.xml: no s'ha pogut obrir: no és un fitxer normal\n"
            "Error: : no s'ha pogut obrir: no existeix\n");
}

TEST_F(BatchRunTest, FailedFirstWriteStopsTheCycle) {
  auto& file = platform.add_file("/D/both.xml", kBoth);
  platform.failing_replacements["/D/both.xml"] = 0;
  process("/D/both.xml");
  EXPECT_EQ(run.upgrade_count(), 0);
  EXPECT_EQ(run.code_page_count(), 0);
  EXPECT_EQ(platform.logged("stage").size(), 1u);  // no second attempt after a failure
  EXPECT_TRUE(platform.logged("replace").empty());
  EXPECT_EQ(file.content, kBoth);
  EXPECT_TRUE(platform.logged("restamp").empty());
}

TEST_F(BatchRunTest, FailedSecondWriteKeepsTheFirstItsCountAndTheTimes) {
  auto& file = platform.add_file("/D/both.xml", kBoth);
  file.modified = {1688548087, 5};
  platform.failing_replacements["/D/both.xml"] = 1;
  process("/D/both.xml");
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
  EXPECT_EQ(platform.output,
            "Localitzant fitxers...\n"
            "Convertint fitxers...\n"
            "\n"
            "Convertits correctament 0 fitxers de versi\xC3\xB3 3.0 a 3.2.1\n"
            "Convertits correctament 0 fitxers de codepage 850 a utf-8\n");
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
  EXPECT_NE(platform.output.find("Convertits correctament 2 fitxers de versi"), std::string::npos);
  EXPECT_NE(platform.output.find("Convertits correctament 1 fitxers de codepage"),
            std::string::npos);
}

TEST(RunBatchTest, FailuresMakeTheExitStatusOneAfterTheSummary) {
  FakePlatform platform;
  platform.environment["MORROOT"] = "/M/";
  platform.add_folder("/tmp");
  platform.add_file("/M/DOCUMENT/a.xml", kUpgradable);
  platform.add_file("/M/DOCUMENT/b.xml", kUpgradable).locked = true;
  EXPECT_EQ(run_batch(platform), 1);
  EXPECT_EQ(platform.errors,
            "Error: /M/DOCUMENT/b.xml: no s'ha pogut obrir: bloquejat per un altre programa\n");
  EXPECT_NE(platform.output.find("Convertits correctament 1 fitxers de versi"), std::string::npos);
}

TEST(RunBatchTest, UnwritableTempOrMissingDocumentFolderIsReported) {
  {
    FakePlatform platform;  // no /tmp folder: the list cannot be created
    platform.environment["MORROOT"] = "/M/";
    platform.add_file("/M/DOCUMENT/a.xml", kUpgradable);
    EXPECT_EQ(run_batch(platform), 1);
    EXPECT_NE(platform.errors.find("no s'ha pogut crear la llista de fitxers"), std::string::npos);
    EXPECT_EQ(platform.files["/M/DOCUMENT/a.xml"].content, kUpgradable);
    EXPECT_NE(platform.output.find("Convertits correctament 0 fitxers de versi"),
              std::string::npos);
  }
  {
    FakePlatform platform;
    platform.environment["MORROOT"] = "/M/";
    platform.add_folder("/tmp");
    EXPECT_EQ(run_batch(platform), 1);
    EXPECT_EQ(platform.errors, "Error: /M/DOCUMENT: no existeix\n");
    EXPECT_EQ(platform.files.size(), 0u);
  }
  {
    FakePlatform platform;
    platform.environment["MORROOT"] = "/M/";
    platform.add_folder("/tmp");
    platform.add_file("/M/DOCUMENT", "a plain file");
    EXPECT_EQ(run_batch(platform), 1);
    EXPECT_EQ(platform.errors, "Error: /M/DOCUMENT: no és una carpeta\n");
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
            "Error: /M/DOCUMENT/a-removed.xml: no s'ha pogut obrir: no existeix\n"
            "Error: /M/DOCUMENT/b-folder.xml: no s'ha pogut obrir: no \xC3\xA9s un fitxer normal\n"
            "Error: /M/DOCUMENT/d-locked.xml: no s'ha pogut obrir: bloquejat per un altre "
            "programa\n");
  // What stands at the path when its turn comes is what gets converted; nothing
  // is created where a file vanished.
  EXPECT_EQ(platform.files.count("/M/DOCUMENT/a-removed.xml"), 0u);
  EXPECT_EQ(
      platform.files["/M/DOCUMENT/c-replaced.xml"].content,
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Name>Caf\xC3\xA9 \xE2\x82\xAC</Name>\r\n");
  EXPECT_EQ(platform.files["/M/DOCUMENT/d-locked.xml"].content, kUpgradable);
  EXPECT_NE(platform.files["/M/DOCUMENT/e-fine.xml"].content, kUpgradable);
  EXPECT_NE(platform.output.find("Convertits correctament 1 fitxers de versi"), std::string::npos);
  EXPECT_NE(platform.output.find("Convertits correctament 1 fitxers de codepage"),
            std::string::npos);
}

TEST(RunBatchTest, StopOutputFailureSharedTempAndUnreadableDocumentFolder) {
  const struct {
    const char* name;
    std::function<void(FakePlatform&)> arrange;
    int status;
    std::string errors;
    std::size_t converted;
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
       1, "Error: no s'ha pogut escriure a la sortida est\xC3\xA0ndard: no queda espai al disc\n",
       2},
      {"temporary folder shared without the sticky bit",
       [](FakePlatform& platform) { platform.shared_folders.insert("/tmp"); }, 0,
       "Av\xC3\xADs: /tmp: " + std::string(kSharedTempWarning) + "\n", 2},
      {"document folder that cannot be read",
       [](FakePlatform& platform) { platform.unreadable_folders.insert("/M/DOCUMENT"); }, 1,
       "Error: /M/DOCUMENT: no s'ha pogut llegir la carpeta: acc\xC3\xA9s denegat\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform;
    platform.environment["MORROOT"] = "/M/";
    platform.add_folder("/tmp");
    platform.add_file("/M/DOCUMENT/a.xml", kUpgradable);
    platform.add_file("/M/DOCUMENT/b.xml", kUpgradable);
    c.arrange(platform);
    EXPECT_EQ(run_batch(platform), c.status);
    EXPECT_EQ(platform.errors, c.errors);
    std::size_t converted = 0;
    for (const char* path : {"/M/DOCUMENT/a.xml", "/M/DOCUMENT/b.xml"}) {
      converted += platform.files[path].content != kUpgradable;
    }
    EXPECT_EQ(converted, c.converted);
    EXPECT_EQ(platform.files.size(), 2u);  // the file list is gone
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
  BatchRun big_run(big, big_console);
  const std::string large = kUpgradable + std::string(BatchRun::kGroupByteLimit / 2, ' ');
  for (const char* path : {"/D/a.xml", "/D/b.xml"}) big.add_file(path, large);
  big.add_file("/D/c.xml", kUpgradable);
  for (const char* path : {"/D/a.xml", "/D/b.xml", "/D/c.xml"}) big_run.process_invoice_file(path);
  big_run.finish_group();
  EXPECT_EQ(big.flushed_group_sizes, (std::vector<std::size_t>{2, 1}));
  EXPECT_EQ(big_run.upgrade_count(), 3);
}

// All staged files are flushed before any rename, all renames come before
// the folder flush, and times and counts only after it.
TEST_F(BatchRunTest, GroupFlushesThenRenamesThenFlushesFoldersThenRestamps) {
  for (const char* path : {"/D/a.xml", "/D/b.xml", "/E/c.xml"}) platform.add_file(path, kBoth);
  for (const char* path : {"/D/a.xml", "/D/b.xml", "/E/c.xml"}) run.process_invoice_file(path);
  run.finish_group();
  std::vector<std::string> steps;
  for (const std::string& entry : platform.log) {
    const std::string operation = entry.substr(0, entry.find(' '));
    if (operation != "stamp" && operation != "open" && operation != "load" &&
        (steps.empty() || steps.back() != operation)) {
      steps.push_back(operation);
    }
  }
  EXPECT_EQ(steps, (std::vector<std::string>{"stage", "flush", "replace", "flushdir", "restamp",
                                             "close"}));
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
  EXPECT_EQ(operations_on("/D/b.xml"),
            (std::vector<std::string>{"stamp", "open", "load", "stage", "stage", "flush", "replace",
                                      "close"}));
  EXPECT_EQ(run.upgrade_count(), 2);
  EXPECT_EQ(run.code_page_count(), 1);
  EXPECT_EQ(platform.errors, "Error: /D/b.xml: " + std::string(kNotSaved) +
                                 "ha canviat mentre es convertia\n"
                                 "Error: /D/c.xml: " +
                                 kSecondStepNotSaved + "ha canviat mentre es convertia\n");
}

TEST_F(BatchRunTest, FailedGroupFlushRenamesNothingAndReportsEveryFile) {
  for (const char* path : {"/D/a.xml", "/D/b.xml"}) platform.add_file(path, kBoth);
  platform.add_file("/D/c.xml", kCurrent);
  platform.flush_failure = Status::error(Status::Kind::kNoSpace);
  for (const char* path : {"/D/a.xml", "/D/b.xml", "/D/c.xml"}) run.process_invoice_file(path);
  run.finish_group();
  EXPECT_TRUE(platform.logged("replace").empty());
  EXPECT_EQ(platform.logged("restamp"), (std::vector<std::string>{"restamp /D/c.xml"}));
  for (const char* path : {"/D/a.xml", "/D/b.xml"}) {
    EXPECT_EQ(platform.files[path].content, kBoth);
    EXPECT_EQ(platform.files[path].modified, (FileTime{1'600'000'000, 123'456'789}));
  }
  EXPECT_EQ(run.upgrade_count() + run.code_page_count(), 0);
  EXPECT_EQ(run.failure_count(), 2);
  const std::string reason = std::string(kNotSaved) + "no queda espai al disc\n";
  EXPECT_EQ(platform.errors, "Error: /D/a.xml: " + reason + "Error: /D/b.xml: " + reason);
}

}  // namespace
}  // namespace invoice
