// PKCS #7 enveloped messages: CryptEncryptMessage and CryptDecryptMessage.
// The content key travels to each recipient through the provider's RSA
// exchange-key encryption (CryptEncrypt / CryptDecrypt), so a key that only
// the provider holds (a container, a token) unwraps it the same way; the
// content itself is encrypted here with OpenSSL's ciphers.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>

#include "crypt/crypt_internal.h"
#include "crypt/der.h"

namespace velmora::crypt {

namespace {

using der::Bytes;

struct ContentCipher {
  const char* oid;
  const char* name;  // OpenSSL's
  size_t keyLength;  // bytes; RC4 takes any length from 5 to 32 on decryption
  size_t ivLength;
};

const ContentCipher kCiphers[] = {
    {szOID_RSA_DES_EDE3_CBC, "DES-EDE3-CBC", 24, 8}, {szOID_OIWSEC_desCBC, "DES-CBC", 8, 8},
    {szOID_RSA_RC4, "RC4", 16, 0},                    {szOID_NIST_AES128_CBC, "AES-128-CBC", 16, 16},
    {szOID_NIST_AES192_CBC, "AES-192-CBC", 24, 16},   {szOID_NIST_AES256_CBC, "AES-256-CBC", 32, 16},
};

const ContentCipher* cipherOf(const std::string& oid) {
  for (const auto& c : kCiphers)
    if (oid == c.oid) return &c;
  return nullptr;
}

bool isRc4(const ContentCipher& c) { return c.ivLength == 0; }

const char* const kContentTypes[] = {szOID_RSA_data,       szOID_RSA_signedData,    szOID_RSA_envelopedData,
                                     "1.2.840.113549.1.7.4", szOID_RSA_digestedData, szOID_RSA_encryptedData};

// Leading zero bytes do not change an INTEGER's value: serials compare
// without them.
Bytes trimmed(const BYTE* p, size_t n) {
  while (n > 1 && p[0] == 0) {
    ++p;
    --n;
  }
  return Bytes(p, p + n);
}

Bytes serialOf(const CERT_INFO& info) {
  Bytes be(info.SerialNumber.pbData, info.SerialNumber.pbData + info.SerialNumber.cbData);
  std::reverse(be.begin(), be.end());
  return trimmed(be.data(), be.size());
}

// Runs the cipher over `in`; false when the key, IV or padding is wrong.
bool runCipher(const ContentCipher& c, bool encrypt, const SecretBytes& key, const Bytes& iv, const BYTE* in,
               size_t n, SecretBytes& out) {
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(libctx(), c.name, nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  bool ok = cipher && ctx && EVP_CipherInit_ex2(ctx, cipher, nullptr, nullptr, encrypt ? 1 : 0, nullptr) == 1;
  if (ok && isRc4(c)) ok = EVP_CIPHER_CTX_set_key_length(ctx, int(key.bytes.size())) == 1;
  ok = ok && int(key.bytes.size()) == EVP_CIPHER_CTX_get_key_length(ctx) &&
       EVP_CipherInit_ex2(ctx, nullptr, key.bytes.data(), iv.empty() ? nullptr : iv.data(), encrypt ? 1 : 0,
                          nullptr) == 1;
  int len = 0, last = 0;
  if (ok) {
    out.bytes.resize(n + 32);
    ok = n <= size_t(INT32_MAX - 32) && EVP_CipherUpdate(ctx, out.bytes.data(), &len, in, int(n)) == 1 &&
         EVP_CipherFinal_ex(ctx, out.bytes.data() + len, &last) == 1;
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  if (!ok) return false;
  // Shrinking keeps the capacity, which the wipe covers when the bytes go.
  OPENSSL_cleanse(out.bytes.data() + len + last, out.bytes.size() - size_t(len + last));
  out.bytes.resize(size_t(len + last));
  return true;
}

// ---- Encoding ----

// A DER SET OF: its members sorted by their encodings.
Bytes setOf(std::vector<Bytes> members) {
  std::sort(members.begin(), members.end());
  Bytes content;
  for (const auto& m : members) content.insert(content.end(), m.begin(), m.end());
  return der::tlv(der::kSet, content);
}

// The key-transport recipient info for one certificate; 0 or the error.
DWORD recipientInfo(HCRYPTPROV prov, PCCERT_CONTEXT cert, const SecretBytes& contentKey, Bytes& out) {
  if (!cert || !cert->pCertInfo) return DWORD(E_INVALIDARG);
  const CERT_INFO& info = *cert->pCertInfo;
  HCRYPTKEY key = 0;
  if (!CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING, const_cast<PCERT_PUBLIC_KEY_INFO>(&info.SubjectPublicKeyInfo),
                                &key))
    return GetLastError();
  DWORD n = DWORD(contentKey.bytes.size()), size = n;
  Bytes wrapped;
  DWORD error = 0;
  if (!CryptEncrypt(key, 0, TRUE, 0, nullptr, &size, 0)) {
    error = GetLastError();
  } else {
    wrapped.resize(std::max<DWORD>(size, n));
    memcpy(wrapped.data(), contentKey.bytes.data(), n);
    if (!CryptEncrypt(key, 0, TRUE, 0, wrapped.data(), &n, DWORD(wrapped.size()))) error = GetLastError();
  }
  CryptDestroyKey(key);
  if (error) {
    OPENSSL_cleanse(wrapped.data(), wrapped.size());
    return error;
  }
  wrapped.resize(n);
  std::reverse(wrapped.begin(), wrapped.end());  // the provider gives it least significant byte first
  Bytes serial = serialOf(info), rsaOid;
  der::oid(szOID_RSA_RSA, rsaOid);
  // The serial's content bytes as the certificate has them, sign byte included.
  if (!serial.empty() && (serial[0] & 0x80)) serial.insert(serial.begin(), 0);
  Bytes issuerSerial = der::tlv(
      der::kSequence, der::concat({Bytes(info.Issuer.pbData, info.Issuer.pbData + info.Issuer.cbData),
                                   der::tlv(der::kInteger, serial)}));
  out = der::tlv(der::kSequence,
                 der::concat({der::tlv(der::kInteger, Bytes{0}), issuerSerial,
                              der::tlv(der::kSequence, der::concat({rsaOid, der::tlv(der::kNull, Bytes())})),
                              der::tlv(der::kOctetString, wrapped)}));
  return 0;
}

DWORD encodeEnveloped(const CRYPT_ENCRYPT_MESSAGE_PARA& para, DWORD count, PCCERT_CONTEXT* certs, const BYTE* data,
                      DWORD n, Bytes& out) {
  const char* algOid = para.ContentEncryptionAlgorithm.pszObjId;
  const ContentCipher* c = algOid ? cipherOf(algOid) : nullptr;
  if (!c) return DWORD(CRYPT_E_UNKNOWN_ALGO);
  if (para.dwInnerContentType > CMSG_ENCRYPTED) return DWORD(CRYPT_E_INVALID_MSG_TYPE);
  Bytes iv;
  const CRYPT_OBJID_BLOB& params = para.ContentEncryptionAlgorithm.Parameters;
  if (params.cbData) {
    // A caller's IV, as an OCTET STRING of the cipher's block length.
    der::Reader r(params.pbData, params.cbData);
    der::Element e;
    if (!r.expect(der::kOctetString, e) || !r.atEnd() || e.length != c->ivLength || isRc4(*c))
      return DWORD(CRYPT_E_BAD_ENCODE);
    iv.assign(e.content, e.content + e.length);
  } else {
    iv.resize(c->ivLength);
    if (!iv.empty() && RAND_bytes_ex(libctx(), iv.data(), iv.size(), 0) != 1) return DWORD(NTE_FAIL);
  }
  SecretBytes key;
  key.bytes.resize(c->keyLength);
  if (RAND_priv_bytes_ex(libctx(), key.bytes.data(), key.bytes.size(), 0) != 1) return DWORD(NTE_FAIL);

  HCRYPTPROV prov = para.hCryptProv;
  if (!prov && !CryptAcquireContextA(&prov, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
    return GetLastError();
  std::vector<Bytes> infos;
  DWORD error = 0;
  for (DWORD i = 0; i < count && !error; ++i) {
    Bytes info;
    error = recipientInfo(prov, certs[i], key, info);
    infos.push_back(std::move(info));
  }
  if (!para.hCryptProv) CryptReleaseContext(prov, 0);
  if (error) return error;

  SecretBytes sealed;
  if (!runCipher(*c, true, key, iv, data, n, sealed)) return DWORD(NTE_FAIL);
  Bytes cipherOid, dataOid, envOid;
  der::oid(c->oid, cipherOid);
  der::oid(kContentTypes[para.dwInnerContentType ? para.dwInnerContentType - 1 : 0], dataOid);
  der::oid(szOID_RSA_envelopedData, envOid);
  // RC4 has no IV; OpenSSL reads its parameters as an empty OCTET STRING.
  Bytes algorithm = der::tlv(der::kSequence, der::concat({cipherOid, der::tlv(der::kOctetString, iv)}));
  Bytes eci = der::tlv(der::kSequence, der::concat({dataOid, algorithm, der::tlv(0x80, sealed.bytes)}));
  Bytes envelope = der::tlv(
      der::kSequence, der::concat({der::tlv(der::kInteger, Bytes{0}), setOf(std::move(infos)),
                                   eci}));
  out = der::tlv(der::kSequence, der::concat({envOid, der::tlv(0xA0, envelope)}));
  return 0;
}

// ---- Decoding ----

struct Recipient {
  Bytes issuer;
  Bytes serial;  // big-endian, leading zeros dropped
  std::string keyOid;
  Bytes encryptedKey;  // big-endian
};

struct Enveloped {
  std::vector<Recipient> recipients;
  std::string cipherOid;
  Bytes iv;
  bool ivPresent = false;
  const BYTE* content = nullptr;
  size_t contentLength = 0;
};

bool parseRecipient(const der::Element& ri, Recipient& out, bool& usable) {
  usable = false;
  if (ri.tag != der::kSequence) return ri.tag == 0xA1 || ri.tag == 0xA2 || ri.tag == 0xA3 || ri.tag == 0xA4;
  der::Reader r(ri.content, ri.length);
  der::Element version, rid, alg, key;
  if (!r.expect(der::kInteger, version) || !r.next(rid) || !r.expect(der::kSequence, alg) ||
      !r.expect(der::kOctetString, key))
    return false;
  if (rid.tag != der::kSequence) return true;  // a subject key identifier: not one we can look up
  der::Reader is(rid.content, rid.length);
  der::Element issuer, serial, oid;
  if (!is.expect(der::kSequence, issuer) || !is.expect(der::kInteger, serial) || serial.length == 0) return false;
  der::Reader a(alg.content, alg.length);
  if (!a.expect(der::kOid, oid) || !der::oidText(oid.content, oid.length, out.keyOid)) return false;
  out.issuer.assign(issuer.start, issuer.start + issuer.total);
  out.serial = trimmed(serial.content, serial.length);
  out.encryptedKey.assign(key.content, key.content + key.length);
  usable = true;
  return true;
}

// 0, CRYPT_E_UNEXPECTED_MSG_TYPE, or CRYPT_E_ASN1_BADTAG.
DWORD parseDer(const BYTE* p, size_t n, Enveloped& env) {
  const DWORD bad = DWORD(CRYPT_E_ASN1_BADTAG);
  der::Reader top(p, n);
  der::Element info, oid, wrapper, ed;
  if (!top.expect(der::kSequence, info) || !top.atEnd()) return bad;
  der::Reader r(info.content, info.length);
  std::string type;
  if (!r.expect(der::kOid, oid) || !der::oidText(oid.content, oid.length, type)) return bad;
  if (type != szOID_RSA_envelopedData) {
    for (const char* known : kContentTypes)
      if (type == known) return DWORD(CRYPT_E_UNEXPECTED_MSG_TYPE);
    return bad;
  }
  if (!r.expect(0xA0, wrapper)) return bad;
  der::Reader w(wrapper.content, wrapper.length);
  if (!w.expect(der::kSequence, ed)) return bad;
  der::Reader e(ed.content, ed.length);
  der::Element version, set, eci;
  if (!e.expect(der::kInteger, version) || !e.next(set)) return bad;
  if (set.tag == 0xA0 && !e.next(set)) return bad;  // originator info
  if (set.tag != der::kSet || !e.expect(der::kSequence, eci)) return bad;
  der::Reader rs(set.content, set.length);
  while (!rs.atEnd()) {
    der::Element ri;
    Recipient rec;
    bool usable = false;
    if (!rs.next(ri) || !parseRecipient(ri, rec, usable)) return bad;
    if (usable) env.recipients.push_back(std::move(rec));
  }
  der::Reader c(eci.content, eci.length);
  der::Element ctype, alg, aoid, content;
  if (!c.expect(der::kOid, ctype) || !c.expect(der::kSequence, alg)) return bad;
  der::Reader a(alg.content, alg.length);
  if (!a.expect(der::kOid, aoid) || !der::oidText(aoid.content, aoid.length, env.cipherOid)) return bad;
  if (!a.atEnd()) {
    der::Element param;
    if (!a.next(param)) return bad;
    if (param.tag == der::kOctetString) {
      env.iv.assign(param.content, param.content + param.length);
      env.ivPresent = true;
    }
  }
  if (!c.atEnd()) {
    if (!c.next(content) || content.tag != 0x80) return bad;
    env.content = content.content;
    env.contentLength = content.length;
  }
  return 0;
}

// DER as given, else BER (indefinite lengths, constructed strings) read by
// OpenSSL and encoded again as DER into `reencoded`.
DWORD parse(const BYTE* p, size_t n, Enveloped& env, Bytes& reencoded) {
  DWORD rc = parseDer(p, n, env);
  if (rc != DWORD(CRYPT_E_ASN1_BADTAG)) return rc;
  env = Enveloped();
  const unsigned char* q = p;
  std::unique_ptr<PKCS7, decltype(&PKCS7_free)> p7(d2i_PKCS7(nullptr, &q, long(n)), PKCS7_free);
  if (!p7 || q != p + n) return rc;
  unsigned char* derBytes = nullptr;
  const int len = i2d_PKCS7(p7.get(), &derBytes);
  if (len <= 0) return rc;
  reencoded.assign(derBytes, derBytes + len);
  OPENSSL_free(derBytes);
  return parseDer(reencoded.data(), reencoded.size(), env);
}

struct Candidate {
  PCCERT_CONTEXT cert = nullptr;
  const Recipient* recipient = nullptr;
};

// The certificates of the stores that a recipient names and that have a key,
// in recipient order.
std::vector<Candidate> candidates(const CRYPT_DECRYPT_MESSAGE_PARA& para, const Enveloped& env) {
  std::map<Bytes, PCCERT_CONTEXT> byId;  // serial || issuer
  auto idOf = [](const Bytes& serial, const Bytes& issuer) {
    Bytes id = der::tlv(der::kInteger, serial);
    id.insert(id.end(), issuer.begin(), issuer.end());
    return id;
  };
  for (DWORD s = 0; s < para.cCertStore; ++s) {
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(para.rghCertStore[s], c));) {
      DWORD n = 0;
      if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n) &&
          !CertGetCertificateContextProperty(c, CERT_KEY_CONTEXT_PROP_ID, nullptr, &n))
        continue;
      const CERT_INFO& info = *c->pCertInfo;
      Bytes id = idOf(serialOf(info), Bytes(info.Issuer.pbData, info.Issuer.pbData + info.Issuer.cbData));
      if (!byId.count(id)) byId[id] = CertDuplicateCertificateContext(c);
    }
  }
  std::vector<Candidate> out;
  for (const auto& r : env.recipients) {
    auto it = byId.find(idOf(r.serial, r.issuer));
    if (it != byId.end()) out.push_back({CertDuplicateCertificateContext(it->second), &r});
  }
  for (auto& [id, c] : byId) CertFreeCertificateContext(c);
  return out;
}

// The content key that the recipient's private key unwraps; 0 or the error.
DWORD unwrap(const Candidate& cand, SecretBytes& key) {
  if (cand.recipient->keyOid != szOID_RSA_RSA) return DWORD(NTE_BAD_ALGID);
  HCRYPTPROV prov = 0;
  DWORD spec = 0;
  BOOL callerFrees = FALSE;
  if (!CryptAcquireCertificatePrivateKey(cand.cert, 0, nullptr, &prov, &spec, &callerFrees)) return GetLastError();
  DWORD error = 0;
  HCRYPTKEY hKey = 0;
  if (spec != AT_KEYEXCHANGE && spec != AT_SIGNATURE) {
    error = DWORD(NTE_BAD_KEY);  // a CNG key does no key transport here
  } else if (!CryptGetUserKey(prov, spec, &hKey)) {
    error = GetLastError();
  } else {
    key.bytes.assign(cand.recipient->encryptedKey.rbegin(), cand.recipient->encryptedKey.rend());
    DWORD n = DWORD(key.bytes.size());
    if (!CryptDecrypt(hKey, 0, TRUE, 0, key.bytes.data(), &n)) {
      error = GetLastError();
    } else {
      OPENSSL_cleanse(key.bytes.data() + n, key.bytes.size() - n);
      key.bytes.resize(n);
    }
    CryptDestroyKey(hKey);
  }
  if (callerFrees) CryptReleaseContext(prov, 0);
  return error;
}

DWORD decryptEnveloped(const CRYPT_DECRYPT_MESSAGE_PARA& para, const BYTE* blob, DWORD n, bool sizeOnly,
                       SecretBytes& plain, size_t& bound, PCCERT_CONTEXT* used) {
  Enveloped env;
  Bytes reencoded;
  if (DWORD rc = parse(blob, n, env, reencoded)) return rc;
  const ContentCipher* c = cipherOf(env.cipherOid);
  if (!c) return DWORD(NTE_BAD_ALGID);
  if (c->ivLength && (!env.ivPresent || env.iv.size() != c->ivLength)) return DWORD(NTE_BAD_ALGID);
  std::vector<Candidate> found = candidates(para, env);
  if (found.empty()) return DWORD(CRYPT_E_NO_DECRYPT_CERT);
  DWORD error = 0;
  if (sizeOnly) {
    // The plaintext is never longer than the ciphertext.
    bound = env.contentLength;
  } else {
    // The first recipient whose key unwraps a key of the cipher's length.
    for (const auto& cand : found) {
      SecretBytes key;
      error = unwrap(cand, key);
      if (!error) {
        const size_t len = key.bytes.size();
        const bool fits = isRc4(*c) ? (len >= 5 && len <= 32) : len == c->keyLength;
        if (!fits) error = DWORD(NTE_BAD_KEY);
      }
      if (!error) {
        if (!runCipher(*c, false, key, env.iv, env.content, env.contentLength, plain)) {
          error = DWORD(NTE_BAD_DATA);
        } else {
          if (used) *used = CertDuplicateCertificateContext(cand.cert);
          break;
        }
      }
    }
  }
  for (auto& cand : found) CertFreeCertificateContext(cand.cert);
  return error;
}

}  // namespace

}  // namespace velmora::crypt

using namespace velmora::crypt;

BOOL CryptEncryptMessage(PCRYPT_ENCRYPT_MESSAGE_PARA pEncryptPara, DWORD cRecipientCert,
                         PCCERT_CONTEXT rgpRecipientCert[], const BYTE* pbToBeEncrypted, DWORD cbToBeEncrypted,
                         BYTE* pbEncryptedBlob, DWORD* pcbEncryptedBlob) {
  if (!pEncryptPara || !pcbEncryptedBlob) return fail(DWORD(E_INVALIDARG));
  if (pEncryptPara->cbSize < offsetof(CRYPT_ENCRYPT_MESSAGE_PARA, dwInnerContentType) ||
      !(pEncryptPara->dwMsgEncodingType & PKCS_7_ASN_ENCODING))
    return fail(DWORD(E_INVALIDARG));
  if ((cRecipientCert && !rgpRecipientCert) || (cbToBeEncrypted && !pbToBeEncrypted)) return fail(DWORD(E_INVALIDARG));
  if (pEncryptPara->pvEncryptionAuxInfo) return fail(DWORD(E_NOTIMPL));
  CRYPT_ENCRYPT_MESSAGE_PARA para{};
  memcpy(&para, pEncryptPara, std::min<size_t>(pEncryptPara->cbSize, sizeof para));
  der::Bytes message;
  if (DWORD rc = encodeEnveloped(para, cRecipientCert, rgpRecipientCert, pbToBeEncrypted, cbToBeEncrypted, message))
    return fail(rc);
  if (message.size() > 0xFFFFFFFFu) return fail(DWORD(NTE_BAD_LEN));
  return copyOut(message.data(), DWORD(message.size()), pbEncryptedBlob, pcbEncryptedBlob);
}

BOOL CryptDecryptMessage(PCRYPT_DECRYPT_MESSAGE_PARA pDecryptPara, const BYTE* pbEncryptedBlob, DWORD cbEncryptedBlob,
                         BYTE* pbDecrypted, DWORD* pcbDecrypted, PCCERT_CONTEXT* ppXchgCert) {
  if (ppXchgCert) *ppXchgCert = nullptr;
  if (!pDecryptPara || !pbEncryptedBlob || !pcbDecrypted) return fail(DWORD(E_INVALIDARG));
  if (pDecryptPara->cbSize < offsetof(CRYPT_DECRYPT_MESSAGE_PARA, dwFlags) ||
      !(pDecryptPara->dwMsgAndCertEncodingType & PKCS_7_ASN_ENCODING) ||
      (pDecryptPara->cCertStore && !pDecryptPara->rghCertStore))
    return fail(DWORD(E_INVALIDARG));
  SecretBytes plain;
  size_t bound = 0;
  PCCERT_CONTEXT used = nullptr;
  const bool sizeOnly = pbDecrypted == nullptr;
  if (DWORD rc = decryptEnveloped(*pDecryptPara, pbEncryptedBlob, cbEncryptedBlob, sizeOnly, plain, bound,
                                  ppXchgCert ? &used : nullptr))
    return fail(rc);
  if (sizeOnly) {
    *pcbDecrypted = DWORD(bound);
    return TRUE;
  }
  const DWORD n = DWORD(plain.bytes.size());
  if (!copyOut(plain.bytes.data(), n, pbDecrypted, pcbDecrypted)) {
    if (used) CertFreeCertificateContext(used);
    return FALSE;
  }
  if (ppXchgCert) *ppXchgCert = used;
  return TRUE;
}
