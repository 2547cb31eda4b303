#include "driver/original_keeper.h"

#include <algorithm>
#include <utility>

#include "platform/replacement_name.h"

namespace invoice {

namespace {

// The most numbered names tried for one invoice's originals.
constexpr int kMostKeptNames = 1000;

// The separator that the platform's `join_path` puts between names.
char separator_of(const Platform& platform) { return platform.join_path("a", "b")[1]; }

bool is_safe_name(std::string_view name) { return !name.empty() && name != "." && name != ".."; }

}  // namespace

Status read_whole_file(Platform& platform, const std::string& path, std::string& content) {
  auto opened = platform.open_input_file(path);
  if (!opened.is_ok()) return opened.status;
  return read_all(*opened.value, content);
}

Status read_all(InputFile& file, std::string& content) {
  content.clear();
  char buffer[1 << 16];
  for (;;) {
    auto got = file.read(buffer, sizeof buffer);
    if (!got.is_ok()) return got.status;
    if (got.value == 0) return Status::ok();
    content.append(buffer, got.value);
  }
}

std::string join_relative(const Platform& platform, const std::string& base,
                          std::string_view relative) {
  std::string path = base;
  for (;;) {
    const std::size_t slash = relative.find('/');
    const std::string_view name = relative.substr(0, slash);
    if (!is_safe_name(name) || name.find(separator_of(platform)) != std::string_view::npos)
      return {};
    path = platform.join_path(path, name);
    if (slash == std::string_view::npos) return path;
    relative.remove_prefix(slash + 1);
  }
}

std::string numbered_name(std::string_view relative, int number) {
  std::string name(relative);
  if (number == 0) return name;
  const std::size_t last_name = name.rfind('/') + 1;  // 0 when there is no "/"
  std::size_t dot = name.rfind('.');
  // A dot that starts the name (a hidden file) is no extension's.
  if (dot == std::string::npos || dot <= last_name) dot = name.size();
  std::string suffix(1, '.');
  suffix += std::to_string(number);
  name.insert(dot, suffix);
  return name;
}

OriginalKeeper::OriginalKeeper(Platform& platform, std::string folder, std::string document_folder,
                               std::string options)
    : platform_(platform),
      folder_(std::move(folder)),
      document_folder_(std::move(document_folder)),
      options_(std::move(options)),
      manifest_path_(platform_.join_path(folder_, kManifestName)) {}

Status OriginalKeeper::check() const {
  auto listed = platform_.list_directory(folder_);
  if (!listed.is_ok()) return listed.status;
  std::string text;
  const Status read = read_whole_file(platform_, manifest_path_, text);
  return read.is_not_found() ? Status::ok() : read;
}

Status OriginalKeeper::prepare(std::vector<UnremovedFile>& unremoved) {
  const Status created = platform_.create_private_folder(folder_);
  if (!created.is_ok() && created.kind() != Status::Kind::kExists) return created;
  std::string text;
  const Status read = read_whole_file(platform_, manifest_path_, text);
  if (!read.is_ok() && !read.is_not_found()) return read;
  manifest_empty_ = text.empty();
  manifest_ends_line_ = text.empty() || text.back() == '\n';
  for (ManifestEntry& entry : parse_manifest(text)) {
    std::string path = entry.path;
    recorded_.emplace(std::move(path), std::move(entry));
  }
  return remove_leftovers(folder_, unremoved);
}

Status OriginalKeeper::remove_leftovers(const std::string& folder,
                                        std::vector<UnremovedFile>& unremoved) {
  auto listed = platform_.list_directory(folder);
  if (!listed.is_ok()) return listed.status;
  for (const DirectoryEntry& entry : listed.value) {
    if (entry.is_link || entry.name_problem != Status::Kind::kOk) continue;
    const std::string path = platform_.join_path(folder, entry.name);
    if (entry.type == DirectoryEntry::Type::kFolder) {
      if (Status status = remove_leftovers(path, unremoved); !status.is_ok())
        unremoved.push_back({path, status});
      continue;
    }
    if (!is_replacement_name(entry.name)) continue;
    const Status removed = platform_.remove_leftover_replacement(path);
    // Locked: a copy another run is making right now.
    if (!removed.is_ok() && removed.kind() != Status::Kind::kLocked && !removed.is_not_found() &&
        removed.kind() != Status::Kind::kChanged) {
      unremoved.push_back({path, removed});
    }
  }
  return Status::ok();
}

std::string OriginalKeeper::relative_path(const std::string& path) const {
  const char separator = separator_of(platform_);
  std::string relative = path.substr(std::min(path.size(), document_folder_.size()));
  if (!relative.empty() && relative.front() == separator) relative.erase(0, 1);
  if (separator != '/') std::replace(relative.begin(), relative.end(), separator, '/');
  return relative;
}

std::string OriginalKeeper::path_of(const KeptOriginal& kept) const {
  return join_relative(platform_, folder_, kept.entry.kept);
}

const ManifestEntry* OriginalKeeper::find_entry(const std::string& path, const std::string& kept,
                                                std::string_view digest) const {
  const auto [first, last] = recorded_.equal_range(path);
  for (auto it = first; it != last; ++it) {
    const ManifestEntry& entry = it->second;
    if (entry.kept != kept) continue;
    if (digest.empty() ||
        std::find(entry.texts.begin(), entry.texts.end(), digest) != entry.texts.end())
      return &entry;
  }
  return nullptr;
}

Result<std::string> OriginalKeeper::make_folders_for(std::string_view relative) {
  std::string folder = folder_;
  for (;;) {
    const std::size_t slash = relative.find('/');
    if (slash == std::string_view::npos) return folder;
    const std::string parent = folder;
    folder = platform_.join_path(folder, relative.substr(0, slash));
    relative.remove_prefix(slash + 1);
    // Each folder is made, or found there, once a run.
    if (!known_folders_.insert(folder).second) continue;
    const Status created = platform_.create_private_folder(folder);
    if (created.is_ok()) {
      created_parents_.push_back(parent);
    } else if (created.kind() != Status::Kind::kExists) {
      known_folders_.erase(folder);
      return created;
    }
  }
}

Status OriginalKeeper::keep(const std::string& path, InvoiceFile& file, std::string_view original,
                            KeptOriginal& kept) {
  const std::string relative = relative_path(path);
  if (join_relative(platform_, folder_, relative).empty())
    return Status::error(Status::Kind::kNotFound);
  auto digest = platform_.sha256(original);
  if (!digest.is_ok()) return digest.status;
  kept.entry.path = relative;
  kept.entry.original = to_hex(digest.value);
  kept.entry.options = options_;
  for (int number = 0; number < kMostKeptNames; ++number) {
    const std::string name = numbered_name(relative, number);
    std::string content;
    const Status read =
        read_whole_file(platform_, join_relative(platform_, folder_, name), content);
    if (read.is_not_found()) {
      auto folder = make_folders_for(name);
      if (!folder.is_ok()) return folder.status;
      auto copy = file.copy_original(folder.value, original);
      if (!copy.is_ok()) return copy.status;
      kept.copy = std::move(copy.value);
      kept.folder = std::move(folder.value);
      kept.name = name.substr(name.rfind('/') + 1);
      kept.entry.kept = name;
      return Status::ok();
    }
    // Another name's original, or one that cannot be read, is left alone.
    if (!read.is_ok()) continue;
    const bool ours = number == 0 || find_entry(relative, name, {}) != nullptr;
    const ManifestEntry* stopped = find_entry(relative, name, kept.entry.original);
    if ((ours && content == original) || stopped != nullptr) {
      // A conversion stopped after its first step: the copy holds the text
      // before it, which is the original this invoice goes back to.
      if (stopped != nullptr) kept.entry.original = stopped->original;
      kept.entry.kept = name;
      return Status::ok();
    }
  }
  return Status::error(Status::Kind::kExists);
}

std::vector<Status> OriginalKeeper::record(const std::vector<KeptOriginal*>& group) {
  std::vector<Status> results(group.size());
  std::vector<KeptCopy*> copies;
  for (KeptOriginal* kept : group) {
    if (kept->copy) copies.push_back(kept->copy.get());
  }
  const Status flushed = copies.empty() ? Status::ok() : platform_.flush_kept_copies(copies);
  std::vector<std::string> folders = std::exchange(created_parents_, {});
  for (std::size_t i = 0; i < group.size(); ++i) {
    KeptOriginal& kept = *group[i];
    if (!kept.copy) continue;
    results[i] = flushed.is_ok() ? kept.copy->give_name(kept.name) : flushed;
    if (results[i].is_ok()) folders.push_back(kept.folder);
  }
  std::sort(folders.begin(), folders.end());
  folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
  const Status folders_flushed = platform_.flush_folders(folders);
  std::vector<const ManifestEntry*> entries;
  for (std::size_t i = 0; i < group.size(); ++i) {
    // A copy whose name might not survive a power cut does not count as kept.
    if (results[i].is_ok() && group[i]->copy) results[i] = folders_flushed;
    if (results[i].is_ok()) entries.push_back(&group[i]->entry);
  }
  const Status appended = entries.empty() ? Status::ok() : append_to_manifest(entries);
  for (std::size_t i = 0; i < group.size(); ++i) {
    if (results[i].is_ok()) {
      results[i] = appended;
      if (appended.is_ok()) recorded_.emplace(group[i]->entry.path, group[i]->entry);
    }
  }
  return results;
}

Status OriginalKeeper::append_to_manifest(const std::vector<const ManifestEntry*>& entries) {
  if (!manifest_) {
    auto opened = platform_.open_for_appending(manifest_path_);
    if (!opened.is_ok()) return opened.status;
    manifest_ = std::move(opened.value);
  }
  // The torn line of a killed run is ended, so that it stays one bad line.
  std::string text(manifest_ends_line_ ? 0 : 1, '\n');
  if (manifest_empty_) text.append(kManifestHeader);
  const std::string time = format_utc_time(platform_.current_time());
  for (const ManifestEntry* entry : entries) {
    ManifestEntry line = *entry;
    line.time = time;
    text += format_manifest_line(line);
  }
  Status status = manifest_->write(text);
  if (status.is_ok()) status = manifest_->flush();
  if (status.is_ok()) {
    manifest_empty_ = false;
    manifest_ends_line_ = true;
  } else {
    // Part of the text may be on disk: the next lines start on a line of
    // their own.
    manifest_ends_line_ = false;
  }
  return status;
}

}  // namespace invoice
