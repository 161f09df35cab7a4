// RSA key transport with an exchange key (little-endian, checked by
// `openssl pkeyutl`) and enveloped messages both ways against `openssl cms`:
// what CryptEncryptMessage makes openssl decrypts, what openssl makes
// CryptDecryptMessage decrypts with a key from a PFX import; the errors.
#include <wincrypt.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "sign_pki.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<BYTE>;
constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }

class Envelope : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki = new vtest::SignPki;
    if (pki->ok()) pki->leaf("enc", {"-newkey", "rsa:2048"}, "enc", "365", "0x0099");
  }
  static void TearDownTestSuite() {
    delete pki;
    pki = nullptr;
  }
  void SetUp() override {
    VTEST_REQUIRE(vtest::runCommand({"openssl", "version"}).status == 0, "openssl command");
    ASSERT_TRUE(pki->ok()) << pki->error();
  }
  void TearDown() override {
    for (HCERTSTORE s : stores_) {
      // The imported keys go with the store.
      for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(s, c));) {
        HCRYPTPROV prov = 0;
        DWORD spec = 0;
        BOOL free = FALSE;
        if (!CryptAcquireCertificatePrivateKey(c, 0, nullptr, &prov, &spec, &free)) continue;
        char name[256] = {};
        DWORD n = sizeof name;
        CryptGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &n, 0);
        if (free) CryptReleaseContext(prov, 0);
        HCRYPTPROV gone = 0;
        CryptAcquireContextA(&gone, name, MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, CRYPT_DELETEKEYSET);
      }
      CertCloseStore(s, 0);
    }
  }

  // The store of a PFX of <name>.key and <name>.pem, keys imported.
  HCERTSTORE imported(const std::string& name) {
    std::string bytes = pki->pfx(name, {"-passout", "pass:pw"});
    CRYPT_DATA_BLOB blob = vtest::blobOf(bytes);
    HCERTSTORE s = PFXImportCertStore(&blob, u"pw", CRYPT_EXPORTABLE);
    if (s) stores_.push_back(s);
    return s;
  }

  PCCERT_CONTEXT cert(const std::string& pem) {
    std::string der = pki->der(pem);
    return CertCreateCertificateContext(kEnc, reinterpret_cast<const BYTE*>(der.data()), DWORD(der.size()));
  }

  static Bytes encrypt(const char* oid, std::vector<PCCERT_CONTEXT> to, const std::string& text, DWORD* error) {
    CRYPT_ENCRYPT_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = kEnc;
    para.ContentEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(oid);
    DWORD n = 0;
    SetLastError(0xdeadbeef);
    Bytes out;
    const BYTE* data = reinterpret_cast<const BYTE*>(text.data());
    if (CryptEncryptMessage(&para, DWORD(to.size()), to.data(), data, DWORD(text.size()), nullptr, &n)) {
      out.resize(n);
      if (!CryptEncryptMessage(&para, DWORD(to.size()), to.data(), data, DWORD(text.size()), out.data(), &n))
        out.clear();
      else
        out.resize(n);
    }
    *error = out.empty() ? GetLastError() : 0;
    return out;
  }

  // The plaintext, or empty with the error; `bound` is the size query's answer.
  static std::string decrypt(HCERTSTORE store, const Bytes& msg, DWORD* error, DWORD* bound = nullptr,
                             PCCERT_CONTEXT* used = nullptr) {
    CRYPT_DECRYPT_MESSAGE_PARA para{sizeof para, kEnc, store ? 1u : 0u, &store, 0};
    DWORD n = 0;
    SetLastError(0xdeadbeef);
    *error = 0;
    if (!CryptDecryptMessage(&para, msg.data(), DWORD(msg.size()), nullptr, &n, nullptr)) {
      *error = GetLastError();
      return "";
    }
    if (bound) *bound = n;
    Bytes out(n + 1);
    if (!CryptDecryptMessage(&para, msg.data(), DWORD(msg.size()), out.data(), &n, used)) {
      *error = GetLastError();
      return "";
    }
    return std::string(out.begin(), out.begin() + n);
  }

  bool run(const std::vector<std::string>& argv, std::string* out = nullptr) {
    auto r = vtest::runCommand(argv);
    if (out) *out = r.out;
    if (r.status != 0) ADD_FAILURE() << argv[1] << ": " << r.err;
    return r.status == 0;
  }

  // openssl cms -decrypt with <name>.key; the recovered content.
  std::string opensslDecrypts(const Bytes& msg, const std::string& name) {
    vtest::writeFile(pki->path("msg.der"), str(msg));
    if (!run({"openssl", "cms", "-decrypt", "-provider", "legacy", "-provider", "default", "-inform", "DER", "-in",
              pki->path("msg.der"), "-inkey", pki->path(name + ".key"), "-recip", pki->path(name + ".pem"), "-binary",
              "-out", pki->path("plain")}))
      return "<failed>";
    return vtest::readFile(pki->path("plain"));
  }

  Bytes opensslEncrypts(const std::string& text, const std::string& cipher, const std::vector<std::string>& extra = {}) {
    vtest::writeFile(pki->path("text"), text);
    std::vector<std::string> argv = {"openssl", "cms", "-encrypt", "-provider", "legacy", "-provider", "default",
                                     "-binary", "-" + cipher, "-in", pki->path("text"), "-outform", "DER", "-out",
                                     pki->path("ossl.der")};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(pki->path("enc.pem"));
    if (!run(argv)) return {};
    std::string der = vtest::readFile(pki->path("ossl.der"));
    return Bytes(der.begin(), der.end());
  }

  static vtest::SignPki* pki;
  std::vector<HCERTSTORE> stores_;
};

vtest::SignPki* Envelope::pki = nullptr;

TEST_F(Envelope, RsaKeyTransportIsLittleEndianPkcs1) {
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  HCRYPTKEY xchg = 0, sig = 0;
  ASSERT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, (2048u << 16) | CRYPT_EXPORTABLE, &xchg));
  ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 2048u << 16, &sig));
  DWORD n = 0;
  ASSERT_TRUE(CryptExportKey(xchg, 0, PRIVATEKEYBLOB, 0, nullptr, &n));
  Bytes blob(n);
  ASSERT_TRUE(CryptExportKey(xchg, 0, PRIVATEKEYBLOB, 0, blob.data(), &n));
  vtest::writeFile(pki->path("x.blob"), str(blob));
  ASSERT_TRUE(run({"openssl", "rsa", "-inform", "MSBLOB", "-in", pki->path("x.blob"), "-out", pki->path("x.pem")}));
  ASSERT_TRUE(run({"openssl", "rsa", "-in", pki->path("x.pem"), "-pubout", "-out", pki->path("x.pub")}));

  // Ours to openssl: reversed, the ciphertext is what pkeyutl decrypts.
  const std::string secret = "a content key of 24 bytes";
  Bytes buf(secret.begin(), secret.end());
  n = DWORD(buf.size());
  ASSERT_TRUE(CryptEncrypt(xchg, 0, TRUE, 0, nullptr, &n, 0));
  EXPECT_EQ(n, 256u);
  buf.resize(256);
  n = DWORD(secret.size());
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptEncrypt(xchg, 0, TRUE, 0, buf.data(), &n, 255));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(n, 256u);
  n = DWORD(secret.size());
  ASSERT_TRUE(CryptEncrypt(xchg, 0, TRUE, 0, buf.data(), &n, 256));
  ASSERT_EQ(n, 256u);
  std::reverse(buf.begin(), buf.end());
  vtest::writeFile(pki->path("ct"), str(buf));
  ASSERT_TRUE(run({"openssl", "pkeyutl", "-decrypt", "-inkey", pki->path("x.pem"), "-in", pki->path("ct"), "-out",
                   pki->path("pt")}));
  EXPECT_EQ(vtest::readFile(pki->path("pt")), secret);

  // Openssl's to ours.
  vtest::writeFile(pki->path("pt2"), "from openssl");
  ASSERT_TRUE(run({"openssl", "pkeyutl", "-encrypt", "-pubin", "-inkey", pki->path("x.pub"), "-in", pki->path("pt2"),
                   "-out", pki->path("ct2")}));
  std::string ct = vtest::readFile(pki->path("ct2"));
  Bytes in(ct.rbegin(), ct.rend());
  n = DWORD(in.size());
  ASSERT_TRUE(CryptDecrypt(xchg, 0, TRUE, 0, in.data(), &n)) << std::hex << GetLastError();
  EXPECT_EQ(std::string(in.begin(), in.begin() + n), "from openssl");

  // The failures, each with its code.
  struct {
    const char* what;
    HCRYPTKEY key;
    bool encrypting;
    BOOL final;
    DWORD length;
    DWORD error;
  } cases[] = {
      {"signature key encrypts", sig, true, TRUE, 10, DWORD(NTE_BAD_KEY)},
      {"signature key decrypts", sig, false, TRUE, 256, DWORD(NTE_BAD_KEY)},
      {"too long for one block", xchg, true, TRUE, 246, DWORD(NTE_BAD_LEN)},
      {"not final", xchg, true, FALSE, 10, DWORD(NTE_BAD_DATA)},
      {"short ciphertext", xchg, false, TRUE, 255, DWORD(NTE_BAD_DATA)},
      {"padding wrong", xchg, false, TRUE, 256, DWORD(NTE_BAD_DATA)},
  };
  for (const auto& c : cases) {
    Bytes data(256, 0x5A);
    n = c.length;
    SetLastError(0xdeadbeef);
    const BOOL ok = c.encrypting ? CryptEncrypt(c.key, 0, c.final, 0, data.data(), &n, 256)
                                 : CryptDecrypt(c.key, 0, c.final, 0, data.data(), &n);
    EXPECT_FALSE(ok) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what << std::hex << " " << GetLastError();
  }
  // A public key alone encrypts but cannot decrypt.
  ASSERT_TRUE(CryptExportKey(xchg, 0, PUBLICKEYBLOB, 0, nullptr, &n));
  Bytes pub(n);
  ASSERT_TRUE(CryptExportKey(xchg, 0, PUBLICKEYBLOB, 0, pub.data(), &n));
  HCRYPTKEY pubKey = 0;
  ASSERT_TRUE(CryptImportKey(prov, pub.data(), n, 0, 0, &pubKey));
  Bytes data(256, 1);
  n = 256;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptDecrypt(pubKey, 0, TRUE, 0, data.data(), &n));
  EXPECT_EQ(GetLastError(), DWORD(NTE_NO_KEY));
  for (HCRYPTKEY k : {xchg, sig, pubKey}) CryptDestroyKey(k);
  CryptReleaseContext(prov, 0);
}

TEST_F(Envelope, OpensslDecryptsWhatWeEncryptAndWeDecryptItWithTheImportedKey) {
  HCERTSTORE store = imported("enc");
  ASSERT_NE(store, nullptr) << std::hex << GetLastError();
  PCCERT_CONTEXT to = cert("enc.pem");
  ASSERT_NE(to, nullptr);
  const std::string text = std::string("envelope \0 text \x01\x02", 18) + std::string(1000, 'x');
  struct {
    const char* oid;
    const char* opensslName;
  } algs[] = {{szOID_RSA_DES_EDE3_CBC, "des-ede3-cbc"}, {szOID_OIWSEC_desCBC, "des-cbc"}, {szOID_RSA_RC4, "rc4"},
              {szOID_NIST_AES256_CBC, "aes-256-cbc"}};
  for (const auto& a : algs) {
    DWORD error = 0;
    Bytes msg = encrypt(a.oid, {to}, text, &error);
    ASSERT_FALSE(msg.empty()) << a.oid << std::hex << " " << error;
    EXPECT_EQ(opensslDecrypts(msg, "enc"), text) << a.oid;
    std::string printed;
    run({"openssl", "cms", "-cmsout", "-print", "-inform", "DER", "-in", pki->path("msg.der")}, &printed);
    EXPECT_NE(printed.find(a.opensslName), std::string::npos) << printed;
    EXPECT_NE(printed.find("rsaEncryption"), std::string::npos);
    DWORD bound = 0;
    PCCERT_CONTEXT used = nullptr;
    EXPECT_EQ(decrypt(store, msg, &error, &bound, &used), text) << a.oid << std::hex << " " << error;
    EXPECT_GE(bound, text.size());
    ASSERT_NE(used, nullptr);
    EXPECT_TRUE(used->cbCertEncoded == to->cbCertEncoded &&
                memcmp(used->pbCertEncoded, to->pbCertEncoded, to->cbCertEncoded) == 0);
    CertFreeCertificateContext(used);
  }
  // Two messages of one text differ: fresh content keys and IVs.
  DWORD error = 0;
  EXPECT_NE(encrypt(szOID_RSA_DES_EDE3_CBC, {to}, text, &error), encrypt(szOID_RSA_DES_EDE3_CBC, {to}, text, &error));
  CertFreeCertificateContext(to);
}

TEST_F(Envelope, WeDecryptWhatOpensslEncrypts) {
  HCERTSTORE store = imported("enc");
  ASSERT_NE(store, nullptr);
  const std::string text = "openssl made this\n" + std::string(333, 'q');
  struct {
    const char* cipher;
    std::vector<std::string> extra;
  } cases[] = {{"des3", {}}, {"des", {}}, {"rc4", {}}, {"aes128", {}}, {"des3", {"-stream"}}};
  for (const auto& c : cases) {
    Bytes msg = opensslEncrypts(text, c.cipher, c.extra);
    ASSERT_FALSE(msg.empty()) << c.cipher;
    DWORD error = 0;
    EXPECT_EQ(decrypt(store, msg, &error), text) << c.cipher << std::hex << " " << error;
  }
}

TEST_F(Envelope, EveryRecipientsKeyOpensAMessageForSeveral) {
  HCERTSTORE encStore = imported("enc"), rsaStore = imported("rsa");
  ASSERT_TRUE(encStore && rsaStore);
  PCCERT_CONTEXT a = cert("enc.pem"), b = cert("rsa.pem");
  DWORD error = 0;
  Bytes msg = encrypt(szOID_RSA_DES_EDE3_CBC, {a, b}, "for two", &error);
  ASSERT_FALSE(msg.empty()) << std::hex << error;
  EXPECT_EQ(opensslDecrypts(msg, "enc"), "for two");
  EXPECT_EQ(opensslDecrypts(msg, "rsa"), "for two");
  EXPECT_EQ(decrypt(encStore, msg, &error), "for two");
  EXPECT_EQ(decrypt(rsaStore, msg, &error), "for two");
  CertFreeCertificateContext(a);
  CertFreeCertificateContext(b);
}

TEST_F(Envelope, FailuresCarryTheirCodes) {
  HCERTSTORE store = imported("enc");
  ASSERT_NE(store, nullptr);
  PCCERT_CONTEXT enc = cert("enc.pem"), ec = cert("ec.pem");
  ASSERT_TRUE(enc && ec);
  DWORD error = 0;
  // Encryption: an EC recipient (no key agreement here), an unknown cipher,
  // a parameter that is not an IV.
  EXPECT_TRUE(encrypt(szOID_RSA_DES_EDE3_CBC, {enc, ec}, "x", &error).empty());
  EXPECT_EQ(error, DWORD(NTE_BAD_ALGID));
  EXPECT_TRUE(encrypt("1.2.3.4", {enc}, "x", &error).empty());
  EXPECT_EQ(error, DWORD(CRYPT_E_UNKNOWN_ALGO));
  {
    BYTE notIv[] = {0x05, 0x00};
    CRYPT_ENCRYPT_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = kEnc;
    para.ContentEncryptionAlgorithm = {const_cast<LPSTR>(szOID_RSA_DES_EDE3_CBC), {sizeof notIv, notIv}};
    DWORD n = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CryptEncryptMessage(&para, 1, &enc, reinterpret_cast<const BYTE*>("x"), 1, nullptr, &n));
    EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_BAD_ENCODE));
  }

  Bytes good = encrypt(szOID_RSA_DES_EDE3_CBC, {enc}, "some text", &error);
  ASSERT_FALSE(good.empty());
  // A store without the recipient's certificate, or with it but no key.
  HCERTSTORE empty = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  EXPECT_EQ(decrypt(empty, good, &error), "");
  EXPECT_EQ(error, DWORD(CRYPT_E_NO_DECRYPT_CERT));
  CertAddCertificateContextToStore(empty, enc, CERT_STORE_ADD_ALWAYS, nullptr);
  EXPECT_EQ(decrypt(empty, good, &error), "");
  EXPECT_EQ(error, DWORD(CRYPT_E_NO_DECRYPT_CERT));
  CertCloseStore(empty, 0);

  // A signed message, garbage, a cipher not offered, a damaged content key.
  vtest::writeFile(pki->path("s.txt"), "signed");
  ASSERT_TRUE(run({"openssl", "cms", "-sign", "-in", pki->path("s.txt"), "-signer", pki->path("rsa.pem"), "-inkey",
                   pki->path("rsa.key"), "-outform", "DER", "-out", pki->path("s.der")}));
  std::string s = vtest::readFile(pki->path("s.der"));
  EXPECT_EQ(decrypt(store, Bytes(s.begin(), s.end()), &error), "");
  EXPECT_EQ(error, DWORD(CRYPT_E_UNEXPECTED_MSG_TYPE));
  EXPECT_EQ(decrypt(store, Bytes{0x30, 0x03, 0x02, 0x01, 0x00}, &error), "");
  EXPECT_EQ(error, DWORD(CRYPT_E_ASN1_BADTAG));
  Bytes camellia = opensslEncrypts("other cipher", "camellia128");
  ASSERT_FALSE(camellia.empty());
  EXPECT_EQ(decrypt(store, camellia, &error), "");
  EXPECT_EQ(error, DWORD(NTE_BAD_ALGID));
  Bytes damaged = good;
  // The encrypted key is the only 256-byte OCTET STRING: flip a byte in it.
  const BYTE header[] = {0x04, 0x82, 0x01, 0x00};
  auto at = std::search(damaged.begin(), damaged.end(), std::begin(header), std::end(header));
  ASSERT_NE(at, damaged.end());
  at[100] ^= 0xFF;
  EXPECT_EQ(decrypt(store, damaged, &error), "");
  EXPECT_EQ(error, DWORD(NTE_BAD_DATA));

  // Every truncation of a message, and every byte of its header changed,
  // fails cleanly (the sanitizer build watches the reads).
  for (size_t n = 0; n < good.size(); ++n) {
    Bytes cut(good.begin(), good.begin() + n);
    if (n == 0) cut.push_back(0);
    EXPECT_EQ(decrypt(store, cut, &error), "") << n;
    EXPECT_NE(error, 0u) << n;
  }
  for (size_t i = 0; i < 64 && i < good.size(); ++i) {
    Bytes bent = good;
    bent[i] ^= 0x80;
    decrypt(store, bent, &error);
  }

  // A buffer one byte short of the plaintext.
  CRYPT_DECRYPT_MESSAGE_PARA para{sizeof para, kEnc, 1, &store, 0};
  Bytes out(8);
  DWORD n = 8;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptDecryptMessage(&para, good.data(), DWORD(good.size()), out.data(), &n, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(n, 9u);
  CertFreeCertificateContext(enc);
  CertFreeCertificateContext(ec);
}

}  // namespace
