// The exported member functions: switch to the component's resource
// context, convert the arguments to wide text (CP_ACP), call the engine and
// hand the text result back as a new buffer in the ANSI code page.
#include <strabel/strabel.h>

#include <cstring>
#include <new>

#include "frame/engines.h"
#include "frame/frame.h"

using strabel::capiCore;
using strabel::certRegCore;
using strabel::taiMacCore;
using strabel::WResult;

namespace {

std::u16string in(const char* text) { return text ? strabel::wideFromAnsi(text) : std::u16string(); }
// Card operations take their ANSI text as it comes.
std::string narrow(const char* text) { return text ? std::string(text) : std::string(); }

// A new buffer of 2 x (wide length) + 2 bytes that the caller frees with delete[].
char* out(const WResult& result) {
  if (!result) return nullptr;
  const std::u16string& wide = *result;
  char* buffer = new (std::nothrow) char[2 * wide.size() + 2];
  if (!buffer) throw StrabelComError{E_OUTOFMEMORY};
  if (wide.empty()) {
    buffer[0] = 0;
    return buffer;
  }
  int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), int(wide.size()), buffer, int(2 * wide.size() + 1), nullptr,
                              nullptr);
  if (n <= 0) {
    // A character that takes more than two bytes (UTF-8 as the ANSI code page):
    // size the buffer by the conversion instead of failing.
    int need = WideCharToMultiByte(CP_ACP, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    delete[] buffer;
    if (need <= 0) throw StrabelComError{HRESULT_FROM_WIN32(GetLastError())};
    buffer = new (std::nothrow) char[size_t(need) + 2];
    if (!buffer) throw StrabelComError{E_OUTOFMEMORY};
    n = WideCharToMultiByte(CP_ACP, 0, wide.data(), int(wide.size()), buffer, need + 1, nullptr, nullptr);
  }
  buffer[n] = 0;
  return buffer;
}

constexpr bool kGuarded = true;
constexpr bool kUnguarded = false;
// The wrong-parameters status.
constexpr int kRefusedParameters = 5005;

}  // namespace

#define MANAGE_STATE strabel::ManageState manageState_

// ---------------- CCAPILib ----------------

char* CCAPILib::GetVersion() { MANAGE_STATE; return out(capiCore().GetVersion()); }
int CCAPILib::GetErrorCode() { MANAGE_STATE; return capiCore().GetErrorCode(); }
char* CCAPILib::GetErrorMsg() { MANAGE_STATE; return out(capiCore().GetErrorMsg()); }
int CCAPILib::GetCapiErrorCode() { MANAGE_STATE; return capiCore().GetCapiErrorCode(); }
char* CCAPILib::GetCapiErrorMsg() { MANAGE_STATE; return out(capiCore().GetCapiErrorMsg()); }
int CCAPILib::SetCodePage(int newCP) { MANAGE_STATE; return capiCore().SetCodePage(newCP); }
int CCAPILib::GetPortEx() { MANAGE_STATE; return capiCore().GetPortEx(); }
int CCAPILib::RefuseParameters() {
  MANAGE_STATE;
  capiCore().begin(false);
  return capiCore().fail(kRefusedParameters);
}

char* CCAPILib::GetOSName() { MANAGE_STATE; return out(capiCore().GetOSName()); }
char* CCAPILib::GetMacAddress() { MANAGE_STATE; return out(capiCore().GetMacAddress()); }
char* CCAPILib::GetUserHomePath() { MANAGE_STATE; return out(capiCore().GetUserHomePath()); }
char* CCAPILib::RegReadHKCU(const char* name) { MANAGE_STATE; return out(capiCore().RegReadHKCU(in(name))); }
int CCAPILib::RegWriteHKCUInt(const char* name, long dw) {
  MANAGE_STATE;
  return capiCore().RegWriteHKCUInt(in(name), dw);
}
int CCAPILib::RegWriteHKCUStr(const char* name, const char* str) {
  MANAGE_STATE;
  return capiCore().RegWriteHKCUStr(in(name), in(str));
}

char* CCAPILib::Hash(const char* text, long flags) { MANAGE_STATE; return out(capiCore().Hash(in(text), flags)); }
char* CCAPILib::HashFile(const char* name, long flags) {
  MANAGE_STATE;
  return out(capiCore().HashFile(in(name), flags));
}

char* CCAPILib::SymEncrypt(const char* strPlainText, const char* strPasswdHex, long iAlgorithm, long dwFlags) {
  MANAGE_STATE;
  return out(capiCore().SymEncrypt(in(strPlainText), in(strPasswdHex), iAlgorithm, dwFlags));
}
char* CCAPILib::SymDecrypt(const char* strCipher, const char* strPasswdHex, long iAlgorithm, long dwFlags) {
  MANAGE_STATE;
  return out(capiCore().SymDecrypt(in(strCipher), in(strPasswdHex), iAlgorithm, dwFlags));
}
char* CCAPILib::CertEncryptPkcs7(const char* strPlainText, const char* strCertB64, long iAlgorithm, long dwFlags) {
  MANAGE_STATE;
  return out(capiCore().CertEncryptPkcs7(in(strPlainText), in(strCertB64), iAlgorithm, dwFlags));
}
char* CCAPILib::CertDecryptPkcs7(const char* strCipher, long dwFlags) {
  MANAGE_STATE;
  return out(capiCore().CertDecryptPkcs7(in(strCipher), dwFlags));
}

int CCAPILib::SetProviderName(const char* name) { MANAGE_STATE; return capiCore().SetProviderName(in(name)); }
char* CCAPILib::CreatePKCS10(const char* commonName, long keyBits, long genKeyFlags) {
  MANAGE_STATE;
  return out(capiCore().CreatePKCS10(in(commonName), keyBits, genKeyFlags));
}
int CCAPILib::CreatePKCS10Pair(const char* commonName, long keyBits, long genKeyFlags) {
  MANAGE_STATE;
  return capiCore().CreatePKCS10Pair(in(commonName), keyBits, genKeyFlags);
}
char* CCAPILib::GetCsrForSign() { MANAGE_STATE; return out(capiCore().GetCsrForSign()); }
char* CCAPILib::GetCsrForEncrypt() { MANAGE_STATE; return out(capiCore().GetCsrForEncrypt()); }
char* CCAPILib::CreateEccPKCS10(const char* commonName, long genEccKeyFlags) {
  MANAGE_STATE;
  return out(capiCore().CreateEccPKCS10(in(commonName), genEccKeyFlags));
}

int CCAPILib::AcceptPKCS7(const char* strPkcs7) { MANAGE_STATE; return capiCore().AcceptPKCS7(in(strPkcs7)); }
int CCAPILib::AcceptPKCS7Ecc(const char* strPkcs7) { MANAGE_STATE; return capiCore().AcceptPKCS7Ecc(in(strPkcs7)); }
int CCAPILib::ImportCertChain(const char* strPkcs7) { MANAGE_STATE; return capiCore().ImportCertChain(in(strPkcs7)); }

int CCAPILib::PresetPasswdLengthRange(long min, long max) {
  MANAGE_STATE;
  return capiCore().PresetPasswdLengthRange(min, max);
}
int CCAPILib::SetDefaultPfxFileName(const char* strPrefix) {
  MANAGE_STATE;
  return capiCore().SetDefaultPfxFileName(in(strPrefix));
}
int CCAPILib::ChangePfxPasswd(const char* strPfxPath, const char* strPfxName, const char* strOldPass,
                              const char* strNewPass, long dwFlags) {
  MANAGE_STATE;
  return capiCore().ChangePfxPasswd(in(strPfxPath), in(strPfxName), in(strOldPass), in(strNewPass), dwFlags);
}
int CCAPILib::ChangePfxPasswdEx(const char* strPfxPath, const char* strPfxName, const char* strOldPass,
                                const char* strNewPass, long dwPort, long dwFlags) {
  MANAGE_STATE;
  return capiCore().ChangePfxPasswdEx(in(strPfxPath), in(strPfxName), in(strOldPass), in(strNewPass), dwPort,
                                      dwFlags);
}
int CCAPILib::QueryPfxInfo(const char* strPfxPath, const char* strPfxName, const char* strPasswd, long dwFlags,
                           long dwKeyUsage) {
  MANAGE_STATE;
  return capiCore().QueryPfxInfo(in(strPfxPath), in(strPfxName), in(strPasswd), dwFlags, dwKeyUsage);
}
int CCAPILib::ImportPfxToIE(const char* strPfxPath, const char* strPfxName, const char* strPasswd, long dwFlags,
                            long dwKeyUsage) {
  MANAGE_STATE;
  return capiCore().ImportPfxToIE(in(strPfxPath), in(strPfxName), in(strPasswd), dwFlags, dwKeyUsage);
}
char* CCAPILib::GetImportedPfxFilePath() { MANAGE_STATE; return out(capiCore().GetImportedPfxFilePath()); }
char* CCAPILib::GetImportedPfxFileName() { MANAGE_STATE; return out(capiCore().GetImportedPfxFileName()); }
int CCAPILib::ExportPfxFromIE(const char* strSubject, const char* strPfxPath, const char* strPassword, long dwFlags,
                              long dwKeyUsage) {
  MANAGE_STATE;
  return capiCore().ExportPfxFromIE(in(strSubject), in(strPfxPath), in(strPassword), dwFlags, dwKeyUsage);
}
char* CCAPILib::GetExportedPfxFilePath() { MANAGE_STATE; return out(capiCore().GetExportedPfxFilePath()); }
char* CCAPILib::GetExportedPfxFileName() { MANAGE_STATE; return out(capiCore().GetExportedPfxFileName()); }

char* CCAPILib::ExportMobileFromPfx(const char* strPfxPath, const char* strPfxName, const char* strPasswd,
                                   long dwFlags, long dwKeyUsage) {
  MANAGE_STATE;
  return out(capiCore().ExportMobileFromPfx(in(strPfxPath), in(strPfxName), in(strPasswd), dwFlags, dwKeyUsage));
}
char* CCAPILib::ExportMobileFromIE(const char* strSubject, const char* strPasswd, long dwFlags, long dwKeyUsage) {
  MANAGE_STATE;
  return out(capiCore().ExportMobileFromIE(in(strSubject), in(strPasswd), dwFlags, dwKeyUsage));
}

int CCAPILib::SelectSigner(const char* certFilter, long dwFlags, long dwKeyUsage) {
  MANAGE_STATE;
  return capiCore().SelectSigner(in(certFilter), dwFlags, dwKeyUsage);
}
int CCAPILib::SelectSignerEx(const char* certFilter, const char* strPfxPath, const char* strPfxName,
                             const char* strPasswd, const char* strCompareDate, long dwFlags, long dwKeyUsage) {
  MANAGE_STATE;
  return capiCore().SelectSignerEx(in(certFilter), in(strPfxPath), in(strPfxName), in(strPasswd), in(strCompareDate),
                                   dwFlags, dwKeyUsage);
}
int CCAPILib::SelectSignerEx2(const char* certFilter, const char* strPfxPath, const char* strPfxName, long dwPort,
                              const char* strCompareDate, long dwFlags, long dwKeyUsage) {
  MANAGE_STATE;
  return capiCore().SelectSignerEx2(in(certFilter), in(strPfxPath), in(strPfxName), dwPort, in(strCompareDate),
                                    dwFlags, dwKeyUsage);
}
char* CCAPILib::GetSignerPfxFilePath() { MANAGE_STATE; return out(capiCore().GetSignerPfxFilePath()); }
char* CCAPILib::GetSignerPfxFileName() { MANAGE_STATE; return out(capiCore().GetSignerPfxFileName()); }
char* CCAPILib::GetCertB64() { MANAGE_STATE; return out(capiCore().GetCertB64()); }
char* CCAPILib::GetCertSubject() { MANAGE_STATE; return out(capiCore().GetCertSubject()); }
char* CCAPILib::GetCertSubjectCN() { MANAGE_STATE; return out(capiCore().GetCertSubjectCN()); }
char* CCAPILib::GetCertIssuer() { MANAGE_STATE; return out(capiCore().GetCertIssuer()); }
char* CCAPILib::GetCertSerial() { MANAGE_STATE; return out(capiCore().GetCertSerial()); }
char* CCAPILib::GetCertNotBefore() { MANAGE_STATE; return out(capiCore().GetCertNotBefore()); }
char* CCAPILib::GetCertNotAfter() { MANAGE_STATE; return out(capiCore().GetCertNotAfter()); }
char* CCAPILib::GetCertFinger() { MANAGE_STATE; return out(capiCore().GetCertFinger()); }

char* CCAPILib::SignPkcs1(const char* strContent, long dwFlags) {
  MANAGE_STATE;
  return out(capiCore().SignPkcs1(in(strContent), dwFlags));
}
char* CCAPILib::SignPkcs7(const char* strContent, long dwFlags) {
  MANAGE_STATE;
  return out(capiCore().SignPkcs7(in(strContent), dwFlags));
}

// ---------------- CCAPICertRegLib ----------------

char* CCAPICertRegLib::GetVersion() { MANAGE_STATE; return out(certRegCore().GetVersion()); }
int CCAPICertRegLib::GetErrorCode() { MANAGE_STATE; return certRegCore().GetErrorCode(); }
char* CCAPICertRegLib::GetErrorMsg() { MANAGE_STATE; return out(certRegCore().GetErrorMsg()); }
int CCAPICertRegLib::GetCapiErrorCode() { MANAGE_STATE; return certRegCore().GetCapiErrorCode(); }
char* CCAPICertRegLib::GetCapiErrorMsg() { MANAGE_STATE; return out(certRegCore().GetCapiErrorMsg()); }
int CCAPICertRegLib::RefuseParameters() {
  MANAGE_STATE;
  certRegCore().m_dwCapiErrorCode = 0;
  return certRegCore().m_nErrorCode = kRefusedParameters;
}
int CCAPICertRegLib::RegSMCert(const char* csp) { MANAGE_STATE; return certRegCore().RegSMCert(in(csp)); }
int CCAPICertRegLib::GetSuccessCount() { MANAGE_STATE; return certRegCore().GetSuccessCount(); }
char* CCAPICertRegLib::GetSn() { MANAGE_STATE; return out(certRegCore().GetSn()); }

// ---------------- CCAPITaiMAC10 ----------------

char* CCAPITaiMAC10::GetVersion() { MANAGE_STATE; return out(taiMacCore().GetVersion()); }
int CCAPITaiMAC10::GetErrorCode() { MANAGE_STATE; return taiMacCore().GetErrorCode(); }
char* CCAPITaiMAC10::GetErrorMsg() { MANAGE_STATE; return out(taiMacCore().GetErrorMsg()); }
int CCAPITaiMAC10::GetCapiErrorCode() { MANAGE_STATE; return taiMacCore().GetCapiErrorCode(); }
char* CCAPITaiMAC10::GetCapiErrorMsg() { MANAGE_STATE; return out(taiMacCore().GetCapiErrorMsg()); }
// Card operations answer through their result and leave the status alone.
int CCAPITaiMAC10::RefuseParameters() { return kRefusedParameters; }
int CCAPITaiMAC10::SetCodePage(int newCP) { MANAGE_STATE; return taiMacCore().SetCodePage(newCP); }

int CCAPITaiMAC10::ConnectCard() { MANAGE_STATE; return taiMacCore().ConnectCard(); }
int CCAPITaiMAC10::DisConnectCard() { MANAGE_STATE; return taiMacCore().DisConnectCard(); }
int CCAPITaiMAC10::GetCardStatus() { MANAGE_STATE; return taiMacCore().GetCardStatus(); }
int CCAPITaiMAC10::Check() { MANAGE_STATE; return taiMacCore().Check(); }
int CCAPITaiMAC10::WriteCertMAC(const char* mac) { MANAGE_STATE; return taiMacCore().WriteCertMAC(narrow(mac)); }
char* CCAPITaiMAC10::ReadBinary() { MANAGE_STATE; return out(taiMacCore().ReadBinary()); }
char* CCAPITaiMAC10::ReadPKMAC() { MANAGE_STATE; return out(taiMacCore().ReadPKMAC()); }
int CCAPITaiMAC10::MoveCert(const char* src, const char* dst) {
  MANAGE_STATE;
  return taiMacCore().MoveCert(narrow(src), narrow(dst));
}
char* CCAPITaiMAC10::ReadEF1001(long recN) { MANAGE_STATE; return out(taiMacCore().ReadEF1001(recN)); }
int CCAPITaiMAC10::ChangeANPin(const char* oldPin, const char* newPin) {
  MANAGE_STATE;
  return taiMacCore().ChangeANPin(narrow(oldPin), narrow(newPin));
}
int CCAPITaiMAC10::VerifyANPin(const char* pin) { MANAGE_STATE; return taiMacCore().VerifyANPin(narrow(pin)); }
char* CCAPITaiMAC10::GenRandom() { MANAGE_STATE; return out(taiMacCore().GenRandom()); }
int CCAPITaiMAC10::TermAuth(const char* key, const char* cryptogram) {
  MANAGE_STATE;
  return taiMacCore().TermAuth(narrow(key), narrow(cryptogram));
}
int CCAPITaiMAC10::UnlockANPin() { MANAGE_STATE; return taiMacCore().UnlockANPin(); }
int CCAPITaiMAC10::WriteEF8000(const char* data) { MANAGE_STATE; return taiMacCore().WriteEF8000(narrow(data)); }
int CCAPITaiMAC10::WriteEF1001(long recN, const char* data) {
  MANAGE_STATE;
  return taiMacCore().WriteEF1001(recN, narrow(data));
}
int CCAPITaiMAC10::ResetANPIN(const char* pin) { MANAGE_STATE; return taiMacCore().ResetANPIN(narrow(pin)); }
char* CCAPITaiMAC10::Read8000(long recN, const char* pin) {
  MANAGE_STATE;
  return out(taiMacCore().Read8000(recN, narrow(pin)));
}
int CCAPITaiMAC10::ResetPIN(const char* pin) { MANAGE_STATE; return taiMacCore().ResetPIN(narrow(pin)); }
int CCAPITaiMAC10::VerrifyPIN(const char* pin) { MANAGE_STATE; return taiMacCore().VerrifyPIN(narrow(pin)); }
int CCAPITaiMAC10::UnlockKey(const char* key) { MANAGE_STATE; return taiMacCore().UnlockKey(narrow(key)); }
