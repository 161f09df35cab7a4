// Installing issued certificates: CA certificates to "ROOT" (after the
// prompt) and "CA", the user's certificate to "MY" joined to the key made
// for it in another process; the refusals and their codes.
#include <csignal>
#include <strabel/strabel.h>
#include <wincrypt.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "../platform/crypt_pki.h"
#include "certs/cert_info.h"
#include "certs/encoding.h"
#include "frame/engines.h"
#include "test_support.h"
#include "ui/dialogs.h"

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::string b64(const std::string& bytes) {
  strabel::ByteBuffer out;
  strabel::Base64Encode(bytes.data(), int32_t(bytes.size()), out);
  return out.str();
}

std::string pemOf(const std::string& b64text, const char* label) {
  std::string pem = std::string("-----BEGIN ") + label + "-----\r\n";
  for (size_t i = 0; i < b64text.size(); i += 64) pem += b64text.substr(i, 64) + "\r\n";
  return pem + "-----END " + label + "-----\r\n";
}

struct StoreCert {
  std::string subject, friendly, container, provider;
  DWORD provType = 0, keySpec = 0;
  bool hasProvInfo = false;
};

std::vector<StoreCert> storeContents(const char* name) {
  std::vector<StoreCert> out;
  HCERTSTORE store = CertOpenSystemStoreA(0, name);
  if (!store) return out;
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c));) {
    StoreCert e;
    strabel::CertInfo info;
    info.FromContext(c);
    e.subject = info.SubjectName();
    DWORD n = 0;
    if (CertGetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &n)) {
      std::u16string w(n / 2, u'\0');
      CertGetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, w.data(), &n);
      e.friendly = strabel::ansiFromWide(w.c_str());
    }
    n = 0;
    if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n)) {
      std::vector<BYTE> buf(n);
      CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n);
      auto* p = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
      e.hasProvInfo = true;
      e.container = strabel::ansiFromWide(p->pwszContainerName);
      e.provider = strabel::ansiFromWide(p->pwszProvName);
      e.provType = p->dwProvType;
      e.keySpec = p->dwKeySpec;
    }
    out.push_back(e);
  }
  CertCloseStore(store, 0);
  return out;
}

// The tests of this process share one profile: each starts from empty stores.
void clearStores() {
  for (const char* name : {"ROOT", "CA", "MY"}) {
    HCERTSTORE store = CertOpenSystemStoreA(0, name);
    for (PCCERT_CONTEXT c; (c = CertEnumCertificatesInStore(store, nullptr));) CertDeleteCertificateFromStore(c);
    CertCloseStore(store, 0);
  }
}

class Install : public testing::Test {
 protected:
  void SetUp() override {
    strabel::capiCore().m_bIEProtectedMode = 0;
    clearStores();
    VTEST_REQUIRE(vtest::runCommand({"openssl", "version"}).status == 0, "openssl command");
    pki_ = std::make_unique<vtest::TestPki>();
    ASSERT_TRUE(pki_->ok()) << pki_->error();
    service_ = std::make_shared<velmora::ui::FunctionDialogService>([this](const velmora::ui::DialogRequest& r) {
      prompts_.push_back(r.kind);
      velmora::ui::DialogResult result;
      result.button = trustRoot_ ? "yes" : "no";
      return result;
    });
    scoped_ = std::make_unique<velmora::ui::ScopedDialogService>(service_);
  }
  // A key and request made by another process, through the bridge.
  std::string requestFromAnotherProcess(const std::string& cn) {
    auto r = vtest::runCommand({std::string(VELMORA_BIN_DIR) + "/velmora-call",
                                "capi_CreatePKCS10(\"" + cn + "\",1024,1)"});
    if (r.status != 0 || r.out.size() < 10) return "";
    return r.out.substr(1, r.out.find('"', 1) - 1);
  }
  std::string issuedPem(const std::string& cn) {
    const std::string csr = requestFromAnotherProcess(cn);
    if (csr.empty()) return "";
    const int serial = serial_++;
    return pki_->issue(pemOf(csr, "CERTIFICATE REQUEST"), "user" + std::to_string(serial),
                       "0x0" + std::to_string(serial));
  }

  CCAPILib capi;
  std::unique_ptr<vtest::TestPki> pki_;
  std::shared_ptr<velmora::ui::FunctionDialogService> service_;
  std::unique_ptr<velmora::ui::ScopedDialogService> scoped_;
  std::vector<std::string> prompts_;
  bool trustRoot_ = true;
  int serial_ = 1;
};

TEST_F(Install, ChainGoesToItsStoresAndTheUserCertificateFindsItsKey) {
  const std::string userPem = issuedPem("Install User");
  ASSERT_FALSE(userPem.empty()) << pki_->error();
  const std::string bundle = b64(pki_->bundle({pki_->root(), pki_->intermediate(), userPem}));
  ASSERT_EQ(capi.AcceptPKCS7(bundle.c_str()), 0) << capi.GetErrorCode();
  EXPECT_EQ(prompts_, std::vector<std::string>{"root-install"});

  auto root = storeContents("ROOT"), ca = storeContents("CA"), my = storeContents("MY");
  ASSERT_EQ(root.size(), 1u);
  EXPECT_EQ(root[0].subject, "CN=Velmora Test Root, O=Velmora");
  ASSERT_EQ(ca.size(), 1u);
  EXPECT_EQ(ca[0].subject, "CN=Velmora Test Intermediate, O=Velmora");
  ASSERT_EQ(my.size(), 1u);
  EXPECT_EQ(my[0].subject, "CN=Install User");
  EXPECT_EQ(my[0].friendly, "Install User");
  ASSERT_TRUE(my[0].hasProvInfo);
  EXPECT_EQ(my[0].container.size(), 36u);
  EXPECT_EQ(my[0].provider, MS_ENHANCED_PROV_A);
  EXPECT_EQ(my[0].provType, 1u);
  EXPECT_EQ(my[0].keySpec, 1u);

  // The installed key signs; openssl verifies with the certificate.
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr);
  ASSERT_NE(c, nullptr);
  HCRYPTPROV prov = 0;
  DWORD spec = 0;
  BOOL callerFrees = FALSE;
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(c, 0, nullptr, &prov, &spec, &callerFrees));
  HCRYPTHASH hash = 0;
  const std::string data = "signed by the installed key";
  ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
  ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size()), 0));
  DWORD n = 0;
  ASSERT_TRUE(CryptSignHashA(hash, spec, nullptr, 0, nullptr, &n));
  std::string sig(n, '\0');
  ASSERT_TRUE(CryptSignHashA(hash, spec, nullptr, 0, reinterpret_cast<BYTE*>(sig.data()), &n));
  CryptDestroyHash(hash);
  if (callerFrees) CryptReleaseContext(prov, 0);
  CertFreeCertificateContext(c);
  CertCloseStore(store, 0);
  std::reverse(sig.begin(), sig.end());
  const std::string d = pki_->dir();
  vtest::writeFile(d + "/data", data);
  vtest::writeFile(d + "/sig", sig);
  ASSERT_TRUE(pki_->run({"openssl", "x509", "-in", userPem, "-pubkey", "-noout", "-out", d + "/user.pub"}));
  auto verify = vtest::runCommand({"openssl", "dgst", "-sha1", "-verify", d + "/user.pub", "-signature", d + "/sig",
                                   d + "/data"});
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;

  // Again, armoured this time: it succeeds and nothing is doubled.
  const std::string armoured = pemOf(bundle, "PKCS7");
  EXPECT_EQ(capi.AcceptPKCS7Ecc(armoured.c_str()), 0) << capi.GetErrorCode();
  EXPECT_EQ(storeContents("ROOT").size(), 1u);
  EXPECT_EQ(storeContents("CA").size(), 1u);
  EXPECT_EQ(storeContents("MY").size(), 1u);
  EXPECT_EQ(prompts_.size(), 1u);  // the root is trusted already
}

TEST_F(Install, ASingleCertificateInstallsTheSameWay) {
  const std::string userPem = issuedPem("Single");
  ASSERT_FALSE(userPem.empty()) << pki_->error();
  const std::string cert = pemOf(b64(pki_->der(userPem)), "CERTIFICATE");
  ASSERT_EQ(capi.AcceptPKCS7(cert.c_str()), 0) << capi.GetErrorCode();
  auto my = storeContents("MY");
  ASSERT_EQ(my.size(), 1u);
  EXPECT_EQ(my[0].friendly, "Single");
  EXPECT_TRUE(prompts_.empty());
  EXPECT_TRUE(storeContents("ROOT").empty());
}

// The certificate and its properties are written as one: a process killed
// between the two writes leaves no certificate in "MY" at all.
TEST_F(Install, AnInstallKilledHalfwayLeavesNothingInMy) {
  const std::string userPem = issuedPem("Half Written");
  ASSERT_FALSE(userPem.empty()) << pki_->error();
  const std::string call = "capi_AcceptPKCS7(\"" + b64(pki_->der(userPem)) + "\")";
  const std::string tool = std::string(VELMORA_BIN_DIR) + "/velmora-call";
  auto killed = vtest::runCommand({tool, call}, {"VELMORA_TEST_KILL_AT=install-half-written"});
  EXPECT_EQ(killed.status, 128 + SIGKILL) << killed.out << killed.err;
  EXPECT_TRUE(storeContents("MY").empty());
  auto whole = vtest::runCommand({tool, call});
  EXPECT_EQ(whole.out, "0\n") << whole.err;
  auto my = storeContents("MY");
  ASSERT_EQ(my.size(), 1u);
  EXPECT_EQ(my[0].friendly, "Half Written");
  EXPECT_TRUE(my[0].hasProvInfo);
}

TEST_F(Install, RefusalsAndTheirCodes) {
  const std::string d = pki_->dir();
  ASSERT_TRUE(pki_->run({"openssl", "req", "-newkey", "rsa:1024", "-nodes", "-keyout", d + "/stranger.key", "-out",
                         d + "/stranger.csr", "-subj", "/CN=Stranger"}));
  const std::string stranger = pki_->issue(vtest::readFile(d + "/stranger.csr"), "stranger", "0x77");
  ASSERT_FALSE(stranger.empty()) << pki_->error();
  const std::string caOnly = b64(pki_->bundle({pki_->root(), pki_->intermediate()}));
  const std::string strangerBundle = b64(pki_->bundle({pki_->intermediate(), stranger}));

  struct Case {
    std::string input;
    int accept, chain;
  } cases[] = {
      {caOnly, 5060, 0},
      {strangerBundle, 5010, 0},
      {b64(pki_->der(stranger)), 5010, 5010},
      {b64(pki_->bundle({stranger})), 5010, 5010},
      {"not*base64", 5008, 5008},
      {"", 5005, 5005},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(capi.AcceptPKCS7(c.input.c_str()), c.accept) << c.input.substr(0, 20);
    EXPECT_EQ(capi.ImportCertChain(c.input.c_str()), c.chain) << c.input.substr(0, 20);
  }
  EXPECT_TRUE(storeContents("MY").empty());
  EXPECT_EQ(storeContents("ROOT").size(), 1u);
  EXPECT_EQ(storeContents("CA").size(), 1u);

  strabel::capiCore().m_bIEProtectedMode = 1;
  EXPECT_EQ(capi.AcceptPKCS7(caOnly.c_str()), 1500);
  EXPECT_EQ(capi.ImportCertChain(caOnly.c_str()), 1500);
  EXPECT_EQ(capi.AcceptPKCS7(""), 5005);
  strabel::capiCore().m_bIEProtectedMode = 0;
}

TEST_F(Install, ChainImportThatInstallsNothingIsNotASuccess) {
  trustRoot_ = false;
  const std::string rootOnly = b64(pki_->der(pki_->root()));
  EXPECT_EQ(capi.ImportCertChain(rootOnly.c_str()), 5070);
  EXPECT_EQ(DWORD(capi.GetCapiErrorCode()), DWORD(ERROR_CANCELLED));
  EXPECT_TRUE(storeContents("ROOT").empty());
  // With an intermediate that does install, the chain import succeeds.
  const std::string both = b64(pki_->bundle({pki_->root(), pki_->intermediate()}));
  EXPECT_EQ(capi.ImportCertChain(both.c_str()), 0);
  EXPECT_TRUE(storeContents("ROOT").empty());
  EXPECT_EQ(storeContents("CA").size(), 1u);
}

TEST_F(Install, CertInfoFormatsTheFields) {
  const std::string d = pki_->dir();
  ASSERT_TRUE(pki_->run({"openssl", "req", "-newkey", "rsa:1024", "-nodes", "-keyout", d + "/f.key", "-out",
                         d + "/f.csr", "-subj", "/CN=Field, Test/O=Org"}));
  const std::string pem = pki_->issue(vtest::readFile(d + "/f.csr"), "fields", "0x00C311");
  const std::string der = pki_->der(pem);
  strabel::CertInfo info;
  ASSERT_TRUE(info.FromBytes(reinterpret_cast<const BYTE*>(der.data()), int32_t(der.size())));
  EXPECT_EQ(info.Serial(), "00C311");
  EXPECT_EQ(info.SubjectName(), "CN=Field, Test, O=Org");  // no quoting
  EXPECT_EQ(info.SubjectCN(), "Field, Test");
  EXPECT_EQ(info.IssuerCN(), "Velmora Test Intermediate");
  EXPECT_EQ(info.Base64(), b64(der));
  EXPECT_EQ(info.KeyUsage(), 0xC0);
  EXPECT_FALSE(info.IsCaLike());
  EXPECT_EQ(info.Thumbprint().size(), 40u);
  // Dates in local time, as openssl prints them in that zone.
  auto end = vtest::runCommand({"openssl", "x509", "-in", pem, "-noout", "-enddate", "-dateopt", "iso_8601"});
  ASSERT_EQ(end.status, 0) << end.err;
  std::string iso = end.out.substr(end.out.find('=') + 1);
  auto local = vtest::runCommand({"date", "-d", iso.substr(0, iso.find_last_not_of("\n") + 1), "+%Y%m%d%H%M%S"});
  ASSERT_EQ(local.status, 0) << local.err;
  EXPECT_EQ(info.NotAfter() + "\n", local.out);
  EXPECT_EQ(info.NotAfter(strabel::CertInfo::DateForm::Date), info.NotAfter().substr(0, 4) + "/" +
                                                                   info.NotAfter().substr(4, 2) + "/" +
                                                                   info.NotAfter().substr(6, 2));
  strabel::CertInfo root;
  const std::string rootDer = pki_->der(pki_->root());
  ASSERT_TRUE(root.FromBytes(reinterpret_cast<const BYTE*>(rootDer.data()), int32_t(rootDer.size())));
  EXPECT_TRUE(root.IsCaLike());

  strabel::CertInfo bad;
  EXPECT_FALSE(bad.FromBytes(reinterpret_cast<const BYTE*>("\x30\x00"), 2));
  EXPECT_EQ(bad.lastError, DWORD(CRYPT_E_ASN1_BADTAG));
  EXPECT_EQ(bad.SubjectName(), "");
  EXPECT_EQ(bad.Serial(), "");
  EXPECT_EQ(bad.NotBefore(), "");
  EXPECT_EQ(bad.Thumbprint(), "");
}

}  // namespace

namespace {

vtest::CommandResult store(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {std::string(VELMORA_BIN_DIR) + "/velmora-store"};
  argv.insert(argv.end(), args.begin(), args.end());
  return vtest::runCommand(argv);
}

TEST_F(Install, StoreInspectorShowsExportsAndDeletes) {
  const std::string userPem = issuedPem("Inspected User");
  ASSERT_FALSE(userPem.empty()) << pki_->error();
  const std::string bundle = b64(pki_->bundle({pki_->root(), pki_->intermediate(), userPem}));
  ASSERT_EQ(capi.AcceptPKCS7(bundle.c_str()), 0);

  auto stores = store({"stores"});
  ASSERT_EQ(stores.status, 0) << stores.err;
  EXPECT_NE(stores.out.find("MY                 1\n"), std::string::npos) << stores.out;
  EXPECT_NE(stores.out.find("ROOT               1\n"), std::string::npos) << stores.out;

  auto list = store({"list", "MY"});
  ASSERT_EQ(list.status, 0) << list.err;
  auto fp = vtest::runCommand({"openssl", "x509", "-in", userPem, "-noout", "-fingerprint", "-sha1"});
  std::string sha1 = fp.out.substr(fp.out.find('=') + 1);
  sha1.erase(std::remove_if(sha1.begin(), sha1.end(), [](char c) { return c == ':' || c == '\n'; }), sha1.end());
  for (const std::string& line :
       {std::string("  Subject:     CN=Inspected User\n"),
        std::string("  Issuer:      CN=Velmora Test Intermediate, O=Velmora\n"), "  SHA-1:       " + sha1 + "\n",
        std::string("  Friendly:    Inspected User\n"), std::string("provider " MS_ENHANCED_PROV_A ", type 1, key spec 1\n")})
    EXPECT_NE(list.out.find(line), std::string::npos) << line << list.out;

  auto keys = store({"keys"});
  ASSERT_EQ(keys.status, 0) << keys.err;
  EXPECT_NE(keys.out.find("    exchange key, 1024 bits, exportable\n"), std::string::npos) << keys.out;

  const std::string out = pki_->dir() + "/exported.pem";
  auto exported = store({"export", "MY", sha1, "--pem", out});
  ASSERT_EQ(exported.status, 0) << exported.err;
  auto same = vtest::runCommand({"openssl", "x509", "-in", out, "-noout", "-fingerprint", "-sha1"});
  EXPECT_EQ(same.out, fp.out);
  auto der = store({"export", "MY", sha1});
  EXPECT_EQ(der.out, pki_->der(userPem));

  EXPECT_EQ(store({"delete", "MY", sha1}).status, 0);
  EXPECT_TRUE(storeContents("MY").empty());
  EXPECT_EQ(store({"delete", "MY", sha1}).status, 1);
  EXPECT_EQ(store({"export", "MY", "nothex"}).status, 1);
  EXPECT_EQ(store({"frobnicate"}).status, 2);
}

}  // namespace
