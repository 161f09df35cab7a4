// The platform's system message texts (FormatMessageA, FORMAT_MESSAGE_FROM_SYSTEM).
#include <windows.h>

#include <cstdint>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "base/codepage_internal.h"
#include "base/system_messages.h"
#include "test_support.h"

namespace {

using velmora::platform::systemMessageText;

std::string text(uint32_t code, bool chinese) {
  const char* t = systemMessageText(code, chinese);
  return t ? t : "<null>";
}

TEST(SystemMessages, KnownCodesInBothLanguages) {
  struct Case {
    uint32_t code;
    const char* english;
    const char* chinese;
  };
  const Case cases[] = {
      {ERROR_SUCCESS, "The operation completed successfully.\r\n", "作業順利完成。\r\n"},
      {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n", "系統找不到指定的檔案。\r\n"},
      {ERROR_ACCESS_DENIED, "Access is denied.\r\n", "存取被拒。\r\n"},
      {ERROR_CANCELLED, "The operation was canceled by the user.\r\n", "使用者已取消操作。\r\n"},
      {ERROR_LOGON_FAILURE, "The user name or password is incorrect.\r\n", "使用者名稱或密碼不正確。\r\n"},
      {uint32_t(NTE_BAD_KEYSET), "Keyset does not exist\r\n", "金鑰組不存在\r\n"},
      {uint32_t(NTE_BAD_SIGNATURE), "Invalid Signature.\r\n", "無效的簽章。\r\n"},
      {uint32_t(CRYPT_E_NOT_FOUND), "Cannot find object or property.\r\n", "找不到物件或屬性。\r\n"},
      {uint32_t(CERT_E_UNTRUSTEDROOT),
       "A certificate chain processed, but terminated in a root certificate which is not trusted by the trust "
       "provider.\r\n",
       "憑證鏈結已處理，但結束於不受信任提供者信任的根憑證。\r\n"},
      {SCARD_E_NO_SMARTCARD, "The operation requires a Smart Card, but no Smart Card is currently in the device.\r\n",
       "作業需要智慧卡，但裝置中目前沒有智慧卡。\r\n"},
      {SCARD_W_REMOVED_CARD, "The smart card has been removed, so that further communication is not possible.\r\n",
       "智慧卡已移除，因此無法再進行通訊。\r\n"},
      {uint32_t(E_FAIL), "Unspecified error\r\n", "未指定的錯誤\r\n"},
      {uint32_t(E_NOTIMPL), "Not implemented\r\n", "沒有實作\r\n"},
      {uint32_t(DISP_E_TYPEMISMATCH), "Type mismatch.\r\n", "類型不符。\r\n"},
      {uint32_t(REGDB_E_CLASSNOTREG), "Class not registered\r\n", "類別未登錄\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.code);
    EXPECT_EQ(text(c.code, false), c.english);
    EXPECT_EQ(text(c.code, true), c.chinese);
  }
}

TEST(SystemMessages, HresultFromWin32ResolvesToTheWin32Text) {
  for (uint32_t win32 : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_OUTOFMEMORY,
                         ERROR_INVALID_PARAMETER, ERROR_CANCELLED, ERROR_NO_MORE_ITEMS, ERROR_BADKEY}) {
    const uint32_t hr = uint32_t(HRESULT_FROM_WIN32(win32));
    SCOPED_TRACE(testing::Message() << std::hex << hr);
    EXPECT_EQ(hr & 0xFFFF0000u, 0x80070000u);
    ASSERT_NE(systemMessageText(win32, false), nullptr);
    EXPECT_STREQ(systemMessageText(hr, false), systemMessageText(win32, false));
    EXPECT_STREQ(systemMessageText(hr, true), systemMessageText(win32, true));
  }
  // The SDK's E_* aliases of Win32 codes.
  EXPECT_EQ(text(uint32_t(E_ACCESSDENIED), false), "Access is denied.\r\n");
  EXPECT_EQ(text(uint32_t(E_INVALIDARG), false), "The parameter is incorrect.\r\n");
  EXPECT_EQ(text(uint32_t(E_OUTOFMEMORY), false),
            "Not enough memory resources are available to complete this operation.\r\n");
  EXPECT_EQ(text(0x800704C7u, true), "使用者已取消操作。\r\n");  // the key-use prompt's cancel
}

TEST(SystemMessages, CodesWithoutTextGiveNull) {
  for (uint32_t code : {0x02345678u, 9999u, 0x80070000u | 9999u, 0x80090FFFu, 0x801000FFu, 0xFFFFFFFFu,
                        0x00070002u, 0xC0070002u}) {
    SCOPED_TRACE(testing::Message() << std::hex << code);
    EXPECT_EQ(systemMessageText(code, false), nullptr);
    EXPECT_EQ(systemMessageText(code, true), nullptr);
  }
}

// Every code the platform's winerror.h defines has a text in both languages.
TEST(SystemMessages, EveryCodeOfWinerrorHasText) {
  std::ifstream header(std::string(VELMORA_SOURCE_DIR) + "/platform/include/winerror.h");
  ASSERT_TRUE(header.good());
  const std::regex define(R"(^#define\s+(\w+)\s+(?:\(\((?:HRESULT|DWORD)\))?(0x[0-9A-Fa-f]+|\d+)L?\)?\)?\s*$)");
  int codes = 0;
  std::string line;
  while (std::getline(header, line)) {
    std::smatch m;
    if (!std::regex_match(line, m, define)) continue;
    const std::string name = m[1];
    if (name.rfind("FACILITY_", 0) == 0) continue;  // not a code
    const uint32_t code = uint32_t(std::stoul(m[2], nullptr, 0));
    ++codes;
    EXPECT_NE(systemMessageText(code, false), nullptr) << name;
    EXPECT_NE(systemMessageText(code, true), nullptr) << name;
  }
  EXPECT_GT(codes, 150);  // the parse found the header's codes
}

// Probes every code of the facilities the table covers: each text ends in
// "\r\n", English is ASCII, Chinese differs from English and converts to Big5
// (the ANSI code page under a Big5 locale) without loss.
TEST(SystemMessages, EveryTextIsWellFormed) {
  std::vector<uint32_t> bases = {0x00000000u, 0x80000000u, 0x80010000u, 0x80020000u, 0x80040000u,
                                 0x80080000u, 0x80090000u, 0x800B0000u, 0x80100000u};
  int found = 0;
  for (uint32_t base : bases) {
    for (uint32_t low = 0; low <= 0xFFFFu; ++low) {
      const uint32_t code = base | low;
      const char* en = systemMessageText(code, false);
      const char* zh = systemMessageText(code, true);
      ASSERT_EQ(en == nullptr, zh == nullptr) << std::hex << code;
      if (!en) continue;
      ++found;
      const std::string e = en, z = zh;
      SCOPED_TRACE(testing::Message() << std::hex << code);
      EXPECT_TRUE(e.ends_with("\r\n")) << e;
      EXPECT_TRUE(z.ends_with("\r\n")) << z;
      EXPECT_EQ(e.find("\r\n"), e.size() - 2) << "one line only";
      EXPECT_EQ(z.find("\r\n"), z.size() - 2) << "one line only";
      EXPECT_GT(e.size(), 2u);
      EXPECT_NE(e, z);
      for (unsigned char c : e) ASSERT_LT(c, 0x80) << e;
      const std::string big5 = velmora::platform::convertCodePage(z, CP_UTF8, 950);
      EXPECT_EQ(velmora::platform::convertCodePage(big5, 950, CP_UTF8), z);
    }
  }
  EXPECT_GT(found, 300);
}

}  // namespace
