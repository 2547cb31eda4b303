// Faults driven for real against the built program: a full disk, folders
// that take no new file or cannot be read, a TEMP that takes no file list, a
// missing document folder, and invoices that other programs change at the
// worst moment. Each time nothing may be lost, the failure must be reported
// on standard error with its path and reason, it must not be counted, the
// exit status must be 1, and the rest of the tree must still be converted.
//
// Permission bits do not bind root, so when the tests run as root the
// program runs as "nobody" over a tree given to nobody; small file systems
// are mounted where the tests may (as root), and skipped with a message
// elsewhere. Moments inside a run are reached by tracing the program's
// system calls (x86-64 Linux).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "expected_output.h"
#include "platform/replacement_name.h"
#include "sample_invoices.h"
#include "scratch.h"

namespace invoice {
namespace {

namespace fs = std::filesystem;
using testing::failure_line;
using testing::ProgramOptions;
using testing::ProgramRun;
using testing::ScratchFolder;
using Kind = Status::Kind;

bool is_root() { return ::geteuid() == 0; }

// A small tmpfs mounted for one test; unmounted when it goes away. Mounting
// needs root. The mount is made in a mount namespace of the test process's
// own where it can have one, so that nothing outlives a crashed test.
class SmallFilesystem {
 public:
  SmallFilesystem(const std::string& where, const std::string& size) : path_(where) {
    if (!is_root()) return;
    static const bool private_namespace =
        ::unshare(CLONE_NEWNS) == 0 &&
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    (void)private_namespace;
    fs::create_directories(where);
    mounted_ = ::mount("tmpfs", where.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                       ("size=" + size + ",mode=0755").c_str()) == 0;
  }
  ~SmallFilesystem() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  SmallFilesystem(const SmallFilesystem&) = delete;
  SmallFilesystem& operator=(const SmallFilesystem&) = delete;

  bool mounted() const { return mounted_; }
  bool make_read_only() const {
    return ::mount(nullptr, path_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV,
                   nullptr) == 0;
  }
  // Fills the file system up with one file.
  void fill() const {
    const int fd = ::open((path_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
  }

 private:
  std::string path_;
  bool mounted_ = false;
};

#define SKIP_UNLESS_MOUNTED(filesystem) \
  if (!(filesystem).mounted()) GTEST_SKIP() << "needs root to mount a small tmpfs"

class FaultTest : public ::testing::Test {
 protected:
  ScratchFolder root;
  ScratchFolder temp;
  ProgramOptions options;
  // Invoices that must be converted whatever else fails.
  std::vector<std::string> bystanders;

  void SetUp() override {
    options.environment = testing::run_environment(root.path(), temp.path());
    write_bystanders();
  }

  // Writes the bystanders afresh, for a test that runs the program again.
  void write_bystanders() {
    bystanders.clear();
    for (const char* name : {"DOCUMENT/a.xml", "DOCUMENT/sub/b.xml", "DOCUMENT/zz/z.xml"}) {
      bystanders.push_back(root.write(name, testing::old_invoice()));
    }
  }

  std::string invoice(const std::string& relative) const {
    return root.path() + "/DOCUMENT/" + relative;
  }

  // Lets the program run as nobody, over a tree and TEMP given to nobody,
  // when the tests run as root: permission bits bind root in no other way.
  void run_unprivileged() {
    if (!is_root()) return;
    testing::change_owner_of_tree(root.path(), testing::kUnprivilegedUser,
                                  testing::kUnprivilegedGroup);
    testing::change_owner_of_tree(temp.path(), testing::kUnprivilegedUser,
                                  testing::kUnprivilegedGroup);
    options.user = testing::kUnprivilegedUser;
    options.group = testing::kUnprivilegedGroup;
  }

  ProgramRun run() const { return testing::run_program(options); }

  // The bystanders are converted, the failures are exactly `errors` (the
  // kinds' Catalan texts; the system's own wording may follow each), not
  // counted (`extra` files besides the bystanders were converted), and the
  // exit status is 1. No replacement file is left anywhere.
  void expect_reported(const ProgramRun& result, const std::string& errors, int extra_upgrades = 0,
                       int extra_conversions = 0) const {
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(testing::without_system_wording(result.errors), errors) << result.errors;
    const int count = static_cast<int>(bystanders.size());
    EXPECT_EQ(result.output,
              testing::summary_lines(count + extra_upgrades, count + extra_conversions));
    for (const std::string& path : bystanders) {
      EXPECT_EQ(testing::read_file(path), testing::converted(testing::old_invoice())) << path;
    }
    for (const std::string& relative : testing::list_tree(root.path())) {
      EXPECT_FALSE(is_replacement_name(fs::path(relative).filename().string())) << relative;
    }
    EXPECT_TRUE(testing::list_tree(temp.path()).empty());
  }
};

// A document that grows on the first step (its 3.0 texts) and then to about
// three times its size on the second (every 0xD5 becomes a three-byte euro
// sign).
std::string make_big_invoice(std::size_t size, char filler) {
  std::string text = testing::old_invoice();
  const std::string line = "<!-- " + std::string(120, filler) + " -->\r\n";
  while (text.size() < size) text += line;
  return text;
}

TEST_F(FaultTest, DiskFullDuringEitherWriteKeepsTheLastWholeText) {
  // 512 KiB: the first replacement of a 300 KB document does not fit next to
  // it; for one of 150 KB the upgrade fits, the conversion (450 KB) does not.
  const struct {
    std::size_t size;
    char filler;
    bool upgraded;
  } cases[] = {{300'000, 'x', false}, {150'000, '\xD5', true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    ScratchFolder place;
    SmallFilesystem small(place.path() + "/fs", "512k");
    SKIP_UNLESS_MOUNTED(small);
    const std::string text = make_big_invoice(c.size, c.filler);
    std::string upgraded = text;
    upgrade_document(upgraded, testing::make_test_table());
    const std::string path = place.path() + "/fs/DOCUMENT/m-big.xml";
    fs::create_directories(place.path() + "/fs/DOCUMENT");
    place.write("fs/DOCUMENT/m-big.xml", text);
    bystanders.clear();
    for (const char* name : {"fs/DOCUMENT/a.xml", "fs/DOCUMENT/z/z.xml"}) {
      bystanders.push_back(place.write(name, testing::old_invoice()));
    }
    options.environment["MORROOT"] = place.path() + "/fs";
    const ProgramRun result = run();
    // The upgraded text is a whole, counted step: it stays, and only the
    // conversion that did not fit is reported, saying so.
    expect_reported(
        result,
        failure_line(path, c.upgraded ? kCannotSaveConversion : kCannotSave, Kind::kNoSpace),
        c.upgraded);
    EXPECT_EQ(testing::read_file(path), c.upgraded ? upgraded : text);
    EXPECT_EQ(testing::list_tree(place.path() + "/fs/DOCUMENT"),
              (std::vector<std::string>{"a.xml", "m-big.xml", "z", "z/z.xml"}));
  }
}

TEST_F(FaultTest, TempFolderThatTakesNoFileList) {
  ScratchFolder place;
  const std::string plain_file = place.write("plain", "a file, not a folder");
  const struct {
    const char* name;
    std::string temp;
    bool unprivileged;
  } cases[] = {
      {"missing", place.path() + "/missing", false},
      {"a plain file", plain_file, false},
      {"no write permission", place.path() + "/closed", true},
  };
  fs::create_directories(place.path() + "/closed");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramOptions own = options;
    own.environment["TEMP"] = c.temp;
    if (c.unprivileged) {
      run_unprivileged();
      own.user = options.user;
      own.group = options.group;
      ::chmod(c.temp.c_str(), 0555);
      testing::change_owner_of_tree(place.path(), testing::kUnprivilegedUser,
                                    testing::kUnprivilegedGroup);
    }
    const ProgramRun result = testing::run_program(own);
    if (result.exit_status == 127) GTEST_SKIP() << "the program cannot be run as nobody here";
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.output, testing::summary_lines(0, 0));
    EXPECT_EQ(result.errors.rfind(std::string(kFailureHead) + c.temp + "/", 0), 0u)
        << result.errors;
    EXPECT_NE(result.errors.find(std::string(kFailureSeparator) + std::string(kCannotCreateList)),
              std::string::npos)
        << result.errors;
    for (const std::string& path : bystanders) {
      EXPECT_EQ(testing::read_file(path), testing::old_invoice());
    }
  }
  EXPECT_EQ(testing::read_file(plain_file), "a file, not a folder");
  EXPECT_TRUE(testing::list_tree(place.path() + "/closed").empty());
}

TEST_F(FaultTest, TempOnAFullOrReadOnlyFilesystem) {
  for (const bool full : {true, false}) {
    SCOPED_TRACE(full ? "full" : "read-only");
    ScratchFolder place;
    SmallFilesystem small(place.path() + "/fs", "64k");
    SKIP_UNLESS_MOUNTED(small);
    if (full) {
      small.fill();
    } else {
      ASSERT_TRUE(small.make_read_only());
    }
    options.environment["TEMP"] = place.path() + "/fs";
    const ProgramRun result = run();
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.output, testing::summary_lines(0, 0));
    const std::string reason =
        full ? std::string(kCannotWriteList) + std::string(describe_kind(Kind::kNoSpace))
             : std::string(kCannotCreateList);
    EXPECT_NE(result.errors.find(reason), std::string::npos) << result.errors;
    for (const std::string& path : bystanders) {
      EXPECT_EQ(testing::read_file(path), testing::old_invoice());
    }
    // The list that could not be written whole is gone again.
    EXPECT_EQ(testing::list_tree(place.path() + "/fs"),
              full ? std::vector<std::string>{"filler"} : std::vector<std::string>{});
  }
}

// Sets or clears file flags (chattr) of a file or folder; false where the
// file system has none.
bool change_flags(const std::string& path, int flags, bool set) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  int present = 0;
  bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &present) == 0;
  present = set ? present | flags : present & ~flags;
  done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &present) == 0;
  if (fd >= 0) ::close(fd);
  return done;
}

// No write permission (binding nobody, as whom the run then goes), marked
// append-only with a leftover of a killed run in it, marked immutable.
TEST_F(FaultTest, FolderThatTakesNoNewFile) {
  const std::string closed = root.write("DOCUMENT/closed/c.xml", testing::old_invoice());
  const std::string appended = root.write("DOCUMENT/m-append/a.xml", testing::old_invoice());
  const std::string leftover =
      root.write("DOCUMENT/m-append/.invoice-converter.0123456789ab.tmp", testing::old_invoice());
  const std::string immutable = root.write("DOCUMENT/m-immutable/i.xml", testing::old_invoice());
  run_unprivileged();
  ::chmod(invoice("closed").c_str(), 0555);
  const bool marked = change_flags(invoice("m-append"), FS_APPEND_FL, true) &&
                      change_flags(invoice("m-immutable"), FS_IMMUTABLE_FL, true);
  const ProgramRun result = run();
  change_flags(invoice("m-append"), FS_APPEND_FL, false);
  change_flags(invoice("m-immutable"), FS_IMMUTABLE_FL, false);
  if (result.exit_status == 127) GTEST_SKIP() << "the program cannot be run as nobody here";
  const std::string marked_errors = failure_line(appended, kCannotSave, Kind::kFolderMarked) +
                                    failure_line(immutable, kCannotSave, Kind::kFolderMarked);
  EXPECT_EQ(fs::exists(leftover), marked);
  fs::remove(leftover);
  expect_reported(result,
                  marked
                      ? failure_line(leftover, kCannotRemoveCopy, Kind::kFolderMarked) +
                            failure_line(closed, kCannotSave, Kind::kAccessDenied) + marked_errors
                      : failure_line(closed, kCannotSave, Kind::kAccessDenied),
                  marked ? 0 : 2, marked ? 0 : 2);
  EXPECT_EQ(testing::read_file(closed), testing::old_invoice());
  if (!marked) GTEST_SKIP() << "marked folders: none on this file system, or not as root";
  EXPECT_EQ(testing::read_file(appended), testing::old_invoice());
  EXPECT_EQ(testing::read_file(immutable), testing::old_invoice());
}

TEST_F(FaultTest, ReadOnlyFilesystemInTheTree) {
  SmallFilesystem small(invoice("archive"), "1m");
  SKIP_UNLESS_MOUNTED(small);
  const std::string needs_change = root.write("DOCUMENT/archive/old.xml", testing::old_invoice());
  const std::string current =
      root.write("DOCUMENT/archive/new.xml", testing::converted(testing::old_invoice()));
  testing::set_times(needs_change, 1'500'000'000, 5);
  ASSERT_TRUE(small.make_read_only());
  const ProgramRun result = run();
  // A file that needs no change is no failure, even where nothing can be
  // written.
  expect_reported(result, testing::read_only_line(needs_change));
  EXPECT_EQ(testing::read_file(needs_change), testing::old_invoice());
  EXPECT_EQ(testing::stat_of(needs_change).st_mtim.tv_nsec, 5);
}

TEST_F(FaultTest, SubfolderThatCannotBeRead) {
  const std::string hidden_invoice = root.write("DOCUMENT/m-closed/x.xml", testing::old_invoice());
  const std::string blind_invoice = root.write("DOCUMENT/m-blind/y.xml", testing::old_invoice());
  run_unprivileged();
  ::chmod(invoice("m-closed").c_str(), 0);
  ::chmod(invoice("m-blind").c_str(), 0300);  // may be passed through, not read
  const ProgramRun result = run();
  if (result.exit_status == 127) GTEST_SKIP() << "the program cannot be run as nobody here";
  expect_reported(result,
                  failure_line(invoice("m-blind"), kCannotReadFolder, Kind::kAccessDenied) +
                      failure_line(invoice("m-closed"), kCannotReadFolder, Kind::kAccessDenied));
  ::chmod(invoice("m-closed").c_str(), 0700);
  ::chmod(invoice("m-blind").c_str(), 0700);
  EXPECT_EQ(testing::read_file(hidden_invoice), testing::old_invoice());
  EXPECT_EQ(testing::read_file(blind_invoice), testing::old_invoice());
}

TEST_F(FaultTest, DocumentFolderMissingOrNotAFolder) {
  ScratchFolder elsewhere;
  const std::string plain = elsewhere.write("plain", "not a folder");
  constexpr Kind kMissing = Kind::kNotFound;
  constexpr Kind kNotAFolder = Kind::kNotAFolder;
  const struct {
    const char* name;
    std::function<std::string()> make;  // gives MORROOT
    Kind reason;
    bool needs_root = false;  // to give a link to another user
  } cases[] = {
      {"no DOCUMENT", [&] { return elsewhere.path() + "/empty-root"; }, kMissing},
      {"DOCUMENT a plain file",
       [&] {
         elsewhere.write("file-root/DOCUMENT", "not a folder");
         return elsewhere.path() + "/file-root";
       },
       kNotAFolder},
      {"DOCUMENT a dangling link",
       [&] {
         fs::create_directories(elsewhere.path() + "/link-root");
         fs::create_symlink(elsewhere.path() + "/nowhere",
                            elsewhere.path() + "/link-root/DOCUMENT");
         return elsewhere.path() + "/link-root";
       },
       kMissing},
      {"MORROOT missing", [&] { return elsewhere.path() + "/missing"; }, kMissing},
      {"MORROOT a plain file", [&] { return plain; }, kNotAFolder},
      // Root's own invoices elsewhere, reached through a link that another
      // user planted as DOCUMENT: nothing in them is touched. Last, since
      // without root it skips the rest of the test.
      {"DOCUMENT another user's link to root's folder",
       [&] {
         elsewhere.write("roots/a.xml", testing::old_invoice());
         elsewhere.write("roots/.invoice-converter.0123456789ab.tmp", "root's own");
         fs::create_directories(elsewhere.path() + "/planted");
         fs::create_symlink(elsewhere.path() + "/roots", elsewhere.path() + "/planted/DOCUMENT");
         ::lchown((elsewhere.path() + "/planted/DOCUMENT").c_str(), 60001, 60001);
         return elsewhere.path() + "/planted";
       },
       Kind::kForeignLink, true},
  };
  fs::create_directories(elsewhere.path() + "/empty-root");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needs_root && !is_root()) GTEST_SKIP() << "needs root to give a link to another user";
    ProgramOptions own = options;
    own.environment["MORROOT"] = c.make();
    const auto before = testing::list_tree(elsewhere.path());
    const ProgramRun result = testing::run_program(own);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.output, testing::summary_lines(0, 0));
    EXPECT_EQ(testing::without_system_wording(result.errors),
              failure_line(own.environment["MORROOT"] + "/DOCUMENT", describe_kind(c.reason)))
        << result.errors;
    EXPECT_EQ(testing::list_tree(elsewhere.path()), before);  // nothing created
    EXPECT_TRUE(testing::list_tree(temp.path()).empty());
  }
  EXPECT_EQ(testing::read_file(elsewhere.path() + "/roots/a.xml"), testing::old_invoice());
}

TEST_F(FaultTest, DocumentFolderThatCannotBeReadIsNamed) {
  const struct {
    const char* name;
    bool unprivileged;  // the mode binds nobody, not root
    std::optional<long long> descriptors;
    Kind kind;
  } cases[] = {
      {"passable, not readable", true, std::nullopt, Kind::kAccessDenied},
      {"too few descriptors", false, 4, Kind::kTooManyFiles},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
#ifdef __SANITIZE_ADDRESS__
    if (c.descriptors) GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own";
#endif
    if (c.unprivileged) run_unprivileged();
    ::chmod((root.path() + "/DOCUMENT").c_str(), c.unprivileged ? 0300 : 0755);
    ProgramOptions own = options;
    if (!c.unprivileged) {
      own.user.reset();
      own.group.reset();
    }
    own.open_file_limit = c.descriptors;
    const ProgramRun result = testing::run_program(own);
    if (result.exit_status == 127) GTEST_SKIP() << "the program cannot be run as nobody here";
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.output, testing::summary_lines(0, 0));
    EXPECT_EQ(testing::without_system_wording(result.errors),
              failure_line(root.path() + "/DOCUMENT", kCannotReadFolder, c.kind));
    for (const std::string& path : bystanders) {
      EXPECT_EQ(testing::read_file(path), testing::old_invoice());
    }
    EXPECT_TRUE(testing::list_tree(temp.path()).empty());
  }
}

// Out of memory at whatever moment a limit on the address space makes it
// happen once the run has begun: never an abort; each invoice whole, the
// list removed, and the shortage reported with exit status 1.
TEST_F(FaultTest, OutOfMemoryIsReportedNeverAnAbort) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizers' runtime reserves more address space than the limits tried";
#endif
  int reported = 0;
  for (long long kib = 5600; kib <= 7600; kib += 100) {
    SCOPED_TRACE(kib);
    write_bystanders();
    ProgramOptions own = options;
    own.address_space_limit = kib * 1024;
    const ProgramRun result = testing::run_program(own);
    // Too little to load the program, or to start it: nothing begun.
    if (result.exit_status == 127 || result.output.empty()) continue;
    if (result.exit_status == 1) {
      EXPECT_NE(result.errors.find(describe_kind(Kind::kNoMemory)), std::string::npos)
          << result.errors;
      ++reported;
    } else {
      EXPECT_EQ(result.exit_status, 0) << result.errors;
    }
    for (const std::string& path : bystanders) {
      const std::string text = testing::read_file(path);
      EXPECT_TRUE(text == testing::old_invoice() ||
                  text == testing::converted(testing::old_invoice()));
    }
    EXPECT_TRUE(testing::list_tree(temp.path()).empty());
  }
  if (reported == 0) GTEST_SKIP() << "no limit tried ran this build out of memory";
}

// A pass-through FUSE file system (tests/fuse_passthrough.py, python3-fusepy)
// over a folder, logging the calls that reach it; unmounted when it goes
// away. Mounting needs root and /dev/fuse.
class FuseMount {
 public:
  FuseMount(const std::string& source, const std::string& where, const std::string& log)
      : where_(where) {
    if (!is_root() || ::access("/dev/fuse", R_OK | W_OK) != 0) return;
    fs::create_directories(where);
    daemon_ = ::fork();
    if (daemon_ == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
      const std::string script = std::string(INVOICE_TESTS_DIR) + "/fuse_passthrough.py";
      ::execl("/usr/bin/python3", "python3", script.c_str(), source.c_str(), where.c_str(),
              log.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int wait = 0; daemon_ > 0 && wait < 100 && !mounted(); ++wait) {
      if (::waitpid(daemon_, nullptr, WNOHANG) == daemon_) daemon_ = -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~FuseMount() {
    if (daemon_ <= 0) return;
    if (!mounted() || ::umount2(where_.c_str(), 0) != 0) ::kill(daemon_, SIGTERM);
    ::waitpid(daemon_, nullptr, 0);
  }
  FuseMount(const FuseMount&) = delete;
  FuseMount& operator=(const FuseMount&) = delete;

  bool mounted() const {
    struct statfs info {};
    return ::statfs(where_.c_str(), &info) == 0 && info.f_type == 0x65735546;
  }

 private:
  std::string where_;
  pid_t daemon_ = -1;
};

// Each rename of a replacement over an invoice in one step, after a flush of
// that very file, and each folder flushed after its renames: also with so
// few descriptors that the folders can be flushed only through those the
// invoices already hold.
TEST_F(FaultTest, OnFuseEveryStagedFileIsFlushedBeforeItsRename) {
  const std::vector<std::string> names = {"a.xml", "b.xml", "sub/c.xml"};
  for (const std::optional<long long> descriptors : {std::optional<long long>(), {9LL}}) {
    SCOPED_TRACE(descriptors ? "nine descriptors" : "no limit");
#ifdef __SANITIZE_ADDRESS__
    if (descriptors) GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own";
#endif
    ScratchFolder place;
    for (const std::string& name : names) {
      place.write("source/DOCUMENT/" + name, testing::old_invoice());
    }
    const std::string log = place.path() + "/log";
    {
      FuseMount fuse(place.path() + "/source", place.path() + "/mount", log);
      if (!fuse.mounted()) {
        GTEST_SKIP() << "cannot mount a FUSE file system here (needs root, /dev/fuse and "
                        "python3-fusepy)";
      }
      ProgramOptions own = options;
      own.environment["MORROOT"] = place.path() + "/mount";
      own.open_file_limit = descriptors;
      const ProgramRun result = testing::run_program(own);
      EXPECT_EQ(result.exit_status, 0) << result.errors;
      EXPECT_EQ(result.output, testing::summary_lines(3, 3));
    }
    for (const std::string& name : names) {
      EXPECT_EQ(testing::read_file(place.path() + "/source/DOCUMENT/" + name),
                testing::converted(testing::old_invoice()));
    }
    std::ifstream lines(log);
    std::vector<std::string> flushed;
    std::set<std::string> folders_to_flush;
    int renames = 0;
    for (std::string operation, from, to; lines >> operation >> from;) {
      if (operation == "fsync") flushed.push_back(from);
      if (operation == "fsyncdir") folders_to_flush.erase(from);
      if (operation != "rename") continue;
      lines >> to;
      ++renames;
      folders_to_flush.insert(fs::path(to).parent_path().string());
      EXPECT_TRUE(is_replacement_name(fs::path(from).filename().string())) << from << " " << to;
      EXPECT_NE(std::find(flushed.begin(), flushed.end(), from), flushed.end()) << from;
    }
    EXPECT_EQ(renames, 6);
    EXPECT_TRUE(folders_to_flush.empty());
  }
}

#if defined(__x86_64__) && defined(__linux__)

// One system call that the traced program is about to make.
struct SystemCall {
  long number;
  std::uint64_t argument[6];
};

// The program, stopped before chosen system calls so that a test can act as
// another program would at exactly that moment.
class TracedProgram {
 public:
  explicit TracedProgram(ProgramOptions options) : process_((options.traced = true, options)) {
    int status = 0;
    ::waitpid(process_.pid(), &status, 0);  // stopped at its start
    running_ = WIFSTOPPED(status);
    if (!running_) end_status_ = status;
    ::ptrace(PTRACE_SETOPTIONS, process_.pid(), nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
  }

  // False when the program could not be started under the tracer (a system
  // that forbids tracing).
  bool started() const { return running_; }
  void send(int signal_number) const { process_.send(signal_number); }

  // Runs the program until it is about to make a system call that `stop_at`
  // picks; false when it ended first.
  bool run_until(const std::function<bool(const SystemCall&)>& stop_at) {
    while (running_) {
      if (::ptrace(PTRACE_SYSCALL, process_.pid(), nullptr, pending_signal_) != 0) return false;
      pending_signal_ = 0;
      int status = 0;
      if (::waitpid(process_.pid(), &status, 0) < 0) return false;
      if (WIFEXITED(status) || WIFSIGNALED(status)) {
        running_ = false;
        end_status_ = status;
        return false;
      }
      if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
        pending_signal_ = WSTOPSIG(status);
        continue;
      }
      in_call_ = !in_call_;
      if (!in_call_) continue;
      user_regs_struct registers{};
      ::ptrace(PTRACE_GETREGS, process_.pid(), nullptr, &registers);
      const SystemCall call{
          static_cast<long>(registers.orig_rax),
          {registers.rdi, registers.rsi, registers.rdx, registers.r10, registers.r8, registers.r9}};
      if (stop_at(call)) return true;
    }
    return false;
  }

  // The NUL-ended text at `address` in the program's memory.
  std::string read_text(std::uint64_t address) const {
    std::string text;
    while (text.size() < 65536) {
      errno = 0;
      const long word = ::ptrace(PTRACE_PEEKDATA, process_.pid(), address + text.size(), nullptr);
      if (errno != 0) break;
      const auto* bytes = reinterpret_cast<const char*>(&word);
      for (std::size_t i = 0; i < sizeof word; ++i) {
        if (bytes[i] == '\0') return text;
        text += bytes[i];
      }
    }
    return text;
  }

  // Lets the program go on, untraced, to its end.
  ProgramRun finish() {
    if (running_) {
      ::ptrace(PTRACE_DETACH, process_.pid(), nullptr, pending_signal_);
      return process_.wait();
    }
    return process_.collect(end_status_);
  }

 private:
  testing::ProgramProcess process_;
  bool running_ = false;
  bool in_call_ = false;
  long pending_signal_ = 0;
  int end_status_ = 0;
};

// Another program's change of an invoice, made in a thread of its own: a
// change that has to wait for the converter to let go of the file must not
// hold up the test that drives the converter.
class OtherProgram {
 public:
  // Changes the file at `path` by `change`.
  OtherProgram(std::string path, std::function<void()> change)
      : path_(std::move(path)), thread_([this, change = std::move(change)] {
          change();
          done_ = true;
        }) {}
  ~OtherProgram() { join(); }

  // Waits (up to 5 s) until the change is done, or waits for a lease or a
  // lock that the converter holds on the file now at `path`: /proc/locks
  // shows a lease being broken, or a lock waited for ("->"), on its inode.
  void wait_until_done_or_waiting() const {
    const std::string inode = ":" + std::to_string(testing::stat_of(path_).st_ino) + " ";
    for (int attempt = 0; attempt < 500 && !done_; ++attempt) {
      std::istringstream locks(testing::read_file("/proc/locks"));
      for (std::string line; std::getline(locks, line);) {
        if (line.find(inode) != std::string::npos &&
            (line.find("BREAKING") != std::string::npos || line.find("->") != std::string::npos)) {
          return;
        }
      }
      ::usleep(10'000);
    }
  }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::string path_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST_F(FaultTest, InvoicesThatChangeBetweenTheListingAndTheirTurn) {
  for (const char* name : {"c-removed", "d-folder", "e-replaced", "f-fifo", "g-read-only",
                           "h-locked", "i-record-locked", "j-open-for-writing"}) {
    root.write("DOCUMENT/" + std::string(name) + ".xml", testing::old_invoice());
  }
  const std::string replacement = testing::old_invoice(false);
  TracedProgram program(options);
  if (!program.started()) GTEST_SKIP() << "this system does not let a test trace a program";
  // The list is complete once the program locks the first invoice, a.xml.
  ASSERT_TRUE(program.run_until([&](const SystemCall& call) { return call.number == SYS_flock; }));
  fs::remove(invoice("c-removed.xml"));
  fs::remove(invoice("d-folder.xml"));
  fs::create_directory(invoice("d-folder.xml"));
  root.write("DOCUMENT/e-replaced.tmp", replacement);
  fs::rename(invoice("e-replaced.tmp"), invoice("e-replaced.xml"));
  fs::remove(invoice("f-fifo.xml"));
  ASSERT_EQ(::mkfifo(invoice("f-fifo.xml").c_str(), 0600), 0);
  ::chmod(invoice("g-read-only.xml").c_str(), 0444);
  const int lock = ::open(invoice("h-locked.xml").c_str(), O_RDONLY);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  // Programs that lock with fcntl, or just keep the file open to write it.
  const int record_lock = ::open(invoice("i-record-locked.xml").c_str(), O_RDWR);
  struct flock whole_file {};
  whole_file.l_type = F_WRLCK;
  whole_file.l_whence = SEEK_SET;
  ASSERT_EQ(::fcntl(record_lock, F_SETLK, &whole_file), 0);
  const int writer = ::open(invoice("j-open-for-writing.xml").c_str(), O_WRONLY);
  const ProgramRun result = program.finish();
  ::close(lock);
  ::close(record_lock);
  ::close(writer);

  expect_reported(result,
                  failure_line(invoice("c-removed.xml"), kCannotOpen, Kind::kNotFound) +
                      failure_line(invoice("d-folder.xml"), kCannotOpen, Kind::kNotRegular) +
                      failure_line(invoice("f-fifo.xml"), kCannotOpen, Kind::kNotRegular) +
                      testing::read_only_line(invoice("g-read-only.xml")) +
                      failure_line(invoice("h-locked.xml"), kCannotOpen, Kind::kLocked) +
                      failure_line(invoice("i-record-locked.xml"), kCannotOpen, Kind::kLocked) +
                      failure_line(invoice("j-open-for-writing.xml"), kCannotOpen, Kind::kLocked),
                  1, 0);
  EXPECT_FALSE(fs::exists(invoice("c-removed.xml")));  // never created again
  // What stands at the path when its turn comes is what is converted; it
  // needed the upgrade only, so the counts differ from the bystanders'.
  EXPECT_EQ(testing::read_file(invoice("e-replaced.xml")), testing::converted(replacement));
  EXPECT_EQ(testing::read_file(invoice("g-read-only.xml")), testing::old_invoice());
  for (const char* name : {"h-locked.xml", "i-record-locked.xml", "j-open-for-writing.xml"}) {
    EXPECT_EQ(testing::read_file(invoice(name)), testing::old_invoice()) << name;
  }
}

// The program has read an invoice and is about to make a replacement file.
bool makes_replacement(TracedProgram& program, const SystemCall& call) {
  return call.number == SYS_openat && (call.argument[2] & O_CREAT) != 0 &&
         program.read_text(call.argument[1]).starts_with(kReplacementPrefix);
}

TEST_F(FaultTest, InvoiceReplacedOrRemovedWhileItIsConverted) {
  const std::string replaced = root.write("DOCUMENT/m-replaced.xml", testing::old_invoice());
  const std::string removed = root.write("DOCUMENT/n-removed.xml", testing::old_invoice());
  const std::string theirs = "another program's version";
  TracedProgram program(options);
  if (!program.started()) GTEST_SKIP() << "this system does not let a test trace a program";
  const auto making_replacement = [&](const SystemCall& call) {
    return makes_replacement(program, call);
  };
  // The bystander a.xml comes first.
  ASSERT_TRUE(program.run_until(making_replacement));
  ASSERT_TRUE(program.run_until(making_replacement));
  ASSERT_TRUE(program.run_until(making_replacement));
  root.write("DOCUMENT/theirs.tmp", theirs);
  fs::rename(invoice("theirs.tmp"), replaced);
  // Its second step, then the first of n-removed.xml: the group is put in
  // place only after all three are staged.
  ASSERT_TRUE(program.run_until(making_replacement));
  ASSERT_TRUE(program.run_until(making_replacement));
  fs::remove(removed);
  const ProgramRun result = program.finish();
  expect_reported(result, failure_line(replaced, kCannotSave, Kind::kChanged) +
                              failure_line(removed, kCannotSave, Kind::kChanged));
  EXPECT_EQ(testing::read_file(replaced), theirs);
  EXPECT_FALSE(fs::exists(removed));
}

TEST_F(FaultTest, InvoiceThatGrowsOrShrinksWhileItIsRead) {
  const std::string grows = root.write("DOCUMENT/m-grows.xml", testing::old_invoice());
  const std::string shrinks = root.write("DOCUMENT/n-shrinks.xml", testing::old_invoice());
  TracedProgram program(options);
  if (!program.started()) GTEST_SKIP() << "this system does not let a test trace a program";
  std::vector<std::unique_ptr<OtherProgram>> resizers;
  for (const std::string& path : {grows, shrinks}) {
    // Opened, and about to be read.
    ASSERT_TRUE(program.run_until([&](const SystemCall& call) {
      return call.number == SYS_openat &&
             program.read_text(call.argument[1]) == fs::path(path).filename().string();
    }));
    ASSERT_TRUE(
        program.run_until([&](const SystemCall& call) { return call.number == SYS_pread64; }));
    // The program holds a lease: the change waits until it lets go.
    resizers.push_back(std::make_unique<OtherProgram>(
        path, [&path, size = path == grows ? testing::old_invoice().size() + 10 : 100] {
          fs::resize_file(path, size);
        }));
    resizers.back()->wait_until_done_or_waiting();
  }
  const ProgramRun result = program.finish();
  resizers.clear();
  expect_reported(result, failure_line(grows, kCannotRead, Kind::kChanged) +
                              failure_line(shrinks, kCannotRead, Kind::kChanged));
  EXPECT_EQ(testing::read_file(grows), testing::old_invoice() + std::string(10, '\0'));
  EXPECT_EQ(testing::read_file(shrinks), testing::old_invoice().substr(0, 100));
}

TEST_F(FaultTest, ChangeMadeWhileAnInvoiceIsConvertedIsNeverLost) {
  const std::string kOld = testing::old_invoice();
  const std::string kLine = "<!-- added by another program -->\r\n";
  const struct {
    const char* name;
    std::function<void(const std::string& path)> change;
    std::string result;
  } cases[] = {
      {"a line appended",
       [&](const std::string& path) {
         const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
         EXPECT_EQ(::write(fd, kLine.data(), kLine.size()), static_cast<ssize_t>(kLine.size()));
         ::close(fd);
       },
       kOld + kLine},
      {"cut short", [](const std::string& path) { fs::resize_file(path, 100); },
       kOld.substr(0, 100)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_bystanders();
    const std::string path = root.write("DOCUMENT/0-changed.xml", kOld);
    TracedProgram program(options);
    if (!program.started()) GTEST_SKIP() << "this system does not let a test trace a program";
    // Its replacements are written and about to be flushed with the group.
    ASSERT_TRUE(
        program.run_until([&](const SystemCall& call) { return call.number == SYS_syncfs; }));
    OtherProgram other(path, [&] { c.change(path); });
    other.wait_until_done_or_waiting();
    const ProgramRun result = program.finish();
    other.join();
    expect_reported(result, failure_line(path, kCannotSave, Kind::kChanged));
    EXPECT_EQ(testing::read_file(path), c.result);
  }
}

TEST_F(FaultTest, EditJustAfterTheConversionKeepsItsOwnTime) {
  const std::string path = root.write("DOCUMENT/0-edited.xml", testing::old_invoice());
  testing::set_times(path, 1'500'000'000, 0);
  const std::string kLine = "<!-- edited -->\r\n";
  TracedProgram program(options);
  if (!program.started()) GTEST_SKIP() << "this system does not let a test trace a program";
  // Both its replacements are in place and the folder is about to be
  // flushed; the file is still locked.
  ASSERT_TRUE(program.run_until([&](const SystemCall& call) { return call.number == SYS_fsync; }));
  // An editor that locks the file before it writes.
  OtherProgram editor(path, [&] {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
    ::flock(fd, LOCK_EX);
    EXPECT_EQ(::write(fd, kLine.data(), kLine.size()), static_cast<ssize_t>(kLine.size()));
    ::close(fd);
  });
  editor.wait_until_done_or_waiting();
  const ProgramRun result = program.finish();
  editor.join();
  EXPECT_EQ(result.exit_status, 0) << result.errors;
  EXPECT_EQ(testing::read_file(path), testing::converted(testing::old_invoice()) + kLine);
  EXPECT_GT(testing::stat_of(path).st_mtim.tv_sec, 1'500'000'000);
}

TEST_F(FaultTest, StopRequestLeavesTheCurrentInvoiceWholeAndEndsTheRunCleanly) {
  for (const int signal_number : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    write_bystanders();
    TracedProgram program(options);
    if (!program.started()) GTEST_SKIP() << "this system does not let a test trace a program";
    // a.xml is staged (two replacements); the first replacement of
    // sub/b.xml is about to be made.
    for (int made = 0; made < 3; ++made) {
      ASSERT_TRUE(program.run_until(
          [&](const SystemCall& call) { return makes_replacement(program, call); }));
    }
    program.send(signal_number);
    const ProgramRun result = program.finish();
    EXPECT_EQ(result.exit_status, 128 + signal_number);
    EXPECT_EQ(result.output, testing::summary_lines(1, 1));
    EXPECT_EQ(result.errors, failure_line(bystanders[1], kCannotSave, Kind::kStopped));
    EXPECT_EQ(testing::read_file(bystanders[0]), testing::converted(testing::old_invoice()));
    EXPECT_EQ(testing::read_file(bystanders[1]), testing::old_invoice());
    EXPECT_EQ(testing::read_file(bystanders[2]), testing::old_invoice());
    for (const std::string& relative : testing::list_tree(root.path())) {
      EXPECT_FALSE(is_replacement_name(fs::path(relative).filename().string())) << relative;
    }
    EXPECT_TRUE(testing::list_tree(temp.path()).empty());
  }
}

TEST_F(FaultTest, FileListSwappedInASharedTemp) {
  const std::string outside = root.write("OUTSIDE/root-only.xml", testing::old_invoice());
  ::chmod(outside.c_str(), 0600);
  ::chmod(temp.path().c_str(), 0777);  // writable by anyone, not sticky
  const struct {
    const char* name;
    std::function<void(const std::string& path)> plant;
  } cases[] = {
      {"a list naming an invoice outside the tree",
       [&](const std::string& path) { std::ofstream(path) << outside << "\r\n"; }},
      {"a pipe", [](const std::string& path) { ::mkfifo(path.c_str(), 0666); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_bystanders();
    TracedProgram program(options);
    if (!program.started()) GTEST_SKIP() << "this system does not let a test trace a program";
    // The list is made; the walk of the tree begins.
    ASSERT_TRUE(
        program.run_until([&](const SystemCall& call) { return call.number == SYS_getdents64; }));
    const std::vector<std::string> made = testing::list_tree(temp.path());
    ASSERT_EQ(made.size(), 1u);
    const std::string list = temp.path() + "/" + made[0];
    c.plant(temp.path() + "/theirs");
    fs::rename(temp.path() + "/theirs", list);
    const ProgramRun result = program.finish();
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.errors, testing::notice_line(temp.path(), kSharedTempNotice) +
                                 failure_line(list, kListReplaced));
    EXPECT_EQ(result.output, testing::summary_lines(3, 3));
    EXPECT_EQ(testing::read_file(outside), testing::old_invoice());
    EXPECT_TRUE(fs::exists(fs::symlink_status(list)));  // theirs, so left
    fs::remove(list);
  }
}

#endif  // x86-64 Linux

}  // namespace
}  // namespace invoice
