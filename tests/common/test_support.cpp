#include "test_support.h"

#include <windows.h>

#include "com/server.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace vtest {

std::string profileDir() {
  const char* p = getenv("VELMORA_TEST_PROFILE");
  return p ? p : "/tmp";
}

std::string makeTempDir(const std::string& hint) {
  static std::atomic<int> counter{0};
  std::string dir = profileDir() + "/work-" + hint + "-" + std::to_string(getpid()) + "-" +
                    std::to_string(counter++);
  std::filesystem::create_directories(dir);
  return dir;
}

CommandResult runCommand(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::string& input) {
  CommandResult result;
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC)) return result;

  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const auto& add : env)
      if (entry.substr(0, entry.find('=') + 1) == add.substr(0, add.find('=') + 1)) replaced = true;
    if (!replaced) envStore.push_back(entry);
  }
  for (const auto& add : env) envStore.push_back(add);
  std::vector<char*> envp, args;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argStore = argv;
  for (auto& a : argStore) args.push_back(a.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  if (rc != 0) {
    close(inPipe[1]);
    close(outPipe[0]);
    close(errPipe[0]);
    result.err = std::string("spawn failed: ") + strerror(rc);
    return result;
  }
  size_t written = 0;
  if (input.empty()) {
    close(inPipe[1]);
    inPipe[1] = -1;
  }
  fcntl(inPipe[1], F_SETFL, O_NONBLOCK);
  bool outOpen = true, errOpen = true;
  char buf[65536];
  while (outOpen || errOpen) {
    pollfd fds[3];
    int n = 0;
    if (outOpen) fds[n++] = {outPipe[0], POLLIN, 0};
    if (errOpen) fds[n++] = {errPipe[0], POLLIN, 0};
    if (inPipe[1] >= 0) fds[n++] = {inPipe[1], POLLOUT, 0};
    if (poll(fds, n, -1) < 0) break;
    for (int i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      if (fds[i].fd == inPipe[1]) {
        ssize_t w = write(inPipe[1], input.data() + written, input.size() - written);
        if (w > 0) written += size_t(w);
        if (w < 0 || written == input.size()) {
          close(inPipe[1]);
          inPipe[1] = -1;
        }
        continue;
      }
      ssize_t r = read(fds[i].fd, buf, sizeof buf);
      std::string& sink = fds[i].fd == outPipe[0] ? result.out : result.err;
      if (r > 0) {
        sink.append(buf, size_t(r));
      } else {
        if (fds[i].fd == outPipe[0]) outOpen = false;
        else errOpen = false;
      }
    }
  }
  if (inPipe[1] >= 0) close(inPipe[1]);
  close(outPipe[0]);
  close(errPipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

bool underCi() {
  const char* ci = getenv("CI");
  return ci && std::string(ci) == "true";
}

}  // namespace vtest

namespace vtest {

std::string comFixturePath() { return std::string(VELMORA_BUILD_DIR) + "/fixtures/comserver/comserver.so"; }

void registerComFixture(const std::string& module) {
  using velmora::com::setKey;
  using velmora::com::setValue;
  const std::string path = module.empty() ? comFixturePath() : module;
  struct Class {
    const char* progId;
    const char* clsid;
  };
  for (const Class& c : {Class{"Velmora.TestEcho", "{B0B1E0C2-7A35-4D7E-9A61-5C1D2E3F4A01}"},
                         Class{"Velmora.TestUnsafe", "{B0B1E0C2-7A35-4D7E-9A61-5C1D2E3F4A04}"}}) {
    const std::string versioned = std::string(c.progId) + ".1";
    const std::string key = std::string("CLSID\\") + c.clsid;
    bool ok = setKey(HKEY_CLASSES_ROOT, versioned + "\\CLSID", c.clsid) == ERROR_SUCCESS &&
              setKey(HKEY_CLASSES_ROOT, std::string(c.progId) + "\\CurVer", versioned.c_str()) == ERROR_SUCCESS &&
              setKey(HKEY_CLASSES_ROOT, key + "\\ProgID", versioned.c_str()) == ERROR_SUCCESS &&
              setKey(HKEY_CLASSES_ROOT, key + "\\InprocServer32", path.c_str(), true) == ERROR_SUCCESS &&
              setValue(HKEY_CLASSES_ROOT, key + "\\InprocServer32", "ThreadingModel", "Apartment") == ERROR_SUCCESS;
    EXPECT_TRUE(ok) << "registering " << c.progId;
  }
}

}  // namespace vtest
