// Providers and key containers: listing, the acquire flags and their
// Windows failures, reference counts, and the container files' place and modes.
#include <wincrypt.h>
#include <windows.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

std::string cryptoFolder() { return vtest::profileDir() + "/home/.local/share/velmora/Crypto/RSA"; }

TEST(CryptProviders, EnumeratesTheSoftwareProvidersWithSizeQueries) {
  std::vector<std::pair<std::string, DWORD>> seen;
  for (DWORD i = 0;; ++i) {
    DWORD type = 0, size = 0;
    SetLastError(0xdeadbeef);
    if (!CryptEnumProvidersA(i, nullptr, 0, &type, nullptr, &size)) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
      break;
    }
    std::string name(size, '\0');
    DWORD shortSize = size - 1;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CryptEnumProvidersA(i, nullptr, 0, &type, name.data(), &shortSize));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(shortSize, size);
    ASSERT_TRUE(CryptEnumProvidersA(i, nullptr, 0, &type, name.data(), &size));
    name.resize(size - 1);
    seen.emplace_back(name, type);
  }
  std::vector<std::pair<std::string, DWORD>> expected = {
      {"Microsoft Base Cryptographic Provider v1.0", 1},
      {"Microsoft Enhanced Cryptographic Provider v1.0", 1},
      {"Microsoft Enhanced RSA and AES Cryptographic Provider", 24},
      {"Microsoft Strong Cryptographic Provider", 1},
  };
  EXPECT_EQ(seen, expected);
}

TEST(CryptProviders, AcquireFailsAsWindowsDoes) {
  struct Case {
    const char* container;
    const char* provider;
    DWORD type;
    DWORD flags;
    DWORD error;
  } cases[] = {
      {nullptr, MS_ENHANCED_PROV_A, 0, CRYPT_VERIFYCONTEXT, DWORD(NTE_BAD_PROV_TYPE)},
      {nullptr, "No Such Provider", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, DWORD(NTE_KEYSET_NOT_DEF)},
      {nullptr, MS_ENH_RSA_AES_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, DWORD(NTE_PROV_TYPE_NO_MATCH)},
      {nullptr, nullptr, PROV_DSS_DH, CRYPT_VERIFYCONTEXT, DWORD(NTE_PROV_TYPE_NOT_DEF)},
      {"named", MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, DWORD(NTE_BAD_FLAGS)},
      {nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0x4000000, DWORD(NTE_BAD_FLAGS)},
      {"missing", MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0, DWORD(NTE_BAD_KEYSET)},
      {"missing", MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_DELETEKEYSET, DWORD(NTE_BAD_KEYSET)},
      {"both", MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET, DWORD(NTE_BAD_FLAGS)},
  };
  for (const auto& c : cases) {
    HCRYPTPROV prov = 0x1234;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CryptAcquireContextA(&prov, c.container, c.provider, c.type, c.flags)) << c.error;
    EXPECT_EQ(GetLastError(), c.error) << std::hex << c.error;
    EXPECT_EQ(prov, 0u);
  }
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptAcquireContextA(nullptr, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

size_t containerFiles() {
  std::error_code ec;
  size_t n = 0;
  for (auto it = std::filesystem::directory_iterator(cryptoFolder(), ec); !ec && it != std::filesystem::end(it); ++it)
    ++n;
  return n;
}

TEST(CryptProviders, ContainersAreMadeOpenedAndDeletedAcrossProvidersAndCase) {
  const size_t before = containerFiles();
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "Velmora-Test", MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  char name[300];
  DWORD size = sizeof name;
  ASSERT_TRUE(CryptGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &size, 0));
  EXPECT_STREQ(name, "Velmora-Test");
  EXPECT_TRUE(CryptReleaseContext(prov, 0));

  HCRYPTPROV again = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptAcquireContextA(&again, "velmora-test", MS_STRONG_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  EXPECT_EQ(GetLastError(), DWORD(NTE_EXISTS));
  // The RSA providers share their containers; names compare without case.
  ASSERT_TRUE(CryptAcquireContextA(&again, "VELMORA-TEST", MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, 0));
  EXPECT_TRUE(CryptReleaseContext(again, 0));

  // The files: 0600 in a 0700 folder.
  struct stat st{};
  ASSERT_EQ(stat(cryptoFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  for (const auto& entry : std::filesystem::directory_iterator(cryptoFolder())) {
    ASSERT_EQ(stat(entry.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << entry.path();
  }
  EXPECT_EQ(containerFiles(), before + 1);  // one file, whatever the name's case

  HCRYPTPROV gone = 0x99;
  ASSERT_TRUE(CryptAcquireContextA(&gone, "Velmora-Test", MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
  EXPECT_EQ(gone, 0u);
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptAcquireContextA(&again, "Velmora-Test", MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEYSET));
  EXPECT_EQ(containerFiles(), before);
}

TEST(CryptProviders, NullContainerIsTheUsersDefaultOne) {
  HCRYPTPROV prov = 0;
  SetLastError(0xdeadbeef);
  if (!CryptAcquireContextA(&prov, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0)) {
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEYSET));
    ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  }
  char name[300];
  DWORD size = sizeof name;
  ASSERT_TRUE(CryptGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &size, 0));
  EXPECT_GT(strlen(name), 0u);
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  HCRYPTPROV same = 0;
  EXPECT_TRUE(CryptAcquireContextA(&same, name, MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0));
  EXPECT_TRUE(CryptReleaseContext(same, 0));
}

TEST(CryptProviders, ReferenceCountsKeepTheContextUntilTheLastRelease) {
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  char name[100];
  DWORD size = sizeof name;
  ASSERT_TRUE(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name), &size, 0));
  EXPECT_STREQ(name, MS_STRONG_PROV_A);  // the default provider of type 1
  SetLastError(0xdeadbeef);
  size = sizeof name;
  EXPECT_FALSE(CryptGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &size, 0));

  ASSERT_TRUE(CryptContextAddRef(prov, nullptr, 0));
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  size = sizeof name;
  EXPECT_TRUE(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name), &size, 0));
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptReleaseContext(prov, 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_UID));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptReleaseContext(0xabcdef, 0));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_UID));
}

}  // namespace
