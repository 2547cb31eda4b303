// Whole-program counterpart of iconv for the comparison in
// transcode_vs_iconv.sh (Linux only):
//   transcode_file [--whole] MODE INPUT OUTPUT
//       transcodes INPUT into OUTPUT; MODE "850" is UTF-8 to code page 858,
//       any other mode code page 858 to UTF-8. Like iconv, the input is mapped
//       and converted in pieces of about 1 MiB that are written as they are
//       done; --whole converts the whole input with one call instead.
//   transcode_file --generate SIZE OUTPUT
//       writes SIZE bytes of invoice-like text in code page 858.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "encoding/transcode.h"
#include "invoice_text.h"

namespace {

// Large pieces keep the number of writes small; the page cache takes large
// writes in fewer, larger folios.
constexpr std::size_t kPiece = std::size_t{1} << 20;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  // Closes now so that a failing close is seen.
  bool close_checked() {
    const int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }

 private:
  int fd_;
};

// A read-only mapping of a whole file.
class MappedFile {
 public:
  explicit MappedFile(const char* path) {
    const FileDescriptor file(open(path, O_RDONLY));
    struct stat status;
    if (file.get() < 0 || fstat(file.get(), &status) != 0) return;
    size_ = static_cast<std::size_t>(status.st_size);
    ok_ = true;
    if (size_ == 0) return;
    void* data = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.get(), 0);
    if (data == MAP_FAILED) {
      ok_ = false;
      return;
    }
    data_ = data;
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() {
    if (data_ != nullptr) munmap(data_, size_);
  }
  bool ok() const { return ok_; }
  std::string_view text() const {
    return data_ == nullptr ? std::string_view()
                            : std::string_view(static_cast<char*>(data_), size_);
  }

 private:
  void* data_ = nullptr;
  std::size_t size_ = 0;
  bool ok_ = false;
};

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// End of the next piece starting at `start`. Code page 858 converts byte by
// byte, so any end will do. A UTF-8 sequence is at most six bytes long and a
// byte below 0x80 that starts a sequence is a sequence of its own, so after
// five such bytes in a row a new sequence must begin: the piece ends there.
std::size_t piece_end(std::string_view text, std::size_t start, bool from_utf8) {
  std::size_t end = start + kPiece;
  if (end >= text.size()) return text.size();
  if (!from_utf8) return end;
  std::size_t ascii_run = 0;
  for (std::size_t i = end - 5; i < text.size(); ++i) {
    ascii_run = static_cast<unsigned char>(text[i]) < 0x80 ? ascii_run + 1 : 0;
    if (ascii_run == 5) return i + 1;
  }
  return text.size();
}

int fail(const char* what, const char* path) {
  std::fprintf(stderr, "transcode_file: %s %s: %s\n", what, path, std::strerror(errno));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const bool whole = argc == 5 && std::string_view(argv[1]) == "--whole";
  if (argc != 4 && !whole) {
    std::fprintf(stderr,
                 "usage: transcode_file [--whole] MODE INPUT OUTPUT\n"
                 "       transcode_file --generate SIZE OUTPUT\n");
    return 2;
  }
  char** args = whole ? argv + 2 : argv + 1;
  const bool generate = std::string_view(args[0]) == "--generate";
  const char* output_path = args[2];
  FileDescriptor output(open(output_path, O_WRONLY | O_CREAT | O_TRUNC, 0644));
  if (output.get() < 0) return fail("cannot open", output_path);

  if (generate) {
    const std::size_t size = std::strtoull(args[1], nullptr, 10);
    if (!write_all(output.get(), invoice::bench::make_invoice_text(size))) {
      return fail("cannot write", output_path);
    }
  } else {
    const auto direction = std::string_view(args[0]) == "850" ? invoice::Direction::kToCodePage
                                                              : invoice::Direction::kToUtf8;
    const MappedFile input(args[1]);
    if (!input.ok()) return fail("cannot read", args[1]);
    const std::string_view text = input.text();
    if (whole) {
      if (!write_all(output.get(), invoice::transcode(text, direction))) {
        return fail("cannot write", output_path);
      }
    } else {
      for (std::size_t start = 0; start < text.size();) {
        const std::size_t end =
            piece_end(text, start, direction == invoice::Direction::kToCodePage);
        if (!write_all(output.get(),
                       invoice::transcode(text.substr(start, end - start), direction))) {
          return fail("cannot write", output_path);
        }
        start = end;
      }
    }
  }
  if (!output.close_checked()) return fail("cannot write", output_path);
  return 0;
}
