// p11-kit module configuration: the `module:` line, the folders in their
// order, relative module names, and what the loader does with a library
// that is no PKCS#11 module.
#include <cstdlib>
#include <filesystem>
#include <string>

#include "pkcs11/module.h"
#include "test_support.h"

namespace {

TEST(Pkcs11Config, ModuleLineOfAFile) {
  struct {
    const char* text;
    const char* module;
  } cases[] = {
      {"module: libfoo.so\n", "libfoo.so"},
      {"# a comment\n\n  module :  /opt/x/libfoo.so  \r\npriority: 1\n", "/opt/x/libfoo.so"},
      {"#module: commented.so\n", ""},
      {"modules: other.so\nmodule-x: no.so\n", ""},
      {"critical: yes\n", ""},
      {"module: first.so\nmodule: second.so\n", "second.so"},  // the last one counts
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(velmora::pkcs11::parseModuleLine(c.text), c.module) << c.text;
}

TEST(Pkcs11Config, UserFolderFirstThenSystemFoldersRelativeNamesInTheModuleFolder) {
  const std::string user = std::string(getenv("XDG_CONFIG_HOME")) + "/pkcs11/modules";
  const std::string sys1 = vtest::makeTempDir("etc"), sys2 = vtest::makeTempDir("share");
  std::filesystem::create_directories(user);
  setenv("VELMORA_P11KIT_SYSTEM_DIRS", (sys1 + ":" + sys2).c_str(), 1);
  vtest::writeFile(user + "/card.module", "module: /opt/user/libcard.so\n");
  vtest::writeFile(sys1 + "/card.module", "module: /opt/system/libcard.so\n");
  vtest::writeFile(sys1 + "/hidden.module", "critical: yes\n");  // hides the later one, loads nothing
  vtest::writeFile(sys2 + "/hidden.module", "module: /opt/share/libhidden.so\n");
  vtest::writeFile(sys2 + "/relative.module", "module: librel.so\n");
  vtest::writeFile(sys2 + "/notes.txt", "module: /opt/ignored.so\n");

  auto modules = velmora::pkcs11::configuredModules();
  ASSERT_EQ(modules.size(), 2u);
  EXPECT_EQ(modules[0].name, "card");
  EXPECT_EQ(modules[0].path, "/opt/user/libcard.so");
  EXPECT_EQ(modules[0].file, user + "/card.module");
  EXPECT_EQ(modules[1].name, "relative");
  EXPECT_EQ(modules[1].path.substr(modules[1].path.rfind('/')), "/librel.so");
  EXPECT_EQ(modules[1].path[0], '/');
  EXPECT_EQ(velmora::pkcs11::configuredModulePath("hidden"), "");
  // A configured library that is not there resolves to nothing.
  EXPECT_EQ(velmora::pkcs11::resolveModule("card"), "");
  setenv("VELMORA_P11KIT_SYSTEM_DIRS", "", 1);
}

TEST(Pkcs11Config, LoaderRefusesLibrariesThatAreNoModule) {
  CK_RV rv = CKR_OK;
  EXPECT_EQ(velmora::pkcs11::Module::open("", rv), nullptr);
  EXPECT_EQ(rv, velmora::pkcs11::kNotLoadable);
  EXPECT_EQ(velmora::pkcs11::Module::open("/nonexistent/libnone.so", rv), nullptr);
  EXPECT_EQ(rv, velmora::pkcs11::kNotLoadable);
  // A real library without C_GetFunctionList.
  EXPECT_EQ(velmora::pkcs11::Module::open("libz.so.1", rv), nullptr);
  EXPECT_EQ(rv, velmora::pkcs11::kNotLoadable);
}

}  // namespace
