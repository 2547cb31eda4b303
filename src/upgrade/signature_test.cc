#include "upgrade/signature.h"

#include <gtest/gtest.h>

#include <string>

namespace invoice {
namespace {

const std::string kNs = "http://www.w3.org/2000/09/xmldsig#";

TEST(SignatureTest, FindsSignatureStartTagsWhateverTheirNamespace) {
  const struct {
    std::string document;
    bool is_signed;
  } cases[] = {
      {"<ds:Signature xmlns:ds=\"" + kNs + "\" Id=\"S1\"></ds:Signature>", true},
      {"<Signature xmlns=\"" + kNs + "\"><SignedInfo/></Signature>", true},
      {"<f xmlns:x=\"" + kNs + "\"><x:Signature>\r\n</x:Signature></f>", true},
      {"<f xmlns:q=\"" + kNs + "\"><q-1.\xC3\xA9:Signature\t/></f>", true},
      {"<f xmlns:d='" + kNs + "'><d:Signature\nId='x'/></f>", true},
      {"<Signature/><!-- " + kNs + " -->", true},  // on the bytes, comments are not told apart
      {"<Signature>", true},                       // no namespace
      {"<ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig&#35;\">", true},
      {"<:Signature/>", true},
      {"<!-- " + kNs + " -->", false},
      {"<f xmlns:ds=\"" + kNs + "\"><ds:SignatureValue>x</ds:SignatureValue></f>", false},
      {"<f xmlns:ds=\"" + kNs + "\"><SignatureX/><ds:Signatures/></f>", false},
      {"<f xmlns:ds=\"" + kNs + "\"></ds:Signature></f>", false},  // end tag only
      {"<f xmlns:ds=\"" + kNs + "\">Signature <a:b:Signature/></f>", false},
      {"<f xmlns:ds=\"" + kNs + "\"><a :Signature/>ds:Signature </f>", false},
      {kNs + "<Signature", false},  // cut short: no tag yet
      {kNs.substr(0, kNs.size() - 1) + "<Signature>", true},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(holds_signature(c.document), c.is_signed) << c.document;
  }
}

TEST(SignatureTest, FindsTheTagAnywhereInALargeDocument) {
  // Many near misses before the one real tag, which stands last.
  std::string document = "<f xmlns:ds=\"" + kNs + "\">";
  for (int i = 0; i < 20000; ++i) {
    document += "<ds:SignatureValue>ab:Signature</x:Signature><signature>";
  }
  EXPECT_FALSE(holds_signature(document));
  EXPECT_TRUE(holds_signature(document + "<ds:Signature>"));
  EXPECT_TRUE(holds_signature("<Signature>" + document));
}

}  // namespace
}  // namespace invoice
