// The code page tables held against the system's own iconv, where it is
// installed with code page 858.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "encoding/transcode.h"
#include "scratch.h"

namespace invoice {
namespace {

std::string all_bytes() {
  std::string text;
  for (int b = 0; b < 256; ++b) text.push_back(static_cast<char>(b));
  return text;
}

// Runs the system's iconv on `input`; nothing when it is missing or fails.
std::optional<std::string> run_iconv(const std::string& input, const std::string& from,
                                     const std::string& to) {
  const testing::ScratchFolder scratch;
  const std::string path = scratch.write("input", input);
  const std::string command = "iconv -f " + from + " -t " + to + " '" + path + "' 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string text;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
  const int status = ::pclose(pipe);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return text;
}

// Splits valid UTF-8 into its characters.
std::vector<std::string> split_utf8(const std::string& text) {
  std::vector<std::string> characters;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    characters.push_back(text.substr(i, length));
    i += length;
  }
  return characters;
}

TEST(TranscodeIconvTest, EveryByteMatchesTheSystemCodePage858) {
  const auto expected = run_iconv(all_bytes(), "CP858", "UTF-8");
  if (!expected) GTEST_SKIP() << "iconv with CP858 is not available";
  const std::vector<std::string> characters = split_utf8(*expected);
  ASSERT_EQ(characters.size(), 256u);
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(transcode(std::string(1, static_cast<char>(b)), Direction::kToUtf8),
              characters[static_cast<std::size_t>(b)])
        << "byte " << b;
  }
  EXPECT_EQ(transcode(all_bytes(), Direction::kToUtf8), *expected);
}

TEST(TranscodeIconvTest, SystemUtf8ToCodePage858AgreesOnTheWholeCodePage) {
  const std::string utf8 = transcode(all_bytes(), Direction::kToUtf8);
  const auto expected = run_iconv(utf8, "UTF-8", "CP858");
  if (!expected) GTEST_SKIP() << "iconv with CP858 is not available";
  EXPECT_EQ(transcode(utf8, Direction::kToCodePage), *expected);
}

}  // namespace
}  // namespace invoice
