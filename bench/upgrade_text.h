#ifndef INVOICE_BENCH_UPGRADE_TEXT_H_
#define INVOICE_BENCH_UPGRADE_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace invoice::bench {

// A deterministic concatenation of Facturae 3.0 documents, at least `size`
// bytes (whole documents), each of which needs every literal rewrite and both
// structural rewrites: double-quoted 3.0 namespace, schema version 3.0, two
// Telefax elements, the language codes CAT, GLG, OCI and SPA, the three local
// stylesheet forms, "</BuyerParty>" followed by "<Invoices>" and "</Invoices>"
// followed by "</Parties>". CR LF line breaks, 7-bit ASCII, about 3 KiB per
// document.
inline std::string make_facturae30_documents(std::size_t size) {
  static constexpr std::string_view kLanguages[] = {"CAT", "GLG", "OCI", "SPA"};
  std::uint64_t state = 0x2545F4914F6CDD1Du;
  auto next = [&state](std::uint64_t bound) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return std::to_string((state >> 33) % bound);
  };

  std::string text;
  text.reserve(size + 8192);
  for (std::size_t number = 1; text.size() < size; ++number) {
    text +=
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
        "<?xml-stylesheet type=\"text/xsl\" href=\"\\MORVEL\\XSL\\FACTURA.XSL\"?>\r\n"
        "<?xml-stylesheet type=\"text/xsl\" href=\"/MORVEL/XSL/FACTURA.XSL\"?>\r\n"
        "<?xml-stylesheet type=\"text/xsl\" href=\"/morvel/XSL/FACTURA.XSL\"?>\r\n"
        "<fe:Facturae xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" "
        "xmlns:fe=\"http://www.facturae.es/Facturae/2007/v3.0/Facturae\">\r\n"
        "  <FileHeader>\r\n"
        "    <SchemaVersion>3.0</SchemaVersion>\r\n"
        "    <Modality>I</Modality>\r\n"
        "    <InvoiceIssuerType>EM</InvoiceIssuerType>\r\n"
        "    <Batch><BatchIdentifier>B";
    text += std::to_string(number);
    text +=
        "</BatchIdentifier><InvoicesCount>1</InvoicesCount></Batch>\r\n"
        "  </FileHeader>\r\n"
        "  <Parties>\r\n"
        "    <SellerParty>\r\n"
        "      <TaxIdentification><PersonTypeCode>J</PersonTypeCode>"
        "<TaxIdentificationNumber>B";
    text += next(100000000);
    text +=
        "</TaxIdentificationNumber></TaxIdentification>\r\n"
        "      <AddressInSpain><Address>Carrer Major ";
    text += next(200);
    text +=
        "</Address><PostCode>08001</PostCode><Town>Barcelona</Town></AddressInSpain>\r\n"
        "      <ContactDetails><Telephone>93 ";
    text += next(10000000);
    text += "</Telephone><Telefax>93 ";
    text += next(10000000);
    text +=
        "</Telefax></ContactDetails>\r\n"
        "    </SellerParty>\r\n"
        "    <BuyerParty>\r\n"
        "      <TaxIdentification><PersonTypeCode>F</PersonTypeCode>"
        "<TaxIdentificationNumber>";
    text += next(100000000);
    text +=
        "Z</TaxIdentificationNumber></TaxIdentification>\r\n"
        "      <ContactDetails><Telefax>972 ";
    text += next(1000000);
    text +=
        "</Telefax></ContactDetails>\r\n"
        "    </BuyerParty>\r\n"
        "    <Invoices>\r\n";
    for (const std::string_view language : kLanguages) {
      text +=
          "      <Invoice>\r\n"
          "        <InvoiceHeader><InvoiceNumber>";
      text += next(1000000);
      text +=
          "</InvoiceNumber><InvoiceDocumentType>FC</InvoiceDocumentType></InvoiceHeader>\r\n"
          "        <InvoiceIssueData><IssueDate>2011-03-14</IssueDate>"
          "<LanguageName>";
      text += language;
      text += "</LanguageName></InvoiceIssueData>\r\n        <Items>\r\n";
      for (int line = 0; line < 3; ++line) {
        text += "          <InvoiceLine><ItemDescription>Servei ";
        text += next(1000);
        text += "</ItemDescription><Quantity>";
        text += next(50);
        text += "</Quantity><UnitPriceWithoutTax>";
        text += next(1000);
        text += ".00</UnitPriceWithoutTax></InvoiceLine>\r\n";
      }
      text += "        </Items>\r\n      </Invoice>\r\n";
    }
    text +=
        "    </Invoices>\r\n"
        "  </Parties>\r\n"
        "</fe:Facturae>\r\n";
  }
  return text;
}

// `size` bytes (cut at the end) of text that is dense with occurrences of
// the literal search texts, including chains of language names that share
// their final "<", so that nearly every 20 bytes hold a replacement.
inline std::string make_dense_occurrences(std::size_t size) {
  static constexpr std::string_view kUnit =
      "<Telefax>1</Telefax><LanguageName>CAT<LanguageName>OCI<LanguageName>SPA<"
      "LanguageName>GLG</LanguageName>\r\n"
      "<SchemaVersion>3.0</SchemaVersion>"
      "\"http://www.facturae.es/Facturae/2007/v3.0/Facturae\"\r\n"
      "<?xml-stylesheet type=\"text/xsl\" href=\"/MORVEL/XSL/FACTURA.XSL\"?>\r\n";
  std::string text;
  text.reserve(size + kUnit.size());
  while (text.size() < size) text += kUnit;
  text.resize(size);
  return text;
}

}  // namespace invoice::bench

#endif  // INVOICE_BENCH_UPGRADE_TEXT_H_
