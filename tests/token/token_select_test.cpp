// SelectCert's rules and the getters' formats, on a token provisioned with
// pkcs11-tool.
#include <quennet/quennet.h>
#include <windows.h>

#include <openssl/evp.h>

#include <string>

#include "token_support.h"

namespace {

using ttest::Module;

std::string take(char* owned) {
  std::string s = owned ? owned : "<null>";
  delete[] owned;
  return s;
}

std::u16string takeBstr(BSTR b) {
  std::u16string s(b ? b : u"", SysStringLen(b));
  SysFreeString(b);
  return s;
}

struct Provisioned {
  const char* label;
  bool withKey;
  ttest::CertSpec spec;
};

// Each certificate would be chosen by notBefore alone if a rule did not
// keep it out; the expected choices are G (signing) and E (encryption).
const Provisioned kCertificates[] = {
    {"A", true, {"/CN=A", 0x0A, "20100101000000Z", "20340101000000Z", "digitalSignature,nonRepudiation"}},
    {"B", true, {"/CN=B", 0x0B, "20110601000000Z", "20340101000000Z", "digitalSignature,nonRepudiation"}},
    {"G", true,
     {"/C=TW/O=Example/CN=測試", 0x8A01, "20190314103000Z", "20340101000000Z",
      "digitalSignature,nonRepudiation,keyEncipherment"}},
    {"C", true, {"/CN=C", 0x0C, "20200101000000Z", "20340101000000Z", "digitalSignature,keyEncipherment"}},
    {"D", false, {"/CN=D", 0x0D, "20210101000000Z", "20340101000000Z", "digitalSignature,nonRepudiation"}},
    {"X", true, {"/CN=X", 0x58, "20220101000000Z", "20340101000000Z", ""}},
    {"E", true, {"/CN=E", 0x0E, "20090101000000Z", "20340101000000Z", "keyEncipherment,dataEncipherment"}},
    {"F", true, {"/CN=F", 0x0F, "20230101000000Z", "20340101000000Z", "keyEncipherment"}},
};

TEST(TokenSelect, RulesAndFieldFormats) {
  TTEST_RUN_IN_CHILD(Module::TokensimEmpty, Module::Softhsm);
  auto token = ttest::TestToken::fromEnv();
  auto ca = ttest::TestCa::make(token.dir);
  // Selection pairs by label only, so one public key serves every certificate.
  EVP_PKEY* shared = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  std::vector<unsigned char> chosenDer;
  for (const auto& p : kCertificates) {
    if (p.withKey) {
      auto r = token.p11tool({"--keypairgen", "--key-type", "EC:prime256v1", "--label", p.label, "--usage-sign"});
      ASSERT_EQ(r.status, 0) << r.out << r.err;
    }
    X509* cert = ttest::makeCertificate(ca, shared, p.spec);
    ASSERT_TRUE(token.writeCertificate(cert, p.label));
    if (std::string(p.label) == "G") chosenDer = ttest::der(cert);
    X509_free(cert);
  }

  JCICLib lib;
  ASSERT_EQ(lib.SetTokenType(2), 0);
  ASSERT_EQ(lib.GetCardStatus(), 0);
  ASSERT_EQ(lib.Login(ttest::kUserPin, nullptr), 0);

  ASSERT_EQ(lib.SelectCert(1), 0) << lib.get_GetErrorMsg();
  EXPECT_STREQ(lib.get_GetErrorMsg(), "");
  EXPECT_EQ(take(lib.get_GetSelectedCertSerial()), "008A01");
  EXPECT_EQ(take(lib.get_GetSelectedCertSubject()), "/C=TW/O=Example/CN=測試");
  EXPECT_EQ(takeBstr(::get_GetSelectedCertSubject()), u"/C=TW/O=Example/CN=測試");
  EXPECT_EQ(take(lib.get_GetSelectedCertIssuer()), "/CN=Velmora Test CA");
  EXPECT_STREQ(lib.get_GetSelectedCertNotBefore(), "20190314183000");
  EXPECT_STREQ(lib.get_GetSelectedCertNotAfter(), "20340101080000");
  EXPECT_EQ(take(lib.get_GetSelectedCertB64()), ttest::toBase64(chosenDer));
  unsigned char sha1[20];
  unsigned int n = 0;
  EVP_Digest(chosenDer.data(), chosenDer.size(), sha1, &n, EVP_sha1(), nullptr);
  std::string finger = take(lib.get_GetCertFinger());
  EXPECT_EQ(finger, ttest::toBase64(std::vector<unsigned char>(sha1, sha1 + 20)));
  EXPECT_EQ(finger.size(), 28u);

  ASSERT_EQ(lib.SelectCert(2), 0) << lib.get_GetErrorMsg();
  EXPECT_EQ(take(lib.get_GetSelectedCertSerial()), "0E");

  // A failed selection keeps the fields of the last one.
  EXPECT_EQ(lib.SelectCert(3), 0x9023);
  EXPECT_STREQ(lib.get_GetErrorMsg(), "No Cert!!");
  EXPECT_EQ(take(lib.get_GetSelectedCertSerial()), "0E");
  EXPECT_EQ(lib.SignPKCS7("abc"), 0x9001);
  EXPECT_EQ(lib.Logout(), 0);

  EVP_PKEY_free(shared);
  ca.free();
}

}  // namespace
