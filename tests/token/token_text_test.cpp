// Text forms of certificate fields and of token-layer errors.
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "../../token/cert_text.h"
#include "../../token/p11_layer.h"
#include "test_support.h"

namespace {

ASN1_TIME* rawTime(int type, const std::string& text) {
  ASN1_TIME* t = ASN1_STRING_type_new(type);
  ASN1_STRING_set(t, text.data(), int(text.size()));
  return t;
}

TEST(TokenText, ValidityTimesInUtcPlusEight) {
  struct Case {
    int type;
    const char* text;
    const char* expected;
  } cases[] = {
      {V_ASN1_UTCTIME, "190314103000Z", "20190314183000"},
      {V_ASN1_UTCTIME, "1903141030Z", "20190314183000"},        // no seconds
      {V_ASN1_UTCTIME, "190314103000+0800", "20190314183000"},  // the offset is not applied
      {V_ASN1_UTCTIME, "491231200000Z", "20500101040000"},      // 49 is 2049
      {V_ASN1_UTCTIME, "500101000000Z", "19500101080000"},      // 50 is 1950
      {V_ASN1_GENERALIZEDTIME, "20190314103000Z", "20190314183000"},
      {V_ASN1_GENERALIZEDTIME, "20190314103000.123Z", "20190314183000"},
      {V_ASN1_GENERALIZEDTIME, "201903141030Z", "20190314183000"},
      {V_ASN1_GENERALIZEDTIME, "20190314103000-0800-", "20190314183000"},
      // Unreadable times are the epoch.
      {V_ASN1_UTCTIME, "190314103000-0800", "19700101080000"},
      {V_ASN1_UTCTIME, "190314103000", "19700101080000"},
      {V_ASN1_UTCTIME, "19031410Z", "19700101080000"},
      {V_ASN1_UTCTIME, "1903141030000000Z0", "19700101080000"},  // 18 characters
      {V_ASN1_UTCTIME, "AB0314103000Z", "19700101080000"},
      {V_ASN1_GENERALIZEDTIME, "2019031410Z", "19700101080000"},
      {V_ASN1_GENERALIZEDTIME, "20191314103000Z", "19700101080000"},  // month 13
  };
  for (const auto& c : cases) {
    ASN1_TIME* t = rawTime(c.type, c.text);
    EXPECT_EQ(quennet::certTimeText(t), c.expected) << c.text;
    ASN1_TIME_free(t);
  }
  ASN1_TIME* t = rawTime(V_ASN1_UTCTIME, "700101000001Z");
  EXPECT_EQ(quennet::certTime(t), 1);
  ASN1_TIME_free(t);
}

TEST(TokenText, SerialNumbers) {
  struct Case {
    std::vector<unsigned char> bytes;
    bool signByte;
    const char* expected;
  } cases[] = {
      {{0x8A, 0x01}, true, "008A01"},
      {{0x8A, 0x01}, false, "8A01"},
      {{0x12, 0x34}, true, "1234"},
      {{0x7F, 0xFF, 0x0A}, true, "7FFF0A"},
  };
  for (const auto& c : cases) {
    ASN1_INTEGER* serial = ASN1_INTEGER_new();
    ASN1_STRING_set(serial, c.bytes.data(), int(c.bytes.size()));
    EXPECT_EQ(quennet::serialText(serial, c.signByte), c.expected);
    ASN1_INTEGER_free(serial);
  }
}

TEST(TokenText, OneLineNames) {
  X509_NAME* name = X509_NAME_new();
  X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("TW"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Example"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("測試"), -1, -1, 0);
  EXPECT_EQ(quennet::oneLineName(name), "/C=TW/O=Example/CN=測試");

  // An unknown attribute type by its dotted identifier; a BMPString as UTF-8;
  // other strings as their bytes.
  ASN1_OBJECT* oid = OBJ_txt2obj("1.2.3.4", 1);
  X509_NAME_add_entry_by_OBJ(name, oid, V_ASN1_UTF8STRING, reinterpret_cast<const unsigned char*>("x"), -1, -1, 0);
  ASN1_OBJECT_free(oid);
  const unsigned char bmp[] = {0x00, 'J', 0x6E, 0x2C};
  X509_NAME_add_entry_by_txt(name, "L", V_ASN1_BMPSTRING, bmp, sizeof bmp, -1, 0);
  const unsigned char t61[] = {'a', 0xE9, 'b'};
  X509_NAME_add_entry_by_txt(name, "ST", V_ASN1_T61STRING, t61, sizeof t61, -1, 0);
  EXPECT_EQ(quennet::oneLineName(name), "/C=TW/O=Example/CN=測試/1.2.3.4=x/L=J\u6E2C/ST=a\xE9" "b");
  X509_NAME_free(name);

  // The text stops before the entry that would pass 4095 characters.
  X509_NAME* longName = X509_NAME_new();
  std::string value(60, 'v');
  for (int i = 0; i < 80; ++i)
    X509_NAME_add_entry_by_txt(longName, "OU", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(value.c_str()),
                               -1, -1, 0);
  std::string text = quennet::oneLineName(longName);
  EXPECT_EQ(text.size(), 64u * 63u);  // "/OU=" + 60 characters, 63 entries fit
  X509_NAME_free(longName);
  EXPECT_EQ(quennet::oneLineName(nullptr), "");
}

TEST(TokenText, Base64Rules) {
  std::vector<unsigned char> out;
  EXPECT_TRUE(quennet::base64Decode("YW\r\nJj\nZA==", out));
  EXPECT_EQ(std::string(out.begin(), out.end()), "abcd");
  EXPECT_EQ(quennet::base64Encode(out), "YWJjZA==");
  EXPECT_TRUE(quennet::base64Decode("", out));
  EXPECT_TRUE(out.empty());
  for (const char* bad : {"YW\rJj", "YWJ*", "Y===", "YQ==YQ==", "YWJj\x80", "-----BEGIN"})
    EXPECT_FALSE(quennet::base64Decode(bad, out)) << bad;
  std::vector<unsigned char> all(256);
  for (int i = 0; i < 256; ++i) all[size_t(i)] = static_cast<unsigned char>(i);
  ASSERT_TRUE(quennet::base64Decode(quennet::base64Encode(all), out));
  EXPECT_EQ(out, all);
}

TEST(TokenText, LibraryErrorText) {
  using quennet::errorText;
  using quennet::packError;
  EXPECT_EQ(errorText(packError(128, 5, 0xA0)), "error:800050A0:PKCS11 library:PKCS11_login:PIN incorrect");
  EXPECT_EQ(errorText(packError(128, 1, 1025)),
            "error:80001401:PKCS11 library:PKCS11_CTX_load:Unable to load PKCS#11 module");
  EXPECT_EQ(errorText(packError(128, 50, 1031)), "error:80032407:PKCS11 library:func(50):no token available");
  EXPECT_EQ(errorText(packError(7, 99, 0x999)), "error:07063999:lib(7):func(99):reason(2457)");
}

}  // namespace
