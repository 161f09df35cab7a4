// Quennet, the token component: the exported class and the flat exports.
// JCICLib holds nothing; every instance works on the one process-wide state.
// Text results either point into that state (do not free) or are new arrays
// that the caller frees with delete[]; each function says which.
#pragma once

#include <oleauto.h>
#include <windef.h>

class VELMORA_EXPORT JCICLib {
 public:
  JCICLib();
  ~JCICLib();

  int SetTokenType(int type);
  int GetCardStatus();
  int GetCardType();
  int Login(const char* PINCode1, const char* PINCode2);
  int Logout();

  int SelectCert(int CertType);
  char* get_GetCertFinger();             // new array
  char* get_GetSelectedCertB64();        // new array
  char* get_GetSelectedCertSerial();     // new array
  char* get_GetSelectedCertSubject();    // new array
  char* get_GetSelectedCertIssuer();     // new array
  char* get_GetSelectedCertNotBefore();  // into the state
  char* get_GetSelectedCertNotAfter();   // into the state

  int MakePKCS10(int KeyType, int KeySize, const char* CN);
  int MakePKCS10ECC(int KeyType, int KeySize, const char* CN);
  char* GetBase64CSR();  // into the state
  char* GetBase64MAC();  // into the state

  int ImportCert(const char* base64X509, const char* MAC);

  int SignPKCS7(const char* toSigndata);
  char* get_GetPKCS7Data();  // into the state

  int get_GetErrorCode();
  char* get_GetErrorMsg();  // into the state
  char* get_GetVersion();   // static literal

  int MacConnectCard();
  int MacDisConnectCard();
  int MacGetCardStatus();
  int MacTermAuth(const char* Key, const char* pB64Cryptogram);
  char* MacGenRandom();         // new array
  char* MacReadEF1001(int RecN);  // new array
  int MacResetC7Pin(const char* strNewPIN);
  int MacChangeC7Pin(const char* strOldPin, const char* strNewPIN);
  int MacVerifyC7Pin(const char* strPin);
  int MacResetC9Pin(const char* strNewPIN);
  int MacChangeC9Pin(const char* strOldPin, const char* strNewPIN);
  int MacVerifyC9Pin(const char* strPin);
};

// Flat exports: the same operations with wide-string (BSTR) arguments and
// results. BSTR results are new and owned by the caller (SysFreeString).
extern "C" {
VELMORA_EXPORT int SetTokenType(int type);
VELMORA_EXPORT int GetCardType();
VELMORA_EXPORT int GetCardStatus();
VELMORA_EXPORT int Logout();
VELMORA_EXPORT int SelectCert(int CertType);
VELMORA_EXPORT int get_GetErrorCode();
VELMORA_EXPORT int Login(BSTR PINCode1, BSTR PINCode2);
VELMORA_EXPORT int MakePKCS10(int KeyType, int KeySize, BSTR CN);
VELMORA_EXPORT int ImportCert(BSTR base64X509, BSTR MAC);
VELMORA_EXPORT int SignPKCS7(BSTR toSigndata);
VELMORA_EXPORT BSTR get_GetCertFinger();
VELMORA_EXPORT BSTR get_GetSelectedCertB64();
VELMORA_EXPORT BSTR get_GetSelectedCertSerial();
VELMORA_EXPORT BSTR get_GetSelectedCertNotBefore();
VELMORA_EXPORT BSTR get_GetSelectedCertNotAfter();
VELMORA_EXPORT BSTR get_GetSelectedCertSubject();
VELMORA_EXPORT BSTR get_GetSelectedCertIssuer();
VELMORA_EXPORT BSTR GetBase64CSR();
VELMORA_EXPORT BSTR GetBase64MAC();
VELMORA_EXPORT BSTR get_GetErrorMsg();
VELMORA_EXPORT BSTR get_GetPKCS7Data();
VELMORA_EXPORT BSTR get_GetVersion();
VELMORA_EXPORT int MacConnectCard();
VELMORA_EXPORT int MacDisConnectCard();
VELMORA_EXPORT int MacGetCardStatus();
VELMORA_EXPORT int MacTermAuth(BSTR Key, BSTR pB64Cryptogram);
VELMORA_EXPORT BSTR MacGenRandom();
VELMORA_EXPORT BSTR MacReadEF1001(int RecN);
VELMORA_EXPORT int MacResetC7Pin(BSTR strNewPIN);
VELMORA_EXPORT int MacChangeC7Pin(BSTR strOldPin, BSTR strNewPIN);
VELMORA_EXPORT int MacVerifyC7Pin(BSTR strPin);
VELMORA_EXPORT int MacResetC9Pin(BSTR strNewPIN);
VELMORA_EXPORT int MacChangeC9Pin(BSTR strOldPin, BSTR strNewPIN);
VELMORA_EXPORT int MacVerifyC9Pin(BSTR strPin);
}
// Exported under its decorated name only. An ELF symbol cannot carry the
// "@12" of the Windows name ("@" separates a symbol's version), so the
// decoration is written "_12": "_MakePKCS10ECC_12".
extern "C" VELMORA_EXPORT int MakePKCS10ECC_flat(int KeyType, int KeySize, BSTR CN) __asm__("_MakePKCS10ECC_12");
