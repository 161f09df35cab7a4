// bench_bridge_roundtrip: the page bridge's round trip from page script.
// Starts Xvfb, a loopback portal and the real program in a throw-away
// profile; the page calls external.getVersion() 40,000 times in 200 batches
// of 200 calls, timed with performance.now() (a clock coarser than one
// call); the program prints the median and the 99th percentile.
//   bench_bridge_roundtrip [CALLS]
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "http_server.h"

namespace {

const char kPage[] = R"HTML(<!DOCTYPE html><html><body><script>
function pct(a, q) { a = a.slice().sort(function (x, y) { return x - y; });
  return a[Math.min(a.length - 1, Math.floor(q * a.length))]; }
function median(a) { a = a.slice().sort(function (x, y) { return x - y; }); var n = a.length;
  return n % 2 ? a[(n - 1) / 2] : (a[n / 2 - 1] + a[n / 2]) / 2; }
var N = parseInt(location.search.substring(1), 10) || 40000;
for (var i = 0; i < 500; ++i) external.getVersion();
// performance.now() is coarse in WebKit (its resolution is measured here),
// so calls are timed in batches of 200 and the median and the 99th
// percentile are over the batches.
var res = Infinity, prev = performance.now();
for (var i = 0; i < 200000 && res === Infinity; ++i) { var t = performance.now(); if (t > prev) res = t - prev; prev = t; }
var B = 200, batches = [], t0 = performance.now();
for (var b = 0; b < N / B; ++b) { var s = performance.now(); for (var k = 0; k < B; ++k) external.getVersion();
  batches.push((performance.now() - s) / B); }
var total = performance.now() - t0;
var x = new XMLHttpRequest(); x.open('POST', '/report', false);
x.send(JSON.stringify({ calls: N, batch: B, medianBatchMs: median(batches), p99BatchMs: pct(batches, 0.99), meanMs: total / N,
  minBatchMs: Math.min.apply(null, batches), maxBatchMs: Math.max.apply(null, batches), clockMs: res }));
</script></body></html>)HTML";

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int keepFd, bool quiet) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  setpgid(0, 0);
  // Nothing outlives the test: the child ends when its parent does.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  for (const auto& e : env) putenv(strdup(e.c_str()));
  if (quiet) {
    int fd = open("/dev/null", O_WRONLY);
    dup2(fd, 1);
    dup2(fd, 2);
  }
  if (keepFd >= 0) fcntl(keepFd, F_SETFD, 0);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? atoi(argv[1]) : 40000;
  const std::string exeDir = std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
  char tmpl[] = "/tmp/velmora-bench-XXXXXX";
  const std::string root = mkdtemp(tmpl);
  for (const char* sub : {"/home", "/run", "/data", "/config", "/cache"}) mkdir((root + sub).c_str(), 0700);

  std::mutex mutex;
  std::condition_variable cv;
  std::string report;
  velmora::http::Server server([&](const velmora::http::Request& r) {
    velmora::http::Response res;
    if (r.path == "/report") {
      std::lock_guard lock(mutex);
      report = r.body;
      cv.notify_all();
      res.status = 204;
    } else {
      res.body = kPage;
    }
    return res;
  });
  if (!server.start()) return 1;

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return 1;
  pid_t xvfb = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x800x24", "-nolisten", "tcp"},
                     {}, fds[1], true);
  close(fds[1]);
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  while (number.find('\n') == std::string::npos && poll(&p, 1, 20000) > 0) {
    char buf[32];
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    number.append(buf, size_t(n));
  }
  if (number.find('\n') == std::string::npos) {
    fprintf(stderr, "bench: Xvfb did not start\n");
    return 1;
  }
  const std::string display = ":" + number.substr(0, number.find('\n'));
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/bench?" + std::to_string(calls);
  pid_t host = spawn({exeDir + "/velmora"},
                     {"DISPLAY=" + display, "VELMORA_PORTAL_URL=" + url, "HOME=" + root + "/home",
                      "XDG_RUNTIME_DIR=" + root + "/run", "XDG_DATA_HOME=" + root + "/data",
                      "XDG_CONFIG_HOME=" + root + "/config", "XDG_CACHE_HOME=" + root + "/cache",
                      "VELMORA_DIALOG_LOG=" + root + "/dialogs.log"},
                     -1, true);
  std::unique_lock lock(mutex);
  cv.wait_for(lock, std::chrono::seconds(120), [&] { return !report.empty(); });
  const std::string got = report;
  lock.unlock();
  kill(host, SIGTERM);
  waitpid(host, nullptr, 0);
  kill(-host, SIGKILL);
  kill(xvfb, SIGTERM);
  waitpid(xvfb, nullptr, 0);
  std::filesystem::remove_all(root);
  if (got.empty()) {
    fprintf(stderr, "bench: no result from the page\n");
    return 1;
  }
  auto j = nlohmann::json::parse(got);
  printf("bridge round trip from page script, external.getVersion(), %d calls in batches of %d:\n",
         j["calls"].get<int>(), j["batch"].get<int>());
  printf("  median per call:  %.1f us\n", j["medianBatchMs"].get<double>() * 1000);
  printf("  p99 per call:     %.1f us\n", j["p99BatchMs"].get<double>() * 1000);
  printf("  mean per call:    %.1f us\n", j["meanMs"].get<double>() * 1000);
  printf("  batch range:      %.1f .. %.1f us per call\n", j["minBatchMs"].get<double>() * 1000,
         j["maxBatchMs"].get<double>() * 1000);
  printf("  page clock step:  %.1f us\n", j["clockMs"].get<double>() * 1000);
  return 0;
}
