// Smart-card providers on SoftHSM2 tokens, found through p11-kit module files
// of the test profile only: registering a card's certificates into "MY",
// signing on the card with the PIN errors and a removed card, a request
// whose key is made on the card and its issued certificate, and the
// velmora-store provider commands. Checked with the openssl command and
// pkcs11-tool.
#include "signer_pki.h"  // OpenSSL before wincrypt.h (X509_NAME)

#include <strabel/strabel.h>
#include <wincrypt.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "certs/encoding.h"
#include "frame/engines.h"
#include "test_support.h"
#include "ui/dialogs.h"

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr const char* kPin = "1234";

std::string take(char* text) {
  std::string s = text ? text : "";
  delete[] text;
  return s;
}

std::string fromB64(const std::string& text) {
  strabel::ByteBuffer b;
  if (!strabel::Base64Decode(text, b)) return "";
  return std::string(reinterpret_cast<const char*>(b.data()), size_t(b.length()));
}

std::string toB64(const std::string& der) {
  strabel::ByteBuffer b;
  strabel::Base64Encode(der.data(), int32_t(der.size()), b);
  return b.c_str();
}

std::string softhsm() {
  for (const char* p : {"/usr/lib/softhsm/libsofthsm2.so", "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so"})
    if (access(p, R_OK) == 0) return p;
  return {};
}

std::string tokensim() { return std::string(VELMORA_BUILD_DIR) + "/fixtures/tokensim/libtokensim.so"; }

bool onPath(const char* tool) { return vtest::runCommand({"sh", "-c", std::string("command -v ") + tool}).status == 0; }

struct KeyProv {
  std::u16string container, provider;
  DWORD type = 0, spec = 0;
};

std::vector<std::pair<std::string, KeyProv>> myCertificates() {
  std::vector<std::pair<std::string, KeyProv>> out;
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(my, c));) {
    char cn[128] = {};
    CertGetNameStringA(c, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), cn, sizeof cn);
    KeyProv kp;
    DWORD n = 0;
    if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n)) {
      std::vector<BYTE> buf(n);
      CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n);
      auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
      kp = {info->pwszContainerName, info->pwszProvName, info->dwProvType, info->dwKeySpec};
    }
    out.emplace_back(cn, kp);
  }
  CertCloseStore(my, 0);
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return out;
}

class CardProvider : public testing::Test {
 protected:
  static void SetUpTestSuite() { pki_ = new vtest::SignerPki; }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
  }

  void SetUp() override {
    VTEST_REQUIRE(!softhsm().empty(), "SoftHSM2 (package softhsm2)");
    VTEST_REQUIRE(onPath("softhsm2-util"), "softhsm2-util (package softhsm2)");
    VTEST_REQUIRE(onPath("pkcs11-tool"), "pkcs11-tool (package opensc)");
    VTEST_REQUIRE(onPath("openssl"), "the openssl command");
    VTEST_REQUIRE(access(tokensim().c_str(), R_OK) == 0, "the stand-in module (target tokensim)");
    strabel::capiCore().m_bIEProtectedMode = 0;
    strabel::certRegCore().m_bIEProtectedMode = 0;
    strabel::capiCore().ResetSigner();
    dir_ = vtest::makeTempDir("card");
    conf_ = dir_ + "/softhsm2.conf";
    std::filesystem::create_directories(dir_ + "/tokens");
    vtest::writeFile(conf_, "directories.tokendir = " + dir_ + "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n");
    setenv("SOFTHSM2_CONF", conf_.c_str(), 1);
    setenv("TOKENSIM_STATE", (dir_ + "/tries").c_str(), 1);
    unsetenv("TOKENSIM_NO_TOKEN");
    auto r = vtest::runCommand({"softhsm2-util", "--init-token", "--free", "--label", "Card", "--so-pin", "12345678",
                                "--pin", kPin});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // The providers come from the profile's p11-kit module files alone:
    // "softcard" on SoftHSM2 itself, "testcard" on the stand-in that locks
    // the PIN and takes the card away.
    const std::string modules = std::string(getenv("XDG_CONFIG_HOME")) + "/pkcs11/modules";
    std::filesystem::create_directories(modules);
    vtest::writeFile(modules + "/softcard.module", "# SoftHSM2 for the tests\nmodule: " + softhsm() + "\n");
    vtest::writeFile(modules + "/testcard.module", "module: " + tokensim() + "\ncritical: no\n");
    vtest::writeFile(dir_ + "/root.pem", vtest::SignerPki::pem(pki_->rootDer()));
    service_ = std::make_shared<velmora::ui::FunctionDialogService>([this](const velmora::ui::DialogRequest& req) {
      kinds_.push_back(req.kind);
      velmora::ui::DialogResult result;
      if (req.kind == "pin") {
        if (pin_.empty()) return result;  // cancelled
        result.button = "ok";
        result.fields["pin"] = pin_;
      } else {
        result.button = req.kind == "root-install" ? "yes" : "ok";
      }
      return result;
    });
    scoped_ = std::make_unique<velmora::ui::ScopedDialogService>(service_);
  }

  vtest::CommandResult p11(std::vector<std::string> args) {
    std::vector<std::string> argv = {"pkcs11-tool", "--module", softhsm(), "--token-label", "Card", "--login",
                                     "--pin",       kPin};
    argv.insert(argv.end(), args.begin(), args.end());
    return vtest::runCommand(argv);
  }

  // A key pair on the card; with `cn`, a certificate for it too.
  void keyPair(const std::string& label, const std::string& id, const std::string& usage, const std::string& cn) {
    auto r = p11({"--keypairgen", "--key-type", "rsa:2048", "--label", label, "--id", id, usage});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    if (cn.empty()) return;
    const std::string pubFile = dir_ + "/" + label + ".pub";
    r = p11({"--read-object", "--type", "pubkey", "--id", id, "--label", label, "-o", pubFile});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string pub = vtest::readFile(pubFile);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pub.data());
    EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, long(pub.size()));
    ASSERT_NE(key, nullptr);
    vtest::CertSpec spec;
    spec.subject = {{"CN", cn}};
    spec.serialHex = id + "01";
    const std::string der = pki_->make(spec, key);
    EVP_PKEY_free(key);
    vtest::writeFile(dir_ + "/" + label + ".crt", der);
    r = p11({"--write-object", dir_ + "/" + label + ".crt", "--type", "cert", "--id", id, "--label", label});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }

  bool cmsVerify(const std::string& b64, const std::string& content) {
    vtest::writeFile(dir_ + "/p7.der", fromB64(b64));
    auto r = vtest::runCommand({"openssl", "cms", "-verify", "-inform", "DER", "-in", dir_ + "/p7.der", "-CAfile",
                                dir_ + "/root.pem", "-purpose", "any", "-binary", "-out", dir_ + "/out"});
    if (r.status != 0) ADD_FAILURE() << r.err << r.out;
    return r.status == 0 && vtest::readFile(dir_ + "/out") == content;
  }

  // The software containers of the profile: a card key must leave none.
  int softwareContainers() {
    int n = 0;
    std::error_code ec;
    const std::string folder = std::string(getenv("XDG_DATA_HOME")) + "/velmora/Crypto/RSA";
    for (auto it = std::filesystem::directory_iterator(folder, ec); !ec && it != std::filesystem::directory_iterator();
         ++it)
      n += it->path().filename().string()[0] != '.';
    return n;
  }

  static vtest::SignerPki* pki_;
  std::string dir_, conf_, pin_ = kPin;
  std::vector<std::string> kinds_;
  std::shared_ptr<velmora::ui::FunctionDialogService> service_;
  std::unique_ptr<velmora::ui::ScopedDialogService> scoped_;
  CCAPILib capi;
  CCAPICertRegLib reg;
};

vtest::SignerPki* CardProvider::pki_ = nullptr;

TEST_F(CardProvider, RegistersEveryContainersCertificateWithItsKey) {
  keyPair("card-a", "01", "--usage-sign", "Card A");
  keyPair("card-b", "02", "--usage-sign", "Card B");
  // An exchange key in the first container, without a certificate.
  keyPair("card-a-enc", "01", "--usage-decrypt", "");

  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(reg.RegSMCert("softcard"), 0) << take(reg.GetErrorMsg()) << " " << std::hex << reg.GetCapiErrorCode();
    EXPECT_EQ(reg.GetSuccessCount(), 2);
    const std::string sn = take(reg.GetSn());
    EXPECT_TRUE(sn == "Card A\nCard B\n" || sn == "Card B\nCard A\n") << sn;
    // Registered again: the copies are replaced, nothing is added.
    auto certs = myCertificates();
    ASSERT_EQ(certs.size(), 2u);
    EXPECT_EQ(certs[0].first, "Card A");
    EXPECT_EQ(certs[0].second.container, u"card-a");
    EXPECT_EQ(certs[1].second.container, u"card-b");
    // The first container holds two pairs: the certified one is its
    // signature key. The second's only pair can encrypt: its exchange key.
    EXPECT_EQ(certs[0].second.spec, DWORD(AT_SIGNATURE));
    EXPECT_EQ(certs[1].second.spec, DWORD(AT_KEYEXCHANGE));
    for (const auto& c : certs) {
      EXPECT_EQ(c.second.provider, u"softcard");
      EXPECT_EQ(c.second.type, DWORD(PROV_RSA_FULL));
    }
  }
  // The public objects are enough: no PIN is asked.
  EXPECT_TRUE(kinds_.empty());

  // An unknown provider, and a card without containers.
  EXPECT_EQ(reg.RegSMCert("no such card"), 4097);
  EXPECT_EQ(DWORD(reg.GetCapiErrorCode()), DWORD(NTE_KEYSET_NOT_DEF));
  EXPECT_EQ(reg.GetSuccessCount(), 0);
  auto r = p11({"--delete-object", "--type", "cert", "--id", "01"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* label : {"card-a", "card-a-enc", "card-b"})
    for (const char* type : {"privkey", "pubkey"}) p11({"--delete-object", "--type", type, "--label", label});
  p11({"--delete-object", "--type", "cert", "--id", "02"});
  EXPECT_EQ(reg.RegSMCert("softcard"), 0);
  EXPECT_EQ(reg.GetSuccessCount(), 0);
  EXPECT_EQ(take(reg.GetSn()), "");
}

TEST_F(CardProvider, StoreToolListsAddsAndRemovesProviders) {
  const std::string tool = std::string(VELMORA_BIN_DIR) + "/velmora-store";
  auto r = vtest::runCommand({tool, "providers"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Microsoft Strong Cryptographic Provider (type 1, software)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("softcard (type 1, token): softcard -> " + softhsm()), std::string::npos) << r.out;

  // Removed, it stays away though its module file is still there.
  r = vtest::runCommand({tool, "remove-provider", "softcard"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(vtest::runCommand({tool, "providers"}).out.find("softcard"), std::string::npos);
  EXPECT_EQ(reg.RegSMCert("softcard"), 4097);
  EXPECT_EQ(vtest::runCommand({tool, "remove-provider", "softcard"}).status, 1);

  // Added under a name of the user's choosing, by the module's path.
  r = vtest::runCommand({tool, "add-provider", "My Card", softhsm()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(reg.RegSMCert("My Card"), 0) << std::hex << reg.GetCapiErrorCode();
  EXPECT_EQ(vtest::runCommand({tool, "add-provider", "Bad", dir_ + "/none.so"}).status, 1);
  EXPECT_EQ(vtest::runCommand({tool, "add-provider", "Microsoft Strong Cryptographic Provider", softhsm()}).status, 1);
}

TEST_F(CardProvider, SignsOnTheCardAndMapsPinAndCardErrors) {
  keyPair("signer", "0a", "--usage-sign", "Card Signer");
  ASSERT_EQ(reg.RegSMCert("testcard"), 0) << std::hex << reg.GetCapiErrorCode();
  ASSERT_EQ(reg.GetSuccessCount(), 1);
  ASSERT_EQ(capi.SelectSigner("S_CN=Card Signer", 0x100, 0), 0) << take(capi.GetErrorMsg());

  struct {
    const char* what;
    std::string pin;
    int status;
  } cases[] = {
      {"wrong PIN", "9999", 3206}, {"cancelled", "", 5070},     {"right PIN", kPin, 0},
      {"wrong PIN", "0000", 3206}, {"wrong PIN", "0000", 3206}, {"third wrong PIN", "0000", 3206},
      {"locked", kPin, 3204},
  };
  for (const auto& c : cases) {
    pin_ = c.pin;
    kinds_.clear();
    const std::string text = std::string("signed on the card: ") + c.what;
    const std::string out = take(capi.SignPkcs7(text.c_str(), 0x800));
    EXPECT_EQ(capi.GetErrorCode(), c.status) << c.what << " " << std::hex << capi.GetCapiErrorCode();
    if (c.status == 0) {
      EXPECT_TRUE(cmsVerify(out, text)) << c.what;
    } else {
      EXPECT_EQ(out, "") << c.what;
    }
    // The PIN is asked for every signature (never kept past its context),
    // except when the card says it is locked.
    EXPECT_EQ(std::count(kinds_.begin(), kinds_.end(), "pin"), c.status == 3204 ? 0 : 1) << c.what;
  }
  EXPECT_EQ(softwareContainers(), 0);

  // The card taken away: its slot is empty.
  std::filesystem::remove(dir_ + "/tries");
  setenv("TOKENSIM_NO_TOKEN", "1", 1);
  pin_ = kPin;
  EXPECT_EQ(take(capi.SignPkcs7("no card", 0x800)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5225);
  EXPECT_EQ(DWORD(capi.GetCapiErrorCode()), SCARD_E_NO_SMARTCARD);
}

TEST_F(CardProvider, RequestKeyIsMadeOnTheCardAndItsCertificateBindsToIt) {
  ASSERT_EQ(capi.SetProviderName("softcard"), 0);
  const std::string csr = take(capi.CreatePKCS10("Card Request", 2048, 1));
  ASSERT_FALSE(csr.empty()) << capi.GetErrorCode() << " " << std::hex << capi.GetCapiErrorCode();
  vtest::writeFile(dir_ + "/req.der", fromB64(csr));
  auto r = vtest::runCommand({"openssl", "req", "-verify", "-inform", "DER", "-in", dir_ + "/req.der", "-noout"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(std::count(kinds_.begin(), kinds_.end(), "pin"), 1);

  // The key pair is on the card, sensitive and never extractable.
  r = p11({"--list-objects", "--type", "privkey"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("never extractable"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("sensitive"), std::string::npos) << r.out;
  EXPECT_EQ(softwareContainers(), 0);

  EVP_PKEY* key = vtest::SignerPki::requestKey(fromB64(csr));
  ASSERT_NE(key, nullptr);
  vtest::CertSpec spec;
  spec.subject = {{"CN", "Card Request"}};
  spec.serialHex = "7701";
  const std::string der = pki_->make(spec, key);
  EVP_PKEY_free(key);
  ASSERT_EQ(capi.AcceptPKCS7(toB64(der).c_str()), 0) << std::hex << capi.GetCapiErrorCode();

  // The certificate went to the card beside its key, and to "MY" with it.
  auto certs = myCertificates();
  ASSERT_EQ(certs.size(), 1u);
  EXPECT_EQ(certs[0].second.provider, u"softcard");
  const std::string container(certs[0].second.container.begin(), certs[0].second.container.end());
  r = p11({"--read-object", "--type", "cert", "--label", container, "-o", dir_ + "/back.der"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(vtest::readFile(dir_ + "/back.der"), der);

  // And it signs there.
  ASSERT_EQ(capi.SelectSigner("S_CN=Card Request", 0x100, 0), 0) << take(capi.GetErrorMsg());
  const std::string out = take(capi.SignPkcs7("request key signs", 0x800));
  ASSERT_EQ(capi.GetErrorCode(), 0) << std::hex << capi.GetCapiErrorCode();
  EXPECT_TRUE(cmsVerify(out, "request key signs"));
}

// The provider's CryptoAPI face on the card: containers, keys by spec, the
// certificate with the buffer rules, and RSA decryption on the card of
// what openssl encrypted for the certificate.
TEST_F(CardProvider, CryptoApiOnTheCard) {
  keyPair("card-b", "02", "--usage-decrypt", "Card B");
  HCRYPTPROV verify = 0;
  ASSERT_TRUE(CryptAcquireContextA(&verify, nullptr, "softcard", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  char name[512];
  DWORD n = sizeof name;
  ASSERT_TRUE(CryptGetProvParam(verify, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &n, CRYPT_FIRST));
  EXPECT_STREQ(name, "card-b");
  n = sizeof name;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptGetProvParam(verify, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &n, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
  CryptReleaseContext(verify, 0);

  HCRYPTPROV prov = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptAcquireContextA(&prov, "no such container", "softcard", PROV_RSA_FULL, 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEYSET));
  ASSERT_TRUE(CryptAcquireContextA(&prov, "card-b", "softcard", PROV_RSA_FULL, 0));
  HCRYPTKEY key = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptGetUserKey(prov, AT_SIGNATURE, &key));
  EXPECT_EQ(GetLastError(), DWORD(NTE_NO_KEY));
  ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));

  DWORD size = 0;
  ASSERT_TRUE(CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &size, 0));
  std::string cert(size, '\0');
  DWORD shortSize = size - 1;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptGetKeyParam(key, KP_CERTIFICATE, reinterpret_cast<BYTE*>(cert.data()), &shortSize, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(shortSize, size);
  ASSERT_TRUE(CryptGetKeyParam(key, KP_CERTIFICATE, reinterpret_cast<BYTE*>(cert.data()), &size, 0));
  EXPECT_EQ(cert, vtest::readFile(dir_ + "/card-b.crt"));
  // The private half never leaves the card.
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &size));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY_STATE));

  const std::string secret = "a session key, say";
  vtest::writeFile(dir_ + "/plain", secret);
  vtest::writeFile(dir_ + "/card-b.pem", vtest::SignerPki::pem(cert));
  auto r = vtest::runCommand({"openssl", "pkeyutl", "-encrypt", "-certin", "-inkey", dir_ + "/card-b.pem", "-in",
                              dir_ + "/plain", "-out", dir_ + "/enc"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string data = vtest::readFile(dir_ + "/enc");
  ASSERT_EQ(data.size(), 256u);
  std::reverse(data.begin(), data.end());  // CryptoAPI's byte order
  DWORD len = DWORD(data.size());
  kinds_.clear();
  ASSERT_TRUE(CryptDecrypt(key, 0, TRUE, 0, reinterpret_cast<BYTE*>(data.data()), &len)) << std::hex << GetLastError();
  EXPECT_EQ(data.substr(0, len), secret);
  EXPECT_EQ(std::count(kinds_.begin(), kinds_.end(), "pin"), 1);
  // A ciphertext shorter than the modulus is refused before the card.
  len = 255;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptDecrypt(key, 0, TRUE, 0, reinterpret_cast<BYTE*>(data.data()), &len));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_LEN));
  CryptDestroyKey(key);
  CryptReleaseContext(prov, 0);
}

}  // namespace
