// Machine facts and the registry value helpers.
#include <strabel/strabel.h>
#include <windows.h>

#include <regex>
#include <string>

#include "base/codepage_internal.h"
#include "test_support.h"

namespace {

std::string take(char* p) {
  std::string s = p ? velmora::platform::utf8FromAnsi(p) : "<null>";
  delete[] p;
  return s;
}

TEST(SystemHelpers, RegistryValuesRoundTrip) {
  CCAPILib capi;
  EXPECT_EQ(capi.RegWriteHKCUInt("Software\\A\\B\\Count", -5), 0);
  EXPECT_EQ(take(capi.RegReadHKCU("Software\\A\\B\\Count")), "-5");
  EXPECT_EQ(capi.RegWriteHKCUStr("Software\\A\\B\\Name", "值 value"), 0);
  EXPECT_EQ(take(capi.RegReadHKCU("software\\a\\b\\NAME")), "值 value");  // names ignore case

  // The string is stored without a terminating zero.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\A\\B", 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueExA(key, "Name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_EQ(size, DWORD(velmora::platform::ansiFromUtf8("值 value").size()));
  RegCloseKey(key);

  // A name ending in a backslash is the key's default value.
  EXPECT_EQ(capi.RegWriteHKCUStr("Software\\A\\", "default"), 0);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\A", 0, KEY_READ, &key), ERROR_SUCCESS);
  char data[32] = {0};
  size = sizeof data;
  ASSERT_EQ(RegQueryValueExA(key, "", nullptr, &type, reinterpret_cast<BYTE*>(data), &size), ERROR_SUCCESS);
  EXPECT_EQ(std::string(data, size), "default");
  RegCloseKey(key);
  EXPECT_EQ(take(capi.RegReadHKCU("Software\\A\\")), "default");
}

TEST(SystemHelpers, RegistryFailuresAndQuietCases) {
  CCAPILib capi;
  struct Case {
    const char* name;
    std::string text;
    int code;
  } reads[] = {
      {"NoBackslash", "", 5005},
      {"", "", 5005},
      {"Software\\Missing\\Key\\Value", "", 5906},  // the key does not exist
  };
  for (const auto& c : reads) {
    EXPECT_EQ(take(capi.RegReadHKCU(c.name)), c.text) << c.name;
    EXPECT_EQ(capi.GetErrorCode(), c.code) << c.name;
  }
  EXPECT_EQ(capi.RegWriteHKCUInt("NoBackslash", 1), 5005);
  EXPECT_EQ(capi.RegWriteHKCUStr(nullptr, "x"), 5005);

  // A missing value, a value of another type, and a string longer than 255
  // bytes all read as empty without an error.
  ASSERT_EQ(capi.RegWriteHKCUInt("Software\\Q\\Number", 7), 0);
  EXPECT_EQ(take(capi.RegReadHKCU("Software\\Q\\Absent")), "");
  EXPECT_EQ(capi.GetErrorCode(), 0);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Q", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const BYTE blob[] = {1, 2, 3};
  ASSERT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(take(capi.RegReadHKCU("Software\\Q\\Blob")), "");
  EXPECT_EQ(capi.GetErrorCode(), 0);
  const std::string longText(300, 'x');
  ASSERT_EQ(capi.RegWriteHKCUStr("Software\\Q\\Long", longText.c_str()), 0);
  EXPECT_EQ(take(capi.RegReadHKCU("Software\\Q\\Long")), "");
  EXPECT_EQ(capi.GetErrorCode(), 0);
  const std::string edge(255, 'y');
  ASSERT_EQ(capi.RegWriteHKCUStr("Software\\Q\\Edge", edge.c_str()), 0);
  EXPECT_EQ(take(capi.RegReadHKCU("Software\\Q\\Edge")), edge);
}

// The keys that decide which library a class loads, which sites are
// trusted and which certificates are trusted are out of the helpers' reach
// however the path is spelled; their neighbours are not.
TEST(SystemHelpers, KeysThatRegisterCodeOrTrustAreRefused) {
  CCAPILib capi;
  const char* refused[] = {
      "Software\\Classes\\Evil.Object\\CLSID\\",
      "Software\\Classes\\CLSID\\{00000000-0000-0000-0000-000000000001}\\InprocServer32\\",
      "software\\\\CLASSES\\x",
      "Software\\Classes\\",
      "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\ZoneMap\\Domains\\evil.example\\https",
      "Software\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\AB\\Blob",
      "Software\\Microsoft\\Cryptography\\Defaults\\Provider\\x\\Image Path",
  };
  for (const char* name : refused) {
    EXPECT_EQ(capi.RegWriteHKCUStr(name, "/tmp/evil.so"), 5005) << name;
    EXPECT_EQ(capi.RegWriteHKCUInt(name, 2), 5005) << name;
    EXPECT_EQ(take(capi.RegReadHKCU(name)), "") << name;
    EXPECT_EQ(capi.GetErrorCode(), 5005) << name;
  }
  HKEY key = nullptr;
  EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Classes\\Evil.Object", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Cryptography", 0, KEY_READ, &key), ERROR_SUCCESS);

  // A value named like a protected key, and keys that only begin alike.
  EXPECT_EQ(capi.RegWriteHKCUStr("Software\\Classes", "value, not key"), 0);
  EXPECT_EQ(capi.RegWriteHKCUStr("Software\\ClassesAndMore\\v", "x"), 0);
  EXPECT_EQ(capi.RegWriteHKCUStr("Software\\Microsoft\\Windows\\v", "x"), 0);
  EXPECT_EQ(take(capi.RegReadHKCU("Software\\ClassesAndMore\\v")), "x");
}

TEST(SystemHelpers, MachineFacts) {
  CCAPILib capi;
  EXPECT_EQ(take(capi.GetUserHomePath()), getenv("HOME"));

  // The distribution's name as the shell reads it from os-release.
  auto shell = vtest::runCommand({"/bin/sh", "-c", ". /etc/os-release 2>/dev/null || . /usr/lib/os-release; "
                                                   "printf '%s' \"$PRETTY_NAME\""});
  ASSERT_EQ(shell.status, 0);
  EXPECT_EQ(take(capi.GetOSName()), shell.out);

  const std::string macs = take(capi.GetMacAddress());
  const int code = capi.GetErrorCode();
  if (code == 5001) {
    EXPECT_EQ(macs, "");  // a machine without a hardware interface
  } else {
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(std::regex_match(macs, std::regex("([0-9A-F]{2}(-[0-9A-F]{2}){5})(\n[0-9A-F]{2}(-[0-9A-F]{2}){5})*")))
        << macs;
    // Each listed address is one of the kernel's interfaces (never loopback's zeros).
    auto ip = vtest::runCommand({"/bin/sh", "-c", "cat /sys/class/net/*/address | tr a-f A-F | tr : -"});
    size_t start = 0;
    while (start < macs.size()) {
      size_t end = macs.find('\n', start);
      std::string one = macs.substr(start, end == std::string::npos ? std::string::npos : end - start);
      EXPECT_NE(ip.out.find(one), std::string::npos) << one;
      EXPECT_NE(one, "00-00-00-00-00-00");
      start = end == std::string::npos ? macs.size() : end + 1;
    }
  }
}

}  // namespace
