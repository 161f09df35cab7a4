// The shared key/value area and the signer record in it: layout rules and
// error codes, events, a writer that dies holding the lock, and a second
// process that finds the signer the first one chose.
#include "signer_pki.h"  // OpenSSL before wincrypt.h (X509_NAME)

#include <strabel/strabel.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wincrypt.h>
#include <windows.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "certs/encoding.h"
#include "certs/shared_signer.h"
#include "frame/engines.h"
#include "test_support.h"
#include "ui/dialogs.h"

namespace {

using strabel::cSharedMemory;

std::string uniqueName(const char* hint) { return std::string("Velmora Test ") + hint + " " + std::to_string(getpid()); }

TEST(SharedArea, EntriesAndTheirErrorCodes) {
  const std::string name = uniqueName("entries");
  cSharedMemory a;
  EXPECT_FALSE(a.Exists("x"));
  EXPECT_EQ(a.LastError(), 4312u);
  ASSERT_TRUE(a.Open(name, 1024)) << a.LastError();
  EXPECT_TRUE(a.CreatedHere());

  ASSERT_TRUE(a.Add("first", 3, "abc"));
  ASSERT_TRUE(a.AddInt("second", 0x01020304));
  ASSERT_TRUE(a.Add("third", 5, "12345"));
  EXPECT_FALSE(a.Add("second", 1, "z"));
  EXPECT_EQ(a.LastError(), 183u);
  EXPECT_EQ(GetLastError(), 183u);
  EXPECT_EQ(a.GetInt("second", 7), 0x01020304u);  // unchanged
  EXPECT_FALSE(a.Add("empty", 0, "z"));
  EXPECT_EQ(a.LastError(), 24u);
  EXPECT_FALSE(a.Add(std::string(40, 'k'), 1, "z"));
  EXPECT_EQ(a.LastError(), 1743u);
  EXPECT_TRUE(a.Add(std::string(39, 'k'), 1, "z"));
  EXPECT_FALSE(a.Add("big", 2000, std::string(2000, 'b').data()));
  EXPECT_EQ(a.LastError(), 14u);

  // A second opener sees the entries; its size comes from the header.
  cSharedMemory b;
  ASSERT_TRUE(b.Open(name, 4096));
  EXPECT_FALSE(b.CreatedHere());
  EXPECT_EQ(b.Size(), 1024u);
  EXPECT_EQ(b.GetText("first"), "abc");

  // Update keeps the stored length; longer fails.
  EXPECT_TRUE(b.Update("third", "xy", 2));
  DWORD n = 0;
  ASSERT_TRUE(a.Get("third", nullptr, n));
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(a.GetText("third"), std::string("xy\0\0\0", 5));
  EXPECT_FALSE(a.Update("third", "123456", 6));
  EXPECT_EQ(a.LastError(), 8u);
  EXPECT_FALSE(a.Update("nobody", "1", 1));
  EXPECT_EQ(a.LastError(), 2u);
  char small[2];
  n = sizeof small;
  EXPECT_FALSE(a.Get("third", small, n));
  EXPECT_EQ(a.LastError(), 122u);
  EXPECT_EQ(n, 5u);

  // Removing the first of three keeps the others readable.
  ASSERT_TRUE(a.Remove("first"));
  EXPECT_FALSE(b.Exists("first"));
  EXPECT_EQ(b.GetInt("second", 0), 0x01020304u);
  EXPECT_EQ(b.GetText("third").substr(0, 2), "xy");
  EXPECT_FALSE(a.Remove("first"));
  EXPECT_EQ(a.LastError(), 2u);
  EXPECT_EQ(a.GetInt("first", 99), 99u);
}

TEST(SharedArea, EventsSignalChanges) {
  const std::string name = uniqueName("events");
  cSharedMemory a;
  ASSERT_TRUE(a.Open(name, 1024));
  HANDLE areaEvent = CreateEventA(nullptr, TRUE, FALSE, (name + "_Event").c_str());
  HANDLE keyEvent = CreateEventA(nullptr, TRUE, FALSE, "counter_Event");
  ASSERT_NE(areaEvent, nullptr);
  ASSERT_NE(keyEvent, nullptr);
  EXPECT_EQ(WaitForSingleObject(areaEvent, 0), DWORD(WAIT_TIMEOUT));
  ASSERT_TRUE(a.AddInt("counter", 1));
  EXPECT_EQ(WaitForSingleObject(areaEvent, 0), DWORD(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(keyEvent, 0), DWORD(WAIT_TIMEOUT));
  ASSERT_TRUE(a.UpdateInt("counter", 2));
  EXPECT_EQ(WaitForSingleObject(keyEvent, 0), DWORD(WAIT_OBJECT_0));
  CloseHandle(areaEvent);
  CloseHandle(keyEvent);
}

// A writer that dies holding the lock, after leaving the area corrupt: the
// next user gets the lock and finds an empty, usable area.
TEST(SharedArea, AWriterThatDiesMidwayIsSurvived) {
  const std::string name = uniqueName("crash");
  cSharedMemory a;
  ASSERT_TRUE(a.Open(name, 1024));
  ASSERT_TRUE(a.Add("kept", 4, "keep"));
  const pid_t child = fork();
  if (child == 0) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, (name + "_Mutex").c_str());
    HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
    auto* view = static_cast<unsigned char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!mutex || !view || WaitForSingleObject(mutex, 5000) != WAIT_OBJECT_0) _exit(1);
    view[0] = 7;                     // seven entries ...
    memset(view + 8 + 80, 0xFF, 4);  // ... the first one longer than the area
    _exit(0);                        // and the lock never released
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(a.Exists("kept"));  // the area was reset, not read past its end
  EXPECT_TRUE(a.Add("after", 2, "ok"));
  EXPECT_EQ(a.GetText("after"), "ok");
}

// ---- The signer record between processes ----

class SharedSignerRecord : public testing::Test {
 protected:
  void SetUp() override {
    VTEST_REQUIRE(vtest::runCommand({"openssl", "version"}).status == 0, "openssl command");
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    for (PCCERT_CONTEXT c; (c = CertEnumCertificatesInStore(store, nullptr));) CertDeleteCertificateFromStore(c);
    CertCloseStore(store, 0);
  }
  void StoreSignerReachesASecondProcess();
  void PfxSignerReachesASecondProcess();
  CCAPILib capi;
  static std::string take(char* text) {
    std::string s = text ? text : "";
    delete[] text;
    return s;
  }
  static vtest::CommandResult call(const std::vector<std::string>& calls, const std::string& script,
                                   const std::string& log) {
    std::vector<std::string> argv = {std::string(VELMORA_BIN_DIR) + "/velmora-call"};
    argv.insert(argv.end(), calls.begin(), calls.end());
    return vtest::runCommand(argv, {"VELMORA_DIALOG_SCRIPT=" + script, "VELMORA_DIALOG_LOG=" + log});
  }
};

void SharedSignerRecord::StoreSignerReachesASecondProcess() {
  const std::string dir = vtest::makeTempDir("shared");
  vtest::SignerPki pki;
  EVP_PKEY* key = EVP_RSA_gen(1024);
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  for (const char* serial : {"0A01", "0A02"}) {
    vtest::CertSpec spec;
    spec.subject = {{"CN", "Shared Signer"}};
    spec.serialHex = serial;
    const std::string der = pki.make(spec, key);
    CertAddEncodedCertificateToStore(my, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                     DWORD(der.size()), CERT_STORE_ADD_ALWAYS, nullptr);
  }
  CertCloseStore(my, 0);
  EVP_PKEY_free(key);

  // This process chooses from the list; it holds the record open while
  // velmora-call asks.
  auto service = std::make_shared<velmora::ui::FunctionDialogService>([](const velmora::ui::DialogRequest& r) {
    velmora::ui::DialogResult res;
    res.button = r.kind == "signer-list" ? "ok" : "cancel";
    res.row = 1;
    return res;
  });
  {
    velmora::ui::ScopedDialogService scoped(service);
    ASSERT_EQ(capi.SelectSignerEx2("S_CN=Shared Signer", "", "", 1, "", 0x100, 0), 0);
  }
  const std::string chosen = take(capi.GetCertSerial());
  const std::string log = dir + "/log";
  auto second = call({"capi_SelectSignerEx2(\"S_CN=Nobody\",\"\",\"\",1,\"\",256,0)", "capi_GetCertSerial()",
                      "capi_GetCertSubjectCN()"},
                     "", log);
  EXPECT_EQ(second.out, "0\n\"" + chosen + "\"\n\"Shared Signer\"\n") << second.err;
  EXPECT_TRUE(vtest::readFile(log).empty()) << vtest::readFile(log);  // no dialog there

  // A signer chosen from the store leaves no PFX keys in the record.
  cSharedMemory* record = strabel::SharedSigner(strabel::capiCore());
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->GetInt("signerMedia", 0), 1u);
  EXPECT_EQ(record->GetText("signerCertHash"), take(capi.GetCertFinger()));
  for (const char* name : {"signerCertPasswd", "signerCertFilePath", "signerCertFileName"})
    EXPECT_FALSE(record->Exists(name)) << name;

  // The record is this user's alone: mode 0600 under a name with the user
  // id, and another user's process neither sees it nor can open it.
  const std::string mine = "velmora-" + std::to_string(geteuid()) + "-";
  std::vector<std::string> objects;
  for (const auto& e : std::filesystem::directory_iterator("/dev/shm")) {
    const std::string n = e.path().filename().string();
    if (n.rfind(mine, 0) == 0 && n.find("Strabel%20Module") != std::string::npos) objects.push_back(e.path());
  }
  ASSERT_FALSE(objects.empty());
  for (const auto& o : objects) {
    struct stat st{};
    ASSERT_EQ(stat(o.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << o;
    EXPECT_EQ(st.st_uid, geteuid()) << o;
  }
  if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0) {
    const std::string other = vtest::makeTempDir("other-user");
    ASSERT_EQ(chown(other.c_str(), 65534, 65534), 0);
    const char* otherNs = "/dev/shm/velmora-65534-ns";
    const bool hadNs = access(otherNs, F_OK) == 0;
    chmod(other.c_str(), 0700);
    const std::vector<std::string> env = {"HOME=" + other, "XDG_DATA_HOME=" + other + "/data",
                                          "XDG_CONFIG_HOME=" + other + "/config", "XDG_CACHE_HOME=" + other + "/cache",
                                          "XDG_RUNTIME_DIR=" + other, "VELMORA_DIALOG_LOG=" + other + "/log",
                                          "VELMORA_DIALOG_SCRIPT="};
    auto elsewhere = vtest::runCommand({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                        std::string(VELMORA_BIN_DIR) + "/velmora-call",
                                        "capi_SelectSignerEx2(\"\",\"\",\"\",1,\"\",256,0)"},
                                       env);
    // Not this user's signer: that user's own (empty or unusable) store answers.
    EXPECT_EQ(elsewhere.status, 0) << elsewhere.err;
    EXPECT_TRUE(elsewhere.out == "5010\n" || elsewhere.out == "5201\n") << elsewhere.out;
    auto peek = vtest::runCommand({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "cat",
                                   objects[0]});
    EXPECT_NE(peek.status, 0);
    if (!hadNs) unlink(otherNs);  // the other user's namespace file made here
  }

  // Without the port the second process searches as usual: two
  // candidates, a list, which the "none" answers cancel.
  auto alone = call({"capi_SelectSignerEx2(\"\",\"\",\"\",0,\"\",256,0)"}, "", dir + "/log3");
  EXPECT_EQ(alone.out, "5070\n") << alone.err;
  EXPECT_NE(vtest::readFile(dir + "/log3").find("signer-list"), std::string::npos);
}

void SharedSignerRecord::PfxSignerReachesASecondProcess() {
  const std::string dir = vtest::makeTempDir("sharedpfx");
  vtest::SignerPki pki;
  EVP_PKEY* key = EVP_RSA_gen(2048);
  vtest::CertSpec spec;
  spec.subject = {{"CN", "Shared Pfx"}};
  const std::string der = pki.make(spec, key);
  vtest::writeFile(dir + "/k.pem", vtest::SignerPki::privatePem(key));
  vtest::writeFile(dir + "/c.pem", vtest::SignerPki::pem(der));
  EVP_PKEY_free(key);
  ASSERT_EQ(vtest::runCommand({"openssl", "pkcs12", "-export", "-inkey", dir + "/k.pem", "-in", dir + "/c.pem", "-out",
                               dir + "/s.pfx", "-passout", "pass:4321"})
                .status,
            0);
  auto service = std::make_shared<velmora::ui::FunctionDialogService>([](const velmora::ui::DialogRequest& r) {
    velmora::ui::DialogResult res;
    res.button = r.kind == "pfx-file" ? "ok" : "cancel";
    res.fields = {{"password", "4321"}};  // folder and name come pre-filled
    return res;
  });
  {
    velmora::ui::ScopedDialogService scoped(service);
    // Port 0: choose anew (the record holds the store signer), then share it.
    ASSERT_EQ(capi.SelectSignerEx2("", dir.c_str(), "s.pfx", 0, "", 0x200, 0), 0);
  }
  cSharedMemory* record = strabel::SharedSigner(strabel::capiCore());
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->GetInt("signerMedia", 0), 2u);
  EXPECT_EQ(record->GetText("signerCertFilePath"), dir);
  EXPECT_EQ(record->GetText("signerCertFileName"), "s.pfx");

  auto second = call({"capi_SelectSignerEx2(\"\",\"\",\"\",1,\"\",512,0)", "capi_GetSignerPfxFileName()",
                      "capi_SignPkcs7(\"shared\",1024)"},
                     "", dir + "/log");
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(second.out.substr(0, 10), "0\n\"s.pfx\"\n") << second.out;
  EXPECT_TRUE(vtest::readFile(dir + "/log").empty());
  const size_t q = second.out.find('"', 10);
  ASSERT_NE(q, std::string::npos);
  strabel::ByteBuffer p7;
  ASSERT_TRUE(strabel::Base64Decode(second.out.substr(q + 1, second.out.rfind('"') - q - 1), p7));
  vtest::writeFile(dir + "/p7.der", std::string(reinterpret_cast<const char*>(p7.data()), size_t(p7.length())));
  vtest::writeFile(dir + "/root.pem", vtest::SignerPki::pem(pki.rootDer()));
  vtest::writeFile(dir + "/content", std::string("s\0h\0a\0r\0e\0d\0", 12));
  auto verify = vtest::runCommand({"openssl", "cms", "-verify", "-inform", "DER", "-in", dir + "/p7.der", "-CAfile",
                                   dir + "/root.pem", "-purpose", "any", "-binary", "-content", dir + "/content"});
  EXPECT_EQ(verify.status, 0) << verify.err;
}

// One test: the record is per user, so its writers must not run in
// parallel test processes.
TEST_F(SharedSignerRecord, ASecondProcessFindsTheSignerWithoutADialog) {
  StoreSignerReachesASecondProcess();
  if (HasFatalFailure()) return;
  PfxSignerReachesASecondProcess();
}

}  // namespace
