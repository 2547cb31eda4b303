#include "encoding/transcode.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace invoice {
namespace {

std::string bytes(std::initializer_list<int> values) {
  std::string text;
  for (int value : values) text.push_back(static_cast<char>(value));
  return text;
}

std::string hex(const std::string& text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (!out.empty()) out.push_back(' ');
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0xF]);
  }
  return out;
}

std::string all_bytes() {
  std::string text;
  for (int b = 0; b < 256; ++b) text.push_back(static_cast<char>(b));
  return text;
}

TEST(TranscodeTest, KnownCharactersOfCodePage858) {
  // Independent of iconv: the first byte, the euro sign at 0xD5 (not U+0131),
  // a box-drawing character and the no-break space at the top.
  EXPECT_EQ(hex(transcode(bytes({0x80, 0xD5, 0xC4, 0x41}), Direction::kToUtf8)),
            hex(bytes({0xC3, 0x87, 0xE2, 0x82, 0xAC, 0xE2, 0x94, 0x80, 0x41})));
  EXPECT_EQ(hex(transcode(bytes({0xFF}), Direction::kToUtf8)), hex(bytes({0xC2, 0xA0})));
  EXPECT_EQ(hex(transcode(bytes({0x9F, 0xF2}), Direction::kToUtf8)),
            hex(bytes({0xC6, 0x92, 0xE2, 0x80, 0x97})));
}

TEST(TranscodeTest, EveryByteSurvivesTheRoundTrip) {
  for (int b = 0; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    EXPECT_EQ(hex(transcode(transcode(byte, Direction::kToUtf8), Direction::kToCodePage)),
              hex(byte))
        << "byte " << b;
  }
  EXPECT_EQ(transcode(transcode(all_bytes(), Direction::kToUtf8), Direction::kToCodePage),
            all_bytes());
}

TEST(TranscodeTest, BytesBelow128StayInPlaceBetweenConvertedOnes) {
  for (int b = 0; b < 128; ++b) {
    const std::string ascii(1, static_cast<char>(b));
    EXPECT_EQ(hex(transcode(bytes({0x82}) + ascii + bytes({0xD5}), Direction::kToUtf8)),
              hex(bytes({0xC3, 0xA9}) + ascii + bytes({0xE2, 0x82, 0xAC})))
        << "byte " << b;
    EXPECT_EQ(hex(transcode(bytes({0xC3, 0xA9}) + ascii + bytes({0xE2, 0x82, 0xAC}),
                            Direction::kToCodePage)),
              hex(bytes({0x82}) + ascii + bytes({0xD5})))
        << "byte " << b;
  }
  const std::string low = all_bytes().substr(0, 128);
  EXPECT_EQ(transcode(low, Direction::kToUtf8), low);
  EXPECT_EQ(transcode(low, Direction::kToCodePage), low);
  EXPECT_EQ(transcode(std::string("a\0\r\nb\r\r\n\n", 9), Direction::kToUtf8),
            std::string("a\0\r\nb\r\r\n\n", 9));
}

TEST(TranscodeTest, EmptyTextStaysEmpty) {
  EXPECT_EQ(transcode("", Direction::kToUtf8), "");
  EXPECT_EQ(transcode("", Direction::kToCodePage), "");
}

struct FromUtf8Case {
  const char* what;
  std::string input;
  std::string expected;
};

TEST(TranscodeTest, Utf8ToCodePage858) {
  const FromUtf8Case cases[] = {
      {"ASCII", "Factura 12", "Factura 12"},
      {"two-byte letter", bytes({0xC3, 0xA9}), bytes({0x82})},
      {"euro sign", bytes({0xE2, 0x82, 0xAC}), bytes({0xD5})},
      {"box drawing", bytes({0xE2, 0x94, 0x80}), bytes({0xC4})},
      {"no-break space", bytes({0xC2, 0xA0}), bytes({0xFF})},
      {"dotless i has no byte", bytes({0xC4, 0xB1}), "?"},
      {"Greek gamma has no byte", bytes({0xCE, 0xB3}), "?"},
      {"CJK has no byte", bytes({0xE4, 0xB8, 0xAD}), "?"},
      {"replacement character has no byte", bytes({0xEF, 0xBF, 0xBD}), "?"},
      {"three-byte sequence cut short", bytes({0x61, 0x62, 0xE2, 0x82}), "ab?"},
      {"lone two-byte lead", bytes({0xC3}), "?"},
      {"cut short swallows ASCII after the lead", bytes({0x61, 0xE2, 0x41}), "a?"},
      {"cut-short four-byte sequence", bytes({0x61, 0xF0, 0x9F, 0x98}), "a?"},
      {"continuation byte as lead", bytes({0x80, 0x78}), "?x"},
      {"every stray continuation byte", bytes({0xBF, 0x80, 0x41}), "??A"},
      {"0xFE", bytes({0xFE}), "?"},
      {"0xFF", bytes({0xFF}), "?"},
      {"0xFE 0xFF between letters", bytes({0x61, 0xFE, 0xFF, 0x62}), "a??b"},
      {"four-byte sequence", bytes({0xF0, 0x9F, 0x98, 0x80}), "?"},
      {"four-byte sequence skipped whole", bytes({0xF0, 0x9F, 0x98, 0x80, 0x61}), "?a"},
      {"five-byte sequence skipped whole", bytes({0xF8, 0x88, 0x80, 0x80, 0x80, 0x61}), "?a"},
      {"six-byte sequence skipped whole", bytes({0xFC, 0x84, 0x80, 0x80, 0x80, 0x80, 0x61}), "?a"},
      {"skipped bytes are not read", bytes({0xF0, 0x41, 0x42, 0x43, 0x44}), "?D"},
      {"overlong pair", bytes({0xC1, 0x81}), "A"},
      {"overlong three bytes", bytes({0xE0, 0x83, 0xA9}), bytes({0x82})},
      {"continuation byte unchecked", bytes({0xC3, 0x29}), "i"},
      {"negative unit wraps past every byte", bytes({0xC0, 0x00}), "?"},
      {"three-byte unit wraps to ASCII", bytes({0xEF, 0xC1, 0x81}), "A"},
      {"three-byte unit wraps to a letter", bytes({0xEF, 0xC3, 0xA9}), bytes({0x82})},
      {"NUL inside", bytes({0x00, 0xC3, 0xA9, 0x00}), bytes({0x00, 0x82, 0x00})},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hex(transcode(c.input, Direction::kToCodePage)), hex(c.expected)) << c.what;
  }
}

TEST(TranscodeTest, LongTextsCrossTheWordSizedFastPath) {
  // Multi-byte sequences and cut-short ends at every offset around the
  // 8-byte ASCII runs.
  for (std::size_t prefix = 0; prefix < 20; ++prefix) {
    const std::string ascii(prefix, 'x');
    const std::string latin = ascii + bytes({0x82, 0xD5}) + ascii + bytes({0xB0});
    const std::string utf8 =
        ascii + bytes({0xC3, 0xA9, 0xE2, 0x82, 0xAC}) + ascii + bytes({0xE2, 0x96, 0x91});
    EXPECT_EQ(hex(transcode(latin, Direction::kToUtf8)), hex(utf8)) << prefix;
    EXPECT_EQ(hex(transcode(utf8, Direction::kToCodePage)), hex(latin)) << prefix;
    EXPECT_EQ(transcode(ascii + bytes({0xE2, 0x82}), Direction::kToCodePage), ascii + "?")
        << prefix;
  }
}

}  // namespace
}  // namespace invoice
