#include "shell/shell.h"

#include <shellapi.h>
#include <windows.h>

#include <spawn.h>
#include <sys/wait.h>

#include <cstring>

extern char** environ;

namespace velmora::shell {

bool openWithDefaultHandler(const std::string& target) {
  // A short-lived sh puts the handler in the background and ends, so the
  // handler is not our child and leaves no zombie behind.
  const char* argv[] = {"/bin/sh", "-c", "xdg-open \"$1\" >/dev/null 2>&1 </dev/null &", "sh", target.c_str(),
                        nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace velmora::shell

HINSTANCE ShellExecuteA(HWND, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR, LPCSTR, INT) {
  if (lpOperation && *lpOperation && strcmp(lpOperation, "open") != 0)
    return reinterpret_cast<HINSTANCE>(intptr_t(SE_ERR_NOASSOC));
  if (!lpFile || !velmora::shell::openWithDefaultHandler(lpFile))
    return reinterpret_cast<HINSTANCE>(intptr_t(ERROR_FILE_NOT_FOUND));
  return reinterpret_cast<HINSTANCE>(intptr_t(42));
}
