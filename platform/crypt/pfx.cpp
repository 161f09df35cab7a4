// PKCS #12 (PFX) files: recognising them, checking their password and
// importing their certificates and keys. The PBE ciphers of older files
// (RC2, 3DES) come from our library context, which has the legacy provider.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <ncrypt.h>

#include <cstring>
#include <memory>

#include "base/codepage_internal.h"
#include "base/private_files.h"
#include "crypt/crypt_internal.h"
#include "ncrypt/key_files.h"

namespace velmora::crypt {

namespace {

using Bags = STACK_OF(PKCS12_SAFEBAG);

struct P12Free {
  void operator()(PKCS12* p) const { PKCS12_free(p); }
};
using P12 = std::unique_ptr<PKCS12, P12Free>;

P12 parse(const CRYPT_DATA_BLOB* blob) {
  if (!blob || !blob->pbData || !blob->cbData || blob->cbData > 0x7FFFFFFF) return nullptr;
  const unsigned char* p = blob->pbData;
  P12 p12(d2i_PKCS12(nullptr, &p, long(blob->cbData)));
  if (p12 && p != blob->pbData + blob->cbData) p12.reset();  // trailing bytes
  return p12;
}

// The password as OpenSSL takes it: UTF-8, and null for no password (a
// zero-length secret), which differs from the empty one (a BMP zero).
struct Password {
  explicit Password(LPCWSTR w) {
    if (!w) return;
    present = true;
    std::u16string_view view(w);
    text = platform::toNarrow(view, CP_UTF8);
  }
  ~Password() { platform::wipeString(text); }
  const char* ptr() const { return present ? text.c_str() : nullptr; }
  int len() const { return present ? int(text.size()) : 0; }
  bool present = false;
  std::string text;
};

struct Safe {
  ~Safe() { sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free); }
  Bags* bags = nullptr;
};

// Every bag of the file, the encrypted safes decrypted with `pw`.
// False (error set) when a safe does not decrypt or is malformed.
bool readBags(PKCS12* p12, const Password& pw, std::vector<std::unique_ptr<Safe>>& safes, DWORD& error) {
  STACK_OF(PKCS7)* auth = PKCS12_unpack_authsafes(p12);
  if (!auth) {
    error = DWORD(CRYPT_E_BAD_ENCODE);
    return false;
  }
  bool ok = true;
  for (int i = 0; ok && i < sk_PKCS7_num(auth); ++i) {
    PKCS7* p7 = sk_PKCS7_value(auth, i);
    auto safe = std::make_unique<Safe>();
    const int nid = OBJ_obj2nid(p7->type);
    if (nid == NID_pkcs7_data) {
      safe->bags = PKCS12_unpack_p7data(p7);
      if (!safe->bags) error = DWORD(CRYPT_E_BAD_ENCODE);
    } else if (nid == NID_pkcs7_encrypted && p7->d.encrypted && p7->d.encrypted->enc_data &&
               p7->d.encrypted->enc_data->enc_data) {
      PKCS7_ENC_CONTENT* enc = p7->d.encrypted->enc_data;
      safe->bags = static_cast<Bags*>(PKCS12_item_decrypt_d2i_ex(enc->algorithm, ASN1_ITEM_rptr(PKCS12_SAFEBAGS),
                                                                   pw.ptr(), pw.len(), enc->enc_data, 1, libctx(),
                                                                   nullptr));
      if (!safe->bags) error = DWORD(ERROR_INVALID_PASSWORD);
    } else {
      error = DWORD(CRYPT_E_BAD_ENCODE);  // enveloped safes are not offered
    }
    ok = safe->bags != nullptr;
    safes.push_back(std::move(safe));
  }
  sk_PKCS7_pop_free(auth, PKCS7_free);
  return ok;
}

bool hasMac(PKCS12* p12) { return PKCS12_mac_present(p12) == 1; }

// The file's secret: its MAC when it has one, else whether its encrypted
// safes and keys open with the password.
struct Key {
  ~Key() { EVP_PKEY_free(pkey); }
  EVP_PKEY* pkey = nullptr;
  std::vector<BYTE> localKeyId;
  std::string container;  // once imported
  bool cng = false;
};

struct Cert {
  ~Cert() { X509_free(x509); }
  X509* x509 = nullptr;
  std::vector<BYTE> localKeyId;
  std::u16string friendlyName;
};

std::vector<BYTE> localKeyIdOf(const PKCS12_SAFEBAG* bag) {
  const ASN1_TYPE* t = PKCS12_SAFEBAG_get0_attr(bag, NID_localKeyID);
  if (!t || t->type != V_ASN1_OCTET_STRING) return {};
  const ASN1_OCTET_STRING* s = t->value.octet_string;
  return std::vector<BYTE>(s->data, s->data + s->length);
}

// Walks bags (and nested safe-contents bags), collecting certificates and
// keys. False with the error when a shrouded key does not decrypt.
bool collect(const Bags* bags, const Password& pw, std::vector<std::unique_ptr<Cert>>& certs,
             std::vector<std::unique_ptr<Key>>& keys, DWORD& error, int depth = 0) {
  if (depth > 4) {
    error = DWORD(CRYPT_E_BAD_ENCODE);
    return false;
  }
  for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
    const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
    switch (PKCS12_SAFEBAG_get_nid(bag)) {
      case NID_certBag: {
        if (PKCS12_SAFEBAG_get_bag_nid(bag) != NID_x509Certificate) break;
        auto c = std::make_unique<Cert>();
        c->x509 = PKCS12_SAFEBAG_get1_cert(bag);
        if (!c->x509) {
          error = DWORD(CRYPT_E_BAD_ENCODE);
          return false;
        }
        c->localKeyId = localKeyIdOf(bag);
        if (char* name = PKCS12_get_friendlyname(const_cast<PKCS12_SAFEBAG*>(bag))) {
          c->friendlyName = platform::toWide(name, CP_UTF8);
          OPENSSL_free(name);
        }
        certs.push_back(std::move(c));
        break;
      }
      case NID_keyBag:
      case NID_pkcs8ShroudedKeyBag: {
        PKCS8_PRIV_KEY_INFO* p8 = nullptr;
        bool owned = false;
        if (PKCS12_SAFEBAG_get_nid(bag) == NID_keyBag) {
          p8 = const_cast<PKCS8_PRIV_KEY_INFO*>(PKCS12_SAFEBAG_get0_p8inf(bag));
        } else {
          p8 = PKCS12_decrypt_skey_ex(bag, pw.ptr(), pw.len(), libctx(), nullptr);
          owned = true;
        }
        if (!p8) {
          error = DWORD(ERROR_INVALID_PASSWORD);
          return false;
        }
        auto k = std::make_unique<Key>();
        k->pkey = EVP_PKCS82PKEY_ex(p8, libctx(), nullptr);
        if (owned) PKCS8_PRIV_KEY_INFO_free(p8);
        if (!k->pkey) {
          error = DWORD(NTE_BAD_DATA);
          return false;
        }
        k->localKeyId = localKeyIdOf(bag);
        keys.push_back(std::move(k));
        break;
      }
      case NID_safeContentsBag:
        if (!collect(PKCS12_SAFEBAG_get0_safes(bag), pw, certs, keys, error, depth + 1)) return false;
        break;
      default:
        break;  // CRL and secret bags are not imported
    }
  }
  return true;
}

// Opens the file's contents with `pw`: false with ERROR_INVALID_PASSWORD
// when the password is wrong.
bool openContents(PKCS12* p12, const Password& pw, std::vector<std::unique_ptr<Cert>>& certs,
                  std::vector<std::unique_ptr<Key>>& keys, DWORD& error) {
  if (hasMac(p12) && PKCS12_verify_mac(p12, pw.ptr(), pw.len()) != 1) {
    error = DWORD(ERROR_INVALID_PASSWORD);
    return false;
  }
  std::vector<std::unique_ptr<Safe>> safes;
  if (!readBags(p12, pw, safes, error)) return false;
  for (const auto& safe : safes)
    if (!collect(safe->bags, pw, certs, keys, error)) return false;
  return true;
}

std::string newContainerName() {
  unsigned char r[16];
  RAND_bytes(r, sizeof r);
  r[6] = BYTE((r[6] & 0x0F) | 0x40);
  r[8] = BYTE((r[8] & 0x3F) | 0x80);
  char text[40];
  snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", r[0], r[1],
           r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9], r[10], r[11], r[12], r[13], r[14], r[15]);
  return std::string("{") + text + "}";
}

// The RSA key as a PRIVATEKEYBLOB (wiped by SecretBytes).
bool privateBlob(EVP_PKEY* pkey, SecretBytes& blob) {
  struct Bn {
    BIGNUM* p = nullptr;
    ~Bn() { BN_clear_free(p); }
  } n, e, d, p, q, dp, dq, qi;
  if (EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_N, &n.p) != 1 ||
      EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_E, &e.p) != 1 ||
      EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_D, &d.p) != 1 ||
      EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_FACTOR1, &p.p) != 1 ||
      EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_FACTOR2, &q.p) != 1 ||
      EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT1, &dp.p) != 1 ||
      EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT2, &dq.p) != 1 ||
      EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, &qi.p) != 1)
    return false;
  const DWORD bits = DWORD(BN_num_bits(n.p));
  if (bits % 16 || BN_num_bytes(e.p) > 4) return false;
  const size_t full = bits / 8, half = bits / 16;
  BLOBHEADER header{PRIVATEKEYBLOB, CUR_BLOB_VERSION, 0, CALG_RSA_KEYX};
  RSAPUBKEY rsa{0x32415352, bits, DWORD(BN_get_word(e.p))};
  auto& b = blob.bytes;
  b.resize(sizeof header + sizeof rsa + full * 2 + half * 5);
  memcpy(b.data(), &header, sizeof header);
  memcpy(b.data() + sizeof header, &rsa, sizeof rsa);
  size_t at = sizeof header + sizeof rsa;
  for (auto [bn, width] : {std::pair<BIGNUM*, size_t>{n.p, full}, {p.p, half}, {q.p, half}, {dp.p, half},
                           {dq.p, half}, {qi.p, half}, {d.p, full}}) {
    if (BN_bn2lebinpad(bn, b.data() + at, int(width)) != int(width)) return false;
    at += width;
  }
  return true;
}

// Puts the key into a new container of the software provider (RSA) or the
// key storage provider (EC); fills `info`'s names.
DWORD importKey(Key& key, DWORD flags, HCRYPTPROV* ephemeral) {
  const int type = EVP_PKEY_get_base_id(key.pkey);
  if (type == EVP_PKEY_RSA) {
    SecretBytes blob;
    if (!privateBlob(key.pkey, blob)) return DWORD(NTE_BAD_DATA);
    const bool persist = !(flags & PKCS12_NO_PERSIST_KEY);
    std::string name = persist ? newContainerName() : std::string();
    HCRYPTPROV prov = 0;
    DWORD acquire = persist ? CRYPT_NEWKEYSET : CRYPT_VERIFYCONTEXT;
    if (flags & CRYPT_MACHINE_KEYSET) acquire |= CRYPT_MACHINE_KEYSET;
    if (flags & PKCS12_IMPORT_SILENT) acquire |= CRYPT_SILENT;
    if (!CryptAcquireContextA(&prov, persist ? name.c_str() : nullptr, MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, acquire))
      return GetLastError();
    HCRYPTKEY hKey = 0;
    if (!CryptImportKey(prov, blob.bytes.data(), DWORD(blob.bytes.size()), 0,
                        flags & (CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED), &hKey)) {
      DWORD error = GetLastError();
      CryptReleaseContext(prov, 0);
      if (persist) CryptAcquireContextA(&prov, name.c_str(), MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, CRYPT_DELETEKEYSET);
      return error;
    }
    CryptDestroyKey(hKey);
    if (persist) {
      CryptReleaseContext(prov, 0);
      key.container = name;
    } else {
      *ephemeral = prov;
    }
    return 0;
  }
  if (type == EVP_PKEY_EC) {
    if (flags & PKCS12_NO_PERSIST_KEY) return DWORD(NTE_NOT_SUPPORTED);
    char group[64] = {};
    size_t len = 0;
    if (EVP_PKEY_get_utf8_string_param(key.pkey, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &len) != 1)
      return DWORD(NTE_BAD_DATA);
    ncrypt::KeyFile file;
    const std::string g = group;
    if (g == "prime256v1" || g == "P-256") file.algorithm = "ECDSA_P256";
    else if (g == "secp384r1" || g == "P-384") file.algorithm = "ECDSA_P384";
    else return DWORD(NTE_NOT_SUPPORTED);
    file.name = newContainerName();
    file.exportPolicy =
        (flags & CRYPT_EXPORTABLE) ? NCRYPT_ALLOW_EXPORT_FLAG | NCRYPT_ALLOW_PLAINTEXT_EXPORT_FLAG : 0;
    file.uiVersion = 1;
    file.uiFlags = (flags & CRYPT_USER_PROTECTED) ? NCRYPT_UI_PROTECT_KEY_FLAG : 0;
    PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(key.pkey);
    if (!p8) return DWORD(NTE_BAD_DATA);
    unsigned char* der = nullptr;
    int n = i2d_PKCS8_PRIV_KEY_INFO(p8, &der);
    PKCS8_PRIV_KEY_INFO_free(p8);
    if (n <= 0) return DWORD(NTE_BAD_DATA);
    file.pkcs8.assign(reinterpret_cast<char*>(der), size_t(n));
    OPENSSL_clear_free(der, size_t(n));
    if (DWORD rc = ncrypt::saveKeyFile(file, false)) return rc;
    key.container = file.name;
    key.cng = true;
    return 0;
  }
  return DWORD(NTE_BAD_ALGID);
}

void removeKey(const Key& key) {
  if (key.container.empty()) return;
  if (key.cng) {
    ncrypt::deleteKeyFile(key.container);
  } else {
    HCRYPTPROV prov = 0;
    CryptAcquireContextA(&prov, key.container.c_str(), MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, CRYPT_DELETEKEYSET);
  }
}

bool sameKey(const Cert& c, const Key& k) {
  if (!c.localKeyId.empty() && !k.localKeyId.empty()) return c.localKeyId == k.localKeyId;
  EVP_PKEY* pub = X509_get0_pubkey(c.x509);
  return pub && EVP_PKEY_eq(pub, k.pkey) == 1;
}

constexpr DWORD kKnownFlags = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_MACHINE_KEYSET | CRYPT_USER_KEYSET |
                              PKCS12_INCLUDE_EXTENDED_PROPERTIES | PKCS12_PREFER_CNG_KSP | PKCS12_ALWAYS_CNG_KSP |
                              PKCS12_ALLOW_OVERWRITE_KEY | PKCS12_NO_PERSIST_KEY | PKCS12_VIRTUAL_ISOLATION_KEY |
                              PKCS12_IMPORT_SILENT;

}  // namespace

}  // namespace velmora::crypt

using namespace velmora::crypt;

BOOL PFXIsPFXBlob(CRYPT_DATA_BLOB* pPFX) {
  if (!parse(pPFX)) return fail(DWORD(CRYPT_E_BAD_ENCODE));
  return TRUE;
}

BOOL PFXVerifyPassword(CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD) {
  P12 p12 = parse(pPFX);
  if (!p12) return fail(DWORD(CRYPT_E_BAD_ENCODE));
  Password pw(szPassword);
  if (hasMac(p12.get())) {
    if (PKCS12_verify_mac(p12.get(), pw.ptr(), pw.len()) == 1) return TRUE;
    return fail(ERROR_INVALID_PASSWORD);
  }
  std::vector<std::unique_ptr<Cert>> certs;
  std::vector<std::unique_ptr<Key>> keys;
  DWORD error = 0;
  if (!openContents(p12.get(), pw, certs, keys, error)) return fail(error);
  return TRUE;
}

HCERTSTORE PFXImportCertStore(CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD dwFlags) {
  auto failNull = [](DWORD error) -> HCERTSTORE {
    SetLastError(error);
    return nullptr;
  };
  if (!pPFX) return failNull(ERROR_INVALID_PARAMETER);
  if (dwFlags & ~kKnownFlags) return failNull(DWORD(NTE_BAD_FLAGS));
  P12 p12 = parse(pPFX);
  if (!p12) return failNull(DWORD(CRYPT_E_BAD_ENCODE));
  Password pw(szPassword);
  std::vector<std::unique_ptr<Cert>> certs;
  std::vector<std::unique_ptr<Key>> keys;
  DWORD error = 0;
  if (!openContents(p12.get(), pw, certs, keys, error)) return failNull(error);

  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  if (!store) return nullptr;
  auto undo = [&](DWORD why) {
    for (const auto& k : keys) removeKey(*k);
    CertCloseStore(store, 0);
    return failNull(why);
  };
  for (const auto& c : certs) {
    unsigned char* der = nullptr;
    int n = i2d_X509(c->x509, &der);
    if (n <= 0) return undo(DWORD(CRYPT_E_BAD_ENCODE));
    PCCERT_CONTEXT ctx = nullptr;
    BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, DWORD(n),
                                                  CERT_STORE_ADD_USE_EXISTING, &ctx);
    OPENSSL_free(der);
    if (!added) return undo(GetLastError());
    if (!c->friendlyName.empty()) {
      CRYPT_DATA_BLOB name{DWORD((c->friendlyName.size() + 1) * 2), reinterpret_cast<BYTE*>(c->friendlyName.data())};
      CertSetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, 0, &name);
    }
    for (auto& k : keys) {
      if (!sameKey(*c, *k)) continue;
      HCRYPTPROV ephemeral = 0;
      if (k->container.empty()) {
        if (DWORD rc = importKey(*k, dwFlags, &ephemeral)) {
          CertFreeCertificateContext(ctx);
          return undo(rc);
        }
      }
      if (ephemeral) {
        // Not persisted: the certificate's context holds the key.
        CERT_KEY_CONTEXT kc{sizeof(CERT_KEY_CONTEXT), ephemeral, AT_KEYEXCHANGE};
        CertSetCertificateContextProperty(ctx, CERT_KEY_CONTEXT_PROP_ID, 0, &kc);
      } else {
        std::u16string container = velmora::platform::toWide(k->container, CP_UTF8);
        std::u16string provider = k->cng ? std::u16string(MS_KEY_STORAGE_PROVIDER)
                                         : velmora::platform::toWide(MS_ENH_RSA_AES_PROV_A, CP_UTF8);
        CRYPT_KEY_PROV_INFO info{};
        info.pwszContainerName = container.data();
        info.pwszProvName = provider.data();
        info.dwProvType = k->cng ? 0 : PROV_RSA_AES;
        info.dwFlags = (dwFlags & CRYPT_MACHINE_KEYSET) ? CRYPT_MACHINE_KEYSET : 0;
        info.dwKeySpec = k->cng ? 0 : AT_KEYEXCHANGE;
        if (!CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
          DWORD why = GetLastError();
          CertFreeCertificateContext(ctx);
          return undo(why);
        }
      }
      break;
    }
    CertFreeCertificateContext(ctx);
  }
  SetLastError(0);
  return store;
}
