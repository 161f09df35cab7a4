// The COM runtime: GUID text forms, task memory, ProgID look-up and the
// activation of in-process servers registered under HKEY_CLASSES_ROOT.
#include <dlfcn.h>
#include <objbase.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/codepage_internal.h"
#include "com/server.h"

const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IObjectSafety = {0xCB5BDC81, 0x93C1, 0x11CF, {0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64}};
const GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

using velmora::platform::toNarrow;
using velmora::platform::toWide;

namespace {

thread_local int t_initCount = 0;

int hexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// "{8-4-4-4-12}" exactly; false for anything else.
bool parseGuid(const char16_t* s, GUID& out) {
  if (!s) return false;
  size_t len = 0;
  while (s[len]) ++len;
  if (len != 38 || s[0] != u'{' || s[37] != u'}' || s[9] != u'-' || s[14] != u'-' || s[19] != u'-' || s[24] != u'-')
    return false;
  auto field = [&](size_t from, size_t digits, uint64_t& v) {
    v = 0;
    for (size_t i = 0; i < digits; ++i) {
      int d = hexDigit(s[from + i]);
      if (d < 0) return false;
      v = (v << 4) | uint64_t(d);
    }
    return true;
  };
  uint64_t a, b, c, d, e;
  if (!field(1, 8, a) || !field(10, 4, b) || !field(15, 4, c) || !field(20, 4, d) || !field(25, 12, e)) return false;
  out.Data1 = uint32_t(a);
  out.Data2 = uint16_t(b);
  out.Data3 = uint16_t(c);
  out.Data4[0] = uint8_t(d >> 8);
  out.Data4[1] = uint8_t(d);
  for (int i = 0; i < 6; ++i) out.Data4[2 + i] = uint8_t(e >> (8 * (5 - i)));
  return true;
}

// The default value of HKEY_CLASSES_ROOT\<path>, false when absent or empty.
bool classesValue(const std::string& path, std::string& value) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD type = 0, size = 0;
  bool ok = RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
            (type == REG_SZ || type == REG_EXPAND_SZ) && size > 0;
  if (ok) {
    std::string buf(size, '\0');
    ok = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size) ==
         ERROR_SUCCESS;
    buf.resize(strnlen(buf.c_str(), buf.size()));
    value = buf;
    ok = ok && !value.empty();
  }
  RegCloseKey(key);
  return ok;
}

// Servers loaded by activation, kept until CoFreeUnusedLibraries.
struct LoadedServer {
  std::string path;
  void* handle;
  LPFNGETCLASSOBJECT getClassObject;
  LPFNCANUNLOADNOW canUnloadNow;
};

std::mutex& serversMutex() {
  static std::mutex m;
  return m;
}
std::vector<LoadedServer>& servers() {
  static std::vector<LoadedServer> list;
  return list;
}

HRESULT loadServer(const std::string& path, LPFNGETCLASSOBJECT& getClassObject) {
  std::lock_guard<std::mutex> lock(serversMutex());
  for (const auto& s : servers())
    if (s.path == path) {
      getClassObject = s.getClassObject;
      return S_OK;
    }
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
  auto get = reinterpret_cast<LPFNGETCLASSOBJECT>(dlsym(h, "DllGetClassObject"));
  if (!get) {
    dlclose(h);
    return CO_E_ERRORINDLL;
  }
  auto canUnload = reinterpret_cast<LPFNCANUNLOADNOW>(dlsym(h, "DllCanUnloadNow"));
  servers().push_back({path, h, get, canUnload});
  getClassObject = get;
  return S_OK;
}

}  // namespace

HRESULT CoInitialize(void* pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

HRESULT CoInitializeEx(void*, DWORD) { return t_initCount++ == 0 ? S_OK : S_FALSE; }

void CoUninitialize() {
  if (t_initCount > 0) --t_initCount;
}

int StringFromGUID2(REFGUID g, LPOLESTR lpsz, int cchMax) {
  if (!lpsz || cchMax < CHARS_IN_GUID) return 0;
  const std::string text = velmora::com::guidText(g);
  for (size_t i = 0; i < text.size(); ++i) lpsz[i] = char16_t(text[i]);
  lpsz[text.size()] = 0;
  return CHARS_IN_GUID;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid) {
  if (!pclsid) return E_INVALIDARG;
  if (!lpsz || !*lpsz) {
    *pclsid = GUID_NULL;
    return S_OK;
  }
  if (!parseGuid(lpsz, *pclsid)) {
    *pclsid = GUID_NULL;
    return CO_E_CLASSSTRING;
  }
  return S_OK;
}

HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid) {
  HRESULT hr = CLSIDFromString(lpsz, lpiid);
  return hr == CO_E_CLASSSTRING ? E_INVALIDARG : hr;
}

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid) {
  if (!lpszProgID || !lpclsid) return E_INVALIDARG;
  *lpclsid = GUID_NULL;
  std::string progId = toNarrow(lpszProgID, CP_ACP);
  if (progId.empty() || progId.find('\\') != std::string::npos) return CO_E_CLASSSTRING;
  std::string text;
  // A version-independent ProgID names its current version in CurVer.
  if (!classesValue(progId + "\\CLSID", text)) {
    std::string current;
    if (!classesValue(progId + "\\CurVer", current) || current.find('\\') != std::string::npos ||
        !classesValue(current + "\\CLSID", text))
      return CO_E_CLASSSTRING;
  }
  const std::u16string wide = toWide(text, CP_ACP);
  return parseGuid(wide.c_str(), *lpclsid) ? S_OK : CO_E_CLASSSTRING;
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID) {
  if (!lplpszProgID) return E_INVALIDARG;
  *lplpszProgID = nullptr;
  std::string progId;
  if (!classesValue("CLSID\\" + velmora::com::guidText(clsid) + "\\ProgID", progId)) return REGDB_E_CLASSNOTREG;
  const std::u16string wide = toWide(progId, CP_ACP);
  auto* out = static_cast<OLECHAR*>(CoTaskMemAlloc((wide.size() + 1) * sizeof(OLECHAR)));
  if (!out) return E_OUTOFMEMORY;
  memcpy(out, wide.c_str(), (wide.size() + 1) * sizeof(OLECHAR));
  *lplpszProgID = out;
  return S_OK;
}

void* CoTaskMemAlloc(SIZE_T cb) { return malloc(cb ? cb : 1); }
void CoTaskMemFree(void* pv) { free(pv); }

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void*, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  // Only in-process servers exist here.
  if (!(dwClsContext & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
  std::string path;
  if (!classesValue("CLSID\\" + velmora::com::guidText(rclsid) + "\\InprocServer32", path))
    return REGDB_E_CLASSNOTREG;
  LPFNGETCLASSOBJECT getClassObject = nullptr;
  if (HRESULT hr = loadServer(path, getClassObject); FAILED(hr)) return hr;
  return getClassObject(rclsid, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  IClassFactory* factory = nullptr;
  HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(pUnkOuter, riid, ppv);
  factory->Release();
  return hr;
}

void CoFreeUnusedLibraries() {
  std::vector<void*> unload;
  {
    std::lock_guard<std::mutex> lock(serversMutex());
    auto& list = servers();
    for (auto it = list.begin(); it != list.end();) {
      if (it->canUnloadNow && it->canUnloadNow() == S_OK) {
        unload.push_back(it->handle);
        it = list.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (void* h : unload) dlclose(h);
}
