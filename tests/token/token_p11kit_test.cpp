// A token type's module found through p11-kit's module configuration: a
// module file in the user's p11-kit folder, named as the token type's
// module, with no link on the library search path.
#include <quennet/quennet.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "token_support.h"

namespace {

using ttest::Module;

struct ModuleFileCase {
  const char* what;
  const char* firstFile;   // text of KAVOPKCS114JCICv2.module, or null for no file
  const char* secondFile;  // KAVOPKCS11v5.module
  int setTokenType;
  const char* message;
  int cardType;
  Module first = Module::Missing, second = Module::Missing;  // nothing linked
};

// "@" stands for SoftHSM2's path.
const ModuleFileCase kCases[] = {
    {"both from module files", "module: @\n", "# comment\n  module:   @  \n", 0, "", 5},
    {"second from its file", nullptr, "module: @\n", 8001, "No KAVOPKCS114JCICv2 Pkcs11 driver!", 0},
    {"file without a module line", "critical: yes\n", "module: @\n", 8001, "No KAVOPKCS114JCICv2 Pkcs11 driver!", 0},
    {"file naming a missing library", "module: /nonexistent/libnone.so\n", "module: @\n", 8001,
     "No KAVOPKCS114JCICv2 Pkcs11 driver!", 0},
};

std::string withModule(std::string text) {
  for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, ttest::softhsmModule());
  return text;
}

TEST(TokenP11Kit, ModuleFilesAloneLoadTheTokenTypesModules) {
  TTEST_RUN_CASES_IN_CHILDREN(kCases);
  const auto& c = ttest::childCase(kCases);
  // Nothing on the search path: the links of the test token are missing.
  ASSERT_FALSE(std::filesystem::exists(ttest::TestToken::fromEnv().modules + "/KAVOPKCS114JCICv2.so"));
  const std::string folder = std::string(getenv("XDG_CONFIG_HOME")) + "/pkcs11/modules";
  std::filesystem::remove_all(folder);  // the cases share the parent's profile
  std::filesystem::create_directories(folder);
  if (c.firstFile) vtest::writeFile(folder + "/KAVOPKCS114JCICv2.module", withModule(c.firstFile));
  if (c.secondFile) vtest::writeFile(folder + "/KAVOPKCS11v5.module", withModule(c.secondFile));

  JCICLib lib;
  EXPECT_EQ(lib.SetTokenType(2), c.setTokenType) << c.what;
  if (c.setTokenType) {
    EXPECT_STREQ(lib.get_GetErrorMsg(), c.message) << c.what;
    return;
  }
  ASSERT_EQ(lib.GetCardStatus(), 0) << c.what << " " << lib.get_GetErrorMsg();
  // The first module showed the token: SoftHSM2's, under the first name.
  EXPECT_EQ(lib.GetCardType(), c.cardType);
}

}  // namespace
