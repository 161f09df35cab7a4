// Shared parts of the in-process automation servers: the module's count of
// live objects and locks, the standard class factory, the type information
// of a dual interface from the module's own type library, the IDispatch
// members that forward to it, and the registry edits of self-registration.
#pragma once

#include <objbase.h>
#include <windows.h>

#include <atomic>
#include <string>

namespace velmora::com {

// Live objects plus LockServer locks of one server module; DllCanUnloadNow
// answers S_OK only when this is idle.
class VELMORA_EXPORT ModuleLock {
 public:
  void lock() { count_.fetch_add(1, std::memory_order_acq_rel); }
  // An unlock without its lock is the caller's fault; the count stays at
  // zero so the module can still be unloaded.
  void unlock() {
    long n = count_.load(std::memory_order_acquire);
    while (n > 0 && !count_.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel)) {
    }
  }
  bool idle() const { return count_.load(std::memory_order_acquire) == 0; }
  long count() const { return count_.load(std::memory_order_acquire); }

 private:
  std::atomic<long> count_{0};
};

// Makes one object: aggregation, QueryInterface for `riid` and the first
// reference are the creator's business. Answers like CreateInstance.
using CreateFn = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

// The standard class factory: IUnknown and IClassFactory; every factory
// and every lock keeps the module loaded.
VELMORA_EXPORT HRESULT createClassFactory(CreateFn create, ModuleLock& lock, REFIID riid, void** ppv);

// The type information of interface `iid` from type library resource 1 of
// the module that holds `addressInModule` (any function or object of that
// module). Loaded once per interface and kept for the life of the process.
VELMORA_EXPORT HRESULT moduleTypeInfo(const void* addressInModule, REFIID iid, ITypeInfo** ppTInfo);

// IDispatch of a dual interface, forwarding to its type information:
// GetTypeInfoCount 1, GetTypeInfo, GetIDsOfNames and Invoke. `self` is
// the interface pointer the description belongs to.
VELMORA_EXPORT HRESULT dispatchGetTypeInfo(ITypeInfo* info, UINT index, ITypeInfo** ppTInfo);
VELMORA_EXPORT HRESULT dispatchGetIDsOfNames(ITypeInfo* info, REFIID riid, LPOLESTR* names, UINT count,
                                             DISPID* ids);
VELMORA_EXPORT HRESULT dispatchInvoke(ITypeInfo* info, IUnknown* self, DISPID id, REFIID riid, WORD flags,
                                      DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep, UINT* argErr);

// The IDispatch half of a dual interface `I`, for a class that derives from
// it and gives its type information (borrowed, not AddRef'd) with a
// member `HRESULT typeInfo(ITypeInfo**)` reachable from this base.
template <class I, class Derived>
class DualDispatch : public I {
 public:
  HRESULT GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT index, LCID, ITypeInfo** out) override {
    ITypeInfo* info = nullptr;
    if (HRESULT hr = self().typeInfo(&info); FAILED(hr)) {
      if (out) *out = nullptr;
      return hr;
    }
    return dispatchGetTypeInfo(info, index, out);
  }
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    ITypeInfo* info = nullptr;
    if (HRESULT hr = self().typeInfo(&info); FAILED(hr)) return hr;
    return dispatchGetIDsOfNames(info, riid, names, count, ids);
  }
  HRESULT Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                 UINT* argErr) override {
    ITypeInfo* info = nullptr;
    if (HRESULT hr = self().typeInfo(&info); FAILED(hr)) return hr;
    return dispatchInvoke(info, static_cast<I*>(this), id, riid, flags, params, result, excep, argErr);
  }

 private:
  Derived& self() { return static_cast<Derived&>(*this); }
};

// "{XXXXXXXX-...}" of a GUID, in ANSI.
VELMORA_EXPORT std::string guidText(REFGUID guid);

// Self-registration edits under HKEY_CLASSES_ROOT (or any root key).
// setKey creates `path` (replacing it first, with everything below, when
// `replace`) and sets its default value when `value` is not null;
// setValue sets a named string value; deleteTree removes a key with
// everything below it (ERROR_SUCCESS also when it was not there).
VELMORA_EXPORT LSTATUS setKey(HKEY root, const std::string& path, const char* value, bool replace = false);
VELMORA_EXPORT LSTATUS setValue(HKEY root, const std::string& path, const char* name, const std::string& value);
VELMORA_EXPORT LSTATUS deleteTree(HKEY root, const std::string& path);

}  // namespace velmora::com
