// End-to-end runs of the built program on real folder trees.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>

#include "driver/command_line.h"
#include "expected_output.h"
#include "sample_invoices.h"
#include "scratch.h"

namespace invoice {
namespace {

using testing::old_invoice;
using testing::ProgramOptions;
using testing::ProgramRun;
using testing::ScratchFolder;
using testing::summary_lines;

const std::string kStylesheet = std::string("<?xml-stylesheet type=\"text/xsl\" href=\"http://") +
                                testing::kStylesheetHost + "/XSL/FACTURA.XSL\"?>";

// The same invoice after the upgrade (and the conversion, when declared so).
std::string make_new_invoice(bool code_page_850, bool converted) {
  const bool utf8 = !code_page_850 || converted;
  return std::string("<?xml version=\"1.0\" encoding=\"") +
         (code_page_850 ? (converted ? "UTF-8" : "ibm850") : "UTF-8") + "\"?>\r\n" + kStylesheet +
         "\r\n"
         "<fe:Facturae xmlns:fe=\"http://www.facturae.es/Facturae/2014/v3.2.1/Facturae\">\r\n"
         "<FileHeader><SchemaVersion>3.2.1</SchemaVersion></FileHeader>\r\n"
         "<Parties><SellerParty><TeleFax>93 000 00 00</TeleFax>"
         "<LanguageName>ca</LanguageName><Name>Ferreteria Pe" +
         (utf8 && code_page_850 ? "\xC3\xB1" : "\xA4") +
         "a</Name></SellerParty>\r\n"
         "<BuyerParty><Name>Caf" +
         (utf8 && code_page_850 ? "\xC3\xA9 \xC3\x87" : "\x82 \x80") +
         "a</Name></BuyerParty>\r\n"
         "</Parties>\r\n"
         "<Invoices><Invoice><Total>12,50 " +
         (utf8 && code_page_850 ? "\xE2\x82\xAC" : "\xD5") +
         "</Total></Invoice></Invoices>\r\n"
         "</fe:Facturae>\r\n";
}

const std::string kCurrentInvoice =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<fe:Facturae xmlns:fe=\"http://www.facturae.es/Facturae/2014/v3.2.1/Facturae\">"
    "<FileHeader><SchemaVersion>3.2.1</SchemaVersion></FileHeader></fe:Facturae>\r\n";

class ProgramTest : public ::testing::Test {
 protected:
  ScratchFolder root;
  ScratchFolder temp;

  ProgramRun run(ProgramOptions options = {}) {
    options.environment.merge(testing::run_environment(root.path() + "/", temp.path()));
    return testing::run_program(options);
  }
  ProgramRun run_with(std::vector<std::string> arguments) {
    ProgramOptions options;
    options.arguments = std::move(arguments);
    return run(options);
  }
  std::string invoice(const std::string& relative) const {
    return root.path() + "/DOCUMENT/" + relative;
  }
};

TEST_F(ProgramTest, ConvertsTheTreeRestoresTimesAndLeavesNothingBehind) {
  const std::string both = root.write("DOCUMENT/2019/both.xml", old_invoice(true));
  const std::string upgrade = root.write("DOCUMENT/2019/up.XML", old_invoice(false));
  const std::string current = root.write("DOCUMENT/current.xml", kCurrentInvoice);
  const std::string cp850 = root.write(
      "DOCUMENT/deep/er/cp.xml", "<?xml version=\"1.0\" encoding=\"ibm850\"?>\r\n<a>\x82</a>");
  const std::string other = root.write("DOCUMENT/notes.txt", old_invoice(true));
  const std::string outside = root.write("OTHER/x.xml", old_invoice(true));
  for (const std::string& path : {both, upgrade, current, cp850, other, outside}) {
    testing::set_times(path, 1688548087, 999'000'000);
  }
  ::chmod(both.c_str(), 0640);
  const auto tree_before = testing::list_tree(root.path());

  const ProgramRun result = run();
  EXPECT_EQ(result.exit_status, 0) << result.errors;
  EXPECT_EQ(result.output, summary_lines(2, 2));
  EXPECT_EQ(result.errors, "");

  // Times first: reading a file moves its access time. Every file keeps
  // both its times to the nanosecond, converted or only read.
  for (const std::string& path : {both, upgrade, current, cp850}) {
    const struct stat info = testing::stat_of(path);
    EXPECT_EQ(info.st_mtim.tv_sec, 1688548087) << path;
    EXPECT_EQ(info.st_mtim.tv_nsec, 999'000'000) << path;
    EXPECT_EQ(info.st_atim.tv_sec, 1688548087) << path;
    EXPECT_EQ(info.st_atim.tv_nsec, 999'000'000) << path;
  }
  EXPECT_EQ(testing::read_file(both), make_new_invoice(true, true));
  EXPECT_EQ(testing::read_file(upgrade), make_new_invoice(false, false));
  EXPECT_EQ(testing::read_file(current), kCurrentInvoice);
  EXPECT_EQ(testing::read_file(cp850),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<a>\xC3\xA9</a>");
  EXPECT_EQ(testing::read_file(other), old_invoice(true));
  EXPECT_EQ(testing::read_file(outside), old_invoice(true));

  EXPECT_EQ(testing::stat_of(other).st_mtim.tv_nsec, 999'000'000);
  EXPECT_EQ(testing::stat_of(both).st_mode & 07777, 0640u);
  // No file was created or left behind, in the tree or in TEMP.
  EXPECT_EQ(testing::list_tree(root.path()), tree_before);
  EXPECT_TRUE(testing::list_tree(temp.path()).empty());
}

TEST_F(ProgramTest, EmptyTreeIsNoFailure) {
  std::filesystem::create_directories(root.path() + "/DOCUMENT");
  const ProgramRun result = run();
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.output, summary_lines(0, 0));
}

TEST_F(ProgramTest, FailedWriteLeavesTheOriginalWhole) {
  // Bigger than the file-size limit once rewritten: the new file cannot be
  // written, and the original must survive byte for byte.
  std::string big = old_invoice(true);
  while (big.size() < 256 * 1024) big += "<!-- padding \x82\x82\x82\x82 -->\r\n";
  const std::string path = root.write("DOCUMENT/big.xml", big);
  const std::string small = root.write("DOCUMENT/small.xml", old_invoice(true));
  ProgramOptions options;
  options.file_size_limit = 128 * 1024;
  const ProgramRun result = run(options);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.output, summary_lines(1, 1));
  EXPECT_NE(result.errors.find(testing::failure_head(path, kCannotSave)), std::string::npos)
      << result.errors;
  EXPECT_EQ(testing::read_file(path), big);
  EXPECT_EQ(testing::read_file(small), make_new_invoice(true, true));
  EXPECT_EQ(testing::list_tree(root.path() + "/DOCUMENT"),
            (std::vector<std::string>{"big.xml", "small.xml"}));
}

TEST_F(ProgramTest, HelpVersionAndRefusedCommandLinesTouchNothing) {
  const std::string path = root.write("DOCUMENT/a.xml", old_invoice(false));
  const auto tree_before = testing::list_tree(root.path());
  using Stream = ProgramOptions::Stream;
  const struct {
    std::vector<std::string> arguments;
    int exit_status;
    std::string output_start;
    std::optional<std::string> host_variable = std::nullopt;
    Stream output = Stream::kCaptured;
  } cases[] = {
      {{"--help"}, 0, "\xC3\x9As: invoice-converter [OPCI\xC3\x93]..."},
      {{"-nh"}, 0, "\xC3\x9As: invoice-converter"},
      {{"--version"}, 0, "invoice-converter "},
      {{"--bogus"}, 2, ""},
      {{root.path() + "/"}, 2, ""},
      {{"--root"}, 2, ""},
      {{"-n", "--", "DOCUMENT"}, 2, ""},
      {{"--stylesheet-host", "xsl.example.org@evil.example"}, 2, ""},
      {{"--stylesheet-host=a&b"}, 2, ""},
      {{}, 2, "", "xsl.example.org/x"},
      {{"--help"}, 1, "", std::nullopt, Stream::kFull},
      {{"--version"}, 1, "", std::nullopt, Stream::kClosed},
  };
  for (const auto& c : cases) {
    ProgramOptions options;
    options.arguments = c.arguments;
    options.output = c.output;
    if (c.host_variable) options.environment[kStylesheetHostVariable] = *c.host_variable;
    const ProgramRun result = run(options);
    const std::string shown = ::testing::PrintToString(c.arguments);
    EXPECT_EQ(result.exit_status, c.exit_status) << shown;
    if (c.exit_status == 0) {
      EXPECT_TRUE(result.output.starts_with(c.output_start)) << shown << result.output;
      EXPECT_EQ(result.errors, "") << shown;
    } else {
      EXPECT_EQ(result.output, "") << shown;
      // A refusal names the program; an output that cannot be written is a
      // failure like a run's.
      EXPECT_TRUE(result.errors.starts_with(c.exit_status == 2 ? "invoice-converter: "
                                                               : std::string(kFailureHead)))
          << shown << result.errors;
      EXPECT_EQ(result.errors.find('\n'), result.errors.size() - 1) << shown << result.errors;
    }
    EXPECT_EQ(testing::read_file(path), old_invoice(false)) << shown;
    EXPECT_EQ(testing::list_tree(root.path()), tree_before) << shown;
    EXPECT_TRUE(testing::list_tree(temp.path()).empty()) << shown;
  }
  EXPECT_NE(run_with({"--version"}).output.find(testing::kStylesheetHost), std::string::npos);
}

TEST_F(ProgramTest, RootOptionTakesThePlaceOfMorroot) {
  const std::string ignored = root.write("DOCUMENT/a.xml", old_invoice(false));
  ScratchFolder other;
  const std::string chosen = other.write("DOCUMENT/b.xml", old_invoice(false));
  const ProgramRun result = run_with({"--root", other.path()});
  EXPECT_EQ(result.exit_status, 0) << result.errors;
  EXPECT_EQ(result.output, summary_lines(1, 0));
  EXPECT_EQ(testing::read_file(chosen), make_new_invoice(false, false));
  EXPECT_EQ(testing::read_file(ignored), old_invoice(false));
}

// Every file, folder and link below `folder` with what a run could change:
// content, permission bits, last-write time and last status change (which
// any write, new times or new permissions move). The access time is left
// out: reading moves it, the test's own reading too.
std::map<std::string, std::string> snapshot(const std::string& folder) {
  std::map<std::string, std::string> out;
  for (const std::string& relative : testing::list_tree(folder)) {
    const std::string path = folder + "/" + relative;
    struct stat info;
    ::lstat(path.c_str(), &info);
    std::string& entry = out[relative];
    for (const timespec& time : {info.st_mtim, info.st_ctim}) {
      entry += std::to_string(time.tv_sec) + "." + std::to_string(time.tv_nsec) + " ";
    }
    entry += std::to_string(info.st_mode);
    if (S_ISREG(info.st_mode)) entry += " " + testing::read_file(path);
  }
  return out;
}

// The dry run foretells the run over invoices that fail (locked, read-only)
// and one reached through a link; a read-only invoice that needs no change
// is no failure.
TEST_F(ProgramTest, DryRunReportsWhatTheRunThenDoesAndChangesNoByteNorTime) {
  ScratchFolder elsewhere;
  const std::string target = elsewhere.write("real.xml", old_invoice(false));
  const std::string locked = root.write("DOCUMENT/2019/locked.xml", old_invoice(true));
  const std::string read_only = root.write("DOCUMENT/2019/read-only.xml", old_invoice(false));
  root.write("DOCUMENT/2019/both.XML", old_invoice(true));
  const std::string current = root.write("DOCUMENT/2019/current.xml", kCurrentInvoice);
  root.write("DOCUMENT/cp.xml", "<?xml version=\"1.0\" encoding=\"ibm850\"?>\r\n<a>\x82</a>");
  root.write("DOCUMENT/notes.txt", old_invoice(true));
  root.write("DOCUMENT/.invoice-converter.0123456789ab.tmp", "left by a killed run");
  std::filesystem::create_symlink(target, invoice("link.xml"));
  std::filesystem::create_directory_symlink(elsewhere.path(), invoice("linked-folder"));
  ::chmod(read_only.c_str(), 0444);
  ::chmod(current.c_str(), 0444);
  for (const std::string& relative : testing::list_tree(root.path())) {
    testing::set_times(root.path() + "/" + relative, 1688548087, 999'000'000);
  }
  testing::set_times(target, 1688548087, 999'000'000);
  const int lock = ::open(locked.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  const auto tree_before = snapshot(root.path());
  const auto elsewhere_before = snapshot(elsewhere.path());

  const ProgramRun dry = run_with({"--dry-run"});
  EXPECT_EQ(snapshot(root.path()), tree_before);
  EXPECT_EQ(snapshot(elsewhere.path()), elsewhere_before);
  EXPECT_TRUE(testing::list_tree(temp.path()).empty());

  const ProgramRun real = run_with({"--verbose"});
  ::close(lock);
  EXPECT_EQ(real.exit_status, 1);
  EXPECT_EQ(dry.exit_status, real.exit_status);
  EXPECT_EQ(dry.errors, real.errors);
  EXPECT_EQ(real.errors, testing::failure_line(locked, kCannotOpen, Status::Kind::kLocked) +
                             testing::read_only_line(read_only));
  EXPECT_EQ(testing::read_file(locked), old_invoice(true));
  EXPECT_EQ(testing::read_file(read_only), old_invoice(false));
  EXPECT_EQ(testing::stat_of(read_only).st_mtim.tv_nsec, 999'000'000);
  EXPECT_EQ(testing::as_run_report(dry.output), real.output);
  EXPECT_NE(real.output.find(std::string(kConvertedHead) + invoice("link.xml") +
                             std::string(kChangeSeparator) + std::string(kUpgradeStep) + "\n"),
            std::string::npos)
      << real.output;
  EXPECT_TRUE(real.output.ends_with("\n\n" + testing::summary_line(2, kUpgradeSummaryTail) + "\n" +
                                    testing::summary_line(2, kCodePageSummaryTail) + "\n"))
      << real.output;
  EXPECT_EQ(testing::read_file(target), make_new_invoice(false, false));
}

}  // namespace
}  // namespace invoice
