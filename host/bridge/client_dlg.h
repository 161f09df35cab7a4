// The main window object. It owns one object of each component class for
// its whole life and is itself the page's bridge object (window.external):
// its dispatch interface exposes the 138 methods of the bridge table.
// velmora-call builds the same object without a window.
#pragma once

#include <cardtool/cardtool.h>
#include <oleauto.h>
#include <quennet/quennet.h>
#include <strabel/strabel.h>

#include <atomic>
#include <mutex>
#include <string>

class CFENROClientDlg : public IDispatch {
 public:
  CFENROClientDlg();
  virtual ~CFENROClientDlg();
  CFENROClientDlg(const CFENROClientDlg&) = delete;
  CFENROClientDlg& operator=(const CFENROClientDlg&) = delete;

  // IUnknown. The window object owns itself; references do not end it.
  HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IDispatch
  HRESULT GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override;
  HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                 VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

  // Opens an address or file with the desktop's default handler.
  virtual void browseWeb(const char* url);
  // Compares the host's version with the portal's; 0 or -1.
  virtual int versionCheck(const char* serverVersion, const char* installerUrl);

  // Component objects, constructed in this order and destroyed in reverse.
  CCardToolLib m_cardTool;
  JCICLib m_jcic;
  CCAPILib m_capi;
  CCAPICertRegLib m_certReg;
  CCAPITaiMAC10 m_taiMac;

  // Key-generation job fields.
  std::string m_capiJobCommonName;
  long m_capiJobKeyBits = 0;
  long m_capiJobFlags = 0;
  int m_jcicJobKeyType = 0;
  int m_jcicJobKeySize = 0;
  std::string m_jcicJobCommonName;
  std::atomic<int> m_nGenkeyState{0};
  std::string m_p10Tmp;
  std::mutex m_jobLock;

  static constexpr const char* kHostVersion = "1.8.0.0";

 private:
  std::atomic<ULONG> m_refs{1};
};
