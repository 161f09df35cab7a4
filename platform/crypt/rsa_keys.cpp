// RSA keys of the software providers: generation into a container (or a
// verify-only context), the user's keys, the Windows key blobs, protection
// prompts, and PKCS #1 v1.5 signatures.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "base/private_files.h"
#include "crypt/crypt_internal.h"
#include "crypt/token_internal.h"
#include "ui/dialogs.h"

namespace velmora::crypt {

namespace {

using velmora::platform::wipeString;

constexpr DWORD kMagicPublic = 0x31415352;   // "RSA1"
constexpr DWORD kMagicPrivate = 0x32415352;  // "RSA2"
constexpr DWORD kMinBits = 384;
const DWORD kCancelled = DWORD(HRESULT_FROM_WIN32(ERROR_CANCELLED));

DWORD specOf(ALG_ID alg) {
  if (alg == AT_KEYEXCHANGE || alg == CALG_RSA_KEYX) return AT_KEYEXCHANGE;
  if (alg == AT_SIGNATURE || alg == CALG_RSA_SIGN) return AT_SIGNATURE;
  return 0;
}

ALG_ID algOfSpec(DWORD spec) { return spec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX; }

struct Bn {
  BIGNUM* p = nullptr;
  ~Bn() { BN_clear_free(p); }
};

bool getBn(EVP_PKEY* pkey, const char* name, Bn& out) { return EVP_PKEY_get_bn_param(pkey, name, &out.p) == 1; }

// Appends `bn` little-endian, padded to `width` bytes.
bool putLe(std::vector<BYTE>& blob, const BIGNUM* bn, size_t width) {
  size_t at = blob.size();
  blob.resize(at + width);
  return BN_bn2lebinpad(bn, blob.data() + at, int(width)) == int(width);
}

std::string toPkcs8(EVP_PKEY* pkey) {
  std::string der;
  PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(pkey);
  if (!p8) return der;
  unsigned char* buf = nullptr;
  int n = i2d_PKCS8_PRIV_KEY_INFO(p8, &buf);
  if (n > 0) {
    der.assign(reinterpret_cast<char*>(buf), size_t(n));
    OPENSSL_clear_free(buf, size_t(n));
  }
  PKCS8_PRIV_KEY_INFO_free(p8);
  return der;
}

EVP_PKEY* fromPkcs8(const std::string& der) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  PKCS8_PRIV_KEY_INFO* p8 = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, long(der.size()));
  if (!p8) return nullptr;
  EVP_PKEY* pkey = EVP_PKCS82PKEY_ex(p8, libctx(), nullptr);
  PKCS8_PRIV_KEY_INFO_free(p8);
  return pkey;
}

// Stores `key` as the container's key of `spec`, replacing one there.
DWORD storeKey(const ProvContext& prov, DWORD spec, const std::shared_ptr<RsaMaterial>& key) {
  if (prov.verifyOnly) {
    const_cast<ProvContext&>(prov).verifyKeys[spec] = key;
    return 0;
  }
  ContainerWriteLock lock;
  ContainerRecord record;
  if (DWORD rc = loadContainer(prov.container, record)) return rc;
  auto stored = std::make_unique<StoredKey>();
  stored->alg = key->alg;
  stored->exportable = key->exportable;
  stored->userProtected = key->userProtected;
  stored->pkcs8 = toPkcs8(key->pkey);
  if (stored->pkcs8.empty()) return DWORD(NTE_FAIL);
  (spec == AT_SIGNATURE ? record.signature : record.exchange) = std::move(stored);
  return saveContainer(record);
}

HCRYPTKEY addRsaKey(const std::shared_ptr<ProvContext>& prov, const std::shared_ptr<RsaMaterial>& material,
                    DWORD spec) {
  auto key = std::make_shared<CryptKey>();
  key->prov = prov;
  key->alg = material->alg;
  key->rsa = material;
  key->keySpec = spec;
  key->permissions = CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_READ | CRYPT_WRITE | CRYPT_MAC;
  if (material->exportable) key->permissions |= CRYPT_EXPORT;
  return keys().add(std::move(key));
}

BOOL genSessionKey(const std::shared_ptr<ProvContext>& prov, ALG_ID alg, DWORD dwFlags, HCRYPTKEY* phKey) {
  auto key = std::make_shared<CryptKey>();
  key->prov = prov;
  key->alg = alg;
  key->key.bytes.resize(symmetricKeyLength(alg));
  if (RAND_priv_bytes_ex(libctx(), key->key.bytes.data(), key->key.bytes.size(), 0) != 1) return fail(NTE_FAIL);
  if (!(dwFlags & CRYPT_EXPORTABLE)) key->permissions &= ~DWORD(CRYPT_EXPORT);
  if (!setUpSymmetricKey(*key)) return fail(NTE_FAIL);
  *phKey = keys().add(std::move(key));
  return TRUE;
}

}  // namespace

RsaMaterial::~RsaMaterial() { EVP_PKEY_free(pkey); }

namespace {

// Keys read from their container files, kept while the file stays the same
// (same inode, size and modification time): reading, unsealing and parsing
// a key, and OpenSSL's first-use set-up of it, cost several times one
// signature. Bounded; guarded by its own lock (jobs sign on other threads).
struct CachedKey {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{};
  std::shared_ptr<RsaMaterial> material;
};

std::mutex& keyCacheLock() {
  static auto* m = new std::mutex;
  return *m;
}

std::map<std::pair<std::string, DWORD>, CachedKey>& keyCache() {
  static auto* cache = new std::map<std::pair<std::string, DWORD>, CachedKey>;
  return *cache;
}

constexpr size_t kKeyCacheSize = 32;

bool sameFile(const CachedKey& c, const struct stat& st) {
  return c.dev == st.st_dev && c.ino == st.st_ino && c.size == st.st_size && c.mtime.tv_sec == st.st_mtim.tv_sec &&
         c.mtime.tv_nsec == st.st_mtim.tv_nsec;
}

}  // namespace

// Reads the key of `spec` from the context's container file.
std::shared_ptr<RsaMaterial> loadUserKey(const ProvContext& prov, DWORD spec, DWORD& error);

std::shared_ptr<RsaMaterial> userKey(const ProvContext& prov, DWORD spec, DWORD& error) {
  if (prov.token) return tokenUserKey(prov, spec, error);
  error = 0;
  if (spec != AT_KEYEXCHANGE && spec != AT_SIGNATURE) {
    error = DWORD(NTE_BAD_KEY);
    return nullptr;
  }
  if (prov.verifyOnly) {
    if (!prov.verifyKeys[spec]) error = DWORD(NTE_NO_KEY);
    return prov.verifyKeys[spec];
  }
  const std::string path = velmora::platform::keyFileInUse(containerFile(prov.container));
  struct stat before {};
  const bool stated = stat(path.c_str(), &before) == 0 && S_ISREG(before.st_mode);
  if (stated) {
    std::lock_guard lock(keyCacheLock());
    auto it = keyCache().find({path, spec});
    if (it != keyCache().end() && sameFile(it->second, before)) return it->second.material;
  }
  auto material = loadUserKey(prov, spec, error);
  // Cached only when the file did not change while it was read.
  struct stat after {};
  if (material && stated && stat(path.c_str(), &after) == 0 && after.st_ino == before.st_ino &&
      after.st_size == before.st_size && after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
      after.st_mtim.tv_nsec == before.st_mtim.tv_nsec) {
    std::lock_guard lock(keyCacheLock());
    auto& cache = keyCache();
    if (cache.size() >= kKeyCacheSize) cache.clear();
    cache[{path, spec}] = CachedKey{before.st_dev, before.st_ino, before.st_size, before.st_mtim, material};
  }
  return material;
}

std::shared_ptr<RsaMaterial> loadUserKey(const ProvContext& prov, DWORD spec, DWORD& error) {
  ContainerRecord record;
  if ((error = loadContainer(prov.container, record)) != 0) return nullptr;
  const StoredKey* stored = spec == AT_SIGNATURE ? record.signature.get() : record.exchange.get();
  std::string pkcs8;
  if ((error = storedKeyPkcs8(record, spec, pkcs8)) != 0) return nullptr;
  auto material = std::make_shared<RsaMaterial>();
  material->pkey = fromPkcs8(pkcs8);
  wipeString(pkcs8);
  if (!material->pkey) {
    error = DWORD(NTE_KEYSET_ENTRY_BAD);
    return nullptr;
  }
  material->alg = stored->alg;
  material->hasPrivate = true;
  material->exportable = stored->exportable;
  material->userProtected = stored->userProtected;
  return material;
}

DWORD confirmKeyUse(const ProvContext& prov, const RsaMaterial& key, const char* operation, bool creating) {
  if (!key.userProtected) return 0;
  if (prov.silent) return DWORD(NTE_SILENT_CONTEXT);
  velmora::ui::KeyUseParams params;
  params.creating = creating;
  params.operation = operation;
  return velmora::ui::keyUseDialog(params) ? 0 : kCancelled;
}

bool rsaSignDigest(EVP_PKEY* pkey, const std::string& digest, const BYTE* hash, size_t n, std::vector<BYTE>& sig) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(libctx(), pkey, nullptr);
  EVP_MD* md = digest.empty() ? nullptr : EVP_MD_fetch(libctx(), digest.c_str(), nullptr);
  size_t len = 0;
  bool ok = ctx && (digest.empty() || md) && EVP_PKEY_sign_init(ctx) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
            (!md || EVP_PKEY_CTX_set_signature_md(ctx, md) == 1) && EVP_PKEY_sign(ctx, nullptr, &len, hash, n) == 1;
  if (ok) {
    sig.resize(len);
    ok = EVP_PKEY_sign(ctx, sig.data(), &len, hash, n) == 1;
    sig.resize(len);
  }
  EVP_MD_free(md);
  EVP_PKEY_CTX_free(ctx);
  return ok;
}

bool rsaPublicDer(EVP_PKEY* pkey, std::vector<BYTE>& der) {
  unsigned char* buf = nullptr;
  int n = i2d_PublicKey(pkey, &buf);
  if (n <= 0) return false;
  der.assign(buf, buf + n);
  OPENSSL_free(buf);
  return true;
}

bool rsaPublicBlob(EVP_PKEY* pkey, ALG_ID alg, std::vector<BYTE>& blob) {
  Bn n, e;
  if (!getBn(pkey, OSSL_PKEY_PARAM_RSA_N, n) || !getBn(pkey, OSSL_PKEY_PARAM_RSA_E, e)) return false;
  const DWORD bits = DWORD(BN_num_bits(n.p));
  if (BN_num_bits(e.p) > 32) return false;
  BLOBHEADER header{PUBLICKEYBLOB, CUR_BLOB_VERSION, 0, alg};
  RSAPUBKEY rsa{kMagicPublic, bits, DWORD(BN_get_word(e.p))};
  blob.resize(sizeof header + sizeof rsa);
  memcpy(blob.data(), &header, sizeof header);
  memcpy(blob.data() + sizeof header, &rsa, sizeof rsa);
  return putLe(blob, n.p, (bits + 7) / 8);
}

namespace {

bool rsaPrivateBlob(EVP_PKEY* pkey, ALG_ID alg, std::vector<BYTE>& blob) {
  Bn n, e, d, p, q, dp, dq, qi;
  if (!getBn(pkey, OSSL_PKEY_PARAM_RSA_N, n) || !getBn(pkey, OSSL_PKEY_PARAM_RSA_E, e) ||
      !getBn(pkey, OSSL_PKEY_PARAM_RSA_D, d) || !getBn(pkey, OSSL_PKEY_PARAM_RSA_FACTOR1, p) ||
      !getBn(pkey, OSSL_PKEY_PARAM_RSA_FACTOR2, q) || !getBn(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT1, dp) ||
      !getBn(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT2, dq) || !getBn(pkey, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qi))
    return false;
  const DWORD bits = DWORD(BN_num_bits(n.p));
  if (BN_num_bits(e.p) > 32) return false;
  const size_t full = (bits + 7) / 8, half = (bits + 15) / 16;
  BLOBHEADER header{PRIVATEKEYBLOB, CUR_BLOB_VERSION, 0, alg};
  RSAPUBKEY rsa{kMagicPrivate, bits, DWORD(BN_get_word(e.p))};
  blob.resize(sizeof header + sizeof rsa);
  memcpy(blob.data(), &header, sizeof header);
  memcpy(blob.data() + sizeof header, &rsa, sizeof rsa);
  return putLe(blob, n.p, full) && putLe(blob, p.p, half) && putLe(blob, q.p, half) && putLe(blob, dp.p, half) &&
         putLe(blob, dq.p, half) && putLe(blob, qi.p, half) && putLe(blob, d.p, full);
}

EVP_PKEY* rsaFromBlob(const BYTE* blob, DWORD size, bool privateBlob, DWORD& error) {
  error = DWORD(NTE_BAD_DATA);
  if (size < sizeof(BLOBHEADER) + sizeof(RSAPUBKEY)) return nullptr;
  RSAPUBKEY rsa;
  memcpy(&rsa, blob + sizeof(BLOBHEADER), sizeof rsa);
  if (rsa.magic != (privateBlob ? kMagicPrivate : kMagicPublic)) return nullptr;
  if (rsa.bitlen < kMinBits || rsa.bitlen > 16384 || rsa.pubexp == 0) return nullptr;
  const size_t full = (rsa.bitlen + 7) / 8, half = (rsa.bitlen + 15) / 16;
  const size_t need = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + (privateBlob ? 2 * full + 5 * half : full);
  if (size < need) return nullptr;
  const BYTE* p = blob + sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
  auto take = [&p](size_t width) {
    BIGNUM* bn = BN_lebin2bn(p, int(width), nullptr);
    p += width;
    return bn;
  };
  Bn n, e, d, f1, f2, e1, e2, c;
  n.p = take(full);
  e.p = BN_new();
  if (e.p) BN_set_word(e.p, rsa.pubexp);
  if (privateBlob) {
    f1.p = take(half);
    f2.p = take(half);
    e1.p = take(half);
    e2.p = take(half);
    c.p = take(half);
    d.p = take(full);
  }
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  bool ok = bld && n.p && e.p && OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n.p) &&
            OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e.p);
  if (ok && privateBlob)
    ok = d.p && f1.p && f2.p && e1.p && e2.p && c.p && OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_D, d.p) &&
         OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR1, f1.p) &&
         OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR2, f2.p) &&
         OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT1, e1.p) &&
         OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT2, e2.p) &&
         OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, c.p);
  OSSL_PARAM* params = ok ? OSSL_PARAM_BLD_to_param(bld) : nullptr;
  EVP_PKEY* pkey = nullptr;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(libctx(), "RSA", nullptr);
  if (params && ctx && EVP_PKEY_fromdata_init(ctx) == 1)
    EVP_PKEY_fromdata(ctx, &pkey, privateBlob ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params);
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  if (pkey && privateBlob) {
    // A private blob whose numbers do not make one key is refused.
    EVP_PKEY_CTX* check = EVP_PKEY_CTX_new_from_pkey(libctx(), pkey, nullptr);
    if (!check || EVP_PKEY_pairwise_check(check) != 1) {
      EVP_PKEY_free(pkey);
      pkey = nullptr;
    }
    EVP_PKEY_CTX_free(check);
  }
  if (pkey) error = 0;
  return pkey;
}

}  // namespace

EVP_PKEY* rsaFromPublicBlob(const BYTE* blob, DWORD n, DWORD& error) { return rsaFromBlob(blob, n, false, error); }

BOOL importRsaBlob(const std::shared_ptr<ProvContext>& prov, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                   DWORD dwFlags, HCRYPTKEY* phKey) {
  BLOBHEADER header;
  memcpy(&header, pbData, sizeof header);
  if (hPubKey) return fail(NTE_BAD_KEY);  // encrypted private blobs are not offered
  const DWORD spec = specOf(header.aiKeyAlg);
  if (!spec) return fail(NTE_BAD_ALGID);
  const bool privateBlob = header.bType == PRIVATEKEYBLOB;
  DWORD error = 0;
  auto material = std::make_shared<RsaMaterial>();
  material->pkey = rsaFromBlob(pbData, dwDataLen, privateBlob, error);
  if (!material->pkey) return fail(error);
  material->alg = header.aiKeyAlg;
  material->hasPrivate = privateBlob;
  material->exportable = dwFlags & CRYPT_EXPORTABLE;
  material->userProtected = dwFlags & CRYPT_USER_PROTECTED;
  if (privateBlob) {
    // An imported key pair becomes the container's key of its spec.
    if (material->userProtected && prov->silent) return fail(NTE_SILENT_CONTEXT);
    if (DWORD rc = storeKey(*prov, spec, material)) return fail(rc);
  }
  *phKey = addRsaKey(prov, material, spec);
  return TRUE;
}

namespace {

size_t modulusBytes(EVP_PKEY* pkey) { return size_t(EVP_PKEY_get_size(pkey)); }

// The OpenSSL context for one RSA encryption or decryption with the padding
// that `flags` chooses; null when it cannot be set up.
EVP_PKEY_CTX* rsaCipherContext(EVP_PKEY* pkey, bool encrypt, DWORD flags) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(libctx(), pkey, nullptr);
  const bool ok = ctx && (encrypt ? EVP_PKEY_encrypt_init(ctx) : EVP_PKEY_decrypt_init(ctx)) == 1 &&
                  EVP_PKEY_CTX_set_rsa_padding(ctx, (flags & CRYPT_OAEP) ? RSA_PKCS1_OAEP_PADDING : RSA_PKCS1_PADDING) == 1;
  if (!ok) {
    EVP_PKEY_CTX_free(ctx);
    return nullptr;
  }
  // A padding error is reported as such, as the Windows providers do (an
  // OpenSSL that knows no implicit rejection ignores the setting).
  if (!encrypt && !(flags & CRYPT_OAEP)) EVP_PKEY_CTX_ctrl_str(ctx, "rsa_pkcs1_implicit_rejection", "0");
  return ctx;
}

}  // namespace

BOOL rsaEncrypt(CryptKey& key, BOOL final, DWORD flags, BYTE* data, DWORD* dataLen, DWORD bufLen) {
  // Signature keys do not transport keys, as on Windows.
  if (key.alg != CALG_RSA_KEYX || !key.rsa || !key.rsa->pkey) return fail(NTE_BAD_KEY);
  if (flags & ~DWORD(CRYPT_OAEP)) return fail(NTE_BAD_FLAGS);
  if (!final) return fail(NTE_BAD_DATA);  // one block, always the last
  if (!(key.permissions & CRYPT_ENCRYPT)) return fail(NTE_PERM);
  const size_t k = modulusBytes(key.rsa->pkey);
  const size_t room = (flags & CRYPT_OAEP) ? (k > 42 ? k - 42 : 0) : (k > 11 ? k - 11 : 0);
  const DWORD n = *dataLen;
  if (n > room) return fail(NTE_BAD_LEN);
  if (!data) {
    *dataLen = DWORD(k);
    return TRUE;
  }
  if (bufLen < k) {
    *dataLen = DWORD(k);
    return fail(ERROR_MORE_DATA);
  }
  EVP_PKEY_CTX* ctx = rsaCipherContext(key.rsa->pkey, true, flags);
  std::vector<BYTE> out(k);
  size_t len = k;
  const bool ok = ctx && EVP_PKEY_encrypt(ctx, out.data(), &len, data, n) == 1 && len == k;
  EVP_PKEY_CTX_free(ctx);
  if (!ok) return fail(NTE_FAIL);
  std::reverse_copy(out.begin(), out.end(), data);
  *dataLen = DWORD(k);
  return TRUE;
}

BOOL rsaDecrypt(CryptKey& key, BOOL final, DWORD flags, BYTE* data, DWORD* dataLen) {
  if (key.alg != CALG_RSA_KEYX || !key.rsa || !key.rsa->pkey) return fail(NTE_BAD_KEY);
  if (!key.rsa->hasPrivate) return fail(NTE_NO_KEY);
  if (flags & ~DWORD(CRYPT_OAEP)) return fail(NTE_BAD_FLAGS);
  if (!final) return fail(NTE_BAD_DATA);
  if (!(key.permissions & CRYPT_DECRYPT)) return fail(NTE_PERM);
  const size_t k = modulusBytes(key.rsa->pkey);
  if (*dataLen != k) return fail(NTE_BAD_DATA);
  if (!data) return fail(ERROR_INVALID_PARAMETER);
  if (DWORD rc = confirmKeyUse(*key.prov, *key.rsa, "decrypt")) return fail(rc);
  std::vector<BYTE> in(data, data + k);
  std::reverse(in.begin(), in.end());
  SecretBytes out;
  out.bytes.resize(k);
  size_t len = k;
  EVP_PKEY_CTX* ctx = rsaCipherContext(key.rsa->pkey, false, flags);
  const bool ok = ctx && EVP_PKEY_decrypt(ctx, out.bytes.data(), &len, in.data(), in.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  if (!ok) return fail(NTE_BAD_DATA);
  memcpy(data, out.bytes.data(), len);
  *dataLen = DWORD(len);
  return TRUE;
}

}  // namespace velmora::crypt

using namespace velmora::crypt;

BOOL CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
  auto prov = providers().find(hProv);
  if (!prov) return fail(NTE_BAD_UID);
  if (!phKey) return fail(ERROR_INVALID_PARAMETER);
  *phKey = 0;
  if (prov->token && !symmetricKeyLength(Algid)) return tokenGenKey(prov, Algid, dwFlags, phKey);
  if (symmetricKeyLength(Algid)) {
    if (!providerSupports(*prov->info, Algid)) return fail(NTE_BAD_ALGID);
    return genSessionKey(prov, Algid, dwFlags, phKey);
  }
  const DWORD spec = specOf(Algid);
  if (!spec) return fail(NTE_BAD_ALGID);
  DWORD bits = dwFlags >> 16;
  if (bits == 0) bits = prov->info->defaultRsaBits;
  if (bits < kMinBits || bits > prov->info->maxRsaBits || bits % 8) return fail(NTE_BAD_FLAGS);

  auto material = std::make_shared<RsaMaterial>();
  material->alg = algOfSpec(spec);
  material->hasPrivate = true;
  material->exportable = dwFlags & CRYPT_EXPORTABLE;
  material->userProtected = dwFlags & CRYPT_USER_PROTECTED;
  if (DWORD rc = confirmKeyUse(*prov, *material, "create", true)) return fail(rc);

  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(libctx(), "RSA", nullptr);
  bool ok = ctx && EVP_PKEY_keygen_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, int(bits)) == 1 &&
            EVP_PKEY_generate(ctx, &material->pkey) == 1;
  EVP_PKEY_CTX_free(ctx);
  if (!ok) return fail(NTE_FAIL);
  if (DWORD rc = storeKey(*prov, spec, material)) return fail(rc);
  *phKey = addRsaKey(prov, material, spec);
  return TRUE;
}

BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
  auto prov = providers().find(hProv);
  if (!prov) return fail(NTE_BAD_UID);
  if (!phUserKey) return fail(ERROR_INVALID_PARAMETER);
  *phUserKey = 0;
  if (prov->token) return tokenGetUserKey(prov, dwKeySpec, phUserKey);
  DWORD error = 0;
  auto material = userKey(*prov, dwKeySpec, error);
  if (!material) return fail(error);
  *phUserKey = addRsaKey(prov, material, dwKeySpec);
  return TRUE;
}

BOOL CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                    DWORD* pdwDataLen) {
  auto key = keys().find(hKey);
  if (!key) return fail(NTE_BAD_KEY);
  if (!pdwDataLen) return fail(ERROR_INVALID_PARAMETER);
  if (dwFlags) return fail(NTE_BAD_FLAGS);
  std::vector<BYTE> blob;
  switch (dwBlobType) {
    case PUBLICKEYBLOB:
      if (!key->rsa) return fail(NTE_BAD_KEY);
      if (hExpKey) return fail(NTE_BAD_PUBLIC_KEY);
      if (!rsaPublicBlob(key->rsa->pkey, key->alg, blob)) return fail(NTE_FAIL);
      break;
    case PRIVATEKEYBLOB: {
      if (!key->rsa || !key->rsa->hasPrivate) return fail(NTE_BAD_KEY);
      if (hExpKey) return fail(NTE_BAD_KEY);  // wrapping under a session key is not offered
      if (!key->rsa->exportable || !(key->permissions & CRYPT_EXPORT)) return fail(NTE_BAD_KEY_STATE);
      if (pbData)
        if (DWORD rc = confirmKeyUse(*key->prov, *key->rsa, "export")) return fail(rc);
      if (!rsaPrivateBlob(key->rsa->pkey, key->alg, blob)) return fail(NTE_FAIL);
      break;
    }
    case PLAINTEXTKEYBLOB: {
      if (key->rsa || key->key.bytes.empty()) return fail(NTE_BAD_TYPE);
      if (!(key->permissions & CRYPT_EXPORT)) return fail(NTE_BAD_KEY_STATE);
      BLOBHEADER header{PLAINTEXTKEYBLOB, CUR_BLOB_VERSION, 0, key->alg};
      DWORD n = DWORD(key->key.bytes.size());
      blob.resize(sizeof header + sizeof n);
      memcpy(blob.data(), &header, sizeof header);
      memcpy(blob.data() + sizeof header, &n, sizeof n);
      blob.insert(blob.end(), key->key.bytes.begin(), key->key.bytes.end());
      break;
    }
    default:
      return fail(NTE_BAD_TYPE);
  }
  BOOL ok = copyOut(blob.data(), DWORD(blob.size()), pbData, pdwDataLen);
  OPENSSL_cleanse(blob.data(), blob.size());
  return ok;
}
