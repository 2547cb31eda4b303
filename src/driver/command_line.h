#ifndef INVOICE_DRIVER_COMMAND_LINE_H_
#define INVOICE_DRIVER_COMMAND_LINE_H_

#include <span>
#include <string>
#include <string_view>

#include "driver/batch_run.h"
#include "driver/messages.h"

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
CommandLine parse_command_line(std::span<const std::string_view> arguments);

// The usage text for --help, in Catalan.
std::string make_help_text();

// The text for --version: the program's version and the host of the web
// stylesheet that upgraded invoices refer to.
std::string make_version_text(std::string_view version, std::string_view stylesheet_host);

}  // namespace invoice

#endif  // INVOICE_DRIVER_COMMAND_LINE_H_
