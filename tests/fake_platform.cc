#include "fake_platform.h"

#include <algorithm>
#include <deque>

namespace invoice::testing {

namespace {

std::string parent_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

class FakeInputFile final : public InputFile {
 public:
  explicit FakeInputFile(std::string data) : data_(std::move(data)) {}
  // Hands out at most 7 bytes a call, so that readers meet every buffer
  // boundary.
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    const std::size_t n = std::min({size, data_.size() - at_, std::size_t{7}});
    data_.copy(buffer, n, at_);
    at_ += n;
    return n;
  }

 private:
  std::string data_;
  std::size_t at_ = 0;
};

class FakeOutputFile final : public OutputFile {
 public:
  FakeOutputFile(FakePlatform& platform, std::string path)
      : platform_(platform), path_(std::move(path)) {}
  Status write(std::string_view data) override {
    platform_.files[path_].content += data;
    return Status::ok();
  }
  Result<std::unique_ptr<InputFile>> read_back() override {
    platform_.note("read " + path_);
    return std::unique_ptr<InputFile>(
        std::make_unique<FakeInputFile>(platform_.files[path_].content));
  }
  Status remove() override { return platform_.remove_file(path_); }

 private:
  FakePlatform& platform_;
  std::string path_;
};

class FakeInvoiceFile final : public InvoiceFile {
 public:
  FakeInvoiceFile(FakePlatform& platform, std::string path)
      : platform_(platform), path_(std::move(path)) {}
  ~FakeInvoiceFile() override { platform_.note("close " + path_); }

  bool is_writable() const override { return platform_.files.at(path_).writable; }
  Status load(std::string& content) override {
    platform_.note("load " + path_);
    content = platform_.files.at(path_).content;
    return Status::ok();
  }
  const std::string& path() const { return path_; }
  Status stage(std::string_view content) override {
    platform_.note("stage " + path_);
    if (auto it = platform_.failing_replacements.find(path_);
        it != platform_.failing_replacements.end() && it->second-- <= 0) {
      return Status::error(Status::Kind::kNoSpace);
    }
    staged_.push_back(Staged{std::string(content), false});
    return Status::ok();
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
    FakePlatform::File& file = platform_.files.at(path_);
    file.content = std::move(staged_.front().content);
    staged_.pop_front();
    // A write makes the file look newly modified, as on a real disk.
    file.modified = file.accessed = FileTime{1'700'000'000, 5};
    platform_.renamed_folders.insert(parent_of(path_));
    return Status::ok();
  }
  // Marks the staged texts flushed; the number of them.
  std::size_t flush_staged() {
    platform_.note("flush " + path_);
    for (Staged& staged : staged_) staged.flushed = true;
    return staged_.size();
  }
  Status set_times(FileTime time) override {
    platform_.note("restamp " + path_);
    FakePlatform::File& file = platform_.files.at(path_);
    file.modified = file.accessed = time;
    return Status::ok();
  }

 private:
  struct Staged {
    std::string content;
    bool flushed;
  };
  FakePlatform& platform_;
  std::string path_;
  std::deque<Staged> staged_;
};

}  // namespace

FakePlatform::File& FakePlatform::add_file(const std::string& path, std::string content) {
  add_folder(parent_of(path));
  File& file = files[path];
  file.content = std::move(content);
  return file;
}

void FakePlatform::add_folder(const std::string& path) {
  for (std::string folder = path; !folder.empty(); folder = parent_of(folder)) {
    folders.insert(folder);
  }
}

void FakePlatform::add_folder_link(const std::string& path) {
  add_folder(parent_of(path));
  folder_links.insert(path);
}

std::optional<std::string> FakePlatform::get_environment(const char* name) const {
  auto it = environment.find(name);
  if (it == environment.end()) return std::nullopt;
  return it->second;
}

Result<std::unique_ptr<OutputFile>> FakePlatform::create_new_file(const std::string& path) {
  note("create " + path);
  if (folders.count(parent_of(path)) == 0) return Status::error(Status::Kind::kNotFound);
  if (files.count(path) != 0) return Status::error(Status::Kind::kExists);
  files[path];
  return std::unique_ptr<OutputFile>(std::make_unique<FakeOutputFile>(*this, path));
}

Result<std::unique_ptr<InputFile>> FakePlatform::open_input_file(const std::string& path) {
  note("read " + path);
  auto it = files.find(path);
  if (it == files.end()) return Status::error(Status::Kind::kNotFound);
  return std::unique_ptr<InputFile>(std::make_unique<FakeInputFile>(it->second.content));
}

Status FakePlatform::remove_file(const std::string& path) {
  note("remove " + path);
  return files.erase(path) != 0 ? Status::ok() : Status::error(Status::Kind::kNotFound);
}

Status FakePlatform::remove_leftover_replacement(const std::string& path) {
  note("clean " + path);
  auto it = files.find(path);
  if (it == files.end()) return Status::error(Status::Kind::kNotFound);
  if (it->second.is_link) return Status::error(Status::Kind::kNotRegular);
  if (it->second.owned_by_other) return Status::error(Status::Kind::kAccessDenied);
  if (it->second.locked) return Status::error(Status::Kind::kLocked);
  files.erase(it);
  return Status::ok();
}

Result<std::vector<DirectoryEntry>> FakePlatform::list_directory(const std::string& path) {
  if (folders.count(path) == 0) {
    return Status::error(files.count(path) != 0 ? Status::Kind::kNotAFolder
                                                : Status::Kind::kNotFound);
  }
  if (unreadable_folders.count(path) != 0) return Status::error(Status::Kind::kAccessDenied);
  std::vector<DirectoryEntry> entries;
  const std::string prefix = path + "/";
  auto is_child = [&](const std::string& candidate) {
    return candidate.compare(0, prefix.size(), prefix) == 0 &&
           candidate.find('/', prefix.size()) == std::string::npos;
  };
  for (const auto& [name, file] : files) {
    if (is_child(name)) {
      entries.push_back({name.substr(prefix.size()), DirectoryEntry::Type::kFile, file.is_link});
    }
  }
  for (const std::string& folder : folders) {
    if (is_child(folder)) {
      entries.push_back({folder.substr(prefix.size()), DirectoryEntry::Type::kFolder, false});
    }
  }
  for (const std::string& link : folder_links) {
    if (is_child(link)) {
      entries.push_back({link.substr(prefix.size()), DirectoryEntry::Type::kFolder, true});
    }
  }
  return entries;
}

Result<FileTime> FakePlatform::read_file_time(const std::string& path) {
  note("stamp " + path);
  auto it = files.find(path);
  if (it == files.end()) return Status::error(Status::Kind::kNotFound);
  return it->second.modified;
}

Status FakePlatform::set_file_time(const std::string& path, FileTime time) {
  note("restamp " + path);
  auto it = files.find(path);
  if (it == files.end()) return Status::error(Status::Kind::kNotFound);
  it->second.modified = it->second.accessed = time;
  return Status::ok();
}

Result<std::unique_ptr<InvoiceFile>> FakePlatform::open_invoice_file(const std::string& path) {
  note("open " + path);
  auto it = files.find(path);
  if (it == files.end()) {
    return folders.count(path) != 0 ? Status::error(Status::Kind::kNotRegular)
                                    : Status::error(Status::Kind::kNotFound);
  }
  if (it->second.locked) return Status::error(Status::Kind::kLocked);
  return std::unique_ptr<InvoiceFile>(std::make_unique<FakeInvoiceFile>(*this, path));
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

void FakePlatform::flush_renamed_folders() {
  for (const std::string& folder : renamed_folders) note("flushdir " + folder);
  renamed_folders.clear();
}

Status FakePlatform::write_output(std::string_view text) {
  if (!output_failure.is_ok()) return output_failure;
  output += text;
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
