// The platform layer on Windows. Only the wide (W) calls are used: paths
// and texts are UTF-8 inside the program and UTF-16 at the system, converted
// with CP_UTF8 here and nowhere else, so no name depends on the system's
// ANSI code page. Every path reaches the system as an absolute \\?\ path
// (windows_path.h).

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <bcrypt.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "driver/platform.h"
#include "driver/replacement_name.h"
#include "driver/windows_path.h"

namespace invoice {

namespace {

// The rename that replaces a file still open elsewhere (Windows 10 1809 and
// later, on NTFS). The information class and its flags are spelled out
// because the SDK headers hide them behind version checks.
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD kRenameReplaceIfExists = 0x1;
constexpr DWORD kRenamePosixSemantics = 0x2;

// A user's disk quota is used up; missing from the mingw-w64 headers.
constexpr DWORD kErrorDiskQuotaExceeded = 1295;

// Seconds from 1601-01-01, where Windows file times start, to 1970-01-01.
constexpr std::int64_t kEpochDifference = 11'644'473'600;
constexpr std::int64_t kTicksPerSecond = 10'000'000;

// Owns a handle from CreateFileW.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept
      : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(std::exchange(other.handle_, INVALID_HANDLE_VALUE));
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
    if (valid()) ::CloseHandle(handle_);
    handle_ = handle;
  }
  // Gives up ownership: the caller closes the handle.
  HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Owns a search handle from FindFirstFileExW.
class UniqueFind {
 public:
  explicit UniqueFind(HANDLE handle) : handle_(handle) {}
  UniqueFind(const UniqueFind&) = delete;
  UniqueFind& operator=(const UniqueFind&) = delete;
  ~UniqueFind() {
    if (handle_ != INVALID_HANDLE_VALUE) ::FindClose(handle_);
  }

 private:
  HANDLE handle_;
};

// Owns memory that the system allocated with LocalAlloc.
class LocalMemory {
 public:
  LocalMemory() = default;
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;
  ~LocalMemory() {
    if (memory_ != nullptr) ::LocalFree(memory_);
  }
  PSECURITY_DESCRIPTOR* out() { return &memory_; }

 private:
  PSECURITY_DESCRIPTOR memory_ = nullptr;
};

// UTF-16 to UTF-8. An unpaired surrogate, which NTFS names may hold, becomes
// U+FFFD: such a name is then reported as not found instead of being
// confused with another.
std::string narrow(std::wstring_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int size =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), size, nullptr, nullptr);
  }
  return out;
}

// UTF-8 to UTF-16; false (with the system's error set) when `text` is not
// valid UTF-8 and `strict`, else invalid bytes become U+FFFD.
bool widen(std::string_view text, std::wstring& out, bool strict) {
  out.clear();
  if (text.empty()) return true;
  const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
  const int length = static_cast<int>(text.size());
  const int size = ::MultiByteToWideChar(CP_UTF8, flags, text.data(), length, nullptr, 0);
  if (size <= 0) return false;
  out.resize(static_cast<std::size_t>(size));
  ::MultiByteToWideChar(CP_UTF8, flags, text.data(), length, out.data(), size);
  return true;
}

std::wstring widen_for_display(std::string_view text) {
  std::wstring out;
  widen(text, out, false);
  return out;
}

// The system's wording of an error code, in the user's language, without
// the line end and full stop that it comes with.
std::string describe_error(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (length > 0 && buffer != nullptr) text = narrow(std::wstring_view(buffer, length));
  if (buffer != nullptr) ::LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  if (text.empty()) text = "error " + std::to_string(code);
  return text;
}

// Translates a Windows error code into a status that names the system's
// wording; 0 gives ok.
Status windows_error(DWORD code) {
  if (code == ERROR_SUCCESS) return Status::ok();
  Status::Kind kind = Status::Kind::kOther;
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_NO_UNICODE_TRANSLATION:  // a name no file can have
      kind = Status::Kind::kNotFound;
      break;
    case ERROR_DIRECTORY:
      kind = Status::Kind::kNotAFolder;
      break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      kind = Status::Kind::kExists;
      break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      kind = Status::Kind::kLocked;
      break;
    case ERROR_WRITE_PROTECT:
      kind = Status::Kind::kReadOnly;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_INVALID_OWNER:
      kind = Status::Kind::kAccessDenied;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case kErrorDiskQuotaExceeded:
      kind = Status::Kind::kNoSpace;
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      kind = Status::Kind::kNoMemory;
      break;
    default:
      break;
  }
  return Status::error(kind, describe_error(code));
}

Status last_error() { return windows_error(::GetLastError()); }

// The absolute \\?\ form of `path` for the system.
Result<std::wstring> system_path(const std::string& path) {
  std::wstring current(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetCurrentDirectoryW(static_cast<DWORD>(current.size()), current.data());
    if (length == 0) return last_error();
    if (length < current.size()) {
      current.resize(length);
      break;
    }
    current.resize(length);
  }
  std::wstring wide;
  if (!widen(make_extended_path(path, narrow(current)), wide, true)) return last_error();
  return wide;
}

// The folder part of an absolute \\?\ path, without the final "\".
std::wstring parent_of(const std::wstring& path) {
  const std::size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? path : path.substr(0, slash);
}

FILETIME to_filetime(std::uint64_t ticks) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

std::uint64_t to_ticks(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FileTime to_file_time(const FILETIME& time) {
  const auto ticks = static_cast<std::int64_t>(to_ticks(time));
  return FileTime{ticks / kTicksPerSecond - kEpochDifference,
                  static_cast<std::int32_t>(ticks % kTicksPerSecond * 100)};
}

// A file time in the form that SetFileTime takes; nothing for a time before
// 1601, and for 1601-01-01 00:00:00 itself, whose zero value would ask the
// system to leave the time as it is.
bool from_file_time(FileTime time, FILETIME& out) {
  if (time.seconds < -kEpochDifference ||
      time.seconds >
          std::numeric_limits<std::int64_t>::max() / kTicksPerSecond - kEpochDifference) {
    return false;
  }
  const std::int64_t ticks =
      (time.seconds + kEpochDifference) * kTicksPerSecond + time.nanoseconds / 100;
  if (ticks <= 0) return false;
  out = to_filetime(static_cast<std::uint64_t>(ticks));
  return true;
}

// Writes all of `data` to `handle`.
Status write_all(HANDLE handle, std::string_view data) {
  while (!data.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
    DWORD wrote = 0;
    if (!::WriteFile(handle, data.data(), chunk, &wrote, nullptr)) return last_error();
    data.remove_prefix(wrote);
  }
  return Status::ok();
}

bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// Opens `path` for its attributes only, which no share mode of another
// handle refuses, following links.
UniqueHandle open_for_attributes(const std::wstring& path, DWORD access = FILE_READ_ATTRIBUTES) {
  return UniqueHandle(::CreateFileW(path.c_str(), access,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// True when the file that `path` names now is the file described by `info`.
bool path_names(const std::wstring& path, const BY_HANDLE_FILE_INFORMATION& info) {
  const UniqueHandle handle = open_for_attributes(path);
  BY_HANDLE_FILE_INFORMATION now;
  return handle.valid() && ::GetFileInformationByHandle(handle.get(), &now) && same_file(now, info);
}

// What a link points to: a file, a folder, or kOther when it points
// nowhere or to something else.
DirectoryEntry::Type type_of_target(const std::wstring& path) {
  const UniqueHandle target(::CreateFileW(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!target.valid() || ::GetFileType(target.get()) != FILE_TYPE_DISK ||
      !::GetFileInformationByHandle(target.get(), &info)) {
    return DirectoryEntry::Type::kOther;
  }
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? DirectoryEntry::Type::kFolder
                                                                 : DirectoryEntry::Type::kFile;
}

std::wstring join_wide(const std::wstring& folder, std::wstring_view name) {
  std::wstring path = folder;
  if (!path.empty() && path.back() != L'\\') path += L'\\';
  path += name;
  return path;
}

// Marks an open file for deletion when its last handle closes; the handle
// must have been opened with DELETE access.
bool delete_on_close(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

std::string make_replacement_name() {
  std::array<unsigned char, kReplacementRandomLength> random;
  if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, random.data(), static_cast<ULONG>(random.size()),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    // Without the system's generator, a mix of clock and process id still
    // differs between attempts; CREATE_NEW catches the rest.
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    std::uint64_t mix =
        static_cast<std::uint64_t>(now.QuadPart) * 6364136223846793005u + ::GetCurrentProcessId();
    for (auto& byte : random) {
      mix = mix * 6364136223846793005u + 1442695040888963407u;
      byte = static_cast<unsigned char>(mix >> 56);
    }
  }
  return format_replacement_name(random);
}

// The security identifiers of the user running this program and of the
// default owner of the files it creates (for an administrator, possibly
// the Administrators group).
bool is_own_sid(PSID owner) {
  HANDLE raw_token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw_token)) return false;
  const UniqueHandle token(raw_token);
  for (TOKEN_INFORMATION_CLASS which : {TokenUser, TokenOwner}) {
    DWORD size = 0;
    ::GetTokenInformation(token.get(), which, nullptr, 0, &size);
    std::string buffer(size, '\0');
    if (size == 0 || !::GetTokenInformation(token.get(), which, buffer.data(), size, &size)) {
      continue;
    }
    const PSID sid = which == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                        : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
    if (::EqualSid(sid, owner)) return true;
  }
  return false;
}

class WindowsInputFile final : public InputFile {
 public:
  explicit WindowsInputFile(UniqueHandle handle) : handle_(std::move(handle)) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    DWORD got = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!::ReadFile(handle_.get(), buffer, chunk, &got, nullptr)) return last_error();
    return static_cast<std::size_t>(got);
  }

 private:
  UniqueHandle handle_;
};

class WindowsOutputFile final : public OutputFile {
 public:
  explicit WindowsOutputFile(UniqueHandle handle) : handle_(std::move(handle)) {}
  Status write(std::string_view data) override { return write_all(handle_.get(), data); }
  Status close() override { return ::CloseHandle(handle_.release()) ? Status::ok() : last_error(); }

 private:
  UniqueHandle handle_;
};

// The attributes that a file's basic information may carry over to another.
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

class WindowsInvoiceFile final : public InvoiceFile {
 public:
  // `path` is the \\?\ path the file was opened by; `is_link` tells that
  // it names a symbolic link to the file.
  WindowsInvoiceFile(std::wstring path, bool is_link, UniqueHandle handle,
                     const BY_HANDLE_FILE_INFORMATION& info, bool writable)
      : path_(std::move(path)),
        is_link_(is_link),
        handle_(std::move(handle)),
        info_(info),
        writable_(writable) {}

  bool is_writable() const override { return writable_; }

  Status load(std::string& content) override {
    const std::uint64_t size =
        (static_cast<std::uint64_t>(info_.nFileSizeHigh) << 32) | info_.nFileSizeLow;
    if (size > content.max_size()) return Status::error(Status::Kind::kNoMemory);
    try {
      content.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
      return Status::error(Status::Kind::kNoMemory);
    } catch (const std::length_error&) {
      return Status::error(Status::Kind::kNoMemory);
    }
    std::uint64_t have = 0;
    // One byte more than the size, to notice a file that grew.
    for (;;) {
      char extra = 0;
      char* into = have < size ? content.data() + have : &extra;
      const DWORD chunk =
          have < size ? static_cast<DWORD>(std::min<std::uint64_t>(size - have, 1u << 30)) : 1;
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(have);
      at.OffsetHigh = static_cast<DWORD>(have >> 32);
      DWORD got = 0;
      if (!::ReadFile(handle_.get(), into, chunk, &got, &at) &&
          ::GetLastError() != ERROR_HANDLE_EOF) {
        return last_error();
      }
      if (have == size) {
        return got == 0 ? Status::ok() : Status::error(Status::Kind::kChanged);
      }
      // A file that shrank since it was opened was changed by another
      // program: never convert, let alone write back, a partial text.
      if (got == 0) return Status::error(Status::Kind::kChanged);
      have += got;
    }
  }

  Status replace(std::string_view content) override {
    if (!handle_.valid()) return windows_error(ERROR_SHARING_VIOLATION);
    // Through a link, the file really held is replaced, so that the link
    // stays a link.
    auto target = is_link_ ? final_path() : Result<std::wstring>(path_);
    if (!target.is_ok()) return target.status;
    const std::wstring folder = parent_of(target.value);
    std::wstring temporary;
    UniqueHandle replacement;
    for (int attempt = 0; attempt < 100 && !replacement.valid(); ++attempt) {
      std::wstring name;
      widen(make_replacement_name(), name, true);
      temporary = folder + L"\\" + name;
      // No sharing but deletion: a later run's leftover clean-up cannot
      // open it while this one writes it.
      replacement.reset(::CreateFileW(
          temporary.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC,
          FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!replacement.valid() && ::GetLastError() != ERROR_FILE_EXISTS) return last_error();
    }
    if (!replacement.valid()) return windows_error(ERROR_FILE_EXISTS);

    Status status = fill_replacement(replacement.get(), content);
    BY_HANDLE_FILE_INFORMATION replacement_info{};
    if (status.is_ok() && !::GetFileInformationByHandle(replacement.get(), &replacement_info)) {
      status = last_error();
    }
    // Checked again just before the rename: another program that replaced
    // the file meanwhile keeps its version.
    if (status.is_ok() && !path_names(target.value, info_)) {
      status = Status::error(Status::Kind::kChanged);
    }
    if (!status.is_ok()) {
      delete_on_close(replacement.get());
      return status;
    }
    if (rename_over(replacement.get(), target.value)) {
      // The new file takes the place, and the lock, of the old one.
      handle_ = std::move(replacement);
      info_ = replacement_info;
      return Status::ok();
    }
    const DWORD rename_error = ::GetLastError();
    if (rename_error != ERROR_INVALID_PARAMETER && rename_error != ERROR_NOT_SUPPORTED &&
        rename_error != ERROR_INVALID_FUNCTION) {
      delete_on_close(replacement.get());
      return windows_error(rename_error);
    }
    return replace_with_replacefile(std::move(replacement), temporary, target.value,
                                    replacement_info);
  }

 private:
  // The path of the file that the handle holds, in the \\?\ form.
  Result<std::wstring> final_path() const {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
      const DWORD length = ::GetFinalPathNameByHandleW(
          handle_.get(), path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
      if (length == 0) return last_error();
      if (length < path.size()) {
        path.resize(length);
        return path;
      }
      path.resize(length);
    }
  }

  // Writes the new file, gives it the original's creation, access and write
  // times, attributes and access control list, and flushes it to disk.
  Status fill_replacement(HANDLE replacement, std::string_view content) const {
    if (Status status = write_all(replacement, content); !status.is_ok()) return status;
    if (Status status = copy_security(replacement); !status.is_ok()) return status;
    FILE_BASIC_INFO basic{};
    basic.CreationTime.QuadPart = static_cast<LONGLONG>(to_ticks(info_.ftCreationTime));
    basic.LastAccessTime.QuadPart = static_cast<LONGLONG>(to_ticks(info_.ftLastAccessTime));
    basic.LastWriteTime.QuadPart = static_cast<LONGLONG>(to_ticks(info_.ftLastWriteTime));
    basic.ChangeTime.QuadPart = 0;  // left to the system
    basic.FileAttributes = info_.dwFileAttributes & kCopiedAttributes;
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    // The times travel with the content, so that a run killed before it
    // restores the time stamp leaves no invoice looking newly modified.
    if (!::SetFileInformationByHandle(replacement, FileBasicInfo, &basic, sizeof basic)) {
      return last_error();
    }
    if (!::FlushFileBuffers(replacement)) return last_error();
    return Status::ok();
  }

  // Gives the new file the original's own access control entries (the
  // inherited ones come from the folder, as they did for the original). A
  // file owned by someone other than the owner this run gives its new files
  // is not replaced: the replacement would take it over.
  Status copy_security(HANDLE replacement) const {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    LocalMemory original;
    DWORD error = ::GetSecurityInfo(handle_.get(), SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                    nullptr, &dacl, nullptr, original.out());
    // A file system without security (FAT) has nothing to carry over.
    if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION) return Status::ok();
    if (error != ERROR_SUCCESS) return windows_error(error);
    PSID new_owner = nullptr;
    LocalMemory created;
    error = ::GetSecurityInfo(replacement, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &new_owner,
                              nullptr, nullptr, nullptr, created.out());
    if (error != ERROR_SUCCESS) return windows_error(error);
    if (owner != nullptr && new_owner != nullptr && !::EqualSid(owner, new_owner)) {
      return windows_error(ERROR_INVALID_OWNER);
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(*original.out(), &control, &revision);
    const SECURITY_INFORMATION what =
        DACL_SECURITY_INFORMATION |
        ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                            : UNPROTECTED_DACL_SECURITY_INFORMATION);
    return windows_error(
        ::SetSecurityInfo(replacement, SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr));
  }

  // Renames the open `replacement` over `target` while this object still
  // holds the target open: the POSIX-semantics rename, which Windows offers
  // on NTFS since Windows 10 1809. False with the system's error otherwise.
  static bool rename_over(HANDLE replacement, const std::wstring& target) {
    const std::size_t name_bytes = target.size() * sizeof(wchar_t);
    std::string buffer(sizeof(FILE_RENAME_INFO) + name_bytes, '\0');
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->Flags = kRenameReplaceIfExists | kRenamePosixSemantics;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(name_bytes);
    std::memcpy(rename->FileName, target.data(), name_bytes);
    return ::SetFileInformationByHandle(replacement, kFileRenameInfoEx, rename,
                                        static_cast<DWORD>(buffer.size())) != 0;
  }

  // Where that rename is not offered: ReplaceFileW, which keeps the
  // original's attributes, security and streams, and which needs the new
  // file closed. The original stays held meanwhile, so no other program can
  // open the invoice in between; afterwards the new file is opened and
  // locked again.
  Status replace_with_replacefile(UniqueHandle replacement, const std::wstring& temporary,
                                  const std::wstring& target,
                                  const BY_HANDLE_FILE_INFORMATION& replacement_info) {
    replacement.reset();
    if (!::ReplaceFileW(target.c_str(), temporary.c_str(), nullptr, 0, nullptr, nullptr)) {
      const Status status = last_error();
      // Without a backup name, a failed ReplaceFileW leaves both files
      // under their own names.
      ::DeleteFileW(temporary.c_str());
      return status;
    }
    handle_.reset();
    UniqueHandle reopened(
        ::CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL,
                      FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (reopened.valid() && ::GetFileInformationByHandle(reopened.get(), &info) &&
        same_file(info, replacement_info)) {
      handle_ = std::move(reopened);
      info_ = info;
    }
    // Replaced either way; without the lock, a further replace fails as
    // locked instead of overwriting what another program may have done.
    return Status::ok();
  }

  std::wstring path_;
  bool is_link_;
  UniqueHandle handle_;
  BY_HANDLE_FILE_INFORMATION info_;
  bool writable_;
};

// The console of standard output and standard error: UTF-16 text through
// WriteConsoleW when the handle is a console, the bytes unchanged otherwise.
class ConsoleStream {
 public:
  explicit ConsoleStream(DWORD which) : handle_(::GetStdHandle(which)) {
    DWORD mode = 0;
    console_ = handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE &&
               ::GetConsoleMode(handle_, &mode) != 0;
  }

  HANDLE handle() const { return handle_; }
  bool is_console() const { return console_; }

  void write(std::string_view text) const {
    if (handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE) return;
    if (console_) {
      const std::wstring wide = widen_for_display(text);
      std::size_t done = 0;
      while (done < wide.size()) {
        DWORD wrote = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, 8192));
        if (!::WriteConsoleW(handle_, wide.data() + done, chunk, &wrote, nullptr) || wrote == 0) {
          return;
        }
        done += wrote;
      }
      return;
    }
    (void)write_all(handle_, text);
  }

 private:
  HANDLE handle_;
  bool console_ = false;
};

// Light grey on black, as the report has always been shown.
constexpr WORD kReportColours = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;

// Sets the console of standard output up for the report: processed output
// that wraps at the end of a row, in light grey on black, and puts the
// previous modes and colours back when the run ends.
class ConsoleSetup {
 public:
  explicit ConsoleSetup(const ConsoleStream& output) : output_(output) {
    if (!output_.is_console()) return;
    saved_mode_ = ::GetConsoleMode(output_.handle(), &mode_) != 0;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    saved_colours_ = ::GetConsoleScreenBufferInfo(output_.handle(), &info) != 0;
    colours_ = info.wAttributes;
    ::SetConsoleMode(output_.handle(), ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT);
    ::SetConsoleTextAttribute(output_.handle(), kReportColours);
  }
  ConsoleSetup(const ConsoleSetup&) = delete;
  ConsoleSetup& operator=(const ConsoleSetup&) = delete;
  ~ConsoleSetup() {
    if (saved_colours_) ::SetConsoleTextAttribute(output_.handle(), colours_);
    if (saved_mode_) ::SetConsoleMode(output_.handle(), mode_);
  }

 private:
  const ConsoleStream& output_;
  bool saved_mode_ = false;
  bool saved_colours_ = false;
  DWORD mode_ = 0;
  WORD colours_ = 0;
};

class WindowsPlatform final : public Platform {
 public:
  WindowsPlatform()
      : output_(STD_OUTPUT_HANDLE), error_(STD_ERROR_HANDLE), console_setup_(output_) {
    // No "insert a disk" or similar box may stop an unattended run.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  }

  std::optional<std::string> get_environment(const char* name) const override {
    std::wstring wide_name;
    if (!widen(name, wide_name, true)) return std::nullopt;
    std::wstring value(256, L'\0');
    for (;;) {
      ::SetLastError(ERROR_SUCCESS);
      const DWORD length = ::GetEnvironmentVariableW(wide_name.c_str(), value.data(),
                                                     static_cast<DWORD>(value.size()));
      if (length == 0) {
        if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        return std::string();
      }
      if (length < value.size()) {
        value.resize(length);
        return narrow(value);
      }
      value.resize(length);
    }
  }

  std::uint32_t milliseconds_since_midnight() const override {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return now.wHour * 3600000u + now.wMinute * 60000u + now.wSecond * 1000u + now.wMilliseconds;
  }

  Result<std::unique_ptr<OutputFile>> create_new_file(const std::string& path) override {
    auto wide = system_path(path);
    if (!wide.is_ok()) return wide.status;
    UniqueHandle handle(::CreateFileW(wide.value.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.valid()) return last_error();
    return std::unique_ptr<OutputFile>(std::make_unique<WindowsOutputFile>(std::move(handle)));
  }

  Result<std::unique_ptr<InputFile>> open_input_file(const std::string& path) override {
    auto wide = system_path(path);
    if (!wide.is_ok()) return wide.status;
    UniqueHandle handle(::CreateFileW(wide.value.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!handle.valid()) return last_error();
    if (::GetFileType(handle.get()) != FILE_TYPE_DISK) {
      return Status::error(Status::Kind::kNotRegular);
    }
    return std::unique_ptr<InputFile>(std::make_unique<WindowsInputFile>(std::move(handle)));
  }

  Status remove_file(const std::string& path) override {
    auto wide = system_path(path);
    if (!wide.is_ok()) return wide.status;
    if (!::DeleteFileW(wide.value.c_str())) return last_error();
    return Status::ok();
  }

  Status remove_leftover_replacement(const std::string& path) override {
    auto wide = system_path(path);
    if (!wide.is_ok()) return wide.status;
    // Looked at first, without following a link: only a plain file can be
    // a leftover, and a folder would not open as a file anyway.
    const DWORD attributes = ::GetFileAttributesW(wide.value.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return last_error();
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
      return Status::error(Status::Kind::kNotRegular);
    }
    // Opened without sharing: a run still writing this file holds its own
    // handle until it has renamed it over an invoice, so the open fails.
    // The link itself, never what it points to.
    UniqueHandle handle(::CreateFileW(wide.value.c_str(), GENERIC_READ | DELETE | READ_CONTROL, 0,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
    if (!handle.valid()) return last_error();
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle.get(), &info)) return last_error();
    if (::GetFileType(handle.get()) != FILE_TYPE_DISK ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
      return Status::error(Status::Kind::kNotRegular);
    }
    PSID owner = nullptr;
    LocalMemory descriptor;
    const DWORD error = ::GetSecurityInfo(handle.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                          &owner, nullptr, nullptr, nullptr, descriptor.out());
    const bool owned = error == ERROR_NOT_SUPPORTED ||
                       (error == ERROR_SUCCESS && owner != nullptr && is_own_sid(owner));
    if (info.nNumberOfLinks != 1 || !owned) return windows_error(ERROR_ACCESS_DENIED);
    if (!delete_on_close(handle.get())) return last_error();
    return Status::ok();
  }

  Result<std::vector<DirectoryEntry>> list_directory(const std::string& path) override {
    auto wide = system_path(path);
    if (!wide.is_ok()) return wide.status;
    const DWORD attributes = ::GetFileAttributesW(wide.value.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return last_error();
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return windows_error(ERROR_DIRECTORY);
    std::wstring pattern = wide.value;
    if (pattern.back() != L'\\') pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW found;
    // Every name, filtered by the caller: the system's "*.XML" would also
    // match "a.xmlx" and short 8.3 names.
    const HANDLE raw =
        ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                           FIND_FIRST_EX_LARGE_FETCH);
    std::vector<DirectoryEntry> entries;
    if (raw == INVALID_HANDLE_VALUE) {
      if (::GetLastError() == ERROR_FILE_NOT_FOUND) return entries;  // not even "."
      return last_error();
    }
    const UniqueFind search(raw);
    const std::wstring& wide_folder = wide.value;
    do {
      const std::wstring_view name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      // Hidden and system entries are left out: like names that begin with
      // ".", they are not the user's documents. Those names are left to the
      // caller, which knows its own replacement files among them (Wine marks
      // them all hidden).
      if ((found.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0 &&
          name.front() != L'.') {
        continue;
      }
      DirectoryEntry entry;
      entry.name = narrow(name);
      entry.type = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                       ? DirectoryEntry::Type::kFolder
                       : DirectoryEntry::Type::kFile;
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // Symbolic links and junctions are reported as what they point to
        // and never entered; other reparse points (deduplicated or cloud
        // files) are ordinary files to their users.
        entry.is_link = found.dwReserved0 == IO_REPARSE_TAG_SYMLINK ||
                        found.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT ||
                        entry.type == DirectoryEntry::Type::kFolder;
        if (entry.is_link) entry.type = type_of_target(join_wide(wide_folder, name));
      }
      entries.push_back(std::move(entry));
    } while (::FindNextFileW(raw, &found));
    if (::GetLastError() != ERROR_NO_MORE_FILES) return last_error();
    return entries;
  }

  Result<FileTime> read_file_time(const std::string& path) override {
    auto wide = system_path(path);
    if (!wide.is_ok()) return wide.status;
    const UniqueHandle handle = open_for_attributes(wide.value);
    if (!handle.valid()) return last_error();
    FILETIME written{};
    if (!::GetFileTime(handle.get(), nullptr, nullptr, &written)) return last_error();
    return to_file_time(written);
  }

  // Sets the creation time too: on Windows all three times of a converted
  // invoice become its captured last-write time.
  Status set_file_time(const std::string& path, FileTime time) override {
    FILETIME when{};
    if (!from_file_time(time, when)) return windows_error(ERROR_INVALID_PARAMETER);
    auto wide = system_path(path);
    if (!wide.is_ok()) return wide.status;
    const UniqueHandle handle = open_for_attributes(wide.value, FILE_WRITE_ATTRIBUTES);
    if (!handle.valid()) return last_error();
    if (!::SetFileTime(handle.get(), &when, &when, &when)) return last_error();
    return Status::ok();
  }

  Result<std::unique_ptr<InvoiceFile>> open_invoice_file(const std::string& path) override {
    auto wide = system_path(path);
    if (!wide.is_ok()) return wide.status;
    // Looked at before opening: a folder opens only by request, and is
    // better named for what it is than refused.
    const DWORD attributes = ::GetFileAttributesW(wide.value.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return last_error();
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
      return Status::error(Status::Kind::kNotRegular);
    // No sharing but deletion from open to close keeps every other program
    // out; deletion is what the replacement needs.
    constexpr DWORD kShare = FILE_SHARE_DELETE;
    bool writable = true;
    UniqueHandle handle(::CreateFileW(wide.value.c_str(),
                                      GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL, kShare,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.valid() && ::GetLastError() == ERROR_ACCESS_DENIED) {
      writable = false;
      handle.reset(::CreateFileW(wide.value.c_str(), GENERIC_READ | READ_CONTROL, kShare, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    if (!handle.valid()) return last_error();
    if (::GetFileType(handle.get()) != FILE_TYPE_DISK) {
      return Status::error(Status::Kind::kNotRegular);
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle.get(), &info)) return last_error();
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return Status::error(Status::Kind::kNotRegular);
    }
    // The read-only attribute marks a file that its owner wants left alone,
    // for an administrator too.
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) writable = false;
    return std::unique_ptr<InvoiceFile>(std::make_unique<WindowsInvoiceFile>(
        wide.value, (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0, std::move(handle), info,
        writable));
  }

  bool output_is_terminal() const override { return output_.is_console(); }

  int terminal_width() const override {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (output_.is_console() && ::GetConsoleScreenBufferInfo(output_.handle(), &info) &&
        info.dwSize.X > 0) {
      return info.dwSize.X;
    }
    return 80;
  }

  void write_output(std::string_view text) override { output_.write(text); }
  void write_error(std::string_view text) override { error_.write(text); }

 private:
  ConsoleStream output_;
  ConsoleStream error_;
  ConsoleSetup console_setup_;
};

// Ctrl+C and Ctrl+Break are taken as handled, so they do not end the run;
// closing the console still ends it, as the system does after any handler.
BOOL WINAPI ignore_break(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

}  // namespace

std::unique_ptr<Platform> make_system_platform() { return std::make_unique<WindowsPlatform>(); }

void ignore_interrupting_signals() { ::SetConsoleCtrlHandler(ignore_break, TRUE); }

}  // namespace invoice
