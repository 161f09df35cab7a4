// Quennet's automation control: class JCIC with its dual interface IJCIC,
// created through COM by ProgID "Quennet.JCIC" (or "Quennet.JCIC.1").
// Every member returns S_OK and its result through the last argument; the
// card operations use the object's own card reader, everything else the
// token state the whole process shares with JCICLib.
#pragma once

#include <objbase.h>
#include <oleauto.h>

extern "C" VELMORA_EXPORT const CLSID CLSID_JCIC;      // {9D4F0A61-2B7C-4E35-8C1A-6E52B3D7F019}
extern "C" VELMORA_EXPORT const IID IID_IJCIC;         // {6B17D3E8-5A42-4C9F-9E03-B8F25C6A1D47}
extern "C" VELMORA_EXPORT const GUID LIBID_QUENNETLib;  // {2A8C6E13-F4D0-47B9-A25E-0C9D71B4E836}

struct IJCIC : IDispatch {
  virtual HRESULT SetTokenType(LONG type, LONG* ret) = 0;
  virtual HRESULT GetCardType(LONG* ret) = 0;
  virtual HRESULT GetCardStatus(LONG* ret) = 0;
  virtual HRESULT Login(BSTR PINCode1, BSTR PINCode2, LONG* ret) = 0;
  virtual HRESULT Logout(LONG* ret) = 0;
  virtual HRESULT SelectCert(LONG CertType, LONG* ret) = 0;
  virtual HRESULT get_GetCertFinger(BSTR* ret) = 0;
  virtual HRESULT get_GetSelectedCertB64(BSTR* ret) = 0;
  virtual HRESULT get_GetSelectedCertSerial(BSTR* ret) = 0;
  virtual HRESULT get_GetSelectedCertSubject(BSTR* ret) = 0;
  virtual HRESULT get_GetSelectedCertIssuer(BSTR* ret) = 0;
  virtual HRESULT get_GetSelectedCertNotBefore(BSTR* ret) = 0;
  virtual HRESULT get_GetSelectedCertNotAfter(BSTR* ret) = 0;
  virtual HRESULT SignPKCS7(BSTR toSigndata, LONG* ret) = 0;
  virtual HRESULT get_GetPKCS7Data(BSTR* ret) = 0;
  virtual HRESULT get_GetErrorCode(LONG* ret) = 0;
  virtual HRESULT get_GetErrorMsg(BSTR* ret) = 0;
  virtual HRESULT get_GetVersion(BSTR* ret) = 0;
  virtual HRESULT MakePKCS10(LONG KeyType, LONG KeySize, BSTR CN, LONG* ret) = 0;
  virtual HRESULT GetBase64CSR(BSTR* ret) = 0;
  virtual HRESULT ImportCert(BSTR base64X509, BSTR MAC, LONG* ret) = 0;
  virtual HRESULT GetBase64MAC(BSTR* ret) = 0;
  virtual HRESULT MacConnectCard(LONG* ret) = 0;
  virtual HRESULT MacDisConnectCard(LONG* ret) = 0;
  virtual HRESULT MacGetCardStatus(LONG* ret) = 0;
  virtual HRESULT MacTermAuth(BSTR Key, BSTR pB64Cryptogram, LONG* ret) = 0;
  virtual HRESULT MacGenRandom(BSTR* ret) = 0;
  virtual HRESULT MacReadEF1001(LONG RecN, BSTR* ret) = 0;
  virtual HRESULT MacResetC7Pin(BSTR strNewPIN, LONG* ret) = 0;
  virtual HRESULT MacChangeC7Pin(BSTR strOldPin, BSTR strNewPIN, LONG* ret) = 0;
  virtual HRESULT MacVerifyC7Pin(BSTR strPin, LONG* ret) = 0;
  virtual HRESULT MacResetC9Pin(BSTR strNewPIN, LONG* ret) = 0;
  virtual HRESULT MacChangeC9Pin(BSTR strOldPin, BSTR strNewPIN, LONG* ret) = 0;
  virtual HRESULT MacVerifyC9Pin(BSTR strPin, LONG* ret) = 0;
  // Reachable through the function table only: the type library does not
  // describe it, so IDispatch callers cannot name it.
  virtual HRESULT MakePKCS10ECC(LONG KeyType, LONG KeySize, BSTR CN, LONG* ret) = 0;

 protected:
  ~IJCIC() = default;
};

// The in-process server's entry points.
extern "C" {
VELMORA_EXPORT HRESULT DllRegisterServer();
VELMORA_EXPORT HRESULT DllUnregisterServer();
VELMORA_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
VELMORA_EXPORT HRESULT DllCanUnloadNow();
}
