#include <windows.h>

#include "file_times.h"

namespace invoice::testing {

namespace {

FileTime from(const LARGE_INTEGER& ticks) {
  constexpr std::int64_t kTicksPerSecond = 10'000'000;
  constexpr std::int64_t kEpochDifference = 11'644'473'600;  // 1601 to 1970, in seconds
  return {ticks.QuadPart / kTicksPerSecond - kEpochDifference,
          static_cast<std::int32_t>(ticks.QuadPart % kTicksPerSecond * 100)};
}

}  // namespace

FileTimes read_file_times(const std::string& path) {
  std::wstring wide(path.size(), L'\0');
  wide.resize(static_cast<std::size_t>(
      ::MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), wide.data(),
                            static_cast<int>(wide.size()))));
  const HANDLE file = ::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
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

bool system_keeps_access_time_on_open() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll == nullptr || ::GetProcAddress(ntdll, "wine_get_version") == nullptr;
}

}  // namespace invoice::testing
