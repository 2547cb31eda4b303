// Hostile and unusual input for the built program: environment values and
// names that a shell would take apart, names that are not text, paths longer
// than the system's limit, trees deeper than a recursive walk could go,
// symbolic-link loops and links out of the tree, an empty invoice. No shell
// is involved anywhere, so each of them may do no more than name a path.
// Then what other users and careless runs may do: invoices of other owners,
// with access control lists, attributes, flags and extra names, links
// planted by others, closed or failing standard streams.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <linux/posix_acl.h>
#include <linux/posix_acl_xattr.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "expected_output.h"
#include "sample_invoices.h"
#include "scratch.h"

namespace invoice {
namespace {

namespace fs = std::filesystem;
using testing::ProgramOptions;
using testing::ProgramRun;
using testing::ScratchFolder;

const std::string kOld = testing::old_invoice();
const std::string kNew = testing::converted(testing::old_invoice());

// Characters that a command interpreter would act on.
const std::string kShellBait[] = {
    "two  blanks and 'single' \"double\" quotes", "semi;colon & amper | pipe > greater < less",
    "$(touch PWNED) `touch PWNED` ${HOME} $HOME", "star * question ? [brackets] {braces} ~tilde",
    "new\nline and tab\t and \\backslash",        "-dash first",
};

ProgramOptions options_for(const std::string& root, const std::string& temp,
                           const std::string& working_folder) {
  ProgramOptions options;
  options.environment = testing::run_environment(root, temp);
  options.working_folder = working_folder;
  return options;
}

TEST(HostileTest, EnvironmentValuesOnlyNameFolders) {
  ScratchFolder place;
  ScratchFolder working;
  for (const std::string& bait : kShellBait) {
    SCOPED_TRACE(bait);
    const std::string root = place.path() + "/root " + bait;
    const std::string temp = place.path() + "/temp " + bait;
    fs::create_directories(temp);
    const std::string path = place.write("root " + bait + "/DOCUMENT/a.xml", kOld);
    // What a glob of the root's name would also match.
    const std::string decoy = place.write("root decoy/DOCUMENT/b.xml", kOld);
    const ProgramRun result = testing::run_program(options_for(root, temp, working.path()));
    EXPECT_EQ(result.exit_status, 0) << result.errors;
    EXPECT_EQ(result.output, testing::summary_lines(1, 1));
    EXPECT_EQ(testing::read_file(path), kNew);
    EXPECT_EQ(testing::read_file(decoy), kOld);
    EXPECT_TRUE(testing::list_tree(temp).empty());
    fs::remove_all(root);
    fs::remove_all(temp);
  }
  // Nothing was run: no file appeared where the program ran or anywhere
  // near the trees.
  EXPECT_TRUE(testing::list_tree(working.path()).empty());
  EXPECT_EQ(
      testing::list_tree(place.path()),
      (std::vector<std::string>{"root decoy", "root decoy/DOCUMENT", "root decoy/DOCUMENT/b.xml"}));
}

TEST(HostileTest, UnusualNamesAreConvertedOrReportedNeverMisread) {
  ScratchFolder root;
  ScratchFolder temp;
  const std::vector<std::string> converted_names = {
      "DOCUMENT/blank name.xml",
      "DOCUMENT/ leading and trailing blank .xml",
      "DOCUMENT/factura \xC3\xB1 \xE2\x82\xAC \xE4\xB8\xAD.xml",  // UTF-8
      "DOCUMENT/invalid \xFF\xFE\xC3(.xml",                       // not UTF-8
      "DOCUMENT/line\nfeed.xml",                                  // a lone LF reads back whole
      "DOCUMENT/esc \x1B[2J and \x07 bell.xml",
      "DOCUMENT/star * question ? [x].xml",
      "DOCUMENT/$(touch PWNED);|&.xml",
      "DOCUMENT/-rf.xml",
      "DOCUMENT/back\\slash.XmL",
      "DOCUMENT/\xFF folder \xC3\xA0/inner.xml",
      "DOCUMENT/line\nfeed folder/inner.xml",
  };
  for (const std::string& name : converted_names) root.write(name, kOld);
  // A CR or a 0x1A byte would cut the name when read back from the file
  // list: reported with the byte shown, never listed.
  const std::string cr = root.write("DOCUMENT/carriage\rreturn.xml", kOld);
  const std::string eof = root.write(
      "DOCUMENT/end\x1A"
      "of file/inner.xml",
      kOld);
  const std::string cut = root.write("DOCUMENT/carriage", kOld);  // what a cut CR name would name
  const std::string cut_eof = root.write("DOCUMENT/end.xml", kOld);
  const std::string hidden = root.write("DOCUMENT/.hidden.xml", kOld);  // never listed

  ScratchFolder working;
  const ProgramRun result =
      testing::run_program(options_for(root.path(), temp.path(), working.path()));
  EXPECT_EQ(result.exit_status, 1);
  const int count = static_cast<int>(converted_names.size()) + 1;  // end.xml
  EXPECT_EQ(result.output, testing::summary_lines(count, count));
  for (const std::string& name : converted_names) {
    EXPECT_EQ(testing::read_file(root.path() + "/" + name), kNew) << name;
  }
  EXPECT_EQ(testing::read_file(cr), kOld);
  EXPECT_EQ(testing::read_file(eof), kOld);
  EXPECT_EQ(testing::read_file(cut), kOld);
  EXPECT_EQ(testing::read_file(cut_eof), kNew);
  EXPECT_EQ(testing::read_file(hidden), kOld);
  // Standard error names them with the bytes escaped, so that no name can
  // move a terminal's cursor or split a log line.
  const std::string unlistable(describe_kind(Status::Kind::kUnlistable));
  EXPECT_EQ(
      result.errors,
      testing::failure_line(root.path() + "/DOCUMENT/carriage\\x0Dreturn.xml", unlistable) +
          testing::failure_line(root.path() + "/DOCUMENT/end\\x1Aof file/inner.xml", unlistable));
  EXPECT_TRUE(testing::list_tree(working.path()).empty());
  EXPECT_TRUE(testing::list_tree(temp.path()).empty());
}

TEST(HostileTest, PathLongerThanTheSystemLimit) {
  ScratchFolder root;
  ScratchFolder temp;
  fs::create_directories(root.path() + "/DOCUMENT");
  // 30 folders of 200 bytes: a path of over 6,000 bytes, which no single
  // system call takes whole.
  const std::vector<std::string> folders(30, std::string(199, 'f') + "\xC3\xA9");
  const std::string path =
      testing::write_deep(root.path() + "/DOCUMENT", folders, "deep.xml", kOld);
  ASSERT_GT(path.size(), 6000u);
  const std::string current =
      testing::write_deep(root.path() + "/DOCUMENT", folders, "current.xml", kNew);
  const ProgramRun result = testing::run_program(options_for(root.path(), temp.path(), "/"));
  EXPECT_EQ(result.exit_status, 0) << result.errors.substr(0, 500);
  EXPECT_EQ(result.output, testing::summary_lines(1, 1));
  EXPECT_EQ(testing::read_deep(path), kNew);
  EXPECT_EQ(testing::read_deep(current), kNew);
}

TEST(HostileTest, TreeThousandsOfFoldersDeepOnASmallStack) {
  const auto depth = static_cast<std::size_t>(std::getenv("INVOICE_DEEP_LEVELS") != nullptr
                                                  ? std::atoll(std::getenv("INVOICE_DEEP_LEVELS"))
                                                  : 2000);
  ScratchFolder root;
  ScratchFolder temp;
  fs::create_directories(root.path() + "/DOCUMENT");
  std::vector<std::string> folders(depth, "d");
  const std::string deepest =
      testing::write_deep(root.path() + "/DOCUMENT", folders, "bottom.xml", kOld);
  folders.resize(depth / 2);
  const std::string middle =
      testing::write_deep(root.path() + "/DOCUMENT", folders, "middle.xml", kOld);
  ProgramOptions options = options_for(root.path(), temp.path(), "/");
  // A walk that recursed once per folder would need far more than this.
  options.stack_limit = 256 * 1024;
  const ProgramRun result = testing::run_program(options);
  EXPECT_EQ(result.exit_status, 0) << result.errors.substr(0, 500);
  EXPECT_EQ(result.output, testing::summary_lines(2, 2));
  EXPECT_EQ(testing::read_deep(deepest), kNew);
  EXPECT_EQ(testing::read_deep(middle), kNew);
}

TEST(HostileTest, SymbolicLinkLoopsAndDanglingLinks) {
  ScratchFolder root;
  ScratchFolder temp;
  const std::string real = root.write("DOCUMENT/sub/real.xml", kOld);
  const std::string document = root.path() + "/DOCUMENT";
  fs::create_symlink("self.xml", document + "/self.xml");
  fs::create_symlink("ping.xml", document + "/pong.xml");
  fs::create_symlink("pong.xml", document + "/ping.xml");
  fs::create_symlink("nowhere.xml", document + "/dangling.xml");
  fs::create_directory_symlink("..", document + "/sub/up");
  fs::create_directory_symlink(".", document + "/sub/here");
  fs::create_directory_symlink(document, document + "/sub/top.xml");
  const ProgramRun result = testing::run_program(options_for(root.path(), temp.path(), "/"));
  // Links that lead nowhere name no invoice; folder links are not entered,
  // so each invoice is converted once.
  EXPECT_EQ(result.exit_status, 0) << result.errors;
  EXPECT_EQ(result.errors, "");
  EXPECT_EQ(result.output, testing::summary_lines(1, 1));
  EXPECT_EQ(testing::read_file(real), kNew);
  EXPECT_EQ(fs::read_symlink(document + "/self.xml"), "self.xml");
  EXPECT_FALSE(fs::exists(document + "/nowhere.xml"));
}

TEST(HostileTest, LinksToInvoicesOutsideTheTree) {
  ScratchFolder root;
  ScratchFolder temp;
  const std::string outside = root.write("OUTSIDE/far/away.xml", kOld);
  const std::string other = root.write("OUTSIDE/other.xml", kOld);
  const std::string document = root.path() + "/DOCUMENT";
  fs::create_directories(document + "/in");
  fs::create_symlink("../../OUTSIDE/far/away.xml", document + "/in/relative.xml");
  fs::create_symlink(document + "/in/relative.xml", document + "/chain.xml");  // a link to a link
  fs::create_symlink(other, document + "/absolute.xml");
  const ProgramRun result = testing::run_program(options_for(root.path(), temp.path(), "/"));
  EXPECT_EQ(result.exit_status, 0) << result.errors;
  // away.xml is listed twice (two links) and converted once: the second
  // time it needs nothing.
  EXPECT_EQ(result.output, testing::summary_lines(2, 2));
  EXPECT_EQ(testing::read_file(outside), kNew);
  EXPECT_EQ(testing::read_file(other), kNew);
  EXPECT_TRUE(fs::is_symlink(document + "/in/relative.xml"));
  EXPECT_TRUE(fs::is_symlink(document + "/chain.xml"));
  EXPECT_EQ(fs::read_symlink(document + "/chain.xml"), document + "/in/relative.xml");
  EXPECT_EQ(testing::list_tree(root.path() + "/OUTSIDE"),
            (std::vector<std::string>{"far", "far/away.xml", "other.xml"}));
}

TEST(HostileTest, MarkersBeyondTheDeclarationNeverConvertATextTwice) {
  // Re-running is how a run is finished: a marker left in a comment must not
  // make the next run take UTF-8 for code page 850 ("Jos\xC3\xA9" would become
  // "Jos\xE2\x94\x9C\xC2\xAE").
  const std::string comment = "<!-- encoding=\"ibm850\" -->\r\n";
  const std::string utf8 = comment + "<a>Jos\xC3\xA9</a>\r\n";
  const struct {
    std::string before, after;
  } cases[] = {
      {"<?xml version=\"1.0\" encoding=\"ibm850\"?>\r\n" + comment + "<a>Jos\x82</a>\r\n",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n" + utf8},
      {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n" + utf8, ""},
      {"\xEF\xBB\xBF<?xml version='1.0' encoding = 'utf-8'?>\r\n" + utf8, ""},
  };
  ScratchFolder root;
  ScratchFolder temp;
  std::vector<std::string> paths;
  for (const auto& c : cases) {
    paths.push_back(root.write("DOCUMENT/" + std::to_string(paths.size()) + ".xml", c.before));
  }
  for (const int conversions : {1, 0}) {
    const ProgramRun result = testing::run_program(options_for(root.path(), temp.path(), "/"));
    EXPECT_EQ(result.exit_status, 0) << result.errors;
    EXPECT_EQ(result.output, testing::summary_lines(0, conversions));
  }
  for (std::size_t i = 0; i < paths.size(); ++i) {
    EXPECT_EQ(testing::read_file(paths[i]),
              cases[i].after.empty() ? cases[i].before : cases[i].after);
  }
}

TEST(HostileTest, EmptyInvoiceIsNotWritten) {
  ScratchFolder root;
  ScratchFolder temp;
  const std::string empty = root.write("DOCUMENT/empty.xml", "");
  testing::set_times(empty, 1'600'000'000, 700'000'000);
  const ino_t inode = testing::stat_of(empty).st_ino;
  const ProgramRun result = testing::run_program(options_for(root.path(), temp.path(), "/"));
  EXPECT_EQ(result.exit_status, 0) << result.errors;
  EXPECT_EQ(result.output, testing::summary_lines(0, 0));
  EXPECT_EQ(testing::stat_of(empty).st_size, 0);
  EXPECT_EQ(testing::stat_of(empty).st_ino, inode);
  EXPECT_EQ(testing::stat_of(empty).st_mtim.tv_sec, 1'600'000'000);
}

// Users and a group that exist only as numbers, for the runs as other users.
constexpr uid_t kUserA = 60001;
constexpr uid_t kUserB = 60002;
constexpr uid_t kUserC = 60003;
constexpr gid_t kStaff = 60010;

// What a conversion must keep of a file: owner, group, permission bits,
// extended attributes (the access control list among them), file flags.
struct Access {
  uid_t owner = 0;
  gid_t group = 0;
  mode_t mode = 0;
  std::map<std::string, std::string> attributes;
  int flags = 0;
  friend bool operator==(const Access&, const Access&) = default;
};

Access access_of(const std::string& path) {
  Access access;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  ::fstat(fd, &info);
  access.owner = info.st_uid;
  access.group = info.st_gid;
  access.mode = info.st_mode & 07777;
  char names[4096];
  const ssize_t length = ::flistxattr(fd, names, sizeof names);
  for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    char value[4096];
    const ssize_t size = ::fgetxattr(fd, names + at, value, sizeof value);
    access.attributes[names + at].assign(value,
                                         static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
  }
  ::ioctl(fd, FS_IOC_GETFLAGS, &access.flags);
  access.flags &= FS_FL_USER_VISIBLE;
  ::close(fd);
  return access;
}

// An access control list as Linux stores it: a header, then tag,
// permissions and id of each entry, in tag order, little-endian.
std::string make_acl(std::initializer_list<std::array<std::uint32_t, 3>> entries) {
  std::string acl;
  auto put = [&](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) acl += static_cast<char>(value >> (8 * i));
  };
  put(POSIX_ACL_XATTR_VERSION, 4);
  for (const auto& [tag, permissions, id] : entries) {
    put(tag, 2);
    put(permissions, 2);
    put(id, 4);
  }
  return acl;
}

constexpr std::uint32_t kNoId = static_cast<std::uint32_t>(ACL_UNDEFINED_ID);

TEST(HostileTest, OwnerAccessListsAttributesFlagsAndLinksAreKeptOrTheInvoiceIsLeft) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to other users";
  ScratchFolder outside;
  auto reason = [](std::string_view what, Status::Kind kind) {
    return std::string(what) + std::string(describe_kind(kind));
  };
  const std::string kOwnerNotKept = reason(kCannotSave, Status::Kind::kOwnerNotKept);
  const std::string kHardLinked = reason(kCannotSave, Status::Kind::kHardLinked);
  auto make_link = [&](const std::string& path, uid_t link_owner, uid_t target_owner) {
    const std::string target =
        outside.write(fs::path(path).parent_path().filename().string(), kOld);
    ::chown(target.c_str(), target_owner, target_owner);
    ::chmod(target.c_str(), 0600);
    testing::set_times(target, 1'500'000'000, 7);
    fs::remove(path);
    fs::create_symlink(target, path);
    ::lchown(path.c_str(), link_owner, link_owner);
    return target;
  };
  auto give = [](const std::string& path, uid_t owner, gid_t group, mode_t mode) {
    ::chown(path.c_str(), owner, group);
    ::chmod(path.c_str(), mode);
    return path;
  };
  const struct {
    const char* name;
    bool by_user_b;  // run by userB, a member of staff, instead of root
    // Makes `path`, an invoice, what the case needs; gives the file whose
    // content and access are checked.
    std::function<std::string(const std::string& path)> prepare;
    std::vector<std::string> reasons;  // for x.xml, y.xml; none: converted
  } cases[] = {
      {"another user's invoice, writable by the group",
       true,
       [&](const std::string& path) { return give(path, kUserA, kStaff, 0660); },
       {kOwnerNotKept}},
      {"own invoice of a group the user is not a member of",
       true,
       [&](const std::string& path) { return give(path, kUserB, kUserA, 0660); },
       {kOwnerNotKept}},
      {"another user's set-id invoice",
       true,
       [&](const std::string& path) { return give(path, kUserA, kStaff, 06770); },
       {kOwnerNotKept}},
      {"set-id invoice, run as root",
       false,
       [&](const std::string& path) { return give(path, kUserA, kStaff, 06750); },
       {}},
      {"access control list",
       false,
       [&](const std::string& path) {
         ::setxattr(path.c_str(), "system.posix_acl_access", nullptr, 0, 0);
         const std::string acl = make_acl({{ACL_USER_OBJ, 6, kNoId},
                                           {ACL_USER, 6, kUserC},
                                           {ACL_GROUP_OBJ, 0, kNoId},
                                           {ACL_MASK, 6, kNoId},
                                           {ACL_OTHER, 0, kNoId}});
         ::setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0);
         return give(path, kUserA, kStaff, 0660);
       },
       {}},
      {"default access control list of the folder",
       false,
       [&](const std::string& path) {
         const std::string acl = make_acl({{ACL_USER_OBJ, 7, kNoId},
                                           {ACL_USER, 7, kUserC},
                                           {ACL_GROUP_OBJ, 5, kNoId},
                                           {ACL_MASK, 7, kNoId},
                                           {ACL_OTHER, 5, kNoId}});
         ::setxattr(fs::path(path).parent_path().c_str(), "system.posix_acl_default", acl.data(),
                    acl.size(), 0);
         return path;
       },
       {}},
      {"extended attributes",
       false,
       [&](const std::string& path) {
         ::setxattr(path.c_str(), "user.origin", "scanner 7", 9, 0);
         ::setxattr(path.c_str(), "user.empty", "", 0, 0);
         return path;
       },
       {}},
      {"file flags A, S and d",
       false,
       [&](const std::string& path) {
         const int fd = ::open(path.c_str(), O_RDONLY);
         int flags = 0;
         ::ioctl(fd, FS_IOC_GETFLAGS, &flags);
         flags |= FS_NOATIME_FL | FS_SYNC_FL | FS_NODUMP_FL;
         ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
         ::close(fd);
         return path;
       },
       {}},
      {"second name in the tree",
       false,
       [&](const std::string& path) {
         fs::create_hard_link(path, fs::path(path).replace_filename("y.xml"));
         return path;
       },
       {kHardLinked, kHardLinked}},
      {"second name outside the tree",
       false,
       [&](const std::string& path) {
         fs::create_hard_link(path, outside.path() + "/second-name.xml");
         return path;
       },
       {kHardLinked}},
      {"another user's link to root's file",
       false,
       [&](const std::string& path) { return make_link(path, kUserA, 0); },
       {reason(kCannotOpen, Status::Kind::kForeignLink)}},
      {"a link of its target's owner",
       false,
       [&](const std::string& path) { return make_link(path, kUserA, kUserA); },
       {}},
      {"a link of the running user",
       false,
       [&](const std::string& path) { return make_link(path, 0, kUserA); },
       {}},
  };
  // One tree for the run as root, one for the run as userB.
  ScratchFolder roots[2];
  ScratchFolder temps[2];
  std::string errors[2];
  int converted[2] = {0, 0};
  struct Checked {
    std::string path;
    Access access;
    struct stat info;
  };
  std::vector<Checked> checked;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    const std::string folder = roots[c.by_user_b].path() + "/DOCUMENT/" + std::to_string(10 + i);
    fs::create_directories(folder);
    give(folder, kUserA, kStaff, 0770);
    const std::string path = roots[c.by_user_b].write(
        folder.substr(roots[c.by_user_b].path().size() + 1) + "/x.xml", kOld);
    const std::string file = c.prepare(path);
    checked.push_back({file, access_of(file), testing::stat_of(file)});
    const char* names[] = {"/x.xml", "/y.xml"};
    for (std::size_t n = 0; n < c.reasons.size(); ++n) {
      errors[c.by_user_b] += testing::failure_line(folder + names[n], c.reasons[n]);
    }
    converted[c.by_user_b] += c.reasons.empty();
  }
  ::chmod(roots[1].path().c_str(), 0755);
  ::chown(temps[1].path().c_str(), kUserB, kUserB);
  for (const int as_user_b : {0, 1}) {
    ProgramOptions options = options_for(roots[as_user_b].path(), temps[as_user_b].path(), "/");
    if (as_user_b != 0) {
      options.user = kUserB;
      options.group = kUserB;
      options.groups = {kStaff};
    }
    // Everything here is known without writing: a dry run gives the same
    // verdict, and writes nothing.
    ProgramOptions dry_options = options;
    dry_options.arguments = {"--dry-run"};
    const ProgramRun dry = testing::run_program(dry_options);
    const ProgramRun result = testing::run_program(options);
    EXPECT_EQ(testing::without_system_wording(result.errors), errors[as_user_b]);
    EXPECT_EQ(result.output, testing::summary_lines(converted[as_user_b], converted[as_user_b]));
    EXPECT_EQ(dry.errors, result.errors);
    EXPECT_EQ(dry.exit_status, result.exit_status);
    std::string dry_summary;  // without the line for each invoice it would convert
    std::istringstream dry_lines(dry.output);
    for (std::string line; std::getline(dry_lines, line);) {
      if (!line.starts_with(kDryRunConvertedHead)) dry_summary += line + "\n";
    }
    EXPECT_EQ(testing::as_run_report(dry_summary), result.output);
  }
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    const bool kept = !cases[i].reasons.empty();
    EXPECT_EQ(testing::read_file(checked[i].path), kept ? kOld : kNew);
    EXPECT_EQ(access_of(checked[i].path), checked[i].access);
    if (kept) {
      const struct stat after = testing::stat_of(checked[i].path);
      EXPECT_EQ(after.st_ino, checked[i].info.st_ino);
      EXPECT_EQ(after.st_mtim.tv_nsec, checked[i].info.st_mtim.tv_nsec);
    }
  }
}

TEST(HostileTest, ClosedOrFailingStandardStreams) {
  using Stream = ProgramOptions::Stream;
  const std::string kOutputLost = std::string(kFailureHead) + std::string(kCannotWriteOutput);
  const struct {
    const char* name;
    bool close_input;
    Stream output, errors;
    // A read-only invoice that needs converting: its error line is written
    // while it is open, where a closed standard error would have put it.
    bool with_read_only;
    std::string errors_shown;
  } cases[] = {
      {"input and error closed", true, Stream::kCaptured, Stream::kClosed, true, ""},
      {"output and error closed", false, Stream::kClosed, Stream::kClosed, true, ""},
      {"output closed", false, Stream::kClosed, Stream::kCaptured, false,
       kOutputLost + "Bad file descriptor\n"},
      {"output on a full device", false, Stream::kFull, Stream::kCaptured, false,
       kOutputLost + std::string(describe_kind(Status::Kind::kNoSpace)) +
           " (No space left on device)\n"},
      {"output into a pipe nobody reads", false, Stream::kBrokenPipe, Stream::kCaptured, false,
       kOutputLost + "Broken pipe\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchFolder root;
    ScratchFolder temp;
    const std::string read_only = root.write("DOCUMENT/a.xml", kOld);
    if (!c.with_read_only) fs::remove(read_only);
    ::chmod(read_only.c_str(), 0444);
    const std::string plain = root.write("DOCUMENT/b.xml", kOld);
    ProgramOptions options = options_for(root.path(), temp.path(), "/");
    options.close_input = c.close_input;
    options.output = c.output;
    options.errors = c.errors;
    const ProgramRun result = testing::run_program(options);
    // The conversion goes on to the end; only the report is lost.
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.errors, c.errors_shown);
    if (c.with_read_only) {
      EXPECT_EQ(testing::read_file(read_only), kOld);
    }
    EXPECT_EQ(testing::read_file(plain), kNew);
    EXPECT_TRUE(testing::list_tree(temp.path()).empty());
  }
}

TEST(HostileTest, SecondRunLeavesFinishedInvoicesUntouched) {
  ScratchFolder root;
  ScratchFolder temp;
  const std::string converted = root.write("DOCUMENT/converted.xml", kOld);
  const std::string current = root.write("DOCUMENT/current.xml", kNew);
  testing::set_times(current, 1'600'000'000, 5);
  const ProgramOptions options = options_for(root.path(), temp.path(), "/");
  EXPECT_EQ(testing::run_program(options).output, testing::summary_lines(1, 1));
  // Watchers and backup tools see nothing of the second run: no write, no
  // new times, so no new change time.
  const int watcher = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  for (const std::string& path : {converted, current}) {
    ::inotify_add_watch(watcher, path.c_str(), IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE);
  }
  const struct stat before[] = {testing::stat_of(converted), testing::stat_of(current)};
  const ProgramRun again = testing::run_program(options);
  EXPECT_EQ(again.exit_status, 0);
  EXPECT_EQ(again.output, testing::summary_lines(0, 0));
  alignas(inotify_event) char events[4096];
  EXPECT_LT(::read(watcher, events, sizeof events), 0) << "the second run touched an invoice";
  ::close(watcher);
  const struct stat after[] = {testing::stat_of(converted), testing::stat_of(current)};
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(after[i].st_ctim.tv_sec, before[i].st_ctim.tv_sec);
    EXPECT_EQ(after[i].st_ctim.tv_nsec, before[i].st_ctim.tv_nsec);
  }
}

}  // namespace
}  // namespace invoice
