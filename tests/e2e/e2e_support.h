// Browser tests: Xvfb, the real program and a loopback test server.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "http_server.h"

namespace e2e {

// True when Xvfb is installed.
bool haveXvfb();

// An X server of our own (Xvfb -displayfd, screen 1280x800x24).
class Display {
 public:
  Display() = default;
  ~Display();
  bool start();
  const std::string& name() const { return name_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

// The test portal: pages by path, and reports that pages POST to
// /report?name=N (the body is JSON).
class Portal {
 public:
  Portal();
  bool start();
  int port() const { return server_->port(); }
  std::string url(const std::string& path, const std::string& host = "127.0.0.1") const;
  void page(const std::string& path, std::string html, int status = 200);
  // Waits for the report of that name; null JSON when it does not come.
  nlohmann::json waitReport(const std::string& name, int timeoutMs = 30000);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::map<std::string, std::pair<int, std::string>> pages_;
  std::map<std::string, nlohmann::json> reports_;
  std::unique_ptr<velmora::http::Server> server_;
};

// One run of the program.
class Host {
 public:
  // `runtimeDir` is the user's session folder (the single-instance lock
  // and the bridge socket live there).
  Host(const Display& display, std::string portalUrl, std::string runtimeDir, std::string tag);
  ~Host();
  bool start(const std::vector<std::string>& extraEnv = {});
  // Waits until the host log has an event of that name (true) or the time
  // is up or the process ended without it (false).
  bool waitEvent(const std::string& event, int timeoutMs = 30000);
  std::vector<nlohmann::json> events() const;
  std::vector<nlohmann::json> dialogs() const;
  // Waits for the process to end by itself: its exit status, or -1.
  int waitExit(int timeoutMs);
  bool running();
  // SIGTERM (the window closes), then the exit status.
  int stop();
  pid_t pid() const { return pid_; }

 private:
  std::string display_, portalUrl_, runtimeDir_, logPath_, dialogLogPath_;
  pid_t pid_ = -1;
  int status_ = -1;
};

// A helper process of the test (a server), its output in a file; the
// destructor ends it.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { stop(); }
  bool start(const std::vector<std::string>& argv, const std::string& outPath,
             const std::vector<std::string>& extraEnv = {});
  bool running();
  // SIGTERM, then the exit status (-1 when it had to be killed).
  int stop();

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// Polls `done` every 50 ms until it holds (true) or the time is up.
bool waitUntil(const std::function<bool()>& done, int timeoutMs);

// A fresh private runtime folder (0700).
std::string makeRuntimeDir();

}  // namespace e2e
