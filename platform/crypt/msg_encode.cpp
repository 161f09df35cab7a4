// PKCS #7 signed messages opened for encoding: the content is gathered by
// CryptMsgUpdate, and the final update digests it and has each signer's key
// (a CryptoAPI provider or a CNG key handle) sign, so a key's failure (a
// smart card's PIN error, the user's cancel) is that update's failure.
#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "crypt/cng_keys.h"
#include "crypt/crypt_internal.h"
#include "crypt/der.h"
#include "crypt/msg_encode.h"

namespace velmora::crypt {

namespace {

using der::Bytes;

struct Attribute {
  std::string oid;
  std::vector<Bytes> values;
};

struct Signer {
  Bytes issuer;  // DER Name
  Bytes serial;  // INTEGER content bytes, big-endian
  ULONG_PTR key = 0;
  DWORD keySpec = 0;
  bool cng = false;
  std::string hashOid;
  Bytes hashParams;
  std::string signatureOid;  // empty: the key's own algorithm
  Bytes signatureParams;
  std::vector<Attribute> authAttrs;
  std::vector<Attribute> unauthAttrs;
  bool withAttrs = false;
};

struct EncodeMessage {
  DWORD flags = 0;
  std::string innerOid;
  std::vector<Signer> signers;
  std::vector<Bytes> certs, crls;
  Bytes content;
  Bytes signedData;  // once final
  bool done = false;
};

HandleTable<EncodeMessage>& encodeMessages() {
  static auto* table = new HandleTable<EncodeMessage>;
  return *table;
}

struct Hash {
  const char* oid;
  const char* name;
  ALG_ID alg;
  const char* ecdsa;
};
const Hash kHashes[] = {
    {szOID_OIWSEC_sha1, "SHA1", CALG_SHA1, szOID_ECDSA_SHA1},
    {szOID_NIST_sha256, "SHA256", CALG_SHA_256, szOID_ECDSA_SHA256},
    {szOID_NIST_sha384, "SHA384", CALG_SHA_384, szOID_ECDSA_SHA384},
    {szOID_NIST_sha512, "SHA512", CALG_SHA_512, szOID_ECDSA_SHA512},
    {szOID_RSA_MD5, "MD5", CALG_MD5, nullptr},
};
const Hash* hashOf(const std::string& oid) {
  for (const auto& h : kHashes)
    if (oid == h.oid) return &h;
  return nullptr;
}

Bytes copyBlob(const CRYPT_DATA_BLOB& b) { return b.cbData && b.pbData ? Bytes(b.pbData, b.pbData + b.cbData) : Bytes(); }

bool copyAttrs(DWORD n, const CRYPT_ATTRIBUTE* in, std::vector<Attribute>& out) {
  if (n && !in) return false;
  for (DWORD i = 0; i < n; ++i) {
    if (!in[i].pszObjId || (in[i].cValue && !in[i].rgValue)) return false;
    Attribute a;
    a.oid = in[i].pszObjId;
    for (DWORD v = 0; v < in[i].cValue; ++v) a.values.push_back(copyBlob(in[i].rgValue[v]));
    out.push_back(std::move(a));
  }
  return true;
}

// A DER SET OF: its members sorted by their encodings.
Bytes setOf(std::vector<Bytes> members) {
  std::sort(members.begin(), members.end());
  Bytes content;
  for (const auto& m : members) content.insert(content.end(), m.begin(), m.end());
  return der::tlv(der::kSet, content);
}

bool algorithmId(const std::string& oid, const Bytes& params, Bytes& out) {
  Bytes o;
  if (!der::oid(oid, o)) return false;
  out = der::tlv(der::kSequence, der::concat({o, params.empty() ? der::tlv(der::kNull, Bytes()) : params}));
  return true;
}

bool attributesSet(const std::vector<Attribute>& attrs, Bytes& out) {
  std::vector<Bytes> members;
  for (const auto& a : attrs) {
    Bytes o;
    if (!der::oid(a.oid, o)) return false;
    members.push_back(der::tlv(der::kSequence, der::concat({o, setOf(a.values)})));
  }
  out = setOf(std::move(members));
  return true;
}

bool digest(const Hash& h, const Bytes& data, Bytes& out) {
  EVP_MD* md = EVP_MD_fetch(libctx(), h.name, nullptr);
  if (!md) return false;
  out.resize(EVP_MAX_MD_SIZE);
  unsigned n = 0;
  bool ok = EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr) == 1;
  EVP_MD_free(md);
  out.resize(n);
  return ok;
}

// The signer's signature of a digest: PKCS #1 (big-endian) for a provider's
// key, an ECDSA-Sig-Value for a CNG key. 0 or the key's error.
DWORD sign(const Signer& s, const Hash& h, const Bytes& md, Bytes& sig) {
  if (s.cng) {
    const CngKeyFunctions* cng = cngKeyFunctionsFor(s.key);
    if (!cng) return DWORD(NTE_INVALID_HANDLE);
    DWORD n = 0;
    Bytes raw(512);
    SECURITY_STATUS st = cng->signHash(s.key, nullptr, const_cast<BYTE*>(md.data()), DWORD(md.size()), raw.data(),
                                       DWORD(raw.size()), &n, 0);
    if (st != 0) return DWORD(st);
    if (n == 0 || n % 2) return DWORD(NTE_BAD_SIGNATURE);
    ECDSA_SIG* es = ECDSA_SIG_new();
    ECDSA_SIG_set0(es, BN_bin2bn(raw.data(), int(n / 2), nullptr), BN_bin2bn(raw.data() + n / 2, int(n / 2), nullptr));
    unsigned char* out = nullptr;
    int len = i2d_ECDSA_SIG(es, &out);
    ECDSA_SIG_free(es);
    if (len <= 0) return DWORD(NTE_FAIL);
    sig.assign(out, out + len);
    OPENSSL_free(out);
    return 0;
  }
  HCRYPTHASH hash = 0;
  DWORD n = 0;
  bool ok = CryptCreateHash(s.key, h.alg, 0, 0, &hash) && CryptSetHashParam(hash, HP_HASHVAL, md.data(), 0) &&
            CryptSignHashA(hash, s.keySpec, nullptr, 0, nullptr, &n);
  if (ok) {
    sig.resize(n);
    ok = CryptSignHashA(hash, s.keySpec, nullptr, 0, sig.data(), &n);
    sig.resize(n);
  }
  DWORD error = ok ? 0 : GetLastError();
  if (hash) CryptDestroyHash(hash);
  std::reverse(sig.begin(), sig.end());
  return error;
}

DWORD signerInfo(const EncodeMessage& m, const Signer& s, const Bytes& contentType, Bytes& out) {
  const Hash* h = hashOf(s.hashOid);
  if (!h) return DWORD(CRYPT_E_UNKNOWN_ALGO);
  Bytes md, digestAlg, toSign, attrs;
  if (!digest(*h, m.content, md) || !algorithmId(s.hashOid, s.hashParams, digestAlg))
    return DWORD(CRYPT_E_UNKNOWN_ALGO);
  if (s.withAttrs) {
    // The content type and digest come first, as every signer of this kind adds them.
    std::vector<Attribute> all;
    all.push_back({szOID_RSA_contentType, {contentType}});
    all.push_back({szOID_RSA_messageDigest, {der::tlv(der::kOctetString, md)}});
    for (const auto& a : s.authAttrs)
      if (a.oid != szOID_RSA_contentType && a.oid != szOID_RSA_messageDigest) all.push_back(a);
    if (!attributesSet(all, attrs)) return DWORD(CRYPT_E_OID_FORMAT);
    if (!digest(*h, attrs, md)) return DWORD(CRYPT_E_UNKNOWN_ALGO);
    attrs[0] = 0xA0;  // [0] IMPLICIT in the signer info
  }
  Bytes sig;
  if (DWORD rc = sign(s, *h, md, sig)) return rc;
  Bytes sigAlg;
  std::string sigOid = s.signatureOid;
  Bytes sigParams = s.signatureParams;
  if (sigOid.empty()) sigOid = s.cng ? (h->ecdsa ? h->ecdsa : "") : szOID_RSA_RSA;
  if (s.cng && sigParams.empty()) {
    // ECDSA algorithm identifiers carry no parameters.
    Bytes o;
    if (!der::oid(sigOid, o)) return DWORD(CRYPT_E_UNKNOWN_ALGO);
    sigAlg = der::tlv(der::kSequence, o);
  } else if (!algorithmId(sigOid, sigParams, sigAlg)) {
    return DWORD(CRYPT_E_UNKNOWN_ALGO);
  }
  Bytes unauth;
  if (!s.unauthAttrs.empty()) {
    if (!attributesSet(s.unauthAttrs, unauth)) return DWORD(CRYPT_E_OID_FORMAT);
    unauth[0] = 0xA1;
  }
  Bytes version = der::tlv(der::kInteger, Bytes{1});
  Bytes sid = der::tlv(der::kSequence, der::concat({s.issuer, der::tlv(der::kInteger, s.serial)}));
  out = der::tlv(der::kSequence,
                 der::concat({version, sid, digestAlg, attrs, sigAlg, der::tlv(der::kOctetString, sig), unauth}));
  return 0;
}

DWORD finish(EncodeMessage& m) {
  Bytes innerOid;
  if (!der::oid(m.innerOid, innerOid)) return DWORD(CRYPT_E_OID_FORMAT);
  std::vector<Bytes> digestAlgs, infos;
  for (const auto& s : m.signers) {
    Bytes info, alg;
    if (DWORD rc = signerInfo(m, s, innerOid, info)) return rc;
    algorithmId(s.hashOid, s.hashParams, alg);
    if (std::find(digestAlgs.begin(), digestAlgs.end(), alg) == digestAlgs.end()) digestAlgs.push_back(alg);
    infos.push_back(std::move(info));
  }
  const bool octets = m.innerOid == szOID_RSA_data || (m.flags & CMSG_CMS_ENCAPSULATED_CONTENT_FLAG);
  Bytes encap = innerOid;
  if (!(m.flags & CMSG_DETACHED_FLAG) && !m.content.empty())
    encap = der::concat({encap, der::tlv(0xA0, octets ? der::tlv(der::kOctetString, m.content) : m.content)});
  Bytes certs, crls;
  for (const auto& c : m.certs) certs.insert(certs.end(), c.begin(), c.end());
  for (const auto& c : m.crls) crls.insert(crls.end(), c.begin(), c.end());
  m.signedData = der::tlv(
      der::kSequence,
      der::concat({der::tlv(der::kInteger, Bytes{1}), setOf(digestAlgs), der::tlv(der::kSequence, encap),
                   m.certs.empty() ? Bytes() : der::tlv(0xA0, certs), m.crls.empty() ? Bytes() : der::tlv(0xA1, crls),
                   setOf(infos)}));
  return 0;
}

constexpr size_t kPkcs7SignerSize = offsetof(CMSG_SIGNER_ENCODE_INFO, SignerId);
constexpr size_t kPkcs7SignedSize = offsetof(CMSG_SIGNED_ENCODE_INFO, cAttrCertEncoded);

DWORD copySigner(const CMSG_SIGNER_ENCODE_INFO& in, Signer& s) {
  if (in.cbSize != kPkcs7SignerSize && in.cbSize != sizeof(CMSG_SIGNER_ENCODE_INFO))
    return DWORD(E_INVALIDARG);
  const bool cms = in.cbSize == sizeof(CMSG_SIGNER_ENCODE_INFO);
  if (cms && in.SignerId.dwIdChoice == CERT_ID_ISSUER_SERIAL_NUMBER) {
    s.issuer = copyBlob(in.SignerId.IssuerSerialNumber.Issuer);
    s.serial = copyBlob(in.SignerId.IssuerSerialNumber.SerialNumber);
  } else if (cms && in.SignerId.dwIdChoice != 0) {
    return DWORD(E_INVALIDARG);  // key-identifier signers are CMS only
  } else {
    if (!in.pCertInfo) return DWORD(E_INVALIDARG);
    s.issuer = copyBlob(in.pCertInfo->Issuer);
    s.serial = copyBlob(in.pCertInfo->SerialNumber);
  }
  if (s.issuer.empty() || s.serial.empty()) return DWORD(E_INVALIDARG);
  std::reverse(s.serial.begin(), s.serial.end());  // CryptoAPI keeps it least significant byte first
  if (!in.HashAlgorithm.pszObjId || !hashOf(in.HashAlgorithm.pszObjId)) return DWORD(CRYPT_E_UNKNOWN_ALGO);
  s.hashOid = in.HashAlgorithm.pszObjId;
  s.hashParams = copyBlob(in.HashAlgorithm.Parameters);
  s.key = in.hCryptProv;
  s.cng = (in.dwKeySpec == 0 || in.dwKeySpec == CERT_NCRYPT_KEY_SPEC) && cngKeyFunctionsFor(in.hCryptProv);
  s.keySpec = s.cng ? 0 : (in.dwKeySpec ? in.dwKeySpec : AT_KEYEXCHANGE);
  if (!s.cng && !providers().find(s.key)) return DWORD(NTE_BAD_UID);
  if (cms && in.HashEncryptionAlgorithm.pszObjId) {
    s.signatureOid = in.HashEncryptionAlgorithm.pszObjId;
    s.signatureParams = copyBlob(in.HashEncryptionAlgorithm.Parameters);
  }
  if (!copyAttrs(in.cAuthAttr, in.rgAuthAttr, s.authAttrs) || !copyAttrs(in.cUnauthAttr, in.rgUnauthAttr, s.unauthAttrs))
    return DWORD(E_INVALIDARG);
  s.withAttrs = !s.authAttrs.empty();
  return 0;
}

}  // namespace

bool isEncodeMessage(HCRYPTMSG h) { return encodeMessages().find(reinterpret_cast<ULONG_PTR>(h)) != nullptr; }

BOOL encodeMessageUpdate(HCRYPTMSG h, const BYTE* pbData, DWORD cbData, BOOL fFinal) {
  auto m = encodeMessages().find(reinterpret_cast<ULONG_PTR>(h));
  if (!m) return fail(ERROR_INVALID_HANDLE);
  if (m->done) return fail(DWORD(CRYPT_E_MSG_ERROR));
  if (cbData && !pbData) return fail(ERROR_INVALID_PARAMETER);
  m->content.insert(m->content.end(), pbData, pbData + cbData);
  if (!fFinal) return TRUE;
  if (DWORD rc = finish(*m)) return fail(rc);
  m->done = true;
  return TRUE;
}

BOOL encodeMessageGetParam(HCRYPTMSG h, DWORD dwParamType, DWORD dwIndex, void* pvData, DWORD* pcbData) {
  auto m = encodeMessages().find(reinterpret_cast<ULONG_PTR>(h));
  if (!m) return fail(ERROR_INVALID_HANDLE);
  if (!pcbData) return fail(ERROR_INVALID_PARAMETER);
  BYTE* out = static_cast<BYTE*>(pvData);
  switch (dwParamType) {
    case CMSG_TYPE_PARAM: {
      DWORD type = CMSG_SIGNED;
      return copyOut(&type, sizeof type, out, pcbData);
    }
    case CMSG_CONTENT_PARAM:
    case CMSG_BARE_CONTENT_PARAM: {
      if (!m->done) return fail(DWORD(CRYPT_E_MSG_ERROR));
      if (dwParamType == CMSG_BARE_CONTENT_PARAM || (m->flags & CMSG_BARE_CONTENT_FLAG))
        return copyOut(m->signedData.data(), DWORD(m->signedData.size()), out, pcbData);
      Bytes oid;
      der::oid(szOID_RSA_signedData, oid);
      Bytes info = der::tlv(der::kSequence, der::concat({oid, der::tlv(0xA0, m->signedData)}));
      return copyOut(info.data(), DWORD(info.size()), out, pcbData);
    }
    case CMSG_SIGNER_COUNT_PARAM: {
      DWORD count = DWORD(m->signers.size());
      return copyOut(&count, sizeof count, out, pcbData);
    }
    default:
      return fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
  }
}

bool encodeMessageClose(HCRYPTMSG h) {
  auto m = encodeMessages().remove(reinterpret_cast<ULONG_PTR>(h));
  if (!m) return false;
  if (m->flags & CMSG_CRYPT_RELEASE_CONTEXT_FLAG)
    for (const auto& s : m->signers)
      if (!s.cng) CryptReleaseContext(s.key, 0);
  std::fill(m->content.begin(), m->content.end(), 0);
  return true;
}

}  // namespace velmora::crypt

using namespace velmora::crypt;

HCRYPTMSG CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType, const void* pvMsgEncodeInfo,
                               LPSTR pszInnerContentObjID, PCMSG_STREAM_INFO pStreamInfo) {
  auto failNull = [](DWORD error) -> HCRYPTMSG {
    SetLastError(error);
    return nullptr;
  };
  if (!(dwMsgEncodingType & PKCS_7_ASN_ENCODING)) return failNull(DWORD(E_INVALIDARG));
  if (pStreamInfo) return failNull(DWORD(E_NOTIMPL));
  if (dwMsgType != CMSG_SIGNED) return failNull(DWORD(CRYPT_E_INVALID_MSG_TYPE));
  const auto* info = static_cast<const CMSG_SIGNED_ENCODE_INFO*>(pvMsgEncodeInfo);
  if (!info || (info->cbSize != kPkcs7SignedSize && info->cbSize != sizeof(CMSG_SIGNED_ENCODE_INFO)))
    return failNull(DWORD(E_INVALIDARG));
  if ((info->cSigners && !info->rgSigners) || (info->cCertEncoded && !info->rgCertEncoded) ||
      (info->cCrlEncoded && !info->rgCrlEncoded))
    return failNull(DWORD(E_INVALIDARG));
  auto m = std::make_shared<EncodeMessage>();
  m->flags = dwFlags;
  m->innerOid = pszInnerContentObjID ? pszInnerContentObjID : szOID_RSA_data;
  Bytes check;
  if (!der::oid(m->innerOid, check)) return failNull(DWORD(CRYPT_E_OID_FORMAT));
  for (DWORD i = 0; i < info->cSigners; ++i) {
    Signer s;
    if (DWORD rc = copySigner(info->rgSigners[i], s)) return failNull(rc);
    if (dwFlags & CMSG_AUTHENTICATED_ATTRIBUTES_FLAG) s.withAttrs = true;
    m->signers.push_back(std::move(s));
  }
  for (DWORD i = 0; i < info->cCertEncoded; ++i) m->certs.push_back(copyBlob(info->rgCertEncoded[i]));
  for (DWORD i = 0; i < info->cCrlEncoded; ++i) m->crls.push_back(copyBlob(info->rgCrlEncoded[i]));
  return reinterpret_cast<HCRYPTMSG>(encodeMessages().add(std::move(m)));
}
