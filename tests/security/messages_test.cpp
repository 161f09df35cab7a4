// The status message tables: the main table (CCapiCore), the
// smart-card engine's table (CTaiMAC10Core) and the registration engine's
// fixed table (CCertRegCore).
#include <windows.h>

#include <climits>
#include <string>

#include "base/codepage_internal.h"
#include "frame/messages.h"
#include "test_support.h"

namespace {

using strabel::capiMessage;
using strabel::certRegMessage;
using strabel::taiMacMessage;

// ---- edge cases ----

TEST(StatusMessages, SuccessInBothLanguages) {
  EXPECT_EQ(capiMessage(0, 437), "Success(0)");
  EXPECT_EQ(capiMessage(0, 950), "成功(0)");
  EXPECT_EQ(taiMacMessage(0, 437), "Success(0)");
  EXPECT_EQ(taiMacMessage(0, 950), "成功(0)");
  EXPECT_EQ(certRegMessage(0), "成功(0)");
}

TEST(StatusMessages, UndefinedCodeTrailingSpaceDependsOnTheEngine) {
  EXPECT_EQ(capiMessage(5009, 437), "Undefined(5009) ");
  EXPECT_EQ(capiMessage(5009, 950), "錯誤碼未定義(5009) ");
  EXPECT_EQ(taiMacMessage(5009, 437), "Undefined(5009)");
  EXPECT_EQ(taiMacMessage(5009, 950), "錯誤碼未定義(5009)");
  EXPECT_EQ(certRegMessage(5009), "錯誤碼未定義(5009)");
}

TEST(StatusMessages, SharedEnglishTextsKeepTheirOwnChineseRows) {
  EXPECT_EQ(capiMessage(5400, 437), "PFX file not found(5400)");
  EXPECT_EQ(capiMessage(1101, 437), "PFX file not found(1101)");
  EXPECT_EQ(capiMessage(5400, 950), "憑證交換檔讀不存在(5400)");
  EXPECT_EQ(capiMessage(1101, 950), "憑證檔不存在(1101)");
  // And the other way round: 5001 and 7701 share the Chinese text only.
  EXPECT_EQ(capiMessage(5001, 437), "General error(5001)");
  EXPECT_EQ(capiMessage(7701, 437), "General error(XML)(7701)");
  EXPECT_EQ(capiMessage(5001, 950), "一般錯誤(5001)");
  EXPECT_EQ(capiMessage(7701, 950), "一般錯誤(7701)");
}

TEST(StatusMessages, LastRowOfTheMainTable) {
  EXPECT_EQ(capiMessage(9006, 437), "Decryption error, can not find the certificate available(9006)");
  EXPECT_EQ(capiMessage(9006, 950), "解密錯誤, 找不到可用憑證(9006)");
}

TEST(StatusMessages, RegistrationEngineHasItsOwnFixedTable) {
  EXPECT_EQ(certRegMessage(4102), "CertReg_NO_CERT(4102)");
  // 5005 has a row in the main table but none here.
  EXPECT_EQ(certRegMessage(5005), "錯誤碼未定義(5005)");
  EXPECT_EQ(capiMessage(5005, 437), "Wrong parameters(5005)");
}

TEST(StatusMessages, EveryCodePageButFourThirtySevenSelectsChinese) {
  for (int cp : {950, 1252, 65001, 0, -1}) {
    SCOPED_TRACE(cp);
    EXPECT_EQ(capiMessage(5011, cp), "憑證已過期(5011)");
    EXPECT_EQ(capiMessage(12345, cp), "錯誤碼未定義(12345) ");
    EXPECT_EQ(taiMacMessage(5004, cp), "不支援的功能(5004)");
    EXPECT_EQ(taiMacMessage(3206, cp), "錯誤碼未定義(3206)");
  }
  EXPECT_EQ(capiMessage(5011, 437), "The certificate has expired(5011)");
}

TEST(StatusMessages, NegativeCodesPrintAsSignedDecimals) {
  EXPECT_EQ(capiMessage(-1, 437), "Undefined(-1) ");
  EXPECT_EQ(capiMessage(-5004, 950), "錯誤碼未定義(-5004) ");
  EXPECT_EQ(taiMacMessage(-2146435060, 437), "Undefined(-2146435060)");  // SCARD_E_NO_SMARTCARD as an int
  EXPECT_EQ(certRegMessage(INT_MIN), "錯誤碼未定義(-2147483648)");
  EXPECT_EQ(capiMessage(INT_MIN, 437), "Undefined(-2147483648) ");
}

// ---- the table itself ----

struct Row {
  int code;
  const char* english;
  const char* chinese;
};

// A sample of every range of the main table, both columns, as the table holds
// them (with the code in the parentheses).
const Row kSample[] = {
    {0, "Success(0)", "成功(0)"},
    {1001, "Unable to create directory(1001)", "無法建立目錄(1001)"},
    {1103, "Unable to write PFX file(1103)", "憑證檔無法寫入(1103)"},
    {1201, "PROPERTY file does not exist(1201)", "PROPERTY 檔不存在(1201)"},
    {1500,
     "IE protected mode is activated. Please add trusted sites, and uncheck default protection mode(1500)",
     "IE 受保護模式已啟動, 請加入信任網站, 並使用預設保護模式(關閉)(1500)"},
    {3002, "Authenticate failure(Decrypt)(3002)", "認證失敗(3002)"},
    {3004, "Authenticate failure(3004)", "認證(回覆)識別元錯誤, 認證失敗(3004)"},
    {3207, "Inactive smart card devices, please fix this problem(3207)",
     "發現停用的智慧卡載具(裝置), 請先排除此問題(3207)"},
    {5006, "Handle errors(5006)", "Handle錯誤(5006)"},
    {5010, "Certificate (or file) error and could not find the specified credentials(5010)",
     "無法在憑證區(或憑證檔)中,找到指定憑證(5010)"},
    {5022, "Certificate is revoked(CA compromised)(5022)", "憑證已撤銷(CA compromised)(5022)"},
    {5031, "CRL is not yet valid(5031)", "不合法的CRL(5031)"},
    {5046, "CSP Name Error: unspecified or is not installed(5046)", "CSP 名稱錯誤 : 未指定(5046)"},
    {5060, "Key does not match(5060)", "金鑰不存在(5060)"},
    {5070, "User presses the \"Cancel\" button(5070)", "使用者按下\"取消\"按鈕(5070)"},
    {5071, "wrong password(5071)", "密碼錯誤(5071)"},
    {5081, "In XML can not find the specified tag name(5081)", "無法在XML中,找到指定的標籤名稱(5081)"},
    {5201, "Open \"Personal Certificates\" failed(5201)", "開啟\"個人憑證區\"失敗(5201)"},
    {5205, "Associated private key has been marked as \"can not export\"(5205)",
     "關聯的私密金鑰已被標記成\"不能匯出\"(5205)"},
    {5206, "Access denied \"Personal Certificates\"(5206)", "個人憑證區存取被拒(5206)"},
    {5305, "Bad ASN1 encoding(5305)", "ASN1編碼失敗(5305)"},
    {5402, "Unable to write PFX file(5402)", "憑證交換檔寫入失敗(5402)"},
    {5901, "Unicode error(5901)", "Unicode錯誤(5901)"},
    {5902, "File Not Found(5902)", "File Not Found(5902)"},
    {5905, "Unknown logon user name or bad password(5905)", "Unknown logon user name or bad password(5905)"},
    {5906, "Permission denied(5906)", "使用者權限不足(5906)"},
    {7714, "Certificate content and <X509Data> records do not meet(7714)",
     "憑證內容與<X509Data>的記載不符合(7714)"},
    {7719, "Not supported digest algorithms(7719)", "不支援此摘要演算法(7719)"},
    {8706, "P12 file has not been loaded(8706)", "P12 檔尚未載入(8706)"},
    {8707, "P12 files already loaded(8707)", "P12 檔早已載入(8707)"},
    {9002, "Encrypted format error(9002)", "加解格式錯誤(9002)"},
};

TEST(StatusMessages, MainTableSample) {
  for (const Row& r : kSample) {
    SCOPED_TRACE(r.code);
    EXPECT_EQ(capiMessage(r.code, 437), r.english);
    EXPECT_EQ(capiMessage(r.code, 950), r.chinese);
  }
}

TEST(StatusMessages, SmartCardEngineTable) {
  EXPECT_EQ(taiMacMessage(1500, 437),
            "IE protected mode is activated. Please add trusted sites, and uncheck default protection mode(1500)");
  EXPECT_EQ(taiMacMessage(1500, 950), "IE 受保護模式已啟動, 請加入信任網站, 並使用預設保護模式(關閉)(1500)");
  EXPECT_EQ(taiMacMessage(5004, 437), "Not Supported(5004)");
  EXPECT_EQ(taiMacMessage(5004, 950), "不支援的功能(5004)");
  // Rows of the main table are not rows here.
  EXPECT_EQ(taiMacMessage(5070, 437), "Undefined(5070)");
}

TEST(StatusMessages, RegistrationEngineTable) {
  const std::pair<int, const char*> rows[] = {
      {1500, "IE 受保護模式已啟動, 請加入信任網站, 並使用預設保護模式(關閉)(1500)"},
      {4097, "CertReg_CSP_ERROR(4097)"},
      {4098, "CertReg_ERROR_OUTOFMEMORY(4098)"},
      {4099, "CertReg_AcquireContext_ERROR(4099)"},
      {4100, "CertReg_OpenCertStore_ERROR(4100)"},
      {4101, "CertReg_GetUserKey_ERROR(4101)"},
      {4103, "CertReg_CreateCertificate(4103)"},
      {5004, "不支援的功能(5004)"},
      {4096, "錯誤碼未定義(4096)"},
      {4104, "錯誤碼未定義(4104)"},
  };
  for (const auto& [code, text] : rows) EXPECT_EQ(certRegMessage(code), text) << code;
}

// Every code from 0 to 9999: exactly the 137 rows of the main table are
// defined, each row's text ends in "(code)", the two columns are either both
// defined or both undefined, and the Chinese column survives the Big5 code
// page the component's data uses (the caller converts to the ANSI code page).
TEST(StatusMessages, WholeMainTableIsWellFormed) {
  int rows = 0;
  for (int code = 0; code < 10000; ++code) {
    const std::string en = capiMessage(code, 437);
    const std::string zh = capiMessage(code, 950);
    const std::string tail = "(" + std::to_string(code) + ")";
    const bool enDefined = en != "Undefined" + tail + " ";
    const bool zhDefined = zh != "錯誤碼未定義" + tail + " ";
    ASSERT_EQ(enDefined, zhDefined) << code;
    if (!enDefined) continue;
    ++rows;
    EXPECT_TRUE(en.ends_with(tail)) << en;
    EXPECT_TRUE(zh.ends_with(tail)) << zh;
    EXPECT_LT(en.size(), 200u);
    EXPECT_LT(zh.size(), 200u);
    for (unsigned char c : en) EXPECT_LT(c, 0x80) << "English row " << code << " is not ASCII";
    const std::string big5 = velmora::platform::convertCodePage(zh, CP_UTF8, 950);
    EXPECT_EQ(big5.find('?'), std::string::npos) << "row " << code << " has a character Big5 lacks";
    EXPECT_EQ(velmora::platform::convertCodePage(big5, 950, CP_UTF8), zh) << code;
  }
  EXPECT_EQ(rows, 137);
}

}  // namespace
