// The whole token road through the page's bridge, as velmora-call drives it,
// against the stand-in for the maker's module under its name
// "KAVOPKCS114JCICv2"; every product checked with openssl and pkcs11-tool.
#include <nlohmann/json.hpp>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <unistd.h>

#include "token_support.h"

namespace {

using nlohmann::json;
using ttest::Module;

std::vector<json> results(const vtest::CommandResult& r) {
  std::vector<json> out;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) out.push_back(json::parse(line, nullptr, false));
  return out;
}

// int16 as the page receives it.
json code(int value) { return json(int16_t(value)); }

std::string utcPlusEight(const ASN1_TIME* t) {
  struct tm tm = {};
  ASN1_TIME_to_tm(t, &tm);
  time_t when = timegm(&tm) + 8 * 3600;
  gmtime_r(&when, &tm);
  char out[32];
  strftime(out, sizeof out, "%Y%m%d%H%M%S", &tm);
  return out;
}

TEST(TokenBridge, WholeRoadAgainstTheMakersModule) {
  std::string why;
  VTEST_REQUIRE(ttest::TestToken::available(why), why);
  VTEST_REQUIRE(access((std::string(VELMORA_BIN_DIR) + "/velmora-call").c_str(), X_OK) == 0, "velmora-call");
  auto token = ttest::TestToken::make(Module::Tokensim, Module::Softhsm);
  const std::string login = std::string("jcicLogin(\"") + ttest::kUserPin + "\",\"" + ttest::kSoPin + "\")";

  // Enrolment: key pair and request on the token.
  auto r = ttest::velmoraCall({"SetTokenType(2)", "GetCardStatus()", "GetCardType()", login,
                               "MakePKCS10(1, 2048, \"TEST\")", "get_GetErrorMsg()", "GetBase64CSR()",
                               "GetBase64MAC()", "SignPKCS7(\"abc\")", "get_GetErrorMsg()", "Logout()"},
                              token.env());
  ASSERT_EQ(r.status, 0) << r.err;
  auto res = results(r);
  ASSERT_EQ(res.size(), 11u) << r.out;
  EXPECT_EQ(res[0], code(0));
  EXPECT_EQ(res[1], code(0));
  EXPECT_EQ(res[2], code(5));
  EXPECT_EQ(res[3], code(0));
  EXPECT_EQ(res[4], code(0)) << res[5];
  std::string csr = res[6], mac = res[7];
  EXPECT_EQ(mac.size(), 12u);
  EXPECT_EQ(mac.back(), '=');
  EXPECT_EQ(res[8], code(0x9001));  // the request emptied the selection
  EXPECT_EQ(res[9], "No Cert or No PriveateKey!!");
  EXPECT_EQ(res[10], code(0));

  std::string text;
  ASSERT_TRUE(ttest::opensslVerifyRequest(token.dir, csr, text)) << text;
  for (const char* expected : {"Version: 1 (0x0)", "Subject: CN = TEST\n", "sha1WithRSAEncryption",
                               "Public-Key: (2048 bit)", "Exponent: 65537 (0x10001)"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  auto sub = vtest::runCommand({"openssl", "req", "-in", token.dir + "/request.pem", "-noout", "-subject"});
  EXPECT_EQ(sub.out, "subject=CN = TEST\n");

  // The authority issues the certificate.
  auto ca = ttest::TestCa::make(token.dir);
  vtest::writeFile(token.dir + "/ext.cnf", "keyUsage=critical,digitalSignature,nonRepudiation\n");
  r = vtest::runCommand({"openssl", "x509", "-req", "-in", token.dir + "/request.pem", "-CA", ca.certFile, "-CAkey",
                         ca.keyFile, "-set_serial", "0x8A01", "-days", "30", "-extfile", token.dir + "/ext.cnf",
                         "-outform", "DER", "-out", token.dir + "/issued.der"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string issued = vtest::readFile(token.dir + "/issued.der");
  std::vector<unsigned char> certDer(issued.begin(), issued.end());
  std::string certB64 = ttest::toBase64(certDer);
  X509* cert = ttest::certFromDer(certDer);
  ASSERT_NE(cert, nullptr);

  // The request MAC is the tail of the token's public-key value.
  BIGNUM* n = nullptr;
  ASSERT_TRUE(EVP_PKEY_get_bn_param(X509_get0_pubkey(cert), OSSL_PKEY_PARAM_RSA_N, &n));
  std::string tagInput = "tokensim-tag" + std::string(size_t(BN_num_bytes(n)), '\0');
  BN_bn2bin(n, reinterpret_cast<unsigned char*>(tagInput.data()) + 12);
  BN_free(n);
  unsigned char digest[32];
  EVP_Digest(tagInput.data(), tagInput.size(), digest, nullptr, EVP_sha256(), nullptr);
  EXPECT_EQ(mac, ttest::toBase64(std::vector<unsigned char>(digest, digest + 8)));

  // Import, selection, signature, in a new session.
  r = ttest::velmoraCall({"SetTokenType(2)", "GetCardStatus()", login, "ImportCert(\"" + certB64 + "\", \"\")",
                          "SelectCert(1)", "get_GetSelectedCertSubject()", "get_GetSelectedCertIssuer()",
                          "get_GetSelectedCertSerial()", "get_GetSelectedCertNotBefore()",
                          "get_GetSelectedCertNotAfter()", "get_GetSelectedCertB64()", "get_GetCertFinger()",
                          "SignPKCS7(\"abc\")", "get_GetPKCS7Data()", "get_GetErrorMsg()", "Logout()"},
                         token.env());
  ASSERT_EQ(r.status, 0) << r.err;
  res = results(r);
  ASSERT_EQ(res.size(), 16u) << r.out;
  for (int i : {0, 1, 2, 3, 4}) EXPECT_EQ(res[size_t(i)], code(0)) << i;
  EXPECT_EQ(res[5], "/CN=TEST");
  EXPECT_EQ(res[6], "/CN=Velmora Test CA");
  EXPECT_EQ(res[7], "008A01");
  EXPECT_EQ(res[8], utcPlusEight(X509_get0_notBefore(cert)));
  EXPECT_EQ(res[9], utcPlusEight(X509_get0_notAfter(cert)));
  EXPECT_EQ(res[10], certB64);
  unsigned char sha1[20];
  EVP_Digest(certDer.data(), certDer.size(), sha1, nullptr, EVP_sha1(), nullptr);
  EXPECT_EQ(res[11], ttest::toBase64(std::vector<unsigned char>(sha1, sha1 + 20)));
  EXPECT_EQ(res[12], code(0));
  std::string p7 = res[13];
  EXPECT_EQ(res[14], "");
  EXPECT_EQ(res[15], code(0));

  EXPECT_EQ(ttest::opensslVerifySignedData(token.dir, p7, ca.certFile), "abc");
  auto info = ttest::inspectSignedData(p7);
  EXPECT_EQ(info.content, "abc");
  EXPECT_EQ(info.certificates, 1);
  EXPECT_EQ(info.digestNid, NID_sha256);
  EXPECT_EQ(info.signatureNid, NID_rsaEncryption);

  // On the token: the certificate object carries the key pair's label.
  r = token.p11tool({"--list-objects"});
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m, std::regex("Certificate Object;[^\\n]*\\n\\s+label:\\s+([0-9A-F]+)\\n")))
      << r.out;
  std::string label = m[1];
  EXPECT_EQ(label.size(), 36u);
  EXPECT_TRUE(std::regex_search(r.out, std::regex("Private Key Object; RSA *\\n\\s+label:\\s+" + label + "\\n")))
      << r.out;
  EXPECT_EQ(token.readCertificate(label), certDer);

  X509_free(cert);
  ca.free();
}

}  // namespace
