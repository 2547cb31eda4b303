#ifndef INVOICE_DRIVER_FILE_LIST_H_
#define INVOICE_DRIVER_FILE_LIST_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/run_options.h"
#include "platform/platform.h"
#include "platform/status.h"

namespace invoice {

// The pseudo-random numbers that name the file list: a 32-bit linear
// congruential generator seeded with the bit pattern of the time of day as a
// single-precision float, so that two runs started apart get different names.
class FileListNameDraw {
 public:
  explicit FileListNameDraw(std::uint32_t milliseconds_since_midnight);
  // The next number, from 1 to 99999999.
  std::uint32_t next();

 private:
  std::uint32_t state_;
};

// The folder for the file list: TEMP, else the platform's default temporary
// folder (an empty TEMP counts as unset).
std::string find_temporary_folder(const Platform& platform);

// The file list path for one drawn number: the name made of the number in
// decimal digits and ".TMP", inside `folder`.
std::string make_file_list_name(const Platform& platform, const std::string& folder,
                                std::uint32_t number);

// A run's temporary list of the invoices to convert, from its creation to its
// removal: its path and, while it is written and read back, the file.
// `output` is null when no list could be created.
struct FileList {
  std::string path;
  std::unique_ptr<OutputFile> output;
};

// Creates `list` in `folder` under a freshly drawn name (FileListNameDraw),
// drawing again while the name is taken, so that the list is the run's own.
// On failure `list.output` stays null and `list.path` names the last name
// tried.
Status create_file_list(Platform& platform, const std::string& folder, FileList& list);

// The installation root: `root` (given on the command line), or else
// MORROOT, as the platform normalises a typed root; empty for the current
// folder.
std::string find_root_folder(const Platform& platform,
                             const std::optional<std::string>& root = std::nullopt);

// The folder that is searched for invoices: "DOCUMENT" inside `root` (given
// on the command line), or else inside MORROOT (the current folder when
// MORROOT is unset or empty), normalised as the platform takes a typed root
// (Platform::normalize_root). The separator is put in when the root does not
// end with one, since otherwise nothing would ever be found.
std::string find_document_folder(const Platform& platform,
                                 const std::optional<std::string>& root = std::nullopt);

// A path that could not be listed, or a leftover replacement file that
// could not be removed, and why.
struct ListingFailure {
  std::string path;
  Status status;
  bool leftover = false;
};

// What the listing found.
struct ListingOutcome {
  Status status;                   // failure to write the file list, or kStopped
  Status document_folder;          // why the top folder could not be read; then nothing is listed
  std::uint64_t files_listed = 0;  // lines written
  std::uint64_t leftovers_removed = 0;  // replacement files of killed runs
  std::vector<ListingFailure> failures;
};

// Writes to `list` the path of every regular file, or link to one, whose name
// ends in ".xml" in any letter case, in `document_folder` and all folders
// below it: one path per line, each ended by CR LF. Names beginning with "."
// are skipped, links to folders are not followed. A path holding a CR or a
// 0x1A byte cannot be read back from the list, so it is reported instead of
// listed; so is a folder that cannot be read, and an invoice or folder
// whose name the platform cannot reach (DirectoryEntry::name_problem). Iterative: the depth of the
// tree does not touch the stack. `list` is left open.
// On the way, unless `options` ask for a dry run, a file named as a replacement
// file (replacement_name.h) that a killed run left behind is removed
// (`Platform::remove_leftover_replacement` says when one certainly is); one
// that is not certainly a leftover stays, and one that is but cannot be
// removed is a failure. A run asked to stop ends the
// listing between two folders, with kStopped.
ListingOutcome write_file_list(Platform& platform, const std::string& document_folder,
                               OutputFile& list, const RunOptions& options = {});

// Reads the file list line by line. A line ends at CR, which is consumed
// with one LF right after it; a lone LF belongs to the line; a 0x1A byte or
// the end of the data ends the list. Nothing is trimmed.
class FileListReader {
 public:
  // `file` may be null: a list that could not be opened is at its end.
  explicit FileListReader(std::unique_ptr<InputFile> file);

  // True when no byte remains, the next byte is 0x1A, or the list is not
  // open. A read error also ends the list; `status` then tells it.
  bool at_end();
  // The next line. Call only when `at_end` is false.
  std::string next_invoice_path();
  const Status& status() const { return status_; }
  // Closes the file; later reads find the end.
  void close() { file_.reset(); }

 private:
  // Makes sure at least one unread byte is buffered; false at the end.
  bool fill();

  std::unique_ptr<InputFile> file_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  Status status_;
};

// Closes `reader` and deletes `list`, which must have been created, only
// while its name still refers to the file written (kChanged otherwise).
Status remove_file_list(FileListReader& reader, FileList& list);

}  // namespace invoice

#endif  // INVOICE_DRIVER_FILE_LIST_H_
