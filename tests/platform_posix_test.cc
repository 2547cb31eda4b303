// What the POSIX platform adds to the contract that every platform keeps:
// the conventions of POSIX systems.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "driver/platform.h"
#include "scratch.h"

namespace invoice {
namespace {

// Sets an environment variable for one scope and puts the old value back.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedVariable() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(PosixPlatformTest, TemporaryFolderIsTmpdirElseTmp) {
  const auto platform = make_system_platform();
  const struct {
    const char* tmpdir;
    const char* folder;
  } cases[] = {{nullptr, "/tmp"}, {"", "/tmp"}, {"/var/scratch", "/var/scratch"}};
  for (const auto& c : cases) {
    const ScopedVariable tmpdir("TMPDIR", c.tmpdir);
    EXPECT_EQ(platform->default_temporary_folder(), c.folder) << (c.tmpdir ? c.tmpdir : "unset");
  }
}

TEST(PosixPlatformTest, PathsAreJoinedWithASlash) {
  const auto platform = make_system_platform();
  EXPECT_EQ(platform->join_path("/srv/mor", "DOCUMENT"), "/srv/mor/DOCUMENT");
  EXPECT_EQ(platform->join_path("/srv/mor/", "DOCUMENT"), "/srv/mor/DOCUMENT");
  EXPECT_EQ(platform->join_path("/", "tmp"), "/tmp");
  EXPECT_EQ(platform->join_path("", "DOCUMENT"), "DOCUMENT");
  // A backslash is an ordinary byte of a POSIX name.
  EXPECT_EQ(platform->join_path("C:\\ROOT\\", "DOCUMENT"), "C:\\ROOT\\/DOCUMENT");
}

// Invoices of one folder path share the folder the platform holds open,
// but only while the path still leads to it: a folder put in the place of
// another between two invoices is where the next one is read and replaced.
TEST(PosixPlatformTest, InvoiceIsFoundInTheFolderItsPathLeadsToNow) {
  const testing::ScratchFolder scratch;
  const std::string folder = scratch.path() + "/DOCUMENT";
  scratch.write("DOCUMENT/a.xml", "a");
  scratch.write("DOCUMENT/b.xml", "b in the folder moved away");
  const auto platform = make_system_platform();
  auto first = platform->open_invoice_file(folder + "/a.xml");
  ASSERT_TRUE(first.is_ok());
  ASSERT_EQ(std::rename(folder.c_str(), (folder + "-moved").c_str()), 0);
  scratch.write("DOCUMENT/b.xml", "b");
  auto second = platform->open_invoice_file(folder + "/b.xml");
  ASSERT_TRUE(second.is_ok());
  std::string content;
  ASSERT_TRUE(second.value->load(content).is_ok());
  EXPECT_EQ(content, "b");
  ASSERT_TRUE(second.value->stage("b converted").is_ok());
  ASSERT_TRUE(platform->flush_staged({second.value.get()}).is_ok());
  ASSERT_TRUE(second.value->put_staged_in_place().is_ok());
  EXPECT_EQ(testing::read_file(folder + "/b.xml"), "b converted");
  EXPECT_EQ(testing::read_file(folder + "-moved/b.xml"), "b in the folder moved away");
}

}  // namespace
}  // namespace invoice
