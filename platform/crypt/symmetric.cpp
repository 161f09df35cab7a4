// Block-cipher keys: plaintext key import, IV and mode, and encryption in
// pieces that carry the CBC chain from call to call, the final piece adding
// (or checking and removing) PKCS #5 padding, as the Windows providers do.
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>

#include "crypt/crypt_internal.h"
#include "crypt/token_internal.h"

namespace velmora::crypt {

namespace {
constexpr DWORD kBlock = 8;

const char* ecbCipherName(ALG_ID alg) {
  switch (alg) {
    case CALG_DES: return "DES-ECB";
    case CALG_3DES_112: return "DES-EDE-ECB";
    case CALG_3DES: return "DES-EDE3-ECB";
    default: return nullptr;
  }
}

// Runs one 8-byte block through the raw (ECB) cipher.
bool cryptBlock(EVP_CIPHER_CTX* ctx, const BYTE* in, BYTE* out) {
  int n = 0;
  return EVP_CipherUpdate(ctx, out, &n, in, int(kBlock)) == 1 && n == int(kBlock);
}

void resetChain(CryptKey& key) { memcpy(key.feedback, key.iv, kBlock); }

}  // namespace

SecretBytes::~SecretBytes() {
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
}

CryptKey::~CryptKey() {
  EVP_CIPHER_CTX_free(enc);
  EVP_CIPHER_CTX_free(dec);
  OPENSSL_cleanse(feedback, sizeof feedback);
}

HandleTable<CryptKey>& keys() {
  static auto* table = new HandleTable<CryptKey>;  // never destroyed, as the provider table
  return *table;
}

DWORD symmetricKeyLength(ALG_ID alg) {
  switch (alg) {
    case CALG_DES: return 8;
    case CALG_3DES_112: return 16;
    case CALG_3DES: return 24;
    default: return 0;
  }
}

bool setUpSymmetricKey(CryptKey& key) {
  const char* name = ecbCipherName(key.alg);
  if (!name) return false;
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(libctx(), name, nullptr);
  if (!cipher) return false;
  key.enc = EVP_CIPHER_CTX_new();
  key.dec = EVP_CIPHER_CTX_new();
  bool ok = key.enc && key.dec &&
            EVP_CipherInit_ex2(key.enc, cipher, key.key.bytes.data(), nullptr, 1, nullptr) == 1 &&
            EVP_CipherInit_ex2(key.dec, cipher, key.key.bytes.data(), nullptr, 0, nullptr) == 1 &&
            EVP_CIPHER_CTX_set_padding(key.enc, 0) == 1 && EVP_CIPHER_CTX_set_padding(key.dec, 0) == 1;
  EVP_CIPHER_free(cipher);
  resetChain(key);
  return ok;
}

// Encrypts whole blocks in place, chaining through the feedback register.
bool encryptBlocks(CryptKey& key, BYTE* data, DWORD n) {
  for (DWORD i = 0; i < n; i += kBlock) {
    BYTE* block = data + i;
    if (key.mode == CRYPT_MODE_CBC)
      for (DWORD k = 0; k < kBlock; ++k) block[k] ^= key.feedback[k];
    if (!cryptBlock(key.enc, block, block)) return false;
    if (key.mode == CRYPT_MODE_CBC) memcpy(key.feedback, block, kBlock);
  }
  return true;
}

bool decryptBlocks(CryptKey& key, BYTE* data, DWORD n) {
  BYTE cipherText[kBlock];
  for (DWORD i = 0; i < n; i += kBlock) {
    BYTE* block = data + i;
    memcpy(cipherText, block, kBlock);
    if (!cryptBlock(key.dec, block, block)) return false;
    if (key.mode == CRYPT_MODE_CBC) {
      for (DWORD k = 0; k < kBlock; ++k) block[k] ^= key.feedback[k];
      memcpy(key.feedback, cipherText, kBlock);
    }
  }
  return true;
}

}  // namespace velmora::crypt

using namespace velmora::crypt;

namespace {

BOOL importPlaintextKey(const std::shared_ptr<ProvContext>& prov, const BYTE* pbData, DWORD dwDataLen,
                        HCRYPTKEY hPubKey, DWORD dwFlags, HCRYPTKEY* phKey) {
  BLOBHEADER header;
  memcpy(&header, pbData, sizeof header);
  if (hPubKey) return fail(NTE_BAD_KEY);
  if (dwDataLen < sizeof(BLOBHEADER) + sizeof(DWORD)) return fail(NTE_BAD_DATA);
  DWORD keyLen = 0;
  memcpy(&keyLen, pbData + sizeof header, sizeof keyLen);
  const DWORD expected = symmetricKeyLength(header.aiKeyAlg);
  if (!expected || !providerSupports(*prov->info, header.aiKeyAlg)) return fail(NTE_BAD_ALGID);
  if (keyLen != expected || dwDataLen - sizeof(BLOBHEADER) - sizeof(DWORD) < keyLen) return fail(NTE_BAD_DATA);

  auto key = std::make_shared<CryptKey>();
  key->prov = prov;
  key->alg = header.aiKeyAlg;
  key->key.bytes.assign(pbData + sizeof header + sizeof keyLen, pbData + sizeof header + sizeof keyLen + keyLen);
  if (!(dwFlags & CRYPT_EXPORTABLE)) key->permissions &= ~DWORD(CRYPT_EXPORT);
  if (!setUpSymmetricKey(*key)) return fail(NTE_FAIL);
  *phKey = keys().add(std::move(key));
  return TRUE;
}

}  // namespace

BOOL CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                    HCRYPTKEY* phKey) {
  auto prov = providers().find(hProv);
  if (!prov) return fail(NTE_BAD_UID);
  if (!pbData || !phKey) return fail(ERROR_INVALID_PARAMETER);
  *phKey = 0;
  if (dwDataLen < sizeof(BLOBHEADER)) return fail(NTE_BAD_DATA);
  BLOBHEADER header;
  memcpy(&header, pbData, sizeof header);
  if (header.bVersion != CUR_BLOB_VERSION) return fail(NTE_BAD_VER);
  switch (header.bType) {
    case PLAINTEXTKEYBLOB:
      return importPlaintextKey(prov, pbData, dwDataLen, hPubKey, dwFlags, phKey);
    case PUBLICKEYBLOB:
    case PRIVATEKEYBLOB:
      return importRsaBlob(prov, pbData, dwDataLen, hPubKey, dwFlags, phKey);
    default:
      return fail(NTE_BAD_TYPE);
  }
}

BOOL CryptDestroyKey(HCRYPTKEY hKey) {
  if (!keys().remove(hKey)) return fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

BOOL CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
  auto key = keys().find(hKey);
  if (!key) return fail(NTE_BAD_KEY);
  if (!pbData) return fail(ERROR_INVALID_PARAMETER);
  if (dwFlags) return fail(NTE_BAD_FLAGS);
  if (dwParam == KP_CERTIFICATE && key->prov && key->prov->token) return tokenSetCertificate(*key, pbData);
  const bool block = symmetricKeyLength(key->alg) != 0;
  DWORD value = 0;
  switch (dwParam) {
    case KP_IV:
      if (!block) return fail(NTE_BAD_TYPE);
      memcpy(key->iv, pbData, kBlock);
      resetChain(*key);
      return TRUE;
    case KP_MODE:
      if (!block) return fail(NTE_BAD_TYPE);
      memcpy(&value, pbData, sizeof value);
      // Only the chaining modes the callers use; the feedback modes are not offered.
      if (value != CRYPT_MODE_CBC && value != CRYPT_MODE_ECB) return fail(NTE_BAD_DATA);
      key->mode = value;
      resetChain(*key);
      return TRUE;
    case KP_PADDING:
      memcpy(&value, pbData, sizeof value);
      if (value != PKCS5_PADDING) return fail(NTE_BAD_DATA);
      key->padding = value;
      return TRUE;
    case KP_PERMISSIONS:
      memcpy(&value, pbData, sizeof value);
      // Permissions can be taken away, never granted.
      if (value & ~key->permissions) return fail(NTE_BAD_DATA);
      key->permissions = value;
      return TRUE;
    default:
      return fail(NTE_BAD_TYPE);
  }
}

BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
  auto key = keys().find(hKey);
  if (!key) return fail(NTE_BAD_KEY);
  if (!pdwDataLen) return fail(ERROR_INVALID_PARAMETER);
  if (dwFlags) return fail(NTE_BAD_FLAGS);
  if (dwParam == KP_CERTIFICATE && key->prov && key->prov->token) return tokenGetCertificate(*key, pbData, pdwDataLen);
  const bool block = symmetricKeyLength(key->alg) != 0;
  DWORD value = 0;
  switch (dwParam) {
    case KP_IV:
      if (!block) return fail(NTE_BAD_TYPE);
      return copyOut(key->iv, kBlock, pbData, pdwDataLen);
    case KP_MODE:
      if (!block) return fail(NTE_BAD_TYPE);
      value = key->mode;
      break;
    case KP_PADDING:
      value = key->padding;
      break;
    case KP_PERMISSIONS:
      value = key->permissions;
      break;
    case KP_ALGID:
      value = key->alg;
      break;
    case KP_BLOCKLEN:
      if (!block) return fail(NTE_BAD_TYPE);
      value = kBlock * 8;
      break;
    case KP_KEYLEN:
      if (!block) return fail(NTE_BAD_TYPE);
      value = symmetricKeyLength(key->alg) * 8;
      break;
    default:
      return fail(NTE_BAD_TYPE);
  }
  return copyOut(&value, sizeof value, pbData, pdwDataLen);
}

BOOL CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen,
                  DWORD dwBufLen) {
  auto key = keys().find(hKey);
  if (!key) return fail(NTE_BAD_KEY);
  if (hHash) return fail(NTE_BAD_HASH);
  if (!pdwDataLen) return fail(ERROR_INVALID_PARAMETER);
  if (key->rsa) return rsaEncrypt(*key, Final, dwFlags, pbData, pdwDataLen, dwBufLen);
  if (!symmetricKeyLength(key->alg)) return fail(NTE_BAD_KEY);
  if (dwFlags) return fail(NTE_BAD_FLAGS);
  if (!(key->permissions & CRYPT_ENCRYPT)) return fail(NTE_PERM);
  const DWORD n = *pdwDataLen;
  if (!Final && n % kBlock) return fail(NTE_BAD_DATA);
  const DWORD out = Final ? (n / kBlock + 1) * kBlock : n;
  if (out < n) return fail(NTE_BAD_LEN);  // overflow
  if (!pbData) {
    *pdwDataLen = out;
    return TRUE;
  }
  if (dwBufLen < out) {
    *pdwDataLen = out;
    return fail(ERROR_MORE_DATA);
  }
  if (Final) {
    const BYTE pad = BYTE(out - n);
    memset(pbData + n, pad, pad);
  }
  const bool ok = encryptBlocks(*key, pbData, out);
  if (Final) resetChain(*key);  // the next message starts from the IV again
  if (!ok) return fail(NTE_FAIL);
  *pdwDataLen = out;
  return TRUE;
}

BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen) {
  auto key = keys().find(hKey);
  if (!key) return fail(NTE_BAD_KEY);
  if (key->rsa && key->prov && key->prov->token && !hHash && pdwDataLen)
    return tokenDecrypt(*key, Final, dwFlags, pbData, pdwDataLen);
  if (hHash) return fail(NTE_BAD_HASH);
  if (!pdwDataLen) return fail(ERROR_INVALID_PARAMETER);
  if (key->rsa) return rsaDecrypt(*key, Final, dwFlags, pbData, pdwDataLen);
  if (!symmetricKeyLength(key->alg)) return fail(NTE_BAD_KEY);
  if (dwFlags) return fail(NTE_BAD_FLAGS);
  if (!(key->permissions & CRYPT_DECRYPT)) return fail(NTE_PERM);
  const DWORD n = *pdwDataLen;
  if (n == 0) {
    if (!Final) return TRUE;
    resetChain(*key);
    return fail(NTE_BAD_LEN);  // a final piece must hold the padding block
  }
  if (!pbData) return fail(ERROR_INVALID_PARAMETER);
  if (n % kBlock) {
    if (Final) resetChain(*key);
    return fail(NTE_BAD_DATA);
  }
  const bool ok = decryptBlocks(*key, pbData, n);
  if (!Final) return ok ? TRUE : fail(NTE_FAIL);
  resetChain(*key);
  if (!ok) return fail(NTE_FAIL);
  const BYTE pad = pbData[n - 1];
  bool padOk = pad >= 1 && pad <= kBlock;
  for (DWORD i = 0; padOk && i < pad; ++i) padOk = pbData[n - 1 - i] == pad;
  if (!padOk) return fail(NTE_BAD_DATA);
  *pdwDataLen = n - pad;
  return TRUE;
}
