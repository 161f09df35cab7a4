#include "token_support.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace ttest {

namespace {

const char* kChildFlag = "QUENNET_TEST_CHILD";
const char* kTokenDirVar = "QUENNET_TEST_TOKEN_DIR";

bool exists(const std::string& path) { return !path.empty() && access(path.c_str(), R_OK) == 0; }

bool onPath(const char* tool) {
  auto r = vtest::runCommand({"sh", "-c", std::string("command -v ") + tool});
  return r.status == 0;
}

}  // namespace

std::string softhsmModule() {
  for (const char* path : {"/usr/lib/softhsm/libsofthsm2.so", "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so"})
    if (exists(path)) return path;
  return {};
}

std::string tokensimModule() { return std::string(VELMORA_BUILD_DIR) + "/fixtures/tokensim/libtokensim.so"; }

bool TestToken::available(std::string& why) {
  if (softhsmModule().empty()) why = "SoftHSM2 (package softhsm2)";
  else if (!onPath("softhsm2-util")) why = "softhsm2-util (package softhsm2)";
  else if (!onPath("pkcs11-tool")) why = "pkcs11-tool (package opensc)";
  else if (!onPath("openssl")) why = "the openssl command (package openssl)";
  else if (!exists(tokensimModule())) why = "the stand-in module libtokensim.so (target tokensim)";
  else return true;
  return false;
}

TestToken TestToken::make(Module first, Module second) {
  TestToken t;
  t.dir = vtest::makeTempDir("token");
  t.conf = t.dir + "/softhsm2.conf";
  t.modules = t.dir + "/modules";
  std::filesystem::create_directories(t.dir + "/tokens");
  std::filesystem::create_directories(t.modules);
  vtest::writeFile(t.conf, "directories.tokendir = " + t.dir + "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n");
  auto r = vtest::runCommand({"softhsm2-util", "--init-token", "--free", "--label", kLabel, "--so-pin", kSoPin,
                              "--pin", kUserPin},
                             {"SOFTHSM2_CONF=" + t.conf});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  bool empty = first == Module::TokensimEmpty || second == Module::TokensimEmpty;
  vtest::writeFile(t.dir + "/no-token", empty ? "1" : "0");
  auto link = [&](Module m, const char* name) {
    std::string target = m == Module::Softhsm ? softhsmModule() : m == Module::Missing ? "" : tokensimModule();
    if (!target.empty()) std::filesystem::create_symlink(target, t.modules + "/" + name);
  };
  link(first, "KAVOPKCS114JCICv2.so");
  link(second, "KAVOPKCS11v5.so");
  return t;
}

TestToken TestToken::fromEnv() {
  TestToken t;
  t.dir = childValue(kTokenDirVar);
  t.conf = t.dir + "/softhsm2.conf";
  t.modules = t.dir + "/modules";
  return t;
}

std::vector<std::string> TestToken::env() const {
  return {"SOFTHSM2_CONF=" + conf,
          "LD_LIBRARY_PATH=" + modules,
          "TOKENSIM_STATE=" + dir + "/pin-tries",
          std::string("TOKENSIM_SECOND_PIN=") + kSoPin,
          "TOKENSIM_NO_TOKEN=" + vtest::readFile(dir + "/no-token"),
          std::string(kTokenDirVar) + "=" + dir};
}

vtest::CommandResult TestToken::p11tool(std::vector<std::string> args) const {
  std::vector<std::string> argv = {"pkcs11-tool", "--module", softhsmModule(), "--token-label", kLabel,
                                   "--login",     "--pin",    kUserPin};
  argv.insert(argv.end(), args.begin(), args.end());
  return vtest::runCommand(argv, {"SOFTHSM2_CONF=" + conf});
}

EVP_PKEY* TestToken::generateKeyPair(const std::string& label, const std::string& keyType,
                                     const std::string& id) const {
  std::vector<std::string> args = {"--keypairgen", "--key-type", keyType, "--label", label, "--usage-sign"};
  if (!id.empty()) args.insert(args.end(), {"--id", id});
  auto r = p11tool(args);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::string file = dir + "/pub-" + label + ".der";
  r = p11tool({"--read-object", "--type", "pubkey", "--label", label, "-o", file});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::string bytes = vtest::readFile(file);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
  return d2i_PUBKEY(nullptr, &p, long(bytes.size()));
}

bool TestToken::writeCertificate(X509* cert, const std::string& label) const {
  std::string file = dir + "/cert-" + label + ".der";
  auto bytes = der(cert);
  vtest::writeFile(file, std::string(bytes.begin(), bytes.end()));
  auto r = p11tool({"--write-object", file, "--type", "cert", "--label", label});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  return r.status == 0;
}

std::vector<unsigned char> TestToken::readCertificate(const std::string& label) const {
  std::string file = dir + "/read-" + label + ".der";
  std::filesystem::remove(file);
  auto r = p11tool({"--read-object", "--type", "cert", "--label", label, "-o", file});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::string bytes = vtest::readFile(file);
  return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

bool inChild() { return getenv(kChildFlag) != nullptr; }

vtest::CommandResult runChild(const std::vector<std::string>& env) {
  const auto* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
  std::vector<std::string> all = env;
  all.push_back(std::string(kChildFlag) + "=1");
  return vtest::runCommand({"/proc/self/exe", filter}, all);
}

std::string childValue(const std::string& name) {
  const char* v = getenv(name.c_str());
  return v ? v : "";
}

TestCa TestCa::make(const std::string& dir) {
  TestCa ca;
  ca.key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  ca.cert = X509_new();
  X509_set_version(ca.cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(ca.cert), 1);
  X509_NAME* name = X509_get_subject_name(ca.cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Velmora Test CA"),
                             -1, -1, 0);
  X509_set_issuer_name(ca.cert, name);
  ASN1_TIME_set_string_X509(X509_getm_notBefore(ca.cert), "20000101000000Z");
  ASN1_TIME_set_string_X509(X509_getm_notAfter(ca.cert), "20491231000000Z");
  X509_set_pubkey(ca.cert, ca.key);
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, ca.cert, ca.cert, nullptr, nullptr, 0);
  for (auto [nid, value] : {std::pair{NID_basic_constraints, "critical,CA:TRUE"},
                            std::pair{NID_key_usage, "critical,keyCertSign,cRLSign"}}) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    X509_add_ext(ca.cert, ext, -1);
    X509_EXTENSION_free(ext);
  }
  X509_sign(ca.cert, ca.key, EVP_sha256());
  ca.certFile = dir + "/ca.pem";
  ca.keyFile = dir + "/ca.key";
  if (FILE* f = fopen(ca.certFile.c_str(), "w")) {
    PEM_write_X509(f, ca.cert);
    fclose(f);
  }
  if (FILE* f = fopen(ca.keyFile.c_str(), "w")) {
    PEM_write_PrivateKey(f, ca.key, nullptr, nullptr, 0, nullptr, nullptr);
    fclose(f);
  }
  return ca;
}

void TestCa::free() {
  EVP_PKEY_free(key);
  X509_free(cert);
  key = nullptr;
  cert = nullptr;
}

X509* makeCertificate(const TestCa& ca, EVP_PKEY* publicKey, const CertSpec& spec) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), spec.serial);
  X509_set_issuer_name(cert, X509_get_subject_name(ca.cert));
  X509_NAME* name = X509_get_subject_name(cert);
  // "/K=V/K=V": the entries in order.
  size_t pos = 0;
  while (pos < spec.subjectUtf8.size() && spec.subjectUtf8[pos] == '/') {
    size_t eq = spec.subjectUtf8.find('=', pos);
    size_t next = spec.subjectUtf8.find('/', eq);
    std::string key = spec.subjectUtf8.substr(pos + 1, eq - pos - 1);
    std::string value = spec.subjectUtf8.substr(eq + 1, next == std::string::npos ? next : next - eq - 1);
    X509_NAME_add_entry_by_txt(name, key.c_str(), MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.c_str()),
                               -1, -1, 0);
    pos = next == std::string::npos ? spec.subjectUtf8.size() : next;
  }
  ASN1_TIME_set_string_X509(X509_getm_notBefore(cert), spec.notBefore.c_str());
  ASN1_TIME_set_string_X509(X509_getm_notAfter(cert), spec.notAfter.c_str());
  X509_set_pubkey(cert, publicKey);
  if (!spec.keyUsage.empty()) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, ca.cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_key_usage, ("critical," + spec.keyUsage).c_str());
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
  }
  X509_sign(cert, ca.key, EVP_sha256());
  return cert;
}

std::vector<unsigned char> der(X509* cert) {
  unsigned char* out = nullptr;
  int n = i2d_X509(cert, &out);
  std::vector<unsigned char> bytes;
  if (n > 0) bytes.assign(out, out + n);
  OPENSSL_free(out);
  return bytes;
}

X509* certFromDer(const std::vector<unsigned char>& bytes) {
  const unsigned char* p = bytes.data();
  return d2i_X509(nullptr, &p, long(bytes.size()));
}

std::string toBase64(const std::vector<unsigned char>& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(), int(bytes.size()));
  out.resize(size_t(n));
  return out;
}

std::vector<unsigned char> fromBase64(const std::string& text) {
  std::vector<unsigned char> out(text.size() / 4 * 3 + 3);
  int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), int(text.size()));
  if (n < 0) return {};
  size_t pad = 0;
  for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) ++pad;
  out.resize(size_t(n) - pad);
  return out;
}

std::string pem(const std::string& base64, const char* type) {
  std::string out = std::string("-----BEGIN ") + type + "-----\n";
  for (size_t i = 0; i < base64.size(); i += 64) out += base64.substr(i, 64) + "\n";
  return out + "-----END " + type + "-----\n";
}

SignedDataInfo inspectSignedData(const std::string& base64) {
  SignedDataInfo info;
  auto bytes = fromBase64(base64);
  const unsigned char* p = bytes.data();
  PKCS7* p7 = d2i_PKCS7(nullptr, &p, long(bytes.size()));
  if (!p7 || !PKCS7_type_is_signed(p7)) {
    PKCS7_free(p7);
    return info;
  }
  info.parsed = true;
  PKCS7* inner = p7->d.sign->contents;
  if (inner && PKCS7_type_is_data(inner) && inner->d.data)
    info.content.assign(reinterpret_cast<const char*>(inner->d.data->data), size_t(inner->d.data->length));
  info.certificates = sk_X509_num(p7->d.sign->cert);
  auto* signers = PKCS7_get_signer_info(p7);
  info.signers = sk_PKCS7_SIGNER_INFO_num(signers);
  if (info.signers > 0) {
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(signers, 0);
    info.signerVersion = ASN1_INTEGER_get(si->version);
    X509_ALGOR *digest = nullptr, *sig = nullptr;
    PKCS7_SIGNER_INFO_get0_algs(si, nullptr, &digest, &sig);
    const ASN1_OBJECT* obj = nullptr;
    int ptype = -1;
    const void* pval = nullptr;
    X509_ALGOR_get0(&obj, &ptype, &pval, digest);
    info.digestNid = OBJ_obj2nid(obj);
    info.digestParamType = ptype;
    X509_ALGOR_get0(&obj, &ptype, &pval, sig);
    info.signatureNid = OBJ_obj2nid(obj);
    info.signatureParamType = ptype;
    auto* attributes = PKCS7_get_signed_attributes(si);
    info.signedAttributes = attributes ? sk_X509_ATTRIBUTE_num(attributes) : 0;
  }
  PKCS7_free(p7);
  return info;
}

std::string opensslVerifySignedData(const std::string& dir, const std::string& base64, const std::string& caFile) {
  std::string in = dir + "/signed.p7", out = dir + "/signed.content";
  auto bytes = fromBase64(base64);
  vtest::writeFile(in, std::string(bytes.begin(), bytes.end()));
  std::filesystem::remove(out);
  auto r = vtest::runCommand({"openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", in, "-CAfile", caFile,
                              "-purpose", "any", "-out", out});
  if (r.status != 0) return "<failed: " + r.out + r.err + ">";
  return vtest::readFile(out);
}

bool opensslVerifyRequest(const std::string& dir, const std::string& base64, std::string& text) {
  std::string file = dir + "/request.pem";
  vtest::writeFile(file, pem(base64, "CERTIFICATE REQUEST"));
  auto r = vtest::runCommand({"openssl", "req", "-in", file, "-verify", "-noout", "-text"});
  text = r.out + r.err;
  return r.status == 0 && text.find("verify OK") != std::string::npos;
}

vtest::CommandResult velmoraCall(const std::vector<std::string>& calls, const std::vector<std::string>& env) {
  std::vector<std::string> argv = {std::string(VELMORA_BIN_DIR) + "/velmora-call"};
  argv.insert(argv.end(), calls.begin(), calls.end());
  return vtest::runCommand(argv, env);
}

}  // namespace ttest
