// The token component's MAC card operations through the page's bridge
// (velmora-call), against the card emulator on a private pcscd.
#include <algorithm>

#include "card_rig.h"

namespace {

using ctest_card::CardRig;
using ctest_card::json;

json code(int value) { return json(int16_t(value)); }
const json kOk = code(0);
const json kPickFirst = {{"dialog", "reader-select"}, {"button", "ok"}, {"row", 0}};

json tokenCard(const char* atr) {
  json card = ctest_card::standardCard(atr);
  card["files"]["00C7"]["1"] = "31323334353620202020202020202020";  // "123456", space padded
  return card;
}

#define START_RIG(rig)                                           \
  std::string why_;                                              \
  VTEST_REQUIRE(CardRig::available(why_), why_);                 \
  CardRig rig;                                                   \
  ASSERT_TRUE(rig.start()) << vtest::readFile(rig.dir + "/pcscd.log")

class TokenCard : public testing::TestWithParam<const char*> {};

TEST_P(TokenCard, PinsRecordsAndAuthentication) {
  START_RIG(rig);
  ASSERT_TRUE(rig.insert(tokenCard(GetParam())));
  rig.script({kPickFirst});
  const std::string good = ctest_card::cryptogram("000102030405060708090A0B0C0D0E0F", {1, 2, 3, 4, 5, 6, 7, 8});
  auto r = ctest_card::callBridge(
      rig, {"MacGenRandom()", "MacVerifyC7Pin(\"12345\")", "MacVerifyC7Pin(\"123456\")", "MacConnectCard()",
            "MacGetCardStatus()", "MacVerifyC7Pin(\"123456\")", "MacVerifyC9Pin(\"654321\")",
            "MacVerifyC9Pin(\"111111\")", "MacChangeC9Pin(\"654321\", \"abcdefgh\")", "MacVerifyC9Pin(\"abcdefgh\")",
            "MacResetC7Pin(\"abc\")", "MacResetC7Pin(\"777777\")", "MacVerifyC7Pin(\"777777\")",
            "MacReadEF1001(1)", "MacReadEF1001(8)", "MacGenRandom()", "MacTermAuth(\"C1\", \"" + good + "\")",
            "MacTermAuth(\"C0\", \"AQIDBAUGBwgJCgsM\")", "MacTermAuth(\"C0\", \"" + good + "\")",
            "MacDisConnectCard()", "MacGenRandom()"});
  ASSERT_EQ(r.size(), 21u);
  EXPECT_EQ(r[0], "");            // not connected
  EXPECT_EQ(r[1], code(0x1011));  // before the connection is looked at
  EXPECT_EQ(r[2], code(0x1003));
  EXPECT_EQ(r[3], kOk);
  EXPECT_EQ(r[4], kOk);
  EXPECT_EQ(r[5], kOk);
  EXPECT_EQ(r[6], kOk);
  EXPECT_EQ(r[7], code(0x63C2));
  EXPECT_EQ(r[8], kOk);
  EXPECT_EQ(r[9], kOk);
  EXPECT_EQ(r[10], code(0x1011));
  EXPECT_EQ(r[11], kOk);
  EXPECT_EQ(r[12], kOk);
  EXPECT_EQ(r[13], "ABCDEFG  ");
  EXPECT_EQ(r[14], "");
  EXPECT_EQ(r[15], "AQIDBAUGBwg=");
  EXPECT_EQ(r[16], code(0x1012));
  EXPECT_EQ(r[17], code(0x1011));
  EXPECT_EQ(r[18], kOk);
  EXPECT_EQ(r[19], kOk);
  EXPECT_EQ(r[20], "");
  json s = rig.state();
  EXPECT_EQ(s["files"]["00C9"]["1"], "61626364656667682020202020202020");
  EXPECT_EQ(s["files"]["00C7"]["1"], "37373737373720202020202020202020");
  // The short new PIN was refused only after the retry counter was reset.
  auto cmds = rig.commands();
  EXPECT_EQ(std::count(cmds.begin(), cmds.end(), std::string("002C00000200C7")),
            2);
  // The token's dialog keeps the readers in PC/SC order under its own title.
  auto shown = rig.dialogs();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0]["resourceId"], 208);
  EXPECT_EQ(shown[0]["options"]["sorted"], "0");
}

TEST_P(TokenCard, RefusalsChainingAndCancel) {
  START_RIG(rig);
  json card = tokenCard(GetParam());
  card["chaining"] = "61";
  card["overrides"] = json::parse(R"([
    {"prefix": "00A402000200C9", "sw": "6620", "times": 1},
    {"prefix": "0020013810", "sw": "6608", "times": 1},
    {"prefix": "0082", "sw": "6600", "times": 1},
    {"prefix": "002C", "sw": "6600", "times": 1}
  ])");
  ASSERT_TRUE(rig.insert(card));
  rig.script({{{"dialog", "reader-select"}, {"button", "cancel"}}, kPickFirst});
  auto r = ctest_card::callBridge(
      rig, {"MacConnectCard()", "MacConnectCard()", "MacVerifyC9Pin(\"654321\")", "MacVerifyC9Pin(\"654321\")",
            "MacTermAuth(\"C4\", \"AQIDBAUGBwg=\")", "MacResetC7Pin(\"123123\")", "MacReadEF1001(3)",
            "MacGenRandom()"});
  EXPECT_EQ(r[0], code(0x1060));
  EXPECT_EQ(r[1], kOk);
  EXPECT_EQ(r[2], code(0x1041));
  EXPECT_EQ(r[3], code(0x1020));
  EXPECT_EQ(r[4], code(0x1032));
  EXPECT_EQ(r[5], kOk);  // 6600 on the reset counts as done
  EXPECT_EQ(r[6], "AB C ");
  EXPECT_EQ(r[7], "AQIDBAUGBwg=");
  auto cmds = rig.commands();
  EXPECT_NE(std::find(cmds.begin(), cmds.end(), "00C0000006"), cmds.end());
  EXPECT_EQ(rig.state()["files"]["00C7"]["1"], "31323331323320202020202020202020");
}

TEST_P(TokenCard, PulledCardReturnsAStatusAndReconnects) {
  START_RIG(rig);
  json card = tokenCard(GetParam());
  card["overrides"] = json::parse(R"([{"prefix": "0086", "sw": "pull", "times": 1}])");
  ASSERT_TRUE(rig.insert(card));
  rig.script({kPickFirst});
  auto r = ctest_card::callBridge(rig, {"MacConnectCard()", "MacGenRandom()", "MacVerifyC7Pin(\"123456\")",
                                        "MacDisConnectCard()"});
  EXPECT_EQ(r[0], kOk);
  EXPECT_EQ(r[1], "");
  EXPECT_NE(r[2], kOk);  // the service's code for a card that is gone
  EXPECT_EQ(r[3], kOk);
  rig.pull();
  ASSERT_TRUE(rig.insert(tokenCard(GetParam())));
  rig.script({kPickFirst});
  r = ctest_card::callBridge(rig, {"MacConnectCard()", "MacVerifyC7Pin(\"123456\")"});
  EXPECT_EQ(r[0], kOk);
  EXPECT_EQ(r[1], kOk);
}

INSTANTIATE_TEST_SUITE_P(Atr, TokenCard, testing::Values("t0", "t1"));

}  // namespace
