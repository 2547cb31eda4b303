// What the Linux platform adds to the contract that every platform keeps:
// the conventions of POSIX systems.

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
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

}  // namespace
}  // namespace invoice
