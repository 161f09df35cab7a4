// Smart-card and token providers on PKCS#11 tokens. A container is one of
// the token's RSA key pairs (by CKA_ID, named by its label); its key spec is
// AT_KEYEXCHANGE when the public key encrypts or wraps, else AT_SIGNATURE;
// its certificate is the certificate object with the same CKA_ID whose key
// is the pair's. Private keys never leave the token: signing and decryption
// run there, and keys made here are sensitive and not extractable. The PIN
// is asked through the dialog service when the token first needs it, kept
// only in the context (wiped with it), and the context logs out when it
// goes if it logged in.
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <winreg.h>
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "crypt/token_internal.h"
#include "crypt/token_provider.h"
#include "pkcs11/module.h"
#include "ui/dialogs.h"

namespace velmora::crypt {

struct TokenContext {
  std::shared_ptr<pkcs11::Module> module;
  CK_SLOT_ID slot = 0;
  std::string tokenLabel;
  CK_SESSION_HANDLE session = 0;
  bool haveSession = false;
  bool loggedIn = false;  // by this context
  bool silent = false;
  std::unique_ptr<SecretBytes> pin;
  std::vector<BYTE> id;  // the container's CKA_ID; empty in a verify context
  std::string container;
  std::vector<std::string> names;  // PP_ENUMCONTAINERS
  size_t next = 0;
  std::mutex lock;

  template <typename Fn, typename... Args>
  CK_RV call(Fn CK_FUNCTION_LIST::*entry, Args... args) {
    return module->call(entry, args...);
  }
  ~TokenContext() {
    if (loggedIn) call(&CK_FUNCTION_LIST::C_Logout, session);
    if (haveSession) call(&CK_FUNCTION_LIST::C_CloseSession, session);
  }
};

namespace {

constexpr char kProviderKey[] = "Software\\Microsoft\\Cryptography\\Defaults\\Provider";
constexpr char kRemovedKey[] = "Software\\Velmora\\Removed Providers";
constexpr CK_ATTRIBUTE_TYPE kSerialNumber = 0x082;  // CKA_SERIAL_NUMBER
constexpr DWORD kMinBits = 1024, kMaxBits = 4096, kDefaultBits = 2048;

// ---- the registry of providers ----

std::string queryString(HKEY key, const char* value) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExA(key, value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ || !size)
    return {};
  std::string text(size, '\0');
  if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) != ERROR_SUCCESS)
    return {};
  text.resize(strnlen(text.c_str(), size));
  return text;
}

std::vector<TokenProviderEntry> registeredProviders() {
  std::vector<TokenProviderEntry> out;
  HKEY root = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kProviderKey, 0, KEY_READ, &root) != ERROR_SUCCESS) return out;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD len = sizeof name;
    if (RegEnumKeyExA(root, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY sub = nullptr;
    if (RegOpenKeyExA(root, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
    DWORD type = 0, provType = 0, size = sizeof provType;
    bool rsaFull = RegQueryValueExA(sub, "Type", nullptr, &type, reinterpret_cast<BYTE*>(&provType), &size) ==
                       ERROR_SUCCESS &&
                   type == REG_DWORD && provType == PROV_RSA_FULL;
    std::string module = queryString(sub, "Image Path");
    RegCloseKey(sub);
    if (rsaFull && !module.empty()) out.push_back({std::string(name, strnlen(name, len)), module});
  }
  RegCloseKey(root);
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
    return strcasecmp(a.name.c_str(), b.name.c_str()) < 0;
  });
  return out;
}

bool validProviderName(const std::string& name) {
  // A registry key name, and never one of the software providers'.
  return !name.empty() && name.size() < 256 && name.find('\\') == std::string::npos && !findProvider(name);
}

bool wasRemoved(const std::string& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kRemovedKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  bool removed = RegQueryValueExA(key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return removed;
}

DWORD writeProvider(const std::string& name, const std::string& module) {
  HKEY key = nullptr;
  std::string path = std::string(kProviderKey) + "\\" + name;
  LSTATUS rc = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return DWORD(rc);
  DWORD type = PROV_RSA_FULL;
  rc = RegSetValueExA(key, "Image Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(module.c_str()),
                      DWORD(module.size() + 1));
  if (rc == ERROR_SUCCESS) rc = RegSetValueExA(key, "Type", 0, REG_DWORD, reinterpret_cast<BYTE*>(&type), 4);
  RegCloseKey(key);
  return DWORD(rc);
}

// The display name given once per provider name, kept for the process so
// contexts can point at it.
const ProviderInfo* infoFor(const std::string& name) {
  static auto* lock = new std::mutex;
  static auto* table = new std::map<std::string, std::pair<std::unique_ptr<std::string>, ProviderInfo>>;
  std::string folded = name;
  for (auto& c : folded) c = char(tolower(static_cast<unsigned char>(c)));
  std::lock_guard<std::mutex> guard(*lock);
  auto it = table->find(folded);
  if (it == table->end()) {
    auto stored = std::make_unique<std::string>(name);
    ProviderInfo info{stored->c_str(), PROV_RSA_FULL, true, true, kMaxBits, kDefaultBits};
    it = table->emplace(folded, std::make_pair(std::move(stored), info)).first;
  }
  return &it->second.second;
}

// ---- the token ----

std::vector<CK_OBJECT_HANDLE> findObjects(TokenContext& tc, std::vector<CK_ATTRIBUTE> tmpl, CK_RV& rv) {
  std::vector<CK_OBJECT_HANDLE> found;
  rv = tc.call(&CK_FUNCTION_LIST::C_FindObjectsInit, tc.session, tmpl.data(), CK_ULONG(tmpl.size()));
  if (rv != CKR_OK) return found;
  for (;;) {
    CK_OBJECT_HANDLE batch[32];
    CK_ULONG n = 0;
    rv = tc.call(&CK_FUNCTION_LIST::C_FindObjects, tc.session, batch, CK_ULONG(32), &n);
    if (rv != CKR_OK || n == 0 || n > 32) break;
    found.insert(found.end(), batch, batch + n);
  }
  CK_RV end = tc.call(&CK_FUNCTION_LIST::C_FindObjectsFinal, tc.session);
  if (rv == CKR_OK) rv = end;
  return found;
}

CK_RV readAttr(TokenContext& tc, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type, std::vector<BYTE>& out) {
  CK_ATTRIBUTE a{type, nullptr, 0};
  CK_RV rv = tc.call(&CK_FUNCTION_LIST::C_GetAttributeValue, tc.session, obj, &a, CK_ULONG(1));
  if (rv != CKR_OK) return rv;
  if (a.ulValueLen == CK_UNAVAILABLE_INFORMATION || a.ulValueLen > 64 * 1024) return CKR_ATTRIBUTE_SENSITIVE;
  out.assign(a.ulValueLen, 0);
  a.pValue = out.data();
  rv = tc.call(&CK_FUNCTION_LIST::C_GetAttributeValue, tc.session, obj, &a, CK_ULONG(1));
  if (rv == CKR_OK) out.resize(std::min<size_t>(out.size(), a.ulValueLen));
  return rv;
}

bool readBool(TokenContext& tc, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type) {
  CK_BBOOL value = CK_FALSE;
  CK_ATTRIBUTE a{type, &value, sizeof value};
  return tc.call(&CK_FUNCTION_LIST::C_GetAttributeValue, tc.session, obj, &a, CK_ULONG(1)) == CKR_OK &&
         value == CK_TRUE;
}

// Finds the first present, initialised token of the module and opens a
// session on it.
DWORD openToken(TokenContext& tc) {
  CK_ULONG count = 0;
  CK_RV rv = tc.call(&CK_FUNCTION_LIST::C_GetSlotList, CK_BBOOL(CK_TRUE), nullptr, &count);
  if (rv != CKR_OK) return pkcs11::win32FromCkr(rv);
  std::vector<CK_SLOT_ID> slots(count);
  if (count) rv = tc.call(&CK_FUNCTION_LIST::C_GetSlotList, CK_BBOOL(CK_TRUE), slots.data(), &count);
  if (rv != CKR_OK) return pkcs11::win32FromCkr(rv);
  slots.resize(std::min<size_t>(slots.size(), count));
  for (CK_SLOT_ID slot : slots) {
    CK_TOKEN_INFO info{};
    if (tc.call(&CK_FUNCTION_LIST::C_GetTokenInfo, slot, &info) != CKR_OK) continue;
    if (!(info.flags & CKF_TOKEN_INITIALIZED)) continue;
    tc.slot = slot;
    std::string label(reinterpret_cast<const char*>(info.label), sizeof info.label);
    while (!label.empty() && (label.back() == ' ' || label.back() == 0)) label.pop_back();
    tc.tokenLabel = label;
    rv = tc.call(&CK_FUNCTION_LIST::C_OpenSession, slot, CK_FLAGS(CKF_SERIAL_SESSION | CKF_RW_SESSION), nullptr,
                 CK_NOTIFY(nullptr), &tc.session);
    // A write-protected token still reads and signs.
    if (rv == CKR_TOKEN_WRITE_PROTECTED)
      rv = tc.call(&CK_FUNCTION_LIST::C_OpenSession, slot, CK_FLAGS(CKF_SERIAL_SESSION), nullptr,
                   CK_NOTIFY(nullptr), &tc.session);
    if (rv != CKR_OK) return pkcs11::win32FromCkr(rv);
    tc.haveSession = true;
    return 0;
  }
  return SCARD_E_NO_SMARTCARD;
}

DWORD ensureLogin(TokenContext& tc) {
  CK_SESSION_INFO session{};
  CK_RV rv = tc.call(&CK_FUNCTION_LIST::C_GetSessionInfo, tc.session, &session);
  if (rv != CKR_OK) return pkcs11::win32FromCkr(rv);
  if (session.state == CKS_RO_USER_FUNCTIONS || session.state == CKS_RW_USER_FUNCTIONS) return 0;
  CK_TOKEN_INFO info{};
  rv = tc.call(&CK_FUNCTION_LIST::C_GetTokenInfo, tc.slot, &info);
  if (rv != CKR_OK) return pkcs11::win32FromCkr(rv);
  if (info.flags & CKF_USER_PIN_LOCKED) return SCARD_W_CHV_BLOCKED;
  if (!(info.flags & CKF_LOGIN_REQUIRED)) return 0;
  if (info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) {
    rv = tc.call(&CK_FUNCTION_LIST::C_Login, tc.session, CK_USER_TYPE(CKU_USER), CK_UTF8CHAR_PTR(nullptr),
                 CK_ULONG(0));
  } else {
    if (!tc.pin) {
      if (tc.silent) return DWORD(NTE_SILENT_CONTEXT);
      ui::PinParams params;
      params.token = tc.tokenLabel;
      params.minLength = int(std::min<CK_ULONG>(info.ulMinPinLen, 64));
      params.maxLength = int(info.ulMaxPinLen > 0 && info.ulMaxPinLen < 256 ? info.ulMaxPinLen : 0);
      std::optional<std::string> typed = ui::pinDialog(params);
      if (!typed) return SCARD_W_CANCELLED_BY_USER;
      tc.pin = std::make_unique<SecretBytes>(reinterpret_cast<const BYTE*>(typed->data()), typed->size());
      OPENSSL_cleanse(typed->data(), typed->size());
    }
    rv = tc.call(&CK_FUNCTION_LIST::C_Login, tc.session, CK_USER_TYPE(CKU_USER),
                 CK_UTF8CHAR_PTR(tc.pin->bytes.data()), CK_ULONG(tc.pin->bytes.size()));
  }
  if (rv == CKR_USER_ALREADY_LOGGED_IN) return 0;
  if (rv != CKR_OK) {
    tc.pin.reset();  // a wrong PIN is asked again next time
    return pkcs11::win32FromCkr(rv);
  }
  tc.loggedIn = true;
  return 0;
}

std::vector<CK_OBJECT_HANDLE> rsaObjects(TokenContext& tc, CK_OBJECT_CLASS cls, const std::vector<BYTE>* id,
                                         CK_RV& rv) {
  CK_KEY_TYPE rsa = CKK_RSA;
  std::vector<CK_ATTRIBUTE> t = {{CKA_CLASS, &cls, sizeof cls}};
  if (cls != CKO_CERTIFICATE) t.push_back({CKA_KEY_TYPE, &rsa, sizeof rsa});
  if (id) t.push_back({CKA_ID, const_cast<BYTE*>(id->data()), CK_ULONG(id->size())});
  return findObjects(tc, t, rv);
}

EVP_PKEY* publicKeyOf(TokenContext& tc, CK_OBJECT_HANDLE obj) {
  std::vector<BYTE> n, e;
  if (readAttr(tc, obj, CKA_MODULUS, n) != CKR_OK || readAttr(tc, obj, CKA_PUBLIC_EXPONENT, e) != CKR_OK ||
      n.empty() || e.empty())
    return nullptr;
  BIGNUM* bn = BN_bin2bn(n.data(), int(n.size()), nullptr);
  BIGNUM* be = BN_bin2bn(e.data(), int(e.size()), nullptr);
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM* params = nullptr;
  EVP_PKEY* pkey = nullptr;
  if (bn && be && bld && OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, bn) &&
      OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, be) && (params = OSSL_PARAM_BLD_to_param(bld))) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(libctx(), "RSA", nullptr);
    if (ctx && EVP_PKEY_fromdata_init(ctx) == 1) EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(ctx);
  }
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  BN_free(bn);
  BN_free(be);
  return pkey;
}

// The private key object paired with `pub` (the same CKA_ID and modulus).
// The session must be logged in.
DWORD privateObject(TokenContext& tc, CK_OBJECT_HANDLE pub, CK_OBJECT_HANDLE& out) {
  std::vector<BYTE> want, have;
  readAttr(tc, pub, CKA_MODULUS, want);
  CK_RV rv = CKR_OK;
  auto found = rsaObjects(tc, CKO_PRIVATE_KEY, &tc.id, rv);
  for (CK_OBJECT_HANDLE priv : found) {
    // A token that hides the private modulus pairs by CKA_ID alone.
    if (readAttr(tc, priv, CKA_MODULUS, have) != CKR_OK || have == want) {
      out = priv;
      return 0;
    }
  }
  return rv != CKR_OK ? pkcs11::win32FromCkr(rv) : DWORD(NTE_NO_KEY);
}

// The certificate objects of the container whose key is `pub`.
std::vector<std::pair<CK_OBJECT_HANDLE, std::vector<BYTE>>> certificatesOf(TokenContext& tc,
                                                                           const std::vector<BYTE>& id, EVP_PKEY* pub) {
  std::vector<std::pair<CK_OBJECT_HANDLE, std::vector<BYTE>>> out;
  CK_RV rv = CKR_OK;
  for (CK_OBJECT_HANDLE obj : rsaObjects(tc, CKO_CERTIFICATE, &id, rv)) {
    std::vector<BYTE> value;
    if (readAttr(tc, obj, CKA_VALUE, value) != CKR_OK || value.empty()) continue;
    const unsigned char* p = value.data();
    X509* cert = d2i_X509(nullptr, &p, long(value.size()));
    EVP_PKEY* key = cert ? X509_get0_pubkey(cert) : nullptr;
    if (key && EVP_PKEY_eq(key, pub) == 1) out.emplace_back(obj, std::move(value));
    X509_free(cert);
  }
  return out;
}

bool canEncrypt(TokenContext& tc, CK_OBJECT_HANDLE pub) {
  return readBool(tc, pub, CKA_ENCRYPT) || readBool(tc, pub, CKA_WRAP);
}

// The key pairs of the container by key spec. A public key that can neither
// encrypt nor wrap is a signature key, any other an exchange key (the
// general key, which also signs). When two pairs of a container claim one
// spec, the one whose certificate is for signatures only (digitalSignature
// or nonRepudiation without keyEncipherment) is the signature key.
std::vector<std::pair<DWORD, CK_OBJECT_HANDLE>> keysOf(TokenContext& tc, CK_RV& rv) {
  std::vector<std::pair<DWORD, CK_OBJECT_HANDLE>> out;
  if (tc.id.empty()) return out;
  struct Pair {
    CK_OBJECT_HANDLE pub;
    DWORD spec;
    bool signatureCert;
  };
  std::vector<Pair> pairs;
  for (CK_OBJECT_HANDLE pub : rsaObjects(tc, CKO_PUBLIC_KEY, &tc.id, rv)) {
    Pair p{pub, canEncrypt(tc, pub) ? DWORD(AT_KEYEXCHANGE) : DWORD(AT_SIGNATURE), false};
    if (EVP_PKEY* key = publicKeyOf(tc, pub)) {
      for (auto& cert : certificatesOf(tc, tc.id, key)) {
        const unsigned char* d = cert.second.data();
        if (X509* x = d2i_X509(nullptr, &d, long(cert.second.size()))) {
          const uint32_t usage = X509_get_key_usage(x);
          p.signatureCert = usage != UINT32_MAX && (usage & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)) &&
                            !(usage & KU_KEY_ENCIPHERMENT);
          X509_free(x);
        }
      }
      EVP_PKEY_free(key);
    }
    pairs.push_back(p);
  }
  if (pairs.size() >= 2 && pairs[0].spec == pairs[1].spec) {
    const size_t sig = pairs[1].signatureCert && !pairs[0].signatureCert ? 1 : 0;
    pairs[sig].spec = AT_SIGNATURE;
    pairs[1 - sig].spec = AT_KEYEXCHANGE;
  }
  for (const auto& p : pairs)
    if (std::none_of(out.begin(), out.end(), [&](const auto& o) { return o.first == p.spec; }))
      out.emplace_back(p.spec, p.pub);
  return out;
}

// The public key object of the container's key of `spec`.
DWORD publicObject(TokenContext& tc, DWORD spec, CK_OBJECT_HANDLE& out) {
  if (tc.id.empty()) return DWORD(NTE_NO_KEY);
  CK_RV rv = CKR_OK;
  for (const auto& k : keysOf(tc, rv))
    if (k.first == spec) {
      out = k.second;
      return 0;
    }
  return rv != CKR_OK ? pkcs11::win32FromCkr(rv) : DWORD(NTE_NO_KEY);
}

// The containers of the token: every labelled RSA key pair, one name per
// CKA_ID.
std::vector<std::pair<std::string, std::vector<BYTE>>> containersOf(TokenContext& tc, CK_RV& rv) {
  std::vector<std::pair<std::string, std::vector<BYTE>>> out;
  std::vector<int> ranks;
  for (CK_OBJECT_HANDLE pub : rsaObjects(tc, CKO_PUBLIC_KEY, nullptr, rv)) {
    std::vector<BYTE> id, label;
    if (readAttr(tc, pub, CKA_ID, id) != CKR_OK || id.empty()) continue;
    if (readAttr(tc, pub, CKA_LABEL, label) != CKR_OK || label.empty()) continue;
    std::string name(label.begin(), label.end());
    if (name.size() > 255 || name.find('\0') != std::string::npos) continue;
    // A certified pair names its container, else a signature key's.
    int rank = canEncrypt(tc, pub) ? 0 : 1;
    if (EVP_PKEY* key = publicKeyOf(tc, pub)) {
      if (!certificatesOf(tc, id, key).empty()) rank += 2;
      EVP_PKEY_free(key);
    }
    auto it = std::find_if(out.begin(), out.end(), [&](const auto& c) { return c.second == id; });
    if (it == out.end()) {
      out.emplace_back(name, id);
      ranks.push_back(rank);
    } else if (rank > ranks[size_t(it - out.begin())]) {
      it->first = name;
      ranks[size_t(it - out.begin())] = rank;
    }
  }
  return out;
}

bool findContainer(TokenContext& tc, const std::string& name, CK_RV& rv) {
  for (auto& c : containersOf(tc, rv))
    if (c.first == name) {
      tc.id = c.second;
      tc.container = c.first;
      return true;
    }
  return false;
}

// DigestInfo prefixes of PKCS #1 v1.5 (RFC 8017, 9.2 note 1).
std::vector<BYTE> digestInfoPrefix(ALG_ID alg) {
  switch (alg) {
    case CALG_MD5:
      return {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
    case CALG_SHA1:
      return {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
    case CALG_SHA_256:
      return {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
              0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    case CALG_SHA_384:
      return {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
              0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
    case CALG_SHA_512:
      return {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
              0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};
    default:
      return {};
  }
}

std::shared_ptr<RsaMaterial> materialOf(EVP_PKEY* pub, DWORD spec) {
  auto material = std::make_shared<RsaMaterial>();
  material->pkey = pub;
  material->alg = spec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX;
  material->hasPrivate = true;  // on the token
  material->exportable = false;
  return material;
}

HCRYPTKEY addTokenKey(const std::shared_ptr<ProvContext>& prov, const std::shared_ptr<RsaMaterial>& material,
                      DWORD spec) {
  auto key = std::make_shared<CryptKey>();
  key->prov = prov;
  key->alg = material->alg;
  key->rsa = material;
  key->keySpec = spec;
  key->permissions = CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_READ | CRYPT_WRITE | CRYPT_MAC;
  return keys().add(std::move(key));
}

// Runs a private-key operation, logging in first and once more when the
// token was logged out under us (another context's logout).
template <class Op>
DWORD withLogin(TokenContext& tc, Op op) {
  if (DWORD e = ensureLogin(tc)) return e;
  CK_RV rv = op();
  if (rv == CKR_USER_NOT_LOGGED_IN) {
    tc.loggedIn = false;
    if (DWORD e = ensureLogin(tc)) return e;
    rv = op();
  }
  return pkcs11::win32FromCkr(rv);
}

}  // namespace

// ---- providers ----

std::vector<TokenProviderEntry> tokenProviders() {
  auto have = registeredProviders();
  bool added = false;
  for (const auto& m : pkcs11::configuredModules()) {
    if (!validProviderName(m.name) || wasRemoved(m.name)) continue;
    bool known = std::any_of(have.begin(), have.end(),
                             [&](const auto& p) { return strcasecmp(p.name.c_str(), m.name.c_str()) == 0; });
    if (!known && writeProvider(m.name, m.name) == 0) added = true;
  }
  return added ? registeredProviders() : have;
}

DWORD addTokenProvider(const std::string& name, const std::string& module) {
  if (!validProviderName(name) || module.empty() || module.size() > 4096) return ERROR_INVALID_PARAMETER;
  if (DWORD rc = writeProvider(name, module)) return rc;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kRemovedKey, 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
    RegDeleteValueA(key, name.c_str());
    RegCloseKey(key);
  }
  return 0;
}

DWORD removeTokenProvider(const std::string& name) {
  if (!validProviderName(name)) return DWORD(NTE_KEYSET_NOT_DEF);
  std::string path = std::string(kProviderKey) + "\\" + name;
  if (RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str()) != ERROR_SUCCESS) return DWORD(NTE_KEYSET_NOT_DEF);
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kRemovedKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) ==
      ERROR_SUCCESS) {
    DWORD one = 1;
    RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4);
    RegCloseKey(key);
  }
  return 0;
}

BOOL tokenEnumProvider(DWORD index, DWORD* type, LPSTR name, DWORD* nameLen) {
  auto list = tokenProviders();
  if (index >= list.size()) return fail(ERROR_NO_MORE_ITEMS);
  if (type) *type = PROV_RSA_FULL;
  const std::string& n = list[index].name;
  return copyOut(n.c_str(), DWORD(n.size() + 1), reinterpret_cast<BYTE*>(name), nameLen);
}

BOOL tokenAcquireContext(HCRYPTPROV* phProv, const std::string& provider, const std::string& container,
                         DWORD type, DWORD flags) {
  TokenProviderEntry entry;
  for (auto& p : tokenProviders())
    if (strcasecmp(p.name.c_str(), provider.c_str()) == 0) entry = p;
  if (entry.name.empty()) return fail(NTE_KEYSET_NOT_DEF);
  if (type != PROV_RSA_FULL) return fail(NTE_PROV_TYPE_NO_MATCH);
  const bool verify = (flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT;
  const bool create = flags & CRYPT_NEWKEYSET;
  const bool remove = flags & CRYPT_DELETEKEYSET;
  if (create && remove) return fail(NTE_BAD_FLAGS);
  if (verify && (!container.empty() || create || remove)) return fail(NTE_BAD_FLAGS);
  if (container.size() > 255) return fail(NTE_BAD_KEYSET_PARAM);

  const std::string library = pkcs11::resolveModule(entry.module);
  if (library.empty()) return fail(NTE_PROV_DLL_NOT_FOUND);
  CK_RV rv = CKR_OK;
  auto tc = std::make_shared<TokenContext>();
  tc->module = pkcs11::Module::open(library, rv);
  if (!tc->module) return fail(rv == pkcs11::kNotLoadable ? NTE_PROV_DLL_NOT_FOUND : NTE_PROVIDER_DLL_FAIL);
  tc->silent = flags & CRYPT_SILENT;
  if (DWORD e = openToken(*tc)) return fail(e);

  if (!verify) {
    std::string name = container;
    if (name.empty()) {
      // The card's default container: its first.
      auto all = containersOf(*tc, rv);
      if (all.empty() && !create) return fail(NTE_BAD_KEYSET);
      if (!all.empty()) name = all.front().first;
    }
    const bool exists = !name.empty() && findContainer(*tc, name, rv);
    if (remove) {
      if (!exists) return fail(NTE_BAD_KEYSET);
      DWORD e = withLogin(*tc, [&] {
        CK_RV r = CKR_OK;
        for (CK_OBJECT_CLASS cls : {CKO_CERTIFICATE, CKO_PUBLIC_KEY, CKO_PRIVATE_KEY})
          for (CK_OBJECT_HANDLE obj : rsaObjects(*tc, cls, &tc->id, r))
            if (CK_RV d = tc->call(&CK_FUNCTION_LIST::C_DestroyObject, tc->session, obj)) return d;
        return r;
      });
      return e ? fail(e) : TRUE;
    }
    if (create) {
      if (name.empty()) return fail(NTE_BAD_KEYSET_PARAM);
      if (exists) return fail(NTE_EXISTS);
      tc->container = name;
      tc->id.resize(20);
      if (RAND_bytes(tc->id.data(), int(tc->id.size())) != 1) return fail(NTE_FAIL);
    } else if (!exists) {
      return fail(NTE_BAD_KEYSET);
    }
  }
  auto ctx = std::make_shared<ProvContext>();
  ctx->info = infoFor(entry.name);
  ctx->container = verify ? std::string() : tc->container;
  ctx->verifyOnly = verify;
  ctx->silent = tc->silent;
  ctx->token = std::move(tc);
  *phProv = providers().add(std::move(ctx));
  return TRUE;
}

BOOL tokenGetProvParam(ProvContext& ctx, DWORD param, BYTE* data, DWORD* len, DWORD flags, bool& handled) {
  handled = true;
  TokenContext& tc = *ctx.token;
  std::lock_guard<std::mutex> guard(tc.lock);
  switch (param) {
    case PP_IMPTYPE: {
      DWORD hardware = 1 | 8;  // CRYPT_IMPL_HARDWARE | CRYPT_IMPL_REMOVABLE
      return copyOut(&hardware, sizeof hardware, data, len);
    }
    case PP_ENUMCONTAINERS: {
      if (flags & CRYPT_FIRST) {
        CK_RV rv = CKR_OK;
        tc.names.clear();
        tc.next = 0;
        for (auto& c : containersOf(tc, rv)) tc.names.push_back(c.first);
        if (rv != CKR_OK && tc.names.empty()) return fail(pkcs11::win32FromCkr(rv));
      }
      if (tc.next >= tc.names.size()) return fail(ERROR_NO_MORE_ITEMS);
      const std::string& n = tc.names[tc.next];
      if (!copyOut(n.c_str(), DWORD(n.size() + 1), data, len)) return FALSE;
      if (data) ++tc.next;
      return TRUE;
    }
    default:
      handled = false;
      return FALSE;
  }
}

std::shared_ptr<RsaMaterial> tokenUserKey(const ProvContext& prov, DWORD spec, DWORD& error) {
  TokenContext& tc = *prov.token;
  std::lock_guard<std::mutex> guard(tc.lock);
  error = DWORD(NTE_BAD_KEY);
  if (spec != AT_SIGNATURE && spec != AT_KEYEXCHANGE) return nullptr;
  CK_OBJECT_HANDLE pub = 0;
  if ((error = publicObject(tc, spec, pub))) return nullptr;
  EVP_PKEY* pkey = publicKeyOf(tc, pub);
  if (!pkey) {
    error = DWORD(NTE_BAD_KEY);
    return nullptr;
  }
  return materialOf(pkey, spec);
}

BOOL tokenGetUserKey(const std::shared_ptr<ProvContext>& prov, DWORD spec, HCRYPTKEY* phKey) {
  DWORD error = 0;
  auto material = tokenUserKey(*prov, spec, error);
  if (!material) return fail(error);
  *phKey = addTokenKey(prov, material, spec);
  return TRUE;
}

BOOL tokenGenKey(const std::shared_ptr<ProvContext>& prov, ALG_ID alg, DWORD flags, HCRYPTKEY* phKey) {
  TokenContext& tc = *prov->token;
  std::lock_guard<std::mutex> guard(tc.lock);
  DWORD spec = alg == AT_SIGNATURE || alg == CALG_RSA_SIGN ? AT_SIGNATURE
               : alg == AT_KEYEXCHANGE || alg == CALG_RSA_KEYX ? AT_KEYEXCHANGE
                                                                : 0;
  if (!spec) return fail(NTE_BAD_ALGID);
  if (prov->verifyOnly || tc.id.empty()) return fail(NTE_BAD_KEYSET);
  // A key made on the token stays there.
  if (flags & CRYPT_EXPORTABLE) return fail(NTE_BAD_FLAGS);
  DWORD bits = flags >> 16;
  if (bits == 0) bits = kDefaultBits;
  if (bits < kMinBits || bits > kMaxBits || bits % 8) return fail(NTE_BAD_FLAGS);

  CK_OBJECT_HANDLE pub = 0, priv = 0;
  DWORD e = withLogin(tc, [&] {
    // A new key of a spec replaces the container's old one.
    CK_OBJECT_HANDLE old = 0;
    if (publicObject(tc, spec, old) == 0) {
      CK_OBJECT_HANDLE oldPriv = 0;
      if (privateObject(tc, old, oldPriv) == 0) tc.call(&CK_FUNCTION_LIST::C_DestroyObject, tc.session, oldPriv);
      tc.call(&CK_FUNCTION_LIST::C_DestroyObject, tc.session, old);
    }
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE, exchange = spec == AT_KEYEXCHANGE ? CK_TRUE : CK_FALSE;
    CK_ULONG modulusBits = bits;
    BYTE exponent[] = {0x01, 0x00, 0x01};
    CK_ULONG idLen = CK_ULONG(tc.id.size());
    CK_ULONG labelLen = CK_ULONG(tc.container.size());
    void* label = tc.container.data();
    CK_ATTRIBUTE pubT[] = {{CKA_TOKEN, &yes, 1},           {CKA_PRIVATE, &no, 1},
                           {CKA_LABEL, label, labelLen},   {CKA_ID, tc.id.data(), idLen},
                           {CKA_MODULUS_BITS, &modulusBits, sizeof modulusBits},
                           {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent},
                           {CKA_VERIFY, &yes, 1},          {CKA_ENCRYPT, &exchange, 1},
                           {CKA_WRAP, &no, 1}};
    CK_ATTRIBUTE privT[] = {{CKA_TOKEN, &yes, 1},         {CKA_PRIVATE, &yes, 1},
                            {CKA_LABEL, label, labelLen}, {CKA_ID, tc.id.data(), idLen},
                            {CKA_SENSITIVE, &yes, 1},     {CKA_EXTRACTABLE, &no, 1},
                            {CKA_SIGN, &yes, 1},          {CKA_DECRYPT, &exchange, 1},
                            {CKA_UNWRAP, &no, 1}};
    CK_MECHANISM mech{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    return tc.call(&CK_FUNCTION_LIST::C_GenerateKeyPair, tc.session, &mech, pubT,
                   CK_ULONG(std::size(pubT)), privT, CK_ULONG(std::size(privT)), &pub, &priv);
  });
  if (e) return fail(e);
  EVP_PKEY* pkey = publicKeyOf(tc, pub);
  if (!pkey) return fail(NTE_FAIL);
  *phKey = addTokenKey(prov, materialOf(pkey, spec), spec);
  return TRUE;
}

BOOL tokenSignHash(HCRYPTHASH hHash, CryptHash& hash, DWORD spec, DWORD flags, BYTE* sig, DWORD* sigLen) {
  TokenContext& tc = *hash.prov->token;
  if (flags & ~DWORD(CRYPT_NOHASHOID)) return fail(NTE_BAD_FLAGS);
  if (hash.prov->verifyOnly) return fail(NTE_NO_KEY);
  std::lock_guard<std::mutex> guard(tc.lock);
  CK_OBJECT_HANDLE pub = 0;
  if (DWORD e = publicObject(tc, spec, pub)) return fail(e);
  std::vector<BYTE> modulus;
  if (CK_RV rv = readAttr(tc, pub, CKA_MODULUS, modulus)) return fail(pkcs11::win32FromCkr(rv));
  while (!modulus.empty() && modulus.front() == 0) modulus.erase(modulus.begin());
  const DWORD size = DWORD(modulus.size());
  if (!sig) {
    *sigLen = size;
    return TRUE;
  }
  if (*sigLen < size) {
    *sigLen = size;
    return fail(ERROR_MORE_DATA);
  }
  DWORD n = 0;
  if (!CryptGetHashParam(hHash, HP_HASHVAL, nullptr, &n, 0)) return FALSE;
  std::vector<BYTE> value(n);
  if (!CryptGetHashParam(hHash, HP_HASHVAL, value.data(), &n, 0)) return FALSE;
  std::vector<BYTE> input = flags & CRYPT_NOHASHOID ? std::vector<BYTE>() : digestInfoPrefix(hash.alg);
  input.insert(input.end(), value.begin(), value.begin() + n);
  std::vector<BYTE> out(size);
  CK_ULONG outLen = size;
  DWORD e = withLogin(tc, [&] {
    CK_OBJECT_HANDLE priv = 0;
    if (privateObject(tc, pub, priv)) return CK_RV(CKR_USER_NOT_LOGGED_IN);
    CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
    CK_RV rv = tc.call(&CK_FUNCTION_LIST::C_SignInit, tc.session, &mech, priv);
    outLen = size;
    if (rv == CKR_OK)
      rv = tc.call(&CK_FUNCTION_LIST::C_Sign, tc.session, input.data(), CK_ULONG(input.size()), out.data(), &outLen);
    return rv;
  });
  if (e) return fail(e == DWORD(SCARD_W_SECURITY_VIOLATION) ? DWORD(NTE_NO_KEY) : e);
  if (outLen > size) return fail(NTE_FAIL);
  out.resize(outLen);
  std::reverse(out.begin(), out.end());  // CryptoAPI's byte order
  return copyOut(out.data(), DWORD(out.size()), sig, sigLen);
}

bool tokenSignDigest(HCRYPTPROV prov, DWORD spec, const char* hashName, const BYTE* digest, size_t n,
                     std::vector<BYTE>& sig) {
  const std::string name = hashName ? hashName : "";
  const ALG_ID alg = name == "SHA256" ? CALG_SHA_256
                     : name == "SHA1" ? CALG_SHA1
                     : name == "SHA384" ? CALG_SHA_384
                     : name == "SHA512" ? CALG_SHA_512
                     : name == "MD5" ? CALG_MD5
                                     : 0;
  if (!alg) return fail(NTE_BAD_ALGID);
  HCRYPTHASH hash = 0;
  DWORD size = 0;
  bool ok = CryptCreateHash(prov, alg, 0, 0, &hash) && CryptSetHashParam(hash, HP_HASHVAL, digest, 0) &&
            digestSize(alg) == n && CryptSignHashA(hash, spec, nullptr, 0, nullptr, &size);
  if (ok) {
    sig.assign(size, 0);
    ok = CryptSignHashA(hash, spec, nullptr, 0, sig.data(), &size);
    sig.resize(size);
  }
  const DWORD error = GetLastError();
  if (hash) CryptDestroyHash(hash);
  if (!ok) return fail(error ? error : DWORD(NTE_FAIL));
  std::reverse(sig.begin(), sig.end());
  return true;
}

BOOL tokenGetCertificate(CryptKey& key, BYTE* data, DWORD* len) {
  TokenContext& tc = *key.prov->token;
  std::lock_guard<std::mutex> guard(tc.lock);
  if (!key.rsa || !key.rsa->pkey) return fail(NTE_BAD_KEY);
  auto certs = certificatesOf(tc, tc.id, key.rsa->pkey);
  if (certs.empty()) return fail(SCARD_E_NO_SUCH_CERTIFICATE);
  const auto& value = certs.front().second;
  return copyOut(value.data(), DWORD(value.size()), data, len);
}

BOOL tokenSetCertificate(CryptKey& key, const BYTE* data) {
  TokenContext& tc = *key.prov->token;
  std::lock_guard<std::mutex> guard(tc.lock);
  if (!key.rsa || !key.rsa->pkey || tc.id.empty()) return fail(NTE_BAD_KEY);
  // The caller gives no length: the certificate's own DER header says it,
  // read only as far as it is plausible.
  if (data[0] != 0x30 || data[1] < 0x81 || data[1] > 0x83) return fail(NTE_BAD_DATA);
  const size_t lengthBytes = data[1] & 0x7F;
  size_t total = 0;
  for (size_t i = 0; i < lengthBytes; ++i) total = (total << 8) | data[2 + i];
  total += 2 + lengthBytes;
  const unsigned char* p = data;
  X509* cert = d2i_X509(nullptr, &p, long(total));
  if (!cert || size_t(p - data) != total) {
    X509_free(cert);
    return fail(NTE_BAD_DATA);
  }
  EVP_PKEY* certKey = X509_get0_pubkey(cert);
  if (!certKey || EVP_PKEY_eq(certKey, key.rsa->pkey) != 1) {
    X509_free(cert);
    return fail(NTE_BAD_PUBLIC_KEY);  // not this key's certificate
  }
  unsigned char *subject = nullptr, *issuer = nullptr, *serial = nullptr;
  int subjectLen = i2d_X509_NAME(X509_get_subject_name(cert), &subject);
  int issuerLen = i2d_X509_NAME(X509_get_issuer_name(cert), &issuer);
  int serialLen = i2d_ASN1_INTEGER(X509_get_serialNumber(cert), &serial);
  X509_free(cert);
  DWORD e = ERROR_OUTOFMEMORY;
  if (subjectLen > 0 && issuerLen > 0 && serialLen > 0) {
    e = withLogin(tc, [&] {
      for (auto& old : certificatesOf(tc, tc.id, key.rsa->pkey))
        tc.call(&CK_FUNCTION_LIST::C_DestroyObject, tc.session, old.first);
      CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
      CK_CERTIFICATE_TYPE type = CKC_X_509;
      CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
      CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                          {CKA_CERTIFICATE_TYPE, &type, sizeof type},
                          {CKA_TOKEN, &yes, 1},
                          {CKA_PRIVATE, &no, 1},
                          {CKA_LABEL, tc.container.data(), CK_ULONG(tc.container.size())},
                          {CKA_ID, tc.id.data(), CK_ULONG(tc.id.size())},
                          {CKA_SUBJECT, subject, CK_ULONG(subjectLen)},
                          {CKA_ISSUER, issuer, CK_ULONG(issuerLen)},
                          {kSerialNumber, serial, CK_ULONG(serialLen)},
                          {CKA_VALUE, const_cast<BYTE*>(data), CK_ULONG(total)}};
      CK_OBJECT_HANDLE obj = 0;
      return tc.call(&CK_FUNCTION_LIST::C_CreateObject, tc.session, t, CK_ULONG(std::size(t)), &obj);
    });
  }
  OPENSSL_free(subject);
  OPENSSL_free(issuer);
  OPENSSL_free(serial);
  return e ? fail(e) : TRUE;
}

BOOL tokenDecrypt(CryptKey& key, BOOL final, DWORD flags, BYTE* data, DWORD* len) {
  TokenContext& tc = *key.prov->token;
  if (flags) return fail(NTE_BAD_FLAGS);
  if (!final) return fail(NTE_BAD_DATA);
  if (!key.rsa || !key.rsa->pkey || key.keySpec != AT_KEYEXCHANGE) return fail(NTE_BAD_KEY);
  const DWORD size = DWORD(EVP_PKEY_get_size(key.rsa->pkey));
  if (*len != size) return fail(NTE_BAD_LEN);
  if (!data) return fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> guard(tc.lock);
  CK_OBJECT_HANDLE pub = 0;
  if (DWORD e = publicObject(tc, key.keySpec, pub)) return fail(e);
  std::vector<BYTE> in(data, data + size);
  std::reverse(in.begin(), in.end());
  SecretBytes out;
  out.bytes.resize(size);
  CK_ULONG outLen = size;
  DWORD e = withLogin(tc, [&] {
    CK_OBJECT_HANDLE priv = 0;
    if (privateObject(tc, pub, priv)) return CK_RV(CKR_USER_NOT_LOGGED_IN);
    CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
    CK_RV rv = tc.call(&CK_FUNCTION_LIST::C_DecryptInit, tc.session, &mech, priv);
    outLen = size;
    if (rv == CKR_OK)
      rv = tc.call(&CK_FUNCTION_LIST::C_Decrypt, tc.session, in.data(), CK_ULONG(in.size()), out.bytes.data(),
                   &outLen);
    return rv;
  });
  if (e) return fail(e == DWORD(SCARD_W_SECURITY_VIOLATION) ? DWORD(NTE_NO_KEY) : e);
  if (outLen > size) return fail(NTE_FAIL);
  memcpy(data, out.bytes.data(), outLen);
  *len = DWORD(outLen);
  return TRUE;
}

}  // namespace velmora::crypt
