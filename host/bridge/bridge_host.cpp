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

// The job methods copy their arguments, start the job and return at once;
// the page polls getGenkeyState or getP10Tmp. Each job works on its own
// copy of the arguments, so a second start does not change a running job.
HRESULT makePkcs10Job(CFENROClientDlg& dlg, const Args& a, VARIANT* result) {
  dlg.m_jcicJobKeyType = a.int32[0];
  dlg.m_jcicJobKeySize = a.int32[1];
  dlg.m_jcicJobCommonName = a.str(0);
  dlg.startJob(CFENROClientDlg::Component::Token, true,
               [&dlg, type = dlg.m_jcicJobKeyType, size = dlg.m_jcicJobKeySize, cn = dlg.m_jcicJobCommonName] {
                 return dlg.m_jcic.MakePKCS10(type, size, cn.c_str());
               });
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
  dlg.startJob(CFENROClientDlg::Component::Security, false,
               [&dlg, cn = dlg.m_capiJobCommonName, bits = dlg.m_capiJobKeyBits, flags = dlg.m_capiJobFlags] {
                 char* text = dlg.m_capi.CreatePKCS10(cn.c_str(), bits, flags);
                 {
                   std::lock_guard lock(dlg.m_jobLock);
                   dlg.m_p10Tmp = text ? text : "";
                 }
                 delete[] text;
                 return 0;
               });
  return setStringResult(result, "");
}

HRESULT createPkcs10PairJob(CFENROClientDlg& dlg, const Args& a, VARIANT* result) {
  dlg.m_capiJobCommonName = a.str(0);
  dlg.m_capiJobKeyBits = a.int32[0];
  dlg.m_capiJobFlags = a.int32[1];
  dlg.startJob(CFENROClientDlg::Component::Security, true,
               [&dlg, cn = dlg.m_capiJobCommonName, bits = dlg.m_capiJobKeyBits, flags = dlg.m_capiJobFlags] {
                 return dlg.m_capi.CreatePKCS10Pair(cn.c_str(), bits, flags);
               });
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
