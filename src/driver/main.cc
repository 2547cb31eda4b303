// The invoice converter: converts the invoice tree below $MORROOT/DOCUMENT
// (or --root) in one unattended run; --help lists the options.

#include <string_view>
#include <vector>

#include "driver/batch_run.h"
#include "driver/command_line.h"
#include "driver/platform.h"

#ifndef INVOICE_VERSION
#error "INVOICE_VERSION must give the program's version (a string literal)"
#endif
#ifndef INVOICE_STYLESHEET_HOST
#error "INVOICE_STYLESHEET_HOST must name the host of the web stylesheet (a string literal)"
#endif

int main(int argc, char** argv) {
  invoice::prepare_process();
  auto platform = invoice::make_system_platform();
  const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const invoice::CommandLine line = invoice::parse_command_line(arguments, platform->conventions());
  switch (line.action) {
    case invoice::CommandLine::Action::kHelp:
      platform->write_output(invoice::make_help_text(platform->conventions()));
      return 0;
    case invoice::CommandLine::Action::kVersion:
      platform->write_output(invoice::make_version_text(INVOICE_VERSION, INVOICE_STYLESHEET_HOST));
      return 0;
    case invoice::CommandLine::Action::kUsageError:
      platform->write_error(line.error);
      return invoice::kUsageErrorStatus;
    case invoice::CommandLine::Action::kRun:
      break;
  }
  return invoice::run_batch(*platform, line.options);
}
