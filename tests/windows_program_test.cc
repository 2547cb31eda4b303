// The Windows build of the program, run under Wine on real trees beside the
// Linux build: the same bytes, counts and times, the read-only attribute,
// an invoice held by another Windows program, a hidden folder, a killed
// run, and the console in a terminal. Runs only when
// INVOICE_WINDOWS_PROGRAM names the .exe and WINEPREFIX a prefix whose
// wineserver is running (scripts/test_windows.sh sets both up).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "driver/console.h"
#include "expected_output.h"
#include "sample_invoices.h"
#include "scratch.h"
#include "upgrade/upgrade_document.h"

namespace invoice {
namespace {

namespace fs = std::filesystem;
using testing::ProgramRun;
using testing::ScratchFolder;

struct Wine {
  std::string loader;  // wine64
  std::string server;  // wineserver
  std::string prefix;
  std::string program;    // invoice-converter.exe
  std::string hold_file;  // hold-file.exe, beside it
};

std::optional<Wine> find_wine() {
  const char* program = std::getenv("INVOICE_WINDOWS_PROGRAM");
  const char* prefix = std::getenv("WINEPREFIX");
  if (program == nullptr || prefix == nullptr) return std::nullopt;
  const char* loader = std::getenv("INVOICE_WINE");
  Wine wine{loader != nullptr ? loader : "/usr/lib/wine/wine64", "", prefix, program, ""};
  wine.server = (fs::path(wine.loader).parent_path() / "wineserver").string();
  wine.hold_file = (fs::path(program).parent_path() / "hold-file.exe").string();
  return wine;
}

#define REQUIRE_WINE(wine)                                                                  \
  const std::optional<Wine> wine = find_wine();                                             \
  if (!wine) {                                                                              \
    GTEST_SKIP() << "set INVOICE_WINDOWS_PROGRAM and WINEPREFIX (scripts/test_windows.sh)"; \
  }

// The path by which a Windows program under Wine sees a Linux path.
std::string windows_path(const std::string& path) {
  std::string out = "Z:" + path;
  for (char& c : out) c = c == '/' ? '\\' : c;
  return out;
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// The Windows program with MORROOT set to `root`, run to its end.
ProgramRun run_windows(const Wine& wine, const std::string& root,
                       const std::string& arguments = "") {
  ScratchFolder capture;
  const std::string command =
      "cd " + quoted(root) + " && env -i LANG=C.UTF-8 WINEPREFIX=" + quoted(wine.prefix) +
      " WINEDEBUG=-all INVOICE_STYLESHEET_HOST=" + std::string(testing::kStylesheetHost) +
      " HOME=" + quoted(std::getenv("HOME") ? std::getenv("HOME") : "/") +
      " MORROOT=" + quoted(windows_path(root) + "\\") + " " + quoted(wine.loader) + " " +
      quoted(wine.program) + " " + arguments + " > " + capture.path() + "/out 2> " +
      capture.path() + "/err";
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, testing::read_file(capture.path() + "/out"),
          testing::read_file(capture.path() + "/err")};
}

ProgramRun run_linux(const std::string& root) {
  ScratchFolder temp;
  testing::ProgramOptions options;
  options.environment = testing::run_environment(root + "/", temp.path());
  return testing::run_program(options);
}

int count_lines(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// A file as the comparison sees it: its bytes, its two times and its
// permission bits; a symbolic link as the text it holds.
struct FileState {
  std::string content;
  timespec modified{};
  timespec accessed{};
  mode_t mode = 0;
};

// Every file and link below `root` by relative path; times are taken
// before the bytes are read, since the reading moves the last-access time.
std::map<std::string, FileState> snapshot(const std::string& root) {
  std::map<std::string, FileState> files;
  for (const std::string& relative : testing::list_tree(root)) {
    const struct stat info = testing::stat_of(root + "/" + relative);
    if (S_ISLNK(info.st_mode)) {
      files[relative] = {"link to " + fs::read_symlink(root + "/" + relative).string()};
    } else if (S_ISREG(info.st_mode)) {
      files[relative] = {"", info.st_mtim, info.st_atim, info.st_mode & 07777};
    }
  }
  for (auto& [relative, state] : files) {
    if (state.content.empty()) state.content = testing::read_file(root + "/" + relative);
  }
  return files;
}

// A tree of every kind of invoice from the benchmark's generator, and a few
// of this test's own: non-ASCII names and a path longer than 260 characters.
void make_tree(const std::string& root, int invoices) {
  const std::string generator =
      (fs::path(__FILE__).parent_path().parent_path() / "bench" / "make_tree.py").string();
  const std::string command = "python3 " + quoted(generator) + " " + quoted(root) + " --files " +
                              std::to_string(invoices) + " --host " + testing::kStylesheetHost +
                              " > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  fs::remove(root + "/manifest.tsv");
  const std::string text = testing::old_invoice();
  const std::string names[] = {
      "DOCUMENT/Clients N\xC3\xBA\xC3\xB1\x65z/factura-\xE2\x82\xAC-\xC3\xA7.xml",
      "DOCUMENT/\xE8\xAB\x8B\xE6\xB1\x82\xE6\x9B\xB8/\xE8\xAB\x8B\xE6\xB1\x82.XML",
      "DOCUMENT/" + std::string(100, 'l') + "/" + std::string(100, 'o') + "/" +
          std::string(60, 'n') + "/g.xml",
  };
  for (const std::string& name : names) {
    fs::create_directories(fs::path(root + "/" + name).parent_path());
    std::ofstream(root + "/" + name, std::ios::binary) << text;
    testing::set_times(root + "/" + name, 1'300'000'000, 250'000'000);
  }
  ASSERT_GT((windows_path(root) + "\\" + names[2]).size(), 260u);
  // Links named like a replacement file that a killed run left, to a file
  // outside the tree, which no clean-up may delete through them; links to
  // invoices outside the tree, converted where they are, the links kept.
  // Each also in the folder whose paths are longer than 260 characters.
  fs::create_directories(root + "/outside");
  const std::string deep = fs::path(names[2]).parent_path().string();
  const std::string up = "../../../../outside/";
  const struct {
    std::string link, target, content;
  } links[] = {
      {"DOCUMENT/.invoice-converter.abcdefghijkl.tmp", "../outside/keep.txt", "keep"},
      {deep + "/.invoice-converter.mnopqrstuvwx.tmp", up + "keep2.txt", "keep"},
      {"DOCUMENT/link.XML", "../outside/F1.XML", text},
      {deep + "/link.xml", up + "F2.XML", text},
  };
  for (const auto& link : links) {
    const std::string target = root + "/outside/" + fs::path(link.target).filename().string();
    std::ofstream(target, std::ios::binary) << link.content;
    testing::set_times(target, 1'300'000'000, 250'000'000);
    fs::create_symlink(link.target, root + "/" + link.link);
  }
}

void copy_tree(const std::string& from, const std::string& to) {
  ASSERT_EQ(std::system(("cp -a " + quoted(from + "/DOCUMENT") + " " + quoted(from + "/outside") +
                         " " + quoted(to))
                            .c_str()),
            0);
}

TEST(WindowsProgramTest, LeavesTheSameBytesTimesAndCountsAsTheLinuxBuild) {
  REQUIRE_WINE(wine);
  // Generated twice, byte for byte and time for time the same: a copy
  // would read its source and so move the source's last-access times.
  ScratchFolder linux_root, windows_root;
  make_tree(linux_root.path(), 300);
  make_tree(windows_root.path(), 300);
  const ProgramRun on_linux = run_linux(linux_root.path());
  const ProgramRun on_windows = run_windows(*wine, windows_root.path());
  EXPECT_EQ(on_windows.exit_status, on_linux.exit_status) << on_windows.errors;
  // Redirected, both write the same plain UTF-8 lines: the two counts too.
  EXPECT_EQ(on_windows.output, on_linux.output);
  EXPECT_EQ(count_lines(on_windows.errors), count_lines(on_linux.errors)) << on_windows.errors;
  for (std::string_view tail : {kUpgradeSummaryTail, kCodePageSummaryTail}) {
    EXPECT_EQ(on_linux.output.find(format_summary(0, tail)), std::string::npos)
        << "the tree holds invoices of every kind: " << on_linux.output;
  }

  const auto expected = snapshot(linux_root.path());
  const auto got = snapshot(windows_root.path());
  ASSERT_EQ(got.size(), expected.size());
  for (const auto& [relative, state] : expected) {
    const auto it = got.find(relative);
    ASSERT_NE(it, got.end()) << relative;
    EXPECT_TRUE(it->second.content == state.content) << relative;
    EXPECT_EQ(it->second.modified.tv_sec, state.modified.tv_sec) << relative;
    EXPECT_EQ(it->second.modified.tv_nsec, state.modified.tv_nsec) << relative;
    // Not the last-access time: Wine moves it as it opens a file, before
    // the program can ask it not to, where the Linux build keeps it.
    EXPECT_EQ(it->second.mode, state.mode) << relative;
  }
  for (const char* target : {"outside/F1.XML", "outside/F2.XML"}) {
    EXPECT_EQ(got.at(target).content, testing::converted(testing::old_invoice())) << target;
  }
}

// What only the Windows build meets: names that reach one file for two
// (case-only and, under Wine, names that are not UTF-8 on the Unix side,
// both shown with U+FFFD), reported and left; and a backslash before an
// "x", which a Windows log line shows as it is.
TEST(WindowsProgramTest, NamesAreReportedOrShownAsTheyAre) {
  REQUIRE_WINE(wine);
  const struct {
    std::vector<std::string> files;
    std::string arguments;
    int exit_status;
    std::vector<std::string> shown;  // in the output or the errors
  } cases[] = {
      {{"F1.XML", "f1.xml"}, "", 1, {"\\F1.XML: ", "\\f1.xml: "}},
      {{"Pe\xA4"
        "a.XML",
        "Pe\xF1"
        "a.XML"},
       "",
       1,
       {"\\Pe\xEF\xBF\xBD"
        "a.XML: "}},
      {{"xml/xativa.XML"}, "-v", 0, {"DOCUMENT\\xml\\xativa.XML: "}},
  };
  for (const auto& c : cases) {
    ScratchFolder root;
    for (const std::string& file : c.files) root.write("DOCUMENT/" + file, testing::old_invoice());
    const ProgramRun run = run_windows(*wine, root.path(), c.arguments);
    EXPECT_EQ(run.exit_status, c.exit_status) << c.files[0] << run.errors;
    for (const std::string& shown : c.shown) {
      EXPECT_NE((run.output + run.errors).find(shown), std::string::npos)
          << shown << " in " << run.output << run.errors;
    }
    if (c.exit_status == 0) continue;
    EXPECT_EQ(count_lines(run.errors), static_cast<int>(c.files.size())) << run.errors;
    EXPECT_NE(run.errors.find(describe_kind(Status::Kind::kNameCollides)), std::string::npos);
    for (const std::string& file : c.files) {
      EXPECT_EQ(testing::read_file(root.path() + "/DOCUMENT/" + file), testing::old_invoice())
          << file;
    }
  }
}

// Keeping originals and putting them back, as on Linux: every original kept
// with its bytes and last-write time, every unedited invoice restored, the
// edited one reported and left.
TEST(WindowsProgramTest, BackupThenRestorePutsBackEveryUneditedOriginal) {
  REQUIRE_WINE(wine);
  ScratchFolder root, backup_parent;
  const std::string backup = backup_parent.path() + "/originals";
  const std::vector<std::string> invoices = {"2011/02/F1.xml", "edited.XML", "\xC3\xA0rea/F2.xml"};
  for (const std::string& relative : invoices) {
    const std::string path = root.write("DOCUMENT/" + relative, testing::old_invoice());
    testing::set_times(path, 1688548087, 123'456'700);
  }
  const ProgramRun run =
      run_windows(*wine, root.path(), "--backup " + quoted(windows_path(backup)));
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  EXPECT_NE(run.output.find(std::string(kKeptSummaryHead)), std::string::npos) << run.output;
  for (const std::string& relative : invoices) {
    const std::string kept = backup + "/" + relative;
    EXPECT_EQ(testing::stat_of(kept).st_mtim.tv_nsec, 123'456'700) << kept;
    EXPECT_EQ(testing::read_file(kept), testing::old_invoice()) << kept;
  }
  const std::string edited = root.path() + "/DOCUMENT/edited.XML";
  root.write("DOCUMENT/edited.XML", testing::read_file(edited) + "<!-- edited -->");
  const ProgramRun restore =
      run_windows(*wine, root.path(), "--restore " + quoted(windows_path(backup)));
  EXPECT_EQ(restore.exit_status, 1);
  EXPECT_EQ(count_lines(restore.errors), 1) << restore.errors;
  EXPECT_NE(restore.errors.find(std::string(kChangedSinceConversion)), std::string::npos);
  for (const std::string& relative : invoices) {
    const std::string path = root.path() + "/DOCUMENT/" + relative;
    if (relative == "edited.XML") continue;
    EXPECT_EQ(testing::stat_of(path).st_mtim.tv_nsec, 123'456'700) << path;
    EXPECT_EQ(testing::read_file(path), testing::old_invoice()) << path;
  }
}

// Under Wine the read-only attribute is the absence of write permission;
// root could write anyway, so this shows the program's own respect of it.
TEST(WindowsProgramTest, ReadOnlyAttributeLeavesTheInvoiceAlone) {
  REQUIRE_WINE(wine);
  ScratchFolder root;
  const std::string invoice = root.write("DOCUMENT/a.xml", testing::old_invoice());
  ::chmod(invoice.c_str(), 0444);
  const ProgramRun run = run_windows(*wine, root.path());
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.errors.find(describe_kind(Status::Kind::kReadOnly)), std::string::npos)
      << run.errors;
  EXPECT_EQ(testing::read_file(invoice), testing::old_invoice());
}

TEST(WindowsProgramTest, InvoiceHeldByAnotherProgramIsReportedAndLeftWhole) {
  REQUIRE_WINE(wine);
  ScratchFolder root, capture;
  const std::string held = root.write("DOCUMENT/held.xml", testing::old_invoice());
  const std::string other = root.write("DOCUMENT/other.xml", testing::old_invoice());
  const std::string marker = capture.path() + "/held";
  const std::string command = "env LANG=C.UTF-8 WINEPREFIX=" + quoted(wine->prefix) +
                              " WINEDEBUG=-all " + quoted(wine->loader) + " " +
                              quoted(wine->hold_file) + " " + quoted(windows_path(held)) + " > " +
                              quoted(marker);
  FILE* holder = ::popen(command.c_str(), "w");  // holds until its input ends
  ASSERT_NE(holder, nullptr);
  for (int i = 0; i < 300 && testing::read_file(marker).find("held") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_NE(testing::read_file(marker).find("held"), std::string::npos);
  const ProgramRun run = run_windows(*wine, root.path());
  ::pclose(holder);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.errors.find("held.xml: " + std::string(kCannotOpen) +
                            std::string(describe_kind(Status::Kind::kLocked))),
            std::string::npos)
      << run.errors;
  EXPECT_EQ(testing::read_file(held), testing::old_invoice());
  EXPECT_EQ(testing::read_file(other), testing::converted(testing::old_invoice()));
}

TEST(WindowsProgramTest, FolderWithTheHiddenAttributeIsSkipped) {
  REQUIRE_WINE(wine);
  ScratchFolder root;
  const std::string hidden = root.write("DOCUMENT/arxiu/a.xml", testing::old_invoice());
  const std::string shown = root.write("DOCUMENT/b.xml", testing::old_invoice());
  const std::string attrib = "env WINEPREFIX=" + quoted(wine->prefix) + " WINEDEBUG=-all " +
                             quoted(wine->loader) + " attrib +h " +
                             quoted(windows_path(root.path() + "/DOCUMENT/arxiu")) + " > /dev/null";
  ASSERT_EQ(std::system(attrib.c_str()), 0);
  const ProgramRun run = run_windows(*wine, root.path());
  EXPECT_EQ(run.exit_status, 0) << run.errors;
  EXPECT_EQ(testing::read_file(hidden), testing::old_invoice());
  EXPECT_EQ(testing::read_file(shown), testing::converted(testing::old_invoice()));
}

// `wineserver -k` ends every process of the prefix at once, as a closed
// console or a power cut would, at the moment the first invoice has changed.
TEST(WindowsProgramTest, KilledRunLeavesEveryInvoiceWholeAndTheNextRunCleansUp) {
  REQUIRE_WINE(wine);
  ScratchFolder root, reference;
  make_tree(root.path(), 400);
  copy_tree(root.path(), reference.path());
  ASSERT_EQ(run_linux(reference.path()).exit_status, 0);
  const auto before = snapshot(root.path());
  const auto after = snapshot(reference.path());

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    run_windows(*wine, root.path());
    ::_exit(0);
  }
  bool changed = false;
  for (int i = 0; i < 3000 && !changed; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (const auto& [relative, state] : before) {
      if (testing::stat_of(root.path() + "/" + relative).st_size !=
          static_cast<off_t>(state.content.size())) {
        changed = true;
        break;
      }
    }
  }
  const std::string server = "env WINEPREFIX=" + quoted(wine->prefix) + " " + quoted(wine->server);
  std::system((server + " -k").c_str());
  int status = 0;
  ::waitpid(child, &status, 0);
  std::system((server + " -p").c_str());
  ASSERT_TRUE(changed) << "no invoice changed within 30 s";

  // Each invoice is as it was, upgraded only (its first replacement in
  // place, not yet its second) or as the complete run makes it.
  const ReplacementTable table = testing::make_test_table();
  int changed_files = 0, pending = 0;
  for (const auto& [relative, state] : snapshot(root.path())) {
    if (relative.find("/.invoice-converter.") != std::string::npos) continue;  // a leftover
    ASSERT_TRUE(before.count(relative)) << relative;
    std::string upgraded = before.at(relative).content;
    upgrade_document(upgraded, table);
    const bool whole = state.content == before.at(relative).content || state.content == upgraded ||
                       state.content == after.at(relative).content;
    EXPECT_TRUE(whole) << relative << " is not whole";
    changed_files += state.content != before.at(relative).content;
    pending += state.content != after.at(relative).content;
  }
  EXPECT_GT(changed_files, 0);
  EXPECT_GT(pending, 0) << "the run was not cut short";

  // Leftovers of a killed run, planted so that their removal shows.
  const std::string leftover = root.write("DOCUMENT/.invoice-converter.0123456789ab.tmp", "half");
  const ProgramRun next = run_windows(*wine, root.path());
  EXPECT_EQ(next.exit_status, 0) << next.errors;
  EXPECT_FALSE(fs::exists(leftover));
  const auto finished = snapshot(root.path());
  for (const auto& [relative, state] : finished) {
    // A run killed while it replaced a link's target leaves its hidden file
    // beside the target, outside the tree, where no walk looks for it.
    if (relative.starts_with("outside/.invoice-converter.")) continue;
    EXPECT_TRUE(after.count(relative)) << relative << " is left after the next run";
  }
  for (const auto& [relative, state] : after) {
    EXPECT_TRUE(finished.count(relative) && finished.at(relative).content == state.content)
        << relative;
  }
}

// The screens of the Linux terminal test, with `wine64` in tmux at 80
// columns: the Windows console as a Linux terminal shows it.
std::vector<std::string> run_in_terminal(const Wine& wine, const std::string& folder) {
  return testing::run_in_tmux(
      "cd " + quoted(folder) + " && env -i LANG=C.UTF-8 WINEPREFIX=" + quoted(wine.prefix) +
          " WINEDEBUG=-all INVOICE_STYLESHEET_HOST=" + testing::kStylesheetHost +
          " MORROOT= " + quoted(wine.loader) + " " + quoted(wine.program),
      60);
}

TEST(WindowsProgramTest, ConsoleShowsTheProgressLineAsOnALinuxTerminal) {
  REQUIRE_WINE(wine);
  if (std::system("tmux -V > /dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
  const std::string upgraded = format_summary(0, kUpgradeSummaryTail);
  const std::string code_page = format_summary(0, kCodePageSummaryTail);
  const std::string head[] = {std::string(kLocatingMessage), std::string(kConvertingMessage)};
  const std::string long_path = "DOCUMENT\\a" + std::string(26, 'x') + ".xml";  // 40 columns
  const std::string wide_path = "DOCUMENT\\a" + std::string(61, 'x') + ".xml";  // 75 columns
  const struct {
    const char* what;
    std::vector<std::string> files;
    std::vector<std::string> screen;
  } cases[] = {
      {"no files", {}, {head[0], head[1], "", upgraded, code_page}},
      {"a shorter path leaves the tail of the longer one",
       {long_path, "DOCUMENT\\b.xml"},
       {head[0], head[1], "DOCUMENT\\b.xml" + std::string(14, ' ') + long_path.substr(28), upgraded,
        code_page}},
      {"blanks past the right edge move the next path down",
       {wide_path, "DOCUMENT\\b.xml"},
       {head[0], head[1], wide_path, "DOCUMENT\\b.xml", upgraded, code_page}},
  };
  for (const auto& c : cases) {
    ScratchFolder folder;
    fs::create_directories(folder.path() + "/DOCUMENT");
    for (std::string file : c.files) {
      std::replace(file.begin(), file.end(), '\\', '/');
      folder.write(file, "");
    }
    EXPECT_EQ(run_in_terminal(*wine, folder.path()), c.screen) << c.what;
  }
}

}  // namespace
}  // namespace invoice
