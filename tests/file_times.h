#ifndef INVOICE_TESTS_FILE_TIMES_H_
#define INVOICE_TESTS_FILE_TIMES_H_

#include <string>

#include "platform/platform.h"

namespace invoice::testing {

// A file's times as the system holds them, read without moving any of them.
struct FileTimes {
  FileTime accessed;
  FileTime modified;
  FileTime created;  // Windows only; zero elsewhere
  // Moves with every change of the content, the times or the name.
  FileTime changed;
  friend bool operator==(const FileTimes&, const FileTimes&) = default;
};

// The times of the file that the UTF-8 `path` names (following links); all
// zero when it cannot be read. One implementation per platform.
FileTimes read_file_times(const std::string& path);

// Sets the last-access and last-write time (on Windows the creation time
// too) of the existing file that `path` names, following links; false when
// it cannot.
bool set_file_times(const std::string& path, FileTime time);

// False where the system moves a file's last-access time as it opens the
// file, before any program could ask it not to (Wine reads the start of a
// file it opens), so that not even an unchanged file keeps it.
bool system_keeps_access_time_on_open();

}  // namespace invoice::testing

#endif  // INVOICE_TESTS_FILE_TIMES_H_
