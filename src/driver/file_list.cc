#include "driver/file_list.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

#include "platform/replacement_name.h"

namespace invoice {

namespace {

constexpr char kCarriageReturn = '\r';
constexpr char kEndOfFileMark = '\x1A';
constexpr std::size_t kListBufferSize = 64 * 1024;
// Names already taken in the temporary folder are drawn again; this many
// collisions in a row mean something else is wrong.
constexpr int kMaxFileListDraws = 100;

bool has_xml_extension(const std::string& name) {
  if (name.size() < 4) return false;
  const char* tail = name.data() + name.size() - 4;
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
  return tail[0] == '.' && lower(tail[1]) == 'x' && lower(tail[2]) == 'm' && lower(tail[3]) == 'l';
}

std::optional<std::string> non_empty_variable(const Platform& platform, const char* name) {
  auto value = platform.get_environment(name);
  if (value && value->empty()) return std::nullopt;
  return value;
}

// The outcomes of `Platform::remove_leftover_replacement` for a file that is
// not certainly a leftover, and so is rightly left.
bool is_left_as_not_leftover(Status::Kind kind) {
  switch (kind) {
    case Status::Kind::kNotRegular:
    case Status::Kind::kLocked:
    case Status::Kind::kAccessDenied:
    case Status::Kind::kChanged:
    case Status::Kind::kNotFound:
      return true;
    default:
      return false;
  }
}

}  // namespace

FileListNameDraw::FileListNameDraw(std::uint32_t milliseconds_since_midnight)
    // The seed is the time as a float whose bits become the state, which
    // spreads nearby times over very different states.
    : state_(std::bit_cast<std::uint32_t>(static_cast<float>(milliseconds_since_midnight))) {}

std::uint32_t FileListNameDraw::next() {
  state_ = state_ * 134775813u + 1u;  // wraps modulo 2^32
  const double r = static_cast<double>(state_ >> 1) / 2147483648.0;
  return static_cast<std::uint32_t>(std::floor(1.0 + r * 99999999.0));
}

std::string find_temporary_folder(const Platform& platform) {
  if (auto temp = non_empty_variable(platform, "TEMP")) return *temp;
  return platform.default_temporary_folder();
}

std::string make_file_list_name(const Platform& platform, const std::string& folder,
                                std::uint32_t number) {
  return platform.join_path(folder, std::to_string(number) + ".TMP");
}

Status create_file_list(Platform& platform, const std::string& folder, FileList& list) {
  FileListNameDraw draw(platform.milliseconds_since_midnight());
  Result<std::unique_ptr<OutputFile>> created(Status::error(Status::Kind::kExists));
  for (int attempt = 0; attempt < kMaxFileListDraws; ++attempt) {
    list.path = make_file_list_name(platform, folder, draw.next());
    created = platform.create_new_file(list.path);
    if (created.status.kind() != Status::Kind::kExists) break;
  }
  if (!created.is_ok()) return created.status;
  list.output = std::move(created.value);
  return Status::ok();
}

std::string find_root_folder(const Platform& platform, const std::optional<std::string>& root) {
  return platform.normalize_root(root ? *root : platform.get_environment("MORROOT").value_or(""));
}

std::string find_document_folder(const Platform& platform, const std::optional<std::string>& root) {
  return platform.join_path(find_root_folder(platform, root), "DOCUMENT");
}

ListingOutcome write_file_list(Platform& platform, const std::string& document_folder,
                               OutputFile& list, const RunOptions& options) {
  const bool remove_leftovers = !options.dry_run;
  ListingOutcome outcome;
  // Folders still to be read. Each folder's files are listed before its
  // subfolders, and everything in name order, so a run is reproducible.
  std::vector<std::string> pending{document_folder};
  std::string lines;
  while (!pending.empty()) {
    if (platform.stop_requested()) {
      outcome.status = Status::error(Status::Kind::kStopped);
      return outcome;
    }
    std::string folder = std::move(pending.back());
    pending.pop_back();
    auto entries = platform.list_directory(folder);
    if (!entries.is_ok()) {
      if (folder == document_folder) {
        outcome.document_folder = entries.status;
        return outcome;
      }
      outcome.failures.push_back({folder, entries.status});
      continue;
    }
    std::sort(entries.value.begin(), entries.value.end(),
              [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
    const std::size_t first_subfolder = pending.size();
    for (const DirectoryEntry& entry : entries.value) {
      if (entry.name.empty()) continue;
      if (entry.name.front() == '.') {
        // Hidden, so never listed; the only hidden files that a run touches
        // are the replacement files that a killed run left behind.
        if (remove_leftovers && entry.type == DirectoryEntry::Type::kFile && !entry.is_link &&
            is_replacement_name(entry.name)) {
          std::string path = platform.join_path(folder, entry.name);
          const Status removed = platform.remove_leftover_replacement(path);
          if (removed.is_ok()) {
            ++outcome.leftovers_removed;
          } else if (!is_left_as_not_leftover(removed.kind())) {
            outcome.failures.push_back({std::move(path), removed, true});
          }
        }
        continue;
      }
      std::string path = platform.join_path(folder, entry.name);
      if (entry.name_problem != Status::Kind::kOk) {
        // Never a silent skip of what would have been converted or entered.
        if (entry.type == DirectoryEntry::Type::kFolder || has_xml_extension(entry.name)) {
          outcome.failures.push_back({std::move(path), Status::error(entry.name_problem)});
        }
        continue;
      }
      if (entry.type == DirectoryEntry::Type::kFolder) {
        if (!entry.is_link) pending.push_back(std::move(path));
        continue;
      }
      if (entry.type != DirectoryEntry::Type::kFile || !has_xml_extension(entry.name)) continue;
      if (path.find_first_of(std::string_view("\r\x1A", 2)) != std::string::npos) {
        outcome.failures.push_back({std::move(path), Status::error(Status::Kind::kUnlistable)});
        continue;
      }
      lines += path;
      lines += "\r\n";
      ++outcome.files_listed;
    }
    // The stack pops the last pushed first: reverse so subfolders come out
    // in name order.
    std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(first_subfolder), pending.end());
    if (lines.size() >= kListBufferSize) {
      outcome.status = list.write(lines);
      if (!outcome.status.is_ok()) return outcome;
      lines.clear();
    }
  }
  outcome.status = list.write(lines);
  return outcome;
}

FileListReader::FileListReader(std::unique_ptr<InputFile> file) : file_(std::move(file)) {}

bool FileListReader::fill() {
  if (begin_ < end_) return true;
  if (!file_) return false;
  if (buffer_.empty()) buffer_.resize(kListBufferSize);
  auto got = file_->read(buffer_.data(), buffer_.size());
  if (!got.is_ok()) {
    status_ = got.status;
    file_.reset();
    return false;
  }
  begin_ = 0;
  end_ = got.value;
  return end_ > 0;
}

bool FileListReader::at_end() { return !fill() || buffer_[begin_] == kEndOfFileMark; }

std::string FileListReader::next_invoice_path() {
  std::string line;
  while (fill()) {
    const char* start = buffer_.data() + begin_;
    const char* stop = buffer_.data() + end_;
    const char* hit = std::find_if(
        start, stop, [](char c) { return c == kCarriageReturn || c == kEndOfFileMark; });
    line.append(start, hit);
    begin_ += static_cast<std::size_t>(hit - start);
    if (hit == stop) continue;
    if (*hit == kEndOfFileMark) break;  // left unread, so at_end() reports it
    ++begin_;                           // the CR
    if (fill() && buffer_[begin_] == '\n') ++begin_;
    break;
  }
  return line;
}

Status remove_file_list(FileListReader& reader, FileList& list) {
  reader.close();
  return list.output->remove();
}

}  // namespace invoice
