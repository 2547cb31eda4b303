#ifndef INVOICE_PLATFORM_PLATFORM_H_
#define INVOICE_PLATFORM_PLATFORM_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace invoice {

// Every operating-system call of the program goes through this interface:
// one implementation per platform (platform_linux.cc, platform_win32.cc),
// chosen by the build, and an in-memory fake in the tests. Every
// implementation passes platform_contract_test.cc.
// The core's own read of INVOICE_PORTABLE_KERNEL is no exception in effect:
// it only picks between kernels that give the same bytes.
//
// Paths, names and console texts are UTF-8 byte strings on every platform.
// The Linux implementation hands path bytes to the system unchanged (there a
// name that is not UTF-8 still works, and the console masks it when shown);
// the Windows implementation converts with CP_UTF8 at this boundary and uses
// only the wide (W) calls, so no path depends on the system's ANSI code page.
// Shared code never builds a path by hand: `join_path` puts in the
// platform's separator.
//
// Nothing here prints except the console calls; failures come back as a
// Status whose kind the implementation has translated from its own error
// codes, with the system's wording of the cause.

// A file time: whole seconds since 1970-01-01 00:00:00 UTC and the
// fraction of the second.
struct FileTime {
  std::int64_t seconds = 0;
  std::int32_t nanoseconds = 0;
  friend bool operator==(const FileTime&, const FileTime&) = default;
};

// The times a file carries through a replacement or into a kept copy: the
// last-access and last-write time, and where the system keeps one that
// programs may set (Windows) the creation time.
struct FileTimes {
  FileTime last_access;
  FileTime last_write;
  std::optional<FileTime> creation;
  friend bool operator==(const FileTimes&, const FileTimes&) = default;
};

// A SHA-256 digest.
using Sha256 = std::array<std::uint8_t, 32>;

// What a folder entry is. A symbolic link is reported as what it points to,
// with `is_link` set; a dangling link is kOther.
struct DirectoryEntry {
  enum class Type { kFile, kFolder, kOther };
  std::string name;
  Type type = Type::kOther;
  bool is_link = false;
  // kOk, or why the entry cannot be reached by `name` and is to be reported
  // instead of used: kUndecodableName (a name that does not convert to
  // UTF-8 and back exactly; `name` is then an escaped form of it) or
  // kNameCollides (another entry of the folder has the same name, exactly
  // or, where the system ignores letter case, but for case).
  Status::Kind name_problem = Status::Kind::kOk;
};

// A file being read sequentially (the file list). Closed when destroyed.
class InputFile {
 public:
  virtual ~InputFile() = default;
  // Reads up to `size` bytes into `buffer`; returns 0 at the end of the file.
  virtual Result<std::size_t> read(char* buffer, std::size_t size) = 0;
  // The file's times as they are now (on Windows the creation time too).
  virtual Result<FileTimes> times() = 0;
};

// A new file being written sequentially (the file list). Closed when
// destroyed.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  // Writes all of `data` or fails.
  virtual Status write(std::string_view data) = 0;
  // Flushes what was written to disk, so that it survives a power cut once
  // this returns ok.
  virtual Status flush() = 0;
  // Ends the writing and gives a reader from the start of what was written,
  // through this same open file: the file is never opened again by name, so
  // nothing put in its place meanwhile is ever read.
  virtual Result<std::unique_ptr<InputFile>> read_back() = 0;
  // Removes the file's name, but only while the name still refers to this
  // file: fails with kChanged, and removes nothing, when another file has
  // taken the name, kNotFound when the name is gone.
  virtual Status remove() = 0;
};

// A copy of an invoice's original made in the backup folder
// (`InvoiceFile::copy_original`), under a replacement name (replacement_name.h)
// and locked, so that another run's leftover removal leaves it alone, until it
// is given its own name. Removed when destroyed unless it was named; a process
// killed meanwhile leaves it under its replacement name.
class KeptCopy {
 public:
  virtual ~KeptCopy() = default;
  // False when the backup folder's file system could hold only the content
  // and the times (FAT, exFAT): the original's owner and group, permission
  // bits, access list or extended attributes are not on the copy.
  virtual bool carries_access() const = 0;
  // Gives the copy the name `name` in its folder, never over an existing
  // entry: fails with kExists, leaving the copy unnamed, when the name is
  // taken. Only once `Platform::flush_kept_copies` flushed it; the folder is
  // not flushed (`Platform::flush_folder`).
  virtual Status give_name(const std::string& name) = 0;
};

// A file that could not be removed, and why.
struct UnremovedFile {
  std::string path;
  Status status;
};

// An invoice file, open for reading and locked against other programs from
// `open_invoice_file` until it is destroyed. Nothing is ever written through
// it: a change reaches the disk only as a whole new file put in its place.
// Opening and reading it leave all its times as they are, the last-access
// time included, where the system lets this reader keep it (on Linux the
// file's owner, on Windows a handle that may write attributes); elsewhere
// the last-access time moves as it would for any reader.
class InvoiceFile {
 public:
  virtual ~InvoiceFile() = default;
  // True when the file may be replaced: the running user may write it and
  // nobody marked it read-only (no write permission for anyone, the
  // read-only attribute, an immutable or append-only file); an
  // administrator respects the mark too.
  virtual bool is_writable() const = 0;
  // What `stage` would refuse that can be known without writing anything,
  // so that a run that only reports gives the same verdict as a run:
  // kHardLinked; kOwnerNotKept when the running user may not give a new
  // file the original's owner or group (one other than an administrator
  // cannot give away a file, nor give it a group the user is not a member
  // of); kFolderMarked for a folder marked append-only or immutable; the
  // failure when the folder takes no new file from the running user. Ok
  // otherwise: what only writing reveals (a full disk, an access list or
  // attribute the new file cannot carry) is left to `stage`.
  virtual Status check_replaceable() const = 0;
  // Reads the whole file. Fails with kChanged when the file turns out
  // shorter or longer than it was when opened, or changed while it was read,
  // kNoMemory when it does not fit.
  virtual Status load(std::string& content) = 0;
  // Prepares a replacement of the file's content with `content`: a new file
  // in the same folder, under a replacement name (replacement_name.h) and
  // locked, holding `content` and carrying exactly the original's owner and
  // group, permission bits, access control list, extended attributes, file
  // flags and times: the last-access and last-write time (and on Windows the
  // creation time) that the original had when it was opened, at the
  // precision the file system keeps. Nothing sets a time once the file is
  // in place, so the staged file carries them. It is not flushed: the
  // replacements of a group are flushed together by `Platform::flush_staged`
  // and then put in place one by one with `put_staged_in_place`. May be
  // called again for a later text of the same file; the staged files are put
  // in place in the order they were staged. Fails, leaving the original as it
  // is and removing the new file, with kHardLinked for a file with more than
  // one name, kOwnerNotKept, kAccessNotKept, kAttributesNotKept or
  // kFlagsNotKept when the new file cannot carry what the original has,
  // kStopped when the run was asked to stop, or with the failure of a step.
  // Staged files never put in place are removed when the file is destroyed;
  // a process killed meanwhile leaves them under their replacement names.
  virtual Status stage(std::string_view content) = 0;
  // As `stage`, but the new file gets `times` in place of the original's:
  // putting a kept original back gives it its own times. The creation time
  // is set on Windows only, where a program may set it: `times.creation`
  // when given, else the original's; elsewhere the system keeps none that
  // could be set, and `times.creation` is ignored.
  virtual Status stage_with_times(std::string_view content, const FileTimes& times) = 0;
  // Copies the file as it was opened into a new file in `folder` (a folder
  // of the backup folder, which may lie on another file system): the same
  // bytes, `content` being what `load` read (a system that can share the
  // original's blocks, a reflink on XFS or btrfs, copies through the open
  // file instead), exactly its times, and its owner and group, permission
  // bits, access list and extended attributes as far as the folder's file
  // system holds them (`KeptCopy::carries_access`); until then the copy is
  // readable by the running user only. Not flushed. Fails, removing the new
  // file, with kNoSpace, kAccessDenied, kChanged when the file turns out
  // changed since it was opened, or the failure of a step.
  virtual Result<std::unique_ptr<KeptCopy>> copy_original(const std::string& folder,
                                                          std::string_view content) = 0;
  // Removes the files staged and not put in place, as destroying the file
  // does, and gives every staged file that could not be removed, here or
  // when a `stage` that failed removed its new file (kFolderMarked in a
  // folder marked append-only or immutable): each stays beside the invoice
  // as a hidden full copy.
  virtual std::vector<UnremovedFile> discard_staged() = 0;
  // Renames the oldest staged file over the original (through a symbolic
  // link, its target), atomically, once `Platform::flush_staged` has flushed
  // it. Right before the rename the file in place is checked to be unchanged
  // since it was opened (or last put in place): fails with kChanged, leaving
  // it byte for byte as it was, when another program changed, replaced or
  // removed it meanwhile, or with the failure of the rename; the staged file
  // then stays staged, for `discard_staged`. The lock moves to the new file.
  // A process killed meanwhile leaves the old or the new content, never a
  // mixture.
  virtual Status put_staged_in_place() = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Whose conventions the program follows with its users. kPosix: a name
  // may hold any byte but "/" and NUL, so a path in a log line is escaped
  // to stay unambiguous, and the help points to the manual page. kWindows:
  // no name holds a backslash or a control character, so paths are shown as
  // they are; "/?" asks for the help, which points to the README.
  enum class Conventions { kPosix, kWindows };
  virtual Conventions conventions() const { return Conventions::kPosix; }
  // The installation root as the user typed it (MORROOT or --root), made
  // into the folder that the system takes it for. Unchanged on POSIX, where
  // every byte of a name counts; on Windows without surrounding double
  // quotes and made absolute by the system's own rules (GetFullPathNameW,
  // which drops trailing blanks and dots).
  virtual std::string normalize_root(std::string_view root) const { return std::string(root); }

  // The value of an environment variable, or nothing when it is unset.
  virtual std::optional<std::string> get_environment(const char* name) const = 0;
  // The folder for temporary files when the run is given none: TMPDIR, else
  // /tmp on POSIX systems; the user's temporary folder (GetTempPathW) on
  // Windows.
  virtual std::string default_temporary_folder() const = 0;
  // The path of `name` inside `folder`: the folder, the platform's separator
  // unless the folder is empty or already ends with a separator, then the
  // name. Touches no file.
  virtual std::string join_path(std::string_view folder, std::string_view name) const = 0;
  // The local time of day in milliseconds since midnight.
  virtual std::uint32_t milliseconds_since_midnight() const = 0;
  // The current time (UTC), for records that say when something was done.
  virtual FileTime current_time() const = 0;

  // Creates `path` as a new empty file readable by its owner only; fails
  // with kExists when the name is taken, kNotFound when its folder is
  // missing.
  virtual Result<std::unique_ptr<OutputFile>> create_new_file(const std::string& path) = 0;
  // True when users other than the running one may put files in place of
  // this user's files in `folder` (on POSIX: a folder writable by others
  // without the sticky bit).
  virtual bool lets_others_replace_files(const std::string& folder) = 0;
  // True when users other than the running one may put something else in
  // place of `path`, a file or folder: on POSIX, when the folder that holds
  // it is writable by all without the sticky bit, or, for a run as root,
  // writable by its group without the sticky bit.
  virtual bool lets_others_swap(const std::string& path) = 0;
  // Checks the folder link rule on `path` when it is a symbolic link (on
  // Windows also a junction): it is followed only when it belongs to an
  // administrator (root), to the running user or to the owner of what it
  // points to; kForeignLink otherwise. Ok for anything that is not such a
  // link, a missing path included.
  virtual Status check_folder_link(const std::string& path) = 0;
  // Opens `path`, a file that exists or a new empty one readable by its
  // owner only, for writing at its end (the manifest of kept originals).
  // Fails with kNotFound when its folder is missing, kNotRegular for a
  // folder, device or link.
  virtual Result<std::unique_ptr<OutputFile>> open_for_appending(const std::string& path) = 0;
  // Creates the folder `path` with access for the running user only; fails
  // with kExists when the name is taken (by a folder too), kNotFound when
  // the folder that would hold it is missing.
  virtual Status create_private_folder(const std::string& path) = 0;
  // True when `path` is `folder` or lies below it once both are resolved:
  // made absolute, links followed, and on Windows letter case ignored. A
  // part of `path` that does not exist yet is taken as written below the
  // part that does. Fails when `folder` cannot be resolved.
  virtual Result<bool> lies_within(const std::string& path, const std::string& folder) = 0;
  // Flushes the folder `path`, so that the names put in it survive a power
  // cut. Ok when the folder cannot be opened for flushing (one the user may
  // pass through but not read, a file system that does not flush folders),
  // which is left to the system.
  virtual Status flush_folder(const std::string& path) = 0;
  // Flushes the folders `paths` as `flush_folder` flushes each, as one
  // operation where the system can (Linux: one syncfs for the folders of a
  // file system that writes back all its names on it); one after another
  // otherwise. Ok, or the first failure.
  virtual Status flush_folders(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
      if (Status status = flush_folder(path); !status.is_ok()) return status;
    }
    return Status::ok();
  }
  // The SHA-256 digest of `data`, from the system's own cryptography.
  virtual Result<Sha256> sha256(std::string_view data) const = 0;
  // Opens an existing file for reading; kNotFound when there is none.
  // Reading it leaves its last-access time as it is where the system lets
  // this reader keep it (on Linux the file's owner), as for invoices.
  virtual Result<std::unique_ptr<InputFile>> open_input_file(const std::string& path) = 0;
  // Removes a file (never a folder); kNotFound when there is none.
  virtual Status remove_file(const std::string& path) = 0;
  // The entries of a folder, without "." and "..", in no particular order.
  // Fails with kNotFound when the path does not exist, kNotAFolder when it
  // names something else, kAccessDenied when the folder may not be read.
  virtual Result<std::vector<DirectoryEntry>> list_directory(const std::string& path) = 0;
  // Removes `path`, a file named as a replacement file (replacement_name.h),
  // only when it is certainly one that a killed run left behind: a regular
  // file, not a link, with no other name, owned by the user running this
  // program, and locked by nobody (a run still writing its replacement holds
  // the lock). Anything else is left as it is: kNotRegular for a link or
  // anything but a file, kLocked, kAccessDenied for a file that is not ours,
  // kChanged or kNotFound for one that another run renamed meanwhile. Any
  // other failure is of a leftover that could not be removed: kFolderMarked
  // in a folder marked append-only or immutable.
  virtual Status remove_leftover_replacement(const std::string& path) = 0;

  // Opens an existing regular file (or a link to one) for conversion, for
  // reading only, and locks it against other programs without waiting;
  // never creates a file. A symbolic link is followed only when it belongs
  // to the running user or to the owner of what it points to. Fails with
  // kNotFound, kNotRegular (a folder, device, pipe), kLocked (another
  // program, or another open file in this one, holds it, or another program
  // has it open for writing where the system tells), kForeignLink,
  // kAccessDenied or another kind.
  virtual Result<std::unique_ptr<InvoiceFile>> open_invoice_file(const std::string& path) = 0;

  // Making replacements durable one group at a time. A group is a number of
  // invoice files, each with one or two staged replacements (InvoiceFile::
  // stage). The most staged files that one group may hold, a kept copy
  // counting as two: each open invoice holds a few descriptors until the
  // group is done.
  virtual std::size_t group_file_limit() const = 0;
  // Flushes to disk, as one operation, every file that `files` (opened by
  // this platform) have staged and not yet put in place, so that their
  // content survives a power cut once this returns ok. On failure none of
  // them may be put in place.
  virtual Status flush_staged(const std::vector<InvoiceFile*>& files) = 0;
  // Flushes the folders in which `files` (opened by this platform) put
  // staged files in place since the last call, once each, so that the new
  // names survive a power cut. Gives, for each of `files` in order, what
  // the flush of its folder reported: ok when nothing was put in place, when
  // the flush succeeded, and when the folder could not be opened for
  // flushing (one the user may pass through but not read, a file system
  // that does not flush folders), which is left to the system; the error
  // otherwise, after which the new name may not survive a power cut. Never
  // needs a descriptor or handle that an invoice file does not already hold
  // on POSIX systems.
  virtual std::vector<Status> flush_renamed_folders(const std::vector<InvoiceFile*>& files) = 0;
  // Flushes `copies` (made by this platform) to disk as one operation, so
  // that their content and times survive a power cut once this returns ok.
  virtual Status flush_kept_copies(const std::vector<KeptCopy*>& copies) = 0;

  // When the run has been asked to stop (on POSIX by SIGTERM or SIGHUP), the
  // exit status it is to end with; nothing otherwise. Polled between files
  // and between the steps of a replacement.
  virtual std::optional<int> stop_requested() const = 0;

  // The console: standard output and standard error. Texts are UTF-8 (the
  // console has made paths printable); the Windows implementation writes
  // them to a console with the wide call.
  virtual bool output_is_terminal() const = 0;
  // Columns of the terminal on standard output (80 when unknown).
  virtual int terminal_width() const = 0;
  // Writes to standard output; a failure (a full device, a closed pipe or
  // descriptor) is returned so the run can report it.
  virtual Status write_output(std::string_view text) = 0;
  virtual void write_error(std::string_view text) = 0;
};

// The platform this program was built for.
std::unique_ptr<Platform> make_system_platform();

// Readies the process for a run; called first of all, before anything is
// opened. Makes sure that the standard input, output and error are open, so
// that no file of the run can take their place and receive messages; makes
// the run immune to Ctrl+C, Ctrl+\ and a closed output pipe, turns an
// exceeded file-size limit into a write error instead of a kill, and turns
// a request to stop (on POSIX SIGTERM and SIGHUP) into `stop_requested`.
void prepare_process();

}  // namespace invoice

#endif  // INVOICE_PLATFORM_PLATFORM_H_
