// CryptDecodeObject for names, public key infos, key usage bits and RSA
// public keys: the size query and the fill agree, a short buffer is
// refused, and what decodes encodes to something that decodes the same.
#include <wincrypt.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"

using Bytes = std::vector<BYTE>;

// Decodes with the Windows size rules checked; false when refused.
static bool decode(LPCSTR type, const BYTE* p, size_t n, std::vector<BYTE>& out) {
  DWORD need = 0;
  if (!CryptDecodeObject(X509_ASN_ENCODING, type, p, DWORD(n), 0, nullptr, &need)) return false;
  // 8-byte aligned storage for the structure laid out in place.
  out.assign(need + 8, 0);
  BYTE* at = out.data() + (8 - reinterpret_cast<uintptr_t>(out.data()) % 8) % 8;
  if (need > 0) {
    DWORD shortLen = need - 1;
    FUZZ_CHECK(!CryptDecodeObject(X509_ASN_ENCODING, type, p, DWORD(n), 0, at, &shortLen));
    FUZZ_CHECK(GetLastError() == ERROR_MORE_DATA && shortLen == need);
  }
  DWORD len = need;
  FUZZ_CHECK(CryptDecodeObject(X509_ASN_ENCODING, type, p, DWORD(n), 0, at, &len));
  FUZZ_CHECK(len == need);
  out.erase(out.begin(), out.begin() + (at - out.data()));
  out.resize(need);
  return true;
}

static Bytes encode(LPCSTR type, const void* info) {
  DWORD n = 0;
  FUZZ_CHECK(CryptEncodeObject(X509_ASN_ENCODING, type, info, nullptr, &n));
  Bytes out(n);
  FUZZ_CHECK(CryptEncodeObject(X509_ASN_ENCODING, type, info, out.data(), &n));
  out.resize(n);
  return out;
}

static size_t longestArc(const std::string& dotted) {
  size_t longest = 0;
  for (size_t pos = 0, dot; pos <= dotted.size(); pos = dot + 1) {
    dot = dotted.find('.', pos);
    if (dot == std::string::npos) dot = dotted.size();
    longest = std::max(longest, dot - pos);
  }
  return longest;
}

static Bytes blob(const BYTE* p, DWORD n) { return n ? Bytes(p, p + n) : Bytes(); }

// A name as comparable values: OID, value type, value bytes per attribute.
static std::vector<std::vector<std::string>> nameValues(const CERT_NAME_INFO& name) {
  std::vector<std::vector<std::string>> out;
  for (DWORD i = 0; i < name.cRDN; ++i) {
    std::vector<std::string> rdn;
    for (DWORD j = 0; j < name.rgRDN[i].cRDNAttr; ++j) {
      const CERT_RDN_ATTR& a = name.rgRDN[i].rgRDNAttr[j];
      rdn.push_back(std::string(a.pszObjId) + "|" + std::to_string(a.dwValueType) + "|" +
                    std::string(reinterpret_cast<const char*>(a.Value.pbData), a.Value.cbData));
    }
    out.push_back(rdn);
  }
  return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  Bytes first, second;

  if (decode(X509_NAME, data, size, first)) {
    const auto* name = reinterpret_cast<const CERT_NAME_INFO*>(first.data());
    // A name that decodes may still hold values the encoder refuses.
    DWORD n = 0;
    if (CryptEncodeObject(X509_ASN_ENCODING, X509_NAME, name, nullptr, &n)) {
      Bytes again = encode(X509_NAME, name);
      FUZZ_CHECK(decode(X509_NAME, again.data(), again.size(), second));
      FUZZ_CHECK(nameValues(*name) == nameValues(*reinterpret_cast<const CERT_NAME_INFO*>(second.data())));
      // Encoding is then stable.
      FUZZ_CHECK(encode(X509_NAME, second.data()) == again);
    }
    CERT_NAME_BLOB b{DWORD(size), const_cast<BYTE*>(data)};
    for (DWORD strType : {DWORD(CERT_SIMPLE_NAME_STR), DWORD(CERT_X500_NAME_STR)}) {
      DWORD len = CertNameToStrA(X509_ASN_ENCODING, &b, strType, nullptr, 0);
      FUZZ_CHECK(len >= 1);
      std::string text(len, 'x');
      FUZZ_CHECK(CertNameToStrA(X509_ASN_ENCODING, &b, strType, text.data(), len) == len && text[len - 1] == 0);
    }
  }

  if (decode(X509_PUBLIC_KEY_INFO, data, size, first)) {
    const auto* info = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(first.data());
    // The writer takes OID arcs of up to 18 digits, the reader up to 20.
    DWORD n = 0;
    const bool writable = CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, info, nullptr, &n);
    FUZZ_CHECK(writable == (longestArc(info->Algorithm.pszObjId) <= 18));
    if (writable) {
      Bytes again = encode(X509_PUBLIC_KEY_INFO, info);
      FUZZ_CHECK(decode(X509_PUBLIC_KEY_INFO, again.data(), again.size(), second));
      const auto* info2 = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(second.data());
      FUZZ_CHECK(strcmp(info->Algorithm.pszObjId, info2->Algorithm.pszObjId) == 0);
      FUZZ_CHECK(blob(info->Algorithm.Parameters.pbData, info->Algorithm.Parameters.cbData) ==
                 blob(info2->Algorithm.Parameters.pbData, info2->Algorithm.Parameters.cbData));
      FUZZ_CHECK(blob(info->PublicKey.pbData, info->PublicKey.cbData) ==
                 blob(info2->PublicKey.pbData, info2->PublicKey.cbData));
      FUZZ_CHECK(info->PublicKey.cUnusedBits == info2->PublicKey.cUnusedBits);
    }
  }

  if (decode(X509_KEY_USAGE, data, size, first)) {
    const auto* bits = reinterpret_cast<const CRYPT_BIT_BLOB*>(first.data());
    FUZZ_CHECK(bits->cUnusedBits < 8);
    Bytes again = encode(X509_KEY_USAGE, bits);
    FUZZ_CHECK(decode(X509_KEY_USAGE, again.data(), again.size(), second));
    const auto* bits2 = reinterpret_cast<const CRYPT_BIT_BLOB*>(second.data());
    FUZZ_CHECK(blob(bits->pbData, bits->cbData) == blob(bits2->pbData, bits2->cbData));
    FUZZ_CHECK(bits->cUnusedBits == bits2->cUnusedBits);
  }

  // An RSA public key as a CryptoAPI blob, and back.
  DWORD need = 0;
  if (CryptDecodeObject(X509_ASN_ENCODING, RSA_CSP_PUBLICKEYBLOB, data, DWORD(size), 0, nullptr, &need)) {
    Bytes key(need);
    FUZZ_CHECK(CryptDecodeObject(X509_ASN_ENCODING, RSA_CSP_PUBLICKEYBLOB, data, DWORD(size), 0, key.data(), &need));
    FUZZ_CHECK(need == key.size() && need >= sizeof(BLOBHEADER) + sizeof(RSAPUBKEY));
    RSAPUBKEY rsa;
    memcpy(&rsa, key.data() + sizeof(BLOBHEADER), sizeof rsa);
    FUZZ_CHECK(sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + (rsa.bitlen + 7) / 8 <= key.size());
    DWORD n = 0;
    if (CryptEncodeObject(X509_ASN_ENCODING, RSA_CSP_PUBLICKEYBLOB, key.data(), nullptr, &n)) {
      Bytes again = encode(RSA_CSP_PUBLICKEYBLOB, key.data());
      Bytes key2(need);
      DWORD need2 = need;
      FUZZ_CHECK(CryptDecodeObject(X509_ASN_ENCODING, RSA_CSP_PUBLICKEYBLOB, again.data(), DWORD(again.size()), 0,
                                   key2.data(), &need2));
      FUZZ_CHECK(need2 == need && key2 == key);
    }
  }
  return 0;
}
