// The platform layer on Linux and other POSIX systems.

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "driver/platform.h"
#include "driver/replacement_name.h"

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

 private:
  UniqueFd fd_;
};

class PosixOutputFile final : public OutputFile {
 public:
  explicit PosixOutputFile(UniqueFd fd) : fd_(std::move(fd)) {}
  Status write(std::string_view data) override { return write_all(fd_.get(), data); }
  Status close() override { return posix_error(fd_.close()); }

 private:
  UniqueFd fd_;
};

std::string make_replacement_name() {
  std::array<unsigned char, kReplacementRandomLength> random;
  if (::getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size())) {
    // Without the system's generator, a mix of clock and process id still
    // differs between attempts; O_EXCL catches the rest.
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t mix = static_cast<std::uint64_t>(now.tv_nsec) * 6364136223846793005u +
                        static_cast<std::uint64_t>(::getpid());
    for (auto& byte : random) {
      mix = mix * 6364136223846793005u + 1442695040888963407u;
      byte = static_cast<unsigned char>(mix >> 56);
    }
  }
  return format_replacement_name(random);
}

// Opens the folder that holds `name` (relative to `dir`, "/" allowed) and
// leaves the last component in `base`.
Result<UniqueFd> open_parent_folder(int dir, const std::string& name, std::string& base) {
  base = name;
  std::string folder_name = ".";
  if (const std::size_t slash = base.rfind('/'); slash != std::string::npos) {
    folder_name = slash == 0 ? "/" : base.substr(0, slash);
    base.erase(0, slash + 1);
  }
  UniqueFd folder(::openat(dir, folder_name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) return last_error();
  return folder;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Flushes the folders in which files were renamed. A folder is flushed
// when a rename happens in another folder, or when the flusher goes away at
// the end of the run, instead of after every rename: the walk converts a
// folder's files one after the other, so this saves most folder flushes. A
// rename not yet flushed when the power fails is simply undone, leaving the
// original, which was never touched, in place.
class FolderFlusher {
 public:
  FolderFlusher() = default;
  FolderFlusher(const FolderFlusher&) = delete;
  FolderFlusher& operator=(const FolderFlusher&) = delete;
  ~FolderFlusher() { flush(); }

  // Takes note that `folder` holds a new name.
  void note(UniqueFd folder) {
    struct stat info;
    if (::fstat(folder.get(), &info) != 0) {
      ::fsync(folder.get());
      return;
    }
    if (pending_.valid() && info.st_dev == device_ && info.st_ino == inode_) return;
    flush();
    pending_ = std::move(folder);
    device_ = info.st_dev;
    inode_ = info.st_ino;
  }

  // A file system that cannot flush folders has nothing more to do.
  void flush() {
    if (pending_.valid()) ::fsync(pending_.get());
    pending_.reset();
  }

 private:
  UniqueFd pending_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

class PosixInvoiceFile final : public InvoiceFile {
 public:
  // `flusher` must outlive the file.
  PosixInvoiceFile(std::string path, UniqueFd fd, const struct stat& info, bool opened_writable,
                   FolderFlusher& flusher)
      : flusher_(flusher),
        path_(std::move(path)),
        fd_(std::move(fd)),
        info_(info),
        // Permission bits that grant nobody write access mark a file that
        // its owner wants left alone; that holds for root too.
        writable_(opened_writable && (info.st_mode & 0222) != 0) {}

  bool is_writable() const override { return writable_; }

  Status load(std::string& content) override {
    if (info_.st_size < 0 || static_cast<std::uint64_t>(info_.st_size) > content.max_size()) {
      return Status::error(Status::Kind::kNoMemory);
    }
    const auto size = static_cast<std::size_t>(info_.st_size);
    try {
      content.resize(size);
    } catch (const std::bad_alloc&) {
      return Status::error(Status::Kind::kNoMemory);
    } catch (const std::length_error&) {
      return Status::error(Status::Kind::kNoMemory);
    }
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
    char extra;
    ssize_t got;
    do {
      got = ::pread(fd_.get(), &extra, 1, static_cast<off_t>(size));
    } while (got < 0 && errno == EINTR);
    if (got < 0) return last_error();
    if (got > 0) return Status::error(Status::Kind::kChanged);
    return Status::ok();
  }

  Status replace(std::string_view content) override {
    // Follow symbolic links to the file that is really replaced, so that a
    // link stays a link.
    LocatedPath target;
    Status status = locate(path_, target);
    if (!status.is_ok()) return status;
    for (int hops = 0;; ++hops) {
      struct stat link_info;
      if (::fstatat(target.dir, target.name.c_str(), &link_info, AT_SYMLINK_NOFOLLOW) != 0) {
        return last_error();
      }
      if (!S_ISLNK(link_info.st_mode)) break;
      if (hops == 40) return posix_error(ELOOP);
      std::string link(static_cast<std::size_t>(PATH_MAX) + 1, '\0');
      const ssize_t length =
          ::readlinkat(target.dir, target.name.c_str(), link.data(), link.size());
      if (length < 0) return last_error();
      link.resize(static_cast<std::size_t>(length));
      if (link.empty()) return posix_error(ENOENT);
      if (link.front() != '/') {
        const std::size_t slash = target.name.rfind('/');
        if (slash != std::string::npos) link.insert(0, target.name, 0, slash + 1);
      }
      LocatedPath next;
      status = link.front() == '/' ? locate(link, next) : locate(link, target.dir, next);
      if (!status.is_ok()) return status;
      if (!next.folder.valid() && next.dir == target.dir) next.folder = std::move(target.folder);
      target = std::move(next);
    }

    // The folder of the file, opened so that the new file is made, renamed
    // and flushed in the same folder even if the path changes meanwhile.
    std::string base;
    auto opened_folder = open_parent_folder(target.dir, target.name, base);
    if (!opened_folder.is_ok()) return opened_folder.status;
    UniqueFd folder = std::move(opened_folder.value);
    if (!status_matches(folder.get(), base)) return Status::error(Status::Kind::kChanged);

    std::string temporary;
    UniqueFd replacement;
    for (int attempt = 0; attempt < 100 && !replacement.valid(); ++attempt) {
      temporary = make_replacement_name();
      replacement.reset(
          ::openat(folder.get(), temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
      if (!replacement.valid() && errno != EEXIST) return last_error();
    }
    if (!replacement.valid()) return posix_error(EEXIST);

    status = fill_replacement(replacement.get(), content);
    // Checked again just before the rename: another program that replaced
    // the file meanwhile keeps its version.
    if (status.is_ok() && !status_matches(folder.get(), base)) {
      status = Status::error(Status::Kind::kChanged);
    }
    if (status.is_ok() &&
        ::renameat(folder.get(), temporary.c_str(), folder.get(), base.c_str()) != 0) {
      status = last_error();
    }
    if (!status.is_ok()) {
      ::unlinkat(folder.get(), temporary.c_str(), 0);
      return status;
    }
    // The new name must survive a crash as well as the new content.
    flusher_.note(std::move(folder));

    struct stat info;
    if (::fstat(replacement.get(), &info) == 0) info_ = info;
    fd_ = std::move(replacement);  // the lock moves with the descriptor
    return Status::ok();
  }

 private:
  // True when `name` in `folder` is still the file this object opened.
  bool status_matches(int folder, const std::string& name) const {
    struct stat now;
    return ::fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(now, info_);
  }

  // Locks, fills and flushes the new file and gives it the original's owner,
  // permission bits and times.
  Status fill_replacement(int fd, std::string_view content) const {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return last_error();
    Status status = write_all(fd, content);
    if (!status.is_ok()) return status;
    // The owner first: changing it clears set-id bits that the mode then
    // puts back. Only root may give a file away; others keep their own.
    if (::fchown(fd, info_.st_uid, info_.st_gid) != 0 && errno != EPERM) return last_error();
    if (::fchmod(fd, info_.st_mode & 07777) != 0) return last_error();
    // The original's times travel with the content, so that a run killed
    // before it restores the time stamp leaves no invoice looking newly
    // modified. A system that refuses is no reason to give up the content.
    const timespec times[2] = {info_.st_atim, info_.st_mtim};
    ::futimens(fd, times);
    if (::fsync(fd) != 0) return last_error();
    return Status::ok();
  }

  FolderFlusher& flusher_;
  std::string path_;
  UniqueFd fd_;
  struct stat info_;
  bool writable_;
};

class PosixPlatform final : public Platform {
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
    UniqueFd fd(::openat(located.dir, located.name.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600));
    if (!fd.valid()) return last_error();
    return std::unique_ptr<OutputFile>(std::make_unique<PosixOutputFile>(std::move(fd)));
  }

  Result<std::unique_ptr<InputFile>> open_input_file(const std::string& path) override {
    LocatedPath located;
    if (Status status = locate(path, located); !status.is_ok()) return status;
    UniqueFd fd(::openat(located.dir, located.name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid()) return last_error();
    return std::unique_ptr<InputFile>(std::make_unique<PosixInputFile>(std::move(fd)));
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
    if (::unlinkat(folder.get(), base.c_str(), 0) != 0) return last_error();
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

  Result<FileTime> read_file_time(const std::string& path) override {
    LocatedPath located;
    if (Status status = locate(path, located); !status.is_ok()) return status;
    struct stat info;
    if (::fstatat(located.dir, located.name.c_str(), &info, 0) != 0) return last_error();
    return FileTime{static_cast<std::int64_t>(info.st_mtim.tv_sec),
                    static_cast<std::int32_t>(info.st_mtim.tv_nsec)};
  }

  Status set_file_time(const std::string& path, FileTime time) override {
    LocatedPath located;
    if (Status status = locate(path, located); !status.is_ok()) return status;
    timespec times[2];
    times[0].tv_sec = static_cast<time_t>(time.seconds);
    times[0].tv_nsec = time.nanoseconds;
    times[1] = times[0];
    if (::utimensat(located.dir, located.name.c_str(), times, 0) != 0) return last_error();
    return Status::ok();
  }

  Result<std::unique_ptr<InvoiceFile>> open_invoice_file(const std::string& path) override {
    LocatedPath located;
    if (Status status = locate(path, located); !status.is_ok()) return status;
    // Looked at before opening: opening a device or a pipe can block or
    // have effects of its own.
    struct stat info;
    if (::fstatat(located.dir, located.name.c_str(), &info, 0) != 0) return last_error();
    if (!S_ISREG(info.st_mode)) return Status::error(Status::Kind::kNotRegular);
    constexpr int kFlags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    bool writable = true;
    UniqueFd fd(::openat(located.dir, located.name.c_str(), O_RDWR | kFlags));
    if (!fd.valid() && (errno == EACCES || errno == EPERM || errno == EROFS || errno == ETXTBSY)) {
      writable = false;
      fd.reset(::openat(located.dir, located.name.c_str(), O_RDONLY | kFlags));
    }
    if (!fd.valid()) return last_error();
    if (::fstat(fd.get(), &info) != 0) return last_error();
    if (!S_ISREG(info.st_mode)) return Status::error(Status::Kind::kNotRegular);
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      return errno == EWOULDBLOCK ? Status::error(Status::Kind::kLocked) : last_error();
    }
    return std::unique_ptr<InvoiceFile>(
        std::make_unique<PosixInvoiceFile>(path, std::move(fd), info, writable, flusher_));
  }

  bool output_is_terminal() const override { return ::isatty(STDOUT_FILENO) == 1; }

  int terminal_width() const override {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
  }

  void write_output(std::string_view text) override {
    write_all_ignoring_errors(STDOUT_FILENO, text);
  }
  void write_error(std::string_view text) override {
    write_all_ignoring_errors(STDERR_FILENO, text);
  }

 private:
  // Destroyed with the platform, after the last invoice file, so the last
  // folder is flushed at the end of the run.
  FolderFlusher flusher_;
};

}  // namespace

std::unique_ptr<Platform> make_system_platform() { return std::make_unique<PosixPlatform>(); }

void ignore_interrupting_signals() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  // Ctrl+C and Ctrl+\ must not cut a run short; a closed output pipe and an
  // exceeded file-size limit become write errors that the run reports.
  for (int signal_number : {SIGINT, SIGQUIT, SIGPIPE, SIGXFSZ}) {
    ::sigaction(signal_number, &ignore, nullptr);
  }
}

}  // namespace invoice
