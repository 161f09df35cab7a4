#include "app/server_registration.h"

#include <objbase.h>
#include <windows.h>

#include <cstring>

namespace velmora::host {

namespace {

struct Component {
  const char* module;     // as loaded by the program
  const char* clsid;      // a class the module registers
  const char* typeLib;    // its type library, version 1.0, locale 0x409
};

// The security component's CAPI class and the token component's control.
constexpr Component kComponents[] = {
    {"libstrabel.so", "{7C3A52D0-AD11-4E61-8B25-3F9A61C00207}", "{5E20C4A9-B3AF-4D17-A6B8-3F9A61C00207}"},
    {"libquennet.so", "{9D4F0A61-2B7C-4E35-8C1A-6E52B3D7F019}", "{2A8C6E13-F4D0-47B9-A25E-0C9D71B4E836}"},
};

std::string classesDefault(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  char buf[4096] = {};
  DWORD size = sizeof buf - 1, type = 0;
  const bool ok = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok ? std::string(buf) : std::string();
}

std::string loadedPath(const char* module) {
  HMODULE h = nullptr;
  if (!GetModuleHandleExA(0, module, &h) || !h) return {};
  char path[4096] = {};
  const DWORD n = GetModuleFileNameA(h, path, sizeof path);
  FreeLibrary(h);
  return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}

// Every class of the two servers that a page may create.
struct PageClassName {
  const char* module;
  const char* clsid;
};
constexpr PageClassName kPageClasses[] = {
    {"libstrabel.so", "{7C3A52D0-AD11-4E61-8B25-3F9A61C00207}"},  // CAPI
    {"libstrabel.so", "{7C3A52D0-AD12-4E61-8B25-3F9A61C00207}"},  // CertREG
    {"libstrabel.so", "{7C3A52D0-AD13-4E61-8B25-3F9A61C00207}"},  // TaiMAC10
    {"libquennet.so", "{9D4F0A61-2B7C-4E35-8C1A-6E52B3D7F019}"},  // JCIC
};

}  // namespace

std::vector<velmora::channel::PageClass> componentPageClasses() {
  std::vector<velmora::channel::PageClass> out;
  for (const PageClassName& c : kPageClasses) {
    velmora::channel::PageClass pc;
    pc.module = loadedPath(c.module);
    const std::u16string text(c.clsid, c.clsid + strlen(c.clsid));
    if (pc.module.empty() || FAILED(CLSIDFromString(text.c_str(), &pc.clsid))) continue;
    out.push_back(std::move(pc));
  }
  return out;
}

HRESULT runSelfRegistration(const std::string& module, bool unregister) {
  HMODULE h = LoadLibraryA(module.c_str());
  if (!h) return HRESULT_FROM_WIN32(GetLastError());
  using Entry = HRESULT (*)();
  auto entry = reinterpret_cast<Entry>(
      reinterpret_cast<void*>(GetProcAddress(h, unregister ? "DllUnregisterServer" : "DllRegisterServer")));
  const HRESULT hr = entry ? entry() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  FreeLibrary(h);
  return hr;
}

std::vector<ServerModule> registerComponentServers() {
  std::vector<ServerModule> out;
  for (const Component& c : kComponents) {
    ServerModule m;
    m.path = loadedPath(c.module);
    if (m.path.empty()) {
      m.path = c.module;
      m.result = HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
      out.push_back(m);
      continue;
    }
    m.alreadyRegistered =
        classesDefault(std::string("CLSID\\") + c.clsid + "\\InprocServer32") == m.path &&
        classesDefault(std::string("TypeLib\\") + c.typeLib + "\\1.0\\409\\win64") == m.path;
    if (!m.alreadyRegistered) m.result = runSelfRegistration(m.path, false);
    out.push_back(m);
  }
  return out;
}

}  // namespace velmora::host
