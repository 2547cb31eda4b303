#include <windows.h>

#include "file_times.h"

namespace invoice::testing {

namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kEpochDifference = 11'644'473'600;  // 1601 to 1970, in seconds

FileTime from(const LARGE_INTEGER& ticks) {
  return {ticks.QuadPart / kTicksPerSecond - kEpochDifference,
          static_cast<std::int32_t>(ticks.QuadPart % kTicksPerSecond * 100)};
}

std::wstring widen(const std::string& path) {
  std::wstring wide(path.size(), L'\0');
  wide.resize(static_cast<std::size_t>(
      ::MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), wide.data(),
                            static_cast<int>(wide.size()))));
  return wide;
}

}  // namespace

FileTimes read_file_times(const std::string& path) {
  const HANDLE file = ::CreateFileW(widen(path).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  FILE_BASIC_INFO basic{};
  const bool read = ::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic);
  ::CloseHandle(file);
  if (!read) return {};
  return {from(basic.LastAccessTime), from(basic.LastWriteTime), from(basic.CreationTime),
          from(basic.ChangeTime)};
}

bool set_file_times(const std::string& path, FileTime time) {
  const std::int64_t ticks =
      (time.seconds + kEpochDifference) * kTicksPerSecond + time.nanoseconds / 100;
  if (ticks <= 0) return false;
  FILETIME when;
  when.dwLowDateTime = static_cast<DWORD>(ticks);
  when.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) >> 32);
  const HANDLE file = ::CreateFileW(widen(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool set = ::SetFileTime(file, &when, &when, &when);
  ::CloseHandle(file);
  return set;
}

bool system_keeps_access_time_on_open() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll == nullptr || ::GetProcAddress(ntdll, "wine_get_version") == nullptr;
}

}  // namespace invoice::testing
