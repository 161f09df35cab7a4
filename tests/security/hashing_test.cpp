// Hash and HashFile: algorithm choice, text forms, files and the file dialog.
#include <openssl/evp.h>
#include <strabel/strabel.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <windows.h>

#include <memory>
#include <random>
#include <cstring>
#include <string>
#include <vector>

#include "base/codepage_internal.h"
#include "test_support.h"
#include "ui/dialogs.h"

namespace {

std::string take(char* p) {
  std::string s = p ? p : "<null>";
  delete[] p;
  return s;
}

// OpenSSL's digest of the bytes, upper-case hex: the independent reference.
std::string reference(const char* name, const std::string& bytes) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), md, &n, EVP_get_digestbyname(name), nullptr), 1);
  static const char* digits = "0123456789ABCDEF";
  std::string hex;
  for (unsigned i = 0; i < n; ++i) {
    hex += digits[md[i] >> 4];
    hex += digits[md[i] & 15];
  }
  return hex;
}

std::string utf16le(const std::string& utf8) {
  std::u16string wide = velmora::platform::toWide(utf8, CP_UTF8);
  std::string bytes;
  for (char16_t c : wide) {
    bytes += char(c & 0xFF);
    bytes += char(c >> 8);
  }
  return bytes;
}

TEST(Hash, FlagsChooseAlgorithmAndTextForm) {
  CCAPILib capi;
  // Published values for "abc" as ANSI bytes.
  EXPECT_EQ(take(capi.Hash("abc", 0x11)), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(take(capi.Hash("abc", 0x10)), "A9993E364706816ABA3E25717850C26C9CD0D89D");
  EXPECT_EQ(take(capi.Hash("abc", 0x13)), "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
  EXPECT_EQ(take(capi.Hash("abc", 0x14)),
            "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A"
            "2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F");
  EXPECT_EQ(capi.GetErrorCode(), 0);

  // Every text through both forms and every algorithm value; bits above 0x10 are ignored.
  const char* algorithms[8] = {"SHA1", "MD5", "SHA1", "SHA256", "SHA512", "SHA1", "SHA1", "SHA1"};
  for (std::string text : {"abc", "中文 text", "a\tb\r\n"}) {
    std::string ansi = velmora::platform::ansiFromUtf8(text);
    for (long alg = 0; alg < 8; ++alg) {
      EXPECT_EQ(take(capi.Hash(ansi.c_str(), alg)), reference(algorithms[alg], utf16le(text))) << text << alg;
      EXPECT_EQ(take(capi.Hash(ansi.c_str(), alg | 0x10 | 0x100)), reference(algorithms[alg], ansi)) << text << alg;
    }
  }
}

TEST(Hash, LongRandomTextsAgreeWithOpenSsl) {
  CCAPILib capi;
  std::mt19937 rng(7);
  for (size_t len : {55u, 56u, 63u, 64u, 111u, 112u, 127u, 128u, 1000u, 100000u}) {
    std::string text(len, ' ');
    for (auto& c : text) c = char('!' + rng() % 90);
    EXPECT_EQ(take(capi.Hash(text.c_str(), 0x14)), reference("SHA512", text)) << len;
    EXPECT_EQ(take(capi.Hash(text.c_str(), 3)), reference("SHA256", utf16le(text))) << len;
  }
}

TEST(Hash, EmptyTextFailsAndPlatformCodeStays) {
  CCAPILib capi;
  SetLastError(DWORD(NTE_BAD_KEYSET));
  ASSERT_EQ(capi.SetCodePage(1252), 5006);  // leaves a platform code behind
  const int platformCode = capi.GetCapiErrorCode();
  ASSERT_NE(platformCode, 0);
  EXPECT_EQ(take(capi.Hash("", 1)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5005);
  EXPECT_EQ(take(capi.Hash(nullptr, 1)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5005);
  EXPECT_EQ(take(capi.Hash("x", 1)), reference("MD5", std::string("x\0", 2)));
  EXPECT_EQ(capi.GetErrorCode(), 0);
  EXPECT_EQ(capi.GetCapiErrorCode(), platformCode);  // neither operation touches it
}

TEST(HashFile, FilesAndTheirFailures) {
  CCAPILib capi;
  const std::string dir = vtest::makeTempDir("hash");
  std::string data(3u << 20, '\0');  // larger than one read
  std::mt19937 rng(11);
  for (auto& c : data) c = char(rng());
  vtest::writeFile(dir + "/data.bin", data);
  vtest::writeFile(dir + "/empty", "");

  EXPECT_EQ(take(capi.HashFile((dir + "/data.bin").c_str(), 0x13)), reference("SHA256", data));
  EXPECT_EQ(take(capi.HashFile((dir + "/data.bin").c_str(), 1)), reference("MD5", data));  // bytes, never text
  EXPECT_EQ(capi.GetErrorCode(), 0);

  struct Case {
    std::string path;
    int code;
  };
  // Only regular files are read: a FIFO without a writer, an endless device
  // and a socket each come back at once with the file status. The alarm
  // turns a regression (a read that never ends) into a failure.
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sockPath = dir + "/sock";
  ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
  memcpy(addr.sun_path, sockPath.c_str(), sockPath.size() + 1);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const std::vector<Case> failures = {{dir + "/missing", 5902}, {dir + "/empty", 1002}, {dir, 1002},
                                      {dir + "/fifo", 1002},    {"/dev/zero", 1002},      {"/dev/null", 1002},
                                      {sockPath, 1002}};
  alarm(20);
  for (const auto& c : failures) {
    EXPECT_EQ(take(capi.HashFile(c.path.c_str(), 3)), "") << c.path;
    EXPECT_EQ(capi.GetErrorCode(), c.code) << c.path;
  }
  alarm(0);
  close(sock);
}

TEST(HashFile, EmptyNameAsksForTheFile) {
  CCAPILib capi;
  const std::string dir = vtest::makeTempDir("pick");
  vtest::writeFile(dir + "/chosen.txt", "abc");
  std::vector<velmora::ui::DialogRequest> shown;
  std::string answer = "cancel";
  velmora::ui::ScopedDialogService scoped(std::make_shared<velmora::ui::FunctionDialogService>(
      [&](const velmora::ui::DialogRequest& r) {
        shown.push_back(r);
        velmora::ui::DialogResult result;
        result.button = answer;
        result.fields["path"] = dir + "/chosen.txt";
        return result;
      }));

  EXPECT_EQ(take(capi.HashFile("", 3)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5070);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].kind, "open-file");
  EXPECT_EQ(shown[0].title, "Please select file");
  EXPECT_EQ(shown[0].options["filter"], "All Files (*.*)|*.*||");
  EXPECT_EQ(shown[0].options["flags"], "0x106");

  answer = "ok";
  EXPECT_EQ(take(capi.HashFile("", 0x10)), "A9993E364706816ABA3E25717850C26C9CD0D89D");
  EXPECT_EQ(capi.GetErrorCode(), 0);

  ASSERT_EQ(capi.SetCodePage(950), 0);
  EXPECT_EQ(take(capi.HashFile(nullptr, 0x11)), "900150983CD24FB0D6963F7D28E17F72");
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[2].title, "請選擇檔案");
  EXPECT_EQ(capi.SetCodePage(437), 0);
}

TEST(Hash, ThroughTheBridge) {
  auto r = vtest::runCommand({std::string(VELMORA_BIN_DIR) + "/velmora-call", "capi_Hash(\"abc\", 0x13)",
                              "capi_HashFile(\"/no/such/file\", 1)", "capi_GetErrorCode()"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "\"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD\"\n\"\"\n5902\n");
}

}  // namespace
