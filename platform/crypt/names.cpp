// Distinguished names as text (X.500, simple, OID forms) and back, and
// binary to Base64 or hex text.
#include "base/codepage_internal.h"
#include "crypt/crypt_internal.h"
#include "crypt/der.h"

#include <strings.h>

#include <algorithm>
#include <deque>
#include <cstring>

namespace velmora::crypt {

namespace {

struct KeyName {
  const char* key;
  const char* oid;
};
const KeyName kKeys[] = {
    {"CN", szOID_COMMON_NAME},
    {"L", szOID_LOCALITY_NAME},
    {"O", szOID_ORGANIZATION_NAME},
    {"OU", szOID_ORGANIZATIONAL_UNIT_NAME},
    {"E", szOID_RSA_emailAddr},
    {"C", szOID_COUNTRY_NAME},
    {"S", szOID_STATE_OR_PROVINCE_NAME},
    {"STREET", szOID_STREET_ADDRESS},
    {"T", szOID_TITLE},
    {"G", szOID_GIVEN_NAME},
    {"I", szOID_INITIALS},
    {"SN", szOID_SUR_NAME},
    {"DC", szOID_DOMAIN_COMPONENT},
    {"SERIALNUMBER", szOID_DEVICE_SERIAL_NUMBER},
    {"PostalCode", "2.5.4.17"},
    {"Description", "2.5.4.13"},
    {"Phone", "2.5.4.20"},
    {"Email", szOID_RSA_emailAddr},
    {"ST", szOID_STATE_OR_PROVINCE_NAME},
    {"Title", szOID_TITLE},
};

const char* oidOfKey(const std::string& key) {
  for (const auto& k : kKeys)
    if (strcasecmp(k.key, key.c_str()) == 0) return k.oid;
  return nullptr;
}

bool needsQuotes(const std::u16string& v) {
  if (v.empty() || v.front() == u' ' || v.back() == u' ') return true;
  for (char16_t c : v)
    if (c == u',' || c == u'+' || c == u'=' || c == u'"' || c == u'\n' || c == u'<' || c == u'>' || c == u'#' ||
        c == u';' || c == u'\r')
      return true;
  return false;
}

bool printable(const std::u16string& v) {
  for (char16_t c : v)
    if (!(c < 0x80 && (isalnum(int(c)) || strchr(" '()+,-./:=?", int(c))))) return false;
  return true;
}

}  // namespace

const char* x500Key(const std::string& oid) {
  for (const auto& k : kKeys)
    if (oid == k.oid) return k.key;
  return "";
}

}  // namespace velmora::crypt

using namespace velmora::crypt;

DWORD CertNameToStrA(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType, LPSTR psz, DWORD csz) {
  std::u16string text;
  ParsedName name;
  if (pName && GET_CERT_ENCODING_TYPE(dwCertEncodingType) == X509_ASN_ENCODING &&
      parseName(pName->pbData, pName->cbData, name)) {
    const DWORD form = dwStrType & 0xFFFF;
    const bool quoting = !(dwStrType & CERT_NAME_STR_NO_QUOTING_FLAG) && form != CERT_SIMPLE_NAME_STR;
    std::u16string rdnSep = u", ", attrSep = u" + ";
    if (dwStrType & CERT_NAME_STR_SEMICOLON_FLAG) rdnSep = u"; ";
    if (dwStrType & CERT_NAME_STR_CRLF_FLAG) rdnSep = u"\r\n";
    if (dwStrType & CERT_NAME_STR_NO_PLUS_FLAG) attrSep = u" ";
    if (dwStrType & CERT_NAME_STR_REVERSE_FLAG) std::reverse(name.begin(), name.end());
    for (size_t i = 0; i < name.size(); ++i) {
      if (i) text += rdnSep;
      for (size_t j = 0; j < name[i].size(); ++j) {
        if (j) text += attrSep;
        const NameAttr& a = name[i][j];
        if (form == CERT_X500_NAME_STR || form == CERT_OID_NAME_STR) {
          const char* key = form == CERT_X500_NAME_STR ? x500Key(a.oid) : "";
          std::string prefix = *key ? std::string(key) : (form == CERT_X500_NAME_STR ? "OID." : "") + a.oid;
          text += velmora::platform::toWide(prefix, 65001) + u"=";
        }
        std::u16string value;
        if (a.type == CERT_RDN_ENCODED_BLOB || a.type == CERT_RDN_OCTET_STRING) {
          static const char digits[] = "0123456789ABCDEF";
          value = u"#";
          for (BYTE b : a.whole) {
            value += char16_t(digits[b >> 4]);
            value += char16_t(digits[b & 15]);
          }
        } else {
          value = attrText(a);
        }
        if (quoting && needsQuotes(value)) {
          std::u16string quoted = u"\"";
          for (char16_t c : value) {
            if (c == u'"') quoted += u'"';
            quoted += c;
          }
          text += quoted + u"\"";
        } else {
          text += value;
        }
      }
    }
  }
  const std::string ansi = velmora::platform::toNarrow(text, CP_ACP);
  const DWORD need = DWORD(ansi.size() + 1);
  if (!psz || csz == 0) return need;
  const DWORD n = std::min<DWORD>(csz - 1, DWORD(ansi.size()));
  memcpy(psz, ansi.data(), n);
  psz[n] = 0;
  return n + 1;
}

BOOL CertStrToNameA(DWORD dwCertEncodingType, LPCSTR pszX500, DWORD dwStrType, void*, BYTE* pbEncoded,
                    DWORD* pcbEncoded, LPCSTR* ppszError) {
  if (ppszError) *ppszError = nullptr;
  if (!pszX500 || !pcbEncoded) return fail(ERROR_INVALID_PARAMETER);
  if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) return fail(ERROR_FILE_NOT_FOUND);
  const std::string in = pszX500;
  auto bad = [&](size_t at) {
    if (ppszError) *ppszError = pszX500 + std::min(at, in.size());
    return fail(CRYPT_E_INVALID_X500_STRING);
  };
  std::string separators = ",;";
  if (dwStrType & CERT_NAME_STR_COMMA_FLAG) separators = ",";
  if (dwStrType & CERT_NAME_STR_SEMICOLON_FLAG) separators = ";";
  if (dwStrType & CERT_NAME_STR_CRLF_FLAG) separators += "\r\n";
  const bool plus = !(dwStrType & CERT_NAME_STR_NO_PLUS_FLAG);

  // One entry per RDN; each holds (oid, value) pairs.
  std::vector<std::vector<std::pair<std::string, std::u16string>>> rdns(1);
  size_t p = 0;
  auto skipSpace = [&] {
    while (p < in.size() && (in[p] == ' ' || in[p] == '\t')) ++p;
  };
  skipSpace();
  if (p == in.size()) rdns.clear();
  while (p < in.size()) {
    skipSpace();
    size_t keyStart = p;
    while (p < in.size() && in[p] != '=' && !strchr(separators.c_str(), in[p])) ++p;
    if (p >= in.size() || in[p] != '=') return bad(keyStart);
    std::string key = in.substr(keyStart, p - keyStart);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    std::string oid;
    if (const char* known = oidOfKey(key)) oid = known;
    else {
      std::string dotted = key.rfind("OID.", 0) == 0 || key.rfind("oid.", 0) == 0 ? key.substr(4) : key;
      der::Bytes check;
      if (!der::oid(dotted, check)) return bad(keyStart);
      oid = dotted;
    }
    ++p;  // '='
    skipSpace();
    std::string value;
    if (p < in.size() && in[p] == '"') {
      ++p;
      for (;;) {
        if (p >= in.size()) return bad(p);
        if (in[p] == '"') {
          if (p + 1 < in.size() && in[p + 1] == '"') {
            value += '"';
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        value += in[p++];
      }
      skipSpace();
    } else {
      while (p < in.size() && !strchr(separators.c_str(), in[p]) && !(plus && in[p] == '+')) value += in[p++];
      while (!value.empty() && value.back() == ' ') value.pop_back();
    }
    rdns.back().emplace_back(oid, velmora::platform::toWide(value, CP_ACP));
    if (p < in.size()) {
      if (plus && in[p] == '+') {
        ++p;
      } else if (strchr(separators.c_str(), in[p])) {
        ++p;
        rdns.emplace_back();
      } else {
        return bad(p);
      }
      skipSpace();
      if (p == in.size()) return bad(p);  // a separator must be followed by an attribute
    }
  }

  // Encode: PrintableString where the value allows it, else BMPString (or
  // UTF8String when asked); e-mail addresses and domain components are IA5.
  std::vector<std::vector<CERT_RDN_ATTR>> attrs;
  std::vector<CERT_RDN> rdnList;
  std::deque<std::u16string> keep;  // deques keep their elements in place as they grow
  for (const auto& rdn : rdns) {
    attrs.emplace_back();
    for (const auto& [oid, value] : rdn) {
      CERT_RDN_ATTR a{};
      a.pszObjId = const_cast<char*>(oid.c_str());
      keep.push_back(value);
      if (oid == szOID_RSA_emailAddr || oid == szOID_DOMAIN_COMPONENT) a.dwValueType = CERT_RDN_IA5_STRING;
      else if (printable(value)) a.dwValueType = CERT_RDN_PRINTABLE_STRING;
      else a.dwValueType = (dwStrType & CERT_NAME_STR_ENABLE_UTF8_UNICODE_FLAG) ? CERT_RDN_UTF8_STRING
                                                                                  : CERT_RDN_BMP_STRING;
      attrs.back().push_back(a);
    }
  }
  // 8-bit values as their bytes; the others as WCHARs.
  std::deque<std::string> narrow;
  size_t k = 0;
  for (auto& rdn : attrs)
    for (auto& a : rdn) {
      const std::u16string& v = keep[k++];
      if (a.dwValueType == CERT_RDN_BMP_STRING || a.dwValueType == CERT_RDN_UTF8_STRING) {
        a.Value = {DWORD(v.size() * 2), reinterpret_cast<BYTE*>(const_cast<char16_t*>(v.data()))};
      } else {
        std::string bytes;
        for (char16_t c : v) bytes += char(c & 0xFF);
        narrow.push_back(bytes);
        a.Value = {DWORD(narrow.back().size()), reinterpret_cast<BYTE*>(narrow.back().data())};
      }
    }
  for (auto& rdn : attrs) rdnList.push_back({DWORD(rdn.size()), rdn.data()});
  CERT_NAME_INFO info{DWORD(rdnList.size()), rdnList.data()};
  return CryptEncodeObject(dwCertEncodingType, X509_NAME, &info, pbEncoded, pcbEncoded);
}

BOOL CryptBinaryToStringA(const BYTE* pbBinary, DWORD cbBinary, DWORD dwFlags, LPSTR pszString, DWORD* pcchString) {
  if (!pbBinary || !pcchString) return fail(ERROR_INVALID_PARAMETER);
  const DWORD format = dwFlags & 0xFFFF;
  const char* eol = (dwFlags & CRYPT_STRING_NOCRLF) ? "" : (dwFlags & CRYPT_STRING_NOCR) ? "\n" : "\r\n";
  std::string text;
  switch (format) {
    case CRYPT_STRING_BASE64:
    case CRYPT_STRING_BASE64HEADER:
    case CRYPT_STRING_BASE64REQUESTHEADER: {
      std::string b64(4 * ((cbBinary + 2) / 3) + 1, '\0');
      int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), pbBinary, int(cbBinary));
      b64.resize(size_t(n));
      const char* label = format == CRYPT_STRING_BASE64HEADER ? "CERTIFICATE"
                          : format == CRYPT_STRING_BASE64REQUESTHEADER ? "NEW CERTIFICATE REQUEST"
                                                                       : nullptr;
      if (label) text += std::string("-----BEGIN ") + label + "-----" + eol;
      for (size_t i = 0; i < b64.size(); i += 64) text += b64.substr(i, 64) + eol;
      if (label) text += std::string("-----END ") + label + "-----" + eol;
      break;
    }
    case CRYPT_STRING_HEXRAW: {
      static const char digits[] = "0123456789abcdef";
      for (DWORD i = 0; i < cbBinary; ++i) {
        text += digits[pbBinary[i] >> 4];
        text += digits[pbBinary[i] & 15];
      }
      text += eol;
      break;
    }
    case CRYPT_STRING_BINARY:
      text.assign(reinterpret_cast<const char*>(pbBinary), cbBinary);
      break;
    default:
      return fail(ERROR_INVALID_PARAMETER);
  }
  // A size query counts the terminating zero; a filled buffer's count does not.
  if (!pszString) {
    *pcchString = DWORD(text.size() + (format == CRYPT_STRING_BINARY ? 0 : 1));
    return TRUE;
  }
  const DWORD need = DWORD(text.size() + (format == CRYPT_STRING_BINARY ? 0 : 1));
  if (*pcchString < need) {
    *pcchString = need;
    return fail(ERROR_MORE_DATA);
  }
  memcpy(pszString, text.data(), text.size());
  if (format != CRYPT_STRING_BINARY) pszString[text.size()] = 0;
  *pcchString = DWORD(text.size());
  return TRUE;
}
