// Block-cipher keys: plaintext key blobs, IV and mode, encryption in pieces
// with the CBC chain carried between calls, PKCS #5 padding on the final
// piece, and the Windows failures. Checked against FIPS 81 and `openssl enc`.
#include <wincrypt.h>
#include <windows.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes unhex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(BYTE(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

class Symmetric : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CryptAcquireContextA(&prov_, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  }
  void TearDown() override {
    for (HCRYPTKEY k : keys_) CryptDestroyKey(k);
    CryptReleaseContext(prov_, 0);
  }
  static Bytes blob(ALG_ID alg, const Bytes& key, BYTE version = CUR_BLOB_VERSION) {
    Bytes b(12 + key.size());
    BLOBHEADER h{PLAINTEXTKEYBLOB, version, 0, alg};
    memcpy(b.data(), &h, 8);
    DWORD n = DWORD(key.size());
    memcpy(b.data() + 8, &n, 4);
    memcpy(b.data() + 12, key.data(), key.size());
    return b;
  }
  HCRYPTKEY import(ALG_ID alg, const Bytes& key, HCRYPTPROV prov = 0) {
    Bytes b = blob(alg, key);
    HCRYPTKEY k = 0;
    if (!CryptImportKey(prov ? prov : prov_, b.data(), DWORD(b.size()), 0, 0, &k)) return 0;
    keys_.push_back(k);
    return k;
  }
  // Encrypts in 8-byte non-final pieces, then the rest with Final.
  static bool encrypt(HCRYPTKEY k, const Bytes& plain, Bytes& out) {
    out.clear();
    size_t done = 0;
    BYTE buf[16];
    for (; plain.size() - done >= 8; done += 8) {
      memcpy(buf, plain.data() + done, 8);
      DWORD n = 8;
      if (!CryptEncrypt(k, 0, FALSE, 0, buf, &n, sizeof buf)) return false;
      out.insert(out.end(), buf, buf + n);
    }
    DWORD n = DWORD(plain.size() - done);
    if (n) memcpy(buf, plain.data() + done, n);  // an empty vector's data() may be null
    if (!CryptEncrypt(k, 0, TRUE, 0, buf, &n, sizeof buf)) return false;
    out.insert(out.end(), buf, buf + n);
    return true;
  }
  static bool decrypt(HCRYPTKEY k, Bytes data, Bytes& out) {
    DWORD n = DWORD(data.size());
    if (!CryptDecrypt(k, 0, TRUE, 0, data.data(), &n)) return false;
    out.assign(data.begin(), data.begin() + n);
    return true;
  }
  HCRYPTPROV prov_ = 0;
  std::vector<HCRYPTKEY> keys_;
};

TEST_F(Symmetric, Fips81CbcVectorAcrossPieces) {
  // FIPS 81, appendix C: "Now is the time for all " under 0123456789ABCDEF.
  HCRYPTKEY k = import(CALG_DES, unhex("0123456789abcdef"));
  ASSERT_NE(k, 0u);
  Bytes iv = unhex("1234567890abcdef");
  ASSERT_TRUE(CryptSetKeyParam(k, KP_IV, iv.data(), 0));
  DWORD cbc = CRYPT_MODE_CBC;
  ASSERT_TRUE(CryptSetKeyParam(k, KP_MODE, reinterpret_cast<BYTE*>(&cbc), 0));
  std::string text = "Now is the time for all ";
  Bytes data(text.begin(), text.end());
  for (size_t i = 0; i < data.size(); i += 8) {
    DWORD n = 8;
    ASSERT_TRUE(CryptEncrypt(k, 0, FALSE, 0, data.data() + i, &n, 8));
  }
  EXPECT_EQ(data, unhex("e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6"));
  // Non-final pieces leave the chain where it was: setting the IV restarts it.
  ASSERT_TRUE(CryptSetKeyParam(k, KP_IV, iv.data(), 0));
  for (size_t i = 0; i < data.size(); i += 8) {
    DWORD n = 8;
    ASSERT_TRUE(CryptDecrypt(k, 0, FALSE, 0, data.data() + i, &n));
  }
  EXPECT_EQ(std::string(data.begin(), data.end()), text);
}

TEST_F(Symmetric, AgreesWithOpensslEncForEveryCipherAndLength) {
  VTEST_REQUIRE(vtest::runCommand({"openssl", "version"}).status == 0, "openssl command");
  struct Case {
    ALG_ID alg;
    const char* cipher;
    std::string key;
  } cases[] = {
      {CALG_DES, "des-cbc", "133457799bbcdff1"},
      {CALG_3DES_112, "des-ede-cbc", "0123456789abcdeffedcba9876543210"},
      {CALG_3DES, "des-ede3-cbc", "0123456789abcdef23456789abcdef01456789abcdef0123"},
  };
  const std::string dir = vtest::makeTempDir("enc");
  std::mt19937 rng(7);
  for (const auto& c : cases) {
    HCRYPTKEY k = import(c.alg, unhex(c.key));
    ASSERT_NE(k, 0u) << c.cipher;
    for (size_t len : {0, 1, 7, 8, 9, 16, 23, 100}) {
      Bytes plain(len);
      for (auto& b : plain) b = BYTE(rng());
      Bytes ours;
      ASSERT_TRUE(encrypt(k, plain, ours)) << c.cipher << " " << len;
      vtest::writeFile(dir + "/in", std::string(plain.begin(), plain.end()));
      std::vector<std::string> argv = {"openssl", "enc", "-e", "-" + std::string(c.cipher), "-K", c.key, "-iv",
                                       "0000000000000000", "-in", dir + "/in", "-out", dir + "/out"};
      if (c.alg == CALG_DES) argv.insert(argv.end(), {"-provider", "legacy", "-provider", "default"});
      auto r = vtest::runCommand(argv);
      ASSERT_EQ(r.status, 0) << r.err;
      std::string theirs = vtest::readFile(dir + "/out");
      EXPECT_EQ(std::string(ours.begin(), ours.end()), theirs) << c.cipher << " " << len;
      EXPECT_EQ(ours.size(), (len / 8 + 1) * 8);
      Bytes back;
      ASSERT_TRUE(decrypt(k, ours, back));
      EXPECT_EQ(back, plain);
    }
  }
}

TEST_F(Symmetric, FinalResetsTheChainToTheIv) {
  HCRYPTKEY k = import(CALG_3DES, unhex("0123456789abcdef23456789abcdef01456789abcdef0123"));
  Bytes plain(20, 0x41), first, second;
  ASSERT_TRUE(encrypt(k, plain, first));
  ASSERT_TRUE(encrypt(k, plain, second));
  EXPECT_EQ(first, second);
  // ECB has no chain: equal blocks give equal cipher blocks.
  DWORD ecb = CRYPT_MODE_ECB;
  ASSERT_TRUE(CryptSetKeyParam(k, KP_MODE, reinterpret_cast<BYTE*>(&ecb), 0));
  ASSERT_TRUE(encrypt(k, Bytes(16, 0x41), first));
  EXPECT_TRUE(std::equal(first.begin(), first.begin() + 8, first.begin() + 8));
}

TEST_F(Symmetric, BadPiecesAndPaddingFailWithTheWindowsCodes) {
  HCRYPTKEY k = import(CALG_3DES_112, unhex("0123456789abcdeffedcba9876543210"));
  ASSERT_NE(k, 0u);
  BYTE buf[32] = {};
  DWORD n = 7;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptEncrypt(k, 0, FALSE, 0, buf, &n, sizeof buf));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));

  // Size query and a short buffer.
  n = 8;
  EXPECT_TRUE(CryptEncrypt(k, 0, TRUE, 0, nullptr, &n, 0));
  EXPECT_EQ(n, 16u);
  n = 8;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptEncrypt(k, 0, TRUE, 0, buf, &n, 8));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(n, 16u);

  Bytes cipher;
  ASSERT_TRUE(encrypt(k, Bytes(10, 0x33), cipher));
  Bytes corrupted = cipher, out;
  corrupted.back() ^= 0x5a;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(decrypt(k, corrupted, out));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
  // The chain was reset by the failed final piece: the good text decrypts.
  ASSERT_TRUE(decrypt(k, cipher, out));
  EXPECT_EQ(out, Bytes(10, 0x33));

  SetLastError(0xdeadbeef);
  EXPECT_FALSE(decrypt(k, Bytes(cipher.begin(), cipher.end() - 3), out));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
  n = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptDecrypt(k, 0, TRUE, 0, buf, &n));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_LEN));
}

TEST_F(Symmetric, ImportRefusesBadBlobsAndUnsupportedCiphers) {
  const Bytes des = blob(CALG_DES, Bytes(8, 1));
  HCRYPTPROV base = 0;
  ASSERT_TRUE(CryptAcquireContextA(&base, nullptr, MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  struct Case {
    HCRYPTPROV prov;
    Bytes blob;
    DWORD error;
  } cases[] = {
      {base, blob(CALG_3DES, Bytes(24, 1)), DWORD(NTE_BAD_ALGID)},  // the base provider has no 3DES
      {prov_, blob(CALG_DES, Bytes(10, 1)), DWORD(NTE_BAD_DATA)},
      {prov_, blob(CALG_3DES, Bytes(16, 1)), DWORD(NTE_BAD_DATA)},
      {prov_, blob(CALG_DES, Bytes(8, 1), 3), DWORD(NTE_BAD_VER)},
      {prov_, blob(0x1234, Bytes(8, 1)), DWORD(NTE_BAD_ALGID)},
      {prov_, Bytes(des.begin(), des.begin() + 15), DWORD(NTE_BAD_DATA)},
      {0xbad, blob(CALG_DES, Bytes(8, 1)), DWORD(NTE_BAD_UID)},
  };
  for (const auto& c : cases) {
    HCRYPTKEY k = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CryptImportKey(c.prov, c.blob.data(), DWORD(c.blob.size()), 0, 0, &k));
    EXPECT_EQ(GetLastError(), c.error) << std::hex << c.error;
  }
  EXPECT_NE(import(CALG_DES, Bytes(8, 1), base), 0u);
  CryptReleaseContext(base, 0);

  HCRYPTKEY k = import(CALG_DES, Bytes(8, 1));
  DWORD value = 0, size = sizeof value;
  ASSERT_TRUE(CryptGetKeyParam(k, KP_ALGID, reinterpret_cast<BYTE*>(&value), &size, 0));
  EXPECT_EQ(value, DWORD(CALG_DES));
  ASSERT_TRUE(CryptGetKeyParam(k, KP_BLOCKLEN, reinterpret_cast<BYTE*>(&value), &size, 0));
  EXPECT_EQ(value, 64u);
  keys_.pop_back();
  ASSERT_TRUE(CryptDestroyKey(k));
  BYTE buf[16] = {};
  DWORD n = 8;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptEncrypt(k, 0, TRUE, 0, buf, &n, sizeof buf));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY));
}

}  // namespace
