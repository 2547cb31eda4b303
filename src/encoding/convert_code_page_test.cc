#include "encoding/convert_code_page.h"

#include <gtest/gtest.h>

#include <string>

#include "encoding/transcode.h"

namespace invoice {
namespace {

const std::string kMarker = "encoding=\"ibm850\"";
const std::string kReplacement = "encoding=\"UTF-8\"";

// The conversion as a list of lines: cut at every CR LF, transcode each line,
// join with CR LF. The one-pass conversion must give the same bytes.
std::string convert_line_by_line(const std::string& text) {
  std::string joined;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find("\r\n", start);
    joined += transcode(text.substr(start, end - start), "utf");
    if (end == std::string::npos) break;
    joined += "\r\n";
    start = end + 2;
  }
  return joined;
}

TEST(ConvertCodePageTest, DocumentsWithTheMarkerAreRewrittenAndConverted) {
  struct Case {
    const char* name;
    std::string document;
    std::string expected;
  };
  const Case cases[] = {
      {"two lines, each ended by CR LF",
       "<?xml version=\"1.0\" " + kMarker + "?>\r\n<Item>\x82\xD5</Item>\r\n",
       "<?xml version=\"1.0\" " + kReplacement + "?>\r\n<Item>\xC3\xA9\xE2\x82\xAC</Item>\r\n"},
      {"no high bytes: only the declaration changes",
       "<?xml version=\"1.0\" " + kMarker + "?>\r\n<a>Total 12.50</a>",
       "<?xml version=\"1.0\" " + kReplacement + "?>\r\n<a>Total 12.50</a>"},
      {"only the first marker is rewritten",
       "<?xml " + kMarker + "?>\r\n<a>" + kMarker + "\x82</a>",
       "<?xml " + kReplacement + "?>\r\n<a>" + kMarker + "\xC3\xA9</a>"},
      {"a marker outside the declaration counts", "\x82<a/>\r\n<!-- " + kMarker + " -->",
       "\xC3\xA9<a/>\r\n<!-- " + kReplacement + " -->"},
      {"UTF-8 already present is converted again", "<?xml " + kMarker + "?><a>\xC3\xA9</a>",
       "<?xml " + kReplacement + "?><a>\xE2\x94\x9C\xC2\xAE</a>"},
      {"the marker alone becomes the replacement", kMarker, kReplacement},
  };
  for (const Case& c : cases) {
    std::string document = c.document;
    EXPECT_TRUE(convert_code_page(document)) << c.name;
    EXPECT_EQ(document, c.expected) << c.name;
  }
}

TEST(ConvertCodePageTest, TextWithoutTheExactMarkerIsLeftAlone) {
  const std::string near_misses[] = {
      "encoding=\"IBM850\"",   "encoding='ibm850'",
      "encoding = \"ibm850\"", "encoding= \"ibm850\"",
      "encoding =\"ibm850\"",  "Encoding=\"ibm850\"",
      "encoding=\"ibm858\"",   "encoding=\"ibm-850\"",
      "encoding=\"ibm850",     "encoding=ibm850",
      "ncoding=\"ibm850\"",    "encoding=\"UTF-8\"",
      "encoding=\"ibm85\"0",   "",
  };
  for (const std::string& declaration : near_misses) {
    const std::string original = "<?xml " + declaration + "?>\r\n<a>\x82\xD5\xFF</a>";
    std::string document = original;
    EXPECT_FALSE(convert_code_page(document)) << declaration;
    EXPECT_EQ(document, original) << declaration;
  }
}

TEST(ConvertCodePageTest, SecondApplicationFindsNoMarker) {
  std::string document = "<?xml " + kMarker + "?>\r\n<a>\x82\xD5\x80</a>\r\n";
  ASSERT_TRUE(convert_code_page(document));
  const std::string converted = document;
  EXPECT_FALSE(convert_code_page(document));
  EXPECT_EQ(document, converted);
}

TEST(ConvertCodePageTest, WholeTextConversionEqualsLineByLineConversion) {
  // Lone CR and LF, empty lines, a line break at the very end and at the very
  // start, high bytes next to the breaks, NUL, and every byte value.
  std::string every_byte;
  for (int b = 0; b < 256; ++b) every_byte.push_back(static_cast<char>(b));
  const std::string bodies[] = {
      "",
      "\r\n",
      "\r\n\r\n",
      "\x82\r\n\xD5\r\x82\n\xC4\r\n\r\n\xB0",
      "\r\r\n\n\r\x0D\x0A\x0A\x0D",
      std::string("a\0\xD5\r\n\0", 6),
      every_byte + "\r\n" + every_byte,
  };
  for (const std::string& body : bodies) {
    const std::string original = kMarker + body;
    std::string document = original;
    EXPECT_TRUE(convert_code_page(document));
    std::string expected = original;
    expected.replace(0, kMarker.size(), kReplacement);
    EXPECT_EQ(document, convert_line_by_line(expected));
  }
}

}  // namespace
}  // namespace invoice
