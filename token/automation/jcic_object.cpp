// The JCIC object: IJCIC over the shared token operations, IDispatch through
// the module's type information, and IObjectSafety.
#include <quennet/quennet.h>
#include <windows.h>

#include <openssl/crypto.h>

#include <atomic>
#include <new>
#include <string>

#include "automation/jcic_server.h"
#include "jcic_state.h"
#include "jcic_wide.h"
#include "maccard/mac_card_reader.h"

namespace {

using quennet::state;
namespace wide = quennet::wide;

// Not in the platform headers: the persistence interfaces a container asks
// about when it initialises a control from stored data.
const IID kIidPersistStreamInit = {0x7FD52380, 0x4E07, 0x101B, {0xAE, 0x2D, 0x08, 0x00, 0x2B, 0x2E, 0xC7, 0x13}};
const IID kIidPersistStorage = {0x0000010A, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kIidPersistPropertyBag = {0x37D84F60, 0x42CB, 0x11CE, {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};

bool isPersistence(REFIID riid) {
  return riid == kIidPersistStreamInit || riid == kIidPersistStorage || riid == kIidPersistPropertyBag;
}

// The one safety option each interface supports, 0 for any other.
DWORD supportedSafety(REFIID riid) {
  if (riid == IID_IDispatch) return INTERFACESAFE_FOR_UNTRUSTED_CALLER;
  if (isPersistence(riid)) return INTERFACESAFE_FOR_UNTRUSTED_DATA;
  return 0;
}

// A narrowed copy of a secret argument, wiped when it goes.
struct Secret {
  std::string text;
  explicit Secret(BSTR b) : text(wide::narrow(b, CP_ACP)) {}
  ~Secret() { OPENSSL_cleanse(text.data(), text.size()); }
  const char* get() const { return text.c_str(); }
};

HRESULT give(LONG* ret, int value) {
  if (!ret) return E_POINTER;
  *ret = value;
  return S_OK;
}

HRESULT give(BSTR* ret, BSTR value) {
  if (!value) return E_OUTOFMEMORY;
  *ret = value;
  return S_OK;
}

class Jcic final : public velmora::com::DualDispatch<IJCIC, Jcic>, public IObjectSafety {
  friend class velmora::com::DualDispatch<IJCIC, Jcic>;

 public:
  Jcic() { quennet::automation::moduleLock().lock(); }

  // IUnknown
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IJCIC) {
      *ppv = static_cast<IJCIC*>(this);
    } else if (riid == IID_IObjectSafety) {
      *ppv = static_cast<IObjectSafety*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ULONG(refs_.fetch_add(1, std::memory_order_relaxed) + 1); }
  ULONG Release() override {
    long left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return ULONG(left);
  }

  // IJCIC: the token operations on the process-wide state.
  HRESULT SetTokenType(LONG type, LONG* ret) override {
    if (!ret) return E_POINTER;
    return give(ret, quennet::setTokenType(type, quennet::kAutomationModuleList));
  }
  HRESULT GetCardType(LONG* ret) override {
    if (!ret) return E_POINTER;
    return give(ret, quennet::getCardType());
  }
  HRESULT GetCardStatus(LONG* ret) override {
    if (!ret) return E_POINTER;
    return give(ret, quennet::getCardStatus());
  }
  HRESULT Login(BSTR pin1, BSTR pin2, LONG* ret) override {
    if (!ret) return E_POINTER;
    return give(ret, wide::login(pin1, pin2));
  }
  HRESULT Logout(LONG* ret) override {
    if (!ret) return E_POINTER;
    return give(ret, quennet::logout());
  }
  HRESULT SelectCert(LONG certType, LONG* ret) override {
    if (!ret) return E_POINTER;
    return give(ret, quennet::selectCert(certType));
  }
  HRESULT get_GetCertFinger(BSTR* ret) override { return text(ret, state().fingerprint, CP_ACP); }
  HRESULT get_GetSelectedCertB64(BSTR* ret) override { return text(ret, state().certificate, CP_ACP); }
  HRESULT get_GetSelectedCertSerial(BSTR* ret) override { return text(ret, state().serial, CP_ACP); }
  HRESULT get_GetSelectedCertSubject(BSTR* ret) override { return text(ret, state().subject, CP_UTF8); }
  HRESULT get_GetSelectedCertIssuer(BSTR* ret) override { return text(ret, state().issuer, CP_UTF8); }
  HRESULT get_GetSelectedCertNotBefore(BSTR* ret) override { return text(ret, state().notBefore, CP_ACP); }
  HRESULT get_GetSelectedCertNotAfter(BSTR* ret) override { return text(ret, state().notAfter, CP_ACP); }
  HRESULT SignPKCS7(BSTR data, LONG* ret) override {
    if (!ret) return E_POINTER;
    return give(ret, wide::signPkcs7(data));
  }
  HRESULT get_GetPKCS7Data(BSTR* ret) override {
    if (!ret) return E_POINTER;
    return give(ret, wide::takePkcs7());
  }
  HRESULT get_GetErrorCode(LONG* ret) override {
    if (!ret) return E_POINTER;
    return give(ret, state().errorCode);
  }
  HRESULT get_GetErrorMsg(BSTR* ret) override { return text(ret, state().errorMessage, CP_ACP); }
  HRESULT get_GetVersion(BSTR* ret) override { return text(ret, "1,0,0,1", CP_ACP); }
  HRESULT MakePKCS10(LONG keyType, LONG keySize, BSTR cn, LONG* ret) override {
    if (!ret) return E_POINTER;
    return give(ret, wide::makePkcs10(keyType, keySize, cn));
  }
  HRESULT GetBase64CSR(BSTR* ret) override { return text(ret, state().request, CP_ACP); }
  HRESULT ImportCert(BSTR cert, BSTR mac, LONG* ret) override {
    if (!ret) return E_POINTER;
    return give(ret, wide::importCert(cert, mac));
  }
  HRESULT GetBase64MAC(BSTR* ret) override { return text(ret, state().requestMac, CP_ACP); }
  HRESULT MakePKCS10ECC(LONG keyType, LONG keySize, BSTR cn, LONG* ret) override {
    if (!ret) return E_POINTER;
    return give(ret, wide::makePkcs10Ecc(keyType, keySize, cn));
  }

  // IJCIC: the card operations, on this object's own reader.
  HRESULT MacConnectCard(LONG* ret) override {
    if (!ret) return E_POINTER;
    return give(ret, reader_.MacConnectCard());
  }
  HRESULT MacDisConnectCard(LONG* ret) override {
    if (!ret) return E_POINTER;
    return give(ret, reader_.MacDisConnectCard());
  }
  HRESULT MacGetCardStatus(LONG* ret) override {
    if (!ret) return E_POINTER;
    return give(ret, reader_.MacGetCardStatus());
  }
  HRESULT MacTermAuth(BSTR key, BSTR cryptogram, LONG* ret) override {
    if (!ret) return E_POINTER;
    Secret k(key);
    std::string c = wide::narrow(cryptogram, CP_ACP);
    return give(ret, reader_.MacTermAuth(key ? k.get() : nullptr, cryptogram ? c.c_str() : nullptr));
  }
  HRESULT MacGenRandom(BSTR* ret) override {
    if (!ret) return E_POINTER;
    return give(ret, wide::field(reader_.MacGenRandom().c_str(), CP_ACP));
  }
  HRESULT MacReadEF1001(LONG record, BSTR* ret) override {
    if (!ret) return E_POINTER;
    return give(ret, wide::field(reader_.MacReadEF1001(int(record)).c_str(), CP_ACP));
  }
  HRESULT MacResetC7Pin(BSTR pin, LONG* ret) override { return pinCall(&quennet::CMacCardReader::MacResetC7Pin, pin, ret); }
  HRESULT MacChangeC7Pin(BSTR oldPin, BSTR newPin, LONG* ret) override {
    return pinCall(&quennet::CMacCardReader::MacChangeC7Pin, oldPin, newPin, ret);
  }
  HRESULT MacVerifyC7Pin(BSTR pin, LONG* ret) override { return pinCall(&quennet::CMacCardReader::MacVerifyC7Pin, pin, ret); }
  HRESULT MacResetC9Pin(BSTR pin, LONG* ret) override { return pinCall(&quennet::CMacCardReader::MacResetC9Pin, pin, ret); }
  HRESULT MacChangeC9Pin(BSTR oldPin, BSTR newPin, LONG* ret) override {
    return pinCall(&quennet::CMacCardReader::MacChangeC9Pin, oldPin, newPin, ret);
  }
  HRESULT MacVerifyC9Pin(BSTR pin, LONG* ret) override { return pinCall(&quennet::CMacCardReader::MacVerifyC9Pin, pin, ret); }

  // IObjectSafety: safe for scripting through IDispatch and for
  // initialisation through the persistence interfaces.
  HRESULT GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) override {
    if (!supported || !enabled) return E_POINTER;
    DWORD option = supportedSafety(riid);
    *supported = option;
    *enabled = safety_ & option;
    return option ? S_OK : E_FAIL;
  }
  HRESULT SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD options) override {
    DWORD option = supportedSafety(riid);
    DWORD next = safety_ | (mask & options);
    // A refused request leaves the options as they were.
    if (!option || !(next & option)) return E_FAIL;
    safety_ = next;
    return S_OK;
  }

 private:
  ~Jcic() {
    if (typeInfo_) typeInfo_->Release();
    quennet::automation::moduleLock().unlock();
  }

  HRESULT typeInfo(ITypeInfo** out) {
    if (!typeInfo_) {
      // Each object holds its own reference and gives it back when it goes.
      if (HRESULT hr = quennet::automation::loadTypeInfo(&typeInfo_); FAILED(hr)) {
        typeInfo_ = nullptr;
        return hr;
      }
    }
    *out = typeInfo_;
    return S_OK;
  }

  static HRESULT text(BSTR* ret, const char* field, UINT codePage) {
    if (!ret) return E_POINTER;
    return give(ret, wide::field(field, codePage));
  }

  HRESULT pinCall(int (quennet::CMacCardReader::*op)(const char*), BSTR pin, LONG* ret) {
    if (!ret) return E_POINTER;
    Secret p(pin);
    return give(ret, (reader_.*op)(pin ? p.get() : nullptr));
  }
  HRESULT pinCall(int (quennet::CMacCardReader::*op)(const char*, const char*), BSTR oldPin, BSTR newPin,
                  LONG* ret) {
    if (!ret) return E_POINTER;
    Secret o(oldPin), n(newPin);
    return give(ret, (reader_.*op)(oldPin ? o.get() : nullptr, newPin ? n.get() : nullptr));
  }

  std::atomic<long> refs_{1};
  DWORD safety_ = 0;
  ITypeInfo* typeInfo_ = nullptr;

  quennet::CMacCardReader reader_;
};

}  // namespace

namespace quennet::automation {

HRESULT createJcic(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  Jcic* object = new (std::nothrow) Jcic;
  if (!object) return E_OUTOFMEMORY;
  HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

}  // namespace quennet::automation
