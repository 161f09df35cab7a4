// Test entry point. Each test process runs in a throw-away profile: the first
// start makes a temporary folder, points HOME and the XDG folders into it and
// starts itself again there (so libraries constructed at load time already
// see the new profile), then removes the folder.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "test_support.h"
// GTK, GLib and WebKit allocations that live as long as the process.
#include "../../host/app/lsan_suppressions.h"

namespace {

int runIsolated(char** argv) {
  char tmpl[] = "/tmp/velmora-test-XXXXXX";
  const char* dir = mkdtemp(tmpl);
  if (!dir) {
    perror("mkdtemp");
    return 1;
  }
  const std::string root = dir;
  for (const char* sub : {"/home", "/home/.local/share", "/home/.config", "/home/.cache", "/tmp", "/run"})
    std::filesystem::create_directories(root + sub);
  setenv("HOME", (root + "/home").c_str(), 1);
  setenv("XDG_DATA_HOME", (root + "/home/.local/share").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (root + "/home/.config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (root + "/home/.cache").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (root + "/run").c_str(), 1);
  setenv("TMPDIR", (root + "/tmp").c_str(), 1);
  setenv("VELMORA_TEST_PROFILE", root.c_str(), 1);
  unsetenv("VELMORA_DIALOG_SCRIPT");
  unsetenv("VELMORA_DIALOG_LOG");
  // Only the profile's own p11-kit module files, not the machine's.
  setenv("VELMORA_P11KIT_SYSTEM_DIRS", "", 1);
  // The user's own session bus (and its keyring) is not the test's: tests
  // that need one start their own.
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  std::filesystem::permissions(root + "/run", std::filesystem::perms::owner_all);

  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    return 1;
  }
  if (pid == 0) {
    execv("/proc/self/exe", argv);
    perror("execv");
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  fprintf(stderr, "test process ended by signal %d\n", WTERMSIG(status));
  return 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
  if (!getenv("VELMORA_TEST_PROFILE")) return runIsolated(argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
