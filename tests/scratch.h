#ifndef INVOICE_TESTS_SCRATCH_H_
#define INVOICE_TESTS_SCRATCH_H_

#include <sys/stat.h>
#include <sys/types.h>

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
  std::vector<std::string> arguments;  // after the program's name
  std::string working_folder = ".";
  std::optional<long long> file_size_limit;      // bytes, with SIGXFSZ ignored
  std::optional<long long> stack_limit;          // bytes
  std::optional<long long> open_file_limit;      // descriptors
  std::optional<long long> address_space_limit;  // bytes
  // Run as this user and group instead (needs root), with `groups` as the
  // only other groups.
  std::optional<uid_t> user;
  std::optional<gid_t> group;
  std::vector<gid_t> groups;
  // Where standard output and error go: captured for the test, closed, a
  // full device (/dev/full) or a pipe that nobody reads (closed read end).
  enum class Stream { kCaptured, kClosed, kFull, kBrokenPipe };
  Stream output = Stream::kCaptured;
  Stream errors = Stream::kCaptured;
  bool close_input = false;
  // Stops at the start of the program, traced by the test (PTRACE_TRACEME).
  bool traced = false;
};

// The built program, started with exactly `options.environment` and, unless
// that sets it, INVOICE_STYLESHEET_HOST naming the tests' host; killed and
// waited for if it still runs when the object goes away.
class ProgramProcess {
 public:
  explicit ProgramProcess(const ProgramOptions& options);
  ~ProgramProcess();
  ProgramProcess(const ProgramProcess&) = delete;
  ProgramProcess& operator=(const ProgramProcess&) = delete;

  pid_t pid() const { return pid_; }
  void send(int signal_number) const;
  // Waits for the end and collects what the program wrote.
  ProgramRun wait();
  // Collects what the program wrote when its end, `wait_status`, was waited
  // for elsewhere (by a tracer).
  ProgramRun collect(int wait_status);

 private:
  ScratchFolder capture_;
  pid_t pid_ = -1;
  bool waited_ = false;
};

// Runs the built program to its end.
ProgramRun run_program(const ProgramOptions& options);

// The environment of a run over the tree `root` that writes its file list
// in `temp`, with a PATH of the system's own tools.
std::map<std::string, std::string> run_environment(const std::string& root,
                                                   const std::string& temp);

// The user that tests hand files to when run as root: "nobody".
inline constexpr uid_t kUnprivilegedUser = 65534;
inline constexpr gid_t kUnprivilegedGroup = 65534;
// Gives `path` and everything below it (links themselves) to `user`.
void change_owner_of_tree(const std::string& path, uid_t user, gid_t group);

// Makes the folders `names` one inside the other below `base` and writes
// `content` to `file` in the innermost; works whatever the length of the
// path. Returns the full path of the file.
std::string write_deep(const std::string& base, const std::vector<std::string>& names,
                       const std::string& file, const std::string& content);
// Reads a file at the end of such a path.
std::string read_deep(const std::string& path);

// Runs the shell command `command` in a tmux terminal of 80 by 24, waits up
// to `timeout_seconds` for it to end, and returns the screen's rows with
// trailing blank rows dropped (tmux drops trailing blanks within a row).
std::vector<std::string> run_in_tmux(const std::string& command, int timeout_seconds);

}  // namespace invoice::testing

#endif  // INVOICE_TESTS_SCRATCH_H_
