// Test tokens: a private SoftHSM2 token per test, the token makers' module
// names linked to SoftHSM2 or to the stand-in module, children that run with
// those names on their library search path, and certificates for the tokens.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace ttest {

inline constexpr const char* kUserPin = "1234";
inline constexpr const char* kSoPin = "12345678";  // also the stand-in's second PIN
inline constexpr const char* kLabel = "L";

// Where SoftHSM2's module is, or "" when it is not installed.
std::string softhsmModule();
std::string tokensimModule();

// What the module names resolve to in a test's child process.
enum class Module { Tokensim, TokensimEmpty, Softhsm, Missing };

// A SoftHSM2 token in a folder of the test profile, and a folder of module
// links. Made by the parent test; a child finds it again with fromEnv().
struct TestToken {
  std::string dir;
  std::string conf;     // softhsm2.conf
  std::string modules;  // the folder put on LD_LIBRARY_PATH

  // False (with `why`) when a tool the token needs is missing.
  static bool available(std::string& why);
  // Initialises the token "L" (user PIN 1234, SO PIN 12345678) and links
  // KAVOPKCS114JCICv2 and KAVOPKCS11v5 to the given modules.
  static TestToken make(Module first, Module second);
  static TestToken fromEnv();

  // The environment of a child that works on this token.
  std::vector<std::string> env() const;
  // pkcs11-tool on the token through SoftHSM2 itself, logged in.
  vtest::CommandResult p11tool(std::vector<std::string> args) const;
  // A key pair made by pkcs11-tool ("rsa:2048", "EC:prime256v1") with an
  // id (hex) when one is given; returns the public key.
  EVP_PKEY* generateKeyPair(const std::string& label, const std::string& keyType, const std::string& id = "") const;
  // Writes a certificate object through pkcs11-tool.
  bool writeCertificate(X509* cert, const std::string& label) const;
  // The CKA_VALUE of the certificate object with this label.
  std::vector<unsigned char> readCertificate(const std::string& label) const;
};

// True in the child started by runChild().
bool inChild();
// Runs the current test again in a child process with `env` added.
vtest::CommandResult runChild(const std::vector<std::string>& env);
// The child's environment value `name`, or "".
std::string childValue(const std::string& name);

// A test certification authority with a software key.
struct TestCa {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  std::string certFile;  // PEM
  std::string keyFile;   // PEM

  static TestCa make(const std::string& dir);
  void free();
};

struct CertSpec {
  std::string subjectUtf8 = "/CN=TEST";  // "/C=TW/O=Example/CN=..." as UTF8String values
  long serial = 1;
  std::string notBefore = "20240101000000Z";  // GeneralizedTime text
  std::string notAfter = "20340101000000Z";
  std::string keyUsage;  // e.g. "digitalSignature,nonRepudiation"; "" for none
};

// A certificate for `publicKey` issued by `ca`.
X509* makeCertificate(const TestCa& ca, EVP_PKEY* publicKey, const CertSpec& spec);

std::vector<unsigned char> der(X509* cert);
X509* certFromDer(const std::vector<unsigned char>& der);
std::string toBase64(const std::vector<unsigned char>& bytes);
std::vector<unsigned char> fromBase64(const std::string& text);
// PEM armour around Base64 text.
std::string pem(const std::string& base64, const char* type);

// What a Base64 PKCS#7 SignedData holds.
struct SignedDataInfo {
  bool parsed = false;
  std::string content;
  int certificates = 0;
  int signers = 0;
  long signerVersion = -1;
  int digestNid = 0;
  int digestParamType = -1;
  int signatureNid = 0;
  int signatureParamType = -1;  // V_ASN1_NULL, or -1 when absent
  int signedAttributes = 0;
};
SignedDataInfo inspectSignedData(const std::string& base64);

// `openssl cms -verify` of a Base64 SignedData against the CA; the verified
// content, or "<failed: ...>".
std::string opensslVerifySignedData(const std::string& dir, const std::string& base64, const std::string& caFile);

// `openssl req -verify -text` of a Base64 request; false with the output
// when it does not verify.
bool opensslVerifyRequest(const std::string& dir, const std::string& base64, std::string& text);

// The calls' JSON results printed by velmora-call, one a line.
vtest::CommandResult velmoraCall(const std::vector<std::string>& calls, const std::vector<std::string>& env);

}  // namespace ttest

// The parent half of a test that runs in a child on a test token: makes the
// token, runs the child, reports its output, and returns.
#define TTEST_RUN_IN_CHILD(first, second)                                         \
  do {                                                                            \
    if (!ttest::inChild()) {                                                      \
      std::string why_;                                                           \
      VTEST_REQUIRE(ttest::TestToken::available(why_), why_);                     \
      auto token_ = ttest::TestToken::make(first, second);                        \
      auto result_ = ttest::runChild(token_.env());                               \
      EXPECT_EQ(result_.status, 0) << result_.out << result_.err;                 \
      return;                                                                     \
    }                                                                             \
  } while (0)

// The same for a table of cases, each with `what`, `first` and `second`
// (the token's two modules): one child per case, which finds its case with
// ttest::childCase(cases).
#define TTEST_RUN_CASES_IN_CHILDREN(cases)                                        \
  do {                                                                            \
    if (!ttest::inChild()) {                                                      \
      std::string why_;                                                           \
      VTEST_REQUIRE(ttest::TestToken::available(why_), why_);                     \
      for (size_t i_ = 0; i_ < std::size(cases); ++i_) {                          \
        auto token_ = ttest::TestToken::make(cases[i_].first, cases[i_].second);  \
        auto env_ = token_.env();                                                 \
        env_.push_back("QUENNET_CASE=" + std::to_string(i_));                     \
        auto result_ = ttest::runChild(env_);                                     \
        EXPECT_EQ(result_.status, 0) << cases[i_].what << "\n" << result_.out << result_.err; \
      }                                                                           \
      return;                                                                     \
    }                                                                             \
  } while (0)

namespace ttest {

// In a child of TTEST_RUN_CASES_IN_CHILDREN: the case it runs.
template <class Case, size_t N>
const Case& childCase(const Case (&cases)[N]) {
  return cases[std::stoul(childValue("QUENNET_CASE"))];
}

}  // namespace ttest
