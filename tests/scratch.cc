#include "scratch.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "driver/command_line.h"
#include "expected_output.h"

namespace invoice::testing {

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder() {
  std::string pattern = (fs::temp_directory_path() / "invoice-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  // Tests take write permission away; give it back so everything goes.
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(path_, error);
       it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (!it->is_symlink()) ::chmod(it->path().c_str(), 0700);
  }
  fs::remove_all(path_, error);
}

std::string ScratchFolder::write(const std::string& relative, const std::string& content) const {
  const fs::path path = fs::path(path_) / relative;
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
  return path.string();
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

struct stat stat_of(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) info.st_mode = 0;
  return info;
}

void set_times(const std::string& path, long long seconds, long nanoseconds) {
  timespec times[2];
  times[0].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = nanoseconds;
  times[1] = times[0];
  ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

std::vector<std::string> list_tree(const std::string& folder) {
  std::vector<std::string> out;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, error);
       it != fs::recursive_directory_iterator(); it.increment(error)) {
    out.push_back(fs::relative(it->path(), folder).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

namespace {

// In the child before it runs the program: points `fd` where `stream` says.
void redirect(int fd, ProgramOptions::Stream stream) {
  switch (stream) {
    case ProgramOptions::Stream::kCaptured:
      break;
    case ProgramOptions::Stream::kClosed:
      ::close(fd);
      break;
    case ProgramOptions::Stream::kFull:
      ::dup2(::open("/dev/full", O_WRONLY | O_CLOEXEC), fd);
      break;
    case ProgramOptions::Stream::kBrokenPipe: {
      int ends[2];
      if (::pipe2(ends, O_CLOEXEC) != 0) ::_exit(125);
      ::close(ends[0]);
      ::dup2(ends[1], fd);
      break;
    }
  }
}

}  // namespace

ProgramProcess::ProgramProcess(const ProgramOptions& options) {
  const std::string out_path = capture_.path() + "/out", err_path = capture_.path() + "/err";
  std::vector<std::string> environment;
  for (const auto& [name, value] : options.environment) environment.push_back(name + "=" + value);
  if (options.environment.count(kStylesheetHostVariable) == 0) {
    environment.push_back(std::string(kStylesheetHostVariable) + "=" + kStylesheetHost);
  }
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> arguments = options.arguments;
  std::vector<char*> argv{const_cast<char*>(INVOICE_PROGRAM)};
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (options.close_input) ::close(0);
    redirect(1, options.output);
    redirect(2, options.errors);
    // Nothing but the three streams: descriptors that the test runner
    // passed down would skew a limit on open files.
    ::close_range(3, ~0u, 0);
    if (options.group && (::setgroups(options.groups.size(), options.groups.data()) != 0 ||
                          ::setgid(*options.group) != 0)) {
      ::_exit(125);
    }
    if (options.user && ::setuid(*options.user) != 0) ::_exit(125);
    if (::chdir(options.working_folder.c_str()) != 0) ::_exit(126);
    if (options.file_size_limit) {
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{static_cast<rlim_t>(*options.file_size_limit),
                         static_cast<rlim_t>(*options.file_size_limit)};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.open_file_limit) {
      const rlimit limit{static_cast<rlim_t>(*options.open_file_limit),
                         static_cast<rlim_t>(*options.open_file_limit)};
      ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (options.address_space_limit) {
      const rlimit limit{static_cast<rlim_t>(*options.address_space_limit),
                         static_cast<rlim_t>(*options.address_space_limit)};
      ::setrlimit(RLIMIT_AS, &limit);
    }
    if (options.stack_limit) {
      const rlimit limit{static_cast<rlim_t>(*options.stack_limit),
                         static_cast<rlim_t>(*options.stack_limit)};
      ::setrlimit(RLIMIT_STACK, &limit);
    }
    if (options.traced && ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(124);
    ::execve(INVOICE_PROGRAM, argv.data(), envp.data());
    ::_exit(127);
  }
}

ProgramProcess::~ProgramProcess() {
  if (!waited_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

void ProgramProcess::send(int signal_number) const { ::kill(pid_, signal_number); }

ProgramRun ProgramProcess::wait() {
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  return collect(status);
}

ProgramRun ProgramProcess::collect(int status) {
  waited_ = true;
  ProgramRun run;
  run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.output = read_file(capture_.path() + "/out");
  run.errors = read_file(capture_.path() + "/err");
  return run;
}

ProgramRun run_program(const ProgramOptions& options) { return ProgramProcess(options).wait(); }

std::map<std::string, std::string> run_environment(const std::string& root,
                                                   const std::string& temp) {
  return {{"MORROOT", root}, {"TEMP", temp}, {"PATH", "/usr/bin:/bin"}};
}

void change_owner_of_tree(const std::string& path, uid_t user, gid_t group) {
  ::lchown(path.c_str(), user, group);
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(path, error);
       it != fs::recursive_directory_iterator(); it.increment(error)) {
    ::lchown(it->path().c_str(), user, group);
  }
}

std::string write_deep(const std::string& base, const std::vector<std::string>& names,
                       const std::string& file, const std::string& content) {
  int folder = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string path = base;
  for (const std::string& name : names) {
    ::mkdirat(folder, name.c_str(), 0700);
    const int inner = ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(folder);
    if (inner < 0) throw std::runtime_error("cannot make " + path + "/" + name);
    folder = inner;
    path += "/" + name;
  }
  const int fd = ::openat(folder, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ::close(folder);
  if (fd < 0 ||
      ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
    throw std::runtime_error("cannot write " + path + "/" + file);
  }
  ::close(fd);
  return path + "/" + file;
}

std::string read_deep(const std::string& path) {
  int folder = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::size_t at = 1;
  for (std::size_t slash; (slash = path.find('/', at)) != std::string::npos; at = slash + 1) {
    const int inner =
        ::openat(folder, path.substr(at, slash - at).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(folder);
    if (inner < 0) return "(missing)";
    folder = inner;
  }
  const int fd = ::openat(folder, path.substr(at).c_str(), O_RDONLY | O_CLOEXEC);
  ::close(folder);
  if (fd < 0) return "(missing)";
  std::string content;
  char buffer[65536];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
    content.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return content;
}

std::vector<std::string> run_in_tmux(const std::string& command, int timeout_seconds) {
  // A server of its own for each screen: one that is still ending would
  // refuse the next.
  static int screens = 0;
  const std::string socket =
      "invoice-test-" + std::to_string(::getpid()) + "-" + std::to_string(++screens);
  const std::string tmux = "tmux -u -L " + socket + " -f /dev/null ";
  const std::string inner = command + "; " + tmux + "wait-for -S done; sleep 30";
  EXPECT_EQ(std::system((tmux + "new-session -d -x 80 -y 24 \"" + inner + "\"").c_str()), 0);
  EXPECT_EQ(
      std::system(
          ("timeout " + std::to_string(timeout_seconds) + " " + tmux + "wait-for done").c_str()),
      0);
  std::vector<std::string> rows;
  if (FILE* pipe = ::popen((tmux + "capture-pane -p").c_str(), "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
      std::string row(line);
      if (!row.empty() && row.back() == '\n') row.pop_back();
      rows.push_back(row);
    }
    ::pclose(pipe);
  }
  std::system((tmux + "kill-server > /dev/null 2>&1").c_str());
  while (!rows.empty() && rows.back().empty()) rows.pop_back();
  return rows;
}

}  // namespace invoice::testing
