// Certificates: an accepted certificate keeps its DER byte for byte, and
// the fields laid out in CERT_INFO agree with OpenSSL's reading of the
// same bytes; names and properties of any accepted certificate can be read.
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <wincrypt.h>
#include <windows.h>

#include <cstring>
#include <vector>

#include "fuzz_check.h"

static bool sameBlob(const BYTE* p, DWORD n, const unsigned char* q, int m) {
  return m >= 0 && DWORD(m) == n && (n == 0 || memcmp(p, q, n) == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, data, DWORD(size));
  const unsigned char* p = data;
  X509* x = d2i_X509(nullptr, &p, long(size));
  if (!ctx) {
    X509_free(x);
    return 0;
  }
  // Only what OpenSSL takes whole is accepted.
  FUZZ_CHECK(x && p == data + size);
  FUZZ_CHECK(ctx->cbCertEncoded == size && memcmp(ctx->pbCertEncoded, data, size) == 0);
  const CERT_INFO* info = ctx->pCertInfo;
  FUZZ_CHECK(info);

  // Issuer and subject: the very bytes OpenSSL read.
  const unsigned char* der = nullptr;
  size_t derLen = 0;
  FUZZ_CHECK(X509_NAME_get0_der(X509_get_subject_name(x), &der, &derLen));
  FUZZ_CHECK(sameBlob(info->Subject.pbData, info->Subject.cbData, der, int(derLen)));
  FUZZ_CHECK(X509_NAME_get0_der(X509_get_issuer_name(x), &der, &derLen));
  FUZZ_CHECK(sameBlob(info->Issuer.pbData, info->Issuer.cbData, der, int(derLen)));
  // The serial number, little-endian in CERT_INFO, big-endian in DER.
  const ASN1_INTEGER* serial = X509_get0_serialNumber(x);
  std::vector<BYTE> le(info->SerialNumber.pbData, info->SerialNumber.pbData + info->SerialNumber.cbData);
  std::vector<BYTE> be(le.rbegin(), le.rend());
  unsigned char* serialDer = nullptr;
  int serialLen = i2d_ASN1_INTEGER(serial, &serialDer);
  FUZZ_CHECK(serialLen > 2);
  // Compare content bytes: OpenSSL keeps the sign apart, the DER content does not.
  const unsigned char* content = serialDer;
  long clen = 0;
  int tag = 0, cls = 0;
  ASN1_get_object(&content, &clen, &tag, &cls, serialLen);
  FUZZ_CHECK(sameBlob(be.data(), DWORD(be.size()), content, int(clen)));
  OPENSSL_free(serialDer);
  // The public key bits.
  X509_PUBKEY* pub = X509_get_X509_PUBKEY(x);
  const unsigned char* key = nullptr;
  int keyLen = 0;
  FUZZ_CHECK(X509_PUBKEY_get0_param(nullptr, &key, &keyLen, nullptr, pub));
  // OpenSSL clears the unused bits of the last byte; CERT_INFO keeps the bytes as they came.
  const CRYPT_BIT_BLOB& bits = info->SubjectPublicKeyInfo.PublicKey;
  FUZZ_CHECK(bits.cUnusedBits < 8 && keyLen >= 0 && DWORD(keyLen) == bits.cbData);
  std::vector<BYTE> masked(bits.pbData, bits.pbData + bits.cbData);
  if (!masked.empty()) masked.back() &= BYTE(0xFF << bits.cUnusedBits);
  FUZZ_CHECK(sameBlob(masked.data(), DWORD(masked.size()), key, keyLen));
  FUZZ_CHECK(int(info->cExtension) == X509_get_ext_count(x));

  // The SHA-1 hash property is the hash of the whole DER.
  BYTE hash[20];
  DWORD hashLen = sizeof hash;
  FUZZ_CHECK(CertGetCertificateContextProperty(ctx, CERT_SHA1_HASH_PROP_ID, hash, &hashLen));
  unsigned char md[20];
  unsigned int mdLen = 0;
  EVP_Digest(data, size, md, &mdLen, EVP_sha1(), nullptr);
  FUZZ_CHECK(hashLen == 20 && mdLen == 20 && memcmp(hash, md, 20) == 0);

  // Names of every kind, with a buffer of the size asked for and a short one.
  for (DWORD flags : {DWORD(0), DWORD(CERT_NAME_ISSUER_FLAG)}) {
    for (DWORD type : {DWORD(CERT_NAME_EMAIL_TYPE), DWORD(CERT_NAME_RDN_TYPE), DWORD(CERT_NAME_ATTR_TYPE),
                       DWORD(CERT_NAME_SIMPLE_DISPLAY_TYPE), DWORD(CERT_NAME_FRIENDLY_DISPLAY_TYPE)}) {
      void* para = type == CERT_NAME_ATTR_TYPE ? const_cast<char*>(szOID_COMMON_NAME) : nullptr;
      DWORD need = CertGetNameStringA(ctx, type, flags, para, nullptr, 0);
      FUZZ_CHECK(need >= 1);
      std::vector<char> text(need);
      FUZZ_CHECK(CertGetNameStringA(ctx, type, flags, para, text.data(), need) == need);
      FUZZ_CHECK(text[need - 1] == 0);
      char small[2];
      FUZZ_CHECK(CertGetNameStringA(ctx, type, flags, para, small, 2) <= 2);
    }
  }
  for (DWORD strType : {DWORD(CERT_SIMPLE_NAME_STR), DWORD(CERT_X500_NAME_STR)}) {
    CERT_NAME_BLOB subject = info->Subject;
    DWORD n = CertNameToStrA(X509_ASN_ENCODING, &subject, strType, nullptr, 0);
    std::vector<char> text(n ? n : 1);
    CertNameToStrA(X509_ASN_ENCODING, &subject, strType, text.data(), DWORD(text.size()));
  }
  X509_free(x);
  FUZZ_CHECK(CertFreeCertificateContext(ctx));
  return 0;
}
