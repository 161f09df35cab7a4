// SelectCert: choosing the token's signing or encryption certificate and
// writing the fields that the getters hand out.
#include <openssl/x509v3.h>

#include "cert_text.h"
#include "jcic_state.h"
#include "p11_layer.h"

namespace quennet {

namespace {

// Key-usage bits as RFC 5280 numbers them.
constexpr uint32_t kDigitalSignature = 0x80, kNonRepudiation = 0x40, kKeyEncipherment = 0x20,
                   kDataEncipherment = 0x10;

bool usageFits(X509* cert, int certType) {
  uint32_t usage = (X509_get_extension_flags(cert) & EXFLAG_KUSAGE) ? X509_get_key_usage(cert) : 0;
  if (certType == 1)
    return (usage & kDigitalSignature) && ((usage & kNonRepudiation) || !(usage & kKeyEncipherment));
  if (certType == 2) return (usage & kKeyEncipherment) && (usage & kDataEncipherment);
  return false;
}

std::vector<unsigned char> derOf(X509* cert) {
  unsigned char* der = nullptr;
  int n = i2d_X509(cert, &der);
  std::vector<unsigned char> out;
  if (n > 0) out.assign(der, der + n);
  OPENSSL_free(der);
  return out;
}

void writeFields(X509* cert, bool signByte) {
  auto& s = state();
  std::vector<unsigned char> der = derOf(cert);
  setField(s.certificate, base64Encode(der));
  setField(s.fingerprint, fingerprint(der));
  setField(s.subject, oneLineName(X509_get_subject_name(cert)));
  setField(s.issuer, oneLineName(X509_get_issuer_name(cert)));
  setField(s.serial, serialText(X509_get0_serialNumber(cert), signByte));
  setField(s.notBefore, certTimeText(X509_get0_notBefore(cert)));
  setField(s.notAfter, certTimeText(X509_get0_notAfter(cert)));
}

}  // namespace

int selectCert(int certType) {
  auto& s = state();
  emptySelection();
  s.errorCode = kOk;
  if (s.tokenType == 1) {
    if (!s.p12Cert) return finish(kP12NoCert, "No PKCS12 Cert!");
    writeFields(s.p12Cert, false);
    return finish(kOk, "");
  }
  s.selection = std::make_unique<Selection>();
  clearLibrary();
  clearErrors();
  if (!s.cryptoInitialised) return finish(kNothingToWorkOn, "No init crypto!!");
  if (!s.currentSlot || !s.currentSlot->token) return finish(kNothingToWorkOn, "no slot!!");
  PKCS11_TOKEN& token = *s.currentSlot->token;

  releaseKeys(token);
  releaseCerts(token);
  auto* certs = enumCerts(token);
  if (!certs) return finish(kNoUsableCert, "SelectCert enumerate_certs Error!!");

  PKCS11_CERT* chosen = nullptr;
  int64_t latest = 0;
  for (auto& cert : *certs) {
    if (!cert->x509 || !privateKeyOfCert(token, *cert) || !usageFits(cert->x509, certType)) continue;
    int64_t notBefore = certTime(X509_get0_notBefore(cert->x509));
    if (notBefore > latest) {
      latest = notBefore;
      chosen = cert.get();
    }
  }
  if (!chosen) return finish(kNoUsableCert, "No Cert!!");
  PKCS11_KEY* key = privateKeyOfCert(token, *chosen);
  if (!key) return finish(kNoUsableCert, "No privateKey or No login!!");
  EVP_PKEY* handle = PKCS11_get_private_key(*key);
  if (!handle) return finish(kNoUsableCert, "No privateKey!!");

  if (!EVP_PKEY_up_ref(handle) || !X509_up_ref(chosen->x509)) return finish(kNoUsableCert, "No privateKey!!");
  s.selection->privateKey = handle;
  s.selection->certificate = chosen->x509;
  writeFields(chosen->x509, true);
  return finishWithLibrary();
}

}  // namespace quennet
