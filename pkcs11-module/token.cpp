#include "token.h"

// OpenSSL before wincrypt.h (X509_NAME); it only reads certificates and
// hashes data here, never a private key.
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ncrypt.h>
#include <wincrypt.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace velmora::p11 {

namespace {

Bytes ulong(CK_ULONG v) {
  Bytes b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}
Bytes boolean(bool v) { return Bytes{static_cast<unsigned char>(v ? CK_TRUE : CK_FALSE)}; }
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

template <class T, class F>
Bytes der(T* obj, F encode) {
  int n = encode(obj, nullptr);
  if (n <= 0) return {};
  Bytes out(static_cast<size_t>(n));
  unsigned char* p = out.data();
  encode(obj, &p);
  return out;
}

Bytes bignum(const EVP_PKEY* pkey, const char* name) {
  BIGNUM* bn = nullptr;
  if (EVP_PKEY_get_bn_param(pkey, name, &bn) != 1) return {};
  Bytes out(static_cast<size_t>(BN_num_bytes(bn)));
  BN_bn2bin(bn, out.data());
  BN_free(bn);
  return out;
}

// DER OCTET STRING around the raw point, the usual form of CKA_EC_POINT.
Bytes octetString(const unsigned char* p, size_t n) {
  Bytes out{0x04};
  if (n < 0x80) {
    out.push_back(static_cast<unsigned char>(n));
  } else {
    Bytes len;
    for (size_t v = n; v; v >>= 8) len.insert(len.begin(), static_cast<unsigned char>(v & 0xff));
    out.push_back(static_cast<unsigned char>(0x80 | len.size()));
    out.insert(out.end(), len.begin(), len.end());
  }
  out.insert(out.end(), p, p + n);
  return out;
}

std::string commonName(X509* x) {
  auto* name = X509_get_subject_name(x);
  int i = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  if (i < 0) return {};
  unsigned char* utf8 = nullptr;
  int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)));
  if (n < 0) return {};
  std::string s(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
  OPENSSL_free(utf8);
  return s;
}

std::string hex(const Bytes& b) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (unsigned char c : b) {
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

// The key a certificate of "MY" names, when it is one this module can use:
// a software CSP container or a key of the CNG software key storage provider.
struct KeyInfo {
  KeyStore where = KeyStore::None;
  DWORD keySpec = 0;
};

KeyInfo keyInfo(PCCERT_CONTEXT c) {
  DWORD n = 0;
  if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n) || n == 0) return {};
  std::vector<BYTE> buf(n);
  auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
  if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, info, &n)) return {};
  std::u16string provider = info->pwszProvName ? info->pwszProvName : u"";
  if (info->dwProvType == 0)
    return provider == MS_KEY_STORAGE_PROVIDER ? KeyInfo{KeyStore::Cng, info->dwKeySpec} : KeyInfo{};
  // The software providers are the "Microsoft ..." ones; others (smart
  // cards, token-backed providers) have their own PKCS#11 modules.
  if (provider.rfind(u"Microsoft ", 0) != 0) return {};
  return {KeyStore::Csp, info->dwKeySpec ? info->dwKeySpec : DWORD(AT_KEYEXCHANGE)};
}

struct Decoded {
  Object cert, pub, priv;
  bool hasKeys = false;
};

// The objects of one certificate; false when OpenSSL cannot read it.
bool decode(const BYTE* der_, DWORD n, const std::string& store, const KeyInfo& key, Decoded& out) {
  const unsigned char* p = der_;
  X509* x = d2i_X509(nullptr, &p, long(n));
  if (!x) return false;
  Bytes value(der_, der_ + n);
  Bytes sha1(SHA_DIGEST_LENGTH);
  SHA1(value.data(), value.size(), sha1.data());

  X509_PUBKEY* xpk = X509_get_X509_PUBKEY(x);
  const unsigned char* pk = nullptr;
  int pkLen = 0;
  X509_ALGOR* alg = nullptr;
  X509_PUBKEY_get0_param(nullptr, &pk, &pkLen, &alg, xpk);
  // The same CKA_ID for a certificate and its keys: the SHA-1 of the public key.
  Bytes id(SHA_DIGEST_LENGTH);
  SHA1(pk, static_cast<size_t>(pkLen), id.data());
  Bytes spki = der(xpk, i2d_X509_PUBKEY);
  Bytes subject = der(X509_get_subject_name(x), i2d_X509_NAME);
  std::string label = commonName(x);
  if (label.empty()) label = hex(sha1);

  Object& c = out.cert;
  c.cls = CKO_CERTIFICATE;
  c.store = store;
  c.sha1 = sha1;
  const bool root = store == "ROOT";
  const bool authority = root || store == "CA" || X509_check_ca(x) > 0;
  c.attrs = {
      {CKA_CLASS, ulong(CKO_CERTIFICATE)},
      {CKA_TOKEN, boolean(true)},
      {CKA_PRIVATE, boolean(false)},
      {CKA_MODIFIABLE, boolean(false)},
      {CKA_COPYABLE, boolean(false)},
      {CKA_DESTROYABLE, boolean(false)},
      {CKA_LABEL, text(label)},
      {CKA_CERTIFICATE_TYPE, ulong(CKC_X_509)},
      // Anchors as p11-kit's trust module marks them.
      {CKA_TRUSTED, boolean(root)},
      {CKA_CERTIFICATE_CATEGORY, ulong(authority && store != "MY" ? 2 : store == "MY" ? 1 : 0)},
      {CKA_CHECK_VALUE, Bytes(sha1.begin(), sha1.begin() + 3)},
      {CKA_VALUE, value},
      {CKA_SUBJECT, subject},
      {CKA_ISSUER, der(X509_get_issuer_name(x), i2d_X509_NAME)},
      {CKA_SERIAL_NUMBER, der(const_cast<ASN1_INTEGER*>(X509_get0_serialNumber(x)), i2d_ASN1_INTEGER)},
      {CKA_ID, id},
      {CKA_PUBLIC_KEY_INFO, spki},
      {CKA_URL, {}},
      {CKA_HASH_OF_SUBJECT_PUBLIC_KEY, {}},
      {CKA_HASH_OF_ISSUER_PUBLIC_KEY, {}},
      {CKA_JAVA_MIDP_SECURITY_DOMAIN, ulong(0)},
  };

  EVP_PKEY* pkey = X509_get0_pubkey(x);
  const int type = pkey ? EVP_PKEY_get_base_id(pkey) : 0;
  if (key.where != KeyStore::None && (type == EVP_PKEY_RSA || type == EVP_PKEY_EC)) {
    const bool rsa = type == EVP_PKEY_RSA;
    // RSA keys live in the CSP, EC keys in the CNG provider.
    if (rsa == (key.where == KeyStore::Csp)) {
      out.hasKeys = true;
      std::map<CK_ATTRIBUTE_TYPE, Bytes> common = {
          {CKA_TOKEN, boolean(true)},
          {CKA_PRIVATE, boolean(false)},
          {CKA_MODIFIABLE, boolean(false)},
          {CKA_COPYABLE, boolean(false)},
          {CKA_DESTROYABLE, boolean(false)},
          {CKA_LABEL, text(label)},
          {CKA_ID, id},
          {CKA_KEY_TYPE, ulong(rsa ? CKK_RSA : CKK_EC)},
          {CKA_SUBJECT, subject},
          {CKA_START_DATE, {}},
          {CKA_END_DATE, {}},
          {CKA_DERIVE, boolean(false)},
          {CKA_LOCAL, boolean(false)},
          {CKA_KEY_GEN_MECHANISM, ulong(CK_UNAVAILABLE_INFORMATION)},
          {CKA_PUBLIC_KEY_INFO, spki},
      };
      if (rsa) {
        Bytes modulus = bignum(pkey, "n");
        common[CKA_MODULUS] = modulus;
        common[CKA_PUBLIC_EXPONENT] = bignum(pkey, "e");
        common[CKA_MODULUS_BITS] = ulong(CK_ULONG(EVP_PKEY_get_bits(pkey)));
      } else {
        char group[80] = {};
        size_t len = 0;
        EVP_PKEY_get_utf8_string_param(pkey, "group", group, sizeof group, &len);
        int nid = OBJ_sn2nid(group);
        if (nid == NID_undef) nid = OBJ_txt2nid(group);
        ASN1_OBJECT* curve = OBJ_nid2obj(nid);
        common[CKA_EC_PARAMS] = curve ? der(curve, i2d_ASN1_OBJECT) : Bytes{};
      }
      const bool signs = true;
      const bool decrypts = rsa && key.keySpec == AT_KEYEXCHANGE;
      const CK_ULONG sigSize = rsa ? CK_ULONG(EVP_PKEY_get_size(pkey)) : 2 * CK_ULONG((EVP_PKEY_get_bits(pkey) + 7) / 8);

      Object& pub = out.pub;
      pub.cls = CKO_PUBLIC_KEY;
      pub.store = store;
      pub.sha1 = sha1;
      pub.keyType = rsa ? CKK_RSA : CKK_EC;
      pub.attrs = common;
      pub.attrs[CKA_CLASS] = ulong(CKO_PUBLIC_KEY);
      pub.attrs[CKA_ENCRYPT] = boolean(decrypts);
      pub.attrs[CKA_VERIFY] = boolean(true);
      pub.attrs[CKA_VERIFY_RECOVER] = boolean(false);
      pub.attrs[CKA_WRAP] = boolean(false);
      pub.attrs[CKA_TRUSTED] = boolean(false);
      if (!rsa) pub.attrs[CKA_EC_POINT] = octetString(pk, static_cast<size_t>(pkLen));

      Object& priv = out.priv;
      priv.cls = CKO_PRIVATE_KEY;
      priv.store = store;
      priv.sha1 = sha1;
      priv.keyType = pub.keyType;
      priv.keyStore = key.where;
      priv.signatureSize = sigSize;
      priv.canSign = signs;
      priv.canDecrypt = decrypts;
      priv.attrs = common;
      priv.attrs[CKA_CLASS] = ulong(CKO_PRIVATE_KEY);
      priv.attrs[CKA_SENSITIVE] = boolean(true);
      priv.attrs[CKA_DECRYPT] = boolean(decrypts);
      priv.attrs[CKA_SIGN] = boolean(signs);
      priv.attrs[CKA_SIGN_RECOVER] = boolean(false);
      priv.attrs[CKA_UNWRAP] = boolean(false);
      priv.attrs[CKA_EXTRACTABLE] = boolean(false);
      priv.attrs[CKA_ALWAYS_SENSITIVE] = boolean(true);
      priv.attrs[CKA_NEVER_EXTRACTABLE] = boolean(true);
      priv.attrs[CKA_WRAP_WITH_TRUSTED] = boolean(false);
      // User-protected keys ask through the dialog service at each use.
      priv.attrs[CKA_ALWAYS_AUTHENTICATE] = boolean(false);
    }
  }
  X509_free(x);
  return true;
}

}  // namespace

CK_OBJECT_HANDLE Token::handleFor(const std::string& key) {
  auto it = known_.find(key);
  if (it != known_.end()) return it->second;
  const CK_OBJECT_HANDLE h = next_++;
  known_.emplace(key, h);
  return h;
}

void Token::reload() {
  std::map<CK_OBJECT_HANDLE, Object> fresh;
  for (const char* store : {"MY", "CA", "ROOT"}) {
    HCERTSTORE h = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                 CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG |
                                     CERT_STORE_OPEN_EXISTING_FLAG,
                                 store);
    if (!h) continue;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(h, c));) {
      Decoded d;
      const KeyInfo key = std::string(store) == "MY" ? keyInfo(c) : KeyInfo{};
      if (!decode(c->pbCertEncoded, c->cbCertEncoded, store, key, d)) continue;
      const std::string base = std::string(store) + "/" + hex(d.cert.sha1) + "/";
      fresh.emplace(handleFor(base + "cert"), std::move(d.cert));
      if (d.hasKeys) {
        fresh.emplace(handleFor(base + "public"), std::move(d.pub));
        fresh.emplace(handleFor(base + "private"), std::move(d.priv));
      }
    }
    CertCloseStore(h, 0);
  }
  objects_ = std::move(fresh);
}

const Object* Token::find(CK_OBJECT_HANDLE h) const {
  auto it = objects_.find(h);
  return it == objects_.end() ? nullptr : &it->second;
}

std::vector<CK_OBJECT_HANDLE> Token::handles() const {
  std::vector<CK_OBJECT_HANDLE> out;
  for (const auto& [h, o] : objects_) out.push_back(h);
  return out;
}

// ---- mechanisms -----------------------------------------------------------

const std::vector<Mechanism>& mechanisms() {
  static const std::vector<Mechanism> list = {
      {CKM_RSA_PKCS, CKK_RSA, CKF_SIGN | CKF_DECRYPT, 1024, 16384},
      {CKM_SHA1_RSA_PKCS, CKK_RSA, CKF_SIGN, 1024, 16384},
      {CKM_SHA256_RSA_PKCS, CKK_RSA, CKF_SIGN, 1024, 16384},
      {CKM_SHA384_RSA_PKCS, CKK_RSA, CKF_SIGN, 1024, 16384},
      {CKM_SHA512_RSA_PKCS, CKK_RSA, CKF_SIGN, 1024, 16384},
      {CKM_ECDSA, CKK_EC, CKF_SIGN | CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS, 256, 521},
      {CKM_ECDSA_SHA1, CKK_EC, CKF_SIGN | CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS, 256, 521},
      {CKM_ECDSA_SHA256, CKK_EC, CKF_SIGN | CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS, 256, 521},
      {CKM_ECDSA_SHA384, CKK_EC, CKF_SIGN | CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS, 256, 521},
      {CKM_ECDSA_SHA512, CKK_EC, CKF_SIGN | CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS, 256, 521},
  };
  return list;
}

const Mechanism* findMechanism(CK_MECHANISM_TYPE type) {
  for (const auto& m : mechanisms())
    if (m.type == type) return &m;
  return nullptr;
}

// ---- key operations -------------------------------------------------------

namespace {

CK_RV fromWindows(DWORD code, CK_RV otherwise = CKR_FUNCTION_FAILED) {
  switch (HRESULT(code)) {
    case HRESULT_FROM_WIN32(ERROR_CANCELLED):
    case NTE_SILENT_CONTEXT:
      return CKR_FUNCTION_CANCELED;
    case NTE_BAD_KEYSET:
    case NTE_NO_KEY:
    case NTE_BAD_PUBLIC_KEY:
    case NTE_NOT_FOUND:
    case CRYPT_E_NO_KEY_PROPERTY:
    case CRYPT_E_NOT_FOUND:
      return CKR_KEY_HANDLE_INVALID;
    case NTE_PERM:
      return CKR_KEY_FUNCTION_NOT_PERMITTED;
    case NTE_NO_MEMORY:
      return CKR_HOST_MEMORY;
    default:
      break;
  }
  if (code == ERROR_CANCELLED) return CKR_FUNCTION_CANCELED;
  if (code == ERROR_NOT_ENOUGH_MEMORY) return CKR_HOST_MEMORY;
  return otherwise;
}

// The certificate of `key` as it is in "MY" now, or null.
PCCERT_CONTEXT currentCertificate(const Object& key, HCERTSTORE& store) {
  store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                        CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG,
                        "MY");
  if (!store) return nullptr;
  CRYPT_HASH_BLOB blob{DWORD(key.sha1.size()), const_cast<BYTE*>(key.sha1.data())};
  PCCERT_CONTEXT c = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                CERT_FIND_SHA1_HASH, &blob, nullptr);
  if (!c) {
    CertCloseStore(store, 0);
    store = nullptr;
  }
  return c;
}

struct OpenCert {
  HCERTSTORE store = nullptr;
  PCCERT_CONTEXT cert = nullptr;
  explicit OpenCert(const Object& key) { cert = currentCertificate(key, store); }
  ~OpenCert() {
    if (cert) CertFreeCertificateContext(cert);
    if (store) CertCloseStore(store, 0);
  }
};

struct CspKey {
  HCRYPTPROV prov = 0;
  DWORD keySpec = 0;
  BOOL callerFrees = FALSE;
  DWORD error = 0;
  explicit CspKey(PCCERT_CONTEXT cert) {
    if (!CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &keySpec, &callerFrees)) {
      error = GetLastError();
      prov = 0;
    }
  }
  ~CspKey() {
    if (prov && callerFrees) CryptReleaseContext(prov, 0);
  }
};

struct DigestPrefix {
  ALG_ID alg;
  Bytes prefix;  // the DigestInfo up to the digest's bytes
};

const std::vector<DigestPrefix>& digestPrefixes() {
  static const std::vector<DigestPrefix> list = {
      {CALG_MD5, {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00,
                  0x04, 0x10}},
      {CALG_SHA1, {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14}},
      {CALG_SHA_256, {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05,
                      0x00, 0x04, 0x20}},
      {CALG_SHA_384, {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02, 0x05,
                      0x00, 0x04, 0x30}},
      {CALG_SHA_512, {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03, 0x05,
                      0x00, 0x04, 0x40}},
  };
  return list;
}

size_t digestLength(ALG_ID alg) {
  switch (alg) {
    case CALG_MD5: return 16;
    case CALG_SHA1: return 20;
    case CALG_SHA_256: return 32;
    case CALG_SSL3_SHAMD5: return 36;
    case CALG_SHA_384: return 48;
    case CALG_SHA_512: return 64;
    default: return 0;
  }
}

// How a CKM_RSA_PKCS input maps onto the provider's hash signing: a
// DigestInfo of a known hash is signed as that hash; a block exactly as
// long as a hash is padded as it is (no DigestInfo added).
struct RawPlan {
  ALG_ID alg = 0;
  DWORD flags = 0;
  size_t offset = 0;
};

bool planRaw(const Bytes& data, RawPlan& plan) {
  for (const auto& d : digestPrefixes())
    if (data.size() == d.prefix.size() + digestLength(d.alg) &&
        std::equal(d.prefix.begin(), d.prefix.end(), data.begin())) {
      plan = {d.alg, 0, d.prefix.size()};
      return true;
    }
  for (ALG_ID alg : {CALG_MD5, CALG_SHA1, CALG_SHA_256, CALG_SSL3_SHAMD5, CALG_SHA_384, CALG_SHA_512})
    if (data.size() == digestLength(alg)) {
      plan = {alg, CRYPT_NOHASHOID, 0};
      return true;
    }
  return false;
}

ALG_ID rsaHash(CK_MECHANISM_TYPE m) {
  switch (m) {
    case CKM_SHA1_RSA_PKCS: return CALG_SHA1;
    case CKM_SHA256_RSA_PKCS: return CALG_SHA_256;
    case CKM_SHA384_RSA_PKCS: return CALG_SHA_384;
    case CKM_SHA512_RSA_PKCS: return CALG_SHA_512;
    default: return 0;
  }
}

const EVP_MD* ecHash(CK_MECHANISM_TYPE m) {
  switch (m) {
    case CKM_ECDSA_SHA1: return EVP_sha1();
    case CKM_ECDSA_SHA256: return EVP_sha256();
    case CKM_ECDSA_SHA384: return EVP_sha384();
    case CKM_ECDSA_SHA512: return EVP_sha512();
    default: return nullptr;
  }
}

// The container's name in the certificate's key information.
std::string containerOf(PCCERT_CONTEXT cert) {
  DWORD n = 0;
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n)) return {};
  std::vector<BYTE> buf(n);
  auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, info, &n)) return {};
  std::string name;
  // Container names are ASCII (GUIDs and the callers' own names).
  for (const WCHAR* w = info->pwszContainerName; w && *w; ++w) name += char(*w);
  return name;
}

CK_RV signCsp(const Object& key, PCCERT_CONTEXT cert, CK_MECHANISM_TYPE m, const Bytes& data, Bytes& sig) {
  CspKey csp(cert);
  if (!csp.prov) return fromWindows(csp.error);
  ALG_ID alg = rsaHash(m);
  DWORD flags = 0;
  RawPlan plan;
  if (m == CKM_RSA_PKCS) {
    if (!planRaw(data, plan)) return CKR_DATA_INVALID;
    alg = plan.alg;
    flags = plan.flags;
  }
  HCRYPTHASH hash = 0;
  HCRYPTPROV aes = 0;
  bool ok = CryptCreateHash(csp.prov, alg, 0, 0, &hash);
  if (!ok && HRESULT(GetLastError()) == NTE_BAD_ALGID) {
    // The older software providers have no SHA-2; the AES provider opens
    // the same container (they share their keys) and has it.
    const std::string container = containerOf(cert);
    ok = !container.empty() && CryptAcquireContextA(&aes, container.c_str(), MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, 0) &&
         CryptCreateHash(aes, alg, 0, 0, &hash);
  }
  if (ok) {
    ok = m == CKM_RSA_PKCS ? CryptSetHashParam(hash, HP_HASHVAL, data.data() + plan.offset, 0)
                           : CryptHashData(hash, data.data(), DWORD(data.size()), 0);
  }
  DWORD len = 0;
  ok = ok && CryptSignHashA(hash, csp.keySpec, nullptr, flags, nullptr, &len);
  if (ok) {
    sig.resize(len);
    ok = CryptSignHashA(hash, csp.keySpec, nullptr, flags, sig.data(), &len);
    sig.resize(len);
  }
  const DWORD error = ok ? 0 : GetLastError();
  if (hash) CryptDestroyHash(hash);
  if (aes) CryptReleaseContext(aes, 0);
  if (!ok) return fromWindows(error);
  // The provider gives it least significant byte first.
  std::reverse(sig.begin(), sig.end());
  return sig.size() == key.signatureSize ? CKR_OK : CKR_FUNCTION_FAILED;
}

// The CNG key storage provider, loaded as its other callers load it.
struct Cng {
  decltype(&NCryptOpenStorageProvider) openProvider = nullptr;
  decltype(&NCryptOpenKey) openKey = nullptr;
  decltype(&NCryptSignHash) signHash = nullptr;
  decltype(&NCryptFreeObject) freeObject = nullptr;
  bool ok() const { return openProvider && openKey && signHash && freeObject; }
};

template <class Fn>
Fn as(FARPROC p) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(p));
}

const Cng& cng() {
  static Cng functions;
  static std::once_flag once;
  std::call_once(once, [] {
    char folder[4096];
    const UINT n = GetSystemDirectoryA(folder, sizeof folder);
    if (n == 0 || n >= sizeof folder) return;
    HMODULE lib = LoadLibraryA((std::string(folder, n) + "/ncrypt.so").c_str());
    if (!lib) return;  // kept loaded for the life of the process
    functions.openProvider = as<decltype(&NCryptOpenStorageProvider)>(GetProcAddress(lib, "NCryptOpenStorageProvider"));
    functions.openKey = as<decltype(&NCryptOpenKey)>(GetProcAddress(lib, "NCryptOpenKey"));
    functions.signHash = as<decltype(&NCryptSignHash)>(GetProcAddress(lib, "NCryptSignHash"));
    functions.freeObject = as<decltype(&NCryptFreeObject)>(GetProcAddress(lib, "NCryptFreeObject"));
  });
  return functions;
}

CK_RV signCng(const Object& key, PCCERT_CONTEXT cert, CK_MECHANISM_TYPE m, const Bytes& data, Bytes& sig) {
  const Cng& f = cng();
  if (!f.ok()) return CKR_DEVICE_ERROR;
  DWORD n = 0;
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n)) return CKR_KEY_HANDLE_INVALID;
  std::vector<BYTE> buf(n);
  auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, info, &n)) return CKR_KEY_HANDLE_INVALID;

  Bytes hash = data;
  if (const EVP_MD* md = ecHash(m)) {
    hash.resize(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), hash.data(), &len, md, nullptr) != 1) return CKR_FUNCTION_FAILED;
    hash.resize(len);
  }
  NCRYPT_PROV_HANDLE prov = 0;
  NCRYPT_KEY_HANDLE handle = 0;
  SECURITY_STATUS st = f.openProvider(&prov, info->pwszProvName, 0);
  if (st == ERROR_SUCCESS) st = f.openKey(prov, &handle, info->pwszContainerName, 0, 0);
  DWORD len = 0;
  if (st == ERROR_SUCCESS) st = f.signHash(handle, nullptr, hash.data(), DWORD(hash.size()), nullptr, 0, &len, 0);
  if (st == ERROR_SUCCESS) {
    sig.resize(len);
    st = f.signHash(handle, nullptr, hash.data(), DWORD(hash.size()), sig.data(), len, &len, 0);
    sig.resize(len);
  }
  if (handle) f.freeObject(handle);
  if (prov) f.freeObject(prov);
  if (st != ERROR_SUCCESS) return fromWindows(DWORD(st));
  return sig.size() == key.signatureSize ? CKR_OK : CKR_FUNCTION_FAILED;
}

}  // namespace

CK_RV checkSignInput(const Object& key, CK_MECHANISM_TYPE m, const Bytes& data) {
  if (m == CKM_RSA_PKCS) {
    if (data.size() + 11 > key.signatureSize) return CKR_DATA_LEN_RANGE;
    RawPlan plan;
    return planRaw(data, plan) ? CKR_OK : CKR_DATA_INVALID;
  }
  if (m == CKM_ECDSA && data.empty()) return CKR_DATA_LEN_RANGE;
  return CKR_OK;
}

CK_RV sign(const Object& key, CK_MECHANISM_TYPE m, const Bytes& data, Bytes& signature) {
  OpenCert current(key);
  if (!current.cert) return CKR_KEY_HANDLE_INVALID;
  return key.keyStore == KeyStore::Csp ? signCsp(key, current.cert, m, data, signature)
                                        : signCng(key, current.cert, m, data, signature);
}

CK_RV decrypt(const Object& key, const Bytes& cipher, Bytes& plain) {
  if (key.keyStore != KeyStore::Csp || !key.canDecrypt) return CKR_KEY_FUNCTION_NOT_PERMITTED;
  if (cipher.size() != key.signatureSize) return CKR_ENCRYPTED_DATA_LEN_RANGE;
  OpenCert current(key);
  if (!current.cert) return CKR_KEY_HANDLE_INVALID;
  CspKey csp(current.cert);
  if (!csp.prov) return fromWindows(csp.error);
  HCRYPTKEY k = 0;
  if (!CryptGetUserKey(csp.prov, csp.keySpec, &k)) return fromWindows(GetLastError());
  // The provider takes the cipher text least significant byte first.
  plain.assign(cipher.rbegin(), cipher.rend());
  DWORD len = DWORD(plain.size());
  const BOOL ok = CryptDecrypt(k, 0, TRUE, 0, plain.data(), &len);
  const DWORD error = ok ? 0 : GetLastError();
  CryptDestroyKey(k);
  if (!ok) {
    OPENSSL_cleanse(plain.data(), plain.size());
    plain.clear();
    if (HRESULT(error) == NTE_BAD_DATA || HRESULT(error) == NTE_BAD_LEN) return CKR_ENCRYPTED_DATA_INVALID;
    return fromWindows(error);
  }
  plain.resize(len);
  return CKR_OK;
}

}  // namespace velmora::p11
