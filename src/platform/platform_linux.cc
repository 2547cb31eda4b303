// The platform layer on Linux.

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <openssl/evp.h>
#include <signal.h>
#include <stdio.h>  // renameat2
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <utility>

#include "platform/platform.h"
#include "platform/read_buffer.h"
#include "platform/replacement_name.h"
#include "platform/replacement_policy.h"
#include "platform/staging_invoice_file.h"

namespace invoice {

namespace {

// Owns one file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes and reports what close said (a deferred write error, say).
  int close() {
    const int result = ::close(std::exchange(fd_, -1));
    return result == 0 ? 0 : errno;
  }

 private:
  int fd_ = -1;
};

// Owns a DIR stream.
class UniqueDir {
 public:
  explicit UniqueDir(DIR* dir) : dir_(dir) {}
  UniqueDir(const UniqueDir&) = delete;
  UniqueDir& operator=(const UniqueDir&) = delete;
  ~UniqueDir() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

// Translates an errno value into a status that names the system's wording;
// 0 gives ok.
Status posix_error(int code) {
  if (code == 0) return Status::ok();
  Status::Kind kind = Status::Kind::kOther;
  switch (code) {
    case ENOENT:
      kind = Status::Kind::kNotFound;
      break;
    case ENOTDIR:
      kind = Status::Kind::kNotAFolder;
      break;
    case EEXIST:
      kind = Status::Kind::kExists;
      break;
    case EWOULDBLOCK:
      kind = Status::Kind::kLocked;
      break;
    case EROFS:
      kind = Status::Kind::kReadOnly;
      break;
    case EACCES:
    case EPERM:
      kind = Status::Kind::kAccessDenied;
      break;
    case ENOSPC:
    case EDQUOT:
      kind = Status::Kind::kNoSpace;
      break;
    case ENOMEM:
      kind = Status::Kind::kNoMemory;
      break;
    case EMFILE:
    case ENFILE:
      kind = Status::Kind::kTooManyFiles;
      break;
    default:
      break;
  }
  return Status::error(kind, std::strerror(code));
}

Status last_error() { return posix_error(errno); }

// A path in a form the system takes whatever its length: relative to `dir`
// (the working directory for a path within PATH_MAX, else a folder on the
// way, opened one chunk of at most PATH_MAX bytes at a time).
struct LocatedPath {
  UniqueFd folder;
  int dir = AT_FDCWD;
  std::string name;
};

Status locate(std::string_view path, int base, LocatedPath& located) {
  located.dir = base;
  while (path.size() >= PATH_MAX) {
    const std::size_t cut = path.rfind('/', PATH_MAX - 2);
    if (cut == std::string_view::npos) return posix_error(ENAMETOOLONG);
    const std::string chunk(cut == 0 ? std::string_view("/") : path.substr(0, cut));
    UniqueFd folder(::openat(located.dir, chunk.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) return last_error();
    located.folder = std::move(folder);
    located.dir = located.folder.get();
    path.remove_prefix(cut + 1);
  }
  located.name.assign(path);
  return Status::ok();
}

Status locate(std::string_view path, LocatedPath& located) {
  return locate(path, AT_FDCWD, located);
}

// Writes all of `data` to `fd`, going on after partial writes and signals.
Status write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t wrote = ::write(fd, data.data(), data.size());
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    data.remove_prefix(static_cast<std::size_t>(wrote));
  }
  return Status::ok();
}

void write_all_ignoring_errors(int fd, std::string_view data) { (void)write_all(fd, data); }

// Set by the handler of a request to stop (SIGTERM, SIGHUP) to the signal's
// number. The one variable that a signal handler may safely write, hence
// global.
volatile std::sig_atomic_t stop_signal = 0;

void note_stop_request(int signal_number) { stop_signal = signal_number; }

bool stop_was_requested() { return stop_signal != 0; }

class PosixInputFile final : public InputFile {
 public:
  explicit PosixInputFile(UniqueFd fd) : fd_(std::move(fd)) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t got = ::read(fd_.get(), buffer, size);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) return last_error();
    }
  }
  Result<FileTimes> times() override;

 private:
  UniqueFd fd_;
};

// Who the process runs as, asked of the system once per run: nothing in
// the program changes it.
class RunIdentity {
 public:
  RunIdentity() : user_(::geteuid()), group_(::getegid()) {
    const int count = ::getgroups(0, nullptr);
    if (count <= 0) return;
    groups_.resize(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, groups_.data());
    groups_.resize(static_cast<std::size_t>(std::max(got, 0)));
  }

  uid_t user() const { return user_; }

  // True when the running user may give a file group `group`: its own
  // group or one it is a member of.
  bool is_own_group(gid_t group) const {
    return group == group_ || std::find(groups_.begin(), groups_.end(), group) != groups_.end();
  }

 private:
  uid_t user_;
  gid_t group_;
  std::vector<gid_t> groups_;
};

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

class PosixOutputFile final : public OutputFile {
 public:
  PosixOutputFile(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}

  Status write(std::string_view data) override { return write_all(fd_.get(), data); }
  // The data and the length; the times and the rest are not needed to
  // read the file back.
  Status flush() override {
    if (kFlushes && ::fdatasync(fd_.get()) != 0) return last_error();
    return Status::ok();
  }

  Result<std::unique_ptr<InputFile>> read_back() override {
    if (::lseek(fd_.get(), 0, SEEK_SET) != 0) return last_error();
    UniqueFd reader(::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0));
    if (!reader.valid()) return last_error();
    return std::unique_ptr<InputFile>(std::make_unique<PosixInputFile>(std::move(reader)));
  }

  Status remove() override {
    LocatedPath located;
    if (Status status = locate(path_, located); !status.is_ok()) return status;
    struct stat named, ours;
    if (::fstatat(located.dir, located.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
      return last_error();
    }
    if (::fstat(fd_.get(), &ours) != 0) return last_error();
    if (!same_file(named, ours)) return Status::error(Status::Kind::kChanged);
    if (::unlinkat(located.dir, located.name.c_str(), 0) != 0) return last_error();
    return Status::ok();
  }

 private:
  std::string path_;
  UniqueFd fd_;
};

// Draws replacement names. Their characters come from the system's random
// generator, as unpredictable as if each name had asked for its own bytes:
// the bytes are fetched a block at a time, and each byte serves one name
// only. That keeps another user who sees earlier names from guessing the
// next ones and taking them first (O_EXCL keeps such a file from ever being
// used; guessed names could only make a replacement fail). The unused bytes
// are no secret from whatever can read the process's memory, which could
// do worse anyway.
class ReplacementNames {
 public:
  std::string draw() {
    if (used_ + kReplacementRandomLength > block_.size()) refill();
    if (used_ + kReplacementRandomLength > block_.size()) {
      timespec now{};
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      return fallback_replacement_name(static_cast<std::uint64_t>(now.tv_nsec),
                                       static_cast<std::uint64_t>(::getpid()));
    }
    std::array<unsigned char, kReplacementRandomLength> random;
    std::copy_n(block_.begin() + static_cast<std::ptrdiff_t>(used_), random.size(), random.begin());
    used_ += random.size();
    return format_replacement_name(random);
  }

 private:
  void refill() {
    const ssize_t got = ::getrandom(block_.data(), block_.size(), 0);
    used_ = got == static_cast<ssize_t>(block_.size()) ? 0 : block_.size();
  }

  // The most that the system gives in one call without ever stopping short
  // or being cut off by a signal; a score of names.
  std::array<unsigned char, 256> block_{};
  std::size_t used_ = block_.size();
};

// The folder part of `name` ("." when there is none), leaving the last
// component in `base`.
std::string split_folder(const std::string& name, std::string& base) {
  base = name;
  std::string folder_name = ".";
  if (const std::size_t slash = base.rfind('/'); slash != std::string::npos) {
    folder_name = slash == 0 ? "/" : base.substr(0, slash);
    base.erase(0, slash + 1);
  }
  return folder_name;
}

// Opens a folder for reading or, where that is denied, as a path only, and
// tells which; errno tells why when the descriptor is not valid.
UniqueFd open_folder(int dir, const std::string& folder_name, bool& readable) {
  UniqueFd folder(::openat(dir, folder_name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  readable = folder.valid();
  if (!folder.valid() && errno == EACCES) {
    folder.reset(::openat(dir, folder_name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  return folder;
}

// Opens the folder that holds `name` (relative to `dir`, "/" allowed) and
// leaves the last component in `base`. A folder that may be passed through
// but not read is opened as a path only: enough to work in it, though not
// to flush it.
Result<UniqueFd> open_parent_folder(int dir, const std::string& name, std::string& base) {
  bool readable = false;
  UniqueFd folder = open_folder(dir, split_folder(name, base), readable);
  if (!folder.valid()) return last_error();
  return folder;
}

// An open folder, shared by the invoices found in it, with its device and
// inode once they are known.
struct Folder {
  UniqueFd fd;
  bool identified = false;
  dev_t device = 0;
  ino_t inode = 0;
};

// The folder of the last invoice opened, kept open for the next invoice
// of the same folder path: instead of opening the path again, the run
// checks that the path still leads to the same folder, which is one look
// where opening, closing and identifying it for the flush would be three.
// Only a folder opened for reading is kept, since only such a folder can be
// flushed: one opened as a path only is opened again each time, as it may
// have become readable.
class FolderCache {
 public:
  // The open folder that `folder_name` (relative to the working folder)
  // leads to now.
  Result<std::shared_ptr<Folder>> open(const std::string& folder_name) {
    if (folder_ && folder_name == path_) {
      struct stat info;
      if (::fstatat(AT_FDCWD, folder_name.c_str(), &info, 0) == 0 && S_ISDIR(info.st_mode) &&
          info.st_dev == folder_->device && info.st_ino == folder_->inode) {
        return folder_;
      }
    }
    folder_.reset();
    auto folder = std::make_shared<Folder>();
    bool readable = false;
    folder->fd = open_folder(AT_FDCWD, folder_name, readable);
    if (!folder->fd.valid()) return last_error();
    struct stat info;
    if (readable && ::fstat(folder->fd.get(), &info) == 0) {
      folder->identified = true;
      folder->device = info.st_dev;
      folder->inode = info.st_ino;
      path_ = folder_name;
      folder_ = folder;
    }
    return folder;
  }

 private:
  std::string path_;
  std::shared_ptr<Folder> folder_;
};

// What the files of a run share with the platform that opened them, kept
// alive by whichever goes last.
struct RunContext {
  RunIdentity identity;
  ReplacementNames names;
  FolderCache folders;
  // The backup folder that the last original was kept in.
  FolderCache backup_folders;
};

// True for a folder marked append-only or immutable, in which nothing can
// be renamed over or removed. A folder opened as a path only shows no flags.
bool is_marked_folder(int folder) {
  int flags = 0;
  return ::ioctl(folder, FS_IOC_GETFLAGS, &flags) == 0 &&
         (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}

// File system types (statfs's f_type) on which one syncfs writes back every
// file of the file system and reports what failed. Elsewhere (FUSE above
// all, where syncfs returns at once without asking the file system to write
// anything; network file systems) each file is flushed by itself.
constexpr std::array<decltype(statfs::f_type), 4> kSyncfsFileSystems = {
    0xEF53,      // ext2, ext3, ext4
    0x58465342,  // XFS
    0x9123683E,  // btrfs
    0x01021994,  // tmpfs
};

constexpr decltype(statfs::f_type) kFuseFileSystem = 0x65735546;

// The type of the file system that holds `fd`; 0 when unknown.
decltype(statfs::f_type) file_system_type(int fd) {
  struct statfs info {};
  return ::fstatfs(fd, &info) == 0 ? info.f_type : 0;
}

// Flushes a folder so that the names put in it survive a power cut. A
// folder opened as a path only (one the user may pass through but not read)
// cannot be flushed, nor can a folder on a file system that does not flush
// folders: both are left to the system, as the rename would be, and are no
// failure; an error that the flush reports is one.
Status flush_open_folder(const Folder& folder) {
  if (!kFlushes) return Status::ok();
  // A folder identified when it was opened was opened for reading.
  if (!folder.identified) {
    const int flags = ::fcntl(folder.fd.get(), F_GETFL);
    if (flags < 0) return last_error();
    if ((flags & O_PATH) != 0) return Status::ok();
  }
  if (::fsync(folder.fd.get()) == 0 || errno == EINVAL || errno == EROFS) return Status::ok();
  return last_error();
}

// Flushes the open files `fds`, each given with its device, as one
// operation: one syncfs per file system known to write back every file on
// it, an fsync of each file elsewhere and where that syncfs fails.
Status flush_together(const std::vector<std::pair<int, dev_t>>& fds) {
  if (!kFlushes) return Status::ok();
  std::vector<std::pair<dev_t, bool>> synced;
  for (const auto& [fd, file_device] : fds) {
    const dev_t device = file_device;  // captured below
    auto seen = std::find_if(synced.begin(), synced.end(),
                             [device](const auto& known) { return known.first == device; });
    if (seen == synced.end()) {
      const auto type = file_system_type(fd);
      const bool trusted = std::find(kSyncfsFileSystems.begin(), kSyncfsFileSystems.end(), type) !=
                           kSyncfsFileSystems.end();
      synced.emplace_back(device, trusted && ::syncfs(fd) == 0);
      seen = synced.end() - 1;
    }
    if (!seen->second && ::fsync(fd) != 0) return last_error();
  }
  return Status::ok();
}

// The folders in which new names were put, each flushed once, through the
// descriptor its invoices already hold, so that the flush needs no
// descriptor of its own.
class RenamedFolders {
 public:
  // Flushes `folder` unless it was flushed already; what its flush reported.
  Status flush(const Folder& folder) {
    struct stat info;
    if (folder.identified) {
      info.st_dev = folder.device;
      info.st_ino = folder.inode;
    } else if (::fstat(folder.fd.get(), &info) != 0) {
      return last_error();
    }
    auto seen = std::find_if(flushed_.begin(), flushed_.end(), [&info](const Flushed& done) {
      return done.device == info.st_dev && done.inode == info.st_ino;
    });
    if (seen == flushed_.end()) {
      flushed_.push_back(Flushed{info.st_dev, info.st_ino, flush_open_folder(folder)});
      seen = flushed_.end() - 1;
    }
    return seen->status;
  }

 private:
  struct Flushed {
    dev_t device;
    ino_t inode;
    Status status;
  };
  std::vector<Flushed> flushed_;
};

// A file that is not a symbolic link, named in a folder held open, so that
// it is found again in the same place even if the path changes meanwhile.
struct FileInFolder {
  std::shared_ptr<Folder> folder;
  std::string name;
  // What the name led to when it was looked at, not followed.
  struct stat info {};

  int dir() const { return folder->fd.get(); }
};

// The file that `path` names, found through any symbolic links in its last
// component. A link is followed only when it belongs to the running user or
// to the owner of what it points to, much as Linux does in shared sticky
// folders: otherwise anyone who may write in the tree could point a run as
// root at somebody else's file. With `root_links`, a link of root's is
// followed too: an administrator's own choice.
// `folders`, when given, may hold the folder of the path open already.
Result<FileInFolder> find_target(const std::string& path, bool root_links = false,
                                 FolderCache* folders = nullptr) {
  LocatedPath located;
  if (Status status = locate(path, located); !status.is_ok()) return status;
  FileInFolder target;
  if (folders != nullptr && located.dir == AT_FDCWD) {
    auto opened = folders->open(split_folder(located.name, target.name));
    if (!opened.is_ok()) return opened.status;
    target.folder = std::move(opened.value);
  } else {
    auto opened = open_parent_folder(located.dir, located.name, target.name);
    if (!opened.is_ok()) return opened.status;
    target.folder = std::make_shared<Folder>();
    target.folder->fd = std::move(opened.value);
  }
  if (::fstatat(target.dir(), target.name.c_str(), &target.info, AT_SYMLINK_NOFOLLOW) != 0) {
    return last_error();
  }
  for (int hops = 0; S_ISLNK(target.info.st_mode); ++hops) {
    if (hops == 40) return posix_error(ELOOP);
    std::string link(static_cast<std::size_t>(PATH_MAX) + 1, '\0');
    const ssize_t length =
        ::readlinkat(target.dir(), target.name.c_str(), link.data(), link.size());
    if (length < 0) return last_error();
    link.resize(static_cast<std::size_t>(length));
    if (link.empty()) return posix_error(ENOENT);
    LocatedPath next;
    if (Status status = locate(link, target.dir(), next); !status.is_ok()) return status;
    FileInFolder pointed;
    auto opened = open_parent_folder(next.dir, next.name, pointed.name);
    if (!opened.is_ok()) return opened.status;
    pointed.folder = std::make_shared<Folder>();
    pointed.folder->fd = std::move(opened.value);
    if (::fstatat(pointed.dir(), pointed.name.c_str(), &pointed.info, AT_SYMLINK_NOFOLLOW) != 0) {
      return last_error();
    }
    const uid_t link_owner = target.info.st_uid;
    if (link_owner != ::geteuid() && link_owner != pointed.info.st_uid &&
        !(root_links && link_owner == 0)) {
      return Status::error(Status::Kind::kForeignLink);
    }
    target = std::move(pointed);
  }
  return target;
}

// Opens the file for reading without moving its last-access time where the
// system allows it (the owner, or root), so that a run over unchanged
// invoices leaves their times, and thus their change time, alone.
UniqueFd open_for_reading(const FileInFolder& file) {
  constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  UniqueFd fd(::openat(file.dir(), file.name.c_str(), kFlags | O_NOATIME));
  if (!fd.valid() && errno == EPERM) fd.reset(::openat(file.dir(), file.name.c_str(), kFlags));
  return fd;
}

// Keeps other programs away from an open invoice as far as Linux allows
// without mandatory locks: an exclusive flock (other converters, and
// programs that use flock), a read lock on the whole file held by the open
// file description (programs that use fcntl locks cannot take a write lock
// while it is held), and, where the running user may take one, a read lease:
// any other program that opens the file for writing then waits until the
// lease is given up, and the lease shows that it asked (`F_GETLEASE`).
// Returns whether the lease was taken; fails with kLocked when another
// program holds a conflicting lock or has the file open for writing.
Result<bool> lock_against_others(int fd) {
  // Over NFS flock is a record lock that needs a descriptor open for
  // writing; the read lock below then does the work.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno != EBADF) {
    return errno == EWOULDBLOCK ? Status::error(Status::Kind::kLocked) : last_error();
  }
  struct flock whole_file {};
  whole_file.l_type = F_RDLCK;
  whole_file.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_SETLK, &whole_file) != 0 && errno != EINVAL) {
    return errno == EAGAIN || errno == EACCES ? Status::error(Status::Kind::kLocked) : last_error();
  }
  if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) return true;
  // EAGAIN: another program has the file open for writing and may change
  // it at any moment. Anything else: not the owner, or no leases here.
  if (errno == EAGAIN) return Status::error(Status::Kind::kLocked);
  return false;
}

// The file flags (chattr) that a replacement carries: the ones that say how
// the file is to be stored, backed up or read. Immutable and append-only
// files are never replaced, and the rest are the file system's own.
constexpr int kCarriedFlags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL |
                              FS_NOATIME_FL | FS_NOCOMP_FL | FS_JOURNAL_DATA_FL | FS_NOTAIL_FL |
                              FS_NOCOW_FL | FS_DAX_FL;

// The file flags of an open file; 0 on a file system without them.
int read_file_flags(int fd) {
  int flags = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) return 0;
  return flags;
}

// Gives the empty file `fd` exactly the carried flags of `flags`, clearing
// those it took from its folder. Set before any content: some flags (no
// copy-on-write, compression) take effect on an empty file only.
Status carry_file_flags(int flags, int fd) {
  const int present = read_file_flags(fd);
  const int wanted = (present & ~kCarriedFlags) | (flags & kCarriedFlags);
  if (wanted == present) return Status::ok();
  int set = wanted;
  if (::ioctl(fd, FS_IOC_SETFLAGS, &set) != 0) {
    return Status::error(Status::Kind::kFlagsNotKept, std::strerror(errno));
  }
  if ((read_file_flags(fd) & kCarriedFlags) != (flags & kCarriedFlags)) {
    return Status::error(Status::Kind::kFlagsNotKept);
  }
  return Status::ok();
}

// Extended attributes by name, with their values.
using ExtendedAttributes = std::map<std::string, std::string>;

// Fills `buffer` by `call(data, size)`: straight into room for what most
// files hold, asking for the size only when the call says the room is too
// small, and again while it stays too small (another program may add to
// the list meanwhile). Returns 0 or the errno value of the failure.
template <class Call>
int read_sized(std::string& buffer, Call call) {
  constexpr std::size_t kFirstRoom = 256;
  buffer.resize(kFirstRoom);
  for (;;) {
    const ssize_t got = call(buffer.data(), buffer.size());
    if (got >= 0) {
      buffer.resize(static_cast<std::size_t>(got));
      return 0;
    }
    if (errno != ERANGE) return errno;
    const ssize_t size = call(nullptr, 0);
    if (size < 0) return errno;
    buffer.resize(std::max(static_cast<std::size_t>(size), 2 * buffer.size()));
  }
}

// The extended attributes of an open file that the running user may see,
// the access control list ("system.posix_acl_access") among them; none on
// a file system without them.
Result<ExtendedAttributes> read_extended_attributes(int fd) {
  std::string names;
  int error = read_sized(
      names, [fd](char* data, std::size_t size) { return ::flistxattr(fd, data, size); });
  if (error == ENOTSUP) return ExtendedAttributes{};
  if (error != 0) return posix_error(error);
  ExtendedAttributes attributes;
  for (std::size_t at = 0; at < names.size();) {
    const std::string name(names.c_str() + at);
    at += name.size() + 1;
    std::string value;
    error = read_sized(value, [fd, &name](char* data, std::size_t size) {
      return ::fgetxattr(fd, name.c_str(), data, size);
    });
    if (error == ENODATA) continue;  // removed meanwhile
    if (error != 0) return posix_error(error);
    attributes.emplace(name, std::move(value));
  }
  return attributes;
}

bool is_access_control_list(const std::string& name) {
  return name == "system.posix_acl_access" || name == "system.posix_acl_default";
}

Status attribute_not_kept(const std::string& name) {
  return Status::error(is_access_control_list(name) ? Status::Kind::kAccessNotKept
                                                    : Status::Kind::kAttributesNotKept,
                       std::strerror(errno));
}

// Gives `fd` exactly the extended attributes `wanted`: removes those it
// took from its folder (a default access control list) and sets the others.
Status carry_extended_attributes(const ExtendedAttributes& wanted, int fd) {
  auto present = read_extended_attributes(fd);
  if (!present.is_ok()) return present.status;
  for (const auto& [name, value] : present.value) {
    if (wanted.count(name) == 0 && ::fremovexattr(fd, name.c_str()) != 0) {
      return attribute_not_kept(name);
    }
  }
  for (const auto& [name, value] : wanted) {
    const auto it = present.value.find(name);
    if (it != present.value.end() && it->second == value) continue;
    if (::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0) {
      return attribute_not_kept(name);
    }
  }
  return Status::ok();
}

// The path of `name` in the open folder `folder`, for a message: the
// folder's path as the system tells it, or the name alone.
std::string path_of(int folder, const std::string& name) {
  std::string path(static_cast<std::size_t>(PATH_MAX), '\0');
  const std::string link = "/proc/self/fd/" + std::to_string(folder);
  const ssize_t length = ::readlink(link.c_str(), path.data(), path.size());
  if (length <= 0) return name;
  path.resize(static_cast<std::size_t>(length));
  if (path.back() != '/') path += '/';
  return path + name;
}

FileTime to_file_time(const timespec& time) {
  return {static_cast<std::int64_t>(time.tv_sec), static_cast<std::int32_t>(time.tv_nsec)};
}

timespec to_timespec(const FileTime& time) {
  timespec converted{};
  converted.tv_sec = static_cast<time_t>(time.seconds);
  converted.tv_nsec = time.nanoseconds;
  return converted;
}

Result<FileTimes> PosixInputFile::times() {
  struct stat info;
  if (::fstat(fd_.get(), &info) != 0) return last_error();
  return FileTimes{to_file_time(info.st_atim), to_file_time(info.st_mtim), std::nullopt};
}

bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// A new file in an invoice's folder, under a replacement name, locked so
// that no other run removes it as a leftover. Removed again when it goes
// away, unless it was put in the invoice's place.
class ReplacementFile {
 public:
  ReplacementFile() = default;
  ReplacementFile(ReplacementFile&&) noexcept = default;
  ReplacementFile& operator=(ReplacementFile&&) = delete;
  ~ReplacementFile() {
    if (fd_.valid()) ::unlinkat(folder_->fd.get(), name_.c_str(), 0);
  }

  // Makes the file in `folder`, which it holds open until it goes.
  static Result<ReplacementFile> make(std::shared_ptr<Folder> folder, ReplacementNames& names) {
    ReplacementFile made;
    made.folder_ = std::move(folder);
    const int dir = made.folder_->fd.get();
    const bool made_or_failed = create_under_fresh_name(
        [&] { return names.draw(); },
        [&](std::string name) {
          made.name_ = std::move(name);
          made.fd_.reset(
              ::openat(dir, made.name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
          return !made.fd_.valid() && errno == EEXIST;
        });
    if (!made_or_failed) return posix_error(EEXIST);
    if (!made.fd_.valid()) return last_error();
    struct flock whole_file {};
    whole_file.l_type = F_WRLCK;
    whole_file.l_whence = SEEK_SET;
    if (::flock(made.fd_.get(), LOCK_EX | LOCK_NB) != 0 ||
        (::fcntl(made.fd_.get(), F_OFD_SETLK, &whole_file) != 0 && errno != EINVAL)) {
      return last_error();
    }
    return made;
  }

  int fd() const { return fd_.get(); }

  // The file's device and inode, as its last look at it found them (they
  // never change while it is open).
  void note_identity(const struct stat& info) {
    device_ = info.st_dev;
    inode_ = info.st_ino;
  }
  dev_t device() const { return device_; }
  ino_t inode() const { return inode_; }

  // Removes the file now and lets it go: ok, or why it stays.
  Status remove() {
    const UniqueFd held = std::move(fd_);
    if (::unlinkat(folder_->fd.get(), name_.c_str(), 0) == 0 || errno == ENOENT) {
      return Status::ok();
    }
    const int error = errno;
    return error == EPERM && is_marked_folder(folder_->fd.get())
               ? Status::error(Status::Kind::kFolderMarked)
               : posix_error(error);
  }
  std::string path() const { return path_of(folder_->fd.get(), name_); }

  // Renames the file over `name` in its folder; the file is then no longer
  // removed, and its descriptor is handed back.
  Result<UniqueFd> put_in_place(const std::string& name) {
    const int dir = folder_->fd.get();
    if (::renameat(dir, name_.c_str(), dir, name.c_str()) != 0) return last_error();
    return std::move(fd_);
  }

  // Gives the file the name `name` in its folder, never over an existing
  // entry (kExists); the file is then no longer removed, and its descriptor
  // is handed back.
  Result<UniqueFd> give_name(const std::string& name) {
    const int dir = folder_->fd.get();
    if (::renameat2(dir, name_.c_str(), dir, name.c_str(), RENAME_NOREPLACE) != 0) {
      if (errno != EINVAL && errno != ENOSYS) return last_error();
      // A file system that cannot rename without replacing: a second name,
      // which never replaces either, then the temporary one goes. Should
      // that fail, the file is named all the same, and its temporary name,
      // a second name, is one that a later run leaves alone.
      if (::linkat(dir, name_.c_str(), dir, name.c_str(), 0) != 0) return last_error();
      ::unlinkat(dir, name_.c_str(), 0);
    }
    return std::move(fd_);
  }

 private:
  std::shared_ptr<Folder> folder_;
  std::string name_;
  UniqueFd fd_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

// A copy of an invoice's original in a folder of the backup folder: a
// replacement file there until it is named. Holds that folder open, so
// that the copy is named where it was made.
class PosixKeptCopy final : public KeptCopy {
 public:
  explicit PosixKeptCopy(std::shared_ptr<Folder> folder) : folder_(std::move(folder)) {}

  // Makes the empty file, readable by the running user only.
  Status make(ReplacementNames& names) {
    auto made = ReplacementFile::make(folder_, names);
    if (!made.is_ok()) return made.status;
    file_.emplace(std::move(made.value));
    return Status::ok();
  }

  // The copy's descriptor while it is unnamed, -1 once named.
  int fd() const { return file_ ? file_->fd() : -1; }
  ReplacementFile& file() { return *file_; }
  void note_access_not_carried() { carries_access_ = false; }
  void note_flushed() { flushed_ = true; }

  bool carries_access() const override { return carries_access_; }

  Status give_name(const std::string& name) override {
    if (!file_) return Status::error(Status::Kind::kOther, "the copy is named already");
    if (!flushed_) return Status::error(Status::Kind::kOther, "the copy is not flushed yet");
    auto named = file_->give_name(name);
    if (!named.is_ok()) return named.status;
    file_.reset();  // its descriptor handed back and closed: nothing is removed
    return Status::ok();
  }

 private:
  std::shared_ptr<Folder> folder_;
  // Removed when dropped unnamed; one that cannot be removed stays under
  // its replacement name, which a later run removes.
  std::optional<ReplacementFile> file_;
  bool carries_access_ = true;
  bool flushed_ = false;
};

// True for the failures of a copy within the kernel that say it cannot
// copy between these two files (another file system, no support), after
// which the bytes are written instead.
bool is_copy_unsupported(int error) {
  return error == EXDEV || error == EOPNOTSUPP || error == ENOTSUP || error == EINVAL ||
         error == ENOSYS || error == ENOTTY || error == EBADF;
}

// Copies the first `size` bytes of `from` into the empty file `to` without
// passing them through the process: blocks shared with the original where
// the file system can (a reflink), else copied by the kernel. False when
// neither works between these two files.
Result<bool> copy_in_kernel(int from, int to, off_t size) {
  if (::ioctl(to, FICLONE, from) == 0) return true;
  off_t in = 0;
  off_t out = 0;
  while (out < size) {
    const ssize_t copied =
        ::copy_file_range(from, &in, to, &out, static_cast<std::size_t>(size - out), 0);
    if (copied > 0) continue;
    // Shorter than when it was opened: another program changed it.
    if (copied == 0) return Status::error(Status::Kind::kChanged);
    if (errno == EINTR) continue;
    if (is_copy_unsupported(errno)) return false;
    return last_error();
  }
  return true;
}

// True for the refusals by which a file system says that it cannot hold
// an owner, access list, attribute or mode (FAT, exFAT), or that the
// running user may not give them.
bool is_refused_by_file_system(int error) {
  return error == EPERM || error == ENOTSUP || error == EOPNOTSUPP || error == EACCES;
}

class PosixInvoiceFile final : public StagingInvoiceFile<ReplacementFile> {
 public:
  PosixInvoiceFile(std::shared_ptr<RunContext> run, FileInFolder target, UniqueFd fd,
                   const struct stat& info, bool lease_held)
      : run_(std::move(run)),
        target_(std::move(target)),
        fd_(std::move(fd)),
        info_(info),
        lease_held_(lease_held) {}

  // Permission bits that grant nobody write access mark a file that its
  // owner wants left alone; that holds for root too. Immutable and
  // append-only files cannot be replaced.
  bool is_writable() const override {
    return (info_.st_mode & 0222) != 0 && (flags() & (FS_IMMUTABLE_FL | FS_APPEND_FL)) == 0 &&
           ::faccessat(target_.dir(), target_.name.c_str(), W_OK,
                       AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0;
  }

  Status check_replaceable() const override {
    if (Status single = check_single_name(info_.st_nlink); !single.is_ok()) return single;
    const uid_t user = run_->identity.user();
    if (user != 0 && (info_.st_uid != user || !run_->identity.is_own_group(info_.st_gid))) {
      return Status::error(Status::Kind::kOwnerNotKept, std::strerror(EPERM));
    }
    if (is_marked_folder(target_.dir())) return Status::error(Status::Kind::kFolderMarked);
    if (::faccessat(target_.dir(), ".", W_OK | X_OK, AT_EACCESS) != 0) return last_error();
    return Status::ok();
  }

  Status load(std::string& content) override {
    if (info_.st_size < 0) return Status::error(Status::Kind::kNoMemory);
    const auto size = static_cast<std::uint64_t>(info_.st_size);
    if (Status room = make_room_for_reading(content, size); !room.is_ok()) return room;
    const Status read = read_all(content);
    if (!read.is_ok()) content.clear();
    return read;
  }

  // Fills `content`, made room for as the file's size when it was opened,
  // from the start of the file, and checks that the file neither grew nor
  // changed meanwhile.
  Status read_all(std::string& content) {
    const std::size_t size = content.size();
    std::size_t have = 0;
    while (have < size) {
      const ssize_t got =
          ::pread(fd_.get(), content.data() + have, size - have, static_cast<off_t>(have));
      if (got < 0) {
        if (errno == EINTR) continue;
        return last_error();
      }
      // A file that shrank since it was opened was changed by another
      // program: never convert, let alone write back, a partial text.
      if (got == 0) return Status::error(Status::Kind::kChanged);
      have += static_cast<std::size_t>(got);
    }
    // Grown, or written in place, while it was read.
    return check_unchanged();
  }

  // The steps of a kept copy, each of which may fail and remove it: make a
  // new file in the folder, readable by the running user only; fill it;
  // carry what the folder's file system holds of the original's access,
  // and its times. Flushing and naming wait for the group.
  Result<std::unique_ptr<KeptCopy>> copy_original(const std::string& folder,
                                                  std::string_view content) override {
    LocatedPath located;
    if (Status status = locate(folder, located); !status.is_ok()) return status;
    // The originals of one folder of invoices go to one backup folder,
    // opened once for all of them where its path allows.
    auto opened = std::make_shared<Folder>();
    if (located.dir == AT_FDCWD) {
      auto cached = run_->backup_folders.open(located.name);
      if (!cached.is_ok()) return cached.status;
      opened = std::move(cached.value);
    } else {
      bool readable = false;
      opened->fd = open_folder(located.dir, located.name, readable);
      if (!opened->fd.valid()) return last_error();
    }
    auto copy = std::make_unique<PosixKeptCopy>(std::move(opened));
    Status status = copy->make(run_->names);
    if (status.is_ok()) status = fill_copy(copy->fd(), content);
    if (status.is_ok()) status = carry_to_copy(*copy);
    struct stat copied;
    if (status.is_ok() && ::fstat(copy->fd(), &copied) != 0) status = last_error();
    // Whatever way it was filled, the copy has the original's length.
    if (status.is_ok() && copied.st_size != info_.st_size) {
      status = Status::error(Status::Kind::kChanged);
    }
    if (!status.is_ok()) return status;
    copy->file().note_identity(copied);
    return std::unique_ptr<KeptCopy>(std::move(copy));
  }

  // The folder in which staged files were put in place since the last call,
  // or null when none was.
  const Folder* take_renamed_folder() {
    return std::exchange(renamed_, false) ? target_.folder.get() : nullptr;
  }

  // Adds the descriptors of the files staged and not yet put in place,
  // each with its device.
  void add_staged_descriptors(std::vector<std::pair<int, dev_t>>& fds) const {
    for (const ReplacementFile& file : staged()) fds.emplace_back(file.fd(), file.device());
  }

  // Tells the file the type of the file system of its staged files, which
  // is that of the original (a rename never crosses file systems).
  void note_file_system(decltype(statfs::f_type) type) { on_fuse_ = type == kFuseFileSystem; }

 private:
  // The original's file flags, asked for once and only of a file that is
  // to be replaced.
  int flags() const {
    if (!flags_) flags_ = read_file_flags(fd_.get());
    return *flags_;
  }

  // The steps of staging (staging_invoice_file.h), each on the new file's
  // descriptor.
  std::uint64_t link_count() const override { return info_.st_nlink; }

  FileTimes original_times() const override {
    return {to_file_time(info_.st_atim), to_file_time(info_.st_mtim), std::nullopt};
  }

  // Fills the copy `to` with the bytes of the file as it was opened: through
  // the kernel from this open file, while it is still the original,
  // checked unchanged afterwards; else, and where the kernel cannot copy
  // into that folder, `content`, which is what was read, written from the
  // start over whatever the kernel copied before it gave up.
  Status fill_copy(int to, std::string_view content) const {
    if (!placed_ && fd_.valid()) {
      auto copied = copy_in_kernel(fd_.get(), to, info_.st_size);
      if (!copied.is_ok()) return copied.status;
      if (copied.value) return check_unchanged();
    }
    return write_all(to, content);
  }

  // Gives the copy `copy` the original's owner and group, extended
  // attributes (its access control list among them) and permission bits as
  // staging does; where the folder's file system refuses one, none of them:
  // the copy stays readable by the running user only. The original's times
  // in both cases.
  Status carry_to_copy(PosixKeptCopy& copy) {
    const int fd = copy.fd();
    const FileTimes times{to_file_time(info_.st_atim), to_file_time(info_.st_mtim), std::nullopt};
    const Status status = carry_metadata(copy.file(), times);
    const Status::Kind kind = status.kind();
    if (kind != Status::Kind::kOwnerNotKept && kind != Status::Kind::kAccessNotKept &&
        kind != Status::Kind::kAttributesNotKept) {
      return status;
    }
    copy.note_access_not_carried();
    // Nothing that came across before the refusal may widen the access.
    if (::fremovexattr(fd, "system.posix_acl_access") != 0 && errno != ENODATA &&
        !is_refused_by_file_system(errno)) {
      return last_error();
    }
    if (::fchmod(fd, 0600) != 0 && !is_refused_by_file_system(errno)) return last_error();
    const timespec original_times[2] = {info_.st_atim, info_.st_mtim};
    if (::futimens(fd, original_times) != 0) return last_error();
    return Status::ok();
  }

  Result<ReplacementFile> create_staged_file() override {
    return ReplacementFile::make(target_.folder, run_->names);
  }

  // The original's file flags first, then the content.
  Status fill(ReplacementFile& staged, std::string_view content) override {
    Status status = carry_file_flags(flags(), staged.fd());
    if (status.is_ok()) status = write_all(staged.fd(), content);
    return status;
  }

  bool stop_requested() const override { return stop_was_requested(); }

  // A FUSE file system renames a file that is still open out of the way
  // first, so that replacing it would take two steps with no file under
  // the invoice's name between them: there the original is let go, locks
  // and all, just before the rename, which is then one step.
  Status rename_over_original(ReplacementFile& staged) override {
    if (!on_fuse_) on_fuse_ = file_system_type(fd_.get()) == kFuseFileSystem;
    if (*on_fuse_) {
      fd_.reset();
      lease_held_ = false;
    }
    const dev_t device = staged.device();
    const ino_t inode = staged.inode();
    auto placed = staged.put_in_place(target_.name);
    if (!placed.is_ok()) return placed.status;
    fd_ = std::move(placed.value);  // the locks move with the descriptor
    lease_held_ = false;
    // The file in place is now the one this run just renamed there; a next
    // step checks that its name still leads to it.
    info_.st_dev = device;
    info_.st_ino = inode;
    placed_ = true;
    return Status::ok();
  }

  void note_renamed() override { renamed_ = true; }

  // kChanged unless the file is as it was when it was opened: not asked
  // for by a writer while the lease was held, the same size, last-write and
  // change time and number of names, and still the file that its name
  // refers to. A file that this run put in place was renamed there an
  // instant ago, with nothing to compare its state with but a look taken
  // just as long before: for it the name alone is checked.
  Status check_unchanged() const override {
    if (lease_held_ && ::fcntl(fd_.get(), F_GETLEASE) != F_RDLCK) {
      return Status::error(Status::Kind::kChanged);
    }
    if (!placed_) {
      struct stat now;
      if (::fstat(fd_.get(), &now) != 0) return last_error();
      if (now.st_size != info_.st_size || now.st_nlink != info_.st_nlink ||
          !same_time(now.st_mtim, info_.st_mtim) || !same_time(now.st_ctim, info_.st_ctim)) {
        return Status::error(Status::Kind::kChanged);
      }
    }
    struct stat named;
    if (::fstatat(target_.dir(), target_.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !same_file(named, info_)) {
      return Status::error(Status::Kind::kChanged);
    }
    return Status::ok();
  }

  // Gives the new file the original's owner and group, extended attributes
  // (its access control list among them) and permission bits as they were
  // when it was opened, and `times`, and checks that the access came out
  // exactly so. The owner first: changing it clears set-id bits, which the
  // mode then puts back, so they never go to another owner.
  Status carry_metadata(ReplacementFile& staged, const FileTimes& times) override {
    const int fd = staged.fd();
    struct stat info;
    if (::fstat(fd, &info) != 0) return last_error();
    if ((info.st_uid != info_.st_uid || info.st_gid != info_.st_gid) &&
        ::fchown(fd, info_.st_uid, info_.st_gid) != 0) {
      return Status::error(Status::Kind::kOwnerNotKept, std::strerror(errno));
    }
    // Read once for every step: a change to them after that changes the
    // original's change time, which the check before each rename compares.
    if (!attributes_) {
      auto read = read_extended_attributes(fd_.get());
      if (!read.is_ok()) return read.status;
      attributes_ = std::move(read.value);
    }
    Status status = carry_extended_attributes(*attributes_, fd);
    if (!status.is_ok()) return status;
    // The mode after the access control list, whose mask it sets again.
    if (::fchmod(fd, info_.st_mode & 07777) != 0) {
      return Status::error(Status::Kind::kAccessNotKept, std::strerror(errno));
    }
    // The system drops a set-group-id bit that the running user may not
    // give; a file with different access is not the same invoice.
    auto carried = read_extended_attributes(fd);
    if (::fstat(fd, &info) != 0) return last_error();
    if ((info.st_mode & 07777) != (info_.st_mode & 07777) || !carried.is_ok() ||
        carried.value != *attributes_) {
      return Status::error(Status::Kind::kAccessNotKept);
    }
    staged.note_identity(info);
    // The times, to the nanosecond where the file system keeps them:
    // nothing sets them once the file is in place, where an edit that
    // another program makes right after the rename must keep its own time.
    const timespec carried_times[2] = {to_timespec(times.last_access),
                                       to_timespec(times.last_write)};
    if (::futimens(fd, carried_times) != 0) return last_error();
    return Status::ok();
  }

  std::shared_ptr<RunContext> run_;
  FileInFolder target_;
  UniqueFd fd_;
  struct stat info_;
  bool lease_held_;
  // Set once a staged file was put in place: `info_` then only names it.
  bool placed_ = false;
  // Asked of the system when first needed.
  mutable std::optional<int> flags_;
  std::optional<bool> on_fuse_;
  std::optional<ExtendedAttributes> attributes_;
  // Set when a staged file was put in place since the folder was last
  // flushed.
  bool renamed_ = false;
};

// The absolute path that `path` leads to, every link followed.
Result<std::string> real_path(const std::string& path) {
  const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                             &std::free);
  if (!resolved) return last_error();
  return std::string(resolved.get());
}

// `path` made absolute with every link followed, name by name, as far as
// it exists; a name below that is taken as written, and ".." as the folder
// above what came before it.
Result<std::string> resolve_as_far_as_it_exists(const std::string& path) {
  auto start = real_path(path.starts_with('/') ? "/" : ".");
  if (!start.is_ok()) return start.status;
  std::string resolved = std::move(start.value);
  for (std::size_t at = 0; at <= path.size();) {
    const std::size_t end = std::min(path.find('/', at), path.size());
    const std::string_view name(path.data() + at, end - at);
    at = end + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      resolved.resize(std::max<std::size_t>(resolved.rfind('/'), 1));
      continue;
    }
    std::string next = resolved;
    if (next.back() != '/') next += '/';
    next += name;
    auto real = real_path(next);
    if (real.is_ok()) {
      resolved = std::move(real.value);
    } else if (real.status.is_not_found() || real.status.kind() == Status::Kind::kNotAFolder) {
      resolved = std::move(next);
    } else {
      return real.status;
    }
  }
  return resolved;
}

class LinuxPlatform final : public Platform {
 public:
  std::optional<std::string> get_environment(const char* name) const override {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  }

  std::string default_temporary_folder() const override {
    const char* tmpdir = std::getenv("TMPDIR");
    if (tmpdir != nullptr && *tmpdir != '\0') return tmpdir;
    return "/tmp";
  }

  std::string join_path(std::string_view folder, std::string_view name) const override {
    std::string path(folder);
    if (!path.empty() && path.back() != '/') path += '/';
    path += name;
    return path;
  }

  FileTime current_time() const override {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return to_file_time(now);
  }

  std::uint32_t milliseconds_since_midnight() const override {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    return static_cast<std::uint32_t>(local.tm_hour) * 3600000u +
           static_cast<std::uint32_t>(local.tm_min) * 60000u +
           static_cast<std::uint32_t>(local.tm_sec) * 1000u +
           static_cast<std::uint32_t>(now.tv_nsec / 1000000);
  }

  Result<std::unique_ptr<OutputFile>> create_new_file(const std::string& path) override {
    LocatedPath located;
    if (Status status = locate(path, located); !status.is_ok()) return status;
    // Open for reading too: the file is read back through this descriptor.
    UniqueFd fd(::openat(located.dir, located.name.c_str(),
                         O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600));
    if (!fd.valid()) return last_error();
    return std::unique_ptr<OutputFile>(std::make_unique<PosixOutputFile>(path, std::move(fd)));
  }

  bool lets_others_replace_files(const std::string& folder) override {
    LocatedPath located;
    struct stat info;
    return locate(folder, located).is_ok() &&
           ::fstatat(located.dir, located.name.c_str(), &info, 0) == 0 && S_ISDIR(info.st_mode) &&
           (info.st_mode & S_IWOTH) != 0 && (info.st_mode & S_ISVTX) == 0;
  }

  bool lets_others_swap(const std::string& path) override {
    std::string folder = path;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    const std::size_t slash = folder.rfind('/');
    if (slash == std::string::npos) {
      folder = folder.empty() || folder == "." ? ".." : ".";
    } else {
      folder.resize(slash == 0 ? 1 : slash);
    }
    LocatedPath located;
    struct stat info;
    if (!locate(folder, located).is_ok() ||
        ::fstatat(located.dir, located.name.c_str(), &info, 0) != 0 || !S_ISDIR(info.st_mode) ||
        (info.st_mode & S_ISVTX) != 0) {
      return false;
    }
    const mode_t writers = ::geteuid() == 0 ? S_IWOTH | S_IWGRP : S_IWOTH;
    return (info.st_mode & writers) != 0;
  }

  Status check_folder_link(const std::string& path) override {
    const auto found = find_target(path, true);
    return found.status.kind() == Status::Kind::kForeignLink ? found.status : Status::ok();
  }

  Result<std::unique_ptr<InputFile>> open_input_file(const std::string& path) override {
    LocatedPath located;
    if (Status status = locate(path, located); !status.is_ok()) return status;
    // Reading a kept original must not move the last-access time that a
    // restore gives back; only the file's owner may ask for that.
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY;
    UniqueFd fd(::openat(located.dir, located.name.c_str(), kFlags | O_NOATIME));
    if (!fd.valid() && errno == EPERM)
      fd.reset(::openat(located.dir, located.name.c_str(), kFlags));
    if (!fd.valid()) return last_error();
    return std::unique_ptr<InputFile>(std::make_unique<PosixInputFile>(std::move(fd)));
  }

  // Looked at before opening, so that no device or pipe is ever opened,
  // and again once open. Open for reading too: the file can be read back.
  Result<std::unique_ptr<OutputFile>> open_for_appending(const std::string& path) override {
    LocatedPath located;
    if (Status status = locate(path, located); !status.is_ok()) return status;
    struct stat info;
    if (::fstatat(located.dir, located.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(info.st_mode)) {
      return Status::error(Status::Kind::kNotRegular);
    }
    constexpr int kFlags = O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
    UniqueFd fd(::openat(located.dir, located.name.c_str(), kFlags, 0600));
    if (!fd.valid()) {
      return errno == ELOOP || errno == EISDIR ? Status::error(Status::Kind::kNotRegular)
                                               : last_error();
    }
    if (::fstat(fd.get(), &info) != 0) return last_error();
    if (!S_ISREG(info.st_mode)) return Status::error(Status::Kind::kNotRegular);
    return std::unique_ptr<OutputFile>(std::make_unique<PosixOutputFile>(path, std::move(fd)));
  }

  Status create_private_folder(const std::string& path) override {
    LocatedPath located;
    if (Status status = locate(path, located); !status.is_ok()) return status;
    if (::mkdirat(located.dir, located.name.c_str(), 0700) != 0) return last_error();
    return Status::ok();
  }

  // The real path of the longest part of `path` that exists, one name at a
  // time, with the rest taken as written; compared by whole names.
  Result<bool> lies_within(const std::string& path, const std::string& folder) override {
    auto outer = real_path(folder);
    if (!outer.is_ok()) return outer.status;
    auto inner = resolve_as_far_as_it_exists(path);
    if (!inner.is_ok()) return inner.status;
    const std::string& within = outer.value;
    return inner.value == within || (inner.value.starts_with(within) &&
                                     (within.back() == '/' || inner.value[within.size()] == '/'));
  }

  Status flush_folder(const std::string& path) override {
    LocatedPath located;
    if (Status status = locate(path, located); !status.is_ok()) return status;
    Folder folder;
    bool readable = false;
    folder.fd = open_folder(located.dir, located.name, readable);
    if (!folder.fd.valid()) return last_error();
    return flush_open_folder(folder);
  }

  // One syncfs stands for the folder flushes of a file system on which it
  // commits every name; elsewhere each folder is flushed by itself.
  Status flush_folders(const std::vector<std::string>& paths) override {
    if (!kFlushes) return Status::ok();
    std::vector<std::pair<dev_t, bool>> synced;
    for (const std::string& path : paths) {
      LocatedPath located;
      if (Status status = locate(path, located); !status.is_ok()) return status;
      Folder folder;
      bool readable = false;
      folder.fd = open_folder(located.dir, located.name, readable);
      struct stat info;
      if (!folder.fd.valid() || ::fstat(folder.fd.get(), &info) != 0) return last_error();
      const dev_t device = info.st_dev;
      auto seen = std::find_if(synced.begin(), synced.end(),
                               [device](const auto& known) { return known.first == device; });
      if (seen == synced.end()) {
        const auto type = file_system_type(folder.fd.get());
        const bool trusted = std::find(kSyncfsFileSystems.begin(), kSyncfsFileSystems.end(),
                                       type) != kSyncfsFileSystems.end();
        synced.emplace_back(device, trusted && ::syncfs(folder.fd.get()) == 0);
        seen = synced.end() - 1;
      }
      if (seen->second) continue;
      if (Status status = flush_open_folder(folder); !status.is_ok()) return status;
    }
    return Status::ok();
  }

  Result<Sha256> sha256(std::string_view data) const override {
    Sha256 digest{};
    unsigned int length = 0;
    if (::EVP_Digest(data.data(), data.size(), digest.data(), &length, ::EVP_sha256(), nullptr) !=
            1 ||
        length != digest.size()) {
      return Status::error(Status::Kind::kOther, "libcrypto could not compute SHA-256");
    }
    return digest;
  }

  Status flush_kept_copies(const std::vector<KeptCopy*>& copies) override {
    std::vector<std::pair<int, dev_t>> fds;
    for (KeptCopy* copy : copies) {
      auto& kept = *static_cast<PosixKeptCopy*>(copy);
      if (kept.fd() >= 0) fds.emplace_back(kept.fd(), kept.file().device());
    }
    if (Status status = flush_together(fds); !status.is_ok()) return status;
    for (KeptCopy* copy : copies) static_cast<PosixKeptCopy*>(copy)->note_flushed();
    return Status::ok();
  }

  Status remove_file(const std::string& path) override {
    LocatedPath located;
    if (Status status = locate(path, located); !status.is_ok()) return status;
    if (::unlinkat(located.dir, located.name.c_str(), 0) != 0) return last_error();
    return Status::ok();
  }

  Status remove_leftover_replacement(const std::string& path) override {
    LocatedPath located;
    if (Status status = locate(path, located); !status.is_ok()) return status;
    std::string base;
    auto opened_folder = open_parent_folder(located.dir, located.name, base);
    if (!opened_folder.is_ok()) return opened_folder.status;
    const UniqueFd folder = std::move(opened_folder.value);
    // Looked at before opening, so that no device or pipe is ever opened.
    struct stat named;
    if (::fstatat(folder.get(), base.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
      return last_error();
    }
    if (!S_ISREG(named.st_mode)) return Status::error(Status::Kind::kNotRegular);
    if (named.st_uid != ::geteuid() || named.st_nlink != 1) return posix_error(EPERM);
    // The lock needs a descriptor; a run that gave its replacement the mode
    // of a write-only original left a file that only opens for writing.
    constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    UniqueFd fd(::openat(folder.get(), base.c_str(), O_RDONLY | kFlags));
    if (!fd.valid() && errno == EACCES)
      fd.reset(::openat(folder.get(), base.c_str(), O_WRONLY | kFlags));
    if (!fd.valid())
      return errno == ELOOP ? Status::error(Status::Kind::kNotRegular) : last_error();
    struct stat opened;
    if (::fstat(fd.get(), &opened) != 0) return last_error();
    if (!same_file(opened, named)) return Status::error(Status::Kind::kChanged);
    // A run that is still writing this file holds its lock until it has
    // renamed it over an invoice.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      return errno == EWOULDBLOCK ? Status::error(Status::Kind::kLocked) : last_error();
    }
    // Renamed meanwhile by the run that made it: the name is gone or, in
    // theory, taken by another file, which is then not ours to remove.
    if (::fstatat(folder.get(), base.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
      return last_error();
    }
    if (!same_file(opened, named)) return Status::error(Status::Kind::kChanged);
    if (::unlinkat(folder.get(), base.c_str(), 0) != 0) {
      const int error = errno;
      if (error == EPERM && is_marked_folder(folder.get())) {
        return Status::error(Status::Kind::kFolderMarked);
      }
      // Certainly a leftover: its staying is never to be taken for the
      // refusal of another user's file.
      return error == EACCES || error == EPERM
                 ? Status::error(Status::Kind::kOther, std::strerror(error))
                 : posix_error(error);
    }
    return Status::ok();
  }

  Result<std::vector<DirectoryEntry>> list_directory(const std::string& path) override {
    LocatedPath located;
    if (Status status = locate(path, located); !status.is_ok()) return status;
    const int fd = ::openat(located.dir, located.name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return last_error();
    UniqueDir dir(::fdopendir(fd));
    if (dir.get() == nullptr) {
      const Status status = last_error();
      ::close(fd);
      return status;
    }
    std::vector<DirectoryEntry> entries;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir.get());
      if (entry == nullptr) {
        if (errno != 0) return last_error();
        break;
      }
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      DirectoryEntry out;
      out.name.assign(name);
      if (entry->d_type == DT_REG) {
        out.type = DirectoryEntry::Type::kFile;
      } else if (entry->d_type == DT_DIR) {
        out.type = DirectoryEntry::Type::kFolder;
      } else if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
        struct stat info;
        if (::fstatat(::dirfd(dir.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
          out.is_link = S_ISLNK(info.st_mode);
          if (out.is_link && ::fstatat(::dirfd(dir.get()), entry->d_name, &info, 0) != 0) {
            info.st_mode = 0;  // a dangling link
          }
          if (S_ISREG(info.st_mode)) out.type = DirectoryEntry::Type::kFile;
          if (S_ISDIR(info.st_mode)) out.type = DirectoryEntry::Type::kFolder;
        }
      }
      entries.push_back(std::move(out));
    }
    return entries;
  }

  Result<std::unique_ptr<InvoiceFile>> open_invoice_file(const std::string& path) override {
    auto found = find_target(path, false, &run_->folders);
    if (!found.is_ok()) return found.status;
    FileInFolder& target = found.value;
    // Looked at (by finding it) before opening: opening a device or a pipe
    // can block or have effects of its own.
    if (!S_ISREG(target.info.st_mode)) return Status::error(Status::Kind::kNotRegular);
    UniqueFd fd = open_for_reading(target);
    if (!fd.valid()) {
      // Made a link since it was looked at.
      return errno == ELOOP ? Status::error(Status::Kind::kChanged) : last_error();
    }
    struct stat info;
    if (::fstat(fd.get(), &info) != 0) return last_error();
    if (!S_ISREG(info.st_mode)) return Status::error(Status::Kind::kNotRegular);
    auto locked = lock_against_others(fd.get());
    if (!locked.is_ok()) return locked.status;
    return std::unique_ptr<InvoiceFile>(std::make_unique<PosixInvoiceFile>(
        run_, std::move(target), std::move(fd), info, locked.value));
  }

  // Each invoice of a group holds its own descriptor, its folder's, one or
  // two staged files' and, when its original is kept, the copy's and its
  // backup folder's, and the folders wait to be flushed: a seventh of the
  // descriptors the process may open leaves room for the rest of the run.
  // Asked once: nothing in the run changes the limit.
  std::size_t group_file_limit() const override {
    if (!group_file_limit_) {
      constexpr std::size_t kMostFiles = 256;
      rlimit limit{};
      if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        group_file_limit_ = kMostFiles;
      } else {
        group_file_limit_ =
            std::clamp<std::size_t>(static_cast<std::size_t>(limit.rlim_cur / 4), 2, kMostFiles);
      }
    }
    return *group_file_limit_;
  }

  // One syncfs per file system writes all the staged files, and the
  // journal commits them, at once: the cost of a flush is paid once per
  // group instead of once per file. That holds only on the file systems
  // known to write back on syncfs; on the others, and where syncfs fails (a
  // write error it reports), each file is flushed by itself, so that the
  // failure is found and told as it is.
  // Each invoice learns the type of its file system here, asked once per
  // file system and group.
  Status flush_staged(const std::vector<InvoiceFile*>& files) override {
    if (!kFlushes) return Status::ok();
    struct Device {
      dev_t device;
      decltype(statfs::f_type) type;
      bool synced;
    };
    std::vector<Device> devices;
    std::vector<std::pair<int, dev_t>> fds;
    for (InvoiceFile* file : files) {
      auto& invoice = *static_cast<PosixInvoiceFile*>(file);
      fds.clear();
      invoice.add_staged_descriptors(fds);
      for (const auto& [fd, staged_device] : fds) {
        // A copy: structured bindings cannot be captured by every compiler
        // the project builds with.
        const dev_t device = staged_device;
        auto seen = std::find_if(devices.begin(), devices.end(),
                                 [device](const Device& known) { return known.device == device; });
        if (seen == devices.end()) {
          const auto type = file_system_type(fd);
          const bool trusted = std::find(kSyncfsFileSystems.begin(), kSyncfsFileSystems.end(),
                                         type) != kSyncfsFileSystems.end();
          devices.push_back(Device{device, type, trusted && ::syncfs(fd) == 0});
          seen = devices.end() - 1;
        }
        invoice.note_file_system(seen->type);
        if (!seen->synced && ::fsync(fd) != 0) return last_error();
      }
    }
    return Status::ok();
  }

  std::vector<Status> flush_renamed_folders(const std::vector<InvoiceFile*>& files) override {
    RenamedFolders renamed;
    std::vector<Status> results;
    results.reserve(files.size());
    for (InvoiceFile* file : files) {
      const Folder* folder = static_cast<PosixInvoiceFile*>(file)->take_renamed_folder();
      results.push_back(folder == nullptr ? Status::ok() : renamed.flush(*folder));
    }
    return results;
  }

  std::optional<int> stop_requested() const override {
    if (!stop_was_requested()) return std::nullopt;
    return 128 + static_cast<int>(stop_signal);
  }

  bool output_is_terminal() const override { return ::isatty(STDOUT_FILENO) == 1; }

  int terminal_width() const override {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
  }

  Status write_output(std::string_view text) override { return write_all(STDOUT_FILENO, text); }
  void write_error(std::string_view text) override {
    write_all_ignoring_errors(STDERR_FILENO, text);
  }

 private:
  std::shared_ptr<RunContext> run_ = std::make_shared<RunContext>();
  mutable std::optional<std::size_t> group_file_limit_;
};

}  // namespace

std::unique_ptr<Platform> make_system_platform() { return std::make_unique<LinuxPlatform>(); }

void prepare_process() {
  // Descriptors 0, 1 and 2 first: a file opened while one of them is closed
  // would take its number and receive what is written there. Read-only, so
  // that writing to a closed output still fails and is reported as such.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int taken = ::open("/dev/null", O_RDONLY | O_NOCTTY);
    if (taken < 0) taken = ::open("/", O_PATH);
    // The lower descriptors are open, so the number taken is this one;
    // without it no invoice would be safe.
    if (taken != fd) std::_Exit(255);
  }

  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_IGN;
  // Ctrl+C and Ctrl+\ must not cut a run short; a closed output pipe and an
  // exceeded file-size limit become write errors that the run reports; the
  // notice that another program wants a leased invoice is asked for with
  // F_GETLEASE instead.
  for (int signal_number : {SIGINT, SIGQUIT, SIGPIPE, SIGXFSZ, SIGIO}) {
    ::sigaction(signal_number, &action, nullptr);
  }
  // A request to stop ends the run at the next safe point; system calls
  // go on rather than fail with EINTR.
  action.sa_handler = note_stop_request;
  action.sa_flags = SA_RESTART;
  for (int signal_number : {SIGTERM, SIGHUP}) ::sigaction(signal_number, &action, nullptr);
}

}  // namespace invoice
