#include "encoding/xml_declaration.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

namespace invoice {
namespace {

TEST(XmlDeclarationTest, ReadsTheEncodingOfTheOpeningDeclarationOnly) {
  const struct {
    std::string document;
    std::optional<std::string> encoding;
  } cases[] = {
      {"<?xml version=\"1.0\" encoding=\"UTF-8\"?><a/>", "UTF-8"},
      {"<?xml version='1.0' encoding='ibm850' standalone='yes'?>", "ibm850"},
      {"<?xml encoding=\"x\"?>", "x"},
      {"\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>", "utf-8"},  // byte order mark
      {"<?xml\r\nversion=\"1.0\"\r\nencoding=\"UTF-8\"\r\n?>", "UTF-8"},
      {"<?xml version=\"1.0\" encoding=\"\"?>", ""},
      {"<?xml version=\"1.0\" encoding=\"it's\"?>", "it's"},  // the other quote inside
      // No declaration, or none at the very start.
      {"", std::nullopt},
      {"<?xml", std::nullopt},
      {"<a encoding=\"UTF-8\"/>", std::nullopt},
      {" <?xml version=\"1.0\" encoding=\"UTF-8\"?>", std::nullopt},
      {"\r\n<?xml version=\"1.0\" encoding=\"UTF-8\"?>", std::nullopt},
      {"\xEF\xBB<?xml version=\"1.0\" encoding=\"UTF-8\"?>", std::nullopt},
      {"<?xml-stylesheet encoding=\"UTF-8\"?>", std::nullopt},
      {"<?XML version=\"1.0\" encoding=\"UTF-8\"?>", std::nullopt},
      {"<!-- encoding=\"UTF-8\" --><?xml version=\"1.0\" encoding=\"UTF-8\"?>", std::nullopt},
      // A declaration that names no encoding names none, whatever follows it.
      {"<?xml version=\"1.0\"?><!-- encoding=\"UTF-8\" -->", std::nullopt},
      {"<?xml version=\"1.0\" standalone=\"no\"?>encoding=\"UTF-8\"", std::nullopt},
      {"<?xml version=\"1.0\" Encoding=\"UTF-8\"?>", std::nullopt},
      // Cut or malformed before the encoding.
      {"<?xml version=\"1.0\" encoding=\"UTF-8", std::nullopt},
      {"<?xml version=\"1.0 encoding=\"UTF-8\"?>", std::nullopt},
      {"<?xml version=\"1.0?><a encoding=\"UTF-8\"/>", std::nullopt},
      {"<?xml version 1.0 encoding=\"UTF-8\"?>", std::nullopt},
      {"<?xml version=1.0 encoding=\"UTF-8\"?>", std::nullopt},
      {"<?xml encoding=\"UTF-8'?>", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto encoding = read_declared_encoding(c.document);
    EXPECT_EQ(encoding ? std::optional<std::string>(*encoding) : std::nullopt, c.encoding)
        << c.document;
  }
}

TEST(XmlDeclarationTest, BlanksAroundTheEqualsSignAndEitherQuote) {
  const char* blanks[] = {"", " ", "\t", "\r", "\n", "\r\n", " \t "};
  for (const char* before : blanks) {
    for (const char* after : blanks) {
      for (const char quote : {'"', '\''}) {
        const std::string document = std::string("<?xml version=\"1.0\" encoding") + before + "=" +
                                     after + quote + "ibm850" + quote + "?>";
        EXPECT_EQ(read_declared_encoding(document), std::optional<std::string_view>("ibm850"))
            << document;
      }
    }
  }
}

TEST(XmlDeclarationTest, NamesCompareWithoutRegardToLetterCase) {
  // Every spelling of the two names in upper and lower case letters.
  for (const std::string name : {"ibm850", "utf-8"}) {
    std::size_t letters = 0;
    for (char c : name) letters += (c >= 'a' && c <= 'z');
    for (unsigned mask = 0; mask < (1u << letters); ++mask) {
      std::string spelled = name;
      std::size_t letter = 0;
      for (char& c : spelled) {
        if (c >= 'a' && c <= 'z' && (mask >> letter++ & 1u) != 0) c = static_cast<char>(c - 32);
      }
      EXPECT_TRUE(is_same_encoding_name(spelled, name)) << spelled;
    }
  }
  for (const auto& [a, b] : {std::pair{"ibm850", "ibm858"}, std::pair{"ibm850", "ibm-850"},
                             std::pair{"ibm850", "ibm850 "}, std::pair{"utf-8", "utf8"},
                             std::pair{"@", "`"}, std::pair{"[", "{"}}) {
    EXPECT_FALSE(is_same_encoding_name(a, b)) << a << " " << b;
  }
}

}  // namespace
}  // namespace invoice
