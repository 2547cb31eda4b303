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
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <thread>
#include <utility>

#include "platform/platform.h"
#include "platform/read_buffer.h"
#include "platform/replacement_name.h"
#include "platform/replacement_policy.h"
#include "platform/staging_invoice_file.h"
#include "platform/windows_path.h"

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

// UTF-8 to UTF-16 with `flags` of MultiByteToWideChar; nothing (with the
// system's error set) when the conversion fails.
std::optional<std::wstring> convert_to_wide(std::string_view text, DWORD flags) {
  std::wstring out;
  if (text.empty()) return out;
  const int length = static_cast<int>(text.size());
  const int size = ::MultiByteToWideChar(CP_UTF8, flags, text.data(), length, nullptr, 0);
  if (size <= 0) return std::nullopt;
  out.resize(static_cast<std::size_t>(size));
  ::MultiByteToWideChar(CP_UTF8, flags, text.data(), length, out.data(), size);
  return out;
}

// UTF-8 to UTF-16, exactly: nothing (with the system's error set) when
// `text` is not valid UTF-8, for a name that must reach the very file meant.
std::optional<std::wstring> widen(std::string_view text) {
  return convert_to_wide(text, MB_ERR_INVALID_CHARS);
}

// UTF-8 to UTF-16 where invalid bytes become U+FFFD: for text that is only
// shown or compared, never used to reach a file.
std::wstring widen_lossy(std::string_view text) {
  return convert_to_wide(text, 0).value_or(std::wstring());
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
  std::optional<std::wstring> wide = widen(make_extended_path(path, narrow(current)));
  if (!wide) return last_error();
  return std::move(*wide);
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

// A file time as the system gave it.
FileTime to_file_time(const FILETIME& time) {
  const auto ticks = static_cast<std::int64_t>(to_ticks(time));
  return {ticks / kTicksPerSecond - kEpochDifference,
          static_cast<std::int32_t>(ticks % kTicksPerSecond * 100)};
}

// A time in the form FILE_BASIC_INFO takes it; 0, which leaves that time as
// the system sets it, for one it cannot hold, as for a zero time.
LONGLONG basic_info_time(FileTime time) {
  FILETIME converted;
  return from_file_time(time, converted) ? static_cast<LONGLONG>(to_ticks(converted)) : 0;
}

// The times an open file's information gives, the creation time included.
FileTimes times_of(const BY_HANDLE_FILE_INFORMATION& info) {
  return {to_file_time(info.ftLastAccessTime), to_file_time(info.ftLastWriteTime),
          to_file_time(info.ftCreationTime)};
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
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    return fallback_replacement_name(static_cast<std::uint64_t>(now.QuadPart),
                                     ::GetCurrentProcessId());
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

// Whether the running user may write the file at `path`, asked of the
// system itself (the read-only attribute, the access control list, the
// user's privileges) by an open that is closed at once and writes nothing.
// kLocked when another program holds the file without sharing its writing.
Result<bool> may_write(const std::wstring& path) {
  const UniqueHandle probe(::CreateFileW(path.c_str(), FILE_WRITE_DATA,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (probe.valid()) return true;
  const DWORD error = ::GetLastError();
  if (error == ERROR_ACCESS_DENIED) return false;
  return windows_error(error);
}

// The owner of an open file or link; null where the file system keeps none.
PSID owner_of(HANDLE handle, LocalMemory& descriptor) {
  PSID owner = nullptr;
  if (::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, descriptor.out()) != ERROR_SUCCESS) {
    return nullptr;
  }
  return owner;
}

// The path that the system resolves an open file or folder to, in the
// \\?\ form: links, junctions, SUBST drives, 8.3 names and mapped drives
// resolved.
Result<std::wstring> final_path_of(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetFinalPathNameByHandleW(
        handle, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
    if (length == 0) return last_error();
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(length);
  }
}

// The volume's serial number and the path within the volume of an open
// file or folder, resolved as the system opened it; what stands in for the
// final path where the system gives none (Wine, for a path longer than
// MAX_PATH).
Result<std::wstring> volume_path_of(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) return last_error();
  std::string buffer(sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t), '\0');
  if (!::GetFileInformationByHandleEx(handle, FileNameInfo, buffer.data(),
                                      static_cast<DWORD>(buffer.size()))) {
    return last_error();
  }
  const auto* name = reinterpret_cast<const FILE_NAME_INFO*>(buffer.data());
  return std::to_wstring(info.dwVolumeSerialNumber) + L":" +
         std::wstring(name->FileName, name->FileNameLength / sizeof(wchar_t));
}

bool equal_ignoring_case(std::wstring_view a, std::wstring_view b) {
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Whether the file open as `handle`, by the \\?\ path `path`, was reached
// through a link: its final path is not the final path of the folder that
// `path` names it in, opened the same way, plus its name, ignoring letter
// case. This does not rest on the reparse attribute, which a Unix symbolic
// link seen through Wine lacks; nor on the path as typed, which a mapped
// drive, a share, a SUBST drive or a junction above the file makes differ
// from the final path of every file.
Result<bool> reached_through_link(const std::wstring& path, HANDLE handle) {
  const std::size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos) return windows_error(ERROR_INVALID_NAME);
  std::wstring parent = path.substr(0, slash);
  // "\\?\C:" alone names the volume, not its root folder.
  if (!parent.empty() && parent.back() == L':') parent += L'\\';
  const UniqueHandle folder(::CreateFileW(
      parent.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder.valid()) return last_error();
  auto file = final_path_of(handle);
  auto expected = final_path_of(folder.get());
  if (!file.is_ok() || !expected.is_ok()) {
    // Both the same way, so that they compare.
    file = volume_path_of(handle);
    if (!file.is_ok()) return file.status;
    expected = volume_path_of(folder.get());
    if (!expected.is_ok()) return expected.status;
  }
  return !equal_ignoring_case(file.value,
                              join_wide(expected.value, std::wstring_view(path).substr(slash + 1)));
}

// kNotRegular unless `handle`, opened by `path` without following a reparse
// point, holds a file on disk reached by its own name: no folder, device or
// link (a Unix symbolic link seen through Wine shows no reparse attribute
// and opens as its target). `info` gets the file's information.
Status check_plain_file(const std::wstring& path, HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
  if (!::GetFileInformationByHandle(handle, &info)) return last_error();
  if (::GetFileType(handle) != FILE_TYPE_DISK ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return Status::error(Status::Kind::kNotRegular);
  }
  auto through = reached_through_link(path, handle);
  if (!through.is_ok()) return through.status;
  return through.value ? Status::error(Status::Kind::kNotRegular) : Status::ok();
}

// Whether `path` (with `attributes`, not followed) reaches the open
// `target` through a symbolic link. A link is followed only when it belongs
// to the running user or to the owner of what it points to: kForeignLink
// otherwise.
Result<bool> follows_link(const std::wstring& path, DWORD attributes, HANDLE target) {
  auto through = reached_through_link(path, target);
  if (!through.is_ok()) return through.status;
  if (!through.value && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
  const UniqueHandle link(
      ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!link.valid()) return last_error();
  if (!through.value) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(link.get(), FileAttributeTagInfo, &tag, sizeof tag)) {
      return last_error();
    }
    // Deduplicated or cloud files are reparse points too, and plain files
    // to their users.
    if (tag.ReparseTag != IO_REPARSE_TAG_SYMLINK) return false;
  }
  LocalMemory link_descriptor, target_descriptor;
  const PSID link_owner = owner_of(link.get(), link_descriptor);
  const PSID target_owner = owner_of(target, target_descriptor);
  if (link_owner == nullptr || is_own_sid(link_owner) ||
      (target_owner != nullptr && ::EqualSid(link_owner, target_owner))) {
    return true;
  }
  return Status::error(Status::Kind::kForeignLink);
}

// What a file's security descriptor sets for itself, as bytes that compare
// exactly: its owner, whether its access list is protected from inheriting,
// and its explicit access entries in order; the inherited entries apart.
struct OwnSecurity {
  std::string owner;  // empty where the file system keeps none
  bool is_protected = false;
  std::vector<std::string> entries;
  std::vector<std::string> inherited;
};

// Reads what the security descriptor of `handle` sets; the system's error
// code, ERROR_SUCCESS when read.
DWORD read_own_security(HANDLE handle, OwnSecurity& out) {
  out = {};
  PSID owner = nullptr;
  PACL dacl = nullptr;
  LocalMemory descriptor;
  const DWORD error = ::GetSecurityInfo(handle, SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        &owner, nullptr, &dacl, nullptr, descriptor.out());
  if (error != ERROR_SUCCESS) return error;
  if (owner != nullptr && ::IsValidSid(owner)) {
    out.owner.assign(static_cast<const char*>(owner), ::GetLengthSid(owner));
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (::GetSecurityDescriptorControl(*descriptor.out(), &control, &revision)) {
    out.is_protected = (control & SE_DACL_PROTECTED) != 0;
  }
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) return ::GetLastError();
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    std::string bytes(static_cast<const char*>(ace), header->AceSize);
    ((header->AceFlags & INHERITED_ACE) != 0 ? out.inherited : out.entries)
        .push_back(std::move(bytes));
  }
  return ERROR_SUCCESS;
}

// Whether `owner` is the Administrators group or the system itself, whose
// links are an administrator's own choice.
bool is_administrator_sid(PSID owner) {
  return ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
         ::IsWellKnownSid(owner, WinLocalSystemSid);
}

// The folder link rule: `path`, when it is a symbolic link or a junction,
// is followed only when it belongs to an administrator, to the running user
// or to the owner of what it points to.
Status check_folder_link_of(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return Status::ok();
  }
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const UniqueHandle link(::CreateFileW(
      path.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL, kShareAll, nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!link.valid()) return last_error();
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!::GetFileInformationByHandleEx(link.get(), FileAttributeTagInfo, &tag, sizeof tag)) {
    return last_error();
  }
  if (tag.ReparseTag != IO_REPARSE_TAG_SYMLINK && tag.ReparseTag != IO_REPARSE_TAG_MOUNT_POINT) {
    return Status::ok();
  }
  // A link to nothing is told by the listing.
  const UniqueHandle target(::CreateFileW(path.c_str(), READ_CONTROL, kShareAll, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!target.valid()) return Status::ok();
  LocalMemory link_descriptor, target_descriptor;
  const PSID link_owner = owner_of(link.get(), link_descriptor);
  const PSID target_owner = owner_of(target.get(), target_descriptor);
  if (link_owner == nullptr || is_own_sid(link_owner) || is_administrator_sid(link_owner) ||
      (target_owner != nullptr && ::EqualSid(link_owner, target_owner))) {
    return Status::ok();
  }
  return Status::error(Status::Kind::kForeignLink);
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
  Result<FileTimes> times() override {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle_.get(), &info)) return last_error();
    return times_of(info);
  }

 private:
  UniqueHandle handle_;
};

// Flushes `handles` together; defined with the other flushes below.
DWORD flush_together(const std::vector<HANDLE>& handles);

// A new file (the file list), held from creation to removal with deletion
// as the only sharing: no other program reads or writes it meanwhile. Or a
// file opened for appending (the manifest), which others may read meanwhile
// but not write.
class WindowsOutputFile final : public OutputFile {
 public:
  WindowsOutputFile(std::wstring path, UniqueHandle handle)
      : path_(std::move(path)), handle_(std::move(handle)) {}

  Status write(std::string_view data) override { return write_all(handle_.get(), data); }
  Status flush() override { return windows_error(flush_together({handle_.get()})); }

  Result<std::unique_ptr<InputFile>> read_back() override {
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(handle_.get(), start, nullptr, FILE_BEGIN)) return last_error();
    HANDLE reader = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), handle_.get(), ::GetCurrentProcess(), &reader, 0,
                           FALSE, DUPLICATE_SAME_ACCESS)) {
      return last_error();
    }
    return std::unique_ptr<InputFile>(std::make_unique<WindowsInputFile>(UniqueHandle(reader)));
  }

  Status remove() override {
    BY_HANDLE_FILE_INFORMATION ours{};
    if (!::GetFileInformationByHandle(handle_.get(), &ours)) return last_error();
    const UniqueHandle named = open_for_attributes(path_);
    if (!named.valid()) return last_error();
    BY_HANDLE_FILE_INFORMATION now{};
    if (!::GetFileInformationByHandle(named.get(), &now)) return last_error();
    if (!same_file(now, ours)) return Status::error(Status::Kind::kChanged);
    // Deleted through this handle, so it is this file whatever the name
    // names by now; gone when the last handle to it closes, which this one
    // does here.
    if (!delete_on_close(handle_.get())) return last_error();
    handle_.reset();
    return Status::ok();
  }

 private:
  std::wstring path_;
  UniqueHandle handle_;
};

// The attributes that a file's basic information may carry over to another.
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// How an invoice is held: read, never written (a change reaches the disk
// only as a whole new file), its last-access time kept, its security read,
// and moved aside by the replacement.
constexpr DWORD kInvoiceAccess = FILE_GENERIC_READ | FILE_WRITE_ATTRIBUTES | DELETE | READ_CONTROL;

// The time that, given to SetFileTime, stops the system from updating that
// time for the rest of the handle's life.
constexpr FILETIME kKeepTime{0xFFFFFFFF, 0xFFFFFFFF};

// The size and last-write time of a file: what tells that its content was
// changed.
bool same_content_marks(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.nFileSizeHigh == b.nFileSizeHigh && a.nFileSizeLow == b.nFileSizeLow &&
         to_ticks(a.ftLastWriteTime) == to_ticks(b.ftLastWriteTime);
}

// Copies every named data stream of `original` (the \\?\ path of a file)
// to the same stream of `replacement`, such as the mark of a file that came
// from the internet. A file system without named streams has none to copy.
Status copy_named_streams(const std::wstring& original, const std::wstring& replacement) {
  WIN32_FIND_STREAM_DATA stream;
  const HANDLE found = ::FindFirstStreamW(original.c_str(), FindStreamInfoStandard, &stream, 0);
  if (found == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_HANDLE_EOF || error == ERROR_INVALID_PARAMETER ||
        error == ERROR_NOT_SUPPORTED || error == ERROR_CALL_NOT_IMPLEMENTED ||
        error == ERROR_INVALID_FUNCTION) {
      return Status::ok();
    }
    return windows_error(error);
  }
  const UniqueFind search(found);
  do {
    const std::wstring_view name = stream.cStreamName;  // ":name:$DATA"
    if (name == L"::$DATA") continue;
    // Named streams are shared apart from the file's own data, so the
    // original's lock does not keep them from being read.
    const UniqueHandle from(::CreateFileW((original + std::wstring(name)).c_str(), GENERIC_READ,
                                          FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    const UniqueHandle to(::CreateFileW((replacement + std::wstring(name)).c_str(), GENERIC_WRITE,
                                        0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!from.valid() || !to.valid()) return Status::error(Status::Kind::kAttributesNotKept);
    std::array<char, 65536> buffer;
    for (;;) {
      DWORD got = 0;
      if (!::ReadFile(from.get(), buffer.data(), buffer.size(), &got, nullptr)) {
        return Status::error(Status::Kind::kAttributesNotKept);
      }
      if (got == 0) break;
      if (!write_all(to.get(), std::string_view(buffer.data(), got)).is_ok()) {
        return Status::error(Status::Kind::kAttributesNotKept);
      }
    }
  } while (::FindNextStreamW(found, &stream));
  return Status::ok();
}

// Flushes every handle and returns the first error (ERROR_SUCCESS when
// none), after every flush has finished. FlushFileBuffers waits for the
// disk and has no whole-volume form for a normal user, so the flushes are
// issued from several threads at once: requests that wait together let the
// file system commit them in one journal write instead of one after
// another. Where no thread can be started, the calling thread does it all.
DWORD flush_together(const std::vector<HANDLE>& handles) {
  if (!kFlushes) return ERROR_SUCCESS;
  constexpr std::size_t kMostThreads = 16;
  std::atomic<std::size_t> next{0};
  std::atomic<DWORD> first_error{ERROR_SUCCESS};
  auto flush_some = [&] {
    for (std::size_t i = next++; i < handles.size(); i = next++) {
      if (!::FlushFileBuffers(handles[i])) {
        DWORD none = ERROR_SUCCESS;
        first_error.compare_exchange_strong(none, ::GetLastError());
      }
    }
  };
  {
    std::vector<std::jthread> helpers;
    const std::size_t wanted = std::min(kMostThreads, handles.size());
    try {
      while (helpers.size() + 1 < wanted) helpers.emplace_back(flush_some);
    } catch (const std::exception&) {
      // Fewer helpers than wanted: the ones started and this thread share
      // the flushes all the same.
    }
    flush_some();
  }
  return first_error;
}

// Folders in which new names were put since they were last flushed.
class RenamedFolders {
 public:
  RenamedFolders() = default;
  RenamedFolders(const RenamedFolders&) = delete;
  RenamedFolders& operator=(const RenamedFolders&) = delete;
  ~RenamedFolders() { flush(); }

  void note(const std::wstring& folder) {
    if (std::find(folders_.begin(), folders_.end(), folder) == folders_.end()) {
      folders_.push_back(folder);
    }
  }
  // Flushes each folder once, so that its new names survive a power cut,
  // and keeps what each flush reported until the next time. A folder that
  // cannot be opened for it (no right to, or a file system that cannot flush
  // folders) is left to the system, which is no failure: a rename it loses
  // leaves the original, which was never touched, in place.
  void flush() {
    flushed_.clear();
    for (const std::wstring& folder : folders_) {
      UniqueHandle handle(::CreateFileW(
          folder.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
      const DWORD error = handle.valid() ? flush_together({handle.get()}) : ERROR_SUCCESS;
      flushed_.emplace_back(folder, error);
    }
    folders_.clear();
  }

  // What the last flush of `folder` reported (ok when it was not flushed).
  Status flushed(const std::wstring& folder) const {
    for (const auto& [name, error] : flushed_) {
      if (name == folder) return error == ERROR_SUCCESS ? Status::ok() : windows_error(error);
    }
    return Status::ok();
  }

 private:
  std::vector<std::wstring> folders_;
  std::vector<std::pair<std::wstring, DWORD>> flushed_;
};

// A replacement written and waiting to be put in place. Removed when
// destroyed unless it was put in place.
class StagedFile {
 public:
  StagedFile() = default;
  StagedFile(std::wstring path, UniqueHandle handle)
      : path_(std::move(path)), handle_(std::move(handle)) {}
  StagedFile(StagedFile&&) noexcept = default;
  StagedFile& operator=(StagedFile&&) = delete;
  ~StagedFile() {
    if (handle_.valid()) delete_on_close(handle_.get());
  }

  // The \\?\ path it was made under.
  const std::wstring& wide_path() const { return path_; }
  HANDLE handle() const { return handle_.get(); }
  // Removes the file now (it goes as its handle closes here) and lets it
  // go: ok, or why it stays.
  Status remove() {
    const UniqueHandle held = std::move(handle_);
    return delete_on_close(held.get()) ? Status::ok() : last_error();
  }
  std::string path() const { return narrow(path_); }
  // Hands the handle over: the file is no longer removed with this object.
  UniqueHandle release() { return std::move(handle_); }

 private:
  std::wstring path_;
  UniqueHandle handle_;
};

// A security descriptor that grants the running user (the user of the
// process's token) full access and nobody else any, protected from what the
// folder it is made in passes on. Given to a new folder, it is passed on to
// everything made inside; given to a new file, it stays the file's own.
class PrivateSecurity {
 public:
  explicit PrivateSecurity(bool for_folder) { status_ = build(for_folder); }
  PrivateSecurity(const PrivateSecurity&) = delete;
  PrivateSecurity& operator=(const PrivateSecurity&) = delete;

  // Ok when the descriptor was built; `attributes` is meaningful only then.
  const Status& status() const { return status_; }
  SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

 private:
  Status build(bool for_folder) {
    HANDLE raw_token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw_token)) return last_error();
    const UniqueHandle token(raw_token);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    user_.assign(size, '\0');
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, user_.data(), size, &size)) {
      return last_error();
    }
    const PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
    const DWORD acl_size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(sid);
    acl_.assign(acl_size, '\0');
    const auto acl = reinterpret_cast<PACL>(acl_.data());
    const DWORD inherit = for_folder ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0;
    if (!::InitializeAcl(acl, acl_size, ACL_REVISION) ||
        !::AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, sid) ||
        !::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
        !::SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
      return last_error();
    }
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
    return Status::ok();
  }

  Status status_;
  std::string user_;  // the TOKEN_USER, which holds the SID
  std::string acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
};

// A new file under a fresh replacement name in `folder` (a \\?\ path, which
// may end with "\"), with what the folder passes on; its \\?\ path goes to
// `temporary`. Deletion is its only sharing, so that a later run's leftover
// clean-up cannot open it while this one writes it.
Result<UniqueHandle> create_fresh_file(const std::wstring& folder, std::wstring& temporary) {
  UniqueHandle handle;
  const bool made_or_failed =
      create_under_fresh_name(make_replacement_name, [&](const std::string& name) {
        temporary = join_wide(folder, widen_lossy(name));
        handle.reset(::CreateFileW(
            temporary.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC,
            FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        return !handle.valid() && ::GetLastError() == ERROR_FILE_EXISTS;
      });
  if (!made_or_failed) return windows_error(ERROR_FILE_EXISTS);
  if (!handle.valid()) return last_error();
  return handle;
}

// Whether the file at the \\?\ path `path` has a named data stream; false
// where its file system has none to tell.
bool has_named_streams(const std::wstring& path) {
  WIN32_FIND_STREAM_DATA stream;
  const HANDLE found = ::FindFirstStreamW(path.c_str(), FindStreamInfoStandard, &stream, 0);
  if (found == INVALID_HANDLE_VALUE) return false;
  const UniqueFind search(found);
  do {
    if (std::wstring_view(stream.cStreamName) != L"::$DATA") return true;
  } while (::FindNextStreamW(found, &stream));
  return false;
}

// A copy of an invoice in the backup folder, under a replacement name until
// it is named and held with deletion as its only sharing, like a staged file.
// Removed when destroyed unless it was named.
class WindowsKeptCopy final : public KeptCopy {
 public:
  WindowsKeptCopy(std::wstring folder, UniqueHandle handle)
      : folder_(std::move(folder)), handle_(std::move(handle)) {}
  WindowsKeptCopy(const WindowsKeptCopy&) = delete;
  WindowsKeptCopy& operator=(const WindowsKeptCopy&) = delete;
  ~WindowsKeptCopy() override {
    if (named_ || delete_on_close(handle_.get())) return;
    // The system deletes no file marked read-only, as a copy of a read-only
    // original is: the mark goes first.
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (::SetFileInformationByHandle(handle_.get(), FileBasicInfo, &basic, sizeof basic)) {
      delete_on_close(handle_.get());
    }
  }

  bool carries_access() const override { return carries_access_; }

  // A rename by handle, so it is this copy whatever its replacement name
  // names by now; never over an existing entry, which the system refuses
  // with ERROR_ALREADY_EXISTS (kExists).
  Status give_name(const std::string& name) override {
    if (!flushed_) return Status::error(Status::Kind::kOther, "the copy was not flushed");
    const std::optional<std::wstring> wide = widen(name);
    if (!wide) return last_error();
    // One name in the folder: not a path, nor a stream of another file.
    if (wide->empty() || wide->find_first_of(L"\\/:") != std::wstring::npos) {
      return windows_error(ERROR_INVALID_NAME);
    }
    const std::wstring target = join_wide(folder_, *wide);
    const std::size_t name_bytes = target.size() * sizeof(wchar_t);
    std::string buffer(sizeof(FILE_RENAME_INFO) + name_bytes, '\0');
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(name_bytes);
    std::memcpy(rename->FileName, target.data(), name_bytes);
    if (!::SetFileInformationByHandle(handle_.get(), FileRenameInfo, buffer.data(),
                                      static_cast<DWORD>(buffer.size()))) {
      return last_error();
    }
    named_ = true;
    return Status::ok();
  }

  HANDLE handle() const { return handle_.get(); }
  void set_carries_access(bool carries) { carries_access_ = carries; }
  void note_flushed() { flushed_ = true; }

 private:
  std::wstring folder_;
  UniqueHandle handle_;
  bool carries_access_ = true;
  bool flushed_ = false;
  bool named_ = false;
};

// The longest leading part of the \\?\ path `path` that exists, opened for
// its attributes (a folder too); `rest` gets the part below it as written,
// each component after a "\".
Result<UniqueHandle> open_existing_part(std::wstring path, std::wstring& rest) {
  rest.clear();
  for (;;) {
    std::wstring opened = path;
    // "\\?\C:" alone names the volume, not its root folder.
    if (!opened.empty() && opened.back() == L':') opened += L'\\';
    UniqueHandle handle(::CreateFileW(opened.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (handle.valid()) return handle;
    const DWORD error = ::GetLastError();
    const std::size_t slash = path.rfind(L'\\');
    // Nothing above the volume ("\\?\" and the drive) is stripped.
    if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) ||
        slash == std::wstring::npos || slash < 4) {
      return windows_error(error);
    }
    rest.insert(0, path, slash);
    path.resize(slash);
  }
}

// Whether the resolved path `inner` is `outer` or lies below it: `outer`'s
// components lead `inner`'s, letter case ignored as the system ignores it.
bool leads_path(std::wstring_view outer, std::wstring_view inner) {
  auto next_component = [](std::wstring_view& path) {
    while (!path.empty() && path.front() == L'\\') path.remove_prefix(1);
    const std::wstring_view component = path.substr(0, path.find(L'\\'));
    path.remove_prefix(component.size());
    return component;
  };
  for (;;) {
    const std::wstring_view expected = next_component(outer);
    if (expected.empty()) return true;
    if (!equal_ignoring_case(expected, next_component(inner))) return false;
  }
}

// The failure of a BCrypt call, which reports an NTSTATUS instead of a
// Windows error code.
Status bcrypt_error(NTSTATUS status) {
  constexpr auto kStatusNoMemory = static_cast<NTSTATUS>(0xC0000017);
  char text[40];
  std::snprintf(text, sizeof text, "BCrypt status 0x%08lX", static_cast<unsigned long>(status));
  return Status::error(status == kStatusNoMemory ? Status::Kind::kNoMemory : Status::Kind::kOther,
                       text);
}

struct CloseAlgorithm {
  void operator()(BCRYPT_ALG_HANDLE algorithm) const {
    ::BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};
struct DestroyHash {
  void operator()(BCRYPT_HASH_HANDLE hash) const { ::BCryptDestroyHash(hash); }
};

// The SHA-256 digest of `data` from the system's own cryptography.
Result<Sha256> hash_sha256(std::string_view data) {
  BCRYPT_ALG_HANDLE raw_algorithm = nullptr;
  NTSTATUS status =
      ::BCryptOpenAlgorithmProvider(&raw_algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  if (!BCRYPT_SUCCESS(status)) return bcrypt_error(status);
  const std::unique_ptr<void, CloseAlgorithm> algorithm(raw_algorithm);
  BCRYPT_HASH_HANDLE raw_hash = nullptr;
  status = ::BCryptCreateHash(algorithm.get(), &raw_hash, nullptr, 0, nullptr, 0, 0);
  if (!BCRYPT_SUCCESS(status)) return bcrypt_error(status);
  const std::unique_ptr<void, DestroyHash> hash(raw_hash);
  while (!data.empty()) {
    const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(data.size(), 1u << 30));
    // BCrypt takes a non-const pointer but only reads the data.
    auto* bytes = reinterpret_cast<PUCHAR>(const_cast<char*>(data.data()));
    status = ::BCryptHashData(hash.get(), bytes, chunk, 0);
    if (!BCRYPT_SUCCESS(status)) return bcrypt_error(status);
    data.remove_prefix(chunk);
  }
  Sha256 digest{};
  status = ::BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0);
  if (!BCRYPT_SUCCESS(status)) return bcrypt_error(status);
  return digest;
}

class WindowsInvoiceFile final : public StagingInvoiceFile<StagedFile> {
 public:
  // `path` is the \\?\ path the file was opened by; `is_link` tells that
  // it names a symbolic link to the file. `renamed` must outlive the file.
  WindowsInvoiceFile(std::wstring path, bool is_link, UniqueHandle handle,
                     const BY_HANDLE_FILE_INFORMATION& info, bool writable, RenamedFolders& renamed)
      : path_(std::move(path)),
        is_link_(is_link),
        handle_(std::move(handle)),
        info_(info),
        writable_(writable),
        renamed_(renamed) {}

  bool is_writable() const override { return writable_; }

  // The owner and access list are set on the new file while it is made, and
  // whether the folder takes it shows only then.
  Status check_replaceable() const override { return check_single_name(info_.nNumberOfLinks); }

  Status load(std::string& content) override {
    const std::uint64_t size = size_of(info_);
    if (Status room = make_room_for_reading(content, size); !room.is_ok()) return room;
    const Status read = read_all(content, size);
    if (!read.is_ok()) content.clear();
    return read;
  }

  // Fills `content`, `size` bytes made room for, from the start of the file,
  // and checks that the file neither grew nor changed meanwhile.
  Status read_all(std::string& content, std::uint64_t size) {
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
        if (got != 0) return Status::error(Status::Kind::kChanged);
        return check_content_unchanged();
      }
      // A file that shrank since it was opened was changed by another
      // program: never convert, let alone write back, a partial text.
      if (got == 0) return Status::error(Status::Kind::kChanged);
      have += got;
    }
  }

  // Adds the handles of the files staged and not yet put in place.
  void add_staged_handles(std::vector<HANDLE>& handles) const {
    for (const StagedFile& file : staged()) handles.push_back(file.handle());
  }

  // The folder in which staged files were put in place since the last
  // call, or nothing when none was.
  std::optional<std::wstring> take_renamed_folder() {
    if (!std::exchange(renamed_since_flush_, false)) return std::nullopt;
    return parent_of(target_);
  }

 private:
  static std::uint64_t size_of(const BY_HANDLE_FILE_INFORMATION& info) {
    return (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  }

  // kChanged when the held file's size or last-write time moved since it
  // was opened: a program that mapped it before could still write to it.
  Status check_content_unchanged() const {
    BY_HANDLE_FILE_INFORMATION now{};
    return ::GetFileInformationByHandle(handle_.get(), &now) && same_content_marks(now, info_)
               ? Status::ok()
               : Status::error(Status::Kind::kChanged);
  }

  // The steps of staging (staging_invoice_file.h), each on the new file's
  // handle.
  std::uint64_t link_count() const override { return info_.nNumberOfLinks; }

  FileTimes original_times() const override {
    return {to_file_time(info_.ftLastAccessTime), to_file_time(info_.ftLastWriteTime),
            to_file_time(info_.ftCreationTime)};
  }

  Result<StagedFile> create_staged_file() override {
    if (target_.empty()) {
      // Through a link, the file really held is replaced, so that the link
      // stays a link.
      auto target = is_link_ ? final_path_of(handle_.get()) : Result<std::wstring>(path_);
      if (!target.is_ok()) return target.status;
      target_ = std::move(target.value);
    }
    std::wstring temporary;
    auto created = create_fresh_file(parent_of(target_), temporary);
    if (!created.is_ok()) return created.status;
    return StagedFile(std::move(temporary), std::move(created.value));
  }

  // The invoice is held without sharing its reading, so no copy by name can
  // open it: `content` is written through the copy's own handle. The copy
  // is made as a staged file is, with what its folder passes on (in the
  // folders that the run creates, access for the running user alone), and
  // held without sharing its reading until it is destroyed, so nobody else
  // reads it before it has the original's own access entries. Its access
  // list is then built as a staged file's is, from the original's own
  // entries and what the folder passes on, never left to the system to
  // complete.
  Result<std::unique_ptr<KeptCopy>> copy_original(const std::string& folder,
                                                  std::string_view content) override {
    if (content.size() != size_of(info_)) return Status::error(Status::Kind::kChanged);
    auto wide_folder = system_path(folder);
    if (!wide_folder.is_ok()) return wide_folder.status;
    std::wstring temporary;
    auto created = create_fresh_file(wide_folder.value, temporary);
    if (!created.is_ok()) return created.status;
    // Removed by its destructor when any step fails.
    auto copy =
        std::make_unique<WindowsKeptCopy>(std::move(wide_folder.value), std::move(created.value));
    if (Status status = write_all(copy->handle(), content); !status.is_ok()) return status;
    LARGE_INTEGER written{};
    if (!::GetFileSizeEx(copy->handle(), &written)) return last_error();
    if (static_cast<std::uint64_t>(written.QuadPart) != content.size()) {
      return windows_error(ERROR_WRITE_FAULT);
    }
    if (Status status = carry_to_copy(*copy, temporary); !status.is_ok()) return status;
    return std::unique_ptr<KeptCopy>(std::move(copy));
  }

  // Gives a kept copy what the original has besides its content, as far as
  // the copy's file system holds it: the security and named streams that a
  // staged file gets (FAT and exFAT hold neither, and the copy then does not
  // carry the original's access), then the attributes and the three times.
  Status carry_to_copy(WindowsKeptCopy& copy, const std::wstring& temporary) const {
    DWORD holds = 0;
    if (!::GetVolumeInformationByHandleW(copy.handle(), nullptr, 0, nullptr, nullptr, &holds,
                                         nullptr, 0)) {
      holds = 0;
    }
    bool carried = true;
    if ((holds & FILE_PERSISTENT_ACLS) != 0) {
      if (Status status = copy_security(copy.handle()); !status.is_ok()) return status;
    } else {
      carried = false;
    }
    if ((holds & FILE_NAMED_STREAMS) != 0) {
      if (Status status = copy_named_streams(path_, temporary); !status.is_ok()) return status;
    } else if (has_named_streams(path_)) {
      carried = false;
    }
    copy.set_carries_access(carried);
    FILE_BASIC_INFO basic{};
    basic.CreationTime.QuadPart = static_cast<LONGLONG>(to_ticks(info_.ftCreationTime));
    basic.LastAccessTime.QuadPart = static_cast<LONGLONG>(to_ticks(info_.ftLastAccessTime));
    basic.LastWriteTime.QuadPart = static_cast<LONGLONG>(to_ticks(info_.ftLastWriteTime));
    basic.FileAttributes = info_.dwFileAttributes & kCopiedAttributes;
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!::SetFileInformationByHandle(copy.handle(), FileBasicInfo, &basic, sizeof basic)) {
      return last_error();
    }
    return Status::ok();
  }

  Status fill(StagedFile& staged, std::string_view content) override {
    return write_all(staged.handle(), content);
  }

  // Ctrl+C and Ctrl+Break are ignored; closing the console ends the run
  // like a kill, and the next run removes what it left.
  bool stop_requested() const override { return false; }

  Status check_unchanged() const override {
    // A file let go by a classic rename that then failed.
    if (!handle_.valid()) return windows_error(ERROR_SHARING_VIOLATION);
    if (!path_names(target_, info_)) return Status::error(Status::Kind::kChanged);
    return check_content_unchanged();
  }

  Status rename_over_original(StagedFile& staged) override {
    BY_HANDLE_FILE_INFORMATION staged_info{};
    if (!::GetFileInformationByHandle(staged.handle(), &staged_info)) return last_error();
    return put_in_place(staged, staged_info);
  }

  void note_renamed() override {
    renamed_.note(parent_of(target_));
    renamed_since_flush_ = true;
  }

  // Gives the new file what the original has besides its content: its own
  // access control entries, its named streams and its attributes, and
  // `times`: their creation time, or without one the original's. Nothing
  // sets them once the file is in place, where an edit that another
  // program makes right after the rename must keep its own time.
  Status carry_metadata(StagedFile& staged, const FileTimes& times) override {
    const HANDLE replacement = staged.handle();
    if (Status status = copy_security(replacement); !status.is_ok()) return status;
    if (Status status = copy_named_streams(target_, staged.wide_path()); !status.is_ok()) {
      return status;
    }
    FILE_BASIC_INFO basic{};
    basic.CreationTime.QuadPart =
        basic_info_time(times.creation.value_or(to_file_time(info_.ftCreationTime)));
    basic.LastAccessTime.QuadPart = basic_info_time(times.last_access);
    basic.LastWriteTime.QuadPart = basic_info_time(times.last_write);
    basic.FileAttributes = info_.dwFileAttributes & kCopiedAttributes;
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!::SetFileInformationByHandle(replacement, FileBasicInfo, &basic, sizeof basic)) {
      return Status::error(Status::Kind::kAttributesNotKept, describe_error(::GetLastError()));
    }
    return Status::ok();
  }

  // Gives the new file what the original's security descriptor sets for
  // itself: its owner, its protection from inheritance and its explicit
  // access entries; the inherited entries come from the folder, afresh. It
  // is written only where the new file differs, since a rewrite of what a
  // file already has is not neutral everywhere (Wine maps the entries it
  // derived from the Unix mode back to a wider mode), and read back after
  // writing. A file owned by someone other than the owner this run gives
  // its new files is not replaced: the replacement would take it over.
  Status copy_security(HANDLE replacement) const {
    OwnSecurity original, created;
    DWORD error = read_own_security(handle_.get(), original);
    // A file system without security (FAT) has nothing to carry over.
    if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION) return Status::ok();
    if (error != ERROR_SUCCESS) return windows_error(error);
    if ((error = read_own_security(replacement, created)) != ERROR_SUCCESS) {
      return windows_error(error);
    }
    if (!original.owner.empty() && !created.owner.empty() && original.owner != created.owner) {
      return Status::error(Status::Kind::kOwnerNotKept);
    }
    if (original.is_protected == created.is_protected && original.entries == created.entries) {
      return Status::ok();
    }
    // The original's own entries first, then what the new file inherited,
    // as the system orders them.
    std::vector<std::string> entries = original.entries;
    if (!original.is_protected) {
      entries.insert(entries.end(), created.inherited.begin(), created.inherited.end());
    }
    std::size_t size = sizeof(ACL);
    for (const std::string& entry : entries) size += entry.size();
    std::string acl_memory(size, '\0');
    const auto acl = reinterpret_cast<PACL>(acl_memory.data());
    if (size > 0xFFFF || !::InitializeAcl(acl, static_cast<DWORD>(size), ACL_REVISION_DS)) {
      return Status::error(Status::Kind::kAccessNotKept, describe_error(::GetLastError()));
    }
    for (std::string& entry : entries) {
      if (!::AddAce(acl, ACL_REVISION_DS, MAXDWORD, entry.data(),
                    static_cast<DWORD>(entry.size()))) {
        return Status::error(Status::Kind::kAccessNotKept, describe_error(::GetLastError()));
      }
    }
    const SECURITY_INFORMATION what =
        DACL_SECURITY_INFORMATION | (original.is_protected ? PROTECTED_DACL_SECURITY_INFORMATION
                                                           : UNPROTECTED_DACL_SECURITY_INFORMATION);
    error = ::SetSecurityInfo(replacement, SE_FILE_OBJECT, what, nullptr, nullptr, acl, nullptr);
    if (error != ERROR_SUCCESS) {
      return Status::error(Status::Kind::kAccessNotKept, describe_error(error));
    }
    // What the system made of it: a file system or a layer below that maps
    // it to something else would change the file's access.
    if ((error = read_own_security(replacement, created)) != ERROR_SUCCESS) {
      return Status::error(Status::Kind::kAccessNotKept, describe_error(error));
    }
    if (original.is_protected != created.is_protected || original.entries != created.entries ||
        (!original.owner.empty() && original.owner != created.owner)) {
      return Status::error(Status::Kind::kAccessNotKept);
    }
    return Status::ok();
  }

  // Puts `staged` in the place of the target. The POSIX-semantics rename by
  // handle (Windows 10 1809 and later, on NTFS) does it while this object
  // still holds the original, and the handle that wrote the new file then
  // holds it: the lock moves without a gap.
  Status put_in_place(StagedFile& staged, const BY_HANDLE_FILE_INFORMATION& staged_info) {
    std::string rename = rename_information(kRenameReplaceIfExists | kRenamePosixSemantics);
    if (!::SetFileInformationByHandle(staged.handle(), kFileRenameInfoEx, rename.data(),
                                      static_cast<DWORD>(rename.size()))) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED &&
          error != ERROR_INVALID_FUNCTION) {
        return windows_error(error);
      }
      // Where that rename is not offered (older systems, other file
      // systems, Wine): the classic rename by handle, which never replaces
      // a file that anyone holds open, so the original is let go right
      // before it. A program that opens the original in that moment makes
      // the rename fail and keeps the original as it is; nothing is ever
      // replaced under it, and the name never goes missing, as it would
      // between the two moves of ReplaceFileW on Wine.
      handle_.reset();
      rename = rename_information(0);
      reinterpret_cast<FILE_RENAME_INFO*>(rename.data())->ReplaceIfExists = TRUE;
      if (!::SetFileInformationByHandle(staged.handle(), FileRenameInfo, rename.data(),
                                        static_cast<DWORD>(rename.size()))) {
        return last_error();
      }
    }
    handle_ = staged.release();
    info_ = staged_info;
    return Status::ok();
  }

  // The rename information that names the target, with `flags`.
  std::string rename_information(DWORD flags) const {
    const std::size_t name_bytes = target_.size() * sizeof(wchar_t);
    std::string buffer(sizeof(FILE_RENAME_INFO) + name_bytes, '\0');
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->Flags = flags;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(name_bytes);
    std::memcpy(rename->FileName, target_.data(), name_bytes);
    return buffer;
  }

  std::wstring path_;
  bool is_link_;
  UniqueHandle handle_;
  BY_HANDLE_FILE_INFORMATION info_;
  bool writable_;
  RenamedFolders& renamed_;
  bool renamed_since_flush_ = false;
  // The \\?\ path of the file that is replaced, found at the first stage.
  std::wstring target_;
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

  Status write(std::string_view text) const {
    if (handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE) {
      return windows_error(ERROR_INVALID_HANDLE);
    }
    if (!console_) return write_all(handle_, text);
    const std::wstring wide = widen_lossy(text);
    std::size_t done = 0;
    while (done < wide.size()) {
      DWORD wrote = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, 8192));
      if (!::WriteConsoleW(handle_, wide.data() + done, chunk, &wrote, nullptr))
        return last_error();
      if (wrote == 0) return windows_error(ERROR_WRITE_FAULT);
      done += wrote;
    }
    return Status::ok();
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

// Marks the entries that cannot be reached by their UTF-8 names: a name
// that does not convert to UTF-8 and back exactly (an unpaired surrogate),
// which gets an escaped form, and names that, converted, equal another of
// the folder exactly (Wine shows every name that is not UTF-8 on the Unix
// side as U+FFFD) or but for letter case (a folder shared from a
// case-sensitive system, or made under Wine): opening either reaches one
// file for both.
void mark_name_problems(std::vector<DirectoryEntry>& entries,
                        const std::vector<std::wstring>& names) {
  std::vector<std::wstring> keys(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::wstring converted = widen_lossy(entries[i].name);
    if (converted != names[i]) {
      entries[i].name = escape_unpaired_surrogates(
          std::u16string_view(reinterpret_cast<const char16_t*>(names[i].data()), names[i].size()));
      entries[i].name_problem = Status::Kind::kUndecodableName;
    }
    // Compared as the system compares names: in upper case.
    keys[i] = converted;
    if (!converted.empty()) {
      ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, converted.data(),
                      static_cast<int>(converted.size()), keys[i].data(),
                      static_cast<int>(keys[i].size()), nullptr, nullptr, 0);
    }
  }
  std::vector<std::size_t> order(names.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
  for (std::size_t i = 1; i < order.size(); ++i) {
    if (keys[order[i]] != keys[order[i - 1]]) continue;
    for (std::size_t j : {order[i], order[i - 1]}) {
      if (entries[j].name_problem == Status::Kind::kOk) {
        entries[j].name_problem = Status::Kind::kNameCollides;
      }
    }
  }
}

// Marks as links the folders that are reached through one although they
// show no reparse attribute (a Unix symbolic link seen through Wine): their
// final path is not the listed folder's plus their name. Such a folder is
// not entered, as a junction is not.
void mark_folder_links(const std::wstring& folder, std::vector<DirectoryEntry>& entries,
                       const std::vector<std::wstring>& names) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    DirectoryEntry& entry = entries[i];
    if (entry.type != DirectoryEntry::Type::kFolder || entry.is_link ||
        entry.name_problem != Status::Kind::kOk) {
      continue;
    }
    const std::wstring path = join_wide(folder, names[i]);
    const UniqueHandle handle(::CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    // A folder that cannot be opened fails when it is listed, and is
    // reported then.
    if (!handle.valid()) continue;
    auto through = reached_through_link(path, handle.get());
    if (through.is_ok() && through.value) entry.is_link = true;
  }
}

class WindowsPlatform final : public Platform {
 public:
  WindowsPlatform()
      : output_(STD_OUTPUT_HANDLE), error_(STD_ERROR_HANDLE), console_setup_(output_) {}

  Conventions conventions() const override { return Conventions::kWindows; }

  std::string normalize_root(std::string_view root) const override {
    const std::string stripped = strip_typed_quotes(root);
    // Already in the \\?\ namespace: taken as it is, as the system does.
    if (stripped.empty() || stripped.starts_with("\\\\?\\")) return stripped;
    const std::optional<std::wstring> typed = widen(stripped);
    if (!typed) return stripped;
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
      const DWORD length =
          ::GetFullPathNameW(typed->c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
      if (length == 0) return stripped;
      if (length < full.size()) {
        full.resize(length);
        return narrow(full);
      }
      full.resize(length);
    }
  }

  std::optional<std::string> get_environment(const char* name) const override {
    const std::optional<std::wstring> wide_name = widen(name);
    if (!wide_name) return std::nullopt;
    std::wstring value(256, L'\0');
    for (;;) {
      ::SetLastError(ERROR_SUCCESS);
      const DWORD length = ::GetEnvironmentVariableW(wide_name->c_str(), value.data(),
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

  FileTime current_time() const override {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const auto ticks = static_cast<std::int64_t>(to_ticks(now));
    return {ticks / kTicksPerSecond - kEpochDifference,
            static_cast<std::int32_t>(ticks % kTicksPerSecond * 100)};
  }

  std::uint32_t milliseconds_since_midnight() const override {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return now.wHour * 3600000u + now.wMinute * 60000u + now.wSecond * 1000u + now.wMilliseconds;
  }

  std::string default_temporary_folder() const override {
    std::wstring folder(MAX_PATH + 1, L'\0');
    for (;;) {
      const DWORD length = ::GetTempPathW(static_cast<DWORD>(folder.size()), folder.data());
      if (length == 0) return ".";
      if (length < folder.size()) {
        folder.resize(length);
        return narrow(folder);
      }
      folder.resize(length);
    }
  }

  std::string join_path(std::string_view folder, std::string_view name) const override {
    return join_windows_path(folder, name);
  }

  Result<std::unique_ptr<OutputFile>> create_new_file(const std::string& path) override {
    auto wide = system_path(path);
    if (!wide.is_ok()) return wide.status;
    UniqueHandle handle(::CreateFileW(wide.value.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                      FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
    if (!handle.valid()) return last_error();
    return std::unique_ptr<OutputFile>(
        std::make_unique<WindowsOutputFile>(std::move(wide.value), std::move(handle)));
  }

  // The file list lives in the user's own temporary folder, and it is held
  // from creation to removal, read back through its own handle and removed
  // only as itself: a file put in its place is never read nor removed.
  bool lets_others_replace_files(const std::string&) override { return false; }
  // Windows tells who may replace what by access lists only, which this
  // program does not judge.
  bool lets_others_swap(const std::string&) override { return false; }

  Status check_folder_link(const std::string& path) override {
    auto wide = system_path(path);
    return wide.is_ok() ? check_folder_link_of(wide.value) : Status::ok();
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
    // Never delete through a link.
    BY_HANDLE_FILE_INFORMATION info{};
    if (Status plain = check_plain_file(wide.value, handle.get(), info); !plain.is_ok()) {
      return plain;
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
    std::vector<std::wstring> wide_names;
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
      wide_names.emplace_back(name);
    } while (::FindNextFileW(raw, &found));
    if (::GetLastError() != ERROR_NO_MORE_FILES) return last_error();
    mark_name_problems(entries, wide_names);
    mark_folder_links(wide_folder, entries, wide_names);
    return entries;
  }

  Result<std::unique_ptr<InvoiceFile>> open_invoice_file(const std::string& path) override {
    auto wide = system_path(path);
    if (!wide.is_ok()) return wide.status;
    // Looked at before opening: a folder opens only by request, and is
    // better named for what it is than refused.
    const DWORD attributes = ::GetFileAttributesW(wide.value.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return last_error();
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return Status::error(Status::Kind::kNotRegular);
    }
    auto writable = may_write(wide.value);
    if (!writable.is_ok()) return writable.status;
    // No sharing but deletion from open to close keeps every other program
    // out; deletion is what the replacement needs.
    UniqueHandle handle(::CreateFileW(wide.value.c_str(), kInvoiceAccess, FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    const bool may_write_attributes = handle.valid();
    if (!handle.valid() && ::GetLastError() == ERROR_ACCESS_DENIED) {
      // Without the right to move it aside or set its times, the file can
      // still be read and reported.
      writable.value = false;
      handle.reset(::CreateFileW(wide.value.c_str(), FILE_GENERIC_READ | READ_CONTROL,
                                 FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));
    }
    if (!handle.valid()) return last_error();
    if (::GetFileType(handle.get()) != FILE_TYPE_DISK) {
      return Status::error(Status::Kind::kNotRegular);
    }
    // Before the first read: this handle's reads no longer move the
    // last-access time, so an invoice that needs no change keeps all its
    // times. The fallback handle may not write attributes, so there it
    // moves as for any reader.
    if (may_write_attributes) (void)::SetFileTime(handle.get(), nullptr, &kKeepTime, nullptr);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle.get(), &info)) return last_error();
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return Status::error(Status::Kind::kNotRegular);
    }
    auto is_link = follows_link(wide.value, attributes, handle.get());
    if (!is_link.is_ok()) return is_link.status;
    // The read-only attribute marks a file that its owner wants left alone,
    // for an administrator too.
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) writable.value = false;
    return std::unique_ptr<InvoiceFile>(std::make_unique<WindowsInvoiceFile>(
        wide.value, is_link.value, std::move(handle), info, writable.value, renamed_));
  }

  // Opened for appending only (FILE_APPEND_DATA without FILE_WRITE_DATA),
  // so that every write goes to the end; others may read the file
  // meanwhile, none may write it. A link is opened as itself and refused.
  Result<std::unique_ptr<OutputFile>> open_for_appending(const std::string& path) override {
    auto wide = system_path(path);
    if (!wide.is_ok()) return wide.status;
    // Looked at first: a folder does not open as a file.
    const DWORD attributes = ::GetFileAttributesW(wide.value.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
      return Status::error(Status::Kind::kNotRegular);
    }
    PrivateSecurity private_access(false);
    if (!private_access.status().is_ok()) return private_access.status();
    UniqueHandle handle(::CreateFileW(wide.value.c_str(), FILE_GENERIC_READ | FILE_APPEND_DATA,
                                      FILE_SHARE_READ, private_access.attributes(), OPEN_ALWAYS,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.valid()) return last_error();
    BY_HANDLE_FILE_INFORMATION info{};
    if (Status plain = check_plain_file(wide.value, handle.get(), info); !plain.is_ok()) {
      return plain;
    }
    return std::unique_ptr<OutputFile>(
        std::make_unique<WindowsOutputFile>(std::move(wide.value), std::move(handle)));
  }

  Status create_private_folder(const std::string& path) override {
    auto wide = system_path(path);
    if (!wide.is_ok()) return wide.status;
    PrivateSecurity private_access(true);
    if (!private_access.status().is_ok()) return private_access.status();
    if (!::CreateDirectoryW(wide.value.c_str(), private_access.attributes())) return last_error();
    return Status::ok();
  }

  // Both resolved by the system (GetFinalPathNameByHandleW), or where it
  // gives no final path (Wine, past MAX_PATH) both as volume and path within.
  Result<bool> lies_within(const std::string& path, const std::string& folder) override {
    auto wide_folder = system_path(folder);
    if (!wide_folder.is_ok()) return wide_folder.status;
    auto wide_path = system_path(path);
    if (!wide_path.is_ok()) return wide_path.status;
    std::wstring folder_rest, path_rest;
    auto outer_handle = open_existing_part(wide_folder.value, folder_rest);
    if (!outer_handle.is_ok()) return outer_handle.status;
    if (!folder_rest.empty()) return windows_error(ERROR_PATH_NOT_FOUND);
    auto inner_handle = open_existing_part(wide_path.value, path_rest);
    if (!inner_handle.is_ok()) return inner_handle.status;
    auto outer = final_path_of(outer_handle.value.get());
    auto inner = final_path_of(inner_handle.value.get());
    if (!outer.is_ok() || !inner.is_ok()) {
      outer = volume_path_of(outer_handle.value.get());
      if (!outer.is_ok()) return outer.status;
      inner = volume_path_of(inner_handle.value.get());
      if (!inner.is_ok()) return inner.status;
    }
    return leads_path(outer.value, inner.value + path_rest);
  }

  // Flushed as the folders that replacements were put in place in are.
  Status flush_folder(const std::string& path) override {
    auto wide = system_path(path);
    if (!wide.is_ok()) return wide.status;
    RenamedFolders folder;
    folder.note(wide.value);
    folder.flush();
    return folder.flushed(wide.value);
  }

  Result<Sha256> sha256(std::string_view data) const override { return hash_sha256(data); }

  Status flush_kept_copies(const std::vector<KeptCopy*>& copies) override {
    std::vector<HANDLE> handles;
    for (KeptCopy* copy : copies) handles.push_back(static_cast<WindowsKeptCopy*>(copy)->handle());
    const DWORD error = flush_together(handles);
    if (error != ERROR_SUCCESS) return windows_error(error);
    for (KeptCopy* copy : copies) static_cast<WindowsKeptCopy*>(copy)->note_flushed();
    return Status::ok();
  }

  std::size_t group_file_limit() const override {
    // Handles are plentiful on Windows; this keeps a group's memory and the
    // work lost to a failed flush small.
    return 256;
  }

  Status flush_staged(const std::vector<InvoiceFile*>& files) override {
    std::vector<HANDLE> handles;
    for (InvoiceFile* file : files) {
      static_cast<const WindowsInvoiceFile*>(file)->add_staged_handles(handles);
    }
    const DWORD error = flush_together(handles);
    return error == ERROR_SUCCESS ? Status::ok() : windows_error(error);
  }

  std::vector<Status> flush_renamed_folders(const std::vector<InvoiceFile*>& files) override {
    renamed_.flush();
    std::vector<Status> results;
    for (InvoiceFile* file : files) {
      const auto folder = static_cast<WindowsInvoiceFile*>(file)->take_renamed_folder();
      results.push_back(folder ? renamed_.flushed(*folder) : Status::ok());
    }
    return results;
  }

  std::optional<int> stop_requested() const override {
    // Ctrl+C and Ctrl+Break are ignored; closing the console ends the run
    // like a kill, and the next run removes what it left.
    return std::nullopt;
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

  Status write_output(std::string_view text) override { return output_.write(text); }
  void write_error(std::string_view text) override { (void)error_.write(text); }

 private:
  ConsoleStream output_;
  ConsoleStream error_;
  ConsoleSetup console_setup_;
  // Flushed at the end of the run too, after the last invoice file.
  RenamedFolders renamed_;
};

// Ctrl+C and Ctrl+Break are taken as handled, so they do not end the run;
// closing the console still ends it, as the system does after any handler.
BOOL WINAPI ignore_break(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

}  // namespace

std::unique_ptr<Platform> make_system_platform() { return std::make_unique<WindowsPlatform>(); }

void prepare_process() {
  // No "insert a disk" or similar box may stop an unattended run.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  ::SetConsoleCtrlHandler(ignore_break, TRUE);
}

}  // namespace invoice
