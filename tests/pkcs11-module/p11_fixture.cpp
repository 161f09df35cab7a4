#include "p11_fixture.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <regex>

#include "test_support.h"

namespace p11test {

const std::string kModulePath = std::string(VELMORA_LIB_DIR) + "/libvelmora-pkcs11.so";

CK_FUNCTION_LIST* functions() {
  static CK_FUNCTION_LIST* list = [] {
    void* lib = dlopen(kModulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) ADD_FAILURE() << dlerror();
    auto get = lib ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList")) : nullptr;
    CK_FUNCTION_LIST* f = nullptr;
    if (!get || get(&f) != CKR_OK) ADD_FAILURE() << "no function list";
    return f;
  }();
  return list;
}

int openssl(const std::vector<std::string>& args, std::string* out) {
  std::vector<std::string> argv = {"openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  auto r = vtest::runCommand(argv);
  if (r.status != 0) ADD_FAILURE() << "openssl " << args[0] << ": " << r.err;
  if (out) *out = r.out;
  return r.status;
}

namespace {

const std::string kStore = std::string(VELMORA_BIN_DIR) + "/velmora-store";

// A user certificate of `key` (an openssl -newkey argument) signed by the CA,
// imported with its key from a PFX file.
std::string issue(const Material& m, const std::string& name, const std::string& cn, const std::string& key,
                  std::string* sha1 = nullptr) {
  const std::string base = m.dir + "/" + name;
  openssl({"req", "-new", "-newkey", key, "-nodes", "-subj", "/CN=" + cn, "-keyout", base + ".key", "-out",
           base + ".csr"});
  openssl({"x509", "-req", "-in", base + ".csr", "-CA", m.caPem, "-CAkey", m.caKey, "-CAcreateserial", "-days", "30",
           "-extfile", m.dir + "/user.cnf", "-out", base + ".pem"});
  openssl({"pkcs12", "-export", "-inkey", base + ".key", "-in", base + ".pem", "-certfile", m.caPem, "-passout",
           "pass:pfx-pass", "-out", base + ".pfx"});
  auto r = vtest::runCommand({kStore, "import-pfx", base + ".pfx"}, {}, "pfx-pass\n");
  EXPECT_EQ(r.status, 0) << r.err;
  std::smatch added;
  EXPECT_TRUE(std::regex_search(r.out, added, std::regex("added ([0-9A-F]{40}) to MY with its key"))) << r.out;
  if (sha1 && added.size() > 1) *sha1 = added[1].str();
  // The key files were read into the store; the test keeps only the PEM.
  std::remove((base + ".key").c_str());
  std::remove((base + ".pfx").c_str());
  return base + ".pem";
}

}  // namespace

const Material& enrolled() {
  static Material m = [] {
    Material x;
    x.dir = vtest::makeTempDir("p11");
    x.caPem = x.dir + "/ca.pem";
    x.caKey = x.dir + "/ca.key";
    vtest::writeFile(x.dir + "/user.cnf",
                     "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
                     "extendedKeyUsage=clientAuth,emailProtection\n");
    openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Module Test CA", "-days", "30",
             "-keyout", x.caKey, "-out", x.caPem, "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
             "keyUsage=critical,keyCertSign,cRLSign"});
    openssl({"ecparam", "-name", "prime256v1", "-out", x.dir + "/p256.param"});
    x.rsaPem = issue(x, "rsa", "Module Test RSA", "rsa:2048");
    x.ecPem = issue(x, "ec", "Module Test EC", "ec:" + x.dir + "/p256.param");
    return x;
  }();
  return m;
}

std::string importAnother(const std::string& cn, std::string& sha1) {
  const Material& m = enrolled();
  return issue(m, "another", cn, "rsa:2048", &sha1);
}

std::vector<std::string> foreignEnv() {
#ifdef VELMORA_SANITIZER_RUNTIMES
  // The module and the platform are built with the sanitizers; a program
  // that is not must load their runtimes first.
  return {"LD_PRELOAD=" VELMORA_SANITIZER_RUNTIMES, "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0"};
#else
  return {};
#endif
}

std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls, CK_KEY_TYPE keyType) {
  CK_FUNCTION_LIST* f = functions();
  CK_ATTRIBUTE t[2] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &keyType, sizeof keyType}};
  std::vector<CK_OBJECT_HANDLE> out;
  EXPECT_EQ(f->C_FindObjectsInit(s, t, keyType == ~0UL ? 1 : 2), CKR_OK);
  CK_OBJECT_HANDLE h[4];
  CK_ULONG n = 0;
  while (f->C_FindObjects(s, h, 4, &n) == CKR_OK && n > 0) out.insert(out.end(), h, h + n);
  EXPECT_EQ(f->C_FindObjectsFinal(s), CKR_OK);
  return out;
}

std::vector<unsigned char> attribute(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
  CK_FUNCTION_LIST* f = functions();
  CK_ATTRIBUTE a = {type, nullptr, 0};
  if (f->C_GetAttributeValue(s, o, &a, 1) != CKR_OK) return {};
  std::vector<unsigned char> v(a.ulValueLen);
  a.pValue = v.data();
  EXPECT_EQ(f->C_GetAttributeValue(s, o, &a, 1), CKR_OK);
  return v;
}

}  // namespace p11test
