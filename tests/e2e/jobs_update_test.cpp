// The program under Xvfb with a long key-generation job (a protected key
// whose prompts wait for the user) and with a signed update: the header
// bar shows the work, closing waits for the job, the installer runs and
// comes to the front; the window's size; a bridge that cannot start.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <windows.h>
#include <winreg.h>

#include "e2e_support.h"
#include "https_test_server.h"
#include "test_support.h"
// After the test headers: Xlib defines None.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

const char kTitle[] = "KAVOQuillet(測試) Ver 1.8";

const char kReportJs[] = R"JS(
function report(name, data) {
  var x = new XMLHttpRequest();
  x.open('POST', '/report?name=' + name, false);
  x.send(JSON.stringify(data));
}
)JS";

std::string page(const std::string& script) {
  return std::string("<!DOCTYPE html><html><head><meta charset='utf-8'><script>") + kReportJs +
         "</script></head><body><h1>test</h1><script>" + script + "</script></body></html>";
}

std::string title(::Display* d, Window w) {
  Atom utf8 = XInternAtom(d, "UTF8_STRING", False), name = XInternAtom(d, "_NET_WM_NAME", False);
  Atom type;
  int format;
  unsigned long n, after;
  unsigned char* data = nullptr;
  std::string t;
  if (XGetWindowProperty(d, w, name, 0, 1024, False, utf8, &type, &format, &n, &after, &data) == Success && data) {
    t.assign(reinterpret_cast<char*>(data), n);
    XFree(data);
  } else {
    char* plain = nullptr;
    if (XFetchName(d, w, &plain) && plain) {
      t = plain;
      XFree(plain);
    }
  }
  return t;
}

// The viewable top-level windows, bottom of the stack first, with titles.
std::vector<std::pair<Window, std::string>> topLevels(const std::string& display) {
  std::vector<std::pair<Window, std::string>> out;
  ::Display* d = XOpenDisplay(display.c_str());
  if (!d) return out;
  Window root, parent, *children = nullptr;
  unsigned n = 0;
  if (XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &n)) {
    for (unsigned i = 0; i < n; ++i) {
      XWindowAttributes a{};
      if (XGetWindowAttributes(d, children[i], &a) && a.map_state == IsViewable)
        out.emplace_back(children[i], title(d, children[i]));
    }
    if (children) XFree(children);
  }
  XCloseDisplay(d);
  return out;
}

Window findWindow(const std::string& display, const std::string& name) {
  for (auto& [w, t] : topLevels(display))
    if (t == name) return w;
  return 0;
}

// Closes a prompt as its close box does (the user declines it).
void closePrompt(const std::string& display, Window w) {
  ::Display* d = XOpenDisplay(display.c_str());
  if (!d) return;
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = w;
  e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = long(XInternAtom(d, "WM_DELETE_WINDOW", False));
  e.xclient.data.l[1] = CurrentTime;
  XSendEvent(d, w, False, NoEventMask, &e);
  XSync(d, False);
  XCloseDisplay(d);
}

// Presses Enter in a prompt, as a user accepting it.
void acceptPrompt(const std::string& display, Window w) {
  ::Display* d = XOpenDisplay(display.c_str());
  if (!d) return;
  // No window manager keeps the prompt above its window: raise it first.
  XRaiseWindow(d, w);
  XSetInputFocus(d, w, RevertToParent, CurrentTime);
  XSync(d, False);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const KeyCode code = XKeysymToKeycode(d, XK_Return);
  XTestFakeKeyEvent(d, code, True, 0);
  XTestFakeKeyEvent(d, code, False, 0);
  XSync(d, False);
  XCloseDisplay(d);
}

void screenshot(const e2e::Display& display, const std::string& name) {
  const char* dir = std::getenv("VELMORA_E2E_SCREENSHOT_DIR");
  if (!dir || !*dir) return;
  auto r = vtest::runCommand({std::string(VELMORA_BIN_DIR) + "/velmora-screenshot", std::string(dir) + "/" + name + ".png"},
                             {"DISPLAY=" + display.name()});
  EXPECT_EQ(r.status, 0) << r.err;
}

std::string xwininfo(const e2e::Display& display, Window w, const std::string& field) {
  auto r = vtest::runCommand({"xwininfo", "-display", display.name(), "-id", std::to_string(w)});
  const size_t at = r.out.find(field + ":");
  if (at == std::string::npos) return "";
  const size_t end = r.out.find('\n', at);
  std::string v = r.out.substr(at + field.size() + 1, end - at - field.size() - 1);
  v.erase(0, v.find_first_not_of(' '));
  return v;
}

// The key containers the security component has recorded for this user.
int recordedKeys() {
  HKEY root = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\KAVO\\Strabel", 0, KEY_READ, &root) != ERROR_SUCCESS) return 0;
  int n = 0;
  for (;; ++n) {
    char name[400];
    DWORD size = sizeof name;
    if (RegEnumKeyExA(root, DWORD(n), name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
  }
  RegCloseKey(root);
  return n;
}

bool hasEvent(const e2e::Host& host, const std::string& name) {
  for (const auto& e : host.events())
    if (e.value("event", "") == name) return true;
  return false;
}

class JobsAndUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    VTEST_REQUIRE(e2e::haveXvfb(), "Xvfb");
    VTEST_REQUIRE(system("command -v xwininfo >/dev/null 2>&1") == 0, "xwininfo (x11-utils)");
    ASSERT_TRUE(display_.start()) << "Xvfb did not start";
    ASSERT_TRUE(portal_.start());
    // Windows come and go while the tests look at them.
    XSetErrorHandler([](::Display*, XErrorEvent*) { return 0; });
  }
  e2e::Display display_;
  e2e::Portal portal_;
};

TEST_F(JobsAndUpdate, TheWholeWindowIs810By633) {
  portal_.page("/home", page(""));
  e2e::Host host(display_, portal_.url("/home"), e2e::makeRuntimeDir(), "size");
  ASSERT_TRUE(host.start());
  ASSERT_TRUE(host.waitEvent("document-complete"));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const Window w = findWindow(display_.name(), kTitle);
  ASSERT_NE(w, 0u);
  EXPECT_EQ(xwininfo(display_, w, "Width"), "810");
  EXPECT_EQ(xwininfo(display_, w, "Height"), "633");
  EXPECT_EQ(host.stop(), 0);
}

TEST_F(JobsAndUpdate, ABridgeThatCannotStartIsToldToTheUserAndTheProgramEnds) {
  portal_.page("/home", page(""));
  // A private runtime folder whose path leaves no room for the socket's name.
  std::string runtime = e2e::makeRuntimeDir();
  while (runtime.size() < 120) runtime += "/deeper-and-deeper";
  fs::create_directories(runtime);
  chmod(runtime.c_str(), 0700);
  e2e::Host host(display_, portal_.url("/home"), runtime, "nobridge");
  ASSERT_TRUE(host.start());
  EXPECT_EQ(host.waitExit(30000), 1);
  EXPECT_TRUE(hasEvent(host, "bridge-failed"));
  EXPECT_FALSE(hasEvent(host, "document-complete")) << "the portal is not shown with a dead bridge";
  bool told = false;
  for (const auto& d : host.dialogs()) {
    const std::string s = d.dump();
    if (s.find("message-box") != std::string::npos && s.find("could not be started") != std::string::npos &&
        s.find("無法啟動") != std::string::npos)
      told = true;
  }
  EXPECT_TRUE(told) << json(host.dialogs()).dump();
}

TEST_F(JobsAndUpdate, ALongJobShowsItsProgressAndClosingWaitsForTheKeyToBeFinished) {
  // A protected key: the job waits at its prompts, which the window shows
  // (GTK dialogs), while the page keeps calling into the same component.
  portal_.page("/job", page(R"JS(
    window.external.capi_CreatePKCS10Pair_2('E2E Long Job', 1024, 2);
    report('started', { state: window.external.getGenkeyState() });
    var calls = 0;
    var timer = setInterval(function () {
      var code = window.external.capi_GetErrorCode();
      calls++;
      var state = window.external.getGenkeyState();
      if (state !== -1) {
        clearInterval(timer);
        report('done', { state: state, calls: calls, code: code, csr: window.external.capi_GetCsrForSign() });
      }
    }, 200);
  )JS"));
  const int keysBefore = recordedKeys();
  e2e::Host host(display_, portal_.url("/job"), e2e::makeRuntimeDir(), "job");
  ASSERT_TRUE(host.start({"VELMORA_DIALOG_LOG="}));  // the GTK dialogs
  const json started = portal_.waitReport("started");
  ASSERT_FALSE(started.is_null());
  EXPECT_EQ(started["state"], -1);
  Window prompt = 0;
  ASSERT_TRUE(e2e::waitUntil([&] { return (prompt = findWindow(display_.name(), "Creating a new protected item")) != 0; },
                             30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  screenshot(display_, "job-running");
  bool shown = false;
  for (const auto& e : host.events())
    if (e.value("event", "") == "progress" && e.value("jobs", 0) == 1 &&
        e.value("label", "").find("Generating the key") != std::string::npos &&
        e.value("label", "").find("金鑰產生中") != std::string::npos)
      shown = true;
  EXPECT_TRUE(shown) << "the header bar says that a key is being made";

  // The user closes the window mid-job: it stays until the key is made.
  kill(host.pid(), SIGTERM);
  ASSERT_TRUE(host.waitEvent("close-deferred"));
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  EXPECT_TRUE(host.running());
  screenshot(display_, "job-closing");
  // The user accepts each prompt; the job finishes its keys, then the
  // program ends.
  for (int i = 0; i < 40 && host.running(); ++i) {
    for (const char* t : {"Creating a new protected item", "Signing data with your private key", "Using your private key"})
      if (Window w = findWindow(display_.name(), t); w) acceptPrompt(display_.name(), w);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  EXPECT_EQ(host.waitExit(30000), 0);
  EXPECT_TRUE(hasEvent(host, "closing-after-work"));
  // Both keys of the pair were made and recorded whole.
  EXPECT_EQ(recordedKeys(), keysBefore + 2);
}

// The installer for the update tests: it writes its marker and shows a
// window of its own.
std::string testInstaller(const std::string& marker) {
  return "#!/bin/sh\necho ran > '" + marker +
         "'\nexec xmessage -name test-installer -title 'Test Installer' -timeout 60 'test installer'\n";
}

TEST_F(JobsAndUpdate, ASignedUpdateDownloadsWithProgressRunsAndComesToTheFront) {
  VTEST_REQUIRE(system("command -v xmessage >/dev/null 2>&1") == 0, "xmessage (x11-utils)");
  const std::string key = std::string(VELMORA_BUILD_DIR) + "/demo-publisher/publisher-test-key.pem";
  VTEST_REQUIRE(fs::exists(key), "the demo publisher's test key (a build without VELMORA_PUBLISHER_KEY)");
  const std::string dir = vtest::makeTempDir("upd");
  ASSERT_TRUE(vtest::makeTestCa(dir));
  const std::string marker = dir + "/installer-ran";
  // A big installer, served slowly enough to watch its progress.
  std::string installer = testInstaller(marker) + "exit 0\n";
  installer.resize(installer.size() + (3 << 20), '#');
  vtest::writeFile(dir + "/installer", installer);
  ASSERT_EQ(vtest::runCommand({"openssl", "pkeyutl", "-sign", "-rawin", "-inkey", key, "-in", dir + "/installer", "-out",
                               dir + "/installer.sig"}).status, 0);
  const std::string sig = vtest::readFile(dir + "/installer.sig");
  vtest::HttpsTestServer server([&](const std::string& path) -> vtest::HttpsTestServer::Answer {
    if (path == "/setup.sh") return {200, installer, {}, 80};
    if (path == "/setup.sh.sig") return {200, sig};
    return {404, ""};
  });
  ASSERT_TRUE(server.start(dir + "/good.pem", dir + "/good.key"));
  portal_.page("/update", page("setTimeout(function () { report('update', { result: window.external.versionCheck('1.8.0.1', '" +
                                   server.url("/setup.sh") + "') }); }, 300);"));
  e2e::Host host(display_, portal_.url("/update"), e2e::makeRuntimeDir(), "update");
  ASSERT_TRUE(host.start({"VELMORA_UPDATE_CA_FILE=" + dir + "/ca.pem"}));
  ASSERT_TRUE(e2e::waitUntil(
      [&] {
        for (const auto& e : host.events())
          if (e.value("event", "") == "progress" && e.value("downloading", false)) return true;
        return false;
      },
      30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  screenshot(display_, "update-downloading");
  const json report = portal_.waitReport("update", 60000);
  ASSERT_FALSE(report.is_null());
  EXPECT_EQ(report["result"], 0);
  EXPECT_TRUE(e2e::waitUntil([&] { return fs::exists(marker); }, 10000));
  ASSERT_TRUE(host.waitEvent("installer-front"));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // The installer's window is on top of the host's.
  const auto stack = topLevels(display_.name());
  ASSERT_FALSE(stack.empty());
  EXPECT_EQ(stack.back().second, "Test Installer");
  EXPECT_NE(findWindow(display_.name(), kTitle), 0u) << "the host stays open";
  screenshot(display_, "update-installer-front");
  EXPECT_EQ(host.stop(), 0);
}

TEST_F(JobsAndUpdate, TheDemoPortalsVersionPageUpdatesTheHostEndToEnd) {
  VTEST_REQUIRE(fs::exists(std::string(VELMORA_BUILD_DIR) + "/demo-publisher/publisher-test-key.pem"),
                "the demo publisher's test key");
  const std::string dir = vtest::makeTempDir("demo");
  e2e::Child demo;
  ASSERT_TRUE(demo.start({std::string(VELMORA_BIN_DIR) + "/velmora-demo-portal", "--port", "0", "--port-file",
                          dir + "/port", "--ca-dir", dir + "/ca"},
                         dir + "/portal.out"));
  ASSERT_TRUE(e2e::waitUntil([&] { return !vtest::readFile(dir + "/port").empty(); }, 30000));
  const std::string port = std::to_string(std::stoi(vtest::readFile(dir + "/port")));
  e2e::Host host(display_, "http://127.0.0.1:" + port + "/update?auto=1", e2e::makeRuntimeDir(), "demo");
  const std::string data = dir + "/data";
  ASSERT_TRUE(host.start({"XDG_DATA_HOME=" + data}));
  ASSERT_TRUE(host.waitEvent("update", 60000));
  json update;
  for (const auto& e : host.events())
    if (e.value("event", "") == "update") update = e;
  EXPECT_EQ(update["result"], 0) << update.dump();
  EXPECT_TRUE(e2e::waitUntil([&] { return fs::exists(data + "/velmora/demo-installer-ran"); }, 10000));
  EXPECT_EQ(host.stop(), 0);
}

}  // namespace
