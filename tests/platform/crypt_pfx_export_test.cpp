// Writing stores as PFX files: the bytes open in the openssl command
// without -legacy (PBES2 AES-256, SHA-256 MAC) and in our own import, with
// the key whose public half is the certificate's; the size query, the
// short buffer, and the flags that report keys that are missing or may not
// leave.
#include <openssl/evp.h>

#include <ncrypt.h>
#include <wincrypt.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "sign_pki.h"

namespace {

// The key storage provider's key files, so a test can take away the ones it made.
std::set<std::string> cngKeyFiles() {
  const char* x = getenv("XDG_DATA_HOME");
  const std::string dir = (x && *x ? x : std::string(getenv("HOME")) + "/.local/share") + "/velmora/Crypto/Keys";
  std::set<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) out.insert(e.path().string());
  return out;
}

struct PfxExport : ::testing::Test {
  static void SetUpTestSuite() {
    pki = new vtest::SignPki;
    if (!pki->ok()) FAIL() << pki->error();
  }
  static void TearDownTestSuite() {
    delete pki;
    pki = nullptr;
  }
  static vtest::SignPki* pki;

  // The store of <name>.pfx imported with `flags`.
  static HCERTSTORE imported(const std::string& name, DWORD flags) {
    std::string bytes = pki->pfx(name, {"-passout", "pass:in"});
    CRYPT_DATA_BLOB blob = vtest::blobOf(bytes);
    return PFXImportCertStore(&blob, u"in", flags);
  }

  static std::string exported(HCERTSTORE store, const char16_t* password, DWORD flags, DWORD& error) {
    CRYPT_DATA_BLOB blob{0, nullptr};
    SetLastError(0xdeadbeef);
    error = 0;
    if (!PFXExportCertStoreEx(store, &blob, password, nullptr, flags)) {
      error = GetLastError();
      return "";
    }
    std::string out(blob.cbData, '\0');
    blob.pbData = reinterpret_cast<BYTE*>(out.data());
    if (!PFXExportCertStoreEx(store, &blob, password, nullptr, flags)) {
      error = GetLastError();
      return "";
    }
    out.resize(blob.cbData);
    return out;
  }

  static void deleteKeys(HCERTSTORE store) {
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c));) {
      DWORD n = 0;
      if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n)) continue;
      std::vector<BYTE> buf(n);
      auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
      CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, info, &n);
      std::u16string w = info->pwszContainerName;
      std::string name(w.begin(), w.end());
      if (info->dwProvType) {
        HCRYPTPROV prov = 0;
        CryptAcquireContextA(&prov, name.c_str(), nullptr, info->dwProvType, CRYPT_DELETEKEYSET);
      }
    }
    CertCloseStore(store, 0);
  }

  // openssl's dump of the file; the key's public half and the certificate's.
  static bool opensslReads(const std::string& bytes, const std::string& password, std::string& info,
                           std::string& keyPub, std::string& certPub) {
    vtest::writeFile(pki->path("out.pfx"), bytes);
    auto r = vtest::runCommand({"openssl", "pkcs12", "-in", pki->path("out.pfx"), "-info", "-nodes", "-passin",
                                "pass:" + password, "-out", pki->path("out.pem")});
    info = r.out + r.err;
    if (r.status != 0) return false;
    keyPub = vtest::runCommand({"openssl", "pkey", "-in", pki->path("out.pem"), "-pubout"}).out;
    certPub = vtest::runCommand({"openssl", "x509", "-in", pki->path("out.pem"), "-pubkey", "-noout"}).out;
    return true;
  }
};
vtest::SignPki* PfxExport::pki = nullptr;

TEST_F(PfxExport, RsaAndEcKeysOpenInOpensslWithoutLegacy) {
  const std::set<std::string> before = cngKeyFiles();
  for (const char* name : {"rsa", "ec"}) {
    SCOPED_TRACE(name);
    HCERTSTORE store = imported(name, CRYPT_EXPORTABLE);
    ASSERT_NE(store, nullptr) << std::hex << GetLastError();
    DWORD error = 0;
    std::string bytes =
        exported(store, u"n\u00E9w", EXPORT_PRIVATE_KEYS | REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY, error);
    ASSERT_FALSE(bytes.empty()) << std::hex << error;
    std::string info, keyPub, certPub;
    ASSERT_TRUE(opensslReads(bytes, "n\xC3\xA9w", info, keyPub, certPub)) << info;
    EXPECT_NE(info.find("MAC: sha256"), std::string::npos) << info;
    EXPECT_NE(info.find("Shrouded Keybag: PBES2, PBKDF2, AES-256-CBC"), std::string::npos) << info;
    EXPECT_NE(info.find("PKCS7 Encrypted data: PBES2, PBKDF2, AES-256-CBC"), std::string::npos) << info;
    EXPECT_FALSE(keyPub.empty());
    EXPECT_EQ(keyPub, certPub);

    // Our own import reads it back, key and all.
    CRYPT_DATA_BLOB blob = vtest::blobOf(bytes);
    EXPECT_TRUE(PFXVerifyPassword(&blob, u"n\u00E9w", 0));
    EXPECT_FALSE(PFXVerifyPassword(&blob, u"in", 0));
    HCERTSTORE again = PFXImportCertStore(&blob, u"n\u00E9w", 0);
    ASSERT_NE(again, nullptr) << std::hex << GetLastError();
    PCCERT_CONTEXT c = CertEnumCertificatesInStore(again, nullptr);
    ASSERT_NE(c, nullptr);
    DWORD n = 0;
    EXPECT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n));
    CertFreeCertificateContext(c);
    deleteKeys(again);
    deleteKeys(store);
  }
  for (const auto& f : cngKeyFiles())
    if (!before.count(f)) std::filesystem::remove(f);
}

TEST_F(PfxExport, SizeQueryShortBufferAndTheReportingFlags) {
  HCERTSTORE store = imported("rsa", 0);  // not exportable
  ASSERT_NE(store, nullptr);
  CRYPT_DATA_BLOB blob{0, nullptr};
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(PFXExportCertStore(store, &blob, u"pw", EXPORT_PRIVATE_KEYS | REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY_STATE));
  // Without the report flag the certificate goes alone.
  DWORD error = 0;
  std::string bytes = exported(store, u"pw", EXPORT_PRIVATE_KEYS, error);
  ASSERT_FALSE(bytes.empty()) << std::hex << error;
  std::string info, keyPub, certPub;
  ASSERT_TRUE(opensslReads(bytes, "pw", info, keyPub, certPub)) << info;
  EXPECT_EQ(info.find("Shrouded Keybag"), std::string::npos) << info;
  EXPECT_FALSE(certPub.empty());

  // A certificate without any key.
  HCERTSTORE mem = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  const std::string der = pki->der("inter.pem");
  ASSERT_TRUE(CertAddEncodedCertificateToStore(mem, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                               DWORD(der.size()), CERT_STORE_ADD_ALWAYS, nullptr));
  blob = {0, nullptr};
  EXPECT_FALSE(PFXExportCertStore(mem, &blob, u"pw", EXPORT_PRIVATE_KEYS | REPORT_NO_PRIVATE_KEY));
  EXPECT_EQ(GetLastError(), DWORD(NTE_NO_KEY));
  blob = {0, nullptr};
  ASSERT_TRUE(PFXExportCertStore(mem, &blob, u"pw", EXPORT_PRIVATE_KEYS));
  const DWORD size = blob.cbData;
  std::string buf(size, '\0');
  blob = {size - 1, reinterpret_cast<BYTE*>(buf.data())};
  EXPECT_FALSE(PFXExportCertStore(mem, &blob, u"pw", 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(blob.cbData, size);
  blob = {size, reinterpret_cast<BYTE*>(buf.data())};
  EXPECT_TRUE(PFXExportCertStore(mem, &blob, u"pw", 0));
  EXPECT_EQ(blob.cbData, size);
  EXPECT_FALSE(PFXExportCertStore(mem, &blob, u"pw", 0x40000000));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS));
  EXPECT_FALSE(PFXExportCertStore(nullptr, &blob, u"pw", 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  CertCloseStore(mem, 0);
  deleteKeys(store);
}

}  // namespace
