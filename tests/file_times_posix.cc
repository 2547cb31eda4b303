#include <fcntl.h>
#include <sys/stat.h>

#include "file_times.h"

namespace invoice::testing {

namespace {

FileTime from(const timespec& time) {
  return {static_cast<std::int64_t>(time.tv_sec), static_cast<std::int32_t>(time.tv_nsec)};
}

}  // namespace

FileTimes read_file_times(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {};
  return {from(info.st_atim), from(info.st_mtim), {}, from(info.st_ctim)};
}

bool set_file_times(const std::string& path, FileTime time) {
  timespec times[2];
  times[0].tv_sec = static_cast<time_t>(time.seconds);
  times[0].tv_nsec = time.nanoseconds;
  times[1] = times[0];
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool system_keeps_access_time_on_open() { return true; }

}  // namespace invoice::testing
