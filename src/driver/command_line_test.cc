#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace invoice {
namespace {

using Action = CommandLine::Action;

constexpr auto kWindows = Platform::Conventions::kWindows;

CommandLine parse(std::vector<std::string_view> arguments,
                  Platform::Conventions conventions = Platform::Conventions::kPosix) {
  return parse_command_line(arguments, conventions);
}

TEST(CommandLineTest, AcceptedCommandLines) {
  const struct {
    std::vector<std::string_view> arguments;
    Action action;
    bool dry_run, verbose, convert_signed;
    std::optional<std::string> root;
    std::string host = "";
    Platform::Conventions conventions = Platform::Conventions::kPosix;
    std::optional<std::string> backup = std::nullopt, restore = std::nullopt;
  } cases[] = {
      {{}, Action::kRun, false, false, false, std::nullopt},
      {{"--dry-run"}, Action::kRun, true, false, false, std::nullopt},
      {{"-n"}, Action::kRun, true, false, false, std::nullopt},
      {{"--verbose", "-n"}, Action::kRun, true, true, false, std::nullopt},
      {{"-nv"}, Action::kRun, true, true, false, std::nullopt},
      {{"--convert-signed"}, Action::kRun, false, false, true, std::nullopt},
      {{"--root", "/srv/mor"}, Action::kRun, false, false, false, "/srv/mor"},
      {{"--root=/srv/mor"}, Action::kRun, false, false, false, "/srv/mor"},
      {{"--root=a", "--root=b"}, Action::kRun, false, false, false, "b"},
      {{"--root", "x y", "--"}, Action::kRun, false, false, false, "x y"},
      {{"--"}, Action::kRun, false, false, false, std::nullopt},
      {{"--dry", "--conv", "--ro=/r"}, Action::kRun, true, false, true, "/r"},
      {{"--help"}, Action::kHelp, false, false, false, std::nullopt},
      {{"-h"}, Action::kHelp, false, false, false, std::nullopt},
      {{"-vh", "--bogus"}, Action::kHelp, false, true, false, std::nullopt},
      {{"--version", "stray"}, Action::kVersion, false, false, false, std::nullopt},
      {{"--vers"}, Action::kVersion, false, false, false, std::nullopt},
      {{"--stylesheet-host=xsl.despatx.example:8080"},
       Action::kRun,
       false,
       false,
       false,
       std::nullopt,
       "xsl.despatx.example:8080"},
      {{"--styl", "Web-2.exemple.cat", "-n"},
       Action::kRun,
       true,
       false,
       false,
       std::nullopt,
       "Web-2.exemple.cat"},
      {{"-n", "/?", "--bogus"}, Action::kHelp, true, false, false, std::nullopt, "", kWindows},
      {{"--backup", "/orig", "-n"},
       Action::kRun,
       true,
       false,
       false,
       std::nullopt,
       "",
       {},
       "/orig"},
      {{"--re=/orig"}, Action::kRun, false, false, false, std::nullopt, "", {}, {}, "/orig"},
  };
  for (const auto& c : cases) {
    const std::string shown = ::testing::PrintToString(c.arguments);
    const CommandLine line = parse(c.arguments, c.conventions);
    EXPECT_EQ(line.action, c.action) << shown << line.error;
    EXPECT_EQ(line.options.dry_run, c.dry_run) << shown;
    EXPECT_EQ(line.options.verbose, c.verbose) << shown;
    EXPECT_EQ(line.options.convert_signed, c.convert_signed) << shown;
    EXPECT_EQ(line.options.root, c.root) << shown;
    EXPECT_EQ(line.options.stylesheet_host, c.host) << shown;
    EXPECT_EQ(line.host_source, c.host.empty() ? HostSource::kNone : HostSource::kOption) << shown;
    EXPECT_EQ(line.options.backup_folder, c.backup) << shown;
    EXPECT_EQ(line.options.restore_folder, c.restore) << shown;
    EXPECT_EQ(line.error, "") << shown;
  }
}

TEST(CommandLineTest, RefusedCommandLinesNameTheArgumentOnOneLine) {
  const struct {
    std::vector<std::string_view> arguments;
    std::string_view fault;
    std::string_view shown;
  } cases[] = {
      {{"--bogus"}, kUnknownOption, "--bogus"},
      {{"-x"}, kUnknownOption, "-x"},
      {{"-nx"}, kUnknownOption, "-x"},
      {{"--ver"}, kAmbiguousOption, "--ver"},
      {{"--", "-n"}, kStrayArgument, "-n"},
      {{"/srv/mor"}, kStrayArgument, "/srv/mor"},
      {{"-n", "-"}, kStrayArgument, "-"},
      {{"--root"}, kOptionNeedsFolder, "--root"},
      {{"--root="}, kOptionNeedsFolder, "--root"},
      {{"--ro", ""}, kOptionNeedsFolder, "--root"},
      {{"--root", "--dry-run"}, kOptionNeedsFolder, "--root"},
      {{"--dry-run=yes"}, kOptionTakesNoValue, "--dry-run=yes"},
      {{"--help=1"}, kOptionTakesNoValue, "--help=1"},
      {{"bad\x1B[2J"}, kStrayArgument, "bad?[2J"},
      {{"--bogus", "--help"}, kUnknownOption, "--bogus"},
      {{"--stylesheet-host"}, kOptionNeedsHost, "--stylesheet-host"},
      {{"--stylesheet-host", "-n"}, kOptionNeedsHost, "--stylesheet-host"},
      {{"--stylesheet-host", "xsl.example.org@evil.example"},
       kInvalidHost,
       "xsl.example.org@evil.example"},
      {{"--stylesheet-host=a&b"}, kInvalidHost, "a&b"},
      {{"--stylesheet-host=a/b"}, kInvalidHost, "a/b"},
      {{"--stylesheet-host=a\"b"}, kInvalidHost, "a\"b"},
      {{"--stylesheet-host=a b"}, kInvalidHost, "a b"},
      {{"--stylesheet-host=a\nb"}, kInvalidHost, "a?b"},
      {{"--stylesheet-host=a..b"}, kInvalidHost, "a..b"},
      {{"--stylesheet-host=a.-b"}, kInvalidHost, "a.-b"},
      {{"--stylesheet-host=a.b:"}, kInvalidHost, "a.b:"},
      {{"--stylesheet-host=a.b:65536"}, kInvalidHost, "a.b:65536"},
      {{"--stylesheet-host=a.b:80:80"}, kInvalidHost, "a.b:80:80"},
      {{"/?"}, kStrayArgument, "/?"},  // help only where Windows conventions hold
      {{"--backup"}, kOptionNeedsFolder, "--backup"},
      {{"--restore", "-n"}, kOptionNeedsFolder, "--restore"},
      {{"--backup=/a", "--restore=/a"}, kBackupAndRestore, "--restore"},
  };
  for (const auto& c : cases) {
    const std::string shown = ::testing::PrintToString(c.arguments);
    const CommandLine line = parse(c.arguments);
    EXPECT_EQ(line.action, Action::kUsageError) << shown;
    EXPECT_EQ(line.error, "invoice-converter: " + std::string(c.fault) + " '" +
                              std::string(c.shown) + "'. Vegeu 'invoice-converter --help'.\n")
        << shown;
  }
}

TEST(CommandLineTest, HelpAndVersionTexts) {
  const std::string help = make_help_text();
  for (const char* option : {"--dry-run", "--verbose", "--root=", "--convert-signed", "--help",
                             "--version", "MORROOT", "TEMP", "man invoice-converter"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
  // On Windows: what its users have in place of TMPDIR, /tmp and man.
  const std::string windows = make_help_text(kWindows);
  for (const HelpPhrase& phrase : kWindowsHelpPhrases) {
    EXPECT_NE(windows.find(phrase.windows), std::string::npos) << phrase.windows;
  }
  for (const char* posix : {"TMPDIR", "/tmp", "man ", "MORROOT/"}) {
    EXPECT_EQ(windows.find(posix), std::string::npos) << posix;
  }
  EXPECT_NE(windows.find("README.md"), std::string::npos);
  EXPECT_EQ(make_version_text("1.2.3", "xsl.example.org", HostSource::kOption),
            "invoice-converter 1.2.3\n"
            "Servidor del full d'estil de les factures actualitzades: xsl.example.org" +
                std::string(kHostFromOption) + "\n");
  EXPECT_NE(make_version_text("1.2.3", "", HostSource::kNone).find(kNoHost), std::string::npos);
}

// The option wins over the environment, which wins over the build's
// default; an empty variable counts as unset; a bad value from any source
// is a usage error; help needs no host.
TEST(CommandLineTest, StylesheetHostPrecedenceAndCheck) {
  const struct {
    std::vector<std::string_view> arguments;
    std::optional<std::string> environment;
    std::string_view build_default;
    std::string host;
    HostSource source;
    Action action = Action::kRun;
  } cases[] = {
      {{"--stylesheet-host=a.cat"}, "b.cat", "c.cat", "a.cat", HostSource::kOption},
      {{}, "b.cat", "c.cat", "b.cat", HostSource::kEnvironment},
      {{"--version"}, "", "c.cat", "c.cat", HostSource::kBuild, Action::kVersion},
      {{}, std::nullopt, "", "", HostSource::kNone},
      {{}, "a&b", "c.cat", "", HostSource::kNone, Action::kUsageError},
      {{"--stylesheet-host=a.cat"}, "a&b", "", "a.cat", HostSource::kOption},
      {{"--help"}, "a&b", "", "", HostSource::kNone, Action::kHelp},
  };
  for (const auto& c : cases) {
    const std::string shown = ::testing::PrintToString(c.arguments);
    CommandLine line = parse(c.arguments);
    settle_stylesheet_host(line, c.environment, c.build_default);
    EXPECT_EQ(line.action, c.action) << shown << line.error;
    EXPECT_EQ(line.options.stylesheet_host, c.host) << shown;
    EXPECT_EQ(line.host_source, c.source) << shown;
  }
}

}  // namespace
}  // namespace invoice
