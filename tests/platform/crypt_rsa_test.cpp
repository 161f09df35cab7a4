// RSA keys in containers: generation with the length in the upper 16 bits,
// the Windows key blobs (read back by `openssl rsa -inform MSBLOB`),
// exportability, persistence, user protection and little-endian signatures
// that `openssl dgst -verify` accepts.
#include <wincrypt.h>
#include <windows.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"
#include "ui/dialogs.h"

namespace {

using Bytes = std::vector<BYTE>;

bool haveOpenssl() { return vtest::runCommand({"openssl", "version"}).status == 0; }

Bytes exportBlob(HCRYPTKEY key, DWORD type, DWORD* error = nullptr) {
  DWORD n = 0;
  SetLastError(0xdeadbeef);
  if (!CryptExportKey(key, 0, type, 0, nullptr, &n)) {
    if (error) *error = GetLastError();
    return {};
  }
  Bytes blob(n);
  if (!CryptExportKey(key, 0, type, 0, blob.data(), &n)) {
    if (error) *error = GetLastError();
    return {};
  }
  blob.resize(n);
  return blob;
}

std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }

// Signs `data` with the container's key; the signature as the provider gives it.
Bytes sign(HCRYPTPROV prov, ALG_ID alg, DWORD spec, const std::string& data, DWORD* error = nullptr) {
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(prov, alg, 0, 0, &hash)) return {};
  CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size()), 0);
  DWORD n = 0;
  Bytes sig;
  SetLastError(0xdeadbeef);
  if (CryptSignHashA(hash, spec, nullptr, 0, nullptr, &n)) {
    sig.resize(n);
    if (!CryptSignHashA(hash, spec, nullptr, 0, sig.data(), &n)) sig.clear();
  }
  if (error) *error = GetLastError();
  CryptDestroyHash(hash);
  return sig;
}

class Rsa : public testing::Test {
 protected:
  void TearDown() override {
    for (HCRYPTKEY k : keys_) CryptDestroyKey(k);
    for (HCRYPTPROV p : provs_) CryptReleaseContext(p, 0);
  }
  HCRYPTPROV acquire(const char* container, const char* provider = MS_ENHANCED_PROV_A, DWORD type = PROV_RSA_FULL,
                     DWORD flags = 0) {
    HCRYPTPROV p = 0;
    if (!CryptAcquireContextA(&p, container, provider, type, flags) &&
        !CryptAcquireContextA(&p, container, provider, type, flags | CRYPT_NEWKEYSET))
      return 0;
    provs_.push_back(p);
    return p;
  }
  HCRYPTKEY gen(HCRYPTPROV p, DWORD spec, DWORD flags) {
    HCRYPTKEY k = 0;
    if (!CryptGenKey(p, spec, flags, &k)) return 0;
    keys_.push_back(k);
    return k;
  }
  std::string dir_ = vtest::makeTempDir("rsa");
  std::vector<HCRYPTKEY> keys_;
  std::vector<HCRYPTPROV> provs_;
};

TEST_F(Rsa, BlobsHaveTheWindowsLayoutAndOpensslReadsThem) {
  VTEST_REQUIRE(haveOpenssl(), "openssl command");
  HCRYPTPROV p = acquire("blob-layout");
  HCRYPTKEY k = gen(p, AT_KEYEXCHANGE, (1024u << 16) | CRYPT_EXPORTABLE);
  ASSERT_NE(k, 0u);
  Bytes pub = exportBlob(k, PUBLICKEYBLOB), priv = exportBlob(k, PRIVATEKEYBLOB);
  ASSERT_EQ(pub.size(), 8u + 12 + 128);
  ASSERT_EQ(priv.size(), 8u + 12 + 128 * 2 + 64 * 5);
  EXPECT_EQ(str(Bytes(pub.begin(), pub.begin() + 8)), std::string("\x06\x02\x00\x00\x00\xa4\x00\x00", 8));
  EXPECT_EQ(str(Bytes(pub.begin() + 8, pub.begin() + 20)), std::string("RSA1\x00\x04\x00\x00\x01\x00\x01\x00", 12));
  EXPECT_EQ(str(Bytes(priv.begin(), priv.begin() + 12)), std::string("\x07\x02\x00\x00\x00\xa4\x00\x00RSA2", 12));
  EXPECT_TRUE(std::equal(pub.begin() + 20, pub.end(), priv.begin() + 20));  // the same modulus

  vtest::writeFile(dir_ + "/pub.blob", str(pub));
  vtest::writeFile(dir_ + "/priv.blob", str(priv));
  auto fromPub = vtest::runCommand({"openssl", "rsa", "-pubin", "-inform", "MSBLOB", "-in", dir_ + "/pub.blob",
                                    "-pubout", "-out", dir_ + "/pub.pem"});
  ASSERT_EQ(fromPub.status, 0) << fromPub.err;
  auto check = vtest::runCommand({"openssl", "rsa", "-inform", "MSBLOB", "-in", dir_ + "/priv.blob", "-check",
                                  "-noout"});
  EXPECT_EQ(check.status, 0) << check.err;
  EXPECT_NE(check.out.find("RSA key ok"), std::string::npos) << check.out;
  auto samePub = vtest::runCommand({"openssl", "rsa", "-inform", "MSBLOB", "-in", dir_ + "/priv.blob", "-pubout"});
  EXPECT_EQ(samePub.out, vtest::readFile(dir_ + "/pub.pem"));

  // The signature is little-endian: reversed, openssl verifies it.
  const std::string data = "data to be signed";
  Bytes sig = sign(p, CALG_SHA1, AT_KEYEXCHANGE, data);
  ASSERT_EQ(sig.size(), 128u);
  std::reverse(sig.begin(), sig.end());
  vtest::writeFile(dir_ + "/data", data);
  vtest::writeFile(dir_ + "/sig", str(sig));
  auto verify = vtest::runCommand({"openssl", "dgst", "-sha1", "-verify", dir_ + "/pub.pem", "-signature",
                                   dir_ + "/sig", dir_ + "/data"});
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
}

TEST_F(Rsa, KeysPersistInTheContainerAndNonExportableOnesStayInside) {
  HCRYPTPROV p = acquire("persist");
  HCRYPTKEY k = gen(p, AT_SIGNATURE, 1024u << 16);
  ASSERT_NE(k, 0u);
  DWORD error = 0;
  EXPECT_TRUE(exportBlob(k, PRIVATEKEYBLOB, &error).empty());
  EXPECT_EQ(error, DWORD(NTE_BAD_KEY_STATE));
  Bytes pub = exportBlob(k, PUBLICKEYBLOB);
  EXPECT_EQ(pub[5], 0x24);  // CALG_RSA_SIGN

  // Another context on the container (any of the RSA providers) finds it.
  HCRYPTPROV again = acquire("PERSIST", MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES);
  HCRYPTKEY user = 0;
  ASSERT_TRUE(CryptGetUserKey(again, AT_SIGNATURE, &user));
  keys_.push_back(user);
  EXPECT_EQ(exportBlob(user, PUBLICKEYBLOB), pub);
  EXPECT_TRUE(exportBlob(user, PRIVATEKEYBLOB, &error).empty());
  EXPECT_EQ(error, DWORD(NTE_BAD_KEY_STATE));
  HCRYPTKEY none = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptGetUserKey(again, AT_KEYEXCHANGE, &none));
  EXPECT_EQ(GetLastError(), DWORD(NTE_NO_KEY));
  // SHA-256 is the AES provider's; the container's key signs with it there.
  EXPECT_EQ(sign(again, CALG_SHA_256, AT_SIGNATURE, "x").size(), 128u);
  HCRYPTHASH hash = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptCreateHash(p, CALG_SHA_256, 0, 0, &hash));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_ALGID));

  // The key file holds no readable key material for others.
  std::string folder = vtest::profileDir() + "/home/.local/share/velmora/Crypto/RSA";
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    struct stat st{};
    ASSERT_EQ(stat(e.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
}

// Keys read from a container are kept for reuse only while its file is the
// same: a container deleted and made again, or a key replaced, signs with
// the new key at once.
TEST_F(Rsa, AReplacedKeyIsUsedAtOnce) {
  auto verifies = [](const Bytes& pub, const Bytes& sig, HCRYPTPROV verifier) {
    HCRYPTKEY k = 0;
    if (!CryptImportKey(verifier, pub.data(), DWORD(pub.size()), 0, 0, &k)) return false;
    HCRYPTHASH h = 0;
    CryptCreateHash(verifier, CALG_SHA1, 0, 0, &h);
    CryptHashData(h, reinterpret_cast<const BYTE*>("data"), 4, 0);
    const bool ok = CryptVerifySignatureA(h, sig.data(), DWORD(sig.size()), k, nullptr, 0);
    CryptDestroyHash(h);
    CryptDestroyKey(k);
    return ok;
  };
  HCRYPTPROV verifier = acquire(nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
  ASSERT_NE(verifier, 0u);
  HCRYPTPROV p = acquire("replaced");
  const Bytes first = exportBlob(gen(p, AT_SIGNATURE, 1024u << 16), PUBLICKEYBLOB);
  ASSERT_TRUE(verifies(first, sign(acquire("replaced"), CALG_SHA1, AT_SIGNATURE, "data"), verifier));

  // The same spec generated again in the container replaces its key.
  const Bytes second = exportBlob(gen(acquire("replaced"), AT_SIGNATURE, 1024u << 16), PUBLICKEYBLOB);
  ASSERT_NE(first, second);
  const Bytes bySecond = sign(acquire("replaced"), CALG_SHA1, AT_SIGNATURE, "data");
  EXPECT_TRUE(verifies(second, bySecond, verifier));
  EXPECT_FALSE(verifies(first, bySecond, verifier));

  // Deleted and made again.
  HCRYPTPROV gone = 0;
  ASSERT_TRUE(CryptAcquireContextA(&gone, "replaced", MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
  HCRYPTPROV none = 0;
  EXPECT_FALSE(CryptAcquireContextA(&none, "replaced", MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0));
  const Bytes third = exportBlob(gen(acquire("replaced"), AT_SIGNATURE, 1024u << 16), PUBLICKEYBLOB);
  EXPECT_TRUE(verifies(third, sign(acquire("replaced"), CALG_SHA1, AT_SIGNATURE, "data"), verifier));
}

TEST_F(Rsa, LengthsOutsideTheProvidersRangeAreRefused) {
  HCRYPTPROV p = acquire(nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
  for (DWORD bits : {256u, 1020u, 20000u}) {
    HCRYPTKEY k = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CryptGenKey(p, AT_KEYEXCHANGE, bits << 16, &k)) << bits;
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS)) << bits;
  }
  HCRYPTKEY k = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptGenKey(p, 0x1234, 0, &k));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_ALGID));
  // No length: the provider's default (1024 bits here).
  k = gen(p, AT_KEYEXCHANGE, 0);
  DWORD value = 0, size = sizeof value;
  Bytes pub = exportBlob(k, PUBLICKEYBLOB);
  ASSERT_GE(pub.size(), 20u);
  memcpy(&value, pub.data() + 12, 4);
  EXPECT_EQ(value, 1024u);
  (void)size;
  // A verify-only context keeps the key it made, in memory.
  HCRYPTKEY user = 0;
  ASSERT_TRUE(CryptGetUserKey(p, AT_KEYEXCHANGE, &user));
  keys_.push_back(user);
  EXPECT_EQ(exportBlob(user, PUBLICKEYBLOB), pub);
}

TEST_F(Rsa, UserProtectedKeysAskBeforeCreationAndEachUse) {
  std::vector<std::string> asked;
  bool agree = true;
  auto service = std::make_shared<velmora::ui::FunctionDialogService>([&](const velmora::ui::DialogRequest& r) {
    auto mode = r.options.find("mode");
    asked.push_back(r.kind + ":" + (mode == r.options.end() ? std::string() : mode->second));
    velmora::ui::DialogResult result;
    result.button = agree ? "ok" : "cancel";
    return result;
  });
  velmora::ui::ScopedDialogService scoped(service);
  HCRYPTPROV p = acquire("protected");
  HCRYPTKEY k = gen(p, AT_SIGNATURE, (1024u << 16) | CRYPT_USER_PROTECTED | CRYPT_EXPORTABLE);
  ASSERT_NE(k, 0u);
  EXPECT_EQ(asked, std::vector<std::string>{"key-use:create"});
  EXPECT_EQ(sign(p, CALG_SHA1, AT_SIGNATURE, "one").size(), 128u);
  EXPECT_EQ(sign(p, CALG_SHA1, AT_SIGNATURE, "two").size(), 128u);
  EXPECT_EQ(asked.size(), 3u);
  EXPECT_EQ(asked.back(), "key-use:use");

  agree = false;
  DWORD error = 0;
  EXPECT_TRUE(sign(p, CALG_SHA1, AT_SIGNATURE, "three", &error).empty());
  EXPECT_EQ(error, 0x800704C7u);
  EXPECT_TRUE(exportBlob(k, PRIVATEKEYBLOB, &error).empty());
  EXPECT_EQ(error, 0x800704C7u);
  HCRYPTKEY refused = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptGenKey(p, AT_KEYEXCHANGE, (1024u << 16) | CRYPT_USER_PROTECTED, &refused));
  EXPECT_EQ(GetLastError(), 0x800704C7u);

  // A silent context may not ask: the use fails without a dialog.
  const size_t before = asked.size();
  HCRYPTPROV silent = acquire("protected", MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_SILENT);
  EXPECT_TRUE(sign(silent, CALG_SHA1, AT_SIGNATURE, "four", &error).empty());
  EXPECT_EQ(error, DWORD(NTE_SILENT_CONTEXT));
  EXPECT_EQ(asked.size(), before);
}

TEST_F(Rsa, ImportsAKeyPairMadeByOpenssl) {
  VTEST_REQUIRE(haveOpenssl(), "openssl command");
  auto gen = vtest::runCommand({"openssl", "genrsa", "-out", dir_ + "/key.pem", "1024"});
  ASSERT_EQ(gen.status, 0) << gen.err;
  auto conv = vtest::runCommand({"openssl", "rsa", "-in", dir_ + "/key.pem", "-outform", "MSBLOB", "-out",
                                 dir_ + "/key.blob"});
  ASSERT_EQ(conv.status, 0) << conv.err;
  std::string blob = vtest::readFile(dir_ + "/key.blob");
  HCRYPTPROV p = acquire("imported");
  HCRYPTKEY k = 0;
  ASSERT_TRUE(CryptImportKey(p, reinterpret_cast<const BYTE*>(blob.data()), DWORD(blob.size()), 0,
                             CRYPT_EXPORTABLE, &k));
  keys_.push_back(k);
  EXPECT_EQ(str(exportBlob(k, PRIVATEKEYBLOB)), blob);

  const std::string data = "imported key signs";
  Bytes sig = sign(p, CALG_MD5, AT_KEYEXCHANGE, data);
  ASSERT_EQ(sig.size(), 128u);
  std::reverse(sig.begin(), sig.end());
  vtest::writeFile(dir_ + "/data", data);
  vtest::writeFile(dir_ + "/sig", str(sig));
  auto verify = vtest::runCommand({"openssl", "dgst", "-md5", "-prverify", dir_ + "/key.pem", "-signature",
                                   dir_ + "/sig", dir_ + "/data"});
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;

  // A private blob whose numbers do not belong together is refused.
  std::string broken = blob;
  broken[20 + 128 + 3] ^= 1;  // a byte of the first prime
  HCRYPTKEY bad = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptImportKey(p, reinterpret_cast<const BYTE*>(broken.data()), DWORD(broken.size()), 0, 0, &bad));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptImportKey(p, reinterpret_cast<const BYTE*>(blob.data()), 100, 0, 0, &bad));
  EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_DATA));
}

TEST_F(Rsa, TwoProcessesAddingKeysToOneContainerKeepBoth) {
  for (int round = 0; round < 6; ++round) {
    const std::string name = "shared-" + std::to_string(round);
    HCRYPTPROV p = acquire(name.c_str());
    ASSERT_NE(p, 0u);
    pid_t children[2];
    for (int i = 0; i < 2; ++i) {
      children[i] = fork();
      ASSERT_GE(children[i], 0);
      if (children[i] == 0) {
        HCRYPTPROV mine = 0;
        HCRYPTKEY k = 0;
        bool ok = CryptAcquireContextA(&mine, name.c_str(), MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0) &&
                  CryptGenKey(mine, i == 0 ? AT_KEYEXCHANGE : AT_SIGNATURE, 1024u << 16, &k);
        _exit(ok ? 0 : 1);
      }
    }
    for (pid_t child : children) {
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (DWORD spec : {DWORD(AT_KEYEXCHANGE), DWORD(AT_SIGNATURE)}) {
      HCRYPTKEY k = 0;
      EXPECT_TRUE(CryptGetUserKey(p, spec, &k)) << name << " " << spec;
      if (k) keys_.push_back(k);
    }
  }
}

}  // namespace
