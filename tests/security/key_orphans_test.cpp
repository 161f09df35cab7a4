// Key creation killed at its worst moments: between the key file and its
// registry entry, between the entry and the commit, and at random moments of
// a loop of creations. After one restart (a process that uses the key
// folders) no key file is left that no registry entry refers to.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "certs/ecc_request.h"
#include "certs/key_registry.h"
#include "certs/rsa_request.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

const char kChildVar[] = "KEY_ORPHANS_CHILD";

std::string dataDir() { return vtest::profileDir() + "/home/.local/share/velmora/Crypto"; }

// One request of the kind the child was asked for.
bool makeOne(const std::string& kind) {
  if (kind == "ecc") {
    strabel::EccRequestGenerator ecc;
    ecc.m_nKeyFlags = 0x100;  // P-256, not exportable
    return ecc.Create(u"Orphan Test") == 0;
  }
  strabel::RsaRequestGenerator rsa;
  return rsa.Normalise(1024, 0) && rsa.CreateOne(u"Orphan Test") == 0;
}

// The child half: makes keys (for ever with "loop:"), so the parent can kill it.
void childMain(const std::string& what) {
  if (what.rfind("loop:", 0) == 0) {
    for (unsigned i = 0;; ++i) makeOne(i % 2 ? "ecc" : "rsa");
  }
  makeOne(what);
  _exit(3);  // the injected kill did not happen
}

pid_t startChild(const std::string& what, const char* killAt) {
  const auto* info = testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
  pid_t pid = fork();
  if (pid == 0) {
    setenv(kChildVar, what.c_str(), 1);
    if (killAt) setenv("VELMORA_TEST_KILL_AT", killAt, 1);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    execl("/proc/self/exe", "/proc/self/exe", filter.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

int waitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// The container names the key registry records.
std::set<std::string> recordedNames() {
  std::set<std::string> names;
  HKEY root = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, strabel::kKeyRegistryPath, 0, KEY_READ, &root) != ERROR_SUCCESS) return names;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD size = sizeof name;
    if (RegEnumKeyExA(root, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.insert(std::string(name, size));
  }
  RegCloseKey(root);
  return names;
}

struct Leftovers {
  std::vector<std::string> unrecorded;  // key files no entry names
  std::vector<std::string> stray;       // files that are no key file
  size_t keys = 0;
};

// The files of both key folders now.
std::set<std::string> filesNow() {
  std::set<std::string> files;
  for (const char* sub : {"/RSA", "/Keys"}) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dataDir() + sub, ec)) files.insert(e.path().string());
  }
  return files;
}

// Every file of both key folders but `earlier` (the binary's tests share a
// profile): a key file of a recorded name, or a lock.
Leftovers inspect(const std::set<std::string>& earlier) {
  Leftovers out;
  const auto names = recordedNames();
  for (const char* sub : {"/RSA", "/Keys"}) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dataDir() + sub, ec)) {
      const std::string file = e.path().filename().string();
      if (file == ".lock" || earlier.count(e.path().string())) continue;
      if (file.size() != 44 || file.substr(40) != ".key") {
        out.stray.push_back(std::string(sub) + "/" + file);
        continue;
      }
      auto j = nlohmann::json::parse(vtest::readFile(e.path().string()), nullptr, false);
      const std::string name = j.is_object() ? j.value(sub[1] == 'R' ? "container" : "name", std::string()) : "";
      ++out.keys;
      if (!names.count(name)) out.unrecorded.push_back(std::string(sub) + "/" + file + " (" + name + ")");
    }
  }
  return out;
}

std::string listing(const std::vector<std::string>& files) {
  std::string s;
  for (const auto& f : files) s += "  " + f + "\n";
  return s;
}

TEST(KeyCreation, KilledAnywhereLeavesNoUnrecordedKey) {
  if (const char* what = getenv(kChildVar)) {
    childMain(what);
    return;
  }
  const auto earlier = recordedNames();
  const auto earlierFiles = filesNow();
  // At the two injected points: after the key file and its request, before
  // the registry; after the registry, before the commit.
  struct Case {
    const char* kind;
    const char* point;
  } cases[] = {{"rsa", "key-written"}, {"rsa", "key-recorded"}, {"ecc", "key-written"}, {"ecc", "key-recorded"}};
  for (const auto& c : cases)
    EXPECT_EQ(waitFor(startChild(c.kind, c.point)), 128 + SIGKILL) << c.kind << " " << c.point;
  // Each process sweeps at its first use of a folder, so what is left now
  // is the last crash's of each folder, and none under a final name.
  Leftovers injected = inspect(earlierFiles);
  EXPECT_EQ(injected.stray.size(), 2u) << listing(injected.stray);
  EXPECT_EQ(injected.keys, 0u);

  // And twenty kills at random moments of a loop of creations.
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> delay(20, 600);
  for (int i = 0; i < 20; ++i) {
    pid_t pid = startChild("loop:", nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay(random)));
    kill(pid, SIGKILL);
    EXPECT_EQ(waitFor(pid), 128 + SIGKILL);
  }

  Leftovers before = inspect(earlierFiles);
  EXPECT_TRUE(before.unrecorded.empty()) << listing(before.unrecorded);

  // The restart: a process that uses both key folders.
  auto r = vtest::runCommand({std::string(VELMORA_BIN_DIR) + "/velmora-store", "keys"});
  EXPECT_EQ(r.status, 0) << r.err;

  Leftovers after = inspect(earlierFiles);
  EXPECT_TRUE(after.stray.empty()) << listing(after.stray);
  EXPECT_TRUE(after.unrecorded.empty()) << listing(after.unrecorded);
  // The loop finished some keys, and they are all still there.
  EXPECT_EQ(after.keys, before.keys);

  // The binary's tests share a profile: remove what this one made.
  for (const auto& name : recordedNames()) {
    if (earlier.count(name)) continue;
    RegDeleteTreeA(HKEY_CURRENT_USER, (std::string(strabel::kKeyRegistryPath) + "\\" + name).c_str());
    for (const char* sub : {"/RSA/", "/Keys/"}) {
      std::error_code ec;
      for (const auto& e : fs::directory_iterator(dataDir() + sub, ec)) {
        auto j = nlohmann::json::parse(vtest::readFile(e.path().string()), nullptr, false);
        if (j.is_object() && (j.value("container", "") == name || j.value("name", "") == name))
          fs::remove(e.path());
      }
    }
  }
}

// The key registry entry is one commit: killed between its values, the
// process leaves no entry (and so, after the sweep, no key).
TEST(KeyCreation, KilledInsideTheRegistryEntryLeavesNoneOfIt) {
  if (const char* what = getenv(kChildVar)) {
    childMain(what);
    return;
  }
  const auto earlier = recordedNames();
  for (const char* kind : {"rsa", "ecc"})
    EXPECT_EQ(waitFor(startChild(kind, "key-entry-half-written")), 128 + SIGKILL) << kind;
  EXPECT_EQ(recordedNames(), earlier);
}

}  // namespace

namespace {

// Enrolment and installation with the keys sealed: the request, install and
// signing tests run again on a private session bus with a private keyring,
// in this test's profile, and every key file they leave holds sealed keys.
TEST(KeyCreation, EnrolmentAndInstallWithSealedKeys) {
  bool tools = true;
  for (const char* tool : {"dbus-run-session", "gnome-keyring-daemon"})
    tools = tools && vtest::runCommand({"sh", "-c", std::string("command -v ") + tool}).status == 0;
  VTEST_REQUIRE(tools, "dbus-run-session and gnome-keyring-daemon");
  const auto earlierFiles = filesNow();
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  auto r = vtest::runCommand(
      {"dbus-run-session", "--", "sh", "-c",
       "printf pass | gnome-keyring-daemon --unlock --components=secrets >/dev/null || exit 2; "
       "exec \"$SELF\" --gtest_filter='RsaRequest.*:EccRequest.*:Install.*:EccInstall.*'"},
      {"SELF=" + self});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("[  PASSED  ] 21 tests."), std::string::npos) << r.out;
  size_t sealed = 0;
  for (const auto& file : filesNow()) {
    if (earlierFiles.count(file) || !file.ends_with(".key")) continue;
    const std::string text = vtest::readFile(file);
    EXPECT_EQ(text.find("\"pkcs8\""), std::string::npos) << file;
    if (text.find("\"sealed\"") != std::string::npos) ++sealed;
    fs::remove(file);
  }
  EXPECT_GT(sealed, 0u);
}

}  // namespace
