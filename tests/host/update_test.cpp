// Self-update: the version comparison, and the download against a loopback
// HTTPS server with a test CA; installers are signed with the openssl
// command, and only a signed one runs.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "app/updater.h"
#include "client_dlg.h"
#include "https_test_server.h"
#include "test_support.h"
#include "ui/dialogs.h"

namespace {

namespace fs = std::filesystem;
using velmora::host::UpdateOptions;

// Counts the downloads versionCheck asks for and answers with `code`.
class CountingDlg : public CFENROClientDlg {
 public:
  int DownloadAndRunInstaller(const char* url) override {
    ++downloads;
    lastUrl = url;
    return code;
  }
  int downloads = 0;
  int code = 0;
  std::string lastUrl;
};

TEST(VersionCheck, ComparesTheTextsByteByByteAndDownloadsOnlyWhenTheHostSortsFirst) {
  struct Case {
    const char* server;
    bool downloads;
  } cases[] = {
      {"1.8.0.0", false}, {"1.8.0.1", true}, {"1.10.0.0", false}, {"2", true}, {"", false}, {"1.8.0.0 ", true},
  };
  for (const auto& c : cases) {
    for (int code : {0, 1000, 1002}) {
      CountingDlg dlg;
      dlg.code = code;
      const int result = dlg.versionCheck(c.server, "https://portal.test/setup.exe");
      EXPECT_EQ(dlg.downloads, c.downloads ? 1 : 0) << "'" << c.server << "'";
      EXPECT_EQ(result, c.downloads && code != 0 ? -1 : 0) << "'" << c.server << "' " << code;
      if (c.downloads) EXPECT_EQ(dlg.lastUrl, "https://portal.test/setup.exe");
    }
  }
}

class Update : public testing::Test {
 protected:
  void SetUp() override {
    VTEST_REQUIRE(system("command -v openssl >/dev/null 2>&1") == 0, "openssl");
    dir_ = vtest::makeTempDir("update");
    ASSERT_TRUE(vtest::makeTestCa(dir_));
    ASSERT_EQ(vtest::runCommand({"openssl", "genpkey", "-algorithm", "ed25519", "-out", dir_ + "/pub.key"}).status, 0);
    ASSERT_EQ(vtest::runCommand({"openssl", "pkey", "-in", dir_ + "/pub.key", "-pubout", "-out", dir_ + "/pub.pem"}).status, 0);
    marker_ = dir_ + "/installer-ran";
    installer_ = "#!/bin/sh\necho ran > '" + marker_ + "'\n";
    temp_ = vtest::makeTempDir("tmp");
    options_.publisherKeyPem = vtest::readFile(dir_ + "/pub.pem");
    options_.caFile = dir_ + "/ca.pem";
    options_.tempFolder = temp_;
  }

  // The openssl command's detached Ed25519 signature of `data`.
  std::string sign(const std::string& data, const std::string& key) {
    vtest::writeFile(dir_ + "/to-sign", data);
    auto r = vtest::runCommand({"openssl", "pkeyutl", "-sign", "-rawin", "-inkey", key, "-in", dir_ + "/to-sign",
                                "-out", dir_ + "/sig"});
    EXPECT_EQ(r.status, 0) << r.err;
    return vtest::readFile(dir_ + "/sig");
  }

  bool ran() {
    // A started installer may need a moment to write its marker.
    for (int i = 0; i < 100 && !fs::exists(marker_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return fs::exists(marker_);
  }

  std::vector<std::string> writtenFiles() {
    std::vector<std::string> out;
    for (auto& e : fs::recursive_directory_iterator(temp_))
      if (e.is_regular_file()) out.push_back(e.path().string());
    return out;
  }

  std::string dir_, marker_, installer_, temp_;
  UpdateOptions options_;
};

TEST_F(Update, ASignedInstallerIsWrittenPrivatelyAndRunsAndEveryOtherAnswerRunsNothing) {
  const std::string goodSig = sign(installer_, dir_ + "/pub.key");
  ASSERT_EQ(vtest::runCommand({"openssl", "genpkey", "-algorithm", "ed25519", "-out", dir_ + "/other.key"}).status, 0);
  const std::string otherSig = sign(installer_, dir_ + "/other.key");
  std::string badSig = goodSig;
  badSig[5] ^= 1;
  vtest::HttpsTestServer server([&](const std::string& path) -> vtest::HttpsTestServer::Answer {
    if (path == "/ok/setup.sh") return {200, installer_};
    if (path == "/ok/setup.sh.sig") return {200, goodSig};
    if (path == "/bad/setup.sh") return {200, installer_};
    if (path == "/bad/setup.sh.sig") return {200, badSig};
    if (path == "/other/setup.sh") return {200, installer_};
    if (path == "/other/setup.sh.sig") return {200, otherSig};
    if (path == "/unsigned/setup.sh") return {200, installer_};
    if (path == "/moved/setup.sh") return {302, installer_, {{"Location", "/ok/setup.sh"}}};
    if (path == "/moved/setup.sh.sig") return {200, goodSig};
    if (path == "/missing/setup.sh.sig") return {200, goodSig};
    if (path == "/error/setup.sh") return {500, installer_};
    if (path == "/error/setup.sh.sig") return {200, goodSig};
    return {404, "not found"};
  });
  ASSERT_TRUE(server.start(dir_ + "/good.pem", dir_ + "/good.key"));
  vtest::HttpsTestServer wrongName([&](const std::string& path) -> vtest::HttpsTestServer::Answer {
    return {200, path.size() > 4 && path.substr(path.size() - 4) == ".sig" ? goodSig : installer_};
  });
  ASSERT_TRUE(wrongName.start(dir_ + "/wrong.pem", dir_ + "/wrong.key"));
  // A port nothing listens on: the one of a server that has just stopped.
  int closedPort = 0;
  {
    vtest::HttpsTestServer gone([](const std::string&) { return vtest::HttpsTestServer::Answer{}; });
    ASSERT_TRUE(gone.start(dir_ + "/good.pem", dir_ + "/good.key"));
    closedPort = gone.port();
  }

  struct Case {
    std::string name, url;
    int code;
    bool refusal;  // the user is told that nothing was installed
  } cases[] = {
      {"wrong host name in the certificate", wrongName.url("/x/setup.sh"), 1000, false},
      {"signature by another key", server.url("/other/setup.sh"), 1000, true},
      {"damaged signature", server.url("/bad/setup.sh"), 1000, true},
      {"no signature", server.url("/unsigned/setup.sh"), 1000, true},
      {"404", server.url("/missing/setup.sh"), 1000, false},
      {"500 with a body", server.url("/error/setup.sh"), 1000, false},
      {"redirect", server.url("/moved/setup.sh"), 1000, false},
      {"unreachable port", "https://127.0.0.1:" + std::to_string(closedPort) + "/setup.sh", 1002, false},
      {"plain http off the machine", "http://portal.invalid/setup.sh", 1000, false},
  };
  for (const auto& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    const auto out = velmora::host::DownloadAndRunInstaller(c.url, options_);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(out.code, c.code) << c.name << ": " << out.detail;
    EXPECT_EQ(!out.refusal.empty(), c.refusal) << c.name;
    EXPECT_LT(took, std::chrono::seconds(10)) << c.name;
    EXPECT_TRUE(writtenFiles().empty()) << c.name;
  }
  EXPECT_FALSE(ran());
  // The redirect was not followed.
  EXPECT_EQ(server.hits("/ok/setup.sh"), 0);

  // The signed one: verified, written 0700 in a fresh 0700 folder, run.
  pid_t started = 0;
  options_.started = [&](pid_t pid) { started = pid; };
  const auto out = velmora::host::DownloadAndRunInstaller(server.url("/ok/setup.sh"), options_);
  ASSERT_EQ(out.code, 0) << out.detail;
  EXPECT_TRUE(ran());
  EXPECT_EQ(started, out.pid);
  EXPECT_GT(started, 0);
  struct stat file {}, folder {};
  ASSERT_EQ(stat(out.path.c_str(), &file), 0);
  ASSERT_EQ(stat(fs::path(out.path).parent_path().c_str(), &folder), 0);
  EXPECT_EQ(file.st_mode & 07777, 0700u);
  EXPECT_EQ(folder.st_mode & 07777, 0700u);
  EXPECT_EQ(fs::path(out.path).parent_path().parent_path().string(), temp_);
  EXPECT_EQ(fs::path(out.path).filename().string(), "Quillet安裝檔.sh");
  EXPECT_EQ(vtest::readFile(out.path), installer_);
}

TEST_F(Update, KeysOfTheAllowedKindsVerifyAndOthersDoNot) {
  const std::string data = "installer bytes";
  // RSA-3072 signs with SHA-256 (openssl dgst); RSA-2048 is too weak.
  for (auto [bits, accepted] : {std::pair{3072, true}, std::pair{2048, false}}) {
    const std::string key = dir_ + "/rsa" + std::to_string(bits) + ".key";
    ASSERT_EQ(vtest::runCommand({"openssl", "genpkey", "-algorithm", "rsa", "-pkeyopt",
                                 "rsa_keygen_bits:" + std::to_string(bits), "-out", key}).status, 0);
    ASSERT_EQ(vtest::runCommand({"openssl", "pkey", "-in", key, "-pubout", "-out", key + ".pub"}).status, 0);
    vtest::writeFile(dir_ + "/data", data);
    ASSERT_EQ(vtest::runCommand({"openssl", "dgst", "-sha256", "-sign", key, "-out", dir_ + "/data.sig", dir_ + "/data"}).status, 0);
    EXPECT_EQ(velmora::host::verifyPublisherSignature(vtest::readFile(key + ".pub"), data, vtest::readFile(dir_ + "/data.sig")),
              accepted) << bits;
  }
  const std::string sig = sign(data, dir_ + "/pub.key");
  EXPECT_TRUE(velmora::host::verifyPublisherSignature(options_.publisherKeyPem, data, sig));
  EXPECT_FALSE(velmora::host::verifyPublisherSignature(options_.publisherKeyPem, data + "x", sig));
  EXPECT_FALSE(velmora::host::verifyPublisherSignature(options_.publisherKeyPem, data, ""));
  EXPECT_FALSE(velmora::host::verifyPublisherSignature("not a key", data, sig));
  EXPECT_FALSE(velmora::host::verifyPublisherSignature("", data, sig));
  // The built-in key is a public key of an allowed kind.
  EXPECT_NE(std::string(velmora::host::builtInPublisherKey()).find("BEGIN PUBLIC KEY"), std::string::npos);
}

TEST_F(Update, AFileThatIsNoProgramGoesToTheDesktopAndALongTemporaryPathIsNoProblem) {
  const std::string document = "%PDF-1.4 release notes";
  const std::string sig = sign(document, dir_ + "/pub.key");
  vtest::HttpsTestServer server([&](const std::string& path) -> vtest::HttpsTestServer::Answer {
    if (path == "/notes.pdf") return {200, document};
    if (path == "/notes.pdf.sig") return {200, sig};
    return {404, ""};
  });
  ASSERT_TRUE(server.start(dir_ + "/good.pem", dir_ + "/good.key"));
  // A fake desktop handler records what it was asked to open.
  const std::string bin = vtest::makeTempDir("xdg");
  const std::string record = dir_ + "/opened";
  vtest::writeFile(bin + "/xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > '" + record + "'\n");
  fs::permissions(bin + "/xdg-open", fs::perms::owner_all);
  const std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (bin + ":" + oldPath).c_str(), 1);
  // Far longer than the 128 bytes a Windows host allowed for it.
  std::string deep = temp_;
  while (deep.size() < 300) deep += "/a-rather-long-folder-name";
  fs::create_directories(deep);
  options_.tempFolder = deep;
  pid_t started = 0;
  options_.started = [&](pid_t pid) { started = pid; };
  const auto out = velmora::host::DownloadAndRunInstaller(server.url("/notes.pdf"), options_);
  setenv("PATH", oldPath.c_str(), 1);
  ASSERT_EQ(out.code, 0) << out.detail;
  EXPECT_EQ(started, 0) << "a document is not run";
  EXPECT_EQ(out.path.substr(0, deep.size()), deep);
  EXPECT_EQ(fs::path(out.path).filename().string(), "Quillet安裝檔.pdf");
  for (int i = 0; i < 100 && !fs::exists(record); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(vtest::readFile(record), out.path);
  EXPECT_EQ(vtest::readFile(out.path), document);
}

TEST_F(Update, TheWindowObjectTellsTheUserWhyAnUnsignedInstallerDidNotRun) {
  vtest::HttpsTestServer server([&](const std::string& path) -> vtest::HttpsTestServer::Answer {
    if (path == "/setup.sh") return {200, installer_};
    return {404, ""};
  });
  ASSERT_TRUE(server.start(dir_ + "/good.pem", dir_ + "/good.key"));
  std::vector<velmora::ui::DialogRequest> shown;
  velmora::ui::ScopedDialogService dialogs(std::make_shared<velmora::ui::FunctionDialogService>(
      [&](const velmora::ui::DialogRequest& r) {
        shown.push_back(r);
        return velmora::ui::DialogResult{"ok"};
      }));
  CFENROClientDlg dlg;
  dlg.m_update = options_;
  EXPECT_EQ(dlg.versionCheck("1.8.0.1", server.url("/setup.sh").c_str()), -1);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_NE(shown[0].text("message").find("nothing was installed"), std::string::npos) << shown[0].text("message");
  EXPECT_NE(shown[0].text("message").find("未安裝任何程式"), std::string::npos);
  EXPECT_FALSE(ran());
  // An update that is not needed asks nothing of the network.
  EXPECT_EQ(dlg.versionCheck("1.8.0.0", server.url("/setup.sh").c_str()), 0);
  EXPECT_EQ(server.hits("/setup.sh"), 1);
}

}  // namespace
