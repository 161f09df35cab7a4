#include "card_rig.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <winscard.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace ctest_card {

namespace {

const char kDriver[] = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";

std::string emulatorPath() { return std::string(VELMORA_BIN_DIR) + "/velmora-card-emulator"; }

bool onPath(const char* tool) { return vtest::runCommand({"sh", "-c", std::string("command -v ") + tool}).status == 0; }

bool portFree(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

void stop(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

// The child dies with the test process.
void dieWithParent() { prctl(PR_SET_PDEATHSIG, SIGKILL); }

void redirect(const std::string& log) {
  int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (fd >= 0) {
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
  }
  int null = open("/dev/null", O_RDONLY);
  if (null >= 0) dup2(null, 0);
}

}  // namespace

bool CardRig::available(std::string& why) {
  if (!onPath("pcscd")) why = "pcscd (package pcscd)";
  else if (access(kDriver, R_OK) != 0) why = "the vpcd reader driver (package vsmartcard-vpcd)";
  else if (access(emulatorPath().c_str(), X_OK) != 0) why = "velmora-card-emulator (target velmora-card-emulator)";
  else if (!onPath("openssl")) why = "the openssl command (package openssl)";
  else if (geteuid() != 0) why = "root, for pcscd's private mount namespace";
  else return true;
  return false;
}

CardRig::CardRig() { dir = vtest::makeTempDir("card"); }

CardRig::~CardRig() {
  stop(emulator_);
  if (port_) waitForCard(false, 3000);
}

namespace {

// pcsc-lite's client keeps the first socket name it saw, so one daemon
// serves every test of a process; it ends with the process.
struct Daemon {
  pid_t pid = -1;
  int port = 0;
  bool withReader = true;
  std::string dir;
};
Daemon& daemon() {
  static Daemon d;
  return d;
}

}  // namespace

bool CardRig::start(bool withReader) {
  Daemon& d = daemon();
  if (d.pid > 0) {
    socketDir_ = d.dir + "/run";
    port_ = d.port;
    useHere();
    return d.withReader == withReader && waitpid(d.pid, nullptr, WNOHANG) == 0;
  }
  d.dir = dir;
  d.withReader = withReader;
  socketDir_ = dir + "/run";
  std::filesystem::create_directories(dir + "/run");
  std::mt19937 rng(unsigned(getpid()) ^ unsigned(std::chrono::steady_clock::now().time_since_epoch().count()));
  for (int attempt = 0; attempt < 20; ++attempt) {
    int port = 20000 + int(rng() % 40000);
    if (!portFree(port) || !portFree(port + 1)) continue;
    port_ = port;
    break;
  }
  if (!port_) return false;
  d.port = port_;
  std::string conf = dir + "/reader.conf";
  if (!withReader) vtest::writeFile(conf, "\n");
  else vtest::writeFile(conf, "FRIENDLYNAME \"Velmora Test Reader\"\nDEVICENAME /dev/null:" + std::to_string(port_) +
                             "\nLIBPATH " + kDriver + "\nCHANNELID " + std::to_string(port_) + "\n");
  std::filesystem::create_directories("/run/pcscd");
  const std::string run = dir + "/run";
  pid_t pid = fork();
  if (pid == 0) {
    dieWithParent();
    redirect(dir + "/pcscd.log");
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(run.c_str(), "/run/pcscd", nullptr, MS_BIND, nullptr) != 0) {
      perror("private /run/pcscd");
      _exit(126);
    }
    execlp("pcscd", "pcscd", "--foreground", "-c", conf.c_str(), nullptr);
    _exit(127);
  }
  d.pid = pid;
  useHere();
  // Wait for the daemon's socket and its readers.
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < until) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      d.pid = -1;
      return false;
    }
    SCARDCONTEXT ctx = 0;
    if (access((run + "/pcscd.comm").c_str(), F_OK) == 0 &&
        SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) == SCARD_S_SUCCESS) {
      if (!withReader) {
        SCardReleaseContext(ctx);
        return true;
      }
      char* list = nullptr;
      DWORD n = SCARD_AUTOALLOCATE;
      bool found = SCardListReadersA(ctx, nullptr, reinterpret_cast<LPSTR>(&list), &n) == SCARD_S_SUCCESS &&
                   std::string(list, n).find(kReader) != std::string::npos;
      SCardFreeMemory(ctx, list);
      SCardReleaseContext(ctx);
      if (found) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

bool CardRig::waitForCard(bool present, int timeoutMs) const {
  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) return false;
  SCARD_READERSTATEA state{};
  state.szReader = kReader;
  state.dwCurrentState = SCARD_STATE_UNAWARE;
  bool ok = false;
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < until) {
    if (SCardGetStatusChangeA(ctx, 200, &state, 1) == SCARD_S_SUCCESS) {
      bool now = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
      if (now == present) {
        ok = true;
        break;
      }
      state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
    }
  }
  SCardReleaseContext(ctx);
  return ok;
}

bool CardRig::insert(const json& cardState) {
  stop(emulator_);
  vtest::writeFile(dir + "/card.json", cardState.dump());
  const std::string exe = emulatorPath(), port = std::to_string(port_), file = dir + "/card.json";
  emulator_ = fork();
  if (emulator_ == 0) {
    dieWithParent();
    redirect(dir + "/emulator.log");
    execl(exe.c_str(), exe.c_str(), "--port", port.c_str(), "--state", file.c_str(), nullptr);
    _exit(127);
  }
  return waitForCard(true, 10000);
}

void CardRig::pull() {
  stop(emulator_);
  waitForCard(false, 5000);
}

json CardRig::state() const { return json::parse(vtest::readFile(dir + "/card.json"), nullptr, false); }

std::vector<std::string> CardRig::commands() const {
  std::vector<std::string> out;
  json s = state();
  if (s.contains("log"))
    for (auto& c : s["log"]) out.push_back(c.get<std::string>());
  return out;
}

std::vector<std::string> CardRig::env() const {
  return {"PCSCLITE_CSOCK_NAME=" + socketDir_ + "/pcscd.comm", "VELMORA_DIALOG_SCRIPT=" + dir + "/dialogs.script",
          "VELMORA_DIALOG_LOG=" + dir + "/dialogs.log"};
}

void CardRig::useHere() const {
  for (const std::string& e : env()) {
    auto eq = e.find('=');
    setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
  }
}

void CardRig::script(const std::vector<json>& answers) const {
  std::string text;
  for (const json& a : answers) text += a.dump() + "\n";
  vtest::writeFile(dir + "/dialogs.script", text);
}

std::vector<json> CardRig::dialogs() const {
  std::vector<json> out;
  std::istringstream lines(vtest::readFile(dir + "/dialogs.log"));
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) out.push_back(json::parse(line, nullptr, false));
  return out;
}

std::vector<json> callBridge(const CardRig& rig, const std::vector<std::string>& calls) {
  std::vector<std::string> argv = {std::string(VELMORA_BIN_DIR) + "/velmora-call"};
  argv.insert(argv.end(), calls.begin(), calls.end());
  vtest::CommandResult r = vtest::runCommand(argv, rig.env());
  std::vector<json> out;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) out.push_back(json::parse(line, nullptr, false));
  EXPECT_EQ(out.size(), calls.size()) << r.out << r.err;
  return out;
}

json standardCard(const std::string& atr) {
  return json{
      {"atr", atr},
      {"files",
       {{"00C7", {{"1", "313233343536FFFFFFFFFFFFFFFFFFFF"}}},
        {"00C2", {{"1", "31323334FFFFFFFFFFFFFFFFFFFFFFFF"}}},
        {"00C9", {{"1", "36353433323120202020202020202020"}}},
        {"1001",
         {{"1", "02084142434445464700"},
          {"2", "AABB000102030405060708090A0B0C0D0E0F" "5859"},
          {"3", "123441420043"}}},
        {"8000", {{"1", "0000486F6C646572"}}}}},
      {"binary", {{"A001", "3082AABB"}}},
      {"keys", {{"08", {{"key", "000102030405060708090A0B0C0D0E0F"}, {"name", "C0"}}}}},
      {"challenge", "0102030405060708"},
      {"chipId", "1122334455667788"},
  };
}

std::string cryptogram(const std::string& keyHex, const std::vector<unsigned char>& challenge) {
  std::string in = vtest::makeTempDir("crypt") + "/c";
  vtest::writeFile(in, std::string(challenge.begin(), challenge.end()));
  auto r = vtest::runCommand({"openssl", "enc", "-des-ede-ecb", "-nopad", "-K", keyHex, "-in", in, "-a"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::string out = r.out;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

}  // namespace ctest_card
