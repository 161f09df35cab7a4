// The CNG key storage provider (ncrypt.so, loaded as its callers load it):
// persisted P-256 and P-384 keys, their blobs and signatures checked with
// OpenSSL, the policies, the protection prompt, the SECURITY_STATUS codes,
// and the certificate functions that take its key handles.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <ncrypt.h>
#include <wincrypt.h>
#include <windows.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"
#include "ui/dialogs.h"

namespace {

using Bytes = std::vector<BYTE>;
const SECURITY_STATUS kCancelled = SECURITY_STATUS(HRESULT_FROM_WIN32(ERROR_CANCELLED));

// The provider's functions, looked up by name as the component does.
struct Cng {
  Cng() {
    lib = LoadLibraryA(VELMORA_LIB_DIR "/ncrypt.so");
    if (!lib) return;
    auto get = [&](const char* n) { return reinterpret_cast<void*>(GetProcAddress(lib, n)); };
    open = reinterpret_cast<decltype(open)>(get("NCryptOpenStorageProvider"));
    openKey = reinterpret_cast<decltype(openKey)>(get("NCryptOpenKey"));
    create = reinterpret_cast<decltype(create)>(get("NCryptCreatePersistedKey"));
    set = reinterpret_cast<decltype(set)>(get("NCryptSetProperty"));
    getProp = reinterpret_cast<decltype(getProp)>(get("NCryptGetProperty"));
    finalize = reinterpret_cast<decltype(finalize)>(get("NCryptFinalizeKey"));
    exportKey = reinterpret_cast<decltype(exportKey)>(get("NCryptExportKey"));
    sign = reinterpret_cast<decltype(sign)>(get("NCryptSignHash"));
    del = reinterpret_cast<decltype(del)>(get("NCryptDeleteKey"));
    freeObject = reinterpret_cast<decltype(freeObject)>(get("NCryptFreeObject"));
    enumKeys = reinterpret_cast<decltype(enumKeys)>(get("NCryptEnumKeys"));
    freeBuffer = reinterpret_cast<decltype(freeBuffer)>(get("NCryptFreeBuffer"));
  }
  ~Cng() {
    if (lib) FreeLibrary(lib);
  }
  HMODULE lib = nullptr;
  decltype(&NCryptOpenStorageProvider) open = nullptr;
  decltype(&NCryptOpenKey) openKey = nullptr;
  decltype(&NCryptCreatePersistedKey) create = nullptr;
  decltype(&NCryptSetProperty) set = nullptr;
  decltype(&NCryptGetProperty) getProp = nullptr;
  decltype(&NCryptFinalizeKey) finalize = nullptr;
  decltype(&NCryptExportKey) exportKey = nullptr;
  decltype(&NCryptSignHash) sign = nullptr;
  decltype(&NCryptDeleteKey) del = nullptr;
  decltype(&NCryptFreeObject) freeObject = nullptr;
  decltype(&NCryptEnumKeys) enumKeys = nullptr;
  decltype(&NCryptFreeBuffer) freeBuffer = nullptr;
};

std::string keyFolder() { return vtest::profileDir() + "/home/.local/share/velmora/Crypto/Keys"; }

size_t keyFiles() {
  std::error_code ec;
  size_t n = 0;
  for (auto it = std::filesystem::directory_iterator(keyFolder(), ec); !ec && it != std::filesystem::end(it); ++it)
    ++n;
  return n;
}

// An OpenSSL public key from a PUBLICBLOB.
EVP_PKEY* publicKeyOf(const Bytes& blob, const char* group) {
  Bytes point{0x04};
  point.insert(point.end(), blob.begin() + 8, blob.end());
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, group, 0);
  OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
  EVP_PKEY* pkey = nullptr;
  if (EVP_PKEY_fromdata_init(ctx) == 1) EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params);
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  return pkey;
}

// Verifies r || s over a digest with OpenSSL.
bool verifies(EVP_PKEY* pkey, const Bytes& digest, const Bytes& rs) {
  const size_t half = rs.size() / 2;
  ECDSA_SIG* sig = ECDSA_SIG_new();
  ECDSA_SIG_set0(sig, BN_bin2bn(rs.data(), int(half), nullptr), BN_bin2bn(rs.data() + half, int(half), nullptr));
  unsigned char* der = nullptr;
  int n = i2d_ECDSA_SIG(sig, &der);
  ECDSA_SIG_free(sig);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
  bool ok = ctx && EVP_PKEY_verify_init(ctx) == 1 && EVP_PKEY_verify(ctx, der, size_t(n), digest.data(), digest.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  OPENSSL_free(der);
  return ok;
}

Bytes sha256(const std::string& data) {
  Bytes md(32);
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), md.data(), &n, EVP_sha256(), nullptr);
  return md;
}

class Ncrypt : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(cng.lib, nullptr) << "ncrypt.so beside the platform library";
    ASSERT_TRUE(cng.open && cng.openKey && cng.create && cng.set && cng.getProp && cng.finalize && cng.exportKey &&
                cng.sign && cng.del && cng.freeObject && cng.enumKeys && cng.freeBuffer);
    ASSERT_EQ(cng.open(&prov, MS_KEY_STORAGE_PROVIDER, 0), ERROR_SUCCESS);
  }
  void TearDown() override {
    if (prov) cng.freeObject(prov);
  }
  // A finalized persisted key.
  NCRYPT_KEY_HANDLE makeKey(const char16_t* name, const char16_t* alg, DWORD exportPolicy = 0, DWORD uiFlags = 0) {
    NCRYPT_KEY_HANDLE key = 0;
    EXPECT_EQ(cng.create(prov, &key, alg, name, 0, 0), ERROR_SUCCESS);
    EXPECT_EQ(cng.set(key, NCRYPT_EXPORT_POLICY_PROPERTY, reinterpret_cast<PBYTE>(&exportPolicy), 4,
                      NCRYPT_PERSIST_FLAG),
              ERROR_SUCCESS);
    if (uiFlags) {
      NCRYPT_UI_POLICY policy{1, uiFlags, u"Making it", u"friendly", u"described"};
      EXPECT_EQ(cng.set(key, NCRYPT_UI_POLICY_PROPERTY, reinterpret_cast<PBYTE>(&policy), sizeof policy,
                        NCRYPT_PERSIST_FLAG),
                ERROR_SUCCESS);
    }
    return key;
  }
  Bytes publicBlob(NCRYPT_KEY_HANDLE key) {
    DWORD n = 0;
    EXPECT_EQ(cng.exportKey(key, 0, BCRYPT_PUBLIC_KEY_BLOB, nullptr, nullptr, 0, &n, 0), ERROR_SUCCESS);
    Bytes blob(n);
    EXPECT_EQ(cng.exportKey(key, 0, BCRYPT_PUBLIC_KEY_BLOB, nullptr, blob.data(), n, &n, 0), ERROR_SUCCESS);
    return blob;
  }

  Cng cng;
  NCRYPT_PROV_HANDLE prov = 0;
};

TEST_F(Ncrypt, PersistedKeysBlobsAndSignaturesOnBothCurves) {
  struct Case {
    const char16_t* alg;
    const char* group;
    ULONG magic;
    DWORD bytes;
  } cases[] = {{NCRYPT_ECDSA_P256_ALGORITHM, "P-256", 0x31534345, 32},
               {NCRYPT_ECDSA_P384_ALGORITHM, "P-384", 0x33534345, 48}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.group);
    const std::u16string name = std::u16string(u"curve-") + c.alg;
    NCRYPT_KEY_HANDLE key = makeKey(name.c_str(), c.alg);
    // Nothing is exported or signed before the key exists.
    DWORD n = 0;
    EXPECT_EQ(cng.exportKey(key, 0, BCRYPT_PUBLIC_KEY_BLOB, nullptr, nullptr, 0, &n, 0), NTE_BAD_KEY_STATE);
    ASSERT_EQ(cng.finalize(key, 0), ERROR_SUCCESS);
    EXPECT_EQ(cng.finalize(key, 0), NTE_BAD_KEY_STATE);

    // PUBLICBLOB: magic, key length, X, Y; the short buffer is refused.
    Bytes blob = publicBlob(key);
    ASSERT_EQ(blob.size(), 8 + 2 * c.bytes);
    ULONG header[2];
    memcpy(header, blob.data(), 8);
    EXPECT_EQ(header[0], c.magic);
    EXPECT_EQ(header[1], c.bytes);
    Bytes small(blob.size() - 1);
    EXPECT_EQ(cng.exportKey(key, 0, BCRYPT_PUBLIC_KEY_BLOB, nullptr, small.data(), DWORD(small.size()), &n, 0),
              NTE_BUFFER_TOO_SMALL);

    // r then s, each as long as the curve, verified by OpenSSL with the
    // exported point, also after opening the key again by name.
    EVP_PKEY* pkey = publicKeyOf(blob, c.group);
    ASSERT_NE(pkey, nullptr);
    const Bytes digest = sha256("signed text");
    DWORD sigLen = 0;
    ASSERT_EQ(cng.sign(key, nullptr, const_cast<BYTE*>(digest.data()), 32, nullptr, 0, &sigLen, 0), ERROR_SUCCESS);
    EXPECT_EQ(sigLen, 2 * c.bytes);
    Bytes sig(sigLen);
    EXPECT_EQ(cng.sign(key, nullptr, const_cast<BYTE*>(digest.data()), 32, sig.data(), sigLen - 1, &sigLen, 0),
              NTE_BUFFER_TOO_SMALL);
    ASSERT_EQ(cng.sign(key, nullptr, const_cast<BYTE*>(digest.data()), 32, sig.data(), DWORD(sig.size()), &sigLen, 0),
              ERROR_SUCCESS);
    EXPECT_TRUE(verifies(pkey, digest, sig));
    cng.freeObject(key);

    NCRYPT_KEY_HANDLE again = 0;
    std::u16string upper = name;
    for (auto& ch : upper)
      if (ch >= u'a' && ch <= u'z') ch = char16_t(ch - 32);
    ASSERT_EQ(cng.openKey(prov, &again, upper.c_str(), 0, 0), ERROR_SUCCESS);  // names ignore case
    EXPECT_EQ(publicBlob(again), blob);
    ASSERT_EQ(cng.sign(again, nullptr, const_cast<BYTE*>(digest.data()), 32, sig.data(), DWORD(sig.size()), &sigLen,
                       0),
              ERROR_SUCCESS);
    EXPECT_TRUE(verifies(pkey, digest, sig));
    EVP_PKEY_free(pkey);

    // Deleting removes the file and frees the handle.
    EXPECT_EQ(cng.del(again, 0), ERROR_SUCCESS);
    EXPECT_EQ(cng.freeObject(again), NTE_INVALID_HANDLE);
    EXPECT_EQ(cng.openKey(prov, &again, name.c_str(), 0, 0), NTE_BAD_KEYSET);
  }
}

TEST_F(Ncrypt, KeyFilesArePrivateToTheUser) {
  const size_t before = keyFiles();
  NCRYPT_KEY_HANDLE key = makeKey(u"private-file", NCRYPT_ECDSA_P256_ALGORITHM);
  EXPECT_EQ(keyFiles(), before);  // nothing is written before the key is made
  ASSERT_EQ(cng.finalize(key, 0), ERROR_SUCCESS);
  ASSERT_EQ(keyFiles(), before + 1);
  struct stat st{};
  ASSERT_EQ(stat(keyFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  for (const auto& e : std::filesystem::directory_iterator(keyFolder())) {
    ASSERT_EQ(stat(e.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << e.path();
  }
  cng.del(key, 0);
  EXPECT_EQ(keyFiles(), before);
}

TEST_F(Ncrypt, StatusCodes) {
  NCRYPT_KEY_HANDLE key = 0;
  NCRYPT_PROV_HANDLE other = 0;
  EXPECT_EQ(cng.open(&other, u"Some Other Provider", 0), NTE_PROV_DLL_NOT_FOUND);
  EXPECT_EQ(cng.openKey(prov, &key, u"no such key", 0, 0), NTE_BAD_KEYSET);
  EXPECT_EQ(cng.openKey(prov, &key, nullptr, 0, 0), NTE_INVALID_PARAMETER);
  EXPECT_EQ(cng.openKey(12345, &key, u"x", 0, 0), NTE_INVALID_HANDLE);
  EXPECT_EQ(cng.create(prov, &key, u"RSA", u"rsa key", 0, 0), NTE_NOT_SUPPORTED);
  EXPECT_EQ(cng.create(prov, &key, NCRYPT_ECDSA_P256_ALGORITHM, u"k", 0, 0x4), NTE_BAD_FLAGS);
  EXPECT_EQ(cng.freeObject(0), NTE_INVALID_HANDLE);

  // An existing name is refused unless the caller asks to overwrite.
  key = makeKey(u"taken", NCRYPT_ECDSA_P256_ALGORITHM);
  ASSERT_EQ(cng.finalize(key, 0), ERROR_SUCCESS);
  const Bytes first = publicBlob(key);
  NCRYPT_KEY_HANDLE second = 0;
  EXPECT_EQ(cng.create(prov, &second, NCRYPT_ECDSA_P256_ALGORITHM, u"TAKEN", 0, 0), NTE_EXISTS);
  ASSERT_EQ(cng.create(prov, &second, NCRYPT_ECDSA_P256_ALGORITHM, u"taken", 0, NCRYPT_OVERWRITE_KEY_FLAG),
            ERROR_SUCCESS);
  ASSERT_EQ(cng.finalize(second, 0), ERROR_SUCCESS);
  NCRYPT_KEY_HANDLE reopened = 0;
  ASSERT_EQ(cng.openKey(prov, &reopened, u"taken", 0, 0), ERROR_SUCCESS);
  EXPECT_NE(publicBlob(reopened), first);
  EXPECT_EQ(publicBlob(reopened), publicBlob(second));

  // Policies are fixed once the key exists; bad values are refused.
  DWORD policy = 3;
  EXPECT_EQ(cng.set(second, NCRYPT_EXPORT_POLICY_PROPERTY, reinterpret_cast<PBYTE>(&policy), 4, 0), NTE_PERM);
  EXPECT_EQ(cng.set(second, NCRYPT_EXPORT_POLICY_PROPERTY, reinterpret_cast<PBYTE>(&policy), 2, 0),
            NTE_INVALID_PARAMETER);
  EXPECT_EQ(cng.set(second, u"No Such Property", reinterpret_cast<PBYTE>(&policy), 4, 0), NTE_NOT_SUPPORTED);
  BYTE digest[32] = {1};
  DWORD n = 0;
  EXPECT_EQ(cng.sign(second, nullptr, digest, 0, nullptr, 0, &n, 0), NTE_INVALID_PARAMETER);
  EXPECT_EQ(cng.exportKey(second, 0, u"NOSUCHBLOB", nullptr, nullptr, 0, &n, 0), NTE_NOT_SUPPORTED);
  for (auto h : {key, second, reopened}) cng.freeObject(h);
  ASSERT_EQ(cng.openKey(prov, &key, u"taken", 0, 0), ERROR_SUCCESS);
  cng.del(key, 0);
}

TEST_F(Ncrypt, ExportPolicyGuardsThePrivateKey) {
  NCRYPT_KEY_HANDLE locked = makeKey(u"locked", NCRYPT_ECDSA_P256_ALGORITHM, 0);
  NCRYPT_KEY_HANDLE open = makeKey(u"open", NCRYPT_ECDSA_P256_ALGORITHM,
                                   NCRYPT_ALLOW_EXPORT_FLAG | NCRYPT_ALLOW_PLAINTEXT_EXPORT_FLAG);
  ASSERT_EQ(cng.finalize(locked, 0), ERROR_SUCCESS);
  ASSERT_EQ(cng.finalize(open, 0), ERROR_SUCCESS);
  DWORD n = 0;
  EXPECT_EQ(cng.exportKey(locked, 0, BCRYPT_ECCPRIVATE_BLOB, nullptr, nullptr, 0, &n, 0), NTE_NOT_SUPPORTED);
  ASSERT_EQ(cng.exportKey(open, 0, BCRYPT_ECCPRIVATE_BLOB, nullptr, nullptr, 0, &n, 0), ERROR_SUCCESS);
  Bytes priv(n);
  ASSERT_EQ(cng.exportKey(open, 0, BCRYPT_ECCPRIVATE_BLOB, nullptr, priv.data(), n, &n, 0), ERROR_SUCCESS);
  ASSERT_EQ(priv.size(), 8u + 3 * 32);
  ULONG magic;
  memcpy(&magic, priv.data(), 4);
  EXPECT_EQ(magic, 0x32534345u);  // "ECS2"
  // The private scalar belongs to the public point.
  const Bytes pub = publicBlob(open);
  EXPECT_TRUE(std::equal(pub.begin() + 8, pub.end(), priv.begin() + 8));
  BIGNUM* d = BN_bin2bn(priv.data() + 8 + 64, 32, nullptr);
  EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1);
  EC_POINT* q = EC_POINT_new(group);
  ASSERT_EQ(EC_POINT_mul(group, q, d, nullptr, nullptr, nullptr), 1);
  Bytes point(65);
  EC_POINT_point2oct(group, q, POINT_CONVERSION_UNCOMPRESSED, point.data(), point.size(), nullptr);
  EXPECT_TRUE(std::equal(point.begin() + 1, point.end(), pub.begin() + 8));
  EC_POINT_free(q);
  EC_GROUP_free(group);
  BN_clear_free(d);
  DWORD value = 0;
  ASSERT_EQ(cng.getProp(locked, NCRYPT_EXPORT_POLICY_PROPERTY, reinterpret_cast<PBYTE>(&value), 4, &n, 0), 0);
  EXPECT_EQ(value, 0u);
  cng.del(locked, 0);
  cng.del(open, 0);
}

TEST_F(Ncrypt, StronglyProtectedKeysAskBeforeEveryUse) {
  std::vector<velmora::ui::DialogRequest> asked;
  std::vector<std::string> answers = {"ok", "ok", "cancel", "cancel"};
  auto service = std::make_shared<velmora::ui::FunctionDialogService>([&](const velmora::ui::DialogRequest& r) {
    asked.push_back(r);
    velmora::ui::DialogResult result;
    result.button = asked.size() <= answers.size() ? answers[asked.size() - 1] : "cancel";
    return result;
  });
  velmora::ui::ScopedDialogService scoped(service);
  NCRYPT_KEY_HANDLE key =
      makeKey(u"guarded", NCRYPT_ECDSA_P256_ALGORITHM, 0, NCRYPT_UI_FORCE_HIGH_PROTECTION_FLAG);
  // Silent callers get no prompt and no key.
  EXPECT_EQ(cng.finalize(key, NCRYPT_SILENT_FLAG), NTE_SILENT_CONTEXT);
  EXPECT_TRUE(asked.empty());
  ASSERT_EQ(cng.finalize(key, 0), ERROR_SUCCESS);  // answer 1: ok
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].kind, velmora::ui::kind::kKeyUse);
  EXPECT_EQ(asked[0].title, "Making it");
  EXPECT_EQ(asked[0].option("mode"), "create");

  BYTE digest[32] = {7};
  Bytes sig(64);
  DWORD n = 0;
  EXPECT_EQ(cng.sign(key, nullptr, digest, 32, sig.data(), 64, &n, 0), ERROR_SUCCESS);  // answer 2: ok
  EXPECT_EQ(cng.sign(key, nullptr, digest, 32, sig.data(), 64, &n, 0), kCancelled);     // answer 3: cancel
  EXPECT_EQ(cng.sign(key, nullptr, digest, 32, sig.data(), 64, &n, NCRYPT_SILENT_FLAG), NTE_SILENT_CONTEXT);
  ASSERT_EQ(asked.size(), 3u);
  EXPECT_EQ(asked[1].option("mode"), "use");
  EXPECT_EQ(asked[1].option("operation"), "sign");
  EXPECT_EQ(asked[1].text("item-name"), "friendly");
  EXPECT_EQ(asked[1].text("description"), "described");
  cng.del(key, 0);

  // A cancelled creation leaves no key behind.
  key = makeKey(u"never", NCRYPT_ECDSA_P384_ALGORITHM, 0, NCRYPT_UI_FORCE_HIGH_PROTECTION_FLAG);
  EXPECT_EQ(cng.finalize(key, 0), kCancelled);  // answer 4: cancel
  cng.freeObject(key);
  EXPECT_EQ(cng.openKey(prov, &key, u"never", 0, 0), NTE_BAD_KEYSET);
}

TEST_F(Ncrypt, EnumeratesTheUsersKeys) {
  for (const char16_t* name : {u"enum-a", u"enum-b"}) {
    NCRYPT_KEY_HANDLE key = makeKey(name, NCRYPT_ECDSA_P384_ALGORITHM);
    ASSERT_EQ(cng.finalize(key, 0), ERROR_SUCCESS);
    cng.freeObject(key);
  }
  std::vector<std::u16string> names;
  void* state = nullptr;
  NCryptKeyName* key = nullptr;
  SECURITY_STATUS rc;
  while ((rc = cng.enumKeys(prov, nullptr, &key, &state, 0)) == ERROR_SUCCESS) {
    names.emplace_back(key->pszName);
    EXPECT_EQ(std::u16string(key->pszAlgid), u"ECDSA_P384");
    EXPECT_EQ(cng.freeBuffer(key), ERROR_SUCCESS);
  }
  EXPECT_EQ(rc, NTE_NO_MORE_ITEMS);
  EXPECT_EQ(cng.freeBuffer(state), ERROR_SUCCESS);
  EXPECT_EQ(cng.freeBuffer(state), NTE_INVALID_PARAMETER);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::u16string>{u"enum-a", u"enum-b"}));
  for (const char16_t* name : {u"enum-a", u"enum-b"}) {
    NCRYPT_KEY_HANDLE h = 0;
    ASSERT_EQ(cng.openKey(prov, &h, name, 0, 0), ERROR_SUCCESS);
    cng.del(h, 0);
  }
}

// The certificate functions take the provider's key handles: the public key
// as id-ecPublicKey on its curve, and requests signed with ECDSA.
TEST_F(Ncrypt, CertificateFunctionsTakeCngKeys) {
  NCRYPT_KEY_HANDLE key = makeKey(u"for-requests", NCRYPT_ECDSA_P384_ALGORITHM);
  ASSERT_EQ(cng.finalize(key, 0), ERROR_SUCCESS);
  constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  DWORD n = 0;
  ASSERT_TRUE(CryptExportPublicKeyInfo(key, CERT_NCRYPT_KEY_SPEC, kEnc, nullptr, &n));
  Bytes buf(n);
  auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buf.data());
  ASSERT_TRUE(CryptExportPublicKeyInfo(key, CERT_NCRYPT_KEY_SPEC, kEnc, info, &n));
  EXPECT_STREQ(info->Algorithm.pszObjId, szOID_ECC_PUBLIC_KEY);
  const Bytes secp384r1 = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22};
  EXPECT_EQ(Bytes(info->Algorithm.Parameters.pbData, info->Algorithm.Parameters.pbData + info->Algorithm.Parameters.cbData),
            secp384r1);
  const Bytes blob = publicBlob(key);
  ASSERT_EQ(info->PublicKey.cbData, 97u);
  EXPECT_EQ(info->PublicKey.pbData[0], 0x04);
  EXPECT_TRUE(std::equal(blob.begin() + 8, blob.end(), info->PublicKey.pbData + 1));

  DWORD nameSize = 0;
  ASSERT_TRUE(CertStrToNameA(X509_ASN_ENCODING, "CN=Request", CERT_X500_NAME_STR, nullptr, nullptr, &nameSize, nullptr));
  Bytes name(nameSize);
  ASSERT_TRUE(CertStrToNameA(X509_ASN_ENCODING, "CN=Request", CERT_X500_NAME_STR, nullptr, name.data(), &nameSize, nullptr));
  CERT_REQUEST_INFO request{};
  request.dwVersion = CERT_REQUEST_V1;
  request.Subject = {nameSize, name.data()};
  request.SubjectPublicKeyInfo = *info;
  CRYPT_ALGORITHM_IDENTIFIER alg{const_cast<char*>(szOID_ECDSA_SHA256), {0, nullptr}};
  DWORD size = 0;
  ASSERT_TRUE(CryptSignAndEncodeCertificate(key, 0, kEnc, X509_CERT_REQUEST_TO_BE_SIGNED, &request, &alg, nullptr,
                                            nullptr, &size));
  Bytes der(size);
  ASSERT_TRUE(CryptSignAndEncodeCertificate(key, 0, kEnc, X509_CERT_REQUEST_TO_BE_SIGNED, &request, &alg, nullptr,
                                            der.data(), &size));
  EXPECT_LE(size, der.size());  // the query gives the longest
  der.resize(size);
  const unsigned char* p = der.data();
  X509_REQ* req = d2i_X509_REQ(nullptr, &p, long(der.size()));
  ASSERT_NE(req, nullptr);
  EXPECT_EQ(p, der.data() + der.size());
  EVP_PKEY* pub = X509_REQ_get0_pubkey(req);
  ASSERT_NE(pub, nullptr);
  EXPECT_EQ(X509_REQ_verify(req, pub), 1);
  EXPECT_EQ(X509_REQ_get_signature_nid(req), NID_ecdsa_with_SHA256);
  X509_REQ_free(req);

  // An RSA signature algorithm does not go with an EC key.
  CRYPT_ALGORITHM_IDENTIFIER rsa{const_cast<char*>(szOID_RSA_SHA256RSA), {0, nullptr}};
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptSignAndEncodeCertificate(key, 0, kEnc, X509_CERT_REQUEST_TO_BE_SIGNED, &request, &rsa, nullptr,
                                             nullptr, &size));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_ALGID));
  cng.del(key, 0);
  // A freed handle is no key.
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptExportPublicKeyInfo(key, CERT_NCRYPT_KEY_SPEC, kEnc, nullptr, &n));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_UID));
}

TEST(NameAndBase64, SemicolonsAloneSeparateAndBase64BreaksLines) {
  DWORD n = 0;
  const char* text = "CN=Example, Inc.; O=Org";
  ASSERT_TRUE(CertStrToNameA(X509_ASN_ENCODING, text, CERT_X500_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG, nullptr,
                             nullptr, &n, nullptr));
  Bytes der(n);
  ASSERT_TRUE(CertStrToNameA(X509_ASN_ENCODING, text, CERT_X500_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG, nullptr,
                             der.data(), &n, nullptr));
  const unsigned char* p = der.data();
  X509_name_st* name = d2i_X509_NAME(nullptr, &p, long(n));
  ASSERT_NE(name, nullptr);
  ASSERT_EQ(X509_NAME_entry_count(name), 2);
  char cn[64] = {0};
  X509_NAME_get_text_by_NID(name, NID_commonName, cn, sizeof cn);
  EXPECT_STREQ(cn, "Example, Inc.");
  X509_NAME_free(name);

  Bytes data(100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = BYTE(i * 7);
  ASSERT_TRUE(CryptBinaryToStringA(data.data(), DWORD(data.size()), CRYPT_STRING_BASE64, nullptr, &n));
  std::string b64(n, '\0');
  ASSERT_TRUE(CryptBinaryToStringA(data.data(), DWORD(data.size()), CRYPT_STRING_BASE64, b64.data(), &n));
  b64.resize(n);
  // 136 characters: 64, 64 and 8, each line ending in CR LF.
  ASSERT_EQ(b64.size(), 136u + 3 * 2);
  EXPECT_EQ(b64.substr(64, 2), "\r\n");
  EXPECT_EQ(b64.substr(130, 2), "\r\n");
  EXPECT_EQ(b64.substr(b64.size() - 2), "\r\n");
}

}  // namespace
