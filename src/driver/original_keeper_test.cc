#include "driver/original_keeper.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "driver/batch_run.h"
#include "driver/restore.h"
#include "expected_output.h"
#include "fake_platform.h"

namespace invoice {
namespace {

using testing::failure_line;
using testing::FakePlatform;

const std::string kUpgradable =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<SchemaVersion>3.0</SchemaVersion>\r\n";
const std::string kBoth =
    "<?xml version=\"1.0\" encoding=\"ibm850\"?>\r\n<SchemaVersion>3.0</SchemaVersion>"
    "<Name>\x82</Name>\r\n";
const std::string kCurrent =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<SchemaVersion>3.2.1</SchemaVersion>\r\n";
const std::string kSigned =
    kUpgradable + "<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"/>\r\n";

constexpr char kDocument[] = "/M/DOCUMENT";
constexpr char kBackup[] = "/B";

FakePlatform make_place() {
  FakePlatform platform;
  platform.environment["MORROOT"] = "/M";
  platform.add_folder("/tmp");
  return platform;
}

RunOptions backup_options() {
  RunOptions options;
  options.backup_folder = kBackup;
  return options;
}

RunOptions restore_options() {
  RunOptions options;
  options.restore_folder = kBackup;
  return options;
}

std::vector<ManifestEntry> read_manifest(const FakePlatform& platform) {
  auto it = platform.files.find("/B/MANIFEST.tsv");
  return it == platform.files.end() ? std::vector<ManifestEntry>{}
                                    : parse_manifest(it->second.content);
}

std::size_t position_in_log(const FakePlatform& platform, const std::string& entry) {
  const auto it = std::find(platform.log.begin(), platform.log.end(), entry);
  EXPECT_NE(it, platform.log.end()) << entry;
  return static_cast<std::size_t>(it - platform.log.begin());
}

// Putting the originals back, an edited invoice and a second restore are
// shown end to end (tests/backup_test.cc).
TEST(OriginalKeeperTest, EveryReplacedOriginalIsKeptAndRecordedBeforeItsInvoiceIsReplaced) {
  FakePlatform platform = make_place();
  const std::string both = "/M/DOCUMENT/2011/02/F-1.xml";
  const std::string up = "/M/DOCUMENT/up.xml";
  // A name with a tab and a line end, which must not split a manifest line.
  const std::string odd = "/M/DOCUMENT/odd\t\n.xml";
  const FileTime written = platform.add_file(both, kBoth).modified;
  platform.add_file(up, kUpgradable);
  platform.add_file(odd, kUpgradable);
  platform.add_file("/M/DOCUMENT/current.xml", kCurrent);
  platform.add_file("/M/DOCUMENT/signed.xml", kSigned);

  EXPECT_EQ(run_batch(platform, backup_options()), 0) << platform.errors;
  EXPECT_EQ(platform.files.at("/B/2011/02/F-1.xml").content, kBoth);
  EXPECT_EQ(platform.files.at("/B/2011/02/F-1.xml").modified, written);
  EXPECT_EQ(platform.files.at("/B/odd\t\n.xml").content, kUpgradable);
  // Unchanged and signed invoices are not copied.
  EXPECT_EQ(platform.files.count("/B/current.xml") + platform.files.count("/B/signed.xml"), 0u);
  const std::vector<ManifestEntry> manifest = read_manifest(platform);
  ASSERT_EQ(manifest.size(), 3u);
  for (const ManifestEntry& entry : manifest) {
    EXPECT_EQ(entry.texts.size(), entry.path == "2011/02/F-1.xml" ? 2u : 1u) << entry.path;
  }
  EXPECT_NE(platform.output.find(std::string(kKeptSummaryHead) + "/B: 3\n"), std::string::npos);
  // The copy is flushed, named, its folders flushed and the manifest flushed
  // before the invoice is replaced.
  const std::size_t named = position_in_log(platform, "name /B/2011/02/F-1.xml");
  EXPECT_LT(named, position_in_log(platform, "flushdir /B/2011/02"));
  EXPECT_LT(position_in_log(platform, "flushdir /B/2011/02"),
            position_in_log(platform, "flushfile /B/MANIFEST.tsv"));
  EXPECT_LT(position_in_log(platform, "flushdir /B"), position_in_log(platform, "replace " + both));
  EXPECT_LT(position_in_log(platform, "flushfile /B/MANIFEST.tsv"),
            position_in_log(platform, "replace " + both));
}

// A later run with the same backup folder, which finds what earlier runs
// (or a run killed midway) left there.
TEST(OriginalKeeperTest, ALaterRunKeepsWhatIsThereAndOverwritesNothing) {
  struct Case {
    std::string name;
    std::string kept_before;  // at /B/F.xml, empty for none
    std::string manifest_before;
    std::string invoice;
    std::string expected_kept_name;
    std::string expected_original;  // what the kept file holds afterwards
  };
  FakePlatform digests;
  const std::string both_hex = to_hex(digests.sha256(kBoth).value);
  std::string upgraded = kBoth;
  (void)upgrade_document(upgraded, testing::make_test_table());
  const std::string upgraded_hex = to_hex(digests.sha256(upgraded).value);
  const std::string stopped_line = format_manifest_line(
      {"F.xml", "F.xml", both_hex, {upgraded_hex, std::string(64, 'a')}, "", "t"});
  const Case cases[] = {
      {"a copy named but not recorded is the same bytes", kBoth, "", kBoth, "F.xml", kBoth},
      {"a conversion stopped after its upgrade", kBoth, stopped_line, upgraded, "F.xml", kBoth},
      {"a new original at the same path", kBoth, stopped_line, kUpgradable, "F.1.xml", kUpgradable},
      {"a torn manifest line is ended first", "", stopped_line + "F.xml\tF.x", kBoth, "F.xml",
       kBoth},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform = make_place();
    platform.add_folder(kBackup);
    if (!c.kept_before.empty()) platform.add_file("/B/F.xml", c.kept_before);
    if (!c.manifest_before.empty()) platform.add_file("/B/MANIFEST.tsv", c.manifest_before);
    platform.add_file("/B/.invoice-converter.000000000000.tmp", "leftover of a killed run");
    platform.add_file("/M/DOCUMENT/F.xml", c.invoice);
    RunOptions options = backup_options();
    options.stylesheet_host = testing::kStylesheetHost;

    EXPECT_EQ(run_batch(platform, options), 0) << platform.errors;
    EXPECT_EQ(platform.files.count("/B/.invoice-converter.000000000000.tmp"), 0u);
    EXPECT_EQ(platform.files.at("/B/" + c.expected_kept_name).content, c.expected_original);
    if (!c.kept_before.empty()) {
      EXPECT_EQ(platform.files.at("/B/F.xml").content, c.kept_before);
    }
    const std::vector<ManifestEntry> manifest = read_manifest(platform);
    ASSERT_FALSE(manifest.empty());
    EXPECT_EQ(manifest.back().kept, c.expected_kept_name);
    EXPECT_EQ(manifest.back().original, to_hex(digests.sha256(c.expected_original).value));
    // A restore puts that original back.
    EXPECT_EQ(run_restore(platform, restore_options()), 0) << platform.errors;
    EXPECT_EQ(platform.files.at("/M/DOCUMENT/F.xml").content, c.expected_original);
  }
}

TEST(OriginalKeeperTest, AnOriginalThatCannotBeKeptLeavesItsInvoiceUnconverted) {
  struct Case {
    std::string name;
    std::function<void(FakePlatform&)> fault;
    int status;
    std::string errors;
  };
  const std::string invoice = "/M/DOCUMENT/a/F.xml";
  const Case cases[] = {
      {"disk full in the backup folder",
       [](FakePlatform& p) { p.failing_copies["/B/a"] = Status::error(Status::Kind::kNoSpace); }, 1,
       failure_line(invoice, kCannotKeepOriginal, Status::Kind::kNoSpace)},
      {"a folder of the backup cannot be flushed",
       [](FakePlatform& p) { p.failing_folder_flushes.insert("/B/a"); }, 1,
       failure_line(invoice, kCannotKeepOriginal, Status::Kind::kOther)},
      {"the backup folder inside the tree", [](FakePlatform& p) { p.add_folder("/M/DOCUMENT/B"); },
       2, std::string(kFailureHead) + std::string(kBackupInsideTree) + "/M/DOCUMENT/B\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform = make_place();
    platform.add_file(invoice, kBoth);
    c.fault(platform);
    RunOptions options = backup_options();
    if (c.status == 2) options.backup_folder = "/M/DOCUMENT/B";
    EXPECT_EQ(run_batch(platform, options), c.status);
    EXPECT_EQ(platform.files.at(invoice).content, kBoth);
    EXPECT_EQ(platform.errors, c.errors);
    EXPECT_TRUE(platform.logged("replace").empty());
  }
}

TEST(OriginalKeeperTest, ADryRunChecksTheFolderAndWritesNothing) {
  FakePlatform platform = make_place();
  platform.add_file("/M/DOCUMENT/F.xml", kBoth);
  RunOptions options = backup_options();
  options.dry_run = true;
  EXPECT_EQ(run_batch(platform, options), 0);
  EXPECT_NE(platform.output.find(std::string(kBackupWouldBeCreated) + "/B\n"), std::string::npos);
  platform.add_folder(kBackup);
  EXPECT_EQ(run_batch(platform, options), 0);
  EXPECT_NE(platform.output.find(std::string(kBackupUsable) + "/B\n"), std::string::npos);
  EXPECT_TRUE(platform.logged("mkdir").empty());
  EXPECT_TRUE(platform.logged("copy").empty());
  EXPECT_EQ(platform.files.count("/B/MANIFEST.tsv"), 0u);
}

TEST(OriginalKeeperTest, NumberedNamesAndPathsThatCouldLeaveTheFolder) {
  EXPECT_EQ(numbered_name("2011/F-2.xml", 0), "2011/F-2.xml");
  EXPECT_EQ(numbered_name("2011/F-2.xml", 2), "2011/F-2.2.xml");
  EXPECT_EQ(numbered_name("a.b/F", 1), "a.b/F.1");
  EXPECT_EQ(numbered_name(".hidden", 1), ".hidden.1");
  FakePlatform platform;
  EXPECT_EQ(join_relative(platform, "/B", "a/b.xml"), "/B/a/b.xml");
  for (const char* bad : {"", "a//b", "../x", "a/./b", "a/.."}) {
    EXPECT_EQ(join_relative(platform, "/B", bad), "") << bad;
  }
}

}  // namespace
}  // namespace invoice
