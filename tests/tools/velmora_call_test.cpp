// velmora-call as a user runs it.
#include <string>

#include "test_support.h"

namespace {

const std::string kBin = std::string(VELMORA_BIN_DIR) + "/velmora-call";

vtest::CommandResult run(std::vector<std::string> calls, const std::string& input = {}) {
  calls.insert(calls.begin(), kBin);
  return vtest::runCommand(calls, {}, input);
}

TEST(VelmoraCall, PrintsEachResultAsJson) {
  auto r = run({"getVersion()", "GETVERSION()", "login(\"\",\"\")", "capi_GetVersion()", "get_GetVersion()",
                "capi_GetPortEx()", "setWindowSize(1.5, -2)"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "\"1.8.0.0\"\n\"1.8.0.0\"\n0\n\"4.0.1.4\"\n\"1,0,0,1\"\n821\nnull\n");
}

TEST(VelmoraCall, StateCarriesFromCallToCall) {
  auto r = run({"jcicLogin(\"1\",\"2\")", "get_GetErrorCode()", "get_GetErrorMsg()"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "-28638\n-28638\n\"no slot!!\"\n");
}

TEST(VelmoraCall, RefusedCallsEndWithStatusTwoAfterEarlierResults) {
  struct Case {
    std::string call;
    std::string error;
  } cases[] = {
      {"ChangePin(\"1\",\"2\")", "unknown name"},
      {"mac_ResetANPIN(\"1\",\"2\")", "wrong number of arguments"},
      {"ReadEF1001(\"three\")", "type mismatch"},
      {"getVersion(", "cannot read the call"},
  };
  for (const auto& c : cases) {
    auto r = run({"getVersion()", c.call, "getVersion()"});
    EXPECT_EQ(r.status, 2) << c.call;
    EXPECT_EQ(r.out, "\"1.8.0.0\"\n") << c.call;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << c.call << ": " << r.err;
  }
  auto accepted = run({"ReadEF1001(\"3\")"});
  EXPECT_EQ(accepted.status, 0) << accepted.err;
  EXPECT_EQ(accepted.out, "\"\"\n");
}

TEST(VelmoraCall, ArgumentsAsWrittenInScript) {
  // Escapes, hexadecimal and negative numbers, and a text holding a quote.
  // The registry helpers echo the number back as text.
  auto r = run({"capi_RegWriteHKCUInt(\"Software\\\\A\\\\N\", 0x3B5)", "capi_RegReadHKCU(\"Software\\\\A\\\\N\")",
                "capi_RegWriteHKCUInt(\"Software\\\\A\\\\N\", -12)", "capi_RegReadHKCU(\"Software\\\\A\\\\N\")",
                "capi_RegWriteHKCUStr(\"Software\\\\A\\\\S\", \"a\\\"b\\\\c\\t\")",
                "capi_RegReadHKCU(\"Software\\\\A\\\\S\")", "regCert(\"a\\\"b\\\\c\\n\")"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "0\n\"949\"\n0\n\"-12\"\n0\n\"a\\\"b\\\\c\\t\"\n\"{'errCode':'-1','errMsg':'憑證註冊失敗'}\"\n");
}

TEST(VelmoraCall, ReadsCallsFromStandardInput) {
  auto r = run({"-"}, "getVersion()\n\n  capi_GetErrorCode()  \r\nnoSuchMethod()\ngetVersion()\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "\"1.8.0.0\"\n0\n");
}

TEST(VelmoraCall, ListsTheMethodTable) {
  auto r = run({"--list"});
  EXPECT_EQ(r.status, 0);
  size_t lines = 0;
  for (char c : r.out) lines += c == '\n';
  EXPECT_EQ(lines, 138u);
  EXPECT_NE(r.out.find("1 browseWeb(string url) -> none\n"), std::string::npos);
  EXPECT_NE(r.out.find("60 capi_Hash(string strPlainText, int32 dwFlags) -> string\n"), std::string::npos);
  EXPECT_NE(r.out.find("138 setWindowSize(float32, float32) -> none\n"), std::string::npos);
}

}  // namespace
