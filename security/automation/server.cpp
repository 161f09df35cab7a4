// The in-process server's entry points: class factories, the unload check
// and self-registration (the type library and one registration script per
// class under HKEY_CLASSES_ROOT).
#include <filesystem>
#include <string>
#include <system_error>

#include "automation/automation.h"
#include "frame/engines.h"
#include "frame/frame.h"

namespace {

using velmora::com::deleteTree;
using velmora::com::guidText;
using velmora::com::setKey;
using velmora::com::setValue;

struct ClassEntry {
  const CLSID* clsid;
  const char* name;  // ProgIDs are "Strabel.<name>" and "Strabel.<name>.1"
  velmora::com::CreateFn create;
};

const ClassEntry kClasses[] = {
    {&CLSID_CAPI, "CAPI", strabel::automation::createCapi},
    {&CLSID_CertREG, "CertREG", strabel::automation::createCertReg},
    {&CLSID_TaiMAC10, "TaiMAC10", strabel::automation::createTaiMac},
};

struct ClassKeys {
  explicit ClassKeys(const ClassEntry& c)
      : clsid(guidText(*c.clsid)),
        description(std::string("KAVO Corvane ") + c.name + " Class"),
        progId(std::string("Strabel.") + c.name),
        versionedProgId(progId + ".1"),
        clsidKey("CLSID\\" + clsid) {}
  std::string clsid, description, progId, versionedProgId, clsidKey;
};

LSTATUS registerClass(const ClassEntry& c, const std::string& module, const std::string& libId) {
  const ClassKeys k(c);
  const HKEY root = HKEY_CLASSES_ROOT;
  LSTATUS s;
  if ((s = setKey(root, k.versionedProgId, k.description.c_str()))) return s;
  if ((s = setKey(root, k.versionedProgId + "\\CLSID", k.clsid.c_str()))) return s;
  if ((s = setKey(root, k.progId, k.description.c_str()))) return s;
  if ((s = setKey(root, k.progId + "\\CLSID", k.clsid.c_str()))) return s;
  if ((s = setKey(root, k.progId + "\\CurVer", k.versionedProgId.c_str()))) return s;
  // The class key is written afresh, so nothing of an older registration stays.
  if ((s = setKey(root, k.clsidKey, k.description.c_str(), true))) return s;
  if ((s = setKey(root, k.clsidKey + "\\ProgID", k.versionedProgId.c_str()))) return s;
  if ((s = setKey(root, k.clsidKey + "\\VersionIndependentProgID", k.progId.c_str()))) return s;
  if ((s = setKey(root, k.clsidKey + "\\Programmable", nullptr, true))) return s;
  if ((s = setKey(root, k.clsidKey + "\\InprocServer32", module.c_str()))) return s;
  if ((s = setValue(root, k.clsidKey + "\\InprocServer32", "ThreadingModel", "Apartment"))) return s;
  return setKey(root, k.clsidKey + "\\TypeLib", libId.c_str());
}

// The "CLSID" key itself is shared with every other server and stays.
LSTATUS unregisterClass(const ClassEntry& c) {
  const ClassKeys k(c);
  LSTATUS first = ERROR_SUCCESS;
  for (const std::string& key : {k.versionedProgId, k.progId, k.clsidKey}) {
    LSTATUS s = deleteTree(HKEY_CLASSES_ROOT, key);
    if (s && !first) first = s;
  }
  return first;
}

// The module's full path: a module loaded by a relative name reports that
// name, which would not find it again from another folder.
std::string modulePath() {
  const std::string path = strabel::componentModulePath();
  std::error_code ec;
  std::filesystem::path full = std::filesystem::absolute(path, ec);
  return ec ? path : full.lexically_normal().string();
}

std::u16string modulePathW() { return strabel::wideFromAnsi(modulePath()); }

std::u16string folderOf(const std::u16string& path) {
  auto slash = path.find_last_of(u"/\\");
  return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
}

// UnRegisterTypeLib is looked up when it is needed, as the server may run
// where the automation library offers no such entry.
HRESULT unregisterTypeLib() {
  ITypeLib* lib = nullptr;
  const std::u16string path = modulePathW();
  HRESULT hr = LoadTypeLib(path.c_str(), &lib);
  if (FAILED(hr)) return hr;
  TLIBATTR* attr = nullptr;
  hr = lib->GetLibAttr(&attr);
  if (SUCCEEDED(hr)) {
    HMODULE oleaut = LoadLibraryA("oleaut32.dll");
    using UnRegisterFn = HRESULT (*)(REFGUID, WORD, WORD, LCID, SYSKIND);
    auto unregister =
        oleaut ? reinterpret_cast<UnRegisterFn>(reinterpret_cast<void*>(GetProcAddress(oleaut, "UnRegisterTypeLib")))
               : nullptr;
    if (unregister) {
      hr = unregister(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
    } else {
      DWORD error = GetLastError();
      hr = error ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    if (oleaut) FreeLibrary(oleaut);
    lib->ReleaseTLibAttr(attr);
  }
  lib->Release();
  return hr;
}

}  // namespace

HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  for (const ClassEntry& c : kClasses) {
    if (rclsid == *c.clsid)
      return velmora::com::createClassFactory(c.create, strabel::automation::moduleLock(), riid, ppv);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT DllCanUnloadNow() { return strabel::automation::moduleLock().idle() ? S_OK : S_FALSE; }

HRESULT DllRegisterServer() {
  const std::u16string path = modulePathW();
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadTypeLib(path.c_str(), &lib);
  if (FAILED(hr)) return hr;
  const std::u16string helpDir = folderOf(path);
  hr = RegisterTypeLib(lib, path.c_str(), helpDir.c_str());
  lib->Release();
  if (FAILED(hr)) return hr;

  const std::string module = modulePath();
  const std::string libId = guidText(LIBID_STRABELLib);
  for (const ClassEntry& c : kClasses)
    if (LSTATUS s = registerClass(c, module, libId)) return HRESULT_FROM_WIN32(s);
  return S_OK;
}

HRESULT DllUnregisterServer() {
  HRESULT result = S_OK;
  for (const ClassEntry& c : kClasses)
    if (LSTATUS s = unregisterClass(c); s && result == S_OK) result = HRESULT_FROM_WIN32(s);
  HRESULT hr = unregisterTypeLib();
  return result == S_OK ? hr : result;
}
