// The invoice converter: converts the invoice tree below $MORROOT/DOCUMENT
// in one unattended run. The one option, --convert-signed, converts
// electronically signed invoices too.

#include <string_view>

#include "driver/batch_run.h"
#include "driver/console.h"
#include "driver/messages.h"
#include "driver/platform.h"

int main(int argc, char** argv) {
  invoice::prepare_process();
  auto platform = invoice::make_system_platform();
  invoice::RunOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--convert-signed") {
      options.convert_signed = true;
    } else {
      // Nothing is converted on a command line that may mean something else.
      invoice::Console(*platform).show_failure(argument, invoice::kUnknownOption);
      return 2;
    }
  }
  return invoice::run_batch(*platform, options);
}
