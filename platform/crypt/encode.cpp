// CryptEncodeObject / CryptDecodeObject for the structures the components
// use, public-key infos, and signing requests.
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/codepage_internal.h"
#include "crypt/cng_keys.h"
#include "crypt/crypt_internal.h"
#include "crypt/token_internal.h"
#include "crypt/der.h"
#include "crypt/flat.h"

namespace velmora::crypt {

namespace {

using der::Bytes;

uintptr_t structId(LPCSTR type) { return reinterpret_cast<uintptr_t>(type) <= 0xFFFF ? reinterpret_cast<uintptr_t>(type) : 0; }

DWORD typeOfTag(BYTE tag) {
  switch (tag) {
    case der::kNumericString: return CERT_RDN_NUMERIC_STRING;
    case der::kPrintableString: return CERT_RDN_PRINTABLE_STRING;
    case der::kT61String: return CERT_RDN_T61_STRING;
    case der::kVideotexString: return CERT_RDN_VIDEOTEX_STRING;
    case der::kIa5String: return CERT_RDN_IA5_STRING;
    case der::kGraphicString: return CERT_RDN_GRAPHIC_STRING;
    case der::kVisibleString: return CERT_RDN_VISIBLE_STRING;
    case der::kGeneralString: return CERT_RDN_GENERAL_STRING;
    case der::kUniversalString: return CERT_RDN_UNIVERSAL_STRING;
    case der::kBmpString: return CERT_RDN_BMP_STRING;
    case der::kUtf8String: return CERT_RDN_UTF8_STRING;
    case der::kOctetString: return CERT_RDN_OCTET_STRING;
    default: return CERT_RDN_ENCODED_BLOB;
  }
}

BYTE tagOfType(DWORD type) {
  switch (type) {
    case CERT_RDN_NUMERIC_STRING: return der::kNumericString;
    case CERT_RDN_PRINTABLE_STRING: return der::kPrintableString;
    case CERT_RDN_T61_STRING: return der::kT61String;
    case CERT_RDN_VIDEOTEX_STRING: return der::kVideotexString;
    case CERT_RDN_IA5_STRING: return der::kIa5String;
    case CERT_RDN_GRAPHIC_STRING: return der::kGraphicString;
    case CERT_RDN_VISIBLE_STRING: return der::kVisibleString;
    case CERT_RDN_GENERAL_STRING: return der::kGeneralString;
    case CERT_RDN_UNIVERSAL_STRING: return der::kUniversalString;
    case CERT_RDN_BMP_STRING: return der::kBmpString;
    case CERT_RDN_UTF8_STRING: return der::kUtf8String;
    case CERT_RDN_OCTET_STRING: return der::kOctetString;
    default: return 0;
  }
}

bool wideType(DWORD type) {
  return type == CERT_RDN_BMP_STRING || type == CERT_RDN_UTF8_STRING || type == CERT_RDN_UNIVERSAL_STRING;
}

// The content bytes of one attribute value given as a CERT_RDN_VALUE_BLOB.
bool valueContent(DWORD type, const CERT_RDN_VALUE_BLOB& v, Bytes& out) {
  out.clear();
  if (wideType(type)) {
    const WCHAR* w = reinterpret_cast<const WCHAR*>(v.pbData);
    size_t n = v.cbData / 2;
    if (v.cbData == 0 && w)
      while (w[n]) ++n;
    std::u16string text(w ? w : u"", n);
    if (type == CERT_RDN_BMP_STRING) {
      for (char16_t c : text) {
        out.push_back(BYTE(c >> 8));
        out.push_back(BYTE(c & 0xFF));
      }
    } else if (type == CERT_RDN_UTF8_STRING) {
      std::string utf8 = velmora::platform::toNarrow(text, 65001);
      out.assign(utf8.begin(), utf8.end());
    } else {
      for (char16_t c : text) out.insert(out.end(), {0, 0, BYTE(c >> 8), BYTE(c & 0xFF)});
    }
    return true;
  }
  const BYTE* p = v.pbData;
  size_t n = v.cbData;
  if (n == 0 && p) n = strlen(reinterpret_cast<const char*>(p));
  if (n) out.assign(p, p + n);
  return true;
}

bool encodeName(const CERT_NAME_INFO& info, Bytes& out) {
  Bytes rdns;
  for (DWORD i = 0; i < info.cRDN; ++i) {
    const CERT_RDN& rdn = info.rgRDN[i];
    std::vector<Bytes> attrs;
    for (DWORD j = 0; j < rdn.cRDNAttr; ++j) {
      const CERT_RDN_ATTR& a = rdn.rgRDNAttr[j];
      Bytes oid, value;
      if (!a.pszObjId || !der::oid(a.pszObjId, oid)) return false;
      if (a.dwValueType == CERT_RDN_ENCODED_BLOB) {
        der::Reader r(a.Value.pbData, a.Value.cbData);
        der::Element e;
        if (!r.next(e) || !r.atEnd()) return false;
        value.assign(a.Value.pbData, a.Value.pbData + a.Value.cbData);
      } else {
        DWORD type = a.dwValueType;
        Bytes content;
        if (type == CERT_RDN_ANY_TYPE) {
          valueContent(type, a.Value, content);
          bool printable = std::all_of(content.begin(), content.end(), [](BYTE c) {
            return isalnum(c) || strchr(" '()+,-./:=?", c);
          });
          type = printable ? CERT_RDN_PRINTABLE_STRING : CERT_RDN_UTF8_STRING;
        } else {
          valueContent(type, a.Value, content);
        }
        BYTE tag = tagOfType(type);
        if (!tag) return false;
        value = der::tlv(tag, content);
      }
      attrs.push_back(der::tlv(der::kSequence, der::concat({oid, value})));
    }
    // A SET's members are sorted by their encodings.
    std::sort(attrs.begin(), attrs.end());
    Bytes set;
    for (const auto& a : attrs) set.insert(set.end(), a.begin(), a.end());
    Bytes encodedSet = der::tlv(der::kSet, set);
    rdns.insert(rdns.end(), encodedSet.begin(), encodedSet.end());
  }
  out = der::tlv(der::kSequence, rdns);
  return true;
}

Bytes algorithmId(const CRYPT_ALGORITHM_IDENTIFIER& alg, bool nullWhenEmpty, bool& ok) {
  Bytes oid;
  ok = alg.pszObjId && der::oid(alg.pszObjId, oid);
  Bytes params;
  if (alg.Parameters.cbData) params.assign(alg.Parameters.pbData, alg.Parameters.pbData + alg.Parameters.cbData);
  else if (nullWhenEmpty) params = {der::kNull, 0};
  return der::tlv(der::kSequence, der::concat({oid, params}));
}

Bytes bitString(const CRYPT_BIT_BLOB& bits) {
  Bytes content{BYTE(bits.cUnusedBits & 7)};
  content.insert(content.end(), bits.pbData, bits.pbData + bits.cbData);
  return der::tlv(der::kBitString, content);
}

bool encodePublicKeyInfo(const CERT_PUBLIC_KEY_INFO& info, Bytes& out) {
  bool ok = false;
  Bytes alg = algorithmId(info.Algorithm, false, ok);
  if (!ok) return false;
  out = der::tlv(der::kSequence, der::concat({alg, bitString(info.PublicKey)}));
  return true;
}

bool encodeRequestInfo(const CERT_REQUEST_INFO& info, Bytes& out) {
  Bytes version = der::unsignedInteger({BYTE(info.dwVersion)});
  der::Reader r(info.Subject.pbData, info.Subject.cbData);
  der::Element subject;
  if (!r.next(subject) || subject.tag != der::kSequence || !r.atEnd()) return false;
  Bytes spki;
  if (!encodePublicKeyInfo(info.SubjectPublicKeyInfo, spki)) return false;
  Bytes attrs;
  for (DWORD i = 0; i < info.cAttribute; ++i) {
    const CRYPT_ATTRIBUTE& a = info.rgAttribute[i];
    Bytes oid, values;
    if (!a.pszObjId || !der::oid(a.pszObjId, oid)) return false;
    for (DWORD j = 0; j < a.cValue; ++j)
      values.insert(values.end(), a.rgValue[j].pbData, a.rgValue[j].pbData + a.rgValue[j].cbData);
    Bytes attr = der::tlv(der::kSequence, der::concat({oid, der::tlv(der::kSet, values)}));
    attrs.insert(attrs.end(), attr.begin(), attr.end());
  }
  out = der::tlv(der::kSequence,
                 der::concat({version, Bytes(subject.start, subject.start + subject.total), spki,
                              der::tlv(0xA0, attrs)}));
  return true;
}

// RSAPublicKey DER of a PUBLICKEYBLOB.
bool encodeRsaPublicBlob(const BYTE* blob, size_t n, Bytes& out) {
  if (n < sizeof(BLOBHEADER) + sizeof(RSAPUBKEY)) return false;
  RSAPUBKEY rsa;
  memcpy(&rsa, blob + sizeof(BLOBHEADER), sizeof rsa);
  if (blob[0] != PUBLICKEYBLOB || rsa.magic != 0x31415352) return false;
  const size_t len = (rsa.bitlen + 7) / 8;
  if (n < sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + len) return false;
  const BYTE* mod = blob + sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
  Bytes modulus(mod, mod + len);
  std::reverse(modulus.begin(), modulus.end());
  Bytes exponent{BYTE(rsa.pubexp >> 24), BYTE(rsa.pubexp >> 16), BYTE(rsa.pubexp >> 8), BYTE(rsa.pubexp)};
  out = der::tlv(der::kSequence, der::concat({der::unsignedInteger(modulus), der::unsignedInteger(exponent)}));
  return true;
}

// A PUBLICKEYBLOB (CALG_RSA_KEYX) of RSAPublicKey DER.
bool decodeRsaPublicKey(const BYTE* p, size_t n, Bytes& blob) {
  der::Reader outer(p, n);
  der::Element seq, mod, exp;
  if (!outer.expect(der::kSequence, seq)) return false;
  der::Reader inner(seq.content, seq.length);
  if (!inner.expect(der::kInteger, mod) || !inner.expect(der::kInteger, exp) || !inner.atEnd()) return false;
  if (mod.length == 0 || (mod.content[0] & 0x80)) return false;  // negative
  const BYTE* m = mod.content;
  size_t mlen = mod.length;
  while (mlen > 1 && *m == 0) {
    ++m;
    --mlen;
  }
  if (*m == 0 || exp.length == 0 || exp.length > 5) return false;
  DWORD e = 0;
  for (size_t i = 0; i < exp.length; ++i) {
    if (i == 0 && exp.length == 5 && exp.content[0] != 0) return false;
    e = (e << 8) | exp.content[i];
  }
  DWORD bits = DWORD(mlen * 8);
  for (BYTE top = m[0]; !(top & 0x80); top = BYTE(top << 1)) --bits;
  BLOBHEADER header{PUBLICKEYBLOB, CUR_BLOB_VERSION, 0, CALG_RSA_KEYX};
  RSAPUBKEY rsa{0x31415352, bits, e};
  blob.resize(sizeof header + sizeof rsa);
  memcpy(blob.data(), &header, sizeof header);
  memcpy(blob.data() + sizeof header, &rsa, sizeof rsa);
  const size_t width = (bits + 7) / 8;
  for (size_t i = 0; i < width; ++i) blob.push_back(i < mlen ? m[mlen - 1 - i] : 0);
  return true;
}

BOOL decodeName(const BYTE* p, size_t n, void* out, DWORD* outLen) {
  ParsedName name;
  if (!parseName(p, n, name)) return fail(CRYPT_E_ASN1_BADTAG);
  return layOut(out, outLen, [&](Flat& f) {
    auto* info = static_cast<CERT_NAME_INFO*>(f.alloc(sizeof(CERT_NAME_INFO)));
    auto* rdns = static_cast<CERT_RDN*>(f.alloc(sizeof(CERT_RDN) * name.size()));
    if (info) *info = {DWORD(name.size()), name.empty() ? nullptr : rdns};
    for (size_t i = 0; i < name.size(); ++i) {
      auto* attrs = static_cast<CERT_RDN_ATTR*>(f.alloc(sizeof(CERT_RDN_ATTR) * name[i].size()));
      if (rdns) rdns[i] = {DWORD(name[i].size()), attrs};
      for (size_t j = 0; j < name[i].size(); ++j) {
        const NameAttr& a = name[i][j];
        char* oid = f.str(a.oid);
        BYTE* value = nullptr;
        DWORD size = 0;
        if (a.type == CERT_RDN_ENCODED_BLOB) {
          value = f.copy(a.whole.data(), a.whole.size());
          size = DWORD(a.whole.size());
        } else if (wideType(a.type)) {
          std::u16string text = attrText(a);
          value = f.copy(text.data(), text.size() * 2, 2);
          size = DWORD(text.size() * 2);
        } else {
          value = f.copy(a.raw.data(), a.raw.size(), 1);
          size = DWORD(a.raw.size());
        }
        if (attrs) attrs[j] = {oid, a.type, {size, value}};
      }
    }
  });
}

BOOL decodePublicKeyInfo(const BYTE* p, size_t n, void* out, DWORD* outLen) {
  der::Reader outer(p, n);
  der::Element seq, alg, bits, oid;
  if (!outer.expect(der::kSequence, seq)) return fail(CRYPT_E_ASN1_BADTAG);
  der::Reader inner(seq.content, seq.length);
  if (!inner.expect(der::kSequence, alg) || !inner.expect(der::kBitString, bits) || bits.length < 1)
    return fail(CRYPT_E_ASN1_BADTAG);
  der::Reader algReader(alg.content, alg.length);
  std::string dotted;
  if (!algReader.expect(der::kOid, oid) || !der::oidText(oid.content, oid.length, dotted))
    return fail(CRYPT_E_ASN1_BADTAG);
  const BYTE* params = oid.content + oid.length;
  const size_t paramsLen = size_t(alg.content + alg.length - params);
  return layOut(out, outLen, [&](Flat& f) {
    auto* info = static_cast<CERT_PUBLIC_KEY_INFO*>(f.alloc(sizeof(CERT_PUBLIC_KEY_INFO)));
    char* o = f.str(dotted);
    BYTE* pp = f.copy(params, paramsLen);
    BYTE* key = f.copy(bits.content + 1, bits.length - 1);
    if (info) *info = {{o, {DWORD(paramsLen), paramsLen ? pp : nullptr}}, {DWORD(bits.length - 1), key, DWORD(bits.content[0] & 7)}};
  });
}

BOOL decodeBits(const BYTE* p, size_t n, void* out, DWORD* outLen) {
  der::Reader r(p, n);
  der::Element bits;
  if (!r.expect(der::kBitString, bits) || bits.length < 1) return fail(CRYPT_E_ASN1_BADTAG);
  return layOut(out, outLen, [&](Flat& f) {
    auto* blob = static_cast<CRYPT_BIT_BLOB*>(f.alloc(sizeof(CRYPT_BIT_BLOB)));
    BYTE* data = f.copy(bits.content + 1, bits.length - 1);
    if (blob) *blob = {DWORD(bits.length - 1), data, DWORD(bits.content[0] & 7)};
  });
}

BOOL giveBytes(const Bytes& bytes, BYTE* out, DWORD* outLen) {
  return copyOut(bytes.data(), DWORD(bytes.size()), out, outLen);
}

const char* hashOfEcdsaOid(const std::string& oid) {
  if (oid == szOID_ECDSA_SHA256) return "SHA256";
  if (oid == szOID_ECDSA_SHA384) return "SHA384";
  if (oid == szOID_ECDSA_SHA512) return "SHA512";
  return nullptr;
}

// The public key of a CNG key: the curve's OID (whole DER element) and the point
// (04, X, Y), from the provider's PUBLICBLOB.
DWORD cngPublicKey(const CngKeyFunctions& cng, ULONG_PTR key, Bytes& curveOid, Bytes& point) {
  DWORD size = 0;
  SECURITY_STATUS rc = cng.exportKey(key, 0, u"PUBLICBLOB", nullptr, nullptr, 0, &size, 0);
  if (rc) return DWORD(rc);
  Bytes blob(size);
  rc = cng.exportKey(key, 0, u"PUBLICBLOB", nullptr, blob.data(), size, &size, 0);
  if (rc) return DWORD(rc);
  BCRYPT_ECCKEY_BLOB header;
  if (size < sizeof header) return DWORD(NTE_BAD_KEY);
  memcpy(&header, blob.data(), sizeof header);
  const char* curve = header.dwMagic == BCRYPT_ECDSA_PUBLIC_P256_MAGIC && header.cbKey == 32   ? szOID_ECC_CURVE_P256
                      : header.dwMagic == BCRYPT_ECDSA_PUBLIC_P384_MAGIC && header.cbKey == 48 ? szOID_ECC_CURVE_P384
                                                                                                : nullptr;
  if (!curve || size != sizeof header + 2 * header.cbKey) return DWORD(NTE_BAD_KEY);
  der::oid(curve, curveOid);
  point.assign(1, 0x04);
  point.insert(point.end(), blob.begin() + sizeof header, blob.begin() + size);
  return 0;
}

// ECDSA-Sig-Value of a CNG key's signature of `hash` (r and s, big-endian).
DWORD cngSign(const CngKeyFunctions& cng, ULONG_PTR key, Bytes& hash, Bytes& sigDer) {
  DWORD size = 0;
  SECURITY_STATUS rc = cng.signHash(key, nullptr, hash.data(), DWORD(hash.size()), nullptr, 0, &size, 0);
  if (rc) return DWORD(rc);
  Bytes rs(size);
  rc = cng.signHash(key, nullptr, hash.data(), DWORD(hash.size()), rs.data(), size, &size, 0);
  if (rc) return DWORD(rc);
  if (size == 0 || size % 2 || size > rs.size()) return DWORD(NTE_BAD_SIGNATURE);
  const size_t half = size / 2;
  sigDer = der::tlv(der::kSequence, der::concat({der::unsignedInteger(Bytes(rs.begin(), rs.begin() + long(half))),
                                                 der::unsignedInteger(Bytes(rs.begin() + long(half),
                                                                            rs.begin() + long(size)))}));
  return 0;
}

const char* hashOfSignatureOid(const std::string& oid) {
  if (oid == szOID_RSA_SHA256RSA) return "SHA256";
  if (oid == szOID_RSA_SHA1RSA) return "SHA1";
  if (oid == szOID_RSA_SHA384RSA) return "SHA384";
  if (oid == szOID_RSA_SHA512RSA) return "SHA512";
  if (oid == szOID_RSA_MD5RSA) return "MD5";
  return nullptr;
}

}  // namespace

bool parseName(const BYTE* p, size_t n, ParsedName& name) {
  name.clear();
  der::Reader outer(p, n);
  der::Element seq;
  if (!p || !outer.expect(der::kSequence, seq) || !outer.atEnd()) return false;
  der::Reader rdns(seq.content, seq.length);
  while (!rdns.atEnd()) {
    der::Element set;
    if (!rdns.expect(der::kSet, set)) return false;
    std::vector<NameAttr> rdn;
    der::Reader attrs(set.content, set.length);
    while (!attrs.atEnd()) {
      der::Element attr, oid, value;
      if (!attrs.expect(der::kSequence, attr)) return false;
      der::Reader parts(attr.content, attr.length);
      NameAttr a;
      if (!parts.expect(der::kOid, oid) || !der::oidText(oid.content, oid.length, a.oid) || !parts.next(value) ||
          !parts.atEnd())
        return false;
      a.type = typeOfTag(value.tag);
      a.raw.assign(value.content, value.content + value.length);
      a.whole.assign(value.start, value.start + value.total);
      rdn.push_back(std::move(a));
    }
    name.push_back(std::move(rdn));
  }
  return true;
}

std::u16string attrText(const NameAttr& a) {
  std::u16string text;
  const auto& r = a.raw;
  switch (a.type) {
    case CERT_RDN_BMP_STRING:
      for (size_t i = 0; i + 1 < r.size(); i += 2) text += char16_t((r[i] << 8) | r[i + 1]);
      return text;
    case CERT_RDN_UNIVERSAL_STRING:
      for (size_t i = 0; i + 3 < r.size(); i += 4) {
        uint32_t c = (uint32_t(r[i]) << 24) | (r[i + 1] << 16) | (r[i + 2] << 8) | r[i + 3];
        if (c >= 0x10000 && c <= 0x10FFFF) {
          c -= 0x10000;
          text += char16_t(0xD800 + (c >> 10));
          text += char16_t(0xDC00 + (c & 0x3FF));
        } else {
          text += char16_t(c);
        }
      }
      return text;
    case CERT_RDN_UTF8_STRING:
      return velmora::platform::toWide(std::string_view(reinterpret_cast<const char*>(r.data()), r.size()), 65001);
    default:
      // The 8-bit string types: one character per byte (Latin-1).
      for (BYTE b : r) text += char16_t(b);
      return text;
  }
}

// UTCTime for the years 1950 to 2049, GeneralizedTime otherwise.
bool encodeTime(const FILETIME& ft, der::Bytes& out) {
  const uint64_t ticks = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  const int64_t unixSeconds = int64_t(ticks / 10000000ULL) - 11644473600LL;
  time_t t = time_t(unixSeconds);
  struct tm tm{};
  if (!gmtime_r(&t, &tm)) return false;
  const int year = tm.tm_year + 1900;
  char text[32];
  if (year >= 1950 && year < 2050) {
    snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02dZ", year % 100, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
             tm.tm_min, tm.tm_sec);
    out = der::tlv(der::kUtcTime, reinterpret_cast<const BYTE*>(text), strlen(text));
  } else {
    if (year > 9999) return false;
    snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02dZ", year, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
             tm.tm_sec);
    out = der::tlv(der::kGeneralizedTime, reinterpret_cast<const BYTE*>(text), strlen(text));
  }
  return true;
}

}  // namespace velmora::crypt

using namespace velmora::crypt;

BOOL CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo, BYTE* pbEncoded,
                       DWORD* pcbEncoded) {
  if (!pvStructInfo || !pcbEncoded) return fail(ERROR_INVALID_PARAMETER);
  if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) return fail(ERROR_FILE_NOT_FOUND);
  der::Bytes out;
  bool ok = false;
  uintptr_t id = structId(lpszStructType);
  if (!id && lpszStructType && strcmp(lpszStructType, szOID_RSA_signingTime) == 0) id = 17;
  switch (id) {
    case 17:  // PKCS_UTC_TIME, the signing-time attribute's value
      ok = encodeTime(*static_cast<const FILETIME*>(pvStructInfo), out);
      break;
    case 7:  // X509_NAME
      ok = encodeName(*static_cast<const CERT_NAME_INFO*>(pvStructInfo), out);
      break;
    case 8:  // X509_PUBLIC_KEY_INFO
      ok = encodePublicKeyInfo(*static_cast<const CERT_PUBLIC_KEY_INFO*>(pvStructInfo), out);
      break;
    case 4:  // X509_CERT_REQUEST_TO_BE_SIGNED
      ok = encodeRequestInfo(*static_cast<const CERT_REQUEST_INFO*>(pvStructInfo), out);
      break;
    case 14: {  // X509_KEY_USAGE
      const auto* bits = static_cast<const CRYPT_BIT_BLOB*>(pvStructInfo);
      out = bitString(*bits);
      ok = true;
      break;
    }
    case 19: {  // RSA_CSP_PUBLICKEYBLOB
      // The blob itself is the structure here.
      const auto* header = static_cast<const BLOBHEADER*>(pvStructInfo);
      RSAPUBKEY rsa;
      memcpy(&rsa, reinterpret_cast<const BYTE*>(header) + sizeof(BLOBHEADER), sizeof rsa);
      const size_t n = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + (rsa.bitlen + 7) / 8;
      ok = rsa.bitlen <= 16384 && encodeRsaPublicBlob(reinterpret_cast<const BYTE*>(header), n, out);
      break;
    }
    default:
      return fail(ERROR_FILE_NOT_FOUND);  // no encoder for this type
  }
  if (!ok) return fail(CRYPT_E_BAD_ENCODE);
  return giveBytes(out, pbEncoded, pcbEncoded);
}

BOOL CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded, DWORD cbEncoded,
                       DWORD dwFlags, void* pvStructInfo, DWORD* pcbStructInfo) {
  if (!pbEncoded || !pcbStructInfo) return fail(ERROR_INVALID_PARAMETER);
  if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) return fail(ERROR_FILE_NOT_FOUND);
  switch (structId(lpszStructType)) {
    case 7:  // X509_NAME
      return decodeName(pbEncoded, cbEncoded, pvStructInfo, pcbStructInfo);
    case 8:  // X509_PUBLIC_KEY_INFO
      return decodePublicKeyInfo(pbEncoded, cbEncoded, pvStructInfo, pcbStructInfo);
    case 14:  // X509_KEY_USAGE
      return decodeBits(pbEncoded, cbEncoded, pvStructInfo, pcbStructInfo);
    case 19: {  // RSA_CSP_PUBLICKEYBLOB
      der::Bytes blob;
      if (!decodeRsaPublicKey(pbEncoded, cbEncoded, blob)) return fail(CRYPT_E_ASN1_BADTAG);
      return copyOut(blob.data(), DWORD(blob.size()), static_cast<BYTE*>(pvStructInfo), pcbStructInfo);
    }
    default:
      return fail(ERROR_FILE_NOT_FOUND);
  }
}

BOOL CryptExportPublicKeyInfo(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hCryptProv, DWORD dwKeySpec, DWORD dwCertEncodingType,
                              PCERT_PUBLIC_KEY_INFO pInfo, DWORD* pcbInfo) {
  // A CNG key: id-ecPublicKey with its named curve (the key spec does not apply).
  if (const CngKeyFunctions* cng = cngKeyFunctionsFor(hCryptProv)) {
    if (!pcbInfo) return fail(ERROR_INVALID_PARAMETER);
    if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) return fail(ERROR_FILE_NOT_FOUND);
    der::Bytes curve, point;
    if (DWORD rc = cngPublicKey(*cng, hCryptProv, curve, point)) return fail(rc);
    return layOut(pInfo, pcbInfo, [&](Flat& f) {
      auto* info = static_cast<CERT_PUBLIC_KEY_INFO*>(f.alloc(sizeof(CERT_PUBLIC_KEY_INFO)));
      char* oid = f.str(szOID_ECC_PUBLIC_KEY);
      BYTE* params = f.copy(curve.data(), curve.size());
      BYTE* bits = f.copy(point.data(), point.size());
      if (info) *info = {{oid, {DWORD(curve.size()), params}}, {DWORD(point.size()), bits, 0}};
    });
  }
  auto prov = providers().find(hCryptProv);
  if (!prov) return fail(NTE_BAD_UID);
  if (!pcbInfo) return fail(ERROR_INVALID_PARAMETER);
  if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) return fail(ERROR_FILE_NOT_FOUND);
  DWORD error = 0;
  auto key = userKey(*prov, dwKeySpec, error);
  if (!key) return fail(error);
  der::Bytes spki;
  if (!rsaPublicDer(key->pkey, spki)) return fail(NTE_FAIL);
  static const BYTE kNullParams[] = {der::kNull, 0};
  return layOut(pInfo, pcbInfo, [&](Flat& f) {
    auto* info = static_cast<CERT_PUBLIC_KEY_INFO*>(f.alloc(sizeof(CERT_PUBLIC_KEY_INFO)));
    char* oid = f.str(szOID_RSA_RSA);
    BYTE* params = f.copy(kNullParams, sizeof kNullParams);
    BYTE* bits = f.copy(spki.data(), spki.size());
    if (info) *info = {{oid, {sizeof kNullParams, params}}, {DWORD(spki.size()), bits, 0}};
  });
}

BOOL CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwCertEncodingType, PCERT_PUBLIC_KEY_INFO pInfo,
                              HCRYPTKEY* phKey) {
  if (!pInfo || !phKey) return fail(ERROR_INVALID_PARAMETER);
  if (!pInfo->Algorithm.pszObjId || strcmp(pInfo->Algorithm.pszObjId, szOID_RSA_RSA) != 0)
    return fail(NTE_BAD_ALGID);
  der::Bytes blob;
  if (!decodeRsaPublicKey(pInfo->PublicKey.pbData, pInfo->PublicKey.cbData, blob)) return fail(CRYPT_E_ASN1_BADTAG);
  return CryptImportKey(hCryptProv, blob.data(), DWORD(blob.size()), 0, 0, phKey);
}

BOOL CryptSignAndEncodeCertificate(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hCryptProv, DWORD dwKeySpec, DWORD dwCertEncodingType,
                                   LPCSTR lpszStructType, const void* pvStructInfo,
                                   PCRYPT_ALGORITHM_IDENTIFIER pSignatureAlgorithm, const void*, BYTE* pbEncoded,
                                   DWORD* pcbEncoded) {
  if (!pvStructInfo || !pSignatureAlgorithm || !pcbEncoded) return fail(ERROR_INVALID_PARAMETER);
  if (const CngKeyFunctions* cng = cngKeyFunctionsFor(hCryptProv)) {
    if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) return fail(ERROR_FILE_NOT_FOUND);
    const char* hash = pSignatureAlgorithm->pszObjId ? hashOfEcdsaOid(pSignatureAlgorithm->pszObjId) : nullptr;
    if (!hash) return fail(NTE_BAD_ALGID);
    if (structId(lpszStructType) != uintptr_t(X509_CERT_REQUEST_TO_BE_SIGNED)) return fail(ERROR_FILE_NOT_FOUND);
    der::Bytes tbs;
    if (!encodeRequestInfo(*static_cast<const CERT_REQUEST_INFO*>(pvStructInfo), tbs))
      return fail(CRYPT_E_BAD_ENCODE);
    // ECDSA identifiers carry no parameters, not even NULL.
    bool ok = false;
    der::Bytes alg = algorithmId(*pSignatureAlgorithm, false, ok);
    if (!ok) return fail(CRYPT_E_BAD_ENCODE);
    auto assemble = [&](const der::Bytes& sig) {
      der::Bytes bits{0};
      bits.insert(bits.end(), sig.begin(), sig.end());
      return der::tlv(der::kSequence, der::concat({tbs, alg, der::tlv(der::kBitString, bits)}));
    };
    if (!pbEncoded) {
      // An ECDSA signature's length varies: the query gives the longest,
      // the encoding its own length.
      der::Bytes curve, point;
      if (DWORD rc = cngPublicKey(*cng, hCryptProv, curve, point)) return fail(rc);
      const der::Bytes longest(point.size() / 2, 0xFF);
      *pcbEncoded = DWORD(assemble(der::tlv(der::kSequence, der::concat({der::unsignedInteger(longest),
                                                                          der::unsignedInteger(longest)})))
                              .size());
      return TRUE;
    }
    der::Bytes md(EVP_MAX_MD_SIZE);
    unsigned int mdLen = 0;
    EVP_MD* digest = EVP_MD_fetch(libctx(), hash, nullptr);
    ok = digest && EVP_Digest(tbs.data(), tbs.size(), md.data(), &mdLen, digest, nullptr) == 1;
    EVP_MD_free(digest);
    if (!ok) return fail(NTE_FAIL);
    md.resize(mdLen);
    der::Bytes sig;
    if (DWORD rc = cngSign(*cng, hCryptProv, md, sig)) return fail(rc);
    return giveBytes(assemble(sig), pbEncoded, pcbEncoded);
  }
  auto prov = providers().find(hCryptProv);
  if (!prov) return fail(NTE_BAD_UID);
  if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) return fail(ERROR_FILE_NOT_FOUND);
  const char* hash = pSignatureAlgorithm->pszObjId ? hashOfSignatureOid(pSignatureAlgorithm->pszObjId) : nullptr;
  if (!hash) return fail(NTE_BAD_ALGID);
  der::Bytes tbs;
  if (structId(lpszStructType) != uintptr_t(X509_CERT_REQUEST_TO_BE_SIGNED)) return fail(ERROR_FILE_NOT_FOUND);
  if (!encodeRequestInfo(*static_cast<const CERT_REQUEST_INFO*>(pvStructInfo), tbs)) return fail(CRYPT_E_BAD_ENCODE);
  DWORD error = 0;
  auto key = userKey(*prov, dwKeySpec, error);
  if (!key) return fail(error);
  if (!key->hasPrivate) return fail(NTE_NO_KEY);
  // The size is known without signing: the signature is as long as the modulus.
  bool ok = false;
  der::Bytes alg = algorithmId(*pSignatureAlgorithm, true, ok);
  if (!ok) return fail(CRYPT_E_BAD_ENCODE);
  der::Bytes sig(size_t(EVP_PKEY_get_size(key->pkey)));
  auto assemble = [&] {
    der::Bytes bits{0};
    bits.insert(bits.end(), sig.begin(), sig.end());
    return der::tlv(der::kSequence, der::concat({tbs, alg, der::tlv(der::kBitString, bits)}));
  };
  const DWORD need = DWORD(assemble().size());
  if (!pbEncoded) {
    *pcbEncoded = need;
    return TRUE;
  }
  if (*pcbEncoded < need) {
    *pcbEncoded = need;
    return fail(ERROR_MORE_DATA);
  }
  // Signed with the container's key directly: SHA-2 request signatures work
  // for every RSA provider type, as the certificate library arranges on Windows.
  if (DWORD rc = confirmKeyUse(*prov, *key, "sign")) return fail(rc);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdLen = 0;
  EVP_MD* digest = EVP_MD_fetch(libctx(), hash, nullptr);
  ok = digest && EVP_Digest(tbs.data(), tbs.size(), md, &mdLen, digest, nullptr) == 1 &&
       (prov->token ? tokenSignDigest(hCryptProv, dwKeySpec, hash, md, mdLen, sig)
                    : rsaSignDigest(key->pkey, hash, md, mdLen, sig));
  EVP_MD_free(digest);
  if (!ok) return prov->token ? FALSE : fail(NTE_FAIL);
  return giveBytes(assemble(), pbEncoded, pcbEncoded);
}
