// Type libraries from the descriptions modules carry, their registration,
// and ITypeInfo::Invoke, which dual interfaces use to implement IDispatch.
#include <dlfcn.h>
#include <objbase.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/codepage_internal.h"
#include "com/server.h"
#include "com/unknown_impl.h"

const IID IID_ITypeInfo = {0x00020401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_ITypeLib = {0x00020402, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

using velmora::com::guidText;
using velmora::platform::toNarrow;
using velmora::platform::toWide;

namespace {

// The standard marshaller of automation interfaces, which registration
// names as every dual interface's proxy.
constexpr const char* kOleAutomationProxy = "{00020424-0000-0000-C000-000000000046}";

bool sameNameIgnoringCase(const char16_t* a, const char16_t* b) {
  if (!a || !b) return false;
  for (;; ++a, ++b) {
    char16_t x = *a, y = *b;
    if (x >= u'A' && x <= u'Z') x = char16_t(x - u'A' + u'a');
    if (y >= u'A' && y <= u'Z') y = char16_t(y - u'A' + u'a');
    if (x != y) return false;
    if (!x) return true;
  }
}

BSTR bstrOf(LPCOLESTR s) { return s ? SysAllocString(s) : nullptr; }

class TypeLib;

class TypeInfo final : public ITypeInfo {
 public:
  TypeInfo(TypeLib* lib, UINT index, const VELMORA_INTERFACEDESC* iface, const VELMORA_COCLASSDESC* coclass)
      : lib_(lib), index_(index), iface_(iface), coclass_(coclass) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ITypeInfo) {
      *ppv = static_cast<ITypeInfo*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // A type description lives as long as its library.
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT GetTypeAttr(TYPEATTR** out) override {
    if (!out) return E_INVALIDARG;
    auto* a = new (std::nothrow) TYPEATTR{};
    if (!a) return E_OUTOFMEMORY;
    a->memidConstructor = MEMBERID_NIL;
    a->memidDestructor = MEMBERID_NIL;
    a->lcid = 0;
    if (iface_) {
      a->guid = iface_->iid;
      a->typekind = TKIND_DISPATCH;
      a->cFuncs = WORD(iface_->cFuncs);
      a->wTypeFlags = iface_->typeFlags;
      SHORT last = 6;
      for (UINT i = 0; i < iface_->cFuncs; ++i) last = std::max(last, iface_->funcs[i].oVft);
      a->cbSizeVft = WORD((last + 1) * sizeof(void*));
      a->cImplTypes = 1;
    } else {
      a->guid = coclass_->clsid;
      a->typekind = TKIND_COCLASS;
      a->wTypeFlags = TYPEFLAG_FCANCREATE;
      a->cImplTypes = coclass_->defaultInterface ? 1 : 0;
    }
    *out = a;
    return S_OK;
  }

  HRESULT GetFuncDesc(UINT index, FUNCDESC** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!iface_ || index >= iface_->cFuncs) return TYPE_E_ELEMENTNOTFOUND;
    const VELMORA_FUNCDESC& f = iface_->funcs[index];
    auto* d = new (std::nothrow) FUNCDESC{};
    if (!d) return E_OUTOFMEMORY;
    d->memid = f.memid;
    d->invkind = f.invkind;
    d->cParams = SHORT(f.cParams);
    d->oVft = SHORT(f.oVft * SHORT(sizeof(void*)));
    d->elemdescFunc.vt = f.result;
    if (f.cParams) {
      d->lprgelemdescParam = new (std::nothrow) ELEMDESC[f.cParams];
      if (!d->lprgelemdescParam) {
        delete d;
        return E_OUTOFMEMORY;
      }
      for (UINT i = 0; i < f.cParams; ++i) d->lprgelemdescParam[i].vt = f.params[i];
    }
    *out = d;
    return S_OK;
  }

  HRESULT GetNames(MEMBERID memid, BSTR* names, UINT cMax, UINT* count) override {
    if (!names || !count) return E_INVALIDARG;
    *count = 0;
    const VELMORA_FUNCDESC* f = find(memid);
    if (!f) return TYPE_E_ELEMENTNOTFOUND;
    if (cMax == 0) return S_OK;
    names[(*count)++] = bstrOf(f->name);
    for (UINT i = 0; i < f->cParams && *count < cMax && f->paramNames; ++i)
      names[(*count)++] = bstrOf(f->paramNames[i]);
    return S_OK;
  }

  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override {
    if (!names || !ids || count == 0) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) ids[i] = MEMBERID_NIL;
    const VELMORA_FUNCDESC* f = nullptr;
    if (iface_)
      for (UINT i = 0; i < iface_->cFuncs && !f; ++i)
        if (sameNameIgnoringCase(iface_->funcs[i].name, names[0])) f = &iface_->funcs[i];
    if (!f) return DISP_E_UNKNOWNNAME;
    ids[0] = f->memid;
    HRESULT hr = S_OK;
    // Further names are the member's parameters, as named arguments.
    for (UINT n = 1; n < count; ++n) {
      for (UINT p = 0; p < f->cParams && f->paramNames; ++p)
        if (sameNameIgnoringCase(f->paramNames[p], names[n])) ids[n] = MEMBERID(p);
      if (ids[n] == MEMBERID_NIL) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }

  HRESULT Invoke(PVOID instance, MEMBERID memid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excep, UINT* argErr) override {
    if (!instance) return E_INVALIDARG;
    const VELMORA_FUNCDESC* f = nullptr;
    if (iface_)
      for (UINT i = 0; i < iface_->cFuncs && !f; ++i)
        if (iface_->funcs[i].memid == memid && (iface_->funcs[i].invkind & flags)) f = &iface_->funcs[i];
    if (!f) return DISP_E_MEMBERNOTFOUND;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    const DISPPARAMS& given = params ? *params : none;
    if (given.cArgs && !given.rgvarg) return E_INVALIDARG;
    if (given.cNamedArgs) return DISP_E_NONAMEDARGS;
    if (given.cArgs != f->cParams) return DISP_E_BADPARAMCOUNT;

    // Arguments come last first; the member takes them in order.
    std::vector<VARIANT> args(f->cParams);
    for (auto& v : args) VariantInit(&v);
    auto clear = [&] {
      for (auto& v : args) VariantClear(&v);
    };
    for (UINT i = 0; i < f->cParams; ++i) {
      const UINT position = given.cArgs - 1 - i;
      const VARIANT* src = &given.rgvarg[position];
      if (src->vt == (VT_BYREF | VT_VARIANT) && src->pvarVal) src = src->pvarVal;
      HRESULT hr = VariantChangeType(&args[i], src, 0, f->params[i]);
      if (FAILED(hr)) {
        clear();
        if (argErr) *argErr = position;
        return hr;
      }
    }
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = f->call(static_cast<IUnknown*>(instance), args.data(), &value);
    clear();
    if (FAILED(hr)) {
      VariantClear(&value);
      if (excep) {
        memset(excep, 0, sizeof *excep);
        excep->scode = hr;
      }
      return DISP_E_EXCEPTION;
    }
    if (result) {
      *result = value;
    } else {
      VariantClear(&value);
    }
    return S_OK;
  }

  HRESULT GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* helpContext, BSTR* helpFile) override {
    LPCOLESTR n = nullptr, d = nullptr;
    if (memid == MEMBERID_NIL) {
      n = iface_ ? iface_->name : coclass_->name;
      d = iface_ ? iface_->help : coclass_->help;
    } else {
      const VELMORA_FUNCDESC* f = find(memid);
      if (!f) return TYPE_E_ELEMENTNOTFOUND;
      n = f->name;
      d = f->help;
    }
    if (name) *name = bstrOf(n);
    if (doc) *doc = bstrOf(d);
    if (helpContext) *helpContext = 0;
    if (helpFile) *helpFile = nullptr;
    return S_OK;
  }

  HRESULT GetContainingTypeLib(ITypeLib** lib, UINT* index) override;

  void ReleaseTypeAttr(TYPEATTR* a) override { delete a; }
  void ReleaseFuncDesc(FUNCDESC* d) override {
    if (!d) return;
    delete[] d->lprgelemdescParam;
    delete d;
  }

 private:
  const VELMORA_FUNCDESC* find(MEMBERID memid) const {
    if (iface_)
      for (UINT i = 0; i < iface_->cFuncs; ++i)
        if (iface_->funcs[i].memid == memid) return &iface_->funcs[i];
    return nullptr;
  }

  TypeLib* lib_;
  UINT index_;
  const VELMORA_INTERFACEDESC* iface_;
  const VELMORA_COCLASSDESC* coclass_;
};

class TypeLib final : public velmora::com::SingleInterface<ITypeLib, IID_ITypeLib, TypeLib> {
 public:
  TypeLib(void* module, const VELMORA_TYPELIBDESC* desc) : module_(module), desc_(desc) {
    for (UINT i = 0; i < desc->cInterfaces; ++i)
      infos_.push_back(std::make_unique<TypeInfo>(this, i, &desc->interfaces[i], nullptr));
    for (UINT i = 0; i < desc->cCoClasses; ++i)
      infos_.push_back(std::make_unique<TypeInfo>(this, desc->cInterfaces + i, nullptr, &desc->coclasses[i]));
  }
  ~TypeLib() {
    infos_.clear();
    if (module_) dlclose(module_);
  }

  UINT GetTypeInfoCount() override { return UINT(infos_.size()); }

  HRESULT GetTypeInfo(UINT index, ITypeInfo** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (index >= infos_.size()) return TYPE_E_ELEMENTNOTFOUND;
    *out = infos_[index].get();
    AddRef();
    return S_OK;
  }

  HRESULT GetTypeInfoType(UINT index, TYPEKIND* kind) override {
    if (!kind) return E_INVALIDARG;
    if (index >= infos_.size()) return TYPE_E_ELEMENTNOTFOUND;
    *kind = index < desc_->cInterfaces ? TKIND_DISPATCH : TKIND_COCLASS;
    return S_OK;
  }

  HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    for (UINT i = 0; i < desc_->cInterfaces; ++i)
      if (desc_->interfaces[i].iid == guid) return GetTypeInfo(i, out);
    for (UINT i = 0; i < desc_->cCoClasses; ++i)
      if (desc_->coclasses[i].clsid == guid) return GetTypeInfo(desc_->cInterfaces + i, out);
    return TYPE_E_ELEMENTNOTFOUND;
  }

  HRESULT GetLibAttr(TLIBATTR** out) override {
    if (!out) return E_INVALIDARG;
    auto* a = new (std::nothrow) TLIBATTR{desc_->libid, desc_->lcid, SYS_WIN64, desc_->majorVersion,
                                          desc_->minorVersion, 0};
    if (!a) return E_OUTOFMEMORY;
    *out = a;
    return S_OK;
  }

  HRESULT GetDocumentation(INT index, BSTR* name, BSTR* doc, DWORD* helpContext, BSTR* helpFile) override {
    if (index == -1) {
      if (name) *name = bstrOf(desc_->name);
      if (doc) *doc = bstrOf(desc_->help);
      if (helpContext) *helpContext = 0;
      if (helpFile) *helpFile = nullptr;
      return S_OK;
    }
    if (index < 0 || size_t(index) >= infos_.size()) return TYPE_E_ELEMENTNOTFOUND;
    return infos_[size_t(index)]->GetDocumentation(MEMBERID_NIL, name, doc, helpContext, helpFile);
  }

  void ReleaseTLibAttr(TLIBATTR* a) override { delete a; }

 private:
  void* module_;
  const VELMORA_TYPELIBDESC* desc_;
  std::vector<std::unique_ptr<TypeInfo>> infos_;
};

ULONG TypeInfo::AddRef() { return lib_->AddRef(); }
ULONG TypeInfo::Release() { return lib_->Release(); }

HRESULT TypeInfo::GetContainingTypeLib(ITypeLib** lib, UINT* index) {
  if (!lib) return E_INVALIDARG;
  lib_->AddRef();
  *lib = lib_;
  if (index) *index = index_;
  return S_OK;
}

std::string versionKey(REFGUID libid, WORD major, WORD minor) {
  char ver[32];
  snprintf(ver, sizeof ver, "%x.%x", unsigned(major), unsigned(minor));
  return "TypeLib\\" + guidText(libid) + "\\" + ver;
}

std::string lcidKey(LCID lcid) {
  char buf[16];
  snprintf(buf, sizeof buf, "%x", unsigned(lcid));
  return buf;
}

std::string narrow(BSTR b) { return b ? toNarrow(std::u16string_view(b, SysStringLen(b)), CP_ACP) : std::string(); }

bool readDefault(const std::string& path, std::string& out) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  char buf[4096];
  DWORD size = sizeof buf - 1, type = 0;
  bool ok = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) == ERROR_SUCCESS &&
            (type == REG_SZ || type == REG_EXPAND_SZ);
  RegCloseKey(key);
  if (!ok) return false;
  buf[std::min<DWORD>(size, sizeof buf - 1)] = 0;
  out = buf;
  return !out.empty();
}

// The interfaces of a library, for registration and its removal.
struct InterfaceEntry {
  GUID iid;
  std::string name;
};

std::vector<InterfaceEntry> automationInterfaces(ITypeLib* lib) {
  std::vector<InterfaceEntry> out;
  for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
    ITypeInfo* info = nullptr;
    if (FAILED(lib->GetTypeInfo(i, &info))) continue;
    TYPEATTR* attr = nullptr;
    if (SUCCEEDED(info->GetTypeAttr(&attr))) {
      if ((attr->typekind == TKIND_DISPATCH || attr->typekind == TKIND_INTERFACE) &&
          (attr->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE))) {
        BSTR name = nullptr;
        info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
        out.push_back({attr->guid, narrow(name)});
        SysFreeString(name);
      }
      info->ReleaseTypeAttr(attr);
    }
    info->Release();
  }
  return out;
}

}  // namespace

HRESULT LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib) { return LoadTypeLibEx(szFile, REGKIND_NONE, pptlib); }

HRESULT LoadTypeLibEx(LPCOLESTR szFile, REGKIND regkind, ITypeLib** pptlib) {
  if (!szFile || !pptlib) return E_INVALIDARG;
  *pptlib = nullptr;
  std::string path = toNarrow(szFile, CP_ACP);
  UINT id = 1;
  // "<file>\<n>" names resource n of the file.
  if (auto sep = path.rfind('\\'); sep != std::string::npos && sep + 1 < path.size() &&
                                   path.find_first_not_of("0123456789", sep + 1) == std::string::npos &&
                                   path.size() - sep - 1 <= 9) {
    id = UINT(std::stoul(path.substr(sep + 1)));
    path.resize(sep);
  }
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) return TYPE_E_CANTLOADLIBRARY;
  const auto* table = static_cast<const VELMORA_TYPELIBENTRY*>(dlsym(module, "VelmoraTypeLibTable"));
  const VELMORA_TYPELIBDESC* desc = nullptr;
  for (; table && table->lib; ++table)
    if (table->id == id) desc = table->lib;
  if (!desc) {
    dlclose(module);
    return TYPE_E_CANTLOADLIBRARY;
  }
  auto* lib = new (std::nothrow) TypeLib(module, desc);
  if (!lib) {
    dlclose(module);
    return E_OUTOFMEMORY;
  }
  if (regkind == REGKIND_REGISTER) {
    std::string folder = path.substr(0, path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
    const std::u16string wideFolder = toWide(folder, CP_ACP);
    HRESULT hr = RegisterTypeLib(lib, szFile, wideFolder.c_str());
    if (FAILED(hr)) {
      lib->Release();
      return hr;
    }
  }
  *pptlib = lib;
  return S_OK;
}

HRESULT LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid, ITypeLib** pptlib) {
  if (!pptlib) return E_INVALIDARG;
  *pptlib = nullptr;
  const std::string base = versionKey(rguid, wVerMajor, wVerMinor);
  std::string path;
  if (!readDefault(base + "\\" + lcidKey(lcid) + "\\win64", path) && !readDefault(base + "\\0\\win64", path))
    return TYPE_E_LIBNOTREGISTERED;
  const std::u16string wide = toWide(path, CP_ACP);
  return LoadTypeLib(wide.c_str(), pptlib);
}

HRESULT RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir) {
  using namespace velmora::com;
  if (!ptlib || !szFullPath) return E_INVALIDARG;
  TLIBATTR* attr = nullptr;
  if (FAILED(ptlib->GetLibAttr(&attr))) return TYPE_E_REGISTRYACCESS;
  const TLIBATTR a = *attr;
  ptlib->ReleaseTLibAttr(attr);
  BSTR name = nullptr, doc = nullptr;
  ptlib->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
  const std::string title = doc && SysStringLen(doc) ? narrow(doc) : narrow(name);
  SysFreeString(name);
  SysFreeString(doc);

  const std::string base = versionKey(a.guid, a.wMajorVerNum, a.wMinorVerNum);
  const std::string file = toNarrow(szFullPath, CP_ACP);
  std::string helpDir = szHelpDir ? toNarrow(szHelpDir, CP_ACP) : std::string();
  if (helpDir.empty()) helpDir = file.substr(0, file.rfind('/') == std::string::npos ? 0 : file.rfind('/'));
  char flags[16];
  snprintf(flags, sizeof flags, "%u", unsigned(a.wLibFlags));
  bool ok = setKey(HKEY_CLASSES_ROOT, base, title.c_str()) == ERROR_SUCCESS &&
            setKey(HKEY_CLASSES_ROOT, base + "\\FLAGS", flags) == ERROR_SUCCESS &&
            setKey(HKEY_CLASSES_ROOT, base + "\\HELPDIR", helpDir.c_str()) == ERROR_SUCCESS &&
            setKey(HKEY_CLASSES_ROOT, base + "\\" + lcidKey(a.lcid) + "\\win64", file.c_str()) == ERROR_SUCCESS;
  char version[32];
  snprintf(version, sizeof version, "%u.%u", unsigned(a.wMajorVerNum), unsigned(a.wMinorVerNum));
  for (const auto& i : automationInterfaces(ptlib)) {
    const std::string key = "Interface\\" + guidText(i.iid);
    ok = ok && setKey(HKEY_CLASSES_ROOT, key, i.name.c_str()) == ERROR_SUCCESS &&
         setKey(HKEY_CLASSES_ROOT, key + "\\ProxyStubClsid", kOleAutomationProxy) == ERROR_SUCCESS &&
         setKey(HKEY_CLASSES_ROOT, key + "\\ProxyStubClsid32", kOleAutomationProxy) == ERROR_SUCCESS &&
         setKey(HKEY_CLASSES_ROOT, key + "\\TypeLib", guidText(a.guid).c_str()) == ERROR_SUCCESS &&
         setValue(HKEY_CLASSES_ROOT, key + "\\TypeLib", "Version", version) == ERROR_SUCCESS;
  }
  return ok ? S_OK : TYPE_E_REGISTRYACCESS;
}

HRESULT UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid, SYSKIND) {
  using namespace velmora::com;
  const std::string base = versionKey(libID, wVerMajor, wVerMinor);
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, base.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return TYPE_E_REGISTRYACCESS;
  RegCloseKey(key);
  // The interfaces come from the registered file; when it no longer loads
  // only the library's own keys can go.
  std::string file;
  if (readDefault(base + "\\" + lcidKey(lcid) + "\\win64", file) || readDefault(base + "\\0\\win64", file)) {
    ITypeLib* lib = nullptr;
    const std::u16string wide = toWide(file, CP_ACP);
    if (SUCCEEDED(LoadTypeLib(wide.c_str(), &lib))) {
      const std::string libText = guidText(libID);
      for (const auto& i : automationInterfaces(lib)) {
        const std::string ikey = "Interface\\" + guidText(i.iid);
        std::string owner;
        if (readDefault(ikey + "\\TypeLib", owner) && owner == libText) deleteTree(HKEY_CLASSES_ROOT, ikey);
      }
      lib->Release();
    }
  }
  if (deleteTree(HKEY_CLASSES_ROOT, base) != ERROR_SUCCESS) return TYPE_E_REGISTRYACCESS;
  // The library's key goes with its last version.
  const std::string libKey = "TypeLib\\" + guidText(libID);
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, libKey.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
    char sub[256];
    DWORD len = sizeof sub;
    const bool empty = RegEnumKeyExA(key, 0, sub, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS;
    RegCloseKey(key);
    if (empty) RegDeleteKeyA(HKEY_CLASSES_ROOT, libKey.c_str());
  }
  return S_OK;
}
