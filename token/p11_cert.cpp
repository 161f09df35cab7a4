// Certificate objects of a token: listing and storing.
#include "p11_layer.h"

namespace quennet {

PKCS11_CERT::~PKCS11_CERT() { X509_free(x509); }

namespace {

CK_ATTRIBUTE attr(CK_ATTRIBUTE_TYPE type, const void* value, size_t size) {
  return CK_ATTRIBUTE{type, const_cast<void*>(value), CK_ULONG(size)};
}

}  // namespace

std::vector<std::unique_ptr<PKCS11_CERT>>* enumCerts(PKCS11_TOKEN& token) {
  if (token.certsEnumerated) return &token.certs;
  PKCS11_SLOT& slot = *token.slot;
  if (openSession(slot) != 0) return nullptr;
  token.certs.clear();

  CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
  CK_ATTRIBUTE search = {CKA_CLASS, &cls, sizeof cls};
  CK_RV rv = p11Call(slot.ctx.get(), &CK_FUNCTION_LIST::C_FindObjectsInit, slot.session, &search, CK_ULONG(1));
  if (rv != CKR_OK) {
    pushError(F_ENUM_CERTS, rv);
    return nullptr;
  }
  CK_RV failure = CKR_OK;
  for (;;) {
    CK_OBJECT_HANDLE object = 0;
    CK_ULONG found = 0;
    rv = p11Call(slot.ctx.get(), &CK_FUNCTION_LIST::C_FindObjects, slot.session, &object, CK_ULONG(1), &found);
    if (rv != CKR_OK) {
      failure = rv;
      break;
    }
    if (found == 0) break;
    CK_ULONG type = 0;
    if (!readUlong(slot, object, CKA_CERTIFICATE_TYPE, type)) {
      failure = CKR_ATTRIBUTE_TYPE_INVALID;
      break;
    }
    auto cert = std::make_unique<PKCS11_CERT>();
    cert->token = &token;
    cert->object = object;
    std::vector<unsigned char> bytes;
    if (readAttribute(slot, object, CKA_LABEL, bytes, 256) == CKR_OK) cert->label.assign(bytes.begin(), bytes.end());
    // A stored value may carry a trailer (the request MAC) after the DER
    // certificate; the parser stops at the certificate's end.
    if (readAttribute(slot, object, CKA_VALUE, bytes, 4096) == CKR_OK && !bytes.empty()) {
      const unsigned char* p = bytes.data();
      cert->x509 = d2i_X509(nullptr, &p, long(bytes.size()));
    }
    if (readAttribute(slot, object, CKA_ID, bytes, 256) == CKR_OK) cert->id = bytes;
    token.certs.push_back(std::move(cert));
  }
  p11Call(slot.ctx.get(), &CK_FUNCTION_LIST::C_FindObjectsFinal, slot.session);
  if (failure != CKR_OK) {
    pushError(F_ENUM_CERTS, failure);
    token.certs.clear();
    return nullptr;
  }
  token.certsEnumerated = true;
  return &token.certs;
}

void releaseCerts(PKCS11_TOKEN& token) {
  token.certs.clear();
  token.certsEnumerated = false;
}

PKCS11_KEY* privateKeyOfCert(PKCS11_TOKEN& token, const PKCS11_CERT& cert) {
  return PKCS11_find_key(token, cert.label, true);
}

namespace {

// Both store templates: CKA_CLASS, CKA_TOKEN, then CKA_LABEL, CKA_ID,
// CKA_SUBJECT and CKA_ISSUER where present, then CKA_CERTIFICATE_TYPE and
// CKA_VALUE.
long storeCertificate(PKCS11_TOKEN& token, const std::vector<unsigned char>& value, const std::string* label,
                      const std::vector<unsigned char>& id, const std::vector<unsigned char>& subject,
                      const std::vector<unsigned char>& issuer) {
  PKCS11_SLOT& slot = *token.slot;
  if (openSession(slot) != 0) return -1;
  CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
  CK_BBOOL yes = CK_TRUE;
  CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  std::vector<CK_ATTRIBUTE> tmpl = {attr(CKA_CLASS, &cls, sizeof cls), attr(CKA_TOKEN, &yes, sizeof yes)};
  if (label) tmpl.push_back(attr(CKA_LABEL, label->data(), label->size()));
  if (!id.empty()) tmpl.push_back(attr(CKA_ID, id.data(), id.size()));
  if (!subject.empty()) tmpl.push_back(attr(CKA_SUBJECT, subject.data(), subject.size()));
  if (!issuer.empty()) tmpl.push_back(attr(CKA_ISSUER, issuer.data(), issuer.size()));
  tmpl.push_back(attr(CKA_CERTIFICATE_TYPE, &x509, sizeof x509));
  tmpl.push_back(attr(CKA_VALUE, value.data(), value.size()));
  CK_OBJECT_HANDLE object = 0;
  return long(p11Call(slot.ctx.get(), &CK_FUNCTION_LIST::C_CreateObject, slot.session, tmpl.data(),
                      CK_ULONG(tmpl.size()), &object));
}

}  // namespace

long PKCS11_store_certificate(PKCS11_TOKEN& token, const std::vector<unsigned char>& value, const std::string* label,
                              const std::vector<unsigned char>& id) {
  return storeCertificate(token, value, label, id, {}, {});
}

long PKCS11_store_certificate2(PKCS11_TOKEN& token, const std::vector<unsigned char>& value,
                               const std::string* label, const std::vector<unsigned char>& id,
                               const std::vector<unsigned char>& subject, const std::vector<unsigned char>& issuer) {
  return storeCertificate(token, value, label, id, subject, issuer);
}

}  // namespace quennet
