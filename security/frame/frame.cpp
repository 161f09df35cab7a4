#include "frame/frame.h"

#include <cstdio>
#include <mutex>

#include "base/codepage_internal.h"

namespace strabel {

namespace {

HMODULE g_resourceModule = nullptr;
std::mutex g_resourceLock;
thread_local const void* t_context = nullptr;
const char g_componentContext = 0;

void anchor() {}

}  // namespace

HMODULE componentModule() {
  static HMODULE self = [] {
    HMODULE h = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&anchor), &h);
    return h;
  }();
  return self;
}

std::string componentModulePath() {
  char path[256] = {0};  // the component keeps at most 255 characters
  DWORD n = GetModuleFileNameA(componentModule(), path, sizeof path);
  return std::string(path, n < sizeof path ? n : sizeof path - 1);
}

HMODULE resourceModule() {
  std::lock_guard lock(g_resourceLock);
  return g_resourceModule ? g_resourceModule : componentModule();
}

void setResourceModule(HMODULE module) {
  std::lock_guard lock(g_resourceLock);
  g_resourceModule = module;
}

std::string loadString(unsigned id) {
  char buf[1024];
  int n = LoadStringA(reinterpret_cast<HINSTANCE>(resourceModule()), id, buf, sizeof buf);
  return std::string(buf, n > 0 ? size_t(n) : 0);
}

ManageState::ManageState() : saved_(t_context) { t_context = &g_componentContext; }
ManageState::~ManageState() { t_context = saved_; }
bool insideComponent() { return t_context == &g_componentContext; }

bool probeProtectedMode() {
  HMODULE lib = LoadLibraryA("IEFrame.DLL");
  if (!lib) return false;
  bool isProtected = false;
  using Probe = HRESULT (*)(BOOL*);
  if (auto probe = reinterpret_cast<Probe>(reinterpret_cast<void*>(GetProcAddress(lib, "IEIsProtectedModeProcess")))) {
    BOOL result = FALSE;
    isProtected = probe(&result) == S_OK && result;
  }
  FreeLibrary(lib);
  return isProtected;
}

bool readComponentVersion(std::string& version, DWORD& error) {
  // First the module name with ".dll" (found the way the platform looks
  // files up), then the module's own full path.
  std::string file = "Strabel.dll";
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeA(file.c_str(), &handle);
  if (size == 0) {
    file = componentModulePath();
    size = GetFileVersionInfoSizeA(file.c_str(), &handle);
  }
  std::string block(size ? size : 1, '\0');
  void* fixed = nullptr;
  UINT len = 0;
  if (size == 0 || !GetFileVersionInfoA(file.c_str(), 0, size, block.data()) ||
      !VerQueryValueA(block.data(), "\\", &fixed, &len)) {
    error = GetLastError();
    return false;
  }
  auto* info = static_cast<VS_FIXEDFILEINFO*>(fixed);
  char buf[64];
  snprintf(buf, sizeof buf, "%d.%d.%d.%d", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
           HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
  version = buf;
  return true;
}

std::string capiErrorText(DWORD code, bool english, DWORD langId) {
  if (code == 0) return english ? "Success(0)" : velmora::platform::ansiFromUtf8("成功(0)");
  std::string text;
  LPSTR buffer = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                           nullptr, code, langId, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  if (n && buffer) text.assign(buffer, n);
  if (buffer) LocalFree(buffer);
  char hex[16];
  snprintf(hex, sizeof hex, "(0x%08X)", code);
  return text + hex;
}

}  // namespace strabel
