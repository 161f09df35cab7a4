// The two narrow and wide surfaces of the token component over the shared
// operations.
#include <quennet/quennet.h>
#include <windows.h>

#include <openssl/crypto.h>

#include <cstring>
#include <string>

#include "base/codepage_internal.h"
#include "jcic_state.h"
#include "jcic_wide.h"
#include "maccard/mac_card_reader.h"

using quennet::state;
using velmora::platform::toNarrow;
using velmora::platform::toWide;

namespace {

char* newArray(const std::string& text) {
  char* out = new char[text.size() + 1];
  memcpy(out, text.c_str(), text.size() + 1);
  return out;
}

char g_version[] = "1,0,0,1";
char g_empty[] = "";

// A UTF-8 field as text in the process ANSI code page.
std::string ansiFromUtf8Field(const char* field) { return toNarrow(toWide(field, CP_UTF8), CP_ACP); }

BSTR bstr(const std::string& text, UINT codePage) { return quennet::wide::field(text.c_str(), codePage); }

// A PIN call of the MAC card with narrow copies that are wiped afterwards.
int macPinCall(int (quennet::CMacCardReader::*op)(const char*), BSTR pin) {
  std::string p = quennet::wide::narrow(pin, CP_ACP);
  int rv = (quennet::macReader().*op)(pin ? p.c_str() : nullptr);
  OPENSSL_cleanse(p.data(), p.size());
  return rv;
}
int macPinCall(int (quennet::CMacCardReader::*op)(const char*, const char*), BSTR oldPin, BSTR newPin) {
  std::string a = quennet::wide::narrow(oldPin, CP_ACP), b = quennet::wide::narrow(newPin, CP_ACP);
  int rv = (quennet::macReader().*op)(oldPin ? a.c_str() : nullptr, newPin ? b.c_str() : nullptr);
  OPENSSL_cleanse(a.data(), a.size());
  OPENSSL_cleanse(b.data(), b.size());
  return rv;
}

}  // namespace

JCICLib::JCICLib() = default;
JCICLib::~JCICLib() = default;

int JCICLib::SetTokenType(int type) { return quennet::setTokenType(type, quennet::kClassModuleList); }
int JCICLib::GetCardStatus() { return quennet::getCardStatus(); }
int JCICLib::GetCardType() { return quennet::getCardType(); }
int JCICLib::Login(const char* pin1, const char* pin2) { return quennet::login(pin1, pin2); }
int JCICLib::Logout() { return quennet::logout(); }
int JCICLib::SelectCert(int certType) { return quennet::selectCert(certType); }

char* JCICLib::get_GetCertFinger() { return newArray(state().fingerprint); }
char* JCICLib::get_GetSelectedCertB64() { return newArray(state().certificate); }
char* JCICLib::get_GetSelectedCertSerial() { return newArray(state().serial); }
char* JCICLib::get_GetSelectedCertSubject() { return newArray(ansiFromUtf8Field(state().subject)); }
char* JCICLib::get_GetSelectedCertIssuer() { return newArray(ansiFromUtf8Field(state().issuer)); }
char* JCICLib::get_GetSelectedCertNotBefore() { return state().notBefore; }
char* JCICLib::get_GetSelectedCertNotAfter() { return state().notAfter; }

int JCICLib::MakePKCS10(int keyType, int keySize, const char* cn) { return quennet::makePkcs10(keyType, keySize, cn); }
int JCICLib::MakePKCS10ECC(int keyType, int keySize, const char* cn) {
  return quennet::makePkcs10Ecc(keyType, keySize, cn);
}
char* JCICLib::GetBase64CSR() { return state().request; }
char* JCICLib::GetBase64MAC() { return state().requestMac; }
// The texts pass through UTF-16 into code page 950, as the flat export's do.
int JCICLib::ImportCert(const char* cert, const char* mac) {
  auto to950 = [](const char* text) { return toNarrow(toWide(text, CP_ACP), 950); };
  std::string c = cert ? to950(cert) : std::string(), m = mac ? to950(mac) : std::string();
  return quennet::importCert(cert ? c.c_str() : nullptr, mac ? m.c_str() : nullptr);
}

int JCICLib::SignPKCS7(const char* data) { return quennet::signPkcs7(data, data ? long(strlen(data)) : 0); }
char* JCICLib::get_GetPKCS7Data() { return state().pkcs7 ? state().pkcs7 : g_empty; }

int JCICLib::get_GetErrorCode() { return state().errorCode; }
char* JCICLib::get_GetErrorMsg() { return state().errorMessage; }
char* JCICLib::get_GetVersion() { return g_version; }

// The MAC card: one reader for the whole process.
int JCICLib::MacConnectCard() { return quennet::macReader().MacConnectCard(); }
int JCICLib::MacDisConnectCard() { return quennet::macReader().MacDisConnectCard(); }
int JCICLib::MacGetCardStatus() { return quennet::macReader().MacGetCardStatus(); }
int JCICLib::MacTermAuth(const char* key, const char* cryptogram) {
  return quennet::macReader().MacTermAuth(key, cryptogram);
}
char* JCICLib::MacGenRandom() { return newArray(quennet::macReader().MacGenRandom()); }
char* JCICLib::MacReadEF1001(int recN) { return newArray(quennet::macReader().MacReadEF1001(recN)); }
int JCICLib::MacResetC7Pin(const char* pin) { return quennet::macReader().MacResetC7Pin(pin); }
int JCICLib::MacChangeC7Pin(const char* oldPin, const char* newPin) {
  return quennet::macReader().MacChangeC7Pin(oldPin, newPin);
}
int JCICLib::MacVerifyC7Pin(const char* pin) { return quennet::macReader().MacVerifyC7Pin(pin); }
int JCICLib::MacResetC9Pin(const char* pin) { return quennet::macReader().MacResetC9Pin(pin); }
int JCICLib::MacChangeC9Pin(const char* oldPin, const char* newPin) {
  return quennet::macReader().MacChangeC9Pin(oldPin, newPin);
}
int JCICLib::MacVerifyC9Pin(const char* pin) { return quennet::macReader().MacVerifyC9Pin(pin); }

// ---------------- flat exports ----------------

extern "C" {

int SetTokenType(int type) { return quennet::setTokenType(type, quennet::kClassModuleList); }
int GetCardType() { return quennet::getCardType(); }
int GetCardStatus() { return quennet::getCardStatus(); }
int Logout() { return quennet::logout(); }
int SelectCert(int certType) { return quennet::selectCert(certType); }
int get_GetErrorCode() { return state().errorCode; }

int Login(BSTR pin1, BSTR pin2) { return quennet::wide::login(pin1, pin2); }
int MakePKCS10(int keyType, int keySize, BSTR cn) { return quennet::wide::makePkcs10(keyType, keySize, cn); }
int ImportCert(BSTR cert, BSTR mac) { return quennet::wide::importCert(cert, mac); }
int SignPKCS7(BSTR data) { return quennet::wide::signPkcs7(data); }

BSTR get_GetCertFinger() { return bstr(state().fingerprint, CP_ACP); }
BSTR get_GetSelectedCertB64() { return bstr(state().certificate, CP_ACP); }
BSTR get_GetSelectedCertSerial() { return bstr(state().serial, CP_ACP); }
BSTR get_GetSelectedCertNotBefore() { return bstr(state().notBefore, CP_ACP); }
BSTR get_GetSelectedCertNotAfter() { return bstr(state().notAfter, CP_ACP); }
BSTR get_GetSelectedCertSubject() { return bstr(state().subject, CP_UTF8); }
BSTR get_GetSelectedCertIssuer() { return bstr(state().issuer, CP_UTF8); }
BSTR GetBase64CSR() { return bstr(state().request, CP_ACP); }
BSTR GetBase64MAC() { return bstr(state().requestMac, CP_ACP); }
BSTR get_GetErrorMsg() { return bstr(state().errorMessage, CP_ACP); }

BSTR get_GetPKCS7Data() { return quennet::wide::takePkcs7(); }

BSTR get_GetVersion() { return bstr("1.6.0.0", CP_ACP); }

int MacConnectCard() { return quennet::macReader().MacConnectCard(); }
int MacDisConnectCard() { return quennet::macReader().MacDisConnectCard(); }
int MacGetCardStatus() { return quennet::macReader().MacGetCardStatus(); }
int MacTermAuth(BSTR key, BSTR cryptogram) {
  std::string k = quennet::wide::narrow(key, CP_ACP), c = quennet::wide::narrow(cryptogram, CP_ACP);
  return quennet::macReader().MacTermAuth(key ? k.c_str() : nullptr, cryptogram ? c.c_str() : nullptr);
}
BSTR MacGenRandom() { return bstr(quennet::macReader().MacGenRandom(), CP_ACP); }
BSTR MacReadEF1001(int recN) { return bstr(quennet::macReader().MacReadEF1001(recN), CP_ACP); }
int MacResetC7Pin(BSTR pin) { return macPinCall(&quennet::CMacCardReader::MacResetC7Pin, pin); }
int MacChangeC7Pin(BSTR oldPin, BSTR newPin) { return macPinCall(&quennet::CMacCardReader::MacChangeC7Pin, oldPin, newPin); }
int MacVerifyC7Pin(BSTR pin) { return macPinCall(&quennet::CMacCardReader::MacVerifyC7Pin, pin); }
int MacResetC9Pin(BSTR pin) { return macPinCall(&quennet::CMacCardReader::MacResetC9Pin, pin); }
int MacChangeC9Pin(BSTR oldPin, BSTR newPin) { return macPinCall(&quennet::CMacCardReader::MacChangeC9Pin, oldPin, newPin); }
int MacVerifyC9Pin(BSTR pin) { return macPinCall(&quennet::CMacCardReader::MacVerifyC9Pin, pin); }

}  // extern "C"

int MakePKCS10ECC_flat(int keyType, int keySize, BSTR cn) { return quennet::wide::makePkcs10Ecc(keyType, keySize, cn); }

namespace quennet::wide {

std::string narrow(BSTR text, UINT codePage) {
  if (!text) return {};
  return toNarrow(std::u16string_view(text, SysStringLen(text)), codePage);
}

BSTR field(const char* text, UINT codePage) {
  std::u16string wide = toWide(text ? text : "", codePage);
  return SysAllocStringLen(wide.data(), UINT(wide.size()));
}

int login(BSTR pin1, BSTR pin2) {
  std::string a = narrow(pin1, CP_ACP), b = narrow(pin2, CP_ACP);
  int code = quennet::login(a.c_str(), pin2 ? b.c_str() : nullptr);
  // The PIN copies do not outlive the call.
  OPENSSL_cleanse(a.data(), a.size());
  OPENSSL_cleanse(b.data(), b.size());
  return code;
}

int makePkcs10(int keyType, int keySize, BSTR cn) {
  std::string text = narrow(cn, CP_ACP);
  return quennet::makePkcs10(keyType, keySize, cn ? text.c_str() : nullptr);
}

int makePkcs10Ecc(int keyType, int keySize, BSTR cn) {
  std::string text = narrow(cn, CP_ACP);
  return quennet::makePkcs10Ecc(keyType, keySize, cn ? text.c_str() : nullptr);
}

int importCert(BSTR cert, BSTR mac) {
  std::string c = narrow(cert, 950), m = narrow(mac, 950);
  return quennet::importCert(cert ? c.c_str() : nullptr, mac ? m.c_str() : nullptr);
}

int signPkcs7(BSTR data) {
  if (!data) return quennet::signPkcs7(nullptr, 0);
  std::string bytes;
  UINT n = SysStringLen(data);
  bytes.reserve(size_t(n) * 2);
  for (UINT i = 0; i < n; ++i) {
    bytes.push_back(char(data[i] & 0xFF));
    bytes.push_back(char(data[i] >> 8));
  }
  return quennet::signPkcs7(bytes.data(), long(bytes.size()));
}

BSTR takePkcs7() {
  auto& s = state();
  BSTR result = field(s.pkcs7, CP_ACP);
  if (result && s.pkcs7 && *s.pkcs7) {
    delete[] s.pkcs7;
    s.pkcs7 = nullptr;
  }
  return result;
}

}  // namespace quennet::wide
