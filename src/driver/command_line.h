#ifndef INVOICE_DRIVER_COMMAND_LINE_H_
#define INVOICE_DRIVER_COMMAND_LINE_H_

#include <span>
#include <string>
#include <string_view>

#include "driver/batch_run.h"
#include "driver/messages.h"
#include "driver/platform.h"

namespace invoice {

// Exit status for a command line that was refused: nothing was done.
inline constexpr int kUsageErrorStatus = 2;

// What the command line asks for.
struct CommandLine {
  enum class Action { kRun, kHelp, kVersion, kUsageError };
  Action action = Action::kRun;
  RunOptions options;
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
// must not swallow the next option).
// With Windows conventions "/?" asks for the help too, as Windows programs
// take it.
CommandLine parse_command_line(std::span<const std::string_view> arguments,
                               Platform::Conventions conventions = Platform::Conventions::kPosix);

// The usage text for --help, in Catalan, as it fits the platform's users:
// on Windows it names TEMP's fallback there and points to the README.
std::string make_help_text(Platform::Conventions conventions = Platform::Conventions::kPosix);

// The text for --version: the program's version and the host of the web
// stylesheet that upgraded invoices refer to.
std::string make_version_text(std::string_view version, std::string_view stylesheet_host);

}  // namespace invoice

#endif  // INVOICE_DRIVER_COMMAND_LINE_H_
