#include "upgrade/upgrade_document.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "upgrade_naively.h"

namespace invoice {
namespace {

using namespace std::string_literals;

constexpr std::string_view kHost = "xsl.factures.test:8080";
const std::string kWebStylesheet = R"(<?xml-stylesheet type="text/xsl" href="http://)" +
                                   std::string(kHost) + R"(/XSL/FACTURA.XSL"?>)";
constexpr std::string_view kNamespace30 = R"("http://www.facturae.es/Facturae/2007/v3.0/Facturae")";
constexpr std::string_view kNamespace321 =
    R"("http://www.facturae.es/Facturae/2014/v3.2.1/Facturae")";

TEST(BuildReplacementTable, HoldsElevenPairsWithTheExpectedLengths) {
  const ReplacementTable table = build_replacement_table(kHost);
  ASSERT_EQ(table.size(), 11u);
  const std::size_t web = kWebStylesheet.size();
  const std::vector<std::pair<std::size_t, std::size_t>> lengths = {
      {52, 54}, {34, 36}, {9, 9},    {10, 10},  {18, 17}, {18, 17},
      {18, 17}, {18, 17}, {65, web}, {65, web}, {65, web}};
  for (std::size_t i = 0; i < 11; ++i) {
    EXPECT_EQ(table[i].search.size(), lengths[i].first) << "pair " << i + 1;
    EXPECT_EQ(table[i].replacement.size(), lengths[i].second) << "pair " << i + 1;
  }
  // Without a host the local stylesheet references stay: no made-up host.
  const ReplacementTable without_host = build_replacement_table("");
  EXPECT_EQ(without_host.size(), 8u);
  for (const ReplacementPair& pair : without_host)
    EXPECT_FALSE(holds_local_stylesheet(pair.search));
  EXPECT_TRUE(holds_local_stylesheet("<a/>" + table[10].search));
}

TEST(BuildReplacementTable, TextsAreNonEmptyAsciiAndNeverReintroduceTheirSearch) {
  const ReplacementTable table = build_replacement_table(kHost);
  for (std::size_t i = 0; i < table.size(); ++i) {
    const std::string& search = table[i].search;
    const std::string& replacement = table[i].replacement;
    EXPECT_FALSE(search.empty()) << "pair " << i + 1;
    EXPECT_EQ(replacement.find(search), std::string::npos) << "pair " << i + 1;
    for (const std::string* text : {&search, &replacement}) {
      for (const char c : *text) {
        EXPECT_LT(static_cast<unsigned char>(c), 0x80u) << "pair " << i + 1;
      }
    }
  }
}

// The one-pass rewrite stays linear only if a replacement can never form an
// occurrence wholly out of text already written: for an overlap t of a
// search suffix with a replacement prefix, the search must begin with the
// same t bytes, which makes such an occurrence one that existed before.
TEST(BuildReplacementTable, NoReplacementCompletesAnOccurrenceWithTheTextBeforeIt) {
  const ReplacementTable table = build_replacement_table(kHost);
  for (std::size_t i = 0; i < table.size(); ++i) {
    const std::string_view search = table[i].search;
    const std::string_view replacement = table[i].replacement;
    for (std::size_t t = 1; t < search.size() && t <= replacement.size(); ++t) {
      if (search.substr(search.size() - t) == replacement.substr(0, t)) {
        EXPECT_EQ(search.substr(0, t), replacement.substr(0, t)) << "pair " << i + 1 << " t " << t;
      }
    }
  }
}

constexpr auto kUnchanged = UpgradeOutcome::kUnchanged;
constexpr auto kUpgraded = UpgradeOutcome::kUpgraded;
constexpr auto kUnrecognised = UpgradeOutcome::kUnrecognisedStructure;

struct UpgradeCase {
  const char* name;
  std::string input;
  std::string expected;
  UpgradeOutcome outcome;
};

void PrintTo(const UpgradeCase& c, std::ostream* os) { *os << c.name; }

std::string case_name(const testing::TestParamInfo<UpgradeCase>& param) { return param.param.name; }

// A case whose text comes back as it went in.
UpgradeCase left_alone(const char* name, const std::string& text,
                       UpgradeOutcome outcome = kUnrecognised) {
  return {name, text, text, outcome};
}

class UpgradeDocumentCase : public testing::TestWithParam<UpgradeCase> {};

TEST_P(UpgradeDocumentCase, GivesTheExpectedTextAndFlag) {
  const ReplacementTable table = build_replacement_table(kHost);
  std::string document = GetParam().input;
  EXPECT_EQ(upgrade_document(document, table), GetParam().outcome);
  EXPECT_EQ(document, GetParam().expected);
}

const std::string kUpgradedDocument =
    R"(<?xml version="1.0" encoding="UTF-8"?>)"
    "\r\n" +
    std::string(kWebStylesheet) +
    "\r\n"
    R"(<fe:Facturae xmlns:fe="http://www.facturae.es/Facturae/2014/v3.2.1/Facturae">)"
    "\r\n<FileHeader><SchemaVersion>3.2.1</SchemaVersion></FileHeader>\r\n"
    "<Parties><BuyerParty><TeleFax>1</TeleFax></BuyerParty>\r\n</Parties>\r\n"
    "<Invoices><Invoice><LanguageName>es</LanguageName></Invoice></Invoices>\r\n"
    "</fe:Facturae>\r\n";

INSTANTIATE_TEST_SUITE_P(
    LiteralPairs, UpgradeDocumentCase,
    testing::Values(
        UpgradeCase{"Empty", "", "", kUnchanged},
        UpgradeCase{"Already321", kUpgradedDocument, kUpgradedDocument, kUnchanged},
        UpgradeCase{"Namespace", "xmlns=" + std::string(kNamespace30) + ">",
                    "xmlns=" + std::string(kNamespace321) + ">", kUpgraded},
        UpgradeCase{"NamespaceInSingleQuotesStaysSchemaVersionChanges",
                    "xmlns='http://www.facturae.es/Facturae/2007/v3.0/Facturae'>"
                    "<SchemaVersion>3.0</SchemaVersion>",
                    "xmlns='http://www.facturae.es/Facturae/2007/v3.0/Facturae'>"
                    "<SchemaVersion>3.2.1</SchemaVersion>",
                    kUpgraded},
        UpgradeCase{"LoneSpanish", "<LanguageName>SPA</LanguageName>",
                    "<LanguageName>es</LanguageName>", kUpgraded},
        UpgradeCase{"LanguageCodes",
                    "<LanguageName>CAT</LanguageName><LanguageName>GLG</LanguageName>"
                    "<LanguageName>OCI</LanguageName>",
                    "<LanguageName>ca</LanguageName><LanguageName>gl</LanguageName>"
                    "<LanguageName>ca</LanguageName>",
                    kUpgraded},
        UpgradeCase{"TwoFaxes", "<Telefax>1</Telefax>\r\n<Telefax>2</Telefax>",
                    "<TeleFax>1</TeleFax>\r\n<TeleFax>2</TeleFax>", kUpgraded},
        UpgradeCase{"CaseSensitiveNearMisses",
                    "<telefax>1</telefax><TELEFAX>2</TELEFAX><LanguageName>CATALA<"
                    "<LanguageName>cat<<LanguageName>CAT <languagename>SPA<"
                    "<SchemaVersion>3.0 </SchemaVersion>",
                    "<telefax>1</telefax><TELEFAX>2</TELEFAX><LanguageName>CATALA<"
                    "<LanguageName>cat<<LanguageName>CAT <languagename>SPA<"
                    "<SchemaVersion>3.0 </SchemaVersion>",
                    kUnchanged},
        UpgradeCase{"StylesheetBackslash",
                    R"(<?xml-stylesheet type="text/xsl" href="\MORVEL\XSL\FACTURA.XSL"?>)",
                    std::string(kWebStylesheet), kUpgraded},
        UpgradeCase{"StylesheetSlash",
                    R"(<?xml-stylesheet type="text/xsl" href="/MORVEL/XSL/FACTURA.XSL"?>)",
                    std::string(kWebStylesheet), kUpgraded},
        UpgradeCase{"StylesheetLowerCase",
                    R"(<?xml-stylesheet type="text/xsl" href="/morvel/XSL/FACTURA.XSL"?>)",
                    std::string(kWebStylesheet), kUpgraded},
        UpgradeCase{"StylesheetOtherCaseIsKept",
                    R"(<?xml-stylesheet type="text/xsl" href="/Morvel/XSL/FACTURA.XSL"?>)",
                    R"(<?xml-stylesheet type="text/xsl" href="/Morvel/XSL/FACTURA.XSL"?>)",
                    kUnchanged},
        // Two occurrences share the final "<": only searching again from the
        // start after the first replacement finds the second.
        UpgradeCase{"OverlappingOccurrences", "<LanguageName>CAT<LanguageName>CAT<",
                    "<LanguageName>ca<LanguageName>ca<", kUpgraded},
        UpgradeCase{"OverlappingChainOfMixedCodes",
                    "<LanguageName>CAT<LanguageName>SPA<LanguageName>CAT<LanguageName>OCI<",
                    "<LanguageName>ca<LanguageName>es<LanguageName>ca<LanguageName>ca<", kUpgraded},
        UpgradeCase{"NulBytesAreOrdinary", "\0<Telefax>\0"s, "\0<TeleFax>\0"s, kUpgraded},
        UpgradeCase{"TelefaxRenamedAsAWholeElement",
                    "<Telefax >93</Telefax><Telefax type=\"x\">1</Telefax\r\n><Telefax/>"
                    "<Telefax\t/>",
                    "<TeleFax >93</TeleFax><TeleFax type=\"x\">1</TeleFax\r\n><TeleFax/>"
                    "<TeleFax\t/>",
                    kUpgraded},
        left_alone("TelefaxNearMisses",
                   "<Telefaxes/><TelefaxNumber>1</TelefaxNumber><fe:Telefax/></Telefax/>",
                   kUnchanged)),
    case_name);

const std::string kFiller(300000, 'x');

INSTANTIATE_TEST_SUITE_P(
    StructuralRewrites, UpgradeDocumentCase,
    testing::Values(
        UpgradeCase{"NothingBetweenTheTags", "</BuyerParty><Invoices></Invoices></Parties>",
                    "</BuyerParty>\r\n</Parties>\r\n<Invoices></Invoices>", kUpgraded},
        UpgradeCase{"LineBreakAndSpacesAreConsumed",
                    "a</BuyerParty>\r\n  <Invoices>b</Invoices>\n \r</Parties>",
                    "a</BuyerParty>\r\n</Parties>\r\n<Invoices>b</Invoices>", kUpgraded},
        UpgradeCase{"TabDoesNotMatch", "</BuyerParty>\t<Invoices>", "</BuyerParty>\t<Invoices>",
                    kUnchanged},
        UpgradeCase{"LowerCaseTagsGetTheFixedCase",
                    "</buyerparty>\n<invoices></INVOICES></parties>",
                    "</BuyerParty>\r\n</Parties>\r\n<Invoices></Invoices>", kUpgraded},
        UpgradeCase{"OnlyTheFirstOfTwoPlaces",
                    "</BuyerParty><Invoices>|</BuyerParty> <Invoices></Invoices></Parties>",
                    "</BuyerParty>\r\n</Parties>\r\n<Invoices>|</BuyerParty> <Invoices></Invoices>",
                    kUpgraded},
        UpgradeCase{"BothRewritesMoveTheEndOfParties",
                    "<Parties><BuyerParty>b</BuyerParty>\r\n<Invoices><Invoice/></Invoices>\r\n"
                    "</Parties>\r\n",
                    "<Parties><BuyerParty>b</BuyerParty>\r\n</Parties>\r\n<Invoices><Invoice/>"
                    "</Invoices>\r\n",
                    kUpgraded},
        UpgradeCase{
            "SiblingsNeedNoMove",
            "<Parties><BuyerParty>b</BuyerParty>\t</Parties>\t<Invoices><Telefax>1</Telefax>",
            "<Parties><BuyerParty>b</BuyerParty>\t</Parties>\t<Invoices><TeleFax>1</TeleFax>",
            kUpgraded},
        left_alone("EmptyPartiesHoldsNothing", "<Parties/>\t<Invoices></Invoices>", kUnchanged),
        // Half a move, or none where one is needed: the document stays whole,
        // the literal rewrites included.
        left_alone("OnlyTheSecondRewrite",
                   "<SchemaVersion>3.0</SchemaVersion><Invoices/></Invoices>\r\n </Parties>\r\n"),
        left_alone("TabOnOneSide",
                   "<Parties><BuyerParty>b</BuyerParty>\t<Invoices></Invoices>\r\n</Parties>"),
        left_alone("CommentOnTheOtherSide",
                   "<Parties><BuyerParty/></BuyerParty><Invoices></Invoices><!---->\n</Parties>"),
        left_alone("TabOnBothSides",
                   "<Parties><Telefax>1</Telefax></BuyerParty>\t<Invoices></Invoices>\t</Parties>"),
        left_alone("PrefixedNestingAnyCase", "<fe:parties a='1'>\r\n<x:INVOICES/></fe:Parties>"),
        left_alone("PartiesNeverClosed", "<Parties>\r\n<Invoices/>"),
        left_alone("TagsInReverseOrder", "</Invoices>  </Parties>ab</BuyerParty><Invoices>0123"),
        UpgradeCase{"FarIntoALargeDocument",
                    kFiller + "<Telefax>" + kFiller +
                        "<BuyerParty>b</BuyerParty>\r\n<Invoices></Invoices></Parties>" + kFiller,
                    kFiller + "<TeleFax>" + kFiller +
                        "<BuyerParty>b</BuyerParty>\r\n</Parties>\r\n<Invoices></Invoices>" +
                        kFiller,
                    kUpgraded}),
    case_name);

// Random documents built from pieces of the search and replacement texts, so
// that occurrences overlap, touch and straddle each other.
std::string random_document(std::mt19937& random, const std::vector<std::string>& pieces) {
  std::string document;
  const std::size_t count = std::uniform_int_distribution<std::size_t>(0, 24)(random);
  for (std::size_t n = 0; n < count; ++n) {
    const std::string& piece =
        pieces[std::uniform_int_distribution<std::size_t>(0, pieces.size() - 1)(random)];
    // Mostly whole pieces, sometimes a prefix or suffix of one.
    const int shape = std::uniform_int_distribution<int>(0, 5)(random);
    const std::size_t cut = std::uniform_int_distribution<std::size_t>(0, piece.size())(random);
    document += shape == 0 ? piece.substr(0, cut) : shape == 1 ? piece.substr(cut) : piece;
  }
  return document;
}

TEST(UpgradeDocument, EqualsTheRestartRuleOnRandomDocuments) {
  const ReplacementTable table = build_replacement_table(kHost);
  std::vector<std::string> pieces = {
      "<",          ">",          "x",           "\r\n",          " ",
      "\t",         "\0"s,        "CAT",         "SPA<",          "\"",
      "</Parties>", "<Invoices>", "</Invoices>", "</BuyerParty>", "<LanguageName>",
      "<Parties>",  "<Telefax/"};
  for (const ReplacementPair& pair : table) pieces.push_back(pair.search);
  for (const ReplacementPair& pair : table) pieces.push_back(pair.replacement);
  std::mt19937 random(20240611);
  std::map<UpgradeOutcome, int> outcomes;
  const auto count = [](std::string_view text, std::string_view part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string_view::npos;
         at = text.find(part, at + 1))
      ++n;
    return n;
  };
  for (int round = 0; round < 20000; ++round) {
    const std::string original = random_document(random, pieces);
    std::string fast = original;
    std::string slow = original;
    const UpgradeOutcome fast_outcome = upgrade_document(fast, table);
    const UpgradeOutcome slow_outcome = upgrade_naively(slow, table);
    ASSERT_EQ(fast, slow) << "input: " << original;
    ASSERT_EQ(fast_outcome, slow_outcome) << "input: " << original;
    if (fast_outcome != kUpgraded) {
      ASSERT_EQ(fast, original);
    }
    // Where the structure is recognised and every Telefax tag is a plain
    // one, the text is what the literal pairs and then the structural
    // rewrites always gave.
    if (fast_outcome != kUnrecognised &&
        count(original, "Telefax") == count(original, "Telefax>")) {
      std::string before = original;
      upgrade_in_original_order(before, table);
      ASSERT_EQ(fast, before) << "input: " << original;
    }
    ++outcomes[fast_outcome];
  }
  // The generator must exercise every outcome to mean anything.
  EXPECT_GT(outcomes[kUpgraded], 5000);
  EXPECT_GT(outcomes[kUnchanged], 1000);
  EXPECT_GT(outcomes[kUnrecognised], 300);
}

// Tables of other shapes drive the one-pass rewrite through occurrences that
// lie wholly in text already written, empty replacements and growth. Every
// search text holds an "a" and no replacement does, so the restart rule ends.
TEST(UpgradeDocument, EqualsTheRestartRuleForOtherTables) {
  std::mt19937 random(77);
  const auto random_text = [&](std::string_view alphabet, std::size_t min, std::size_t max) {
    std::string text(std::uniform_int_distribution<std::size_t>(min, max)(random), ' ');
    for (char& c : text) {
      c = alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(random)];
    }
    return text;
  };
  for (int round = 0; round < 5000; ++round) {
    ReplacementTable table;
    const std::size_t pairs = std::uniform_int_distribution<std::size_t>(1, 3)(random);
    for (std::size_t p = 0; p < pairs; ++p) {
      std::string search = random_text("abc", 1, 4);
      search[std::uniform_int_distribution<std::size_t>(0, search.size() - 1)(random)] = 'a';
      table.push_back({search, random_text("bc", 0, 5)});
    }
    const std::string original = random_text("aabc", 0, 40);
    std::string fast = original;
    std::string slow = original;
    const UpgradeOutcome fast_changed = upgrade_document(fast, table);
    const UpgradeOutcome slow_changed = upgrade_naively(slow, table);
    ASSERT_EQ(fast, slow) << "input: " << original << " first pair: " << table[0].search << " -> "
                          << table[0].replacement;
    ASSERT_EQ(fast_changed, slow_changed);
  }
}

// Large texts are rewritten in pieces cut after bytes that occur in no search
// text; occurrences placed around the cut points and a text that grows or
// shrinks while it is rewritten in place must still give the restart rule's
// result. Some texts hold no such byte at all and are one piece.
TEST(UpgradeDocument, EqualsTheRestartRuleOnLargeDocuments) {
  const ReplacementTable table = build_replacement_table(kHost);
  std::vector<std::string> pieces = {"\r\n", "<LanguageName>", "</BuyerParty>\r\n<Invoices>"};
  for (const ReplacementPair& pair : table) pieces.push_back(pair.search);
  std::mt19937 random(4242);
  for (int round = 0; round < 24; ++round) {
    // Filler of bytes that occur in search texts, with or without line breaks.
    const std::string_view alphabet = round % 3 == 0 ? "<a>\"" : "<a>\"\n";
    std::string original(std::uniform_int_distribution<std::size_t>(100000, 400000)(random), ' ');
    for (char& c : original) {
      c = alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(random)];
    }
    // Few fragments leave some pieces unchanged after ones that grew.
    const int fragments = 2 + round % 6 * 8;
    for (int n = 0; n < fragments; ++n) {
      // Half of the fragments sit within a few bytes of a multiple of 64 KiB.
      std::size_t at = std::uniform_int_distribution<std::size_t>(0, original.size())(random);
      if (n % 2 == 0) {
        const std::size_t boundary = (at >> 16 << 16) + 65536;
        at = std::min(original.size(),
                      boundary - std::min(boundary, std::uniform_int_distribution<std::size_t>(
                                                        0, 80)(random)));
      }
      original.insert(at, random_document(random, pieces));
    }
    std::string fast = original;
    fast.shrink_to_fit();  // growth must then reallocate
    std::string slow = original;
    const UpgradeOutcome fast_changed = upgrade_document(fast, table);
    const UpgradeOutcome slow_changed = upgrade_naively(slow, table);
    ASSERT_EQ(fast_changed, slow_changed) << "round " << round;
    ASSERT_TRUE(fast == slow) << "round " << round;
  }
}

TEST(UpgradeDocument, ShrinkingReplacementCascadesBackwards) {
  // Each replacement forms a new occurrence wholly in the text before it.
  const ReplacementTable table = {{"ab", "b"}};
  std::string document = "xaaaabx";
  EXPECT_EQ(upgrade_document(document, table), kUpgraded);
  EXPECT_EQ(document, "xbx");
}

TEST(UpgradeDocument, HandlesManyDenseOccurrences) {
  // With the restart rule rebuilt naively this would copy the text once per
  // tag; it must finish promptly and replace every one.
  const ReplacementTable table = build_replacement_table(kHost);
  std::string document;
  std::string expected;
  for (int n = 0; n < 100000; ++n) {
    document += "<Telefax>1</Telefax><LanguageName>CAT";
    expected += "<TeleFax>1</TeleFax><LanguageName>ca";
  }
  document += "<";
  expected += "<";
  EXPECT_EQ(upgrade_document(document, table), kUpgraded);
  EXPECT_EQ(document, expected);
}

TEST(UpgradeDocument, UpgradesTheSampleDocuments) {
  const std::filesystem::path folder =
      std::filesystem::path(INVOICE_CORPUS_DIR) / "facturae" / "30";
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no samples in " << folder;
  const ReplacementTable table = build_replacement_table(kHost);
  int seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() != ".xml") continue;
    std::ifstream file(entry.path(), std::ios::binary);
    std::string document{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    ASSERT_NE(document.find(kNamespace30), std::string::npos) << entry.path();
    EXPECT_EQ(upgrade_document(document, table), kUpgraded) << entry.path();
    EXPECT_NE(document.find(kNamespace321), std::string::npos) << entry.path();
    EXPECT_EQ(document.find(kNamespace30), std::string::npos) << entry.path();
    EXPECT_NE(document.find("<SchemaVersion>3.2.1</SchemaVersion>"), std::string::npos);
    EXPECT_EQ(document.find("<SchemaVersion>3.0</SchemaVersion>"), std::string::npos);
    std::string again = document;
    EXPECT_EQ(upgrade_document(again, table), kUnchanged) << entry.path();
    ++seen;
  }
  EXPECT_GE(seen, 2);
}

}  // namespace
}  // namespace invoice
