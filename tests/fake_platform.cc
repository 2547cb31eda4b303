#include "fake_platform.h"

#include <algorithm>
#include <deque>
#include <utility>

#include "platform/replacement_name.h"

namespace invoice::testing {

namespace {

std::string parent_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

const std::string& path_of(const std::string& key) { return key; }
template <class Value>
const std::string& path_of(const std::pair<const std::string, Value>& entry) {
  return entry.first;
}

// Calls `visit` with each element of `tree` (a set or map keyed by path)
// that lies directly inside `folder`, and its name. Whatever lies deeper is
// skipped a whole subfolder at a time, so a listing costs about as much as
// the folder's own entries, however large the tree.
template <class Tree, class Visit>
void for_each_child(const Tree& tree, const std::string& folder, Visit visit) {
  const std::string prefix = folder + "/";
  auto it = tree.lower_bound(prefix);
  while (it != tree.end()) {
    const std::string& path = path_of(*it);
    if (path.compare(0, prefix.size(), prefix) != 0) break;
    const std::size_t slash = path.find('/', prefix.size());
    if (slash == std::string::npos) {
      visit(*it, path.substr(prefix.size()));
      ++it;
    } else {
      // Past everything below that subfolder: '0' follows '/'.
      it = tree.lower_bound(path.substr(0, slash) + '0');
    }
  }
}

class FakeInputFile final : public InputFile {
 public:
  explicit FakeInputFile(std::string data, FileTimes times = {})
      : data_(std::move(data)), times_(times) {}
  // Hands out at most 7 bytes a call, so that readers meet every buffer
  // boundary.
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    const std::size_t n = std::min({size, data_.size() - at_, std::size_t{7}});
    data_.copy(buffer, n, at_);
    at_ += n;
    return n;
  }
  Result<FileTimes> times() override { return times_; }

 private:
  std::string data_;
  FileTimes times_;
  std::size_t at_ = 0;
};

class FakeOutputFile final : public OutputFile {
 public:
  FakeOutputFile(FakePlatform& platform, std::string path)
      : platform_(platform), path_(std::move(path)), identity_(platform.files.at(path_).identity) {}
  // Written to the file under its name too while the name is its own, so
  // that tests can look at it there.
  Status write(std::string_view data) override {
    written_ += data;
    auto it = platform_.files.find(path_);
    if (it != platform_.files.end() && it->second.identity == identity_) it->second.content += data;
    return Status::ok();
  }
  Status flush() override {
    platform_.note("flushfile " + path_);
    return Status::ok();
  }
  Result<std::unique_ptr<InputFile>> read_back() override {
    platform_.note("read " + path_);
    return std::unique_ptr<InputFile>(std::make_unique<FakeInputFile>(written_));
  }
  Status remove() override {
    auto it = platform_.files.find(path_);
    if (it != platform_.files.end() && it->second.identity != identity_) {
      return Status::error(Status::Kind::kChanged);
    }
    return platform_.remove_file(path_);
  }

 private:
  FakePlatform& platform_;
  std::string path_;
  std::uint64_t identity_;
  std::string written_;
};

// A copy in the backup folder under a temporary name until it is named.
class FakeKeptCopy final : public KeptCopy {
 public:
  FakeKeptCopy(FakePlatform& platform, std::string folder, std::string temporary, bool access)
      : platform_(platform),
        folder_(std::move(folder)),
        temporary_(std::move(temporary)),
        access_(access) {}
  ~FakeKeptCopy() override {
    if (!named_) platform_.files.erase(temporary_);
  }
  bool carries_access() const override { return access_; }
  Status give_name(const std::string& name) override {
    const std::string path = folder_ + "/" + name;
    platform_.note("name " + path);
    if (!flushed) return Status::error(Status::Kind::kOther, "copy not flushed");
    if (platform_.files.count(path) != 0 || platform_.folders.count(path) != 0 ||
        platform_.links.count(path) != 0) {
      return Status::error(Status::Kind::kExists);
    }
    auto node = platform_.files.extract(temporary_);
    node.key() = path;
    node.mapped().locked = false;
    platform_.files.insert(std::move(node));
    named_ = true;
    return Status::ok();
  }
  const std::string& temporary() const { return temporary_; }
  bool flushed = false;

 private:
  FakePlatform& platform_;
  std::string folder_;
  std::string temporary_;
  bool access_;
  bool named_ = false;
};

}  // namespace

// An open invoice file: logged under the path it was opened by, acting on
// the file that path leads to, which it holds locked until destroyed.
class FakeInvoiceFile final : public InvoiceFile {
 public:
  FakeInvoiceFile(FakePlatform& platform, std::string path, std::string target)
      : platform_(platform), path_(std::move(path)), target_(std::move(target)) {
    platform_.held_.insert(target_);
    const FakePlatform::File& file = platform_.files.at(target_);
    opened_modified_ = file.modified;
    opened_accessed_ = file.accessed;
  }
  ~FakeInvoiceFile() override {
    platform_.held_.erase(target_);
    platform_.note("close " + path_);
  }

  bool is_writable() const override {
    auto it = platform_.files.find(target_);
    return it != platform_.files.end() && it->second.writable;
  }
  Status check_replaceable() const override {
    auto it = platform_.files.find(target_);
    if (it != platform_.files.end() && it->second.owned_by_other)
      return Status::error(Status::Kind::kOwnerNotKept);
    if (platform_.marked_folders.count(parent_of(target_)) != 0)
      return Status::error(Status::Kind::kFolderMarked);
    return Status::ok();
  }
  Status load(std::string& content) override {
    platform_.note("load " + path_);
    auto it = platform_.files.find(target_);
    if (it == platform_.files.end()) return Status::error(Status::Kind::kChanged);
    content = it->second.content;
    return Status::ok();
  }
  const std::string& path() const { return path_; }
  Status stage(std::string_view content) override {
    platform_.note("stage " + path_);
    if (auto it = platform_.failing_replacements.find(path_);
        it != platform_.failing_replacements.end() && it->second-- <= 0) {
      return Status::error(Status::Kind::kNoSpace);
    }
    auto it = platform_.files.find(target_);
    if (it == platform_.files.end()) return Status::error(Status::Kind::kChanged);
    staged_.push_back(Staged{std::string(content), false, opened_modified_, opened_accessed_});
    return Status::ok();
  }
  Status stage_with_times(std::string_view content, const FileTimes& times) override {
    const Status status = stage(content);
    if (status.is_ok()) {
      staged_.back().modified = times.last_write;
      staged_.back().accessed = times.last_access;
    }
    return status;
  }
  // Logs "copy <path>"; the copy holds the content and times the file had
  // when it was opened.
  Result<std::unique_ptr<KeptCopy>> copy_original(const std::string& folder,
                                                  std::string_view content) override {
    platform_.note("copy " + path_);
    if (auto failing = platform_.failing_copies.find(folder);
        failing != platform_.failing_copies.end()) {
      return failing->second;
    }
    if (platform_.folders.count(folder) == 0) return Status::error(Status::Kind::kNotFound);
    std::string random = std::to_string(++platform_.copies_made);
    random.insert(0, kReplacementRandomLength - random.size(), '0');
    const std::string temporary =
        folder + "/" + std::string(kReplacementPrefix) + random + std::string(kReplacementSuffix);
    FakePlatform::File& copy = platform_.files[temporary];
    copy.content = std::string(content);
    copy.modified = opened_modified_;
    copy.accessed = opened_accessed_;
    copy.identity = ++platform_.identities;
    copy.locked = true;  // held by this run until named, as its staged files are
    return std::unique_ptr<KeptCopy>(std::make_unique<FakeKeptCopy>(
        platform_, folder, temporary, platform_.access_less_folders.count(folder) == 0));
  }
  Status put_staged_in_place() override {
    platform_.note("replace " + path_);
    if (staged_.empty() || !staged_.front().flushed) {
      return Status::error(Status::Kind::kOther, "no staged file flushed");
    }
    if (auto it = platform_.failing_renames.find(path_);
        it != platform_.failing_renames.end() && it->second-- <= 0) {
      return Status::error(Status::Kind::kChanged);
    }
    auto it = platform_.files.find(target_);
    if (it == platform_.files.end()) return Status::error(Status::Kind::kChanged);
    // The new file carries the times the original had when it was opened.
    it->second.content = std::move(staged_.front().content);
    it->second.modified = staged_.front().modified;
    it->second.accessed = staged_.front().accessed;
    ++it->second.changes;
    staged_.pop_front();
    platform_.renamed_folders.insert(parent_of(target_));
    renamed_ = true;
    return Status::ok();
  }
  // A staged file in a marked folder cannot be removed.
  std::vector<UnremovedFile> discard_staged() override {
    std::vector<UnremovedFile> unremoved;
    if (platform_.marked_folders.count(parent_of(target_)) != 0) {
      for (std::size_t i = 0; i < staged_.size(); ++i) {
        unremoved.push_back(
            {parent_of(target_) + "/.staged", Status::error(Status::Kind::kFolderMarked)});
      }
    }
    staged_.clear();
    return unremoved;
  }
  // What the flush of the folder of a file put in place since the last
  // call gave; ok when none was.
  Status take_folder_flush() {
    if (!std::exchange(renamed_, false)) return Status::ok();
    return platform_.failing_folder_flushes.count(parent_of(target_)) != 0
               ? Status::error(Status::Kind::kOther)
               : Status::ok();
  }
  // Marks the staged texts flushed; the number of them.
  std::size_t flush_staged() {
    platform_.note("flush " + path_);
    for (Staged& staged : staged_) staged.flushed = true;
    return staged_.size();
  }

 private:
  struct Staged {
    std::string content;
    bool flushed;
    FileTime modified;
    FileTime accessed;
  };
  FakePlatform& platform_;
  std::string path_;
  std::deque<Staged> staged_;
  std::string target_;
  FileTime opened_modified_;
  FileTime opened_accessed_;
  bool renamed_ = false;
};

FakePlatform::File& FakePlatform::add_file(const std::string& path, std::string content) {
  add_folder(parent_of(path));
  File& file = files[path];
  file.content = std::move(content);
  file.identity = ++identities;
  return file;
}

void FakePlatform::add_folder(const std::string& path) {
  for (std::string folder = path; !folder.empty(); folder = parent_of(folder)) {
    folders.insert(folder);
  }
}

void FakePlatform::add_link(const std::string& path, const std::string& target) {
  add_folder(parent_of(path));
  links[path] = target;
}

std::optional<std::string> FakePlatform::get_environment(const char* name) const {
  auto it = environment.find(name);
  if (it == environment.end()) return std::nullopt;
  return it->second;
}

std::string FakePlatform::join_path(std::string_view folder, std::string_view name) const {
  std::string path(folder);
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

std::string FakePlatform::resolve(const std::string& path) const {
  std::string at = path;
  // A loop of links ends here too, at a name that is no file or folder.
  for (int hops = 0; hops < 40; ++hops) {
    auto it = links.find(at);
    if (it == links.end()) break;
    at = it->second;
  }
  return at;
}

Result<std::unique_ptr<OutputFile>> FakePlatform::create_new_file(const std::string& path) {
  note("create " + path);
  if (folders.count(parent_of(path)) == 0) return Status::error(Status::Kind::kNotFound);
  if (files.count(path) != 0 || folders.count(path) != 0 || links.count(path) != 0) {
    return Status::error(Status::Kind::kExists);
  }
  files[path].identity = ++identities;
  return std::unique_ptr<OutputFile>(std::make_unique<FakeOutputFile>(*this, path));
}

Result<std::unique_ptr<InputFile>> FakePlatform::open_input_file(const std::string& path) {
  note("read " + path);
  auto it = files.find(resolve(path));
  if (it == files.end()) return Status::error(Status::Kind::kNotFound);
  return std::unique_ptr<InputFile>(std::make_unique<FakeInputFile>(
      it->second.content, FileTimes{it->second.accessed, it->second.modified, std::nullopt}));
}

Result<std::unique_ptr<OutputFile>> FakePlatform::open_for_appending(const std::string& path) {
  note("append " + path);
  if (folders.count(parent_of(path)) == 0) return Status::error(Status::Kind::kNotFound);
  if (folders.count(path) != 0 || links.count(path) != 0) {
    return Status::error(Status::Kind::kNotRegular);
  }
  if (files.count(path) == 0) files[path].identity = ++identities;
  return std::unique_ptr<OutputFile>(std::make_unique<FakeOutputFile>(*this, path));
}

Status FakePlatform::create_private_folder(const std::string& path) {
  note("mkdir " + path);
  if (folders.count(path) != 0 || files.count(path) != 0 || links.count(path) != 0) {
    return Status::error(Status::Kind::kExists);
  }
  if (folders.count(parent_of(path)) == 0) return Status::error(Status::Kind::kNotFound);
  folders.insert(path);
  return Status::ok();
}

Result<bool> FakePlatform::lies_within(const std::string& path, const std::string& folder) {
  const std::string inner = resolve(path);
  const std::string outer = resolve(folder);
  return inner == outer || inner.compare(0, outer.size() + 1, outer + "/") == 0;
}

Status FakePlatform::flush_folder(const std::string& path) {
  note("flushdir " + path);
  return failing_folder_flushes.count(path) != 0 ? Status::error(Status::Kind::kOther)
                                                 : Status::ok();
}

Result<Sha256> FakePlatform::sha256(std::string_view data) const {
  Sha256 digest{};
  for (std::size_t lane = 0; lane < digest.size() / 8; ++lane) {
    std::uint64_t hash = 14695981039346656037u ^ (lane * 0x9E3779B97F4A7C15u);
    for (const char c : data) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
    for (std::size_t byte = 0; byte < 8; ++byte) {
      digest[lane * 8 + byte] = static_cast<std::uint8_t>(hash >> (8 * byte));
    }
  }
  return digest;
}

Status FakePlatform::remove_file(const std::string& path) {
  note("remove " + path);
  if (links.erase(path) != 0 || files.erase(path) != 0) return Status::ok();
  return Status::error(folders.count(path) != 0 ? Status::Kind::kNotRegular
                                                : Status::Kind::kNotFound);
}

bool FakePlatform::lets_others_swap(const std::string& path) {
  std::string name = path;
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  return shared_folders.count(parent_of(name)) != 0;
}

Status FakePlatform::remove_leftover_replacement(const std::string& path) {
  note("clean " + path);
  if (links.count(path) != 0 || folders.count(path) != 0) {
    return Status::error(Status::Kind::kNotRegular);
  }
  auto it = files.find(path);
  if (it == files.end()) return Status::error(Status::Kind::kNotFound);
  if (it->second.owned_by_other) return Status::error(Status::Kind::kAccessDenied);
  if (it->second.locked || is_held(path)) return Status::error(Status::Kind::kLocked);
  if (marked_folders.count(parent_of(path)) != 0) return Status::error(Status::Kind::kFolderMarked);
  files.erase(it);
  return Status::ok();
}

Result<std::vector<DirectoryEntry>> FakePlatform::list_directory(const std::string& path) {
  const std::string folder = resolve(path);
  if (folders.count(folder) == 0) {
    return Status::error(files.count(folder) != 0 ? Status::Kind::kNotAFolder
                                                  : Status::Kind::kNotFound);
  }
  if (unreadable_folders.count(folder) != 0) return Status::error(Status::Kind::kAccessDenied);
  std::vector<DirectoryEntry> entries;
  for_each_child(files, folder, [&](const auto&, std::string name) {
    entries.push_back({std::move(name), DirectoryEntry::Type::kFile, false});
  });
  for_each_child(folders, folder, [&](const auto&, std::string name) {
    entries.push_back({std::move(name), DirectoryEntry::Type::kFolder, false});
  });
  for_each_child(links, folder, [&](const auto& link, std::string name) {
    const std::string target = resolve(link.first);
    const auto type = files.count(target) != 0     ? DirectoryEntry::Type::kFile
                      : folders.count(target) != 0 ? DirectoryEntry::Type::kFolder
                                                   : DirectoryEntry::Type::kOther;
    entries.push_back({std::move(name), type, true});
  });
  // No order is promised, so none is given.
  std::shuffle(entries.begin(), entries.end(), shuffle_);
  return entries;
}

Status FakePlatform::set_file_time(const std::string& path, FileTime time) {
  note("restamp " + path);
  auto it = files.find(resolve(path));
  if (it == files.end()) return Status::error(Status::Kind::kNotFound);
  it->second.modified = it->second.accessed = time;
  ++it->second.changes;
  return Status::ok();
}

Result<std::unique_ptr<InvoiceFile>> FakePlatform::open_invoice_file(const std::string& path) {
  note("open " + path);
  const std::string target = resolve(path);
  auto it = files.find(target);
  if (it == files.end()) {
    return folders.count(target) != 0 ? Status::error(Status::Kind::kNotRegular)
                                      : Status::error(Status::Kind::kNotFound);
  }
  if (it->second.locked || is_held(target)) return Status::error(Status::Kind::kLocked);
  return std::unique_ptr<InvoiceFile>(std::make_unique<FakeInvoiceFile>(*this, path, target));
}

Status FakePlatform::flush_staged(const std::vector<InvoiceFile*>& group) {
  std::size_t staged = 0;
  if (!flush_failure.is_ok()) {
    for (InvoiceFile* file : group)
      note("flush-failed " + static_cast<FakeInvoiceFile*>(file)->path());
    return flush_failure;
  }
  for (InvoiceFile* file : group) staged += static_cast<FakeInvoiceFile*>(file)->flush_staged();
  flushed_group_sizes.push_back(staged);
  return Status::ok();
}

std::vector<Status> FakePlatform::flush_renamed_folders(const std::vector<InvoiceFile*>& group) {
  for (const std::string& folder : renamed_folders) note("flushdir " + folder);
  renamed_folders.clear();
  std::vector<Status> results;
  for (InvoiceFile* file : group) {
    results.push_back(static_cast<FakeInvoiceFile*>(file)->take_folder_flush());
  }
  return results;
}

Status FakePlatform::write_output(std::string_view text) {
  if (!output_failure.is_ok()) return output_failure;
  output += text;
  return Status::ok();
}

Status FakePlatform::flush_kept_copies(const std::vector<KeptCopy*>& copies) {
  if (!flush_failure.is_ok()) return flush_failure;
  for (KeptCopy* copy : copies) {
    auto* fake = static_cast<FakeKeptCopy*>(copy);
    note("flushcopy " + fake->temporary());
    fake->flushed = true;
  }
  return Status::ok();
}

void FakePlatform::note(const std::string& entry) {
  log.push_back(entry);
  if (on_log) on_log(entry);
}

std::vector<std::string> FakePlatform::logged(const std::string& operation) const {
  std::vector<std::string> out;
  for (const std::string& entry : log) {
    if (entry.compare(0, operation.size() + 1, operation + " ") == 0) out.push_back(entry);
  }
  return out;
}

}  // namespace invoice::testing
