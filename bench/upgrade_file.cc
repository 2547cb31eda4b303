// Whole-program counterpart of sed for the comparison in upgrade_vs_sed.sh:
//   upgrade_file INPUT OUTPUT          upgrades the text of INPUT as one
//                                      document, writes it to OUTPUT and
//                                      prints the time of the upgrade alone
//   upgrade_file --copy INPUT OUTPUT   reads and writes the same way without
//                                      upgrading, to measure that part alone
//   upgrade_file --generate SIZE OUTPUT
//                                      writes at least SIZE bytes of Facturae
//                                      3.0 documents that need every rewrite
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "upgrade/upgrade_document.h"
#include "upgrade_text.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool read_file(const char* path, std::string& text) {
  File file(std::fopen(path, "rb"));
  if (!file) return false;
  if (std::fseek(file.get(), 0, SEEK_END) != 0) return false;
  const long size = std::ftell(file.get());
  if (size < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) return false;
  // Room to grow, so that the upgrade can rewrite the text in place.
  const std::size_t capacity =
      static_cast<std::size_t>(size) + static_cast<std::size_t>(size) / 8 + 4096;
  text.reserve(capacity);
  text.resize(static_cast<std::size_t>(size));
  return std::fread(text.data(), 1, text.size(), file.get()) == text.size();
}

bool write_file(const char* path, std::string_view text) {
  File file(std::fopen(path, "wb"));
  if (!file) return false;
  if (std::fwrite(text.data(), 1, text.size(), file.get()) != text.size()) return false;
  return std::fclose(file.release()) == 0;
}

int fail(const char* what, const char* path) {
  std::fprintf(stderr, "upgrade_file: %s %s: %s\n", what, path, std::strerror(errno));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string_view(argv[1]) == "--generate") {
    const std::size_t size = std::strtoull(argv[2], nullptr, 10);
    if (!write_file(argv[3], invoice::bench::make_facturae30_documents(size))) {
      return fail("cannot write", argv[3]);
    }
    return 0;
  }
  const bool copy_only = argc == 4 && std::string_view(argv[1]) == "--copy";
  if (argc != 3 && !copy_only) {
    std::fprintf(stderr,
                 "usage: upgrade_file INPUT OUTPUT\n"
                 "       upgrade_file --copy INPUT OUTPUT\n"
                 "       upgrade_file --generate SIZE OUTPUT\n");
    return 2;
  }
  if (copy_only) {
    ++argv;
  }
  std::string text;
  if (!read_file(argv[1], text)) return fail("cannot read", argv[1]);
  if (copy_only) return write_file(argv[2], text) ? 0 : fail("cannot write", argv[2]);
  const char* host = std::getenv("INVOICE_STYLESHEET_HOST");
  const invoice::ReplacementTable table =
      invoice::build_replacement_table(host != nullptr ? host : "xsl.bench.test");
  const auto start = std::chrono::steady_clock::now();
  invoice::upgrade_document(text, table);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  std::fprintf(stderr, "upgrade_document: %.6f s\n", elapsed.count());
  if (!write_file(argv[2], text)) return fail("cannot write", argv[2]);
  return 0;
}
