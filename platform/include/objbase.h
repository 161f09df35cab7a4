// The COM runtime subset: GUID text forms, class factories, activation of
// in-process servers registered under HKEY_CLASSES_ROOT, and the safety
// interface browsers ask of scriptable objects.
//
// Activation follows Windows: CLSIDFromProgID reads "<ProgID>\CLSID" (a
// version-independent ProgID may carry CurVer), CoGetClassObject reads
// "CLSID\{clsid}\InprocServer32", loads that module (kept loaded until
// CoFreeUnusedLibraries finds its DllCanUnloadNow answering S_OK) and asks
// its DllGetClassObject. There are no apartments: every object is called on
// the thread that uses it, which is what apartment-threaded servers expect.
#pragma once

#include <oleauto.h>
#include <windef.h>
#include <winerror.h>

#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_REMOTE_SERVER 0x10
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

#define COINIT_APARTMENTTHREADED 0x2
#define COINIT_MULTITHREADED 0x0

// Length of "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with its terminator.
#define CHARS_IN_GUID 39

extern "C" __attribute__((visibility("default"))) const IID IID_IClassFactory;
extern "C" __attribute__((visibility("default"))) const IID IID_IObjectSafety;
extern "C" __attribute__((visibility("default"))) const GUID GUID_NULL;
#define CLSID_NULL GUID_NULL

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT LockServer(BOOL fLock) = 0;

 protected:
  ~IClassFactory() = default;
};

#define INTERFACESAFE_FOR_UNTRUSTED_CALLER 0x00000001
#define INTERFACESAFE_FOR_UNTRUSTED_DATA 0x00000002
#define INTERFACE_USES_DISPEX 0x00000004
#define INTERFACE_USES_SECURITY_MANAGER 0x00000008

struct IObjectSafety : IUnknown {
  virtual HRESULT GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions, DWORD* pdwEnabledOptions) = 0;
  virtual HRESULT SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask, DWORD dwEnabledOptions) = 0;

 protected:
  ~IObjectSafety() = default;
};

// The entry points an in-process server exports.
typedef HRESULT (*LPFNGETCLASSOBJECT)(REFCLSID, REFIID, void**);
typedef HRESULT (*LPFNCANUNLOADNOW)();

// Counted per thread, as on Windows; the runtime needs no set-up, so these
// only keep the count (S_FALSE when already initialised).
WINBASEAPI HRESULT CoInitialize(void* pvReserved);
WINBASEAPI HRESULT CoInitializeEx(void* pvReserved, DWORD dwCoInit);
WINBASEAPI void CoUninitialize();

// "{...}" in upper-case hex; StringFromGUID2 returns the characters written
// including the terminator, 0 when cchMax is too small.
WINBASEAPI int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// CO_E_CLASSSTRING for anything but the braced form (case-insensitive hex).
WINBASEAPI HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid);
WINBASEAPI HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid);
// CO_E_CLASSSTRING when the ProgID is not registered.
WINBASEAPI HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid);
// The class's ProgID from "CLSID\{clsid}\ProgID"; the caller frees it with
// CoTaskMemFree. REGDB_E_CLASSNOTREG when there is none.
WINBASEAPI HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);

WINBASEAPI void* CoTaskMemAlloc(SIZE_T cb);
WINBASEAPI void CoTaskMemFree(void* pv);

// Only in-process servers: REGDB_E_CLASSNOTREG when the class or its
// InprocServer32 is not registered, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)
// when the module does not load, CO_E_ERRORINDLL when it has no
// DllGetClassObject, otherwise what the server answers.
WINBASEAPI HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void* pvReserved, REFIID riid, LPVOID* ppv);
WINBASEAPI HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                                    LPVOID* ppv);
// Unloads the servers loaded by activation whose DllCanUnloadNow says S_OK.
WINBASEAPI void CoFreeUnusedLibraries();
