// PFX file operations and the mobile export, checked with the openssl
// command: import into "MY" (only the holder's certificate, bound to its
// key), looking into a file, the password change and its safe write, the
// export from "MY" with its file rules, the mobile form decrypted by
// openssl enc, and the dialog paths.
#include "signer_pki.h"  // OpenSSL before wincrypt.h (X509_NAME)

#include <openssl/core_names.h>
#include <openssl/sha.h>
#include <strabel/strabel.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wincrypt.h>
#include <windows.h>

#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "certs/cert_info.h"
#include "certs/encoding.h"
#include "certs/mobile_cipher.h"
#include "certs/pfx_files.h"
#include "certs/shared_signer.h"
#include "frame/engines.h"
#include "test_support.h"
#include "ui/dialogs.h"

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::string take(char* text) {
  std::string s = text ? text : "";
  delete[] text;
  return s;
}

std::string fromB64(const std::string& text) {
  strabel::ByteBuffer b;
  if (!strabel::Base64Decode(text, b)) return "";
  return b.str();
}

std::string hex(const std::string& bytes) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

void clearStore(const char* name) {
  HCERTSTORE store = CertOpenSystemStoreA(0, name);
  for (PCCERT_CONTEXT c; (c = CertEnumCertificatesInStore(store, nullptr));) CertDeleteCertificateFromStore(c);
  CertCloseStore(store, 0);
}

void addTo(const char* name, const std::string& der) {
  HCERTSTORE store = CertOpenSystemStoreA(0, name);
  CertAddEncodedCertificateToStore(store, kEnc, reinterpret_cast<const BYTE*>(der.data()), DWORD(der.size()),
                                   CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  CertCloseStore(store, 0);
}

// The common names of the certificates in "MY".
std::vector<std::string> namesInMy() {
  std::vector<std::string> out;
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c));) {
    strabel::CertInfo info;
    info.FromContext(c);
    out.push_back(info.SubjectCN());
  }
  CertCloseStore(store, 0);
  return out;
}

std::string dataHome() {
  const char* x = getenv("XDG_DATA_HOME");
  return x && *x ? x : std::string(getenv("HOME")) + "/.local/share";
}

int filesIn(const std::string& dir) {
  int n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
       ++it)
    n += it->path().filename().string()[0] != '.';
  return n;
}

int keyFiles() { return filesIn(dataHome() + "/velmora/Crypto/RSA") + filesIn(dataHome() + "/velmora/Crypto/Keys"); }

unsigned modeOf(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 ? unsigned(st.st_mode & 0777) : 0xFFFF;
}

class PfxFiles : public testing::Test {
 protected:
  static void SetUpTestSuite() { pki_ = new vtest::SignerPki; }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
  }

  void SetUp() override {
    VTEST_REQUIRE(vtest::runCommand({"openssl", "version"}).status == 0, "openssl command");
    strabel::capiCore().m_bIEProtectedMode = 0;
    strabel::capiCore().m_nCodePage = 437;
    strabel::capiCore().m_strDefaultPfxPrefix.clear();
    strabel::capiCore().ResetSigner();
    for (const char* s : {"MY", "CA", "ROOT"}) clearStore(s);
    dir_ = vtest::makeTempDir("pfxops");
    vtest::writeFile(dir_ + "/root.pem", vtest::SignerPki::pem(pki_->rootDer()));
    service_ = std::make_shared<velmora::ui::FunctionDialogService>([this](const velmora::ui::DialogRequest& r) {
      requests_.push_back(r);
      velmora::ui::DialogResult result;
      if (r.kind == "root-install" || r.kind == "key-use") {
        result.button = r.kind == "root-install" ? "yes" : "ok";
        return result;
      }
      if (answers_.empty()) {
        result.button = "cancel";
        return result;
      }
      result = answers_.front();
      answers_.pop_front();
      return result;
    });
    scoped_ = std::make_unique<velmora::ui::ScopedDialogService>(service_);
  }
  void TearDown() override { strabel::SetPfxWriteHookForTest(nullptr); }

  bool run(const std::vector<std::string>& argv, std::string* out = nullptr) {
    auto r = vtest::runCommand(argv);
    if (out) *out = r.out + r.err;
    return r.status == 0;
  }

  // A PFX made by openssl pkcs12 holding a holder's certificate with its key
  // and two CA certificates (an intermediate and the root).
  std::string makePfx(const std::string& name, const std::string& cn, const std::vector<std::string>& extra,
                      bool ec = false, EVP_PKEY** keyOut = nullptr, bool withCas = true) {
    EVP_PKEY* key = ec ? EVP_EC_gen("P-256") : EVP_RSA_gen(2048);
    vtest::CertSpec spec;
    spec.subject = {{"CN", cn}};
    spec.serialHex = "00A1B2";
    const std::string der = pki_->make(spec, key);
    EVP_PKEY* caKey = EVP_RSA_gen(1024);
    vtest::CertSpec ca;
    ca.subject = {{"CN", "Intermediate CA"}};
    ca.ca = true;
    ca.keyUsage = "critical,keyCertSign,cRLSign";
    ca.serialHex = "2000";
    const std::string caDer = pki_->make(ca, caKey);
    EVP_PKEY_free(caKey);
    vtest::writeFile(dir_ + "/" + name + ".key", vtest::SignerPki::privatePem(key));
    vtest::writeFile(dir_ + "/" + name + ".crt", vtest::SignerPki::pem(der));
    vtest::writeFile(dir_ + "/" + name + ".der", der);
    vtest::writeFile(dir_ + "/" + name + ".cas", vtest::SignerPki::pem(caDer) + vtest::SignerPki::pem(pki_->rootDer()));
    if (keyOut) *keyOut = key;
    else EVP_PKEY_free(key);
    std::vector<std::string> argv = {"openssl", "pkcs12", "-export", "-inkey", dir_ + "/" + name + ".key",
                                     "-in", dir_ + "/" + name + ".crt", "-certfile", dir_ + "/" + name + ".cas",
                                     "-out", dir_ + "/" + name + ".pfx", "-passout", "pass:pw1"};
    if (!withCas) argv.erase(argv.begin() + 7, argv.begin() + 9);
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string out;
    if (!run(argv, &out)) {
      ADD_FAILURE() << out;
      return "";
    }
    return name + ".pfx";
  }

  // A key made by the component with its certificate installed in "MY".
  std::string installed(const std::string& cn, bool exportable, bool ec = false) {
    const std::string csr = ec ? take(capi.CreateEccPKCS10(cn.c_str(), exportable ? 0x101 : 0x100))
                               : take(capi.CreatePKCS10(cn.c_str(), 2048, exportable ? 1 : 0));
    if (csr.empty()) return "";
    EVP_PKEY* key = vtest::SignerPki::requestKey(fromB64(csr));
    if (!key) return "";
    vtest::CertSpec spec;
    spec.subject = {{"CN", cn}};
    spec.serialHex = "0C0D";
    const std::string der = pki_->make(spec, key);
    EVP_PKEY_free(key);
    strabel::ByteBuffer b64;
    strabel::Base64Encode(der.data(), int32_t(der.size()), b64);
    if (capi.AcceptPKCS7(b64.c_str()) != 0) return "";
    vtest::writeFile(dir_ + "/" + cn + ".crt", vtest::SignerPki::pem(der));
    return der;
  }

  // openssl reads the file with the password and the public half of its key
  // matches the certificate's.
  void expectOpensWithKey(const std::string& path, const std::string& password) {
    std::string out;
    ASSERT_TRUE(run({"openssl", "pkcs12", "-in", path, "-nodes", "-passin", "pass:" + password, "-out",
                     dir_ + "/dump.pem"},
                    &out))
        << out;
    std::string keyPub, certPub;
    ASSERT_TRUE(run({"openssl", "pkey", "-in", dir_ + "/dump.pem", "-pubout"}, &keyPub)) << keyPub;
    ASSERT_TRUE(run({"openssl", "x509", "-in", dir_ + "/dump.pem", "-pubkey", "-noout"}, &certPub)) << certPub;
    EXPECT_EQ(keyPub, certPub);
    // AES-256 under PBES2 and a SHA-256 MAC: no -legacy needed.
    ASSERT_TRUE(run({"openssl", "pkcs12", "-in", path, "-info", "-nokeys", "-passin", "pass:" + password}, &out))
        << out;
    EXPECT_NE(out.find("MAC: sha256"), std::string::npos) << out;
    EXPECT_NE(out.find("PBES2, PBKDF2, AES-256-CBC"), std::string::npos) << out;
    EXPECT_NE(out.find("hmacWithSHA256"), std::string::npos) << out;
  }

  static vtest::SignerPki* pki_;
  CCAPILib capi;
  std::string dir_;
  std::deque<velmora::ui::DialogResult> answers_;
  std::shared_ptr<velmora::ui::FunctionDialogService> service_;
  std::unique_ptr<velmora::ui::ScopedDialogService> scoped_;
  std::vector<velmora::ui::DialogRequest> requests_;
};

vtest::SignerPki* PfxFiles::pki_ = nullptr;

velmora::ui::DialogResult okWith(std::map<std::string, std::string> fields) {
  velmora::ui::DialogResult r;
  r.button = "ok";
  for (auto& [k, v] : fields) r.fields[k] = v;
  return r;
}

// ---- Import and query ----

TEST_F(PfxFiles, ImportAddsOnlyTheHolderBoundToItsKey) {
  addTo("ROOT", pki_->rootDer());
  struct {
    const char* name;
    std::vector<std::string> extra;
    bool ec;
  } cases[] = {{"aes", {}, false}, {"legacy", {"-legacy"}, false}, {"ec", {}, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clearStore("MY");
    const std::string cn = std::string("Holder ") + c.name;
    const std::string file = makePfx(c.name, cn, c.extra, c.ec);
    ASSERT_FALSE(file.empty());
    ASSERT_EQ(capi.ImportPfxToIE(dir_.c_str(), file.c_str(), "pw1", 0, 0), 0) << capi.GetCapiErrorCode();
    EXPECT_EQ(namesInMy(), std::vector<std::string>{cn});
    EXPECT_EQ(take(capi.GetImportedPfxFileName()), file);
    EXPECT_EQ(take(capi.GetImportedPfxFilePath()), dir_);
    EXPECT_EQ(take(capi.GetCertSubjectCN()), cn);

    // The key stayed and signs: openssl cms verifies the SignedData.
    ASSERT_EQ(capi.SelectSigner(("S_CN=" + cn).c_str(), 0x100, 0), 0);
    const std::string p7 = fromB64(take(capi.SignPkcs7("signed after import", 0x800)));
    ASSERT_FALSE(p7.empty()) << capi.GetErrorCode();
    vtest::writeFile(dir_ + "/p7.der", p7);
    std::string out;
    EXPECT_TRUE(run({"openssl", "cms", "-verify", "-inform", "DER", "-in", dir_ + "/p7.der", "-CAfile",
                     dir_ + "/root.pem", "-purpose", "any", "-binary", "-out", dir_ + "/content"},
                    &out))
        << out;
    EXPECT_EQ(vtest::readFile(dir_ + "/content"), "signed after import");
  }

  // Files that give nothing to import.
  ASSERT_EQ(makePfx("alone", "Alone", {}, false, nullptr, false), "alone.pfx");
  std::string out;
  ASSERT_TRUE(run({"openssl", "pkcs12", "-export", "-nokeys", "-in", dir_ + "/aes.cas", "-out", dir_ + "/cas.pfx",
                   "-passout", "pass:pw1"},
                  &out))
      << out;
  clearStore("MY");
  struct {
    const char* name;
    const char* password;
    long keyUsage;
    int status;
  } failures[] = {{"cas.pfx", "pw1", 0, 5204},
                  {"aes.pfx", "wrong", 0, 5208},
                  {"alone.pfx", "pw1", 0x20, 5017},  // keyEncipherment: the holder signs only
                  {"none.pfx", "pw1", 0, 5902}};
  for (const auto& f : failures) {
    EXPECT_EQ(capi.ImportPfxToIE(dir_.c_str(), f.name, f.password, 0, f.keyUsage), f.status) << f.name;
    EXPECT_EQ(take(capi.GetImportedPfxFileName()), "") << f.name;
  }
  EXPECT_TRUE(namesInMy().empty());
}

TEST_F(PfxFiles, QueryLeavesNoKeyAndTheGettersDescribeTheHolder) {
  const std::string file = makePfx("query", "Query Holder", {}, false, nullptr, false);
  ASSERT_FALSE(file.empty());
  const int before = keyFiles();
  ASSERT_EQ(capi.QueryPfxInfo(dir_.c_str(), file.c_str(), "pw1", 0, 0), 0);
  EXPECT_EQ(keyFiles(), before);
  EXPECT_TRUE(namesInMy().empty());
  EXPECT_EQ(take(capi.GetCertSubjectCN()), "Query Holder");
  EXPECT_EQ(take(capi.GetSignerPfxFileName()), file);
  EXPECT_EQ(take(capi.GetSignerPfxFilePath()), dir_);
  // Nothing was chosen for signing.
  EXPECT_EQ(take(capi.SignPkcs7("x", 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5067);

  EXPECT_EQ(capi.QueryPfxInfo(dir_.c_str(), file.c_str(), "pw1", 0, 0x20), 5017);
  EXPECT_EQ(capi.QueryPfxInfo(dir_.c_str(), file.c_str(), "bad", 0, 0), 5208);
  EXPECT_EQ(keyFiles(), before);
}

// ---- Password change ----

TEST_F(PfxFiles, ChangePasswordKeepsTheFileWholeWhateverHappens) {
  const std::string file = makePfx("chg", "Change Holder", {});
  ASSERT_FALSE(file.empty());
  const std::string path = dir_ + "/" + file;
  const std::string original = vtest::readFile(path);

  EXPECT_EQ(capi.ChangePfxPasswd(dir_.c_str(), file.c_str(), "wrong", "pw2", 0), 5208);
  EXPECT_EQ(vtest::readFile(path), original);

  // A full disk half-way through, and a process killed there.
  int calls = 0;
  strabel::SetPfxWriteHookForTest([&](const std::string&) {
    ++calls;
    return false;
  });
  EXPECT_EQ(capi.ChangePfxPasswd(dir_.c_str(), file.c_str(), "pw1", "pw2", 0), 1103);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(vtest::readFile(path), original);
  EXPECT_EQ(filesIn(dir_), 6) << "a temporary file was left";
  strabel::SetPfxWriteHookForTest(nullptr);
  fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    strabel::SetPfxWriteHookForTest([](const std::string&) -> bool { _exit(77); });
    capi.ChangePfxPasswd(dir_.c_str(), file.c_str(), "pw1", "pw2", 0);
    _exit(0);
  }
  int wstatus = 0;
  ASSERT_EQ(waitpid(child, &wstatus, 0), child);
  ASSERT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(WEXITSTATUS(wstatus), 77) << "the write was not interrupted";
  EXPECT_EQ(vtest::readFile(path), original);

  // The change itself: only the new password opens the file now.
  chmod(path.c_str(), 0644);
  ASSERT_EQ(capi.ChangePfxPasswd(dir_.c_str(), file.c_str(), "pw1", "pw2", 0), 0) << capi.GetCapiErrorCode();
  EXPECT_NE(vtest::readFile(path), original);
  EXPECT_EQ(modeOf(path), 0600u);
  expectOpensWithKey(path, "pw2");
  std::string out;
  EXPECT_FALSE(run({"openssl", "pkcs12", "-in", path, "-info", "-nokeys", "-passin", "pass:pw1"}, &out));
  EXPECT_FALSE(run({"openssl", "pkcs12", "-in", path, "-info", "-nokeys", "-passin", "pass:pw1", "-legacy"}, &out));
}

TEST_F(PfxFiles, ChangePasswordExUpdatesTheSharedRecordOfThatFile) {
  const std::string file = makePfx("shared", "Shared Holder", {});
  ASSERT_FALSE(file.empty());
  strabel::cSharedMemory* m = strabel::SharedSigner(strabel::capiCore());
  ASSERT_NE(m, nullptr);
  auto put = [&](const std::string& key, const std::string& value) {
    if (m->Exists(key)) m->Remove(key);
    m->Add(key, DWORD(value.size()), value.data());
  };
  if (m->Exists("signerMedia")) m->Remove("signerMedia");
  m->AddInt("signerMedia", 2);
  put("signerCertFilePath", dir_);
  put("signerCertFileName", "SHARED.PFX");  // names compare without regard to case
  put("signerCertPasswd", "pw1");
  ASSERT_EQ(capi.ChangePfxPasswdEx(dir_.c_str(), file.c_str(), "pw1", "pw2", 0, 0), 0);
  EXPECT_EQ(m->GetText("signerCertPasswd"), "pw1");  // no port: the record is left alone
  ASSERT_EQ(capi.ChangePfxPasswdEx(dir_.c_str(), file.c_str(), "pw2", "pw3", 1, 0), 0);
  EXPECT_EQ(m->GetText("signerCertPasswd"), "pw3");
  put("signerCertFileName", "other.pfx");
  ASSERT_EQ(capi.ChangePfxPasswdEx(dir_.c_str(), file.c_str(), "pw3", "pw4", 1, 0), 0);
  EXPECT_EQ(m->GetText("signerCertPasswd"), "pw3");
  expectOpensWithKey(dir_ + "/" + file, "pw4");
}

// ---- Export from "MY" ----

TEST_F(PfxFiles, ExportWritesAPrivateFileThatOpensWithItsKey) {
  ASSERT_FALSE(installed("Export Me", true).empty());
  const std::string folder = dir_ + "/made";
  ASSERT_EQ(capi.ExportPfxFromIE("S_CN=Export Me", folder.c_str(), "expw", 0, 0), 0) << capi.GetCapiErrorCode();
  EXPECT_EQ(take(capi.GetExportedPfxFilePath()), folder);
  EXPECT_EQ(take(capi.GetExportedPfxFileName()), "Export Me.pfx");
  const std::string path = folder + "/Export Me.pfx";
  EXPECT_EQ(modeOf(folder), 0700u);
  EXPECT_EQ(modeOf(path), 0600u);
  expectOpensWithKey(path, "expw");
  EXPECT_EQ(namesInMy(), std::vector<std::string>{"Export Me"});

  // The component's own loader reads it back too.
  EXPECT_EQ(capi.QueryPfxInfo(folder.c_str(), "Export Me.pfx", "expw", 0, 0), 0);
  EXPECT_EQ(take(capi.GetCertSubjectCN()), "Export Me");

  // The name rule: the prefix, with ".pfx" added unless it holds it already.
  struct {
    const char* prefix;
    const char* name;
  } names[] = {{"mine", "mine.pfx"}, {"Backup.PFX.old", "Backup.PFX.old"}, {"x.Pfx", "x.Pfx"}};
  for (const auto& n : names) {
    ASSERT_EQ(capi.SetDefaultPfxFileName(n.prefix), 0);
    ASSERT_EQ(capi.ExportPfxFromIE("S_CN=Export Me", folder.c_str(), "expw", 0, 0), 0) << n.prefix;
    EXPECT_EQ(take(capi.GetExportedPfxFileName()), n.name);
    EXPECT_EQ(modeOf(folder + "/" + n.name), 0600u) << n.name;
  }
  ASSERT_EQ(capi.SetDefaultPfxFileName(""), 0);

  // A folder path that is a file, and a folder two levels down.
  vtest::writeFile(dir_ + "/plain", "x");
  EXPECT_EQ(capi.ExportPfxFromIE("S_CN=Export Me", (dir_ + "/plain").c_str(), "expw", 0, 0), 1001);
  EXPECT_EQ(capi.ExportPfxFromIE("S_CN=Export Me", (dir_ + "/a/b").c_str(), "expw", 0, 0), 1001);
  EXPECT_EQ(take(capi.GetExportedPfxFileName()), "");
  EXPECT_EQ(capi.ExportPfxFromIE("S_CN=Nobody", folder.c_str(), "expw", 0, 0), 5010);

  // 0x1000: the certificate leaves "MY" once the file is written.
  ASSERT_EQ(capi.ExportPfxFromIE("S_CN=Export Me", (dir_ + "/moved").c_str(), "expw", 0x1000, 0), 0);
  EXPECT_TRUE(namesInMy().empty());
  expectOpensWithKey(dir_ + "/moved/Export Me.pfx", "expw");
}

TEST_F(PfxFiles, ExportOfAnEcKeyAndRefusalOfAKeyThatMayNotLeave) {
  ASSERT_FALSE(installed("Ec Export", true, true).empty());
  ASSERT_EQ(capi.ExportPfxFromIE("S_CN=Ec Export", dir_.c_str(), "ecpw", 0, 0), 0) << capi.GetCapiErrorCode();
  expectOpensWithKey(dir_ + "/Ec Export.pfx", "ecpw");

  for (bool ec : {false, true}) {
    const std::string cn = ec ? "Ec Locked" : "Rsa Locked";
    ASSERT_FALSE(installed(cn, false, ec).empty());
    EXPECT_EQ(capi.ExportPfxFromIE(("S_CN=" + cn).c_str(), (dir_ + "/locked").c_str(), "pw", 0x1000, 0), 5205);
    EXPECT_EQ(DWORD(capi.GetCapiErrorCode()), DWORD(NTE_BAD_KEY_STATE)) << cn;
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/locked")) << cn;
    const auto names = namesInMy();
    EXPECT_NE(std::find(names.begin(), names.end(), cn), names.end()) << "0x1000 deleted without a file";
  }
}

// ---- Mobile form ----

struct Container {
  std::string magic;
  DWORD bits = 0, exponent = 0;
  std::vector<std::string> parts;  // n, p, q, dp, dq, qi, d
  std::string cn, serial, thumbprint, notBefore, notAfter, cert;
  size_t keyBytes = 0;
  bool whole = false;
};

DWORD be32(const std::string& s, size_t at) {
  return DWORD((unsigned char)s[at]) << 24 | DWORD((unsigned char)s[at + 1]) << 16 |
         DWORD((unsigned char)s[at + 2]) << 8 | DWORD((unsigned char)s[at + 3]);
}

Container parse(const std::string& plain) {
  Container c;
  if (plain.size() < 12) return c;
  c.magic = plain.substr(0, 4);
  c.bits = be32(plain, 4);
  c.exponent = be32(plain, 8);
  size_t at = 12;
  const size_t full = c.bits / 8, half = c.bits / 16;
  for (size_t w : {full, half, half, half, half, half, full}) {
    if (at + w > plain.size()) return c;
    c.parts.push_back(plain.substr(at, w));
    at += w;
    c.keyBytes += w;
  }
  auto field = [&](std::string& out) {
    if (at + 4 > plain.size()) return false;
    const DWORD n = be32(plain, at);
    at += 4;
    if (at + n > plain.size()) return false;
    out = plain.substr(at, n);
    at += n;
    return true;
  };
  if (!field(c.cn) || !field(c.serial) || at + 48 > plain.size()) return c;
  c.thumbprint = plain.substr(at, 20);
  c.notBefore = plain.substr(at + 20, 14);
  c.notAfter = plain.substr(at + 34, 14);
  at += 48;
  if (!field(c.cert)) return c;
  c.whole = at == plain.size();
  return c;
}

class MobileForm : public PfxFiles {
 protected:
  // openssl enc decrypts the form with SHA-1(password) || the constant as
  // the key and a zero IV.
  std::string decrypt(const std::string& text, const std::string& password) {
    unsigned char key[24];
    SHA1(reinterpret_cast<const unsigned char*>(password.data()), password.size(), key);
    const unsigned char tail[4] = {0x4D, 0x4F, 0x42, 0x31};
    memcpy(key + 20, tail, 4);
    vtest::writeFile(dir_ + "/mobile.bin", fromB64(text));
    std::string out;
    if (!run({"openssl", "enc", "-d", "-des-ede3-cbc", "-K", hex(std::string(reinterpret_cast<char*>(key), 24)),
              "-iv", "0000000000000000", "-in", dir_ + "/mobile.bin", "-out", dir_ + "/mobile.plain"},
             &out)) {
      ADD_FAILURE() << out;
      return "";
    }
    return vtest::readFile(dir_ + "/mobile.plain");
  }

  // The container against the certificate (DER) and, when known, the key.
  void expectContainer(const Container& c, const std::string& der, EVP_PKEY* key) {
    ASSERT_TRUE(c.whole);
    EXPECT_EQ(c.magic, "KAVO");
    EXPECT_EQ(c.bits, 2048u);
    EXPECT_EQ(c.exponent, 65537u);
    EXPECT_EQ(c.keyBytes, 1152u);
    EXPECT_EQ(c.cert, der);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    X509* x = d2i_X509(nullptr, &p, long(der.size()));
    ASSERT_NE(x, nullptr);
    EVP_PKEY* pub = X509_get0_pubkey(x);
    BIGNUM* n = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(pub, OSSL_PKEY_PARAM_RSA_N, &n), 1);
    std::string nBytes(size_t(BN_num_bytes(n)), '\0');
    BN_bn2bin(n, reinterpret_cast<unsigned char*>(nBytes.data()));
    EXPECT_EQ(c.parts[0], nBytes);
    // p * q is the modulus, whatever the key was.
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* bp = BN_bin2bn(reinterpret_cast<const unsigned char*>(c.parts[1].data()), int(c.parts[1].size()), nullptr);
    BIGNUM* bq = BN_bin2bn(reinterpret_cast<const unsigned char*>(c.parts[2].data()), int(c.parts[2].size()), nullptr);
    BIGNUM* prod = BN_new();
    BN_mul(prod, bp, bq, ctx);
    EXPECT_EQ(BN_cmp(prod, n), 0);
    if (key) {
      BIGNUM* d = nullptr;
      ASSERT_EQ(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_D, &d), 1);
      std::string dBytes(256, '\0');
      BN_bn2binpad(d, reinterpret_cast<unsigned char*>(dBytes.data()), 256);
      EXPECT_EQ(c.parts[6], dBytes);
      BN_clear_free(d);
    }
    BN_free(bp);
    BN_free(bq);
    BN_free(prod);
    BN_CTX_free(ctx);
    BN_free(n);
    unsigned char sha[20];
    SHA1(reinterpret_cast<const unsigned char*>(der.data()), der.size(), sha);
    EXPECT_EQ(c.thumbprint, std::string(reinterpret_cast<char*>(sha), 20));
    strabel::CertInfo info;
    ASSERT_TRUE(info.FromBytes(reinterpret_cast<const BYTE*>(der.data()), int32_t(der.size())));
    EXPECT_EQ(c.cn, info.SubjectCN());
    EXPECT_EQ(c.notBefore, info.NotBefore());
    EXPECT_EQ(c.notAfter, info.NotAfter());
    X509_free(x);
  }
};

TEST_F(MobileForm, FromAPfxFileDecryptsToTheContainer) {
  EVP_PKEY* key = nullptr;
  const std::string file = makePfx("mobile", "Mobile Holder", {}, false, &key);
  ASSERT_FALSE(file.empty());
  const int before = keyFiles();
  const std::string text = take(capi.ExportMobileFromPfx(dir_.c_str(), file.c_str(), "pw1", 0, 0));
  ASSERT_FALSE(text.empty()) << capi.GetErrorCode();
  EXPECT_EQ(capi.GetErrorCode(), 0);
  EXPECT_EQ(take(capi.GetExportedPfxFileName()), file);
  EXPECT_EQ(take(capi.GetExportedPfxFilePath()), dir_);
  EXPECT_EQ(keyFiles(), before);
  const Container c = parse(decrypt(text, "pw1"));
  expectContainer(c, vtest::readFile(dir_ + "/mobile.der"), key);
  EXPECT_EQ(hex(c.serial), "00a1b2");
  EVP_PKEY_free(key);
  // A zero IV: the same input gives the same text.
  EXPECT_EQ(take(capi.ExportMobileFromPfx(dir_.c_str(), file.c_str(), "pw1", 0, 0)), text);

  EXPECT_EQ(take(capi.ExportMobileFromPfx(dir_.c_str(), file.c_str(), "nope", 0, 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5208);
  EXPECT_EQ(take(capi.GetExportedPfxFileName()), "");
  EXPECT_EQ(take(capi.ExportMobileFromPfx(dir_.c_str(), file.c_str(), "pw1", 0, 0x20)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5017);
  EXPECT_EQ(take(capi.ExportMobileFromPfx(dir_.c_str(), "gone.pfx", "pw1", 0, 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5902);
}

TEST_F(MobileForm, FromTheStoreAndAKeyThatMayNotLeave) {
  const std::string der = installed("Mobile Store", true);
  ASSERT_FALSE(der.empty());
  const std::string text = take(capi.ExportMobileFromIE("S_CN=Mobile Store", "mpw", 0, 0));
  ASSERT_FALSE(text.empty()) << capi.GetErrorCode();
  const Container c = parse(decrypt(text, "mpw"));
  expectContainer(c, der, nullptr);
  EXPECT_EQ(hex(c.serial), "0c0d");
  EXPECT_EQ(take(capi.GetExportedPfxFileName()), "");
  EXPECT_EQ(take(capi.ExportMobileFromIE("S_CN=Mobile Store", "mpw", 0, 0)), text);

  ASSERT_FALSE(installed("Mobile Locked", false).empty());
  EXPECT_EQ(take(capi.ExportMobileFromIE("S_CN=Mobile Locked", "mpw", 0, 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5205);

  // No password: the password dialog asks; its answer is the password.
  answers_.push_back(okWith({{"password", "asked"}}));
  const std::string asked = take(capi.ExportMobileFromIE("S_CN=Mobile Store", "", 0, 0));
  ASSERT_FALSE(asked.empty());
  ASSERT_FALSE(requests_.empty());
  EXPECT_EQ(requests_.back().kind, "password");
  EXPECT_EQ(parse(decrypt(asked, "asked")).cert, der);
  EXPECT_EQ(take(capi.ExportMobileFromIE("S_CN=Mobile Store", "", 0, 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5070);
}

TEST(SoftTripleDes, MatchesTheProviderCipherAndAPublishedVector) {
  // FIPS 81 / the classic worked example: one DES block.
  strabel::CSoftBlockCipher des;
  des.SetAlgorithm(CALG_DES);
  const BYTE key[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
  const BYTE block[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  ASSERT_TRUE(des.SetKey(key, 8));
  ASSERT_TRUE(des.Encrypt(block, 8));
  ASSERT_EQ(des.Output().length(), 16);  // the block and a whole padding block
  EXPECT_EQ(hex(des.Output().str().substr(0, 8)), "85e813540f0ab405");
  EXPECT_FALSE(des.SetKey(key, 7));

  // Triple DES against OpenSSL's EVP for lengths around the block size.
  BYTE k3[24];
  for (int i = 0; i < 24; ++i) k3[i] = BYTE(i * 37 + 11);
  for (size_t len : {0u, 1u, 7u, 8u, 9u, 16u, 1000u}) {
    std::string plain(len, '\0');
    for (size_t i = 0; i < len; ++i) plain[i] = char(i * 13);
    strabel::CSoftBlockCipher tdes;
    tdes.SetAlgorithm(CALG_3DES);
    ASSERT_TRUE(tdes.SetKey(k3, 24));
    ASSERT_TRUE(tdes.Encrypt(reinterpret_cast<const BYTE*>(plain.data()), DWORD(len)));
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const unsigned char iv[8] = {};
    std::string expected(len + 8, '\0');
    int n1 = 0, n2 = 0;
    EVP_EncryptInit_ex(ctx, EVP_des_ede3_cbc(), nullptr, k3, iv);
    EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(expected.data()), &n1,
                      reinterpret_cast<const unsigned char*>(plain.data()), int(len));
    EVP_EncryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(expected.data()) + n1, &n2);
    EVP_CIPHER_CTX_free(ctx);
    expected.resize(size_t(n1 + n2));
    EXPECT_EQ(tdes.Output().str(), expected) << len;
  }
}

// ---- Dialog paths ----

TEST_F(PfxFiles, DialogsAskForWhatIsMissing) {
  const std::string file = makePfx("dlg", "Dialog Holder", {});
  ASSERT_FALSE(file.empty());
  // Cancel in each dialog.
  EXPECT_EQ(capi.ImportPfxToIE(dir_.c_str(), file.c_str(), "", 0, 0), 5070);
  EXPECT_EQ(requests_.back().kind, "pfx-file");
  EXPECT_EQ(capi.QueryPfxInfo("", "", "", 0, 0), 5070);
  EXPECT_EQ(capi.ChangePfxPasswd(dir_.c_str(), file.c_str(), "pw1", "", 0), 5070);
  EXPECT_EQ(requests_.back().kind, "change-password");
  EXPECT_EQ(take(capi.ExportMobileFromPfx("", "", "", 0, 0)), "");
  EXPECT_EQ(capi.GetErrorCode(), 5070);
  EXPECT_EQ(requests_.back().kind, "export-file");
  EXPECT_EQ(requests_.back().options["browse"], "open-file");

  // A differing confirmation ends the change; the file is untouched.
  const std::string original = vtest::readFile(dir_ + "/" + file);
  answers_.push_back(okWith({{"folder", dir_}, {"name", file}, {"old-password", "pw1"}, {"new-password", "n1"},
                             {"confirm-password", "n2"}}));
  EXPECT_EQ(capi.ChangePfxPasswd(dir_.c_str(), file.c_str(), "pw1", "", 0), 5209);
  EXPECT_EQ(vtest::readFile(dir_ + "/" + file), original);

  // Answers that complete the call.
  answers_.push_back(okWith({{"folder", dir_}, {"name", file}, {"password", "pw1"}}));
  EXPECT_EQ(capi.ImportPfxToIE("", "", "", 0, 0), 0);
  EXPECT_EQ(take(capi.GetImportedPfxFileName()), file);
  // The export dialog comes pre-filled with the name the rule gives.
  answers_.push_back(okWith({{"folder", dir_ + "/out"}, {"name", "chosen.pfx"}, {"password", "d1"}, {"confirm", "d1"}}));
  // The imported key is not exportable (flags 0), so ask for the name and then refuse.
  EXPECT_EQ(capi.ExportPfxFromIE("S_CN=Dialog Holder", "", "", 0, 0), 5205);
  ASSERT_EQ(requests_.back().kind, "export-file");
  std::string offered;
  for (const auto& f : requests_.back().fields)
    if (f.name == "name") offered = f.value;
  EXPECT_EQ(offered, "Dialog Holder.pfx");
  clearStore("MY");
  ASSERT_EQ(capi.ImportPfxToIE(dir_.c_str(), file.c_str(), "pw1", 1, 0), 0);  // exportable this time
  answers_.push_back(okWith({{"folder", dir_ + "/out"}, {"name", "chosen.pfx"}, {"password", "d1"}, {"confirm", "d1"}}));
  ASSERT_EQ(capi.ExportPfxFromIE("S_CN=Dialog Holder", "", "", 0, 0), 0) << capi.GetCapiErrorCode();
  EXPECT_EQ(take(capi.GetExportedPfxFileName()), "chosen.pfx");
  expectOpensWithKey(dir_ + "/out/chosen.pfx", "d1");
  EXPECT_EQ(capi.ExportPfxFromIE("S_CN=Dialog Holder", "", "", 0, 0), 5070);
}

}  // namespace
