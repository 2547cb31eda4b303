#include "platform/staging_invoice_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "status_printer.h"

namespace invoice {
namespace {

using Kind = Status::Kind;

// A staged file that only says what happens to it.
struct LoggedFile {
  std::vector<std::string>* log = nullptr;
  std::string name;
  bool removable = true;
  Status remove() {
    log->push_back("remove " + name);
    return removable ? Status::ok() : Status::error(Kind::kFolderMarked);
  }
  std::string path() const { return name; }
};

// The steps as a log, each failing on request with kOther.
class LoggedInvoiceFile final : public StagingInvoiceFile<LoggedFile> {
 public:
  mutable std::vector<std::string> log;
  std::string failing;  // the step that fails
  std::uint64_t links = 1;
  bool stop = false;
  bool removable = true;

  bool is_writable() const override { return true; }
  Status check_replaceable() const override { return Status::ok(); }
  Status load(std::string&) override { return Status::ok(); }
  Result<std::unique_ptr<KeptCopy>> copy_original(const std::string&, std::string_view) override {
    return Status::error(Kind::kOther);
  }

 private:
  Status step(const std::string& name) {
    log.push_back(name);
    return name == failing ? Status::error(Kind::kOther) : Status::ok();
  }
  std::uint64_t link_count() const override { return links; }
  FileTimes original_times() const override { return {}; }
  Result<LoggedFile> create_staged_file() override {
    if (Status made = step("create"); !made.is_ok()) return made;
    return LoggedFile{&log, "staged" + std::to_string(++made_), removable};
  }
  Status fill(LoggedFile& file, std::string_view content) override {
    return step("fill " + file.name + " " + std::string(content));
  }
  bool stop_requested() const override { return stop; }
  Status carry_metadata(LoggedFile& file, const FileTimes&) override {
    return step("carry " + file.name);
  }
  Status check_unchanged() const override {
    log.push_back("check");
    return failing == "check" ? Status::error(Kind::kChanged) : Status::ok();
  }
  Status rename_over_original(LoggedFile& file) override { return step("rename " + file.name); }
  void note_renamed() override { log.push_back("note"); }

  int made_ = 0;
};

TEST(StagingInvoiceFileTest, StepsRunInOrderAndAFailureLeavesNoStagedFile) {
  const struct {
    const char* name;
    std::string failing;
    std::uint64_t links;
    bool stop;
    Kind kind;
    std::vector<std::string> log;
  } cases[] = {
      {"staged", "", 1, false, Kind::kOk, {"create", "fill staged1 text", "carry staged1"}},
      {"hard-linked", "", 2, false, Kind::kHardLinked, {}},
      {"not created", "create", 1, false, Kind::kOther, {"create"}},
      {"not filled",
       "fill staged1 text",
       1,
       false,
       Kind::kOther,
       {"create", "fill staged1 text", "remove staged1"}},
      {"stopped", "", 1, true, Kind::kStopped, {"create", "fill staged1 text", "remove staged1"}},
      {"metadata not kept",
       "carry staged1",
       1,
       false,
       Kind::kOther,
       {"create", "fill staged1 text", "carry staged1", "remove staged1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoggedInvoiceFile file;
    file.failing = c.failing;
    file.links = c.links;
    file.stop = c.stop;
    EXPECT_EQ(file.stage("text").kind(), c.kind);
    EXPECT_EQ(file.log, c.log);
    // Only a staged file is left to put in place.
    EXPECT_EQ(file.put_staged_in_place().kind(), c.kind == Kind::kOk ? Kind::kOk : Kind::kNotFound);
  }
}

// The oldest staged file goes first, only over an unchanged original; one
// whose rename failed stays queued until discarded, and a discard tells of
// every file it could not remove.
TEST(StagingInvoiceFileTest, PutInPlaceOldestFirstAndDiscardTellsWhatStays) {
  LoggedInvoiceFile file;
  file.removable = false;
  ASSERT_TRUE(file.stage("a").is_ok());
  ASSERT_TRUE(file.stage("b").is_ok());
  file.failing = "fill staged3 c";
  EXPECT_FALSE(file.stage("c").is_ok());
  file.log.clear();
  file.failing = "check";
  EXPECT_EQ(file.put_staged_in_place().kind(), Kind::kChanged);
  file.failing = "";
  EXPECT_TRUE(file.put_staged_in_place().is_ok());
  file.failing = "rename staged2";
  EXPECT_EQ(file.put_staged_in_place().kind(), Kind::kOther);
  EXPECT_EQ(file.log, (std::vector<std::string>{"check", "check", "rename staged1", "note", "check",
                                                "rename staged2"}));
  std::vector<std::string> unremoved;
  for (const UnremovedFile& left : file.discard_staged()) {
    EXPECT_EQ(left.status.kind(), Kind::kFolderMarked);
    unremoved.push_back(left.path);
  }
  EXPECT_EQ(unremoved, (std::vector<std::string>{"staged3", "staged2"}));
  EXPECT_TRUE(file.discard_staged().empty());
  EXPECT_EQ(file.put_staged_in_place().kind(), Kind::kNotFound);
}

}  // namespace
}  // namespace invoice
