// The component's own layer over a loaded PKCS#11 module: module contexts,
// slots and tokens, key and certificate objects, key-pair generation,
// certificate storage, and key handles of the cryptographic library whose
// private operations run on the token.
//
// Every failing step pushes one entry on the token layer's per-thread error
// queue (library 128, a function code, a reason); operations turn the
// earliest entry into text with errorText().
#pragma once

#include <windows.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "p11_cryptoki.h"
#include "pkcs11/module.h"

namespace quennet {

// ---------------- error queue ----------------

enum P11Function : int {
  F_CTX_LOAD = 1,
  F_ENUM_SLOTS = 2,
  F_CHECK_TOKEN = 3,
  F_OPEN_SESSION = 4,
  F_LOGIN = 5,
  F_ENUM_KEYS = 6,
  F_GET_KEY = 7,
  F_RSA_DECRYPT = 8,
  F_RSA_ENCRYPT = 9,
  F_RSA_SIGN = 10,
  F_RSA_VERIFY = 11,
  F_ENUM_CERTS = 12,
  F_LOGOUT = 15,
  F_GENERATE_KEY = 17,
  F_STORE_CERTIFICATE = 19,
  F_GET_ATTRIBUTE = 40,
  F_FIND_TOKEN = 50,  // has no name in the table
};

enum P11Reason : unsigned long {
  R_LOAD_MODULE = 1025,
  R_ALREADY_LOADED = 1026,
  R_SYMBOL_NOT_FOUND = 1027,
  R_NOT_SUPPORTED = 1028,
  R_NO_SESSION = 1029,
  R_NO_TOKEN = 1031,
};

constexpr unsigned long kP11Library = 128;

// A call through a missing function-list entry answers this value, which is
// reported as reason 1027 "Symbol not found in PKCS#11 module".
constexpr CK_RV kMissingEntry = R_SYMBOL_NOT_FOUND;

void pushError(int function, unsigned long reason);
// The earliest queued entry, removed; false when the queue is empty.
bool popError(unsigned long& packed);
void clearErrors();
// "error:%08lX:%s:%s:%s" with the library, function and reason names.
VELMORA_EXPORT std::string errorText(unsigned long packed);
inline unsigned long errorReason(unsigned long packed) { return packed & 0xFFF; }
inline unsigned long packError(unsigned long lib, unsigned long func, unsigned long reason) {
  return ((lib & 0xFF) << 24) | ((func & 0xFFF) << 12) | (reason & 0xFFF);
}

// ---------------- records ----------------

struct PKCS11_CTX {
  std::shared_ptr<velmora::pkcs11::Module> module;
  bool initialised = false;  // C_Initialize succeeded and no C_Finalize since
  std::string manufacturer;
  std::string description;
};

struct PKCS11_SLOT;
struct PKCS11_TOKEN;

struct PKCS11_KEY {
  PKCS11_TOKEN* token = nullptr;
  std::string label;
  std::vector<unsigned char> id;
  bool isPrivate = false;
  CK_OBJECT_HANDLE object = 0;
  CK_KEY_TYPE keyType = 0;
  // Made on first use and kept: for a private key object a key whose private
  // operations run on the token, for a public key object the public key.
  EVP_PKEY* handle = nullptr;
  EVP_PKEY* publicKey = nullptr;  // software copy of the public values
  bool handleTried = false;

  PKCS11_KEY() = default;
  PKCS11_KEY(const PKCS11_KEY&) = delete;
  PKCS11_KEY& operator=(const PKCS11_KEY&) = delete;
  ~PKCS11_KEY();
};

struct PKCS11_CERT {
  PKCS11_TOKEN* token = nullptr;
  std::string label;
  std::vector<unsigned char> id;
  CK_OBJECT_HANDLE object = 0;
  X509* x509 = nullptr;  // none when CKA_VALUE does not parse

  PKCS11_CERT() = default;
  PKCS11_CERT(const PKCS11_CERT&) = delete;
  PKCS11_CERT& operator=(const PKCS11_CERT&) = delete;
  ~PKCS11_CERT();
};

struct PKCS11_TOKEN {
  PKCS11_SLOT* slot = nullptr;
  std::string label, manufacturer, model, serialnr;
  bool initialized = false, loginRequired = false, secureLogin = false, userPinSet = false, readOnly = false;
  bool keysEnumerated = false;
  std::vector<std::unique_ptr<PKCS11_KEY>> keys;
  bool certsEnumerated = false;
  std::vector<std::unique_ptr<PKCS11_CERT>> certs;
};

struct PKCS11_SLOT : std::enable_shared_from_this<PKCS11_SLOT> {
  std::shared_ptr<PKCS11_CTX> ctx;
  CK_SLOT_ID id = 0;
  std::string manufacturer, description;
  bool removable = false;
  std::unique_ptr<PKCS11_TOKEN> token;
  CK_SESSION_HANDLE session = 0;
  bool haveSession = false;
  bool loggedIn = false;
};

using SlotList = std::vector<std::shared_ptr<PKCS11_SLOT>>;

// A fixed-size blank-padded PKCS#11 text field without its trailing blanks.
inline std::string trimBlanks(const CK_UTF8CHAR* text, size_t size) {
  std::string s(reinterpret_cast<const char*>(text), size);
  while (!s.empty() && (s.back() == ' ' || s.back() == 0)) s.pop_back();
  return s;
}

// Every call of the layer into a module: refuses a context that is not
// initialised, and goes through the platform's checkpoint.
template <typename Fn, typename... Args>
CK_RV p11Call(const PKCS11_CTX* ctx, Fn CK_FUNCTION_LIST::*entry, Args... args) {
  if (!ctx || !ctx->module || !ctx->initialised) return CKR_CRYPTOKI_NOT_INITIALIZED;
  CK_RV rv = ctx->module->call(entry, args...);
  return rv == velmora::pkcs11::kMissingEntry ? kMissingEntry : rv;
}

// ---------------- module and slots ----------------

std::shared_ptr<PKCS11_CTX> PKCS11_CTX_new();
int PKCS11_CTX_load(PKCS11_CTX& ctx, const char* name);
void PKCS11_CTX_unload(PKCS11_CTX& ctx);

int PKCS11_enum_slots(const std::shared_ptr<PKCS11_CTX>& ctx, SlotList& slots);
std::shared_ptr<PKCS11_SLOT> PKCS11_find_token(const SlotList& slots, const std::string& label);
int openSession(PKCS11_SLOT& slot);
// 0, or -1 (logout or session failed), -2 (user PIN), -3 (second PIN).
int PKCS11_login(PKCS11_SLOT& slot, const std::string& userPin, const std::string& secondPin, bool secondLogin);
int PKCS11_logout(PKCS11_SLOT& slot);

// ---------------- attributes ----------------

// CK_RV of reading one attribute into `out`, at most `limit` bytes.
CK_RV readAttribute(PKCS11_SLOT& slot, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                    std::vector<unsigned char>& out, size_t limit = 4096);
bool readUlong(PKCS11_SLOT& slot, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, CK_ULONG& value);

// ---------------- keys ----------------

// Key list of the token, enumerated on first use; null on failure.
std::vector<std::unique_ptr<PKCS11_KEY>>* enumKeys(PKCS11_TOKEN& token);
void releaseKeys(PKCS11_TOKEN& token);
PKCS11_KEY* PKCS11_find_key(PKCS11_TOKEN& token, const std::string& label, bool isPrivate);
PKCS11_KEY* findKeyById(PKCS11_TOKEN& token, const std::vector<unsigned char>& id, bool isPrivate);
PKCS11_KEY* PKCS11_find_key_from_cert(PKCS11_TOKEN& token, X509* cert);
EVP_PKEY* PKCS11_get_private_key(PKCS11_KEY& key);
EVP_PKEY* PKCS11_get_public_key(PKCS11_KEY& key);
bool keyValue(PKCS11_KEY& key, std::vector<unsigned char>& value);
// PKCS#11 return value of the generation (0 = success), -1 without a session.
long PKCS11_generateRSAKey(PKCS11_TOKEN& token, int bits, const std::string& label, int keyType);
long PKCS11_generateECCKey(PKCS11_TOKEN& token, const std::string& label, int keyType);

// ---------------- certificates ----------------

std::vector<std::unique_ptr<PKCS11_CERT>>* enumCerts(PKCS11_TOKEN& token);
void releaseCerts(PKCS11_TOKEN& token);
// The first private key whose label is the certificate's label.
PKCS11_KEY* privateKeyOfCert(PKCS11_TOKEN& token, const PKCS11_CERT& cert);
long PKCS11_store_certificate(PKCS11_TOKEN& token, const std::vector<unsigned char>& value, const std::string* label,
                              const std::vector<unsigned char>& id);
long PKCS11_store_certificate2(PKCS11_TOKEN& token, const std::vector<unsigned char>& value,
                               const std::string* label, const std::vector<unsigned char>& id,
                               const std::vector<unsigned char>& subject, const std::vector<unsigned char>& issuer);

// ---------------- key handles on the token ----------------

// The library context in which token keys live, with the default provider
// and the component's own provider loaded; and the property query that
// prefers the component's implementations.
OSSL_LIB_CTX* tokenLibCtx();
extern const char* const kTokenPropQuery;

// A key whose signing runs on the token through `key`'s object; `publicKey`
// carries its public values (may be null for an EC key without a point when
// `group` names the curve).
EVP_PKEY* makeTokenKey(PKCS11_KEY& key, EVP_PKEY* publicKey, int ecGroupNid);

// Signing primitives used by the provider. `object` is a private key object
// of `slot`. RSA: PKCS#1 v1.5 of a DigestInfo (or of the raw input when
// `mdNid` is 0); EC: DER ECDSA-Sig-Value of r and s from the token.
bool tokenRsaSign(const std::weak_ptr<PKCS11_SLOT>& slot, CK_OBJECT_HANDLE object, size_t keyBytes, int mdNid,
                  const unsigned char* in, size_t inLen, std::vector<unsigned char>& sig);
bool tokenEcdsaSign(const std::weak_ptr<PKCS11_SLOT>& slot, CK_OBJECT_HANDLE object, int orderBits,
                    const unsigned char* digest, size_t digestLen, std::vector<unsigned char>& sig);

}  // namespace quennet
