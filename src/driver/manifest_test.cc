#include "driver/manifest.h"

#include <gtest/gtest.h>

namespace invoice {
namespace {

TEST(ManifestTest, LinesComeBackAsWrittenWhateverTheNames) {
  const std::string a(64, 'a');
  const std::string b(64, 'b');
  const std::vector<ManifestEntry> entries = {
      {"2011/02/F.xml", "2011/02/F.xml", a, {b}, "stylesheet-host=x;convert-signed=no", "t1"},
      {"tab\there/new\nline.xml", "tab\there/new\nline.1.xml", b, {a, b}, "", "t2"},
      {"back\\x41slash\xFF.xml", "k", a, {a}, "", "t3"},
  };
  std::string text(kManifestHeader);
  for (const ManifestEntry& entry : entries) text += format_manifest_line(entry);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
  EXPECT_EQ(parse_manifest(text), entries);
  // A line torn by a kill, and one that a later run ended, are skipped.
  EXPECT_EQ(parse_manifest(text + "2011/03/G.xml\t2011/03"), entries);
  EXPECT_EQ(parse_manifest(text + "2011/03/G.xml\t2011/03\n"), entries);
}

TEST(ManifestTest, DigestsAndTimesAreWrittenInTheirFixedForms) {
  Sha256 digest{};
  digest[0] = 0xAB;
  digest[31] = 0x01;
  EXPECT_EQ(to_hex(digest), "ab" + std::string(60, '0') + "01");
  EXPECT_EQ(format_utc_time({0, 0}), "1970-01-01T00:00:00Z");
  EXPECT_EQ(format_utc_time({951782400, 5}), "2000-02-29T00:00:00Z");
  EXPECT_EQ(format_utc_time({1765283696, 0}), "2025-12-09T12:34:56Z");
  EXPECT_EQ(format_utc_time({-1, 0}), "1969-12-31T23:59:59Z");
}

}  // namespace
}  // namespace invoice
