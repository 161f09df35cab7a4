// The in-process server: class factory, unload check and self-registration
// of the JCIC control and its type library.
#include <dlfcn.h>
#include <windows.h>
#include <winreg.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "automation/jcic_server.h"
#include "base/codepage_internal.h"

namespace quennet::automation {

namespace {

void anchor() {}

constexpr const char* kClassName = "JCIC Class";
constexpr const char* kProgId = "Quennet.JCIC.1";
constexpr const char* kIndependentProgId = "Quennet.JCIC";

HRESULT fromStatus(LSTATUS status) { return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status); }

// Runs the registry edits in order and stops at the first failure.
class Edits {
 public:
  void key(const std::string& path, const char* value, bool replace = false) {
    if (SUCCEEDED(hr_)) hr_ = fromStatus(velmora::com::setKey(HKEY_CLASSES_ROOT, path, value, replace));
  }
  void value(const std::string& path, const char* name, const std::string& text) {
    if (SUCCEEDED(hr_)) hr_ = fromStatus(velmora::com::setValue(HKEY_CLASSES_ROOT, path, name, text));
  }
  void remove(const std::string& path) {
    HRESULT hr = fromStatus(velmora::com::deleteTree(HKEY_CLASSES_ROOT, path));
    if (SUCCEEDED(hr_)) hr_ = hr;
  }
  HRESULT result() const { return hr_; }

 private:
  HRESULT hr_ = S_OK;
};

std::string classKey() { return "CLSID\\" + velmora::com::guidText(CLSID_JCIC); }

std::string folderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

HRESULT registerTypeLib(const std::string& path) {
  // Paths are ANSI text, as the registry keeps them.
  const std::u16string file = velmora::platform::toWide(path, CP_ACP);
  const std::u16string help = velmora::platform::toWide(folderOf(path), CP_ACP);
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadTypeLib(file.c_str(), &lib);
  if (FAILED(hr)) return hr;
  hr = RegisterTypeLib(lib, file.c_str(), help.c_str());
  lib->Release();
  return hr;
}

}  // namespace

velmora::com::ModuleLock& moduleLock() {
  static velmora::com::ModuleLock lock;
  return lock;
}

std::string modulePath() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<const void*>(&anchor), &info) || !info.dli_fname || !*info.dli_fname) return {};
  // The registered path must hold from any working folder.
  char* full = realpath(info.dli_fname, nullptr);
  std::string path = full ? full : info.dli_fname;
  free(full);
  return path;
}

HRESULT loadTypeInfo(ITypeInfo** out) {
  *out = nullptr;
  const std::string path = modulePath();
  if (path.empty()) return TYPE_E_CANTLOADLIBRARY;
  const std::u16string file = velmora::platform::toWide(path, CP_ACP);
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadTypeLib(file.c_str(), &lib);
  if (FAILED(hr)) return hr;
  hr = lib->GetTypeInfoOfGuid(IID_IJCIC, out);
  lib->Release();
  return hr;
}

}  // namespace quennet::automation

using namespace quennet::automation;

extern "C" {

HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!(rclsid == CLSID_JCIC)) return CLASS_E_CLASSNOTAVAILABLE;
  return velmora::com::createClassFactory(&createJcic, moduleLock(), riid, ppv);
}

HRESULT DllCanUnloadNow() { return moduleLock().idle() ? S_OK : S_FALSE; }

HRESULT DllRegisterServer() {
  const std::string path = modulePath();
  if (path.empty()) return SELFREG_E_CLASS;
  const std::string clsid = velmora::com::guidText(CLSID_JCIC);
  const std::string cls = classKey();

  Edits e;
  e.key(kProgId, kClassName);
  e.key(std::string(kProgId) + "\\CLSID", clsid.c_str());
  e.key(kIndependentProgId, kClassName);
  e.key(std::string(kIndependentProgId) + "\\CLSID", clsid.c_str());
  e.key(std::string(kIndependentProgId) + "\\CurVer", kProgId);

  // The class key is replaced whole, so nothing of an earlier registration stays.
  e.key(cls, kClassName, true);
  e.key(cls + "\\ProgID", kProgId);
  e.key(cls + "\\VersionIndependentProgID", kIndependentProgId);
  e.key(cls + "\\Programmable", nullptr, true);
  e.key(cls + "\\InprocServer32", path.c_str());
  e.value(cls + "\\InprocServer32", "ThreadingModel", "Apartment");
  e.key(cls + "\\Control", nullptr, true);
  e.key(cls + "\\Insertable", nullptr, true);
  e.key(cls + "\\ToolboxBitmap32", (path + ", 105").c_str(), true);
  e.key(cls + "\\MiscStatus", "0");
  e.key(cls + "\\MiscStatus\\1", "131473");
  e.key(cls + "\\TypeLib", velmora::com::guidText(LIBID_QUENNETLib).c_str());
  e.key(cls + "\\Version", "1.0");
  if (FAILED(e.result())) return e.result();
  return registerTypeLib(path);
}

HRESULT DllUnregisterServer() {
  Edits e;
  // The CLSID root itself stays: other classes live under it.
  e.remove(classKey());
  e.remove(kIndependentProgId);
  e.remove(kProgId);
  HRESULT hr = UnRegisterTypeLib(LIBID_QUENNETLib, 1, 0, 0, SYS_WIN64);
  // A type library that was never registered is already gone.
  if (FAILED(e.result())) return e.result();
  return FAILED(hr) && hr != TYPE_E_REGISTRYACCESS ? hr : S_OK;
}

}  // extern "C"
