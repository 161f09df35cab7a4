// PKCS #7 bundles opened for decoding, fed whole and in two pieces: both
// give the same answer; the certificates of a signed message are whole DER
// SEQUENCEs, as many as OpenSSL finds.
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <wincrypt.h>
#include <windows.h>

#include <cstring>
#include <vector>

#include "crypt/der.h"
#include "fuzz_check.h"

namespace der = velmora::crypt::der;

struct Read {
  bool ok = false;
  DWORD type = 0;
  std::vector<std::vector<BYTE>> certs;
};

static Read readMessage(const uint8_t* data, size_t size, size_t cut) {
  Read r;
  HCRYPTMSG msg = CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING | X509_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
  FUZZ_CHECK(msg);
  // Nothing can be read before the last piece.
  DWORD n = sizeof r.type;
  FUZZ_CHECK(!CryptMsgGetParam(msg, CMSG_TYPE_PARAM, 0, &r.type, &n));
  bool fed = CryptMsgUpdate(msg, data, DWORD(cut), FALSE);
  FUZZ_CHECK(fed);
  r.ok = CryptMsgUpdate(msg, data + cut, DWORD(size - cut), TRUE);
  // A finished message takes no more data.
  FUZZ_CHECK(!CryptMsgUpdate(msg, data, DWORD(size), TRUE));
  if (r.ok) {
    n = sizeof r.type;
    FUZZ_CHECK(CryptMsgGetParam(msg, CMSG_TYPE_PARAM, 0, &r.type, &n) && n == sizeof r.type);
    FUZZ_CHECK(r.type >= CMSG_DATA && r.type <= CMSG_ENCRYPTED);
    DWORD count = 0;
    n = sizeof count;
    const BOOL counted = CryptMsgGetParam(msg, CMSG_CERT_COUNT_PARAM, 0, &count, &n);
    FUZZ_CHECK(bool(counted) == (r.type == CMSG_SIGNED));
    for (DWORD i = 0; counted && i < count; ++i) {
      DWORD len = 0;
      FUZZ_CHECK(CryptMsgGetParam(msg, CMSG_CERT_PARAM, i, nullptr, &len));
      std::vector<BYTE> cert(len);
      FUZZ_CHECK(CryptMsgGetParam(msg, CMSG_CERT_PARAM, i, cert.data(), &len) && len == cert.size());
      der::Reader reader(cert.data(), cert.size());
      der::Element e;
      FUZZ_CHECK(reader.expect(der::kSequence, e) && reader.atEnd());
      r.certs.push_back(std::move(cert));
    }
    FUZZ_CHECK(!counted || !CryptMsgGetParam(msg, CMSG_CERT_PARAM, count, nullptr, &n));
  }
  FUZZ_CHECK(CryptMsgClose(msg));
  return r;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  const Read whole = readMessage(data, size, 0);
  const Read split = readMessage(data, size, size / 2);
  FUZZ_CHECK(whole.ok == split.ok && whole.type == split.type && whole.certs == split.certs);
  if (!whole.ok || whole.type != CMSG_SIGNED) return 0;
  // Where OpenSSL reads a signed message, it finds the same certificates.
  const unsigned char* p = data;
  PKCS7* p7 = d2i_PKCS7(nullptr, &p, long(size));
  if (p7 && p == data + size && PKCS7_type_is_signed(p7) && p7->d.sign) {
    STACK_OF(X509)* certs = p7->d.sign->cert;
    FUZZ_CHECK(size_t(certs ? sk_X509_num(certs) : 0) == whole.certs.size());
    for (size_t i = 0; i < whole.certs.size(); ++i) {
      const unsigned char* c = whole.certs[i].data();
      X509* x = d2i_X509(nullptr, &c, long(whole.certs[i].size()));
      FUZZ_CHECK(x && X509_cmp(x, sk_X509_value(certs, int(i))) == 0);
      X509_free(x);
    }
  }
  PKCS7_free(p7);
  return 0;
}
