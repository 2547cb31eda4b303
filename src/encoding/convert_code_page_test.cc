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
    joined += transcode(text.substr(start, end - start), Direction::kToUtf8);
    if (end == std::string::npos) break;
    joined += "\r\n";
    start = end + 2;
  }
  return joined;
}

std::string repeated(const std::string& text, int times) {
  std::string result;
  for (int i = 0; i < times; ++i) result += text;
  return result;
}

TEST(ConvertCodePageTest, DocumentsDeclaredIbm850AreRewrittenAndConverted) {
  const std::string bom = "\xEF\xBB\xBF";
  struct Case {
    const char* name;
    std::string document;
    std::string expected;
    CodePageOutcome outcome = CodePageOutcome::kConverted;
  };
  const Case cases[] = {
      {"two lines, each ended by CR LF",
       "<?xml version=\"1.0\" " + kMarker + "?>\r\n<Item>\x82\xD5</Item>\r\n",
       "<?xml version=\"1.0\" " + kReplacement + "?>\r\n<Item>\xC3\xA9\xE2\x82\xAC</Item>\r\n"},
      {"no high bytes: only the declaration changes",
       "<?xml version=\"1.0\" " + kMarker + "?>\r\n<a>Total 12.50</a>",
       "<?xml version=\"1.0\" " + kReplacement + "?>\r\n<a>Total 12.50</a>"},
      {"a later marker stays", "<?xml " + kMarker + "?>\r\n<a>" + kMarker + "\x82</a>",
       "<?xml " + kReplacement + "?>\r\n<a>" + kMarker + "\xC3\xA9</a>"},
      {"single quotes are kept", "<?xml version='1.0' encoding='ibm850'?><a>\x82</a>",
       "<?xml version='1.0' encoding='UTF-8'?><a>\xC3\xA9</a>"},
      {"capitals, and a later marker stays",
       "<?xml version=\"1.0\" encoding=\"IBM850\"?><!-- " + kMarker + " -->\x82",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!-- " + kMarker + " -->\xC3\xA9"},
      {"blanks around the equals sign are kept", "<?xml encoding =\r\n\"iBm850\"?>\xD5",
       "<?xml encoding =\r\n\"UTF-8\"?>\xE2\x82\xAC"},
      {"the byte order mark is kept, the rest converted",
       bom + "<?xml " + kMarker + "?><a>\x82\xEF\xBB\xBF</a>",
       bom + "<?xml " + kReplacement + "?><a>\xC3\xA9\xC2\xB4\xE2\x95\x97\xE2\x94\x90</a>"},
      {"the byte order mark is kept, a text longer than a register converted",
       bom + "<?xml " + kMarker + "?>" + repeated("<a>\x82\xD5</a>", 40),
       bom + "<?xml " + kReplacement + "?>" + repeated("<a>\xC3\xA9\xE2\x82\xAC</a>", 40)},
      {"UTF-8 text declared ibm850: only the declaration",
       "<?xml " + kMarker + "?><a>Jos\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80</a>",
       "<?xml " + kReplacement + "?><a>Jos\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80</a>",
       CodePageOutcome::kDeclarationOnly},
      {"byte order mark and UTF-8 text: only the declaration",
       bom + "<?xml encoding='ibm850'?><a>\xC3\xA9</a>",
       bom + "<?xml encoding='UTF-8'?><a>\xC3\xA9</a>", CodePageOutcome::kDeclarationOnly},
      {"byte order mark and ASCII text: only the declaration", bom + "<?xml " + kMarker + "?>",
       bom + "<?xml " + kReplacement + "?>", CodePageOutcome::kDeclarationOnly},
      {"UTF-8 but for one byte is converted whole", "<?xml " + kMarker + "?>\xC3\xA9\x82",
       "<?xml " + kReplacement + "?>\xE2\x94\x9C\xC2\xAE\xC3\xA9"},
  };
  for (const Case& c : cases) {
    std::string document = c.document;
    EXPECT_EQ(convert_code_page(document), c.outcome) << c.name;
    EXPECT_EQ(document, c.expected) << c.name;
  }
}

TEST(ConvertCodePageTest, DocumentsNotDeclaredIbm850AreLeftAlone) {
  const std::string near_misses[] = {
      "<?xml Encoding=\"ibm850\"?>",
      "<?xml encoding=\"ibm858\"?>",
      "<?xml encoding=\"ibm-850\"?>",
      "<?xml encoding=\"ibm850?>",
      "<?xml encoding=ibm850?>",
      "<?xml ncoding=\"ibm850\"?>",
      "<?xml encoding=\"UTF-8\"?>",
      "<?xml encoding=\"ibm85\"0?>",
      "<?xml ?>",
      "",
      // The marker anywhere but in the opening declaration.
      kMarker,
      "<a/>\r\n<!-- " + kMarker + " -->",
      "<?xml version=\"1.0\"?><!-- " + kMarker + " --><a>" + kMarker + "</a>",
      " <?xml " + kMarker + "?>",
      "\xEF\xBB<?xml " + kMarker + "?>",
  };
  for (const std::string& head : near_misses) {
    for (const char* body : {"\r\n<a>\x82\xD5\xFF</a>", "<a>Jos\xC3\xA9</a>"}) {
      const std::string original = head + body;
      std::string document = original;
      EXPECT_EQ(convert_code_page(document), CodePageOutcome::kUnchanged) << original;
      EXPECT_EQ(document, original) << original;
    }
  }
}

TEST(ConvertCodePageTest, SecondApplicationFindsNoMarker) {
  std::string document = "<?xml " + kMarker + "?>\r\n<a>\x82\xD5\x80</a>\r\n";
  ASSERT_EQ(convert_code_page(document), CodePageOutcome::kConverted);
  const std::string converted = document;
  EXPECT_EQ(convert_code_page(document), CodePageOutcome::kUnchanged);
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
    const std::string original = "<?xml " + kMarker + "?>" + body;
    std::string document = original;
    EXPECT_EQ(convert_code_page(document), CodePageOutcome::kConverted);
    std::string expected = original;
    expected.replace(6, kMarker.size(), kReplacement);
    EXPECT_EQ(document, convert_line_by_line(expected));
  }
}

}  // namespace
}  // namespace invoice
