// The invoice converter: converts the invoice tree below $MORROOT/DOCUMENT
// in one unattended run. Takes no arguments.

#include "driver/batch_run.h"
#include "driver/platform.h"

int main() {
  invoice::prepare_process();
  auto platform = invoice::make_system_platform();
  return invoice::run_batch(*platform);
}
