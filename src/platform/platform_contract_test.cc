// The contract of platform.h, held against every implementation: the
// in-memory fake and the platform this program is built for, on a scratch
// folder of its own. A new platform implementation is done when it passes
// this file. Portable: the scratch folder is made with the standard library.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "fake_platform.h"
#include "file_times.h"
#include "platform/platform.h"
#include "platform/replacement_name.h"
#include "status_printer.h"
#include "system_place.h"

namespace invoice {
namespace {

namespace fs = std::filesystem;
using Kind = Status::Kind;
using Type = DirectoryEntry::Type;
// A folder's entries as name, type and link flag, sorted.
using Listing = std::vector<std::tuple<std::string, Type, bool>>;

// The fake, with a folder for the test and the temporary folder it names.
class FakePlace {
 public:
  FakePlace() {
    fake_.add_folder(root_);
    fake_.add_folder(fake_.temporary_folder);
  }
  Platform& platform() { return fake_; }
  const std::string& root() const { return root_; }

  void make_file(const std::string& path, const std::string& content) {
    fake_.add_file(path, content);
  }
  void make_folder(const std::string& path) { fake_.add_folder(path); }
  void make_read_only(const std::string& path) { fake_.files.at(path).writable = false; }
  bool make_link(const std::string& path, const std::string& target) {
    fake_.add_link(path, target);
    return true;
  }
  bool make_foreign_file(const std::string& path) {
    fake_.add_file(path, "theirs").owned_by_other = true;
    return true;
  }
  std::optional<std::string> read(const std::string& path) const {
    auto it = fake_.files.find(fake_.resolve(path));
    if (it == fake_.files.end()) return std::nullopt;
    return it->second.content;
  }
  bool is_link(const std::string& path) const { return fake_.links.count(path) != 0; }
  bool exists(const std::string& path) const {
    return fake_.files.count(path) != 0 || fake_.folders.count(path) != 0 || is_link(path);
  }
  // The fake's change time is its count of changes.
  testing::FileTimes times(const std::string& path) const {
    const testing::FakePlatform::File& file = fake_.files.at(fake_.resolve(path));
    return {file.accessed, file.modified, {}, {file.changes, 0}};
  }
  bool set_times(const std::string& path, FileTime time) {
    return fake_.set_file_time(path, time).is_ok();
  }
  bool keeps_access_time_on_open() const { return true; }
  bool computes_sha256() const { return false; }

 private:
  testing::FakePlatform fake_;
  std::string root_ = "/contract";
};

template <class Place>
class PlatformContractTest : public ::testing::Test {
 protected:
  Place place;
  Platform& platform = place.platform();

  std::string path(std::string_view name) { return platform.join_path(place.root(), name); }

  Listing listing(const std::string& folder) {
    auto listed = platform.list_directory(folder);
    EXPECT_TRUE(listed.is_ok()) << listed.status;
    Listing out;
    for (const DirectoryEntry& entry : listed.value) {
      out.emplace_back(entry.name, entry.type, entry.is_link);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  // Replaces the content of each open file of a group with its text, as a
  // run does: stage all, flush them together, put each in place, flush the
  // folders.
  Status replace_in_group(const std::vector<std::pair<InvoiceFile*, std::string>>& group) {
    std::vector<InvoiceFile*> files;
    for (const auto& [file, text] : group) {
      if (Status staged = file->stage(text); !staged.is_ok()) return staged;
      files.push_back(file);
    }
    if (Status flushed = platform.flush_staged(files); !flushed.is_ok()) return flushed;
    for (InvoiceFile* file : files) {
      if (Status placed = file->put_staged_in_place(); !placed.is_ok()) return placed;
    }
    for (const Status& flushed : platform.flush_renamed_folders(files)) {
      if (!flushed.is_ok()) return flushed;
    }
    return Status::ok();
  }
  Status replace(InvoiceFile& file, const std::string& text) {
    return replace_in_group({{&file, text}});
  }
};

struct PlaceNames {
  template <class Place>
  static std::string GetName(int) {
    return std::is_same_v<Place, FakePlace> ? "Fake" : "System";
  }
};

using SystemPlace = testing::SystemPlace;
using Places = ::testing::Types<FakePlace, SystemPlace>;
TYPED_TEST_SUITE(PlatformContractTest, Places, PlaceNames);

std::string replacement_name(unsigned char seed) {
  std::array<unsigned char, kReplacementRandomLength> random{};
  random.fill(seed);
  return format_replacement_name(random);
}

TYPED_TEST(PlatformContractTest, MissingPathIsNotFoundAndNothingIsCreated) {
  Platform& tested = this->platform;
  const std::string missing = this->path("missing.xml");
  const std::string in_missing_folder = tested.join_path(this->path("no-folder"), "x.TMP");
  const struct {
    const char* operation;
    std::function<Status()> run;
  } cases[] = {
      {"open_invoice_file", [&] { return tested.open_invoice_file(missing).status; }},
      {"open_input_file", [&] { return tested.open_input_file(missing).status; }},
      {"remove_file", [&] { return tested.remove_file(missing); }},
      {"list_directory", [&] { return tested.list_directory(missing).status; }},
      {"remove_leftover_replacement",
       [&] { return tested.remove_leftover_replacement(this->path(replacement_name(1))); }},
      {"create_new_file", [&] { return tested.create_new_file(in_missing_folder).status; }},
  };
  for (const auto& c : cases) EXPECT_EQ(c.run().kind(), Kind::kNotFound) << c.operation;
  EXPECT_TRUE(this->listing(this->place.root()).empty());
}

// All that a new file gives back to read, in small pieces.
std::string read_back(OutputFile& file) {
  auto input = file.read_back();
  EXPECT_TRUE(input.is_ok()) << input.status;
  if (!input.is_ok()) return {};
  std::string content;
  char buffer[5];
  for (;;) {
    auto got = input.value->read(buffer, sizeof buffer);
    EXPECT_TRUE(got.is_ok()) << got.status;
    if (!got.is_ok() || got.value == 0) return content;
    content.append(buffer, got.value);
  }
}

TYPED_TEST(PlatformContractTest, NewFileIsMadeOnlyUnderAFreeNameAndReadsBack) {
  const std::string list = this->path("815.TMP");
  const std::string content =
      "/a/x.xml\r\n/b/fa\xC3\xA7"
      "ana.xml\r\n";
  auto created = this->platform.create_new_file(list);
  ASSERT_TRUE(created.is_ok()) << created.status;
  EXPECT_TRUE(created.value->write(content).is_ok());
  EXPECT_EQ(this->platform.create_new_file(list).status.kind(), Kind::kExists);
  // Read back through the file itself: on Windows no other open may read it.
  EXPECT_EQ(read_back(*created.value), content);
  EXPECT_TRUE(created.value->remove().is_ok());
  EXPECT_FALSE(this->place.exists(list));
}

TYPED_TEST(PlatformContractTest, NewFileIsReadBackAndRemovedOnlyAsItself) {
  const std::string list = this->path("816.TMP");
  auto created = this->platform.create_new_file(list);
  ASSERT_TRUE(created.is_ok()) << created.status;
  EXPECT_TRUE(created.value->write("/ours.xml\r\n").is_ok());
  // Another file takes the name: it is neither read nor removed.
  ASSERT_TRUE(this->platform.remove_file(list).is_ok());
  this->place.make_file(list, "/theirs.xml\r\n");
  if (this->place.read(list) != "/theirs.xml\r\n") {
    GTEST_SKIP() << "this system keeps a removed file's name until the file is closed";
  }
  EXPECT_EQ(read_back(*created.value), "/ours.xml\r\n");
  EXPECT_EQ(created.value->remove().kind(), Kind::kChanged);
  EXPECT_EQ(this->place.read(list), "/theirs.xml\r\n");
}

TYPED_TEST(PlatformContractTest, FolderIsNoRegularFileAndAFileNoFolder) {
  const std::string folder = this->path("folder.xml");
  const std::string file = this->path("file.xml");
  const std::string leftover_folder = this->path(replacement_name(2));
  this->place.make_folder(folder);
  this->place.make_folder(leftover_folder);
  this->place.make_file(file, "x");
  EXPECT_EQ(this->platform.open_invoice_file(folder).status.kind(), Kind::kNotRegular);
  EXPECT_EQ(this->platform.list_directory(file).status.kind(), Kind::kNotAFolder);
  EXPECT_EQ(this->platform.remove_leftover_replacement(leftover_folder).kind(), Kind::kNotRegular);
  EXPECT_TRUE(this->place.exists(leftover_folder));
}

TYPED_TEST(PlatformContractTest, InvoiceFileHeldOpenIsLocked) {
  const std::string invoice = this->path("a.xml");
  this->place.make_file(invoice, "<a/>");
  auto first = this->platform.open_invoice_file(invoice);
  ASSERT_TRUE(first.is_ok()) << first.status;
  EXPECT_EQ(this->platform.open_invoice_file(invoice).status.kind(), Kind::kLocked);
  first.value.reset();
  EXPECT_TRUE(this->platform.open_invoice_file(invoice).is_ok());
}

TYPED_TEST(PlatformContractTest, ListingNamesEveryEntryOnceWithoutDotsInAnyOrder) {
  const std::string utf8_name = "factura-\xC3\xA7\xE2\x82\xAC.xml";  // ç and the euro sign
  this->place.make_file(this->path("b.xml"), "");
  this->place.make_file(this->path("A.XML"), "");
  this->place.make_file(this->path(utf8_name), "");
  this->place.make_folder(this->path("sub"));
  this->place.make_file(this->platform.join_path(this->path("sub"), "deep.xml"), "");
  Listing expected = {
      {"A.XML", Type::kFile, false},
      {"b.xml", Type::kFile, false},
      {utf8_name, Type::kFile, false},
      {"sub", Type::kFolder, false},
  };
  // Links where the platform and the user can make them.
  const struct {
    const char* name;
    const char* target;
    Type type;
  } links[] = {{"to-file.xml", "b.xml", Type::kFile},
               {"to-folder", "sub", Type::kFolder},
               {"dangling", "nothing", Type::kOther}};
  for (const auto& link : links) {
    if (this->place.make_link(this->path(link.name), this->path(link.target))) {
      expected.emplace_back(link.name, link.type, true);
    }
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(this->listing(this->place.root()), expected);
  EXPECT_EQ(this->listing(this->path("sub")), (Listing{{"deep.xml", Type::kFile, false}}));
}

TYPED_TEST(PlatformContractTest, ReplaceChangesTheContentOnlyAndLeavesNoOtherFile) {
  const std::string invoice = this->path("a.xml");
  this->place.make_file(invoice, "old text, longer than the new");
  const FileTime time{1'400'000'000, 0};
  ASSERT_TRUE(this->place.set_times(invoice, time));
  {
    auto opened = this->platform.open_invoice_file(invoice);
    ASSERT_TRUE(opened.is_ok()) << opened.status;
    EXPECT_TRUE(opened.value->is_writable());
    EXPECT_TRUE(opened.value->check_replaceable().is_ok());
    std::string content;
    ASSERT_TRUE(opened.value->load(content).is_ok());
    EXPECT_EQ(content, "old text, longer than the new");
    const Status replaced = this->replace(*opened.value, "new text");
    ASSERT_TRUE(replaced.is_ok()) << replaced;
    // The lock moved to the new content.
    EXPECT_EQ(this->platform.open_invoice_file(invoice).status.kind(), Kind::kLocked);
  }
  EXPECT_EQ(this->place.read(invoice), "new text");
  EXPECT_EQ(this->place.times(invoice).modified, time);
  EXPECT_EQ(this->listing(this->place.root()), (Listing{{"a.xml", Type::kFile, false}}));
}

// Two files of one group, one of them replaced twice; a staged text that is
// never put in place leaves the original and no other file.
TYPED_TEST(PlatformContractTest, GroupPutsStagedTextsInPlaceInOrderAndDropsTheRest) {
  const std::string first = this->path("a.xml");
  const std::string second = this->path("b.xml");
  const std::string third = this->path("c.xml");
  for (const std::string& invoice : {first, second, third}) this->place.make_file(invoice, "old");
  {
    auto a = this->platform.open_invoice_file(first);
    auto b = this->platform.open_invoice_file(second);
    auto c = this->platform.open_invoice_file(third);
    ASSERT_TRUE(a.is_ok() && b.is_ok() && c.is_ok());
    ASSERT_TRUE(
        this->replace_in_group(
                {{a.value.get(), "upgraded"}, {a.value.get(), "final"}, {b.value.get(), "new"}})
            .is_ok());
    // Checked once let go: on Windows nothing else may read a held file.
    ASSERT_TRUE(c.value->stage("never placed").is_ok());
    EXPECT_TRUE(c.value->discard_staged().empty());
  }
  EXPECT_EQ(this->place.read(first), "final");
  EXPECT_EQ(this->place.read(second), "new");
  EXPECT_EQ(this->place.read(third), "old");
  EXPECT_EQ(this->listing(this->place.root()), (Listing{{"a.xml", Type::kFile, false},
                                                        {"b.xml", Type::kFile, false},
                                                        {"c.xml", Type::kFile, false}}));
}

// A file only read keeps every time, its change time included; a replaced
// one carries the times the original had when it was opened, to the 100
// nanoseconds that every platform keeps, through one step or two. The
// access time is no later than the write time, so that a read would move it
// where the system records reads.
TYPED_TEST(PlatformContractTest, TimesAreKeptExactlyOrCarriedToTheReplacement) {
  const struct {
    const char* name;
    std::vector<std::string> texts;  // put in place one after the other
  } cases[] = {{"only read", {}}, {"replaced", {"<b/>"}}, {"replaced twice", {"<b/>", "<c/>"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string invoice = this->path(std::string(c.name) + ".xml");
    this->place.make_file(invoice, "<a/>");
    ASSERT_TRUE(this->place.set_times(invoice, {1'500'000'000, 123'456'700}));
    const testing::FileTimes before = this->place.times(invoice);
    {
      auto opened = this->platform.open_invoice_file(invoice);
      ASSERT_TRUE(opened.is_ok()) << opened.status;
      std::string content;
      ASSERT_TRUE(opened.value->load(content).is_ok());
      std::vector<std::pair<InvoiceFile*, std::string>> group;
      for (const std::string& text : c.texts) group.emplace_back(opened.value.get(), text);
      if (!group.empty()) {
        ASSERT_TRUE(this->replace_in_group(group).is_ok());
      }
    }
    const testing::FileTimes after = this->place.times(invoice);
    EXPECT_EQ(this->place.read(invoice), c.texts.empty() ? "<a/>" : c.texts.back());
    EXPECT_EQ(after.modified, before.modified);
    if (this->place.keeps_access_time_on_open()) {
      EXPECT_EQ(after.accessed, before.accessed);
    }
    EXPECT_EQ(after.created, before.created);
    if (c.texts.empty()) {
      EXPECT_EQ(after.changed, before.changed);
    }
  }
  if (!this->place.keeps_access_time_on_open()) {
    GTEST_SKIP() << "this system moves the last-access time as it opens a file: not checked";
  }
}

// A kept original put back gets its own times, not those of the file it
// replaces.
TYPED_TEST(PlatformContractTest, StageWithTimesGivesTheNewFileThoseTimes) {
  const std::string invoice = this->path("a.xml");
  this->place.make_file(invoice, "<a/>");
  ASSERT_TRUE(this->place.set_times(invoice, {1'500'000'000, 0}));
  const FileTimes given{{1'400'000'000, 200}, {1'300'000'000, 123'456'700}, std::nullopt};
  {
    auto opened = this->platform.open_invoice_file(invoice);
    ASSERT_TRUE(opened.is_ok()) << opened.status;
    InvoiceFile& file = *opened.value;
    std::string content;
    ASSERT_TRUE(file.load(content).is_ok());
    ASSERT_TRUE(file.stage_with_times("<b/>", given).is_ok());
    ASSERT_TRUE(this->platform.flush_staged({&file}).is_ok());
    ASSERT_TRUE(file.put_staged_in_place().is_ok());
  }
  const testing::FileTimes after = this->place.times(invoice);
  EXPECT_EQ(after.modified, given.last_write);
  if (this->place.keeps_access_time_on_open()) {
    EXPECT_EQ(after.accessed, given.last_access);
  }
  EXPECT_EQ(this->place.read(invoice), "<b/>");
}

TYPED_TEST(PlatformContractTest, ReadOnlyFileIsReadButNotWritable) {
  const std::string invoice = this->path("a.xml");
  this->place.make_file(invoice, "<a/>");
  this->place.make_read_only(invoice);
  auto opened = this->platform.open_invoice_file(invoice);
  ASSERT_TRUE(opened.is_ok()) << opened.status;
  EXPECT_FALSE(opened.value->is_writable());
  std::string content;
  EXPECT_TRUE(opened.value->load(content).is_ok());
  EXPECT_EQ(content, "<a/>");
}

TYPED_TEST(PlatformContractTest, ReplaceThroughALinkKeepsTheLink) {
  const std::string target = this->path("target.xml");
  const std::string link = this->path("link.xml");
  this->place.make_file(target, "old");
  if (!this->place.make_link(link, target)) GTEST_SKIP() << "no symbolic links here";
  {
    auto opened = this->platform.open_invoice_file(link);
    ASSERT_TRUE(opened.is_ok()) << opened.status;
    std::string content;
    ASSERT_TRUE(opened.value->load(content).is_ok());
    EXPECT_EQ(content, "old");
    ASSERT_TRUE(this->replace(*opened.value, "new").is_ok());
  }
  EXPECT_TRUE(this->place.is_link(link));
  EXPECT_FALSE(this->place.is_link(target));
  EXPECT_EQ(this->place.read(target), "new");
  // The running user's own link, and no link at all, pass the folder rule.
  EXPECT_TRUE(this->platform.check_folder_link(link).is_ok());
  EXPECT_TRUE(this->platform.check_folder_link(target).is_ok());
}

TYPED_TEST(PlatformContractTest, LeftoverIsRemovedOnlyWhenItIsAnUnlockedFile) {
  const std::string free = this->path(replacement_name(3));
  const std::string held = this->path(replacement_name(4));
  this->place.make_file(free, "half an invoice");
  this->place.make_file(held, "being written");
  EXPECT_TRUE(this->platform.remove_leftover_replacement(free).is_ok());
  EXPECT_FALSE(this->place.exists(free));

  auto holder = this->platform.open_invoice_file(held);
  ASSERT_TRUE(holder.is_ok()) << holder.status;
  EXPECT_EQ(this->platform.remove_leftover_replacement(held).kind(), Kind::kLocked);
  holder.value.reset();  // on Windows nothing else may even read it before
  EXPECT_EQ(this->place.read(held), "being written");
  EXPECT_TRUE(this->platform.remove_leftover_replacement(held).is_ok());

  const std::string invoice = this->path("a.xml");
  const std::string link = this->path(replacement_name(5));
  this->place.make_file(invoice, "<a/>");
  if (!this->place.make_link(link, invoice)) GTEST_SKIP() << "no symbolic links here";
  EXPECT_EQ(this->platform.remove_leftover_replacement(link).kind(), Kind::kNotRegular);
  EXPECT_TRUE(this->place.is_link(link));
  EXPECT_EQ(this->place.read(invoice), "<a/>");
}

TYPED_TEST(PlatformContractTest, LeftoverOfAnotherUserStays) {
  const std::string theirs = this->path(replacement_name(6));
  if (!this->place.make_foreign_file(theirs)) {
    GTEST_SKIP() << "this test cannot give a file to another user portably";
  }
  EXPECT_EQ(this->platform.remove_leftover_replacement(theirs).kind(), Kind::kAccessDenied);
  EXPECT_TRUE(this->place.exists(theirs));
}

TYPED_TEST(PlatformContractTest, JoinedPathsHaveOneSeparatorAndWork) {
  Platform& tested = this->platform;
  const std::string root = this->place.root();
  EXPECT_EQ(tested.join_path("", "DOCUMENT"), "DOCUMENT");
  EXPECT_EQ(tested.join_path(tested.join_path(root, ""), "a.xml"), tested.join_path(root, "a.xml"));
  const std::string nested = tested.join_path(tested.join_path(root, "x"), "y.xml");
  this->place.make_folder(tested.join_path(root, "x"));
  ASSERT_TRUE(tested.create_new_file(nested).is_ok());
  EXPECT_EQ(this->listing(tested.join_path(root, "x")), (Listing{{"y.xml", Type::kFile, false}}));
}

// Copies kept in a backup folder: the bytes and times of the original as it
// was opened, named only once flushed, never over an existing entry, and
// gone when dropped unnamed.
TYPED_TEST(PlatformContractTest, KeptCopyHoldsTheOriginalAndIsNamedNeverOverAnEntry) {
  Platform& tested = this->platform;
  const std::string invoice = this->path("a.xml");
  const std::string backup = this->path("backup");
  this->place.make_file(invoice, "<original/>");
  this->place.make_folder(backup);
  this->place.make_file(tested.join_path(backup, "taken.xml"), "kept before");
  ASSERT_TRUE(this->place.set_times(invoice, {1'500'000'000, 123'456'700}));
  const testing::FileTimes before = this->place.times(invoice);
  {
    auto opened = tested.open_invoice_file(invoice);
    ASSERT_TRUE(opened.is_ok()) << opened.status;
    std::string content;
    ASSERT_TRUE(opened.value->load(content).is_ok());
    EXPECT_EQ(opened.value->copy_original(this->path("no-folder"), content).status.kind(),
              Kind::kNotFound);
    auto named = opened.value->copy_original(backup, content);
    auto refused = opened.value->copy_original(backup, content);
    auto dropped = opened.value->copy_original(backup, content);
    ASSERT_TRUE(named.is_ok() && refused.is_ok() && dropped.is_ok()) << named.status;
    EXPECT_TRUE(named.value->carries_access());
    // Unnamed, each is a replacement file that another run leaves alone.
    const Listing unnamed = this->listing(backup);
    EXPECT_EQ(unnamed.size(), 4u);
    for (const auto& [name, type, is_link] : unnamed) {
      if (name == "taken.xml") continue;
      EXPECT_TRUE(is_replacement_name(name)) << name;
      EXPECT_EQ(tested.remove_leftover_replacement(tested.join_path(backup, name)).kind(),
                Kind::kLocked);
    }
    ASSERT_TRUE(
        tested.flush_kept_copies({named.value.get(), refused.value.get(), dropped.value.get()})
            .is_ok());
    ASSERT_TRUE(named.value->give_name("a.xml").is_ok());
    EXPECT_EQ(refused.value->give_name("taken.xml").kind(), Kind::kExists);
    EXPECT_EQ(refused.value->give_name("a.xml").kind(), Kind::kExists);
    ASSERT_TRUE(refused.value->give_name("a.1.xml").is_ok());
  }
  EXPECT_TRUE(tested.flush_folder(backup).is_ok());
  for (const char* name : {"a.xml", "a.1.xml"}) {
    SCOPED_TRACE(name);
    const std::string kept = tested.join_path(backup, name);
    const testing::FileTimes times = this->place.times(kept);
    EXPECT_EQ(times.modified, before.modified);
    if (this->place.keeps_access_time_on_open()) {
      EXPECT_EQ(times.accessed, before.accessed);
    }
    EXPECT_EQ(this->place.read(kept), "<original/>");
  }
  EXPECT_EQ(this->place.read(tested.join_path(backup, "taken.xml")), "kept before");
  EXPECT_EQ(this->listing(backup), (Listing{{"a.1.xml", Type::kFile, false},
                                            {"a.xml", Type::kFile, false},
                                            {"taken.xml", Type::kFile, false}}));
}

TYPED_TEST(PlatformContractTest, AppendingAddsAtTheEndOfAFileOnly) {
  Platform& tested = this->platform;
  const std::string manifest = this->path("MANIFEST.tsv");
  for (const char* line : {"one\n", "two\n"}) {
    auto opened = tested.open_for_appending(manifest);
    ASSERT_TRUE(opened.is_ok()) << opened.status;
    EXPECT_TRUE(opened.value->write(line).is_ok());
    EXPECT_TRUE(opened.value->flush().is_ok());
  }
  EXPECT_EQ(this->place.read(manifest), "one\ntwo\n");
  this->place.make_folder(this->path("folder"));
  EXPECT_EQ(tested.open_for_appending(this->path("folder")).status.kind(), Kind::kNotRegular);
  EXPECT_EQ(
      tested.open_for_appending(tested.join_path(this->path("no-folder"), "M.tsv")).status.kind(),
      Kind::kNotFound);
  if (this->place.make_link(this->path("link.tsv"), manifest)) {
    EXPECT_EQ(tested.open_for_appending(this->path("link.tsv")).status.kind(), Kind::kNotRegular);
  }
  EXPECT_EQ(this->place.read(manifest), "one\ntwo\n");
}

TYPED_TEST(PlatformContractTest, PrivateFolderIsMadeOnlyUnderAFreeNameInAFolder) {
  Platform& tested = this->platform;
  const std::string folder = this->path("kept");
  this->place.make_file(this->path("file"), "x");
  ASSERT_TRUE(tested.create_private_folder(folder).is_ok());
  EXPECT_EQ(tested.create_private_folder(folder).kind(), Kind::kExists);
  EXPECT_EQ(tested.create_private_folder(this->path("file")).kind(), Kind::kExists);
  EXPECT_EQ(tested.create_private_folder(tested.join_path(this->path("no-folder"), "x")).kind(),
            Kind::kNotFound);
  EXPECT_TRUE(tested.create_new_file(tested.join_path(folder, "inside")).is_ok());
  EXPECT_TRUE(tested.flush_folder(folder).is_ok());
}

TYPED_TEST(PlatformContractTest, LiesWithinComparesWholeNamesOfResolvedPaths) {
  Platform& tested = this->platform;
  const std::string a = this->path("a");
  const std::string ab = this->path("ab");
  this->place.make_folder(tested.join_path(a, "b"));
  this->place.make_folder(ab);
  const struct {
    const char* name;
    std::string path;
    std::string folder;
    bool within;
  } cases[] = {
      {"the folder itself", a, a, true},
      {"below", tested.join_path(a, "b"), a, true},
      {"missing tail", tested.join_path(tested.join_path(a, "new"), "deeper"), a, true},
      {"sibling with the folder's name as prefix", tested.join_path(ab, "x"), a, false},
      {"above", a, tested.join_path(a, "b"), false},
  };
  for (const auto& c : cases) {
    const auto within = tested.lies_within(c.path, c.folder);
    ASSERT_TRUE(within.is_ok()) << c.name << ": " << within.status;
    EXPECT_EQ(within.value, c.within) << c.name;
  }
  if (this->place.make_link(this->path("to-a"), a)) {
    EXPECT_TRUE(tested.lies_within(this->path("to-a"), a).value);
    EXPECT_FALSE(tested.lies_within(this->path("to-a"), ab).value);
  }
}

TYPED_TEST(PlatformContractTest, Sha256TellsTextsApartAndIsTheStandardDigest) {
  const struct {
    std::string text;
    Sha256 digest;
  } cases[] = {
      {"", {0xe3, 0xb0, 0xc4, 0x42, 0x98, 0xfc, 0x1c, 0x14, 0x9a, 0xfb, 0xf4,
            0xc8, 0x99, 0x6f, 0xb9, 0x24, 0x27, 0xae, 0x41, 0xe4, 0x64, 0x9b,
            0x93, 0x4c, 0xa4, 0x95, 0x99, 0x1b, 0x78, 0x52, 0xb8, 0x55}},
      {"abc", {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
               0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
               0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad}},
  };
  std::vector<Sha256> digests;
  for (const auto& c : cases) {
    const auto digest = this->platform.sha256(c.text);
    ASSERT_TRUE(digest.is_ok()) << digest.status;
    // The fake's stand-in only tells texts apart.
    if (this->place.computes_sha256()) {
      EXPECT_EQ(digest.value, c.digest) << '"' << c.text << '"';
    }
    EXPECT_EQ(std::count(digests.begin(), digests.end(), digest.value), 0);
    digests.push_back(digest.value);
  }
}

TYPED_TEST(PlatformContractTest, ReadFileTellsItsTimes) {
  const std::string file = this->path("a.xml");
  this->place.make_file(file, "<a/>");
  const FileTime time{1'500'000'000, 500'000'000};
  ASSERT_TRUE(this->place.set_times(file, time));
  auto opened = this->platform.open_input_file(file);
  ASSERT_TRUE(opened.is_ok()) << opened.status;
  const auto times = opened.value->times();
  ASSERT_TRUE(times.is_ok()) << times.status;
  EXPECT_EQ(times.value.last_write, time);
  // Reading leaves the last-access time too: a kept original read by a
  // later run still has its own.
  char buffer[8];
  ASSERT_TRUE(opened.value->read(buffer, sizeof buffer).is_ok());
  opened.value.reset();
  if (this->place.keeps_access_time_on_open()) {
    EXPECT_EQ(times.value.last_access, time);
    EXPECT_EQ(this->place.times(file).accessed, time);
  }
}

TYPED_TEST(PlatformContractTest, DefaultTemporaryFolderIsAFolder) {
  EXPECT_TRUE(this->platform.list_directory(this->platform.default_temporary_folder()).is_ok());
}

}  // namespace
}  // namespace invoice
