#include "driver/batch_run.h"

#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "driver/command_line.h"
#include "driver/file_list.h"
#include "encoding/convert_code_page.h"
#include "upgrade/signature.h"

namespace invoice {

SignedHandling decide_signed_handling(std::string_view document, const ReplacementTable& table,
                                      bool convert_signed) {
  if (!holds_signature(document)) return SignedHandling::kConvert;
  if (convert_signed) return SignedHandling::kConvertSigned;
  std::string copy(document);
  // Both steps run, as in the cycle: the code page step sees the upgraded
  // text, and a structure not recognised stops both, changing nothing.
  const UpgradeOutcome upgraded = upgrade_document(copy, table);
  if (upgraded == UpgradeOutcome::kUnrecognisedStructure) return SignedHandling::kConvert;
  const CodePageOutcome converted = convert_code_page(copy);
  return upgraded == UpgradeOutcome::kUpgraded || converted != CodePageOutcome::kUnchanged
             ? SignedHandling::kKeep
             : SignedHandling::kConvert;
}

InvoiceCycle::InvoiceCycle(Platform& platform, Console& console, const RunOptions& options,
                           OriginalKeeper* keeper)
    : platform_(platform),
      console_(console),
      options_(options),
      table_(build_replacement_table(options.stylesheet_host)),
      keeper_(options.dry_run ? nullptr : keeper) {}

void InvoiceCycle::report_failure(const std::string& path, const std::string& reason) {
  console_.show_failure(path, reason);
  ++failure_count_;
}

void InvoiceCycle::report_notice(const std::string& path, std::string_view text) {
  console_.show_notice(path, text);
}

void InvoiceCycle::process_invoice_file(const std::string& path) {
  try {
    convert_invoice_file(path);
  } catch (const std::bad_alloc&) {
    // The invoice in hand was let go whole as the failure unwound, its
    // staged files removed; the memory it held is free again for the report.
    out_of_memory_ = true;
    report_failure(path, std::string(describe_kind(Status::Kind::kNoMemory)));
  }
}

void InvoiceCycle::report_unremoved(InvoiceFile& file) {
  for (const UnremovedFile& unremoved : file.discard_staged()) {
    report_failure(unremoved.path,
                   std::string(kCannotRemoveCopy) + describe_status(unremoved.status));
  }
}

void InvoiceCycle::abandon_group() {
  group_.clear();
  group_files_ = 0;
  group_bytes_ = 0;
}

void InvoiceCycle::convert_invoice_file(const std::string& path) {
  console_.show_progress(path);
  StagedInvoice invoice;
  invoice.path = path;
  auto opened = platform_.open_invoice_file(path);
  if (opened.status.kind() == Status::Kind::kLocked && !group_.empty()) {
    // Perhaps by this run: another path (a link) to an invoice of the
    // current group. Once the group is done, its lock is gone.
    finish_group();
    opened = platform_.open_invoice_file(path);
  }
  if (!opened.is_ok()) {
    report_failure(path, std::string(kCannotOpen) + describe_status(opened.status));
    return;
  }
  invoice.file = std::move(opened.value);
  (void)stage_conversions(invoice);
  if (options_.dry_run) {
    // Counted and shown as a run would; nothing written, times included.
    if (invoice.steps.upgraded) ++upgrade_count_;
    if (invoice.steps.code_page_converted) ++code_page_count_;
    show_change(path, invoice.steps);
    return;
  }
  // A file with nothing staged, unchanged or failed, is let go as it is:
  // it was only read, so it has no time to restore.
  if (invoice.staged == 0) {
    report_unremoved(*invoice.file);
    return;
  }
  // The group holds open files and their staged replacements, never texts;
  // a kept copy holds its own descriptor and perhaps its folder's.
  constexpr std::size_t kFilesPerCopy = 2;
  group_files_ += static_cast<std::size_t>(invoice.staged);
  if (invoice.kept.copy) group_files_ += kFilesPerCopy;
  group_bytes_ += invoice.bytes;
  group_.push_back(std::move(invoice));
  // The next invoice may stage two files more, and keep its original.
  const std::size_t next = 2 + (keeper_ != nullptr ? kFilesPerCopy : 0);
  if (group_files_ + next > platform_.group_file_limit() || group_bytes_ >= kGroupByteLimit)
    finish_group();
}

void InvoiceCycle::show_change(const std::string& path, const Steps& steps) {
  std::string done;
  if (steps.upgraded) done = kUpgradeStep;
  if (steps.upgraded && steps.code_page_converted) done += kStepJoin;
  if (steps.code_page_converted) done += kCodePageStep;
  if (done.empty()) return;
  console_.show_change(options_.dry_run ? kDryRunConvertedHead : kConvertedHead, path, done);
}

bool InvoiceCycle::stage_conversions(StagedInvoice& invoice) {
  InvoiceFile& file = *invoice.file;
  auto fail = [&](std::string_view what, const Status& status) {
    report_failure(invoice.path, std::string(what) + describe_status(status));
    return false;
  };
  SignedHandling handling = SignedHandling::kConvert;
  std::string original;
  // Told once, when the signed bytes are first staged for replacement (in
  // a dry run: when a run would first replace them).
  bool signature_notice_shown = false;
  auto show_signature_notice = [&] {
    if (handling != SignedHandling::kConvertSigned || signature_notice_shown) return;
    console_.show_notice(invoice.path,
                         options_.dry_run ? kDryRunSignedConvertedNotice : kSignedConvertedNotice);
    signature_notice_shown = true;
  };
  // Stages a changed text; false when the file had to be left alone.
  auto save_document = [&](const std::string& document) {
    // Asked once: a file removed or changed after its first step is found
    // when that step is put in place.
    if (invoice.staged == 0 && !file.is_writable()) {
      report_failure(invoice.path, std::string(describe_kind(Status::Kind::kReadOnly)) +
                                       std::string(kNeedsConverting));
      return false;
    }
    // The same verdict in a dry run as in a run, wherever it can be known
    // without writing.
    if (invoice.staged == 0) {
      if (const Status replaceable = file.check_replaceable(); !replaceable.is_ok())
        return fail(kCannotSave, replaceable);
    }
    // The original is kept before anything is staged: an invoice whose
    // original cannot be kept is not converted.
    if (invoice.staged == 0 && keeper_ != nullptr) {
      const Status kept = keeper_->keep(invoice.path, file, original, invoice.kept);
      if (!kept.is_ok()) return fail(kCannotKeepOriginal, kept);
    }
    // Without its digest in the manifest a restore could not recognise the
    // text, so none is staged.
    std::string text_digest;
    if (keeper_ != nullptr) {
      auto digest = platform_.sha256(document);
      if (digest.is_ok()) text_digest = to_hex(digest.value);
      if (!digest.is_ok() && invoice.staged == 0) return fail(kCannotKeepOriginal, digest.status);
      if (!digest.is_ok()) {
        invoice.second_step_failure = digest.status;
        return false;
      }
    }
    if (!options_.dry_run) {
      const Status staged = file.stage(document);
      if (!staged.is_ok()) {
        if (invoice.staged == 0) return fail(kCannotSave, staged);
        // Only the conversion to UTF-8 can follow an earlier step, whose
        // text still goes in place with the group; the report waits until
        // it has.
        invoice.second_step_failure = staged;
        return false;
      }
      ++invoice.staged;
      invoice.bytes += document.size();
      if (keeper_ != nullptr) invoice.kept.entry.texts.push_back(std::move(text_digest));
    }
    show_signature_notice();
    return true;
  };
  try {
    std::string document;
    const Status loaded = file.load(document);
    if (!loaded.is_ok()) return fail(kCannotRead, loaded);
    // The text as read, for the copy of the original; only when it is kept.
    if (keeper_ != nullptr) original = document;
    handling = decide_signed_handling(document, table_, options_.convert_signed);
    if (handling == SignedHandling::kKeep) {
      // Nothing failed: the file is simply one that needs no writing.
      console_.show_notice(invoice.path, kSignedKeptNotice);
      return true;
    }
    if (options_.stylesheet_host.empty() && holds_local_stylesheet(document)) {
      // A signed invoice that only its stylesheet reference would change is
      // kept for its signature, as it would be with a host.
      if (handling == SignedHandling::kConvert && holds_signature(document)) {
        console_.show_notice(invoice.path, kSignedKeptNotice);
        return true;
      }
      // Upgraded without its stylesheet, the invoice would lose its
      // presentation; the other documents convert all the same.
      std::string reason(kNeedsStylesheetHost);
      if (!std::exchange(host_hint_shown_, true)) reason += kHowToGiveHost;
      report_failure(invoice.path, reason);
      return false;
    }
    const UpgradeOutcome upgraded = upgrade_document(document, table_);
    if (upgraded == UpgradeOutcome::kUnrecognisedStructure) {
      // Left exactly as it is, times included: neither step applies.
      report_failure(invoice.path, std::string(kUnrecognisedStructureReason));
      return false;
    }
    if (upgraded == UpgradeOutcome::kUpgraded) {
      if (!save_document(document)) return false;
      invoice.steps.upgraded = true;
    }
    const CodePageOutcome converted = convert_code_page(document);
    if (converted != CodePageOutcome::kUnchanged) {
      if (!save_document(document)) return false;
      invoice.steps.code_page_converted = true;
      if (converted == CodePageOutcome::kDeclarationOnly)
        console_.show_notice(invoice.path, kAlreadyUtf8Notice);
    }
  } catch (const std::bad_alloc&) {
    return fail("", Status::error(Status::Kind::kNoMemory));
  }
  return true;
}

void InvoiceCycle::finish_group() {
  if (group_.empty()) return;
  // Taken out of the run first: whatever happens below (even running out
  // of memory), no file of this group is handled twice. Letting the files
  // go at the end unlocks them and removes whatever staged file was not put
  // in place.
  std::vector<StagedInvoice> group = std::exchange(group_, {});
  group_files_ = 0;
  group_bytes_ = 0;
  std::vector<InvoiceFile*> files;
  files.reserve(group.size());
  for (StagedInvoice& invoice : group) files.push_back(invoice.file.get());
  // Every original is kept and recorded, and every staged text is on disk,
  // before any of them is put in place; every new name is on disk before
  // any file of the group is counted.
  const std::vector<bool> kept = keep_originals(group);
  const Status flushed = platform_.flush_staged(files);
  std::vector<int> placed(group.size(), 0);
  std::vector<Status> named(group.size());
  if (flushed.is_ok()) {
    for (std::size_t i = 0; i < group.size(); ++i) {
      if (kept[i]) placed[i] = put_in_place(group[i]);
    }
    named = platform_.flush_renamed_folders(files);
  }
  for (std::size_t i = 0; i < group.size(); ++i) {
    if (!flushed.is_ok())
      report_failure(group[i].path, std::string(kCannotSave) + describe_status(flushed));
    finish_invoice(group[i], placed[i], named[i]);
    report_unremoved(*group[i].file);
  }
}

std::vector<bool> InvoiceCycle::keep_originals(std::vector<StagedInvoice>& group) {
  std::vector<bool> kept(group.size(), true);
  if (keeper_ == nullptr) return kept;
  std::vector<KeptOriginal*> originals;
  for (StagedInvoice& invoice : group) {
    originals.push_back(&invoice.kept);
    // Told once a run: every later copy on that file system loses the same.
    if (invoice.kept.copy && !invoice.kept.copy->carries_access() &&
        !std::exchange(access_notice_shown_, true)) {
      report_notice(keeper_->folder(), kAccessNotKeptNotice);
    }
  }
  const std::vector<Status> recorded = keeper_->record(originals);
  for (std::size_t i = 0; i < group.size(); ++i) {
    if (recorded[i].is_ok()) continue;
    kept[i] = false;
    report_failure(group[i].path, std::string(kCannotKeepOriginal) + describe_status(recorded[i]));
  }
  return kept;
}

int InvoiceCycle::put_in_place(StagedInvoice& invoice) {
  for (int placed = 0; placed < invoice.staged; ++placed) {
    const Status status = invoice.file->put_staged_in_place();
    if (!status.is_ok()) {
      report_failure(invoice.path, std::string(placed == 0 ? kCannotSave : kCannotSaveConversion) +
                                       describe_status(status));
      return placed;
    }
  }
  if (!invoice.second_step_failure.is_ok()) {
    report_failure(invoice.path, std::string(kCannotSaveConversion) +
                                     describe_status(invoice.second_step_failure));
  }
  return invoice.staged;
}

void InvoiceCycle::finish_invoice(StagedInvoice& invoice, int placed, const Status& named) {
  // Nothing is set on a file once it is in place: the staged file carried
  // the original's times, and an edit that another program makes right
  // after the rename keeps its own.
  if (placed == 0) return;
  // Converted, but a power cut could still undo the rename: not counted.
  if (!named.is_ok()) {
    report_failure(invoice.path, std::string(kNotDurable) + describe_status(named));
    return;
  }
  // The upgraded text is the first staged, the final text the last.
  Steps done;
  done.upgraded = invoice.steps.upgraded;
  done.code_page_converted = invoice.steps.code_page_converted && placed == invoice.staged;
  if (done.upgraded) ++upgrade_count_;
  if (done.code_page_converted) ++code_page_count_;
  if (options_.verbose) show_change(invoice.path, done);
  if (keeper_ != nullptr) {
    ++kept_count_;
    if (options_.verbose) {
      const bool backslash_in_names = platform_.conventions() == Platform::Conventions::kPosix;
      console_.show_change(
          kKeptOriginalHead, invoice.path,
          std::string(kKeptAs) +
              escape_control_bytes(keeper_->path_of(invoice.kept), backslash_in_names));
    }
  }
}

namespace {

// Creates the file list in the temporary folder, reporting a folder where
// others may replace files and a list that cannot be created.
FileList start_file_list(Platform& platform, InvoiceCycle& cycle) {
  const std::string folder = find_temporary_folder(platform);
  if (platform.lets_others_replace_files(folder)) cycle.report_notice(folder, kSharedTempNotice);
  FileList list;
  const Status created = create_file_list(platform, folder, list);
  if (!created.is_ok()) {
    cycle.report_failure(list.path, std::string(kCannotCreateList) + describe_status(created));
  }
  return list;
}

// Lists the invoices into `list`; true when the list is complete and may be
// converted from.
bool list_invoices(Platform& platform, InvoiceCycle& cycle, FileList& list) {
  const std::string root_folder = find_root_folder(platform, cycle.options().root);
  const std::string document_folder = find_document_folder(platform, cycle.options().root);
  // Each path is resolved again when its invoice is opened: a folder on the
  // way that others may swap for a link could take the run elsewhere.
  if (!root_folder.empty() && platform.lets_others_swap(root_folder))
    cycle.report_notice(root_folder, kSwappableNotice);
  if (platform.lets_others_swap(document_folder))
    cycle.report_notice(document_folder, kSwappableNotice);
  // The root is the caller's word; DOCUMENT, when a link, is held to the
  // folder link rule once, here, before anything in it is touched.
  if (const Status link = platform.check_folder_link(document_folder); !link.is_ok()) {
    cycle.report_failure(document_folder, describe_status(link));
    return false;
  }
  const ListingOutcome listing =
      write_file_list(platform, document_folder, *list.output, cycle.options());
  for (const ListingFailure& failure : listing.failures) {
    const Status::Kind kind = failure.status.kind();
    const bool about_name = kind == Status::Kind::kUnlistable ||
                            kind == Status::Kind::kUndecodableName ||
                            kind == Status::Kind::kNameCollides;
    std::string_view what = kCannotReadFolder;
    if (failure.leftover) what = kCannotRemoveCopy;
    if (about_name) what = {};
    cycle.report_failure(failure.path, std::string(what) + describe_status(failure.status));
  }
  const Status& status = listing.document_folder;
  if (status.is_ok()) {
    const Status& written = listing.status;
    if (written.is_ok() || written.kind() == Status::Kind::kStopped) return written.is_ok();
    // A list cut short could end in part of a path, which might name a
    // different file: convert nothing rather than the wrong thing.
    cycle.report_failure(list.path, std::string(kCannotWriteList) + describe_status(written));
  } else if (status.is_not_found()) {
    cycle.report_failure(document_folder, describe_status(status));
  } else if (status.kind() == Status::Kind::kNotAFolder ||
             status.kind() == Status::Kind::kNotRegular) {
    // A plain file in place of the folder: nothing to convert either.
    cycle.report_failure(document_folder, std::string(describe_kind(Status::Kind::kNotAFolder)));
  } else {
    cycle.report_failure(document_folder, std::string(kCannotReadFolder) + describe_status(status));
  }
  return false;
}

// Converts every file the list names (none when it is incomplete), reading
// it back through the descriptor that wrote it, until the run is asked to
// stop; then deletes the list.
void convert_listed_files(Platform& platform, InvoiceCycle& cycle, FileList& list,
                          bool list_complete) {
  std::unique_ptr<InputFile> input;
  if (list_complete) {
    auto read_back = list.output->read_back();
    if (read_back.is_ok()) {
      input = std::move(read_back.value);
    } else {
      cycle.report_failure(list.path,
                           std::string(kCannotOpenList) + describe_status(read_back.status));
    }
  }
  FileListReader reader(std::move(input));
  try {
    while (!platform.stop_requested() && !cycle.out_of_memory() && !reader.at_end()) {
      cycle.process_invoice_file(reader.next_invoice_path());
    }
    // Also after a request to stop: the group is short, and finishing it
    // keeps the work already done.
    cycle.finish_group();
  } catch (const std::bad_alloc&) {
    // The files of the group are let go as they are, whole, their staged
    // replacements removed.
    cycle.abandon_group();
    cycle.report_failure(list.path, std::string(describe_kind(Status::Kind::kNoMemory)));
  }
  if (!reader.status().is_ok()) {
    cycle.report_failure(list.path,
                         std::string(kCannotReadList) + describe_status(reader.status()));
  }
  const Status removed = remove_file_list(reader, list);
  if (removed.kind() == Status::Kind::kChanged) {
    cycle.report_failure(list.path, std::string(kListReplaced));
  } else if (!removed.is_ok()) {
    cycle.report_failure(list.path, std::string(kCannotRemoveList) + describe_status(removed));
  }
}

void show_summary(Console& console, const InvoiceCycle& cycle) {
  console.end_line();
  const std::string_view head = cycle.options().dry_run ? kDryRunSummaryHead : kSummaryHead;
  console.show_line(format_summary(cycle.upgrade_count(), kUpgradeSummaryTail, head));
  console.show_line(format_summary(cycle.code_page_count(), kCodePageSummaryTail, head));
  if (cycle.kept_count() > 0) {
    console.show_line(std::string(kKeptSummaryHead) + *cycle.options().backup_folder + ": " +
                      std::to_string(cycle.kept_count()));
  }
}

std::string describe_conversion_options(const RunOptions& options) {
  std::string text = "stylesheet-host=";
  text += options.stylesheet_host;
  text += options.convert_signed ? ";convert-signed=yes" : ";convert-signed=no";
  return text;
}

int check_backup_folder(Platform& platform, const RunOptions& options) {
  if (!options.backup_folder) return 0;
  const std::string document_folder = find_document_folder(platform, options.root);
  const auto inside = platform.lies_within(*options.backup_folder, document_folder);
  // A DOCUMENT that cannot be resolved is reported by the run, which then
  // has nothing to convert.
  if (!inside.is_ok() || !inside.value) return 0;
  // Kept inside the tree, the originals would be converted by the next run.
  platform.write_error(std::string(kFailureHead) + std::string(kBackupInsideTree) +
                       *options.backup_folder + "\n");
  return kUsageErrorStatus;
}

// The keeper of the run's originals, ready for the run, or null when the
// run keeps none or its backup folder cannot be used (then reported, and
// `usable` false). A dry run only checks the folder and says what it found.
std::unique_ptr<OriginalKeeper> prepare_keeper(Platform& platform, Console& console,
                                               const RunOptions& options, bool& usable) {
  usable = true;
  if (!options.backup_folder) return nullptr;
  const std::string& folder = *options.backup_folder;
  auto keeper = std::make_unique<OriginalKeeper>(platform, folder,
                                                 find_document_folder(platform, options.root),
                                                 describe_conversion_options(options));
  if (options.dry_run) {
    const Status checked = keeper->check();
    if (checked.is_ok()) {
      console.show_line(std::string(kBackupUsable) + folder);
    } else if (checked.is_not_found()) {
      console.show_line(std::string(kBackupWouldBeCreated) + folder);
    } else {
      console.show_failure(folder, std::string(kCannotUseBackup) + describe_status(checked));
      usable = false;
    }
    return nullptr;
  }
  std::vector<UnremovedFile> unremoved;
  const Status prepared = keeper->prepare(unremoved);
  for (const UnremovedFile& file : unremoved) {
    console.show_failure(file.path, std::string(kCannotRemoveCopy) + describe_status(file.status));
  }
  if (!prepared.is_ok()) {
    console.show_failure(folder, std::string(kCannotUseBackup) + describe_status(prepared));
    usable = false;
    return nullptr;
  }
  usable = unremoved.empty();
  return keeper;
}

}  // namespace

int run_batch(Platform& platform, const RunOptions& options) {
  if (const int refused = check_backup_folder(platform, options); refused != 0) return refused;
  Console console(platform);
  bool backup_usable = true;
  const std::unique_ptr<OriginalKeeper> keeper =
      prepare_keeper(platform, console, options, backup_usable);
  InvoiceCycle cycle(platform, console, options, keeper.get());
  if (!backup_usable) cycle.count_failure();
  if (options.backup_folder && !options.dry_run && !keeper) {
    show_summary(console, cycle);
    return 1;
  }
  console.show_line(kLocatingMessage);
  FileList list;
  try {
    list = start_file_list(platform, cycle);
    const bool list_complete = list.output && list_invoices(platform, cycle, list);
    console.show_line(options.dry_run ? kDryRunMessage : kConvertingMessage);
    if (list.output) convert_listed_files(platform, cycle, list, list_complete);
  } catch (const std::bad_alloc&) {
    // Out of memory where no invoice is in hand (the listing, or a report):
    // told in a line that needs no memory, and the list removed.
    cycle.abandon_group();
    cycle.count_failure();
    platform.write_error(kOutOfMemoryLine);
    if (list.output) (void)list.output->remove();
  }
  show_summary(console, cycle);
  // The conversion went on all the same; only the report was lost.
  if (!console.output_status().is_ok()) console.show_output_failure();
  if (const auto stopped = platform.stop_requested()) return *stopped;
  return cycle.failure_count() == 0 && console.output_status().is_ok() ? 0 : 1;
}

}  // namespace invoice
