// "Microsoft Software Key Storage Provider": elliptic-curve signing keys
// (P-256, P-384) kept per user in files, with export and UI policies. Every
// function returns its SECURITY_STATUS and leaves the thread's last error
// alone, as CNG does.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ncrypt.h>
#include <wincrypt.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "base/codepage_internal.h"
#include "base/private_files.h"
#include "crypt/cng_keys.h"
#include "ncrypt/key_files.h"
#include "ui/dialogs.h"

namespace velmora::ncrypt {

namespace {

constexpr char16_t kProviderName[] = MS_KEY_STORAGE_PROVIDER;
const SECURITY_STATUS kCancelled = SECURITY_STATUS(HRESULT_FROM_WIN32(ERROR_CANCELLED));

SECURITY_STATUS st(HRESULT h) { return SECURITY_STATUS(h); }

struct Curve {
  const char16_t* algorithm;
  const char* algorithmUtf8;
  const char* group;  // OpenSSL's curve name
  DWORD bytes;
  ULONG publicMagic, privateMagic;
};

const Curve kCurves[] = {
    {NCRYPT_ECDSA_P256_ALGORITHM, "ECDSA_P256", "P-256", 32, BCRYPT_ECDSA_PUBLIC_P256_MAGIC,
     BCRYPT_ECDSA_PRIVATE_P256_MAGIC},
    {NCRYPT_ECDSA_P384_ALGORITHM, "ECDSA_P384", "P-384", 48, BCRYPT_ECDSA_PUBLIC_P384_MAGIC,
     BCRYPT_ECDSA_PRIVATE_P384_MAGIC},
};

std::u16string fold(std::u16string s) {
  for (auto& c : s)
    if (c >= u'A' && c <= u'Z') c = char16_t(c - u'A' + u'a');
  return s;
}

const Curve* curveOf(const std::u16string& algorithm) {
  for (const auto& c : kCurves)
    if (fold(algorithm) == fold(c.algorithm)) return &c;
  return nullptr;
}

const Curve* curveOfUtf8(const std::string& algorithm) {
  for (const auto& c : kCurves)
    if (algorithm == c.algorithmUtf8) return &c;
  return nullptr;
}

std::string utf8(const char16_t* s) { return s ? platform::toNarrow(s, CP_UTF8) : std::string(); }
std::u16string wide(const std::string& s) { return platform::toWide(s, CP_UTF8); }

struct Provider {};

struct Key {
  ~Key() { EVP_PKEY_free(pkey); }
  std::string name;  // UTF-8; empty for a key that is not persisted
  const Curve* curve = nullptr;
  DWORD legacyKeySpec = 0;
  DWORD exportPolicy = 0;
  DWORD uiVersion = 0, uiFlags = 0;
  std::string creationTitle, friendlyName, description;
  bool overwrite = false;
  bool finalized = false;
  EVP_PKEY* pkey = nullptr;
};

using Object = std::variant<std::shared_ptr<Provider>, std::shared_ptr<Key>>;

// Handles are numbers with a mark of their own in the upper bits, so they
// never equal a CryptoAPI provider handle and a freed one is refused.
constexpr ULONG_PTR kHandleMark = ULONG_PTR(0x4E43) << (sizeof(ULONG_PTR) * 8 - 16);

std::mutex g_mutex;
std::map<ULONG_PTR, Object> g_objects;
ULONG_PTR g_next = 1;

ULONG_PTR addObject(Object o) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ULONG_PTR h = kHandleMark | g_next++;
  g_objects.emplace(h, std::move(o));
  return h;
}

template <class T>
std::shared_ptr<T> find(ULONG_PTR h) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_objects.find(h);
  if (it == g_objects.end()) return nullptr;
  auto* p = std::get_if<std::shared_ptr<T>>(&it->second);
  return p ? *p : nullptr;
}

bool removeObject(ULONG_PTR h) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_objects.erase(h) == 1;
}

// Buffers handed to callers, freed with NCryptFreeBuffer.
struct EnumState {
  std::vector<std::string> files;
  size_t next = 0;
};
std::map<void*, std::variant<std::unique_ptr<BYTE[]>, std::unique_ptr<EnumState>>> g_buffers;

// Asks before a protected key is made or used.
SECURITY_STATUS confirm(const Key& key, bool creating, const char* operation, DWORD flags) {
  if (!(key.uiFlags & (NCRYPT_UI_PROTECT_KEY_FLAG | NCRYPT_UI_FORCE_HIGH_PROTECTION_FLAG))) return ERROR_SUCCESS;
  if (flags & NCRYPT_SILENT_FLAG) return st(NTE_SILENT_CONTEXT);
  ui::KeyUseParams params;
  params.creating = creating;
  params.operation = operation;
  if (creating) params.title = key.creationTitle;
  params.itemName = !key.friendlyName.empty() ? key.friendlyName : key.name.empty() ? "CNG Private Key" : key.name;
  params.description = key.description;
  return ui::keyUseDialog(params) ? ERROR_SUCCESS : kCancelled;
}

bool coordinates(EVP_PKEY* pkey, DWORD bytes, std::vector<BYTE>& x, std::vector<BYTE>& y) {
  BIGNUM *bx = nullptr, *by = nullptr;
  bool ok = EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_EC_PUB_X, &bx) == 1 &&
            EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_EC_PUB_Y, &by) == 1;
  if (ok) {
    x.resize(bytes);
    y.resize(bytes);
    ok = BN_bn2binpad(bx, x.data(), int(bytes)) == int(bytes) && BN_bn2binpad(by, y.data(), int(bytes)) == int(bytes);
  }
  BN_free(bx);
  BN_free(by);
  return ok;
}

SECURITY_STATUS giveOut(const std::vector<BYTE>& bytes, PBYTE out, DWORD outLen, DWORD* result) {
  if (!result) return st(NTE_INVALID_PARAMETER);
  *result = DWORD(bytes.size());
  if (!out) return ERROR_SUCCESS;
  if (outLen < bytes.size()) return st(NTE_BUFFER_TOO_SMALL);
  memcpy(out, bytes.data(), bytes.size());
  return ERROR_SUCCESS;
}

std::string pkcs8Of(EVP_PKEY* pkey) {
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

EVP_PKEY* pkeyOf(const std::string& der) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  PKCS8_PRIV_KEY_INFO* p8 = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, long(der.size()));
  if (!p8) return nullptr;
  EVP_PKEY* pkey = EVP_PKCS82PKEY(p8);
  PKCS8_PRIV_KEY_INFO_free(p8);
  return pkey;
}

std::shared_ptr<Key> keyFromFile(const KeyFile& file, SECURITY_STATUS& status) {
  auto key = std::make_shared<Key>();
  key->curve = curveOfUtf8(file.algorithm);
  std::string pkcs8;
  status = key->curve ? SECURITY_STATUS(keyPkcs8(file, pkcs8)) : st(NTE_BAD_DATA);
  if (status) return nullptr;
  key->pkey = pkeyOf(pkcs8);
  platform::wipeString(pkcs8);
  status = st(NTE_BAD_DATA);
  if (!key->pkey) return nullptr;
  status = ERROR_SUCCESS;
  key->name = file.name;
  key->legacyKeySpec = file.legacyKeySpec;
  key->exportPolicy = file.exportPolicy;
  key->uiVersion = file.uiVersion;
  key->uiFlags = file.uiFlags;
  key->creationTitle = file.creationTitle;
  key->friendlyName = file.friendlyName;
  key->description = file.description;
  key->finalized = true;
  return key;
}

void toFile(const Key& key, KeyFile& file) {
  file.name = key.name;
  file.algorithm = key.curve->algorithmUtf8;
  file.legacyKeySpec = key.legacyKeySpec;
  file.exportPolicy = key.exportPolicy;
  file.uiVersion = key.uiVersion;
  file.uiFlags = key.uiFlags;
  file.creationTitle = key.creationTitle;
  file.friendlyName = key.friendlyName;
  file.description = key.description;
  file.pkcs8 = pkcs8Of(key.pkey);
}

// A zero-terminated UTF-16 text as a property value.
std::vector<BYTE> wideBytes(const std::u16string& s) {
  std::vector<BYTE> out((s.size() + 1) * 2, 0);
  memcpy(out.data(), s.data(), s.size() * 2);
  return out;
}

std::vector<BYTE> dwordBytes(DWORD v) {
  std::vector<BYTE> out(4);
  memcpy(out.data(), &v, 4);
  return out;
}

}  // namespace

}  // namespace velmora::ncrypt

using namespace velmora::ncrypt;

NCRYPTAPI SECURITY_STATUS NCryptOpenStorageProvider(NCRYPT_PROV_HANDLE* phProvider, LPCWSTR pszProviderName,
                                                    DWORD dwFlags) {
  if (!phProvider) return st(NTE_INVALID_PARAMETER);
  *phProvider = 0;
  if (dwFlags) return st(NTE_BAD_FLAGS);
  // No name stands for the software provider, as on Windows.
  if (pszProviderName && fold(pszProviderName) != fold(kProviderName)) return st(NTE_PROV_DLL_NOT_FOUND);
  *phProvider = addObject(std::make_shared<Provider>());
  return ERROR_SUCCESS;
}

NCRYPTAPI SECURITY_STATUS NCryptOpenKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE* phKey, LPCWSTR pszKeyName,
                                        DWORD dwLegacyKeySpec, DWORD dwFlags) {
  if (!find<Provider>(hProvider)) return st(NTE_INVALID_HANDLE);
  if (!phKey || !pszKeyName || !*pszKeyName) return st(NTE_INVALID_PARAMETER);
  *phKey = 0;
  if (dwFlags & ~DWORD(NCRYPT_SILENT_FLAG | NCRYPT_MACHINE_KEY_FLAG)) return st(NTE_BAD_FLAGS);
  // Keys are the user's; there is no machine store here.
  if (dwFlags & NCRYPT_MACHINE_KEY_FLAG) return st(NTE_NOT_SUPPORTED);
  if (dwLegacyKeySpec > AT_SIGNATURE) return st(NTE_INVALID_PARAMETER);
  KeyFile file;
  if (SECURITY_STATUS rc = SECURITY_STATUS(loadKeyFile(keyFileInUse(utf8(pszKeyName)), file))) return rc;
  SECURITY_STATUS status = ERROR_SUCCESS;
  auto key = keyFromFile(file, status);
  if (!key) return status;
  *phKey = addObject(key);
  return ERROR_SUCCESS;
}

NCRYPTAPI SECURITY_STATUS NCryptCreatePersistedKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE* phKey,
                                                   LPCWSTR pszAlgId, LPCWSTR pszKeyName, DWORD dwLegacyKeySpec,
                                                   DWORD dwFlags) {
  if (!find<Provider>(hProvider)) return st(NTE_INVALID_HANDLE);
  if (!phKey || !pszAlgId) return st(NTE_INVALID_PARAMETER);
  *phKey = 0;
  if (dwFlags & ~DWORD(NCRYPT_SILENT_FLAG | NCRYPT_MACHINE_KEY_FLAG | NCRYPT_OVERWRITE_KEY_FLAG))
    return st(NTE_BAD_FLAGS);
  if (dwFlags & NCRYPT_MACHINE_KEY_FLAG) return st(NTE_NOT_SUPPORTED);
  if (dwLegacyKeySpec > AT_SIGNATURE) return st(NTE_INVALID_PARAMETER);
  const Curve* curve = curveOf(pszAlgId);
  if (!curve) return st(NTE_NOT_SUPPORTED);
  auto key = std::make_shared<Key>();
  key->curve = curve;
  key->name = pszKeyName ? utf8(pszKeyName) : std::string();
  if (pszKeyName && key->name.empty()) return st(NTE_INVALID_PARAMETER);
  key->legacyKeySpec = dwLegacyKeySpec;
  key->overwrite = dwFlags & NCRYPT_OVERWRITE_KEY_FLAG;
  if (!key->name.empty() && !key->overwrite && keyFileExists(key->name)) return st(NTE_EXISTS);
  *phKey = addObject(key);
  return ERROR_SUCCESS;
}

NCRYPTAPI SECURITY_STATUS NCryptSetProperty(NCRYPT_HANDLE hObject, LPCWSTR pszProperty, PBYTE pbInput, DWORD cbInput,
                                            DWORD dwFlags) {
  auto key = find<Key>(hObject);
  if (!key) return find<Provider>(hObject) ? st(NTE_NOT_SUPPORTED) : st(NTE_INVALID_HANDLE);
  if (!pszProperty || (!pbInput && cbInput)) return st(NTE_INVALID_PARAMETER);
  if (dwFlags & ~DWORD(NCRYPT_PERSIST_FLAG | NCRYPT_SILENT_FLAG)) return st(NTE_BAD_FLAGS);
  const std::u16string name = pszProperty;
  // Both policies are fixed once the key exists.
  if (name == NCRYPT_EXPORT_POLICY_PROPERTY) {
    if (cbInput != sizeof(DWORD)) return st(NTE_INVALID_PARAMETER);
    DWORD v;
    memcpy(&v, pbInput, sizeof v);
    if (v & ~DWORD(NCRYPT_ALLOW_EXPORT_FLAG | NCRYPT_ALLOW_PLAINTEXT_EXPORT_FLAG)) return st(NTE_INVALID_PARAMETER);
    if (key->finalized) return st(NTE_PERM);
    key->exportPolicy = v;
    return ERROR_SUCCESS;
  }
  if (name == NCRYPT_UI_POLICY_PROPERTY) {
    if (cbInput != sizeof(NCRYPT_UI_POLICY)) return st(NTE_INVALID_PARAMETER);
    NCRYPT_UI_POLICY policy;
    memcpy(&policy, pbInput, sizeof policy);
    if (policy.dwVersion != 1) return st(NTE_INVALID_PARAMETER);
    if (policy.dwFlags & ~DWORD(NCRYPT_UI_PROTECT_KEY_FLAG | NCRYPT_UI_FORCE_HIGH_PROTECTION_FLAG))
      return st(NTE_INVALID_PARAMETER);
    if (key->finalized) return st(NTE_PERM);
    key->uiVersion = policy.dwVersion;
    key->uiFlags = policy.dwFlags;
    key->creationTitle = utf8(policy.pszCreationTitle);
    key->friendlyName = utf8(policy.pszFriendlyName);
    key->description = utf8(policy.pszDescription);
    return ERROR_SUCCESS;
  }
  return st(NTE_NOT_SUPPORTED);
}

NCRYPTAPI SECURITY_STATUS NCryptGetProperty(NCRYPT_HANDLE hObject, LPCWSTR pszProperty, PBYTE pbOutput,
                                            DWORD cbOutput, DWORD* pcbResult, DWORD dwFlags) {
  if (!pszProperty || !pcbResult) return st(NTE_INVALID_PARAMETER);
  const std::u16string name = pszProperty;
  if (find<Provider>(hObject)) {
    if (name == NCRYPT_NAME_PROPERTY) return giveOut(wideBytes(kProviderName), pbOutput, cbOutput, pcbResult);
    return st(NTE_NOT_SUPPORTED);
  }
  auto key = find<Key>(hObject);
  if (!key) return st(NTE_INVALID_HANDLE);
  if (dwFlags & ~DWORD(NCRYPT_SILENT_FLAG)) return st(NTE_BAD_FLAGS);
  if (name == NCRYPT_NAME_PROPERTY) {
    if (key->name.empty()) return st(NTE_NOT_FOUND);
    return giveOut(wideBytes(wide(key->name)), pbOutput, cbOutput, pcbResult);
  }
  if (name == NCRYPT_ALGORITHM_PROPERTY) return giveOut(wideBytes(key->curve->algorithm), pbOutput, cbOutput, pcbResult);
  if (name == NCRYPT_ALGORITHM_GROUP_PROPERTY)
    return giveOut(wideBytes(NCRYPT_ECDSA_ALGORITHM_GROUP), pbOutput, cbOutput, pcbResult);
  if (name == NCRYPT_LENGTH_PROPERTY) return giveOut(dwordBytes(key->curve->bytes * 8), pbOutput, cbOutput, pcbResult);
  if (name == NCRYPT_EXPORT_POLICY_PROPERTY) return giveOut(dwordBytes(key->exportPolicy), pbOutput, cbOutput, pcbResult);
  if (name == NCRYPT_UI_POLICY_PROPERTY) {
    if (!key->uiVersion) return st(NTE_NOT_FOUND);
    // The structure, then its three texts.
    const std::u16string texts[3] = {wide(key->creationTitle), wide(key->friendlyName), wide(key->description)};
    size_t size = sizeof(NCRYPT_UI_POLICY);
    for (const auto& t : texts) size += (t.size() + 1) * 2;
    std::vector<BYTE> out(size, 0);
    if (pbOutput && cbOutput >= size) {
      // Pointers into the caller's own buffer.
      NCRYPT_UI_POLICY policy{key->uiVersion, key->uiFlags, nullptr, nullptr, nullptr};
      LPCWSTR* slots[3] = {&policy.pszCreationTitle, &policy.pszFriendlyName, &policy.pszDescription};
      size_t at = sizeof(NCRYPT_UI_POLICY);
      for (int i = 0; i < 3; ++i) {
        memcpy(out.data() + at, texts[i].data(), texts[i].size() * 2);
        *slots[i] = reinterpret_cast<LPCWSTR>(pbOutput + at);
        at += (texts[i].size() + 1) * 2;
      }
      memcpy(out.data(), &policy, sizeof policy);
    }
    return giveOut(out, pbOutput, cbOutput, pcbResult);
  }
  return st(NTE_NOT_SUPPORTED);
}

NCRYPTAPI SECURITY_STATUS NCryptFinalizeKey(NCRYPT_KEY_HANDLE hKey, DWORD dwFlags) {
  auto key = find<Key>(hKey);
  if (!key) return st(NTE_INVALID_HANDLE);
  if (dwFlags & ~DWORD(NCRYPT_SILENT_FLAG)) return st(NTE_BAD_FLAGS);
  if (key->finalized) return st(NTE_BAD_KEY_STATE);
  if (SECURITY_STATUS rc = confirm(*key, true, "create", dwFlags)) return rc;
  EVP_PKEY* pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", key->curve->group);
  if (!pkey) return st(NTE_FAIL);
  key->pkey = pkey;
  if (!key->name.empty()) {
    KeyFile file;
    toFile(*key, file);
    if (file.pkcs8.empty()) return st(NTE_FAIL);
    if (SECURITY_STATUS rc = SECURITY_STATUS(saveKeyFile(file, key->overwrite))) {
      EVP_PKEY_free(key->pkey);
      key->pkey = nullptr;
      return rc;
    }
  }
  key->finalized = true;
  return ERROR_SUCCESS;
}

NCRYPTAPI SECURITY_STATUS NCryptExportKey(NCRYPT_KEY_HANDLE hKey, NCRYPT_KEY_HANDLE hExportKey, LPCWSTR pszBlobType,
                                          void* pParameterList, PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult,
                                          DWORD dwFlags) {
  auto key = find<Key>(hKey);
  if (!key) return st(NTE_INVALID_HANDLE);
  if (!pszBlobType || !pcbResult) return st(NTE_INVALID_PARAMETER);
  if (dwFlags & ~DWORD(NCRYPT_SILENT_FLAG)) return st(NTE_BAD_FLAGS);
  // Wrapping with another key is not offered.
  if (hExportKey || pParameterList) return st(NTE_NOT_SUPPORTED);
  if (!key->finalized) return st(NTE_BAD_KEY_STATE);
  const std::u16string type = pszBlobType;
  const bool pub = type == BCRYPT_PUBLIC_KEY_BLOB || type == BCRYPT_ECCPUBLIC_BLOB;
  const bool priv = type == BCRYPT_PRIVATE_KEY_BLOB || type == BCRYPT_ECCPRIVATE_BLOB;
  if (!pub && !priv) return st(NTE_NOT_SUPPORTED);
  const DWORD n = key->curve->bytes;
  const DWORD size = sizeof(BCRYPT_ECCKEY_BLOB) + n * (pub ? 2 : 3);
  if (priv && !(key->exportPolicy & NCRYPT_ALLOW_PLAINTEXT_EXPORT_FLAG)) return st(NTE_NOT_SUPPORTED);
  *pcbResult = size;
  if (!pbOutput) return ERROR_SUCCESS;
  if (cbOutput < size) return st(NTE_BUFFER_TOO_SMALL);
  if (priv)
    if (SECURITY_STATUS rc = confirm(*key, false, "export", dwFlags)) return rc;
  std::vector<BYTE> x, y;
  if (!coordinates(key->pkey, n, x, y)) return st(NTE_FAIL);
  BCRYPT_ECCKEY_BLOB header{pub ? key->curve->publicMagic : key->curve->privateMagic, n};
  std::vector<BYTE> blob(size);
  memcpy(blob.data(), &header, sizeof header);
  memcpy(blob.data() + sizeof header, x.data(), n);
  memcpy(blob.data() + sizeof header + n, y.data(), n);
  if (priv) {
    BIGNUM* d = nullptr;
    if (EVP_PKEY_get_bn_param(key->pkey, OSSL_PKEY_PARAM_PRIV_KEY, &d) != 1 ||
        BN_bn2binpad(d, blob.data() + sizeof header + 2 * n, int(n)) != int(n)) {
      BN_clear_free(d);
      OPENSSL_cleanse(blob.data(), blob.size());
      return st(NTE_FAIL);
    }
    BN_clear_free(d);
  }
  memcpy(pbOutput, blob.data(), size);
  OPENSSL_cleanse(blob.data(), blob.size());
  return ERROR_SUCCESS;
}

NCRYPTAPI SECURITY_STATUS NCryptSignHash(NCRYPT_KEY_HANDLE hKey, void* pPaddingInfo, PBYTE pbHashValue,
                                         DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature, DWORD* pcbResult,
                                         DWORD dwFlags) {
  auto key = find<Key>(hKey);
  if (!key) return st(NTE_INVALID_HANDLE);
  if (!pbHashValue || !cbHashValue || !pcbResult) return st(NTE_INVALID_PARAMETER);
  if (dwFlags & ~DWORD(NCRYPT_SILENT_FLAG)) return st(NTE_BAD_FLAGS);
  if (!key->finalized) return st(NTE_BAD_KEY_STATE);
  const DWORD n = key->curve->bytes;
  // r then s, each as long as the curve's order, big-endian.
  *pcbResult = 2 * n;
  if (!pbSignature) return ERROR_SUCCESS;
  if (cbSignature < 2 * n) return st(NTE_BUFFER_TOO_SMALL);
  if (SECURITY_STATUS rc = confirm(*key, false, "sign", dwFlags)) return rc;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key->pkey, nullptr);
  size_t len = 0;
  std::vector<BYTE> der;
  bool ok = ctx && EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_sign(ctx, nullptr, &len, pbHashValue, cbHashValue) == 1;
  if (ok) {
    der.resize(len);
    ok = EVP_PKEY_sign(ctx, der.data(), &len, pbHashValue, cbHashValue) == 1;
  }
  EVP_PKEY_CTX_free(ctx);
  if (!ok) return st(NTE_FAIL);
  const unsigned char* p = der.data();
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, long(len));
  if (!sig) return st(NTE_FAIL);
  ok = BN_bn2binpad(ECDSA_SIG_get0_r(sig), pbSignature, int(n)) == int(n) &&
       BN_bn2binpad(ECDSA_SIG_get0_s(sig), pbSignature + n, int(n)) == int(n);
  ECDSA_SIG_free(sig);
  return ok ? ERROR_SUCCESS : st(NTE_FAIL);
}

NCRYPTAPI SECURITY_STATUS NCryptDeleteKey(NCRYPT_KEY_HANDLE hKey, DWORD dwFlags) {
  auto key = find<Key>(hKey);
  if (!key) return st(NTE_INVALID_HANDLE);
  if (dwFlags & ~DWORD(NCRYPT_SILENT_FLAG)) return st(NTE_BAD_FLAGS);
  if (!key->name.empty() && key->finalized)
    if (SECURITY_STATUS rc = SECURITY_STATUS(deleteKeyFile(key->name)); rc && rc != st(NTE_BAD_KEYSET)) return rc;
  // A deleted key's handle is freed with it.
  removeObject(hKey);
  return ERROR_SUCCESS;
}

NCRYPTAPI SECURITY_STATUS NCryptFreeObject(NCRYPT_HANDLE hObject) {
  return removeObject(hObject) ? ERROR_SUCCESS : st(NTE_INVALID_HANDLE);
}

NCRYPTAPI SECURITY_STATUS NCryptEnumKeys(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszScope, NCryptKeyName** ppKeyName,
                                         PVOID* ppEnumState, DWORD dwFlags) {
  if (!find<Provider>(hProvider)) return st(NTE_INVALID_HANDLE);
  if (!ppKeyName || !ppEnumState) return st(NTE_INVALID_PARAMETER);
  if (dwFlags & ~DWORD(NCRYPT_SILENT_FLAG | NCRYPT_MACHINE_KEY_FLAG)) return st(NTE_BAD_FLAGS);
  if (dwFlags & NCRYPT_MACHINE_KEY_FLAG) return st(NTE_NOT_SUPPORTED);
  std::lock_guard<std::mutex> lock(g_mutex);
  EnumState* state = static_cast<EnumState*>(*ppEnumState);
  if (state) {
    auto it = g_buffers.find(state);
    if (it == g_buffers.end() || !std::holds_alternative<std::unique_ptr<EnumState>>(it->second))
      return st(NTE_INVALID_PARAMETER);
  } else {
    auto fresh = std::make_unique<EnumState>();
    fresh->files = listKeyFiles();
    state = fresh.get();
    g_buffers.emplace(state, std::move(fresh));
    *ppEnumState = state;
  }
  while (state->next < state->files.size()) {
    KeyFile file;
    if (loadKeyFile(state->files[state->next++], file) != 0 || !curveOfUtf8(file.algorithm)) continue;
    const std::u16string name = wide(file.name), alg = wide(file.algorithm);
    const size_t size = sizeof(NCryptKeyName) + (name.size() + 1 + alg.size() + 1) * 2;
    std::unique_ptr<BYTE[]> buf(new BYTE[size]());
    auto* out = reinterpret_cast<NCryptKeyName*>(buf.get());
    auto* text = reinterpret_cast<char16_t*>(buf.get() + sizeof(NCryptKeyName));
    memcpy(text, name.data(), name.size() * 2);
    out->pszName = text;
    text += name.size() + 1;
    memcpy(text, alg.data(), alg.size() * 2);
    out->pszAlgid = text;
    out->dwLegacyKeySpec = file.legacyKeySpec;
    out->dwFlags = 0;
    *ppKeyName = out;
    g_buffers.emplace(buf.get(), std::move(buf));
    return ERROR_SUCCESS;
  }
  return st(NTE_NO_MORE_ITEMS);
}

NCRYPTAPI SECURITY_STATUS NCryptFreeBuffer(PVOID pvInput) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_buffers.erase(pvInput) == 1 ? ERROR_SUCCESS : st(NTE_INVALID_PARAMETER);
}

NCRYPTAPI BOOL NCryptIsKeyHandle(NCRYPT_KEY_HANDLE hKey) { return find<Key>(hKey) != nullptr; }

// The certificate functions of the platform use this library's keys while
// it is loaded.
namespace {
const velmora::crypt::CngKeyFunctions kForPlatform{NCryptIsKeyHandle, NCryptExportKey, NCryptSignHash};
__attribute__((constructor)) void offerKeys() { velmora::crypt::registerCngKeyFunctions(&kForPlatform); }
__attribute__((destructor)) void withdrawKeys() { velmora::crypt::registerCngKeyFunctions(nullptr); }
}  // namespace
