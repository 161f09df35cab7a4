// What the CryptoAPI functions share: the OpenSSL library context, the
// provider table, handle tables, key containers on disk and the key objects.
#pragma once

// OpenSSL before wincrypt.h: see X509_NAME there.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <wincrypt.h>
#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace velmora::crypt {

// OpenSSL's default and legacy providers in a context of our own (single DES
// lives in the legacy one), so the rest of the process keeps its defaults.
OSSL_LIB_CTX* libctx();

// Sets the thread's last error and returns FALSE, for `return fail(...)`.
inline BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Copies `n` bytes to a caller's buffer with the size-query rules: a null
// buffer asks for the size; a short one gets ERROR_MORE_DATA and the size.
BOOL copyOut(const void* bytes, DWORD n, BYTE* out, DWORD* outLen);

// ---- Providers ----

struct ProviderInfo {
  const char* name;
  DWORD type;
  bool tripleDes;   // 3DES and 3DES_112
  bool aes;         // AES 128/192/256 and SHA-2 hashes
  DWORD maxRsaBits;
  DWORD defaultRsaBits;
};

// The software providers, in the order CryptEnumProvidersA lists them.
const std::vector<ProviderInfo>& providerTable();
const ProviderInfo* findProvider(const std::string& name);
bool providerSupports(const ProviderInfo& info, ALG_ID alg);

// An RSA key pair (or public key) as the provider holds it.
struct RsaMaterial {
  ~RsaMaterial();
  EVP_PKEY* pkey = nullptr;
  ALG_ID alg = CALG_RSA_KEYX;
  bool hasPrivate = false;
  bool exportable = false;
  bool userProtected = false;
};

struct TokenContext;  // crypt/token_internal.h

struct ProvContext {
  const ProviderInfo* info = nullptr;
  // A token provider's context: its module, session and container.
  std::shared_ptr<TokenContext> token;
  // A verify-only context keeps the keys it makes in memory, by key spec.
  std::shared_ptr<RsaMaterial> verifyKeys[3];
  std::string container;  // empty for a verify-only context
  bool verifyOnly = false;
  bool silent = false;
  int refs = 1;  // guarded by the provider table's lock
};

// Handles are small numbers handed out once, never pointers, so a released
// or foreign handle is refused instead of followed.
template <class T>
class HandleTable {
 public:
  ULONG_PTR add(std::shared_ptr<T> object) {
    std::lock_guard<std::mutex> lock(mutex_);
    ULONG_PTR handle = nextHandle();
    map_[handle] = std::move(object);
    return handle;
  }
  std::shared_ptr<T> find(ULONG_PTR handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = map_.find(handle);
    return it == map_.end() ? nullptr : it->second;
  }
  std::shared_ptr<T> remove(ULONG_PTR handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = map_.find(handle);
    if (it == map_.end()) return nullptr;
    auto object = std::move(it->second);
    map_.erase(it);
    return object;
  }
  std::mutex& mutex() { return mutex_; }
  std::unordered_map<ULONG_PTR, std::shared_ptr<T>>& map() { return map_; }

 private:
  static ULONG_PTR nextHandle();
  std::mutex mutex_;
  std::unordered_map<ULONG_PTR, std::shared_ptr<T>> map_;
};

// One counter for every kind of handle, so no two objects share a number.
ULONG_PTR newHandleNumber();
template <class T>
ULONG_PTR HandleTable<T>::nextHandle() {
  return newHandleNumber();
}

HandleTable<ProvContext>& providers();

// ---- Keys ----

// Keeps secret bytes and wipes them when dropped.
struct SecretBytes {
  std::vector<BYTE> bytes;
  SecretBytes() = default;
  SecretBytes(const BYTE* p, size_t n) : bytes(p, p + n) {}
  ~SecretBytes();
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
};

struct CryptKey {
  ~CryptKey();
  std::shared_ptr<ProvContext> prov;
  ALG_ID alg = 0;
  DWORD permissions = 0xFFFFFFFF;

  // Block ciphers: the key, the IV set by KP_IV and the feedback register
  // that carries the CBC chain from one call to the next.
  SecretBytes key;
  BYTE iv[8] = {};
  BYTE feedback[8] = {};
  DWORD mode = CRYPT_MODE_CBC;
  DWORD padding = PKCS5_PADDING;
  EVP_CIPHER_CTX* enc = nullptr;  // ECB over one block; we chain ourselves
  EVP_CIPHER_CTX* dec = nullptr;

  // RSA keys
  std::shared_ptr<RsaMaterial> rsa;
  DWORD keySpec = 0;
};

HandleTable<CryptKey>& keys();

// The RSA key of `spec` in a context: its container's (loaded from the file)
// or the verify-only context's. Null with the error in `error`.
std::shared_ptr<RsaMaterial> userKey(const ProvContext& prov, DWORD spec, DWORD& error);
// Asks the user before a user-protected key is created or used; 0 when the
// user agreed (or the key is not protected), else the error to report.
DWORD confirmKeyUse(const ProvContext& prov, const RsaMaterial& key, const char* operation, bool creating = false);
// PKCS #1 v1.5 signature of a digest, big-endian as OpenSSL gives it.
// `digestOid` empty: the digest is signed without a DigestInfo.
bool rsaSignDigest(EVP_PKEY* pkey, const std::string& digestName, const BYTE* digest, size_t n,
                   std::vector<BYTE>& sig);
// RSAPublicKey DER of a key, and the key from a PUBLICKEYBLOB.
bool rsaPublicDer(EVP_PKEY* pkey, std::vector<BYTE>& der);
EVP_PKEY* rsaFromPublicBlob(const BYTE* blob, DWORD n, DWORD& error);
bool rsaPublicBlob(EVP_PKEY* pkey, ALG_ID alg, std::vector<BYTE>& blob);
// CryptImportKey of PUBLICKEYBLOB and PRIVATEKEYBLOB.
BOOL importRsaBlob(const std::shared_ptr<ProvContext>& prov, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                   DWORD dwFlags, HCRYPTKEY* phKey);
// CryptEncrypt / CryptDecrypt with an RSA exchange key: one block, PKCS #1
// v1.5 (or OAEP with CRYPT_OAEP), least significant byte first as the
// Windows providers give and take it.
BOOL rsaEncrypt(CryptKey& key, BOOL final, DWORD flags, BYTE* data, DWORD* dataLen, DWORD bufLen);
BOOL rsaDecrypt(CryptKey& key, BOOL final, DWORD flags, BYTE* data, DWORD* dataLen);

struct CryptHash {
  ~CryptHash();
  std::shared_ptr<ProvContext> prov;
  ALG_ID alg = 0;
  EVP_MD_CTX* ctx = nullptr;
  std::vector<BYTE> value;
  bool finished = false;
};
HandleTable<CryptHash>& hashes();
// OpenSSL's name of a CryptoAPI hash, or null.
const char* digestName(ALG_ID alg);
size_t digestSize(ALG_ID alg);

// Block-cipher helpers for the symmetric keys.
DWORD symmetricKeyLength(ALG_ID alg);  // bytes, 0 when not a supported cipher
bool setUpSymmetricKey(CryptKey& key);

}  // namespace velmora::crypt

namespace velmora::crypt {

// ---- Key containers on disk ----
//
// One file per container in ${XDG_DATA_HOME:-~/.local/share}/velmora/Crypto/RSA/
// (folder 0700, files 0600), named by the SHA-1 of the container name folded
// to lower case (names compare without regard to case, as on Windows). The
// file is JSON: {"format":1,"provider":...,"container":...,"keys":{"1":{...},
// "2":{...}}} with one entry per key spec (AT_KEYEXCHANGE 1, AT_SIGNATURE 2):
// "alg", "exportable", "userProtected" and the private key: "pkcs8" (PKCS#8
// DER in Base64), or, when the Secret Service keeps a wrapping key,
// "sealed" (the PKCS#8 sealed by crypt/protect, bound to the container, spec
// and flags) with "bits"; a file with sealed keys is "format":2. Every write
// goes to a temporary file in the same folder and is renamed into place, so
// readers in other processes see old or new, never half a file. Inside a
// NewKeyScope a new container is provisional until its maker commits it.

struct StoredKey {
  ALG_ID alg = 0;
  bool exportable = false;
  bool userProtected = false;
  std::string pkcs8;   // DER, for a plain key; wiped when the record goes
  std::string sealed;  // the sealed key instead
  DWORD bits = 0;      // of a sealed key, from the file
};

struct ContainerRecord {
  ~ContainerRecord();
  std::string provider;
  std::string name;
  std::unique_ptr<StoredKey> exchange;
  std::unique_ptr<StoredKey> signature;
};

// Held around a read-change-write of a container, so two processes adding
// keys to one container at once do not lose either key.
class ContainerWriteLock {
 public:
  ContainerWriteLock();
  ~ContainerWriteLock();
  ContainerWriteLock(const ContainerWriteLock&) = delete;
  ContainerWriteLock& operator=(const ContainerWriteLock&) = delete;

 private:
  int fd_ = -1;
};

std::string containerFolder();
std::string containerFile(const std::string& name);
// The name a null or empty container name stands for: the user's login name.
std::string defaultContainerName();
bool containerExists(const std::string& name);
// 0, or NTE_EXISTS / NTE_BAD_KEYSET / NTE_FAIL.
DWORD createContainer(const ContainerRecord& record);
DWORD loadContainer(const std::string& name, ContainerRecord& record);
DWORD saveContainer(const ContainerRecord& record);
DWORD deleteContainer(const std::string& name);
// Every container's record in the folder (for the store inspector).
std::vector<std::string> listContainerFiles();
DWORD loadContainerFile(const std::string& path, ContainerRecord& record);
// The PKCS#8 of the record's key of `spec`, unsealed when sealed: 0, or
// NTE_NO_KEY, NTE_BAD_KEY_STATE (its wrapping key is not at hand),
// NTE_KEYSET_ENTRY_BAD (altered).
DWORD storedKeyPkcs8(const ContainerRecord& record, DWORD spec, std::string& pkcs8);

}  // namespace velmora::crypt

namespace velmora::crypt {

// ---- Names ----

struct NameAttr {
  std::string oid;
  DWORD type = 0;          // CERT_RDN_*
  std::vector<BYTE> raw;   // the value's content bytes as encoded
  std::vector<BYTE> whole; // the whole encoded value
};
using ParsedName = std::vector<std::vector<NameAttr>>;

// A DER Name; false when it is not one.
bool parseName(const BYTE* der, size_t n, ParsedName& name);
// The value as text.
std::u16string attrText(const NameAttr& attr);
// The X.500 key of an attribute ("CN", "O", ...), or empty.
const char* x500Key(const std::string& oid);

}  // namespace velmora::crypt
