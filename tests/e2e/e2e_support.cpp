#include "e2e_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "test_support.h"

extern char** environ;

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<nlohmann::json> readJsonLines(const std::string& path) {
  std::vector<nlohmann::json> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_discarded()) out.push_back(std::move(j));
  }
  return out;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv, int keepFd = -1,
            const std::string& outPath = {}) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  setpgid(0, 0);
  // Nothing outlives the test: the child ends when its parent does.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  for (const auto& e : extraEnv) putenv(strdup(e.c_str()));
  if (!outPath.empty()) {
    int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
  }
  if (keepFd >= 0) fcntl(keepFd, F_SETFD, 0);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

}  // namespace

bool haveXvfb() { return system("command -v Xvfb >/dev/null 2>&1") == 0; }

Display::~Display() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

bool Display::start() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  pid_ = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x800x24", "-nolisten", "tcp"}, {},
               fds[1], vtest::makeTempDir("xvfb") + "/xvfb.log");
  close(fds[1]);
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  const auto end = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < end && number.find('\n') == std::string::npos) {
    if (poll(&p, 1, 200) <= 0) continue;
    char buf[32];
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    number.append(buf, size_t(n));
  }
  close(fds[0]);
  if (number.find('\n') == std::string::npos) return false;
  name_ = ":" + number.substr(0, number.find('\n'));
  return true;
}

Portal::Portal() {
  server_ = std::make_unique<velmora::http::Server>([this](const velmora::http::Request& r) {
    velmora::http::Response res;
    if (r.path == "/report") {
      std::string name = r.query.rfind("name=", 0) == 0 ? r.query.substr(5) : r.query;
      auto j = nlohmann::json::parse(r.body, nullptr, false);
      {
        std::lock_guard lock(mutex_);
        reports_[name] = j.is_discarded() ? nlohmann::json(r.body) : j;
      }
      cv_.notify_all();
      res.status = 204;
      return res;
    }
    if (r.path == "/velmora-bridge.js") {
      std::ifstream in(std::string(VELMORA_BIN_DIR) + "/velmora-bridge.js", std::ios::binary);
      std::ostringstream s;
      s << in.rdbuf();
      res.contentType = "text/javascript";
      res.body = s.str();
      return res;
    }
    std::lock_guard lock(mutex_);
    auto it = pages_.find(r.path);
    if (it == pages_.end()) {
      res.status = 404;
      res.body = "not found";
    } else {
      res.status = it->second.first;
      res.body = it->second.second;
    }
    return res;
  });
}

bool Portal::start() { return server_->start(); }

std::string Portal::url(const std::string& path, const std::string& host) const {
  return "http://" + host + ":" + std::to_string(port()) + path;
}

void Portal::page(const std::string& path, std::string html, int status) {
  std::lock_guard lock(mutex_);
  pages_[path] = {status, std::move(html)};
}

nlohmann::json Portal::waitReport(const std::string& name, int timeoutMs) {
  std::unique_lock lock(mutex_);
  cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return reports_.count(name) > 0; });
  auto it = reports_.find(name);
  return it == reports_.end() ? nlohmann::json() : it->second;
}

bool Child::start(const std::vector<std::string>& argv, const std::string& outPath,
                  const std::vector<std::string>& extraEnv) {
  pid_ = spawn(argv, extraEnv, -1, outPath);
  return pid_ > 0;
}

bool Child::running() {
  if (pid_ <= 0 || status_ >= 0) return false;
  int st = 0;
  if (waitpid(pid_, &st, WNOHANG) == pid_) {
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return false;
  }
  return true;
}

int Child::stop() {
  if (!running()) return status_;
  kill(pid_, SIGTERM);
  if (waitUntil([&] { return !running(); }, 10000)) return status_;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  status_ = 128 + SIGKILL;
  return -1;
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (done()) return true;
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::string makeRuntimeDir() {
  std::string dir = vtest::makeTempDir("run");
  chmod(dir.c_str(), 0700);
  return dir;
}

Host::Host(const Display& display, std::string portalUrl, std::string runtimeDir, std::string tag)
    : display_(display.name()), portalUrl_(std::move(portalUrl)), runtimeDir_(std::move(runtimeDir)) {
  const std::string dir = vtest::makeTempDir("host-" + tag);
  logPath_ = dir + "/host.log";
  dialogLogPath_ = dir + "/dialogs.log";
}

Host::~Host() {
  if (pid_ > 0 && status_ < 0) stop();
}

bool Host::start(const std::vector<std::string>& extraEnv) {
  std::vector<std::string> env = {"DISPLAY=" + display_,           "VELMORA_PORTAL_URL=" + portalUrl_,
                                  "VELMORA_HOST_LOG=" + logPath_,   "VELMORA_DIALOG_LOG=" + dialogLogPath_,
                                  "XDG_RUNTIME_DIR=" + runtimeDir_};
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  pid_ = spawn({std::string(VELMORA_BIN_DIR) + "/velmora"}, env, -1, logPath_ + ".out");
  return pid_ > 0;
}

std::vector<nlohmann::json> Host::events() const { return readJsonLines(logPath_); }
std::vector<nlohmann::json> Host::dialogs() const { return readJsonLines(dialogLogPath_); }

bool Host::running() {
  if (pid_ <= 0 || status_ >= 0) return false;
  int st = 0;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return false;
  }
  return true;
}

bool Host::waitEvent(const std::string& event, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    for (const auto& e : events())
      if (e.value("event", "") == event) return true;
    if (!running() || Clock::now() > end) {
      for (const auto& e : events())
        if (e.value("event", "") == event) return true;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

int Host::waitExit(int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (running()) {
    if (Clock::now() > end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return status_;
}

int Host::stop() {
  if (!running()) return status_;
  kill(pid_, SIGTERM);
  int st = waitExit(15000);
  if (st < 0) {
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    st = waitExit(5000);
  }
  // The web processes are the program's children; nothing of it stays.
  kill(-pid_, SIGKILL);
  return st;
}

}  // namespace e2e
