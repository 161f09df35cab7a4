// The demo portal's signature check: signatures made by the openssl
// command with keys the demo CA certified are verified, and every way a
// signature can be wrong is told apart.
#include <openssl/ecdsa.h>
#include <openssl/bn.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "demo_ca.h"
#include "portal.h"
#include "test_support.h"
#include "verify.h"

namespace {

using nlohmann::json;
using velmora::demo::DemoCa;

vtest::CommandResult openssl(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  return vtest::runCommand(argv);
}

std::string hexUpper(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) out += digits[c >> 4], out += digits[c & 15];
  return out;
}

const std::string kText = "I approve this request. 我同意此申請。";

class PortalVerify : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(vtest::makeTempDir("verify"));
    std::string error;
    ca_ = DemoCa::open(*dir_ + "/ca", error).release();
    ASSERT_NE(ca_, nullptr) << error;
    config_ = new velmora::demo::PortalConfig;
    config_->ca = ca_;
    // An RSA and an EC signer, certified by the demo CA, with their keys.
    for (const std::string name : {"rsa", "ec"}) {
      std::vector<std::string> key = name == "rsa" ? std::vector<std::string>{"-newkey", "rsa:2048"}
                                                   : std::vector<std::string>{"-newkey", "ec", "-pkeyopt",
                                                                              "ec_paramgen_curve:P-256"};
      std::vector<std::string> args = {"req", "-new", "-nodes", "-keyout", *dir_ + "/" + name + ".key", "-outform",
                                       "DER", "-out", *dir_ + "/" + name + ".req", "-subj", "/CN=Signer " + name};
      args.insert(args.begin() + 2, key.begin(), key.end());
      ASSERT_EQ(openssl(args).status, 0);
      auto issued = ca_->issue(velmora::demo::base64Encode(vtest::readFile(*dir_ + "/" + name + ".req")),
                               velmora::demo::Usage::Signing);
      ASSERT_TRUE(std::holds_alternative<velmora::demo::Issued>(issued));
      const std::string cert = std::get<velmora::demo::Issued>(issued).certificate;
      certB64_[name == "rsa" ? 0 : 1] = cert;
      vtest::writeFile(*dir_ + "/" + name + ".der", *velmora::demo::base64Decode(cert));
      ASSERT_EQ(openssl({"x509", "-inform", "DER", "-in", *dir_ + "/" + name + ".der", "-out",
                         *dir_ + "/" + name + ".pem"}).status, 0);
    }
    ASSERT_EQ(openssl({"x509", "-in", *dir_ + "/ca/intermediate.crt.pem", "-out", *dir_ + "/chain.pem"}).status, 0);
    vtest::writeFile(*dir_ + "/content.bin", velmora::demo::textBytes(kText, velmora::demo::TextBytes::Utf16le));
  }
  static void TearDownTestSuite() {
    delete config_;
    delete ca_;
    delete dir_;
  }

  static json post(const json& body, int* status = nullptr) {
    velmora::http::Request req;
    req.method = "POST";
    req.path = "/api/verify";
    req.body = body.dump();
    auto res = velmora::demo::handleRequest(*config_, req);
    if (status) *status = res.status;
    return json::parse(res.body, nullptr, false);
  }
  // A CMS signature of the text's UTF-16LE bytes, Base64.
  static std::string cms(const std::string& name, const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"cms", "-sign", "-binary", "-in", *dir_ + "/content.bin", "-signer",
                                     *dir_ + "/" + name + ".pem", "-inkey", *dir_ + "/" + name + ".key", "-outform",
                                     "DER", "-out", *dir_ + "/sig.der", "-md", "sha256"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto r = openssl(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return velmora::demo::base64Encode(vtest::readFile(*dir_ + "/sig.der"));
  }
  static std::string* dir_;
  static DemoCa* ca_;
  static velmora::demo::PortalConfig* config_;
  static std::string certB64_[2];
};
std::string* PortalVerify::dir_ = nullptr;
DemoCa* PortalVerify::ca_ = nullptr;
velmora::demo::PortalConfig* PortalVerify::config_ = nullptr;
std::string PortalVerify::certB64_[2];

TEST_F(PortalVerify, Pkcs7SignaturesAreCheckedAndDescribed) {
  int status = 0;
  // Attached, with the chain and a signing time (openssl's default attributes).
  json a = post({{"format", "pkcs7"}, {"signature", cms("rsa", {"-nodetach", "-certfile", *dir_ + "/chain.pem"})}},
                &status);
  ASSERT_EQ(status, 200) << a;
  EXPECT_EQ(a["content"], kText);
  EXPECT_EQ(a["signer"], "CN = Signer rsa");
  EXPECT_EQ(a["chain"].size(), 3u) << a;
  EXPECT_EQ(a["certificates"], 2);
  EXPECT_EQ(a["digest"], "SHA256");
  EXPECT_EQ(a["signingTimes"], 1);
  EXPECT_FALSE(a["detached"].get<bool>());

  // Detached EC, no attributes, no certificate but the signer's: the
  // portal supplies the issuing CA; the text must be given.
  const std::string detached = cms("ec", {"-noattr"});
  a = post({{"format", "pkcs7"}, {"signature", detached}, {"content", kText}}, &status);
  ASSERT_EQ(status, 200) << a;
  EXPECT_TRUE(a["detached"].get<bool>());
  EXPECT_EQ(a["signingTimes"], 0);
  EXPECT_EQ(a["signer"], "CN = Signer ec");

  struct Refused {
    const char* what;
    json body;
    const char* says;
  } refused[] = {
      {"detached without the text", {{"format", "pkcs7"}, {"signature", detached}}, "needs the signed text"},
      {"another text", {{"format", "pkcs7"}, {"signature", detached}, {"content", kText + "!"}}, "does not verify"},
      {"not Base64", {{"format", "pkcs7"}, {"signature", "%%%"}}, "not Base64"},
      {"not a message", {{"format", "pkcs7"}, {"signature", certB64_[0]}}, "not a PKCS#7"},
      {"no format", {{"signature", detached}}, "\"format\""},
      {"ANSI claimed", {{"format", "pkcs7"}, {"signature", detached}, {"content", kText}, {"bytes", "ansi"}},
       "does not verify"},
  };
  for (const auto& r : refused) {
    json e = post(r.body, &status);
    EXPECT_EQ(status, 400) << r.what;
    EXPECT_NE(e.value("error", "").find(r.says), std::string::npos) << r.what << ": " << e;
  }

  // A signer the portal's CA did not certify.
  ASSERT_EQ(openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Stranger", "-days", "1", "-keyout",
                     *dir_ + "/stranger.key", "-out", *dir_ + "/stranger.pem"}).status, 0);
  json e = post({{"format", "pkcs7"}, {"signature", cms("stranger", {"-nodetach"})}}, &status);
  EXPECT_EQ(status, 400);
  EXPECT_NE(e.value("error", "").find("not one of this portal's"), std::string::npos) << e;
}

TEST_F(PortalVerify, Pkcs1SignaturesInTheBridgesForm) {
  // RSA: openssl's signature is the PKCS#1 octet string, which is what the
  // bridge gives with default flags (upper-case hex).
  ASSERT_EQ(openssl({"dgst", "-sha256", "-sign", *dir_ + "/rsa.key", "-out", *dir_ + "/rsa.sig",
                     *dir_ + "/content.bin"}).status, 0);
  const std::string rsaSig = vtest::readFile(*dir_ + "/rsa.sig");
  int status = 0;
  json a = post({{"format", "pkcs1"}, {"signature", hexUpper(rsaSig)}, {"certificate", certB64_[0]}, {"content", kText}},
                &status);
  ASSERT_EQ(status, 200) << a;
  EXPECT_EQ(a["signer"], "CN = Signer rsa");
  EXPECT_EQ(a["chain"].size(), 3u);

  // EC: the key storage provider's r||s, reversed by the bridge.
  ASSERT_EQ(openssl({"dgst", "-sha256", "-sign", *dir_ + "/ec.key", "-out", *dir_ + "/ec.sig", *dir_ + "/content.bin"})
                .status, 0);
  const std::string der = vtest::readFile(*dir_ + "/ec.sig");
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, long(der.size()));
  ASSERT_NE(sig, nullptr);
  std::string rs(64, '\0');
  BN_bn2binpad(ECDSA_SIG_get0_r(sig), reinterpret_cast<unsigned char*>(rs.data()), 32);
  BN_bn2binpad(ECDSA_SIG_get0_s(sig), reinterpret_cast<unsigned char*>(rs.data()) + 32, 32);
  ECDSA_SIG_free(sig);
  std::string reversed(rs.rbegin(), rs.rend());
  a = post({{"format", "pkcs1"}, {"signature", hexUpper(reversed)}, {"certificate", certB64_[1]}, {"content", kText}},
           &status);
  EXPECT_EQ(status, 200) << a;
  a = post({{"format", "pkcs1"}, {"signature", velmora::demo::base64Encode(rs)}, {"form", "base64"},
            {"providerOrder", true}, {"certificate", certB64_[1]}, {"content", kText}},
           &status);
  EXPECT_EQ(status, 200) << a;

  std::string flipped = rsaSig;
  flipped[10] ^= 1;
  struct Refused {
    const char* what;
    json body;
  } refused[] = {
      {"a changed signature", {{"format", "pkcs1"}, {"signature", hexUpper(flipped)}, {"certificate", certB64_[0]},
                               {"content", kText}}},
      {"another text", {{"format", "pkcs1"}, {"signature", hexUpper(rsaSig)}, {"certificate", certB64_[0]},
                        {"content", "other"}}},
      {"SHA-1 claimed", {{"format", "pkcs1"}, {"signature", hexUpper(rsaSig)}, {"certificate", certB64_[0]},
                         {"content", kText}, {"digest", "sha1"}}},
      {"another signer's certificate", {{"format", "pkcs1"}, {"signature", hexUpper(rsaSig)},
                                        {"certificate", certB64_[1]}, {"content", kText}}},
      {"not hex", {{"format", "pkcs1"}, {"signature", "XYZ"}, {"certificate", certB64_[0]}, {"content", kText}}},
      {"no certificate", {{"format", "pkcs1"}, {"signature", hexUpper(rsaSig)}, {"content", kText}}},
  };
  for (const auto& r : refused) {
    json e = post(r.body, &status);
    EXPECT_EQ(status, 400) << r.what << ": " << e;
  }
  velmora::http::Request get;
  get.method = "GET";
  get.path = "/api/verify";
  EXPECT_EQ(velmora::demo::handleRequest(*config_, get).status, 405);
}

}  // namespace
