// Strabel's automation classes CAPI, CertREG and TaiMAC10: their identifiers
// and dual interfaces, for automation clients written in C++. Scripts reach
// the same members by name through IDispatch.
//
// Every member takes BSTR and LONG [in] arguments, returns its value through
// the last [out, retval] argument and answers S_OK: whether the operation
// worked is told by the value and by GetErrorCode afterwards. A text result
// belongs to the caller (SysFreeString); a null BSTR means no text at all.
#pragma once

#include <objbase.h>
#include <oleauto.h>

extern "C" {
VELMORA_EXPORT extern const GUID LIBID_STRABELLib;
VELMORA_EXPORT extern const CLSID CLSID_CAPI;
VELMORA_EXPORT extern const CLSID CLSID_CertREG;
VELMORA_EXPORT extern const CLSID CLSID_TaiMAC10;
VELMORA_EXPORT extern const IID IID_ICAPI;
VELMORA_EXPORT extern const IID IID_ICertREG;
VELMORA_EXPORT extern const IID IID_ITaiMAC10;

// The in-process server's entry points.
VELMORA_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
VELMORA_EXPORT HRESULT DllCanUnloadNow();
VELMORA_EXPORT HRESULT DllRegisterServer();
VELMORA_EXPORT HRESULT DllUnregisterServer();
}

struct ICAPI : IDispatch {
  virtual HRESULT GetVersion(BSTR* pVal) = 0;
  virtual HRESULT GetErrorCode(LONG* pVal) = 0;
  virtual HRESULT GetErrorMsg(BSTR* pVal) = 0;
  virtual HRESULT GetCapiErrorCode(LONG* pVal) = 0;
  virtual HRESULT GetCapiErrorMsg(BSTR* pVal) = 0;
  virtual HRESULT GetMacAddress(BSTR* pVal) = 0;
  virtual HRESULT GetOSName(BSTR* pVal) = 0;
  virtual HRESULT GetUserHomePath(BSTR* pVal) = 0;
  virtual HRESULT SetCodePage(LONG newCP, LONG* pVal) = 0;
  virtual HRESULT RegReadHKCU(BSTR strName, BSTR* pVal) = 0;
  virtual HRESULT RegWriteHKCUInt(BSTR strName, LONG dw, LONG* pVal) = 0;
  virtual HRESULT RegWriteHKCUStr(BSTR strName, BSTR str, LONG* pVal) = 0;
  virtual HRESULT Hash(BSTR strPlainText, LONG dwFlags, BSTR* pVal) = 0;
  virtual HRESULT HashFile(BSTR strFileName, LONG dwFlags, BSTR* pVal) = 0;
  virtual HRESULT SetProviderName(BSTR strProviderName, LONG* pVal) = 0;
  virtual HRESULT CreatePKCS10(BSTR commonName, LONG keyBits, LONG genKeyFlags, BSTR* pVal) = 0;
  virtual HRESULT CreatePKCS10Pair(BSTR commonName, LONG keyBits, LONG genKeyFlags, LONG* pVal) = 0;
  virtual HRESULT GetCsrForSign(BSTR* pVal) = 0;
  virtual HRESULT GetCsrForEncrypt(BSTR* pVal) = 0;
  virtual HRESULT AcceptPKCS7(BSTR strPkcs7, LONG* pVal) = 0;
  virtual HRESULT CreateEccPKCS10(BSTR commonName, LONG genEccKeyFlags, BSTR* pVal) = 0;
  virtual HRESULT ImportCertChain(BSTR strPkcs7, LONG* pVal) = 0;
  virtual HRESULT SetDefaultPfxFileName(BSTR strPrefix, LONG* pVal) = 0;
  virtual HRESULT PresetPasswdLengthRange(LONG min, LONG max, LONG* pVal) = 0;
  virtual HRESULT ChangePfxPasswd(BSTR strPfxPath, BSTR strPfxName, BSTR strOldPass, BSTR strNewPass, LONG dwFlags,
                                  LONG* pVal) = 0;
  virtual HRESULT ChangePfxPasswdEx(BSTR strPfxPath, BSTR strPfxName, BSTR strOldPass, BSTR strNewPass, LONG dwPort,
                                    LONG dwFlags, LONG* pVal) = 0;
  virtual HRESULT QueryPfxInfo(BSTR strPfxPath, BSTR strPfxName, BSTR strPasswd, LONG dwFlags, LONG dwKeyUsage,
                               LONG* pVal) = 0;
  virtual HRESULT ImportPfxToIE(BSTR strPfxPath, BSTR strPfxName, BSTR strPasswd, LONG dwFlags, LONG dwKeyUsage,
                                LONG* pVal) = 0;
  virtual HRESULT GetImportedPfxFilePath(BSTR* pVal) = 0;
  virtual HRESULT GetImportedPfxFileName(BSTR* pVal) = 0;
  virtual HRESULT ExportPfxFromIE(BSTR strSubject, BSTR strPfxPath, BSTR strPassword, LONG dwFlags, LONG dwKeyUsage,
                                  LONG* pVal) = 0;
  virtual HRESULT ExportMobileFromPfx(BSTR strPfxPath, BSTR strPfxName, BSTR strPasswd, LONG dwFlags,
                                      LONG dwKeyUsage, BSTR* pVal) = 0;
  virtual HRESULT ExportMobileFromIE(BSTR strSubject, BSTR strPasswd, LONG dwFlags, LONG dwKeyUsage, BSTR* pVal) = 0;
  virtual HRESULT GetExportedPfxFilePath(BSTR* pVal) = 0;
  virtual HRESULT GetExportedPfxFileName(BSTR* pVal) = 0;
  virtual HRESULT SelectSigner(BSTR certFilter, LONG dwFlags, LONG dwKeyUsage, LONG* pVal) = 0;
  virtual HRESULT SelectSignerEx(BSTR certFilter, BSTR strPfxPath, BSTR strPfxName, BSTR strPasswd,
                                 BSTR strCompareDate, LONG dwFlags, LONG dwKeyUsage, LONG* pVal) = 0;
  virtual HRESULT GetSignerPfxFilePath(BSTR* pVal) = 0;
  virtual HRESULT GetSignerPfxFileName(BSTR* pVal) = 0;
  virtual HRESULT SignPkcs1(BSTR strContent, LONG dwFlags, BSTR* pVal) = 0;
  virtual HRESULT SignPkcs7(BSTR strContent, LONG dwFlags, BSTR* pVal) = 0;
  virtual HRESULT SelectSignerEx2(BSTR certFilter, BSTR strPfxPath, BSTR strPfxName, LONG dwPort,
                                  BSTR strCompareDate, LONG dwFlags, LONG dwKeyUsage, LONG* pVal) = 0;
  virtual HRESULT GetPortEx(LONG* pVal) = 0;
  virtual HRESULT GetCertB64(BSTR* pVal) = 0;
  virtual HRESULT GetCertSubject(BSTR* pVal) = 0;
  virtual HRESULT GetCertSubjectCN(BSTR* pVal) = 0;
  virtual HRESULT GetCertIssuer(BSTR* pVal) = 0;
  virtual HRESULT GetCertSerial(BSTR* pVal) = 0;
  virtual HRESULT GetCertNotBefore(BSTR* pVal) = 0;
  virtual HRESULT GetCertNotAfter(BSTR* pVal) = 0;
  virtual HRESULT GetCertFinger(BSTR* pVal) = 0;
  virtual HRESULT SymEncrypt(BSTR strPlainText, BSTR strPasswdHex, LONG iAlgorithm, LONG dwFlags, BSTR* pVal) = 0;
  virtual HRESULT SymDecrypt(BSTR strCipher, BSTR strPasswdHex, LONG iAlgorithm, LONG dwFlags, BSTR* pVal) = 0;
  virtual HRESULT CertEncryptPkcs7(BSTR strPlainText, BSTR strCertB64, LONG iAlgorithm, LONG dwFlags,
                                   BSTR* pVal) = 0;
  virtual HRESULT CertDecryptPkcs7(BSTR strCipher, LONG dwFlags, BSTR* pVal) = 0;

 protected:
  ~ICAPI() = default;
};

struct ICertREG : IDispatch {
  virtual HRESULT GetVersion(BSTR* pVal) = 0;
  virtual HRESULT GetErrorCode(LONG* pVal) = 0;
  virtual HRESULT GetErrorMsg(BSTR* pVal) = 0;
  virtual HRESULT GetCapiErrorCode(LONG* pVal) = 0;
  virtual HRESULT GetCapiErrorMsg(BSTR* pVal) = 0;
  virtual HRESULT RegSMCert(BSTR RNBO_IKEY1000_CSP, LONG* pVal) = 0;
  virtual HRESULT GetSuccessCount(LONG* pVal) = 0;
  virtual HRESULT GetSn(BSTR* pVal) = 0;

 protected:
  ~ICertREG() = default;
};

struct ITaiMAC10 : IDispatch {
  virtual HRESULT GetVersion(BSTR* pVal) = 0;
  virtual HRESULT SetCodePage(LONG newCP, LONG* pVal) = 0;
  virtual HRESULT WriteCertMAC(BSTR Base64Mac, LONG* pVal) = 0;
  virtual HRESULT ReadBinary(BSTR* pVal) = 0;
  virtual HRESULT ReadPKMAC(BSTR* pVal) = 0;
  virtual HRESULT MoveCert(BSTR srcEFID, BSTR dstEFID, LONG* pVal) = 0;
  virtual HRESULT ReadEF1001(LONG RecN, BSTR* pVal) = 0;
  virtual HRESULT ChangeANPin(BSTR strOldPin, BSTR strNewPin, LONG* pVal) = 0;
  virtual HRESULT VerifyANPin(BSTR strPin, LONG* pVal) = 0;
  virtual HRESULT GenRandom(BSTR* pVal) = 0;
  virtual HRESULT TermAuth(BSTR Key, BSTR pB64Cryptogram, LONG* pVal) = 0;
  virtual HRESULT UnlockANPin(LONG* pVal) = 0;
  virtual HRESULT WriteEF8000(BSTR pCardHolderData, LONG* pVal) = 0;
  virtual HRESULT WriteEF1001(LONG RecN, BSTR DATA, LONG* pVal) = 0;
  virtual HRESULT ResetANPIN(BSTR strNewPin, LONG* pVal) = 0;
  virtual HRESULT Read8000(LONG RecN, BSTR pPin, BSTR* pVal) = 0;
  virtual HRESULT Check(LONG* pVal) = 0;
  virtual HRESULT ResetPIN(BSTR strNewPin, LONG* pVal) = 0;
  virtual HRESULT VerrifyPIN(BSTR strPin, LONG* pVal) = 0;
  virtual HRESULT UnlockKey(BSTR strKeyName, LONG* pVal) = 0;
  virtual HRESULT ConnectCard(LONG* pVal) = 0;
  virtual HRESULT DisConnectCard(LONG* pVal) = 0;
  virtual HRESULT GetCardStatus(LONG* pVal) = 0;
  // Reachable through the function table only: the type library does not
  // describe them, so a script cannot call them by name.
  virtual HRESULT GetErrorCode(LONG* pVal) = 0;
  virtual HRESULT GetErrorMsg(BSTR* pVal) = 0;
  virtual HRESULT GetCapiErrorCode(LONG* pVal) = 0;
  virtual HRESULT GetCapiErrorMsg(BSTR* pVal) = 0;

 protected:
  ~ITaiMAC10() = default;
};
