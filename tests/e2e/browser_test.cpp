// The program with the real WebKitGTK engine under Xvfb, driven by a
// loopback test portal: pages, frames and a second host name call the
// bridge; the window's size; the portal check; single instance; the hive.
#include <windows.h>
#include <winreg.h>

#include <unistd.h>

#include <string>

#include "app/trusted_sites.h"
#include "com/server.h"
#include "e2e_support.h"
#include "test_support.h"

namespace {

using nlohmann::json;

// Posts a report to the test portal.
const char kReportJs[] = R"JS(
function report(name, data) {
  var x = new XMLHttpRequest();
  x.open('POST', '/report?name=' + name, false);
  x.send(JSON.stringify(data));
}
function attempt(f) {
  try { return { value: f() }; }
  catch (e) { return { error: String(e && e.message), typeError: e instanceof TypeError, number: e && e.number }; }
}
)JS";

std::string page(const std::string& body) {
  return std::string("<!DOCTYPE html><html><head><meta charset='utf-8'><script src='/velmora-bridge.js'></script><script>") +
         kReportJs + "</script></head><body>" + body + "</body></html>";
}

class Browser : public ::testing::Test {
 protected:
  void SetUp() override {
    VTEST_REQUIRE(e2e::haveXvfb(), "Xvfb");
    ASSERT_TRUE(display_.start()) << "Xvfb did not start";
    ASSERT_TRUE(portal_.start());
  }
  e2e::Display display_;
  e2e::Portal portal_;
};

TEST_F(Browser, ThePortalsFramesCallTheBridgeAndOtherOriginsGetNothing) {
  const std::string second = portal_.url("/second", "localhost");
  const std::string foreignFrame = portal_.url("/foreign", "localhost");
  portal_.page("/home", page(R"(<iframe src="/frame"></iframe><iframe src=")" + foreignFrame + R"("></iframe><script>
    var r = {};
    r.version = attempt(function () { return external.getVersion(); });
    r.upper = attempt(function () { return external.GETVERSION(); });
    r.capi = attempt(function () { return external.capi_GetVersion(); });
    r.errorCode = attempt(function () { return external.capi_GetErrorCode(); });
    r.cardStatus = attempt(function () { return external.GetCardStatus(); });
    r.readers = attempt(function () { return external.getReaderList(); });
    r.certB64 = attempt(function () { return external.capi_GetCertB64(); });
    r.wrongCount = attempt(function () { return external.getVersion(1); });
    r.badArg = attempt(function () { return external.ReadEF1001('abc'); });
    r.ef1001 = attempt(function () { return external.ReadEF1001('3'); });
    r.chinese = attempt(function () { return external.certReg_GetErrorMsg(); });
    r.library = attempt(function () { return new CAPI().GetVersion() + ' ' + new JCIC().GetVersion() + ' ' + new taimac().GetVersion() + ' ' + new certReg().GetVersion(); });
    r.regCert = attempt(function () { return typeof new CardTool().RegCert('csp'); });
    r.unknown = typeof external.noSuchMethod;
    r.location = location.href;
    report('main', r);
    window.addEventListener('load', function () { setTimeout(function () { location.href = ')" +
                                     second + R"('; }, 300); });
    </script>)"));
  portal_.page("/frame", page(R"(<script>
    report('frame', { version: attempt(function () { return external.getversion(); }), location: location.href });
    </script>)"));
  // What a document of another origin sees: no window.external (WebKit has
  // none of its own) and no ActiveXObject.
  const std::string probe = R"(
    { external: typeof window.external,
      version: typeof (window.external || {}).GetVersion,
      registry: typeof (window.external || {}).capi_RegWriteHKCUStr,
      home: typeof (window.external || {}).capi_GetUserHomePath, objects: typeof ActiveXObject,
      location: location.href })";
  portal_.page("/second", page("<script>report('second', " + probe + ");</script>"));
  portal_.page("/foreign", page("<script>report('foreign', " + probe + ");</script>"));

  e2e::Host host(display_, portal_.url("/home"), e2e::makeRuntimeDir(), "bridge");
  ASSERT_TRUE(host.start());
  const json main = portal_.waitReport("main");
  ASSERT_FALSE(main.is_null()) << "no report from the main page";
  EXPECT_EQ(main["version"]["value"], "1.8.0.0");
  EXPECT_EQ(main["upper"]["value"], "1.8.0.0");
  EXPECT_EQ(main["capi"]["value"], "4.0.1.4");
  EXPECT_EQ(main["errorCode"]["value"], 0);
  EXPECT_EQ(main["cardStatus"]["value"], -28672);
  EXPECT_EQ(main["readers"]["value"], "");
  EXPECT_EQ(main["certB64"]["value"], "");
  EXPECT_TRUE(main["wrongCount"]["typeError"].get<bool>()) << main["wrongCount"];
  EXPECT_EQ(main["wrongCount"]["number"], -2147352562);  // DISP_E_BADPARAMCOUNT
  EXPECT_TRUE(main["badArg"]["typeError"].get<bool>()) << main["badArg"];
  EXPECT_TRUE(main["ef1001"].contains("value")) << main["ef1001"];
  EXPECT_EQ(main["chinese"]["value"], "成功(0)");
  EXPECT_EQ(main["library"]["value"], "4.0.1.4 1,0,0,1 4.0.1.4 4.0.1.4");
  EXPECT_EQ(main["regCert"]["value"], "object");
  EXPECT_EQ(main["unknown"], "undefined");

  const json frame = portal_.waitReport("frame");
  ASSERT_FALSE(frame.is_null()) << "no report from the iframe";
  EXPECT_EQ(frame["version"]["value"], "1.8.0.0");
  EXPECT_EQ(frame["location"], portal_.url("/frame"));

  for (const char* name : {"foreign", "second"}) {
    const json other = portal_.waitReport(name);
    ASSERT_FALSE(other.is_null()) << "no report from " << name;
    for (const char* member : {"external", "version", "registry", "home", "objects"})
      EXPECT_EQ(other[member], "undefined") << name << " " << member;
    EXPECT_EQ(other["location"], std::string(name) == "second" ? second : foreignFrame);
  }

  // After every completed document or frame: 810 x 633 (title bar included).
  ASSERT_TRUE(host.waitEvent("document-complete"));
  int completes = 0;
  for (const auto& e : host.events()) {
    if (e.value("event", "") != "document-complete") continue;
    ++completes;
    EXPECT_EQ(e["width"], 810) << e;
    EXPECT_EQ(e["height"], 633) << e;
  }
  EXPECT_GE(completes, 2);
  EXPECT_EQ(host.stop(), 0);
  EXPECT_TRUE(host.waitEvent("end", 1000));
  EXPECT_TRUE(host.dialogs().empty());
}

TEST_F(Browser, PagesCreateTheComponentsAutomationObjects) {
  const std::string marker = vtest::makeTempDir("marker") + "/loaded";
  const std::string library = std::string(VELMORA_BUILD_DIR) + "/fixtures/marker/marker.so";
  portal_.page("/objects", page("<script>var MARKER_LIBRARY = '" + library + "';</script>" + R"(<script>
    var r = {};
    r.type = typeof ActiveXObject;
    var a = attempt(function () { return new ActiveXObject('Strabel.CAPI'); });
    var b = attempt(function () { return new ActiveXObject('Strabel.CAPI.1'); });
    r.created = !!(a.value && b.value);
    if (r.created) {
      a = a.value; b = b.value;
      r.version = attempt(function () { return a.GetVersion(); });
      r.port = attempt(function () { return a.GetPortEx(); });
      r.hash = attempt(function () { return a.hash('abc', 0x13); });
      // A failure on one object leaves the other's status alone.
      r.failed = attempt(function () { return a.ImportCertChain('not a bundle'); });
      r.codes = attempt(function () { return [a.GetErrorCode(), b.GetErrorCode()]; });
      r.noMember = typeof a.NoSuchMember;
      r.wrongCount = attempt(function () { return a.Hash('abc'); });
    }
    r.jcic = attempt(function () { return new ActiveXObject('Quennet.JCIC').GetVersion; });
    r.certReg = attempt(function () { return new ActiveXObject('Strabel.CertREG').GetVersion(); });
    r.unknown = attempt(function () { return new ActiveXObject('Nobody.Nothing'); });
    // A page that registers a class naming a library of its choosing.
    var clsid = '{B0B1E0C2-7A35-4D7E-9A61-5C1D2E3F4AEE}';
    r.writes = [external.capi_RegWriteHKCUStr('Software\\Classes\\Evil.Marker\\CLSID\\', clsid),
                external.capi_RegWriteHKCUStr('Software\\Classes\\CLSID\\' + clsid + '\\InprocServer32\\',
                                              MARKER_LIBRARY)];
    r.evil = attempt(function () { return new ActiveXObject('Evil.Marker'); });
    r.registered = attempt(function () { return new ActiveXObject('Evil.Registered'); });
    r.stillWorks = attempt(function () { return new ActiveXObject('Strabel.CAPI').GetVersion(); });
    report('objects', r);
    </script>)"));
  // The same class already registered in the profile, as another program
  // could have left it: still nothing is loaded.
  const std::string clsid = "{B0B1E0C2-7A35-4D7E-9A61-5C1D2E3F4AEE}";
  ASSERT_EQ(velmora::com::setKey(HKEY_CLASSES_ROOT, "Evil.Registered\\CLSID", clsid.c_str()), ERROR_SUCCESS);
  ASSERT_EQ(velmora::com::setKey(HKEY_CLASSES_ROOT, "CLSID\\" + clsid + "\\InprocServer32", library.c_str()),
            ERROR_SUCCESS);
  e2e::Host host(display_, portal_.url("/objects"), e2e::makeRuntimeDir(), "objects");
  ASSERT_TRUE(host.start({"VELMORA_TEST_MARKER=" + marker}));
  const json r = portal_.waitReport("objects");
  ASSERT_FALSE(r.is_null()) << "no report from the page";
  EXPECT_EQ(r["type"], "function");
  ASSERT_TRUE(r["created"].get<bool>()) << r;
  EXPECT_EQ(r["version"]["value"], "4.0.1.4");
  EXPECT_EQ(r["port"]["value"], 65537);
  EXPECT_EQ(r["hash"]["value"], "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
  EXPECT_NE(r["failed"]["value"], 0) << r["failed"];
  ASSERT_TRUE(r["codes"]["value"].is_array()) << r["codes"];
  EXPECT_NE(r["codes"]["value"][0], 0);
  EXPECT_EQ(r["codes"]["value"][1], 0);
  EXPECT_EQ(r["noMember"], "undefined");
  EXPECT_TRUE(r["wrongCount"]["typeError"].get<bool>()) << r["wrongCount"];
  EXPECT_EQ(r["jcic"]["value"], "1,0,0,1");
  EXPECT_EQ(r["certReg"]["value"], "4.0.1.4");
  EXPECT_EQ(r["unknown"]["number"], -2146827859) << r["unknown"];
  EXPECT_EQ(r["unknown"]["error"], "Automation server can't create object");
  EXPECT_EQ(r["writes"], json::array({5005, 5005}));
  EXPECT_EQ(r["evil"]["number"], -2146827859) << r["evil"];
  EXPECT_EQ(r["registered"]["number"], -2146827859) << r["registered"];
  EXPECT_EQ(r["stillWorks"]["value"], "4.0.1.4");
  EXPECT_NE(access(marker.c_str(), F_OK), 0) << "the page made the host load its library";
  EXPECT_EQ(host.stop(), 0);
  // The program registered both servers for this profile at its start.
  int registered = 0;
  for (const auto& e : host.events())
    if (e.value("event", "") == "server-registration") {
      ++registered;
      EXPECT_EQ(e["result"], "0x00000000") << e;
    }
  EXPECT_EQ(registered, 2);
}

TEST_F(Browser, APortalThatFailsTheCheckGetsTheApologyAndTheProgramEnds) {
  portal_.page("/status404", "gone", 404);
  portal_.page("/status500", "broken", 500);
  velmora::http::Server closed([](const velmora::http::Request&) { return velmora::http::Response{}; });
  ASSERT_TRUE(closed.start());
  const std::string unreachable = "http://127.0.0.1:" + std::to_string(closed.port()) + "/home";
  closed.stop();
  for (const std::string& url : {portal_.url("/status404"), portal_.url("/status500"), unreachable}) {
    SCOPED_TRACE(url);
    e2e::Host host(display_, url, e2e::makeRuntimeDir(), "check");
    ASSERT_TRUE(host.start());
    EXPECT_EQ(host.waitExit(30000), 0);
    const auto dialogs = host.dialogs();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0]["kind"], "message-box");
    EXPECT_EQ(dialogs[0]["title"], "KAVOQuillet");
    EXPECT_EQ(dialogs[0]["texts"]["message"], "抱歉! 好像出現誤會，請重新開啟Quillet");
    EXPECT_EQ(dialogs[0]["options"]["icon"], "warning");  // MB_ICONEXCLAMATION
    EXPECT_EQ(dialogs[0]["buttons"], json::array({"ok"}));
    bool ran = false;
    for (const auto& e : host.events()) ran = ran || e.value("event", "") == "running";
    EXPECT_FALSE(ran) << "the window must not run";
  }
}

TEST_F(Browser, ASelfSignedCertificateForAnotherNamePassesTheCheck) {
  VTEST_REQUIRE(system("command -v openssl >/dev/null 2>&1") == 0, "openssl");
  const std::string dir = vtest::makeTempDir("tls");
  ASSERT_EQ(system(("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=other.example -keyout " + dir +
                    "/key.pem -out " + dir + "/cert.pem >/dev/null 2>&1")
                       .c_str()),
            0);
  velmora::http::Server probe([](const velmora::http::Request&) { return velmora::http::Response{}; });
  ASSERT_TRUE(probe.start());
  const int port = probe.port();
  probe.stop();
  pid_t pid = fork();
  if (pid == 0) {
    freopen("/dev/null", "w", stdout);
    freopen("/dev/null", "w", stderr);
    execlp("openssl", "openssl", "s_server", "-quiet", "-www", "-accept", std::to_string(port).c_str(), "-cert",
           (dir + "/cert.pem").c_str(), "-key", (dir + "/key.pem").c_str(), nullptr);
    _exit(127);
  }
  usleep(500000);
  e2e::Host host(display_, "https://127.0.0.1:" + std::to_string(port) + "/fenroCore/client/home",
                 e2e::makeRuntimeDir(), "tls");
  ASSERT_TRUE(host.start());
  EXPECT_TRUE(host.waitEvent("running"));
  EXPECT_TRUE(host.dialogs().empty());
  host.stop();
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

std::vector<std::string> domainKeys() {
  std::vector<std::string> out;
  HKEY key = nullptr;
  std::string path = velmora::host::kZoneDomains;
  path.pop_back();
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return out;
  for (DWORD i = 0;; ++i) {
    char name[260];
    DWORD len = sizeof name;
    if (RegEnumKeyExA(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY sub = nullptr;
    DWORD value = 0, type = 0, size = sizeof value;
    if (RegOpenKeyExA(key, name, 0, KEY_READ, &sub) == ERROR_SUCCESS) {
      if (RegQueryValueExA(sub, "https", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
          type == REG_DWORD)
        out.push_back(std::string(name) + "=" + std::to_string(value));
      RegCloseKey(sub);
    }
  }
  RegCloseKey(key);
  std::sort(out.begin(), out.end());
  return out;
}

TEST_F(Browser, ASecondInstanceShowsTheMessageAndEndsWhileTheFirstRuns) {
  portal_.page("/home", page("<p>home</p>"));
  const std::string runtime = e2e::makeRuntimeDir();
  e2e::Host first(display_, portal_.url("/home"), runtime, "first");
  ASSERT_TRUE(first.start());
  ASSERT_TRUE(first.waitEvent("running"));
  const std::vector<std::string> keys = {"cloudra-demo.kavo-ca.example=2", "kavo-ca.example=2",
                                         "quillet.kavo-ca.example=2"};
  EXPECT_EQ(domainKeys(), keys);

  e2e::Host second(display_, portal_.url("/home"), runtime, "second");
  ASSERT_TRUE(second.start());
  EXPECT_EQ(second.waitExit(20000), 0);
  const auto dialogs = second.dialogs();
  ASSERT_EQ(dialogs.size(), 1u);
  EXPECT_EQ(dialogs[0]["kind"], "message-box");
  EXPECT_EQ(dialogs[0]["title"], "");
  EXPECT_EQ(dialogs[0]["texts"]["message"], "Quillet(測試)執行中");
  EXPECT_EQ(dialogs[0]["buttons"], json::array({"ok"}));
  bool started = false;
  for (const auto& e : second.events()) started = started || e.value("event", "") == "start";
  EXPECT_FALSE(started);
  EXPECT_TRUE(first.running());
  EXPECT_TRUE(first.dialogs().empty());

  EXPECT_EQ(first.stop(), 0);
  // After the first has ended a start works again, and leaves the same keys.
  e2e::Host third(display_, portal_.url("/home"), runtime, "third");
  ASSERT_TRUE(third.start());
  EXPECT_TRUE(third.waitEvent("running"));
  EXPECT_EQ(third.stop(), 0);
  EXPECT_EQ(domainKeys(), keys);
}

}  // namespace

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

// The program's top-level window on the display: its WM_PROTOCOLS and
// size hints.
struct WindowFacts {
  bool found = false;
  std::vector<std::string> protocols;
  bool fixedSize = false;  // minimum size = maximum size
  std::string icon;        // "set" when _NET_WM_ICON is there
};

Window findTitled(Display* d, Window w, const std::string& title) {
  Atom utf8 = XInternAtom(d, "UTF8_STRING", False), name = XInternAtom(d, "_NET_WM_NAME", False);
  Atom type;
  int format;
  unsigned long n, after;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(d, w, name, 0, 1024, False, utf8, &type, &format, &n, &after, &data) == Success && data) {
    std::string t(reinterpret_cast<char*>(data), n);
    XFree(data);
    if (t == title) return w;
  }
  Window root, parent, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(d, w, &root, &parent, &children, &count)) return 0;
  Window found = 0;
  for (unsigned i = 0; i < count && !found; ++i) found = findTitled(d, children[i], title);
  if (children) XFree(children);
  return found;
}

WindowFacts windowFacts(const std::string& display) {
  WindowFacts f;
  Display* d = XOpenDisplay(display.c_str());
  if (!d) return f;
  Window w = findTitled(d, DefaultRootWindow(d), "KAVOQuillet(測試) Ver 1.8");
  if (w) {
    f.found = true;
    Atom* list = nullptr;
    int n = 0;
    if (XGetWMProtocols(d, w, &list, &n)) {
      for (int i = 0; i < n; ++i) {
        char* name = XGetAtomName(d, list[i]);
        f.protocols.emplace_back(name);
        XFree(name);
      }
      XFree(list);
    }
    XSizeHints hints{};
    long supplied = 0;
    if (XGetWMNormalHints(d, w, &hints, &supplied))
      f.fixedSize = (hints.flags & PMinSize) && (hints.flags & PMaxSize) && hints.min_width == hints.max_width &&
                    hints.min_height == hints.max_height;
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, w, XInternAtom(d, "_NET_WM_ICON", False), 0, 4, False, AnyPropertyType, &type, &format,
                           &count, &after, &data) == Success && data) {
      if (count > 0) f.icon = "set";
      XFree(data);
    }
  }
  XCloseDisplay(d);
  return f;
}

TEST_F(Browser, TheWindowIsFixedInSizeHasTheIconAndIsNeverPinged) {
  portal_.page("/home", page("<p>home</p>"));
  e2e::Host host(display_, portal_.url("/home"), e2e::makeRuntimeDir(), "window");
  ASSERT_TRUE(host.start());
  ASSERT_TRUE(host.waitEvent("document-complete"));
  const WindowFacts f = windowFacts(display_.name());
  ASSERT_TRUE(f.found);
  EXPECT_TRUE(f.fixedSize) << "the user cannot resize or maximise it";
  EXPECT_EQ(f.icon, "set");
  EXPECT_TRUE(std::find(f.protocols.begin(), f.protocols.end(), "WM_DELETE_WINDOW") != f.protocols.end());
  EXPECT_TRUE(std::find(f.protocols.begin(), f.protocols.end(), "_NET_WM_PING") == f.protocols.end())
      << "a long bridge call must not make the desktop offer to end the program";
  EXPECT_EQ(host.stop(), 0);
}

}  // namespace

namespace {

TEST_F(Browser, WebProcessesRunSandboxedAndThePortalsFramesStillGetTheBridge) {
  VTEST_REQUIRE(system("command -v bwrap >/dev/null 2>&1") == 0, "bubblewrap");
  portal_.page("/home", page(R"(<iframe src="/frame"></iframe><script>
    report('main', { version: attempt(function () { return external.getVersion(); }) });</script>)"));
  portal_.page("/frame", page(R"(<script>
    report('frame', { version: attempt(function () { return external.GetVersion(); }) });</script>)"));
  e2e::Host host(display_, portal_.url("/home"), e2e::makeRuntimeDir(), "sandbox");
  ASSERT_TRUE(host.start());
  const json main = portal_.waitReport("main");
  const json frame = portal_.waitReport("frame");
  EXPECT_EQ(main["version"]["value"], "1.8.0.0") << main;
  EXPECT_EQ(frame["version"]["value"], "1.8.0.0") << frame;
  bool sandboxed = false;
  for (const auto& e : host.events())
    if (e.value("event", "") == "running") sandboxed = e.value("sandbox", false);
  EXPECT_TRUE(sandboxed);
  EXPECT_EQ(host.stop(), 0);
}

}  // namespace
