#ifndef INVOICE_DRIVER_RESTORE_H_
#define INVOICE_DRIVER_RESTORE_H_

#include "driver/run_options.h"
#include "platform/platform.h"

namespace invoice {

// Undoes the conversions recorded in the manifest of `options.restore_folder`:
// each invoice that holds a text a run recorded for it (the final text, or
// the upgraded text of a conversion stopped after its first step) is put
// back to the original kept for it, through the same replacement as a
// conversion (locked, checked, staged, flushed, renamed), with the original's
// content and times and the invoice's present owner, access and attributes.
// An invoice that holds its original already is left as it is; one edited
// since, removed, or different for any other reason is reported and left
// alone. The kept originals stay where they are. A dry run lists what it
// would restore. Returns the exit status: 0 when nothing failed, 1
// otherwise, or the status a request to stop gives.
int run_restore(Platform& platform, const RunOptions& options);

}  // namespace invoice

#endif  // INVOICE_DRIVER_RESTORE_H_
