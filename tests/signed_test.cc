// End-to-end runs over trees of invoices signed with xmlsec1: a run must
// leave every signature verifiable, and --convert-signed breaks them only
// where the conversion changes what was signed.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sample_invoices.h"
#include "scratch.h"

namespace invoice {
namespace {

using testing::ScratchFolder;

// A path between single quotes for the shell.
std::string quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

bool run_quietly(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// An enveloped signature over the whole document, to be filled in by
// xmlsec1; `prefix` is "ds:" or empty for the default namespace, which
// `name_space` may spell with character references.
std::string signature_template(
    const std::string& prefix,
    const std::string& name_space = "http://www.w3.org/2000/09/xmldsig#") {
  const std::string p = prefix;
  const std::string declaration =
      prefix.empty() ? "xmlns" : "xmlns:" + prefix.substr(0, prefix.size() - 1);
  return "<" + p + "Signature " + declaration + "=\"" + name_space + "\"><" + p + "SignedInfo><" +
         p +
         "CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/><" +
         p + "SignatureMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256\"/><" +
         p + "Reference URI=\"\"><" + p + "Transforms><" + p +
         "Transform Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/></" + p +
         "Transforms><" + p +
         "DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"/><" + p +
         "DigestValue/></" + p + "Reference></" + p + "SignedInfo><" + p + "SignatureValue/><" + p +
         "KeyInfo><" + p + "X509Data/></" + p + "KeyInfo></" + p + "Signature>";
}

std::string facturae(const std::string& encoding, const std::string& version,
                     const std::string& body) {
  const std::string path = version == "3.0" ? "2007/v3.0" : "2014/v3.2.1";
  return "<?xml version=\"1.0\" encoding=\"" + encoding +
         "\"?>\r\n<fe:Facturae xmlns:fe=\"http://www.facturae.es/Facturae/" + path +
         "/Facturae\">\r\n<FileHeader><SchemaVersion>" + version +
         "</SchemaVersion></FileHeader>\r\n" + body + "\r\n</fe:Facturae>\r\n";
}

// The lines of `text`, sorted: the tree is listed in the file system's order.
std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

class SignedInvoiceTest : public ::testing::Test {
 protected:
  ScratchFolder root;
  ScratchFolder temp;
  ScratchFolder keys;

  void SetUp() override {
    if (!run_quietly("command -v xmlsec1") || !run_quietly("command -v openssl")) {
      GTEST_SKIP() << "xmlsec1 or openssl is not installed";
    }
  }

  // A throwaway key and self-signed certificate to sign with.
  void make_key() {
    ASSERT_TRUE(
        run_quietly("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=test"
                    " -keyout " +
                    quote(keys.path() + "/key.pem") + " -out " + quote(keys.path() + "/cert.pem")));
  }

  // Signs `document` into DOCUMENT/`name`; returns the path.
  std::string write_signed(const std::string& name, const std::string& document) {
    const std::string unsigned_path = keys.write("template.xml", document);
    const std::string path = root.write("DOCUMENT/" + name, "");
    EXPECT_TRUE(run_quietly("xmlsec1 --sign --privkey-pem " + quote(keys.path() + "/key.pem") +
                            "," + quote(keys.path() + "/cert.pem") + " --output " + quote(path) +
                            " " + quote(unsigned_path)))
        << name;
    return path;
  }

  static bool verifies(const std::string& path) {
    return run_quietly(
        "xmlsec1 --verify --insecure --enabled-key-data x509 --id-attr:Id SignedProperties"
        " --id-attr:Id Object --id-attr:Id KeyInfo " +
        quote(path));
  }

  testing::ProgramRun run(std::vector<std::string> arguments = {}) {
    testing::ProgramOptions options;
    options.environment = testing::run_environment(root.path() + "/", temp.path());
    options.arguments = std::move(arguments);
    return testing::run_program(options);
  }
};

TEST_F(SignedInvoiceTest, SignaturesSurviveARunAndBreakOnlyWhenAsked) {
  make_key();
  const std::string ds = signature_template("ds:");
  // name -> does --convert-signed break the signature
  const std::map<std::string, bool> breaks = {
      {"a-30.xml", true},
      {"b-850-euro.xml", true},  // 0xD5: dotless i to XML tools, euro sign here
      {"c-850.xml", false},      // the rest of code page 850 reads alike
      {"d-bare.xml", true},
      {"e-reference.xml", true},
  };
  std::map<std::string, std::string> signed_files;  // path -> signed bytes
  for (const auto& [name, document] : std::map<std::string, std::string>{
           {"a-30.xml", facturae("UTF-8", "3.0", "<Name>Caf\xC3\xA9</Name>" + ds)},
           {"b-850-euro.xml", facturae("ibm850", "3.2.1", "<Total>12 \xD5</Total>" + ds)},
           {"c-850.xml", facturae("ibm850", "3.2.1", "<Name>Caf\x82 \x80</Name>" + ds)},
           {"d-bare.xml",
            facturae("UTF-8", "3.0", "<LanguageName>CAT</LanguageName>" + signature_template(""))},
           {"e-reference.xml",
            facturae("UTF-8", "3.0",
                     "<Name>x</Name>" +
                         signature_template("ds:", "http://www.w3.org/2000/09/xmldsig&#35;"))}}) {
    const std::string path = write_signed(name, document);
    ASSERT_TRUE(verifies(path)) << name;
    signed_files[path] = testing::read_file(path);
  }
  // Unsigned beside them, two only mentioning what a signature has.
  std::map<std::string, std::string> unsigned_files;
  for (const std::string& document :
       {testing::old_invoice(true),
        facturae("UTF-8", "3.0", "<!-- http://www.w3.org/2000/09/xmldsig# -->"),
        facturae("ibm850", "3.2.1", "<SignatureValue>\x82</SignatureValue>")}) {
    const std::string name = "u" + std::to_string(unsigned_files.size()) + ".xml";
    unsigned_files[root.write("DOCUMENT/unsigned/" + name, document)] = document;
  }

  testing::ProgramRun result = run();
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.output, testing::summary_lines(2, 2));
  std::string notices;
  for (const auto& [path, bytes] : signed_files) {
    notices += testing::notice_line(path, kSignedKeptNotice);
    EXPECT_EQ(testing::read_file(path), bytes) << path;
    EXPECT_TRUE(verifies(path)) << path;
  }
  EXPECT_EQ(sorted_lines(result.errors), sorted_lines(notices));
  for (const auto& [path, original] : unsigned_files) {
    EXPECT_EQ(testing::read_file(path), testing::converted(original)) << path;
  }

  result = run({"--convert-signed"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.output, testing::summary_lines(3, 2));
  notices.clear();
  for (const auto& [path, bytes] : signed_files) {
    notices += testing::notice_line(path, kSignedConvertedNotice);
    EXPECT_EQ(testing::read_file(path), testing::converted(bytes)) << path;
    const std::string name = std::filesystem::path(path).filename();
    EXPECT_EQ(verifies(path), !breaks.at(name)) << path;
  }
  EXPECT_EQ(sorted_lines(result.errors), sorted_lines(notices));

  result = run({"--convert-signed", "--no-such-option"});
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(result.output, "");
  EXPECT_NE(result.errors.find(std::string(kUnknownOption) + " '--no-such-option'"),
            std::string::npos)
      << result.errors;
}

TEST_F(SignedInvoiceTest, SignedSamplesStillVerifyAfterARun) {
  const std::filesystem::path corpus = std::filesystem::path(INVOICE_CORPUS_DIR) / "facturae";
  if (!std::filesystem::is_directory(corpus)) GTEST_SKIP() << "no samples in " << corpus;
  // Every sample, under a name the run lists; the signed ones that verify
  // now must verify afterwards, byte for byte the same.
  std::map<std::string, std::string> verified;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(corpus)) {
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().stem().string() + ".xml";
    const std::string bytes = testing::read_file(entry.path().string());
    const std::string path = root.write(
        "DOCUMENT/" + entry.path().parent_path().filename().string() + "/" + name, bytes);
    if (verifies(path)) verified[path] = bytes;
  }
  ASSERT_GE(verified.size(), 5u);

  const testing::ProgramRun result = run();
  EXPECT_EQ(result.exit_status, 0) << result.errors;
  for (const auto& [path, bytes] : verified) {
    EXPECT_EQ(testing::read_file(path), bytes) << path;
    EXPECT_TRUE(verifies(path)) << path;
  }
  // The signed 3.0 sample is the one a run would have changed.
  const std::string signed30 = root.path() + "/DOCUMENT/30/factura2_ejemplo30.xml";
  ASSERT_EQ(verified.count(signed30), 1u);
  EXPECT_NE(result.errors.find(testing::notice_line(signed30, kSignedKeptNotice)),
            std::string::npos);
}

}  // namespace
}  // namespace invoice
