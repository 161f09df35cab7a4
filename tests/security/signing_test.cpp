// Signing with the chosen signer, checked by the openssl command: PKCS #1
// over CSP and CNG keys with every flag, PKCS #7 SignedData over a store
// RSA key, an EC (CNG) key and a PFX signer; the PFX loader; the failures.
#include "signer_pki.h"  // OpenSSL before wincrypt.h (X509_NAME)

#include <openssl/ecdsa.h>
#include <strabel/strabel.h>
#include <sys/stat.h>
#include <wincrypt.h>
#include <windows.h>

#include <algorithm>
#include <dirent.h>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "certs/encoding.h"
#include "certs/pfx_store.h"
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

std::string fromB64(const std::string& text) {
  strabel::ByteBuffer b;
  if (!strabel::Base64Decode(text, b)) return "";
  return std::string(reinterpret_cast<const char*>(b.data()), size_t(b.length()));
}

std::string fromHex(const std::string& text) {
  strabel::ByteBuffer b;
  if (!strabel::HexDecode(text, b)) return "";
  return std::string(reinterpret_cast<const char*>(b.data()), size_t(b.length()));
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

void addTo(const char* name, const std::string& der) {
  HCERTSTORE store = CertOpenSystemStoreA(0, name);
  CertAddEncodedCertificateToStore(store, kEnc, reinterpret_cast<const BYTE*>(der.data()), DWORD(der.size()),
                                   CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  CertCloseStore(store, 0);
}

std::string dataHome() {
  const char* x = getenv("XDG_DATA_HOME");
  return x && *x ? x : std::string(getenv("HOME")) + "/.local/share";
}

int filesIn(const std::string& dir) {
  int n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
       ++it)
    n += it->path().filename().string()[0] != '.';  // lock files stay
  return n;
}

// r || s (big-endian halves) as a DER ECDSA-Sig-Value.
std::string ecdsaDer(const std::string& raw) {
  const size_t half = raw.size() / 2;
  ECDSA_SIG* sig = ECDSA_SIG_new();
  ECDSA_SIG_set0(sig, BN_bin2bn(reinterpret_cast<const unsigned char*>(raw.data()), int(half), nullptr),
                 BN_bin2bn(reinterpret_cast<const unsigned char*>(raw.data() + half), int(half), nullptr));
  unsigned char* der = nullptr;
  const int n = i2d_ECDSA_SIG(sig, &der);
  std::string out(reinterpret_cast<char*>(der), size_t(n > 0 ? n : 0));
  OPENSSL_free(der);
  ECDSA_SIG_free(sig);
  return out;
}

class Signing : public testing::Test {
 protected:
  static void SetUpTestSuite() { pki_ = new vtest::SignerPki; }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
  }

  void SetUp() override {
    VTEST_REQUIRE(vtest::runCommand({"openssl", "version"}).status == 0, "openssl command");
    strabel::capiCore().m_bIEProtectedMode = 0;
    strabel::capiCore().ResetSigner();
    for (const char* s : {"MY", "CA", "ROOT"}) clearStore(s);
    dir_ = vtest::makeTempDir("sign");
    vtest::writeFile(dir_ + "/root.pem", vtest::SignerPki::pem(pki_->rootDer()));
    service_ = std::make_shared<velmora::ui::FunctionDialogService>([this](const velmora::ui::DialogRequest& r) {
      requests_.push_back(r);
      velmora::ui::DialogResult result;
      result.button = r.kind == "root-install" ? "yes" : confirm_;
      return result;
    });
    scoped_ = std::make_unique<velmora::ui::ScopedDialogService>(service_);
  }

  // A key made by the component (CSP RSA or CNG EC) with its certificate
  // installed in "MY"; the certificate's PEM file.
  std::string installed(bool ec, const std::string& cn, const std::string& serial) {
    const std::string csr = ec ? take(capi.CreateEccPKCS10(cn.c_str(), 0x101))
                               : take(capi.CreatePKCS10(cn.c_str(), 2048, 1));
    if (csr.empty()) return "";
    EVP_PKEY* key = vtest::SignerPki::requestKey(fromB64(csr));
    if (!key) return "";
    vtest::CertSpec spec;
    spec.subject = {{"CN", cn}};
    spec.serialHex = serial;
    const std::string der = pki_->make(spec, key);
    EVP_PKEY_free(key);
    strabel::ByteBuffer b64;
    strabel::Base64Encode(der.data(), int32_t(der.size()), b64);
    if (capi.AcceptPKCS7(b64.c_str()) != 0) return "";
    const std::string pem = dir_ + "/" + cn + ".pem";
    vtest::writeFile(pem, vtest::SignerPki::pem(der));
    return pem;
  }

  bool run(const std::vector<std::string>& argv, std::string* out = nullptr) {
    auto r = vtest::runCommand(argv);
    if (out) *out = r.out;
    if (r.status != 0) ADD_FAILURE() << argv[0] << " " << argv[1] << ": " << r.err << r.out;
    return r.status == 0;
  }

  // openssl dgst verifies a raw signature over `data` with the certificate's key.
  bool verifyRaw(const std::string& certPem, const std::string& data, const std::string& sig, const char* md) {
    vtest::writeFile(dir_ + "/data", data);
    vtest::writeFile(dir_ + "/sig", sig);
    std::string pub;
    if (!run({"openssl", "x509", "-in", certPem, "-pubkey", "-noout", "-out", dir_ + "/pub.pem"})) return false;
    return run({"openssl", "dgst", md, "-verify", dir_ + "/pub.pem", "-signature", dir_ + "/sig", dir_ + "/data"});
  }

  // openssl cms verifies the SignedData and gives back the content.
  bool verifyCms(const std::string& der, const std::string& data, bool detached, const std::string& signerPem,
                 std::string* printed = nullptr) {
    vtest::writeFile(dir_ + "/p7.der", der);
    vtest::writeFile(dir_ + "/content", data);
    std::vector<std::string> argv = {"openssl", "cms",     "-verify", "-inform", "DER", "-in", dir_ + "/p7.der",
                                     "-CAfile", dir_ + "/root.pem", "-purpose", "any", "-binary", "-out",
                                     dir_ + "/out"};
    if (detached) argv.insert(argv.end(), {"-content", dir_ + "/content"});
    if (!signerPem.empty()) argv.insert(argv.end(), {"-certfile", signerPem});
    if (!run(argv)) return false;
    if (printed && !run({"openssl", "cms", "-cmsout", "-print", "-inform", "DER", "-in", dir_ + "/p7.der"}, printed))
      return false;
    return vtest::readFile(dir_ + "/out") == data;
  }

  static vtest::SignerPki* pki_;
  CCAPILib capi;
  std::string dir_;
  std::string confirm_ = "ok";
  std::shared_ptr<velmora::ui::FunctionDialogService> service_;
  std::unique_ptr<velmora::ui::ScopedDialogService> scoped_;
  std::vector<velmora::ui::DialogRequest> requests_;
};

vtest::SignerPki* Signing::pki_ = nullptr;

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = 0; (p = text.find(what, p)) != std::string::npos; p += what.size()) ++n;
  return n;
}

TEST_F(Signing, Pkcs1OverACspKeyWithEveryFlag) {
  const std::string pem = installed(false, "Rsa Signer", "0101");
  ASSERT_FALSE(pem.empty());
  ASSERT_EQ(capi.SelectSigner("S_CN=Rsa Signer", 0x100, 0x80), 0);
  const std::string text = "Sign this, please";
  struct {
    long flags;
    bool base64, ansi, sha1, providerOrder;
  } cases[] = {{0, false, false, false, false},      {0x800, false, true, false, false},
               {0x100, true, false, false, false},   {0x1000, false, false, true, false},
               {0x4000, false, false, false, true},  {0x1900, true, true, true, false}};
  for (const auto& c : cases) {
    const std::string out = take(capi.SignPkcs1(text.c_str(), c.flags));
    ASSERT_EQ(capi.GetErrorCode(), 0) << std::hex << c.flags << " " << capi.GetCapiErrorCode();
    std::string sig = c.base64 ? fromB64(out) : fromHex(out);
    ASSERT_EQ(sig.size(), 256u) << std::hex << c.flags;
    if (!c.base64) {
      EXPECT_EQ(out.size(), 512u);
      EXPECT_EQ(out.find_first_not_of("0123456789ABCDEF"), std::string::npos) << out;
    }
    if (c.providerOrder) std::reverse(sig.begin(), sig.end());
    EXPECT_TRUE(verifyRaw(pem, c.ansi ? text : utf16le(text), sig, c.sha1 ? "-sha1" : "-sha256"))
        << std::hex << c.flags;
  }
  EXPECT_TRUE(requests_.empty() || requests_.front().kind != "sign-confirm");
}

TEST_F(Signing, Pkcs1OverAnEcKey) {
  const std::string pem = installed(true, "Ec Signer", "0202");
  ASSERT_FALSE(pem.empty());
  ASSERT_EQ(capi.SelectSigner("S_CN=Ec Signer", 0x100, 0), 0);
  const std::string out = take(capi.SignPkcs1("ec text", 0));
  ASSERT_EQ(capi.GetErrorCode(), 0) << capi.GetCapiErrorCode();
  std::string raw = fromHex(out);
  ASSERT_EQ(raw.size(), 64u);
  std::reverse(raw.begin(), raw.end());  // the default reversal applies to CNG output as well
  EXPECT_TRUE(verifyRaw(pem, utf16le("ec text"), ecdsaDer(raw), "-sha256"));
  raw = fromHex(take(capi.SignPkcs1("ec text", 0x4000 | 0x1000)));
  EXPECT_TRUE(verifyRaw(pem, utf16le("ec text"), ecdsaDer(raw), "-sha1"));
}

TEST_F(Signing, Pkcs7FlagCombinationsOverStoreKeys) {
  addTo("ROOT", pki_->rootDer());
  const std::string rsa = installed(false, "Rsa Seven", "0303");
  const std::string ec = installed(true, "Ec Seven", "0404");
  ASSERT_FALSE(rsa.empty());
  ASSERT_FALSE(ec.empty());
  const std::string text = "PKCS 7 content";
  const long combos[] = {0, 0x100, 0x200, 0x400, 0x800, 0x1000, 0x2000, 0x400 | 0x2000 | 0x1000, 0x100 | 0x800 | 0x400,
                         0x200 | 0x2000};
  for (const auto& [cn, pem] : {std::pair{"Rsa Seven", rsa}, std::pair{"Ec Seven", ec}}) {
    ASSERT_EQ(capi.SelectSigner((std::string("S_CN=") + cn).c_str(), 0x100, 0), 0);
    for (long f : combos) {
      const std::string der = fromB64(take(capi.SignPkcs7(text.c_str(), f)));
      EXPECT_EQ(capi.GetErrorCode(), 0) << cn << std::hex << " " << f << " " << capi.GetCapiErrorCode();
      if (der.empty()) continue;
      std::string printed;
      EXPECT_TRUE(verifyCms(der, (f & 0x800) ? text : utf16le(text), f & 0x400, (f & 0x100) ? pem : "", &printed))
          << cn << std::hex << " " << f;
      EXPECT_EQ(count(printed, "signingTime"), (f & 0x2000) ? 1u : 0u) << cn << std::hex << " " << f;
      if (!(f & 0x2000)) {
        const size_t at = printed.find("signedAttrs:");
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(printed.compare(printed.find_first_not_of(" \n", at + 12), 8, "<ABSENT>"), 0) << printed;
      }
      const size_t certs = count(printed, "cert_info:");
      EXPECT_EQ(certs, (f & 0x100) ? 0u : (f & 0x200) ? 2u : 1u) << cn << std::hex << " " << f;
      EXPECT_EQ(count(printed, (f & 0x1000) ? "sha1" : "sha256") > 0, true) << printed;
    }
  }
}

TEST_F(Signing, WithoutSignerCancelledAndConfirmed) {
  EXPECT_EQ(take(capi.SignPkcs1("x", 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5067);
  EXPECT_EQ(take(capi.SignPkcs7("x", 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5067);
  EXPECT_EQ(take(capi.SignPkcs7("", 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5005);

  ASSERT_FALSE(installed(false, "Confirm Me", "0505").empty());
  ASSERT_EQ(capi.SelectSigner("S_CN=Confirm Me", 0x100, 0), 0);
  confirm_ = "cancel";
  EXPECT_EQ(take(capi.SignPkcs7("the text", 0x8000)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5070);
  ASSERT_FALSE(requests_.empty());
  const auto& r = requests_.back();
  EXPECT_EQ(r.kind, "sign-confirm");
  EXPECT_EQ(r.title, "Signed with this Certificate");
  std::map<std::string, std::string> fields;
  for (const auto& f : r.fields) fields[f.name] = f.value;
  EXPECT_EQ(fields["text"], "the text");
  EXPECT_EQ(fields["serial"], "0505");
  EXPECT_EQ(fields["common-name"], "Confirm Me");
  EXPECT_EQ(fields["not-before"], take(capi.GetCertNotBefore()));
  confirm_ = "ok";
  EXPECT_FALSE(take(capi.SignPkcs1("the text", 0x8000)).empty());
  EXPECT_EQ(capi.GetErrorCode(), 0);

  // The certificate left the store after selection.
  clearStore("MY");
  EXPECT_EQ(take(capi.SignPkcs1("the text", 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5067);
}

// ---- PFX files ----

class PfxSigning : public Signing {
 protected:
  // A PFX made by openssl pkcs12 for a fresh key and certificate.
  std::string makePfx(const std::string& name, const std::string& password, const std::vector<std::string>& extra,
                      bool ec = false) {
    EVP_PKEY* key = ec ? EVP_EC_gen("P-256") : EVP_RSA_gen(2048);
    vtest::CertSpec spec;
    spec.subject = {{"CN", "Pfx " + name}};
    spec.serialHex = "0606";
    const std::string der = pki_->make(spec, key);
    vtest::writeFile(dir_ + "/" + name + ".key", vtest::SignerPki::privatePem(key));
    vtest::writeFile(dir_ + "/" + name + ".crt", vtest::SignerPki::pem(der));
    EVP_PKEY_free(key);
    std::vector<std::string> argv = {"openssl", "pkcs12", "-export", "-inkey", dir_ + "/" + name + ".key",
                                     "-in", dir_ + "/" + name + ".crt", "-out", dir_ + "/" + name + ".pfx",
                                     "-passout", "pass:" + password};
    argv.insert(argv.end(), extra.begin(), extra.end());
    if (!run(argv)) return "";
    return dir_ + "/" + name + ".pfx";
  }
  int keyFiles() { return filesIn(dataHome() + "/velmora/Crypto/RSA") + filesIn(dataHome() + "/velmora/Crypto/Keys"); }
};

TEST_F(PfxSigning, LoaderOpensEveryKindAndToldFailuresApart) {
  struct {
    const char* name;
    const char* made;
    std::vector<std::string> extra;
    const char* given;
    int status;
  } cases[] = {{"aes", "secret", {}, "secret", 0},
               {"legacy", "secret", {"-legacy"}, "secret", 0},
               {"empty", "", {}, "", 0},
               {"nomac", "secret", {"-nomac"}, "secret", 0},
               {"wrong", "secret", {}, "other", 5208},
               {"legacywrong", "secret", {"-legacy"}, "", 5208}};
  const int before = keyFiles();
  for (const auto& c : cases) {
    const std::string path = makePfx(c.name, c.made, c.extra);
    ASSERT_FALSE(path.empty());
    strabel::PfxStore pfx;
    EXPECT_EQ(pfx.Open(path, c.given, strabel::kPfxExportable), c.status) << c.name;
    if (c.status == 0) {
      PCCERT_CONTEXT cert = CertEnumCertificatesInStore(pfx.store, nullptr);
      EXPECT_NE(cert, nullptr) << c.name;
      if (cert) CertFreeCertificateContext(cert);
    } else {
      EXPECT_NE(pfx.lastError, 0u) << c.name;
    }
  }
  EXPECT_EQ(keyFiles(), before);  // closing took the imported keys away

  vtest::writeFile(dir_ + "/not.pfx", "plainly not a PFX file");
  strabel::PfxStore pfx;
  EXPECT_EQ(pfx.Open(dir_ + "/not.pfx", "x", 0), 5207);
  EXPECT_EQ(pfx.Open(dir_ + "/missing.pfx", "x", 0), 5401);
  EXPECT_EQ(pfx.Open("", "x", 0), 5005);

  EXPECT_EQ(strabel::PfxFilePath("/", "a.pfx"), "/a.pfx");
  EXPECT_EQ(strabel::PfxFilePath("/tmp", "a.pfx"), "/tmp/a.pfx");
  EXPECT_EQ(strabel::PfxFilePath("/tmp/", "a.pfx"), "/tmp//a.pfx");
}

TEST_F(PfxSigning, SignerFromAFileSignsAndLeavesNoKeyBehind) {
  addTo("ROOT", pki_->rootDer());
  const int before = keyFiles();
  for (bool ec : {false, true}) {
    const std::string name = ec ? "ecfile" : "rsafile";
    const std::string path = makePfx(name, "1234", {}, ec);
    ASSERT_FALSE(path.empty());
    ASSERT_EQ(capi.SelectSignerEx("", dir_.c_str(), (name + ".pfx").c_str(), "1234", "", 0x200, 0x80), 0)
        << capi.GetErrorCode();
    EXPECT_EQ(take(capi.GetSignerPfxFilePath()), dir_);
    EXPECT_EQ(take(capi.GetSignerPfxFileName()), name + ".pfx");
    EXPECT_EQ(take(capi.GetCertSubjectCN()), "Pfx " + name);
    EXPECT_EQ(keyFiles(), before);
    const std::string text = "from a file";
    for (long f : {0L, 0x400L | 0x2000L, 0x200L}) {
      const std::string der = fromB64(take(capi.SignPkcs7(text.c_str(), f)));
      ASSERT_EQ(capi.GetErrorCode(), 0) << name << std::hex << f << " " << capi.GetCapiErrorCode();
      EXPECT_TRUE(verifyCms(der, utf16le(text), f & 0x400, "")) << name;
    }
    std::string sig = fromHex(take(capi.SignPkcs1(text.c_str(), 0)));
    ASSERT_EQ(capi.GetErrorCode(), 0);
    // The default order is PKCS #1's for RSA; CNG's r || s comes reversed.
    if (ec) std::reverse(sig.begin(), sig.end());
    EXPECT_TRUE(verifyRaw(dir_ + "/" + name + ".crt", utf16le(text), ec ? ecdsaDer(sig) : sig, "-sha256")) << name;
    EXPECT_EQ(keyFiles(), before);
  }
  EXPECT_TRUE(requests_.empty() || requests_.back().kind == "root-install");

  // The file moves away after selection.
  std::filesystem::rename(dir_ + "/rsafile.pfx", dir_ + "/moved.pfx");
  ASSERT_EQ(capi.SelectSignerEx("", dir_.c_str(), "moved.pfx", "1234", "", 0x200, 0), 0);
  std::filesystem::rename(dir_ + "/moved.pfx", dir_ + "/gone.pfx");
  EXPECT_EQ(take(capi.SignPkcs7("x", 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 1102);
}

TEST_F(PfxSigning, DialogAsksForTheFileAndItsFailuresEndTheCall) {
  const std::string path = makePfx("asked", "pw", {});
  ASSERT_FALSE(path.empty());
  // Wrong password through the dialog; then the right one.
  auto answer = [&](const std::string& password) {
    return std::make_shared<velmora::ui::FunctionDialogService>([&, password](const velmora::ui::DialogRequest& r) {
      requests_.push_back(r);
      velmora::ui::DialogResult res;
      res.button = "ok";
      res.fields = {{"folder", dir_}, {"name", "asked.pfx"}, {"password", password}};
      return res;
    });
  };
  {
    velmora::ui::ScopedDialogService s(answer("bad"));
    EXPECT_EQ(capi.SelectSigner("", 0x200, 0), 5208);
    EXPECT_EQ(take(capi.GetCertB64()), "");
  }
  {
    velmora::ui::ScopedDialogService s(answer("pw"));
    EXPECT_EQ(capi.SelectSigner("", 0x200, 0), 0);
    EXPECT_EQ(take(capi.GetSignerPfxFileName()), "asked.pfx");
    EXPECT_EQ(capi.SelectSigner("S_CN=Nobody", 0x200, 0), 5010);
  }
  const auto& r = requests_.back();
  EXPECT_EQ(r.kind, "pfx-file");
  EXPECT_EQ(r.title, "Certificate File information");
  EXPECT_EQ(r.resourceId, 202);
  // SelectSignerEx with a named file and no password: the dialog comes
  // pre-filled; a given password is locked in it.
  requests_.clear();
  confirm_ = "cancel";
  EXPECT_EQ(capi.SelectSignerEx("", dir_.c_str(), "asked.pfx", "", "", 0x100, 0), 5070);
  ASSERT_EQ(requests_.size(), 1u);
  for (const auto& f : requests_[0].fields) {
    if (f.name == "folder") {
      EXPECT_EQ(f.value, dir_);
    } else if (f.name == "name") {
      EXPECT_EQ(f.value, "asked.pfx");
    } else if (f.name == "password") {
      EXPECT_FALSE(f.readOnly);
    }
  }
  requests_.clear();
  EXPECT_EQ(capi.SelectSignerEx2("", dir_.c_str(), "asked.pfx", 0, "", 0x200, 0), 5070);  // always asks
  ASSERT_EQ(requests_.size(), 1u);
  EXPECT_EQ(requests_[0].kind, "pfx-file");
}

}  // namespace
