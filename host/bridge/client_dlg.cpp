#include "client_dlg.h"

#include <cstring>
#include <new>

#include "method_table.h"
#include "shell/shell.h"

CFENROClientDlg::CFENROClientDlg() = default;
CFENROClientDlg::~CFENROClientDlg() = default;

HRESULT CFENROClientDlg::QueryInterface(REFIID riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch) {
    *ppvObject = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *ppvObject = nullptr;
  return E_NOINTERFACE;
}

ULONG CFENROClientDlg::AddRef() { return ++m_refs; }
ULONG CFENROClientDlg::Release() { return m_refs > 1 ? --m_refs : 1; }

HRESULT CFENROClientDlg::GetTypeInfoCount(UINT* pctinfo) {
  if (!pctinfo) return E_POINTER;
  *pctinfo = 0;  // no type library: pages call by name
  return S_OK;
}

HRESULT CFENROClientDlg::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
  if (ppTInfo) *ppTInfo = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT CFENROClientDlg::GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) {
  if (!rgszNames || !rgDispId || cNames == 0) return E_INVALIDARG;
  HRESULT hr = S_OK;
  for (UINT i = 0; i < cNames; ++i) {
    const OLECHAR* name = rgszNames[i];
    size_t len = 0;
    while (name && name[len]) ++len;
    // Only the method name is looked up; there are no named arguments.
    rgDispId[i] = i == 0 ? bridge::findMethod(std::u16string_view(name ? name : u"", len)) : DISPID_UNKNOWN;
    if (rgDispId[i] <= 0) {
      rgDispId[i] = DISPID_UNKNOWN;
      hr = DISP_E_UNKNOWNNAME;
    }
  }
  return hr;
}

namespace {

HRESULT raise(EXCEPINFO* info, HRESULT scode, const char16_t* description) {
  if (info) {
    memset(info, 0, sizeof *info);
    info->bstrSource = SysAllocString(u"Velmora");
    info->bstrDescription = SysAllocString(description);
    info->scode = scode;
  }
  return DISP_E_EXCEPTION;
}

}  // namespace

HRESULT CFENROClientDlg::Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                                VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  const auto& table = bridge::methodTable();
  if (dispIdMember < 1 || size_t(dispIdMember) > table.size()) return DISP_E_MEMBERNOTFOUND;
  if (!(wFlags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return DISP_E_MEMBERNOTFOUND;
  const bridge::Method& method = table[size_t(dispIdMember) - 1];

  DISPPARAMS none{nullptr, nullptr, 0, 0};
  const DISPPARAMS& params = pDispParams ? *pDispParams : none;
  if (params.cNamedArgs > 0) return DISP_E_NONAMEDARGS;
  if (params.cArgs != method.params.size()) return DISP_E_BADPARAMCOUNT;

  // Arguments arrive last first. Convert all of them before the handler runs.
  bridge::Args args;
  bool textWithNul = false;
  for (UINT k = 0; k < params.cArgs; ++k) {
    const UINT position = params.cArgs - 1 - k;
    const VARIANT& given = params.rgvarg[position];
    VARIANT converted;
    VariantInit(&converted);
    HRESULT hr = S_OK;
    switch (method.params[k]) {
      case bridge::ParamType::String:
        hr = VariantChangeType(&converted, &given, 0, VT_BSTR);
        if (SUCCEEDED(hr)) {
          BSTR b = converted.bstrVal;
          const std::u16string_view text(b ? b : u"", SysStringLen(b));
          if (text.find(u'\0') != std::u16string_view::npos) textWithNul = true;
          args.text.push_back(velmora::platform::toNarrow(text, CP_ACP));
        }
        break;
      case bridge::ParamType::Int32:
        hr = VariantChangeType(&converted, &given, 0, VT_I4);
        if (SUCCEEDED(hr)) args.int32.push_back(converted.lVal);
        break;
      case bridge::ParamType::Float32:
        hr = VariantChangeType(&converted, &given, 0, VT_R4);
        if (SUCCEEDED(hr)) args.real.push_back(converted.fltVal);
        break;
    }
    VariantClear(&converted);
    if (FAILED(hr)) {
      if (puArgErr) *puArgErr = position;
      return hr;
    }
  }

  // The components take 8-bit texts that end at the first NUL: such a call
  // would run on a shortened argument, so it does not run at all.
  if (textWithNul && !method.refuse)
    return raise(pExcepInfo, E_INVALIDARG, u"A text argument holds a NUL character.");

  VARIANT result;
  VariantInit(&result);
  HRESULT hr;
  try {
    hr = (textWithNul ? method.refuse : method.handler)(*this, args, &result);
  } catch (const StrabelComError& e) {
    return raise(pExcepInfo, e.hr, u"The result could not be converted.");
  } catch (const std::bad_alloc&) {
    return raise(pExcepInfo, E_OUTOFMEMORY, u"Out of memory.");
  }
  if (hr == E_OUTOFMEMORY) return raise(pExcepInfo, hr, u"Out of memory.");
  if (FAILED(hr)) return hr;
  if (pVarResult) {
    *pVarResult = result;
  } else {
    VariantClear(&result);
  }
  return S_OK;
}

void CFENROClientDlg::browseWeb(const char* url) { velmora::shell::openWithDefaultHandler(url ? url : ""); }

int CFENROClientDlg::versionCheck(const char* serverVersion, const char*) {
  // The host is older only when its version sorts before the portal's, byte
  // by byte; the download of the newer installer comes with self-update,
  // so an update that is needed fails for now.
  if (strcmp(kHostVersion, serverVersion ? serverVersion : "") < 0) return -1;
  return 0;
}
