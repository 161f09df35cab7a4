// Envelope encryption through CCAPILib, checked both ways with the openssl
// command: what CertEncryptPkcs7 makes `openssl cms -decrypt` opens, what
// `openssl cms -encrypt` makes CertDecryptPkcs7 opens with the key in "MY"
// or, through the PFX dialog, in a PFX file; the recipient-text rules and
// every status of both calls.
#include "signer_pki.h"  // OpenSSL before wincrypt.h (X509_NAME)

#include <strabel/automation.h>
#include <strabel/strabel.h>
#include <wincrypt.h>
#include <windows.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "certs/encoding.h"
#include "com/bstr.h"
#include "frame/engines.h"
#include "test_support.h"
#include "ui/dialogs.h"

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::string take(char* text) {
  std::string s = text ? text : "";
  delete[] text;
  return s;
}

std::string b64(const std::string& bytes) {
  strabel::ByteBuffer b;
  strabel::Base64Encode(bytes.data(), int32_t(bytes.size()), b);
  return b.str();
}

std::string fromB64(const std::string& text) {
  strabel::ByteBuffer b;
  if (!strabel::Base64Decode(text, b)) return "";
  return b.str();
}

std::string utf16le(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

void clearStore(const char* name) {
  HCERTSTORE store = CertOpenSystemStoreA(0, name);
  for (PCCERT_CONTEXT c; (c = CertEnumCertificatesInStore(store, nullptr));) CertDeleteCertificateFromStore(c);
  CertCloseStore(store, 0);
}

std::string dataHome() {
  const char* x = getenv("XDG_DATA_HOME");
  return x && *x ? x : std::string(getenv("HOME")) + "/.local/share";
}

int keyFiles() {
  int n = 0;
  std::error_code ec;
  for (const char* sub : {"/velmora/Crypto/RSA", "/velmora/Crypto/Keys"})
    for (auto it = std::filesystem::directory_iterator(dataHome() + sub, ec);
         !ec && it != std::filesystem::directory_iterator(); ++it)
      n += it->path().filename().string()[0] != '.';
  return n;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = 0; (p = text.find(what, p)) != std::string::npos; p += what.size()) ++n;
  return n;
}

class EnvelopeTest : public testing::Test {
 protected:
  struct Party {
    std::string key, pem, der, pfx;  // file paths, and the certificate's DER
  };

  static void SetUpTestSuite() { pki_ = new vtest::SignerPki; }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
  }

  void SetUp() override {
    VTEST_REQUIRE(vtest::runCommand({"openssl", "version"}).status == 0, "openssl command");
    strabel::capiCore().m_bIEProtectedMode = 0;
    clearStore("MY");
    dir_ = vtest::makeTempDir("env");
    service_ = std::make_shared<velmora::ui::FunctionDialogService>([this](const velmora::ui::DialogRequest& r) {
      requests_.push_back(r);
      velmora::ui::DialogResult res;
      res.button = pfxAnswer_.empty() ? "cancel" : "ok";
      res.fields = {{"folder", dir_}, {"name", pfxAnswer_}, {"password", pfxPassword_}};
      return res;
    });
    scoped_ = std::make_unique<velmora::ui::ScopedDialogService>(service_);
  }

  // An RSA (or EC) key and certificate made with OpenSSL, with a PFX of both.
  Party party(const std::string& name, const std::string& serial, bool ec = false) {
    EVP_PKEY* key = ec ? EVP_EC_gen("P-256") : EVP_RSA_gen(2048);
    vtest::CertSpec spec;
    spec.subject = {{"CN", "Recipient " + name}};
    spec.serialHex = serial;
    spec.keyUsage = ec ? "keyAgreement" : "keyEncipherment";
    Party p;
    p.der = pki_->make(spec, key);
    p.key = dir_ + "/" + name + ".key";
    p.pem = dir_ + "/" + name + ".pem";
    p.pfx = dir_ + "/" + name + ".pfx";
    vtest::writeFile(p.key, vtest::SignerPki::privatePem(key));
    vtest::writeFile(p.pem, vtest::SignerPki::pem(p.der));
    EVP_PKEY_free(key);
    run({"openssl", "pkcs12", "-export", "-inkey", p.key, "-in", p.pem, "-out", p.pfx, "-passout", "pass:pfxpw"});
    return p;
  }

  // The party's certificate in "MY" with its key, as an imported PFX leaves it.
  bool install(const Party& p) {
    std::string bytes = vtest::readFile(p.pfx);
    CRYPT_DATA_BLOB blob{DWORD(bytes.size()), reinterpret_cast<BYTE*>(bytes.data())};
    HCERTSTORE pfx = PFXImportCertStore(&blob, u"pfxpw", CRYPT_EXPORTABLE);
    if (!pfx) return false;
    HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
    bool ok = false;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(pfx, c));)
      ok = CertAddCertificateContextToStore(my, c, CERT_STORE_ADD_REPLACE_EXISTING, nullptr) || ok;
    CertCloseStore(my, 0);
    CertCloseStore(pfx, 0);
    return ok;
  }

  bool run(const std::vector<std::string>& argv, std::string* out = nullptr) {
    auto r = vtest::runCommand(argv);
    if (out) *out = r.out;
    if (r.status != 0) ADD_FAILURE() << argv[1] << ": " << r.err;
    return r.status == 0;
  }

  // openssl cms -decrypt of a Base64 message with the party's key.
  std::string opensslDecrypts(const std::string& message, const Party& p, std::string* printed = nullptr) {
    vtest::writeFile(dir_ + "/msg.der", fromB64(message));
    if (printed) run({"openssl", "cms", "-cmsout", "-print", "-inform", "DER", "-in", dir_ + "/msg.der"}, printed);
    if (!run({"openssl", "cms", "-decrypt", "-provider", "legacy", "-provider", "default", "-inform", "DER", "-in",
              dir_ + "/msg.der", "-inkey", p.key, "-recip", p.pem, "-binary", "-out", dir_ + "/plain"}))
      return "<failed>";
    return vtest::readFile(dir_ + "/plain");
  }

  // Base64 of what openssl cms -encrypt makes of `content` for the party.
  std::string opensslEncrypts(const std::string& content, const std::string& cipher, const Party& p) {
    vtest::writeFile(dir_ + "/content", content);
    if (!run({"openssl", "cms", "-encrypt", "-provider", "legacy", "-provider", "default", "-binary", "-" + cipher,
              "-in", dir_ + "/content", "-outform", "DER", "-out", dir_ + "/ossl.der", p.pem}))
      return "";
    return b64(vtest::readFile(dir_ + "/ossl.der"));
  }

  static vtest::SignerPki* pki_;
  CCAPILib capi;
  std::string dir_;
  std::string pfxAnswer_, pfxPassword_;
  std::shared_ptr<velmora::ui::FunctionDialogService> service_;
  std::unique_ptr<velmora::ui::ScopedDialogService> scoped_;
  std::vector<velmora::ui::DialogRequest> requests_;
};

vtest::SignerPki* EnvelopeTest::pki_ = nullptr;

TEST_F(EnvelopeTest, OpensslOpensWhatWeEncryptForEveryAlgorithmAndTextForm) {
  const Party p = party("one", "0A01");
  ASSERT_TRUE(install(p));
  const std::string text = "Envelope for the recipient, 32+ chars";
  struct {
    long alg;
    const char* cipher;
  } algs[] = {{0, "des-ede3-cbc"}, {1, "des-cbc"}, {2, "rc4"}, {3, "des-ede3-cbc"}};
  for (const auto& a : algs) {
    for (long flags : {0L, 0x800L}) {
      const std::string msg = take(capi.CertEncryptPkcs7(text.c_str(), b64(p.der).c_str(), a.alg, flags));
      ASSERT_EQ(capi.GetErrorCode(), 0) << a.alg << " " << flags;
      EXPECT_EQ(msg.find_first_of("\r\n"), std::string::npos);
      std::string printed;
      EXPECT_EQ(opensslDecrypts(msg, p, &printed), flags ? text : utf16le(text)) << a.alg << " " << flags;
      EXPECT_NE(printed.find(a.cipher), std::string::npos) << a.alg;
      EXPECT_EQ(count(printed, "d.ktri"), 1u) << printed;
      // And back through our own decryption, from "MY" without a dialog.
      EXPECT_EQ(take(capi.CertDecryptPkcs7(msg.c_str(), flags)), text) << a.alg << " " << flags;
      EXPECT_EQ(capi.GetErrorCode(), 0);
    }
  }
  EXPECT_TRUE(requests_.empty());
  // UTF-16 text read back as ANSI stops after its first character.
  const std::string msg = take(capi.CertEncryptPkcs7("wide text", b64(p.der).c_str(), 0, 0));
  EXPECT_EQ(take(capi.CertDecryptPkcs7(msg.c_str(), 0x800)), "w");
}

TEST_F(EnvelopeTest, WeOpenWhatOpensslEncryptsForAKeyInMy) {
  const Party p = party("two", "0A02");
  ASSERT_TRUE(install(p));
  const std::string text = "openssl made this message";
  for (const char* cipher : {"des3", "des", "rc4"}) {
    for (long flags : {0L, 0x800L}) {
      const std::string msg = opensslEncrypts(flags ? text : utf16le(text), cipher, p);
      ASSERT_FALSE(msg.empty());
      EXPECT_EQ(take(capi.CertDecryptPkcs7(msg.c_str(), flags)), text) << cipher << " " << flags;
      EXPECT_EQ(capi.GetErrorCode(), 0) << cipher;
    }
  }
  // Text beyond ASCII, in both forms (the ANSI code page is UTF-8 here).
  const std::string secret = "\xE6\xA9\x9F\xE5\xAF\x86 text";  // U+6A5F U+5BC6
  const std::string secret16 = std::string("\x5F\x6A\xC6\x5B", 4) + utf16le(" text");
  EXPECT_EQ(take(capi.CertDecryptPkcs7(opensslEncrypts(secret16, "des3", p).c_str(), 0)), secret);
  EXPECT_EQ(take(capi.CertDecryptPkcs7(opensslEncrypts(secret, "des3", p).c_str(), 0x800)), secret);
  const std::string ours = take(capi.CertEncryptPkcs7(secret.c_str(), b64(p.der).c_str(), 0, 0));
  EXPECT_EQ(opensslDecrypts(ours, p), secret16);
  // PEM armour and line breaks in the ciphertext are tolerated.
  const std::string msg = opensslEncrypts("ansi", "des3", p);
  std::string pem = "-----BEGIN CMS-----\r\n";
  for (size_t i = 0; i < msg.size(); i += 64) pem += msg.substr(i, 64) + "\r\n";
  pem += "-----END CMS-----\r\n";
  EXPECT_EQ(take(capi.CertDecryptPkcs7(pem.c_str(), 0x800)), "ansi");
  EXPECT_TRUE(requests_.empty());
}

TEST_F(EnvelopeTest, ABundleGivesOneRecipientInfoPerDistinctCertificate) {
  const Party a = party("a", "0B01"), b = party("b", "0B02");
  ASSERT_TRUE(run({"openssl", "crl2pkcs7", "-nocrl", "-certfile", a.pem, "-certfile", b.pem, "-certfile", a.pem,
                   "-outform", "DER", "-out", dir_ + "/bundle.p7b"}));
  const std::string bundle = b64(vtest::readFile(dir_ + "/bundle.p7b"));
  const std::string msg = take(capi.CertEncryptPkcs7("to both", bundle.c_str(), 0, 0x800));
  ASSERT_EQ(capi.GetErrorCode(), 0) << capi.GetCapiErrorCode();
  std::string printed;
  EXPECT_EQ(opensslDecrypts(msg, a, &printed), "to both");
  EXPECT_EQ(count(printed, "d.ktri"), 2u) << printed;
  EXPECT_EQ(opensslDecrypts(msg, b), "to both");
  // Each recipient's key in "MY" opens it on its own.
  for (const Party* p : {&a, &b}) {
    clearStore("MY");
    ASSERT_TRUE(install(*p));
    EXPECT_EQ(take(capi.CertDecryptPkcs7(msg.c_str(), 0x800)), "to both");
  }
  // The same certificate twice in a bundle: one recipient.
  ASSERT_TRUE(run({"openssl", "crl2pkcs7", "-nocrl", "-certfile", a.pem, "-certfile", a.pem, "-outform", "DER",
                   "-out", dir_ + "/twice.p7b"}));
  const std::string once =
      take(capi.CertEncryptPkcs7("x", b64(vtest::readFile(dir_ + "/twice.p7b")).c_str(), 0, 0x800));
  opensslDecrypts(once, a, &printed);
  EXPECT_EQ(count(printed, "d.ktri"), 1u);
}

TEST_F(EnvelopeTest, RecipientTextRules) {
  const Party p = party("rules", "0C01");
  const std::string bare = b64(p.der);
  std::string crlf = "-----BEGIN CERTIFICATE-----\r\n";
  for (size_t i = 0; i < bare.size(); i += 64) crlf += bare.substr(i, 64) + "\r\n";
  crlf += "-----END CERTIFICATE-----\r\n";
  ASSERT_TRUE(run({"openssl", "crl2pkcs7", "-nocrl", "-outform", "DER", "-out", dir_ + "/none.p7b"}));
  ASSERT_TRUE(run({"openssl", "crl2pkcs7", "-nocrl", "-certfile", p.pem, "-out", dir_ + "/one.pem"}));
  std::string pkcs7Pem = vtest::readFile(dir_ + "/one.pem");
  // openssl writes "PKCS7"; the rule removes the "PKCS #7" armour only.
  std::string spaced = pkcs7Pem;
  for (const char* end : {"BEGIN", "END"}) {
    const std::string from = std::string("-----") + end + " PKCS7-----", to = std::string("-----") + end + " PKCS #7-----";
    spaced.replace(spaced.find(from), from.size(), to);
  }
  struct {
    const char* what;
    std::string plain, recipients;
    int status;
  } cases[] = {
      {"bare Base64", "text", bare, 0},
      {"PEM with CR LF", "text", crlf, 0},
      {"PKCS #7 armour", "text", spaced, 0},
      {"PKCS7 armour stays and is not Base64", "text", pkcs7Pem, 5040},
      {"not starting with M", "text", "A" + bare.substr(1), 5040},
      {"garbage", "text", "M!!not base64!!", 5040},
      {"Base64 but no certificate", "text", b64("Mumble: neither certificate nor bundle"), 5040},
      {"empty bundle", "text", b64(vtest::readFile(dir_ + "/none.p7b")), 5040},
      {"empty recipients", "text", "", 5005},
      {"empty plaintext", "", bare, 5005},
  };
  for (const auto& c : cases) {
    const std::string msg = take(capi.CertEncryptPkcs7(c.plain.c_str(), c.recipients.c_str(), 0, 0x800));
    EXPECT_EQ(capi.GetErrorCode(), c.status) << c.what;
    if (c.status == 0) {
      EXPECT_EQ(opensslDecrypts(msg, p), c.plain) << c.what;
    } else {
      EXPECT_EQ(msg, "") << c.what;
    }
  }
  // An EC recipient: no key agreement, so the encryption fails.
  const Party ec = party("ec", "0C02", true);
  EXPECT_EQ(take(capi.CertEncryptPkcs7("text", b64(ec.der).c_str(), 0, 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 9004);
  EXPECT_EQ(capi.GetCapiErrorCode(), 0);
  // Protected mode stops both calls.
  strabel::capiCore().m_bIEProtectedMode = 1;
  EXPECT_EQ(take(capi.CertEncryptPkcs7("text", bare.c_str(), 0, 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 1500);
  EXPECT_EQ(take(capi.CertDecryptPkcs7(bare.c_str(), 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 1500);
  strabel::capiCore().m_bIEProtectedMode = 0;
}

TEST_F(EnvelopeTest, DecryptionStatusesAndThePfxFallback) {
  const Party mine = party("mine", "0D01"), other = party("other", "0D02");
  const std::string forOther = take(capi.CertEncryptPkcs7("only in the PFX", b64(other.der).c_str(), 0, 0x800));
  ASSERT_EQ(capi.GetErrorCode(), 0);
  ASSERT_TRUE(install(mine));

  EXPECT_EQ(take(capi.CertDecryptPkcs7("", 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5005);
  EXPECT_EQ(take(capi.CertDecryptPkcs7("not*base64", 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 9002);
  EXPECT_EQ(take(capi.CertDecryptPkcs7(b64("junk, not a message").c_str(), 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 9005);
  // A signed message instead of an enveloped one.
  vtest::writeFile(dir_ + "/s.txt", "signed");
  ASSERT_TRUE(run({"openssl", "cms", "-sign", "-in", dir_ + "/s.txt", "-signer", mine.pem, "-inkey", mine.key,
                   "-outform", "DER", "-out", dir_ + "/s.der"}));
  EXPECT_EQ(take(capi.CertDecryptPkcs7(b64(vtest::readFile(dir_ + "/s.der")).c_str(), 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5042);
  EXPECT_TRUE(requests_.empty());

  // No key for the message in "MY": the PFX dialog; Cancel.
  EXPECT_EQ(take(capi.CertDecryptPkcs7(forOther.c_str(), 0x800)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5070);
  ASSERT_EQ(requests_.size(), 1u);
  EXPECT_EQ(requests_[0].kind, "pfx-file");
  EXPECT_EQ(requests_[0].resourceId, 202);
  for (const auto& f : requests_[0].fields) {
    if (f.name == "name") {
      EXPECT_EQ(f.value, "*.pfx");
    }
  }

  const int keysBefore = keyFiles();
  // The wrong password: 5010 with the loader's platform code.
  pfxAnswer_ = "other.pfx";
  pfxPassword_ = "wrong";
  EXPECT_EQ(take(capi.CertDecryptPkcs7(forOther.c_str(), 0x800)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5010);
  EXPECT_NE(capi.GetCapiErrorCode(), 0);
  // A PFX with another key: nothing to decrypt with there either.
  pfxAnswer_ = "mine.pfx";
  pfxPassword_ = "pfxpw";
  EXPECT_EQ(take(capi.CertDecryptPkcs7(forOther.c_str(), 0x800)), "");
  EXPECT_EQ(capi.GetErrorCode(), 9006);
  // The PFX that holds the key decrypts, and leaves no key behind.
  pfxAnswer_ = "other.pfx";
  EXPECT_EQ(take(capi.CertDecryptPkcs7(forOther.c_str(), 0x800)), "only in the PFX");
  EXPECT_EQ(capi.GetErrorCode(), 0);
  EXPECT_EQ(keyFiles(), keysBefore);
}

TEST_F(EnvelopeTest, TheAutomationClassReachesTheSameCode) {
  const Party p = party("auto", "0E01");
  ASSERT_TRUE(install(p));
  IClassFactory* factory = nullptr;
  ASSERT_EQ(DllGetClassObject(CLSID_CAPI, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  ICAPI* object = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_ICAPI, reinterpret_cast<void**>(&object)), S_OK);
  factory->Release();
  velmora::com::Bstr text(u"through CAPI"), recipient(strabel::wideFromAnsi(b64(p.der)));
  BSTR msg = nullptr;
  ASSERT_EQ(object->CertEncryptPkcs7(text.get(), recipient.get(), 2, 0, &msg), S_OK);
  velmora::com::Bstr message = velmora::com::Bstr::attach(msg);
  LONG code = -1;
  object->GetErrorCode(&code);
  ASSERT_EQ(code, 0);
  EXPECT_EQ(opensslDecrypts(message.utf8(), p), utf16le("through CAPI"));
  BSTR plain = nullptr;
  ASSERT_EQ(object->CertDecryptPkcs7(message.get(), 0, &plain), S_OK);
  EXPECT_EQ(velmora::com::Bstr::attach(plain).utf8(), "through CAPI");
  object->Release();
}

}  // namespace
