// Properties of `upgrade_document`, checked against the rule written the
// slow, obvious way (the two structural rewrites, both or neither; then
// replace the leftmost occurrence, search again from the start; then the
// Telefax tags):
//  - with the real table: the same text and the same flag; a false result
//    leaves the text untouched; and no search text of the table is left in
//    the result (no replacement, in any surroundings, forms the search text
//    of a pair applied before it, and the structural rewrites form none);
//  - with a small table taken from the input (every search text holds an "a"
//    and no replacement does, so the slow rule ends): the same text and flag;
//  - with the input placed around the 64 KiB point of a larger text, where
//    the text is cut into pieces, and once more further on: the same text and
//    flag as the slow rule;
//  - on documents of the shapes that 3.0 invoices were written in (Parties
//    holding Invoices or beside it, any blanks between the tags, Telefax
//    tags with blanks and attributes or empty; no comments, no CDATA): the
//    start and end tags still match afterwards.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "upgrade/upgrade_document.h"
#include "upgrade_naively.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void check_against_naive(const std::string& original, const invoice::ReplacementTable& table) {
  std::string fast = original;
  std::string slow = original;
  const invoice::UpgradeOutcome fast_outcome = invoice::upgrade_document(fast, table);
  const invoice::UpgradeOutcome slow_outcome = invoice::upgrade_naively(slow, table);
  check(fast_outcome == slow_outcome);
  check(fast == slow);
  if (fast_outcome != invoice::UpgradeOutcome::kUpgraded) check(fast == original);
}

std::string small_text(FuzzedDataProvider& data, std::string_view alphabet, std::size_t max) {
  std::string text(data.ConsumeIntegralInRange<std::size_t>(0, max), ' ');
  for (char& c : text)
    c = alphabet[data.ConsumeIntegralInRange<std::size_t>(0, alphabet.size() - 1)];
  return text;
}

std::string pick(FuzzedDataProvider& data, std::initializer_list<std::string_view> choices) {
  const std::size_t index = data.ConsumeIntegralInRange<std::size_t>(0, choices.size() - 1);
  return std::string(choices.begin()[index]);
}

// A 3.0 invoice as such invoices were written, its variable parts taken
// from `data`.
std::string facturae30_shape(FuzzedDataProvider& data) {
  const auto blanks = [&] { return small_text(data, " \r\n\t", 3); };
  const auto telefax = [&] {
    const std::string start = pick(
        data, {"<Telefax>", "<Telefax >", "<Telefax type=\"x\">", "<Telefax\r\n>", "<Telefax/>"});
    if (start == "<Telefax/>") return start;
    return start + small_text(data, "0123", 3) + pick(data, {"</Telefax>", "</Telefax >"});
  };
  const auto party = [&](std::string_view name) {
    return "<" + std::string(name) + "><Name>" + small_text(data, "ab \x82", 4) + "</Name>" +
           (data.ConsumeBool() ? telefax() : "") + "</" + std::string(name) + ">";
  };
  std::string invoices = "<Invoices>" + blanks();
  const std::size_t count = data.ConsumeIntegralInRange<std::size_t>(1, 3);
  for (std::size_t n = 0; n < count; ++n) {
    invoices += "<Invoice><LanguageName>" + pick(data, {"CAT", "GLG", "OCI", "SPA", "ENG"}) +
                "</LanguageName></Invoice>" + blanks();
  }
  invoices += "</Invoices>";
  std::string document = pick(data, {"", "<?xml version=\"1.0\" encoding=\"ibm850\"?>\r\n"});
  document +=
      pick(data, {"", R"(<?xml-stylesheet type="text/xsl" href="/MORVEL/XSL/FACTURA.XSL"?>)"});
  document += R"(<fe:Facturae xmlns:fe="http://www.facturae.es/Facturae/2007/v3.0/Facturae">)";
  document += blanks() + "<FileHeader><SchemaVersion>3.0</SchemaVersion></FileHeader>" + blanks();
  document +=
      "<Parties>" + blanks() + party("SellerParty") + blanks() + party("BuyerParty") + blanks();
  if (data.ConsumeBool()) {
    document += invoices + blanks() + "</Parties>";
  } else {
    document += "</Parties>" + blanks() + invoices;
  }
  return document + blanks() + "</fe:Facturae>" + blanks();
}

// True when every start tag of `text` has its end tag, names compared byte
// for byte, and no end tag is left over. Instructions are skipped.
bool tags_match(std::string_view text) {
  std::vector<std::string_view> open;
  for (std::size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at)) {
    const std::size_t close = text.find('>', at);
    if (close == std::string_view::npos) return false;
    std::string_view tag = text.substr(at + 1, close - at - 1);
    at = close + 1;
    if (tag.starts_with('?')) continue;
    const bool end = tag.starts_with('/');
    if (end) tag.remove_prefix(1);
    const std::string_view name = tag.substr(0, tag.find_first_of(" \t\r\n/"));
    if (end) {
      if (open.empty() || open.back() != name) return false;
      open.pop_back();
    } else if (!tag.ends_with('/')) {
      open.push_back(name);
    }
  }
  return open.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  static const invoice::ReplacementTable table = invoice::build_replacement_table("xsl.fuzz.test");
  FuzzedDataProvider data(bytes, size);
  const int mode = data.ConsumeIntegralInRange<int>(0, 8);

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

  if (mode == 8) {
    const std::string original = facturae30_shape(data);
    check(tags_match(original));
    check_against_naive(original, table);
    std::string upgraded = original;
    invoice::upgrade_document(upgraded, table);
    check(tags_match(upgraded));
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
