// Finding the module and the token, the card types, and the two-PIN login,
// against SoftHSM2 and the stand-in for a token maker's module.
#include <quennet/quennet.h>

#include <string>

#include "token_support.h"

namespace {

using ttest::Module;

struct ModuleCase {
  const char* what;
  Module first, second;
  int setTokenType;
  const char* setMessage;
  int cardStatus;
  int cardType;
  const char* pin2;  // second argument of Login; nullptr passes none
  int login;
  const char* loginMessage;
};

// The card type comes from the first module that shows a token; only card
// type 5 presents the second PIN.
const ModuleCase kModuleCases[] = {
    {"maker's module answers", Module::Tokensim, Module::Softhsm, 0, "no slot!!", 0, 5, ttest::kSoPin, 0, ""},
    {"second PIN missing on type 5", Module::Tokensim, Module::Softhsm, 0, "no slot!!", 0, 5, nullptr, 0x9021,
     "C9 PINCode Error!!"},
    {"first module shows no token", Module::TokensimEmpty, Module::Softhsm, 0, "no slot!!", 0, 2, "ignored", 0, ""},
    {"no module shows a token", Module::TokensimEmpty, Module::TokensimEmpty, 0, "no slot!!", 0x9000, 0,
     ttest::kSoPin, 0x9022, "no slot!!"},
    // The list is kept even when a module of it is missing.
    {"second module missing", Module::Tokensim, Module::Missing, 8001, "No KAVOPKCS11v5 Pkcs11 driver!", 0, 5,
     ttest::kSoPin, 0, ""},
};

TEST(TokenSession, ModulesDecideTheCardTypeAndTheLogin) {
  TTEST_RUN_CASES_IN_CHILDREN(kModuleCases);
  const auto& c = ttest::childCase(kModuleCases);
  JCICLib lib;
  // A successful SetTokenType leaves the previous message.
  EXPECT_EQ(lib.Logout(), 0x9022);
  EXPECT_EQ(lib.SetTokenType(2), c.setTokenType);
  EXPECT_STREQ(lib.get_GetErrorMsg(), c.setMessage);
  EXPECT_EQ(lib.GetCardStatus(), c.cardStatus);
  if (c.cardStatus) {
    EXPECT_STREQ(lib.get_GetErrorMsg(), "No Token!");
  }
  EXPECT_EQ(lib.GetCardType(), c.cardType);
  EXPECT_EQ(lib.Login(ttest::kUserPin, c.pin2), c.login);
  EXPECT_EQ(lib.get_GetErrorCode(), c.login);
  EXPECT_STREQ(lib.get_GetErrorMsg(), c.loginMessage);
}

TEST(TokenSession, WrongPinsAndLockedPins) {
  TTEST_RUN_IN_CHILD(Module::Tokensim, Module::Softhsm);
  JCICLib lib;
  ASSERT_EQ(lib.SetTokenType(2), 0);
  ASSERT_EQ(lib.GetCardStatus(), 0);

  struct Step {
    const char* pin1;
    const char* pin2;
    int code;
    const char* message;
  } steps[] = {
      {"9999", ttest::kSoPin, 0x9021, "C7 PINCode Error!!"},
      {ttest::kUserPin, "00000000", 0x9021, "C9 PINCode Error!!"},
      // The user is logged in on the token already; the next login accepts that.
      {ttest::kUserPin, ttest::kSoPin, 0, ""},
      // Three wrong second PINs lock it, even for the right one.
      {ttest::kUserPin, "1", 0x9021, "C9 PINCode Error!!"},
      {ttest::kUserPin, "2", 0x9021, "C9 PINCode Error!!"},
      {ttest::kUserPin, "3", 0x9021, "C9 PINCode Error!!"},
      {ttest::kUserPin, ttest::kSoPin, 0x9020, "C9 PINCode Lock!!"},
  };
  for (const auto& s : steps) {
    EXPECT_EQ(lib.Login(s.pin1, s.pin2), s.code) << s.pin1 << " " << s.pin2;
    EXPECT_STREQ(lib.get_GetErrorMsg(), s.message) << s.pin1 << " " << s.pin2;
  }

  // A failed login leaves the session for Logout, which unloads the module.
  EXPECT_EQ(lib.Logout(), 0);
  EXPECT_EQ(lib.SelectCert(1), 0x9022);
  EXPECT_STREQ(lib.get_GetErrorMsg(), "no slot!!");
  EXPECT_EQ(lib.Login(ttest::kUserPin, ttest::kSoPin), 0x9022);

  // The user PIN locks the same way, and the lock outlives the module.
  ASSERT_EQ(lib.GetCardStatus(), 0);
  for (const char* wrong : {"1111", "2222", "3333"}) {
    EXPECT_EQ(lib.Login(wrong, ttest::kSoPin), 0x9021);
    EXPECT_STREQ(lib.get_GetErrorMsg(), "C7 PINCode Error!!");
  }
  EXPECT_EQ(lib.Logout(), 0);
  ASSERT_EQ(lib.GetCardStatus(), 0);
  EXPECT_EQ(lib.Login(ttest::kUserPin, ttest::kSoPin), 0x9020);
  EXPECT_STREQ(lib.get_GetErrorMsg(), "C7 PINCode Lock!!");
}

// A PIN holding the separator of the old joined form reaches the token whole.
TEST(TokenSession, PinsReachTheTokenAsGiven) {
  if (!ttest::inChild()) {
    std::string why;
    VTEST_REQUIRE(ttest::TestToken::available(why), why);
    auto token = ttest::TestToken::make(Module::TokensimEmpty, Module::Softhsm);
    auto r = token.p11tool({"--change-pin", "--new-pin", "12|34"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = ttest::runChild(token.env());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return;
  }
  JCICLib lib;
  ASSERT_EQ(lib.SetTokenType(2), 0);
  ASSERT_EQ(lib.GetCardStatus(), 0);
  EXPECT_EQ(lib.Login("12", "34"), 0x9021);
  EXPECT_EQ(lib.Login("12|34", ""), 0);
  EXPECT_STREQ(lib.get_GetErrorMsg(), "");
  EXPECT_EQ(lib.Logout(), 0);
}

}  // namespace
