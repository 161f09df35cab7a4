// The three process-wide engines behind the exported classes. All state of
// the component lives here; the exported classes only forward.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "certs/ecc_request.h"
#include "certs/rsa_request.h"
#include "maccard/mac_reader.h"

namespace strabel {

class cSharedMemory;

// A text result of an engine: wide text built from ANSI text, or no text at
// all (the exported function then returns a null pointer).
using WResult = std::optional<std::u16string>;

// Engine text helpers: ANSI text (CP_ACP) <-> engine wide text.
VELMORA_EXPORT std::u16string wideFromAnsi(const std::string& ansi);
VELMORA_EXPORT std::string ansiFromWide(const std::u16string& wide);

// A text that names something (a key, a file, a common name) must not hold
// a NUL: every layer below would stop reading it there.
inline bool hasNul(const std::u16string& text) { return text.find(u'\0') != std::u16string::npos; }

// Component status codes used by the frame.
enum : int {
  kStatusOk = 0,
  kProtectedMode = 1500,
  kNotSupported = 5004,
  kBadHandle = 5006,
};

// Key generator state of the request operations.
using CRsaGenerator = RsaRequestGenerator;
using CEccGenerator = EccRequestGenerator;

class VELMORA_EXPORT CCapiCore {
 public:
  CCapiCore();
  ~CCapiCore();

  // Frame
  WResult GetVersion();
  int GetErrorCode() const { return m_nErrorCode; }
  WResult GetErrorMsg() const;
  int GetCapiErrorCode() const { return int(m_dwCapiErrorCode); }
  WResult GetCapiErrorMsg() const;
  int SetCodePage(int newCP);
  int GetPortEx() const { return 0x10335; }

  // System and registry helpers
  WResult GetOSName() const;
  WResult GetMacAddress();
  WResult GetUserHomePath();
  WResult RegReadHKCU(const std::u16string& name);
  int RegWriteHKCUInt(const std::u16string& name, long value);
  int RegWriteHKCUStr(const std::u16string& name, const std::u16string& text);

  // Hashing
  WResult Hash(const std::u16string& text, long flags);
  WResult HashFile(const std::u16string& fileName, long flags);

  // RSA keys and requests
  int SetProviderName(const std::u16string& name);
  WResult CreatePKCS10(const std::u16string& commonName, long keyBits, long genKeyFlags);
  int CreatePKCS10Pair(const std::u16string& commonName, long keyBits, long genKeyFlags);

  // Elliptic-curve keys and requests
  WResult CreateEccPKCS10(const std::u16string& commonName, long genEccKeyFlags);

  // Certificate installation
  int AcceptPKCS7(const std::u16string& pkcs7);
  int AcceptPKCS7Ecc(const std::u16string& pkcs7);
  int ImportCertChain(const std::u16string& pkcs7);

  // Stored results of earlier operations.
  WResult GetCsrForSign() const { return wideFromAnsi(m_strCsrForSign); }
  WResult GetCsrForEncrypt() const { return wideFromAnsi(m_strCsrForEncrypt); }
  WResult GetImportedPfxFilePath() const { return wideFromAnsi(m_strImportedPfxFilePath); }
  WResult GetImportedPfxFileName() const { return wideFromAnsi(m_strImportedPfxFileName); }
  WResult GetExportedPfxFilePath() const { return wideFromAnsi(m_strExportedPfxFilePath); }
  WResult GetExportedPfxFileName() const { return wideFromAnsi(m_strExportedPfxFileName); }
  WResult GetSignerPfxFilePath() const { return wideFromAnsi(m_strSignerPfxFilePath); }
  WResult GetSignerPfxFileName() const { return wideFromAnsi(m_strSignerPfxFileName); }

  // Signer selection
  int SelectSigner(const std::u16string& certFilter, long dwFlags, long dwKeyUsage);
  int SelectSignerEx(const std::u16string& certFilter, const std::u16string& strPfxPath,
                     const std::u16string& strPfxName, const std::u16string& strPasswd,
                     const std::u16string& strCompareDate, long dwFlags, long dwKeyUsage);
  int SelectSignerEx2(const std::u16string& certFilter, const std::u16string& strPfxPath,
                      const std::u16string& strPfxName, long dwPort, const std::u16string& strCompareDate,
                      long dwFlags, long dwKeyUsage);
  // The chosen certificate's fields; empty without a signer.
  WResult GetCertB64() const;
  WResult GetCertSubject();
  WResult GetCertSubjectCN();
  WResult GetCertIssuer();
  WResult GetCertSerial();
  WResult GetCertNotBefore();
  WResult GetCertNotAfter();
  WResult GetCertFinger();
  // Forgets the signer: medium -1, texts and certificate empty.
  void ResetSigner();

  // Signing with the chosen signer
  WResult SignPkcs1(const std::u16string& strContent, long dwFlags);
  WResult SignPkcs7(const std::u16string& strContent, long dwFlags);

  // PFX file operations and the mobile export
  int SetDefaultPfxFileName(const std::u16string& strPrefix);
  int ImportPfxToIE(const std::u16string& strPfxPath, const std::u16string& strPfxName,
                    const std::u16string& strPasswd, long dwFlags, long dwKeyUsage);
  int QueryPfxInfo(const std::u16string& strPfxPath, const std::u16string& strPfxName,
                   const std::u16string& strPasswd, long dwFlags, long dwKeyUsage);
  int ChangePfxPasswd(const std::u16string& strPfxPath, const std::u16string& strPfxName,
                      const std::u16string& strOldPass, const std::u16string& strNewPass, long dwFlags);
  int ChangePfxPasswdEx(const std::u16string& strPfxPath, const std::u16string& strPfxName,
                        const std::u16string& strOldPass, const std::u16string& strNewPass, long dwPort,
                        long dwFlags);
  int ExportPfxFromIE(const std::u16string& strSubject, const std::u16string& strPfxPath,
                      const std::u16string& strPassword, long dwFlags, long dwKeyUsage);
  WResult ExportMobileFromPfx(const std::u16string& strPfxPath, const std::u16string& strPfxName,
                              const std::u16string& strPasswd, long dwFlags, long dwKeyUsage);
  WResult ExportMobileFromIE(const std::u16string& strSubject, const std::u16string& strPasswd, long dwFlags,
                             long dwKeyUsage);

  // The password length range of the PFX dialogs.
  int PresetPasswdLengthRange(long min, long max);

  // Symmetric encryption
  WResult SymEncrypt(const std::u16string& plainText, const std::u16string& passwdHex, long iAlgorithm,
                     long dwFlags);
  WResult SymDecrypt(const std::u16string& cipherText, const std::u16string& passwdHex, long iAlgorithm,
                     long dwFlags);

  // Envelope encryption
  WResult CertEncryptPkcs7(const std::u16string& strPlainText, const std::u16string& strCertB64, long iAlgorithm,
                           long dwFlags);
  WResult CertDecryptPkcs7(const std::u16string& strCipher, long dwFlags);

  // Starts an operation: resets the status pair (or only the code) and
  // applies the protected-mode guard. False when the operation must stop.
  bool begin(bool guarded, bool resetCapiCode = true);
  // Ends an operation that this build does not provide yet.
  int notSupported(bool guarded);
  WResult notSupportedText(bool guarded);
  int fail(int status, DWORD platformError = 0);

  int m_nErrorCode = 0;
  DWORD m_dwCapiErrorCode = 0;
  OSVERSIONINFOA m_osvi{};
  CRsaGenerator m_rsaGenerator;
  CEccGenerator m_eccGenerator;
  std::string m_strProfileDir;
  int m_nSignerMedia = -1;
  std::string m_strSignerCertHash;
  std::vector<BYTE> m_selectedCert;
  std::string m_strSignerPfxPasswd;
  std::string m_strSignerPfxFilePath;
  std::string m_strSignerPfxFileName;
  BYTE m_bPasswdRangePreset = 0;
  int m_nPasswdMinLen = 0;
  int m_nPasswdMaxLen = 16;
  std::string m_strImportedPfxFilePath;
  std::string m_strImportedPfxFileName;
  std::string m_strExportedPfxFilePath;
  std::string m_strExportedPfxFileName;
  std::string m_strDefaultPfxPrefix;
  std::string m_strCsrForSign;
  std::string m_strCsrForEncrypt;
  cSharedMemory* m_pSharedMemory = nullptr;
  BYTE m_bIEProtectedMode = 0;
  int m_nCodePage = 437;
};

class VELMORA_EXPORT CCertRegCore {
 public:
  CCertRegCore();

  WResult GetVersion();
  int GetErrorCode() const { return m_nErrorCode; }
  WResult GetErrorMsg() const;
  int GetCapiErrorCode() const { return int(m_dwCapiErrorCode); }
  WResult GetCapiErrorMsg() const;
  int RegSMCert(const std::u16string& csp);
  int GetSuccessCount() const { return m_nSuccessCount; }
  WResult GetSn() const;

  int m_nErrorCode = 0;
  DWORD m_dwCapiErrorCode = 0;
  int m_nSuccessCount = 0;
  std::vector<std::string> m_saSubjectCN;
  BYTE m_bIEProtectedMode = 0;
};

class VELMORA_EXPORT CTaiMAC10Core : public CTaiMacReader {
 public:
  CTaiMAC10Core();
  ~CTaiMAC10Core() override;

  WResult GetVersion();
  int GetErrorCode() const { return m_nErrorCode; }
  WResult GetErrorMsg() const;
  int GetCapiErrorCode() const { return int(m_dwCapiErrorCode); }
  WResult GetCapiErrorMsg() const;
  int SetCodePage(int newCP);

  // Card operations report through their result, not the status fields.
  int ConnectCard();
  int DisConnectCard();
  int GetCardStatus();
  int Check();
  int WriteCertMAC(const std::string& base64Mac);
  WResult ReadPKMAC();
  WResult ReadBinary();
  WResult GenRandom();
  int MoveCert(const std::string& srcEfId, const std::string& dstEfId);
  WResult ReadEF1001(long recN);
  int WriteEF1001(long recN, const std::string& data);
  int WriteEF8000(const std::string& cardHolderData);
  WResult Read8000(long recN, const std::string& pin);
  int VerifyANPin(const std::string& pin);
  int ChangeANPin(const std::string& oldPin, const std::string& newPin);
  int UnlockANPin();
  int ResetANPIN(const std::string& newPin);
  int VerrifyPIN(const std::string& pin);
  int ResetPIN(const std::string& newPin);
  int TermAuth(const std::string& key, const std::string& b64Cryptogram);
  int UnlockKey(const std::string& keyName);

  int m_nErrorCode = 0;
  DWORD m_dwCapiErrorCode = 0;
  BYTE m_bIEProtectedMode = 0;
  int m_nCodePage = 950;

 private:
  int verifyAnPinSteps(const std::string& pin);
};

VELMORA_EXPORT CCapiCore& capiCore();
VELMORA_EXPORT CCertRegCore& certRegCore();
VELMORA_EXPORT CTaiMAC10Core& taiMacCore();

}  // namespace strabel
