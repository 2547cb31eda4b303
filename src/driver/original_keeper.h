#ifndef INVOICE_DRIVER_ORIGINAL_KEEPER_H_
#define INVOICE_DRIVER_ORIGINAL_KEEPER_H_

#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "driver/manifest.h"
#include "platform/platform.h"

namespace invoice {

// The whole content of the file `path`, read through `platform`.
Status read_whole_file(Platform& platform, const std::string& path, std::string& content);
// The rest of `file`'s content.
Status read_all(InputFile& file, std::string& content);

// The path below `base` that `relative` ("/" between names) names, built with
// the platform's separator; empty when `relative` is empty or holds an empty
// name, "." or "..", which could lead out of `base`.
std::string join_relative(const Platform& platform, const std::string& base,
                          std::string_view relative);

// The name an original is kept under when the first `number` names are
// taken: the invoice's own name, then a number before its extension
// ("F-2.xml", "F-2.1.xml", "F-2.2.xml"...), in `relative`'s last name.
std::string numbered_name(std::string_view relative, int number);

// The original of one invoice of a group: a copy being made in the backup
// folder, or an earlier copy that serves, and its manifest line.
struct KeptOriginal {
  std::unique_ptr<KeptCopy> copy;  // null when an earlier copy serves
  std::string folder;              // the folder of the backup folder that holds it
  std::string name;                // its name there
  ManifestEntry entry;
};

// The backup folder of a run (--backup): keeps each invoice's original,
// under the invoice's path below DOCUMENT, before the invoice is replaced,
// and records it in the manifest. Nothing in the folder is ever overwritten,
// and nothing removed but the temporary copies of killed runs. `platform`
// must outlive it.
class OriginalKeeper {
 public:
  OriginalKeeper(Platform& platform, std::string folder, std::string document_folder,
                 std::string options);

  // Readies the folder for a run: creates it when missing (its parent must
  // exist), readable by the running user only; reads the manifest; removes
  // the temporary copies that killed runs left, giving in `unremoved` each
  // that could not be removed. Fails when the folder cannot be used.
  Status prepare(std::vector<UnremovedFile>& unremoved);
  // For a dry run: reads the manifest of an existing folder without
  // touching anything. kNotFound when the folder does not exist yet.
  Status check() const;

  // Keeps the original of the invoice at `path`, open as `file`, whose text
  // `original` is about to be replaced: finds the earlier copy that serves
  // (one byte-identical to it, or one whose recorded texts include it: a
  // conversion stopped after its first step), or starts a copy under the
  // first free name. Fills `kept`; the caller adds the digests of the texts
  // put in place to `kept.entry.texts`.
  Status keep(const std::string& path, InvoiceFile& file, std::string_view original,
              KeptOriginal& kept);

  // Makes the originals of a group durable and records them, before any
  // invoice of the group is replaced: flushes the new copies as one
  // operation, names them, flushes the folders that gained a name, then
  // appends the manifest lines and flushes the manifest. Gives, for each of
  // `group` in order, ok or why its original is not safe, after which that
  // invoice must not be replaced.
  std::vector<Status> record(const std::vector<KeptOriginal*>& group);

  const std::string& folder() const { return folder_; }
  // The path of `kept` in the backup folder.
  std::string path_of(const KeptOriginal& kept) const;

 private:
  // The invoice's path below DOCUMENT, "/" between names.
  std::string relative_path(const std::string& path) const;
  // Creates the folders of `relative`'s parent below the backup folder that
  // are missing; gives the folder that holds `relative`.
  Result<std::string> make_folders_for(std::string_view relative);
  // The recorded entry of `path` kept as `kept` whose texts include
  // `digest`, or any recorded entry of it when `digest` is empty; null when
  // none.
  const ManifestEntry* find_entry(const std::string& path, const std::string& kept,
                                  std::string_view digest) const;
  Status append_to_manifest(const std::vector<const ManifestEntry*>& entries);
  Status remove_leftovers(const std::string& folder, std::vector<UnremovedFile>& unremoved);

  Platform& platform_;
  std::string folder_;
  std::string document_folder_;
  std::string options_;
  std::string manifest_path_;
  std::multimap<std::string, ManifestEntry> recorded_;
  // Opened at the first record; `manifest_ends_line` is false while the
  // manifest's last line is torn and must be ended first.
  std::unique_ptr<OutputFile> manifest_;
  bool manifest_empty_ = true;
  bool manifest_ends_line_ = true;
  // Folders created since the last record, whose own folder gained a name.
  std::vector<std::string> created_parents_;
  // Folders of the backup folder made or found by this run.
  std::set<std::string> known_folders_;
};

}  // namespace invoice

#endif  // INVOICE_DRIVER_ORIGINAL_KEEPER_H_
