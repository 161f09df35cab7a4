// ImportCert: storing an issued certificate on the token beside the key pair
// whose public key it carries, under that pair's label.
#include <cstdio>
#include <cstring>

#include "cert_text.h"
#include "jcic_state.h"
#include "p11_layer.h"

namespace quennet {

namespace {

constexpr size_t kMaxCertificate = 4096;

std::vector<unsigned char> nameDer(const X509_NAME* name) {
  unsigned char* der = nullptr;
  int n = i2d_X509_NAME(name, &der);
  std::vector<unsigned char> out;
  if (n > 0) out.assign(der, der + n);
  OPENSSL_free(der);
  return out;
}

int store(const char* base64X509, const char* mac) {
  auto& s = state();
  if (!s.currentSlot || !s.currentSlot->token) return finish(kImportFailed, "ImportCert no slot Error!!");
  if (!base64X509) return finish(kImportFailed, "ImportCert no base64X509 Error!!");

  std::vector<unsigned char> der;
  X509* cert = nullptr;
  // Larger certificates would never be listed again, so they are refused
  // before anything is stored.
  if (base64Decode(base64X509, der) && !der.empty() && der.size() <= kMaxCertificate) {
    const unsigned char* p = der.data();
    cert = d2i_X509(nullptr, &p, long(der.size()));
  }
  if (!cert) return finish(kImportFailed, "ImportCert d2i_X509 Error!!");
  std::unique_ptr<X509, decltype(&X509_free)> owner(cert, X509_free);

  PKCS11_TOKEN& token = *s.currentSlot->token;
  releaseKeys(token);
  releaseCerts(token);
  if (!enumCerts(token)) return finish(kImportFailed, "importCert enumerate_certs Error!!");
  PKCS11_KEY* key = PKCS11_find_key_from_cert(token, cert);
  if (!key) return finish(kImportFailed, "ImportCert Find PrivateKey Error!!");
  const std::string label = key->label;

  char message[128];
  if (mac && strlen(mac) > 3) {
    std::vector<unsigned char> tag;
    if (!base64Decode(mac, tag)) tag.clear();
    tag.resize(8, 0);
    std::vector<unsigned char> value = der;
    value.insert(value.end(), tag.begin(), tag.begin() + 8);
    long r = PKCS11_store_certificate(token, value, &label, {});
    if (r != 0) {
      snprintf(message, sizeof message, "ImportCert PKCS11_store_certificate Error=%d", int(r));
      return finish(kImportFailed, message);
    }
  } else {
    std::vector<unsigned char> value = der;
    if (s.cardType == 2) value.resize(value.size() + 8, 0);
    long r = PKCS11_store_certificate2(token, value, &label, key->id, nameDer(X509_get_subject_name(cert)),
                                       nameDer(X509_get_issuer_name(cert)));
    if (r != 0) {
      snprintf(message, sizeof message, "ImportCert PKCS11_store_certificate2 Error=%d", int(r));
      return finish(kImportFailed, message);
    }
  }
  releaseKeys(token);
  releaseCerts(token);
  return finish(kOk, "");
}

}  // namespace

int importCert(const char* base64X509, const char* mac) {
  auto& s = state();
  s.errorCode = kOk;
  clearLibrary();
  clearErrors();
  int code = store(base64X509, mac);
  emptySelection();
  return code;
}

}  // namespace quennet
