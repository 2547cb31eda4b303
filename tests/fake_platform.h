#ifndef INVOICE_TESTS_FAKE_PLATFORM_H_
#define INVOICE_TESTS_FAKE_PLATFORM_H_

#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace invoice::testing {

// An in-memory platform: a tree of files, folders and links keyed by full
// path ("/" between names), an environment, and a console captured as text.
// Every operation that touches a file is recorded in `log` as
// "<operation> <path>", so tests can check what was opened, staged, flushed,
// put in place ("replace") and stamped ("restamp"), and in which order. It keeps the platform
// contract (platform_contract_test.cc): folder listings come in a shuffled order, an invoice file
// held open is locked, a link stays a link.
class FakePlatform : public Platform {
 public:
  struct File {
    std::string content;
    FileTime modified{1'600'000'000, 123'456'789};
    FileTime accessed{1'600'000'500, 0};
    // Raised by every change of the content, the times or the name, as the
    // system's change time would move.
    int changes = 0;
    bool writable = true;         // permission to write
    bool locked = false;          // held by another program
    bool owned_by_other = false;  // belongs to another user
    // Tells this file from another put under the same name later.
    std::uint64_t identity = 0;
  };

  // Adds a file, creating its folders; a new file when the name was taken.
  File& add_file(const std::string& path, std::string content);
  void add_folder(const std::string& path);
  // Adds a symbolic link at `path` to `target` (a file, a folder, or
  // nothing), creating the link's folders.
  void add_link(const std::string& path, const std::string& target);
  // Sets the last-access and last-write time of an existing file (through
  // a link, its target), as a test prepares it; logs "restamp <path>".
  // kNotFound when there is none.
  Status set_file_time(const std::string& path, FileTime time);

  std::map<std::string, File> files;
  std::set<std::string> folders;
  std::map<std::string, std::string> links;  // path to target
  // Links that another user planted, pointing at somebody else's folder.
  std::set<std::string> foreign_links;
  std::set<std::string> unreadable_folders;
  // Folders marked append-only or immutable.
  std::set<std::string> marked_folders;
  // stage() of these paths fails with kNoSpace once the given number of
  // stagings has succeeded.
  std::map<std::string, int> failing_replacements;
  // put_staged_in_place() of these paths fails with kChanged once the given
  // number of renames has succeeded.
  std::map<std::string, int> failing_renames;
  // What flush_staged() fails with, when not ok; nothing is flushed then.
  Status flush_failure;
  // What group_file_limit() gives.
  std::size_t group_files = 256;
  // The number of staged files each successful flush_staged() covered.
  std::vector<std::size_t> flushed_group_sizes;
  // Folders where files were put in place since the last folder flush.
  std::set<std::string> renamed_folders;
  // Folders whose flush reports an error (kOther).
  std::set<std::string> failing_folder_flushes;
  std::map<std::string, std::string> environment;
  // Folders where other users may put files in place of this user's.
  std::set<std::string> shared_folders;
  // What stop_requested() gives.
  std::optional<int> stop_status;
  // copy_original() into these folders fails with the given status.
  std::map<std::string, Status> failing_copies;
  // Folders whose file system holds only content and times: copies made
  // there do not carry the original's access.
  std::set<std::string> access_less_folders;
  // The number of kept copies made so far, which names their temporaries.
  int copies_made = 0;
  // What write_output() fails with, when not ok; nothing is written then.
  Status output_failure;
  // The identities given to files so far.
  std::uint64_t identities = 0;
  std::string temporary_folder = "/tmp";
  std::uint32_t clock_milliseconds = 45'296'789;  // 12:34:56.789
  FileTime now{1'765'283'696, 0};                 // 2025-12-09 12:34:56 UTC
  bool terminal = false;
  int width = 80;
  Conventions user_conventions = Conventions::kPosix;
  std::string output;
  std::string errors;
  std::vector<std::string> log;
  // Called with each log entry as it is made, before the operation acts, so
  // a test can change the tree at a chosen moment (as another program would).
  std::function<void(const std::string& entry)> on_log;

  // Platform:
  Conventions conventions() const override { return user_conventions; }
  std::optional<std::string> get_environment(const char* name) const override;
  std::string default_temporary_folder() const override { return temporary_folder; }
  std::string join_path(std::string_view folder, std::string_view name) const override;
  std::uint32_t milliseconds_since_midnight() const override { return clock_milliseconds; }
  FileTime current_time() const override { return now; }
  Result<std::unique_ptr<OutputFile>> create_new_file(const std::string& path) override;
  bool lets_others_replace_files(const std::string& folder) override {
    return shared_folders.count(folder) != 0;
  }
  // True when the folder holding `path` is in `shared_folders`.
  bool lets_others_swap(const std::string& path) override;
  // A link in `foreign_links` fails with kForeignLink.
  Status check_folder_link(const std::string& path) override {
    return foreign_links.count(path) != 0 ? Status::error(Status::Kind::kForeignLink)
                                          : Status::ok();
  }
  // Logs "append <path>"; its writes go to the file at once, its flush logs
  // "flushfile <path>".
  Result<std::unique_ptr<OutputFile>> open_for_appending(const std::string& path) override;
  // Logs "mkdir <path>".
  Status create_private_folder(const std::string& path) override;
  // Compares the resolved paths as text.
  Result<bool> lies_within(const std::string& path, const std::string& folder) override;
  // Logs "flushdir <path>".
  Status flush_folder(const std::string& path) override;
  // A stand-in digest that tells texts apart as well as SHA-256 would in a
  // test, computed without cryptography.
  Result<Sha256> sha256(std::string_view data) const override;
  Result<std::unique_ptr<InputFile>> open_input_file(const std::string& path) override;
  Status remove_file(const std::string& path) override;
  Status remove_leftover_replacement(const std::string& path) override;
  Result<std::vector<DirectoryEntry>> list_directory(const std::string& path) override;
  Result<std::unique_ptr<InvoiceFile>> open_invoice_file(const std::string& path) override;
  std::size_t group_file_limit() const override { return group_files; }
  // Logs "flush <path>" for each file of the group ("flush-failed <path>"
  // when it fails), then marks their staged texts flushed.
  Status flush_staged(const std::vector<InvoiceFile*>& group) override;
  // Logs "flushdir <folder>" for each folder where a file was put in place;
  // the files put in place in `failing_folder_flushes` get its error.
  std::vector<Status> flush_renamed_folders(const std::vector<InvoiceFile*>& group) override;
  // Logs "flushcopy <path>" for each copy, under its temporary name.
  Status flush_kept_copies(const std::vector<KeptCopy*>& copies) override;
  std::optional<int> stop_requested() const override { return stop_status; }
  bool output_is_terminal() const override { return terminal; }
  int terminal_width() const override { return width; }
  Status write_output(std::string_view text) override;
  void write_error(std::string_view text) override { errors += text; }

  // Adds `entry` to the log and calls `on_log`.
  void note(const std::string& entry);
  // The log entries that start with `operation`.
  std::vector<std::string> logged(const std::string& operation) const;
  // The path that `path` names once links are followed.
  std::string resolve(const std::string& path) const;
  // True while an invoice file of this platform holds `path` open (after
  // links are followed).
  bool is_held(const std::string& path) const { return held_.count(path) != 0; }

 private:
  friend class FakeInvoiceFile;
  std::set<std::string> held_;
  std::minstd_rand shuffle_{20240611};
};

}  // namespace invoice::testing

#endif  // INVOICE_TESTS_FAKE_PLATFORM_H_
