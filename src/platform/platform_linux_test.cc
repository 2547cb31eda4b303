// What the Linux platform adds to the contract that every platform keeps:
// the conventions of POSIX systems.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>

#include "platform/platform.h"

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

TEST(LinuxPlatformTest, TemporaryFolderIsTmpdirElseTmp) {
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

TEST(LinuxPlatformTest, PathsAreJoinedWithASlash) {
  const auto platform = make_system_platform();
  EXPECT_EQ(platform->join_path("/srv/mor", "DOCUMENT"), "/srv/mor/DOCUMENT");
  EXPECT_EQ(platform->join_path("/srv/mor/", "DOCUMENT"), "/srv/mor/DOCUMENT");
  EXPECT_EQ(platform->join_path("/", "tmp"), "/tmp");
  EXPECT_EQ(platform->join_path("", "DOCUMENT"), "DOCUMENT");
  // A backslash is an ordinary byte of a POSIX name.
  EXPECT_EQ(platform->join_path("C:\\ROOT\\", "DOCUMENT"), "C:\\ROOT\\/DOCUMENT");
}

// A folder of its own below the system's temporary folder, removed with
// everything in it.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::random_device random;
    do {
      path_ =
          std::filesystem::temp_directory_path() / ("invoice-linux-" + std::to_string(random()));
    } while (!std::filesystem::create_directory(path_));
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Invoices of one folder path share the folder the platform holds open,
// but only while the path still leads to it: a folder put in the place of
// another between two invoices is where the next one is read and replaced.
TEST(LinuxPlatformTest, InvoiceIsFoundInTheFolderItsPathLeadsToNow) {
  const TemporaryFolder scratch;
  const std::string folder = scratch.path() + "/DOCUMENT";
  std::filesystem::create_directory(folder);
  write_file(folder + "/a.xml", "a");
  write_file(folder + "/b.xml", "b in the folder moved away");
  const auto platform = make_system_platform();
  auto first = platform->open_invoice_file(folder + "/a.xml");
  ASSERT_TRUE(first.is_ok());
  std::filesystem::rename(folder, folder + "-moved");
  std::filesystem::create_directory(folder);
  write_file(folder + "/b.xml", "b");
  auto second = platform->open_invoice_file(folder + "/b.xml");
  ASSERT_TRUE(second.is_ok());
  std::string content;
  ASSERT_TRUE(second.value->load(content).is_ok());
  EXPECT_EQ(content, "b");
  ASSERT_TRUE(second.value->stage("b converted").is_ok());
  ASSERT_TRUE(platform->flush_staged({second.value.get()}).is_ok());
  ASSERT_TRUE(second.value->put_staged_in_place().is_ok());
  EXPECT_EQ(read_file(folder + "/b.xml"), "b converted");
  EXPECT_EQ(read_file(folder + "-moved/b.xml"), "b in the folder moved away");
}

}  // namespace
}  // namespace invoice
