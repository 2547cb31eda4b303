#include "driver/file_list.h"

#include <gtest/gtest.h>

#include <set>

#include "fake_platform.h"

namespace invoice {
namespace {

using testing::FakePlatform;

TEST(FileListNameDrawTest, NumbersStayInRangeWithoutLeadingZeros) {
  // Seeds across a whole day, including midnight and its last millisecond.
  for (std::uint32_t seed : {0u, 1u, 999u, 45'296'789u, 86'399'999u}) {
    FileListNameDraw draw(seed);
    std::set<std::uint32_t> seen;
    for (int i = 0; i < 2000; ++i) {
      const std::uint32_t n = draw.next();
      ASSERT_GE(n, 1u);
      ASSERT_LE(n, 99'999'999u);
      seen.insert(n);
    }
    EXPECT_GT(seen.size(), 1990u) << "seed " << seed;
  }
}

TEST(FileListNameDrawTest, FollowsTheGeneratorFromTheSeedBits) {
  // The first three numbers for times of day across a day; 1000 ms as a
  // float has the bits 0x447A0000, the first state, and midnight starts
  // from 0.
  const struct {
    std::uint32_t milliseconds;
    std::uint32_t numbers[3];
  } cases[] = {
      {0, {1, 3137994, 86104846}},
      {1000, {24368286, 78104424, 26562000}},
      {1001, {37260819, 7020212, 93406558}},
      {45'296'789, {8897470, 25682275, 1440008}},
      {86'399'999, {82870444, 55243513, 94773922}},
  };
  for (const auto& c : cases) {
    FileListNameDraw draw(c.milliseconds);
    for (std::uint32_t number : c.numbers) EXPECT_EQ(draw.next(), number) << c.milliseconds;
  }
}

TEST(FileListNameTest, JoinsFolderNumberAndSuffix) {
  const FakePlatform platform;
  EXPECT_EQ(make_file_list_name(platform, "/tmp", 815), "/tmp/815.TMP");
  EXPECT_EQ(make_file_list_name(platform, "/var/tmp/", 99999999), "/var/tmp/99999999.TMP");
  EXPECT_EQ(make_file_list_name(platform, "/tmp", 1), "/tmp/1.TMP");
}

TEST(FileListNameTest, TemporaryFolderIsTempElseThePlatformsDefault) {
  FakePlatform platform;
  platform.temporary_folder = "/scratch";
  EXPECT_EQ(find_temporary_folder(platform), "/scratch");
  platform.environment["TEMP"] = "";
  EXPECT_EQ(find_temporary_folder(platform), "/scratch");
  platform.environment["TEMP"] = "/data/temp";
  EXPECT_EQ(find_temporary_folder(platform), "/data/temp");
}

TEST(FileListNameTest, DocumentFolderPutsInTheMissingSeparator) {
  const struct {
    std::optional<std::string> root;
    std::string folder;
  } cases[] = {
      {std::nullopt, "DOCUMENT"},
      {"", "DOCUMENT"},
      {"/srv/mor/", "/srv/mor/DOCUMENT"},
      {"/srv/mor", "/srv/mor/DOCUMENT"},
      {"rel", "rel/DOCUMENT"},
  };
  for (const auto& c : cases) {
    FakePlatform platform;
    if (c.root) platform.environment["MORROOT"] = *c.root;
    EXPECT_EQ(find_document_folder(platform), c.folder) << c.root.value_or("(unset)");
    // A root given on the command line wins over MORROOT.
    EXPECT_EQ(find_document_folder(platform, "/given"), "/given/DOCUMENT");
  }
}

std::vector<std::string> read_all(const std::string& data) {
  FakePlatform platform;
  platform.add_file("/list", data);
  auto input = platform.open_input_file("/list");
  FileListReader list(std::move(input.value));
  std::vector<std::string> lines;
  while (!list.at_end()) {
    lines.push_back(list.next_invoice_path());
    if (lines.size() > 100) break;
  }
  return lines;
}

TEST(FileListReaderTest, SplitsLinesAtCarriageReturns) {
  using Lines = std::vector<std::string>;
  const struct {
    std::string data;
    Lines lines;
  } cases[] = {
      {"", {}},
      {"/a/x.xml\r\n", {"/a/x.xml"}},
      {"/a/x.xml", {"/a/x.xml"}},                            // no line end after the last line
      {"/a/x.xml\r/b/y.xml\r\n", {"/a/x.xml", "/b/y.xml"}},  // CR alone or CR LF
      {"/a/line\nfeed.xml\r\n", {"/a/line\nfeed.xml"}},      // a lone LF stays
      {"\r\n/b.xml\r\n", {"", "/b.xml"}},                    // an empty line counts
      {"/a.xml\r\n\r\n", {"/a.xml", ""}},
      {" /padded.xml \r\n", {" /padded.xml "}},  // nothing trimmed
      {"/a.xml\r\n\x1A/b.xml\r\n", {"/a.xml"}},  // 0x1A ends the list
      {"/a\x1A.xml\r\n/b.xml", {"/a"}},
      {"/a.xml\r\r\n", {"/a.xml", ""}},  // CR, then CR LF: an empty line between
      {"/a.xml\n\r\n", {"/a.xml\n"}},
      {std::string("/nul\0.xml\r\n", 11), {std::string("/nul\0.xml", 9)}},
      // Lines longer than the reader's 7-byte chunks, with CR LF split
      // across two chunks.
      {"/abcdef\r\n/ghijklmnopq.xml\r\n", {"/abcdef", "/ghijklmnopq.xml"}},
  };
  for (const auto& c : cases) EXPECT_EQ(read_all(c.data), c.lines) << c.data;
}

TEST(FileListReaderTest, ListThatIsNotOpenIsAtItsEnd) {
  FileListReader list(nullptr);
  EXPECT_TRUE(list.at_end());
  EXPECT_TRUE(list.status().is_ok());
}

class WriteFileListTest : public ::testing::Test {
 protected:
  std::string list_text;
  ListingOutcome list(FakePlatform& platform, const std::string& root) {
    platform.add_folder("/tmp");
    platform.files.erase("/tmp/1.TMP");
    auto created = platform.create_new_file("/tmp/1.TMP");
    EXPECT_TRUE(created.is_ok());
    ListingOutcome outcome = write_file_list(platform, root, *created.value);
    list_text = platform.files["/tmp/1.TMP"].content;
    return outcome;
  }
};

TEST_F(WriteFileListTest, ListsXmlFilesInAnyCaseFilesFirstThenFoldersInNameOrder) {
  FakePlatform platform;
  platform.add_file("/r/DOCUMENT/b.xml", "");
  platform.add_file("/r/DOCUMENT/A.XML", "");
  platform.add_file("/r/DOCUMENT/c.Xml", "");
  platform.add_file("/r/DOCUMENT/z/deep/d.xml", "");
  platform.add_file("/r/DOCUMENT/y/e.xml", "");
  platform.add_file("/r/DOCUMENT/notes.txt", "");
  platform.add_file("/r/DOCUMENT/xml", "");
  platform.add_file("/r/DOCUMENT/f.xml.bak", "");
  platform.add_file("/r/DOCUMENT/.hidden.xml", "");
  platform.add_file("/r/DOCUMENT/.hidden/g.xml", "");
  platform.add_link("/r/DOCUMENT/linked.xml", "/r/OTHER/h.xml");
  platform.add_link("/r/DOCUMENT/elsewhere", "/r/OTHER");  // never entered
  platform.add_file("/r/DOCUMENT/elsewhere.xml", "");      // a folder link's sibling
  platform.add_folder("/r/DOCUMENT/folder.xml");           // a folder is never listed
  platform.add_file("/r/OTHER/h.xml", "");

  const ListingOutcome outcome = list(platform, "/r/DOCUMENT");
  EXPECT_TRUE(outcome.status.is_ok());
  EXPECT_TRUE(outcome.failures.empty());
  EXPECT_EQ(outcome.files_listed, 7u);
  EXPECT_EQ(list_text,
            "/r/DOCUMENT/A.XML\r\n"
            "/r/DOCUMENT/b.xml\r\n"
            "/r/DOCUMENT/c.Xml\r\n"
            "/r/DOCUMENT/elsewhere.xml\r\n"
            "/r/DOCUMENT/linked.xml\r\n"
            "/r/DOCUMENT/y/e.xml\r\n"
            "/r/DOCUMENT/z/deep/d.xml\r\n");
}

TEST_F(WriteFileListTest, NamesThatCannotBeReadBackAreReportedNotListed) {
  FakePlatform platform;
  platform.add_file("/r/DOCUMENT/ok.xml", "");
  platform.add_file("/r/DOCUMENT/cr\r.xml", "");
  platform.add_file("/r/DOCUMENT/sub\x1A/x.xml", "");
  platform.add_file("/r/DOCUMENT/lf\n.xml", "");  // a lone LF reads back whole
  const ListingOutcome outcome = list(platform, "/r/DOCUMENT");
  EXPECT_EQ(list_text, "/r/DOCUMENT/lf\n.xml\r\n/r/DOCUMENT/ok.xml\r\n");
  ASSERT_EQ(outcome.failures.size(), 2u);
  EXPECT_EQ(outcome.failures[0].path, "/r/DOCUMENT/cr\r.xml");
  EXPECT_EQ(outcome.failures[1].path, "/r/DOCUMENT/sub\x1A/x.xml");
  EXPECT_EQ(outcome.failures[0].status.kind(), Status::Kind::kUnlistable);
}

TEST_F(WriteFileListTest, UnreadableSubfolderIsReportedAndTheRestListed) {
  FakePlatform platform;
  platform.add_file("/r/DOCUMENT/a/x.xml", "");
  platform.add_file("/r/DOCUMENT/b/y.xml", "");
  platform.add_file("/r/DOCUMENT/c/z.xml", "");
  platform.unreadable_folders.insert("/r/DOCUMENT/b");
  const ListingOutcome outcome = list(platform, "/r/DOCUMENT");
  EXPECT_TRUE(outcome.status.is_ok());
  EXPECT_EQ(list_text, "/r/DOCUMENT/a/x.xml\r\n/r/DOCUMENT/c/z.xml\r\n");
  ASSERT_EQ(outcome.failures.size(), 1u);
  EXPECT_EQ(outcome.failures[0].path, "/r/DOCUMENT/b");
}

TEST_F(WriteFileListTest, MissingOrPlainTopFolderFailsTheListing) {
  FakePlatform platform;
  EXPECT_TRUE(list(platform, "/r/DOCUMENT").document_folder.is_not_found());
  platform.add_file("/r/DOCUMENT", "not a folder");
  EXPECT_FALSE(list(platform, "/r/DOCUMENT").document_folder.is_ok());
  EXPECT_EQ(list_text, "");
}

TEST_F(WriteFileListTest, DeepTreesDoNotUseTheStack) {
  FakePlatform platform;
  std::string folder = "/r/DOCUMENT";
  for (int depth = 0; depth < 3000; ++depth) folder += "/d";
  platform.add_file(folder + "/deep.xml", "");
  const ListingOutcome outcome = list(platform, "/r/DOCUMENT");
  EXPECT_EQ(outcome.files_listed, 1u);
  EXPECT_EQ(list_text, folder + "/deep.xml\r\n");
}

TEST_F(WriteFileListTest, RemovesOnlyCertainLeftoversOfKilledRuns) {
  const std::string leftover = ".invoice-converter.0123456789ab.tmp";
  FakePlatform platform;
  platform.add_file("/r/DOCUMENT/a.xml", "");
  platform.add_file("/r/DOCUMENT/" + leftover, "half an invoice");
  platform.add_file("/r/DOCUMENT/sub/" + leftover, "half another");
  platform.add_file("/r/DOCUMENT/sub/b.xml", "");
  // Named alike but not certainly ours: each stays.
  platform.add_link("/r/DOCUMENT/link/" + leftover, "/r/DOCUMENT/a.xml");
  platform.add_file("/r/DOCUMENT/other/" + leftover, "").owned_by_other = true;
  platform.add_file("/r/DOCUMENT/busy/" + leftover, "").locked = true;
  // Near misses and hidden folders are never looked at.
  const std::vector<std::string> kept = {
      "/r/DOCUMENT/.invoice-converter.0123456789a.tmp",
      "/r/DOCUMENT/.invoice-converter.0123456789AB.tmp",
      "/r/DOCUMENT/.invoice-converter.0123456789ab.xml",
      "/r/DOCUMENT/.hidden/" + leftover,
      "/r/DOCUMENT/.hidden.xml",
      "/r/OTHER/" + leftover,
  };
  for (const std::string& path : kept) platform.add_file(path, "keep");
  platform.add_folder("/r/DOCUMENT/folder/" + leftover);

  const ListingOutcome outcome = list(platform, "/r/DOCUMENT");
  EXPECT_TRUE(outcome.status.is_ok());
  EXPECT_TRUE(outcome.failures.empty());  // a leftover that stays is no failure
  EXPECT_EQ(outcome.leftovers_removed, 2u);
  EXPECT_EQ(list_text, "/r/DOCUMENT/a.xml\r\n/r/DOCUMENT/sub/b.xml\r\n");
  EXPECT_EQ(platform.files.count("/r/DOCUMENT/" + leftover), 0u);
  EXPECT_EQ(platform.files.count("/r/DOCUMENT/sub/" + leftover), 0u);
  EXPECT_EQ(platform.links.count("/r/DOCUMENT/link/" + leftover), 1u);
  for (const char* folder : {"other", "busy"}) {
    EXPECT_EQ(platform.files.count("/r/DOCUMENT/" + std::string(folder) + "/" + leftover), 1u)
        << folder;
  }
  for (const std::string& path : kept) EXPECT_EQ(platform.files[path].content, "keep") << path;
  EXPECT_EQ(platform.folders.count("/r/DOCUMENT/folder/" + leftover), 1u);
  // Only names of the exact form, files not links, were handed to the
  // platform's careful removal.
  EXPECT_EQ(platform.logged("clean"),
            (std::vector<std::string>{
                "clean /r/DOCUMENT/" + leftover, "clean /r/DOCUMENT/busy/" + leftover,
                "clean /r/DOCUMENT/other/" + leftover, "clean /r/DOCUMENT/sub/" + leftover}));
}

}  // namespace
}  // namespace invoice
