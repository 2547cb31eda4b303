// Invoices far larger than any real one: several hundred MiB, and more than
// 4 GiB (a sparse file, so that only what the program writes takes disk
// space). They take from seconds to minutes and need about 10 GiB of memory
// for the largest, so they run only with INVOICE_LONG_TESTS=1.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "encoding/transcode.h"
#include "sample_invoices.h"
#include "scratch.h"

namespace invoice {
namespace {

namespace fs = std::filesystem;
using testing::ProgramOptions;
using testing::ProgramRun;
using testing::ScratchFolder;

bool long_tests_wanted() {
  const char* value = std::getenv("INVOICE_LONG_TESTS");
  return value != nullptr && std::string(value) == "1";
}

#define SKIP_UNLESS_LONG_TESTS_WANTED() \
  if (!long_tests_wanted()) GTEST_SKIP() << "set INVOICE_LONG_TESTS=1 to run"

ProgramRun run_timed(const std::string& root, const std::string& temp, const char* what) {
  ProgramOptions options;
  options.environment = testing::run_environment(root, temp);
  const auto start = std::chrono::steady_clock::now();
  ProgramRun result = testing::run_program(options);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("%s: the program took %.1f s\n", what, took.count());
  return result;
}

TEST(LongTest, InvoiceOfSeveralHundredMebibytes) {
  SKIP_UNLESS_LONG_TESTS_WANTED();
  ScratchFolder root;
  ScratchFolder temp;
  // 3.0 and code page 850, so it is read once and written twice.
  std::string text = testing::old_invoice();
  const std::string line =
      "<InvoiceLine><ItemDescription>Caf\x82 amb llet \x80 \xD5 1,20</ItemDescription>"
      "</InvoiceLine>\r\n";
  text.reserve(300u << 20);
  while (text.size() < (300u << 20)) text += line;
  const std::string path = root.write("DOCUMENT/big.xml", text);
  const std::string expected = testing::converted(text);
  text.clear();
  const ProgramRun result = run_timed(root.path(), temp.path(), "300 MiB");
  EXPECT_EQ(result.exit_status, 0) << result.errors;
  EXPECT_EQ(result.output, testing::summary_lines(1, 1));
  EXPECT_TRUE(testing::read_file(path) == expected) << "the 300 MiB invoice is not as expected";
}

// Holes of zero bytes make the file large without taking disk space; the
// pieces between them hold texts that each step must find and change past
// the 4 GiB mark.
TEST(LongTest, InvoiceLargerThanFourGibibytesIsConvertedWhole) {
  SKIP_UNLESS_LONG_TESTS_WANTED();
  ScratchFolder root;
  ScratchFolder temp;
  constexpr std::uint64_t kGiB = 1ull << 30;
  const std::string head = testing::old_invoice();
  const std::string middle = "<Telefax>\x82\xD5</Telefax>";
  const std::string tail = "<!-- \x82 end -->\r\n";
  const std::uint64_t middle_at = 4 * kGiB + 100;
  const std::uint64_t size = 4 * kGiB + kGiB / 2;
  const std::string path = root.write("DOCUMENT/huge.xml", head);
  {
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, middle.data(), middle.size(), static_cast<off_t>(middle_at)),
              static_cast<ssize_t>(middle.size()));
    ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(size - tail.size())),
              static_cast<ssize_t>(tail.size()));
    ::close(fd);
  }
  ASSERT_EQ(fs::file_size(path), size);

  // The same steps on each piece: the upgrade's texts and the declaration
  // lie in the head, "<Telefax>" in the middle; every piece is then
  // converted to UTF-8, and the zero bytes stay what they are.
  const std::string new_head = testing::converted(head);
  std::string new_middle = middle;
  upgrade_document(new_middle, testing::make_test_table());
  new_middle = transcode(new_middle, Direction::kToUtf8);
  const std::string new_tail =
      transcode(tail.substr(0, tail.size() - 2), Direction::kToUtf8) + "\r\n";
  const std::uint64_t new_middle_at = middle_at + new_head.size() - head.size();
  const std::uint64_t new_size = size + (new_head.size() - head.size()) +
                                 (new_middle.size() - middle.size()) +
                                 (new_tail.size() - tail.size());

  const ProgramRun result = run_timed(root.path(), temp.path(), "4.5 GiB");
  EXPECT_EQ(result.exit_status, 0) << result.errors;
  EXPECT_EQ(result.output, testing::summary_lines(1, 1));
  ASSERT_EQ(fs::file_size(path), new_size);

  // Compared piece by piece, a MiB at a time.
  std::ifstream in(path, std::ios::binary);
  std::string buffer(1 << 20, '\0');
  std::uint64_t at = 0;
  std::uint64_t differences = 0;
  auto expected_byte = [&](std::uint64_t offset) -> char {
    if (offset < new_head.size()) return new_head[offset];
    if (offset >= new_middle_at && offset < new_middle_at + new_middle.size()) {
      return new_middle[offset - new_middle_at];
    }
    if (offset >= new_size - new_tail.size())
      return new_tail[offset - (new_size - new_tail.size())];
    return '\0';
  };
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
    const auto got = static_cast<std::size_t>(in.gcount());
    for (std::size_t i = 0; i < got; ++i) {
      if (buffer[i] != expected_byte(at + i) && differences++ < 5) {
        ADD_FAILURE() << "byte " << at + i << " differs";
      }
    }
    at += got;
  }
  EXPECT_EQ(at, new_size);
  EXPECT_EQ(differences, 0u);
}

}  // namespace
}  // namespace invoice
