// PKCS #12 files made by the openssl command (AES and legacy ciphers, empty
// password, no MAC, EC keys, CA chains): recognised, password checked and
// imported; the imported keys sign and openssl verifies the signatures; the
// key flags are honoured and no container outlives its deletion.
#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>

#include <ncrypt.h>
#include <wincrypt.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "sign_pki.h"

namespace {

using Bytes = std::vector<BYTE>;
namespace fs = std::filesystem;

std::string dataHome() {
  const char* x = getenv("XDG_DATA_HOME");
  return x && *x ? x : std::string(getenv("HOME")) + "/.local/share";
}

// Key files left in the software provider's and the key storage provider's folders.
size_t keyFilesLeft() {
  size_t n = 0;
  for (const char* sub : {"/velmora/Crypto/RSA", "/velmora/Crypto/Keys"}) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dataHome() + sub, ec))
      if (e.is_regular_file() && e.path().filename().string()[0] != '.') ++n;
  }
  return n;
}

struct Pfx : ::testing::Test {
  static void SetUpTestSuite() {
    pki = new vtest::SignPki;
    if (!pki->ok()) FAIL() << pki->error();
    pki->run({"openssl", "x509", "-in", pki->path("rsa.pem"), "-pubkey", "-noout", "-out", pki->path("rsa.pub")});
    pki->run({"openssl", "x509", "-in", pki->path("ec.pem"), "-pubkey", "-noout", "-out", pki->path("ec.pub")});
  }
  static void TearDownTestSuite() {
    delete pki;
    pki = nullptr;
  }
  static vtest::SignPki* pki;

  // openssl's verdict on a signature of `data` by the key of <name>.pub.
  bool opensslVerifies(const std::string& name, const std::string& data, const Bytes& sig) {
    vtest::writeFile(pki->path("data.bin"), data);
    vtest::writeFile(pki->path("sig.bin"), std::string(sig.begin(), sig.end()));
    return vtest::runCommand({"openssl", "dgst", "-sha256", "-verify", pki->path(name + ".pub"), "-signature",
                              pki->path("sig.bin"), pki->path("data.bin")})
               .status == 0;
  }

  // The key provider information of a certificate, or empty names.
  static std::pair<std::u16string, std::u16string> provInfo(PCCERT_CONTEXT cert, DWORD* type = nullptr) {
    DWORD n = 0;
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n)) return {};
    std::vector<BYTE> buf(n);
    auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, info, &n)) return {};
    if (type) *type = info->dwProvType;
    return {info->pwszContainerName, info->pwszProvName};
  }

  // Signs `data` with the certificate's CSP key (SHA-256, big-endian result).
  static bool cspSign(PCCERT_CONTEXT cert, const std::string& data, Bytes& sig, DWORD& error) {
    HCRYPTPROV prov = 0;
    DWORD spec = 0;
    BOOL release = FALSE;
    error = 0;
    if (!CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &spec, &release)) {
      error = GetLastError();
      return false;
    }
    HCRYPTHASH hash = 0;
    DWORD n = 0;
    bool ok = CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash) &&
              CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size()), 0) &&
              CryptSignHashA(hash, spec, nullptr, 0, nullptr, &n);
    if (ok) {
      sig.resize(n);
      ok = CryptSignHashA(hash, spec, nullptr, 0, sig.data(), &n);
    }
    if (!ok) error = GetLastError();
    std::reverse(sig.begin(), sig.end());
    if (hash) CryptDestroyHash(hash);
    if (release) CryptReleaseContext(prov, 0);
    return ok;
  }

  static void deleteContainer(PCCERT_CONTEXT cert) {
    DWORD type = 0;
    auto [container, provider] = provInfo(cert, &type);
    std::string c(container.begin(), container.end()), p(provider.begin(), provider.end());
    HCRYPTPROV prov = 0;
    EXPECT_TRUE(CryptAcquireContextA(&prov, c.c_str(), p.c_str(), type, CRYPT_DELETEKEYSET)) << std::hex
                                                                                            << GetLastError();
  }

  static PCCERT_CONTEXT withKey(HCERTSTORE store) {
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(store, c)))
      if (!provInfo(c).first.empty()) return c;  // the enumeration's reference is ours
    return nullptr;
  }
};
vtest::SignPki* Pfx::pki = nullptr;

TEST_F(Pfx, FilesOfEveryKindOpenAndTheirKeySigns) {
  struct Case {
    const char* label;
    std::vector<std::string> args;
    const char16_t* password;
  } cases[] = {
      {"AES-256 with a SHA-256 MAC (OpenSSL 3 default)", {"-passout", "pass:s3cret"}, u"s3cret"},
      {"3DES/RC2 with a SHA-1 MAC (-legacy)", {"-legacy", "-passout", "pass:s3cret"}, u"s3cret"},
      {"empty password", {"-passout", "pass:"}, u""},
      {"no MAC", {"-nomac", "-passout", "pass:s3cret"}, u"s3cret"},
      {"no MAC, legacy", {"-nomac", "-legacy", "-passout", "pass:s3cret"}, u"s3cret"},
      {"non-ASCII password", {"-passout", "pass:p\xC3\xA4ss"}, u"p\u00E4ss"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::string bytes = pki->pfx("rsa", c.args);
    ASSERT_FALSE(bytes.empty()) << pki->error();
    CRYPT_DATA_BLOB blob = vtest::blobOf(bytes);
    EXPECT_TRUE(PFXIsPFXBlob(&blob));
    EXPECT_TRUE(PFXVerifyPassword(&blob, c.password, 0)) << std::hex << GetLastError();
    const size_t before = keyFilesLeft();
    HCERTSTORE store = PFXImportCertStore(&blob, c.password, CRYPT_EXPORTABLE);
    ASSERT_NE(store, nullptr) << std::hex << GetLastError();
    PCCERT_CONTEXT cert = withKey(store);
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(keyFilesLeft(), before + 1);
    EXPECT_EQ(provInfo(cert).second, u"Microsoft Enhanced RSA and AES Cryptographic Provider");
    Bytes sig;
    DWORD error = 0;
    ASSERT_TRUE(cspSign(cert, "to be signed", sig, error)) << std::hex << error;
    EXPECT_TRUE(opensslVerifies("rsa", "to be signed", sig));
    deleteContainer(cert);
    EXPECT_EQ(keyFilesLeft(), before);
    CertFreeCertificateContext(cert);
    CertCloseStore(store, 0);
  }
}

TEST_F(Pfx, WrongPasswordAndNonPfxAreToldApart) {
  std::string mac = pki->pfx("rsa", {"-passout", "pass:s3cret"});
  std::string nomac = pki->pfx("rsa", {"-nomac", "-passout", "pass:s3cret"});
  std::string empty = pki->pfx("rsa", {"-passout", "pass:"});
  struct Case {
    const char* label;
    std::string* bytes;
    const char16_t* password;
  } wrong[] = {{"MAC", &mac, u"other"},
               {"MAC, no password", &mac, nullptr},
               {"no MAC", &nomac, u"other"},
               // An empty password and no password are different secrets.
               {"empty-password file, no password", &empty, nullptr}};
  const size_t before = keyFilesLeft();
  for (const auto& c : wrong) {
    SCOPED_TRACE(c.label);
    CRYPT_DATA_BLOB blob = vtest::blobOf(*c.bytes);
    EXPECT_TRUE(PFXIsPFXBlob(&blob));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(PFXVerifyPassword(&blob, c.password, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PASSWORD));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(PFXImportCertStore(&blob, c.password, 0), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PASSWORD));
  }
  EXPECT_EQ(keyFilesLeft(), before);

  std::string cert = pki->der("rsa.pem"), junk = "not a pfx at all", truncated = mac.substr(0, mac.size() / 2);
  for (std::string* bytes : {&cert, &junk, &truncated}) {
    CRYPT_DATA_BLOB blob = vtest::blobOf(*bytes);
    EXPECT_FALSE(PFXIsPFXBlob(&blob));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(PFXImportCertStore(&blob, u"s3cret", 0), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_BAD_ENCODE));
  }
  CRYPT_DATA_BLOB none{0, nullptr};
  EXPECT_FALSE(PFXIsPFXBlob(&none));
}

TEST_F(Pfx, ExportableAndUserProtectedFlagsAreHonoured) {
  const size_t base = keyFilesLeft();
  std::string bytes = pki->pfx("rsa", {"-passout", "pass:pw"});
  CRYPT_DATA_BLOB blob = vtest::blobOf(bytes);
  for (DWORD flags : {DWORD(0), DWORD(CRYPT_EXPORTABLE), DWORD(CRYPT_USER_PROTECTED)}) {
    SCOPED_TRACE(flags);
    HCERTSTORE store = PFXImportCertStore(&blob, u"pw", flags);
    ASSERT_NE(store, nullptr);
    PCCERT_CONTEXT cert = withKey(store);
    ASSERT_NE(cert, nullptr);
    HCRYPTPROV prov = 0;
    DWORD spec = 0;
    BOOL release = FALSE;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &spec, &release));
    EXPECT_EQ(spec, DWORD(AT_KEYEXCHANGE));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, spec, &key));
    DWORD n = 0;
    EXPECT_EQ(bool(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &n)), flags == CRYPT_EXPORTABLE);
    CryptDestroyKey(key);
    if (release) CryptReleaseContext(prov, 0);
    // A protected key asks before it signs; with no dialog service the
    // answer is cancel.
    Bytes sig;
    DWORD error = 0;
    EXPECT_EQ(cspSign(cert, "x", sig, error), flags != CRYPT_USER_PROTECTED);
    if (flags == CRYPT_USER_PROTECTED) {
      EXPECT_EQ(error, DWORD(HRESULT_FROM_WIN32(ERROR_CANCELLED)));
    }
    deleteContainer(cert);
    CertFreeCertificateContext(cert);
    CertCloseStore(store, 0);
  }
  EXPECT_EQ(keyFilesLeft(), base);
}

TEST_F(Pfx, NoPersistKeyLeavesNoContainer) {
  const size_t base = keyFilesLeft();
  std::string bytes = pki->pfx("rsa", {"-passout", "pass:pw"});
  CRYPT_DATA_BLOB blob = vtest::blobOf(bytes);
  HCERTSTORE store = PFXImportCertStore(&blob, u"pw", PKCS12_NO_PERSIST_KEY);
  ASSERT_NE(store, nullptr) << std::hex << GetLastError();
  EXPECT_EQ(keyFilesLeft(), base);
  PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store, nullptr);
  ASSERT_NE(cert, nullptr);
  Bytes sig;
  DWORD error = 0;
  ASSERT_TRUE(cspSign(cert, "kept in memory", sig, error)) << std::hex << error;
  EXPECT_TRUE(opensslVerifies("rsa", "kept in memory", sig));
  CertFreeCertificateContext(cert);
  CertCloseStore(store, 0);
  EXPECT_EQ(keyFilesLeft(), base);
}

TEST_F(Pfx, EcKeyGoesToTheKeyStorageProvider) {
  const size_t base = keyFilesLeft();
  std::string bytes = pki->pfx("ec", {"-passout", "pass:pw"});
  CRYPT_DATA_BLOB blob = vtest::blobOf(bytes);
  HCERTSTORE store = PFXImportCertStore(&blob, u"pw", 0);
  ASSERT_NE(store, nullptr) << std::hex << GetLastError();
  PCCERT_CONTEXT cert = withKey(store);
  ASSERT_NE(cert, nullptr);
  DWORD type = 99;
  auto [container, provider] = provInfo(cert, &type);
  EXPECT_EQ(provider, u"Microsoft Software Key Storage Provider");
  EXPECT_EQ(type, 0u);
  EXPECT_EQ(keyFilesLeft(), base + 1);

  HMODULE lib = LoadLibraryA(VELMORA_LIB_DIR "/ncrypt.so");
  ASSERT_NE(lib, nullptr);
  auto open = reinterpret_cast<decltype(&NCryptOpenStorageProvider)>(
      reinterpret_cast<void*>(GetProcAddress(lib, "NCryptOpenStorageProvider")));
  auto openKey = reinterpret_cast<decltype(&NCryptOpenKey)>(reinterpret_cast<void*>(GetProcAddress(lib, "NCryptOpenKey")));
  auto sign = reinterpret_cast<decltype(&NCryptSignHash)>(reinterpret_cast<void*>(GetProcAddress(lib, "NCryptSignHash")));
  auto del = reinterpret_cast<decltype(&NCryptDeleteKey)>(reinterpret_cast<void*>(GetProcAddress(lib, "NCryptDeleteKey")));
  auto freeObject = reinterpret_cast<decltype(&NCryptFreeObject)>(reinterpret_cast<void*>(GetProcAddress(lib, "NCryptFreeObject")));
  NCRYPT_PROV_HANDLE prov = 0;
  NCRYPT_KEY_HANDLE key = 0;
  ASSERT_EQ(open(&prov, MS_KEY_STORAGE_PROVIDER, 0), 0);
  ASSERT_EQ(openKey(prov, &key, container.c_str(), 0, 0), 0);
  BYTE digest[32];
  unsigned dn = 0;
  const std::string data = "ec data";
  EVP_Digest(data.data(), data.size(), digest, &dn, EVP_sha256(), nullptr);
  BYTE rs[64];
  DWORD n = 0;
  ASSERT_EQ(sign(key, nullptr, digest, 32, rs, sizeof rs, &n, 0), 0);
  ASSERT_EQ(n, 64u);
  ECDSA_SIG* s = ECDSA_SIG_new();
  ECDSA_SIG_set0(s, BN_bin2bn(rs, 32, nullptr), BN_bin2bn(rs + 32, 32, nullptr));
  unsigned char* der = nullptr;
  int len = i2d_ECDSA_SIG(s, &der);
  Bytes sig(der, der + len);
  OPENSSL_free(der);
  ECDSA_SIG_free(s);
  EXPECT_TRUE(opensslVerifies("ec", data, sig));
  EXPECT_EQ(del(key, 0), 0);  // frees the handle
  freeObject(prov);
  FreeLibrary(lib);
  EXPECT_EQ(keyFilesLeft(), base);
  CertFreeCertificateContext(cert);
  CertCloseStore(store, 0);
}

TEST_F(Pfx, CaChainComesAlongWithoutKeys) {
  const size_t base = keyFilesLeft();
  vtest::writeFile(pki->path("cas.pem"), vtest::readFile(pki->path("inter.pem")) + vtest::readFile(pki->path("root.pem")));
  std::string bytes = pki->pfx("rsa", {"-certfile", pki->path("cas.pem"),
                                       "-name", "My signer", "-passout", "pass:pw"});
  CRYPT_DATA_BLOB blob = vtest::blobOf(bytes);
  HCERTSTORE store = PFXImportCertStore(&blob, u"pw", 0);
  ASSERT_NE(store, nullptr);
  int count = 0, withKeys = 0;
  PCCERT_CONTEXT c = nullptr;
  while ((c = CertEnumCertificatesInStore(store, c))) {
    ++count;
    if (provInfo(c).first.empty()) continue;
    ++withKeys;
    char name[64];
    EXPECT_GT(CertGetNameStringA(c, CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, name, sizeof name), 1u);
    EXPECT_STREQ(name, "My signer");
    deleteContainer(c);
  }
  EXPECT_EQ(count, 3);
  EXPECT_EQ(withKeys, 1);
  EXPECT_EQ(keyFilesLeft(), base);
  CertCloseStore(store, 0);
}

}  // namespace

namespace {

// Damaged files (cut short, bytes flipped) fail with a code, never a crash,
// and leave no key behind.
TEST_F(Pfx, DamagedFilesFailCleanly) {
  for (const auto& args : {std::vector<std::string>{"-passout", "pass:pw"},
                           std::vector<std::string>{"-legacy", "-passout", "pass:pw"}}) {
    const std::string good = pki->pfx("rsa", args);
    ASSERT_FALSE(good.empty());
    const size_t before = keyFilesLeft();
    std::vector<std::string> damaged;
    for (size_t cut = 0; cut < good.size(); cut += 61) damaged.push_back(good.substr(0, cut));
    for (size_t at = 0; at < good.size(); at += 37) {
      std::string d = good;
      d[at] = char(d[at] ^ (1 << (at % 8)));
      damaged.push_back(d);
    }
    int opened = 0;
    for (auto& d : damaged) {
      CRYPT_DATA_BLOB blob = vtest::blobOf(d);
      PFXIsPFXBlob(&blob);
      PFXVerifyPassword(&blob, u"pw", 0);
      SetLastError(0);
      HCERTSTORE store = PFXImportCertStore(&blob, u"pw", 0);
      if (!store) {
        EXPECT_NE(GetLastError(), 0u);
        continue;
      }
      ++opened;  // a flip in a part the MAC does not cover (the MAC's own salt, say) may still open
      PCCERT_CONTEXT c = nullptr;
      while ((c = CertEnumCertificatesInStore(store, c)))
        if (!provInfo(c).first.empty()) deleteContainer(c);
      CertCloseStore(store, 0);
    }
    EXPECT_LT(opened, int(damaged.size()) / 4);
    EXPECT_EQ(keyFilesLeft(), before);
  }
}

}  // namespace
