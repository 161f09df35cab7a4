// velmora-regsvr: self-registration of automation servers for this user.
#include <windows.h>

#include <string>

#include "test_support.h"

namespace {

const std::string kBin = std::string(VELMORA_BIN_DIR) + "/velmora-regsvr";
const std::string kStrabel = std::string(VELMORA_LIB_DIR) + "/libstrabel.so";

std::string classesDefault(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "<missing>";
  char buf[4096] = {};
  DWORD size = sizeof buf - 1;
  RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(key);
  return buf;
}

TEST(VelmoraRegsvr, RegistersAndUnregistersAServerAndReportsFailures) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
  };
  const Case cases[] = {
      {{}, 2, ""},
      {{"-u"}, 2, ""},
      {{"/nonexistent/server.so"}, 1, "/nonexistent/server.so: failed 0x8007007E\n"},
      // A module without the entry point.
      {{vtest::comFixturePath()}, 1, vtest::comFixturePath() + ": failed 0x8007007F\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{kBin};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const auto r = vtest::runCommand(argv);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out);
  }

  const std::string capi = "CLSID\\{7C3A52D0-AD11-4E61-8B25-3F9A61C00207}";
  auto r = vtest::runCommand({kBin, kStrabel});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, kStrabel + ": registered 0x00000000\n");
  EXPECT_EQ(classesDefault(capi + "\\InprocServer32"), kStrabel);
  EXPECT_EQ(classesDefault("Strabel.CAPI\\CurVer"), "Strabel.CAPI.1");
  EXPECT_EQ(classesDefault("TypeLib\\{5E20C4A9-B3AF-4D17-A6B8-3F9A61C00207}\\1.0\\409\\win64"), kStrabel);

  r = vtest::runCommand({kBin, "-u", kStrabel});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(classesDefault("Strabel.CAPI"), "<missing>");
  EXPECT_EQ(classesDefault(capi + "\\InprocServer32"), "<missing>");
  EXPECT_EQ(classesDefault("TypeLib\\{5E20C4A9-B3AF-4D17-A6B8-3F9A61C00207}"), "<missing>");
}

}  // namespace
