// SignPKCS7: a PKCS#7 SignedData over the given bytes, with the selected
// certificate and one signature made by the token.
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <climits>
#include <cstring>

#include "cert_text.h"
#include "jcic_state.h"
#include "p11_layer.h"

namespace quennet {

namespace {

// Builds the Base64 SignedData; returns the failing step's message or null.
// No authenticated attributes: the signature covers the content digest.
const char* buildSignedData(X509* cert, EVP_PKEY* key, OSSL_LIB_CTX* libctx, const char* propq,
                            const unsigned char* data, size_t size, std::string& out) {
  PKCS7* p7 = PKCS7_new_ex(libctx, propq);
  if (!p7) return "Crypto Lib Error (PKCS7_new)!!";
  std::unique_ptr<PKCS7, decltype(&PKCS7_free)> owner(p7, PKCS7_free);
  if (!PKCS7_set_type(p7, NID_pkcs7_signed)) return "openssl PKCS7_set_type Error!!";

  PKCS7_SIGNER_INFO* si = PKCS7_add_signature(p7, cert, key, EVP_sha256());
  if (!si) return "openssl PKCS7_add_signature Error!!";
  if (EVP_PKEY_is_a(key, "EC")) {
    // ecdsa-with-SHA256 with an explicit NULL as its parameters.
    X509_ALGOR* alg = nullptr;
    PKCS7_SIGNER_INFO_get0_algs(si, nullptr, nullptr, &alg);
    if (!alg || !X509_ALGOR_set0(alg, OBJ_nid2obj(NID_ecdsa_with_SHA256), V_ASN1_NULL, nullptr))
      return "openssl PKCS7_add_signature Error!!";
  }
  if (!PKCS7_add_certificate(p7, cert) || !PKCS7_content_new(p7, NID_pkcs7_data))
    return "openssl PKCS7_add_certificate Error!!";

  BIO* bio = PKCS7_dataInit(p7, nullptr);
  if (!bio) return "openssl PKCS7_dataInit Error!!";
  std::unique_ptr<BIO, decltype(&BIO_free_all)> chain(bio, BIO_free_all);
  for (size_t done = 0; done < size;) {
    int chunk = int(size - done > size_t(INT_MAX) ? INT_MAX : size - done);
    if (BIO_write(bio, data + done, chunk) != chunk) return "openssl BIO_write Error!!";
    done += size_t(chunk);
  }
  if (BIO_flush(bio) <= 0) return "openssl BIO_flush Error!!";
  if (!PKCS7_dataFinal(p7, bio)) return "openssl PKCS7_dataFinal Error!!";

  unsigned char* der = nullptr;
  int n = i2d_PKCS7(p7, &der);
  if (n <= 0) return "openssl PKCS7_dataFinal Error!!";
  out = base64Encode(der, size_t(n));
  OPENSSL_free(der);
  return nullptr;
}

void keepResult(const std::string& base64) {
  auto& s = state();
  char* copy = new char[base64.size() + 1];
  memcpy(copy, base64.c_str(), base64.size() + 1);
  delete[] s.pkcs7;
  s.pkcs7 = copy;
}

}  // namespace

int signPkcs7(const void* data, long size) {
  auto& s = state();
  s.errorCode = kOk;
  clearLibrary();
  clearErrors();
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string result;
  if (s.tokenType == 1) {
    if (!data) return finish(kBadArgument, "no signdata!!");
    if (size <= 0) return finish(kBadArgument, "no signdataSize!!");
    if (!s.p12Cert) return finish(kP12NoCert, "no pkcs12Cert_NoCert!!");
    if (!s.p12Key) return finish(kP12NoKey, "no pkcs12Cert_NoKey!!");
    const char* error = buildSignedData(s.p12Cert, s.p12Key, nullptr, nullptr, bytes, size_t(size), result);
    ERR_clear_error();
    if (error)
      return finish(kSignFailed, strstr(error, "PKCS7_new") ? "Crypto Lib Error(PKCS7_new)!!"
                                                            : "Crypto Lib Error(PKCS7_dataFinal)!!");
    keepResult(result);
    return finish(kOk, "");
  }
  if (!s.cryptoInitialised) return finish(kNothingToWorkOn, "No init crypto!!");
  if (!data) return finish(kBadArgument, "no signdata!!");
  if (size <= 0) return finish(kBadArgument, "no signdataSize!!");
  if (!s.currentSlot) return finish(kNothingToWorkOn, "no slot!!");
  if (!s.selection || !s.selection->certificate || !s.selection->privateKey)
    return finish(kSignFailed, "No Cert or No PriveateKey!!");
  const char* error = buildSignedData(s.selection->certificate, s.selection->privateKey, tokenLibCtx(),
                                      kTokenPropQuery, bytes, size_t(size), result);
  ERR_clear_error();
  if (error) return finish(kSignFailed, error);
  keepResult(result);
  return finish(kOk, "");
}

}  // namespace quennet
