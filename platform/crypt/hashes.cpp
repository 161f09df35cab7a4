// Hash objects and RSA signatures over them.
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>

#include "crypt/crypt_internal.h"
#include "crypt/token_internal.h"

namespace velmora::crypt {

CryptHash::~CryptHash() { EVP_MD_CTX_free(ctx); }

HandleTable<CryptHash>& hashes() {
  static auto* table = new HandleTable<CryptHash>;  // never destroyed, as the provider table
  return *table;
}

const char* digestName(ALG_ID alg) {
  switch (alg) {
    case CALG_MD5: return "MD5";
    case CALG_SHA1: return "SHA1";
    case CALG_SHA_256: return "SHA256";
    case CALG_SHA_384: return "SHA384";
    case CALG_SHA_512: return "SHA512";
    default: return nullptr;
  }
}

size_t digestSize(ALG_ID alg) {
  switch (alg) {
    case CALG_MD5: return 16;
    case CALG_SHA1: return 20;
    case CALG_SSL3_SHAMD5: return 36;
    case CALG_SHA_256: return 32;
    case CALG_SHA_384: return 48;
    case CALG_SHA_512: return 64;
    default: return 0;
  }
}

namespace {

bool finish(CryptHash& hash) {
  if (hash.finished) return true;
  if (!hash.ctx) return false;  // SSL3_SHAMD5 has no running digest: its value must be set
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_DigestFinal_ex(hash.ctx, md, &n) != 1) return false;
  hash.value.assign(md, md + n);
  hash.finished = true;
  return true;
}

}  // namespace

}  // namespace velmora::crypt

using namespace velmora::crypt;

BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash) {
  auto prov = providers().find(hProv);
  if (!prov) return fail(NTE_BAD_UID);
  if (!phHash) return fail(ERROR_INVALID_PARAMETER);
  *phHash = 0;
  if (dwFlags) return fail(NTE_BAD_FLAGS);
  if (hKey) return fail(NTE_BAD_KEY);  // keyed hashes are not offered
  if (!digestSize(Algid) || !providerSupports(*prov->info, Algid)) return fail(NTE_BAD_ALGID);
  auto hash = std::make_shared<CryptHash>();
  hash->prov = prov;
  hash->alg = Algid;
  if (const char* name = digestName(Algid)) {
    EVP_MD* md = EVP_MD_fetch(libctx(), name, nullptr);
    hash->ctx = EVP_MD_CTX_new();
    bool ok = md && hash->ctx && EVP_DigestInit_ex2(hash->ctx, md, nullptr) == 1;
    EVP_MD_free(md);
    if (!ok) return fail(NTE_FAIL);
  }
  *phHash = hashes().add(std::move(hash));
  return TRUE;
}

BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags) {
  auto hash = hashes().find(hHash);
  if (!hash) return fail(NTE_BAD_HASH);
  if (dwFlags) return fail(NTE_BAD_FLAGS);
  if (dwDataLen && !pbData) return fail(ERROR_INVALID_PARAMETER);
  if (hash->finished || !hash->ctx) return fail(NTE_BAD_HASH_STATE);
  if (dwDataLen && EVP_DigestUpdate(hash->ctx, pbData, dwDataLen) != 1) return fail(NTE_FAIL);
  return TRUE;
}

BOOL CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
  auto hash = hashes().find(hHash);
  if (!hash) return fail(NTE_BAD_HASH);
  if (!pbData) return fail(ERROR_INVALID_PARAMETER);
  if (dwFlags) return fail(NTE_BAD_FLAGS);
  if (dwParam != HP_HASHVAL) return fail(NTE_BAD_TYPE);
  hash->value.assign(pbData, pbData + digestSize(hash->alg));
  hash->finished = true;
  return TRUE;
}

BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
  auto hash = hashes().find(hHash);
  if (!hash) return fail(NTE_BAD_HASH);
  if (!pdwDataLen) return fail(ERROR_INVALID_PARAMETER);
  if (dwFlags) return fail(NTE_BAD_FLAGS);
  DWORD value = 0;
  switch (dwParam) {
    case HP_ALGID:
      value = hash->alg;
      return copyOut(&value, sizeof value, pbData, pdwDataLen);
    case HP_HASHSIZE:
      value = DWORD(digestSize(hash->alg));
      return copyOut(&value, sizeof value, pbData, pdwDataLen);
    case HP_HASHVAL:
      if (!pbData) {
        *pdwDataLen = DWORD(digestSize(hash->alg));
        return TRUE;
      }
      if (!finish(*hash)) return fail(NTE_BAD_HASH_STATE);
      return copyOut(hash->value.data(), DWORD(hash->value.size()), pbData, pdwDataLen);
    default:
      return fail(NTE_BAD_TYPE);
  }
}

BOOL CryptDestroyHash(HCRYPTHASH hHash) {
  if (!hashes().remove(hHash)) return fail(NTE_BAD_HASH);
  return TRUE;
}

BOOL CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR, DWORD dwFlags, BYTE* pbSignature, DWORD* pdwSigLen) {
  auto hash = hashes().find(hHash);
  if (!hash) return fail(NTE_BAD_HASH);
  if (!pdwSigLen) return fail(ERROR_INVALID_PARAMETER);
  if (dwFlags & ~DWORD(CRYPT_NOHASHOID)) return fail(NTE_BAD_FLAGS);
  if (hash->prov->token) return tokenSignHash(hHash, *hash, dwKeySpec, dwFlags, pbSignature, pdwSigLen);
  DWORD error = 0;
  auto key = userKey(*hash->prov, dwKeySpec, error);
  if (!key) return fail(error);
  if (!key->hasPrivate) return fail(NTE_NO_KEY);
  const DWORD size = DWORD(EVP_PKEY_get_size(key->pkey));
  if (!pbSignature) {
    *pdwSigLen = size;
    return TRUE;
  }
  if (*pdwSigLen < size) {
    *pdwSigLen = size;
    return fail(ERROR_MORE_DATA);
  }
  if (!finish(*hash)) return fail(NTE_BAD_HASH_STATE);
  if (DWORD rc = confirmKeyUse(*hash->prov, *key, "sign")) return fail(rc);
  // The DigestInfo names the hash, unless asked not to; SSL3_SHAMD5 never has one.
  std::string digest;
  if (!(dwFlags & CRYPT_NOHASHOID) && digestName(hash->alg)) digest = digestName(hash->alg);
  std::vector<BYTE> sig;
  if (!rsaSignDigest(key->pkey, digest, hash->value.data(), hash->value.size(), sig)) return fail(NTE_FAIL);
  std::reverse(sig.begin(), sig.end());
  return copyOut(sig.data(), DWORD(sig.size()), pbSignature, pdwSigLen);
}

BOOL CryptVerifySignatureA(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen, HCRYPTKEY hPubKey, LPCSTR,
                           DWORD dwFlags) {
  auto hash = hashes().find(hHash);
  if (!hash) return fail(NTE_BAD_HASH);
  auto key = keys().find(hPubKey);
  if (!key || !key->rsa) return fail(NTE_BAD_KEY);
  if (!pbSignature) return fail(ERROR_INVALID_PARAMETER);
  if (dwFlags & ~DWORD(CRYPT_NOHASHOID)) return fail(NTE_BAD_FLAGS);
  if (!finish(*hash)) return fail(NTE_BAD_HASH_STATE);
  std::vector<BYTE> sig(pbSignature, pbSignature + dwSigLen);
  std::reverse(sig.begin(), sig.end());
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(libctx(), key->rsa->pkey, nullptr);
  EVP_MD* md = nullptr;
  if (!(dwFlags & CRYPT_NOHASHOID) && digestName(hash->alg)) md = EVP_MD_fetch(libctx(), digestName(hash->alg), nullptr);
  bool ok = ctx && EVP_PKEY_verify_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
            (!md || EVP_PKEY_CTX_set_signature_md(ctx, md) == 1) &&
            EVP_PKEY_verify(ctx, sig.data(), sig.size(), hash->value.data(), hash->value.size()) == 1;
  EVP_MD_free(md);
  EVP_PKEY_CTX_free(ctx);
  return ok ? TRUE : fail(NTE_BAD_SIGNATURE);
}
