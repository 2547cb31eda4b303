// The invoice converter: converts the invoice tree below $MORROOT/DOCUMENT
// (or --root) in one unattended run; --help lists the options.

#include <string>
#include <string_view>
#include <vector>

#include "driver/batch_run.h"
#include "driver/command_line.h"
#include "driver/restore.h"
#include "platform/platform.h"

#ifndef INVOICE_VERSION
#error "INVOICE_VERSION must give the program's version (a string literal)"
#endif
#ifndef INVOICE_STYLESHEET_HOST
#error \
    "INVOICE_STYLESHEET_HOST must give the default stylesheet host (a string literal, maybe empty)"
#endif

namespace {

// Writes `text` to standard output; 1 with a line on standard error when it
// could not be written, as a run ends then too, else 0.
int write_text(invoice::Platform& platform, const std::string& text) {
  const invoice::Status written = platform.write_output(text);
  if (written.is_ok()) return 0;
  platform.write_error(std::string(invoice::kFailureHead) +
                       std::string(invoice::kCannotWriteOutput) + describe_status(written) + "\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  invoice::prepare_process();
  auto platform = invoice::make_system_platform();
  const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  invoice::CommandLine line = invoice::parse_command_line(arguments, platform->conventions());
  invoice::settle_stylesheet_host(line, platform->get_environment(invoice::kStylesheetHostVariable),
                                  INVOICE_STYLESHEET_HOST);
  switch (line.action) {
    case invoice::CommandLine::Action::kHelp:
      return write_text(*platform, invoice::make_help_text(platform->conventions()));
    case invoice::CommandLine::Action::kVersion:
      return write_text(*platform,
                        invoice::make_version_text(INVOICE_VERSION, line.options.stylesheet_host,
                                                   line.host_source));
    case invoice::CommandLine::Action::kUsageError:
      platform->write_error(line.error);
      return invoice::kUsageErrorStatus;
    case invoice::CommandLine::Action::kRun:
      break;
  }
  if (line.options.restore_folder) return invoice::run_restore(*platform, line.options);
  return invoice::run_batch(*platform, line.options);
}
