#ifndef INVOICE_DRIVER_BATCH_RUN_H_
#define INVOICE_DRIVER_BATCH_RUN_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/console.h"
#include "driver/messages.h"
#include "driver/original_keeper.h"
#include "driver/run_options.h"
#include "platform/platform.h"
#include "upgrade/upgrade_document.h"

namespace invoice {

// What the per-file cycle does with a document because of its signature.
enum class SignedHandling {
  kConvert,        // unsigned, or signed and neither step would change it
  kConvertSigned,  // signed, converted as asked: any change breaks the signature
  kKeep,           // signed and a step would change it: left exactly as it is
};

// Decides how a loaded document is handled: a signed one that either step
// would change is kept unless `convert_signed` (one whose structure is not
// recognised is changed by neither, and goes on to be reported). Runs the steps on a copy
// only for a signed document. Pure: no I/O. Both the real cycle and a run
// that only reports go through here, so they decide alike.
SignedHandling decide_signed_handling(std::string_view document, const ReplacementTable& table,
                                      bool convert_signed);

// The per-invoice cycle of a run (`run_batch` drives it over the file list)
// and its state: the replacement table, the group of replacements waiting to
// be made durable, the two counts and whether anything failed. `platform`
// and `console` must outlive it.
class InvoiceCycle {
 public:
  // With a `keeper` (which must outlive the cycle), each invoice's original
  // is kept before the invoice is replaced, and an invoice whose original
  // cannot be kept is reported and left as it is.
  InvoiceCycle(Platform& platform, Console& console, const RunOptions& options = {},
               OriginalKeeper* keeper = nullptr);

  // A group is made durable once its staged replacements hold this many
  // bytes (or once one more invoice could exceed the platform's bound on
  // files): it bounds the work a kill or a power cut throws away and the
  // data waiting in the system's cache, not the program's memory, which
  // holds no text of a group.
  static constexpr std::size_t kGroupByteLimit = std::size_t{64} << 20;

  // The per-file cycle for one listed path: shows it, opens and locks it,
  // upgrades and converts the text and stages a replacement after each step
  // that changed it, carrying the times the file had when it was opened. A
  // changed file then waits, open and locked, in the current group, which is
  // made durable when it reaches a bound (`finish_group`). An unchanged file
  // is let go at once, untouched: nothing sets its times. A file that cannot be opened, read or
  // staged is reported on standard error, left as it was (or as its last
  // whole step will leave it, which the report says) and not counted; the
  // run goes on. So is a document whose Parties end tag could be moved only
  // in part. With `verbose`, a changed file gets a line saying what was
  // done once it is in place.
  // A dry run does the same in memory: it opens, locks and converts, reports
  // a file that a run could not replace (locked, read-only...) the same way,
  // counts and shows a line for each file a run would change, and writes
  // nothing, times included.
  // Out of memory, the file in hand is left whole and reported, and
  // `out_of_memory` is set so that the run ends.
  void process_invoice_file(const std::string& path);

  // Makes the current group durable: flushes all its staged files as one
  // operation, puts each in place, flushes the folders touched, and only
  // then counts each file and lets it go. No time is set after a rename. When the flush fails
  // nothing is put in place and every file of the group is reported and left as it was. A failure
  // of one file is reported with its path, perhaps after later paths were
  // shown.
  void finish_group();

  // Reports a failure that concerns no single invoice (the file list, a
  // folder); the run then ends with status 1.
  void report_failure(const std::string& path, const std::string& reason);
  // Reports something the user should know that is no failure.
  void report_notice(const std::string& path, std::string_view text);

  // Lets the files of the current group go without putting anything in
  // place: each is left whole, its staged replacements removed.
  void abandon_group();
  // Counts a failure that was reported by other means.
  void count_failure() { ++failure_count_; }

  bool out_of_memory() const { return out_of_memory_; }
  std::int64_t upgrade_count() const { return upgrade_count_; }
  std::int64_t code_page_count() const { return code_page_count_; }
  std::int64_t failure_count() const { return failure_count_; }
  // Invoices replaced whose original the keeper holds.
  std::int64_t kept_count() const { return kept_count_; }
  const RunOptions& options() const { return options_; }

 private:
  // The steps that changed a file's text and were written (in a dry run:
  // that a run would write).
  struct Steps {
    bool upgraded = false;
    bool code_page_converted = false;
  };

  // An open invoice with the replacements staged for it, waiting for its
  // group to be made durable.
  struct StagedInvoice {
    std::string path;
    std::unique_ptr<InvoiceFile> file;
    int staged = 0;  // replacements staged: the upgraded text, the final text
    Steps steps;     // the steps staged (in a dry run: that a run would stage)
    std::size_t bytes = 0;
    // Why the conversion to UTF-8 could not be staged after the upgrade,
    // reported once the upgraded text is in place.
    Status second_step_failure;
    // With a keeper: the original and the digests of the texts staged.
    KeptOriginal kept;
  };

  // The per-file cycle of `process_invoice_file`.
  void convert_invoice_file(const std::string& path);
  // Upgrades and converts the text of an open file, staging a replacement
  // after each step that changed it (none in a dry run); false when a step
  // failed.
  bool stage_conversions(StagedInvoice& invoice);
  // Keeps the originals of a group (with a keeper); false for each invoice
  // whose original is not safe, which is reported and must not be replaced.
  std::vector<bool> keep_originals(std::vector<StagedInvoice>& group);
  // Puts the staged replacements of one invoice in place in order; the
  // number put in place.
  int put_in_place(StagedInvoice& invoice);
  // Counts what was done to a file that was written, unless `named`, the
  // flush of its folder, failed: then it reports the file as converted but
  // not durable.
  void finish_invoice(StagedInvoice& invoice, int placed, const Status& named);
  // Removes what `file` staged and did not put in place, reporting each
  // staged file that could not be removed.
  void report_unremoved(InvoiceFile& file);
  // The line for a file that was (or in a dry run would be) changed.
  void show_change(const std::string& path, const Steps& steps);

  Platform& platform_;
  Console& console_;
  const RunOptions options_;
  const ReplacementTable table_;
  std::int64_t upgrade_count_ = 0;
  std::int64_t code_page_count_ = 0;
  std::int64_t failure_count_ = 0;
  std::int64_t kept_count_ = 0;
  OriginalKeeper* keeper_;
  // Whether a failure for want of a stylesheet host said how to give one.
  bool host_hint_shown_ = false;
  // Whether the run said that the backup folder keeps no access.
  bool access_notice_shown_ = false;
  bool out_of_memory_ = false;
  std::vector<StagedInvoice> group_;
  std::size_t group_files_ = 0;
  std::size_t group_bytes_ = 0;
};

// The whole run: lists the invoices below MORROOT's DOCUMENT folder into a
// temporary file list, converts each one, replacing them durably in groups,
// deletes the list and prints the two counts. Returns the exit status: 0 when every file was
// handled, 1 when anything failed, the report on standard output included. A run asked to stop
// leaves the current file whole, finishes the current group, converts no more, deletes the list,
// prints the counts of what it did and returns the status that `Platform::stop_requested` gives.
int run_batch(Platform& platform, const RunOptions& options = {});

}  // namespace invoice

#endif  // INVOICE_DRIVER_BATCH_RUN_H_
