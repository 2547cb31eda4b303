#ifndef INVOICE_DRIVER_BATCH_RUN_H_
#define INVOICE_DRIVER_BATCH_RUN_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "driver/console.h"
#include "driver/messages.h"
#include "driver/platform.h"
#include "upgrade/upgrade_document.h"

namespace invoice {

// What the command line asks of a run; a bare run takes the defaults.
struct RunOptions {
  // The installation root, in place of the environment's MORROOT.
  std::optional<std::string> root;
  // Converts in memory only and reports what a real run would change.
  bool dry_run = false;
  // Names every invoice changed, and what was done to it.
  bool verbose = false;
  // Converts electronically signed documents too.
  bool convert_signed = false;
};

// What the per-file cycle does with a document because of its signature.
enum class SignedHandling {
  kConvert,        // unsigned, or signed and neither step would change it
  kConvertSigned,  // signed, converted as asked: any change breaks the signature
  kKeep,           // signed and a step would change it: left exactly as it is
};

// Decides how a loaded document is handled: a signed one that either step
// would change is kept unless `convert_signed`. Runs the steps on a copy
// only for a signed document. Pure: no I/O. Both the real cycle and a run
// that only reports go through here, so they decide alike.
SignedHandling decide_signed_handling(std::string_view document, const ReplacementTable& table,
                                      bool convert_signed);

// The state of one run: the replacement table, the two counts and whether
// anything failed. `platform` and `console` must outlive it.
class BatchRun {
 public:
  BatchRun(Platform& platform, Console& console, const RunOptions& options = {});

  // The per-file cycle for one listed path: shows it, captures its
  // last-write time, opens and locks it, upgrades and converts the text,
  // replaces the file after each step that changed it, and puts the captured
  // time back while the file is still locked. A file that cannot be opened,
  // read or replaced is reported on standard error, left as it was (or as
  // its last whole step left it, which the report says) and not counted; the
  // run goes on. With `verbose`, a changed file gets a line saying what was
  // done.
  // A dry run does the same in memory: it opens, locks and converts, reports
  // a file that a run could not replace (locked, read-only...) the same way,
  // counts and shows a line for each file a run would change, and writes
  // nothing, times included.
  void process_invoice_file(const std::string& path);

  // Reports a failure that concerns no single invoice (the file list, a
  // folder); the run then ends with status 1.
  void report_failure(const std::string& path, const std::string& reason);
  // Reports something the user should know that is no failure.
  void report_notice(const std::string& path, std::string_view text);

  std::int64_t upgrade_count() const { return upgrade_count_; }
  std::int64_t code_page_count() const { return code_page_count_; }
  std::int64_t failure_count() const { return failure_count_; }
  const RunOptions& options() const { return options_; }

 private:
  // The steps that changed a file's text and were written (in a dry run:
  // that a run would write).
  struct Steps {
    bool upgraded = false;
    bool code_page_converted = false;
  };

  // Converts and writes back one open file; false when it failed.
  // `written` tells whether the file was replaced at least once.
  bool convert_invoice_file(const std::string& path, InvoiceFile& file, bool& written,
                            Steps& steps);
  // The line for a file that was (or in a dry run would be) changed.
  void show_change(const std::string& path, const Steps& steps);

  Platform& platform_;
  Console& console_;
  const RunOptions options_;
  const ReplacementTable table_;
  std::int64_t upgrade_count_ = 0;
  std::int64_t code_page_count_ = 0;
  std::int64_t failure_count_ = 0;
};

// The whole run: lists the invoices below MORROOT's DOCUMENT folder into a
// temporary file list, converts each one, deletes the list and prints the
// two counts. Returns the exit status: 0 when every file was handled, 1 when
// anything failed, the report on standard output included. A run asked to
// stop leaves the current file whole, converts no more, deletes the list,
// prints the counts of what it did and returns the status that
// `Platform::stop_requested` gives.
int run_batch(Platform& platform, const RunOptions& options = {});

}  // namespace invoice

#endif  // INVOICE_DRIVER_BATCH_RUN_H_
