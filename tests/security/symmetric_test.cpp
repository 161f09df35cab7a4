// SymEncrypt and SymDecrypt: DES and triple DES with a hex key, both text
// forms, checked against `openssl enc`; the status codes of bad input.
#include <strabel/strabel.h>
#include <windows.h>

#include <string>
#include <vector>

#include "base/codepage_internal.h"
#include "certs/encoding.h"
#include "frame/engines.h"
#include "test_support.h"

namespace {

std::string take(char* p) {
  std::string s = p ? p : "<null>";
  delete[] p;
  return s;
}

std::string unb64(const std::string& text) {
  strabel::ByteBuffer out;
  return strabel::Base64Decode(text, out) ? out.str() : "<bad>";
}

std::string utf16le(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    out += char(c & 0xFF);
    out += char(c >> 8);
  }
  return out;
}

// `openssl enc` of `bytes` with a zero IV; Base64 on one line.
std::string opensslEnc(const std::string& cipher, const std::string& keyHex, const std::string& bytes) {
  const std::string dir = vtest::makeTempDir("symenc");
  vtest::writeFile(dir + "/in", bytes);
  std::vector<std::string> argv = {"openssl", "enc", "-e", "-" + cipher, "-K", keyHex, "-iv", "0000000000000000",
                                   "-in", dir + "/in", "-base64", "-A"};
  if (cipher == "des-cbc") argv.insert(argv.end(), {"-provider", "legacy", "-provider", "default"});
  auto r = vtest::runCommand(argv);
  return r.status == 0 ? r.out.substr(0, r.out.find_last_not_of("\r\n") + 1) : "<openssl failed: " + r.err + ">";
}

class SymCipher : public testing::Test {
 protected:
  void SetUp() override { strabel::capiCore().m_bIEProtectedMode = 0; }
  CCAPILib capi;
};

const struct Cipher {
  long iAlgorithm;
  const char* openssl;
  const char* key;
} kCiphers[] = {
    {1, "des-cbc", "133457799BBCDFF1"},
    {0, "des-ede-cbc", "0123456789abcdefFEDCBA9876543210"},
    {0, "des-ede3-cbc", "0123456789ABCDEF23456789abcdef01456789ABCDEF0123"},
};

TEST_F(SymCipher, EqualsOpensslEncInBothTextFormsAndRoundTrips) {
  VTEST_REQUIRE(vtest::runCommand({"openssl", "version"}).status == 0, "openssl command");
  const std::string texts[] = {"A", "12345678", "Hello, triple DES world!", "中文測試 and more text"};
  for (const auto& c : kCiphers) {
    for (const auto& utf8 : texts) {
      const std::string ansi = velmora::platform::ansiFromUtf8(utf8);
      const std::u16string wide = velmora::platform::toWide(ansi, CP_ACP);
      // Without 0x800 the text's UTF-16LE units are encrypted, with it the ANSI bytes.
      for (long flags : {0L, 0x800L}) {
        std::string ours = take(capi.SymEncrypt(ansi.c_str(), c.key, c.iAlgorithm, flags));
        EXPECT_EQ(capi.GetErrorCode(), 0) << c.openssl;
        std::string theirs = opensslEnc(c.openssl, c.key, flags ? ansi : utf16le(wide));
        EXPECT_EQ(ours, theirs) << c.openssl << " flags " << flags << " " << utf8;
        EXPECT_EQ(take(capi.SymDecrypt(ours.c_str(), c.key, c.iAlgorithm, flags)), ansi) << c.openssl;
        EXPECT_EQ(capi.GetErrorCode(), 0);
      }
    }
  }
}

TEST_F(SymCipher, EightCharactersMakeThreeBlocksAndArmourIsAccepted) {
  const char* key = "0123456789abcdefFEDCBA9876543210";
  std::string b64 = take(capi.SymEncrypt("ABCDEFGH", key, 0, 0));
  EXPECT_EQ(b64.size(), 32u);  // 16 bytes of text, one block of padding
  EXPECT_EQ(unb64(b64).size(), 24u);
  std::string armoured = "-----BEGIN DATA-----\r\n" + b64.substr(0, 10) + "\r\n" + b64.substr(10) +
                         "\r\n-----END DATA-----\r\n";
  EXPECT_EQ(take(capi.SymDecrypt(armoured.c_str(), key, 0, 0)), "ABCDEFGH");
  // Read as ANSI, UTF-16LE text stops at the first character's high byte.
  EXPECT_EQ(take(capi.SymDecrypt(b64.c_str(), key, 0, 0x800)), "A");
  EXPECT_EQ(capi.GetErrorCode(), 0);
}

TEST_F(SymCipher, BadInputGetsItsStatus) {
  const std::string good = take(capi.SymEncrypt("secret", "0123456789abcdefFEDCBA9876543210", 0, 0));
  std::string corrupted = unb64(good);
  corrupted.back() ^= 0x5a;
  strabel::ByteBuffer corruptedB64;
  ASSERT_TRUE(strabel::Base64Encode(corrupted.data(), int32_t(corrupted.size()), corruptedB64));
  std::string shortened = unb64(good).substr(0, 13);
  strabel::ByteBuffer shortenedB64;
  ASSERT_TRUE(strabel::Base64Encode(shortened.data(), int32_t(shortened.size()), shortenedB64));

  struct Case {
    bool encrypt;
    std::string text;
    const char* key;
    long alg;
    int status;
    DWORD capiCode;
  } cases[] = {
      {true, "text", "0123456789abcdef0123", 0, 9003, 0},  // 10 bytes
      {true, "text", "0123456789abcdef0123", 1, 9003, 0},
      {false, good, "0123456789abcdef0123", 0, 9003, 0},
      {true, "text", "0123456789abcde", 0, 5005, 0},  // odd length
      {true, "text", "", 1, 5005, 0},
      {true, "", "0123456789abcdef", 1, 5005, 0},
      {false, "", "0123456789abcdef", 1, 5005, 0},
      {true, "text", "0123456789abcdef", 2, 9001, 0},
      {true, "text", "0123456789abcde", 2, 5005, 0},  // the key is decoded first
      {false, good, "0123456789abcdef", -1, 9001, 0},
      {true, "text", "0123456789abcdef", 0, 9003, 0},  // 8 bytes for triple DES
      {false, "not base64 !", "0123456789abcdef", 1, 9002, 0},
      {false, corruptedB64.str(), "0123456789abcdefFEDCBA9876543210", 0, 9005, DWORD(NTE_BAD_DATA)},
      {false, shortenedB64.str(), "0123456789abcdefFEDCBA9876543210", 0, 9005, DWORD(NTE_BAD_DATA)},
  };
  for (const auto& c : cases) {
    std::string result = c.encrypt ? take(capi.SymEncrypt(c.text.c_str(), c.key, c.alg, 0))
                                   : take(capi.SymDecrypt(c.text.c_str(), c.key, c.alg, 0));
    EXPECT_EQ(result, "") << c.text << " " << c.key << " " << c.alg;
    EXPECT_EQ(capi.GetErrorCode(), c.status) << c.text << " " << c.key << " " << c.alg;
    EXPECT_EQ(DWORD(capi.GetCapiErrorCode()), c.capiCode) << c.status;
  }
  // A null key or text reads as empty.
  EXPECT_EQ(take(capi.SymEncrypt("text", nullptr, 1, 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5005);
}

TEST_F(SymCipher, ProtectedModeStopsBothWhereTheyCheckIt) {
  strabel::capiCore().m_bIEProtectedMode = 1;
  EXPECT_EQ(take(capi.SymEncrypt("", "00", 1, 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5005);  // empty text is refused first
  EXPECT_EQ(take(capi.SymEncrypt("x", "00", 1, 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 1500);
  EXPECT_EQ(take(capi.SymDecrypt("AAAA", "0", 1, 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5005);  // decryption checks the key first
  EXPECT_EQ(take(capi.SymDecrypt("AAAA", "0123456789abcdef", 1, 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 1500);
  strabel::capiCore().m_bIEProtectedMode = 0;
}

TEST_F(SymCipher, ReachableThroughTheBridge) {
  auto r = vtest::runCommand({std::string(VELMORA_BIN_DIR) + "/velmora-call",
                              "capi_SymEncrypt(\"12345678\",\"133457799BBCDFF1\",1,2048)", "capi_GetErrorCode()",
                              "capi_SymDecrypt(\"AAAAAAAAAAA=\",\"133457799BBCDFF1\",1,2048)", "capi_GetErrorCode()",
                              "capi_GetCapiErrorMsg()"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string expected = "\"" + take(capi.SymEncrypt("12345678", "133457799BBCDFF1", 1, 0x800)) + "\"\n0\n\"\"\n9005\n";
  EXPECT_EQ(r.out.substr(0, expected.size()), expected);
  EXPECT_NE(r.out.find("(0x80090005)"), std::string::npos) << r.out;
}

}  // namespace
