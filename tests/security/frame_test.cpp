// The security component's frame: version, status pair, messages, the
// language switch and the protected-mode guard.
#include <strabel/strabel.h>
#include <windows.h>

#include <memory>
#include <string>

#include "base/codepage_internal.h"
#include "frame/engines.h"
#include "frame/frame.h"
#include "test_support.h"

namespace {

struct Text {
  explicit Text(char* p) : p_(p) {}
  ~Text() { delete[] p_; }
  std::string utf8() const { return p_ ? velmora::platform::utf8FromAnsi(p_) : std::string("<null>"); }
  char* p_;
};

std::string text(char* p) { return Text(p).utf8(); }

class Frame : public testing::Test {
 protected:
  void SetUp() override {
    // The engines are process-wide: start every test from their initial language.
    strabel::capiCore().m_nCodePage = 437;
    strabel::taiMacCore().m_nCodePage = 950;
    strabel::setResourceModule(nullptr);
  }
};

TEST_F(Frame, VersionComesFromTheLibrarysRecord) {
  CCAPILib capi;
  CCAPICertRegLib certReg;
  CCAPITaiMAC10 mac;
  EXPECT_EQ(text(capi.GetVersion()), "4.0.1.4");
  EXPECT_EQ(capi.GetErrorCode(), 0);
  EXPECT_EQ(text(certReg.GetVersion()), "4.0.1.4");
  EXPECT_EQ(text(mac.GetVersion()), "4.0.1.4");
}

TEST_F(Frame, InstancesShareOneEngineAndStatusStaysUntilTheNextOperation) {
  CCAPILib a, b;
  EXPECT_EQ(a.SetCodePage(1252), 5006);
  EXPECT_EQ(b.GetErrorCode(), 5006);
  EXPECT_EQ(b.GetErrorCode(), 5006);  // reading changes nothing
  EXPECT_EQ(text(b.GetErrorMsg()), "Handle errors(5006)");
  EXPECT_EQ(b.SetCodePage(437), 0);  // a following success resets it
  EXPECT_EQ(a.GetErrorCode(), 0);
  EXPECT_EQ(text(a.GetErrorMsg()), "Success(0)");
}

TEST_F(Frame, CodePageSwitchesMessagesAndDialogTexts) {
  CCAPILib capi;
  EXPECT_EQ(capi.SetCodePage(437), 0);  // already current: nothing loaded
  EXPECT_EQ(strabel::resourceModule(), strabel::componentModule());
  EXPECT_EQ(capi.SetCodePage(950), 0);
  EXPECT_EQ(text(capi.GetErrorMsg()), "成功(0)");
  EXPECT_EQ(velmora::platform::utf8FromAnsi(strabel::loadString(20900)), "選擇讀卡機");
  EXPECT_EQ(capi.SetCodePage(437), 0);
  EXPECT_EQ(text(capi.GetErrorMsg()), "Success(0)");
  EXPECT_EQ(strabel::loadString(20900), "Select Reader");
  // A refused value leaves language and library as they were.
  EXPECT_EQ(capi.SetCodePage(1252), 5006);
  EXPECT_EQ(strabel::capiCore().m_nCodePage, 437);
  EXPECT_EQ(strabel::loadString(20900), "Select Reader");
}

TEST_F(Frame, SmartCardEngineTreatsEveryOtherPageAsChinese) {
  CCAPITaiMAC10 mac;
  EXPECT_EQ(mac.SetCodePage(950), 0);  // already current
  EXPECT_EQ(strabel::resourceModule(), strabel::componentModule());
  EXPECT_EQ(mac.SetCodePage(1252), 0);  // loads the Chinese library
  EXPECT_EQ(strabel::taiMacCore().m_nCodePage, 950);
  EXPECT_NE(strabel::resourceModule(), strabel::componentModule());
  EXPECT_EQ(text(mac.GetErrorMsg()), "成功(0)");
  EXPECT_EQ(mac.SetCodePage(437), 0);
  EXPECT_EQ(text(mac.GetErrorMsg()), "Success(0)");
}

TEST_F(Frame, PlatformErrorTextCarriesTheCodeInHex) {
  CCAPILib capi;
  EXPECT_EQ(text(capi.GetCapiErrorMsg()), "Success(0)");
  SetLastError(DWORD(NTE_BAD_KEYSET));
  ASSERT_EQ(capi.SetCodePage(1252), 5006);  // takes the thread's last error
  EXPECT_EQ(capi.GetCapiErrorCode(), int(NTE_BAD_KEYSET));
  EXPECT_EQ(text(capi.GetCapiErrorMsg()), "Keyset does not exist\r\n(0x80090016)");
  // The bridge passes on only the low 16 bits: 0x0016 = 22.
  EXPECT_EQ(short(capi.GetCapiErrorCode() & 0xFFFF), 22);

  SetLastError(0x2345678);  // a code without text: the parenthesised part alone
  ASSERT_EQ(capi.SetCodePage(1252), 5006);
  EXPECT_EQ(text(capi.GetCapiErrorMsg()), "(0x02345678)");

  // The registration engine has no language: always the Chinese success text.
  CCAPICertRegLib certReg;
  EXPECT_EQ(text(certReg.GetCapiErrorMsg()), "成功(0)");
}

TEST_F(Frame, CardOperationsDoNotStoreTheirStatus) {
  // No smart-card service answers here: the card connection fails.
  setenv("PCSCLITE_CSOCK_NAME", (vtest::profileDir() + "/no-pcscd.comm").c_str(), 1);
  CCAPITaiMAC10 mac;
  EXPECT_EQ(mac.ConnectCard(), 4098);
  EXPECT_EQ(mac.GetErrorCode(), 0);
}

TEST_F(Frame, PasswordRangeIsNormalised) {
  CCAPILib capi;
  auto& core = strabel::capiCore();
  struct Case {
    long min, max;
    int wantMin, wantMax;
  } cases[] = {{8, 4, 4, 8}, {0, 0, 0, 16}, {-3, -5, 0, 16}, {1, 12, 1, 12}};
  for (const auto& c : cases) {
    EXPECT_EQ(capi.PresetPasswdLengthRange(c.min, c.max), 0);
    EXPECT_EQ(core.m_nPasswdMinLen, c.wantMin) << c.min << "," << c.max;
    EXPECT_EQ(core.m_nPasswdMaxLen, c.wantMax) << c.min << "," << c.max;
    EXPECT_EQ(core.m_bPasswdRangePreset, 1);
  }
}

TEST_F(Frame, ResultBuffersBelongToTheCaller) {
  CCAPILib capi;
  char* first = capi.GetErrorMsg();
  ASSERT_NE(first, nullptr);
  const std::string before = first;
  capi.SetCodePage(1252);
  char* second = capi.GetErrorMsg();
  EXPECT_EQ(std::string(first), before);  // still valid and unchanged
  EXPECT_NE(std::string(second), before);
  delete[] first;
  delete[] second;
}

// The probe decides at library load, so the guard is seen in child processes.
TEST(ProtectedMode, GuardStopsGuardedOperationsOnly) {
  const std::string bin = std::string(VELMORA_BIN_DIR) + "/velmora-call";
  const std::string probeDir = std::string(VELMORA_BUILD_DIR) + "/fixtures/protected";
  auto run = [&](const std::string& libPath) {
    return vtest::runCommand({bin, "capi_SignPkcs7(\"x\", 0)", "capi_GetErrorCode()", "capi_GetErrorMsg()",
                              "capi_GetVersion()", "mac_ConnectCard()", "mac_GetErrorCode()", "certReg_RegSMCert(\"x\")",
                              "certReg_GetErrorCode()", "capi_PresetPasswdLengthRange(1, 2)"},
                             {"LD_LIBRARY_PATH=" + libPath,
                              // no smart-card service: the card connection fails
                              "PCSCLITE_CSOCK_NAME=" + vtest::profileDir() + "/no-pcscd.comm"});
  };
  // Card operations answer 1500 without storing it; the others store it.
  auto guarded = run(probeDir);
  ASSERT_EQ(guarded.status, 0) << guarded.err;
  EXPECT_EQ(guarded.out,
            "\"\"\n1500\n\"IE protected mode is activated. Please add trusted sites, and uncheck default protection "
            "mode(1500)\"\n\"4.0.1.4\"\n1500\n0\n1500\n1500\n0\n");
  auto normal = run("");
  ASSERT_EQ(normal.status, 0) << normal.err;
  EXPECT_EQ(normal.out,
            "\"\"\n5067\n\"Signed certificate has not chosen(5067)\"\n\"4.0.1.4\"\n4098\n0\n4097\n4097\n0\n");
}

}  // namespace
