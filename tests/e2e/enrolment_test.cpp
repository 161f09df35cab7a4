// Enrolment through the demo portal in the real program under Xvfb: the
// user types a common name into the enrolment page and presses Enter; the
// page makes the key and request through the bridge (RSA) or through the
// security component's automation object (EC), the demo portal's CA
// issues the certificate, and the page installs the answer (the root prompt
// answered by a script). The stores of the test's profile then hold the
// certificate with its key and the chain.
#include <algorithm>
#include <cctype>
#include <functional>
#include <regex>
#include <string>
#include <thread>

#include "e2e_support.h"
#include "test_support.h"

// After gtest: Xlib's macros (None, Bool) clash with its names.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

using nlohmann::json;

const char kTitle[] = "KAVOQuillet(測試) Ver 1.8";

Window findTitled(::Display* d, Window w) {
  Atom utf8 = XInternAtom(d, "UTF8_STRING", False), name = XInternAtom(d, "_NET_WM_NAME", False);
  Atom type;
  int format;
  unsigned long n, after;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(d, w, name, 0, 1024, False, utf8, &type, &format, &n, &after, &data) == Success && data) {
    std::string t(reinterpret_cast<char*>(data), n);
    XFree(data);
    if (t == kTitle) return w;
  }
  Window root, parent, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(d, w, &root, &parent, &children, &count)) return 0;
  Window found = 0;
  for (unsigned i = 0; i < count && !found; ++i) found = findTitled(d, children[i]);
  if (children) XFree(children);
  return found;
}

void key(::Display* d, KeySym sym, bool shift = false) {
  KeyCode code = XKeysymToKeycode(d, sym), shiftCode = XKeysymToKeycode(d, XK_Shift_L);
  if (shift) XTestFakeKeyEvent(d, shiftCode, True, 0);
  XTestFakeKeyEvent(d, code, True, 0);
  XTestFakeKeyEvent(d, code, False, 0);
  if (shift) XTestFakeKeyEvent(d, shiftCode, False, 0);
  XSync(d, False);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// Types `text` (letters, digits and spaces) into the program's window as a
// user would, then presses Enter. False when the window is not there.
bool typeIntoWindow(const std::string& display, const std::string& text) {
  ::Display* d = XOpenDisplay(display.c_str());
  if (!d) return false;
  int ev, er, major, minor;
  Window w = XTestQueryExtension(d, &ev, &er, &major, &minor) ? findTitled(d, DefaultRootWindow(d)) : 0;
  if (w) {
    XWindowAttributes a{};
    XGetWindowAttributes(d, w, &a);
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(d, w, DefaultRootWindow(d), a.width / 2, a.height / 2, &x, &y, &child);
    XTestFakeMotionEvent(d, -1, x, y, 0);
    XSetInputFocus(d, w, RevertToParent, CurrentTime);
    XSync(d, False);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (char c : text) {
      if (c == ' ') key(d, XK_space);
      else if (std::isupper(static_cast<unsigned char>(c))) key(d, XK_a + (c - 'A'), true);
      else if (std::islower(static_cast<unsigned char>(c))) key(d, XK_a + (c - 'a'));
      else if (std::isdigit(static_cast<unsigned char>(c))) key(d, XK_0 + (c - '0'));
    }
    key(d, XK_Return);
  }
  XCloseDisplay(d);
  return w != 0;
}

// The entries of `velmora-store list STORE`, one text block each.
std::vector<std::string> storeEntries(const std::string& store) {
  auto r = vtest::runCommand({std::string(VELMORA_BIN_DIR) + "/velmora-store", "list", store});
  std::vector<std::string> out;
  size_t pos = 0;
  while ((pos = r.out.find("  Subject:", pos)) != std::string::npos) {
    size_t end = r.out.find("\n\n", pos);
    out.push_back(r.out.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    pos = end == std::string::npos ? r.out.size() : end;
  }
  return out;
}

// Hex digits only, in upper case: thumbprints and serials as printed anywhere.
std::string bare(const std::string& t) {
  std::string out;
  for (char c : t)
    if (std::isxdigit(static_cast<unsigned char>(c))) out += char(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string field(const std::string& entry, const std::string& name) {
  std::smatch m;
  if (std::regex_search(entry, m, std::regex("  " + name + ": +([^\n]*)"))) return m[1];
  return {};
}

struct PageRun {
  const char* answer;       // to the root prompt
  const char* query;        // of the page's address
  const char* commonName;   // typed by the user
  const char* keyUsage;     // as `openssl x509 -ext keyUsage` prints it
  const char* curve;        // for an EC key, as `openssl x509 -text` names it; null for RSA
};

// One enrolment through the page of a fresh demo portal and a fresh run of
// the program, then the stores.
void enrolThroughThePage(const e2e::Display& display, const PageRun& run) {
  const std::string work = vtest::makeTempDir("enrol");
  const std::string caDir = work + "/ca", portFile = work + "/port", portalLog = work + "/portal.log";
  e2e::Child portal;
  ASSERT_TRUE(portal.start({std::string(VELMORA_BIN_DIR) + "/velmora-demo-portal", "--port", "0", "--port-file",
                            portFile, "--ca-dir", caDir},
                           portalLog));
  ASSERT_TRUE(e2e::waitUntil([&] { return vtest::readFile(portFile).find('\n') != std::string::npos; }, 60000))
      << vtest::readFile(portalLog);
  const std::string port = vtest::readFile(portFile).substr(0, vtest::readFile(portFile).find('\n'));

  const std::string script = work + "/dialogs.script";
  vtest::writeFile(script, "{\"dialog\":\"root-install\",\"button\":\"" + std::string(run.answer) + "\"}\n");
  e2e::Host host(display, "http://127.0.0.1:" + port + "/enrol" + run.query, e2e::makeRuntimeDir(), "enrol");
  ASSERT_TRUE(host.start({"VELMORA_DIALOG_SCRIPT=" + script}));
  ASSERT_TRUE(host.waitEvent("document-complete")) << vtest::readFile(portalLog);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const std::string commonName = run.commonName;
  ASSERT_TRUE(typeIntoWindow(display.name(), commonName));

  // The portal issues, then the page installs. Entries are found by serial
  // and thumbprint, so certificates already in the profile do not count.
  std::string serial;
  EXPECT_TRUE(e2e::waitUntil(
      [&] {
        std::smatch m;
        const std::string log = vtest::readFile(portalLog);
        if (std::regex_search(log, m, std::regex("issued ([0-9A-F]+) to "))) serial = m[1];
        return !serial.empty();
      },
      60000))
      << vtest::readFile(portalLog);
  auto withField = [](const std::vector<std::string>& entries, const std::string& name, const std::string& value) {
    std::vector<std::string> out;
    for (const auto& e : entries)
      if (bare(field(e, name)) == bare(value)) out.push_back(e);
    return out;
  };
  std::vector<std::string> mine;
  // The certificate is stored first and then given its key's marks (two
  // writes, as on Windows): wait for both.
  EXPECT_TRUE(e2e::waitUntil(
      [&] {
        mine = withField(storeEntries("MY"), "Serial", serial);
        return !mine.empty() && !field(mine[0], "Key").empty();
      },
      30000))
      << "the certificate " << serial << " did not reach MY";
  std::this_thread::sleep_for(std::chrono::milliseconds(700));

  if (const char* shots = std::getenv("VELMORA_E2E_SCREENSHOT_DIR"); shots && *shots) {
    auto shot = vtest::runCommand({std::string(VELMORA_BIN_DIR) + "/velmora-screenshot",
                                   std::string(shots) + "/enrolment-" + (run.curve ? run.curve : "RSA") + "-root-" +
                                       run.answer + ".png",
                                   "--title", kTitle},
                                  {"DISPLAY=" + display.name()});
    EXPECT_EQ(shot.status, 0) << shot.err;
  }
  EXPECT_EQ(host.stop(), 0);
  EXPECT_EQ(portal.stop(), 0);

  // The one prompt: installing the demo root.
  const auto dialogs = host.dialogs();
  ASSERT_EQ(dialogs.size(), 1u) << (dialogs.empty() ? json() : json(dialogs));
  EXPECT_EQ(dialogs[0]["kind"], "root-install");
  EXPECT_EQ(dialogs[0]["source"], "script");
  EXPECT_NE(dialogs[0]["texts"]["subject"].get<std::string>().find("Velmora Demo Root CA"), std::string::npos)
      << dialogs[0];

  ASSERT_EQ(mine.size(), 1u);
  const std::string& entry = mine[0];
  EXPECT_NE(field(entry, "Subject").find(commonName), std::string::npos) << entry;
  EXPECT_NE(field(entry, "Issuer").find("Velmora Demo Issuing CA"), std::string::npos) << entry;
  const std::string keyInfo = field(entry, "Key");
  if (run.curve) {
    // An EC key lives in the key storage provider and the certificate
    // names it there (provider type 0, key spec 0).
    EXPECT_TRUE(std::regex_match(keyInfo, std::regex("container [0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}, provider "
                                                      "Microsoft Software Key Storage Provider, type 0, key spec 0")))
        << entry;
  } else {
    EXPECT_EQ(field(entry, "Friendly"), commonName) << entry;
    EXPECT_TRUE(std::regex_match(keyInfo, std::regex("container [0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}, provider "
                                                      "Microsoft Enhanced Cryptographic Provider v1.0, type 1, key spec 1")))
        << entry;
  }

  // The portal's own issuing CA is in "CA", and its root in "ROOT" when the
  // user allowed it; a refused root does not stop the installation.
  auto sha1 = [](const std::string& pem) {
    auto r = vtest::runCommand({"openssl", "x509", "-in", pem, "-noout", "-fingerprint", "-sha1"});
    return r.out.substr(r.out.find('=') + 1);
  };
  const std::string rootSha1 = sha1(caDir + "/root.crt.pem");
  EXPECT_EQ(withField(storeEntries("ROOT"), "SHA-1", rootSha1).size(), std::string(run.answer) == "yes" ? 1u : 0u);
  EXPECT_EQ(withField(storeEntries("CA"), "SHA-1", sha1(caDir + "/intermediate.crt.pem")).size(), 1u);
  // The prompt named that root.
  EXPECT_EQ(bare(dialogs[0]["texts"]["thumbprint"].get<std::string>()), bare(rootSha1));

  // The installed certificate, exported from MY, verifies against the CA
  // the portal keeps, and has the key usage chosen on the page.
  const std::string pem = work + "/mine.pem";
  auto exported = vtest::runCommand(
      {std::string(VELMORA_BIN_DIR) + "/velmora-store", "export", "MY", field(entry, "SHA-1"), "--pem", pem});
  ASSERT_EQ(exported.status, 0) << exported.err;
  auto verified = vtest::runCommand({"openssl", "verify", "-CAfile", caDir + "/root.crt.pem", "-untrusted",
                                     caDir + "/intermediate.crt.pem", pem});
  EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
  auto usage = vtest::runCommand({"openssl", "x509", "-in", pem, "-noout", "-ext", "keyUsage"});
  EXPECT_NE(usage.out.find(run.keyUsage), std::string::npos) << usage.out;
  auto text = vtest::runCommand({"openssl", "x509", "-in", pem, "-noout", "-text"});
  if (run.curve) EXPECT_NE(text.out.find(std::string("NIST CURVE: ") + run.curve), std::string::npos) << text.out;
  else EXPECT_NE(text.out.find("rsaEncryption"), std::string::npos) << text.out;

  // Its key is the one the bridge made: the container's public key is the
  // certificate's.
  auto keys = vtest::runCommand({std::string(VELMORA_BIN_DIR) + "/velmora-store", "keys"});
  const std::string container = keyInfo.substr(10, 36);
  EXPECT_NE(keys.out.find(container), std::string::npos) << keys.out;
}

TEST(Enrolment, TheDemoPortalsEnrolmentPageInstallsACertificateWithItsKeyAndChain) {
  VTEST_REQUIRE(e2e::haveXvfb(), "Xvfb");
  VTEST_REQUIRE(system("command -v openssl >/dev/null 2>&1") == 0, "openssl");
  e2e::Display display;
  ASSERT_TRUE(display.start()) << "Xvfb did not start";
  // The link may choose the key usage; without it the page's default is signing.
  // EC keys come from the security component's automation object, which
  // the page creates with new ActiveXObject("Strabel.CAPI").
  const PageRun runs[] = {
      {"yes", "?usage=encryption", "Lin Meihua 2026", "Key Encipherment, Data Encipherment", nullptr},
      {"no", "", "Chen Jianguo", "Digital Signature, Non Repudiation", nullptr},
      {"yes", "?key=p256", "Wang Xiuying", "Digital Signature, Non Repudiation", "P-256"},
      {"yes", "?key=p384", "Zhang Wei 384", "Digital Signature, Non Repudiation", "P-384"}};
  for (const auto& run : runs) {
    SCOPED_TRACE(std::string("root prompt answered ") + run.answer + ", key " + (run.curve ? run.curve : "RSA"));
    enrolThroughThePage(display, run);
  }
}

// Signing through the demo portal's signing page, with certificates
// enrolled through its enrolment page in the same profile: the page selects
// the signer by its common name, signs, and the portal verifies the
// signature with OpenSSL (its log says by whom).
class Signing : public ::testing::Test {
 protected:
  void SetUp() override {
    VTEST_REQUIRE(e2e::haveXvfb(), "Xvfb");
    ASSERT_TRUE(display_.start()) << "Xvfb did not start";
    work_ = vtest::makeTempDir("sign");
    const std::string portFile = work_ + "/port";
    log_ = work_ + "/portal.log";
    ASSERT_TRUE(portal_.start({std::string(VELMORA_BIN_DIR) + "/velmora-demo-portal", "--port", "0", "--port-file",
                               portFile, "--ca-dir", work_ + "/ca"},
                              log_));
    ASSERT_TRUE(e2e::waitUntil([&] { return vtest::readFile(portFile).find('\n') != std::string::npos; }, 60000))
        << vtest::readFile(log_);
    base_ = "http://127.0.0.1:" + vtest::readFile(portFile).substr(0, vtest::readFile(portFile).find('\n'));
    script_ = work_ + "/dialogs.script";
    vtest::writeFile(script_, "{\"dialog\":\"root-install\",\"button\":\"yes\"}\n");
  }
  void TearDown() override { portal_.stop(); }

  // Opens `path` in a fresh run of the program, presses Enter (the page's
  // focused control submits its form) and waits until `done`. The
  // screenshot, when asked for, is taken then.
  void submit(const std::string& path, const std::function<bool()>& done, const std::string& shot = "") {
    e2e::Host host(display_, base_ + path, e2e::makeRuntimeDir(), "sign");
    ASSERT_TRUE(host.start({"VELMORA_DIALOG_SCRIPT=" + script_}));
    ASSERT_TRUE(host.waitEvent("document-complete")) << vtest::readFile(log_);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(typeIntoWindow(display_.name(), ""));
    EXPECT_TRUE(e2e::waitUntil(done, 60000)) << path << "\n" << vtest::readFile(log_);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    if (const char* dir = std::getenv("VELMORA_E2E_SCREENSHOT_DIR"); dir && *dir && !shot.empty()) {
      auto r = vtest::runCommand({std::string(VELMORA_BIN_DIR) + "/velmora-screenshot",
                                  std::string(dir) + "/" + shot + ".png", "--title", kTitle},
                                 {"DISPLAY=" + display_.name()});
      EXPECT_EQ(r.status, 0) << r.err;
    }
    EXPECT_EQ(host.stop(), 0);
  }
  void enrol(const std::string& cn, const std::string& key) {
    vtest::writeFile(script_, "{\"dialog\":\"root-install\",\"button\":\"yes\"}\n");
    std::string query = cn;
    std::replace(query.begin(), query.end(), ' ', '+');
    submit("/enrol?cn=" + query + "&key=" + key, [&] {
      for (const auto& e : storeEntries("MY"))
        if (field(e, "Subject").find(cn) != std::string::npos && !field(e, "Key").empty()) return true;
      return false;
    });
  }
  // `signer`: "filter" (by the common name), "store" (the list dialog) or
  // "pfx" (the PFX file dialog); the dialogs are answered by `answers`.
  void sign(const std::string& cn, const std::string& format, const std::string& shot = "",
            const std::string& signer = "filter", const std::string& answers = "") {
    std::string query = cn;
    std::replace(query.begin(), query.end(), ' ', '+');
    const size_t before = vtest::readFile(log_).size();
    const std::string line = "verified a " + format + " signature by CN = " + cn;
    vtest::writeFile(script_, answers);
    submit("/sign?cn=" + query + "&format=" + format + "&signer=" + signer,
           [&] { return vtest::readFile(log_).find(line, before) != std::string::npos; }, shot);
  }

  e2e::Display display_;
  e2e::Child portal_;
  std::string work_, log_, base_, script_;
};

TEST_F(Signing, TheSigningPageSignsWithTheEnrolledCertificateAndThePortalVerifiesIt) {
  enrol("Signer Rsa 2026", "rsa");
  sign("Signer Rsa 2026", "pkcs7", "signing-pkcs7-RSA");
  sign("Signer Rsa 2026", "pkcs1", "signing-pkcs1-RSA");
  // An EC key in the key storage provider, reached by the CNG path.
  enrol("Signer Ec 2026", "p256");
  sign("Signer Ec 2026", "pkcs7", "signing-pkcs7-P-256");
  sign("Signer Ec 2026", "pkcs1");

  // From the store's list: both certificates are offered, the user takes
  // the first row (the list is in the store's order).
  sign("Signer", "pkcs7", "signing-pkcs7-list", "store", "{\"dialog\":\"signer-list\",\"row\":0}\n");

  // From a PFX file the user picks: a key made by openssl, certified by the
  // portal's issuing CA, in a PFX file with its chain.
  const std::string ca = work_ + "/ca";
  ASSERT_EQ(vtest::runCommand({"openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Pfx Signer 2026",
                               "-keyout", work_ + "/pfx.key", "-out", work_ + "/pfx.csr"}).status, 0);
  vtest::writeFile(work_ + "/ext.cnf", "keyUsage=critical,digitalSignature,nonRepudiation\nbasicConstraints=CA:FALSE\n");
  ASSERT_EQ(vtest::runCommand({"openssl", "x509", "-req", "-in", work_ + "/pfx.csr", "-CA", ca + "/intermediate.crt.pem",
                               "-CAkey", ca + "/intermediate.key.pem", "-CAcreateserial", "-days", "30", "-extfile",
                               work_ + "/ext.cnf", "-out", work_ + "/pfx.crt"}).status, 0);
  ASSERT_EQ(vtest::runCommand({"openssl", "pkcs12", "-export", "-inkey", work_ + "/pfx.key", "-in", work_ + "/pfx.crt",
                               "-certfile", ca + "/intermediate.crt.pem", "-passout", "pass:1234", "-out",
                               work_ + "/signer.pfx"}).status, 0);
  sign("Pfx Signer 2026", "pkcs7", "signing-pkcs7-PFX", "pfx",
       "{\"dialog\":\"pfx-file\",\"folder\":\"" + work_ + "\",\"name\":\"signer.pfx\",\"password\":\"1234\"}\n");
  sign("Pfx Signer 2026", "pkcs1", "", "pfx",
       "{\"dialog\":\"pfx-file\",\"folder\":\"" + work_ + "\",\"name\":\"signer.pfx\",\"password\":\"1234\"}\n");
}

}  // namespace
