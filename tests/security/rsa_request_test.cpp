// RSA key generation and PKCS #10 requests: the exact request, the key
// registry entries, the flags, the provider choice and the refusals.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <strabel/strabel.h>
#include <wincrypt.h>
#include <windows.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "certs/encoding.h"
#include "frame/engines.h"
#include "registry/hive.h"
#include "test_support.h"
#include "ui/dialogs.h"

namespace {

using Bytes = std::vector<BYTE>;

std::string take(char* p) {
  std::string s = p ? p : "<null>";
  delete[] p;
  return s;
}

Bytes unb64(const std::string& text) {
  strabel::ByteBuffer out;
  if (!strabel::Base64Decode(text, out)) return {};
  return Bytes(out.data(), out.data() + out.length());
}

std::string keyFolder() { return vtest::profileDir() + "/home/.local/share/velmora/Crypto/RSA"; }

size_t keyFiles() {
  std::error_code ec;
  size_t n = 0;
  for (auto it = std::filesystem::directory_iterator(keyFolder(), ec); !ec && it != std::filesystem::end(it); ++it)
    ++n;
  return n;
}

struct RegistryEntry {
  std::string providerName, dateTime;
  DWORD providerType = 0, keySpec = 0;
  Bytes publicKey;
};

std::map<std::string, RegistryEntry> keyRegistry() {
  std::map<std::string, RegistryEntry> entries;
  HKEY root = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\KAVO\\Strabel", 0, KEY_READ, &root) != ERROR_SUCCESS)
    return entries;
  for (DWORD i = 0;; ++i) {
    char name[400];
    DWORD size = sizeof name;
    if (RegEnumKeyExA(root, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY sub = nullptr;
    RegOpenKeyExA(root, name, 0, KEY_READ, &sub);
    RegistryEntry e;
    auto text = [&](const char* value) {
      char buf[300] = {0};
      DWORD n = sizeof buf - 1, type = 0;
      RegQueryValueExA(sub, value, nullptr, &type, reinterpret_cast<BYTE*>(buf), &n);
      return std::string(buf, strnlen(buf, n));
    };
    auto number = [&](const char* value) {
      DWORD v = 0, n = sizeof v;
      RegQueryValueExA(sub, value, nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &n);
      return v;
    };
    e.providerName = text("ProviderName");
    e.dateTime = text("DateTime");
    e.providerType = number("ProviderType");
    e.keySpec = number("KeySpec");
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

// The request's modulus, least significant byte first (as in a PUBLICKEYBLOB).
Bytes requestModulusLe(X509_REQ* req) {
  EVP_PKEY* key = X509_REQ_get0_pubkey(req);
  BIGNUM* n = nullptr;
  if (!key || EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) != 1) return {};
  Bytes out(size_t(BN_num_bytes(n)));
  BN_bn2lebinpad(n, out.data(), int(out.size()));
  BN_free(n);
  return out;
}

struct Request {
  explicit Request(const std::string& b64) {
    Bytes der = unb64(b64);
    const unsigned char* p = der.data();
    req.reset(d2i_X509_REQ(nullptr, &p, long(der.size())));
  }
  std::unique_ptr<X509_REQ, decltype(&X509_REQ_free)> req{nullptr, X509_REQ_free};
};

bool opensslVerifies(const std::string& b64, std::string& text) {
  const std::string file = vtest::makeTempDir("csr") + "/req.pem";
  std::string pem = "-----BEGIN CERTIFICATE REQUEST-----\n";
  for (size_t i = 0; i < b64.size(); i += 64) pem += b64.substr(i, 64) + "\n";
  pem += "-----END CERTIFICATE REQUEST-----\n";
  vtest::writeFile(file, pem);
  auto r = vtest::runCommand({"openssl", "req", "-in", file, "-verify", "-noout", "-text"});
  text = r.out + r.err;
  return r.status == 0 && text.find("verify OK") != std::string::npos;
}

// Opens a key's container and tries to export its private key.
DWORD privateExport(const std::string& container, Bytes* blob = nullptr) {
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextA(&prov, container.c_str(), MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_SILENT))
    return GetLastError();
  HCRYPTKEY key = 0;
  DWORD error = 0;
  DWORD spec = keyRegistry()[container].keySpec;
  if (!CryptGetUserKey(prov, spec, &key)) {
    error = GetLastError();
  } else {
    DWORD n = 0;
    Bytes out;
    if (!CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &n)) {
      error = GetLastError();
    } else {
      out.resize(n);
      if (!CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, out.data(), &n)) error = GetLastError();
      if (blob) *blob = out;
    }
    CryptDestroyKey(key);
  }
  CryptReleaseContext(prov, 0);
  return error;
}

std::set<std::string> newNames(const std::map<std::string, RegistryEntry>& before,
                               const std::map<std::string, RegistryEntry>& after) {
  std::set<std::string> names;
  for (const auto& [name, e] : after)
    if (!before.count(name)) names.insert(name);
  return names;
}

class RsaRequest : public testing::Test {
 protected:
  void SetUp() override {
    strabel::capiCore().m_bIEProtectedMode = 0;
    ASSERT_EQ(capi.SetProviderName(MS_ENHANCED_PROV_A), 0);
  }
  CCAPILib capi;
};

TEST_F(RsaRequest, RequestIsExactlyTheOneDescribedAndItsKeyIsRegistered) {
  VTEST_REQUIRE(vtest::runCommand({"openssl", "version"}).status == 0, "openssl command");
  auto before = keyRegistry();
  const std::string csr = take(capi.CreatePKCS10("Test User 王", 2048, 1));
  ASSERT_EQ(capi.GetErrorCode(), 0) << take(capi.GetErrorMsg());
  EXPECT_EQ(csr.find_first_of("\r\n-"), std::string::npos);  // one line, no armour
  EXPECT_EQ(take(capi.GetCsrForSign()), csr);
  EXPECT_EQ(take(capi.GetCsrForEncrypt()), "");

  std::string text;
  EXPECT_TRUE(opensslVerifies(csr, text)) << text;
  Request r(csr);
  ASSERT_TRUE(r.req);
  EXPECT_EQ(X509_REQ_get_version(r.req.get()), 0);
  EXPECT_EQ(X509_REQ_get_attr_count(r.req.get()), 0);
  EXPECT_EQ(X509_REQ_get_signature_nid(r.req.get()), NID_sha256WithRSAEncryption);
  auto* subject = X509_REQ_get_subject_name(r.req.get());
  ASSERT_EQ(X509_NAME_entry_count(subject), 1);
  X509_NAME_ENTRY* entry = X509_NAME_get_entry(subject, 0);
  EXPECT_EQ(OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)), NID_commonName);
  ASN1_STRING* value = X509_NAME_ENTRY_get_data(entry);
  EXPECT_EQ(ASN1_STRING_type(value), V_ASN1_BMPSTRING);
  unsigned char* utf8 = nullptr;
  int n = ASN1_STRING_to_UTF8(&utf8, value);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(utf8), size_t(n > 0 ? n : 0)), "Test User 王");
  OPENSSL_free(utf8);

  auto added = newNames(before, keyRegistry());
  ASSERT_EQ(added.size(), 1u);
  const std::string container = *added.begin();
  EXPECT_EQ(container.size(), 36u);
  EXPECT_EQ(container[8], '-');
  EXPECT_EQ(container.find_first_not_of("0123456789ABCDEF-"), std::string::npos);
  RegistryEntry e = keyRegistry()[container];
  EXPECT_EQ(e.providerName, MS_ENHANCED_PROV_A);
  EXPECT_EQ(e.providerType, 1u);
  EXPECT_EQ(e.keySpec, 1u);
  EXPECT_EQ(e.dateTime.size(), 19u);
  ASSERT_EQ(e.publicKey.size(), 8u + 12 + 256);
  EXPECT_EQ(e.publicKey[0], PUBLICKEYBLOB);
  EXPECT_EQ(Bytes(e.publicKey.begin() + 20, e.publicKey.end()), requestModulusLe(r.req.get()));

  // The private key lives in the container file only: never in the hive.
  Bytes priv;
  ASSERT_EQ(privateExport(container, &priv), 0u);  // flags 1: exportable
  const Bytes privateExponent(priv.end() - 256, priv.end());
  const std::string hive = vtest::readFile(velmora::platform::hivePath());
  EXPECT_EQ(std::search(hive.begin(), hive.end(), privateExponent.begin(), privateExponent.end()), hive.end());
  struct stat st{};
  ASSERT_EQ(stat(keyFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(RsaRequest, PairMakesTwoKeysWithOneDateTime) {
  VTEST_REQUIRE(vtest::runCommand({"openssl", "version"}).status == 0, "openssl command");
  auto before = keyRegistry();
  ASSERT_EQ(capi.CreatePKCS10Pair("Pair User", 1024, 0), 0) << take(capi.GetErrorMsg());
  const std::string forSign = take(capi.GetCsrForSign()), forEncrypt = take(capi.GetCsrForEncrypt());
  std::string text;
  EXPECT_TRUE(opensslVerifies(forSign, text)) << text;
  EXPECT_TRUE(opensslVerifies(forEncrypt, text)) << text;
  Request sign(forSign), encrypt(forEncrypt);
  ASSERT_TRUE(sign.req && encrypt.req);
  EXPECT_NE(requestModulusLe(sign.req.get()), requestModulusLe(encrypt.req.get()));

  auto after = keyRegistry();
  auto added = newNames(before, after);
  ASSERT_EQ(added.size(), 2u);
  std::map<DWORD, RegistryEntry> bySpec;
  for (const auto& name : added) bySpec[after[name].keySpec] = after[name];
  ASSERT_EQ(bySpec.size(), 2u);
  EXPECT_EQ(bySpec[2].dateTime, bySpec[1].dateTime);
  EXPECT_EQ(bySpec[2].publicKey[5], 0x24);  // CALG_RSA_SIGN
  EXPECT_EQ(bySpec[1].publicKey[5], 0xa4);  // CALG_RSA_KEYX
  EXPECT_EQ(Bytes(bySpec[2].publicKey.begin() + 20, bySpec[2].publicKey.end()), requestModulusLe(sign.req.get()));
  EXPECT_EQ(Bytes(bySpec[1].publicKey.begin() + 20, bySpec[1].publicKey.end()), requestModulusLe(encrypt.req.get()));
}

TEST_F(RsaRequest, FlagsAreNormalised) {
  int prompts = 0;
  auto service = std::make_shared<velmora::ui::FunctionDialogService>([&](const velmora::ui::DialogRequest&) {
    ++prompts;
    velmora::ui::DialogResult r;
    r.button = "ok";
    return r;
  });
  velmora::ui::ScopedDialogService scoped(service);
  struct Case {
    long flags;
    DWORD exportError;  // of PRIVATEKEYBLOB
    int prompts;        // creating the key and signing the request
  } cases[] = {
      {0, DWORD(NTE_BAD_KEY_STATE), 0}, {1, 0, 0}, {7, 0, 0}, {-3, 0, 0}, {4, 0, 0},
      {2, DWORD(NTE_BAD_KEY_STATE), 2}, {3, DWORD(NTE_SILENT_CONTEXT), 2},
  };
  for (const auto& c : cases) {
    prompts = 0;
    auto before = keyRegistry();
    ASSERT_NE(take(capi.CreatePKCS10("Flags", 1024, c.flags)), "") << c.flags;
    EXPECT_EQ(prompts, c.prompts) << c.flags;
    auto added = newNames(before, keyRegistry());
    ASSERT_EQ(added.size(), 1u);
    // A user-protected key asks before every use, so the silent export is refused.
    EXPECT_EQ(privateExport(*added.begin()), c.exportError) << c.flags;
  }
}

TEST_F(RsaRequest, RefusalsLeaveNoKeyBehind) {
  const size_t files = keyFiles();
  const auto before = keyRegistry();
  struct Case {
    const char* cn;
    long bits;
    int status;
  } cases[] = {{"x", 3072, 5301}, {"x", 512, 5301}, {"x", 0, 5301}, {"", 2048, 5005}};
  for (const auto& c : cases) {
    EXPECT_EQ(take(capi.CreatePKCS10(c.cn, c.bits, 1)), "") << c.bits;
    EXPECT_EQ(capi.GetErrorCode(), c.status) << c.bits;
    EXPECT_EQ(capi.CreatePKCS10Pair(c.cn, c.bits, 1), c.status) << c.bits;
    EXPECT_EQ(take(capi.GetCsrForSign()), "");
  }
  EXPECT_EQ(keyFiles(), files);
  EXPECT_EQ(keyRegistry().size(), before.size());
  // A refused length does not spoil the next call.
  EXPECT_NE(take(capi.CreatePKCS10("x", 2048, 1)), "");
  EXPECT_EQ(capi.GetErrorCode(), 0);

  strabel::capiCore().m_bIEProtectedMode = 1;
  EXPECT_EQ(take(capi.CreatePKCS10("x", 1024, 1)), "");
  EXPECT_EQ(capi.GetErrorCode(), 1500);
  EXPECT_EQ(capi.SetProviderName(""), 5005);  // the empty name is refused before the guard
  EXPECT_EQ(capi.SetProviderName(MS_DEF_PROV_A), 1500);
  strabel::capiCore().m_bIEProtectedMode = 0;
}

TEST_F(RsaRequest, ProviderNames) {
  auto& gen = strabel::capiCore().m_rsaGenerator;
  EXPECT_EQ(capi.SetProviderName(MS_ENH_RSA_AES_PROV_A), 0);
  EXPECT_EQ(gen.m_strProviderName, MS_ENHANCED_PROV_A);
  EXPECT_EQ(gen.m_nProviderType, 1);
  EXPECT_EQ(capi.SetProviderName(MS_DEF_PROV_A), 0);
  EXPECT_EQ(gen.m_strProviderName, MS_DEF_PROV_A);
  EXPECT_EQ(capi.SetProviderName("Vendor Smart Card CSP"), 5046);
  EXPECT_EQ(take(capi.GetErrorMsg()), "CSP Name Error: unspecified or is not installed(5046)");
  EXPECT_EQ(gen.m_strProviderName, MS_DEF_PROV_A);  // the previous one stays
  EXPECT_EQ(capi.SetProviderName("microsoft base cryptographic provider v1.0"), 5046);  // exact names only

  auto before = keyRegistry();
  EXPECT_NE(take(capi.CreatePKCS10("Base", 1024, 1)), "");
  auto added = newNames(before, keyRegistry());
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(keyRegistry()[*added.begin()].providerName, MS_DEF_PROV_A);
}

TEST_F(RsaRequest, ReachableThroughTheBridge) {
  auto r = vtest::runCommand({std::string(VELMORA_BIN_DIR) + "/velmora-call", "SetProviderName(\"nope\")",
                              "capi_CreatePKCS10(\"Bridge\",1024,1)", "capi_GetErrorCode()",
                              "capi_CreatePKCS10(\"Bridge\",3072,1)", "capi_GetErrorCode()"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines;
  for (size_t p = 0, q; (q = r.out.find('\n', p)) != std::string::npos; p = q + 1) lines.push_back(r.out.substr(p, q - p));
  ASSERT_EQ(lines.size(), 5u) << r.out;
  EXPECT_EQ(lines[0], "5046");
  EXPECT_GT(lines[1].size(), 300u);
  EXPECT_EQ(lines[2], "0");
  EXPECT_EQ(lines[3], "\"\"");
  EXPECT_EQ(lines[4], "5301");
}

}  // namespace
