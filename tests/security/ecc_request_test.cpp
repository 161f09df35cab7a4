// Elliptic-curve enrolment: CreateEccPKCS10's requests (checked with the
// openssl command), its key registry entries and key files, the refusals,
// the protection prompt, replacing a key of the same name, installing an
// issued certificate by the key storage provider's path and signing with
// the installed key.
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ncrypt.h>
#include <strabel/strabel.h>
#include <wincrypt.h>
#include <windows.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
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

using Bytes = std::vector<BYTE>;

std::string take(char* p) {
  std::string s = p ? p : "<null>";
  delete[] p;
  return s;
}

std::string oneLine(std::string text) {
  std::erase(text, '\r');
  std::erase(text, '\n');
  return text;
}

Bytes unb64(const std::string& text) {
  strabel::ByteBuffer out;
  if (!strabel::Base64Decode(oneLine(text), out)) return {};
  return Bytes(out.data(), out.data() + out.length());
}

std::string b64(const std::string& bytes) {
  strabel::ByteBuffer out;
  strabel::Base64Encode(bytes.data(), int32_t(bytes.size()), out);
  return out.str();
}

std::string keyFolder() { return vtest::profileDir() + "/home/.local/share/velmora/Crypto/Keys"; }

size_t keyFiles() {
  std::error_code ec;
  size_t n = 0;
  for (auto it = std::filesystem::directory_iterator(keyFolder(), ec); !ec && it != std::filesystem::end(it); ++it)
    ++n;
  return n;
}

struct Entry {
  std::string providerName, dateTime;
  bool hasProviderType = false, hasKeySpec = false;
  Bytes publicKey;
};

std::map<std::string, Entry> keyRegistry() {
  std::map<std::string, Entry> entries;
  HKEY root = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\KAVO\\Strabel", 0, KEY_READ, &root) != ERROR_SUCCESS)
    return entries;
  for (DWORD i = 0;; ++i) {
    char name[400];
    DWORD size = sizeof name;
    if (RegEnumKeyExA(root, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY sub = nullptr;
    RegOpenKeyExA(root, name, 0, KEY_READ, &sub);
    Entry e;
    auto text = [&](const char* value) {
      char buf[300] = {0};
      DWORD n = sizeof buf - 1;
      RegQueryValueExA(sub, value, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &n);
      return std::string(buf, strnlen(buf, n));
    };
    auto present = [&](const char* value) {
      return RegQueryValueExA(sub, value, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    };
    e.providerName = text("ProviderName");
    e.dateTime = text("DateTime");
    e.hasProviderType = present("ProviderType");
    e.hasKeySpec = present("KeySpec");
    DWORD n = 0;
    RegQueryValueExA(sub, "PublicKey", nullptr, nullptr, nullptr, &n);
    e.publicKey.resize(n);
    RegQueryValueExA(sub, "PublicKey", nullptr, nullptr, e.publicKey.data(), &n);
    RegCloseKey(sub);
    entries[name] = e;
  }
  RegCloseKey(root);
  return entries;
}

// The entries added since `before`.
std::map<std::string, Entry> added(const std::map<std::string, Entry>& before) {
  std::map<std::string, Entry> out;
  for (auto& [name, e] : keyRegistry())
    if (!before.count(name)) out[name] = e;
  return out;
}

std::string pemRequest(const std::string& b64text) {
  return "-----BEGIN CERTIFICATE REQUEST-----\r\n" + b64text + "-----END CERTIFICATE REQUEST-----\r\n";
}

// The provider library, as a program other than the component would use it.
struct Cng {
  Cng() : lib(LoadLibraryA(VELMORA_LIB_DIR "/ncrypt.so")) {
    if (!lib) return;
    open = reinterpret_cast<decltype(open)>(reinterpret_cast<void*>(GetProcAddress(lib, "NCryptOpenStorageProvider")));
    openKey = reinterpret_cast<decltype(openKey)>(reinterpret_cast<void*>(GetProcAddress(lib, "NCryptOpenKey")));
    sign = reinterpret_cast<decltype(sign)>(reinterpret_cast<void*>(GetProcAddress(lib, "NCryptSignHash")));
    exportKey = reinterpret_cast<decltype(exportKey)>(reinterpret_cast<void*>(GetProcAddress(lib, "NCryptExportKey")));
    freeObject = reinterpret_cast<decltype(freeObject)>(reinterpret_cast<void*>(GetProcAddress(lib, "NCryptFreeObject")));
    if (open) open(&prov, MS_KEY_STORAGE_PROVIDER, 0);
  }
  ~Cng() {
    if (prov) freeObject(prov);
    if (lib) FreeLibrary(lib);
  }
  Bytes publicBlob(const std::string& name) {
    const std::u16string w(name.begin(), name.end());
    NCRYPT_KEY_HANDLE key = 0;
    if (openKey(prov, &key, w.c_str(), 0, 0) != ERROR_SUCCESS) return {};
    DWORD n = 0;
    exportKey(key, 0, BCRYPT_PUBLIC_KEY_BLOB, nullptr, nullptr, 0, &n, 0);
    Bytes blob(n);
    exportKey(key, 0, BCRYPT_PUBLIC_KEY_BLOB, nullptr, blob.data(), n, &n, 0);
    freeObject(key);
    return blob;
  }
  // The private scalar d of an exportable key.
  Bytes privateScalar(const std::string& name) {
    const std::u16string w(name.begin(), name.end());
    NCRYPT_KEY_HANDLE key = 0;
    if (openKey(prov, &key, w.c_str(), 0, 0) != ERROR_SUCCESS) return {};
    DWORD n = 0;
    Bytes blob;
    if (exportKey(key, 0, BCRYPT_ECCPRIVATE_BLOB, nullptr, nullptr, 0, &n, 0) == ERROR_SUCCESS) {
      blob.resize(n);
      if (exportKey(key, 0, BCRYPT_ECCPRIVATE_BLOB, nullptr, blob.data(), n, &n, 0) != ERROR_SUCCESS) blob.clear();
    }
    freeObject(key);
    if (blob.size() < 8) return {};
    const size_t third = (blob.size() - 8) / 3;
    return Bytes(blob.end() - long(third), blob.end());
  }
  HMODULE lib;
  NCRYPT_PROV_HANDLE prov = 0;
  decltype(&NCryptOpenStorageProvider) open = nullptr;
  decltype(&NCryptOpenKey) openKey = nullptr;
  decltype(&NCryptSignHash) sign = nullptr;
  decltype(&NCryptExportKey) exportKey = nullptr;
  decltype(&NCryptFreeObject) freeObject = nullptr;
};

class EccRequest : public testing::Test {
 protected:
  void SetUp() override {
    strabel::capiCore().m_bIEProtectedMode = 0;
    VTEST_REQUIRE(vtest::runCommand({"openssl", "version"}).status == 0, "openssl command");
    dir_ = vtest::makeTempDir("ecc");
  }
  // `openssl req -verify` on the request; its text form.
  std::string verified(const std::string& csr) {
    vtest::writeFile(dir_ + "/req.pem", pemRequest(csr));
    auto r = vtest::runCommand({"openssl", "req", "-in", dir_ + "/req.pem", "-verify", "-noout", "-text"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("verify OK"), std::string::npos) << r.err;
    return r.out;
  }

  CCAPILib capi;
  std::string dir_;
};

TEST_F(EccRequest, RequestsOnBothCurvesAsOpensslReadsThem) {
  struct Case {
    long flags;
    const char* curve;
    size_t coordinate;
  } cases[] = {{0x101, "prime256v1", 32}, {0x181, "secp384r1", 48}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.curve);
    const auto before = keyRegistry();
    const size_t filesBefore = keyFiles();
    const std::string csr = take(capi.CreateEccPKCS10("Example, Inc.", c.flags));
    ASSERT_EQ(capi.GetErrorCode(), 0) << capi.GetCapiErrorCode();
    EXPECT_EQ(take(capi.GetCsrForSign()), csr);
    EXPECT_EQ(take(capi.GetCsrForEncrypt()), "");

    // Base64 in lines of 64 characters, each ending in CR LF.
    ASSERT_GE(csr.size(), 2u);
    EXPECT_EQ(csr.substr(csr.size() - 2), "\r\n");
    for (size_t at = 0; at < csr.size();) {
      const size_t end = csr.find("\r\n", at);
      ASSERT_NE(end, std::string::npos);
      if (end + 2 < csr.size()) EXPECT_EQ(end - at, 64u) << "line at " << at;
      else EXPECT_LE(end - at, 64u);
      EXPECT_EQ(csr.find('\n', at), end + 1);  // no bare line feeds
      at = end + 2;
    }

    const std::string text = verified(csr);
    EXPECT_NE(text.find("ASN1 OID: " + std::string(c.curve)), std::string::npos) << text;
    EXPECT_NE(text.find("Signature Algorithm: ecdsa-with-SHA256"), std::string::npos) << text;
    EXPECT_NE(text.find("id-ecPublicKey"), std::string::npos) << text;

    // One RDN, one CN value holding the comma.
    Bytes der = unb64(csr);
    const unsigned char* p = der.data();
    std::unique_ptr<X509_REQ, decltype(&X509_REQ_free)> req(d2i_X509_REQ(nullptr, &p, long(der.size())),
                                                            X509_REQ_free);
    ASSERT_TRUE(req);
    auto* subject = X509_REQ_get_subject_name(req.get());
    ASSERT_EQ(X509_NAME_entry_count(subject), 1);
    char cn[64] = {0};
    X509_NAME_get_text_by_NID(subject, NID_commonName, cn, sizeof cn);
    EXPECT_STREQ(cn, "Example, Inc.");
    EXPECT_EQ(X509_REQ_get_version(req.get()), 0);
    EXPECT_EQ(X509_REQ_get_attr_count(req.get()), 0);

    // The registry entry: provider, the public blob of the request's key,
    // the date; no CryptoAPI values. The private key is only in its file.
    auto fresh = added(before);
    ASSERT_EQ(fresh.size(), 1u);
    const auto& [container, e] = *fresh.begin();
    EXPECT_EQ(container.size(), 36u);
    EXPECT_EQ(e.providerName, "Microsoft Software Key Storage Provider");
    EXPECT_FALSE(e.hasProviderType);
    EXPECT_FALSE(e.hasKeySpec);
    EXPECT_EQ(e.dateTime.size(), 19u);
    ASSERT_EQ(e.publicKey.size(), 8 + 2 * c.coordinate);
    EVP_PKEY* pub = X509_REQ_get0_pubkey(req.get());
    unsigned char point[200];
    size_t pointLen = 0;
    ASSERT_EQ(EVP_PKEY_get_octet_string_param(pub, "encoded-pub-key", point, sizeof point, &pointLen), 1);
    ASSERT_EQ(pointLen, 1 + 2 * c.coordinate);
    EXPECT_TRUE(std::equal(point + 1, point + pointLen, e.publicKey.begin() + 8));
    EXPECT_EQ(keyFiles(), filesBefore + 1);
    Cng cng;
    EXPECT_EQ(cng.publicBlob(container), e.publicKey);
    // The private key is in no file of the hive.
    const Bytes d = cng.privateScalar(container);
    ASSERT_EQ(d.size(), c.coordinate);
    const std::string hive = vtest::profileDir() + "/home/.local/share/velmora/hive.sqlite";
    ASSERT_TRUE(std::filesystem::exists(hive));
    for (const std::string& file : {hive, hive + "-wal", hive + "-journal"}) {
      if (!std::filesystem::exists(file)) continue;
      const std::string bytes = vtest::readFile(file);
      EXPECT_EQ(bytes.find(std::string(d.begin(), d.end())), std::string::npos) << file;
    }
  }
}

TEST_F(EccRequest, RefusalsLeaveNoKey) {
  const auto before = keyRegistry();
  const size_t files = keyFiles();
  struct Case {
    const char* cn;
    long flags;
    int status;
  } cases[] = {{"No Curve", 0x001, 5065}, {"No Curve", 0x080, 5065}, {"", 0x101, 5005}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    EXPECT_EQ(take(capi.CreateEccPKCS10(c.cn, c.flags)), "");
    EXPECT_EQ(capi.GetErrorCode(), c.status);
    EXPECT_EQ(take(capi.GetCsrForSign()), "");
  }
  EXPECT_NE(take(capi.GetErrorMsg()).find("(5005)"), std::string::npos);
  strabel::capiCore().m_bIEProtectedMode = 1;
  EXPECT_EQ(take(capi.CreateEccPKCS10("Guarded", 0x101)), "");
  EXPECT_EQ(capi.GetErrorCode(), 1500);
  strabel::capiCore().m_bIEProtectedMode = 0;
  EXPECT_EQ(keyRegistry().size(), before.size());
  EXPECT_EQ(keyFiles(), files);
}

// The component reaches the provider only through the library it loads:
// without it, or with one that lacks the functions, no key is made.
TEST_F(EccRequest, MissingLibraryOrFunctionsFailWith5065) {
  const size_t files = keyFiles();
  struct Case {
    std::string folder;
    DWORD capiError;
  } cases[] = {{vtest::makeTempDir("nosys"), DWORD(ERROR_MOD_NOT_FOUND)},
               {std::string(VELMORA_BUILD_DIR) + "/fixtures/ncrypt-partial", 0xFFFFFFFF}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    setenv("VELMORA_SYSTEM_DIR", c.folder.c_str(), 1);
    EXPECT_EQ(take(capi.CreateEccPKCS10("Nobody", 0x101)), "");
    unsetenv("VELMORA_SYSTEM_DIR");
    EXPECT_EQ(capi.GetErrorCode(), 5065);
    EXPECT_EQ(DWORD(capi.GetCapiErrorCode()), c.capiError);
  }
  EXPECT_EQ(keyFiles(), files);
}

TEST_F(EccRequest, ProtectedKeyAsksAndCancelGives5070) {
  const size_t files = keyFiles();
  const std::string script = dir_ + "/script", log = dir_ + "/log";
  vtest::writeFile(script,
                   "{\"dialog\":\"key-use\",\"button\":\"cancel\"}\n"
                   "{\"dialog\":\"key-use\",\"button\":\"ok\"}\n"
                   "{\"dialog\":\"key-use\",\"button\":\"ok\"}\n");
  velmora::ui::ScopedDialogService scoped(std::make_shared<velmora::ui::ScriptedDialogService>(script, log));
  EXPECT_EQ(take(capi.CreateEccPKCS10("Protected", 0x103)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5070);
  EXPECT_EQ(DWORD(capi.GetCapiErrorCode()), 0x800704C7u);
  EXPECT_EQ(keyFiles(), files);

  // Agreed: the key is made (first prompt) and signs its request (second).
  const std::string csr = take(capi.CreateEccPKCS10("Protected", 0x103));
  ASSERT_EQ(capi.GetErrorCode(), 0) << capi.GetCapiErrorCode();
  verified(csr);
  EXPECT_EQ(keyFiles(), files + 1);
  const std::string shown = vtest::readFile(log);
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = shown.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(shown.substr(at, end - at));
  ASSERT_EQ(lines.size(), 3u) << shown;
  for (int i : {0, 1}) {
    EXPECT_NE(lines[size_t(i)].find("\"title\":\"ECC 金鑰產生\""), std::string::npos) << lines[size_t(i)];
    EXPECT_NE(lines[size_t(i)].find("\"mode\":\"create\""), std::string::npos);
    EXPECT_NE(lines[size_t(i)].find("\"description\":\"Strabel\""), std::string::npos);
  }
  EXPECT_NE(lines[2].find("\"operation\":\"sign\""), std::string::npos) << lines[2];
}

// A key of the container's name is deleted before the new one is made.
TEST_F(EccRequest, SameContainerNameReplacesTheKey) {
  auto& gen = strabel::capiCore().m_eccGenerator;
  const std::string name = "0A1B2C3D-0000-1111-2222-333344445555";
  Cng cng;
  gen.m_nKeyFlags = 0x101;
  ASSERT_EQ(gen.CreateNamed(u"First", name), 0) << gen.m_dwCapiErrorCode;
  const Bytes first = cng.publicBlob(name);
  ASSERT_EQ(first.size(), 72u);
  const size_t files = keyFiles();
  gen.m_nKeyFlags = 0x181;
  ASSERT_EQ(gen.CreateNamed(u"Second", name), 0) << gen.m_dwCapiErrorCode;
  const Bytes second = cng.publicBlob(name);
  EXPECT_EQ(second.size(), 104u);  // now a P-384 key
  EXPECT_EQ(keyFiles(), files);
  EXPECT_EQ(keyRegistry().at(name).publicKey, second);
  // The new request carries the new key.
  Bytes der = unb64(gen.m_strCsr);
  const unsigned char* p = der.data();
  X509_REQ* req = d2i_X509_REQ(nullptr, &p, long(der.size()));
  ASSERT_NE(req, nullptr);
  EXPECT_EQ(EVP_PKEY_get_bits(X509_REQ_get0_pubkey(req)), 384);
  X509_REQ_free(req);
}

vtest::CommandResult storeTool(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {std::string(VELMORA_BIN_DIR) + "/velmora-store"};
  argv.insert(argv.end(), args.begin(), args.end());
  return vtest::runCommand(argv);
}

TEST_F(EccRequest, StoreInspectorListsCngKeys) {
  const auto before = keyRegistry();
  ASSERT_NE(take(capi.CreateEccPKCS10("Listed", 0x181)), "");
  auto fresh = added(before);
  ASSERT_EQ(fresh.size(), 1u);
  auto keys = storeTool({"keys"});
  ASSERT_EQ(keys.status, 0) << keys.err;
  const std::string section = "Microsoft Software Key Storage Provider (CNG):\n";
  ASSERT_NE(keys.out.find(section), std::string::npos) << keys.out;
  EXPECT_NE(keys.out.find("  " + fresh.begin()->first + "\n    ECDSA_P384, 384 bits, exportable\n"),
            std::string::npos)
      << keys.out;
}

// Installing what the authority issued for an EC request: the certificate
// lands in "MY" with the key storage provider's marks, and its key signs.
class EccInstall : public EccRequest {
 protected:
  void SetUp() override {
    EccRequest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    for (const char* name : {"ROOT", "CA", "MY"}) {
      HCERTSTORE store = CertOpenSystemStoreA(0, name);
      for (PCCERT_CONTEXT c; (c = CertEnumCertificatesInStore(store, nullptr));) CertDeleteCertificateFromStore(c);
      CertCloseStore(store, 0);
    }
    pki_ = std::make_unique<vtest::TestPki>();
    ASSERT_TRUE(pki_->ok()) << pki_->error();
    // The root's installation prompt is agreed to.
    scoped_ = std::make_unique<velmora::ui::ScopedDialogService>(
        std::make_shared<velmora::ui::FunctionDialogService>([](const velmora::ui::DialogRequest&) {
          velmora::ui::DialogResult r;
          r.button = "yes";
          return r;
        }));
  }
  std::unique_ptr<vtest::TestPki> pki_;
  std::unique_ptr<velmora::ui::ScopedDialogService> scoped_;
};

TEST_F(EccInstall, IssuedCertificateInstallsAndItsKeySigns) {
  struct Case {
    long flags;
    int coordinate;
  } cases[] = {{0x101, 32}, {0x181, 48}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.flags);
    HCERTSTORE mine = CertOpenSystemStoreA(0, "MY");
    for (PCCERT_CONTEXT old; (old = CertEnumCertificatesInStore(mine, nullptr));) CertDeleteCertificateFromStore(old);
    CertCloseStore(mine, 0);
    const auto before = keyRegistry();
    const std::string csr = take(capi.CreateEccPKCS10("Curve User", k.flags));
    ASSERT_EQ(capi.GetErrorCode(), 0);
    const std::string container = added(before).begin()->first;
    const std::string userPem =
        pki_->issue(pemRequest(csr), "ecuser" + std::to_string(k.coordinate), "0x0E" + std::to_string(k.coordinate));
    ASSERT_FALSE(userPem.empty()) << pki_->error();
    const std::string bundle = b64(pki_->bundle({pki_->root(), pki_->intermediate(), userPem}));
    ASSERT_EQ(capi.AcceptPKCS7(bundle.c_str()), 0) << capi.GetErrorCode() << " " << capi.GetCapiErrorCode();
    EXPECT_NE(strabel::capiCore().m_eccGenerator.myStore, nullptr);  // kept for later installations

    HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
    PCCERT_CONTEXT c = CertEnumCertificatesInStore(my, nullptr);
    ASSERT_NE(c, nullptr);
    DWORD n = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n));
    Bytes buf(n);
    ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n));
    auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
    EXPECT_EQ(strabel::ansiFromWide(info->pwszContainerName), container);
    EXPECT_EQ(strabel::ansiFromWide(info->pwszProvName), "Microsoft Software Key Storage Provider");
    EXPECT_EQ(info->dwProvType, 0u);
    EXPECT_EQ(info->dwKeySpec, 0u);
    EXPECT_FALSE(CertGetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &n));
    EXPECT_EQ(CertEnumCertificatesInStore(my, c), nullptr);  // only the user's certificate
    CertCloseStore(my, 0);

    // The key named by the certificate signs; openssl verifies the signature
    // with the certificate's public key.
    Cng cng;
    ASSERT_TRUE(cng.prov);
    NCRYPT_KEY_HANDLE key = 0;
    ASSERT_EQ(cng.openKey(cng.prov, &key, info->pwszContainerName, 0, 0), ERROR_SUCCESS);
    const std::string data = "signed by the installed EC key";
    BYTE digest[32];
    unsigned int mdLen = 0;
    EVP_Digest(data.data(), data.size(), digest, &mdLen, EVP_sha256(), nullptr);
    Bytes rs(size_t(2 * k.coordinate));
    ASSERT_EQ(cng.sign(key, nullptr, digest, 32, rs.data(), DWORD(rs.size()), &n, 0), ERROR_SUCCESS);
    cng.freeObject(key);
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(rs.data(), k.coordinate, nullptr),
                   BN_bin2bn(rs.data() + k.coordinate, k.coordinate, nullptr));
    unsigned char* sigDer = nullptr;
    const int sigLen = i2d_ECDSA_SIG(sig, &sigDer);
    ECDSA_SIG_free(sig);
    vtest::writeFile(dir_ + "/data", data);
    vtest::writeFile(dir_ + "/sig", std::string(reinterpret_cast<char*>(sigDer), size_t(sigLen)));
    OPENSSL_free(sigDer);
    ASSERT_TRUE(pki_->run({"openssl", "x509", "-in", userPem, "-pubkey", "-noout", "-out", dir_ + "/user.pub"}));
    auto verify = vtest::runCommand(
        {"openssl", "dgst", "-sha256", "-verify", dir_ + "/user.pub", "-signature", dir_ + "/sig", dir_ + "/data"});
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;

    // Again, the certificate alone through AcceptPKCS7Ecc: still one in "MY".
    EXPECT_EQ(capi.AcceptPKCS7Ecc(b64(pki_->der(userPem)).c_str()), 0) << capi.GetErrorCode();
    my = CertOpenSystemStoreA(0, "MY");
    size_t count = 0;
    for (PCCERT_CONTEXT e = nullptr; (e = CertEnumCertificatesInStore(my, e));) ++count;
    CertCloseStore(my, 0);
    EXPECT_EQ(count, 1u);
  }
}

TEST_F(EccInstall, EcCertificateWithoutARegisteredKeyIs5010) {
  ASSERT_TRUE(pki_->run({"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                         "-keyout", dir_ + "/k.pem", "-out", dir_ + "/k.csr", "-subj", "/CN=Stranger"}));
  const std::string pem = pki_->issue(vtest::readFile(dir_ + "/k.csr"), "ecstranger", "0x0E02");
  ASSERT_FALSE(pem.empty()) << pki_->error();
  EXPECT_EQ(capi.AcceptPKCS7(b64(pki_->der(pem)).c_str()), 5010);
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  EXPECT_EQ(CertEnumCertificatesInStore(my, nullptr), nullptr);
  CertCloseStore(my, 0);
}

}  // namespace
