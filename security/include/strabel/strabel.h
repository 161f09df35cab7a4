// Strabel, the security component: the exported classes. They hold nothing;
// every instance reaches the one process-wide engine of its class. Text
// results are new buffers that the caller frees with delete[]; a null result
// means the operation produced no text at all.
#pragma once

#include <windef.h>

class VELMORA_EXPORT CCAPILib {
 public:
  // Frame
  char* GetVersion();
  int GetErrorCode();
  char* GetErrorMsg();
  int GetCapiErrorCode();
  char* GetCapiErrorMsg();
  // Ends a call that its caller refused before it ran, for an argument no
  // operation can take (a text with an embedded NUL): the wrong-parameters
  // status, 5005, as if the operation itself had refused it.
  int RefuseParameters();
  int SetCodePage(int newCP);
  int GetPortEx();

  // System and registry helpers
  char* GetOSName();
  char* GetMacAddress();
  char* GetUserHomePath();
  char* RegReadHKCU(const char* strName);
  int RegWriteHKCUInt(const char* strName, long dw);
  int RegWriteHKCUStr(const char* strName, const char* str);

  // Hashing
  char* Hash(const char* strPlainText, long dwFlags);
  char* HashFile(const char* strFileName, long dwFlags);

  // Symmetric and envelope encryption
  char* SymEncrypt(const char* strPlainText, const char* strPasswdHex, long iAlgorithm, long dwFlags);
  char* SymDecrypt(const char* strCipher, const char* strPasswdHex, long iAlgorithm, long dwFlags);
  char* CertEncryptPkcs7(const char* strPlainText, const char* strCertB64, long iAlgorithm, long dwFlags);
  char* CertDecryptPkcs7(const char* strCipher, long dwFlags);

  // Requests
  int SetProviderName(const char* strProviderName);
  char* CreatePKCS10(const char* commonName, long keyBits, long genKeyFlags);
  int CreatePKCS10Pair(const char* commonName, long keyBits, long genKeyFlags);
  char* GetCsrForSign();
  char* GetCsrForEncrypt();
  char* CreateEccPKCS10(const char* commonName, long genEccKeyFlags);

  // Installation
  int AcceptPKCS7(const char* strPkcs7);
  int AcceptPKCS7Ecc(const char* strPkcs7);
  int ImportCertChain(const char* strPkcs7);

  // PFX files
  int PresetPasswdLengthRange(long min, long max);
  int SetDefaultPfxFileName(const char* strPrefix);
  int ChangePfxPasswd(const char* strPfxPath, const char* strPfxName, const char* strOldPass, const char* strNewPass,
                      long dwFlags);
  int ChangePfxPasswdEx(const char* strPfxPath, const char* strPfxName, const char* strOldPass,
                        const char* strNewPass, long dwPort, long dwFlags);
  int QueryPfxInfo(const char* strPfxPath, const char* strPfxName, const char* strPasswd, long dwFlags,
                   long dwKeyUsage);
  int ImportPfxToIE(const char* strPfxPath, const char* strPfxName, const char* strPasswd, long dwFlags,
                    long dwKeyUsage);
  char* GetImportedPfxFilePath();
  char* GetImportedPfxFileName();
  int ExportPfxFromIE(const char* strSubject, const char* strPfxPath, const char* strPassword, long dwFlags,
                      long dwKeyUsage);
  char* GetExportedPfxFilePath();
  char* GetExportedPfxFileName();

  // Mobile export
  char* ExportMobileFromPfx(const char* strPfxPath, const char* strPfxName, const char* strPasswd, long dwFlags,
                            long dwKeyUsage);
  char* ExportMobileFromIE(const char* strSubject, const char* strPasswd, long dwFlags, long dwKeyUsage);

  // Signer selection and the chosen certificate
  int SelectSigner(const char* certFilter, long dwFlags, long dwKeyUsage);
  int SelectSignerEx(const char* certFilter, const char* strPfxPath, const char* strPfxName, const char* strPasswd,
                     const char* strCompareDate, long dwFlags, long dwKeyUsage);
  int SelectSignerEx2(const char* certFilter, const char* strPfxPath, const char* strPfxName, long dwPort,
                      const char* strCompareDate, long dwFlags, long dwKeyUsage);
  char* GetSignerPfxFilePath();
  char* GetSignerPfxFileName();
  char* GetCertB64();
  char* GetCertSubject();
  char* GetCertSubjectCN();
  char* GetCertIssuer();
  char* GetCertSerial();
  char* GetCertNotBefore();
  char* GetCertNotAfter();
  char* GetCertFinger();

  // Signing
  char* SignPkcs1(const char* strContent, long dwFlags);
  char* SignPkcs7(const char* strContent, long dwFlags);
};

class VELMORA_EXPORT CCAPICertRegLib {
 public:
  char* GetVersion();
  int GetErrorCode();
  char* GetErrorMsg();
  int GetCapiErrorCode();
  char* GetCapiErrorMsg();
  // Ends a call that its caller refused before it ran, for an argument no
  // operation can take (a text with an embedded NUL): the wrong-parameters
  // status, 5005, as if the operation itself had refused it.
  int RefuseParameters();
  int RegSMCert(const char* RNBO_IKEY1000_CSP);
  int GetSuccessCount();
  char* GetSn();
};

class VELMORA_EXPORT CCAPITaiMAC10 {
 public:
  char* GetVersion();
  int GetErrorCode();
  char* GetErrorMsg();
  int GetCapiErrorCode();
  char* GetCapiErrorMsg();
  // Ends a call that its caller refused before it ran, for an argument no
  // operation can take (a text with an embedded NUL): the wrong-parameters
  // status, 5005, as if the operation itself had refused it.
  int RefuseParameters();
  int SetCodePage(int newCP);

  int ConnectCard();
  int DisConnectCard();
  int GetCardStatus();
  int Check();

  int WriteCertMAC(const char* Base64Mac);
  char* ReadBinary();
  char* ReadPKMAC();
  int MoveCert(const char* srcEFID, const char* dstEFID);
  char* ReadEF1001(long RecN);
  int ChangeANPin(const char* strOldPin, const char* strNewPin);
  int VerifyANPin(const char* strPin);
  char* GenRandom();
  int TermAuth(const char* Key, const char* pB64Cryptogram);
  int UnlockANPin();
  int WriteEF8000(const char* pCardHolderData);
  int WriteEF1001(long RecN, const char* DATA);
  int ResetANPIN(const char* strNewPin);
  char* Read8000(long RecN, const char* pPin);
  int ResetPIN(const char* strNewPin);
  int VerrifyPIN(const char* strPin);
  int UnlockKey(const char* strKeyName);
};

// Thrown by a member function when its text result cannot be converted or
// allocated; carries E_OUTOFMEMORY or the HRESULT of the thread's last error.
struct VELMORA_EXPORT StrabelComError {
  HRESULT hr;
};
