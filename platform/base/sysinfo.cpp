#include <windows.h>

#include <sys/utsname.h>

#include <cstdio>
#include <cstring>

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
  if (!info || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  struct utsname u{};
  unsigned major = 0, minor = 0, patch = 0;
  if (uname(&u) == 0) sscanf(u.release, "%u.%u.%u", &major, &minor, &patch);
  info->dwMajorVersion = major;
  info->dwMinorVersion = minor;
  info->dwBuildNumber = patch;
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return TRUE;
}
