#ifndef INVOICE_DRIVER_COMMAND_LINE_H_
#define INVOICE_DRIVER_COMMAND_LINE_H_

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "driver/batch_run.h"
#include "driver/messages.h"
#include "platform/platform.h"

namespace invoice {

// Exit status for a command line that was refused: nothing was done.
inline constexpr int kUsageErrorStatus = 2;

// Where the run's stylesheet host came from.
enum class HostSource { kNone, kOption, kEnvironment, kBuild };

// The environment variable that gives the stylesheet host when the command
// line does not.
inline constexpr char kStylesheetHostVariable[] = "INVOICE_STYLESHEET_HOST";

// What the command line asks for.
struct CommandLine {
  enum class Action { kRun, kHelp, kVersion, kUsageError };
  Action action = Action::kRun;
  RunOptions options;
  // Where `options.stylesheet_host` came from.
  HostSource host_source = HostSource::kNone;
  // For kUsageError: one line, with its line end, that names the argument at
  // fault and points to --help.
  std::string error;
};

// Reads the arguments that follow the program name, GNU style: long options
// after "--" (a unique abbreviation will do, a value after "=" or as the next
// argument), short ones after "-" and combinable ("-nv"), and "--" ends the
// options. Options are taken in order; --help and --version win over what
// follows them, and so does the first argument at fault. The program takes
// no operands, so any argument that is not an option is at fault, and so is
// a folder for --root that is empty or begins with "-" (a forgotten value
// must not swallow the next option). So is a --stylesheet-host value that
// `is_valid_stylesheet_host` refuses.
// With Windows conventions "/?" asks for the help too, as Windows programs
// take it.
CommandLine parse_command_line(std::span<const std::string_view> arguments,
                               Platform::Conventions conventions = Platform::Conventions::kPosix);

// True when `host` may be written into invoices: host-name labels of
// letters, digits and hyphens (no hyphen at either end), separated by dots,
// optionally followed by ":" and a port number from 1 to 65535. Anything
// else (an "@", "&", "/", quote, blank or control byte) is refused.
bool is_valid_stylesheet_host(std::string_view host);

// Settles the stylesheet host of a run or --version line that the command
// line gave none: the environment's value when it is set and not empty,
// else `build_default` when not empty, else none. A value that is not a
// valid host makes `line` a usage error that names it.
void settle_stylesheet_host(CommandLine& line, const std::optional<std::string>& environment,
                            std::string_view build_default);

// The usage text for --help, in Catalan, as it fits the platform's users:
// on Windows it names TEMP's fallback there and points to the README.
std::string make_help_text(Platform::Conventions conventions = Platform::Conventions::kPosix);

// The text for --version: the program's version, the host of the web
// stylesheet that upgraded invoices refer to and where it came from.
std::string make_version_text(std::string_view version, std::string_view stylesheet_host,
                              HostSource source);

}  // namespace invoice

#endif  // INVOICE_DRIVER_COMMAND_LINE_H_
