// The token component's frame: shared state, result ownership, the two
// surfaces, and the failures of a state without a slot.
#include <quennet/quennet.h>
#include <windows.h>

#include <string>

#include "test_support.h"

namespace {

std::string take(char* owned) {
  std::string s = owned ? owned : "<null>";
  delete[] owned;
  return s;
}

std::u16string takeBstr(BSTR b) {
  std::u16string s(b ? b : u"", SysStringLen(b));
  SysFreeString(b);
  return s;
}

TEST(TokenFrame, VersionsOfTheTwoSurfaces) {
  JCICLib lib;
  EXPECT_STREQ(lib.get_GetVersion(), "1,0,0,1");
  EXPECT_EQ(takeBstr(get_GetVersion()), u"1.6.0.0");
}

TEST(TokenFrame, WithoutASlotEveryTokenOperationSaysWhy) {
  JCICLib lib;
  // Before any GetCardStatus the cryptographic library was never set up.
  EXPECT_EQ(lib.SelectCert(1), 0x9022);
  EXPECT_STREQ(lib.get_GetErrorMsg(), "No init crypto!!");
  EXPECT_EQ(lib.SignPKCS7("abc"), 0x9022);
  EXPECT_STREQ(lib.get_GetErrorMsg(), "No init crypto!!");

  struct Case {
    const char* what;
    int (*op)(JCICLib&);
    int code;
    const char* message;
  } cases[] = {
      {"Login", [](JCICLib& l) { return l.Login("1", "2"); }, 0x9022, "no slot!!"},
      {"Logout", [](JCICLib& l) { return l.Logout(); }, 0x9022, "no slot!!"},
      {"MakePKCS10", [](JCICLib& l) { return l.MakePKCS10(1, 2048, "CN"); }, 0x9030, "No Slot Error!!"},
      {"MakePKCS10ECC", [](JCICLib& l) { return l.MakePKCS10ECC(1, 256, "CN"); }, 0x9022, "No Slot Error!!"},
      {"ImportCert", [](JCICLib& l) { return l.ImportCert("AAAA", ""); }, 0x9031, "ImportCert no slot Error!!"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.op(lib), c.code) << c.what;
    EXPECT_EQ(lib.get_GetErrorCode(), c.code) << c.what;
    EXPECT_STREQ(lib.get_GetErrorMsg(), c.message) << c.what;
  }
}

TEST(TokenFrame, ModuleListAndCardStatus) {
  JCICLib a, b;
  // No token maker's module is on the search path here.
  EXPECT_EQ(a.SetTokenType(2), 8001);
  EXPECT_STREQ(b.get_GetErrorMsg(), "No KAVOPKCS114JCICv2 Pkcs11 driver!");
  EXPECT_EQ(b.get_GetErrorCode(), 8001);

  EXPECT_EQ(b.GetCardStatus(), 0x9000);
  EXPECT_STREQ(a.get_GetErrorMsg(), "No Token!");
  EXPECT_EQ(a.get_GetErrorCode(), 8001);  // GetCardStatus leaves the code alone
  EXPECT_EQ(a.GetCardType(), 0);
  // Now set up, but still without a slot.
  EXPECT_EQ(a.SelectCert(1), 0x9022);
  EXPECT_STREQ(a.get_GetErrorMsg(), "no slot!!");
  EXPECT_EQ(a.SignPKCS7(nullptr), 0x9024);
  EXPECT_STREQ(a.get_GetErrorMsg(), "no signdata!!");
  EXPECT_EQ(a.SignPKCS7(""), 0x9024);
  EXPECT_STREQ(a.get_GetErrorMsg(), "no signdataSize!!");
  EXPECT_EQ(a.SignPKCS7("abc"), 0x9022);
  EXPECT_STREQ(a.get_GetErrorMsg(), "no slot!!");
}

TEST(TokenFrame, Pkcs12ModeHasNoFileToOpen) {
  JCICLib lib;
  lib.SetTokenType(1);
  EXPECT_EQ(lib.GetCardStatus(), 2);
  EXPECT_EQ(lib.Login("1234", nullptr), 0x8064);
  EXPECT_STREQ(lib.get_GetErrorMsg(), "PKCS12 File Path Error!");
  EXPECT_EQ(lib.SignPKCS7("abc"), 0x806D);
  EXPECT_STREQ(lib.get_GetErrorMsg(), "no pkcs12Cert_NoCert!!");
  EXPECT_EQ(lib.Logout(), 0);
  EXPECT_STREQ(lib.get_GetErrorMsg(), "");
  lib.SetTokenType(2);
}

TEST(TokenFrame, TextResultsAndTheirOwners) {
  JCICLib lib;
  EXPECT_STREQ(lib.get_GetPKCS7Data(), "");  // before any signing
  EXPECT_STREQ(lib.GetBase64CSR(), "");
  EXPECT_EQ(take(lib.get_GetSelectedCertSubject()), "");
  EXPECT_EQ(take(lib.get_GetCertFinger()), "");
  EXPECT_EQ(take(lib.MacGenRandom()), "");
  EXPECT_EQ(takeBstr(::get_GetPKCS7Data()), u"");
  EXPECT_EQ(takeBstr(::GetBase64CSR()), u"");
}

TEST(TokenFrame, WideSurfaceConvertsItsArguments) {
  BSTR pin = SysAllocString(u"1234");
  EXPECT_EQ(::Login(pin, nullptr), 0x9022);
  SysFreeString(pin);
  EXPECT_EQ(takeBstr(::get_GetErrorMsg()), u"no slot!!");
  EXPECT_EQ(::get_GetErrorCode(), 0x9022);
  BSTR cn = SysAllocString(u"測試");
  EXPECT_EQ(::MakePKCS10(1, 2048, cn), 0x9030);
  EXPECT_EQ(MakePKCS10ECC_flat(1, 256, cn), 0x9022);
  SysFreeString(cn);
  // No smart-card service here: the connection fails.
  setenv("PCSCLITE_CSOCK_NAME", (vtest::profileDir() + "/no-pcscd.comm").c_str(), 1);
  EXPECT_EQ(::MacConnectCard(), 0x1002);
}

}  // namespace
