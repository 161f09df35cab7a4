// Key objects of a token: listing, finding, key handles, key-pair generation.
#include <openssl/core_names.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>

#include <cstring>

#include "p11_layer.h"

namespace quennet {

PKCS11_KEY::~PKCS11_KEY() {
  EVP_PKEY_free(handle);
  EVP_PKEY_free(publicKey);
}

namespace {

std::string toText(const std::vector<unsigned char>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Lists the objects of one class; `each` returns false to fail the listing.
template <typename Each>
CK_RV findObjects(PKCS11_SLOT& slot, CK_OBJECT_CLASS cls, Each each, bool& stopped) {
  CK_ATTRIBUTE search = {CKA_CLASS, &cls, sizeof cls};
  CK_RV rv = p11Call(slot.ctx.get(), &CK_FUNCTION_LIST::C_FindObjectsInit, slot.session, &search, CK_ULONG(1));
  if (rv != CKR_OK) return rv;
  stopped = false;
  for (;;) {
    CK_OBJECT_HANDLE object = 0;
    CK_ULONG found = 0;
    rv = p11Call(slot.ctx.get(), &CK_FUNCTION_LIST::C_FindObjects, slot.session, &object, CK_ULONG(1), &found);
    if (rv != CKR_OK || found == 0) break;
    if (!each(object)) {
      stopped = true;
      break;
    }
  }
  p11Call(slot.ctx.get(), &CK_FUNCTION_LIST::C_FindObjectsFinal, slot.session);
  return rv;
}

EVP_PKEY* publicFromParams(const char* type, OSSL_PARAM_BLD* bld) {
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY* pkey = nullptr;
  EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr);
  if (params && pctx && EVP_PKEY_fromdata_init(pctx) > 0) EVP_PKEY_fromdata(pctx, &pkey, EVP_PKEY_PUBLIC_KEY, params);
  EVP_PKEY_CTX_free(pctx);
  OSSL_PARAM_free(params);
  return pkey;
}

EVP_PKEY* rsaPublicKey(PKCS11_SLOT& slot, CK_OBJECT_HANDLE object) {
  std::vector<unsigned char> n, e;
  if (readAttribute(slot, object, CKA_MODULUS, n, 4196) != CKR_OK || n.empty()) return nullptr;
  if (readAttribute(slot, object, CKA_PUBLIC_EXPONENT, e, 4196) != CKR_OK || e.empty()) return nullptr;
  BIGNUM* bn = BN_bin2bn(n.data(), int(n.size()), nullptr);
  BIGNUM* be = BN_bin2bn(e.data(), int(e.size()), nullptr);
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  EVP_PKEY* pkey = nullptr;
  if (bn && be && bld && OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, bn) &&
      OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, be))
    pkey = publicFromParams("RSA", bld);
  OSSL_PARAM_BLD_free(bld);
  BN_free(bn);
  BN_free(be);
  return pkey;
}

// The curve named by CKA_EC_PARAMS (a named-curve object identifier), or 0.
int ecCurve(PKCS11_SLOT& slot, CK_OBJECT_HANDLE object) {
  std::vector<unsigned char> der;
  if (readAttribute(slot, object, CKA_EC_PARAMS, der) != CKR_OK || der.empty()) return 0;
  const unsigned char* p = der.data();
  ASN1_OBJECT* oid = d2i_ASN1_OBJECT(nullptr, &p, long(der.size()));
  int nid = oid ? OBJ_obj2nid(oid) : NID_undef;
  ASN1_OBJECT_free(oid);
  return nid == NID_undef ? 0 : nid;
}

// CKA_EC_POINT: a DER OCTET STRING around the point, or the bare point.
bool ecPoint(PKCS11_SLOT& slot, CK_OBJECT_HANDLE object, std::vector<unsigned char>& point) {
  std::vector<unsigned char> der;
  if (readAttribute(slot, object, CKA_EC_POINT, der) != CKR_OK || der.empty()) return false;
  const unsigned char* p = der.data();
  ASN1_OCTET_STRING* os = d2i_ASN1_OCTET_STRING(nullptr, &p, long(der.size()));
  if (os && p == der.data() + der.size()) {
    point.assign(os->data, os->data + os->length);
  } else {
    point = der;
  }
  ASN1_OCTET_STRING_free(os);
  return !point.empty();
}

EVP_PKEY* ecPublicKey(int curve, const std::vector<unsigned char>& point) {
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  EVP_PKEY* pkey = nullptr;
  if (bld && OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, OBJ_nid2sn(curve), 0) &&
      OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()))
    pkey = publicFromParams("EC", bld);
  OSSL_PARAM_BLD_free(bld);
  return pkey;
}

// Builds the kept handle of a key record (once).
void makeHandle(PKCS11_KEY& key) {
  if (key.handleTried) return;
  key.handleTried = true;
  PKCS11_SLOT& slot = *key.token->slot;
  if (key.keyType == CKK_RSA) {
    key.publicKey = rsaPublicKey(slot, key.object);
    if (!key.publicKey) return;
    if (key.isPrivate) {
      key.handle = makeTokenKey(key, key.publicKey, 0);
    } else if (EVP_PKEY_up_ref(key.publicKey)) {
      key.handle = key.publicKey;
    }
    return;
  }
  int curve = ecCurve(slot, key.object);
  if (!curve) return;
  std::vector<unsigned char> point;
  bool havePoint = ecPoint(slot, key.object, point);
  if (!havePoint && key.isPrivate) {
    // Private EC objects often carry no point: take it from the public key
    // of the same pair, found by id, or by label when the pair has no id
    // (an empty id would match every key).
    PKCS11_KEY* pub = key.id.empty() ? PKCS11_find_key(*key.token, key.label, false)
                                     : findKeyById(*key.token, key.id, false);
    if (pub && pub->keyType == CKK_EC && ecCurve(slot, pub->object) == curve) havePoint = ecPoint(slot, pub->object, point);
  }
  if (havePoint) key.publicKey = ecPublicKey(curve, point);
  if (key.isPrivate) {
    key.handle = makeTokenKey(key, key.publicKey, curve);
  } else if (key.publicKey && EVP_PKEY_up_ref(key.publicKey)) {
    key.handle = key.publicKey;
  }
}

CK_ATTRIBUTE attr(CK_ATTRIBUTE_TYPE type, const void* value, size_t size) {
  return CK_ATTRIBUTE{type, const_cast<void*>(value), CK_ULONG(size)};
}

}  // namespace

std::vector<std::unique_ptr<PKCS11_KEY>>* enumKeys(PKCS11_TOKEN& token) {
  if (token.keysEnumerated) return &token.keys;
  PKCS11_SLOT& slot = *token.slot;
  if (openSession(slot) != 0) return nullptr;
  token.keys.clear();
  for (CK_OBJECT_CLASS cls : {CK_OBJECT_CLASS(CKO_PUBLIC_KEY), CK_OBJECT_CLASS(CKO_PRIVATE_KEY)}) {
    CK_RV failure = CKR_OK;
    bool stopped = false;
    CK_RV rv = findObjects(
        slot, cls,
        [&](CK_OBJECT_HANDLE object) {
          CK_ULONG type = 0;
          if (!readUlong(slot, object, CKA_KEY_TYPE, type)) {
            failure = CKR_ATTRIBUTE_TYPE_INVALID;
            return false;
          }
          if (type != CKK_RSA && type != CKK_EC) return true;
          auto key = std::make_unique<PKCS11_KEY>();
          key->token = &token;
          key->object = object;
          key->keyType = type;
          key->isPrivate = cls == CKO_PRIVATE_KEY;
          std::vector<unsigned char> bytes;
          if (readAttribute(slot, object, CKA_LABEL, bytes, 256) == CKR_OK) key->label = toText(bytes);
          if (readAttribute(slot, object, CKA_ID, bytes, 256) == CKR_OK) key->id = bytes;
          token.keys.push_back(std::move(key));
          return true;
        },
        stopped);
    if (rv != CKR_OK || stopped) {
      pushError(F_ENUM_KEYS, rv != CKR_OK ? rv : failure);
      token.keys.clear();
      return nullptr;
    }
  }
  token.keysEnumerated = true;
  return &token.keys;
}

void releaseKeys(PKCS11_TOKEN& token) {
  token.keys.clear();
  token.keysEnumerated = false;
}

PKCS11_KEY* PKCS11_find_key(PKCS11_TOKEN& token, const std::string& label, bool isPrivate) {
  auto* keys = enumKeys(token);
  if (!keys) return nullptr;
  for (auto& key : *keys)
    if (key->isPrivate == isPrivate && key->label == label) return key.get();
  return nullptr;
}

PKCS11_KEY* findKeyById(PKCS11_TOKEN& token, const std::vector<unsigned char>& id, bool isPrivate) {
  auto* keys = enumKeys(token);
  if (!keys) return nullptr;
  for (auto& key : *keys)
    if (key->isPrivate == isPrivate && key->id.size() >= id.size() &&
        std::equal(id.begin(), id.end(), key->id.begin()))
      return key.get();
  return nullptr;
}

PKCS11_KEY* PKCS11_find_key_from_cert(PKCS11_TOKEN& token, X509* cert) {
  EVP_PKEY* certKey = cert ? X509_get0_pubkey(cert) : nullptr;
  auto* keys = certKey ? enumKeys(token) : nullptr;
  if (!keys) return nullptr;
  for (bool isPrivate : {false, true}) {
    for (auto& key : *keys) {
      if (key->isPrivate != isPrivate) continue;
      makeHandle(*key);
      if (key->publicKey && EVP_PKEY_eq(key->publicKey, certKey) == 1) return key.get();
    }
  }
  return nullptr;
}

EVP_PKEY* PKCS11_get_private_key(PKCS11_KEY& key) {
  makeHandle(key);
  return key.handle;
}

EVP_PKEY* PKCS11_get_public_key(PKCS11_KEY& key) {
  makeHandle(key);
  return key.publicKey;
}

bool keyValue(PKCS11_KEY& key, std::vector<unsigned char>& value) {
  return readAttribute(*key.token->slot, key.object, CKA_VALUE, value, 4096) == CKR_OK;
}

long PKCS11_generateRSAKey(PKCS11_TOKEN& token, int bits, const std::string& label, int keyType) {
  PKCS11_SLOT& slot = *token.slot;
  if (openSession(slot) != 0) return -1;
  CK_OBJECT_CLASS pubClass = CKO_PUBLIC_KEY, privClass = CKO_PRIVATE_KEY;
  CK_KEY_TYPE rsa = CKK_RSA;
  CK_BBOOL yes = CK_TRUE;
  CK_ULONG modulusBits = CK_ULONG(bits);
  // 65537 as the standard's big-endian integer: the four little-endian
  // bytes 01 00 01 00 read as an even exponent, which modules refuse.
  static const CK_BYTE exponent[] = {0x01, 0x00, 0x01};
  CK_ATTRIBUTE pub[] = {
      attr(CKA_LABEL, label.data(), label.size()),
      attr(CKA_CLASS, &pubClass, sizeof pubClass),
      attr(CKA_KEY_TYPE, &rsa, sizeof rsa),
      attr(CKA_TOKEN, &yes, sizeof yes),
      attr(keyType == 1 ? CKA_VERIFY : CKA_ENCRYPT, &yes, sizeof yes),
      attr(CKA_MODULUS_BITS, &modulusBits, sizeof modulusBits),
      attr(CKA_PUBLIC_EXPONENT, exponent, sizeof exponent),
  };
  CK_ATTRIBUTE priv[] = {
      attr(CKA_LABEL, label.data(), label.size()),
      attr(CKA_CLASS, &privClass, sizeof privClass),
      attr(CKA_KEY_TYPE, &rsa, sizeof rsa),
      attr(CKA_TOKEN, &yes, sizeof yes),
      attr(CKA_PRIVATE, &yes, sizeof yes),
      attr(keyType == 1 ? CKA_SIGN : CKA_DECRYPT, &yes, sizeof yes),
  };
  CK_MECHANISM mechanism = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE hPub = 0, hPriv = 0;
  return long(p11Call(slot.ctx.get(), &CK_FUNCTION_LIST::C_GenerateKeyPair, slot.session, &mechanism, pub,
                      CK_ULONG(std::size(pub)), priv, CK_ULONG(std::size(priv)), &hPub, &hPriv));
}

long PKCS11_generateECCKey(PKCS11_TOKEN& token, const std::string& label, int keyType) {
  PKCS11_SLOT& slot = *token.slot;
  if (openSession(slot) != 0) return -1;
  CK_OBJECT_CLASS pubClass = CKO_PUBLIC_KEY, privClass = CKO_PRIVATE_KEY;
  CK_KEY_TYPE ec = CKK_EC;
  CK_BBOOL yes = CK_TRUE;
  // The caller asks for 256-bit keys, and a standard module needs the curve
  // named: P-256 (prime256v1).
  static const CK_BYTE p256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
  CK_ATTRIBUTE pub[] = {
      attr(CKA_LABEL, label.data(), label.size()),
      attr(CKA_CLASS, &pubClass, sizeof pubClass),
      attr(CKA_KEY_TYPE, &ec, sizeof ec),
      attr(CKA_TOKEN, &yes, sizeof yes),
      attr(keyType == 1 ? CKA_VERIFY : CKA_ENCRYPT, &yes, sizeof yes),
      attr(CKA_EC_PARAMS, p256, sizeof p256),
  };
  CK_ATTRIBUTE priv[] = {
      attr(CKA_LABEL, label.data(), label.size()),
      attr(CKA_CLASS, &privClass, sizeof privClass),
      attr(CKA_KEY_TYPE, &ec, sizeof ec),
      attr(CKA_TOKEN, &yes, sizeof yes),
      attr(CKA_PRIVATE, &yes, sizeof yes),
      attr(keyType == 1 ? CKA_SIGN : CKA_DECRYPT, &yes, sizeof yes),
  };
  CK_MECHANISM mechanism = {CKM_EC_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE hPub = 0, hPriv = 0;
  return long(p11Call(slot.ctx.get(), &CK_FUNCTION_LIST::C_GenerateKeyPair, slot.session, &mechanism, pub,
                      CK_ULONG(std::size(pub)), priv, CK_ULONG(std::size(priv)), &hPub, &hPriv));
}

}  // namespace quennet
