// Methods the host answers itself, and the key-generation job methods.
#include <cstring>

#include "client_dlg.h"
#include "method_table.h"

namespace bridge {

namespace {

using P = ParamType;
using R = ResultType;

HRESULT browseWeb(CFENROClientDlg& dlg, const Args& a, VARIANT* result) {
  dlg.browseWeb(a.str(0));
  VariantInit(result);
  return S_OK;
}

HRESULT getVersion(CFENROClientDlg&, const Args&, VARIANT* result) {
  return setStringResult(result, CFENROClientDlg::kHostVersion);
}

HRESULT versionCheck(CFENROClientDlg& dlg, const Args& a, VARIANT* result) {
  setInt16Result(result, dlg.versionCheck(a.str(0), a.str(1)));
  return S_OK;
}

HRESULT login(CFENROClientDlg&, const Args&, VARIANT* result) {
  setInt16Result(result, 0);
  return S_OK;
}

HRESULT setWindowSize(CFENROClientDlg&, const Args&, VARIANT* result) {
  VariantInit(result);
  return S_OK;
}

// The jobs run inside the call for now; their worker threads come with the
// background job support. The fields and the page protocol are the same.
HRESULT makePkcs10Job(CFENROClientDlg& dlg, const Args& a, VARIANT* result) {
  dlg.m_jcicJobKeyType = a.int32[0];
  dlg.m_jcicJobKeySize = a.int32[1];
  dlg.m_jcicJobCommonName = a.str(0);
  dlg.m_nGenkeyState = -1;
  dlg.m_nGenkeyState =
      dlg.m_jcic.MakePKCS10(dlg.m_jcicJobKeyType, dlg.m_jcicJobKeySize, dlg.m_jcicJobCommonName.c_str());
  setInt16Result(result, 0);
  return S_OK;
}

HRESULT getGenkeyState(CFENROClientDlg& dlg, const Args&, VARIANT* result) {
  setInt16Result(result, dlg.m_nGenkeyState);
  return S_OK;
}

HRESULT createPkcs10Job(CFENROClientDlg& dlg, const Args& a, VARIANT* result) {
  dlg.m_capiJobCommonName = a.str(0);
  dlg.m_capiJobKeyBits = a.int32[0];
  dlg.m_capiJobFlags = a.int32[1];
  {
    std::lock_guard lock(dlg.m_jobLock);
    dlg.m_p10Tmp.clear();
  }
  char* text = dlg.m_capi.CreatePKCS10(dlg.m_capiJobCommonName.c_str(), dlg.m_capiJobKeyBits, dlg.m_capiJobFlags);
  {
    std::lock_guard lock(dlg.m_jobLock);
    dlg.m_p10Tmp = text ? text : "";
  }
  delete[] text;
  return setStringResult(result, "");
}

HRESULT createPkcs10PairJob(CFENROClientDlg& dlg, const Args& a, VARIANT* result) {
  dlg.m_capiJobCommonName = a.str(0);
  dlg.m_capiJobKeyBits = a.int32[0];
  dlg.m_capiJobFlags = a.int32[1];
  dlg.m_nGenkeyState = -1;
  dlg.m_nGenkeyState =
      dlg.m_capi.CreatePKCS10Pair(dlg.m_capiJobCommonName.c_str(), dlg.m_capiJobKeyBits, dlg.m_capiJobFlags);
  setInt16Result(result, 0);
  return S_OK;
}

HRESULT getP10Tmp(CFENROClientDlg& dlg, const Args&, VARIANT* result) {
  std::string copy;
  {
    std::lock_guard lock(dlg.m_jobLock);
    copy = dlg.m_p10Tmp;
  }
  return setStringResult(result, copy.c_str());
}

}  // namespace

std::vector<Numbered> hostMethods() {
  return {
      {1, {"browseWeb", {P::String}, {"url"}, R::None, browseWeb}},
      {2, {"getVersion", {}, {}, R::String, getVersion}},
      {3, {"versionCheck", {P::String, P::String}, {"serverVersion", "installerUrl"}, R::Int16, versionCheck}},
      {4, {"login", {P::String, P::String}, {}, R::Int16, login}},
      {17, {"MakePKCS10_2", {P::Int32, P::Int32, P::String}, {"KeyType", "KeySize", "CN"}, R::Int16, makePkcs10Job}},
      {18, {"getGenkeyState", {}, {}, R::Int16, getGenkeyState}},
      {64,
       {"capi_CreatePKCS10_2", {P::String, P::Int32, P::Int32}, {"commonName", "keyBits", "genKeyFlags"}, R::String,
        createPkcs10Job}},
      {66,
       {"capi_CreatePKCS10Pair_2", {P::String, P::Int32, P::Int32}, {"commonName", "keyBits", "genKeyFlags"},
        R::Int16, createPkcs10PairJob}},
      {67, {"getP10Tmp", {}, {}, R::String, getP10Tmp}},
      {138, {"setWindowSize", {P::Float32, P::Float32}, {}, R::None, setWindowSize}},
  };
}

}  // namespace bridge
