// Module loading on dlopen. A module handle is the dlopen handle.
#include <windows.h>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/module_internal.h"

namespace velmora::platform {

std::string libraryFileName(const std::string& name) {
  // As on Windows, the extension is looked for in the last path component
  // only, and a folder given with the name does not change the mapping.
  auto slash = name.rfind('/');
  auto dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name + ".so";
  std::string ext = name.substr(dot);
  for (auto& c : ext) c = char(tolower(static_cast<unsigned char>(c)));
  if (ext == ".dll") return name.substr(0, dot) + ".so";
  return name;
}

}  // namespace velmora::platform

namespace {

// The Windows system libraries whose functions this platform library
// itself provides: loading one by its plain name gives this library.
bool providedByPlatform(const char* name) {
  static const char* const kNames[] = {"oleaut32", "ole32", "kernel32", "advapi32", "crypt32", "user32"};
  std::string base(name);
  for (auto& c : base) c = char(tolower(static_cast<unsigned char>(c)));
  if (base.size() > 4 && base.compare(base.size() - 4, 4, ".dll") == 0) base.resize(base.size() - 4);
  for (const char* n : kNames)
    if (base == n) return true;
  return false;
}

std::string platformLibraryPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&LoadLibraryA), &info) && info.dli_fname) return info.dli_fname;
  return {};
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR lpLibFileName) {
  if (!lpLibFileName || !*lpLibFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string file = providedByPlatform(lpLibFileName) ? platformLibraryPath()
                                                       : velmora::platform::libraryFileName(lpLibFileName);
  void* h = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return static_cast<HMODULE>(h);
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (!hModule || !lpProcName) {
    SetLastError(hModule ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return nullptr;
  }
  dlerror();
  void* sym = dlsym(hModule, lpProcName);
  if (!sym) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(sym);
}

BOOL FreeLibrary(HMODULE hLibModule) {
  if (!hLibModule || dlclose(hLibModule) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

namespace {

// The file mapped at `address`, from the process's own map list (which
// holds full paths); `fallback` when it is not found there.
std::string mappedFileOf(uintptr_t address, const std::string& fallback) {
  FILE* maps = fopen("/proc/self/maps", "re");
  if (!maps) return fallback;
  std::string found = fallback;
  char line[4608];
  while (fgets(line, sizeof line, maps)) {
    unsigned long from = 0, to = 0;
    int pathAt = 0;
    if (sscanf(line, "%lx-%lx %*s %*s %*s %*s %n", &from, &to, &pathAt) < 2 || pathAt <= 0) continue;
    if (address < from || address >= to || line[pathAt] != '/') continue;
    found.assign(line + pathAt);
    while (!found.empty() && (found.back() == '\n' || found.back() == ' ')) found.pop_back();
    break;
  }
  fclose(maps);
  return found;
}

}  // namespace

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  std::string path;
  if (!hModule) {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0) path.assign(buf, size_t(n));
  } else {
    link_map* map = nullptr;
    if (dlinfo(hModule, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name) path = map->l_name;
    // A module loaded by a relative name: Windows always gives the full path.
    if (!path.empty() && path[0] != '/' && map) path = mappedFileOf(reinterpret_cast<uintptr_t>(map->l_ld), path);
    if (path.empty()) {
      char buf[4096];
      ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
      if (n > 0) path.assign(buf, size_t(n));
    }
  }
  if (path.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (!lpFilename || nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // Windows truncates, terminates, and reports the buffer as too small.
  if (path.size() >= nSize) {
    memcpy(lpFilename, path.data(), nSize - 1);
    lpFilename[nSize - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  memcpy(lpFilename, path.c_str(), path.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return DWORD(path.size());
}

BOOL GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule) {
  if (!phModule) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *phModule = nullptr;
  std::string file;
  if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
    Dl_info info{};
    if (!dladdr(lpModuleName, &info) || !info.dli_fname) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    file = info.dli_fname;
  } else if (lpModuleName) {
    file = velmora::platform::libraryFileName(lpModuleName);
  }
  void* h = file.empty() ? dlopen(nullptr, RTLD_NOW) : dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!h) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  // dlopen counted a reference; Windows' plain form does not.
  if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) dlclose(h);
  *phModule = static_cast<HMODULE>(h);
  return TRUE;
}

DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
  const char* t = getenv("TMPDIR");
  std::string path = (t && *t) ? t : "/tmp";
  if (path.back() != '/') path += '/';
  if (nBufferLength <= path.size() || !lpBuffer) return DWORD(path.size() + 1);
  memcpy(lpBuffer, path.c_str(), path.size() + 1);
  return DWORD(path.size());
}

UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  std::string folder;
  if (const char* over = getenv("VELMORA_SYSTEM_DIR"); over && *over) {
    folder = over;
  } else {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&GetSystemDirectoryA), &info) && info.dli_fname) {
      folder = info.dli_fname;
      auto slash = folder.rfind('/');
      folder = slash == std::string::npos ? std::string() : folder.substr(0, slash);
    }
  }
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (!lpBuffer || uSize <= folder.size()) return UINT(folder.size() + 1);
  memcpy(lpBuffer, folder.data(), folder.size());
  lpBuffer[folder.size()] = 0;
  return UINT(folder.size());
}
