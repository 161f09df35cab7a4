// The token road through the class and the flat exports: requests, the
// certificate import, selection and PKCS#7 signing, checked with openssl and
// pkcs11-tool. Each test runs in a child that finds the modules by name.
#include <quennet/quennet.h>
#include <windows.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <regex>
#include <set>
#include <sstream>
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

std::string narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

X509_REQ* parseRequest(const std::string& base64) {
  auto bytes = ttest::fromBase64(base64);
  const unsigned char* p = bytes.data();
  return d2i_X509_REQ(nullptr, &p, long(bytes.size()));
}

// The stand-in module's tag: SHA-256("tokensim-tag" || key bytes), as
// Base64 of its first 8 bytes. The key bytes are the RSA modulus, or the EC
// point as the module keeps it (a DER OCTET STRING).
std::string expectedMac(EVP_PKEY* pub) {
  std::vector<unsigned char> key;
  if (EVP_PKEY_is_a(pub, "RSA")) {
    BIGNUM* n = nullptr;
    EVP_PKEY_get_bn_param(pub, OSSL_PKEY_PARAM_RSA_N, &n);
    key.resize(size_t(BN_num_bytes(n)));
    BN_bn2bin(n, key.data());
    BN_free(n);
  } else {
    unsigned char point[256];
    size_t len = 0;
    EVP_PKEY_get_octet_string_param(pub, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &len);
    key = {0x04, static_cast<unsigned char>(len)};
    key.insert(key.end(), point, point + len);
  }
  std::string input = "tokensim-tag" + std::string(key.begin(), key.end());
  unsigned char digest[32];
  unsigned int n = 0;
  EVP_Digest(input.data(), input.size(), digest, &n, EVP_sha256(), nullptr);
  return ttest::toBase64(std::vector<unsigned char>(digest, digest + 8));
}

// Labels of the objects pkcs11-tool lists, by object kind.
std::multiset<std::string> labels(const ttest::TestToken& token, const std::string& kind) {
  auto r = token.p11tool({"--list-objects"});
  std::multiset<std::string> out;
  std::regex object("^(\\w[\\w ]*) Object;");
  std::regex label("^\\s+label:\\s+(.*)$");
  std::string current;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, object)) current = m[1];
    else if (current == kind && std::regex_search(line, m, label)) out.insert(m[1]);
  }
  return out;
}

// The pkcs11-tool listing of one certificate object.
std::string certificateListing(const ttest::TestToken& token, const std::string& label) {
  auto r = token.p11tool({"--list-objects", "--type", "cert", "--label", label});
  return r.out;
}

TEST(TokenRoad, EcRequestImportAndSignatureThroughTheClass) {
  TTEST_RUN_IN_CHILD(Module::Tokensim, Module::Softhsm);
  auto token = ttest::TestToken::fromEnv();
  JCICLib lib;
  ASSERT_EQ(lib.SetTokenType(2), 0);
  ASSERT_EQ(lib.GetCardStatus(), 0);
  EXPECT_EQ(lib.GetCardType(), 5);
  ASSERT_EQ(lib.Login(ttest::kUserPin, ttest::kSoPin), 0);

  ASSERT_EQ(lib.MakePKCS10ECC(1, 256, "TEST EC"), 0) << lib.get_GetErrorMsg();
  std::string csr = lib.GetBase64CSR(), text;
  ASSERT_TRUE(ttest::opensslVerifyRequest(token.dir, csr, text)) << text;
  EXPECT_NE(text.find("Subject: CN = TEST EC"), std::string::npos) << text;
  EXPECT_NE(text.find("ecdsa-with-SHA256"), std::string::npos) << text;
  EXPECT_NE(text.find("prime256v1"), std::string::npos) << text;
  X509_REQ* req = parseRequest(csr);
  ASSERT_NE(req, nullptr);
  const X509_ALGOR* alg = nullptr;
  X509_REQ_get0_signature(req, nullptr, &alg);
  const ASN1_OBJECT* oid = nullptr;
  int paramType = -1;
  X509_ALGOR_get0(&oid, &paramType, nullptr, alg);
  EXPECT_EQ(OBJ_obj2nid(oid), NID_ecdsa_with_SHA256);
  EXPECT_EQ(paramType, V_ASN1_NULL);  // the explicit NULL
  EXPECT_EQ(X509_REQ_get_version(req), 0);
  EVP_PKEY* pub = X509_REQ_get0_pubkey(req);
  EXPECT_EQ(std::string(lib.GetBase64MAC()), expectedMac(pub));

  auto ca = ttest::TestCa::make(token.dir);
  X509* cert = ttest::makeCertificate(ca, pub, {"/CN=TEST EC", 0x1234, "20240101000000Z", "20340101000000Z",
                                                "digitalSignature,nonRepudiation"});
  std::string certB64 = ttest::toBase64(ttest::der(cert));
  EXPECT_EQ(lib.ImportCert(certB64.c_str(), ""), 0) << lib.get_GetErrorMsg();

  ASSERT_EQ(lib.SelectCert(1), 0) << lib.get_GetErrorMsg();
  EXPECT_EQ(take(lib.get_GetSelectedCertSerial()), "1234");
  EXPECT_EQ(take(lib.get_GetSelectedCertB64()), certB64);
  ASSERT_EQ(lib.SignPKCS7("abc"), 0) << lib.get_GetErrorMsg();
  std::string p7 = lib.get_GetPKCS7Data();
  EXPECT_EQ(ttest::opensslVerifySignedData(token.dir, p7, ca.certFile), "abc");
  auto info = ttest::inspectSignedData(p7);
  EXPECT_EQ(info.certificates, 1);
  EXPECT_EQ(info.digestNid, NID_sha256);
  EXPECT_EQ(info.signatureNid, NID_ecdsa_with_SHA256);
  EXPECT_EQ(info.signatureParamType, V_ASN1_NULL);
  EXPECT_EQ(lib.Logout(), 0);

  X509_free(cert);
  X509_REQ_free(req);
  ca.free();
}

// What needs no maker behaviour works on plain SoftHSM2 as card type 2;
// what does (the public-key value, certificates without a subject) fails
// the way the operations say.
TEST(TokenRoad, PlainSoftHsmAsCardTypeTwo) {
  TTEST_RUN_IN_CHILD(Module::TokensimEmpty, Module::Softhsm);
  auto token = ttest::TestToken::fromEnv();
  auto ca = ttest::TestCa::make(token.dir);
  EVP_PKEY* pub = token.generateKeyPair("P", "rsa:2048", "5150");
  ASSERT_NE(pub, nullptr);
  X509* cert = ttest::makeCertificate(ca, pub, {"/CN=Plain", 0x8A01, "20240101000000Z", "20340101000000Z",
                                                "digitalSignature,nonRepudiation"});
  std::string certB64 = ttest::toBase64(ttest::der(cert));
  EVP_PKEY* stranger = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  X509* unmatched = ttest::makeCertificate(ca, stranger, {});

  JCICLib lib;
  ASSERT_EQ(lib.SetTokenType(2), 0);
  ASSERT_EQ(lib.GetCardStatus(), 0);
  EXPECT_EQ(lib.GetCardType(), 2);
  ASSERT_EQ(lib.Login(ttest::kUserPin, nullptr), 0);

  EXPECT_EQ(lib.MakePKCS10(1, 1024, "X"), 0x9030);
  EXPECT_STREQ(lib.get_GetErrorMsg(), "MakePkcs10 Get PublicKey Value Error");

  struct Import {
    std::string cert;
    const char* mac;
    int code;
    const char* message;
  } imports[] = {
      {ttest::toBase64(ttest::der(unmatched)), "", 0x9031, "ImportCert Find PrivateKey Error!!"},
      {"not a certificate", "", 0x9031, "ImportCert d2i_X509 Error!!"},
      {"QUJD", "", 0x9031, "ImportCert d2i_X509 Error!!"},
      {certB64, "abc", 0, ""},  // three characters count as no MAC
  };
  for (const auto& i : imports) {
    EXPECT_EQ(lib.ImportCert(i.cert.c_str(), i.mac), i.code) << i.message;
    EXPECT_STREQ(lib.get_GetErrorMsg(), i.message);
  }
  // Card type 2 keeps 8 zero bytes after the certificate; the object has the
  // key's id and the certificate's subject.
  auto stored = token.readCertificate("P");
  auto expected = ttest::der(cert);
  expected.resize(expected.size() + 8, 0);
  EXPECT_EQ(stored, expected);
  std::string listing = certificateListing(token, "P");
  EXPECT_NE(listing.find("ID:         5150"), std::string::npos) << listing;
  EXPECT_NE(listing.find("CN=Plain"), std::string::npos) << listing;

  ASSERT_EQ(lib.SelectCert(1), 0) << lib.get_GetErrorMsg();
  EXPECT_EQ(take(lib.get_GetSelectedCertSerial()), "008A01");
  EXPECT_EQ(take(lib.get_GetSelectedCertB64()), certB64);
  ASSERT_EQ(lib.SignPKCS7("abc"), 0) << lib.get_GetErrorMsg();
  std::string p7 = lib.get_GetPKCS7Data();
  EXPECT_EQ(ttest::opensslVerifySignedData(token.dir, p7, ca.certFile), "abc");
  auto info = ttest::inspectSignedData(p7);
  EXPECT_EQ(info.content, "abc");
  EXPECT_EQ(info.certificates, 1);
  EXPECT_EQ(info.signers, 1);
  EXPECT_EQ(info.signerVersion, 1);
  EXPECT_EQ(info.digestNid, NID_sha256);
  EXPECT_EQ(info.signatureNid, NID_rsaEncryption);
  EXPECT_EQ(info.signatureParamType, V_ASN1_NULL);
  EXPECT_EQ(info.signedAttributes, 0);

  // The flat export signs the UTF-16LE bytes and hands the result over once.
  BSTR text = SysAllocString(u"abc");
  EXPECT_EQ(::SignPKCS7(text), 0);
  SysFreeString(text);
  std::string flat = narrow(takeBstr(::get_GetPKCS7Data()));
  EXPECT_EQ(ttest::opensslVerifySignedData(token.dir, flat, ca.certFile), std::string("a\0b\0c\0", 6));
  EXPECT_EQ(takeBstr(::get_GetPKCS7Data()), u"");
  EXPECT_STREQ(lib.get_GetPKCS7Data(), "");

  // A failed login logs the token out first, so the selected key can no
  // longer sign: the finishing step fails and the last signature stays.
  ASSERT_EQ(lib.SignPKCS7("abc"), 0);
  std::string kept = lib.get_GetPKCS7Data();
  EXPECT_EQ(lib.Login("0000", nullptr), 0x9021);
  EXPECT_EQ(lib.SignPKCS7("xyz"), 0x9001);
  EXPECT_STREQ(lib.get_GetErrorMsg(), "openssl PKCS7_dataFinal Error!!");
  EXPECT_EQ(std::string(lib.get_GetPKCS7Data()), kept);
  // Logged out, the private key is hidden and nothing qualifies; the fields
  // keep the last selection.
  EXPECT_EQ(lib.SelectCert(1), 0x9023);
  EXPECT_STREQ(lib.get_GetErrorMsg(), "No Cert!!");
  EXPECT_EQ(take(lib.get_GetSelectedCertSerial()), "008A01");
  EXPECT_EQ(lib.Logout(), 0);

  X509_free(cert);
  X509_free(unmatched);
  EVP_PKEY_free(pub);
  EVP_PKEY_free(stranger);
  ca.free();
}

// With a MAC the certificate object has no CKA_SUBJECT, which a standard
// module refuses (CKR_TEMPLATE_INCOMPLETE). SoftHSM2 leaks the object it
// refuses, so this child runs without leak detection.
TEST(TokenRoad, PlainSoftHsmRefusesTheMacImport) {
  if (!ttest::inChild()) {
    std::string why;
    VTEST_REQUIRE(ttest::TestToken::available(why), why);
    auto token = ttest::TestToken::make(Module::TokensimEmpty, Module::Softhsm);
    auto env = token.env();
    const char* asan = getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") + "detect_leaks=0");
    auto r = ttest::runChild(env);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return;
  }
  auto token = ttest::TestToken::fromEnv();
  auto ca = ttest::TestCa::make(token.dir);
  EVP_PKEY* pub = token.generateKeyPair("M", "EC:prime256v1");
  ASSERT_NE(pub, nullptr);
  X509* cert = ttest::makeCertificate(ca, pub, {});
  std::string certB64 = ttest::toBase64(ttest::der(cert));
  JCICLib lib;
  ASSERT_EQ(lib.SetTokenType(2), 0);
  ASSERT_EQ(lib.GetCardStatus(), 0);
  ASSERT_EQ(lib.Login(ttest::kUserPin, nullptr), 0);
  EXPECT_EQ(lib.ImportCert(certB64.c_str(), "AQIDBAUGBwg="), 0x9031);
  EXPECT_STREQ(lib.get_GetErrorMsg(), "ImportCert PKCS11_store_certificate Error=208");
  EXPECT_EQ(lib.Logout(), 0);
  X509_free(cert);
  EVP_PKEY_free(pub);
  ca.free();
}

TEST(TokenRequest, ArgumentsLabelsAndTheMacImport) {
  TTEST_RUN_IN_CHILD(Module::Tokensim, Module::Softhsm);
  auto token = ttest::TestToken::fromEnv();
  JCICLib lib;
  ASSERT_EQ(lib.SetTokenType(2), 0);
  ASSERT_EQ(lib.GetCardStatus(), 0);
  ASSERT_EQ(lib.Login(ttest::kUserPin, ttest::kSoPin), 0);

  const std::string cn51(51, 'c');
  struct Bad {
    const char* what;
    int (*call)(JCICLib&, const char*);
    const char* cn;
    int code;
    const char* message;
  } bad[] = {
      {"RSA 4096", [](JCICLib& l, const char* cn) { return l.MakePKCS10(1, 4096, cn); }, "X", 0x9030,
       "MakePkcs10 KeySize Error!!"},
      {"RSA no CN", [](JCICLib& l, const char* cn) { return l.MakePKCS10(1, 2048, cn); }, nullptr, 0x9030,
       "MakePkcs10 CN Error!!"},
      {"EC 384", [](JCICLib& l, const char* cn) { return l.MakePKCS10ECC(1, 384, cn); }, "X", 0x9024,
       "MakePkcs10 KeySize Error!!"},
      {"EC 51-byte CN", [](JCICLib& l, const char* cn) { return l.MakePKCS10ECC(1, 256, cn); }, cn51.c_str(), 0x9024,
       "MakePkcs10 CN Error!!"},
  };
  for (const auto& b : bad) {
    EXPECT_EQ(b.call(lib, b.cn), b.code) << b.what;
    EXPECT_STREQ(lib.get_GetErrorMsg(), b.message) << b.what;
  }
  EXPECT_TRUE(labels(token, "Private Key").empty());  // none of them touched the token

  ASSERT_EQ(lib.MakePKCS10(2, 1024, "ENC"), 0) << lib.get_GetErrorMsg();
  std::string csr = lib.GetBase64CSR(), mac = lib.GetBase64MAC(), text;
  ASSERT_TRUE(ttest::opensslVerifyRequest(token.dir, csr, text)) << text;
  EXPECT_NE(text.find("Public-Key: (1024 bit)"), std::string::npos) << text;
  auto privLabels = labels(token, "Private Key"), pubLabels = labels(token, "Public Key");
  ASSERT_EQ(privLabels.size(), 1u);
  EXPECT_EQ(pubLabels, privLabels);
  std::string label = *privLabels.begin();
  EXPECT_TRUE(std::regex_match(label, std::regex("[0-9A-F]{36}"))) << label;

  // The selection is gone, and a failed request keeps the last one.
  EXPECT_EQ(lib.SignPKCS7("abc"), 0x9001);
  EXPECT_STREQ(lib.get_GetErrorMsg(), "No Cert or No PriveateKey!!");
  EXPECT_EQ(lib.MakePKCS10(1, 512, "X"), 0x9030);
  EXPECT_EQ(std::string(lib.GetBase64CSR()), csr);
  EXPECT_EQ(std::string(lib.GetBase64MAC()), mac);
  EXPECT_EQ(lib.SelectCert(3), 0x9023);
  EXPECT_STREQ(lib.get_GetErrorMsg(), "No Cert!!");

  // With a MAC the stored value is the certificate and the MAC's 8 bytes,
  // stored without id (the stand-in adds the subject a maker's module takes
  // from the value).
  X509_REQ* req = parseRequest(csr);
  auto ca = ttest::TestCa::make(token.dir);
  X509* cert = ttest::makeCertificate(ca, X509_REQ_get0_pubkey(req), {"/CN=ENC", 7, "20240101000000Z",
                                                                       "20340101000000Z",
                                                                       "keyEncipherment,dataEncipherment"});
  std::string certB64 = ttest::toBase64(ttest::der(cert));
  ASSERT_EQ(lib.ImportCert(certB64.c_str(), "AQIDBAUGBwg="), 0) << lib.get_GetErrorMsg();
  auto stored = token.readCertificate(label);
  auto expected = ttest::der(cert);
  expected.insert(expected.end(), {1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(stored, expected);
  EXPECT_EQ(certificateListing(token, label).find("ID:"), std::string::npos);

  // The listing reads the certificate before its trailer.
  EXPECT_EQ(lib.SelectCert(1), 0x9023);
  ASSERT_EQ(lib.SelectCert(2), 0) << lib.get_GetErrorMsg();
  EXPECT_EQ(take(lib.get_GetSelectedCertB64()), certB64);
  EXPECT_EQ(take(lib.get_GetSelectedCertSubject()), "/CN=ENC");
  EXPECT_EQ(lib.Logout(), 0);

  X509_free(cert);
  X509_REQ_free(req);
  ca.free();
}

}  // namespace
