// The security component's status message tables.
#include "frame/messages.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string_view>

namespace strabel {

namespace {

// The original formats into a 200-byte buffer; every message fits.
constexpr std::size_t kBufferSize = 200;

struct Row {
  int code;
  const char* english;  // code page 437
  const char* chinese;  // every other code page
};

struct FixedRow {
  int code;
  const char* text;
};

// CCapiCore: 137 rows, ascending by code.
constexpr Row kCapiRows[] = {
    {0, "Success(%d)", "成功(%d)"},
    {1001, "Unable to create directory(%d)", "無法建立目錄(%d)"},
    {1002, "Unable to read file(%d)", "檔案無法讀取(%d)"},
    {1003, "Unable to write file(%d)", "檔案無法寫入(%d)"},
    {1101, "PFX file not found(%d)", "憑證檔不存在(%d)"},
    {1102, "Unable to read PFX file(%d)", "憑證檔無法讀取(%d)"},
    {1103, "Unable to write PFX file(%d)", "憑證檔無法寫入(%d)"},
    {1201, "PROPERTY file does not exist(%d)", "PROPERTY 檔不存在(%d)"},
    {1202, "PROPERTY file unable to read(%d)", "PROPERTY 檔無法讀取(%d)"},
    {1203, "PROPERTY file unable to write(%d)", "PROPERTY 檔無法寫入(%d)"},
    {1500, "IE protected mode is activated. Please add trusted sites, and uncheck default protection mode(%d)", "IE 受保護模式已啟動, 請加入信任網站, 並使用預設保護模式(關閉)(%d)"},
    {3001, "Not yet authenticate(%d)", "尚未認證(%d)"},
    {3002, "Authenticate failure(Decrypt)(%d)", "認證失敗(%d)"},
    {3003, "Authenticate failure(untrust)(%d)", "下單主機不受信任, 認證失敗(%d)"},
    {3004, "Authenticate failure(%d)", "認證(回覆)識別元錯誤, 認證失敗(%d)"},
    {3005, "Already Authenticated(%d)", "重複認證(%d)"},
    {3201, "Smart card services, has stopped(%d)", "智慧卡服務, 已經停止(%d)"},
    {3202, "Smart card operation timed out(%d)", "智慧卡拔插, 作業逾時(%d)"},
    {3203, "Smart card operation failure(%d)", "智慧卡拔插錯誤(%d)"},
    {3204, "Smart card password excessive number of errors has been locked(%d)", "智慧卡密碼錯誤次數過多, 已經鎖住(%d)"},
    {3205, "Invalid smart card services(%d)", "智慧卡服務已經停止(%d)"},
    {3206, "Smart card PIN code is incorrect(%d)", "智慧卡密碼錯誤(%d)"},
    {3207, "Inactive smart card devices, please fix this problem(%d)", "發現停用的智慧卡載具(裝置), 請先排除此問題(%d)"},
    {5001, "General error(%d)", "一般錯誤(%d)"},
    {5002, "Memory allocation error occurred(%d)", "配置記憶體發生錯誤(%d)"},
    {5003, "Memory buffer too small(%d)", "配置記憶體不足(%d)"},
    {5004, "Not Supported(%d)", "不支援的功能(%d)"},
    {5005, "Wrong parameters(%d)", "錯誤的參數(%d)"},
    {5006, "Handle errors(%d)", "Handle錯誤(%d)"},
    {5008, "Base64 encoding errors(%d)", "Base64 編碼錯誤(%d)"},
    {5010, "Certificate (or file) error and could not find the specified credentials(%d)", "無法在憑證區(或憑證檔)中,找到指定憑證(%d)"},
    {5011, "The certificate has expired(%d)", "憑證已過期(%d)"},
    {5012, "Certificate is not yet valid(%d)", "憑證尚未合法,無法使用(%d)"},
    {5013, "The certificate is expired or unusable(%d)", "憑證可能過期或無法使用(%d)"},
    {5014, "Certificate subject does not comply(%d)", "憑證主旨錯誤(%d)"},
    {5015, "Unable to find the certificate issuer(%d)", "無法找到憑證發行者(%d)"},
    {5016, "Not legal certificate signature(%d)", "不合法的憑證簽章(%d)"},
    {5017, "Inappropriate use of certificate(%d)", "憑證用途(加解密,簽驗章)不合適(%d)"},
    {5018, "Certificate is not yet registered(%d)", "憑證尚未註冊, 無法找到指定憑證(%d)"},
    {5020, "Certificate is revoked(%d)", "憑證已撤銷(%d)"},
    {5021, "Certificate is revoked(key compromised)(%d)", "憑證已撤銷(金鑰洩露)(%d)"},
    {5022, "Certificate is revoked(CA compromised)(%d)", "憑證已撤銷(CA compromised)(%d)"},
    {5023, "Certificate is revoked(affiliation changed)(%d)", "憑證已撤銷(聯盟已變更)(%d)"},
    {5024, "Certificate is revoked(superseded)(%d)", "憑證已撤銷(已取代)(%d)"},
    {5025, "Certificate is revoked(cessation)(%d)", "憑證已撤銷(已停止)(%d)"},
    {5026, "Reserved certificate or hold(%d)", "憑證保留或暫禁(%d)"},
    {5028, "Certificate has been revoked by CRL(%d)", "憑證已被CRL撤銷(%d)"},
    {5030, "CRL expired(%d)", "CRL已過期(%d)"},
    {5031, "CRL is not yet valid(%d)", "不合法的CRL(%d)"},
    {5032, "CRL not found(%d)", "無法找到CRL(%d)"},
    {5034, "CRL signature value error(%d)", "CRL簽章值錯誤(%d)"},
    {5035, "Digest Error(%d)", "Digest錯誤(%d)"},
    {5036, "Signature Error(%d)", "不合法的簽章(%d)"},
    {5037, "Content Error(%d)", "內容錯誤(%d)"},
    {5040, "Invalid Certificate format(%d)", "憑證格式錯誤(%d)"},
    {5041, "Invalid CRL data format(%d)", "CRL格式錯誤(%d)"},
    {5042, "Invalid PKCS7 data format(%d)", "錯誤的PKCS7格式(%d)"},
    {5043, "Invalid Key format(%d)", "Key的格式錯誤(%d)"},
    {5044, "Invalid Certificate request format(%d)", "不合法的PKCS10格式(%d)"},
    {5045, "Invalid data format(%d)", "不合適的格式(%d)"},
    {5046, "CSP Name Error: unspecified or is not installed(%d)", "CSP 名稱錯誤 : 未指定(%d)"},
    {5047, "CSP Name not support(%d)", "作業系統不支援此 CSP(%d)"},
    {5048, "(AES/SHA2)CSP Name not support(%d)", "強制使用 AES/SHA2 CSP 失敗, 作業系統不支援(%d)"},
    {5049, "Change forbid the use of other CSP(%d)", "強制使用 AES/SHA2 CSP 情況下, 禁止變更使用其他 CSP(%d)"},
    {5050, "Object not found(%d)", "物件不存在(%d)"},
    {5051, "PKCS7 content is not included in its original plain data(%d)", "PKCS7內容沒有包含原文(%d)"},
    {5052, "PKCS7 context does not contain certificate(%d)", "PKCS7內容沒有包含憑證(%d)"},
    {5053, "PKCS7 context does not contain signer information(%d)", "PKCS7內容沒有包含簽章資訊(%d)"},
    {5060, "Key does not match(%d)", "金鑰不存在(%d)"},
    {5061, "Failure to sign data(%d)", "簽章失敗(%d)"},
    {5062, "Failure to verify data(%d)", "驗章失敗(%d)"},
    {5063, "Failure to encrypt data(%d)", "加密失敗(%d)"},
    {5064, "Failure to decrypt data(%d)", "解密失敗(%d)"},
    {5065, "Failed to generate key(%d)", "產生金鑰失敗(%d)"},
    {5066, "Failed to delete certificate(%d)", "刪除憑證失敗(%d)"},
    {5067, "Signed certificate has not chosen(%d)", "執行簽章時, 尚未選擇簽章憑證(%d)"},
    {5070, "User presses the \"Cancel\" button(%d)", "使用者按下\"取消\"按鈕(%d)"},
    {5071, "wrong password(%d)", "密碼錯誤(%d)"},
    {5080, "Could not parse the XML file(%d)", "無法剖析XML文件(%d)"},
    {5081, "In XML can not find the specified tag name(%d)", "無法在XML中,找到指定的標籤名稱(%d)"},
    {5200, "Listed CSP Error(%d)", "列舉 CSP 發生錯誤(%d)"},
    {5201, "Open \"Personal Certificates\" failed(%d)", "開啟\"個人憑證區\"失敗(%d)"},
    {5202, "Certificate chain does not exist(%d)", "憑證鏈不存在(%d)"},
    {5203, "Error to acquire CSP names(%d)", "無法取得CSP資源(%d)"},
    {5204, "Can not find the associated private key(%d)", "找不到關聯的私密金鑰(%d)"},
    {5205, "Associated private key has been marked as \"can not export\"(%d)", "關聯的私密金鑰已被標記成\"不能匯出\"(%d)"},
    {5206, "Access denied \"Personal Certificates\"(%d)", "個人憑證區存取被拒(%d)"},
    {5207, "PFX(P12) file format incorrect(%d)", "PKCS12檔案格式錯誤(%d)"},
    {5208, "PFX(P12) password error(%d)", "PKCS12 密碼錯誤(%d)"},
    {5209, "The new password and confirm passwords do not match(%d)", "新密碼及確認密碼不一致(%d)"},
    {5210, "PFX certificate or memory area access denied(%d)", "PFX 或記憶體憑證區存取被拒(%d)"},
    {5211, "CSP access denied(%d)", "CSP 存取被拒(%d)"},
    {5221, "Open \"trusted root certificate\" failed(%d)", "開啟\"信任根憑證區\"失敗(%d)"},
    {5222, "Open \"trusted certificate\" failed(%d)", "開啟\"信任中繼憑證區\"失敗(%d)"},
    {5223, "Open \"others certificate\" failed(%d)", "開啟\"其他人憑證區\"失敗(%d)"},
    {5224, "Certificate chain is incorrect and can not be trusted(%d)", "憑證鏈有誤, 無法信任(%d)"},
    {5225, "IC card not ready(%d)", "IC 卡尚未備妥(%d)"},
    {5226, "Open \"memory certificate\" failed(%d)", "開啟\"記憶體憑證區\"失敗(%d)"},
    {5301, "Key length error(%d)", "金鑰長度錯誤(%d)"},
    {5302, "Key generation failed(%d)", "金鑰產生失敗(%d)"},
    {5303, "Failed to produce a PFX file(%d)", "憑證交換檔產生失敗(%d)"},
    {5304, "Failed to produce a certificate request file(%d)", "憑證請求檔產生失敗(%d)"},
    {5305, "Bad ASN1 encoding(%d)", "ASN1編碼失敗(%d)"},
    {5400, "PFX file not found(%d)", "憑證交換檔讀不存在(%d)"},
    {5401, "Unable to read PFX file(%d)", "憑證交換檔讀取失敗(%d)"},
    {5402, "Unable to write PFX file(%d)", "憑證交換檔寫入失敗(%d)"},
    {5901, "Unicode error(%d)", "Unicode錯誤(%d)"},
    {5902, "File Not Found(%d)", "File Not Found(%d)"},
    {5903, "Path Not Found(%d)", "Path Not Found(%d)"},
    {5904, "Network path was not found(%d)", "Network path was not found(%d)"},
    {5905, "Unknown logon user name or bad password(%d)", "Unknown logon user name or bad password(%d)"},
    {5906, "Permission denied(%d)", "使用者權限不足(%d)"},
    {7701, "General error(XML)(%d)", "一般錯誤(%d)"},
    {7704, "Specified algorithm is incorrect(%d)", "所指定的演算法不正確(%d)"},
    {7705, "Error occurred while performing signature algorithm(%d)", "執行簽驗章演算法時發生錯誤(%d)"},
    {7706, "XML Signature value error(%d)", "簽章值錯誤(%d)"},
    {7707, "XML Reference digest value error(%d)", "Reference的摘要值錯誤(%d)"},
    {7708, "Error occurred while performing canonical algorithm(%d)", "執行正規化演算法時發生錯誤(%d)"},
    {7709, "Error occurred while performing Transform algorithm(%d)", "執行Transform演算法時發生錯誤(%d)"},
    {7710, "Error occurred while performing Resolver(%d)", "執行Resolver時發生錯誤(%d)"},
    {7711, "Can not find signature value(%d)", "找不到簽章值(%d)"},
    {7712, "An error occurred while parsing an XML document(%d)", "解析XML文件時發生錯誤(%d)"},
    {7713, "File does not exist or is null(%d)", "所指向的文件不存在或為空值(%d)"},
    {7714, "Certificate content and <X509Data> records do not meet(%d)", "憑證內容與<X509Data>的記載不符合(%d)"},
    {7715, "XML file does not exist or malformed(%d)", "XML文件不存在或格式錯誤(%d)"},
    {7716, "The parameter is incorrect(%d)", "參數不正確(%d)"},
    {7717, "Not supported C14N algorithms(%d)", "不支援此C14N演算法(%d)"},
    {7718, "Not supported signature algorithms(%d)", "不支援此簽章演算法(%d)"},
    {7719, "Not supported digest algorithms(%d)", "不支援此摘要演算法(%d)"},
    {8706, "P12 file has not been loaded(%d)", "P12 檔尚未載入(%d)"},
    {8707, "P12 files already loaded(%d)", "P12 檔早已載入(%d)"},
    {9001, "Encryption algorithm error(%d)", "加解密演算法錯誤(%d)"},
    {9002, "Encrypted format error(%d)", "加解格式錯誤(%d)"},
    {9003, "Password length error(%d)", "加解密密碼長度錯誤(%d)"},
    {9004, "Encryption Error(%d)", "加密錯誤(%d)"},
    {9005, "Decryption error(%d)", "解密錯誤(%d)"},
    {9006, "Decryption error, can not find the certificate available(%d)", "解密錯誤, 找不到可用憑證(%d)"},
};

// CTaiMAC10Core: four rows, the last being the undefined format.
constexpr Row kTaiMacRows[] = {
    {0, "Success(%d)", "成功(%d)"},
    {1500, "IE protected mode is activated. Please add trusted sites, and uncheck default protection mode(%d)", "IE 受保護模式已啟動, 請加入信任網站, 並使用預設保護模式(關閉)(%d)"},
    {5004, "Not Supported(%d)", "不支援的功能(%d)"},
};

// CCertRegCore: one column, whatever the language.
constexpr FixedRow kCertRegRows[] = {
    {0, "成功(%d)"},
    {1500, "IE 受保護模式已啟動, 請加入信任網站, 並使用預設保護模式(關閉)(%d)"},
    {4097, "CertReg_CSP_ERROR(%d)"},
    {4098, "CertReg_ERROR_OUTOFMEMORY(%d)"},
    {4099, "CertReg_AcquireContext_ERROR(%d)"},
    {4100, "CertReg_OpenCertStore_ERROR(%d)"},
    {4101, "CertReg_GetUserKey_ERROR(%d)"},
    {4102, "CertReg_NO_CERT(%d)"},
    {4103, "CertReg_CreateCertificate(%d)"},
    {5004, "不支援的功能(%d)"},
};

constexpr const char* kCapiUndefinedEnglish = "Undefined(%d) ";
constexpr const char* kCapiUndefinedChinese = "錯誤碼未定義(%d) ";
constexpr const char* kTaiMacUndefinedEnglish = "Undefined(%d)";
constexpr const char* kTaiMacUndefinedChinese = "錯誤碼未定義(%d)";
constexpr const char* kCertRegUndefined = "錯誤碼未定義(%d)";

// ---- compile-time checks of the tables ----

// Exactly one conversion, "%d", and no other '%'; and room in the buffer for
// the longest code ("-2147483648") and the terminator.
constexpr bool validFormat(const char* format) {
  int percents = 0;
  bool hasD = false;
  std::size_t length = 0;
  for (const char* p = format; *p; ++p, ++length) {
    if (*p == '%') {
      ++percents;
      hasD = p[1] == 'd';
    }
  }
  return percents == 1 && hasD && length - 2 + 11 + 1 <= kBufferSize;
}

template <typename R, std::size_t N>
constexpr bool sortedAndUnique(const R (&rows)[N]) {
  for (std::size_t i = 1; i < N; ++i)
    if (!(rows[i - 1].code < rows[i].code)) return false;
  return true;
}

constexpr bool validRows(const Row* begin, const Row* end) {
  for (const Row* r = begin; r != end; ++r)
    if (!validFormat(r->english) || !validFormat(r->chinese)) return false;
  return true;
}

constexpr bool validFixedRows(const FixedRow* begin, const FixedRow* end) {
  for (const FixedRow* r = begin; r != end; ++r)
    if (!validFormat(r->text)) return false;
  return true;
}

static_assert(std::size(kCapiRows) == 137, "the main table has 137 rows");
static_assert(std::size(kTaiMacRows) == 3, "the smart-card engine has three rows besides its undefined format");
static_assert(std::size(kCertRegRows) == 10, "the registration engine has ten rows besides its undefined format");
static_assert(sortedAndUnique(kCapiRows) && sortedAndUnique(kTaiMacRows) && sortedAndUnique(kCertRegRows),
              "rows must be in ascending code order, each code once (binary search)");
static_assert(validRows(std::begin(kCapiRows), std::end(kCapiRows)) &&
                  validRows(std::begin(kTaiMacRows), std::end(kTaiMacRows)) &&
                  validFixedRows(std::begin(kCertRegRows), std::end(kCertRegRows)),
              "every message is a format with exactly one %d that fits the buffer");
static_assert(validFormat(kCapiUndefinedEnglish) && validFormat(kCapiUndefinedChinese) &&
              validFormat(kTaiMacUndefinedEnglish) && validFormat(kTaiMacUndefinedChinese) &&
              validFormat(kCertRegUndefined));

// ---- lookup and formatting ----

template <typename R, std::size_t N>
const R* findRow(const R (&rows)[N], int code) {
  const R* it = std::lower_bound(std::begin(rows), std::end(rows), code,
                                 [](const R& row, int c) { return row.code < c; });
  return it != std::end(rows) && it->code == code ? it : nullptr;
}

// The formats are the constants above, each checked to hold one %d.
std::string format(const char* fmt, int code) {
  char buffer[kBufferSize];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int n = std::snprintf(buffer, sizeof buffer, fmt, code);
#pragma GCC diagnostic pop
  if (n < 0) return std::string();
  return std::string(buffer, std::min<std::size_t>(std::size_t(n), sizeof buffer - 1));
}

}  // namespace

std::string capiMessage(int code, int codePage) {
  const bool english = codePage == 437;
  if (const Row* row = findRow(kCapiRows, code)) return format(english ? row->english : row->chinese, code);
  return format(english ? kCapiUndefinedEnglish : kCapiUndefinedChinese, code);
}

std::string taiMacMessage(int code, int codePage) {
  const bool english = codePage == 437;
  if (const Row* row = findRow(kTaiMacRows, code)) return format(english ? row->english : row->chinese, code);
  return format(english ? kTaiMacUndefinedEnglish : kTaiMacUndefinedChinese, code);
}

std::string certRegMessage(int code) {
  if (const FixedRow* row = findRow(kCertRegRows, code)) return format(row->text, code);
  return format(kCertRegUndefined, code);
}

}  // namespace strabel
