#ifndef INVOICE_TESTS_SYSTEM_PLACE_H_
#define INVOICE_TESTS_SYSTEM_PLACE_H_

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "file_times.h"
#include "platform/platform.h"

// Portable: the folder is made and removed with the standard library, so
// that the platform tests of every system share it.

namespace invoice::testing {

namespace fs = std::filesystem;

// A UTF-8 path as the standard library takes it, and back: paths are UTF-8
// on every platform, whatever the system's own code page.
inline fs::path native(const std::string& path) {
  return fs::path(std::u8string(path.begin(), path.end()));
}
inline std::string utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// The real platform, on a fresh folder below the system's temporary folder
// that goes away with everything in it.
class SystemPlace {
 public:
  SystemPlace() : platform_(make_system_platform()) {
    std::random_device random;
    fs::path folder;
    do {
      folder = fs::temp_directory_path() / ("invoice-platform-" + std::to_string(random()));
    } while (!fs::create_directory(folder));
    root_ = utf8(folder);
  }
  ~SystemPlace() {
    // A read-only file would stop the removal on Windows.
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(native(root_), ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
      if (!it->is_symlink()) {
        fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ignored);
      }
    }
    fs::remove_all(native(root_), ignored);
  }
  SystemPlace(const SystemPlace&) = delete;
  SystemPlace& operator=(const SystemPlace&) = delete;

  Platform& platform() { return *platform_; }
  const std::string& root() const { return root_; }

  void make_file(const std::string& path, const std::string& content) {
    fs::create_directories(native(path).parent_path());
    std::ofstream(native(path), std::ios::binary) << content;
  }
  void make_folder(const std::string& path) { fs::create_directories(native(path)); }
  // No write permission for anyone; the read-only attribute on Windows.
  void make_read_only(const std::string& path) {
    fs::permissions(native(path),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
  }
  // False where the system or the user may not make symbolic links.
  bool make_link(const std::string& path, const std::string& target) {
    std::error_code error;
    if (fs::is_directory(native(target))) {
      fs::create_directory_symlink(native(target), native(path), error);
    } else {
      fs::create_symlink(native(target), native(path), error);
    }
    return !error;
  }
  // Giving a file to another user takes calls that are not portable.
  bool make_foreign_file(const std::string&) { return false; }
  std::optional<std::string> read(const std::string& path) const {
    if (!fs::is_regular_file(native(path))) return std::nullopt;
    std::ifstream in(native(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  bool is_link(const std::string& path) const { return fs::is_symlink(native(path)); }
  bool exists(const std::string& path) const {
    return fs::exists(fs::symlink_status(native(path)));
  }
  FileTimes times(const std::string& path) const { return read_file_times(path); }
  bool set_times(const std::string& path, FileTime time) { return set_file_times(path, time); }
  bool keeps_access_time_on_open() const { return system_keeps_access_time_on_open(); }
  bool computes_sha256() const { return true; }

 private:
  std::unique_ptr<Platform> platform_;
  std::string root_;
};

}  // namespace invoice::testing

#endif  // INVOICE_TESTS_SYSTEM_PLACE_H_
