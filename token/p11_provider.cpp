// Key handles whose private operations run on the token, through a small
// OpenSSL provider of the component's own ("quennet"): a key manager for
// RSA and EC keys that refer to a token object, and RSA and ECDSA signature
// implementations that sign on the token. The provider lives in a library
// context of its own, so no other code of the process ever picks it.
#include <openssl/core_dispatch.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/objects.h>
#include <openssl/params.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>

#include <cstring>

#include "p11_layer.h"

namespace quennet {

const char* const kTokenPropQuery = "?provider=quennet";

namespace {

constexpr const char* kKeyRefParam = "quennet-key-ref";

// What a token key carries: the object to sign with and its public values.
struct KeyData {
  std::weak_ptr<PKCS11_SLOT> slot;
  CK_OBJECT_HANDLE object = 0;
  bool isEc = false;
  EVP_PKEY* pub = nullptr;  // software public key; may be null for EC
  int bits = 0;
  int securityBits = 0;
  int maxSize = 0;
  int orderBits = 0;  // EC only
  size_t keyBytes = 0;  // RSA only
};

// ---------------- key manager ----------------

void* kmNew(void*) { return new KeyData; }

void kmFree(void* kd) {
  auto* key = static_cast<KeyData*>(kd);
  if (!key) return;
  EVP_PKEY_free(key->pub);
  delete key;
}

int kmHas(const void* kd, int selection) {
  auto* key = static_cast<const KeyData*>(kd);
  if (!key) return 0;
  if ((selection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) && !key->pub) return 0;
  return 1;
}

int kmImport(void* kd, int, const OSSL_PARAM params[]) {
  auto* key = static_cast<KeyData*>(kd);
  const OSSL_PARAM* p = OSSL_PARAM_locate_const(params, kKeyRefParam);
  const void* ref = nullptr;
  size_t len = 0;
  if (!key || !p || !OSSL_PARAM_get_octet_string_ptr(p, &ref, &len) || len != sizeof(KeyData*)) return 0;
  const KeyData* proto = nullptr;
  memcpy(&proto, ref, sizeof proto);
  if (!proto || (proto->pub && !EVP_PKEY_up_ref(proto->pub))) return 0;
  EVP_PKEY_free(key->pub);
  *key = *proto;
  return 1;
}

const OSSL_PARAM* kmImportTypes(int) {
  static const OSSL_PARAM types[] = {OSSL_PARAM_octet_string(kKeyRefParam, nullptr, 0), OSSL_PARAM_END};
  return types;
}

// Only public values leave the key: a private key on a token cannot be
// copied into another implementation.
int kmExport(void* kd, int selection, OSSL_CALLBACK* cb, void* cbarg) {
  auto* key = static_cast<KeyData*>(kd);
  if (!key || !key->pub || (selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY)) return 0;
  OSSL_PARAM* params = nullptr;
  if (EVP_PKEY_todata(key->pub, EVP_PKEY_PUBLIC_KEY, &params) <= 0) return 0;
  int ok = cb(params, cbarg);
  OSSL_PARAM_free(params);
  return ok;
}

const OSSL_PARAM* kmRsaExportTypes(int) {
  static const OSSL_PARAM types[] = {OSSL_PARAM_BN(OSSL_PKEY_PARAM_RSA_N, nullptr, 0),
                                     OSSL_PARAM_BN(OSSL_PKEY_PARAM_RSA_E, nullptr, 0), OSSL_PARAM_END};
  return types;
}

const OSSL_PARAM* kmEcExportTypes(int) {
  static const OSSL_PARAM types[] = {OSSL_PARAM_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, nullptr, 0),
                                     OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0), OSSL_PARAM_END};
  return types;
}

int kmGetParams(void* kd, OSSL_PARAM params[]) {
  auto* key = static_cast<KeyData*>(kd);
  if (!key) return 0;
  if (key->pub && !EVP_PKEY_get_params(key->pub, params)) return 0;
  OSSL_PARAM* p;
  if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_BITS)) && !OSSL_PARAM_set_int(p, key->bits)) return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_SECURITY_BITS)) && !OSSL_PARAM_set_int(p, key->securityBits))
    return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_MAX_SIZE)) && !OSSL_PARAM_set_int(p, key->maxSize)) return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_DEFAULT_DIGEST)) && !OSSL_PARAM_set_utf8_string(p, "SHA256"))
    return 0;
  return 1;
}

const OSSL_PARAM* kmGettableParams(void*) {
  static const OSSL_PARAM types[] = {OSSL_PARAM_int(OSSL_PKEY_PARAM_BITS, nullptr),
                                     OSSL_PARAM_int(OSSL_PKEY_PARAM_SECURITY_BITS, nullptr),
                                     OSSL_PARAM_int(OSSL_PKEY_PARAM_MAX_SIZE, nullptr),
                                     OSSL_PARAM_utf8_string(OSSL_PKEY_PARAM_DEFAULT_DIGEST, nullptr, 0),
                                     OSSL_PARAM_END};
  return types;
}

const char* kmRsaOperationName(int) { return "RSA"; }
const char* kmEcOperationName(int) { return "ECDSA"; }

using Fn = void (*)();

const OSSL_DISPATCH kRsaKeymgmt[] = {
    {OSSL_FUNC_KEYMGMT_NEW, Fn(kmNew)},
    {OSSL_FUNC_KEYMGMT_FREE, Fn(kmFree)},
    {OSSL_FUNC_KEYMGMT_HAS, Fn(kmHas)},
    {OSSL_FUNC_KEYMGMT_IMPORT, Fn(kmImport)},
    {OSSL_FUNC_KEYMGMT_IMPORT_TYPES, Fn(kmImportTypes)},
    {OSSL_FUNC_KEYMGMT_EXPORT, Fn(kmExport)},
    {OSSL_FUNC_KEYMGMT_EXPORT_TYPES, Fn(kmRsaExportTypes)},
    {OSSL_FUNC_KEYMGMT_GET_PARAMS, Fn(kmGetParams)},
    {OSSL_FUNC_KEYMGMT_GETTABLE_PARAMS, Fn(kmGettableParams)},
    {OSSL_FUNC_KEYMGMT_QUERY_OPERATION_NAME, Fn(kmRsaOperationName)},
    {0, nullptr},
};

const OSSL_DISPATCH kEcKeymgmt[] = {
    {OSSL_FUNC_KEYMGMT_NEW, Fn(kmNew)},
    {OSSL_FUNC_KEYMGMT_FREE, Fn(kmFree)},
    {OSSL_FUNC_KEYMGMT_HAS, Fn(kmHas)},
    {OSSL_FUNC_KEYMGMT_IMPORT, Fn(kmImport)},
    {OSSL_FUNC_KEYMGMT_IMPORT_TYPES, Fn(kmImportTypes)},
    {OSSL_FUNC_KEYMGMT_EXPORT, Fn(kmExport)},
    {OSSL_FUNC_KEYMGMT_EXPORT_TYPES, Fn(kmEcExportTypes)},
    {OSSL_FUNC_KEYMGMT_GET_PARAMS, Fn(kmGetParams)},
    {OSSL_FUNC_KEYMGMT_GETTABLE_PARAMS, Fn(kmGettableParams)},
    {OSSL_FUNC_KEYMGMT_QUERY_OPERATION_NAME, Fn(kmEcOperationName)},
    {0, nullptr},
};

// ---------------- signature ----------------

struct SigCtx {
  bool isEc = false;
  KeyData* key = nullptr;  // kept alive by the EVP_PKEY of the operation
  EVP_MD* md = nullptr;
  EVP_MD_CTX* mdctx = nullptr;
};

void* sigNewRsa(void*, const char*) { return new SigCtx; }
void* sigNewEc(void*, const char*) {
  auto* ctx = new SigCtx;
  ctx->isEc = true;
  return ctx;
}

void sigFree(void* c) {
  auto* ctx = static_cast<SigCtx*>(c);
  if (!ctx) return;
  EVP_MD_CTX_free(ctx->mdctx);
  EVP_MD_free(ctx->md);
  delete ctx;
}

void* sigDup(void* c) {
  auto* from = static_cast<SigCtx*>(c);
  auto* to = new SigCtx(*from);
  to->md = nullptr;
  to->mdctx = nullptr;
  if (from->md && EVP_MD_up_ref(from->md)) to->md = from->md;
  if (from->mdctx) {
    to->mdctx = EVP_MD_CTX_new();
    if (!to->mdctx || !EVP_MD_CTX_copy_ex(to->mdctx, from->mdctx)) {
      sigFree(to);
      return nullptr;
    }
  }
  return to;
}

bool setDigest(SigCtx* ctx, const char* name) {
  EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
  if (!md) return false;
  EVP_MD_free(ctx->md);
  ctx->md = md;
  return true;
}

int sigSetParams(void* c, const OSSL_PARAM params[]) {
  auto* ctx = static_cast<SigCtx*>(c);
  if (!params) return 1;
  const OSSL_PARAM* p = OSSL_PARAM_locate_const(params, OSSL_SIGNATURE_PARAM_DIGEST);
  if (p) {
    const char* name = nullptr;
    if (!OSSL_PARAM_get_utf8_string_ptr(p, &name) || !setDigest(ctx, name)) return 0;
  }
  p = OSSL_PARAM_locate_const(params, OSSL_SIGNATURE_PARAM_PAD_MODE);
  if (p) {
    // The token signs with PKCS#1 v1.5 padding only.
    int mode = 0;
    const char* name = nullptr;
    if (p->data_type == OSSL_PARAM_UTF8_STRING) {
      if (!OSSL_PARAM_get_utf8_string_ptr(p, &name) || strcmp(name, OSSL_PKEY_RSA_PAD_MODE_PKCSV15) != 0) return 0;
    } else if (!OSSL_PARAM_get_int(p, &mode) || mode != RSA_PKCS1_PADDING) {
      return 0;
    }
  }
  return 1;
}

const OSSL_PARAM* sigSettableParams(void*, void*) {
  static const OSSL_PARAM types[] = {OSSL_PARAM_utf8_string(OSSL_SIGNATURE_PARAM_DIGEST, nullptr, 0),
                                     OSSL_PARAM_utf8_string(OSSL_SIGNATURE_PARAM_PROPERTIES, nullptr, 0),
                                     OSSL_PARAM_utf8_string(OSSL_SIGNATURE_PARAM_PAD_MODE, nullptr, 0),
                                     OSSL_PARAM_END};
  return types;
}

// The signature's AlgorithmIdentifier; its parameters are an explicit NULL
// for both key types.
int sigGetParams(void* c, OSSL_PARAM params[]) {
  auto* ctx = static_cast<SigCtx*>(c);
  OSSL_PARAM* p = OSSL_PARAM_locate(params, OSSL_SIGNATURE_PARAM_ALGORITHM_ID);
  if (p) {
    int sigNid = NID_undef;
    if (!ctx->md ||
        !OBJ_find_sigid_by_algs(&sigNid, EVP_MD_get_type(ctx->md),
                                ctx->isEc ? NID_X9_62_id_ecPublicKey : NID_rsaEncryption))
      return 0;
    X509_ALGOR* alg = X509_ALGOR_new();
    unsigned char* der = nullptr;
    int n = 0;
    if (alg && X509_ALGOR_set0(alg, OBJ_nid2obj(sigNid), V_ASN1_NULL, nullptr)) n = i2d_X509_ALGOR(alg, &der);
    X509_ALGOR_free(alg);
    int ok = n > 0 && OSSL_PARAM_set_octet_string(p, der, size_t(n));
    OPENSSL_free(der);
    if (!ok) return 0;
  }
  p = OSSL_PARAM_locate(params, OSSL_SIGNATURE_PARAM_DIGEST);
  if (p && !OSSL_PARAM_set_utf8_string(p, ctx->md ? EVP_MD_get0_name(ctx->md) : "")) return 0;
  return 1;
}

const OSSL_PARAM* sigGettableParams(void*, void*) {
  static const OSSL_PARAM types[] = {OSSL_PARAM_octet_string(OSSL_SIGNATURE_PARAM_ALGORITHM_ID, nullptr, 0),
                                     OSSL_PARAM_utf8_string(OSSL_SIGNATURE_PARAM_DIGEST, nullptr, 0),
                                     OSSL_PARAM_END};
  return types;
}

int sigSignInit(void* c, void* kd, const OSSL_PARAM params[]) {
  auto* ctx = static_cast<SigCtx*>(c);
  auto* key = static_cast<KeyData*>(kd);
  if (!ctx || !key || key->isEc != ctx->isEc) return 0;
  ctx->key = key;
  return sigSetParams(ctx, params);
}

int sigSign(void* c, unsigned char* sig, size_t* siglen, size_t sigsize, const unsigned char* tbs, size_t tbslen) {
  auto* ctx = static_cast<SigCtx*>(c);
  if (!ctx || !ctx->key) return 0;
  if (!sig) {
    *siglen = size_t(ctx->key->maxSize);
    return 1;
  }
  std::vector<unsigned char> out;
  bool ok = ctx->isEc ? tokenEcdsaSign(ctx->key->slot, ctx->key->object, ctx->key->orderBits, tbs, tbslen, out)
                      : tokenRsaSign(ctx->key->slot, ctx->key->object, ctx->key->keyBytes,
                                     ctx->md ? EVP_MD_get_type(ctx->md) : 0, tbs, tbslen, out);
  if (!ok || out.size() > sigsize) return 0;
  memcpy(sig, out.data(), out.size());
  *siglen = out.size();
  return 1;
}

int sigDigestSignInit(void* c, const char* mdname, void* kd, const OSSL_PARAM params[]) {
  auto* ctx = static_cast<SigCtx*>(c);
  if (!sigSignInit(c, kd, params)) return 0;
  if (mdname && *mdname && !setDigest(ctx, mdname)) return 0;
  if (!ctx->md) return 0;
  EVP_MD_CTX_free(ctx->mdctx);
  ctx->mdctx = EVP_MD_CTX_new();
  return ctx->mdctx && EVP_DigestInit_ex2(ctx->mdctx, ctx->md, nullptr);
}

int sigDigestSignUpdate(void* c, const unsigned char* data, size_t len) {
  auto* ctx = static_cast<SigCtx*>(c);
  return ctx && ctx->mdctx && EVP_DigestUpdate(ctx->mdctx, data, len);
}

int sigDigestSignFinal(void* c, unsigned char* sig, size_t* siglen, size_t sigsize) {
  auto* ctx = static_cast<SigCtx*>(c);
  if (!ctx || !ctx->mdctx || !ctx->key) return 0;
  if (!sig) {
    *siglen = size_t(ctx->key->maxSize);
    return 1;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!EVP_DigestFinal_ex(ctx->mdctx, digest, &len)) return 0;
  return sigSign(ctx, sig, siglen, sigsize, digest, len);
}

const OSSL_DISPATCH kRsaSignature[] = {
    {OSSL_FUNC_SIGNATURE_NEWCTX, Fn(sigNewRsa)},
    {OSSL_FUNC_SIGNATURE_FREECTX, Fn(sigFree)},
    {OSSL_FUNC_SIGNATURE_DUPCTX, Fn(sigDup)},
    {OSSL_FUNC_SIGNATURE_SIGN_INIT, Fn(sigSignInit)},
    {OSSL_FUNC_SIGNATURE_SIGN, Fn(sigSign)},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_INIT, Fn(sigDigestSignInit)},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_UPDATE, Fn(sigDigestSignUpdate)},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_FINAL, Fn(sigDigestSignFinal)},
    {OSSL_FUNC_SIGNATURE_GET_CTX_PARAMS, Fn(sigGetParams)},
    {OSSL_FUNC_SIGNATURE_GETTABLE_CTX_PARAMS, Fn(sigGettableParams)},
    {OSSL_FUNC_SIGNATURE_SET_CTX_PARAMS, Fn(sigSetParams)},
    {OSSL_FUNC_SIGNATURE_SETTABLE_CTX_PARAMS, Fn(sigSettableParams)},
    {0, nullptr},
};

const OSSL_DISPATCH kEcSignature[] = {
    {OSSL_FUNC_SIGNATURE_NEWCTX, Fn(sigNewEc)},
    {OSSL_FUNC_SIGNATURE_FREECTX, Fn(sigFree)},
    {OSSL_FUNC_SIGNATURE_DUPCTX, Fn(sigDup)},
    {OSSL_FUNC_SIGNATURE_SIGN_INIT, Fn(sigSignInit)},
    {OSSL_FUNC_SIGNATURE_SIGN, Fn(sigSign)},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_INIT, Fn(sigDigestSignInit)},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_UPDATE, Fn(sigDigestSignUpdate)},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_FINAL, Fn(sigDigestSignFinal)},
    {OSSL_FUNC_SIGNATURE_GET_CTX_PARAMS, Fn(sigGetParams)},
    {OSSL_FUNC_SIGNATURE_GETTABLE_CTX_PARAMS, Fn(sigGettableParams)},
    {OSSL_FUNC_SIGNATURE_SET_CTX_PARAMS, Fn(sigSetParams)},
    {OSSL_FUNC_SIGNATURE_SETTABLE_CTX_PARAMS, Fn(sigSettableParams)},
    {0, nullptr},
};

// ---------------- the provider ----------------

const OSSL_ALGORITHM kKeymgmts[] = {
    {"RSA:rsaEncryption", "provider=quennet", kRsaKeymgmt, nullptr},
    {"EC:id-ecPublicKey", "provider=quennet", kEcKeymgmt, nullptr},
    {nullptr, nullptr, nullptr, nullptr},
};

const OSSL_ALGORITHM kSignatures[] = {
    {"RSA:rsaEncryption", "provider=quennet", kRsaSignature, nullptr},
    {"ECDSA", "provider=quennet", kEcSignature, nullptr},
    {nullptr, nullptr, nullptr, nullptr},
};

const OSSL_ALGORITHM* providerQuery(void*, int operation, int* noCache) {
  *noCache = 0;
  switch (operation) {
    case OSSL_OP_KEYMGMT: return kKeymgmts;
    case OSSL_OP_SIGNATURE: return kSignatures;
    default: return nullptr;
  }
}

int providerInit(const OSSL_CORE_HANDLE*, const OSSL_DISPATCH*, const OSSL_DISPATCH** out, void** provctx) {
  static const OSSL_DISPATCH dispatch[] = {
      {OSSL_FUNC_PROVIDER_QUERY_OPERATION, Fn(providerQuery)},
      {0, nullptr},
  };
  *out = dispatch;
  static int context;
  *provctx = &context;
  return 1;
}

int derLength(int contentLength) {
  return contentLength < 128 ? 2 + contentLength : contentLength < 256 ? 3 + contentLength : 4 + contentLength;
}

}  // namespace

OSSL_LIB_CTX* tokenLibCtx() {
  static OSSL_LIB_CTX* libctx = [] {
    OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
    if (ctx && OSSL_PROVIDER_load(ctx, "default") && OSSL_PROVIDER_add_builtin(ctx, "quennet", providerInit) &&
        OSSL_PROVIDER_load(ctx, "quennet"))
      return ctx;
    OSSL_LIB_CTX_free(ctx);
    return static_cast<OSSL_LIB_CTX*>(nullptr);
  }();
  return libctx;
}

EVP_PKEY* makeTokenKey(PKCS11_KEY& key, EVP_PKEY* publicKey, int ecGroupNid) {
  OSSL_LIB_CTX* libctx = tokenLibCtx();
  if (!libctx || !key.token || !key.token->slot) return nullptr;
  KeyData proto;
  proto.slot = key.token->slot->weak_from_this();
  proto.object = key.object;
  proto.isEc = key.keyType == CKK_EC;
  proto.pub = publicKey;
  if (proto.isEc) {
    EC_GROUP* group = EC_GROUP_new_by_curve_name(ecGroupNid);
    if (!group) return nullptr;
    proto.orderBits = EC_GROUP_order_bits(group);
    EC_GROUP_free(group);
    proto.bits = proto.orderBits;
    proto.securityBits = proto.bits / 2;
    proto.maxSize = derLength(2 * derLength((proto.orderBits + 7) / 8 + 1));
  } else {
    if (!publicKey) return nullptr;
    proto.bits = EVP_PKEY_get_bits(publicKey);
    proto.securityBits = EVP_PKEY_get_security_bits(publicKey);
    proto.keyBytes = size_t(proto.bits + 7) / 8;
    proto.maxSize = int(proto.keyBytes);
  }
  KeyData* ref = &proto;
  OSSL_PARAM params[] = {OSSL_PARAM_construct_octet_string(kKeyRefParam, &ref, sizeof ref), OSSL_PARAM_END};
  EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_name(libctx, proto.isEc ? "EC" : "RSA", "provider=quennet");
  EVP_PKEY* pkey = nullptr;
  if (pctx && EVP_PKEY_fromdata_init(pctx) > 0) EVP_PKEY_fromdata(pctx, &pkey, EVP_PKEY_KEYPAIR, params);
  EVP_PKEY_CTX_free(pctx);
  return pkey;
}

}  // namespace quennet
