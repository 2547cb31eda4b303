#include "driver/command_line.h"

#include <optional>

#include "driver/console.h"

namespace invoice {

namespace {

enum class Option { kHelp, kVersion, kDryRun, kVerbose, kRoot, kConvertSigned };

struct LongOption {
  std::string_view name;
  Option option;
  bool takes_value;
};

constexpr LongOption kLongOptions[] = {
    {"help", Option::kHelp, false},      {"version", Option::kVersion, false},
    {"dry-run", Option::kDryRun, false}, {"verbose", Option::kVerbose, false},
    {"root", Option::kRoot, true},       {"convert-signed", Option::kConvertSigned, false},
};

struct ShortOption {
  char letter;
  Option option;
};

constexpr ShortOption kShortOptions[] = {
    {'h', Option::kHelp},
    {'n', Option::kDryRun},
    {'v', Option::kVerbose},
};

// A refusal naming `argument`, which is shown with anything that could move
// a terminal's cursor replaced.
CommandLine refuse(std::string_view what, std::string_view argument) {
  std::size_t columns = 0;
  CommandLine refused;
  refused.action = CommandLine::Action::kUsageError;
  refused.error = std::string(kProgramName) + ": " + std::string(what) + " '" +
                  make_printable(argument, columns) + "'" + std::string(kSeeHelpHead) +
                  std::string(kProgramName) + std::string(kSeeHelpTail) + "\n";
  return refused;
}

// The long option that `name` spells or abbreviates without ambiguity.
// Returns nothing, with `ambiguous` telling why, when there is none.
std::optional<LongOption> find_long_option(std::string_view name, bool& ambiguous) {
  std::optional<LongOption> found;
  ambiguous = false;
  for (const LongOption& candidate : kLongOptions) {
    if (candidate.name == name) return candidate;
    if (!name.empty() && candidate.name.starts_with(name)) {
      ambiguous = found.has_value();
      found = candidate;
    }
  }
  if (ambiguous) return std::nullopt;
  return found;
}

// Takes `option` into `line`; true when parsing stops here (help, version).
bool apply(Option option, std::string_view value, CommandLine& line) {
  switch (option) {
    case Option::kHelp:
      line.action = CommandLine::Action::kHelp;
      return true;
    case Option::kVersion:
      line.action = CommandLine::Action::kVersion;
      return true;
    case Option::kDryRun:
      line.options.dry_run = true;
      break;
    case Option::kVerbose:
      line.options.verbose = true;
      break;
    case Option::kRoot:
      line.options.root = std::string(value);
      break;
    case Option::kConvertSigned:
      line.options.convert_signed = true;
      break;
  }
  return false;
}

}  // namespace

CommandLine parse_command_line(std::span<const std::string_view> arguments,
                               Platform::Conventions conventions) {
  CommandLine line;
  for (std::size_t at = 0; at < arguments.size(); ++at) {
    const std::string_view argument = arguments[at];
    if (argument == "/?" && conventions == Platform::Conventions::kWindows) {
      apply(Option::kHelp, {}, line);
      return line;
    }
    if (argument == "--") {
      // Whatever follows would be an operand, and there are none.
      if (at + 1 < arguments.size()) return refuse(kStrayArgument, arguments[at + 1]);
      break;
    }
    if (argument.starts_with("--")) {
      const std::size_t equals = argument.find('=');
      const std::string_view name = argument.substr(2, equals - 2);
      bool ambiguous = false;
      const auto option = find_long_option(name, ambiguous);
      if (!option) {
        return refuse(ambiguous ? kAmbiguousOption : kUnknownOption, argument);
      }
      const std::string spelled = "--" + std::string(option->name);
      std::string_view value;
      if (!option->takes_value) {
        if (equals != std::string_view::npos) {
          return refuse(kOptionTakesNoValue, argument);
        }
      } else if (equals != std::string_view::npos) {
        value = argument.substr(equals + 1);
        if (value.empty()) return refuse(kOptionNeedsFolder, spelled);
      } else {
        if (at + 1 == arguments.size() || arguments[at + 1].empty() ||
            arguments[at + 1].starts_with("-")) {
          return refuse(kOptionNeedsFolder, spelled);
        }
        value = arguments[++at];
      }
      if (apply(option->option, value, line)) return line;
      continue;
    }
    if (argument.size() < 2 || argument.front() != '-') {
      return refuse(kStrayArgument, argument);
    }
    for (const char letter : argument.substr(1)) {
      const ShortOption* found = nullptr;
      for (const ShortOption& candidate : kShortOptions) {
        if (candidate.letter == letter) found = &candidate;
      }
      if (found == nullptr) return refuse(kUnknownOption, std::string("-") + letter);
      if (apply(found->option, {}, line)) return line;
    }
  }
  return line;
}

std::string make_help_text(Platform::Conventions conventions) {
  std::string text(kUsageHead);
  text += kProgramName;
  text += kUsageTail;
  text += kHelpText;
  if (conventions == Platform::Conventions::kWindows) {
    for (const HelpPhrase& phrase : kWindowsHelpPhrases) {
      const std::size_t at = text.find(phrase.posix);
      if (at != std::string::npos) text.replace(at, phrase.posix.size(), phrase.windows);
    }
    text += kReadmeLine;
    return text;
  }
  text += kManualPageHead;
  text += kProgramName;
  text += "\n";
  return text;
}

std::string make_version_text(std::string_view version, std::string_view stylesheet_host) {
  std::string text(kProgramName);
  text += " ";
  text += version;
  text += "\n";
  text += kStylesheetHostHead;
  text += stylesheet_host;
  // The build's default is a placeholder that upgraded invoices would carry.
  if (stylesheet_host == "www.example.com") text += kPlaceholderHostNote;
  text += "\n";
  return text;
}

}  // namespace invoice
