#ifndef INVOICE_BENCH_INVOICE_TEXT_H_
#define INVOICE_BENCH_INVOICE_TEXT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace invoice::bench {

// A deterministic invoice-like text in code page 858 of exactly `size` bytes:
// indented XML lines ended by CR LF, mostly ASCII, with Spanish and Catalan
// words carrying accented letters (a few percent of all bytes) and amounts in
// euros (0xD5).
inline std::string make_invoice_text(std::size_t size) {
  // Words in code page 858: 0x82 e acute, 0xA0 a acute, 0xA1 i acute,
  // 0xA2 o acute, 0xA3 u acute, 0xA4 n tilde, 0x87 c cedilla, 0x85 a grave,
  // 0x8A e grave, 0x81 u diaeresis, 0xA7 ordinal o, 0xFA middle dot.
  static constexpr std::array<std::string_view, 24> kWords = {
      "Reparaci\xA2n",
      "de",
      "m\xA0quina",
      "caf\x8A",
      "servicio",
      "t\x82"
      "cnico",
      "mantenimiento",
      "mensual",
      "calefacci\xA2n",
      "oficina",
      "n\xA7",
      "a\xA4o",
      "instal\xFAlat",
      "le\xA4"
      "a",
      "cami\xA2n",
      "for\x87",
      "pe\x87",
      "ling\x81\xA1stica",
      "electr\xA2nico",
      "plaza",
      "Espa\xA4"
      "a",
      "m\x82todo",
      "per",
      "transport",
  };
  static constexpr std::array<std::string_view, 6> kElements = {
      "ItemDescription", "Quantity", "UnitPriceWithoutTax", "TotalCost", "Address", "Town",
  };

  std::uint64_t state = 0x9E3779B97F4A7C15u;
  auto next = [&state](std::uint64_t bound) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<std::size_t>((state >> 33) % bound);
  };

  std::string text;
  text.reserve(size + 256);
  text += "<?xml version=\"1.0\" encoding=\"ibm850\"?>\r\n<fe:Facturae>\r\n";
  while (text.size() < size) {
    const std::string_view element = kElements[next(kElements.size())];
    text += "      <";
    text += element;
    text += '>';
    if (element == "Quantity" || element == "UnitPriceWithoutTax" || element == "TotalCost") {
      text += std::to_string(next(100000));
      text += '.';
      text += std::to_string(10 + next(90));
      if (element != "Quantity") text += " \xD5";
    } else {
      const std::size_t words = 2 + next(8);
      for (std::size_t w = 0; w < words; ++w) {
        if (w != 0) text += ' ';
        text += kWords[next(kWords.size())];
      }
    }
    text += "</";
    text += element;
    text += ">\r\n";
  }
  text.resize(size);
  return text;
}

}  // namespace invoice::bench

#endif  // INVOICE_BENCH_INVOICE_TEXT_H_
