#include "com/server.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <utility>

#include "base/codepage_internal.h"
#include "com/unknown_impl.h"

namespace velmora::com {

namespace {

class ClassFactory final : public SingleInterface<IClassFactory, IID_IClassFactory, ClassFactory> {
 public:
  ClassFactory(CreateFn create, ModuleLock& lock) : create_(create), lock_(lock) { lock_.lock(); }
  ~ClassFactory() { lock_.unlock(); }

  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    // An aggregated object can hand out only its inner IUnknown.
    if (outer && !(riid == IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    return create_(outer, riid, ppv);
  }

  HRESULT LockServer(BOOL fLock) override {
    if (fLock) lock_.lock();
    else lock_.unlock();
    return S_OK;
  }

 private:
  CreateFn create_;
  ModuleLock& lock_;
};

}  // namespace

HRESULT createClassFactory(CreateFn create, ModuleLock& lock, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  auto* factory = new (std::nothrow) ClassFactory(create, lock);
  if (!factory) return E_OUTOFMEMORY;
  HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

HRESULT moduleTypeInfo(const void* addressInModule, REFIID iid, ITypeInfo** ppTInfo) {
  if (!ppTInfo) return E_POINTER;
  *ppTInfo = nullptr;
  Dl_info info{};
  if (!dladdr(addressInModule, &info) || !info.dli_fname) return TYPE_E_CANTLOADLIBRARY;
  static std::mutex mutex;
  // Kept for the process's life and never destroyed: objects may still ask
  // while static destructors run, and what the cache holds stays reachable.
  static auto& cache = *new std::map<std::pair<std::string, std::string>, ITypeInfo*>;
  std::lock_guard<std::mutex> lock(mutex);
  auto key = std::make_pair(std::string(info.dli_fname), guidText(iid));
  auto it = cache.find(key);
  if (it == cache.end()) {
    ITypeLib* lib = nullptr;
    const std::u16string path = velmora::platform::toWide(info.dli_fname, CP_ACP);
    if (HRESULT hr = LoadTypeLib(path.c_str(), &lib); FAILED(hr)) return hr;
    ITypeInfo* found = nullptr;
    HRESULT hr = lib->GetTypeInfoOfGuid(iid, &found);
    lib->Release();
    if (FAILED(hr)) return hr;
    it = cache.emplace(key, found).first;
  }
  it->second->AddRef();
  *ppTInfo = it->second;
  return S_OK;
}

HRESULT dispatchGetTypeInfo(ITypeInfo* info, UINT index, ITypeInfo** ppTInfo) {
  if (!ppTInfo) return E_POINTER;
  *ppTInfo = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  if (!info) return E_UNEXPECTED;
  info->AddRef();
  *ppTInfo = info;
  return S_OK;
}

HRESULT dispatchGetIDsOfNames(ITypeInfo* info, REFIID riid, LPOLESTR* names, UINT count, DISPID* ids) {
  if (!(riid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (!info) return E_UNEXPECTED;
  return info->GetIDsOfNames(names, count, ids);
}

HRESULT dispatchInvoke(ITypeInfo* info, IUnknown* self, DISPID id, REFIID riid, WORD flags, DISPPARAMS* params,
                       VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
  if (!(riid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (!info) return E_UNEXPECTED;
  return info->Invoke(self, id, flags, params, result, excep, argErr);
}

std::string guidText(REFGUID g) {
  char buf[CHARS_IN_GUID];
  snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1),
           unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
           g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

LSTATUS setKey(HKEY root, const std::string& path, const char* value, bool replace) {
  if (replace)
    if (LSTATUS st = deleteTree(root, path)) return st;
  HKEY key = nullptr;
  LSTATUS st = RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key,
                               nullptr);
  if (st != ERROR_SUCCESS) return st;
  if (value)
    st = RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), DWORD(strlen(value) + 1));
  RegCloseKey(key);
  return st;
}

LSTATUS setValue(HKEY root, const std::string& path, const char* name, const std::string& value) {
  HKEY key = nullptr;
  LSTATUS st = RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key,
                               nullptr);
  if (st != ERROR_SUCCESS) return st;
  st = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), DWORD(value.size() + 1));
  RegCloseKey(key);
  return st;
}

LSTATUS deleteTree(HKEY root, const std::string& path) {
  // An empty path would empty the root key itself.
  if (path.empty()) return ERROR_INVALID_PARAMETER;
  LSTATUS st = RegDeleteTreeA(root, path.c_str());
  return st == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : st;
}

}  // namespace velmora::com
