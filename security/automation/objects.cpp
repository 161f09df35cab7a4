// The automation classes CAPI, CertREG and TaiMAC10. Each object embeds an
// engine of its own, so objects share no state with each other or with the
// exported classes; each member forwards to the engine operation of the
// same name, in the component's resource context.
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "automation/automation.h"
#include "frame/engines.h"
#include "frame/frame.h"

namespace strabel::automation {

namespace {

// The engine's copy of a BSTR argument; a null BSTR is the empty text.
std::u16string in(BSTR text) { return text ? std::u16string(text, SysStringLen(text)) : std::u16string(); }

// Runs a text operation and hands its result to the caller as a new BSTR
// (null when the operation produced no text). No exception leaves a member.
template <class Op>
HRESULT textResult(BSTR* pVal, Op&& op) {
  if (!pVal) return E_POINTER;
  *pVal = nullptr;
  try {
    ManageState state;
    WResult result = op();
    if (!result) return S_OK;
    *pVal = SysAllocStringLen(result->data(), UINT(result->size()));
    return *pVal ? S_OK : E_OUTOFMEMORY;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

template <class Op>
HRESULT numberResult(LONG* pVal, Op&& op) {
  if (!pVal) return E_POINTER;
  *pVal = 0;
  try {
    ManageState state;
    *pVal = LONG(op());
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

constexpr bool kGuarded = true;
constexpr bool kUnguarded = false;

// Names this module for the type library look-up. Not the exported table:
// every server module exports one under the same name, and a reference to
// an exported name may bind to another module's.
const char kModuleAnchor = 0;

// What every class shares: IUnknown with aggregation, IDispatch through the
// type library's description of `Iface`, IObjectSafety, the engine and the
// module lock.
template <class Iface, class Engine>
class AutomationObject : public velmora::com::DualDispatch<Iface, AutomationObject<Iface, Engine>>,
                         public IObjectSafety {
  friend class velmora::com::DualDispatch<Iface, AutomationObject>;

 public:
  template <class Derived>
  static HRESULT create(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    // An aggregating outer object must ask for the inner IUnknown.
    if (outer && !(riid == IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    Derived* object = nullptr;
    try {
      ManageState state;
      object = new Derived(outer);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    IUnknown* inner = &object->inner_;
    inner->AddRef();
    HRESULT hr = inner->QueryInterface(riid, ppv);
    inner->Release();
    return hr;
  }

  // IUnknown: the controlling object's (the outer one when aggregated).
  HRESULT QueryInterface(REFIID riid, void** ppv) override { return outer_->QueryInterface(riid, ppv); }
  ULONG AddRef() override { return outer_->AddRef(); }
  ULONG Release() override { return outer_->Release(); }

  // IObjectSafety: the one option offered is "safe for untrusted callers".
  HRESULT GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions, DWORD* pdwEnabledOptions) override {
    if (!pdwSupportedOptions || !pdwEnabledOptions) return E_POINTER;
    if (HRESULT hr = answers(riid); FAILED(hr)) {
      *pdwSupportedOptions = 0;
      *pdwEnabledOptions = 0;
      return hr;
    }
    *pdwSupportedOptions = kSupportedSafety;
    *pdwEnabledOptions = safety_;
    return S_OK;
  }
  HRESULT SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask, DWORD dwEnabledOptions) override {
    if (FAILED(answers(riid))) return E_NOINTERFACE;
    if (dwOptionSetMask & ~kSupportedSafety) return E_FAIL;
    // The mask says which options change, `enabled` what they become.
    safety_ = (safety_ & ~dwOptionSetMask) | (dwEnabledOptions & dwOptionSetMask);
    return S_OK;
  }

 protected:
  AutomationObject(IUnknown* outer, const IID& iid) : iid_(iid), outer_(outer ? outer : &inner_) {}
  virtual ~AutomationObject() {
    if (info_) info_->Release();
  }

 private:
  // Keeps the server loaded from before the engine is made until after it
  // is gone.
  struct ModuleRef {
    ModuleRef() { moduleLock().lock(); }
    ~ModuleRef() { moduleLock().unlock(); }
    ModuleRef(const ModuleRef&) = delete;
    ModuleRef& operator=(const ModuleRef&) = delete;
  } moduleRef_;

 protected:
  Engine m_core;

 private:
  static constexpr DWORD kSupportedSafety = INTERFACESAFE_FOR_UNTRUSTED_CALLER;

  // The non-delegating IUnknown: owns the reference count and answers for
  // the object's own interfaces.
  class Inner final : public IUnknown {
   public:
    explicit Inner(AutomationObject* owner) : owner_(owner) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
      if (!ppv) return E_POINTER;
      IUnknown* answer = nullptr;
      if (riid == IID_IUnknown) {
        answer = this;
        *ppv = this;
      } else if (riid == owner_->iid_ || riid == IID_IDispatch) {
        Iface* dual = owner_;
        answer = dual;
        *ppv = dual;
      } else if (riid == IID_IObjectSafety) {
        IObjectSafety* safety = owner_;
        answer = safety;
        *ppv = safety;
      } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
      }
      answer->AddRef();
      return S_OK;
    }
    ULONG AddRef() override {
      std::lock_guard lock(owner_->refLock_);
      return ++owner_->refs_;
    }
    ULONG Release() override {
      ULONG left;
      {
        std::lock_guard lock(owner_->refLock_);
        left = --owner_->refs_;
      }
      if (left == 0) {
        ManageState state;  // the engine goes in the component's context
        delete owner_;
      }
      return left;
    }

   private:
    AutomationObject* owner_;
  };

  // Whether the object (through its controlling IUnknown) answers `riid`.
  HRESULT answers(REFIID riid) {
    IUnknown* probe = nullptr;
    HRESULT hr = outer_->QueryInterface(riid, reinterpret_cast<void**>(&probe));
    if (SUCCEEDED(hr) && probe) probe->Release();
    return hr;
  }

  // The description of this object's interface, fetched on first use.
  HRESULT typeInfo(ITypeInfo** info) {
    if (!info_) {
      HRESULT hr = velmora::com::moduleTypeInfo(&kModuleAnchor, iid_, &info_);
      if (FAILED(hr)) {
        info_ = nullptr;
        return hr;
      }
    }
    *info = info_;
    return S_OK;
  }

  const IID& iid_;
  Inner inner_{this};
  IUnknown* outer_;
  std::mutex refLock_;
  ULONG refs_ = 0;
  DWORD safety_ = 0;
  ITypeInfo* info_ = nullptr;
};

// ---------------- CAPI ----------------

class CAPI final : public AutomationObject<ICAPI, CCapiCore> {
 public:
  explicit CAPI(IUnknown* outer) : AutomationObject(outer, IID_ICAPI) {}

  HRESULT GetVersion(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GetVersion(); }); }
  HRESULT GetErrorCode(LONG* pVal) override { return numberResult(pVal, [&] { return m_core.GetErrorCode(); }); }
  HRESULT GetErrorMsg(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GetErrorMsg(); }); }
  HRESULT GetCapiErrorCode(LONG* pVal) override {
    return numberResult(pVal, [&] { return m_core.GetCapiErrorCode(); });
  }
  HRESULT GetCapiErrorMsg(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GetCapiErrorMsg(); }); }
  HRESULT GetMacAddress(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GetMacAddress(); }); }
  HRESULT GetOSName(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GetOSName(); }); }
  HRESULT GetUserHomePath(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GetUserHomePath(); }); }
  HRESULT SetCodePage(LONG newCP, LONG* pVal) override {
    return numberResult(pVal, [&] { return m_core.SetCodePage(int(newCP)); });
  }

  HRESULT RegReadHKCU(BSTR strName, BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.RegReadHKCU(in(strName)); });
  }
  HRESULT RegWriteHKCUInt(BSTR strName, LONG dw, LONG* pVal) override {
    return numberResult(pVal, [&] { return m_core.RegWriteHKCUInt(in(strName), dw); });
  }
  HRESULT RegWriteHKCUStr(BSTR strName, BSTR str, LONG* pVal) override {
    return numberResult(pVal, [&] { return m_core.RegWriteHKCUStr(in(strName), in(str)); });
  }

  HRESULT Hash(BSTR strPlainText, LONG dwFlags, BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.Hash(in(strPlainText), dwFlags); });
  }
  HRESULT HashFile(BSTR strFileName, LONG dwFlags, BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.HashFile(in(strFileName), dwFlags); });
  }

  HRESULT SetProviderName(BSTR strProviderName, LONG* pVal) override {
    return numberResult(pVal, [&] { return m_core.SetProviderName(in(strProviderName)); });
  }
  HRESULT CreatePKCS10(BSTR commonName, LONG keyBits, LONG genKeyFlags, BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.CreatePKCS10(in(commonName), keyBits, genKeyFlags); });
  }
  HRESULT CreatePKCS10Pair(BSTR commonName, LONG keyBits, LONG genKeyFlags, LONG* pVal) override {
    return numberResult(pVal, [&] { return m_core.CreatePKCS10Pair(in(commonName), keyBits, genKeyFlags); });
  }
  HRESULT GetCsrForSign(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GetCsrForSign(); }); }
  HRESULT GetCsrForEncrypt(BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.GetCsrForEncrypt(); });
  }
  HRESULT AcceptPKCS7(BSTR strPkcs7, LONG* pVal) override {
    return numberResult(pVal, [&] { return m_core.AcceptPKCS7(in(strPkcs7)); });
  }
  HRESULT CreateEccPKCS10(BSTR commonName, LONG genEccKeyFlags, BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.CreateEccPKCS10(in(commonName), genEccKeyFlags); });
  }
  HRESULT ImportCertChain(BSTR strPkcs7, LONG* pVal) override {
    return numberResult(pVal, [&] { return m_core.ImportCertChain(in(strPkcs7)); });
  }

  HRESULT SetDefaultPfxFileName(BSTR strPrefix, LONG* pVal) override {
    return numberResult(pVal, [&] { return m_core.SetDefaultPfxFileName(in(strPrefix)); });
  }
  HRESULT PresetPasswdLengthRange(LONG min, LONG max, LONG* pVal) override {
    return numberResult(pVal, [&] { return m_core.PresetPasswdLengthRange(min, max); });
  }
  HRESULT ChangePfxPasswd(BSTR strPfxPath, BSTR strPfxName, BSTR strOldPass, BSTR strNewPass, LONG dwFlags,
                          LONG* pVal) override {
    return numberResult(pVal, [&] {
      return m_core.ChangePfxPasswd(in(strPfxPath), in(strPfxName), in(strOldPass), in(strNewPass), dwFlags);
    });
  }
  HRESULT ChangePfxPasswdEx(BSTR strPfxPath, BSTR strPfxName, BSTR strOldPass, BSTR strNewPass, LONG dwPort,
                            LONG dwFlags, LONG* pVal) override {
    return numberResult(pVal, [&] {
      return m_core.ChangePfxPasswdEx(in(strPfxPath), in(strPfxName), in(strOldPass), in(strNewPass), dwPort,
                                      dwFlags);
    });
  }
  HRESULT QueryPfxInfo(BSTR strPfxPath, BSTR strPfxName, BSTR strPasswd, LONG dwFlags, LONG dwKeyUsage,
                       LONG* pVal) override {
    return numberResult(pVal, [&] {
      return m_core.QueryPfxInfo(in(strPfxPath), in(strPfxName), in(strPasswd), dwFlags, dwKeyUsage);
    });
  }
  HRESULT ImportPfxToIE(BSTR strPfxPath, BSTR strPfxName, BSTR strPasswd, LONG dwFlags, LONG dwKeyUsage,
                        LONG* pVal) override {
    return numberResult(pVal, [&] {
      return m_core.ImportPfxToIE(in(strPfxPath), in(strPfxName), in(strPasswd), dwFlags, dwKeyUsage);
    });
  }
  HRESULT GetImportedPfxFilePath(BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.GetImportedPfxFilePath(); });
  }
  HRESULT GetImportedPfxFileName(BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.GetImportedPfxFileName(); });
  }
  HRESULT ExportPfxFromIE(BSTR strSubject, BSTR strPfxPath, BSTR strPassword, LONG dwFlags, LONG dwKeyUsage,
                          LONG* pVal) override {
    return numberResult(pVal, [&] {
      return m_core.ExportPfxFromIE(in(strSubject), in(strPfxPath), in(strPassword), dwFlags, dwKeyUsage);
    });
  }
  HRESULT ExportMobileFromPfx(BSTR strPfxPath, BSTR strPfxName, BSTR strPasswd, LONG dwFlags, LONG dwKeyUsage,
                              BSTR* pVal) override {
    return textResult(pVal, [&] {
      return m_core.ExportMobileFromPfx(in(strPfxPath), in(strPfxName), in(strPasswd), dwFlags, dwKeyUsage);
    });
  }
  HRESULT ExportMobileFromIE(BSTR strSubject, BSTR strPasswd, LONG dwFlags, LONG dwKeyUsage, BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.ExportMobileFromIE(in(strSubject), in(strPasswd), dwFlags, dwKeyUsage); });
  }
  HRESULT GetExportedPfxFilePath(BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.GetExportedPfxFilePath(); });
  }
  HRESULT GetExportedPfxFileName(BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.GetExportedPfxFileName(); });
  }

  HRESULT SelectSigner(BSTR certFilter, LONG dwFlags, LONG dwKeyUsage, LONG* pVal) override {
    return numberResult(pVal, [&] { return m_core.SelectSigner(in(certFilter), dwFlags, dwKeyUsage); });
  }
  HRESULT SelectSignerEx(BSTR certFilter, BSTR strPfxPath, BSTR strPfxName, BSTR strPasswd, BSTR strCompareDate,
                         LONG dwFlags, LONG dwKeyUsage, LONG* pVal) override {
    return numberResult(pVal, [&] {
      return m_core.SelectSignerEx(in(certFilter), in(strPfxPath), in(strPfxName), in(strPasswd), in(strCompareDate),
                                   dwFlags, dwKeyUsage);
    });
  }
  HRESULT GetSignerPfxFilePath(BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.GetSignerPfxFilePath(); });
  }
  HRESULT GetSignerPfxFileName(BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.GetSignerPfxFileName(); });
  }
  HRESULT SignPkcs1(BSTR strContent, LONG dwFlags, BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.SignPkcs1(in(strContent), dwFlags); });
  }
  HRESULT SignPkcs7(BSTR strContent, LONG dwFlags, BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.SignPkcs7(in(strContent), dwFlags); });
  }
  HRESULT SelectSignerEx2(BSTR certFilter, BSTR strPfxPath, BSTR strPfxName, LONG dwPort, BSTR strCompareDate,
                          LONG dwFlags, LONG dwKeyUsage, LONG* pVal) override {
    return numberResult(pVal, [&] {
      return m_core.SelectSignerEx2(in(certFilter), in(strPfxPath), in(strPfxName), dwPort, in(strCompareDate),
                                    dwFlags, dwKeyUsage);
    });
  }
  // The automation class reports its own port value, not the exported class's.
  HRESULT GetPortEx(LONG* pVal) override { return numberResult(pVal, [] { return 0x10001; }); }

  HRESULT GetCertB64(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GetCertB64(); }); }
  HRESULT GetCertSubject(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GetCertSubject(); }); }
  HRESULT GetCertSubjectCN(BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.GetCertSubjectCN(); });
  }
  HRESULT GetCertIssuer(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GetCertIssuer(); }); }
  HRESULT GetCertSerial(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GetCertSerial(); }); }
  HRESULT GetCertNotBefore(BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.GetCertNotBefore(); });
  }
  HRESULT GetCertNotAfter(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GetCertNotAfter(); }); }
  HRESULT GetCertFinger(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GetCertFinger(); }); }

  HRESULT SymEncrypt(BSTR strPlainText, BSTR strPasswdHex, LONG iAlgorithm, LONG dwFlags, BSTR* pVal) override {
    return textResult(pVal,
                      [&] { return m_core.SymEncrypt(in(strPlainText), in(strPasswdHex), iAlgorithm, dwFlags); });
  }
  HRESULT SymDecrypt(BSTR strCipher, BSTR strPasswdHex, LONG iAlgorithm, LONG dwFlags, BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.SymDecrypt(in(strCipher), in(strPasswdHex), iAlgorithm, dwFlags); });
  }
  HRESULT CertEncryptPkcs7(BSTR strPlainText, BSTR strCertB64, LONG iAlgorithm, LONG dwFlags, BSTR* pVal) override {
    return textResult(pVal, [&] {
      return m_core.CertEncryptPkcs7(in(strPlainText), in(strCertB64), iAlgorithm, dwFlags);
    });
  }
  HRESULT CertDecryptPkcs7(BSTR strCipher, LONG dwFlags, BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.CertDecryptPkcs7(in(strCipher), dwFlags); });
  }
};

// ---------------- CertREG ----------------

class CertREG final : public AutomationObject<ICertREG, CCertRegCore> {
 public:
  explicit CertREG(IUnknown* outer) : AutomationObject(outer, IID_ICertREG) {}

  HRESULT GetVersion(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GetVersion(); }); }
  HRESULT GetErrorCode(LONG* pVal) override { return numberResult(pVal, [&] { return m_core.GetErrorCode(); }); }
  HRESULT GetErrorMsg(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GetErrorMsg(); }); }
  HRESULT GetCapiErrorCode(LONG* pVal) override {
    return numberResult(pVal, [&] { return m_core.GetCapiErrorCode(); });
  }
  HRESULT GetCapiErrorMsg(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GetCapiErrorMsg(); }); }
  HRESULT RegSMCert(BSTR csp, LONG* pVal) override {
    return numberResult(pVal, [&] { return m_core.RegSMCert(in(csp)); });
  }
  HRESULT GetSuccessCount(LONG* pVal) override {
    return numberResult(pVal, [&] { return m_core.GetSuccessCount(); });
  }
  HRESULT GetSn(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GetSn(); }); }
};

// ---------------- TaiMAC10 ----------------

class TaiMAC10 final : public AutomationObject<ITaiMAC10, CTaiMAC10Core> {
 public:
  explicit TaiMAC10(IUnknown* outer) : AutomationObject(outer, IID_ITaiMAC10) {}

  HRESULT GetVersion(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GetVersion(); }); }
  HRESULT SetCodePage(LONG newCP, LONG* pVal) override {
    return numberResult(pVal, [&] { return m_core.SetCodePage(int(newCP)); });
  }

  // Card operations answer through their result; each object has its own
  // reader and connection.
  HRESULT WriteCertMAC(BSTR mac, LONG* pVal) override { return card(pVal, [&] { return m_core.WriteCertMAC(a(mac)); }); }
  HRESULT ReadBinary(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.ReadBinary(); }); }
  HRESULT ReadPKMAC(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.ReadPKMAC(); }); }
  HRESULT MoveCert(BSTR src, BSTR dst, LONG* pVal) override {
    return card(pVal, [&] { return m_core.MoveCert(a(src), a(dst)); });
  }
  HRESULT ReadEF1001(LONG recN, BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.ReadEF1001(recN); });
  }
  HRESULT ChangeANPin(BSTR oldPin, BSTR newPin, LONG* pVal) override {
    return card(pVal, [&] { return m_core.ChangeANPin(a(oldPin), a(newPin)); });
  }
  HRESULT VerifyANPin(BSTR pin, LONG* pVal) override { return card(pVal, [&] { return m_core.VerifyANPin(a(pin)); }); }
  HRESULT GenRandom(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GenRandom(); }); }
  HRESULT TermAuth(BSTR key, BSTR cryptogram, LONG* pVal) override {
    return card(pVal, [&] { return m_core.TermAuth(a(key), a(cryptogram)); });
  }
  HRESULT UnlockANPin(LONG* pVal) override { return card(pVal, [&] { return m_core.UnlockANPin(); }); }
  HRESULT WriteEF8000(BSTR data, LONG* pVal) override {
    return card(pVal, [&] { return m_core.WriteEF8000(a(data)); });
  }
  HRESULT WriteEF1001(LONG recN, BSTR data, LONG* pVal) override {
    return card(pVal, [&] { return m_core.WriteEF1001(recN, a(data)); });
  }
  HRESULT ResetANPIN(BSTR pin, LONG* pVal) override { return card(pVal, [&] { return m_core.ResetANPIN(a(pin)); }); }
  HRESULT Read8000(LONG recN, BSTR pin, BSTR* pVal) override {
    return textResult(pVal, [&] { return m_core.Read8000(recN, a(pin)); });
  }
  HRESULT Check(LONG* pVal) override { return card(pVal, [&] { return m_core.Check(); }); }
  HRESULT ResetPIN(BSTR pin, LONG* pVal) override { return card(pVal, [&] { return m_core.ResetPIN(a(pin)); }); }
  HRESULT VerrifyPIN(BSTR pin, LONG* pVal) override { return card(pVal, [&] { return m_core.VerrifyPIN(a(pin)); }); }
  HRESULT UnlockKey(BSTR key, LONG* pVal) override { return card(pVal, [&] { return m_core.UnlockKey(a(key)); }); }
  HRESULT ConnectCard(LONG* pVal) override { return card(pVal, [&] { return m_core.ConnectCard(); }); }
  HRESULT DisConnectCard(LONG* pVal) override { return card(pVal, [&] { return m_core.DisConnectCard(); }); }
  HRESULT GetCardStatus(LONG* pVal) override { return card(pVal, [&] { return m_core.GetCardStatus(); }); }

  HRESULT GetErrorCode(LONG* pVal) override { return numberResult(pVal, [&] { return m_core.GetErrorCode(); }); }
  HRESULT GetErrorMsg(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GetErrorMsg(); }); }
  HRESULT GetCapiErrorCode(LONG* pVal) override {
    return numberResult(pVal, [&] { return m_core.GetCapiErrorCode(); });
  }
  HRESULT GetCapiErrorMsg(BSTR* pVal) override { return textResult(pVal, [&] { return m_core.GetCapiErrorMsg(); }); }

 private:
  template <class F>
  HRESULT card(LONG* pVal, F f) {
    return numberResult(pVal, f);
  }
  // An argument as the card operations take it: ANSI text.
  static std::string a(BSTR text) { return ansiFromWide(in(text)); }
};

}  // namespace

velmora::com::ModuleLock& moduleLock() {
  static velmora::com::ModuleLock lock;
  return lock;
}

HRESULT createCapi(IUnknown* outer, REFIID riid, void** ppv) {
  return CAPI::create<CAPI>(outer, riid, ppv);
}
HRESULT createCertReg(IUnknown* outer, REFIID riid, void** ppv) {
  return CertREG::create<CertREG>(outer, riid, ppv);
}
HRESULT createTaiMac(IUnknown* outer, REFIID riid, void** ppv) {
  return TaiMAC10::create<TaiMAC10>(outer, riid, ppv);
}

}  // namespace strabel::automation
