// Encoded objects: names to and from text, the RSA public key and key-info
// encodings, and signed requests that `openssl req -verify` accepts.
#include <wincrypt.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/codepage_internal.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<BYTE>;
constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::string hex(const Bytes& b) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  for (BYTE c : b) {
    s += d[c >> 4];
    s += d[c & 15];
  }
  return s;
}

Bytes strToName(const std::string& x500, DWORD type = CERT_X500_NAME_STR, DWORD* error = nullptr) {
  DWORD n = 0;
  SetLastError(0xdeadbeef);
  if (!CertStrToNameA(kEnc, x500.c_str(), type, nullptr, nullptr, &n, nullptr)) {
    if (error) *error = GetLastError();
    return {};
  }
  Bytes out(n);
  if (!CertStrToNameA(kEnc, x500.c_str(), type, nullptr, out.data(), &n, nullptr)) return {};
  out.resize(n);
  return out;
}

std::string nameToStr(Bytes der, DWORD type) {
  CERT_NAME_BLOB blob{DWORD(der.size()), der.data()};
  DWORD n = CertNameToStrA(kEnc, &blob, type, nullptr, 0);
  std::string s(n, '\0');
  CertNameToStrA(kEnc, &blob, type, s.data(), n);
  s.resize(n - 1);
  return velmora::platform::utf8FromAnsi(s);
}

TEST(CryptNames, StringToNameEncodesAsWindowsDoes) {
  // One PrintableString CN.
  EXPECT_EQ(hex(strToName("CN=Test")), "300f310d300b06035504031304" + hex(Bytes{'T', 'e', 's', 't'}));
  // Text that is not printable becomes a BMPString; e-mail an IA5String.
  const std::string chinese = velmora::platform::ansiFromUtf8("王小明");
  EXPECT_EQ(hex(strToName("CN=" + chinese)), "3011310f300d06035504031e06738b5c0f660e");
  EXPECT_NE(hex(strToName("E=a@b.c")).find("1605" + hex(Bytes{'a', '@', 'b', '.', 'c'})), std::string::npos);

  struct Case {
    const char* x500;
    DWORD type;
    const char* back;
  } cases[] = {
      {"CN=Alice, O=Example, C=TW", CERT_X500_NAME_STR, "CN=Alice, O=Example, C=TW"},
      {"CN=Alice; O=Example", CERT_X500_NAME_STR, "CN=Alice, O=Example"},
      {"CN=\"Smith, John\", OU=R&D", CERT_X500_NAME_STR, "CN=\"Smith, John\", OU=R&D"},
      {"CN=\"Smith, John\"", CERT_X500_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG, "CN=Smith, John"},
      {"CN=Alice, O=Example", CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG, "O=Example, CN=Alice"},
      {"CN=Alice, O=Example", CERT_SIMPLE_NAME_STR, "Alice, Example"},
      {"CN=Alice, O=Example", CERT_OID_NAME_STR, "2.5.4.3=Alice, 2.5.4.10=Example"},
      {"CN=A + OU=B", CERT_X500_NAME_STR, "CN=A + OU=B"},
      {"OID.1.2.3.4=x, 2.5.4.3=y", CERT_X500_NAME_STR, "OID.1.2.3.4=x, CN=y"},
      {"CN=\"say \"\"hi\"\"\"", CERT_X500_NAME_STR, "CN=\"say \"\"hi\"\"\""},
      {"", CERT_X500_NAME_STR, ""},
  };
  for (const auto& c : cases) {
    Bytes der = strToName(c.x500);
    ASSERT_FALSE(der.empty()) << c.x500;
    EXPECT_EQ(nameToStr(der, c.type), c.back) << c.x500;
  }
  EXPECT_EQ(nameToStr(strToName("CN=" + chinese + ", O=Org"), CERT_X500_NAME_STR), "CN=王小明, O=Org");
}

TEST(CryptNames, BadTextsAndBuffers) {
  for (const char* bad : {"CN", "XYZ=1", "CN=a,", "CN=\"open", "1=x"}) {
    DWORD error = 0;
    EXPECT_TRUE(strToName(bad, CERT_X500_NAME_STR, &error).empty()) << bad;
    EXPECT_EQ(error, DWORD(CRYPT_E_INVALID_X500_STRING)) << bad;
  }
  LPCSTR where = nullptr;
  DWORD n = 0;
  const char* text = "CN=a, Bogus=b";
  EXPECT_FALSE(CertStrToNameA(kEnc, text, CERT_X500_NAME_STR, nullptr, nullptr, &n, &where));
  EXPECT_EQ(where, text + 6);

  // CertNameToStrA cuts the text to the buffer and always terminates it.
  Bytes der = strToName("CN=Alice");
  CERT_NAME_BLOB blob{DWORD(der.size()), der.data()};
  char small[5];
  EXPECT_EQ(CertNameToStrA(kEnc, &blob, CERT_X500_NAME_STR, small, sizeof small), 5u);
  EXPECT_STREQ(small, "CN=A");
  Bytes garbage = {0x30, 0x05, 0x31};
  CERT_NAME_BLOB bad{DWORD(garbage.size()), garbage.data()};
  EXPECT_EQ(CertNameToStrA(kEnc, &bad, CERT_X500_NAME_STR, small, sizeof small), 1u);
  EXPECT_STREQ(small, "");
}

TEST(CryptNames, DecodedNameIsLaidOutInTheCallersBuffer) {
  const std::string chinese = velmora::platform::ansiFromUtf8("陳");
  Bytes der = strToName("CN=" + chinese + ", O=Org + OU=Unit");
  DWORD n = 0;
  ASSERT_TRUE(CryptDecodeObject(kEnc, X509_NAME, der.data(), DWORD(der.size()), 0, nullptr, &n));
  std::vector<BYTE> buf(n);
  DWORD shortSize = n - 1;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptDecodeObject(kEnc, X509_NAME, der.data(), DWORD(der.size()), 0, buf.data(), &shortSize));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(shortSize, n);
  ASSERT_TRUE(CryptDecodeObject(kEnc, X509_NAME, der.data(), DWORD(der.size()), 0, buf.data(), &n));
  auto* info = reinterpret_cast<CERT_NAME_INFO*>(buf.data());
  ASSERT_EQ(info->cRDN, 2u);
  ASSERT_EQ(info->rgRDN[0].cRDNAttr, 1u);
  const CERT_RDN_ATTR& cn = info->rgRDN[0].rgRDNAttr[0];
  EXPECT_STREQ(cn.pszObjId, "2.5.4.3");
  EXPECT_EQ(cn.dwValueType, DWORD(CERT_RDN_BMP_STRING));
  ASSERT_EQ(cn.Value.cbData, 2u);
  EXPECT_EQ(reinterpret_cast<const WCHAR*>(cn.Value.pbData)[0], u'陳');
  EXPECT_EQ(info->rgRDN[1].cRDNAttr, 2u);
  // Every pointer stays inside the buffer.
  auto inside = [&](const void* p) { return p >= buf.data() && p < buf.data() + buf.size(); };
  EXPECT_TRUE(inside(cn.pszObjId) && inside(cn.Value.pbData) && inside(info->rgRDN[1].rgRDNAttr));

  // Re-encoding the decoded structure gives the same bytes.
  DWORD m = 0;
  ASSERT_TRUE(CryptEncodeObject(kEnc, X509_NAME, info, nullptr, &m));
  Bytes again(m);
  ASSERT_TRUE(CryptEncodeObject(kEnc, X509_NAME, info, again.data(), &m));
  EXPECT_EQ(again, der);
  Bytes truncated(der.begin(), der.end() - 2);
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptDecodeObject(kEnc, X509_NAME, truncated.data(), DWORD(truncated.size()), 0, nullptr, &n));
  EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_ASN1_BADTAG));
}

class CryptRequest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CryptAcquireContextA(&prov_, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptGenKey(prov_, AT_SIGNATURE, 1024u << 16, &key_));
  }
  void TearDown() override {
    CryptDestroyKey(key_);
    CryptReleaseContext(prov_, 0);
  }
  HCRYPTPROV prov_ = 0;
  HCRYPTKEY key_ = 0;
  std::string dir_ = vtest::makeTempDir("req");
};

TEST_F(CryptRequest, PublicKeyEncodingsMatchOpenssl) {
  VTEST_REQUIRE(vtest::runCommand({"openssl", "version"}).status == 0, "openssl command");
  DWORD n = 0;
  ASSERT_TRUE(CryptExportKey(key_, 0, PUBLICKEYBLOB, 0, nullptr, &n));
  Bytes blob(n);
  ASSERT_TRUE(CryptExportKey(key_, 0, PUBLICKEYBLOB, 0, blob.data(), &n));
  DWORD m = 0;
  ASSERT_TRUE(CryptEncodeObject(kEnc, RSA_CSP_PUBLICKEYBLOB, blob.data(), nullptr, &m));
  Bytes der(m);
  ASSERT_TRUE(CryptEncodeObject(kEnc, RSA_CSP_PUBLICKEYBLOB, blob.data(), der.data(), &m));
  vtest::writeFile(dir_ + "/pub.blob", std::string(blob.begin(), blob.end()));
  auto r = vtest::runCommand({"openssl", "rsa", "-pubin", "-inform", "MSBLOB", "-in", dir_ + "/pub.blob",
                              "-RSAPublicKey_out", "-outform", "DER", "-out", dir_ + "/pub.der"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(std::string(der.begin(), der.end()), vtest::readFile(dir_ + "/pub.der"));

  // Decoding gives the blob back, as an exchange key.
  DWORD k = 0;
  ASSERT_TRUE(CryptDecodeObject(kEnc, RSA_CSP_PUBLICKEYBLOB, der.data(), m, 0, nullptr, &k));
  Bytes back(k);
  ASSERT_TRUE(CryptDecodeObject(kEnc, RSA_CSP_PUBLICKEYBLOB, der.data(), m, 0, back.data(), &k));
  EXPECT_EQ(Bytes(back.begin() + 8, back.end()), Bytes(blob.begin() + 8, blob.end()));
  EXPECT_EQ(back[5], 0xa4);

  // The key info carries rsaEncryption with NULL parameters and the same key.
  DWORD infoSize = 0;
  ASSERT_TRUE(CryptExportPublicKeyInfo(prov_, AT_SIGNATURE, kEnc, nullptr, &infoSize));
  std::vector<BYTE> infoBuf(infoSize);
  auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(infoBuf.data());
  ASSERT_TRUE(CryptExportPublicKeyInfo(prov_, AT_SIGNATURE, kEnc, info, &infoSize));
  EXPECT_STREQ(info->Algorithm.pszObjId, szOID_RSA_RSA);
  EXPECT_EQ(hex(Bytes(info->Algorithm.Parameters.pbData, info->Algorithm.Parameters.pbData + 2)), "0500");
  EXPECT_EQ(Bytes(info->PublicKey.pbData, info->PublicKey.pbData + info->PublicKey.cbData), der);
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptExportPublicKeyInfo(prov_, AT_KEYEXCHANGE, kEnc, nullptr, &infoSize));
  EXPECT_EQ(GetLastError(), DWORD(NTE_NO_KEY));
}

TEST_F(CryptRequest, SignedRequestVerifiesWithOpenssl) {
  VTEST_REQUIRE(vtest::runCommand({"openssl", "version"}).status == 0, "openssl command");
  Bytes subject = strToName("CN=Request Test, O=Velmora");
  DWORD infoSize = 0;
  ASSERT_TRUE(CryptExportPublicKeyInfo(prov_, AT_SIGNATURE, kEnc, nullptr, &infoSize));
  std::vector<BYTE> infoBuf(infoSize);
  auto* spki = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(infoBuf.data());
  ASSERT_TRUE(CryptExportPublicKeyInfo(prov_, AT_SIGNATURE, kEnc, spki, &infoSize));
  CERT_REQUEST_INFO req{};
  req.dwVersion = CERT_REQUEST_V1;
  req.Subject = {DWORD(subject.size()), subject.data()};
  req.SubjectPublicKeyInfo = *spki;
  for (const char* alg : {szOID_RSA_SHA256RSA, szOID_RSA_SHA1RSA}) {
    CRYPT_ALGORITHM_IDENTIFIER sigAlg{const_cast<char*>(alg), {0, nullptr}};
    DWORD n = 0;
    ASSERT_TRUE(CryptSignAndEncodeCertificate(prov_, AT_SIGNATURE, kEnc, X509_CERT_REQUEST_TO_BE_SIGNED, &req,
                                              &sigAlg, nullptr, nullptr, &n));
    Bytes csr(n);
    ASSERT_TRUE(CryptSignAndEncodeCertificate(prov_, AT_SIGNATURE, kEnc, X509_CERT_REQUEST_TO_BE_SIGNED, &req,
                                              &sigAlg, nullptr, csr.data(), &n));
    EXPECT_EQ(n, csr.size());
    vtest::writeFile(dir_ + "/req.der", std::string(csr.begin(), csr.end()));
    auto r = vtest::runCommand({"openssl", "req", "-inform", "DER", "-in", dir_ + "/req.der", "-verify", "-noout",
                                "-text"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string all = r.out + r.err;
    EXPECT_NE(all.find("verify OK"), std::string::npos) << all;
    EXPECT_NE(all.find(std::string(alg) == szOID_RSA_SHA256RSA ? "sha256WithRSAEncryption" : "sha1WithRSAEncryption"),
              std::string::npos);
    EXPECT_NE(all.find("CN = Request Test, O = Velmora"), std::string::npos) << all;
  }
  CRYPT_ALGORITHM_IDENTIFIER unknown{const_cast<char*>("1.2.3"), {0, nullptr}};
  DWORD n = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptSignAndEncodeCertificate(prov_, AT_SIGNATURE, kEnc, X509_CERT_REQUEST_TO_BE_SIGNED, &req,
                                             &unknown, nullptr, nullptr, &n));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_ALGID));
}

TEST(CryptText, BinaryToBase64WithHeadersAndLineBreaks) {
  Bytes data(100, 0xAB);
  DWORD n = 0;
  ASSERT_TRUE(CryptBinaryToStringA(data.data(), DWORD(data.size()), CRYPT_STRING_BASE64REQUESTHEADER, nullptr, &n));
  std::string text(n, '\0');
  ASSERT_TRUE(CryptBinaryToStringA(data.data(), DWORD(data.size()), CRYPT_STRING_BASE64REQUESTHEADER, text.data(), &n));
  text.resize(n);
  EXPECT_EQ(text.rfind("-----BEGIN NEW CERTIFICATE REQUEST-----\r\n", 0), 0u);
  EXPECT_NE(text.find("\r\n-----END NEW CERTIFICATE REQUEST-----\r\n"), std::string::npos);
  EXPECT_EQ(text.find("\r\n", 41), 41u + 64);  // 64 characters a line
  n = 0;
  ASSERT_TRUE(CryptBinaryToStringA(data.data(), 3, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, nullptr, &n));
  EXPECT_EQ(n, 5u);
}

}  // namespace
