#ifndef INVOICE_TESTS_SCRATCH_H_
#define INVOICE_TESTS_SCRATCH_H_

#include <sys/stat.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace invoice::testing {

// A folder of its own for one test, removed with everything in it when the
// object goes away. The only place where tests touch the real disk.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }
  // Writes a file below the folder, making its parents; returns its path.
  std::string write(const std::string& relative, const std::string& content) const;

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
struct stat stat_of(const std::string& path);
// Sets a file's last-access and last-write time.
void set_times(const std::string& path, long long seconds, long nanoseconds);
// Every path below `folder` (files, folders and links), relative to it.
std::vector<std::string> list_tree(const std::string& folder);

// What a run of the program gave.
struct ProgramRun {
  int exit_status = -1;  // or 128 + signal
  std::string output;
  std::string errors;
};

struct ProgramOptions {
  std::map<std::string, std::string> environment;
  std::string working_folder = ".";
  std::optional<long long> file_size_limit;  // bytes, with SIGXFSZ ignored
};

// Runs the built program with exactly `options.environment`.
ProgramRun run_program(const ProgramOptions& options);

}  // namespace invoice::testing

#endif  // INVOICE_TESTS_SCRATCH_H_
