// Text forms of certificate fields.
#include "cert_text.h"

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <cstdio>
#include <ctime>

namespace quennet {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int alphabetIndex(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool digits(const unsigned char* p, int n, int& value) {
  value = 0;
  for (int i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    value = value * 10 + (p[i] - '0');
  }
  return true;
}

}  // namespace

std::string base64Encode(const unsigned char* data, size_t size) {
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  for (size_t i = 0; i < size; i += 3) {
    uint32_t v = uint32_t(data[i]) << 16;
    if (i + 1 < size) v |= uint32_t(data[i + 1]) << 8;
    if (i + 2 < size) v |= data[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < size ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < size ? kAlphabet[v & 63] : '=';
  }
  return out;
}

bool base64Decode(const std::string& text, std::vector<unsigned char>& out) {
  out.clear();
  std::string clean;
  clean.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') continue;
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (c >= 0x80) return false;
    clean += char(c);
  }
  size_t pad = 0;
  while (pad < clean.size() && clean[clean.size() - 1 - pad] == '=') ++pad;
  if (pad > 2) return false;
  clean.resize(clean.size() - pad);
  if (clean.size() % 4 == 1) return false;
  uint32_t acc = 0;
  int bits = 0;
  for (unsigned char c : clean) {
    int v = alphabetIndex(c);
    if (v < 0) return false;  // also "=" before the end
    acc = (acc << 6) | uint32_t(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<unsigned char>((acc >> bits) & 0xFF));
    }
  }
  return true;
}

std::string oneLineName(const X509_NAME* name) {
  std::string out;
  if (!name) return out;
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    const ASN1_OBJECT* oid = X509_NAME_ENTRY_get_object(entry);
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(entry);
    std::string key;
    int nid = OBJ_obj2nid(oid);
    if (nid != NID_undef && OBJ_nid2sn(nid)) {
      key = OBJ_nid2sn(nid);
    } else {
      char buf[128];
      OBJ_obj2txt(buf, sizeof buf, oid, 1);
      key = buf;
    }
    const unsigned char* data = ASN1_STRING_get0_data(value);
    int len = ASN1_STRING_length(value);
    std::string text;
    int type = ASN1_STRING_type(value);
    if (type == V_ASN1_BMPSTRING || type == V_ASN1_UNIVERSALSTRING) {
      // Two- and four-byte strings become UTF-8 like every other value the
      // getters read, instead of raw bytes cut at their first zero.
      unsigned char* utf8 = nullptr;
      int n = ASN1_STRING_to_UTF8(&utf8, value);
      if (n >= 0) text.assign(reinterpret_cast<char*>(utf8), size_t(n));
      OPENSSL_free(utf8);
    } else {
      text.assign(reinterpret_cast<const char*>(data), size_t(len));
    }
    std::string part = "/" + key + "=" + text;
    if (out.size() + part.size() > 4095) break;
    out += part;
  }
  return out;
}

std::string serialText(const ASN1_INTEGER* serial, bool signByte) {
  std::string out;
  if (!serial) return out;
  const unsigned char* data = ASN1_STRING_get0_data(serial);
  int len = ASN1_STRING_length(serial);
  if (signByte && len > 0 && data[0] >= 0x80) out = "00";
  char hex[3];
  for (int i = 0; i < len; ++i) {
    snprintf(hex, sizeof hex, "%02X", data[i]);
    out += hex;
  }
  return out;
}

int64_t certTime(const ASN1_TIME* time) {
  if (!time) return 0;
  const unsigned char* s = ASN1_STRING_get0_data(time);
  int len = ASN1_STRING_length(time);
  int type = ASN1_STRING_type(time);
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  int i = 0;
  if (type == V_ASN1_UTCTIME) {
    if (len < 11 || len > 17 || !digits(s, 2, year)) return 0;
    year += year < 50 ? 2000 : 1900;
    i = 2;
  } else if (type == V_ASN1_GENERALIZEDTIME) {
    if (len < 13 || !digits(s, 4, year)) return 0;
    i = 4;
  } else {
    return 0;
  }
  if (!digits(s + i, 2, month) || !digits(s + i + 2, 2, day) || !digits(s + i + 4, 2, hour) ||
      !digits(s + i + 6, 2, minute))
    return 0;
  i += 8;
  auto at = [&](int k) -> unsigned char { return k < len ? s[k] : 0; };
  if (at(i) != 'Z' && at(i) != '+' && at(i) != '-') {
    if (i + 2 > len || !digits(s + i, 2, second)) return 0;
    i += 2;
    if (at(i) == '.') {
      ++i;
      while (at(i) >= '0' && at(i) <= '9') ++i;
    }
  }
  // "Z" or a "+" offset (which is not applied); a "-" only in the odd form
  // that repeats it five places on.
  if (!(at(i) == 'Z' || at(i) == '+' || (at(i) == '-' && at(i + 5) == '-'))) return 0;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return 0;
  struct tm tm = {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return int64_t(timegm(&tm));
}

std::string certTimeText(const ASN1_TIME* time) {
  time_t t = time_t(certTime(time) + 8 * 3600);
  struct tm tm = {};
  gmtime_r(&t, &tm);
  char out[32];
  snprintf(out, sizeof out, "%04d%02d%02d%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
           tm.tm_min, tm.tm_sec);
  return out;
}

std::string fingerprint(const std::vector<unsigned char>& der) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!EVP_Digest(der.data(), der.size(), digest, &len, EVP_sha1(), nullptr)) return {};
  return base64Encode(digest, len);
}

}  // namespace quennet
