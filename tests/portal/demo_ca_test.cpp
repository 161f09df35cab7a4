// The demo portal's CA and its enrolment endpoint, checked with the openssl
// command: issued certificates (RSA, EC P-256 and P-384) verify against the
// chain in the answer, carry the request's key and the key usage asked for,
// and the security component installs them; bad requests get a clear
// status; the CA is made once and kept privately.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "demo_ca.h"
#include "portal.h"
#include "test_support.h"

// After OpenSSL's headers: wincrypt.h defines names that OpenSSL's macros use.
#include <strabel/strabel.h>
// CryptoAPI's message type CMSG_DATA shares its name with the socket
// macro, which this file does not use.
#undef CMSG_DATA
#include <wincrypt.h>
#include <windows.h>

namespace {

using nlohmann::json;
using velmora::demo::DemoCa;

bool haveOpenssl() { return system("command -v openssl >/dev/null 2>&1") == 0; }

vtest::CommandResult openssl(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  return vtest::runCommand(argv);
}

int modeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

// The PEM blocks of `openssl pkcs7 -print_certs`, in message order.
std::vector<std::string> pemBlocks(const std::string& text) {
  std::vector<std::string> out;
  const std::string begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
  size_t pos = 0;
  while ((pos = text.find(begin, pos)) != std::string::npos) {
    size_t e = text.find(end, pos);
    if (e == std::string::npos) break;
    out.push_back(text.substr(pos, e + end.size() - pos) + "\n");
    pos = e;
  }
  return out;
}

class DemoCaTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new std::string(vtest::makeTempDir("ca") + "/ca");
    std::string error;
    ca_ = DemoCa::open(*folder_, error).release();
    ASSERT_NE(ca_, nullptr) << error;
  }
  static void TearDownTestSuite() {
    delete ca_;
    delete folder_;
  }
  void SetUp() override {
    VTEST_REQUIRE(haveOpenssl(), "openssl");
    ASSERT_NE(ca_, nullptr);
    dir_ = vtest::makeTempDir("req");
  }

  // A DER request made by the openssl command, as Base64.
  std::string request(const std::vector<std::string>& keyAndSubject) {
    std::vector<std::string> args = {"req", "-new", "-nodes", "-keyout", dir_ + "/key.pem", "-outform", "DER",
                                     "-out", dir_ + "/req.der"};
    args.insert(args.end(), keyAndSubject.begin(), keyAndSubject.end());
    auto r = openssl(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return velmora::demo::base64Encode(vtest::readFile(dir_ + "/req.der"));
  }
  std::string rsaRequest(const std::string& subject = "/C=TW/O=Velmora tests/CN=Alice Chen") {
    return request({"-newkey", "rsa:2048", "-subj", subject});
  }
  // `curve` as openssl names it (P-256, secp384r1, brainpoolP256r1, ...).
  std::string ecRequest(const std::string& curve, const std::vector<std::string>& more = {},
                        const std::string& subject = "/C=TW/O=Velmora tests/CN=Alice Chen") {
    std::vector<std::string> args = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:" + curve, "-subj", subject};
    args.insert(args.end(), more.begin(), more.end());
    return request(args);
  }

  // Checks an issued answer with the openssl command: the chain verifies to
  // the root kept in the CA folder, the certificate has the request's
  // subject and key (dir_/req.der, and the public key in `publicPem`), and
  // its key-usage line is `keyUsage`. Leaves the user certificate in
  // dir_/user.pem.
  void expectIssued(const json& answer, const std::string& keyUsage, const std::string& publicPem) {
    vtest::writeFile(dir_ + "/answer.p7b", *velmora::demo::base64Decode(answer["pkcs7"].get<std::string>()));
    auto printed = openssl({"pkcs7", "-inform", "DER", "-in", dir_ + "/answer.p7b", "-print_certs"});
    ASSERT_EQ(printed.status, 0) << printed.err;
    const auto certs = pemBlocks(printed.out);
    ASSERT_EQ(certs.size(), 3u) << printed.out;  // user, intermediate, root
    vtest::writeFile(dir_ + "/user.pem", certs[0]);
    vtest::writeFile(dir_ + "/intermediate.pem", certs[1]);
    vtest::writeFile(dir_ + "/root.pem", certs[2]);
    // The root in the answer is the one kept in the CA folder.
    EXPECT_EQ(openssl({"x509", "-in", dir_ + "/root.pem", "-noout", "-fingerprint", "-sha256"}).out,
              openssl({"x509", "-in", *folder_ + "/root.crt.pem", "-noout", "-fingerprint", "-sha256"}).out);

    auto verified = openssl({"verify", "-CAfile", dir_ + "/root.pem", "-untrusted", dir_ + "/intermediate.pem",
                             dir_ + "/user.pem"});
    EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
    EXPECT_EQ(verified.out, dir_ + "/user.pem: OK\n");

    auto ext = openssl({"x509", "-in", dir_ + "/user.pem", "-noout", "-ext", "keyUsage,basicConstraints"});
    EXPECT_NE(ext.out.find("X509v3 Key Usage: critical\n    " + keyUsage + "\n"), std::string::npos) << ext.out;
    EXPECT_NE(ext.out.find("CA:FALSE"), std::string::npos) << ext.out;

    // Subject and key are the request's; the "certificate" field is the first one.
    auto reqSubject = openssl({"req", "-inform", "DER", "-in", dir_ + "/req.der", "-noout", "-subject", "-nameopt",
                               "RFC2253"});
    auto certSubject = openssl({"x509", "-in", dir_ + "/user.pem", "-noout", "-subject", "-nameopt", "RFC2253"});
    EXPECT_EQ(certSubject.out, reqSubject.out);
    EXPECT_EQ(openssl({"x509", "-in", dir_ + "/user.pem", "-noout", "-pubkey"}).out, publicPem);
    vtest::writeFile(dir_ + "/user.der", *velmora::demo::base64Decode(answer["certificate"].get<std::string>()));
    EXPECT_EQ(openssl({"x509", "-inform", "DER", "-in", dir_ + "/user.der", "-noout", "-serial"}).out,
              "serial=" + answer["serial"].get<std::string>() + "\n");
  }
  std::string keyFilePublicPem() { return openssl({"pkey", "-in", dir_ + "/key.pem", "-pubout"}).out; }

  velmora::http::Response post(const std::string& body, const std::string& method = "POST") {
    velmora::http::Request req;
    req.method = method;
    req.path = req.target = "/api/enrol";
    req.body = body;
    velmora::demo::PortalConfig config;
    config.ca = ca_;
    return velmora::demo::handleRequest(config, req);
  }

  static std::string* folder_;
  static DemoCa* ca_;
  std::string dir_;
};

std::string* DemoCaTest::folder_ = nullptr;
DemoCa* DemoCaTest::ca_ = nullptr;

TEST_F(DemoCaTest, IssuedCertificatesVerifyAgainstTheChainAndCarryTheAskedKeyUsage) {
  struct Case {
    const char* usage;
    const char* keyUsage;  // as `openssl x509 -ext keyUsage` prints it
  } cases[] = {{"signing", "Digital Signature, Non Repudiation"},
               {"encryption", "Key Encipherment, Data Encipherment"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.usage);
    const std::string csr = rsaRequest();
    auto res = post(json{{"request", csr}, {"usage", c.usage}}.dump());
    ASSERT_EQ(res.status, 200) << res.body;
    EXPECT_EQ(res.contentType, "application/json");
    const json answer = json::parse(res.body);
    expectIssued(answer, c.keyUsage, keyFilePublicPem());
    EXPECT_EQ(answer["subject"], "C = TW, O = Velmora tests, CN = Alice Chen");
    EXPECT_EQ(answer["usage"], c.usage);
  }
}

TEST_F(DemoCaTest, EcRequestsOnBothCurvesAreIssuedForSigning) {
  struct Case {
    const char* curve;   // for openssl req
    const char* oid;     // as `openssl x509 -text` names the certificate's curve
    const char* digest;  // the request's signature
  } cases[] = {{"P-256", "prime256v1", "-sha256"},
               {"P-384", "secp384r1", "-sha256"},
               {"P-384", "secp384r1", "-sha384"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.curve) + " " + c.digest);
    const std::string csr = ecRequest(c.curve, {c.digest});
    auto res = post(json{{"request", csr}, {"usage", "signing"}}.dump());
    ASSERT_EQ(res.status, 200) << res.body;
    const json answer = json::parse(res.body);
    expectIssued(answer, "Digital Signature, Non Repudiation", keyFilePublicPem());
    EXPECT_EQ(answer["usage"], "signing");
    auto text = openssl({"x509", "-in", dir_ + "/user.pem", "-noout", "-text"});
    EXPECT_NE(text.out.find("Public Key Algorithm: id-ecPublicKey"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find(std::string("ASN1 OID: ") + c.oid), std::string::npos) << text.out;
    EXPECT_EQ(text.out.find("Key Encipherment"), std::string::npos) << text.out;
  }
}

TEST_F(DemoCaTest, ThePlatformsOwnRequestsAreAcceptedWithTheirBmpStringName) {
  // What the enrolment page sends: a request from capi_CreatePKCS10, whose
  // common name is a BMPString; the certificate keeps it as it is. Also
  // taken in PEM armour.
  auto made = vtest::runCommand({std::string(VELMORA_BIN_DIR) + "/velmora-call", "capi_CreatePKCS10(\"王小明\", 2048, 0)"});
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string csr = json::parse(made.out).get<std::string>();
  ASSERT_FALSE(csr.empty());
  std::string pem = "-----BEGIN CERTIFICATE REQUEST-----\n";
  for (size_t i = 0; i < csr.size(); i += 64) pem += csr.substr(i, 64) + "\n";
  pem += "-----END CERTIFICATE REQUEST-----\n";
  for (const std::string& text : {csr, pem}) {
    auto res = post(json{{"request", text}, {"usage", "signing"}}.dump());
    ASSERT_EQ(res.status, 200) << res.body;
    const json answer = json::parse(res.body);
    EXPECT_EQ(answer["subject"], "CN = 王小明");
    vtest::writeFile(dir_ + "/user.der", *velmora::demo::base64Decode(answer["certificate"].get<std::string>()));
    auto parsed = openssl({"asn1parse", "-inform", "DER", "-in", dir_ + "/user.der"});
    EXPECT_NE(parsed.out.find("BMPSTRING"), std::string::npos) << parsed.out;
  }
}

// The road of the page's EC choice without the browser: the security
// component makes the request (Base64 with CR LF lines), the CA issues, and
// the answer installs with the same engine, finding the key by its public
// key.
TEST_F(DemoCaTest, TheSecurityComponentsEcRequestsAreIssuedAndInstallWithTheirKey) {
  struct Case {
    long flags;
    const char* oid;
  } cases[] = {{0x101, "prime256v1"}, {0x181, "secp384r1"}};
  CCAPILib capi;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.oid);
    char* made = capi.CreateEccPKCS10("Portal EC User", c.flags);
    const std::string csr = made ? made : "";
    delete[] made;
    ASSERT_FALSE(csr.empty()) << capi.GetErrorCode();
    ASSERT_NE(csr.find("\r\n"), std::string::npos);
    vtest::writeFile(dir_ + "/req.der", *velmora::demo::base64Decode(csr));
    auto requestKey = openssl({"req", "-inform", "DER", "-in", dir_ + "/req.der", "-noout", "-pubkey"});
    ASSERT_EQ(requestKey.status, 0) << requestKey.err;

    auto res = post(json{{"request", csr}, {"usage", "signing"}}.dump());
    ASSERT_EQ(res.status, 200) << res.body;
    const json answer = json::parse(res.body);
    expectIssued(answer, "Digital Signature, Non Repudiation", requestKey.out);
    EXPECT_EQ(answer["subject"], "CN = Portal EC User");
    auto text = openssl({"x509", "-in", dir_ + "/user.pem", "-noout", "-text"});
    EXPECT_NE(text.out.find(std::string("ASN1 OID: ") + c.oid), std::string::npos) << text.out;

    // No dialog service here: the root's prompt is declined, which does not
    // stop the user's certificate.
    ASSERT_EQ(capi.AcceptPKCS7(answer["pkcs7"].get<std::string>().c_str()), 0) << capi.GetErrorCode();
    const std::string der = *velmora::demo::base64Decode(answer["certificate"].get<std::string>());
    HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
    ASSERT_NE(my, nullptr);
    std::string provider;
    bool found = false;
    for (PCCERT_CONTEXT e = nullptr; (e = CertEnumCertificatesInStore(my, e));) {
      if (std::string(reinterpret_cast<const char*>(e->pbCertEncoded), e->cbCertEncoded) != der) continue;
      found = true;
      DWORD n = 0;
      if (CertGetCertificateContextProperty(e, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n)) {
        std::vector<BYTE> buf(n);
        if (CertGetCertificateContextProperty(e, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n))
          for (const WCHAR* w = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data())->pwszProvName; w && *w; ++w)
            provider += char(*w);
      }
    }
    CertCloseStore(my, 0);
    EXPECT_TRUE(found) << "the issued certificate is not in MY";
    EXPECT_EQ(provider, "Microsoft Software Key Storage Provider");
  }
}

TEST_F(DemoCaTest, BadRequestsAreRefusedWithAClearStatus) {
  const std::string good = rsaRequest();
  std::string der = *velmora::demo::base64Decode(good);
  std::string badSignature = der;
  badSignature.back() ^= 0x01;
  const std::string ed25519 = request({"-newkey", "ed25519", "-subj", "/CN=ed"});
  const std::string p256 = ecRequest("P-256");
  std::string ecBadSignature = *velmora::demo::base64Decode(p256);
  ecBadSignature.back() ^= 0x01;  // the last byte of the ECDSA signature's s
  // The same request with its point moved off the curve (the last byte of
  // y): the point is the end of the key's SubjectPublicKeyInfo.
  std::string offCurve = *velmora::demo::base64Decode(p256);
  {
    auto spki = openssl({"pkey", "-in", dir_ + "/key.pem", "-pubout", "-outform", "DER", "-out", dir_ + "/spki.der"});
    ASSERT_EQ(spki.status, 0) << spki.err;
    const std::string spkiDer = vtest::readFile(dir_ + "/spki.der");
    const std::string point = spkiDer.substr(spkiDer.size() - 65);
    const size_t at = offCurve.find(point);
    ASSERT_NE(at, std::string::npos);
    offCurve[at + 64] ^= 0x01;
  }
  const std::string p521 = ecRequest("secp521r1");
  const std::string brainpool = ecRequest("brainpoolP256r1");
  const std::string explicitCurve = ecRequest("P-256", {"-pkeyopt", "ec_param_enc:explicit"});
  const std::string sha1 = ecRequest("P-256", {"-sha1"});
  const std::string ecNoCn = ecRequest("P-256", {}, "/O=Velmora tests");
  ASSERT_EQ(openssl({"ec", "-in", dir_ + "/key.pem", "-conv_form", "compressed", "-out", dir_ + "/compressed.pem"})
                .status,
            0);
  const std::string compressed = request({"-key", dir_ + "/compressed.pem", "-subj", "/CN=compressed"});
  const std::string shortKey = request({"-newkey", "rsa:1024", "-subj", "/CN=short"});
  const std::string noCn = request({"-newkey", "rsa:2048", "-subj", "/O=Velmora tests"});
  const std::string caNamed =
      request({"-newkey", "rsa:2048", "-subj", "/C=TW/O=Velmora demo portal/CN=Velmora Demo Issuing CA"});
  auto enrolBody = [](const std::string& req) { return json{{"request", req}, {"usage", "signing"}}.dump(); };
  using velmora::demo::base64Encode;
  struct Case {
    const char* name;
    std::string body;
    int status;
    const char* error;
  } cases[] = {
      {"not JSON", "request=abc", 400, "not a JSON object"},
      {"a JSON array", "[1,2]", 400, "not a JSON object"},
      {"no request", json{{"usage", "signing"}}.dump(), 400, "\"request\""},
      {"request not a string", json{{"request", 5}, {"usage", "signing"}}.dump(), 400, "\"request\""},
      {"no usage", json{{"request", good}}.dump(), 400, "\"usage\""},
      {"unknown usage", json{{"request", good}, {"usage", "keyCertSign"}}.dump(), 400, "\"usage\" must be"},
      {"empty request", enrolBody(""), 400, "empty"},
      {"not Base64", enrolBody("MIIB$$$"), 400, "not Base64"},
      {"data after padding", enrolBody("QQ==QUFB"), 400, "not Base64"},
      {"Base64 of other bytes", enrolBody(base64Encode("hello, world")), 400, "not a PKCS#10"},
      {"cut short", enrolBody(base64Encode(der.substr(0, der.size() / 2))), 400, "not a PKCS#10"},
      {"trailing bytes", enrolBody(base64Encode(der + "xx")), 400, "not a PKCS#10"},
      {"bad signature", enrolBody(base64Encode(badSignature)), 400, "signature does not verify"},
      {"an Ed25519 key", enrolBody(ed25519), 400, "neither an RSA nor an EC key"},
      {"EC: bad signature", enrolBody(base64Encode(ecBadSignature)), 400, "signature does not verify"},
      {"EC: point off the curve", enrolBody(base64Encode(offCurve)), 400, "not a point on its curve"},
      {"EC: secp521r1", enrolBody(p521), 400, "curve secp521r1 is not supported"},
      {"EC: brainpoolP256r1", enrolBody(brainpool), 400, "curve brainpoolP256r1 is not supported"},
      {"EC: explicit curve parameters", enrolBody(explicitCurve), 400, "does not name its curve"},
      {"EC: compressed point", enrolBody(compressed), 400, "not an uncompressed point"},
      {"EC: signed with SHA-1", enrolBody(sha1), 400, "not signed with ECDSA and SHA-256"},
      {"EC: for encryption", json{{"request", p256}, {"usage", "encryption"}}.dump(), 400,
       "only be certified for \"signing\""},
      {"EC: no common name", enrolBody(ecNoCn), 400, "no common name"},
      {"RSA 1024", enrolBody(shortKey), 400, "shorter than 2048 bits"},
      {"no common name", enrolBody(noCn), 400, "no common name"},
      {"the issuing CA's name", enrolBody(caNamed), 400, "name of a CA"},
      {"too large", enrolBody(std::string(velmora::demo::kMaxEnrolBody, 'A')), 413, "too large"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto res = post(c.body);
    EXPECT_EQ(res.status, c.status) << res.body;
    const json answer = json::parse(res.body, nullptr, false);
    ASSERT_TRUE(answer.is_object()) << res.body;
    EXPECT_NE(answer.value("error", "").find(c.error), std::string::npos) << res.body;
    EXPECT_FALSE(answer.contains("pkcs7"));
  }
  auto get = post("", "GET");
  EXPECT_EQ(get.status, 405);
  EXPECT_EQ(get.headers["Allow"], "POST");
  // Nothing refused above stopped the CA from issuing.
  EXPECT_EQ(post(enrolBody(good)).status, 200);
  EXPECT_EQ(post(enrolBody(p256)).status, 200);
}

TEST_F(DemoCaTest, TheCaIsMadeOnceAndKeptPrivately) {
  const std::string folder = vtest::makeTempDir("fresh") + "/data/velmora/demo-portal/ca";
  std::string error;
  auto first = DemoCa::open(folder, error);
  ASSERT_NE(first, nullptr) << error;
  EXPECT_EQ(modeOf(folder), 0700);
  for (const char* f : {"root.key.pem", "intermediate.key.pem", "root.crt.pem", "intermediate.crt.pem"})
    EXPECT_EQ(modeOf(folder + "/" + f), 0600) << f;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 4) << "no temporary file stays";

  // The chain as the installer sorts it: a self-issued root, and an
  // intermediate that may sign certificates.
  auto verified = openssl({"verify", "-CAfile", folder + "/root.crt.pem", folder + "/intermediate.crt.pem"});
  EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
  auto ext = openssl({"x509", "-in", folder + "/intermediate.crt.pem", "-noout", "-ext", "keyUsage,basicConstraints"});
  EXPECT_NE(ext.out.find("Certificate Sign"), std::string::npos) << ext.out;
  EXPECT_NE(ext.out.find("CA:TRUE"), std::string::npos) << ext.out;

  const std::string rootPem = vtest::readFile(folder + "/root.crt.pem");
  chmod(folder.c_str(), 0755);
  chmod((folder + "/root.key.pem").c_str(), 0644);
  first.reset();
  auto again = DemoCa::open(folder, error);
  ASSERT_NE(again, nullptr) << error;
  EXPECT_EQ(vtest::readFile(folder + "/root.crt.pem"), rootPem) << "a second start keeps the CA";
  EXPECT_EQ(modeOf(folder), 0700);
  EXPECT_EQ(modeOf(folder + "/root.key.pem"), 0600);
  EXPECT_NE(vtest::readFile(*folder_ + "/root.crt.pem"), rootPem) << "another folder, another CA";
}

TEST_F(DemoCaTest, AnIncompleteOrMismatchedFolderIsRefusedAndLeftAlone) {
  namespace fs = std::filesystem;
  const std::string base = vtest::makeTempDir("broken");
  const std::string incomplete = base + "/incomplete", swapped = base + "/swapped";
  fs::copy(*folder_, incomplete);
  fs::copy(*folder_, swapped);
  fs::remove(incomplete + "/intermediate.crt.pem");
  fs::rename(swapped + "/root.key.pem", swapped + "/x");
  fs::rename(swapped + "/intermediate.key.pem", swapped + "/root.key.pem");
  fs::rename(swapped + "/x", swapped + "/intermediate.key.pem");
  const std::string garbled = base + "/garbled";
  fs::copy(*folder_, garbled);
  vtest::writeFile(garbled + "/root.crt.pem", "not a certificate");
  struct Case {
    std::string folder;
    const char* error;
  } cases[] = {{incomplete, "incomplete"}, {swapped, "do not belong together"}, {garbled, "does not read"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    const std::string keyBefore = vtest::readFile(c.folder + "/root.key.pem");
    std::string error;
    EXPECT_EQ(DemoCa::open(c.folder, error), nullptr);
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_EQ(vtest::readFile(c.folder + "/root.key.pem"), keyBefore) << "a CA key is never overwritten";
  }
}

TEST(DemoPortalServer, BadBodyLengthsAreRefusedAndTheServerStaysUp) {
  velmora::http::Server server([](const velmora::http::Request& r) {
    if (r.path == "/throw") throw std::runtime_error("handler failed");
    velmora::http::Response res;
    res.body = "size " + std::to_string(r.body.size());
    return res;
  });
  ASSERT_TRUE(server.start());
  auto exchange = [&](const std::string& text) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(server.port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string out;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      send(fd, text.data(), text.size(), MSG_NOSIGNAL);
      char buf[4096];
      ssize_t n;
      while ((n = recv(fd, buf, sizeof buf, 0)) > 0) out.append(buf, size_t(n));
    }
    close(fd);
    return out.substr(0, out.find("\r\n"));
  };
  struct Case {
    const char* name;
    std::string request;
    const char* statusLine;
  } cases[] = {
      {"not a number", "POST /x HTTP/1.1\r\nContent-Length: abc\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"negative", "POST /x HTTP/1.1\r\nContent-Length: -1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"beyond any size", "POST /x HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n",
       "HTTP/1.1 400 Bad Request"},
      {"too large", "POST /x HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n", "HTTP/1.1 413 Content Too Large"},
      {"a failing handler", "GET /throw HTTP/1.1\r\n\r\n", "HTTP/1.1 500 Internal Server Error"},
      {"a good body", "POST /x HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", "HTTP/1.1 200 OK"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(exchange(c.request), c.statusLine);
  }
  server.stop();
}

}  // namespace
