#ifndef INVOICE_DRIVER_RUN_OPTIONS_H_
#define INVOICE_DRIVER_RUN_OPTIONS_H_

#include <optional>
#include <string>

namespace invoice {

// What the command line asks of a run; a bare run takes the defaults.
struct RunOptions {
  // The installation root, in place of the environment's MORROOT.
  std::optional<std::string> root;
  // Converts in memory only and reports what a real run would change; the
  // leftovers of killed runs stay where they are too.
  bool dry_run = false;
  // Names every invoice changed, and what was done to it.
  bool verbose = false;
  // Converts electronically signed documents too.
  bool convert_signed = false;
  // The host of the web stylesheet that upgraded documents refer to,
  // already checked; empty when none was given, and then a document that
  // holds a local stylesheet reference is reported and left as it is.
  std::string stylesheet_host;
  // Keeps the original of each invoice replaced in this folder, outside the
  // tree (--backup).
  std::optional<std::string> backup_folder;
  // Puts back the originals that the runs recorded in this folder, in place
  // of a conversion (--restore).
  std::optional<std::string> restore_folder;
};

}  // namespace invoice

#endif  // INVOICE_DRIVER_RUN_OPTIONS_H_
