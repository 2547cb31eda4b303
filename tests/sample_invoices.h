#ifndef INVOICE_TESTS_SAMPLE_INVOICES_H_
#define INVOICE_TESTS_SAMPLE_INVOICES_H_

#include <string>

#include "encoding/convert_code_page.h"
#include "expected_output.h"
#include "upgrade/upgrade_document.h"

namespace invoice::testing {

// A Facturae 3.0 invoice as the old program wrote them, with accented names
// in code page 850, declared so when `code_page_850`.
inline std::string old_invoice(bool code_page_850 = true) {
  return std::string("<?xml version=\"1.0\" encoding=\"") + (code_page_850 ? "ibm850" : "UTF-8") +
         "\"?>\r\n"
         "<?xml-stylesheet type=\"text/xsl\" href=\"\\MORVEL\\XSL\\FACTURA.XSL\"?>\r\n"
         "<fe:Facturae xmlns:fe=\"http://www.facturae.es/Facturae/2007/v3.0/Facturae\">\r\n"
         "<FileHeader><SchemaVersion>3.0</SchemaVersion></FileHeader>\r\n"
         "<Parties><SellerParty><Telefax>93 000 00 00</Telefax>"
         "<LanguageName>CAT</LanguageName><Name>Ferreteria Pe\xA4"
         "a</Name></SellerParty>\r\n"
         "<BuyerParty><Name>Caf\x82 \x80"
         "a</Name></BuyerParty>\r\n"
         "<Invoices><Invoice><Total>12,50 \xD5</Total></Invoice></Invoices>\r\n"
         "</Parties>\r\n"
         "</fe:Facturae>\r\n";
}

// What a complete run makes of `text`, computed with the library itself.
inline std::string converted(std::string text) {
  upgrade_document(text, testing::make_test_table());
  convert_code_page(text);
  return text;
}

}  // namespace invoice::testing

#endif  // INVOICE_TESTS_SAMPLE_INVOICES_H_
