#include "driver/restore.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "driver/console.h"
#include "driver/file_list.h"
#include "driver/manifest.h"
#include "driver/messages.h"
#include "driver/original_keeper.h"

namespace invoice {

namespace {

class Restorer {
 public:
  Restorer(Platform& platform, const RunOptions& options)
      : platform_(platform),
        console_(platform),
        options_(options),
        folder_(*options.restore_folder),
        document_folder_(find_document_folder(platform, options.root)) {}

  int run() {
    console_.show_line(options_.dry_run ? kDryRunRestoringMessage : kRestoringMessage);
    std::string text;
    const Status read =
        read_whole_file(platform_, platform_.join_path(folder_, kManifestName), text);
    if (!read.is_ok()) {
      fail(folder_, std::string(kCannotReadManifest) + describe_status(read));
    } else {
      restore_all(parse_manifest(text));
    }
    console_.end_line();
    console_.show_line(
        format_summary(restored_, kRestoredSummaryTail,
                       options_.dry_run ? kDryRunRestoredSummaryHead : kRestoredSummaryHead));
    if (!console_.output_status().is_ok()) console_.show_output_failure();
    if (const auto stopped = platform_.stop_requested()) return *stopped;
    return failures_ == 0 && console_.output_status().is_ok() ? 0 : 1;
  }

 private:
  void fail(const std::string& path, const std::string& reason) {
    console_.show_failure(path, reason);
    ++failures_;
  }

  // Each invoice once, in the order the manifest first names it, with every
  // line recorded for it.
  void restore_all(const std::vector<ManifestEntry>& entries) {
    std::vector<std::string> order;
    std::multimap<std::string, const ManifestEntry*> by_path;
    for (const ManifestEntry& entry : entries) {
      if (by_path.count(entry.path) == 0) order.push_back(entry.path);
      by_path.emplace(entry.path, &entry);
    }
    for (const std::string& relative : order) {
      if (platform_.stop_requested()) return;
      std::vector<const ManifestEntry*> recorded;
      const auto [first, last] = by_path.equal_range(relative);
      for (auto it = first; it != last; ++it) recorded.push_back(it->second);
      const std::string path = join_relative(platform_, document_folder_, relative);
      if (path.empty()) {
        fail(relative, std::string(kBadManifestEntry));
        continue;
      }
      console_.show_progress(path);
      restore(path, recorded);
    }
  }

  // Puts back the original of the invoice at `path` whose recorded texts
  // include what the invoice holds; the latest line wins, as the text in
  // place came from the latest run that changed it.
  void restore(const std::string& path, const std::vector<const ManifestEntry*>& recorded) {
    auto opened = platform_.open_invoice_file(path);
    if (opened.status.is_not_found()) return fail(path, std::string(kChangedSinceConversion));
    if (!opened.is_ok())
      return fail(path, std::string(kCannotOpen) + describe_status(opened.status));
    InvoiceFile& file = *opened.value;
    std::string content;
    const Status loaded = file.load(content);
    if (!loaded.is_ok()) return fail(path, std::string(kCannotRead) + describe_status(loaded));
    auto digest = platform_.sha256(content);
    if (!digest.is_ok())
      return fail(path, std::string(kCannotRead) + describe_status(digest.status));
    const std::string held = to_hex(digest.value);
    const ManifestEntry* chosen = nullptr;
    for (const ManifestEntry* entry : recorded) {
      // Put back already, or never replaced: nothing to do.
      if (entry->original == held) return;
      if (std::find(entry->texts.begin(), entry->texts.end(), held) != entry->texts.end())
        chosen = entry;
    }
    if (chosen == nullptr) return fail(path, std::string(kChangedSinceConversion));
    put_back(path, file, *chosen);
  }

  void put_back(const std::string& path, InvoiceFile& file, const ManifestEntry& entry) {
    const std::string kept_path = join_relative(platform_, folder_, entry.kept);
    if (kept_path.empty()) return fail(path, std::string(kBadManifestEntry));
    std::string original;
    FileTimes times;
    Status status = read_kept(kept_path, original, times);
    if (!status.is_ok())
      return fail(kept_path, std::string(kCannotReadKept) + describe_status(status));
    auto digest = platform_.sha256(original);
    if (!digest.is_ok() || to_hex(digest.value) != entry.original) {
      return fail(kept_path, std::string(kKeptCopyDiffers));
    }
    if (!file.is_writable()) {
      return fail(path, std::string(describe_kind(Status::Kind::kReadOnly)));
    }
    status = file.check_replaceable();
    if (status.is_ok() && !options_.dry_run) status = replace(file, original, times);
    if (!status.is_ok()) return fail(path, std::string(kCannotSave) + describe_status(status));
    ++restored_;
    if (options_.verbose || options_.dry_run) {
      console_.show_change(options_.dry_run ? kDryRunRestoredHead : kRestoredHead, path,
                           std::string(kRestoredFrom) + entry.time);
    }
  }

  // The times first: reading may move the last-access time.
  Status read_kept(const std::string& path, std::string& content, FileTimes& times) {
    auto opened = platform_.open_input_file(path);
    if (!opened.is_ok()) return opened.status;
    auto read_times = opened.value->times();
    if (!read_times.is_ok()) return read_times.status;
    times = read_times.value;
    return read_all(*opened.value, content);
  }

  // The replacement of a conversion, for one file: staged with the
  // original's times, flushed, put in place, its folder flushed.
  Status replace(InvoiceFile& file, const std::string& original, const FileTimes& times) {
    Status status = file.stage_with_times(original, times);
    if (status.is_ok()) status = platform_.flush_staged({&file});
    if (status.is_ok()) status = file.put_staged_in_place();
    if (status.is_ok()) status = platform_.flush_renamed_folders({&file}).front();
    for (const UnremovedFile& unremoved : file.discard_staged()) {
      fail(unremoved.path, std::string(kCannotRemoveCopy) + describe_status(unremoved.status));
    }
    return status;
  }

  Platform& platform_;
  Console console_;
  const RunOptions& options_;
  std::string folder_;
  std::string document_folder_;
  std::int64_t restored_ = 0;
  std::int64_t failures_ = 0;
};

}  // namespace

int run_restore(Platform& platform, const RunOptions& options) {
  return Restorer(platform, options).run();
}

}  // namespace invoice
