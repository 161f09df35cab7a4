// Start-up pieces of the host without a window: trusted-site registration,
// the portal check, the single-instance guard.
#include <sys/stat.h>
#include <unistd.h>
#include <windows.h>
#include <winreg.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/portal_check.h"
#include "app/single_instance.h"
#include "app/trusted_sites.h"
#include "http_server.h"
#include "test_support.h"

namespace {

using namespace velmora::host;

DWORD readDword(const std::string& path, const char* name, bool* found = nullptr) {
  HKEY key = nullptr;
  DWORD value = 0, type = 0, size = sizeof value;
  bool ok = RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
  if (ok) {
    ok = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
         type == REG_DWORD;
    RegCloseKey(key);
  }
  if (found) *found = ok;
  return value;
}

std::string readString(const std::string& path, const char* name) {
  HKEY key = nullptr;
  char buf[1024] = {};
  DWORD type = 0, size = sizeof buf;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "<no key>";
  LSTATUS st = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(key);
  return st == ERROR_SUCCESS ? std::string(buf) : "<no value>";
}

std::vector<std::string> subKeys(const std::string& path) {
  std::vector<std::string> out;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return out;
  for (DWORD i = 0;; ++i) {
    char name[260];
    DWORD len = sizeof name;
    if (RegEnumKeyExA(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    out.emplace_back(name, len);
  }
  RegCloseKey(key);
  std::sort(out.begin(), out.end());
  return out;
}

void createKey(const std::string& path) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

void deleteTree(const std::string& path) {
  for (const auto& sub : subKeys(path)) deleteTree(path + "\\" + sub);
  RegDeleteKeyA(HKEY_CURRENT_USER, path.c_str());
}

const std::string kRanges = kZoneRanges;
const std::string kDomains = kZoneDomains;

class TrustedSites : public ::testing::Test {
 protected:
  void SetUp() override { deleteTree(kRanges); }
  void TearDown() override { deleteTree(kRanges); }
};

TEST(TrustedSiteText, Ipv4PatternIsTheWholeText) {
  struct Case {
    const char* host;
    bool address;
  } cases[] = {
      {"10.0.0.1", true},          {"999.300.256.1", true},    {"0.0.0.0", true},
      {"10.0.0.1.", false},        {"10.0.0.1:443", false},    {"10.0.0", false},
      {"::1", false},              {"fe80::1", false},         {"a.b.c.d", false},
      {" 10.0.0.1", false},        {"kavo-ca.example", false}, {"1.2.3.4.5", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isIpv4Text(c.host), c.address) << c.host;
}

TEST_F(TrustedSites, HostNameIsOneDomainsKeyWithHttpsTwo) {
  RegisterTrustedSite("quillet.kavo-ca.example");
  bool found = false;
  EXPECT_EQ(readDword(kDomains + "quillet.kavo-ca.example", "https", &found), 2u);
  EXPECT_TRUE(found);
  // The whole name is one key: no split into domain and sub-domain.
  EXPECT_EQ(readString(kDomains + "kavo-ca.example\\quillet", "https"), "<no key>");
  // Written again: the same key and value.
  RegisterTrustedSite("quillet.kavo-ca.example");
  EXPECT_EQ(readDword(kDomains + "quillet.kavo-ca.example", "https"), 2u);
}

TEST_F(TrustedSites, TrailingDotPortAndIpv6AreDomainNames) {
  for (const char* host : {"10.1.2.3.", "10.1.2.3:8443", "fe80::1"}) {
    RegisterTrustedSite(host);
    bool found = false;
    EXPECT_EQ(readDword(kDomains + host, "https", &found), 2u) << host;
    EXPECT_TRUE(found) << host;
  }
  EXPECT_TRUE(subKeys(kRanges).empty());
}

TEST_F(TrustedSites, AddressWithoutRangesKeyWritesNothing) {
  RegisterTrustedSite("10.20.30.40");
  EXPECT_EQ(readString(kRanges, ":Range"), "<no key>");
  EXPECT_TRUE(subKeys(kRanges).empty());
}

TEST_F(TrustedSites, NewAddressTakesRange1InAnEmptyRangesKey) {
  createKey(kRanges);
  RegisterTrustedSite("999.300.1.2");  // numbers above 255 are still an address
  EXPECT_EQ(subKeys(kRanges), std::vector<std::string>{"Range1"});
  EXPECT_EQ(readString(kRanges + "\\Range1", ":Range"), "999.300.1.2");
  EXPECT_EQ(readDword(kRanges + "\\Range1", "https"), 2u);
}

TEST_F(TrustedSites, NewAddressTakesTheLowestFreeNumber) {
  createKey(kRanges + "\\Range1");
  createKey(kRanges + "\\Range2");
  RegisterTrustedSite("10.0.0.3");
  EXPECT_EQ(readString(kRanges + "\\Range3", ":Range"), "10.0.0.3");
  deleteTree(kRanges);
  createKey(kRanges + "\\Range2");
  RegisterTrustedSite("10.0.0.4");
  EXPECT_EQ(readString(kRanges + "\\Range1", ":Range"), "10.0.0.4");
  EXPECT_EQ(subKeys(kRanges), (std::vector<std::string>{"Range1", "Range2"}));
}

TEST_F(TrustedSites, KnownAddressIsRewrittenInPlace) {
  createKey(kRanges + "\\Range1");
  createKey(kRanges + "\\Range7");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, (kRanges + "\\Range7").c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  const char addr[] = "192.168.1.9";
  RegSetValueExA(key, ":Range", 0, REG_SZ, reinterpret_cast<const BYTE*>(addr), sizeof addr);
  RegCloseKey(key);
  RegisterTrustedSite("192.168.1.9");
  EXPECT_EQ(subKeys(kRanges), (std::vector<std::string>{"Range1", "Range7"}));
  EXPECT_EQ(readDword(kRanges + "\\Range7", "https"), 2u);
  EXPECT_EQ(readString(kRanges + "\\Range1", "https"), "<no value>");
}

TEST_F(TrustedSites, ANonStringRangeValueReadsAsEmpty) {
  createKey(kRanges + "\\Range1");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, (kRanges + "\\Range1").c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  const char addr[] = "10.9.9.9";
  RegSetValueExA(key, ":Range", 0, REG_BINARY, reinterpret_cast<const BYTE*>(addr), sizeof addr);
  RegCloseKey(key);
  RegisterTrustedSite("10.9.9.9");
  EXPECT_EQ(readString(kRanges + "\\Range2", ":Range"), "10.9.9.9");
}

// ---- the portal check ----

class PortalCheck : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new velmora::http::Server([](const velmora::http::Request& r) {
      velmora::http::Response res;
      if (r.path == "/status/404") res.status = 404;
      else if (r.path == "/status/500") res.status = 500;
      else if (r.path == "/status/204") res.status = 204;
      else if (r.path == "/redirect") {
        res.status = 302;
        res.headers["Location"] = "/home";
      } else if (r.path == "/home") {
        // The check's constants arrive with the request.
        const bool good = r.method == "GET" && r.headers.count("user-agent") && r.headers.at("user-agent") == "Velmora" &&
                          r.headers.count("content-type") &&
                          r.headers.at("content-type") == "application/x-www-form-urlencoded; charset: UTF-8";
        res.status = good ? 200 : 400;
      } else res.status = 404;
      return res;
    });
    ASSERT_TRUE(server_->start());
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static std::string url(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(server_->port()) + path;
  }
  static velmora::http::Server* server_;
};
velmora::http::Server* PortalCheck::server_ = nullptr;

TEST_F(PortalCheck, OnlyStatus200Passes) {
  struct Case {
    const char* path;
    bool ok;
    long status;
  } cases[] = {{"/home", true, 200}, {"/status/404", false, 404}, {"/status/500", false, 500},
               {"/status/204", false, 204}, {"/redirect", true, 200}};
  for (const auto& c : cases) {
    const auto r = CheckPortalReachable(url(c.path));
    EXPECT_EQ(r.ok, c.ok) << c.path;
    EXPECT_EQ(r.status, c.status) << c.path;
  }
}

TEST_F(PortalCheck, UnreachablePortFailsAfterOneRetry) {
  velmora::http::Server closed([](const velmora::http::Request&) { return velmora::http::Response{}; });
  ASSERT_TRUE(closed.start());
  const int port = closed.port();
  closed.stop();
  PortalCheckOptions o;
  o.backoffMs = 200;
  const auto start = std::chrono::steady_clock::now();
  const auto r = CheckPortalReachable("http://127.0.0.1:" + std::to_string(port) + "/home", o);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(r.error.empty());
  EXPECT_GE(ms, 200);  // the back-off before the one retry
}

TEST_F(PortalCheck, SelfSignedCertificateForAnotherNamePasses) {
  VTEST_REQUIRE(system("command -v openssl >/dev/null 2>&1") == 0, "openssl");
  const std::string dir = vtest::makeTempDir("tls");
  const std::string gen = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=other.example -keyout " + dir +
                          "/key.pem -out " + dir + "/cert.pem >/dev/null 2>&1";
  ASSERT_EQ(system(gen.c_str()), 0);
  // A free port, then openssl's own server with a status page on it.
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
  PortalCheckResult r;
  for (int i = 0; i < 50; ++i) {
    PortalCheckOptions o;
    o.connectRetries = 0;
    r = CheckPortalReachable("https://127.0.0.1:" + std::to_string(port) + "/fenroCore/client/home", o);
    if (r.ok || r.status != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  EXPECT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.status, 200);
}

TEST(PortalAddress, EnvironmentReplacesTheDeploymentValue) {
  unsetenv("VELMORA_PORTAL_URL");
  const std::string builtIn = homeUrl();
  EXPECT_EQ(builtIn.rfind("https://", 0), 0u) << builtIn;
  setenv("VELMORA_PORTAL_URL", "http://127.0.0.1:1/x", 1);
  EXPECT_EQ(homeUrl(), "http://127.0.0.1:1/x");
  setenv("VELMORA_PORTAL_URL", "", 1);
  EXPECT_EQ(homeUrl(), builtIn);
  unsetenv("VELMORA_PORTAL_URL");
}

// ---- single instance ----

TEST(SingleInstanceGuard, SecondAcquireIsRefusedUntilTheFirstEnds) {
  std::unique_ptr<SingleInstance> first, second;
  ASSERT_EQ(SingleInstance::acquire("VelmoraTest", first), SingleInstance::Outcome::Acquired);
  // Another process sees it running.
  pid_t pid = fork();
  if (pid == 0) {
    std::unique_ptr<SingleInstance> g;
    _exit(SingleInstance::acquire("VelmoraTest", g) == SingleInstance::Outcome::AlreadyRunning ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  first.reset();
  EXPECT_EQ(SingleInstance::acquire("VelmoraTest", second), SingleInstance::Outcome::Acquired);
}

}  // namespace
