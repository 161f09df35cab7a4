// Private keys at rest. With a Secret Service (a private gnome-keyring on a
// private session bus, started by the test) no key file holds a readable key
// (checked with `openssl pkey`), signing and reopening work, edited flags do
// not open a key, and an old plain file is sealed on its next write. When
// the wrapping key is gone or no keyring answers, a sealed key is refused
// with NTE_BAD_KEY_STATE and its file is left alone. Without a Secret Service
// (no bus, or a bus with no keyring) files stay plain and 0600.
#include <openssl/evp.h>

#include <ncrypt.h>
#include <wincrypt.h>
#include <windows.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using Bytes = std::vector<BYTE>;
const char kStepVar[] = "KEY_PROTECTION_STEP";

std::string step() {
  const char* s = getenv(kStepVar);
  return s ? s : "";
}

std::string hexSha1(std::string name) {
  for (char& c : name) c = char(tolower(static_cast<unsigned char>(c)));
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  EVP_Digest(name.data(), name.size(), md, &n, EVP_sha1(), nullptr);
  std::string hex;
  for (unsigned i = 0; i < n; ++i) {
    char b[3];
    snprintf(b, sizeof b, "%02x", md[i]);
    hex += b;
  }
  return hex;
}

std::string cryptoDir() { return vtest::profileDir() + "/home/.local/share/velmora/Crypto"; }
std::string containerPath(const std::string& name) { return cryptoDir() + "/RSA/" + hexSha1(name) + ".key"; }
std::string cngPath(const std::string& name) { return cryptoDir() + "/Keys/" + hexSha1(name) + ".key"; }

nlohmann::json readJson(const std::string& path) {
  return nlohmann::json::parse(vtest::readFile(path), nullptr, false);
}

std::string unb64(const std::string& text) {
  std::string out(text.size(), '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()), int(text.size()));
  if (n < 0) return {};
  size_t pad = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : !text.empty() && text.back() == '=' ? 1 : 0;
  out.resize(size_t(n) - pad);
  return out;
}

// `openssl pkey` reads the bytes as a private key (DER, then PEM).
bool opensslReadsKey(const std::string& bytes) {
  const std::string file = vtest::makeTempDir("pkey") + "/key";
  vtest::writeFile(file, bytes);
  for (const char* form : {"DER", "PEM"}) {
    auto r = vtest::runCommand({"openssl", "pkey", "-inform", form, "-in", file, "-noout"});
    if (r.status == 0) return true;
  }
  return false;
}

// Every private key field of a key file: sealed, or plain PKCS#8.
struct KeyFields {
  std::vector<std::string> sealed, plain;
};
KeyFields fieldsOf(const nlohmann::json& j) {
  KeyFields f;
  auto take = [&](const nlohmann::json& k) {
    if (k.contains("sealed")) f.sealed.push_back(unb64(k["sealed"].get<std::string>()));
    if (k.contains("pkcs8")) f.plain.push_back(unb64(k["pkcs8"].get<std::string>()));
  };
  if (j.contains("keys"))
    for (const auto& k : j["keys"]) take(k);
  else
    take(j);
  return f;
}

mode_t modeOf(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

// Signs with the container's signature key and verifies with `openssl pkeyutl`.
void signAndVerify(HCRYPTPROV prov, DWORD spec) {
  const std::string data = "data to sign";
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
  ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size()), 0));
  BYTE sig[1024];
  DWORD sigLen = sizeof sig;
  ASSERT_TRUE(CryptSignHashA(hash, spec, nullptr, 0, sig, &sigLen)) << std::hex << GetLastError();
  CryptDestroyHash(hash);
  std::reverse(sig, sig + sigLen);  // CryptoAPI gives it little-endian

  DWORD n = 0;
  ASSERT_TRUE(CryptExportPublicKeyInfo(prov, spec, X509_ASN_ENCODING, nullptr, &n));
  Bytes info(n);
  auto* pub = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data());
  ASSERT_TRUE(CryptExportPublicKeyInfo(prov, spec, X509_ASN_ENCODING, pub, &n));
  DWORD derLen = 0;
  ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, pub, nullptr, &derLen));
  Bytes der(derLen);
  ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, pub, der.data(), &derLen));

  const std::string dir = vtest::makeTempDir("verify");
  vtest::writeFile(dir + "/pub.der", std::string(der.begin(), der.begin() + derLen));
  vtest::writeFile(dir + "/sig", std::string(reinterpret_cast<char*>(sig), sigLen));
  vtest::writeFile(dir + "/data", data);
  auto r = vtest::runCommand({"openssl", "dgst", "-sha1", "-verify", dir + "/pub.der", "-keyform", "DER",
                              "-signature", dir + "/sig", dir + "/data"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

HCRYPTPROV newContainer(const std::string& name) {
  HCRYPTPROV prov = 0;
  EXPECT_TRUE(CryptAcquireContextA(&prov, name.c_str(), MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_NEWKEYSET))
      << std::hex << GetLastError();
  return prov;
}

DWORD genKey(HCRYPTPROV prov, DWORD spec, DWORD flags) {
  HCRYPTKEY key = 0;
  if (!CryptGenKey(prov, spec, (1024u << 16) | flags, &key)) return GetLastError();
  CryptDestroyKey(key);
  return 0;
}

DWORD userKeyError(const std::string& name, DWORD spec) {
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextA(&prov, name.c_str(), MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0)) return GetLastError();
  HCRYPTKEY key = 0;
  DWORD error = CryptGetUserKey(prov, spec, &key) ? 0 : GetLastError();
  if (key) CryptDestroyKey(key);
  CryptReleaseContext(prov, 0);
  return error;
}

// The key storage provider, looked up as the components do.
struct Cng {
  Cng() {
    lib = LoadLibraryA(VELMORA_LIB_DIR "/ncrypt.so");
    auto get = [&](const char* n) { return lib ? reinterpret_cast<void*>(GetProcAddress(lib, n)) : nullptr; };
    open = reinterpret_cast<decltype(open)>(get("NCryptOpenStorageProvider"));
    openKey = reinterpret_cast<decltype(openKey)>(get("NCryptOpenKey"));
    create = reinterpret_cast<decltype(create)>(get("NCryptCreatePersistedKey"));
    finalize = reinterpret_cast<decltype(finalize)>(get("NCryptFinalizeKey"));
    exportKey = reinterpret_cast<decltype(exportKey)>(get("NCryptExportKey"));
    sign = reinterpret_cast<decltype(sign)>(get("NCryptSignHash"));
    freeObject = reinterpret_cast<decltype(freeObject)>(get("NCryptFreeObject"));
    if (open) open(&prov, MS_KEY_STORAGE_PROVIDER, 0);
  }
  ~Cng() {
    if (prov) freeObject(prov);
    if (lib) FreeLibrary(lib);
  }
  SECURITY_STATUS makeKey(const char16_t* name) {
    NCRYPT_KEY_HANDLE key = 0;
    SECURITY_STATUS rc = create(prov, &key, NCRYPT_ECDSA_P256_ALGORITHM, name, 0, 0);
    if (!rc) rc = finalize(key, 0);
    if (key) freeObject(key);
    return rc;
  }
  // Opens the key and signs a digest with it.
  SECURITY_STATUS openAndSign(const char16_t* name) {
    NCRYPT_KEY_HANDLE key = 0;
    SECURITY_STATUS rc = openKey(prov, &key, name, 0, 0);
    if (rc) return rc;
    BYTE digest[32] = {1, 2, 3}, sig[64];
    DWORD n = 0;
    rc = sign(key, nullptr, digest, sizeof digest, sig, sizeof sig, &n, 0);
    if (!rc) {
      // The private blob of a key without an export policy is refused.
      BYTE blob[256];
      DWORD m = 0;
      EXPECT_EQ(exportKey(key, 0, BCRYPT_ECCPRIVATE_BLOB, nullptr, blob, sizeof blob, &m, 0),
                SECURITY_STATUS(NTE_NOT_SUPPORTED));
    }
    freeObject(key);
    return rc;
  }
  HMODULE lib = nullptr;
  NCRYPT_PROV_HANDLE prov = 0;
  SECURITY_STATUS(WINAPI* open)(NCRYPT_PROV_HANDLE*, LPCWSTR, DWORD) = nullptr;
  SECURITY_STATUS(WINAPI* openKey)(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE*, LPCWSTR, DWORD, DWORD) = nullptr;
  SECURITY_STATUS(WINAPI* create)(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE*, LPCWSTR, LPCWSTR, DWORD, DWORD) = nullptr;
  SECURITY_STATUS(WINAPI* finalize)(NCRYPT_KEY_HANDLE, DWORD) = nullptr;
  SECURITY_STATUS(WINAPI* exportKey)(NCRYPT_KEY_HANDLE, NCRYPT_KEY_HANDLE, LPCWSTR, void*, PBYTE, DWORD, DWORD*,
                                     DWORD) = nullptr;
  SECURITY_STATUS(WINAPI* sign)(NCRYPT_KEY_HANDLE, void*, PBYTE, DWORD, PBYTE, DWORD, DWORD*, DWORD) = nullptr;
  SECURITY_STATUS(WINAPI* freeObject)(NCRYPT_HANDLE) = nullptr;
};

bool haveKeyringTools() {
  for (const char* tool : {"dbus-run-session", "gnome-keyring-daemon", "secret-tool"}) {
    auto r = vtest::runCommand({"sh", "-c", std::string("command -v ") + tool});
    if (r.status != 0) return false;
  }
  return true;
}

std::string self() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

// Runs `script` (sh) on a private session bus; with `keyring`, a private
// gnome-keyring, unlocked, runs on it first. "$SELF <step>" in the script
// runs this test again as that step. Bus and keyring end with the script.
vtest::CommandResult onPrivateBus(bool keyring, const std::string& script) {
  const auto* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string body = "run() { " + std::string(kStepVar) + "=$1 \"$SELF\" --gtest_filter=" + info->test_suite_name() +
                     "." + info->name() + " || exit 1; }; ";
  if (keyring)
    body += "printf pass | gnome-keyring-daemon --unlock --components=secrets >/dev/null || exit 2; ";
  body += script;
  return vtest::runCommand({"dbus-run-session", "--", "sh", "-c", body}, {"SELF=" + self()});
}

// How many steps ran and passed.
size_t passedSteps(const std::string& out) {
  size_t n = 0;
  for (size_t at = out.find("[       OK ]"); at != std::string::npos; at = out.find("[       OK ]", at + 1)) ++n;
  return n;
}

// Every file under the key folders 0600, every folder 0700.
void expectPrivateTree() {
  EXPECT_EQ(modeOf(cryptoDir()), 0700u);
  for (const auto& e : std::filesystem::recursive_directory_iterator(cryptoDir()))
    EXPECT_EQ(modeOf(e.path().string()), e.is_directory() ? 0700u : 0600u) << e.path();
}

// A Unix socket that takes connections and never says a word: a session
// bus that does not answer.
struct SilentBus {
  SilentBus() {
    path = vtest::makeTempDir("bus") + "/socket";
    fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd, 16) == 0;
  }
  ~SilentBus() {
    if (fd >= 0) close(fd);
  }
  std::string path;
  int fd = -1;
  bool ok = false;
};

// ---- Steps run on the private bus ----

void sealStep() {
  umask(0);  // the files are private whatever the umask
  // CryptoAPI: a signature key (not exportable) and an exchange key (exportable).
  HCRYPTPROV prov = newContainer("sealed");
  ASSERT_EQ(genKey(prov, AT_SIGNATURE, 0), 0u);
  ASSERT_EQ(genKey(prov, AT_KEYEXCHANGE, CRYPT_EXPORTABLE), 0u);
  const std::string file = containerPath("sealed");
  auto j = readJson(file);
  EXPECT_EQ(j.value("format", 0), 2);
  auto fields = fieldsOf(j);
  EXPECT_EQ(fields.sealed.size(), 2u);
  EXPECT_TRUE(fields.plain.empty()) << vtest::readFile(file);
  for (const auto& s : fields.sealed) EXPECT_FALSE(opensslReadsKey(s));
  EXPECT_FALSE(opensslReadsKey(vtest::readFile(file)));
  EXPECT_EQ(modeOf(file), 0600u);
  signAndVerify(prov, AT_SIGNATURE);
  CryptReleaseContext(prov, 0);

  // Reopened: the keys still sign; the exportable one exports, the other
  // is refused by the platform.
  ASSERT_TRUE(CryptAcquireContextA(&prov, "sealed", MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0));
  signAndVerify(prov, AT_SIGNATURE);
  signAndVerify(prov, AT_KEYEXCHANGE);
  HCRYPTKEY key = 0;
  DWORD n = 0;
  ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &key));
  EXPECT_FALSE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &n));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEY_STATE));
  CryptDestroyKey(key);
  ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
  EXPECT_TRUE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &n));
  CryptDestroyKey(key);
  CryptReleaseContext(prov, 0);

  // Marking the sealed key exportable in the file does not open it.
  HCRYPTPROV edited = newContainer("edited");
  ASSERT_EQ(genKey(edited, AT_SIGNATURE, 0), 0u);
  CryptReleaseContext(edited, 0);
  auto e = readJson(containerPath("edited"));
  e["keys"]["2"]["exportable"] = true;
  vtest::writeFile(containerPath("edited"), e.dump());
  EXPECT_EQ(userKeyError("edited", AT_SIGNATURE), DWORD(NTE_KEYSET_ENTRY_BAD));

  // An old plain file is read as it is, and sealed on its next write.
  const std::string dir = vtest::makeTempDir("old");
  auto r = vtest::runCommand({"openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024",
                              "-out", dir + "/k.pem"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = vtest::runCommand({"openssl", "pkcs8", "-topk8", "-nocrypt", "-in", dir + "/k.pem", "-outform", "DER", "-out",
                         dir + "/k.der"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string der = vtest::readFile(dir + "/k.der");
  std::string b64(4 * ((der.size() + 2) / 3) + 1, '\0');
  b64.resize(size_t(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()),
                                    reinterpret_cast<const unsigned char*>(der.data()), int(der.size()))));
  nlohmann::json old = {{"format", 1},
                        {"provider", MS_ENHANCED_PROV_A},
                        {"container", "old-plain"},
                        {"keys",
                         {{"1", {{"alg", CALG_RSA_KEYX}, {"exportable", true}, {"userProtected", false},
                                 {"pkcs8", b64}}}}}};
  std::filesystem::create_directories(cryptoDir() + "/RSA");
  vtest::writeFile(containerPath("old-plain"), old.dump());
  ASSERT_TRUE(CryptAcquireContextA(&prov, "old-plain", MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0));
  signAndVerify(prov, AT_KEYEXCHANGE);
  EXPECT_EQ(readJson(containerPath("old-plain")).value("format", 0), 1);  // reading writes nothing
  ASSERT_EQ(genKey(prov, AT_SIGNATURE, 0), 0u);
  auto now = fieldsOf(readJson(containerPath("old-plain")));
  EXPECT_EQ(now.sealed.size(), 2u);
  EXPECT_TRUE(now.plain.empty());
  signAndVerify(prov, AT_KEYEXCHANGE);  // the old key, sealed now
  CryptReleaseContext(prov, 0);

  // The key storage provider's keys alike.
  Cng cng;
  ASSERT_TRUE(cng.prov);
  ASSERT_EQ(cng.makeKey(u"sealed-ec"), ERROR_SUCCESS);
  auto c = readJson(cngPath("sealed-ec"));
  EXPECT_EQ(c.value("format", 0), 2);
  auto cf = fieldsOf(c);
  ASSERT_EQ(cf.sealed.size(), 1u);
  EXPECT_TRUE(cf.plain.empty());
  EXPECT_FALSE(opensslReadsKey(cf.sealed[0]));
  EXPECT_EQ(cng.openAndSign(u"sealed-ec"), ERROR_SUCCESS);
  // Allowing export in the file does not open the key either.
  ASSERT_EQ(cng.makeKey(u"edited-ec"), ERROR_SUCCESS);
  auto ec = readJson(cngPath("edited-ec"));
  ec["exportPolicy"] = NCRYPT_ALLOW_EXPORT_FLAG | NCRYPT_ALLOW_PLAINTEXT_EXPORT_FLAG;
  vtest::writeFile(cngPath("edited-ec"), ec.dump());
  NCRYPT_KEY_HANDLE editedKey = 0;
  EXPECT_EQ(cng.openKey(cng.prov, &editedKey, u"edited-ec", 0, 0), SECURITY_STATUS(NTE_BAD_DATA));
  expectPrivateTree();
}

// After the wrapping key's item was removed (or with no keyring at all).
void goneStep() {
  const std::string file = containerPath("sealed");
  const std::string before = vtest::readFile(file);
  EXPECT_EQ(userKeyError("sealed", AT_SIGNATURE), DWORD(NTE_BAD_KEY_STATE));
  // Adding a key would rewrite the file: refused, the file stays as it was.
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "sealed", MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0));
  EXPECT_EQ(genKey(prov, AT_SIGNATURE, 0), DWORD(NTE_BAD_KEY_STATE));
  CryptReleaseContext(prov, 0);
  EXPECT_EQ(vtest::readFile(file), before);
  Cng cng;
  EXPECT_EQ(cng.openAndSign(u"sealed-ec"), SECURITY_STATUS(NTE_BAD_KEY_STATE));
}

// No Secret Service: keys are plain PKCS#8 in 0600 files, as before.
void plainStep(const std::string& name) {
  umask(0);
  HCRYPTPROV prov = newContainer(name);
  ASSERT_EQ(genKey(prov, AT_SIGNATURE, 0), 0u);
  signAndVerify(prov, AT_SIGNATURE);
  CryptReleaseContext(prov, 0);
  auto f = fieldsOf(readJson(containerPath(name)));
  EXPECT_EQ(readJson(containerPath(name)).value("format", 0), 1);
  ASSERT_EQ(f.plain.size(), 1u);
  EXPECT_TRUE(opensslReadsKey(f.plain[0]));
  EXPECT_EQ(modeOf(containerPath(name)), 0600u);
  EXPECT_EQ(modeOf(cryptoDir() + "/RSA"), 0700u);
  Cng cng;
  const std::u16string wide(name.begin(), name.end());
  ASSERT_EQ(cng.makeKey(wide.c_str()), ERROR_SUCCESS);
  EXPECT_EQ(cng.openAndSign(wide.c_str()), ERROR_SUCCESS);
  auto c = fieldsOf(readJson(cngPath(name)));
  ASSERT_EQ(c.plain.size(), 1u);
  EXPECT_TRUE(opensslReadsKey(c.plain[0]));
  expectPrivateTree();
}

// The parent halves remove what they made: the binary's tests share a profile.
class KeyProtection : public testing::Test {
 protected:
  void TearDown() override {
    if (!step().empty()) return;
    for (const char* name : {"sealed", "edited", "old-plain", "no-bus", "bus-only", "silent-bus"}) {
      std::filesystem::remove(containerPath(name));
      std::filesystem::remove(cngPath(name));
    }
    std::filesystem::remove(cngPath("sealed-ec"));
    std::filesystem::remove(cngPath("edited-ec"));
  }
};

TEST_F(KeyProtection, SealedUnderKeyringAndRefusedWithoutItsKey) {
  if (step() == "seal") return sealStep();
  if (step() == "gone") return goneStep();
  VTEST_REQUIRE(haveKeyringTools(), "dbus-run-session, gnome-keyring-daemon and secret-tool");
  auto r = onPrivateBus(true, "run seal; secret-tool clear purpose key-wrapping || exit 3; run gone");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(passedSteps(r.out), 2u) << r.out;
  // This process has no bus: the sealed keys are refused here too.
  goneStep();
}

TEST_F(KeyProtection, PlainWithoutSecretService) {
  if (step() == "bus-only" || step() == "silent-bus") return plainStep(step());
  // No session bus at all (this process), then a bus on which no keyring runs.
  plainStep("no-bus");
  VTEST_REQUIRE(haveKeyringTools(), "dbus-run-session");
  auto r = onPrivateBus(false, "run bus-only");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(passedSteps(r.out), 1u) << r.out;
  // A bus that never answers costs a bounded wait, then keys are plain.
  SilentBus silent;
  ASSERT_TRUE(silent.ok);
  const auto* info = testing::UnitTest::GetInstance()->current_test_info();
  r = vtest::runCommand({self(), std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name()},
                        {std::string(kStepVar) + "=silent-bus", "DBUS_SESSION_BUS_ADDRESS=unix:path=" + silent.path});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(passedSteps(r.out), 1u) << r.out;
}

}  // namespace
