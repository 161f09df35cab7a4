// The demo portal's envelope endpoint: what it encrypts for a certificate
// its CA issued opens with `openssl cms -decrypt` and with the component's
// CertDecryptPkcs7 when the key is in "MY"; its refusals.
// The portal's headers name OpenSSL's X509_NAME: before wincrypt.h.
#include "demo_ca.h"
#include "portal.h"

#include <nlohmann/json.hpp>
#include <strabel/strabel.h>
#include <wincrypt.h>

#include "test_support.h"

namespace {

using nlohmann::json;
using velmora::demo::DemoCa;

std::string take(char* text) {
  std::string s = text ? text : "";
  delete[] text;
  return s;
}

TEST(PortalEnvelope, TheMessageOpensWithOpensslAndInVelmora) {
  VTEST_REQUIRE(vtest::runCommand({"openssl", "version"}).status == 0, "openssl command");
  const std::string dir = vtest::makeTempDir("penv");
  std::string error;
  std::unique_ptr<DemoCa> ca = DemoCa::open(dir + "/ca", error);
  ASSERT_NE(ca, nullptr) << error;
  velmora::demo::PortalConfig config;
  config.ca = ca.get();
  ASSERT_EQ(vtest::runCommand({"openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", dir + "/k.pem",
                               "-outform", "DER", "-out", dir + "/r.der", "-subj", "/CN=Envelope User"})
                .status,
            0);
  auto issued = ca->issue(velmora::demo::base64Encode(vtest::readFile(dir + "/r.der")), velmora::demo::Usage::Encryption);
  ASSERT_TRUE(std::holds_alternative<velmora::demo::Issued>(issued));
  const std::string cert = std::get<velmora::demo::Issued>(issued).certificate;
  vtest::writeFile(dir + "/c.der", *velmora::demo::base64Decode(cert));
  ASSERT_EQ(vtest::runCommand({"openssl", "x509", "-inform", "DER", "-in", dir + "/c.der", "-out", dir + "/c.pem"}).status,
            0);
  ASSERT_EQ(vtest::runCommand({"openssl", "pkcs12", "-export", "-inkey", dir + "/k.pem", "-in", dir + "/c.pem", "-out",
                               dir + "/u.pfx", "-passout", "pass:pw"})
                .status,
            0);
  // The user's key and certificate in "MY".
  std::string pfx = vtest::readFile(dir + "/u.pfx");
  CRYPT_DATA_BLOB blob{DWORD(pfx.size()), reinterpret_cast<BYTE*>(pfx.data())};
  HCERTSTORE imported = PFXImportCertStore(&blob, u"pw", 0);
  ASSERT_NE(imported, nullptr);
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(imported, c));)
    CertAddCertificateContextToStore(my, c, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  CertCloseStore(my, 0);
  CertCloseStore(imported, 0);

  auto post = [&](const json& body, int* status) {
    velmora::http::Request req;
    req.method = "POST";
    req.path = "/api/envelope";
    req.body = body.dump();
    auto res = velmora::demo::handleRequest(config, req);
    *status = res.status;
    return json::parse(res.body, nullptr, false);
  };
  CCAPILib capi;
  const std::string text = "A secret for my eyes only";
  for (const char* cipher : {"des3", "des", "rc4"}) {
    for (const char* bytes : {"utf-16le", "ansi"}) {
      int status = 0;
      json a = post({{"certificate", cert}, {"text", text}, {"cipher", cipher}, {"bytes", bytes}}, &status);
      ASSERT_EQ(status, 200) << a.dump();
      EXPECT_EQ(a["recipient"], "CN = Envelope User") << a.dump();
      vtest::writeFile(dir + "/m.der", *velmora::demo::base64Decode(a["message"].get<std::string>()));
      auto r = vtest::runCommand({"openssl", "cms", "-decrypt", "-provider", "legacy", "-provider", "default", "-inform",
                                  "DER", "-in", dir + "/m.der", "-inkey", dir + "/k.pem", "-binary"});
      ASSERT_EQ(r.status, 0) << r.err;
      const bool ansi = std::string(bytes) == "ansi";
      EXPECT_EQ(r.out.size(), ansi ? text.size() : 2 * text.size()) << cipher;
      EXPECT_EQ(take(capi.CertDecryptPkcs7(a["message"].get<std::string>().c_str(), ansi ? 0x800 : 0)), text)
          << cipher << " " << bytes << " " << capi.GetErrorCode();
    }
  }
  // The refusals: a foreign certificate, a cipher not offered, missing fields.
  ASSERT_EQ(vtest::runCommand({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", dir + "/o.key",
                               "-outform", "DER", "-out", dir + "/o.der", "-subj", "/CN=Outsider", "-days", "2"})
                .status,
            0);
  struct {
    json body;
    const char* says;
  } refusals[] = {
      {{{"certificate", velmora::demo::base64Encode(vtest::readFile(dir + "/o.der"))}, {"text", "x"}},
       "not issued by the demo CA"},
      {{{"certificate", cert}, {"text", "x"}, {"cipher", "aes"}}, "\"cipher\""},
      {{{"text", "x"}}, "\"certificate\""},
      {{{"certificate", cert}}, "\"text\""},
      {{{"certificate", "%%%"}, {"text", "x"}}, "not Base64"},
  };
  for (const auto& r : refusals) {
    int status = 0;
    json a = post(r.body, &status);
    EXPECT_EQ(status, 400) << r.body.dump();
    EXPECT_NE(a.value("error", "").find(r.says), std::string::npos) << a.dump();
  }
}

}  // namespace
