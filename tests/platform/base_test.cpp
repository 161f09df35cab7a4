// Code pages, module loading, version records and message texts.
#include <unistd.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "base/codepage_internal.h"
#include "test_support.h"

namespace {

TEST(CodePage, ExplicitPagesRoundTrip) {
  const std::string utf8 = "憑證 abc";
  const std::string big5 = velmora::platform::convertCodePage(utf8, CP_UTF8, 950);
  // 憑 is 0xBE 0xCC in Big5.
  ASSERT_EQ(big5.substr(0, 2), "\xBE\xCC");
  EXPECT_EQ(big5.size(), 2u * 2 + 4);
  EXPECT_EQ(velmora::platform::convertCodePage(big5, 950, CP_UTF8), utf8);
  EXPECT_EQ(velmora::platform::toWide(big5, 950), u"憑證 abc");
}

TEST(CodePage, SizeQueryShortBufferAndInvalidInput) {
  const char* text = "héllo";  // 6 bytes, 5 characters, plus the terminator
  SetLastError(0xdeadbeef);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0), 6);
  WCHAR buf[8];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, buf, 5), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, buf, 6), 6);
  EXPECT_EQ(std::u16string(buf), u"héllo");

  // A broken sequence: replaced by default, refused with MB_ERR_INVALID_CHARS.
  const char broken[] = "a\xC3(b";
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, broken, 4, buf, 8), 4);
  EXPECT_EQ(buf[1], u'\xFFFD');
  SetLastError(0xdeadbeef);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, broken, 4, buf, 8), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));

  // A character Big5 lacks becomes the default character.
  char out[16];
  BOOL usedDefault = FALSE;
  int n = WideCharToMultiByte(950, 0, u"a\u00E9", 2, out, sizeof out, nullptr, &usedDefault);
  EXPECT_EQ(std::string(out, size_t(n)), "a?");
  EXPECT_TRUE(usedDefault);

  SetLastError(0xdeadbeef);
  EXPECT_EQ(MultiByteToWideChar(12345, 0, "a", 1, buf, 8), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

// Run in a child process with a chosen locale (GetACP is fixed per process).
TEST(CodePage, AcpOfThisProcess) {
  const char* expected = getenv("VELMORA_EXPECT_ACP");
  EXPECT_EQ(GetACP(), expected ? UINT(atoi(expected)) : UINT(CP_UTF8));
}

TEST(CodePage, AcpFollowsTheLocale) {
  struct Case {
    const char* lang;
    const char* acp;
  } cases[] = {{"zh_TW.Big5", "950"}, {"zh_TW.UTF-8", "65001"}, {"C", "65001"}};
  for (const auto& c : cases) {
    auto r = vtest::runCommand({"/proc/self/exe", "--gtest_filter=CodePage.AcpOfThisProcess"},
                               {std::string("LANG=") + c.lang, "LC_ALL=", "LC_CTYPE=",
                                std::string("VELMORA_EXPECT_ACP=") + c.acp});
    EXPECT_EQ(r.status, 0) << c.lang << "\n" << r.out;
  }
}

TEST(Module, LoadsByWindowsNameAndReportsFailures) {
  const std::string lib = std::string(VELMORA_LIB_DIR) + "/Resource437.dll";
  HMODULE h = LoadLibraryA(lib.c_str());
  ASSERT_NE(h, nullptr);
  char path[512];
  DWORD n = GetModuleFileNameA(h, path, sizeof path);
  EXPECT_EQ(std::string(path, n), std::string(VELMORA_LIB_DIR) + "/Resource437.so");
  // Too small: truncated, terminated, and the whole buffer size returned.
  char small[8];
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(h, small, sizeof small), DWORD(sizeof small));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(strlen(small), sizeof small - 1);

  EXPECT_NE(GetProcAddress(h, "VelmoraStringTable"), nullptr);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetProcAddress(h, "NoSuchExport"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
  EXPECT_TRUE(FreeLibrary(h));

  SetLastError(0xdeadbeef);
  EXPECT_EQ(LoadLibraryA("NoSuchLibrary.DLL"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));

  // Loaded by a relative name, the module still reports its full path,
  // also after the working folder has changed.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(VELMORA_LIB_DIR), 0);
  h = LoadLibraryA("./Resource950.dll");
  ASSERT_EQ(chdir("/"), 0);
  ASSERT_NE(h, nullptr);
  n = GetModuleFileNameA(h, path, sizeof path);
  char* real = realpath(VELMORA_LIB_DIR "/Resource950.so", nullptr);
  ASSERT_NE(real, nullptr);
  EXPECT_EQ(std::string(path, n), real);
  free(real);
  FreeLibrary(h);
  ASSERT_EQ(chdir(cwd), 0);
}

TEST(Module, LoadStringTakesTheModulesTable) {
  HMODULE h = LoadLibraryA((std::string(VELMORA_LIB_DIR) + "/Resource437.dll").c_str());
  ASSERT_NE(h, nullptr);
  char buf[64];
  EXPECT_EQ(LoadStringA(reinterpret_cast<HINSTANCE>(h), 20900, buf, sizeof buf), 13);
  EXPECT_STREQ(buf, "Select Reader");
  EXPECT_EQ(LoadStringA(reinterpret_cast<HINSTANCE>(h), 20900, buf, 7), 6);  // cut to the buffer
  EXPECT_STREQ(buf, "Select");
  EXPECT_EQ(LoadStringA(reinterpret_cast<HINSTANCE>(h), 1, buf, sizeof buf), 0);
  FreeLibrary(h);
}

TEST(Version, ReadsTheRecordCarriedByALibrary) {
  const std::string lib = std::string(VELMORA_LIB_DIR) + "/libstrabel.so";
  DWORD handle = 1;
  DWORD size = GetFileVersionInfoSizeA(lib.c_str(), &handle);
  ASSERT_GT(size, 0u);
  EXPECT_EQ(handle, 0u);
  std::string block(size, '\0');
  ASSERT_TRUE(GetFileVersionInfoA(lib.c_str(), 0, size, block.data()));
  void* fixed = nullptr;
  UINT len = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", &fixed, &len));
  ASSERT_EQ(len, sizeof(VS_FIXEDFILEINFO));
  auto* info = static_cast<VS_FIXEDFILEINFO*>(fixed);
  EXPECT_EQ(info->dwSignature, DWORD(VS_FFI_SIGNATURE));
  EXPECT_EQ(info->dwFileVersionMS, DWORD((4 << 16) | 0));
  EXPECT_EQ(info->dwFileVersionLS, DWORD((1 << 16) | 4));
  EXPECT_EQ(info->dwFileType, DWORD(VFT_DLL));
  EXPECT_FALSE(VerQueryValueA(block.data(), "\\StringFileInfo", &fixed, &len));
}

TEST(Version, FilesWithoutARecord) {
  SetLastError(0);
  EXPECT_EQ(GetFileVersionInfoSizeA("/no/such/file.dll", nullptr), 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  const std::string notElf = vtest::makeTempDir() + "/text.so";
  vtest::writeFile(notElf, "just text, no ELF header at all");
  SetLastError(0);
  EXPECT_EQ(GetFileVersionInfoSizeA(notElf.c_str(), nullptr), 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_DATA_NOT_FOUND));
  // The probe fixture is a real library without a record.
  const std::string probe = std::string(VELMORA_BUILD_DIR) + "/fixtures/protected/IEFrame.so";
  EXPECT_EQ(GetFileVersionInfoSizeA(probe.c_str(), nullptr), 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_DATA_NOT_FOUND));
}

TEST(FormatMessage, SystemTextsByLanguage) {
  LPSTR text = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                           nullptr, DWORD(NTE_BAD_KEYSET), 1033, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(std::string(text, n), "Keyset does not exist\r\n");
  LocalFree(text);

  char buf[512];
  n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_FILE_NOT_FOUND, 1028,
                     buf, sizeof buf, nullptr);
  ASSERT_GT(n, 0u);
  EXPECT_NE(velmora::platform::utf8FromAnsi(std::string(buf, n)), "The system cannot find the file specified.\r\n");

  SetLastError(0);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x2345678, 1033, buf, sizeof buf, nullptr), 0u);
  EXPECT_EQ(GetLastError(), 317u);  // ERROR_MR_MID_NOT_FOUND
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_FILE_NOT_FOUND, 1033, buf, 4, nullptr), 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
}

}  // namespace
