// The platform's table of object identifiers: hash, signature and public
// key algorithms and the message attributes, looked up by OID, name or
// algorithm id.
#include <cstring>

#include "crypt/crypt_internal.h"

namespace velmora::crypt {

namespace {

constexpr DWORD kSize = sizeof(CRYPT_OID_INFO);

// The signature entries carry, as Windows does, the hash and public key
// algorithm ids in ExtraInfo-free form: Algid is the signature's CALG.
const CRYPT_OID_INFO kTable[] = {
    {kSize, szOID_RSA_MD5, u"md5", CRYPT_HASH_ALG_OID_GROUP_ID, {CALG_MD5}, {0, nullptr}, u"MD5", nullptr},
    {kSize, szOID_OIWSEC_sha1, u"sha1", CRYPT_HASH_ALG_OID_GROUP_ID, {CALG_SHA1}, {0, nullptr}, u"SHA1", nullptr},
    {kSize, szOID_NIST_sha256, u"sha256", CRYPT_HASH_ALG_OID_GROUP_ID, {CALG_SHA_256}, {0, nullptr}, u"SHA256",
     nullptr},
    {kSize, szOID_NIST_sha384, u"sha384", CRYPT_HASH_ALG_OID_GROUP_ID, {CALG_SHA_384}, {0, nullptr}, u"SHA384",
     nullptr},
    {kSize, szOID_NIST_sha512, u"sha512", CRYPT_HASH_ALG_OID_GROUP_ID, {CALG_SHA_512}, {0, nullptr}, u"SHA512",
     nullptr},
    {kSize, szOID_RSA_RSA, u"RSA", CRYPT_PUBKEY_ALG_OID_GROUP_ID, {CALG_RSA_KEYX}, {0, nullptr}, u"RSA", nullptr},
    {kSize, szOID_ECC_PUBLIC_KEY, u"ECC", CRYPT_PUBKEY_ALG_OID_GROUP_ID, {0}, {0, nullptr}, u"ECC", nullptr},
    {kSize, szOID_RSA_MD5RSA, u"md5RSA", CRYPT_SIGN_ALG_OID_GROUP_ID, {CALG_MD5}, {0, nullptr}, u"MD5", u"RSA"},
    {kSize, szOID_RSA_SHA1RSA, u"sha1RSA", CRYPT_SIGN_ALG_OID_GROUP_ID, {CALG_SHA1}, {0, nullptr}, u"SHA1", u"RSA"},
    {kSize, szOID_RSA_SHA256RSA, u"sha256RSA", CRYPT_SIGN_ALG_OID_GROUP_ID, {CALG_SHA_256}, {0, nullptr}, u"SHA256",
     u"RSA"},
    {kSize, szOID_RSA_SHA384RSA, u"sha384RSA", CRYPT_SIGN_ALG_OID_GROUP_ID, {CALG_SHA_384}, {0, nullptr}, u"SHA384",
     u"RSA"},
    {kSize, szOID_RSA_SHA512RSA, u"sha512RSA", CRYPT_SIGN_ALG_OID_GROUP_ID, {CALG_SHA_512}, {0, nullptr}, u"SHA512",
     u"RSA"},
    {kSize, szOID_ECDSA_SHA1, u"sha1ECDSA", CRYPT_SIGN_ALG_OID_GROUP_ID, {CALG_SHA1}, {0, nullptr}, u"SHA1",
     u"ECDSA"},
    {kSize, szOID_ECDSA_SHA256, u"sha256ECDSA", CRYPT_SIGN_ALG_OID_GROUP_ID, {CALG_SHA_256}, {0, nullptr}, u"SHA256",
     u"ECDSA"},
    {kSize, szOID_ECDSA_SHA384, u"sha384ECDSA", CRYPT_SIGN_ALG_OID_GROUP_ID, {CALG_SHA_384}, {0, nullptr}, u"SHA384",
     u"ECDSA"},
    {kSize, szOID_ECDSA_SHA512, u"sha512ECDSA", CRYPT_SIGN_ALG_OID_GROUP_ID, {CALG_SHA_512}, {0, nullptr}, u"SHA512",
     u"ECDSA"},
    {kSize, szOID_RSA_contentType, u"Content Type", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, {0}, {0, nullptr}, nullptr,
     nullptr},
    {kSize, szOID_RSA_messageDigest, u"Message Digest", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, {0}, {0, nullptr}, nullptr,
     nullptr},
    {kSize, szOID_RSA_signingTime, u"Signing Time", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, {0}, {0, nullptr}, nullptr,
     nullptr},
};

char16_t lower(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; }

bool sameName(const char16_t* a, const char16_t* b) {
  if (!a || !b) return false;
  for (; *a && *b; ++a, ++b)
    if (lower(*a) != lower(*b)) return false;
  return *a == *b;
}

bool sameText(const char16_t* a, const char16_t* b) { return a && b && sameName(a, b); }

}  // namespace

}  // namespace velmora::crypt

using namespace velmora::crypt;

PCCRYPT_OID_INFO CryptFindOIDInfo(DWORD dwKeyType, void* pvKey, DWORD dwGroupId) {
  if (!pvKey) return nullptr;
  for (const auto& info : kTable) {
    if (dwGroupId && info.dwGroupId != dwGroupId) continue;
    bool match = false;
    switch (dwKeyType) {
      case CRYPT_OID_INFO_OID_KEY:
        match = strcmp(info.pszOID, static_cast<const char*>(pvKey)) == 0;
        break;
      case CRYPT_OID_INFO_NAME_KEY:
        match = sameName(info.pwszName, static_cast<const char16_t*>(pvKey));
        break;
      case CRYPT_OID_INFO_ALGID_KEY:
        match = info.dwGroupId != CRYPT_SIGN_ALG_OID_GROUP_ID && info.Algid &&
                info.Algid == *static_cast<const ALG_ID*>(pvKey);
        break;
      case CRYPT_OID_INFO_CNG_ALGID_KEY:
        match = info.dwGroupId != CRYPT_SIGN_ALG_OID_GROUP_ID &&
                sameText(info.pwszCNGAlgid, static_cast<const char16_t*>(pvKey));
        break;
      case CRYPT_OID_INFO_CNG_SIGN_KEY: {
        // pvKey: two strings, the hash's and the public key's CNG names.
        auto* pair = static_cast<const char16_t* const*>(pvKey);
        match = info.dwGroupId == CRYPT_SIGN_ALG_OID_GROUP_ID && sameText(info.pwszCNGAlgid, pair[0]) &&
                sameText(info.pwszCNGExtraAlgid, pair[1]);
        break;
      }
      default:
        return nullptr;
    }
    if (match) return &info;
  }
  return nullptr;
}
