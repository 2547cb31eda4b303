// Properties of `upgrade_document`, checked against the rule written the
// slow, obvious way (replace the leftmost occurrence, search again from the
// start; then the two structural rewrites on the text so far):
//  - with the real table: the same text and the same flag; a false result
//    leaves the text untouched; and no search text of the table is left in
//    the result (no replacement, in any surroundings, forms the search text
//    of a pair applied before it, and the structural rewrites form none);
//  - with a small table taken from the input (every search text holds an "a"
//    and no replacement does, so the slow rule ends): the same text and flag;
//  - with the input placed around the 64 KiB point of a larger text, where
//    the text is cut into pieces, and once more further on: the same text and
//    flag as the slow rule.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "upgrade/upgrade_document.h"
#include "upgrade/upgrade_naively.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void check_against_naive(const std::string& original, const invoice::ReplacementTable& table) {
  std::string fast = original;
  std::string slow = original;
  const bool fast_changed = invoice::upgrade_document(fast, table);
  const bool slow_changed = invoice::upgrade_naively(slow, table);
  check(fast_changed == slow_changed);
  check(fast == slow);
  if (!fast_changed) check(fast == original);
}

std::string small_text(FuzzedDataProvider& data, std::string_view alphabet, std::size_t max) {
  std::string text(data.ConsumeIntegralInRange<std::size_t>(0, max), ' ');
  for (char& c : text)
    c = alphabet[data.ConsumeIntegralInRange<std::size_t>(0, alphabet.size() - 1)];
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  static const invoice::ReplacementTable table = invoice::build_replacement_table("xsl.fuzz.test");
  FuzzedDataProvider data(bytes, size);
  const int mode = data.ConsumeIntegralInRange<int>(0, 7);

  if (mode <= 2) {
    invoice::ReplacementTable own;
    const std::size_t pairs = data.ConsumeIntegralInRange<std::size_t>(1, 3);
    for (std::size_t p = 0; p < pairs; ++p) {
      std::string search = small_text(data, "abc", 4);
      if (search.find('a') == std::string::npos) search += 'a';
      own.push_back({search, small_text(data, "bc", 5)});
    }
    check_against_naive(data.ConsumeRemainingBytesAsString(), own);
    return 0;
  }

  if (mode == 3) {
    // Cut points are the first byte after 64 KiB that occurs in no search
    // text; the filler holds none (nor a first byte of one, which keeps the
    // slow rule quick), so the cut falls inside or after the input.
    const std::size_t lead = data.ConsumeIntegralInRange<std::size_t>(0, 300);
    const std::string input = data.ConsumeRandomLengthString(1024);
    const std::string document = std::string(65536 - lead, 'a') + input + std::string(70000, 'e') +
                                 input + std::string(lead, 'x');
    check_against_naive(document, table);
    return 0;
  }

  const std::string original = data.ConsumeRemainingBytesAsString();
  check_against_naive(original, table);
  std::string upgraded = original;
  invoice::upgrade_document(upgraded, table);
  for (const invoice::ReplacementPair& pair : table) {
    check(upgraded.find(pair.search) == std::string::npos);
  }
  return 0;
}
