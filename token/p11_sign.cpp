// Signatures made by the token: PKCS#1 v1.5 (CKM_RSA_PKCS) over a DigestInfo,
// and ECDSA (CKM_ECDSA) whose r || s answer becomes a DER ECDSA-Sig-Value.
#include <openssl/ec.h>
#include <openssl/objects.h>

#include "p11_layer.h"

namespace quennet {

namespace {

// DER DigestInfo: SEQUENCE { AlgorithmIdentifier { digest, NULL }, OCTET STRING }.
bool digestInfo(int mdNid, const unsigned char* digest, size_t len, std::vector<unsigned char>& out) {
  ASN1_OBJECT* oid = OBJ_nid2obj(mdNid);
  if (!oid || OBJ_length(oid) == 0) return false;
  X509_SIG* sig = X509_SIG_new();
  X509_ALGOR* alg = nullptr;
  ASN1_OCTET_STRING* value = nullptr;
  bool ok = false;
  if (sig) {
    X509_SIG_getm(sig, &alg, &value);
    unsigned char* der = nullptr;
    int n = 0;
    if (X509_ALGOR_set0(alg, oid, V_ASN1_NULL, nullptr) && ASN1_OCTET_STRING_set(value, digest, int(len)) &&
        (n = i2d_X509_SIG(sig, &der)) > 0) {
      out.assign(der, der + n);
      ok = true;
    }
    OPENSSL_free(der);
  }
  X509_SIG_free(sig);
  return ok;
}

// One C_SignInit / C_Sign pair on the slot's session.
CK_RV signOnToken(PKCS11_SLOT& slot, CK_MECHANISM_TYPE mech, CK_OBJECT_HANDLE object,
                  const std::vector<unsigned char>& in, std::vector<unsigned char>& out) {
  if (openSession(slot) != 0) return CKR_SESSION_HANDLE_INVALID;
  CK_MECHANISM mechanism = {mech, nullptr, 0};
  CK_RV rv = p11Call(slot.ctx.get(), &CK_FUNCTION_LIST::C_SignInit, slot.session, &mechanism, object);
  if (rv != CKR_OK) return rv;
  CK_ULONG outLen = CK_ULONG(out.size());
  std::vector<unsigned char> input = in;
  rv = p11Call(slot.ctx.get(), &CK_FUNCTION_LIST::C_Sign, slot.session, input.data(), CK_ULONG(input.size()),
               out.data(), &outLen);
  if (rv == CKR_OK) out.resize(outLen <= out.size() ? outLen : 0);
  return rv;
}

}  // namespace

bool tokenRsaSign(const std::weak_ptr<PKCS11_SLOT>& weakSlot, CK_OBJECT_HANDLE object, size_t keyBytes, int mdNid,
                  const unsigned char* in, size_t inLen, std::vector<unsigned char>& sig) {
  std::vector<unsigned char> input;
  if (mdNid == NID_md5_sha1) {
    // TLS-style MD5+SHA-1: the 36 digest bytes themselves.
    if (inLen != 36) return false;
    input.assign(in, in + inLen);
  } else if (mdNid != 0) {
    if (!digestInfo(mdNid, in, inLen, input)) return false;
  } else {
    input.assign(in, in + inLen);
  }
  // PKCS#1 v1.5 padding needs 11 bytes beside the data; refuse before
  // troubling the token.
  if (keyBytes < input.size() + 11) return false;
  auto slot = weakSlot.lock();
  if (!slot) {
    pushError(F_RSA_SIGN, R_NO_SESSION);
    return false;
  }
  std::vector<unsigned char> out(keyBytes);
  CK_RV rv = signOnToken(*slot, CKM_RSA_PKCS, object, input, out);
  if (rv != CKR_OK) {
    pushError(F_RSA_SIGN, rv);
    return false;
  }
  if (out.size() != keyBytes) return false;
  sig = std::move(out);
  return true;
}

bool tokenEcdsaSign(const std::weak_ptr<PKCS11_SLOT>& weakSlot, CK_OBJECT_HANDLE object, int orderBits,
                    const unsigned char* digest, size_t digestLen, std::vector<unsigned char>& sig) {
  if (orderBits > 0 && size_t(orderBits) < 8 * digestLen) digestLen = (size_t(orderBits) + 7) / 8;
  auto slot = weakSlot.lock();
  if (!slot) return false;
  std::vector<unsigned char> out(512);
  if (signOnToken(*slot, CKM_ECDSA, object, std::vector<unsigned char>(digest, digest + digestLen), out) != CKR_OK)
    return false;
  if (out.empty() || out.size() % 2) return false;
  size_t half = out.size() / 2;
  BIGNUM* r = BN_bin2bn(out.data(), int(half), nullptr);
  BIGNUM* s = BN_bin2bn(out.data() + half, int(half), nullptr);
  ECDSA_SIG* ecSig = ECDSA_SIG_new();
  if (!r || !s || !ecSig || !ECDSA_SIG_set0(ecSig, r, s)) {
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(ecSig);
    return false;
  }
  unsigned char* der = nullptr;
  int n = i2d_ECDSA_SIG(ecSig, &der);
  ECDSA_SIG_free(ecSig);
  if (n <= 0) return false;
  sig.assign(der, der + n);
  OPENSSL_free(der);
  return true;
}

}  // namespace quennet
