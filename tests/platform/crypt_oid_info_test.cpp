// The OID table: hash algorithms found by name (any case), OID and algid,
// each only in its own group.
#include <wincrypt.h>

#include <cstring>

#include "test_support.h"

namespace {

TEST(OidInfo, HashAlgorithmsByNameOidAndAlgid) {
  struct Case {
    const char16_t* name;
    const char* oid;
    ALG_ID alg;
  } cases[] = {{u"sha256", "2.16.840.1.101.3.4.2.1", CALG_SHA_256},
               {u"SHA1", "1.3.14.3.2.26", CALG_SHA1},
               {u"sha384", "2.16.840.1.101.3.4.2.2", CALG_SHA_384},
               {u"Sha512", "2.16.840.1.101.3.4.2.3", CALG_SHA_512},
               {u"md5", "1.2.840.113549.2.5", CALG_MD5}};
  for (const auto& c : cases) {
    PCCRYPT_OID_INFO byName =
        CryptFindOIDInfo(CRYPT_OID_INFO_NAME_KEY, const_cast<char16_t*>(c.name), CRYPT_HASH_ALG_OID_GROUP_ID);
    ASSERT_NE(byName, nullptr);
    EXPECT_STREQ(byName->pszOID, c.oid);
    EXPECT_EQ(byName->Algid, c.alg);
    EXPECT_EQ(byName->dwGroupId, DWORD(CRYPT_HASH_ALG_OID_GROUP_ID));
    EXPECT_EQ(byName->cbSize, sizeof(CRYPT_OID_INFO));
    EXPECT_EQ(CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>(c.oid), 0), byName);
    ALG_ID alg = c.alg;
    EXPECT_EQ(CryptFindOIDInfo(CRYPT_OID_INFO_ALGID_KEY, &alg, CRYPT_HASH_ALG_OID_GROUP_ID), byName);
  }
  // Names of other groups are not hashes; unknown names and keys find nothing.
  EXPECT_EQ(CryptFindOIDInfo(CRYPT_OID_INFO_NAME_KEY, const_cast<char16_t*>(u"sha256RSA"), CRYPT_HASH_ALG_OID_GROUP_ID),
            nullptr);
  PCCRYPT_OID_INFO sig = CryptFindOIDInfo(CRYPT_OID_INFO_NAME_KEY, const_cast<char16_t*>(u"sha256RSA"), 0);
  ASSERT_NE(sig, nullptr);
  EXPECT_STREQ(sig->pszOID, szOID_RSA_SHA256RSA);
  EXPECT_EQ(CryptFindOIDInfo(CRYPT_OID_INFO_NAME_KEY, const_cast<char16_t*>(u"sha25"), 0), nullptr);
  EXPECT_EQ(CryptFindOIDInfo(CRYPT_OID_INFO_NAME_KEY, nullptr, 0), nullptr);
  EXPECT_EQ(CryptFindOIDInfo(99, const_cast<char*>("1.2"), 0), nullptr);
}

}  // namespace
