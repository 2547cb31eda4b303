#include "driver/command_line.h"

#include <optional>

#include "driver/console.h"

namespace invoice {

namespace {

enum class Option {
  kHelp,
  kVersion,
  kDryRun,
  kVerbose,
  kRoot,
  kConvertSigned,
  kStylesheetHost,
  kBackup,
  kRestore,
};

struct LongOption {
  std::string_view name;
  Option option;
  bool takes_value;
};

constexpr LongOption kLongOptions[] = {
    {"help", Option::kHelp, false},
    {"version", Option::kVersion, false},
    {"dry-run", Option::kDryRun, false},
    {"verbose", Option::kVerbose, false},
    {"root", Option::kRoot, true},
    {"convert-signed", Option::kConvertSigned, false},
    {"stylesheet-host", Option::kStylesheetHost, true},
    {"backup", Option::kBackup, true},
    {"restore", Option::kRestore, true},
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
    case Option::kStylesheetHost:
      line.options.stylesheet_host = std::string(value);
      line.host_source = HostSource::kOption;
      break;
    case Option::kBackup:
      line.options.backup_folder = std::string(value);
      break;
    case Option::kRestore:
      line.options.restore_folder = std::string(value);
      break;
  }
  return false;
}

bool is_host_label(std::string_view label) {
  if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
    return false;
  }
  for (const char c : label) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-')) {
      return false;
    }
  }
  return true;
}

bool is_port(std::string_view port) {
  if (port.empty() || port.size() > 5) return false;
  unsigned value = 0;
  for (const char c : port) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value >= 1 && value <= 65535;
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
      } else {
        const std::string_view needs =
            option->option == Option::kStylesheetHost ? kOptionNeedsHost : kOptionNeedsFolder;
        if (equals != std::string_view::npos) {
          value = argument.substr(equals + 1);
          if (value.empty()) return refuse(needs, spelled);
        } else {
          if (at + 1 == arguments.size() || arguments[at + 1].empty() ||
              arguments[at + 1].starts_with("-")) {
            return refuse(needs, spelled);
          }
          value = arguments[++at];
        }
        if (option->option == Option::kStylesheetHost && !is_valid_stylesheet_host(value)) {
          return refuse(kInvalidHost, value);
        }
      }
      if (apply(option->option, value, line)) return line;
      // Keeping originals and putting them back are two different runs.
      if (line.options.backup_folder && line.options.restore_folder) {
        return refuse(kBackupAndRestore, spelled);
      }
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

bool is_valid_stylesheet_host(std::string_view host) {
  if (host.size() > 253 + 6) return false;
  const std::size_t colon = host.find(':');
  if (colon != std::string_view::npos && !is_port(host.substr(colon + 1))) return false;
  std::string_view name = host.substr(0, colon);
  for (;;) {
    const std::size_t dot = name.find('.');
    if (!is_host_label(name.substr(0, dot))) return false;
    if (dot == std::string_view::npos) return true;
    name.remove_prefix(dot + 1);
  }
}

void settle_stylesheet_host(CommandLine& line, const std::optional<std::string>& environment,
                            std::string_view build_default) {
  if (line.action != CommandLine::Action::kRun && line.action != CommandLine::Action::kVersion) {
    return;
  }
  if (line.host_source == HostSource::kOption) return;
  if (environment && !environment->empty()) {
    if (!is_valid_stylesheet_host(*environment)) {
      line = refuse(kInvalidHostVariable, *environment);
      return;
    }
    line.options.stylesheet_host = *environment;
    line.host_source = HostSource::kEnvironment;
  } else if (!build_default.empty()) {
    if (!is_valid_stylesheet_host(build_default)) {
      line = refuse(kInvalidHost, build_default);
      return;
    }
    line.options.stylesheet_host = std::string(build_default);
    line.host_source = HostSource::kBuild;
  }
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

std::string make_version_text(std::string_view version, std::string_view stylesheet_host,
                              HostSource source) {
  std::string text(kProgramName);
  text += " ";
  text += version;
  text += "\n";
  text += kStylesheetHostHead;
  switch (source) {
    case HostSource::kNone:
      text += kNoHost;
      break;
    case HostSource::kOption:
      text += std::string(stylesheet_host) + std::string(kHostFromOption);
      break;
    case HostSource::kEnvironment:
      text += std::string(stylesheet_host) + std::string(kHostFromEnvironment);
      break;
    case HostSource::kBuild:
      text += std::string(stylesheet_host) + std::string(kHostFromBuild);
      break;
  }
  text += "\n";
  return text;
}

}  // namespace invoice
