// PKCS #7 messages opened for decoding: the type, and the certificates a
// signed message carries.
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>

#include "crypt/crypt_internal.h"
#include "crypt/der.h"
#include "crypt/msg_encode.h"

namespace velmora::crypt {

namespace {

struct Message {
  bool done = false;
  std::vector<BYTE> data;
  DWORD type = 0;
  std::vector<std::vector<BYTE>> certs;
};

HandleTable<Message>& messages() {
  static auto* table = new HandleTable<Message>;  // never destroyed, as the provider table
  return *table;
}

DWORD typeOfOid(const std::string& oid) {
  static const char* const kTypes[] = {"1.2.840.113549.1.7.1", "1.2.840.113549.1.7.2", "1.2.840.113549.1.7.3",
                                       "1.2.840.113549.1.7.4", "1.2.840.113549.1.7.5", "1.2.840.113549.1.7.6"};
  for (DWORD i = 0; i < 6; ++i)
    if (oid == kTypes[i]) return i + 1;
  return 0;
}

// ContentInfo { contentType, [0] EXPLICIT content }; for SignedData the
// certificates are the [0] IMPLICIT SET after the encapsulated content.
bool parseDer(Message& m, const BYTE* p, size_t n) {
  der::Reader top(p, n);
  der::Element info, oid, explicitContent;
  if (!top.expect(der::kSequence, info) || !top.atEnd()) return false;
  der::Reader r(info.content, info.length);
  std::string dotted;
  if (!r.expect(der::kOid, oid) || !der::oidText(oid.content, oid.length, dotted)) return false;
  m.type = typeOfOid(dotted);
  if (!m.type) return false;
  if (m.type != CMSG_SIGNED) return true;
  if (!r.expect(0xA0, explicitContent)) return false;
  der::Reader c(explicitContent.content, explicitContent.length);
  der::Element sd, version, digests, inner, e;
  if (!c.expect(der::kSequence, sd)) return false;
  der::Reader s(sd.content, sd.length);
  if (!s.expect(der::kInteger, version) || !s.expect(der::kSet, digests) || !s.expect(der::kSequence, inner))
    return false;
  while (!s.atEnd()) {
    if (!s.next(e)) return false;
    if (e.tag != 0xA0) continue;
    der::Reader certs(e.content, e.length);
    while (!certs.atEnd()) {
      der::Element cert;
      if (!certs.next(cert)) return false;
      if (cert.tag == der::kSequence) m.certs.emplace_back(cert.start, cert.start + cert.total);
    }
  }
  return true;
}

bool parse(Message& m) {
  if (parseDer(m, m.data.data(), m.data.size())) return true;
  // BER (indefinite lengths) is read by OpenSSL and re-encoded as DER.
  m.certs.clear();
  const unsigned char* p = m.data.data();
  std::unique_ptr<PKCS7, decltype(&PKCS7_free)> p7(d2i_PKCS7(nullptr, &p, long(m.data.size())), PKCS7_free);
  if (!p7) return false;
  unsigned char* derBytes = nullptr;
  int n = i2d_PKCS7(p7.get(), &derBytes);
  if (n <= 0) return false;
  bool ok = parseDer(m, derBytes, size_t(n));
  OPENSSL_free(derBytes);
  return ok;
}

}  // namespace

}  // namespace velmora::crypt

using namespace velmora::crypt;

HCRYPTMSG CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD, DWORD dwMsgType, HCRYPTPROV, void*,
                               void* pStreamInfo) {
  if (!(dwMsgEncodingType & PKCS_7_ASN_ENCODING) || pStreamInfo || dwMsgType > CMSG_ENCRYPTED) {
    SetLastError(DWORD(E_INVALIDARG));
    return nullptr;
  }
  auto m = std::make_shared<Message>();
  m->type = dwMsgType;
  return reinterpret_cast<HCRYPTMSG>(messages().add(std::move(m)));
}

BOOL CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData, DWORD cbData, BOOL fFinal) {
  if (isEncodeMessage(hCryptMsg)) return encodeMessageUpdate(hCryptMsg, pbData, cbData, fFinal);
  auto m = messages().find(reinterpret_cast<ULONG_PTR>(hCryptMsg));
  if (!m) return fail(ERROR_INVALID_HANDLE);
  if (m->done) return fail(DWORD(CRYPT_E_MSG_ERROR));
  if (cbData && !pbData) return fail(ERROR_INVALID_PARAMETER);
  m->data.insert(m->data.end(), pbData, pbData + cbData);
  if (!fFinal) return TRUE;
  m->done = true;
  const DWORD expected = m->type;
  if (!parse(*m)) return fail(DWORD(CRYPT_E_ASN1_BADTAG));
  if (expected && expected != m->type) return fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
  return TRUE;
}

BOOL CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void* pvData, DWORD* pcbData) {
  if (isEncodeMessage(hCryptMsg)) return encodeMessageGetParam(hCryptMsg, dwParamType, dwIndex, pvData, pcbData);
  auto m = messages().find(reinterpret_cast<ULONG_PTR>(hCryptMsg));
  if (!m) return fail(ERROR_INVALID_HANDLE);
  if (!pcbData) return fail(ERROR_INVALID_PARAMETER);
  if (!m->done || !m->type) return fail(DWORD(CRYPT_E_STREAM_MSG_NOT_READY));
  BYTE* out = static_cast<BYTE*>(pvData);
  switch (dwParamType) {
    case CMSG_TYPE_PARAM:
      return copyOut(&m->type, sizeof m->type, out, pcbData);
    case CMSG_CERT_COUNT_PARAM: {
      if (m->type != CMSG_SIGNED) return fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
      DWORD count = DWORD(m->certs.size());
      return copyOut(&count, sizeof count, out, pcbData);
    }
    case CMSG_CERT_PARAM:
      if (m->type != CMSG_SIGNED) return fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
      if (dwIndex >= m->certs.size()) return fail(DWORD(CRYPT_E_INVALID_INDEX));
      return copyOut(m->certs[dwIndex].data(), DWORD(m->certs[dwIndex].size()), out, pcbData);
    default:
      return fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
  }
}

BOOL CryptMsgClose(HCRYPTMSG hCryptMsg) {
  if (!hCryptMsg) return TRUE;
  if (encodeMessageClose(hCryptMsg)) return TRUE;
  if (!messages().remove(reinterpret_cast<ULONG_PTR>(hCryptMsg))) return fail(ERROR_INVALID_HANDLE);
  return TRUE;
}
