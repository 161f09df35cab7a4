// The security component's TaiMAC10 operations through the page's bridge
// (velmora-call), against the card emulator on a private pcscd, with a T=0
// and a T=1 answer-to-reset.
#include <strabel/strabel.h>
#include <windows.h>

#include <algorithm>

#include "card_rig.h"
#include "ui/dialogs.h"

namespace {

using ctest_card::CardRig;
using ctest_card::json;

// int16, as the page receives an int.
json code(int value) { return json(int16_t(value)); }
const json kOk = code(0);
const json kDisconnected = code(36864);
const json kPickFirst = {{"dialog", "reader-select"}, {"button", "ok"}, {"row", 0}};

std::string pinRecord(const std::string& pin, unsigned char pad) {
  std::string hex;
  char b[3];
  for (size_t i = 0; i < 16; ++i) {
    snprintf(b, sizeof b, "%02X", i < pin.size() ? (unsigned char)pin[i] : pad);
    hex += b;
  }
  return hex;
}

#define START_RIG(rig)                                           \
  std::string why_;                                              \
  VTEST_REQUIRE(CardRig::available(why_), why_);                 \
  CardRig rig;                                                   \
  ASSERT_TRUE(rig.start()) << vtest::readFile(rig.dir + "/pcscd.log")

class SecurityCard : public testing::TestWithParam<const char*> {};

TEST_P(SecurityCard, ReadsTheCardAfterTheReaderChoice) {
  START_RIG(rig);
  ASSERT_TRUE(rig.insert(ctest_card::standardCard(GetParam())));
  rig.script({kPickFirst});
  auto r = ctest_card::callBridge(rig, {"mac_ConnectCard()", "mac_GetCardStatus()", "mac_ReadEF1001(1)",
                                        "mac_ReadEF1001(3)", "mac_ReadEF1001(8)", "mac_GenRandom()",
                                        "mac_Read8000(1, \"123456\")", "mac_ReadBinary()", "mac_DisConnectCard()",
                                        "mac_GenRandom()"});
  ASSERT_EQ(r.size(), 10u);
  EXPECT_EQ(r[0], kOk);
  EXPECT_EQ(r[1], kOk);
  EXPECT_EQ(r[2], "ABCDEFG  ");
  EXPECT_EQ(r[3], "AB C ");
  EXPECT_EQ(r[4], "");
  EXPECT_EQ(r[5], "AQIDBAUGBwg=");  // the card's fixed challenge 01..08
  EXPECT_EQ(r[6], "Holder");
  EXPECT_EQ(r[7], "ESIzRFVmd4g=");  // chip id 11..88
  EXPECT_EQ(r[8], kDisconnected);
  EXPECT_EQ(r[9], "");
  auto shown = rig.dialogs();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0]["kind"], "reader-select");
  EXPECT_EQ(shown[0]["title"], "Select Reader");
  EXPECT_EQ(shown[0]["rows"], json::parse(R"([["Velmora Test Reader 00 00"],["Velmora Test Reader 00 01"]])"));
  // The chip-data application follows the answer-to-reset.
  auto cmds = rig.commands();
  const std::string chipAid = std::string(GetParam()) == "t0" ? "A000000018434D" : "A0000000030000";
  EXPECT_NE(std::find_if(cmds.begin(), cmds.end(),
                         [&](const std::string& c) { return c.rfind("00A4040007" + chipAid, 0) == 0; }),
            cmds.end());
  // T=1 sends Le with every command, T=0 only on a command without data.
  for (const std::string& c : cmds) {
    if (c.rfind("00A4020002", 0) == 0) {
      EXPECT_EQ(c.size(), std::string(GetParam()) == "t0" ? 14u : 16u) << c;
    }
  }
}

TEST_P(SecurityCard, CancelAndNoReader) {
  START_RIG(rig);
  ASSERT_TRUE(rig.insert(ctest_card::standardCard(GetParam())));
  rig.script({{{"dialog", "reader-select"}, {"button", "cancel"}}, kPickFirst});
  auto r = ctest_card::callBridge(rig, {"mac_ConnectCard()", "mac_VerifyANPin(\"123456\")", "mac_ConnectCard()",
                                        "mac_Check()", "mac_GenRandom()"});
  EXPECT_EQ(r[0], code(4192));
  EXPECT_EQ(r[1], code(4099));
  EXPECT_EQ(r[2], kOk);  // asked again after the cancel
  EXPECT_EQ(r[3], kOk);  // Check on a connected card ...
  EXPECT_EQ(r[4], "");   // ... leaves it disconnected
  EXPECT_EQ(rig.dialogs().size(), 2u);
}

TEST_P(SecurityCard, WrongPinCountsDownAndLocks) {
  START_RIG(rig);
  ASSERT_TRUE(rig.insert(ctest_card::standardCard(GetParam())));
  rig.script({kPickFirst});
  auto r = ctest_card::callBridge(
      rig, {"mac_VerifyANPin(\"12345\")", "mac_ConnectCard()", "mac_VerifyANPin(\"111111\")",
            "mac_VerifyANPin(\"111111\")", "mac_VerifyANPin(\"111111\")", "mac_VerifyANPin(\"123456\")",
            "mac_UnlockANPin()", "mac_VerifyANPin(\"123456\")", "mac_VerrifyPIN(\"12345\")", "mac_VerrifyPIN(\"1234\")",
            "mac_VerrifyPIN(\"4321\")"});
  EXPECT_EQ(r[0], code(4113));  // before any card access
  EXPECT_EQ(r[1], kOk);
  EXPECT_EQ(r[2], code(0x63C2));
  EXPECT_EQ(r[3], code(0x63C1));
  EXPECT_EQ(r[4], code(0x6983));
  EXPECT_EQ(r[5], code(0x6983));  // locked: the right PIN does not help
  EXPECT_EQ(r[6], kOk);
  EXPECT_EQ(r[7], kOk);
  EXPECT_EQ(r[8], code(4113));
  EXPECT_EQ(r[9], kOk);
  EXPECT_EQ(r[10], code(0x63C2));
  // Each call cost the card exactly one try: no retry by the component.
  auto cmds = rig.commands();
  EXPECT_EQ(std::count_if(cmds.begin(), cmds.end(), [](const std::string& c) { return c.rfind("0020012810", 0) == 0; }),
            5);
  EXPECT_EQ(rig.state()["pins"]["00C7"]["tries"], 3);
}

TEST_P(SecurityCard, WritesReachTheCard) {
  START_RIG(rig);
  ASSERT_TRUE(rig.insert(ctest_card::standardCard(GetParam())));
  rig.script({kPickFirst, kPickFirst});
  auto r = ctest_card::callBridge(
      rig, {"mac_ConnectCard()", "mac_ChangeANPin(\"123456\", \"654321\")", "mac_VerifyANPin(\"654321\")",
            "mac_ResetPIN(\"9876\")", "mac_VerrifyPIN(\"9876\")", "mac_ResetPIN(\"12345678901234567\")",
            "mac_WriteEF8000(\"Card Holder\")", "mac_Read8000(1, \"654321\")", "mac_WriteEF1001(1, \"123456789\")",
            "mac_WriteEF1001(3, \"XY\")", "mac_ReadEF1001(3)", "mac_ResetANPIN(\"abcdef\")",
            "mac_WriteEF1001(2, \"ABCDEFGHIJKLMNOP\")", "mac_GenRandom()"});
  EXPECT_EQ(r[0], kOk);
  EXPECT_EQ(r[1], kOk);
  EXPECT_EQ(r[2], kOk);
  EXPECT_EQ(r[3], kOk);
  EXPECT_EQ(r[4], kOk);
  EXPECT_EQ(r[5], code(4113));
  EXPECT_EQ(r[6], kOk);
  EXPECT_EQ(r[7], "rd Holder");  // the record's text starts after its first two bytes
  EXPECT_EQ(r[8], code(4113));
  EXPECT_EQ(r[9], kOk);
  EXPECT_EQ(r[10], std::string(15, ' '));  // "XY" is the record's header
  EXPECT_EQ(r[11], kOk);
  EXPECT_EQ(r[12], kOk);
  EXPECT_EQ(r[13], "");  // record 2 written: the card was disconnected
  json s = rig.state();
  EXPECT_EQ(s["files"]["00C7"]["1"], pinRecord("abcdef", 0xFF));
  EXPECT_EQ(s["files"]["00C2"]["1"], pinRecord("9876", 0xFF));
  EXPECT_EQ(s["files"]["8000"]["1"], "4361726420486F6C646572");
  EXPECT_EQ(s["files"]["1001"]["3"], "58590000000000000000000000000000");
  // Record 2: its 16 bytes after the first two, then the first 14 characters.
  EXPECT_EQ(s["files"]["1001"]["2"], "000102030405060708090A0B0C0D0E0F" "4142434445464748494A4B4C4D4E");
}

TEST_P(SecurityCard, TerminalAuthenticationAndMoveCert) {
  START_RIG(rig);
  ASSERT_TRUE(rig.insert(ctest_card::standardCard(GetParam())));
  rig.script({kPickFirst});
  const std::string good = ctest_card::cryptogram("000102030405060708090A0B0C0D0E0F", {1, 2, 3, 4, 5, 6, 7, 8});
  ASSERT_EQ(good.size(), 12u);
  auto r = ctest_card::callBridge(
      rig, {"mac_ConnectCard()", "mac_GenRandom()", "mac_TermAuth(\"c0\", \"" + good + "\")",
            "mac_TermAuth(\"C0\", \"AAAAAAAAAAAA\")", "mac_TermAuth(\"C0\", \"" + good + "\")", "mac_GenRandom()",
            "mac_TermAuth(\"C0\", \"AAAAAAAAAAA=\")", "mac_UnlockKey(\"C0\")", "mac_MoveCert(\"A01\", \"B002\")",
            "mac_MoveCert(\"A001\", \"B002\")", "mac_MoveCert(\"B002\", \"B0G2\")", "mac_GenRandom()"});
  EXPECT_EQ(r[0], kOk);
  EXPECT_EQ(r[1], "AQIDBAUGBwg=");
  EXPECT_EQ(r[2], code(4114));
  EXPECT_EQ(r[3], code(4113));  // 12 characters, 9 bytes
  EXPECT_EQ(r[4], kOk);
  EXPECT_EQ(r[6], code(0x63C2));
  EXPECT_EQ(r[7], kOk);
  EXPECT_EQ(r[8], code(4105));
  EXPECT_EQ(r[9], kOk);
  EXPECT_EQ(r[10], kDisconnected);  // not hexadecimal: the card is let go
  EXPECT_EQ(r[11], "");
  json s = rig.state();
  EXPECT_EQ(s["binary"]["B002"], "3082AABB");
  EXPECT_FALSE(s["binary"].contains("A001"));
  EXPECT_EQ(s["keys"]["08"]["tries"], 3);
}

TEST_P(SecurityCard, CardRefusalsMapToTheirCodes) {
  START_RIG(rig);
  json card = ctest_card::standardCard(GetParam());
  card["overrides"] = json::parse(R"([
    {"prefix": "00A402000200C7", "sw": "6620", "times": 1},
    {"prefix": "0020012810", "sw": "6608", "times": 1},
    {"prefix": "0020012810", "sw": "6620", "times": 1},
    {"prefix": "0082", "sw": "6600", "times": 1},
    {"prefix": "0082", "sw": "6608", "times": 1},
    {"prefix": "0082", "sw": "6620", "times": 1},
    {"prefix": "002C", "sw": "6600", "times": 1}
  ])");
  ASSERT_TRUE(rig.insert(card));
  rig.script({kPickFirst});
  const std::string any = "AQIDBAUGBwg=";
  auto r = ctest_card::callBridge(
      rig, {"mac_ConnectCard()", "mac_VerifyANPin(\"123456\")", "mac_VerifyANPin(\"123456\")",
            "mac_VerifyANPin(\"123456\")", "mac_TermAuth(\"C0\", \"" + any + "\")", "mac_TermAuth(\"C3\", \"" + any + "\")",
            "mac_TermAuth(\"C4\", \"" + any + "\")", "mac_UnlockANPin()"});
  EXPECT_EQ(r[0], kOk);
  EXPECT_EQ(r[1], code(4160));
  EXPECT_EQ(r[2], code(4128));
  EXPECT_EQ(r[3], code(4129));
  EXPECT_EQ(r[4], code(4146));
  EXPECT_EQ(r[5], code(4144));
  EXPECT_EQ(r[6], code(4145));
  EXPECT_EQ(r[7], code(4176));
}

TEST_P(SecurityCard, ChainedAnswersArriveWhole) {
  for (const char* mode : {"61", "6C"}) {
    SCOPED_TRACE(mode);
    START_RIG(rig);
    json card = ctest_card::standardCard(GetParam());
    card["chaining"] = mode;
    ASSERT_TRUE(rig.insert(card));
    rig.script({kPickFirst});
    auto r = ctest_card::callBridge(rig, {"mac_ConnectCard()", "mac_ReadEF1001(3)", "mac_GenRandom()",
                                          "mac_Read8000(1, \"123456\")"});
    EXPECT_EQ(r[0], kOk);
    EXPECT_EQ(r[1], "AB C ");
    EXPECT_EQ(r[2], "AQIDBAUGBwg=");
    EXPECT_EQ(r[3], "Holder");
    auto cmds = rig.commands();
    // Record 3 holds 6 bytes: GET RESPONSE for 06, or the read again with Le 06.
    const std::string follow = std::string(mode) == "61" ? "00C0000006" : "00B2030406";
    EXPECT_NE(std::find(cmds.begin(), cmds.end(), follow), cmds.end());
  }
}

TEST_P(SecurityCard, PulledCardLeavesTheComponentUsable) {
  START_RIG(rig);
  rig.useHere();
  json card = ctest_card::standardCard(GetParam());
  card["overrides"] = json::parse(R"([{"prefix": "00B2", "sw": "pull", "times": 1}])");
  ASSERT_TRUE(rig.insert(card));
  rig.script({kPickFirst, kPickFirst});
  velmora::ui::installDialogService(
      std::make_shared<velmora::ui::ScriptedDialogService>(rig.dir + "/dialogs.script", rig.dir + "/dialogs.log"));
  CCAPITaiMAC10 mac;
  ASSERT_EQ(mac.ConnectCard(), 0);
  char* text = mac.ReadEF1001(3);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "");
  delete[] text;
  rig.pull();
  ASSERT_TRUE(rig.insert(ctest_card::standardCard(GetParam())));
  mac.DisConnectCard();
  ASSERT_EQ(mac.ConnectCard(), 0);
  text = mac.ReadEF1001(3);
  EXPECT_STREQ(text, "AB C ");
  delete[] text;
  EXPECT_EQ(mac.DisConnectCard(), 36864);
}

INSTANTIATE_TEST_SUITE_P(Atr, SecurityCard, testing::Values("t0", "t1"));

TEST(SecurityCardReaders, NoReaderAtAll) {
  std::string why;
  VTEST_REQUIRE(CardRig::available(why), why);
  // A daemon without readers of its own: in a child process.
  if (!getenv("CARD_TEST_CHILD")) {
    auto child = vtest::runCommand({"/proc/self/exe", "--gtest_filter=SecurityCardReaders.NoReaderAtAll"},
                                   {"CARD_TEST_CHILD=1"});
    EXPECT_EQ(child.status, 0) << child.out << child.err;
    return;
  }
  CardRig rig;
  ASSERT_TRUE(rig.start(false)) << vtest::readFile(rig.dir + "/pcscd.log");
  auto r = ctest_card::callBridge(rig, {"mac_ConnectCard()", "mac_Check()", "MacConnectCard()"});
  EXPECT_EQ(r[0], code(4098));
  EXPECT_EQ(r[1], code(4118));
  EXPECT_EQ(r[2], code(0x1002));
}

TEST(SecurityCardHandOver, MacValuesInTheRegistry) {
  std::string why;
  VTEST_REQUIRE(CardRig::available(why), why);
  CardRig rig;  // only for its client environment; no card needed
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\IISI\\TAIMAC10", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  const BYTE pk[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_EQ(RegSetValueExA(key, "PKMac", 0, REG_BINARY, pk, sizeof pk), ERROR_SUCCESS);
  RegCloseKey(key);
  auto r = ctest_card::callBridge(rig, {"mac_ReadPKMAC()", "mac_ReadPKMAC()", "mac_WriteCertMAC(\"AQIDBAUGBwgJ\")",
                                        "mac_WriteCertMAC(\"AQIDBAUGBw==\")", "mac_WriteCertMAC(\"AQIDBAUGBwg\")"});
  EXPECT_EQ(r[0], "AQIDBAUGBwg=");  // the first 8 bytes
  EXPECT_EQ(r[1], "");              // consumed
  EXPECT_EQ(r[2], code(0));
  EXPECT_EQ(r[3], code(0));
  EXPECT_EQ(r[4], code(4100));
  // The value the last successful write left: 7 bytes (two "=").
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\IISI\\TAIMAC10", 0, KEY_READ, &key), ERROR_SUCCESS);
  BYTE value[16] = {};
  DWORD type = 0, size = sizeof value;
  ASSERT_EQ(RegQueryValueExA(key, "CertMac", nullptr, &type, value, &size), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(type, DWORD(REG_BINARY));
  auto decoded = vtest::runCommand({"sh", "-c", "printf AQIDBAUGBw== | base64 -d | od -An -tx1 | tr -d ' \\n'"});
  char hex[40] = {};
  for (DWORD i = 0; i < size; ++i) snprintf(hex + 2 * i, 3, "%02x", value[i]);
  EXPECT_EQ(std::string(hex), decoded.out);
}

}  // namespace
