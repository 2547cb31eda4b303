// What the Linux platform adds to the contract that every platform keeps:
// the conventions of POSIX systems.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "status_printer.h"

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

// Below the part that exists, ".." is the folder above the name before it,
// wherever that leads; the root holds everything; a folder that cannot be
// resolved is a failure.
TEST(LinuxPlatformTest, LiesWithinTakesDotDotAndTheRootAsTheSystemWould) {
  const TemporaryFolder scratch;
  const std::string root = scratch.path();
  std::filesystem::create_directories(root + "/DOCUMENT/2011");
  std::filesystem::create_directories(root + "/backup");
  const auto platform = make_system_platform();
  const struct {
    std::string path;
    std::string folder;
    bool within;
  } cases[] = {
      {root + "/DOCUMENT/../backup", root + "/DOCUMENT", false},
      {root + "/backup/../DOCUMENT/new", root + "/DOCUMENT", true},
      {root + "/DOCUMENT/new/../../backup/new", root + "/DOCUMENT", false},
      {root + "/DOCUMENT/new/../2011/new", root + "/DOCUMENT/2011", true},
      {root + "/backup", "/", true},
  };
  for (const auto& c : cases) {
    const auto within = platform->lies_within(c.path, c.folder);
    ASSERT_TRUE(within.is_ok()) << c.path << ": " << within.status;
    EXPECT_EQ(within.value, c.within) << c.path << " in " << c.folder;
  }
  EXPECT_TRUE(platform->lies_within(root, root + "/missing").status.is_not_found());
}

// A file system mounted on `folder` for one test, by the system's mount
// (root only), and unmounted when it goes away.
class MountedFileSystem {
 public:
  MountedFileSystem(const std::string& type, const std::string& options, const std::string& source,
                    const std::string& folder)
      : folder_(folder) {
    std::filesystem::create_directories(folder);
    const std::string command =
        "mount -t " + type + " -o " + options + " " + source + " " + folder + " 2>/dev/null";
    mounted_ = ::geteuid() == 0 && std::system(command.c_str()) == 0;
  }
  ~MountedFileSystem() {
    if (mounted_) (void)std::system(("umount " + folder_).c_str());
  }
  MountedFileSystem(const MountedFileSystem&) = delete;
  MountedFileSystem& operator=(const MountedFileSystem&) = delete;
  bool mounted() const { return mounted_; }

 private:
  std::string folder_;
  bool mounted_ = false;
};

// True when the first extent of the file at `path` shares its blocks with
// another file (a reflink).
bool shares_blocks(const std::string& path) {
  std::vector<std::uint64_t> buffer((sizeof(fiemap) + sizeof(fiemap_extent)) / 8 + 1);
  auto* map = reinterpret_cast<fiemap*>(buffer.data());
  map->fm_length = FIEMAP_MAX_OFFSET;
  map->fm_flags = FIEMAP_FLAG_SYNC;
  map->fm_extent_count = 1;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const bool mapped = fd >= 0 && ::ioctl(fd, FS_IOC_FIEMAP, map) == 0;
  if (fd >= 0) ::close(fd);
  return mapped && map->fm_mapped_extents == 1 &&
         (map->fm_extents[0].fe_flags & FIEMAP_EXTENT_SHARED) != 0;
}

// An original kept on every kind of backup file system: its bytes and times
// always; its owner, group, mode and extended attributes where that file
// system holds them, else a copy for the running user only; the invoice's
// blocks shared where the file system can; nothing left behind when the
// backup folder is full.
TEST(LinuxPlatformTest, KeptCopyCarriesWhatTheBackupFileSystemHolds) {
  const TemporaryFolder scratch;
  const std::string content(64 * 1024, 'x');
  const struct {
    const char* name;
    const char* type;  // none: the scratch folder's own file system
    const char* options;
    bool invoice_there;  // the invoice too on the mounted file system
    Status::Kind copied;
    bool carries_access;
    bool shares_blocks;
  } cases[] = {
      {"the invoice's file system", nullptr, "", false, Status::Kind::kOk, true, false},
      {"tmpfs", "tmpfs", "size=4m", false, Status::Kind::kOk, true, false},
      {"ramfs, no extended attributes", "ramfs", "mode=0755", false, Status::Kind::kOk, false,
       false},
      {"a full tmpfs", "tmpfs", "size=16k", false, Status::Kind::kNoSpace, false, false},
      {"XFS with reflinks", "xfs", "loop", true, Status::Kind::kOk, true, true},
  };
  std::string skipped;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string place = scratch.path() + "/" + std::to_string(&c - cases);
    std::string source = c.type == nullptr ? "" : c.type;
    if (c.type != nullptr && std::string(c.type) == "xfs") {
      source = place + ".img";
      std::filesystem::resize_file((write_file(source, ""), source), 300 << 20);
      if (std::system(("mkfs.xfs -q " + source + " 2>/dev/null").c_str()) != 0) source.clear();
    }
    const MountedFileSystem mounted(c.type ? c.type : "", c.options, source, place + "/mount");
    if (c.type != nullptr && (source.empty() || !mounted.mounted())) {
      skipped += std::string(" ") + c.name + ";";
      continue;
    }
    const std::string backup = place + (c.type ? "/mount/backup" : "/backup");
    const std::string invoice = place + (c.invoice_there ? "/mount/a.xml" : "/a.xml");
    std::filesystem::create_directories(backup);
    write_file(invoice, content);
    ASSERT_EQ(::chmod(invoice.c_str(), 0640), 0);
    ASSERT_EQ(::setxattr(invoice.c_str(), "user.invoice", "kept", 4, 0), 0);
    if (::geteuid() == 0) {
      ASSERT_EQ(::chown(invoice.c_str(), 65534, 65534), 0);
    }
    const timespec times[2] = {{1'400'000'000, 123'456'789}, {1'500'000'000, 987'654'321}};
    ASSERT_EQ(::utimensat(AT_FDCWD, invoice.c_str(), times, 0), 0);
    const auto platform = make_system_platform();
    {
      auto opened = platform->open_invoice_file(invoice);
      ASSERT_TRUE(opened.is_ok()) << opened.status;
      std::string loaded;
      ASSERT_TRUE(opened.value->load(loaded).is_ok());
      auto copy = opened.value->copy_original(backup, loaded);
      ASSERT_EQ(copy.status.kind(), c.copied) << copy.status;
      if (copy.is_ok()) {
        EXPECT_EQ(copy.value->carries_access(), c.carries_access);
        ASSERT_TRUE(platform->flush_kept_copies({copy.value.get()}).is_ok());
        ASSERT_TRUE(copy.value->give_name("a.xml").is_ok());
      }
    }
    const std::vector<std::string> expected_names = c.copied == Status::Kind::kOk
                                                        ? std::vector<std::string>{"a.xml"}
                                                        : std::vector<std::string>{};
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(backup)) {
      names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, expected_names);
    if (c.copied != Status::Kind::kOk) continue;
    const std::string kept = backup + "/a.xml";
    struct stat original_info, kept_info;
    ASSERT_EQ(::stat(invoice.c_str(), &original_info), 0);
    ASSERT_EQ(::stat(kept.c_str(), &kept_info), 0);
    EXPECT_EQ(kept_info.st_mtim.tv_nsec, times[1].tv_nsec);
    EXPECT_EQ(kept_info.st_atim.tv_nsec, times[0].tv_nsec);
    EXPECT_EQ(kept_info.st_mode & 07777, c.carries_access ? 0640u : 0600u);
    if (c.carries_access) {
      EXPECT_EQ(kept_info.st_uid, original_info.st_uid);
      EXPECT_EQ(kept_info.st_gid, original_info.st_gid);
      char value[8] = {};
      EXPECT_EQ(::getxattr(kept.c_str(), "user.invoice", value, sizeof value), 4);
      EXPECT_STREQ(value, "kept");
    }
    EXPECT_EQ(shares_blocks(kept), c.shares_blocks);
    EXPECT_EQ(read_file(kept), content);
  }
  if (!skipped.empty()) GTEST_SKIP() << "needs root, mount and mkfs.xfs; not checked:" << skipped;
}

}  // namespace
}  // namespace invoice
